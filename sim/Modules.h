// The simulator's feature modules (register hooks) and control-channel commands, registered by
// one explicit call. Creating a device (device(), fresh_device()) makes it; later calls do nothing.
#pragma once

namespace sim {

void register_modules();

// Each module's part.
void register_clock();
void register_control_commands();
void register_discovery();
void register_diagnostic_commands();
void register_i2c();
void register_network();
void register_playback();
void register_sensors();

}  // namespace sim
