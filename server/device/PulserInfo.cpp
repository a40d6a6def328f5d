// Device information and diagnostics: serial number, FPGA identifier, versions, sensors and the
// status word; programming the serial-number memory over I2C. Every operation runs with
// pulser_lock held.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "device/Pulser.h"
#include "platform/platform.h"
#include "device/register_access.h"

using namespace reg;

namespace {

// Bus address of the serial-number memory and the word address its serial field starts at.
constexpr uint32_t SERIAL_MEMORY_BUS_ADDRESS = 0x50;
constexpr uint8_t SERIAL_MEMORY_OFFSET[2] = {0x17, 0xFA};
constexpr unsigned int SERIAL_WRITE_TIME_US = 2000000;

// Sensor conversion: the result appears in the sensor word while the channel is selected.
constexpr unsigned int SENSOR_SETTLE_US = 500;

// Six byte values in "XX:XX:XX:XX:XX:XX" form (17 characters).
bool parse_mac(const std::string& text, unsigned int (&b)[6]) {
    if (text.size() != 17) return false;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) return false;
    // Only the plain form: two hex digits per byte. Anything else (prefixes, signs, blanks,
    // trailing text, three-digit groups) would write an address other than the one given.
    for (size_t i = 0; i < text.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

}  // namespace

std::string Pulser::getSerial() {
    unsigned char mac[6] = {0, 0, 0, 0, 0, 0};
    if (platform::if_hwaddr("eth0", mac) < 0)
        for (auto& b : mac) b = 0;
    char text[18];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

int32_t Pulser::programSerial(const std::string& mac) {
    unsigned int b[6];
    if (!parse_mac(mac, b)) return -1;

    // The memory stores the address in the order fourth, third, second, first, fifth, sixth.
    const unsigned int order[6] = {b[3], b[2], b[1], b[0], b[4], b[5]};
    for (unsigned int v : order) std::cout << std::hex << v << std::dec << std::endl;
    std::cout << "Flashing...please wait..." << std::endl;

    field_set(slcr, slcr::I2C0_RESET, 1);
    field_set(slcr, slcr::I2C0_RESET, 0);

    field_set<i2c::CONTROL_MODE, i2c::CONTROL_MASTER_WRITE>(i2c0);
    i2c0.write(i2c::INT_STATUS, field_prep(i2c::INT_PENDING, field_read(i2c0, i2c::INT_PENDING)));
    field_set<i2c::INT_ENABLE_MASK, i2c::INT_ENABLE_ALL>(i2c0);

    for (uint8_t byte : SERIAL_MEMORY_OFFSET) field_set(i2c0, i2c::DATA_BYTE, byte);
    for (unsigned int v : order) field_set(i2c0, i2c::DATA_BYTE, v & 0xFF);
    field_set(i2c0, i2c::BUS_ADDRESS, SERIAL_MEMORY_BUS_ADDRESS);

    sleep_us(SERIAL_WRITE_TIME_US);

    const uint32_t irq = i2c0.read(i2c::INT_STATUS);
    std::cout << "Flashing DONE - interrupts: " << std::hex << irq << std::dec << std::endl;
    return irq == 0 ? 0 : -1;
}

std::string Pulser::getFPGAID() {
    const uint64_t id = (static_cast<uint64_t>(ctrl.read(ctrl::DEVICE_ID_HI)) << 32) | ctrl.read(ctrl::DEVICE_ID_LO);
    std::ostringstream s;
    s << std::uppercase << std::hex << id;
    return s.str();
}

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

std::string Pulser::getTemperature() {
    field_set(ctrl, ctrl::TEMP_CHANNEL, 1);
    sleep_us(SENSOR_SETTLE_US);
    field_set(ctrl, ctrl::TEMP_CHANNEL, 0);
    const uint32_t raw = field_read(ctrl, ctrl::SENSOR_VALUE);

    const double t = raw * 503.975 * (1.0 / 4096) - 273.15;
    std::ostringstream s;
    s << "On-Chip Temperature: " << std::fixed << std::setprecision(2) << t << " \u00B0C";
    return s.str();
}

SupplyState Pulser::getSupplyState() {
    auto measure = [this](uint32_t channel) {
        field_set(ctrl, ctrl::SUPPLY_CHANNEL, channel);
        sleep_us(SENSOR_SETTLE_US);
        field_set(ctrl, ctrl::SUPPLY_CHANNEL, 0);
        const uint32_t raw = field_read(ctrl, ctrl::SENSOR_VALUE);
        std::cout << raw << std::endl;
        return static_cast<double>(raw);
    };
    SupplyState st;
    st.current = (measure(ctrl::SUPPLY_CURRENT) / 585.728 - 0.06 - 0.0095) / 0.618;
    st.voltage_12 = measure(ctrl::SUPPLY_12V) / 585.728 * 4.62;
    st.voltage_3_3 = measure(ctrl::SUPPLY_3V3) / 585.728 * 4.62;
    return st;
}

uint32_t Pulser::getStatusRegister() { return ctrl.read(ctrl::STATUS); }

void Pulser::setDebugRegister(unsigned int, unsigned int) {
    std::cout << "currently no debug register to set" << std::endl;
}
