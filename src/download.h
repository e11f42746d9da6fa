// Phase two: fetch one queued episode into the target directory through
// its part file, and write its info file on request.
#ifndef WAVELOT_DOWNLOAD_H
#define WAVELOT_DOWNLOAD_H

#include "episode.h"

#include <cstddef>
#include <cstdint>

// Raised by one for every -i (the driver owns it); non-zero: write an
// info file per download.
extern std::int32_t write_info;

// A target path longer than this leaves no room for ".part" / ".info".
constexpr std::size_t path_buffer_size = 1024;
constexpr std::size_t target_path_max = path_buffer_size - 1 - 5;

void download_episode(const episode *ep, const char *target_dir);

// libcurl write callback: the user data is the part file stream.
std::size_t write_chunk(char *block, std::size_t size, std::size_t count, void *stream);

#endif
