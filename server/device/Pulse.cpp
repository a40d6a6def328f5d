// The pulse sequence encoder.
#include "device/Pulse.h"

#include "hardware/memory_commands.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "common/CpuTime.h"
#include "hardware/registers.h"
#include "platform/platform.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "words are handled as 64-bit integers whose byte i is channel i");

// ---------------------------------------------------------------------------------------------
// Words and commands
// ---------------------------------------------------------------------------------------------

namespace {

using memcmd::HDR_COUNT_MASK;
using memcmd::HDR_END;
using memcmd::HDR_MARKER;
using memcmd::HDR_MASKED;

constexpr uint64_t ONES = 0x0101010101010101ull;

// Channel bytes of a whole word of one digital state: byte i = 0xFF when bit i is set.
struct ExpandTable {
    uint64_t v[256];
    constexpr ExpandTable() : v() {
        for (unsigned d = 0; d < 256; ++d)
            for (unsigned i = 0; i < 8; ++i)
                if (d & (1u << i)) v[d] |= uint64_t(0xFF) << (8 * i);
    }
};
constexpr ExpandTable EXPAND;

// Bits of ticks [0, k) in every channel byte.
struct BelowTable {
    uint64_t v[9];
    constexpr BelowTable() : v() {
        for (unsigned k = 0; k <= 8; ++k) v[k] = ((1u << k) - 1u) * ONES;
    }
};
constexpr BelowTable BELOW;

// floor(length * value / 8): arithmetic shift, so negative values round down.
inline int32_t share(uint32_t length, int32_t value) { return (int32_t(length) * value) >> 3; }

// The channel part of a command by change mask: which channel bytes to pack (in order; 0x80: a
// zero byte), the header's masked-form bit with the mask byte above it, where the channel bytes
// start and how many there are. All eight changed: the unmasked form, whose first channel byte
// takes the mask byte's place.
struct PackTable {
    struct Entry {
        uint64_t pick = 0;
        uint16_t head = 0;
        uint8_t begin = 0;
        uint8_t n = 0;
        uint32_t pad = 0;
    } e[256];
    constexpr PackTable() : e() {
        for (uint32_t mask = 0; mask < 256; ++mask) {
            Entry& x = e[mask];
            unsigned n = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (mask & (1u << i)) x.pick |= uint64_t(i) << (8 * n++);
            for (unsigned j = n; j < 8; ++j) x.pick |= uint64_t(0x80) << (8 * j);
            x.head = uint16_t((mask == 0xFF ? 0 : HDR_MASKED) | mask << 8);
            x.begin = uint8_t(mask == 0xFF ? 1 : 2);
            x.n = uint8_t(n);
        }
    }
};
constexpr PackTable PACK;

// The tail of a command, its codes and count, by which code bytes changed (bit i: byte i of the
// two codes, code 0 first) and by the count's width code: the header's code and count bits, the
// tail's bytes and the codes' among them, and how to pack it: the shift of the 32-bit code pair
// (the count follows the codes), or the bytes to pick from the NEON codes (bytes 0-7) and the
// count (bytes 8-11; 0x80: a zero byte).
struct TailTable {
    struct Entry {
        uint64_t pick = 0;
        uint8_t header = 0, bytes = 0, code_bytes = 0, shift = 0;
        uint32_t pad = 0;
    } e[16][4];
    constexpr TailTable() {
        for (uint32_t changed = 0; changed < 16; ++changed) {
            uint32_t diff = 0;
            for (unsigned i = 0; i < 4; ++i)
                if (changed & (1u << i)) diff |= 0xFFu << (8 * i);
            const uint32_t code0 = memcmd::code0_present(diff, 0), code1 = memcmd::code1_present(diff, 0);
            for (unsigned w = 0; w < 4; ++w) {
                Entry& x = e[changed][w];
                x.header =
                    uint8_t(code0 * memcmd::HDR_CODE0 | code1 * memcmd::HDR_CODE1 | w << memcmd::HDR_COUNT_SHIFT);
                x.code_bytes = uint8_t(2 * (code0 + code1));
                x.bytes = uint8_t(x.code_bytes + memcmd::count_bytes(w));
                x.shift = uint8_t((code0 ^ 1) << 4);  // code 1 first when code 0 is absent
                unsigned n = 0;
                for (unsigned i = 0; i < 4; ++i)
                    if (i < 2 ? code0 : code1) x.pick |= uint64_t(i + (i & 2)) << (8 * n++);
                for (unsigned i = 0; i < memcmd::count_bytes(w); ++i) x.pick |= uint64_t(8 + i) << (8 * n++);
                for (; n < 8; ++n) x.pick |= uint64_t(0x80) << (8 * n);
            }
        }
    }
    const Entry& at(uint32_t code_bytes, uint32_t count) const {
        return e[code_bytes][memcmd::COUNT_FIELDS.code[memcmd::leading_zeros(count)]];
    }
};
constexpr TailTable TAIL;

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store16(uint8_t* p, uint32_t v) {
    const uint16_t h = uint16_t(v);
    std::memcpy(p, &h, 2);
}
inline void store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// A word's channel bytes (byte i: output i, bit j: tick j) and the few operations the pulse loop
// does on them: in a NEON d-register on the board, in a 64-bit register elsewhere.
#if defined(__ARM_NEON)
// Core <-> NEON moves of one instruction each, which the compiler otherwise makes a store and a
// load through the stack.
inline uint32_t low_half(uint8x8_t v) {
    uint32_t r;
    asm("vmov.u16 %0, %P1[0]" : "=r"(r) : "w"(v));
    return r;
}
inline int32x2_t pair(int32_t lo, int32_t hi) {
    int32x2_t v;
    asm("vmov %P0, %1, %2" : "=w"(v) : "r"(lo), "r"(hi));
    return v;
}
using Word = uint8x8_t;
inline Word to_word(uint64_t v) { return vcreate_u8(v); }
inline uint64_t from_word(Word w) { return vget_lane_u64(vreinterpret_u64_u8(w), 0); }
inline Word expand(uint8_t digi) { return vld1_u8(reinterpret_cast<const uint8_t*>(&EXPAND.v[digi])); }
// Ticks [0, f) from `cur`, the others from `lanes`.
inline Word merge_ticks(Word cur, Word lanes, uint32_t f) {
    return vbsl_u8(vld1_u8(reinterpret_cast<const uint8_t*>(&BELOW.v[f])), cur, lanes);
}
// Each channel 0xFF when its bit `tick` is set: the level it holds after that tick.
inline Word hold_levels(Word bits, uint32_t tick) { return vtst_u8(bits, vdup_n_u8(uint8_t(1u << tick))); }
// Both DAC codes as they leave the conversion: code 0 in bytes 0-1, code 1 in bytes 4-5, zeros
// between.
using Codes = uint8x8_t;
inline Codes to_codes(uint32_t v) { return vcreate_u8(uint64_t(v & 0xFFFF) | uint64_t(v >> 16) << 32); }
inline uint32_t from_codes(Codes c) {
    const uint64_t v = vget_lane_u64(vreinterpret_u64_u8(c), 0);
    return uint32_t(v & 0xFFFF) | uint32_t(v >> 32) << 16;
}
// Bit i (0-7) set when channel byte i differs, bit 8 + i when code byte i does: byte
// comparisons, weights, three pairwise adds.
inline uint32_t change_mask(Word bits, Codes codes, Word ref, Codes ref_codes) {
    const uint8x8_t x = veor_u8(bits, ref), y = veor_u8(codes, ref_codes);
    const uint8x8_t mx = vand_u8(vtst_u8(x, x), vcreate_u8(0x8040201008040201ull));
    const uint8x8_t my = vand_u8(vtst_u8(y, y), vcreate_u8(0x0000080400000201ull));
    uint8x8_t m = vpadd_u8(mx, my);
    m = vpadd_u8(m, m);
    m = vpadd_u8(m, m);
    return low_half(m);
}
// Stores v at p (8 bytes written) and returns p + n: one store with the address's increment.
inline uint8_t* store_advance(uint8_t* p, uint8x8_t v, uint32_t n) {
    asm("vst1.8 {%P2}, [%0], %3" : "+r"(p), "=m"(*reinterpret_cast<uint8_t(*)[8]>(p)) : "w"(v), "r"(n));
    return p;
}
// Stores the channel bytes of the entry's mask at o (8 bytes written) and returns their end.
inline uint8_t* store_channels(uint8_t* o, Word bits, uint32_t, const PackTable::Entry& e) {
    return store_advance(o, vtbl1_u8(bits, vld1_u8(reinterpret_cast<const uint8_t*>(&e.pick))), e.n);
}
// Stores the tail at p (8 bytes written) and returns its end.
inline uint8_t* store_tail(uint8_t* p, Codes codes, uint32_t count, const TailTable::Entry& t) {
    const uint8x8_t pick = vld1_u8(reinterpret_cast<const uint8_t*>(&t.pick));
    if (__builtin_constant_p(count) && count == 0) return store_advance(p, vtbl1_u8(codes, pick), t.bytes);
    const uint8x8x2_t from = {{codes, vreinterpret_u8_u32(vdup_n_u32(count))}};
    return store_advance(p, vtbl2_u8(from, pick), t.bytes);
}
// Analog values or their sums in a word, output 0 in lane 0: in a NEON d-register.
using Analog = int32x2_t;
inline Analog analog(int32_t a0, int32_t a1) { return pair(a0, a1); }
inline Analog analog_of(const Pulse* p) {
    uint32_t both;
    std::memcpy(&both, &p->ao0, 4);
    return vget_low_s32(vmovl_s16(vreinterpret_s16_u32(vdup_n_u32(both))));
}
inline int32_t lane(Analog a, int i) { return i == 0 ? vget_lane_s32(a, 0) : vget_lane_s32(a, 1); }
// acc + share(length, a) and share(length, a) in each lane.
inline Analog add_share(Analog acc, uint32_t length, Analog a) {
    return vsra_n_s32(acc, vmul_n_s32(a, int32_t(length)), 3);
}
inline Analog share_of(uint32_t length, Analog a) { return vshr_n_s32(vmul_n_s32(a, int32_t(length)), 3); }
// Ticks of all pulses, a 64-bit sum kept out of the core registers.
struct TickSum {
    uint64x2_t s;  // lane 0; lane 1 takes the same sums and is not read
    explicit TickSum(uint64_t v) : s(vcombine_u64(vcreate_u64(v), vcreate_u64(v))) {}
    void add(uint32_t t) { s = vaddw_u32(s, vdup_n_u32(t)); }
    uint64_t value() const { return vgetq_lane_u64(s, 0); }
};
#else
using Word = uint64_t;
inline Word to_word(uint64_t v) { return v; }
inline uint64_t from_word(Word w) { return w; }
inline Word expand(uint8_t digi) { return EXPAND.v[digi]; }
inline Word merge_ticks(Word cur, Word lanes, uint32_t f) { return ((cur ^ lanes) & BELOW.v[f]) ^ lanes; }
inline Word hold_levels(Word bits, uint32_t tick) { return ((bits >> tick) & ONES) * 0xFF; }
using Codes = uint32_t;
inline Codes to_codes(uint32_t v) { return v; }
inline uint32_t from_codes(Codes c) { return c; }
// Bit i (0-7) set when channel byte i differs, bit 8 + i when code byte i does: one byte
// comparison (SSE2), or per 32 bits the high bit of each non-zero byte gathered into bits 28-31
// by one multiply without carries.
inline uint32_t change_mask(Word bits, Codes codes, Word ref, Codes ref_codes) {
#if defined(__SSE2__)
    const __m128i a = _mm_unpacklo_epi64(_mm_cvtsi64_si128(int64_t(bits)), _mm_cvtsi32_si128(int32_t(codes)));
    const __m128i b = _mm_unpacklo_epi64(_mm_cvtsi64_si128(int64_t(ref)), _mm_cvtsi32_si128(int32_t(ref_codes)));
    return ~uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0xFFFu;
#else
    auto nonzero4 = [](uint32_t x) {
        const uint32_t high = (((x & 0x7F7F7F7Fu) + 0x7F7F7F7Fu) | x) & 0x80808080u;
        return (high * 0x00204081u) >> 28;
    };
    const uint64_t x = bits ^ ref;
    return nonzero4(uint32_t(x)) | nonzero4(uint32_t(x >> 32)) << 4 | nonzero4(codes ^ ref_codes) << 8;
#endif
}
// The changed bytes packed by a network of three stages: those to keep, then to move down by
// one, two and four places.
struct CompressTable {
    uint64_t keep[256] = {}, move[256][3] = {};
    constexpr CompressTable() {
        for (uint32_t mask = 0; mask < 256; ++mask) {
            uint32_t m = mask, zeros_right = (~m << 1) & 0xFFu;
            for (unsigned stage = 0; stage < 3; ++stage) {
                uint32_t prefix = zeros_right ^ (zeros_right << 1);
                prefix ^= prefix << 2;
                prefix ^= prefix << 4;
                prefix &= 0xFFu;
                const uint32_t moving = prefix & m;
                m = ((m ^ moving) | (moving >> (1u << stage))) & 0xFFu;
                zeros_right &= ~prefix;
                for (unsigned i = 0; i < 8; ++i)
                    if (moving & (1u << i)) move[mask][stage] |= uint64_t(0xFF) << (8 * i);
            }
            for (unsigned i = 0; i < 8; ++i)
                if (mask & (1u << i)) keep[mask] |= uint64_t(0xFF) << (8 * i);
        }
    }
};
constexpr CompressTable COMPRESS;
inline uint8_t* store_channels(uint8_t* o, Word bits, uint32_t mask, const PackTable::Entry& e) {
    uint64_t v = bits & COMPRESS.keep[mask];
    for (unsigned stage = 0; stage < 3; ++stage) {
        const uint64_t t = v & COMPRESS.move[mask][stage];
        v = (v ^ t) | (t >> (8u << stage));
    }
    std::memcpy(o, &v, 8);
    return o + e.n;
}
inline uint8_t* store_tail(uint8_t* p, Codes codes, uint32_t count, const TailTable::Entry& t) {
    store32(p, codes >> t.shift);
    store32(p + t.code_bytes, count);
    return p + t.bytes;
}
struct Analog {
    int32_t v0, v1;
};
inline Analog analog(int32_t a0, int32_t a1) { return Analog{a0, a1}; }
inline Analog analog_of(const Pulse* p) { return Analog{p->ao0, p->ao1}; }
inline int32_t lane(Analog a, int i) { return i == 0 ? a.v0 : a.v1; }
inline Analog add_share(Analog acc, uint32_t length, Analog a) {
    return Analog{acc.v0 + share(length, a.v0), acc.v1 + share(length, a.v1)};
}
inline Analog share_of(uint32_t length, Analog a) { return Analog{share(length, a.v0), share(length, a.v1)}; }
struct TickSum {
    uint64_t s;
    explicit TickSum(uint64_t v) : s(v) {}
    void add(uint32_t t) { s += t; }
    uint64_t value() const { return s; }
};
#endif

// DAC codes of both outputs: clamp(gain * v + offset, 0, 0x3FFF0000) >> 16 each, exactly.
struct CodeRule {
#if defined(__ARM_NEON)
    int64x2_t offset;
    int32x2_t gain;
    explicit CodeRule(const AnalogCalibDataCorr& c)
        : offset(vcombine_s64(vcreate_s64(uint64_t(int64_t(c.offset0))), vcreate_s64(uint64_t(int64_t(c.offset1))))),
          gain(vcreate_s32(uint64_t(uint32_t(c.gain0)) | uint64_t(uint32_t(c.gain1)) << 32)) {}
    // Both at once: a widening multiply, an add, a saturating narrowing shift, a minimum.
    Codes operator()(Analog v) const {
        const uint32x2_t c = vmin_u32(vqshrun_n_s64(vaddq_s64(vmull_s32(v, gain), offset), 16), vdup_n_u32(0x3FFF));
        return vreinterpret_u8_u32(c);
    }
#else
    AnalogCalibDataCorr cal;
    explicit CodeRule(const AnalogCalibDataCorr& c) : cal(c) {}
    Codes operator()(Analog v) const { return ANALOG_TO_BYTES::codes(int16_t(v.v0), int16_t(v.v1), cal); }
#endif
};

void print_high_len(uint64_t sum) {
    std::cout << "high len: " << sum << "|" << ((sum + 7) & ~uint64_t(7)) << std::endl;
}

}  // namespace

#define ENCODER_INLINE inline __attribute__((always_inline))

// The writer at work: the state of Writer, with the reference word as a Word.
struct SequenceEncoder::Emitter {
    uint8_t* out;
    uint8_t* head;
    uintptr_t check;
    Word ref;
    Codes ref_codes;
    uint32_t words;
    uint32_t commands;
    SequenceEncoder* enc;

    Emitter(const Writer& s, SequenceEncoder* e)
        : out(s.out),
          head(s.head),
          check(s.check),
          ref(to_word(s.ref_bits)),
          ref_codes(to_codes(s.ref_codes)),
          words(s.words),
          commands(s.commands),
          enc(e) {}
    Writer state() const { return Writer{out, head, check, from_word(ref), from_codes(ref_codes), words, commands}; }

    // Opens a command for the word (bits, codes) played count + 1 times, `changed` its bytes that
    // differ from the reference (change_mask); the open one is complete. kChecked false: the
    // caller knows that the command ends below `check`.
    template <bool kChecked = true>
    ENCODER_INLINE void open(Word bits, Codes codes, uint32_t changed, uint32_t count, uint32_t flags) {
        uint8_t* o = out;
        if (kChecked && __builtin_expect(uintptr_t(o) >= check, 0)) {
            const Placed placed = enc->place(o, head, commands);
            o = placed.out;
            check = placed.check;
        }
        const uint32_t mask = changed & 0xFF;
        const PackTable::Entry& e = PACK.e[mask];
        const TailTable::Entry& t = TAIL.at(changed >> 8, count);
        store16(o, e.head | flags | t.header);
        out = store_tail(store_channels(o + e.begin, bits, mask, e), codes, count, t);
        head = o;
        ref = bits;
        ref_codes = codes;
        words = count + 1;
        ++commands;
    }

    // Offers a completed word played n times (1 <= n < CMD_MAX_WORDS): merged into the open
    // command when equal and within the count limit (its count field rewritten), else a new one.
    template <bool kChecked = true>
    ENCODER_INLINE void offer(Word bits, Codes codes, uint32_t n) {
        const uint32_t changed = change_mask(bits, codes, ref, ref_codes);
        // words - 1 < CMD_MAX_WORDS - n: a command is open and words + n <= CMD_MAX_WORDS.
        if (changed == 0 && words - 1 < CMD_MAX_WORDS - n) {
            words += n;
            const unsigned lz = memcmd::leading_zeros(words - 1);
            uint8_t* const at = out - memcmd::count_width(*head);
            *head = uint8_t((*head & ~HDR_COUNT_MASK) | memcmd::COUNT_FIELDS.header[lz]);
            store32(at, words - 1);
            out = at + memcmd::COUNT_FIELDS.bytes[lz];
            return;
        }
        open<kChecked>(bits, codes, changed, n - 1, 0);
    }

    // A marker word: never merged with the next word.
    template <bool kChecked = true>
    ENCODER_INLINE void marker(Word bits, Codes codes) {
        open<kChecked>(bits, codes, change_mask(bits, codes, ref, ref_codes), 0, HDR_MARKER);
        words = 0;
    }
};

Full_Pattern::Full_Pattern() { analog.setWithCalibration(0, 0); }

Full_Pattern::Full_Pattern(uint32_t t, uint8_t digi, int16_t a0, int16_t a1) : ticks(t), ao0(a0), ao1(a1) {
    std::memcpy(pattern, &EXPAND.v[digi], 8);
    analog.setWithCalibration(a0, a1);
}

void Full_Pattern::set_patterns(uint8_t start, uint8_t length, uint8_t digi, int16_t a0, int16_t a1) {
    if (length == 0 || start >= 8) return;
    if (length > 8 - start) length = uint8_t(8 - start);
    const uint64_t w = load64(pattern) | (EXPAND.v[digi] & BELOW.v[start + length] & ~BELOW.v[start]);
    std::memcpy(pattern, &w, 8);
    ao0 = int16_t(uint16_t(ao0 + share(length, a0)));
    ao1 = int16_t(uint16_t(ao1 + share(length, a1)));
    analog.setWithCalibration(ao0, ao1);
}

uint32_t set_cmd_bytes(uint8_t (&buf)[CMD_MAX_BYTES], uint8_t& header, COUNT_TO_BYTES count, const uint8_t* pattern,
                       const uint8_t* ref_pattern, ANALOG_TO_BYTES analog, ANALOG_TO_BYTES ref_analog) {
    uint8_t tmp[CMD_MAX_BYTES + 8] = {};
    const Word ref = to_word(load64(ref_pattern)), bits = to_word(load64(pattern));
    SequenceEncoder::Emitter w(SequenceEncoder::Writer{tmp, tmp, UINTPTR_MAX, 0, ref_analog.value, 0, 0}, nullptr);
    w.ref = ref;
    const Codes codes = to_codes(analog.value);
    w.open(bits, codes, change_mask(bits, codes, ref, w.ref_codes), count.value, 0);
    const uint32_t len = uint32_t(w.out - tmp);
    header = tmp[0];
    std::memcpy(buf + 1, tmp + 1, len - 1);
    return len;
}

// ---------------------------------------------------------------------------------------------
// The encoder
// ---------------------------------------------------------------------------------------------

SequenceEncoder::SequenceEncoder(const AnalogCalibDataCorr& cal, MemoryMapper mapper, sequences_t slot,
                                 Full_Pattern final, uint64_t n_runs)
    : cal_(cal), window_(mapper.addr), valid_(slot <= 1), final_(final), n_runs_(n_runs), started_at_(cpu_seconds()) {
    region_ = window_pos_ = window_ + (slot == 1 ? reg::SEQMEM_SLOT1_OFFSET : 0);
    w_ = Writer{stage_, stage_, 0, 0, memcmd::START_CODES, 0, 0};
    if (!valid_) {
        std::cout << "ERROR - sequence not defined" << std::endl;
        return;
    }
    if (window_ == nullptr) out_of_window(0, region_);  // not mapped: nothing can be written
    w_.check = check_limit();
}

uintptr_t SequenceEncoder::check_limit() const {
    const uintptr_t to_limit = uintptr_t(window_) + reg::SEQMEM_LEN - uintptr_t(window_pos_);
    return uintptr_t(stage_) + std::min<uintptr_t>(STAGE_BYTES, to_limit);
}

// The open command, which ends at `end`, is complete: checked against the window's end, and the
// staging buffer copied out in whole blocks once it is full.
__attribute__((noinline)) SequenceEncoder::Placed SequenceEncoder::place(uint8_t* end, const uint8_t* head,
                                                                         uint32_t commands) {
    // The command must end below the window's end.
    if (commands != 0 && uintptr_t(in_window(end)) >= uintptr_t(window_) + reg::SEQMEM_LEN) {
        copy_out(head);
        out_of_window(uint32_t(end - head), in_window(head));
    }
    const size_t staged = size_t(end - stage_);
    if (staged >= STAGE_BYTES) {
        const size_t done = staged & ~(STAGE_ALIGN - 1);
        copy_out(stage_ + done);
        std::memmove(stage_, stage_ + done, staged - done);
        window_pos_ += done;
        end -= done;
    }
    return Placed{end, check_limit()};
}

// Copies the staged bytes before `end` to the window: aligned 8-byte stores, then a 4-, 2- and
// 1-byte store as needed (stage_[0] goes to an address aligned to STAGE_ALIGN).
void SequenceEncoder::copy_out(const uint8_t* end) {
    const size_t n = size_t(end - stage_);
    size_t done = n & ~size_t(7);
    if (done != 0) platform::window_write(window_pos_, stage_, done, 8);
    for (size_t unit = 4; unit != 0; unit >>= 1) {
        if (n - done >= unit) {
            platform::window_write(window_pos_ + done, stage_ + done, unit, unit);
            done += unit;
        }
    }
}

// Reports a command that does not fit the mapped window and throws.
void SequenceEncoder::out_of_window(uint32_t len, const uint8_t* at) {
    std::cout << "Memory ERROR: Size of cp_array (B): " << len << std::endl;
    std::cout << "RAM start address: " << static_cast<const void*>(at) << std::endl;
    std::cout << "Start address of FPGA memory range mapping: " << static_cast<const void*>(window_) << std::endl;
    throw std::out_of_range("std::out_of_range -> Out of mapped memory");
}

void SequenceEncoder::add(const Pulse* pulses, size_t count) {
    if (!valid_ || count == 0) return;
    last_ = pulses[count - 1];
    const Pulse* p = pulses;
    const Pulse* const end = pulses + count;
    if (!started_) {
        if (n_runs_ == 0) {
            for (; p != end; ++p) sum_ += p->ticks;
            return;
        }
        // Zero-tick pulses ahead of the first one with ticks: markers among them all become the
        // same word (outputs low, start codes), written once ticks are known to follow.
        for (; p != end && p->ticks == 0; ++p) marker_words_ += p->digi == 0xAA;
        if (p == end) return;
        started_ = true;
        Emitter w(w_, this);
        for (uint64_t i = 0; i < marker_words_; ++i) w.marker(to_word(0), to_codes(memcmd::START_CODES));
        w_ = w.state();
    }
    run(pulses, p, end);
}

// The pulse loop, on local copies of the state.
void SequenceEncoder::run(const Pulse* const begin, const Pulse* p, const Pulse* const end) {
    const CodeRule codes(cal_);
    Emitter w(w_, this);
    uint32_t f = f_;                    // ticks of the current word covered
    Word cur = to_word(cur_);           // its channel bytes (ticks below f)
    Analog acc = analog(acc0_, acc1_);  // its analog sums
    TickSum sum(sum_);
    uint64_t markers = 0, padded = 0;
    // The analog values of the last pulse with ticks before a marker, found by looking back; a
    // run of zero-tick pulses is looked through once (`found` holds the answer for the marker at
    // `found_for`, and before the piece's first marker the answer of earlier pieces).
    const Pulse* found_for = nullptr;
    int32_t found0 = last_a0_, found1 = last_a1_;
    auto look_back = [&](const Pulse* q) {
        while (q != begin && q[-1].ticks == 0 && q - 1 != found_for) --q;
        if (q != begin && q - 1 != found_for) {
            found0 = q[-1].ao0;
            found1 = q[-1].ao1;
        }
    };
    // Pulses up to `stop`; unchecked (std::false_type) when their commands cannot reach the
    // staging buffer's check, whose test then drops out of the loop.
    auto pulses = [&](const Pulse* const stop, auto checked) __attribute__((always_inline)) {
        constexpr bool kChecked = decltype(checked)::value;
        for (; p != stop; ++p) {
            const uint32_t t = p->ticks;
            sum.add(t);
            if (__builtin_expect(t == 0, 0)) {
                if (p->digi != 0xAA) continue;
                // A marker word of the held levels and the last analog values.
                look_back(p);
                found_for = p;
                ++markers;
                if (f == 0) {
                    w.template marker<kChecked>(hold_levels(w.ref, 7), w.ref_codes);
                } else {
                    // The word is completed with the held levels; its ticks start the next word again.
                    ++padded;
                    const Word hold = hold_levels(cur, f - 1);
                    const Analog found = analog(found0, found1);
                    w.template offer<kChecked>(merge_ticks(cur, hold, f), codes(add_share(acc, 8 - f, found)), 1);
                    w.template marker<kChecked>(hold, codes(found));
                    cur = hold;
                    acc = share_of(f, found);
                }
                continue;
            }
            const Analog a = analog_of(p);
            const Word lanes = expand(p->digi);
            cur = merge_ticks(cur, lanes, f);
            if (t < 8 - f) {
                acc = add_share(acc, t, a);
                f += t;
                continue;
            }
            uint32_t r = t;
            if (f > 0) {
                const uint32_t l = 8 - f;
                w.template offer<kChecked>(cur, codes(add_share(acc, l, a)), 1);
                r = t - l;
            }
            const uint32_t whole = r >> 3;
            f = r & 7;
            if (whole > 0) w.template offer<kChecked>(lanes, codes(a), whole);
            cur = lanes;
            acc = share_of(f, a);
        }
    };
    // A pulse writes at most two commands.
    constexpr uintptr_t MAX_PER_PULSE = 2 * CMD_MAX_BYTES;
    while (p != end) {
        const uintptr_t out = uintptr_t(w.out);
        const size_t room = w.check > out ? (w.check - out) / MAX_PER_PULSE : 0;
        const size_t left = size_t(end - p);
        if (room >= 16)
            pulses(p + std::min(room, left), std::false_type());
        else
            pulses(p + std::min<size_t>(16, left), std::true_type());
    }
    look_back(end);
    last_a0_ = found0;
    last_a1_ = found1;
    w_ = w.state();
    f_ = f;
    cur_ = from_word(cur);
    acc0_ = lane(acc, 0);
    acc1_ = lane(acc, 1);
    sum_ = sum.value();
    marker_words_ += markers;
    padded_ += padded;
}

SequenceControlData SequenceEncoder::finish() {
    SequenceControlData result;
    if (!valid_) return result;
    print_high_len(sum_);
    if (!started_) {
        // Nothing to play: the final-state command alone.
        stage_[0] = HDR_END | HDR_MASKED | memcmd::HDR_CODE0 | memcmd::HDR_CODE1;
        stage_[1] = 0xFF;
        std::memcpy(stage_ + 2, final_.pattern, 8);
        std::memcpy(stage_ + 10, &final_.analog.value, 4);
        copy_out(stage_ + 14);
        platform::flush_cache(region_, region_ + 14);
        result.nBytes = 14;
        return result;
    }
    const CodeRule codes(cal_);
    Emitter w(w_, this);
    // Pad the last word with the last element's state, whatever its ticks.
    if (f_ > 0) {
        const uint32_t l = 8 - f_;
        w.offer(merge_ticks(to_word(cur_), expand(last_.digi), f_),
                codes(add_share(analog(acc0_, acc1_), l, analog_of(&last_))), 1);
    }
    uint64_t empty_words = 0;
    if (w.words == 0) {
        w.offer(to_word(0), codes(analog(0, 0)), 1);  // ended with a marker at a word boundary
        empty_words = 1;
    }
    w_ = w.state();
    *w_.head |= HDR_END;
    if (uintptr_t(in_window(w_.out)) >= uintptr_t(window_) + reg::SEQMEM_LEN) {
        copy_out(w_.head);
        out_of_window(uint32_t(w_.out - w_.head), in_window(w_.head));
    }
    copy_out(w_.out);
    uint8_t* const written_end = in_window(w_.out);
    platform::flush_cache(region_, written_end);
    std::cout << "time: digi high->low  " << cpu_seconds() - started_at_ << std::endl;

    result.nBytes = uint32_t(written_end - region_);
    result.nPulses = w_.commands;
    // Every word holds 8 ticks of the pulses but the padded ones (the last word, and those
    // completed for a marker inside them), the marker words and a closing empty word.
    result.wholeTicks = (sum_ + 7) / 8 + marker_words_ + padded_ + empty_words;
    result.dataRate =
        double(result.nPulses) / double(result.wholeTicks) * double(result.nBytes) / double(result.nPulses);
    return result;
}

SequenceControlData highToLow(const AnalogCalibDataCorr& cal, const std::vector<Pulse>& pulses, Full_Pattern final,
                              uint64_t n_runs, MemoryMapper mapper, sequences_t slot) {
    SequenceEncoder encoder(cal, mapper, slot, final, n_runs);
    encoder.add(pulses.data(), pulses.size());
    return encoder.finish();
}

SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot) {
    return highToLow(Analog_calibration, pulses, final, n_runs, mapper, slot);
}
