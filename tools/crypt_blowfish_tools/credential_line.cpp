#include "credential_line.hpp"

#include <algorithm>
#include <cstring>

namespace credbatch {

namespace {

constexpr std::size_t chunk_bytes = 64 * 1024;
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// The separators of a line: space, tab, carriage return, vertical tab, form feed.
// A line feed also ends a field, but it ends the line too, so it is not skipped.
bool is_blank(int byte) noexcept
{
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\v' || byte == '\f';
}

bool ends_field(int byte) noexcept
{
    return byte < 0 || byte == '\n' || is_blank(byte);
}

} // namespace

void Field::append(unsigned char byte) noexcept
{
    if (length_ < bytes_.size()) {
        bytes_[length_] = static_cast<char>(byte);
    }
    ++length_;
    if (byte == '\0') {
        has_nul_ = true;
    } else if (byte < 0x20 || byte == 0x7F) {
        has_control_ = true;
    }
}

void Field::clear() noexcept
{
    wipe(bytes_.data(), bytes_.size());
    length_ = 0;
    has_nul_ = false;
    has_control_ = false;
}

CredentialReader::CredentialReader(std::istream& input) : input_(input), chunk_(chunk_bytes) {}

bool CredentialReader::next(CredentialLine& line)
{
    line.user.clear();
    line.password.clear();
    if (!started_) {
        started_ = true;
        skip_byte_order_mark();
    }
    int byte = next_byte();
    if (byte == end_of_input) {
        return false;
    }
    byte = read_field(skip_blanks(byte), line.user);
    byte = read_field(skip_blanks(byte), line.password);
    skip_rest_of_line(byte);
    if (input_.bad()) {
        line.user.clear();
        line.password.clear();
        return false;
    }
    return true;
}

int CredentialReader::next_byte()
{
    if (position_ == end_ && !refill(0)) {
        return end_of_input;
    }
    return static_cast<unsigned char>(chunk_.data()[position_++]);
}

// Appends what the stream has ready after the `keep` unread bytes, waiting only when it has
// nothing. peek() turns a failing read into badbit rather than an exception.
bool CredentialReader::refill(std::size_t keep)
{
    std::memmove(chunk_.data(), chunk_.data() + position_, keep);
    position_ = 0;
    end_ = keep;
    if (input_.peek() == std::istream::traits_type::eof()) {
        return false;
    }
    const auto got = static_cast<std::size_t>(input_.readsome(chunk_.data() + keep, static_cast<std::streamsize>(chunk_.size() - keep)));
    end_ += got;
    fetched_ += got;
    return got > 0;
}

void CredentialReader::skip_byte_order_mark()
{
    while (end_ - position_ < byte_order_mark.size() && refill(end_ - position_)) {
    }
    const std::string_view head(chunk_.data() + position_, std::min(end_ - position_, byte_order_mark.size()));
    if (head == byte_order_mark) {
        position_ += byte_order_mark.size();
    }
}

int CredentialReader::skip_blanks(int byte)
{
    while (is_blank(byte)) {
        byte = next_byte();
    }
    return byte;
}

int CredentialReader::read_field(int byte, Field& field)
{
    while (!ends_field(byte)) {
        field.append(static_cast<unsigned char>(byte));
        byte = next_byte();
    }
    return byte;
}

// A third field and whatever follows are ignored; memchr keeps a huge line cheap to pass.
void CredentialReader::skip_rest_of_line(int byte)
{
    if (byte == '\n' || byte == end_of_input) {
        return;
    }
    for (;;) {
        const char* begin = chunk_.data() + position_;
        const void* newline = std::memchr(begin, '\n', end_ - position_);
        if (newline != nullptr) {
            position_ += static_cast<std::size_t>(static_cast<const char*>(newline) - begin) + 1;
            return;
        }
        position_ = end_;
        if (!refill(0)) {
            return;
        }
    }
}

} // namespace credbatch
