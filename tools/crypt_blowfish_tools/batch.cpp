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

// One run: the streams, the hash step and the tallies that the lines add to.
class Batch {
public:
    Batch(std::ostream& output, std::ostream& errors, const HashStep& hash) : output_(output), errors_(errors), hash_(hash) {}

    // Writes the line's messages and statement; false when the output failed.
    bool convert(CredentialLine& line, std::uint64_t line_number)
    {
        if (const auto reason = rejection(line)) {
            report(errors_, line_number, *reason);
            lines_failed = true;
            return true;
        }
        if (line.password.length() > bcrypt_key_bytes) {
            report(errors_, line_number, "only the first 72 bytes of the password are used");
        }
        const std::string_view hashed = hash_(line.password.kept());
        line.password.clear();
        if (hashed.starts_with('*')) {
            // The token still goes out, so the script keeps one statement per line and the
            // account is locked rather than left on its old password; the run fails.
            report(errors_, line_number, "the password could not be hashed; its statement carries the failure token");
            lines_failed = true;
        }
        write_statement(output_, hashed, line.user.kept());
        ++statements;
        return static_cast<bool>(output_.flush());
    }

    bool lines_failed = false;
    std::uint64_t statements = 0;

private:
    std::ostream& output_;
    std::ostream& errors_;
    const HashStep& hash_;
};

} // namespace

BatchResult run_batch(std::istream& input, std::ostream& output, std::ostream& errors, const HashStep& hash,
                      const ProgressStep& on_progress)
{
    CredentialReader reader(input);
    CredentialLine line;
    Batch batch(output, errors, hash);
    BatchProgress progress;

    while (reader.next(line)) {
        ++progress.lines;
        if (!line.blank() && !batch.convert(line, progress.lines)) {
            return {BatchEnd::write_failed, batch.lines_failed};
        }
        if (on_progress) {
            progress.statements = batch.statements;
            progress.bytes = reader.bytes_consumed();
            on_progress(progress);
        }
    }
    return {input.bad() ? BatchEnd::read_failed : BatchEnd::input_done, batch.lines_failed};
}

} // namespace credbatch
