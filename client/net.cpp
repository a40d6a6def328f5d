#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarvex/Client.h"
#include "tarvex/Error.h"

namespace tarvex {

std::string endpoint(const std::string& host, uint16_t port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace net {

namespace {

int wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

in_addr resolve(const std::string& host, uint16_t port) {
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (r != 0 || !found)
        throw Error(Error::Unreachable, "cannot reach " + tarvex::endpoint(host, port) + ": " + gai_strerror(r),
                    tarvex::endpoint(host, port));
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

Connection::Connection(const std::string& host, uint16_t port, std::chrono::milliseconds timeout)
    : endpoint_(tarvex::endpoint(host, port)) {
    // IPv4 or IPv6: the first address found.
    sockaddr_storage to{};
    socklen_t to_length = sizeof(sockaddr_in);
    in6_addr six{};
    if (host.find(':') != std::string::npos && inet_pton(AF_INET6, host.c_str(), &six) == 1) {
        auto& a = reinterpret_cast<sockaddr_in6&>(to);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = six;
        to_length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(to);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr = resolve(host, port);
    }
    fd_ = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw Error(Error::Unreachable, "cannot reach " + endpoint_ + ": " + std::strerror(errno), endpoint_);
    int err = 0;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&to), to_length) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            if (wait_for(fd_, POLLOUT, Clock::now() + timeout) <= 0) {
                err = ETIMEDOUT;
            } else {
                socklen_t length = sizeof err;
                getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length);
            }
        }
    }
    if (err != 0) {
        close(fd_);
        fd_ = -1;
        throw Error(Error::Unreachable,
                    "cannot reach " + endpoint_ + ": " +
                        (err == ETIMEDOUT ? "no connection within " + std::to_string(timeout.count()) + " ms"
                                          : std::string(std::strerror(err))),
                    endpoint_);
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Connection::~Connection() {
    if (fd_ >= 0) close(fd_);
}

bool Connection::send(iovec* pieces, int count, std::chrono::milliseconds stall) {
    while (count > 0) {
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t r = sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                if (wait_for(fd_, POLLOUT, Clock::now() + stall) <= 0)
                    throw Error(Error::Unreachable,
                                endpoint_ + " took nothing for " + std::to_string(stall.count()) + " ms", endpoint_);
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET) return false;
            throw Error(Error::Unreachable, endpoint_ + ": " + std::strerror(errno), endpoint_);
        }
        size_t left = static_cast<size_t>(r);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

size_t Connection::receiveSome(void* buffer, size_t length, Clock::time_point deadline) {
    for (;;) {
        const ssize_t r = recv(fd_, buffer, length, 0);
        if (r >= 0) return static_cast<size_t>(r);
        if (errno == EINTR) continue;
        if (errno == ECONNRESET) return 0;
        if (errno != EAGAIN) throw Error(Error::Unreachable, endpoint_ + ": " + std::strerror(errno), endpoint_);
        if (wait_for(fd_, POLLIN, deadline) <= 0)
            throw Error(Error::Unreachable, "no answer from " + endpoint_ + " in time", endpoint_);
    }
}

bool Connection::receive(void* buffer, size_t length, Clock::time_point deadline) {
    auto* p = static_cast<char*>(buffer);
    while (length > 0) {
        const size_t n = receiveSome(p, length, deadline);
        if (n == 0) return false;
        p += n;
        length -= n;
    }
    return true;
}

}  // namespace net
}  // namespace tarvex
