// fake_batch PATH: the tool's run over PATH with a fake hash, for measuring the driver's
// memory on inputs far too big to hash for real.
#include "batch.hpp"
#include "credentials.hpp"
#include "platform.hpp"
#include "script_output.hpp"

#include <string>

int main(int argc, char* argv[])
{
    credbatch::platform::StandardError errors;
    if (argc < 2) {
        errors.write("usage: fake_batch PATH\n");
        return 2;
    }
    credbatch::platform::InputFile input;
    if (const auto error = input.open(argv[1])) {
        errors.write("fake_batch: " + std::string(argv[1]) + ": " + error.message() + "\n");
        return 1;
    }
    credbatch::platform::StandardOutput standard_output;
    credbatch::ScriptOutput script(standard_output);
    const auto result = credbatch::run_batch(input, script, errors, fake_hash);
    return result.end == credbatch::BatchEnd::input_done && !result.lines_failed ? 0 : 1;
}
