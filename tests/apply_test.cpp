// The checked apply's own logic, with no database: which lines are statements, how a pass reads
// the script, and the verdict and outcome lines over a fake engine whose table is a map.

#include "checked_apply.hpp"
#include "outcome.hpp"
#include "script.hpp"
#include "statement.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

using namespace credbatch::apply;

const std::string hash_a = "$2a$10$GwGxHSWrKA.0QQvjHEK2M.I8Zg6fRvfrUt/wOE.YSrSkFhhIM8G2u";
const std::string hash_b = "$2a$10$GjGxOFahOT69cyLqcl/VMO3vmaOyXymHhtZV.hRWiP07wf4fXg6Vu";

std::string line_for(const std::string& hash, const std::string& user)
{
    std::string line;
    credbatch::format_statement(line, hash, user, "");
    return line;
}

// --- which lines are statements ------------------------------------------------------------

struct LineCase {
    const char* name;
    std::string line;
    bool taken;
    std::string user;  // as read back, when taken
};

class StatementLine : public testing::TestWithParam<LineCase> {};

TEST_P(StatementLine, IsTakenOnlyWhenItFormatsBackToTheSameBytes)
{
    const auto parsed = credbatch::parse_statement(GetParam().line);
    ASSERT_EQ(parsed.has_value(), GetParam().taken);
    if (parsed) {
        EXPECT_EQ(parsed->user, GetParam().user);
        EXPECT_EQ(parsed->hash, hash_a);
    }
}

const std::string plain = line_for(hash_a, "alice");

INSTANTIATE_TEST_SUITE_P(
    Lines, StatementLine,
    testing::Values(LineCase{"Plain", plain, true, "alice"},
                    LineCase{"DoubledQuote", line_for(hash_a, "o'malley"), true, "o'malley"},
                    LineCase{"QuotesOnly", line_for(hash_a, "''"), true, "''"},
                    LineCase{"EmptyName", line_for(hash_a, ""), true, ""},
                    LineCase{"NameHoldingTheStatementsOwnText", line_for(hash_a, "' WHERE DI010323 = 'x"), true, "' WHERE DI010323 = 'x"},
                    LineCase{"EightBitName", line_for(hash_a, "zo\xC3\xAB\xE9"), true, "zo\xC3\xAB\xE9"},
                    LineCase{"LoneQuoteEndsTheLiteral", "UPDATE DT511 SET DI059177 = '" + hash_a + "' WHERE DI010323 = 'a'b';", false, ""},
                    LineCase{"InjectedStatement", "UPDATE DT511 SET DI059177 = '" + hash_a + "' WHERE DI010323 = 'a'; DROP TABLE DT511; --';", false, ""},
                    LineCase{"OtherCost", line_for("$2a$12$" + hash_a.substr(7), "alice"), false, ""},
                    LineCase{"OtherPrefix", line_for("$2b$10$" + hash_a.substr(7), "alice"), false, ""},
                    LineCase{"FailureToken", line_for("*0", "alice"), false, ""},
                    LineCase{"ShortHash", line_for(hash_a.substr(0, 59), "alice"), false, ""},
                    LineCase{"HashOutsideTheAlphabet", line_for(hash_a.substr(0, 59) + "!", "alice"), false, ""},
                    LineCase{"ControlCharacterInName", line_for(hash_a, "a\tb"), false, ""},
                    LineCase{"CarriageReturnLeftOn", plain + "\r", false, ""},
                    LineCase{"TrailingBlank", plain + " ", false, ""},
                    LineCase{"LowerCaseKeyword", "update" + plain.substr(6), false, ""},
                    LineCase{"Commit", "COMMIT;", false, ""},
                    LineCase{"Empty", "", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- passes over the script -------------------------------------------------------------------

class ScriptFile : public testing::Test {
protected:
    void write(const std::string& bytes)
    {
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    const std::string path_ = (std::filesystem::temp_directory_path() / ("credbatch-apply-test-" + std::to_string(::getpid()) + ".sql")).string();
    void TearDown() override { std::filesystem::remove(path_); }
};

TEST_F(ScriptFile, ReadsLfCrLfAndALastLineWithoutEndingInBatches)
{
    write(line_for(hash_a, "a") + "\r\n" + line_for(hash_a, "b") + "\n" + line_for(hash_b, "c"));
    Script script(path_);
    const auto checked = script.check();
    ASSERT_EQ(checked.verdict, Script::Verdict::statements);
    EXPECT_EQ(checked.statements, 3U);
    std::vector<std::pair<std::uint64_t, std::string>> seen;
    std::vector<std::size_t> sizes;
    EXPECT_TRUE(script.for_each_batch(2, [&](std::span<const Statement> batch) {
        sizes.push_back(batch.size());
        for (const Statement& s : batch) {
            seen.emplace_back(s.line, s.user);
        }
    }));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(seen, (std::vector<std::pair<std::uint64_t, std::string>>{{1, "a"}, {2, "b"}, {3, "c"}}));
}

TEST_F(ScriptFile, NamesTheFirstLineThatIsNoStatement)
{
    struct Bad {
        std::string bytes;
        Script::Verdict verdict;
        std::uint64_t line;
    };
    const std::string good = line_for(hash_a, "a") + "\n";
    for (const Bad& bad : {Bad{"", Script::Verdict::empty, 0}, Bad{good + "COMMIT;\n" + good, Script::Verdict::not_a_statement, 2},
                           Bad{good + "\n", Script::Verdict::not_a_statement, 2},
                           Bad{good + std::string(5000, 'x') + "\n" + good, Script::Verdict::not_a_statement, 2},
                           Bad{good + std::string(5000, 'x'), Script::Verdict::not_a_statement, 2}}) {
        write(bad.bytes);
        const auto checked = Script(path_).check();
        EXPECT_EQ(checked.verdict, bad.verdict) << bad.bytes.substr(0, 80);
        EXPECT_EQ(checked.bad_line, bad.line) << bad.bytes.substr(0, 80);
    }
    EXPECT_EQ(Script(path_ + ".missing").check().verdict, Script::Verdict::unreadable);
}

TEST_F(ScriptFile, AScriptChangedAfterItsCheckIsNotReadAsIfItWereTheSame)
{
    write(line_for(hash_a, "a") + "\n" + line_for(hash_a, "b") + "\n");
    Script script(path_);
    ASSERT_EQ(script.check().verdict, Script::Verdict::statements);
    write(line_for(hash_a, "a") + "\n" + line_for(hash_a, "c") + "\n");
    EXPECT_FALSE(script.for_each_batch(10, [](std::span<const Statement>) {}));
    write(line_for(hash_a, "a") + "\n");
    EXPECT_FALSE(script.for_each_batch(10, [](std::span<const Statement>) {}));
}

// --- the verdict, over a fake engine ----------------------------------------------------------

// DT511 as a map from name to hash, names compared as the engine's collation would: folded
// to lower case when `folding`. Statements change the map at once; rollback restores it.
class FakeEngine final : public Engine {
public:
    std::multimap<std::string, std::string> table;
    std::multimap<std::string, std::string> committed_table;
    bool folding = false;
    std::string refuse;                // begin() refuses with this
    std::string fail_user;             // run() fails on this user
    std::string keep_user;             // a trigger keeps this user's old hash
    CommitResult commit_result = CommitResult::committed;
    bool commit_applied_before_loss = false;
    bool reachable_after_loss = true;
    std::function<void()> on_run;      // runs at the start of each batch
    std::int64_t others = 0;           // rows a trigger changed beyond the script's
    bool rolled_back = false;

    void begin() override
    {
        if (!refuse.empty()) {
            throw Refusal(refuse);
        }
        committed_table = table;
    }
    void held_before(std::span<const Statement> batch, std::vector<bool>& held) override
    {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            held[i] = read(batch[i]).holding > 0;
        }
    }
    void run(std::span<const Statement> batch, std::vector<std::int64_t>& counts) override
    {
        if (on_run) {
            on_run();
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (batch[i].user == fail_user) {
                throw StatementFailed(i, "refused by a rule: " + batch[i].hash + ", as text \"" + batch[i].hash.substr(1) + "\"");
            }
            counts[i] = 0;
            for (auto& [name, hash] : table) {
                if (key(name) == key(batch[i].user)) {
                    hash = batch[i].user == keep_user ? hash : batch[i].hash;
                    ++counts[i];
                }
            }
        }
    }
    void read_back(std::span<const Statement> batch, std::vector<ReadBack>& rows) override
    {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            rows[i] = read(batch[i]);
        }
    }
    CommitResult commit(std::string& message) override
    {
        if (commit_result == CommitResult::committed || (commit_result == CommitResult::lost && commit_applied_before_loss)) {
            committed_table = table;
        }
        table = committed_table;
        message = commit_result == CommitResult::committed ? "" : "a message in any language";
        return commit_result;
    }
    void rollback() noexcept override
    {
        rolled_back = true;
        table = committed_table;
    }
    std::int64_t other_rows_changed(std::uint64_t /*statements*/) override { return others; }
    void cancel() noexcept override {}
    bool reconnect_after_lost_commit(std::string& /*message*/) override { return reachable_after_loss; }

private:
    std::string key(std::string name) const
    {
        if (folding) {
            for (char& c : name) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        return name;
    }
    ReadBack read(const Statement& s) const
    {
        ReadBack row;
        for (const auto& [name, hash] : table) {
            if (key(name) == key(s.user)) {
                ++row.matched;
                row.holding += hash == s.hash ? 1 : 0;
                row.stored_bytes = static_cast<std::int64_t>(hash.size());
            }
        }
        return row;
    }
};

struct Applied {
    int status = 0;
    std::string out;
    std::string err;
};

class Verdict : public ScriptFile {
protected:
    Applied apply(const std::vector<std::pair<std::string, std::string>>& statements, bool check_only = false)
    {
        std::string bytes;
        for (const auto& [hash, user] : statements) {
            bytes += line_for(hash, user) + "\n";
        }
        write(bytes);
        Script script(path_);
        const auto checked = script.check();
        Applied run;
        const Lines lines{[&](std::string_view l) { run.out += std::string(l) + "\n"; }, [&](std::string_view l) { run.err += std::string(l) + "\n"; }};
        run.status = run_checked_apply(engine, script, checked.statements, check_only, stop, lines);
        return run;
    }
    FakeEngine engine;
    StopState stop;
};

TEST_F(Verdict, CommitsOnlyWhenEveryStatementChangedExactlyOneRowToItsHash)
{
    engine.table = {{"alice", "old"}, {"bob", "old"}, {"dave", "old"}};
    const Applied run = apply({{hash_a, "alice"}, {hash_b, "bob"}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "checked apply: each of the 2 statements changed exactly one row; committed\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(engine.table, (std::multimap<std::string, std::string>{{"alice", hash_a}, {"bob", hash_b}, {"dave", "old"}}));
}

TEST_F(Verdict, CheckingOnlyRollsBackWhateverTheVerdict)
{
    engine.table = {{"alice", "old"}};
    const Applied run = apply({{hash_a, "alice"}}, true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "checked apply: each of the 1 statements changed exactly one row; checked only: rolled back\n");
    EXPECT_EQ(engine.table.find("alice")->second, "old");
}

// Each offending statement is named with its reason, and nothing is committed.
struct MismatchCase {
    const char* name;
    std::multimap<std::string, std::string> table;
    bool folding;
    std::vector<std::pair<std::string, std::string>> statements;
    std::string keep_user;
    std::string err;
};

class Mismatch : public Verdict, public testing::WithParamInterface<MismatchCase> {};

TEST_P(Mismatch, NamesTheStatementsAndCommitsNothing)
{
    const MismatchCase& c = GetParam();
    engine.table = c.table;
    engine.folding = c.folding;
    engine.keep_user = c.keep_user;
    const Applied run = apply(c.statements);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(engine.table, c.table);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, Mismatch,
    testing::Values(
        MismatchCase{"Missing", {{"alice", "old"}}, false, {{hash_a, "alice"}, {hash_b, "o'neil"}}, "",
                     "statement 2, user 'o''neil': no row matches\n"
                     "checked apply: 1 of 2 statements did not change exactly one row; nothing was committed\n"},
        MismatchCase{"MatchedTwiceByFolding", {{"alice", "old"}, {"Alice", "old"}}, true, {{hash_a, "ALICE"}}, "",
                     "statement 1, user 'ALICE': 2 rows match\n"
                     "checked apply: 1 of 1 statements did not change exactly one row; nothing was committed\n"},
        MismatchCase{"AppliedBefore", {{"alice", hash_a}}, false, {{hash_a, "alice"}}, "",
                     "statement 1, user 'alice': 1 row matches, and it already holds this hash\n"
                     "checked apply: 1 of 1 statements did not change exactly one row; nothing was committed\n"},
        MismatchCase{"TriggerKeptTheOldHash", {{"alice", "old"}, {"bob", "old"}}, false, {{hash_a, "alice"}, {hash_b, "bob"}}, "bob",
                     "statement 2, user 'bob': 1 row matches and the UPDATE changed it, but it holds 3 bytes, not the 60 of the new hash "
                     "(the column's type cut or padded it, or a trigger or a later statement changed it)\n"
                     "checked apply: 1 of 2 statements did not change exactly one row; nothing was committed\n"},
        MismatchCase{"SameNameTwice", {{"alice", "old"}}, false, {{hash_a, "alice"}, {hash_b, "alice"}}, "",
                     "statement 1, user 'alice': 1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger or a later "
                     "statement changed it)\n"
                     "checked apply: 1 of 2 statements did not change exactly one row; nothing was committed\n"},
        MismatchCase{"NameNotUtf8", {{"a", "old"}}, false, {{hash_a, "bad\xE9name"}}, "",
                     "statement 1, user 'bad\\xe9name': no row matches\n"
                     "checked apply: 1 of 1 statements did not change exactly one row; nothing was committed\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Verdict, RefusedStatementIsNamedWithoutItsHash)
{
    engine.table = {{"alice", "old"}, {"frozen", "old"}};
    engine.fail_user = "frozen";
    const Applied run = apply({{hash_a, "alice"}, {hash_b, "frozen"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "statement 2, user 'frozen': failed: refused by a rule: $2a$10$..., as text \"2a$10$...\"\n"
                       "checked apply: statement 2 failed; nothing was committed\n");
    EXPECT_EQ(engine.table.find("alice")->second, "old");
}

TEST_F(Verdict, RowsBeyondTheScriptsChangedCommitNothingEvenWhenEachStatementIsGood)
{
    engine.table = {{"alice", "old"}};
    engine.others = 1;
    for (const bool check_only : {false, true}) {
        const Applied run = apply({{hash_a, "alice"}}, check_only);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "checked apply: besides the 1 rows of the script, 1 other row of DT511 changed, appeared or went (a trigger); "
                           "nothing was committed\n");
        EXPECT_EQ(engine.table.find("alice")->second, "old");
    }
}

TEST_F(Verdict, RefusalBeforeTheFirstStatement)
{
    engine.table = {{"alice", "old"}};
    engine.refuse = "DT511 is a view, not a table, so its updates cannot be checked";
    const Applied run = apply({{hash_a, "alice"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "checked apply: DT511 is a view, not a table, so its updates cannot be checked; nothing was committed\n");
}

// What a COMMIT that did not simply succeed ends in: the line and the status follow what the
// rows hold, never what a message says.
struct CommitCase {
    const char* name;
    CommitResult result;
    bool applied;
    bool reachable;
    int status;
    std::string out;
    std::string last_err;
};

class Commit : public Verdict, public testing::WithParamInterface<CommitCase> {};

TEST_P(Commit, EndsInTheLineTheRowsBearOut)
{
    const CommitCase& c = GetParam();
    engine.table = {{"alice", "old"}};
    engine.commit_result = c.result;
    engine.commit_applied_before_loss = c.applied;
    engine.reachable_after_loss = c.reachable;
    const Applied run = apply({{hash_a, "alice"}});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_TRUE(run.err.ends_with(c.last_err + "\n")) << run.err;
    EXPECT_EQ(engine.table.find("alice")->second, c.status == 0 ? hash_a : "old");
}

const std::string committed_line = "checked apply: each of the 1 statements changed exactly one row; committed\n";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Commit,
    testing::Values(CommitCase{"Refused", CommitResult::refused, false, true, 1, "", "checked apply: the COMMIT failed; nothing was committed"},
                    CommitCase{"LostAfterItTookEffect", CommitResult::lost, true, true, 0, committed_line,
                               "checked apply: the connection ended during the COMMIT; read back on a new connection, every statement's row holds its new hash"},
                    CommitCase{"LostBeforeItTookEffect", CommitResult::lost, false, true, 1, "",
                               "checked apply: the COMMIT did not take effect; nothing was committed"},
                    CommitCase{"LostAndUnreachable", CommitResult::lost, false, false, 3, "",
                               "checked apply: the connection ended during the COMMIT, so whether it committed is not known; read the table "
                               "before applying again"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Verdict, StopRequestBeforeTheCommitRollsBack)
{
    engine.table = {{"alice", "old"}};
    engine.on_run = [this] { stop.request("SIGTERM", &engine); };
    const Applied run = apply({{hash_a, "alice"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "checked apply: stopped by SIGTERM before the COMMIT; nothing was committed\n");
    EXPECT_TRUE(engine.rolled_back);
    EXPECT_EQ(engine.table.find("alice")->second, "old");
}

TEST_F(Verdict, StopRequestAfterTheCommitWasSentChangesNothing)
{
    engine.table = {{"alice", "old"}};
    ASSERT_TRUE(stop.enter_commit());
    EXPECT_FALSE(stop.request("SIGTERM", &engine));
}

} // namespace
