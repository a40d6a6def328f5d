// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

AnalogCalibData Pulser::getAnalogCalibration() {
    std::cout << "getAnalogCalibration: not available" << std::endl;
    return AnalogCalibData();
}

int32_t Pulser::setAnalogCalibration(AnalogCalibData) {
    std::cout << "setAnalogCalibration: not available" << std::endl;
    return -1;
}
