#include "printable.hpp"

#include "utf8.hpp"

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

// Characters that end a line or reorder what follows on a terminal that reads UTF-8: the C1
// controls, the line and paragraph separators, and the bidirectional embeddings, overrides and
// isolates.
bool moves_the_text(char32_t c) noexcept
{
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string printable_path(std::string_view path)
{
    std::string shown;
    shown.reserve(path.size());
    while (!path.empty()) {
        const Decoded decoded = decode_utf8(path);
        // A byte that is not UTF-8 is escaped alone: 0x85 and 0x9B are controls to an 8-bit terminal.
        const std::size_t length = decoded.length == 0 ? 1 : decoded.length;
        const bool escaped = decoded.length == 0 || is_control_byte(static_cast<unsigned char>(path[0])) || moves_the_text(decoded.code_point);
        for (std::size_t i = 0; i < length; ++i) {
            if (escaped) {
                append_escaped(shown, static_cast<unsigned char>(path[i]));
            } else {
                shown += path[i];
            }
        }
        path.remove_prefix(length);
    }
    return shown;
}

} // namespace credbatch
