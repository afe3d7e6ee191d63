/* NetBIOS over TCP/IP: the name service on UDP 137 (DNS-like packets whose
 * names are "first-level encoded": each byte as two letters 'A'..'P'), the
 * datagram service on UDP 138 (a header with the sender's address and a
 * length, often carrying SMB) and the session service on TCP 139, which
 * starts with a session request naming both ends. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_private.h"
#include "oxlo_risks.h"
#include "protocols/framing.h"

namespace {

/* Name service: a DNS-like header, then the question's encoded name (its
 * length byte, 0x20, and 32 letters), its type and its class. */
constexpr size_t NS_ID = 0, NS_FLAGS = 2, NS_QDCOUNT = 4, NS_ANCOUNT = 6, NS_NSCOUNT = 8, NS_ARCOUNT = 10,
                 NS_NAME = 12, NS_TYPE = 46, NS_CLASS = 48, NS_QUESTION_END = 50;
constexpr uint8_t NS_NAME_LENGTH = 0x20;
/* Datagram service: message type, flags, datagram id, source address and
 * port, then the length of what follows the 14-byte header. */
constexpr size_t DGM_TYPE = 0, DGM_SOURCE_IP = 4, DGM_LENGTH = 10, DGM_HEADER = 14, DGM_SOURCE_NAME = 14;

enum : uint8_t { QUERY = 0, REGISTRATION = 5, RELEASE = 6, WACK = 7, REFRESH = 8, REFRESH_ALT = 9 };

/* The name-service packet forms: opcode, response bit and the question,
 * answer, authority and additional counts they carry. */
struct ns_form {
    uint8_t opcode, response;
    uint16_t qd, an, ns, ar;
};
const ns_form ns_forms[] = {
    {QUERY, 0, 1, 0, 0, 0},        {REGISTRATION, 0, 1, 0, 0, 1}, {RELEASE, 0, 1, 0, 0, 1},
    {REFRESH, 0, 1, 0, 0, 1},      {REFRESH_ALT, 0, 1, 0, 0, 1},  {QUERY, 1, 0, 1, 0, 0},
    {REGISTRATION, 1, 0, 1, 0, 0}, {RELEASE, 1, 0, 1, 0, 0},      {WACK, 1, 0, 1, 0, 0},
    {REFRESH, 1, 0, 1, 0, 0},      {REFRESH_ALT, 1, 0, 1, 0, 0},
};

/* Transaction ids taken whatever the flags and counts say: senders that
 * use these fixed ids fill the rest of the header in forms of their own. */
bool special_transaction(uint16_t id) { return id == 0x0029 || id == 0x1029 || id == 0x86AD; }

bool name_service_packet(const oxlo_reader &p)
{
    uint16_t id = 0, flags = 0, qd = 0, an = 0, ns = 0, ar = 0, type = 0, klass = 0;
    uint8_t name_length = 0;
    if (p.length < NS_QUESTION_END || !oxlo_rd_u16_at(&p, NS_ID, &id) || !oxlo_rd_u16_at(&p, NS_FLAGS, &flags) ||
        !oxlo_rd_u16_at(&p, NS_QDCOUNT, &qd) || !oxlo_rd_u16_at(&p, NS_ANCOUNT, &an) ||
        !oxlo_rd_u16_at(&p, NS_NSCOUNT, &ns) || !oxlo_rd_u16_at(&p, NS_ARCOUNT, &ar) ||
        !oxlo_rd_u8_at(&p, NS_NAME, &name_length) || name_length != NS_NAME_LENGTH ||
        !oxlo_rd_u16_at(&p, NS_TYPE, &type) || !oxlo_rd_u16_at(&p, NS_CLASS, &klass))
        return false;
    const uint8_t opcode = (flags >> 11) & 0x0F, response = flags >> 15;
    bool known = special_transaction(id);
    for (const ns_form &form : ns_forms)
        known = known || (form.opcode == opcode && form.response == response && form.qd == qd && form.an == an &&
                          form.ns == ns && form.ar == ar);
    return known && ((type == 0x0020 && klass == 0x0001) || type == 0x0021);
}

bool datagram_packet(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt, bool *smb)
{
    const oxlo_reader &p = pkt.payload;
    uint8_t type = 0;
    uint16_t length = 0;
    uint32_t source = 0;
    if (pkt.ipv6 || p.length < DGM_HEADER || !oxlo_rd_u8_at(&p, DGM_TYPE, &type) || type < 0x10 || type > 0x16 ||
        !oxlo_rd_u16_at(&p, DGM_LENGTH, &length) || size_t(length) + DGM_HEADER != p.length ||
        !oxlo_rd_u32_at(&p, DGM_SOURCE_IP, &source))
        return false;
    (void)m;
    uint8_t client[16], server[16];
    uint16_t client_port = 0, server_port = 0;
    if (oxlo_flow_endpoints(f, client, &client_port, server, &server_port) != 0)
        return false;
    const uint8_t *from = pkt.from_client ? client : server;
    const uint32_t sender = (uint32_t(from[0]) << 24) | (uint32_t(from[1]) << 16) | (uint32_t(from[2]) << 8) | from[3];
    *smb = length > 82;
    return sender == source;
}

/* A session request: its 4-byte header (type 0x81, length 68) and the two
 * encoded names, read whole from the stream. */
constexpr size_t SESSION_REQUEST = 72, SESSION_CALLED_NAME = 4;
const uint8_t session_head[4] = {0x81, 0x00, 0x00, 0x44};

bool session_request(const oxlo_reader &p)
{
    uint32_t head = 0;
    return p.length == SESSION_REQUEST && oxlo_rd_u32_at(&p, 0, &head) && head == 0x81000044;
}

bool wait_for_session_request(oxlo_module *m, oxlo_flow_state *f, const oxlo_packet_view &pkt)
{
    const oxlo_reader &p = pkt.payload;
    const size_t n = p.length < 4 ? p.length : 4;
    return p.length < SESSION_REQUEST && oxlo_rd_match_n(&p, 0, reinterpret_cast<const char *>(session_head), n, 0) &&
           oxlo_framing::wait_for(m, f, pkt, SESSION_REQUEST);
}

/* Decodes the encoded name at off (length byte first) into name: 15
 * characters at most, as the sixteenth byte is the service suffix (00
 * workstation, 20 server, 1B/1D browser roles) and no part of the name. */
size_t decode_name(const oxlo_reader &p, size_t off, char name[16])
{
    size_t n = 0;
    const uint8_t *e = oxlo_rd_bytes_at(&p, off + 1, 32);
    for (size_t i = 0; e && i < 15; i++) {
        const uint8_t hi = e[2 * i], lo = e[2 * i + 1];
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P')
            break;
        name[n++] = char(((hi - 'A') << 4) | (lo - 'A'));
    }
    while (n > 0 && name[n - 1] == ' ')
        n--;
    name[n] = '\0';
    return n;
}

void store_name(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &p, size_t off)
{
    char name[16];
    const size_t n = decode_name(p, off, name);
    if (!n)
        return;
    const char *stored =
        oxlo_flow_store_host_name(f, name, n, OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
    if (stored && *stored)
        oxlo_host_name_dga_test(m, f, stored, 1, 1, 0);
}

void search_netbios(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if (pkt.l4 == OXLO_L4_UDP && pkt.dst_port == 137 && name_service_packet(p)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETBIOS, OXLO_PROTOCOL_UNKNOWN);
        store_name(m, f, p, NS_NAME);
        return;
    }
    bool smb = false;
    if (pkt.l4 == OXLO_L4_UDP && pkt.dst_port == 138 && datagram_packet(m, f, pkt, &smb)) {
        oxlo_dissector_classify(m, f, smb ? OXLO_PROTOCOL_SMBV1 : OXLO_PROTOCOL_NETBIOS,
                                smb ? OXLO_PROTOCOL_NETBIOS : OXLO_PROTOCOL_UNKNOWN);
        store_name(m, f, p, DGM_SOURCE_NAME);
        return;
    }
    if (pkt.l4 == OXLO_L4_TCP && pkt.dst_port == 139 && wait_for_session_request(m, f, pkt))
        return;
    if (pkt.l4 == OXLO_L4_TCP && pkt.dst_port == 139 && session_request(p)) {
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_NETBIOS, OXLO_PROTOCOL_UNKNOWN);
        store_name(m, f, p, SESSION_CALLED_NAME);
        return;
    }
    OXLO_EXCLUDE(m, f);
}

/* SMBv1 is SMB's own protocol: the datagram service only names it. */
const uint16_t protocols[] = {OXLO_PROTOCOL_NETBIOS};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_netbios = {
    "NETBIOS", search_netbios, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
