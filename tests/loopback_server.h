// A server on 127.0.0.1 that stalls, for the tests of time limits.
#ifndef WAVELOT_TESTS_LOOPBACK_SERVER_H
#define WAVELOT_TESTS_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

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

#endif
