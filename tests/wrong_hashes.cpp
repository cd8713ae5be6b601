// Preloaded into credbatch to stand for a hashing library that computes wrong hashes (a
// miscompiled build, a broken update): every hash crypt_rn gives has its last character changed,
// so each is still a well-formed string of the right scheme and length. With
// CREDBATCH_CRYPT_FAILS_FOR=PREFIX it stands for one that fails instead, for settings that begin
// with PREFIX only, and computes the others right. With CREDBATCH_CRYPT_QUOTES_FOR=PREFIX it
// stands for a hostile one: for such settings its result keeps the scheme and the length but
// carries a quote and SQL after it; the others it computes right.
#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

extern "C" char* crypt_rn(const char* phrase, const char* setting, void* data, int size)
{
    using CryptRn = char* (*)(const char*, const char*, void*, int);
    static const auto real_crypt_rn = reinterpret_cast<CryptRn>(dlsym(RTLD_NEXT, "crypt_rn"));
    static const char* fails_for = std::getenv("CREDBATCH_CRYPT_FAILS_FOR");
    static const char* quotes_for = std::getenv("CREDBATCH_CRYPT_QUOTES_FOR");
    if (quotes_for != nullptr) {
        char* hashed = real_crypt_rn(phrase, setting, data, size);
        if (hashed != nullptr && std::strncmp(setting, quotes_for, std::strlen(quotes_for)) == 0 && std::strlen(hashed) == 60) {
            constexpr char injected[] = "';DROP/**/TABLE/**/DT511;--";
            std::memcpy(hashed + 60 - (sizeof injected - 1), injected, sizeof injected - 1);
        }
        return hashed;
    }
    if (fails_for != nullptr) {
        if (std::strncmp(setting, fails_for, std::strlen(fails_for)) == 0) {
            errno = EINVAL;
            return nullptr;
        }
        return real_crypt_rn(phrase, setting, data, size);
    }
    char* hashed = real_crypt_rn(phrase, setting, data, size);
    if (hashed != nullptr && hashed[0] == '$' && std::strlen(hashed) > 1) {
        char& last = hashed[std::strlen(hashed) - 1];
        last = last == 'a' ? 'b' : 'a';
    }
    return hashed;
}
