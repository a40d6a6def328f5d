#include "sim/Modules.h"
#include "sim/Sensors.h"

#include "hardware/registers.h"

namespace sim {

namespace {

// Defaults of a healthy board: 34.45 degC, about 0.5 A, 12.0 V and 3.3 V.
struct SensorState {
    uint32_t raw[4] = {2500, 222, 1521, 418};
};

SensorState& sensor_state(Fpga& f) { return f.state<SensorState>("sensors"); }

void latch(Fpga& f, Sensor channel) {
    using namespace reg;
    const uint64_t addr = CTRL_BASE + ctrl::SENSOR;
    const uint32_t raw = sensor_state(f).raw[static_cast<int>(channel)];
    f.poke(addr, (f.peek(addr) & ~ctrl::SENSOR_VALUE.mask) | field_prep(ctrl::SENSOR_VALUE, raw));
}

void install(Fpga& f) {
    using namespace reg;
    f.on_write(CTRL_BASE + ctrl::CONTROL, [](Fpga& dev, uint64_t, uint32_t, uint32_t new_value) {
        if (field_get(ctrl::TEMP_CHANNEL, new_value)) {
            latch(dev, Sensor::temperature);
            return;
        }
        // One-hot select; with several bits set the lowest channel converts.
        const uint32_t supply = field_get(ctrl::SUPPLY_CHANNEL, new_value);
        if (supply & ctrl::SUPPLY_CURRENT)
            latch(dev, Sensor::current);
        else if (supply & ctrl::SUPPLY_12V)
            latch(dev, Sensor::supply_12v);
        else if (supply & ctrl::SUPPLY_3V3)
            latch(dev, Sensor::supply_3v3);
    });
}

}  // namespace

void set_sensor_raw(Fpga& f, Sensor channel, uint32_t raw) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    sensor_state(f).raw[static_cast<int>(channel)] = raw & 0xFFF;
}

uint32_t sensor_raw(Fpga& f, Sensor channel) {
    std::lock_guard<std::recursive_mutex> g(f.lock());
    return sensor_state(f).raw[static_cast<int>(channel)];
}

void register_sensors() { add_feature("sensors", install); }

}  // namespace sim
