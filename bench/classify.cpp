// Classification throughput: loads captures into memory and classifies all
// of their packets many times over, each round with fresh flow states.
//
//   bench/classify [ROUNDS] [FILE.pcap...]   (default: 2000 rounds over the
//                                             captures of tests/captures)
// Prints nanoseconds per packet and packets per second; for QUIC Initials
// the mean, median and minimum per Initial and the median of each one.
#include "oxlo_api.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

struct packet {
    std::vector<uint8_t> ip;
    uint64_t ms;
    size_t flow;
};

// Both directions of a connection share a key; packets without ports (later
// fragments, other protocols) share one per address pair.
std::string flow_key(const uint8_t *ip, uint16_t len)
{
    const uint8_t *l4 = nullptr;
    uint16_t l4_len = 0;
    uint8_t proto = 0;
    std::string a, b;
    const bool v4 = (ip[0] >> 4) == 4;
    if (v4 && len >= 20) {
        a.assign(reinterpret_cast<const char *>(ip + 12), 4);
        b.assign(reinterpret_cast<const char *>(ip + 16), 4);
    } else if (!v4 && len >= 40) {
        a.assign(reinterpret_cast<const char *>(ip + 8), 16);
        b.assign(reinterpret_cast<const char *>(ip + 24), 16);
    }
    if (oxlo_l4_decode(ip, len, &l4, &l4_len, &proto, 0) == 0 && (proto == 6 || proto == 17) && l4_len >= 4) {
        a.append(reinterpret_cast<const char *>(l4), 2);
        b.append(reinterpret_cast<const char *>(l4 + 2), 2);
    }
    if (b < a)
        std::swap(a, b);
    return std::string(1, char(proto)) + a + "|" + b;
}

bool load(const char *path, std::vector<packet> &out, std::map<std::string, size_t> &flows)
{
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *pc = pcap_open_offline(path, err);
    if (!pc) {
        fprintf(stderr, "classify: %s: %s\n", path, err);
        return false;
    }
    const int dlt = pcap_datalink(pc);
    const uint32_t link = dlt == DLT_EN10MB ? 14 : dlt == DLT_LINUX_SLL ? 16 : dlt == DLT_RAW ? 0 : 4;
    struct pcap_pkthdr *h;
    const u_char *data;
    while (pcap_next_ex(pc, &h, &data) == 1) {
        if (h->caplen <= link + 20)
            continue;
        const uint32_t len = std::min<uint32_t>(h->caplen - link, 65535);
        packet p;
        p.ip.assign(data + link, data + link + len);
        p.ms = uint64_t(h->ts.tv_sec) * 1000 + uint64_t(h->ts.tv_usec) / 1000;
        const std::string key = std::string(path) + flow_key(p.ip.data(), uint16_t(len));
        p.flow = flows.emplace(key, flows.size()).first->second;
        out.push_back(std::move(p));
    }
    pcap_close(pc);
    return true;
}

// A client datagram that starts with an IETF long-header Initial (version 1
// or a draft, whose payload is decrypted) of at least 1200 bytes.
bool ietf_initial(const packet &p)
{
    const uint8_t *l4 = nullptr;
    uint16_t l4_len = 0;
    uint8_t proto = 0;
    if (oxlo_l4_decode(p.ip.data(), uint16_t(p.ip.size()), &l4, &l4_len, &proto, 0) != 0 || proto != 17 ||
        l4_len < 8 + 1200)
        return false;
    const uint8_t *q = l4 + 8;
    const uint32_t version = uint32_t(q[1]) << 24 | uint32_t(q[2]) << 16 | uint32_t(q[3]) << 8 | q[4];
    return (q[0] & 0xf0) == 0xc0 && (version == 1 || (version >> 8) == 0xff0000);
}

// Mean, median and minimum of per-packet times: the median and the minimum
// say more than the mean on a machine shared with other work.
void print_times(const char *what, std::vector<double> &ns, size_t initials, double quic_share)
{
    double sum = 0;
    for (double v : ns)
        sum += v;
    std::sort(ns.begin(), ns.end());
    printf("classify: QUIC: %.0f ns per %s (median %.0f, min %.0f; %zu Initials, %.0f%% classified QUIC)\n",
           sum / double(ns.size()), what, ns[ns.size() / 2], ns.front(), initials, 100.0 * quic_share);
}

oxlo_flow_state *fresh_flow()
{
    const size_t size = oxlo_flow_state_size();
    auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(size));
    std::memset(fl, 0, size);
    return fl;
}

// QUIC Initials, decryption included, two ways:
// - new flow: the first client Initial of each flow, in a fresh flow state:
//   key schedule and cipher set-up, header protection removal, AES-GCM and
//   the ClientHello parse (when the hello fits in it) per packet;
// - known flow: each later Initial of a flow's first flight (a ClientHello
//   over several Initials), timed alone after the flow's earlier packets:
//   the keys and cipher contexts of the flow are reused.
__attribute__((noinline)) void quic_initials(oxlo_module *m, const std::vector<packet> &packets, int rounds)
{
    std::vector<const packet *> firsts;
    std::vector<std::pair<size_t, size_t>> laters; // (the second Initial, the flow's first packet)
    std::map<size_t, size_t> first_of;             // flow -> index of its first packet, an Initial
    std::map<size_t, bool> second_seen;
    for (size_t i = 0; i < packets.size(); i++) {
        const packet &p = packets[i];
        const auto at = first_of.find(p.flow);
        if (at == first_of.end()) {
            if (ietf_initial(p)) {
                first_of.emplace(p.flow, i);
                firsts.push_back(&p);
            } else {
                first_of.emplace(p.flow, SIZE_MAX);
            }
            continue;
        }
        // The client's second Initial: same source address and port as the first.
        const packet &first = at->second == SIZE_MAX ? p : packets[at->second];
        const bool v4 = (p.ip[0] >> 4) == 4;
        const size_t src = v4 ? 12 : 8, src_length = v4 ? 4 : 16, l4 = v4 ? size_t(p.ip[0] & 0x0f) * 4 : 40;
        if (at->second == SIZE_MAX || second_seen[p.flow] || !ietf_initial(p) ||
            std::memcmp(p.ip.data() + src, first.ip.data() + src, src_length) != 0 ||
            std::memcmp(p.ip.data() + l4, first.ip.data() + l4, 2) != 0)
            continue;
        second_seen[p.flow] = true;
        laters.emplace_back(i, at->second);
    }
    if (firsts.empty())
        return;
    std::vector<std::vector<double>> each(firsts.size());
    uint64_t quic = 0;
    for (int r = 0; r < rounds; r++) {
        for (size_t k = 0; k < firsts.size(); k++) {
            const packet *p = firsts[k];
            oxlo_flow_state *fl = fresh_flow();
            const auto t0 = std::chrono::steady_clock::now();
            const oxlo_classification c = oxlo_classify_packet(m, fl, p->ip.data(), uint16_t(p->ip.size()), p->ms, nullptr);
            each[k].push_back(double((std::chrono::steady_clock::now() - t0).count()));
            quic += c.app == 188 || c.master == 188;
            oxlo_flow_state_free(fl);
        }
    }
    std::vector<double> times;
    for (const auto &e : each)
        times.insert(times.end(), e.begin(), e.end());
    print_times("Initial, decryption included", times, firsts.size(), double(quic) / double(times.size()));
    // Each Initial alone: the captures differ in port (443 is guessed as
    // QUIC by port), hello size and whether the hello is whole in it.
    printf("classify: QUIC: median ns of each first Initial:");
    for (auto &e : each) {
        std::sort(e.begin(), e.end());
        printf(" %.0f", e[e.size() / 2]);
    }
    printf("\n");
    if (laters.empty())
        return;
    times.clear();
    quic = 0;
    for (int r = 0; r < rounds; r++) {
        for (const auto &later : laters) {
            oxlo_flow_state *fl = fresh_flow();
            const size_t flow = packets[later.first].flow;
            for (size_t i = later.second; i < later.first; i++)
                if (packets[i].flow == flow)
                    oxlo_classify_packet(m, fl, packets[i].ip.data(), uint16_t(packets[i].ip.size()), packets[i].ms, nullptr);
            const packet &p = packets[later.first];
            const auto t0 = std::chrono::steady_clock::now();
            const oxlo_classification c = oxlo_classify_packet(m, fl, p.ip.data(), uint16_t(p.ip.size()), p.ms, nullptr);
            times.push_back(double((std::chrono::steady_clock::now() - t0).count()));
            quic += c.app == 188 || c.master == 188;
            oxlo_flow_state_free(fl);
        }
    }
    print_times("later Initial of a known flow", times, laters.size(), double(quic) / double(times.size()));
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds <= 0)
        rounds = 2000;
    std::vector<std::string> files;
    for (int i = 2; i < argc; i++)
        files.push_back(argv[i]);
    if (files.empty()) {
        const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / "tests" / "captures";
        for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
            if (e.path().extension() == ".pcap")
                files.push_back(e.path().string());
    }
    std::vector<packet> packets;
    std::map<std::string, size_t> keys;
    for (const std::string &f : files)
        if (!load(f.c_str(), packets, keys))
            return 1;
    if (packets.empty()) {
        fprintf(stderr, "classify: no packets\n");
        return 1;
    }
    oxlo_module *m = oxlo_module_new(nullptr);
    if (!m || oxlo_finalize_initialization(m) != 0) {
        fprintf(stderr, "classify: cannot set up the module\n");
        return 1;
    }
    const size_t nflows = keys.size();
    const size_t size = oxlo_flow_state_size();
    std::vector<oxlo_flow_state *> flows(nflows);
    uint64_t classified = 0;
    std::chrono::nanoseconds spent{0};
    for (int r = 0; r < rounds; r++) {
        for (auto &fl : flows) {
            fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(size));
            std::memset(fl, 0, size);
        }
        const auto t0 = std::chrono::steady_clock::now();
        for (const packet &p : packets) {
            const oxlo_classification c =
                oxlo_classify_packet(m, flows[p.flow], p.ip.data(), uint16_t(p.ip.size()), p.ms, nullptr);
            classified += c.app != 0;
        }
        spent += std::chrono::steady_clock::now() - t0;
        for (auto &fl : flows)
            oxlo_flow_state_free(fl);
    }
    const double total = double(packets.size()) * rounds;
    const double ns = double(spent.count()) / total;
    printf("classify: %zu packets in %zu flows from %zu captures, %d rounds\n", packets.size(), nflows,
           files.size(), rounds);
    printf("classify: %.1f ns per packet, %.0f packets/s (%llu classified results)\n", ns, 1e9 / ns,
           (unsigned long long)classified);
    quic_initials(m, packets, rounds);
    oxlo_module_free(m);
    return 0;
}
