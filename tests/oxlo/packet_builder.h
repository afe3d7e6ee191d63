// Small builders of IPv4/IPv6 packets for the detection tests.
#ifndef VESK_TEST_PACKET_BUILDER_H
#define VESK_TEST_PACKET_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pkt {

using bytes = std::vector<uint8_t>;

inline void copy_in(bytes &b, size_t at, const void *src, size_t n)
{
    if (n)
        std::memcpy(b.data() + at, src, n);
}

inline void put16(bytes &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}
inline void put32(bytes &b, size_t at, uint32_t v)
{
    put16(b, at, uint16_t(v >> 16));
    put16(b, at + 2, uint16_t(v));
}

struct tcp_opts {
    uint8_t flags = 0x18; // PSH|ACK
    uint32_t seq = 1000;
    uint32_t ack = 1;
    uint16_t window = 64240;
    bytes options;          // padded by the caller to a multiple of 4
    int data_offset = -1;   // words; -1: computed
    uint16_t urgent = 0;    // the urgent pointer (with URG, 0x20, in flags)
};

inline bytes tcp(uint16_t sport, uint16_t dport, const std::string &payload, const tcp_opts &o = {})
{
    const size_t hl = 20 + o.options.size();
    bytes b(hl + payload.size(), 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    put32(b, 4, o.seq);
    put32(b, 8, o.ack);
    b[12] = uint8_t((o.data_offset >= 0 ? o.data_offset : int(hl / 4)) << 4);
    b[13] = o.flags;
    put16(b, 14, o.window);
    put16(b, 18, o.urgent);
    copy_in(b, 20, o.options.data(), o.options.size());
    copy_in(b, hl, payload.data(), payload.size());
    return b;
}

inline bytes udp(uint16_t sport, uint16_t dport, const std::string &payload)
{
    bytes b(8 + payload.size(), 0);
    put16(b, 0, sport);
    put16(b, 2, dport);
    put16(b, 4, uint16_t(b.size()));
    copy_in(b, 8, payload.data(), payload.size());
    return b;
}

struct ip4_opts {
    uint32_t src = 0x0a000002; // 10.0.0.2
    uint32_t dst = 0x0a000001; // 10.0.0.1
    uint16_t frag = 0;         // flags and offset word
    uint8_t ttl = 64;
    int ihl = 5;
    int total = -1;            // -1: computed
};

inline bytes ipv4(uint8_t proto, const bytes &l4, const ip4_opts &o = {})
{
    bytes b(20 + l4.size(), 0);
    b[0] = uint8_t(0x40 | (o.ihl & 0x0F));
    put16(b, 2, uint16_t(o.total >= 0 ? o.total : int(b.size())));
    put16(b, 6, o.frag);
    b[8] = o.ttl;
    b[9] = proto;
    put32(b, 12, o.src);
    put32(b, 16, o.dst);
    copy_in(b, 20, l4.data(), l4.size());
    return b;
}

// IPv6 with optional extension headers given as raw bytes (their next
// header fields must be filled by the caller); first_next is the next
// header of the fixed header.
inline bytes ipv6(uint8_t first_next, const bytes &ext_and_l4, uint8_t last = 1)
{
    bytes b(40 + ext_and_l4.size(), 0);
    b[0] = 0x60;
    put16(b, 4, uint16_t(ext_and_l4.size()));
    b[6] = first_next;
    b[7] = 64;
    b[8] = 0xfd;
    b[23] = uint8_t(last + 1);
    b[24] = 0xfd;
    b[39] = last;
    copy_in(b, 40, ext_and_l4.data(), ext_and_l4.size());
    return b;
}

inline bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace pkt

#endif
