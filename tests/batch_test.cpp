#include "batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using credbatch::BatchEnd;
using credbatch::BatchResult;

// Shows which password was hashed, so a test can see an empty or a reused one.
struct FakeHash {
    std::string last;
    std::string_view operator()(std::string_view password)
    {
        last = "#" + std::string(password);
        return last;
    }
};

std::string statement(std::string_view hash, std::string_view quoted_user)
{
    return "UPDATE DT511 SET DI059177 = '" + std::string(hash) + "' WHERE DI010323 = '" + std::string(quoted_user) + "';\n";
}

struct Outcome {
    BatchResult result;
    std::string out;
    std::string err;
};

Outcome run(std::istream& input, const credbatch::HashStep& hash = FakeHash{})
{
    std::ostringstream out;
    std::ostringstream err;
    const BatchResult result = credbatch::run_batch(input, out, err, hash);
    return {result, out.str(), err.str()};
}

Outcome run(const std::string& text, const credbatch::HashStep& hash = FakeHash{})
{
    std::istringstream input(text);
    return run(input, hash);
}

struct Case {
    const char* name;
    std::string input;
    std::string out;
    std::string err;
    bool lines_failed;
};

const std::string name100(100, 'n');
const std::string word100(100, 'p');

class BatchCase : public testing::TestWithParam<Case> {};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

std::string case_name(const testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

TEST_P(BatchCase, WritesTheExpectedScriptAndMessages)
{
    const Case& c = GetParam();
    const Outcome outcome = run(c.input);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.result.lines_failed, c.lines_failed);
    EXPECT_EQ(outcome.result.end, BatchEnd::input_done);
}

INSTANTIATE_TEST_SUITE_P(Parsing, BatchCase, testing::Values(
    Case{"OneLine", "alice s3cret\n", statement("#s3cret", "alice"), "", false},
    Case{"BlanksTabsAndThirdField", " \t alice \t  s3cret  extra field\n", statement("#s3cret", "alice"), "", false},
    Case{"VerticalTabAndFormFeedSeparate", "alice\v\fs3cret\n", statement("#s3cret", "alice"), "", false},
    Case{"CrLfLikeLf", "alice s3cret\r\nbob pw\r\n", statement("#s3cret", "alice") + statement("#pw", "bob"), "", false},
    Case{"LastLineWithoutNewline", "alice s3cret\nbob pw", statement("#s3cret", "alice") + statement("#pw", "bob"), "", false},
    Case{"UserAloneGetsEmptyPasswordNotThePreviousOne", "alice s3cret\nbob\ncarol \t\r\n",
         statement("#s3cret", "alice") + statement("#", "bob") + statement("#", "carol"), "", false},
    Case{"BlankLinesYieldNothing", "\n \t\r\n\nalice pw\n\n", statement("#pw", "alice"), "", false},
    Case{"EmptyInput", "", "", "", false},
    Case{"ByteOrderMarkSkippedAtStartOnly", "\xEF\xBB\xBF" "alice pw\n\xEF\xBB\xBF" "bob pw\n",
         statement("#pw", "alice") + statement("#pw", "\xEF\xBB\xBF" "bob"), "", false},
    Case{"PartialByteOrderMarkIsData", "\xEF\xBB" "x pw", statement("#pw", "\xEF\xBB" "x"), "", false},
    Case{"EightBitUserNameKept", "jos\xC3\xA9 pw\n", statement("#pw", "jos\xC3\xA9"), "", false},
    Case{"LongLineIsOneRecord", "alice " + std::string(70, 'p') + " " + std::string(500, 'x') + "\nbob pw\n",
         statement("#" + std::string(70, 'p'), "alice") + statement("#pw", "bob"), "", false}), case_name);

INSTANTIATE_TEST_SUITE_P(Quoting, BatchCase, testing::Values(
    Case{"QuotesDoubled", "o'brien pw\n'' pw\n", statement("#pw", "o''brien") + statement("#pw", "''''"), "", false},
    Case{"EscapeAttempt", "';DROP/**/TABLE/**/DT511;-- pw\n", statement("#pw", "'';DROP/**/TABLE/**/DT511;--"), "", false},
    Case{"BackslashesUnchanged", "back\\ pw\n\\' pw\n", statement("#pw", "back\\") + statement("#pw", "\\''"), "", false}), case_name);

INSTANTIATE_TEST_SUITE_P(Limits, BatchCase, testing::Values(
    Case{"HundredByteFieldsAccepted", name100 + " " + word100 + "\n", statement("#" + word100, name100),
         "credbatch: line 1: only the first 72 bytes of the password are used\n", false},
    Case{"LongUserNameRejectedRunGoesOn", "x" + name100 + " pw\nbob pw\n", statement("#pw", "bob"),
         "credbatch: line 1: user name longer than 100 characters\n", true},
    Case{"LongPasswordRejected", "\nalice x" + word100 + "\n", "",
         "credbatch: line 2: password longer than 100 characters\n", true},
    Case{"SeventyTwoBytesNoWarning", "alice " + std::string(72, 'p') + "\n", statement("#" + std::string(72, 'p'), "alice"), "", false},
    Case{"SeventyThreeBytesWarned", "alice " + std::string(73, 'p') + "\n", statement("#" + std::string(73, 'p'), "alice"),
         "credbatch: line 1: only the first 72 bytes of the password are used\n", false}), case_name);

INSTANTIATE_TEST_SUITE_P(BadBytes, BatchCase, testing::Values(
    Case{"NulInPassword", std::string("alice pa\0ss\n", 11), "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"NulInUser", std::string("al\0ice pw\n", 10), "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"ControlInUser", "ok pw\nal\x01ice pw\n", statement("#pw", "ok"), "credbatch: line 2: user name contains a control character\n", true},
    Case{"DeleteInUser", "al\x7Fice pw\n", "", "credbatch: line 1: user name contains a control character\n", true},
    Case{"ControlInPasswordAllowed", "alice p\x01w\n", statement("#p\x01w", "alice"), "", false},
    Case{"NulBeforeLength", std::string("\0", 1) + name100 + " pw\n", "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"LengthBeforeControl", "\x01" + name100 + " pw\n", "", "credbatch: line 1: user name longer than 100 characters\n", true},
    Case{"ControlBeforePasswordLength", "\x01 x" + word100 + "\n", "", "credbatch: line 1: user name contains a control character\n", true}), case_name);

TEST(Batch, FailureTokenIsWrittenAndFailsTheRun)
{
    const Outcome outcome = run("alice pw\n", [](std::string_view) { return std::string_view("*0"); });
    EXPECT_EQ(outcome.out, statement("*0", "alice"));
    EXPECT_EQ(outcome.err, "credbatch: line 1: the password could not be hashed; its statement carries the failure token\n");
    EXPECT_TRUE(outcome.result.lines_failed);
}

// Hands out `text`, then fails the way a file stream does on a read error.
class FailingInput : public std::streambuf {
public:
    explicit FailingInput(std::string text) : text_(std::move(text)) { setg(text_.data(), text_.data(), text_.data() + text_.size()); }

protected:
    int_type underflow() override { throw std::runtime_error("read error"); }

private:
    std::string text_;
};

TEST(Batch, ReadErrorEndsTheRunWithoutTheCutLine)
{
    FailingInput failing("alice pw\nbob pass");
    std::istream input(&failing);
    const Outcome outcome = run(input);
    EXPECT_EQ(outcome.out, statement("#pw", "alice"));
    EXPECT_EQ(outcome.result.end, BatchEnd::read_failed);
}

// Accepts writes but fails every flush, as a full disk does.
class FailingOutput : public std::stringbuf {
protected:
    int sync() override { return -1; }
};

TEST(Batch, WriteErrorEndsTheRunAtTheFirstStatement)
{
    std::istringstream input("alice pw\nbob pw\n");
    FailingOutput failing;
    std::ostream out(&failing);
    std::ostringstream err;
    FakeHash hash;
    const BatchResult result = credbatch::run_batch(input, out, err, std::ref(hash));
    EXPECT_EQ(result.end, BatchEnd::write_failed);
    EXPECT_EQ(hash.last, "#pw");
    EXPECT_EQ(failing.str(), statement("#pw", "alice"));
}

// Looks, when a statement is flushed, at the bytes the hash step was handed for it.
class PasswordSpy : public std::stringbuf {
public:
    std::string_view handed;
    bool wiped_before_every_flush = true;

protected:
    int sync() override
    {
        wiped_before_every_flush &= std::all_of(handed.begin(), handed.end(), [](char c) { return c == '\0'; });
        return 0;
    }
};

TEST(Batch, PasswordIsWipedBeforeItsStatementGoesOut)
{
    std::istringstream input("alice first-secret\nbob second\n");
    PasswordSpy spy;
    std::ostream out(&spy);
    std::ostringstream err;
    credbatch::run_batch(input, out, err, [&](std::string_view password) {
        spy.handed = password;
        return std::string_view("$hash");
    });
    EXPECT_EQ(spy.str(), statement("$hash", "alice") + statement("$hash", "bob"));
    EXPECT_TRUE(spy.wiped_before_every_flush);
}

TEST(Batch, HundredThousandLinesKeepOrderAndNumbering)
{
    std::string text;
    for (int i = 1; i <= 100'000; ++i) {
        text += i == 99'999 ? "bad\x02 pw\n" : "user" + std::to_string(i) + " pw" + std::to_string(i) + "\n";
    }
    const Outcome outcome = run(text);
    EXPECT_EQ(outcome.err, "credbatch: line 99999: user name contains a control character\n");
    std::istringstream lines(outcome.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
    }
    EXPECT_EQ(count, 99'999);
    EXPECT_TRUE(outcome.out.ends_with(statement("#pw100000", "user100000")));
}

} // namespace
