#pragma once

#include <cstddef>
#include <random>
#include <string>

// Credential lines as an administrator's file holds them: names of 5 to 30 bytes, passwords
// of 8 to 64, and one name in fifty with a quote in it. The same count gives the same text.
inline std::string realistic_credentials(std::size_t lines)
{
    constexpr std::string_view name_bytes = "abcdefghijklmnopqrstuvwxyz0123456789._-";
    constexpr std::string_view password_bytes =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
    std::mt19937_64 random(lines);
    const auto between = [&](std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random);
    };
    std::string text;
    text.reserve(lines * 50);
    for (std::size_t line = 0; line < lines; ++line) {
        const std::size_t name_length = between(5, 30);
        const std::size_t quote_at = line % 50 == 0 ? between(1, name_length - 2) : name_length;
        for (std::size_t i = 0; i < name_length; ++i) {
            text += i == quote_at ? '\'' : name_bytes[between(0, name_bytes.size() - 1)];
        }
        text += ' ';
        for (std::size_t i = between(8, 64); i > 0; --i) {
            text += password_bytes[between(0, password_bytes.size() - 1)];
        }
        text += '\n';
    }
    return text;
}

// Stands for bcrypt where only the driver is measured: a fixed string of a hash's shape.
inline std::string_view fake_hash(std::string_view)
{
    return "$2a$10$abcdefghijklmnopqrstuu5s2v8.iXieOjg/.AySBTTZIIVFJeBui";
}
