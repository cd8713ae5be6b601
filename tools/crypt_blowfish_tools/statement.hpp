#pragma once

#include <ostream>
#include <string_view>

namespace credbatch {

// Writes "UPDATE DT511 SET DI059177 = '<hash>' WHERE DI010323 = '<user>';\n", the user name
// as a standard SQL string literal: every single quote doubled, nothing else changed.
// A hash string never holds a quote, so it goes in as it is.
void write_statement(std::ostream& output, std::string_view hash, std::string_view user);

} // namespace credbatch
