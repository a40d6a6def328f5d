// Readback of a 2,000,000-pulse slot from the real pulserd (sim build): paging through the whole
// slot in order, one page near its end read on its own, and the slowest JSON-RPC getter answer
// while four clients page through the slot at once.
//
//   readback_bench        (run it through tests/support/netns_run.sh: the ports are fixed)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

// Pages through slot 0 from segment `from` on; the number of pages.
int page_through(uint64_t from, size_t max_pages) {
    int pages = 0;
    for (bool more = true; more && size_t(pages) < max_pages; ++pages) {
        const HttpReply r = http_request(8050, "GET", "/api/slot/0/segments?max=65536&from=" + std::to_string(from));
        const size_t n =
            size_t(std::count(r.body.begin(), r.body.end(), ']')) - 1;  // one per segment, one for the list
        more = r.body.find("\"more\":true") != std::string::npos;
        from += n;
    }
    return pages;
}

}  // namespace

int main() {
    GrpcInstrument pulserd;
    if (!pulserd.ready()) return 1;
    const size_t n = 2000000;
    std::vector<Pulse> pulses(n);
    for (size_t i = 0; i < n; ++i) pulses[i] = Pulse{8, uint8_t(i % 2), 0, 0};
    if (!TcpClient().stream(pulses, 1, Pulse{0, 0, 0, 0})) return 1;

    auto t0 = Clock::now();
    const int pages = page_through(0, SIZE_MAX);
    std::printf("whole slot in order: %d pages, %.3f s\n", pages, seconds_since(t0));
    t0 = Clock::now();
    page_through(n - 1000, 1);
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
    std::vector<std::future<int>> readers;
    for (int i = 0; i < 4; ++i)
        readers.push_back(std::async(std::launch::async, [] { return page_through(0, SIZE_MAX); }));
    for (auto& r : readers) r.get();
    done = true;
    std::printf("four readers at once: %.3f s; slowest getFirmwareVersion meanwhile: %.1f ms\n", seconds_since(t0),
                slowest.get() * 1000);
    return 0;
}
