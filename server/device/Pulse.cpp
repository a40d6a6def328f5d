// The pulse sequence encoder and the calibrated analog conversion.
#include "device/Pulse.h"

#include "hardware/memory_commands.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "common/CpuTime.h"
#include "hardware/registers.h"
#include "platform/platform.h"

#if defined(__x86_64__) && defined(__SSE2__)
#define ENCODER_X86_SSE2 1
#include <emmintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "words are handled as 64-bit integers whose byte i is channel i");

// ---------------------------------------------------------------------------------------------
// Analog calibration
// ---------------------------------------------------------------------------------------------

namespace {

// round() with halves away from zero, into 32 bits; false when x is not finite or out of range.
bool round_to_i32(double x, int32_t& out) {
    if (!(x > -2147483648.5 && x < 2147483647.5)) return false;  // also rejects NaN
    out = static_cast<int32_t>(std::llround(x));
    return true;
}

}  // namespace

bool AnalogCalibDataCorr::coefficients(double dc_offset, double gain_error_corr, int32_t& gain, int32_t& offset) {
    int32_t g, o;
    if (!round_to_i32(gain_error_corr * (-0.25) * 65536, g)) return false;
    if (!round_to_i32((gain_error_corr * dc_offset + 8192) * 65536, o)) return false;
    gain = g;
    offset = o;
    return true;
}

bool AnalogCalibDataCorr::deriveCoefficients() {
    int32_t g0, o0, g1, o1;
    if (!coefficients(dc_offset_a0, gain_error_corr_a0, g0, o0)) return false;
    if (!coefficients(dc_offset_a1, gain_error_corr_a1, g1, o1)) return false;
    gain0 = g0;
    offset0 = o0;
    gain1 = g1;
    offset1 = o1;
    return true;
}

AnalogCalibDataCorr::AnalogCalibDataCorr(const std::string& path) {
    auto set_defaults = [this] {
        dc_offset_a0 = 0.0;
        dc_offset_a1 = 0.0;
        gain_error_corr_a0 = 1.0;
        gain_error_corr_a1 = 1.0;
    };
    try {
        std::ifstream file(path);
        if (!file.is_open()) {
            std::cout << "no calibration file for analog outputs found" << std::endl;
        } else {
            bool seen[4] = {false, false, false, false};
            double* fields[4] = {&dc_offset_a0, &dc_offset_a1, &gain_error_corr_a0, &gain_error_corr_a1};
            static const char* const keys[4] = {"dc_offset_a0", "dc_offset_a1", "gain_error_corr_a0",
                                                "gain_error_corr_a1"};
            bool unknown_key = false;
            std::string line;
            while (std::getline(file, line)) {
                size_t eq = line.find('=');
                if (eq == std::string::npos) continue;
                std::string key = line.substr(0, eq);
                int k = 0;
                while (k < 4 && key != keys[k]) ++k;
                if (k == 4) {
                    std::cerr << "std::invalid_argument -> " << key << " not found" << std::endl;
                    unknown_key = true;
                    break;
                }
                std::istringstream value(line.substr(eq + 1));
                value.imbue(std::locale::classic());
                double v = 0.0;
                value >> v;  // unreadable: 0; beyond the double range: +-max (refused below)
                *fields[k] = v;
                seen[k] = true;
            }
            if (unknown_key) {
                set_defaults();
            } else if (seen[0] && seen[1] && seen[2] && seen[3]) {
                std::cout << "analog calibration file successfully read" << std::endl;
            } else {
                std::cout << "analog calibration file corrupted: " << seen[0] << " | " << seen[1] << " | " << seen[2]
                          << " | " << seen[3] << std::endl;
                set_defaults();
            }
        }
    } catch (...) {
        // Out of memory on an absurd line, or a stream exception: the neutral conversion.
        set_defaults();
    }
    if (!deriveCoefficients()) {
        std::cout << "analog calibration values out of range" << std::endl;
        set_defaults();
        deriveCoefficients();
    }
}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal) {
    value = codes(ao0, ao1, cal);
}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1) {
    setWithCalibration(ao0, ao1, Analog_calibration);
}

// ---------------------------------------------------------------------------------------------
// Words and commands
// ---------------------------------------------------------------------------------------------

namespace {

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint32_t START_REF_CODES = memcmd::START_CODES;
using memcmd::HDR_CODE0;
using memcmd::HDR_CODE1;
using memcmd::HDR_COUNT1;
using memcmd::HDR_COUNT2;
using memcmd::HDR_COUNT4;
using memcmd::HDR_END;
using memcmd::HDR_MARKER;
using memcmd::HDR_MASKED;

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

// Bits of ticks [start, 8) in every channel byte: what completes a word.
struct RestTable {
    uint64_t v[8];
    constexpr RestTable() : v() {
        for (unsigned s = 0; s < 8; ++s) v[s] = LANES.v[s][8 - s];
    }
};
constexpr RestTable REST;

// floor(length * value / 8): arithmetic shift, so negative values round down.
inline int analog_share(uint32_t length, int value) { return (int(length) * value) >> 3; }
// The same in registers of the address width (no widening before a table index).
inline intptr_t analog_share_w(uintptr_t length, intptr_t value) { return (intptr_t(length) * value) >> 3; }

// Bit i set when byte i of x is non-zero.
inline uint32_t nonzero_bytes(uint64_t x) {
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t high = (((x & LOW7) + LOW7) | x) >> 7;  // bit 8i set when byte i is non-zero
    return uint32_t(((high & ONES) * 0x0102040810204080ull) >> 56);
}

// Each channel 0xFF when its bit `tick` is set: the level it holds after that tick.
inline uint64_t hold_levels(uint64_t bits, uint32_t tick) { return ((bits >> tick) & ONES) * 0xFF; }

// The changed channel bytes of a command, packed to the front of a 64-bit word: for each change
// mask the bytes to keep, then those to move down by one, two and four places (a compress
// network on bytes); where the channel bytes start and end in the command, and the header bit.
struct CompressTable {
    struct Entry {
        uint64_t keep = 0;
        uint64_t move[3] = {0, 0, 0};
        uint8_t begin = 0;   // 2 after the header and mask byte; 1 when all eight changed (no mask)
        uint8_t end = 0;     // begin + changed channels
        uint8_t header = 0;  // HDR_MASKED unless all eight changed
        uint8_t pad[5] = {0, 0, 0, 0, 0};
    } e[256];
    constexpr CompressTable() : e() {
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
                    if (moving & (1u << i)) e[mask].move[stage] |= uint64_t(0xFF) << (8 * i);
            }
            unsigned changed = 0;
            for (unsigned i = 0; i < 8; ++i) {
                if (mask & (1u << i)) {
                    e[mask].keep |= uint64_t(0xFF) << (8 * i);
                    ++changed;
                }
            }
            e[mask].begin = uint8_t(mask == 0xFF ? 1 : 2);
            e[mask].end = uint8_t(e[mask].begin + changed);
            e[mask].header = uint8_t(mask == 0xFF ? 0 : HDR_MASKED);
        }
    }
};
constexpr CompressTable COMPRESS;

// The same packing as one byte shuffle (a table lookup instruction: SSSE3 on x86-64, NEON on the
// instrument's processor): for each change mask the source byte of each packed byte, 0x80 (a
// zero byte) after the last.
struct ShuffleTable {
    struct Entry {
        uint64_t pick = 0;
        uint8_t begin = 0;
        uint8_t end = 0;
        uint8_t header = 0;
        uint8_t pad[5] = {0, 0, 0, 0, 0};
    } e[256];
    constexpr ShuffleTable() : e() {
        for (uint32_t mask = 0; mask < 256; ++mask) {
            unsigned n = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (mask & (1u << i)) e[mask].pick |= uint64_t(i) << (8 * n++);
            for (unsigned j = n; j < 8; ++j) e[mask].pick |= uint64_t(0x80) << (8 * j);
            e[mask].begin = COMPRESS.e[mask].begin;
            e[mask].end = COMPRESS.e[mask].end;
            e[mask].header = COMPRESS.e[mask].header;
        }
    }
};
constexpr ShuffleTable SHUFFLE;

// How the changed channel bytes of a command are packed: the compress network (any processor)
// or one byte shuffle (where the processor has one; the encoder picks at run time on x86-64).
enum class Packing { network, shuffle };

// Which channel bytes of the two words differ, as the processor's byte comparison gives it (no
// instruction spent to turn it into the change mask): on x86-64 bit i set when channel byte i is
// equal, and bits 8-15 set (the upper lanes compare zeros); elsewhere the change mask.
#if defined(ENCODER_X86_SSE2)
constexpr size_t PACKING_BASE = 0xFF00;
inline uint32_t packing_index(uint64_t bits, uint64_t ref_bits) {
    const __m128i eq = _mm_cmpeq_epi8(_mm_cvtsi64_si128(int64_t(bits)), _mm_cvtsi64_si128(int64_t(ref_bits)));
    return uint32_t(_mm_movemask_epi8(eq));
}
constexpr uint32_t packing_mask(uint32_t k) { return ~k & 0xFFu; }
#else
constexpr size_t PACKING_BASE = 0;
inline uint32_t packing_index(uint64_t bits, uint64_t ref_bits) { return nonzero_bytes(bits ^ ref_bits); }
constexpr uint32_t packing_mask(uint32_t k) { return k; }
#endif

// The channel part of a command by packing index (less PACKING_BASE): the byte shuffle that packs
// the changed channel bytes, the header's masked-form bit with the mask byte above it, and where
// the channel bytes start and end. Eight bytes an entry, so that the index needs no scaling of
// its own.
struct ChannelPacking {
    struct Info {
        uint16_t head;
        uint8_t begin;
        uint8_t end;
        uint8_t pad[4];
    };
    uint64_t pick[256];
    Info info[256];

    void fill() {
        for (uint32_t k = 0; k < 256; ++k) {
            const ShuffleTable::Entry& e = SHUFFLE.e[packing_mask(k)];
            pick[k] = e.pick;
            info[k] = Info{uint16_t(e.header | packing_mask(k) << 8), e.begin, e.end, {0, 0, 0, 0}};
        }
    }
};

// The bytes of `bits` that `pick` selects, in its order (Packing::shuffle only).
inline uint64_t shuffle_bytes(uint64_t bits, uint64_t pick) {
#if defined(ENCODER_X86_SSE2)
    __m128i v = _mm_cvtsi64_si128(int64_t(bits));
    const __m128i sel = _mm_cvtsi64_si128(int64_t(pick));
    // pshufb (SSSE3): only reached when the processor reports it (see highToLow).
    asm("pshufb %1, %0" : "+x"(v) : "x"(sel));
    return uint64_t(_mm_cvtsi128_si64(v));
#elif defined(__ARM_NEON)
    return vget_lane_u64(vreinterpret_u64_u8(vtbl1_u8(vcreate_u8(bits), vcreate_u8(pick))), 0);
#else
    uint64_t v = 0;  // not reached: no shuffle on this processor
    for (unsigned j = 0; j < 8; ++j) {
        const unsigned i = unsigned(pick >> (8 * j)) & 0xFFu;
        if (i < 8) v |= ((bits >> (8 * i)) & 0xFFu) << (8 * j);
    }
    return v;
#endif
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

inline void store16(uint8_t* p, uint32_t v) {
    const uint16_t h = uint16_t(v);
    std::memcpy(p, &h, 2);
}

// Room a command needs while it is built: the longest command, and the eight bytes after its
// channel bytes (read and stored back).
constexpr unsigned CMD_BUILD_BYTES = CMD_MAX_BYTES + 8;

// The command without its header and count field: channel bytes and codes after `o`; the header
// (count width 0) goes to `header`. Returns the end. Stores nothing past the returned end, but
// needs CMD_BUILD_BYTES bytes of room.
template <Packing P = Packing::network>
inline __attribute__((always_inline)) uint8_t* build_head(uint8_t* o, uint8_t flags, uint64_t bits, uint64_t ref_bits,
                                                          uint32_t codes, uint32_t ref_codes, uint32_t& header,
                                                          const ChannelPacking* packing = nullptr) {
    const uint64_t changed_bits = bits ^ ref_bits;
    uint32_t h = flags;
    uint8_t* p;
    if constexpr (P == Packing::shuffle) {
        // The header and mask byte, then the packed bytes stored whole (the unmasked form's first
        // channel byte overwrites the mask byte); the bytes the store covers after the last
        // changed one are put back as they were. No changed channel is tested first: the length
        // of such a command (common where few outputs change) then needs no table lookup. The
        // header byte is stored again by the caller with the other fields' bits; those of the
        // mask byte in `header` go nowhere.
        const size_t k = packing_index(bits, ref_bits);
        if (changed_bits == 0) {
            h |= HDR_MASKED;
            o[1] = 0;
            p = o + 2;
        } else {
            const ChannelPacking::Info c = packing->info[k - PACKING_BASE];  // read before the stores
            const uint64_t v = shuffle_bytes(bits, packing->pick[k - PACKING_BASE]);
            store16(o, c.head);
            h |= c.head;
            p = o + c.end;
            const uint64_t after = load64(p);
            store64(o + c.begin, v);
            store64(p, after);
        }
    } else if (changed_bits == 0) {
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
            // then the changed bytes, packed into one word and stored whole; the bytes it covers
            // after the last changed one are put back as they were.
            const CompressTable::Entry& c = COMPRESS.e[mask];
            h |= c.header;
            o[1] = uint8_t(mask);
            uint64_t v = bits & c.keep;
#pragma GCC unroll 3
            for (unsigned stage = 0; stage < 3; ++stage) {
                const uint64_t t = v & c.move[stage];
                v = (v ^ t) | (t >> (8u << stage));
            }
            p = o + c.end;
            const uint64_t after = load64(p);
            store64(o + c.begin, v);
            store64(p, after);
        }
    }
    const uint32_t changed = codes ^ ref_codes;
    if (changed & 0xFFFFu) {
        if (changed > 0xFFFFu) {
            // Both codes changed (the usual case with analog values): one store.
            h |= HDR_CODE0 | HDR_CODE1;
            std::memcpy(p, &codes, 4);
            p += 4;
        } else {
            h |= HDR_CODE0;
            store16(p, codes);
            p += 2;
        }
    } else if (changed > 0xFFFFu) {
        h |= HDR_CODE1;
        store16(p, codes >> 16);
        p += 2;
    }
    header = h;
    return p;
}

// Appends the count field (count = repetitions - 1) to the command whose header is `header` (a
// register, or the byte in place) and whose other fields end at `p`; returns the new end. A count
// of 0xFFFFFFFF is no command at all: nothing is written.
template <typename Header>
inline __attribute__((always_inline)) uint8_t* append_count(Header& header, uint8_t* p, uint32_t count) {
    if (count - 1 < 0xFFu) {  // 1-255: one test for the common width
        header |= HDR_COUNT1;
        *p++ = uint8_t(count);
    } else if (count != 0) {
        if (count <= 0xFFFF) {
            header |= HDR_COUNT2;
            store16(p, count);
            p += 2;
        } else if (count != 0xFFFFFFFFu) {
            header |= HDR_COUNT4;
            std::memcpy(p, &count, 4);
            p += 4;
        }
    }
    return p;
}

// Builds the command for word (bits, codes) played count + 1 times against the reference, header
// with `flags` included, at `o` and returns its end (count < CMD_MAX_WORDS).
inline uint8_t* build_cmd(uint8_t* o, uint8_t flags, uint32_t count, uint64_t bits, uint64_t ref_bits, uint32_t codes,
                          uint32_t ref_codes) {
    uint32_t h;
    uint8_t* const p = append_count(h, build_head(o, flags, bits, ref_bits, codes, ref_codes, h), count);
    o[0] = uint8_t(h);
    return p;
}

inline uint64_t load_pattern(const uint8_t* pattern) {
    uint64_t w;
    std::memcpy(&w, pattern, 8);
    return w;
}

}  // namespace

Full_Pattern::Full_Pattern() { analog.setWithCalibration(0, 0); }

Full_Pattern::Full_Pattern(uint32_t t, uint8_t digi, int16_t a0, int16_t a1) : ticks(t), ao0(a0), ao1(a1) {
    uint64_t w = EXPAND.v[digi];
    std::memcpy(pattern, &w, 8);
    analog.setWithCalibration(a0, a1);
}

void Full_Pattern::set_patterns(uint8_t start, uint8_t length, uint8_t digi, int16_t a0, int16_t a1) {
    if (length == 0 || start >= 8) return;
    if (length > 8 - start) length = uint8_t(8 - start);
    uint64_t w = load_pattern(pattern) | (EXPAND.v[digi] & tick_lanes(start, length));
    std::memcpy(pattern, &w, 8);
    ao0 = int16_t(uint16_t(ao0 + analog_share(length, a0)));
    ao1 = int16_t(uint16_t(ao1 + analog_share(length, a1)));
    analog.setWithCalibration(ao0, ao1);
}

uint32_t set_cmd_bytes(uint8_t (&buf)[CMD_MAX_BYTES], uint8_t& header, COUNT_TO_BYTES count, const uint8_t* pattern,
                       const uint8_t* ref_pattern, ANALOG_TO_BYTES analog, ANALOG_TO_BYTES ref_analog) {
    uint8_t tmp[CMD_BUILD_BYTES] = {};
    const uint32_t len = uint32_t(build_cmd(tmp, 0, count.value, load_pattern(pattern), load_pattern(ref_pattern),
                                            analog.value, ref_analog.value) -
                                  tmp);
    header = tmp[0];
    std::memcpy(buf + 1, tmp + 1, len - 1);
    return len;
}

// ---------------------------------------------------------------------------------------------
// The encoder
// ---------------------------------------------------------------------------------------------

namespace {

// The codes of every 16-bit value of both outputs under one calibration (256 KiB), so that a
// word's codes are two loads; value v at index CODE_ZERO + v. Built on first use and again when
// the coefficients change; an encoder holds code_tables_lock while it uses them.
constexpr intptr_t CODE_ZERO = 32768;
struct CodeTables {
    // The pulse loop's packing of the changed channel bytes, first: at the base address itself.
    ChannelPacking packing;
    bool built = false;
    int32_t gain0 = 0, offset0 = 0, gain1 = 0, offset1 = 0;
    uint16_t code[2][65536];
    // The word assembly's tables beside them, so that one base address serves a batch's first
    // pass: channel bytes of a digital state, and the ticks [0, k) of every channel byte.
    uint64_t expand[256];
    uint64_t below[8];
    // The pulse loop's, for the same reason: the ticks [f, 8) and [s, s + l) of every channel byte.
    uint64_t rest[8];
    uint64_t lanes[8][9];
    // A batch's analog sums go in two lanes of a vector (see assemble_words): a length l in both
    // lanes, by l and by 8 - l; and by whether a pulse completes the word, what of the sums is
    // kept and what they restart from.
    alignas(16) int32_t times[9][4];
    alignas(16) int32_t times_rest[8][4];
    alignas(16) int32_t keep_mask[2][4];
    alignas(16) int32_t keep_base[2][4];
};
CodeTables code_tables;
std::mutex code_tables_lock;

void prepare_code_tables(const AnalogCalibDataCorr& cal) {
    CodeTables& t = code_tables;
    if (t.built && t.gain0 == cal.gain0 && t.offset0 == cal.offset0 && t.gain1 == cal.gain1 && t.offset1 == cal.offset1)
        return;
    for (uint32_t v = 0; v < 65536; ++v) {
        const int16_t value = int16_t(int32_t(v) - int32_t(CODE_ZERO));
        t.code[0][v] = ANALOG_TO_BYTES::code(value, cal.gain0, cal.offset0);
        t.code[1][v] = ANALOG_TO_BYTES::code(value, cal.gain1, cal.offset1);
    }
    for (unsigned d = 0; d < 256; ++d) t.expand[d] = EXPAND.v[d];
    for (unsigned k = 0; k < 8; ++k) t.below[k] = LANES.v[0][k];
    std::memcpy(t.rest, REST.v, sizeof t.rest);
    std::memcpy(t.lanes, LANES.v, sizeof t.lanes);
    t.packing.fill();
    for (int l = 0; l <= 8; ++l)
        for (int j = 0; j < 4; ++j) t.times[l][j] = l;
    for (int l = 0; l < 8; ++l)
        for (int j = 0; j < 4; ++j) t.times_rest[l][j] = 8 - l;
    for (int j = 0; j < 4; ++j) {
        t.keep_mask[0][j] = -1;
        t.keep_mask[1][j] = 0;
        t.keep_base[0][j] = 0;
        t.keep_base[1][j] = int32_t(CODE_ZERO);
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

// Commands near the window's end: each is built in a buffer and copied into the window once it
// is complete, if it ends below the window's end (else nothing of it is written and the encoder
// throws). Far from the end the writer builds commands in place (see CommandWriter).
struct WindowEnd {
    uint8_t* const window;
    uint8_t* const limit;
    uint8_t* out = nullptr;  // where the next command goes; null while the writer is far from the end
    uint8_t buf[CMD_BUILD_BYTES + 8] = {};

    // The writer is about to open a command and the previous one ends at `end` (in the window the
    // first time, in buf after that): places it and returns where to build the next one.
    __attribute__((noinline)) uint8_t* next(const uint8_t* end) {
        if (out == nullptr) {
            out = const_cast<uint8_t*>(end);
        } else {
            place(end);
        }
        return buf;
    }

    // Copies the complete command in buf, which ends at `end`, into the window.
    __attribute__((noinline)) void place(const uint8_t* end) {
        const uint32_t len = uint32_t(end - buf);
        // The command must end below the window's end: off + len < SEQMEM_LEN.
        if (uint64_t(limit - out) <= len) out_of_window(len, out, window);
        std::memcpy(out, buf, len);
        out += len;
    }
};

#define ENCODER_INLINE inline __attribute__((always_inline))

// The codes of a word's analog values. Each is a sum of floor(l * v / 8) over the parts of the
// word, v a 16-bit value and the lengths l adding up to at most 8, so it lies within
// [-32768, 32767] itself: the index needs no wrap-around.
ENCODER_INLINE uint32_t word_codes(const CodeTables& tab, intptr_t a0, intptr_t a1) {
    return uint32_t(tab.code[0][CODE_ZERO + a0]) | uint32_t(tab.code[1][CODE_ZERO + a1]) << 16;
}

// The state of the encoder and its writer that the two passes of a batch carry on (see
// assemble_words and write_words).
struct Batch {
    const Pulse* p;
    uint32_t f;  // ticks of the current word covered so far
    uint64_t cur;
    int acc0;
    int acc1;
    uint64_t sum;
    uint8_t* out;   // end of the open command
    uint8_t* open;  // its header
    uint64_t ref_bits;
    uint32_t ref_codes;
    uint32_t words;  // of the open command
    uint32_t commands;
};

// A word offered to the writer: played count + 1 times.
struct alignas(16) WordRecord {
    uint64_t bits;
    uint32_t codes;
    uint32_t count;
};

// Pulses per batch: their words (32 KiB at most) stay in the first-level cache, and the bytes
// past the last commands are put back once per 1024 pulses.
constexpr size_t BATCH_PULSES = 1024;

#if defined(ENCODER_X86_SSE2)
// How a list's pulses lie against the 8-tick words, looked at on 1024 pulses spread over the list
// (a denser sample of a long list costs a cache miss each): how many stay inside one word.
enum class Shape {
    short_pulses,  // more than 85%: the pulse loop
    // 15-85%: the pulse loop's choices (does a pulse complete the word, does it have whole words,
    // which fields does a command need) follow the data and are mispredicted, and batches, which
    // make none of them, are faster
    mixed,
    // under 15% (none of an empty list): nearly every pulse completes the current word, if one
    // is begun, and has whole words after it; the pulse loop writes both commands in one go
    long_pulses,
};
Shape list_shape(const std::vector<Pulse>& pulses) {
    const size_t stride = pulses.size() / 1024 + 1;
    size_t inside = 0, seen = 0;
    for (size_t i = 0; i < pulses.size(); i += stride, ++seen) inside += pulses[i].ticks < 8;
    if (seen == 0 || inside * 100 > seen * 85) return Shape::short_pulses;
    return inside * 100 >= seen * 15 ? Shape::mixed : Shape::long_pulses;
}

// First pass: the words of the pulses from s.p on, until `stop` or a pulse without ticks (which
// the caller encodes), into `words` (room for two a pulse and one more); returns how many. No
// branch depends on the shape of a pulse: both words it may offer, the one it completes and its
// whole words, are stored, and the position moves past each only if it is offered. At a word
// boundary the completed word is the first of the pulse's whole words and carries them all.
__attribute__((noinline, target("avx2,bmi,bmi2"))) size_t assemble_words(Batch& s, const Pulse* const stop,
                                                                           WordRecord* const words) {
    const CodeTables* tables = &code_tables;
    asm("" : "+r"(tables));  // one base address in a register for all tables
    const CodeTables& tab = *tables;
    auto vec = [](const int32_t* v) __attribute__((always_inline, target("avx2,bmi,bmi2"))) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(v));
    };
    auto codes_of = [&tab](__m128i v) __attribute__((always_inline, target("avx2,bmi,bmi2"))) {
        return uint32_t(tab.code[0][uint32_t(_mm_cvtsi128_si32(v))]) |
               uint32_t(tab.code[1][uint32_t(_mm_extract_epi32(v, 1))]) << 16;
    };
    const Pulse* p = s.p;
    uint64_t f = s.f;  // 64-bit, as all table indices below
    uint64_t cur = s.cur;
    // Both analog sums in one vector, CODE_ZERO added: the code tables' indices as they are (the
    // sums never leave [-32768, 32767], see word_codes).
    __m128i acc = _mm_add_epi32(_mm_set_epi32(0, 0, s.acc1, s.acc0), _mm_set1_epi32(int32_t(CODE_ZERO)));
    uint64_t sum = s.sum;
    WordRecord* w = words;
    for (; p != stop; ++p) {
        const uint64_t t = p->ticks;
        if (__builtin_expect(t == 0, 0)) break;
        sum += t;
        int32_t pair;
        std::memcpy(&pair, &p->ao0, 4);
        const __m128i a = _mm_cvtepi16_epi32(_mm_cvtsi32_si128(pair));
        const intptr_t a0 = p->ao0;
        const intptr_t a1 = p->ao1;
        const uint64_t lanes = tab.expand[p->digi];
        const uint64_t pos = f + t;  // ticks from the start of the current word
        const uint64_t next_f = pos & 7;
        const uint64_t complete = pos >= 8;
        const uint32_t whole = uint32_t((pos - 8) >> 3);  // after the completed word, if complete
        // The completed word; at a word boundary it carries the pulse's whole words.
        w[0].bits = cur | (lanes & ~tab.below[f]);
        w[0].codes = codes_of(_mm_add_epi32(acc, _mm_srai_epi32(_mm_mullo_epi32(a, vec(tab.times_rest[f])), 3)));
        w[0].count = f == 0 ? whole : 0;
        // The whole words inside a word's run (offered only after the completed word).
        w[1].bits = lanes;
        w[1].codes = word_codes(tab, a0, a1);
        w[1].count = whole - 1;
        w += complete + uint64_t((f != 0) & (pos >= 16));
        // The new partial word: ticks below `start` from the current one (none if completed),
        // the rest up to next_f from this pulse.
        const uint64_t keep = complete - 1;  // all ones while the word goes on
        const uint64_t start = f & keep;
        cur = (((cur ^ lanes) & tab.below[start]) ^ lanes) & tab.below[next_f];
        const uint64_t len = next_f - start;
        acc = _mm_add_epi32(
            _mm_add_epi32(_mm_and_si128(acc, vec(tab.keep_mask[complete])), vec(tab.keep_base[complete])),
            _mm_srai_epi32(_mm_mullo_epi32(a, vec(tab.times[len])), 3));
        f = next_f;
    }
    acc = _mm_sub_epi32(acc, _mm_set1_epi32(int32_t(CODE_ZERO)));
    s.p = p;
    s.f = uint32_t(f);
    s.cur = cur;
    s.acc0 = _mm_cvtsi128_si32(acc);
    s.acc1 = _mm_extract_epi32(acc, 1);
    s.sum = sum;
    return size_t(w - words);
}

// The parts of a command, under one base address, 32 bytes apart so that one offset serves all
// fields of a part. Channel part, by change mask: the byte shuffle that packs the changed channel
// bytes of the word (record bytes 0-7), the header (masked form bit) with the mask byte, and
// where the channel bytes start and end. Tail, by bits 8-15 of the byte comparison of the
// record with the reference (bits 0-3: code bytes equal, 4-7: count bytes zero): the shuffle of
// the present codes and the count field, their header bits and length.
struct alignas(64) CommandLayout {
    struct Channels {
        uint8_t pick[16];
        uint16_t head;
        uint8_t begin;
        uint8_t end;
        uint8_t pad[12];
    };
    struct Tail {
        uint8_t pick[16];
        uint8_t header;
        uint8_t length;
        uint8_t pad[14];
    };
    Channels channels[256];
    Tail tail[256];
    constexpr CommandLayout() : channels(), tail() {
        for (uint32_t mask = 0; mask < 256; ++mask) {
            Channels& c = channels[mask];
            for (unsigned j = 0; j < 16; ++j) c.pick[j] = 0x80;
            unsigned n = 0;
            for (unsigned i = 0; i < 8; ++i)
                if (mask & (1u << i)) c.pick[n++] = uint8_t(i);
            c.head = uint16_t(SHUFFLE.e[mask].header | mask << 8);
            c.begin = SHUFFLE.e[mask].begin;
            c.end = SHUFFLE.e[mask].end;
            for (unsigned j = 0; j < 12; ++j) c.pad[j] = 0;
        }
        for (uint32_t k = 0; k < 256; ++k) {
            Tail& t = tail[k];
            for (unsigned j = 0; j < 16; ++j) t.pick[j] = 0x80;
            const bool code0 = (k & 0x3u) != 0x3u, code1 = (k & 0xCu) != 0xCu;
            const unsigned width = (k & 0xC0u) != 0xC0u ? 3 : (k & 0x20u) == 0 ? 2 : (k & 0x10u) == 0 ? 1 : 0;
            unsigned n = 0;
            if (code0) t.pick[n++] = 8, t.pick[n++] = 9;
            if (code1) t.pick[n++] = 10, t.pick[n++] = 11;
            for (unsigned i = 0; i < (1u << width) / 2; ++i) t.pick[n++] = uint8_t(12 + i);
            t.length = uint8_t(n);
            t.header = uint8_t((code0 ? HDR_CODE0 : 0) | (code1 ? HDR_CODE1 : 0) | width << 4);
            for (unsigned j = 0; j < 14; ++j) t.pad[j] = 0;
        }
    }
};
static_assert(sizeof(CommandLayout::Channels) == 32 && sizeof(CommandLayout::Tail) == 32, "channels and tail 32 bytes apart");
constexpr CommandLayout COMMAND_LAYOUT;

// A word record merged into the command before it (no count can be this large).
constexpr uint32_t MERGED = 0x80000000u;

// Commands at the end of a batch whose bytes past the command are put back (see write_words).
constexpr size_t PUT_BACK_WORDS = 8;

// Second pass: the commands of `n` words (words[-1] is free: it stands for the open command).
// A word equal to the open command's is merged into it (within the count limit); every other
// word opens a command, built from the record with two byte shuffles and no branch on its
// fields. The caller leaves room for all of them in place.
//
// A command's stores reach up to 8 bytes past it, and the next command overwrites those bytes,
// so that within a batch only the 8 bytes past the last command are not what they were. Each of
// the last commands therefore reads the 8 bytes past it before its stores and puts them back
// after them; since they span at least 8 bytes, the bytes past the batch are as they were.
// (Putting them back after every command costs more: the read overlaps the stores of the
// command before, when that is shorter than 8 bytes, and waits for them.) Commands are at least
// 2 bytes; a word equal to the one before (merged: no bytes of its own) among the last ones
// makes every command of the batch put the bytes back.
__attribute__((noinline, target("avx2,bmi,bmi2"))) void write_words(Batch& s, WordRecord* const words, size_t n) {
    const CommandLayout& tab = COMMAND_LAYOUT;
    uint8_t* out = s.out;
    uint8_t* open = s.open;
    uint32_t merged = 0;
    // The reference word: channel bytes, codes, and zero where the record has its count.
    __m128i ref = _mm_set_epi32(0, int32_t(s.ref_codes), int32_t(s.ref_bits >> 32), int32_t(uint32_t(s.ref_bits)));
    const __m128i no_count = _mm_set_epi32(0, -1, -1, -1);
    words[-1].count = s.words - 1;
    // The record of the open command before r (its count kept up to date).
    auto opened = [](WordRecord* r) {
        WordRecord* o = r - 1;
        while (o->count == MERGED) --o;
        return o;
    };
    auto command = [&](WordRecord* r, auto put_back) __attribute__((always_inline, target("avx2,bmi,bmi2"))) {
        const __m128i rec = _mm_load_si128(reinterpret_cast<const __m128i*>(r));
        const uint32_t same = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(rec, ref)));
        if (__builtin_expect((~same & 0xFFFu) == 0, 0)) {
            // The open command's word: merged if the count allows.
            WordRecord* const o = opened(r);
            const uint32_t more = r->count + 1;
            if (o->count < CMD_MAX_WORDS - more) {
                uint8_t* const count_at = out - memcmd::count_width(*open);
                *open &= uint8_t(~memcmd::HDR_COUNT_MASK);
                o->count += more;
                out = append_count(*open, count_at, o->count);
                r->count = MERGED;
                ++merged;
                return;
            }
        }
        // The parts by byte offset (the compiler scales each index again for every use).
        const CommandLayout::Channels& c = *reinterpret_cast<const CommandLayout::Channels*>(
            reinterpret_cast<const uint8_t*>(tab.channels) + (size_t(~same & 0xFFu) << 5));
        const CommandLayout::Tail& t = *reinterpret_cast<const CommandLayout::Tail*>(
            reinterpret_cast<const uint8_t*>(tab.tail) + (size_t(same >> 3) & (0xFFu << 5)));
        uint8_t* const tail_at = out + c.end;
        uint8_t* const next = tail_at + t.length;
        uint64_t after = 0;
        if constexpr (decltype(put_back)::value) after = load64(next);
        store16(out, c.head | t.header);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c.begin),
                         _mm_shuffle_epi8(rec, _mm_load_si128(reinterpret_cast<const __m128i*>(c.pick))));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(tail_at),
                         _mm_shuffle_epi8(rec, _mm_load_si128(reinterpret_cast<const __m128i*>(t.pick))));
        if constexpr (decltype(put_back)::value) store64(next, after);
        ref = _mm_and_si128(rec, no_count);
        open = out;
        out = next;
    };
    // The last commands put the bytes past them back; all do if one of those words may merge.
    words[-1].bits = s.ref_bits;
    words[-1].codes = s.ref_codes;
    size_t fast = n > PUT_BACK_WORDS ? n - PUT_BACK_WORDS : 0;
    for (size_t i = fast; i < n; ++i)
        if (words[i].bits == words[i - 1].bits && words[i].codes == words[i - 1].codes) fast = 0;
    WordRecord* r = words;
    for (WordRecord* const put_back_from = words + fast; r != put_back_from; ++r) command(r, std::false_type());
    for (WordRecord* const end = words + n; r != end; ++r) command(r, std::true_type());
    s.out = out;
    s.open = open;
    s.commands += uint32_t(n) - merged;
    s.words = opened(words + n)->count + 1;
    s.ref_bits = uint64_t(_mm_cvtsi128_si64(ref));
    s.ref_codes = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(ref, 8)));
}
#endif

// Writes commands into the window. A command is written whole as soon as its word is known, with
// the count field of the words offered so far; a word merged into it rewrites that field (the
// open command is the last one written, so it may grow). The word of the open command is the
// reference of the next one.
template <Packing P>
class CommandWriter {
public:
    CommandWriter(uint8_t* region, WindowEnd& end, const CodeTables& tab)
        : end_(&end), tab_(&tab), fast_limit_(uintptr_t(end.limit - FAST_MARGIN)), out_(region),
          open_(region) {}

    // Offers a completed word played n times (1 <= n < CMD_MAX_WORDS): merged into the open
    // command when equal and within the count limit, else a new command is opened.
    // Unchecked: the caller knows that the command fits in place (see room()).
    template <bool Checked = true>
    ENCODER_INLINE void offer(uint64_t bits, uint32_t codes, uint32_t n) {
        // words_ - 1 < CMD_MAX_WORDS - n: words_ + n <= CMD_MAX_WORDS and a command is open.
        if (bits == ref_bits_ && codes == ref_codes_ && words_ - 1 < CMD_MAX_WORDS - n) {
            uint8_t* const count_at = out_ - memcmd::count_width(*open_);
            *open_ &= uint8_t(~memcmd::HDR_COUNT_MASK);
            words_ += n;
            out_ = append_count(*open_, count_at, words_ - 1);
            return;
        }
        open<Checked>(bits, codes, n, 0);
    }

    // Offers the two words of a pulse that completes the current word and has whole words after
    // it: the completed word (bits1, codes1) once, then (bits2, codes2) n2 times (n2 >= 1). Both
    // commands are written in one go: the 8 bytes past the second are read before any store and
    // put back after them (those past the first are covered by the second's stores), and the
    // writer's state moves once. When either word may merge, it is offered as two words.
    // Unchecked only (the caller knows that two commands fit in place).
    ENCODER_INLINE void offer_pair(uint64_t bits1, uint32_t codes1, uint64_t bits2, uint32_t codes2, uint32_t n2) {
        if (P != Packing::shuffle || __builtin_expect(bits1 == ref_bits_ || bits2 == bits1, 0)) {
            offer<false>(bits1, codes1, 1);
            offer<false>(bits2, codes2, n2);
            return;
        }
        const ChannelPacking& packing = tab_->packing;
        const size_t k1 = packing_index(bits1, ref_bits_) - PACKING_BASE;
        const size_t k2 = packing_index(bits2, bits1) - PACKING_BASE;
        uint8_t* const o1 = out_;
        uint8_t* const p1 = o1 + packing.info[k1].end;
        // The first command's codes: stored as 4 bytes whatever their length (the second
        // command's header and channel bytes cover the rest).
        uint32_t h1 = packing.info[k1].head;
        uint32_t field1 = codes1;
        uint8_t* o2 = p1;
        const uint32_t changed1 = codes1 ^ ref_codes_;
        if (__builtin_expect(changed1 > 0xFFFFu && (changed1 & 0xFFFFu) != 0, 1)) {
            h1 |= HDR_CODE0 | HDR_CODE1;
            o2 += 4;
        } else if (changed1 & 0xFFFFu) {
            h1 |= HDR_CODE0;
            o2 += 2;
        } else if (changed1 > 0xFFFFu) {
            h1 |= HDR_CODE1;
            field1 = codes1 >> 16;
            o2 += 2;
        }
        uint8_t* p2 = o2 + packing.info[k2].end;
        const uint64_t after = load64(p2);
        store16(o1, h1);
        store64(o1 + packing.info[k1].begin, shuffle_bytes(bits1, packing.pick[k1]));
        std::memcpy(p1, &field1, 4);
        // The table is read again after each store (the compiler cannot tell that the stores do
        // not reach it): reading it late keeps fewer values in registers.
        store16(o2, packing.info[k2].head);
        store64(o2 + packing.info[k2].begin, shuffle_bytes(bits2, packing.pick[k2]));
        store64(p2, after);
        uint32_t h2 = packing.info[k2].head;
        const uint32_t changed2 = codes2 ^ codes1;
        if (__builtin_expect(changed2 > 0xFFFFu && (changed2 & 0xFFFFu) != 0, 1)) {
            h2 |= HDR_CODE0 | HDR_CODE1;
            std::memcpy(p2, &codes2, 4);
            p2 += 4;
        } else if (changed2 & 0xFFFFu) {
            h2 |= HDR_CODE0;
            store16(p2, codes2);
            p2 += 2;
        } else if (changed2 > 0xFFFFu) {
            h2 |= HDR_CODE1;
            store16(p2, codes2 >> 16);
            p2 += 2;
        }
        out_ = append_count(h2, p2, n2 - 1);
        o2[0] = uint8_t(h2);
        open_ = o2;
        ref_bits_ = bits2;
        ref_codes_ = codes2;
        words_ = n2;
        commands += 2;
    }

    // Writes a marker word (never merged with the next word).
    template <bool Checked = true>
    ENCODER_INLINE void marker(uint64_t bits, uint32_t codes) {
        open<Checked>(bits, codes, 0, HDR_MARKER);
    }

    // How many more commands surely fit in place (0 near the window's end).
    ENCODER_INLINE uintptr_t room() const {
        const uintptr_t at = uintptr_t(out_);
        return at < fast_limit_ ? (fast_limit_ - at) / CMD_MAX_BYTES : 0;
    }

    // The open command (there is one) becomes the end command.
    ENCODER_INLINE void finish() {
        *open_ |= HDR_END;
        if (end_->out != nullptr) {
            end_->place(out_);
            out_ = end_->out;
        }
    }

    // Hands the writer's state to a batch and takes it back.
    ENCODER_INLINE void save(Batch& s) const {
        s.out = out_;
        s.open = open_;
        s.ref_bits = ref_bits_;
        s.ref_codes = ref_codes_;
        s.words = words_;
        s.commands = commands;
    }
    ENCODER_INLINE void load(const Batch& s) {
        out_ = s.out;
        open_ = s.open;
        ref_bits_ = s.ref_bits;
        ref_codes_ = s.ref_codes;
        words_ = s.words;
        commands = s.commands;
    }

    bool has_open() const { return words_ != 0; }
    // The word of the open or last command.
    uint64_t last_bits() const { return ref_bits_; }
    uint32_t ref_codes() const { return ref_codes_; }
    uint8_t* position() const { return out_; }

    uint32_t commands = 0;

private:
    // Room that guarantees a command built in place fits, count field included.
    static constexpr ptrdiff_t FAST_MARGIN = 64;
    static_assert(FAST_MARGIN >= CMD_BUILD_BYTES + 4, "a command built in place fits");

    template <bool Checked>
    ENCODER_INLINE void open(uint64_t bits, uint32_t codes, uint32_t words, uint8_t flags) {
        uint8_t* o = out_;
        if (Checked && __builtin_expect(uintptr_t(o) >= fast_limit_, 0)) {
            o = end_->next(o);
            fast_limit_ = 0;  // from here on every command goes through the buffer
        }
        open_ = o;
        // The count field of `words` (none for a marker, words 0).
        uint32_t h;
        uint8_t* const fields_end = build_head<P>(o, flags, bits, ref_bits_, codes, ref_codes_, h, &tab_->packing);
        out_ = append_count(h, fields_end, words - 1);
        o[0] = uint8_t(h);
        ref_bits_ = bits;
        ref_codes_ = codes;
        words_ = words;
        ++commands;
    }

    WindowEnd* const end_;
    const CodeTables* const tab_;
    uintptr_t fast_limit_;
    uint8_t* out_;   // end of the open command, count field included
    uint8_t* open_;  // header of the open command
    uint64_t ref_bits_ = 0;
    uint32_t ref_codes_ = START_REF_CODES;
    uint32_t words_ = 0;  // words of the open command; 0: none open
};

// The pulse loop for lists of long pulses (see Shape): the pulses from s.p on, until `stop` or a
// pulse without ticks (which the caller encodes); the caller leaves room for two commands a pulse
// in place. Its state is handed over as to a batch: the compiler then keeps nothing of the
// caller's in registers across its loop.
template <Packing P>
ENCODER_INLINE void long_run(Batch& s, const Pulse* const stop, WindowEnd& window_end) {
    const CodeTables* tables = &code_tables;
    asm("" : "+r"(tables));  // one base address in a register for all tables
    const CodeTables& tab = *tables;
    CommandWriter<P> w(s.out, window_end, tab);
    w.load(s);
    const Pulse* p = s.p;
    uintptr_t f = s.f;
    uint64_t cur = s.cur;
    intptr_t acc0 = s.acc0;
    intptr_t acc1 = s.acc1;
    uint64_t sum = s.sum;
    for (; p != stop; ++p) {
        const uintptr_t t = p->ticks;
        sum += t;
        const uint64_t lanes = tab.expand[p->digi];
        if (__builtin_expect(t < 8, 0)) {
            if (t == 0) break;  // adds nothing to the sum
            // As in the pulse loop (see encode).
            const intptr_t a0 = p->ao0;
            const intptr_t a1 = p->ao1;
            if (t < 8 - f) {
                cur |= lanes & tab.lanes[f][t];
                acc0 += analog_share_w(t, a0);
                acc1 += analog_share_w(t, a1);
                f += t;
                continue;
            }
            const uintptr_t l = 8 - f;
            cur |= lanes & tab.rest[f];
            const uint32_t done_codes = word_codes(tab, acc0 + analog_share_w(l, a0), acc1 + analog_share_w(l, a1));
            w.template offer<false>(cur, done_codes, 1);
            f = t - l;
            cur = lanes & tab.below[f];
            acc0 = analog_share_w(f, a0);
            acc1 = analog_share_w(f, a1);
            continue;
        }
        // The pulse completes the current word, if one is begun, and nearly always has whole
        // words after it: then both commands go in one go.
        if (f == 0) {
            w.template offer<false>(lanes, word_codes(tab, p->ao0, p->ao1), uint32_t(t >> 3));
            f = t & 7;
        } else {
            const intptr_t a0 = p->ao0;
            const intptr_t a1 = p->ao1;
            const uintptr_t l = 8 - f;
            const uintptr_t r = t - l;
            const uint64_t done = cur | (lanes & tab.rest[f]);
            const uint32_t done_codes = word_codes(tab, acc0 + analog_share_w(l, a0), acc1 + analog_share_w(l, a1));
            const uint32_t whole = uint32_t(r >> 3);
            f = r & 7;
            if (__builtin_expect(whole != 0, 1)) {
                w.offer_pair(done, done_codes, lanes, word_codes(tab, a0, a1), whole);
            } else {
                w.template offer<false>(done, done_codes, 1);
            }
        }
        // The analog values read again: fewer values kept in registers across the writer.
        cur = lanes & tab.below[f];
        acc0 = analog_share_w(f, p->ao0);
        acc1 = analog_share_w(f, p->ao1);
    }
    s.p = p;
    s.f = uint32_t(f);
    s.cur = cur;
    s.acc0 = int(acc0);
    s.acc1 = int(acc1);
    s.sum = sum;
    w.save(s);
}

// The ticks of all pulses.
uint64_t tick_sum(const std::vector<Pulse>& pulses) {
    uint64_t s0 = 0, s1 = 0;
    const Pulse* p = pulses.data();
    const Pulse* const end = p + pulses.size();
    for (; end - p >= 2; p += 2) {
        s0 += p[0].ticks;
        s1 += p[1].ticks;
    }
    if (p != end) s0 += p->ticks;
    return s0 + s1;
}

void print_high_len(uint64_t sum) { std::cout << "high len: " << sum << "|" << ((sum + 7) & ~uint64_t(7)) << std::endl; }


// The encoder proper (see highToLow), with the code tables prepared. It holds no object with a
// destructor, so nothing in its loop is kept in memory for unwinding. Batched: for lists of mixed
// shapes, Long: for lists of long pulses (see Shape).
template <Packing P, bool Batched, bool Long = false>
__attribute__((noinline)) SequenceControlData encode(const std::vector<Pulse>& pulses, const Full_Pattern& final,
                                                     uint64_t n_runs, uint8_t* const window, sequences_t slot,
                                                     double started) {
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
        print_high_len(tick_sum(pulses));  // zero unless n_runs is 0
        uint8_t* out = region;
        out[0] = HDR_END | HDR_MASKED | HDR_CODE0 | HDR_CODE1;
        out[1] = 0xFF;
        std::memcpy(out + 2, final.pattern, 8);
        std::memcpy(out + 10, &final.analog.value, 4);
        platform::flush_cache(out, out + 14);
        result.nBytes = 14;
        return result;
    }

    // All tables of the loop under one base address, held in a register.
    const CodeTables* tables = &code_tables;
    asm("" : "+r"(tables));
    const CodeTables& tab = *tables;

    WindowEnd window_end{window, window + reg::SEQMEM_LEN};
    CommandWriter<P> w(region, window_end, tab);
    for (uint32_t i = 0; i < leading_markers; ++i) w.marker(0, START_REF_CODES);

    // Of the address width, as table indices are.
    uintptr_t f = 0;      // ticks of the current word already covered
    uint64_t cur = 0;     // its channel bytes
    intptr_t acc0 = 0;    // its accumulated analog values
    intptr_t acc1 = 0;
    uint64_t marker_words = leading_markers;  // words written for markers
    uint64_t padded = 0;                      // words padded for a marker inside them
    // The last pulse with ticks before a marker, found by looking back; a run of zero-tick pulses
    // is looked through once (the answer for the marker at `found_for` is `found`).
    const Pulse* found = nullptr;
    const Pulse* found_for = nullptr;

    uint64_t sum = 0;  // ticks of all pulses
    // One pulse; Checked: whether a command may not fit in place.
    auto step = [&](auto checked) __attribute__((always_inline)) {
        constexpr bool C = decltype(checked)::value;
        const uintptr_t t = p->ticks;
        sum += t;
        if (__builtin_expect(t == 0, 0)) {
            if (p->digi != 0xAA) return;
            // Marker word of the held levels and the analog values of the last pulse with ticks
            // (the loop starts at a pulse with ticks, so there is one).
            const Pulse* q = p - 1;
            while (q->ticks == 0 && q != found_for) --q;
            if (q == found_for) q = found;
            found = q;
            found_for = p;
            const intptr_t a0 = q->ao0;
            const intptr_t a1 = q->ao1;
            ++marker_words;
            if (f == 0) {
                w.template marker<C>(hold_levels(w.last_bits(), 7), w.ref_codes());
            } else {
                // The word is completed with the held levels; its ticks start the next word again.
                ++padded;
                uint64_t hold = hold_levels(cur, f - 1);
                cur |= hold & tab.rest[f];
                w.template offer<C>(
                    cur, word_codes(tab, acc0 + analog_share_w(8 - f, a0), acc1 + analog_share_w(8 - f, a1)), 1);
                w.template marker<C>(hold, word_codes(tab, a0, a1));
                cur = hold & tab.below[f];
                acc0 = analog_share_w(f, a0);
                acc1 = analog_share_w(f, a1);
            }
            return;
        }
        const intptr_t a0 = p->ao0;
        const intptr_t a1 = p->ao1;
        const uint64_t lanes = tab.expand[p->digi];
        if (t < 8 - f) {
            cur |= lanes & tab.lanes[f][t];
            acc0 += analog_share_w(t, a0);
            acc1 += analog_share_w(t, a1);
            f += t;
            return;
        }
        uintptr_t r = t;
        if (f > 0) {
            const uintptr_t l = 8 - f;
            cur |= lanes & tab.rest[f];
            w.template offer<C>(cur, word_codes(tab, acc0 + analog_share_w(l, a0), acc1 + analog_share_w(l, a1)), 1);
            r = t - l;
        }
        const uint32_t whole = uint32_t(r >> 3);
        f = r & 7;
        if (whole > 0) w.template offer<C>(lanes, word_codes(tab, a0, a1), whole);
        cur = lanes & tab.below[f];
        acc0 = analog_share_w(f, a0);
        acc1 = analog_share_w(f, a1);
    };
    // A pulse opens at most two commands: far from the window's end, runs of pulses go without
    // checking where each command goes.
    for (;;) {
        const uintptr_t pulses_with_room = w.room() / 2;
        if (pulses_with_room == 0) break;
        const Pulse* const stop = uintptr_t(end - p) <= pulses_with_room ? end : p + pulses_with_room;
        if constexpr (Batched || Long) {
#if defined(ENCODER_X86_SSE2)
            alignas(16) WordRecord records[Batched ? 2 * BATCH_PULSES + 2 : 1];
            while (p != stop) {
                Batch s{p, uint32_t(f), cur, int(acc0), int(acc1), sum, nullptr, nullptr, 0, 0, 0, 0};
                w.save(s);
                const Pulse* batch_end = stop;
                if constexpr (Batched) {
                    batch_end = stop - p <= ptrdiff_t(BATCH_PULSES) ? stop : p + BATCH_PULSES;
                    write_words(s, records + 1, assemble_words(s, batch_end, records + 1));
                } else {
                    long_run<P>(s, stop, window_end);
                }
                w.load(s);
                p = s.p;
                f = s.f;
                cur = s.cur;
                acc0 = s.acc0;
                acc1 = s.acc1;
                sum = s.sum;
                if (p != batch_end) step(std::false_type()), ++p;  // no ticks: a marker, or nothing
            }
#endif
        } else {
            for (; p != stop; ++p) step(std::false_type());
        }
        if (p == end) break;
    }
    for (; p != end; ++p) step(std::true_type());

    print_high_len(sum);

    // Pad the last word with the last element's state, whatever its ticks.
    if (f > 0) {
        const Pulse& fin = pulses.back();
        const uint32_t l = 8 - f;
        cur |= EXPAND.v[fin.digi] & tick_lanes(f, l);
        w.offer(cur, word_codes(tab, acc0 + analog_share_w(l, fin.ao0), acc1 + analog_share_w(l, fin.ao1)), 1);
    }
    uint64_t empty_words = 0;
    if (!w.has_open()) {
        w.offer(0, word_codes(tab, 0, 0), 1);  // ended with a marker at a word boundary
        empty_words = 1;
    }
    w.finish();

    platform::flush_cache(region, w.position());
    std::cout << "time: digi high->low  " << cpu_seconds() - started << std::endl;

    result.nBytes = uint32_t(w.position() - region);
    result.nPulses = w.commands;
    // Every word holds 8 ticks of the pulses but the padded ones (the last word, and those
    // completed for a marker inside them), the marker words and a closing empty word.
    result.wholeTicks = (sum + 7) / 8 + marker_words + padded + empty_words;
    result.dataRate = double(result.nPulses) / double(result.wholeTicks) * double(result.nBytes) / double(result.nPulses);
    return result;
}

}  // namespace

SequenceControlData highToLow(const std::vector<Pulse>& pulses, Full_Pattern final, uint64_t n_runs,
                              MemoryMapper mapper, sequences_t slot) {
    const double started = cpu_seconds();
    std::lock_guard<std::mutex> guard(code_tables_lock);
    prepare_code_tables(Analog_calibration);
#if defined(ENCODER_X86_SSE2)
    static const bool shuffle = __builtin_cpu_supports("ssse3");
    static const bool batches = shuffle && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    if (shuffle) {
        const Shape shape = list_shape(pulses);
        if (batches && shape == Shape::mixed)
            return encode<Packing::shuffle, true>(pulses, final, n_runs, mapper.addr, slot, started);
        if (shape == Shape::long_pulses)
            return encode<Packing::shuffle, false, true>(pulses, final, n_runs, mapper.addr, slot, started);
        return encode<Packing::shuffle, false>(pulses, final, n_runs, mapper.addr, slot, started);
    }
    return encode<Packing::network, false>(pulses, final, n_runs, mapper.addr, slot, started);
#elif defined(__ARM_NEON)
    return encode<Packing::shuffle, false>(pulses, final, n_runs, mapper.addr, slot, started);
#else
    return encode<Packing::network, false>(pulses, final, n_runs, mapper.addr, slot, started);
#endif
}
