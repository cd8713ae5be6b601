#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <system_error>

#include "byte_io.hpp"
#include "seen_names.hpp"

namespace credbatch {

// What the hash step made of a password: the text that goes between the first pair of quotes,
// a hash string or a failure token beginning with '*', which need only last until the next
// call; and whether that hash string differs from the standard ($2b$) bcrypt of the password.
struct Hashed {
    Hashed(std::string_view text, bool differs_from_2b = false) : text(text), differs_from_2b(differs_from_2b) {}

    std::string_view text;
    bool differs_from_2b;
};
using HashStep = std::function<Hashed(std::string_view password)>;

enum class BatchEnd {
    input_done,    // every line was read
    read_failed,   // the input failed; statements written so far stand, the rest is missing
    write_failed,  // the script failed; it ends at its last whole statement, the rest is missing
    wide_text,     // the input is UTF-16 or UTF-32 text, so nothing was written
    input_changed, // the input is a regular file that was not the same size at its end as it was
                   // read: lines may be missing, and the last one may have been hashed cut short
};

struct BatchResult {
    BatchEnd end = BatchEnd::input_done;
    std::error_code error;           // why the input or the script failed
    bool lines_failed = false;       // some line was rejected or could not be hashed
    std::string_view encoding = {};  // for wide_text: "UTF-16LE", "UTF-16BE", "UTF-32LE" or "UTF-32BE"
    std::uint64_t size_at_start = 0; // for input_changed: the file's size before the first read
    std::uint64_t bytes_read = 0;    // for input_changed: how much of it was read
};

// How far a run has come, for a progress display.
struct BatchProgress {
    std::uint64_t lines = 0;       // physical lines read
    std::uint64_t statements = 0;  // statements written, one hash each
    std::uint64_t bytes = 0;       // input bytes consumed
};
using ProgressStep = std::function<void(const BatchProgress&)>;

struct BatchOptions {
    std::string_view line_ending = "\n";  // ends every statement and message
    ProgressStep on_progress;             // when given, called after every line
    NameKey name_key{};                   // keys the hash that tells a repeated user name
};

// The whole batch: one statement per credential line of `input`, each written to `script` as
// soon as it is hashed, and one message per faulty line to `messages`. Never shows a password.
BatchResult run_batch(ByteSource& input, ByteSink& script, ByteSink& messages, const HashStep& hash,
                      const BatchOptions& options = {});

} // namespace credbatch
