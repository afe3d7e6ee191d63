/* The packet in process: its headers, payload and the payload line table.
 * Engine-internal. */
#ifndef OXLO_PACKET_H
#define OXLO_PACKET_H

#include "oxlo_api.h"

/* ---- per-packet state and dispatch (detection) -------------------------- */
/* Defined ahead of the module so that the module can embed them. */

#include <stdio.h>

static inline uint16_t oxlo_swap16(uint16_t v) { return (uint16_t)((v >> 8) | (v << 8)); }
/* Big-endian reads from packet bytes; callers check the bounds first. */
static inline uint16_t oxlo_be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t oxlo_be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* -- payload line parser section (oxlo_line_parser.cpp) -- */
#define OXLO_MAX_PAYLOAD_LINES 64

/* A stretch of the current payload: absent when len is 0. */
typedef struct oxlo_payload_line {
    const uint8_t *ptr;
    uint16_t len;
} oxlo_payload_line;

/* What the line parser found in the current payload. */
typedef struct oxlo_line_table {
    oxlo_payload_line line[OXLO_MAX_PAYLOAD_LINES];
    uint16_t header_end;     /* offset of the empty line ending the headers */
    uint8_t headers_complete;
    oxlo_payload_line accept, authorization, bootid, content_disposition, content_type,
        cache_control, host, location, man, mx, nt, nts, origin, referer, server,
        securelocation, st, user_agent, upgrade, usn, forwarded, response_status;
} oxlo_line_table;

/* The parsed packet in process; rebuilt for each packet. */
#define OXLO_PACKET_RETRANSMISSION 0x01u
#define OXLO_PACKET_DIRECTION      0x02u
#define OXLO_PACKET_LINES_PARSED   0x04u
#define OXLO_PACKET_HEADERS_PARSED 0x08u

typedef struct oxlo_packet_state {
    const uint8_t *iph;            /* IPv4 header or NULL */
    const uint8_t *iph6;           /* IPv6 header or NULL */
    const uint8_t *tcp;            /* TCP header or NULL */
    const uint8_t *udp;            /* UDP header or NULL */
    /* TCP: the bytes this packet adds to its direction's stream in order
     * (the raw segment is in `segment`); the L4 payload otherwise. */
    const uint8_t *payload;
    uint16_t payload_length;
    uint16_t l4_length;
    const uint8_t *segment;        /* the L4 payload as it came in the packet */
    uint16_t segment_length;
    uint8_t l4_protocol;
    uint8_t flags;                 /* OXLO_PACKET_* */
    uint8_t direction;             /* direction bit of this packet */
    uint8_t ttl;                   /* IPv4 TTL or IPv6 hop limit */
    uint64_t time_ms;
    uint8_t *input_info;           /* caller's two bytes, or NULL */
    /* Line table of the payload line parser: filled by its owner. */
    uint16_t line_count;
    oxlo_line_table lines;         /* valid while OXLO_PACKET_LINES_PARSED */
    char fingerprint[128];
    char raw_options[128];
} oxlo_packet_state;

#endif
