// Soak: well-behaved clients on all three interfaces of the real pulserd (sim build) for a bounded
// time, while one kind of misbehaving client after the other runs beside them. Every reply of the
// well-behaved clients is checked; their latencies and pulserd's resident memory are recorded.
//
//   soak_bench [seconds]      (default 600; each misbehaving kind gets an equal share)
//
// Prints operations, errors and p99 latency per interface, the time each kind took, and resident
// memory (without the simulated sequence window) after warm-up, at its peak and at the end.
#include <grpcpp/grpcpp.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "support/grpc_instrument.h"
#include "support/http_client.h"
#include "memory_sampler.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> stop_all{false};

struct Tally {
    std::mutex m;
    std::vector<double> ms;
    long errors = 0;
    void add(double t, bool ok) {
        std::lock_guard<std::mutex> g(m);
        ms.push_back(t);
        if (!ok) ++errors;
    }
};

// Runs `op` in a loop until the soak ends, timing each call.
std::thread good_client(Tally& tally, std::function<bool()> op) {
    return std::thread([&tally, op] {
        while (!stop_all) {
            const auto t0 = Clock::now();
            const bool ok = op();
            tally.add(std::chrono::duration<double, std::milli>(Clock::now() - t0).count(), ok);
            std::this_thread::sleep_for(5ms);
        }
    });
}

std::string rpc(const std::string& body) { return http_request(8050, "POST", "/json-rpc", body).body; }

// Sends `head`, then a byte every `pause` until the server drops the connection or `until`.
void drip(int port, const std::string& head, std::chrono::milliseconds pause, Clock::time_point until) {
    TcpClient c(static_cast<uint16_t>(port));
    bool open = c.connected() && c.sendBytes(head.data(), head.size());
    while (open && Clock::now() < until) {
        std::this_thread::sleep_for(pause);
        char scratch[4096];
        while (recv(c.fd(), scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
        open = send(c.fd(), "x", 1, MSG_NOSIGNAL) == 1;
    }
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(30, std::atoi(argv[1])) : 600;
    GrpcInstrument pulserd;
    if (!pulserd.ready()) {
        std::fprintf(stderr, "pulserd did not start\n%s", pulserd.server->output().c_str());
        return 1;
    }
    const pid_t pid = pulserd.server->pid();
    const std::string clock_reply = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}";
    const std::string get_clock = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\"}";

    Tally json, grpc_calls, binary;
    std::vector<std::thread> good;
    for (int i = 0; i < 2; ++i) good.push_back(good_client(json, [&] { return rpc(get_clock) == clock_reply; }));
    for (int i = 0; i < 2; ++i)
        good.push_back(good_client(grpc_calls, [] {
            static auto channel = GrpcInstrument::newChannel();
            std::unique_ptr<google::protobuf::Message> reply;
            return callByName(*channel, "getClock", "", &reply).ok();
        }));
    good.push_back(good_client(binary, [] {
        TcpClient c;
        auto h = TcpClient::header(5, tcp::CMD_GET_CALIBRATION, 0);
        tcp::CommandAnswer a{};
        char payload[32];
        return c.sendBytes(&h, sizeof h) && recv(c.fd(), &a, sizeof a, MSG_WAITALL) == sizeof a && a.tag == 5 &&
               a.status == tcp::STATUS_OK && recv(c.fd(), payload, 32, MSG_WAITALL) == 32;
    }));

    std::this_thread::sleep_for(3s);
    const ResidentKb start = resident_kb(pid);
    RssSampler sampler(pid);

    const std::string post_head = "POST /json-rpc HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    std::string many = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\",\"params\":[";
    for (int i = 0; i < 4000000; ++i) many += "1,";
    many += "1]}";
    std::string big_grpc(70u << 20, '\0');
    big_grpc[0] = 0x7a;
    for (int i = 0; i < 4; ++i)
        big_grpc[1 + i] = char((((big_grpc.size() - 5) >> (7 * i)) & 0x7f) | (i < 3 ? 0x80 : 0));

    using Kind = std::pair<const char*, std::function<void(Clock::time_point)>>;
    const std::vector<Kind> kinds = {
        {"deep JSON (2,000,000 levels)", [&](Clock::time_point) { rpc("{\"a\":" + nested(2000000) + "}"); }},
        {"HTTP header at 2 bytes/s",
         [&](Clock::time_point until) { drip(8050, "POST /json-rpc HTTP/1.1\r\n", 500ms, until); }},
        {"HTTP 60 MB body at 2 bytes/s",
         [&](Clock::time_point until) { drip(8050, post_head + "60000000\r\n\r\n[", 500ms, until); }},
        {"HTTP sending on after 413",
         [&](Clock::time_point until) { drip(8050, post_head + "99999999\r\n\r\n", 500ms, until); }},
        {"HTTP 8 MB array body", [&](Clock::time_point) { rpc(many); }},
        {"JSON-RPC invalid UTF-8 id",
         [&](Clock::time_point) { rpc("{\"jsonrpc\":\"2.0\",\"id\":\"\xff\",\"method\":\"x\"}"); }},
        {"JSON-RPC shiftClkPhase(2147483647)",
         [&](Clock::time_point) {
             rpc("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"shiftClkPhase\",\"params\":[2147483647]}");
         }},
        {"gRPC 70 MB message",
         [&](Clock::time_point) { callRaw(*GrpcInstrument::newChannel(), "getClock", big_grpc, nullptr); }},
        {"gRPC 1,000 idle connections",
         [&](Clock::time_point until) {
             std::vector<std::unique_ptr<TcpClient>> idle;
             for (int i = 0; i < 1000; ++i) idle.push_back(std::make_unique<TcpClient>(50051));
             std::this_thread::sleep_until(until);
         }},
        {"binary payload at 1 byte/2 s",
         [&](Clock::time_point until) {
             auto h = TcpClient::header(1, tcp::CMD_STREAM, 32 + 9000);
             drip(tcp::PORT, std::string(reinterpret_cast<const char*>(&h), sizeof h), 2000ms, until);
         }},
    };
    const auto share = std::chrono::seconds(seconds) / kinds.size();
    std::printf("%-36s %8s %12s\n", "misbehaving client", "rounds", "RSS after kB");
    for (const auto& [name, run] : kinds) {
        const auto until = Clock::now() + share;
        long rounds = 0;
        while (Clock::now() < until) {
            run(until);
            ++rounds;
        }
        std::printf("%-36s %8ld %12ld\n", name, rounds, resident_kb(pid).without_window);
        std::fflush(stdout);
    }
    stop_all = true;
    for (auto& t : good) t.join();
    sampler.stop();
    std::this_thread::sleep_for(1s);
    const ResidentKb end = resident_kb(pid);

    std::printf("\n%-10s %10s %8s %10s %10s\n", "interface", "operations", "errors", "p50 ms", "p99 ms");
    const std::pair<const char*, Tally*> tallies[] = {{"JSON-RPC", &json}, {"gRPC", &grpc_calls}, {"binary", &binary}};
    for (auto [name, t] : tallies) {
        std::sort(t->ms.begin(), t->ms.end());
        const auto at = [&](double q) { return t->ms.empty() ? 0.0 : t->ms[size_t(q * double(t->ms.size() - 1))]; };
        std::printf("%-10s %10zu %8ld %10.2f %10.2f\n", name, t->ms.size(), t->errors, at(0.5), at(0.99));
    }
    std::printf("\nresident memory (kB, without the sequence window): after warm-up %ld, peak %ld, end %ld\n",
                start.without_window, sampler.peak().without_window, end.without_window);
    std::printf("pulserd %s\n", pulserd.server->running() ? "still running" : "DIED");
    return pulserd.server->running() && json.errors + grpc_calls.errors + binary.errors == 0 ? 0 : 1;
}
