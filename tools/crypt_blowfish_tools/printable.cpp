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

} // namespace

std::string printable_path(std::string_view path)
{
    std::string shown;
    shown.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (is_control_byte(byte)) {
            append_escaped(shown, byte);
        } else if (i + 1 < path.size() && is_c1_control(byte, static_cast<unsigned char>(path[i + 1]))) {
            append_escaped(shown, byte);
            append_escaped(shown, static_cast<unsigned char>(path[++i]));
        } else {
            shown += path[i];
        }
    }
    return shown;
}

} // namespace credbatch
