#include "date.h"

#include "warning.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void set_zone(const char *zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

constexpr std::time_t jun10_04z = 1055217600; // Tue, 10 Jun 2003 04:00:00 GMT
constexpr std::time_t hour = 3600;
constexpr std::time_t failed = 0;

struct rfc822_case {
    const char *text;
    std::time_t in_utc;      // result under TZ=UTC
    std::time_t in_new_york; // result under TZ=America/New_York
    const char *warning;     // null: converts without a word
};

const char *const tm_failed = "Convert RFC822 '%s' to struct tm failed";
const char *const time_failed = "Convert struct tm (from '%s') to time_t failed";

const rfc822_case rfc822_cases[] = {
    // Written zones give the same instant whatever the local zone is.
    {"Tue, 10 Jun 2003 04:00:00 GMT", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 UT", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 UTC", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 Z", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 +0000", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 -0000", jun10_04z, jun10_04z, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 +0200", jun10_04z - 2 * hour, jun10_04z - 2 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 -0930", jun10_04z + 9 * hour + 1800,
     jun10_04z + 9 * hour + 1800, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 EST", jun10_04z + 5 * hour, jun10_04z + 5 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 EDT", jun10_04z + 4 * hour, jun10_04z + 4 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 CST", jun10_04z + 6 * hour, jun10_04z + 6 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 CDT", jun10_04z + 5 * hour, jun10_04z + 5 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 MST", jun10_04z + 7 * hour, jun10_04z + 7 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 MDT", jun10_04z + 6 * hour, jun10_04z + 6 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 PST", jun10_04z + 8 * hour, jun10_04z + 8 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 PDT", jun10_04z + 7 * hour, jun10_04z + 7 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 +0200 (CEST)", jun10_04z - 2 * hour, jun10_04z - 2 * hour,
     nullptr},
    // No zone, or one we do not know: local clock time, summer time from
    // the date itself (New York is at -4 in June).
    {"Tue, 10 Jun 2003 04:00:00", jun10_04z, jun10_04z + 4 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 CEST", jun10_04z, jun10_04z + 4 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 +2500", jun10_04z, jun10_04z + 4 * hour, nullptr},
    {"Tue, 10 Jun 2003 04:00:00 and then some", jun10_04z, jun10_04z + 4 * hour, nullptr},
    {"Mon, 06 Jan 2003 12:00:00", 1041854400, 1041872400, nullptr},
    // Across New York's spring change, 06 Apr 2003 02:00 local.
    {"Sun, 06 Apr 2003 01:59:59", 1049594399, 1049612399, nullptr},
    {"Sun, 06 Apr 2003 03:00:00", 1049598000, 1049612400, nullptr},
    {"Sun, 06 Apr 2003 01:59:59 EST", 1049612399, 1049612399, nullptr},
    {"Sun, 06 Apr 2003 03:00:00 EDT", 1049612400, 1049612400, nullptr},
    // Texts that do not match the pattern.
    {"10 Jun 2003 04:00:00 GMT", failed, failed, tm_failed},
    {"Tue, 10 Jun 2003 04:00 GMT", failed, failed, tm_failed},
    {"", failed, failed, tm_failed},
    // The second before the epoch is the error value of the conversion.
    {"Wed, 31 Dec 1969 23:59:59 GMT", failed, failed, time_failed},
    {"Thu, 01 Jan 1970 00:59:59 +0100", failed, failed, time_failed},
    {"Thu, 01 Jan 1970 00:00:00 GMT", failed, failed, nullptr},
};

void check_rfc822(const char *zone, std::time_t rfc822_case::*expected)
{
    set_zone(zone);
    for (const auto &c : rfc822_cases) {
        std::string before = c.text;
        testing::internal::CaptureStderr();
        std::time_t t = rfc822_to_time(c.text);
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(t, c.*expected) << zone << " " << c.text;
        EXPECT_EQ(before, c.text) << "the text must not change";
        std::string warning;
        if (c.warning != nullptr) {
            char message[256];
            std::snprintf(message, sizeof message, c.warning, c.text);
            warning = warning_line(message, EINVAL);
        }
        EXPECT_EQ(said, warning) << zone << " " << c.text;
    }
}

TEST(rfc822_to_time, table_under_utc)
{
    check_rfc822("UTC", &rfc822_case::in_utc);
}

TEST(rfc822_to_time, table_under_new_york)
{
    check_rfc822("America/New_York", &rfc822_case::in_new_york);
}

// The second before the epoch in the local zone, with no zone written.
TEST(rfc822_to_time, local_second_before_epoch_is_refused)
{
    set_zone("America/New_York");
    testing::internal::CaptureStderr();
    EXPECT_EQ(rfc822_to_time("Wed, 31 Dec 1969 18:59:59"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              warning_line("Convert struct tm (from 'Wed, 31 Dec 1969 18:59:59') to time_t "
                           "failed",
                           EINVAL));
}

TEST(rfc822_to_time, null_text_warns_with_errno_zero)
{
    errno = EIO;
    testing::internal::CaptureStderr();
    EXPECT_EQ(rfc822_to_time(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning_line("Invalide empty date", 0));
}

TEST(iso8601_to_time, converts_and_shortens_the_callers_text)
{
    set_zone("UTC");
    char good[] = "2003-06-10T04:00:00+01:00";
    EXPECT_EQ(iso8601_to_time(good), jun10_04z); // the offset is not applied
    EXPECT_STREQ(good, "2003-06-10T04:00:00+0100");

    struct {
        const char *text, *after;
    } bad[] = {
        {"2003-06-10 04:00:00+01:00", "2003-06-10 04:00:00+0100"},
        {"not a date", "not a date"},
        {"1:23", "123"},
        {"a:b", "a:b"},
        {"ab", "ab"},
        {"", ""},
    };
    for (const auto &b : bad) {
        char text[64];
        std::snprintf(text, sizeof text, "%s", b.text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(iso8601_to_time(text), 0) << b.text;
        EXPECT_STREQ(text, b.after);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  warning_line(std::string("Convert  ISO8601 '") + b.after +
                                   "' to struct tm failed",
                               EINVAL));
    }
}

} // namespace
