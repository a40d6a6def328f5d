// Encoder throughput: 2,000,000 pulses per call, against a memcpy of the same output bytes.
//
//   dense: 1-7 tick pulses with random digital states (nearly every word assembled from parts)
//   mixed: short pulses, long holds and analog ramps
//
// Times are CPU time of the benchmark thread (the machine is shared); the median wall time is
// reported beside them, and the minimum (the run least disturbed by other processes). Counters: Mpulses/s, output bytes, median encode and memcpy times (ms)
// and their ratio.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <vector>

#include "device/Pulse.h"
#include "support/seq_window.h"

namespace {

constexpr size_t N_PULSES = 2000000;

std::vector<Pulse> dense() {
    std::mt19937 rng(1);
    std::vector<Pulse> v(N_PULSES);
    for (Pulse& p : v) p = Pulse{uint32_t(1 + rng() % 7), uint8_t(rng()), 0, 0};
    return v;
}

std::vector<Pulse> mixed() {
    std::mt19937 rng(2);
    std::vector<Pulse> v;
    v.reserve(N_PULSES);
    while (v.size() < N_PULSES) {
        switch (rng() % 4) {
            case 0:  // burst of short pulses
                for (int i = 0; i < 32; ++i) v.push_back(Pulse{uint32_t(1 + rng() % 24), uint8_t(rng() % 4 ? 0x01 : 0x03), 0, 0});
                break;
            case 1:  // long hold
                v.push_back(Pulse{uint32_t(1000 + rng() % 1000000), uint8_t(rng()), 0, 0});
                break;
            case 2: {  // analog ramp in 8-tick steps
                int16_t a = int16_t(rng());
                for (int i = 0; i < 64; ++i) v.push_back(Pulse{8, 0x10, int16_t(a + 64 * i), int16_t(-a - 32 * i)});
                break;
            }
            default:  // clock-like pattern on word boundaries
                for (int i = 0; i < 16; ++i) v.push_back(Pulse{16, uint8_t(i & 1 ? 0x80 : 0x00), 0, 0});
                break;
        }
    }
    v.resize(N_PULSES);
    return v;
}

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

void run(benchmark::State& state, const std::vector<Pulse>& pulses) {
    static SeqWindow window;
    static std::vector<uint8_t> copy(reg::SEQMEM_SLOT1_OFFSET);
    std::memset(window.slot(0), 0, reg::SEQMEM_SLOT1_OFFSET);  // fault the pages in
    std::memset(copy.data(), 1, copy.size());
    std::ofstream devnull("/dev/null");
    Full_Pattern final_state(0, 0, 0, 0);

    std::vector<double> encode_ms, memcpy_ms, wall_ms;
    SequenceControlData r;
    for (auto _ : state) {
        std::streambuf* saved = std::cout.rdbuf(devnull.rdbuf());
        auto w0 = std::chrono::steady_clock::now();
        const double t0 = thread_cpu();
        r = highToLow(pulses, final_state, 1, window.mapper, 0);
        const double t1 = thread_cpu();
        auto w1 = std::chrono::steady_clock::now();
        std::cout.rdbuf(saved);
        std::memcpy(copy.data(), window.slot(0), r.nBytes);
        benchmark::ClobberMemory();
        const double t2 = thread_cpu();
        state.SetIterationTime(t1 - t0);
        encode_ms.push_back((t1 - t0) * 1e3);
        memcpy_ms.push_back((t2 - t1) * 1e3);
        wall_ms.push_back(std::chrono::duration<double>(w1 - w0).count() * 1e3);
    }
    const double enc = median(encode_ms), cpy = median(memcpy_ms);
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

void BM_EncodeDense(benchmark::State& state) {
    static const std::vector<Pulse> pulses = dense();
    run(state, pulses);
}
void BM_EncodeMixed(benchmark::State& state) {
    static const std::vector<Pulse> pulses = mixed();
    run(state, pulses);
}

BENCHMARK(BM_EncodeDense)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_EncodeMixed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
