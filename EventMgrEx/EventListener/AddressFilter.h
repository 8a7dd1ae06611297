// AddressFilter.h -- which peer addresses a setting lets in: single addresses and CIDR ranges, IPv4 and IPv6.
#pragma once

#include <string>
#include <vector>

#include "PeerAddress.h"

class AddressFilter {
public:
    // Everyone, or nobody until ranges are added.
    static AddressFilter Everyone();
    static AddressFilter Loopback();  // 127.0.0.0/8 and ::1

    // Reads "192.0.2.7, 10.0.0.0/8 fd00::/8" (commas or blanks between entries; "*" is everyone).
    // False when an entry is not an address or range; `*bad` then names the first such entry and
    // the filter holds the entries that were good.
    bool Parse(const std::string& text, std::string* bad);

    bool Allows(const PeerAddress& peer) const;
    // The entries as a setting would say them, for messages and the status page.
    std::string Text() const;

private:
    struct Range {
        PeerAddress address;
        unsigned prefix;
    };
    bool mEveryone = false;
    std::vector<Range> mRanges;
};
