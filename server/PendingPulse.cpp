// Placeholder conversion and loader, neutral calibration only, until the encoder module lands.
// This file goes away then.
#include "Pulse.h"

static uint32_t pending_code(int32_t gain, int32_t offset, int16_t v) {
    int64_t x = static_cast<int64_t>(gain) * v + offset;
    if (x < 0) x = 0;
    if (x > 0x3FFF0000) x = 0x3FFF0000;
    return static_cast<uint32_t>(x >> 16);
}

AnalogCalibDataCorr::AnalogCalibDataCorr(const std::string&) {}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1, const AnalogCalibDataCorr& cal) {
    value = pending_code(cal.gain0, cal.offset0, ao0) | (pending_code(cal.gain1, cal.offset1, ao1) << 16);
}

void ANALOG_TO_BYTES::setWithCalibration(int16_t ao0, int16_t ao1) { setWithCalibration(ao0, ao1, Analog_calibration); }
