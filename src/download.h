// Phase two: fetch one queued episode into the target directory through
// its part file, and write its info file on request.
#ifndef WAVELOT_DOWNLOAD_H
#define WAVELOT_DOWNLOAD_H

#include "episode.h"

#include <cstddef>

// Every limit of an episode transfer, in one place. Tests may shorten them.
struct transfer_limits {
    long connect_timeout_seconds;
    long low_speed_bytes;   // abort when slower than this many bytes/s ...
    long low_speed_seconds; // ... for this long
    long max_redirects;
};
extern transfer_limits download_limits;

// A target path longer than this leaves no room for ".part" / ".info".
constexpr std::size_t path_buffer_size = 1024;
constexpr std::size_t target_path_max = path_buffer_size - 1 - 5;

void download_episode(const episode *ep, const char *target_dir);

// libcurl write callback: the user data is the part file stream.
std::size_t write_chunk(char *block, std::size_t size, std::size_t count, void *stream);

#endif
