// Socket helpers of the client: IPv4 address lookup, TCP connect, send and receive, each bounded
// by a deadline. Failures throw tarvex::Error naming the endpoint.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <chrono>
#include <string>

namespace tarvex::net {

using Clock = std::chrono::steady_clock;

// The IPv4 address of `host` (dotted or a name); throws Error(Unreachable) when it has none.
in_addr resolve(const std::string& host, uint16_t port);

// A connected TCP socket (non-blocking, TCP_NODELAY), closed with the object.
class Connection {
public:
    Connection(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& endpoint() const { return endpoint_; }
    // Sends every byte of the pieces; `stall` bounds each wait for the socket to take more.
    // False when the peer closed or reset the connection (its answer may still be readable).
    bool send(iovec* pieces, int count, std::chrono::milliseconds stall);
    // Receives exactly `length` bytes before the deadline; false when the peer closed first.
    bool receive(void* buffer, size_t length, Clock::time_point deadline);
    // Receives what arrives (at most `length` bytes) before the deadline; 0 when the peer closed.
    size_t receiveSome(void* buffer, size_t length, Clock::time_point deadline);

private:
    int fd_ = -1;
    std::string endpoint_;
};

}  // namespace tarvex::net
