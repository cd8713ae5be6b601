#include "credential_line.hpp"

#include <algorithm>
#include <cstring>

#include "printable.hpp"

namespace credbatch {

namespace {

constexpr std::size_t chunk_bytes = 64 * 1024;
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
constexpr std::size_t longest_byte_order_mark = 4;

// The byte-order marks of the encodings whose text is refused, longest first, since that of
// UTF-32LE begins with that of UTF-16LE.
constexpr struct {
    std::string_view mark;
    std::string_view encoding;
} wide_byte_order_marks[] = {
    {{"\xFF\xFE\0\0", 4}, "UTF-32LE"},
    {{"\0\0\xFE\xFF", 4}, "UTF-32BE"},
    {"\xFF\xFE", "UTF-16LE"},
    {"\xFE\xFF", "UTF-16BE"},
};

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
    } else if (is_control_byte(byte) || is_c1_control(previous_, byte)) {
        has_control_ = true;
    }
    previous_ = byte;
}

void Field::clear() noexcept
{
    platform::wipe(bytes_.data(), std::min(length_, bytes_.size()));
    length_ = 0;
    previous_ = 0;
    has_nul_ = false;
    has_control_ = false;
}

CredentialReader::CredentialReader(ByteSource& input) : input_(input), chunk_(chunk_bytes) {}

bool CredentialReader::next(CredentialLine& line)
{
    line.user.clear();
    line.password.clear();
    line.text_after_password = false;
    line.inner_carriage_return = false;
    if (!started_) {
        started_ = true;
        read_byte_order_mark();
    }
    if (!wide_encoding_.empty()) {
        return false;
    }
    carriage_return_pending_ = false;
    inner_carriage_return_ = false;
    int byte = next_byte();
    if (byte == end_of_input) {
        return false;
    }
    byte = read_field(skip_blanks(byte), line.user);
    byte = skip_blanks(read_field(skip_blanks(byte), line.password));
    line.text_after_password = byte != '\n' && byte != end_of_input;
    skip_rest_of_line(byte);
    line.inner_carriage_return = inner_carriage_return_;
    wipe_consumed();
    if (error_) {
        line.user.clear();
        line.password.clear();
        return false;
    }
    return true;
}

int CredentialReader::next_byte()
{
    const int byte = position_ == end_ && !refill() ? end_of_input : static_cast<unsigned char>(chunk_.data()[position_++]);
    note_carriage_returns(byte);
    return byte;
}

void CredentialReader::note_carriage_returns(int byte) noexcept
{
    if (byte == '\r') {
        carriage_return_pending_ = true;
        return;
    }
    if (carriage_return_pending_ && byte != '\n' && byte != end_of_input) {
        inner_carriage_return_ = true;
    }
    carriage_return_pending_ = false;
}

// The same for a stretch of the line passed over in one piece, which ends neither the line nor
// the input; only its last carriage returns may still turn out to end the line.
void CredentialReader::note_carriage_returns(std::string_view skipped) noexcept
{
    const std::size_t last_other = skipped.find_last_not_of('\r');
    if (last_other == std::string_view::npos) {
        carriage_return_pending_ = carriage_return_pending_ || !skipped.empty();
        return;
    }
    if (carriage_return_pending_ || skipped.substr(0, last_other).find('\r') != std::string_view::npos) {
        inner_carriage_return_ = true;
    }
    carriage_return_pending_ = last_other + 1 < skipped.size();
}

// Moves the bytes not yet split to the front, wipes what was there after them, and appends
// whatever the source has ready. False at the end of input or on an error.
bool CredentialReader::refill()
{
    const std::size_t keep = end_ - position_;
    std::memmove(chunk_.data(), chunk_.data() + position_, keep);
    platform::wipe(chunk_.data() + keep, end_ - keep);
    line_start_ = 0;
    position_ = 0;
    end_ = keep;
    if (input_ended_) {
        return false;
    }
    const IoResult got = input_.read(std::span<char>(chunk_.data() + keep, chunk_.size() - keep));
    if (got.error || got.bytes == 0) {
        // A terminal's end of input comes once; it is not read past.
        input_ended_ = true;
        error_ = got.error;
        return false;
    }
    end_ += got.bytes;
    fetched_ += got.bytes;
    return true;
}

void CredentialReader::wipe_consumed()
{
    platform::wipe(chunk_.data() + line_start_, position_ - line_start_);
    line_start_ = position_;
}

void CredentialReader::read_byte_order_mark()
{
    while (end_ - position_ < longest_byte_order_mark && refill()) {
    }
    const std::string_view head(chunk_.data() + position_, std::min(end_ - position_, longest_byte_order_mark));
    for (const auto& wide : wide_byte_order_marks) {
        if (head.starts_with(wide.mark)) {
            wide_encoding_ = wide.encoding;
            return;
        }
    }
    if (head.starts_with(byte_order_mark)) {
        position_ += byte_order_mark.size();
        wipe_consumed();
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
            const auto skipped = static_cast<std::size_t>(static_cast<const char*>(newline) - begin);
            note_carriage_returns(std::string_view(begin, skipped));
            note_carriage_returns('\n');
            position_ += skipped + 1;
            return;
        }
        note_carriage_returns(std::string_view(begin, end_ - position_));
        position_ = end_;
        if (!refill()) {
            return;
        }
    }
}

} // namespace credbatch
