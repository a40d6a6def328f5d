// A UDP socket on a loopback address that sends datagrams and collects replies (the discovery
// server's clients in tests).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace testsupport {

struct UdpClient {
    static sockaddr_in address(const char* ip, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        return a;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    explicit UdpClient(const std::string& ip = "127.0.0.1") {
        sockaddr_in local = address(ip.c_str(), 0);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~UdpClient() { close(fd); }
    void send(const std::string& bytes, uint16_t port, const char* ip = "127.0.0.1") {
        const sockaddr_in to = address(ip, port);
        ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  ssize_t(bytes.size()));
    }
    std::optional<std::string> receive(int timeout_ms, uint16_t* from_port = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
        char buffer[70000];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return std::nullopt;
        if (from_port) *from_port = ntohs(from.sin_port);
        return std::string(buffer, size_t(n));
    }
    // Asks until the discovery server answers (it is ready once bound), then drops any further replies.
    std::optional<std::string> await_reply(uint16_t port, const char* ip = "127.0.0.1") {
        for (int attempt = 0; attempt < 100; ++attempt) {
            send("TX-DISCOVERY", port, ip);
            if (auto reply = receive(50)) {
                while (receive(50)) {
                }
                return reply;
            }
        }
        return std::nullopt;
    }
};

}  // namespace testsupport
