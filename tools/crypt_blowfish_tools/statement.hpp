#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace credbatch {

// Sets `statement` to "UPDATE DT511 SET DI059177 = '<hash>' WHERE DI010323 = '<user>';" and the
// line ending, the user name as a standard SQL string literal: every single quote doubled,
// nothing else changed. A hash string never holds a quote, so it goes in as it is.
void format_statement(std::string& statement, std::string_view hash, std::string_view user, std::string_view line_ending);

// A statement of a script read back: its bcrypt hash and its user name, the quotes undoubled.
struct ParsedStatement {
    std::string hash;
    std::string user;
};

// `line` (without its line ending) taken apart, if it is exactly what format_statement writes
// for a bcrypt hash of cost 10 and a user name that holds no control character; nothing for
// any other line. Only what formats back to the same bytes is taken, so that no line is read
// differently from how a database would read it.
std::optional<ParsedStatement> parse_statement(std::string_view line);

} // namespace credbatch
