#pragma once

#include <chrono>
#include <cstdint>
#include <streambuf>
#include <string>

#include "batch.hpp"

namespace credbatch {

// "credbatch: 120 lines, 45% of input, 19.8 hashes/s, 4:36 left"; without the share of the
// input and the time left when the input's size is unknown (0), as for a pipe.
std::string describe_progress(const BatchProgress& progress, std::uint64_t input_bytes, std::chrono::duration<double> elapsed);

// One progress line on a terminal, redrawn in place at most five times a second and erased
// before any message and at the end, so that the terminal is left as it would be without it.
class ProgressLine {
public:
    ProgressLine(std::streambuf& terminal, std::uint64_t input_bytes);
    ~ProgressLine() { erase(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(const BatchProgress& progress);
    void erase();

    // Where messages go while the line is shown: it gets out of their way first.
    std::streambuf& messages() noexcept { return messages_; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds refresh_interval{200};

    class MessageBuffer : public std::streambuf {
    public:
        explicit MessageBuffer(ProgressLine& line) : line_(line) {}

    protected:
        int_type overflow(int_type ch) override;
        std::streamsize xsputn(const char* text, std::streamsize size) override;

    private:
        ProgressLine& line_;
    };

    std::streambuf& terminal_;
    std::uint64_t input_bytes_;
    Clock::time_point started_ = Clock::now();
    Clock::time_point drawn_ = started_;
    bool shown_ = false;
    MessageBuffer messages_{*this};
};

} // namespace credbatch
