// The packets of bench/flood's new flows, also sent by bench/first_packet.
#ifndef VESK_BENCH_NEW_FLOW_PACKETS_H
#define VESK_BENCH_NEW_FLOW_PACKETS_H

#include <cstdint>
#include <cstring>

namespace bench {

inline void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Flow i: source 10.(i / 60000) as an address, its own port; 10.78.0.2:9999.
inline uint32_t newFlowPacket(uint32_t i, bool tcp, uint8_t *p) {
  uint32_t l4 = tcp ? 40 : 16;  // TCP: a SYN with the usual 20 bytes of options
  uint32_t length = 20 + l4;
  memset(p, 0, length);
  p[0] = 0x45;
  put16(p + 2, static_cast<uint16_t>(length));
  p[8] = 64;
  p[9] = tcp ? 6 : 17;
  uint32_t source = 0x0A000000u + 1 + i / 60000, destination = 0x0A4E0002u;
  for (int k = 0; k < 4; k++) {
    p[12 + k] = static_cast<uint8_t>(source >> (24 - 8 * k));
    p[16 + k] = static_cast<uint8_t>(destination >> (24 - 8 * k));
  }
  uint8_t *t = p + 20;
  put16(t, static_cast<uint16_t>(1024 + i % 60000));
  put16(t + 2, 9999);
  if (tcp) {
    t[4] = 0x12;  // sequence number
    t[12] = 0xA0;  // 40-byte header
    t[13] = 0x02;  // SYN
    put16(t + 14, 64240);
    const uint8_t options[20] = {2, 4, 0x05, 0xB4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
    memcpy(t + 20, options, sizeof(options));
  } else {
    put16(t + 4, 16);
    memcpy(t + 8, "floodxx", 8);
  }
  return length;
}

}  // namespace bench

#endif
