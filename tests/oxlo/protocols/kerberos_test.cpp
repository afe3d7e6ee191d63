// Kerberos and LDAP: messages as MIT kinit/kvno and the KDC, and the LDAP
// tools and slapd, write them (DER built here field by field), the TCP
// record put back together, and near misses that must not match or read
// past their payload.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_flow_json.h"
#include "oxlo_serializer.h"

namespace {

// DER: a tag, its length (short or long form) and the content.
std::string tlv(uint8_t tag, const std::string &content)
{
    const size_t n = content.size();
    std::string out(1, char(tag));
    if (n < 0x80)
        out += char(n);
    else if (n < 0x100)
        out += std::string{char(0x81), char(n)};
    else
        out += std::string{char(0x82), char(n >> 8), char(n & 0xFF)};
    return out + content;
}
std::string integer(uint8_t v) { return tlv(0x02, std::string(1, char(v))); }
std::string gstring(const std::string &s) { return tlv(0x1B, s); }
std::string principal(std::initializer_list<std::string> parts, uint8_t type = 1)
{
    std::string names;
    for (const std::string &p : parts)
        names += gstring(p);
    return tlv(0x30, tlv(0xA0, integer(type)) + tlv(0xA1, tlv(0x30, names)));
}

// KDC-REQ (AS-REQ 10, TGS-REQ 12): pvno, msg-type, padata, req-body with
// KDC options, the client name (AS-REQ), realm, server name, till, nonce
// and encryption types, as MIT clients send them.
std::string kdc_req(uint8_t type, std::initializer_list<std::string> client, const std::string &realm,
                    const std::string &padata = "")
{
    std::string body = tlv(0xA0, tlv(0x03, std::string("\x00\x00\x00\x00\x10", 5)));
    if (client.size())
        body += tlv(0xA1, principal(client));
    body += tlv(0xA2, gstring(realm)) + tlv(0xA3, principal({"krbtgt", realm}, 2)) +
            tlv(0xA5, tlv(0x18, "20261211092541Z")) + tlv(0xA7, integer(0x6c)) +
            tlv(0xA8, tlv(0x30, integer(18) + integer(17)));
    std::string seq = tlv(0xA1, integer(5)) + tlv(0xA2, integer(type));
    if (!padata.empty())
        seq += tlv(0xA3, tlv(0x30, tlv(0x30, tlv(0xA1, integer(2)) + tlv(0xA2, tlv(0x04, padata)))));
    seq += tlv(0xA4, tlv(0x30, body));
    return tlv(uint8_t(0x60 | type), tlv(0x30, seq));
}

// TGS-REP: pvno, msg-type, crealm, cname, a ticket and an encrypted part.
std::string tgs_rep(const std::string &realm, const std::string &client)
{
    const std::string ticket = tlv(0x61, tlv(0x30, tlv(0xA0, integer(5)) + tlv(0xA1, gstring(realm)) +
                                                       tlv(0xA2, principal({"host", "x.test.local"}, 3))));
    const std::string enc = tlv(0x30, tlv(0xA0, integer(18)) + tlv(0xA2, tlv(0x04, std::string(120, 'e'))));
    return tlv(0x6D, tlv(0x30, tlv(0xA0, integer(5)) + tlv(0xA1, integer(13)) + tlv(0xA3, gstring(realm)) +
                                   tlv(0xA4, principal({client})) + tlv(0xA5, ticket) + tlv(0xA6, enc)));
}

// KRB-ERROR 30 (e.g. pre-authentication required).
std::string krb_error()
{
    return tlv(0x7E, tlv(0x30, tlv(0xA0, integer(5)) + tlv(0xA1, integer(30)) +
                                   tlv(0xA4, tlv(0x18, "20261210092541Z")) + tlv(0xA5, integer(0)) +
                                   tlv(0xA6, integer(25)) + tlv(0xA9, gstring("TEST.LOCAL")) +
                                   tlv(0xAA, principal({"krbtgt", "TEST.LOCAL"}, 2))));
}

std::string record(const std::string &msg)
{
    const uint32_t n = uint32_t(msg.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + msg;
}

// The flow's metadata as the flow-to-JSON writer prints it for export.
std::string flow_json(const kit::conversation &c)
{
    oxlo_recbuf s;
    if (oxlo_recbuf_init(&s, OXLO_SER_FORMAT_JSON) != 0)
        return "(no buffer)";
    std::string out = oxlo_flow_info_serialize(c.m, c.f, &s, c.last) == 0 ? "" : "(error)";
    uint32_t n = 0;
    const char *text = oxlo_recbuf_output(&s, &n);
    out += std::string(text ? text : "", n);
    oxlo_recbuf_release(&s);
    return out;
}

struct Kerberos : kit::engine {};

// kinit over UDP: a first AS-REQ refused with a KRB-ERROR, then one with
// pre-authentication data; both name the user and the realm (lower case).
TEST_F(Kerberos, as_req_over_udp_names_user_and_realm)
{
    for (const std::string &padata : {std::string(), std::string(60, 'p')}) {
        kit::conversation c(m, 88, OXLO_L4_UDP);
        c.client(kdc_req(10, {"alice"}, "TEST.LOCAL", padata));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_KERBEROS);
        EXPECT_TRUE(c.by_inspection());
        c.server(krb_error());
        const std::string block = flow_json(c);
        EXPECT_NE(block.find("\"proto\":\"Kerberos\""), std::string::npos) << block;
        EXPECT_NE(block.find("\"kerberos\":"), std::string::npos) << block;
        EXPECT_NE(block.find("\"hostname\":\"\""), std::string::npos) << block;
        EXPECT_NE(block.find("\"domain\":\"test.local\""), std::string::npos) << block;
        EXPECT_NE(block.find("\"username\":\"alice\""), std::string::npos) << block;
    }
}

// A machine account (WS01$, alone or as host/ws01$) is a host name; a TGS-REQ
// gives the realm and its reply the client's name.
TEST_F(Kerberos, machine_accounts_and_ticket_granting)
{
    const struct {
        std::initializer_list<std::string> client;
        const char *host, *user;
    } cases[] = {{{"WS01$"}, "ws01", ""}, {{"host", "ws01$"}, "ws01", ""}, {{"ldap", "Bob"}, "", "bob"},
                 {{"HTTP", "web"}, "", "http"},
                 {{std::string(47, 'a') + "$"}, "", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}};
    for (const auto &k : cases) {
        kit::conversation c(m, 88, OXLO_L4_UDP);
        c.client(kdc_req(10, k.client, "TEST.LOCAL"));
        const std::string block = flow_json(c);
        EXPECT_NE(block.find(std::string("\"hostname\":\"") + k.host + "\""), std::string::npos) << block;
        EXPECT_NE(block.find(std::string("\"username\":\"") + k.user + "\""), std::string::npos) << block;
    }
    for (uint8_t l4 : {OXLO_L4_UDP, OXLO_L4_TCP}) {
        kit::conversation c(m, 88, l4);
        const bool tcp = l4 == OXLO_L4_TCP;
        if (tcp)
            c.handshake();
        const std::string req = kdc_req(12, {}, "TEST.LOCAL", std::string(700, 't'));
        const std::string rep = tgs_rep("TEST.LOCAL", "alice");
        c.client(tcp ? record(req) : req);
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_KERBEROS);
        c.server(tcp ? record(rep) : rep);
        const std::string block = flow_json(c);
        EXPECT_NE(block.find("\"domain\":\"test.local\""), std::string::npos) << block;
        EXPECT_NE(block.find("\"username\":\"alice\""), std::string::npos) << block;
    }
}

// A record of 3,000 bytes in three segments is read once, when complete;
// a repeated segment does not add to it.
TEST_F(Kerberos, tcp_record_over_segments)
{
    kit::conversation c(m, 88);
    c.handshake();
    const std::string r = record(kdc_req(10, {"alice"}, "TEST.LOCAL", std::string(2800, 'p')));
    ASSERT_GT(r.size(), 2900u);
    c.client(r.substr(0, 1000));
    c.client(r.substr(1000, 1000));
    EXPECT_EQ(c.app(), 0);
    c.client(r.substr(2000));
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_KERBEROS);
    EXPECT_NE(flow_json(c).find("\"username\":\"alice\""), std::string::npos);
}

// The AS-REQ of tests/captures/kerberos/kerberos_tcp.pcap cut after its
// record length, inside it and in the middle; a record length that never
// completes leaves the flow unnamed.
TEST_F(Kerberos, recorded_request_cut_by_segments)
{
    const std::string as_req = kit::capture_first("kerberos/kerberos_tcp.pcap", 88, true);
    ASSERT_GT(as_req.size(), 100u);
    std::string longer = as_req;
    longer[2] = char(longer[2] + 1); /* 256 bytes more than sent */
    const struct {
        const char *what;
        kit::segments segments;
        bool kerberos;
    } cases[] = {
        {"length alone", kit::cut(true, as_req, {4}), true},
        {"inside the length, then in the middle", kit::cut(true, as_req, {2, 90}), true},
        {"a length that never completes", kit::cut(true, longer, {4}), false},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 88);
        c.handshake();
        c.send(k.segments);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_KERBEROS, k.kerberos) << k.what;
    }
}

// Near misses: another port, a record length above the limit, a record not
// matching its payload, a message with only the version, and messages whose
// lengths run past their end (every cut of a real request: nothing may be
// read past the payload, which the sanitizer build checks).
TEST_F(Kerberos, near_misses_and_cut_messages)
{
    const std::string as_req = kdc_req(10, {"alice"}, "TEST.LOCAL", std::string(40, 'p'));
    {
        kit::conversation c(m, 89, OXLO_L4_UDP);
        c.client(as_req);
        EXPECT_NE(c.app(), OXLO_PROTOCOL_KERBEROS);
    }
    {
        kit::conversation c(m, 88);
        c.handshake();
        c.client(std::string("\x00\x00\x2e\xe0", 4) + std::string(200, 'x')); /* 12,000 */
        c.client(record(as_req));
        EXPECT_NE(c.app(), OXLO_PROTOCOL_KERBEROS) << "excluded by the first record length";
    }
    {
        kit::conversation c(m, 88);
        c.handshake();
        c.client(record(as_req) + "extra");
        EXPECT_NE(c.app(), OXLO_PROTOCOL_KERBEROS);
    }
    {
        kit::conversation c(m, 88, OXLO_L4_UDP);
        std::string only_version = as_req;
        only_version[only_version.find(std::string("\xA2\x03\x02\x01\x0A", 5)) + 4] = 5;
        c.client(only_version);
        EXPECT_NE(c.app(), OXLO_PROTOCOL_KERBEROS);
    }
    for (size_t cut = 65; cut < as_req.size(); cut += 3) {
        kit::conversation c(m, 88, OXLO_L4_UDP);
        c.client(as_req.substr(0, cut));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_KERBEROS) << cut;
    }
    // A padata length pointing far past the payload: classified by its type,
    // no names taken.
    std::string long_padata = as_req;
    const size_t at = long_padata.find('\xA3');
    long_padata.replace(at + 1, 1, std::string("\x82\x7f\xff", 3));
    kit::conversation c(m, 88, OXLO_L4_UDP);
    c.client(long_padata);
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_KERBEROS);
    EXPECT_NE(flow_json(c).find("\"username\":\"\""), std::string::npos);
}

struct Ldap : kit::engine {};

TEST_F(Ldap, message_envelopes)
{
    const struct {
        const char *what;
        std::string payload;
        bool ldap;
    } cases[] = {
        {"bindRequest", kit::raw("\x30\x0c\x02\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14), true},
        {"searchRequest, long length", kit::raw("\x30\x81\x05\x02\x01\x02\x63\x00", 8) + std::string(3, '\0'), true},
        {"extendedRequest (tag 23)", kit::raw("\x30\x1d\x02\x01\x02\x77\x18", 7) + std::string(24, '\0'), true},
        {"zero length", kit::raw("\x30\x00\x02\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14), false},
        {"indefinite length", kit::raw("\x30\x80\x02\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14), false},
        {"no message id", kit::raw("\x30\x0c\x04\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14), false},
        {"message id past the payload", kit::raw("\x30\x05\x02\x7f\x01\x60\x00", 7), false},
        {"primitive operation", kit::raw("\x30\x05\x02\x01\x03\x42\x00", 7), false},
        {"tag 26", kit::raw("\x30\x05\x02\x01\x03\x7a\x00", 7), false},
        {"SNMP get", kit::raw("\x30\x26\x02\x01\x01\x04\x06public\xa0\x19", 15) + std::string(25, '\0'), false},
    };
    for (const auto &k : cases)
        for (uint8_t l4 : {OXLO_L4_TCP, OXLO_L4_UDP}) {
            kit::conversation c(m, 10389, l4);
            if (l4 == OXLO_L4_TCP)
                c.handshake();
            c.client(k.payload);
            EXPECT_EQ(c.app() == OXLO_PROTOCOL_LDAP, k.ldap) << k.what << " over " << int(l4);
            if (k.ldap) {
                EXPECT_TRUE(c.by_inspection()) << k.what;
            }
        }
}

// The simple bind of tests/captures/ldap/ldap.pcap as a TCP stream may carry
// it: cut after its tag, after its length and inside its message id; a
// SEQUENCE that never reaches its operation stays unnamed.
TEST_F(Ldap, envelope_cut_by_segments)
{
    const std::string bind = kit::capture_first("ldap/ldap.pcap", 389, true);
    ASSERT_GT(bind.size(), 7u);
    const struct {
        const char *what;
        kit::segments segments;
        bool ldap;
    } cases[] = {
        {"after the tag", kit::cut(true, bind, {1}), true},
        {"after the length", kit::cut(true, bind, {2}), true},
        {"inside the message id, then before the operation", kit::cut(true, bind, {3, 4}), true},
        {"a message id that never ends", kit::cut(true, kit::raw("\x30\x0c\x02\x04\x01", 5), {2}), false},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 389);
        c.handshake();
        c.send(k.segments);
        EXPECT_EQ(c.app() == OXLO_PROTOCOL_LDAP, k.ldap) << k.what;
        EXPECT_EQ(c.by_inspection(), k.ldap) << k.what;
    }
}

} // namespace
