#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string_view>

namespace credbatch {

// Turns a password into the text that goes between the first pair of quotes: a hash string,
// or a failure token beginning with '*'. The result need only last until the next call.
using HashStep = std::function<std::string_view(std::string_view password)>;

enum class BatchEnd {
    input_done,    // every line was read
    read_failed,   // the input failed; statements written so far stand, the rest is missing
    write_failed,  // the output failed; the script is incomplete
};

struct BatchResult {
    BatchEnd end = BatchEnd::input_done;
    bool lines_failed = false;  // some line was rejected or could not be hashed
};

// How far a run has come, for a progress display.
struct BatchProgress {
    std::uint64_t lines = 0;       // physical lines read
    std::uint64_t statements = 0;  // statements written, one hash each
    std::uint64_t bytes = 0;       // input bytes consumed
};
using ProgressStep = std::function<void(const BatchProgress&)>;

// The whole batch: one statement per credential line of `input`, each flushed to `output`
// as soon as it is hashed, and one message per faulty line on `errors`. Never shows a password.
// `on_progress`, when given, is called after every line.
BatchResult run_batch(std::istream& input, std::ostream& output, std::ostream& errors, const HashStep& hash,
                      const ProgressStep& on_progress = {});

} // namespace credbatch
