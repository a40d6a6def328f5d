// Encoder throughput: 2,000,000 pulses per call, for each workload of encoder_workloads.h.
//
// Times are CPU time of the benchmark thread (the machine is shared); the median wall time is
// reported beside them, and the minimum (the run least disturbed by other processes). Counters:
// Mpulses/s, output bytes, commands, median encode and memcpy times (ms) and their ratio. A
// summary at the end gives each workload's median against dense's (time per pulse, same run).
// The figure that carries over to the instrument is bench/arm_instructions.sh's.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "device/Pulse.h"
#include "encoder_workloads.h"
#include "support/seq_window.h"

namespace {

constexpr size_t N_PULSES = 2000000;

// CPU time of this thread, seconds: the machine is shared, so wall time mostly measures the others.
double thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const std::vector<Pulse>& list_of(const workloads::Kind& k) {
    static std::map<std::string, std::vector<Pulse>> lists;
    auto it = lists.find(k.name);
    if (it == lists.end()) it = lists.emplace(k.name, k.make(N_PULSES, k.seed)).first;
    return it->second;
}

SeqWindow& window() {
    static SeqWindow w;
    return w;
}

std::map<std::string, double> medians;  // by workload

void run(benchmark::State& state, const workloads::Kind& kind) {
    const std::vector<Pulse>& pulses = list_of(kind);
    SeqWindow& w = window();
    static std::vector<uint8_t> copy(reg::SEQMEM_SLOT1_OFFSET);
    std::memset(w.slot(0), 0, reg::SEQMEM_SLOT1_OFFSET);  // fault the pages in
    std::memset(copy.data(), 1, copy.size());
    std::ofstream devnull("/dev/null");
    Full_Pattern final_state(0, 0, 0, 0);

    std::vector<double> encode_ms, memcpy_ms, wall_ms;
    SequenceControlData r;
    for (auto _ : state) {
        std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());
        auto w0 = std::chrono::steady_clock::now();
        const double t0 = thread_cpu();
        r = highToLow(pulses, final_state, 1, w.mapper, 0);
        const double t1 = thread_cpu();
        auto w1 = std::chrono::steady_clock::now();
        std::cout.rdbuf(saved);
        std::memcpy(copy.data(), w.slot(0), r.nBytes);
        benchmark::ClobberMemory();
        const double t2 = thread_cpu();
        state.SetIterationTime(t1 - t0);
        encode_ms.push_back((t1 - t0) * 1e3);
        memcpy_ms.push_back((t2 - t1) * 1e3);
        wall_ms.push_back(std::chrono::duration<double>(w1 - w0).count() * 1e3);
    }
    const double enc = median(encode_ms), cpy = median(memcpy_ms);
    medians[kind.name] = enc;
    state.counters["wall_ms"] = median(wall_ms);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pulses.size()));
    state.counters["out_bytes"] = r.nBytes;
    state.counters["commands"] = r.nPulses;
    state.counters["median_ms"] = enc;
    state.counters["min_ms"] = *std::min_element(encode_ms.begin(), encode_ms.end());
    state.counters["memcpy_ms"] = cpy;
    state.counters["ratio_to_memcpy"] = enc / cpy;
    state.counters["Mpulses_per_s"] = double(pulses.size()) / enc / 1e3;
}

void summary() {
    const double dense = medians["dense"];
    std::printf("\n%-14s %12s %12s\n", "workload", "median ms", "x dense");
    for (const workloads::Kind& k : workloads::kinds())
        std::printf("%-14s %12.2f %12.2f\n", k.name, medians[k.name], dense > 0 ? medians[k.name] / dense : 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest(argv, argv + argc);
    for (const workloads::Kind& k : workloads::kinds()) {
        benchmark::RegisterBenchmark((std::string("BM_Encode/") + k.name).c_str(),
                                     [&k](benchmark::State& s) { run(s, k); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(30);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}
