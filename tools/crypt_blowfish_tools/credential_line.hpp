#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <system_error>

#include "byte_io.hpp"
#include "secret_buffer.hpp"

namespace credbatch {

// Both fields of a credential line are limited to this many bytes.
inline constexpr std::size_t max_field_bytes = 100;

// One whitespace-separated field. Only the first max_field_bytes are kept; the rest is
// counted and checked, never stored, so a line of any length costs the same memory.
class Field {
public:
    explicit Field(std::span<char> storage) noexcept : bytes_(storage) {}
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;

    void append(unsigned char byte) noexcept;
    void clear() noexcept;

    std::string_view kept() const noexcept { return {bytes_.data(), length_ < bytes_.size() ? length_ : bytes_.size()}; }
    std::size_t length() const noexcept { return length_; }
    bool empty() const noexcept { return length_ == 0; }
    bool too_long() const noexcept { return length_ > max_field_bytes; }
    bool has_nul() const noexcept { return has_nul_; }
    // A C0 control, DEL, or a C1 control as UTF-8 encodes it (C2 80 to C2 9F).
    bool has_control() const noexcept { return has_control_; }

private:
    std::span<char> bytes_;
    std::size_t length_ = 0;
    unsigned char previous_ = 0;
    bool has_nul_ = false;
    bool has_control_ = false;
};

// A physical line of the input: the user name, the password, and whether more followed.
// Both fields live in one locked, wiped buffer.
class CredentialLine {
    // Declared before the fields, since members are made in declaration order: the fields are
    // views into this buffer, which must exist before them and outlive them.
    SecretBuffer storage_{2 * max_field_bytes};

public:
    Field user{std::span<char>(storage_.data(), max_field_bytes)};
    Field password{std::span<char>(storage_.data() + max_field_bytes, max_field_bytes)};
    bool text_after_password = false;  // a third field, or more
    // A carriage return with more of the line after it. Only a run of them just before the line
    // feed, or before the end of the input, belongs to the line ending; one anywhere else most
    // likely ends a line of a file whose lines end in CR alone, where the next user's name would
    // silently become this user's password.
    bool inner_carriage_return = false;

    bool blank() const noexcept { return user.empty(); }
};

// Splits the input into credential lines. Reads whatever the source has ready, so a pipe or
// FIFO is served as its data arrives, and skips a UTF-8 byte-order mark at the start. Input
// that starts with a UTF-16 or UTF-32 byte-order mark gives no line at all: read as bytes,
// every line of it would hold NUL bytes.
// The raw input passes through one buffer, and a line's bytes are wiped from it as soon as the
// line has been split: what stays is only the part of the last read not yet split.
class CredentialReader {
public:
    explicit CredentialReader(ByteSource& input);

    // Fills `line` from the next physical line. False at the end of input, and on a read error,
    // in which case a line cut short by the error is not handed out.
    bool next(CredentialLine& line);

    // The read error that ended the input, if one did.
    std::error_code error() const noexcept { return error_; }

    // "UTF-16LE", "UTF-16BE", "UTF-32LE" or "UTF-32BE" when the input begins with that
    // byte-order mark; empty otherwise.
    std::string_view wide_encoding() const noexcept { return wide_encoding_; }

    // Input bytes taken up by the lines handed out so far.
    std::uint64_t bytes_consumed() const noexcept { return fetched_ - (end_ - position_); }

    // Input bytes read from the source so far; at the end of input, all it gave.
    std::uint64_t bytes_read() const noexcept { return fetched_; }

    // The read buffer as it is now, so that a test can look for what it should no longer hold.
    std::span<const char> read_buffer() const noexcept { return {chunk_.data(), chunk_.size()}; }

private:
    static constexpr int end_of_input = -1;

    int next_byte();
    bool refill();
    void read_byte_order_mark();
    int skip_blanks(int byte);
    int read_field(int byte, Field& field);
    void skip_rest_of_line(int byte);
    void note_carriage_returns(int byte) noexcept;
    void note_carriage_returns(std::string_view skipped) noexcept;
    void wipe_consumed();

    ByteSource& input_;
    SecretBuffer chunk_;
    std::size_t line_start_ = 0;  // where the bytes of the line being split begin
    std::size_t position_ = 0;
    std::size_t end_ = 0;
    std::uint64_t fetched_ = 0;
    std::error_code error_;
    std::string_view wide_encoding_;
    bool started_ = false;
    bool input_ended_ = false;
    bool carriage_return_pending_ = false;  // the line's last byte so far was a carriage return
    bool inner_carriage_return_ = false;
};

} // namespace credbatch
