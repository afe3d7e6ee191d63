/* HTTP/1.x over TCP. A flow is HTTP when a payload starts with a known
 * request method followed by a target and " HTTP/1.x", or with a status line
 * "HTTP/1.x NNN". The dissector follows requests and responses of the flow,
 * keeps URL, host, user agent, server, content types, credentials and file
 * names, sub-classifies the flow from them and raises the web risks. After
 * classification it reads up to 8 more packets. */
#include "oxlo_private.h"
#include "oxlo_hash_filter.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"
#include "protocols/wire_reader.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint16_t P_HTTP = 7, P_BRIX = 26, P_ICECAST = 52, P_OCSP = 63, P_STEAM = 74, P_MS_RPCH = 127,
                   P_HTTP_CONNECT = 130, P_HTTP_PROXY = 131, P_OOKLA = 191, P_WEBDAV = 376, P_HLS = 418;
constexpr uint8_t EXTRA_PACKETS = 8;
constexpr size_t MAX_BLANKS = 2048;

struct method {
    const char *text; /* with its trailing blank */
    uint32_t id;
};

const method methods[] = {
    {"GET ", 2},           {"POST ", 5},         {"OPTIONS ", 1},       {"HEAD ", 3},         {"PUT ", 6},
    {"PATCH ", 4},         {"DELETE ", 7},       {"CONNECT ", 9},       {"PROPFIND ", 18},    {"PROPPATCH ", 19},
    {"MKCOL ", 13},        {"MOVE ", 14},        {"COPY ", 15},         {"LOCK ", 16},        {"UNLOCK ", 17},
    {"REPORT ", 0},        {"RPC_CONNECT ", 10}, {"RPC_IN_DATA ", 11},  {"RPC_OUT_DATA ", 12},
};

/* Content types and file extensions that carry programs, and types that
 * carry other binary data (IANA media types of executables, archives and
 * opaque data). */
const char *const exe_mime_types[] = {
    "application/x-msdownload", "application/x-dosexec", "application/vnd.microsoft.portable-executable",
    "application/x-ms-installer", "application/x-msi", "application/x-executable", "application/x-elf",
    "application/x-sharedlib", "application/java-archive", "application/vnd.android.package-archive",
    "application/x-sh", "application/x-mach-binary", nullptr};
const char *const binary_mime_types[] = {
    "application/octet-stream", "application/zip", "application/gzip", "application/x-gzip",
    "application/x-tar", "application/x-bzip2", "application/x-xz", "application/x-7z-compressed",
    "application/x-rar-compressed", "application/vnd.rar", nullptr};
const char *const exe_extensions[] = {"exe", "msi", "dll", "scr", "com", "bat", "cmd", "ps1", "vbs",
                                      "apk", "jar", "elf", "sh", nullptr};
/* Update services whose program downloads are expected. */
const char *const update_domains[] = {"windowsupdate.com", "update.microsoft.com", "delivery.mp.microsoft.com",
                                      "windowsupdate.microsoft.com", nullptr};

/* Text comparisons on top of the bounded reads: the bytes compared are
 * taken only when all of them lie inside the range. */
char lower(uint8_t c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); }

bool wire_match(const oxlo_wire *w, size_t offset, const char *text, bool nocase)
{
    const size_t n = strlen(text);
    const uint8_t *b = oxlo_wire_bytes(w, offset, n);
    if (!b)
        return false;
    for (size_t i = 0; i < n; i++)
        if (nocase ? lower(b[i]) != lower(uint8_t(text[i])) : b[i] != uint8_t(text[i]))
            return false;
    return true;
}

ptrdiff_t wire_find(const oxlo_wire *w, size_t offset, const char *text, bool nocase)
{
    const size_t n = strlen(text);
    for (size_t i = offset; n > 0 && oxlo_wire_has(w, i, n); i++)
        if (wire_match(w, i, text, nocase))
            return ptrdiff_t(i);
    return -1;
}

/* A line or header value of the current payload. */
struct view {
    const uint8_t *p = nullptr;
    size_t n = 0;
    view() = default;
    view(const uint8_t *ptr, size_t len) : p(ptr), n(ptr ? len : 0) {}
    explicit view(const oxlo_payload_line &l) : p(l.ptr), n(l.ptr ? l.len : 0) {}
    bool empty() const { return n == 0; }
    oxlo_wire reader() const { return oxlo_wire_make(p, n); }
    bool starts(const char *t, bool nocase = false) const
    {
        oxlo_wire r = reader();
        return wire_match(&r, 0, t, nocase);
    }
    bool contains(const char *t, bool nocase = false) const
    {
        oxlo_wire r = reader();
        return wire_find(&r, 0, t, nocase) >= 0;
    }
    bool ends(const char *t) const
    {
        const size_t k = strlen(t);
        oxlo_wire r = reader();
        return k <= n && wire_match(&r, n - k, t, false);
    }
    view from(size_t off) const { return off <= n ? view(p + off, n - off) : view(); }
    view upto(size_t len) const { return view(p, len < n ? len : n); }
    std::string str() const { return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string(); }
};

oxlo_packet_state *packet(oxlo_module *m) { return &m->det.packet; }

auto &http(oxlo_flow_state *f) { return f->proto.http; }
const auto &http(const oxlo_flow_state *f) { return f->proto.http; }

void set_text(char **slot, const view &v)
{
    if (*slot)
        return;
    *slot = oxlo_copy_bytes_as_string(v.p, v.n);
}

void raise(oxlo_module *m, oxlo_flow_state *f, int risk, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void raise(oxlo_module *m, oxlo_flow_state *f, int risk, const char *format, ...)
{
    char msg[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(msg, sizeof(msg), format, ap);
    va_end(ap);
    oxlo_flow_risk_raise(m, f, risk, msg);
}

void exclude(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_proto_defaults *p = oxlo_proto_defaults_get(m, P_HTTP);
    if (p && p->dissector_index != OXLO_NO_DISSECTOR)
        oxlo_flow_skip_dissector(m, f, p->dissector_index, __FILE__, __func__, __LINE__);
}

const method *request_method(const view &payload)
{
    static const char first_letters[] = "CDGHLMOPRU";
    if (payload.empty() || !strchr(first_letters, toupper(payload.p[0])))
        return nullptr;
    for (const method &mt : methods)
        if (payload.starts(mt.text, true))
            return &mt;
    return nullptr;
}

size_t request_start(const view &payload, const method **which)
{
    const method *mt = request_method(payload);
    if (!mt)
        return 0;
    size_t off = strlen(mt->text);
    for (size_t blanks = 0; off < payload.n && payload.p[off] == ' ' && blanks < MAX_BLANKS; blanks++)
        off++;
    if (payload.from(off).starts("rtsp://", true))
        return 0;
    if (which)
        *which = mt;
    return off;
}

bool status_line(const view &payload) { return payload.n >= 7 && payload.starts("HTTP/1."); }

uint16_t response_code(const view &payload)
{
    oxlo_wire r = payload.reader();
    unsigned code = 0;
    for (size_t i = 9; i < 12; i++) {
        uint8_t c;
        if (!oxlo_wire_u8(&r, i, &c) || !isdigit(c))
            return 0;
        code = code * 10 + unsigned(c - '0');
    }
    return code >= 100 && code <= 509 ? uint16_t(code) : 0;
}

bool code_2xx(const oxlo_flow_state *f) { return http(f).response_code >= 200 && http(f).response_code < 300; }

void reset_state(oxlo_flow_state *f)
{
    auto &h = http(f);
    const uint8_t conversation = h.conversation, repeated = h.repeated, dir = h.request_direction;
    oxlo_http_flow_release(f);
    h.method = 0;
    h.response_code = 0;
    h.http11 = 0;
    h.websocket = h.form_urlencoded = h.second_message = 0;
    h.conversation = conversation;
    h.repeated = repeated;
    h.request_direction = dir;
}

void count_repeat(oxlo_flow_state *f)
{
    if (http(f).repeated < 2)
        http(f).repeated++;
}

void store_protocol(oxlo_module *m, oxlo_flow_state *f, uint16_t app)
{
    if (f->master)
        return;
    if (f->app != app)
        oxlo_protocol_stack_clear(&f->stack);
    oxlo_flow_set_protocol(m, f, app, 0, OXLO_CONFIDENCE_DPI);
}

void start_extra(oxlo_flow_state *f);

/* ---- header steps ---------------------------------------------------------- */

bool dotted_ipv4(const view &v, uint32_t *address)
{
    std::string s = v.str();
    const size_t colon = s.find(':');
    if (colon != std::string::npos)
        s.resize(colon);
    unsigned a, b, c, d;
    char tail;
    if (sscanf(s.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    if (address)
        *address = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

void url_step(oxlo_module *m, oxlo_flow_state *f, const view &target, const view &host)
{
    auto &h = http(f);
    if (h.url || target.empty() || host.empty())
        return;
    if (isdigit(host.p[0]) && host.n <= 20 && dotted_ipv4(host, nullptr))
        raise(m, f, OXLO_NUMERIC_IP_HOST, "Found host %s", host.str().c_str());
    std::string url;
    if (target.starts("http://", true) || f->app == P_HTTP_CONNECT)
        url = target.str();
    else
        url = host.str() + target.str();
    h.url = oxlo_heap_strdup(url.c_str());
    const std::string path = target.str();
    if (url.find("<php>") != std::string::npos)
        raise(m, f, OXLO_URL_POSSIBLE_RCE_INJECTION, "PHP code in URL [%s]", url.c_str());
    else if (path.compare(0, 7, "/shell?") == 0)
        raise(m, f, OXLO_URL_POSSIBLE_RCE_INJECTION, "Possible WebShell detected [%s]", url.c_str());
    else if (path.compare(0, 2, "/.") == 0)
        raise(m, f, OXLO_POSSIBLE_EXPLOIT, "URL starting with dot [%s]", url.c_str());
    else
        oxlo_url_attack_check(m, f, path.c_str());
}

/* "%u.%u.%u" from up to 15 digits and dots; true when below the version. */
bool version_below(const view &v, unsigned major, unsigned minor, unsigned patch)
{
    char text[16];
    size_t n = 0;
    while (n < v.n && n < 15 && (isdigit(v.p[n]) || v.p[n] == '.')) {
        text[n] = char(v.p[n]);
        n++;
    }
    text[n] = '\0';
    unsigned a = 0, b = 0, c = 0;
    if (sscanf(text, "%u.%u.%u", &a, &b, &c) < 1)
        return false;
    if (a != major)
        return a < major;
    if (b != minor)
        return b < minor;
    return c < patch;
}

void server_step(oxlo_module *m, oxlo_flow_state *f, const view &server)
{
    if (server.n <= 7)
        return;
    if (server.starts("Apache/") && version_below(server.from(7), 2, 4, 0))
        raise(m, f, OXLO_HTTP_OBSOLETE_SERVER, "Obsolete Apache server %s", server.str().c_str());
    else if (server.starts("nginx/") && version_below(server.from(6), 1, 22, 0))
        raise(m, f, OXLO_HTTP_OBSOLETE_SERVER, "Obsolete nginx server %s", server.str().c_str());
    for (size_t i = 0; i < server.n; i++)
        if (server.p[i] < 0x20 || server.p[i] > 0x7E) {
            raise(m, f, OXLO_HTTP_SUSPICIOUS_HEADER, "Suspicious Agent [%.*s]", int(server.n > 64 ? 64 : server.n),
                  reinterpret_cast<const char *>(server.p));
            break;
        }
}

std::string windows_name(const std::string &token)
{
    static const char *const names[][2] = {
        {"Windows NT 5.0", "Windows 2000"}, {"Windows NT 5.1", "Windows XP"},
        {"Windows NT 5.2", "Windows Server 2003"}, {"Windows NT 6.0", "Windows Vista"},
        {"Windows NT 6.1", "Windows 7"}, {"Windows NT 6.2", "Windows 8"}, {"Windows NT 6.3", "Windows 8.1"},
        {"Windows NT 10.0", "Windows 10"}, {"Windows NT 11.0", "Windows 11"}};
    for (const auto &n : names)
        if (token == n[0])
            return n[1];
    return token;
}

std::string trim(const std::string &s)
{
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos)
        return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

/* The platform token of a "Mozilla/5.0 (...)" agent. */
std::string agent_os(const view &ua)
{
    const std::string s = ua.str();
    const size_t open = s.find('('), close = s.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos)
        return "";
    std::string list = s.substr(open + 1, close - open - 1);
    size_t pos = 0;
    int stage = 0;
    while (pos <= list.size()) {
        const size_t semi = list.find(';', pos);
        const std::string token = trim(list.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos));
        pos = semi == std::string::npos ? list.size() + 1 : semi + 1;
        if (token.empty())
            continue;
        if (token == "X11" || token == "compatible" || token == "Linux" || token == "Macintosh")
            continue;
        if (stage < 1 && (token == "U" || token.compare(0, 4, "MSIE") == 0)) {
            stage = 1;
            continue;
        }
        if (stage < 2 && token.compare(0, 6, "Update") == 0) {
            stage = 2;
            continue;
        }
        if (stage < 3 && (token == "AOL" || token.compare(0, 4, "AOL ") == 0)) {
            stage = 3;
            continue;
        }
        return windows_name(token);
    }
    return "";
}

bool all_letters_shouting(const view &ua)
{
    size_t upper = 0;
    for (size_t i = 0; i < ua.n; i++) {
        if (!isalpha(ua.p[i]))
            return false;
        upper += isupper(ua.p[i]) ? 1 : 0;
    }
    return ua.n > 12 && upper * 5 >= ua.n;
}

bool url_in_agent(const view &ua)
{
    oxlo_wire r = ua.reader();
    for (ptrdiff_t at = wire_find(&r, 0, "://", false); at >= 0; at = wire_find(&r, size_t(at) + 1, "://", false))
        if (at == 0 || (ua.p[at - 1] != 'p' && ua.p[at - 1] != 's'))
            return true;
    return false;
}

void user_agent_step(oxlo_module *m, oxlo_flow_state *f, const view &ua)
{
    if (ua.empty())
        return;
    if (!f->user_agent) {
        oxlo_flow_store_user_agent(f, reinterpret_cast<const char *>(ua.p), ua.n);
        oxlo_flow_risk_clear(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT);
    }
    if (ua.n <= 7)
        return;
    if (ua.starts("Mozilla") && !http(f).os) {
        const std::string os = agent_os(ua);
        if (!os.empty())
            http(f).os = oxlo_heap_strdup(os.c_str());
    }
    const std::string agent = ua.str();
    if (all_letters_shouting(ua) || ua.starts("<?") || ua.contains("$") || url_in_agent(ua))
        oxlo_flow_risk_raise(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, agent.c_str());
    if (ua.starts("jndi:ldap://"))
        oxlo_flow_risk_raise(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious Log4J");
    else if (ua.n < 4 || ua.n > 256 || ua.starts("test") || ua.contains("{") || ua.contains("}"))
        oxlo_flow_risk_raise(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Suspicious Log4J");
    if (ua.contains("+http:") || ua.contains(" http:") || ua.contains("Crawler") || ua.contains("Bot"))
        oxlo_flow_risk_raise(m, f, OXLO_HTTP_CRAWLER_BOT, agent.c_str());
}

/* The quoted value of name="..." in a Digest credential line. */
view digest_param(const view &v, const char *name)
{
    oxlo_wire r = v.reader();
    const ptrdiff_t at = wire_find(&r, 0, name, true);
    if (at < 0)
        return view();
    size_t i = size_t(at) + strlen(name);
    if (i < v.n && v.p[i] == '"')
        i++;
    size_t end = i;
    while (end < v.n && v.p[end] != '"' && v.p[end] != ',')
        end++;
    return view(v.p + i, end - i);
}

void credentials_step(oxlo_module *m, oxlo_flow_state *f, const view &auth)
{
    auto &h = http(f);
    const module_config &c = m->cfg;
    if (auth.empty() || (!c.http_req_username && !c.http_req_password) || h.username || h.password)
        return;
    if (auth.starts("Basic", true)) {
        view rest = auth.from(5);
        while (!rest.empty() && rest.p[0] == ' ')
            rest = rest.from(1);
        size_t len = 0;
        uint8_t *plain = oxlo_decode_base64(reinterpret_cast<const char *>(rest.p), rest.n, &len);
        if (!plain)
            return;
        const view pair(plain, len);
        const void *colon = memchr(plain, ':', len);
        const size_t user_len = colon ? size_t(static_cast<const uint8_t *>(colon) - plain) : len;
        if (c.http_req_username)
            set_text(&h.username, pair.upto(user_len));
        if (c.http_req_password && colon)
            set_text(&h.password, pair.from(user_len + 1));
        oxlo_heap_free(plain);
    } else if (auth.starts("Digest", true)) {
        if (c.http_req_username)
            set_text(&h.username, digest_param(auth, "username="));
    } else {
        return;
    }
    oxlo_flow_risk_raise(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found credentials in HTTP Auth Line");
}

bool in_table(const std::string &value, const char *const *table)
{
    for (const char *const *t = table; *t; t++)
        if (strcasecmp(value.c_str(), *t) == 0)
            return true;
    return false;
}

const char *attempt(const oxlo_flow_state *f) { return code_2xx(f) ? "" : " (attempt)"; }

bool update_service_host(const oxlo_flow_state *f)
{
    for (const char *const *d = update_domains; *d; d++) {
        const size_t n = strlen(f->host_name), k = strlen(*d);
        if (n >= k && strcmp(f->host_name + n - k, *d) == 0 && (n == k || f->host_name[n - k - 1] == '.'))
            return true;
    }
    return false;
}

void binary_transfer(oxlo_module *m, oxlo_flow_state *f, const char *what)
{
    if (update_service_host(f))
        return;
    raise(m, f, OXLO_BINARY_APPLICATION_TRANSFER, "%s%s", what, attempt(f));
}

void filename_step(oxlo_module *m, oxlo_flow_state *f, const view &disposition)
{
    auto &h = http(f);
    oxlo_wire r = disposition.reader();
    const ptrdiff_t at = wire_find(&r, 0, "attachment; filename", true);
    if (at < 0 || h.filename)
        return;
    view name = disposition.from(size_t(at) + 20);
    while (!name.empty() && (name.p[0] == '=' || name.p[0] == ' ' || name.p[0] == '"'))
        name = name.from(1);
    while (!name.empty() && (name.p[name.n - 1] == '"' || name.p[name.n - 1] == ' '))
        name = name.upto(name.n - 1);
    if (name.empty())
        return;
    set_text(&h.filename, name);
    const char *dot = strrchr(h.filename, '.');
    char text[160];
    if (dot && in_table(dot + 1, exe_extensions)) {
        snprintf(text, sizeof(text), "Found file extn %s", dot + 1);
        binary_transfer(m, f, text);
    } else {
        raise(m, f, OXLO_BINARY_DATA_TRANSFER, "File download %s%s", h.filename, attempt(f));
    }
}

void content_type_step(oxlo_module *m, oxlo_flow_state *f, const view &type, const view &disposition,
                       bool response)
{
    auto &h = http(f);
    if (type.empty())
        return;
    if (!response) {
        if (m->cfg.http_req_content_type)
            set_text(&h.request_content_type, type);
        if (type.contains("x-www-form-urlencoded", true))
            h.form_urlencoded = 1;
        return;
    }
    if (m->cfg.http_resp_content_type)
        set_text(&h.response_content_type, type);
    const std::string t = type.str();
    const size_t slash = t.find('/');
    if (slash != std::string::npos && t.compare(slash + 1, 4, "mpeg") == 0)
        f->category = OXLO_CATEGORY_STREAMING;
    char text[160];
    if (in_table(t, exe_mime_types)) {
        snprintf(text, sizeof(text), "Found mime exe %.120s", t.c_str());
        binary_transfer(m, f, text);
    } else if (in_table(t, binary_mime_types)) {
        raise(m, f, OXLO_BINARY_DATA_TRANSFER, "Found binary mime %.120s%s", t.c_str(), attempt(f));
    }
    filename_step(m, f, disposition);
    if (t.compare(0, 6, "audio/") == 0 || t.compare(0, 6, "video/") == 0)
        f->category = OXLO_CATEGORY_MEDIA;
}

bool host_chars_valid(const char *h)
{
    for (; *h; h++)
        if (!isalnum(static_cast<unsigned char>(*h)) && !strchr("-._:[]", *h))
            return false;
    return true;
}

/* An address given as the host, IPv6 ones in brackets too. */
bool host_is_address(const char *h)
{
    if (oxlo_is_ip_literal(h))
        return true;
    const size_t n = strlen(h);
    if (n < 3 || h[0] != '[' || h[n - 1] != ']' || n - 2 >= 64)
        return false;
    char inner[64];
    memcpy(inner, h + 1, n - 2);
    inner[n - 2] = '\0';
    return oxlo_is_ip_literal(inner) != 0;
}

/* With DNS tracking on, a name no DNS answer gave for this server. */
void unresolved_host_check(oxlo_module *m, oxlo_flow_state *f)
{
    if (!m->cfg.hostname_dns_check || !f->host_name[0] || host_is_address(f->host_name))
        return;
    if (!oxlo_dns_resolution_found(m, f->server_address, f->host_name))
        oxlo_flow_risk_raise(m, f, OXLO_UNRESOLVED_HOSTNAME, f->host_name);
}

void host_step(oxlo_module *m, oxlo_flow_state *f, const view &host)
{
    if (host.empty())
        return;
    if (m->cfg.http_req_host) {
        const void *colon = memchr(host.p, ':', host.n);
        set_text(&http(f).host, colon ? host.upto(size_t(static_cast<const uint8_t *>(colon) - host.p)) : host);
    }
    oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(host.p), host.n,
                              OXLO_HOST_LOWER | OXLO_HOST_PRINTABLE | OXLO_HOST_STRIP_SPACES | OXLO_HOST_STRIP_PORT);
    if (!host_chars_valid(f->host_name)) {
        raise(m, f, OXLO_INVALID_CHARACTERS, "Invalid host %s", f->host_name);
        raise(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious hostname [%.*s]: attack ?", int(host.n > 64 ? 64 : host.n),
              reinterpret_cast<const char *>(host.p));
    }
    unresolved_host_check(m, f);
    uint32_t address = 0;
    if (!(f->flags_a & OXLO_FLOW_IPV6) && dotted_ipv4(host, &address)) {
        const uint8_t *s = f->server_address;
        const uint32_t server = (uint32_t(s[0]) << 24) | (uint32_t(s[1]) << 16) | (uint32_t(s[2]) << 8) | s[3];
        if (server != address) {
            char expected[20];
            snprintf(expected, sizeof(expected), "%u.%u.%u.%u", s[0], s[1], s[2], s[3]);
            raise(m, f, OXLO_HTTP_SUSPICIOUS_HEADER, "Expected %s, found %s", expected, f->host_name);
        }
    }
    if (!m->cfg.http_subclassification)
        oxlo_host_name_dga_test(m, f, f->host_name, 1, 1, 0);
}

void sub_classify(oxlo_module *m, oxlo_flow_state *f, uint16_t id)
{
    const uint16_t master = f->master ? f->master
                            : (f->app == P_HTTP_CONNECT || f->app == P_HTTP_PROXY) ? f->app
                                                                                      : P_HTTP;
    if (f->app == id)
        return;
    oxlo_flow_set_protocol(m, f, id, master, OXLO_CONFIDENCE_DPI);
}

void subclassification_step(oxlo_module *m, oxlo_flow_state *f, const oxlo_line_table &t, const view &payload)
{
    const view server(t.server), type(t.content_type), ua(t.user_agent), origin(t.origin);
    const uint32_t method = http(f).method;
    if (server.starts("corvane "))
        sub_classify(m, f, P_BRIX);
    else if (server.starts("Icecast")) {
        sub_classify(m, f, P_ICECAST);
        oxlo_flow_risk_clear(m, f, OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT);
    } else if (type.starts("application/ocsp-"))
        sub_classify(m, f, P_OCSP);
    else if (type.starts("application/vnd.apple.mpegurl") || type.starts("application/x-mpegURL") ||
             type.starts("application/x-mpegurl"))
        sub_classify(m, f, P_HLS);
    else if (method >= 10 && method <= 12)
        sub_classify(m, f, P_MS_RPCH);
    else if (method >= 13 && method <= 19)
        sub_classify(m, f, P_WEBDAV);
    if (!f->master) {
        if (f->host_name[0])
            oxlo_host_name_classify(m, f, P_HTTP, f->host_name, strlen(f->host_name));
        if (!f->master && !origin.empty()) {
            view o = origin;
            if (o.starts("http://", true))
                o = o.from(7);
            else if (o.starts("https://", true))
                o = o.from(8);
            const std::string name = o.str();
            oxlo_host_name_classify(m, f, P_HTTP, name.c_str(), strcspn(name.c_str(), ":/"));
        }
    }
    if (!f->master) {
        const char *url = http(f).url;
        if (url && (strstr(url, ":8080/downloading?n=0.") || strstr(url, ":8080/upload?n=0.")))
            sub_classify(m, f, P_OOKLA);
        else if (payload.starts("<policy-file-request/>"))
            sub_classify(m, f, P_OOKLA);
        else if (ua.contains("MSRPC"))
            sub_classify(m, f, P_MS_RPCH);
        else if (ua.contains("Valve/Steam HTTP Client"))
            sub_classify(m, f, P_STEAM);
    }
    if (f->host_name[0])
        oxlo_host_name_dga_test(m, f, f->host_name, 1, 1, 0);
}

void form_body_step(oxlo_module *m, oxlo_flow_state *f, const view &payload, const oxlo_line_table &t)
{
    auto &h = http(f);
    if (!f->lines_seen || !h.second_message || !h.form_urlencoded)
        return;
    view body = t.headers_complete ? payload.from(size_t(t.header_end) + 2) : payload;
    size_t pos = 0;
    while (pos < body.n) {
        size_t amp = pos;
        while (amp < body.n && body.p[amp] != '&')
            amp++;
        const view pair = view(body.p + pos, amp - pos);
        const void *eq = memchr(pair.p, '=', pair.n);
        if (eq) {
            const size_t klen = size_t(static_cast<const uint8_t *>(eq) - pair.p);
            const std::string key = pair.upto(klen).str();
            const view value = pair.from(klen + 1);
            if ((key == "user" || key == "username") && m->cfg.http_req_username)
                set_text(&h.username, value);
            else if (key == "pwd" || key == "password") {
                if (m->cfg.http_req_password)
                    set_text(&h.password, value);
                oxlo_flow_risk_raise(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found password");
            }
        }
        pos = amp + 1;
    }
}

void process_headers(oxlo_module *m, oxlo_flow_state *f, bool response)
{
    oxlo_packet_state *pkt = packet(m);
    const oxlo_line_table &t = pkt->lines;
    const view payload(pkt->payload, pkt->payload_length);
    auto &h = http(f);

    const method *mt = nullptr;
    const size_t target_start = response ? 0 : request_start(payload, &mt);
    if (mt) {
        const view line0(t.line[0]);
        const size_t end = line0.n >= 9 && line0.from(line0.n - 9).starts(" HTTP/1.") ? line0.n - 9 : line0.n;
        if (end > target_start)
            url_step(m, f, line0.from(target_start).upto(end - target_start), view(t.host));
        h.method = mt->id;
    }
    const view server(t.server);
    server_step(m, f, server);
    user_agent_step(m, f, view(t.user_agent));
    set_text(&h.forwarded, view(t.forwarded));
    if (view(t.upgrade).starts("websocket", true) && h.response_code == 101)
        h.websocket = 1;
    if (m->cfg.http_resp_server && !server.empty())
        set_text(&h.server, server);
    if (!response)
        credentials_step(m, f, view(t.authorization));
    if (m->cfg.http_req_referer)
        set_text(&h.referer, view(t.referer));
    content_type_step(m, f, view(t.content_type), view(t.content_disposition), response);
    host_step(m, f, view(t.host));
    if (m->cfg.http_subclassification)
        subclassification_step(m, f, t, payload);
    form_body_step(m, f, payload, t);
    if (h.url && f->confidence != OXLO_CONFIDENCE_CUSTOM_RULE &&
        (oxlo_has_suffix(h.url, "/generate_204") || oxlo_has_suffix(h.url, "/generate204")))
        f->category = OXLO_CATEGORY_CONNCHECK;
}

void process_request(oxlo_module *m, oxlo_flow_state *f, const method *mt)
{
    oxlo_packet_state *pkt = packet(m);
    oxlo_parse_payload_lines(m, f);
    const view line0(pkt->lines.line[0]);
    uint16_t app = P_HTTP;
    const size_t start = request_start(view(pkt->payload, pkt->payload_length), nullptr);
    if (line0.n >= 9 && line0.from(line0.n - 9).starts(" HTTP/1.") && isdigit(line0.p[line0.n - 1])) {
        http(f).http11 = line0.p[line0.n - 1] == '1';
        if (line0.from(start).starts("http://", true))
            app = P_HTTP_PROXY;
        else if (mt->id == 9)
            app = P_HTTP_CONNECT;
    }
    store_protocol(m, f, app);
    start_extra(f);
    process_headers(m, f, false);
    if (view(pkt->lines.user_agent).empty())
        oxlo_flow_risk_raise(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Empty or missing User-Agent");
}

void process_response(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_packet_state *pkt = packet(m);
    oxlo_parse_payload_lines(m, f);
    const view payload(pkt->payload, pkt->payload_length);
    auto &h = http(f);
    h.response_code = response_code(payload);
    if (h.response_code >= 400) {
        raise(m, f, OXLO_ERROR_CODE_DETECTED, "HTTP Error Code %u", unsigned(h.response_code));
        const char *url = h.url ? h.url : "";
        const char *path = strchr(url, '/');
        path = path ? path : url;
        if ((h.method == 5 && strstr(url, "/wp-admin/")) || (h.method == 2 && strstr(url, "/wp-content/uploads/")))
            raise(m, f, OXLO_POSSIBLE_EXPLOIT, "Possible Wordpress Exploit [%.200s]", path);
    }
    process_headers(m, f, true);

    oxlo_wire r = payload.reader();
    const ptrdiff_t sep = wire_find(&r, 0, "\r\n\r\n", false);
    const view type(pkt->lines.content_type);
    if (sep >= 0 && (h.form_urlencoded || type.contains("text/") || type.contains("/json"))) {
        const view body = payload.from(size_t(sep) + 4);
        static const uint8_t gzip[4] = {0x1F, 0x8B, 0x08, 0x00};
        if (body.n >= 8 && memcmp(body.p, gzip, 4) != 0) {
            bool odd = false;
            for (size_t i = 4; i < 8; i++)
                odd = odd || !(isprint(body.p[i]) || body.p[i] == '\t' || body.p[i] == '\r' || body.p[i] == '\n');
            if (odd)
                raise(m, f, OXLO_HTTP_SUSPICIOUS_CONTENT, "Susp content %02X%02X%02X%02X", body.p[4], body.p[5],
                      body.p[6], body.p[7]);
        }
        if (m->cfg.compute_entropy && !(f->flags_a & OXLO_FLOW_ENCRYPTED_PROTO) && body.n > 0)
            f->entropy = oxlo_shannon_entropy(body.p, body.n);
    }
    if (oxlo_flow_risk_is_set(f, OXLO_BINARY_APPLICATION_TRANSFER)) {
        if (!f->user_agent)
            oxlo_flow_risk_raise(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Empty or missing User-Agent");
        else if (strncmp(f->user_agent, "Java/", 5) == 0 && h.response_content_type &&
                 strcmp(h.response_content_type, "application/java-vm") == 0)
            oxlo_flow_risk_raise(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious Log4J");
    }
}

/* The first body bytes of a finished exchange that start a program. */
void body_start_check(oxlo_module *m, oxlo_flow_state *f)
{
    const uint8_t *b = f->body_start;
    const uint8_t n = f->body_start_length > 8 ? 8 : f->body_start_length;
    static const uint8_t elf[4] = {0x7F, 'E', 'L', 'F'}, macho[4] = {0xCF, 0xFA, 0xED, 0xFE};
    static const uint8_t dex[8] = {'d', 'e', 'x', '\n', '0', '3', '5', 0};
    const char *what = nullptr;
    if (n >= 2 && b[0] == 'M' && b[1] == 'Z')
        what = "Found DOS/Windows Exe";
    else if ((n == 3 && memcmp(b, "#!/", 3) == 0) || (n >= 4 && memcmp(b, "#!/", 3) == 0))
        what = "Found Unix Script";
    else if (n >= 4 && (memcmp(b, elf, 4) == 0 || memcmp(b, macho, 4) == 0))
        what = "Found Linux Exe";
    else if (n == 8 && memcmp(b, dex, 8) == 0)
        what = "Found Android Exe";
    if (what)
        binary_transfer(m, f, what);
}

void maybe_end_extra(oxlo_module *m, oxlo_flow_state *f)
{
    if (!f->extra_dissection)
        return;
    const auto &h = http(f);
    const bool host = f->host_name[0] != '\0', code = h.response_code != 0;
    const bool known = m->cfg.http_process_response ? (host && code) : (host || code);
    const bool one_sided = f->packets_dir[0] == 0 || f->packets_dir[1] == 0;
    if (!known && !(h.repeated >= 2 && one_sided))
        return;
    f->extra_dissection = nullptr;
    body_start_check(m, f);
}

void examine_fresh(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_packet_state *pkt = packet(m);
    const view payload(pkt->payload, pkt->payload_length);
    const method *mt = nullptr;
    if (request_start(payload, &mt) > 0) {
        http(f).request_direction = pkt->direction;
        process_request(m, f, mt);
        http(f).conversation = uint8_t(1 + pkt->direction);
        return;
    }
    if (!status_line(payload)) {
        exclude(m, f);
        return;
    }
    store_protocol(m, f, P_HTTP);
    start_extra(f);
    process_response(m, f);
    http(f).conversation = uint8_t(3 + pkt->direction);
}

void search(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_packet_state *pkt = packet(m);
    if (f->payload_packets > 20) {
        exclude(m, f);
        return;
    }
    if (!pkt->payload || pkt->payload_length == 0)
        return;
    const view payload(pkt->payload, pkt->payload_length);
    auto &h = http(f);
    const uint8_t dir = pkt->direction;
    const method *mt = nullptr;
    switch (h.conversation) {
    case 0:
        examine_fresh(m, f);
        break;
    case 1:
    case 2:
        if (dir == h.conversation - 1) {
            if (request_start(payload, &mt) > 0) {
                count_repeat(f);
                reset_state(f);
                process_request(m, f, mt);
            } else {
                h.second_message = 1;
                oxlo_parse_payload_lines(m, f);
                process_headers(m, f, false);
            }
        } else if (status_line(payload)) {
            process_response(m, f);
            h.conversation = 0;
        }
        break;
    default:
        if (dir == h.conversation - 3) {
            if (status_line(payload)) {
                count_repeat(f);
                reset_state(f);
                process_response(m, f);
            } else {
                oxlo_parse_payload_lines(m, f);
                process_headers(m, f, true);
            }
        } else {
            reset_state(f);
            h.conversation = 0;
            examine_fresh(m, f);
        }
        break;
    }
    maybe_end_extra(m, f);
}

int extra_dissection(oxlo_module *m, oxlo_flow_state *f)
{
    oxlo_packet_state *pkt = packet(m);
    if (pkt->payload_length == 0 || (pkt->flags & OXLO_PACKET_RETRANSMISSION))
        return 1;
    search(m, f);
    return f->extra_dissection ? 1 : 0;
}

void start_extra(oxlo_flow_state *f)
{
    f->extra_dissection = extra_dissection;
    f->extra_budget = EXTRA_PACKETS;
}

} // namespace

extern "C" {

uint32_t oxlo_http_request_start(oxlo_module *module)
{
    if (!module)
        return 0;
    const oxlo_packet_state *pkt = &module->det.packet;
    return uint32_t(request_start(view(pkt->payload, pkt->payload_length), nullptr));
}

void oxlo_http_flow_release(oxlo_flow_state *flow)
{
    if (!flow)
        return;
    auto &h = flow->proto.http;
    char **owned[] = {&h.url, &h.request_content_type, &h.response_content_type, &h.server, &h.referer,
                      &h.forwarded, &h.host, &h.username, &h.password, &h.os, &h.filename};
    for (char **p : owned) {
        oxlo_heap_free(*p);
        *p = nullptr;
    }
}

void oxlo_search_http_tcp(oxlo_module *module, oxlo_flow_state *flow)
{
    if (module && flow)
        search(module, flow);
}

void init_http_dissector(oxlo_module *module)
{
    oxlo_dissector_add("HTTP", module, oxlo_search_http_tcp,
                       OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION, 1,
                       int(P_HTTP));
}

} // extern "C"
