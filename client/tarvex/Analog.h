// The one conversion between analog values and the DAC codes the instrument plays, as described
// in docs/sequences.md ("Analog values and DAC codes").
#pragma once

#include <cstdint>

namespace tarvex {

struct AnalogConversion {
    int32_t gain = -16384;        // 16.16 fixed point, per step of the value
    int32_t offset = 8192 << 16;  // 16.16 fixed point

    // The coefficients the instrument derives from an output's reported calibration; false when
    // they do not fit (the instrument refuses such a calibration).
    static bool fromCalibration(double dc_offset, double slope, AnalogConversion& out);
    // The DAC code (0-16383) the value plays as.
    uint16_t code(int16_t value) const;
    // The value shown for a code read back: of those that give the code, the one nearest to
    // where the code begins.
    int16_t value(uint16_t code) const;
};

}  // namespace tarvex
