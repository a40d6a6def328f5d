// The device on a fresh simulated FPGA: bring-up, reset, stop and reboot, the hardware version
// pins, identity and sensor readouts, the serial memory, the control channel's diagnostic
// commands, trigger modes, rearm, clock source, programmable clock, phase shift and square waves.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "sim/Clock.h"
#include "sim/Control.h"
#include "sim/I2c.h"
#include "sim/Sensors.h"
#include "support/device.h"

using namespace reg;
using testsupport::DeviceTest;
using testsupport::read_file;

namespace {

// The idle state both construction and reset must leave behind.
void expectIdle(Pulser& p, sim::Fpga& fpga) {
    // Strobes end cleared.
    const std::pair<Field, uint32_t> fields[] = {
        {ctrl::TRIGGER_EDGE, 1}, {ctrl::HW_TRIGGER, 0}, {ctrl::AUTO_REARM, 1}, {ctrl::RUN, 0},
        {ctrl::LOAD_ENABLE, 0},  {ctrl::START_SLOT, 0}, {ctrl::SW_TRIGGER, 0}, {ctrl::DM_RESET, 0},
        {ctrl::FIFO_RESET, 0},   {ctrl::DM_HALT, 0},    {ctrl::STOP, 0},       {ctrl::CLK_INTERNAL, 1},
        {ctrl::CLK_EXT125, 0},   {ctrl::CLK_HOLD, 0},   {ctrl::SQUARE_MASK, 0}};
    for (const auto& [f, want] : fields) EXPECT_EQ(field_get(f, fpga.peek(CTRL_BASE + f.offset)), want) << f.offset;
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::CONST_ANALOG), DeviceTest::analogWord(0, 0));
    EXPECT_EQ(fpga.peek(CTRL_BASE + 0x10) & 0xFF, 0u);
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::SLOT_RUNS_LO), 0u);
    EXPECT_EQ(fpga.peek(CTRL_BASE + ctrl::SLOT_RUNS_HI), 0u);
    for (uint64_t base : {SLOT0_BASE, SLOT1_BASE})
        for (uint32_t off :
             {slot::CONTROL, slot::SIZE, slot::RUNS_LO, slot::RUNS_HI, slot::DURATION_LO, slot::DURATION_HI})
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
    EXPECT_EQ(read_file(sandbox.path("/tmp/firmware_version")), "1.7.0\n");  // the hardware's: PinsSelectVersion
    EXPECT_EQ(read_file(sandbox.path("/tmp/dna.dat")), "123456789ABCDEF\n");
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
        for (uint32_t off :
             {slot::CONTROL, slot::SIZE, slot::RUNS_LO, slot::RUNS_HI, slot::DURATION_LO, slot::DURATION_HI})
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
    EXPECT_EQ(+pulser->constant_state.digi + pulser->constant_state.ao0, 0);
    EXPECT_EQ(pulser->trigger_edge, 2u) << "reset leaves the trigger edge member as it is";
    for (unsigned int s = 0; s < 2; ++s) {
        EXPECT_EQ(slotWord(s, slot::FINAL_ANALOG), 0x1111u + s) << "final-state words survive stopFpga";
        EXPECT_EQ(slotWord(s, 0x18), 0x22u + s);
        const SequenceControlData& d = pulser->seq_data[s];  // the byte count keeps its last value
        EXPECT_TRUE(d.nBytes == 100u && d.nPulses == 0u && d.wholeTicks == 0u && d.dataRate == 0.0);
    }
}

TEST_F(LifecycleTest, StopAndFifoStrobesAreSeenByTheDevice) {
    fpga->clear_write_log();
    output();
    pulser->stopFpga();
    std::string out = output();
    // Each strobe is set then cleared: the device sees both writes.
    const uint32_t strobe[] = {1, 0};
    for (Field f : {ctrl::STOP, ctrl::DM_HALT, ctrl::DM_RESET, ctrl::FIFO_RESET}) {
        const auto v = ctrlFieldWrites(f);
        EXPECT_NE(std::search(v.begin(), v.end(), std::begin(strobe), std::end(strobe)), v.end()) << f.mask;
    }
    EXPECT_NE(out.find("Reset QoS-Values\nhalt complete: \nDatamover 0: 1\nDatamover 1: 1\n\nhalt complete: \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("reset. \n"), std::string::npos);
}

// Board version pins: the text, the version file and the inverted pins in the board word.
class PinsSelectVersion : public DeviceTest, public testing::WithParamInterface<std::pair<uint32_t, const char*>> {
    sim::Config simConfig() override {
        sim::Config c;
        c.board_pins = GetParam().first << 10;
        return c;
    }
};

TEST_P(PinsSelectVersion, Text) {
    EXPECT_EQ(pulser->getHardwareVersion(), GetParam().second);
    EXPECT_EQ(read_file(sandbox.path("/tmp/hardware_version")), GetParam().second + std::string("\n"));
    EXPECT_EQ(field_get(ctrl::HW_VERSION, fpga->peek(CTRL_BASE + ctrl::BOARD)), 7u - GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(Pins, PinsSelectVersion,
                         testing::Values(std::make_pair(7u, "prior_3.0"), std::make_pair(6u, "3.1"),
                                         std::make_pair(5u, "3.2"), std::make_pair(4u, "3.3"),
                                         std::make_pair(3u, "3.4"), std::make_pair(2u, "unknown_5"),
                                         std::make_pair(0u, "unknown_7")));

// An output stage that never gets ready: bring-up gives up after a bounded wall-clock time and
// leaves the outputs disabled.
class OutputStageNeverReady : public DeviceTest {
    sim::Config simConfig() override {
        sim::Config c;
        c.output_stage_ready = false;
        return c;
    }
    void SetUp() override {
        const auto begin = std::chrono::steady_clock::now();
        DeviceTest::SetUp();
        elapsed = std::chrono::steady_clock::now() - begin;
    }

protected:
    std::chrono::steady_clock::duration elapsed{};
};

TEST_F(OutputStageNeverReady, GivesUpWithOutputsDisabled) {
    const std::string out = output();
    EXPECT_NE(out.find("Waiting for output stage\n"), std::string::npos);
    EXPECT_NE(out.find("Output stage not responding\n"), std::string::npos);
    EXPECT_EQ(out.find("Enable outputs..."), std::string::npos);
    EXPECT_EQ(fpga->peek(GPIO_BASE + gpio::OUT_BANK0) & 0x308u, 0u);
    // Bounded in wall time (generously: the bound itself is 10 s).
    EXPECT_LT(elapsed, std::chrono::seconds(60));
}

namespace {

class DeviceInfoTest : public testsupport::DeviceTest {};

const std::vector<uint8_t> kSerialBytes = {0x17, 0xFA, 0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC};

TEST_F(DeviceInfoTest, ProgramSerialWritesTheSerialMemory) {
    // Flags left pending from earlier use must not count against this transfer.
    fpga->poke(I2C0_BASE + i2c::INT_STATUS, 0x0201);
    fpga->clear_write_log();
    output();
    EXPECT_EQ(pulser->programSerial("12:34:56:78:9a:bc"), 0);
    EXPECT_EQ(output(),
              "78\n56\n34\n12\n9a\nbc\n"
              "Flashing...please wait...\n"
              "Flashing DONE - interrupts: 0\n");

    const auto transfers = sim::i2c_transfers(*fpga);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].bus_address, 0x50u);
    EXPECT_EQ(transfers[0].control, 0x0C0Eu);
    EXPECT_EQ(transfers[0].bytes, kSerialBytes);
    EXPECT_EQ(fpga->writes(SLCR_BASE + slcr::I2C0_RESET.offset), (std::vector<uint32_t>{1u, 0u}));
    EXPECT_EQ(fpga->peek(I2C0_BASE + i2c::INT_ENABLE) & 0xFFFF, 0x024Fu);
    EXPECT_EQ(fpga->writes(I2C0_BASE + i2c::ADDRESS).size(), 1u);
}

TEST_F(DeviceInfoTest, IdentifierAndVersions) {
    EXPECT_EQ(pulser->getFPGAID(), "123456789ABCDEF");
    for (auto [id, text] : {std::pair<uint64_t, const char*>{0xFEDCBA9800000001ull, "FEDCBA9800000001"},
                            {0xDEADBEEFull, "DEADBEEF"},
                            {0, "0"}}) {
        fpga->config().device_id = id;
        EXPECT_EQ(pulser->getFPGAID(), text);
    }

    // Bits 31:24 of the version word are not part of the version.
    fpga->poke(CTRL_BASE + ctrl::VERSION, 0xAB000000u);
    EXPECT_EQ(pulser->getFirmwareVersion(), "1.7.0");
    fpga->config().firmware_version = 0x00FF0A03;
    EXPECT_EQ(pulser->getFirmwareVersion(), "255.10.3");
}

TEST_F(DeviceInfoTest, SupplyChannelsInOrder) {
    sim::set_sensor_raw(*fpga, sim::Sensor::current, 0);
    sim::set_sensor_raw(*fpga, sim::Sensor::supply_12v, 1521);
    sim::set_sensor_raw(*fpga, sim::Sensor::supply_3v3, 418);
    fpga->clear_write_log();
    output();
    SupplyState st = pulser->getSupplyState();
    EXPECT_EQ(output(), "0\n1521\n418\n");
    EXPECT_NEAR(st.current, -0.112460, 1e-6);  // reported as computed, not clamped
    EXPECT_NEAR(st.voltage_12, 11.99707, 1e-5);
    EXPECT_NEAR(st.voltage_3_3, 3.29703, 1e-5);

    // One-hot select per channel, each cleared before the result is read.
    EXPECT_EQ(ctrlFieldWrites(ctrl::SUPPLY_CHANNEL), (std::vector<uint32_t>{1, 0, 2, 0, 4, 0}));

    sim::set_sensor_raw(*fpga, sim::Sensor::current, 4095);
    output();
    st = pulser->getSupplyState();
    EXPECT_NEAR(st.current, 11.20032, 1e-5);
}

// The control channel's commands of the clock, sensor and I2C modules, answered in-process.
class DiagnosticCommandsTest : public testsupport::DeviceTest {};

TEST_F(DiagnosticCommandsTest, SensorClockAndI2cCommands) {
    using sim::control::handle;
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"temperature","raw":2500})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":222,"12v":1521,"3v3":418}})");
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"current","raw":"0x0"})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":0,"12v":1521,"3v3":418}})");
    output();
    EXPECT_EQ(pulser->getTemperature(), "On-Chip Temperature: 34.45 \u00B0C");
    EXPECT_NEAR(pulser->getSupplyState().current, -0.1124595, 1e-6);
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"5v","raw":1})").rfind(R"({"ok":false,"error":"unknown sensor)", 0),
              0u);
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"12v","raw":4096})").rfind(R"({"ok":false,)", 0), 0u);
    EXPECT_EQ(handle(R"({"cmd":"sensors"})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":0,"12v":1521,"3v3":418}})");

    EXPECT_EQ(handle(R"({"cmd":"fail_phase_step","after":2})"), R"({"ok":true})");
    output();
    EXPECT_EQ(pulser->shiftClkPhase(5), -1);
    pulser->setClkParam(125.0);
    EXPECT_EQ(handle(R"({"cmd":"clock"})"), R"({"ok":true,"phase_position":2,"params":[2474643587]})");

    // An I2C transfer driven through the register commands, ending without acknowledge.
    EXPECT_EQ(handle(R"({"cmd":"i2c_completion","int_status":4})"), R"({"ok":true})");
    handle(R"({"cmd":"write","addr":"0xE0004000","value":"0x0C0E"})");
    handle(R"({"cmd":"write","addr":"0xE000400C","value":"0x1AB"})");  // only bits 7:0 are data
    handle(R"({"cmd":"write","addr":"0xE000400C","value":"0x02"})");
    handle(R"({"cmd":"write","addr":"0xE0004008","value":"0x50"})");
    EXPECT_EQ(handle(R"({"cmd":"i2c"})"),
              R"({"ok":true,"transfers":[{"bus_address":80,"control":3086,"bytes":[171,2]}]})");
    EXPECT_EQ(handle(R"({"cmd":"read","addr":"0xE0004010"})"), R"({"ok":true,"value":4})");
    // Write one to clear.
    handle(R"({"cmd":"write","addr":"0xE0004010","value":"0x4"})");
    EXPECT_EQ(handle(R"({"cmd":"read","addr":"0xE0004010"})"), R"({"ok":true,"value":0})");
}

class TriggerClockTest : public testsupport::DeviceTest {
protected:
    uint32_t ctrlField(Field f) { return field_get(f, ctrlWord(f.offset)); }
    std::vector<uint32_t> ctrlWrites(uint32_t offset) { return fpga->writes(CTRL_BASE + offset); }
    void setStatus(uint32_t bits, bool on) { fpga->set_bits(CTRL_BASE + ctrl::STATUS, bits, on); }
};

TEST_F(TriggerClockTest, SetClkParamWritesTheDividerWord) {
    struct Case {
        double mhz;
        uint32_t word;  // control 0x20
        const char* shown;
    };
    const Case cases[] = {
        {10.0, 0x0517279Eu, "10"},                 // D 62, F 4
        {125.0, 0x93801083u, "125"},               // D 5, F 0, odd
        {100.0, (580u << 22) | 0xEA082u, "100"},   // D 6, F 2
        {9.765625, 0x00000820u, "9.76562"},        // D 64, the largest factor
        {625.0, (630u << 22) | 0x1001u, "625"},    // D 1, the smallest factor
        {200.0, (610u << 22) | 0x247040u, "200"},  // D 3, F 1, odd
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mhz);
        fpga->poke(CTRL_BASE + ctrl::CLK_PARAM, 0xFFFFFFFFu);  // every bit is rewritten
        fpga->clear_write_log();
        const size_t before = sim::clock_params(*fpga).size();
        output();
        EXPECT_EQ(pulser->setClkParam(c.mhz), 0);
        EXPECT_EQ(output(), std::string("DRP clock setting - frequency (MHz): ") + c.shown + "\nDone\n");
        EXPECT_EQ(ctrlWord(ctrl::CLK_PARAM), c.word);
        const auto params = sim::clock_params(*fpga);
        ASSERT_EQ(params.size(), before + 1);
        EXPECT_EQ(params.back(), c.word);

        // Held while the parameters change, handed to the programmable clock, released.
        const auto clock = ctrlWrites(ctrl::CLOCK);
        ASSERT_FALSE(clock.empty());
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock.front()), 1u);
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock.back()), 0u);
        for (Field f : {ctrl::CLK_INTERNAL, ctrl::CLK_EXT125, ctrl::CLK_PARAM_WRITE}) EXPECT_EQ(ctrlField(f), 0u);
    }
    // Only selectClock changes the clock source member.
    EXPECT_EQ(pulser->getClock(), INTERNAL);
}

TEST_F(TriggerClockTest, SetClkParamRefusesFrequenciesOutsideTheRange) {
    const double inf = std::numeric_limits<double>::infinity();
    const double refused[] = {700.0, 625.5, 0.0,    -0.0, -10.0,        std::nan(""),
                              inf,   -inf,  1e-300, 9.6,  625.0 / 65.0, std::numeric_limits<double>::denorm_min()};
    pulser->setSquareWave125MHz(0x3C);
    const uint32_t clock_before = ctrlWord(ctrl::CLOCK);
    for (double f : refused) {
        SCOPED_TRACE(f);
        fpga->clear_write_log();
        output();
        EXPECT_EQ(pulser->setClkParam(f), -1);
        const std::string text = output();
        EXPECT_EQ(text.rfind("DRP clock setting - frequency (MHz): ", 0), 0u);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
        EXPECT_TRUE(ctrlWrites(ctrl::CLOCK).empty());
        EXPECT_TRUE(ctrlWrites(ctrl::CLK_PARAM).empty());
        EXPECT_EQ(ctrlWord(ctrl::CLOCK), clock_before);
    }
    EXPECT_TRUE(sim::clock_params(*fpga).empty());
}

TEST_F(TriggerClockTest, ShiftClkPhaseStepsUntilAStepIsNotConfirmed) {
    output();
    EXPECT_EQ(pulser->shiftClkPhase(-3), 0);
    EXPECT_EQ(output(),
              "Phase shift step -3 will be set\n"
              "Phase shift step 1 executed successfully\n"
              "Phase shift step 2 executed successfully\n"
              "Phase shift step 3 executed successfully\n");
    EXPECT_EQ(ctrlField(ctrl::PHASE_DIR), 0u);
    EXPECT_EQ(ctrlField(ctrl::PHASE_STEP), 0u);
    EXPECT_EQ(sim::phase_position(*fpga), -3);

    fpga->clear_write_log();
    output();
    EXPECT_EQ(pulser->shiftClkPhase(0), 0);
    EXPECT_EQ(output(), "Phase shift step 0 will be set\n");
    EXPECT_EQ(ctrlField(ctrl::PHASE_DIR), 1u);
    for (uint32_t w : ctrlWrites(ctrl::CLOCK)) EXPECT_EQ(field_get(ctrl::PHASE_STEP, w), 0u);
    EXPECT_EQ(sim::phase_position(*fpga), -3);

    // The second of four steps fails: the first stays done, the rest are not tried.
    sim::fail_phase_step(*fpga, 1);
    output();
    EXPECT_EQ(pulser->shiftClkPhase(4), -1);
    EXPECT_EQ(output(),
              "Phase shift step 4 will be set\n"
              "Phase shift step 1 executed successfully\n"
              "Error - phase shift step 2 not executed\n");
    EXPECT_EQ(sim::phase_position(*fpga), -2);

    // The failure was one step only.
    EXPECT_EQ(pulser->shiftClkPhase(2), 0);
    EXPECT_EQ(sim::phase_position(*fpga), 0);

    // Two turns (560 steps) either way at most: beyond, refused untouched.
    for (int steps : {561, -561, INT_MAX, INT_MIN}) EXPECT_EQ(pulser->shiftClkPhase(steps), -1) << steps;
    EXPECT_EQ(sim::phase_position(*fpga), 0);
    EXPECT_EQ(pulser->shiftClkPhase(560), 0);
    EXPECT_EQ(sim::phase_position(*fpga), 560);
}

TEST_F(TriggerClockTest, SetTriggerProgramsModeEdgeAndRearm) {
    // Unrelated control bits survive every change.
    fpga->set_bits(CTRL_BASE + ctrl::CONTROL, ctrl::LOAD_ENABLE.mask | ctrl::START_SLOT.mask, true);
    output();
    pulser->setTrigger(HARDWARE_FALLING, MANUAL);
    EXPECT_EQ(output(), "start: 3\nset trigger edge: 1\nset auto rearm: false\n");
    struct Case {
        start_t start;
        trigger_rearm_t rearm;
        uint32_t edge_bits, hw;
    };
    const Case cases[] = {{HARDWARE_FALLING, MANUAL, 2, 1},
                          {IMMEDIATE, AUTO, 1, 0},
                          {HARDWARE_RISING, AUTO, 1, 1},
                          {SOFTWARE, AUTO, 1, 0},
                          {HARDWARE_RISING_AND_FALLING, AUTO, 3, 1},
                          {HARDWARE_FALLING, AUTO, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        pulser->setTrigger(c.start, c.rearm);
        EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), c.edge_bits);
        EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), c.hw);
        EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), c.rearm == AUTO ? 1u : 0u);
        EXPECT_EQ(pulser->getTriggerRearm(), c.rearm);
        EXPECT_EQ(pulser->getTriggerStart(), c.start);
    }
    EXPECT_EQ(ctrlField(ctrl::LOAD_ENABLE), 1u);
    EXPECT_EQ(ctrlField(ctrl::START_SLOT), 1u);

    // Undefined values: the start mode is kept as given but changes no trigger bits; an undefined
    // rearm mode keeps the current one without a message.
    output();
    pulser->setTrigger(static_cast<start_t>(9), static_cast<trigger_rearm_t>(5));
    EXPECT_EQ(output(), "start: 9\n");
    EXPECT_EQ(pulser->getTriggerStart(), static_cast<start_t>(9));
    EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), 2u);
    EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), 1u);
    EXPECT_EQ(pulser->getTriggerRearm(), AUTO);
    EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), 1u);
}

TEST_F(TriggerClockTest, RearmOnlyWhenManualAndTheFpgaAllowsItAndStartNow) {
    // Automatic rearm: nothing is read back into the outputs, nothing is written.
    setStatus(status::FINISHED | status::REARM_POSSIBLE | status::REARM_STROBE_NEEDED, true);
    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 0);
    for (uint32_t off : {ctrl::CONTROL, ctrl::CONST_ANALOG, ctrl::CONST_DIGI.offset})
        EXPECT_TRUE(ctrlWrites(off).empty()) << off;
    setStatus(status::FINISHED | status::REARM_POSSIBLE | status::REARM_STROBE_NEEDED, false);

    pulser->setTrigger(SOFTWARE, MANUAL);
    pulser->constant_state = Pulse{0, 0xA5, 1000, -1000};

    struct Case {
        uint32_t status;
        int result;
    };
    const Case cases[] = {
        {0, 0},
        {status::FINISHED, 1},
        {status::REARM_POSSIBLE, 1},
        {status::ERROR, 0},
        {status::ERROR | status::FINISHED, 0},  // after an error only the rearm-possible bit counts
        {status::ERROR | status::REARM_POSSIBLE, 1},
        {status::REARM_STROBE_NEEDED, 0},
    };
    const uint32_t all = status::FINISHED | status::REARM_POSSIBLE | status::ERROR | status::REARM_STROBE_NEEDED;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        setStatus(all, false);
        setStatus(c.status, true);
        fpga->poke(CTRL_BASE + ctrl::CONST_ANALOG, 0);
        fpga->clear_write_log();
        EXPECT_EQ(pulser->rearm(), c.result);
        if (c.result == 0) {
            EXPECT_TRUE(ctrlWrites(ctrl::CONTROL).empty());
            EXPECT_TRUE(ctrlWrites(ctrl::CONST_ANALOG).empty());
            continue;
        }
        EXPECT_EQ(ctrlWord(ctrl::CONST_ANALOG), analogWord(1000, -1000));
        EXPECT_EQ(ctrlField(ctrl::CONST_DIGI), 0xA5u);
        EXPECT_EQ(ctrlFieldWrites(ctrl::RUN), (std::vector<uint32_t>{0, 1}));  // cleared, set again; no rearm strobe
    }

    // The FPGA asks for the rearm strobe: set, then cleared.
    setStatus(all, false);
    setStatus(status::FINISHED | status::REARM_STROBE_NEEDED, true);
    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 1);
    EXPECT_EQ(ctrlFieldWrites(ctrl::REARM), (std::vector<uint32_t>{0, 0, 1, 0}));
    EXPECT_EQ(ctrlFieldWrites(ctrl::RUN), (std::vector<uint32_t>{0, 1, 1, 1}));

    // startNow: the software trigger strobe (what it starts: PlaybackTest).
    fpga->clear_write_log();
    pulser->startNow();
    EXPECT_EQ(ctrlFieldWrites(ctrl::SW_TRIGGER), (std::vector<uint32_t>{1, 0}));
}

TEST_F(TriggerClockTest, SelectClockPerSourceAndSquareWaveMask) {
    output();
    pulser->setSquareWave125MHz(0x81);
    EXPECT_EQ(output(), "Setting square wave on dedicated channels...129...Done\n");
    EXPECT_EQ(ctrlField(ctrl::SQUARE_MASK), 0x81u);
    EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 1u) << "the clock source bits survive the mask";
    struct Case {
        clocksource_t source;
        const char* shown;
        uint32_t internal, ext125;
    };
    const Case cases[] = {{EXT_125MHZ, "EXT_125MHZ\n", 0, 1},
                          {INTERNAL, "INTERNAL\n", 1, 0},
                          {EXT_10MHZ, "EXT_10MHZ\nDRP clock setting - frequency (MHz): 10\nDone\n", 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        fpga->clear_write_log();
        output();
        pulser->selectClock(c.source);
        EXPECT_EQ(output(), std::string("Set clock source: ") + c.shown);
        EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), c.internal);
        EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), c.ext125);
        EXPECT_EQ(ctrlField(ctrl::CLK_HOLD), 0u);
        EXPECT_EQ(pulser->getClock(), c.source);
        const auto clock = ctrlWrites(ctrl::CLOCK);  // held while the source bits change, then released
        ASSERT_GE(clock.size(), 2u);
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock.front()), 1u);
    }
    EXPECT_EQ(ctrlWord(ctrl::CLK_PARAM), 0x0517279Eu);
    fpga->clear_write_log();
    output();
    pulser->selectClock(static_cast<clocksource_t>(3));
    EXPECT_EQ(output(), "ERROR - clock source not defined\n");
    EXPECT_TRUE(ctrlWrites(ctrl::CLOCK).empty());
    EXPECT_EQ(pulser->getClock(), EXT_10MHZ) << "a refused source is not stored";
    EXPECT_EQ(ctrlField(ctrl::SQUARE_MASK), 0x81u) << "the square wave survives source changes";
}

}  // namespace
