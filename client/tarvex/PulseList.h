// Pulse lists from files, in the forms described in docs/sequences.md ("Pulse files"):
//  - CSV text, one pulse per line "ticks,digital,ao0,ao1" (header, comments, blank lines, CRLF);
//  - binary: the "TVXPULSE" header and 9-byte records in the byte order it names, or bare 9-byte
//    records whose byte order the caller gives (never guessed).
// A file is read whole or not at all: every bad line is reported, with its number, in one error
// (beyond the first 1,000 only their count).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tarvex/Error.h"
#include "tarvex/Pulse.h"

namespace tarvex {

// Auto: by the file's header, name and content. Binary: the "TVXPULSE" header required. Little,
// Big: bare records in that byte order (a file with the header is read by its header).
enum class PulseFormat { Auto, Csv, Binary, Little, Big };

// The CSV header line.
constexpr const char* CSV_HEADER = "ticks,digital,ao0,ao1";

// The binary file's first bytes, and the length of its header.
constexpr const char PULSE_FILE_MAGIC[] = "TVXPULSE";
constexpr size_t PULSE_FILE_HEADER_BYTES = 16;

// Largest input read: no CSV of a list within the limits comes near it.
constexpr size_t MAX_PULSE_FILE_BYTES = size_t(256) << 20;

struct BadLine {
    size_t line;         // 1-based; 0 for a fault of the whole file
    std::string reason;  // what is wrong, with the offending text
};

// Bad lines described in an error, at most; the rest are counted.
constexpr size_t MAX_BAD_LINES_SHOWN = 1000;

// A file that cannot be used. what() is the message for people (each line prefixed with the
// file's name); bad() the faults themselves.
class PulseFileError : public Error {
public:
    PulseFileError(const std::string& name, std::vector<BadLine> bad, size_t bad_lines);
    const std::vector<BadLine>& bad() const { return bad_; }
    size_t badLines() const { return bad_lines_; }

private:
    std::vector<BadLine> bad_;
    size_t bad_lines_;
};

struct CsvTally {
    size_t pulses = 0;     // found, also those beyond `keep`
    size_t lines = 0;      // lines read
    size_t bad_lines = 0;  // all of them, also those not described
};

// Parses CSV text. Appends at most `keep` pulses to `out`; the first MAX_BAD_LINES_SHOWN bad
// lines go to `bad`. `reader`: Words reads common lines a word at a time, Fields only field by
// field (the same result, slower).
enum class CsvReader { Words, Fields };
CsvTally parseCsv(const char* text, size_t length, std::vector<Pulse>& out, std::vector<BadLine>& bad,
                  size_t keep = static_cast<size_t>(-1), CsvReader reader = CsvReader::Words);

// Writes `pulses` as a binary pulse file (header and little-endian records).
std::string binaryPulseFile(const Pulse* pulses, size_t count);

// A list read from a file ("-": standard input). A file of little-endian records is mapped and
// used in place; any other is read once into the list. Movable, not copyable.
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

    // Reads `path`. Throws Error(Input) when it cannot be read, PulseFileError for bad lines or
    // a bad binary file, no pulses, or more than `max_pulses` (the limit is named as
    // `limit_name`, e.g. "stream").
    static PulseList read(const std::string& path, PulseFormat format, size_t max_pulses,
                          const std::string& limit_name);
    // The same for a file's bytes in memory (`name` as its name: decides like a path).
    static PulseList fromBytes(const char* data, size_t length, const std::string& name, PulseFormat format,
                               size_t max_pulses, const std::string& limit_name);

private:
    void release();
    std::vector<Pulse> owned_;
    void* map_ = nullptr;
    size_t map_length_ = 0;
    const Pulse* data_ = nullptr;
    size_t size_ = 0;
};

// Csv or Binary (header or bare records) by the file's first bytes (`head`, up to 4 KiB) and its
// name: "TVXPULSE" first is binary; a name ending in .csv or .txt, or text characters only, CSV.
PulseFormat detectFormat(const std::string& path, const char* head, size_t length);

}  // namespace tarvex
