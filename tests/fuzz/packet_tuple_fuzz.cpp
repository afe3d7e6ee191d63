// The queue's header parse on arbitrary bytes: never reads outside the
// packet, and what it accepts has its transport header inside the packet.
// The address read of the fallback verdict agrees with it.
#include <cstdlib>
#include <cstring>

#include "PacketTuple.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFF) return 0;
  // A copy of exactly the input's size, so that any overread is caught.
  uint8_t *packet = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(packet, data, size);
  PacketTuple t;
  uint8_t source[16], destination[16];
  int version = packetAddresses(packet, static_cast<uint32_t>(size), source, destination);
  if (version != 0 && version != 4 && version != 6) abort();
  if (parsePacketTuple(packet, static_cast<uint32_t>(size), &t)) {
    uint32_t header = t.l4Protocol == 6 ? 20 : 8;
    if (t.transportOffset + header > size) abort();
    if (t.ipVersion != 4 && t.ipVersion != 6) abort();
    if (version != t.ipVersion) abort();
    if (version == 6 && memcmp(source, t.source, 16) != 0) abort();
    if (version == 4) {
      uint32_t s;
      memcpy(&s, t.source, 4);
      if (source[0] != (s >> 24) || source[3] != (s & 0xFF)) abort();
    }
  }
  free(packet);
  return 0;
}
