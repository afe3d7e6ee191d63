/* Name tables: protocol numbers, TLS and IKE registries, RTP payload types.
 *
 * Every function here returns a constant text, or formats an unknown number
 * into the caller's buffer with snprintf so that nothing is ever written
 * outside [buffer, buffer + size). Nothing allocates. */
#include "oxlo_names.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct id_name {
    uint16_t id;
    const char *name;
};

/* Binary search in a table sorted by id. */
template <size_t N>
constexpr bool sorted_by_id(const id_name (&table)[N])
{
    for (size_t i = 1; i < N; i++)
        if (table[i - 1].id >= table[i].id)
            return false;
    return true;
}

template <size_t N>
const char *find_name(const id_name (&table)[N], uint16_t id)
{
    auto it = std::lower_bound(std::begin(table), std::end(table), id,
                               [](const id_name &e, uint16_t v) { return e.id < v; });
    return (it != std::end(table) && it->id == id) ? it->name : nullptr;
}

/* GREASE values (RFC 8701): 0x?A?A with both bytes equal. */
bool is_grease(uint16_t v) { return (v & 0x0F0F) == 0x0A0A && (v >> 8) == (v & 0xFF); }

const char *hex_fallback(uint16_t v, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return "";
    std::snprintf(buffer, size, "0X%04X", v);
    return buffer;
}

/* ---- TLS cipher suites ----------------------------------------------------
 * Source: the IANA "TLS Cipher Suites" registry (values up to 0xD005), names
 * in upper case. Cross-checked on the build machine against
 * `openssl ciphers -V -stdname 'ALL:COMPLEMENTOFALL:@SECLEVEL=0'` (158 suites
 * agree) and against the TLS tables of Debian's python3-scapy. The
 * pre-standard ChaCha20 ids 0xCC13-0xCC15 are not in the registry and are
 * left out. */
constexpr id_name cipher_suites[] = {
    {0x0000, "TLS_NULL_WITH_NULL_NULL"},
    {0x0001, "TLS_RSA_WITH_NULL_MD5"},
    {0x0002, "TLS_RSA_WITH_NULL_SHA"},
    {0x0003, "TLS_RSA_EXPORT_WITH_RC4_40_MD5"},
    {0x0004, "TLS_RSA_WITH_RC4_128_MD5"},
    {0x0005, "TLS_RSA_WITH_RC4_128_SHA"},
    {0x0006, "TLS_RSA_EXPORT_WITH_RC2_CBC_40_MD5"},
    {0x0007, "TLS_RSA_WITH_IDEA_CBC_SHA"},
    {0x0008, "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0009, "TLS_RSA_WITH_DES_CBC_SHA"},
    {0x000A, "TLS_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x000B, "TLS_DH_DSS_EXPORT_WITH_DES40_CBC_SHA"},
    {0x000C, "TLS_DH_DSS_WITH_DES_CBC_SHA"},
    {0x000D, "TLS_DH_DSS_WITH_3DES_EDE_CBC_SHA"},
    {0x000E, "TLS_DH_RSA_EXPORT_WITH_DES40_CBC_SHA"},
    {0x000F, "TLS_DH_RSA_WITH_DES_CBC_SHA"},
    {0x0010, "TLS_DH_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x0011, "TLS_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0012, "TLS_DHE_DSS_WITH_DES_CBC_SHA"},
    {0x0013, "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA"},
    {0x0014, "TLS_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0015, "TLS_DHE_RSA_WITH_DES_CBC_SHA"},
    {0x0016, "TLS_DHE_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x0017, "TLS_DH_ANON_EXPORT_WITH_RC4_40_MD5"},
    {0x0018, "TLS_DH_ANON_WITH_RC4_128_MD5"},
    {0x0019, "TLS_DH_ANON_EXPORT_WITH_DES40_CBC_SHA"},
    {0x001A, "TLS_DH_ANON_WITH_DES_CBC_SHA"},
    {0x001B, "TLS_DH_ANON_WITH_3DES_EDE_CBC_SHA"},
    {0x001E, "TLS_KRB5_WITH_DES_CBC_SHA"},
    {0x001F, "TLS_KRB5_WITH_3DES_EDE_CBC_SHA"},
    {0x0020, "TLS_KRB5_WITH_RC4_128_SHA"},
    {0x0021, "TLS_KRB5_WITH_IDEA_CBC_SHA"},
    {0x0022, "TLS_KRB5_WITH_DES_CBC_MD5"},
    {0x0023, "TLS_KRB5_WITH_3DES_EDE_CBC_MD5"},
    {0x0024, "TLS_KRB5_WITH_RC4_128_MD5"},
    {0x0025, "TLS_KRB5_WITH_IDEA_CBC_MD5"},
    {0x0026, "TLS_KRB5_EXPORT_WITH_DES_CBC_40_SHA"},
    {0x0027, "TLS_KRB5_EXPORT_WITH_RC2_CBC_40_SHA"},
    {0x0028, "TLS_KRB5_EXPORT_WITH_RC4_40_SHA"},
    {0x0029, "TLS_KRB5_EXPORT_WITH_DES_CBC_40_MD5"},
    {0x002A, "TLS_KRB5_EXPORT_WITH_RC2_CBC_40_MD5"},
    {0x002B, "TLS_KRB5_EXPORT_WITH_RC4_40_MD5"},
    {0x002C, "TLS_PSK_WITH_NULL_SHA"},
    {0x002D, "TLS_DHE_PSK_WITH_NULL_SHA"},
    {0x002E, "TLS_RSA_PSK_WITH_NULL_SHA"},
    {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {0x0030, "TLS_DH_DSS_WITH_AES_128_CBC_SHA"},
    {0x0031, "TLS_DH_RSA_WITH_AES_128_CBC_SHA"},
    {0x0032, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA"},
    {0x0033, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA"},
    {0x0034, "TLS_DH_ANON_WITH_AES_128_CBC_SHA"},
    {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
    {0x0036, "TLS_DH_DSS_WITH_AES_256_CBC_SHA"},
    {0x0037, "TLS_DH_RSA_WITH_AES_256_CBC_SHA"},
    {0x0038, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA"},
    {0x0039, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA"},
    {0x003A, "TLS_DH_ANON_WITH_AES_256_CBC_SHA"},
    {0x003B, "TLS_RSA_WITH_NULL_SHA256"},
    {0x003C, "TLS_RSA_WITH_AES_128_CBC_SHA256"},
    {0x003D, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
    {0x003E, "TLS_DH_DSS_WITH_AES_128_CBC_SHA256"},
    {0x003F, "TLS_DH_RSA_WITH_AES_128_CBC_SHA256"},
    {0x0040, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256"},
    {0x0041, "TLS_RSA_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0042, "TLS_DH_DSS_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0043, "TLS_DH_RSA_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0044, "TLS_DHE_DSS_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0045, "TLS_DHE_RSA_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0046, "TLS_DH_ANON_WITH_CAMELLIA_128_CBC_SHA"},
    {0x0067, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0x0068, "TLS_DH_DSS_WITH_AES_256_CBC_SHA256"},
    {0x0069, "TLS_DH_RSA_WITH_AES_256_CBC_SHA256"},
    {0x006A, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA256"},
    {0x006B, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA256"},
    {0x006C, "TLS_DH_ANON_WITH_AES_128_CBC_SHA256"},
    {0x006D, "TLS_DH_ANON_WITH_AES_256_CBC_SHA256"},
    {0x0084, "TLS_RSA_WITH_CAMELLIA_256_CBC_SHA"},
    {0x0085, "TLS_DH_DSS_WITH_CAMELLIA_256_CBC_SHA"},
    {0x0086, "TLS_DH_RSA_WITH_CAMELLIA_256_CBC_SHA"},
    {0x0087, "TLS_DHE_DSS_WITH_CAMELLIA_256_CBC_SHA"},
    {0x0088, "TLS_DHE_RSA_WITH_CAMELLIA_256_CBC_SHA"},
    {0x0089, "TLS_DH_ANON_WITH_CAMELLIA_256_CBC_SHA"},
    {0x008A, "TLS_PSK_WITH_RC4_128_SHA"},
    {0x008B, "TLS_PSK_WITH_3DES_EDE_CBC_SHA"},
    {0x008C, "TLS_PSK_WITH_AES_128_CBC_SHA"},
    {0x008D, "TLS_PSK_WITH_AES_256_CBC_SHA"},
    {0x008E, "TLS_DHE_PSK_WITH_RC4_128_SHA"},
    {0x008F, "TLS_DHE_PSK_WITH_3DES_EDE_CBC_SHA"},
    {0x0090, "TLS_DHE_PSK_WITH_AES_128_CBC_SHA"},
    {0x0091, "TLS_DHE_PSK_WITH_AES_256_CBC_SHA"},
    {0x0092, "TLS_RSA_PSK_WITH_RC4_128_SHA"},
    {0x0093, "TLS_RSA_PSK_WITH_3DES_EDE_CBC_SHA"},
    {0x0094, "TLS_RSA_PSK_WITH_AES_128_CBC_SHA"},
    {0x0095, "TLS_RSA_PSK_WITH_AES_256_CBC_SHA"},
    {0x0096, "TLS_RSA_WITH_SEED_CBC_SHA"},
    {0x0097, "TLS_DH_DSS_WITH_SEED_CBC_SHA"},
    {0x0098, "TLS_DH_RSA_WITH_SEED_CBC_SHA"},
    {0x0099, "TLS_DHE_DSS_WITH_SEED_CBC_SHA"},
    {0x009A, "TLS_DHE_RSA_WITH_SEED_CBC_SHA"},
    {0x009B, "TLS_DH_ANON_WITH_SEED_CBC_SHA"},
    {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
    {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0x00A0, "TLS_DH_RSA_WITH_AES_128_GCM_SHA256"},
    {0x00A1, "TLS_DH_RSA_WITH_AES_256_GCM_SHA384"},
    {0x00A2, "TLS_DHE_DSS_WITH_AES_128_GCM_SHA256"},
    {0x00A3, "TLS_DHE_DSS_WITH_AES_256_GCM_SHA384"},
    {0x00A4, "TLS_DH_DSS_WITH_AES_128_GCM_SHA256"},
    {0x00A5, "TLS_DH_DSS_WITH_AES_256_GCM_SHA384"},
    {0x00A6, "TLS_DH_ANON_WITH_AES_128_GCM_SHA256"},
    {0x00A7, "TLS_DH_ANON_WITH_AES_256_GCM_SHA384"},
    {0x00A8, "TLS_PSK_WITH_AES_128_GCM_SHA256"},
    {0x00A9, "TLS_PSK_WITH_AES_256_GCM_SHA384"},
    {0x00AA, "TLS_DHE_PSK_WITH_AES_128_GCM_SHA256"},
    {0x00AB, "TLS_DHE_PSK_WITH_AES_256_GCM_SHA384"},
    {0x00AC, "TLS_RSA_PSK_WITH_AES_128_GCM_SHA256"},
    {0x00AD, "TLS_RSA_PSK_WITH_AES_256_GCM_SHA384"},
    {0x00AE, "TLS_PSK_WITH_AES_128_CBC_SHA256"},
    {0x00AF, "TLS_PSK_WITH_AES_256_CBC_SHA384"},
    {0x00B0, "TLS_PSK_WITH_NULL_SHA256"},
    {0x00B1, "TLS_PSK_WITH_NULL_SHA384"},
    {0x00B2, "TLS_DHE_PSK_WITH_AES_128_CBC_SHA256"},
    {0x00B3, "TLS_DHE_PSK_WITH_AES_256_CBC_SHA384"},
    {0x00B4, "TLS_DHE_PSK_WITH_NULL_SHA256"},
    {0x00B5, "TLS_DHE_PSK_WITH_NULL_SHA384"},
    {0x00B6, "TLS_RSA_PSK_WITH_AES_128_CBC_SHA256"},
    {0x00B7, "TLS_RSA_PSK_WITH_AES_256_CBC_SHA384"},
    {0x00B8, "TLS_RSA_PSK_WITH_NULL_SHA256"},
    {0x00B9, "TLS_RSA_PSK_WITH_NULL_SHA384"},
    {0x00BA, "TLS_RSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00BB, "TLS_DH_DSS_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00BC, "TLS_DH_RSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00BD, "TLS_DHE_DSS_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00BE, "TLS_DHE_RSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00BF, "TLS_DH_ANON_WITH_CAMELLIA_128_CBC_SHA256"},
    {0x00C0, "TLS_RSA_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C1, "TLS_DH_DSS_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C2, "TLS_DH_RSA_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C3, "TLS_DHE_DSS_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C4, "TLS_DHE_RSA_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C5, "TLS_DH_ANON_WITH_CAMELLIA_256_CBC_SHA256"},
    {0x00C6, "TLS_SM4_GCM_SM3"},
    {0x00C7, "TLS_SM4_CCM_SM3"},
    {0x00FF, "TLS_EMPTY_RENEGOTIATION_INFO_SCSV"},
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0x1304, "TLS_AES_128_CCM_SHA256"},
    {0x1305, "TLS_AES_128_CCM_8_SHA256"},
    {0x5600, "TLS_FALLBACK_SCSV"},
    {0xC001, "TLS_ECDH_ECDSA_WITH_NULL_SHA"},
    {0xC002, "TLS_ECDH_ECDSA_WITH_RC4_128_SHA"},
    {0xC003, "TLS_ECDH_ECDSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC004, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC005, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA"},
    {0xC006, "TLS_ECDHE_ECDSA_WITH_NULL_SHA"},
    {0xC007, "TLS_ECDHE_ECDSA_WITH_RC4_128_SHA"},
    {0xC008, "TLS_ECDHE_ECDSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC009, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC00A, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA"},
    {0xC00B, "TLS_ECDH_RSA_WITH_NULL_SHA"},
    {0xC00C, "TLS_ECDH_RSA_WITH_RC4_128_SHA"},
    {0xC00D, "TLS_ECDH_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC00E, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA"},
    {0xC00F, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA"},
    {0xC010, "TLS_ECDHE_RSA_WITH_NULL_SHA"},
    {0xC011, "TLS_ECDHE_RSA_WITH_RC4_128_SHA"},
    {0xC012, "TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
    {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
    {0xC015, "TLS_ECDH_ANON_WITH_NULL_SHA"},
    {0xC016, "TLS_ECDH_ANON_WITH_RC4_128_SHA"},
    {0xC017, "TLS_ECDH_ANON_WITH_3DES_EDE_CBC_SHA"},
    {0xC018, "TLS_ECDH_ANON_WITH_AES_128_CBC_SHA"},
    {0xC019, "TLS_ECDH_ANON_WITH_AES_256_CBC_SHA"},
    {0xC01A, "TLS_SRP_SHA_WITH_3DES_EDE_CBC_SHA"},
    {0xC01B, "TLS_SRP_SHA_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC01C, "TLS_SRP_SHA_DSS_WITH_3DES_EDE_CBC_SHA"},
    {0xC01D, "TLS_SRP_SHA_WITH_AES_128_CBC_SHA"},
    {0xC01E, "TLS_SRP_SHA_RSA_WITH_AES_128_CBC_SHA"},
    {0xC01F, "TLS_SRP_SHA_DSS_WITH_AES_128_CBC_SHA"},
    {0xC020, "TLS_SRP_SHA_WITH_AES_256_CBC_SHA"},
    {0xC021, "TLS_SRP_SHA_RSA_WITH_AES_256_CBC_SHA"},
    {0xC022, "TLS_SRP_SHA_DSS_WITH_AES_256_CBC_SHA"},
    {0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC024, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0xC025, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC026, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0xC027, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC028, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
    {0xC029, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC02A, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA384"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02D, "TLS_ECDH_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02E, "TLS_ECDH_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xC031, "TLS_ECDH_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC032, "TLS_ECDH_RSA_WITH_AES_256_GCM_SHA384"},
    {0xC033, "TLS_ECDHE_PSK_WITH_RC4_128_SHA"},
    {0xC034, "TLS_ECDHE_PSK_WITH_3DES_EDE_CBC_SHA"},
    {0xC035, "TLS_ECDHE_PSK_WITH_AES_128_CBC_SHA"},
    {0xC036, "TLS_ECDHE_PSK_WITH_AES_256_CBC_SHA"},
    {0xC037, "TLS_ECDHE_PSK_WITH_AES_128_CBC_SHA256"},
    {0xC038, "TLS_ECDHE_PSK_WITH_AES_256_CBC_SHA384"},
    {0xC039, "TLS_ECDHE_PSK_WITH_NULL_SHA"},
    {0xC03A, "TLS_ECDHE_PSK_WITH_NULL_SHA256"},
    {0xC03B, "TLS_ECDHE_PSK_WITH_NULL_SHA384"},
    {0xC03C, "TLS_RSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC03D, "TLS_RSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC03E, "TLS_DH_DSS_WITH_ARIA_128_CBC_SHA256"},
    {0xC03F, "TLS_DH_DSS_WITH_ARIA_256_CBC_SHA384"},
    {0xC040, "TLS_DH_RSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC041, "TLS_DH_RSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC042, "TLS_DHE_DSS_WITH_ARIA_128_CBC_SHA256"},
    {0xC043, "TLS_DHE_DSS_WITH_ARIA_256_CBC_SHA384"},
    {0xC044, "TLS_DHE_RSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC045, "TLS_DHE_RSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC046, "TLS_DH_ANON_WITH_ARIA_128_CBC_SHA256"},
    {0xC047, "TLS_DH_ANON_WITH_ARIA_256_CBC_SHA384"},
    {0xC048, "TLS_ECDHE_ECDSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC049, "TLS_ECDHE_ECDSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC04A, "TLS_ECDH_ECDSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC04B, "TLS_ECDH_ECDSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC04C, "TLS_ECDHE_RSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC04D, "TLS_ECDHE_RSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC04E, "TLS_ECDH_RSA_WITH_ARIA_128_CBC_SHA256"},
    {0xC04F, "TLS_ECDH_RSA_WITH_ARIA_256_CBC_SHA384"},
    {0xC050, "TLS_RSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC051, "TLS_RSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC052, "TLS_DHE_RSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC053, "TLS_DHE_RSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC054, "TLS_DH_RSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC055, "TLS_DH_RSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC056, "TLS_DHE_DSS_WITH_ARIA_128_GCM_SHA256"},
    {0xC057, "TLS_DHE_DSS_WITH_ARIA_256_GCM_SHA384"},
    {0xC058, "TLS_DH_DSS_WITH_ARIA_128_GCM_SHA256"},
    {0xC059, "TLS_DH_DSS_WITH_ARIA_256_GCM_SHA384"},
    {0xC05A, "TLS_DH_ANON_WITH_ARIA_128_GCM_SHA256"},
    {0xC05B, "TLS_DH_ANON_WITH_ARIA_256_GCM_SHA384"},
    {0xC05C, "TLS_ECDHE_ECDSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC05D, "TLS_ECDHE_ECDSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC05E, "TLS_ECDH_ECDSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC05F, "TLS_ECDH_ECDSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC060, "TLS_ECDHE_RSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC061, "TLS_ECDHE_RSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC062, "TLS_ECDH_RSA_WITH_ARIA_128_GCM_SHA256"},
    {0xC063, "TLS_ECDH_RSA_WITH_ARIA_256_GCM_SHA384"},
    {0xC064, "TLS_PSK_WITH_ARIA_128_CBC_SHA256"},
    {0xC065, "TLS_PSK_WITH_ARIA_256_CBC_SHA384"},
    {0xC066, "TLS_DHE_PSK_WITH_ARIA_128_CBC_SHA256"},
    {0xC067, "TLS_DHE_PSK_WITH_ARIA_256_CBC_SHA384"},
    {0xC068, "TLS_RSA_PSK_WITH_ARIA_128_CBC_SHA256"},
    {0xC069, "TLS_RSA_PSK_WITH_ARIA_256_CBC_SHA384"},
    {0xC06A, "TLS_PSK_WITH_ARIA_128_GCM_SHA256"},
    {0xC06B, "TLS_PSK_WITH_ARIA_256_GCM_SHA384"},
    {0xC06C, "TLS_DHE_PSK_WITH_ARIA_128_GCM_SHA256"},
    {0xC06D, "TLS_DHE_PSK_WITH_ARIA_256_GCM_SHA384"},
    {0xC06E, "TLS_RSA_PSK_WITH_ARIA_128_GCM_SHA256"},
    {0xC06F, "TLS_RSA_PSK_WITH_ARIA_256_GCM_SHA384"},
    {0xC070, "TLS_ECDHE_PSK_WITH_ARIA_128_CBC_SHA256"},
    {0xC071, "TLS_ECDHE_PSK_WITH_ARIA_256_CBC_SHA384"},
    {0xC072, "TLS_ECDHE_ECDSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC073, "TLS_ECDHE_ECDSA_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC074, "TLS_ECDH_ECDSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC075, "TLS_ECDH_ECDSA_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC076, "TLS_ECDHE_RSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC077, "TLS_ECDHE_RSA_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC078, "TLS_ECDH_RSA_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC079, "TLS_ECDH_RSA_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC07A, "TLS_RSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC07B, "TLS_RSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC07C, "TLS_DHE_RSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC07D, "TLS_DHE_RSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC07E, "TLS_DH_RSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC07F, "TLS_DH_RSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC080, "TLS_DHE_DSS_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC081, "TLS_DHE_DSS_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC082, "TLS_DH_DSS_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC083, "TLS_DH_DSS_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC084, "TLS_DH_ANON_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC085, "TLS_DH_ANON_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC086, "TLS_ECDHE_ECDSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC087, "TLS_ECDHE_ECDSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC088, "TLS_ECDH_ECDSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC089, "TLS_ECDH_ECDSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC08A, "TLS_ECDHE_RSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC08B, "TLS_ECDHE_RSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC08C, "TLS_ECDH_RSA_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC08D, "TLS_ECDH_RSA_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC08E, "TLS_PSK_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC08F, "TLS_PSK_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC090, "TLS_DHE_PSK_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC091, "TLS_DHE_PSK_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC092, "TLS_RSA_PSK_WITH_CAMELLIA_128_GCM_SHA256"},
    {0xC093, "TLS_RSA_PSK_WITH_CAMELLIA_256_GCM_SHA384"},
    {0xC094, "TLS_PSK_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC095, "TLS_PSK_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC096, "TLS_DHE_PSK_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC097, "TLS_DHE_PSK_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC098, "TLS_RSA_PSK_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC099, "TLS_RSA_PSK_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC09A, "TLS_ECDHE_PSK_WITH_CAMELLIA_128_CBC_SHA256"},
    {0xC09B, "TLS_ECDHE_PSK_WITH_CAMELLIA_256_CBC_SHA384"},
    {0xC09C, "TLS_RSA_WITH_AES_128_CCM"},
    {0xC09D, "TLS_RSA_WITH_AES_256_CCM"},
    {0xC09E, "TLS_DHE_RSA_WITH_AES_128_CCM"},
    {0xC09F, "TLS_DHE_RSA_WITH_AES_256_CCM"},
    {0xC0A0, "TLS_RSA_WITH_AES_128_CCM_8"},
    {0xC0A1, "TLS_RSA_WITH_AES_256_CCM_8"},
    {0xC0A2, "TLS_DHE_RSA_WITH_AES_128_CCM_8"},
    {0xC0A3, "TLS_DHE_RSA_WITH_AES_256_CCM_8"},
    {0xC0A4, "TLS_PSK_WITH_AES_128_CCM"},
    {0xC0A5, "TLS_PSK_WITH_AES_256_CCM"},
    {0xC0A6, "TLS_DHE_PSK_WITH_AES_128_CCM"},
    {0xC0A7, "TLS_DHE_PSK_WITH_AES_256_CCM"},
    {0xC0A8, "TLS_PSK_WITH_AES_128_CCM_8"},
    {0xC0A9, "TLS_PSK_WITH_AES_256_CCM_8"},
    {0xC0AA, "TLS_PSK_DHE_WITH_AES_128_CCM_8"},
    {0xC0AB, "TLS_PSK_DHE_WITH_AES_256_CCM_8"},
    {0xC0AC, "TLS_ECDHE_ECDSA_WITH_AES_128_CCM"},
    {0xC0AD, "TLS_ECDHE_ECDSA_WITH_AES_256_CCM"},
    {0xC0AE, "TLS_ECDHE_ECDSA_WITH_AES_128_CCM_8"},
    {0xC0AF, "TLS_ECDHE_ECDSA_WITH_AES_256_CCM_8"},
    {0xC0B0, "TLS_ECCPWD_WITH_AES_128_GCM_SHA256"},
    {0xC0B1, "TLS_ECCPWD_WITH_AES_256_GCM_SHA384"},
    {0xC0B2, "TLS_ECCPWD_WITH_AES_128_CCM_SHA256"},
    {0xC0B3, "TLS_ECCPWD_WITH_AES_256_CCM_SHA384"},
    {0xC0B4, "TLS_SHA256_SHA256"},
    {0xC0B5, "TLS_SHA384_SHA384"},
    {0xC100, "TLS_GOSTR341112_256_WITH_KUZNYECHIK_CTR_OMAC"},
    {0xC101, "TLS_GOSTR341112_256_WITH_MAGMA_CTR_OMAC"},
    {0xC102, "TLS_GOSTR341112_256_WITH_28147_CNT_IMIT"},
    {0xC103, "TLS_GOSTR341112_256_WITH_KUZNYECHIK_MGM_L"},
    {0xC104, "TLS_GOSTR341112_256_WITH_MAGMA_MGM_L"},
    {0xC105, "TLS_GOSTR341112_256_WITH_KUZNYECHIK_MGM_S"},
    {0xC106, "TLS_GOSTR341112_256_WITH_MAGMA_MGM_S"},
    {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCAA, "TLS_DHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCAB, "TLS_PSK_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCAC, "TLS_ECDHE_PSK_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCAD, "TLS_DHE_PSK_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCAE, "TLS_RSA_PSK_WITH_CHACHA20_POLY1305_SHA256"},
    {0xD001, "TLS_ECDHE_PSK_WITH_AES_128_GCM_SHA256"},
    {0xD002, "TLS_ECDHE_PSK_WITH_AES_256_GCM_SHA384"},
    {0xD003, "TLS_ECDHE_PSK_WITH_AES_128_CCM_8_SHA256"},
    {0xD005, "TLS_ECDHE_PSK_WITH_AES_128_CCM_SHA256"},
};

/* ---- TLS extensions ---------------------------------------------------------
 * Source: the IANA "TLS ExtensionType Values" registry for 0-0x3F and the
 * few private numbers widely seen on the wire. The names of 0x1D, 0x31 and
 * 0x3A-0x3F, and those above 0x3F, are the ones this library has always
 * reported (older draft numbering) and are kept for compatibility. */
constexpr id_name extensions[] = {
    {0x0000, "server_name"},
    {0x0001, "max_fragment_length"},
    {0x0002, "client_certificate_url"},
    {0x0003, "trusted_ca_keys"},
    {0x0004, "truncated_hmac"},
    {0x0005, "status_request"},
    {0x0006, "user_mapping"},
    {0x0007, "client_authz"},
    {0x0008, "server_authz"},
    {0x0009, "cert_type"},
    {0x000A, "supported_groups"},
    {0x000B, "ec_point_formats"},
    {0x000C, "srp"},
    {0x000D, "signature_algorithms"},
    {0x000E, "use_srtp"},
    {0x000F, "heartbeat"},
    {0x0010, "application_layer_protocol_negotiation"},
    {0x0011, "status_request_v2"},
    {0x0012, "signed_certificate_timestamp"},
    {0x0013, "client_certificate_type"},
    {0x0014, "server_certificate_type"},
    {0x0015, "padding"},
    {0x0016, "encrypt_then_mac"},
    {0x0017, "extended_master_secret"},
    {0x0018, "token_binding"},
    {0x0019, "cached_info"},
    {0x001A, "tls_lts"},
    {0x001B, "compress_certificate"},
    {0x001C, "record_size_limit"},
    {0x001D, "preshared_key"},
    {0x001E, "pwd_clear"},
    {0x001F, "password_salt"},
    {0x0020, "ticket_pinning"},
    {0x0021, "tls_cert_with_extern_psk"},
    {0x0022, "delegated_credential"},
    {0x0023, "session_ticket"},
    {0x0024, "TLMSP"},
    {0x0025, "TLMSP_proxying"},
    {0x0026, "TLMSP_delegate"},
    {0x0027, "supported_ekt_ciphers"},
    {0x0028, "Reserved"},
    {0x0029, "pre_shared_key"},
    {0x002A, "early_data"},
    {0x002B, "supported_versions"},
    {0x002C, "cookie"},
    {0x002D, "psk_key_exchange_modes"},
    {0x002E, "Reserved"},
    {0x002F, "certificate_authorities"},
    {0x0030, "oid_filters"},
    {0x0031, "record_size_limit"},
    {0x0032, "signature_algorithms_cert"},
    {0x0033, "key_share"},
    {0x0034, "transparency_info"},
    {0x0035, "connection_id (deprecated)"},
    {0x0036, "connection_id"},
    {0x0037, "external_id_hash"},
    {0x0038, "external_session_id"},
    {0x0039, "quic_transport_parameters"},
    {0x003A, "external_id_hash"},
    {0x003B, "external_session_id"},
    {0x003C, "quic_transport_parameters"},
    {0x003D, "ticket_request"},
    {0x003E, "dnssec_chain"},
    {0x003F, "sequence_number_encryption_algorithms"},
    {0x44CD, "application_settings"},
    {0xFE0D, "next_protocol_negotiation"},
    {0xFF00, "extended_random"},
    {0xFF01, "renegotiation_info"},
    {0xFF02, "token_binding"},
};

/* ---- TLS supported groups -----------------------------------------------------
 * Source: the IANA "TLS Supported Groups" registry (1-0x21, 0x100-0x104,
 * 0x200-0x202, 0x11EB-0x11ED and the two Kyber draft code points 0x6399,
 * 0x639A), cross-checked against the group table of Debian's python3-scapy.
 * 0x22-0x2A are the hybrid groups this library has always reported. */
constexpr id_name groups[] = {
    {0x0001, "sect163k1"},
    {0x0002, "sect163r1"},
    {0x0003, "sect163r2"},
    {0x0004, "sect193r1"},
    {0x0005, "sect193r2"},
    {0x0006, "sect233k1"},
    {0x0007, "sect233r1"},
    {0x0008, "sect239k1"},
    {0x0009, "sect283k1"},
    {0x000A, "sect283r1"},
    {0x000B, "sect409k1"},
    {0x000C, "sect409r1"},
    {0x000D, "sect571k1"},
    {0x000E, "sect571r1"},
    {0x000F, "secp160k1"},
    {0x0010, "secp160r1"},
    {0x0011, "secp160r2"},
    {0x0012, "secp192k1"},
    {0x0013, "secp192r1"},
    {0x0014, "secp224k1"},
    {0x0015, "secp224r1"},
    {0x0016, "secp256k1"},
    {0x0017, "secp256r1"},
    {0x0018, "secp384r1"},
    {0x0019, "secp521r1"},
    {0x001A, "brainpoolP256r1"},
    {0x001B, "brainpoolP384r1"},
    {0x001C, "brainpoolP512r1"},
    {0x001D, "x25519"},
    {0x001E, "x448"},
    {0x001F, "brainpoolP256r1tls13"},
    {0x0020, "brainpoolP384r1tls13"},
    {0x0021, "brainpoolP512r1tls13"},
    {0x0022, "x25519kyber768"},
    {0x0023, "secp256r1kyber768"},
    {0x0024, "x25519kyber1024"},
    {0x0025, "secp256r1kyber1024"},
    {0x0026, "secp384r1kyber768"},
    {0x0027, "secp384r1kyber1024"},
    {0x0028, "secp521r1kyber1024"},
    {0x0029, "x448kyber768"},
    {0x002A, "x448kyber1024"},
    {0x0100, "ffdhe2048"},
    {0x0101, "ffdhe3072"},
    {0x0102, "ffdhe4096"},
    {0x0103, "ffdhe6144"},
    {0x0104, "ffdhe8192"},
    {0x0200, "MLKEM512"},
    {0x0201, "MLKEM768"},
    {0x0202, "MLKEM1024"},
    {0x11EB, "SecP256r1MLKEM768"},
    {0x11EC, "X25519MLKEM768"},
    {0x11ED, "SecP384r1MLKEM1024"},
    {0x6399, "X25519Kyber768Draft00"},
    {0x639A, "SecP256r1Kyber768Draft00"},
    {0xFF01, "arbitrary_explicit_prime_curves"},
    {0xFF02, "arbitrary_explicit_char2_curves"},
};

/* Groups a TLS 1.3 key share can carry (same registry). */
constexpr id_name key_share_groups[] = {
    {0x0017, "secp256r1"},
    {0x0018, "secp384r1"},
    {0x0019, "secp521r1"},
    {0x001D, "x25519"},
    {0x001E, "x448"},
    {0x001F, "brainpoolP256r1tls13"},
    {0x0020, "brainpoolP384r1tls13"},
    {0x0021, "brainpoolP512r1tls13"},
    {0x0100, "ffdhe2048"},
    {0x0101, "ffdhe3072"},
    {0x0102, "ffdhe4096"},
    {0x0103, "ffdhe6144"},
    {0x0104, "ffdhe8192"},
    {0x0200, "MLKEM512"},
    {0x0201, "MLKEM768"},
    {0x0202, "MLKEM1024"},
    {0x11EB, "SecP256r1MLKEM768"},
    {0x11EC, "X25519MLKEM768"},
    {0x11ED, "SecP384r1MLKEM1024"},
    {0x6399, "X25519Kyber768Draft00"},
    {0x639A, "SecP256r1Kyber768Draft00"},
};

/* ---- TLS signature schemes ------------------------------------------------------
 * Source: the IANA "TLS SignatureScheme" registry and the TLS 1.2
 * hash/signature pairs it replaced, under the names this library reports. */
constexpr id_name signatures[] = {
    {0x0200, "anonymous_sha1"},
    {0x0201, "rsa_pkcs1_sha1"},
    {0x0202, "dsa_sha1"},
    {0x0203, "ecdsa_sha1"},
    {0x0300, "anonymous_sha224"},
    {0x0400, "anonymous_sha256"},
    {0x0401, "rsa_pkcs1_sha256"},
    {0x0402, "dsa_sha256"},
    {0x0403, "ecdsa_sha256"},
    {0x0500, "anonymous_sha384"},
    {0x0501, "rsa_pkcs1_sha384"},
    {0x0502, "dsa_sha384"},
    {0x0503, "ecdsa_sha384"},
    {0x0600, "anonymous_sha512"},
    {0x0601, "rsa_pkcs1_sha512"},
    {0x0602, "dsa_sha512"},
    {0x0603, "ecdsa_sha512"},
    {0x0804, "rsa_pss_sha256"},
    {0x0805, "rsa_pss_sha384"},
    {0x0806, "rsa_pss_sha512"},
    {0x0807, "ed25519"},
    {0x0808, "ed448"},
    {0x0809, "rsa_pss_rsae_sha256"},
    {0x080A, "rsa_pss_rsae_sha384"},
    {0x080B, "rsa_pss_rsae_sha512"},
    {0x080C, "rsa_pss_pss_sha256"},
    {0x080D, "rsa_pss_pss_sha384"},
    {0x080E, "rsa_pss_pss_sha512"},
    {0x080F, "ecdsa_branchy"},
    {0xEE01, "gostr34102012_256"},
    {0xEE02, "gostr34102012_512"},
    {0xEE03, "sm2sig_sm3"},
};

/* ---- supported_versions entries ------------------------------------------------
 * 0x7F00 + n are the draft versions, numbered as this library has always
 * reported them. */
constexpr id_name supported_versions[] = {
    {0x0200, "SSL 2.0"},
    {0x0300, "SSL 3.0"},
    {0x0301, "TLS 1.0"},
    {0x0302, "TLS 1.1"},
    {0x0303, "TLS 1.2"},
    {0x0304, "TLS 1.3"},
    {0xFEFC, "DTLS 1.3"},
    {0xFEFD, "DTLS 1.2"},
    {0xFEFF, "DTLS 1.0"},
};
constexpr uint16_t draft_first = 0x7F00;
constexpr uint16_t draft_last = 0x7F1C;   /* draft-28, the last one published */
const char *const draft_names[] = {
    "TLS 1.4 (draft-00)", "TLS 1.4 (draft-01)", "TLS 1.4 (draft-02)", "TLS 1.4 (draft-03)",
    "TLS 1.4 (draft-04)", "TLS 1.4 (draft-05)", "TLS 1.4 (draft-06)", "TLS 1.4 (draft-07)",
    "TLS 1.4 (draft-08)", "TLS 1.4 (draft-09)", "TLS 1.4 (draft-10)", "TLS 1.4 (draft-11)",
    "TLS 1.4 (draft-12)", "TLS 1.4 (draft-13)", "TLS 1.4 (draft-14)", "TLS 1.4 (draft-15)",
    "TLS 1.4 (draft-16)", "TLS 1.4 (draft-17)", "TLS 1.4 (draft-18)", "TLS 1.4 (draft-19)",
    "TLS 1.4 (draft-20)", "TLS 1.4 (draft-21)", "TLS 1.4 (draft-22)", "TLS 1.4 (draft-23)",
    "TLS 1.4 (draft-24)", "TLS 1.4 (draft-25)", "TLS 1.4 (draft-26)", "TLS 1.4 (draft-27)",
    "TLS 1.4 (draft-28)",
};
static_assert(std::size(draft_names) == draft_last - draft_first + 1);

/* ---- IKEv2 transform ids ---------------------------------------------------------
 * Source: the IANA IKEv2 transform registries (types 1-4), short names. */
constexpr id_name ike_encryption[] = {
    {1, "DES_IV64"}, {2, "DES"}, {3, "3DES"}, {4, "RC5"}, {5, "IDEA"}, {6, "CAST"},
    {7, "BLOWFISH"}, {8, "3IDEA"}, {9, "DES_IV32"}, {11, "NULL"}, {12, "AES_CBC"},
    {13, "AES_CTR"}, {14, "AES_CCM_8"}, {15, "AES_CCM_12"}, {16, "AES_CCM_16"},
    {18, "AES_GCM_8"}, {19, "AES_GCM_12"}, {20, "AES_GCM_16"}, {23, "CAMELLIA_CBC"},
    {28, "CHACHA20_POLY1305"},
};
constexpr id_name ike_prf[] = {
    {1, "HMAC_MD5"}, {2, "HMAC_SHA1"}, {3, "HMAC_TIGER"}, {4, "AES128_XCBC"},
    {5, "HMAC_SHA2_256"}, {6, "HMAC_SHA2_384"}, {7, "HMAC_SHA2_512"}, {8, "AES128_CMAC"},
};
constexpr id_name ike_integrity[] = {
    {0, "NONE"}, {1, "HMAC_MD5_96"}, {2, "HMAC_SHA1_96"}, {3, "DES_MAC"}, {4, "KPDK_MD5"},
    {5, "AES_XCBC_96"}, {6, "HMAC_MD5_128"}, {7, "HMAC_SHA1_160"}, {8, "AES_CMAC_96"},
    {9, "AES_128_GMAC"}, {10, "AES_192_GMAC"}, {11, "AES_256_GMAC"},
    {12, "HMAC_SHA2_256_128"}, {13, "HMAC_SHA2_384_192"}, {14, "HMAC_SHA2_512_256"},
};
constexpr id_name ike_dh_groups[] = {
    {0, "NONE"}, {1, "MODP_768"}, {2, "MODP_1024"}, {5, "MODP_1536"}, {14, "MODP_2048"},
    {15, "MODP_3072"}, {16, "MODP_4096"}, {17, "MODP_6144"}, {18, "MODP_8192"},
    {19, "ECP_256"}, {20, "ECP_384"}, {21, "ECP_521"}, {22, "MODP_1024_160"},
    {23, "MODP_2048_224"}, {24, "MODP_2048_256"}, {25, "ECP_192"}, {26, "ECP_224"},
    {28, "BRAINPOOL_P256"}, {29, "BRAINPOOL_P384"}, {30, "BRAINPOOL_P512"},
    {31, "CURVE25519"}, {32, "CURVE448"},
};

/* ---- IP protocol numbers (IANA "Assigned Internet Protocol Numbers") ------------- */
constexpr id_name ip_protocols[] = {
    {1, "ICMP"}, {2, "IGMP"}, {4, "IPIP"}, {6, "TCP"}, {8, "EGP"}, {17, "UDP"},
    {47, "GRE"}, {50, "ESP"}, {51, "AH"}, {58, "ICMPV6"}, {89, "OSPF"}, {103, "PIM"},
    {112, "VRRP"}, {113, "PGM"}, {132, "SCTP"},
};

/* ---- RTP payload types ------------------------------------------------------------
 * Static types: the IANA "RTP Payload Types" registry (RFC 3551). */
constexpr id_name rtp_static_types[] = {
    {0, "ITU-T G.711 PCMU"},
    {1, "USA Federal Standard FS-1016"},
    {2, "ITU-T G.721"},
    {3, "GSM 06.10"},
    {4, "ITU-T G.723"},
    {5, "DVI4 8000 samples/s"},
    {6, "DVI4 16000 samples/s"},
    {8, "ITU-T G.711 PCMA"},
    {9, "ITU-T G.722"},
    {10, "16-bit uncompressed audio, stereo"},
    {11, "16-bit uncompressed audio, monaural"},
    {12, "Qualcomm Code Excited Linear Predictive coding"},
    {13, "Comfort noise"},
    {14, "MPEG-I/II Audio"},
    {15, "ITU-T G.728"},
    {16, "DVI4 11025 samples/s"},
    {17, "DVI4 22050 samples/s"},
    {18, "ITU-T G.729"},
    {19, "Comfort noise (old)"},
    {25, "Sun CellB video encoding"},
    {26, "JPEG-compressed video"},
    {28, "'nv' program"},
    {31, "ITU-T H.261"},
    {32, "MPEG-I/II Video"},
    {33, "MPEG-II transport streams"},
    {34, "ITU-T H.263"},
    {98, "AMR-WB"},
    {118, "AMR"},
};

/* Dynamic types 126 and 127 carry EVS (3GPP TS 26.445 annex A); the payload
 * size tells the mode because every EVS and AMR-WB IO bit rate has its own
 * frame size (bits per 20 ms frame / 8, rounded up).
 * 126: compact format, the payload is exactly one frame. 13.2 kbit/s is the
 *      one rate shared by the primary and the channel-aware modes, so its size
 *      names EVS only.
 * 127: header-full format, one ToC byte before the frame; the AMR-WB IO modes
 *      and the super-wideband primary rates have distinct sizes there. */
constexpr id_name evs_compact_sizes[] = {
    {6, "EVS Primary SID 2.4"},
    {17, "EVS AMR-WB IO 6.6"},
    {18, "EVS Primary 7.2"},
    {20, "EVS Primary 8.0"},
    {23, "EVS AMR-WB IO 8.85"},
    {24, "EVS Primary 9.6"},
    {32, "EVS AMR-WB IO 12.65"},
    {33, "EVS 13.2"},
    {36, "EVS AMR-WB IO 14.25"},
    {40, "EVS AMR-WB IO 15.85"},
    {41, "EVS Primary 16.4"},
    {46, "EVS AMR-WB IO 18.25"},
    {50, "EVS AMR-WB IO 19.85"},
    {58, "EVS AMR-WB IO 23.05"},
    {60, "EVS AMR-WB IO 23.85"},
    {61, "EVS Primary 24.4"},
    {80, "EVS Primary 32.0"},
    {120, "EVS Primary 48.0"},
    {160, "EVS Primary 64.0"},
    {240, "EVS Primary 96.0"},
    {320, "EVS Primary 128.0"},
};
constexpr id_name evs_header_full_sizes[] = {
    {6, "AMR-WB IO 2.0 kbps SID"},
    {18, "AMR-WB IO 6.6 kbps"},
    {24, "AMR-WB IO 8.85 kbps"},
    {25, "SWB 9.6 kbps"},
    {33, "AMR-WB IO 12.65 kbps"},
    {34, "SWB 13.2 kbps"},
    {37, "AMR-WB IO 14.25 kbps"},
    {41, "AMR-WB IO 15.85 kbps"},
    {42, "SWB 16.4 kbps"},
    {47, "AMR-WB IO 18.25 kbps"},
    {51, "AMR-WB IO 19.85 kbps"},
    {59, "AMR-WB IO 23.05 kbps"},
    {61, "AMR-WB IO 23.85 kbps"},
    {62, "SWB 24.4 kbps"},
    {81, "SWB 32 kbps"},
    {121, "SWB 48 kbps"},
    {161, "SWB 64 kbps"},
    {241, "SWB 96 kbps"},
    {321, "SWB 128 kbps"},
};

static_assert(sorted_by_id(cipher_suites) && sorted_by_id(extensions) && sorted_by_id(groups) &&
              sorted_by_id(key_share_groups) && sorted_by_id(signatures) &&
              sorted_by_id(supported_versions) && sorted_by_id(ike_encryption) &&
              sorted_by_id(ike_prf) && sorted_by_id(ike_integrity) && sorted_by_id(ike_dh_groups) &&
              sorted_by_id(ip_protocols) && sorted_by_id(rtp_static_types) &&
              sorted_by_id(evs_compact_sizes) && sorted_by_id(evs_header_full_sizes),
              "name tables are searched by bisection");

constexpr uint16_t cipher_safety_insecure[] = {0x0004, 0x0005, 0xC011};
constexpr uint16_t cipher_safety_weak[] = {0x0007, 0x000A, 0x0016, 0x002F, 0x0035, 0x003C, 0x003D,
                                           0x0041, 0x0084, 0x0096, 0x009C, 0x009D, 0xC012};

template <size_t N>
bool contains(const uint16_t (&list)[N], uint16_t v)
{
    return std::find(std::begin(list), std::end(list), v) != std::end(list);
}

const char *table_or_fallback(const char *name, uint16_t v, char *buffer, size_t size)
{
    return name ? name : hex_fallback(v, buffer, size);
}

/* The three ranges the group tables share. */
const char *group_special_range(uint16_t group)
{
    if (is_grease(group))
        return "(GREASE)";
    if ((group >= 43 && group <= 63) || (group >= 261 && group <= 511))
        return "(Reserved)";
    if (group >= 0xFE00 && group <= 0xFEFF)
        return "(Experimental/Private Use)";
    return nullptr;
}

} // namespace

extern "C" {

char *oxlo_ip_protocol_name(uint16_t protocol, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    const char *name = find_name(ip_protocols, protocol);
    if (name)
        std::snprintf(buffer, size, "%s", name);
    else
        std::snprintf(buffer, size, "%d", protocol);
    return buffer;
}

const char *oxlo_tunnel_name(int tunnel)
{
    static const char *const names[] = {"No-Tunnel", "GTP", "CAPWAP", "TZSP", "L2TP", "VXLAN", "GRE"};
    return (tunnel >= 0 && tunnel < static_cast<int>(std::size(names))) ? names[tunnel] : "";
}

const char *oxlo_http_verb_name(oxlo_http_verb verb)
{
    static const char *const names[] = {
        nullptr, "OPTIONS", "GET", "HEAD", "PATCH", "POST", "PUT", "DELETE", "TRACE", "CONNECT",
        "RPC_CONNECT", "RPC_IN_DATA", "RPC_OUT_DATA", "MKCOL", "MOVE", "COPY", "LOCK", "UNLOCK",
        "PROPFIND", "PROPPATCH"};
    int v = static_cast<int>(verb);
    if (v <= 0 || v >= static_cast<int>(std::size(names)))
        return "Unknown HTTP method";
    return names[v];
}

oxlo_http_verb oxlo_http_verb_parse(const char *text, size_t length)
{
    if (!text || length < 3)
        return OXLO_HTTP_METHOD_UNKNOWN;
    switch (text[0]) {
    case 'C': return length == 4 ? OXLO_HTTP_METHOD_COPY : OXLO_HTTP_METHOD_CONNECT;
    case 'D': return OXLO_HTTP_METHOD_DELETE;
    case 'G': return OXLO_HTTP_METHOD_GET;
    case 'H': return OXLO_HTTP_METHOD_HEAD;
    case 'L': return OXLO_HTTP_METHOD_LOCK;
    case 'M': return text[1] == 'O' ? OXLO_HTTP_METHOD_MOVE : OXLO_HTTP_METHOD_MKCOL;
    case 'O': return OXLO_HTTP_METHOD_OPTIONS;
    case 'T': return OXLO_HTTP_METHOD_TRACE;
    case 'U': return OXLO_HTTP_METHOD_UNLOCK;
    case 'P':
        switch (text[1]) {
        case 'A': return OXLO_HTTP_METHOD_PATCH;
        case 'O': return OXLO_HTTP_METHOD_POST;
        case 'U': return OXLO_HTTP_METHOD_PUT;
        case 'R':
            if (length >= 5 && std::memcmp(text, "PROPF", 5) == 0)
                return OXLO_HTTP_METHOD_PROPFIND;
            if (length >= 5 && std::memcmp(text, "PROPP", 5) == 0)
                return OXLO_HTTP_METHOD_PROPPATCH;
            return OXLO_HTTP_METHOD_UNKNOWN;
        default: return OXLO_HTTP_METHOD_UNKNOWN;
        }
    case 'R':
        if (length <= 10)
            return OXLO_HTTP_METHOD_UNKNOWN;
        if (std::memcmp(text, "RPC_CONNECT", 11) == 0)
            return OXLO_HTTP_METHOD_RPC_CONNECT;
        if (std::memcmp(text, "RPC_IN_DATA", 11) == 0)
            return OXLO_HTTP_METHOD_RPC_IN_DATA;
        if (length >= 12 && std::memcmp(text, "RPC_OUT_DATA", 12) == 0)
            return OXLO_HTTP_METHOD_RPC_OUT_DATA;
        return OXLO_HTTP_METHOD_UNKNOWN;
    default: return OXLO_HTTP_METHOD_UNKNOWN;
    }
}

const char *oxlo_os_name(int os_hint)
{
    static const char *const names[] = {nullptr, "Windows", "macOS", "iOS/iPad", "Android", "Linux", "FreeBSD"};
    return (os_hint > 0 && os_hint < static_cast<int>(std::size(names))) ? names[os_hint] : "Unknown";
}

const char *oxlo_lru_cache_kind_name(int kind)
{
    static const char *const names[] = {"ookla", "bittorrent", "stun", "tls_cert",
                                        "mining", "msteams", "fpc_dns", "signal"};
    return (kind >= 0 && kind < static_cast<int>(std::size(names))) ? names[kind] : "unknown";
}

char *oxlo_stream_content_text(uint8_t bits, char *buffer, size_t size)
{
    if (!buffer || size < 2)
        return nullptr;
    if ((bits & 0x07) == 0) {
        int n = std::snprintf(buffer, size, "Unknown");
        return (n >= 0 && static_cast<size_t>(n) < size) ? buffer : nullptr;
    }
    static const char *const formats[] = {"%sAudio", "%sVideo", "%sScreen Sharing"};
    size_t used = 0;
    buffer[0] = '\0';
    for (int bit = 0; bit < 3; bit++) {
        if (!(bits & (1u << bit)))
            continue;
        int n = std::snprintf(buffer + used, size - used, formats[bit], used ? ", " : "");
        if (n < 0 || static_cast<size_t>(n) >= size - used)
            return nullptr;
        used += static_cast<size_t>(n);
    }
    return buffer;
}

const char *oxlo_tls_version_name(uint16_t version, char *buffer, size_t size, uint8_t *unknown)
{
    if (unknown)
        *unknown = 0;
    if (!buffer || size < 2)
        return nullptr;
    const char *name = nullptr;
    switch (version) {
    case 0x0300: name = "SSLv3"; break;
    case 0x0301: name = "TLSv1"; break;
    case 0x0302: name = "TLSv1.1"; break;
    case 0x0303: name = "TLSv1.2"; break;
    case 0x0304: name = "TLSv1.3"; break;
    case 0xFB1A: name = "TLSv1.3 (Fizz)"; break;
    case 0xFEFF: name = "DTLSv1.0"; break;
    case 0xFEFD: name = "DTLSv1.2"; break;
    case 0xFEFC: name = "DTLSv1.3"; break;
    default:
        if (version >= 0x7F00 && version <= 0x7FFF)
            name = "TLSv1.3 (draft)";
        else if (is_grease(version))
            name = "GREASE";
    }
    if (name) {
        std::snprintf(buffer, size, "%s", name);
    } else {
        std::snprintf(buffer, size, "TLS (%04X)", version);
        if (unknown)
            *unknown = 1;
    }
    return buffer;
}

const char *oxlo_tls_cipher_name(uint16_t cipher, char *buffer, size_t size)
{
    static const char *const grease[] = {
        "TLS_CIPHER_GREASE_RESERVED_0", "TLS_CIPHER_GREASE_RESERVED_1", "TLS_CIPHER_GREASE_RESERVED_2",
        "TLS_CIPHER_GREASE_RESERVED_3", "TLS_CIPHER_GREASE_RESERVED_4", "TLS_CIPHER_GREASE_RESERVED_5",
        "TLS_CIPHER_GREASE_RESERVED_6", "TLS_CIPHER_GREASE_RESERVED_7", "TLS_CIPHER_GREASE_RESERVED_8",
        "TLS_CIPHER_GREASE_RESERVED_9", "TLS_CIPHER_GREASE_RESERVED_A", "TLS_CIPHER_GREASE_RESERVED_B",
        "TLS_CIPHER_GREASE_RESERVED_C", "TLS_CIPHER_GREASE_RESERVED_D", "TLS_CIPHER_GREASE_RESERVED_E",
        "TLS_CIPHER_GREASE_RESERVED_F"};
    if (is_grease(cipher))
        return grease[cipher >> 12];
    return table_or_fallback(find_name(cipher_suites, cipher), cipher, buffer, size);
}

int oxlo_tls_cipher_safety(uint16_t cipher)
{
    if (contains(cipher_safety_insecure, cipher))
        return OXLO_CIPHER_INSECURE;
    if (contains(cipher_safety_weak, cipher))
        return OXLO_CIPHER_WEAK;
    return OXLO_CIPHER_SAFE;
}

const char *oxlo_tls_extension_name(uint16_t extension, char *buffer, size_t size)
{
    if (is_grease(extension))
        return "(GREASE)";
    return table_or_fallback(find_name(extensions, extension), extension, buffer, size);
}

const char *oxlo_tls_group_name(uint16_t group, char *buffer, size_t size)
{
    if (is_grease(group))
        return "(GREASE)";
    if (group >= 43 && group <= 63)
        return "(Reserved)";
    if (group <= 0x2A || group == 0xFF01 || group == 0xFF02)
        return table_or_fallback(find_name(groups, group), group, buffer, size);
    return hex_fallback(group, buffer, size);
}

const char *oxlo_tls_group_table_name(uint16_t group, char *buffer, size_t size)
{
    const char *special = group_special_range(group);
    if (special)
        return special;
    return table_or_fallback(find_name(groups, group), group, buffer, size);
}

const char *oxlo_tls_key_share_group_name(uint16_t group, char *buffer, size_t size)
{
    const char *special = group_special_range(group);
    if (special)
        return special;
    return table_or_fallback(find_name(key_share_groups, group), group, buffer, size);
}

const char *oxlo_tls_signature_name(uint16_t scheme, char *buffer, size_t size)
{
    if (is_grease(scheme))
        return "(GREASE)";
    if (scheme >= 0xFE00 && scheme <= 0xFEFF)
        return "(Experimental/Private Use)";
    return table_or_fallback(find_name(signatures, scheme), scheme, buffer, size);
}

const char *oxlo_tls_supported_version_name(uint16_t version, char *buffer, size_t size)
{
    if (is_grease(version))
        return "(GREASE)";
    if (version >= draft_first && version <= draft_last)
        return draft_names[version - draft_first];
    return table_or_fallback(find_name(supported_versions, version), version, buffer, size);
}

tls_block_kind oxlo_tls_block_kind_of(uint8_t content_type, uint8_t handshake_type)
{
    switch (content_type) {
    case 20: return TLS_BLOCK_CHANGE_CIPHER;
    case 21: return TLS_BLOCK_ALERT;
    case 23: return TLS_BLOCK_APPLICATION_DATA;
    case 24: return TLS_BLOCK_HEARTBEAT;
    case 22: break;
    default: return TLS_BLOCK_UNKNOWN;
    }
    switch (handshake_type) {
    case 0: return TLS_BLOCK_HS_ENCRYPTED;
    case 1: return TLS_BLOCK_HS_CLIENT_HELLO;
    case 2: return TLS_BLOCK_HS_SERVER_HELLO;
    case 4: return TLS_BLOCK_HS_NEW_SESSION_TICKET;
    case 8: return TLS_BLOCK_HS_ENCRYPTED_EXTENSIONS;
    case 11: return TLS_BLOCK_HS_CERTIFICATE;
    case 12: return TLS_BLOCK_HS_SERVER_KEY_EXCHANGE;
    case 13: return TLS_BLOCK_HS_CERTIFICATE_REQUEST;
    case 14: return TLS_BLOCK_HS_SERVER_HELLO_DONE;
    case 15: return TLS_BLOCK_HS_CERTIFICATE_VERIFY;
    case 16: return TLS_BLOCK_HS_CLIENT_KEY_EXCHANGE;
    case 20: return TLS_BLOCK_HS_FINISHED;
    default: return TLS_BLOCK_UNKNOWN;
    }
}

const char *oxlo_tls_block_kind_name(int kind, int short_form)
{
    static const char *const long_names[] = {
        "Unknown", "ChangeCipher", "Alert", "Handshake:EncHandshakeMsg", "Handshake:ClientHello",
        "Handshake:ServerHello", "Handshake:NewSessTicket", "Handshake:EncryptedExtn",
        "Handshake:Certificate", "Handshake:ServerKeyExch", "Handshake:CertRequest",
        "Handshake:ServerHelloDone", "Handshake:CertVerify", "Handshake:ClientKeyExch",
        "Handshake:Finished", "AppData", "Heartbeat"};
    static const char *const short_names[] = {
        "0", "20", "21", "22:0", "22:1", "22:2", "22:4", "22:8", "22:11", "22:12",
        "22:13", "22:14", "22:15", "22:16", "22:20", "23", "24"};
    static_assert(std::size(long_names) == std::size(short_names));
    if (kind < 0 || kind >= static_cast<int>(std::size(long_names)))
        kind = 0;
    return short_form ? short_names[kind] : long_names[kind];
}

const char *oxlo_ike_encryption_name(uint16_t id)
{
    const char *name = find_name(ike_encryption, id);
    return name ? name : "Unknown";
}

const char *oxlo_ike_prf_name(uint16_t id)
{
    const char *name = find_name(ike_prf, id);
    return name ? name : "Unknown";
}

const char *oxlo_ike_integrity_name(uint16_t id)
{
    const char *name = find_name(ike_integrity, id);
    return name ? name : "Unknown";
}

const char *oxlo_ike_dh_group_name(uint16_t id)
{
    const char *name = find_name(ike_dh_groups, id);
    return name ? name : "Unknown";
}

const char *oxlo_rtp_payload_type_name(uint8_t payload_type, uint16_t payload_size)
{
    if (payload_type & 0x80)
        return "Unknown";
    const char *name = nullptr;
    if (payload_type == 126)
        name = find_name(evs_compact_sizes, payload_size);
    else if (payload_type == 127)
        name = find_name(evs_header_full_sizes, payload_size);
    else
        name = find_name(rtp_static_types, payload_type);
    return name ? name : "Unknown";
}

} // extern "C"
