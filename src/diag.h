// Reporting: trace lines, warnings and fatal errors, to standard error or
// the system log.
#ifndef WAVELOT_DIAG_H
#define WAVELOT_DIAG_H

#include <cstdint>

// Raised by one for every -v and -l; only ever tested for zero.
extern std::int32_t verbose;
extern std::int32_t use_syslog;

// err(3) and warn(3) shapes, exported under the BSD names so that the
// compiler checks every format we hand them.
extern "C" {
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
}

void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Exit status for a fatal error: the current errno, but never 0, so a
// failed run can never look like a successful one.
int fatal_status();

#endif
