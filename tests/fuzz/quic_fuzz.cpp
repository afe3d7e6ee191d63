// Fuzzes the QUIC dissector: the input is a mode byte and a series of UDP
// payloads (a two-byte length before each, its top bit set for the server's
// direction) of one flow to port 443 or 4433. In sealing mode each client
// payload is taken as the plaintext frames of an Initial and protected with
// the version's real Initial keys first, so the frame walk, the CRYPTO
// reassembly and the hand-over to the TLS hello parser see attacker-chosen
// bytes past a valid tag; otherwise the payloads go in as they are (headers,
// Google versions, short headers, version negotiation). Seeds:
// scripts/fuzz-seeds.py (443,4433) and scripts/quic-sealed-seeds.py over
// tests/captures/quic, scripts/quic-split-seeds.py (a ClientHello over
// two and three Initials, and coalesced Initials protected by the script),
// and a few flows written by hand: the hello turned down by a Retry or a
// Version Negotiation and sent again (*_sealed), an Initial of an unknown
// version or 0-RTT datagrams before any Initial (*_raw).
#include "fuzz_flow.h"
#include "protocols/quic_private.h"

#include <openssl/evp.h>

namespace {

const uint32_t versions[4] = {0x00000001, 0x6b3343cf, 0xff00001d, 0x54303531};

std::vector<uint8_t> seal(uint32_t version, uint32_t pn, const uint8_t *plain, size_t length)
{
    static const uint8_t dcid[8] = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    if (length > 1400)
        length = 1400;
    // Header (18 bytes and a 4-byte packet number) and tag around the
    // payload: zero padding brings the datagram to the 1200 bytes below
    // which a client datagram is not read as an Initial.
    constexpr size_t overhead = 18 + 4 + 16;
    const size_t payload = length < 1200 - overhead ? 1200 - overhead : length;
    std::vector<uint8_t> p = {uint8_t(0xc3 | (version == 0x6b3343cf ? 0x10 : 0)), uint8_t(version >> 24),
                              uint8_t(version >> 16), uint8_t(version >> 8), uint8_t(version), 8};
    p.insert(p.end(), dcid, dcid + 8);
    p.push_back(0); // source CID
    p.push_back(0); // token
    const size_t body = 4 + payload + 16;
    p.push_back(uint8_t(0x40 | (body >> 8)));
    p.push_back(uint8_t(body));
    const size_t pn_at = p.size();
    for (int i = 3; i >= 0; i--)
        p.push_back(uint8_t(pn >> (8 * i)));
    std::vector<uint8_t> clear(plain, plain + length);
    clear.resize(payload, 0);
    quic_initial_keys k;
    if (quic_initial_keys_derive(version, dcid, 8, &k) != 0)
        return {};
    uint8_t nonce[12];
    memcpy(nonce, k.iv, 12);
    for (int i = 0; i < 4; i++)
        nonce[8 + i] ^= uint8_t(pn >> (24 - 8 * i));
    std::vector<uint8_t> out(payload + 16);
    int n = 0;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, k.key, nonce);
    EVP_EncryptUpdate(c, nullptr, &n, p.data(), int(p.size()));
    EVP_EncryptUpdate(c, out.data(), &n, clear.data(), int(payload));
    EVP_EncryptFinal_ex(c, out.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out.data() + payload);
    EVP_CIPHER_CTX_free(c);
    p.insert(p.end(), out.begin(), out.end());
    uint8_t mask[16];
    c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, k.hp, nullptr);
    EVP_EncryptUpdate(c, mask, &n, p.data() + pn_at + 4, 16);
    EVP_CIPHER_CTX_free(c);
    p[0] ^= mask[0] & 0x0f;
    for (int i = 0; i < 4; i++)
        p[pn_at + size_t(i)] ^= mask[1 + i];
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    oxlo_module *m = fuzz_module_once();
    if (!m || size < 1)
        return 0;
    const uint8_t mode = data[0];
    const uint16_t port = (mode & 1) ? 4433 : 443;
    const bool sealing = mode & 2;
    const uint32_t version = versions[(mode >> 2) & 3];
    oxlo_flow_state *flow = fuzz_new_flow();
    if (!flow)
        return 0;
    uint64_t now = 1000;
    size_t pos = 1;
    for (uint32_t n = 0; n < 16 && pos + 2 <= size; n++) {
        const bool to_server = !(data[pos] & 0x80);
        size_t len = size_t((data[pos] & 0x7F) << 8 | data[pos + 1]);
        pos += 2;
        if (len > size - pos)
            len = size - pos;
        std::vector<uint8_t> payload(data + pos, data + pos + len);
        if (sealing && to_server)
            payload = seal(version, n, data + pos, len);
        std::vector<uint8_t> p = fuzz_ipv4_packet(false, to_server, port, 0, 0, payload.data(), payload.size());
        fuzz_classify_copy(m, flow, p.data(), p.size(), now, nullptr);
        pos += len;
        now += 7;
    }
    oxlo_flow_state_free(flow);
    return 0;
}
