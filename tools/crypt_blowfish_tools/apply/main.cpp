// credbatch-apply: applies a script written by credbatch as one checked transaction, which
// commits only when every statement matched exactly one row and every such row holds exactly
// its new hash, read back before the COMMIT. See credbatch-apply(1).
//
// Exit status:
//   0  committed, or with --check, every statement would have changed exactly one row
//   1  nothing was committed (a statement, the table, the session or a stop request said no)
//   2  the arguments were wrong or the script could not be read; nothing ran
//   3  the connection ended during the COMMIT and its outcome could not be read back

#include <mutex>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "checked_apply.hpp"
#include "engine.hpp"
#include "outcome.hpp"
#include "platform.hpp"
#include "printable.hpp"
#include "script.hpp"

namespace {

using namespace credbatch;
using namespace credbatch::apply;

constexpr std::string_view usage =
    "usage: credbatch-apply postgresql|mariadb|sqlite [--check] SCRIPT [--] [CONNECTION-ARGUMENT ...]";
std::string usage_more()
{
    return "  for example: credbatch-apply sqlite --check update.sql users.db; every argument: " +
        platform::manual_of("credbatch-apply");
}

platform::StandardError standard_error;

void say_error(std::string_view line)
{
    std::string whole(line);
    whole.append(platform::line_ending);
    standard_error.write(whole);
}

void say_out(std::string_view line)
{
    std::string whole(line);
    whole.append(platform::line_ending);
    platform::StandardOutput out;
    while (!whole.empty()) {
        const IoResult wrote = out.write_some(whole);
        if (wrote.error) {
            return;
        }
        whole.erase(0, wrote.bytes);
    }
}

using Opener = std::unique_ptr<Engine> (*)(std::span<const std::string>, const PasswordPrompt&);

struct Command {
    std::string engine_name;
    Opener open = nullptr;
    bool check_only = false;
    std::string script;
    std::vector<std::string> connection;
};

Opener opener_for(std::string_view engine)
{
    if (engine == "postgresql") {
        return open_postgresql;
    }
    if (engine == "mariadb") {
        return open_mariadb;
    }
    if (engine == "sqlite") {
        return open_sqlite;
    }
    return nullptr;
}

// The command line as credbatch-apply(1) gives it; throws ArgumentError.
Command parse_command(int argc, char* argv[])
{
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        words.push_back(platform::argument(argc, argv, i));
    }
    Command command;
    std::size_t next = 0;
    if (words.empty()) {
        throw ArgumentError("no engine given");
    }
    if (words[0] == "--check") {
        throw ArgumentError("the engine comes first: credbatch-apply ENGINE --check SCRIPT ...");
    }
    command.engine_name = words[next++];
    command.open = opener_for(command.engine_name);
    if (command.open == nullptr) {
        throw ArgumentError("unknown engine '" + command.engine_name + "'; it is postgresql, mariadb or sqlite");
    }
    if (next < words.size() && words[next] == "--check") {
        command.check_only = true;
        ++next;
    }
    if (next == words.size()) {
        throw ArgumentError("no script given");
    }
    command.script = words[next++];
    if (next < words.size() && words[next] == "--") {
        ++next;
    }
    command.connection.assign(words.begin() + static_cast<std::ptrdiff_t>(next), words.end());
    for (const std::string& word : command.connection) {
        if (word == "--check") {
            throw ArgumentError("--check goes before the script: credbatch-apply " + command.engine_name + " --check " + command.script +
                                " ...; nothing ran");
        }
    }
    return command;
}

// Only the first problem with the script is told; nothing is sent before it is known good.
int refuse_script(const Script::Check& checked, const std::string& path)
{
    switch (checked.verdict) {
    case Script::Verdict::unreadable:
        say_error(outcome::said("cannot read " + printable_path(path) + ": " + checked.error.message()));
        return 2;
    case Script::Verdict::empty:
        say_error(outcome::empty_script());
        return 1;
    case Script::Verdict::not_a_statement:
        say_error(outcome::not_a_statement(checked.bad_line));
        return 1;
    case Script::Verdict::statements:
        break;
    }
    return 0;
}

int run(int argc, char* argv[])
{
    if (argc == 2 && (platform::argument(argc, argv, 1) == "--help" || platform::argument(argc, argv, 1) == "-h")) {
        say_out(usage);
        say_out(usage_more());
        return 0;
    }
    Command command;
    try {
        command = parse_command(argc, argv);
    } catch (const ArgumentError& error) {
        say_error(outcome::said(error.what()));
        say_error(usage);
        say_error(usage_more());
        return 2;
    }
    StopState stop;
    // The engine a stop request cancels, and whether the apply has said its last line, after
    // which a request changes nothing. The lock keeps the engine alive while it is cancelled.
    std::mutex guard;
    Engine* connected = nullptr;
    bool finished = false;
    const platform::StopRequests watcher([&](std::string_view name) {
        const std::lock_guard<std::mutex> held(guard);
        if (finished) {
            return;
        }
        if (connected == nullptr) {
            // Nothing can commit yet, and the main thread may be blocked in a prompt or a
            // connect: the process ends here.
            say_error(outcome::stopped(name));
            remove_temporary_files();
            platform::exit_now(1);
        }
        stop.request(name, connected);
    });

    Script script(command.script);
    const Script::Check checked = script.check();
    if (checked.verdict != Script::Verdict::statements) {
        const std::lock_guard<std::mutex> held(guard);
        finished = true;
        return refuse_script(checked, command.script);
    }

    std::unique_ptr<Engine> engine;
    try {
        engine = command.open(command.connection, platform::read_secret_from_terminal);
    } catch (const ArgumentError& error) {
        say_error(outcome::said(error.what()));
        say_error(usage);
        say_error(usage_more());
        return 2;
    } catch (const EngineError& error) {
        say_error(outcome::said(error.what()));
        say_error(outcome::not_connected());
        return 1;
    }
    {
        const std::lock_guard<std::mutex> held(guard);
        connected = engine.get();
    }
    const Lines lines{say_out, say_error};
    const int status = run_checked_apply(*engine, script, checked.statements, command.check_only, stop, lines);
    const std::lock_guard<std::mutex> held(guard);
    finished = true;
    connected = nullptr;
    return status;
}

[[noreturn]] void out_of_memory() noexcept
{
    static constexpr std::string_view said = "credbatch-apply: out of memory\n";
    standard_error.write(said);
    platform::exit_now(1);
}

} // namespace

int main(int argc, char* argv[])
{
    platform::harden_process();
    std::set_new_handler(out_of_memory);
    return run(argc, argv);
}
