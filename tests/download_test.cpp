#include "download.h"

#include "warning.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

// Answers one request on 127.0.0.1 with the head of a body, then sends
// nothing more until the client gives up (or 20 s pass).
struct stalling_server {
    int listener = -1;
    int port = 0;
    std::thread thread;

    explicit stalling_server(std::string head)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this, head] {
            int client = accept(listener, nullptr, nullptr);
            char request[4096];
            (void)!recv(client, request, sizeof request, 0);
            (void)!send(client, head.data(), head.size(), 0);
            pollfd p{client, POLLIN, 0};
            while (poll(&p, 1, 20000) > 0 && recv(client, request, sizeof request, 0) > 0) {
            }
            close(client);
        });
    }
    ~stalling_server()
    {
        thread.join();
        close(listener);
    }
};

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

    transfer_limits saved = download_limits;
    download_limits.low_speed_seconds = 1; // the seam: 60 s in the program
    testing::internal::CaptureStderr();
    download_episode(ep, dir);
    std::string said = testing::internal::GetCapturedStderr();
    download_limits = saved;

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
