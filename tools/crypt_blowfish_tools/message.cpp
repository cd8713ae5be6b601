#include "message.hpp"

#include <array>

namespace credbatch {

void Messages::say(std::string_view text)
{
    line_.assign(message_prefix);
    line_.append(text);
    send();
}

void Messages::say_about_line(std::uint64_t line, std::string_view text)
{
    line_.assign(message_prefix);
    line_.append("line ");
    line_.append(std::to_string(line));
    line_.append(": ");
    line_.append(text);
    send();
}

void Messages::say_verbatim(std::span<const std::string_view> lines)
{
    line_.clear();
    for (const std::string_view text : lines) {
        line_.append(text);
        line_.append(line_ending_);
    }
    sink_.write(line_);
}

void Messages::say_without_allocating(std::string_view text) noexcept
{
    std::array<char, 128> line{};
    std::size_t length = message_prefix.copy(line.data(), line.size());
    length += text.copy(line.data() + length, line.size() - line_ending_.size() - length);
    length += line_ending_.copy(line.data() + length, line.size() - length);
    sink_.write(std::string_view(line.data(), length));
}

void Messages::send()
{
    line_.append(line_ending_);
    sink_.write(line_);
}

} // namespace credbatch
