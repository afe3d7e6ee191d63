// Builds IPv4 and IPv6 packets for the flow-table and queue tests.
#ifndef VESK_TEST_FLOW_PACKETS_H
#define VESK_TEST_FLOW_PACKETS_H

#include <cstdint>
#include <vector>

namespace flowtest {

inline void put16(std::vector<uint8_t> &p, size_t at, uint16_t v) {
  p[at] = static_cast<uint8_t>(v >> 8);
  p[at + 1] = static_cast<uint8_t>(v);
}

// A transport header: TCP (20 bytes, given flags) or UDP (8 bytes), then payload.
inline std::vector<uint8_t> transport(uint8_t protocol, uint16_t sport, uint16_t dport,
                                      uint8_t tcpFlags = 0x02, size_t payload = 0) {
  std::vector<uint8_t> t(protocol == 6 ? 20 : 8, 0);
  put16(t, 0, sport);
  put16(t, 2, dport);
  if (protocol == 6) {
    t[12] = 5 << 4;
    t[13] = tcpFlags;
    put16(t, 14, 65535);
  } else {
    put16(t, 4, static_cast<uint16_t>(8 + payload));
  }
  t.resize(t.size() + payload, 'x');
  return t;
}

inline std::vector<uint8_t> ipv4(uint8_t protocol, uint32_t src, uint32_t dst,
                                 const std::vector<uint8_t> &l4, uint16_t fragment = 0,
                                 uint8_t ihl = 5) {
  std::vector<uint8_t> p(20, 0);
  p[0] = static_cast<uint8_t>(0x40 | ihl);
  put16(p, 2, static_cast<uint16_t>(20 + l4.size()));
  put16(p, 6, fragment);
  p[8] = 64;
  p[9] = protocol;
  for (int i = 0; i < 4; i++) {
    p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
    p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
  }
  p.insert(p.end(), l4.begin(), l4.end());
  return p;
}

// IPv6 with the given extension headers (type, total length in bytes) in
// front of the transport header.
struct Extension {
  uint8_t type;
  uint16_t length;
  uint16_t fragmentOffset;
};

inline std::vector<uint8_t> ipv6(uint8_t protocol, uint8_t srcLast, uint8_t dstLast,
                                 const std::vector<uint8_t> &l4,
                                 const std::vector<Extension> &extensions = {}) {
  std::vector<uint8_t> p(40, 0);
  p[0] = 0x60;
  p[7] = 64;
  p[8] = 0xfd;
  p[23] = srcLast;
  p[24] = 0xfd;
  p[39] = dstLast;
  p[6] = extensions.empty() ? protocol : extensions[0].type;
  for (size_t i = 0; i < extensions.size(); i++) {
    std::vector<uint8_t> h(extensions[i].length, 0);
    h[0] = i + 1 < extensions.size() ? extensions[i + 1].type : protocol;
    if (extensions[i].type == 44)
      put16(h, 2, static_cast<uint16_t>(extensions[i].fragmentOffset << 3));
    else
      h[1] = static_cast<uint8_t>(extensions[i].length / 8 - 1);
    p.insert(p.end(), h.begin(), h.end());
  }
  p.insert(p.end(), l4.begin(), l4.end());
  put16(p, 4, static_cast<uint16_t>(p.size() - 40));
  return p;
}

}  // namespace flowtest

#endif
