// The playing part of the simulated FPGA: sequence slots, FIFO fill, run and trigger, the
// played length on the wall clock, slot chaining, rearm, the streaming-state handshake, and
// the faults a test can inject. The hooks are installed on every device (SIM_FEATURE); this
// header is the in-process test API, and the control channel offers the same (see README).
//
// Model (what the simulated design does with the registers):
// - A slot holds data while its enable bit (slot control bit 0) is set. Its played length (words
//   of 8 ns, one run) comes from the slot's memory commands, up to the size word at enable; the
//   memory is read as far as playback needs it on the wall clock (a long sequence step by step),
//   and in full when the length is needed whole or info() is asked.
// - Load enable (control bit 7) fills the FIFOs from the start slot (control bit 13) when it
//   holds data; run enable (bit 0) arms; a trigger starts streaming: the software strobe (bit 2)
//   always, a hardware edge when bit 1 is set and bits 6:5 accept it (1 rising, 2 falling, 3 both).
// - One play of a slot lasts words x runs x 8 ns (runs = run count + 1; bit 63 alone: endless).
//   Then: loop bit -> the same slot again; follow-on bit -> the other slot if it holds data, else
//   the same slot again when an on_nodata bit (5 or 6) is set, else "No Data"; otherwise finished.
//   With the when bit and the follow-on bit, the change happens at the end of the current run
//   once the other slot holds data. The slot-run count (control 0x18/0x1C) ends the chain after
//   that many slot plays (0 or bit 63 set: no limit).
// - Finished: automatic rearm (bit 8) arms again for the next trigger; manual rearm shows
//   "rearm possible" (status 10) and, by default, "rearm strobe needed" (27) and waits for the
//   rearm strobe (bit 20) (or run enable cleared and set again when no strobe is needed).
// - A slot's memory is busy while it is filled, armed or streaming. The stop strobe (bit 12)
//   ends everything, clears the error indication and the counters.
// - Streaming-state handshake: the request strobe (bit 21) latches eleven words (state word and
//   five 64-bit counters in 8 ns cycles since load enable: total, streaming, underflow, waiting
//   for the trigger, slot changes); word valid is bit 31 of 0x30, acknowledge is bit 22.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Fpga.h"

namespace memcmd {
struct Segment;
struct DecodeResult;
}  // namespace memcmd

namespace sim {

namespace playback {

enum class Phase { Idle, Filling, Filled, Armed, Streaming, Finished, Rearmed, NoData };
const char* phase_name(Phase p);

struct SlotInfo {
    bool holds = false;
    uint64_t words = 0;        // words of one run (of the data enabled last)
    std::string decode_error;  // empty when the slot's memory decoded cleanly
};

struct Info {
    Phase phase = Phase::Idle;
    unsigned slot = 0;          // the slot streaming (or to start with)
    uint64_t plays = 0;         // slot plays completed since the trigger
    uint64_t slot_changes = 0;  // since load enable
    bool looping = false;
    bool error = false;
    SlotInfo slots[2];
};
Info info(Fpga& f);

// Faults.
void inject_underflow(Fpga& f, bool error_cleared);          // error bit 4 (with 23 and 26 when cleared)
void set_slot_busy(Fpga& f, unsigned slot, bool on);         // the slot's busy bits stay set
void set_fill_blocked(Fpga& f, bool on);                     // the FIFOs never fill
void set_handshake_words(Fpga& f, unsigned words);           // words delivered before the handshake stalls
void force_status(Fpga& f, uint32_t set, uint32_t clear);    // applied over every status read
void set_rearm_strobe_needed(Fpga& f, bool on);              // default on
void force_state_word(Fpga& f, bool on, uint32_t word = 0);  // first handshake word, instead of the state's
void clear_faults(Fpga& f);

// The hardware trigger input. True when the edge started streaming.
bool trigger_edge(Fpga& f, bool rising);

// What a slot's memory plays (at most max_segments; *truncated set when more), decoded up to
// the slot's size word. Include hardware/CommandDecoder.h to call it. With max_segments 0 only the totals of
// *decoded (bytes, whole ticks, error) are filled in, not its command list.
std::vector<memcmd::Segment> slot_segments(Fpga& f, unsigned slot, size_t max_segments, bool* truncated,
                                           memcmd::DecodeResult* decoded = nullptr);

// The eleven words a streaming-state readout would deliver now.
std::array<uint32_t, 11> streaming_words(Fpga& f);

}  // namespace playback
}  // namespace sim
