/* What the naming, discovery and web-application dissectors learn about a
 * flow ("" until seen). */
#ifndef OXLO_DISCOVERY_H
#define OXLO_DISCOVERY_H

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* DHCP: the option codes in order ("53,61,12,55"), the parameter request
 * list (option 55) and the vendor class identifier (option 60). */
const char *oxlo_flow_dhcp_options(const oxlo_flow_state *flow);
const char *oxlo_flow_dhcp_fingerprint(const oxlo_flow_state *flow);
const char *oxlo_flow_dhcp_class_ident(const oxlo_flow_state *flow);

/* SSDP: the request method and the value of a recognised header by its
 * upper-case name ("ST", "USN", ...; NULL when absent). */
const char *oxlo_flow_ssdp_method(const oxlo_flow_state *flow);
const char *oxlo_flow_ssdp_header(const oxlo_flow_state *flow, const char *name);

/* SLP: the URLs of service replies and registrations (up to 4; NULL past
 * the last). */
const char *oxlo_flow_slp_url(const oxlo_flow_state *flow, unsigned index);

/* TiVoConnect beacon fields: "identity_uuid", "machine", "platform",
 * "services". */
const char *oxlo_flow_tivo_field(const oxlo_flow_state *flow, const char *name);

/* Thrift: the method name of the first message. */
const char *oxlo_flow_thrift_method(const oxlo_flow_state *flow);

/* FastCGI: "method", "url" (SCRIPT_URL) and "user_agent" of the request. */
const char *oxlo_flow_fastcgi_field(const oxlo_flow_state *flow, const char *name);

#ifdef __cplusplus
}
#endif

#endif
