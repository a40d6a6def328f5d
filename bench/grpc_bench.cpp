// gRPC service figures against references measured in the same run:
//  - unary latency of getStatusRegister (p50/p99 over 10,000 calls) against a trivial service
//    built with the same library and flags that answers a constant (the library's floor);
//  - `stream` of 2,000,000 pulses (request built before the clock starts, call to reply)
//    against the binary protocol's CMD_STREAM of the same sequence;
//  - peak resident memory growth of pulserd during each stream.
// Runs pulserd in a fresh sandbox; run it inside its own network namespace on a shared machine:
//   unshare -n -- sh -c 'ip link set lo up; exec build/bin/grpc_bench'
// The streamed list is the benchmark's own (8-24 ticks, output 0's value changing on every
// pulse) unless `--workload=NAME` names a list of encoder_workloads.h (2,000,000 pulses of it).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "encoder_workloads.h"
#include "interfaces/grpc/GrpcWire.h"
#include "support/grpc_instrument.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFloorPort = 50052;
constexpr size_t kPulses = 2000000;
constexpr int kCalls = 10000;
constexpr int kRounds = 7;

// The floor: one method answering a constant, same library, same server settings.
class FloorService final : public tarvex::Tarvex::Service {
    grpc::Status getStatusRegister(grpc::ServerContext*, const tarvex::VoidMessage*, tarvex::TarvexReply* r) override {
        r->set_value(0x40000);
        return grpc::Status::OK;
    }
};

int runFloorServer() {
    FloorService service;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:" + std::to_string(kFloorPort), grpc::InsecureServerCredentials());
    builder.RegisterService(&service);
    builder.SetMaxReceiveMessageSize(2147483647);
    builder.SetMaxSendMessageSize(2147483647);
    auto server = builder.BuildAndStart();
    if (!server) return 1;
    std::cout << "floor listening" << std::endl;
    server->Wait();
    return 0;
}

long statusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    return -1;
}
// Resets the peak resident size to the current one.
void resetPeak(pid_t pid) { std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5"; }

struct Env {
    std::unique_ptr<GrpcInstrument> inst;
    std::unique_ptr<Process> floor;
    std::unique_ptr<tarvex::Tarvex::Stub> floor_stub;
    tarvex::SequenceMessage request;
    std::string request_bytes;
    grpc::ByteBuffer request_buffer;  // the same bytes as the library sends them
    std::vector<Pulse> pulses;
    std::map<std::string, double> figures;
    std::map<std::string, std::vector<double>> stream_ms;  // per kind, one entry per round
};
Env* env = nullptr;

double latencyUs(tarvex::Tarvex::Stub& stub) {
    grpc::ClientContext ctx;
    tarvex::VoidMessage req;
    tarvex::TarvexReply reply;
    auto t0 = Clock::now();
    grpc::Status st = stub.getStatusRegister(&ctx, req, &reply);
    double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (!st.ok()) throw std::runtime_error("getStatusRegister failed: " + st.error_message());
    return us;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return std::nan("");  // not measured in this run (--benchmark_filter)
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

// The two servers called in turn, one call each (the order swapped every call), so whatever else
// the machine does hits both alike.
void BM_UnaryLatency(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<double> service, floor;
        for (int i = -1000; i < kCalls; ++i) {  // the first 1000 pairs warm up
            double a = 0, b = 0;
            if (i % 2) {
                a = latencyUs(*env->inst->stub);
                b = latencyUs(*env->floor_stub);
            } else {
                b = latencyUs(*env->floor_stub);
                a = latencyUs(*env->inst->stub);
            }
            if (i < 0) continue;
            service.push_back(a);
            floor.push_back(b);
        }
        auto& f = env->figures;
        f["unary_p50_us"] = percentile(service, 0.50);
        f["unary_p99_us"] = percentile(service, 0.99);
        f["floor_p50_us"] = percentile(floor, 0.50);
        f["floor_p99_us"] = percentile(floor, 0.99);
        state.counters["p50_us"] = f["unary_p50_us"];
        state.counters["p99_us"] = f["unary_p99_us"];
        state.counters["floor_p50_us"] = f["floor_p50_us"];
        state.counters["floor_p99_us"] = f["floor_p99_us"];
        state.counters["p50_ratio"] = f["unary_p50_us"] / f["floor_p50_us"];
        state.counters["p99_ratio"] = f["unary_p99_us"] / f["floor_p99_us"];
    }
}

// One stream call timed from the call to the reply; also the peak resident growth of pulserd
// during it. False when the call failed.
template <class Call>
bool timedStream(const std::string& name, Call call) {
    pid_t pid = env->inst->server->pid();
    resetPeak(pid);
    long before = statusKb(pid, "VmRSS:");
    auto t0 = Clock::now();
    bool ok = call();
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    auto& f = env->figures;
    f[name + "_rss_growth_mb"] = std::max(f[name + "_rss_growth_mb"], (statusKb(pid, "VmHWM:") - before) / 1024.0);
    env->stream_ms[name].push_back(ms);
    return ok;
}

bool streamBinary() {
    TcpClient client;
    auto answer = client.stream(env->pulses, 1, Pulse{0, 0, 0, 0});
    return answer && answer->header.status == 0;
}

// The generated client: serializes the message inside the call.
bool streamGenerated() {
    grpc::ClientContext ctx;
    tarvex::TarvexReply reply;
    return env->inst->stub->stream(&ctx, env->request, &reply).ok() && reply.value() == 0;
}

// The request already in its wire form (serialized into a byte buffer before the clock starts),
// as the binary client has its records in theirs; the same method through the generic call.
bool streamSerialized() {
    static const grpc::internal::RpcMethod method("/tarvex.Tarvex/stream", grpc::internal::RpcMethod::NORMAL_RPC);
    grpc::ClientContext ctx;
    grpc::ByteBuffer reply;
    grpc::Status st = grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
        env->inst->channel.get(), method, &ctx, env->request_buffer, &reply);
    tarvex::TarvexReply decoded;
    return st.ok() && grpc::GenericDeserialize<grpc::ProtoBufferReader, tarvex::TarvexReply>(&reply, &decoded).ok() &&
           decoded.value() == 0;
}

// Rounds of one stream of each kind back to back (the order rotating), so a busy spell of the
// machine hits the kinds of one round alike; each round gives the ratios to its binary stream.
void BM_Streams(benchmark::State& state) {
    const std::vector<std::pair<std::string, bool (*)()>> kinds = {
        {"binary", streamBinary}, {"grpc_serialized", streamSerialized}, {"grpc", streamGenerated}};
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            for (size_t k = 0; k < kinds.size(); ++k) {
                const auto& kind = kinds[(k + static_cast<size_t>(round)) % kinds.size()];
                if (!timedStream(kind.first, kind.second)) state.SkipWithError((kind.first + " stream failed").c_str());
            }
            auto& ms = env->stream_ms;
            env->stream_ms["ratio_serialized"].push_back(ms["grpc_serialized"].back() / ms["binary"].back());
            env->stream_ms["ratio_generated"].push_back(ms["grpc"].back() / ms["binary"].back());
        }
        for (const char* name : {"binary", "grpc_serialized", "grpc"})
            state.counters[std::string(name) + "_ms"] = percentile(env->stream_ms[name], 0.5);
    }
}

BENCHMARK(BM_UnaryLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Streams)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--floor-server") return runFloorServer();
    const workloads::Kind* workload = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--workload=", 0) != 0) continue;
        workload = workloads::find_kind(a.substr(11));
        if (workload == nullptr) {
            std::cerr << "unknown workload " << a << "\n";
            return 2;
        }
        for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
        --argc;
        break;
    }

    // The first gRPC stream on a fresh server also touches the sequence memory pages for the
    // first time: measured on its own before the benchmarks.
    Env e;
    env = &e;
    e.inst = std::make_unique<GrpcInstrument>();
    if (!e.inst->ready()) {
        std::cerr << "pulserd did not come up:\n" << e.inst->server->output();
        return 1;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    self[n > 0 ? n : 0] = 0;
    e.floor = std::make_unique<Process>(std::vector<std::string>{self, "--floor-server"});
    if (!e.floor->waitForOutput("floor listening")) {
        std::cerr << "floor server did not come up\n";
        return 1;
    }
    {
        // A channel set up as the service's (GrpcInstrument::newChannel), to the floor's port.
        grpc::ChannelArguments args;
        args.SetMaxReceiveMessageSize(-1);
        args.SetMaxSendMessageSize(-1);
        args.SetInt("grpc.use_local_subchannel_pool", 1);
        e.floor_stub = tarvex::Tarvex::NewStub(grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(kFloorPort),
                                                                         grpc::InsecureChannelCredentials(), args));
    }
    // The same sequence for both protocols, built before any clock starts.
    e.pulses.resize(kPulses);
    e.request.mutable_pulse()->Reserve(static_cast<int>(kPulses));
    if (workload != nullptr) e.pulses = workload->make(kPulses, workload->seed);
    for (size_t i = 0; i < kPulses; ++i) {
        if (workload == nullptr)
            e.pulses[i] = Pulse{static_cast<uint32_t>(8 * (1 + i % 3)), static_cast<uint8_t>(i & 0xFF),
                                static_cast<int16_t>(static_cast<int>(i % 1000) - 500), 0};
        const Pulse& p = e.pulses[i];
        auto* m = e.request.add_pulse();
        m->set_ticks(p.ticks);
        m->set_digi(p.digi);
        m->set_ao0(p.ao0);
        m->set_ao1(p.ao1);
    }
    e.request.set_n_runs(1);
    {
        // Where the time of a gRPC stream goes: the client's serialization and the server's reader.
        auto t0 = Clock::now();
        e.request_bytes = e.request.SerializeAsString();
        const std::string& bytes = e.request_bytes;
        auto t1 = Clock::now();
        grpc::Slice slice(bytes);
        e.request_buffer = grpc::ByteBuffer(&slice, 1);
        double best = 1e9, best_generated = 1e9;
        for (int round = 0; round < 3; ++round) {
            auto a = Clock::now();
            grpcwire::SequenceRequest decoded;
            grpcwire::decodeSequence(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), kPulses, decoded);
            auto b = Clock::now();
            tarvex::SequenceMessage generated;
            generated.ParseFromString(bytes);
            auto c = Clock::now();
            best = std::min(best, std::chrono::duration<double, std::milli>(b - a).count());
            best_generated = std::min(best_generated, std::chrono::duration<double, std::milli>(c - b).count());
        }
        e.figures["serialize_ms"] = std::chrono::duration<double, std::milli>(t1 - t0).count();
        e.figures["decode_ms"] = best;
        e.figures["generated_parse_ms"] = best_generated;
        e.figures["request_mb"] = bytes.size() / 1e6;
    }
    {
        pid_t pid = e.inst->server->pid();
        resetPeak(pid);
        long before = statusKb(pid, "VmRSS:");
        grpc::ClientContext ctx;
        tarvex::TarvexReply reply;
        auto t0 = Clock::now();
        grpc::Status st = e.inst->stub->stream(&ctx, e.request, &reply);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        e.figures["first_grpc_stream_ms"] = ms;
        e.figures["first_grpc_stream_rss_growth_mb"] = (statusKb(pid, "VmHWM:") - before) / 1024.0;
        if (!st.ok()) std::cerr << "first stream failed: " << st.error_message() << "\n";
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto& f = e.figures;
    auto median = [&](const char* name) { return percentile(e.stream_ms[name], 0.5); };
    std::printf(
        "\nunary getStatusRegister: p50 %.1f us, p99 %.1f us; floor p50 %.1f us, p99 %.1f us; "
        "ratio p50 %.2f, p99 %.2f (target <= 1.25)\n",
        f["unary_p50_us"], f["unary_p99_us"], f["floor_p50_us"], f["floor_p99_us"],
        f["unary_p50_us"] / f["floor_p50_us"], f["unary_p99_us"] / f["floor_p99_us"]);
    std::printf("pulse list: %s\n", workload ? workload->name : "the benchmark's own");
    std::printf(
        "stream 2,000,000 pulses, medians of %d rounds: binary %.1f ms; gRPC, request serialized before "
        "the clock %.1f ms, ratio %.2f (target <= 2.5); gRPC, generated client serializing in the call "
        "%.1f ms, ratio %.2f\n",
        kRounds, median("binary"), median("grpc_serialized"), median("ratio_serialized"), median("grpc"),
        median("ratio_generated"));
    std::printf(
        "pulserd peak RSS growth: gRPC stream %.1f MB (first on a fresh server %.1f MB, %.1f ms), "
        "serialized %.1f MB, binary stream %.1f MB (target <= 100 MB)\n",
        f["grpc_rss_growth_mb"], f["first_grpc_stream_rss_growth_mb"], f["first_grpc_stream_ms"],
        f["grpc_serialized_rss_growth_mb"], f["binary_rss_growth_mb"]);
    std::printf(
        "request %.1f MB: client serialization %.1f ms; wire reader %.1f ms, generated parser %.1f ms "
        "(best of 3)\n",
        f["request_mb"], f["serialize_ms"], f["decode_ms"], f["generated_parse_ms"]);
    std::string out = e.inst->server->output();
    size_t calls = 0;
    for (size_t at = out.find("gRPC call: len: 2000000,"); at != std::string::npos;
         at = out.find("gRPC call: len: 2000000,", at + 1))
        ++calls;
    std::printf("pulserd logged %zu gRPC streams of 2,000,000 pulses\n", calls);
    return 0;
}
