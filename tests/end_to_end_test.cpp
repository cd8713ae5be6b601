// The built tool, run through the shell as an administrator would run it: this build's own
// binary, or the command in CREDBATCH_TOOL, which the Windows build sets to credbatch.exe under
// wine along with CREDBATCH_TOOL_PLATFORM=windows. A case that has no meaning on Windows says
// why it is skipped there.
#include <gtest/gtest.h>

#include <crypt.h>
#include <fcntl.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "statement_check.hpp"

namespace {

namespace fs = std::filesystem;

const std::string binary = std::getenv("CREDBATCH_TOOL") != nullptr ? std::getenv("CREDBATCH_TOOL") : CREDBATCH_BINARY;
const bool on_windows = std::getenv("CREDBATCH_TOOL_PLATFORM") != nullptr && std::string_view(std::getenv("CREDBATCH_TOOL_PLATFORM")) == "windows";

// The tool ends every statement and message with its system's line ending.
const std::string eol = on_windows ? "\r\n" : "\n";

// Cases that have no meaning for credbatch.exe under wine, and why.
const struct {
    std::string_view test;
    std::string_view why;
} posix_only[] = {
    {"FileSizeLimitLeavesOnlyWholeStatements", "RLIMIT_FSIZE is POSIX's, and under it wine itself dies of SIGXFSZ; the Windows cut-back is tested on a full disk"},
    {"LateFaultsFailTheRun", "the faults are made by preloading, which is POSIX's"},
    {"WaitsWhenANonBlockingStandardOutputIsFull", "O_NONBLOCK is POSIX's"},
    {"NoCoreFileAndSecretsLockedInMemory", "core files, /proc and FIFOs are POSIX's; Windows crash dumps are turned off by an exception filter"},
    {"NoOtherProcessOfTheUserReadsItsMemory", "/proc and the dumpable flag are Linux's"},
    {"OutOfMemoryIsAMessage", "an address-space limit is POSIX's, and under it wine fails before the tool"},
    {"ShowsProgressOnATerminalAndLeavesItClean", "a pseudo-terminal is no Windows console, so under wine the tool rightly shows no progress there"},
    {"ProgressFitsANarrowTerminal", "a pseudo-terminal is no Windows console"},
    {"InterruptErasesTheProgressLineAndDiesOfTheSignal", "POSIX signals on a pseudo-terminal; Windows has Ctrl-C on a console"},
    {"IgnoredHangupStaysIgnoredWhileTheProgressLineIsShown", "POSIX signals on a pseudo-terminal"},
    {"EndOfInputOnATerminalIsReadOnce", "a pseudo-terminal is no Windows console"},
    {"GnuParallelRecipeKeepsUsersInOrder", "the recipe reads /dev/stdin, which Windows does not have"},
    {"ReadsAFifoAsItsDataArrives", "FIFOs are POSIX's"},
    {"HugeLineTakesNoMoreMemoryThanAShortOne", "GNU time would measure wine, not the tool"},
    {"AppendOnlyScriptThatCannotBeCutBackIsSaidToEndInPart", "chattr and RLIMIT_FSIZE are Linux's"},
};

// Cases that need a program beyond the tool's own packages and GoogleTest, and the shell command
// that tells whether it is here: without it they are skipped, so that the quick preset runs on a
// machine with no more than that. CI installs them all.
const struct {
    std::string_view test;
    std::string_view program;
    std::string_view probe;
} needing[] = {
    {"ScriptAppliesSafelyToARealDatabase", "sqlite3", "command -v sqlite3"},
    {"WarnsWhereOnlySomeVerifiersAcceptTheHash", "python3-bcrypt", "/usr/bin/python3 -c 'import bcrypt'"},
    {"GnuParallelRecipeKeepsUsersInOrder", "GNU parallel", "command -v parallel"},
    {"HugeLineTakesNoMoreMemoryThanAShortOne", "GNU time", "test -x /usr/bin/time"},
};

// Why the running case cannot run here, if it cannot.
std::string reason_to_skip()
{
    const std::string_view test = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (const auto& row : posix_only) {
        if (on_windows && row.test == test) {
            return std::string(row.why);
        }
    }
    for (const auto& row : needing) {
        if (row.test == test && std::system(("(" + std::string(row.probe) + ") >/dev/null 2>&1").c_str()) != 0) {
            return std::string(row.program) + " is not installed";
        }
    }
    return "";
}

// The usage's first two lines, which must stay first and byte for byte as they are; the lines
// after them are for a person, and only what they must tell is checked.
const std::string fixed_usage =
    "Usage: credbatch.exe input_file" + eol +
    " (Each line of input_file is expected to contain a username, password pair, both values separated by a "
    "space character. Password is optional, i.e. it can be empty.)" + eol;

// A failure as the tool reports it: the system's reason, which Windows words its own way.
std::string failure(const std::string& what, std::string_view posix_reason)
{
    return "credbatch: " + what + ": " + std::string(posix_reason) + eol;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    bool out_captured = false;  // standard output went to the case's own file, which `out` holds
};

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool verifies(const std::string& password, const std::string& hash)
{
    auto work = std::make_unique<crypt_data>();
    const char* again = crypt_rn(password.c_str(), hash.c_str(), work.get(), sizeof *work);
    return again != nullptr && hash == again;
}

// The lines of what the tool wrote, each of which must end with the system's line ending; or of
// what another program wrote, with its own.
std::vector<std::string> output_lines(std::string_view text, std::string_view ending = eol)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto end = text.find(ending);
        EXPECT_NE(end, std::string_view::npos) << "a last line without its line ending: " << text;
        const std::string_view line = text.substr(0, end);
        EXPECT_EQ(line.find('\n'), std::string_view::npos) << "a line feed inside a line: " << line;
        lines.emplace_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + ending.size());
    }
    return lines;
}

// A failure message as expected. On Windows the reason is the system's own wording, so there
// everything up to it must match, and the message must be one line.
void expect_failure_message(const std::string& got, const std::string& expected)
{
    if (!on_windows) {
        EXPECT_EQ(got, expected);
        return;
    }
    EXPECT_TRUE(got.starts_with(expected.substr(0, expected.rfind(": ") + 2))) << got;
    EXPECT_EQ(output_lines(got).size(), 1u) << got;
}

// Every message the tool may write. Only a path and the system's reason are ever filled in,
// so a message that fits one of these cannot carry a password.
bool is_known_message(std::string_view message)
{
    static const std::string_view with_reason[] = {
        "credbatch: cannot open '", "credbatch: cannot read '", "credbatch: cannot write standard output: ",
        "credbatch: no secure random source: "};
    static const std::string_view encodings[] = {"UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE"};
    const auto is_count = [](std::string_view text) { return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos; };
    if (message == "credbatch: out of memory" ||
        message == "credbatch: bcrypt self-test failed: the hashing library computes wrong hashes" ||
        message == "credbatch: the script ends in a partial statement that could not be removed; delete its last line before applying it" ||
        message == "credbatch: 1 argument after the input file is ignored; credbatch converts one file per run" ||
        (message.starts_with("credbatch: ") && message.ends_with(" arguments after the input file are ignored; credbatch converts one file per run") &&
         is_count(message.substr(11, message.find(' ', 11) - 11))) ||
        (message.starts_with("credbatch: input '") && message.ends_with("' is the same file as standard output")) ||
        (message.starts_with("credbatch: input '") && message.ends_with("' is the same file as standard error")) ||
        (message.starts_with("credbatch: input '") && message.find("' changed while it was read: it held ") != std::string_view::npos &&
         message.ends_with(" were read; lines may be missing and the last one cut short, so do not apply this script")) ||
        (message.starts_with("credbatch: '") && std::any_of(std::begin(encodings), std::end(encodings), [&](std::string_view encoding) {
             return message.ends_with("' is " + std::string(encoding) + " text; save it as UTF-8");
         }))) {
        return true;
    }
    static const std::string_view line_faults[] = {
        "carriage return inside the line, as in a file whose lines end in CR alone; convert such a file with tr '\\r' '\\n'",
        "NUL byte in user name or password", "user name longer than 100 bytes",
        "user name contains a control character", "password longer than 100 bytes",
        "no password; its statement sets an empty password, with which anyone can log in (if the user name was left out, the password became the name)",
        "only the first 72 bytes of the password are used",
        "the password could not be hashed; its statement carries the failure token",
        "user name contains a backslash, which some databases read as an escape",
        "this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it",
        "text after the password is ignored",
        "user name is not valid UTF-8; a UTF-8 database refuses it or matches no row",
        "password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it",
        "user name contains an invisible character, such as a non-breaking or zero-width space"};
    if (std::any_of(std::begin(with_reason), std::end(with_reason), [&](auto p) { return message.starts_with(p); })) {
        return true;
    }
    constexpr std::string_view line_prefix = "credbatch: line ";
    if (!message.starts_with(line_prefix)) {
        return false;
    }
    message.remove_prefix(line_prefix.size());
    const auto digits = message.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos || message.substr(digits, 2) != ": ") {
        return false;
    }
    message.remove_prefix(digits + 2);
    constexpr std::string_view repeated = "user name already on line ";
    if (message.starts_with(repeated) && message.ends_with("; the later statement wins")) {
        const auto earlier = message.substr(repeated.size(), message.size() - repeated.size() - 26);
        return !earlier.empty() && earlier.find_first_not_of("0123456789") == std::string_view::npos;
    }
    return std::find(std::begin(line_faults), std::end(line_faults), message) != std::end(line_faults);
}

// Runs a shell command with a pseudo-terminal of `columns` columns as its standard streams.
// `while_running`, given what the terminal has shown so far and the child's pid, may act on
// it (send a signal, say). Returns what the terminal showed and the child's wait status.
struct Screen {
    std::string shown;
    int status = 0;
};

Screen run_on_terminal(const std::string& command, unsigned short columns = 80,
                       const std::function<void(const std::string&, pid_t)>& while_running = {}, const std::string& typed = "")
{
    int terminal = -1;
    winsize size{24, columns, 0, 0};
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // What the user types: the terminal holds it until it is read.
    if (!typed.empty() && write(terminal, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
        ADD_FAILURE() << "could not type on the terminal";
    }
    Screen screen;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        screen.shown.append(buffer, static_cast<std::size_t>(got));
        if (while_running) {
            while_running(screen.shown, pid);
        }
    }
    waitpid(pid, &screen.status, 0);
    close(terminal);
    return screen;
}

bool is_hash(std::string_view hash)
{
    return hash.size() == 60 && hash.starts_with("$2a$10$") &&
           hash.find_first_not_of("./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 7) == std::string_view::npos;
}

class Binary : public testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = reason_to_skip(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        std::string pattern = (fs::temp_directory_path() / "credbatch-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, const std::string& content)
    {
        std::ofstream(dir / name, std::ios::binary) << content;
        return dir / name;
    }

    // `arguments` and `redirect_stdout` are shell text; the default keeps standard output.
    Result run(const std::string& arguments, const std::string& redirect_stdout = "", const std::string& prefix = "")
    {
        const fs::path out = dir / "stdout";
        const fs::path err = dir / "stderr";
        const std::string command = prefix + binary + " " + arguments + " " +
                                    (redirect_stdout.empty() ? "> '" + out.string() + "'" : redirect_stdout) +
                                    " 2> '" + err.string() + "'";
        // What an earlier run left must not pass for this one's output.
        fs::remove(out);
        fs::remove(err);
        const int status = std::system(command.c_str());
        Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err), fs::exists(out)};
        // 127: the shell or the dynamic loader failed before the tool ran.
        if (!result.err.starts_with(fixed_usage) && result.status != 127) {
            for (const auto& message : output_lines(result.err)) {
                EXPECT_TRUE(is_known_message(message)) << "unexpected message: " << message;
            }
        }
        return result;
    }

    fs::path dir;
};

TEST_F(Binary, FailsLoudlyWithoutWritingAScript)
{
    const fs::path input = write("users.txt", "alice pw\n");
    struct Case {
        std::string arguments;
        std::string redirect;
        std::string prefix;
        std::string err;  // on Windows, up to the reason, which is the system's own
        bool posix_only;
        // For the usage: what the lines after the fixed two must tell, each on a line of its own,
        // in this order.
        std::vector<std::string> then = {};
    };
    const std::string no_options = "; credbatch takes no options, and run without an argument it shows its usage";
    const std::string in_dir = "cd '" + dir.string() + "' && ";
    const Case cases[] = {
        {"", "", "", fixed_usage, false,
         {"tab separates", "credbatch users.txt > update.sql", "credbatch-apply sqlite --check update.sql users.db",
          on_windows ? "credbatch.html" : "man credbatch"}},
        {"'" + (dir / "missing").string() + "'", "", "", failure("cannot open '" + (dir / "missing").string() + "'", "No such file or directory"), false},
        // An option where the file should be: still a file name, with a word on options.
        {"--help", "", in_dir, failure("cannot open '--help'", "No such file or directory" + no_options), false},
        {"-h", "", in_dir, failure("cannot open '-h'", "No such file or directory" + no_options), false},
        {"-", "", in_dir, failure("cannot open '-'", "No such file or directory" + no_options), false},
        {"'" + dir.string() + "'", "", "", failure("cannot read '" + dir.string() + "'", "Is a directory"), true},
        {input.string(), "> /dev/full", "", failure("cannot write standard output", "No space left on device"), true},
        {input.string(), ">&-", "", failure("cannot write standard output", "Bad file descriptor"), true},
        {input.string(), "", "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" CREDBATCH_FAILING_ENTROPY " ",
         failure("no secure random source", "Function not implemented"), true},
        {input.string(), "", "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" CREDBATCH_WRONG_HASHES " ",
         "credbatch: bcrypt self-test failed: the hashing library computes wrong hashes\n", true},
    };
    for (const Case& c : cases) {
        if (on_windows && c.posix_only) {
            continue;  // devices, closed descriptors and preloading are POSIX's
        }
        const Result result = run(c.arguments, c.redirect, c.prefix);
        EXPECT_EQ(result.status, 1) << c.arguments << " " << c.redirect;
        // Where standard output is redirected elsewhere, the case's file must not even exist:
        // it is made afresh for each case, so an earlier case cannot leave one to be read here.
        EXPECT_EQ(result.out_captured, c.redirect.empty()) << c.arguments << " " << c.redirect;
        EXPECT_EQ(result.out, "") << c.arguments << " " << c.redirect;
        if (c.err == fixed_usage) {
            ASSERT_TRUE(result.err.starts_with(fixed_usage)) << result.err;
            const std::vector<std::string> after = output_lines(std::string_view(result.err).substr(fixed_usage.size()));
            auto line = after.begin();
            for (const std::string& told : c.then) {
                line = std::find_if(line, after.end(), [&](const std::string& text) { return text.find(told) != std::string::npos; });
                ASSERT_NE(line, after.end()) << "the usage does not tell '" << told << "' after what it told before:\n" << result.err;
                ++line;
            }
        } else {
            expect_failure_message(result.err, c.err);
            // On Windows the reason is in the system's words; the word on options follows it.
            EXPECT_EQ(result.err.ends_with(no_options + eol), c.err.ends_with(no_options + eol)) << result.err;
        }
        EXPECT_EQ(slurp(input), "alice pw\n") << "the input was written to";
    }

    // A file whose name begins with "-" is read like any other, and an argument naming no file
    // that does not look like an option gets no word on options.
    write("-users.txt", "alice pw\n");
    const Result dashed = run("-users.txt", "", in_dir);
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_EQ(output_lines(dashed.out).size(), 1u);
    const Result plain = run("users-missing.txt", "", in_dir);
    EXPECT_EQ(plain.err.find("options"), std::string::npos) << plain.err;
}

std::string numbered_users(int count)
{
    std::string users;
    for (int i = 1; i <= count; ++i) {
        users += "user" + std::to_string(i) + " pw" + std::to_string(i) + "\n";
    }
    return users;
}

// The statements of a script that must end at a whole one.
std::vector<std::string> whole_statements(std::string_view script)
{
    EXPECT_TRUE(script.empty() || script.ends_with(";" + eol)) << "cut statement at the end: " << script.substr(script.rfind('\n', script.size() - 2) + 1);
    std::vector<std::string> statements = output_lines(script);
    for (const auto& statement : statements) {
        EXPECT_TRUE(parse_statement(statement)) << statement;
    }
    return statements;
}

TEST_F(Binary, FileSizeLimitLeavesOnlyWholeStatements)
{
    // Each statement is 117 bytes; a limit of 1000 bytes falls inside the ninth (or, after
    // what the file held before, the eighth).
    const fs::path input = write("users.txt", numbered_users(9));
    for (const std::string before : {"", "-- the administrator's own header\n"}) {
        const fs::path script = write("update.sql", before);
        const std::string redirect = before.empty() ? ">" : ">>";
        const Result result = run(input.string(), redirect + " '" + script.string() + "'", "prlimit --fsize=1000 ");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "credbatch: cannot write standard output: File too large\n");
        const std::string written = slurp(script);
        ASSERT_TRUE(written.starts_with(before));
        EXPECT_EQ(whole_statements(std::string_view(written).substr(before.size())).size(), (1000 - before.size()) / 117);
    }

    // With the messages in the same file, the message follows the last whole statement: the
    // file's position went back with the cut, and no hole of zero bytes (nor the limit) comes first.
    const fs::path script = dir / "update.sql";
    const std::string command = "prlimit --fsize=1000 " + binary + " '" + input.string() + "' > '" + script.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string written = slurp(script);
    const auto message_at = written.find("credbatch: ");
    ASSERT_NE(message_at, std::string::npos) << "no message in the file";
    EXPECT_EQ(written.substr(message_at), "credbatch: cannot write standard output: File too large\n");
    EXPECT_EQ(whole_statements(std::string_view(written).substr(0, message_at)).size(), 1000u / 117);
}

// A full disk for real: a tmpfs of two pages, one of them taken by a filler, so that the script's
// file grows to the end of its own page and no further. The header fills that page but for two
// statements and part of a third, which the file system takes before it says it is full.
TEST_F(Binary, FullDiskLeavesOnlyWholeStatements)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root: the full-disk cut-back is NOT tested in this run";
    }
    const fs::path disk = dir / "disk";
    fs::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=8k credbatch-full '" + disk.string() + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here (no CAP_SYS_ADMIN?): the full-disk cut-back is NOT tested in this run";
    }
    struct Unmount {
        fs::path at;
        ~Unmount() { EXPECT_EQ(std::system(("umount '" + at.string() + "'").c_str()), 0); }
    } unmount{disk};
    std::ofstream(disk / "filler", std::ios::binary) << std::string(4096, 'f');
    // "UPDATE ... = '<60>' WHERE ... = 'userN';" and the line ending.
    const std::size_t statement_bytes = 116 + eol.size();
    const std::string header = std::string(4096 - 2 * statement_bytes - 100 - 1, '-') + "\n";
    const fs::path script = write("disk/update.sql", header);
    ASSERT_EQ(slurp(script), header);

    const fs::path input = write("users.txt", numbered_users(4));
    Result result;
    if (!on_windows) {
        result = run(input.string(), ">> '" + script.string() + "'");
    } else {
        // Through cmd.exe's >>, as on Windows: wine cannot cut back a file that a Linux shell
        // opened for it (its server refuses SetEndOfFile on a descriptor it did not open itself).
        const char* cmd = std::getenv("CREDBATCH_WINDOWS_CMD");
        const char* exe = std::getenv("CREDBATCH_WINDOWS_EXE");
        ASSERT_TRUE(cmd != nullptr && exe != nullptr) << "CREDBATCH_WINDOWS_CMD and CREDBATCH_WINDOWS_EXE must name cmd.exe and the tool";
        fs::copy_file(exe, dir / "credbatch.exe");
        const std::string command = "cd '" + dir.string() + "' && " + cmd + " \"credbatch.exe users.txt >> disk\\update.sql\" 2> stderr";
        const int status = std::system(command.c_str());
        result = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", slurp(dir / "stderr")};
    }
    EXPECT_EQ(result.status, 1);
    expect_failure_message(result.err, failure("cannot write standard output", "No space left on device"));
    const std::string written = slurp(script);
    ASSERT_TRUE(written.starts_with(header));
    EXPECT_EQ(whole_statements(std::string_view(written).substr(header.size())).size(), 2u);
}

// A script file that only takes appends (chattr +a) cannot be cut back after a failed write:
// the run says that its last line is part of a statement.
TEST_F(Binary, AppendOnlyScriptThatCannotBeCutBackIsSaidToEndInPart)
{
    const fs::path input = write("users.txt", numbered_users(9));
    const fs::path script = write("update.sql", "");
    if (std::system(("chattr +a '" + script.string() + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "no append-only file can be made here (not root, or a file system without it): the failed cut-back is NOT tested in this run";
    }
    const Result result = run(input.string(), ">> '" + script.string() + "'", "prlimit --fsize=1000 ");
    EXPECT_EQ(std::system(("chattr -a '" + script.string() + "'").c_str()), 0);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "credbatch: cannot write standard output: File too large\n"
                          "credbatch: the script ends in a partial statement that could not be removed; delete its last line before applying it\n");
    const std::string written = slurp(script);
    ASSERT_EQ(written.size(), 1000u);
    const std::string whole = written.substr(0, written.rfind('\n') + 1);
    EXPECT_EQ(whole_statements(whole).size(), 1000u / 117);
}

TEST_F(Binary, ClosedPipeIsAWriteError)
{
    const fs::path input = write("users.txt", numbered_users(3));
    const fs::path status = dir / "status";
    const fs::path err = dir / "stderr";
    const std::string command = "{ " + binary + " '" + input.string() + "' 2> '" + err.string() + "'; echo $? > '" +
                                status.string() + "'; } | head -n 1 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(slurp(status), "1\n");
    expect_failure_message(slurp(err), failure("cannot write standard output", "Broken pipe"));
}

TEST_F(Binary, RefusesToReadItsOwnOutput)
{
    const std::string users = numbered_users(2);
    const fs::path input = write("users.txt", users);
    // Without the check this would never end: the time limit makes that a failure.
    const Result result = run(input.string(), ">> '" + input.string() + "'", "timeout 10 ");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "credbatch: input '" + input.string() + "' is the same file as standard output" + eol);
    EXPECT_EQ(slurp(input), users);

    // Standard error appended to the input: every message would be read back as a line, which
    // makes another message. Refused before anything is read; the refusal itself lands there.
    const fs::path script = dir / "update.sql";
    const fs::path status = dir / "status";
    for (const std::string& redirect : {"2>> '" + input.string() + "'", "2>> '" + input.string() + "' >> '" + script.string() + "'"}) {
        write("users.txt", users + "bad\x01 pw\n");
        fs::remove(script);
        const std::string command = "timeout 10 " + binary + " '" + input.string() + "' > '" + script.string() + "' " + redirect +
                                    "; echo $? > '" + status.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(slurp(status), "1\n") << redirect << " (124: still running)";
        EXPECT_EQ(slurp(input), users + "bad\x01 pw\n" + "credbatch: input '" + input.string() + "' is the same file as standard error" + eol) << redirect;
        EXPECT_EQ(slurp(script), "") << redirect;
    }

    // Only a regular file can be read back: a device in both places is no loop.
    const Result devices = run("/dev/null", "> /dev/null");
    EXPECT_EQ(devices.status, 0);
    EXPECT_EQ(devices.err, "");
    EXPECT_EQ(std::system((binary + " /dev/null > /dev/null 2> /dev/null").c_str()), 0);
}

// Faults that come once the run is under way: it still fails, and says why.
TEST_F(Binary, LateFaultsFailTheRun)
{
    const fs::path input = write("users.txt", "alice pw\n");
    struct Case {
        std::string prefix;
        std::string err;
        bool hashed;  // a real hash, rather than the failure token
    };
    const Case cases[] = {
        // A write error that only close reports, as a network file system may.
        {"LD_PRELOAD=" CREDBATCH_FAILING_CLOSE " ", "credbatch: cannot write standard output: Input/output error\n", true},
        // The random source answers at the start (its check, and the key of the names seen) and
        // then stops answering.
        {"CREDBATCH_ENTROPY_ANSWERS=2 LD_PRELOAD=" CREDBATCH_FAILING_ENTROPY " ",
         "credbatch: line 1: the password could not be hashed; its statement carries the failure token\n", false},
        // The library passes the self-test at cost 4 and then fails at cost 10.
        {"CREDBATCH_CRYPT_FAILS_FOR='$2a$10$' LD_PRELOAD=" CREDBATCH_WRONG_HASHES " ",
         "credbatch: line 1: the password could not be hashed; its statement carries the failure token\n", false},
        // The library passes the self-test and then, at cost 10, puts a quote and SQL into a
        // result of the right scheme and length.
        {"CREDBATCH_CRYPT_QUOTES_FOR='$2a$10$' LD_PRELOAD=" CREDBATCH_WRONG_HASHES " ",
         "credbatch: line 1: the password could not be hashed; its statement carries the failure token\n", false},
    };
    for (const Case& c : cases) {
        const Result result = run(input.string(), "", "ASAN_OPTIONS=verify_asan_link_order=0 " + c.prefix);
        EXPECT_EQ(result.status, 1) << c.prefix;
        EXPECT_EQ(result.err, c.err);
        const auto statements = whole_statements(result.out);
        ASSERT_EQ(statements.size(), 1u) << c.prefix;
        const std::string hash = parse_statement(statements[0])->first;
        EXPECT_EQ(c.hashed ? verifies("pw", hash) : hash == "*0", true) << statements[0];
    }
}

// A reader that lets the pipe fill up, and drains it only after the tool has found it full.
TEST_F(Binary, WaitsWhenANonBlockingStandardOutputIsFull)
{
    // Twenty statements of over 200 bytes each overfill a pipe of one page.
    std::string users;
    for (int i = 1; i <= 20; ++i) {
        users += std::string(95, 'n') + std::to_string(i) + " pw\n";
    }
    const fs::path input = write("users.txt", users);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const fs::path err = dir / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        close(ends[0]);
        close(ends[1]);
        execl(binary.c_str(), binary.c_str(), input.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    // Full: no room for another statement. Then time for the next hash and its write.
    int held = 0;
    for (int tries = 0; tries < 400 && held < 4096 - 200; ++tries) {
        usleep(50'000);
        ASSERT_EQ(ioctl(ends[0], FIONREAD, &held), 0);
    }
    EXPECT_GE(held, 4096 - 200) << "the pipe never filled";
    usleep(300'000);
    std::string out;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(got));
    }
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(slurp(err), "");
    EXPECT_EQ(whole_statements(out).size(), 20u);
}

// Reads a /proc file of a running process.
std::string proc_file(pid_t pid, const char* name)
{
    return slurp(fs::path("/proc") / std::to_string(pid) / name);
}

std::string line_starting(const std::string& text, std::string_view start)
{
    for (const auto& line : output_lines(text, "\n")) {
        if (line.starts_with(start)) {
            return line;
        }
    }
    return "";
}

TEST_F(Binary, NoCoreFileAndSecretsLockedInMemory)
{
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &unlimited);
        dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
        execl(binary.c_str(), binary.c_str(), fifo.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Opening the FIFO's writing end lets the tool's open return; it then waits in read.
    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    std::string locked;
    for (int tries = 0; tries < 50 && locked.empty(); ++tries) {
        locked = line_starting(proc_file(pid, "status"), "VmLck:");
        if (locked == "VmLck:\t       0 kB") {
            locked.clear();
            usleep(20'000);
        }
    }
    const std::string limits = proc_file(pid, "limits");
    // SIGQUIT dumps core by default, and unlike SIGSEGV no sanitizer catches it.
    kill(pid, SIGQUIT);
    close(writer);
    int status = 0;
    waitpid(pid, &status, 0);

    EXPECT_EQ(line_starting(limits, "Max core file size"), "Max core file size        0                    0                    bytes     ");
    if (std::getenv("ASAN_OPTIONS") == nullptr) {  // AddressSanitizer makes mlock do nothing
        EXPECT_FALSE(locked.empty()) << "no page locked while reading";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT);
    EXPECT_FALSE(WCOREDUMP(status)) << "a core was dumped";
}

// Whether another process of the same user can open /proc/PID/mem of `program` while it waits
// for its input from a FIFO: the program runs as nobody, started by a shell (also nobody) that
// opens the FIFO's other end, which it can do only once the program has opened its own, and then
// tries /proc/PID/mem. "readable", "refused", or what went wrong.
std::string memory_open_to_its_user(const fs::path& dir, const std::string& program)
{
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        return "no user nobody";
    }
    const fs::path fifo = dir / ("fifo-" + std::to_string(std::rand()));
    if (mkfifo(fifo.c_str(), 0600) != 0 || chown(fifo.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        return "no FIFO";
    }
    const fs::path probe = dir / "probe.sh";
    std::ofstream(probe) << "fifo=$1; shift\n"
                            "\"$@\" \"$fifo\" > /dev/null 2>&1 &\n"
                            "exec 4> \"$fifo\"\n"
                            "if true 2>/dev/null 3< /proc/$!/mem; then echo readable; else echo refused; fi\n"
                            "exec 4>&-\n"
                            "wait\n";
    const fs::path answer = dir / "answer";
    // Bounded in time: a program that cannot start never opens its end, and the shell would wait
    // for ever to open the other.
    const std::string command = "timeout 60 setpriv --reuid=" + std::to_string(nobody->pw_uid) + " --regid=" + std::to_string(nobody->pw_gid) +
                                " --clear-groups sh '" + probe.string() + "' '" + fifo.string() + "' " + program + " > '" +
                                answer.string() + "'";
    if (std::system(command.c_str()) != 0) {
        return "setpriv failed, or the program did not start";
    }
    std::string said = slurp(answer);
    return said.empty() ? "no answer" : said.substr(0, said.size() - 1);
}

TEST_F(Binary, NoOtherProcessOfTheUserReadsItsMemory)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "running the tool as another user needs root: the non-dumpable flag is NOT tested in this run";
    }
    // The probe must see an ordinary process's memory, or it tells nothing about the tool's.
    const std::string control = memory_open_to_its_user(dir, "cat");
    if (control != "readable") {
        GTEST_SKIP() << "here no process may open another's memory (" << control << "): the non-dumpable flag is NOT tested in this run";
    }
    // Run from a copy in the case's own directory, which nobody can reach wherever the build
    // tree lies (under /root, say).
    const fs::path tool = dir / "credbatch";
    fs::copy_file(binary, tool);
    EXPECT_EQ(memory_open_to_its_user(dir, tool.string()), "refused");
}

TEST_F(Binary, OutOfMemoryIsAMessage)
{
    if (std::getenv("ASAN_OPTIONS") != nullptr) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here allows";
    }
    // Below some limit the dynamic loader itself fails (127), before the tool runs; above it,
    // each run either succeeds whole or says it ran out of memory and writes nothing.
    const fs::path input = write("users.txt", "alice pw\n");
    const auto run_within = [&](long kib) { return run(input.string(), "", "prlimit --as=" + std::to_string(kib * 1024) + " "); };
    long low = 1024;
    long high = 256 * 1024;
    while (high - low > 16) {
        const long middle = (low + high) / 2;
        (run_within(middle).status == 127 ? low : high) = middle;
    }
    int out_of_memory = 0;
    for (long kib = high; kib < high + 8192; kib += 32) {
        const Result result = run_within(kib);
        if (result.status == 0) {
            EXPECT_EQ(output_lines(result.out).size(), 1u);
            break;
        }
        ++out_of_memory;
        EXPECT_EQ(result.status, 1) << kib << " KiB: " << result.err;
        EXPECT_EQ(result.err, "credbatch: out of memory" + eol) << kib << " KiB";
        EXPECT_EQ(result.out, "");
    }
    EXPECT_GE(out_of_memory, 1) << "no limit made the tool itself run out of memory";
}

// What Notepad's "Unicode" and "Unicode big endian", and Windows PowerShell's ">", write.
TEST_F(Binary, RefusesUtf16TextBeforeWritingAnything)
{
    struct Case {
        std::string name;
        std::string shown;  // the name as the message shows it
        std::string content;
        std::string encoding;
        bool posix_only;
    };
    const Case cases[] = {
        {"le.txt", "le.txt", std::string("\xFF\xFE" "a\0 \0p\0w\0\r\0\n\0", 14), "UTF-16LE", false},
        {"be.txt", "be.txt", std::string("\xFE\xFF\0a\0 \0p\0w\0\r\0\n", 14), "UTF-16BE", false},
        {"esc\x1b[31m.txt", "esc\\x1b[31m.txt", "\xFF\xFE", "UTF-16LE", true},
        {"le32.txt", "le32.txt", std::string("\xFF\xFE\0\0a\0\0\0 \0\0\0p\0\0\0\n\0\0\0", 20), "UTF-32LE", false},
        {"be32.txt", "be32.txt", std::string("\0\0\xFE\xFF\0\0\0a\0\0\0 \0\0\0p\0\0\0\n", 20), "UTF-32BE", false},
    };
    for (const Case& c : cases) {
        if (on_windows && c.posix_only) {
            continue;  // no Windows file name holds a control character
        }
        const fs::path input = write(c.name, c.content);
        const Result result = run("'" + input.string() + "'");
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(result.err, "credbatch: '" + (dir / c.shown).string() + "' is " + c.encoding + " text; save it as UTF-8" + eol);
    }
}

// Lines that give statements which match no one, or which a later line overrides.
TEST_F(Binary, WarnsOfNamesThatMatchNoOneOrRepeat)
{
    const Result result = run(write("users.txt", "caf\xE9 one\nalice\xC2\xA0 two\nbob thr\xE9\n\nbob four\n").string());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "credbatch: line 1: user name is not valid UTF-8; a UTF-8 database refuses it or matches no row" + eol +
                          "credbatch: line 2: user name contains an invisible character, such as a non-breaking or zero-width space" + eol +
                          "credbatch: line 3: password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it" + eol +
                          "credbatch: line 5: user name already on line 3; the later statement wins" + eol);
    const auto statements = whole_statements(result.out);
    ASSERT_EQ(statements.size(), 4u);
    EXPECT_EQ(parse_statement(statements[0])->second, "caf\xE9");
    EXPECT_EQ(parse_statement(statements[1])->second, "alice\xC2\xA0");
    EXPECT_TRUE(verifies("thr\xE9", parse_statement(statements[2])->first));
    EXPECT_TRUE(verifies("four", parse_statement(statements[3])->first));
}

// Under GNU parallel each block is a run of its own, so the manual page gives a check of the
// whole file: it must find the repeats the tool finds, where the tool finds them. The check is
// taken from the page's literal display as a reader sees it: \e is a backslash there, and any
// other escape would show something else, so the case refuses it.
TEST_F(Binary, ManualsWholeFileCheckFindsTheRepeatsTheToolFinds)
{
    const std::string page = slurp(CREDBATCH_MANUAL);
    const auto section = page.find("\n.Sy Repeated user names across blocks .\n");
    ASSERT_NE(section, std::string::npos);
    const auto start = page.find("\n.Bd -literal -offset indent\n", section);
    ASSERT_NE(start, std::string::npos);
    const auto body = start + std::string_view("\n.Bd -literal -offset indent\n").size();
    const auto end = page.find("\n.Ed\n", body);
    ASSERT_NE(end, std::string::npos);
    std::string check;
    for (std::size_t i = body; i <= end; ++i) {
        if (page[i] == '\\') {
            ASSERT_EQ(page[i + 1], 'e') << "an escape other than \\e in the check: " << page.substr(i, 2);
            check += '\\';
            ++i;
        } else {
            check += page[i];
        }
    }
    ASSERT_TRUE(check.ends_with(" users.txt\n")) << check;
    const fs::path input = write("users.txt", "\xEF\xBB\xBF" "dup pw1\r\n  alice\tpw\n\n \t\r\ndup\tpw2\nbob\vx\n\fbob pw\nalice\nalice2 x\n");
    check.replace(check.size() - 10, 9, "'" + input.string() + "'");
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && " + check.substr(0, check.size() - 1) + " > awk-out").c_str()), 0);

    const Result result = run(input.string());
    EXPECT_EQ(result.status, 0);
    std::string repeats;
    for (const auto& message : output_lines(result.err)) {
        if (message.ends_with("; the later statement wins")) {
            repeats += message.substr(11, message.size() - 11 - 26) + "\n";
        }
    }
    EXPECT_EQ(repeats, "line 5: user name already on line 1\nline 7: user name already on line 6\nline 8: user name already on line 2\n");
    EXPECT_EQ(slurp(dir / "awk-out"), repeats);
}

TEST_F(Binary, EmptyInputGivesEmptyScript)
{
    const Result result = run(write("empty.txt", "").string());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST_F(Binary, CrLfAndLfGiveTheSameUsersAndPasswords)
{
    const Result lf = run(write("lf.txt", "alice one\nbob two").string() + " ignored extra");
    const Result crlf = run(write("crlf.txt", "\xEF\xBB\xBF" "alice one\r\nbob two\r\n").string() + " 'also ignored'");
    const Result plain = run(write("plain.txt", "alice one\nbob two\n").string());
    const std::vector<std::pair<std::string, std::string>> expected = {{"alice", "one"}, {"bob", "two"}};
    // Arguments after the input change nothing but a warning; a glob that named several files
    // would otherwise leave all but the first unconverted without a word.
    EXPECT_EQ(lf.err, "credbatch: 2 arguments after the input file are ignored; credbatch converts one file per run" + eol);
    EXPECT_EQ(crlf.err, "credbatch: 1 argument after the input file is ignored; credbatch converts one file per run" + eol);
    EXPECT_EQ(plain.err, "");
    for (const Result* result : {&lf, &crlf, &plain}) {
        EXPECT_EQ(result->status, 0);
        const auto statements = output_lines(result->out);
        ASSERT_EQ(statements.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto values = parse_statement(statements[i]);
            ASSERT_TRUE(values) << statements[i];
            EXPECT_EQ(values->second, expected[i].first);
            EXPECT_TRUE(verifies(expected[i].second, values->first)) << statements[i];
        }
    }
    EXPECT_NE(lf.out, crlf.out) << "two runs in the same second must draw different salts";

    // Lines that end in CR alone: read as one line, alice would get bob's name as her password.
    const Result cr = run(write("cr.txt", "alice\rbob\r").string());
    EXPECT_EQ(cr.status, 1);
    EXPECT_EQ(cr.out, "");
    EXPECT_EQ(cr.err, "credbatch: line 1: carriage return inside the line, as in a file whose lines end in CR alone; "
                      "convert such a file with tr '\\r' '\\n'" + eol);
}

// Someone cuts the input short while it is read: the last line read may be cut too, the lines
// after it are missing, and the run must not look like a success.
TEST_F(Binary, InputCutShortWhileReadFailsTheRun)
{
    // Fifty lines to hash first, then blank lines to the end of the first 64 KiB read, then more users.
    std::string users = numbered_users(50);
    users += std::string(64 * 1024 - users.size(), '\n') + "bob longpassword\ncarol pw\n";
    const fs::path input = write("users.txt", users);
    const std::uint64_t cut_to = 64 * 1024 + 8;  // "bob long"
    const fs::path script = dir / "update.sql";
    const fs::path err = dir / "stderr";
    const fs::path status = dir / "status";
    // The first statement shows that the first read is done; fifty hashes leave time for the cut.
    const std::string command = binary + " '" + input.string() + "' > '" + script.string() + "' 2> '" + err.string() + "' & " +
                                "while [ ! -s '" + script.string() + "' ]; do sleep 0.05; done; truncate -s " + std::to_string(cut_to) +
                                " '" + input.string() + "'; wait $!; echo $? > '" + status.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(slurp(status), "1\n");
    EXPECT_EQ(slurp(err), "credbatch: input '" + input.string() + "' changed while it was read: it held " + std::to_string(users.size()) +
                              " bytes at the start and " + std::to_string(cut_to) +
                              " were read; lines may be missing and the last one cut short, so do not apply this script" + eol);
    EXPECT_EQ(whole_statements(slurp(script)).size(), 51u);
}

// A text-mode read would take 0x1A for the end of the file and drop every line after it.
TEST_F(Binary, ReadsEveryByteWhateverItIs)
{
    const std::string password = "p\x1Aw";
    const Result result = run(write("users.txt", "alice " + password + "\n\x1A" "after pw\nbob pw\n").string());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "credbatch: line 2: user name contains a control character" + eol);
    const auto statements = whole_statements(result.out);
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(parse_statement(statements[0])->second, "alice");
    EXPECT_TRUE(verifies(password, parse_statement(statements[0])->first));
    EXPECT_EQ(parse_statement(statements[1])->second, "bob");
}

TEST_F(Binary, OpensAndShowsAPathInAnyLanguage)
{
    const std::string name = "us\xC3\xA9rs-\xE6\x97\xA5\xE6\x9C\xAC.txt";  // "usérs-日本.txt" in UTF-8
    const Result opened = run("'" + write(name, "alice pw\n").string() + "'");
    EXPECT_EQ(opened.status, 0) << opened.err;
    EXPECT_EQ(whole_statements(opened.out).size(), 1u);
    const Result missing = run("'" + (dir / ("not-" + name)).string() + "'");
    EXPECT_TRUE(missing.err.starts_with("credbatch: cannot open '" + (dir / ("not-" + name)).string() + "': ")) << missing.err;
}

// The README's recipe for cmd.exe: its redirection passes the script's bytes on unchanged.
TEST_F(Binary, CmdRedirectionWritesTheScript)
{
    const char* cmd = std::getenv("CREDBATCH_WINDOWS_CMD");
    const char* exe = std::getenv("CREDBATCH_WINDOWS_EXE");
    if (!on_windows || cmd == nullptr || exe == nullptr) {
        GTEST_SKIP() << "cmd.exe is Windows'";
    }
    fs::copy_file(exe, dir / "credbatch.exe");
    write("users.txt", "alice pw\no'brien s3cret\n");
    const std::string command = "cd '" + dir.string() + "' && " + cmd + " \"credbatch.exe users.txt > update.sql\" 2> stderr";
    EXPECT_EQ(std::system(command.c_str()), 0) << slurp(dir / "stderr");
    const auto statements = whole_statements(slurp(dir / "update.sql"));
    ASSERT_EQ(statements.size(), 2u);
    EXPECT_EQ(parse_statement(statements[1])->second, "o'brien");
    EXPECT_TRUE(verifies("s3cret", parse_statement(statements[1])->first));
}

TEST_F(Binary, ScriptAppliesSafelyToARealDatabase)
{
    const std::vector<std::pair<std::string, std::string>> users = {
        {"'", "quote"}, {"''", "two-quotes"}, {"\\'", "backslash-quote"},
        {"';DROP/**/TABLE/**/DT511;--", "dropper"}, {"trailing\\", "backslash"}, {"o'brien", ""},
    };
    std::string input;
    std::string setup = "CREATE TABLE DT511 (DI010323 TEXT PRIMARY KEY, DI059177 TEXT);\n"
                        "INSERT INTO DT511 VALUES ('bystander', 'old');\n";
    for (const auto& [user, password] : users) {
        input += user + " " + password + "\n";
        std::string literal;
        for (const char c : user) {
            literal += c == '\'' ? "''" : std::string(1, c);
        }
        setup += "INSERT INTO DT511 VALUES ('" + literal + "', 'old');\n";
    }
    const fs::path db = dir / "users.db";
    const fs::path script = dir / "update.sql";
    ASSERT_EQ(std::system(("sqlite3 -bail '" + db.string() + "' < '" + write("setup.sql", setup).string() + "'").c_str()), 0);

    const Result result = run(write("users.txt", input).string(), "> '" + script.string() + "'");
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(std::system(("sqlite3 -bail '" + db.string() + "' < '" + script.string() + "'").c_str()), 0);

    const fs::path rows = dir / "rows";
    ASSERT_EQ(std::system(("sqlite3 -separator '|' '" + db.string() +
                           "' 'SELECT DI010323, DI059177 FROM DT511 ORDER BY rowid' > '" + rows.string() + "'").c_str()), 0);
    const auto table = output_lines(slurp(rows), "\n");
    ASSERT_EQ(table.size(), users.size() + 1);
    EXPECT_EQ(table[0], "bystander|old");
    for (std::size_t i = 0; i < users.size(); ++i) {
        const auto bar = table[i + 1].rfind('|');
        EXPECT_EQ(table[i + 1].substr(0, bar), users[i].first);
        EXPECT_TRUE(verifies(users[i].second, table[i + 1].substr(bar + 1))) << table[i + 1];
    }
}

// The progress draws a screen holds: the text after each erase, up to the next carriage return.
std::vector<std::string> progress_draws(const std::string& screen)
{
    const std::string erase = "\r\x1b[K";
    std::vector<std::string> draws;
    for (auto at = screen.find(erase); at != std::string::npos; at = screen.find(erase, at + 1)) {
        const std::size_t start = at + erase.size();
        const std::string drawn = screen.substr(start, screen.find('\r', start) - start);
        if (!drawn.empty()) {
            draws.push_back(drawn);
        }
    }
    return draws;
}

TEST_F(Binary, ShowsProgressOnATerminalAndLeavesItClean)
{
    const std::string erase = "\r\x1b[K";
    const std::string users = numbered_users(12);
    const std::string message = "credbatch: line 13: user name contains a control character\r\n";
    for (const auto& [input, last_message] : {std::pair{users, std::string()}, std::pair{users + "bad\x01 x\n", message}}) {
        const fs::path script = dir / "update.sql";
        const auto started = std::chrono::steady_clock::now();
        const std::string screen = run_on_terminal(binary + " '" + write("users.txt", input).string() + "' > '" + script.string() + "'").shown;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

        EXPECT_EQ(output_lines(slurp(script)).size(), 12u);
        // The line is erased at the end. A message comes whole, after an erase; when the last line
        // took a while, a redraw may follow it, and is erased in turn.
        if (last_message.empty()) {
            EXPECT_TRUE(screen.ends_with(erase)) << screen;
        } else {
            const auto at = screen.rfind(erase + last_message);
            ASSERT_NE(at, std::string::npos) << screen;
            const std::string after = screen.substr(at + erase.size() + last_message.size());
            EXPECT_TRUE(after.empty() || (after.starts_with(erase) && after.ends_with(erase) && after.find('\n') == std::string::npos))
                << screen;
        }
        std::size_t draws = 0;
        for (const auto& shown : progress_draws(screen)) {
            if (!shown.ends_with(" left")) {
                continue;  // the message
            }
            ++draws;
            EXPECT_TRUE(shown.starts_with("credbatch: ")) << shown;
            EXPECT_NE(shown.find(" lines, "), std::string::npos) << shown;
            EXPECT_NE(shown.find("% of input, "), std::string::npos) << shown;
            EXPECT_NE(shown.find(" hashes/s, "), std::string::npos) << shown;
        }
        EXPECT_GE(draws, 1u);
        EXPECT_LE(draws, static_cast<std::size_t>(took.count() * 5) + 1) << "more than five redraws a second";
    }

    // With the script on the terminal too, its statements are all that is shown.
    const std::string screen = run_on_terminal(binary + " '" + write("users.txt", users).string() + "'").shown;
    EXPECT_EQ(screen.find("credbatch"), std::string::npos) << screen;
    EXPECT_EQ(output_lines(screen, "\r\n").size(), 12u);
}

TEST_F(Binary, ProgressFitsANarrowTerminal)
{
    const fs::path input = write("users.txt", numbered_users(12));
    const Screen screen = run_on_terminal(binary + " '" + input.string() + "' > '" + (dir / "update.sql").string() + "'", 40);
    const auto draws = progress_draws(screen.shown);
    ASSERT_FALSE(draws.empty());
    for (const auto& drawn : draws) {
        EXPECT_LT(drawn.size(), 40u) << drawn;
        EXPECT_TRUE(drawn.ends_with(" left")) << "the time left is the last part to go: " << drawn;
    }
}

TEST_F(Binary, InterruptErasesTheProgressLineAndDiesOfTheSignal)
{
    const fs::path input = write("users.txt", numbered_users(200));
    bool interrupted = false;
    const Screen screen = run_on_terminal(binary + " '" + input.string() + "' > '" + (dir / "update.sql").string() + "'", 80,
                                          [&](const std::string& shown, pid_t pid) {
                                              if (!interrupted && shown.find(" left") != std::string::npos) {
                                                  kill(pid, SIGINT);
                                                  interrupted = true;
                                              }
                                          });
    ASSERT_TRUE(interrupted);
    EXPECT_TRUE(WIFSIGNALED(screen.status) && WTERMSIG(screen.status) == SIGINT) << screen.status;
    EXPECT_TRUE(screen.shown.ends_with("\r\x1b[K")) << screen.shown;
    EXPECT_LT(whole_statements(slurp(dir / "update.sql")).size(), 200u);
}

TEST_F(Binary, IgnoredHangupStaysIgnoredWhileTheProgressLineIsShown)
{
    const fs::path input = write("users.txt", numbered_users(20));
    const fs::path script = dir / "update.sql";
    bool hung_up = false;
    // As nohup leaves it, but with the terminal kept as standard error.
    const Screen screen = run_on_terminal("sh -c \"trap '' HUP; exec " + binary + " '" + input.string() + "' > '" + script.string() + "'\"",
                                          80, [&](const std::string& shown, pid_t pid) {
                                              if (!hung_up && shown.find(" left") != std::string::npos) {
                                                  kill(pid, SIGHUP);
                                                  hung_up = true;
                                              }
                                          });
    ASSERT_TRUE(hung_up);
    EXPECT_TRUE(WIFEXITED(screen.status) && WEXITSTATUS(screen.status) == 0) << screen.status;
    EXPECT_EQ(whole_statements(slurp(script)).size(), 20u);
}

// A terminal ends its input once per Ctrl-D, and reading on would wait for another.
TEST_F(Binary, EndOfInputOnATerminalIsReadOnce)
{
    const fs::path script = dir / "update.sql";
    const Screen screen = run_on_terminal("timeout --foreground 10 " + binary + " /dev/tty > '" + script.string() + "'", 80, {}, "\x04");
    EXPECT_TRUE(WIFEXITED(screen.status) && WEXITSTATUS(screen.status) == 0) << "status " << screen.status << " (124: still reading)";
    EXPECT_EQ(slurp(script), "");
}

TEST_F(Binary, PathInAMessageIsOneLineWithoutEscapes)
{
    struct Case {
        std::string name;
        std::string shown;
        bool posix_only;  // bytes that are not UTF-8 do not survive Windows' wide command line
    };
    const Case cases[] = {
        {"new\nline\x1b[31m", "new\\nline\\x1b[31m", false},
        {"nel\x85" "csi\x9b" "31m", "nel\\x85csi\\x9b31m", true},
        {"ls\xe2\x80\xa8" "rlo\xe2\x80\xae" "lri\xe2\x81\xa6", "ls\\xe2\\x80\\xa8rlo\\xe2\\x80\\xaelri\\xe2\\x81\\xa6", false},
    };
    for (const Case& c : cases) {
        if (on_windows && c.posix_only) {
            continue;
        }
        const Result result = run("'" + (dir / c.name).string() + "'");
        EXPECT_EQ(result.status, 1);
        expect_failure_message(result.err, failure("cannot open '" + dir.string() + "/" + c.shown + "'", "No such file or directory"));
    }
}

// python3-bcrypt comes from the OpenBSD line of bcrypt, which has no $2a$ countermeasure.
bool python_bcrypt_verifies(const fs::path& dir, const std::string& password, const std::string& hash)
{
    std::ofstream(dir / "password", std::ios::binary) << password;
    const std::string command = "/usr/bin/python3 -c 'import bcrypt, sys; sys.exit(0 if bcrypt.checkpw(open(sys.argv[1], \"rb\").read(), "
                                "sys.argv[2].encode()) else 1)' '" + (dir / "password").string() + "' '" + hash + "'";
    return std::system(command.c_str()) == 0;
}

TEST_F(Binary, WarnsWhereOnlySomeVerifiersAcceptTheHash)
{
    const std::string warned = "\xFF\xFF" "a";
    const std::string utf8 = "p\xC3\xA4ssw\xC3\xB6rd\xC3\xBF";
    const Result result = run(write("users.txt", "ff " + warned + "\nutf8 " + utf8 + "\n").string());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "credbatch: line 1: password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it" + eol +
                          "credbatch: line 1: this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it" + eol);
    const auto statements = whole_statements(result.out);
    ASSERT_EQ(statements.size(), 2u);
    const std::string warned_hash = parse_statement(statements[0])->first;
    const std::string utf8_hash = parse_statement(statements[1])->first;
    EXPECT_TRUE(verifies(warned, warned_hash));
    EXPECT_FALSE(python_bcrypt_verifies(dir, warned, warned_hash));
    EXPECT_TRUE(verifies(utf8, utf8_hash));
    EXPECT_TRUE(python_bcrypt_verifies(dir, utf8, utf8_hash));
}

TEST_F(Binary, GnuParallelRecipeKeepsUsersInOrder)
{
    const Result result = run("/dev/stdin < '" + write("users.txt", numbered_users(40)).string() + "'", "",
                              "parallel --will-cite --pipe --keep-order -N 10 -j 2 ");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const auto statements = output_lines(result.out);
    ASSERT_EQ(statements.size(), 40u);
    for (std::size_t i = 0; i < statements.size(); ++i) {
        const auto values = parse_statement(statements[i]);
        ASSERT_TRUE(values) << statements[i];
        EXPECT_EQ(values->second, "user" + std::to_string(i + 1));
        EXPECT_TRUE(verifies("pw" + std::to_string(i + 1), values->first)) << statements[i];
    }
}

TEST_F(Binary, ReadsAFifoAsItsDataArrives)
{
    const fs::path fifo = dir / "fifo";
    const Result result = run("'" + fifo.string() + "'", "", "mkfifo '" + fifo.string() + "' && (printf 'alice pw\\n' > '" + fifo.string() + "' &) && ");
    EXPECT_EQ(result.status, 0);
    const auto values = parse_statement(output_lines(result.out).at(0));
    ASSERT_TRUE(values);
    EXPECT_EQ(values->second, "alice");
    EXPECT_TRUE(verifies("pw", values->first));
}

TEST_F(Binary, RandomBytesGiveOnlyStatementsAndKnownMessages)
{
    std::mt19937 random(20261208);
    std::string bytes(32 * 1024, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random() & 0xFF); });
    const Result result = run(write("random.bin", bytes).string());
    const auto statements = output_lines(result.out);
    // A line is either a statement (with any warnings) or one rejection.
    const auto messages = output_lines(result.err);
    const auto rejections = std::count_if(messages.begin(), messages.end(), [](const std::string& message) {
        return !message.ends_with(" is ignored") && !message.ends_with(" are used") && !message.ends_with(" as an escape") &&
               !message.ends_with(" reject it") && !message.ends_with(" matches no row") && !message.ends_with(" will not match it") &&
               !message.ends_with(" zero-width space") && !message.ends_with(" the later statement wins") &&
               !message.ends_with(" the password became the name)");
    });
    EXPECT_EQ(result.status, rejections == 0 ? 0 : 1);
    EXPECT_GT(rejections, 0);
    EXPECT_LE(statements.size() + static_cast<std::size_t>(rejections),
              static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n') + 1));
    for (const auto& statement : statements) {
        const auto values = parse_statement(statement);
        ASSERT_TRUE(values) << statement;
        EXPECT_TRUE(is_hash(values->first)) << statement;
    }
}

TEST_F(Binary, HugeLineTakesNoMoreMemoryThanAShortOne)
{
    // GNU time reports the tool's own peak resident set, in KiB.
    const auto peak_kib = [&](const fs::path& input) {
        const fs::path report = dir / "peak";
        const Result result = run(input.string(), "", "/usr/bin/time -f %M -o '" + report.string() + "' ");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(output_lines(result.out).size(), 1u);
        return std::stol(slurp(report));
    };
    const long small = peak_kib(write("small.txt", "alice pw"));
    const long huge = peak_kib(write("huge.txt", "alice pw " + std::string(64 << 20, 'x')));
    EXPECT_LT(huge - small, 1024) << small << " KiB against " << huge << " KiB";
}

} // namespace
