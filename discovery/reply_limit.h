// Rate limits of beacond's replies. A reply is larger than the request that asks for it and goes
// to whatever source address the request carries: unlimited, the instrument could be made to
// flood a third host. Replies are limited per source address and in total, each by a bucket that
// fills at a steady rate up to a burst, so a few hosts discovering at once (a request now and
// then, a few repeats) still get every reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace beacon {

class ReplyLimit {
public:
    using Clock = std::chrono::steady_clock;
    // Per source: PER_SOURCE_BURST replies at once, then PER_SOURCE_RATE per second.
    static constexpr double PER_SOURCE_BURST = 10, PER_SOURCE_RATE = 2;
    // All sources together: TOTAL_BURST at once, then TOTAL_RATE per second.
    static constexpr double TOTAL_BURST = 100, TOTAL_RATE = 50;
    // Sources remembered; past it the least recently seen is forgotten.
    static constexpr size_t MAX_SOURCES = 1024;

    // True when a reply to `source` (an IPv4 address) may go out at `now`; counts it.
    bool allow(uint32_t source, Clock::time_point now);

private:
    struct Bucket {
        double tokens;
        Clock::time_point updated;
        bool take(double burst, double rate, Clock::time_point now);
    };
    Bucket total_{TOTAL_BURST, Clock::time_point()};
    std::unordered_map<uint32_t, Bucket> sources_;
};

}  // namespace beacon
