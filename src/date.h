// Date texts of feed items to calendar time. Both conversions return 0
// after a warning when a text does not convert: "no usable date".
#ifndef WAVELOT_DATE_H
#define WAVELOT_DATE_H

#include <ctime>

// "Tue, 10 Jun 2003 04:00:00 GMT"; null is allowed. A zone written after
// the seconds is applied; without a known one the time is local.
std::time_t rfc822_to_time(const char *text);

// "2003-06-10T04:00:00+01:00"; the text must be writable: a colon third
// from its end is removed in place before the second pattern is tried.
std::time_t iso8601_to_time(char *text);

#endif
