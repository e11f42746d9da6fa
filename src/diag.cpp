#include "diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <memory>
#include <syslog.h>
#include <unistd.h>

std::int32_t verbose = 0;
std::int32_t use_syslog = 0;

namespace {

// Leaves errno as it was: the warnings show it.
bool stderr_is_terminal()
{
    int saved = errno;
    bool terminal = isatty(STDERR_FILENO) == 1;
    errno = saved;
    return terminal;
}

// The length of the well-formed UTF-8 sequence at `s` (of `size` bytes),
// or 0.
std::size_t utf8_length(const char *s, std::size_t size)
{
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = at(0);
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c < 0xC2 || c > 0xF4 || size < n)
        return 0;
    // The second byte's range rules out overlong forms, surrogates and
    // code points past U+10FFFF.
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (at(1) < low || at(1) > high)
        return 0;
    for (std::size_t i = 2; i < n; i++)
        if ((at(i) & 0xC0) != 0x80)
            return 0;
    return n;
}

// The formatted message in a new buffer, or null when there is no memory.
char *format(const char *fmt, va_list ap)
{
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, again);
    va_end(again);
    if (n < 0)
        return nullptr;
    auto *text = static_cast<char *>(std::malloc(static_cast<std::size_t>(n) + 1));
    if (text != nullptr)
        std::vsnprintf(text, static_cast<std::size_t>(n) + 1, fmt, ap);
    return text;
}

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};

// A message on a terminal. The formats' own text has no control character
// but a final line end, so every other one came from an argument (feed
// text, a URL, a file name) and is shown escaped. Without memory for the
// message, it is not shown at all rather than shown raw.
void put_message(const char *fmt, va_list ap)
{
    std::unique_ptr<char, free_deleter> text(format(fmt, ap));
    if (!text)
        return;
    std::string_view message(text.get());
    std::size_t len = std::strlen(fmt);
    bool own_line_end = len > 0 && fmt[len - 1] == '\n' && !message.empty() &&
                        message.back() == '\n';
    if (own_line_end)
        message.remove_suffix(1);
    put_terminal_text(message, stderr);
    if (own_line_end)
        std::fputc('\n', stderr);
}

// What vwarn(3) writes, with the message escaped for a terminal.
void warn_on_terminal(int errnum, const char *fmt, va_list ap)
{
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    put_message(fmt, ap);
    std::fprintf(stderr, ": %s\n", std::strerror(errnum));
}

} // namespace

void put_terminal_text(std::string_view text, std::FILE *out)
{
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = c >= 0x80 ? utf8_length(text.data() + i, text.size() - i) : 1;
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                std::fprintf(out, "\\x%02x", c);
            else
                std::fputc(c, out);
        } else if (n == 0) {
            // A byte outside UTF-8: 0x80-0x9F are the C1 controls.
            if (c <= 0x9F)
                std::fprintf(out, "\\x%02x", c);
            else
                std::fputc(c, out);
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080-U+009F, the C1 controls written in UTF-8.
            std::fprintf(out, "\\x%02x\\x%02x", c, static_cast<unsigned char>(text[i + 1]));
        } else {
            std::fwrite(text.data() + i, 1, n, out);
        }
        i += n == 0 ? 1 : n;
    }
}

void debug(const char *fmt, ...)
{
    if (!verbose)
        return;
    std::fputs("Debug : ", stderr);
    va_list ap;
    va_start(ap, fmt);
    if (stderr_is_terminal())
        put_message(fmt, ap);
    else
        std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

extern "C" void warn(const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    if (use_syslog) {
        vsyslog(LOG_WARNING, fmt, ap);
    } else if (stderr_is_terminal()) {
        warn_on_terminal(saved, fmt, ap);
        errno = saved;
    } else {
        vwarn(fmt, ap);
    }
    va_end(ap);
}

extern "C" void err(int status, const char *fmt, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, fmt);
    if (use_syslog)
        vsyslog(LOG_ERR, fmt, ap);
    else if (stderr_is_terminal())
        warn_on_terminal(saved, fmt, ap);
    else
        verr(status, fmt, ap);
    va_end(ap);
    std::exit(status);
}

int fatal_status()
{
    return errno != 0 ? errno : 1;
}
