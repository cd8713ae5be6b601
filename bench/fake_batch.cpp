// fake_batch PATH: the tool's run over PATH with a fake hash, for measuring the driver's
// memory on inputs far too big to hash for real.
#include "batch.hpp"
#include "credentials.hpp"
#include "fd_stream.hpp"

#include <iostream>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::cerr << "usage: fake_batch PATH\n";
        return 2;
    }
    credbatch::InputFile file;
    if (const auto error = file.open(argv[1])) {
        std::cerr << "fake_batch: " << argv[1] << ": " << error.message() << '\n';
        return 1;
    }
    credbatch::OutputDescriptor standard_output(STDOUT_FILENO);
    std::istream input(&file);
    std::ostream output(&standard_output);
    const auto result = credbatch::run_batch(input, output, std::cerr, fake_hash);
    return result.end == credbatch::BatchEnd::input_done && !result.lines_failed ? 0 : 1;
}
