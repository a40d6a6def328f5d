// The encoder benchmark's pulse lists, shared by the benchmark, the one-shot instruction count
// and the comparison with the reference encoder. Each generator takes its seed, so the
// comparison can draw many short lists of one kind.
//
//   dense:        1-7 tick pulses, random digital states, no analog values
//   mixed:        bursts of short pulses, long holds, analog ramps on word boundaries, a clock
//   holds:        40% 1-7 ticks, 50% 8-200 ticks, 10% holds up to 800,000 ticks; random digital
//                 states; 20% of the pulses with random analog values
//   holds_analog: the same, every pulse with random analog values
//   wide_analog:  8-2000 ticks, random digital and analog values on every pulse
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/types.h"

namespace workloads {

inline std::vector<Pulse> dense(size_t n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<Pulse> v(n);
    for (Pulse& p : v) p = Pulse{uint32_t(1 + rng() % 7), uint8_t(rng()), 0, 0};
    return v;
}

inline std::vector<Pulse> mixed(size_t n, uint32_t seed = 2) {
    std::mt19937 rng(seed);
    std::vector<Pulse> v;
    v.reserve(n + 64);
    while (v.size() < n) {
        switch (rng() % 4) {
            case 0:  // burst of short pulses
                for (int i = 0; i < 32; ++i)
                    v.push_back(Pulse{uint32_t(1 + rng() % 24), uint8_t(rng() % 4 ? 0x01 : 0x03), 0, 0});
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
    v.resize(n);
    return v;
}

// Short pulses, medium pulses and long holds; `analog_percent` of the pulses carry random values.
inline std::vector<Pulse> holds(size_t n, unsigned analog_percent, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Pulse> v(n);
    for (Pulse& p : v) {
        const unsigned kind = rng() % 10;
        const uint32_t ticks = kind < 4 ? 1 + rng() % 7 : kind < 9 ? 8 + rng() % 193 : 1 + rng() % 800000;
        p = Pulse{ticks, uint8_t(rng()), 0, 0};
        if (rng() % 100 < analog_percent) {
            p.ao0 = int16_t(rng());
            p.ao1 = int16_t(rng());
        }
    }
    return v;
}

inline std::vector<Pulse> wide_analog(size_t n, uint32_t seed = 5) {
    std::mt19937 rng(seed);
    std::vector<Pulse> v(n);
    for (Pulse& p : v) p = Pulse{uint32_t(8 + rng() % 1993), uint8_t(rng()), int16_t(rng()), int16_t(rng())};
    return v;
}

struct Kind {
    const char* name;
    std::vector<Pulse> (*make)(size_t n, uint32_t seed);
    uint32_t seed;  // of the benchmark's own list
};

inline const std::vector<Kind>& kinds() {
    static const std::vector<Kind> k = {
        {"dense", [](size_t n, uint32_t s) { return dense(n, s); }, 1},
        {"mixed", [](size_t n, uint32_t s) { return mixed(n, s); }, 2},
        {"holds", [](size_t n, uint32_t s) { return holds(n, 20, s); }, 3},
        {"holds_analog", [](size_t n, uint32_t s) { return holds(n, 100, s); }, 4},
        {"wide_analog", [](size_t n, uint32_t s) { return wide_analog(n, s); }, 5},
    };
    return k;
}

inline const Kind* find_kind(const std::string& name) {
    for (const Kind& k : kinds())
        if (name == k.name) return &k;
    return nullptr;
}

}  // namespace workloads
