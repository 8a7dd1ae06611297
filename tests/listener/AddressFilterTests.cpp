// AddressFilterTests.cpp -- addresses and CIDR ranges of statusFrom and allowedPeers.
#include <gtest/gtest.h>

#include "AddressFilter.h"
#include "ListenerTestSupport.h"

namespace {
PeerAddress Address(const char* text) {
    PeerAddress address;
    EXPECT_TRUE(PeerAddress::Parse(text, &address)) << text;
    return address;
}
}  // namespace

TEST(AddressFilter, RangesMatchByPrefixInTheirOwnFamily) {
    // Prefixes that end inside a byte, /0, whole addresses, IPv6 and IPv4-mapped peers.
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    AddressFilter filter;
    std::string bad;
    ASSERT_TRUE(filter.Parse("10.1.128.0/17, 192.0.2.7,fd00::/8  2001:db8::1", &bad)) << bad;
    EXPECT_TRUE(filter.Allows(Address("10.1.200.3")));
    EXPECT_FALSE(filter.Allows(Address("10.1.127.255")));
    EXPECT_TRUE(filter.Allows(Address("192.0.2.7")));
    EXPECT_FALSE(filter.Allows(Address("192.0.2.8")));
    EXPECT_TRUE(filter.Allows(Address("fdff::5")));
    EXPECT_FALSE(filter.Allows(Address("fe00::5")));
    EXPECT_TRUE(filter.Allows(Address("::ffff:192.0.2.7"))) << "an IPv4-mapped peer is its IPv4 address";
    EXPECT_FALSE(filter.Allows(PeerAddress()));
    EXPECT_EQ("10.1.128.0/17, 192.0.2.7, fd00::/8, 2001:db8::1", filter.Text());

    AddressFilter all;
    ASSERT_TRUE(all.Parse("0.0.0.0/0", &bad));
    EXPECT_TRUE(all.Allows(Address("203.0.113.9")));
    EXPECT_FALSE(all.Allows(Address("::1"))) << "an IPv4 range says nothing of IPv6";
    EXPECT_TRUE(AddressFilter::Everyone().Allows(Address("::1")));
    EXPECT_TRUE(AddressFilter::Loopback().Allows(Address("127.9.9.9")));
    EXPECT_FALSE(AddressFilter::Loopback().Allows(Address("10.0.0.1")));

    // A bad entry is named; the good ones stay.
    AddressFilter partly;
    EXPECT_FALSE(partly.Parse("192.0.2.0/24, printer.example, 10.0.0.0/33", &bad));
    EXPECT_EQ("printer.example", bad);
    EXPECT_EQ("192.0.2.0/24", partly.Text());
    WSACleanup();
}
