#include "utf8.hpp"

#include <algorithm>
#include <cstddef>

#include "invisible_ranges.hpp"

namespace credbatch {

namespace {

unsigned char byte_at(std::string_view text, std::size_t at) noexcept
{
    return static_cast<unsigned char>(text[at]);
}

} // namespace

// Follows the table of well-formed byte sequences in the Unicode standard (its section 3.9):
// the second byte's range depends on the first, which is what rules out overlong forms,
// surrogates and code points past U+10FFFF.
Decoded decode_utf8(std::string_view text) noexcept
{
    const unsigned char lead = byte_at(text, 0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        second_low = lead == 0xE0 ? 0xA0 : 0x80;
        second_high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        second_low = lead == 0xF0 ? 0x90 : 0x80;
        second_high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (text.size() < length || byte_at(text, 1) < second_low || byte_at(text, 1) > second_high) {
        return {};
    }
    char32_t code_point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte_at(text, i);
        if ((next & 0xC0) != 0x80) {
            return {};
        }
        code_point = code_point << 6 | (next & 0x3F);
    }
    return {code_point, length};
}

bool is_invisible(char32_t c) noexcept
{
    const auto after = std::upper_bound(invisible_ranges.begin(), invisible_ranges.end(), c,
                                        [](char32_t point, const CodePointRange& range) { return point < range.first; });
    return after != invisible_ranges.begin() && c <= std::prev(after)->last;
}

bool is_valid_utf8(std::string_view text) noexcept
{
    while (!text.empty()) {
        const std::size_t length = decode_utf8(text).length;
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

bool has_invisible_character(std::string_view text) noexcept
{
    // A malformed byte is stepped over alone, so that a character after it is still seen, as
    // a UTF-8 terminal or database would see it.
    while (!text.empty()) {
        const Decoded decoded = decode_utf8(text);
        if (decoded.length != 0 && is_invisible(decoded.code_point)) {
            return true;
        }
        text.remove_prefix(decoded.length == 0 ? 1 : decoded.length);
    }
    return false;
}

} // namespace credbatch
