#include "interfaces/grpc/GrpcListener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "interfaces/tcp/tcp_protocol.h"

namespace grpclisten {

namespace {

// Connections waiting to be accepted, as many as the system allows: a burst of connections
// beyond it waits for the client's retry of its connection (a second or more).
constexpr int kBacklog = SOMAXCONN;

}  // namespace

size_t LiveConnections::live() {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [](const Entry& e) {
                                      struct stat st {};
                                      return fstat(e.fd, &st) != 0 || st.st_dev != e.dev || st.st_ino != e.ino;
                                  }),
                   entries_.end());
    return entries_.size();
}

bool LiveConnections::admit(int fd) {
    struct stat st {};
    // Below the cap, entries of closed connections do no harm: they are swept out only at it.
    if ((entries_.size() >= cap_ && live() >= cap_) || fstat(fd, &st) != 0) return false;
    // A descriptor of a closed connection may come back here for a new socket: it gets an entry
    // of its own, and the old one goes at the next sweep, as its inode no longer matches.
    entries_.push_back({fd, st.st_dev, st.st_ino});
    return true;
}

int listenOn(uint16_t port) {
    // IPv6 and IPv4 clients on one socket where the system has IPv6, IPv4 alone otherwise.
    for (const int family : {AF_INET6, AF_INET}) {
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        // Connections closed here linger in TIME_WAIT; a restarted server must still get its port.
        int one = 1, zero = 0;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage addr{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_any;
            a->sin6_port = htons(port);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_ANY);
            a->sin_port = htons(port);
            length = sizeof *a;
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0 && listen(fd, kBacklog) == 0) return fd;
        close(fd);
    }
    return -1;
}

void acceptCapped(int listen_fd, size_t cap, const std::function<void(int fd)>& hand_over) {
    LiveConnections connections(cap);
    bool refusing = false;  // printed once per run of refusals
    int reported = 0;       // last shortage printed, so a lasting one is printed once
    for (;;) {
        // Non-blocking, as the gRPC transport reads it; close-on-exec, so a restarted process
        // image holds no connection.
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            const int err = errno;
            bool pause = false;
            if (tcp::acceptRetryable(err, pause)) {
                if (pause) {
                    if (err != reported) std::cout << "gRPC: ERROR on accept: " << std::strerror(err) << std::endl;
                    reported = err;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            std::cout << "gRPC: ERROR on accept: " << std::strerror(err) << std::endl;
            close(listen_fd);
            return;
        }
        reported = 0;
        if (!connections.admit(fd)) {
            if (!refusing) std::cout << "gRPC: " << cap << " connections open, refusing new ones" << std::endl;
            refusing = true;
            close(fd);
            continue;
        }
        refusing = false;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        hand_over(fd);
    }
}

}  // namespace grpclisten
