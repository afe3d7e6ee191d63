/* The TCP stream of a flow: each direction put back in sequence order before
 * dissection, and the bytes dissectors keep to read a PDU that spans
 * segments. Engine-internal; dissectors use the stream calls of
 * oxlo_dissector.h.
 *
 * What the receiving host keeps is what the dissectors read. The policy for
 * bytes sent more than once follows a Linux receiver:
 *  - bytes already delivered in order are never delivered again: the first
 *    copy wins, a later copy with other bytes is ignored;
 *  - among segments held out of order, the one that starts earlier wins the
 *    bytes it shares with another; at an equal start a longer newcomer
 *    replaces the held one, otherwise the held one stays;
 *  - a segment that fills the gap wins over the held bytes it overlaps;
 *  - a segment that starts at or beyond the right edge of the receiver's
 *    last advertised window (scaled as the handshake agreed; the module's
 *    sequence window when the handshake was not seen) is ignored;
 *  - a segment wholly before the next expected byte is a retransmission,
 *    whatever came before it.
 *
 * Nothing is allocated for a flow whose segments arrive in order and whose
 * dissectors never keep bytes: the delivered bytes then point into the
 * packet. */
#ifndef OXLO_STREAM_H
#define OXLO_STREAM_H

#include "oxlo_api.h"

#include <stddef.h>
#include <stdint.h>

/* Bounds of the stream view. A direction whose held and kept bytes would
 * pass OXLO_STREAM_DIR_BYTES (a 16 KiB ClientHello cut in many records and
 * segments fits), that holds more than OXLO_STREAM_DIR_SEGMENTS segments,
 * or whose gap stays open OXLO_STREAM_GAP_TIMEOUT_MS, degrades: what it held
 * and kept is dropped, later segments are delivered as they come (a gap is
 * skipped), and no dissector can keep bytes in it any more. The module's
 * flows together hold at most OXLO_STREAM_MODULE_BYTES. A flow that waits
 * for bytes and gets OXLO_STREAM_IDLE_PACKETS segments that bring nothing
 * new (duplicates, out of window) degrades in both directions. */
#define OXLO_STREAM_DIR_BYTES (32u * 1024u)
#define OXLO_STREAM_DIR_SEGMENTS 64u
#define OXLO_STREAM_GAP_TIMEOUT_MS 10000u
#define OXLO_STREAM_MODULE_BYTES (64u * 1024u * 1024u)
#define OXLO_STREAM_IDLE_PACKETS 256u
/* A packet that fills a gap delivers at most this many bytes (the payload
 * length is 16-bit); what is left comes with the next packet of the
 * direction. */
#define OXLO_STREAM_JOIN_MAX 65535u

/* flow->stream_flags[d] bits */
#define OXLO_STREAM_KNOWN     0x01u /* next_seq[d] and stream_base[d] are set */
#define OXLO_STREAM_SYN_SEEN  0x02u /* the SYN of direction d was seen */
#define OXLO_STREAM_WSCALE    0x04u /* that SYN carried the window-scale option */
#define OXLO_STREAM_EDGE      0x08u /* stream_edge[d] holds the receiver's window edge */
#define OXLO_STREAM_DEGRADED  0x10u /* a bound was hit: no holding, no keeping */
#define OXLO_STREAM_SYN_DATA  0x20u /* the last SYN of direction d carried bytes */
#define OXLO_STREAM_ISN_ACKED 0x40u /* the peer acknowledged stream_base[d] - 1 as the ISN */
#define OXLO_STREAM_URGENT    0x80u /* urgent data came: no byte of d is delivered any more */
/* flow->stream_state bits */
#define OXLO_STREAM_PENDING   0x01u /* oxlo_dissector_pending(on) */
#define OXLO_STREAM_BOUND_HIT 0x02u /* a bound was hit in some direction */

struct oxlo_stream;
struct oxlo_stream_account;

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the TCP packet in process (module->det.packet) through its flow's
 * stream: the packet's payload becomes the bytes it adds in order (none for
 * a held, stale or out-of-window segment; a stale one is marked as a
 * retransmission), the raw segment stays in packet.segment. */
void oxlo_stream_packet(oxlo_module *module, oxlo_flow_state *flow);
/* Frees what the flow's stream holds and keeps (with the flow, and when
 * detection ends). */
void oxlo_stream_release(oxlo_flow_state *flow);
/* 1 when some dissector waits for more bytes in a direction that is within
 * its bounds. */
int oxlo_stream_waiting(const oxlo_flow_state *flow);
/* 1 while a direction that has not degraded holds bytes ahead of a gap:
 * nothing was dissected from them yet, so the flow is not done. */
int oxlo_stream_holding(const oxlo_flow_state *flow);
/* The calling dissector cannot read whole a message that may carry what a
 * rule matches (too long to keep): counted and logged as a bound hit, and
 * the flow is one whose stream could not all be read. Frees nothing (the
 * dissector may still be reading its view). */
void oxlo_stream_unread(oxlo_module *module, oxlo_flow_state *flow);
/* Before a dissector's call: 1 when it must be skipped because it waits for
 * more bytes in this packet's direction (the packet then goes to its
 * discount); 0 to call it. */
int oxlo_stream_skip(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector);
/* 1 when the dissector keeps bytes in this packet's direction. */
int oxlo_stream_keeping(const oxlo_module *module, const oxlo_flow_state *flow, uint16_t dissector);
/* After a dissector's call: applies its need / consume, drops its kept
 * bytes when it excluded itself, and every dissector's when the call
 * classified the flow (but those of the one that installed the follow-up
 * reader). */
void oxlo_stream_after_call(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector,
                            uint16_t app_before);
/* Drops a dissector's kept bytes in both directions. */
void oxlo_stream_drop_keep(oxlo_module *module, oxlo_flow_state *flow, uint16_t dissector);
/* The calling dissector's view of the packet's direction. */
void oxlo_stream_view(const oxlo_module *module, const oxlo_flow_state *flow, const uint8_t **data,
                      size_t *length, uint32_t *offset);
/* The discount of a dissector: packets it was not called for because it
 * waited (payload packets, per direction, all). */
void oxlo_stream_discount(const oxlo_flow_state *flow, uint16_t dissector, uint16_t *payload,
                          uint16_t payload_dir[2], uint16_t *packets);
/* The kit's need / consume for the calling dissector. */
int oxlo_stream_need(oxlo_module *module, oxlo_flow_state *flow, size_t total);
void oxlo_stream_consume(oxlo_module *module, oxlo_flow_state *flow, size_t count);
/* Module set-up and tear-down of the stream accounting (the account
 * outlives the module while flows still hold bytes). */
int oxlo_stream_module_init(oxlo_module *module);
void oxlo_stream_module_free(oxlo_module *module);

#ifdef __cplusplus
}
#endif

#endif
