#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

// Reads a statement line (without its newline) back into its hash and its user name, undoing
// the literal's quote doubling. Nothing when the line is not exactly a statement, or when a
// lone quote would end the literal early, which is how SQL would escape it.
inline std::optional<std::pair<std::string, std::string>> parse_statement(std::string_view line)
{
    constexpr std::string_view head = "UPDATE DT511 SET DI059177 = '";
    constexpr std::string_view middle = "' WHERE DI010323 = '";
    constexpr std::string_view tail = "';";
    if (!line.starts_with(head) || !line.ends_with(tail) || line.size() < head.size() + tail.size()) {
        return std::nullopt;
    }
    line.remove_prefix(head.size());
    line.remove_suffix(tail.size());
    const auto split = line.find(middle);
    if (split == std::string_view::npos) {
        return std::nullopt;
    }
    std::string hash(line.substr(0, split));
    const std::string_view literal = line.substr(split + middle.size());
    std::string user;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        if (literal[i] == '\'' && (i + 1 == literal.size() || literal[++i] != '\'')) {
            return std::nullopt;
        }
        user += literal[i];
    }
    return std::pair{std::move(hash), std::move(user)};
}
