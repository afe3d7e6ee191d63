/* Cyclic redundancy checks carried by industrial and metering protocols.
 * Each is computed byte-wise with a 256-entry table built from its
 * polynomial; results are plain numbers, the caller compares them with the
 * value in the packet in that protocol's byte order. */
#ifndef OXLO_CRC_H
#define OXLO_CRC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CRC-16/KERMIT: 0x1021 reflected, initial 0, no final XOR. */
uint16_t crc16_kermit(const void *data, size_t length);
/* CRC-16/CCITT-FALSE: 0x1021, initial 0xFFFF, no final XOR. */
uint16_t crc16_ccitt_false(const void *data, size_t length);
/* CRC-16/XMODEM: 0x1021, initial 0, no final XOR. */
uint16_t crc16_xmodem(const void *data, size_t length);
/* CRC-16/X-25: 0x1021 reflected, initial 0xFFFF, final XOR 0xFFFF. */
uint16_t crc16_x25(const void *data, size_t length);
/* CRC-32 (ISO-HDLC), continued over further data: start with previous 0
 * and pass each result back in. */
uint32_t crc32_update(const void *data, size_t length, uint32_t previous);

#ifdef __cplusplus
}
#endif

#endif
