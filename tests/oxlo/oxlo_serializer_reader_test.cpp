#include "oxlo_serializer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string tlv(std::initializer_list<uint8_t> items)
{
    std::string b = {1, 1};
    for (uint8_t c : items)
        b.push_back(char(c));
    return b;
}

struct reader {
    std::string buf;
    oxlo_recbuf d;
    explicit reader(std::string b) : buf(std::move(b))
    {
        EXPECT_EQ(oxlo_deserializer_init(&d, buf.data(), uint32_t(buf.size())), 0);
    }
    oxlo_recbuf *operator->() { return &d; }
    operator oxlo_recbuf *() { return &d; }
};

struct writer {
    oxlo_recbuf s;
    explicit writer(oxlo_recbuf_format f) { EXPECT_EQ(oxlo_recbuf_init(&s, f), 0); }
    ~writer() { oxlo_recbuf_release(&s); }
    writer(const writer &) = delete;
    writer &operator=(const writer &) = delete;
    operator oxlo_recbuf *() { return &s; }
    std::string text()
    {
        uint32_t n = 0;
        char *p = oxlo_recbuf_output(&s, &n);
        return std::string(p, n);
    }
};

std::string span(oxlo_text_span t) { return std::string(t.str, t.len); }

// The same two records through any writer; floats as the reader reprints them.
void write_records(oxlo_recbuf *s)
{
    oxlo_recbuf_put_id_u32(s, 1, 5);
    oxlo_recbuf_put_id_u32(s, 300, 70000);
    oxlo_recbuf_put_id_u64(s, 57981, 1ull << 40);
    oxlo_recbuf_put_id_i32(s, 2, -5);
    oxlo_recbuf_put_id_i64(s, 3, -3000000000ll);
    oxlo_recbuf_put_id_float(s, 4, 2.5f, "%.3f");
    oxlo_recbuf_put_id_text(s, 56, "AA:BB:CC:00:11:22");
    oxlo_recbuf_put_u32(s, "name", 7);
    oxlo_recbuf_put_u64(s, "big", 1ull << 33);
    oxlo_recbuf_put_i32(s, "neg", -70000);
    oxlo_recbuf_put_i64(s, "small", -1);
    oxlo_recbuf_put_float(s, "ratio", 0.125f, "%.3f");
    oxlo_recbuf_put_text(s, "host", "example.org \"quoted\" \xC3\xA9\x01");
    oxlo_recbuf_open_block(s, "oxlo");
    oxlo_recbuf_put_text(s, "proto", "TLS");
    oxlo_recbuf_open_list(s, "ids");
    oxlo_recbuf_put_id_u32(s, 0, 1);
    oxlo_recbuf_put_id_u32(s, 0, 2);
    oxlo_recbuf_close_list(s);
    oxlo_recbuf_close_block(s);
    oxlo_recbuf_end_record(s);
    oxlo_recbuf_put_id_u32(s, 1, 6);
    oxlo_recbuf_put_text(s, "", "empty key");
}

} // namespace

TEST(tlv_reader, init_checks_the_header)
{
    oxlo_recbuf d;
    const char ok[] = {1, 1}, v2[] = {2, 1};
    EXPECT_EQ(oxlo_deserializer_init(&d, nullptr, 2), -3);
    EXPECT_EQ(oxlo_deserializer_init(&d, ok, 1), -1);
    EXPECT_EQ(oxlo_deserializer_init(&d, v2, 2), -2);
    ASSERT_EQ(oxlo_deserializer_init(&d, ok, 2), 0);
    EXPECT_EQ(oxlo_deserializer_format(&d), 1);
    oxlo_recbuf_item_type kt = OXLO_SER_TYPE_STRING;
    EXPECT_EQ(oxlo_deserializer_item_type(&d, &kt), OXLO_SER_TYPE_NONE);
    EXPECT_EQ(kt, OXLO_SER_TYPE_NONE);
    EXPECT_EQ(oxlo_deserializer_skip_item(&d), -2);
    uint32_t v;
    EXPECT_EQ(oxlo_deserializer_read_u32(&d, &v), -2);
    // Releasing a reader must leave the caller's buffer alone.
    oxlo_recbuf_release(&d);
    EXPECT_EQ(ok[0], 1);
}

TEST(tlv_reader, reads_the_current_item_and_reports_mismatches)
{
    reader r(tlv({0x22, 0x01, 0x05}));
    oxlo_recbuf_item_type kt;
    EXPECT_EQ(oxlo_deserializer_item_type(r, &kt), OXLO_SER_TYPE_UINT32);
    EXPECT_EQ(kt, OXLO_SER_TYPE_UINT32);
    uint32_t key = 0, u = 0;
    EXPECT_EQ(oxlo_deserializer_read_key_id(r, &key), 0);
    EXPECT_EQ(key, 1u);
    EXPECT_EQ(oxlo_deserializer_read_u32(r, &u), 0);
    EXPECT_EQ(u, 5u);
    uint64_t u64 = 0;
    EXPECT_EQ(oxlo_deserializer_read_u64(r, &u64), 0);
    EXPECT_EQ(u64, 5u);
    // A type mismatch stores 0 and says so.
    int32_t i = 99;
    EXPECT_EQ(oxlo_deserializer_read_i32(r, &i), -1);
    EXPECT_EQ(i, 0);
    int64_t i64 = 99;
    EXPECT_EQ(oxlo_deserializer_read_i64(r, &i64), -1);
    float f = 1;
    EXPECT_EQ(oxlo_deserializer_read_float(r, &f), -1);
    double d = 1;
    EXPECT_EQ(oxlo_deserializer_read_double(r, &d), -1);
    EXPECT_EQ(d, 0.0);
    oxlo_text_span t{};
    EXPECT_EQ(oxlo_deserializer_read_text(r, &t), -1);
    EXPECT_EQ(oxlo_deserializer_read_key_name(r, &t), -1);
    EXPECT_EQ(oxlo_deserializer_skip_item(r), 0);
    EXPECT_EQ(oxlo_deserializer_item_type(r, &kt), OXLO_SER_TYPE_NONE);
    EXPECT_EQ(oxlo_deserializer_read_double(r, &d), -2);
}

TEST(tlv_reader, values_of_every_width)
{
    struct tc {
        std::string item;
        oxlo_recbuf_item_type type;
        int64_t value;
    };
    const tc cases[] = {
        {tlv({0x23, 1, 0x01, 0x00}), OXLO_SER_TYPE_UINT32, 256},
        {tlv({0x24, 1, 0xFF, 0xFF, 0xFF, 0xFF}), OXLO_SER_TYPE_UINT32, 4294967295ll},
        {tlv({0x25, 1, 0, 0, 0, 1, 0, 0, 0, 0}), OXLO_SER_TYPE_UINT64, 4294967296ll},
        {tlv({0x26, 1, 0xFF}), OXLO_SER_TYPE_INT32, -1},
        {tlv({0x27, 1, 0xFE, 0xD4}), OXLO_SER_TYPE_INT32, -300},
        {tlv({0x28, 1, 0x80, 0, 0, 0}), OXLO_SER_TYPE_INT32, INT32_MIN},
        {tlv({0x29, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x4D, 0x2F, 0xA2, 0x00}), OXLO_SER_TYPE_INT64, -3000000000ll},
    };
    for (const auto &c : cases) {
        reader r(c.item);
        oxlo_recbuf_item_type kt;
        ASSERT_EQ(oxlo_deserializer_item_type(r, &kt), c.type);
        if (c.type == OXLO_SER_TYPE_UINT32 || c.type == OXLO_SER_TYPE_UINT64) {
            uint64_t v = 0;
            EXPECT_EQ(oxlo_deserializer_read_u64(r, &v), 0);
            EXPECT_EQ(int64_t(v), c.value);
        } else {
            int64_t v = 0;
            EXPECT_EQ(oxlo_deserializer_read_i64(r, &v), 0);
            EXPECT_EQ(v, c.value);
        }
    }
    reader k(tlv({0x42, 0x00, 0x01, 0x00, 0x00, 0x07, 0xB2, 0x00, 0x02, 'a', 'b', 0x01,
                  0x0C, 0x00, 0x01, 'b', 0x0D}));
    uint32_t key = 0;
    EXPECT_EQ(oxlo_deserializer_read_key_id(k, &key), 0);
    EXPECT_EQ(key, 65536u);
    oxlo_deserializer_skip_item(k);
    oxlo_recbuf_item_type kt;
    EXPECT_EQ(oxlo_deserializer_item_type(k, &kt), OXLO_SER_TYPE_UINT32);
    EXPECT_EQ(kt, OXLO_SER_TYPE_STRING);
    oxlo_text_span name{};
    EXPECT_EQ(oxlo_deserializer_read_key_id(k, &key), -1);
    EXPECT_EQ(oxlo_deserializer_read_key_name(k, &name), 0);
    EXPECT_EQ(span(name), "ab");
    oxlo_deserializer_skip_item(k);
    EXPECT_EQ(oxlo_deserializer_item_type(k, &kt), OXLO_SER_TYPE_BLOCK_START);
    EXPECT_EQ(oxlo_deserializer_read_key_name(k, &name), 0);
    EXPECT_EQ(span(name), "b");
    oxlo_deserializer_skip_item(k);
    EXPECT_EQ(oxlo_deserializer_item_type(k, &kt), OXLO_SER_TYPE_BLOCK_END);
}

TEST(tlv_reader, an_item_running_past_the_end_ends_the_reading)
{
    const std::string truncated[] = {
        tlv({0x2B, 0x01, 0x00, 0x05, 'a', 'b'}), // string claims 5 bytes, 2 remain
        tlv({0x2B, 0x01, 0x00}),                 // half a length field
        tlv({0xB2, 0x00, 0x09, 'k'}),            // text key runs past the end
        tlv({0x25, 0x01, 0, 0, 0, 0, 0, 0, 0}),  // 7 of 8 value bytes
        tlv({0x24, 0x01, 0, 0, 0}),              // 3 of 4
        tlv({0x2A, 0x01, 0, 0}),                 // half a float
        tlv({0x42, 0x00, 0x01}),                 // half a 4-byte key
        tlv({0x0C, 0x00, 0x04, 'b'}),            // block name
        tlv({0x22}),                             // type byte alone
    };
    for (const auto &b : truncated) {
        reader r(b);
        oxlo_recbuf_item_type kt;
        EXPECT_EQ(oxlo_deserializer_item_type(r, &kt), OXLO_SER_TYPE_NONE);
        EXPECT_EQ(kt, OXLO_SER_TYPE_NONE);
        uint64_t v;
        oxlo_text_span t;
        EXPECT_EQ(oxlo_deserializer_read_u64(r, &v), -2);
        EXPECT_EQ(oxlo_deserializer_read_text(r, &t), -2);
        EXPECT_EQ(oxlo_deserializer_skip_item(r), -2);
        writer w(OXLO_SER_FORMAT_JSON);
        EXPECT_EQ(oxlo_deserializer_copy_all(r, w), -1) << "a truncated buffer is not a clean end";
    }
    // A good item before the cut is still read.
    reader r(tlv({0x22, 0x01, 0x05, 0x2B, 0x02, 0xFF, 0xFF, 'x'}));
    uint32_t v = 0;
    EXPECT_EQ(oxlo_deserializer_read_u32(r, &v), 0);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(oxlo_deserializer_skip_item(r), 0);
    EXPECT_EQ(oxlo_deserializer_skip_item(r), -2);
}

TEST(tlv_reader, rewriting_tlv_gives_the_json_written_directly)
{
    for (auto f : {OXLO_SER_FORMAT_JSON, OXLO_SER_FORMAT_JSON_LINES, OXLO_SER_FORMAT_CSV}) {
        writer t(OXLO_SER_FORMAT_TLV), direct(f), copied(f);
        write_records(t);
        if (f == OXLO_SER_FORMAT_CSV) {
            // CSV has no blocks: write the flat part only.
            writer flat_t(OXLO_SER_FORMAT_TLV);
            oxlo_recbuf_put_id_u32(flat_t, 1, 5);
            oxlo_recbuf_put_text(flat_t, "host", "a,b");
            oxlo_recbuf_put_id_float(flat_t, 4, 2.5f, "%.3f");
            oxlo_recbuf_end_record(flat_t);
            oxlo_recbuf_put_id_u32(direct, 1, 5);
            oxlo_recbuf_put_text(direct, "host", "a,b");
            oxlo_recbuf_put_id_float(direct, 4, 2.5f, "%.3f");
            oxlo_recbuf_end_record(direct);
            oxlo_recbuf d;
            ASSERT_EQ(oxlo_deserializer_init_from(&d, flat_t), 0);
            EXPECT_EQ(oxlo_deserializer_copy_all(&d, copied), 0);
            EXPECT_EQ(copied.text(), direct.text());
            // Blocks cannot go to CSV, and the copy says so.
            ASSERT_EQ(oxlo_deserializer_init_from(&d, t), 0);
            writer csv(OXLO_SER_FORMAT_CSV);
            EXPECT_EQ(oxlo_deserializer_copy_all(&d, csv), -1);
            continue;
        }
        write_records(direct);
        oxlo_recbuf d;
        ASSERT_EQ(oxlo_deserializer_init_from(&d, t), 0);
        EXPECT_EQ(oxlo_deserializer_format(&d), OXLO_SER_FORMAT_TLV);
        EXPECT_EQ(oxlo_deserializer_copy_all(&d, copied), 0);
        EXPECT_EQ(copied.text(), direct.text()) << f;
    }
    // TLV to TLV reproduces the bytes.
    writer t(OXLO_SER_FORMAT_TLV), again(OXLO_SER_FORMAT_TLV);
    write_records(t);
    oxlo_recbuf d;
    ASSERT_EQ(oxlo_deserializer_init_from(&d, t), 0);
    EXPECT_EQ(oxlo_deserializer_copy_all(&d, again), 0);
    EXPECT_EQ(again.text(), t.text());
}

TEST(tlv_reader, copy_item_appends_the_bytes_to_a_tlv_writer)
{
    reader r(tlv({0xB2, 0x00, 0x02, 'a', 'b', 0x01, 0x22, 0x01, 0x05}));
    writer t(OXLO_SER_FORMAT_TLV), j(OXLO_SER_FORMAT_JSON);
    EXPECT_EQ(oxlo_deserializer_copy_item(r, j), -3);
    EXPECT_EQ(oxlo_deserializer_copy_item(r, r), -3);
    EXPECT_EQ(oxlo_deserializer_copy_item(r, t), 0);
    oxlo_deserializer_skip_item(r);
    EXPECT_EQ(oxlo_deserializer_copy_item(r, t), 0);
    oxlo_deserializer_skip_item(r);
    EXPECT_EQ(oxlo_deserializer_copy_item(r, t), -2);
    EXPECT_EQ(t.text(), r.buf);
}

TEST(tlv_reader, copy_all_reports_what_it_cannot_copy)
{
    // A zero type byte in the middle is not the end of the data.
    reader zero(tlv({0x22, 0x01, 0x05, 0x00, 0x22, 0x02, 0x06}));
    writer j(OXLO_SER_FORMAT_JSON);
    EXPECT_EQ(oxlo_deserializer_copy_all(zero, j), -1);
    // A block inside a list has no JSON form.
    reader nested(tlv({0x0E, 0x00, 0x01, 'l', 0x0C, 0x00, 0x01, 'b'}));
    writer j2(OXLO_SER_FORMAT_JSON);
    EXPECT_EQ(oxlo_deserializer_copy_all(nested, j2), -1);
    // A key that is neither a number nor a text (here a block-start code).
    reader odd(tlv({0xC2, 0x00, 0x01, 'x', 0x05}));
    writer j3(OXLO_SER_FORMAT_JSON);
    EXPECT_EQ(oxlo_deserializer_copy_all(odd, j3), -1);
    reader signed_key(tlv({0x62, 0xFF, 0x05}));
    oxlo_recbuf_item_type kt;
    EXPECT_EQ(oxlo_deserializer_item_type(signed_key, &kt), OXLO_SER_TYPE_UINT32);
    EXPECT_EQ(kt, OXLO_SER_TYPE_INT8);
    EXPECT_EQ(oxlo_deserializer_copy_all(signed_key, j3), -1);
}
