#include "password_hash.hpp"

#include <cstring>
#include <crypt.h>
#include <new>

#include "platform.hpp"
#include "secret_buffer.hpp"

namespace credbatch {

namespace {

constexpr const char* scheme_prefix = "$2a$";
constexpr unsigned long cost = 10;
constexpr std::string_view hash_prefix = "$2a$10$";
constexpr std::size_t hash_length = 60;
constexpr std::size_t setting_length = 29;  // "$2a$10$" (or another cost) and 22 salt characters
constexpr std::string_view bcrypt_alphabet = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// crypt_rn's working area (32 KiB, too big for the stack), which holds the password and its key
// schedule while it works, and the last result, which like crypt's stays valid until the next call.
struct HashState {
    crypt_data work;
    std::array<char, hash_length + 1> result;
};

// Made on first use rather than before main, so that running out of memory for it is reported;
// it lives in locked pages, wiped at exit with the buffer that holds them.
HashState& state()
{
    static SecretBuffer storage(sizeof(HashState));
    static HashState& made = *new (storage.data()) HashState{};
    return made;
}

bool draw_salt_bytes(SaltBytes& salt)
{
    std::array<unsigned char, 32> pool{};
    std::size_t drawn = 0;
    while (drawn < salt.size()) {
        if (platform::fill_random(pool)) {
            platform::wipe(pool.data(), pool.size());
            return false;
        }
        for (std::size_t i = 0; i < pool.size() && drawn < salt.size(); ++i) {
            if (const auto printable = printable_from_random_byte(pool[i])) {
                salt[drawn++] = *printable;
            }
        }
    }
    platform::wipe(pool.data(), pool.size());
    return true;
}

// Whether `hashed` has the form of a bcrypt hash under `setting`: the setting's scheme and cost,
// then salt and digest in bcrypt's alphabet. The result goes into SQL between quotes, so a
// broken or hostile library must not get anything else, a quote least of all, past this.
bool is_bcrypt_string(const char* hashed, const char* setting) noexcept
{
    const std::string_view hash(hashed);
    return hash.size() == hash_length && std::string_view(setting).substr(0, hash_prefix.size()) == hash.substr(0, hash_prefix.size()) &&
           hash.find_first_not_of(bcrypt_alphabet, hash_prefix.size()) == std::string_view::npos;
}

// Hashes `password` under `setting` into `result`; false when it cannot be done. As mkpasswd
// does, only a result of the setting's own scheme and of full length is trusted, and of the
// bcrypt form throughout.
bool crypt_into(std::string_view password, const char* setting, std::array<char, hash_length + 1>& result)
{
    crypt_data& work = state().work;
    if (password.size() >= sizeof work.input || password.find('\0') != std::string_view::npos) {
        return false;
    }
    // The password is copied into the work area so that one wipe clears every copy.
    std::memcpy(work.input, password.data(), password.size());
    work.input[password.size()] = '\0';
    const char* hashed = crypt_rn(work.input, setting, &work, static_cast<int>(sizeof work));
    const bool usable = hashed != nullptr && is_bcrypt_string(hashed, setting);
    if (usable) {
        std::memcpy(result.data(), hashed, hash_length + 1);
    }
    // Zeroing the whole area also readies it for crypt_rn's next call, which requires that.
    platform::wipe(&work, sizeof work);
    return usable;
}

} // namespace

std::error_code seed_salt_source()
{
    // The system's source keeps no state of ours; what a run needs prepared is the assurance
    // that it answers, so that no statement is written before a salt can be.
    std::array<unsigned char, salt_bytes> probe{};
    const std::error_code error = platform::fill_random(probe);
    platform::wipe(probe.data(), probe.size());
    return error;
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

std::span<const unsigned char> hash_work_area()
{
    return {reinterpret_cast<const unsigned char*>(&state().work), sizeof(crypt_data)};
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
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    if (crypt_gensalt_rn(scheme_prefix, cost, salt.data(), static_cast<int>(salt.size()), setting.data(),
                         static_cast<int>(setting.size())) == nullptr) {
        return failure_token;
    }
    std::array<char, hash_length + 1>& result = state().result;
    const bool usable = crypt_into(password, setting.data(), result) && std::string_view(result.data()).starts_with(hash_prefix);
    return usable ? std::string_view(result.data(), hash_length) : failure_token;
}

bool computes_known_answer(const BcryptVector& vector)
{
    if (vector.hash.size() != hash_length) {
        return false;
    }
    std::array<char, setting_length + 1> setting{};
    vector.hash.substr(0, setting_length).copy(setting.data(), setting_length);
    std::array<char, hash_length + 1> computed{};
    return crypt_into(vector.password, setting.data(), computed) && std::string_view(computed.data(), hash_length) == vector.hash;
}

bool differs_from_2b(std::string_view password, std::string_view hash)
{
    if (password.find('\xFF') == std::string_view::npos || hash.size() != hash_length || !hash.starts_with(hash_prefix)) {
        return false;
    }
    std::array<char, setting_length + 1> setting{};
    hash.substr(0, setting_length).copy(setting.data(), setting_length);
    setting[2] = 'b';
    std::array<char, hash_length + 1> standard{};
    return crypt_into(password, setting.data(), standard) &&
           std::string_view(standard.data()).substr(setting_length) != hash.substr(setting_length);
}

} // namespace credbatch
