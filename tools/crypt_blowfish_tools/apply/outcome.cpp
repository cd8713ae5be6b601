#include "outcome.hpp"

#include "printable.hpp"

namespace credbatch::apply::outcome {

namespace {

constexpr std::string_view prefix = "checked apply: ";
constexpr std::string_view nothing = "; nothing was committed";

std::string ended(std::string_view what)
{
    std::string line(prefix);
    line.append(what).append(nothing);
    return line;
}

std::string every(std::uint64_t statements, std::string_view then)
{
    return std::string(prefix) + "each of the " + std::to_string(statements) + " statements changed exactly one row; " + std::string(then);
}

// A bcrypt hash, wherever a server's message shows one (a trigger may echo the new value),
// is cut to its prefix, and so is any run of its alphabet as long as a salt, which is how a part
// of one would show: no line of this program shows a hash.
std::string without_hashes(std::string_view text)
{
    constexpr std::string_view alphabet = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t salt_characters = 22;
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const bool hash_here = text.substr(i, 2) == "$2" && i + 7 <= text.size() && text[i + 3] == '$' && text[i + 6] == '$';
        std::size_t run = 0;
        while (i + run < text.size() && alphabet.find(text[i + run]) != std::string_view::npos) {
            ++run;
        }
        if (hash_here) {
            std::size_t end = i + 7;
            while (end < text.size() && alphabet.find(text[end]) != std::string_view::npos) {
                ++end;
            }
            out.append(text.substr(i, 7)).append("...");
            i = end;
        } else if (run >= salt_characters) {
            // A hash's salt and digest without its prefix, as a message may quote part of a value.
            out.append("...");
            i += run;
        } else if (run > 0) {
            out.append(text.substr(i, run));
            i += run;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

std::string quoted_literal(std::string_view user)
{
    std::string literal = "'";
    for (const char c : user) {
        literal.push_back(c);
        if (c == '\'') {
            literal.push_back('\'');
        }
    }
    literal.push_back('\'');
    return literal;
}

} // namespace

std::string committed(std::uint64_t statements) { return every(statements, "committed"); }
std::string checked_only(std::uint64_t statements) { return every(statements, "checked only: rolled back"); }

std::string mismatches(std::uint64_t offending, std::uint64_t statements)
{
    return ended(std::to_string(offending) + " of " + std::to_string(statements) + " statements did not change exactly one row");
}

std::string others_changed(std::int64_t others, std::uint64_t statements)
{
    return ended("besides the " + std::to_string(statements) + " rows of the script, " + std::to_string(others) +
                 (others == 1 ? " other row" : " other rows") + " of DT511 changed, appeared or went (a trigger)");
}

std::string statement_failed(std::uint64_t line) { return ended("statement " + std::to_string(line) + " failed"); }

std::string not_a_statement(std::uint64_t line)
{
    return ended("line " + std::to_string(line) + " of the script is not a statement as credbatch writes it");
}

std::string empty_script() { return ended("the script holds no statement"); }
std::string script_changed() { return ended("the script changed while it was applied"); }
std::string refused(std::string_view reason) { return ended(reason); }
std::string not_connected() { return ended("could not connect to the database"); }
std::string stopped(std::string_view request) { return ended("stopped by " + std::string(request) + " before the COMMIT"); }
std::string commit_failed() { return ended("the COMMIT failed"); }
std::string session_ended() { return ended("the connection ended before the COMMIT"); }

std::string commit_not_known()
{
    return std::string(prefix) + "the connection ended during the COMMIT, so whether it committed is not known; read the table before applying again";
}

std::string commit_resolved(bool every_row)
{
    return std::string(prefix) + "the connection ended during the COMMIT; read back on a new connection, " +
           (every_row ? "every statement's row holds its new hash" : "no statement's row holds its new hash");
}

std::string commit_mixed(std::uint64_t holding, std::uint64_t statements)
{
    return std::string(prefix) + "the connection ended during the COMMIT; read back on a new connection, " + std::to_string(holding) + " of " +
           std::to_string(statements) + " rows hold their new hash, so whether it committed is not known; read the table before applying again";
}

std::string commit_undone() { return ended("the COMMIT did not take effect"); }

std::string about_statement(const Statement& statement, std::string_view what)
{
    return "statement " + std::to_string(statement.line) + ", user " + printable_path(quoted_literal(statement.user)) + ": " + std::string(what);
}

std::string failed(std::string_view server_message)
{
    return "failed: " + printable_path(without_hashes(server_message));
}

std::string reason(std::int64_t count, bool held, const ReadBack& row)
{
    if (row.matched == 0) {
        return "no row matches";
    }
    if (row.matched > 1) {
        return std::to_string(row.matched) + " rows match";
    }
    if (held) {
        return "1 row matches, and it already holds this hash";
    }
    if (count == 0) {
        return "1 row matches, but the UPDATE changed none (a trigger skipped it)";
    }
    if (count > 1) {
        return "1 row matches, but the UPDATE counted " + std::to_string(count) + " rows";
    }
    if (row.holding == 1) {
        return {};
    }
    if (row.stored_bytes < 0) {
        return "1 row matches and the UPDATE changed it, but it holds NULL, not the new hash (a trigger altered it)";
    }
    if (row.stored_bytes != 60) {
        return "1 row matches and the UPDATE changed it, but it holds " + std::to_string(row.stored_bytes) +
               (row.stored_bytes == 1 ? " byte" : " bytes") +
               ", not the 60 of the new hash (the column's type cut or padded it, or a trigger or a later statement changed it)";
    }
    return "1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger or a later statement changed it)";
}

// A library's message may run over several lines (libpq indents the later ones): one line here.
std::string said(std::string_view text)
{
    std::string joined;
    bool in_break = false;
    for (const char c : text) {
        const bool breaks = c == '\n' || c == '\r' || (in_break && (c == '\t' || c == ' '));
        if (breaks) {
            in_break = true;
            continue;
        }
        if (in_break && !joined.empty()) {
            joined.push_back(' ');
        }
        in_break = false;
        joined.push_back(c);
    }
    return "credbatch-apply: " + printable_path(joined);
}

} // namespace credbatch::apply::outcome
