#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string_view>

#include "secret_buffer.hpp"

namespace credbatch {

// Both fields of a credential line are limited to this many bytes.
inline constexpr std::size_t max_field_bytes = 100;

// One whitespace-separated field. Only the first max_field_bytes are kept; the rest is
// counted and checked, never stored, so a line of any length costs the same memory.
class Field {
public:
    Field() = default;
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;
    ~Field() { clear(); }

    void append(unsigned char byte) noexcept;
    void clear() noexcept;

    std::string_view kept() const noexcept { return {bytes_.data(), length_ < bytes_.size() ? length_ : bytes_.size()}; }
    std::size_t length() const noexcept { return length_; }
    bool empty() const noexcept { return length_ == 0; }
    bool too_long() const noexcept { return length_ > max_field_bytes; }
    bool has_nul() const noexcept { return has_nul_; }
    bool has_control() const noexcept { return has_control_; }

private:
    std::array<char, max_field_bytes> bytes_{};
    std::size_t length_ = 0;
    bool has_nul_ = false;
    bool has_control_ = false;
};

// A physical line of the input: the user name, the password, and nothing of the rest.
struct CredentialLine {
    Field user;
    Field password;

    bool blank() const noexcept { return user.empty(); }
};

// Splits an input stream into credential lines. Reads whatever the stream has ready, so a
// pipe or FIFO is served as its data arrives, and skips a UTF-8 byte-order mark at the start.
class CredentialReader {
public:
    explicit CredentialReader(std::istream& input);

    // Fills `line` from the next physical line. False at end of input, and on a read error
    // (input.bad()), in which case a line cut short by the error is not handed out.
    bool next(CredentialLine& line);

    // Input bytes taken up by the lines handed out so far.
    std::uint64_t bytes_consumed() const noexcept { return fetched_ - (end_ - position_); }

private:
    static constexpr int end_of_input = -1;

    int next_byte();
    bool refill(std::size_t keep);
    void skip_byte_order_mark();
    int skip_blanks(int byte);
    int read_field(int byte, Field& field);
    void skip_rest_of_line(int byte);

    std::istream& input_;
    SecretBuffer chunk_;
    std::size_t position_ = 0;
    std::size_t end_ = 0;
    std::uint64_t fetched_ = 0;
    bool started_ = false;
};

} // namespace credbatch
