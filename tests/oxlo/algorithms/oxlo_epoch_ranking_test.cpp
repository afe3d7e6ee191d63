#include "oxlo_epoch_ranking.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct ranking_holder {
    oxlo_epoch_ranking r;
    ranking_holder(uint16_t items, uint32_t epochs, int expected = 0)
    {
        EXPECT_EQ(oxlo_epoch_ranking_init(&r, items, epochs), expected);
    }
    ~ranking_holder() { oxlo_epoch_ranking_free(&r); }
    int add(uint32_t epoch, std::vector<oxlo_ranking_item> items, uint32_t *previous_id = nullptr)
    {
        std::vector<oxlo_ranking_item> now(items.size()), before(items.size());
        return oxlo_epoch_ranking_add_epoch(&r, epoch, items.data(), static_cast<uint16_t>(items.size()),
                                            now.data(), before.data(), previous_id);
    }
    std::string printed()
    {
        testing::internal::CaptureStdout();
        oxlo_epoch_ranking_print(&r);
        return testing::internal::GetCapturedStdout();
    }
};

struct temp_file {
    std::string path;
    temp_file()
    {
        char name[] = "/tmp/oxlo_ranking_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path = name;
    }
    ~temp_file() { unlink(path.c_str()); }
    std::vector<uint8_t> bytes() const
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::vector<uint8_t> &b) const
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
};

TEST(EpochRanking, first_epoch_sorts_and_reports_no_previous)
{
    ranking_holder h(4, 3);
    std::vector<oxlo_ranking_item> items = {{1, 0, 10}, {2, 0, 30}, {3, 0, 20}};
    std::vector<oxlo_ranking_item> now(3), before(3);
    uint32_t previous = 99;
    EXPECT_EQ(oxlo_epoch_ranking_add_epoch(&h.r, 7, items.data(), 3, now.data(), before.data(), &previous), 0);
    EXPECT_EQ(previous, 0u);
    EXPECT_EQ(items[0].id, 2u);
    EXPECT_EQ(items[1].id, 3u);
    EXPECT_EQ(items[2].id, 1u);
    EXPECT_EQ(h.r.header.next_epoch_id, 1);
    EXPECT_EQ(h.printed(),
              "[version: 1][max_num_item: 4][num_epochs: 3][epochs_memory_len: 228][next_epoch_id: 1]"
              "[# updates_without_ranking_changes: 0]\n"
              "\t[epoch 0 @ 7]\n\t\t[ 0] 2 - 30\n\t\t[ 1] 3 - 20\n\t\t[ 2] 1 - 10\n\t\t[ 3] 0 - 0\n"
              "\t[epoch 1 @ 0]\n\t\t[ 0] 0 - 0\n\t\t[ 1] 0 - 0\n\t\t[ 2] 0 - 0\n\t\t[ 3] 0 - 0\n"
              "\t[epoch 2 @ 0]\n\t\t[ 0] 0 - 0\n\t\t[ 1] 0 - 0\n\t\t[ 2] 0 - 0\n\t\t[ 3] 0 - 0\n");
}

TEST(EpochRanking, unchanged_ranking_takes_over_the_previous_slot)
{
    ranking_holder h(4, 3);
    EXPECT_EQ(h.add(5, {{1, 0, 10}, {2, 0, 20}}), 0);
    uint32_t previous = 0;
    /* same order, other values: no position changed */
    EXPECT_EQ(h.add(6, {{1, 0, 11}, {2, 0, 25}}, &previous), 0);
    EXPECT_EQ(previous, 5u);
    EXPECT_EQ(h.r.header.next_epoch_id, 1);
    EXPECT_EQ(h.r.updates_without_ranking_changes, 1u);
    std::string text = h.printed();
    EXPECT_NE(text.find("[epoch 0 @ 6]\n\t\t[ 0] 2 - 25\n\t\t[ 1] 1 - 11\n"), std::string::npos) << text;
}

TEST(EpochRanking, counts_changed_positions_and_wraps_the_ring)
{
    ranking_holder h(3, 2);
    struct {
        uint32_t epoch;
        std::vector<oxlo_ranking_item> items;
        int changes;
        uint8_t next;
    } steps[] = {
        {1, {{1, 0, 3}, {2, 0, 2}, {3, 0, 1}}, 0, 1},
        {2, {{1, 0, 1}, {2, 0, 2}, {3, 0, 3}}, 2, 0}, /* 3,2,1: ends swap */
        {3, {{3, 0, 5}}, 2, 1},                       /* positions 1, 2 now empty */
        {4, {{3, 0, 5}, {9, 0, 1}}, 1, 0},            /* position 1 filled */
    };
    for (const auto &s : steps) {
        uint32_t previous = 0;
        EXPECT_EQ(h.add(s.epoch, s.items, &previous), s.changes) << s.epoch;
        EXPECT_EQ(h.r.header.next_epoch_id, s.next) << s.epoch;
        EXPECT_EQ(h.r.updates_without_ranking_changes, 0u);
    }
}

TEST(EpochRanking, epoch_counts_beyond_eight_bits_are_refused)
{
    /* 300 would silently become 44 epochs in the 8-bit count. */
    for (uint32_t epochs : {256u, 300u, 1025u}) {
        ranking_holder h(4, epochs, -1);
        EXPECT_EQ(h.r.header.num_epochs, 0);
        EXPECT_EQ(h.r.epochs, nullptr);
        EXPECT_EQ(h.add(1, {{1, 0, 1}}), 0);
    }
    ranking_holder h(4, 255);
    EXPECT_EQ(h.r.header.num_epochs, 255);
    EXPECT_EQ(h.r.header.epochs_memory_len, 255u * 76);
}

TEST(EpochRanking, more_items_than_the_ranking_holds_keep_the_top_ones)
{
    ranking_holder h(2, 2);
    h.add(1, {{1, 0, 1}, {2, 0, 5}, {3, 0, 3}, {4, 0, 4}});
    std::string text = h.printed();
    EXPECT_NE(text.find("[epoch 0 @ 1]\n\t\t[ 0] 2 - 5\n\t\t[ 1] 4 - 4\n\t[epoch 1"), std::string::npos) << text;
}

TEST(EpochRanking, save_writes_the_header_and_load_restores_the_ring)
{
    ranking_holder h(4, 3);
    h.add(10, {{1, 0, 100}, {2, 0, 200}});
    h.add(11, {{3, 0, 300}, {1, 0, 100}, {2, 0, 50}});
    temp_file f;
    ASSERT_EQ(oxlo_epoch_ranking_save(&h.r, f.path.c_str()), 1);
    std::vector<uint8_t> b = f.bytes();
    ASSERT_EQ(b.size(), 240u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1] | b[2] | b[3], 0);
    EXPECT_EQ(b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24, 228);
    EXPECT_EQ(b[8] | b[9] << 8, 4);
    EXPECT_EQ(b[10], 3);
    EXPECT_EQ(b[11], 2);
    /* first record: epoch 10, item (2, 200) with zero padding */
    const uint8_t record[] = {10, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b.data() + 12, record, sizeof(record)), 0);

    std::string before = h.printed();
    ranking_holder loaded(1, 1); /* holds memory already: replaced, not leaked */
    ASSERT_EQ(oxlo_epoch_ranking_load(&loaded.r, f.path.c_str()), 1);
    EXPECT_EQ(loaded.printed(), before);
    /* the loaded ring goes on where it stopped */
    EXPECT_EQ(loaded.add(12, {{3, 0, 1}, {1, 0, 1}, {2, 0, 1}}), 0);
    EXPECT_EQ(loaded.r.updates_without_ranking_changes, 1u);
}

TEST(EpochRanking, damaged_files_are_refused_and_leave_the_ranking_alone)
{
    ranking_holder h(2, 2);
    h.add(1, {{1, 0, 10}});
    temp_file f;
    ASSERT_EQ(oxlo_epoch_ranking_save(&h.r, f.path.c_str()), 1);
    const std::vector<uint8_t> good = f.bytes();
    ASSERT_EQ(good.size(), 12u + 2 * (2 * 16 + 12));

    ranking_holder target(3, 1);
    target.add(42, {{7, 0, 7}});
    const std::string kept = target.printed();

    auto with = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> b = good;
        b[at] = v;
        return b;
    };
    struct {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *reason;
    } cases[] = {
        {"version 2", with(0, 2), "unknown version"},
        {"reserved byte", with(2, 1), "reserved header bytes"},
        {"length too small for the records", with(4, 40), "does not match"},
        {"more items than the memory holds", with(8, 3), "does not match"},
        {"more epochs than the memory holds", with(10, 3), "does not match"},
        {"next slot outside the ring", with(11, 2), "outside the ring"},
        {"trailing data", [&] { auto b = good; b.push_back(0); return b; }(), "data after"},
    };
    for (const auto &c : cases) {
        f.write(c.bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(oxlo_epoch_ranking_load(&target.r, f.path.c_str()), 0) << c.what;
        std::string said = testing::internal::GetCapturedStdout();
        EXPECT_NE(said.find(c.reason), std::string::npos) << c.what << ": " << said;
        EXPECT_EQ(target.printed(), kept) << c.what;
    }
    /* every truncation */
    for (size_t len = 0; len < good.size(); len++) {
        f.write(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(len)));
        testing::internal::CaptureStdout();
        EXPECT_EQ(oxlo_epoch_ranking_load(&target.r, f.path.c_str()), 0) << len;
        EXPECT_NE(testing::internal::GetCapturedStdout().find("short"), std::string::npos) << len;
    }
    EXPECT_EQ(target.printed(), kept);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oxlo_epoch_ranking_load(&target.r, "/nonexistent/ranking"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(oxlo_epoch_ranking_save(&target.r, "/nonexistent/ranking"), 0);
}

TEST(EpochRanking, ranking_without_epochs_round_trips)
{
    ranking_holder h(5, 0);
    temp_file f;
    ASSERT_EQ(oxlo_epoch_ranking_save(&h.r, f.path.c_str()), 1);
    EXPECT_EQ(f.bytes().size(), 12u);
    ranking_holder loaded(1, 1);
    ASSERT_EQ(oxlo_epoch_ranking_load(&loaded.r, f.path.c_str()), 1);
    EXPECT_EQ(loaded.r.header.max_num_items, 5);
    EXPECT_EQ(loaded.r.epochs, nullptr);
    EXPECT_EQ(loaded.add(1, {{1, 0, 1}}), 0);
}

} // namespace
