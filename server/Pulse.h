// Sequence encoding: pulse lists -> the FPGA's memory commands, and the calibrated conversion of
// analog values to DAC codes with its calibration file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MemoryManager.h"
#include "types.h"

// Analog calibration as the interfaces see it: offsets as fractions of full scale, slopes.
struct AnalogCalibData {
    double dc_offset_a0 = 0.0;
    double dc_offset_a1 = 0.0;
    double slope_a0 = 1.0;
    double slope_a1 = 1.0;
};

// Analog calibration as stored in the file and applied by the conversion (16.16 fixed point).
struct AnalogCalibDataCorr {
    double dc_offset_a0 = 0.0;
    double dc_offset_a1 = 0.0;
    double gain_error_corr_a0 = 1.0;
    double gain_error_corr_a1 = 1.0;
    int32_t gain0 = -16384;
    int32_t offset0 = 536870912;
    int32_t gain1 = -16384;
    int32_t offset1 = 536870912;

    AnalogCalibDataCorr() = default;
    // Loads the calibration file; never throws. Missing or unusable files give neutral values.
    explicit AnalogCalibDataCorr(const std::string& path);
};

// The program's calibration, loaded once before the device object is built; read-only after.
extern AnalogCalibDataCorr Analog_calibration;

// Two 14-bit DAC codes: output 0 in bits 15:0, output 1 in bits 31:16.
struct ANALOG_TO_BYTES {
    uint32_t value = 0;

    // Converts through Analog_calibration.
    void setWithCalibration(int16_t ao0, int16_t ao1);
    // Converts through the given calibration.
    void setWithCalibration(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal);
};
