// Simulated I2C controller 0 with the serial-number memory on its bus: bytes pushed into the
// data word are sent when the address word is written; each transfer is recorded. A transfer
// adds the configured completion flags (none by default) to the flags still pending.
// The interrupt status is write-one-to-clear; the controller reset (system-level control 0x224
// bit 0) drops unsent bytes and pending flags.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Fpga.h"

namespace sim {

struct I2cTransfer {
    uint32_t bus_address = 0;  // 7-bit address
    uint32_t control = 0;      // controller control word at the start of the transfer
    std::vector<uint8_t> bytes;
};

std::vector<I2cTransfer> i2c_transfers(Fpga& f);
// Interrupt status the following transfers end with (for example 0x4, no acknowledge).
void set_i2c_completion(Fpga& f, uint32_t int_status);

}  // namespace sim
