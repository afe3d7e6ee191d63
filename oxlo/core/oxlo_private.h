/* Engine-internal definitions shared by the core, the algorithms and the
 * dissectors, by concern: the packet in process, the knobs, the flow state
 * and the module. Not part of the public API. */
#ifndef OXLO_PRIVATE_H
#define OXLO_PRIVATE_H

#include "oxlo_packet.h"
#include "oxlo_config.h"
#include "oxlo_flow_state.h"
#include "oxlo_module.h"

#endif
