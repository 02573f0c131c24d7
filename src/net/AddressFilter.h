// AddressFilter: which IPv4 peers a connection may be made with, from the
// settings' list of addresses and CIDR ranges ("192.168.1.0/24, 10.0.0.7").
//
// The default filter lets everyone through. A list that does not parse lets
// nobody through: a typing error must never open the door wider than meant.
// A value type; any thread may use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

class AddressFilter {
public:
    // Everyone allowed.
    AddressFilter() = default;
    static AddressFilter Nobody();
    // Comma-separated dotted IPv4 addresses and ranges written address/bits
    // (bits 0 to 32; host bits in the address are ignored). Blanks around
    // items are allowed. Each address is exactly four decimal parts of 0 to
    // 255 without leading zeros. No value for anything else, an empty item
    // included. An empty or blank text is no list: everyone is allowed.
    static std::optional<AddressFilter> Parse(std::string_view text);

    // `address` in network byte order, as the socket calls give it.
    bool Allows(std::uint32_t address) const;
    bool AllowsEveryone() const { return everyone_; }

private:
    struct Range {
        std::uint32_t network; // host byte order, masked
        std::uint32_t mask;
    };

    bool everyone_ = true;
    std::vector<Range> ranges_;
};
