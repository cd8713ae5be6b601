#pragma once

#include <cstdint>
#include <string_view>
#include <system_error>

#include "byte_io.hpp"

namespace credbatch {

// What the script is written through: a file, pipe or terminal that takes bytes, and that, when
// it is a file, can be cut back.
class OutputChannel {
public:
    virtual ~OutputChannel() = default;

    // Some of `bytes`, at least one, or an error. An error may come with the bytes that went out
    // before it, as on Windows, where a full disk takes part of a write and then fails it.
    virtual IoResult write_some(std::string_view bytes) = 0;

    // Removes the last `bytes` bytes written. False where that cannot be done (a pipe, a terminal).
    virtual bool cut_back(std::uint64_t bytes) noexcept = 0;
};

// The script, one whole statement per write. A statement cut short by a full disk or a file-size
// limit may still be valid SQL (one without its WHERE clause updates every row), so when a write
// fails part-way, what went out of that statement is cut back off a file, and the script ends
// at the last whole statement. A pipe takes each statement in one system call, whole or not at
// all, since a statement is far below the size a pipe writes atomically.
class ScriptOutput final : public ByteSink {
public:
    explicit ScriptOutput(OutputChannel& channel) : channel_(channel) {}

    std::error_code write(std::string_view statement) override;

private:
    OutputChannel& channel_;
};

} // namespace credbatch
