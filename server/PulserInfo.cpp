// Device information and diagnostics.
#include <iostream>
#include <sstream>

#include "Pulser.h"
#include "registers.h"

using namespace reg;

std::string Pulser::getFirmwareVersion() {
    uint32_t w = ctrl.read(ctrl::VERSION);
    std::ostringstream s;
    s << field_get(ctrl::FW_MAJOR, w) << "." << field_get(ctrl::FW_MINOR, w) << "." << field_get(ctrl::FW_PATCH, w);
    return s.str();
}

std::string Pulser::getHardwareVersion() {
    uint32_t v = field_get(gpio::BOARD_VERSION, board_version);
    switch (v) {
        case 0: return "prior_3.0";
        case 1: return "3.1";
        case 2: return "3.2";
        case 3: return "3.3";
        case 4: return "3.4";
        default: return "unknown_" + std::to_string(v);
    }
}
