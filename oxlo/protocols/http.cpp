/* HTTP/1.x over TCP. A flow is HTTP when a payload starts with a known
 * request method followed by a target and " HTTP/1.x", or with a status line
 * "HTTP/1.x NNN". The dissector follows requests and responses of the flow,
 * keeps URL, host, user agent, server, content types, credentials and file
 * names, sub-classifies the flow from them and raises the web risks. After
 * classification it reads up to 8 more packets. */
#include "oxlo_flow_json.h"
#include "oxlo_private.h"
#include "oxlo_dissector_slots.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"
#include "oxlo_hash_filter.h"
#include "protocols/http_private.h"
#include "protocols/tls/tls_private.h"
#include "oxlo_risks.h"
#include "oxlo_utils.h"
#include "oxlo_dissector.h"
#include "oxlo_hosts.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t P_HTTP = OXLO_PROTOCOL_HTTP, P_BRIX = OXLO_PROTOCOL_BRIX, P_ICECAST = OXLO_PROTOCOL_ICECAST, P_OCSP = OXLO_PROTOCOL_OCSP, P_STEAM = OXLO_PROTOCOL_STEAM, P_MS_RPCH = OXLO_PROTOCOL_MS_RPCH,
                   P_HTTP_CONNECT = OXLO_PROTOCOL_HTTP_CONNECT, P_HTTP_PROXY = OXLO_PROTOCOL_HTTP_PROXY, P_OOKLA = OXLO_PROTOCOL_OOKLA, P_WEBDAV = OXLO_PROTOCOL_WEBDAV, P_HLS = OXLO_PROTOCOL_HLS;
constexpr uint8_t EXTRA_PACKETS = 8;
constexpr size_t MAX_BLANKS = 2048;
/* The longest request header block read whole (what common servers accept). */
constexpr size_t REQUEST_MAX = 65535;

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

/* Payload text is read through the shared bounded reader; these helpers
 * only let a range be tested where it is made. */
using view = oxlo_reader;

view line_view(const oxlo_payload_line &l) { return oxlo_reader_make(l.ptr, l.ptr ? l.len : 0); }
view no_view() { return oxlo_reader_make(nullptr, 0); }
bool empty(const view &v) { return v.length == 0; }
bool starts(const view &v, const char *t, bool nocase = false) { return oxlo_rd_match(&v, 0, t, nocase); }
bool contains(const view &v, const char *t, bool nocase = false) { return oxlo_rd_contains(&v, t, nocase); }
view from(const view &v, size_t off) { return oxlo_rd_from(&v, off); }
view upto(const view &v, size_t n) { return oxlo_rd_upto(&v, n); }
const char *chars(const view &v) { return reinterpret_cast<const char *>(v.data); }
int text_length(const view &v, size_t max) { return int(v.length > max ? max : v.length); }

/* The packet's own payload as it came (the line parser's default input). */
const uint8_t *packet_bytes(oxlo_module *m, oxlo_flow_state *f) { return oxlo_dissector_packet(m, f).segment.data; }
const oxlo_line_table &lines_of(oxlo_module *m) { return *oxlo_dissector_lines(m, nullptr); }

void release_texts(http_state *h)
{
    char **owned[] = {&h->url, &h->request_content_type, &h->response_content_type, &h->server, &h->referer,
                      &h->forwarded, &h->host, &h->username, &h->password, &h->os, &h->filename,
                      &h->waiting_host};
    for (char **p : owned) {
        oxlo_heap_free(*p);
        *p = nullptr;
    }
}

} // namespace

void oxlo_http_state_release(void *state) { release_texts(static_cast<http_state *>(state)); }

namespace {

const http_state *find_state(const oxlo_flow_state *f)
{
    static const http_state empty = {};
    const void *h = f ? oxlo_flow_slot_state(f, OXLO_DISSECTOR_http) : nullptr;
    return h ? static_cast<const http_state *>(h) : &empty;
}

/* The search entry creates the state before anything below runs; without
 * memory the flow is dropped there, so the scratch copy is only a guard. */
http_state &http(oxlo_flow_state *f)
{
    void *h = oxlo_flow_slot_state(f, OXLO_DISSECTOR_http);
    if (h)
        return *static_cast<http_state *>(h);
    static thread_local http_state scratch;
    scratch = http_state{};
    return scratch;
}
const http_state &http(const oxlo_flow_state *f) { return *find_state(f); }

/* Asks the stream for the view to hold `total` bytes; 0 when it will. */
int ask_for(oxlo_module *m, oxlo_flow_state *f, size_t total)
{
    const int rc = oxlo_dissector_need(m, f, total);
    if (rc == 0)
        http(f).asked = 1;
    return rc;
}

void set_text(char **slot, const view &v)
{
    if (*slot)
        return;
    *slot = oxlo_copy_bytes_as_string(v.data, v.length);
}

/* HTTP also runs as a follow-up reader, when the dispatch's current
 * dissector is another one: exclusion names HTTP's own index. */
void exclude(oxlo_module *m, oxlo_flow_state *f)
{
    OXLO_EXCLUDE_OTHER(m, f, P_HTTP);
}

const method *request_method(const view &payload)
{
    static const char first_letters[] = "CDGHLMOPRU";
    if (empty(payload) || !strchr(first_letters, toupper(oxlo_rd_peek8(&payload, 0))))
        return nullptr;
    for (const method &mt : methods)
        if (starts(payload, mt.text, true))
            return &mt;
    return nullptr;
}

/* A method outside the table: servers take any token (RFC 9110 tchar)
 * there, and answer it, so its request still names the host the rules
 * judge. Its id is 0, "other". */
const method extension_method = {"", 0};

bool is_tchar(uint8_t c)
{
    return isalnum(c) || (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

/* The length of the method token that starts the payload (0 when none). */
size_t token_length(const view &payload)
{
    size_t n = 0;
    while (n < payload.length && is_tchar(oxlo_rd_peek8(&payload, n)))
        n++;
    return n;
}

/* A request line whose method is outside the table: a token, blanks, a
 * target and " HTTP/1." with a digit, the line ended (LF). */
bool extension_request_line(const view &payload, size_t token)
{
    const ptrdiff_t nl = oxlo_rd_find_byte(&payload, 0, '\n');
    if (token == 0 || nl < 0 || size_t(nl) <= token || oxlo_rd_peek8(&payload, token) != ' ')
        return false;
    size_t end = size_t(nl);
    if (oxlo_rd_peek8(&payload, end - 1) == '\r')
        end--;
    if (end < token + 11) /* " x HTTP/1.1": blank, a target, the version */
        return false;
    const view line = upto(payload, end);
    if (!starts(from(line, end - 9), " HTTP/1.") || !isdigit(oxlo_rd_peek8(&line, end - 1)))
        return false;
    for (size_t i = token; i < end; i++) {
        const uint8_t c = oxlo_rd_peek8(&line, i);
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

/* The offset of the target after the method and its blanks, 0 when the
 * payload is no request; extension: a method outside the table counts too
 * (its request line whole). */
size_t request_start(const view &payload, const method **which, bool extension = true)
{
    const method *mt = request_method(payload);
    size_t off = 0;
    if (mt) {
        off = strlen(mt->text);
    } else {
        const size_t token = extension ? token_length(payload) : 0;
        if (!extension_request_line(payload, token))
            return 0;
        mt = &extension_method;
        off = token;
    }
    for (size_t blanks = 0; off < payload.length && oxlo_rd_peek8(&payload, off) == ' ' && blanks < MAX_BLANKS; blanks++)
        off++;
    if (starts(from(payload, off), "rtsp://", true))
        return 0;
    if (which)
        *which = mt;
    return off;
}

bool status_line(const view &payload) { return payload.length >= 7 && starts(payload, "HTTP/1."); }

uint16_t response_code(const view &payload)
{
    oxlo_reader r = payload;
    unsigned code = 0;
    for (size_t i = 9; i < 12; i++) {
        uint8_t c;
        if (!oxlo_rd_u8_at(&r, i, &c) || !isdigit(c))
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
    release_texts(&h);
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
    const ptrdiff_t colon = oxlo_rd_find_byte(&v, 0, ':');
    const view name = colon >= 0 ? upto(v, size_t(colon)) : v;
    char s[32];
    if (name.length >= sizeof(s))
        return false;
    oxlo_rd_text(&name, s, sizeof(s));
    unsigned a, b, c, d;
    char tail;
    if (sscanf(s, "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    if (address)
        *address = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

void url_step(oxlo_module *m, oxlo_flow_state *f, const view &target, const view &host)
{
    auto &h = http(f);
    if (h.url || empty(target) || empty(host))
        return;
    if (isdigit(oxlo_rd_peek8(&host, 0)) && host.length <= 20 && dotted_ipv4(host, nullptr))
        oxlo_dissector_risk(m, f, OXLO_NUMERIC_IP_HOST, "Found host %.*s", text_length(host, host.length), chars(host));
    /* The URL is the target alone when it is absolute (or names a tunnel's
     * end), else the host followed by the target; its path is the target. */
    const bool absolute = starts(target, "http://", true) || f->app == P_HTTP_CONNECT;
    const size_t prefix = absolute ? 0 : host.length;
    char *url = static_cast<char *>(oxlo_heap_alloc(prefix + target.length + 1));
    if (!url)
        return;
    if (prefix)
        memcpy(url, host.data, prefix);
    memcpy(url + prefix, target.data, target.length);
    url[prefix + target.length] = '\0';
    h.url = url;
    const char *path = url + prefix;
    if (strstr(url, "<php>"))
        oxlo_dissector_risk(m, f, OXLO_URL_POSSIBLE_RCE_INJECTION, "PHP code in URL [%s]", url);
    else if (strncmp(path, "/shell?", 7) == 0)
        oxlo_dissector_risk(m, f, OXLO_URL_POSSIBLE_RCE_INJECTION, "Possible WebShell detected [%s]", url);
    else if (strncmp(path, "/.", 2) == 0)
        oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "URL starting with dot [%s]", url);
    else
        oxlo_url_attack_check(m, f, path);
}

/* "%u.%u.%u" from up to 15 digits and dots; true when below the version. */
bool version_below(const view &v, unsigned major, unsigned minor, unsigned patch)
{
    char text[16];
    size_t n = 0;
    while (n < v.length && n < 15 && (isdigit(oxlo_rd_peek8(&v, n)) || oxlo_rd_peek8(&v, n) == '.')) {
        text[n] = char(oxlo_rd_peek8(&v, n));
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
    if (server.length <= 7)
        return;
    if (starts(server, "Apache/") && version_below(from(server, 7), 2, 4, 0))
        oxlo_dissector_risk(m, f, OXLO_HTTP_OBSOLETE_SERVER, "Obsolete Apache server %.*s", text_length(server, 200), chars(server));
    else if (starts(server, "nginx/") && version_below(from(server, 6), 1, 22, 0))
        oxlo_dissector_risk(m, f, OXLO_HTTP_OBSOLETE_SERVER, "Obsolete nginx server %.*s", text_length(server, 200), chars(server));
    for (size_t i = 0; i < server.length; i++)
        if (oxlo_rd_peek8(&server, i) < 0x20 || oxlo_rd_peek8(&server, i) > 0x7E) {
            oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_HEADER, "Suspicious Agent [%.*s]", int(server.length > 64 ? 64 : server.length),
                  reinterpret_cast<const char *>(server.data));
            break;
        }
}

/* Writes the readable name of a Windows platform token, or the token. */
void windows_name(const view &token, char *out, size_t size)
{
    static const char *const names[][2] = {
        {"Windows NT 5.0", "Windows 2000"}, {"Windows NT 5.1", "Windows XP"},
        {"Windows NT 5.2", "Windows Server 2003"}, {"Windows NT 6.0", "Windows Vista"},
        {"Windows NT 6.1", "Windows 7"}, {"Windows NT 6.2", "Windows 8"}, {"Windows NT 6.3", "Windows 8.1"},
        {"Windows NT 10.0", "Windows 10"}, {"Windows NT 11.0", "Windows 11"}};
    for (const auto &n : names)
        if (oxlo_rd_equals(&token, n[0], 0)) {
            snprintf(out, size, "%s", n[1]);
            return;
        }
    oxlo_rd_text(&token, out, size);
}

view trim_spaces(const view &v)
{
    size_t a = 0, b = v.length;
    while (a < b && oxlo_rd_peek8(&v, a) == ' ')
        a++;
    while (b > a && oxlo_rd_peek8(&v, b - 1) == ' ')
        b--;
    return upto(from(v, a), b - a);
}

/* The platform token of a "Mozilla/5.0 (...)" agent, written to out; false
 * when the agent has none. */
bool agent_os(const view &ua, char *out, size_t size)
{
    const ptrdiff_t open = oxlo_rd_find_byte(&ua, 0, '(');
    const ptrdiff_t close = oxlo_rd_find_byte(&ua, open < 0 ? 0 : size_t(open), ')');
    if (open < 0 || close < 0)
        return false;
    const view list = upto(from(ua, size_t(open) + 1), size_t(close - open - 1));
    size_t pos = 0;
    int stage = 0;
    while (pos <= list.length) {
        const ptrdiff_t semi = oxlo_rd_find_byte(&list, pos, ';');
        const size_t end = semi < 0 ? list.length : size_t(semi);
        const view token = trim_spaces(upto(from(list, pos), end - pos));
        pos = end + 1;
        if (empty(token))
            continue;
        if (oxlo_rd_equals(&token, "X11", 0) || oxlo_rd_equals(&token, "compatible", 0) ||
            oxlo_rd_equals(&token, "Linux", 0) || oxlo_rd_equals(&token, "Macintosh", 0))
            continue;
        if (stage < 1 && (oxlo_rd_equals(&token, "U", 0) || starts(token, "MSIE"))) {
            stage = 1;
            continue;
        }
        if (stage < 2 && starts(token, "Update")) {
            stage = 2;
            continue;
        }
        if (stage < 3 && (oxlo_rd_equals(&token, "AOL", 0) || starts(token, "AOL "))) {
            stage = 3;
            continue;
        }
        windows_name(token, out, size);
        return out[0] != '\0';
    }
    return false;
}

bool all_letters_shouting(const view &ua)
{
    size_t upper = 0;
    for (size_t i = 0; i < ua.length; i++) {
        if (!isalpha(oxlo_rd_peek8(&ua, i)))
            return false;
        upper += isupper(oxlo_rd_peek8(&ua, i)) ? 1 : 0;
    }
    return ua.length > 12 && upper * 5 >= ua.length;
}

bool url_in_agent(const view &ua)
{
    oxlo_reader r = ua;
    for (ptrdiff_t at = oxlo_rd_find(&r, 0, "://", false); at >= 0; at = oxlo_rd_find(&r, size_t(at) + 1, "://", false))
        if (at == 0 || (oxlo_rd_peek8(&ua, at - 1) != 'p' && oxlo_rd_peek8(&ua, at - 1) != 's'))
            return true;
    return false;
}

void user_agent_step(oxlo_module *m, oxlo_flow_state *f, const view &ua)
{
    if (empty(ua))
        return;
    if (!oxlo_flow_stored_user_agent(f)) {
        oxlo_flow_store_user_agent(f, reinterpret_cast<const char *>(ua.data), ua.length);
        oxlo_flow_risk_clear(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT);
    }
    if (ua.length <= 7)
        return;
    /* The platform is kept by HTTP's own state; other protocols that carry
     * an agent (SSDP) get its checks only. */
    if (starts(ua, "Mozilla") && oxlo_flow_slot_state(f, OXLO_DISSECTOR_http) && !http(f).os) {
        char os[128];
        if (agent_os(ua, os, sizeof(os)))
            http(f).os = oxlo_heap_strdup(os);
    }
    char agent[1024];
    oxlo_rd_text(&ua, agent, sizeof(agent));
    if (all_letters_shouting(ua) || starts(ua, "<?") || contains(ua, "$") || url_in_agent(ua))
        oxlo_dissector_risk_text(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, agent);
    if (starts(ua, "jndi:ldap://"))
        oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious Log4J");
    else if (ua.length < 4 || ua.length > 256 || starts(ua, "test") || contains(ua, "{") || contains(ua, "}"))
        oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Suspicious Log4J");
    if (contains(ua, "+http:") || contains(ua, " http:") || contains(ua, "Crawler") || contains(ua, "Bot"))
        oxlo_dissector_risk_text(m, f, OXLO_HTTP_CRAWLER_BOT, agent);
}

/* The quoted value of name="..." in a Digest credential line. */
view digest_param(const view &v, const char *name)
{
    oxlo_reader r = v;
    const ptrdiff_t at = oxlo_rd_find(&r, 0, name, true);
    if (at < 0)
        return no_view();
    size_t i = size_t(at) + strlen(name);
    if (i < v.length && oxlo_rd_peek8(&v, i) == '"')
        i++;
    size_t end = i;
    while (end < v.length && oxlo_rd_peek8(&v, end) != '"' && oxlo_rd_peek8(&v, end) != ',')
        end++;
    return oxlo_reader_make(v.data + i, end - i);
}

void credentials_step(oxlo_module *m, oxlo_flow_state *f, const view &auth)
{
    auto &h = http(f);
    const module_config &c = m->cfg;
    if (empty(auth) || (!c.http_req_username && !c.http_req_password) || h.username || h.password)
        return;
    if (starts(auth, "Basic", true)) {
        view rest = from(auth, 5);
        while (!empty(rest) && oxlo_rd_peek8(&rest, 0) == ' ')
            rest = from(rest, 1);
        size_t len = 0;
        uint8_t *plain = oxlo_decode_base64(reinterpret_cast<const char *>(rest.data), rest.length, &len);
        if (!plain)
            return;
        const view pair = oxlo_reader_make(plain, len);
        const void *colon = memchr(plain, ':', len);
        const size_t user_len = colon ? size_t(static_cast<const uint8_t *>(colon) - plain) : len;
        if (c.http_req_username)
            set_text(&h.username, upto(pair, user_len));
        if (c.http_req_password && colon)
            set_text(&h.password, from(pair, user_len + 1));
        oxlo_heap_free(plain);
    } else if (starts(auth, "Digest", true)) {
        if (c.http_req_username)
            set_text(&h.username, digest_param(auth, "username="));
    } else {
        return;
    }
    oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found credentials in HTTP Auth Line");
}

bool in_table(const view &value, const char *const *table)
{
    for (const char *const *t = table; *t; t++)
        if (oxlo_rd_equals(&value, *t, 1))
            return true;
    return false;
}

const char *attempt(const oxlo_flow_state *f) { return code_2xx(f) ? "" : " (attempt)"; }

bool update_service_host(const oxlo_flow_state *f)
{
    for (const char *const *d = update_domains; *d; d++) {
        const size_t n = strlen(oxlo_flow_host(f)), k = strlen(*d);
        if (n >= k && strcmp(oxlo_flow_host(f) + n - k, *d) == 0 && (n == k || oxlo_flow_host(f)[n - k - 1] == '.'))
            return true;
    }
    return false;
}

void binary_transfer(oxlo_module *m, oxlo_flow_state *f, const char *what)
{
    if (update_service_host(f))
        return;
    oxlo_dissector_risk(m, f, OXLO_BINARY_APPLICATION_TRANSFER, "%s%s", what, attempt(f));
}

void filename_step(oxlo_module *m, oxlo_flow_state *f, const view &disposition)
{
    auto &h = http(f);
    oxlo_reader r = disposition;
    const ptrdiff_t at = oxlo_rd_find(&r, 0, "attachment; filename", true);
    if (at < 0 || h.filename)
        return;
    view name = from(disposition, size_t(at) + 20);
    while (!empty(name) && (oxlo_rd_peek8(&name, 0) == '=' || oxlo_rd_peek8(&name, 0) == ' ' || oxlo_rd_peek8(&name, 0) == '"'))
        name = from(name, 1);
    while (!empty(name) && (oxlo_rd_peek8(&name, name.length - 1) == '"' || oxlo_rd_peek8(&name, name.length - 1) == ' '))
        name = upto(name, name.length - 1);
    if (empty(name))
        return;
    set_text(&h.filename, name);
    const char *dot = strrchr(h.filename, '.');
    char text[160];
    if (dot && in_table(oxlo_reader_make(dot + 1, strlen(dot + 1)), exe_extensions)) {
        snprintf(text, sizeof(text), "Found file extn %s", dot + 1);
        binary_transfer(m, f, text);
    } else {
        oxlo_dissector_risk(m, f, OXLO_BINARY_DATA_TRANSFER, "File download %s%s", h.filename, attempt(f));
    }
}

void content_type_step(oxlo_module *m, oxlo_flow_state *f, const view &type, const view &disposition,
                       bool response)
{
    auto &h = http(f);
    if (empty(type))
        return;
    if (!response) {
        if (m->cfg.http_req_content_type)
            set_text(&h.request_content_type, type);
        if (contains(type, "x-www-form-urlencoded", true))
            h.form_urlencoded = 1;
        return;
    }
    if (m->cfg.http_resp_content_type)
        set_text(&h.response_content_type, type);
    const ptrdiff_t slash = oxlo_rd_find_byte(&type, 0, '/');
    if (slash >= 0 && oxlo_rd_match(&type, size_t(slash) + 1, "mpeg", 0))
        f->category = OXLO_CATEGORY_STREAMING;
    char text[160];
    if (in_table(type, exe_mime_types)) {
        snprintf(text, sizeof(text), "Found mime exe %.*s", text_length(type, 120), chars(type));
        binary_transfer(m, f, text);
    } else if (in_table(type, binary_mime_types)) {
        oxlo_dissector_risk(m, f, OXLO_BINARY_DATA_TRANSFER, "Found binary mime %.*s%s", text_length(type, 120), chars(type),
              attempt(f));
    }
    filename_step(m, f, disposition);
    if (starts(type, "audio/") || starts(type, "video/"))
        f->category = OXLO_CATEGORY_MEDIA;
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
    if (!m->cfg.hostname_dns_check || !oxlo_flow_host(f)[0] || host_is_address(oxlo_flow_host(f)))
        return;
    if (!oxlo_dns_resolution_found(m, f->server_address, oxlo_flow_host(f)))
        oxlo_dissector_risk_text(m, f, OXLO_UNRESOLVED_HOSTNAME, oxlo_flow_host(f));
}

/* ---- the hosts a request names ------------------------------------------- */

/* A request can name its host in its target (an absolute URI, a CONNECT
 * authority) and in one Host header or more; servers differ in which they
 * take, so every one is kept for the rules and the flow exports the last
 * Host header (the one the header table holds), else the target's. */
constexpr size_t HOST_TEXT = 256;

struct host_text {
    char text[HOST_TEXT];
    size_t length;
    bool folded; /* joined from obs-fold continuation lines */
    bool userinfo; /* the authority carried user information before '@' */
};

struct request_hosts {
    host_text authority;                     /* length 0 when the target names none */
    host_text headers[OXLO_HOST_CANDIDATES]; /* the first Host headers, the latest in the last slot */
    uint8_t slots;
    uint16_t count;                          /* Host headers seen */
};

view host_view(const host_text &h) { return oxlo_reader_make(h.text, h.length); }

/* Appends bytes to a host text; past its size the front gives way, since
 * the last labels are the ones a rule on a parent domain reads. */
void host_append(host_text &h, const uint8_t *data, size_t n)
{
    constexpr size_t room = HOST_TEXT - 1;
    if (n >= room) {
        memcpy(h.text, data + (n - room), room);
        h.length = room;
    } else {
        if (h.length + n > room) {
            const size_t drop = h.length + n - room;
            memmove(h.text, h.text + drop, h.length - drop);
            h.length -= drop;
        }
        if (n)
            memcpy(h.text + h.length, data, n);
        h.length += n;
    }
    h.text[h.length] = '\0';
}

void set_host_text(host_text &h, const view &v)
{
    h.length = 0;
    h.folded = h.userinfo = false;
    host_append(h, v.data, v.length);
}

/* An obs-fold continuation: the fold becomes one blank, as a server that
 * accepts folding reads it. */
void append_fold(host_text &h, const view &v)
{
    const view more = oxlo_rd_trim(&v);
    static const uint8_t blank = ' ';
    if (h.length > 0 && !empty(more))
        host_append(h, &blank, 1);
    host_append(h, more.data, more.length);
    h.folded = true;
}

bool is_blank(uint8_t c) { return c == ' ' || c == '\t'; }

/* The Host headers of a header block, read from the message itself (not
 * from the line table, whose 63 lines a long block outgrows), up to its
 * empty line; a line still unended at the end counts as it stands. */
void collect_host_headers(const view &msg, bool has_request_line, request_hosts &out)
{
    oxlo_reader r = msg;
    oxlo_reader line;
    bool first = true, more = true;
    while (more) {
        if (!oxlo_rd_line(&r, &line)) {
            line = from(msg, r.pos);
            more = false;
        }
        if (first && has_request_line) {
            first = false;
            continue;
        }
        first = false;
        if (empty(line))
            return;
        if (!oxlo_rd_match(&line, 0, "Host:", 1))
            continue;
        host_text &slot = out.slots < OXLO_HOST_CANDIDATES ? out.headers[out.slots++]
                                                            : out.headers[OXLO_HOST_CANDIDATES - 1];
        const view value = from(line, 5);
        set_host_text(slot, oxlo_rd_trim(&value));
        out.count++;
        for (;;) {
            oxlo_reader next_reader = r;
            oxlo_reader next;
            if (!oxlo_rd_line(&next_reader, &next) || empty(next) || !is_blank(oxlo_rd_peek8(&next, 0)))
                break;
            append_fold(slot, next);
            r = next_reader;
        }
    }
}

/* The host of a request target: the authority of an absolute URI
 * ("scheme://[userinfo@]host[:port]/..."), or the whole target of CONNECT. */
void target_authority(const view &target, bool connect, host_text &out)
{
    out.length = 0;
    out.text[0] = '\0';
    view a = target;
    if (connect) {
        const ptrdiff_t blank = oxlo_rd_find_byte(&target, 0, ' ');
        if (blank >= 0)
            a = upto(target, size_t(blank));
    } else {
        const ptrdiff_t sep = oxlo_rd_find(&target, 0, "://", 0);
        if (sep <= 0 || !isalpha(oxlo_rd_peek8(&target, 0)))
            return;
        for (ptrdiff_t i = 1; i < sep; i++)
            if (!isalnum(oxlo_rd_peek8(&target, i)) && !strchr("+-.", oxlo_rd_peek8(&target, i)))
                return;
        a = from(target, size_t(sep) + 3);
        size_t end = 0;
        while (end < a.length && !strchr("/?# ", oxlo_rd_peek8(&a, end)))
            end++;
        a = upto(a, end);
    }
    bool userinfo = false;
    for (ptrdiff_t at = oxlo_rd_find_byte(&a, 0, '@'); at >= 0; at = oxlo_rd_find_byte(&a, 0, '@')) {
        a = from(a, size_t(at) + 1);
        userinfo = true;
    }
    set_host_text(out, a);
    out.userinfo = userinfo;
}

bool port_ok(const view &p)
{
    if (p.length > 5)
        return false;
    unsigned v = 0;
    for (size_t i = 0; i < p.length; i++) {
        if (!isdigit(oxlo_rd_peek8(&p, i)))
            return false;
        v = v * 10 + unsigned(oxlo_rd_peek8(&p, i) - '0');
    }
    return v <= 65535;
}

/* Host syntax a server accepts: a name of labels (letters, digits, '-' and
 * '_', no empty label, one trailing dot at most) or a bracketed IPv6
 * literal, then an optional ":port". */
bool host_syntax_ok(const host_text &h)
{
    const view all = host_view(h);
    const view v = oxlo_rd_trim(&all);
    if (h.folded || h.userinfo)
        return false;
    if (empty(v))
        return true; /* an empty Host names no host: nothing to hide */
    if (oxlo_rd_peek8(&v, 0) == '[') {
        const ptrdiff_t close = oxlo_rd_find_byte(&v, 0, ']');
        if (close < 2)
            return false;
        for (ptrdiff_t i = 1; i < close; i++)
            if (!isxdigit(oxlo_rd_peek8(&v, i)) && oxlo_rd_peek8(&v, i) != ':' && oxlo_rd_peek8(&v, i) != '.')
                return false;
        const view rest = from(v, size_t(close) + 1);
        return empty(rest) || (oxlo_rd_peek8(&rest, 0) == ':' && port_ok(from(rest, 1)));
    }
    const ptrdiff_t colon = oxlo_rd_find_byte(&v, 0, ':');
    if (colon >= 0 && !port_ok(from(v, size_t(colon) + 1)))
        return false;
    const size_t end = colon >= 0 ? size_t(colon) : v.length;
    size_t label = 0;
    for (size_t i = 0; i < end; i++) {
        const uint8_t c = oxlo_rd_peek8(&v, i);
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (isalnum(c) || c == '-' || c == '_') {
            label++;
        } else {
            return false;
        }
    }
    return end > 0;
}

void invalid_host(oxlo_module *m, oxlo_flow_state *f, const host_text &h)
{
    char canonical[OXLO_HOST_NAME_SIZE];
    oxlo_host_name_canonical(h.text, h.length, canonical, sizeof(canonical));
    for (char *c = canonical; *c; c++)
        if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) > 0x7E)
            *c = '?';
    oxlo_dissector_risk(m, f, OXLO_INVALID_CHARACTERS, "Invalid host %s", canonical);
    oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious hostname [%.*s]: attack ?", int(h.length > 64 ? 64 : h.length), h.text);
}

/* The host the flow exports: the last Host header with a value, else the
 * target's. */
const host_text *primary_host(const request_hosts &hosts)
{
    for (uint8_t i = hosts.slots; i > 0; i--) {
        const view raw = host_view(hosts.headers[i - 1]);
        if (!empty(oxlo_rd_trim(&raw)))
            return &hosts.headers[i - 1];
    }
    return hosts.authority.length ? &hosts.authority : nullptr;
}

/* Every name of the request is checked; when it names more than one host,
 * each goes to the flow's candidates, for the rules to match all of them.
 * More than one Host header is bad syntax in itself (a server must refuse
 * it), as are folded, empty or malformed values. */
void host_names_step(oxlo_module *m, oxlo_flow_state *f, const request_hosts &hosts)
{
    const host_text *all[OXLO_HOST_CANDIDATES + 1];
    size_t n = 0;
    if (hosts.authority.length)
        all[n++] = &hosts.authority;
    for (uint8_t i = 0; i < hosts.slots; i++)
        all[n++] = &hosts.headers[i];
    bool invalid_seen = false;
    for (size_t i = 0; i < n; i++)
        if (!host_syntax_ok(*all[i]) || (hosts.count > 1 && all[i] != &hosts.authority)) {
            if (!invalid_seen)
                invalid_host(m, f, *all[i]);
            invalid_seen = true;
        }
    char first[OXLO_HOST_NAME_SIZE], other[OXLO_HOST_NAME_SIZE];
    bool several = false;
    if (n > 1) {
        oxlo_host_name_canonical(all[0]->text, all[0]->length, first, sizeof(first));
        for (size_t i = 1; i < n && !several; i++) {
            oxlo_host_name_canonical(all[i]->text, all[i]->length, other, sizeof(other));
            several = strcmp(first, other) != 0;
        }
    }
    if (several)
        for (size_t i = 0; i < n; i++)
            oxlo_flow_add_host_candidate(f, all[i]->text, all[i]->length);
}

void host_step(oxlo_module *m, oxlo_flow_state *f, const view &host)
{
    if (empty(host))
        return;
    if (m->cfg.http_req_host) {
        const void *colon = memchr(host.data, ':', host.length);
        set_text(&http(f).host, colon ? upto(host, size_t(static_cast<const uint8_t *>(colon) - host.data)) : host);
    }
    oxlo_flow_store_host_name(f, reinterpret_cast<const char *>(host.data), host.length, OXLO_HOST_PRINTABLE);
    unresolved_host_check(m, f);
    uint32_t address = 0;
    if (!(f->flags_a & OXLO_FLOW_IPV6) && dotted_ipv4(host, &address)) {
        const uint8_t *s = f->server_address;
        const uint32_t server = (uint32_t(s[0]) << 24) | (uint32_t(s[1]) << 16) | (uint32_t(s[2]) << 8) | s[3];
        if (server != address) {
            char expected[20];
            snprintf(expected, sizeof(expected), "%u.%u.%u.%u", s[0], s[1], s[2], s[3]);
            oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_HEADER, "Expected %s, found %s", expected, oxlo_flow_host(f));
        }
    }
    if (!m->cfg.http_subclassification)
        oxlo_host_name_dga_test(m, f, oxlo_flow_host(f), 1, 1, 0);
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
    const view server = line_view(t.server), type = line_view(t.content_type), ua = line_view(t.user_agent),
               origin = line_view(t.origin);
    const uint32_t method = http(f).method;
    if (starts(server, "corvane "))
        sub_classify(m, f, P_BRIX);
    else if (starts(server, "Icecast")) {
        sub_classify(m, f, P_ICECAST);
        oxlo_flow_risk_clear(m, f, OXLO_KNOWN_PROTOCOL_ON_NON_STANDARD_PORT);
    } else if (starts(type, "application/ocsp-"))
        sub_classify(m, f, P_OCSP);
    else if (starts(type, "application/vnd.apple.mpegurl") || starts(type, "application/x-mpegURL") ||
             starts(type, "application/x-mpegurl"))
        sub_classify(m, f, P_HLS);
    else if (method >= 10 && method <= 12)
        sub_classify(m, f, P_MS_RPCH);
    else if (method >= 13 && method <= 19)
        sub_classify(m, f, P_WEBDAV);
    if (!f->master) {
        if (oxlo_flow_host(f)[0])
            oxlo_host_name_classify(m, f, P_HTTP, oxlo_flow_host(f), strlen(oxlo_flow_host(f)));
        if (!f->master && !empty(origin)) {
            view o = origin;
            if (starts(o, "http://", true))
                o = from(o, 7);
            else if (starts(o, "https://", true))
                o = from(o, 8);
            size_t n = 0;
            while (n < o.length && oxlo_rd_peek8(&o, n) != ':' && oxlo_rd_peek8(&o, n) != '/' && oxlo_rd_peek8(&o, n) != '\0')
                n++;
            oxlo_host_name_classify(m, f, P_HTTP, chars(o), n);
        }
    }
    if (!f->master) {
        const char *url = http(f).url;
        if (url && (strstr(url, ":8080/downloading?n=0.") || strstr(url, ":8080/upload?n=0."))) {
            sub_classify(m, f, P_OOKLA);
            oxlo_ookla_cache_add(m, f);
        }
        else if (starts(payload, "<policy-file-request/>"))
            sub_classify(m, f, P_OOKLA);
        else if (contains(ua, "MSRPC"))
            sub_classify(m, f, P_MS_RPCH);
        else if (contains(ua, "Valve/Steam HTTP Client"))
            sub_classify(m, f, P_STEAM);
    }
    if (oxlo_flow_host(f)[0])
        oxlo_host_name_dga_test(m, f, oxlo_flow_host(f), 1, 1, 0);
}

/* The pairs of a form body ("key=value&..."): user names and passwords. */
void form_pairs(oxlo_module *m, oxlo_flow_state *f, const view &body)
{
    auto &h = http(f);
    size_t pos = 0;
    while (pos < body.length) {
        size_t amp = pos;
        while (amp < body.length && oxlo_rd_peek8(&body, amp) != '&')
            amp++;
        const view pair = oxlo_reader_make(body.data + pos, amp - pos);
        const void *eq = memchr(pair.data, '=', pair.length);
        if (eq) {
            const size_t klen = size_t(static_cast<const uint8_t *>(eq) - pair.data);
            const view key = upto(pair, klen);
            const view value = from(pair, klen + 1);
            if ((oxlo_rd_equals(&key, "user", 0) || oxlo_rd_equals(&key, "username", 0)) && m->cfg.http_req_username)
                set_text(&h.username, value);
            else if (oxlo_rd_equals(&key, "pwd", 0) || oxlo_rd_equals(&key, "password", 0)) {
                if (m->cfg.http_req_password)
                    set_text(&h.password, value);
                oxlo_dissector_risk(m, f, OXLO_CLEAR_TEXT_CREDENTIALS, "Found password");
            }
        }
        pos = amp + 1;
    }
}

/* A form body that arrives after its request, read where the stream could
 * not keep it for the request (the body step reads the others). */
void form_body_step(oxlo_module *m, oxlo_flow_state *f, const view &payload, const oxlo_line_table &t)
{
    auto &h = http(f);
    if (!(f->flags_a & OXLO_FLOW_LINES_SEEN) || !h.second_message || !h.form_urlencoded)
        return;
    uint8_t cr = 0;
    const bool crlf = oxlo_rd_u8_at(&payload, t.header_end, &cr) && cr == '\r';
    form_pairs(m, f, t.headers_complete ? from(payload, size_t(t.header_end) + (crlf ? 2 : 1)) : payload);
}

/* Splits the message into lines: the packet's payload through the packet's
 * own parse, a message put back together from several segments on its own. */
void parse_lines(oxlo_module *m, oxlo_flow_state *f, const view &msg)
{
    if (msg.data == packet_bytes(m, f))
        oxlo_parse_payload_lines(m, f);
    else if (oxlo_parse_lines_kept(m, f, msg.data, uint16_t(msg.length)) != 0)
        http(f).lines_borrowed = 1;
}

/* A URL named by a custom "url:" rule decides the flow: its protocol over
 * the HTTP one, with the rule's category and breed. */
void custom_url_step(oxlo_module *m, oxlo_flow_state *f)
{
    const char *url = http(f).url;
    oxlo_string_map *urls = oxlo_custom_url_map(m);
    uint64_t v = 0;
    if (!url || !urls || f->confidence == OXLO_CONFIDENCE_CUSTOM_RULE ||
        oxlo_string_map_find(urls, url, strlen(url), &v) != 0)
        return;
    const uint16_t id = uint16_t(v & 0xFFFF);
    if (id == 0)
        return;
    const uint16_t master = f->master ? f->master : f->app ? f->app : P_HTTP;
    oxlo_flow_set_protocol(m, f, id, master, OXLO_CONFIDENCE_CUSTOM_RULE);
    if (const uint16_t category = uint16_t((v >> 16) & 0xFFFF))
        f->category = category;
    if (const uint16_t breed = uint16_t((v >> 32) & 0xFFFF))
        f->breed = breed;
}

void process_headers(oxlo_module *m, oxlo_flow_state *f, const view &payload, bool response)
{
    const oxlo_line_table &t = lines_of(m);
    auto &h = http(f);

    const method *mt = nullptr;
    const size_t target_start = response ? 0 : request_start(payload, &mt);
    request_hosts hosts;
    hosts.authority.length = 0;
    hosts.slots = 0;
    hosts.count = 0;
    view target = no_view();
    if (mt) {
        const view line0 = line_view(t.line[0]);
        const size_t end = line0.length >= 9 && starts(from(line0, line0.length - 9), " HTTP/1.") ? line0.length - 9 : line0.length;
        if (end > target_start)
            target = upto(from(line0, target_start), end - target_start);
        target_authority(target, mt->id == 9, hosts.authority);
    }
    collect_host_headers(payload, mt != nullptr, hosts);
    const host_text *primary = primary_host(hosts);
    view host = no_view();
    if (primary) {
        const view raw = host_view(*primary);
        host = oxlo_rd_trim(&raw);
    }
    if (mt) {
        if (!empty(target))
            url_step(m, f, target, host);
        h.method = mt->id;
    }
    const view server = line_view(t.server);
    server_step(m, f, server);
    user_agent_step(m, f, line_view(t.user_agent));
    set_text(&h.forwarded, line_view(t.forwarded));
    if (starts(line_view(t.upgrade), "websocket", true) && h.response_code == 101)
        h.websocket = 1;
    if (m->cfg.http_resp_server && !empty(server))
        set_text(&h.server, server);
    if (!response)
        credentials_step(m, f, line_view(t.authorization));
    if (m->cfg.http_req_referer)
        set_text(&h.referer, line_view(t.referer));
    content_type_step(m, f, line_view(t.content_type), line_view(t.content_disposition), response);
    host_step(m, f, host);
    if (primary)
        host_names_step(m, f, hosts);
    if (m->cfg.http_subclassification)
        subclassification_step(m, f, t, payload);
    custom_url_step(m, f);
    form_body_step(m, f, payload, t);
    if (h.url && f->confidence != OXLO_CONFIDENCE_CUSTOM_RULE &&
        (oxlo_has_suffix(h.url, "/generate_204") || oxlo_has_suffix(h.url, "/generate204")))
        f->category = OXLO_CATEGORY_CONNCHECK;
}

void process_request(oxlo_module *m, oxlo_flow_state *f, const view &msg, const method *mt)
{
    parse_lines(m, f, msg);
    const oxlo_line_table &lines = lines_of(m);
    const view line0 = line_view(lines.line[0]);
    uint16_t app = P_HTTP;
    const size_t start = request_start(msg, nullptr);
    if (line0.length >= 9 && starts(from(line0, line0.length - 9), " HTTP/1.") && isdigit(oxlo_rd_peek8(&line0, line0.length - 1))) {
        http(f).http11 = oxlo_rd_peek8(&line0, line0.length - 1) == '1';
        if (starts(from(line0, start), "http://", true))
            app = P_HTTP_PROXY;
        else if (mt->id == 9)
            app = P_HTTP_CONNECT;
    }
    store_protocol(m, f, app);
    start_extra(f);
    process_headers(m, f, msg, false);
    if (empty(line_view(lines.user_agent)))
        oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Empty or missing User-Agent");
}

void process_response(oxlo_module *m, oxlo_flow_state *f, const view &payload)
{
    parse_lines(m, f, payload);
    const oxlo_line_table &lines = lines_of(m);
    auto &h = http(f);
    h.response_code = response_code(payload);
    if (h.response_code == 101)
        h.switch_packet = f->payload_packets;
    if (h.response_code >= 400) {
        oxlo_dissector_risk(m, f, OXLO_ERROR_CODE_DETECTED, "HTTP Error Code %u", unsigned(h.response_code));
        const char *url = h.url ? h.url : "";
        const char *path = strchr(url, '/');
        path = path ? path : url;
        if ((h.method == 5 && strstr(url, "/wp-admin/")) || (h.method == 2 && strstr(url, "/wp-content/uploads/")))
            oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Possible Wordpress Exploit [%.200s]", path);
    }
    process_headers(m, f, payload, true);
    const view type = line_view(lines.content_type);
    h.text_body = h.form_urlencoded || contains(type, "text/") || contains(type, "/json");
    if (oxlo_flow_risk_is_set(f, OXLO_BINARY_APPLICATION_TRANSFER)) {
        const char *agent = oxlo_flow_stored_user_agent(f);
        if (!agent)
            oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_USER_AGENT, "Empty or missing User-Agent");
        else if (strncmp(agent, "Java/", 5) == 0 && h.response_content_type &&
                 strcmp(h.response_content_type, "application/java-vm") == 0)
            oxlo_dissector_risk(m, f, OXLO_POSSIBLE_EXPLOIT, "Suspicious Log4J");
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

/* ---- the body of a message ------------------------------------------------- */

/* Where the header block that starts msg ends (the offset after its empty
 * line, LF or CR LF), searched from `from` on; 0 while it has not arrived. */
size_t head_end(const view &msg, size_t from)
{
    for (ptrdiff_t nl = oxlo_rd_find_byte(&msg, from, '\n'); nl >= 0;
         nl = oxlo_rd_find_byte(&msg, size_t(nl) + 1, '\n')) {
        size_t next = size_t(nl) + 1;
        uint8_t c = 0;
        if (oxlo_rd_u8_at(&msg, next, &c) && c == '\r')
            next++;
        if (oxlo_rd_u8_at(&msg, next, &c) && c == '\n')
            return next + 1;
    }
    return 0;
}

/* The body bytes read from the stream for the checks on a body: a longer
 * body is checked on its first BODY_MAX bytes, wherever the sender cut it. */
constexpr size_t BODY_MAX = 16384;

/* What is checked on a body. */
constexpr uint8_t BODY_TEXT = 0x01;    /* a response's text body: unprintable bytes, entropy */
constexpr uint8_t BODY_CONTENT = 0x02; /* JSON and MessagePack (read in the follow-up) */
constexpr uint8_t BODY_FORM = 0x04;    /* a request's form: credentials */

/* The framing of a message's body as its header block gives it. */
struct body_frame {
    size_t start;   /* offset of the body after the header block */
    int64_t length; /* Content-Length, -1 when none (or several that disagree) */
    bool chunked;
};

bool body_frame_of(const view &msg, body_frame *out)
{
    const size_t end = head_end(msg, 0);
    if (end == 0)
        return false;
    out->start = end;
    out->length = -1;
    out->chunked = false;
    bool conflict = false;
    oxlo_reader r = upto(msg, end);
    oxlo_reader line;
    oxlo_rd_line(&r, &line); /* the request or status line */
    while (oxlo_rd_line(&r, &line)) {
        if (oxlo_rd_match(&line, 0, "Transfer-Encoding:", 1)) {
            out->chunked = out->chunked || contains(line, "chunked", true);
            continue;
        }
        if (!oxlo_rd_match(&line, 0, "Content-Length:", 1))
            continue;
        const view raw = from(line, 15);
        oxlo_reader v = oxlo_rd_trim(&raw);
        uint64_t n = 0;
        if (!oxlo_rd_number(&v, 15, &n) || v.pos != v.length || (out->length >= 0 && uint64_t(out->length) != n))
            conflict = true;
        else
            out->length = int64_t(n);
    }
    if (conflict)
        out->length = -1;
    return true;
}

/* The size line of the first chunk at the start of v: its data's offset
 * and size; false while the line has not arrived or when it is no size. */
bool first_chunk(const view &v, size_t *data, uint64_t *size)
{
    const ptrdiff_t nl = oxlo_rd_find_byte(&v, 0, '\n');
    if (nl < 0 || nl > 80)
        return false;
    uint64_t n = 0;
    size_t i = 0;
    for (; i < size_t(nl) && isxdigit(oxlo_rd_peek8(&v, i)) && i < 15; i++) {
        const uint8_t c = oxlo_rd_peek8(&v, i);
        n = n * 16 + uint64_t(isdigit(c) ? c - '0' : (tolower(c) - 'a' + 10));
    }
    if (i == 0)
        return false;
    *data = size_t(nl) + 1;
    *size = n;
    return true;
}

void body_checks(oxlo_module *m, oxlo_flow_state *f, const view &body, uint8_t kind, uint16_t payload_packets)
{
    if (body.length == 0)
        return;
    f->body_start_length = uint8_t(body.length < 8 ? body.length : 8);
    memcpy(f->body_start, body.data, f->body_start_length);
    if (kind & BODY_FORM)
        form_pairs(m, f, body);
    if (kind & BODY_TEXT) {
        static const uint8_t gzip[4] = {0x1F, 0x8B, 0x08, 0x00};
        if (body.length >= 8 && memcmp(body.data, gzip, 4) != 0) {
            bool odd = false;
            for (size_t i = 4; i < 8; i++) {
                const uint8_t c = oxlo_rd_peek8(&body, i);
                odd = odd || !(isprint(c) || c == '\t' || c == '\r' || c == '\n');
            }
            if (odd)
                oxlo_dissector_risk(m, f, OXLO_HTTP_SUSPICIOUS_CONTENT, "Susp content %02X%02X%02X%02X", oxlo_rd_peek8(&body, 4),
                                    oxlo_rd_peek8(&body, 5), oxlo_rd_peek8(&body, 6), oxlo_rd_peek8(&body, 7));
        }
        if (m->cfg.compute_entropy && !(f->flags_a & OXLO_FLOW_ENCRYPTED_PROTO))
            f->entropy = oxlo_shannon_entropy(body.data, uint16_t(body.length));
    }
    if ((kind & BODY_CONTENT) && !f->master) {
        if (oxlo_json_payload_check(body.data, body.length))
            oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_JSON, OXLO_CONFIDENCE_DPI);
        else if (oxlo_msgpack_payload_check(body.data, body.length, 0, payload_packets) == 1)
            oxlo_flow_refine_protocol(m, f, OXLO_PROTOCOL_MESSAGEPACK, OXLO_CONFIDENCE_DPI);
    }
}

/* A response that carries no body whatever its headers say. */
bool bodiless_response(const http_state &h)
{
    return (h.response_code >= 100 && h.response_code < 200) || h.response_code == 204 || h.response_code == 304 ||
           h.method == 3;
}

/* The body of the message just read from the start of msg: checked when
 * it is here, else its bytes (up to BODY_MAX) are asked for and checked
 * when they have come, however the sender cut them. A body the stream
 * cannot keep is checked on what came with its headers. A body of known
 * length is remembered to its end, so that the segments that carry the
 * rest of it are read as body, not as a message. */
void message_body(oxlo_module *m, oxlo_flow_state *f, const view &msg, bool response, bool follow_up, uint8_t dir)
{
    http_state &h = http(f);
    const oxlo_packet_view pv = oxlo_dissector_packet(m, f);
    h.body_dir = 0;
    body_frame b;
    if (!body_frame_of(msg, &b) || (response && bodiless_response(h)))
        return;
    uint8_t kind = follow_up ? BODY_CONTENT : 0;
    if (response)
        kind |= h.text_body ? BODY_TEXT : 0;
    else
        kind |= h.form_urlencoded ? BODY_FORM : 0;
    size_t start = b.start;
    uint64_t length = 0;
    if (b.chunked) {
        size_t data = 0;
        if (!first_chunk(from(msg, b.start), &data, &length))
            return;
        start += data;
    } else if (b.length >= 0) {
        length = uint64_t(b.length);
        if (pv.l4 == OXLO_L4_TCP && length > 0) {
            h.body_dir = uint8_t(1 + dir);
            h.body_end = uint32_t(pv.stream_offset + start + length);
        }
    } else if (!response) {
        return; /* a request without a length has no body */
    } else {
        /* Read to the end of the connection: what came with the headers. */
        if (kind)
            body_checks(m, f, upto(from(msg, start), BODY_MAX), kind, pv.payload_packets);
        return;
    }
    const size_t want = size_t(length < BODY_MAX ? length : BODY_MAX);
    if (want == 0 || kind == 0)
        return;
    if (msg.length >= start + want) {
        body_checks(m, f, upto(from(msg, start), want), kind, pv.payload_packets);
        return;
    }
    if (ask_for(m, f, start + want) == 0) {
        if (h.waited_packets < 0xFFFF)
            h.waited_packets++;
        h.body_waiting = uint8_t(1 + dir);
        h.body_start = uint32_t(start);
        h.body_length = uint32_t(want);
        h.body_kind = kind;
        return;
    }
    body_checks(m, f, from(msg, start), kind, pv.payload_packets);
}

/* The view starts with the rest of a body of known length: true when it
 * holds nothing else (a packet that carries a body on is neither read nor
 * counted against the follow-up's budget); else *payload is cut to what
 * follows the body (the body's bytes are consumed). */
bool skip_body(oxlo_module *m, oxlo_flow_state *f, view *payload, uint8_t dir, bool follow_up)
{
    http_state &h = http(f);
    if (h.body_dir != 1 + dir)
        return false;
    const int32_t ahead = int32_t(h.body_end - oxlo_dissector_packet(m, f).stream_offset);
    if (ahead <= 0) {
        h.body_dir = 0;
        return false;
    }
    if (size_t(ahead) >= payload->length) {
        /* The stream is asked to pass the body by (within its bounds, the
         * packets in between are not counted); the packet that ends it, or
         * each one past the bounds, is not counted against the follow-up. */
        if (size_t(ahead) > payload->length && ask_for(m, f, size_t(ahead)) == 0)
            return true;
        if (size_t(ahead) == payload->length)
            h.body_dir = 0;
        if (follow_up)
            oxlo_dissector_extra_grow(f, 1);
        if (h.waited_packets < 0xFFFF)
            h.waited_packets++;
        return true;
    }
    h.body_dir = 0;
    oxlo_dissector_consume(m, f, size_t(ahead));
    *payload = from(*payload, size_t(ahead));
    return false;
}

/* The body a message announced has come (the view starts at its message
 * again): checked, and the message is done. False when the stream had to
 * drop it (the bytes are read as they come). */
bool body_arrives(oxlo_module *m, oxlo_flow_state *f, const view &payload, uint8_t dir)
{
    http_state &h = http(f);
    if (h.body_waiting != 1 + dir)
        return false;
    h.body_waiting = 0;
    if (payload.length < size_t(h.body_start) + h.body_length)
        return false;
    body_checks(m, f, upto(from(payload, h.body_start), h.body_length), h.body_kind,
                oxlo_dissector_packet(m, f).payload_packets);
    return true;
}

void maybe_end_extra(oxlo_module *m, oxlo_flow_state *f)
{
    if (http(f).body_waiting)
        return;
    if (!oxlo_dissector_extra_active(f, nullptr))
        return;
    const auto &h = http(f);
    const bool host = oxlo_flow_host(f)[0] != '\0', code = h.response_code != 0;
    const bool known = m->cfg.http_process_response ? (host && code) : (host || code);
    const bool one_sided = f->packets_dir[0] == 0 || f->packets_dir[1] == 0;
    if (!known && !(h.repeated >= 2 && one_sided))
        return;
    oxlo_dissector_extra_end(f);
    body_start_check(m, f);
}

/* 1 when the payload was read as a request, 2 as a response, 0 neither. */
int examine_fresh(oxlo_module *m, oxlo_flow_state *f, const view &payload)
{
    const uint8_t dir = oxlo_dissector_packet(m, f).direction;
    const method *mt = nullptr;
    if (request_start(payload, &mt) > 0) {
        http(f).request_direction = dir;
        process_request(m, f, payload, mt);
        http(f).conversation = uint8_t(1 + dir);
        return 1;
    }
    if (!status_line(payload)) {
        exclude(m, f);
        return 0;
    }
    store_protocol(m, f, P_HTTP);
    start_extra(f);
    process_response(m, f, payload);
    http(f).conversation = uint8_t(3 + dir);
    return 2;
}

/* The line of msg that starts at pos, without its end, and where the next
 * one starts; false when its LF has not arrived. */
bool line_at(const view &msg, size_t pos, view *line, size_t *next)
{
    const ptrdiff_t nl = oxlo_rd_find_byte(&msg, pos, '\n');
    if (nl < 0)
        return false;
    size_t end = size_t(nl);
    if (end > pos && oxlo_rd_peek8(&msg, end - 1) == '\r')
        end--;
    *line = oxlo_reader_make(msg.data + pos, end - pos);
    *next = size_t(nl) + 1;
    return true;
}

/* Reads the lines of a request still arriving that are complete, from where
 * the last call stopped (so a request cut in many segments is scanned once,
 * not once per segment): true when its header block has ended (an empty
 * line, LF or CR LF). On the way it keeps the host names the lines carry
 * (the target's authority, each Host header once its folded continuation
 * lines are known), so that they still reach the rules if the stream has
 * to drop the request before it ends. */
bool scan_request(oxlo_flow_state *f, const view &msg, const method *mt)
{
    http_state &h = http(f);
    size_t pos = h.scan_from;
    view line;
    size_t next = 0;
    while (line_at(msg, pos, &line, &next)) {
        if (pos == 0) {
            host_text target;
            const view rest = from(line, mt == &extension_method ? token_length(line) : strlen(mt->text));
            target_authority(oxlo_rd_trim(&rest), mt->id == 9, target);
            pos = next;
            if (target.length)
                oxlo_flow_add_host_candidate(f, target.text, target.length);
            continue;
        }
        if (empty(line))
            return true;
        if (next >= msg.length)
            break; /* whether a folded line follows is not known yet */
        if (oxlo_rd_match(&line, 0, "Host:", 1)) {
            host_text host;
            const view value = from(line, 5);
            set_host_text(host, oxlo_rd_trim(&value));
            view more;
            size_t after = next;
            bool known = true;
            while (after < msg.length && is_blank(oxlo_rd_peek8(&msg, after))) {
                if (!line_at(msg, after, &more, &after) || after >= msg.length) {
                    known = false;
                    break;
                }
                append_fold(host, more);
            }
            if (!known)
                break;
            next = after;
            oxlo_flow_add_host_candidate(f, host.text, host.length);
            oxlo_heap_free(h.waiting_host);
            h.waiting_host = oxlo_copy_bytes_as_string(reinterpret_cast<const uint8_t *>(host.text), host.length);
        }
        pos = next;
    }
    h.scan_from = uint32_t(pos);
    return false;
}

/* The start of a method that has not arrived whole ("G", "GET" before its
 * blank): it may still become a request. */
bool method_prefix(const view &payload)
{
    if (empty(payload))
        return false;
    for (const method &mt : methods) {
        const size_t n = strlen(mt.text);
        if (payload.length < n && oxlo_rd_match_n(&payload, 0, mt.text, payload.length, 1))
            return true;
    }
    return false;
}

/* The start of a request line with a method outside the table whose line
 * has not ended: a token, then (once its blank came) text without control
 * bytes. It may still become a request, so it is waited for as a method
 * alone is; a server's answer or the stream's bounds end the wait. */
bool extension_prefix(const view &payload)
{
    const size_t token = token_length(payload);
    if (token == 0 || oxlo_rd_find_byte(&payload, 0, '\n') >= 0)
        return false;
    if (token == payload.length)
        return true;
    if (oxlo_rd_peek8(&payload, token) != ' ')
        return false;
    for (size_t i = token; i < payload.length; i++) {
        const uint8_t c = oxlo_rd_peek8(&payload, i);
        if ((c < 0x20 && c != '\r') || c == 0x7F)
            return false;
    }
    return true;
}

/* Whether this payload is read as a request in the flow's conversation
 * state (see search). */
bool request_expected(const http_state &h, uint8_t dir)
{
    if (h.conversation == 0)
        return true;
    if (h.conversation <= 2)
        return dir == h.conversation - 1;
    return dir != h.conversation - 3;
}

/* A request is read whole: while its method or its header block is still
 * arriving, the stream keeps the bytes and calls again with more, so the
 * flow is never classified on "GET" alone or on a cut Host line, and the
 * segments of one request do not use up the packet budget. True while the
 * request waits. When the stream cannot keep more (its bounds, or no stream
 * at all), a request is read on what has arrived; a method alone is left to
 * the next packet rather than taken as no HTTP. */
void wait_for_request(oxlo_module *m, oxlo_flow_state *f, uint8_t dir)
{
    http_state &h = http(f);
    h.request_waiting = uint8_t(1 + dir);
    if (h.waited_packets < 0xFFFF)
        h.waited_packets++;
    oxlo_dissector_pending(m, f, 1);
    /* Only the segment's own lines: enough for the slow-request check,
     * and no second pass over the whole view for each small segment. */
    oxlo_parse_payload_lines(m, f);
}

/* The request is read (or given up): no rule waits on HTTP any longer. */
void stop_waiting(oxlo_module *m, oxlo_flow_state *f)
{
    http(f).request_waiting = 0;
    http(f).prefix_waiting = 0;
    oxlo_dissector_pending(m, f, 0);
}

/* The stream had to drop a request it kept for HTTP (its bounds): the flow
 * is decided on what is known, the request line and the hosts read so far;
 * this payload is read as further header lines. */
void request_cut(oxlo_module *m, oxlo_flow_state *f, const view &payload, uint8_t dir)
{
    http_state &h = http(f);
    store_protocol(m, f, P_HTTP);
    start_extra(f);
    h.request_direction = dir;
    h.conversation = uint8_t(1 + dir);
    if (h.waiting_host) {
        const view host = oxlo_reader_make(h.waiting_host, strlen(h.waiting_host));
        host_step(m, f, host);
    }
    parse_lines(m, f, payload);
    process_headers(m, f, payload, false);
    if (payload.data != packet_bytes(m, f))
        oxlo_dissector_lines_forget(m);
    maybe_end_extra(m, f);
}

void forget_request(http_state &h)
{
    h.scan_from = 0;
    oxlo_heap_free(h.waiting_host);
    h.waiting_host = nullptr;
}

bool request_waits(oxlo_module *m, oxlo_flow_state *f, const view &payload, uint8_t dir)
{
    http_state &h = http(f);
    if (!request_expected(h, dir))
        return false;
    if (method_prefix(payload) || extension_prefix(payload)) {
        if (ask_for(m, f, payload.length + 1) == 0) {
            wait_for_request(m, f, dir);
            h.prefix_waiting = 1;
        }
        return true;
    }
    const method *mt = nullptr;
    if (request_start(payload, &mt) > 0) {
        if (h.request_waiting != 1 + dir)
            forget_request(h);
        h.prefix_waiting = 0;
        if (!scan_request(f, payload, mt)) {
            if (payload.length < REQUEST_MAX && ask_for(m, f, payload.length + 1) == 0) {
                wait_for_request(m, f, dir);
                return true;
            }
            /* Headers too long to keep: the Host line may lie past them. */
            oxlo_dissector_unread(m, f);
        }
    } else if (h.request_waiting == 1 + dir && !h.prefix_waiting) {
        stop_waiting(m, f);
        request_cut(m, f, payload, dir);
        forget_request(h);
        return true;
    }
    if (h.request_waiting)
        stop_waiting(m, f);
    forget_request(h);
    return false;
}

/* The start of a status line not yet whole ("H" ... "HTTP/1"). */
bool status_prefix(const view &payload)
{
    return payload.length < 7 && oxlo_rd_match_n(&payload, 0, "HTTP/1.", payload.length, 0);
}

/* Whether this payload may be read as a response (see search). */
bool response_expected(const http_state &h, uint8_t dir)
{
    return h.conversation == 0 || h.conversation > 2 || dir != h.conversation - 1;
}

/* A response is read once its header block is whole, as a request is: its
 * status code and headers do not depend on where the server's writes were
 * cut. True while it waits; a header block past the stream's bounds is
 * read on what has arrived. */
bool response_waits(oxlo_module *m, oxlo_flow_state *f, const view &payload, uint8_t dir)
{
    http_state &h = http(f);
    const uint32_t scanned = h.response_waiting == 1 + dir ? h.response_scanned : 0;
    h.response_waiting = 0;
    h.response_scanned = 0;
    if (!response_expected(h, dir) || (!status_prefix(payload) && !status_line(payload)))
        return false;
    if (!status_prefix(payload) && head_end(payload, scanned > 2 ? scanned - 2 : 0) != 0)
        return false;
    if (payload.length >= REQUEST_MAX || ask_for(m, f, payload.length + 1) != 0)
        return false;
    h.response_waiting = uint8_t(1 + dir);
    h.response_scanned = uint32_t(payload.length);
    if (h.waited_packets < 0xFFFF)
        h.waited_packets++;
    return true;
}

void read_messages(oxlo_module *m, oxlo_flow_state *f, const view &payload, bool follow_up);

void search(oxlo_module *m, oxlo_flow_state *f, bool follow_up)
{
    const oxlo_packet_view pv = oxlo_dissector_packet(m, f);
    const uint16_t waited = http(f).waited_packets;
    if (pv.payload_packets > waited && pv.payload_packets - waited > 20) {
        if (http(f).request_waiting)
            stop_waiting(m, f);
        exclude(m, f);
        return;
    }
    /* The direction's stream as it stands (one message in a view at most
     * the size the line parser reads). */
    view payload = upto(pv.payload, REQUEST_MAX);
    if (empty(payload))
        return;
    const uint8_t dir = pv.direction;
    if (body_arrives(m, f, payload, dir)) {
        maybe_end_extra(m, f);
        return;
    }
    http(f).asked = 0;
    const size_t whole_view = payload.length;
    if (skip_body(m, f, &payload, dir, follow_up))
        return;
    read_messages(m, f, payload, follow_up);
    /* The body's bytes were consumed: what follows them was read unless
     * it asked to be kept. */
    if (payload.length != whole_view && !http(f).asked)
        oxlo_dissector_consume(m, f, SIZE_MAX);
}

/* Reads the messages that start the payload (the view, or what follows a
 * body in it). */
void read_messages(oxlo_module *m, oxlo_flow_state *f, const view &payload, bool follow_up)
{
    const oxlo_packet_view pv = oxlo_dissector_packet(m, f);
    const uint8_t dir = pv.direction;
    if (request_waits(m, f, payload, dir) || response_waits(m, f, payload, dir))
        return;
    auto &h = http(f);
    h.lines_borrowed = 0;
    const bool own_view = payload.data != pv.segment.data;
    const method *mt = nullptr;
    int message = 0; /* 1 a request, 2 a response read from the payload's start */
    switch (h.conversation) {
    case 0:
        message = examine_fresh(m, f, payload);
        break;
    case 1:
    case 2:
        if (dir == h.conversation - 1) {
            if (request_start(payload, &mt) > 0) {
                count_repeat(f);
                reset_state(f);
                process_request(m, f, payload, mt);
                message = 1;
            } else {
                h.second_message = 1;
                parse_lines(m, f, payload);
                process_headers(m, f, payload, false);
            }
        } else if (status_line(payload)) {
            process_response(m, f, payload);
            h.conversation = 0;
            message = 2;
        }
        break;
    default:
        if (dir == h.conversation - 3) {
            if (status_line(payload)) {
                count_repeat(f);
                reset_state(f);
                process_response(m, f, payload);
                message = 2;
            } else {
                parse_lines(m, f, payload);
                process_headers(m, f, payload, true);
            }
        } else {
            reset_state(f);
            h.conversation = 0;
            message = examine_fresh(m, f, payload);
        }
        break;
    }
    if (message)
        message_body(m, f, payload, message == 2, follow_up, dir);
    if (own_view && (h.lines_borrowed || !f->app)) {
        /* The line table points into the stream's view, or describes a
         * message of a flow not named yet: later readers of this packet
         * parse its own payload again. (Once HTTP names the flow, only the
         * protocols it carries read on, and they read the whole message.) */
        oxlo_dissector_lines_forget(m);
    }
    maybe_end_extra(m, f);
}

int extra_dissection(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_packet_view pkt = oxlo_dissector_packet(m, f);
    if (pkt.segment.length == 0 || pkt.retransmission)
        return 1;
    search(m, f, true);
    if (oxlo_dissector_extra_active(f, extra_dissection))
        return 1;
    /* A WebSocket upgrade may carry a tunnelled TLS session: the
     * obfuscated-TLS heuristic takes the reading over. */
    const auto &h = http(f);
    if (oxlo_flow_host(f)[0] && h.response_code && h.websocket && (m->cfg.tls_heuristics & 0x04) &&
        tls_obfuscated_heur_start(m, f))
        return 1;
    return oxlo_dissector_extra_active(f, nullptr);
}

/* A request read inside the follow-up sets it again without restarting
 * its count. */
void start_extra(oxlo_flow_state *f) { oxlo_dissector_extra_continue(f, extra_dissection, EXTRA_PACKETS); }

} // namespace

extern "C" {

void oxlo_http_user_agent_checks(oxlo_module *module, oxlo_flow_state *flow, const uint8_t *text, size_t length)
{
    if (module && flow && text)
        user_agent_step(module, flow, oxlo_reader_make(text, length));
}

uint32_t oxlo_http_request_start(oxlo_module *module)
{
    if (!module)
        return 0;
    return uint32_t(request_start(oxlo_dissector_packet(module, nullptr).segment, nullptr, false));
}

uint8_t oxlo_http_conversation(const oxlo_flow_state *flow)
{
    const http_state *h = find_state(flow);
    return h->request_waiting ? h->request_waiting : h->conversation;
}
int oxlo_http_request_waiting(const oxlo_flow_state *flow) { return find_state(flow)->request_waiting != 0; }
int oxlo_http_messages(const oxlo_flow_state *flow)
{
    if (!flow)
        return 0;
    const http_state *h = find_state(flow);
    if (h->request_waiting)
        return 1;
    const bool over_http = flow->app == P_HTTP || flow->master == P_HTTP;
    /* The answer that switches protocols is HTTP's; what follows it is not. */
    const bool switched = h->response_code == 101 && flow->payload_packets > h->switch_packet;
    return over_http && !switched;
}
uint32_t oxlo_flow_http_method(const oxlo_flow_state *flow) { return find_state(flow)->method; }
const char *oxlo_flow_http_url(const oxlo_flow_state *flow)
{
    const char *url = find_state(flow)->url;
    return url ? url : "";
}

static void oxlo_search_http_tcp(oxlo_module *module, oxlo_flow_state *flow)
{
    if (!module || !flow)
        return;
    if (!oxlo_dissector_state_of(module, flow, P_HTTP, 1)) {
        exclude(module, flow);
        return;
    }
    search(module, flow, false);
}

static const uint16_t http_protocols[] = {P_HTTP};

extern const oxlo_dissector_def oxlo_dissector_def_http = {
    "HTTP",
    oxlo_search_http_tcp,
    OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_TCP | OXLO_SEL_PAYLOAD | OXLO_SEL_NO_RETRANSMISSION,
    http_protocols,
    1,
    sizeof(http_state),
    oxlo_http_state_release,
    oxlo_http_json_block,
};

} // extern "C"
