// The analog outputs' calibration file and the conversion of values to DAC codes.
#include "device/Pulse.h"

#include <cmath>
#include <fstream>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>

namespace {

// round() with halves away from zero, into 32 bits; false when x is not finite or out of range.
bool round_to_i32(double x, int32_t& out) {
    if (!(x > -2147483648.5 && x < 2147483647.5)) return false;  // also rejects NaN
    out = static_cast<int32_t>(std::llround(x));
    return true;
}

}  // namespace

bool AnalogCalibDataCorr::coefficients(double dc_offset, double gain_error_corr, int32_t& gain, int32_t& offset) {
    int32_t g, o;
    if (!round_to_i32(gain_error_corr * (-0.25) * 65536, g)) return false;
    if (!round_to_i32((gain_error_corr * dc_offset + 8192) * 65536, o)) return false;
    gain = g;
    offset = o;
    return true;
}

bool AnalogCalibDataCorr::deriveCoefficients() {
    int32_t g0, o0, g1, o1;
    if (!coefficients(dc_offset_a0, gain_error_corr_a0, g0, o0)) return false;
    if (!coefficients(dc_offset_a1, gain_error_corr_a1, g1, o1)) return false;
    gain0 = g0;
    offset0 = o0;
    gain1 = g1;
    offset1 = o1;
    return true;
}

AnalogCalibDataCorr::AnalogCalibDataCorr(const std::string& path) {
    auto set_defaults = [this] {
        dc_offset_a0 = 0.0;
        dc_offset_a1 = 0.0;
        gain_error_corr_a0 = 1.0;
        gain_error_corr_a1 = 1.0;
    };
    try {
        std::ifstream file(path);
        if (!file.is_open()) {
            std::cout << "no calibration file for analog outputs found" << std::endl;
        } else {
            bool seen[4] = {false, false, false, false};
            double* fields[4] = {&dc_offset_a0, &dc_offset_a1, &gain_error_corr_a0, &gain_error_corr_a1};
            static const char* const keys[4] = {"dc_offset_a0", "dc_offset_a1", "gain_error_corr_a0",
                                                "gain_error_corr_a1"};
            bool unknown_key = false;
            std::string line;
            while (std::getline(file, line)) {
                size_t eq = line.find('=');
                if (eq == std::string::npos) continue;
                std::string key = line.substr(0, eq);
                int k = 0;
                while (k < 4 && key != keys[k]) ++k;
                if (k == 4) {
                    std::cerr << "std::invalid_argument -> " << key << " not found" << std::endl;
                    unknown_key = true;
                    break;
                }
                std::istringstream value(line.substr(eq + 1));
                value.imbue(std::locale::classic());
                double v = 0.0;
                value >> v;  // unreadable: 0; beyond the double range: +-max (refused below)
                *fields[k] = v;
                seen[k] = true;
            }
            if (unknown_key) {
                set_defaults();
            } else if (seen[0] && seen[1] && seen[2] && seen[3]) {
                std::cout << "analog calibration file successfully read" << std::endl;
            } else {
                std::cout << "analog calibration file corrupted: " << seen[0] << " | " << seen[1] << " | " << seen[2]
                          << " | " << seen[3] << std::endl;
                set_defaults();
            }
        }
    } catch (...) {
        // Out of memory on an absurd line, or a stream exception: the neutral conversion.
        set_defaults();
    }
    if (!deriveCoefficients()) {
        std::cout << "analog calibration values out of range" << std::endl;
        set_defaults();
        deriveCoefficients();
    }
}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal) {
    value = codes(ao0, ao1, cal);
}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1) { setWithCalibration(ao0, ao1, Analog_calibration); }
