/* Slabs of fixed-size slots. A chunk is one block from the wrappers: its
 * header, then its slots (a large one keeps them apart: see chunk_huge).
 * Each slot is preceded by a word that points to its chunk, so a slot goes
 * back without the caller naming the slab. Chunks with a free slot are on a
 * list; a new slot comes from the first of them, from its free list or from
 * the part of the chunk never handed out, so a fresh chunk is touched page
 * by page only as it fills. */
#include "oxlo_slab.h"

#include <cstring>

#include "oxlo_memory.h"

namespace {

constexpr size_t kAlign = 16;
constexpr uint32_t kMinChunkSlots = 16;

size_t round_up(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

/* The caller's bytes are aligned as an object of their size can need: 16
 * for a multiple of 16 (sizeof is a multiple of alignof), else 8, which the
 * slab's own word needs. A slot then costs its bytes and that word, rounded
 * to the alignment: a flow record of 552 bytes takes 560, not 576. */
size_t slot_align(size_t slot_size) { return slot_size % kAlign == 0 ? kAlign : sizeof(void *); }

} // namespace

struct oxlo_slab_chunk;

/* The slab's word in front of each slot: its chunk while taken, the next
 * free slot of the chunk while free. */
union slot_head {
    oxlo_slab_chunk *chunk;
    slot_head *next_free;
};
static_assert(sizeof(slot_head) == 8, "one word per slot");

struct oxlo_slab_chunk {
    oxlo_slab *slab;
    unsigned char *base; /* the first slot */
    oxlo_slab_chunk *prev, *next; /* chunks with a free slot */
    oxlo_slab_chunk *all_prev, *all_next; /* every chunk of the slab */
    slot_head *free_list;
    uint32_t slots;
    uint32_t taken;
    uint32_t fresh;   /* slots from here on were never handed out */
    uint8_t listed;   /* on the slab's list of chunks with room */
    uint8_t ready;    /* made ahead: its slots were written by the owner's hook (atomic) */
};

struct oxlo_slab {
    size_t stride;          /* head + caller bytes, rounded to the alignment */
    size_t first;           /* offset in a chunk of the first slot's head */
    uint32_t chunk_slots;
    uint32_t taken;
    uint64_t bytes;
    oxlo_slab_chunk *room;  /* chunks with a free slot */
    oxlo_slab_chunk *spare; /* empty chunks kept back (through `next`), not on the list */
    uint32_t spares;
    uint32_t spare_floor;   /* emptied chunks kept whatever is in use, until a trim */
    uint32_t chunk_count;
    oxlo_slab_chunk *chunks; /* every chunk, for the destruction */
    uint8_t released;        /* destroyed when the last slot comes back */
    void (*made_ahead)(void *user, void *slots, size_t bytes, void *chunk);
    void *made_ahead_user;
    oxlo_slab_chunk *ahead; /* made ahead, its slots the hook's until it is ready */
};

namespace {

constexpr size_t kChunkHeader = (sizeof(oxlo_slab_chunk) + kAlign - 1) & ~(kAlign - 1);

slot_head *slot_at(oxlo_slab_chunk *c, uint32_t i)
{
    return reinterpret_cast<slot_head *>(c->base + static_cast<size_t>(i) * c->slab->stride);
}

void list_add(oxlo_slab *s, oxlo_slab_chunk *c)
{
    c->prev = nullptr;
    c->next = s->room;
    if (s->room)
        s->room->prev = c;
    s->room = c;
    c->listed = 1;
}

void list_remove(oxlo_slab *s, oxlo_slab_chunk *c)
{
    if (c->prev)
        c->prev->next = c->next;
    else
        s->room = c->next;
    if (c->next)
        c->next->prev = c->prev;
    c->prev = c->next = nullptr;
    c->listed = 0;
}

/* Slots of a huge page or more are laid on whole huge pages, as many as
 * the slots asked for come nearest to (the slots fill them), and mapped
 * as such: they are reached at random, one page walk
 * per 2 MiB instead of one per 4 KiB, and the first write costs one fault
 * per 2 MiB. Such a chunk's header is a block of its own, so that making
 * the chunk writes none of its pages: the first one, zeroed whole by the
 * kernel, is left to whoever writes the slots (the made-ahead hook). */
bool chunk_huge(const oxlo_slab_chunk *c)
{
    return c->base != reinterpret_cast<const unsigned char *>(c) + c->slab->first;
}

size_t chunk_bytes(const oxlo_slab_chunk *c)
{
    const oxlo_slab *s = c->slab;
    size_t slots = static_cast<size_t>(c->slots) * s->stride;
    return chunk_huge(c) ? oxlo_huge_size(s->first - kChunkHeader + slots) : s->first + slots;
}

oxlo_slab_chunk *chunk_new(oxlo_slab *s)
{
    uint32_t n = s->chunk_slots;
    /* The slots' first head sits `lead` bytes into the slots' memory, so
     * that the caller's bytes after it are aligned. */
    size_t lead = s->first - kChunkHeader;
    size_t bytes = s->first + static_cast<size_t>(n) * s->stride;
    oxlo_slab_chunk *c;
    unsigned char *base;
    if (bytes >= OXLO_HUGE_PAGE) {
        size_t pages = (lead + static_cast<size_t>(n) * s->stride + OXLO_HUGE_PAGE / 2) / OXLO_HUGE_PAGE;
        bytes = (pages > 0 ? pages : 1) * OXLO_HUGE_PAGE;
        n = static_cast<uint32_t>((bytes - lead) / s->stride);
        unsigned char *block = static_cast<unsigned char *>(oxlo_heap_huge_alloc(bytes));
        c = block ? static_cast<oxlo_slab_chunk *>(oxlo_heap_alloc(sizeof(oxlo_slab_chunk))) : nullptr;
        if (!c) {
            oxlo_heap_huge_free(block, bytes);
            return nullptr;
        }
        base = block + lead;
    } else {
        c = static_cast<oxlo_slab_chunk *>(oxlo_heap_aligned_alloc(kAlign, bytes));
        if (!c)
            return nullptr;
        base = reinterpret_cast<unsigned char *>(c) + s->first;
    }
    std::memset(c, 0, sizeof(*c));
    c->base = base;
    c->slab = s;
    c->slots = n;
    c->all_next = s->chunks;
    if (s->chunks)
        s->chunks->all_prev = c;
    s->chunks = c;
    s->chunk_count++;
    s->bytes += bytes;
    return c;
}

void chunk_free(oxlo_slab *s, oxlo_slab_chunk *c)
{
    if (c->all_prev)
        c->all_prev->all_next = c->all_next;
    else
        s->chunks = c->all_next;
    if (c->all_next)
        c->all_next->all_prev = c->all_prev;
    s->chunk_count--;
    size_t bytes = chunk_bytes(c);
    s->bytes -= bytes;
    if (chunk_huge(c)) {
        oxlo_heap_huge_free(c->base - (s->first - kChunkHeader), bytes);
        oxlo_heap_free(c);
    } else {
        oxlo_heap_aligned_free(c);
    }
}

/* The chunk after the one being filled, made as that one hands out its
 * first slot: the owner's hook writes its slots elsewhere meanwhile (the
 * first write to a page is what costs) and marks it ready. Without memory
 * nothing happens: a chunk is then made when it is needed. */
void make_ahead(oxlo_slab *s)
{
    oxlo_slab_chunk *c = chunk_new(s);
    if (!c)
        return;
    s->ahead = c;
    s->made_ahead(s->made_ahead_user, c->base, static_cast<size_t>(c->slots) * s->stride, c);
}

bool ahead_ready(const oxlo_slab *s)
{
    return s->ahead && __atomic_load_n(&s->ahead->ready, __ATOMIC_ACQUIRE);
}

} // namespace

extern "C" {

oxlo_slab *oxlo_slab_new(size_t slot_size, uint32_t chunk_slots)
{
    if (slot_size == 0 || slot_size > (1u << 24))
        return nullptr;
    auto *s = static_cast<oxlo_slab *>(oxlo_heap_calloc(1, sizeof(oxlo_slab)));
    if (!s)
        return nullptr;
    const size_t align = slot_align(slot_size);
    s->stride = round_up(sizeof(slot_head) + slot_size, align);
    /* The head sits in the word before the caller's aligned bytes. */
    s->first = round_up(kChunkHeader + sizeof(slot_head), align) - sizeof(slot_head);
    s->chunk_slots = chunk_slots < kMinChunkSlots ? kMinChunkSlots : chunk_slots;
    return s;
}

void oxlo_slab_set_chunk_slots(oxlo_slab *slab, uint32_t chunk_slots)
{
    if (slab)
        slab->chunk_slots = chunk_slots < kMinChunkSlots ? kMinChunkSlots : chunk_slots;
}

void oxlo_slab_set_spare_floor(oxlo_slab *slab, uint32_t chunks)
{
    if (slab)
        slab->spare_floor = chunks;
}

void *oxlo_slab_take(oxlo_slab *s)
{
    if (!s)
        return nullptr;
    oxlo_slab_chunk *c = s->room;
    if (!c) {
        c = s->spare;
        if (c) {
            s->spare = c->next;
            s->spares--;
        } else if (ahead_ready(s)) {
            c = s->ahead;
            s->ahead = nullptr;
        } else if (!(c = chunk_new(s))) {
            return nullptr;
        }
        list_add(s, c);
    }
    slot_head *h;
    if (c->free_list) {
        h = c->free_list;
        c->free_list = h->next_free;
    } else {
        h = slot_at(c, c->fresh++);
        if (s->made_ahead && c->fresh == 1 && !s->spare && !s->ahead)
            make_ahead(s);
    }
    h->chunk = c;
    c->taken++;
    s->taken++;
    /* The next slot on its way to the cache, to be written: its owner
     * writes most of a slot as it takes it, and the lines of a chunk just
     * faulted in (or of a slot freed long ago) are in no cache. */
    const unsigned char *next = reinterpret_cast<const unsigned char *>(c->free_list);
    if (!next && c->fresh < c->slots)
        next = reinterpret_cast<const unsigned char *>(slot_at(c, c->fresh));
    if (next)
        for (size_t at = 0; at < s->stride; at += 64)
            __builtin_prefetch(next + at, 1);
    if (c->taken == c->slots)
        list_remove(s, c);
    return h + 1;
}

void oxlo_slab_set_ahead(oxlo_slab *slab, void (*made_ahead)(void *user, void *slots, size_t bytes, void *chunk),
                         void *user)
{
    if (!slab)
        return;
    slab->made_ahead = made_ahead;
    slab->made_ahead_user = user;
}

void oxlo_slab_ahead_ready(void *chunk)
{
    if (chunk)
        __atomic_store_n(&static_cast<oxlo_slab_chunk *>(chunk)->ready, 1, __ATOMIC_RELEASE);
}

void oxlo_slab_give(void *slot)
{
    if (!slot)
        return;
    slot_head *h = static_cast<slot_head *>(slot) - 1;
    oxlo_slab_chunk *c = h->chunk;
    oxlo_slab *s = c->slab;
    h->next_free = c->free_list;
    c->free_list = h;
    c->taken--;
    s->taken--;
    if (s->released && s->taken == 0) {
        oxlo_slab_destroy(s);
        return;
    }
    if (!c->listed)
        list_add(s, c);
    if (c->taken != 0)
        return;
    /* An empty chunk waits for the next burst or a trim, as long as no more
     * than half as many wait as are in use: the slab of a shrinking table
     * shrinks with it, an emptied one holds nothing. */
    list_remove(s, c);
    c->free_list = nullptr;
    c->fresh = 0;
    c->next = s->spare;
    s->spare = c;
    s->spares++;
    while (s->spares > s->spare_floor && s->spares > (s->chunk_count - s->spares) / 2) {
        oxlo_slab_chunk *oldest = s->spare;
        s->spare = oldest->next;
        s->spares--;
        chunk_free(s, oldest);
    }
}

void oxlo_slab_trim(oxlo_slab *s, uint32_t keep)
{
    if (!s)
        return;
    while (s->spares > keep) {
        oxlo_slab_chunk *c = s->spare;
        s->spare = c->next;
        s->spares--;
        chunk_free(s, c);
    }
    /* A chunk made ahead goes too once the hook is done with it. */
    if (keep == 0 && ahead_ready(s)) {
        chunk_free(s, s->ahead);
        s->ahead = nullptr;
    }
}

void oxlo_slab_destroy(oxlo_slab *s)
{
    if (!s)
        return;
    while (s->chunks)
        chunk_free(s, s->chunks);
    oxlo_heap_free(s);
}

void oxlo_slab_release(oxlo_slab *s)
{
    if (!s)
        return;
    if (s->taken == 0)
        oxlo_slab_destroy(s);
    else
        s->released = 1;
}

uint32_t oxlo_slab_taken(const oxlo_slab *slab) { return slab ? slab->taken : 0; }

uint64_t oxlo_slab_bytes(const oxlo_slab *slab) { return slab ? slab->bytes : 0; }

} // extern "C"
