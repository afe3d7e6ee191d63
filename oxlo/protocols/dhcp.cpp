/* DHCP over UDP between ports 67 and 68: a BOOTP header of 236 bytes, the
 * magic cookie 63 82 53 63 and options (code, length, value) up to the end
 * option 255. The message type option 53 tells DHCP from plain BOOTP. The
 * option codes in order, the parameter request list and the vendor class
 * identify the client's DHCP stack. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_discovery.h"
#include "oxlo_serializer.h"

#include <cstdio>

namespace {

constexpr size_t cookie_at = 236, options_at = 240, options_max = 308;
constexpr uint8_t PAD = 0, HOST_NAME = 12, MESSAGE_TYPE = 53, REQUEST_LIST = 55, VENDOR_CLASS = 60, END = 255;

struct dhcp_state {
    char options[48];
    char fingerprint[48];
    char class_ident[48];
};

/* Appends "%s%u" (a comma between entries) while it fits whole. */
void append_number(char *out, size_t size, unsigned v)
{
    const size_t used = strlen(out);
    char item[8];
    const int n = snprintf(item, sizeof(item), "%s%u", used ? "," : "", v);
    if (n > 0 && used + size_t(n) < size)
        memcpy(out + used, item, size_t(n) + 1);
}

/* Calls fn(code, value) for each option. Pad bytes are single bytes without
 * a length and options may be empty (rapid commit), so neither ends the
 * walk; the end option or an option passing the area does. */
template <typename F> void walk_options(const oxlo_reader &area, F fn)
{
    oxlo_reader r = area;
    while (oxlo_rd_left(&r) > 0) {
        const uint8_t code = oxlo_rd_u8(&r);
        if (code == END)
            return;
        if (code == PAD)
            continue;
        oxlo_reader value = oxlo_rd_lp8(&r);
        if (r.error)
            return;
        fn(code, value);
    }
}

bool is_dhcp_port(uint16_t p) { return p == 67 || p == 68; }

void search_dhcp(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    uint32_t cookie = 0;
    if (!is_dhcp_port(pkt.src_port) || !is_dhcp_port(pkt.dst_port) || p.length < 244 ||
        !oxlo_rd_u32_at(&p, cookie_at, &cookie) || cookie != 0x63825363) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const size_t span = p.length - options_at < options_max ? p.length - options_at : options_max;
    const oxlo_reader area = oxlo_rd_sub_at(&p, options_at, span);
    bool typed = false;
    walk_options(area, [&](uint8_t code, const oxlo_reader &value) {
        uint8_t type = 0xFF;
        if (code == MESSAGE_TYPE && oxlo_rd_u8_at(&value, 0, &type) && type <= 8)
            typed = true;
    });
    dhcp_state *s = static_cast<dhcp_state *>(oxlo_dissector_state(m, f));
    if (!typed || !s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DHCP, OXLO_PROTOCOL_UNKNOWN);
    memset(s, 0, sizeof(*s));
    walk_options(area, [&](uint8_t code, const oxlo_reader &value) {
        append_number(s->options, sizeof(s->options), code);
        if (code == REQUEST_LIST) {
            s->fingerprint[0] = '\0';
            for (size_t i = 0; i < value.length; i++)
                append_number(s->fingerprint, sizeof(s->fingerprint), oxlo_rd_peek8(&value, i));
        } else if (code == VENDOR_CLASS) {
            oxlo_rd_text(&value, s->class_ident, sizeof(s->class_ident));
        } else if (code == HOST_NAME && value.length) {
            oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(value.data), value.length,
                                      OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES);
        }
    });
}

const dhcp_state *state_of(const oxlo_flow_state *f)
{
    return f ? static_cast<const dhcp_state *>(oxlo_flow_slot_state(f, OXLO_DISSECTOR_dhcp)) : nullptr;
}

int dhcp_json(oxlo_module *, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const dhcp_state *s = state_of(f);
    int rc = oxlo_recbuf_open_block(out, "dhcp");
    rc |= oxlo_recbuf_put_text(out, "fingerprint", s ? s->fingerprint : "");
    rc |= oxlo_recbuf_put_text(out, "class_ident", s ? s->class_ident : "");
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t protocols[] = {OXLO_PROTOCOL_DHCP};

} // namespace

extern "C" {

const char *oxlo_flow_dhcp_options(const oxlo_flow_state *flow)
{
    const dhcp_state *s = state_of(flow);
    return s ? s->options : "";
}

const char *oxlo_flow_dhcp_fingerprint(const oxlo_flow_state *flow)
{
    const dhcp_state *s = state_of(flow);
    return s ? s->fingerprint : "";
}

const char *oxlo_flow_dhcp_class_ident(const oxlo_flow_state *flow)
{
    const dhcp_state *s = state_of(flow);
    return s ? s->class_ident : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_dhcp = {
    "DHCP", search_dhcp, OXLO_SEL_IPV4 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD,
    protocols, 1, sizeof(dhcp_state), nullptr, dhcp_json,
};

/* Shorter first datagrams fail the length test search_dhcp starts with, whatever
 * their bytes, and end in its exclusion alone. */
extern const uint16_t oxlo_dissector_shortest_dhcp = 244;
} // extern "C"
