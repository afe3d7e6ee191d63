// The post-quantum check on real sessions: captures of ssh with a
// post-quantum and with a classic key exchange, openssl's TLS client (which
// offers no post-quantum group), strongSwan IKE exchanges whose responder
// picks 256-bit and 128-bit ciphers, and a client hello offering
// X25519MLKEM768.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "oxlo/protocols/dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "oxlo_risks.h"

namespace {

// The IP packets of a classic little-endian pcap file of Ethernet frames,
// with their times in milliseconds.
struct Packet {
  std::vector<uint8_t> ip;
  uint64_t ms;
};

std::vector<Packet> readCapture(const std::string &path) {
  std::vector<Packet> out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  uint8_t header[24];
  if (fread(header, 1, 24, f) != 24 || header[0] != 0xD4 || header[1] != 0xC3 || header[20] != 1) {
    ADD_FAILURE() << path << ": not a little-endian Ethernet pcap";
    fclose(f);
    return out;
  }
  auto le32 = [](const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  uint8_t record[16];
  while (fread(record, 1, 16, f) == 16) {
    uint32_t length = le32(record + 8);
    std::vector<uint8_t> frame(length);
    if (length > 262144 || fread(frame.data(), 1, length, f) != length) break;
    if (length <= 14) continue;
    uint16_t type = uint16_t(frame[12] << 8 | frame[13]);
    if (type != 0x0800 && type != 0x86DD) continue;
    out.push_back({std::vector<uint8_t>(frame.begin() + 14, frame.end()),
                   uint64_t(le32(record)) * 1000 + le32(record + 4) / 1000});
  }
  fclose(f);
  return out;
}

bool hasPort(const std::vector<uint8_t> &ip, uint16_t port) {
  if (ip.size() < 20 || (ip[0] >> 4) != 4) return false;
  const size_t at = size_t(ip[0] & 0x0F) * 4;
  if (ip.size() < at + 4) return false;
  return uint16_t(ip[at] << 8 | ip[at + 1]) == port || uint16_t(ip[at + 2] << 8 | ip[at + 3]) == port;
}

struct Pqc : kit::engine {
  std::vector<std::array<const char *, 3>> knobs() override {
    return {{"ssh", "metadata.ssh_data", "enable"}};
  }
  // Runs every packet of a one-flow capture (or, with a port, the IPv4
  // packets to or from that port) through one flow state, then checks it:
  // the result and the flow's risk messages.
  std::pair<int, std::string> check(const char *capture, uint16_t port = 0) {
    std::string path = std::string(VESK_SOURCE_DIR) + "/tests/captures/" + capture;
    oxlo_flow_state *f = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
    memset(f, 0, oxlo_flow_state_size());
    for (Packet &p : readCapture(path)) {
      if (port && !hasPort(p.ip, port)) continue;
      oxlo_classify_packet(m, f, p.ip.data(), uint16_t(p.ip.size()), p.ms, nullptr);
    }
    int rc = oxlo_flow_non_pqc_risk_check(m, f);
    EXPECT_EQ(oxlo_flow_risk_is_set(f, OXLO_NON_PQC) != 0, rc == 1) << capture;
    char buf[1024];
    const char *t = oxlo_flow_risk_messages_text(f, buf, sizeof(buf), 0);
    std::string text = t ? t : "";
    oxlo_flow_state_free(f);
    return {rc, text};
  }
};

TEST_F(Pqc, real_sessions) {
  struct Case {
    const char *capture;
    int flagged;
    const char *message;
    uint16_t port = 0;
  } cases[] = {
      // OpenSSH's default: sntrup761x25519-sha512 negotiated.
      {"ssh/ssh.pcap", 0, nullptr},
      // ssh -o KexAlgorithms=curve25519-sha256: the server's list still
      // begins with the hybrid, so only the client is named.
      {"ssh/ssh_classic.pcap", 1, "Obsolete non-PQC client"},
      // openssl s_client offers x25519 and classic curves only.
      {"tls/tls.pcap", 1, "Obsolete non-PQC client"},
      // charon-cmd offers AES-CBC 256 and 128 with SHA-256; strongSwan's
      // responder picks 256 bits in the first exchange, 128 in the second.
      // In the third both offer AES-GCM-16 256, with no integrity transform.
      {"infra/ike_aes256.pcap", 0, nullptr, 500},
      {"infra/ike_aes128.pcap", 1, "Obsolete non-PQC client", 500},
      {"infra/ike_gcm256.pcap", 0, nullptr, 500},
  };
  for (const Case &c : cases) {
    auto [rc, text] = check(c.capture, c.port);
    EXPECT_EQ(rc, c.flagged) << c.capture;
    if (c.message) {
      EXPECT_NE(text.find(c.message), std::string::npos) << c.capture << ": " << text;
    }
    EXPECT_EQ(text.find("Both"), std::string::npos) << c.capture << ": " << text;
  }
}

// A TLS 1.3 client hello offering the given groups, with a server name.
std::string clientHello(const std::vector<uint16_t> &groups) {
  auto u16 = [](uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; };
  std::string sni = "www.vesk.test";
  std::string server = std::string(1, '\0') + u16(uint16_t(sni.size())) + sni;
  std::string ext = u16(0) + u16(uint16_t(server.size() + 2)) + u16(uint16_t(server.size())) + server;
  std::string list;
  for (uint16_t g : groups) list += u16(g);
  ext += u16(10) + u16(uint16_t(list.size() + 2)) + u16(uint16_t(list.size())) + list;
  ext += u16(43) + u16(3) + std::string(1, 2) + u16(0x0304);  // supported_versions
  std::string body = u16(0x0303) + std::string(32, 'r') + std::string(1, '\0') + u16(4) +
                     u16(0x1301) + u16(0x1302) + std::string(1, 1) + std::string(1, '\0') +
                     u16(uint16_t(ext.size())) + ext;
  std::string hs = std::string(1, 1) + std::string(1, '\0') + u16(uint16_t(body.size())) + body;
  return std::string(1, 22) + u16(0x0301) + u16(uint16_t(hs.size())) + hs;
}

TEST_F(Pqc, tls_groups_decide) {
  struct Case {
    std::vector<uint16_t> groups;
    int flagged;
  } cases[] = {
      {{0x11EC, 0x001D, 0x0017}, 0},  // X25519MLKEM768 first, as browsers send it
      {{0x001D, 0x6399}, 0},          // the Kyber draft hybrid later in the list
      {{0x001D, 0x0017, 0x0018}, 1},  // x25519 and NIST curves only
  };
  for (const Case &c : cases) {
    kit::conversation conv(m, 443);
    conv.handshake();
    conv.client(clientHello(c.groups));
    EXPECT_TRUE(conv.master() == 91 || conv.app() == 91) << conv.master() << "/" << conv.app();
    EXPECT_EQ(oxlo_flow_non_pqc_risk_check(m, conv.f), c.flagged) << c.groups[0];
    EXPECT_EQ(conv.risk(OXLO_NON_PQC), c.flagged == 1);
  }
  EXPECT_EQ(oxlo_flow_non_pqc_risk_check(nullptr, nullptr), 0);
  kit::conversation dns(m, 53, OXLO_L4_UDP);
  EXPECT_EQ(oxlo_flow_non_pqc_risk_check(m, dns.f), 0) << "not a checked protocol";
}

}  // namespace

namespace {

// An IKE_SA_INIT message whose SA payload holds one IKE proposal of the
// given encryption (with a key length, 0 for none) and integrity (0: none).
std::string ikeSaInit(bool response, uint16_t encryption, uint16_t key_bits, uint16_t integrity) {
  auto u16 = [](uint16_t v) { return std::string{char(v >> 8), char(v & 0xFF)}; };
  auto u32 = [&](uint32_t v) { return u16(uint16_t(v >> 16)) + u16(uint16_t(v)); };
  struct T { uint8_t type; uint16_t id; uint16_t key; };
  std::vector<T> ts = {{1, encryption, key_bits}, {2, 5, 0}, {4, 31, 0}};
  if (integrity) ts.push_back({3, integrity, 0});
  std::string transforms;
  for (size_t i = 0; i < ts.size(); i++) {
    std::string body = std::string(1, char(ts[i].type)) + std::string(1, '\0') + u16(ts[i].id);
    if (ts[i].key) body += u16(0x800E) + u16(ts[i].key);
    transforms += std::string(1, i + 1 < ts.size() ? 3 : 0) + std::string(1, '\0') +
                  u16(uint16_t(body.size() + 4)) + body;
  }
  std::string proposal = std::string{0, 0} + u16(uint16_t(transforms.size() + 8)) +
                         std::string{1, 1, 0, char(ts.size())} + transforms;
  std::string sa = std::string{0, 0} + u16(uint16_t(proposal.size() + 4)) + proposal;
  std::string header = std::string(8, 'i') + (response ? std::string(8, 'r') : std::string(8, '\0')) +
                       std::string{33, 0x20, 34, char(response ? 0x20 : 0x08)} + u32(0);
  return header + u32(uint32_t(header.size() + 4 + sa.size())) + sa;
}

// IPsec goes by the responder's choice: AES-GCM-256 without a separate
// integrity transform, or ChaCha20-Poly1305, passes; AES-CBC-128 with
// HMAC-SHA1, or no answer at all, is flagged.
TEST_F(Pqc, ipsec_goes_by_the_responders_proposal) {
  struct {
    const char *what;
    bool answered;
    uint16_t encryption, key_bits, integrity;
    int flagged;
  } cases[] = {
      {"AES-GCM-16 256", true, 20, 256, 0, 0},
      {"ChaCha20-Poly1305", true, 28, 0, 0, 0},
      {"AES-CBC 256 with HMAC-SHA2-256", true, 12, 256, 12, 0},
      {"near miss: AES-CBC 128 with HMAC-SHA1-96", true, 12, 128, 2, 1},
      {"near miss: AES-GCM-16 128", true, 20, 128, 0, 1},
      {"no answer", false, 0, 0, 0, 1},
  };
  uint16_t port = 500;
  for (const auto &c : cases) {
    kit::conversation ike(m, 500, OXLO_L4_UDP, port++);
    ike.client(ikeSaInit(false, 20, 256, 0));
    if (c.answered) ike.server(ikeSaInit(true, c.encryption, c.key_bits, c.integrity));
    ASSERT_EQ(ike.app(), OXLO_PROTOCOL_IPSEC) << c.what;
    EXPECT_EQ(oxlo_flow_non_pqc_risk_check(m, ike.f), c.flagged) << c.what;
    EXPECT_EQ(ike.risk(OXLO_NON_PQC), c.flagged == 1) << c.what;
  }
}

}  // namespace
