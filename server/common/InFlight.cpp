#include "common/InFlight.h"

#include <atomic>

namespace inflight {

namespace {
std::atomic<size_t> total{0};
}

size_t held() { return total.load(); }

bool Claim::grow(size_t n) {
    size_t now = total.load();
    do {
        if (n > kMaxBytes - now) return false;
    } while (!total.compare_exchange_weak(now, now + n));
    bytes_ += n;
    return true;
}

void Claim::shrink_to(size_t n) {
    if (n >= bytes_) return;
    total -= bytes_ - n;
    bytes_ = n;
}

Claim::~Claim() { total -= bytes_; }

}  // namespace inflight
