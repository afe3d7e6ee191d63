/* What the mail dissectors (IMAP, POP3, SMTP) keep alike: the clear-text
 * credentials they saw and their flow-to-JSON block. */
#ifndef OXLO_MAIL_PRIVATE_H
#define OXLO_MAIL_PRIVATE_H

#include "oxlo_dissector.h"
#include "oxlo_serializer.h"

#include <string.h>

typedef struct mail_credentials {
    char user[32];
    char password[16];
    uint8_t auth_failed;
} mail_credentials;

/* Copies a credential (cut to fit, NUL-terminated, control bytes left out
 * so the text stays printable in risk messages). */
static inline void mail_copy(char *out, size_t size, const uint8_t *text, size_t length)
{
    size_t n = 0;
    for (size_t i = 0; i < length && n + 1 < size; i++)
        if (text[i] >= 0x20 && text[i] != 0x7F)
            out[n++] = (char)text[i];
    out[n] = '\0';
}

/* The block "<name>" with "user", "password" and "auth_failed". */
static inline int mail_json_block(struct oxlo_recbuf *s, const char *name, const mail_credentials *c)
{
    int rc = oxlo_recbuf_open_block(s, name);
    rc |= oxlo_recbuf_put_text(s, "user", c->user);
    rc |= oxlo_recbuf_put_text(s, "password", c->password);
    rc |= oxlo_recbuf_put_u32(s, "auth_failed", c->auth_failed);
    rc |= oxlo_recbuf_close_block(s);
    return rc ? -1 : 0;
}

/* 1 when the payload ends in CR LF. */
static inline int mail_ends_crlf(const oxlo_reader *p)
{
    return p->length >= 2 && oxlo_rd_ends(p, "\r\n");
}

#endif
