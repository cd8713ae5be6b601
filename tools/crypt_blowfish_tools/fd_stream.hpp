#pragma once

#include <cstdint>
#include <streambuf>
#include <string_view>
#include <system_error>
#include <vector>

#include "secret_buffer.hpp"

namespace credbatch {

// Stream buffers straight on file descriptors, so that a failed read or write is told apart
// from end of input and its errno is kept for the message.

class InputFile : public std::streambuf {
public:
    InputFile();
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::error_code open(const char* path);
    std::error_code error() const noexcept { return error_; }

    // The size of a regular file; 0 for a pipe, FIFO or device, whose size is not known.
    std::uint64_t size() const noexcept;

protected:
    // Throws on a read error, which std::istream turns into badbit.
    int_type underflow() override;

private:
    int fd_ = -1;
    SecretBuffer buffer_;  // holds passwords in transit
    std::error_code error_;
};

class OutputDescriptor : public std::streambuf {
public:
    explicit OutputDescriptor(int fd);
    OutputDescriptor(const OutputDescriptor&) = delete;
    OutputDescriptor& operator=(const OutputDescriptor&) = delete;

    std::error_code error() const noexcept { return error_; }

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    bool write_pending();

    int fd_;
    std::vector<char> buffer_;
    std::error_code error_;
};

// Whether fd is an open descriptor; a closed standard output must fail the run, not swallow it.
bool descriptor_is_open(int fd) noexcept;

} // namespace credbatch
