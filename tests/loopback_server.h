// Servers on 127.0.0.1 for the tests of transfers and their limits.
#ifndef WAVELOT_TESTS_LOOPBACK_SERVER_H
#define WAVELOT_TESTS_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline int loopback_listener(int *port)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 64);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return listener;
}

// Answers every request by its path, each connection on a thread of its
// own, then closes the connection. An answer may start late, or never
// (`silent`: the connection is held open until the server goes).
struct scripted_server {
    struct answer {
        std::string body;
        int delay_ms = 0;
        bool silent = false;
    };
    std::map<std::string, answer> routes;
    std::vector<std::string> requests; // paths, in order of arrival
    std::mutex lock;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> connections;

    scripted_server()
    {
        listener = loopback_listener(&port);
    }
    void start()
    {
        acceptor = std::thread([this] {
            while (!stopping) {
                pollfd p{listener, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0)
                    continue;
                int client = accept(listener, nullptr, nullptr);
                if (client >= 0)
                    connections.emplace_back([this, client] { serve(client); });
            }
        });
    }
    ~scripted_server()
    {
        stopping = true;
        if (acceptor.joinable())
            acceptor.join();
        for (auto &t : connections)
            t.join();
        close(listener);
    }
    std::string url(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // Waits a little at a time, so that the server can go.
    void pause_for(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stopping && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void serve(int client)
    {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                close(client);
                return;
            }
            request.append(buffer, static_cast<std::size_t>(n));
        }
        std::size_t start = request.find(' ') + 1;
        std::string path = request.substr(start, request.find(' ', start) - start);
        answer a;
        {
            std::lock_guard<std::mutex> hold(lock);
            requests.push_back(path);
            auto found = routes.find(path);
            if (found != routes.end())
                a = found->second;
            else
                a.body = "no such page";
        }
        if (a.silent)
            pause_for(60 * 1000);
        pause_for(a.delay_ms);
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(a.body.size()) +
                           "\r\nConnection: close\r\n\r\n";
        std::string all = head + a.body;
        for (std::size_t at = 0; at < all.size() && !stopping;) {
            ssize_t n = send(client, all.data() + at, all.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        close(client);
    }
};

// Answers one request on 127.0.0.1 with the head of a body, then sends
// nothing more until the client gives up (or 20 s pass).
struct stalling_server {
    int listener = -1;
    int port = 0;
    std::thread thread;

    explicit stalling_server(std::string head)
    {
        listener = loopback_listener(&port);
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

#endif
