#include "statement.hpp"

namespace credbatch {

namespace {

// The statement "UPDATE DT511 SET DI059177 = '%s' WHERE DI010323 = '%s';\n" in its three fixed pieces.
constexpr std::string_view before_hash = "UPDATE DT511 SET DI059177 = '";
constexpr std::string_view before_user = "' WHERE DI010323 = '";
constexpr std::string_view after_user = "';\n";

void put(std::ostream& output, std::string_view text)
{
    output.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void put_literal_body(std::ostream& output, std::string_view text)
{
    for (auto quote = text.find('\''); quote != std::string_view::npos; quote = text.find('\'')) {
        put(output, text.substr(0, quote + 1));
        output.put('\'');
        text.remove_prefix(quote + 1);
    }
    put(output, text);
}

} // namespace

void write_statement(std::ostream& output, std::string_view hash, std::string_view user)
{
    put(output, before_hash);
    put(output, hash);
    put(output, before_user);
    put_literal_body(output, user);
    put(output, after_user);
}

} // namespace credbatch
