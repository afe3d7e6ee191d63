/* The facade's family lookups of socket owners and its post-quantum flow
 * check, called from C exactly as a host program written against them
 * does. Exit 0 on success, 1 with a message on the first failure. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "oxlo_api.h"
#include "oxlo_risks.h"
#include "vesk_policy.h"

static int failures;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);      \
      failures++;                                                     \
    }                                                                 \
  } while (0)

int main(void) {
  uint32_t uid = 7, pid = 7, parent_pid = 7, parent_uid = 7;
  const char *user = NULL, *parent_user = NULL, *package = "stale", *parent_package = "stale";
  char path[64] = "x", cmdline[64] = "x", parent_path[64] = "x", container[16] = "stale";
  float latency = 1.0f;

  /* No monitor: not found, the package outputs and the container cleared. */
  CHECK(socket_monitor_find_ipv4_owner(NULL, 0x7F000001u, 53, 1, &uid, &user, &pid, &parent_pid, &parent_uid,
                                       &parent_user, path, sizeof(path), cmdline, sizeof(cmdline), &package,
                                       parent_path, sizeof(parent_path), &parent_package, container,
                                       sizeof(container), &latency) == -1);
  CHECK(package && package[0] == '\0');
  CHECK(parent_package && parent_package[0] == '\0');
  CHECK(container[0] == '\0');

  const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  package = parent_package = "stale";
  strcpy(container, "stale");
  CHECK(socket_monitor_find_ipv6_owner(NULL, loopback6, 22, 0, &uid, &user, &pid, &parent_pid, &parent_uid,
                                       &parent_user, path, sizeof(path), cmdline, sizeof(cmdline), &package,
                                       parent_path, sizeof(parent_path), &parent_package, container,
                                       sizeof(container), &latency) == -1);
  CHECK(package[0] == '\0' && parent_package[0] == '\0' && container[0] == '\0');

  /* A TLS flow without the client's groups is flagged; a flow of no
   * checked protocol, or no module or flow, is not. */
  CHECK(flow_check_non_pqc_risk(NULL, NULL) == 0);
  oxlo_module *module = oxlo_module_new(NULL);
  CHECK(module != NULL);
  if (module && oxlo_finalize_initialization(module) == 0) {
    oxlo_flow_state *tls = (oxlo_flow_state *)calloc(1, oxlo_flow_state_size());
    oxlo_flow_state *plain = (oxlo_flow_state *)calloc(1, oxlo_flow_state_size());
    CHECK(flow_check_non_pqc_risk(module, NULL) == 0);
    oxlo_flow_set_protocol(module, tls, 91, 0, OXLO_CONFIDENCE_DPI);
    CHECK(flow_check_non_pqc_risk(module, tls) == 1);
    CHECK(oxlo_flow_risk_is_set(tls, 58) != 0);
    oxlo_flow_set_protocol(module, plain, 7, 0, OXLO_CONFIDENCE_DPI);
    CHECK(flow_check_non_pqc_risk(module, plain) == 0);
    CHECK(oxlo_flow_risk_is_set(plain, 58) == 0);
    oxlo_flow_state_free(tls);
    oxlo_flow_state_free(plain);
  } else {
    failures++;
  }
  oxlo_module_free(module);
  return failures ? 1 : 0;
}
