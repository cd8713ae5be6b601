#pragma once

// Byte sources and sinks in memory, for driving the batch without files.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

#include "byte_io.hpp"

// Hands out `text` at most `chunk` bytes a read, then the end of input, or `error` if one is given.
class MemorySource : public credbatch::ByteSource {
public:
    explicit MemorySource(std::string text, std::size_t chunk = 64 * 1024, std::error_code error = {})
        : text_(std::move(text)), chunk_(chunk), error_(error)
    {
    }

    credbatch::IoResult read(std::span<char> into) override
    {
        const std::size_t count = std::min({into.size(), chunk_, text_.size() - at_});
        if (count == 0) {
            return {0, error_};
        }
        std::copy_n(text_.data() + at_, count, into.data());
        at_ += count;
        return {count, {}};
    }

private:
    std::string text_;
    std::size_t chunk_;
    std::error_code error_;
    std::size_t at_ = 0;
};

// Keeps everything written, one call at a time.
class MemorySink : public credbatch::ByteSink {
public:
    std::error_code write(std::string_view bytes) override
    {
        text.append(bytes);
        ++writes;
        return {};
    }

    std::string text;
    std::size_t writes = 0;
};
