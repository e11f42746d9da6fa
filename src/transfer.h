// The run's transfers: one libcurl multi handle, and with it one
// connection cache, through which every feed fetch and every episode
// download of a run goes; the options they share are set here, once.
#ifndef WAVELOT_TRANSFER_H
#define WAVELOT_TRANSFER_H

#include <cstddef>
#include <ctime>

#include <curl/curl.h>

// Sent with every feed and episode request; some hosts refuse anonymous clients.
constexpr const char *user_agent = "wavelot/0.4.0";

// Limits of every transfer, feed or episode. Tests may shorten them.
struct transfer_limits {
    long connect_timeout_seconds;
    long low_speed_bytes;   // give up when slower than this many bytes/s ...
    long low_speed_seconds; // ... for this long: the server has stalled
    long max_redirects;
};
extern transfer_limits shared_limits;

// Limits of the feed fetches on top of those.
struct feed_fetch_limits {
    long timeout_seconds;     // one whole fetch
    std::size_t body_max;     // one document; a longer one fails the fetch
    std::size_t window_bytes; // all documents held behind the first fetch
};
extern feed_fetch_limits feed_limits;

// Fetches in flight, or fetched and waiting for their turn, at most.
constexpr int fetch_window = 32;
// A server gets at most this many connections at once; HTTP/2 multiplexes
// more fetches over them.
constexpr long connections_per_host = 4;

constexpr std::size_t line_size = 1024;

// One fetch of the run's read-ahead window: the list piece it was started
// for, when it started, and what it brought.
struct feed_fetch {
    char line[line_size] = {}; // the piece as read, cut at its line end
    std::time_t started = 0; // the feed's reference time for the age filter
    CURL *handle = nullptr;
    char *body = nullptr; // the document received so far
    std::size_t size = 0;
    std::size_t capacity = 0;
    bool first = false;    // first in the window: its turn is next, never held back
    bool deferred = false; // given up for the window's bytes: fetched again as first
    bool done = true;
    int error = 0; // when done: 0, or the system error number saying why it failed

    feed_fetch() = default;
    feed_fetch(const feed_fetch &) = delete;
    feed_fetch &operator=(const feed_fetch &) = delete;
    ~feed_fetch();
};

// The options that feed and episode transfers share.
void set_shared_options(CURL *handle);

// Redirects only to http and https URLs; with `requests`, the transfer's
// own URL too.
void allow_only_web(CURL *handle, bool requests);

// Starts fetching `fetch->line` (already cut) on the run's multi handle.
// A fetch that cannot even start is done at once, with its error.
void feed_fetch_start(feed_fetch *fetch, bool first);

// The fetch has become the window's first: nothing holds it back any more,
// and a deferred one starts again.
void feed_fetch_lead(feed_fetch *fetch);

// Ends a fetch (finished or not) and frees its document.
void feed_fetch_release(feed_fetch *fetch);

// Bytes of the documents held behind the window's first fetch, and the
// most there have been (for measurement: tests may reset it).
std::size_t feed_bytes_behind();
extern std::size_t feed_bytes_behind_peak;

// Moves every transfer on; while `awaited` (if given) is not done, waits
// (a second at most) until one of them has something to do.
void transfers_run(const feed_fetch *awaited);

// An episode's transfer, through the run's multi handle, to its end.
CURLcode transfer_perform(CURL *handle);

#endif
