#include "script.hpp"

#include <array>
#include <optional>

#include "platform.hpp"
#include "statement.hpp"

namespace credbatch::apply {

namespace {

// Longer than any statement credbatch writes (a 100-byte name of quotes doubles to 200).
constexpr std::size_t longest_line = 1024;

// FNV-1a over the statements' bytes: enough to tell that the file changed between passes,
// which nobody does on purpose.
void fold(std::uint64_t& fingerprint, const std::string& line)
{
    for (const char c : line) {
        fingerprint = (fingerprint ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    fingerprint = (fingerprint ^ 0x0a) * 0x100000001b3ULL;
}

std::optional<Statement> statement_of(std::uint64_t number, const std::string& line)
{
    auto parsed = parse_statement(line);
    if (!parsed) {
        return std::nullopt;
    }
    return Statement{number, std::move(parsed->hash), std::move(parsed->user), line};
}

} // namespace

bool Script::for_each_line(const std::function<bool(std::uint64_t, const std::string&)>& each, std::error_code& error) const
{
    platform::InputFile file;
    if ((error = file.open(path_))) {
        return false;
    }
    std::array<char, 65536> buffer{};
    std::string line;
    std::uint64_t number = 0;
    bool too_long = false;
    const auto finish_line = [&]() {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const bool go_on = !too_long && each(number, line);
        line.clear();
        too_long = false;
        return go_on;
    };
    for (;;) {
        const IoResult got = file.read(buffer);
        if (got.error) {
            error = got.error;
            return false;
        }
        if (got.bytes == 0) {
            break;
        }
        for (std::size_t i = 0; i < got.bytes; ++i) {
            if (buffer[i] == '\n') {
                if (!finish_line()) {
                    return false;
                }
            } else if (line.size() < longest_line) {
                line.push_back(buffer[i]);
            } else {
                too_long = true;
            }
        }
    }
    return line.empty() && !too_long ? true : finish_line();
}

Script::Check Script::check()
{
    Check result;
    std::uint64_t fingerprint = 0xcbf29ce484222325ULL;
    const bool whole = for_each_line(
        [&](std::uint64_t number, const std::string& line) {
            if (!parse_statement(line)) {
                result.bad_line = number;
                return false;
            }
            fold(fingerprint, line);
            result.statements = number;
            return true;
        },
        result.error);
    if (result.error) {
        result.verdict = Verdict::unreadable;
    } else if (!whole) {
        // A line too long to hold has no number yet when the pass stops: it is the next one.
        result.verdict = Verdict::not_a_statement;
        if (result.bad_line == 0) {
            result.bad_line = result.statements + 1;
        }
    } else if (result.statements == 0) {
        result.verdict = Verdict::empty;
    }
    statements_ = result.statements;
    fingerprint_ = fingerprint;
    return result;
}

bool Script::for_each_batch(std::size_t batch_size, const std::function<void(std::span<const Statement>)>& each) const
{
    std::vector<Statement> batch;
    batch.reserve(batch_size);
    std::uint64_t fingerprint = 0xcbf29ce484222325ULL;
    std::uint64_t count = 0;
    std::error_code error;
    const bool whole = for_each_line(
        [&](std::uint64_t number, const std::string& line) {
            auto statement = statement_of(number, line);
            if (!statement) {
                return false;
            }
            fold(fingerprint, line);
            count = number;
            batch.push_back(std::move(*statement));
            if (batch.size() == batch_size) {
                each(batch);
                batch.clear();
            }
            return true;
        },
        error);
    if (!whole || count != statements_) {
        return false;
    }
    if (!batch.empty()) {
        each(batch);
    }
    return fingerprint == fingerprint_;
}

} // namespace credbatch::apply
