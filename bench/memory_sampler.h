// Resident memory of a running pulserd, for benchmarks: read from /proc/<pid>/smaps, with the
// simulated sequence window (the one mapping of its size or larger) counted apart.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "hardware/registers.h"

namespace testsupport {

struct ResidentKb {
    long without_window = 0;  // kB resident outside the sequence window
    long window = 0;          // kB resident in the sequence window
};

inline ResidentKb resident_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    ResidentKb r;
    long size = 0;
    while (std::getline(in, line)) {
        long kb = 0;
        if (std::sscanf(line.c_str(), "Size: %ld kB", &kb) == 1) {
            size = kb;
        } else if (std::sscanf(line.c_str(), "Rss: %ld kB", &kb) == 1) {
            if (size >= static_cast<long>(reg::SEQMEM_LEN / 1024))
                r.window += kb;
            else
                r.without_window += kb;
        }
    }
    return r;
}

// Samples every 25 ms from construction to destruction (reading smaps more often slows the
// server noticeably) and keeps the value before and the peaks.
class RssSampler {
public:
    explicit RssSampler(pid_t pid)
        : pid_(pid), before_(resident_kb(pid)), thread_([this] {
              while (!stop_) {
                  ResidentKb kb = resident_kb(pid_);
                  peak_.without_window = std::max(peak_.without_window, kb.without_window);
                  peak_.window = std::max(peak_.window, kb.window);
                  std::this_thread::sleep_for(std::chrono::milliseconds(25));
              }
          }) {}
    ~RssSampler() { stop(); }
    RssSampler(const RssSampler&) = delete;
    RssSampler& operator=(const RssSampler&) = delete;

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    const ResidentKb& before() const { return before_; }
    const ResidentKb& peak() const { return peak_; }

private:
    pid_t pid_;
    ResidentKb before_;
    ResidentKb peak_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testsupport
