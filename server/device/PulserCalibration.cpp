// Reading and replacing the stored analog calibration. The running conversion keeps the
// calibration loaded at start; a stored change takes effect after the reboot it triggers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "common/SettingsFile.h"
#include "device/Pulser.h"
#include "platform/platform.h"

namespace {

const char CALIB_TMP_FILE[] = "/userconfig/hardware/tmp_writefile";

// One output's values as the file holds them.
struct FileValues {
    long long offset = 0;  // DAC codes
    double factor = 1.0;   // gain correction
    std::string factor_text;
};

// Converts one output's request into file values and checks that the conversion they yield
// cannot overflow 32 bits for any input value. False for anything out of range or not finite.
bool to_file_values(double offset, double slope, FileValues& out) {
    if (!std::isfinite(offset) || !std::isfinite(slope) || slope == 0.0) return false;
    const double codes = offset * 32767 * 0.25;
    if (!(codes > -2147483648.5 && codes < 2147483647.5)) return false;
    out.offset = std::llround(codes);
    const double factor = 1.0 / slope;
    if (!std::isfinite(factor)) return false;
    // Check the factor as it will be read back from its text.
    std::ostringstream text;
    text << factor;
    out.factor_text = text.str();
    std::istringstream back(out.factor_text);
    if (!(back >> out.factor) || !std::isfinite(out.factor)) return false;

    int32_t multiplier, addend;
    if (!AnalogCalibDataCorr::coefficients(double(out.offset), out.factor, multiplier, addend)) return false;
    const int64_t m = multiplier, a = addend;
    const int64_t at_min = a - 32768 * m;  // input -32768
    const int64_t at_max = a + 32767 * m;  // input 32767
    const int64_t hi = at_min > at_max ? at_min : at_max;
    const int64_t lo = at_min < at_max ? at_min : at_max;
    return hi < 2147483647 && lo >= -2147483647;
}

// Stores `text` as the calibration file; on failure the reason goes to standard error and the
// file is left as it was.
bool replace_file(const std::string& tmp, const std::string& target, const std::string& text) {
    const char* step = "";
    if (settings::replace_file(tmp, target, text, &step)) return true;
    std::perror(step);
    return false;
}

}  // namespace

AnalogCalibData Pulser::getAnalogCalibration() {
    AnalogCalibDataCorr file(platform::path(ANALOG_CALIB_FILE));
    AnalogCalibData data;
    data.dc_offset_a0 = file.dc_offset_a0 * 4 / 32767;
    data.dc_offset_a1 = file.dc_offset_a1 * 4 / 32767;
    data.slope_a0 = 1 / file.gain_error_corr_a0;
    data.slope_a1 = 1 / file.gain_error_corr_a1;
    return data;
}

int32_t Pulser::setAnalogCalibration(AnalogCalibData data) {
    std::cout << "Setting analog calibration values" << std::endl;
    FileValues out0, out1;
    if (!to_file_values(data.dc_offset_a0, data.slope_a0, out0) ||
        !to_file_values(data.dc_offset_a1, data.slope_a1, out1)) {
        std::cerr << "Calibration values out of range" << std::endl;
        return -1;
    }
    const std::string line_off0 = "dc_offset_a0=" + std::to_string(out0.offset);
    const std::string line_off1 = "dc_offset_a1=" + std::to_string(out1.offset);
    const std::string line_gain0 = "gain_error_corr_a0=" + out0.factor_text;
    const std::string line_gain1 = "gain_error_corr_a1=" + out1.factor_text;

    const std::string target = platform::path(ANALOG_CALIB_FILE);
    const std::string tmp = platform::path(CALIB_TMP_FILE);

    std::ifstream in(target);
    if (!in.is_open()) {
        std::cout << "no analog.calib found" << std::endl;
        const std::string text = "#Serial: " + getSerial() + "\n" + line_off0 + "\n" + line_off1 + "\n" + line_gain0 +
                                 "\n" + line_gain1 + "\n" + "#end of file";
        if (!replace_file(tmp, target, text)) return -1;
        std::cout << "created analog.calib found" << std::endl;
        reboot();
        return 1;
    }

    bool found[4] = {false, false, false, false};
    std::string text;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("dc_offset_a0=") != std::string::npos) {
            line = line_off0;
            found[0] = true;
        } else if (line.find("dc_offset_a1=") != std::string::npos) {
            line = line_off1;
            found[1] = true;
        } else if (line.find("gain_error_corr_a0=") != std::string::npos) {
            line = line_gain0;
            found[2] = true;
        } else if (line.find("gain_error_corr_a1=") != std::string::npos) {
            line = line_gain1;
            found[3] = true;
        }
        text += line;
        text += '\n';
    }
    if (in.bad()) {
        std::cerr << "read: " << target << std::endl;
        return -1;
    }
    in.close();

    if (!replace_file(tmp, target, text)) return -1;
    if (found[0] && found[1] && found[2] && found[3]) {
        std::cout << "analog.calib successfully set" << std::endl;
        reboot();
        return 0;
    }
    std::cout << "analog.calib not successfully set" << std::endl;
    std::cout << text << std::endl;
    return -1;
}
