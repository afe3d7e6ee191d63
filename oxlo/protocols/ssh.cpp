/* SSH. Both sides open with an identification line "SSH-<version>-<software>"
 * and then send a KEXINIT (message 20) listing the algorithms they accept.
 * The dissector keeps both banners, flags software older than its last
 * supported release, and reads the two KEXINIT messages for the HASSH
 * fingerprints of client and server, weak ciphers and, on request, the
 * algorithm lists and what each side will negotiate. */
#include "oxlo_dissector.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risks.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_digest.h"
#include "oxlo_private.h"
#include "oxlo_serializer.h"
#include "oxlo_tls_dns.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t EXTRA_PACKETS = 12;
constexpr uint8_t MSG_KEXINIT = 20;
/* A binary packet: its length (of what follows the field), the padding
 * length, the message code; a KEXINIT then has its 16-byte cookie and the
 * name-lists. */
constexpr size_t PACKET_LENGTH = 0, PACKET_LENGTH_SIZE = 4, PACKET_MESSAGE_CODE = 5, KEXINIT_NAME_LISTS = 22;
/* The first list must leave room for what precedes it, its own length
 * field and the first_kex_packet_follows byte. */
constexpr size_t KEXINIT_AFTER_FIRST_LENGTH = KEXINIT_NAME_LISTS + 4 + 1;
constexpr uint32_t LIST_MAX = 65565;      /* a longer name-list ends the parse */
constexpr uint32_t KEXINIT_MAX = 65536;   /* a longer KEXINIT is not waited for */
constexpr size_t BANNER_MAX = 255;        /* an identification line, its CR LF included */
constexpr size_t BANNER_SIZE = 48;

struct ssh_state {
    uint8_t stage;                   /* banners seen */
    char client_banner[BANNER_SIZE], server_banner[BANNER_SIZE];
    char hassh_client[33], hassh_server[33];
    /* With ssh.metadata.ssh_data (owned, each set once). */
    char *kex_client, *kex_server, *kex;
    char *hostkey_client, *hostkey;
    char *cipher_c2s_client, *cipher_s2c_client, *cipher_c2s, *cipher_s2c;
    char *mac_c2s_client, *mac_s2c_client, *mac_c2s, *mac_s2c;
};

void ssh_release(void *state)
{
    ssh_state *s = static_cast<ssh_state *>(state);
    char **owned[] = {&s->kex_client, &s->kex_server, &s->kex, &s->hostkey_client, &s->hostkey,
                      &s->cipher_c2s_client, &s->cipher_s2c_client, &s->cipher_c2s, &s->cipher_s2c,
                      &s->mac_c2s_client, &s->mac_s2c_client, &s->mac_c2s, &s->mac_s2c};
    for (char **p : owned) {
        oxlo_heap_free(*p);
        *p = nullptr;
    }
}

const ssh_state *find_state(const oxlo_flow_state *f)
{
    static const ssh_state empty = {};
    const void *s = f ? oxlo_flow_slot_state(f, OXLO_DISSECTOR_ssh) : nullptr;
    return s ? static_cast<const ssh_state *>(s) : &empty;
}

char *copy_text(const oxlo_reader &r) { return oxlo_copy_bytes_as_string(r.data, r.length); }

void set_once(char **slot, char *text)
{
    if (*slot)
        oxlo_heap_free(text);
    else
        *slot = text;
}

/* ---- banners ---- */

struct banner_row {
    const char *pattern;
    int major, minor, patch;
};

const banner_row banner_rows[] = {
    {"SSH-%*f-OpenSSH_%d.%d.%d", 10, 0, 0},   {"SSH-%*f-APACHE-SSHD-%d.%d.%d", 2, 5, 1},
    {"SSH-%*f-FileZilla_%d.%d.%d", 3, 40, 0}, {"SSH-%*f-paramiko_%d.%d.%d", 2, 4, 0},
    {"SSH-%*f-dropbear_%d.%d", 2020, 0, 0},
};

void check_banner_version(oxlo_module *m, oxlo_flow_state *f, const char *banner, bool client)
{
    for (const banner_row &row : banner_rows) {
        int v[3] = {0, 0, 0};
        const int n = sscanf(banner, row.pattern, &v[0], &v[1], &v[2]);
        if (n < 2)
            continue;
        const int want[3] = {row.major, row.minor, row.patch};
        bool older = false;
        for (int i = 0; i < 3; i++)
            if (v[i] != want[i]) {
                older = v[i] < want[i];
                break;
            }
        if (older)
            oxlo_dissector_risk(m, f,
                                client ? OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER
                                       : OXLO_SSH_OBSOLETE_SERVER_VERSION_OR_CIPHER,
                                nullptr);
        return;
    }
}

/* Copies the banner at the start of the payload (cut at CR or LF, at most
 * 47 characters); returns the offset just past its line end, or the
 * payload's length when the line does not end in it. */
size_t store_banner(const oxlo_reader &payload, char *out)
{
    size_t n = 0;
    while (n < payload.length && oxlo_rd_peek8(&payload, n) != '\r' && oxlo_rd_peek8(&payload, n) != '\n')
        n++;
    const size_t keep = n < BANNER_SIZE - 1 ? n : BANNER_SIZE - 1;
    memcpy(out, payload.data, keep);
    out[keep] = '\0';
    const ptrdiff_t lf = oxlo_rd_find_byte(&payload, n, '\n');
    return lf < 0 ? payload.length : size_t(lf) + 1;
}

/* ---- name lists ---- */

/* Calls fn(name) for every comma-separated name of the list. */
template <typename F> bool each_name(const oxlo_reader &list, F fn)
{
    size_t start = 0;
    while (start <= list.length) {
        const ptrdiff_t comma = oxlo_rd_find_byte(&list, start, ',');
        const size_t end = comma < 0 ? list.length : size_t(comma);
        const oxlo_reader rest = oxlo_rd_from(&list, start);
        if (end > start && fn(oxlo_rd_upto(&rest, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

bool list_has(const oxlo_reader &list, const oxlo_reader &name)
{
    return each_name(list, [&](const oxlo_reader &n) {
        return n.length == name.length && memcmp(n.data, name.data, n.length) == 0;
    });
}

/* The first name of the client's list that the server's list holds as a
 * whole name (a name is never matched inside a longer one), copied; NULL
 * when none. */
char *negotiate(const oxlo_reader &client, const oxlo_reader &server, size_t max)
{
    char *found = nullptr;
    each_name(client, [&](const oxlo_reader &n) {
        if (!list_has(server, n))
            return false;
        found = copy_text(oxlo_rd_upto(&n, max));
        return true;
    });
    return found;
}

oxlo_reader text_reader(const char *t) { return oxlo_reader_make(t, t ? strlen(t) : 0); }

void check_weak_ciphers(oxlo_module *m, oxlo_flow_state *f, const oxlo_reader &list, bool client)
{
    static const char *const weak[] = {"arcfour256", "arcfour128", "3des-cbc", "blowfish-cbc", "cast128-cbc", "arcfour"};
    each_name(list, [&](const oxlo_reader &n) {
        for (const char *w : weak)
            if (oxlo_rd_equals(&n, w, 0)) {
                oxlo_dissector_risk(m, f,
                                    client ? OXLO_SSH_OBSOLETE_CLIENT_VERSION_OR_CIPHER
                                           : OXLO_SSH_OBSOLETE_SERVER_VERSION_OR_CIPHER,
                                    "Found cipher %s", w);
                return true;
            }
        return false;
    });
}

/* ---- KEXINIT ---- */

struct hassh_text {
    char *text;
    size_t length, size;
    void add(const oxlo_reader &r)
    {
        const size_t n = r.length < size - 1 - length ? r.length : size - 1 - length;
        memcpy(text + length, r.data, n);
        length += n;
        text[length] = '\0';
    }
    void sep() { add(oxlo_reader_make(";", 1)); }
};

/* Parses one side's KEXINIT (the whole SSH packet); writes the side's HASSH
 * text. The name-lists follow the 4-byte packet length, padding length,
 * message code and 16-byte cookie. */
void parse_kexinit(oxlo_module *m, oxlo_flow_state *f, ssh_state *s, const oxlo_reader &msg, bool client,
                   hassh_text *h)
{
    const bool hassh = m->cfg.ssh_hassh_fingerprint, data = m->cfg.ssh_data;
    oxlo_reader lists[8];
    oxlo_reader r = oxlo_rd_from(&msg, KEXINIT_NAME_LISTS);
    int count = 0;
    for (; count < 8; count++) {
        const uint32_t n = oxlo_rd_be32(&r);
        if (r.error || n > LIST_MAX || (count == 0 && n >= (msg.length > KEXINIT_AFTER_FIRST_LENGTH ? msg.length - KEXINIT_AFTER_FIRST_LENGTH : 0)))
            break;
        lists[count] = oxlo_rd_field(&r, n);
        if (r.error)
            break;
    }
    if (count == 0)
        return;
    const oxlo_reader &kex = lists[0];
    h->add(kex);
    if (data) {
        set_once(client ? &s->kex_client : &s->kex_server, copy_text(kex));
        if (s->kex_client && s->kex_server && !s->kex)
            s->kex = negotiate(text_reader(s->kex_client), text_reader(s->kex_server), 63);
    }
    if (!hassh)
        return;
    h->sep();
    if (count > 1 && data) { /* host keys */
        if (client)
            set_once(&s->hostkey_client, copy_text(lists[1]));
        else if (s->hostkey_client && !s->hostkey)
            s->hostkey = negotiate(text_reader(s->hostkey_client), lists[1], 127);
    }
    /* The side's own direction goes into its HASSH: client-to-server lists
     * for the client, server-to-client lists for the server. */
    const int enc = client ? 2 : 3, mac = client ? 4 : 5, comp = client ? 6 : 7;
    if (count > enc) {
        h->add(lists[enc]);
        h->sep();
        check_weak_ciphers(m, f, lists[enc], client);
    }
    if (count > mac) {
        h->add(lists[mac]);
        h->sep();
    }
    if (count > comp)
        h->add(lists[comp]);
    if (!data)
        return;
    if (client) {
        if (count > 2)
            set_once(&s->cipher_c2s_client, copy_text(lists[2]));
        if (count > 3)
            set_once(&s->cipher_s2c_client, copy_text(lists[3]));
        if (count > 4)
            set_once(&s->mac_c2s_client, copy_text(lists[4]));
        if (count > 5)
            set_once(&s->mac_s2c_client, copy_text(lists[5]));
        return;
    }
    struct pair {
        char *const *client_list;
        char **negotiated;
        int index;
    } pairs[] = {{&s->cipher_c2s_client, &s->cipher_c2s, 2}, {&s->cipher_s2c_client, &s->cipher_s2c, 3},
                 {&s->mac_c2s_client, &s->mac_c2s, 4},       {&s->mac_s2c_client, &s->mac_s2c, 5}};
    for (const pair &p : pairs) {
        if (count <= p.index || !lists[p.index].length || *p.negotiated)
            continue;
        /* A MAC is settled from the server's own list when the client's
         * is not known; a cipher needs the client's. */
        const bool mac = p.index >= 4;
        if (*p.client_list)
            *p.negotiated = negotiate(text_reader(*p.client_list), lists[p.index], 127);
        else if (mac)
            *p.negotiated = negotiate(lists[p.index], lists[p.index], 127);
    }
}

void classify(oxlo_module *m, oxlo_flow_state *f);

void hassh_of(oxlo_module *m, oxlo_flow_state *f, ssh_state *s, const oxlo_reader &msg, bool client)
{
    char *text = static_cast<char *>(oxlo_heap_alloc(msg.length + 1));
    if (!text)
        return;
    text[0] = '\0';
    hassh_text h{text, 0, msg.length + 1};
    parse_kexinit(m, f, s, msg, client, &h);
    if (m->cfg.ssh_hassh_fingerprint) {
        md5_context ctx;
        uint8_t digest[16];
        oxlo_md5_init(&ctx);
        oxlo_md5_update(&ctx, reinterpret_cast<const uint8_t *>(h.text), uint32_t(h.length));
        oxlo_md5_final(digest, &ctx);
        char *out = client ? s->hassh_client : s->hassh_server;
        for (int i = 0; i < 16; i++)
            snprintf(out + 2 * i, 3, "%02X", digest[i]);
    }
    oxlo_heap_free(text);
    classify(m, f);
}

/* A KEXINIT at the start of data (the view from offset `at`): handled when
 * whole; one the view cuts is asked for from the stream (bounded), its
 * start kept as the next view's. */
void kexinit(oxlo_module *m, oxlo_flow_state *f, ssh_state *s, const oxlo_packet_view &pkt, size_t at, bool client)
{
    if (!m->cfg.ssh_hassh_fingerprint && !m->cfg.ssh_data)
        return;
    const oxlo_reader data = oxlo_rd_from(&pkt.payload, at);
    uint8_t code = 0;
    uint32_t packet_length = 0;
    if (!oxlo_rd_u32_at(&data, PACKET_LENGTH, &packet_length) || !oxlo_rd_u8_at(&data, PACKET_MESSAGE_CODE, &code)) {
        oxlo_dissector_consume(m, f, at);
        oxlo_dissector_need(m, f, PACKET_MESSAGE_CODE + 1);
        return;
    }
    if (code != MSG_KEXINIT)
        return;
    const uint64_t whole = uint64_t(packet_length) + PACKET_LENGTH_SIZE;
    if (whole <= data.length) {
        hassh_of(m, f, s, oxlo_rd_upto(&data, size_t(whole)), client);
        return;
    }
    if (whole > KEXINIT_MAX)
        return;
    oxlo_dissector_consume(m, f, at);
    oxlo_dissector_need(m, f, size_t(whole));
}

/* The view begins an identification line whose end has not come yet. */
bool banner_cut(const oxlo_reader &p)
{
    const size_t n = p.length < 4 ? p.length : 4;
    return p.length < BANNER_MAX && oxlo_rd_match_n(&p, 0, "SSH-", n, 0) && oxlo_rd_find_byte(&p, 0, '\n') < 0;
}

int extra(oxlo_module *m, oxlo_flow_state *f);

void classify(oxlo_module *m, oxlo_flow_state *f)
{
    if (oxlo_dissector_extra_active(f, nullptr))
        return;
    oxlo_dissector_classify(m, f, OXLO_PROTOCOL_SSH, OXLO_PROTOCOL_UNKNOWN);
    oxlo_dissector_extra(f, extra, EXTRA_PACKETS);
}

void search(oxlo_module *m, oxlo_flow_state *f, ssh_state *s)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.payload;
    const bool client = pkt.from_client;
    char *banner = client ? s->client_banner : s->server_banner;
    if (s->stage < 2 && !banner[0] && banner_cut(p) && oxlo_dissector_need(m, f, p.length + 1) == 0) {
        /* In the follow-up, waiting for the rest of the line costs no
         * packet of its budget, however many segments carry it. */
        oxlo_dissector_extra_uncharged(m);
        return;
    }
    const bool is_banner = p.length > 7 && oxlo_rd_match(&p, 0, "SSH-", 0);
    /* A side that sent its banner may send its KEXINIT before the other
     * side's banner arrived: that packet is read as a KEXINIT. */
    if (s->stage < 2 && (is_banner || !banner[0])) {
        if (!is_banner) {
            OXLO_EXCLUDE(m, f);
            return;
        }
        const size_t after = store_banner(p, banner);
        check_banner_version(m, f, banner, client);
        if (client)
            classify(m, f);
        else if (!f->partial_guess)
            f->partial_guess = OXLO_PROTOCOL_SSH;
        s->stage++;
        /* A side may send its KEXINIT in the banner's segment. */
        if (after < p.length)
            kexinit(m, f, s, pkt, after, client);
        return;
    }
    if (p.length <= 5 && !oxlo_dissector_extra_active(f, nullptr)) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    kexinit(m, f, s, pkt, 0, client);
}

ssh_state *state_of(oxlo_module *m, oxlo_flow_state *f)
{
    return static_cast<ssh_state *>(oxlo_dissector_state_of(m, f, OXLO_PROTOCOL_SSH, 1));
}

int extra(oxlo_module *m, oxlo_flow_state *f)
{
    ssh_state *s = state_of(m, f);
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (!s)
        return 0;
    if (pkt.payload.length == 0 || pkt.retransmission)
        return 1;
    search(m, f, s);
    if (s->hassh_client[0] && s->hassh_server[0]) {
        oxlo_dissector_extra_end(f);
        return 0;
    }
    return 1;
}

void search_ssh(oxlo_module *m, oxlo_flow_state *f)
{
    ssh_state *s = state_of(m, f);
    if (!s) {
        OXLO_EXCLUDE(m, f);
        return;
    }
    search(m, f, s);
}

/* The names of a list as a JSON list, without the "ext-info-" markers. */
int algorithm_list(oxlo_recbuf *out, const char *text, const char *name)
{
    int rc = oxlo_recbuf_open_list(out, name);
    each_name(text_reader(text), [&](const oxlo_reader &n) {
        if (!oxlo_rd_match(&n, 0, "ext-info-", 0))
            rc |= oxlo_recbuf_put_text_value_len(out, "", reinterpret_cast<const char *>(n.data), n.length);
        return false;
    });
    return rc | oxlo_recbuf_close_list(out);
}

int ssh_json(oxlo_module *m, const oxlo_flow_state *f, oxlo_recbuf *out)
{
    const ssh_state *s = find_state(f);
    int rc = oxlo_recbuf_open_block(out, "ssh");
    rc |= oxlo_recbuf_put_text(out, "client_signature", s->client_banner);
    rc |= oxlo_recbuf_put_text(out, "server_signature", s->server_banner);
    if (m->cfg.ssh_hassh_fingerprint) {
        rc |= oxlo_recbuf_put_text(out, "hassh_client", s->hassh_client);
        rc |= oxlo_recbuf_put_text(out, "hassh_server", s->hassh_server);
    }
    const struct {
        const char *key;
        const char *value;
    } known[] = {{"kex_alg", s->kex},           {"hostkey_alg", s->hostkey}, {"cipher_c2s", s->cipher_c2s},
                 {"cipher_s2c", s->cipher_s2c}, {"mac_c2s", s->mac_c2s},     {"mac_s2c", s->mac_s2c}};
    for (const auto &k : known)
        if (k.value)
            rc |= oxlo_recbuf_put_text(out, k.key, k.value);
    if (m->cfg.ssh_data) {
        rc |= oxlo_recbuf_open_block(out, "key_exchange_algorithms");
        rc |= algorithm_list(out, s->kex_client, "client");
        rc |= algorithm_list(out, s->kex_server, "server");
        rc |= oxlo_recbuf_close_block(out);
    }
    rc |= oxlo_recbuf_close_block(out);
    return rc ? -1 : 0;
}

const uint16_t ssh_protocols[] = {OXLO_PROTOCOL_SSH};

} // namespace

extern "C" {

const char *oxlo_flow_ssh_banner(const oxlo_flow_state *flow, int client)
{
    return client ? find_state(flow)->client_banner : find_state(flow)->server_banner;
}

const char *oxlo_flow_ssh_hassh(const oxlo_flow_state *flow, int client)
{
    return client ? find_state(flow)->hassh_client : find_state(flow)->hassh_server;
}

const char *oxlo_flow_ssh_kex_list(const oxlo_flow_state *flow, int client)
{
    const char *t = client ? find_state(flow)->kex_client : find_state(flow)->kex_server;
    return t ? t : "";
}

const char *oxlo_flow_ssh_negotiated_kex(const oxlo_flow_state *flow)
{
    const char *t = find_state(flow)->kex;
    return t ? t : "";
}

extern const oxlo_dissector_def oxlo_dissector_def_ssh = {
    "SSH",
    search_ssh,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_NO_RETRANSMISSION | OXLO_SEL_PAYLOAD | OXLO_SEL_TCP,
    ssh_protocols,
    1,
    sizeof(ssh_state),
    ssh_release,
    ssh_json,
};

} // extern "C"
