/* Formats one engine message and hands it to the host, or prints it. */
#include "oxlo_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "oxlo_module.h"

void oxlo_set_log_callback(oxlo_module *m, oxlo_log_callback callback, void *user)
{
    if (!m)
        return;
    m->log_callback = callback;
    m->log_user = user;
}

void oxlo_log(const oxlo_module *module, int level, const char *format, ...)
{
    if (level >= OXLO_LOG_DEBUG && (!module || module->cfg.log_level < 3))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    size_t len = strlen(text);
    while (len > 0 && text[len - 1] == '\n')
        text[--len] = '\0';
    if (module && module->log_callback) {
        module->log_callback(module->log_user, level, text);
        return;
    }
    printf("%s\n", text);
}
