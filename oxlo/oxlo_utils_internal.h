/* Engine-internal pieces of the utilities, shared with their tests. */
#ifndef OXLO_UTILS_INTERNAL_H
#define OXLO_UTILS_INTERNAL_H

#include <stddef.h>

#include "oxlo_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the URL check calls: the two injection detectors and the risk raise. */
typedef struct oxlo_url_check_calls {
  int (*xss_detect)(const char *text, size_t length);
  int (*sqli_detect)(const char *text, size_t length);
  int (*risk_raise)(oxlo_module *module, oxlo_flow_state *flow, int risk, const char *message);
} oxlo_url_check_calls;

int oxlo_url_attack_check_with(oxlo_module *module, oxlo_flow_state *flow, const char *url,
                               const oxlo_url_check_calls *calls);

#ifdef __cplusplus
}
#endif

#endif
