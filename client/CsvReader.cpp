// CSV text to pulses. Common lines (digits, commas and minus signs only) are read a word at a
// time; any other line field by field (csv_fields.h), which also names its fault.
#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "csv_fields.h"
#include "tarvex/PulseList.h"

namespace tarvex {

namespace {

inline bool digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The common line, digits and commas only ("ticks,digital,ao0,ao1" and a line end, digital 0-255):
// true with `p` past the line end, else false with `p` unchanged.
inline bool plain_line(const char*& p, const char* end, Pulse& out) {
    const char* q = p;
    uint64_t v[4];
    bool negative[4] = {false, false, false, false};
    static constexpr int max_digits[4] = {10, 3, 5, 5};
    for (int f = 0; f < 4; ++f) {
        if (f >= 2 && q < end && *q == '-') {
            negative[f] = true;
            ++q;
        }
        const char* start = q;
        uint64_t x = 0;
        while (q < end && digit(*q)) x = x * 10 + static_cast<uint64_t>(*q++ - '0');
        if (q == start || q - start > max_digits[f]) return false;
        v[f] = x;
        if (f < 3) {
            if (q == end || *q != ',') return false;
            ++q;
        }
    }
    if (q < end && *q == '\r') ++q;
    if (q < end && *q++ != '\n') return false;
    if (v[0] > 0xFFFFFFFFu || v[1] > 255 || v[2] > (negative[2] ? 32768u : 32767u) ||
        v[3] > (negative[3] ? 32768u : 32767u))
        return false;
    out.ticks = static_cast<uint32_t>(v[0]);
    out.digi = static_cast<uint8_t>(v[1]);
    out.ao0 = static_cast<int16_t>(negative[2] ? -static_cast<int64_t>(v[2]) : static_cast<int64_t>(v[2]));
    out.ao1 = static_cast<int16_t>(negative[3] ? -static_cast<int64_t>(v[3]) : static_cast<int64_t>(v[3]));
    p = q;
    return true;
}

// Bit i set where byte i of the 32 at p is not a digit.
inline uint32_t non_digits(const char* p) {
#if defined(__SSE2__)
    const __m128i below = _mm_set1_epi8('0' - 1), above = _mm_set1_epi8('9' + 1);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const auto digits = [&](__m128i x) {
        return static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, below), _mm_cmplt_epi8(x, above))));
    };
    return ~(digits(a) | digits(b) << 16);
#else
    uint32_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t w;
        std::memcpy(&w, p + 8 * i, 8);
        const uint64_t high = 0x8080808080808080ull, low7 = w & ~high;
        // Bytes >= '0' and >= ':' (on their low 7 bits, so no carry runs into the next byte).
        const uint64_t at_least_0 = (low7 + 0x5050505050505050ull) & high;
        const uint64_t past_9 = (low7 + 0x4646464646464646ull) & high;
        const uint64_t not_digit = ~(at_least_0 & ~past_9 & ~w) & high;
        // Bit 7 of byte k to bit 56 + k: the products land on distinct bits, so nothing carries.
        mask |= static_cast<uint32_t>(((not_digit >> 7) * 0x0102040810204080ull) >> 56) << (8 * i);
    }
    return mask;
#endif
}

// The value of the n (1-8) digits ending just before `end`; the 8 bytes before `end` are readable.
inline uint64_t digits_value(const char* end, unsigned n) {
    uint64_t w;
    std::memcpy(&w, end - 8, 8);
    // Little-endian: the last digit is the top byte. The digits to values, the bytes before them to
    // zeros (leading zeros), then pairs, quads and all eight combined.
    uint64_t d = (w ^ 0x3030303030303030ull) & (~uint64_t{0} << (8 * (8 - n)));
    d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFull;
    d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFull;
    return (d * 10000 + (d >> 32)) & 0xFFFFFFFFull;
}

// Bit i set where byte i of the 32 at p is a newline.
inline uint32_t newlines(const char* p) {
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    const auto mask = [&](const char* at) {
        return static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), newline)));
    };
    return mask(p) | mask(p + 16) << 16;
#else
    uint32_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t w;
        std::memcpy(&w, p + 8 * i, 8);
        // The newline bytes to zero; bit 7 set in exactly the zero bytes.
        const uint64_t t = w ^ 0x0A0A0A0A0A0A0A0Aull, low7 = 0x7F7F7F7F7F7F7F7Full;
        const uint64_t zero = ~(((t & low7) + low7) | t | low7);
        mask |= static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56) << (8 * i);
    }
    return mask;
#endif
}

// plain_line for lines whose ticks have at most 8 digits: all field ends found from one mask of
// the line's non-digit bytes, each value from one load. Needs 32 readable bytes at p and 8 before
// it (a plain line has at most 30 bytes). The digit counts of a list vary at random: this has no
// branch on them, where a loop per character mispredicts at every field.
inline bool plain_line_words(const char*& p, Pulse& out) {
    // The line's end from its newline alone, so that where the next line starts does not wait for
    // this one's fields: the processor reads several lines at once.
    const uint32_t ends = newlines(p);
    if (ends == 0) return false;
    const unsigned length = static_cast<unsigned>(__builtin_ctz(ends)) + 1;
    const uint32_t stops = non_digits(p) | 1u << 31;
    const auto next = [stops](unsigned from) { return static_cast<unsigned>(__builtin_ctz(stops >> from << from)); };
    const unsigned e0 = next(0);
    if (e0 == 0 || e0 > 8 || p[e0] != ',') return false;
    const unsigned s1 = e0 + 1, e1 = next(s1);
    if (e1 == s1 || e1 - s1 > 3 || p[e1] != ',') return false;
    const bool minus2 = p[e1 + 1] == '-';
    const unsigned s2 = e1 + 1 + minus2, e2 = next(s2);
    if (e2 == s2 || e2 - s2 > 5 || p[e2] != ',') return false;
    const bool minus3 = p[e2 + 1] == '-';
    const unsigned s3 = e2 + 1 + minus3, e3 = next(s3);
    if (e3 == s3 || e3 - s3 > 5) return false;
    const bool cr = p[e3] == '\r';
    if (e3 + cr + 1 != length) return false;
    const uint64_t digi = digits_value(p + e1, e1 - s1), a0 = digits_value(p + e2, e2 - s2),
                   a1 = digits_value(p + e3, e3 - s3);
    if (digi > 255 || a0 > 32767u + minus2 || a1 > 32767u + minus3) return false;
    out.ticks = static_cast<uint32_t>(digits_value(p + e0, e0));
    out.digi = static_cast<uint8_t>(digi);
    out.ao0 = static_cast<int16_t>(minus2 ? -static_cast<int64_t>(a0) : static_cast<int64_t>(a0));
    out.ao1 = static_cast<int16_t>(minus3 ? -static_cast<int64_t>(a1) : static_cast<int64_t>(a1));
    p += length;
    return true;
}

// Reads common lines from p into at most `room` pulses at `out`, up to the first other line or
// `last`; returns how many. A loop of its own: its constants stay in registers.
__attribute__((noinline)) size_t common_lines(const char*& p, const char* last, Pulse* out, size_t room) {
    const char* q = p;
    size_t n = 0;
    Pulse pulse;
    while (q <= last && n < room && plain_line_words(q, pulse)) out[n++] = pulse;
    p = q;
    return n;
}

}  // namespace

CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad, size_t keep,
                  CsvReader reader) {
    // Every pulse line but the last has at least 8 bytes ("0,0,0,0" and its end).
    const size_t before = out.size(), room = std::min(length / 8 + 1, keep);
    out.resize(before + room);
    Pulse* const to = out.data() + before;
    const char* p = text;
    const char* const end = text + length;
    // Where the word reader may start a line: 8 bytes of the text before it and 32 from it.
    const char* const words_from = reader == CsvReader::Words ? text + 8 : end;
    const char* const words_to = length >= 32 ? end - 32 : text;
    CsvTally tally;
    bool first_content = true;
    const auto keep_pulse = [&](const Pulse& pulse) {
        if (tally.pulses < room) to[tally.pulses] = pulse;
        ++tally.pulses;
        first_content = false;
    };
    while (p < end) {
        if (p >= words_from && p <= words_to && tally.pulses < room) {
            const size_t n = common_lines(p, words_to, to + tally.pulses, room - tally.pulses);
            if (n != 0) {
                tally.pulses += n;
                tally.lines += n;
                first_content = false;
                continue;
            }
        }
        ++tally.lines;
        Pulse pulse;
        if (reader == CsvReader::Words && plain_line(p, end, pulse)) {
            keep_pulse(pulse);
            continue;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* e = nl ? nl : end;
        const char* const next = nl ? nl + 1 : end;
        if (e > p && e[-1] == '\r') --e;
        const int failed = csv::parseLine(p, e, pulse);
        const char* s = p;
        p = next;
        if (failed < 0) {
            keep_pulse(pulse);
            continue;
        }
        while (s < e && csv::blank(*s)) ++s;
        if (s == e || *s == '#') continue;
        if (!(first_content && csv::isHeader(s, e)) && tally.bad_lines++ < MAX_BAD_LINES_SHOWN)
            bad.push_back({tally.lines, csv::describe(s, e, failed)});
        first_content = false;
    }
    out.resize(before + std::min(tally.pulses, room));
    return tally;
}

}  // namespace tarvex
