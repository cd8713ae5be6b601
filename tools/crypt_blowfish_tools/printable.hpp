#pragma once

#include <string>
#include <string_view>

namespace credbatch {

// A path as a message shows it: control bytes (below 0x20, 0x7F, and the C1 controls as UTF-8
// encodes them) escaped as \n, \r, \t or \xHH, so that a message is always exactly one line
// and a name cannot send escape sequences to the terminal. Every other byte is kept, so a
// path in any language reads as it was given.
std::string printable_path(std::string_view path);

} // namespace credbatch
