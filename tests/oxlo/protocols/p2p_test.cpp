// BitTorrent, mining and the other peer-to-peer dissectors on their
// messages' layouts, with near misses; the BitTorrent cache names a later
// flow of the same peer.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_tls_dns.h"

#include <cstring>

namespace {

struct P2p : kit::engine {};

std::string handshake(char hash_byte)
{
    return std::string(1, char(19)) + "BitTorrent protocol" + std::string(8, '\0') + std::string(20, hash_byte) +
           std::string("-AR1370-", 8) + std::string(12, 'p');
}

TEST_F(P2p, bittorrent_handshake_split_and_cache)
{
    kit::conversation whole(m, 51413);
    whole.handshake();
    whole.client(handshake('\x11'));
    EXPECT_EQ(whole.app(), OXLO_PROTOCOL_BITTORRENT);
    EXPECT_TRUE(whole.by_inspection());

    kit::conversation split(m, 51414);
    split.handshake();
    split.client(std::string(1, char(19)));
    EXPECT_EQ(split.app(), 0);
    split.client(handshake('\x22').substr(1));
    EXPECT_EQ(split.app(), OXLO_PROTOCOL_BITTORRENT);

    // The same client, one port up, to another peer, with nothing to go by:
    // the cache names it when the dissector would give up.
    kit::conversation later(m, 51413, OXLO_L4_TCP, 40001);
    later.handshake();
    for (int i = 0; i < 7 && !later.app(); i++)
        later.client(std::string(64, char('a' + i)));
    EXPECT_EQ(later.app(), OXLO_PROTOCOL_BITTORRENT);
    EXPECT_EQ(oxlo_flow_confidence(later.f), OXLO_CONFIDENCE_DPI_CACHE);
}

TEST_F(P2p, bittorrent_over_udp)
{
    // Before any BitTorrent flow between these hosts fills the cache.
    kit::conversation dns(m, 53, OXLO_L4_UDP, 40000);
    dns.client("d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe");
    EXPECT_NE(dns.app(), OXLO_PROTOCOL_BITTORRENT) << "ports below 1024 are not examined";

    kit::conversation dht(m, 6881, OXLO_L4_UDP, 40000);
    dht.client("d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe");
    EXPECT_EQ(dht.app(), OXLO_PROTOCOL_BITTORRENT);
}

TEST_F(P2p, mining_sessions)
{
    kit::conversation stratum(m, 3333);
    stratum.handshake();
    stratum.client("{\"id\": 1, \"method\": \"mining.subscribe\", \"params\": [\"cpuminer/2.5\"]}\n");
    EXPECT_EQ(stratum.app(), OXLO_PROTOCOL_MINING);
    EXPECT_STREQ(oxlo_flow_mining_currency(stratum.f), "");

    kit::conversation blank(m, 3333);
    blank.handshake();
    blank.client(" {\"id\": 1, \"method\": \"mining.subscribe\"}\n");
    EXPECT_NE(blank.app(), OXLO_PROTOCOL_MINING);

    kit::conversation monero(m, 18080);
    monero.handshake();
    monero.client(std::string("\x01\x21\x01\x01\x01\x01\x01\x01", 8) + std::string(25, '\0'));
    EXPECT_EQ(monero.app(), OXLO_PROTOCOL_MONERO);
}

// A peer handshake cut inside its signature or name waits for the rest.
TEST_F(P2p, handshakes_cut_in_their_signature)
{
    const std::string levin = std::string("\x01\x21\x01\x01\x01\x01\x01\x01", 8) + std::string(25, '\0');
    const std::string wire = "\x13" "BitTorrent protocol" + std::string(8, '\0') + std::string(40, 'h');
    const struct {
        const char *what;
        uint16_t port;
        kit::segments segments;
        uint16_t expected;
    } rows[] = {
        {"Levin signature cut after 3 bytes", 18080, kit::cut(true, levin, {3}), OXLO_PROTOCOL_MONERO},
        {"Levin signature a byte per segment", 18080, kit::cut(true, levin, {1, 2, 3, 4, 5, 6, 7}), OXLO_PROTOCOL_MONERO},
        {"BitTorrent name length alone", 51413, kit::cut(true, wire, {1}), OXLO_PROTOCOL_BITTORRENT},
        {"BitTorrent name cut in its middle", 51413, kit::cut(true, wire, {1, 10}), OXLO_PROTOCOL_BITTORRENT},
    };
    for (const auto &r : rows) {
        kit::conversation c(m, r.port);
        c.handshake();
        c.send(r.segments);
        EXPECT_EQ(c.app(), r.expected) << r.what;
    }
}

TEST_F(P2p, small_matchers_and_near_misses)
{
    struct one {
        const char *what;
        uint16_t port;
        uint8_t l4;
        std::string payload;
        uint16_t expected, near_miss_of;
    } cases[] = {
        {"Gnutella connect", 6346, OXLO_L4_TCP, "GNUTELLA CONNECT/0.6\r\nUser-Agent: gtk-gnutella/1.2\r\n\r\n", OXLO_PROTOCOL_GNUTELLA, 0},
        {"Gnutella GND", 6346, OXLO_L4_UDP, std::string("\x47\x4E\x44\x10\x01\x02", 6), OXLO_PROTOCOL_GNUTELLA, 0},
        {"Gnutella: lower case", 6346, OXLO_L4_TCP, "gnutella connect/0.6\r\n\r\n", 0, OXLO_PROTOCOL_GNUTELLA},
        {"Delivery Optimization", 7680, OXLO_L4_TCP, std::string(1, char(14)) + "Swarm protocol" + std::string(8, 's'), OXLO_PROTOCOL_MSDO, 0},
        {"Syncthing discovery", 21027, OXLO_L4_UDP, std::string("\x2E\xA7\xD9\x0B\x0a", 5), OXLO_PROTOCOL_SYNCTHING, 0},
        {"Syncthing: wrong magic", 21027, OXLO_L4_UDP, std::string("\x2E\xA7\xD9\x0C\x0a", 5), 0, OXLO_PROTOCOL_SYNCTHING},
        {"Nano keepalive", 7075, OXLO_L4_TCP, std::string("RC\x14\x13\x12\x02", 6) + std::string(40, '\0'), OXLO_PROTOCOL_NANO, 0},
        {"Nano: old protocol", 7075, OXLO_L4_TCP, std::string("RC\x14\x10\x12\x02", 6) + std::string(40, '\0'), 0, OXLO_PROTOCOL_NANO},
    };
    for (const one &c : cases) {
        kit::conversation conv(m, c.port, c.l4);
        if (c.l4 == OXLO_L4_TCP)
            conv.handshake();
        conv.client(c.payload);
        if (c.expected)
            EXPECT_EQ(conv.app(), c.expected) << c.what;
        else
            EXPECT_NE(conv.app(), c.near_miss_of) << c.what;
    }
}

} // namespace
