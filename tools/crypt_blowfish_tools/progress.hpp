#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "batch.hpp"
#include "byte_io.hpp"
#include "platform.hpp"

namespace credbatch {

// "credbatch: 120 lines, 45% of input, 19.8 hashes/s, 4:36 left"; without the share of the
// input and the time left when the input's size is unknown (0), as for a pipe. Given the
// terminal's width (0: unknown), it leaves out the least useful parts until it fits in one
// column less, so that the terminal never wraps it: the rate first, then the share, then its
// name, and at last it is cut.
std::string describe_progress(const BatchProgress& progress, std::uint64_t input_bytes, std::chrono::duration<double> elapsed,
                              unsigned columns = 0);

// One progress line on a terminal, redrawn in place at most five times a second and erased
// before any message, at the end, and when a signal ends the run, so that the terminal is left
// as it would be without it. Messages are written through it, so that it gets out of their way.
class ProgressLine final : public ByteSink {
public:
    ProgressLine(ByteSink& terminal, std::uint64_t input_bytes);
    ~ProgressLine() override;
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(const BatchProgress& progress);
    void erase();

    // A message: the line is erased first, and drawn again at the next update.
    std::error_code write(std::string_view message) override;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds refresh_interval{200};

    ByteSink& terminal_;
    std::uint64_t input_bytes_;
    platform::TerminalLine line_;
    Clock::time_point started_ = Clock::now();
    Clock::time_point drawn_ = started_;
};

} // namespace credbatch
