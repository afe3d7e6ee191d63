/* The engine's messages, through the host's log callback when it set one. */
#ifndef OXLO_LOG_H
#define OXLO_LOG_H

#include "oxlo_api.h"

#define OXLO_LOG_ERROR 0
#define OXLO_LOG_WARNING 1
#define OXLO_LOG_NORMAL 2
#define OXLO_LOG_DEBUG 3

/* One message of the given level; module may be NULL (standard output).
 * Debug messages are dropped unless the module's "log.level" is 3. */
void oxlo_log(const oxlo_module *module, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#endif
