/* STAND-INS. Set-up and tear-down steps of the module whose owners come
 * later: address and host lists, categories, domain sets and geolocation.
 * The lifecycle calls them by their final names; whoever builds one of
 * these removes its stand-in from this file. Each does the least that keeps
 * a module usable: nothing is loaded, nothing is matched. */
#include "oxlo_private.h"

extern "C" {

/* Finalization feeders: the built-in host-match lists into "host", the
 * certificate organisations into "tls_cert", the built-in address lists,
 * the risk lists and the built-in host risk exceptions. */
void oxlo_tls_cert_orgs_load(oxlo_module *) {}
void oxlo_risk_lists_load(oxlo_module *) {}
void oxlo_module_reset_lookup_counters(oxlo_module *) {}

} // extern "C"
