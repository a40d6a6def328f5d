// The streaming-state readout, as the FPGA hands it over and the device code reads it: after the
// request strobe, WORDS 32-bit words one at a time through the valid/acknowledge handshake. Word
// 0 is the state word; words 1-10 are five 64-bit counters, low half first: total time,
// streaming time, underflow time and waiting time (in words of 8 ns), and slot changes.
#pragma once

#include <cstdint>

namespace streaming_state {

constexpr unsigned WORDS = 11;
constexpr unsigned COUNTERS = 5;

// Bits of the state word.
constexpr uint32_t STREAMING = 1u << 0;      // playing
constexpr uint32_t HALTED = 1u << 1;         // stopped by an underflow, or without data
constexpr uint32_t HALT_CLEARED = 1u << 2;   // with HALTED: the halt has been cleared
constexpr uint32_t LOOPING = 1u << 3;        // with STREAMING: the slot loops
constexpr uint32_t FILL_BLOCKED = 1u << 4;   // FILLED does not count
constexpr uint32_t FILLING = 1u << 5;        // the FIFOs are filling
constexpr uint32_t FILLED = 1u << 6;         // the FIFOs are filled
constexpr uint32_t CONDITION_ONE = 1u << 7;  // selects condition 1 of the state it qualifies
constexpr uint32_t NO_DATA = 1u << 8;        // with HALTED: no data; with FINISHED: rearmed
constexpr uint32_t FINISHED = 1u << 9;       // the runs are played
constexpr uint32_t ARMED = 1u << 10;         // with FILLED: waiting for the trigger

}  // namespace streaming_state
