/* TiVoConnect discovery beacons (UDP broadcast or TCP 2190): text lines
 * key=value, the first "tivoconnect=1", then the device's identity,
 * platform, machine name and services. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"
#include "oxlo_serializer.h"

namespace {

struct tivo_state {
    char identity[37];
    char platform[32];
    char services[48];
    char machine[48];
};

void read_beacon(oxlo_module *m, oxlo_flow_state *f, tivo_state *s, const oxlo_reader &p)
{
    oxlo_reader r = p, line;
    while (oxlo_rd_line(&r, &line)) {
        const ptrdiff_t eq = oxlo_rd_find_byte(&line, 0, '=');
        if (eq < 0) {
            oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "Missing value type in TiViConnect beacon");
            continue;
        }
        const oxlo_reader key = oxlo_rd_upto(&line, size_t(eq)), value = oxlo_rd_from(&line, size_t(eq) + 1);
        if (oxlo_rd_equals(&key, "identity", 1) && oxlo_rd_match(&value, 0, "uuid:", 1)) {
            const oxlo_reader uuid = oxlo_rd_from(&value, 5);
            oxlo_rd_text(&uuid, s->identity, sizeof(s->identity));
        } else if (oxlo_rd_equals(&key, "platform", 1)) {
            oxlo_rd_text(&value, s->platform, sizeof(s->platform));
        } else if (oxlo_rd_equals(&key, "services", 1)) {
            oxlo_rd_text(&value, s->services, sizeof(s->services));
        } else if (oxlo_rd_equals(&key, "machine", 1)) {
            oxlo_rd_text(&value, s->machine, sizeof(s->machine));
        }
    }
    if (oxlo_rd_left(&r) > 0)
        oxlo_dissector_risk(m, f, OXLO_MALFORMED_PACKET, "TiViConnect beacon malformed packet");
}

void search_tivoconnect(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    tivo_state *s = static_cast<tivo_state *>(oxlo_dissector_state(m, f));
    if (!s || p.length < 12 || !oxlo_rd_match(&p, 0, "tivoconnect=", 1)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_TIVOCONNECT, OXLO_PROTOCOL_UNKNOWN);
    read_beacon(m, f, s, p);
}

const tivo_state *state_of(const oxlo_flow_state *f)
{
    return f ? static_cast<const tivo_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_tivoconnect)) : nullptr;
}

int tivo_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const tivo_state *s = state_of(f);
    int rc = oxlo_recbuf_open_block(out, "tivoconnect");
    rc |= oxlo_recbuf_put_text(out, "identity_uuid", s ? s->identity : "");
    rc |= oxlo_recbuf_put_text(out, "machine", s ? s->machine : "");
    rc |= oxlo_recbuf_put_text(out, "platform", s ? s->platform : "");
    rc |= oxlo_recbuf_put_text(out, "services", s ? s->services : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_TIVOCONNECT};

} // namespace

extern "C" {

const char *oxlo_flow_tivo_field(const oxlo_flow_state *flow, const char *name)
{
    const tivo_state *s = state_of(flow);
    if (!s || !name)
        return "";
    if (strcmp(name, "identity_uuid") == 0)
        return s->identity;
    if (strcmp(name, "machine") == 0)
        return s->machine;
    if (strcmp(name, "platform") == 0)
        return s->platform;
    return strcmp(name, "services") == 0 ? s->services : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_tivoconnect = {
    "TiVoConnect", search_tivoconnect,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP_OR_UDP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    protocols, 1, sizeof(tivo_state), nullptr, tivo_json,
};

/* Shorter first datagrams fail the length test search_tivoconnect starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_tivoconnect = 12;
} // extern "C"
