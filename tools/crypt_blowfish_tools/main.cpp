// credbatch: reads a file of user names and passwords and writes an SQL script that sets
// each user's password hash to a fresh bcrypt hash. It never connects to a database.
//
// Exit status:
//   0  every line of the input became a statement (warnings do not count)
//   1  no argument; the input could not be opened or read, is standard output or standard error
//      itself, is UTF-16 or UTF-32 text, or changed while it was read; standard output could not
//      be written; no secure random source; the hashing library failed its known-answer test;
//      out of memory; or some line was rejected or could not be hashed
//
// Every failure is one line on standard error, "credbatch: ...". No message shows a password.
// Before the input is read, one published bcrypt vector is hashed and compared, so that a
// library that computes wrong hashes writes no script at all. After a failed write, a script
// written to a file ends at its last whole statement.

#include <array>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "batch.hpp"
#include "message.hpp"
#include "password_hash.hpp"
#include "platform.hpp"
#include "printable.hpp"
#include "progress.hpp"
#include "script_output.hpp"

namespace {

using namespace credbatch;

// The first two lines are fixed, byte for byte, since scripts and habits may match them; the
// rest is for whoever ran the tool bare to learn what to do next.
constexpr std::string_view usage[] = {
    "Usage: credbatch.exe input_file",
    " (Each line of input_file is expected to contain a username, password pair, both values separated by a "
    "space character. Password is optional, i.e. it can be empty.)",
    "A tab separates the user name from the password as well as a space.",
    "The statements go to standard output: credbatch users.txt > update.sql",
    "Then review update.sql and apply it with the checked apply, credbatch-apply; --check rolls back:",
    "  credbatch-apply sqlite --check update.sql users.db",
};

// Where every message goes. It holds no state; a failure there is ignored, with nowhere left to say so.
platform::StandardError standard_error;

Messages errors()
{
    return {standard_error, platform::line_ending};
}

int fail(std::string_view what)
{
    errors().say(what);
    return 1;
}

int fail(std::string_view what, const std::error_code& error)
{
    return fail(std::string(what) + ": " + error.message());
}

std::string naming(std::string_view what, std::string_view path)
{
    return std::string(what) + " '" + printable_path(path) + "'";
}

// "--help" and the like name no file, and whoever typed them expected an option.
std::string cannot_open(std::string_view path, const std::error_code& error)
{
    std::string said = naming("cannot open", path) + ": " + error.message();
    if (path.starts_with('-') && error == std::errc::no_such_file_or_directory) {
        said += "; credbatch takes no options, and run without an argument it shows its usage";
    }
    return said;
}

// Only the first argument is read; more, as a glob such as users-*.txt gives, would be silently
// left unconverted.
std::string ignored_arguments(int argc)
{
    const int ignored = argc - 2;
    return std::to_string(ignored) + (ignored == 1 ? " argument after the input file is" : " arguments after the input file are") +
           " ignored; credbatch converts one file per run";
}

std::string wide_text(std::string_view path, std::string_view encoding)
{
    std::string said = "'";
    said.append(printable_path(path)).append("' is ").append(encoding).append(" text; save it as UTF-8");
    return said;
}

std::string changed_while_read(std::string_view path, const BatchResult& result)
{
    std::string said = naming("input", path);
    said.append(" changed while it was read: it held ").append(std::to_string(result.size_at_start));
    said.append(" bytes at the start and ").append(std::to_string(result.bytes_read));
    said.append(" were read; lines may be missing and the last one cut short, so do not apply this script");
    return said;
}

Hashed hash_for_script(std::string_view password)
{
    const std::string_view hash = hash_password(password);
    return {hash, differs_from_2b(password, hash)};
}

// A key of its own for every run, so that no input can be made to collide in the table of
// user names already seen.
std::error_code draw_name_key(NameKey& key)
{
    std::array<unsigned char, sizeof(NameKey)> bytes{};
    if (const auto error = platform::fill_random(bytes)) {
        return error;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        key[i / 8] = key[i / 8] << 8 | bytes[i];
    }
    return {};
}

// Every line of the input, into the script.
BatchResult convert(platform::InputFile& input, ByteSink& script, const NameKey& name_key)
{
    BatchOptions options{platform::line_ending, {}, name_key};
    if (!platform::progress_line_wanted()) {
        return run_batch(input, script, standard_error, hash_for_script, options);
    }
    // Someone is watching a batch that may take minutes: show how far it has come.
    ProgressLine progress(standard_error, input.size());
    options.on_progress = [&progress](const BatchProgress& done) { progress.update(done); };
    return run_batch(input, script, progress, hash_for_script, options);
}

int run(int argc, char* argv[])
{
    if (argc < 2) {
        const std::string manual = "Everything else: " + platform::manual_of("credbatch");
        std::vector<std::string_view> lines(std::begin(usage), std::end(usage));
        lines.push_back(manual);
        errors().say_verbatim(lines);
        return 1;
    }
    const std::string path = platform::argument(argc, argv, 1);
    if (!platform::StandardOutput::is_open()) {
        return fail("cannot write standard output", std::make_error_code(std::errc::bad_file_descriptor));
    }

    platform::InputFile input;
    if (const auto error = input.open(path)) {
        return fail(cannot_open(path, error));
    }
    if (input.is_standard_output()) {
        return fail(naming("input", path) + " is the same file as standard output");
    }
    if (input.is_standard_error()) {
        return fail(naming("input", path) + " is the same file as standard error");
    }
    if (argc > 2) {
        errors().say(ignored_arguments(argc));
    }
    if (const auto error = seed_salt_source()) {
        return fail("no secure random source", error);
    }
    NameKey name_key{};
    if (const auto error = draw_name_key(name_key)) {
        return fail("no secure random source", error);
    }
    if (!computes_known_answer(self_test_vector)) {
        return fail("bcrypt self-test failed: the hashing library computes wrong hashes");
    }

    platform::StandardOutput standard_output;
    ScriptOutput script(standard_output);
    const BatchResult result = convert(input, script, name_key);
    switch (result.end) {
    case BatchEnd::read_failed:
        return fail(naming("cannot read", path), result.error);
    case BatchEnd::write_failed:
        fail("cannot write standard output", result.error);
        if (script.ends_in_partial_statement()) {
            errors().say("the script ends in a partial statement that could not be removed; delete its last line before applying it");
        }
        return 1;
    case BatchEnd::wide_text:
        return fail(wide_text(path, result.encoding));
    case BatchEnd::input_changed:
        return fail(changed_while_read(path, result));
    case BatchEnd::input_done:
        break;
    }
    if (const auto error = standard_output.close()) {
        return fail("cannot write standard output", error);
    }
    return result.lines_failed ? 1 : 0;
}

// Every allocation that fails ends here, wherever it was: the message is said without taking
// memory, since there is none to take, and the run ends. The script written so far ends at a
// whole statement, since each one goes out in a single write once it is complete.
[[noreturn]] void out_of_memory() noexcept
{
    errors().say_without_allocating("out of memory");
    std::exit(1);
}

} // namespace

int main(int argc, char* argv[])
{
    platform::harden_process();
    std::set_new_handler(out_of_memory);
    return run(argc, argv);
}
