/* Tokenizes and folds arbitrary bytes under every pass of the SQL-injection
 * detector, then runs the verdict. Every token must stay inside its slot
 * and inside the input. */
#include "oxlo_inj.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    oxlo_inj_sqli_context ctx;
    oxlo_inj_sqli_state_init(&ctx, text, size, 0);
    for (int flags : {9, 17, 10, 18, 20}) {
        const char *fp = oxlo_inj_sqli_fingerprint(&ctx, flags);
        if (std::strlen(fp) > OXLO_INJ_SQLI_MAX_TOKENS)
            std::abort();
        for (int i = 0; i <= OXLO_INJ_SQLI_MAX_TOKENS; i++) {
            const oxlo_inj_sqli_token *t = oxlo_inj_sqli_get_token(&ctx, i);
            if (!t || t->len >= OXLO_INJ_SQLI_TOKEN_SIZE || t->val[t->len] != '\0')
                std::abort();
        }
    }
    char fp[8];
    int hit = oxlo_inj_sqli_check_string(text, size, fp);
    if (!hit && fp[0] != '\0')
        std::abort();
    return 0;
}
