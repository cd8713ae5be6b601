#include "batch.hpp"
#include "credential_line.hpp"
#include "memory_io.hpp"
#include "script_output.hpp"
#include "seen_names.hpp"
#include "utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace {

using namespace std::string_literals;
using credbatch::BatchEnd;
using credbatch::BatchResult;

// Shows which password was hashed, so a test can see an empty or a reused one; as with the
// real hash, only a password with a 0xFF byte may differ from its $2b$ hash.
struct FakeHash {
    std::string last;
    credbatch::Hashed operator()(std::string_view password)
    {
        last = "#" + std::string(password);
        return {last, password.find('\xFF') != std::string_view::npos};
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
    std::size_t script_writes = 0;
    std::size_t message_writes = 0;
};

Outcome run(credbatch::ByteSource& input, const credbatch::HashStep& hash = FakeHash{}, std::string_view line_ending = "\n")
{
    MemorySink script;
    MemorySink messages;
    const BatchResult result = credbatch::run_batch(input, script, messages, hash, {line_ending, {}});
    return {result, script.text, messages.text, script.writes, messages.writes};
}

Outcome run(const std::string& text, const credbatch::HashStep& hash = FakeHash{}, std::string_view line_ending = "\n")
{
    MemorySource input(text);
    return run(input, hash, line_ending);
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

std::string warned(int line, const std::string& message)
{
    return "credbatch: line " + std::to_string(line) + ": " + message + "\n";
}

const std::string inner_cr =
    "carriage return inside the line, as in a file whose lines end in CR alone; convert such a file with tr '\\r' '\\n'";
const std::string no_password =
    "no password; its statement sets an empty password, with which anyone can log in (if the user name was left out, the password became the name)";
// Fills the rest of the first 64 KiB read after "alice pw ", so that what follows starts the second.
const std::string to_first_read_end(64 * 1024 - 9, 'x');

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
    Case{"BlanksTabsAndThirdField", " \t alice \t  s3cret  extra field\n", statement("#s3cret", "alice"),
         "credbatch: line 1: text after the password is ignored\n", false},
    Case{"TrailingBlanksAreNoText", "alice s3cret \t\r\n", statement("#s3cret", "alice"), "", false},
    Case{"VerticalTabAndFormFeedSeparate", "alice\v\fs3cret\n", statement("#s3cret", "alice"), "", false},
    Case{"CrLfLikeLf", "alice s3cret\r\nbob pw\r\n", statement("#s3cret", "alice") + statement("#pw", "bob"), "", false},
    Case{"LastLineWithoutNewline", "alice s3cret\nbob pw", statement("#s3cret", "alice") + statement("#pw", "bob"), "", false},
    Case{"UserAloneGetsEmptyPasswordNotThePreviousOne", "alice s3cret\nbob\ncarol \t\r\n",
         statement("#s3cret", "alice") + statement("#", "bob") + statement("#", "carol"), warned(2, no_password) + warned(3, no_password), false},
    // The user name left out: the password stands where the name should be.
    Case{"PasswordAloneIsWarnedOf", "\tsecret\n", statement("#", "secret"), warned(1, no_password), false},
    Case{"BlankLinesYieldNothing", "\n \t\r\n\nalice pw\n\n", statement("#pw", "alice"), "", false},
    Case{"EmptyInput", "", "", "", false},
    Case{"ByteOrderMarkSkippedAtStartOnly", "\xEF\xBB\xBF" "alice pw\n\xEF\xBB\xBF" "bob pw\n",
         statement("#pw", "alice") + statement("#pw", "\xEF\xBB\xBF" "bob"),
         "credbatch: line 2: user name contains an invisible character, such as a non-breaking or zero-width space\n", false},
    Case{"PartialByteOrderMarkIsData", "\xEF\xBB" "x pw", statement("#pw", "\xEF\xBB" "x"),
         "credbatch: line 1: user name is not valid UTF-8; a UTF-8 database refuses it or matches no row\n", false},
    Case{"EightBitUserNameKept", "jos\xC3\xA9 pw\n", statement("#pw", "jos\xC3\xA9"), "", false},
    Case{"LongLineIsOneRecord", "alice " + std::string(70, 'p') + " " + std::string(500, 'x') + "\nbob pw\n",
         statement("#" + std::string(70, 'p'), "alice") + statement("#pw", "bob"),
         "credbatch: line 1: text after the password is ignored\n", false},
    // Carriage returns alone end no line: read as one line, the file would give the next user's
    // name or password to this one, so a carriage return with more of the line after it is refused.
    Case{"CarriageReturnOnlyEndings", "alice one\rbob two\rcarol three\r", "", warned(1, inner_cr), true},
    Case{"CarriageReturnOnlyEndingsNamesAlone", "alice\rbob\r", "", warned(1, inner_cr), true},
    Case{"StrayCarriageReturnInALineFeedFile", "alice\rbob\ncarol pw\n", statement("#pw", "carol"), warned(1, inner_cr), true},
    Case{"CarriageReturnInsideThePassword", "alice pass\rword\n", "", warned(1, inner_cr), true},
    Case{"CarriageReturnBeforeTheUserName", "\rbob pw\n", "", warned(1, inner_cr), true},
    Case{"CarriageReturnInTheIgnoredText", "alice pw more\rtext\n", "", warned(1, inner_cr), true},
    // Carriage returns just before the line feed, or the end of the input, end the line.
    Case{"CarriageReturnsBeforeLineFeed", "alice pw\r\r\nbob pw \r\n", statement("#pw", "alice") + statement("#pw", "bob"), "", false},
    Case{"CarriageReturnsAtTheEndOfInput", "alice pw\nbob pw\r\r", statement("#pw", "alice") + statement("#pw", "bob"), "", false},
    Case{"BlankLineWithCarriageReturnIsBlank", " \r \nalice pw\n", statement("#pw", "alice"), "", false},
    // Across the end of a read, in ignored text that is passed over in one piece.
    Case{"CarriageReturnEndsTheFirstReadThenLineFeed", "alice pw " + to_first_read_end.substr(1) + "\r\nbob pw\n",
         statement("#pw", "alice") + statement("#pw", "bob"), warned(1, "text after the password is ignored"), false},
    Case{"CarriageReturnEndsTheFirstReadThenText", "alice pw " + to_first_read_end.substr(1) + "\rmore\nbob pw\n",
         statement("#pw", "bob"), warned(1, inner_cr), true},
    Case{"CarriageReturnStartsTheSecondRead", "alice pw " + to_first_read_end + "\rmore\nbob pw\n",
         statement("#pw", "bob"), warned(1, inner_cr), true}), case_name);

INSTANTIATE_TEST_SUITE_P(Quoting, BatchCase, testing::Values(
    Case{"QuotesDoubled", "o'brien pw\n'' pw\n", statement("#pw", "o''brien") + statement("#pw", "''''"), "", false},
    Case{"EscapeAttempt", "';DROP/**/TABLE/**/DT511;-- pw\n", statement("#pw", "'';DROP/**/TABLE/**/DT511;--"), "", false},
    Case{"BackslashesUnchangedAndWarned", "back\\ pw\n\\' pw\n", statement("#pw", "back\\") + statement("#pw", "\\''"),
         "credbatch: line 1: user name contains a backslash, which some databases read as an escape\n"
         "credbatch: line 2: user name contains a backslash, which some databases read as an escape\n", false}), case_name);

const std::string differs = "this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it";
const std::string not_utf8_user = "user name is not valid UTF-8; a UTF-8 database refuses it or matches no row";
const std::string not_utf8_password = "password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it";
const std::string invisible = "user name contains an invisible character, such as a non-breaking or zero-width space";

std::string repeated(int line, int earlier)
{
    return warned(line, "user name already on line " + std::to_string(earlier) + "; the later statement wins");
}

INSTANTIATE_TEST_SUITE_P(Warnings, BatchCase, testing::Values(
    Case{"AllInOrder", "a\\b\xC2\xA0\xE9 pw\na\\b\xC2\xA0\xE9 " + std::string(72, 'p') + "\xFF extra\n",
         statement("#pw", "a\\b\xC2\xA0\xE9") + statement("#" + std::string(72, 'p') + "\xFF", "a\\b\xC2\xA0\xE9"),
         warned(1, not_utf8_user) + warned(1, invisible) +
         "credbatch: line 1: user name contains a backslash, which some databases read as an escape\n" +
         warned(2, not_utf8_user) + warned(2, invisible) +
         "credbatch: line 2: user name contains a backslash, which some databases read as an escape\n" + repeated(2, 1) +
         "credbatch: line 2: only the first 72 bytes of the password are used\n" + warned(2, not_utf8_password) +
         "credbatch: line 2: " + differs + "\n"
         "credbatch: line 2: text after the password is ignored\n", false},
    Case{"DiffersFrom2b", "alice \xFF\xFF" "a\n", statement("#\xFF\xFF" "a", "alice"),
         warned(1, not_utf8_password) + "credbatch: line 1: " + differs + "\n", false},
    Case{"RejectionAloneForARejectedLine", "a\\\x01\xE9\xC2\xA0 " + std::string(80, 'p') + "\xFF extra\n", "",
         "credbatch: line 1: user name contains a control character\n", true},
    // Windows-1252 or Latin-1 text, as a file saved in the "ANSI" code page holds it.
    Case{"Latin1UserAndPassword", "caf\xE9 pw\nbob p\xE4ss\n", statement("#pw", "caf\xE9") + statement("#p\xE4ss", "bob"),
         warned(1, not_utf8_user) + warned(2, not_utf8_password), false},
    Case{"Utf8NamesAndPasswordsPass", "jos\xC3\xA9 p\xC3\xA4ss\xF0\x9F\x94\x91\n\xE6\x97\xA5\xE6\x9C\xAC \xE2\x82\xAC\n",
         statement("#p\xC3\xA4ss\xF0\x9F\x94\x91", "jos\xC3\xA9") + statement("#\xE2\x82\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"), "", false},
    // Copied from a spreadsheet: a no-break space at the end, a zero-width space, a soft hyphen and
    // a byte-order mark inside; in the password, such characters are the password's own.
    Case{"InvisibleCharactersInUserNames", "alice\xC2\xA0 pw\nb\xE2\x80\x8B" "ob pw\nsoft\xC2\xAD" "hy pw\nbom\xEF\xBB\xBF pw\ncarol p\xC2\xA0w\n",
         statement("#pw", "alice\xC2\xA0") + statement("#pw", "b\xE2\x80\x8B" "ob") + statement("#pw", "soft\xC2\xAD" "hy") +
         statement("#pw", "bom\xEF\xBB\xBF") + statement("#p\xC2\xA0w", "carol"),
         warned(1, invisible) + warned(2, invisible) + warned(3, invisible) + warned(4, invisible), false},
    // A rejected line wrote nothing, so it has not seen its name; blank lines count as lines.
    Case{"RepeatedNamesAcrossBlankAndRejectedLines",
         "dup pw1\n\n \t\nghost x" + word100 + "\nghost pw\n  dup\tpw2\ndup\nDup pw\nghost pw\n",
         statement("#pw1", "dup") + statement("#pw", "ghost") + statement("#pw2", "dup") + statement("#", "dup") +
         statement("#pw", "Dup") + statement("#pw", "ghost"),
         "credbatch: line 4: password longer than 100 bytes\n" + repeated(6, 1) + repeated(7, 1) + warned(7, no_password) + repeated(9, 5), true},
    // The name's last character is cut short; the password's bytes after it are not its end.
    Case{"CutCharacterEndsAHundredByteName", std::string(99, 'n') + "\xE2 \x82\x82\n", statement("#\x82\x82", std::string(99, 'n') + "\xE2"),
         warned(1, not_utf8_user) + warned(1, not_utf8_password), false},
    Case{"NamesThatDifferInOneByteAreNotRepeats", "user pw\nuser\xC2\xA0 pw\nuse pw\nuser2 pw\n",
         statement("#pw", "user") + statement("#pw", "user\xC2\xA0") + statement("#pw", "use") + statement("#pw", "user2"),
         warned(2, invisible), false}), case_name);

INSTANTIATE_TEST_SUITE_P(Limits, BatchCase, testing::Values(
    Case{"HundredByteFieldsAccepted", name100 + " " + word100 + "\n", statement("#" + word100, name100),
         "credbatch: line 1: only the first 72 bytes of the password are used\n", false},
    Case{"LongUserNameRejectedRunGoesOn", "x" + name100 + " pw\nbob pw\n", statement("#pw", "bob"),
         "credbatch: line 1: user name longer than 100 bytes\n", true},
    Case{"LongPasswordRejected", "\nalice x" + word100 + "\n", "",
         "credbatch: line 2: password longer than 100 bytes\n", true},
    // The limit is in bytes: 51 Cyrillic letters are 102 of them.
    Case{"FiftyOneCyrillicLettersRejected", [] { std::string name; for (int i = 0; i < 51; ++i) name += "\xD0\x96"; return name; }() + " pw\n", "",
         "credbatch: line 1: user name longer than 100 bytes\n", true},
    Case{"SeventyTwoBytesNoWarning", "alice " + std::string(72, 'p') + "\n", statement("#" + std::string(72, 'p'), "alice"), "", false},
    // Only the first 100 bytes of a field are kept, however long it is.
    Case{"HugeUserNameRejected", std::string(70'000, 'n') + " pw\nbob pw\n", statement("#pw", "bob"),
         "credbatch: line 1: user name longer than 100 bytes\n", true},
    Case{"HugePasswordRejected", "alice " + std::string(70'000, 'p') + "\n", "",
         "credbatch: line 1: password longer than 100 bytes\n", true},
    Case{"SeventyThreeBytesWarned", "alice " + std::string(73, 'p') + "\n", statement("#" + std::string(73, 'p'), "alice"),
         "credbatch: line 1: only the first 72 bytes of the password are used\n", false}), case_name);

INSTANTIATE_TEST_SUITE_P(BadBytes, BatchCase, testing::Values(
    Case{"NulInPassword", std::string("alice pa\0ss\n", 11), "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"NulInUser", std::string("al\0ice pw\n", 10), "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"ControlInUser", "ok pw\nal\x01ice pw\n", statement("#pw", "ok"), "credbatch: line 2: user name contains a control character\n", true},
    Case{"DeleteInUser", "al\x7Fice pw\n", "", "credbatch: line 1: user name contains a control character\n", true},
    // The bounds of the check: 0x1F is the last control character below the printable ones,
    // 0x21 and 0x7E the first and last printable ones a name can hold (0x20 separates fields).
    Case{"UnitSeparatorInUser", "al\x1Fice pw\n", "", "credbatch: line 1: user name contains a control character\n", true},
    Case{"PrintableBoundsInUserAllowed", "!al~ pw\n", statement("#pw", "!al~"), "", false},
    Case{"ControlInPasswordAllowed", "alice p\x01w\n", statement("#p\x01w", "alice"), "", false},
    Case{"NulBeforeLength", std::string("\0", 1) + name100 + " pw\n", "", "credbatch: line 1: NUL byte in user name or password\n", true},
    Case{"LengthBeforeControl", "\x01" + name100 + " pw\n", "", "credbatch: line 1: user name longer than 100 bytes\n", true},
    Case{"ControlBeforePasswordLength", "\x01 x" + word100 + "\n", "", "credbatch: line 1: user name contains a control character\n", true},
    // The C1 controls as UTF-8 encodes them, CSI (C2 9B) among them, are refused like C0 ones.
    Case{"C1ControlsInUser", "a\xC2\x9B" "b pw\n\xC2\x80 pw\nz\xC2\x9F pw\n", "",
         "credbatch: line 1: user name contains a control character\n"
         "credbatch: line 2: user name contains a control character\n"
         "credbatch: line 3: user name contains a control character\n", true},
    Case{"NoC1ControlAcrossBlanksOrLinesOrBeyondIt", "a\xC2 \x9B\n\xC3\x9B pw\nc\xC2\xC2\xA1 pw\nalice p\xC2\x85w\nd\xC2\n\x9B pw\n",
         statement("#\x9B", "a\xC2") + statement("#pw", "\xC3\x9B") + statement("#pw", "c\xC2\xC2\xA1") + statement("#p\xC2\x85w", "alice") +
         statement("#", "d\xC2") + statement("#pw", "\x9B"),
         warned(1, not_utf8_user) + warned(1, not_utf8_password) + warned(3, not_utf8_user) + warned(5, not_utf8_user) +
         warned(5, no_password) + warned(6, not_utf8_user), false}), case_name);

TEST(Batch, FailureTokenIsWrittenAndFailsTheRun)
{
    const Outcome outcome = run("alice pw\n", [](std::string_view) { return std::string_view("*0"); });
    EXPECT_EQ(outcome.out, statement("*0", "alice"));
    EXPECT_EQ(outcome.err, "credbatch: line 1: the password could not be hashed; its statement carries the failure token\n");
    EXPECT_TRUE(outcome.result.lines_failed);
}

// Notepad's "Unicode" and Windows PowerShell's ">" write UTF-16LE, Notepad's "Unicode big
// endian" UTF-16BE, each with its byte-order mark: such a file is refused before any line, and
// so is UTF-32 text, whose byte-order marks begin or end like UTF-16's.
TEST(Batch, Utf16TextIsRefusedBeforeAnyLine)
{
    struct Case {
        std::string input;
        std::size_t chunk;
        std::string_view encoding;  // empty: read as bytes
    };
    const std::string le("\xFF\xFE" "a\0 \0p\0w\0\n\0", 12);
    const std::string be("\xFE\xFF\0a\0 \0p\0w\0\n", 12);
    const Case cases[] = {
        {le, 64 * 1024, "UTF-16LE"},
        {le, 1, "UTF-16LE"},
        {be, 64 * 1024, "UTF-16BE"},
        {be, 1, "UTF-16BE"},
        {"\xFF\xFE", 64 * 1024, "UTF-16LE"},
        {std::string("\xFF\xFE\0\0a\0\0\0", 8), 64 * 1024, "UTF-32LE"},
        {std::string("\xFF\xFE\0\0a\0\0\0", 8), 1, "UTF-32LE"},
        {std::string("\0\0\xFE\xFF\0\0\0a\0\0\0\n", 12), 64 * 1024, "UTF-32BE"},
        {std::string("\0\0\xFE\xFF\0\0\0a\0\0\0\n", 12), 1, "UTF-32BE"},
        {std::string("\xFF\xFE\0", 3), 64 * 1024, "UTF-16LE"},
        {"\xFF" "a pw\n", 1, ""},
        {"\xEF\xBB\xBF\xFF\xFE pw\n", 64 * 1024, ""},
        {"alice pw\n\xFF\xFE pw\n", 64 * 1024, ""},
    };
    for (const Case& c : cases) {
        MemorySource input(c.input, c.chunk);
        const Outcome outcome = run(input);
        if (c.encoding.empty()) {
            EXPECT_EQ(outcome.result.end, BatchEnd::input_done) << testing::PrintToString(c.input);
            EXPECT_FALSE(outcome.out.empty());
            continue;
        }
        EXPECT_EQ(outcome.result.end, BatchEnd::wide_text) << testing::PrintToString(c.input);
        EXPECT_EQ(outcome.result.encoding, c.encoding);
        EXPECT_FALSE(outcome.result.lines_failed);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "");
    }
}

TEST(Utf8, ValidityAndInvisibleCharacters)
{
    struct Case {
        std::string text;
        bool valid;
        bool invisible;
    };
    const Case cases[] = {
        {"", true, false},
        {"plain-ascii.name", true, false},
        {"\xC2\x80\xDF\xBF", true, false},                  // U+0080, U+07FF
        {"\xE0\xA0\x80\xEF\xBF\xBF", true, false},          // U+0800, U+FFFF
        {"\xED\x9F\xBF\xEE\x80\x80", true, false},          // U+D7FF, U+E000: around the surrogates
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true, false},  // U+10000, U+10FFFF
        {"\xC0\xAF", false, false},                         // overlong "/"
        {"\xC1\xBF", false, false},
        {"\xE0\x9F\xBF", false, false},                     // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", false, false},                 // overlong U+FFFF
        {"\xED\xA0\x80", false, false},                     // a surrogate
        {"\xF4\x90\x80\x80", false, false},                 // past U+10FFFF
        {"\xF5\x80\x80\x80", false, false},
        {"\xFF", false, false},
        {"\x80", false, false},                             // a continuation byte alone
        {"\xE2\x82", false, false},                         // cut short
        {"\xE2\x82(", false, false},
        {"\xF0\x9F\x98", false, false},
        {"\xC2\xA0", true, true},                           // no-break space
        {"\xC2\xAD", true, true},                           // soft hyphen
        {"\xE1\xA0\x8E", true, true},                       // U+180E
        {"\xE2\x80\x80", true, true},                       // U+2000
        {"\xE2\x80\x8B", true, true},                       // zero-width space
        {"\xE2\x80\x8C\xE2\x80\x8D", true, false},          // zero-width non-joiner and joiner
        {"\xE2\x80\x8E", true, true},
        {"\xE2\x80\x8F", true, true},
        {"\xE2\x80\x90\xE2\x80\xA7", true, false},          // U+2010, U+2027
        {"\xE2\x80\xA8", true, true},                       // U+2028
        {"\xE2\x80\xAF", true, true},                       // narrow no-break space
        {"\xE2\x80\xB0\xE2\x81\x9E", true, false},          // U+2030, U+205E
        {"\xE2\x81\x9F", true, true},                       // U+205F
        {"\xE2\x81\xA0", true, true},                       // word joiner
        {"\xE2\x81\xAF", true, true},                       // U+206F
        {"\xE2\x81\xB0", true, false},                      // U+2070
        {"\xE3\x80\x80", true, true},                       // ideographic space
        {"\xEF\xBB\xBF", true, true},                       // zero-width no-break space
        // Default-ignorable ones a hand list missed, and other spaces.
        {"\xCD\x8F", true, true},                           // U+034F combining grapheme joiner
        {"\xD8\x9C", true, true},                           // U+061C Arabic letter mark
        {"\xE1\x85\x9F", true, true},                       // U+115F Hangul choseong filler
        {"\xE1\x85\xA0", true, true},                       // U+1160
        {"\xE1\x85\xA1", true, false},                      // U+1161, a Hangul vowel
        {"\xE1\x9E\xB4", true, true},                       // U+17B4
        {"\xE1\x9E\xB5", true, true},                       // U+17B5
        {"\xE1\x9A\x80", true, true},                       // U+1680 Ogham space mark
        {"\xE3\x85\xA4", true, true},                       // U+3164 Hangul filler
        {"\xEF\xBE\xA0", true, true},                       // U+FFA0 halfwidth Hangul filler
        {"\xF3\xA0\x80\x80", true, true},                   // U+E0000
        {"\xF3\xA0\x81\xBF", true, true},                   // U+E007F cancel tag
        {"\xF3\xA0\xBF\xBF", true, true},                   // U+E0FFF
        {"\xF3\xA1\x80\x80", true, false},                  // U+E1000
        // Variation selectors, which emoji and CJK names need, are no warning.
        {"\xE2\x9D\xA4\xEF\xB8\x8F", true, false},          // U+2764 U+FE0F
        {"\xEF\xB8\x80", true, false},                      // U+FE00
        {"\xF3\xA0\x84\x80\xF3\xA0\x87\xAF", true, false},  // U+E0100, U+E01EF
        {"\xE1\xA0\x8B\xE1\xA0\x8F", true, false},          // U+180B, U+180F Mongolian ones
        {"\xC2\xA1\xC2\x9F\xEF\xBB\xBE", true, false},
        {"\xE9\xC2\xA0", false, true},                      // seen after a byte that is not UTF-8
        {"\xE2\xC2\xA0", false, true},
        {"\xED\xA0\x80\xA0", false, false},                 // no character in a surrogate's bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(credbatch::is_valid_utf8(c.text), c.valid) << testing::PrintToString(c.text);
        EXPECT_EQ(credbatch::has_invisible_character(c.text), c.invisible) << testing::PrintToString(c.text);
    }
}

// The reference vectors of SipHash-2-4, under the key 00 01 ... 0f, for the messages 00 01 ... of
// lengths 0, 7, 8 and 15.
TEST(SeenNames, KeyedHashIsSipHash24)
{
    const credbatch::NameKey key{0x0706050403020100, 0x0f0e0d0c0b0a0908};
    const std::string message = "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e"s;
    EXPECT_EQ(credbatch::keyed_hash(key, message.substr(0, 0)), 0x726fdb47dd0e0e31u);
    EXPECT_EQ(credbatch::keyed_hash(key, message.substr(0, 7)), 0xab0200f58b01d137u);
    EXPECT_EQ(credbatch::keyed_hash(key, message.substr(0, 8)), 0x93f5f5799a932462u);
    EXPECT_EQ(credbatch::keyed_hash(key, message), 0xa129ca6149be45e5u);
    EXPECT_NE(credbatch::keyed_hash({1, 0}, "alice"), credbatch::keyed_hash({2, 0}, "alice"));
}

TEST(SeenNames, RemembersEveryNameInLittleMemory)
{
    credbatch::SeenNames seen({0x1234, 0x5678});
    constexpr std::uint64_t names = 300'000;
    constexpr std::size_t fixed_bytes = 64 * 16 * 12;
    std::uint64_t new_names = 0;
    std::uint64_t first_too_big = 0;
    for (std::uint64_t line = 1; line <= names; ++line) {
        new_names += seen.earlier_line("user" + std::to_string(line), line) == 0;
        if (first_too_big == 0 && seen.peak_bytes() > 32 * line + fixed_bytes) {
            first_too_big = line;
        }
    }
    EXPECT_EQ(new_names, names);
    EXPECT_EQ(first_too_big, 0u) << seen.peak_bytes() << " bytes at some point";
    std::uint64_t found = 0;
    for (std::uint64_t line = 1; line <= names; ++line) {
        found += seen.earlier_line("user" + std::to_string(line), names + line) == line;
    }
    EXPECT_EQ(found, names);

    // A line number past 32 bits would be cut short in a slot: such a line is not remembered.
    EXPECT_EQ(seen.earlier_line("late", 5'000'000'000), 0u);
    EXPECT_EQ(seen.earlier_line("late", 5'000'000'001), 0u);
    EXPECT_EQ(seen.earlier_line("user7", 5'000'000'002), 7u);
}

TEST(Batch, ReadErrorEndsTheRunWithoutTheCutLine)
{
    // One byte a read, so the error comes mid-line, as it does after a partial read.
    MemorySource input("alice pw\nbob pass", 1, std::make_error_code(std::errc::io_error));
    const Outcome outcome = run(input);
    EXPECT_EQ(outcome.out, statement("#pw", "alice"));
    EXPECT_EQ(outcome.result.end, BatchEnd::read_failed);
    EXPECT_EQ(outcome.result.error, std::errc::io_error);
}

// A regular file whose size is `at_start` before the first read and `at_end` once the input has
// ended, as when someone cuts it short or appends to it during a run; 0 for a pipe.
class ChangingFile : public MemorySource {
public:
    ChangingFile(std::string text, std::uint64_t at_start, std::uint64_t at_end) : MemorySource(std::move(text)), at_start_(at_start), at_end_(at_end) {}

    credbatch::IoResult read(std::span<char> into) override
    {
        const credbatch::IoResult got = MemorySource::read(into);
        ended_ = got.bytes == 0;
        return got;
    }
    std::uint64_t size() const noexcept override { return ended_ ? at_end_ : at_start_; }

private:
    std::uint64_t at_start_;
    std::uint64_t at_end_;
    bool ended_ = false;
};

TEST(Batch, FileThatChangesWhileReadFailsTheRun)
{
    struct Case {
        const char* name;
        std::string text;  // what the reads give
        std::uint64_t at_start;
        std::uint64_t at_end;
        BatchEnd end;
    };
    const std::string whole = "alice pw\nbob longpass\ncarol pw\n";
    const std::string cut = whole.substr(0, 15);
    const Case cases[] = {
        {"unchanged", whole, whole.size(), whole.size(), BatchEnd::input_done},
        {"cut short while read", cut, whole.size(), cut.size(), BatchEnd::input_changed},
        {"cut short and written again", cut, whole.size(), whole.size() + 5, BatchEnd::input_changed},
        {"appended to after its end was read", whole, whole.size(), whole.size() + 9, BatchEnd::input_changed},
        {"appended to and read whole", whole, cut.size(), whole.size(), BatchEnd::input_done},
        {"cut short once read whole", whole, whole.size(), 0, BatchEnd::input_done},
        {"a pipe", whole, 0, 0, BatchEnd::input_done},
    };
    for (const Case& c : cases) {
        ChangingFile input(c.text, c.at_start, c.at_end);
        const Outcome outcome = run(input);
        EXPECT_EQ(outcome.result.end, c.end) << c.name;
        if (c.end == BatchEnd::input_changed) {
            EXPECT_EQ(outcome.result.size_at_start, c.at_start) << c.name;
            EXPECT_EQ(outcome.result.bytes_read, c.text.size()) << c.name;
        }
    }
}

TEST(Batch, EveryStatementAndMessageIsOneWrite)
{
    const Outcome outcome = run("alice pw\nbad\x01 pw\nbob " + std::string(80, 'p') + "\n");
    EXPECT_EQ(outcome.script_writes, 2u);
    EXPECT_EQ(outcome.message_writes, 2u);
}

TEST(Batch, LineEndingIsThePlatformsOwn)
{
    const Outcome outcome = run("alice pw\r\nbad\x01 pw\r\n", FakeHash{}, "\r\n");
    EXPECT_EQ(outcome.out, "UPDATE DT511 SET DI059177 = '#pw' WHERE DI010323 = 'alice';\r\n");
    EXPECT_EQ(outcome.err, "credbatch: line 2: user name contains a control character\r\n");
}

// A regular file with a size limit, as RLIMIT_FSIZE or a full disk makes one: it takes bytes up
// to the limit, a few at a time, then refuses. `cuttable` false stands for a pipe or a terminal.
// With `fails_with_bytes`, the write that reaches the limit takes what fits and fails in the same
// call, as Windows' WriteFile does on a full disk.
class LimitedFile : public credbatch::OutputChannel {
public:
    LimitedFile(std::string content, std::size_t limit, bool cuttable = true, bool fails_with_bytes = false)
        : content(std::move(content)), limit_(limit), cuttable_(cuttable), fails_with_bytes_(fails_with_bytes)
    {
    }

    credbatch::IoResult write_some(std::string_view bytes) override
    {
        const std::size_t room = limit_ - std::min(limit_, content.size());
        const std::error_code full = std::make_error_code(std::errc::file_too_large);
        if (fails_with_bytes_ && bytes.size() > room) {
            content.append(bytes.substr(0, room));
            return {room, full};
        }
        if (room == 0) {
            return {0, full};
        }
        const std::size_t taken = std::min({bytes.size(), room, std::size_t{7}});
        content.append(bytes.substr(0, taken));
        return {taken, {}};
    }

    bool cut_back(std::uint64_t bytes) noexcept override
    {
        if (cuttable_) {
            content.resize(content.size() - bytes);
        }
        return cuttable_;
    }

    std::string content;

private:
    std::size_t limit_;
    bool cuttable_;
    bool fails_with_bytes_;
};

TEST(ScriptOutput, FailedWriteLeavesOnlyWholeStatements)
{
    const std::string before = "-- kept from before\n";
    const std::string first = statement("#pw", "alice");
    const std::string second = statement("#pw", "o''brien");
    const std::size_t second_quote = before.size() + first.size() + second.find("''") + 1;
    struct Case {
        const char* name;
        std::size_t limit;
        std::string left;
    };
    const Case cases[] = {
        {"inside the first statement", before.size() + 40, before},
        {"just before the first newline", before.size() + first.size() - 1, before},
        {"between the statements", before.size() + first.size(), before + first},
        {"inside a doubled quote", second_quote, before + first},
        {"one byte short of the end", before.size() + first.size() + second.size() - 1, before + first},
    };
    for (const Case& c : cases) {
        for (const bool fails_with_bytes : {false, true}) {
            LimitedFile file(before, c.limit, true, fails_with_bytes);
            credbatch::ScriptOutput script(file);
            MemorySource input("alice pw\no'brien pw\nnever pw\n");
            MemorySink err;
            const BatchResult result = credbatch::run_batch(input, script, err, FakeHash{});
            EXPECT_EQ(result.end, BatchEnd::write_failed) << c.name;
            EXPECT_EQ(result.error, std::errc::file_too_large) << c.name;
            EXPECT_EQ(file.content, c.left) << c.name << (fails_with_bytes ? ", bytes taken by the failing write" : "");
        }
    }

    // Where nothing can be cut back, the run still stops at the statement that failed, and the
    // script says that it ends in part of one; not when the failed write took nothing.
    struct Uncuttable {
        const char* name;
        std::size_t limit;
        bool fails_with_bytes;
        bool partial;
    };
    const Uncuttable uncuttable[] = {
        {"part of the second written", first.size() + 10, false, true},
        {"part of the second taken by the failing write", first.size() + 10, true, true},
        {"the first whole, nothing of the second", first.size(), false, false},
        {"the first whole, the failing write taking nothing", first.size(), true, false},
    };
    for (const Uncuttable& c : uncuttable) {
        LimitedFile file("", c.limit, false, c.fails_with_bytes);
        credbatch::ScriptOutput script(file);
        EXPECT_FALSE(script.write(first));
        EXPECT_FALSE(script.ends_in_partial_statement()) << c.name;
        EXPECT_EQ(script.write(second), std::errc::file_too_large) << c.name;
        EXPECT_EQ(file.content.size(), c.limit) << c.name;
        EXPECT_EQ(script.ends_in_partial_statement(), c.partial) << c.name;
    }
    LimitedFile cuttable("", first.size() + 10);
    credbatch::ScriptOutput cut_script(cuttable);
    EXPECT_FALSE(cut_script.write(first));
    EXPECT_TRUE(cut_script.write(second));
    EXPECT_FALSE(cut_script.ends_in_partial_statement());
}

// A channel that takes nothing and says nothing is wrong; after `patience` such calls it gives up
// with an error of its own, so that a writer that keeps asking shows as that error, not a hang.
class SilentChannel : public credbatch::OutputChannel {
public:
    credbatch::IoResult write_some(std::string_view) override
    {
        ++calls;
        return {0, calls < patience ? std::error_code{} : std::make_error_code(std::errc::timed_out)};
    }
    bool cut_back(std::uint64_t) noexcept override { return false; }

    static constexpr int patience = 1000;
    int calls = 0;
};

TEST(ScriptOutput, ChannelThatTakesNothingIsAnError)
{
    SilentChannel channel;
    credbatch::ScriptOutput script(channel);
    EXPECT_EQ(script.write(statement("#pw", "alice")), std::errc::io_error);
    EXPECT_EQ(channel.calls, 1);
}

// Looks, when a statement is written, at the bytes the hash step was handed for it.
class PasswordSpy : public credbatch::ByteSink {
public:
    std::string_view handed;
    bool wiped_before_every_write = true;
    std::string text;

    std::error_code write(std::string_view bytes) override
    {
        wiped_before_every_write &= std::all_of(handed.begin(), handed.end(), [](char c) { return c == '\0'; });
        text.append(bytes);
        return {};
    }
};

TEST(Batch, PasswordIsWipedBeforeItsStatementGoesOut)
{
    MemorySource input("alice first-secret\nbob second\n");
    PasswordSpy spy;
    MemorySink err;
    credbatch::run_batch(input, spy, err, [&](std::string_view password) {
        spy.handed = password;
        return std::string_view("$hash");
    });
    EXPECT_EQ(spy.text, statement("$hash", "alice") + statement("$hash", "bob"));
    EXPECT_TRUE(spy.wiped_before_every_write);
}

TEST(CredentialReader, LineIsWipedFromTheReadBufferOnceSplit)
{
    const auto holds = [](std::span<const char> buffer, std::string_view text) {
        return std::search(buffer.begin(), buffer.end(), text.begin(), text.end()) != buffer.end();
    };
    // A third field, a long rest of line and a line across two reads: all of it goes.
    MemorySource input("\xEF\xBB\xBF" "alice first-secret trailing-words\nbob second-secret\ncarol " + std::string(70'000, 'z') + "third-secret\n", 50);
    credbatch::CredentialReader reader(input);
    credbatch::CredentialLine line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_FALSE(holds(reader.read_buffer(), "first-secret"));
    EXPECT_FALSE(holds(reader.read_buffer(), "trailing-words"));
    EXPECT_TRUE(holds(reader.read_buffer(), "bob second")) << "the unread rest of the last read stays";
    ASSERT_TRUE(reader.next(line));
    EXPECT_FALSE(holds(reader.read_buffer(), "second-secret"));
    ASSERT_TRUE(reader.next(line));
    EXPECT_FALSE(reader.next(line));
    const auto buffer = reader.read_buffer();
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == '\0'; }));
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
