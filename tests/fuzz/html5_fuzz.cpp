/* Runs the HTML5 tokenizer from every start context over arbitrary bytes
 * (every token must lie inside the input), and the XSS detector. */
#include "oxlo_inj.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    for (int context = 0; context <= 4; context++) {
        oxlo_inj_h5_state hs;
        oxlo_inj_h5_begin(&hs, text, size, context);
        size_t tokens = 0;
        while (oxlo_inj_h5_next(&hs)) {
            if (hs.token_start < text || hs.token_start + hs.token_len > text + size)
                std::abort();
            /* Each token uses up at least one byte, so a text has at most
             * about as many tokens as bytes. */
            if (++tokens > 2 * size + 2)
                std::abort();
        }
    }
    (void)oxlo_inj_xss_detect(text, size);
    (void)oxlo_inj_xss_attribute_class(text, size);
    (void)oxlo_inj_decoded_prefix_match("JAVA", text, size);
    return 0;
}
