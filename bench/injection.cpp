/* Throughput of the URL check's detectors and of the small primitives:
 * SQL-injection and XSS verdicts on an attack and on an ordinary value, the
 * short-string compressor on a host name, and AES-256-CBC on 1 KB. */
#include "oxlo_aes256.h"
#include "oxlo_inj.h"
#include "oxlo_short_string.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string attack = "1' AND 1234=(SELECT (CASE WHEN (1234=1234) THEN 1 ELSE 0 END))-- abcd";
const std::string ordinary = "the quick brown fox jumps over the lazy dog";

void sqli(benchmark::State &state, const std::string &text)
{
    char fp[8];
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_inj_sqli_check_string(text.data(), text.size(), fp));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void xss(benchmark::State &state, const std::string &text)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(oxlo_inj_xss_detect(text.data(), text.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_sqli_attack(benchmark::State &s) { sqli(s, attack); }
void BM_sqli_ordinary(benchmark::State &s) { sqli(s, ordinary); }
void BM_xss_attack(benchmark::State &s) { xss(s, "<img src=x onerror=alert(1)>"); }
void BM_xss_ordinary(benchmark::State &s) { xss(s, ordinary); }

void BM_short_compress(benchmark::State &state)
{
    const char host[] = "static.cdn-01.example.com";
    char out[64];
    for (auto _ : state)
        benchmark::DoNotOptimize(short_string_compress(host, sizeof host - 1, out, sizeof out));
}

void BM_aes256_cbc_1k(benchmark::State &state)
{
    aes256_context ctx;
    uint8_t key[32] = {1}, iv[16] = {};
    aes256_init_with_iv(&ctx, key, iv);
    std::vector<uint8_t> buf(1024, 0x5a);
    for (auto _ : state)
        benchmark::DoNotOptimize(aes256_cbc_encrypt(&ctx, buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
}

} // namespace

BENCHMARK(BM_sqli_attack);
BENCHMARK(BM_sqli_ordinary);
BENCHMARK(BM_xss_attack);
BENCHMARK(BM_xss_ordinary);
BENCHMARK(BM_short_compress);
BENCHMARK(BM_aes256_cbc_1k);
BENCHMARK_MAIN();
