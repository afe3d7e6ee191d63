/* XSS detection: the text is tokenized as HTML from each place it could be
 * pasted into a page (plain text, or inside an unquoted, single-, double- or
 * back-quoted attribute value), and any token that can start script is
 * reported: a document type, a dangerous tag, an event handler or other
 * dangerous attribute, a script URL in a URL attribute, or a comment that
 * some browsers or parsers treat as more than a comment. */
#include "oxlo_inj.h"

#include <cstring>

namespace {

struct attribute_row {
    const char *name;
    int cls;
};

const char *const black_tags[] = {
    "APPLET", "BASE", "COMMENT", "EMBED", "FRAME", "FRAMESET", "HANDLER", "IFRAME", "IMPORT",
    "ISINDEX", "LINK", "LISTENER", "META", "NOSCRIPT", "OBJECT", "SCRIPT", "STYLE", "VMLFRAME",
    "XML", "XSS",
};

const attribute_row black_attributes[] = {
    {"ACTION", OXLO_INJ_ATTR_URL},      {"ATTRIBUTENAME", OXLO_INJ_ATTR_INDIRECT},
    {"BY", OXLO_INJ_ATTR_URL},          {"BACKGROUND", OXLO_INJ_ATTR_URL},
    {"DATAFORMATAS", OXLO_INJ_ATTR_BLACK}, {"DATASRC", OXLO_INJ_ATTR_BLACK},
    {"DYNSRC", OXLO_INJ_ATTR_URL},      {"FILTER", OXLO_INJ_ATTR_STYLE},
    {"FORMACTION", OXLO_INJ_ATTR_URL},  {"FOLDER", OXLO_INJ_ATTR_URL},
    {"FROM", OXLO_INJ_ATTR_URL},        {"HANDLER", OXLO_INJ_ATTR_URL},
    {"HREF", OXLO_INJ_ATTR_URL},        {"LOWSRC", OXLO_INJ_ATTR_URL},
    {"POSTER", OXLO_INJ_ATTR_URL},      {"SRC", OXLO_INJ_ATTR_URL},
    {"STYLE", OXLO_INJ_ATTR_STYLE},     {"TO", OXLO_INJ_ATTR_URL},
    {"VALUES", OXLO_INJ_ATTR_URL},      {"XLINK:HREF", OXLO_INJ_ATTR_URL},
};

const char *const dangerous_schemes[] = {"DATA", "VIEW-SOURCE", "JAVA", "VBSCRIPT"};

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

/* Equal in any case, NUL bytes of the text ignored. */
bool equals_ignoring_nul(const char *text, size_t length, const char *upper_word)
{
    size_t j = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '\0')
            continue;
        if (upper_word[j] == '\0' || upper(text[i]) != upper_word[j])
            return false;
        j++;
    }
    return upper_word[j] == '\0';
}

/* Starts with the word in any case, NUL bytes of the text ignored. */
bool starts_ignoring_nul(const char *text, size_t length, const char *upper_word)
{
    size_t j = 0;
    for (size_t i = 0; i < length && upper_word[j]; i++) {
        if (text[i] == '\0')
            continue;
        if (upper(text[i]) != upper_word[j])
            return false;
        j++;
    }
    return upper_word[j] == '\0';
}

bool starts_ci(const char *text, size_t length, const char *upper_word)
{
    size_t n = std::strlen(upper_word);
    if (length < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (upper(text[i]) != upper_word[i])
            return false;
    return true;
}

bool is_black_tag(const char *name, size_t length)
{
    if (length <= 2)
        return false;
    for (const char *tag : black_tags)
        if (equals_ignoring_nul(name, length, tag))
            return true;
    return starts_ci(name, length, "SVG") || starts_ci(name, length, "XSL");
}

bool is_black_url(const char *value, size_t length)
{
    size_t i = 0;
    while (i < length && (static_cast<unsigned char>(value[i]) <= 32 ||
                          static_cast<unsigned char>(value[i]) > 126))
        i++;
    for (const char *scheme : dangerous_schemes)
        if (oxlo_inj_decoded_prefix_match(scheme, value + i, length - i))
            return true;
    return false;
}

bool is_black_comment(const char *text, size_t length)
{
    if (std::memchr(text, '`', length))
        return true;
    if (length > 3) {
        if (text[0] == '[' && upper(text[1]) == 'I' && upper(text[2]) == 'F')
            return true;
        if (starts_ci(text, length, "XML"))
            return true;
    }
    if (length >= 6 && (starts_ignoring_nul(text, length, "IMPORT") ||
                        starts_ignoring_nul(text, length, "ENTITY")))
        return true;
    return false;
}

/* Decodes one character at value[*i]: a byte, or a numeric character
 * reference. Returns the code and moves *i past it. */
long decode_char(const char *value, size_t length, size_t *i)
{
    size_t p = *i;
    unsigned char c = static_cast<unsigned char>(value[p]);
    if (c != '&' || p + 1 >= length || value[p + 1] != '#') {
        *i = p + 1;
        return c;
    }
    size_t q = p + 2;
    int base = 10;
    if (q < length && (value[q] == 'x' || value[q] == 'X')) {
        base = 16;
        q++;
    }
    long code = 0;
    size_t digits = 0;
    for (; q < length; q++) {
        char d = value[q];
        int v;
        if (d >= '0' && d <= '9') v = d - '0';
        else if (base == 16 && d >= 'a' && d <= 'f') v = d - 'a' + 10;
        else if (base == 16 && d >= 'A' && d <= 'F') v = d - 'A' + 10;
        else break;
        code = code * base + v;
        digits++;
        if (code > 0x1000FF)
            break;
    }
    if (digits == 0 || code > 0x1000FF) {
        *i = p + 1;
        return '&';
    }
    if (q < length && value[q] == ';')
        q++;
    *i = q;
    return code;
}

} // namespace

extern "C" {

int oxlo_inj_decoded_prefix_match(const char *word, const char *value, size_t length)
{
    if (!word || !value)
        return 0;
    size_t i = 0;
    bool first = true;
    while (*word) {
        if (i >= length)
            return 0;
        long c = decode_char(value, length, &i);
        if (first) {
            if (c <= 32)
                continue;
        } else if (c == 0 || c == '\n' || c == '\t' || c == '\r') {
            /* Browsers drop TAB, LF and CR inside a URL: "jav&#x09;ascript:"
             * still runs script. */
            continue;
        }
        if (c >= 'a' && c <= 'z')
            c -= 32;
        if (c != static_cast<unsigned char>(*word))
            return 0;
        first = false;
        word++;
    }
    return 1;
}

int oxlo_inj_xss_attribute_class(const char *name, size_t length)
{
    if (!name || length <= 1)
        return OXLO_INJ_ATTR_NONE;
    if (length > 4) {
        if (upper(name[0]) == 'O' && upper(name[1]) == 'N')
            return OXLO_INJ_ATTR_BLACK;
        if (starts_ci(name, length, "XMLNS") || starts_ci(name, length, "XLINK"))
            return OXLO_INJ_ATTR_BLACK;
    }
    for (const attribute_row &row : black_attributes)
        if (equals_ignoring_nul(name, length, row.name))
            return row.cls;
    return OXLO_INJ_ATTR_NONE;
}

int oxlo_inj_xss_in_context(const char *text, size_t length, int context)
{
    oxlo_inj_h5_state hs;
    oxlo_inj_h5_begin(&hs, text, length, context);
    int attribute = OXLO_INJ_ATTR_NONE;
    while (oxlo_inj_h5_next(&hs)) {
        const char *t = hs.token_start;
        size_t n = hs.token_len;
        if (hs.token_type != OXLO_INJ_H5_ATTR_VALUE)
            attribute = OXLO_INJ_ATTR_NONE;
        switch (hs.token_type) {
        case OXLO_INJ_H5_DOCTYPE:
            return 1;
        case OXLO_INJ_H5_TAG_NAME_OPEN:
            if (is_black_tag(t, n))
                return 1;
            break;
        case OXLO_INJ_H5_ATTR_NAME:
            attribute = oxlo_inj_xss_attribute_class(t, n);
            break;
        case OXLO_INJ_H5_ATTR_VALUE:
            switch (attribute) {
            case OXLO_INJ_ATTR_BLACK:
            case OXLO_INJ_ATTR_STYLE:
                return 1;
            case OXLO_INJ_ATTR_URL:
                if (is_black_url(t, n))
                    return 1;
                break;
            case OXLO_INJ_ATTR_INDIRECT:
                if (oxlo_inj_xss_attribute_class(t, n) != OXLO_INJ_ATTR_NONE)
                    return 1;
                break;
            default:
                break;
            }
            attribute = OXLO_INJ_ATTR_NONE;
            break;
        case OXLO_INJ_H5_TAG_COMMENT:
            if (is_black_comment(t, n))
                return 1;
            break;
        default:
            break;
        }
    }
    return 0;
}

int oxlo_inj_xss_detect(const char *text, size_t length)
{
    if (!text)
        return 0;
    for (int context = OXLO_INJ_H5_DATA; context <= OXLO_INJ_H5_VALUE_BACK_QUOTE; context++)
        if (oxlo_inj_xss_in_context(text, length, context))
            return 1;
    return 0;
}

} // extern "C"
