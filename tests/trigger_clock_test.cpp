// Trigger modes, rearm, software trigger, clock source, programmable clock, phase shift and
// square waves on the simulated FPGA.
#include <algorithm>
#include <cmath>
#include <limits>

#include "sim/Clock.h"
#include "support/cout_capture.h"
#include "support/device.h"

using namespace reg;
using testsupport::CoutCapture;

namespace {

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
        {10.0, 0x0517279Eu, "10"},                        // D 62, F 4
        {125.0, 0x93801083u, "125"},                      // D 5, F 0, odd
        {100.0, (580u << 22) | 0xEA082u, "100"},          // D 6, F 2
        {9.765625, 0x00000820u, "9.76562"},               // D 64, the largest factor
        {625.0, (630u << 22) | 0x1001u, "625"},           // D 1, the smallest factor
        {200.0, (610u << 22) | 0x247040u, "200"},         // D 3, F 1, odd
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mhz);
        fpga->poke(CTRL_BASE + ctrl::CLK_PARAM, 0xFFFFFFFFu);  // every bit is rewritten
        fpga->clear_write_log();
        const size_t before = sim::clock_params(*fpga).size();
        int32_t result;
        CoutCapture out;
        result = pulser->setClkParam(c.mhz);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out.text(), std::string("DRP clock setting - frequency (MHz): ") + c.shown + "\nDone\n");
        EXPECT_EQ(ctrlWord(ctrl::CLK_PARAM), c.word);
        const auto params = sim::clock_params(*fpga);
        ASSERT_EQ(params.size(), before + 1);
        EXPECT_EQ(params.back(), c.word);

        // Held while the parameters change, handed to the programmable clock, released.
        const auto clock = ctrlWrites(ctrl::CLOCK);
        ASSERT_FALSE(clock.empty());
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock.front()), 1u);
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock.back()), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_PARAM_WRITE), 0u);
    }
    // Only selectClock changes the clock source member.
    EXPECT_EQ(pulser->getClock(), INTERNAL);
}

TEST_F(TriggerClockTest, SetClkParamRefusesFrequenciesOutsideTheRange) {
    const double inf = std::numeric_limits<double>::infinity();
    const double refused[] = {700.0, 625.5, 0.0, -0.0, -10.0, std::nan(""), inf, -inf, 1e-300,
                              9.6, 625.0 / 65.0, std::numeric_limits<double>::denorm_min()};
    pulser->setSquareWave125MHz(0x3C);
    const uint32_t clock_before = ctrlWord(ctrl::CLOCK);
    for (double f : refused) {
        SCOPED_TRACE(f);
        fpga->clear_write_log();
        CoutCapture out;
        EXPECT_EQ(pulser->setClkParam(f), -1);
        const std::string text = out.text();
        EXPECT_EQ(text.rfind("DRP clock setting - frequency (MHz): ", 0), 0u);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
        EXPECT_TRUE(ctrlWrites(ctrl::CLOCK).empty());
        EXPECT_TRUE(ctrlWrites(ctrl::CLK_PARAM).empty());
        EXPECT_EQ(ctrlWord(ctrl::CLOCK), clock_before);
    }
    EXPECT_TRUE(sim::clock_params(*fpga).empty());
}

TEST_F(TriggerClockTest, ShiftClkPhaseStepsUntilAStepIsNotConfirmed) {
    {
        CoutCapture out;
        EXPECT_EQ(pulser->shiftClkPhase(-3), 0);
        EXPECT_EQ(out.text(),
                  "Phase shift step -3 will be set\n"
                  "Phase shift step 1 executed successfully\n"
                  "Phase shift step 2 executed successfully\n"
                  "Phase shift step 3 executed successfully\n");
    }
    EXPECT_EQ(ctrlField(ctrl::PHASE_DIR), 0u);
    EXPECT_EQ(ctrlField(ctrl::PHASE_STEP), 0u);
    EXPECT_EQ(sim::phase_position(*fpga), -3);

    {
        fpga->clear_write_log();
        CoutCapture out;
        EXPECT_EQ(pulser->shiftClkPhase(0), 0);
        EXPECT_EQ(out.text(), "Phase shift step 0 will be set\n");
        EXPECT_EQ(ctrlField(ctrl::PHASE_DIR), 1u);
        for (uint32_t w : ctrlWrites(ctrl::CLOCK)) EXPECT_EQ(field_get(ctrl::PHASE_STEP, w), 0u);
        EXPECT_EQ(sim::phase_position(*fpga), -3);
    }

    // The second of four steps fails: the first stays done, the rest are not tried.
    sim::fail_phase_step(*fpga, 1);
    {
        CoutCapture out;
        EXPECT_EQ(pulser->shiftClkPhase(4), -1);
        EXPECT_EQ(out.text(),
                  "Phase shift step 4 will be set\n"
                  "Phase shift step 1 executed successfully\n"
                  "Error - phase shift step 2 not executed\n");
    }
    EXPECT_EQ(sim::phase_position(*fpga), -2);

    // The failure was one step only.
    EXPECT_EQ(pulser->shiftClkPhase(2), 0);
    EXPECT_EQ(sim::phase_position(*fpga), 0);
}

TEST_F(TriggerClockTest, SetTriggerProgramsModeEdgeAndRearm) {
    // Unrelated control bits survive every change.
    fpga->set_bits(CTRL_BASE + ctrl::CONTROL, ctrl::LOAD_ENABLE.mask | ctrl::START_SLOT.mask, true);
    {
        CoutCapture out;
        pulser->setTrigger(HARDWARE_FALLING, MANUAL);
        EXPECT_EQ(out.text(), "start: 3\nset trigger edge: 1\nset auto rearm: false\n");
    }
    EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), 2u);
    EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), 1u);
    EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), 0u);
    EXPECT_EQ(pulser->getTriggerRearm(), MANUAL);
    EXPECT_EQ(pulser->getTriggerStart(), HARDWARE_FALLING);

    struct Case {
        start_t start;
        uint32_t edge_bits, hw;
    };
    const Case cases[] = {{IMMEDIATE, 1, 0}, {HARDWARE_RISING, 1, 1}, {SOFTWARE, 1, 0},
                          {HARDWARE_RISING_AND_FALLING, 3, 1}, {HARDWARE_FALLING, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        pulser->setTrigger(c.start, AUTO);
        EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), c.edge_bits);
        EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), c.hw);
        EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), 1u);
        EXPECT_EQ(pulser->getTriggerRearm(), AUTO);
        EXPECT_EQ(pulser->getTriggerStart(), c.start);
    }
    EXPECT_EQ(ctrlField(ctrl::LOAD_ENABLE), 1u);
    EXPECT_EQ(ctrlField(ctrl::START_SLOT), 1u);

    // Undefined values: the start mode is kept as given but changes no trigger bits; an undefined
    // rearm mode keeps the current one without a message.
    {
        CoutCapture out;
        pulser->setTrigger(static_cast<start_t>(9), static_cast<trigger_rearm_t>(5));
        EXPECT_EQ(out.text(), "start: 9\n");
    }
    EXPECT_EQ(pulser->getTriggerStart(), static_cast<start_t>(9));
    EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), 2u);
    EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), 1u);
    EXPECT_EQ(pulser->getTriggerRearm(), AUTO);
    EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), 1u);
}

TEST_F(TriggerClockTest, RearmOnlyWhenManualAndTheFpgaAllowsIt) {
    // Automatic rearm: nothing is read back into the outputs, nothing is written.
    setStatus(status::FINISHED | status::REARM_POSSIBLE | status::REARM_STROBE_NEEDED, true);
    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 0);
    for (uint32_t off : {ctrl::CONTROL, ctrl::CONST_ANALOG, ctrl::CONST_DIGI.offset})
        EXPECT_TRUE(ctrlWrites(off).empty()) << off;
    setStatus(status::FINISHED | status::REARM_POSSIBLE | status::REARM_STROBE_NEEDED, false);

    pulser->setTrigger(SOFTWARE, MANUAL);
    pulser->constant_state = Pulse{0, 0xA5, 1000, -1000};
    ANALOG_TO_BYTES analog;
    analog.setWithCalibration(1000, -1000);

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
        const auto control = ctrlWrites(ctrl::CONTROL);
        if (c.result == 0) {
            EXPECT_TRUE(control.empty());
            EXPECT_TRUE(ctrlWrites(ctrl::CONST_ANALOG).empty());
            continue;
        }
        EXPECT_EQ(ctrlWord(ctrl::CONST_ANALOG), analog.value);
        EXPECT_EQ(ctrlField(ctrl::CONST_DIGI), 0xA5u);
        ASSERT_EQ(control.size(), 2u);  // run cleared, then set again; no rearm strobe
        EXPECT_EQ(field_get(ctrl::RUN, control[0]), 0u);
        EXPECT_EQ(field_get(ctrl::RUN, control[1]), 1u);
    }

    // The FPGA asks for the rearm strobe: set, then cleared.
    setStatus(all, false);
    setStatus(status::FINISHED | status::REARM_STROBE_NEEDED, true);
    fpga->clear_write_log();
    EXPECT_EQ(pulser->rearm(), 1);
    const auto control = ctrlWrites(ctrl::CONTROL);
    ASSERT_EQ(control.size(), 4u);
    EXPECT_EQ(field_get(ctrl::REARM, control[2]), 1u);
    EXPECT_EQ(field_get(ctrl::REARM, control[3]), 0u);
    EXPECT_EQ(field_get(ctrl::RUN, control[3]), 1u);
}

TEST_F(TriggerClockTest, StartNowGivesTheSoftwareTriggerStrobe) {
    fpga->clear_write_log();
    pulser->startNow();
    const auto control = ctrlWrites(ctrl::CONTROL);
    ASSERT_EQ(control.size(), 2u);
    EXPECT_EQ(field_get(ctrl::SW_TRIGGER, control[0]), 1u);
    EXPECT_EQ(field_get(ctrl::SW_TRIGGER, control[1]), 0u);
}

TEST_F(TriggerClockTest, SelectClockPerSource) {
    pulser->setSquareWave125MHz(0x81);
    {
        fpga->clear_write_log();
        CoutCapture out;
        pulser->selectClock(EXT_125MHZ);
        EXPECT_EQ(out.text(), "Set clock source: EXT_125MHZ\n");
        EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 1u);
        EXPECT_EQ(ctrlField(ctrl::CLK_HOLD), 0u);
        const auto clock = ctrlWrites(ctrl::CLOCK);
        ASSERT_EQ(clock.size(), 4u);  // hold, source bits, release
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock[0]), 1u);
        EXPECT_EQ(field_get(ctrl::CLK_HOLD, clock[2]), 1u);
        EXPECT_EQ(pulser->getClock(), EXT_125MHZ);
    }
    {
        CoutCapture out;
        pulser->selectClock(INTERNAL);
        EXPECT_EQ(out.text(), "Set clock source: INTERNAL\n");
        EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 1u);
        EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_HOLD), 0u);
        EXPECT_EQ(pulser->getClock(), INTERNAL);
    }
    {
        CoutCapture out;
        pulser->selectClock(EXT_10MHZ);
        EXPECT_EQ(out.text(), "Set clock source: EXT_10MHZ\nDRP clock setting - frequency (MHz): 10\nDone\n");
        EXPECT_EQ(ctrlWord(ctrl::CLK_PARAM), 0x0517279Eu);
        EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 0u);
        EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 0u);
        EXPECT_EQ(pulser->getClock(), EXT_10MHZ);
    }
    {
        fpga->clear_write_log();
        CoutCapture out;
        pulser->selectClock(static_cast<clocksource_t>(3));
        EXPECT_EQ(out.text(), "ERROR - clock source not defined\n");
        EXPECT_TRUE(ctrlWrites(ctrl::CLOCK).empty());
        EXPECT_EQ(pulser->getClock(), static_cast<clocksource_t>(3));
    }
    EXPECT_EQ(ctrlField(ctrl::SQUARE_MASK), 0x81u);
}

TEST_F(TriggerClockTest, SquareWaveMaskAndResetDefaults) {
    pulser->selectClock(EXT_125MHZ);
    {
        CoutCapture out;
        pulser->setSquareWave125MHz(0xA5);
        EXPECT_EQ(out.text(), "Setting square wave on dedicated channels...165...Done\n");
    }
    EXPECT_EQ(ctrlField(ctrl::SQUARE_MASK), 0xA5u);
    EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 1u);

    pulser->setTrigger(HARDWARE_RISING_AND_FALLING, MANUAL);
    pulser->reset();
    EXPECT_EQ(ctrlField(ctrl::SQUARE_MASK), 0u);
    EXPECT_EQ(ctrlField(ctrl::TRIGGER_EDGE), 1u);
    EXPECT_EQ(ctrlField(ctrl::HW_TRIGGER), 0u);
    EXPECT_EQ(ctrlField(ctrl::AUTO_REARM), 1u);
    EXPECT_EQ(ctrlField(ctrl::CLK_INTERNAL), 1u);
    EXPECT_EQ(ctrlField(ctrl::CLK_EXT125), 0u);
    EXPECT_EQ(pulser->getTriggerStart(), IMMEDIATE);
    EXPECT_EQ(pulser->getTriggerRearm(), AUTO);
    EXPECT_EQ(pulser->getClock(), INTERNAL);
    EXPECT_EQ(pulser->trigger_edge, 2u);  // reset leaves the edge member alone
}

}  // namespace
