// Fuzzes the TLS, DTLS and DNS dissectors: the input is a series of
// payloads (a two-byte length and a direction bit before each) wrapped into
// TCP or UDP packets of one flow on ports 443, 4433 or 53, so that record
// reassembly, the hello and certificate parsers and the DNS walk all see
// attacker-chosen bytes through oxlo_classify_packet. With bit 2 of the
// first byte set, the first byte of each TCP payload moves that segment's
// sequence number (signed, -128..127) off the running one: gaps, segments
// out of order, old and overlapping bytes. What the dissectors kept is then
// written as the flow's JSON metadata.
#include "fuzz_flow.h"
#include "oxlo_flow_json.h"

#include <cstdlib>

static void configure(oxlo_module *mod)
{
    oxlo_set_config(mod, "tls", "max_num_blocks_to_analyze", "16");
    oxlo_set_config(mod, "tls", "metadata.ja4r_fingerprint", "1");
    oxlo_set_config(mod, "tls", "metadata.ja_data", "1");
    /* DNS answers feed the address cache and answer tracking, which the
     * server names of TLS hellos are then checked against. */
    oxlo_set_config(mod, nullptr, "dpi.address_cache_size", "64");
    oxlo_set_config(mod, nullptr, "hostname_dns_check", "1");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once(configure);
    if (!m || size < 1)
        return 0;
    static const uint16_t ports[4] = {443, 4433, 53, 53};
    const uint8_t mode = data[0] & 3;
    const bool tcp = mode == 0 || mode == 3;
    const bool shifted = tcp && (data[0] & 0x04);
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint32_t seq[2] = {1000, 9000};
    uint64_t now = 1000;
    size_t pos = 1;
    for (int n = 0; n < 32 && pos + 2 <= size; n++) {
        const bool to_server = !(data[pos] & 0x80);
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        const int side = to_server ? 0 : 1;
        int32_t shift = 0;
        if (shifted && len > 0) {
            shift = int8_t(data[pos]);
            pos++;
            len--;
        }
        std::vector<uint8_t> p = fuzz_ipv4_packet(tcp, to_server, ports[mode], seq[side] + uint32_t(shift),
                                                  seq[!side], data + pos, len);
        seq[side] += uint32_t(len);
        fuzz_classify_copy(m, flow, p.data(), p.size(), now, nullptr);
        pos += len;
        now += 7;
    }
    oxlo_classification c{};
    c.master = oxlo_flow_master_protocol(flow);
    c.app = oxlo_flow_app_protocol(flow);
    oxlo_recbuf json;
    if (oxlo_recbuf_init(&json, OXLO_SER_FORMAT_JSON) == 0) {
        uint32_t len = 0;
        const char *out = oxlo_flow_info_serialize(m, flow, &json, c) == 0 ? oxlo_recbuf_output(&json, &len) : nullptr;
        if (out && (len < 2 || out[0] != '{' || out[len - 1] != '}'))
            std::abort(); // a written block is one JSON object
        oxlo_recbuf_release(&json);
    }
    oxlo_flow_state_free(flow);
    return 0;
}
