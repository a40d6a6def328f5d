// Device-level test fixture: a fresh sandbox root, a fresh simulated FPGA and a Pulser built on
// it, with the register words readable through the sim's test API.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "device/Pulser.h"
#include "device/register_access.h"
#include "sim/Fpga.h"
#include "sim/System.h"
#include "support/sandbox.h"

namespace testsupport {

class DeviceTest : public ::testing::Test {
public:
    // The analog word of an output pair under the calibration in force (neutral in test programs).
    static uint32_t analogWord(int16_t ao0, int16_t ao1) {
        ANALOG_TO_BYTES a;
        a.setWithCalibration(ao0, ao1);
        return a.value;
    }

protected:
    // Override to change the simulated board before the device is built.
    virtual sim::Config simConfig() { return sim::Config(); }
    // Override to prepare files in the sandbox before the device is built.
    virtual void prepareSandbox() {}

    void SetUp() override {
        prepareSandbox();
        testing::internal::CaptureStdout();  // the device's progress lines, read through output()
        fpga = &sim::fresh_device(simConfig());
        sim::clear_commands();
        pulser = std::make_unique<Pulser>();
    }
    void TearDown() override {
        pulser.reset();
        std::string rest = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::printf("%s\n", rest.substr(rest.size() > 4000 ? rest.size() - 4000 : 0).c_str());
    }
    // What the device wrote to standard output since the last call (or the set-up).
    std::string output() {
        std::string out = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return out;
    }

    // Stored register words (no side effects).
    uint32_t ctrlWord(uint32_t offset) { return fpga->peek(reg::CTRL_BASE + offset); }
    uint32_t slotWord(unsigned int slot, uint32_t offset) {
        return fpga->peek((slot == 0 ? reg::SLOT0_BASE : reg::SLOT1_BASE) + offset);
    }
    // The value of control field `f` in each write of its word since the log was cleared.
    std::vector<uint32_t> ctrlFieldWrites(reg::Field f) {
        std::vector<uint32_t> out;
        for (uint32_t w : fpga->writes(reg::CTRL_BASE + f.offset)) out.push_back(reg::field_get(f, w));
        return out;
    }
    // Recorded shell lines, in order.
    std::vector<std::string> shellLines() {
        std::vector<std::string> out;
        for (const auto& c : sim::commands())
            if (c.shell) out.push_back(c.line);
        return out;
    }

    Sandbox sandbox;
    sim::Fpga* fpga = nullptr;
    std::unique_ptr<Pulser> pulser;
};

}  // namespace testsupport
