#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "engine.hpp"
#include "script.hpp"

namespace credbatch::apply {

// Where the lines go: the success line to standard output, every other line to standard error.
struct Lines {
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

// Where a stop request meets the apply: before the COMMIT is sent it cancels what runs, and the
// apply rolls back; once the COMMIT is sent it is only noted, since its outcome must be waited
// for and told.
class StopState {
public:
    // From the watcher thread. True when the request stops the apply.
    bool request(std::string_view name, Engine* engine) noexcept;

    // From the main thread, just before the COMMIT is sent: false when a stop came first.
    bool enter_commit() noexcept;

    bool stopped() const noexcept { return phase_.load() == Phase::stopping; }
    std::string_view request_name() const noexcept { return name_.load(); }

private:
    enum class Phase { running, stopping, committing };
    std::atomic<Phase> phase_{Phase::running};
    std::atomic<const char*> name_{""};
};

// Batches of this many statements go to the engine at once: large enough that a round trip or
// a server-side parse a batch costs nothing per statement, small enough that memory stays flat.
inline constexpr std::size_t batch_size = 1000;

// The checked apply over an open connection; returns the exit status (0, 1 or 3) once its
// last line is said.
int run_checked_apply(Engine& engine, const Script& script, std::uint64_t statements, bool check_only, StopState& stop,
                      const Lines& lines);

} // namespace credbatch::apply
