// The program-wide calibration for test binaries: neutral (no file), built before any test
// object that converts analog values.
#include "device/Pulse.h"

AnalogCalibDataCorr Analog_calibration __attribute__((init_priority(101)));
