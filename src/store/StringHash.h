// TStringHash: a fixed table of 256 buckets mapping key texts to line numbers,
// the index behind THashedStringList's lookups.
//
// A key's hash starts at 0 and, per byte, is rotated left by 2 bits and XORed
// with the byte; the bucket is the hash modulo 256. A new entry goes to the
// head of its bucket's chain, and a lookup takes the first exact match from
// the head, so of several entries with one key the latest added wins. Keys are
// compared byte for byte; any case folding is the caller's business.
// Owned by one THashedStringList; not for use across threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TStringHash {
public:
    static constexpr std::size_t BucketCount = 256;
    static constexpr int NotFound = -1;

    static std::uint32_t HashOf(std::string_view key);

    void Add(std::string_view key, int value);
    // Room for `count` entries in all, so that a rebuild grows once.
    void Reserve(std::size_t count) { entries_.reserve(count); }
    // The value of the entry added last with exactly this key, or NotFound.
    int ValueOf(std::string_view key) const;
    void Clear();

private:
    static constexpr std::int32_t EndOfChain = -1;

    struct Entry {
        std::string key;
        int value;
        std::int32_t next; // index into entries_, or EndOfChain
    };

    // Entries live in one vector and chain by index, so clearing a long chain
    // costs no recursion and no allocation per entry. The bucket heads are
    // made with the first entry: a store holds one table per section, and a
    // file of many small sections must not cost a kilobyte for each.
    std::vector<Entry> entries_;
    std::vector<std::int32_t> heads_;
};
