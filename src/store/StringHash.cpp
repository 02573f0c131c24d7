#include "store/StringHash.h"

#include <bit>

std::uint32_t TStringHash::HashOf(std::string_view key)
{
    std::uint32_t hash = 0;
    for (const char c : key) hash = std::rotl(hash, 2) ^ static_cast<unsigned char>(c);
    return hash;
}

void TStringHash::Add(std::string_view key, int value)
{
    if (heads_.empty()) heads_.assign(BucketCount, EndOfChain);
    const std::size_t bucket = HashOf(key) % BucketCount;
    entries_.push_back(Entry{std::string(key), value, heads_[bucket]});
    heads_[bucket] = static_cast<std::int32_t>(entries_.size() - 1);
}

int TStringHash::ValueOf(std::string_view key) const
{
    if (heads_.empty()) return NotFound;
    const std::size_t bucket = HashOf(key) % BucketCount;
    for (std::int32_t i = heads_[bucket]; i != EndOfChain; i = entries_[static_cast<std::size_t>(i)].next) {
        const Entry& entry = entries_[static_cast<std::size_t>(i)];
        if (entry.key == key) return entry.value;
    }
    return NotFound;
}

void TStringHash::Clear()
{
    // Gives the memory back: an index is rebuilt whole or not at all.
    std::vector<Entry>().swap(entries_);
    std::vector<std::int32_t>().swap(heads_);
}
