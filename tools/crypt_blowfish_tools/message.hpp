#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "byte_io.hpp"

namespace credbatch {

// What every message and the progress line begin with.
inline constexpr std::string_view message_prefix = "credbatch: ";

// The one way a message reaches standard error: a whole line, prefix and line ending included,
// in a single write, so that no message is ever interleaved with another or shown in part. If
// the sink cannot take it, the run goes on and its exit status still tells.
class Messages {
public:
    Messages(ByteSink& sink, std::string_view line_ending) : sink_(sink), line_ending_(line_ending) {}

    // "credbatch: TEXT"
    void say(std::string_view text);

    // "credbatch: line N: TEXT", for a fault of input line N.
    void say_about_line(std::uint64_t line, std::string_view text);

    // TEXT's lines as they are, each with the line ending: the usage message, which has no prefix.
    void say_verbatim(std::span<const std::string_view> lines);

    // "credbatch: TEXT" without taking memory, for when there is none left; a TEXT too long for
    // the small buffer this uses is cut.
    void say_without_allocating(std::string_view text) noexcept;

private:
    void send();

    ByteSink& sink_;
    std::string_view line_ending_;
    std::string line_;  // kept, so that a run of messages reuses one allocation
};

} // namespace credbatch
