// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

std::string Pulser::getHostname() {
    std::cout << "getHostname: not available" << std::endl;
    return std::string();
}

int Pulser::setHostname(const std::string&) {
    std::cout << "setHostname: not available" << std::endl;
    return -1;
}
