#include "net/AddressFilter.h"

#include <arpa/inet.h>

namespace {

constexpr std::uint32_t MaxPrefixBits = 32;
constexpr std::uint32_t MaxOctet = 255;

std::string_view Trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal number of at most `limit`, without sign or leading zero.
std::optional<std::uint32_t> SmallNumber(std::string_view text, std::uint32_t limit)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > limit) return std::nullopt;
    return value;
}

// Dotted IPv4 text to a host-order address.
std::optional<std::uint32_t> DottedAddress(std::string_view text)
{
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return std::nullopt;
        const std::optional<std::uint32_t> octet = SmallNumber(text.substr(0, dot), MaxOctet);
        if (!octet) return std::nullopt;
        address = (address << 8) | *octet;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

} // namespace

AddressFilter AddressFilter::Nobody()
{
    AddressFilter filter;
    filter.everyone_ = false;
    return filter;
}

std::optional<AddressFilter> AddressFilter::Parse(std::string_view text)
{
    if (Trimmed(text).empty()) return AddressFilter();
    AddressFilter filter = Nobody();
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view item = Trimmed(text.substr(0, comma));
        const std::size_t slash = item.find('/');
        const std::optional<std::uint32_t> address = DottedAddress(item.substr(0, slash));
        std::optional<std::uint32_t> bits = MaxPrefixBits;
        if (slash != std::string_view::npos) bits = SmallNumber(item.substr(slash + 1), MaxPrefixBits);
        if (!address || !bits) return std::nullopt;
        // A shift by 32 is undefined; /0 is the empty mask.
        const std::uint32_t mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (MaxPrefixBits - *bits);
        filter.ranges_.push_back({*address & mask, mask});
        if (comma == std::string_view::npos) return filter;
        text.remove_prefix(comma + 1);
    }
}

bool AddressFilter::Allows(std::uint32_t address) const
{
    if (everyone_) return true;
    const std::uint32_t host = ntohl(address);
    for (const Range& range : ranges_) {
        if ((host & range.mask) == range.network) return true;
    }
    return false;
}
