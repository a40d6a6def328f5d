// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

std::string Pulser::getSerial() {
    std::cout << "getSerial: not available" << std::endl;
    return std::string();
}

int32_t Pulser::programSerial(const std::string&) {
    std::cout << "programSerial: not available" << std::endl;
    return -1;
}

std::string Pulser::getFPGAID() {
    std::cout << "getFPGAID: not available" << std::endl;
    return std::string();
}

std::string Pulser::getTemperature() {
    std::cout << "getTemperature: not available" << std::endl;
    return std::string();
}

SupplyState Pulser::getSupplyState() {
    std::cout << "getSupplyState: not available" << std::endl;
    return SupplyState();
}

uint32_t Pulser::getStatusRegister() {
    std::cout << "getStatusRegister: not available" << std::endl;
    return 0;
}

void Pulser::setDebugRegister(unsigned int, unsigned int) {
    std::cout << "setDebugRegister: not available" << std::endl;
}
