/* Risks that need the whole flow, checked once when its classification ends
 * (one-way traffic, refused connections, slow handshakes, probing, a protocol
 * off its usual ports or away from its usual servers), and the test for host
 * names that look made by a domain-generation algorithm. */
#include "oxlo_private.h"
#include "oxlo_log.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_risks.h"
#include "oxlo_hosts.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint8_t TH_SYN = 0x02, TH_RST = 0x04, TH_PSH = 0x08;
constexpr uint64_t SLOW_HANDSHAKE_MS = 1500;

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP, P_MDNS = OXLO_PROTOCOL_MDNS, P_SYSLOG = OXLO_PROTOCOL_SYSLOG, P_OUTLOOK = OXLO_PROTOCOL_OUTLOOK, P_POPS = OXLO_PROTOCOL_POPS, P_BRIX = OXLO_PROTOCOL_BRIX,
                   P_SMTPS = OXLO_PROTOCOL_SMTPS, P_DTLS = OXLO_PROTOCOL_DTLS, P_TEAMSCALL = OXLO_PROTOCOL_TEAMSCALL, P_IMAPS = OXLO_PROTOCOL_IMAPS, P_STUN = OXLO_PROTOCOL_STUN, P_RTP = OXLO_PROTOCOL_RTP,
                   P_TLS = OXLO_PROTOCOL_TLS, P_SSH = OXLO_PROTOCOL_SSH, P_FACEBOOK = OXLO_PROTOCOL_FACEBOOK, P_GMAIL = OXLO_PROTOCOL_GMAIL, P_GOOGLEMAPS = OXLO_PROTOCOL_GOOGLEMAPS,
                   P_YOUTUBE = OXLO_PROTOCOL_YOUTUBE, P_GOOGLE = OXLO_PROTOCOL_GOOGLE, P_NETFLOW = OXLO_PROTOCOL_NETFLOW, P_SFLOW = OXLO_PROTOCOL_SFLOW, P_YOUTUBE_UPLOAD = OXLO_PROTOCOL_YOUTUBEUPLOAD,
                   P_APPLE = OXLO_PROTOCOL_APPLE, P_APPLE_ICLOUD = OXLO_PROTOCOL_APPLEICLOUD, P_APPLE_ITUNES = OXLO_PROTOCOL_APPLEITUNES, P_FB_MESSENGER = OXLO_PROTOCOL_FACEBOOKMESSENGER,
                   P_FTP_DATA = OXLO_PROTOCOL_FTP_DATA, P_OOKLA = OXLO_PROTOCOL_OOKLA, P_MICROSOFT = OXLO_PROTOCOL_MICROSOFT, P_MS365 = OXLO_PROTOCOL_MICROSOFT365, P_APPLE_STORE = OXLO_PROTOCOL_APPLESTORE,
                   P_PLAYSTORE = OXLO_PROTOCOL_PLAYSTORE, P_APPLE_PUSH = OXLO_PROTOCOL_APPLEPUSH, P_TEAMS = OXLO_PROTOCOL_TEAMS, P_APPLE_SIRI = OXLO_PROTOCOL_APPLESIRI,
                   P_AMAZON_AWS = OXLO_PROTOCOL_AMAZONAWS, P_FB_VOIP = OXLO_PROTOCOL_FACEBOOKVOIP, P_AZURE = OXLO_PROTOCOL_AZURE, P_GOOGLE_CLOUD = OXLO_PROTOCOL_GOOGLECLOUD,
                   P_COLLECTD = OXLO_PROTOCOL_COLLECTD, P_APPLE_TVPLUS = OXLO_PROTOCOL_APPLETVPLUS, P_FB_REEL_STORY = OXLO_PROTOCOL_FBOOKREELSTORY, P_SONOS = OXLO_PROTOCOL_SONOS,
                   P_AWS_FIRST = OXLO_PROTOCOL_AWS_COGNITO, P_AWS_LAST = OXLO_PROTOCOL_AWS_DYNAMODB, P_AKAMAI = OXLO_PROTOCOL_AKAMAI, P_YOUTUBE_KIDS = OXLO_PROTOCOL_YOUTUBEKIDS, P_IMAP = OXLO_PROTOCOL_IMAP, P_POP3 = OXLO_PROTOCOL_POP3, P_SMTP = OXLO_PROTOCOL_SMTP, P_FTPS = OXLO_PROTOCOL_FTPS, P_FTP_CONTROL = OXLO_PROTOCOL_FTP_CONTROL;

bool flow_has(const oxlo_flow_state *f, uint16_t id) { return f->app == id || f->master == id; }

uint8_t client_direction(const oxlo_flow_state *f) { return (f->flags_a & OXLO_FLOW_CLIENT_DIR) ? 1 : 0; }

bool server_is_group_address(const oxlo_flow_state *f)
{
    const uint8_t *a = f->server_address;
    if (f->flags_a & OXLO_FLOW_IPV6)
        return a[0] == 0xFF;
    return (a[0] >= 224 && a[0] <= 239) || a[3] == 255 || a[3] == 0;
}

/* Returns true when the checks go straight to the fingerprint step. */
bool one_way_traffic(oxlo_module *module, oxlo_flow_state *f)
{
    if (server_is_group_address(f))
        return false;
    if (f->l4_protocol == 17 &&
        (flow_has(f, P_MDNS) || flow_has(f, P_SYSLOG) || flow_has(f, P_RTP) || flow_has(f, P_SONOS)))
        return f->confidence == OXLO_CONFIDENCE_MATCH_BY_PORT || f->confidence == OXLO_CONFIDENCE_MATCH_BY_IP;
    if (flow_has(f, P_NETFLOW) || flow_has(f, P_SFLOW) || flow_has(f, P_COLLECTD))
        return false;
    /* A ping decided on its echo request has had no chance to hear the
     * reply yet: that is not one-way traffic. */
    if ((f->l4_protocol == 1 || f->l4_protocol == 58) && uint32_t(f->packets_dir[0]) + f->packets_dir[1] <= 1)
        return false;
    const uint8_t c = client_direction(f);
    if (f->packets_dir[c] == 0)
        oxlo_flow_risk_raise(module, f, OXLO_UNIDIRECTIONAL_TRAFFIC, "No client to server traffic");
    else if (f->packets_dir[1 - c] == 0)
        oxlo_flow_risk_raise(module, f, OXLO_UNIDIRECTIONAL_TRAFFIC, "No server to client traffic");
    return false;
}

void refused_connection(oxlo_module *module, oxlo_flow_state *f)
{
    const uint8_t d0 = f->tcp->tcp_flags_dir[0], d1 = f->tcp->tcp_flags_dir[1];
    const bool no_payload = f->payload_packets == 0;
    const char *text = nullptr;
    if ((d1 & TH_RST) && !(d0 & TH_SYN) && f->packets_dir[1] == 1)
        text = "Connection refused";
    else if ((d0 & TH_SYN) && (d1 & TH_RST))
        text = no_payload ? "Connection refused (server)" : (f->packets_dir[1] == 1 ? "Connection refused" : nullptr);
    else if ((d0 & TH_SYN) && (d0 & TH_RST) && no_payload)
        text = "Connection refused (client)";
    if (!text)
        return;
    oxlo_flow_risk_raise(module, f, OXLO_TCP_ISSUES, text);
    oxlo_flow_risk_raise(module, f, OXLO_PROBING_ATTEMPT, "TCP probing attempt");
}

/* Both times must exist and be in order: a flow first seen mid-stream has
 * no SYN time, and a subtraction of a later time would wrap. */
void slow_step(oxlo_module *module, oxlo_flow_state *f, uint64_t from, uint64_t to, const char *format)
{
    if (from == 0 || to == 0 || to <= from || to - from <= SLOW_HANDSHAKE_MS)
        return;
    char msg[64];
    snprintf(msg, sizeof(msg), format, double(to - from) / 1000.0);
    oxlo_flow_risk_raise(module, f, OXLO_SLOW_DOS, msg);
}

bool tls_family(uint16_t id) { return id == P_POPS || id == P_SMTPS || id == P_DTLS || id == P_IMAPS || id == P_TLS; }

void probing(oxlo_module *module, oxlo_flow_state *f)
{
    if (!(f->tcp->tcp_flags_dir[0] & TH_PSH) || !(f->tcp->tcp_flags_dir[1] & TH_PSH))
        return;
    if (f->payload_packets_dir[0] != 0 && f->payload_packets_dir[1] != 0)
        return;
    if (f->confidence != OXLO_CONFIDENCE_DPI)
        return;
    if (tls_family(f->app) && oxlo_flow_host(f)[0] == '\0')
        oxlo_flow_risk_raise(module, f, OXLO_PROBING_ATTEMPT, "TLS Probing");
    /* The client banner is the client's first payload: none was sent. */
    else if (f->app == P_SSH && f->payload_packets_dir[client_direction(f)] == 0)
        oxlo_flow_risk_raise(module, f, OXLO_PROBING_ATTEMPT, "SSH Probing");
}

bool port_in_ranges(uint16_t port, const default_port_range *r)
{
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++)
        if (r[i].low != 0 && port >= r[i].low && port <= r[i].high)
            return true;
    return false;
}

/* No ranges, or every range flagged: the protocol has no usual port. */
bool no_usual_port(const default_port_range *r)
{
    for (int i = 0; i < OXLO_DEFAULT_PORT_RANGES; i++)
        if ((r[i].low != 0 || r[i].high != 0) && !r[i].flag)
            return false;
    return true;
}

void non_standard_port(oxlo_module *module, oxlo_flow_state *f)
{
    if (!oxlo_module_risk_enabled(module, OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT))
        return;
    if (f->l4_protocol != 6 && f->l4_protocol != 17)
        return;
    if (f->app == 0 || flow_has(f, P_STUN) || (f->app == P_OOKLA && f->confidence == OXLO_CONFIDENCE_DPI_AGGRESSIVE))
        return;
    const uint16_t cport = oxlo_swap16(f->client_port), sport = oxlo_swap16(f->server_port);
    const oxlo_default_port_node *found = oxlo_default_port_lookup(module, f->l4_protocol, cport, sport);
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, f->master ? f->master : f->app);
    if (!p)
        return;
    const default_port_range *ranges = f->l4_protocol == 6 ? p->tcp_default_ports : p->udp_default_ports;
    if (found && (found->protocol_id == f->app || found->protocol_id == f->master))
        return;
    if (port_in_ranges(sport, ranges) || port_in_ranges(cport, ranges))
        return;
    /* An application on its own registered port is where it belongs, also
     * when that port is another protocol's in the by-port guess and the
     * carrier has other ports (SMBv1 over NetBIOS on 445, which the guess
     * gives to SMBv2/3). */
    if (f->master) {
        const oxlo_proto_defaults *own = oxlo_proto_defaults_get(module, f->app);
        const default_port_range *own_ranges =
            own ? (f->l4_protocol == 6 ? own->tcp_default_ports : own->udp_default_ports) : nullptr;
        if (own_ranges && (port_in_ranges(sport, own_ranges) || port_in_ranges(cport, own_ranges)))
            return;
    }
    if (f->master == P_HTTP && f->app == P_BRIX)
        return;
    if (f->master == P_TLS && found &&
        (found->protocol_id == P_POPS || found->protocol_id == P_SMTPS || found->protocol_id == P_IMAPS))
        return;
    /* A session upgraded by STARTTLS keeps the clear-text protocol's port. */
    if (found && ((f->app == P_IMAPS && found->protocol_id == P_IMAP) ||
                  (f->app == P_POPS && found->protocol_id == P_POP3) ||
                  (f->app == P_SMTPS && found->protocol_id == P_SMTP) ||
                  (f->app == P_FTPS && found->protocol_id == P_FTP_CONTROL)))
        return;
    if (f->app == P_FTP_DATA || no_usual_port(ranges))
        return;
    char text[64];
    oxlo_expected_ports_text(ranges, text, sizeof(text));
    oxlo_flow_risk_raise(module, f, OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT, text);
}

bool one_of(uint16_t id, std::initializer_list<uint16_t> ids)
{
    for (uint16_t x : ids)
        if (x == id)
            return true;
    return false;
}

/* With a guess by address: does the app contradict it? */
bool mismatch_with_guess(uint16_t app, uint16_t guess)
{
    if (one_of(app, {P_GMAIL, P_GOOGLEMAPS, P_YOUTUBE, P_GOOGLE, P_YOUTUBE_UPLOAD, P_PLAYSTORE, P_YOUTUBE_KIDS}))
        return guess != P_GOOGLE_CLOUD;
    if (one_of(app, {P_FACEBOOK, P_FB_MESSENGER, P_FB_VOIP, P_FB_REEL_STORY}))
        return guess != P_FACEBOOK;
    if (one_of(app, {P_APPLE, P_APPLE_ICLOUD, P_APPLE_ITUNES, P_APPLE_STORE, P_APPLE_PUSH, P_APPLE_SIRI,
                     P_APPLE_TVPLUS}))
        return guess != P_APPLE && guess != P_AKAMAI;
    if (one_of(app, {P_OUTLOOK, P_TEAMSCALL, P_MICROSOFT, P_MS365, P_TEAMS}))
        return guess != P_OUTLOOK && guess != P_TEAMS && guess != P_AZURE;
    if (app == P_AMAZON_AWS)
        return guess < P_AWS_FIRST || guess > P_AWS_LAST;
    return false;
}

bool mismatch_without_guess(uint16_t app)
{
    return (app >= P_AWS_FIRST && app <= P_AWS_LAST) ||
           one_of(app, {P_OUTLOOK, P_TEAMSCALL, P_YOUTUBE_KIDS, P_FACEBOOK, P_GMAIL, P_GOOGLEMAPS, P_YOUTUBE,
                        P_GOOGLE, P_YOUTUBE_UPLOAD, P_APPLE, P_APPLE_ICLOUD, P_APPLE_ITUNES, P_FB_MESSENGER,
                        P_MICROSOFT, P_MS365, P_APPLE_STORE, P_PLAYSTORE, P_APPLE_PUSH, P_TEAMS, P_APPLE_SIRI,
                        P_AMAZON_AWS, P_FB_VOIP, P_AZURE, P_APPLE_TVPLUS, P_FB_REEL_STORY});
}

void protocol_address_mismatch(oxlo_module *module, oxlo_flow_state *f)
{
    if (f->app == 0 || oxlo_is_custom_protocol(module, f->app) || f->guess_by_address == f->app)
        return;
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(module, f->app);
    if (!p || !(p->flags & OXLO_PROTO_FLAG_IP_LIST))
        return;
    const bool raise =
        f->guess_by_address ? mismatch_with_guess(f->app, f->guess_by_address) : mismatch_without_guess(f->app);
    if (raise)
        oxlo_flow_risk_raise(module, f, OXLO_MISMATCHING_PROTOCOL_WITH_IP,
                             "Oxlo protocol does not match the server IP address");
}

/* ---- generated host names -------------------------------------------------- */

bool is_vowel(char c) { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'y'; }

bool is_separator(char c) { return strchr(" ()-./:;[]_", c) != nullptr && c != '\0'; }

bool is_dotted_ipv4(const char *s)
{
    int parts = 0, digits = 0;
    for (; *s; s++) {
        if (isdigit(static_cast<unsigned char>(*s))) {
            if (++digits > 3)
                return false;
        } else if (*s == '.' && digits > 0) {
            parts++;
            digits = 0;
        } else {
            return false;
        }
    }
    return digits > 0 && parts == 3;
}

bool has_suffix(const char *text, const char *suffix)
{
    const size_t t = strlen(text), s = strlen(suffix);
    return s <= t && memcmp(text + t - s, suffix, s) == 0;
}

bool letter(char c) { return c >= 'a' && c <= 'z'; }

struct label_score {
    int letters = 0, impossible = 0, common = 0, trigram_tests = 0, trigram_hits = 0, trigram_vowels = 0,
        dashes = 0, first_digit_run = 0;
};

/* Scores one label; false when it holds "--" (not generated). */
bool score_label(const char *w, int len, bool first, label_score *s)
{
    int digit_run = 0, next_trigram = 0;
    bool prev_common = false;
    for (int j = 0; j < len; j++) {
        const char c = w[j];
        if (isdigit(static_cast<unsigned char>(c))) {
            digit_run++;
            if (first && digit_run > s->first_digit_run)
                s->first_digit_run = digit_run;
            prev_common = false;
            continue;
        }
        digit_run = 0;
        if (c == '-') {
            if (j + 1 < len && w[j + 1] == '-')
                return false;
            s->dashes++;
            prev_common = false;
            continue;
        }
        s->letters++;
        const bool pair = j + 1 < len && letter(c) && letter(w[j + 1]);
        if (pair && oxlo_impossible_bigram_test(w + j))
            s->impossible++;
        const bool common = pair && oxlo_common_bigram_test(w + j);
        if (common && !prev_common)
            s->common++;
        prev_common = common;
        if (j >= next_trigram && j + 2 < len && letter(c) && letter(w[j + 1]) && letter(w[j + 2])) {
            s->trigram_tests++;
            s->trigram_vowels += is_vowel(w[j]) + is_vowel(w[j + 1]) + is_vowel(w[j + 2]);
            if (oxlo_trigram_test(w + j)) {
                s->trigram_hits++;
                next_trigram = j + 3;
            }
        }
    }
    return true;
}

int builtin_dga_test(const char *name, int label_count_rule)
{
    if (strncmp(name, "www.", 4) == 0)
        name += 4;
    if (strlen(name) <= 4)
        return 0;
    char buf[128];
    size_t n = 0;
    for (; name[n] && n < sizeof(buf) - 1; n++)
        buf[n] = char(tolower(static_cast<unsigned char>(name[n])));
    buf[n] = '\0';

    int dots = 0, vowels = 0, digits = 0, repeat = 1, max_repeat = 0, stretch = 0, max_stretch = 0;
    bool first_label_digits = true, in_first_label = true;
    for (size_t i = 0; i < n; i++) {
        const char c = buf[i];
        const bool digit = isdigit(static_cast<unsigned char>(c));
        if (c == '.') {
            dots++;
            in_first_label = false;
        } else if (in_first_label && !digit) {
            first_label_digits = false;
        }
        if (digit) {
            digits++;
            if (i + 2 < n && isdigit(static_cast<unsigned char>(buf[i + 1])) && buf[i + 2] == '.' && digits < 4)
                return 0;
        }
        if (is_vowel(c))
            vowels++;
        repeat = (i > 0 && buf[i - 1] == c) ? repeat + 1 : 1;
        if (repeat > max_repeat)
            max_repeat = repeat;
        stretch = is_separator(c) ? 0 : stretch + 1;
        if (stretch > max_stretch)
            max_stretch = stretch;
    }
    if (dots == 0)
        return 0;
    if ((dots > 5 && !first_label_digits && label_count_rule) || max_repeat > 5 ||
        (max_stretch > 18 && (digits > 1 || repeat > 1)))
        return 1;

    label_score s;
    int label = 0;
    for (const char *w = buf; *w && label < 2; label++) {
        const char *dot = strchr(w, '.');
        const int len = dot ? int(dot - w) : int(strlen(w));
        const bool skip = len <= 4 || (len < 10 && len >= 3 && memcmp(w + len - 3, "cdn", 3) == 0);
        if (!skip && !score_label(w, len, label == 0, &s))
            return 0;
        w += len + (dot ? 1 : 0);
        if (!dot)
            break;
    }

    const int L = int(n), D = dots, V = vowels, T = s.trigram_tests, H = s.trigram_hits, VT = s.trigram_vowels,
              I = s.impossible, C = s.common, G = digits, S = s.dashes;
    bool answer;
    if (L <= 16 || D > 2)
        answer = false;
    else if (4 * V >= L - D)
        answer = false;
    else if (T > 2)
        answer = VT < H - 1;
    else
        answer = true;

    bool skip_last = false;
    if (s.letters > 0) {
        if (C == 0 || (G < 6 && I > 1 && (20 * C + 20) / 100 < I) || (G >= 6 && I > 0)) {
            answer = true;
        } else if (T > 2) {
            if (H < T / 2) {
                answer = true;
            } else if (VT < H - 1 && S == 0 && D > 1 && I > 0) {
                answer = true;
                skip_last = true;
            }
        }
    }
    if (!skip_last)
        answer = T < 3 ? (answer && S < 3) : ((answer || V == 0) && S < 3);
    if (s.first_digit_run > 2)
        answer = false;
    return answer ? 1 : 0;
}

} // namespace

extern "C" {

int oxlo_str_has_suffix(const oxlo_module *module, const char *text, const char *suffix)
{
    (void)module;
    if (!text || !suffix)
        return 0;
    return has_suffix(text, suffix) ? 1 : 0;
}

const oxlo_default_port_node *oxlo_default_port_lookup(oxlo_module *module, uint8_t ip_protocol,
                                                       uint16_t client_port, uint16_t server_port)
{
    if (!module || client_port == 0 || server_port == 0)
        return nullptr;
    const oxlo_default_port_node *tree = ip_protocol == 6 ? module->protocols.tcp_ports : module->protocols.udp_ports;
    const oxlo_default_port_node *node = oxlo_default_port_find(tree, server_port);
    if (!node && module->cfg.use_client_port_in_guess)
        node = oxlo_default_port_find(tree, client_port);
    return node;
}

int oxlo_set_dga_callback(oxlo_module *module, oxlo_dga_callback callback)
{
    if (!module)
        return -2;
    module->dga_callback = callback;
    return 0;
}

int oxlo_host_name_dga_test(oxlo_module *module, oxlo_flow_state *flow, const char *name, int label_count_rule,
                            int check_known_hosts, int skip)
{
    if (!name)
        return 0;
    /* The test looks at the registered domain: the labels a CDN or cloud
     * service puts in front of its own domain ("d3k2xq7v9w1m0.cloudfront.net")
     * are chosen by the service, not by a generator on the client. Without a
     * public suffix list the name is tested as given. The message keeps the
     * name as given. */
    const char *full = name;
    if (module) {
        const char *domain = oxlo_host_registered_domain(module, name);
        if (domain && *domain)
            name = domain;
    }
    if (module && module->dga_callback) {
        const int rc = module->dga_callback(name, label_count_rule);
        if (rc && flow)
            oxlo_flow_risk_raise(module, flow, OXLO_SUSPICIOUS_DGA_DOMAIN, full);
        return rc;
    }
    if (name[0] == '\0' || strchr(full, '_') || strchr(name, '-') || has_suffix(name, "in-addr.arpa") ||
        has_suffix(name, "ip6.arpa") || has_suffix(name, ".local") || has_suffix(name, ".lan") ||
        has_suffix(name, ".home"))
        return 0;
    if ((flow && flow->master) || skip)
        return 0;
    if (check_known_hosts && module && module->host_automaton) {
        const size_t len = strlen(name);
        automaton_match match;
        memset(&match, 0, sizeof(match));
        if (automaton_match_core(module->host_automaton, name, uint16_t(len > 0xFFFF ? 0xFFFF : len), &match,
                                 nullptr, nullptr) > 0)
            return 0;
    }
    if (isdigit(static_cast<unsigned char>(name[0])) && is_dotted_ipv4(name))
        return 0;
    const int answer = builtin_dga_test(name, label_count_rule);
    if (answer && flow)
        oxlo_flow_risk_raise(module, flow, OXLO_SUSPICIOUS_DGA_DOMAIN, full);
    return answer;
}

void end_of_detection_risks(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return;
    flow->flags_b |= OXLO_FLOW_EOD_DONE;
    /* A TCP flow's block holds its flags and handshake times; a flow
     * without one has seen no TCP packet. */
    const oxlo_flow_tcp *t = flow->l4_protocol == 6 ? flow->tcp : nullptr;
    if (!one_way_traffic(module, flow) && t) {
        refused_connection(module, flow);
        slow_step(module, flow, t->syn_ms, t->synack_ms, "Slow TCP 3WH (SYN_ACK): %.1f sec");
        slow_step(module, flow, t->synack_ms, t->first_ack_ms, "Slow TCP 3WH (ACK): %.1f sec");
        probing(module, flow);
    }
    /* A guess by port or address says nothing a fingerprint could match. */
    if (flow->confidence != OXLO_CONFIDENCE_MATCH_BY_PORT && flow->confidence != OXLO_CONFIDENCE_MATCH_BY_IP)
        oxlo_flow_fingerprint_compute(module, flow);
    non_standard_port(module, flow);
    protocol_address_mismatch(module, flow);
    if (flow->state == OXLO_STATE_FINISHED)
        oxlo_log(module, OXLO_LOG_WARNING, "Already classified!\n");
    if (flow->state != OXLO_STATE_MONITORING)
        flow->state = OXLO_STATE_FINISHED;
}

} // extern "C"
