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

constexpr std::string_view hash_prefix = "$2a$10$";
constexpr std::size_t hash_length = 60;
constexpr std::string_view hash_alphabet = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool is_cost_10_hash(std::string_view hash)
{
    return hash.size() == hash_length && hash.starts_with(hash_prefix) &&
           hash.find_first_not_of(hash_alphabet, hash_prefix.size()) == std::string_view::npos;
}

bool holds_control_byte(std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
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

std::optional<ParsedStatement> parse_statement(std::string_view line)
{
    if (!line.starts_with(before_hash) || !line.ends_with(after_user)) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(before_hash.size());
    const auto hash_end = rest.find(before_user);
    if (hash_end == std::string_view::npos) {
        return std::nullopt;
    }
    ParsedStatement parsed;
    parsed.hash = rest.substr(0, hash_end);
    std::string_view literal = rest.substr(hash_end + before_user.size());
    literal.remove_suffix(after_user.size());
    for (auto quote = literal.find('\''); quote != std::string_view::npos; quote = literal.find('\'')) {
        parsed.user.append(literal.substr(0, quote + 1));
        literal.remove_prefix(quote + 1);
        if (!literal.starts_with('\'')) {
            return std::nullopt;
        }
        literal.remove_prefix(1);
    }
    parsed.user.append(literal);
    if (!is_cost_10_hash(parsed.hash) || holds_control_byte(parsed.user)) {
        return std::nullopt;
    }
    // The round trip is the rule; the steps above only make it cheap to fail early.
    std::string again;
    format_statement(again, parsed.hash, parsed.user, "");
    if (again != line) {
        return std::nullopt;
    }
    return parsed;
}

} // namespace credbatch
