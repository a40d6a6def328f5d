// The playing simulator driven by the device operations: played length (words x runs), chaining,
// looping, the slot-run limit, triggers, rearm, busy slots, injected faults, and the whole path
// watched from outside through the control channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "sim/Control.h"
#include "sim/Playback.h"
#include "support/control_client.h"
#include "support/device.h"

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
        testing::internal::CaptureStdout();
        int r = pulser->upload(slot, seq, runs, Pulse{0, 0, 0, 0}, next, when, nodata);
        testing::internal::GetCapturedStdout();
        return r;
    }
    int start(unsigned slot, long long slot_runs) {
        testing::internal::CaptureStdout();
        int r = pulser->start(slot, slot_runs);
        testing::internal::GetCapturedStdout();
        return r;
    }
    void trigger(start_t mode, trigger_rearm_t rearm) {
        testing::internal::CaptureStdout();
        pulser->setTrigger(mode, rearm);
        testing::internal::GetCapturedStdout();
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

TEST_F(PlaybackTest, LongSequencePlaysItsWholeLength) {
    // Many commands: the slot's memory is read step by step while it plays, yet the play lasts
    // exactly its words x runs.
    std::vector<Pulse> seq;
    uint64_t ticks = 0;
    for (uint32_t i = 0; seq.size() < 60000; ++i) {
        seq.push_back(Pulse{8 * (1 + i % 5), uint8_t(i), int16_t(i % 7), 0});
        ticks += seq.back().ticks;
    }
    ASSERT_EQ(upload(0, seq, 2), 0);
    ASSERT_EQ(start(0, -1), 0);
    EXPECT_TRUE(pulser->isStreaming());
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 2 * ticks / 8);
    EXPECT_EQ(pb::info(*fpga).slots[0].words, ticks / 8);
    EXPECT_EQ(pb::info(*fpga).slots[0].decode_error, "");
    EXPECT_EQ(pb::info(*fpga).plays, 1u);
    // The slot never enabled has nothing measured.
    EXPECT_EQ(pb::info(*fpga).slots[1].words, 0u);
    EXPECT_EQ(pb::info(*fpga).slots[1].decode_error, "");
}

TEST_F(PlaybackTest, EndlessRunStreamsUntilStopped) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(pulser->stream(words(4), -1, Pulse{0, 0, 0, 0}), 0);
    testing::internal::GetCapturedStdout();
    usleep(20000);
    EXPECT_TRUE(pulser->isStreaming());
    EXPECT_FALSE(pulser->hasFinished());
    EXPECT_FALSE(pulser->isReadyForData(0));
    EXPECT_TRUE(pulser->isReadyForData(1));
    EXPECT_EQ(pulser->getStreamingState().state, 2u);

    testing::internal::CaptureStdout();
    pulser->forceFinal();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(pulser->isStreaming());
    EXPECT_FALSE(pulser->hasFinished());
    EXPECT_FALSE(pulser->hasSequence());
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 0u);
    EXPECT_EQ(ss.state_condition, 0u);
    EXPECT_EQ(ss.total_time, 0u);
    EXPECT_EQ(pb::info(*fpga).phase, pb::Phase::Idle);

    // A finite run count whose play passes 2^64 ns (4 words x 2^61 runs) also plays until stopped.
    ASSERT_EQ(upload(0, words(4), 1ll << 61), 0);
    ASSERT_EQ(start(0, -1), 0);
    usleep(20000);
    EXPECT_TRUE(pulser->isStreaming());
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

TEST_F(PlaybackTest, MissingFollowOnData) {
    // Nothing in slot 1 and no on_nodata behaviour: "No Data".
    ASSERT_EQ(upload(0, words(100), 1, 1), 0);
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(eventually([&] { return pb::info(*fpga).phase == pb::Phase::NoData; }));
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 4u);
    EXPECT_EQ(ss.error_message, "No Data");

    // on_nodata 1: slot 0 repeats until slot 1 holds data, then slot 1 follows.
    ASSERT_EQ(upload(0, words(100), 1, 1, 1), 0);
    ASSERT_EQ(start(0, -1), 0);
    ASSERT_TRUE(eventually([&] { return pb::info(*fpga).plays > 3; }));
    EXPECT_TRUE(pulser->isStreaming());
    EXPECT_TRUE(pulser->isReadyForData(1));
    ASSERT_EQ(upload(1, words(100, 0x02), 1, 0), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().slot_changes, 1u);
}

TEST_F(PlaybackTest, WhenBitChangesSlotsAtTheEndOfARun) {
    // Slot 0 would run for ever; with the when bit it hands over once slot 1 holds data.
    ASSERT_EQ(upload(0, words(100), -1, 1, 0, 1), 0);
    ASSERT_EQ(start(0, -1), 0);
    usleep(2000);
    EXPECT_TRUE(pulser->isStreaming());
    ASSERT_EQ(upload(1, words(100, 0x02), 1, 0), 0);
    ASSERT_TRUE(eventually([&] { return finished(); }));
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.slot_changes, 1u);
    EXPECT_EQ(ss.streaming_time % 100, 0u);  // whole runs of 100 words
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

TEST_F(PlaybackTest, ManualRearm) {
    trigger(SOFTWARE, MANUAL);
    ASSERT_EQ(upload(0, words(100), 1), 0);
    ASSERT_EQ(start(0, -1), 0);
    pulser->startNow();
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_TRUE(status() & status::REARM_POSSIBLE);
    EXPECT_TRUE(status() & status::REARM_STROBE_NEEDED);
    pulser->startNow();  // not armed: nothing happens
    EXPECT_EQ(pb::info(*fpga).phase, pb::Phase::Finished);

    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 1);
    bool strobe = false;
    for (uint32_t w : fpga->writes(CTRL_BASE + ctrl::CONTROL)) strobe = strobe || (w & ctrl::REARM.mask);
    EXPECT_TRUE(strobe);
    EXPECT_EQ(pb::info(*fpga).phase, pb::Phase::Armed);
    EXPECT_FALSE(status() & status::REARM_POSSIBLE);
    pulser->startNow();
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().streaming_time, 200u);

    // Without the strobe requirement, clearing and setting run enable rearms.
    pb::set_rearm_strobe_needed(*fpga, false);
    EXPECT_FALSE(status() & status::REARM_STROBE_NEEDED);
    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 1);
    for (uint32_t w : fpga->writes(CTRL_BASE + ctrl::CONTROL)) EXPECT_EQ(w & ctrl::REARM.mask, 0u);
    EXPECT_EQ(pb::info(*fpga).phase, pb::Phase::Armed);
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
    testing::internal::CaptureStdout();
    pulser->stopFpga();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pulser->getUnderflow(), 0u);
    EXPECT_EQ(status() & (status::ERROR_KIND_A | status::ERROR_KIND_B), 0u);
}

// The whole path as a host would see it, with the simulator watched and driven from outside.
TEST_F(PlaybackTest, TwoSlotsWatchedThroughTheControlChannel) {
    ASSERT_TRUE(sim::control::start_server(sim::control::default_socket_path()));
    testsupport::ControlClient ctl(sim::control::default_socket_path());

    trigger(HARDWARE_RISING, AUTO);
    const std::vector<Pulse> first{{20, 0x01, 0, 0}, {5, 0x03, 0, 0}, {7, 0x00, 0, 0}};
    const std::vector<Pulse> second{{1000000000, 0x80, 32767, -32768}};  // one second
    ASSERT_EQ(upload(0, first, 1, 1), 0);
    ASSERT_EQ(upload(1, second, 1, 0), 0);

    auto seg0 = ctl.ok("{\"cmd\":\"segments\",\"slot\":0}");
    ASSERT_TRUE(seg0["segments"].IsArray());
    const uint64_t expect0[3][4] = {{20, 0x01, 0x2000, 0x2000}, {5, 0x03, 0x2000, 0x2000}, {7, 0x00, 0x2000, 0x2000}};
    ASSERT_EQ(seg0["segments"].Size(), 3u);
    for (unsigned i = 0; i < 3; ++i)
        for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(seg0["segments"][i][k].GetUint64(), expect0[i][k]) << i << "," << k;
    EXPECT_EQ(seg0["whole_ticks"].GetUint64(), 4u);
    EXPECT_FALSE(seg0["truncated"].GetBool());
    auto seg1 = ctl.ok("{\"cmd\":\"segments\",\"slot\":1}");
    ASSERT_EQ(seg1["segments"].Size(), 1u);
    EXPECT_EQ(seg1["segments"][0][0].GetUint64(), 1000000000u);
    EXPECT_EQ(seg1["segments"][0][1].GetUint64(), 0x80u);
    EXPECT_EQ(seg1["segments"][0][2].GetUint64(), 0u);
    EXPECT_EQ(seg1["segments"][0][3].GetUint64(), 0x3FFFu);
    EXPECT_FALSE(ctl.call("{\"cmd\":\"segments\",\"slot\":2}")["ok"].GetBool());

    ASSERT_EQ(start(0, -1), 0);
    EXPECT_FALSE(pulser->isStreaming());
    EXPECT_EQ(pulser->getStreamingState().state, 3u);
    EXPECT_STREQ(ctl.ok("{\"cmd\":\"playback\"}")["phase"].GetString(), "armed");

    // An edge from outside starts it; slot 0 hands over to slot 1, which plays for a second.
    EXPECT_TRUE(ctl.ok("{\"cmd\":\"trigger\",\"edge\":\"rising\"}")["started"].GetBool());
    bool seen_streaming = false;
    ASSERT_TRUE(eventually([&] {
        if (pulser->isStreaming() && pulser->getStreamingState().state == 2) seen_streaming = true;
        return finished();
    }));
    EXPECT_TRUE(seen_streaming);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 0u);
    EXPECT_EQ(ss.state_condition, 3u);
    EXPECT_EQ(ss.slot_changes, 1u);
    EXPECT_EQ(ss.streaming_time, 4u + 125000000u);
    auto status_word = ctl.ok("{\"cmd\":\"read\",\"addr\":" + std::to_string(CTRL_BASE + ctrl::STATUS) + "}");
    EXPECT_TRUE(status_word["value"].GetUint64() & status::FINISHED);

    // Rearmed by itself: the software strobe plays it again.
    pulser->startNow();
    EXPECT_TRUE(pulser->isStreaming());
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(pulser->getStreamingState().slot_changes, 2u);

    // Faults through the channel: the handshake never completes, the FIFOs never fill.
    ctl.ok("{\"cmd\":\"handshake_words\",\"words\":0}");
    pulser->streaming_state_timeout = std::chrono::milliseconds(1);
    EXPECT_EQ(pulser->getStreamingState().error_message, "Transfer failed");
    ctl.ok("{\"cmd\":\"clear_faults\"}");
    pulser->streaming_state_timeout = std::chrono::seconds(5);
    ctl.ok("{\"cmd\":\"fill_blocked\",\"on\":true}");
    pulser->start_fill_timeout = std::chrono::milliseconds(10);
    EXPECT_EQ(start(0, -1), -1);
    ctl.ok("{\"cmd\":\"clear_faults\"}");
    ctl.ok("{\"cmd\":\"underflow\",\"error_cleared\":false}");
    EXPECT_EQ(pulser->getUnderflow(), 1u);
    EXPECT_TRUE(ctl.ok("{\"cmd\":\"playback\"}")["error"].GetBool());
}

}  // namespace
