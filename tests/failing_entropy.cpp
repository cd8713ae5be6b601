// Preloaded into credbatch to stand for a system whose secure random source is missing.
#include <cerrno>
#include <cstddef>

extern "C" int getentropy(void*, std::size_t)
{
    errno = ENOSYS;
    return -1;
}
