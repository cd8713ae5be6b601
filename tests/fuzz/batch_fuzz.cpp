// Feeds arbitrary bytes to the batch driver with a fake hash and checks its script against a
// deliberately naive reading of the same bytes: every statement well formed, every literal
// giving back its user name, every line accounted for, the warnings each line deserves in
// their order, and UTF-16 and UTF-32 text refused whole.
#include "batch.hpp"
#include "invisible_ranges.hpp"
#include "../memory_io.hpp"
#include "../statement_check.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Expected {
    enum Kind { blank, rejected, statement } kind = blank;
    std::string user;
    std::string password;
    bool more = false;  // a third field
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> fields_of(std::string_view line)
{
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (fields.size() < 3) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !is_blank(line[i])) {
            ++i;
        }
        if (start == i) {
            break;
        }
        fields.emplace_back(line.substr(start, i - start));
    }
    return fields;
}

// The shortest UTF-8 form of a code point, without looking at whether it may be encoded.
std::string encode(char32_t c)
{
    std::string bytes;
    if (c < 0x80) {
        bytes += static_cast<char>(c);
    } else if (c < 0x800) {
        bytes += static_cast<char>(0xC0 | c >> 6);
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        bytes += static_cast<char>(0xE0 | c >> 12);
        bytes += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        bytes += static_cast<char>(0xF0 | c >> 18);
        bytes += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        bytes += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
    return bytes;
}

// Valid when every sequence, read by its lead byte's bit pattern, re-encodes to the same bytes
// and names a scalar value: no overlong form, no surrogate, nothing past U+10FFFF.
bool naive_utf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = c << 6 | (next & 0x3F);
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF || encode(c) != text.substr(i, length)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Whether the encoding of a character of the generated table (which the unit tests check
// against Unicode's own data) stands anywhere in the name, whatever surrounds it.
bool holds_invisible(std::string_view user)
{
    static const std::set<std::string, std::less<>> encodings = [] {
        std::set<std::string, std::less<>> all;
        for (const auto& range : credbatch::invisible_ranges) {
            for (char32_t c = range.first; c <= range.last; ++c) {
                all.insert(encode(c));
            }
        }
        return all;
    }();
    for (std::size_t at = 0; at < user.size(); ++at) {
        for (std::size_t length = 2; length <= 4 && at + length <= user.size(); ++length) {
            if (encodings.contains(user.substr(at, length))) {
                return true;
            }
        }
    }
    return false;
}

// A carriage return with more of the line after it; those just before the line's end end it.
bool holds_inner_carriage_return(std::string_view line)
{
    while (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return line.find('\r') != std::string_view::npos;
}

Expected expect(std::string_view line)
{
    auto fields = fields_of(line);
    if (fields.empty()) {
        return {};
    }
    const bool more = fields.size() > 2;
    fields.resize(2);
    const std::string& user = fields[0];
    const std::string& password = fields[1];
    bool control = false;
    for (std::size_t i = 0; i < user.size(); ++i) {
        const auto c = static_cast<unsigned char>(user[i]);
        const auto next = i + 1 < user.size() ? static_cast<unsigned char>(user[i + 1]) : 0;
        control = control || c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F);
    }
    const bool bad = holds_inner_carriage_return(line) || user.find('\0') != std::string::npos || password.find('\0') != std::string::npos ||
                     user.size() > 100 || password.size() > 100 || control;
    return bad ? Expected{Expected::rejected, {}, {}, false} : Expected{Expected::statement, user, password, more};
}

std::vector<Expected> expect_all(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::vector<Expected> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        lines.push_back(expect(text.substr(0, end)));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

// A hash of the fake kind: "$fake$" and the password in hex, so it never holds a quote.
std::string fake_hash(std::string_view password)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hashed = "$fake$";
    for (const unsigned char c : password) {
        hashed += digits[c >> 4];
        hashed += digits[c & 15];
    }
    return hashed;
}

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Reads of varying size, so lines and byte-order marks fall across read boundaries.
    MemorySource input(text, size % 7 == 0 ? 64 * 1024 : 1 + size % 61);
    MemorySink output;
    MemorySink errors;
    std::string last_hash;
    const auto hash = [&](std::string_view password) -> std::string_view { return last_hash = fake_hash(password); };
    const auto result = credbatch::run_batch(input, output, errors, hash);
    const std::string_view wide = text.starts_with(std::string_view("\xFF\xFE\0\0", 4))   ? "UTF-32LE"
                                  : text.starts_with(std::string_view("\0\0\xFE\xFF", 4)) ? "UTF-32BE"
                                  : text.starts_with("\xFF\xFE")                          ? "UTF-16LE"
                                  : text.starts_with("\xFE\xFF")                          ? "UTF-16BE"
                                                                                          : "";
    if (!wide.empty()) {
        check(result.end == credbatch::BatchEnd::wide_text);
        check(result.encoding == wide);
        check(output.text.empty() && errors.text.empty() && !result.lines_failed);
        return 0;
    }
    check(result.end == credbatch::BatchEnd::input_done);

    const auto expected = expect_all(text);
    std::istringstream statements(output.text);
    std::size_t rejected = 0;
    std::size_t blank = 0;
    std::size_t written = 0;
    for (const Expected& line : expected) {
        if (line.kind == Expected::blank) {
            ++blank;
        } else if (line.kind == Expected::rejected) {
            ++rejected;
        } else {
            std::string statement;
            check(static_cast<bool>(std::getline(statements, statement)));
            const auto values = parse_statement(statement);
            check(values.has_value());
            check(values->first == fake_hash(line.password));
            check(values->second == line.user);
            ++written;
        }
    }
    std::string extra;
    check(!std::getline(statements, extra));

    const std::string_view warnings[] = {
        "user name is not valid UTF-8; a UTF-8 database refuses it or matches no row",
        "user name contains an invisible character, such as a non-breaking or zero-width space",
        "user name contains a backslash, which some databases read as an escape",
        "no password; its statement sets an empty password, with which anyone can log in (if the user name was left out, the password became the name)",
        "only the first 72 bytes of the password are used",
        "password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it",
        "text after the password is ignored",
    };
    std::map<std::string, std::size_t> first_line;
    std::string messages;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Expected& line = expected[i];
        const std::string head = "credbatch: line " + std::to_string(i + 1) + ": ";
        if (line.kind == Expected::rejected) {
            messages += head + "?\n";
            continue;
        }
        if (line.kind == Expected::statement) {
            const auto [earlier, is_new] = first_line.emplace(line.user, i + 1);
            const bool deserved[] = {!naive_utf8(line.user), holds_invisible(line.user), line.user.find('\\') != std::string::npos,
                                     line.password.empty(), line.password.size() > 72, !naive_utf8(line.password), line.more};
            for (std::size_t w = 0; w < std::size(warnings); ++w) {
                if (deserved[w]) {
                    messages += head + std::string(warnings[w]) + "\n";
                }
                if (w == 2 && !is_new) {
                    messages += head + "user name already on line " + std::to_string(earlier->second) + "; the later statement wins\n";
                }
            }
        }
    }
    // A rejection's reason is checked by the unit tests; here only that there is one, on its line.
    std::string got;
    std::istringstream error_lines(errors.text);
    for (std::string message; std::getline(error_lines, message);) {
        const std::string_view said = std::string_view(message).substr(message.find(": ", 16) + 2);
        const bool warning = std::find(std::begin(warnings), std::end(warnings), said) != std::end(warnings) ||
                             (said.starts_with("user name already on line ") && said.ends_with("; the later statement wins"));
        got += warning ? message + "\n" : message.substr(0, message.find(": ", 16) + 2) + "?\n";
    }
    check(got == messages);
    check(written + rejected + blank == expected.size());
    check(result.lines_failed == (rejected > 0));
    return 0;
}
