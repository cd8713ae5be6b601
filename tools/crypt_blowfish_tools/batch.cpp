#include "batch.hpp"

#include <optional>
#include <string>

#include "credential_line.hpp"
#include "seen_names.hpp"
#include "statement.hpp"
#include "utf8.hpp"

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
    Batch(ByteSink& script, ByteSink& messages, const HashStep& hash, const BatchOptions& options)
        : script_(script), messages_(messages), hash_(hash), line_ending_(options.line_ending), seen_(options.name_key)
    {
    }

    // Writes the line's messages and statement; the error when the script could not take it.
    // Only a line that gets a statement counts as having seen its user name.
    std::error_code convert(CredentialLine& line, std::uint64_t line_number)
    {
        if (const auto reason = rejection(line)) {
            report(line_number, *reason);
            lines_failed = true;
            return {};
        }
        const std::string_view user = line.user.kept();
        if (!is_valid_utf8(user)) {
            report(line_number, "user name is not valid UTF-8; a UTF-8 database refuses it or matches no row");
        }
        if (has_invisible_character(user)) {
            report(line_number, "user name contains an invisible character, such as a non-breaking or zero-width space");
        }
        if (user.find('\\') != std::string_view::npos) {
            report(line_number, "user name contains a backslash, which some databases read as an escape");
        }
        if (const std::uint64_t earlier = seen_.earlier_line(user, line_number)) {
            report(line_number, "user name already on line " + std::to_string(earlier) + "; the later statement wins");
        }
        if (line.password.length() > bcrypt_key_bytes) {
            report(line_number, "only the first 72 bytes of the password are used");
        }
        if (!is_valid_utf8(line.password.kept())) {
            report(line_number, "password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it");
        }
        const Hashed hashed = hash_(line.password.kept());
        line.password.clear();
        if (hashed.differs_from_2b) {
            report(line_number, "this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it");
        }
        if (line.text_after_password) {
            report(line_number, "text after the password is ignored");
        }
        if (hashed.text.starts_with('*')) {
            // The token still goes out, so the script keeps one statement per line and the
            // account is locked rather than left on its old password; the run fails.
            report(line_number, "the password could not be hashed; its statement carries the failure token");
            lines_failed = true;
        }
        format_statement(statement_, hashed.text, user, line_ending_);
        if (auto error = script_.write(statement_)) {
            return error;
        }
        ++statements;
        return {};
    }

    bool lines_failed = false;
    std::uint64_t statements = 0;

private:
    // A message is written whole, in one call; if standard error cannot take it, the run
    // still goes on and its status still tells.
    void report(std::uint64_t line_number, std::string_view message)
    {
        message_.assign("credbatch: line ");
        message_.append(std::to_string(line_number));
        message_.append(": ");
        message_.append(message);
        message_.append(line_ending_);
        messages_.write(message_);
    }

    ByteSink& script_;
    ByteSink& messages_;
    const HashStep& hash_;
    std::string_view line_ending_;
    SeenNames seen_;
    std::string statement_;
    std::string message_;
};

} // namespace

BatchResult run_batch(ByteSource& input, ByteSink& script, ByteSink& messages, const HashStep& hash,
                      const BatchOptions& options)
{
    CredentialReader reader(input);
    CredentialLine line;
    Batch batch(script, messages, hash, options);
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
    if (!reader.utf16_encoding().empty()) {
        return {BatchEnd::utf16_input, {}, false, reader.utf16_encoding()};
    }
    return {BatchEnd::input_done, {}, batch.lines_failed};
}

} // namespace credbatch
