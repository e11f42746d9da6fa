#include "date.h"

#include "diag.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <strings.h>

namespace {

struct zone_name {
    const char *name;
    int minutes; // east of UTC
};

constexpr zone_name zone_names[] = {
    {"GMT", 0},        {"UT", 0},         {"UTC", 0},        {"Z", 0},
    {"EST", -5 * 60},  {"EDT", -4 * 60},  {"CST", -6 * 60},  {"CDT", -5 * 60},
    {"MST", -7 * 60},  {"MDT", -6 * 60},  {"PST", -8 * 60},  {"PDT", -7 * 60},
};

bool all_digits(std::string_view s)
{
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The zone that follows the seconds, as minutes east of UTC. False when
// there is none, or none we know: the clock time is then taken as local.
bool parse_zone(const char *rest, int *minutes)
{
    while (*rest == ' ' || *rest == '\t')
        rest++;
    std::size_t len = 0;
    while (rest[len] != '\0' && (std::isalnum(static_cast<unsigned char>(rest[len])) ||
                                 ((rest[len] == '+' || rest[len] == '-') && len == 0)))
        len++;
    std::string_view token(rest, len);

    if (token.size() == 5 && (token[0] == '+' || token[0] == '-') &&
        all_digits(std::string_view(token.data() + 1, 4))) {
        int hh = (token[1] - '0') * 10 + (token[2] - '0');
        int mm = (token[3] - '0') * 10 + (token[4] - '0');
        if (hh > 23 || mm > 59)
            return false;
        *minutes = (token[0] == '-' ? -1 : 1) * (hh * 60 + mm);
        return true;
    }
    for (const zone_name &z : zone_names) {
        if (token.size() == std::strlen(z.name) &&
            strncasecmp(token.data(), z.name, token.size()) == 0) {
            *minutes = z.minutes;
            return true;
        }
    }
    return false;
}

} // namespace

std::time_t rfc822_to_time(const char *text)
{
    errno = 0;
    if (text == nullptr) {
        warn("Invalide empty date");
        return 0;
    }

    // Cleared, and summer time left to the date itself.
    struct tm tm {};
    tm.tm_isdst = -1;
    const char *rest = strptime(text, "%a, %d %b %Y %T", &tm);
    if (rest == nullptr) {
        errno = EINVAL;
        warn("Convert RFC822 '%s' to struct tm failed", text);
        return 0;
    }

    std::time_t t;
    int zone_minutes;
    if (parse_zone(rest, &zone_minutes)) {
        t = timegm(&tm);
        if (t != -1)
            t -= static_cast<std::time_t>(zone_minutes) * 60;
    } else {
        t = mktime(&tm);
    }
    if (t == -1) {
        errno = EINVAL;
        warn("Convert struct tm (from '%s') to time_t failed", text);
        return 0;
    }
    return t;
}

std::time_t iso8601_to_time(char *text)
{
    errno = 0;
    struct tm tm {};
    tm.tm_isdst = -1;

    if (strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ", &tm) == nullptr) {
        std::size_t len = std::strlen(text);
        if (len >= 3 && text[len - 3] == ':') {
            text[len - 3] = text[len - 2];
            text[len - 2] = text[len - 1];
            text[len - 1] = '\0';
        }
        if (strptime(text, "%Y-%m-%dT%H:%M:%S%z", &tm) == nullptr) {
            errno = EINVAL;
            warn("Convert  ISO8601 '%s' to struct tm failed", text);
            return 0;
        }
    }

    std::time_t t = mktime(&tm);
    if (t == -1) {
        errno = EINVAL;
        warn("Convert struct tm (from '%s') to time_t failed", text);
        return 0;
    }
    return t;
}
