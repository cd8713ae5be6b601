#pragma once

#include <cstddef>
#include <memory>
#include <string.h>

namespace credbatch {

// explicit_bzero, unlike memset, is never removed as a store to memory that is about to die.
inline void wipe(void* bytes, std::size_t size) noexcept
{
    explicit_bzero(bytes, size);
}

// A zero-filled heap buffer for bytes that may hold passwords; wiped when it goes away.
class SecretBuffer {
public:
    explicit SecretBuffer(std::size_t size) : bytes_(std::make_unique<char[]>(size)), size_(size) {}
    ~SecretBuffer() { wipe(bytes_.get(), size_); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    char* data() noexcept { return bytes_.get(); }
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

} // namespace credbatch
