/* A small HTML5 tokenizer for the XSS detector: enough of the HTML5
 * tokenization states to see tags, attribute names and values, comments and
 * document types the way a browser would, starting either in text or inside
 * an attribute value. It works on the caller's bytes and allocates nothing. */
#include "oxlo_inj.h"

#include <cstring>

namespace {

constexpr char ch_bang = '!';
constexpr char ch_percent = '%';
constexpr char ch_question = '?';
constexpr char ch_slash = '/';
constexpr char ch_lt = '<';
constexpr char ch_gt = '>';
constexpr char ch_equals = '=';
constexpr char ch_dash = '-';
constexpr char ch_null = '\0';
constexpr char ch_double = '"';
constexpr char ch_single = '\'';
constexpr char ch_back = '`';

int state_eof(oxlo_inj_h5_state *hs);
int state_data(oxlo_inj_h5_state *hs);
int state_tag_open(oxlo_inj_h5_state *hs);
int state_tag_name(oxlo_inj_h5_state *hs);
int state_tag_name_close(oxlo_inj_h5_state *hs);
int state_end_tag_open(oxlo_inj_h5_state *hs);
int state_self_closing_start_tag(oxlo_inj_h5_state *hs);
int state_before_attribute_name(oxlo_inj_h5_state *hs);
int state_attribute_name(oxlo_inj_h5_state *hs);
int state_after_attribute_name(oxlo_inj_h5_state *hs);
int state_before_attribute_value(oxlo_inj_h5_state *hs);
int state_attribute_value_double_quote(oxlo_inj_h5_state *hs);
int state_attribute_value_single_quote(oxlo_inj_h5_state *hs);
int state_attribute_value_back_quote(oxlo_inj_h5_state *hs);
int state_attribute_value_no_quote(oxlo_inj_h5_state *hs);
int state_after_attribute_value_quoted(oxlo_inj_h5_state *hs);
int state_comment(oxlo_inj_h5_state *hs);
int state_cdata(oxlo_inj_h5_state *hs);
int state_markup_declaration_open(oxlo_inj_h5_state *hs);
int state_doctype(oxlo_inj_h5_state *hs);
int state_bogus_comment(oxlo_inj_h5_state *hs);
int state_bogus_comment2(oxlo_inj_h5_state *hs);

bool is_white(char c)
{
    return c == '\0' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int emit(oxlo_inj_h5_state *hs, size_t start, size_t len, int type)
{
    hs->token_start = hs->s + start;
    hs->token_len = len;
    hs->token_type = type;
    return 1;
}

const char *find(const oxlo_inj_h5_state *hs, size_t from, char c)
{
    if (from >= hs->len)
        return nullptr;
    return static_cast<const char *>(std::memchr(hs->s + from, c, hs->len - from));
}

/* First position at or after from that is not white space, or len. */
size_t skip_white(const oxlo_inj_h5_state *hs, size_t from)
{
    while (from < hs->len && is_white(hs->s[from]))
        from++;
    return from;
}

int state_eof(oxlo_inj_h5_state *) { return 0; }

int state_data(oxlo_inj_h5_state *hs)
{
    if (hs->pos >= hs->len) {
        hs->state = state_eof;
        return 0;
    }
    const char *lt = find(hs, hs->pos, ch_lt);
    if (lt) {
        size_t at = static_cast<size_t>(lt - hs->s);
        size_t start = hs->pos;
        hs->state = state_tag_open;
        hs->pos = at + 1;
        if (at == start)
            return state_tag_open(hs);
        return emit(hs, start, at - start, OXLO_INJ_H5_DATA_TEXT);
    }
    size_t start = hs->pos;
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_DATA_TEXT);
}

int state_tag_open(oxlo_inj_h5_state *hs)
{
    if (hs->pos >= hs->len)
        return 0;
    char c = hs->s[hs->pos];
    if (c == ch_bang) {
        hs->pos++;
        return state_markup_declaration_open(hs);
    }
    if (c == ch_slash) {
        hs->pos++;
        hs->is_close = 1;
        return state_end_tag_open(hs);
    }
    if (c == ch_question) {
        hs->pos++;
        return state_bogus_comment(hs);
    }
    if (c == ch_percent) {
        hs->pos++;
        return state_bogus_comment2(hs);
    }
    if (is_letter(c) || c == ch_null)
        return state_tag_name(hs);
    /* A lone '<' is text. */
    hs->state = state_data;
    return emit(hs, hs->pos - 1, 1, OXLO_INJ_H5_DATA_TEXT);
}

int state_end_tag_open(oxlo_inj_h5_state *hs)
{
    if (hs->pos >= hs->len)
        return 0;
    char c = hs->s[hs->pos];
    if (c == ch_gt)
        return state_data(hs);
    if (!is_letter(c)) {
        hs->is_close = 0;
        return state_bogus_comment(hs);
    }
    return state_tag_name(hs);
}

int state_tag_name(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos; pos < hs->len; pos++) {
        char c = hs->s[pos];
        if (c == ch_null)
            continue;
        if (is_white(c)) {
            hs->pos = pos + 1;
            hs->state = state_before_attribute_name;
            return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_NAME_OPEN);
        }
        if (c == ch_slash) {
            hs->pos = pos + 1;
            hs->state = state_self_closing_start_tag;
            return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_NAME_OPEN);
        }
        if (c == ch_gt) {
            hs->pos = pos;
            if (hs->is_close) {
                hs->pos = pos + 1;
                hs->is_close = 0;
                hs->state = state_data;
                return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_CLOSE);
            }
            hs->state = state_tag_name_close;
            return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_NAME_OPEN);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_TAG_NAME_OPEN);
}

int state_tag_name_close(oxlo_inj_h5_state *hs)
{
    hs->is_close = 0;
    size_t at = hs->pos;
    hs->pos = at + 1;
    hs->state = hs->pos >= hs->len ? state_eof : state_data;
    return emit(hs, at, 1, OXLO_INJ_H5_TAG_NAME_CLOSE);
}

int state_before_attribute_name(oxlo_inj_h5_state *hs)
{
    /* A 0xff byte is an ordinary byte here: browsers read it as part of an
     * attribute name, so stopping at it would hide what follows. */
    for (;;) {
        hs->pos = skip_white(hs, hs->pos);
        if (hs->pos >= hs->len)
            return 0;
        char c = hs->s[hs->pos];
        if (c == ch_slash) {
            if (hs->pos + 1 >= hs->len || hs->s[hs->pos + 1] == ch_gt) {
                hs->pos++;
                return state_self_closing_start_tag(hs);
            }
            hs->pos++;
            continue;
        }
        if (c == ch_gt) {
            hs->state = state_data;
            size_t at = hs->pos;
            hs->pos = at + 1;
            return emit(hs, at, 1, OXLO_INJ_H5_TAG_NAME_CLOSE);
        }
        return state_attribute_name(hs);
    }
}

int state_attribute_name(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos + 1; pos < hs->len; pos++) {
        char c = hs->s[pos];
        if (is_white(c)) {
            hs->pos = pos + 1;
            hs->state = state_after_attribute_name;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_NAME);
        }
        if (c == ch_slash) {
            hs->pos = pos + 1;
            hs->state = state_self_closing_start_tag;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_NAME);
        }
        if (c == ch_equals) {
            hs->pos = pos + 1;
            hs->state = state_before_attribute_value;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_NAME);
        }
        if (c == ch_gt) {
            hs->pos = pos;
            hs->state = state_tag_name_close;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_NAME);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_ATTR_NAME);
}

int state_after_attribute_name(oxlo_inj_h5_state *hs)
{
    hs->pos = skip_white(hs, hs->pos);
    if (hs->pos >= hs->len)
        return 0;
    char c = hs->s[hs->pos];
    if (c == ch_equals) {
        hs->pos++;
        return state_before_attribute_value(hs);
    }
    if (c == ch_slash) {
        hs->pos++;
        return state_self_closing_start_tag(hs);
    }
    if (c == ch_gt) {
        hs->is_close = 0;
        size_t at = hs->pos;
        hs->pos = at + 1;
        hs->state = hs->pos >= hs->len ? state_eof : state_data;
        return emit(hs, at, 1, OXLO_INJ_H5_TAG_NAME_CLOSE);
    }
    return state_attribute_name(hs);
}

int state_before_attribute_value(oxlo_inj_h5_state *hs)
{
    hs->pos = skip_white(hs, hs->pos);
    if (hs->pos >= hs->len) {
        hs->state = state_eof;
        return 0;
    }
    char c = hs->s[hs->pos];
    if (c == ch_double)
        return state_attribute_value_double_quote(hs);
    if (c == ch_single)
        return state_attribute_value_single_quote(hs);
    if (c == ch_back)
        return state_attribute_value_back_quote(hs);
    return state_attribute_value_no_quote(hs);
}

/* A quoted value. At position 0 the text starts inside the value, so a
 * quote there is the closing one, not an opening one. */
int attribute_value_quoted(oxlo_inj_h5_state *hs, char quote)
{
    if (hs->pos > 0)
        hs->pos++;
    size_t start = hs->pos;
    const char *end = find(hs, hs->pos, quote);
    if (!end) {
        hs->pos = hs->len;
        hs->state = state_eof;
        return emit(hs, start, hs->len - start, OXLO_INJ_H5_ATTR_VALUE);
    }
    size_t at = static_cast<size_t>(end - hs->s);
    hs->pos = at + 1;
    hs->state = state_after_attribute_value_quoted;
    return emit(hs, start, at - start, OXLO_INJ_H5_ATTR_VALUE);
}

int state_attribute_value_double_quote(oxlo_inj_h5_state *hs) { return attribute_value_quoted(hs, ch_double); }
int state_attribute_value_single_quote(oxlo_inj_h5_state *hs) { return attribute_value_quoted(hs, ch_single); }
int state_attribute_value_back_quote(oxlo_inj_h5_state *hs) { return attribute_value_quoted(hs, ch_back); }

int state_attribute_value_no_quote(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos; pos < hs->len; pos++) {
        char c = hs->s[pos];
        if (is_white(c)) {
            hs->pos = pos + 1;
            hs->state = state_before_attribute_name;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_VALUE);
        }
        if (c == ch_gt) {
            hs->pos = pos;
            hs->state = state_tag_name_close;
            return emit(hs, start, pos - start, OXLO_INJ_H5_ATTR_VALUE);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_ATTR_VALUE);
}

int state_after_attribute_value_quoted(oxlo_inj_h5_state *hs)
{
    if (hs->pos >= hs->len)
        return 0;
    char c = hs->s[hs->pos];
    if (is_white(c)) {
        hs->pos++;
        return state_before_attribute_name(hs);
    }
    if (c == ch_slash) {
        hs->pos++;
        return state_self_closing_start_tag(hs);
    }
    if (c == ch_gt) {
        hs->state = state_data;
        size_t at = hs->pos;
        hs->pos = at + 1;
        return emit(hs, at, 1, OXLO_INJ_H5_TAG_NAME_CLOSE);
    }
    return state_before_attribute_name(hs);
}

int state_self_closing_start_tag(oxlo_inj_h5_state *hs)
{
    if (hs->pos >= hs->len)
        return 0;
    /* Only reached after a '/', so the position is at least 1. */
    if (hs->pos == 0) {
        hs->state = state_eof;
        return 0;
    }
    if (hs->s[hs->pos] == ch_gt) {
        size_t at = hs->pos - 1;
        hs->pos++;
        hs->state = state_data;
        return emit(hs, at, 2, OXLO_INJ_H5_TAG_NAME_SELFCLOSE);
    }
    return state_before_attribute_name(hs);
}

/* A comment up to the next '>' (after "<?", "</" and a non-letter, or "<!"). */
int state_bogus_comment(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    const char *gt = find(hs, hs->pos, ch_gt);
    if (!gt) {
        hs->pos = hs->len;
        hs->state = state_eof;
        return emit(hs, start, hs->len - start, OXLO_INJ_H5_TAG_COMMENT);
    }
    size_t at = static_cast<size_t>(gt - hs->s);
    hs->pos = at + 1;
    hs->state = state_data;
    return emit(hs, start, at - start, OXLO_INJ_H5_TAG_COMMENT);
}

/* "<% ... %>" */
int state_bogus_comment2(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos; pos + 1 < hs->len; pos++) {
        if (hs->s[pos] == ch_percent && hs->s[pos + 1] == ch_gt) {
            hs->pos = pos + 2;
            hs->state = state_data;
            return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_COMMENT);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_TAG_COMMENT);
}

bool starts_ci(const char *s, size_t len, const char *upper_word)
{
    size_t n = std::strlen(upper_word);
    if (len < n)
        return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
        if (c != upper_word[i])
            return false;
    }
    return true;
}

int state_markup_declaration_open(oxlo_inj_h5_state *hs)
{
    size_t left = hs->len - hs->pos;
    const char *p = hs->s + hs->pos;
    if (left > 6 && starts_ci(p, left, "DOCTYPE")) {
        hs->pos += 7;
        return state_doctype(hs);
    }
    if (left > 6 && std::memcmp(p, "[CDATA[", 7) == 0) {
        hs->pos += 7;
        return state_cdata(hs);
    }
    if (left >= 2 && p[0] == ch_dash && p[1] == ch_dash) {
        hs->pos += 2;
        return state_comment(hs);
    }
    return state_bogus_comment(hs);
}

/* A comment ends at a '-' followed, after any NUL bytes, by '-' or '!' and
 * then '>'. */
int state_comment(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos; pos < hs->len; pos++) {
        if (hs->s[pos] != ch_dash)
            continue;
        size_t q = pos + 1;
        while (q < hs->len && hs->s[q] == ch_null)
            q++;
        if (q >= hs->len || (hs->s[q] != ch_dash && hs->s[q] != ch_bang))
            continue;
        q++;
        if (q < hs->len && hs->s[q] == ch_gt) {
            hs->pos = q + 1;
            hs->state = state_data;
            return emit(hs, start, pos - start, OXLO_INJ_H5_TAG_COMMENT);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_TAG_COMMENT);
}

int state_cdata(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    for (size_t pos = hs->pos; pos + 2 < hs->len; pos++) {
        if (hs->s[pos] == ']' && hs->s[pos + 1] == ']' && hs->s[pos + 2] == ch_gt) {
            hs->pos = pos + 3;
            hs->state = state_data;
            return emit(hs, start, pos - start, OXLO_INJ_H5_DATA_TEXT);
        }
    }
    hs->pos = hs->len;
    hs->state = state_eof;
    return emit(hs, start, hs->len - start, OXLO_INJ_H5_DATA_TEXT);
}

int state_doctype(oxlo_inj_h5_state *hs)
{
    size_t start = hs->pos;
    const char *gt = find(hs, hs->pos, ch_gt);
    if (!gt) {
        hs->pos = hs->len;
        hs->state = state_eof;
        return emit(hs, start, hs->len - start, OXLO_INJ_H5_DOCTYPE);
    }
    size_t at = static_cast<size_t>(gt - hs->s);
    hs->pos = at + 1;
    hs->state = state_data;
    return emit(hs, start, at - start, OXLO_INJ_H5_DOCTYPE);
}

} // namespace

extern "C" {

void oxlo_inj_h5_begin(oxlo_inj_h5_state *hs, const char *text, size_t length, int context)
{
    std::memset(hs, 0, sizeof *hs);
    hs->s = text;
    hs->len = text ? length : 0;
    switch (context) {
    case OXLO_INJ_H5_DATA: hs->state = state_data; break;
    case OXLO_INJ_H5_VALUE_NO_QUOTE: hs->state = state_before_attribute_name; break;
    case OXLO_INJ_H5_VALUE_SINGLE_QUOTE: hs->state = state_attribute_value_single_quote; break;
    case OXLO_INJ_H5_VALUE_DOUBLE_QUOTE: hs->state = state_attribute_value_double_quote; break;
    case OXLO_INJ_H5_VALUE_BACK_QUOTE: hs->state = state_attribute_value_back_quote; break;
    default: hs->state = state_eof; break;
    }
}

int oxlo_inj_h5_next(oxlo_inj_h5_state *hs)
{
    /* A state that was never begun has nothing to give, rather than
     * stopping the process. */
    if (!hs || !hs->state)
        return 0;
    return hs->state(hs);
}

} // extern "C"
