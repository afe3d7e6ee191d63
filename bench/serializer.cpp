/* Records per second for a typical exported flow record, in each format,
 * written in batches of 16 and reset as the exporter does; plus the reader's
 * rewrite of a TLV batch into JSON. */
#include "oxlo_serializer.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int kBatch = 16;

const char kDpi[] =
    "{\"oxlo\": {\"flow_risk\": {\"7\": {\"risk\":\"Known Proto on Non Std Port\"}},"
    "\"confidence\": {\"6\":\"DPI\"},\"proto\":\"TLS.Google\",\"proto_id\":\"91.126\","
    "\"breed\":\"Safe\",\"category\":\"Web\",\"hostname\":\"www.google.com\"}}";

void write_flow(oxlo_recbuf *s, uint32_t n)
{
    oxlo_recbuf_put_id_u32(s, 1, 15321 + n);
    oxlo_recbuf_put_id_u32(s, 2, 23);
    oxlo_recbuf_put_id_u32(s, 23, 402113);
    oxlo_recbuf_put_id_u32(s, 24, 301);
    oxlo_recbuf_put_id_u32(s, 22, 1765324800);
    oxlo_recbuf_put_id_u32(s, 21, 1765324861);
    oxlo_recbuf_put_id_u32(s, 8, 0xC0A80A05);
    oxlo_recbuf_put_id_u32(s, 12, 0x8EFA4A64);
    oxlo_recbuf_put_id_u32(s, 7, 51514);
    oxlo_recbuf_put_id_u32(s, 11, 443);
    oxlo_recbuf_put_id_u32(s, 4, 6);
    oxlo_recbuf_put_id_u32(s, 60, 4);
    oxlo_recbuf_put_id_u32(s, 10, 2);
    oxlo_recbuf_put_id_u32(s, 14, 3);
    oxlo_recbuf_put_id_text(s, 56, "52:54:00:12:34:56");
    oxlo_recbuf_put_id_text(s, 57, "52:54:00:AB:CD:EF");
    oxlo_recbuf_put_id_u32(s, 58061, 3735928559u);
    oxlo_recbuf_put_id_text(s, 57590, "91.126");
    oxlo_recbuf_put_id_text_len(s, 58065, kDpi, sizeof kDpi - 1);
    oxlo_recbuf_put_id_text(s, 58011, "www.google.com");
    oxlo_recbuf_put_id_u64(s, 57981, 1ull << 7);
    oxlo_recbuf_put_id_u32(s, 57999, 60);
    oxlo_recbuf_put_id_text(s, 58027, "{\"7\":\"Expected on port 443\"}");
    oxlo_recbuf_put_id_u32(s, 58032, 6);
    oxlo_recbuf_put_id_u32(s, 130, 0xC0A80A01);
}

void bm_write(benchmark::State &state, oxlo_recbuf_format format)
{
    oxlo_recbuf s;
    if (oxlo_recbuf_init(&s, format) != 0) {
        state.SkipWithError("init");
        return;
    }
    uint32_t n = 0;
    for (auto _ : state) {
        oxlo_recbuf_reset(&s);
        for (int i = 0; i < kBatch; i++) {
            if (i)
                oxlo_recbuf_end_record(&s);
            write_flow(&s, n++);
        }
        uint32_t len;
        benchmark::DoNotOptimize(oxlo_recbuf_output(&s, &len));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    uint32_t len;
    oxlo_recbuf_output(&s, &len);
    state.counters["bytes_per_record"] = double(len) / kBatch;
    oxlo_recbuf_release(&s);
}

void bm_tlv_to_json(benchmark::State &state)
{
    oxlo_recbuf t, j, d;
    oxlo_recbuf_init(&t, OXLO_SER_FORMAT_TLV);
    oxlo_recbuf_init(&j, OXLO_SER_FORMAT_JSON);
    for (int i = 0; i < kBatch; i++) {
        if (i)
            oxlo_recbuf_end_record(&t);
        write_flow(&t, uint32_t(i));
    }
    for (auto _ : state) {
        oxlo_recbuf_reset(&j);
        oxlo_deserializer_init_from(&d, &t);
        if (oxlo_deserializer_copy_all(&d, &j) != 0) {
            state.SkipWithError("copy_all");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    oxlo_recbuf_release(&t);
    oxlo_recbuf_release(&j);
}

} // namespace

BENCHMARK_CAPTURE(bm_write, tlv, OXLO_SER_FORMAT_TLV);
BENCHMARK_CAPTURE(bm_write, json, OXLO_SER_FORMAT_JSON);
BENCHMARK_CAPTURE(bm_write, json_lines, OXLO_SER_FORMAT_JSON_LINES);
BENCHMARK_CAPTURE(bm_write, csv, OXLO_SER_FORMAT_CSV);
BENCHMARK(bm_tlv_to_json);
BENCHMARK_MAIN();
