#pragma once

#include <cstddef>
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
};

// Where statements and messages go. A call takes one whole statement or message, so that the
// sink can make sure it never shows half of one.
class ByteSink {
public:
    virtual ~ByteSink() = default;

    // All of `bytes`, or an error.
    virtual std::error_code write(std::string_view bytes) = 0;
};

} // namespace credbatch
