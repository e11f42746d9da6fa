// One line of the list file: fetch and parse the feed, queue its eligible
// items.
#ifndef WAVELOT_FEED_H
#define WAVELOT_FEED_H

#include "episode.h"

#include <cstdint>
#include <ctime>

struct mrss_t;

// Limits of a feed fetch, kept together so they are easy to find.
struct feed_fetch_limits {
    int timeout_seconds; // whole fetch, so a silent server cannot hold the run
};
extern feed_fetch_limits feed_limits;

// `line` is shortened in place at its first CR or LF. Always returns 1;
// failures show only in the warnings.
int scan_feed(char *line, episode_list *list, std::int32_t max_days);

// The item walk of a parsed feed: every eligible item of an RSS 2.0 feed,
// aged against `now`, is appended to `list`. `line` names the feed in
// warnings.
void queue_feed_items(const mrss_t *feed, const char *line, std::time_t now,
                      episode_list *list, std::int32_t max_days);

#endif
