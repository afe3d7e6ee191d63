/* What the STUN, RTP/RTCP and Zoom dissectors share: the media header test,
 * the payload-type tables, the STUN message parser and the STUN follow-up
 * reader that media flows are handed to; and what RTP and the call
 * services whose packets can look like RTP (LINE, Viber) ask of each other. */
#ifndef OXLO_MEDIA_PRIVATE_H
#define OXLO_MEDIA_PRIVATE_H

#include "oxlo_dissector.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OXLO_MEDIA_AUDIO 0x01u
#define OXLO_MEDIA_VIDEO 0x02u
#define OXLO_MEDIA_SCREEN_SHARING 0x04u

/* 0 neither, 1 RTP (sequence number written when asked), 2 RTCP. */
int rtp_or_rtcp_check(const oxlo_reader *data, uint16_t *sequence);
/* 1 when the 7-bit payload type is 0..34 or 96..127. */
int rtp_payload_type_check(uint8_t payload_type);
/* ORs the audio or video bit of the payload type for the application into
 * media; 1 when the type was known. */
int rtp_media_type_by_payload_type(uint8_t payload_type, uint8_t *media, uint16_t application);

/* 1 once the RTP dissector counted a media packet of the flow and is
 * still following it. */
int rtp_counting_started(const oxlo_flow_state *flow);
/* 1 while the LINE call dissector follows the flow's byte-3 sequence and
 * both directions have followed it at least twice. */
int line_sequence_followed_both_ways(const oxlo_flow_state *flow);

/* -1 not STUN, 0 not STUN now, 1 STUN; may set a service and a category.
 * depth: how deep inside another STUN payload the message sits. */
int stun_parse_message(oxlo_module *module, oxlo_flow_state *flow, const oxlo_reader *payload,
                       uint16_t *app, uint32_t *category, int depth);
/* The STUN follow-up reader (1: call again). */
int stun_search_again(oxlo_module *module, oxlo_flow_state *flow);
int stun_search_again_encapsulated(oxlo_module *module, oxlo_flow_state *flow);
/* Installs the STUN follow-up reader on a classified flow when it has none
 * and STUN still wants packets (plain 0: the encapsulated form). */
void stun_extra_dissection_start(oxlo_module *module, oxlo_flow_state *flow, int plain);
/* 0 for no service or one that only names the transport. */
int stun_subclassification_is_real(uint16_t id);
/* The Zoom media header test (sets the flow's media bits); 1 on a hit. */
int zoom_media_check(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *data, size_t length);
/* The Signal client cache (the TLS dissector fills it for Signal servers). */
void signal_cache_insert(oxlo_module *module, oxlo_flow_state *flow);
int signal_cache_contains(oxlo_module *module, oxlo_flow_state *flow);

#ifdef __cplusplus
}
#endif

#endif
