// The certificate-organisation table: a server certificate whose subject
// names a service's operator gives the flow that service under TLS.
#include "oxlo_dissector_kit.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risk_ids.h"
#include "protocols/tls/tls_private.h"
#include "../detect_fixture.h"
#include "oxlo_risks.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace detect_test;

std::string u8(unsigned v) { return std::string(1, char(v & 0xFF)); }
// One X.520 attribute (OID 2.5.4.x) with a UTF8String value.
std::string attr(unsigned x, const std::string &v)
{
    return std::string("\x06\x03\x55\x04", 4) + u8(x) + u8(0x0c) + u8(unsigned(v.size())) + v;
}
std::string validity()
{
    const std::string t = u8(0x17) + u8(13) + "240101000000Z" + u8(0x17) + u8(13) + "340101000000Z";
    return u8(0x30) + u8(unsigned(t.size())) + t;
}

struct cert_orgs : module_fixture {
    void register_dissectors() override { ASSERT_EQ(oxlo_dissector_register_builtin(m, "tls"), 0); }
    // Issuer, validity, then the subject's attributes {X, value}, on a
    // flow the dissector has already named TLS.
    void certificate(const std::vector<std::pair<unsigned, std::string>> &subject)
    {
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TLS, 0, OXLO_CONFIDENCE_DPI);
        std::string der = attr(10, "Vesk Test CA") + attr(3, "Vesk Test CA") + validity();
        for (auto &a : subject)
            der += attr(a.first, a.second);
        auto *exact = static_cast<uint8_t *>(std::malloc(der.size()));
        std::memcpy(exact, der.data(), der.size());
        m->det.packet.time_ms = 1735689600000ull; // 2025-01-01
        tls_process_certificate(m, f, exact, der.size());
        std::free(exact);
    }
    void reset()
    {
        oxlo_flow_state_free(f);
        f = new_flow();
    }
};

TEST_F(cert_orgs, subject_naming_an_operator_names_its_service)
{
    struct {
        std::vector<std::pair<unsigned, std::string>> subject;
        uint16_t app;
    } cases[] = {
        {{{6, "US"}, {8, "Washington"}, {10, "Microsoft Corporation"}, {3, "login.example.test"}},
         OXLO_PROTOCOL_MICROSOFT},
        // A company name ending in "." is found before the ", CN=" after it.
        {{{10, "Meta Platforms, Inc."}, {3, "edge.example.test"}}, OXLO_PROTOCOL_FACEBOOK},
        {{{10, "apple inc."}, {3, "a.example.test"}}, OXLO_PROTOCOL_APPLE}, // case does not matter
        {{{10, "Zoom Video Communications, Inc."}}, OXLO_PROTOCOL_ZOOM},
        {{{3, "AnyDesk Client"}}, OXLO_PROTOCOL_ANYDESK},
        // Near misses: the name in another attribute, or another company.
        {{{3, "Microsoft Corporation"}}, 0},
        {{{10, "Microsoft Partner Ltd"}, {3, "x.example.test"}}, 0},
        {{{10, "Vesk Test Org"}, {3, "www.microsoft.example"}}, 0},
    };
    for (const auto &c : cases) {
        reset();
        certificate(c.subject);
        EXPECT_EQ(f->app, c.app ? c.app : uint16_t(OXLO_PROTOCOL_TLS)) << c.subject.back().second;
        EXPECT_EQ(f->master, c.app ? OXLO_PROTOCOL_TLS : 0) << c.subject.back().second;
        EXPECT_EQ((f->risk_mask >> OXLO_DESKTOP_OR_FILE_SHARING_SESSION) & 1, c.app == OXLO_PROTOCOL_ANYDESK ? 1u : 0u)
            << "AnyDesk is a desktop-sharing session";
    }
}

struct cert_orgs_off : cert_orgs {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"tls", "subclassification", "0"}}; }
};

TEST_F(cert_orgs_off, subject_is_not_matched_without_sub_classification)
{
    certificate({{10, "Microsoft Corporation"}, {3, "login.example.test"}});
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    EXPECT_EQ(f->master, 0);
}

struct cert_orgs_disabled : cert_orgs {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"Microsoft", "enable", "0"}}; }
};

TEST_F(cert_orgs_disabled, a_disabled_protocol_is_not_fed)
{
    certificate({{10, "Microsoft Corporation"}, {3, "login.example.test"}});
    EXPECT_EQ(f->app, OXLO_PROTOCOL_TLS);
    reset();
    certificate({{10, "GitHub, Inc."}, {3, "x.example.test"}});
    EXPECT_EQ(f->app, OXLO_PROTOCOL_GITHUB);
}

} // namespace
