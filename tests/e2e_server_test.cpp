// The real pulserd binary in a temporary sandbox root: bring-up, idle running, stored files.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "support/process.h"
#include "support/sandbox.h"

using namespace testsupport;

namespace {

// Processor time (user + system, in clock ticks) the process has used so far.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

}  // namespace

TEST(ServerProcess, BringsTheDeviceUpAndIdles) {
    Sandbox sandbox;
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
    ASSERT_TRUE(server.waitForOutput("Enable outputs...\n")) << server.output();
    std::string out = server.output();
    // Bring-up lines in order.
    const char* lines[] = {"fpga0: operating\n", "Hardware: prior_3.0\n", "reset pulser\n",
                           "Setting square wave on dedicated channels...0...Done\n", "start: 0\n",
                           "set auto rearm: true\n", "Set clock source: INTERNAL\n", "Enable outputs...\n"};
    size_t pos = 0;
    for (const char* line : lines) {
        size_t found = out.find(line, pos);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        pos = found;
    }
    // Without a calibration file the neutral conversion is used.
    EXPECT_NE(out.find("no calibration file for analog outputs found"), std::string::npos) << out;
    EXPECT_EQ(read_file(sandbox.path("/tmp/firmware_version")), "1.7.0\n");
    EXPECT_EQ(read_file(sandbox.path("/tmp/hardware_version")), "prior_3.0\n");
    // The seeded board files exist.
    EXPECT_TRUE(file_exists(sandbox.path("/userconfig/network/network.conf")));
    EXPECT_TRUE(file_exists(sandbox.path("/userconfig/network/hostname")));
    EXPECT_TRUE(file_exists(sandbox.path("/etc/model_name")));

    // Keeps running with its threads idle: well under 10% of one core over two seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long before = cpuTicks(server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(server.running());
    EXPECT_LT(cpuTicks(server.pid()) - before, 20) << "clock ticks used while idle";
    EXPECT_EQ(server.stop(SIGTERM), 128 + SIGTERM);
}

TEST(ServerProcess, SeedingNeverOverwritesExistingFiles) {
    Sandbox sandbox;
    std::string conf = "PERMANENT=0\nIP=10.1.2.3\nNETMASK=255.0.0.0\nGATEWAY=10.0.0.1\n";
    system(("mkdir -p " + sandbox.path("/userconfig/network")).c_str());
    write_file(sandbox.path("/userconfig/network/network.conf"), conf);
    write_file(sandbox.path("/userconfig/network/hostname"), "lab-7");
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
    ASSERT_TRUE(server.waitForOutput("Enable outputs...\n")) << server.output();
    EXPECT_EQ(read_file(sandbox.path("/userconfig/network/network.conf")), conf);
    EXPECT_EQ(read_file(sandbox.path("/userconfig/network/hostname")), "lab-7");
}
