// Serial number, serial-memory programming, identifiers, versions, sensors and the status word
// on the simulated FPGA.
#include <memory>

#include "sim/Control.h"
#include "sim/I2c.h"
#include "sim/Sensors.h"
#include "support/cout_capture.h"
#include "support/device.h"

using namespace reg;
using testsupport::CoutCapture;

namespace {

class DeviceInfoTest : public testsupport::DeviceTest {
protected:
    std::vector<uint32_t> i2cWrites(uint32_t offset) { return fpga->writes(I2C0_BASE + offset); }
};

const std::vector<uint8_t> kSerialBytes = {0x17, 0xFA, 0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC};

TEST_F(DeviceInfoTest, ProgramSerialWritesTheSerialMemory) {
    // Flags left pending from earlier use must not count against this transfer.
    fpga->poke(I2C0_BASE + i2c::INT_STATUS, 0x0201);
    fpga->clear_write_log();
    int32_t result;
    std::string text;
    {
        CoutCapture out;
        result = pulser->programSerial("12:34:56:78:9a:bc");
        text = out.text();
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text,
              "78\n56\n34\n12\n9a\nbc\n"
              "Flashing...please wait...\n"
              "Flashing DONE - interrupts: 0\n");

    const auto transfers = sim::i2c_transfers(*fpga);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].bus_address, 0x50u);
    EXPECT_EQ(transfers[0].control, 0x0C0Eu);
    EXPECT_EQ(transfers[0].bytes, kSerialBytes);
    EXPECT_EQ(fpga->writes(SLCR_BASE + slcr::I2C0_RESET.offset), (std::vector<uint32_t>{1u, 0u}));
    EXPECT_EQ(fpga->peek(I2C0_BASE + i2c::INT_ENABLE) & 0xFFFF, 0x024Fu);
    EXPECT_EQ(i2cWrites(i2c::ADDRESS).size(), 1u);
}

TEST_F(DeviceInfoTest, ProgramSerialReportsAnUnacknowledgedTransfer) {
    sim::set_i2c_completion(*fpga, 0x4);
    int32_t result;
    std::string text;
    {
        CoutCapture out;
        result = pulser->programSerial("00:1A:2b:3C:4d:5E");
        text = out.text();
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(text, "3c\n2b\n1a\n0\n4d\n5e\nFlashing...please wait...\nFlashing DONE - interrupts: 4\n");
    const auto transfers = sim::i2c_transfers(*fpga);
    ASSERT_EQ(transfers.size(), 1u);  // the bytes went out all the same
    EXPECT_EQ(transfers[0].bytes, (std::vector<uint8_t>{0x17, 0xFA, 0x3C, 0x2B, 0x1A, 0x00, 0x4D, 0x5E}));
}

TEST_F(DeviceInfoTest, ProgramSerialRefusesMalformedAddressesSilently) {
    const char* refused[] = {
        "12:34:56:78:9a:b",    // 16 characters
        "12:34:56:78:9a:bcd",  // 18 characters
        "",
        "zz:34:56:78:9a:bc",   // not hexadecimal
        "12-34-56-78-9a-bc",   // other separators
        "123:45:67:89:a:bc",   // a group above 0xFF would be cut to its low byte
        "1:2:3:4:5:6      ",   // trailing blanks
        "12:34:56:78:9a:bcX",
        "0x1:2:3:4:5:67890",
    };
    fpga->clear_write_log();
    for (const char* mac : refused) {
        SCOPED_TRACE(mac);
        CoutCapture out;
        EXPECT_EQ(pulser->programSerial(mac), -1);
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_TRUE(sim::i2c_transfers(*fpga).empty());
    for (uint32_t off : {i2c::CONTROL, i2c::DATA, i2c::ADDRESS, i2c::INT_STATUS, i2c::INT_ENABLE})
        EXPECT_TRUE(i2cWrites(off).empty()) << off;
    EXPECT_TRUE(fpga->writes(SLCR_BASE + slcr::I2C0_RESET.offset).empty());
}

TEST_F(DeviceInfoTest, SerialIsTheEthernetAddressInUpperCase) {
    fpga->config().mac = "0a:1b:2c:3d:4e:5f";
    CoutCapture out;
    EXPECT_EQ(pulser->getSerial(), "0A:1B:2C:3D:4E:5F");
    fpga->config().mac = "00:00:0f:a0:00:ff";
    EXPECT_EQ(pulser->getSerial(), "00:00:0F:A0:00:FF");
    // An interface that cannot be queried reads as the all-zero address.
    fpga->config().mac = "none";
    EXPECT_EQ(pulser->getSerial(), "00:00:00:00:00:00");
    EXPECT_EQ(out.text(), "");
}

TEST_F(DeviceInfoTest, IdentifierAndVersions) {
    EXPECT_EQ(pulser->getFPGAID(), "123456789ABCDEF");
    fpga->config().device_id = 0xFEDCBA9800000001ull;
    EXPECT_EQ(pulser->getFPGAID(), "FEDCBA9800000001");
    fpga->config().device_id = 0xDEADBEEFull;
    EXPECT_EQ(pulser->getFPGAID(), "DEADBEEF");
    fpga->config().device_id = 0;
    EXPECT_EQ(pulser->getFPGAID(), "0");

    // Bits 31:24 of the version word are not part of the version.
    fpga->poke(CTRL_BASE + ctrl::VERSION, 0xAB000000u);
    EXPECT_EQ(pulser->getFirmwareVersion(), "1.7.0");
    fpga->config().firmware_version = 0x00FF0A03;
    EXPECT_EQ(pulser->getFirmwareVersion(), "255.10.3");

    // The version pins read inverted: all high is the oldest board, all low an unknown one.
    struct Case {
        uint32_t pins;  // bits 12:10 of the input bank
        const char* text;
    };
    const Case cases[] = {{0b111, "prior_3.0"}, {0b110, "3.1"}, {0b101, "3.2"}, {0b100, "3.3"},
                          {0b011, "3.4"},       {0b010, "unknown_5"}, {0b000, "unknown_7"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        pulser.reset();
        fpga->config().board_pins = c.pins << 10;
        pulser = std::make_unique<Pulser>();
        EXPECT_EQ(pulser->getHardwareVersion(), c.text);
    }
}

TEST_F(DeviceInfoTest, TemperatureFromTheSensorWord) {
    // Neighbouring bits of the sensor word (the DHCP fall-back request, bits 3:0) do not leak in.
    fpga->poke(CTRL_BASE + ctrl::SENSOR, ctrl::DHCP_FALLBACK.mask | 0xF);
    struct Case {
        uint32_t raw;
        const char* text;
    };
    const Case cases[] = {{2500, "On-Chip Temperature: 34.45 \u00B0C"},
                          {0, "On-Chip Temperature: -273.15 \u00B0C"},
                          {4095, "On-Chip Temperature: 230.70 \u00B0C"}};
    for (const Case& c : cases) {
        sim::set_sensor_raw(*fpga, sim::Sensor::temperature, c.raw);
        fpga->clear_write_log();
        EXPECT_EQ(pulser->getTemperature(), c.text);
        const auto control = fpga->writes(CTRL_BASE + ctrl::CONTROL);
        ASSERT_EQ(control.size(), 2u);
        EXPECT_EQ(field_get(ctrl::TEMP_CHANNEL, control[0]), 1u);
        EXPECT_EQ(field_get(ctrl::TEMP_CHANNEL, control[1]), 0u);
    }
    EXPECT_EQ(fpga->peek(CTRL_BASE + ctrl::SENSOR) & ctrl::DHCP_FALLBACK.mask, ctrl::DHCP_FALLBACK.mask);
}

TEST_F(DeviceInfoTest, SupplyChannelsInOrder) {
    sim::set_sensor_raw(*fpga, sim::Sensor::current, 0);
    sim::set_sensor_raw(*fpga, sim::Sensor::supply_12v, 1521);
    sim::set_sensor_raw(*fpga, sim::Sensor::supply_3v3, 418);
    fpga->clear_write_log();
    SupplyState st;
    std::string text;
    {
        CoutCapture out;
        st = pulser->getSupplyState();
        text = out.text();
    }
    EXPECT_EQ(text, "0\n1521\n418\n");
    EXPECT_NEAR(st.current, -0.112460, 1e-6);  // reported as computed, not clamped
    EXPECT_NEAR(st.voltage_12, 11.99707, 1e-5);
    EXPECT_NEAR(st.voltage_3_3, 3.29703, 1e-5);

    // One-hot select per channel, each cleared before the result is read.
    std::vector<uint32_t> selects;
    for (uint32_t w : fpga->writes(CTRL_BASE + ctrl::CONTROL)) selects.push_back(field_get(ctrl::SUPPLY_CHANNEL, w));
    EXPECT_EQ(selects, (std::vector<uint32_t>{1, 0, 2, 0, 4, 0}));

    sim::set_sensor_raw(*fpga, sim::Sensor::current, 4095);
    {
        CoutCapture out;
        st = pulser->getSupplyState();
    }
    EXPECT_NEAR(st.current, 11.20032, 1e-5);
}

TEST_F(DeviceInfoTest, StatusWordAndDebugRegister) {
    fpga->set_bits(CTRL_BASE + ctrl::STATUS, status::FINISHED | status::SLOT1_HOLDS | status::PHASE_DONE, true);
    EXPECT_EQ(pulser->getStatusRegister(),
              status::FINISHED | status::SLOT1_HOLDS | status::PHASE_DONE | status::OUTPUT_READY);

    fpga->clear_write_log();
    CoutCapture out;
    pulser->setDebugRegister(0xFFFFFFFF, 0xFFFFFFFF);
    EXPECT_EQ(out.text(), "currently no debug register to set\n");
    // (The network watcher keeps writing its status into the board word on its own.)
    for (uint32_t off = 0; off < CTRL_LEN; off += 4) {
        if (off == ctrl::BOARD) continue;
        EXPECT_TRUE(fpga->writes(CTRL_BASE + off).empty()) << off;
    }
}

}  // namespace

namespace {

// The control channel's commands of the clock, sensor and I2C modules, answered in-process.
class DiagnosticCommandsTest : public testsupport::DeviceTest {};

TEST_F(DiagnosticCommandsTest, SensorClockAndI2cCommands) {
    using sim::control::handle;
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"temperature","raw":2500})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":222,"12v":1521,"3v3":418}})");
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"current","raw":"0x0"})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":0,"12v":1521,"3v3":418}})");
    {
        CoutCapture out;
        EXPECT_EQ(pulser->getTemperature(), "On-Chip Temperature: 34.45 \u00B0C");
        EXPECT_NEAR(pulser->getSupplyState().current, -0.1124595, 1e-6);
    }
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"5v","raw":1})").rfind(R"({"ok":false,"error":"unknown sensor)", 0),
              0u);
    EXPECT_EQ(handle(R"({"cmd":"sensor","channel":"12v","raw":4096})").rfind(R"({"ok":false,)", 0), 0u);
    EXPECT_EQ(handle(R"({"cmd":"sensors"})"),
              R"({"ok":true,"raw":{"temperature":2500,"current":0,"12v":1521,"3v3":418}})");

    EXPECT_EQ(handle(R"({"cmd":"fail_phase_step","after":2})"), R"({"ok":true})");
    {
        CoutCapture out;
        EXPECT_EQ(pulser->shiftClkPhase(5), -1);
        pulser->setClkParam(125.0);
    }
    EXPECT_EQ(handle(R"({"cmd":"clock"})"), R"({"ok":true,"phase_position":2,"params":[2474643587]})");

    // An I2C transfer driven through the register commands, ending without acknowledge.
    EXPECT_EQ(handle(R"({"cmd":"i2c_completion","int_status":4})"), R"({"ok":true})");
    handle(R"({"cmd":"write","addr":"0xE0004000","value":"0x0C0E"})");
    handle(R"({"cmd":"write","addr":"0xE000400C","value":"0x1AB"})");  // only bits 7:0 are data
    handle(R"({"cmd":"write","addr":"0xE000400C","value":"0x02"})");
    handle(R"({"cmd":"write","addr":"0xE0004008","value":"0x50"})");
    EXPECT_EQ(handle(R"({"cmd":"i2c"})"),
              R"({"ok":true,"transfers":[{"bus_address":80,"control":3086,"bytes":[171,2]}]})");
    EXPECT_EQ(handle(R"({"cmd":"read","addr":"0xE0004010"})"), R"({"ok":true,"value":4})");
    // Write one to clear.
    handle(R"({"cmd":"write","addr":"0xE0004010","value":"0x4"})");
    EXPECT_EQ(handle(R"({"cmd":"read","addr":"0xE0004010"})"), R"({"ok":true,"value":0})");
}

}  // namespace
