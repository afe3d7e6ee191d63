// The 5-tuple of a queued IP packet, read with bounds checks: what the
// queue tracks (TCP and UDP over IPv4 and IPv6) and nothing else.
#ifndef VESK_PACKETTUPLE_H
#define VESK_PACKETTUPLE_H

#include <cstdint>
#include <cstring>

struct PacketTuple {
  uint8_t ipVersion;         // 4 or 6
  uint8_t l4Protocol;        // 6 TCP or 17 UDP
  uint32_t transportOffset;  // where the TCP or UDP header starts
  // IPv4: host byte order in the first 32-bit word, rest zero; IPv6 as sent.
  uint8_t source[16];
  uint8_t destination[16];
  uint16_t sourcePort, destinationPort;  // host byte order
};

// False when the packet is not tracked: not IPv4/IPv6, too short, not TCP or
// UDP, transport header not wholly inside the packet, a fragment that does
// not begin the datagram, or a first UDP fragment over IPv4.
inline bool parsePacketTuple(const uint8_t *packet, uint32_t length, PacketTuple *t) {
  if (length < 1) return false;
  uint8_t version = packet[0] >> 4;
  uint32_t offset;
  uint8_t protocol;
  if (version == 4) {
    if (length < 20) return false;
    offset = (packet[0] & 0x0Fu) * 4u;
    if (offset < 20) return false;
    protocol = packet[9];
    uint16_t fragment = static_cast<uint16_t>(packet[6] << 8 | packet[7]);
    // A later fragment carries no transport header at all.
    if ((fragment & 0x1FFF) != 0) return false;
    if (protocol == 17 && (fragment & 0x2000) != 0) return false;
  } else if (version == 6) {
    if (length < 40) return false;
    offset = 40;
    protocol = packet[6];
    // Hop-by-hop, routing, fragment and destination options headers.
    while (protocol == 0 || protocol == 43 || protocol == 44 || protocol == 60) {
      if (offset + 8 > length) return false;
      uint8_t next = packet[offset];
      if (protocol == 44) {
        uint16_t fragmentOffset =
            static_cast<uint16_t>(packet[offset + 2] << 8 | packet[offset + 3]) >> 3;
        if (fragmentOffset != 0) return false;
        offset += 8;
      } else {
        offset += (packet[offset + 1] + 1u) * 8u;
      }
      protocol = next;
    }
  } else {
    return false;
  }
  uint32_t header = protocol == 6 ? 20 : protocol == 17 ? 8 : 0;
  if (header == 0 || offset + header > length) return false;

  t->ipVersion = version;
  t->l4Protocol = protocol;
  t->transportOffset = offset;
  memset(t->source, 0, sizeof(t->source));
  memset(t->destination, 0, sizeof(t->destination));
  if (version == 4) {
    uint32_t s = static_cast<uint32_t>(packet[12]) << 24 | packet[13] << 16 | packet[14] << 8 |
                 packet[15];
    uint32_t d = static_cast<uint32_t>(packet[16]) << 24 | packet[17] << 16 | packet[18] << 8 |
                 packet[19];
    memcpy(t->source, &s, 4);
    memcpy(t->destination, &d, 4);
  } else {
    memcpy(t->source, packet + 8, 16);
    memcpy(t->destination, packet + 24, 16);
  }
  t->sourcePort = static_cast<uint16_t>(packet[offset] << 8 | packet[offset + 1]);
  t->destinationPort = static_cast<uint16_t>(packet[offset + 2] << 8 | packet[offset + 3]);
  return true;
}

// The IP version (4 or 6) and the addresses of a packet in the rules' form
// (IPv4 in network byte order in the first four bytes, the rest zero; IPv6
// as sent), for packets that are not tracked as well; 0 when not even the
// IP header is there.
inline int packetAddresses(const uint8_t *packet, uint32_t length, uint8_t *source,
                           uint8_t *destination) {
  memset(source, 0, 16);
  memset(destination, 0, 16);
  if (!packet || length < 1) return 0;
  uint8_t version = packet[0] >> 4;
  if (version == 4 && length >= 20) {
    memcpy(source, packet + 12, 4);
    memcpy(destination, packet + 16, 4);
    return 4;
  }
  if (version == 6 && length >= 40) {
    memcpy(source, packet + 8, 16);
    memcpy(destination, packet + 24, 16);
    return 6;
  }
  return 0;
}

#endif
