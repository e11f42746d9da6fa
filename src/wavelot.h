// Command line and run driver.
#ifndef WAVELOT_WAVELOT_H
#define WAVELOT_WAVELOT_H

#include "episode.h"

#include <cstdint>
#include <cstdio>

constexpr const char *version_text = "0.4.0";

[[noreturn]] void print_usage();

// Phase one: every piece of the list file is fetched, and scanned in list
// order as its turn comes, while the pieces after it are fetched.
void scan_list(std::FILE *list, episode_list *queue, std::int32_t max_days);

// The whole run; returns the exit status (0) unless it exits earlier.
int wavelot_main(int argc, char **argv);

#endif
