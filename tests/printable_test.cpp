#include "printable.hpp"

#include <gtest/gtest.h>

namespace {

TEST(PrintablePath, ControlsAndWhatIsNotUtf8AreEscapedAndTheRestKept)
{
    struct Case {
        std::string path;
        std::string shown;
    };
    const Case cases[] = {
        {"/home/admin/users.txt", "/home/admin/users.txt"},
        {"C:\\Users\\admin\\users.txt", "C:\\Users\\admin\\users.txt"},
        {"new\nline.txt", "new\\nline.txt"},
        {"tab\tcr\r", "tab\\tcr\\r"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"del\x7f", "del\\x7f"},
        // The bounds of each check: 0x1F is escaped and 0x20 and 0x7E kept; C1 runs 0x80 to 0x9F.
        {"us\x1f sp~", "us\\x1f sp~"},
        {"c1\xc2\x80\xc2\x9f", "c1\\xc2\\x80\\xc2\\x9f"},
        // UTF-8 stays readable; only its C1 controls (CSI among them) are escaped.
        {"\xc3\xa9t\xc3\xa9.txt", "\xc3\xa9t\xc3\xa9.txt"},
        {"csi\xc2\x9b" "31m", "csi\\xc2\\x9b31m"},
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},
        // Bytes that are not UTF-8 are escaped one by one: 0x85 and 0x9B are NEL and CSI to an
        // 8-bit terminal, and a Latin-1 name shows as what it is.
        {"lone\xc2", "lone\\xc2"},
        {"nel\x85" "csi\x9b" "31m", "nel\\x85csi\\x9b31m"},
        {"caf\xe9.txt", "caf\\xe9.txt"},
        {"\xe2\x82" "cut", "\\xe2\\x82cut"},
        // The line and paragraph separators and the bidirectional controls, which would break the
        // line or reorder it; the characters around each range are kept.
        {"ls\xe2\x80\xa8ps\xe2\x80\xa9", "ls\\xe2\\x80\\xa8ps\\xe2\\x80\\xa9"},
        {"lre\xe2\x80\xaa" "rlo\xe2\x80\xae", "lre\\xe2\\x80\\xaarlo\\xe2\\x80\\xae"},
        {"lri\xe2\x81\xa6" "pdi\xe2\x81\xa9", "lri\\xe2\\x81\\xa6pdi\\xe2\\x81\\xa9"},
        {"\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(credbatch::printable_path(c.path), c.shown);
    }
}

} // namespace
