#include "fd_stream.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace credbatch {

namespace {

constexpr std::size_t buffer_bytes = 64 * 1024;

std::error_code last_error()
{
    return {errno, std::generic_category()};
}

} // namespace

InputFile::InputFile() : buffer_(buffer_bytes) {}

InputFile::~InputFile()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::error_code InputFile::open(const char* path)
{
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    return fd_ < 0 ? last_error() : std::error_code{};
}

std::uint64_t InputFile::size() const noexcept
{
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

InputFile::int_type InputFile::underflow()
{
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    ssize_t got = 0;
    do {
        got = ::read(fd_, buffer_.data(), buffer_.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        error_ = last_error();
        throw std::system_error(error_);
    }
    if (got == 0) {
        return traits_type::eof();
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return traits_type::to_int_type(*gptr());
}

OutputDescriptor::OutputDescriptor(int fd) : fd_(fd), buffer_(buffer_bytes)
{
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

OutputDescriptor::int_type OutputDescriptor::overflow(int_type ch)
{
    if (!write_pending()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
    }
    return traits_type::not_eof(ch);
}

int OutputDescriptor::sync()
{
    return write_pending() ? 0 : -1;
}

bool OutputDescriptor::write_pending()
{
    const char* next = pbase();
    while (next < pptr()) {
        const ssize_t written = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error_ = written < 0 ? last_error() : std::make_error_code(std::errc::io_error);
            return false;
        }
        next += written;
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return true;
}

bool descriptor_is_open(int fd) noexcept
{
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

} // namespace credbatch
