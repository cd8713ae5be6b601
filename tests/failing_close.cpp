// Preloaded into credbatch to stand for a file system that reports a write error only when the
// file is closed (NFS does so for data it had taken into its cache): standard output is closed,
// and the close says EIO.
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

extern "C" int close(int fd)
{
    using Close = int (*)(int);
    static const auto real_close = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "close"));
    const int result = real_close(fd);
    if (fd == STDOUT_FILENO && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}
