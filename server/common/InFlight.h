// Bytes of requests held at once, across the interfaces (gRPC messages, HTTP bodies): a request
// whose bytes would pass the bound is refused at once, with "resource exhausted" or HTTP 503,
// rather than held until memory runs out.
#pragma once

#include <cstddef>

namespace inflight {

// Room for one request of every size the interfaces take (a 2,000,000-pulse sequence is about
// 67 MB) beside a few small ones, well inside the board's memory.
constexpr size_t kMaxBytes = size_t(96) << 20;

// The bytes held now.
size_t held();

// A request's share of the bound, given back when it ends.
class Claim {
public:
    Claim() = default;
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    // Takes `n` more bytes; false (nothing taken) when they would pass the bound.
    bool grow(size_t n);
    // Gives back what is above `n` bytes.
    void shrink_to(size_t n);
    size_t bytes() const { return bytes_; }

private:
    size_t bytes_ = 0;
};

}  // namespace inflight
