// Dissectors that declare a shortest first datagram are not called on a
// flow's shorter first datagram: the engine sets their exclusion itself. A
// declaration that is too long would drop real matches silently, so every
// declared dissector is run alone on short first datagrams (every length
// below its declaration, bytes of several kinds, the ports its routine
// tests) once called and once skipped: it must exclude itself when called,
// and the flow must come out the same both ways.
#include "dissector_kit.h"
#include "oxlo_protocol_ids.h"

#include <cstdio>

extern "C" {
#define OXLO_DISSECTOR(file)
#define OXLO_DISSECTOR_SHORTEST(file) extern const uint16_t oxlo_dissector_shortest_##file;
#define OXLO_DISSECTOR_TODO(file)
#include "protocols/oxlo_dissector_list.def"
#undef OXLO_DISSECTOR
#undef OXLO_DISSECTOR_SHORTEST
#undef OXLO_DISSECTOR_TODO
}

namespace {

struct declared {
    const char *file;
    uint16_t shortest;
};

const declared declarations[] = {
#define OXLO_DISSECTOR(file)
#define OXLO_DISSECTOR_SHORTEST(file) {#file, oxlo_dissector_shortest_##file},
#define OXLO_DISSECTOR_TODO(file)
#include "protocols/oxlo_dissector_list.def"
#undef OXLO_DISSECTOR
#undef OXLO_DISSECTOR_SHORTEST
#undef OXLO_DISSECTOR_TODO
};

// The flow's bytes with its out-of-line blocks' addresses left out and
// their contents in.
std::string flat(const oxlo_flow_state *f)
{
    oxlo_flow_state c;
    std::memcpy(&c, f, sizeof(c));
    c.texts = nullptr;
    c.track_payload = nullptr;
    c.dstates = nullptr;
    c.tcp = nullptr;  // datagram flows never make one: its presence is compared below
    std::string out(reinterpret_cast<const char *>(&c), sizeof(c));
    out += std::string("|host:") + oxlo_flow_host(f) + "|dstates:" + (f->dstates ? "1" : "0") +
           "|tcp:" + (f->tcp ? "1" : "0");
    if (f->track_payload)
        out.append(reinterpret_cast<const char *>(f->track_payload), f->track_payload_length);
    char messages[2048];
    const char *text = oxlo_flow_risk_messages_text(f, messages, sizeof(messages), 0);
    out += text ? text : "";
    return out;
}

// Payload bytes of the given kind: 0 zeros, 1 0xFF, 2 ASCII text, 3 and up
// pseudo-random (seeded by the kind and the length).
std::string payload(int kind, size_t length)
{
    std::string p(length, '\0');
    uint32_t seed = uint32_t(kind * 7919 + length * 104729 + 1);
    for (size_t i = 0; i < length; i++) {
        seed = seed * 1103515245u + 12345u;
        p[i] = kind == 0 ? '\0' : kind == 1 ? char(0xFF) : kind == 2 ? "<tivoconnect=M-SEARCH * \r\n"[i % 26]
                                                                     : char(seed >> 16);
    }
    return p;
}

struct short_datagram : kit::engine {
    // Only the one dissector, registered as the engine registers it.
    bool alone(const char *file)
    {
        oxlo_module_free(m);
        m = oxlo_module_new(nullptr);
        if (!m || oxlo_finalize_initialization(m) != 0 || oxlo_dissectors_init(m) != 0)
            return false;
        forget_builtin_dissectors();
        return oxlo_dissector_register_builtin(m, file) == 0 && m->det.dissector_count == 1 &&
               oxlo_dissectors_finish(m) == 0;
    }
};

// One test per declared dissector, so that each sweep is short and a slow
// machine runs them side by side.
struct short_datagram_declared : short_datagram, ::testing::WithParamInterface<declared> {};

TEST(short_datagram_list, some_dissectors_declare_a_shortest_datagram)
{
    EXPECT_GT(sizeof(declarations) / sizeof(declarations[0]), 0u);
}

TEST_P(short_datagram_declared, excludes_itself_only_below_its_shortest)
{
    const declared &d = GetParam();
    // Ports the declared routines test, and one none of them does.
    const uint16_t ports[] = {9999, 53, 67, 68, 161, 319, 320, 500, 514, 902, 1119, 1719, 1900, 2049,
                              2055, 2222, 3222, 3544, 3702, 3784, 3785, 4500, 4569, 5353, 5355, 6000, 6343, 8116,
                              8805, 9600, 11211, 17500, 51820};
    ASSERT_TRUE(alone(d.file));
    ASSERT_GT(d.shortest, 1u);
    EXPECT_EQ(m->det.kits[0].shortest_first, d.shortest);
    for (size_t length = 1; length < d.shortest; length++) {
        for (int kind = 0; kind < 6; kind++) {
            for (uint16_t port : ports) {
                for (bool from_client : {true, false}) {
                    const std::string p = payload(kind, length);
                    m->det.call_every_dissector = 1;
                    kit::conversation called(m, port, OXLO_L4_UDP, uint16_t(port == 9999 ? 40000 : port));
                    from_client ? called.client(p) : called.server(p);
                    m->det.call_every_dissector = 0;
                    kit::conversation skipped(m, port, OXLO_L4_UDP, uint16_t(port == 9999 ? 40000 : port));
                    from_client ? skipped.client(p) : skipped.server(p);
                    const std::string where = "length " + std::to_string(length) + " kind " +
                                              std::to_string(kind) + " port " + std::to_string(port);
                    ASSERT_TRUE(oxlo_flow_dissector_excluded(called.f, 0)) << where;
                    ASSERT_EQ(called.app(), 0) << where;
                    ASSERT_EQ(flat(called.f), flat(skipped.f)) << where;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(each, short_datagram_declared, ::testing::ValuesIn(declarations),
                         [](const ::testing::TestParamInfo<declared> &i) { return std::string(i.param.file); });

// At and above the declared length the routine is called again: a datagram
// of the protocol that is just long enough still gets its name.
TEST_F(short_datagram, a_datagram_of_the_declared_length_is_still_read)
{
    ASSERT_TRUE(alone("syslog"));
    const std::string line = "<34>Oct 11 22:14:15 x"; // 21 bytes, syslog's shortest
    ASSERT_EQ(line.size(), m->det.kits[0].shortest_first);
    kit::conversation c(m, 514, OXLO_L4_UDP, 40000);
    c.client(line);
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_SYSLOG);
    kit::conversation shorter(m, 514, OXLO_L4_UDP, 40001);
    shorter.client(line.substr(0, line.size() - 1));
    EXPECT_EQ(shorter.app(), 0);
    EXPECT_TRUE(oxlo_flow_dissector_excluded(shorter.f, 0));
}

void takes_any(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SYSLOG, OXLO_PROTOCOL_UNKNOWN);
}

// A routine that takes over a declared dissector's protocol is called on
// every datagram: the declaration was the replaced routine's.
TEST_F(short_datagram, a_replacing_routine_drops_the_declaration)
{
    ASSERT_EQ(oxlo_dissectors_init(m), 0);
    forget_builtin_dissectors();
    ASSERT_EQ(oxlo_dissector_register_builtin(m, "syslog"), 0);
    ASSERT_GT(m->det.kits[0].shortest_first, 5u);
    ASSERT_EQ(oxlo_dissector_add("Any", m, takes_any, m->det.dissectors[0].selection, 1, int(OXLO_PROTOCOL_SYSLOG)),
              0);
    ASSERT_EQ(oxlo_dissectors_finish(m), 0);
    EXPECT_EQ(m->det.kits[0].shortest_first, 0u);
    kit::conversation c(m, 9999, OXLO_L4_UDP, 40000);
    c.client("short");
    EXPECT_EQ(c.app(), OXLO_PROTOCOL_SYSLOG);
}

} // namespace
