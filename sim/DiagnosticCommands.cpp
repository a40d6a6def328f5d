// Control-channel commands of the clock, sensor and I2C modules.
#include "sim/Modules.h"
#include "sim/Clock.h"
#include "sim/Control.h"
#include "sim/I2c.h"
#include "sim/Sensors.h"

namespace sim {

namespace {

using control::Error;
using control::Json;
using control::Request;

struct ChannelName {
    const char* name;
    Sensor channel;
};
const ChannelName kChannels[] = {{"temperature", Sensor::temperature},
                                 {"current", Sensor::current},
                                 {"12v", Sensor::supply_12v},
                                 {"3v3", Sensor::supply_3v3}};

Sensor channel_of(const std::string& name) {
    for (const auto& c : kChannels)
        if (name == c.name) return c.channel;
    throw Error("unknown sensor channel \"" + name + "\" (temperature, current, 12v, 3v3)");
}

Json all_sensors() {
    Json raw = Json::object();
    for (const auto& c : kChannels) raw.set(c.name, sensor_raw(device(), c.channel));
    return Json::object().set("raw", raw);
}

Json cmd_sensor(const Request& q) {
    const Sensor channel = channel_of(q.text("channel"));
    const uint32_t raw = q.u32("raw");
    if (raw > 0xFFF) throw Error("raw is a 12-bit value (0 to 4095)");
    set_sensor_raw(device(), channel, raw);
    return all_sensors();
}

Json cmd_sensors(const Request&) { return all_sensors(); }

Json cmd_fail_phase_step(const Request& q) {
    const uint64_t after = q.u64("after", 0);
    if (after > 1000000) throw Error("after is too large");
    fail_phase_step(device(), static_cast<unsigned int>(after));
    return Json();
}

Json cmd_clock(const Request&) {
    Json params = Json::array();
    for (uint32_t w : clock_params(device())) params.push(w);
    return Json::object().set("phase_position", phase_position(device())).set("params", params);
}

Json cmd_i2c(const Request&) {
    Json list = Json::array();
    for (const auto& t : i2c_transfers(device())) {
        Json bytes = Json::array();
        for (uint8_t b : t.bytes) bytes.push(static_cast<unsigned>(b));
        list.push(Json::object().set("bus_address", t.bus_address).set("control", t.control).set("bytes", bytes));
    }
    return Json::object().set("transfers", list);
}

Json cmd_i2c_completion(const Request& q) {
    set_i2c_completion(device(), q.u32("int_status"));
    return Json();
}

}  // namespace

void register_diagnostic_commands() {
    control::on_command("sensor", cmd_sensor,
                        "{channel (temperature, current, 12v, 3v3), raw}: the 12-bit value the channel converts to");
    control::on_command("sensors", cmd_sensors, "the raw value of every sensor channel");
    control::on_command("fail_phase_step", cmd_fail_phase_step,
                        "{after (default 0)}: after that many more confirmed steps, one clock phase step fails");
    control::on_command("clock", cmd_clock, "phase position in steps and every clock parameter word written");
    control::on_command("i2c", cmd_i2c, "the I2C transfers sent (bus address, controller control word, bytes)");
    control::on_command("i2c_completion", cmd_i2c_completion,
                        "{int_status}: interrupt flags the following I2C transfers end with (0: success)");
}

}  // namespace sim
