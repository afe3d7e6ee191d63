/* Oxlo epoch ranking: for a ring of epochs, the top items of each epoch by
 * value, how many rank positions changed from the previous epoch, and a
 * binary file form of the whole ring.
 *
 * File (little-endian, as stored): the 12-byte header below, then
 * epochs_memory_len bytes of epoch memory. The memory holds the epoch
 * records back to back, each a u32 epoch id and max_num_items 16-byte
 * items, followed by an unused rest: epochs_memory_len is always
 * num_epochs x (max_num_items x 16 + 12). */
#ifndef OXLO_EPOCH_RANKING_H
#define OXLO_EPOCH_RANKING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OXLO_EPOCH_RANKING_VERSION 1
#define OXLO_EPOCH_RANKING_MAX_EPOCHS 255

typedef struct oxlo_ranking_item {
  uint32_t id;
  uint32_t padding; /* stored as 0 */
  uint64_t value;
} oxlo_ranking_item;

typedef struct oxlo_epoch_ranking_header {
  uint8_t version;
  uint8_t zero[3];
  uint32_t epochs_memory_len;
  uint16_t max_num_items;
  uint8_t num_epochs;
  uint8_t next_epoch_id; /* the ring slot the next new epoch goes to */
} oxlo_epoch_ranking_header;

typedef struct oxlo_epoch_ranking {
  oxlo_epoch_ranking_header header;
  uint8_t *epochs;
  uint32_t updates_without_ranking_changes; /* not saved */
} oxlo_epoch_ranking;

/* -1 for null, for more than 255 epochs (the count is kept in 8 bits) or
 * when memory runs out; the ranking then has no epochs and ignores added
 * ones. 0 on success. */
int oxlo_epoch_ranking_init(oxlo_epoch_ranking *ranking, uint16_t max_num_items, uint32_t num_epochs);
void oxlo_epoch_ranking_free(oxlo_epoch_ranking *ranking);

/* 1 when written, 0 when the file cannot be opened or written. */
int oxlo_epoch_ranking_save(const oxlo_epoch_ranking *ranking, const char *path);
/* 1 when loaded, replacing what the ranking held. 0 for a file that cannot
 * be read or is damaged (wrong version, lengths that disagree with the
 * header, short or over-long data, a next slot outside the ring); the
 * reason is printed and the ranking is left as it was. */
int oxlo_epoch_ranking_load(oxlo_epoch_ranking *ranking, const char *path);
/* Prints the header and every epoch's items to standard output. */
void oxlo_epoch_ranking_print(const oxlo_epoch_ranking *ranking);

/* Sorts the items by value, largest first, and records the first
 * min(max_num_items, number) of them as epoch epoch_id. The outputs (each optional, room for
 * that many items) get the new ranking, the previous epoch's ranking and its
 * id (0 for none). Returns the number of changed positions; when none
 * changed, the previous epoch's slot is taken over by this one. */
int oxlo_epoch_ranking_add_epoch(oxlo_epoch_ranking *ranking, uint32_t epoch_id,
                                 oxlo_ranking_item *items, uint16_t number,
                                 oxlo_ranking_item *new_ranking, oxlo_ranking_item *previous_ranking,
                                 uint32_t *previous_epoch_id);

#ifdef __cplusplus
}
#endif

#endif
