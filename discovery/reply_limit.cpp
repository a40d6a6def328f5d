#include "reply_limit.h"

#include <algorithm>

namespace beacon {

bool ReplyLimit::Bucket::take(double burst, double rate, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - updated).count();
    tokens = std::min(burst, tokens + std::max(0.0, seconds) * rate);
    updated = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

bool ReplyLimit::allow(uint32_t source, Clock::time_point now) {
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        if (sources_.size() >= MAX_SOURCES) {
            auto oldest = std::min_element(sources_.begin(), sources_.end(), [](const auto& a, const auto& b) {
                return a.second.updated < b.second.updated;
            });
            sources_.erase(oldest);
        }
        it = sources_.emplace(source, Bucket{PER_SOURCE_BURST, now}).first;
    }
    // A source over its own limit takes nothing from the total.
    if (!it->second.take(PER_SOURCE_BURST, PER_SOURCE_RATE, now)) return false;
    return total_.take(TOTAL_BURST, TOTAL_RATE, now);
}

}  // namespace beacon
