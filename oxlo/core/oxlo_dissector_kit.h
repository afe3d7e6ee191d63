/* The engine's side of the dissector kit: what each registered dissector
 * declared besides its entry (state size, release, JSON block) and the
 * per-flow state blocks, found by slot (the slots of the built-in dissectors
 * are in oxlo_dissector_slots.h). Dissectors use oxlo_dissector.h instead. */
#ifndef OXLO_DISSECTOR_KIT_H
#define OXLO_DISSECTOR_KIT_H

#include "oxlo_dissector.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a registered dissector declared besides its table entry; kept per
 * dissector index next to the table. */
typedef struct oxlo_dissector_kit {
    uint16_t slot;
    uint32_t state_size;
    void (*release)(void *state);
    oxlo_json_block_fn json_block;
    /* Built-in dissectors that declare it: the shortest first UDP datagram
     * of a flow their routine does more on than exclude itself (0: any). */
    uint16_t shortest_first;
} oxlo_dissector_kit;

/* A dissector's per-flow state: a header, then state_size zeroed bytes. */
typedef struct oxlo_dstate {
    struct oxlo_dstate *next;
    void (*release)(void *state);
    uint32_t slot;
    uint32_t size;
    uint8_t from_slab;
} oxlo_dstate;

/* The state block of slot on the flow, or NULL. */
void *oxlo_flow_slot_state(const oxlo_flow_state *flow, uint32_t slot);
/* The state block of slot on the flow, made (zeroed) when missing; NULL
 * without memory. */
void *oxlo_flow_slot_state_make(oxlo_flow_state *flow, uint32_t slot, uint32_t size, void (*release)(void *));
/* Around a dissector's call (oxlo_dissectors.cpp): arm gives the call the
 * scratch block, 0 when it cannot (a call inside another one); commit turns
 * what the call left in it into the flow's block, also a zero state when
 * `settled` (the call classified the flow or set a follow-up reader). */
int oxlo_dstate_arm(oxlo_module *module, oxlo_flow_state *flow, uint32_t index);
void oxlo_dstate_commit(oxlo_module *module, oxlo_flow_state *flow, uint32_t index, int settled);
/* Frees the scratch block; the slabs go once their last block is freed. */
void oxlo_dstate_free(oxlo_module *module);
/* Frees one slot's block (release called first); nothing when absent. */
void oxlo_flow_slot_state_free(oxlo_flow_state *flow, uint32_t slot);
/* Frees every block of the flow. */
void oxlo_flow_states_free(oxlo_flow_state *flow);
/* Registers one built-in dissector by its file name (tests that run a
 * dissector alone); 0, -1 when the row is not written, -2 on bad arguments. */
int oxlo_dissector_register_builtin(oxlo_module *module, const char *file);
/* The JSON block writer of the dissector that registered protocol id. */
oxlo_json_block_fn oxlo_dissector_json_block(const oxlo_module *module, uint16_t protocol_id);

#ifdef __cplusplus
}
#endif

#endif
