// Preloaded into credbatch to stand for a system whose secure random source is missing, or, with
// CREDBATCH_ENTROPY_ANSWERS=N, one that answers N calls and then stops answering.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <dlfcn.h>

extern "C" int getentropy(void* buffer, std::size_t length)
{
    using GetEntropy = int (*)(void*, std::size_t);
    static const char* answers = std::getenv("CREDBATCH_ENTROPY_ANSWERS");
    static long left = answers != nullptr ? std::atol(answers) : 0;
    if (left > 0) {
        --left;
        return reinterpret_cast<GetEntropy>(dlsym(RTLD_NEXT, "getentropy"))(buffer, length);
    }
    errno = ENOSYS;
    return -1;
}
