// Binary protocol on loopback against the real pulserd (sim build): CMD_STREAM of 2,000,000 pulses
// and CMD_UPLOAD of 1,000,000 pulses, each from the first byte sent to the answer received,
// against two references measured in the same run: a raw loopback send of the same bytes to a
// plain receiver (first byte sent to a one-byte acknowledgement) and the encoder alone on the same
// pulses. Also samples pulserd's resident memory during the protocol runs, without the pages of
// the simulated sequence window.
// Run it in a network namespace of its own (fixed ports): tests/support/netns_run.sh build/bin/tcp_bench
//
// Prints a summary of medians and the ratio protocol / (raw send + encode) after the benchmarks,
// then the same ratio from rounds that time the three one right after the other.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "device/Pulse.h"
#include "device/Pulser.h"
#include "hardware/registers.h"
#include "hardware/CommandDecoder.h"
#include "sim/Fpga.h"
#include "memory_sampler.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"
#include "support/seq_window.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t STREAM_PULSES = 2000000;
constexpr size_t UPLOAD_PULSES = 1000000;

// Pulses of 8 to 2000 ticks with changing outputs, a fixed pseudo-random series.
const std::vector<Pulse>& pulses(size_t n) {
    static std::map<size_t, std::vector<Pulse>> cache;
    auto& v = cache[n];
    if (v.empty()) {
        std::mt19937 rng(12345);
        v.resize(n);
        for (auto& p : v)
            p = Pulse{static_cast<uint32_t>(8 + rng() % 1993), static_cast<uint8_t>(rng()), static_cast<int16_t>(rng()),
                      static_cast<int16_t>(rng())};
    }
    return v;
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

// Peak resident kB of pulserd during each kind of run: outside the window, of the window.
std::map<std::string, std::pair<long, long>> peaks;

class RssSampler {
public:
    RssSampler(pid_t pid, std::string name) : sampler_(pid), name_(std::move(name)) {}
    ~RssSampler() {
        sampler_.stop();
        peaks[name_] = {sampler_.peak().without_window, sampler_.peak().window};
    }

private:
    testsupport::RssSampler sampler_;
    std::string name_;
};

// ---- raw loopback reference: a plain receiver reading the bytes into a buffer ----

class RawSink {
public:
    RawSink() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(listen_fd_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawSink() {
        shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        close(listen_fd_);
    }
    uint16_t port() const { return port_; }

private:
    // Each message: 8-byte length, then that many bytes; answered with one byte.
    void serve() {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        std::vector<uint8_t> buffer;
        for (;;) {
            uint64_t n = 0;
            if (RecvAll(fd, &n, sizeof(n)) <= 0) break;
            buffer.resize(n);
            if (RecvAll(fd, buffer.data(), static_cast<long long>(n)) <= 0) break;
            uint8_t ack = 1;
            if (send(fd, &ack, 1, MSG_NOSIGNAL) != 1) break;
        }
        close(fd);
    }
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

void BM_RawLoopbackSend(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& p = pulses(n);
    RawSink sink;
    TcpClient c(sink.port());
    const uint64_t bytes = 64 + n * sizeof(Pulse);  // the same bytes as the protocol command
    std::vector<uint8_t> frame(64, 0);
    for (auto _ : state) {
        auto t0 = Clock::now();
        c.sendPieces({{const_cast<uint64_t*>(&bytes), 8}, {frame.data(), 64}, {const_cast<Pulse*>(p.data()), n * 9}});
        uint8_t ack;
        c.recvExact(&ack, 1, Clock::now() + std::chrono::seconds(60));
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        samples["raw send " + std::to_string(n)].push_back(s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// ---- the encoder alone, into the window of a simulated FPGA in this process ----

void BM_Encode(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& p = pulses(n);
    static SeqWindow seq_window;
    const MemoryMapper window = seq_window.mapper;
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto data = highToLow(p, Full_Pattern(0, 0, 0, 0), 1, window, 0);
        benchmark::DoNotOptimize(data);
        double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        samples["encode " + std::to_string(n)].push_back(s);
    }
}

// ---- the device call alone: a Pulser on a fresh simulated FPGA in this process ----
//
// Includes what the simulated FPGA does while the sequence plays: it reads the slot's memory as far
// as the played length needs on the wall clock. BM_SimDecode measures a whole slot at once (what
// the simulator pays when the whole length is asked for), for reference.

void deviceRun(benchmark::State& state, bool stream) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& p = pulses(n);
    Sandbox sandbox;
    sim::fresh_device();
    auto dev = std::make_unique<Pulser>();
    const std::string name = (stream ? "device stream " : "device upload ") + std::to_string(n);
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (stream)
            dev->stream(p, 1, Pulse{0, 0, 0, 0});
        else
            dev->upload(0, p, 1, Pulse{0, 0, 0, 0}, 0, 0, 0);
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(secs);
        samples[name].push_back(secs);
        if (!stream) dev->stopFpga();  // the slot is free again for the next upload
    }
}
void BM_DeviceStream(benchmark::State& state) { deviceRun(state, true); }
void BM_DeviceUpload(benchmark::State& state) { deviceRun(state, false); }

void BM_SimDecode(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& p = pulses(n);
    static SeqWindow window;
    auto data = highToLow(p, Full_Pattern(0, 0, 0, 0), 1, window.mapper, 0);
    for (auto _ : state) {
        auto t0 = Clock::now();
        auto d = memcmd::decode(window.slot(0), data.nBytes + 64, false);  // the whole slot's length
        benchmark::DoNotOptimize(d);
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(secs);
        samples["sim decode " + std::to_string(n)].push_back(secs);
    }
}

// ---- the protocol against pulserd ----

void protocolRun(benchmark::State& state, uint32_t command) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& p = pulses(n);
    auto& s = server();
    if (!peaks.count("idle")) {
        testsupport::ResidentKb idle = testsupport::resident_kb(s.process->pid());
        peaks["idle"] = {idle.without_window, idle.window};
    }
    const std::string name = (command == tcp::CMD_STREAM ? "stream " : "upload ") + std::to_string(n);
    RssSampler sampler(s.process->pid(), name);
    TcpClient c;
    auto seq = TcpClient::sequenceHeader(n, 1, Pulse{0, 0, 0, 0});
    for (auto _ : state) {
        auto t0 = Clock::now();
        c.sendSequence(command, 1, seq, p.data(), n);
        auto a = c.readAnswer();
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!a || a->header.status != tcp::STATUS_OK) {
            state.SkipWithError("no good answer");
            break;
        }
        state.SetIterationTime(secs);
        samples[name].push_back(secs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (64 + n * sizeof(Pulse))));
}

void BM_TcpStream(benchmark::State& state) { protocolRun(state, tcp::CMD_STREAM); }
void BM_TcpUpload(benchmark::State& state) { protocolRun(state, tcp::CMD_UPLOAD); }

// ---- the three cases back to back ----
//
// The machine's speed drifts by up to a factor of two within minutes (shared host), so ratios of
// medians taken at different moments carry that drift. Here each round times a raw send, the
// encoder alone and the protocol command one right after the other, and the round's ratio
// protocol / (raw send + encode) compares times taken within a fraction of a second.

std::map<std::string, std::vector<double>> round_ratios;

// Minor page faults of a process so far (/proc/PID/stat, field 10).
long minorFaults(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));  // fields from 3 on
    std::string field;
    for (int i = 3; i <= 10 && rest >> field; ++i) {
    }
    return std::atol(field.c_str());
}

void interleavedRounds(size_t n, uint32_t command, int rounds) {
    const auto& p = pulses(n);
    RawSink sink;
    TcpClient raw(sink.port());
    const uint64_t bytes = 64 + n * sizeof(Pulse);
    std::vector<uint8_t> frame(64, 0);
    static SeqWindow seq_window;
    const MemoryMapper window = seq_window.mapper;
    std::ofstream devnull("/dev/null");
    std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());  // the encoder's lines
    highToLow(p, Full_Pattern(0, 0, 0, 0), 1, window, 0);      // the window's pages faulted in
    server();
    TcpClient c;
    auto seq = TcpClient::sequenceHeader(n, 1, Pulse{0, 0, 0, 0});
    const std::string name = (command == tcp::CMD_STREAM ? "stream " : "upload ") + std::to_string(n);
    // One command first, untimed: an upload waits until a sequence still playing has finished.
    c.sendSequence(command, 1, seq, p.data(), n);
    const bool answered = c.readAnswer().has_value();
    for (int r = 0; answered && r < rounds; ++r) {
        auto t0 = Clock::now();
        raw.sendPieces({{const_cast<uint64_t*>(&bytes), 8}, {frame.data(), 64}, {const_cast<Pulse*>(p.data()), n * 9}});
        uint8_t ack;
        raw.recvExact(&ack, 1, Clock::now() + std::chrono::seconds(60));
        auto t1 = Clock::now();
        highToLow(p, Full_Pattern(0, 0, 0, 0), 1, window, 0);
        const long faults = minorFaults(server().process->pid());
        auto t2 = Clock::now();
        c.sendSequence(command, 1, seq, p.data(), n);
        auto sent = Clock::now();
        auto a = c.readAnswer();
        auto t3 = Clock::now();
        if (!a || a->header.status != tcp::STATUS_OK) break;
        const double send = std::chrono::duration<double>(t1 - t0).count();
        const double encode = std::chrono::duration<double>(t2 - t1).count();
        const double proto = std::chrono::duration<double>(t3 - t2).count();
        round_ratios[name + ": protocol / (raw send + encode)"].push_back(proto / (send + encode));
        round_ratios[name + ": protocol / max(raw send, encode)"].push_back(proto / std::max(send, encode));
        round_ratios[name + ": last byte sent to answer / encode"].push_back(
            std::chrono::duration<double>(t3 - sent).count() / encode);
        round_ratios[name + ": pulserd minor faults per command"].push_back(
            double(minorFaults(server().process->pid()) - faults));

        // The work left once the last record has arrived: all records but the last chunk, time
        // for the server to take in what the socket buffers hold, then the last chunk, timed to
        // the answer (against the encoder alone on the whole list).
        constexpr size_t LAST = 16384;  // the server's chunk
        const size_t head = n - LAST;
        c.sendSequence(command, 1, seq, p.data(), head, 9 * (long long)LAST);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::max(1.0, 4 * encode)));
        auto t4 = Clock::now();
        c.sendBytes(p.data() + head, LAST * sizeof(Pulse));
        a = c.readAnswer();
        if (!a || a->header.status != tcp::STATUS_OK) break;
        round_ratios[name + ": last chunk arrived to answer / encode"].push_back(
            std::chrono::duration<double>(Clock::now() - t4).count() / encode);
    }
    // Clients that connect for each command, as the command-line tools do.
    c.disconnect();
    for (int r = 0; answered && r < 3; ++r) {
        const long before = minorFaults(server().process->pid());
        TcpClient once;
        once.sendSequence(command, 1, seq, p.data(), n);
        if (!once.readAnswer()) break;
        round_ratios[name + ": pulserd minor faults per command on a new connection"].push_back(
            double(minorFaults(server().process->pid()) - before));
    }
    std::cout.rdbuf(saved);
}

constexpr int ITERATIONS = 9;
BENCHMARK(BM_RawLoopbackSend)
    ->Arg(STREAM_PULSES)
    ->Arg(UPLOAD_PULSES)
    ->UseManualTime()
    ->Iterations(ITERATIONS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)
    ->Arg(STREAM_PULSES)
    ->Arg(UPLOAD_PULSES)
    ->UseManualTime()
    ->Iterations(ITERATIONS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimDecode)
    ->Arg(STREAM_PULSES)
    ->Arg(UPLOAD_PULSES)
    ->UseManualTime()
    ->Iterations(ITERATIONS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceStream)->Arg(STREAM_PULSES)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeviceUpload)->Arg(UPLOAD_PULSES)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpStream)->Arg(STREAM_PULSES)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpUpload)->Arg(UPLOAD_PULSES)->UseManualTime()->Iterations(ITERATIONS)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nmedians of %d runs (ms):\n", ITERATIONS);
    for (auto& [name, v] : samples) std::printf("  %-16s %8.1f\n", name.c_str(), median(v) * 1e3);
    for (auto [what, n] : {std::pair<const char*, size_t>{"stream", STREAM_PULSES}, {"upload", UPLOAD_PULSES}}) {
        std::string k = std::to_string(n);
        double proto = median(samples[std::string(what) + " " + k]);
        double ref = median(samples["raw send " + k]) + median(samples["encode " + k]);
        double device = median(samples[std::string("device ") + what + " " + k]);
        double raw = median(samples["raw send " + k]);
        double decode = median(samples["sim decode " + k]);
        if (proto > 0 && ref > 0)
            std::printf("%s %zu: %.1f ms vs raw send + encode %.1f ms: ratio %.2f\n", what, n, proto * 1e3, ref * 1e3,
                        proto / ref);
        if (decode > 0)
            std::printf("%s %zu: measuring the whole slot in the simulator (not on the path) %.1f ms\n", what, n,
                        decode * 1e3);
        if (proto > 0 && device > 0)
            std::printf("%s %zu vs raw send + device call in process %.1f ms: ratio %.2f\n", what, n,
                        (raw + device) * 1e3, proto / (raw + device));
    }
    interleavedRounds(STREAM_PULSES, tcp::CMD_STREAM, ITERATIONS);
    interleavedRounds(UPLOAD_PULSES, tcp::CMD_UPLOAD, ITERATIONS);
    for (auto& [name, v] : round_ratios) {
        std::sort(v.begin(), v.end());
        std::printf(
            "%s, rounds of raw send, encode and protocol back to back: median %.2f (%.2f to %.2f, %zu rounds)\n",
            name.c_str(), median(v), v.front(), v.back(), v.size());
    }
    std::printf("pulserd resident when idle: %ld kB without the sequence window\n", peaks["idle"].first);
    for (auto& [name, kb] : peaks)
        std::printf("pulserd peak resident during %s: %ld kB without the sequence window (window: %ld kB)\n",
                    name.c_str(), kb.first, kb.second);
    return 0;
}
