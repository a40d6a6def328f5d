// Sequence slots, upload and run control on a fresh simulated FPGA: the slot words programmed,
// the upload gates, stream/start/startable, constant/forceFinal, the streaming-state readout and
// the status queries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "sim/Playback.h"
#include "support/device.h"

using namespace reg;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class RunControlTest : public testsupport::DeviceTest {
protected:
    // A slot's 64-bit word pair whose low word is at `lo`.
    uint64_t slotPair(unsigned s, uint32_t lo) { return (uint64_t(slotWord(s, lo + 4)) << 32) | slotWord(s, lo); }
    void setStatus(uint32_t mask, bool on = true) { fpga->set_bits(CTRL_BASE + ctrl::STATUS, mask, on); }

    // A short sequence: 15 bytes, 3 commands, 4 words.
    const std::vector<Pulse> seq{{20, 0x01, 0, 0}, {5, 0x03, 0, 0}, {7, 0x00, 0, 0}};
};

// ---- setSequenceConfig ----

struct ConfigCase {
    uint32_t pulses;
    next_action_t next_action;
    when_t when;
    on_nodata_t on_nodata;
    long long n_runs;
    uint64_t whole_ticks;
    uint32_t control;   // slot control word afterwards
    uint64_t runs;      // run count words
    uint64_t duration;  // duration words
    bool n_runs_zero_line;
    bool wide_line;
};

TEST_F(RunControlTest, SetSequenceConfigProgramsTheSlotWords) {
    const uint64_t W32 = 1ull << 32;
    const ConfigCase cases[] = {
        // pulses, next, when, nodata, n_runs, ticks -> control, runs, duration, lines
        {8000, 0, 0, 0, 1, 100, 0x010, 0, 0, false, false},
        {8001, 0, 0, 0, 1, 100, 0x012, 0, 0, false, false},
        {10, 0, 0, 0, 0, 100, 0x010, 0, 0, true, false},
        {10, 0, 0, 0, 7, 100, 0x010, 6, 0, false, false},
        {10, 0, 0, 0, -1, 100, 0x010, 0x8000000000000000ull, 0, false, false},
        {10, 1, 0, 0, -1, 100, 0x004, 0x8000000000000000ull, 0, false, false},
        {10, 3, 0, 0, -5, 100, 0x090, 0x8000000000000000ull, 0, false, false},
        {10, 2, 1, 1, 2, 100, 0x03C, 1, 0, false, false},
        {10, 1, 0, 2, 3, 1000, 0x044, 2, 1000, false, false},
        {10, 0, 0, 2, 3, 1000, 0x010, 2, 0, false, false},  // on_nodata 2 without a follow-on
        {10, 3, 0, 2, 3, 1000, 0x090, 2, 0, false, false},
        {10, 2, 0, 2, 1ll << 31, W32, 0x054, (1ull << 31) - 1, W32, false, false},  // exactly 63 bits
        {10, 2, 0, 2, (1ll << 31) + 1, W32, 0x154, 1ull << 31, W32, false, true},   // more than 63
        {10, 2, 0, 2, -1, W32 * W32 / 2 + 1, 0x054, 0x8000000000000000ull, W32 * W32 / 2 + 1, false, false},
        {10, 2, 0, 2, 0, W32, 0x054, 0, W32, true, false},
        {10, 2, 5, 7, 1, 0, 0x014, 0, 0, false, false},  // other values set nothing of their own
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        for (unsigned s = 0; s < 2; ++s) {
            // Words left from before must all be replaced; the enable bit ends up clear.
            pulser->slotBlock(s).write(slot::CONTROL, 0x1FF);
            pulser->slotBlock(s).write(slot::DURATION_LO, 0xDEAD);
            pulser->slotBlock(s).write(slot::DURATION_HI, 0xBEEF);
            const SequenceControlData d{1234 + s, c.pulses, c.whole_ticks, 0.5};
            output();
            pulser->setSequenceConfig(s, d, c.n_runs, c.next_action, c.when, c.on_nodata);
            std::string out = output();
            EXPECT_EQ(slotWord(s, slot::CONTROL), c.control);
            EXPECT_EQ(slotWord(s, slot::SIZE), 1234u + s);
            EXPECT_EQ(slotPair(s, slot::RUNS_LO), c.runs);
            EXPECT_EQ(slotPair(s, slot::DURATION_LO), c.duration);
            EXPECT_EQ(out.find("n_runs =0\n") != std::string::npos, c.n_runs_zero_line) << out;
            EXPECT_EQ(out.find("True it is 64\n") != std::string::npos, c.wide_line) << out;
            const SequenceControlData stored = pulser->getSequenceControlData(static_cast<int>(s));
            EXPECT_TRUE(stored.nPulses == c.pulses && stored.wholeTicks == c.whole_ticks);
        }
    }
}

// ---- upload ----

TEST_F(RunControlTest, UploadProgramsTheSlotAndEnablesItLast) {
    const Pulse fin{0, 0x81, 1000, -1000};
    fpga->clear_write_log();
    output();
    ASSERT_EQ(pulser->upload(1, seq, 3, fin, 1, 1, 0), 0);
    std::string out = output();
    EXPECT_EQ(out.find("Uploading Sequence data to slot: 1\n"), 0u);
    EXPECT_THAT(out, HasSubstr("Seq data: 15 bytes | Ticks: 4\n3 pulses | Data Rate: 3.75 GBit/s \n"));

    EXPECT_EQ(slotWord(1, slot::SIZE), 15u);
    EXPECT_EQ(slotPair(1, slot::RUNS_LO), 2u);
    EXPECT_EQ(slotWord(1, slot::CONTROL), 0x00Du);  // enable, follow-on, when
    EXPECT_EQ(slotWord(1, slot::FINAL_ANALOG), analogWord(1000, -1000));
    EXPECT_EQ(slotWord(1, 0x18) & 0xFF, 0x81u);
    auto controls = fpga->writes(SLOT1_BASE + slot::CONTROL);
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls.back() & 1u, 1u);
    for (size_t i = 0; i + 1 < controls.size(); ++i) EXPECT_EQ(controls[i] & 1u, 0u) << i;
    EXPECT_TRUE(fpga->writes(SLOT0_BASE + slot::CONTROL).empty());

    const SequenceControlData d = pulser->getSequenceControlData(1);
    EXPECT_TRUE(d.nBytes == 15u && d.nPulses == 3u && d.wholeTicks == 4u);
    EXPECT_TRUE(pulser->hasSequence());

    // The encoded data sits in slot 1's region of the sequence window.
    const uint8_t* region = fpga->memory() + SEQMEM_SLOT1_OFFSET;
    EXPECT_EQ(region[0], 0x5C);
    EXPECT_EQ(region[14], 0x01);

    // The stored constant state is now the final state: forceFinal shows it and clears the slots.
    pulser->forceFinal();
    EXPECT_EQ(ctrlWord(ctrl::CONST_ANALOG), analogWord(1000, -1000));
    EXPECT_EQ(ctrlWord(0x10) & 0xFF, 0x81u);
    EXPECT_EQ(slotWord(1, slot::CONTROL), 0u);
    EXPECT_FALSE(pulser->hasSequence());
}

TEST_F(RunControlTest, UploadUnderflowGate) {
    // Error alone, and error with only one of the error-cleared bits: refused at once.
    for (uint32_t extra : {0u, status::ERROR_KIND_A, status::ERROR_KIND_B}) {
        setStatus(status::ERROR | extra);
        output();
        EXPECT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), -1);
        std::string out = output();
        EXPECT_EQ(out, "Uploading Sequence data to slot: 0\nUnderflow before upload executed\n");
        EXPECT_EQ(slotWord(0, slot::SIZE), 0u);
        EXPECT_FALSE(pulser->isReadyForData(0));
        setStatus(status::ERROR | extra, false);
    }
    // Both error-cleared bits: the error no longer blocks.
    setStatus(status::ERROR | status::ERROR_KIND_A | status::ERROR_KIND_B);
    EXPECT_TRUE(pulser->isReadyForData(0));
    EXPECT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), 0);
    EXPECT_EQ(slotWord(0, slot::SIZE), 15u);
    EXPECT_EQ(slotWord(0, slot::CONTROL) & 1u, 1u);
}

TEST_F(RunControlTest, UploadGivesUpOnABusySlot) {
    EXPECT_EQ(pulser->upload_busy_timeout, std::chrono::milliseconds(7000));
    pulser->upload_busy_timeout = std::chrono::milliseconds(30);
    sim::playback::set_slot_busy(*fpga, 0, true);
    EXPECT_FALSE(pulser->isReadyForData(0));
    EXPECT_TRUE(pulser->isReadyForData(1));

    output();
    EXPECT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), -1);
    // The status word in hex, then the error count.
    const std::string out = output(), head = "Uploading Sequence data to slot: 0\nstop upload\n";
    ASSERT_THAT(out, ::testing::MatchesRegex(head + "[0-9a-f]+\n0\n"));
    EXPECT_TRUE(std::stoul(out.substr(head.size()), nullptr, 16) & (1u << 21)) << out;
    EXPECT_EQ(slotWord(0, slot::SIZE), 0u);

    // The other slot is free, unless slot 0 holds a sequence that runs into its memory.
    for (const uint32_t size : {0x4000001u, 0x4000000u}) {
        fpga->poke(reg::SLOT0_BASE + slot::SIZE, size);
        fpga->poke(reg::SLOT0_BASE + slot::CONTROL, 1);
        output();
        EXPECT_EQ(pulser->upload(1, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), size > 0x4000000u ? -1 : 0) << size;
        EXPECT_EQ(slotWord(1, slot::SIZE), size > 0x4000000u ? 0u : 15u);
    }

    // An error that shows up while waiting ends the wait with the underflow message.
    sim::playback::force_status(*fpga, status::ERROR, 0);
    output();
    EXPECT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), -1);
    EXPECT_THAT(output(), HasSubstr("Underflow before upload executed\n"));
}

// ---- a slot filled in pieces ----

// Any cut of a list into pieces gives the slot bytes and words of one upload of the whole list.
TEST_F(RunControlTest, PiecesFillTheSlotAsOneUpload) {
    std::vector<Pulse> list(40000);
    for (uint32_t i = 0; i < list.size(); ++i)
        list[i] =
            Pulse{i % 7 ? 1 + (i * 2654435761u) % 29 : 0, uint8_t(i * 37), int16_t(i % 5 ? 0 : i), int16_t(i % 3)};
    const Pulse fin{0, 0x5A, -7, 9};
    uint8_t* region = fpga->memory() + SEQMEM_SLOT1_OFFSET;
    auto slotImage = [&](uint32_t bytes) {
        std::vector<uint32_t> v(region, region + bytes + 64);  // and what follows the end
        for (uint32_t off = 0; off <= slot::DURATION_HI; off += 4) v.push_back(slotWord(1, off));
        return v;
    };
    std::memset(region, 0xA5, 1 << 20);
    ASSERT_EQ(pulser->upload(1, list, 3, fin, 1, 1, 2), 0);
    const uint32_t bytes = slotWord(1, slot::SIZE);
    ASSERT_LT(bytes + 64, 1u << 20);
    const auto whole = slotImage(bytes);
    for (size_t piece : {size_t(1), size_t(3), size_t(1000), size_t(16384), list.size()}) {
        pulser->stopFpga();
        std::memset(region, 0xA5, bytes + 64);
        uint64_t id = 0;
        ASSERT_EQ(pulser->openFill(SlotFill{1, 3, fin, 1, 1, 2}, id), 0);
        for (size_t at = 0; at < list.size(); at += piece)
            ASSERT_TRUE(pulser->fillPulses(id, list.data() + at, std::min(piece, list.size() - at)));
        ASSERT_EQ(pulser->closeFill(id), 0);
        EXPECT_EQ(slotImage(bytes), whole) << "pieces of " << piece;
    }
}

// An operation on the slots or the playback ends an open fill: its pieces are refused and the
// slot stays as that operation left it, never enabled half written.
TEST_F(RunControlTest, AnOpenFillIsOvertakenByOtherOperations) {
    const std::pair<const char*, std::function<void()>> others[] = {
        {"constant", [&] { pulser->constant(Pulse{}); }},
        {"upload", [&] { pulser->upload(1, seq, 1, Pulse{}, 0, 0, 0); }},
        {"start", [&] { pulser->start(1, 1); }},  // plays what "upload" put into slot 1
        {"stream", [&] { pulser->stream(seq, 1, Pulse{}); }},
    };
    for (const auto& [name, other] : others) {
        uint64_t id = 0;
        ASSERT_EQ(pulser->openFill(SlotFill{0, 1, Pulse{}}, id), 0);
        ASSERT_TRUE(pulser->fillPulses(id, seq.data(), 2));
        EXPECT_EQ(slotWord(0, slot::CONTROL) & 1u, 0u) << "a slot being filled is disabled";
        other();
        const uint32_t control = slotWord(0, slot::CONTROL);
        EXPECT_FALSE(pulser->fillPulses(id, seq.data(), 1)) << name;
        EXPECT_EQ(pulser->closeFill(id), FILL_OVERTAKEN) << name;
        EXPECT_EQ(slotWord(0, slot::CONTROL), control) << name;
        EXPECT_EQ(control & 1u, std::string(name) == "stream" ? 1u : 0u) << name;
    }
}

// The device's waits sleep with the device lock released: another caller gets it meanwhile, and
// an operation on the slots then overtakes the waiting one.
TEST_F(RunControlTest, WaitsLeaveTheDeviceLockToOthers) {
    std::mutex lock;
    pulser->device_lock = &lock;
    pulser->upload_busy_timeout = pulser->start_fill_timeout = std::chrono::seconds(60);
    for (bool start : {false, true}) {  // upload waits for the slot's memory, start for the FIFOs
        auto block = [&](bool on) {
            start ? sim::playback::set_fill_blocked(*fpga, on) : sim::playback::set_slot_busy(*fpga, 0, on);
        };
        for (bool overtaken : {true, false}) {
            SCOPED_TRACE(std::string(start ? "start" : "upload") + (overtaken ? " overtaken" : ""));
            ASSERT_EQ(pulser->upload(1, seq, 1, Pulse{}, 0, 0, 0), 0);
            block(true);
            std::atomic<bool> entered{false};
            auto waiting = std::async(std::launch::async, [&] {
                std::lock_guard<std::mutex> g(lock);
                entered = true;
                return start ? pulser->start(1, 1) : pulser->upload(0, seq, 1, Pulse{}, 0, 0, 0);
            });
            while (!entered) std::this_thread::yield();
            bool got = false;
            for (int i = 0; i < 1000 && !(got = lock.try_lock()); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_TRUE(got) << "the waiting call keeps the device lock";
            EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
            if (overtaken) pulser->forceFinal();
            block(false);
            lock.unlock();
            EXPECT_EQ(waiting.get(), overtaken ? -1 : 0);
        }
    }
    EXPECT_THAT(output(), ::testing::AllOf(HasSubstr("upload overtaken by another operation\n"),
                                           HasSubstr("start overtaken by another operation\n")));
}

// ---- stream, start, startable ----

TEST_F(RunControlTest, StreamStartsSlotZeroWithUnlimitedSlotRuns) {
    pulser->constant(Pulse{0, 0x0F, 0, 0});
    fpga->clear_write_log();
    output();
    EXPECT_EQ(pulser->stream(seq, -1, Pulse{0, 0x03, 0, 0}), 0);
    std::string out = output();
    EXPECT_EQ(out.find("Stop FPGA and streaming\n"), 0u);
    EXPECT_THAT(out, HasSubstr("FPGA tvalid: "));
    EXPECT_THAT(out, HasSubstr("\tFIFO full 1\n\tDECODER_FIFO full 1\n\tLOOP_MODE 0\nFill time: "));
    EXPECT_THAT(out, HasSubstr("Datamover reset: 0\n"));
    EXPECT_EQ(ctrlWord(ctrl::SLOT_RUNS_LO) & ctrlWord(ctrl::SLOT_RUNS_HI), 0xFFFFFFFFu);
    EXPECT_EQ(ctrlWord(ctrl::CONTROL) & (ctrl::RUN.mask | ctrl::LOAD_ENABLE.mask | ctrl::START_SLOT.mask),
              ctrl::RUN.mask | ctrl::LOAD_ENABLE.mask);
    // The old constant state was shown first (digital 0x0F), then the new sequence went to slot 0.
    auto digi = fpga->writes(CTRL_BASE + 0x10);
    ASSERT_FALSE(digi.empty());
    EXPECT_EQ(digi.front() & 0xFF, 0x0Fu);
    EXPECT_EQ(slotPair(0, slot::RUNS_LO), 0x8000000000000000ull);
    EXPECT_EQ(slotWord(0, slot::CONTROL), 0x11u);
    // Start mode IMMEDIATE: the software trigger was given and the endless sequence streams.
    EXPECT_THAT(ctrlFieldWrites(ctrl::SW_TRIGGER), ::testing::Contains(1u));
    EXPECT_EQ(ctrlWord(ctrl::CONTROL) & ctrl::SW_TRIGGER.mask, 0u);
    EXPECT_TRUE(pulser->isStreaming());
    EXPECT_FALSE(pulser->isReadyForData(0));
    EXPECT_EQ(pulser->getStreamingState().state, 2u);

    // Streaming again replaces the playing sequence.
    EXPECT_EQ(pulser->stream(seq, -1, Pulse{0, 0, 0, 0}), 0);
    EXPECT_TRUE(pulser->isStreaming());
}

TEST_F(RunControlTest, StartWaitsForTheFifosAndGivesUp) {
    EXPECT_EQ(pulser->start_fill_timeout, std::chrono::milliseconds(1000));
    pulser->start_fill_timeout = std::chrono::milliseconds(20);
    ASSERT_EQ(pulser->upload(1, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), 0);
    sim::playback::set_fill_blocked(*fpga, true);

    output();
    EXPECT_EQ(pulser->start(1, 5), -1);
    std::string out = output();
    EXPECT_THAT(out, HasSubstr("FPGA tvalid: 0\nstart aborted and reset system\n"));
    EXPECT_THAT(out, Not(HasSubstr("Fill time")));
    EXPECT_EQ(ctrlWord(ctrl::CONTROL) & (ctrl::RUN.mask | ctrl::LOAD_ENABLE.mask | ctrl::START_SLOT.mask),
              ctrl::START_SLOT.mask);
    EXPECT_EQ(ctrlWord(ctrl::SLOT_RUNS_LO), 5u);
    EXPECT_FALSE(pulser->isStreaming());
    EXPECT_TRUE(pulser->isReadyForData(1));  // no half-prepared load keeps the slot busy

    // Once the FIFOs fill, the same start succeeds.
    sim::playback::set_fill_blocked(*fpga, false);
    EXPECT_EQ(pulser->start(1, 5), 0);
}

TEST_F(RunControlTest, StartableFollowsTheStreamingState) {
    pulser->streaming_state_timeout = std::chrono::seconds(5);  // no spurious transfer failures
    // Nothing uploaded: not startable, and start changes nothing.
    fpga->clear_write_log();
    EXPECT_FALSE(pulser->startable(0));
    EXPECT_EQ(pulser->start(0, -1), -1);
    for (uint32_t w : fpga->writes(CTRL_BASE + ctrl::CONTROL))
        EXPECT_EQ(w & (ctrl::RUN.mask | ctrl::LOAD_ENABLE.mask), 0u);

    ASSERT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), 0);
    EXPECT_TRUE(pulser->startable(0));
    EXPECT_FALSE(pulser->startable(1));  // slot 1 holds nothing
    output();
    EXPECT_FALSE(pulser->startable(2));
    EXPECT_EQ(output(), "ERROR - sequence not defined\n");

    struct Row {
        uint32_t word;
        bool startable;
    } rows[] = {
        {1u << 0, false},                 // state 2: streaming
        {(1u << 6) | (1u << 10), false},  // state 3, condition 0
        {(1u << 6) | (1u << 7), true},    // state 3, condition 1
        {1u << 6, true},                  // state 3, condition 2
        {1u << 5, true},                  // state 1
        {1u << 1, true},                  // state 4 (the status word shows no error)
        {(1u << 9) | (1u << 8), true},    // state 0, condition 3
    };
    for (const auto& r : rows) {
        sim::playback::force_state_word(*fpga, true, r.word);
        EXPECT_EQ(pulser->startable(0), r.startable) << std::hex << r.word;
    }
    sim::playback::force_state_word(*fpga, false);
    // The status word's error bit refuses whatever the state.
    setStatus(status::ERROR);
    EXPECT_FALSE(pulser->startable(0));
    setStatus(status::ERROR, false);
    // A slot counts as holding data by bit 28 as well, never while bit 30 is set.
    sim::playback::force_status(*fpga, status::SLOT0_NOT_HOLDING, 0);
    EXPECT_FALSE(pulser->startable(0));
    sim::playback::force_status(*fpga, status::SLOT1_READY, 0);
    EXPECT_TRUE(pulser->startable(1));
}

// ---- constant, reset, forceFinal ----

TEST_F(RunControlTest, ConstantResetForceFinal) {
    output();
    ASSERT_EQ(pulser->upload(0, seq, 1, Pulse{0, 0x10, 5, 5}, 0, 0, 0), 0);
    pulser->constant(Pulse{7, 0xA5, -300, 300});
    std::string out = output();
    EXPECT_THAT(out, HasSubstr("constant called: 7|165|-300|300\n"));
    EXPECT_EQ(ctrlWord(ctrl::CONST_ANALOG), analogWord(-300, 300));
    EXPECT_EQ(ctrlWord(0x10) & 0xFF, 0xA5u);
    EXPECT_EQ(slotWord(0, slot::CONTROL), 0u);
    EXPECT_EQ(slotWord(0, slot::SIZE), 0u);
    EXPECT_FALSE(pulser->hasSequence());
    EXPECT_EQ(pulser->getSequenceControlData(0).nBytes, 15u);  // bytes are kept, the rest cleared
    EXPECT_EQ(pulser->getSequenceControlData(0).wholeTicks, 0u);

    output();
    pulser->reset();
    pulser->forceFinal();
    EXPECT_THAT(output(), HasSubstr("Stop Pulser...\n"));  // the idle words after reset: LifecycleTest
    EXPECT_EQ(ctrlWord(ctrl::CONST_ANALOG), analogWord(0, 0));
    EXPECT_EQ(ctrlWord(0x10) & 0xFF, 0u);
}

// ---- streaming-state readout ----

TEST_F(RunControlTest, StreamingStateDecodesTheFirstWordRowByRow) {
    pulser->streaming_state_timeout = std::chrono::seconds(5);
    struct Row {
        uint32_t word;
        uint32_t state, condition;
        const char* message;
    } rows[] = {
        {0x006, 0, 3, ""},          {0x00E | 0x101, 0, 3, ""},  // bits 1 and 2 win over everything
        {0x002, 4, 0, "Underflow"}, {0x102, 4, 0, "No Data"},  {0x003, 4, 0, "Underflow"}, {0x001, 2, 0, ""},
        {0x009, 2, 3, ""},          {0x061, 2, 0, ""},         {0x020, 1, 2, ""},          {0x0A0, 1, 1, ""},
        {0x060, 1, 2, ""},          {0x040, 3, 2, ""},         {0x0C0, 3, 1, ""},          {0x440, 3, 0, ""},
        {0x4C0, 3, 0, ""},          {0x050, 0, 0, ""},         {0x250, 0, 0, ""},          {0x200, 0, 0, ""},
        {0x280, 0, 1, ""},          {0x300, 0, 3, ""},         {0x380, 0, 3, ""},          {0x000, 0, 0, ""},
        {0x010, 0, 0, ""},          {0x800, 0, 0, ""},
    };
    for (const auto& r : rows) {
        sim::playback::force_state_word(*fpga, true, r.word);
        StreamingState ss = pulser->getStreamingState();
        EXPECT_EQ(ss.state, r.state) << std::hex << r.word;
        EXPECT_EQ(ss.state_condition, r.condition) << std::hex << r.word;
        EXPECT_EQ(ss.error_message, r.message) << std::hex << r.word;
    }
    // None of the rows, with a sequence in a slot: condition 4.
    ASSERT_EQ(pulser->upload(1, seq, 1, Pulse{0, 0, 0, 0}, 0, 0, 0), 0);
    sim::playback::force_state_word(*fpga, true, 0x800);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_TRUE(ss.state == 0u && ss.state_condition == 4u && ss.error_message.empty());
}

TEST_F(RunControlTest, StreamingStateCountersAndHandshake) {
    pulser->streaming_state_timeout = std::chrono::seconds(5);
    ASSERT_EQ(pulser->stream(std::vector<Pulse>{{80, 0x01, 0, 0}}, -1, Pulse{0, 0, 0, 0}), 0);
    fpga->clear_write_log();
    StreamingState a = pulser->getStreamingState();
    EXPECT_EQ(a.state, 2u);
    EXPECT_EQ(a.error_message, "");
    usleep(2000);
    StreamingState b = pulser->getStreamingState();
    EXPECT_GT(b.streaming_time, a.streaming_time);
    EXPECT_GT(b.total_time, a.total_time);
    EXPECT_GE(b.total_time, b.streaming_time);
    EXPECT_EQ(b.underflow_time, 0u);
    EXPECT_EQ(b.slot_changes, 0u);
    // One request strobe and eleven acknowledges per readout.
    int requests = 0, acks = 0;
    uint32_t prev = 0;
    for (uint32_t w : fpga->writes(CTRL_BASE + ctrl::CONTROL)) {
        requests += (w & ctrl::SS_REQUEST.mask) && !(prev & ctrl::SS_REQUEST.mask);
        acks += (w & ctrl::SS_ACK.mask) && !(prev & ctrl::SS_ACK.mask);
        prev = w;
    }
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(acks, 22);
    EXPECT_EQ(ctrlWord(ctrl::CONTROL) & (ctrl::SS_ACK.mask | ctrl::SS_REQUEST.mask), 0u);
}

TEST_F(RunControlTest, StreamingStateTransferFailed) {
    EXPECT_EQ(pulser->streaming_state_timeout, std::chrono::microseconds(1000));
    ASSERT_EQ(pulser->stream(std::vector<Pulse>{{80, 0x01, 0, 0}}, -1, Pulse{0, 0, 0, 0}), 0);

    // The valid flag never rises: nothing read.
    sim::playback::set_handshake_words(*fpga, 0);
    StreamingState ss = pulser->getStreamingState();
    EXPECT_TRUE(ss.state == 4u && ss.state_condition == 0u && ss.error_message == "Transfer failed");
    EXPECT_EQ(ss.total_time + ss.streaming_time + ss.underflow_time + ss.waiting_data_time + ss.slot_changes, 0u);

    // Three words delivered: the state and the total time are kept, the rest stays 0.
    sim::playback::set_handshake_words(*fpga, 3);
    ss = pulser->getStreamingState();
    EXPECT_EQ(ss.state, 2u);
    EXPECT_GT(ss.total_time, 0u);
    EXPECT_EQ(ss.streaming_time, 0u);
    EXPECT_EQ(ss.error_message, "Transfer failed");

    // A readout after a failed one, with the acknowledge left set, works again.
    sim::playback::set_handshake_words(*fpga, 11);
    pulser->streaming_state_timeout = std::chrono::seconds(5);
    field_set(pulser->ctrl, ctrl::SS_ACK, 1);
    ss = pulser->getStreamingState();
    EXPECT_EQ(ss.error_message, "");
    EXPECT_EQ(ss.state, 2u);
}

// ---- status queries ----

TEST_F(RunControlTest, StatusQueries) {
    struct Row {
        uint32_t status;
        bool has_sequence, streaming, finished;
        unsigned underflow;
        bool ready0, ready1;
    } rows[] = {
        {0, false, false, false, 0, true, true},
        {1u << 0, false, true, false, 0, true, true},
        {1u << 7, true, false, false, 0, true, true},
        {(1u << 7) | (1u << 30), false, false, false, 0, true, true},
        {(1u << 28) | (1u << 31), true, false, false, 0, true, true},
        {(1u << 8) | (1u << 31), false, false, false, 0, true, true},
        {1u << 29, true, false, false, 0, true, true},
        {1u << 17, false, false, true, 0, true, true},
        {(1u << 17) | (1u << 4), false, false, false, 1, false, false},
        {(1u << 4) | (1u << 23) | (1u << 26), false, false, false, 1, true, true},
        {1u << 21, false, false, false, 0, false, true},
        {1u << 24, false, false, false, 0, false, true},
        {1u << 22, false, false, false, 0, true, false},
        {1u << 25, false, false, false, 0, true, false},
    };
    for (const auto& r : rows) {
        sim::playback::force_status(*fpga, r.status, 0);
        SCOPED_TRACE(r.status);
        EXPECT_EQ(pulser->hasSequence(), r.has_sequence);
        EXPECT_EQ(pulser->isStreaming(), r.streaming);
        EXPECT_EQ(pulser->hasFinished(), r.finished);
        EXPECT_EQ(pulser->getUnderflow(), r.underflow);
        EXPECT_EQ(pulser->isReadyForData(0), r.ready0);
        EXPECT_EQ(pulser->isReadyForData(1), r.ready1);
    }
    output();
    EXPECT_FALSE(pulser->isReadyForData(2));
    EXPECT_EQ(output(), "ERROR - sequence not defined\n");
}

}  // namespace
