// The simulator's playback driven by the device operations: played length, chaining, looping,
// the slot-run limit, triggers, rearm, busy slots, injected faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "sim/Playback.h"
#include "support/device.h"

using namespace reg;
namespace pb = sim::playback;
using testsupport::eventually;

namespace {

class PlaybackTest : public testsupport::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        pulser->streaming_state_timeout = std::chrono::seconds(5);  // no spurious transfer failures
    }
    // One pulse of `words` words of digital state `digi`.
    static std::vector<Pulse> words(uint32_t n, uint8_t digi = 0x01) { return {{n * 8, digi, 0, 0}}; }

    int upload(unsigned slot, const std::vector<Pulse>& seq, long long runs, next_action_t next = 0) {
        return pulser->upload(slot, seq, runs, Pulse{0, 0, 0, 0}, next, 0, 0);
    }
    int start(unsigned slot, long long slot_runs) { return pulser->start(slot, slot_runs); }
    void trigger(start_t mode, trigger_rearm_t rearm) { pulser->setTrigger(mode, rearm); }
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
