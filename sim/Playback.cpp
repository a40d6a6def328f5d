#include "sim/Modules.h"
#include "sim/Playback.h"

#include <algorithm>
#include <chrono>

#include "hardware/registers.h"
#include "sim/Control.h"
#include "hardware/CommandDecoder.h"
#include "hardware/streaming_state.h"

namespace sim {

using memcmd::decode;
using memcmd::DecodeResult;
using memcmd::measure;
using memcmd::Measurement;
using memcmd::Segment;

namespace playback {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// A play longer than this (about 146 years) counts as endless; keeps time points in range.
constexpr uint64_t ENDLESS = UINT64_MAX;
constexpr uint64_t NS_LIMIT = 1ull << 62;
// Region of a slot in the sequence window.
constexpr uint32_t SLOT_REGION[2] = {0, reg::SEQMEM_SLOT1_OFFSET};
constexpr uint32_t FILLED_BITS = reg::status::FIFO_FULL | reg::status::FIFOS_FILLED_A | reg::status::DECODER_FIFO_FULL;
constexpr uint32_t SLOT_BUSY_BIT[2] = {reg::status::SLOT0_BUSY_A, reg::status::SLOT1_BUSY_A};
constexpr uint32_t SLOT_HOLDS_BIT[2] = {reg::status::SLOT0_HOLDS, reg::status::SLOT1_HOLDS};
constexpr uint32_t ERROR_CLEARED_BITS = reg::status::ERROR_KIND_A | reg::status::ERROR_KIND_B;
constexpr unsigned SS_WORDS = streaming_state::WORDS;

struct State {
    Phase phase = Phase::Idle;
    Clock::time_point phase_since = Clock::now();
    unsigned start_slot = 0;
    unsigned slot = 0;
    Clock::time_point play_start;
    bool cut_set = false;  // the when bit ends the current play at `cut`
    Clock::time_point cut;
    uint64_t plays = 0;
    uint64_t slot_changes = 0;
    bool looping = false;

    bool loaded = false;  // load enable seen since the last stop: the counters run
    Clock::time_point load_time;
    uint64_t streaming_ns = 0, waiting_ns = 0;  // closed intervals
    bool error = false, error_cleared = false;
    Clock::time_point error_since;

    SlotInfo slots[2];
    // Each enabled slot's memory, measured as far as playback has needed its length so far (a slot
    // never enabled has nothing to measure).
    Measurement measured[2] = {{0, 0, true, ""}, {0, 0, true, ""}};
    uint32_t measure_limit[2] = {0, 0};  // bytes the slot's measurement may read

    bool busy_fault[2] = {false, false};
    bool fill_blocked = false;
    unsigned handshake_words = SS_WORDS;
    uint32_t force_set = 0, force_clear = 0;
    bool rearm_strobe_needed = true;
    bool state_word_forced = false;
    uint32_t forced_state_word = 0;

    std::array<uint32_t, SS_WORDS> latched{};
    unsigned hs_index = SS_WORDS;
    uint32_t applied = 0;  // status bits this module set last
};

State& st(Fpga& f) { return f.state<State>("playback"); }

uint32_t ctrl_word(Fpga& f) { return f.peek(reg::CTRL_BASE + reg::ctrl::CONTROL); }
uint64_t slot_base(unsigned slot) { return slot == 0 ? reg::SLOT0_BASE : reg::SLOT1_BASE; }
uint32_t slot_ctrl(Fpga& f, unsigned slot) { return f.peek(slot_base(slot) + reg::slot::CONTROL); }
bool has(uint32_t word, reg::Field fld) { return reg::field_get(fld, word) != 0; }
uint64_t word64(Fpga& f, uint64_t lo, uint64_t hi) { return (uint64_t(f.peek(hi)) << 32) | f.peek(lo); }

uint64_t since_ns(Clock::time_point from, Clock::time_point to) {
    return to > from ? static_cast<uint64_t>(std::chrono::duration_cast<nanoseconds>(to - from).count()) : 0;
}

// Measures an enabled slot's memory on until it is done or has more than `enough` words. The
// memory is read when playback needs it, as the FPGA reads it while playing; a measurement that is
// done fills in the slot's words and decode error.
const Measurement& measure_slot(Fpga& f, State& s, unsigned slot, uint64_t enough = UINT64_MAX) {
    Measurement& m = s.measured[slot];
    if (m.done || m.words > enough) return m;
    if (f.memory())
        measure(f.memory() + SLOT_REGION[slot], s.measure_limit[slot], m, enough);
    else
        m.done = true;
    if (m.done) {
        s.slots[slot].words = m.words;
        s.slots[slot].decode_error = m.error;
    }
    return m;
}

// Length of one run of a slot in ns (at least one word, whatever the memory holds).
uint64_t run_ns(Fpga& f, State& s, unsigned slot) { return std::max<uint64_t>(measure_slot(f, s, slot).words, 1) * 8; }

// Length of one play of a slot: run length times runs, ENDLESS for bit 63 or beyond range.
uint64_t play_ns(Fpga& f, State& s, unsigned slot) {
    uint64_t count = word64(f, slot_base(slot) + reg::slot::RUNS_LO, slot_base(slot) + reg::slot::RUNS_HI);
    if (count & reg::slot::RUNS_ENDLESS) return ENDLESS;
    // count < 2^63 here, so count + 1 cannot wrap; a product beyond 64 bits is endless as well.
    uint64_t ns = 0;
    if (__builtin_mul_overflow(run_ns(f, s, slot), count + 1, &ns)) return ENDLESS;
    return ns >= NS_LIMIT ? ENDLESS : ns;
}

// False when the current play surely goes on beyond `now`: its slot has more than elapsed / 8 / runs
// words. Measures the slot only that far, so a long sequence is read step by step as it plays.
bool play_may_have_ended(Fpga& f, State& s, Clock::time_point now) {
    uint64_t count = word64(f, slot_base(s.slot) + reg::slot::RUNS_LO, slot_base(s.slot) + reg::slot::RUNS_HI);
    if (count & reg::slot::RUNS_ENDLESS) return false;
    const uint64_t enough = since_ns(s.play_start, now) / 8 / (count + 1);
    return measure_slot(f, s, s.slot, enough).done;
}

uint32_t owned_bits(Fpga& f, const State& s) {
    using namespace reg::status;
    uint32_t b = 0;
    for (unsigned i = 0; i < 2; ++i)
        if (s.slots[i].holds) b |= SLOT_HOLDS_BIT[i];
    switch (s.phase) {
        case Phase::Idle: break;
        case Phase::Filling: b |= SLOT_BUSY_BIT[s.start_slot]; break;
        case Phase::Filled:
        case Phase::Armed: b |= FILLED_BITS | SLOT_BUSY_BIT[s.start_slot]; break;
        case Phase::Streaming:
            b |= STREAMING | FILLED_BITS | SLOT_BUSY_BIT[s.slot];
            if (s.looping) b |= LOOP_MODE;
            break;
        case Phase::Rearmed: b |= FINISHED | FILLED_BITS; break;
        case Phase::Finished:
            b |= FINISHED;
            if (!has(ctrl_word(f), reg::ctrl::AUTO_REARM)) {
                b |= REARM_POSSIBLE;
                if (s.rearm_strobe_needed) b |= REARM_STROBE_NEEDED;
            }
            break;
        case Phase::NoData: b |= FINISHED; break;
    }
    if (s.error) b |= ERROR | (s.error_cleared ? ERROR_CLEARED_BITS : 0);
    return b;
}

// Brings the status bits this module owns up to date, leaving bits set from elsewhere alone.
void sync(Fpga& f, State& s) {
    uint32_t now = owned_bits(f, s);
    uint32_t diff = now ^ s.applied;
    const uint64_t status = reg::CTRL_BASE + reg::ctrl::STATUS;
    if (diff & now) f.set_bits(status, diff & now, true);
    if (diff & ~now) f.set_bits(status, diff & ~now, false);
    s.applied = now;
}

void enter(State& s, Phase p, Clock::time_point at) {
    if (s.phase == Phase::Streaming) s.streaming_ns += since_ns(s.phase_since, at);
    if (s.phase == Phase::Armed || s.phase == Phase::Rearmed) s.waiting_ns += since_ns(s.phase_since, at);
    s.phase = p;
    s.phase_since = at;
    if (p != Phase::Streaming) {
        s.looping = false;
        s.cut_set = false;
    }
}

bool when_applies(Fpga& f, const State& s) {
    uint32_t c = slot_ctrl(f, s.slot);
    return has(c, reg::slot::WHEN) && has(c, reg::slot::FOLLOW_ON) && s.slots[1 - s.slot].holds;
}

// With the when bit, the play ends at the first run end at or after `from` once the other slot
// holds data.
void update_cut(Fpga& f, State& s, Clock::time_point from) {
    if (s.phase != Phase::Streaming || s.cut_set || !when_applies(f, s)) return;
    uint64_t run = run_ns(f, s, s.slot);
    uint64_t into = since_ns(s.play_start, from);
    uint64_t runs = into / run + (into % run ? 1 : 0);
    if (runs == 0) runs = 1;
    s.cut = s.play_start + nanoseconds(static_cast<int64_t>(std::min<uint64_t>(runs * run, NS_LIMIT)));
    s.cut_set = true;
}

void begin_play(Fpga& f, State& s, unsigned slot, Clock::time_point at) {
    s.slot = slot;
    s.play_start = at;
    s.cut_set = false;
    s.looping = has(slot_ctrl(f, slot), reg::slot::LOOP);
    update_cut(f, s, at);
}

void finish(Fpga& f, State& s, Clock::time_point at) {
    enter(s, has(ctrl_word(f), reg::ctrl::AUTO_REARM) ? Phase::Rearmed : Phase::Finished, at);
}

uint64_t slot_run_limit(Fpga& f) {
    uint64_t v = word64(f, reg::CTRL_BASE + reg::ctrl::SLOT_RUNS_LO, reg::CTRL_BASE + reg::ctrl::SLOT_RUNS_HI);
    return (v == 0 || (v & reg::slot::RUNS_ENDLESS)) ? 0 : v;
}

enum class Next { Same, Other, NoData, Finish };

Next next_after(Fpga& f, const State& s, unsigned slot) {
    uint32_t c = slot_ctrl(f, slot);
    if (has(c, reg::slot::LOOP)) return Next::Same;
    if (!has(c, reg::slot::FOLLOW_ON)) return Next::Finish;
    if (s.slots[1 - slot].holds) return Next::Other;
    if (has(c, reg::slot::NODATA_REPEAT) || has(c, reg::slot::NODATA_DURATION)) return Next::Same;
    return Next::NoData;
}

// Plays on the wall clock up to `now`: slot plays end, chain, repeat or finish.
void advance(Fpga& f, State& s, Clock::time_point now) {
    if (s.phase == Phase::Filling && s.slots[s.start_slot].holds && !s.fill_blocked)
        enter(s, has(ctrl_word(f), reg::ctrl::RUN) ? Phase::Armed : Phase::Filled, now);

    while (s.phase == Phase::Streaming) {
        if (!s.cut_set && !play_may_have_ended(f, s, now)) break;
        uint64_t len = play_ns(f, s, s.slot);
        Clock::time_point end;
        if (s.cut_set && s.slots[1 - s.slot].holds && (len == ENDLESS || s.cut < s.play_start + nanoseconds(len))) {
            end = s.cut;
        } else if (len == ENDLESS) {
            break;
        } else {
            end = s.play_start + nanoseconds(static_cast<int64_t>(len));
        }
        if (now < end) break;

        const bool cut = s.cut_set && end == s.cut;
        ++s.plays;
        const uint64_t limit = slot_run_limit(f);
        if (limit && s.plays >= limit) {
            finish(f, s, end);
            break;
        }
        Next next = cut ? Next::Other : next_after(f, s, s.slot);
        if (next == Next::Finish) {
            finish(f, s, end);
        } else if (next == Next::NoData) {
            enter(s, Phase::NoData, end);
        } else if (next == Next::Same) {
            begin_play(f, s, s.slot, end);
            // Skip whole repetitions at once (a short looping slot over a long time).
            if (!s.cut_set && len != ENDLESS && len > 0) {
                uint64_t k = since_ns(s.play_start, now) / len;
                if (limit) k = std::min<uint64_t>(k, limit - s.plays - 1);
                if (k > 0) {
                    s.plays += k;
                    s.play_start += nanoseconds(static_cast<int64_t>(k * len));
                }
            }
        } else {
            unsigned from = s.slot;
            ++s.slot_changes;
            begin_play(f, s, 1 - from, end);
            // Two slots following each other: skip whole pairs at once.
            uint64_t back = play_ns(f, s, s.slot);
            if (!s.cut_set && len != ENDLESS && back != ENDLESS && next_after(f, s, s.slot) == Next::Other &&
                next_after(f, s, from) == Next::Other && !when_applies(f, s)) {
                uint64_t pair = len + back;
                uint64_t k = since_ns(s.play_start, now) / pair;
                if (limit) k = std::min<uint64_t>(k, (limit - s.plays - 1) / 2);
                if (k > 0) {
                    s.plays += 2 * k;
                    s.slot_changes += 2 * k;
                    s.play_start += nanoseconds(static_cast<int64_t>(k * pair));
                }
            }
        }
    }
}

void tick(Fpga& f) {
    State& s = st(f);
    advance(f, s, Clock::now());
    sync(f, s);
}

bool fire(Fpga& f, State& s, Clock::time_point now) {
    if (s.phase != Phase::Armed && s.phase != Phase::Rearmed) return false;
    enter(s, Phase::Streaming, now);
    s.plays = 0;
    begin_play(f, s, s.start_slot, now);
    return true;
}

uint32_t state_word(const State& s) {
    using namespace streaming_state;
    if (s.error) return HALTED;
    switch (s.phase) {
        case Phase::Idle: return 0;
        case Phase::Filling: return FILLING;
        case Phase::Filled: return FILLED;
        case Phase::Armed: return FILLED | ARMED;
        case Phase::Streaming: return STREAMING | (s.looping ? LOOPING : 0);
        case Phase::Finished:
        case Phase::Rearmed: return FINISHED | NO_DATA;
        case Phase::NoData: return HALTED | NO_DATA;
    }
    return 0;
}

std::array<uint32_t, SS_WORDS> latch(const State& s, Clock::time_point now) {
    uint64_t total = 0, streaming = s.streaming_ns, waiting = s.waiting_ns, underflow = 0;
    if (s.loaded) total = since_ns(s.load_time, now);
    if (s.phase == Phase::Streaming) streaming += since_ns(s.phase_since, now);
    if (s.phase == Phase::Armed || s.phase == Phase::Rearmed) waiting += since_ns(s.phase_since, now);
    if (s.error) underflow = since_ns(s.error_since, now);
    std::array<uint32_t, SS_WORDS> w{};
    w[0] = s.state_word_forced ? s.forced_state_word : state_word(s);
    uint64_t counters[streaming_state::COUNTERS] = {total / 8, streaming / 8, underflow / 8, waiting / 8,
                                                    s.slot_changes};
    for (unsigned i = 0; i < streaming_state::COUNTERS; ++i) {
        w[1 + 2 * i] = static_cast<uint32_t>(counters[i]);
        w[2 + 2 * i] = static_cast<uint32_t>(counters[i] >> 32);
    }
    return w;
}

void set_valid(Fpga& f, bool on) {
    f.set_bits(reg::CTRL_BASE + reg::ctrl::SS_VALID.offset, reg::ctrl::SS_VALID.mask, on);
}

void stop_all(Fpga& f, State& s, Clock::time_point now) {
    enter(s, Phase::Idle, now);
    s.loaded = false;
    s.streaming_ns = s.waiting_ns = 0;
    s.plays = s.slot_changes = 0;
    s.error = s.error_cleared = false;
    (void)f;
}

void on_control(Fpga& f, uint64_t, uint32_t old_value, uint32_t new_value) {
    using namespace reg::ctrl;
    State& s = st(f);
    const auto now = Clock::now();
    auto rose = [&](reg::Field fld) { return !(old_value & fld.mask) && (new_value & fld.mask); };
    auto fell = [&](reg::Field fld) { return (old_value & fld.mask) && !(new_value & fld.mask); };

    if (rose(STOP)) stop_all(f, s, now);
    if (fell(LOAD_ENABLE)) enter(s, Phase::Idle, now);
    if (fell(RUN) && s.phase != Phase::Finished && s.phase != Phase::Idle && s.phase != Phase::Filling)
        enter(s, (new_value & LOAD_ENABLE.mask) ? Phase::Filled : Phase::Idle, now);
    if (rose(LOAD_ENABLE)) {
        s.start_slot = reg::field_get(START_SLOT, new_value);
        s.loaded = true;
        s.load_time = now;
        s.streaming_ns = s.waiting_ns = 0;
        s.plays = s.slot_changes = 0;
        enter(s, Phase::Filling, now);
        advance(f, s, now);
    }
    if (rose(RUN)) {
        if (s.phase == Phase::Filled || (s.phase == Phase::Finished && !s.rearm_strobe_needed))
            enter(s, Phase::Armed, now);
    }
    if (rose(REARM) && s.phase == Phase::Finished && (new_value & RUN.mask)) enter(s, Phase::Armed, now);
    if (rose(SW_TRIGGER)) fire(f, s, now);

    if (rose(SS_REQUEST)) {
        s.latched = latch(s, now);
        s.hs_index = 0;
        set_valid(f, s.handshake_words > 0);
    }
    if (s.hs_index < SS_WORDS) {
        if (rose(SS_ACK)) set_valid(f, false);
        if (fell(SS_ACK)) {
            ++s.hs_index;
            set_valid(f, s.hs_index < SS_WORDS && s.hs_index < s.handshake_words);
        }
    }
    sync(f, s);
}

void on_slot_control(Fpga& f, uint64_t addr, uint32_t old_value, uint32_t new_value) {
    State& s = st(f);
    const unsigned slot = addr == reg::SLOT0_BASE + reg::slot::CONTROL ? 0 : 1;
    const bool was = old_value & reg::slot::ENABLE.mask, is = new_value & reg::slot::ENABLE.mask;
    if (!was && is) {
        // The slot's size word bounds the measurement (the region itself may hold stale data).
        const size_t room = f.memory_size() - SLOT_REGION[slot];
        s.measure_limit[slot] = uint32_t(std::min<size_t>(room, f.peek(slot_base(slot) + reg::slot::SIZE)));
        s.measured[slot] = Measurement();
        s.slots[slot].holds = true;
        s.slots[slot].words = 0;
        s.slots[slot].decode_error.clear();
        const auto now = Clock::now();
        advance(f, s, now);
        update_cut(f, s, now);
    } else if (was && !is) {
        s.slots[slot].holds = false;
    }
    sync(f, s);
}

void install(Fpga& f) {
    f.on_tick(tick);
    f.on_write(reg::CTRL_BASE + reg::ctrl::CONTROL, on_control);
    f.on_write(reg::SLOT0_BASE + reg::slot::CONTROL, on_slot_control);
    f.on_write(reg::SLOT1_BASE + reg::slot::CONTROL, on_slot_control);
    f.on_read(reg::CTRL_BASE + reg::ctrl::STATUS, [](Fpga& dev, uint64_t, uint32_t v) {
        State& s = st(dev);
        for (unsigned i = 0; i < 2; ++i)
            if (s.busy_fault[i]) v |= SLOT_BUSY_BIT[i];
        return (v | s.force_set) & ~s.force_clear;
    });
    f.on_read(reg::CTRL_BASE + reg::ctrl::SS_DATA, [](Fpga& dev, uint64_t, uint32_t v) {
        State& s = st(dev);
        return s.hs_index < SS_WORDS ? s.latched[s.hs_index] : v;
    });
}

}  // namespace

const char* phase_name(Phase p) {
    switch (p) {
        case Phase::Idle: return "idle";
        case Phase::Filling: return "filling";
        case Phase::Filled: return "filled";
        case Phase::Armed: return "armed";
        case Phase::Streaming: return "streaming";
        case Phase::Finished: return "finished";
        case Phase::Rearmed: return "rearmed";
        case Phase::NoData: return "no-data";
    }
    return "?";
}

Info info(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    advance(f, s, Clock::now());
    sync(f, s);
    for (unsigned slot = 0; slot < 2; ++slot) measure_slot(f, s, slot);
    Info i;
    i.phase = s.phase;
    i.slot = s.phase == Phase::Streaming ? s.slot : s.start_slot;
    i.plays = s.plays;
    i.slot_changes = s.slot_changes;
    i.looping = s.looping;
    i.error = s.error;
    i.slots[0] = s.slots[0];
    i.slots[1] = s.slots[1];
    return i;
}

void inject_underflow(Fpga& f, bool error_cleared) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    const auto now = Clock::now();
    advance(f, s, now);
    if (!s.error) s.error_since = now;
    s.error = true;
    s.error_cleared = error_cleared;
    if (s.phase == Phase::Streaming) enter(s, Phase::Idle, now);
    sync(f, s);
}

void set_slot_busy(Fpga& f, unsigned slot, bool on) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    st(f).busy_fault[slot & 1] = on;
}

void set_fill_blocked(Fpga& f, bool on) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    s.fill_blocked = on;
    advance(f, s, Clock::now());
    sync(f, s);
}

void set_handshake_words(Fpga& f, unsigned words) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    st(f).handshake_words = words;
}

void force_status(Fpga& f, uint32_t set, uint32_t clear) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    s.force_set = set;
    s.force_clear = clear;
}

void set_rearm_strobe_needed(Fpga& f, bool on) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    s.rearm_strobe_needed = on;
    sync(f, s);
}

void force_state_word(Fpga& f, bool on, uint32_t word) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    s.state_word_forced = on;
    s.forced_state_word = word;
}

void clear_faults(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    s.state_word_forced = false;
    s.busy_fault[0] = s.busy_fault[1] = false;
    s.fill_blocked = false;
    s.handshake_words = SS_WORDS;
    s.force_set = s.force_clear = 0;
    s.rearm_strobe_needed = true;
    advance(f, s, Clock::now());
    sync(f, s);
}

bool trigger_edge(Fpga& f, bool rising) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    const auto now = Clock::now();
    advance(f, s, now);
    uint32_t c = ctrl_word(f);
    uint32_t edge = reg::field_get(reg::ctrl::TRIGGER_EDGE, c);
    bool accepted = has(c, reg::ctrl::HW_TRIGGER) && (edge & (rising ? 1u : 2u));
    bool started = accepted && fire(f, s, now);
    sync(f, s);
    return started;
}

std::vector<Segment> slot_segments(Fpga& f, unsigned slot, size_t max_segments, bool* truncated,
                                   DecodeResult* decoded) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    DecodeResult d;
    if (slot < 2 && f.memory()) {
        // The slot's size word bounds the decoding (the region itself may hold stale data).
        size_t room = f.memory_size() - SLOT_REGION[slot];
        size_t size = f.peek(slot_base(slot) + reg::slot::SIZE);
        d = decode(f.memory() + SLOT_REGION[slot], std::min(room, size), max_segments != 0);
    }
    std::vector<Segment> out;
    if (max_segments) out = segments(d, max_segments, truncated);
    if (decoded) *decoded = std::move(d);
    return out;
}

std::array<uint32_t, SS_WORDS> streaming_words(Fpga& f) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    State& s = st(f);
    const auto now = Clock::now();
    advance(f, s, now);
    return latch(s, now);
}

// ---- Control channel ----

namespace {
using control::Json;
using control::Request;

unsigned slot_arg(const Request& q) {
    uint32_t slot = q.u32("slot");
    if (slot > 1) throw control::Error("\"slot\" must be 0 or 1");
    return slot;
}

Json cmd_playback(const Request&) {
    Info i = info(device());
    Json slots = Json::array();
    for (const auto& s : i.slots)
        slots.push(Json::object().set("holds", s.holds).set("words", s.words).set("decode_error", s.decode_error));
    return Json::object()
        .set("phase", phase_name(i.phase))
        .set("slot", i.slot)
        .set("plays", i.plays)
        .set("slot_changes", i.slot_changes)
        .set("looping", i.looping)
        .set("error", i.error)
        .set("slots", slots);
}

Json cmd_segments(const Request& q) {
    unsigned slot = slot_arg(q);
    size_t max = q.u32("max", 10000);
    bool truncated = false;
    DecodeResult d;
    auto segs = slot_segments(device(), slot, max, &truncated, &d);
    Json list = Json::array();
    for (const auto& s : segs) list.push(Json::array().push(s.ticks).push(s.digi).push(s.code0).push(s.code1));
    return Json::object()
        .set("bytes", static_cast<uint64_t>(d.bytes))
        .set("whole_ticks", d.whole_ticks)
        .set("decode_error", d.error)
        .set("truncated", truncated)
        .set("segments", list);
}

Json cmd_trigger(const Request& q) {
    std::string edge = q.text("edge");
    if (edge != "rising" && edge != "falling") throw control::Error("\"edge\" must be \"rising\" or \"falling\"");
    return Json::object().set("started", trigger_edge(device(), edge == "rising"));
}

Json cmd_underflow(const Request& q) {
    inject_underflow(device(), q.flag("error_cleared", false));
    return Json();
}

Json cmd_slot_busy(const Request& q) {
    set_slot_busy(device(), slot_arg(q), q.flag("on", true));
    return Json();
}

Json cmd_fill_blocked(const Request& q) {
    set_fill_blocked(device(), q.flag("on", true));
    return Json();
}

Json cmd_handshake_words(const Request& q) {
    set_handshake_words(device(), q.u32("words"));
    return Json();
}

Json cmd_force_status(const Request& q) {
    force_status(device(), q.u32("set", 0), q.u32("clear", 0));
    return Json();
}

Json cmd_rearm_strobe_needed(const Request& q) {
    set_rearm_strobe_needed(device(), q.flag("on", true));
    return Json();
}

Json cmd_state_word(const Request& q) {
    bool on = q.has("word");
    force_state_word(device(), on, on ? q.u32("word") : 0);
    return Json();
}

Json cmd_clear_faults(const Request&) {
    clear_faults(device());
    return Json();
}

Json cmd_streaming_words(const Request&) {
    Json list = Json::array();
    for (uint32_t w : streaming_words(device())) list.push(w);
    return Json::object().set("words", list);
}
}  // namespace

}  // namespace playback
void register_playback() {
    using namespace playback;
    add_feature("playback", install);
    control::on_command("playback", cmd_playback,
                        "phase, slot, plays, slot changes, looping, error and each slot's state");
    control::on_command("segments", cmd_segments,
                        "{slot, max}: what the slot plays: [ticks, digital byte, code 0, code 1] per segment");
    control::on_command("trigger", cmd_trigger,
                        "{edge: rising|falling}: an edge at the hardware trigger input; started");
    control::on_command("underflow", cmd_underflow,
                        "{error_cleared}: an underflow (status 4; with 23 and 26 when cleared)");
    control::on_command("slot_busy", cmd_slot_busy, "{slot, on}: the slot's memory stays busy");
    control::on_command("fill_blocked", cmd_fill_blocked, "{on}: the FIFOs never fill");
    control::on_command("handshake_words", cmd_handshake_words,
                        "{words}: streaming-state words delivered before the handshake stalls (0: never; 11: all)");
    control::on_command("force_status", cmd_force_status, "{set, clear}: status bits forced on every read");
    control::on_command("rearm_strobe_needed", cmd_rearm_strobe_needed, "{on}: manual rearm needs the rearm strobe");
    control::on_command(
        "state_word", cmd_state_word,
        "{word}: the first streaming-state word delivered instead of the state's (no word: back to the state's)");
    control::on_command("clear_faults", cmd_clear_faults, "ends every injected fault");
    control::on_command("streaming_words", cmd_streaming_words,
                        "the eleven words a streaming-state readout would give now");
}

}  // namespace sim
