// The application's name for the process's log (src/common/Log.h): the
// level names, the `trace` object and the VESK_LOG macros come from there.
#ifndef VESK_TRACE_H
#define VESK_TRACE_H

#include "Log.h"

using Trace = Log;

#endif
