#include "printable.hpp"

#include <gtest/gtest.h>

namespace {

TEST(PrintablePath, ControlBytesAreEscapedAndTheRestKept)
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
        {"lone\xc2", "lone\xc2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(credbatch::printable_path(c.path), c.shown);
    }
}

} // namespace
