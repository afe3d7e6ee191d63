/* STAND-INS. Set-up and tear-down steps of the module whose owners come
 * later: address and host lists, categories, domain sets and geolocation,
 * fingerprints, the address cache and DNS tracking.
 * The lifecycle calls them by their final names; whoever builds one of
 * these removes its stand-in from this file. Each does the least that keeps
 * a module usable: nothing is loaded, nothing is matched. */
#include "oxlo_private.h"

extern "C" {

/* Finalization feeders: the built-in host-match lists into "host", the
 * certificate organisations into "tls_cert", the built-in address lists,
 * the risk lists, the built-in host risk exceptions and the fingerprint
 * tables. */
void oxlo_tls_cert_orgs_load(oxlo_module *) {}
void oxlo_risk_lists_load(oxlo_module *) {}
void oxlo_os_fingerprints_load_builtin(oxlo_module *) {}
void oxlo_module_reset_lookup_counters(oxlo_module *) {}

void oxlo_address_cache_free(oxlo_address_cache *) {}
void oxlo_hash_filter_free(oxlo_hash_filter *) {}

} // extern "C"
