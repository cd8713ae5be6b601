#pragma once

#include <string>
#include <string_view>

namespace credbatch {

// Sets `statement` to "UPDATE DT511 SET DI059177 = '<hash>' WHERE DI010323 = '<user>';" and the
// line ending, the user name as a standard SQL string literal: every single quote doubled,
// nothing else changed. A hash string never holds a quote, so it goes in as it is.
void format_statement(std::string& statement, std::string_view hash, std::string_view user, std::string_view line_ending);

} // namespace credbatch
