#include "printable.hpp"

namespace credbatch {

namespace {

void append_escaped(std::string& out, unsigned char byte)
{
    constexpr char digits[] = "0123456789abcdef";
    switch (byte) {
    case '\n':
        out += "\\n";
        break;
    case '\r':
        out += "\\r";
        break;
    case '\t':
        out += "\\t";
        break;
    default:
        out += "\\x";
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
}

bool is_c1_control(std::string_view text, std::size_t at)
{
    return static_cast<unsigned char>(text[at]) == 0xC2 && at + 1 < text.size() &&
           static_cast<unsigned char>(text[at + 1]) >= 0x80 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

} // namespace

std::string printable_path(std::string_view path)
{
    std::string shown;
    shown.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (byte < 0x20 || byte == 0x7F) {
            append_escaped(shown, byte);
        } else if (is_c1_control(path, i)) {
            append_escaped(shown, byte);
            append_escaped(shown, static_cast<unsigned char>(path[++i]));
        } else {
            shown += path[i];
        }
    }
    return shown;
}

} // namespace credbatch
