#include "batch.hpp"

#include <optional>
#include <string>

#include "credential_line.hpp"
#include "message.hpp"
#include "password_hash.hpp"
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
    if (line.inner_carriage_return) {
        return "carriage return inside the line, as in a file whose lines end in CR alone; convert such a file with tr '\\r' '\\n'";
    }
    if (line.user.has_nul() || line.password.has_nul()) {
        // A C string would end at the NUL and the wrong secret would be hashed.
        return "NUL byte in user name or password";
    }
    if (line.user.too_long()) {
        return "user name longer than 100 bytes";
    }
    if (line.user.has_control()) {
        return "user name contains a control character";
    }
    if (line.password.too_long()) {
        return "password longer than 100 bytes";
    }
    return std::nullopt;
}

// What may make an accepted line's statement match no one, or not do what its user expects,
// as far as the line itself tells before its password is hashed; in the order they are said.
// A name said here is remembered, so that a later line with the same name is told of this one.
void warn_about(const CredentialLine& line, std::uint64_t number, SeenNames& seen, Messages& messages)
{
    const std::string_view user = line.user.kept();
    if (!is_valid_utf8(user)) {
        messages.say_about_line(number, "user name is not valid UTF-8; a UTF-8 database refuses it or matches no row");
    }
    if (has_invisible_character(user)) {
        messages.say_about_line(number, "user name contains an invisible character, such as a non-breaking or zero-width space");
    }
    if (user.find('\\') != std::string_view::npos) {
        messages.say_about_line(number, "user name contains a backslash, which some databases read as an escape");
    }
    if (const std::uint64_t earlier = seen.earlier_line(user, number)) {
        messages.say_about_line(number, "user name already on line " + std::to_string(earlier) + "; the later statement wins");
    }
    if (line.password.empty()) {
        // Allowed, but an empty password opens the account to anyone, and a line whose name
        // was left out has its password here in place of the name.
        messages.say_about_line(number, "no password; its statement sets an empty password, with which anyone can log in (if the user name was left out, the password became the name)");
    }
    if (line.password.length() > bcrypt_key_bytes) {
        messages.say_about_line(number, "only the first 72 bytes of the password are used");
    }
    if (!is_valid_utf8(line.password.kept())) {
        messages.say_about_line(number, "password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it");
    }
}

} // namespace

BatchResult run_batch(ByteSource& input, ByteSink& script, ByteSink& message_sink, const HashStep& hash,
                      const BatchOptions& options)
{
    const std::uint64_t size_at_start = input.size();
    CredentialReader reader(input);
    CredentialLine line;
    Messages messages(message_sink, options.line_ending);
    SeenNames seen(options.name_key);
    std::string statement;
    BatchProgress progress;
    bool lines_failed = false;

    while (reader.next(line)) {
        const std::uint64_t number = ++progress.lines;
        if (line.blank()) {
            // Skipped without a word: nothing in it could be meant as a credential.
        } else if (const auto reason = rejection(line)) {
            messages.say_about_line(number, *reason);
            lines_failed = true;
        } else {
            warn_about(line, number, seen, messages);
            const Hashed hashed = hash(line.password.kept());
            line.password.clear();
            if (hashed.differs_from_2b) {
                messages.say_about_line(number, "this password's $2a$ hash differs from its $2b$ hash; many bcrypt verifiers reject it");
            }
            if (line.text_after_password) {
                messages.say_about_line(number, "text after the password is ignored");
            }
            if (hashed.text == failure_token) {
                // The token still goes out, so the script keeps one statement per line and the
                // account is locked rather than left on its old password; the run fails.
                messages.say_about_line(number, "the password could not be hashed; its statement carries the failure token");
                lines_failed = true;
            }
            format_statement(statement, hashed.text, line.user.kept(), options.line_ending);
            if (const auto error = script.write(statement)) {
                return {BatchEnd::write_failed, error, lines_failed};
            }
            ++progress.statements;
        }
        if (options.on_progress) {
            progress.bytes = reader.bytes_consumed();
            options.on_progress(progress);
        }
    }
    if (reader.error()) {
        return {BatchEnd::read_failed, reader.error(), lines_failed};
    }
    if (!reader.wide_encoding().empty()) {
        return {BatchEnd::wide_text, {}, false, reader.wide_encoding()};
    }
    // Fewer bytes than the file held, at the start or now, means it was cut or rewritten while
    // it was read, and its end cannot be told from the end of the input.
    const std::uint64_t bytes_read = reader.bytes_read();
    if (bytes_read < size_at_start || bytes_read < input.size()) {
        return {BatchEnd::input_changed, {}, lines_failed, {}, size_at_start, bytes_read};
    }
    return {BatchEnd::input_done, {}, lines_failed};
}

} // namespace credbatch
