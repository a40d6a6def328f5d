#include <algorithm>
#include <cstdint>
#include <cstring>

#include "csv_fields.h"
#include "tarvex/PulseList.h"

namespace tarvex::csv {

namespace {

inline bool digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

void skip_blanks(const char*& p, const char* e) {
    while (p < e && blank(*p)) ++p;
}

// Reads 1 to `max_digits` decimal digits at p; false when there are none or more.
bool number(const char*& p, const char* e, uint64_t& value, int max_digits) {
    const char* start = p;
    uint64_t v = 0;
    while (p < e && digit(*p) && p - start <= max_digits) v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p == start || p - start > max_digits) return false;
    value = v;
    return true;
}

// Skips blanks and one separator ',' (or, for the last field, requires the end of the line).
bool separator(const char*& p, const char* e, bool last) {
    skip_blanks(p, e);
    if (last) return p == e;
    if (p == e || *p != ',') return false;
    ++p;
    return true;
}

bool analog(const char*& p, const char* e, int16_t& out) {
    skip_blanks(p, e);
    const bool negative = p < e && *p == '-';
    if (negative) ++p;
    uint64_t v = 0;
    if (!number(p, e, v, 5) || v > (negative ? 32768u : 32767u)) return false;
    out = static_cast<int16_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
    return true;
}

// Field `field` of [p, e) without the blanks around it.
std::string field_text(const char* p, const char* e, int field) {
    for (int i = 0; i < field && p < e; ++i) {
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(e - p)));
        p = comma ? comma + 1 : e;
    }
    const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(e - p)));
    const char* end = comma && field < 3 ? comma : e;
    skip_blanks(p, end);
    while (end > p && blank(end[-1])) --end;
    std::string text(p, end);
    if (text.size() > 40) text = text.substr(0, 40) + "...";
    return text;
}

}  // namespace

int parseLine(const char* p, const char* e, Pulse& out) {
    uint64_t v = 0;
    skip_blanks(p, e);
    if (!number(p, e, v, 10) || v > 0xFFFFFFFFu || !separator(p, e, false)) return 0;
    out.ticks = static_cast<uint32_t>(v);
    skip_blanks(p, e);
    const char* d = p;
    int bits = 0;
    while (bits < 9 && d + bits < e && (d[bits] == '0' || d[bits] == '1')) ++bits;
    if (bits == 8 && (d + 8 == e || blank(d[8]) || d[8] == ',')) {
        unsigned byte = 0;
        for (int i = 0; i < 8; ++i) byte = byte << 1 | static_cast<unsigned>(d[i] - '0');
        out.digi = static_cast<uint8_t>(byte);
        p = d + 8;
    } else {
        if (!number(p, e, v, 3) || v > 255) return 1;
        out.digi = static_cast<uint8_t>(v);
    }
    if (!separator(p, e, false)) return 1;
    // Through locals: the packed record's fields may sit at odd addresses.
    int16_t ao0 = 0, ao1 = 0;
    if (!analog(p, e, ao0) || !separator(p, e, false)) return 2;
    out.ao0 = ao0;
    if (!analog(p, e, ao1) || !separator(p, e, true)) return 3;
    out.ao1 = ao1;
    return -1;
}

std::string describe(const char* p, const char* e, int field) {
    static const char* const what[] = {"ticks must be 0 to 4294967295",
                                       "digital must be 0 to 255 or eight 0/1 characters",
                                       "ao0 must be -32768 to 32767", "ao1 must be -32768 to 32767"};
    const auto commas = std::count(p, e, ',');
    if (commas != 3) return "4 fields expected (" + std::string(CSV_HEADER) + "), found " + std::to_string(commas + 1);
    return std::string(what[field]) + ", not \"" + field_text(p, e, field) + "\"";
}

bool isHeader(const char* p, const char* e) {
    if (std::count(p, e, ',') != 3 || e - p > 200) return false;
    std::string names;
    for (int field = 0; field < 4; ++field) names += (field ? "," : "") + field_text(p, e, field);
    std::transform(names.begin(), names.end(), names.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return names == CSV_HEADER;
}

}  // namespace tarvex::csv
