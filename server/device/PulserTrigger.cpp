// Trigger and clock control: start mode and trigger edge, automatic or manual rearm, the
// software trigger, the clock source, the programmable clock, its phase and the square waves.
// Every operation runs with pulser_lock held.
#include <unistd.h>

#include <cmath>
#include <iostream>

#include "device/Pulser.h"
#include "device/register_access.h"

using namespace reg;

namespace {

// The feedback factor 625 / f must have an integer part of 1 to 64: the largest multiplier
// the programmable clock can run (640 / 10) down to a reference of 625 MHz.
constexpr unsigned int MAX_FEEDBACK = 64;

}  // namespace

int Pulser::setTrigger(start_t start, trigger_rearm_t rearm_mode) {
    std::cout << "start: " << static_cast<uint32_t>(start) << std::endl;
    trigger_start = start;

    switch (start) {
        case IMMEDIATE:
        case SOFTWARE:
            field_set(ctrl, ctrl::TRIGGER_EDGE, 1);
            field_set(ctrl, ctrl::HW_TRIGGER, 0);
            break;
        case HARDWARE_RISING:
        case HARDWARE_FALLING:
        case HARDWARE_RISING_AND_FALLING:
            trigger_edge = static_cast<uint32_t>(start) - 2;
            std::cout << "set trigger edge: " << trigger_edge << std::endl;
            field_set(ctrl, ctrl::TRIGGER_EDGE, trigger_edge + 1);
            field_set(ctrl, ctrl::HW_TRIGGER, 1);
            break;
        default: break;
    }

    if (rearm_mode == AUTO) {
        auto_rearm = true;
        std::cout << "set auto rearm: true" << std::endl;
    } else if (rearm_mode == MANUAL) {
        auto_rearm = false;
        std::cout << "set auto rearm: false" << std::endl;
    }
    field_set(ctrl, ctrl::AUTO_REARM, auto_rearm ? 1 : 0);
    return 0;
}

start_t Pulser::getTriggerStart() { return trigger_start; }

trigger_rearm_t Pulser::getTriggerRearm() { return auto_rearm ? AUTO : MANUAL; }

int Pulser::rearm() {
    if (auto_rearm) return 0;

    const uint32_t s = ctrl.read(ctrl::STATUS);
    const bool error = s & status::ERROR;
    const bool possible = s & status::REARM_POSSIBLE;
    const bool finished = s & status::FINISHED;
    if (!(error ? possible : (finished || possible))) return 0;

    ANALOG_TO_BYTES analog;
    analog.setWithCalibration(constant_state.ao0, constant_state.ao1);
    ctrl.write(ctrl::CONST_ANALOG, analog.value);
    field_set(ctrl, ctrl::CONST_DIGI, constant_state.digi);

    field_set(ctrl, ctrl::RUN, 0);
    field_set(ctrl, ctrl::RUN, 1);

    if (s & status::REARM_STROBE_NEEDED) {
        field_set(ctrl, ctrl::REARM, 1);
        sleep_us(10);
        field_set(ctrl, ctrl::REARM, 0);
    }
    return 1;
}

void Pulser::startNow() {
    field_set(ctrl, ctrl::SW_TRIGGER, 1);
    field_set(ctrl, ctrl::SW_TRIGGER, 0);
}

// A source that is refused (unknown, or its reference not set) is not stored.
int Pulser::selectClock(clocksource_t src) {
    switch (src) {
        case INTERNAL:
        case EXT_125MHZ: {
            const bool internal = src == INTERNAL;
            field_set(ctrl, ctrl::CLK_HOLD, 1);
            sleep_us(10);
            field_set(ctrl, ctrl::CLK_INTERNAL, internal ? 1 : 0);
            field_set(ctrl, ctrl::CLK_EXT125, internal ? 0 : 1);
            std::cout << "Set clock source: " << (internal ? "INTERNAL" : "EXT_125MHZ") << std::endl;
            sleep_us(2);
            field_set(ctrl, ctrl::CLK_HOLD, 0);
            clock_source = src;
            return 0;
        }
        case EXT_10MHZ: {
            std::cout << "Set clock source: EXT_10MHZ" << std::endl;
            const int result = setClkParam(10.0);
            if (result >= 0) clock_source = src;
            return result;
        }
        default: std::cout << "ERROR - clock source not defined" << std::endl; return -1;
    }
}

clocksource_t Pulser::getClock() { return clock_source; }

int32_t Pulser::setClkParam(double ref_mhz) {
    std::cout << "DRP clock setting - frequency (MHz): " << ref_mhz << std::endl;

    // The range check comes before any conversion to an integer: zero, negative, non-numeric and
    // tiny frequencies give factors no integer type holds.
    const double x = 625.0 / ref_mhz;
    if (!(x >= 1.0 && x < MAX_FEEDBACK + 1.0)) return -1;

    const double whole = std::floor(x);
    const uint32_t D = static_cast<uint32_t>(whole);
    const uint32_t F = static_cast<uint32_t>((x - whole) * 1000.0 / 125.0);  // eighths, 0 to 7
    const uint32_t H = D / 2;
    const bool odd = D % 2 == 1;  // the integer part of x mod 2

    uint32_t W = 0;
    auto put = [&W](Field f, uint32_t v) { W |= field_prep(f, v); };
    if (F == 0) {
        put(ctrl::DIV_HIGH_TIME, odd ? H + 1 : H);
        put(ctrl::DIV_LOW_TIME, H);
        put(ctrl::DIV_ODD_EDGE, odd ? 1 : 0);
    } else {
        put(ctrl::DIV_FRAC_ENABLE, 1);
        put(ctrl::DIV_FRAC, F);
        if (odd) {
            put(ctrl::DIV_HIGH_TIME, F == 1 ? H - 1 : H);
            put(ctrl::DIV_LOW_TIME, H);
            put(ctrl::DIV_ODD_EDGE, 1);
            put(ctrl::DIV_FRAC_EDGE, F == 1 ? 1 : 0);
            put(ctrl::DIV_FRAC_PHASE, (F / 2 + 4) % 8);
        } else {
            put(ctrl::DIV_HIGH_TIME, H - 1);
            put(ctrl::DIV_LOW_TIME, H - 1);
            put(ctrl::DIV_FRAC_EVEN, 1);
            put(ctrl::DIV_FRAC_EDGE, F == 1 ? 0 : 1);
            put(ctrl::DIV_FRAC_PHASE, F / 2);
        }
    }

    // Hold the clock and hand it to the programmable clock (neither internal nor 125 MHz).
    field_set(ctrl, ctrl::CLK_HOLD, 1);
    sleep_us(10);
    field_set(ctrl, ctrl::CLK_INTERNAL, 0);
    field_set(ctrl, ctrl::CLK_EXT125, 0);
    sleep_us(2);

    field_set(ctrl, ctrl::CLK_DIVIDER, W);
    field_set(ctrl, ctrl::CLK_PARAM_HIGH, 640 - 10 * D);
    sleep_us(100);

    field_set(ctrl, ctrl::CLK_PARAM_WRITE, 1);
    field_set(ctrl, ctrl::CLK_PARAM_WRITE, 0);
    sleep_us(10);

    field_set(ctrl, ctrl::CLK_HOLD, 0);
    std::cout << "Done" << std::endl;
    return 0;
}

int32_t Pulser::shiftClkPhase(int steps) {
    std::cout << "Phase shift step " << steps << " will be set" << std::endl;
    if (steps > MAX_PHASE_STEPS || steps < -MAX_PHASE_STEPS) {
        std::cout << "Error - phase shift beyond " << MAX_PHASE_STEPS << " steps refused" << std::endl;
        return -1;
    }
    field_set(ctrl, ctrl::PHASE_DIR, steps >= 0 ? 1 : 0);
    if (steps == 0) return 0;

    // |steps| without negating INT_MIN.
    const unsigned int count = steps < 0 ? 0u - static_cast<unsigned int>(steps) : static_cast<unsigned int>(steps);
    for (unsigned int i = 1;; ++i) {
        field_set(ctrl, ctrl::PHASE_STEP, 1);
        field_set(ctrl, ctrl::PHASE_STEP, 0);
        sleep_us(100);
        if (!(ctrl.read(ctrl::STATUS) & status::PHASE_DONE)) {
            std::cout << "Error - phase shift step " << i << " not executed" << std::endl;
            return -1;
        }
        std::cout << "Phase shift step " << i << " executed successfully" << std::endl;
        if (i == count) return 0;
    }
}

void Pulser::setSquareWave125MHz(unsigned char mask) {
    std::cout << "Setting square wave on dedicated channels..." << static_cast<unsigned int>(mask) << "...";
    field_set(ctrl, ctrl::SQUARE_MASK, mask);
    std::cout << "Done" << std::endl;
}
