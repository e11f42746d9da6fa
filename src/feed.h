// One feed: parse its fetched document, queue its eligible items.
#ifndef WAVELOT_FEED_H
#define WAVELOT_FEED_H

#include "episode.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

struct mrss_t;

// What the fetch of one feed brought.
struct feed_document {
    const char *text; // the document, or null when the fetch failed
    std::size_t size;
    int error; // the failed fetch's system error number
};

// A list piece as a feed URL: cut in place at its first CR or LF.
char *cut_line_end(char *line);

// One piece of the list file and its fetched document: the eligible items
// are queued, aged against `now`, the time the fetch started. `line` is
// cut at its line end. Always returns 1; failures show only in the
// warnings.
int scan_feed(char *line, const feed_document &doc, std::time_t now, episode_list *list,
              std::int32_t max_days);

// The item walk of a parsed feed: every eligible item of an RSS 2.0 feed,
// aged against `now`, is appended to `list`. `line` names the feed in
// warnings.
void queue_feed_items(const mrss_t *feed, const char *line, std::time_t now,
                      episode_list *list, std::int32_t max_days);

#endif
