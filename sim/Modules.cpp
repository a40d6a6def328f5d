#include "sim/Modules.h"

#include <mutex>

namespace sim {

void register_modules() {
    static std::once_flag once;
    std::call_once(once, [] {
        register_clock();
        register_control_commands();
        register_discovery();
        register_diagnostic_commands();
        register_i2c();
        register_network();
        register_playback();
        register_sensors();
    });
}

}  // namespace sim
