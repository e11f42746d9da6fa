#include "download.h"
#include "transfer.h"

#include "loopback_server.h"
#include "warning.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(download_episode, stalled_body_is_aborted_by_the_speed_limit)
{
    char dir[] = "/tmp/wavelot-dl-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    stalling_server server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n012");
    std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/stall.mp3";

    episode_list list;
    episode_list_init(&list);
    episode *ep = episode_list_append(&list, "t", url.c_str(), 0, 0, "", "stall.mp3");

    transfer_limits saved = shared_limits;
    shared_limits.low_speed_seconds = 1; // the seam: 60 s in the program
    testing::internal::CaptureStderr();
    download_episode(ep, dir);
    std::string said = testing::internal::GetCapturedStderr();
    shared_limits = saved;

    EXPECT_TRUE(are_warnings(said, {"Error 28 downloading file : " + url})) << said;
    std::string part = std::string(dir) + "/stall.mp3.part";
    EXPECT_EQ(slurp(part), "012");
    EXPECT_NE(access((std::string(dir) + "/stall.mp3").c_str(), F_OK), 0);

    episode_list_free(&list);
    std::remove(part.c_str());
    rmdir(dir);
}

// A fatal error must never look like success, even with errno at 0.
TEST(download_episode, fatal_error_with_errno_zero_exits_one)
{
    std::string dir = "/tmp/" + std::string(1100, 'd');
    episode_list list;
    episode_list_init(&list);
    episode *ep = episode_list_append(&list, "t", "http://127.0.0.1:1/x.mp3", 0, 0, "", "x.mp3");
    EXPECT_EXIT(
        {
            errno = 0;
            download_episode(ep, dir.c_str());
        },
        testing::ExitedWithCode(1), "Filename is to long: x.mp3\n: Success");
    episode_list_free(&list);
}

} // namespace
