#pragma once

#include <string_view>

namespace credbatch {

// Whether `text` is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// form, no surrogate and nothing above U+10FFFF, which is what a UTF-8 database accepts.
bool is_valid_utf8(std::string_view text) noexcept;

// Whether `text` holds, UTF-8 encoded, a character that shows as nothing or as a plain space
// and that no user name needs: U+00A0 (no-break space), U+00AD (soft hyphen), U+180E, U+2000 to
// U+200B (the typographic spaces and the zero-width space), U+200E and U+200F (direction
// marks), U+2028 to U+202F (line and paragraph separators, direction embeddings, narrow no-break
// space), U+205F to U+206F (word joiner, invisible operators, direction isolates), U+3000
// (ideographic space) and U+FEFF (zero-width no-break space, the byte-order mark). The zero-width
// joiner and non-joiner (U+200C, U+200D) are left out: Persian, Indic scripts and emoji need them.
bool has_invisible_character(std::string_view text) noexcept;

} // namespace credbatch
