/* The DNS dissector's per-flow state, for the dissector and its tests. */
#ifndef OXLO_DNS_PRIVATE_H
#define OXLO_DNS_PRIVATE_H

#include <stdint.h>

/* What the dissector keeps of a DNS flow. */
typedef struct oxlo_dns_answer_address {
    uint8_t address[16];
    uint8_t is_ipv6;
    uint32_t ttl;
} oxlo_dns_answer_address;

#define OXLO_DNS_MAX_ADDRESSES 8

typedef struct oxlo_dns_flow {
    uint8_t query_seen;
    uint8_t question_count;
    uint8_t record_count;   /* answers + authority + additional, saturated */
    uint8_t response_code;
    uint16_t transaction_id;
    uint16_t query_type;
    uint16_t answer_type;
    uint16_t edns_payload_size;
    oxlo_dns_answer_address addresses[OXLO_DNS_MAX_ADDRESSES];
    uint8_t address_count;
    char ptr_name[64];
    char location[4];
} oxlo_dns_flow;

#endif
