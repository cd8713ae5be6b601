#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "platform.hpp"

namespace credbatch {

// A zero-filled heap buffer for bytes that may hold passwords. It has whole pages of its own,
// so that locking them out of swap, and unlocking them when it goes, touches nothing else; and it
// is wiped when it goes.
class SecretBuffer {
public:
    explicit SecretBuffer(std::size_t size)
        : size_(size), capacity_((size + page_bytes - 1) / page_bytes * page_bytes), bytes_(allocate(capacity_))
    {
        platform::lock_in_memory(bytes_.get(), capacity_);
    }
    ~SecretBuffer()
    {
        platform::wipe(bytes_.get(), capacity_);
        platform::unlock_in_memory(bytes_.get(), capacity_);
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    char* data() noexcept { return bytes_.get(); }
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t page_bytes = 4096;

    struct Release {
        void operator()(char* bytes) const noexcept { ::operator delete[](bytes, std::align_val_t{page_bytes}); }
    };
    using Pages = std::unique_ptr<char[], Release>;

    static Pages allocate(std::size_t capacity)
    {
        Pages pages(static_cast<char*>(::operator new[](capacity, std::align_val_t{page_bytes})));
        platform::wipe(pages.get(), capacity);
        return pages;
    }

    std::size_t size_;
    std::size_t capacity_;
    Pages bytes_;
};

} // namespace credbatch
