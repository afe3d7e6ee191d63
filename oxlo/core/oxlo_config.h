/* Every knob's value, one field per knob. Engine-internal. */
#ifndef OXLO_CONFIG_H
#define OXLO_CONFIG_H

#include "oxlo_api.h"
#include "oxlo_lru.h"
#include "oxlo_utils.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One LRU cache's knobs. */
typedef struct oxlo_lru_config {
    int32_t size;
    int32_t ttl;
    int32_t scope;
} oxlo_lru_config;

/* Every knob's value; each knob owns exactly one field. */
typedef struct module_config {
    /* http */
    int32_t http_req_content_type, http_req_referer, http_req_host;
    int32_t http_req_username, http_req_password;
    int32_t http_resp_content_type, http_resp_server;
    int32_t http_process_response, http_subclassification;
    /* tls */
    int32_t tls_certificate_expiration_threshold;
    int32_t tls_application_blocks_tracking;
    int32_t tls_heuristics;
    int32_t tls_heuristics_max_packets;
    int32_t tls_sha1_fingerprint, tls_versions_supported, tls_alpn_negotiated;
    int32_t tls_cipher, tls_cert_server_names, tls_cert_validity;
    int32_t tls_cert_issuer, tls_cert_subject, tls_browser;
    int32_t tls_ja3s_fingerprint, tls_ja4c_fingerprint;
    int32_t tls_ja4r_fingerprint, tls_ja_data;
    int32_t tls_ja_ignore_ephemeral_tls_extn, tls_oxlofp_ignore_sni_tls_extn;
    int32_t tls_subclassification;
    int32_t tls_max_num_blocks_to_analyze;
    int32_t tls_blocks_show_timing;
    int32_t quic_subclassification;
    int32_t smtp_tls_dissection, imap_tls_dissection;
    int32_t pop_tls_dissection, ftp_tls_dissection;
    int32_t sip_attribute_from, sip_attribute_from_imsi;
    int32_t sip_attribute_to, sip_attribute_to_imsi;
    int32_t ssh_hassh_fingerprint, ssh_data;
    int32_t stun_tls_dissection, stun_max_packets_extra_dissection;
    int32_t stun_mapped_address, stun_response_origin, stun_other_address;
    int32_t stun_relayed_address, stun_peer_address;
    int32_t bittorrent_hash;
    int32_t ssdp_metadata;
    int32_t ntp_metadata;
    int32_t dns_subclassification, dns_process_response;
    int32_t ookla_aggressiveness;
    int32_t zoom_max_packets_extra_dissection;
    int32_t rtp_search_for_stun, rtp_max_packets_extra_dissection;
    int32_t openvpn_heuristics, openvpn_heuristics_num_msgs;
    int32_t openvpn_subclassification_by_ip;
    int32_t wireguard_subclassification_by_ip;
    /* per-protocol bitmaps, one bit per built-in protocol id */
    oxlo_id_bitset log_bitmap;
    oxlo_id_bitset ip_list_bitmap;
    oxlo_id_bitset monitoring;
    oxlo_id_bitset enabled_protocols;
    /* global */
    int32_t max_packets_to_process;
    int32_t track_payload;
    int32_t use_client_ip_in_guess, use_client_port_in_guess;
    int32_t tcp_ack_payload_heuristic, fully_encrypted_heuristic;
    int32_t libgcrypt_init;
    int32_t guess_on_giveup;
    int32_t guess_ip_before_port;
    int32_t compute_entropy;
    int32_t address_cache_size;
    int32_t fpc_enabled;
    int32_t hostname_dns_check;
    int32_t tcp_fingerprint_enabled, tcp_fingerprint_raw, tcp_fingerprint_format;
    int32_t oxlo_server_fingerprint, oxlo_fingerprint, oxlo_fingerprint_format;
    int32_t oxlo_fingerprint_ignore_tcp_fp;
    int32_t flow_risk_lists_load;
    oxlo_id_bitset flowrisk_bitmap;      /* risks checked at all */
    oxlo_id_bitset flowrisk_info_bitmap; /* risks whose messages are kept */
    int32_t risk_anonymous_subscriber_list_icloudprivaterelay;
    int32_t risk_anonymous_subscriber_list_tor;
    int32_t risk_crawler_bot_list;
    char filename_config[256];
    int32_t log_level;
    /* caches, indexed by lru_cache_kind */
    oxlo_lru_config lru[OXLO_LRU_KIND_COUNT];
} module_config;

#ifdef __cplusplus
}
#endif

#endif
