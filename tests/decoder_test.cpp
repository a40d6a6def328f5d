// The decoder of the memory command format, on hand-written command bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/CommandDecoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
        0x5C, 0x01, 0xFF, 0x00, 0x20, 0x00, 0x20, 0x01,  // ch0 0xFF, both codes, count 1
        0x42, 0x00,                                      // marker, nothing changed
        0x08, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x34, 0x12,  // unmasked, code 1 only
        0x60, 0x81, 0x0F, 0xF0, 0x34, 0x12,              // ch0, ch7; two-byte count 0x1234
        0xF0, 0x00, 0xFF, 0xFF, 0xFF, 0x1F,              // end, four-byte count 0x1FFFFFFF
        0xEE, 0xEE,                                      // beyond the end: not read
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
        {8, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {8 * 256, 0x00, 0x2000, 0x3FFF},
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
            EXPECT_EQ(page.segments, std::vector<memcmd::Segment>(expected.begin() + long(begin), expected.begin() + long(end)))
                << from << "/" << max;
            EXPECT_EQ(page.more, from + max < expected.size()) << from << "/" << max;
            EXPECT_EQ(page.error, "");
        }

    // A repeated uniform word stays one segment however long it plays.
    const Bytes hold = {0xF4, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x1F};
    d = memcmd::decode(hold.data(), hold.size());
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(memcmd::segments(d, 1), (std::vector<memcmd::Segment>{{8ull * 0x20000000, 0x00, 0x0000, 0x1FFF}}));
}

}  // namespace
