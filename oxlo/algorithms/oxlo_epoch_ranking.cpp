/* Epoch ranking: a ring of per-epoch top-item lists. Records sit back to
 * back in one block, so an item's value lies 4 bytes off its natural
 * alignment; every item access goes through memcpy. */
#include "oxlo_epoch_ranking.h"

#include "oxlo_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t header_size = 12;
constexpr size_t item_size = 16;

size_t record_size(const oxlo_epoch_ranking *r) { return 4 + item_size * r->header.max_num_items; }

uint64_t memory_len(uint16_t max_num_items, uint32_t num_epochs)
{
    return static_cast<uint64_t>(num_epochs) * (static_cast<uint64_t>(max_num_items) * item_size + 12);
}

uint8_t *slot(const oxlo_epoch_ranking *r, uint32_t index) { return r->epochs + index * record_size(r); }

uint32_t slot_epoch_id(const uint8_t *record)
{
    uint32_t id;
    std::memcpy(&id, record, 4);
    return id;
}

oxlo_ranking_item slot_item(const uint8_t *record, uint32_t position)
{
    oxlo_ranking_item item;
    std::memcpy(&item, record + 4 + position * item_size, item_size);
    return item;
}

/* Writes the epoch id and the n items, zeroing their padding and every
 * position after them. */
void write_slot(const oxlo_epoch_ranking *r, uint32_t index, uint32_t epoch_id,
                const oxlo_ranking_item *items, uint32_t n)
{
    uint8_t *record = slot(r, index);
    std::memset(record, 0, record_size(r));
    std::memcpy(record, &epoch_id, 4);
    for (uint32_t i = 0; i < n; i++) {
        oxlo_ranking_item item = {items[i].id, 0, items[i].value};
        std::memcpy(record + 4 + i * item_size, &item, item_size);
    }
}

void put_u16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int refuse(const char *path, const char *reason, FILE *f, void *memory)
{
    std::printf("[OXLO] Epoch ranking file %s refused: %s\n", path, reason);
    if (f)
        std::fclose(f);
    oxlo_heap_free(memory);
    return 0;
}

const char *check_header(const oxlo_epoch_ranking_header &h)
{
    if (h.version != OXLO_EPOCH_RANKING_VERSION)
        return "unknown version";
    if (h.zero[0] || h.zero[1] || h.zero[2])
        return "reserved header bytes are not zero";
    if (h.epochs_memory_len != memory_len(h.max_num_items, h.num_epochs))
        return "epoch memory length does not match the item and epoch counts";
    if (h.num_epochs ? h.next_epoch_id >= h.num_epochs : h.next_epoch_id != 0)
        return "next epoch slot outside the ring";
    return nullptr;
}

} // namespace

extern "C" {

int oxlo_epoch_ranking_init(oxlo_epoch_ranking *ranking, uint16_t max_num_items, uint32_t num_epochs)
{
    if (!ranking)
        return -1;
    std::memset(ranking, 0, sizeof(*ranking));
    ranking->header.version = OXLO_EPOCH_RANKING_VERSION;
    ranking->header.max_num_items = max_num_items;
    if (num_epochs > OXLO_EPOCH_RANKING_MAX_EPOCHS)
        return -1;
    if (num_epochs == 0)
        return 0;
    uint64_t len = memory_len(max_num_items, num_epochs);
    ranking->epochs = static_cast<uint8_t *>(oxlo_heap_calloc(len, 1));
    if (!ranking->epochs)
        return -1;
    ranking->header.num_epochs = static_cast<uint8_t>(num_epochs);
    ranking->header.epochs_memory_len = static_cast<uint32_t>(len);
    return 0;
}

void oxlo_epoch_ranking_free(oxlo_epoch_ranking *ranking)
{
    if (!ranking)
        return;
    oxlo_heap_free(ranking->epochs);
    ranking->epochs = nullptr;
    ranking->header.num_epochs = 0;
    ranking->header.epochs_memory_len = 0;
    ranking->header.next_epoch_id = 0;
}

int oxlo_epoch_ranking_save(const oxlo_epoch_ranking *ranking, const char *path)
{
    if (!ranking || !path)
        return 0;
    const oxlo_epoch_ranking_header &h = ranking->header;
    uint8_t head[header_size] = {};
    head[0] = h.version;
    put_u32(head + 4, h.epochs_memory_len);
    put_u16(head + 8, h.max_num_items);
    head[10] = h.num_epochs;
    head[11] = h.next_epoch_id;
    FILE *f = std::fopen(path, "wb");
    if (!f)
        return 0;
    bool ok = std::fwrite(head, 1, header_size, f) == header_size;
    if (ok && h.epochs_memory_len && ranking->epochs)
        ok = std::fwrite(ranking->epochs, 1, h.epochs_memory_len, f) == h.epochs_memory_len;
    if (std::fclose(f) != 0)
        ok = false;
    return ok ? 1 : 0;
}

int oxlo_epoch_ranking_load(oxlo_epoch_ranking *ranking, const char *path)
{
    if (!ranking || !path)
        return 0;
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::printf("[OXLO] Epoch ranking file %s cannot be opened\n", path);
        return 0;
    }
    uint8_t head[header_size];
    if (std::fread(head, 1, header_size, f) != header_size)
        return refuse(path, "short header", f, nullptr);
    oxlo_epoch_ranking_header h;
    h.version = head[0];
    std::memcpy(h.zero, head + 1, 3);
    h.epochs_memory_len = get_u32(head + 4);
    h.max_num_items = static_cast<uint16_t>(head[8] | head[9] << 8);
    h.num_epochs = head[10];
    h.next_epoch_id = head[11];
    if (const char *reason = check_header(h))
        return refuse(path, reason, f, nullptr);

    uint8_t *memory = nullptr;
    if (h.epochs_memory_len) {
        memory = static_cast<uint8_t *>(oxlo_heap_alloc(h.epochs_memory_len));
        if (!memory)
            return refuse(path, "not enough memory", f, nullptr);
        if (std::fread(memory, 1, h.epochs_memory_len, f) != h.epochs_memory_len)
            return refuse(path, "epoch memory shorter than the header says", f, memory);
    }
    if (std::fgetc(f) != EOF)
        return refuse(path, "data after the epoch memory", f, memory);
    std::fclose(f);

    oxlo_heap_free(ranking->epochs);
    ranking->header = h;
    ranking->epochs = memory;
    ranking->updates_without_ranking_changes = 0;
    return 1;
}

void oxlo_epoch_ranking_print(const oxlo_epoch_ranking *ranking)
{
    if (!ranking)
        return;
    const oxlo_epoch_ranking_header &h = ranking->header;
    std::printf("[version: %u][max_num_item: %u][num_epochs: %u][epochs_memory_len: %u][next_epoch_id: %u]"
                "[# updates_without_ranking_changes: %u]\n",
                h.version, h.max_num_items, h.num_epochs, h.epochs_memory_len, h.next_epoch_id,
                ranking->updates_without_ranking_changes);
    if (!ranking->epochs)
        return;
    for (uint32_t e = 0; e < h.num_epochs; e++) {
        const uint8_t *record = slot(ranking, e);
        std::printf("\t[epoch %u @ %u]\n", e, slot_epoch_id(record));
        for (uint32_t i = 0; i < h.max_num_items; i++) {
            oxlo_ranking_item item = slot_item(record, i);
            std::printf("\t\t[%2d] %u - %llu\n", static_cast<int>(i), item.id,
                        static_cast<unsigned long long>(item.value));
        }
    }
    std::fflush(stdout);
}

int oxlo_epoch_ranking_add_epoch(oxlo_epoch_ranking *ranking, uint32_t epoch_id,
                                 oxlo_ranking_item *items, uint16_t number,
                                 oxlo_ranking_item *new_ranking, oxlo_ranking_item *previous_ranking,
                                 uint32_t *previous_epoch_id)
{
    if (!ranking || !ranking->epochs || ranking->header.num_epochs == 0)
        return 0;
    const oxlo_epoch_ranking_header &h = ranking->header;
    uint32_t n = std::min<uint32_t>(h.max_num_items, number);
    if (number && !items)
        return 0;
    /* The whole list is ordered, not only its first n entries: with more
     * items than the ranking holds, the top ones are kept whatever order
     * they came in. */
    std::stable_sort(items, items + number, [](const oxlo_ranking_item &a, const oxlo_ranking_item &b) {
        return a.value > b.value;
    });

    uint32_t previous = h.next_epoch_id ? h.next_epoch_id - 1u : h.num_epochs - 1u;
    const uint8_t *prev_record = slot(ranking, previous);
    uint32_t prev_id = slot_epoch_id(prev_record);
    uint16_t changes = 0;

    if (previous_epoch_id)
        *previous_epoch_id = prev_id;
    if (prev_id == 0) {
        if (new_ranking)
            std::memset(new_ranking, 0, n * sizeof(oxlo_ranking_item));
        if (previous_ranking)
            std::memset(previous_ranking, 0, n * sizeof(oxlo_ranking_item));
    } else {
        for (uint32_t i = 0; i < n; i++) {
            if (previous_ranking)
                previous_ranking[i] = slot_item(prev_record, i);
            if (new_ranking)
                new_ranking[i] = items[i];
        }
        for (uint32_t i = 0; i < h.max_num_items; i++) {
            uint32_t old_id = slot_item(prev_record, i).id;
            if (i < n ? old_id != items[i].id : old_id != 0)
                changes++;
        }
        if (changes == 0) {
            write_slot(ranking, previous, epoch_id, items, n);
            ranking->updates_without_ranking_changes++;
            return 0;
        }
    }

    write_slot(ranking, h.next_epoch_id, epoch_id, items, n);
    ranking->updates_without_ranking_changes = 0;
    ranking->header.next_epoch_id = static_cast<uint8_t>((h.next_epoch_id + 1u) % h.num_epochs);
    return changes;
}

} // extern "C"
