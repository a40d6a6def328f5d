#include "tarvex/PulseList.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
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

std::string describe(const char* p, const char* e, int field)
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

bool is_header(const char* p, const char* e)
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
inline bool plain_line_words(const char*& p, Pulse& out)
{
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
    if (p[e3 + cr] != '\n')
        return false;
    const uint64_t digi = digits_value(p + e1, e1 - s1), a0 = digits_value(p + e2, e2 - s2),
                   a1 = digits_value(p + e3, e3 - s3);
    if (digi > 255 || a0 > 32767u + minus2 || a1 > 32767u + minus3)
        return false;
    out.ticks = static_cast<uint32_t>(digits_value(p + e0, e0));
    out.digi = static_cast<uint8_t>(digi);
    out.ao0 = static_cast<int16_t>(minus2 ? -static_cast<int64_t>(a0) : static_cast<int64_t>(a0));
    out.ao1 = static_cast<int16_t>(minus3 ? -static_cast<int64_t>(a1) : static_cast<int64_t>(a1));
    p += e3 + cr + 1;
    return true;
}

}  // namespace

CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad, size_t keep,
                  bool header_allowed)
{
    const char* p = text;
    const char* const end = text + length;
    CsvTally tally;
    bool first_content = header_allowed;
    while (p < end) {
        ++tally.lines;
        Pulse plain;
        if ((end - p >= 32 && p - text >= 8 && plain_line_words(p, plain)) || plain_line(p, end, plain)) {
            if (tally.pulses++ < keep)
                out.push_back(plain);
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
            if (tally.pulses++ < keep)
                out.push_back(pulse);
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

// Asks for large pages under a large list's reserved memory: a few faults instead of one per page.
void huge_pages(std::vector<Pulse>& list)
{
    constexpr uintptr_t HUGE = uintptr_t(2) << 20;
    const auto begin = (reinterpret_cast<uintptr_t>(list.data()) + HUGE - 1) & ~(HUGE - 1);
    const auto end = (reinterpret_cast<uintptr_t>(list.data() + list.capacity())) & ~(HUGE - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint: failure changes nothing
}

// A large file is parsed in two halves at once, the second on its own thread (the reading, not
// the sending, is what a user waits for). Line numbers stay those of the whole file.
CsvTally parse_csv_file(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad,
                        size_t keep)
{
    // A pulse line takes at least 8 bytes ("0,0,0,0" and its end).
    out.reserve(std::min(length / 8 + 1, keep));
    huge_pages(out);
    const char* cut = length >= (size_t(4) << 20)
                          ? static_cast<const char*>(std::memchr(text + length / 2, '\n', length - length / 2))
                          : nullptr;
    if (!cut || cut + 1 == text + length)
        return parseCsv(text, length, out, bad, keep);
    const size_t first = static_cast<size_t>(cut + 1 - text);
    std::vector<Pulse> second_out;
    std::vector<BadLine> second_bad;
    CsvTally second;
    std::thread worker([&] {
        second_out.reserve(std::min((length - first) / 8 + 1, keep));
        huge_pages(second_out);
        second = parseCsv(text + first, length - first, second_out, second_bad, keep, false);
    });
    CsvTally tally = parseCsv(text, first, out, bad, keep);
    worker.join();
    if (tally.pulses == 0 && tally.bad_lines == 0) {
        // Only blank lines and comments in the first half: the header may be in the second.
        out.clear();
        bad.clear();
        return parseCsv(text, length, out, bad, keep);
    }
    for (BadLine& b : second_bad) {
        if (bad.size() == MAX_BAD_LINES_SHOWN)
            break;
        b.line += tally.lines;
        bad.push_back(std::move(b));
    }
    const size_t room = tally.pulses < keep ? keep - tally.pulses : 0;
    out.insert(out.end(), second_out.begin(), second_out.begin() + static_cast<std::ptrdiff_t>(std::min(room, second_out.size())));
    tally.pulses += second.pulses;
    tally.lines += second.lines;
    tally.bad_lines += second.bad_lines;
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
        const CsvTally tally = parse_csv_file(file.data(), file.length, list.owned_, bad, max_pulses);
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
        const size_t n = tally.pulses;
        if (n > max_pulses)
            over_limit(n);
        list.data_ = list.owned_.data();
        list.size_ = list.owned_.size();
    }
    if (list.size_ == 0)
        input_error(name + ": no pulses; nothing was sent");
    return list;
}

}  // namespace tarvex
