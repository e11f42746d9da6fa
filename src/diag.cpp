#include "diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <syslog.h>

std::int32_t verbose = 0;
std::int32_t use_syslog = 0;

void debug(const char *fmt, ...)
{
    if (!verbose)
        return;
    std::fputs("Debug : ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

extern "C" void warn(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (use_syslog)
        vsyslog(LOG_WARNING, fmt, ap);
    else
        vwarn(fmt, ap);
    va_end(ap);
}

extern "C" void err(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (!use_syslog)
        verr(status, fmt, ap);
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
    std::exit(status);
}

int fatal_status()
{
    return errno != 0 ? errno : 1;
}
