#include "tarvex/PulseList.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <tmmintrin.h>
#define CSV_SSSE3 1
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "tarvex/Error.h"

namespace tarvex {

namespace {

inline bool blank(char c) { return c == ' ' || c == '\t'; }
inline bool digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Reads an unsigned decimal number of at most `max_digits` digits at p (blanks skipped before and
// after); sets `end` past it. False when there are no digits or too many.
inline bool number(const char*& p, const char* e, uint64_t& value, int max_digits)
{
    while (p < e && blank(*p))
        ++p;
    const char* start = p;
    uint64_t v = 0;
    while (p < e && digit(*p) && p - start <= max_digits)
        v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p == start || p - start > max_digits)
        return false;
    value = v;
    return true;
}

// Skips blanks and one separator ',' (or, for the last field, requires the end of the line).
inline bool separator(const char*& p, const char* e, bool last)
{
    while (p < e && blank(*p))
        ++p;
    if (last)
        return p == e;
    if (p == e || *p != ',')
        return false;
    ++p;
    return true;
}

inline bool analog(const char*& p, const char* e, int16_t& out)
{
    while (p < e && blank(*p))
        ++p;
    const bool negative = p < e && *p == '-';
    if (negative)
        ++p;
    uint64_t v = 0;
    if (!number(p, e, v, 6) || v > (negative ? 32768u : 32767u))
        return false;
    out = static_cast<int16_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
    return true;
}

// The field number (0-3) at which a line fails, or -1 when it is a good pulse.
int parseLine(const char* p, const char* e, Pulse& out)
{
    uint64_t v = 0;
    if (!number(p, e, v, 10) || v > 0xFFFFFFFFu || !separator(p, e, false))
        return 0;
    out.ticks = static_cast<uint32_t>(v);
    while (p < e && blank(*p))
        ++p;
    const char* d = p;
    int bits = 0;
    while (bits < 9 && d + bits < e && (d[bits] == '0' || d[bits] == '1'))
        ++bits;
    if (bits == 8 && (d + 8 == e || blank(d[8]) || d[8] == ',')) {
        unsigned byte = 0;
        for (int i = 0; i < 8; ++i)
            byte = byte << 1 | static_cast<unsigned>(d[i] - '0');
        out.digi = static_cast<uint8_t>(byte);
        p = d + 8;
    } else {
        if (!number(p, e, v, 3) || v > 255)
            return 1;
        out.digi = static_cast<uint8_t>(v);
    }
    if (!separator(p, e, false))
        return 1;
    // Through locals: the packed record's fields may sit at odd addresses.
    int16_t ao0 = 0, ao1 = 0;
    if (!analog(p, e, ao0) || !separator(p, e, false))
        return 2;
    out.ao0 = ao0;
    if (!analog(p, e, ao1) || !separator(p, e, true))
        return 3;
    out.ao1 = ao1;
    return -1;
}

std::string field_text(const char* p, const char* e, int field)
{
    for (int i = 0; i < field && p < e; ++i) {
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(e - p)));
        p = comma ? comma + 1 : e;
    }
    const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(e - p)));
    std::string text(p, comma && field < 3 ? comma : e);
    if (text.size() > 40)
        text = text.substr(0, 40) + "...";
    return text;
}

__attribute__((noinline)) std::string describe(const char* p, const char* e, int field)
{
    static const char* const what[] = {
        "ticks must be 0 to 4294967295", "digital must be 0 to 255 or eight 0/1 characters",
        "ao0 must be -32768 to 32767", "ao1 must be -32768 to 32767"};
    // A line with too few fields fails at the separator after the last one present.
    int commas = 0;
    for (const char* c = p; c < e; ++c)
        commas += *c == ',';
    if (commas != 3)
        return "4 fields expected (" + std::string(CSV_HEADER) + "), found " + std::to_string(commas + 1);
    return std::string(what[field]) + ", not \"" + field_text(p, e, field) + "\"";
}

__attribute__((noinline)) bool is_header(const char* p, const char* e)
{
    std::string text;
    for (; p < e && text.size() <= 64; ++p)
        if (!blank(*p))
            text += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return text == CSV_HEADER;
}

// The common line, digits and commas only ("ticks,digital,ao0,ao1" and a line end, digital 0-255):
// true with `p` past the line end, else false with `p` unchanged.
inline bool plain_line(const char*& p, const char* end, Pulse& out)
{
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
        while (q < end && digit(*q))
            x = x * 10 + static_cast<uint64_t>(*q++ - '0');
        if (q == start || q - start > max_digits[f])
            return false;
        v[f] = x;
        if (f < 3) {
            if (q == end || *q != ',')
                return false;
            ++q;
        }
    }
    if (q < end && *q == '\r')
        ++q;
    if (q < end && *q++ != '\n')
        return false;
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
inline uint32_t non_digits(const char* p)
{
#if defined(__SSE2__)
    const __m128i below = _mm_set1_epi8('0' - 1), above = _mm_set1_epi8('9' + 1);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const auto digits = [&](__m128i x) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, below), _mm_cmplt_epi8(x, above))));
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
inline uint64_t digits_value(const char* end, unsigned n)
{
    uint64_t w;
    std::memcpy(&w, end - 8, 8);
    // Little-endian: the last digit is the top byte. The digits to values, the bytes before them to
    // zeros (leading zeros), then pairs, quads and all eight combined.
    uint64_t d = (w ^ 0x3030303030303030ull) & (~uint64_t{0} << (8 * (8 - n)));
    d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFull;
    d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFull;
    return (d * 10000 + (d >> 32)) & 0xFFFFFFFFull;
}

// plain_line for lines whose ticks have at most 8 digits: all field ends found from one mask of
// the line's non-digit bytes, each value from one load. Needs 32 readable bytes at p and 8 before
// it (a plain line has at most 30 bytes). The digit counts of a list vary at random: this has no
// branch on them, where a loop per character mispredicts at every field.
// Bit i set where byte i of the 32 at p is a newline.
inline uint32_t newlines(const char* p)
{
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

inline bool plain_line_words(const char*& p, Pulse& out)
{
    // The line's end from its newline alone, so that the next line does not wait for this one's
    // fields (see plain_line_ssse3).
    const uint32_t ends = newlines(p);
    if (ends == 0)
        return false;
    const unsigned length = static_cast<unsigned>(__builtin_ctz(ends)) + 1;
    const uint32_t stops = non_digits(p) | 1u << 31;
    const auto next = [stops](unsigned from) { return static_cast<unsigned>(__builtin_ctz(stops >> from << from)); };
    const unsigned e0 = next(0);
    if (e0 == 0 || e0 > 8 || p[e0] != ',')
        return false;
    const unsigned s1 = e0 + 1, e1 = next(s1);
    if (e1 == s1 || e1 - s1 > 3 || p[e1] != ',')
        return false;
    const bool minus2 = p[e1 + 1] == '-';
    const unsigned s2 = e1 + 1 + minus2, e2 = next(s2);
    if (e2 == s2 || e2 - s2 > 5 || p[e2] != ',')
        return false;
    const bool minus3 = p[e2 + 1] == '-';
    const unsigned s3 = e2 + 1 + minus3, e3 = next(s3);
    if (e3 == s3 || e3 - s3 > 5)
        return false;
    const bool cr = p[e3] == '\r';
    if (e3 + cr + 1 != length)
        return false;
    const uint64_t digi = digits_value(p + e1, e1 - s1), a0 = digits_value(p + e2, e2 - s2),
                   a1 = digits_value(p + e3, e3 - s3);
    if (digi > 255 || a0 > 32767u + minus2 || a1 > 32767u + minus3)
        return false;
    out.ticks = static_cast<uint32_t>(digits_value(p + e0, e0));
    out.digi = static_cast<uint8_t>(digi);
    out.ao0 = static_cast<int16_t>(minus2 ? -static_cast<int64_t>(a0) : static_cast<int64_t>(a0));
    out.ao1 = static_cast<int16_t>(minus3 ? -static_cast<int64_t>(a1) : static_cast<int64_t>(a1));
    p += length;
    return true;
}

// The pulse values of the common line (see plain_line_words) from the four field ends, with
// SSSE3: the 8 bytes before each end side by side, the bytes before each field zeroed, then pairs,
// quads and all eight digits combined for the four fields at once; the range test and the signs
// on all four as well. Writes the 9-byte record at `out`.
#if defined(CSV_SSSE3)
struct LineTables {
    uint64_t keep[9];           // the last n bytes of 8
    int32_t limit[4][4];        // largest magnitude of each field, by the two signs
    int32_t sign[4][4];         // -1 on the negative fields, by the two signs
    constexpr LineTables() : keep(), limit(), sign()
    {
        for (unsigned n = 1; n <= 8; ++n)
            keep[n] = ~uint64_t{0} << (8 * (8 - n));
        for (unsigned m = 0; m < 4; ++m) {
            limit[m][0] = 0x7FFFFFFF, limit[m][1] = 255;
            limit[m][2] = 32767 + static_cast<int32_t>(m & 1), limit[m][3] = 32767 + static_cast<int32_t>(m >> 1);
            sign[m][2] = -static_cast<int32_t>(m & 1), sign[m][3] = -static_cast<int32_t>(m >> 1);
        }
    }
};
constexpr LineTables LINE;

__attribute__((target("ssse3"))) inline bool plain_line_ssse3(const char*& p, Pulse* out)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    // The line's end from its newline alone: where the next line starts does not wait for this
    // one's fields, so the processor reads several lines at once.
    const __m128i newline = _mm_set1_epi8('\n');
    const uint32_t newlines = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, newline))) |
                              static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, newline))) << 16;
    if (newlines == 0)
        return false;
    const unsigned length = static_cast<unsigned>(__builtin_ctz(newlines)) + 1;
    // Digits become -128..-119; every other byte lands above.
    const __m128i shift = _mm_set1_epi8(static_cast<char>('0' + 128)), above = _mm_set1_epi8(-118);
    const uint32_t digits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_sub_epi8(lo, shift), above))) |
                            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_sub_epi8(hi, shift), above))) << 16;
    const uint32_t stops = ~digits | 1u << 31;
    const auto next = [stops](unsigned from) { return static_cast<unsigned>(__builtin_ctz(stops >> from << from)); };
    const unsigned e0 = next(0);
    if (e0 - 1 > 7 || p[e0] != ',')
        return false;
    const unsigned s1 = e0 + 1, e1 = next(s1);
    if (e1 - s1 - 1 > 2 || p[e1] != ',')
        return false;
    const unsigned minus2 = p[e1 + 1] == '-';
    const unsigned s2 = e1 + 1 + minus2, e2 = next(s2);
    if (e2 - s2 - 1 > 4 || p[e2] != ',')
        return false;
    const unsigned minus3 = p[e2 + 1] == '-';
    const unsigned s3 = e2 + 1 + minus3, e3 = next(s3);
    // The last field ends at the newline, or at a CR just before it.
    if (e3 - s3 - 1 > 4 || (e3 + 1 != length && (e3 + 2 != length || p[e3] != '\r')))
        return false;
    const auto load8 = [](const void* at) { return _mm_loadl_epi64(static_cast<const __m128i*>(at)); };
    const __m128i ascii = _mm_set1_epi8('0');
    const __m128i a = _mm_and_si128(_mm_sub_epi8(_mm_unpacklo_epi64(load8(p + e0 - 8), load8(p + e1 - 8)), ascii),
                                    _mm_unpacklo_epi64(load8(&LINE.keep[e0]), load8(&LINE.keep[e1 - s1])));
    const __m128i b = _mm_and_si128(_mm_sub_epi8(_mm_unpacklo_epi64(load8(p + e2 - 8), load8(p + e3 - 8)), ascii),
                                    _mm_unpacklo_epi64(load8(&LINE.keep[e2 - s2]), load8(&LINE.keep[e3 - s3])));
    const __m128i tens = _mm_set1_epi16(0x010A), hundreds = _mm_set1_epi32(0x00010064);
    const __m128i quads = _mm_packs_epi32(_mm_madd_epi16(_mm_maddubs_epi16(a, tens), hundreds),
                                          _mm_madd_epi16(_mm_maddubs_epi16(b, tens), hundreds));
    const __m128i values = _mm_madd_epi16(quads, _mm_set1_epi32(0x00012710));  // ticks, digital, |ao0|, |ao1|
    const unsigned signs = minus2 | minus3 << 1;
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(values, _mm_loadu_si128(reinterpret_cast<const __m128i*>(LINE.limit[signs])))))
        return false;
    const __m128i sign = _mm_loadu_si128(reinterpret_cast<const __m128i*>(LINE.sign[signs]));
    const __m128i record = _mm_shuffle_epi8(_mm_sub_epi32(_mm_xor_si128(values, sign), sign),
                                            _mm_setr_epi8(0, 1, 2, 3, 4, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), record);
    reinterpret_cast<unsigned char*>(out)[8] = static_cast<unsigned char>(_mm_extract_epi16(record, 4));
    p += length;
    return true;
}

// Reads common lines from p into at most `room` pulses at `out`, up to the first other line or
// `last`; returns how many. A loop of its own: its constants stay in registers.
__attribute__((target("ssse3"), noinline)) size_t common_lines_ssse3(const char*& p, const char* last, Pulse* out,
                                                                     size_t room)
{
    const char* q = p;
    size_t n = 0;
    while (q <= last && n < room && plain_line_ssse3(q, out + n))
        ++n;
    p = q;
    return n;
}
#endif

// The same with the portable reader.
__attribute__((noinline)) size_t common_lines_portable(const char*& p, const char* last, Pulse* out, size_t room)
{
    const char* q = p;
    size_t n = 0;
    Pulse pulse;
    while (q <= last && n < room && plain_line_words(q, pulse))
        out[n++] = pulse;
    p = q;
    return n;
}

// Reads CSV text into at most `room` pulses at `out` (the rest only counted). `readable_from` and
// `readable_to` bound the memory around the text that may be read (whole-word loads near its ends).
template <bool Ssse3>
inline CsvTally parse_text(const char* text, size_t length, const char* readable_from,
                                                          const char* readable_to, Pulse* out, size_t room,
                                                          std::vector<BadLine>& bad, bool header_allowed)
{
    const char* p = text;
    const char* const end = text + length;
    // Where the fast readers may start a line: 8 readable bytes before it and 32 from it, and
    // before the end of the text.
    const char* const fast_from = readable_from + 8;
    const char* const fast_to = std::min(readable_to - 32, end - 1);
    CsvTally tally;
    bool first_content = header_allowed;
    const auto keep = [&](const Pulse& pulse) {
        if (tally.pulses < room)
            out[tally.pulses] = pulse;
        ++tally.pulses;
    };
    while (p < end) {
        if (p >= fast_from && p <= fast_to && tally.pulses < room) {
            size_t n = 0;
#if defined(CSV_SSSE3)
            if constexpr (Ssse3)
                n = common_lines_ssse3(p, fast_to, out + tally.pulses, room - tally.pulses);
#endif
            if constexpr (!Ssse3)
                n = common_lines_portable(p, fast_to, out + tally.pulses, room - tally.pulses);
            if (n != 0) {
                tally.pulses += n;
                tally.lines += n;
                first_content = false;
                continue;
            }
        }
        ++tally.lines;
        Pulse plain;
        if (plain_line(p, end, plain)) {
            keep(plain);
            first_content = false;
            continue;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* e = nl ? nl : end;
        const char* next = nl ? nl + 1 : end;
        if (e > p && e[-1] == '\r')
            --e;
        Pulse pulse;
        const int failed = parseLine(p, e, pulse);
        if (failed < 0) {
            keep(pulse);
            first_content = false;
            p = next;
            continue;
        }
        const char* s = p;
        while (s < e && blank(*s))
            ++s;
        if (s == e || *s == '#') {
            p = next;
            continue;
        }
        if (!(first_content && is_header(s, e)) && tally.bad_lines++ < MAX_BAD_LINES_SHOWN)
            bad.push_back({tally.lines, describe(p, e, failed)});
        first_content = false;
        p = next;
    }
    return tally;
}

#if defined(CSV_SSSE3)
__attribute__((target("ssse3"), noinline, flatten)) CsvTally parse_ssse3(const char* text, size_t length,
                                                                 const char* readable_from, const char* readable_to,
                                                                 Pulse* out, size_t room, std::vector<BadLine>& bad,
                                                                 bool header_allowed)
{
    return parse_text<true>(text, length, readable_from, readable_to, out, room, bad, header_allowed);
}
#endif

__attribute__((noinline, flatten)) CsvTally parse_portable(const char* text, size_t length, const char* readable_from,
                                                  const char* readable_to, Pulse* out, size_t room,
                                                  std::vector<BadLine>& bad, bool header_allowed)
{
    return parse_text<false>(text, length, readable_from, readable_to, out, room, bad, header_allowed);
}

// The reader for this processor (or the portable one).
CsvTally parse(const char* text, size_t length, const char* readable_from, const char* readable_to, Pulse* out,
               size_t room, std::vector<BadLine>& bad, bool header_allowed, bool portable = false)
{
#if defined(CSV_SSSE3)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3 && !portable)
        return parse_ssse3(text, length, readable_from, readable_to, out, room, bad, header_allowed);
#else
    (void)portable;
#endif
    return parse_portable(text, length, readable_from, readable_to, out, room, bad, header_allowed);
}

// Pulses a text of `length` bytes can hold at most: every pulse line but the last has at least
// 8 bytes ("0,0,0,0" and its end).
size_t most_pulses(size_t length) { return length / 8 + 1; }

}  // namespace

CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad, size_t keep,
                  bool header_allowed, bool portable)
{
    const size_t before = out.size();
    const size_t room = std::min(most_pulses(length), keep);
    out.resize(before + room);
    const CsvTally tally = parse(text, length, text, text + length, out.data() + before, room, bad, header_allowed, portable);
    out.resize(before + std::min(tally.pulses, room));
    return tally;
}

PulseFormat detectFormat(const std::string& path, const char* head, size_t length)
{
    const auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos || path.find('/', dot) != std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "csv" || ext == "txt")
        return PulseFormat::Csv;
    if (ext == "bin" || ext == "dat" || ext == "raw")
        return PulseFormat::Binary;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(head[i]);
        if (!(c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c < 0x7F)))
            return PulseFormat::Binary;
    }
    return PulseFormat::Csv;
}

PulseList::PulseList(std::vector<Pulse> pulses) : owned_(std::move(pulses)), data_(owned_.data()), size_(owned_.size())
{
}

PulseList::~PulseList() { release(); }

void PulseList::release()
{
    if (map_)
        munmap(map_, map_length_);
    map_ = nullptr;
    owned_.clear();
    data_ = nullptr;
    size_ = 0;
}

PulseList::PulseList(PulseList&& other) noexcept { *this = std::move(other); }

PulseList& PulseList::operator=(PulseList&& other) noexcept
{
    if (this != &other) {
        release();
        owned_ = std::move(other.owned_);
        map_ = other.map_;
        map_length_ = other.map_length_;
        data_ = map_ ? other.data_ : owned_.data();
        size_ = other.size_;
        other.map_ = nullptr;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

namespace {

struct FileText {
    int fd = -1;
    void* map = nullptr;
    size_t length = 0;
    std::vector<char> buffer;  // standard input, or a file that cannot be mapped
    const char* data() const { return map ? static_cast<const char*>(map) : buffer.data(); }
    ~FileText()
    {
        if (map)
            munmap(map, length);
        if (fd > 0)
            close(fd);
    }
};

[[noreturn]] void input_error(const std::string& message) { throw Error(Error::Input, message); }

std::string with_commas(size_t n)
{
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3)
        s.insert(static_cast<size_t>(i), ",");
    return s;
}

void read_all(const std::string& path, FileText& file)
{
    const bool stdin_input = path == "-";
    file.fd = stdin_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        input_error(path + ": " + std::strerror(errno));
    struct stat st {};
    if (!stdin_input && fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > MAX_PULSE_FILE_BYTES)
            input_error(path + ": larger than " + with_commas(MAX_PULSE_FILE_BYTES) + " bytes");
        file.length = static_cast<size_t>(st.st_size);
        if (file.length == 0)
            return;
        file.map = mmap(nullptr, file.length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
        if (file.map == MAP_FAILED)
            file.map = nullptr;
        else
            return;
    }
    // A pipe, or a file that cannot be mapped: read it, bounded.
    size_t used = 0;
    for (;;) {
        if (file.buffer.size() - used < 65536)
            file.buffer.resize(std::min(MAX_PULSE_FILE_BYTES + 1, std::max<size_t>(file.buffer.size() * 2, 1 << 20)));
        if (used == file.buffer.size())
            input_error(path + ": larger than " + with_commas(MAX_PULSE_FILE_BYTES) + " bytes");
        const ssize_t n = ::read(file.fd, file.buffer.data() + used, file.buffer.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            input_error(path + ": " + std::strerror(errno));
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    if (stdin_input)
        file.fd = -1;  // not ours to close
    file.length = used;
}

// Newlines in n bytes at p.
size_t count_newlines(const char* p, size_t n)
{
    size_t count = 0, i = 0;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    while (n - i >= 16) {
        // Byte counters, summed before any can pass 255.
        __m128i counters = _mm_setzero_si128();
        for (const size_t stop = i + std::min<size_t>((n - i) / 16, 255) * 16; i < stop; i += 16)
            counters = _mm_sub_epi8(counters,
                                    _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), newline));
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
        count += static_cast<size_t>(_mm_extract_epi16(sums, 0) + _mm_extract_epi16(sums, 4));
    }
#endif
    for (; i < n; ++i)
        count += p[i] == '\n';
    return count;
}

// Lines at the start of a text that hold no pulse and are no error: blank lines, comments and the
// header; `p` moves past them.
size_t leading_lines(const char*& p, const char* end)
{
    size_t lines = 0;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* e = nl ? nl : end;
        if (e > p && e[-1] == '\r')
            --e;
        const char* s = p;
        while (s < e && blank(*s))
            ++s;
        if (s != e && *s != '#' && !is_header(s, e))
            break;
        const bool header = s != e && *s != '#';
        p = nl ? nl + 1 : end;
        ++lines;
        if (header)
            break;
    }
    return lines;
}

// The memory of a list read from CSV: mapped on its own, large pages asked for (a few faults
// instead of one per page).
struct ListMemory {
    void* map = nullptr;
    size_t length = 0;
    Pulse* pulses = nullptr;

    explicit ListMemory(size_t n)
    {
        constexpr size_t HUGE = size_t(2) << 20;
        const size_t bytes = std::max<size_t>(n, 1) * sizeof(Pulse);
        length = bytes >= HUGE ? bytes + HUGE : bytes;
        map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            map = nullptr;
            throw std::bad_alloc();
        }
        auto start = reinterpret_cast<uintptr_t>(map);
        if (bytes >= HUGE) {
            start = (start + HUGE - 1) & ~(HUGE - 1);
            madvise(reinterpret_cast<void*>(start), (bytes + HUGE - 1) & ~(HUGE - 1), MADV_HUGEPAGE);  // a hint
        }
        pulses = reinterpret_cast<Pulse*>(start);
    }
    ~ListMemory()
    {
        if (map)
            munmap(map, length);
    }
    ListMemory(const ListMemory&) = delete;
    ListMemory& operator=(const ListMemory&) = delete;
};

// Parses a CSV file into at most `keep` pulses (more only counted). A large file is cut into
// pieces at line ends and read by this thread and a second one, each taking the next piece not yet
// taken: first to count their lines, then to read them, each piece's pulses into its place in the
// list (after as many places as the pieces before it have lines). A thread that starts late or is
// slowed only takes fewer pieces. Lines without pulses (blank lines, comments) leave gaps, closed
// at the end. The leading lines, where the header may be, are passed first. Line numbers stay
// those of the whole file.
CsvTally parse_csv_file(const char* text, size_t length, std::unique_ptr<ListMemory>& memory,
                        std::vector<BadLine>& bad, size_t keep)
{
    const char* const end = text + length;
    const size_t room = std::min(most_pulses(length), keep);
    memory = std::make_unique<ListMemory>(room);
    Pulse* const out = memory->pulses;
    if (length < (size_t(4) << 20))
        return parse(text, length, text, end, out, room, bad, true);

    const char* body = text;
    const size_t lead = leading_lines(body, end);
    struct Piece {
        const char* begin;
        const char* end;
        size_t lines = 0;
        CsvTally tally;
        std::vector<BadLine> bad;
    };
    std::vector<Piece> pieces;
    constexpr size_t PIECE_BYTES = size_t(1) << 20;
    for (const char* p = body; p < end;) {
        const char* q = end - p > static_cast<ptrdiff_t>(PIECE_BYTES)
                            ? static_cast<const char*>(std::memchr(p + PIECE_BYTES, '\n', static_cast<size_t>(end - p - PIECE_BYTES)))
                            : nullptr;
        q = q ? q + 1 : end;
        pieces.push_back({p, q, 0, {}, {}});
        p = q;
    }
    const size_t n = pieces.size();
    std::atomic<size_t> next_count{0}, counted{0}, next_read{0};
    auto work = [&] {
        for (size_t i; (i = next_count.fetch_add(1)) < n; counted.fetch_add(1, std::memory_order_release)) {
            Piece& piece = pieces[i];
            piece.lines = count_newlines(piece.begin, static_cast<size_t>(piece.end - piece.begin)) +
                          (piece.end[-1] != '\n');
        }
        while (counted.load(std::memory_order_acquire) < n)
            std::this_thread::yield();
        for (size_t i; (i = next_read.fetch_add(1)) < n;) {
            size_t at = 0;
            for (size_t j = 0; j < i; ++j)
                at += pieces[j].lines;
            at = std::min(at, room);
            Piece& piece = pieces[i];
            piece.tally = parse(piece.begin, static_cast<size_t>(piece.end - piece.begin), text, end, out + at,
                                std::min(piece.lines, room - at), piece.bad, false);
        }
    };
    std::thread worker(work);
    work();
    worker.join();

    CsvTally tally;
    tally.lines = lead;
    bool clipped = false;
    size_t at = 0;
    for (Piece& piece : pieces) {
        for (BadLine& b : piece.bad) {
            if (bad.size() == MAX_BAD_LINES_SHOWN)
                break;
            b.line += tally.lines;
            bad.push_back(std::move(b));
        }
        const size_t kept = std::min(piece.tally.pulses, std::min(piece.lines, room - std::min(at, room)));
        clipped |= kept < piece.tally.pulses;
        // Lines without pulses before this piece leave a gap: its pulses close it.
        if (tally.pulses != at && kept > 0 && tally.pulses < room)
            std::memmove(static_cast<void*>(out + tally.pulses), out + at, kept * sizeof(Pulse));
        at += piece.lines;
        tally.lines += piece.tally.lines;
        tally.pulses += piece.tally.pulses;
        tally.bad_lines += piece.tally.bad_lines;
    }
    if (clipped && tally.bad_lines == 0 && tally.pulses <= keep) {
        // Within the limit, yet a piece's place was cut short by it (lines without pulses): the
        // file read whole.
        bad.clear();
        return parse(text, length, text, end, out, room, bad, true);
    }
    return tally;
}

}  // namespace

PulseList PulseList::read(const std::string& path, PulseFormat format, size_t max_pulses, const std::string& limit_name)
{
    const std::string name = path == "-" ? "standard input" : path;
    FileText file;
    read_all(path, file);
    if (format == PulseFormat::Auto)
        format = detectFormat(path == "-" ? "" : path, file.data(), std::min<size_t>(file.length, 4096));

    auto over_limit = [&](size_t n) {
        input_error(name + ": " + with_commas(n) + " pulses, above the instrument's limit of " +
                    with_commas(max_pulses) + " pulses for " + limit_name + "; nothing was sent");
    };
    PulseList list;
    if (format == PulseFormat::Binary) {
        if (file.length % sizeof(Pulse) != 0)
            input_error(name + ": " + std::to_string(file.length % sizeof(Pulse)) +
                        " bytes after the last whole 9-byte record (record " +
                        with_commas(file.length / sizeof(Pulse) + 1) + " is incomplete); nothing was sent");
        const size_t n = file.length / sizeof(Pulse);
        if (n > max_pulses)
            over_limit(n);
        if (file.map) {
            list.map_ = file.map;
            list.map_length_ = file.length;
            list.data_ = static_cast<const Pulse*>(file.map);
            file.map = nullptr;
        } else {
            list.owned_.resize(n);
            if (n > 0)
                std::memcpy(static_cast<void*>(list.owned_.data()), file.data(), file.length);
            list.data_ = list.owned_.data();
        }
        list.size_ = n;
    } else {
        std::vector<BadLine> bad;
        std::unique_ptr<ListMemory> memory;
        const CsvTally tally = parse_csv_file(file.data(), file.length, memory, bad, max_pulses);
        if (tally.bad_lines > 0) {
            std::string message;
            for (const BadLine& b : bad)
                message += name + ":" + std::to_string(b.line) + ": " + b.reason + "\n";
            if (tally.bad_lines > bad.size())
                message += name + ": " + with_commas(tally.bad_lines - bad.size()) + " more bad lines not shown\n";
            message += name + ": " + with_commas(tally.bad_lines) + (tally.bad_lines == 1 ? " bad line" : " bad lines") +
                       "; nothing was sent";
            input_error(message);
        }
        if (tally.pulses > max_pulses)
            over_limit(tally.pulses);
        list.map_ = memory->map;
        list.map_length_ = memory->length;
        memory->map = nullptr;
        list.data_ = memory->pulses;
        list.size_ = tally.pulses;
    }
    if (list.size_ == 0)
        input_error(name + ": no pulses; nothing was sent");
    return list;
}

}  // namespace tarvex
