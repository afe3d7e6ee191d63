// Database, cache, RPC and serialisation dissectors on byte layouts of
// their first messages, each with a near miss that must not match. The
// ones with real peers (PostgreSQL, MariaDB, redis, memcached, yaz,
// gearmand) are also replayed from tests/captures/databases.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

namespace {

struct Databases : kit::engine {};

std::string be16(unsigned v) { return std::string{char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string le64(uint64_t v) { return le32(uint32_t(v)) + le32(uint32_t(v >> 32)); }

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets; // from_client, payload
    uint16_t expected;                                 // 0: must not be named
    uint16_t protocol;                                 // the protocol the near miss must not get
};

std::vector<exchange> cases()
{
    const std::string auth = "R" + be32(8) + be32(0);
    const std::string scram = "R" + be32(23) + be32(10) + "SCRAM-SHA-256" + std::string(2, '\0');
    const std::string startup = be32(41) + be32(0x00030000) + std::string("user\0postgres\0database\0x\0\0", 27) +
                                std::string(6, '\0');
    const std::string mongo_msg = le32(40) + le32(1) + le32(0) + le32(2013) + le32(0) + std::string(20, '\x05');
    const std::string kafka_body = be16(18) + be16(3) + be32(1) + be16(9) + "producer1" + std::string(4, '\0');
    const std::string tns = be16(58) + be16(0) + std::string("\x01\x00\x00\x00", 4) + std::string(50, 'c');
    std::string tds = std::string("\x12\x01", 2) + be16(47) + std::string("\x00\x00\x01\x00", 4) + std::string(39, '\0');
    std::string rx(28, '\0');
    rx[3] = 1; rx[7] = 9; rx[20] = 1; rx[21] = 1;
    std::vector<exchange> all = {
        {"PostgreSQL startup answered by SCRAM", 5433, OXLO_L4_TCP, {{true, startup}, {false, scram}}, OXLO_PROTOCOL_POSTGRESQL, 0},
        {"PostgreSQL startup answered by trust", 5433, OXLO_L4_TCP, {{true, startup}, {false, auth}}, OXLO_PROTOCOL_POSTGRESQL, 0},
        {"PostgreSQL: an auth code past the known ones", 5433, OXLO_L4_TCP,
         {{true, startup}, {false, "R" + be32(8) + be32(13)}}, 0, OXLO_PROTOCOL_POSTGRESQL},
        {"MongoDB OP_MSG", 27018, OXLO_L4_TCP, {{true, mongo_msg}}, OXLO_PROTOCOL_MONGODB, 0},
        {"MongoDB: unknown op code", 27018, OXLO_L4_TCP, {{true, le32(40) + le32(1) + le32(0) + le32(9999) + std::string(24, 'x')}},
         0, OXLO_PROTOCOL_MONGODB},
        {"Kafka ApiVersions", 9093, OXLO_L4_TCP, {{true, be32(uint32_t(kafka_body.size())) + kafka_body}}, OXLO_PROTOCOL_KAFKA, 0},
        {"Kafka: API key out of range", 9093, OXLO_L4_TCP,
         {{true, be32(uint32_t(kafka_body.size())) + be16(99) + kafka_body.substr(2)}}, 0, OXLO_PROTOCOL_KAFKA},
        /* a null client id is the length -1 without text; -2 is no length */
        {"Kafka ApiVersions with a null client id", 9093, OXLO_L4_TCP,
         {{true, be32(10) + be16(18) + be16(0) + be32(1) + be16(0xFFFF)}}, OXLO_PROTOCOL_KAFKA, 0},
        {"Kafka: client id length -2", 9093, OXLO_L4_TCP,
         {{true, be32(10) + be16(18) + be16(0) + be32(1) + be16(0xFFFE)}}, 0, OXLO_PROTOCOL_KAFKA},
        {"Oracle TNS CONNECT", 1521, OXLO_L4_TCP, {{true, tns}}, OXLO_PROTOCOL_ORACLE, 0},
        {"Oracle: the same on another port", 1522, OXLO_L4_TCP, {{true, tns}}, 0, OXLO_PROTOCOL_ORACLE},
        {"TDS prelogin", 1433, OXLO_L4_TCP, {{true, tds}}, OXLO_PROTOCOL_MSSQL_TDS, 0},
        {"Raft AppendEntries", 8300, OXLO_L4_TCP, {{true, le64(2) + le64(8) + std::string(8, 'e')}}, OXLO_PROTOCOL_RAFT, 0},
        {"Raft: type 9", 8300, OXLO_L4_TCP, {{true, le64(9) + le64(8) + std::string(8, 'e')}}, 0, OXLO_PROTOCOL_RAFT},
        {"SBE little-endian over UDP", 9000, OXLO_L4_UDP,
         {{true, be32(30) + std::string("\xEB\x50\x08\x00", 4) + std::string(22, 'm')}}, OXLO_PROTOCOL_SIMPLEBINARYENCODING, 0},
        {"JRMI", 1099, OXLO_L4_TCP, {{true, std::string("JRMI\x00\x02\x4b", 7)}}, OXLO_PROTOCOL_JRMI, 0},
        {"RX call and its answer", 7001, OXLO_L4_UDP, {{true, rx}, {false, rx}}, OXLO_PROTOCOL_RX, 0},
        {"ZUG", 9999, OXLO_L4_UDP, {{true, std::string("\x00\x7A\x55\x47\x10\x01", 6)}}, OXLO_PROTOCOL_ZUG, 0},
        {"IRIS to 1972", 1972, OXLO_L4_TCP, {{true, le32(4) + std::string(8, '\0') + "CN" + "abcd"}}, OXLO_PROTOCOL_IRIS, 0},
        {"IRIS: unknown code", 1972, OXLO_L4_TCP, {{true, le32(4) + std::string(8, '\0') + "QQ" + "abcd"}}, 0, OXLO_PROTOCOL_IRIS},
        {"Protobuf message over TCP", 50051, OXLO_L4_TCP,
         {{true, std::string("\x0a\x05hello\x10\x01\x18\x02\x20\x03\x28\x04\x30\x05\x38\x06\x40\x07", 21)}}, OXLO_PROTOCOL_PROTOBUF, 0},
        {"Protobuf: wire type 7", 50051, OXLO_L4_TCP, {{true, std::string("\x0f\x01\x02\x03\x04\x05", 6)}}, 0, OXLO_PROTOCOL_PROTOBUF},
    };
    // First messages as a TCP stream may carry them: cut after the length
    // field and at a middle byte, several at once, and a length that never
    // completes. The PostgreSQL startup and its SCRAM request and the
    // MariaDB greeting are those of tests/captures/databases.
    const kit::segments pg = kit::capture_payloads("databases/postgres.pcap", 5432);
    const std::string greeting = kit::capture_first("databases/mariadb.pcap", 3306, false);
    const std::string kafka = be32(uint32_t(kafka_body.size())) + kafka_body;
    auto then = [](kit::segments a, const kit::segments &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<exchange> framed = {
        {"PostgreSQL (recorded): startup and SCRAM request cut after their lengths", 5432, OXLO_L4_TCP,
         then(kit::cut(true, pg.at(0).second, {4, 30}), kit::cut(false, pg.at(1).second, {5})), OXLO_PROTOCOL_POSTGRESQL, 0},
        {"PostgreSQL: a startup length that never completes", 5432, OXLO_L4_TCP,
         then(kit::cut(true, be32(200) + pg.at(0).second.substr(4), {4}), {{false, pg.at(1).second}}), 0,
         OXLO_PROTOCOL_POSTGRESQL},
        {"MariaDB (recorded): greeting cut after its header and in the middle", 3306, OXLO_L4_TCP,
         kit::cut(false, greeting, {4, 50}), OXLO_PROTOCOL_MYSQL, 0},
        {"MongoDB: OP_MSG length alone", 27018, OXLO_L4_TCP, kit::cut(true, mongo_msg, {4}), OXLO_PROTOCOL_MONGODB, 0},
        {"Kafka: length alone", 9093, OXLO_L4_TCP, kit::cut(true, kafka, {4}), OXLO_PROTOCOL_KAFKA, 0},
        {"Kafka: two requests at once, the second cut", 9093, OXLO_L4_TCP, kit::cut(true, kafka + kafka, {kafka.size() + 6}),
         OXLO_PROTOCOL_KAFKA, 0},
        {"Kafka: a length that never completes", 9093, OXLO_L4_TCP, kit::cut(true, be32(400) + kafka_body, {4}), 0,
         OXLO_PROTOCOL_KAFKA},
        {"TDS prelogin: header alone, then the rest cut", 1433, OXLO_L4_TCP, kit::cut(true, tds, {8, 20}),
         OXLO_PROTOCOL_MSSQL_TDS, 0},
        {"TDS: a length that never completes", 1433, OXLO_L4_TCP,
         kit::cut(true, tds.substr(0, 2) + be16(300) + tds.substr(4), {8}), 0, OXLO_PROTOCOL_MSSQL_TDS},
    };
    all.insert(all.end(), framed.begin(), framed.end());
    return all;
}

TEST_F(Databases, first_messages_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4);
        if (e.l4 == OXLO_L4_TCP)
            c.handshake();
        for (const auto &p : e.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (e.expected) {
            EXPECT_EQ(c.app(), e.expected) << e.what;
            EXPECT_TRUE(c.by_inspection()) << e.what;
        } else {
            EXPECT_NE(c.app(), e.protocol) << e.what;
        }
    }
}

} // namespace
