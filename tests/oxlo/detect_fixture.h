// A finalized module with test dissectors registered under the dissector
// contract, and a flow to feed, for the detection tests.
#ifndef VESK_TEST_DETECT_FIXTURE_H
#define VESK_TEST_DETECT_FIXTURE_H

#include "oxlo_private.h"
#include "oxlo_protocol_ids.h"
#include "packet_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace detect_test {

// What the test dissectors saw; reset by every fixture.
struct probe_log {
    std::vector<std::string> calls; // "<name>:<payload>"
    uint32_t payload_sum = 0;       // touches every payload byte (sanitizer food)
};
inline probe_log &log()
{
    static probe_log l;
    return l;
}

inline std::string payload_text(oxlo_module *m)
{
    const oxlo_packet_state &p = m->det.packet;
    std::string s;
    for (uint16_t i = 0; i < p.payload_length; i++) {
        log().payload_sum += p.payload[i];
        s += char(p.payload[i]);
    }
    return s;
}

// Contract: classify on "MATCH", exclude itself on "EXCL" (or on "EXCL"
// followed by its own protocol id), wait otherwise.
template <uint16_t Proto>
void probe(oxlo_module *m, oxlo_flow_state *f)
{
    const std::string payload = payload_text(m);
    log().calls.push_back(std::to_string(Proto) + ":" + payload);
    if (payload.rfind("MATCH", 0) == 0)
        oxlo_flow_set_protocol(m, f, Proto, 0, OXLO_CONFIDENCE_DPI);
    else if (payload == "EXCL" || payload == "EXCL" + std::to_string(Proto))
        oxlo_flow_skip_dissector(m, f, uint16_t(m->det.current_dissector), __FILE__, __func__, __LINE__);
}

constexpr uint16_t P_MQTT = OXLO_PROTOCOL_MQTT;   // registered with the TCP selection
constexpr uint16_t P_COAP = OXLO_PROTOCOL_COAP;    // registered with the UDP selection
constexpr uint16_t P_DNS = OXLO_PROTOCOL_DNS;
constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP;

struct module_fixture : ::testing::Test {
    oxlo_module *m = nullptr;
    oxlo_flow_state *f = nullptr;
    uint64_t now = 1000000;

    // Knobs to set before finalization: {proto, param, value}.
    virtual std::vector<std::array<const char *, 3>> knobs() { return {}; }
    // Anything else to set up before finalization.
    virtual void before_finalize() {}
    // Dissectors to register instead of the built-in ones.
    virtual void register_dissectors()
    {
        oxlo_dissector_add("ProbeTCP", m, probe<P_MQTT>, 0x0b2, 1, int(P_MQTT));
        oxlo_dissector_add("ProbeUDP", m, probe<P_COAP>, 0x094, 1, int(P_COAP));
    }

    void SetUp() override
    {
        log() = probe_log{};
        m = oxlo_module_new(nullptr);
        ASSERT_NE(m, nullptr);
        for (auto &k : knobs())
            ASSERT_EQ(oxlo_set_config(m, k[0], k[1], k[2]), 0) << k[1];
        before_finalize();
        ASSERT_EQ(oxlo_finalize_initialization(m), 0);
        ASSERT_EQ(oxlo_dissectors_init(m), 0);
        drop_builtin_dissectors();
        register_dissectors();
        ASSERT_EQ(oxlo_dissectors_finish(m), 0);
        f = new_flow();
    }
    // The test dissectors stand alone: the built-in ones that init
    // registered are forgotten (table slots and protocol indexes).
    void drop_builtin_dissectors()
    {
        for (uint32_t id = 0; id < 0xFFFF; id++) {
            oxlo_proto_defaults *p = oxlo_proto_defaults_get(m, uint16_t(id));
            if (!p)
                break;
            p->dissector_index = OXLO_NO_DISSECTOR;
        }
        m->det.dissector_count = 0;
    }
    void TearDown() override
    {
        oxlo_flow_state_free(f);
        oxlo_module_free(m);
    }
    oxlo_flow_state *new_flow()
    {
        auto *fl = static_cast<oxlo_flow_state *>(oxlo_flow_alloc(oxlo_flow_state_size()));
        std::memset(fl, 0, oxlo_flow_state_size());
        return fl;
    }
    oxlo_classification feed(const pkt::bytes &b, oxlo_flow_state *fl = nullptr)
    {
        now += 10;
        // An exact-size copy so that a read past the end is caught.
        auto *copy = static_cast<uint8_t *>(std::malloc(b.size() ? b.size() : 1));
        if (!b.empty())
            std::memcpy(copy, b.data(), b.size());
        oxlo_classification r = oxlo_classify_packet(m, fl ? fl : f, copy, uint16_t(b.size()), now, nullptr);
        std::free(copy);
        return r;
    }
};

} // namespace detect_test

#endif
