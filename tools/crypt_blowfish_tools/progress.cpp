#include "progress.hpp"

#include <array>
#include <cmath>
#include <cstdio>

#include "message.hpp"

namespace credbatch {

namespace {

std::string clock_time(double seconds)
{
    const auto total = static_cast<long long>(std::llround(seconds));
    std::array<char, 32> text{};
    if (total >= 3600) {
        std::snprintf(text.data(), text.size(), "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text.data(), text.size(), "%lld:%02lld", total / 60, total % 60);
    }
    return text.data();
}

std::string rate_of(const BatchProgress& progress, double seconds)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f hashes/s", seconds > 0 ? static_cast<double>(progress.statements) / seconds : 0.0);
    return text.data();
}

std::string joined(std::initializer_list<const std::string*> parts)
{
    std::string text;
    for (const std::string* part : parts) {
        if (!part->empty()) {
            text += text.empty() ? *part : ", " + *part;
        }
    }
    return text;
}

} // namespace

std::string describe_progress(const BatchProgress& progress, std::uint64_t input_bytes, std::chrono::duration<double> elapsed,
                              unsigned columns)
{
    const double seconds = elapsed.count();
    const std::string lines = std::to_string(progress.lines) + " lines";
    const std::string share = input_bytes > 0 ? std::to_string(progress.bytes * 100 / input_bytes) + "% of input" : "";
    const std::string rate = rate_of(progress, seconds);
    std::string left;
    if (input_bytes > 0 && progress.bytes > 0 && progress.bytes <= input_bytes) {
        left = clock_time(seconds * static_cast<double>(input_bytes - progress.bytes) / static_cast<double>(progress.bytes)) + " left";
    }
    const std::string name(message_prefix);
    const std::string candidates[] = {
        name + joined({&lines, &share, &rate, &left}),
        name + joined({&lines, &share, &left}),
        name + joined({&lines, &left}),
        joined({&lines, &left}),
    };
    if (columns == 0) {
        return candidates[0];
    }
    for (const std::string& candidate : candidates) {
        if (candidate.size() < columns) {
            return candidate;
        }
    }
    return candidates[std::size(candidates) - 1].substr(0, columns - 1);
}

ProgressLine::ProgressLine(ByteSink& terminal, std::uint64_t input_bytes) : terminal_(terminal), input_bytes_(input_bytes)
{
    line_.erase = platform::erase_line_text(platform::terminal_columns());
    platform::erase_on_termination(&line_);
}

ProgressLine::~ProgressLine()
{
    erase();
    platform::erase_on_termination(nullptr);
}

void ProgressLine::update(const BatchProgress& progress)
{
    const auto now = Clock::now();
    if (now - drawn_ < refresh_interval) {
        return;
    }
    drawn_ = now;
    const std::string text = line_.erase + describe_progress(progress, input_bytes_, now - started_, platform::terminal_columns());
    // Marked shown before it is drawn: a signal in between erases an empty line, which is harmless.
    line_.shown = true;
    terminal_.write(text);
}

void ProgressLine::erase()
{
    if (line_.shown) {
        terminal_.write(line_.erase);
        line_.shown = false;
    }
}

std::error_code ProgressLine::write(std::string_view message)
{
    erase();
    return terminal_.write(message);
}

} // namespace credbatch
