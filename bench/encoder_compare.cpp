// The encoder against the frozen reference (reference_encoder.cpp): for every workload kind of
// encoder_workloads.h and for a kind made of edge cases, many random lists, each encoded by both
// into windows of their own. Compared: the result record, the bytes of the slot region up to
// the end command and the 64 bytes after it (which must stay as they were), the standard output
// ("high len", timing lines removed) and a thrown out_of_range. A few lists long enough to leave
// the 128 MiB window are compared too, and part of the lists run under changed calibrations.
//
//   encoder_compare [LISTS_PER_KIND]     (default 300000)
// Prints one line per kind and exits non-zero at the first difference.
#include <sys/mman.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/Pulse.h"
#include "encoder_workloads.h"
#include "reference_encoder.h"
#include "support/seq_window.h"

namespace {

// The frozen reference writes its window directly: ordinary memory.
struct PlainWindow {
    PlainWindow() {
        base_ = static_cast<uint8_t*>(mmap(nullptr, reg::SEQMEM_LEN, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        mapper.base = reg::SEQMEM_BASE;
        mapper.length = reg::SEQMEM_LEN;
        mapper.addr = base_;
    }
    uint8_t* slot(unsigned s) const { return base_ + (s == 1 ? reg::SEQMEM_SLOT1_OFFSET : 0); }
    MemoryMapper mapper;
    uint8_t* base_;
};

using Encoder = SequenceControlData (*)(const std::vector<Pulse>&, Full_Pattern, uint64_t, MemoryMapper, sequences_t);

// The encoder fed in pieces of random sizes (empty ones included).
std::mt19937_64 piece_rng(7);
SequenceControlData in_pieces(const std::vector<Pulse>& list, Full_Pattern fin, uint64_t runs, MemoryMapper m,
                              sequences_t slot) {
    SequenceEncoder e(Analog_calibration, m, slot, fin, runs);
    for (size_t at = 0; at < list.size();) {
        const size_t n = std::min(list.size() - at, size_t(piece_rng() % 4 == 0 ? piece_rng() % 3 : piece_rng() % 700));
        e.add(list.data() + at, n);
        at += n;
    }
    return e.finish();
}

struct Outcome {
    SequenceControlData r;
    std::string out;  // standard output without the timing line
    bool threw = false;
};

template <class W>
Outcome run(Encoder enc, const std::vector<Pulse>& list, const Full_Pattern& fin, uint64_t runs, W& w,
            unsigned slot) {
    std::ostringstream text;
    std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
    Outcome o;
    try {
        o.r = enc(list, fin, runs, w.mapper, slot);
    } catch (const std::out_of_range&) {
        o.threw = true;
    }
    std::cout.rdbuf(saved);
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("time: ", 0) != 0 && line.rfind("RAM start address", 0) != 0 &&
            line.rfind("Start address of FPGA", 0) != 0)
            o.out += line + "\n";
    return o;
}

uint32_t edge_ticks(std::mt19937_64& rng) {
    switch (rng() % 10) {
        case 0: return 0;
        case 1: case 2: case 3: return uint32_t(1 + rng() % 7);
        case 4: case 5: return uint32_t(8 + rng() % 57);
        case 6: return uint32_t(8 * (1 + rng() % 40));
        case 7: return 0xFFFFFFFFu - uint32_t(rng() % 16);
        case 8: return 8 * uint32_t(0x1FFFFFFF - rng() % 4);
        default: return uint32_t(1 + rng() % 3000);
    }
}

int16_t edge_analog(std::mt19937_64& rng) {
    switch (rng() % 6) {
        case 0: return -32768;
        case 1: return 32767;
        case 2: return 0;
        case 3: return int16_t(rng() % 9 - 4);
        default: return int16_t(rng());
    }
}

// Zero-tick pulses, markers, repeats, counts near the limits, extreme analog values.
std::vector<Pulse> edges(size_t n, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Pulse> v(n);
    Pulse prev{8, 0, 0, 0};
    for (Pulse& p : v) {
        if (rng() % 9 == 0) {
            p = Pulse{0, 0xAA, edge_analog(rng), 0};
            continue;
        }
        p = (rng() % 4 == 0) ? prev
                             : Pulse{edge_ticks(rng), uint8_t(rng() % 3 == 0 ? rng() % 4 : rng()), edge_analog(rng),
                                     edge_analog(rng)};
        if (rng() % 5 == 0) p.ticks = edge_ticks(rng);
        prev = p;
    }
    return v;
}

// Calibrations the lists run under: neutral and a few that clamp and shift.
void set_calibration(unsigned which) {
    static const double cal[][4] = {{0, 0, 1, 1}, {100.5, -2000, 1.01, 0.97}, {2000, -8000, 3.5, 0.25}, {0, 0, -1, 2}};
    AnalogCalibDataCorr& c = Analog_calibration;
    c.dc_offset_a0 = cal[which][0];
    c.dc_offset_a1 = cal[which][1];
    c.gain_error_corr_a0 = cal[which][2];
    c.gain_error_corr_a1 = cal[which][3];
    if (!c.deriveCoefficients()) std::abort();
}

bool same(const Outcome& a, const Outcome& b, const SeqWindow& wa, const PlainWindow& wb, unsigned slot) {
    if (a.threw != b.threw || a.out != b.out) return false;
    if (a.r.nBytes != b.r.nBytes || a.r.nPulses != b.r.nPulses || a.r.wholeTicks != b.r.wholeTicks) return false;
    if (std::memcmp(&a.r.dataRate, &b.r.dataRate, sizeof(double)) != 0) return false;
    // Up to the end command and 64 bytes beyond (a throw: up to the window's end).
    const size_t region = slot == 1 ? reg::SEQMEM_LEN - reg::SEQMEM_SLOT1_OFFSET : reg::SEQMEM_LEN;
    const size_t n = a.threw ? region : std::min(region, size_t(a.r.nBytes) + 64);
    return std::memcmp(wa.slot(slot), wb.slot(slot), n) == 0;
}

void report(const char* kind, size_t list, const std::vector<Pulse>& v, const Outcome& a, const Outcome& b) {
    std::printf("DIFFERENCE: kind %s, list %zu (%zu pulses): bytes %u/%u, commands %u/%u, words %llu/%llu, "
                "threw %d/%d\noutput:\n%s--- reference:\n%s",
                kind, list, v.size(), a.r.nBytes, b.r.nBytes, a.r.nPulses, b.r.nPulses,
                (unsigned long long)a.r.wholeTicks, (unsigned long long)b.r.wholeTicks, a.threw, b.threw,
                a.out.c_str(), b.out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const size_t lists = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300000;
    SeqWindow wa;
    PlainWindow wb;
    std::vector<workloads::Kind> kinds = workloads::kinds();
    kinds.push_back({"edges", edges, 6});
    std::mt19937_64 rng(20261208);
    for (const workloads::Kind& k : kinds) {
        size_t compared_bytes = 0, pulses = 0;
        for (size_t i = 0; i < lists; ++i) {
            const size_t n = rng() % 8 == 0 ? rng() % 2000 : rng() % 100;
            const std::vector<Pulse> v = k.make(n, uint32_t(rng()));
            const unsigned slot = rng() % 16 == 0 ? 2 + unsigned(rng() % 3) : unsigned(rng() % 2);
            const uint64_t runs = rng() % 32 == 0 ? 0 : 1 + rng() % 3;
            const Full_Pattern fin(0, uint8_t(rng()), int16_t(rng()), int16_t(rng()));
            const unsigned cal = rng() % 8 == 0 ? 1 + unsigned(rng() % 3) : 0;
            if (cal) set_calibration(cal);
            // The windows hold the same bytes (the earlier lists' commands); now and then a new
            // fill of the start, so the bytes after an end command vary.
            if (rng() % 4 == 0) {
                const uint8_t fill = uint8_t(rng());
                std::memset(wa.slot(slot % 2), fill, 4096);
                std::memset(wb.slot(slot % 2), fill, 4096);
            }
            const Outcome a = run(i % 2 ? &in_pieces : Encoder(&highToLow), v, fin, runs, wa, slot);
            const Outcome b = run(&reference_encoder::highToLow, v, fin, runs, wb, slot);
            if (cal) set_calibration(0);
            if (!same(a, b, wa, wb, slot % 2)) {
                report(k.name, i, v, a, b);
                return 1;
            }
            compared_bytes += a.r.nBytes;
            pulses += n;
        }
        std::printf("%-14s %zu lists, %zu pulses, %zu bytes: identical\n", k.name, lists, pulses, compared_bytes);
        std::fflush(stdout);
    }
    // Lists that leave the window: slot 1 holds 64 MiB, slot 0 128 MiB. Compared up to the throw
    // (commands written before it stay) and the window's whole remaining memory.
    const size_t long_lists[3] = {3300000, 3500000, 7000000};
    for (unsigned t = 0; t < 3; ++t) {
        const std::vector<Pulse> v = workloads::wide_analog(long_lists[t], 100 + t);
        const unsigned slot = t == 2 ? 0 : 1;
        std::memset(wa.slot(slot), 0x5A, reg::SEQMEM_LEN - (slot ? reg::SEQMEM_SLOT1_OFFSET : 0));
        std::memset(wb.slot(slot), 0x5A, reg::SEQMEM_LEN - (slot ? reg::SEQMEM_SLOT1_OFFSET : 0));
        const Outcome a = run(t == 1 ? &in_pieces : Encoder(&highToLow), v, Full_Pattern(0, 0, 0, 0), 1, wa, slot);
        const Outcome b = run(&reference_encoder::highToLow, v, Full_Pattern(0, 0, 0, 0), 1, wb, slot);
        if (!same(a, b, wa, wb, slot)) {
            report("window end", t, v, a, b);
            return 1;
        }
        std::printf("window end    %zu pulses into slot %u: %s, identical\n", v.size(), slot,
                    a.threw ? "out_of_range" : "fits");
    }
    return 0;
}
