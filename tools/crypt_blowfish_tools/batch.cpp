#include "batch.hpp"

#include <optional>
#include <string>

#include "credential_line.hpp"
#include "message.hpp"
#include "password_hash.hpp"
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

// One run: the sinks, the hash step and the tallies that the lines add to.
class Batch {
public:
    Batch(ByteSink& script, ByteSink& messages, const HashStep& hash, std::string_view line_ending)
        : script_(script), messages_(messages, line_ending), hash_(hash), line_ending_(line_ending)
    {
    }

    // Writes the line's messages and statement; the error when the script could not take it.
    std::error_code convert(CredentialLine& line, std::uint64_t line_number)
    {
        if (const auto reason = rejection(line)) {
            report(line_number, *reason);
            lines_failed = true;
            return {};
        }
        if (line.user.kept().find('\\') != std::string_view::npos) {
            report(line_number, "user name contains a backslash, which some databases read as an escape");
        }
        if (line.password.length() > bcrypt_key_bytes) {
            report(line_number, "only the first 72 bytes of the password are used");
        }
        const Hashed hashed = hash_(line.password.kept());
        line.password.clear();
        if (hashed.differs_from_2b) {
            report(line_number, "this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it");
        }
        if (line.text_after_password) {
            report(line_number, "text after the password is ignored");
        }
        if (hashed.text == failure_token) {
            // The token still goes out, so the script keeps one statement per line and the
            // account is locked rather than left on its old password; the run fails.
            report(line_number, "the password could not be hashed; its statement carries the failure token");
            lines_failed = true;
        }
        format_statement(statement_, hashed.text, line.user.kept(), line_ending_);
        if (auto error = script_.write(statement_)) {
            return error;
        }
        ++statements;
        return {};
    }

    bool lines_failed = false;
    std::uint64_t statements = 0;

private:
    void report(std::uint64_t line_number, std::string_view message)
    {
        messages_.say_about_line(line_number, message);
    }

    ByteSink& script_;
    Messages messages_;
    const HashStep& hash_;
    std::string_view line_ending_;
    std::string statement_;
};

} // namespace

BatchResult run_batch(ByteSource& input, ByteSink& script, ByteSink& messages, const HashStep& hash,
                      const BatchOptions& options)
{
    CredentialReader reader(input);
    CredentialLine line;
    Batch batch(script, messages, hash, options.line_ending);
    BatchProgress progress;

    while (reader.next(line)) {
        ++progress.lines;
        if (!line.blank()) {
            if (const auto error = batch.convert(line, progress.lines)) {
                return {BatchEnd::write_failed, error, batch.lines_failed};
            }
        }
        if (options.on_progress) {
            progress.statements = batch.statements;
            progress.bytes = reader.bytes_consumed();
            options.on_progress(progress);
        }
    }
    if (reader.error()) {
        return {BatchEnd::read_failed, reader.error(), batch.lines_failed};
    }
    return {BatchEnd::input_done, {}, batch.lines_failed};
}

} // namespace credbatch
