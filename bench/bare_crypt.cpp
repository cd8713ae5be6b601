// bare_crypt N: N bcrypt hashes at cost 10 straight from libxcrypt, each under fresh random
// salt bytes, printed one a line: what the tool does with none of the tool around it.
#include <crypt.h>
#include <sys/random.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char* argv[])
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 40;
    auto work = std::make_unique<crypt_data>();
    for (int i = 0; i < count; ++i) {
        char salt[16];
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (getentropy(salt, sizeof salt) != 0 ||
            crypt_gensalt_rn("$2a$", 10, salt, sizeof salt, setting, sizeof setting) == nullptr) {
            return 1;
        }
        const char* hash = crypt_rn("correct-horse-battery-staple", setting, work.get(), sizeof *work);
        if (hash == nullptr || std::puts(hash) == EOF) {
            return 1;
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
