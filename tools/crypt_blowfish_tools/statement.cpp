#include "statement.hpp"

namespace credbatch {

namespace {

// The statement "UPDATE DT511 SET DI059177 = '%s' WHERE DI010323 = '%s';" in its three fixed pieces.
constexpr std::string_view before_hash = "UPDATE DT511 SET DI059177 = '";
constexpr std::string_view before_user = "' WHERE DI010323 = '";
constexpr std::string_view after_user = "';";

void append_literal_body(std::string& out, std::string_view text)
{
    for (auto quote = text.find('\''); quote != std::string_view::npos; quote = text.find('\'')) {
        out.append(text.substr(0, quote + 1));
        out.push_back('\'');
        text.remove_prefix(quote + 1);
    }
    out.append(text);
}

} // namespace

void format_statement(std::string& statement, std::string_view hash, std::string_view user, std::string_view line_ending)
{
    statement.assign(before_hash);
    statement.append(hash);
    statement.append(before_user);
    append_literal_body(statement, user);
    statement.append(after_user);
    statement.append(line_ending);
}

} // namespace credbatch
