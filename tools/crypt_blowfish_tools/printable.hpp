#pragma once

#include <string>
#include <string_view>

namespace credbatch {

// The control characters that no message and no user name may carry raw, since they could
// break a line or drive a terminal: C0 controls and DEL, each a byte of its own, and the C1
// controls, which UTF-8 encodes as C2 followed by 80 to 9F.
constexpr bool is_control_byte(unsigned char byte) noexcept
{
    return byte < 0x20 || byte == 0x7F;
}
constexpr bool is_c1_control(unsigned char first, unsigned char second) noexcept
{
    return first == 0xC2 && second >= 0x80 && second <= 0x9F;
}

// A path as a message shows it: control characters, bytes that are not UTF-8, the line and
// paragraph separators and the bidirectional controls escaped as \n, \r, \t or \xHH (a
// character of several bytes as each of them), so that a message is always exactly one line,
// reads in its own order, and a name cannot send escape sequences to the terminal. Every other
// character is kept, so a path in any language reads as it was given.
std::string printable_path(std::string_view path);

} // namespace credbatch
