#include "tarvex/Analog.h"

#include <algorithm>
#include <cmath>

namespace tarvex {

namespace {

// Halves away from zero, as the instrument rounds; false when out of 32 bits (or not finite).
bool round_to_i32(double x, int32_t& out) {
    if (!(x > -2147483648.5 && x < 2147483647.5)) return false;
    out = static_cast<int32_t>(std::llround(x));
    return true;
}

}  // namespace

bool AnalogConversion::fromCalibration(double dc_offset, double slope, AnalogConversion& out) {
    const double file_offset = std::round(dc_offset * 32767 / 4);
    const double factor = 1 / slope;
    return round_to_i32(factor * -0.25 * 65536, out.gain) &&
           round_to_i32((factor * file_offset + 8192) * 65536, out.offset);
}

uint16_t AnalogConversion::code(int16_t value) const {
    const auto x = static_cast<int32_t>(static_cast<uint32_t>(int64_t{gain} * value + offset));
    return static_cast<uint16_t>(std::clamp<int32_t>(x, 0, 0x3FFF0000) >> 16);
}

int16_t AnalogConversion::value(uint16_t c) const {
    if (gain == 0) return 0;
    const double m = (double(c) * 65536 - offset) / gain;
    const auto r = static_cast<int32_t>(std::clamp(std::floor(m + 0.5), -32768.0, 32767.0));
    for (const int32_t v : {r, r - 1, r + 1, r - 2, r + 2})
        if (v >= -32768 && v <= 32767 && code(static_cast<int16_t>(v)) == c) return static_cast<int16_t>(v);
    return static_cast<int16_t>(r);
}

}  // namespace tarvex
