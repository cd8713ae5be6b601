// Preloaded into credbatch to stand for a hashing library that computes wrong hashes (a
// miscompiled build, a broken update): every hash crypt_rn gives has its last character changed,
// so each is still a well-formed string of the right scheme and length.
#include <crypt.h>
#include <cstring>
#include <dlfcn.h>

extern "C" char* crypt_rn(const char* phrase, const char* setting, void* data, int size)
{
    using CryptRn = char* (*)(const char*, const char*, void*, int);
    static const auto real_crypt_rn = reinterpret_cast<CryptRn>(dlsym(RTLD_NEXT, "crypt_rn"));
    char* hashed = real_crypt_rn(phrase, setting, data, size);
    if (hashed != nullptr && hashed[0] == '$' && std::strlen(hashed) > 1) {
        char& last = hashed[std::strlen(hashed) - 1];
        last = last == 'a' ? 'b' : 'a';
    }
    return hashed;
}
