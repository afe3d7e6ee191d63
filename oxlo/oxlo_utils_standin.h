/* STAND-INS for engine pieces the utilities call but that do not exist yet:
 * the SQL-injection and XSS detectors, the risk-raising call and the
 * common-bigram test. Each is defined in oxlo_utils_standin.cpp; when the real
 * piece lands, the body of the matching stand-in is replaced by the call
 * named in its comment (or the stand-in is removed and its callers call the
 * real function). */
#ifndef OXLO_UTILS_STANDIN_H
#define OXLO_UTILS_STANDIN_H

#include <stddef.h>
#include <stdint.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Real: libinjection_xss_detect(text, length). Stand-in: finds nothing. */
int oxlo_standin_xss_detect(const char *text, size_t length);
/* Real: libinjection_sqli_state_init(&ctx, text, length, 0) then
 * libinjection_sqli_detect(&ctx). Stand-in: finds nothing. */
int oxlo_standin_sqli_detect(const char *text, size_t length);
/* Real: oxlo_flow_risk_raise(module, flow, risk, message). Stand-in: raises
 * nothing and returns 0. */
int oxlo_standin_risk_raise(oxlo_module *module, oxlo_flow_state *flow, int risk,
                            const char *message);
/* Real: oxlo_common_bigram_test on the two lower-case letters. Stand-in:
 * every pair of letters a-z counts as common. */
int oxlo_standin_common_bigram(char a, char b);

#ifdef __cplusplus
}
#endif

#endif
