// QUIC: the Initial keys against the published vectors, and client Initials
// built here (protected with libcrypto directly, independent of the
// dissector's cipher layer) driven through the engine: decryption, CRYPTO
// reassembly, the hand-over to TLS, the Google versions and the paths
// without a decryptable Initial.
#include "hex_text.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "dissector_kit.h"
#include "oxlo_cipher.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_serializer.h"
#include "oxlo_tls_dns.h"
#include "protocols/quic_private.h"

#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

using hex_text::hex;
using hex_text::to_hex;


const bytes RFC_DCID = hex("8394c8f03e515708");

struct key_case {
    const char *name;
    uint32_t version;
    const char *secret, *key, *iv, *hp;
};

TEST(quic_keys, initial_keys_match_published_vectors)
{
    const key_case cases[] = {
        {"version 1", 0x00000001, "c00cf151ca5be075ed0ebfb5c80323c42d6b7db67881289af4008f1f6c357aea",
         "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c", "9f50449e04a0e810283a1e9933adedd2"},
        {"version 2", 0x6b3343cf, "14ec9d6eb9fd7af83bf5a668bc17a7e283766aade7ecd0891f70f9ff7f4bf47b",
         "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f", "45b95e15235d6f45a6b19cbcb0294ba9"},
    };
    for (const key_case &c : cases) {
        SCOPED_TRACE(c.name);
        quic_initial_keys k;
        ASSERT_EQ(quic_initial_keys_derive(c.version, RFC_DCID.data(), RFC_DCID.size(), &k), 0);
        EXPECT_EQ(to_hex(k.secret, 32), c.secret);
        EXPECT_EQ(to_hex(k.key, 16), c.key);
        EXPECT_EQ(to_hex(k.iv, 12), c.iv);
        EXPECT_EQ(to_hex(k.hp, 16), c.hp);
    }
    // The header-protection mask of the version 1 client Initial.
    quic_initial_keys k;
    ASSERT_EQ(quic_initial_keys_derive(1, RFC_DCID.data(), RFC_DCID.size(), &k), 0);
    crypto_cipher_handle *ecb = nullptr;
    ASSERT_EQ(crypto_cipher_open(&ecb, CRYPTO_CIPHER_AES128, CRYPTO_CIPHER_MODE_ECB, 0), 0);
    ASSERT_EQ(crypto_cipher_setkey(ecb, k.hp, 16), 0);
    const bytes sample = hex("d1b1c98dd7689fb8ec11d242b123dc9b");
    uint8_t mask[16];
    ASSERT_EQ(crypto_cipher_encrypt(ecb, mask, 16, sample.data(), 16), 0);
    crypto_cipher_close(ecb);
    EXPECT_EQ(to_hex(mask, 5), "437b9aec36");
}

// Which versions share a salt and labels.
TEST(quic_keys, versions_pick_their_salt)
{
    const auto keys = [](uint32_t v) {
        quic_initial_keys k;
        EXPECT_EQ(quic_initial_keys_derive(v, RFC_DCID.data(), RFC_DCID.size(), &k), 0);
        return to_hex(k.key, 16);
    };
    const std::pair<uint32_t, uint32_t> same[] = {
        {0xff00001d, 0xff000020}, // drafts 29 and 32
        {0xff000021, 0x00000001}, // draft 33 and version 1
        {0xff000017, 0xfaceb002}, // draft 23 and mvfst-27
        {0xff000016, 0xfaceb001}, // draft 22 and mvfst-22
    };
    for (const auto &p : same)
        EXPECT_EQ(keys(p.first), keys(p.second)) << std::hex << p.first;
    EXPECT_NE(keys(0xff00001d), keys(0xff000021));
    EXPECT_NE(keys(0xff00001c), keys(0xff00001d));
}

TEST(quic_helpers, version_labels_and_varints)
{
    const std::pair<uint32_t, const char *> labels[] = {
        {0x00000001, "V-1"},           {0x6b3343cf, "V-2"},           {0xff00001d, "Draft-29"},
        {0xfaceb001, "MVFST-22"},      {0xfaceb002, "MVFST-27"},      {0xfaceb00e, "MVFST-EXP"},
        {0x51303436, "Q046"},          {0x54303531, "T051"},          {0x1a2a3a4a, "Ver-Negotiation"},
        {0x709a50c4, "Unknown (709A50C4)"}, {0x51303939, "Unknown (51303939)"},
    };
    char buf[32];
    for (const auto &l : labels)
        EXPECT_STREQ(quic_version_label(buf, sizeof(buf), l.first), l.second);
    EXPECT_EQ(quic_version_label(buf, 1, 1), nullptr);
    EXPECT_EQ(quic_version_label(nullptr, 8, 1), nullptr);
    EXPECT_STREQ(quic_version_label(buf, 3, 0xff00001d), "Dr");

    const std::pair<std::string, uint64_t> varints[] = {
        {"25", 37}, {"7bbd", 15293}, {"9d7f3e7d", 494878333}, {"c2197c5eff14e88c", 151288809941952652ull}};
    for (const auto &v : varints) {
        const bytes b = hex(v.first);
        uint64_t out = 0;
        EXPECT_EQ(quic_varint_decode(b.data(), &out), b.size());
        EXPECT_EQ(out, v.second);
        EXPECT_EQ(quic_varint_extra_length(b[0]), b.size() - 1);
    }
    EXPECT_EQ(quic_version_has_varint_params(1), 1);
    EXPECT_EQ(quic_version_has_varint_params(0xff00001b), 1);
    EXPECT_EQ(quic_version_has_varint_params(0xff00001a), 0);
    EXPECT_EQ(quic_version_has_varint_params(0x54303531), 1);
    EXPECT_EQ(quic_version_has_varint_params(0x54303530), 0);
    EXPECT_EQ(quic_version_has_varint_params(0xfaceb001), 0);
}

// ---- building client Initials ----

void put16(bytes &b, size_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void put24(bytes &b, size_t v)
{
    b.push_back(uint8_t(v >> 16));
    put16(b, v);
}
void append(bytes &b, const bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

bytes extension(uint16_t type, const bytes &body)
{
    bytes e;
    put16(e, type);
    put16(e, body.size());
    append(e, body);
    return e;
}

// A TLS 1.3 ClientHello as QUIC clients send it; `filler` bytes of padding
// extension make it large enough to span several Initials.
bytes client_hello(const std::string &sni, const std::string &alpn, size_t filler = 0)
{
    bytes ext;
    bytes name;
    put16(name, sni.size() + 3);
    name.push_back(0);
    put16(name, sni.size());
    append(name, bytes(sni.begin(), sni.end()));
    append(ext, extension(0x0000, name));
    bytes groups = {0x00, 0x04, 0x00, 0x1d, 0x00, 0x17};
    append(ext, extension(0x000a, groups));
    bytes sigs = {0x00, 0x06, 0x04, 0x03, 0x08, 0x04, 0x04, 0x01};
    append(ext, extension(0x000d, sigs));
    bytes protos;
    put16(protos, alpn.size() + 1);
    protos.push_back(uint8_t(alpn.size()));
    append(protos, bytes(alpn.begin(), alpn.end()));
    append(ext, extension(0x0010, protos));
    append(ext, extension(0x002b, {0x02, 0x03, 0x04}));
    bytes share = {0x00, 0x24, 0x00, 0x1d, 0x00, 0x20};
    append(share, bytes(32, 0x42));
    append(ext, extension(0x0033, share));
    append(ext, extension(0x0039, {0x01, 0x02, 0x40, 0x64}));
    if (filler)
        append(ext, extension(0x0015, bytes(filler, 0)));
    bytes body = {0x03, 0x03};
    append(body, bytes(32, 0x11));
    body.push_back(0);
    append(body, {0x00, 0x06, 0x13, 0x01, 0x13, 0x02, 0x13, 0x03, 0x01, 0x00});
    put16(body, ext.size());
    append(body, ext);
    bytes msg = {0x01};
    put24(msg, body.size());
    append(msg, body);
    return msg;
}

bytes crypto_frame(const bytes &hello, size_t offset, size_t length)
{
    bytes f = {0x06};
    put16(f, 0x4000 | offset); // two-byte varints
    put16(f, 0x4000 | length);
    f.insert(f.end(), hello.begin() + long(offset), hello.begin() + long(offset + length));
    return f;
}

struct initial_opts {
    uint32_t version = 1;
    bytes dcid = RFC_DCID;
    uint32_t pn = 2;
    size_t size = 1200;     // UDP payload
    size_t token = 0;       // token bytes
    bool flip_tag = false;
};

// A client Initial carrying `frames`, padded to opts.size, protected as
// RFC 9001 section 5 says, with libcrypto directly.
std::string initial(const bytes &frames, const initial_opts &o = {})
{
    const bool v2 = o.version == 0x6b3343cf;
    bytes h = {uint8_t(0xc0 | (v2 ? 0x10 : 0x00) | 0x03)}; // 4-byte packet number
    for (int i = 3; i >= 0; i--)
        h.push_back(uint8_t(o.version >> (8 * i)));
    h.push_back(uint8_t(o.dcid.size()));
    append(h, o.dcid);
    h.push_back(0); // no source CID
    if (o.token < 64) {
        h.push_back(uint8_t(o.token));
    } else {
        put16(h, 0x4000 | o.token);
    }
    append(h, bytes(o.token, 0x77));
    const size_t overhead = h.size() + 2 + 4 + 16;
    const size_t payload = o.size > overhead + frames.size() ? o.size - overhead : frames.size();
    put16(h, 0x4000 | (4 + payload + 16));
    const size_t pn_at = h.size();
    for (int i = 3; i >= 0; i--)
        h.push_back(uint8_t(o.pn >> (8 * i)));
    bytes plain = frames;
    plain.resize(payload, 0);

    quic_initial_keys k;
    EXPECT_EQ(quic_initial_keys_derive(o.version, o.dcid.data(), o.dcid.size(), &k), 0);
    uint8_t nonce[12];
    memcpy(nonce, k.iv, 12);
    for (int i = 0; i < 4; i++)
        nonce[8 + i] ^= uint8_t(o.pn >> (24 - 8 * i));
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int n = 0;
    bytes out(plain.size() + 16);
    EVP_EncryptInit_ex(c, EVP_aes_128_gcm(), nullptr, k.key, nonce);
    EVP_EncryptUpdate(c, nullptr, &n, h.data(), int(h.size()));
    EVP_EncryptUpdate(c, out.data(), &n, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(c, out.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size());
    EVP_CIPHER_CTX_free(c);
    if (o.flip_tag)
        out.back() ^= 1;
    bytes pkt = h;
    append(pkt, out);
    uint8_t mask[16];
    c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, k.hp, nullptr);
    EVP_EncryptUpdate(c, mask, &n, pkt.data() + pn_at + 4, 16);
    EVP_CIPHER_CTX_free(c);
    pkt[0] ^= mask[0] & 0x0f;
    for (int i = 0; i < 4; i++)
        pkt[pn_at + size_t(i)] ^= mask[1 + i];
    return std::string(pkt.begin(), pkt.end());
}

struct quic : kit::engine {
    std::string version(const kit::conversation &c)
    {
        char buf[32];
        const char *v = oxlo_flow_quic_version(c.f, buf, sizeof(buf));
        return v ? v : "(none)";
    }
    static std::string host(const kit::conversation &c) { return oxlo_flow_host_name(c.f); }
};

TEST_F(quic, client_initials_give_host_alpn_version_and_ja4)
{
    const bytes hello = client_hello("example.com", "h3");
    const struct {
        const char *name;
        uint32_t version;
        const char *label;
    } cases[] = {{"version 1", 1, "V-1"}, {"version 2", 0x6b3343cf, "V-2"}, {"draft 29", 0xff00001d, "Draft-29"},
                 {"draft 33", 0xff000021, "Draft-33"}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 4433, OXLO_L4_UDP);
        initial_opts o;
        o.version = t.version;
        c.client(initial(crypto_frame(hello, 0, hello.size()), o));
        EXPECT_EQ(c.master() ? c.master() : c.app(), OXLO_PROTOCOL_QUIC);
        EXPECT_TRUE(c.by_inspection());
        EXPECT_EQ(host(c), "example.com");
        EXPECT_EQ(version(c), t.label);
        EXPECT_STREQ(oxlo_flow_tls_alpn_offered(c.f), "h3");
        EXPECT_EQ(std::string(oxlo_flow_tls_ja4(c.f)).substr(0, 10), "q13d0307h3");
        EXPECT_EQ(oxlo_flow_tls_version(c.f), 0x0304);
    }
}

TEST_F(quic, doq_alpn_is_dns_over_quic)
{
    const bytes hello = client_hello("dns.example.com", "doq");
    kit::conversation c(m, 853, OXLO_L4_UDP);
    c.client(initial(crypto_frame(hello, 0, hello.size())));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_DOH_DOT);
    EXPECT_EQ(c.master(), OXLO_PROTOCOL_QUIC);
}

// Google versions with an encrypted Initial: a CRYPTO frame of type 0x08
// holding a TLS ClientHello (T051) or a CHLO (Q050).
TEST_F(quic, google_encrypted_initials)
{
    const bytes hello = client_hello("t051.example.com", "h3");
    bytes frame = {0x08, 0x00, uint8_t(0x40 | (hello.size() >> 8)), uint8_t(hello.size())};
    append(frame, hello);
    initial_opts o;
    o.version = 0x54303531;
    kit::conversation c(m, 443, OXLO_L4_UDP);
    c.client(initial(frame, o));
    EXPECT_EQ(version(c), "T051");
    EXPECT_EQ(host(c), "t051.example.com");

    const std::string chlo_text = std::string("CHLO\x01\0\0\0SNI\0\x10\0\0\0", 16) + "q050.example.com" +
                                  std::string(20, '\0');
    bytes chlo_frame = {0x08, 0x00, uint8_t(0x40 | (chlo_text.size() >> 8)), uint8_t(chlo_text.size())};
    chlo_frame.insert(chlo_frame.end(), chlo_text.begin(), chlo_text.end());
    o.version = 0x51303530;
    kit::conversation q(m, 443, OXLO_L4_UDP);
    q.client(initial(chlo_frame, o));
    EXPECT_EQ(version(q), "Q050");
    EXPECT_EQ(host(q), "q050.example.com");
}

bool pending(const kit::conversation &c) { return oxlo_flow_detection_pending(c.m, c.f) != 0; }
bool is_quic(const kit::conversation &c) { return c.app() == OXLO_PROTOCOL_QUIC || c.master() == OXLO_PROTOCOL_QUIC; }

// A server's packets: its Initial (the answer that takes the client's
// hello), a Retry whose Source Connection ID the client must use next, and
// a Version Negotiation.
std::string server_initial()
{
    return kit::raw("\xc1\x00\x00\x00\x01\x00\x08", 7) + std::string(8, '\x5e') + kit::raw("\x00\x40\x40", 3) +
           std::string(64, '\x21');
}
std::string retry(const bytes &scid)
{
    std::string p = kit::raw("\xf0\x00\x00\x00\x01\x00", 6);
    p += char(scid.size());
    p.append(scid.begin(), scid.end());
    return p + std::string(24, '\x7a') + std::string(16, '\x0f'); // token, integrity tag
}
const std::string VERSION_NEGOTIATION =
    kit::raw("\x80\x00\x00\x00\x00\x00\x08\x01\x02\x03\x04\x05\x06\x07\x08\x00\x00\x01", 19);

// The server's answer ends the wait for it: the flow is decided.
bool decided_on_answer(kit::conversation &c)
{
    if (!pending(c))
        return false;
    c.server(server_initial());
    return !pending(c) && is_quic(c);
}

// A first Initial that cannot be read does not decide the flow: the server
// drops it and waits for a good one, and so does the dissector. A long
// token no longer leaves the Initial undecrypted.
TEST_F(quic, unreadable_initials_do_not_decide_the_flow)
{
    const bytes hello = client_hello("example.com", "h3");
    const bytes frames = crypto_frame(hello, 0, hello.size());
    initial_opts bad_tag, short_one, long_token, empty_dcid, other_dcid;
    bad_tag.flip_tag = true;
    short_one.size = 1199;
    long_token.token = 300;
    long_token.size = 1400;
    empty_dcid.dcid = {};
    other_dcid.dcid = hex("0011223344556677");
    const struct {
        const char *name;
        initial_opts o;
        bool waits; // pending after it, not yet classified
        const char *host;
    } cases[] = {{"tag flipped", bad_tag, true, ""},
                 {"1199 bytes", short_one, false, ""},
                 {"300-byte token", long_token, false, "example.com"},
                 {"empty DCID", empty_dcid, true, ""},
                 {"another connection ID", other_dcid, false, "example.com"}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 4433, OXLO_L4_UDP);
        c.client(initial(frames, t.o));
        EXPECT_EQ(host(c), t.host);
        EXPECT_EQ(pending(c), t.waits || *t.host); // a whole hello waits for its answer
        if (t.waits) {
            EXPECT_FALSE(is_quic(c));
            // The real Initial after the decoy names the host.
            c.client(initial(frames));
            EXPECT_EQ(host(c), "example.com");
            EXPECT_TRUE(is_quic(c));
            EXPECT_TRUE(decided_on_answer(c));
        }
    }
}

// Dissectors that have given up on the flow (QUIC, still waiting in the
// cases below, is not one of them).
int others_excluded(const kit::conversation &c)
{
    int n = 0;
    for (uint32_t i = 0; i < OXLO_MAX_DISSECTORS; i++)
        n += oxlo_flow_dissector_excluded(c.f, i);
    return n;
}

// An Initial that decrypts is proof of QUIC: on a port no one guesses, the
// datagram goes to QUIC first, and when it holds only a part of the hello
// no other dissector is offered it (they could only take QUIC's bytes for
// their own). Datagrams without that proof, the server's or an
// Initial-shaped one whose tag is broken, still go through every UDP
// dissector: a decoy Initial does not hide the rest of a flow from them.
TEST_F(quic, decrypted_initials_are_read_by_quic_alone)
{
    const bytes hello = client_hello("claimed.example", "h3", 1500);
    const size_t half = 600;
    initial_opts bad_tag;
    bad_tag.flip_tag = true;
    kit::conversation c(m, 4433, OXLO_L4_UDP);
    c.client(initial(crypto_frame(hello, 0, half)));
    EXPECT_FALSE(is_quic(c));
    EXPECT_TRUE(pending(c));
    EXPECT_EQ(others_excluded(c), 0);
    c.server(std::string(1200, '\xc3'));
    c.server(std::string(60, '\x41'));
    EXPECT_GT(others_excluded(c), 0);
    EXPECT_FALSE(is_quic(c));
    c.client(initial(crypto_frame(hello, half, hello.size() - half)));
    EXPECT_TRUE(is_quic(c));
    EXPECT_EQ(host(c), "claimed.example");

    kit::conversation d(m, 4433, OXLO_L4_UDP);
    d.client(initial(crypto_frame(hello, 0, half), bad_tag));
    EXPECT_FALSE(is_quic(d));
    EXPECT_GT(others_excluded(d), 0);
}

// CRYPTO frames whose offset or length pass the decrypted payload or the
// 64 KiB bound are not taken; a good frame after a skipped one still is.
TEST_F(quic, crypto_frames_are_bounded)
{
    const bytes hello = client_hello("bounded.example.com", "h3");
    const bytes past_plaintext = {0x06, 0x00, 0x7f, 0xff, 0x01, 0x00};           // length 16383
    const bytes huge_offset = {0x06, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0, 0x01, 0x00}; // offset 2^62 - 16
    for (const bytes &bad : {past_plaintext, huge_offset}) {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(initial(bad));
        EXPECT_EQ(host(c), "");
        EXPECT_TRUE(pending(c));
    }
    bytes frames = huge_offset;
    append(frames, crypto_frame(hello, 0, hello.size()));
    kit::conversation c(m, 443, OXLO_L4_UDP);
    c.client(initial(frames));
    EXPECT_EQ(host(c), "bounded.example.com");

    // A hello that declares more than 64 KiB can never be whole: QUIC at
    // once, without a host name, and no longer pending.
    bytes huge = {0x01, 0x02, 0x00, 0x00};
    append(huge, bytes(hello.begin() + 4, hello.end()));
    kit::conversation h(m, 443, OXLO_L4_UDP);
    h.client(initial(crypto_frame(huge, 0, huge.size())));
    EXPECT_TRUE(is_quic(h));
    EXPECT_EQ(host(h), "");
    EXPECT_FALSE(pending(h));
}

// The client's first flight, as it may come: the ClientHello over one, two
// or three Initials in either order, two Initials coalesced in a datagram,
// CRYPTO frames out of order, duplicated or overlapping, with ACK, PING and
// PADDING frames between them and a server datagram in the middle. The
// flow stays unclassified and pending until the hello is whole; then the
// host name, ALPN and JA4 are those of the hello sent in one piece. Where
// copies of a byte differ, the first one received is kept.
TEST_F(quic, first_flight_is_read_until_the_hello_is_whole)
{
    const bytes hello = client_hello("blocked.example", "h3", 1500);
    bytes decoy = client_hello("allowed.example", "h3", 1500);
    ASSERT_EQ(decoy.size(), hello.size());
    const size_t n = hello.size(), a = 500, b = 1100;
    ASSERT_GT(n, b);
    const auto F = [&](size_t offset, size_t length) { return crypto_frame(hello, offset, length); };
    const auto D = [&](size_t offset, size_t length) { return crypto_frame(decoy, offset, length); };
    const auto join = [](std::initializer_list<bytes> parts) {
        bytes out;
        for (const bytes &p : parts)
            append(out, p);
        return out;
    };
    const bytes ack = {0x02, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00}; // ACK: largest 0, delay 0, 1 range: 0, gap 1 range 0
    const bytes ack_ecn = {0x03, 0x02, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03};
    const bytes ping = {0x01};

    // One datagram: the Initials it carries (each a set of frames), or a
    // server datagram when `server` is set.
    struct datagram {
        std::vector<bytes> initials;
        bool server = false;
    };
    const struct {
        const char *name;
        std::vector<datagram> flight;
        const char *host;
    } cases[] = {
        {"one Initial", {{{F(0, n)}}}, "blocked.example"},
        {"two Initials", {{{F(0, a)}}, {{F(a, n - a)}}}, "blocked.example"},
        {"two Initials reversed", {{{F(a, n - a)}}, {{F(0, a)}}}, "blocked.example"},
        {"three Initials", {{{F(0, a)}}, {{F(a, b - a)}}, {{F(b, n - b)}}}, "blocked.example"},
        {"three Initials reversed", {{{F(b, n - b)}}, {{F(a, b - a)}}, {{F(0, a)}}}, "blocked.example"},
        {"two Initials coalesced", {{{F(0, a), F(a, n - a)}}}, "blocked.example"},
        {"coalesced and reversed", {{{F(a, n - a), F(0, a)}}}, "blocked.example"},
        {"frames out of order", {{{join({F(b, n - b), F(a, b - a)})}}, {{F(0, a)}}}, "blocked.example"},
        {"duplicated frames", {{{join({F(0, a), F(0, a)})}}, {{F(0, a)}}, {{join({F(a, n - a), F(a, n - a)})}}},
         "blocked.example"},
        {"ACK, PING and a server datagram between", {{{join({ack, F(0, a), ping})}}, {{}, true}, {{join({ack_ecn, F(a, n - a)})}}},
         "blocked.example"},
        {"overlap with other bytes: first copy kept", {{{F(0, a)}}, {{D(0, n)}}}, "blocked.example"},
        {"overlap with other bytes, the other first", {{{D(0, a)}}, {{F(0, n)}}}, "allowed.example"},
        {"overlap inside: first copy kept", {{{F(0, a)}}, {{F(b, n - b)}}, {{D(a / 2, b - a / 2)}}}, "blocked.example"},
    };
    std::string ja4_whole;
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 443, OXLO_L4_UDP);
        uint32_t pn = 0;
        for (size_t i = 0; i < t.flight.size(); i++) {
            const datagram &d = t.flight[i];
            if (d.server) {
                c.server(std::string(1200, '\xc3'));
            } else {
                std::string payload;
                for (const bytes &frames : d.initials) {
                    initial_opts o;
                    o.pn = pn++;
                    o.size = d.initials.size() > 1 ? 700 : 1200;
                    payload += initial(frames, o);
                }
                c.client(payload);
            }
            if (i + 1 < t.flight.size()) {
                EXPECT_FALSE(is_quic(c)) << "after datagram " << i;
                EXPECT_TRUE(pending(c)) << "after datagram " << i;
                EXPECT_EQ(host(c), "") << "after datagram " << i;
            }
        }
        EXPECT_TRUE(is_quic(c));
        EXPECT_EQ(host(c), t.host);
        EXPECT_TRUE(decided_on_answer(c));
        EXPECT_STREQ(oxlo_flow_tls_alpn_offered(c.f), "h3");
        const std::string ja4 = oxlo_flow_tls_ja4(c.f);
        if (ja4_whole.empty())
            ja4_whole = ja4;
        EXPECT_EQ(ja4, ja4_whole);
    }
}

// Near misses: a hello that never completes names no host and ends the
// wait after the first flight's bound; bytes after a coalesced packet that
// are no packet of the version are left alone.
TEST_F(quic, incomplete_hellos_and_trailing_bytes)
{
    const bytes hello = client_hello("blocked.example", "h3", 1500);
    const size_t n = hello.size(), a = 500;
    {
        SCOPED_TRACE("the hello never completes");
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(initial(crypto_frame(hello, a, n - a)));
        int packets = 1;
        while (!is_quic(c) && packets < 40) {
            // 1-RTT-looking client packets and server replies: not the hello.
            c.client(std::string(1, '\x41') + std::string(60, '\x22'));
            c.server(std::string(80, '\x43'));
            packets += 2;
        }
        EXPECT_TRUE(is_quic(c));
        EXPECT_LE(packets, 24);
        EXPECT_EQ(host(c), "");
        EXPECT_FALSE(pending(c));
        c.client(initial(crypto_frame(hello, 0, a))); // too late: the flow is decided
        EXPECT_EQ(host(c), "");
    }
    initial_opts o;
    o.size = 700;
    const std::string whole = initial(crypto_frame(hello, 0, n), o);
    std::string long_length = kit::raw("\xc3\x00\x00\x00\x01\x08\x83\x94\xc8\xf0\x3e\x51\x57\x08\x00\x00\x7f\xff", 18);
    const struct {
        const char *name;
        std::string tail;
    } tails[] = {
        {"zero padding", std::string(600, '\0')},
        {"a long header whose Length passes the datagram", long_length + std::string(600, '\x55')},
        {"a short header", std::string(1, '\x40') + std::string(600, '\x66')},
        {"random bytes with the top bit set", std::string(600, '\xe7')},
        {"another version", kit::raw("\xc3\xff\x00\x00\x1d\x08", 6) + std::string(600, '\x01')},
        {"one byte", std::string(1, '\xc0')},
    };
    for (const auto &t : tails) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(whole + t.tail);
        EXPECT_EQ(host(c), "blocked.example");
        EXPECT_TRUE(decided_on_answer(c));
    }
    {
        // Garbage in front of the rest of a split hello: the Initial before
        // it is read, the bytes after it are not.
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(initial(crypto_frame(hello, 0, a), o) + std::string(600, '\xe7') +
                 initial(crypto_frame(hello, a, n - a), o));
        EXPECT_EQ(host(c), "");
        EXPECT_TRUE(pending(c));
        o.pn = 3;
        c.client(initial(crypto_frame(hello, a, n - a), o) + std::string(500, '\0'));
        EXPECT_EQ(host(c), "blocked.example");
    }
}

TEST_F(quic, json_block_holds_the_version_and_the_tls_block)
{
    const bytes hello = client_hello("example.com", "h3");
    kit::conversation c(m, 443, OXLO_L4_UDP);
    c.client(initial(crypto_frame(hello, 0, hello.size())));
    oxlo_json_block_fn block = oxlo_dissector_json_block(m, OXLO_PROTOCOL_QUIC);
    ASSERT_NE(block, nullptr);
    oxlo_recbuf s;
    ASSERT_EQ(oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON), 0);
    ASSERT_EQ(block(m, c.f, &s), 0);
    uint32_t len = 0;
    const char *out = oxlo_recbuf_output(&s, &len);
    const std::string text(out, len);
    EXPECT_EQ(text.rfind("{\"quic\": {\"quic_version\":\"V-1\",\"tls\": {\"version\":\"TLSv1.3\"", 0), 0u) << text;
    EXPECT_NE(text.find("\"ja4\":\"q13d0307h3_"), std::string::npos) << text;
    EXPECT_NE(text.find("\"advertised_alpns\":\"h3\""), std::string::npos) << text;
    oxlo_recbuf_release(&s);
}

// An Initial-sized datagram of a version the dissector cannot read.
std::string foreign_initial(uint32_t version)
{
    std::string p(1200, '\0');
    p[0] = '\xc3';
    for (int i = 0; i < 4; i++)
        p[1 + size_t(i)] = char(uint8_t(version >> (24 - 8 * i)));
    p[5] = 8;
    return p;
}
const std::string ZERO_RTT = kit::raw("\xd1\x00\x00\x00\x01\x04\x01\x02\x03\x04\x00", 11) + std::string(80, '\x33');

std::vector<std::string> names(const kit::conversation &c)
{
    std::vector<std::string> out;
    for (unsigned i = 0; const char *n = oxlo_flow_host_candidates(c.f, i); i++)
        out.push_back(n);
    std::sort(out.begin(), out.end());
    return out;
}

// Before an Initial it can read, the flow waits a few packets, pending:
// after an Initial of a reserved version or of one not read here (with the
// server's Version Negotiation and the client's resends between), or
// after leading 0-RTT packets. The client's Initial that follows names the
// host.
TEST_F(quic, leading_packets_wait_for_the_readable_initial)
{
    const bytes hello = client_hello("vn.example.com", "h3");
    const std::string reserved = foreign_initial(0x1a2a3a4a), unknown = foreign_initial(0x12345678);
    const struct {
        const char *name;
        std::vector<std::pair<bool, std::string>> lead;
        const char *label_before;
    } cases[] = {
        {"reserved version, Version Negotiation", {{true, reserved}, {false, VERSION_NEGOTIATION}}, "Ver-Negotiation"},
        {"unknown version, Version Negotiation", {{true, unknown}, {false, VERSION_NEGOTIATION}}, "Unknown (12345678)"},
        {"unknown version resent, then Version Negotiation",
         {{true, unknown}, {true, unknown}, {true, unknown}, {false, VERSION_NEGOTIATION}},
         "Unknown (12345678)"},
        {"unknown version, no Version Negotiation", {{true, unknown}}, "Unknown (12345678)"},
        {"three 0-RTT datagrams", {{true, ZERO_RTT}, {true, ZERO_RTT}, {true, ZERO_RTT}}, "V-1"},
        {"0-RTT datagrams and a server packet", {{true, ZERO_RTT}, {false, std::string(40, '\x45')}, {true, ZERO_RTT}},
         "V-1"},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 4433, OXLO_L4_UDP);
        c.send(t.lead);
        EXPECT_TRUE(pending(c));
        EXPECT_EQ(host(c), "");
        EXPECT_EQ(version(c), t.label_before);
        c.client(initial(crypto_frame(hello, 0, hello.size())));
        EXPECT_EQ(host(c), "vn.example.com");
        EXPECT_EQ(version(c), "V-1");
        EXPECT_TRUE(decided_on_answer(c));
    }
}

// Near misses of the wait above: a flow that never sends an Initial read
// here is decided as before once the bound is passed (QUIC of the version
// it showed, no name), and a server that answers in the unknown version
// ends the wait at once.
TEST_F(quic, leading_packets_without_a_readable_initial_are_decided_after_the_bound)
{
    const struct {
        const char *name;
        std::string packet;
        const char *label;
    } cases[] = {
        {"unknown version resent", foreign_initial(0x12345678), "Unknown (12345678)"},
        {"reserved version resent", foreign_initial(0x1a2a3a4a), "Ver-Negotiation"},
        {"0-RTT only", ZERO_RTT, "V-1"},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 4433, OXLO_L4_UDP);
        int packets = 0;
        while (pending(c) || packets == 0) {
            if (++packets > 20)
                break;
            c.client(t.packet);
        }
        EXPECT_FALSE(pending(c));
        EXPECT_GT(packets, 3);
        EXPECT_LE(packets, 10);
        EXPECT_TRUE(is_quic(c));
        EXPECT_EQ(version(c), t.label);
        const bytes hello = client_hello("late.example.com", "h3");
        c.client(initial(crypto_frame(hello, 0, hello.size()))); // too late: decided
        EXPECT_EQ(host(c), "");
    }
    kit::conversation c(m, 4433, OXLO_L4_UDP);
    c.client(foreign_initial(0x12345678));
    EXPECT_TRUE(pending(c));
    c.server(foreign_initial(0x12345678)); // the server speaks it
    EXPECT_FALSE(pending(c));
    EXPECT_EQ(version(c), "Unknown (12345678)");

    // In the middle of a hello being put together, such an Initial and the
    // server's packets do not end the wait for the hello's rest.
    const bytes split = client_hello("split.example.com", "h3", 1500);
    kit::conversation d(m, 4433, OXLO_L4_UDP);
    d.client(initial(crypto_frame(split, 0, 500)));
    d.client(foreign_initial(0x12345678));
    d.server(server_initial());
    EXPECT_TRUE(pending(d));
    d.client(initial(crypto_frame(split, 500, split.size() - 500)));
    EXPECT_EQ(host(d), "split.example.com");
    EXPECT_TRUE(decided_on_answer(d));
}

// After a whole hello the flow waits for the server's answer: its Initial,
// Handshake or 1-RTT packet decides it; a Retry or a Version Negotiation
// does not; nor does silence, until ten seconds have passed.
TEST_F(quic, the_servers_answer_decides_the_flow)
{
    const bytes hello = client_hello("answer.example.com", "h3");
    const std::string hs = kit::raw("\xe1\x00\x00\x00\x01\x00\x08", 7) + std::string(8, '\x5e') +
                           kit::raw("\x40\x40", 2) + std::string(64, '\x21');
    const struct {
        const char *name;
        std::string packet;
        bool decides;
    } answers[] = {
        {"Initial", server_initial(), true},
        {"Handshake", hs, true},
        {"1-RTT short header", kit::raw("\x41", 1) + std::string(8, '\x5e') + std::string(40, '\x66'), true},
        {"Retry", retry(hex("1122334455667788")), false},
        {"Version Negotiation", VERSION_NEGOTIATION, false},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.name);
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(initial(crypto_frame(hello, 0, hello.size())));
        EXPECT_TRUE(is_quic(c));
        EXPECT_TRUE(pending(c));
        c.server(a.packet);
        EXPECT_EQ(pending(c), !a.decides);
        EXPECT_EQ(host(c), "answer.example.com");
    }
    kit::conversation c(m, 443, OXLO_L4_UDP);
    c.client(initial(crypto_frame(hello, 0, hello.size())));
    c.client(initial(crypto_frame(hello, 0, hello.size()))); // a resend
    EXPECT_TRUE(pending(c));
    c.now += 10001;
    c.client(initial(crypto_frame(hello, 0, hello.size())));
    EXPECT_FALSE(pending(c));
    EXPECT_EQ(host(c), "answer.example.com");
}

// A Retry (or a Version Negotiation) turns the first hello down: the
// client's next Initials, protected with the keys of their own Destination
// Connection ID (the Retry's Source Connection ID), carry the hello the
// server reads. Every name of every hello reaches the rules. Without a
// Retry, a second hello the client sends is not the server's: not read.
TEST_F(quic, hellos_after_a_retry_are_read)
{
    const bytes first = client_hello("allowed.example", "h3"), second = client_hello("blocked.example", "h3", 1500);
    const bytes fresh = hex("a1a2a3a4a5a6a7a8a9aa");
    initial_opts after;
    after.dcid = fresh;
    after.token = 24;
    after.pn = 0;
    initial_opts after_v2 = after;
    after_v2.version = 0x6b3343cf;
    const size_t half = 700, n = second.size();
    const auto F = [&](const bytes &h, size_t offset, size_t length, const initial_opts &o) {
        return initial(crypto_frame(h, offset, length), o);
    };
    const std::vector<std::string> both = {"allowed.example", "blocked.example"}, one = {"allowed.example"};
    const struct {
        const char *name;
        std::vector<std::pair<bool, std::string>> flight;
        std::vector<std::string> names;
    } cases[] = {
        {"Retry, then the new hello", {{true, F(first, 0, first.size(), {})}, {false, retry(fresh)},
                                       {true, F(second, 0, n, after)}}, both},
        {"Retry, then the new hello over two Initials",
         {{true, F(first, 0, first.size(), {})}, {false, retry(fresh)}, {true, F(second, half, n - half, after)},
          {true, F(second, 0, half, after)}}, both},
        {"Retry, then the new hello with a decoy to the old connection ID between its pieces",
         {{true, F(first, 0, first.size(), {})}, {false, retry(fresh)}, {true, F(second, 0, half, after)},
          {true, F(first, 0, first.size(), {})}, {true, F(second, half, n - half, after)}}, both},
        {"Retry before the first hello is whole",
         {{true, F(first, 0, 100, {})}, {false, retry(fresh)}, {true, F(second, 0, n, after)}},
         {"blocked.example"}},
        {"Version Negotiation, then a version 2 hello",
         {{true, F(first, 0, first.size(), {})}, {false, VERSION_NEGOTIATION}, {true, F(second, 0, n, after_v2)}}, both},
        {"no Retry: a second hello is not read",
         {{true, F(first, 0, first.size(), {})}, {true, F(second, 0, n, after)}}, one},
        {"after the answer nothing is read",
         {{true, F(first, 0, first.size(), {})}, {false, server_initial()}, {false, retry(fresh)},
          {true, F(second, 0, n, after)}}, one},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.send(t.flight);
        EXPECT_EQ(names(c), t.names);
        if (pending(c)) {
            EXPECT_TRUE(decided_on_answer(c));
        }
        EXPECT_EQ(names(c), t.names);
        EXPECT_TRUE(is_quic(c));
    }
}

// Google QUIC Q046: a clear CHLO in a STREAM frame.
std::string q046(const std::vector<std::pair<std::string, std::string>> &tags, char byte5 = 'P', int count = -1)
{
    bytes chlo = {'C', 'H', 'L', 'O'};
    const size_t n = count < 0 ? tags.size() : size_t(count);
    chlo.push_back(uint8_t(n));
    chlo.push_back(uint8_t(n >> 8));
    chlo.push_back(0);
    chlo.push_back(0);
    uint32_t end = 0;
    bytes values;
    for (const auto &t : tags) {
        for (int i = 0; i < 4; i++)
            chlo.push_back(i < int(t.first.size()) ? uint8_t(t.first[size_t(i)]) : 0);
        end += uint32_t(t.second.size());
        for (int i = 0; i < 4; i++)
            chlo.push_back(uint8_t(end >> (8 * i)));
        values.insert(values.end(), t.second.begin(), t.second.end());
    }
    append(chlo, values);
    bytes p = {0xc3, 'Q', '0', '4', '6', uint8_t(byte5)};
    append(p, bytes(8, 0x5a));                  // connection id
    append(p, {0, 0, 0, 1});                    // packet number
    append(p, bytes(30 - p.size(), 0));         // up to the frames
    append(p, {0xa4, 0x01, 0x00, 0x00});        // STREAM, stream 1, offset
    put16(p, chlo.size());                      // big-endian from Q039 on
    append(p, chlo);
    p.resize(std::max<size_t>(p.size(), 1350), 0);
    return std::string(p.begin(), p.end());
}

TEST_F(quic, google_chlo)
{
    {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(q046({{"PAD", "xxxx"}, {"SNI", "www.example.org"}, {"ICSL", std::string("\x1e\0\0\0", 4)}}));
        EXPECT_EQ(c.app() ? c.app() : c.master(), OXLO_PROTOCOL_QUIC);
        EXPECT_EQ(host(c), "www.example.org");
        EXPECT_EQ(version(c), "Q046");
        EXPECT_FALSE(c.risk(OXLO_TLS_MISSING_SNI));
    }
    {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(q046({{"PAD", "xxxx"}, {"VER", "Q046"}}));
        EXPECT_TRUE(c.risk(OXLO_TLS_MISSING_SNI));
        EXPECT_NE(c.messages().find("SNI should be present all time: attack ?"), std::string::npos);
    }
    {
        // A tag table claiming far more entries than the message holds.
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(q046({{"SNI", "www.example.org"}}, 'P', 4000));
        EXPECT_EQ(host(c), "");
        EXPECT_TRUE(c.risk(OXLO_TLS_MISSING_SNI));
    }
    {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(q046({{"SNI", "www.example.org"}}, 'Q'));
        EXPECT_EQ(c.app() ? c.app() : c.master(), OXLO_PROTOCOL_QUIC);
        EXPECT_EQ(host(c), "");
    }
}

// Without an Initial: repeated short headers to port 443.
TEST_F(quic, short_headers_to_443)
{
    const auto packet = [](char last) {
        std::string p = kit::raw("\x41\x10\x11\x12\x13\x14\x15\x16\x17", 9);
        p += std::string(40, '\x99');
        p += last;
        return p;
    };
    {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(packet('a'));
        c.server(packet('z'));
        c.client(packet('b'));
        EXPECT_EQ(c.app(), 0);
        c.client(packet('c'));
        EXPECT_EQ(c.app() ? c.app() : c.master(), OXLO_PROTOCOL_QUIC);
        EXPECT_EQ(version(c), "Unknown (0000)");
    }
    {
        // The same last byte again is no QUIC.
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.client(packet('a'));
        c.client(packet('a'));
        c.client(packet('b'));
        c.client(packet('c'));
        EXPECT_FALSE(c.by_inspection());
        EXPECT_EQ(version(c), "(none)");
    }
}

TEST_F(quic, server_rej_from_443)
{
    std::string rej(60, '\x01');
    rej[0] = '\x08';
    rej.replace(25, 3, "REJ");
    {
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.server(rej);
        EXPECT_EQ(c.app() ? c.app() : c.master(), OXLO_PROTOCOL_QUIC);
        EXPECT_TRUE(c.by_inspection());
    }
    {
        rej.replace(25, 3, "RXJ"); // the first 'R' must start "REJ"
        kit::conversation c(m, 443, OXLO_L4_UDP);
        c.server(rej);
        EXPECT_FALSE(c.by_inspection());
    }
}


} // namespace

namespace {

// Large RTP packets start like a long header (0x80) with any "version": an
// unknown version counts only with the fixed bit every QUIC version sets.
TEST_F(quic, rtp_of_initial_size_is_not_quic)
{
    std::string rtp = std::string("\x80\x1a\x00\x01\x00\x00\x03\xe8\x12\x34\x56\x78", 12) + std::string(1388, 'v');
    kit::conversation media(m, 41234, OXLO_L4_UDP);
    media.client(rtp);
    EXPECT_NE(media.app(), OXLO_PROTOCOL_QUIC);
    EXPECT_NE(media.master(), OXLO_PROTOCOL_QUIC);

    std::string unknown = std::string("\xc0\x1a\x2b\x3c\x4d\x08", 6) + std::string(8, 'd') + std::string(1, '\0') + std::string(1185, 'q');
    kit::conversation future(m, 41235, OXLO_L4_UDP);
    future.client(unknown);
    EXPECT_EQ(future.app() ? future.app() : future.master(), OXLO_PROTOCOL_QUIC) << "an unknown version with the fixed bit is QUIC";
}

} // namespace
