// Simulated sensor channels: selecting a channel (temperature, or one of the three supply
// channels) latches that channel's 12-bit raw conversion result into bits 15:4 of control word
// 0x3C. The other bits of that word are left alone.
#pragma once

#include <cstdint>

#include "sim/Fpga.h"

namespace sim {

enum class Sensor { temperature, current, supply_12v, supply_3v3 };

// Sets the raw value a channel answers (taken modulo 4096).
void set_sensor_raw(Fpga& f, Sensor channel, uint32_t raw);
uint32_t sensor_raw(Fpga& f, Sensor channel);

}  // namespace sim
