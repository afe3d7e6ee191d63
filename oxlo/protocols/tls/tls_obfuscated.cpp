/* The obfuscated-TLS heuristic: a TLS handshake carried inside another
 * channel (TLS in TLS, TLS in an HTTP or WebSocket stream, or a TLS-like
 * exchange on a flow that never showed a handshake of its own) still has
 * the burst shape of a handshake: a client hello, the server's flight, the
 * client's finish and the server's first answer. The sizes of those four
 * bursts are compared with three statistical models of real handshakes by
 * Mahalanobis distance. */
#include "tls_private.h"
#include "oxlo_analytics.h"
#include "oxlo_dissector.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_memory.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"

#include <cstring>

struct tls_burst_tracker {
    uint8_t state;        /* 0..5 */
    uint32_t bytes[4];    /* client 1, server 1, client 2, server 2 */
    uint32_t packets[4];
};

struct tls_heuristic_state {
    uint8_t packets;
    tls_burst_tracker tracker[2]; /* the outer one and the one after it */
};

namespace {

/* Each model: the mean burst sizes, the 4 x 4 inverse covariance (row
 * major) and the distance below which bursts match. */
struct handshake_model {
    float mean[4];
    float inverse_covariance[16];
    float threshold;
};

const handshake_model models[3] = {
    {{1850.43042f, 4903.07715f, 785.252808f, 1051.22302f},
     {6.72374381e-06f, -2.32109585e-08f, 6.67140014e-08f, 1.25263222e-08f,
      -2.32109585e-08f, 5.64668937e-07f, 4.5896364e-08f, 6.41254694e-09f,
      6.67140014e-08f, 4.5896364e-08f, 6.04057789e-07f, -9.1507435e-10f,
      1.25263222e-08f, 6.41254694e-09f, -9.1507435e-10f, 1.01184796e-07f},
     3.0f},
    {{640.657349f, 4649.30322f, 448.408295f, 1094.20129f},
     {3.08030321e-05f, 1.16179173e-07f, 1.05356747e-07f, 3.88628827e-08f,
      1.16179173e-07f, 6.93179118e-07f, 2.77413221e-08f, -3.63723207e-09f,
      1.05356747e-07f, 2.77413221e-08f, 1.02609511e-06f, -1.08769811e-08f,
      3.88628827e-08f, -3.63723207e-09f, -1.08769811e-08f, 8.6330779e-08f},
     3.0f},
    {{212.883698f, 4514.71191f, 107.77076f, 307.580231f},
     {0.000292421115f, 4.43677607e-07f, -5.69966105e-05f, -2.18124705e-06f,
      4.43677607e-07f, 5.98954955e-07f, -3.59798435e-07f, 5.71638168e-07f,
      -5.69966105e-05f, -3.59798435e-07f, 0.000768937869f, 2.22278504e-05f,
      -2.18124705e-06f, 5.71638168e-07f, 2.22278504e-05f, 5.72770077e-05f},
     3.5f},
};

/* Model 2 describes handshakes whose first client burst is large. */
constexpr uint32_t model2_min_client_bytes = 516;
/* What an outer TLS 1.3 record adds to the bytes it carries: its 5-byte
 * header, the inner content type and the 16-byte tag. */
constexpr uint32_t outer_record_overhead = 22;
constexpr uint8_t CCS_CLIENT = 0x02, CCS_SERVER = 0x04;

enum step { DONE, MORE, DETECTED };

void count(tls_burst_tracker &t, int burst, uint32_t size)
{
    t.bytes[burst] += size;
    t.packets[burst]++;
}

void restart(tls_burst_tracker &t, uint32_t size)
{
    memset(&t, 0, sizeof(t));
    t.state = 1;
    t.bytes[0] = size;
    t.packets[0] = 1;
}

void detected(oxlo_module *m, oxlo_flow_state *f)
{
    const uint16_t app = oxlo_flow_app_protocol(f), master = oxlo_flow_master_protocol(f);
    const char *text;
    if (app) {
        oxlo_flow_set_protocol(m, f, app, master, OXLO_CONFIDENCE_DPI_AGGRESSIVE);
        text = (app == OXLO_PROTOCOL_TLS || master == OXLO_PROTOCOL_TLS) ? "Obfuscated TLS-in-TLS traffic"
                                                                         : "Obfuscated TLS-in-HTTP-WebSocket traffic";
    } else {
        oxlo_flow_set_protocol(m, f, OXLO_PROTOCOL_TLS, OXLO_PROTOCOL_UNKNOWN, OXLO_CONFIDENCE_DPI_AGGRESSIVE);
        text = "Obfuscated TLS traffic";
    }
    oxlo_dissector_risk_text(m, f, OXLO_OBFUSCATED_TRAFFIC, text);
    oxlo_flow_fill_category(m, f);
}

/* A client burst of more than 3 packets is no client hello, and a server
 * flight smaller than the client's first burst carries no certificate chain:
 * every model describes full handshakes, whose server flight is the larger.
 * Other exchanges of handshake-like sizes fail that test (an SSH key
 * exchange, whose client key-exchange offer outweighs the server's). The
 * tracker then starts over with this packet as the first of a new one. */
step evaluate(tls_burst_tracker &t, uint32_t size)
{
    if (t.packets[0] <= 3 && t.bytes[1] > t.bytes[0] && tls_bursts_match(t.bytes))
        return DETECTED;
    restart(t, size);
    return MORE;
}

step track(tls_burst_tracker &t, bool client, uint32_t size, bool second, const tls_burst_tracker &outer,
           bool outer_tls)
{
    switch (t.state) {
    case 0:
        if (second && outer.state != 3)
            return MORE;
        /* Inside TLS the server's session tickets follow the outer
         * handshake before the client says anything: only a server that
         * speaks first on a flow of its own ends the search. */
        if (!client && outer_tls)
            return MORE;
        if (!client)
            return DONE;
        t.state = 1;
        count(t, 0, size);
        return MORE;
    case 1:
        if (client)
            count(t, 0, size);
        else
            t.state = 2, count(t, 1, size);
        return MORE;
    case 2:
        if (client)
            t.state = 3, count(t, 2, size);
        else
            count(t, 1, size);
        return MORE;
    case 3:
        if (client)
            count(t, 2, size);
        else
            t.state = 4, count(t, 3, size);
        return MORE;
    case 4:
        if (!client) {
            count(t, 3, size);
            return MORE;
        }
        t.state = 5;
        return evaluate(t, size);
    default:
        return evaluate(t, size);
    }
}

/* The heuristic is over: the TLS dissector has nothing left to do here. */
int finish(oxlo_module *m, oxlo_flow_state *f)
{
    OXLO_EXCLUDE_OTHER(m, f, OXLO_PROTOCOL_TLS);
    return 0;
}

} // namespace

extern "C" {

int tls_bursts_match(const uint32_t bytes[4])
{
    for (int i = 0; i < 3; i++) {
        if (i == 1 && bytes[0] <= model2_min_client_bytes)
            continue;
        const handshake_model &model = models[i];
        if (oxlo_mahalanobis_distance(bytes, 4, model.mean, model.inverse_covariance) < model.threshold)
            return 1;
    }
    return 0;
}

float tls_model_distance(int model, const uint32_t bytes[4])
{
    if (model < 0 || model > 2)
        return 0;
    return oxlo_mahalanobis_distance(bytes, 4, models[model].mean, models[model].inverse_covariance);
}

void tls_heuristic_free(oxlo_tls_flow *t)
{
    if (!t)
        return;
    oxlo_heap_free(t->heuristic);
    t->heuristic = nullptr;
}

int tls_obfuscated_heur_search_again(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_tls_flow *t = oxlo_tls_state(m, f, 0);
    tls_heuristic_state *h = t ? t->heuristic : nullptr;
    if (!h)
        return 0;
    /* The sizes counted are those of the bytes each packet brings (not
     * what a dissector kept of the stream before it). */
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    const oxlo_reader &p = pkt.segment;
    if (p.length == 0)
        return 1;
    const uint16_t app = oxlo_flow_app_protocol(f), master = oxlo_flow_master_protocol(f);
    uint32_t size = uint32_t(p.length);
    const bool outer_tls = app == OXLO_PROTOCOL_TLS || master == OXLO_PROTOCOL_TLS;
    if (outer_tls) {
        if (p.length <= 23)
            return finish(m, f);
        /* Until each side's change-cipher-spec the outer handshake is
         * still running: its packets are not the inner exchange. */
        const uint8_t bit = pkt.direction == 0 ? CCS_CLIENT : CCS_SERVER;
        if (!(t->state_flags & bit)) {
            uint8_t first = 0;
            if (oxlo_rd_u8_at(&p, 0, &first) && first == 20)
                t->state_flags |= bit;
            return 1;
        }
        size -= outer_record_overhead;
    }
    if (h->packets > m->cfg.tls_heuristics_max_packets)
        return finish(m, f);
    h->packets++;
    const bool client = pkt.from_client != 0;
    for (int i = 0; i < 2; i++) {
        const step s = track(h->tracker[i], client, size, i == 1, h->tracker[0], outer_tls);
        if (s == DETECTED) {
            detected(m, f);
            return finish(m, f);
        }
        if (s == DONE)
            return finish(m, f);
    }
    return 1;
}

int tls_obfuscated_heur_start(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_tls_flow *t = oxlo_tls_state(m, f, 1);
    if (!t)
        return 0;
    if (!t->heuristic)
        t->heuristic = static_cast<tls_heuristic_state *>(oxlo_heap_calloc(1, sizeof(tls_heuristic_state)));
    else
        memset(t->heuristic, 0, sizeof(*t->heuristic));
    if (!t->heuristic)
        return 0;
    const uint32_t budget = 2u * uint32_t(m->cfg.tls_heuristics_max_packets);
    oxlo_dissector_extra(f, tls_obfuscated_heur_search_again, uint8_t(budget > 255 ? 255 : budget));
    return 1;
}

} // extern "C"
