/* The git protocol (port 9418) is a sequence of pkt-lines, each led by its
 * length as four hexadecimal digits (the four included). The lengths 0000
 * (flush), 0001 (delimiter, protocol v2) and 0002 (response end, v2) are
 * lines of their own four bytes. git writes a line's length in a segment
 * of its own, so the lines are read from the stream once whole. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

constexpr size_t HEADER = 4;
constexpr unsigned MAX_LINES = 64;

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

/* The size of the pkt-line at the start of r: 0 when it is none, -1 when
 * the digits at hand are a plausible start of its length. */
int64_t line_size(const oxlo_reader &r, unsigned *data_lines)
{
    size_t length = 0;
    for (size_t i = 0; i < HEADER; i++) {
        uint8_t c = 0;
        if (!oxlo_rd_u8_at(&r, i, &c))
            return -1;
        const int v = hex(c);
        if (v < 0)
            return 0;
        length = length * 16 + size_t(v);
    }
    if (length < HEADER)
        return length == 3 ? 0 : int64_t(HEADER); /* flush, delimiter, response end */
    ++*data_lines;
    return int64_t(length);
}

void search_git(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.src_port != 9418 && pkt.dst_port != 9418) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    unsigned lines = 0, data_lines = 0;
    uint64_t total = 0;
    const oxlo_framing::walk_end end = oxlo_framing::walk(
        pkt.payload, HEADER, MAX_LINES, [&](const oxlo_reader &r) { return line_size(r, &data_lines); }, &lines,
        &total);
    if (end == oxlo_framing::WALK_SHORT && oxlo_framing::wait_for(m, f, pkt, total))
        return;
    if (end == oxlo_framing::WALK_BAD || end == oxlo_framing::WALK_CAPPED || !data_lines ||
        (end == oxlo_framing::WALK_SHORT && !lines)) {
        OXLO_EXCLUDE(m, f);
        return;
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
