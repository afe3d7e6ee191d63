#include "oxlo_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct case16 {
    uint16_t id;
    const char *name;
};

} // namespace

TEST(names, ip_protocol_names_and_numbers)
{
    const case16 cases[] = {{1, "ICMP"}, {6, "TCP"}, {17, "UDP"}, {58, "ICMPV6"}, {132, "SCTP"},
                            {113, "PGM"}, {0, "0"}, {255, "255"}, {65535, "65535"}};
    char buf[16];
    for (const auto &c : cases)
        EXPECT_STREQ(oxlo_ip_protocol_name(c.id, buf, sizeof buf), c.name) << c.id;
}

TEST(names, ip_protocol_name_stays_inside_small_buffers)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_STREQ(oxlo_ip_protocol_name(58, buf, 3), "IC");
    EXPECT_EQ(buf[3], 'x');
    std::memset(buf, 'x', sizeof buf);
    EXPECT_STREQ(oxlo_ip_protocol_name(1000, buf, 2), "1");
    EXPECT_EQ(buf[2], 'x');
    EXPECT_EQ(oxlo_ip_protocol_name(6, nullptr, 10), nullptr);
    buf[0] = 'z';
    EXPECT_EQ(oxlo_ip_protocol_name(6, buf, 0), buf);
    EXPECT_EQ(buf[0], 'z');
}

TEST(names, small_enumerations)
{
    EXPECT_STREQ(oxlo_tunnel_name(0), "No-Tunnel");
    EXPECT_STREQ(oxlo_tunnel_name(6), "GRE");
    EXPECT_STREQ(oxlo_tunnel_name(7), "");
    EXPECT_STREQ(oxlo_tunnel_name(-1), "");
    EXPECT_STREQ(oxlo_os_name(3), "iOS/iPad");
    EXPECT_STREQ(oxlo_os_name(0), "Unknown");
    EXPECT_STREQ(oxlo_os_name(7), "Unknown");
    EXPECT_STREQ(oxlo_lru_cache_kind_name(0), "ookla");
    EXPECT_STREQ(oxlo_lru_cache_kind_name(7), "signal");
    EXPECT_STREQ(oxlo_lru_cache_kind_name(8), "unknown");
    EXPECT_STREQ(oxlo_http_verb_name(OXLO_HTTP_METHOD_PROPPATCH), "PROPPATCH");
    EXPECT_STREQ(oxlo_http_verb_name(OXLO_HTTP_METHOD_RPC_OUT_DATA), "RPC_OUT_DATA");
    EXPECT_STREQ(oxlo_http_verb_name(OXLO_HTTP_METHOD_UNKNOWN), "Unknown HTTP method");
    EXPECT_STREQ(oxlo_http_verb_name(static_cast<oxlo_http_verb>(20)), "Unknown HTTP method");
}

TEST(names, http_verb_parse_by_first_letters)
{
    struct {
        const char *line;
        size_t length;
        oxlo_http_verb verb;
    } cases[] = {
        {"GET / HTTP/1.1", 14, OXLO_HTTP_METHOD_GET},
        {"COPY", 4, OXLO_HTTP_METHOD_COPY},
        {"CONNECT host:443", 16, OXLO_HTTP_METHOD_CONNECT},
        {"MOVE /a", 7, OXLO_HTTP_METHOD_MOVE},
        {"MKCOL /a", 8, OXLO_HTTP_METHOD_MKCOL},
        {"PATCH /", 7, OXLO_HTTP_METHOD_PATCH},
        {"POST /", 6, OXLO_HTTP_METHOD_POST},
        {"PUT /", 5, OXLO_HTTP_METHOD_PUT},
        {"PROPFIND /", 10, OXLO_HTTP_METHOD_PROPFIND},
        {"PROPPATCH /", 11, OXLO_HTTP_METHOD_PROPPATCH},
        {"PROP", 4, OXLO_HTTP_METHOD_UNKNOWN},   /* too short to tell */
        {"RPC_CONNECT /", 13, OXLO_HTTP_METHOD_RPC_CONNECT},
        {"RPC_IN_DATA /", 13, OXLO_HTTP_METHOD_RPC_IN_DATA},
        {"RPC_OUT_DATA /", 14, OXLO_HTTP_METHOD_RPC_OUT_DATA},
        {"RPC_OUT_DAT", 11, OXLO_HTTP_METHOD_UNKNOWN},   /* must not read a 12th byte */
        {"RPC_CONNEC", 10, OXLO_HTTP_METHOD_UNKNOWN},
        {"UNLOCK /", 8, OXLO_HTTP_METHOD_UNLOCK},
        {"GE", 2, OXLO_HTTP_METHOD_UNKNOWN},
        {"XYZ /", 5, OXLO_HTTP_METHOD_UNKNOWN},
        {"PXX /", 5, OXLO_HTTP_METHOD_UNKNOWN},
    };
    for (const auto &c : cases) {
        std::string exact(c.line, c.length);   /* heap copy: the sanitizer sees over-reads */
        EXPECT_EQ(oxlo_http_verb_parse(exact.data(), c.length), c.verb) << c.line;
    }
    EXPECT_EQ(oxlo_http_verb_parse(nullptr, 10), OXLO_HTTP_METHOD_UNKNOWN);
}

TEST(names, stream_content_joins_bits_and_refuses_what_does_not_fit)
{
    char buf[64];
    EXPECT_STREQ(oxlo_stream_content_text(0, buf, sizeof buf), "Unknown");
    EXPECT_STREQ(oxlo_stream_content_text(1, buf, sizeof buf), "Audio");
    EXPECT_STREQ(oxlo_stream_content_text(6, buf, sizeof buf), "Video, Screen Sharing");
    EXPECT_STREQ(oxlo_stream_content_text(7, buf, sizeof buf), "Audio, Video, Screen Sharing");
    EXPECT_EQ(oxlo_stream_content_text(3, buf, 12), nullptr);   /* "Audio, Video" needs 13 */
    EXPECT_STREQ(oxlo_stream_content_text(3, buf, 13), "Audio, Video");
    EXPECT_EQ(oxlo_stream_content_text(1, buf, 1), nullptr);
    EXPECT_EQ(oxlo_stream_content_text(1, nullptr, 10), nullptr);
}

TEST(names, tls_versions)
{
    const case16 cases[] = {{0x0300, "SSLv3"},           {0x0301, "TLSv1"},
                            {0x0303, "TLSv1.2"},         {0x0304, "TLSv1.3"},
                            {0x7F00, "TLSv1.3 (draft)"}, {0x7F1C, "TLSv1.3 (draft)"},
                            {0x7FFF, "TLSv1.3 (draft)"}, {0xFB1A, "TLSv1.3 (Fizz)"},
                            {0xFEFF, "DTLSv1.0"},        {0xFEFD, "DTLSv1.2"},
                            {0xFEFC, "DTLSv1.3"},        {0x0A0A, "GREASE"},
                            {0xFAFA, "GREASE"}};
    char buf[32];
    uint8_t unknown = 9;
    for (const auto &c : cases) {
        EXPECT_STREQ(oxlo_tls_version_name(c.id, buf, sizeof buf, &unknown), c.name) << c.id;
        EXPECT_EQ(unknown, 0);
    }
    EXPECT_STREQ(oxlo_tls_version_name(0x0A0B, buf, sizeof buf, &unknown), "TLS (0A0B)");
    EXPECT_EQ(unknown, 1);
    EXPECT_STREQ(oxlo_tls_version_name(0x0303, buf, 4, nullptr), "TLS");
    EXPECT_EQ(oxlo_tls_version_name(0x0303, buf, 1, nullptr), nullptr);
    EXPECT_EQ(oxlo_tls_version_name(0x0303, nullptr, 10, nullptr), nullptr);
}

TEST(names, tls_cipher_names_follow_the_registry)
{
    const case16 cases[] = {
        {0x0000, "TLS_NULL_WITH_NULL_NULL"},
        {0x0018, "TLS_DH_ANON_WITH_RC4_128_MD5"},
        {0x0026, "TLS_KRB5_EXPORT_WITH_DES_CBC_40_SHA"},
        {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
        {0x00FF, "TLS_EMPTY_RENEGOTIATION_INFO_SCSV"},
        {0x1301, "TLS_AES_128_GCM_SHA256"},
        {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
        {0x5600, "TLS_FALLBACK_SCSV"},
        {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
        {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
        {0xC05C, "TLS_ECDHE_ECDSA_WITH_ARIA_128_GCM_SHA256"},
        {0xC0AA, "TLS_PSK_DHE_WITH_AES_128_CCM_8"},
        {0xC0B4, "TLS_SHA256_SHA256"},
        {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
        {0xD005, "TLS_ECDHE_PSK_WITH_AES_128_CCM_SHA256"},
        {0x0A0A, "TLS_CIPHER_GREASE_RESERVED_0"},
        {0x7A7A, "TLS_CIPHER_GREASE_RESERVED_7"},
        {0xFAFA, "TLS_CIPHER_GREASE_RESERVED_F"},
        {0x001C, "0X001C"},
        {0xCC13, "0XCC13"},
        {0xD004, "0XD004"},
        {0xFFFF, "0XFFFF"},
    };
    char buf[8];
    for (const auto &c : cases)
        EXPECT_STREQ(oxlo_tls_cipher_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
    EXPECT_STREQ(oxlo_tls_cipher_name(0xFFFF, buf, 4), "0XF");
    EXPECT_STREQ(oxlo_tls_cipher_name(0xFFFF, nullptr, 0), "");
}

/* The suites this machine's OpenSSL knows must carry the same registry
 * names (OpenSSL prints the SSLv3 ones with an SSL_ prefix). */
TEST(names, tls_cipher_names_agree_with_openssl)
{
    FILE *p = popen("openssl ciphers -V -stdname 'ALL:COMPLEMENTOFALL:@SECLEVEL=0' 2>/dev/null", "r");
    if (!p)
        GTEST_SKIP() << "openssl not runnable";
    char line[512];
    int compared = 0;
    while (fgets(line, sizeof line, p)) {
        unsigned hi, lo;
        char name[128];
        if (std::sscanf(line, " 0x%x,0x%x - %127s", &hi, &lo, name) != 3)
            continue;
        std::string expected(name);
        if (expected.rfind("SSL_", 0) == 0)
            expected = "TLS_" + expected.substr(4);
        for (auto &ch : expected)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        char buf[8];
        EXPECT_EQ(oxlo_tls_cipher_name(static_cast<uint16_t>(hi << 8 | lo), buf, sizeof buf), expected);
        compared++;
    }
    pclose(p);
    if (compared == 0)
        GTEST_SKIP() << "openssl listed no cipher suites";
    EXPECT_GT(compared, 50);
}

TEST(names, tls_cipher_safety)
{
    for (uint16_t id : {0x0004, 0x0005, 0xC011})
        EXPECT_EQ(oxlo_tls_cipher_safety(id), OXLO_CIPHER_INSECURE) << id;
    for (uint16_t id : {0x0007, 0x000A, 0x0016, 0x002F, 0x0035, 0x003C, 0x003D, 0x0041, 0x0084,
                        0x0096, 0x009C, 0x009D, 0xC012})
        EXPECT_EQ(oxlo_tls_cipher_safety(id), OXLO_CIPHER_WEAK) << id;
    for (uint16_t id : {0x1301, 0xC02B, 0x0000, 0xFFFF})
        EXPECT_EQ(oxlo_tls_cipher_safety(id), OXLO_CIPHER_SAFE) << id;
}

TEST(names, tls_extensions)
{
    const case16 cases[] = {
        {0x0000, "server_name"},
        {0x0010, "application_layer_protocol_negotiation"},
        {0x001D, "preshared_key"},
        {0x002B, "supported_versions"},
        {0x0031, "record_size_limit"},
        {0x0033, "key_share"},
        {0x003A, "external_id_hash"},
        {0x003E, "dnssec_chain"},
        {0x003F, "sequence_number_encryption_algorithms"},
        {0x44CD, "application_settings"},
        {0xFE0D, "next_protocol_negotiation"},
        {0xFF01, "renegotiation_info"},
        {0x2A2A, "(GREASE)"},
        {0x0040, "0X0040"},
        {0x2A2B, "0X2A2B"},
    };
    char buf[8];
    for (const auto &c : cases)
        EXPECT_STREQ(oxlo_tls_extension_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
}

TEST(names, tls_groups)
{
    const case16 direct[] = {
        {0x0001, "sect163k1"},         {0x0017, "secp256r1"},     {0x001D, "x25519"},
        {0x001E, "x448"},              {0x0021, "brainpoolP512r1tls13"},
        {0x0022, "x25519kyber768"},    {0x002A, "x448kyber1024"}, {0x002B, "(Reserved)"},
        {0x003F, "(Reserved)"},        {0xFF02, "arbitrary_explicit_char2_curves"},
        {0x3A3A, "(GREASE)"},          {0x0000, "0X0000"},        {0x0100, "0X0100"},
    };
    const case16 table[] = {
        {0x0017, "secp256r1"},      {0x0100, "ffdhe2048"},   {0x0104, "ffdhe8192"},
        {0x0105, "(Reserved)"},     {0x01FF, "(Reserved)"},  {0x11EC, "X25519MLKEM768"},
        {0xFE00, "(Experimental/Private Use)"},              {0xFEFF, "(Experimental/Private Use)"},
        {0xAAAA, "(GREASE)"},       {0x0200, "MLKEM512"},    {0x1234, "0X1234"},
    };
    const case16 key_share[] = {
        {0x0017, "secp256r1"}, {0x0018, "secp384r1"}, {0x0019, "secp521r1"},
        {0x001D, "x25519"},    {0x001E, "x448"},      {0x0100, "ffdhe2048"},
        {0x0001, "0X0001"},    {0x0030, "(Reserved)"}, {0x1A1A, "(GREASE)"},
    };
    char buf[8];
    for (const auto &c : direct)
        EXPECT_STREQ(oxlo_tls_group_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
    for (const auto &c : table)
        EXPECT_STREQ(oxlo_tls_group_table_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
    for (const auto &c : key_share)
        EXPECT_STREQ(oxlo_tls_key_share_group_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
}

TEST(names, tls_signatures_and_supported_versions)
{
    const case16 sig[] = {
        {0x0201, "rsa_pkcs1_sha1"},      {0x0300, "anonymous_sha224"},
        {0x0503, "ecdsa_sha384"},        {0x0602, "dsa_sha512"},
        {0x0804, "rsa_pss_sha256"},      {0x0807, "ed25519"},
        {0x080B, "rsa_pss_rsae_sha512"}, {0x080E, "rsa_pss_pss_sha512"},
        {0x080F, "ecdsa_branchy"},       {0xEE03, "sm2sig_sm3"},
        {0xFE42, "(Experimental/Private Use)"}, {0x4A4A, "(GREASE)"},
        {0x0301, "0X0301"},
    };
    const case16 ver[] = {
        {0x0200, "SSL 2.0"},          {0x0300, "SSL 3.0"},
        {0x0304, "TLS 1.3"},          {0x7F00, "TLS 1.4 (draft-00)"},
        {0x7F05, "TLS 1.4 (draft-05)"}, {0x7F1C, "TLS 1.4 (draft-28)"},
        {0x7F1D, "0X7F1D"},           {0xDADA, "(GREASE)"},
        {0xFEFD, "DTLS 1.2"},
    };
    char buf[8];
    for (const auto &c : sig)
        EXPECT_STREQ(oxlo_tls_signature_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
    for (const auto &c : ver)
        EXPECT_STREQ(oxlo_tls_supported_version_name(c.id, buf, sizeof buf), c.name) << std::hex << c.id;
}

TEST(names, tls_block_kinds)
{
    struct {
        uint8_t content, handshake;
        const char *long_name, *short_name;
    } cases[] = {
        {20, 0, "ChangeCipher", "20"},
        {21, 0, "Alert", "21"},
        {22, 0, "Handshake:EncHandshakeMsg", "22:0"},
        {22, 1, "Handshake:ClientHello", "22:1"},
        {22, 11, "Handshake:Certificate", "22:11"},
        {22, 20, "Handshake:Finished", "22:20"},
        {22, 3, "Unknown", "0"},
        {23, 1, "AppData", "23"},
        {24, 0, "Heartbeat", "24"},
        {25, 0, "Unknown", "0"},
    };
    for (const auto &c : cases) {
        tls_block_kind k = oxlo_tls_block_kind_of(c.content, c.handshake);
        EXPECT_STREQ(oxlo_tls_block_kind_name(k, 0), c.long_name);
        EXPECT_STREQ(oxlo_tls_block_kind_name(k, 1), c.short_name);
    }
    EXPECT_STREQ(oxlo_tls_block_kind_name(17, 0), "Unknown");
    EXPECT_STREQ(oxlo_tls_block_kind_name(-1, 1), "0");
}

TEST(names, ike_transforms)
{
    EXPECT_STREQ(oxlo_ike_encryption_name(12), "AES_CBC");
    EXPECT_STREQ(oxlo_ike_encryption_name(28), "CHACHA20_POLY1305");
    EXPECT_STREQ(oxlo_ike_encryption_name(10), "Unknown");
    EXPECT_STREQ(oxlo_ike_prf_name(5), "HMAC_SHA2_256");
    EXPECT_STREQ(oxlo_ike_prf_name(0), "Unknown");
    EXPECT_STREQ(oxlo_ike_integrity_name(0), "NONE");
    EXPECT_STREQ(oxlo_ike_integrity_name(14), "HMAC_SHA2_512_256");
    EXPECT_STREQ(oxlo_ike_integrity_name(15), "Unknown");
    EXPECT_STREQ(oxlo_ike_dh_group_name(14), "MODP_2048");
    EXPECT_STREQ(oxlo_ike_dh_group_name(31), "CURVE25519");
    EXPECT_STREQ(oxlo_ike_dh_group_name(27), "Unknown");
}

TEST(names, rtp_payload_types)
{
    struct {
        uint8_t pt;
        uint16_t size;
        const char *name;
    } cases[] = {
        {0, 160, "ITU-T G.711 PCMU"},
        {8, 160, "ITU-T G.711 PCMA"},
        {18, 20, "ITU-T G.729"},
        {34, 900, "ITU-T H.263"},
        {98, 33, "AMR-WB"},
        {118, 13, "AMR"},
        {7, 10, "Unknown"},
        {0x80, 160, "Unknown"},   /* marker bit set */
        {126, 6, "EVS Primary SID 2.4"},
        {126, 33, "EVS 13.2"},
        {126, 17, "EVS AMR-WB IO 6.6"},
        {126, 320, "EVS Primary 128.0"},
        {126, 7, "Unknown"},
        {127, 18, "AMR-WB IO 6.6 kbps"},
        {127, 6, "AMR-WB IO 2.0 kbps SID"},
        {127, 61, "AMR-WB IO 23.85 kbps"},
        {127, 25, "SWB 9.6 kbps"},
        {127, 321, "SWB 128 kbps"},
        {127, 1000, "Unknown"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(oxlo_rtp_payload_type_name(c.pt, c.size), c.name) << int(c.pt) << "/" << c.size;
}
