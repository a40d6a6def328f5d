#include "tarvex/PulseList.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
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

// The common line (see plain_line_words) with vector instructions, by its shape. Lines of one
// shape (where its commas and signs stand) differ only in their digits, and the shapes of lines whose
// ticks have at most 8 digits are few (2,400): each has a table entry with its separator masks, its
// signs and the byte gathers that put each field's digits at the end of an 8-byte lane. A line's
// mask of non-digit bytes finds its entry (a perfect hash), the masks of its commas and minus signs
// confirm it, and the four fields are converted at once.
#if defined(CSV_SSSE3)
// By a line's two signs: the largest magnitude of each field, and +1 or -1 for each.
struct alignas(16) SignRow {
    int32_t limit[4];
    int32_t sign[4];
};
struct SignRows {
    SignRow row[4];  // bit 0: ao0 negative, bit 1: ao1
    constexpr SignRows() : row()
    {
        for (int m = 0; m < 4; ++m)
            row[m] = SignRow{{0x7FFFFFFF, 255, 32767 + (m & 1), 32767 + (m >> 1)}, {1, 1, 1 - 2 * (m & 1), 1 - (m & 2)}};
    }
};
constexpr SignRows SIGN_ROWS;

struct alignas(16) LineShape {
    // Byte gathers (pshufb): ticks and digital from the line's first 16 bytes, the analog values
    // from the 16 bytes that end with the last field; each field's digits to the end of its 8-byte
    // lane, the bytes before them zeroed.
    int8_t ticks_digital[16] = {};
    int8_t analog[16] = {};
    uint32_t key = 0;       // the non-digit bytes from the line's start to its end (CR, or newline)
    uint32_t commas = ~0u;  // (no line has commas everywhere: the empty entry matches none)
    uint32_t minus = 0;
    uint32_t sign_row = 0;  // where its row of SIGN_ROWS is, in bytes
};

// Every shape, and a slot for each key, built by the compiler. The multiplier is a perfect hash of
// the keys into the slots (found by a search; the build fails if it is not).
class LineShapes {
public:
    constexpr LineShapes() : shapes_(), slots_()
    {
        unsigned count = 1;  // entry 0 matches no line
        for (unsigned n0 = 1; n0 <= 8; ++n0)
            for (unsigned n1 = 1; n1 <= 3; ++n1)
                for (unsigned m2 = 0; m2 < 2; ++m2)
                    for (unsigned n2 = 1; n2 <= 5; ++n2)
                        for (unsigned m3 = 0; m3 < 2; ++m3)
                            for (unsigned n3 = 1; n3 <= 5; ++n3) {
                                LineShape& s = shapes_[count];
                                const unsigned e0 = n0, e1 = e0 + 1 + n1, e2 = e1 + 1 + m2 + n2, end = e2 + 1 + m3 + n3;
                                s.commas = 1u << e0 | 1u << e1 | 1u << e2;
                                s.minus = m2 << (e1 + 1) | m3 << (e2 + 1);
                                s.key = s.commas | s.minus | 1u << end;
                                s.sign_row = static_cast<uint32_t>((m2 | m3 << 1) * sizeof(SignRow));
                                const unsigned from = end - 15;  // where the analog values' 16 bytes start
                                for (unsigned j = 0; j < 8; ++j) {
                                    const auto at = [j](unsigned field_end, unsigned n) {
                                        return j >= 8 - n ? static_cast<int8_t>(field_end - 8 + j) : int8_t{-1};
                                    };
                                    s.ticks_digital[j] = at(e0, n0), s.ticks_digital[8 + j] = at(e1, n1);
                                    s.analog[j] = at(e2 - from, n2), s.analog[8 + j] = at(end - from, n3);
                                }
                                uint16_t& slot = slots_[index(s.key)];
                                perfect_ = perfect_ && slot == 0;
                                slot = static_cast<uint16_t>(count++ * (sizeof(LineShape) / 16));
                            }
    }

    constexpr bool perfect() const { return perfect_; }

    // The entry for a line's key; one whose key differs when the line has no common shape.
    const LineShape& find(uint32_t key) const
    {
        return *reinterpret_cast<const LineShape*>(reinterpret_cast<const char*>(shapes_) + 16 * size_t{slots_[index(key)]});
    }

private:
    static constexpr unsigned COUNT = 1 + 8 * 3 * 10 * 10, SLOT_BITS = 15;
    static constexpr uint32_t MULTIPLIER = 0xA5069F23;

    static constexpr uint32_t index(uint32_t key) { return (key * MULTIPLIER) >> (32 - SLOT_BITS); }

    static_assert(sizeof(LineShape) % 16 == 0, "slots hold where the entries are in 16-byte steps");
    LineShape shapes_[COUNT];
    uint16_t slots_[size_t{1} << SLOT_BITS];  // where each key's entry is, in 16-byte steps
    bool perfect_ = true;
};
constexpr LineShapes LINE_SHAPES;
static_assert(LINE_SHAPES.perfect(), "two line shapes share a slot: choose another multiplier");

// The pulse of a common line of this shape: `lo` holds its first 16 bytes, `analog` the 16 that end
// with its last field, `ascii` '0' in every byte. Pairs, quads and all eight digits combined for the
// four fields at once, the range test, the signs and the 9-byte record at `out` in vector registers;
// `Wide`: 16 bytes written, the 7 past the record being the next one's. Not zero when a value is out
// of range.
template <bool Wide>
__attribute__((target("ssse3"), always_inline)) inline int shaped_pulse(__m128i lo, __m128i analog,
                                                                        const LineShape& shape, Pulse* out,
                                                                        __m128i ascii)
{
    const auto load = [](const void* at) { return _mm_load_si128(static_cast<const __m128i*>(at)); };
    const __m128i a = _mm_shuffle_epi8(_mm_sub_epi8(lo, ascii), load(shape.ticks_digital));
    const __m128i b = _mm_shuffle_epi8(_mm_sub_epi8(analog, ascii), load(shape.analog));
    const __m128i tens = _mm_set1_epi16(0x010A), hundreds = _mm_set1_epi32(0x00010064);
    const __m128i quads = _mm_packs_epi32(_mm_madd_epi16(_mm_maddubs_epi16(a, tens), hundreds),
                                          _mm_madd_epi16(_mm_maddubs_epi16(b, tens), hundreds));
    const __m128i values = _mm_madd_epi16(quads, _mm_set1_epi32(0x00012710));  // ticks, digital, |ao0|, |ao1|
    const SignRow& row = *reinterpret_cast<const SignRow*>(reinterpret_cast<const char*>(SIGN_ROWS.row) + shape.sign_row);
    const __m128i record = _mm_shuffle_epi8(_mm_sign_epi32(values, load(row.sign)),
                                            _mm_setr_epi8(0, 1, 2, 3, 4, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1));
    if constexpr (Wide) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), record);
    } else {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), record);
        reinterpret_cast<unsigned char*>(out)[8] = static_cast<unsigned char>(_mm_extract_epi16(record, 4));
    }
    return _mm_movemask_epi8(_mm_cmpgt_epi32(values, load(row.limit)));
}

// The line's end comes from its newline alone: where the next line starts does not wait for this
// one's fields, so the processor reads several lines at once. The line ends at the newline, or at a
// CR just before it. Both forms need 32 readable bytes at p and 16 before it.
__attribute__((target("ssse3"))) inline bool plain_line_ssse3(const char*& p, Pulse* out)
{
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const auto mask = [&](char c) {
        const __m128i x = _mm_set1_epi8(c);
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, x))) |
               static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, x))) << 16;
    };
    const uint32_t newlines = mask('\n');
    if (newlines == 0)
        return false;
    const unsigned length = static_cast<unsigned>(__builtin_ctz(newlines)) + 1;
    // Digits become -128..-119; every other byte lands above.
    const __m128i shift = _mm_set1_epi8(static_cast<char>('0' + 128)), above = _mm_set1_epi8(-118);
    const uint32_t digits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_sub_epi8(lo, shift), above))) |
                            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_sub_epi8(hi, shift), above))) << 16;
    const unsigned end = length - 1 - (p[static_cast<int>(length) - 2] == '\r');
    const uint32_t key = ~digits & static_cast<uint32_t>((uint64_t{2} << (end & 31)) - 1);
    const LineShape& shape = LINE_SHAPES.find(key);
    if (((shape.key ^ key) | (shape.commas ^ (mask(',') & key)) | (shape.minus ^ (mask('-') & key))) != 0 ||
        shaped_pulse<false>(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + end - 15)), shape, out,
                            _mm_set1_epi8('0')) != 0)
        return false;
    p += length;
    return true;
}

// The bytes the AVX2 form compares with, 32 of each.
struct LineBytes {
    __m256i newline, comma, minus;
    __m256i digit_shift, digit_above;  // digits less '0' + 128 become -128..-119, all else above -119
    __m128i zero;
};

// The same with AVX2 and BMI2, each mask from one compare of all 32 bytes, for a line of `length`
// bytes at p (up to its newline), at most 32. Its record is written at `out` also when it is not a
// common line: one branch for all the tests.
template <bool Wide>
__attribute__((target("avx2,bmi2"), always_inline)) inline bool shaped_line_avx2(const char* p, unsigned length,
                                                                                  Pulse* out, const LineBytes& bytes)
{
    const __m256i line = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const auto mask = [line](__m256i x) __attribute__((target("avx2"))) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(line, x)));
    };
    const uint32_t non_digits = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_sub_epi8(line, bytes.digit_shift), bytes.digit_above)));
    // (Kept within the line's 32 bytes: a newline alone after a CR has none before it.)
    const unsigned end = (length - 1 - (p[static_cast<int>(length) - 2] == '\r')) & 31;
    const uint32_t key = _bzhi_u32(non_digits, end + 1);
    const LineShape& shape = LINE_SHAPES.find(key);
    const int out_of_range = shaped_pulse<Wide>(_mm256_castsi256_si128(line),
                                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + end - 15)), shape,
                                                out, bytes.zero);
    return ((shape.key ^ key) | (shape.commas ^ (mask(bytes.comma) & key)) | (shape.minus ^ (mask(bytes.minus) & key)) |
            static_cast<uint32_t>(out_of_range)) == 0;
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

// With AVX2, two lines at a time: both their ends come from one mask of the 64 bytes at their
// start, so that where the next two start waits only on that mask, not on each line's own.
__attribute__((target("avx2,bmi2"), noinline)) size_t common_lines_avx2(const char*& p, const char* last, Pulse* out,
                                                                        size_t room)
{
    LineBytes bytes{_mm256_set1_epi8('\n'), _mm256_set1_epi8(','), _mm256_set1_epi8('-'),
                    _mm256_set1_epi8(static_cast<char>('0' + 128)), _mm256_set1_epi8(-119), _mm_set1_epi8('0')};
    // Hidden from the compiler, which would otherwise build them again on every line.
    __asm__("" : "+x"(bytes.newline), "+x"(bytes.comma), "+x"(bytes.minus), "+x"(bytes.digit_shift),
            "+x"(bytes.digit_above), "+x"(bytes.zero));
    const auto newlines = [&bytes](const char* at) __attribute__((target("avx2"))) {
        return static_cast<uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), bytes.newline)));
    };
    const char* q = p;
    size_t n = 0;
    // The 64 bytes at q are readable while q + 32 <= last; both lines must end by `last`.
    while (q + 32 <= last && n + 3 <= room) {
        const uint64_t ends = newlines(q) | uint64_t{newlines(q + 32)} << 32;
        const uint64_t second = ends & (ends - 1);
        if (second == 0)
            break;
        const unsigned a = static_cast<unsigned>(__builtin_ctzll(ends)) + 1,
                       b = static_cast<unsigned>(__builtin_ctzll(second)) + 1;
        if (a > 32 || b - a > 32 || q + b - 1 > last || !shaped_line_avx2<true>(q, a, out + n, bytes))
            break;
        if (!shaped_line_avx2<true>(q + a, b - a, out + n + 1, bytes)) {
            q += a, ++n;
            break;
        }
        q += b, n += 2;
    }
    while (q <= last && n < room) {
        const uint32_t ends = newlines(q);
        if (ends == 0)
            break;
        const unsigned length = static_cast<unsigned>(__builtin_ctz(ends)) + 1;
        if (!shaped_line_avx2<false>(q, length, out + n, bytes))
            break;
        q += length, ++n;
    }
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
// `lines(p, last, out, room)` reads runs of common lines (see common_lines_ssse3).
template <class Lines>
inline CsvTally parse_text(const char* text, size_t length, const char* readable_from, const char* readable_to,
                           Pulse* out, size_t room, std::vector<BadLine>& bad, bool header_allowed, Lines lines)
{
    const char* p = text;
    const char* const end = text + length;
    // Where the fast readers may start a line: 16 readable bytes before it and 32 from it, and
    // before the end of the text.
    const char* const fast_from = readable_from + 16;
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
            const size_t n = lines(p, fast_to, out + tally.pulses, room - tally.pulses);
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
                                                                         const char* readable_from,
                                                                         const char* readable_to, Pulse* out,
                                                                         size_t room, std::vector<BadLine>& bad,
                                                                         bool header_allowed, bool avx2)
{
    return parse_text(text, length, readable_from, readable_to, out, room, bad, header_allowed,
                      [&](const char*& p, const char* last, Pulse* to, size_t space) {
                          return avx2 ? common_lines_avx2(p, last, to, space) : common_lines_ssse3(p, last, to, space);
                      });
}
#endif

__attribute__((noinline, flatten)) CsvTally parse_portable(const char* text, size_t length, const char* readable_from,
                                                           const char* readable_to, Pulse* out, size_t room,
                                                           std::vector<BadLine>& bad, bool header_allowed)
{
    return parse_text(text, length, readable_from, readable_to, out, room, bad, header_allowed,
                      [](const char*& p, const char* last, Pulse* to, size_t space) {
                          return common_lines_portable(p, last, to, space);
                      });
}

#if defined(CSV_SSSE3)
bool has_avx2()
{
    static const bool avx2 = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("avx2") &&
                             __builtin_cpu_supports("bmi2");
    return avx2;
}
#endif

// The reader for this processor, or one with fewer of its instructions.
CsvTally parse(const char* text, size_t length, const char* readable_from, const char* readable_to, Pulse* out,
               size_t room, std::vector<BadLine>& bad, bool header_allowed, CsvReader reader = CsvReader::Fastest)
{
#if defined(CSV_SSSE3)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3 && reader != CsvReader::Portable)
        return parse_ssse3(text, length, readable_from, readable_to, out, room, bad, header_allowed,
                           has_avx2() && reader == CsvReader::Fastest);
#else
    (void)reader;
#endif
    return parse_portable(text, length, readable_from, readable_to, out, room, bad, header_allowed);
}

// Pulses a text of `length` bytes can hold at most: every pulse line but the last has at least
// 8 bytes ("0,0,0,0" and its end).
size_t most_pulses(size_t length) { return length / 8 + 1; }

}  // namespace

CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad, size_t keep,
                  bool header_allowed, CsvReader reader)
{
    const size_t before = out.size();
    const size_t room = std::min(most_pulses(length), keep);
    out.resize(before + room);
    const CsvTally tally = parse(text, length, text, text + length, out.data() + before, room, bad, header_allowed, reader);
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
    bool pieces = false;       // a CSV file, read in pieces
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

// Reads `n` bytes of `fd` from `offset` into `to`: 0, or the error (ENODATA: the file ended early).
int read_at(int fd, char* to, size_t n, size_t offset)
{
    while (n > 0) {
        const ssize_t got = pread(fd, to, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : ENODATA;
        to += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<size_t>(got);
    }
    return 0;
}

// Opens the input and settles its format. A regular file of binary records is mapped; a CSV file is
// left to be read in pieces (`file.pieces`); standard input or a file that cannot be mapped is read
// into memory, bounded.
void open_input(const std::string& path, FileText& file, PulseFormat& format)
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
        char head[4096];
        const size_t head_length = std::min(file.length, sizeof head);
        if (format == PulseFormat::Auto && read_at(file.fd, head, head_length, 0) == 0)
            format = detectFormat(path, head, head_length);
        if (format == PulseFormat::Csv || file.length == 0) {
            file.pieces = true;
            return;
        }
        file.map = mmap(nullptr, file.length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
        if (file.map == MAP_FAILED)
            file.map = nullptr;
        else
            return;
    }
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
    if (format == PulseFormat::Auto)
        format = detectFormat(stdin_input ? "" : path, file.data(), std::min<size_t>(file.length, 4096));
}

#if defined(CSV_SSSE3)
// Newlines in n bytes at p, with AVX2.
__attribute__((target("avx2"), noinline)) size_t count_newlines_avx2(const char* p, size_t n)
{
    size_t count = 0, i = 0;
    const __m256i newline = _mm256_set1_epi8('\n'), zero = _mm256_setzero_si256();
    while (n - i >= 32) {
        // Byte counters, summed before any can pass 255.
        __m256i counters = zero;
        for (const size_t stop = i + std::min<size_t>((n - i) / 32, 255) * 32; i < stop; i += 32)
            counters = _mm256_sub_epi8(
                counters, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), newline));
        const __m256i sums = _mm256_sad_epu8(counters, zero);
        count += static_cast<size_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                                     _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
    }
    for (; i < n; ++i)
        count += p[i] == '\n';
    return count;
}
#endif

// Newlines in n bytes at p.
size_t count_newlines(const char* p, size_t n)
{
#if defined(CSV_SSSE3)
    if (has_avx2())
        return count_newlines_avx2(p, n);
#endif
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

// Memory mapped on its own, large pages asked for: a few faults instead of one per page, and on
// some machines the first touch of each small page costs microseconds.
struct Memory {
    void* map = nullptr;
    size_t length = 0;
    char* start = nullptr;
    size_t size = 0;

    explicit Memory(size_t bytes) : size(std::max<size_t>(bytes, 1))
    {
        constexpr size_t HUGE = size_t(2) << 20;
        length = size >= HUGE ? size + HUGE : size;
        map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            map = nullptr;
            throw std::bad_alloc();
        }
        auto at = reinterpret_cast<uintptr_t>(map);
        if (size >= HUGE) {
            at = (at + HUGE - 1) & ~(HUGE - 1);
            madvise(reinterpret_cast<void*>(at), (size + HUGE - 1) & ~(HUGE - 1), MADV_HUGEPAGE);  // a hint
        }
        start = reinterpret_cast<char*>(at);
    }
    ~Memory()
    {
        if (map)
            munmap(map, length);
    }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
};

// Bytes of a CSV input as a thread sees them: a file, read into a buffer of the thread's own that
// stays in its cache (a page of the file's cache mapped into the process costs about as much at
// its first touch as copying it), or a text already in memory.
class Window {
public:
    Window(int fd, const char* text) : fd_(fd), text_(text) {}

    // Makes bytes [base, base + want) readable at data(), the first `have` of them already being
    // there. 0, or the error.
    int fetch(size_t base, size_t have, size_t want)
    {
        if (text_) {
            data_ = text_ + base;
            return 0;
        }
        if (!buffer_ || buffer_->size < want) {
            // At least one large page unless the input is small.
            auto bigger = std::make_unique<Memory>(std::max({want, have * 2, want < 65536 ? 0 : size_t(2) << 20}));
            if (have > 0)
                std::memcpy(bigger->start, buffer_->start, have);
            buffer_ = std::move(bigger);
        }
        data_ = buffer_->start;
        return read_at(fd_, buffer_->start + have, want - have, base + have);
    }
    const char* data() const { return data_; }

private:
    int fd_;
    const char* text_;
    std::unique_ptr<Memory> buffer_;
    const char* data_ = nullptr;
};

[[noreturn]] void read_failed(const std::string& name, int error)
{
    if (error == ENOMEM)
        throw std::bad_alloc();
    input_error(name + ": " + (error == ENODATA ? std::string("changed while it was read") : std::strerror(error)));
}

// Reads CSV input of `length` bytes (the file `fd`, or `text` when not null) into at most `keep`
// pulses at `out` (more only counted) by this thread alone.
CsvTally read_csv_whole(int fd, const char* text, const std::string& name, size_t length, Pulse* out, size_t room,
                        std::vector<BadLine>& bad)
{
    Window all(fd, text);
    if (const int error = all.fetch(0, 0, length))
        read_failed(name, error);
    bad.clear();
    return parse(all.data(), length, all.data(), all.data() + length, out, room, bad, true);
}

// Reads CSV input of `length` bytes (the file `fd`, or `text` when not null) into a list of at most
// `keep` pulses (more only counted). Large input is read by this thread and a second one in 1 MB
// pieces, each taking the next piece not yet taken; a piece holds the lines that start in it. A
// thread counts its piece's lines, then waits until the pieces before it are counted (their threads
// count before they parse) and parses the piece into its place in the list, after as many places
// as those pieces have lines. A thread that starts late or is slowed only takes fewer pieces. Lines
// without pulses (blank lines, comments) leave gaps, closed at the end. The leading lines, where
// the header may be, are passed first; line numbers stay those of the whole input.
CsvTally read_csv(int fd, const char* text, const std::string& name, size_t length, std::unique_ptr<Memory>& list,
                  std::vector<BadLine>& bad, size_t keep)
{
    const size_t room = std::min(most_pulses(length), keep);
    list = std::make_unique<Memory>(room * sizeof(Pulse));
    Pulse* const out = reinterpret_cast<Pulse*>(list->start);
    constexpr size_t HEAD = 65536;
    if (length < (size_t(4) << 20))
        return read_csv_whole(fd, text, name, length, out, room, bad);

    // The leading lines, when they end in the first 64 kB (else the input is read whole).
    Window head(fd, text);
    if (const int error = head.fetch(0, 0, HEAD))
        read_failed(name, error);
    const char* const head_end = static_cast<const char*>(memrchr(head.data(), '\n', HEAD));
    const char* body_in_head = head.data();
    const size_t lead = head_end ? leading_lines(body_in_head, head_end + 1) : 0;
    if (!head_end || body_in_head > head_end)
        return read_csv_whole(fd, text, name, length, out, room, bad);
    const size_t body = static_cast<size_t>(body_in_head - head.data());

    constexpr size_t PIECE_BYTES = size_t(1) << 20, NOT_COUNTED = static_cast<size_t>(-1);
    const size_t n = (length - body + PIECE_BYTES - 1) / PIECE_BYTES;
    struct Piece {
        std::atomic<size_t> lines{NOT_COUNTED};
        CsvTally tally;
        std::vector<BadLine> bad;
    };
    std::vector<Piece> pieces(n);
    std::atomic<size_t> next{0};
    std::atomic<int> failure{0};

    auto work = [&] {
        Window window(fd, text);
        size_t known = 0, at = 0;  // the pieces before `known` hold `at` lines
        for (size_t i; failure.load(std::memory_order_relaxed) == 0 && (i = next.fetch_add(1)) < n;) {
            Piece& piece = pieces[i];
            bool counted = false;
            try {
                // From the byte before the piece (does a line start at its first byte?) to past
                // the end of the last line that starts in it.
                const size_t from = body + i * PIECE_BYTES, to = std::min(length, from + PIECE_BYTES);
                const size_t base = from - (from > 0), first = from - base, last = to - base;
                size_t have = std::min(length, to + 4096) - base;
                int error = window.fetch(base, 0, have);
                const char* w = window.data();
                const bool starts = !error && (i == 0 || w[0] == '\n');  // the first piece starts after the leading lines
                size_t lines = 0, begin = first, end = first;
                if (!error) {
                    lines = starts + count_newlines(w + first, last - 1 - first);
                    if (!starts) {
                        const void* nl = std::memchr(w + first, '\n', last - first);
                        begin = nl ? static_cast<size_t>(static_cast<const char*>(nl) - w) + 1 : last;
                    }
                }
                // The last line's end: grow the window until it is in, or the input ends.
                size_t look = last - 1;
                const void* nl = nullptr;
                while (!error && lines > 0 && !(nl = std::memchr(w + look, '\n', have - look)) && base + have < length) {
                    const size_t want = have + std::min(length - base - have, std::max<size_t>(have, 65536));
                    look = have;
                    error = window.fetch(base, have, want);
                    w = window.data();
                    have = want;
                }
                if (lines > 0)
                    end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - w) + 1 : have;
                piece.lines.store(lines, std::memory_order_release);
                counted = true;
                if (error) {
                    failure.store(error);
                    break;
                }
                for (; known < i; ++known) {
                    size_t l;
                    while ((l = pieces[known].lines.load(std::memory_order_acquire)) == NOT_COUNTED)
                        std::this_thread::yield();
                    at += l;
                }
                const size_t place = std::min(at, room);
                piece.tally = parse(w + begin, end - begin, w, w + have, out + place, std::min(lines, room - place),
                                    piece.bad, false);
            } catch (...) {
                failure.store(ENOMEM);
            }
            if (!counted)
                piece.lines.store(0, std::memory_order_release);
        }
    };
    std::thread worker(work);
    work();
    worker.join();
    if (failure)
        read_failed(name, failure);

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
        const size_t lines = piece.lines.load();
        const size_t kept = std::min(piece.tally.pulses, std::min(lines, room - std::min(at, room)));
        clipped |= kept < piece.tally.pulses;
        // Lines without pulses before this piece leave a gap: its pulses close it.
        if (tally.pulses != at && kept > 0 && tally.pulses < room)
            std::memmove(static_cast<void*>(out + tally.pulses), out + at, kept * sizeof(Pulse));
        at += lines;
        tally.lines += piece.tally.lines;
        tally.pulses += piece.tally.pulses;
        tally.bad_lines += piece.tally.bad_lines;
    }
    if (clipped && tally.bad_lines == 0 && tally.pulses <= keep)  // a piece's place cut short by the limit
        return read_csv_whole(fd, text, name, length, out, room, bad);
    return tally;
}

}  // namespace

PulseList PulseList::read(const std::string& path, PulseFormat format, size_t max_pulses, const std::string& limit_name)
{
    const std::string name = path == "-" ? "standard input" : path;
    FileText file;
    open_input(path, file, format);

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
        std::unique_ptr<Memory> memory;
        const CsvTally tally = read_csv(file.pieces ? file.fd : -1, file.pieces ? nullptr : file.data(), name,
                                        file.length, memory, bad, max_pulses);
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
        list.data_ = reinterpret_cast<const Pulse*>(memory->start);
        list.size_ = tally.pulses;
    }
    if (list.size_ == 0)
        input_error(name + ": no pulses; nothing was sent");
    return list;
}

}  // namespace tarvex
