// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

ConfigEthx Pulser::getConfigEth0() {
    std::cout << "getConfigEth0: not available" << std::endl;
    return ConfigEthx();
}

int Pulser::setNetworkConfiguration(bool, std::string, std::string, std::string, bool) {
    std::cout << "setNetworkConfiguration: not available" << std::endl;
    return -1;
}

int Pulser::applyNetworkConfiguration() {
    std::cout << "applyNetworkConfiguration: not available" << std::endl;
    return -1;
}

network_settings Pulser::getNetworkConfiguration(bool) {
    std::cout << "getNetworkConfiguration: not available" << std::endl;
    return network_settings();
}

void Pulser::testNetworkConf() {
    std::cout << "testNetworkConf: not available" << std::endl;
}

void Pulser::network_daemon() {
    while (watcherSleep(std::chrono::milliseconds(1000))) {
    }
}
