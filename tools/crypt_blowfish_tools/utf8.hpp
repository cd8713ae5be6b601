#pragma once

#include <cstddef>
#include <string_view>

namespace credbatch {

// One character decoded from the front of a text; length 0 when the bytes there are no
// well-formed UTF-8 sequence.
struct Decoded {
    char32_t code_point = 0;
    std::size_t length = 0;
};
Decoded decode_utf8(std::string_view text) noexcept;

// Whether `text` is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// form, no surrogate and nothing above U+10FFFF, which is what a UTF-8 database accepts.
bool is_valid_utf8(std::string_view text) noexcept;

// Whether a character shows as nothing or as a plain space: one that Unicode marks
// default-ignorable, or a white-space character other than ASCII's.
// The zero-width joiner and non-joiner (U+200C, U+200D) and the variation selectors are left
// out: Persian, Indic scripts and emoji need them. The ranges are in invisible_ranges.hpp.
bool is_invisible(char32_t code_point) noexcept;

// Whether `text` holds, UTF-8 encoded, such a character.
bool has_invisible_character(std::string_view text) noexcept;

} // namespace credbatch
