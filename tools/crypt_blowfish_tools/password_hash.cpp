#include "password_hash.hpp"

#include <cerrno>
#include <cstring>
#include <crypt.h>
#include <unistd.h>

#include "secret_buffer.hpp"

namespace credbatch {

namespace {

constexpr const char* scheme_prefix = "$2a$";
constexpr unsigned long cost = 10;
constexpr std::string_view hash_prefix = "$2a$10$";
constexpr std::size_t hash_length = 60;

// crypt_rn's working area (32 KiB, too big for the stack) and the last result. They live as
// long as the run because a result, like crypt's, stays valid until the next call.
struct HashState {
    crypt_data work{};
    std::array<char, hash_length + 1> result{};

    ~HashState() { wipe(&work, sizeof work); }
};

HashState state;

bool draw_salt_bytes(SaltBytes& salt)
{
    std::array<unsigned char, 32> pool{};
    std::size_t drawn = 0;
    while (drawn < salt.size()) {
        if (getentropy(pool.data(), pool.size()) != 0) {
            wipe(pool.data(), pool.size());
            return false;
        }
        for (std::size_t i = 0; i < pool.size() && drawn < salt.size(); ++i) {
            if (const auto printable = printable_from_random_byte(pool[i])) {
                salt[drawn++] = *printable;
            }
        }
    }
    wipe(pool.data(), pool.size());
    return true;
}

// As mkpasswd does, trust only a result of the scheme and cost that were asked for.
bool is_expected_hash(const char* hashed)
{
    return hashed != nullptr && std::string_view(hashed).starts_with(hash_prefix) && std::strlen(hashed) == hash_length;
}

} // namespace

std::error_code seed_salt_source()
{
    // getentropy keeps no state of ours; what a run needs prepared is the assurance that
    // the kernel's source answers, so that no statement is written before a salt can be.
    std::array<unsigned char, salt_bytes> probe{};
    const int status = getentropy(probe.data(), probe.size());
    const int error = errno;
    wipe(probe.data(), probe.size());
    return status == 0 ? std::error_code{} : std::error_code(error, std::generic_category());
}

std::optional<char> printable_from_random_byte(unsigned char byte) noexcept
{
    constexpr unsigned printable_count = 126 - 32 + 1;
    constexpr unsigned accepted = 256 - 256 % printable_count;
    if (byte >= accepted) {
        return std::nullopt;
    }
    return static_cast<char>(32 + byte % printable_count);
}

std::span<const unsigned char> hash_work_area() noexcept
{
    return {reinterpret_cast<const unsigned char*>(&state.work), sizeof state.work};
}

std::string_view hash_password(std::string_view password)
{
    SaltBytes salt{};
    if (!draw_salt_bytes(salt)) {
        return failure_token;
    }
    return hash_password_with_salt(password, salt);
}

std::string_view hash_password_with_salt(std::string_view password, const SaltBytes& salt)
{
    crypt_data& work = state.work;
    if (password.size() >= sizeof work.input || password.find('\0') != std::string_view::npos) {
        return failure_token;
    }
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    if (crypt_gensalt_rn(scheme_prefix, cost, salt.data(), static_cast<int>(salt.size()), setting.data(),
                         static_cast<int>(setting.size())) == nullptr) {
        return failure_token;
    }
    // The password is copied into the work area so that one wipe clears every copy.
    std::memcpy(work.input, password.data(), password.size());
    work.input[password.size()] = '\0';
    const char* hashed = crypt_rn(work.input, setting.data(), &work, static_cast<int>(sizeof work));
    const bool usable = is_expected_hash(hashed);
    if (usable) {
        std::memcpy(state.result.data(), hashed, hash_length + 1);
    }
    // Zeroing the whole area also readies it for crypt_rn's next call, which requires that.
    wipe(&work, sizeof work);
    return usable ? std::string_view(state.result.data(), hash_length) : failure_token;
}

} // namespace credbatch
