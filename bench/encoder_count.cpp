// One encode of the first N pulses of a workload of encoder_workloads.h, for
// bench/arm_instructions.sh, which counts the instructions executed in the encoder's functions
// under qemu-arm. The window is ordinary memory written through the platform's window calls.
//
//   encoder_count KIND N [PIECE]   encode N pulses of KIND (in pieces of PIECE pulses if given)
//   encoder_count loop N           the script's check: a loop of known length, N rounds
//   encoder_count KIND N --write FILE   writes the N pulses as bare little-endian records
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "device/Pulse.h"
#include "hardware/registers.h"
#include "encoder_workloads.h"
#if defined(TARVEX_PLATFORM_SIM)
#include "sim/SeqMemory.h"
#endif

AnalogCalibDataCorr Analog_calibration;

// Two instructions a round (decrement and branch) on either instruction set.
extern "C" __attribute__((noinline)) void count_check_loop(unsigned rounds) {
#if defined(__arm__)
    asm volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(rounds) : : "cc");
#else
    asm volatile("1: dec %0\n\tjnz 1b" : "+r"(rounds) : : "cc");
#endif
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: encoder_count KIND N [PIECE] | encoder_count loop N\n");
        return 2;
    }
    const std::string kind = argv[1];
    const size_t n = std::strtoull(argv[2], nullptr, 10);
    if (kind == "loop") {
        count_check_loop(unsigned(n));
        return 0;
    }
    const workloads::Kind* k = workloads::find_kind(kind);
    if (k == nullptr || n == 0) {
        std::fprintf(stderr, "unknown workload %s\n", kind.c_str());
        return 2;
    }
    const std::vector<Pulse> pulses = k->make(n, k->seed);
    if (argc > 4 && std::string(argv[3]) == "--write") {
        FILE* out = std::fopen(argv[4], "wb");
        const bool written = out && std::fwrite(pulses.data(), sizeof(Pulse), n, out) == n;
        return out && std::fclose(out) == 0 && written ? 0 : 1;
    }
    const size_t piece = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : n;
    MemoryMapper window(reg::SEQMEM_BASE, reg::SEQMEM_LEN);
#if defined(TARVEX_PLATFORM_SIM)
    static sim::SeqMemory memory(reg::SEQMEM_LEN);
    window.addr = memory.driver();
#else
    void* mem =
        mmap(nullptr, reg::SEQMEM_LEN, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) return 1;
    window.addr = static_cast<uint8_t*>(mem);
#endif
    std::ostringstream log;
    std::streambuf* saved = std::cout.rdbuf(log.rdbuf());
    SequenceEncoder e(Analog_calibration, window, 0, Full_Pattern(0, 0, 0, 0), 1);
    for (size_t at = 0; at < pulses.size(); at += piece) e.add(pulses.data() + at, std::min(piece, pulses.size() - at));
    const SequenceControlData r = e.finish();
    std::cout.rdbuf(saved);
    std::printf("%s: %zu pulses, %u commands, %u bytes\n", kind.c_str(), pulses.size(), r.nPulses, r.nBytes);
    return 0;
}
