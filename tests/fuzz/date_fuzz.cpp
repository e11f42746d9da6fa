// Arbitrary texts as RFC 822 and ISO 8601 dates.
#include "date.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    rfc822_to_time(text.c_str());
    iso8601_to_time(&text[0]);
    return 0;
}
