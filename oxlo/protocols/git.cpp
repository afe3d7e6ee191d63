/* The git protocol (port 9418) is a sequence of pkt-lines, each led by its
 * length as four hexadecimal digits (the four included). */
#include "oxlo_dissector.h"
#include "oxlo_dissector_kit.h"

namespace {

int hex(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void search_git(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    if ((pkt.src_port != 9418 && pkt.dst_port != 9418) || p.length <= 4) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    size_t at = 0, left = p.length;
    while (at + 4 < left) {
        const uint8_t *digits = oxlo_rd_bytes_at(&p, at, 4);
        size_t length = 0;
        for (int i = 0; digits && i < 4; i++) {
            const int v = hex(digits[i]);
            if (v < 0) {
                digits = nullptr;
                break;
            }
            length = length * 16 + size_t(v);
        }
        if (!digits || length == 0 || length > left) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        at += length;
        left -= length;
    }
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_GIT, OXLO_PROTOCOL_UNKNOWN);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_GIT};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_git = {
    "Git", search_git, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
