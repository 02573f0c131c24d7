// AddressFilter: the allowed-peers list, its parsing and its matching.
#include "net/AddressFilter.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

std::uint32_t Address(const char* dotted)
{
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1) << dotted;
    return address.s_addr;
}

} // namespace

TEST(AddressFilterTest, AddressesAndRangesAllowExactlyTheirPeers)
{
    const std::optional<AddressFilter> filter = AddressFilter::Parse(" 192.168.1.77/24 ,10.0.0.7,172.16.0.0/12");
    ASSERT_TRUE(filter);
    EXPECT_FALSE(filter->AllowsEveryone());
    for (const char* allowed : {"192.168.1.0", "192.168.1.255", "10.0.0.7", "172.31.255.255"})
        EXPECT_TRUE(filter->Allows(Address(allowed))) << allowed;
    for (const char* refused : {"192.168.2.1", "10.0.0.8", "172.32.0.0", "127.0.0.1"})
        EXPECT_FALSE(filter->Allows(Address(refused))) << refused;

    const std::optional<AddressFilter> all = AddressFilter::Parse("0.0.0.0/0");
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->Allows(Address("203.0.113.9")));
    EXPECT_FALSE(AddressFilter::Nobody().Allows(Address("127.0.0.1")));
    EXPECT_TRUE(AddressFilter::Parse("  ")->AllowsEveryone());
}

TEST(AddressFilterTest, AnythingButAStrictListIsMalformed)
{
    for (const char* text : {"192.168.1.0/33", "192.168.1", "192.168.1.256", "192.168.01.1", "10.0.0.7,",
                             ",10.0.0.7", "10.0.0.7,,10.0.0.8", "10.0.0.7/", "10.0.0.7/-1", "host.lan",
                             "10.0.0.7 10.0.0.8", "10.0.0.7;10.0.0.8", "1.2.3.4.5", "+1.2.3.4", "::1"})
        EXPECT_FALSE(AddressFilter::Parse(text)) << text;
}
