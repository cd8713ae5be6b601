#include "password_hash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>

namespace {

using credbatch::SaltBytes;

SaltBytes salt_of(std::string_view text)
{
    SaltBytes salt{};
    std::copy(text.begin(), text.end(), salt.begin());
    return salt;
}

// bcrypt's own base-64 alphabet, decoded here independently of libxcrypt.
std::array<unsigned char, 16> decode_salt(std::string_view chars)
{
    constexpr std::string_view alphabet = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 16> bytes{};
    unsigned bits = 0;
    int held = 0;
    std::size_t out = 0;
    for (const char c : chars) {
        bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
        held += 6;
        if (held >= 8 && out < bytes.size()) {
            held -= 8;
            bytes[out++] = static_cast<unsigned char>(bits >> held);
        }
    }
    return bytes;
}

struct KnownAnswer {
    std::string password;
    const char* salt;
    const char* hash;
};

// Made with bcryptjs (an independent JavaScript bcrypt) from the same 16 salt bytes, and
// checked against the Python crypt module: every one of them agrees.
const std::string seventy_two = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const KnownAnswer known_answers[] = {
    {"", "abcdefghijklmnop", "$2a$10$WUHhXETkX0fnYkrqZU3ta.1NnJtefBzKNf1YNU98rAvDy67FcY1Cm"},
    {"U*U", "                ", "$2a$10$GA.eGA.eGA.eGA.eGA.eG.H.bH3NgbqWeLTAlAJpmQaD9SG4qecRu"},
    {"password", "~~~~~~~~~~~~~~~~", "$2a$10$dl38dl38dl38dl38dl38de04/V7Z0W/AfHl7/KImVjhVUJqHu4ayi"},
    // Bytes above 0x7F are read as unsigned, as the corrected algorithm does.
    {"p\xC3\xA9ss\xC3\xB6rd", "Zq!7 @#x9,;K~{`]", "$2a$10$UlCfLw/.G1e3JBrJdlreVOxDkKJtVmOUDB2HIkVFQnwYyt9TxTwJm"},
    {seventy_two, "it's a salt 'xyz", "$2a$10$YVOlaw/fGFLfZFOeH1f3ceXMplkOmfCvlSdHwQmY7I399aMOQqxAW"},
    // bcrypt ignores what follows the 72nd byte.
    {seventy_two + "chars after 72 are ignored", "it's a salt 'xyz", "$2a$10$YVOlaw/fGFLfZFOeH1f3ceXMplkOmfCvlSdHwQmY7I399aMOQqxAW"},
};

TEST(PasswordHash, MatchesKnownAnswers)
{
    for (const KnownAnswer& answer : known_answers) {
        EXPECT_EQ(credbatch::hash_password_with_salt(answer.password, salt_of(answer.salt)), answer.hash)
            << "salt " << answer.salt;
    }
}

// The run's self-test: the vector it checks is computed right, and any other result under the
// same setting, or a vector for another password, fails the check.
TEST(PasswordHash, SelfTestTellsARightHashFromAWrongOne)
{
    const credbatch::BcryptVector right = credbatch::self_test_vector;
    EXPECT_TRUE(credbatch::computes_known_answer(right));
    std::string last_changed(right.hash);
    last_changed.back() = last_changed.back() == 'm' ? 'n' : 'm';
    const std::string other_cost = "$2a$05$" + std::string(right.hash.substr(7));
    const credbatch::BcryptVector wrong[] = {
        {right.password, last_changed},
        {right.password, other_cost},
        {"kk4DQuMMfZL9o", right.hash},
        {right.password, right.hash.substr(0, 59)},
        {right.password, ""},
    };
    for (const credbatch::BcryptVector& vector : wrong) {
        EXPECT_FALSE(credbatch::computes_known_answer(vector)) << vector.hash;
    }
}

struct StandardAnswer {
    std::string password;
    const char* hash_2a;  // libxcrypt, and PHP's crypt, which share its $2a$ countermeasure
    const char* hash_2b;  // python3-bcrypt, and PostgreSQL 15's pgcrypto under either prefix
};

// Under the salt bytes "abcdefghijklmnop". The $2b$ column was made with python3-bcrypt 3.2.2.
const StandardAnswer standard_answers[] = {
    // The countermeasure fires: only a password with a 0xFF byte can make it.
    {"\xFF\xFF" "a", "$2a$10$WUHhXETkX0fnYkrqZU3ta.Hygn1muOf38cY6cpFZJhTUOPih54gxm",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.hLg2nicyPYsdRXB4yjsWF76Uzq2aeNO"},
    {"\xFF\xE9" "abcde", "$2a$10$WUHhXETkX0fnYkrqZU3ta.OPWzOjiKZwYYK8l9CkNRTiqdORsvXzO",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.lXE2lpalCMbQmB2.PL7Izp/d3oSJwbm"},
    {std::string(72, '\xFF'), "$2a$10$WUHhXETkX0fnYkrqZU3ta.NGzQd/HXcgsEFS1uKx5yPOUGPq6sN5G",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.xwewSrn/eKM3A2fva0TAtKR8nNFk35e"},
    // It does not: 8-bit UTF-8 (no 0xFF byte ever), and 0xFF bytes that the sign bug left alone.
    {"p\xC3\xA4ssw\xC3\xB6rd \xC3\xBF", "$2a$10$WUHhXETkX0fnYkrqZU3ta.aKXIcjIGKbKVMCRltzho2wSIov7DVzm",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.aKXIcjIGKbKVMCRltzho2wSIov7DVzm"},
    {"\xFF" "a", "$2a$10$WUHhXETkX0fnYkrqZU3ta.kWGkLXSj/IS6tSRU92BQKnMnO8p1zaG",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.kWGkLXSj/IS6tSRU92BQKnMnO8p1zaG"},
    {"\xFF\xFF\xFF\xFF" "ab", "$2a$10$WUHhXETkX0fnYkrqZU3ta.yD5VozzA1cox/FgpMnSJF1wlphArNhK",
     "$2b$10$WUHhXETkX0fnYkrqZU3ta.yD5VozzA1cox/FgpMnSJF1wlphArNhK"},
};

TEST(PasswordHash, TellsWhereTheTwoVariantsDiffer)
{
    for (const StandardAnswer& answer : standard_answers) {
        const std::string hashed(credbatch::hash_password_with_salt(answer.password, salt_of("abcdefghijklmnop")));
        EXPECT_EQ(hashed, answer.hash_2a);
        const bool expected = std::string_view(answer.hash_2a).substr(29) != std::string_view(answer.hash_2b).substr(29);
        EXPECT_EQ(credbatch::differs_from_2b(answer.password, hashed), expected) << answer.hash_2a;
    }
    EXPECT_FALSE(credbatch::differs_from_2b("\xFF\xFF" "a", credbatch::failure_token));
}

TEST(PasswordHash, FreshSaltsArePrintableAndDiffer)
{
    std::string previous;
    for (int i = 0; i < 3; ++i) {
        const std::string hashed(credbatch::hash_password("same password"));
        ASSERT_EQ(hashed.size(), 60u);
        ASSERT_TRUE(hashed.starts_with("$2a$10$"));
        for (const unsigned char byte : decode_salt(std::string_view(hashed).substr(7, 22))) {
            EXPECT_GE(byte, 32);
            EXPECT_LE(byte, 126);
        }
        EXPECT_NE(hashed, previous);
        previous = hashed;
    }
}

TEST(PasswordHash, RandomBytesMapUniformlyOntoPrintables)
{
    std::map<char, int> hits;
    int redrawn = 0;
    for (int byte = 0; byte < 256; ++byte) {
        if (const auto printable = credbatch::printable_from_random_byte(static_cast<unsigned char>(byte))) {
            ++hits[*printable];
        } else {
            ++redrawn;
        }
    }
    ASSERT_EQ(hits.size(), 95u);
    EXPECT_EQ(hits.begin()->first, ' ');
    EXPECT_EQ(hits.rbegin()->first, '~');
    for (const auto& [printable, count] : hits) {
        EXPECT_EQ(count, 2) << "character " << printable;
    }
    EXPECT_EQ(redrawn, 256 - 190);
}

TEST(PasswordHash, WorkAreaIsWipedOnceAPasswordIsDone)
{
    ASSERT_EQ(credbatch::hash_password("a secret worth keeping").size(), 60u);
    const auto area = credbatch::hash_work_area();
    EXPECT_EQ(std::count(area.begin(), area.end(), 0), static_cast<std::ptrdiff_t>(area.size()));
}

TEST(PasswordHash, RefusesWhatCryptWouldCutShort)
{
    EXPECT_EQ(credbatch::hash_password_with_salt(std::string("pa\0ss", 5), salt_of("abcdefghijklmnop")), credbatch::failure_token);
    EXPECT_EQ(credbatch::hash_password_with_salt(std::string(512, 'p'), salt_of("abcdefghijklmnop")), credbatch::failure_token);
}

} // namespace
