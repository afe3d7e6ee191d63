/* SQL-injection detection: the text is cut into SQL tokens, the token stream
 * is folded into at most five token-type letters (the fingerprint), and the
 * fingerprint is looked up in a sorted table of fingerprints that injections
 * produce and ordinary text does not. A few rules then clear short
 * fingerprints that ordinary text produces too often. No global state: all
 * work happens in the caller's context. */
#include "oxlo_inj.h"

#include <cstring>
#include <initializer_list>

namespace {

/* ---- the keyword table ----------------------------------------------- */

struct keyword_row {
    const char *word;
    char type;
};

const keyword_row keyword_table[] = {
#define OXLO_SQLI_ROW(word, type) {word, type},
#include "../data/oxlo_sqli_table.def"
#undef OXLO_SQLI_ROW
};
constexpr size_t keyword_rows = sizeof keyword_table / sizeof keyword_table[0];

inline unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

/* Compares text (a-z taken as upper case) with an upper-case table word;
 * equal only when the word ends exactly at the text's end. */
int compare_word(const char *text, size_t length, const char *word)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char w = static_cast<unsigned char>(word[i]);
        if (w == 0)
            return 1;
        unsigned char c = upper(static_cast<unsigned char>(text[i]));
        if (c != w)
            return c < w ? -1 : 1;
    }
    return word[length] == 0 ? 0 : -1;
}

char table_search(const char *text, size_t length)
{
    size_t low = 0, high = keyword_rows - 1;
    while (low < high) {
        size_t mid = (low + high) / 2;
        if (compare_word(text, length, keyword_table[mid].word) > 0)
            low = mid + 1;
        else
            high = mid;
    }
    return compare_word(text, length, keyword_table[low].word) == 0 ? keyword_table[low].type : 0;
}

char default_lookup(oxlo_inj_sqli_context *ctx, int kind, const char *text, size_t length)
{
    if (kind == OXLO_INJ_SQLI_LOOKUP_FINGERPRINT)
        return oxlo_inj_sqli_blacklisted(ctx) && oxlo_inj_sqli_not_whitelisted(ctx) ? 'X' : 0;
    return table_search(text, length);
}

/* ---- tokens ------------------------------------------------------------ */

enum : char {
    T_KEYWORD = 'k', T_UNION = 'U', T_GROUP = 'B', T_EXPRESSION = 'E', T_SQLTYPE = 't',
    T_TSQL = 'T', T_FUNCTION = 'f', T_BAREWORD = 'n', T_NUMBER = '1', T_VARIABLE = 'v',
    T_STRING = 's', T_OPERATOR = 'o', T_LOGIC = '&', T_COMMENT = 'c', T_COLLATE = 'A',
    T_LEFTPAREN = '(', T_RIGHTPAREN = ')', T_LEFTBRACE = '{', T_RIGHTBRACE = '}',
    T_DOT = '.', T_COMMA = ',', T_COLON = ':', T_SEMICOLON = ';', T_BACKSLASH = '\\',
    T_UNKNOWN = '?', T_EVIL = 'X', T_FINGERPRINT = 'F',
};

constexpr char backquote = '`';

void token_clear(oxlo_inj_sqli_token *t) { std::memset(t, 0, sizeof *t); }

void token_set(oxlo_inj_sqli_token *t, char type, size_t pos, size_t len, const char *value)
{
    t->type = type;
    t->pos = pos;
    t->len = len < OXLO_INJ_SQLI_TOKEN_SIZE - 1 ? len : OXLO_INJ_SQLI_TOKEN_SIZE - 1;
    std::memcpy(t->val, value, t->len);
    t->val[t->len] = '\0';
}

bool equals_ci(const char *a, const char *upper_word)
{
    size_t n = std::strlen(upper_word);
    if (std::strlen(a) != n)
        return false;
    return compare_word(a, n, upper_word) == 0;
}

bool is_white(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 160;
}

bool is_word_end(unsigned char c)
{
    return is_white(c) || c == 0 || std::strchr("[]{}<>:\\?=@!#~+-*/&|^%(),;'\"", c) != nullptr;
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool is_hex(unsigned char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_unary(const oxlo_inj_sqli_token *t)
{
    if (t->type != T_OPERATOR)
        return false;
    if (t->len == 1)
        return std::strchr("+-!~", t->val[0]) != nullptr;
    if (t->len == 2)
        return t->val[0] == '!' && t->val[1] == '!';
    return t->len == 3 && equals_ci(t->val, "NOT");
}

bool is_arithmetic(const oxlo_inj_sqli_token *t)
{
    return t->type == T_OPERATOR && t->len == 1 && std::strchr("+-*/%", t->val[0]) != nullptr;
}

bool type_in(char type, const char *set) { return type != 0 && std::strchr(set, type) != nullptr; }

/* The handlers: each reads at ctx->pos, writes ctx->current (or nothing, for
 * white space) and returns the new position. */
using handler = size_t (*)(oxlo_inj_sqli_context *);

/* A string delimited by delim starting at offset; with an opening quote the
 * content begins one byte later. A delimiter after an odd number of
 * backslashes is escaped (counting stops at the content's start, never
 * before the buffer), and a doubled delimiter continues the string. */
size_t read_string(oxlo_inj_sqli_context *ctx, size_t offset, char delim, bool opened, char type)
{
    const char *s = ctx->s;
    size_t n = ctx->slen;
    size_t start = offset + (opened ? 1 : 0);
    size_t q = start;
    while (q < n) {
        const char *hit = static_cast<const char *>(std::memchr(s + q, delim, n - q));
        if (!hit)
            break;
        size_t at = static_cast<size_t>(hit - s);
        size_t slashes = 0;
        while (at - slashes > start && s[at - slashes - 1] == '\\')
            slashes++;
        if (slashes % 2 == 1) {
            q = at + 1;
            continue;
        }
        if (at + 1 < n && s[at + 1] == delim) {
            q = at + 2;
            continue;
        }
        token_set(ctx->current, type, offset, at - start, s + start);
        ctx->current->str_open = opened ? delim : 0;
        ctx->current->str_close = delim;
        return at + 1;
    }
    token_set(ctx->current, type, offset, n - start, s + start);
    ctx->current->str_open = opened ? delim : 0;
    ctx->current->str_close = 0;
    return n;
}

size_t parse_white(oxlo_inj_sqli_context *ctx) { return ctx->pos + 1; }

size_t parse_char(oxlo_inj_sqli_context *ctx)
{
    token_set(ctx->current, ctx->s[ctx->pos], ctx->pos, 1, ctx->s + ctx->pos);
    return ctx->pos + 1;
}

size_t parse_operator1(oxlo_inj_sqli_context *ctx)
{
    token_set(ctx->current, T_OPERATOR, ctx->pos, 1, ctx->s + ctx->pos);
    return ctx->pos + 1;
}

size_t parse_unknown(oxlo_inj_sqli_context *ctx)
{
    token_set(ctx->current, T_UNKNOWN, ctx->pos, 1, ctx->s + ctx->pos);
    return ctx->pos + 1;
}

size_t parse_eol_comment(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    const char *nl = static_cast<const char *>(std::memchr(s + pos, '\n', ctx->slen - pos));
    if (!nl) {
        token_set(ctx->current, T_COMMENT, pos, ctx->slen - pos, s + pos);
        return ctx->slen;
    }
    size_t end = static_cast<size_t>(nl - s);
    token_set(ctx->current, T_COMMENT, pos, end - pos, s + pos);
    return end + 1;
}

size_t parse_operator2(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t left = ctx->slen - pos;
    if (left >= 3 && s[pos] == '<' && s[pos + 1] == '=' && s[pos + 2] == '>') {
        token_set(ctx->current, T_OPERATOR, pos, 3, s + pos);
        return pos + 3;
    }
    if (left >= 2) {
        char type = ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_OPERATOR, s + pos, 2);
        if (type) {
            token_set(ctx->current, type, pos, 2, s + pos);
            return pos + 2;
        }
    }
    if (s[pos] == ':') {
        token_set(ctx->current, T_COLON, pos, 1, s + pos);
        return pos + 1;
    }
    return parse_operator1(ctx);
}

size_t parse_string(oxlo_inj_sqli_context *ctx)
{
    return read_string(ctx, ctx->pos, ctx->s[ctx->pos], true, T_STRING);
}

size_t parse_hash(oxlo_inj_sqli_context *ctx)
{
    ctx->stats_comment_hash++;
    if (ctx->flags & OXLO_INJ_SQLI_SQL_MYSQL) {
        ctx->stats_comment_hash++;
        return parse_eol_comment(ctx);
    }
    token_set(ctx->current, T_OPERATOR, ctx->pos, 1, "#");
    return ctx->pos + 1;
}

size_t parse_dash(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t n = ctx->slen;
    if (pos + 1 < n && s[pos + 1] == '-') {
        if (pos + 2 == n || is_white(static_cast<unsigned char>(s[pos + 2])))
            return parse_eol_comment(ctx);
        if (ctx->flags & OXLO_INJ_SQLI_SQL_ANSI) {
            ctx->stats_comment_ddx++;
            return parse_eol_comment(ctx);
        }
    }
    return parse_operator1(ctx);
}

size_t parse_slash(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t n = ctx->slen;
    if (pos + 1 >= n || s[pos + 1] != '*')
        return parse_operator1(ctx);
    size_t end = n;
    size_t close = n;
    for (size_t i = pos + 2; i + 1 < n; i++) {
        if (s[i] == '*' && s[i + 1] == '/') {
            close = i;
            end = i + 2;
            break;
        }
    }
    char type = T_COMMENT;
    if (pos + 2 < n && s[pos + 2] == '!')
        type = T_EVIL;
    for (size_t i = pos + 2; i + 1 < close && type != T_EVIL; i++)
        if (s[i] == '/' && s[i + 1] == '*')
            type = T_EVIL;
    token_set(ctx->current, type, pos, end - pos, s + pos);
    return end;
}

size_t parse_backslash(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    if (pos + 1 < ctx->slen && s[pos + 1] == 'N') {
        token_set(ctx->current, T_NUMBER, pos, 2, s + pos);
        return pos + 2;
    }
    token_set(ctx->current, T_BACKSLASH, pos, 1, s + pos);
    return pos + 1;
}

size_t parse_word(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t end = pos;
    while (end < ctx->slen && !is_word_end(static_cast<unsigned char>(s[end])))
        end++;
    size_t wlen = end - pos;
    /* "table.column" or "name`...": a known first part is a token of its own. */
    for (size_t i = 0; i < wlen; i++) {
        char c = s[pos + i];
        if (c == '.' || c == backquote) {
            if (i > 0 && i < OXLO_INJ_SQLI_TOKEN_SIZE) {
                char type = ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_WORD, s + pos, i);
                if (type && type != T_BAREWORD) {
                    token_set(ctx->current, type, pos, i, s + pos);
                    return pos + i;
                }
            }
            break;
        }
    }
    char type = 0;
    if (wlen < OXLO_INJ_SQLI_TOKEN_SIZE)
        type = ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_WORD, s + pos, wlen);
    if (!type || type == T_FINGERPRINT)
        type = T_BAREWORD;
    token_set(ctx->current, type, pos, wlen, s + pos);
    return end;
}

size_t parse_backquote(oxlo_inj_sqli_context *ctx)
{
    size_t end = read_string(ctx, ctx->pos, backquote, true, T_BAREWORD);
    oxlo_inj_sqli_token *t = ctx->current;
    char type = t->len ? ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_WORD, t->val, t->len) : 0;
    t->type = type == T_FUNCTION ? T_FUNCTION : T_BAREWORD;
    return end;
}

size_t parse_bracket(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    const char *close = static_cast<const char *>(std::memchr(s + pos, ']', ctx->slen - pos));
    size_t end = close ? static_cast<size_t>(close - s) + 1 : ctx->slen;
    token_set(ctx->current, T_BAREWORD, pos, end - pos, s + pos);
    return end;
}

size_t parse_number(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t n = ctx->slen;
    auto at = [&](size_t i) { return i < n ? static_cast<unsigned char>(s[i]) : 0u; };

    if (s[pos] == '0' && pos + 1 < n) {
        unsigned char p = at(pos + 1);
        bool hex = p == 'x' || p == 'X';
        bool bin = p == 'b' || p == 'B';
        if (hex || bin) {
            size_t end = pos + 2;
            while (end < n && (hex ? is_hex(at(end)) : (at(end) == '0' || at(end) == '1')))
                end++;
            if (end == pos + 2) {
                token_set(ctx->current, T_BAREWORD, pos, 2, s + pos);
                return end;
            }
            token_set(ctx->current, T_NUMBER, pos, end - pos, s + pos);
            return end;
        }
    }
    size_t end = pos;
    while (end < n && is_digit(at(end)))
        end++;
    if (at(end) == '.' && end < n) {
        end++;
        while (end < n && is_digit(at(end)))
            end++;
        if (end - pos == 1) {
            token_set(ctx->current, T_DOT, pos, 1, s + pos);
            return end;
        }
    }
    char type = T_NUMBER;
    if (end < n && (at(end) == 'e' || at(end) == 'E')) {
        end++;
        if (end < n && (at(end) == '+' || at(end) == '-'))
            end++;
        size_t digits = end;
        while (end < n && is_digit(at(end)))
            end++;
        if (end == digits)
            type = T_BAREWORD;
    }
    if (type == T_NUMBER && end < n && std::strchr("dDfF", static_cast<int>(at(end))) && at(end)) {
        unsigned char next = at(end + 1);
        if (end + 1 == n || is_white(next) || next == ';' || next == 'u' || next == 'U')
            end++;
    }
    token_set(ctx->current, type, pos, end - pos, s + pos);
    return end;
}

size_t parse_money(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t n = ctx->slen;
    if (pos + 1 >= n) {
        token_set(ctx->current, T_BAREWORD, pos, 1, s + pos);
        return n;
    }
    unsigned char c = static_cast<unsigned char>(s[pos + 1]);
    if (c == '$') {
        /* $$...$$ */
        for (size_t i = pos + 2; i + 1 < n; i++) {
            if (s[i] == '$' && s[i + 1] == '$') {
                token_set(ctx->current, T_STRING, pos, i - pos - 2, s + pos + 2);
                ctx->current->str_open = '$';
                ctx->current->str_close = '$';
                return i + 2;
            }
        }
        token_set(ctx->current, T_STRING, pos, n - pos - 2, s + pos + 2);
        ctx->current->str_open = '$';
        return n;
    }
    if (c == '.')
        return parse_word(ctx);
    if (is_digit(c) || c == ',') {
        size_t end = pos + 1;
        while (end < n && (is_digit(static_cast<unsigned char>(s[end])) || s[end] == '.' || s[end] == ','))
            end++;
        token_set(ctx->current, T_NUMBER, pos, end - pos, s + pos);
        return end;
    }
    /* $tag$...$tag$ */
    size_t tag_end = pos + 1;
    while (tag_end < n && is_letter(static_cast<unsigned char>(s[tag_end])))
        tag_end++;
    if (tag_end == pos + 1 || tag_end >= n || s[tag_end] != '$')
        return parse_word(ctx);
    size_t tag_len = tag_end + 1 - pos;
    size_t body = tag_end + 1;
    for (size_t i = body; i + tag_len <= n; i++) {
        if (std::memcmp(s + i, s + pos, tag_len) == 0) {
            token_set(ctx->current, T_STRING, body, i - body, s + body);
            ctx->current->str_open = '$';
            ctx->current->str_close = '$';
            return i + tag_len;
        }
    }
    token_set(ctx->current, T_STRING, body, n - body, s + body);
    ctx->current->str_open = '$';
    return n;
}

size_t parse_variable(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos + 1;
    size_t n = ctx->slen;
    if (pos < n && s[pos] == '@')
        pos++;
    if (pos < n && (s[pos] == '\'' || s[pos] == '"' || s[pos] == backquote))
        return read_string(ctx, pos, s[pos], true, T_VARIABLE);
    size_t end = pos;
    while (end < n && !is_word_end(static_cast<unsigned char>(s[end])) && s[end] != '.' && s[end] != backquote)
        end++;
    token_set(ctx->current, T_VARIABLE, ctx->pos, end - pos, s + pos);
    return end;
}

/* Q'<d>...<d>' with a delimiter of choice; brackets close with their pair. */
size_t parse_qstring_at(oxlo_inj_sqli_context *ctx, size_t pos, bool *matched)
{
    const char *s = ctx->s;
    size_t n = ctx->slen;
    *matched = false;
    if (pos + 2 >= n || s[pos + 1] != '\'')
        return pos;
    unsigned char open = static_cast<unsigned char>(s[pos + 2]);
    if (open <= ' ')
        return pos;
    char close = static_cast<char>(open);
    if (open == '(') close = ')';
    else if (open == '[') close = ']';
    else if (open == '{') close = '}';
    else if (open == '<') close = '>';
    *matched = true;
    size_t body = pos + 3;
    for (size_t i = body; i + 1 < n; i++) {
        if (s[i] == close && s[i + 1] == '\'') {
            token_set(ctx->current, T_STRING, pos, i - body, s + body);
            ctx->current->str_open = '\'';
            ctx->current->str_close = '\'';
            return i + 2;
        }
    }
    token_set(ctx->current, T_STRING, pos, n - body, s + body);
    ctx->current->str_open = '\'';
    return n;
}

size_t parse_qstring(oxlo_inj_sqli_context *ctx)
{
    bool matched;
    size_t end = parse_qstring_at(ctx, ctx->pos, &matched);
    return matched ? end : parse_word(ctx);
}

size_t parse_nstring(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    if (pos + 1 < ctx->slen && s[pos + 1] == '\'')
        return read_string(ctx, pos + 1, '\'', true, T_STRING);
    if (pos + 1 < ctx->slen && (s[pos + 1] == 'q' || s[pos + 1] == 'Q')) {
        bool matched;
        size_t end = parse_qstring_at(ctx, pos + 1, &matched);
        if (matched)
            return end;
    }
    return parse_word(ctx);
}

size_t parse_estring(oxlo_inj_sqli_context *ctx)
{
    size_t pos = ctx->pos;
    if (pos + 1 < ctx->slen && ctx->s[pos + 1] == '\'')
        return read_string(ctx, pos + 1, '\'', true, T_STRING);
    return parse_word(ctx);
}

size_t parse_ustring(oxlo_inj_sqli_context *ctx)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    if (pos + 2 < ctx->slen && s[pos + 1] == '&' && s[pos + 2] == '\'')
        return read_string(ctx, pos + 2, '\'', true, T_STRING);
    return parse_word(ctx);
}

/* b'0101' and x'1f': a quoted run of the allowed digits is a number. */
size_t parse_quoted_digits(oxlo_inj_sqli_context *ctx, bool hex)
{
    const char *s = ctx->s;
    size_t pos = ctx->pos;
    size_t n = ctx->slen;
    if (pos + 1 >= n || s[pos + 1] != '\'')
        return parse_word(ctx);
    size_t end = pos + 2;
    while (end < n && (hex ? is_hex(static_cast<unsigned char>(s[end])) : (s[end] == '0' || s[end] == '1')))
        end++;
    if (end >= n || s[end] != '\'')
        return parse_word(ctx);
    token_set(ctx->current, T_NUMBER, pos, end + 1 - pos, s + pos);
    return end + 1;
}

size_t parse_bstring(oxlo_inj_sqli_context *ctx) { return parse_quoted_digits(ctx, false); }
size_t parse_xstring(oxlo_inj_sqli_context *ctx) { return parse_quoted_digits(ctx, true); }

struct char_table {
    handler h[256];
    constexpr void on(char c, handler f) { h[static_cast<unsigned char>(c)] = f; }
    constexpr char_table() : h()
    {
        for (int c = 0; c < 256; c++)
            h[c] = parse_word;
        for (int c = 0; c <= 32; c++)
            h[c] = parse_white;
        h[127] = parse_white;
        h[160] = parse_white;
        for (unsigned char c : {'!', '&', '*', ':', '<', '=', '>', '|'})
            h[c] = parse_operator2;
        for (unsigned char c : {'%', '+', '^', '~'})
            h[c] = parse_operator1;
        on('"', parse_string);
        on('\'', parse_string);
        on('#', parse_hash);
        on('$', parse_money);
        for (unsigned char c : {'(', ')', ',', ';', '{', '}'})
            h[c] = parse_char;
        on('-', parse_dash);
        on('.', parse_number);
        for (int c = '0'; c <= '9'; c++)
            h[c] = parse_number;
        on('/', parse_slash);
        on('?', parse_unknown);
        on(']', parse_unknown);
        on('@', parse_variable);
        on('B', parse_bstring);
        on('b', parse_bstring);
        on('E', parse_estring);
        on('e', parse_estring);
        on('N', parse_nstring);
        on('n', parse_nstring);
        on('Q', parse_qstring);
        on('q', parse_qstring);
        on('U', parse_ustring);
        on('u', parse_ustring);
        on('X', parse_xstring);
        on('x', parse_xstring);
        on('[', parse_bracket);
        on('\\', parse_backslash);
        on('`', parse_backquote);
    }
};

constexpr char_table char_handlers;

/* ---- folding ----------------------------------------------------------- */

const char *const function_words[] = {"USER_ID", "USER_NAME", "DATABASE", "PASSWORD", "USER",
                                      "CURRENT_USER", "CURRENT_DATE", "CURRENT_TIME",
                                      "CURRENT_TIMESTAMP", "LOCALTIME", "LOCALTIMESTAMP"};

bool is_function_word(const char *val)
{
    for (const char *w : function_words)
        if (equals_ci(val, w))
            return true;
    return false;
}

struct folder {
    oxlo_inj_sqli_context *ctx;
    oxlo_inj_sqli_token *v;
    size_t pos = 0;    /* next free slot */
    size_t left = 0;   /* tokens settled */
    bool more = true;
    oxlo_inj_sqli_token last_comment{};

    /* Removes token i, shifting the ones after it down. */
    void remove(size_t i)
    {
        for (size_t j = i; j + 1 < pos; j++)
            v[j] = v[j + 1];
        pos--;
        token_clear(&v[pos]);
        ctx->stats_folds++;
    }

    /* Reads until `want` tokens are unsettled, into slots up to 5. */
    void read_until(size_t want)
    {
        while (more && pos <= OXLO_INJ_SQLI_MAX_TOKENS && pos - left < want) {
            ctx->current = &v[pos];
            more = oxlo_inj_sqli_tokenize(ctx) != 0;
            if (!more)
                break;
            if (ctx->current->type == T_COMMENT) {
                last_comment = *ctx->current;
                token_clear(ctx->current);
            } else {
                last_comment.type = 0;
                pos++;
            }
        }
    }

    bool five_token_shape() const
    {
        char a = v[0].type, b = v[1].type, c = v[2].type, d = v[3].type, e = v[4].type;
        return (a == T_NUMBER && (b == T_OPERATOR || b == T_COMMA) && c == T_LEFTPAREN &&
                d == T_NUMBER && e == T_RIGHTPAREN) ||
               (a == T_BAREWORD && b == T_OPERATOR && c == T_LEFTPAREN &&
                (d == T_BAREWORD || d == T_NUMBER) && e == T_RIGHTPAREN) ||
               (a == T_NUMBER && b == T_RIGHTPAREN && c == T_COMMA && d == T_LEFTPAREN &&
                e == T_NUMBER) ||
               (a == T_BAREWORD && b == T_RIGHTPAREN && c == T_OPERATOR && d == T_LEFTPAREN &&
                e == T_BAREWORD);
    }

    /* 1: a rule changed the tokens, look again; 0: none applies; -1: stop. */
    int two_token_rules();
    int three_token_rules();
    int run();
};

int folder::two_token_rules()
{
    oxlo_inj_sqli_token *a = &v[left], *b = &v[left + 1];
    if (a->type == T_STRING && b->type == T_STRING) {
        remove(left + 1);
        return 1;
    }
    if (a->type == T_SEMICOLON && b->type == T_SEMICOLON) {
        remove(left + 1);
        return 1;
    }
    if ((a->type == T_OPERATOR || a->type == T_LOGIC) && (is_unary(b) || b->type == T_SQLTYPE)) {
        remove(left + 1);
        left = 0;
        return 1;
    }
    if (a->type == T_LEFTPAREN && is_unary(b)) {
        remove(left + 1);
        return 1;
    }
    if (type_in(a->type, "knoUfETt") && type_in(b->type, "knoUfETt&")) {
        size_t joined = a->len + 1 + b->len;
        if (joined < OXLO_INJ_SQLI_TOKEN_SIZE) {
            char text[OXLO_INJ_SQLI_TOKEN_SIZE];
            std::memcpy(text, a->val, a->len);
            text[a->len] = ' ';
            std::memcpy(text + a->len + 1, b->val, b->len);
            char type = ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_WORD, text, joined);
            if (type && type != T_FINGERPRINT) {
                token_set(a, type, a->pos, joined, text);
                remove(left + 1);
                return 1;
            }
        }
    }
    if (a->type == T_SEMICOLON && b->type == T_FUNCTION && equals_ci(b->val, "IF")) {
        b->type = T_TSQL;
        return 1;
    }
    if ((a->type == T_BAREWORD || a->type == T_VARIABLE) && b->type == T_LEFTPAREN &&
        is_function_word(a->val)) {
        a->type = T_FUNCTION;
        return 1;
    }
    if (a->type == T_KEYWORD && (equals_ci(a->val, "IN") || equals_ci(a->val, "NOT IN"))) {
        a->type = b->type == T_LEFTPAREN ? T_OPERATOR : T_BAREWORD;
        return 1;
    }
    if (a->type == T_OPERATOR && (equals_ci(a->val, "LIKE") || equals_ci(a->val, "NOT LIKE")) &&
        b->type == T_LEFTPAREN) {
        a->type = T_FUNCTION;
        return 1;
    }
    if (a->type == T_SQLTYPE && type_in(b->type, "n1t(fvs")) {
        remove(left);
        return 1;
    }
    if (a->type == T_COLLATE && b->type == T_BAREWORD && std::strchr(b->val, '_')) {
        b->type = T_SQLTYPE;
        return 1;
    }
    if (a->type == T_BACKSLASH) {
        if (is_arithmetic(b)) {
            a->type = T_NUMBER;
            return 1;
        }
        remove(left);
        return 1;
    }
    if ((a->type == T_LEFTPAREN && b->type == T_LEFTPAREN) ||
        (a->type == T_RIGHTPAREN && b->type == T_RIGHTPAREN)) {
        remove(left + 1);
        return 1;
    }
    if (a->type == T_LEFTBRACE && b->type == T_BAREWORD) {
        if (b->len == 0) {
            b->type = T_EVIL;
            left += 2;
            return -1;
        }
        remove(left + 1);
        remove(left);
        return 1;
    }
    if (b->type == T_RIGHTBRACE) {
        remove(left + 1);
        return 1;
    }
    return 0;
}

int folder::three_token_rules()
{
    oxlo_inj_sqli_token *a = &v[left], *b = &v[left + 1], *c = &v[left + 2];
    auto keep_first = [&]() {
        remove(left + 2);
        remove(left + 1);
        return 1;
    };
    if (a->type == T_NUMBER && b->type == T_OPERATOR && c->type == T_NUMBER)
        return keep_first();
    if (a->type == T_OPERATOR && b->type != T_LEFTPAREN && c->type == T_OPERATOR)
        return keep_first();
    if (a->type == T_LOGIC && c->type == T_LOGIC)
        return keep_first();
    if (a->type == T_VARIABLE && b->type == T_OPERATOR && type_in(c->type, "v1n"))
        return keep_first();
    if (type_in(a->type, "n1") && b->type == T_OPERATOR && type_in(c->type, "1n"))
        return keep_first();
    if (type_in(a->type, "n1vs") && b->type == T_OPERATOR && std::strcmp(b->val, "::") == 0 &&
        c->type == T_SQLTYPE)
        return keep_first();
    if (type_in(a->type, "n1sv") && b->type == T_COMMA && type_in(c->type, "1nsv"))
        return keep_first();
    if (type_in(a->type, "EB,") && is_unary(b) && c->type == T_LEFTPAREN) {
        remove(left + 1);
        return 1;
    }
    if (type_in(a->type, "kEB") && is_unary(b) && type_in(c->type, "1nvsf")) {
        remove(left + 1);
        return 1;
    }
    if (a->type == T_COMMA && is_unary(b) && type_in(c->type, "1nvs")) {
        remove(left + 1);
        /* Backing up three places never goes before the first token. */
        left = left >= 3 ? left - 3 : 0;
        return 1;
    }
    if (a->type == T_COMMA && is_unary(b) && c->type == T_FUNCTION) {
        remove(left + 1);
        return 1;
    }
    if (a->type == T_BAREWORD && b->type == T_DOT && c->type == T_BAREWORD)
        return keep_first();
    if (a->type == T_EXPRESSION && b->type == T_DOT && c->type == T_BAREWORD) {
        remove(left + 1);
        return 1;
    }
    if (a->type == T_FUNCTION && b->type == T_LEFTPAREN && c->type != T_RIGHTPAREN &&
        equals_ci(a->val, "USER")) {
        /* Settle it as a bare word: looking at it again would turn "USER ("
         * back into a function, and the two rules would undo each other
         * for ever. */
        a->type = T_BAREWORD;
        left++;
        return 1;
    }
    return 0;
}

int folder::run()
{
    v = ctx->tokenvec;
    for (int i = 0; i < OXLO_INJ_SQLI_TOKEN_SLOTS; i++)
        token_clear(&v[i]);
    last_comment.type = 0;

    /* Leading comments, '(', types and unary operators say nothing. */
    ctx->current = &v[0];
    for (;;) {
        if (!oxlo_inj_sqli_tokenize(ctx))
            return 0;
        char t = ctx->current->type;
        if (!(t == T_COMMENT || t == T_LEFTPAREN || t == T_SQLTYPE || is_unary(ctx->current)))
            break;
    }
    pos = 1;
    left = 0;
    more = true;

    for (;;) {
        if (pos >= OXLO_INJ_SQLI_MAX_TOKENS && five_token_shape()) {
            ctx->stats_folds += 4;
            if (pos > OXLO_INJ_SQLI_MAX_TOKENS) {
                v[1] = v[OXLO_INJ_SQLI_MAX_TOKENS];
                for (size_t j = 2; j < pos; j++)
                    token_clear(&v[j]);
                pos = 2;
            } else {
                for (size_t j = 1; j < pos; j++)
                    token_clear(&v[j]);
                pos = 1;
            }
            left = 0;
        }
        if (left >= OXLO_INJ_SQLI_MAX_TOKENS)
            break;
        read_until(2);
        if (pos - left < 2) {
            left = pos;
            break;
        }
        int r = two_token_rules();
        if (r < 0)
            break;
        if (r > 0)
            continue;
        read_until(3);
        if (pos - left < 3) {
            left = pos;
            continue;
        }
        if (three_token_rules() > 0)
            continue;
        left++;
    }
    if (left > OXLO_INJ_SQLI_MAX_TOKENS)
        left = OXLO_INJ_SQLI_MAX_TOKENS;
    if (left < OXLO_INJ_SQLI_MAX_TOKENS && last_comment.type == T_COMMENT) {
        v[left] = last_comment;
        left++;
    }
    return static_cast<int>(left);
}

bool contains(const char *s, size_t n, const char *needle)
{
    size_t m = std::strlen(needle);
    if (m == 0 || n < m)
        return m == 0;
    for (size_t i = 0; i + m <= n; i++)
        if (std::memcmp(s + i, needle, m) == 0)
            return true;
    return false;
}

bool pass_hit(oxlo_inj_sqli_context *ctx, int flags)
{
    const char *fp = oxlo_inj_sqli_fingerprint(ctx, flags);
    return ctx->lookup(ctx, OXLO_INJ_SQLI_LOOKUP_FINGERPRINT, fp, std::strlen(fp)) != 0;
}

bool counted_comments(const oxlo_inj_sqli_context *ctx)
{
    return ctx->stats_comment_ddx > 0 || ctx->stats_comment_hash > 0;
}

} // namespace

extern "C" {

void oxlo_inj_sqli_state_init(oxlo_inj_sqli_context *ctx, const char *text, size_t length, int flags)
{
    std::memset(ctx, 0, sizeof *ctx);
    ctx->s = text;
    ctx->slen = text ? length : 0;
    ctx->lookup = default_lookup;
    ctx->flags = flags ? flags : OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_ANSI;
    ctx->current = &ctx->tokenvec[0];
}

void oxlo_inj_sqli_state_reset(oxlo_inj_sqli_context *ctx, int flags)
{
    oxlo_inj_sqli_lookup_fn fn = ctx->lookup;
    void *userdata = ctx->userdata;
    oxlo_inj_sqli_state_init(ctx, ctx->s, ctx->slen, flags);
    ctx->lookup = fn ? fn : default_lookup;
    ctx->userdata = userdata;
}

void oxlo_inj_sqli_set_lookup(oxlo_inj_sqli_context *ctx, oxlo_inj_sqli_lookup_fn fn, void *userdata)
{
    ctx->lookup = fn ? fn : default_lookup;
    ctx->userdata = userdata;
}

int oxlo_inj_sqli_tokenize(oxlo_inj_sqli_context *ctx)
{
    if (ctx->slen == 0)
        return 0;
    oxlo_inj_sqli_token *t = ctx->current;
    token_clear(t);
    if (ctx->pos == 0 && (ctx->flags & (OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_QUOTE_DOUBLE))) {
        char delim = (ctx->flags & OXLO_INJ_SQLI_QUOTE_SINGLE) ? '\'' : '"';
        ctx->pos = read_string(ctx, 0, delim, false, T_STRING);
        ctx->stats_tokens++;
        return 1;
    }
    while (ctx->pos < ctx->slen) {
        unsigned char c = static_cast<unsigned char>(ctx->s[ctx->pos]);
        ctx->pos = char_handlers.h[c](ctx);
        if (t->type) {
            ctx->stats_tokens++;
            return 1;
        }
    }
    return 0;
}

int oxlo_inj_sqli_fold(oxlo_inj_sqli_context *ctx)
{
    folder f;
    f.ctx = ctx;
    return f.run();
}

const char *oxlo_inj_sqli_fingerprint(oxlo_inj_sqli_context *ctx, int flags)
{
    oxlo_inj_sqli_state_reset(ctx, flags);
    int n = oxlo_inj_sqli_fold(ctx);
    oxlo_inj_sqli_token *v = ctx->tokenvec;
    /* An unclosed, empty back-quote at the end works like a comment. */
    if (n > 2 && v[n - 1].type == T_BAREWORD && v[n - 1].str_open == backquote && v[n - 1].len == 0 &&
        v[n - 1].str_close == 0)
        v[n - 1].type = T_COMMENT;
    for (int i = 0; i < n; i++)
        ctx->fingerprint[i] = v[i].type;
    ctx->fingerprint[n] = '\0';
    if (std::strchr(ctx->fingerprint, T_EVIL)) {
        std::memset(ctx->fingerprint, 0, sizeof ctx->fingerprint);
        ctx->fingerprint[0] = T_EVIL;
        token_clear(&v[0]);
        token_set(&v[0], T_EVIL, 0, 1, "X");
        v[1].type = 0;
    }
    return ctx->fingerprint;
}

int oxlo_inj_sqli_blacklisted(oxlo_inj_sqli_context *ctx)
{
    size_t n = std::strlen(ctx->fingerprint);
    if (n < 1)
        return 0;
    char key[OXLO_INJ_SQLI_MAX_TOKENS + 2];
    key[0] = '0';
    for (size_t i = 0; i < n && i < OXLO_INJ_SQLI_MAX_TOKENS; i++)
        key[i + 1] = static_cast<char>(upper(static_cast<unsigned char>(ctx->fingerprint[i])));
    size_t key_len = n < OXLO_INJ_SQLI_MAX_TOKENS ? n + 1 : OXLO_INJ_SQLI_MAX_TOKENS + 1;
    if (table_search(key, key_len) == T_FINGERPRINT)
        return 1;
    ctx->reason = __LINE__;
    return 0;
}

int oxlo_inj_sqli_not_whitelisted(oxlo_inj_sqli_context *ctx)
{
    const char *fp = ctx->fingerprint;
    const oxlo_inj_sqli_token *v = ctx->tokenvec;
    size_t n = std::strlen(fp);
    if (n <= 1)
        return 1;
    if (fp[n - 1] == T_COMMENT && contains(ctx->s, ctx->slen, "sp_password"))
        return 1;
    if (n == 2) {
        if (fp[1] == T_UNION)
            return ctx->stats_tokens == 2 ? (ctx->reason = __LINE__, 0) : 1;
        if (v[1].val[0] == '#') {
            ctx->reason = __LINE__;
            return 0;
        }
        if (fp[0] == T_BAREWORD && fp[1] == T_COMMENT)
            return v[1].val[0] == '/' ? 1 : (ctx->reason = __LINE__, 0);
        if (fp[0] == T_NUMBER && fp[1] == T_COMMENT) {
            if (v[1].val[0] == '/' || ctx->stats_tokens > 2)
                return 1;
            size_t after = v[0].pos + v[0].len;
            if (after < ctx->slen) {
                unsigned char c = static_cast<unsigned char>(ctx->s[after]);
                if (c <= 32)
                    return 1;
                if (after + 1 < ctx->slen &&
                    ((c == '/' && ctx->s[after + 1] == '*') || (c == '-' && ctx->s[after + 1] == '-')))
                    return 1;
            }
            ctx->reason = __LINE__;
            return 0;
        }
        if (v[1].len > 2 && v[1].val[0] == '-') {
            ctx->reason = __LINE__;
            return 0;
        }
        return 1;
    }
    if (n == 3) {
        if (std::strcmp(fp, "sos") == 0 || std::strcmp(fp, "s&s") == 0) {
            if (v[0].str_open == 0 && v[2].str_close == 0 && v[0].str_close == v[2].str_open)
                return 1;
            ctx->reason = __LINE__;
            return 0;
        }
        for (const char *shape : {"s&n", "n&1", "1&1", "1&v", "1&s"})
            if (std::strcmp(fp, shape) == 0)
                return ctx->stats_tokens == 3 ? (ctx->reason = __LINE__, 0) : 1;
        if (fp[1] == T_KEYWORD) {
            if (v[1].len > 4 && compare_word(v[1].val, 4, "INTO") == 0)
                return 1;
            ctx->reason = __LINE__;
            return 0;
        }
        return 1;
    }
    return 1;
}

int oxlo_inj_sqli_detect(oxlo_inj_sqli_context *ctx)
{
    if (ctx->slen == 0)
        return 0;
    const int none_ansi = OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_ANSI;
    const int none_mysql = OXLO_INJ_SQLI_QUOTE_NONE | OXLO_INJ_SQLI_SQL_MYSQL;
    const int single_ansi = OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_SQL_ANSI;
    const int single_mysql = OXLO_INJ_SQLI_QUOTE_SINGLE | OXLO_INJ_SQLI_SQL_MYSQL;
    const int double_mysql = OXLO_INJ_SQLI_QUOTE_DOUBLE | OXLO_INJ_SQLI_SQL_MYSQL;

    if (pass_hit(ctx, none_ansi))
        return 1;
    if (counted_comments(ctx) && pass_hit(ctx, none_mysql))
        return 1;
    if (std::memchr(ctx->s, '\'', ctx->slen)) {
        if (pass_hit(ctx, single_ansi))
            return 1;
        if (counted_comments(ctx) && pass_hit(ctx, single_mysql))
            return 1;
    }
    if (std::memchr(ctx->s, '"', ctx->slen) && pass_hit(ctx, double_mysql))
        return 1;
    return 0;
}

int oxlo_inj_sqli_check_string(const char *text, size_t length, char fingerprint[8])
{
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text, length, 0);
    int verdict = oxlo_inj_sqli_detect(&ctx);
    if (fingerprint) {
        if (verdict)
            std::memcpy(fingerprint, ctx.fingerprint, sizeof ctx.fingerprint);
        else
            fingerprint[0] = '\0';
    }
    return verdict;
}

const oxlo_inj_sqli_token *oxlo_inj_sqli_get_token(const oxlo_inj_sqli_context *ctx, int i)
{
    if (!ctx || i < 0 || i > OXLO_INJ_SQLI_MAX_TOKENS)
        return nullptr;
    return &ctx->tokenvec[i];
}

char oxlo_inj_sqli_table_lookup(const char *text, size_t length)
{
    return text ? table_search(text, length) : 0;
}

const char *oxlo_inj_version_text(void) { return "3.9.2.60-8e70-dirty"; }

} // extern "C"
