/* The engine's per-flow state and the calls of detection on it.
 * Engine-internal; dissectors keep their own state (oxlo_dissector.h). */
#ifndef OXLO_FLOW_STATE_H
#define OXLO_FLOW_STATE_H

#include "oxlo_api.h"
#include "oxlo_utils.h"

/* ---- the flow state ----------------------------------------------------- */

/* flags_a bits */
#define OXLO_FLOW_GUESS_DONE      0x01u
#define OXLO_FLOW_INITIALISED     0x02u
#define OXLO_FLOW_CLIENT_DIR      0x04u
#define OXLO_FLOW_LINES_SEEN      0x08u  /* a CR LF was seen in the flow */
#define OXLO_FLOW_IPV6            0x10u
#define OXLO_FLOW_FULLY_ENCRYPTED 0x20u
#define OXLO_FLOW_ENCRYPTED_PROTO 0x40u
#define OXLO_FLOW_BY_GIVEUP       0x80u
/* flags_b bits */
#define OXLO_FLOW_EOD_DONE        0x01u
#define OXLO_FLOW_RISKLIST_DONE   0x02u
#define OXLO_FLOW_BT_CACHE_DONE   0x04u
#define OXLO_FLOW_IN_HOST_RECLASS 0x08u
#define OXLO_FLOW_TEXTS_FROM_HEAP 0x10u  /* the texts block came from the heap, not a slab */
#define OXLO_FLOW_NO_MEMORY       0x20u  /* a name or the TCP block could not be kept: the flow stays unclassified */
#define OXLO_FLOW_TCP_FROM_HEAP   0x40u  /* the TCP block came from the heap, not a slab */
#define OXLO_FLOW_TRACK_FROM_SLAB 0x80u  /* the tracked payload is a short block of a slab */

#define OXLO_HOST_NAME_SIZE 80
#define OXLO_TRACK_SHORT_BLOCK 24  /* bytes of a short tracked-payload block */
/* Room in the TCP block for a fingerprint text and its NUL: the default
 * format's longest ("4095_255_65535_" and 12 hex digits) fits. */
#define OXLO_TCP_FINGERPRINT_INLINE 32
#define OXLO_FLOW_RISK_MESSAGES 8
#define OXLO_EXCLUDED_WORDS ((OXLO_MAX_DISSECTORS + 63) / 64)

typedef struct oxlo_flow_risk_message {
    uint32_t risk;
    char *text;
} oxlo_flow_risk_message;

/* The texts a flow may carry, out of line: most flows of a flood never name
 * a host, raise a risk with a message or get a fingerprint, so the block is
 * made on the first write (oxlo_flow_texts_make) and a flow without one reads
 * as empty. */
typedef struct oxlo_flow_texts {
    char host_name[OXLO_HOST_NAME_SIZE];
    char last_classified_host[OXLO_HOST_NAME_SIZE];
    char oxlo_fingerprint[33];     /* flow fingerprint, 32 hex digits or empty */
    oxlo_flow_risk_message risk_messages[OXLO_FLOW_RISK_MESSAGES];
    /* Further host names a request carried (owned, canonical). */
    char *host_candidates[OXLO_HOST_CANDIDATES];
    char *user_agent;              /* owned, NULL when none was stored */
} oxlo_flow_texts;

/* What only a TCP flow keeps, out of line: a flood of UDP flows never makes
 * one, and every byte of the flow state is paid by each flow of a flood.
 * Made zeroed on the flow's first TCP packet (oxlo_flow_tcp_make); a flow
 * without one has seen no TCP: no handshake, no flags, no times. */
typedef struct oxlo_flow_tcp {
    /* handshake times */
    uint64_t syn_ms;
    uint64_t synack_ms;
    uint64_t first_ack_ms;
    /* The SYN's fingerprint: in line when it fits (one of the default
     * format always does), else owned on the heap (fingerprint_kind). */
    union {
        char text[OXLO_TCP_FINGERPRINT_INLINE];
        char *heap;
    } fingerprint;
    char *tcp_raw_options;
    struct oxlo_stream *stream;    /* held segments and kept bytes, NULL when none */
    /* -- the stream section (oxlo_stream.cpp); next_seq is the next byte
     *    expected per direction -- */
    uint32_t next_seq[2];
    uint32_t stream_base[2];       /* sequence number of stream offset 0 */
    uint32_t stream_edge[2];       /* right edge of the receiver's window */
    uint32_t os_guess;
    uint16_t stream_idle_packets;  /* segments that brought nothing while waiting */
    /* Packets that only carried part of a PDU a dissector waits for, or
     * bytes held ahead of a gap: the flow's packet budget is not charged
     * for them (how a sender cuts its writes is no fact of the flow). */
    uint16_t stream_waited_packets;
    /* Bytes of segments without PSH not charged yet, per direction: a
     * write cut in small segments is charged by the full segments it
     * would fill. */
    uint16_t stream_unpushed[2];
    uint8_t stream_flags[2];       /* OXLO_STREAM_KNOWN ... */
    uint8_t stream_wscale[2];      /* window-scale shift of each side's SYN */
    uint8_t handshake;             /* 1 SYN, 2 SYN-ACK, 4 ACK */
    uint8_t tcp_flags_dir[2];
    uint8_t fingerprint_kind;      /* 0 none, 1 in line, 2 on the heap */
} oxlo_flow_tcp;

/* The TCP block's fingerprint text, NULL when none. */
static inline const char *oxlo_flow_tcp_fingerprint_text(const oxlo_flow_tcp *t)
{
    if (!t || t->fingerprint_kind == 0)
        return NULL;
    return t->fingerprint_kind == 1 ? t->fingerprint.text : t->fingerprint.heap;
}

/* Follow-up reader of a classified flow: returns 0 when done. */
typedef int (*oxlo_extra_dissection_callback)(oxlo_module *module, oxlo_flow_state *flow);


/* Ordered by size so the record has no holes: every byte here is paid by
 * each flow of a flood. Enumerations are kept in a byte (their values are
 * small); what only TCP needs is in the out-of-line TCP block. */
struct oxlo_flow_state {
    oxlo_extra_dissection_callback extra_dissection;
    uint64_t last_seen_ms;
    uint64_t risk_mask;            /* oxlo_risk_mask */
    /* -- risk section (oxlo_risks.cpp) -- */
    uint64_t risk_allowed_mask;    /* risks the exceptions leave, all ones until applied */
    uint64_t excluded[OXLO_EXCLUDED_WORDS];
    /* Each dissector keeps its own per-flow state in a block of its own
     * (oxlo_dissector_state), allocated on first use and freed on
     * exclusion or with the flow. */
    struct oxlo_dstate *dstates;
    oxlo_flow_texts *texts;        /* NULL until a text is first written */
    oxlo_flow_tcp *tcp;            /* NULL until the flow's first TCP packet */
    uint8_t *track_payload;
    uint8_t client_address[16];
    uint8_t server_address[16];
    uint32_t address_category;     /* of the address lists, 0 none */
    uint32_t category;
    uint32_t breed;
    float entropy;
    uint16_t app;
    uint16_t master;
    oxlo_protocol_stack stack;
    uint16_t guess_by_port;
    uint16_t guess_by_address;
    uint16_t partial_guess;
    uint16_t packets_processed;
    uint16_t packets_continued;    /* of those, packets that carried only more of a message
                                      a follow-up was reading on in: not charged to the limit */
    uint16_t fpc_master;
    uint16_t fpc_app;
    uint16_t track_payload_length;
    uint16_t client_port;          /* network order */
    uint16_t server_port;          /* network order */
    uint16_t payload_packets;
    uint16_t payload_packets_dir[2];
    uint16_t packets;
    uint16_t packets_dir[2];
    uint16_t calling_dissector;    /* index + 1 of the dissector in its call, 0 none */
    uint16_t host_name_setter;     /* index + 1 of the dissector that stored host_name, 0 none */
    uint16_t extra_installer;      /* index + 1 of the one that set extra_dissection */
    uint8_t state;                 /* oxlo_detection_state */
    uint8_t confidence;            /* oxlo_confidence_level */
    uint8_t fpc_kind;              /* oxlo_fpc_kind */
    uint8_t l4_protocol;
    uint8_t flags_a;
    uint8_t flags_b;
    uint8_t extra_budget;
    uint8_t extra_packets;
    uint8_t extra_midway;          /* the follow-up's last call read on in a message (uncharged) */
    uint8_t risk_message_count;    /* messages in texts->risk_messages */
    uint8_t risk_exception_state;  /* bit 0 addresses applied, bit 1 host applied */
    uint8_t host_candidate_count;  /* names in texts->host_candidates */
    uint8_t media_types;
    uint8_t stream_state;          /* OXLO_STREAM_PENDING, OXLO_STREAM_BOUND_HIT */
    /* -- payload line parser section (a CR LF seen: OXLO_FLOW_LINES_SEEN) -- */
    uint8_t body_start_length;
    uint8_t body_start[8];         /* first bytes after the empty line */
};

/* The flow's host name, "" when none was stored. */
static inline const char *oxlo_flow_host(const oxlo_flow_state *flow)
{
    return flow->texts ? flow->texts->host_name : "";
}

/* Marks the dissector of this index as done with the flow (an index past
 * the table is ignored). In line: a new flow's first datagram ends most of
 * the calls it is offered in one. */
static inline void oxlo_flow_mark_excluded(oxlo_flow_state *flow, uint32_t index)
{
    if (index < OXLO_MAX_DISSECTORS)
        flow->excluded[index / 64] |= (uint64_t)1 << (index % 64);
}

/* The flow's TCP stream (held segments and kept bytes), NULL when none. */
static inline struct oxlo_stream *oxlo_flow_stream(const oxlo_flow_state *flow)
{
    return flow->tcp ? flow->tcp->stream : NULL;
}

/* The flow's stored user agent, NULL when none. */
static inline const char *oxlo_flow_stored_user_agent(const oxlo_flow_state *flow)
{
    return flow->texts ? flow->texts->user_agent : NULL;
}

/* Forgets the stored host name (a name read from bytes that turned out not
 * to carry one). */
static inline void oxlo_flow_host_clear(oxlo_flow_state *flow)
{
    if (flow->texts)
        flow->texts->host_name[0] = '\0';
}

/* Engine-internal calls of detection (oxlo_detection.cpp, oxlo_dissectors.cpp,
 * oxlo_flow.cpp). */
#ifdef __cplusplus
extern "C" {
#endif
/* Finalization: allocate the table, register the built-in dissectors
 * (oxlo_dissectors_init), then after plug-ins have registered theirs build
 * the call lists (oxlo_dissectors_finish); freed by oxlo_dissectors_free. */
int oxlo_dissectors_init(oxlo_module *module);
int oxlo_dissectors_finish(oxlo_module *module);
void oxlo_dissectors_free(oxlo_module *module);
uint32_t oxlo_dissect_flow(oxlo_module *module, oxlo_flow_state *flow, dissector_flow_mask packet_set,
                           oxlo_dissector_entry **list, uint32_t count);
/* Call list 0 TCP with payload, 1 TCP without payload, 2 UDP, 3 other IP. */
oxlo_dissector_entry **oxlo_dissector_list(oxlo_module *module, uint32_t which, uint32_t *count);
int oxlo_flow_dissector_excluded(const oxlo_flow_state *flow, uint32_t index);
void oxlo_flow_giveup_detection(oxlo_module *module, oxlo_flow_state *flow);
void oxlo_flow_first_packet_classify(oxlo_module *module, oxlo_flow_state *flow);
/* The BitTorrent cache check of the give-up, once per flow: 1 on a hit. */
int oxlo_bittorrent_cache_lookup(oxlo_module *module, oxlo_flow_state *flow);
/* Protocol of the flow's stored address guess; without a flow, of the first
 * address, else the second, in the protocols-by-address lists (network order). */
uint16_t guess_protocol_by_ipv4_addresses(oxlo_module *module, const oxlo_flow_state *flow, uint32_t address1,
                                          uint32_t address2);
oxlo_classification oxlo_flow_result(oxlo_module *module, const oxlo_flow_state *flow);
/* The flow's texts block, made zeroed on first use from the slab of the
 * module (or, without one, of the module classifying on this thread, else
 * from the heap). NULL without memory: the flow is then flagged
 * OXLO_FLOW_NO_MEMORY when `needed` (a host name a rule may match could not
 * be kept), and detection ends on it unclassified. */
oxlo_flow_texts *oxlo_flow_texts_make(oxlo_module *module, oxlo_flow_state *flow, int needed);
/* A zeroed block of `size` bytes from one of the module's slabs, the slab
 * made on first use (`chunk_slots` slots a chunk, `spare_floor` emptied
 * chunks kept); NULL without memory. */
void *oxlo_module_block_take(struct oxlo_slab **slab, size_t size, uint32_t chunk_slots, uint32_t spare_floor);
/* Sets (NULL clears) the module classifying on this thread. */
void oxlo_flow_texts_thread_module(oxlo_module *module);
/* The flow's TCP block, made zeroed on first use from the slab of the
 * module (without one from the heap). NULL without memory: the flow is then
 * flagged OXLO_FLOW_NO_MEMORY, and detection ends on it unclassified (its
 * stream and handshake could not be followed). */
oxlo_flow_tcp *oxlo_flow_tcp_make(oxlo_module *module, oxlo_flow_state *flow);
/* Stores the fingerprint text (a copy); -1 without memory for a long one. */
int oxlo_flow_tcp_fingerprint_set(oxlo_flow_tcp *tcp, const char *text);
/* Releases what a flow state owns, not the block itself. */
void oxlo_flow_state_release(oxlo_flow_state *flow);
void oxlo_flow_end_of_detection(oxlo_module *module, oxlo_flow_state *flow);
void oxlo_flow_fill_category(oxlo_module *module, oxlo_flow_state *flow);
/* Reads the detection knobs into module->det.settings (finalization). */
void oxlo_detection_settings_load(oxlo_module *module);
#ifdef __cplusplus
}
#endif

#endif
