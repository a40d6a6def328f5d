// Encoder throughput: 2,000,000 pulses per call, for each workload of encoder_workloads.h, the
// current encoder and the frozen reference (the encoder before its third round) called in turn
// (the order swapped every round), so a busy spell of the shared machine hits both alike.
//
// Times are CPU time of the benchmark thread (the machine is shared); the median wall time is
// reported beside them, and the minimum (the run least disturbed by other processes). Counters:
// Mpulses/s, output bytes, commands, median encode and memcpy times (ms) and their ratio, the
// reference's median and the median of the per-round ratios reference / current. A summary at
// the end gives each workload's median against dense's (time per pulse, same run).
//
//   encoder_bench                      all benchmarks, then the summary
//   encoder_bench --once=KIND [--reference]
//                                      one call on KIND's list inside measured_call(), for
//                                      bench/encoder_instructions.sh (callgrind)
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
#include "reference_encoder.h"
#include "support/seq_window.h"

namespace {

constexpr size_t N_PULSES = 2000000;

using Encoder = SequenceControlData (*)(const std::vector<Pulse>&, Full_Pattern, uint64_t, MemoryMapper, sequences_t);

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

std::map<std::string, double> medians;  // "kind/current", "kind/reference", "kind/ratio"

void run(benchmark::State& state, const workloads::Kind& kind) {
    const std::vector<Pulse>& pulses = list_of(kind);
    SeqWindow& w = window();
    static std::vector<uint8_t> copy(reg::SEQMEM_SLOT1_OFFSET);
    std::memset(w.slot(0), 0, reg::SEQMEM_SLOT1_OFFSET);  // fault the pages in
    std::memset(copy.data(), 1, copy.size());
    std::ofstream devnull("/dev/null");
    Full_Pattern final_state(0, 0, 0, 0);

    std::vector<double> encode_ms, memcpy_ms, wall_ms, reference_ms, ratios;
    SequenceControlData r;
    auto reference = [&] {
        std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());
        const double t0 = thread_cpu();
        reference_encoder::highToLow(pulses, final_state, 1, w.mapper, 0);
        const double t1 = thread_cpu();
        std::cout.rdbuf(saved);
        reference_ms.push_back((t1 - t0) * 1e3);
    };
    for (auto _ : state) {
        if (encode_ms.size() % 2 == 0) reference();
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
        if (encode_ms.size() % 2 == 0) reference();
        ratios.push_back(reference_ms.back() / encode_ms.back());
    }
    const double enc = median(encode_ms), cpy = median(memcpy_ms);
    medians[std::string(kind.name) + "/current"] = enc;
    medians[std::string(kind.name) + "/reference"] = median(reference_ms);
    medians[std::string(kind.name) + "/ratio"] = median(ratios);
    state.counters["reference_ms"] = median(reference_ms);
    state.counters["reference_per_current"] = median(ratios);
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
    const double dense = medians["dense/current"];
    std::printf("\n%-14s %12s %12s %14s %16s\n", "workload", "median ms", "x dense", "reference ms",
                "reference/current");
    for (const workloads::Kind& k : workloads::kinds()) {
        const double cur = medians[std::string(k.name) + "/current"];
        const double ref = medians[std::string(k.name) + "/reference"];
        std::printf("%-14s %12.2f %12.2f %14.2f %16.2f\n", k.name, cur, dense > 0 ? cur / dense : 0, ref,
                    medians[std::string(k.name) + "/ratio"]);
    }
}

// The call callgrind counts (bench/encoder_instructions.sh collects inside this function only).
__attribute__((noinline)) SequenceControlData measured_call(Encoder encode, const std::vector<Pulse>& pulses,
                                                            SeqWindow& w) {
    return encode(pulses, Full_Pattern(0, 0, 0, 0), 1, w.mapper, 0);
}

int once(const std::string& name, bool reference) {
    const workloads::Kind* k = workloads::find_kind(name);
    if (k == nullptr) {
        std::fprintf(stderr, "unknown workload %s\n", name.c_str());
        return 2;
    }
    const std::vector<Pulse>& pulses = list_of(*k);
    const Encoder encode = reference ? &reference_encoder::highToLow : &highToLow;
    SeqWindow& w = window();
    std::ofstream devnull("/dev/null");
    std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());
    encode({Pulse{8, 1, 0, 0}}, Full_Pattern(0, 0, 0, 0), 1, w.mapper, 0);  // one-time set-up outside the count
    const SequenceControlData r = measured_call(encode, pulses, w);
    std::cout.rdbuf(saved);
    std::printf("%s %s: %zu pulses, %u commands, %u bytes\n", name.c_str(), reference ? "reference" : "current",
                pulses.size(), r.nPulses, r.nBytes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    bool reference = false;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--once=", 0) == 0) {
            only = a.substr(7);
        } else if (a == "--reference") {
            reference = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!only.empty()) return once(only, reference);

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
