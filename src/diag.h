// Reporting: trace lines, warnings and fatal errors, to standard error or
// the system log.
#ifndef WAVELOT_DIAG_H
#define WAVELOT_DIAG_H

#include <cstdint>
#include <cstdio>
#include <string_view>

// Raised by one for every -v and -l; only ever tested for zero.
extern std::int32_t verbose;
extern std::int32_t use_syslog;

// err(3) and warn(3) shapes, exported under the BSD names so that the
// compiler checks every format we hand them.
//
// On a terminal (standard error a tty, not the system log), every control
// character that a message's arguments bring (feed text, URLs, file names)
// is shown as an escape such as \x1b, so that a feed cannot move the
// cursor, retitle the window or rewrite earlier lines. Elsewhere every
// byte goes out as it is.
extern "C" {
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
}

void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes `text` to `out` with its control characters escaped: C0 but tab,
// DEL, and the C1 range, as stray bytes or written in UTF-8.
void put_terminal_text(std::string_view text, std::FILE *out);

// Exit status for a fatal error: the current errno, but never 0, so a
// failed run can never look like a successful one.
int fatal_status();

#endif
