// The simulator: the decoder of the memory command format on hand-written bytes, and playback
// driven by the device operations (played length, chaining, looping, the slot-run limit,
// triggers, rearm, busy slots, injected faults).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <vector>

#include "sim/Decoder.h"
#include "sim/Playback.h"
#include "support/device.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::Word word(std::initializer_list<uint8_t> channels, uint16_t c0, uint16_t c1, bool marker = false) {
    sim::Word w;
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
    sim::DecodeResult d = sim::decode(region.data(), region.size());
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
    d = sim::decode(first.data(), first.size());
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
        sim::DecodeResult d = sim::decode(c.bytes.data(), c.bytes.size());
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
    sim::DecodeResult d = sim::decode(region.data(), region.size());
    ASSERT_TRUE(d.ok()) << d.error;

    bool truncated = true;
    std::vector<sim::Word> words = sim::played_words(d, 1000, &truncated);
    EXPECT_FALSE(truncated);
    ASSERT_EQ(words.size(), 1u + 3 + 256);
    EXPECT_EQ(words[1], words[3]);
    EXPECT_EQ(words[1].digi(0), 0x03);
    EXPECT_EQ(words[1].digi(2), 0x01);
    words = sim::played_words(d, 2, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(words.size(), 2u);

    // Segments: uniform words join, the partial word splits per tick.
    const std::vector<sim::Segment> expected = {
        {8, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {2, 0x03, 0x2000, 0x3FFF}, {6, 0x01, 0x2000, 0x3FFF},
        {8 * 256, 0x00, 0x2000, 0x3FFF},
    };
    EXPECT_EQ(sim::segments(d, 100, &truncated), expected);
    EXPECT_FALSE(truncated);
    EXPECT_EQ(sim::segments_from_words(sim::played_words(d, 1000)), expected);
    std::vector<sim::Segment> few = sim::segments(d, 3, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(few, std::vector<sim::Segment>(expected.begin(), expected.begin() + 3));

    // Words that differ in one output only stay apart.
    EXPECT_EQ(sim::segments_from_words({word({0}, 0x2000, 0x1000), word({0}, 0x2000, 0x1001)}),
              (std::vector<sim::Segment>{{8, 0x00, 0x2000, 0x1000}, {8, 0x00, 0x2000, 0x1001}}));

    // A repeated uniform word stays one segment however long it plays.
    const Bytes hold = {0xF4, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x1F};
    d = sim::decode(hold.data(), hold.size());
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(sim::segments(d, 1), (std::vector<sim::Segment>{{8ull * 0x20000000, 0x00, 0x0000, 0x1FFF}}));
}

}  // namespace

using namespace reg;
namespace pb = sim::playback;

namespace {

// A state the simulator reaches on the wall clock; never a statement about how fast.
bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        usleep(500);
    }
    return pred();
}

class PlaybackTest : public testsupport::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        pulser->streaming_state_timeout = std::chrono::seconds(5);  // no spurious transfer failures
    }
    // One pulse of `words` words of digital state `digi`.
    static std::vector<Pulse> words(uint32_t n, uint8_t digi = 0x01) { return {{n * 8, digi, 0, 0}}; }

    int upload(unsigned slot, const std::vector<Pulse>& seq, long long runs, next_action_t next = 0,
               on_nodata_t nodata = 0, when_t when = 0) {
        int r = pulser->upload(slot, seq, runs, Pulse{0, 0, 0, 0}, next, when, nodata);
        return r;
    }
    int start(unsigned slot, long long slot_runs) {
        int r = pulser->start(slot, slot_runs);
        return r;
    }
    void trigger(start_t mode, trigger_rearm_t rearm) {
        pulser->setTrigger(mode, rearm);
    }
    bool finished() { return pulser->hasFinished(); }
    uint32_t status() { return fpga->read(CTRL_BASE + ctrl::STATUS); }
};

TEST_F(PlaybackTest, PlaysWordsTimesRunsThenFinishes) {
    ASSERT_EQ(upload(0, words(1000), 3), 0);
    EXPECT_EQ(pb::info(*fpga).slots[0].words, 1000u);
    EXPECT_TRUE(pb::info(*fpga).slots[0].holds);
    EXPECT_EQ(pb::info(*fpga).slots[0].decode_error, "");
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_FALSE(pulser->isStreaming());
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 0u);
    EXPECT_EQ(ss.state_condition, 3u);
    EXPECT_EQ(ss.streaming_time, 3000u);  // 1000 words x 3 runs, in 8 ns cycles
    EXPECT_GE(ss.total_time, ss.streaming_time);
    EXPECT_EQ(ss.slot_changes, 0u);
    EXPECT_EQ(pb::info(*fpga).plays, 1u);
    // A finished slot's memory is free again; the slot still holds its data and starts again.
    EXPECT_TRUE(pulser->isReadyForData(0));
    EXPECT_TRUE(pulser->startable(0));
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 3000u);
}

TEST_F(PlaybackTest, ChainsSlotZeroToSlotOne) {
    ASSERT_EQ(upload(0, words(1000, 0x01), 2, 1), 0);
    ASSERT_EQ(upload(1, words(500, 0x02), 1, 0), 0);
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.slot_changes, 1u);
    EXPECT_EQ(ss.streaming_time, 2500u);
    EXPECT_EQ(pb::info(*fpga).plays, 2u);

    // Two slots following each other play until the slot-run count is used up.
    ASSERT_EQ(upload(1, words(500, 0x02), 1, 2), 0);
    ASSERT_EQ(start(0, 7), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    ss = pulser->getStreamingState();
    EXPECT_EQ(ss.slot_changes, 6u);
    EXPECT_EQ(ss.streaming_time, 4 * 2000u + 3 * 500u);
}

TEST_F(PlaybackTest, LoopingSlotAndSlotRunLimit) {
    ASSERT_EQ(upload(0, words(10), 1, 3), 0);
    ASSERT_EQ(start(0, 5), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 50u);
    EXPECT_EQ(pb::info(*fpga).plays, 5u);

    ASSERT_EQ(start(0, -1), 0);
    usleep(5000);
    EXPECT_TRUE(pulser->isStreaming());
    EXPECT_TRUE(status() & status::LOOP_MODE);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 2u);
    EXPECT_EQ(ss.state_condition, 3u);
    EXPECT_GT(pb::info(*fpga).plays, 5u);
}

TEST_F(PlaybackTest, HardwareEdgesSoftwareStrobeAndAutoRearm) {
    trigger(HARDWARE_RISING, AUTO);
    ASSERT_EQ(upload(0, words(100), 1), 0);
    ASSERT_EQ(start(0, -1), 0);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 3u);
    EXPECT_EQ(ss.state_condition, 0u);
    EXPECT_FALSE(pb::trigger_edge(*fpga, false));
    EXPECT_FALSE(pulser->isStreaming());
    EXPECT_TRUE(pb::trigger_edge(*fpga, true));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    // Automatic rearm: the next edge plays it again.
    EXPECT_TRUE(pb::trigger_edge(*fpga, true));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 200u);

    trigger(HARDWARE_FALLING, AUTO);
    EXPECT_FALSE(pb::trigger_edge(*fpga, true));
    EXPECT_TRUE(pb::trigger_edge(*fpga, false));
    ASSERT_TRUE(eventually([&] { return finished(); }));

    trigger(HARDWARE_RISING_AND_FALLING, AUTO);
    EXPECT_TRUE(pb::trigger_edge(*fpga, true));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_TRUE(pb::trigger_edge(*fpga, false));
    ASSERT_TRUE(eventually([&] { return finished(); }));

    // Software mode: the input is off, the strobe starts.
    trigger(SOFTWARE, AUTO);
    EXPECT_FALSE(pb::trigger_edge(*fpga, true));
    pulser->startNow();
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 600u);
}

TEST_F(PlaybackTest, UnderflowStopsAndBlocksUntilStopped) {
    ASSERT_EQ(upload(0, words(8), -1), 0);
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(pulser->isStreaming());
    pb::inject_underflow(*fpga, false);
    EXPECT_FALSE(pulser->isStreaming());
    EXPECT_EQ(pulser->getUnderflow(), 1u);
    EXPECT_FALSE(pulser->hasFinished());
    usleep(1000);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 4u);
    EXPECT_EQ(ss.error_message, "Underflow");
    EXPECT_GT(ss.underflow_time, 0u);
    EXPECT_EQ(upload(1, words(8), 1), -1);
    EXPECT_FALSE(pulser->startable(0));

    // With the error-cleared pair, uploads go on; stopping clears the indication.
    pb::inject_underflow(*fpga, true);
    EXPECT_EQ(upload(1, words(8), 1), 0);
    EXPECT_FALSE(pulser->startable(1));
    pulser->stopFpga();
    EXPECT_EQ(pulser->getUnderflow(), 0u);
    EXPECT_EQ(status() & (status::ERROR_KIND_A | status::ERROR_KIND_B), 0u);
}

}  // namespace
