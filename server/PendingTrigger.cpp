// Placeholders that keep the program linking until these operations land; each reports
// that it is not available and fails. This file goes away with its last placeholder.
#include <iostream>

#include "Pulser.h"

int Pulser::setTrigger(start_t, trigger_rearm_t) {
    std::cout << "setTrigger: not available" << std::endl;
    return -1;
}

start_t Pulser::getTriggerStart() {
    std::cout << "getTriggerStart: not available" << std::endl;
    return IMMEDIATE;
}

trigger_rearm_t Pulser::getTriggerRearm() {
    std::cout << "getTriggerRearm: not available" << std::endl;
    return AUTO;
}

int Pulser::rearm() {
    std::cout << "rearm: not available" << std::endl;
    return -1;
}

void Pulser::startNow() {
    std::cout << "startNow: not available" << std::endl;
}

int Pulser::selectClock(clocksource_t) {
    std::cout << "selectClock: not available" << std::endl;
    return -1;
}

clocksource_t Pulser::getClock() {
    std::cout << "getClock: not available" << std::endl;
    return INTERNAL;
}

int32_t Pulser::setClkParam(double) {
    std::cout << "setClkParam: not available" << std::endl;
    return -1;
}

int32_t Pulser::shiftClkPhase(int) {
    std::cout << "shiftClkPhase: not available" << std::endl;
    return -1;
}

void Pulser::setSquareWave125MHz(unsigned char) {
    std::cout << "setSquareWave125MHz: not available" << std::endl;
}
