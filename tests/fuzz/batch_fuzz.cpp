// Feeds arbitrary bytes to the batch driver with a fake hash and checks its script against a
// deliberately naive reading of the same bytes: every statement well formed, every literal
// giving back its user name, and every line accounted for.
#include "batch.hpp"
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
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> fields_of(std::string_view line)
{
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (fields.size() < 2) {
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
    fields.resize(2);
    const std::string& user = fields[0];
    const std::string& password = fields[1];
    const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    const bool bad = user.find('\0') != std::string::npos || password.find('\0') != std::string::npos ||
                     user.size() > 100 || password.size() > 100 ||
                     std::find_if(user.begin(), user.end(), control) != user.end();
    return bad ? Expected{Expected::rejected, {}, {}} : Expected{Expected::statement, user, password};
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
    std::istringstream input(text);
    std::ostringstream output;
    std::ostringstream errors;
    std::string last_hash;
    const auto hash = [&](std::string_view password) -> std::string_view { return last_hash = fake_hash(password); };
    const auto result = credbatch::run_batch(input, output, errors, hash);
    check(result.end == credbatch::BatchEnd::input_done);

    const auto expected = expect_all(text);
    std::istringstream statements(output.str());
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

    std::size_t messages = 0;
    std::istringstream error_lines(errors.str());
    for (std::string message; std::getline(error_lines, message);) {
        if (!message.ends_with("only the first 72 bytes of the password are used")) {
            ++messages;
        }
    }
    check(messages == rejected);
    check(written + rejected + blank == expected.size());
    check(result.lines_failed == (rejected > 0));
    return 0;
}
