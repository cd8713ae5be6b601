#include "progress.hpp"

#include <cmath>
#include <cstdio>

namespace credbatch {

namespace {

// Carriage return, then the terminal's "erase to end of line".
constexpr std::string_view erase_line = "\r\x1b[K";

std::string clock_time(double seconds)
{
    const auto total = static_cast<long long>(std::llround(seconds));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

} // namespace

std::string describe_progress(const BatchProgress& progress, std::uint64_t input_bytes, std::chrono::duration<double> elapsed)
{
    const double seconds = elapsed.count();
    std::string text = "credbatch: " + std::to_string(progress.lines) + " lines";
    if (input_bytes > 0) {
        text += ", " + std::to_string(progress.bytes * 100 / input_bytes) + "% of input";
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, ", %.1f hashes/s", seconds > 0 ? static_cast<double>(progress.statements) / seconds : 0.0);
    text += rate;
    if (input_bytes > 0 && progress.bytes > 0 && progress.bytes <= input_bytes) {
        const double left = seconds * static_cast<double>(input_bytes - progress.bytes) / static_cast<double>(progress.bytes);
        text += ", " + clock_time(left) + " left";
    }
    return text;
}

ProgressLine::ProgressLine(std::streambuf& terminal, std::uint64_t input_bytes)
    : terminal_(terminal), input_bytes_(input_bytes)
{
}

void ProgressLine::update(const BatchProgress& progress)
{
    const auto now = Clock::now();
    if (now - drawn_ < refresh_interval) {
        return;
    }
    drawn_ = now;
    const std::string text = std::string(erase_line) + describe_progress(progress, input_bytes_, now - started_);
    terminal_.sputn(text.data(), static_cast<std::streamsize>(text.size()));
    terminal_.pubsync();
    shown_ = true;
}

void ProgressLine::erase()
{
    if (shown_) {
        terminal_.sputn(erase_line.data(), static_cast<std::streamsize>(erase_line.size()));
        terminal_.pubsync();
        shown_ = false;
    }
}

ProgressLine::MessageBuffer::int_type ProgressLine::MessageBuffer::overflow(int_type ch)
{
    line_.erase();
    return traits_type::eq_int_type(ch, traits_type::eof()) ? traits_type::not_eof(ch) : line_.terminal_.sputc(traits_type::to_char_type(ch));
}

std::streamsize ProgressLine::MessageBuffer::xsputn(const char* text, std::streamsize size)
{
    line_.erase();
    return line_.terminal_.sputn(text, size);
}

} // namespace credbatch
