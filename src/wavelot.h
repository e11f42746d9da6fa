// Command line and run driver.
#ifndef WAVELOT_WAVELOT_H
#define WAVELOT_WAVELOT_H

#include <cstdint>

constexpr const char *version_text = "0.4.0";
// Sent with every feed and episode request; some hosts refuse anonymous clients.
constexpr const char *user_agent = "wavelot/0.4.0";

// Raised by one for every -i; non-zero: write an info file per download.
extern std::int32_t write_info;

[[noreturn]] void print_usage();

// The whole run; returns the exit status (0) unless it exits earlier.
int wavelot_main(int argc, char **argv);

#endif
