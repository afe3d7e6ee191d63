/* Oxlo slabs: fixed-size slots carved out of large chunks, for objects made
 * and freed at packet rate (flow records and flow states). Taking and
 * giving back a slot is a pointer swap on a free list; chunks come from the
 * library's wrappers. A chunk whose slots are all free is kept empty for the
 * next burst (its pages stay mapped, so refilling it costs no page faults),
 * up to half as many such chunks as chunks in use (none once every slot is
 * free), and until the owner trims the slab, which an idle owner does: a
 * table that empties hands its memory back.
 *
 * A slab is used by one thread at a time. Every slot starts with a word the
 * slab keeps for itself (its chunk); the caller's bytes follow, aligned to
 * 16 when the slot size is a multiple of 16, else to 8. Every call accepts
 * a null slab (nothing happens, null / 0). */
#ifndef OXLO_SLAB_H
#define OXLO_SLAB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oxlo_slab oxlo_slab;

/* A slab of slots of `slot_size` caller bytes; chunks of `chunk_slots`
 * slots (at least 16). Null without memory or with a zero size. */
oxlo_slab *oxlo_slab_new(size_t slot_size, uint32_t chunk_slots);
/* Frees every chunk, also those with slots still taken. */
void oxlo_slab_destroy(oxlo_slab *slab);
/* The owner is done with the slab: destroyed now when no slot is taken,
 * else when the last taken slot is given back. */
void oxlo_slab_release(oxlo_slab *slab);
/* Slots per chunk for chunks made from now on (at least 16): the owner
 * scales it with the number of objects it expects. */
void oxlo_slab_set_chunk_slots(oxlo_slab *slab, uint32_t chunk_slots);
/* Up to `chunks` emptied chunks are kept also when few or no slots are
 * taken (until a trim): for an owner whose slots come and go one at a time,
 * each of which would otherwise take and free a whole chunk. */
void oxlo_slab_set_spare_floor(oxlo_slab *slab, uint32_t chunks);
/* A slot of slot_size bytes (contents undefined), 16-aligned; null
 * without memory. */
void *oxlo_slab_take(oxlo_slab *slab);
/* Chunks made ahead: when a chunk hands out its first slot and no empty
 * chunk waits, the next chunk is made at once and its
 * slot area passed to `made_ahead`, which may write it (on another thread:
 * the first write to a page is what costs) and then calls
 * oxlo_slab_ahead_ready(chunk). Until then the slab leaves the chunk alone
 * and makes another one if it needs one; the owner must not destroy the
 * slab while a hook still writes. Null turns it off. */
void oxlo_slab_set_ahead(oxlo_slab *slab, void (*made_ahead)(void *user, void *slots, size_t bytes, void *chunk),
                         void *user);
void oxlo_slab_ahead_ready(void *chunk);
/* Gives a slot back to the slab it came from; null ignored. */
void oxlo_slab_give(void *slot);

/* Frees the empty chunks kept beyond `keep`. */
void oxlo_slab_trim(oxlo_slab *slab, uint32_t keep);

uint32_t oxlo_slab_taken(const oxlo_slab *slab);
/* Bytes the slab holds in chunks (taken or not). */
uint64_t oxlo_slab_bytes(const oxlo_slab *slab);

#ifdef __cplusplus
}
#endif

#endif
