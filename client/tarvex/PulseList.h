// Pulse lists from files. Two formats:
//  - CSV text, one pulse per line: ticks,digital,ao0,ao1. ticks 0 to 4294967295; digital 0 to 255
//    or exactly eight 0/1 characters, output 7 first ("00001111": outputs 0-3 high); ao0 and ao1
//    -32768 to 32767. An optional first line "ticks,digital,ao0,ao1" (any case) is the header;
//    blank lines and lines starting with '#' are skipped; blanks around fields are allowed;
//    lines end with LF or CRLF.
//  - binary: packed 9-byte records in the binary protocol's layout (tarvex::Pulse), little-endian.
// A file is read whole or not at all: every bad line is reported, with its number, in one error
// (beyond the first 1,000 only their count).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tarvex/Pulse.h"

namespace tarvex {

enum class PulseFormat { Auto, Csv, Binary };

// The CSV header line.
constexpr const char* CSV_HEADER = "ticks,digital,ao0,ao1";

// Largest input read: no CSV of a list within the limits comes near it.
constexpr size_t MAX_PULSE_FILE_BYTES = size_t(256) << 20;

struct BadLine {
    size_t line;         // 1-based
    std::string reason;  // what is wrong, with the offending text
};

// Bad lines described in an error, at most; the rest are counted.
constexpr size_t MAX_BAD_LINES_SHOWN = 1000;

struct CsvTally {
    size_t pulses = 0;     // found, also those beyond `keep`
    size_t lines = 0;      // lines read
    size_t bad_lines = 0;  // all of them, also those not described
};

// Parses CSV text. Appends at most `keep` pulses to `out`; the first MAX_BAD_LINES_SHOWN bad
// lines go to `bad`. `header_allowed`: the text starts the file, so its first line with content
// may be the header. `reader`: the fastest form for this processor, or one with fewer of its
// vector instructions (the same result).
enum class CsvReader { Fastest, Ssse3, Portable };
CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad,
                  size_t keep = static_cast<size_t>(-1), bool header_allowed = true,
                  CsvReader reader = CsvReader::Fastest);

// A list read from a file ("-": standard input). A binary file is mapped and used in place; a CSV
// file is parsed once into the list. Movable, not copyable.
class PulseList {
public:
    PulseList() = default;
    explicit PulseList(std::vector<Pulse> pulses);
    ~PulseList();
    PulseList(PulseList&& other) noexcept;
    PulseList& operator=(PulseList&& other) noexcept;
    PulseList(const PulseList&) = delete;
    PulseList& operator=(const PulseList&) = delete;

    const Pulse* data() const { return data_; }
    size_t size() const { return size_; }
    const Pulse& operator[](size_t i) const { return data_[i]; }

    // Reads `path`. Throws Error(Input) naming the file: unreadable, bad lines (all of them), an
    // incomplete binary record, no pulses, or more than `max_pulses` (the limit is named as
    // `limit_name`, e.g. "stream").
    static PulseList read(const std::string& path, PulseFormat format, size_t max_pulses,
                          const std::string& limit_name);

private:
    void release();
    std::vector<Pulse> owned_;
    void* map_ = nullptr;
    size_t map_length_ = 0;
    const Pulse* data_ = nullptr;
    size_t size_ = 0;
};

// The format of a file: by its name (.csv/.txt: CSV; .bin/.dat/.raw: binary), else by its first
// bytes (text characters only: CSV).
PulseFormat detectFormat(const std::string& path, const char* head, size_t length);

}  // namespace tarvex
