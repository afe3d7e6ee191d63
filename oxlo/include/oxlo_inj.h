/* Oxlo injection detectors: is a short text (typically one decoded query
 * parameter value) a fragment of SQL, or could it inject script into an HTML
 * page? Both work on the caller's bytes and storage and allocate nothing. */
#ifndef OXLO_INJ_H
#define OXLO_INJ_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SQL injection ---------------------------------------------------- */

#define OXLO_INJ_SQLI_TOKEN_SIZE 32     /* 31 characters and the NUL */
#define OXLO_INJ_SQLI_MAX_TOKENS 5      /* places of a fingerprint */
#define OXLO_INJ_SQLI_TOKEN_SLOTS 8     /* the fingerprint places and working room */

/* Flags of a pass: where the text starts, and which comment rules hold. */
#define OXLO_INJ_SQLI_QUOTE_NONE 1
#define OXLO_INJ_SQLI_QUOTE_SINGLE 2
#define OXLO_INJ_SQLI_QUOTE_DOUBLE 4
#define OXLO_INJ_SQLI_SQL_ANSI 8
#define OXLO_INJ_SQLI_SQL_MYSQL 16

/* What a lookup callback is asked. */
#define OXLO_INJ_SQLI_LOOKUP_WORD 1
#define OXLO_INJ_SQLI_LOOKUP_TYPE 2
#define OXLO_INJ_SQLI_LOOKUP_OPERATOR 3
#define OXLO_INJ_SQLI_LOOKUP_FINGERPRINT 4

typedef struct oxlo_inj_sqli_token {
    size_t pos;          /* offset in the input */
    size_t len;          /* length of val */
    int count;
    char type;           /* token-type letter, 0 for an empty slot */
    char str_open;       /* opening quote, 0 when the text began inside the string */
    char str_close;      /* closing quote, 0 when the input ended first */
    char val[OXLO_INJ_SQLI_TOKEN_SIZE];
} oxlo_inj_sqli_token;

struct oxlo_inj_sqli_context;
/* Returns a type letter, or 0 for "not known". */
typedef char (*oxlo_inj_sqli_lookup_fn)(struct oxlo_inj_sqli_context *ctx, int kind,
                                        const char *text, size_t length);

typedef struct oxlo_inj_sqli_context {
    const char *s;
    size_t slen;
    oxlo_inj_sqli_lookup_fn lookup;
    void *userdata;
    int flags;
    size_t pos;
    oxlo_inj_sqli_token tokenvec[OXLO_INJ_SQLI_TOKEN_SLOTS];
    oxlo_inj_sqli_token *current;
    char fingerprint[8];
    int reason;
    int stats_comment_ddx;   /* "--x" comments that are comments only under ANSI rules */
    int stats_comment_hash;  /* '#' characters met */
    int stats_folds;
    int stats_tokens;
} oxlo_inj_sqli_context;

/* Flags 0 mean QUOTE_NONE | SQL_ANSI. */
void oxlo_inj_sqli_state_init(oxlo_inj_sqli_context *ctx, const char *text, size_t length, int flags);
/* As init on the same input, keeping the lookup callback and its user data. */
void oxlo_inj_sqli_state_reset(oxlo_inj_sqli_context *ctx, int flags);
/* A null callback restores the built-in table. */
void oxlo_inj_sqli_set_lookup(oxlo_inj_sqli_context *ctx, oxlo_inj_sqli_lookup_fn fn, void *userdata);
/* 1 with the next token in ctx->current, 0 at the end of the input. */
int oxlo_inj_sqli_tokenize(oxlo_inj_sqli_context *ctx);
/* Folds the token stream into at most 5 tokens; returns their number. */
int oxlo_inj_sqli_fold(oxlo_inj_sqli_context *ctx);
/* Resets with the flags, folds, and returns the fingerprint (ctx's storage). */
const char *oxlo_inj_sqli_fingerprint(oxlo_inj_sqli_context *ctx, int flags);
/* The fingerprint check of the built-in lookup: 1 when the current
 * fingerprint is a known injection and no false-alarm rule clears it. */
int oxlo_inj_sqli_blacklisted(oxlo_inj_sqli_context *ctx);
int oxlo_inj_sqli_not_whitelisted(oxlo_inj_sqli_context *ctx);
/* 1 injection, 0 none. */
int oxlo_inj_sqli_detect(oxlo_inj_sqli_context *ctx);
/* One-shot test; fingerprint (8 bytes) gets the fingerprint on a hit, "" otherwise. */
int oxlo_inj_sqli_check_string(const char *text, size_t length, char fingerprint[8]);
/* Token i of the vector, or null outside 0..5. */
const oxlo_inj_sqli_token *oxlo_inj_sqli_get_token(const oxlo_inj_sqli_context *ctx, int i);
/* The type letter of a word in the built-in table, 0 when it is not there. */
char oxlo_inj_sqli_table_lookup(const char *text, size_t length);
const char *oxlo_inj_version_text(void);

/* ---- Cross-site scripting --------------------------------------------- */

/* Start contexts of the tokenizer. */
#define OXLO_INJ_H5_DATA 0
#define OXLO_INJ_H5_VALUE_NO_QUOTE 1
#define OXLO_INJ_H5_VALUE_SINGLE_QUOTE 2
#define OXLO_INJ_H5_VALUE_DOUBLE_QUOTE 3
#define OXLO_INJ_H5_VALUE_BACK_QUOTE 4

/* Token types. */
#define OXLO_INJ_H5_DATA_TEXT 0
#define OXLO_INJ_H5_TAG_NAME_OPEN 1
#define OXLO_INJ_H5_TAG_NAME_CLOSE 2
#define OXLO_INJ_H5_TAG_NAME_SELFCLOSE 3
#define OXLO_INJ_H5_TAG_DATA 4
#define OXLO_INJ_H5_TAG_CLOSE 5
#define OXLO_INJ_H5_ATTR_NAME 6
#define OXLO_INJ_H5_ATTR_VALUE 7
#define OXLO_INJ_H5_TAG_COMMENT 8
#define OXLO_INJ_H5_DOCTYPE 9

/* Attribute classes. */
#define OXLO_INJ_ATTR_NONE 0
#define OXLO_INJ_ATTR_BLACK 1
#define OXLO_INJ_ATTR_URL 2
#define OXLO_INJ_ATTR_STYLE 3
#define OXLO_INJ_ATTR_INDIRECT 4

typedef struct oxlo_inj_h5_state oxlo_inj_h5_state;
typedef int (*oxlo_inj_h5_state_fn)(oxlo_inj_h5_state *hs);

struct oxlo_inj_h5_state {
    const char *s;
    size_t len;
    size_t pos;
    int is_close;
    oxlo_inj_h5_state_fn state;   /* null once the text is used up */
    const char *token_start;
    size_t token_len;
    int token_type;
};

void oxlo_inj_h5_begin(oxlo_inj_h5_state *hs, const char *text, size_t length, int context);
/* 1 with the next token in hs, 0 at the end (or for a state that was never begun). */
int oxlo_inj_h5_next(oxlo_inj_h5_state *hs);

int oxlo_inj_xss_detect(const char *text, size_t length);
int oxlo_inj_xss_in_context(const char *text, size_t length, int context);
int oxlo_inj_xss_attribute_class(const char *name, size_t length);
/* 1 when value, with its character references decoded, starts with the
 * upper-case word. */
int oxlo_inj_decoded_prefix_match(const char *word, const char *value, size_t length);

#ifdef __cplusplus
}
#endif

#endif
