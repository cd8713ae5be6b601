// The built binary, run through the shell as an administrator would run it.
#include <gtest/gtest.h>

#include <crypt.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "statement_check.hpp"

namespace {

namespace fs = std::filesystem;

const std::string binary = CREDBATCH_BINARY;
const std::string usage_text =
    "Usage: credbatch.exe input_file\n"
    " (Each line of input_file is expected to contain a username, password pair, both values separated by a "
    "space character. Password is optional, i.e. it can be empty.)\n";

struct Result {
    int status = -1;
    std::string out;
    std::string err;
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

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Every message the tool may write. Only a path and the system's reason are ever filled in,
// so a message that fits one of these cannot carry a password.
bool is_known_message(std::string_view message)
{
    static const std::string_view with_reason[] = {
        "credbatch: cannot open '", "credbatch: cannot read '", "credbatch: cannot write standard output: ",
        "credbatch: no secure random source: "};
    static const std::string_view line_faults[] = {
        "NUL byte in user name or password", "user name longer than 100 characters",
        "user name contains a control character", "password longer than 100 characters",
        "only the first 72 bytes of the password are used",
        "the password could not be hashed; its statement carries the failure token"};
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
    return std::find(std::begin(line_faults), std::end(line_faults), message) != std::end(line_faults);
}

// Runs a shell command with a pseudo-terminal as its standard streams and returns what it
// showed there.
std::string run_on_terminal(const std::string& command)
{
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        screen.append(buffer, static_cast<std::size_t>(got));
    }
    waitpid(pid, nullptr, 0);
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
        const int status = std::system(command.c_str());
        Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
        if (result.err != usage_text) {
            for (const auto& message : lines_of(result.err)) {
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
        std::string err;
    };
    const Case cases[] = {
        {"", "", "", usage_text},
        {"'" + (dir / "missing").string() + "'", "", "",
         "credbatch: cannot open '" + (dir / "missing").string() + "': No such file or directory\n"},
        {"'" + dir.string() + "'", "", "", "credbatch: cannot read '" + dir.string() + "': Is a directory\n"},
        {input.string(), "> /dev/full", "", "credbatch: cannot write standard output: No space left on device\n"},
        {input.string(), ">&-", "", "credbatch: cannot write standard output: Bad file descriptor\n"},
        {input.string(), "", "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" CREDBATCH_FAILING_ENTROPY " ",
         "credbatch: no secure random source: Function not implemented\n"},
    };
    for (const Case& c : cases) {
        const Result result = run(c.arguments, c.redirect, c.prefix);
        EXPECT_EQ(result.status, 1) << c.arguments << " " << c.redirect;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
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
    const Result crlf = run(write("crlf.txt", "\xEF\xBB\xBF" "alice one\r\nbob two\r\n").string());
    const std::vector<std::pair<std::string, std::string>> expected = {{"alice", "one"}, {"bob", "two"}};
    for (const Result* result : {&lf, &crlf}) {
        EXPECT_EQ(result->status, 0);
        EXPECT_EQ(result->err, "");
        const auto statements = lines_of(result->out);
        ASSERT_EQ(statements.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto values = parse_statement(statements[i]);
            ASSERT_TRUE(values) << statements[i];
            EXPECT_EQ(values->second, expected[i].first);
            EXPECT_TRUE(verifies(expected[i].second, values->first)) << statements[i];
        }
    }
    EXPECT_NE(lf.out, crlf.out) << "two runs in the same second must draw different salts";
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
    const auto table = lines_of(slurp(rows));
    ASSERT_EQ(table.size(), users.size() + 1);
    EXPECT_EQ(table[0], "bystander|old");
    for (std::size_t i = 0; i < users.size(); ++i) {
        const auto bar = table[i + 1].rfind('|');
        EXPECT_EQ(table[i + 1].substr(0, bar), users[i].first);
        EXPECT_TRUE(verifies(users[i].second, table[i + 1].substr(bar + 1))) << table[i + 1];
    }
}

TEST_F(Binary, ShowsProgressOnATerminalAndLeavesItClean)
{
    const std::string erase = "\r\x1b[K";
    std::string users;
    for (int i = 0; i < 12; ++i) {
        users += "user" + std::to_string(i) + " pw" + std::to_string(i) + "\n";
    }
    const std::string message = "credbatch: line 13: user name contains a control character\r\n";
    for (const auto& [input, screen_end] : {std::pair{users, erase}, std::pair{users + "bad\x01 x\n", erase + message}}) {
        const fs::path script = dir / "update.sql";
        const auto started = std::chrono::steady_clock::now();
        const std::string screen = run_on_terminal(binary + " '" + write("users.txt", input).string() + "' > '" + script.string() + "'");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;

        EXPECT_EQ(lines_of(slurp(script)).size(), 12u);
        EXPECT_TRUE(screen.ends_with(screen_end)) << screen;
        std::size_t draws = 0;
        for (auto at = screen.find(erase + "credbatch: "); at != std::string::npos; at = screen.find(erase + "credbatch: ", at + 1)) {
            const std::string_view shown(screen.data() + at, screen.find('\r', at + 1) - at);
            if (!shown.ends_with(" left")) {
                continue;  // the message
            }
            ++draws;
            EXPECT_NE(shown.find(" lines, "), std::string::npos) << shown;
            EXPECT_NE(shown.find("% of input, "), std::string::npos) << shown;
            EXPECT_NE(shown.find(" hashes/s, "), std::string::npos) << shown;
        }
        EXPECT_GE(draws, 1u);
        EXPECT_LE(draws, static_cast<std::size_t>(took.count() * 5) + 1) << "more than five redraws a second";
    }

    // With the script on the terminal too, its statements are all that is shown.
    const std::string screen = run_on_terminal(binary + " '" + write("users.txt", users).string() + "'");
    EXPECT_EQ(screen.find("credbatch"), std::string::npos) << screen;
    EXPECT_EQ(lines_of(screen).size(), 12u);
}

TEST_F(Binary, GnuParallelRecipeKeepsUsersInOrder)
{
    std::string input;
    for (int i = 0; i < 40; ++i) {
        input += "user" + std::to_string(i) + " pw" + std::to_string(i) + "\n";
    }
    const Result result = run("/dev/stdin < '" + write("users.txt", input).string() + "'", "",
                              "parallel --will-cite --pipe --keep-order -N 10 -j 2 ");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const auto statements = lines_of(result.out);
    ASSERT_EQ(statements.size(), 40u);
    for (std::size_t i = 0; i < statements.size(); ++i) {
        const auto values = parse_statement(statements[i]);
        ASSERT_TRUE(values) << statements[i];
        EXPECT_EQ(values->second, "user" + std::to_string(i));
        EXPECT_TRUE(verifies("pw" + std::to_string(i), values->first)) << statements[i];
    }
}

TEST_F(Binary, ReadsAFifoAsItsDataArrives)
{
    const fs::path fifo = dir / "fifo";
    const Result result = run("'" + fifo.string() + "'", "", "mkfifo '" + fifo.string() + "' && (printf 'alice pw\\n' > '" + fifo.string() + "' &) && ");
    EXPECT_EQ(result.status, 0);
    const auto values = parse_statement(lines_of(result.out).at(0));
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
    const auto statements = lines_of(result.out);
    const auto messages = lines_of(result.err);
    EXPECT_EQ(result.status, messages.empty() ? 0 : 1);
    EXPECT_FALSE(messages.empty());
    EXPECT_LE(statements.size() + messages.size(), static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n') + 1));
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
        EXPECT_EQ(lines_of(result.out).size(), 1u);
        return std::stol(slurp(report));
    };
    const long small = peak_kib(write("small.txt", "alice pw"));
    const long huge = peak_kib(write("huge.txt", "alice pw " + std::string(64 << 20, 'x')));
    EXPECT_LT(huge - small, 1024) << small << " KiB against " << huge << " KiB";
}

} // namespace
