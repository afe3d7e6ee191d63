/* Feeds arbitrary bytes to the utilities that parse input from the wire or
 * from files: base64, hex, TLS-block text, BER lengths, the readable-text
 * finder, the URL check, host-name checks, the HTTP verb parser and the
 * bounded copies. Each result is checked against what it promises. */
#include "oxlo_names.h"
#include "oxlo_utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_decoders(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    size_t n = 0;
    if (uint8_t *b = oxlo_decode_base64(text, size, &n)) {
        if (n > size)
            abort();
        char *again = oxlo_encode_base64(b, n);
        oxlo_heap_free(again);
        oxlo_heap_free(b);
    }
    if (uint8_t *h = oxlo_hex_decode(text, size, &n)) {
        if (n * 2 != size)
            abort();
        oxlo_heap_free(h);
    }
    if (tls_block *blocks = oxlo_tls_blocks_parse(text, size, &n)) {
        if (n == 0 || n > 255)
            abort();
        char *back = oxlo_tls_blocks_to_text(blocks, n > 170 ? 170 : n);
        oxlo_heap_free(back);
        oxlo_heap_free(blocks);
    }
    size_t used = 0;
    int64_t len = oxlo_decode_ber_length(data, size, &used);
    if (used > size || (len >= 0 && used == 0))
        abort();
}

void check_text(const uint8_t *data, size_t size)
{
    std::string s(reinterpret_cast<const char *>(data), size);   /* NUL-terminated copy */
    char out[32];
    oxlo_find_readable_text(data, size, 4, out, sizeof out);
    if (std::strlen(out) >= sizeof out)
        abort();
    oxlo_url_attack_check(nullptr, nullptr, s.c_str());
    oxlo_is_valid_dns_name(s.data(), size);
    oxlo_has_punycode(s.data(), size);
    oxlo_http_verb_parse(reinterpret_cast<const char *>(data), size);
    oxlo_copy_payload_text(data, size, size ? data[0] : 0, out, sizeof out);
    char utf8[64];
    oxlo_latin1_to_utf8(data, size < 31 ? size : 31, utf8, sizeof utf8);
    uint8_t key[64];
    oxlo_host_name_compact_key(nullptr, s.c_str(), key, sizeof key);
    char host[16];
    if (oxlo_host_name_canonical(s.data(), size, host, sizeof host) != std::strlen(host))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_decoders(data, size);
    check_text(data, size);
    return 0;
}
