// The memory command format: the encoder's exact command bytes, result records and limits, the
// decoder on hand-written bytes, a property test of the encoder (whole lists and in pieces)
// against an independent rasteriser, read back through the decoder, and the window's access rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hardware/CommandDecoder.h"
#include "device/Pulse.h"
#include "platform/platform.h"
#include "support/seq_window.h"
#include "support/stdout_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Pulse P(uint32_t ticks, uint8_t digi, int16_t a0 = 0, int16_t a1 = 0) { return Pulse{ticks, digi, a0, a1}; }
const Pulse MARKER{0, 0xAA, 0, 0};

Full_Pattern final_state(uint8_t digi = 0, int16_t a0 = 0, int16_t a1 = 0) { return Full_Pattern(0, digi, a0, a1); }

Bytes region_bytes(const SeqWindow& w, unsigned slot, size_t n) { return Bytes(w.slot(slot), w.slot(slot) + n); }

using testsupport::StdoutCapture;

// Encodes a list whole, or in pieces of `piece` pulses (the log lines are not looked at).
SequenceControlData encode(SeqWindow& w, const std::vector<Pulse>& pulses, unsigned slot = 0, uint64_t n_runs = 1,
                           Full_Pattern fin = final_state(), size_t piece = 0) {
    StdoutCapture capture;
    if (piece == 0) return highToLow(AnalogCalibDataCorr(), pulses, fin, n_runs, w.mapper, slot);
    SequenceEncoder e(AnalogCalibDataCorr(), w.mapper, slot, fin, n_runs);
    for (size_t at = 0; at < pulses.size(); at += piece) e.add(pulses.data() + at, std::min(piece, pulses.size() - at));
    return e.finish();
}

struct ByteCase {
    const char* name;
    std::vector<Pulse> pulses;
    Bytes bytes;
    uint32_t n_pulses;
    uint64_t whole_ticks;
};

TEST(Encoder, WritesTheDocumentedCommandBytes) {
    const std::vector<ByteCase> cases = {
        {"partial words",
         {P(20, 0x01), P(5, 0x03), P(7, 0x00)},
         {0x5C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x01, 0x40, 0x02, 0xF0, 0xC0, 0x03, 0x01, 0x01},
         3,
         4},
        {"merge, all channels changed",
         {P(16, 0xFF), P(16, 0xFF)},
         {0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x03},
         1,
         4},
        {"padded to one word", {P(3, 0x01)}, {0xCC, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20}, 1, 1},
        {"analog extremes, two-byte count",
         {P(8, 0x00, 32767, -32768), P(100000, 0x80)},
         {0x4C, 0x00, 0x00, 0x00, 0xFF, 0x3F, 0xEC, 0x80, 0xFF, 0x00, 0x20, 0x00, 0x20, 0xD3, 0x30},
         2,
         12501},
        {"marker inside a word",
         {P(4, 0x01), MARKER, P(4, 0x00)},
         {0x4C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x42, 0x00, 0xC0, 0x01, 0x0F},
         3,
         3},
        {"leading marker", {MARKER, P(8, 0x01)}, {0x42, 0x00, 0xCC, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20}, 2, 2},
        {"counts at the limit do not merge",
         {P(0xFFFFFFF8u, 0x01), P(0xFFFFFFF8u, 0x01)},
         {0x7C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0xFE, 0xFF, 0xFF, 0x1F, 0xF0, 0x00, 0xFE, 0xFF, 0xFF, 0x1F},
         2,
         2ull * 0x1FFFFFFF},
        {"one-byte count edge 255/256",
         {P(8 * 256, 0x01), P(8 * 257, 0x02)},
         {0x5C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0xFF, 0xE0, 0x03, 0x00, 0xFF, 0x00, 0x01},
         2,
         513},
        {"two-byte count at its top",
         {P(8 * 0x10000, 0x01)},
         {0xEC, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0xFF, 0xFF},
         1,
         0x10000},
        {"marker at a word boundary holds tick 7 and the codes",
         {P(8, 0x81, 100, -100), MARKER, P(8, 0x00)},
         {0x4C, 0x81, 0xFF, 0xFF, 0xE7, 0x1F, 0x19, 0x20, 0x42, 0x00, 0xCC, 0x81, 0x00, 0x00, 0x00, 0x20, 0x00, 0x20},
         3,
         3},
        {"trailing marker at a word boundary ends with the empty word",
         {P(8, 0x01), MARKER},
         {0x4C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x42, 0x00, 0xC0, 0x01, 0x00},
         3,
         3},
    };
    SeqWindow w;
    for (const ByteCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (unsigned slot : {0u, 1u}) {
            w.poison(slot, 64);
            const SequenceControlData r = encode(w, c.pulses, slot, 1, final_state(), slot);  // slot 1: one by one
            EXPECT_EQ(region_bytes(w, slot, c.bytes.size()), c.bytes);
            EXPECT_EQ(w.slot(slot)[c.bytes.size()], 0x5A) << "byte after the end command changed";
            EXPECT_EQ(r.nBytes, c.bytes.size());
            EXPECT_EQ(r.nPulses, c.n_pulses);
            EXPECT_EQ(r.wholeTicks, c.whole_ticks);
            EXPECT_DOUBLE_EQ(r.dataRate, double(c.bytes.size()) / double(c.whole_ticks));
        }
    }
}

TEST(Encoder, FinalStateCommandForEmptyListsAndZeroRuns) {
    const Bytes expected = {0xCC, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x20};
    const std::vector<std::vector<Pulse>> lists = {{}, {P(0, 0x01), P(0, 0xFF, 5, 5)}, {MARKER, MARKER}};
    SeqWindow w;
    for (const auto& list : lists) {
        w.poison(1, 32);
        const SequenceControlData r = encode(w, list, 1, 1, final_state(0x81));
        EXPECT_EQ(region_bytes(w, 1, 14), expected);
        EXPECT_EQ(w.slot(1)[14], 0x5A);
        EXPECT_EQ(r.nBytes, 14u);
        EXPECT_EQ(r.nPulses, 0u);
        EXPECT_EQ(r.wholeTicks, 0u);
        EXPECT_EQ(r.dataRate, 0.0);
    }
    // n_runs 0: the list is ignored.
    w.poison(0, 32);
    const SequenceControlData r = encode(w, {P(20, 0x01), MARKER, P(5, 0x03)}, 0, 0, final_state(0x81, 0, 0), 1);
    EXPECT_EQ(region_bytes(w, 0, 14), expected);
    EXPECT_EQ(r.nBytes, 14u);
    EXPECT_EQ(r.nPulses, 0u);
    // The final state's codes go through the calibration.
    encode(w, {}, 0, 1, final_state(0x00, 32767, -32768));
    EXPECT_EQ(region_bytes(w, 0, 14), (Bytes{0xCC, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0xFF, 0x3F}));
}

TEST(Encoder, UndefinedSlotWritesNothing) {
    SeqWindow w;
    w.poison(0, 32);
    w.poison(1, 32);
    for (unsigned slot : {2u, 0xFFFFFFFFu}) {
        const SequenceControlData r = encode(w, {P(20, 0x01)}, slot);
        EXPECT_EQ(r.nBytes, 0u);
        EXPECT_EQ(r.nPulses, 0u);
        EXPECT_EQ(r.wholeTicks, 0u);
        EXPECT_EQ(r.dataRate, 0.0);
        EXPECT_EQ(region_bytes(w, 0, 32), Bytes(32, 0x5A));
        EXPECT_EQ(region_bytes(w, 1, 32), Bytes(32, 0x5A));
    }
}

// A partial word: channel bits tick by tick, analog values weighted by their ticks, rounded down.
TEST(Encoder, PartialWordAssembly) {
    Full_Pattern word;
    word.set_patterns(0, 3, 0x01, 100, -100);
    word.set_patterns(3, 5, 0x02, 0, 0);
    EXPECT_EQ(word.pattern[0], 0x07);
    EXPECT_EQ(word.pattern[1], 0xF8);
    EXPECT_EQ(+word.ao0, 37);   // floor(3 * 100 / 8)
    EXPECT_EQ(+word.ao1, -38);  // floor(3 * -100 / 8) rounds down
    ANALOG_TO_BYTES codes;
    codes.setWithCalibration(37, -38);
    EXPECT_EQ(word.analog, codes);
    // A share longer than the rest of the word is cut to it (here 6 ticks from tick 3: 5).
    Full_Pattern over;
    over.set_patterns(3, 6, 0x01, 800, -8);
    EXPECT_EQ(over.pattern[0], 0xF8);
    EXPECT_EQ(+over.ao0, 500);
    EXPECT_EQ(+over.ao1, -5);
}

TEST(Encoder, LeavingTheWindowThrowsAndKeepsEarlierCommands) {
    SeqWindow w;
    // Four shorter commands (13 bytes: no count; 14: a 1-byte count), then 17-byte ones (all
    // channel bytes and both codes change, 4-byte count): one of them ends exactly on the end of
    // slot 1's region, which is not below it.
    const size_t head = 13 + 3 * 14;
    static_assert((reg::SEQMEM_SLOT1_OFFSET - 13 - 3 * 14) % CMD_MAX_BYTES == 0,
                  "a 17-byte command ends on the window's end");
    std::vector<Pulse> worst = {P(8, 0xFF, 1000, -1000), P(16, 0x00, -1000, 1000), P(16, 0xFF, 1000, -1000),
                                P(16, 0x00, -1000, 1000)};
    const size_t n = (reg::SEQMEM_SLOT1_OFFSET - head) / CMD_MAX_BYTES + 16;
    for (size_t i = 0; i < n; ++i) {
        bool odd = !(i & 1);
        worst.push_back(P(8 * 0x10001, odd ? 0xFF : 0x00, odd ? 1000 : -1000, odd ? -1000 : 1000));
    }
    EXPECT_THROW(encode(w, worst, 1, 1, final_state(), 1000), std::out_of_range);

    // The commands that end below the window's end are in place, the one ending on it is not.
    const size_t fitting = 4 + (reg::SEQMEM_SLOT1_OFFSET - head) / CMD_MAX_BYTES - 1;
    memcmd::DecodeResult d = memcmd::decode(w.slot(1), reg::SEQMEM_SLOT1_OFFSET);
    EXPECT_FALSE(d.ok()) << "an end command was found";
    ASSERT_GE(d.commands.size(), fitting);
    for (size_t i = 0; i < fitting; ++i) {
        ASSERT_EQ(d.commands[i].length, i == 0 ? 13u : i < 4 ? 14u : CMD_MAX_BYTES) << i;
        ASSERT_FALSE(d.commands[i].end()) << i;
        ASSERT_EQ(d.commands[i].count, i == 0 ? 0u : i < 4 ? 1u : 0x10000u) << i;
    }
    const uint8_t* s = w.slot(1);
    const size_t written = head + (fitting - 4) * CMD_MAX_BYTES;
    EXPECT_EQ(s[written - CMD_MAX_BYTES], 0x3C);
    EXPECT_EQ(Bytes(s + written, s + reg::SEQMEM_SLOT1_OFFSET), Bytes(CMD_MAX_BYTES, 0));
}

// ---- the decoder on hand-written command bytes ----

memcmd::Word word(std::initializer_list<uint8_t> channels, uint16_t c0, uint16_t c1, bool marker = false) {
    memcmd::Word w;
    size_t i = 0;
    for (uint8_t c : channels) w.channels[i++] = c;
    w.code0 = c0;
    w.code1 = c1;
    w.marker = marker;
    return w;
}

TEST(Decoder, ResolvesFieldsAgainstThePreviousCommand) {
    const Bytes region = {
        0x5C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x01,                    // ch0 0xFF, both codes, count 1
        0x42, 0x00,                                                        // marker, nothing changed
        0x08, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x34, 0x12,  // unmasked, code 1 only
        0x60, 0x81, 0x0F, 0xF0, 0x34, 0x12,                                // ch0, ch7; two-byte count 0x1234
        0xF0, 0x00, 0xFF, 0xFF, 0xFF, 0x1F,                                // end, four-byte count 0x1FFFFFFF
        0xEE, 0xEE,                                                        // beyond the end: not read
    };
    memcmd::DecodeResult d = memcmd::decode(region.data(), region.size());
    ASSERT_TRUE(d.ok()) << d.error;
    ASSERT_EQ(d.commands.size(), 5u);
    EXPECT_EQ(d.bytes, region.size() - 2);
    EXPECT_EQ(d.whole_ticks, 2u + 1 + 1 + 0x1235 + 0x20000000);

    EXPECT_EQ(d.commands[0].word, word({0xFF, 0, 0, 0, 0, 0, 0, 0}, 0x2000, 0x2000));
    EXPECT_EQ(d.commands[0].count, 1u);
    EXPECT_EQ(d.commands[1].word, word({0xFF, 0, 0, 0, 0, 0, 0, 0}, 0x2000, 0x2000, true));
    EXPECT_EQ(d.commands[1].offset, 8u);
    EXPECT_EQ(d.commands[1].length, 2u);
    EXPECT_EQ(d.commands[2].word, word({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 0x2000, 0x1234));
    EXPECT_EQ(d.commands[3].word, word({0x0F, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF0}, 0x2000, 0x1234));
    EXPECT_EQ(d.commands[3].count, 0x1234u);
    EXPECT_FALSE(d.commands[3].end());
    EXPECT_TRUE(d.commands[4].end());
    EXPECT_EQ(d.commands[4].word, d.commands[3].word);  // the marker flag does not carry over
    EXPECT_EQ(d.commands[4].count, 0x1FFFFFFFu);

    // The start reference: channels 0, codes 0x1FFF.
    const Bytes first = {0xC0, 0x00};
    d = memcmd::decode(first.data(), first.size());
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.commands[0].word, word({0, 0, 0, 0, 0, 0, 0, 0}, 0x1FFF, 0x1FFF));
}

TEST(Decoder, ReportsMalformedData) {
    struct Case {
        Bytes bytes;
        const char* error;
        size_t decoded;
    };
    const std::vector<Case> cases = {
        {{}, "offset 0: no end command", 0},
        {{0x40, 0x00, 0x40, 0x00}, "offset 4: no end command", 2},
        {{0x40, 0x00, 0x41, 0x00}, "offset 2: reserved header bit set", 1},
        {{0xC0, 0x03, 0x01}, "offset 0: command runs past the region", 0},
        {{0xC0}, "offset 0: command runs past the region", 0},
        {{0x80, 1, 2, 3, 4, 5, 6, 7}, "offset 0: command runs past the region", 0},
        {{0xF0, 0x00, 0x00, 0x00, 0x00, 0x20}, "offset 0: repeat count above the limit", 0},
    };
    for (const Case& c : cases) {
        memcmd::DecodeResult d = memcmd::decode(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(d.error, c.error);
        EXPECT_EQ(d.commands.size(), c.decoded);
    }
}

TEST(Decoder, WordsAndSegments) {
    const Bytes region = {
        0x4C, 0x01, 0xFF, 0x00, 0x20, 0xFF, 0x3F,  // output 0 high, one word
        0x50, 0x02, 0x03, 0x02,                    // ch1 = 0x03: output 1 high in ticks 0-1, 3 words
        0xD0, 0x03, 0x00, 0x00, 0xFF,              // end: all low, 256 words
    };
    memcmd::DecodeResult d = memcmd::decode(region.data(), region.size());
    ASSERT_TRUE(d.ok()) << d.error;

    bool truncated = true;
    std::vector<memcmd::Word> words = memcmd::played_words(d, 1000, &truncated);
    EXPECT_FALSE(truncated);
    ASSERT_EQ(words.size(), 1u + 3 + 256);
    EXPECT_EQ(words[1], words[3]);
    EXPECT_EQ(words[1].digi(0), 0x03);
    EXPECT_EQ(words[1].digi(2), 0x01);
    words = memcmd::played_words(d, 2, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(words.size(), 2u);

    // Segments: uniform words join, the partial word splits per tick.
    const std::vector<memcmd::Segment> expected = {
        {8, 0x01, 0x2000, 0x3FFF}, {2, 0x03, 0x2000, 0x3FFF},       {6, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},       {2, 0x03, 0x2000, 0x3FFF},
        {6, 0x01, 0x2000, 0x3FFF}, {8 * 256, 0x00, 0x2000, 0x3FFF},
    };
    EXPECT_EQ(memcmd::segments(d, 100, &truncated), expected);
    EXPECT_FALSE(truncated);
    EXPECT_EQ(memcmd::segments_from_words(memcmd::played_words(d, 1000)), expected);
    std::vector<memcmd::Segment> few = memcmd::segments(d, 3, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(few, std::vector<memcmd::Segment>(expected.begin(), expected.begin() + 3));

    // Pages of the readback: any (from, max) gives that slice of the whole list, and `more`
    // exactly when segments follow it.
    for (size_t from = 0; from <= expected.size() + 1; ++from)
        for (size_t max = 1; max <= expected.size() + 1; ++max) {
            memcmd::SegmentPage page = memcmd::read_segments(region.data(), region.size(), from, max);
            const size_t begin = std::min(from, expected.size()), end = std::min(from + max, expected.size());
            EXPECT_EQ(page.segments,
                      std::vector<memcmd::Segment>(expected.begin() + long(begin), expected.begin() + long(end)))
                << from << "/" << max;
            EXPECT_EQ(page.more, from + max < expected.size()) << from << "/" << max;
            EXPECT_EQ(page.error, "");
        }

    // Words that differ in one output only stay apart.
    EXPECT_EQ(memcmd::segments_from_words({word({0}, 0x2000, 0x1000), word({0}, 0x2000, 0x1001)}),
              (std::vector<memcmd::Segment>{{8, 0x00, 0x2000, 0x1000}, {8, 0x00, 0x2000, 0x1001}}));

    // A repeated uniform word stays one segment however long it plays.
    const Bytes hold = {0xF4, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x1F};
    d = memcmd::decode(hold.data(), hold.size());
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(memcmd::segments(d, 1), (std::vector<memcmd::Segment>{{8ull * 0x20000000, 0x00, 0x0000, 0x1FFF}}));

    // A page at the end of a partial word played 2^29 times (2^30 segments) is read at once.
    const Bytes partial = {0xB0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x1F};
    const memcmd::Segment high{4, 0x01, 0x1FFF, 0x1FFF}, low{4, 0x00, 0x1FFF, 0x1FFF};
    const memcmd::SegmentPage deep = memcmd::read_segments(partial.data(), partial.size(), (1ull << 30) - 3, 4);
    EXPECT_EQ(deep.segments, (std::vector<memcmd::Segment>{low, high, low}));
    EXPECT_FALSE(deep.more);
}

// One played word and how often in a row.
struct WordRun {
    memcmd::Word word;
    uint64_t times;
};

// What the outputs play for a pulse list, assembled word by word with Full_Pattern (the word
// step of the format, not the encoder's loop).
class Rasteriser {
public:
    std::vector<WordRun> runs;

    void play(const std::vector<Pulse>& list) {
        uint64_t total = 0;
        for (const Pulse& p : list) total += p.ticks;
        if (total == 0) return;
        int16_t last0 = 0, last1 = 0;
        for (const Pulse& p : list) {
            if (p.ticks == 0) {
                if (p.digi == 0xAA) marker(last0, last1);
                continue;
            }
            last0 = p.ao0;
            last1 = p.ao1;
            stretch(p.ticks, p.digi, p.ao0, p.ao1);
        }
        if (fill_ > 0) stretch(8 - fill_, list.back().digi, list.back().ao0, list.back().ao1);
        if (runs.back().word.marker) emit(Full_Pattern(), 1);
    }

private:
    void stretch(uint64_t ticks, uint8_t digi, int16_t a0, int16_t a1) {
        while (ticks > 0) {
            if (fill_ == 0 && ticks >= 8) {
                emit(Full_Pattern(0, digi, a0, a1), ticks / 8);
                ticks %= 8;
                continue;
            }
            const unsigned n = unsigned(std::min<uint64_t>(ticks, 8 - fill_));
            part_.set_patterns(uint8_t(fill_), uint8_t(n), digi, a0, a1);
            fill_ += n;
            ticks -= n;
            if (fill_ == 8) {
                emit(part_, 1);
                part_ = Full_Pattern();
                fill_ = 0;
            }
        }
    }

    // A marker word of the levels held in the last tick played.
    void marker(int16_t last0, int16_t last1) {
        uint8_t hold = 0;
        const unsigned f = fill_;
        for (int ch = 0; ch < 8; ++ch) {
            const bool high =
                f ? (part_.pattern[ch] >> (f - 1)) & 1 : !runs.empty() && (runs.back().word.channels[ch] & 0x80);
            hold |= uint8_t(high << ch);
        }
        if (f == 0) {
            memcmd::Word m = runs.empty() ? memcmd::Word() : runs.back().word;
            for (int ch = 0; ch < 8; ++ch) m.channels[ch] = (hold >> ch) & 1 ? 0xFF : 0x00;
            m.marker = true;
            runs.push_back(WordRun{m, 1});
            return;
        }
        stretch(8 - f, hold, last0, last1);
        emit(Full_Pattern(0, hold, last0, last1), 1, true);
        stretch(f, hold, last0, last1);
    }

    void emit(const Full_Pattern& p, uint64_t times, bool marker = false) {
        memcmd::Word w;
        std::copy(p.pattern, p.pattern + 8, w.channels);
        w.code0 = uint16_t(p.analog.value);
        w.code1 = uint16_t(p.analog.value >> 16);
        w.marker = marker;
        runs.push_back(WordRun{w, times});
    }

    Full_Pattern part_;
    unsigned fill_ = 0;
};

// Joins adjacent equal words (markers stay single) so that differently split runs compare equal.
std::vector<WordRun> joined(const std::vector<WordRun>& in) {
    std::vector<WordRun> out;
    for (const WordRun& r : in) {
        if (!out.empty() && !r.word.marker && out.back().word == r.word) {
            out.back().times += r.times;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// Length a command must have: masked unless all channel bytes change, codes only when changed,
// smallest count width.
size_t minimal_length(const memcmd::Word& prev, const memcmd::DecodedCommand& c) {
    size_t changed = 0;
    for (int i = 0; i < 8; ++i) changed += prev.channels[i] != c.word.channels[i];
    size_t n = 1 + (changed == 8 ? 8 : 1 + changed);
    n += (prev.code0 != c.word.code0 ? 2 : 0) + (prev.code1 != c.word.code1 ? 2 : 0);
    n += c.count == 0 ? 0 : c.count <= 0xFF ? 1 : c.count <= 0xFFFF ? 2 : 4;
    return n;
}

uint32_t pick_ticks(std::mt19937_64& rng) {
    switch (rng() % 10) {
        case 0: return 0;
        case 1:
        case 2:
        case 3: return 1 + rng() % 7;
        case 4:
        case 5: return 8 + rng() % 57;
        case 6: return 8 * (1 + rng() % 40);
        case 7: return 0xFFFFFFFFu - uint32_t(rng() % 16);
        case 8: return 8 * uint32_t(0x1FFFFFFF - rng() % 4);
        default: return 1 + rng() % 3000;
    }
}

int16_t pick_analog(std::mt19937_64& rng) {
    switch (rng() % 6) {
        case 0: return -32768;
        case 1: return 32767;
        case 2: return 0;
        case 3: return int16_t(rng() % 9 - 4);
        default: return int16_t(rng());
    }
}

// Up to 47 pulses: markers, repeats, zero and near-2^32 tick lengths, extreme analog values.
std::vector<Pulse> edge_list(std::mt19937_64& rng) {
    std::vector<Pulse> list(rng() % 48);
    Pulse prev = P(8, 0x00);
    for (Pulse& p : list) {
        if (rng() % 9 == 0) {
            p = MARKER;
            continue;
        }
        p = (rng() % 4 == 0)
                ? prev
                : P(pick_ticks(rng), uint8_t(rng() % 3 == 0 ? rng() % 4 : rng()), pick_analog(rng), pick_analog(rng));
        if (rng() % 5 == 0) p.ticks = pick_ticks(rng);
        prev = p;
    }
    return list;
}

TEST(EncoderProperty, DecodedOutputEqualsTheRasterisedPulseList) {
    SeqWindow w;
    std::mt19937_64 rng(20240517);
    const int lists = 4000;
    int merged_somewhere = 0, with_markers = 0;
    for (int iter = 0; iter < lists; ++iter) {
        const std::vector<Pulse> list = edge_list(rng);
        const unsigned slot = rng() % 2;
        const size_t piece = rng() % 2 ? 0 : 1 + rng() % 5;
        const SequenceControlData r = encode(w, list, slot, 1, final_state(0x81), piece);

        Rasteriser oracle;
        oracle.play(list);
        SCOPED_TRACE("list " + std::to_string(iter));
        if (oracle.runs.empty()) {
            ASSERT_EQ(r.nBytes, 14u);
            ASSERT_EQ(w.slot(slot)[0], 0xCC);
            continue;
        }
        memcmd::DecodeResult d = memcmd::decode(w.slot(slot), reg::SEQMEM_SLOT1_OFFSET);
        ASSERT_TRUE(d.ok()) << d.error;
        ASSERT_EQ(r.nBytes, d.bytes);
        ASSERT_EQ(r.nPulses, d.commands.size());
        ASSERT_EQ(r.wholeTicks, d.whole_ticks);
        ASSERT_NEAR(r.dataRate, double(d.bytes) / double(d.whole_ticks), 1e-12 * r.dataRate);

        std::vector<WordRun> decoded;
        memcmd::Word prev_word;  // start reference
        for (size_t i = 0; i < d.commands.size(); ++i) {
            const memcmd::DecodedCommand& c = d.commands[i];
            ASSERT_EQ(c.end(), i + 1 == d.commands.size());
            ASSERT_EQ(c.length, minimal_length(prev_word, c)) << "command " << i;
            if (c.word.marker) {
                ASSERT_EQ(c.count, 0u);
            }
            if (i > 0) {
                const memcmd::DecodedCommand& b = d.commands[i - 1];
                bool mergeable = !b.word.marker && !c.word.marker && b.word == c.word &&
                                 b.repetitions() + c.repetitions() <= 0x20000000;
                ASSERT_FALSE(mergeable) << "commands " << i - 1 << " and " << i;
                merged_somewhere += b.word == c.word;
            }
            decoded.push_back(WordRun{c.word, c.repetitions()});
            prev_word = c.word;
            prev_word.marker = false;
        }
        std::vector<WordRun> expect = joined(oracle.runs), got = joined(decoded);
        ASSERT_EQ(got.size(), expect.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].word, expect[i].word) << "run " << i;
            ASSERT_EQ(got[i].times, expect[i].times) << "run " << i;
        }
        for (const WordRun& run : expect) with_markers += run.word.marker;
    }
    // The generator must reach the interesting cases.
    EXPECT_GT(merged_somewhere, 50);
    EXPECT_GT(with_markers, 500);
}

// The window is reached only through aligned platform accesses: any other access fails loudly.
TEST(SequenceWindowDeathTest, MisalignedAccessesAndDirectReadsFail) {
    SeqWindow w;
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t back[8] = {};
    platform::window_write(w.mapper.addr + 8, bytes, 8, 8);
    platform::window_read(back, w.mapper.addr + 8, 8);
    EXPECT_EQ(Bytes(back, back + 8), Bytes(bytes, bytes + 8));
    EXPECT_DEATH(platform::window_write(w.mapper.addr + 4, bytes, 8, 8), "misaligned store");
    EXPECT_DEATH(platform::window_write(w.mapper.addr + 1, bytes, 2, 2), "misaligned store");
    EXPECT_DEATH(platform::window_read(back, w.mapper.addr + 2, 4), "misaligned load");
    EXPECT_DEATH(platform::window_write(back, bytes, 8, 8), "outside the sequence window");
    // A writer reading the window back directly faults.
    EXPECT_DEATH(std::printf("%d", *static_cast<volatile uint8_t*>(w.mapper.addr + 8)), "");
}

}  // namespace
