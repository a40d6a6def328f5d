// Device bring-up, reset and housekeeping on a fresh simulated FPGA.
#include <gtest/gtest.h>

#include <chrono>

#include "support/device.h"

using namespace reg;
using testsupport::DeviceTest;
using testsupport::read_file;

namespace {

uint32_t calibratedZero() {
    ANALOG_TO_BYTES zero;
    zero.setWithCalibration(0, 0);
    return zero.value;
}

// The idle state both construction and reset must leave behind.
void expectIdle(Pulser& p, sim::Fpga& fpga) {
    uint32_t control = fpga.peek(CTRL_BASE + ctrl::CONTROL);
    EXPECT_EQ(field_get(ctrl::TRIGGER_EDGE, control), 1u);
    EXPECT_EQ(field_get(ctrl::HW_TRIGGER, control), 0u);
    EXPECT_EQ(field_get(ctrl::AUTO_REARM, control), 1u);
    EXPECT_EQ(field_get(ctrl::RUN, control), 0u);
    EXPECT_EQ(field_get(ctrl::LOAD_ENABLE, control), 0u);
    EXPECT_EQ(field_get(ctrl::START_SLOT, control), 0u);
    // Strobes end cleared.
    EXPECT_EQ(control & (ctrl::SW_TRIGGER.mask | ctrl::DM_RESET.mask | ctrl::FIFO_RESET.mask | ctrl::DM_HALT.mask |
                         ctrl::STOP.mask),
              0u);
    uint32_t clock = fpga.peek(CTRL_BASE + ctrl::CLOCK);
    EXPECT_EQ(field_get(ctrl::CLK_INTERNAL, clock), 1u);
    EXPECT_EQ(field_get(ctrl::CLK_EXT125, clock), 0u);
    EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock), 0u);
    EXPECT_EQ(field_get(ctrl::SQUARE_MASK, clock), 0u);
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::CONST_ANALOG), calibratedZero());
    EXPECT_EQ(fpga.peek(CTRL_BASE + 0x10) & 0xFF, 0u);
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::SLOT_RUNS_LO), 0u);
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::SLOT_RUNS_HI), 0u);
    for (uint64_t base : {SLOT0_BASE, SLOT1_BASE})
        for (uint32_t off : {slot::CONTROL, slot::SIZE, slot::RUNS_LO, slot::RUNS_HI, slot::DURATION_LO, slot::DURATION_HI})
            EXPECT_EQ(fpga.peek(base + off), 0u) << std::hex << base << "+" << off;
    EXPECT_EQ(p.getTriggerStart(), IMMEDIATE);
    EXPECT_EQ(p.clock_source, INTERNAL);
    EXPECT_TRUE(p.auto_rearm);
}

}  // namespace

class LifecycleTest : public DeviceTest {};

TEST_F(LifecycleTest, ConstructionBringsTheBoardUpIdle) {
    expectIdle(*pulser, *fpga);
    // Processor-system set-up.
    for (uint64_t axi : {AXI_HP0_BASE, AXI_HP1_BASE, AXI_HP2_BASE, AXI_HP3_BASE})
        EXPECT_EQ(fpga->writes(axi + axi::READ_CHANNEL_CTRL), std::vector<uint32_t>{0u});
    EXPECT_EQ(fpga->writes(SLCR_BASE + 0x224), (std::vector<uint32_t>{1u, 0u}));
    EXPECT_EQ(fpga->peek(SLCR_BASE + slcr::MIO_PIN_50) & 0x3FFF, 0x1240u);
    EXPECT_EQ(fpga->peek(SLCR_BASE + slcr::MIO_PIN_51) & 0x3FFF, 0x1240u);
    EXPECT_TRUE(fpga->peek(SLCR_BASE + 0x12C) & (1u << 18));
    // Output stage enabled: bits 3, 8 and 9 of the GPIO output word, in that order.
    EXPECT_EQ(fpga->peek(GPIO_BASE + gpio::OUT_BANK0) & 0x308u, 0x308u);
    std::vector<uint32_t> enables = fpga->writes(GPIO_BASE + gpio::OUT_BANK0);
    ASSERT_EQ(enables.size(), 3u);
    EXPECT_EQ(enables[0] & 0x308u, 0x008u);
    EXPECT_EQ(enables[1] & 0x308u, 0x108u);
    EXPECT_EQ(enables[2] & 0x308u, 0x308u);
    // Bitstream load commands, in order.
    std::vector<std::string> lines = shellLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "echo 0 > /sys/class/fpga_manager/fpga0/flags");
    EXPECT_EQ(lines[1], "echo pulser.bin > /sys/class/fpga_manager/fpga0/firmware");
    EXPECT_EQ(lines[2], "cat /sys/class/fpga_manager/fpga0/state");
    // Version files.
    EXPECT_EQ(read_file(sandbox.path("/tmp/firmware_version")), "1.7.0\n");
    EXPECT_EQ(read_file(sandbox.path("/tmp/hardware_version")), "prior_3.0\n");
    EXPECT_EQ(field_get(ctrl::HW_VERSION, fpga->peek(CTRL_BASE + ctrl::BOARD)), 0u);
}

TEST_F(LifecycleTest, ResetReturnsToIdleAndStopKeepsFinalState) {
    // Disturb everything reset must restore.
    pulser->ctrl.write(ctrl::CONTROL, 0xFFFFFFFFu & ~(ctrl::STOP.mask | ctrl::DM_HALT.mask | ctrl::FIFO_RESET.mask |
                                                     ctrl::DM_RESET.mask | ctrl::SW_TRIGGER.mask | ctrl::REARM.mask |
                                                     ctrl::SS_REQUEST.mask));
    pulser->ctrl.write(ctrl::CLOCK, (1u << 11) | (0xFFu << 2));
    pulser->ctrl.write(ctrl::CONST_ANALOG, 0x12345678);
    pulser->ctrl.write(0x10, 0xAB);
    pulser->ctrl.write(ctrl::SLOT_RUNS_LO, 7);
    for (unsigned int s = 0; s < 2; ++s) {
        Mapper& b = pulser->slotBlock(s);
        for (uint32_t off : {slot::CONTROL, slot::SIZE, slot::RUNS_LO, slot::RUNS_HI, slot::DURATION_LO, slot::DURATION_HI})
            b.write(off, 0x55);
        b.write(slot::FINAL_ANALOG, 0x1111 + s);
        b.write(0x18, 0x22 + s);
        pulser->seq_data[s] = SequenceControlData{100, 10, 1000, 2.5};
    }
    pulser->trigger_start = HARDWARE_FALLING;
    pulser->auto_rearm = false;
    pulser->constant_state = Pulse{5, 0xFF, 100, -100};
    pulser->trigger_edge = 2;

    pulser->reset();
    expectIdle(*pulser, *fpga);
    EXPECT_EQ(+pulser->constant_state.digi, 0);
    EXPECT_EQ(+pulser->constant_state.ao0, 0);
    EXPECT_EQ(pulser->trigger_edge, 2u) << "reset leaves the trigger edge member as it is";
    for (unsigned int s = 0; s < 2; ++s) {
        EXPECT_EQ(slotWord(s, slot::FINAL_ANALOG), 0x1111u + s) << "final-state words survive stopFpga";
        EXPECT_EQ(slotWord(s, 0x18), 0x22u + s);
        EXPECT_EQ(pulser->seq_data[s].nBytes, 100u) << "the byte count keeps its last value";
        EXPECT_EQ(pulser->seq_data[s].nPulses, 0u);
        EXPECT_EQ(pulser->seq_data[s].wholeTicks, 0u);
        EXPECT_EQ(pulser->seq_data[s].dataRate, 0.0);
    }
}

TEST_F(LifecycleTest, StopAndFifoStrobesAreSeenByTheDevice) {
    fpga->clear_write_log();
    testing::internal::CaptureStdout();
    pulser->stopFpga();
    std::string out = testing::internal::GetCapturedStdout();
    // Each strobe is set then cleared: the device sees both writes.
    std::vector<uint32_t> control = fpga->writes(CTRL_BASE + ctrl::CONTROL);
    auto strobed = [&](Field f) {
        for (size_t i = 0; i + 1 < control.size(); ++i)
            if ((control[i] & f.mask) && !(control[i + 1] & f.mask)) return true;
        return false;
    };
    EXPECT_TRUE(strobed(ctrl::STOP));
    EXPECT_TRUE(strobed(ctrl::DM_HALT));
    EXPECT_TRUE(strobed(ctrl::DM_RESET));
    EXPECT_TRUE(strobed(ctrl::FIFO_RESET));
    EXPECT_NE(out.find("Reset QoS-Values\nhalt complete: \nDatamover 0: 1\nDatamover 1: 1\n\nhalt complete: \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("reset. \n"), std::string::npos);
}

TEST_F(LifecycleTest, QosRegulationOnAndOff) {
    pulser->set_qos();
    EXPECT_EQ(field_read(pulser->qos_cpu, qos::CONTROL), 3u);
    EXPECT_EQ(field_read(pulser->qos_cpu, qos::WRITE_PEAK), 1u);
    EXPECT_EQ(field_read(pulser->qos_cpu, qos::READ_PEAK), 1u);
    EXPECT_EQ(fpga->writes(QOS_IO_BASE + 0x118).size(), 0u) << "the I/O port is not touched by set_qos";
    pulser->qos_io.write(0x10C, 7);
    pulser->reset_qos();
    EXPECT_EQ(field_read(pulser->qos_cpu, qos::CONTROL), 0u);
    EXPECT_EQ(field_read(pulser->qos_io, qos::CONTROL), 0u);
    EXPECT_EQ(field_read(pulser->qos_cpu, qos::WRITE_PEAK), 1u) << "peak rates stay";
}

TEST_F(LifecycleTest, RebootRunsInTheBackground) {
    sim::clear_commands();
    testing::internal::CaptureStdout();
    pulser->reboot();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "reboot system...\n");
    EXPECT_EQ(shellLines(), std::vector<std::string>{"/sbin/reboot -d 1 &"});
}

// Board version pins and firmware word.
class AllPinsLow : public DeviceTest {
    sim::Config simConfig() override {
        sim::Config c;
        c.board_pins = 0;
        c.firmware_version = 0xAB020A05;  // bits 31:24 must not show
        return c;
    }
};

TEST_F(AllPinsLow, HardwareVersionFromInvertedPins) {
    EXPECT_EQ(pulser->getHardwareVersion(), "unknown_7");
    EXPECT_EQ(read_file(sandbox.path("/tmp/hardware_version")), "unknown_7\n");
    EXPECT_EQ(field_get(ctrl::HW_VERSION, fpga->peek(CTRL_BASE + ctrl::BOARD)), 7u);
    EXPECT_EQ(pulser->getFirmwareVersion(), "2.10.5");
}

class PinsSelectVersion : public DeviceTest, public testing::WithParamInterface<std::pair<uint32_t, const char*>> {
    sim::Config simConfig() override {
        sim::Config c;
        c.board_pins = GetParam().first << 10;
        return c;
    }
};

TEST_P(PinsSelectVersion, Text) { EXPECT_EQ(pulser->getHardwareVersion(), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(Pins, PinsSelectVersion,
                         testing::Values(std::make_pair(7u, "prior_3.0"), std::make_pair(6u, "3.1"),
                                         std::make_pair(5u, "3.2"), std::make_pair(4u, "3.3"),
                                         std::make_pair(3u, "3.4"), std::make_pair(2u, "unknown_5")));

// An output stage that never gets ready: bring-up gives up after a bounded wall-clock time and
// leaves the outputs disabled.
class OutputStageNeverReady : public DeviceTest {
    sim::Config simConfig() override {
        sim::Config c;
        c.output_stage_ready = false;
        return c;
    }
    void SetUp() override {
        testing::internal::CaptureStdout();
        begin = std::chrono::steady_clock::now();
        DeviceTest::SetUp();
        elapsed = std::chrono::steady_clock::now() - begin;
        out = testing::internal::GetCapturedStdout();
    }

protected:
    std::chrono::steady_clock::time_point begin;
    std::chrono::steady_clock::duration elapsed{};
    std::string out;
};

TEST_F(OutputStageNeverReady, GivesUpWithOutputsDisabled) {
    EXPECT_NE(out.find("Waiting for output stage\n"), std::string::npos);
    EXPECT_NE(out.find("Output stage not responding\n"), std::string::npos);
    EXPECT_EQ(out.find("Enable outputs..."), std::string::npos);
    EXPECT_EQ(fpga->peek(GPIO_BASE + gpio::OUT_BANK0) & 0x308u, 0u);
    // Bounded in wall time (generously: the bound itself is 10 s).
    EXPECT_LT(elapsed, std::chrono::seconds(60));
}
