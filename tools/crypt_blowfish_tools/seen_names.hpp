#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace credbatch {

// The 128-bit key of the names' hash, drawn afresh for every run so that nobody can pick
// names that collide, and fixed in tests.
using NameKey = std::array<std::uint64_t, 2>;

// SipHash-2-4 of `bytes` under `key`, the key's two halves read as little-endian words.
std::uint64_t keyed_hash(const NameKey& key, std::string_view bytes) noexcept;

// The user names a run has written statements for, kept small enough for millions of them:
// each is remembered as its keyed 64-bit hash and the line that wrote it, 12 bytes a slot,
// never as the name. The slots are open-addressed and kept at most 85% full, and they are split
// into shards that each grow on their own, so that a growth never holds two copies of the whole
// table at once: at most 28.3 bytes a name, and a quarter of a byte more while a shard grows,
// on top of a fixed 12 KiB. Two names with the same hash look like one, which can cost at worst
// a false warning; with 64 bits that takes some billions of names to become likely.
class SeenNames {
public:
    explicit SeenNames(const NameKey& key) noexcept : key_(key) {}

    // The line on which `name` was remembered, or 0 when it is new, in which case it is
    // remembered as written on `line`. Lines past 4,294,967,295 are not remembered, so that a
    // slot stays 12 bytes; names met there are still found when they came earlier.
    std::uint64_t earlier_line(std::string_view name, std::uint64_t line);

    // The most bytes the slots have taken at any one time, a shard's growth included.
    std::size_t peak_bytes() const noexcept { return peak_bytes_; }

private:
    struct Slot {
        std::uint32_t hash_high = 0;
        std::uint32_t hash_low = 0;
        std::uint32_t line = 0;  // 0: the slot is free
    };
    static_assert(sizeof(Slot) == 12);
    struct Shard {
        std::unique_ptr<Slot[]> slots;
        std::size_t capacity = 0;  // a power of two, or 0 before the first name
        std::size_t count = 0;
    };
    static constexpr unsigned shard_bits = 6;

    void grow(Shard& shard);
    static Slot* find(Shard& shard, std::uint64_t hash) noexcept;

    NameKey key_;
    std::array<Shard, std::size_t{1} << shard_bits> shards_;
    std::size_t bytes_ = 0;
    std::size_t peak_bytes_ = 0;
};

} // namespace credbatch
