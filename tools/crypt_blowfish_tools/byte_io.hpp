#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <system_error>

namespace credbatch {

// What one read or write call did: how many bytes it moved, or the error that stopped it.
struct IoResult {
    std::size_t bytes = 0;
    std::error_code error;
};

// Where the credential lines come from: a file, a pipe, or a test's memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Up to into.size() bytes, whatever is ready; no bytes and no error is the end of input.
    virtual IoResult read(std::span<char> into) = 0;

    // The size of a regular file as it is now; 0 for a pipe, FIFO or device, whose size is not known.
    virtual std::uint64_t size() const noexcept { return 0; }
};

// Where statements and messages go. A call takes one whole statement or message, so that the
// sink can make sure it never shows half of one.
class ByteSink {
public:
    virtual ~ByteSink() = default;

    // All of `bytes`, or an error.
    virtual std::error_code write(std::string_view bytes) = 0;
};

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

} // namespace credbatch
