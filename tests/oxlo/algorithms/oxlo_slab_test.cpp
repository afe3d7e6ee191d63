#include "oxlo_slab.h"
#include "oxlo_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace {

// Slots are distinct, aligned, hold their bytes while taken, and a slot
// given back is handed out again before the slab grows.
TEST(Slab, slots_are_distinct_aligned_and_reused)
{
    oxlo_slab *s = oxlo_slab_new(100, 16);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t *> slots;
    for (int i = 0; i < 1000; i++) {
        auto *p = static_cast<uint8_t *>(oxlo_slab_take(s));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        memset(p, i & 0xFF, 100);
        slots.push_back(p);
    }
    EXPECT_EQ(std::set<uint8_t *>(slots.begin(), slots.end()).size(), slots.size());
    for (int i = 0; i < 1000; i++)
        for (int k = 0; k < 100; k += 33)
            ASSERT_EQ(slots[i][k], i & 0xFF) << "slot " << i;
    EXPECT_EQ(oxlo_slab_taken(s), 1000u);

    uint64_t bytes = oxlo_slab_bytes(s);
    uint8_t *given = slots[500];
    oxlo_slab_give(given);
    EXPECT_EQ(oxlo_slab_take(s), given);
    EXPECT_EQ(oxlo_slab_bytes(s), bytes);
    oxlo_slab_destroy(s);
}

// A slot is aligned as an object of its size can need (16 for a multiple
// of 16, else 8) and costs its bytes and one word of the slab's, rounded to
// that alignment: the flow table's record and state of 552 bytes take 560.
TEST(Slab, slot_alignment_and_cost_follow_the_size)
{
    struct Case {
        size_t size, align, stride;
    } cases[] = {{24, 8, 32}, {100, 8, 112}, {552, 8, 560}, {64, 16, 80}, {96, 16, 112}, {1, 8, 16}};
    for (const Case &c : cases) {
        oxlo_slab *s = oxlo_slab_new(c.size, 16);
        ASSERT_NE(s, nullptr);
        std::vector<uint8_t *> slots;
        for (int i = 0; i < 16; i++) {
            auto *p = static_cast<uint8_t *>(oxlo_slab_take(s));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.align, 0u) << "size " << c.size;
            memset(p, 0xA5, c.size);  // the slab's words around it stay intact
            slots.push_back(p);
        }
        // One chunk: consecutive slots one stride apart.
        EXPECT_EQ(static_cast<size_t>(slots[1] - slots[0]), c.stride) << "size " << c.size;
        for (uint8_t *p : slots)
            oxlo_slab_give(p);
        EXPECT_EQ(oxlo_slab_taken(s), 0u);
        oxlo_slab_destroy(s);
    }
}

// A table that fills and empties: emptied chunks are kept for a refill
// (which then takes no new chunk) up to half the chunks in use, so a slab
// whose slots are all free holds nothing; a trim frees the kept ones.
TEST(Slab, emptied_chunks_go_back)
{
    oxlo_slab *s = oxlo_slab_new(64, 64);
    std::vector<void *> slots;
    for (int i = 0; i < 64 * 40; i++)
        slots.push_back(oxlo_slab_take(s));
    const uint64_t full = oxlo_slab_bytes(s);
    const uint64_t chunk = full / 40;

    // Oldest first, as a purge frees them: a quarter back, then refilled.
    for (int i = 0; i < 64 * 10; i++)
        oxlo_slab_give(slots[i]);
    for (int i = 0; i < 64 * 10; i++)
        slots[i] = oxlo_slab_take(s);
    EXPECT_EQ(oxlo_slab_bytes(s), full);

    // Half drained: some emptied chunks wait, and a trim frees them.
    for (int i = 0; i < 64 * 20; i++)
        oxlo_slab_give(slots[i]);
    EXPECT_GT(oxlo_slab_bytes(s), 20 * chunk);
    EXPECT_LE(oxlo_slab_bytes(s), 30 * chunk);
    oxlo_slab_trim(s, 0);
    EXPECT_EQ(oxlo_slab_bytes(s), 20 * chunk);
    for (int i = 64 * 20; i < 64 * 40; i++)
        oxlo_slab_give(slots[i]);
    EXPECT_EQ(oxlo_slab_taken(s), 0u);
    EXPECT_EQ(oxlo_slab_bytes(s), 0u);
    EXPECT_NE(oxlo_slab_take(s), nullptr);  // works on after a trim
    oxlo_slab_destroy(s);
}

// One slot at a time (a flow state made and freed before the next flow's):
// with a floor the emptied chunk stays and the next take reuses the same
// slot, so the slab neither frees nor allocates a chunk per slot; a trim
// still frees it, and more emptied chunks than the floor still go.
TEST(Slab, spare_floor_keeps_an_emptied_chunk_for_the_next_slot)
{
    oxlo_slab *s = oxlo_slab_new(512, 256);
    oxlo_slab_set_spare_floor(s, 1);
    void *first = oxlo_slab_take(s);
    const uint64_t chunk = oxlo_slab_bytes(s);
    for (int i = 0; i < 100; i++) {
        void *p = oxlo_slab_take(s);
        oxlo_slab_give(p);
        EXPECT_EQ(oxlo_slab_bytes(s), chunk);
    }
    oxlo_slab_give(first);
    EXPECT_EQ(oxlo_slab_taken(s), 0u);
    EXPECT_EQ(oxlo_slab_bytes(s), chunk);
    EXPECT_EQ(oxlo_slab_take(s), first);
    EXPECT_EQ(oxlo_slab_bytes(s), chunk);

    std::vector<void *> slots(256 * 3 - 1);
    for (void *&p : slots)
        p = oxlo_slab_take(s);
    EXPECT_EQ(oxlo_slab_bytes(s), 3 * chunk);
    for (void *p : slots)
        oxlo_slab_give(p);
    oxlo_slab_give(first);
    EXPECT_EQ(oxlo_slab_bytes(s), chunk);
    oxlo_slab_trim(s, 0);
    EXPECT_EQ(oxlo_slab_bytes(s), 0u);
    oxlo_slab_set_spare_floor(nullptr, 1);
    oxlo_slab_destroy(s);
}

// Released with slots still taken, the slab lives until the last one is
// given back (flow states can outlive the module that made them).
TEST(Slab, released_slab_waits_for_its_last_slot)
{
    oxlo_slab *s = oxlo_slab_new(32, 16);
    void *a = oxlo_slab_take(s), *b = oxlo_slab_take(s);
    memset(a, 1, 32);
    oxlo_slab_release(s);
    memset(b, 2, 32);  // still its memory
    oxlo_slab_give(a);
    oxlo_slab_give(b);  // the slab goes here

    oxlo_slab_release(oxlo_slab_new(32, 16));  // nothing taken: goes at once
    oxlo_slab_release(nullptr);
    oxlo_slab_give(nullptr);
    EXPECT_EQ(oxlo_slab_take(nullptr), nullptr);
    EXPECT_EQ(oxlo_slab_new(0, 16), nullptr);
}

// A chunk made ahead is the hook's until it is marked ready: the slab
// makes another chunk if it needs one before, takes the ready one next, and
// a trim to nothing frees it.
struct ahead_log {
    std::vector<std::pair<uint8_t *, size_t>> areas;
    std::vector<void *> chunks;
};

void note_ahead(void *user, void *slots, size_t bytes, void *chunk)
{
    auto *log = static_cast<ahead_log *>(user);
    log->areas.emplace_back(static_cast<uint8_t *>(slots), bytes);
    log->chunks.push_back(chunk);
}

TEST(Slab, chunk_made_ahead_is_used_only_once_ready)
{
    oxlo_slab *s = oxlo_slab_new(100, 16);
    ahead_log log;
    oxlo_slab_set_ahead(s, note_ahead, &log);
    auto within = [](const std::pair<uint8_t *, size_t> &a, void *p) {
        auto *b = static_cast<uint8_t *>(p);
        return b >= a.first && b < a.first + a.second;
    };
    std::vector<void *> taken{oxlo_slab_take(s)};
    ASSERT_EQ(log.areas.size(), 1u);  // with the first slot of the first chunk
    // Not ready: the second chunk is a new one, not the one made ahead.
    for (int i = 1; i < 17; i++)
        taken.push_back(oxlo_slab_take(s));
    EXPECT_FALSE(within(log.areas[0], taken.back()));
    EXPECT_EQ(log.areas.size(), 1u);  // one ahead at a time
    oxlo_slab_ahead_ready(log.chunks[0]);
    for (int i = 17; i < 33; i++)
        taken.push_back(oxlo_slab_take(s));
    EXPECT_TRUE(within(log.areas[0], taken.back()));
    EXPECT_EQ(log.areas.size(), 2u);  // the next one, as the ready one started
    oxlo_slab_ahead_ready(log.chunks[1]);
    for (void *p : taken)
        oxlo_slab_give(p);
    oxlo_slab_trim(s, 0);
    EXPECT_EQ(oxlo_slab_bytes(s), 0u);
    oxlo_slab_destroy(s);
}

// Chunks of a huge page or more lie on whole huge pages, aligned to one,
// their slots filling them and their headers elsewhere: the area handed to
// the made-ahead hook holds every slot of its chunk and nothing of the
// slab's own (the hook may write all of it), and the mappings go with the
// chunks.
TEST(Slab, large_chunks_are_whole_huge_pages_of_slots)
{
    const uint64_t mapped = oxlo_huge_bytes();
    oxlo_slab *s = oxlo_slab_new(1000, 5000);  // about 5 MB a chunk: 4 MiB
    ahead_log log;
    oxlo_slab_set_ahead(s, note_ahead, &log);
    std::vector<uint8_t *> taken{static_cast<uint8_t *>(oxlo_slab_take(s))};
    ASSERT_EQ(log.areas.size(), 1u);
    const auto area = log.areas[0];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(area.first) % OXLO_HUGE_PAGE, 0u);
    EXPECT_GT(area.second, OXLO_HUGE_PAGE * 2 - 1024);  // the slots fill 4 MiB
    EXPECT_LE(area.second, OXLO_HUGE_PAGE * 2);
    EXPECT_EQ(oxlo_slab_bytes(s) % OXLO_HUGE_PAGE, 0u);
    EXPECT_EQ(oxlo_huge_bytes() - mapped, oxlo_slab_bytes(s));
    memset(area.first, 0xAB, area.second);  // the hook's to write, all of it
    oxlo_slab_ahead_ready(log.chunks[0]);

    // The first chunk's slots, then the ready one's: those inside the area
    // are the ready chunk's, none overlapping.
    const size_t perChunk = area.second / 1008;  // 8 bytes of the slab's, 1000 of ours
    while (taken.size() < perChunk + 1000) {
        taken.push_back(static_cast<uint8_t *>(oxlo_slab_take(s)));
        ASSERT_NE(taken.back(), nullptr);
    }
    size_t inArea = 0;
    for (uint8_t *p : taken) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);  // 1000 bytes need no more
        if (p >= area.first && p < area.first + area.second) {
            EXPECT_LE(p + 1000, area.first + area.second);
            inArea++;
        }
        memset(p, 0x5C, 1000);
    }
    EXPECT_EQ(inArea, 1000u);
    EXPECT_EQ(std::set<uint8_t *>(taken.begin(), taken.end()).size(), taken.size());
    for (uint8_t *p : taken)
        oxlo_slab_give(p);
    ASSERT_EQ(log.chunks.size(), 2u);  // the next one, made as the ready one started
    oxlo_slab_ahead_ready(log.chunks[1]);
    oxlo_slab_trim(s, 0);
    EXPECT_EQ(oxlo_slab_bytes(s), 0u);
    oxlo_slab_destroy(s);
    EXPECT_EQ(oxlo_huge_bytes(), mapped);
}

} // namespace
