// Readback of a 2,000,000-pulse slot from the real pulserd (sim build), the list of the web page's
// test (8-20 ns pulses off the 8 ns grid, 4,923,077 segments as played): paging through the whole
// slot in order in both forms, one page near its end read on its own, and the slowest JSON-RPC
// getter answer while four clients page through the slot at once.
//
//   readback_bench        (run it through tests/support/netns_run.sh: the ports are fixed)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "support/grpc_instrument.h"
#include "support/http_client.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Paged {
    int pages = 0;
    uint64_t segments = 0;
    double megabytes = 0;
};

// Pages through slot 0 from segment `from` on, in the binary form or JSON.
Paged page_through(uint64_t from, size_t max_pages, bool binary) {
    Paged p;
    for (bool more = true; more && size_t(p.pages) < max_pages; ++p.pages) {
        const HttpReply r = http_request(
            8050, "GET",
            "/api/slot/0/segments?max=65536&from=" + std::to_string(from) + (binary ? "&form=binary" : ""));
        size_t n = 0;
        if (binary) {
            if (r.body.size() < 14) break;
            uint32_t count;
            std::memcpy(&count, r.body.data(), 4);
            n = count;
            more = r.body[4] == 1;
        } else {
            n = size_t(std::count(r.body.begin(), r.body.end(), ']')) - 1;  // one per segment, one for the list
            more = r.body.find("\"more\":true") != std::string::npos;
        }
        from += n;
        p.segments += n;
        p.megabytes += double(r.body.size()) / 1e6;
    }
    return p;
}

}  // namespace

int main() {
    GrpcInstrument pulserd;
    if (!pulserd.ready()) return 1;
    const size_t n = 2000000;
    std::vector<Pulse> pulses(n);
    for (size_t k = 0; k < n; ++k)
        pulses[k] = Pulse{uint32_t(8 + k % 13), uint8_t(k & 255), int16_t(k % 200 * 100), int16_t(-int(k % 300) * 100)};
    if (!TcpClient().stream(pulses, 1, Pulse{0, 0, 0, 0})) return 1;

    for (bool binary : {true, false}) {
        const auto t0 = Clock::now();
        const Paged p = page_through(0, SIZE_MAX, binary);
        std::printf("whole slot in order, %s: %d pages, %llu segments, %.1f MB, %.3f s\n", binary ? "binary" : "JSON",
                    p.pages, (unsigned long long)p.segments, p.megabytes, seconds_since(t0));
    }
    auto t0 = Clock::now();
    page_through(4900000, 1, true);
    std::printf("one page near the end, on its own: %.3f s\n", seconds_since(t0));

    std::atomic<bool> done{false};
    auto slowest = std::async(std::launch::async, [&] {
        double worst = 0;
        while (!done) {
            const auto t = Clock::now();
            http_request(8050, "POST", "/json-rpc", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getFirmwareVersion\"}");
            worst = std::max(worst, seconds_since(t));
        }
        return worst;
    });
    t0 = Clock::now();
    std::vector<std::future<Paged>> readers;
    for (int i = 0; i < 4; ++i)
        readers.push_back(std::async(std::launch::async, [] { return page_through(0, SIZE_MAX, true); }));
    for (auto& r : readers) r.get();
    done = true;
    std::printf("four binary readers at once: %.3f s; slowest getFirmwareVersion meanwhile: %.1f ms\n",
                seconds_since(t0), slowest.get() * 1000);
    return 0;
}
