// credbatch: reads a file of user names and passwords and writes an SQL script that sets
// each user's password hash to a fresh bcrypt hash. It never connects to a database.
//
// Exit status:
//   0  every line of the input became a statement (a 72-byte warning does not count)
//   1  no argument; the input could not be opened or read; standard output could not be
//      written; no secure random source; or some line was rejected or could not be hashed
//
// Every failure is one line on standard error, "credbatch: ...". No message shows a password.

#include <iostream>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "batch.hpp"
#include "fd_stream.hpp"
#include "password_hash.hpp"
#include "progress.hpp"

namespace {

constexpr std::string_view usage =
    "Usage: credbatch.exe input_file\n"
    " (Each line of input_file is expected to contain a username, password pair, both values separated by a "
    "space character. Password is optional, i.e. it can be empty.)\n";

int fail(std::string_view what, const std::error_code& error)
{
    std::cerr << "credbatch: " << what << ": " << error.message() << '\n';
    return 1;
}

std::string naming(std::string_view what, std::string_view path)
{
    return std::string(what) + " '" + std::string(path) + "'";
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace credbatch;

    if (argc < 2) {
        std::cerr << usage;
        return 1;
    }
    const char* path = argv[1];
    if (!descriptor_is_open(STDOUT_FILENO)) {
        return fail("cannot write standard output", std::make_error_code(std::errc::bad_file_descriptor));
    }

    InputFile input_file;
    if (const auto error = input_file.open(path)) {
        return fail(naming("cannot open", path), error);
    }
    if (const auto error = seed_salt_source()) {
        return fail("no secure random source", error);
    }

    OutputDescriptor standard_output(STDOUT_FILENO);
    std::istream input(&input_file);
    std::ostream output(&standard_output);
    BatchResult result;
    if (isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO)) {
        // Someone is watching a batch that may take minutes: show how far it has come. When the
        // script itself goes to the terminal, its statements show that, and a line redrawn
        // between them would only garble them.
        ProgressLine progress(*std::cerr.rdbuf(), input_file.size());
        std::ostream messages(&progress.messages());
        result = run_batch(input, output, messages, hash_password,
                           [&progress](const BatchProgress& done) { progress.update(done); });
    } else {
        result = run_batch(input, output, std::cerr, hash_password);
    }

    switch (result.end) {
    case BatchEnd::read_failed:
        return fail(naming("cannot read", path), input_file.error());
    case BatchEnd::write_failed:
        return fail("cannot write standard output", standard_output.error());
    case BatchEnd::input_done:
        break;
    }
    return result.lines_failed ? 1 : 0;
}
