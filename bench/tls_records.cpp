// TLS record walk: one 64 KB TCP segment of 13,000 empty records, and a
// ClientHello cut into 1-byte records, classified on fresh flows.
//
//   bench/tls_records [ROUNDS]   (default 2000)
// Prints microseconds per packet for each shape.
#include "oxlo_api.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> tcp_packet(const std::string &payload)
{
    std::vector<uint8_t> p(40 + payload.size(), 0);
    const size_t total = p.size();
    p[0] = 0x45;
    p[2] = uint8_t(total >> 8);
    p[3] = uint8_t(total);
    p[8] = 64;
    p[9] = 6;
    const uint8_t src[4] = {10, 0, 0, 2}, dst[4] = {10, 0, 0, 1};
    memcpy(&p[12], src, 4);
    memcpy(&p[16], dst, 4);
    p[20] = 0x9c, p[21] = 0x40; // 40000
    p[22] = 0x01, p[23] = 0xbb; // 443
    p[24] = 0, p[25] = 0, p[26] = 0x03, p[27] = 0xe8;
    p[32] = 0x50;
    p[33] = 0x18;
    p[34] = 0xff, p[35] = 0xff;
    memcpy(&p[40], payload.data(), payload.size());
    return p;
}

std::string record(uint8_t type, const std::string &body)
{
    std::string r = {char(type), 3, 3, char(body.size() >> 8), char(body.size() & 0xFF)};
    return r + body;
}

std::string client_hello()
{
    std::string name = "www.vesk.test";
    std::string sni = std::string("\x00\x00", 2) + char(0) + char(name.size() + 5) + char(0) + char(name.size() + 3) +
                      char(0) + char(0) + char(name.size()) + name;
    std::string body = std::string("\x03\x03", 2) + std::string(32, 'r') + char(0) + std::string("\x00\x02\x13\x01", 4) +
                       std::string("\x01\x00", 2) + char(0) + char(sni.size()) + sni;
    return std::string(1, 1) + char(0) + char(body.size() >> 8) + char(body.size() & 0xFF) + body;
}

double per_packet_us(oxlo_module *m, const std::vector<uint8_t> &packet, int rounds)
{
    const size_t size = oxlo_flow_state_size();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        auto *f = static_cast<oxlo_flow_state *>(calloc(1, size));
        oxlo_classify_packet(m, f, packet.data(), uint16_t(packet.size()), 1000000 + uint64_t(i), nullptr);
        oxlo_flow_state_free(f);
    }
    const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - start;
    return d.count() / rounds;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    oxlo_module *m = oxlo_module_new(nullptr);
    if (!m || oxlo_finalize_initialization(m) != 0) {
        fprintf(stderr, "no module\n");
        return 1;
    }
    std::string empty;
    while (empty.size() + 5 <= 65000)
        empty += record(22, "");
    const std::string hello = client_hello();
    std::string bytes;
    for (char c : hello)
        bytes += record(22, std::string(1, c));
    printf("13,000 empty records in one 64 KB segment: %.1f us per packet\n",
           per_packet_us(m, tcp_packet(empty), rounds));
    printf("ClientHello in %zu 1-byte records (%zu bytes):   %.1f us per packet\n", hello.size(), bytes.size(),
           per_packet_us(m, tcp_packet(bytes), rounds));
    oxlo_module_free(m);
    return 0;
}
