// Arbitrary bytes as a feed document, through the scanner's own item walk:
// eligibility, URL choice, file name, tags, date and the append.
#include "episode.h"
#include "feed.h"

#include <mrss.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::vector<char> buffer(data, data + size);
    mrss_t *feed = nullptr;
    if (mrss_parse_buffer(buffer.data(), buffer.size(), &feed) == MRSS_OK && feed != nullptr) {
        episode_list list;
        episode_list_init(&list);
        // A fixed "now" and a limit, so the age filter takes both ways.
        queue_feed_items(feed, "fuzz://feed", 1700000000, &list, 3650);
        episode_list_free(&list);
    }
    if (feed != nullptr)
        mrss_free(feed);
    return 0;
}
