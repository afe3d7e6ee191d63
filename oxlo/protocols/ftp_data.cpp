/* FTP data connections carry files and directory listings with no header
 * of their own: they are known by the magic numbers of common file formats,
 * by a listing line, or by the data port 20. */
#include "oxlo_dissector.h"
#include "oxlo_protocol_ids.h"
#include "protocols/framing.h"

namespace {

struct magic {
    const char *bytes;
    uint8_t length;
};

const magic magics[] = {
    {"RIFF", 4}, {"OggS", 4}, {"Rar!", 4}, {"GIF8", 4}, {"%PDF", 4}, {"<htm", 4}, {"<!DO", 4}, {"fLaC", 4},
    {"WzPa", 4}, {"TAPE", 4}, {"!<ar", 4}, {"SPFI", 4}, {"ABIF", 4}, {".tem", 4}, {".ite", 4}, {".lef", 4},
    {"\xFF\xFB\x90\xC0", 4}, {"\x00\x00\x01\xBA", 4}, {"\x0A\x3C\x21\x44", 4}, {"\x1A\x45\xDF\xA3", 4},
    {"\x1F\x8B\x08", 3}, {"\x37\x7A\xBC\xAF", 4}, {"<?ph", 4}, {"\x49\x44\x33\x03", 4}, {"\x50\x4B\x03\x04", 4},
    {"\x89\x50\x4E\x47", 4}, {"\xFF\xD8", 2}, {"<%@ ", 4}, {"<!--", 4}, {"BZh9", 4}, {"FLV\x01", 4},
    {"\xD0\xCF\x11\xE0", 4}, {"\xED\xAB\xEE\xDB", 4}, {"<iq ", 4},
};

bool file_magic(const oxlo_reader &p)
{
    for (const magic &mg : magics)
        if (oxlo_rd_match_n(&p, 0, mg.bytes, mg.length, 0))
            return true;
    uint8_t c = 0;
    if ((oxlo_rd_match(&p, 0, "<C", 0) || oxlo_rd_match(&p, 0, "<c", 0)) && oxlo_rd_u8_at(&p, 2, &c) && c == 'f')
        return true;
    return oxlo_rd_match(&p, 0, "<?xm", 0) && !oxlo_rd_contains(&p, "jabber", 0);
}

/* "-rw-r--r--" or "drwxr-xr-x": the start of an ls -l line. */
bool listing_line(const oxlo_reader &p)
{
    uint8_t c = 0;
    if (p.length <= 10 || !oxlo_rd_u8_at(&p, 0, &c) || (c != '-' && c != 'd'))
        return false;
    static const char rwx[] = "rwx";
    for (size_t i = 0; i < 9; i++) {
        const uint8_t b = oxlo_rd_peek8(&p, 1 + i);
        if (b != '-' && b != uint8_t(rwx[i % 3]))
            return false;
    }
    return true;
}

/* The view is shorter than what the tests read and may grow into a file's
 * magic or a listing line: the number of bytes to wait for, else 0. */
size_t worth_waiting(const oxlo_reader &p)
{
    auto prefix = [&p](const char *bytes, size_t n) { return oxlo_rd_match_n(&p, 0, bytes, p.length < n ? p.length : n, 0); };
    if (p.length <= 255) {
        for (const magic &mg : magics)
            if (prefix(mg.bytes, mg.length))
                return 256;
        if (prefix("<Cf", 3) || prefix("<cf", 3) || prefix("<?xm", 4))
            return 256;
    }
    if (p.length <= 10 && p.length) {
        uint8_t c = 0;
        oxlo_rd_u8_at(&p, 0, &c);
        static const char rwx[] = "rwx";
        bool listing = c == '-' || c == 'd';
        for (size_t i = 1; listing && i < p.length; i++) {
            const uint8_t b = oxlo_rd_peek8(&p, i);
            listing = b == '-' || b == uint8_t(rwx[(i - 1) % 3]);
        }
        if (listing)
            return 11;
    }
    return 0;
}

void search_ftp_data(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!oxlo_flow_handshake_complete(f)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    const oxlo_reader &p = pkt.payload;
    /* A file or listing cut anywhere in its first bytes waits for them. */
    const size_t wanted = pkt.src_port == 20 || pkt.dst_port == 20 ? 0 : worth_waiting(p);
    if (wanted && oxlo_framing::wait_for(m, f, pkt, wanted))
        return;
    if ((p.length > 255 && file_magic(p)) || listing_line(p) || pkt.src_port == 20 || pkt.dst_port == 20)
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_FTP_DATA, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}

const uint16_t protocols[] = {OXLO_PROTOCOL_FTP_DATA};

} // namespace

extern "C" {

extern const oxlo_dissector_def oxlo_dissector_def_ftp_data = {
    "FTP_DATA", search_ftp_data, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    protocols, 1, 0, nullptr, nullptr,
};

} // extern "C"
