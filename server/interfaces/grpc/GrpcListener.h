// The gRPC port is listened on and accepted here rather than by the gRPC library, which holds as
// many connections as clients open: each accepted connection is counted and handed to the running
// server, and at the cap a new one is closed at once, so its client fails fast instead of waiting
// and the other interfaces and the settings files keep their descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Most gRPC connections held at once: far above what the clients of one lab open.
constexpr size_t kMaxGrpcConnections = 64;

namespace grpclisten {

// The connections handed over and not yet closed. Each is known by its descriptor and the
// socket's inode as they were at accept: once the server closes a connection, its descriptor is
// gone or names another file, and it no longer counts.
class LiveConnections {
public:
    explicit LiveConnections(size_t cap) : cap_(cap) {}
    // Counts `fd` and returns true when fewer than the cap are open; false (and not counted) at
    // the cap or when `fd` cannot be examined.
    bool admit(int fd);
    // The connections still open.
    size_t live();

private:
    struct Entry {
        int fd;
        dev_t dev;
        ino_t ino;
    };
    size_t cap_;
    std::vector<Entry> entries_;
};

// A listening TCP socket on every address (IPv6 and IPv4) at `port`, close-on-exec; -1 when it
// cannot be had.
int listenOn(uint16_t port);

// Accepts connections on `listen_fd` until it fails for good, giving each one the cap admits to
// `hand_over` (which owns it from then on) and closing the others at once.
void acceptCapped(int listen_fd, size_t cap, const std::function<void(int fd)>& hand_over);

}  // namespace grpclisten
