// Feeds arbitrary bytes to the batch driver with a fake hash and checks its script against a
// deliberately naive reading of the same bytes: every statement well formed, every literal
// giving back its user name, every line accounted for, and the warnings each line deserves.
#include "batch.hpp"
#include "../memory_io.hpp"
#include "../statement_check.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
    const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    const bool bad = user.find('\0') != std::string::npos || password.find('\0') != std::string::npos ||
                     user.size() > 100 || password.size() > 100 ||
                     std::find_if(user.begin(), user.end(), control) != user.end();
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

    std::string messages;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Expected& line = expected[i];
        const std::string head = "credbatch: line " + std::to_string(i + 1) + ": ";
        if (line.kind == Expected::rejected) {
            messages += head + "?\n";
            continue;
        }
        if (line.kind == Expected::statement) {
            if (line.user.find('\\') != std::string::npos) {
                messages += head + "user name contains a backslash, which some databases read as an escape\n";
            }
            if (line.password.size() > 72) {
                messages += head + "only the first 72 bytes of the password are used\n";
            }
            if (line.more) {
                messages += head + "text after the password is ignored\n";
            }
        }
    }
    // A rejection's reason is checked by the unit tests; here only that there is one, on its line.
    std::string got;
    std::istringstream error_lines(errors.text);
    for (std::string message; std::getline(error_lines, message);) {
        const bool warning = message.ends_with("only the first 72 bytes of the password are used") ||
                             message.ends_with("text after the password is ignored") ||
                             message.ends_with("which some databases read as an escape");
        got += warning ? message + "\n" : message.substr(0, message.find(": ", 16) + 2) + "?\n";
    }
    check(got == messages);
    check(written + rejected + blank == expected.size());
    check(result.lines_failed == (rejected > 0));
    return 0;
}
