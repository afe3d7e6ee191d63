/* Fuzzes the automaton end to end: the input's first byte picks features and
 * search options, the rest up to the first NUL is a newline-separated
 * pattern list, everything after it is the searched text. */
#include "oxlo_automaton.h"
#include "oxlo_memory.h"

#include <cstring>

namespace {

int count_matches(const automaton_match_info *info, automaton_text *, automaton_match *)
{
    return info->mask == 0; /* never true: keep searching */
}

void run(const uint8_t *data, size_t size, automaton_match_cb cb)
{
    uint8_t control = data[0];
    data++;
    size--;
    const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t plen = nul ? static_cast<size_t>(nul - data) : size;

    oxlo_automaton *a = automaton_new(cb);
    if (!a)
        return;
    automaton_set_features(a, control & 6);
    size_t start = 0;
    for (size_t i = 0; i <= plen; i++) {
        if (i < plen && data[i] != '\n')
            continue;
        size_t len = i - start;
        char *text = static_cast<char *>(oxlo_heap_alloc(len + 1));
        if (text) {
            memcpy(text, data + start, len);
            automaton_pattern p{};
            p.text = text;
            p.length = static_cast<uint16_t>(len > 0xffff ? 0xffff : len);
            p.data.flags = static_cast<uint8_t>((start + control) & 3);
            if (automaton_add_pattern(a, &p) != AUTOMATON_ADDED)
                oxlo_heap_free(text);
        }
        start = i + 1;
    }
    automaton_finalize(a);

    /* The text is copied to an exact-size buffer so reads past it are caught. */
    size_t tlen = nul ? size - plen - 1 : 0;
    if (tlen > 0xffff)
        tlen = 0xffff;
    char *copy = static_cast<char *>(oxlo_heap_alloc(tlen ? tlen : 1));
    if (copy) {
        if (tlen)
            memcpy(copy, nul + 1, tlen);
        automaton_text t{};
        t.text = copy;
        t.length = static_cast<uint16_t>(tlen);
        t.options = control & AUTOMATON_OPT_ALT_CHARS;
        automaton_match m{};
        automaton_search(a, &t, &m);
        oxlo_heap_free(copy);
    }
    automaton_release(a, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    run(data, size, nullptr);
    run(data, size, count_matches);
    return 0;
}
