#include "wavelot.h"

#include "diag.h"
#include "feed_text.h"
#include "loopback_server.h"
#include "transfer.h"
#include "warning.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Phase one over a list file of the test's own, with the limits of the
// transfers shortened where a test says so.
struct phase_one : testing::Test {
    episode_list queue;
    std::string list_path;
    transfer_limits saved_shared = shared_limits;
    feed_fetch_limits saved_feed = feed_limits;

    void SetUp() override
    {
        episode_list_init(&queue);
        char name[] = "/tmp/wavelot-list-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        list_path = name;
    }
    void TearDown() override
    {
        shared_limits = saved_shared;
        feed_limits = saved_feed;
        episode_list_free(&queue);
        std::remove(list_path.c_str());
    }

    // Scans a list of these lines; returns what was said on standard error.
    std::string scan(const std::vector<std::string> &lines)
    {
        std::FILE *list = std::fopen(list_path.c_str(), "w+");
        for (const std::string &line : lines)
            std::fprintf(list, "%s\n", line.c_str());
        std::rewind(list);
        testing::internal::CaptureStderr();
        scan_list(list, &queue, 0);
        std::fclose(list);
        return testing::internal::GetCapturedStderr();
    }

    std::vector<std::string> titles() const
    {
        std::vector<std::string> out;
        for (const episode *ep = queue.head; ep != nullptr; ep = ep->next)
            out.push_back(ep->title);
        return out;
    }
};

std::string one_item_feed(const std::string &title)
{
    return rss(item("<title>" + title + "</title>" + pubdate(1055217600) +
                    enclosure("http://h/" + title + ".mp3")));
}

TEST_F(phase_one, a_dead_feed_holds_back_neither_the_order_nor_the_others)
{
    scripted_server server;
    server.routes["/dead.xml"].silent = true;
    server.routes["/a.xml"].body = one_item_feed("a");
    server.routes["/b.xml"].body = one_item_feed("b");
    server.start();
    shared_limits.low_speed_seconds = 1; // the seam: 60 s in the program

    std::string said = scan({server.url("/dead.xml"), server.url("/a.xml"),
                             "file:///nonexistent/feed.xml", server.url("/b.xml")});
    EXPECT_EQ(said, warning_line("Download error ", ETIMEDOUT) +
                        warning_line("Download error ", ENOENT));
    EXPECT_EQ(titles(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(phase_one, a_document_over_its_limit_fails_the_fetch)
{
    scripted_server server;
    server.routes["/big.xml"].body = rss(std::string(300 * 1024, ' ') + item("<title>x</title>"));
    server.routes["/a.xml"].body = one_item_feed("a");
    server.start();
    feed_limits.body_max = 256 * 1024;

    std::string said = scan({server.url("/big.xml"), server.url("/a.xml")});
    EXPECT_EQ(said, warning_line("Download error ", EFBIG));
    EXPECT_EQ(titles(), std::vector<std::string>{"a"});
}

// While the first feed is late, the fetches behind it are given up once
// their documents would fill the window's bytes, and fetched again when
// their turn comes.
TEST_F(phase_one, documents_behind_the_first_stay_within_the_window_bytes)
{
    scripted_server server;
    std::vector<std::string> lines, expected;
    for (int f = 0; f < 8; f++) {
        std::string items, path = "/f" + std::to_string(f) + ".xml";
        for (int i = 0; i < 100; i++) {
            std::string title = std::to_string(f) + "-" + std::to_string(i);
            items += item("<title>" + title + "</title>" + pubdate(1055217600) +
                          enclosure("http://h/" + title + ".mp3") + "<description>" +
                          std::string(2000, 'x') + "</description>");
            expected.push_back(title);
        }
        server.routes[path].body = rss(items);
        server.routes[path].delay_ms = f == 0 ? 500 : 0;
        lines.push_back(server.url(path));
    }
    server.start();
    feed_limits.window_bytes = 64 * 1024;
    feed_bytes_behind_peak = 0;

    std::string said = scan(lines);
    EXPECT_EQ(said, "");
    EXPECT_EQ(titles(), expected);
    EXPECT_GT(feed_bytes_behind_peak, 0u);
    EXPECT_LE(feed_bytes_behind_peak, feed_limits.window_bytes);
    EXPECT_EQ(feed_bytes_behind(), 0u);
    EXPECT_GT(server.requests.size(), lines.size()); // some were fetched again
}

} // namespace
