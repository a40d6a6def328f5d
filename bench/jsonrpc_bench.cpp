// JSON-RPC "stream" of 2,000,000 pulses (a 24 MB request) end to end on loopback against the real
// pulserd (sim build), from the first byte sent to the last byte of the reply, against the binary
// protocol's CMD_STREAM of the same pulses in the same run. Samples pulserd's resident memory
// during the JSON-RPC runs (without the pages of the simulated sequence window, which is the
// board's DDR window, not process memory there). Also Base64 decoding of the same 24,000,000
// characters against OpenSSL's EVP_DecodeBlock, and the whole payload conversion (scan, decode,
// big-endian records into pulses).
// Run it in a network namespace of its own (fixed ports): tests/support/netns_run.sh build/bin/jsonrpc_bench
//
// Prints medians, the ratio JSON-RPC / binary protocol and the memory figures at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "common/Base64Dec.h"
#include "interfaces/jsonrpc/Json_rpc.h"
#include "hardware/registers.h"
#include "support/base64_encode.h"
#include "support/control_client.h"
#include "memory_sampler.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t STREAM_PULSES = 2000000;
constexpr int ITERATIONS = 7;

// Pulses of 8 to 2000 ticks with changing outputs: the series the binary protocol benchmark uses.
const std::vector<Pulse>& pulses() {
    static std::vector<Pulse> v;
    if (v.empty()) {
        std::mt19937 rng(12345);
        v.resize(STREAM_PULSES);
        for (auto& p : v)
            p = Pulse{static_cast<uint32_t>(8 + rng() % 1993), static_cast<uint8_t>(rng()), static_cast<int16_t>(rng()),
                      static_cast<int16_t>(rng())};
    }
    return v;
}

// The Base64 text of the pulses as 9-byte big-endian records (24,000,000 characters).
const std::string& payload() {
    static std::string text;
    if (text.empty()) {
        std::string bytes;
        bytes.reserve(STREAM_PULSES * 9);
        for (const Pulse& p : pulses()) {
            char r[9] = {
                char(p.ticks >> 24), char(p.ticks >> 16),        char(p.ticks >> 8), char(p.ticks),
                char(p.digi),        char(uint16_t(p.ao0) >> 8), char(p.ao0),        char(uint16_t(p.ao1) >> 8),
                char(p.ao1)};
            bytes.append(r, 9);
        }
        text = testsupport::base64_encode(bytes);
    }
    return text;
}

std::map<std::string, std::vector<double>> samples;  // seconds per iteration, by name

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---- pulserd and its memory ----

testsupport::SandboxedPulserd& server() {
    static testsupport::SandboxedPulserd s;
    return s;
}

// Resident kB (outside the sequence window) before and at the peak of each kind of run.
std::map<std::string, std::pair<long, long>> memory;

class RssSampler {
public:
    RssSampler(pid_t pid, std::string name) : sampler_(pid), name_(std::move(name)) {}
    ~RssSampler() {
        sampler_.stop();
        memory[name_] = {sampler_.before().without_window, sampler_.peak().without_window};
    }

private:
    testsupport::RssSampler sampler_;
    std::string name_;
};

// ---- the two interfaces ----

// One request per iteration: the sequence with run count `runs`; the reply must end in `expected`.
void jsonRpcRun(benchmark::State& state, const std::string& name, const std::string& runs,
                const std::string& expected) {
    auto& s = server();
    const std::string head = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"stream\",\"params\":[\"";
    const std::string tail = "\"," + runs + "]}";
    const std::string& text = payload();
    const std::string request = "POST /json-rpc HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(head.size() + text.size() + tail.size()) + "\r\n\r\n";
    RssSampler sampler(s.process->pid(), name);
    for (auto _ : state) {
        TcpClient c(8050);
        auto t0 = Clock::now();
        c.sendPieces({{const_cast<char*>(request.data()), request.size()},
                      {const_cast<char*>(head.data()), head.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {const_cast<char*>(tail.data()), tail.size()}});
        std::string reply;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(c.fd(), buf, sizeof(buf), 0);
            if (n <= 0) break;
            reply.append(buf, static_cast<size_t>(n));
        }
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        if (reply.size() < expected.size() ||
            reply.compare(reply.size() - expected.size(), expected.size(), expected)) {
            state.SkipWithError(("unexpected reply: " + reply.substr(0, 200)).c_str());
            break;
        }
        state.SetIterationTime(secs);
        samples[name].push_back(secs);
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * (request.size() + head.size() + text.size() + tail.size())));
}

void BM_JsonRpcStream(benchmark::State& state) {
    jsonRpcRun(state, "json-rpc stream", "1", "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
}

// The same request with slot 0's memory held busy by the simulator: the upload gives up after its
// wait without encoding, so the simulator never decodes a slot. This isolates what pulserd itself
// holds for a JSON-RPC "stream" (text, pulses), as it would on the board; run first, from idle.
void BM_JsonRpcStreamOwnMemory(benchmark::State& state) {
    ControlClient sim(server().sandbox.root() + "/sim/control.sock");
    sim.ok("{\"cmd\":\"slot_busy\",\"slot\":0,\"on\":true}");
    jsonRpcRun(state, "json-rpc stream, slot busy", "1", "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
    sim.ok("{\"cmd\":\"slot_busy\",\"slot\":0,\"on\":false}");
}

// The same request refused after reading (a run count of the wrong kind): the HTTP and JSON
// part alone, without decoding or the device.
void BM_JsonRpcReadOnly(benchmark::State& state) {
    jsonRpcRun(state, "json-rpc read only", "\"1\"",
               "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-32602,\"message\":\"invalid parameter\","
               "\"data\":\"bad parameters\"}}");
}

void BM_TcpStream(benchmark::State& state) {
    auto& s = server();
    const auto& p = pulses();
    RssSampler sampler(s.process->pid(), "binary stream");
    TcpClient c;
    auto seq = TcpClient::sequenceHeader(p.size(), 1, Pulse{0, 0, 0, 0});
    for (auto _ : state) {
        auto t0 = Clock::now();
        c.sendSequence(tcp::CMD_STREAM, 1, seq, p.data(), p.size());
        auto a = c.readAnswer();
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!a || a->header.status != tcp::STATUS_OK) {
            state.SkipWithError("no good answer");
            break;
        }
        state.SetIterationTime(secs);
        samples["binary stream"].push_back(secs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (64 + p.size() * sizeof(Pulse))));
}

// ---- Base64 ----

void BM_Base64Decode(benchmark::State& state) {
    const std::string& text = payload();
    std::vector<unsigned char> out(base64_decoded_size(text.size()) + 16);
    for (auto _ : state) {
        size_t n = base64_decode(text.data(), text.size(), out.data());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_OpenSSLDecodeBlock(benchmark::State& state) {
    const std::string& text = payload();
    std::vector<unsigned char> out(text.size() / 4 * 3 + 16);
    for (auto _ : state) {
        int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
        if (n != static_cast<int>(STREAM_PULSES * 9)) state.SkipWithError("OpenSSL decode failed");
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The whole payload conversion of "stream": scan, decode, records into the pulse list.
void BM_ReadJsonSeq(benchmark::State& state) {
    std::unique_ptr<jsVar> value(new jsVar(payload()));
    std::vector<Pulse> seq;
    std::ofstream devnull("/dev/null");
    std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());  // the conversion's timing lines
    for (auto _ : state) {
        bool ok = read_json_seq(value.get(), seq);
        if (!ok || seq.size() != STREAM_PULSES) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(seq.data());
    }
    std::cout.rdbuf(saved);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload().size()));
}

BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSSLDecodeBlock)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadJsonSeq)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_JsonRpcStreamOwnMemory)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpStream)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonRpcReadOnly)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonRpcStream)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nmedians of %d runs (ms):\n", ITERATIONS);
    for (auto& [name, v] : samples) std::printf("  %-16s %8.1f\n", name.c_str(), median(v) * 1e3);
    double json = median(samples["json-rpc stream"]), binary = median(samples["binary stream"]);
    if (json > 0 && binary > 0)
        std::printf("stream %zu pulses: json-rpc %.1f ms vs binary protocol %.1f ms: ratio %.2f\n", STREAM_PULSES,
                    json * 1e3, binary * 1e3, json / binary);
    for (auto& [name, kb] : memory)
        std::printf("pulserd resident without the sequence window, %s: %ld kB before, peak %ld kB, growth %ld kB\n",
                    name.c_str(), kb.first, kb.second, kb.second - kb.first);
    return 0;
}
