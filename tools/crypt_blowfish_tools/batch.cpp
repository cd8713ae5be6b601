#include "batch.hpp"

#include <cstdint>
#include <optional>

#include "credential_line.hpp"
#include "statement.hpp"

namespace credbatch {

namespace {

// bcrypt keys its cipher with at most this many password bytes and ignores the rest.
constexpr std::size_t bcrypt_key_bytes = 72;

// Why a line cannot become a statement, checked in this order; nothing when it can.
std::optional<std::string_view> rejection(const CredentialLine& line)
{
    if (line.user.has_nul() || line.password.has_nul()) {
        // A C string would end at the NUL and the wrong secret would be hashed.
        return "NUL byte in user name or password";
    }
    if (line.user.too_long()) {
        return "user name longer than 100 characters";
    }
    if (line.user.has_control()) {
        return "user name contains a control character";
    }
    if (line.password.too_long()) {
        return "password longer than 100 characters";
    }
    return std::nullopt;
}

void report(std::ostream& errors, std::uint64_t line_number, std::string_view message)
{
    errors << "credbatch: line " << line_number << ": " << message << '\n';
}

} // namespace

BatchResult run_batch(std::istream& input, std::ostream& output, std::ostream& errors, const HashStep& hash)
{
    BatchResult result;
    CredentialReader reader(input);
    CredentialLine line;
    std::uint64_t line_number = 0;

    while (reader.next(line)) {
        ++line_number;
        if (line.blank()) {
            continue;
        }
        if (const auto reason = rejection(line)) {
            report(errors, line_number, *reason);
            result.lines_failed = true;
            continue;
        }
        if (line.password.length() > bcrypt_key_bytes) {
            report(errors, line_number, "only the first 72 bytes of the password are used");
        }
        const std::string_view hashed = hash(line.password.kept());
        line.password.clear();
        if (hashed.starts_with('*')) {
            // The token still goes out, so the script keeps one statement per line and the
            // account is locked rather than left on its old password; the run fails.
            report(errors, line_number, "the password could not be hashed; its statement carries the failure token");
            result.lines_failed = true;
        }
        write_statement(output, hashed, line.user.kept());
        if (!output.flush()) {
            result.end = BatchEnd::write_failed;
            return result;
        }
    }
    if (input.bad()) {
        result.end = BatchEnd::read_failed;
    }
    return result;
}

} // namespace credbatch
