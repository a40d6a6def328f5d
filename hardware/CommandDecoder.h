// Decoder of the sequence memory command format (memory_commands.h): what the FPGA plays from a
// slot's region. The simulator plays slots through it; the readback of the front end and the
// tests read slots with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hardware/memory_commands.h"

namespace memcmd {

// One played word of 8 ticks.
struct Word {
    uint8_t channels[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // byte i: output i, bit j: tick j
    uint16_t code0 = START_CODE;                     // DAC codes of the two analog outputs
    uint16_t code1 = START_CODE;
    bool marker = false;

    // Digital output byte during tick j (bit i = output i).
    uint8_t digi(unsigned tick) const;
    // The digital output bytes of the 8 ticks: byte j is digi(j).
    uint64_t tick_bytes() const;
    // True when every output keeps one level for the whole word.
    bool uniform() const;
    bool operator==(const Word& o) const;
    bool operator!=(const Word& o) const { return !(*this == o); }
};

// One decoded command, resolved against the command before it.
struct DecodedCommand {
    size_t offset = 0;  // byte offset in the region
    size_t length = 0;  // bytes, header included
    uint8_t header = 0;
    Word word;           // the word as played (absent fields filled from the reference)
    uint32_t count = 0;  // repetitions minus one
    bool end() const { return header & HDR_END; }
    uint64_t repetitions() const { return uint64_t(count) + 1; }
};

// A stretch of constant output: ticks of 1 ns, digital byte, the two DAC codes.
struct Segment {
    uint64_t ticks = 0;
    uint8_t digi = 0;
    uint16_t code0 = 0;
    uint16_t code1 = 0;
    bool operator==(const Segment& o) const {
        return ticks == o.ticks && digi == o.digi && code0 == o.code0 && code1 == o.code1;
    }
};

struct DecodeResult {
    std::vector<DecodedCommand> commands;  // up to and including the end command (or up to the error)
    size_t bytes = 0;                      // bytes from the region start to the end of the last command
    uint64_t whole_ticks = 0;              // words (8 ticks each) one run plays: sum of repetitions
    std::string error;                     // empty when the data is well formed

    bool ok() const { return error.empty(); }
};

// Decodes the commands at `region` up to the end command, reading at most max_bytes bytes.
// Malformed data (reserved bit set, count above MAX_COUNT, no end command within max_bytes)
// stops decoding with an error text; the commands decoded before it are kept. Without
// keep_commands only bytes, whole ticks and the error are filled in (no list is built).
DecodeResult decode(const uint8_t* region, size_t max_bytes, bool keep_commands = true);

// Totals of a region measured so far (decode without keep_commands, resumable).
struct Measurement {
    size_t bytes = 0;    // bytes of the commands measured (where measuring goes on)
    uint64_t words = 0;  // their words (8 ticks each): sum of repetitions
    bool done = false;   // the end command or malformed data was reached
    std::string error;   // as decode's, once done
};

// Measures commands from m.bytes on, reading at most max_bytes bytes of the region, until the end
// command or malformed data (m.done), or until m.words exceeds `enough`. Measuring in steps gives
// the totals of one decode(region, max_bytes, false).
void measure(const uint8_t* region, size_t max_bytes, Measurement& m, uint64_t enough = UINT64_MAX);

// The played words, repeat counts expanded, at most max_words of them (sets *truncated if more).
std::vector<Word> played_words(const DecodeResult& decoded, uint64_t max_words, bool* truncated = nullptr);

// Stretches of constant output of a word sequence, adjacent equal stretches joined.
std::vector<Segment> segments_from_words(const std::vector<Word>& words);

// The same from the decoded commands without expanding uniform words: a repeated uniform word is
// one segment. At most max_segments segments (sets *truncated if more).
std::vector<Segment> segments(const DecodeResult& decoded, size_t max_segments, bool* truncated = nullptr);

// One page of what a region plays: at most max_segments segments from segment index `from` on,
// decoded without building the command list (memory stays bounded by the page). `more` is set when
// segments follow the page; `error` as decode's.
struct SegmentPage {
    std::vector<Segment> segments;
    bool more = false;
    std::string error;
};
// Where paging through a region stands before one of its commands, to go on from there instead of
// from the start: the command's offset, the word it is resolved against, and the segment being
// built with its index.
struct PageCursor {
    size_t pos = 0;
    Word ref;
    Segment cur;
    bool have = false;
    uint64_t index = 0;
};
// Given `cursor` (of the same region), a page from a segment at or after it is read from there, and
// the cursor moves to where the next page begins.
SegmentPage read_segments(const uint8_t* region, size_t max_bytes, uint64_t from, size_t max_segments,
                          PageCursor* cursor = nullptr);

}  // namespace memcmd
