#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

namespace credbatch {

// What stands in place of a hash string when hashing fails.
inline constexpr std::string_view failure_token = "*0";

inline constexpr std::size_t salt_bytes = 16;
using SaltBytes = std::array<char, salt_bytes>;

// Makes sure the system's secure random source answers before the first password is hashed.
// Call once per run; an error means no salt can be drawn and nothing should be written.
std::error_code seed_salt_source();

// The "$2a$10$" bcrypt hash string of `password` under 16 fresh random printable salt bytes,
// or failure_token. The result stays valid until the next call.
std::string_view hash_password(std::string_view password);

// Whether `hash`, the "$2a$10$" hash string of `password`, differs from the standard bcrypt
// ($2b$) of the password under the same salt. For a few passwords libxcrypt's $2a$ applies a
// countermeasure against the sign-extension bug of old implementations, and then only
// verifiers that share it accept the hash. It can only fire for a password holding a 0xFF
// byte, which valid UTF-8 never has, so only such passwords are hashed a second time.
bool differs_from_2b(std::string_view password, std::string_view hash);

// hash_password with the salt bytes given rather than drawn.
std::string_view hash_password_with_salt(std::string_view password, const SaltBytes& salt);

// A password and the bcrypt hash string it must give, which begins with its setting.
struct BcryptVector {
    std::string_view password;
    std::string_view hash;
};

// A published bcrypt test vector at cost 4, the lowest there is: 33 key expansions against the
// 2049 of a cost-10 hash. Published with the $2b$ prefix; for a short ASCII password $2a$ and $2b$
// are the same algorithm, and python3-bcrypt, another lineage of bcrypt, gives this very string.
inline constexpr BcryptVector self_test_vector{"Kk4DQuMMfZL9o", "$2a$04$cVWp4XaNU8a4v1uMRum2SO026BWLIoQMD/TXg5uZV.0P.uO8m3YEm"};

// Whether the hashing library computes `vector.hash` from `vector.password` under its setting.
// A library that hashes wrongly (a miscompiled build, a broken update) would otherwise write a
// script of hashes that no one can log in with, and nothing would show it until it is applied.
bool computes_known_answer(const BcryptVector& vector);

// The printable character (32..126) that a uniformly random byte stands for, or nothing when
// the byte must be drawn again: 190 of the 256 values map two to each of the 95 characters,
// so no character is likelier than another.
std::optional<char> printable_from_random_byte(unsigned char byte) noexcept;

// The work area that hashing wipes once a password is done, so a test can see that nothing of
// the password or its key schedule is left there.
std::span<const unsigned char> hash_work_area();

} // namespace credbatch
