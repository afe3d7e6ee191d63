#include "dissector_kit.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_digest.h"
#include "oxlo_tls_dns.h"

#include <cstdio>

namespace {

std::string be32(uint32_t v)
{
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string name_list(const std::string &names) { return be32(uint32_t(names.size())) + names; }

struct kex_lists {
    std::string kex = "curve25519-sha256,ext-info-c";
    std::string hostkey = "ssh-ed25519";
    std::string enc_c2s = "aes128-ctr", enc_s2c = "aes128-ctr";
    std::string mac_c2s = "hmac-sha2-256", mac_s2c = "hmac-sha2-256";
    std::string comp = "none";
};

// An SSH binary packet holding a KEXINIT: length, padding length, code 20,
// cookie, the ten name-lists, first-kex-follows and reserved.
std::string kexinit(const kex_lists &l)
{
    std::string body = std::string(1, char(20)) + std::string(16, 'c') + name_list(l.kex) + name_list(l.hostkey) +
                       name_list(l.enc_c2s) + name_list(l.enc_s2c) + name_list(l.mac_c2s) + name_list(l.mac_s2c) +
                       name_list(l.comp) + name_list(l.comp) + name_list("") + name_list("") + std::string(5, '\0');
    const size_t padding = 8 - (body.size() + 5) % 8 + 4;
    body = std::string(1, char(padding)) + body + std::string(padding, '\0');
    return be32(uint32_t(body.size())) + body;
}

std::string md5_hex(const std::string &text)
{
    md5_context c;
    uint8_t d[16];
    oxlo_md5_init(&c);
    oxlo_md5_update(&c, reinterpret_cast<const uint8_t *>(text.data()), uint32_t(text.size()));
    oxlo_md5_final(d, &c);
    char out[33];
    for (int i = 0; i < 16; i++)
        snprintf(out + 2 * i, 3, "%02X", d[i]);
    return out;
}

struct Ssh : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"ssh", "metadata.ssh_data", "enable"}}; }
};

// The banners, the HASSH of both sides (kex;enc;mac;comp of each side's own
// direction) and the negotiation by whole names: the server offering only
// "hmac-sha2-256-etm@openssh.com" does not negotiate "hmac-sha2-256".
TEST_F(Ssh, banners_hassh_and_whole_name_negotiation)
{
    kit::conversation c(m, 2222);
    c.handshake();
    c.server("SSH-2.0-OpenSSH_10.0p2 Debian-5\r\n");
    EXPECT_EQ(c.app(), 0) << "the server's banner alone is a partial guess";
    c.client("SSH-2.0-OpenSSH_9.6p1 Debian-2\r\n");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_SSH);
    EXPECT_TRUE(c.by_inspection());
    kex_lists client, server;
    client.mac_c2s = client.mac_s2c = "hmac-sha2-256,umac-64@openssh.com";
    server.mac_c2s = server.mac_s2c = "hmac-sha2-256-etm@openssh.com,umac-64@openssh.com";
    server.kex = "curve25519-sha256@libssh.org,curve25519-sha256";
    c.client(kexinit(client));
    c.server(kexinit(server));
    EXPECT_STREQ(oxlo_flow_ssh_banner(c.f, 1), "SSH-2.0-OpenSSH_9.6p1 Debian-2");
    EXPECT_STREQ(oxlo_flow_ssh_banner(c.f, 0), "SSH-2.0-OpenSSH_10.0p2 Debian-5");
    EXPECT_EQ(oxlo_flow_ssh_hassh(c.f, 1),
              md5_hex(client.kex + ";" + client.enc_c2s + ";" + client.mac_c2s + ";" + client.comp));
    EXPECT_EQ(oxlo_flow_ssh_hassh(c.f, 0),
              md5_hex(server.kex + ";" + server.enc_s2c + ";" + server.mac_s2c + ";" + server.comp));
    EXPECT_STREQ(oxlo_flow_ssh_negotiated_kex(c.f), "curve25519-sha256");
    EXPECT_TRUE(c.risk(OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER)) << "9.6 is older than 10.0";
    EXPECT_FALSE(c.risk(OXLO_SSH_OBSOLETE_SERVER_VERSION_OR_CIPHER)) << "10.0 without a patch number is current";
}

TEST_F(Ssh, banner_versions_and_weak_ciphers)
{
    struct version_case {
        const char *banner;
        bool obsolete;
    } cases[] = {
        {"SSH-2.0-dropbear_2019.78\r\n", true},       {"SSH-2.0-dropbear_2020.81\r\n", false},
        {"SSH-2.0-paramiko_2.3.1\r\n", true},         {"SSH-2.0-paramiko_3.4.0\r\n", false},
        {"SSH-2.0-OpenSSH_10.0\r\n", false},          {"SSH-2.0-libssh_0.10.6\r\n", false},
    };
    for (const version_case &v : cases) {
        kit::conversation c(m, 22);
        c.handshake();
        c.client(v.banner);
        EXPECT_EQ(c.risk(OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER), v.obsolete) << v.banner;
    }
    kit::conversation weak(m, 22);
    weak.handshake();
    weak.client("SSH-2.0-OpenSSH_10.0\r\n");
    kex_lists l;
    l.enc_c2s = "aes256-gcm@openssh.com,arcfour256,3des-cbc";
    weak.client(kexinit(l));
    EXPECT_TRUE(weak.risk(OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER));
    EXPECT_NE(weak.messages().find("Found cipher arcfour256"), std::string::npos) << weak.messages();
}

// A long banner is kept cut to 47 characters; a KEXINIT larger than one
// segment (with post-quantum key exchanges a client's is) is put back
// together, also when it shares its first segment with the banner.
TEST_F(Ssh, long_banner_and_kexinit_over_segments)
{
    kit::conversation c(m, 22);
    c.handshake();
    c.server("SSH-2.0-OpenSSH_10.0\r\n");
    kex_lists l;
    l.kex = "mlkem768x25519-sha256," + std::string(1500, 'k') + ",curve25519-sha256";
    const std::string banner = "SSH-2.0-" + std::string(60, 'B') + "\r\n";
    const std::string k = kexinit(l);
    c.client(banner + k.substr(0, 700));
    c.client(k.substr(700, 700));
    EXPECT_STREQ(oxlo_flow_ssh_hassh(c.f, 1), "");
    c.client(k.substr(1400));
    EXPECT_EQ(oxlo_flow_ssh_hassh(c.f, 1),
              md5_hex(l.kex + ";" + l.enc_c2s + ";" + l.mac_c2s + ";" + l.comp));
    EXPECT_EQ(std::string(oxlo_flow_ssh_banner(c.f, 1)), banner.substr(0, 47));
}

// The banners and KEXINITs of tests/captures/ssh/ssh.pcap cut as a stream
// may carry them (the banner in pieces, the KEXINIT after its length and in
// the middle): the same banners and HASSH as the recorded segments give.
TEST_F(Ssh, recorded_banner_and_kexinit_cut_by_segments)
{
    const kit::segments recorded = kit::capture_payloads("ssh/ssh.pcap", 22);
    ASSERT_GT(recorded.size(), 4u);
    kit::conversation whole(m, 22);
    whole.handshake();
    whole.send({recorded.begin(), recorded.begin() + 4});
    const std::string hassh_client = oxlo_flow_ssh_hassh(whole.f, 1), hassh_server = oxlo_flow_ssh_hassh(whole.f, 0);
    ASSERT_FALSE(hassh_client.empty());
    ASSERT_FALSE(hassh_server.empty());
    const std::string &banner = recorded[0].second, &kex = recorded[2].second;
    ASSERT_TRUE(recorded[0].first && recorded[2].first);
    const struct {
        const char *what;
        kit::segments client;
    } cases[] = {
        {"banner in three pieces", [&] {
             kit::segments c = kit::cut(true, banner, {2, 12});
             c.push_back({true, kex});
             return c;
         }()},
        {"KEXINIT after its length and in the middle", [&] {
             kit::segments c = kit::cut(true, kex, {4, 700});
             c.insert(c.begin(), {true, banner});
             return c;
         }()},
        {"banner and the KEXINIT's start together", kit::cut(true, banner + kex, {banner.size() + 3})},
    };
    for (const auto &k : cases) {
        kit::conversation c(m, 22);
        c.handshake();
        c.send({recorded[1]});
        c.send(k.client);
        c.send({recorded[3]});
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_SSH) << k.what;
        EXPECT_STREQ(oxlo_flow_ssh_banner(c.f, 1), oxlo_flow_ssh_banner(whole.f, 1)) << k.what;
        EXPECT_EQ(oxlo_flow_ssh_hassh(c.f, 1), hassh_client) << k.what;
        EXPECT_EQ(oxlo_flow_ssh_hassh(c.f, 0), hassh_server) << k.what;
    }
}

// Not SSH: a first payload without "SSH-", and a banner-like near miss.
TEST_F(Ssh, other_payloads_are_not_ssh)
{
    for (const char *p : {"GET / HTTP/1.1\r\n\r\n", "SSH-\r\n", "ssh-2.0-lowercase\r\n"}) {
        kit::conversation c(m, 22);
        c.handshake();
        c.client(p);
        EXPECT_NE(c.app(), OXLO_PROTOCOL_SSH) << p;
    }
}

} // namespace
