#include "seen_names.hpp"

#include <algorithm>
#include <limits>

namespace credbatch {

namespace {

constexpr std::size_t first_capacity = 16;

// A shard grows before it is fuller than this: a fuller one takes longer probes to find a free
// slot, an emptier one more bytes a name (12 / 0.85 × 2 just after it has doubled).
constexpr std::size_t max_load_percent = 85;

constexpr std::uint64_t rotate_left(std::uint64_t x, int bits) noexcept
{
    return x << bits | x >> (64 - bits);
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void rounds(int count) noexcept
    {
        for (int i = 0; i < count; ++i) {
            v0 += v1;
            v1 = rotate_left(v1, 13);
            v1 ^= v0;
            v0 = rotate_left(v0, 32);
            v2 += v3;
            v3 = rotate_left(v3, 16);
            v3 ^= v2;
            v0 += v3;
            v3 = rotate_left(v3, 21);
            v3 ^= v0;
            v2 += v1;
            v1 = rotate_left(v1, 17);
            v1 ^= v2;
            v2 = rotate_left(v2, 32);
        }
    }

    void absorb(std::uint64_t word) noexcept
    {
        v3 ^= word;
        rounds(2);
        v0 ^= word;
    }
};

std::uint64_t little_endian_word(std::string_view bytes) noexcept
{
    std::uint64_t word = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        word = word << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return word;
}

} // namespace

std::uint64_t keyed_hash(const NameKey& key, std::string_view bytes) noexcept
{
    SipState state{key[0] ^ 0x736f6d6570736575, key[1] ^ 0x646f72616e646f6d, key[0] ^ 0x6c7967656e657261,
                   key[1] ^ 0x7465646279746573};
    const std::uint64_t length_byte = static_cast<std::uint64_t>(bytes.size()) << 56;
    for (; bytes.size() >= 8; bytes.remove_prefix(8)) {
        state.absorb(little_endian_word(bytes.substr(0, 8)));
    }
    state.absorb(length_byte | little_endian_word(bytes));
    state.v2 ^= 0xff;
    state.rounds(4);
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

std::uint64_t SeenNames::earlier_line(std::string_view name, std::uint64_t line)
{
    const std::uint64_t hash = keyed_hash(key_, name);
    // The top bits choose the shard, the bottom ones the slot within it.
    Shard& shard = shards_[hash >> (64 - shard_bits)];
    if (shard.capacity == 0) {
        grow(shard);
    }
    Slot* slot = find(shard, hash);
    if (slot->line != 0) {
        return slot->line;
    }
    if (line > std::numeric_limits<std::uint32_t>::max()) {
        return 0;
    }
    if ((shard.count + 1) * 100 > shard.capacity * max_load_percent) {
        grow(shard);
        slot = find(shard, hash);
    }
    *slot = {static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(line)};
    ++shard.count;
    return 0;
}

// The slot that holds `hash`, or the free one where it would go: linear probing from its home.
SeenNames::Slot* SeenNames::find(Shard& shard, std::uint64_t hash) noexcept
{
    const std::size_t mask = shard.capacity - 1;
    const auto high = static_cast<std::uint32_t>(hash >> 32);
    const auto low = static_cast<std::uint32_t>(hash);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        Slot& slot = shard.slots[at];
        if (slot.line == 0 || (slot.hash_high == high && slot.hash_low == low)) {
            return &slot;
        }
    }
}

void SeenNames::grow(Shard& shard)
{
    const std::size_t capacity = shard.capacity == 0 ? first_capacity : 2 * shard.capacity;
    Shard grown{std::make_unique<Slot[]>(capacity), capacity, shard.count};
    bytes_ += capacity * sizeof(Slot);
    peak_bytes_ = std::max(peak_bytes_, bytes_);
    for (std::size_t i = 0; i < shard.capacity; ++i) {
        const Slot& slot = shard.slots[i];
        if (slot.line != 0) {
            *find(grown, std::uint64_t{slot.hash_high} << 32 | slot.hash_low) = slot;
        }
    }
    bytes_ -= shard.capacity * sizeof(Slot);
    shard = std::move(grown);
}

} // namespace credbatch
