// The queue's header parse on arbitrary bytes: never reads outside the
// packet, and what it accepts has its transport header inside the packet.
#include <cstdlib>

#include "PacketTuple.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 0xFFFF) return 0;
  // A copy of exactly the input's size, so that any overread is caught.
  uint8_t *packet = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(packet, data, size);
  PacketTuple t;
  if (parsePacketTuple(packet, static_cast<uint32_t>(size), &t)) {
    uint32_t header = t.l4Protocol == 6 ? 20 : 8;
    if (t.transportOffset + header > size) abort();
    if (t.ipVersion != 4 && t.ipVersion != 6) abort();
  }
  free(packet);
  return 0;
}
