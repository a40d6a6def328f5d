// The pulse sequence encoder as it stood at commit 7f59286 (server/Pulse.cpp), frozen as the
// reference the current encoder is compared with: same bytes, same result record, same
// "high len" line. Only the entry point's name and namespace differ. Do not optimise this copy.
#include "reference_encoder.h"

#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "platform/platform.h"
#include "hardware/registers.h"

namespace reference_encoder {
namespace {

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint32_t START_REF_CODES = 0x1FFF1FFF;

enum : uint8_t {
    HDR_MARKER = 0x02,
    HDR_CODE0 = 0x04,
    HDR_CODE1 = 0x08,
    HDR_COUNT1 = 0x10,
    HDR_COUNT2 = 0x20,
    HDR_COUNT4 = 0x30,
    HDR_MASKED = 0x40,
    HDR_END = 0x80,
};

// Channel bytes of a whole word of one digital state: byte i = 0xFF when bit i is set.
struct ExpandTable {
    uint64_t v[256];
    constexpr ExpandTable() : v() {
        for (unsigned d = 0; d < 256; ++d) {
            uint64_t w = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (d & (1u << i)) w |= uint64_t(0xFF) << (8 * i);
            v[d] = w;
        }
    }
};
constexpr ExpandTable EXPAND;

// Bits of ticks [start, start + length) in every channel byte (start + length <= 8).
struct LaneTable {
    uint64_t v[8][9];
    constexpr LaneTable() : v() {
        for (unsigned s = 0; s < 8; ++s)
            for (unsigned l = 0; s + l <= 8; ++l) v[s][l] = ((((1u << l) - 1u) << s) & 0xFFu) * ONES;
    }
};
constexpr LaneTable LANES;
inline uint64_t tick_lanes(uint32_t start, uint32_t length) { return LANES.v[start][length]; }

// floor(length * value / 8): arithmetic shift, so negative values round down.
inline int analog_share(uint32_t length, int value) { return (int(length) * value) >> 3; }

// Bit i set when byte i of x is non-zero.
inline uint32_t nonzero_bytes(uint64_t x) {
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t high = (((x & LOW7) + LOW7) | x) >> 7;  // bit 8i set when byte i is non-zero
    return uint32_t(((high & ONES) * 0x0102040810204080ull) >> 56);
}

// Each channel 0xFF when its bit `tick` is set: the level it holds after that tick.
inline uint64_t hold_levels(uint64_t bits, uint32_t tick) { return ((bits >> tick) & ONES) * 0xFF; }

inline void store16(uint8_t* p, uint32_t v) {
    const uint16_t h = uint16_t(v);
    std::memcpy(p, &h, 2);
}

// Room a command needs while it is built: the longest command and two scratch bytes.
constexpr unsigned CMD_BUILD_BYTES = CMD_MAX_BYTES + 2;

// Builds the command for word (bits, codes) played count + 1 times against the reference, header
// with `flags` included, at `o` and returns its end. May store one scratch byte past the returned
// end (the next command overwrites it), so `o` needs CMD_BUILD_BYTES bytes of room.
inline __attribute__((always_inline)) uint8_t* build_cmd(uint8_t* o, uint8_t flags, uint32_t count, uint64_t bits,
                                                         uint64_t ref_bits, uint32_t codes, uint32_t ref_codes) {
    const uint64_t changed_bits = bits ^ ref_bits;
    uint32_t h = flags;
    uint8_t* p;
    if (changed_bits == 0) {
        // No channel changed.
        h |= HDR_MASKED;
        o[1] = 0;
        p = o + 2;
    } else {
        const uint32_t mask = nonzero_bytes(changed_bits);
        if ((mask & (mask - 1)) == 0) {
            // One channel changed.
            h |= HDR_MASKED;
            o[1] = uint8_t(mask);
            o[2] = uint8_t(bits >> (8 * __builtin_ctz(mask)));
            p = o + 3;
        } else {
            // Eight changed channels: the unmasked form, no mask byte. Otherwise the mask byte,
            // then every channel byte is stored and the position advances past the changed ones.
            const uint32_t masked = mask != 0xFF;
            h |= masked << 6;
            o[1] = uint8_t(mask);
            p = o + 1 + masked;
#pragma GCC unroll 8
            for (unsigned i = 0; i < 8; ++i) {
                *p = uint8_t(bits >> (8 * i));
                p += (mask >> i) & 1u;
            }
        }
    }
    const uint32_t changed = codes ^ ref_codes;
    if (changed & 0xFFFFu) {
        h |= HDR_CODE0;
        store16(p, codes);
        p += 2;
    }
    if (changed >> 16) {
        h |= HDR_CODE1;
        store16(p, codes >> 16);
        p += 2;
    }
    if (count != 0) {
        if (count <= 0xFF) {
            h |= HDR_COUNT1;
            *p++ = uint8_t(count);
        } else if (count <= 0xFFFF) {
            h |= HDR_COUNT2;
            store16(p, count);
            p += 2;
        } else {
            h |= HDR_COUNT4;
            std::memcpy(p, &count, 4);
            p += 4;
        }
    }
    o[0] = uint8_t(h);
    return p;
}

inline uint64_t load_pattern(const uint8_t* pattern) {
    uint64_t w;
    std::memcpy(&w, pattern, 8);
    return w;
}

}  // namespace

namespace {

// The codes of every 16-bit value of both outputs under one calibration (256 KiB), so that a
// word's codes are two loads. Built on first use and again when the coefficients change; an
// encoder holds code_tables_lock while it uses them.
struct CodeTables {
    bool built = false;
    int32_t gain0 = 0, offset0 = 0, gain1 = 0, offset1 = 0;
    uint16_t code[2][65536];
};
CodeTables code_tables;
std::mutex code_tables_lock;

void prepare_code_tables(const AnalogCalibDataCorr& cal) {
    CodeTables& t = code_tables;
    if (t.built && t.gain0 == cal.gain0 && t.offset0 == cal.offset0 && t.gain1 == cal.gain1 && t.offset1 == cal.offset1)
        return;
    for (uint32_t v = 0; v < 65536; ++v) {
        t.code[0][v] = ANALOG_TO_BYTES::code(int16_t(uint16_t(v)), cal.gain0, cal.offset0);
        t.code[1][v] = ANALOG_TO_BYTES::code(int16_t(uint16_t(v)), cal.gain1, cal.offset1);
    }
    t.gain0 = cal.gain0;
    t.offset0 = cal.offset0;
    t.gain1 = cal.gain1;
    t.offset1 = cal.offset1;
    t.built = true;
}

// Reports a command that does not fit the mapped window and throws.
[[noreturn]] __attribute__((noinline, cold)) void out_of_window(uint32_t len, const uint8_t* at, const uint8_t* window) {
    std::cout << "Memory ERROR: Size of cp_array (B): " << len << std::endl;
    std::cout << "RAM start address: " << static_cast<const void*>(at) << std::endl;
    std::cout << "Start address of FPGA memory range mapping: " << static_cast<const void*>(window) << std::endl;
    throw std::out_of_range("std::out_of_range -> Out of mapped memory");
}

// Writes one command exactly (no byte past its end) if it ends below the window's end; returns
// the new position. Used near the window's end and for the end command.
__attribute__((noinline)) uint8_t* write_exact(uint8_t* out, const uint8_t* window, const uint8_t* limit, uint8_t flags,
                                               uint32_t count, uint64_t bits, uint64_t ref_bits, uint32_t codes,
                                               uint32_t ref_codes) {
    uint8_t buf[CMD_BUILD_BYTES];
    const uint32_t len = uint32_t(build_cmd(buf, flags, count, bits, ref_bits, codes, ref_codes) - buf);
    // The command must end below the window's end: off + len < SEQMEM_LEN.
    if (uint64_t(limit - out) <= len) out_of_window(len, out, window);
    std::memcpy(out, buf, len);
    return out + len;
}

#define ENCODER_INLINE inline __attribute__((always_inline))

// Writes commands into the window; keeps the reference, the pending command and the totals.
class CommandWriter {
public:
    CommandWriter(uint8_t* window, uint8_t* region)
        : window_(window), limit_(window + reg::SEQMEM_LEN), fast_limit_(limit_ - FAST_MARGIN), out_(region) {}

    // Appends one command (count = repetitions - 1) with the given marker bit.
    ENCODER_INLINE void write(uint64_t bits, uint32_t codes, uint32_t count, uint8_t flags) {
        if (__builtin_expect(out_ < fast_limit_, 1)) {
            // Far from the window's end: built in place. Its scratch bytes are overwritten by the
            // next command, which is sure to fit here; the end command is always written exactly.
            out_ = build_cmd(out_, flags, count, bits, ref_bits_, codes, ref_codes_);
        } else {
            out_ = write_exact(out_, window_, limit_, flags, count, bits, ref_bits_, codes, ref_codes_);
        }
        ref_bits_ = bits;
        ref_codes_ = codes;
        ++commands;
        words += uint64_t(count) + 1;
    }

    // Offers a completed word played n times (1 <= n < CMD_MAX_WORDS): merged into the pending
    // command when equal and within the count limit, else the pending command is written first.
    // No pending command is pend_words_ 0; merging into it then starts a pending command as well.
    ENCODER_INLINE void offer(uint64_t bits, uint32_t codes, uint32_t n) {
        if ((((bits ^ pend_bits_) | uint64_t(codes ^ pend_codes_)) == 0) & (pend_words_ + n <= CMD_MAX_WORDS)) {
            pend_words_ += n;
            return;
        }
        if (pend_words_ != 0) write(pend_bits_, pend_codes_, pend_words_ - 1, 0);
        pend_bits_ = bits;
        pend_codes_ = codes;
        pend_words_ = n;
    }

    void flush_pending() {
        if (pend_words_ != 0) write(pend_bits_, pend_codes_, pend_words_ - 1, 0);
        pend_words_ = 0;
    }

    // Writes the pending command (there is one) as the end command.
    void write_end() {
        out_ = write_exact(out_, window_, limit_, HDR_END, pend_words_ - 1, pend_bits_, ref_bits_, pend_codes_,
                           ref_codes_);
        ++commands;
        words += pend_words_;
        pend_words_ = 0;
    }

    bool has_pending() const { return pend_words_ != 0; }
    uint32_t pending_words() const { return pend_words_; }
    // The word of the pending command, or of the last written command.
    uint64_t last_bits() const { return pend_words_ != 0 ? pend_bits_ : ref_bits_; }
    uint32_t ref_codes() const { return ref_codes_; }
    uint8_t* position() const { return out_; }

    uint32_t commands = 0;
    uint64_t words = 0;

private:
    // Room that guarantees a command built in place and its successor fit.
    static constexpr ptrdiff_t FAST_MARGIN = 64;
    static_assert(FAST_MARGIN >= 2 * CMD_BUILD_BYTES, "a fast command and the next one fit");

    uint8_t* const window_;
    uint8_t* const limit_;
    uint8_t* const fast_limit_;
    uint8_t* out_;
    uint64_t ref_bits_ = 0;
    uint32_t ref_codes_ = START_REF_CODES;
    uint64_t pend_bits_ = 0;
    uint32_t pend_codes_ = 0;
    uint32_t pend_words_ = 0;
};

void print_high_len(uint64_t sum) { std::cout << "high len: " << sum << "|" << ((sum + 7) & ~uint64_t(7)) << std::endl; }


// The encoder proper (see highToLow), with the code tables prepared. It holds no object with a
// destructor, so nothing in its loop is kept in memory for unwinding.
__attribute__((noinline)) SequenceControlData encode(const std::vector<Pulse>& pulses, const Full_Pattern& final,
                                                     uint64_t n_runs, uint8_t* const window, sequences_t slot,
                                                     std::clock_t started) {
    SequenceControlData result;

    uint8_t* region;
    if (slot == 0) {
        region = window;
    } else if (slot == 1) {
        region = window + reg::SEQMEM_SLOT1_OFFSET;
    } else {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return result;
    }
    if (window == nullptr) out_of_window(0, region, window);  // not mapped: nothing can be written

    const Pulse* p = pulses.data();
    const Pulse* const end = p + pulses.size();

    // Zero-tick pulses ahead of the first one with ticks: markers among them all become the
    // same word (outputs low, start reference codes), written once ticks are known to follow.
    uint32_t leading_markers = 0;
    if (n_runs != 0) {
        for (; p != end && p->ticks == 0; ++p) leading_markers += p->digi == 0xAA;
    }

    if (n_runs == 0 || p == end) {
        uint64_t sum = 0;
        for (const Pulse& q : pulses) sum += q.ticks;  // zero unless n_runs is 0
        print_high_len(sum);
        uint8_t* out = region;
        out[0] = HDR_END | HDR_MASKED | HDR_CODE0 | HDR_CODE1;
        out[1] = 0xFF;
        std::memcpy(out + 2, final.pattern, 8);
        std::memcpy(out + 10, &final.analog.value, 4);
        platform::flush_cache(out, out + 14);
        result.nBytes = 14;
        return result;
    }

    CommandWriter w(window, region);
    for (uint32_t i = 0; i < leading_markers; ++i) w.write(0, START_REF_CODES, 0, HDR_MARKER);

    uint32_t f = 0;       // ticks of the current word already covered
    uint64_t cur = 0;     // its channel bytes
    int acc0 = 0;         // its accumulated analog values
    int acc1 = 0;
    uint64_t marker_words = leading_markers;  // words written for markers
    uint64_t padded = 0;                      // words padded for a marker inside them
    // The last pulse with ticks before a marker, found by looking back; a run of zero-tick pulses
    // is looked through once (the answer for the marker at `found_for` is `found`).
    const Pulse* found = nullptr;
    const Pulse* found_for = nullptr;
    // The codes of a word's analog values (16-bit wrap-around).
    auto word_codes = [](int a0, int a1) {
        return uint32_t(code_tables.code[0][uint16_t(a0)]) | uint32_t(code_tables.code[1][uint16_t(a1)]) << 16;
    };
    const uint32_t zero_codes = word_codes(0, 0);

    for (; p != end; ++p) {
        const uint32_t t = p->ticks;
        if (__builtin_expect(t == 0, 0)) {
            if (p->digi != 0xAA) continue;
            // Marker word of the held levels and the analog values of the last pulse with ticks
            // (the loop starts at a pulse with ticks, so there is one).
            const Pulse* q = p - 1;
            while (q->ticks == 0 && q != found_for) --q;
            if (q == found_for) q = found;
            found = q;
            found_for = p;
            const int a0 = q->ao0;
            const int a1 = q->ao1;
            ++marker_words;
            if (f == 0) {
                uint64_t hold = hold_levels(w.last_bits(), 7);
                w.flush_pending();
                w.write(hold, w.ref_codes(), 0, HDR_MARKER);
            } else {
                // The word is completed with the held levels; its ticks start the next word again.
                ++padded;
                uint64_t hold = hold_levels(cur, f - 1);
                cur |= hold & tick_lanes(f, 8 - f);
                w.offer(cur, word_codes(acc0 + analog_share(8 - f, a0), acc1 + analog_share(8 - f, a1)), 1);
                w.flush_pending();
                w.write(hold, word_codes(a0, a1), 0, HDR_MARKER);
                cur = hold & tick_lanes(0, f);
                acc0 = analog_share(f, a0);
                acc1 = analog_share(f, a1);
            }
            continue;
        }
        uint32_t analog_pair;
        std::memcpy(&analog_pair, &p->ao0, 4);
        const bool analog = analog_pair != 0;
        const int a0 = int16_t(uint16_t(analog_pair));
        const int a1 = int16_t(uint16_t(analog_pair >> 16));
        const uint64_t lanes = EXPAND.v[p->digi];
        if (t < 8 - f) {
            cur |= lanes & tick_lanes(f, t);
            if (analog) {
                acc0 += analog_share(t, a0);
                acc1 += analog_share(t, a1);
            }
            f += t;
            continue;
        }
        uint32_t r = t;
        if (f > 0) {
            const uint32_t l = 8 - f;
            cur |= lanes & tick_lanes(f, l);
            // Outputs at 0 for the whole word (the usual case) need no conversion.
            const uint32_t codes = (analog || (acc0 | acc1) != 0)
                                       ? word_codes(acc0 + analog_share(l, a0), acc1 + analog_share(l, a1))
                                       : zero_codes;
            w.offer(cur, codes, 1);
            r = t - l;
        }
        const uint32_t whole = r >> 3;
        f = r & 7;
        if (whole > 0) w.offer(lanes, analog ? word_codes(a0, a1) : zero_codes, whole);
        cur = lanes & tick_lanes(0, f);
        acc0 = analog ? analog_share(f, a0) : 0;
        acc1 = analog ? analog_share(f, a1) : 0;
    }

    // The ticks of all pulses: every completed word but the padded ones holds 8 of them, the
    // current word f.
    print_high_len(8 * (w.words + w.pending_words() - marker_words - padded) + f);

    // Pad the last word with the last element's state, whatever its ticks.
    if (f > 0) {
        const Pulse& fin = pulses.back();
        const uint32_t l = 8 - f;
        cur |= EXPAND.v[fin.digi] & tick_lanes(f, l);
        w.offer(cur, word_codes(acc0 + analog_share(l, fin.ao0), acc1 + analog_share(l, fin.ao1)), 1);
    }
    if (!w.has_pending()) w.offer(0, word_codes(0, 0), 1);  // ended with a marker at a word boundary
    w.write_end();

    platform::flush_cache(region, w.position());
    std::cout << "time: digi high->low  " << double(std::clock() - started) / CLOCKS_PER_SEC << std::endl;

    result.nBytes = uint32_t(w.position() - region);
    result.nPulses = w.commands;
    result.wholeTicks = w.words;
    result.dataRate = double(result.nPulses) / double(result.wholeTicks) * double(result.nBytes) / double(result.nPulses);
    return result;
}

}  // namespace

SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot) {
    const std::clock_t started = std::clock();
    std::lock_guard<std::mutex> guard(code_tables_lock);
    prepare_code_tables(Analog_calibration);
    return encode(pulses, final, n_runs, mapper.addr, slot, started);
}

}  // namespace reference_encoder
