/* STAND-IN until the flow-risk module lands: the TLS, certificate and DNS
 * parsers raise and clear risks only through these two calls. Their bodies
 * become oxlo_flow_risk_raise / oxlo_flow_risk_clear, and the ids below give
 * way to the risk module's enumeration. */
#ifndef OXLO_RISK_STANDIN_H
#define OXLO_RISK_STANDIN_H

#include "oxlo_private.h"

enum {
    RISK_TLS_SELFSIGNED_CERTIFICATE = 6,
    RISK_TLS_OBSOLETE_VERSION = 7,
    RISK_TLS_WEAK_CIPHER = 8,
    RISK_TLS_CERTIFICATE_EXPIRED = 9,
    RISK_TLS_CERTIFICATE_MISMATCH = 10,
    RISK_NUMERIC_IP_HOST = 12,
    RISK_TLS_NOT_CARRYING_HTTPS = 15,
    RISK_SUSPICIOUS_DGA_DOMAIN = 16,
    RISK_MALFORMED_PACKET = 17,
    RISK_DNS_SUSPICIOUS_TRAFFIC = 23,
    RISK_TLS_MISSING_SNI = 24,
    RISK_RISKY_DOMAIN = 27,
    RISK_MALICIOUS_FINGERPRINT = 28,
    RISK_MALICIOUS_SHA1_CERTIFICATE = 29,
    RISK_TLS_UNCOMMON_ALPN = 31,
    RISK_TLS_CERT_VALIDITY_TOO_LONG = 32,
    RISK_TLS_SUSPICIOUS_EXTENSION = 33,
    RISK_TLS_FATAL_ALERT = 34,
    RISK_DNS_LARGE_PACKET = 37,
    RISK_DNS_FRAGMENTED = 38,
    RISK_INVALID_CHARACTERS = 39,
    RISK_POSSIBLE_EXPLOIT = 40,
    RISK_TLS_CERTIFICATE_ABOUT_TO_EXPIRE = 41,
    RISK_ERROR_CODE_DETECTED = 43,
    RISK_MINOR_ISSUES = 49,
    RISK_UNRESOLVED_HOSTNAME = 51,
    RISK_TLS_ALPN_SNI_MISMATCH = 52,
    RISK_OBFUSCATED_TRAFFIC = 56,
    RISK_SLOW_DOS = 57,
};

static inline void tls_dns_risk_raise(oxlo_module *module, oxlo_flow_state *flow, int risk,
                                      const char *message)
{
    oxlo_detect_risk_raise(module, flow, (uint32_t)risk, message);
}

static inline void tls_dns_risk_clear(oxlo_module *module, oxlo_flow_state *flow, int risk)
{
    (void)module;
    if (flow && risk > 0 && risk < 64)
        flow->risk_mask &= ~(uint64_t(1) << risk);
}

static inline bool tls_dns_risk_is_set(const oxlo_flow_state *flow, int risk)
{
    return flow && risk > 0 && risk < 64 && ((flow->risk_mask >> risk) & 1u);
}

#endif
