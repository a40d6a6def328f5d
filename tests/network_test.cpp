// Network settings and the hostname on a simulated board: storing, reading, test mode, the
// system commands and the network watcher.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <tuple>

#include "sim/Network.h"
#include "support/device.h"

using testsupport::DeviceTest;
using testsupport::eventually;
using testsupport::file_exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

const char* const CONF = "/userconfig/network/network.conf";
const char* const TMP = "/userconfig/network/tmp_writefile";
const std::string REBOOT = "/sbin/reboot -d 1 &";
const std::string STATIC_CONF = "PERMANENT=1\nIP=192.168.1.100\nNETMASK=255.255.255.0\nGATEWAY=192.168.1.1\n";
const std::string DHCP_CONF = "PERMANENT=0\nIP=10.1.2.3\nNETMASK=255.255.0.0\nGATEWAY=10.1.0.1\n";

class NetworkTest : public DeviceTest {
protected:
    std::string conf() { return read_file(sandbox.path(CONF)); }
    size_t reboots() {
        auto lines = shellLines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), REBOOT));
    }
    uint32_t netStatus() { return reg::field_get(reg::ctrl::NET_STATUS, ctrlWord(reg::ctrl::BOARD)); }
    bool statusBecomes(uint32_t code) {
        return eventually([&] { return netStatus() == code; });
    }
    network_settings current() { return pulser->getNetworkConfiguration(false); }
    // The settings as one line: "dhcp|ip|netmask|gateway".
    static std::string line(const network_settings& s) {
        return std::to_string(s.dhcp) + "|" + s.ip + "|" + s.netmask + "|" + s.gateway;
    }

    // Runs `call` and returns (stdout, stderr) it printed.
    std::pair<std::string, std::string> printed(const std::function<void()>& call) {
        output();
        testing::internal::CaptureStderr();
        call();
        std::string err = testing::internal::GetCapturedStderr();
        return {output(), err};
    }
};

class NetworkStaticTest : public NetworkTest {
protected:
    void prepareSandbox() override {
        sim::seed_root(sandbox.root());
        write_file(sandbox.path(CONF), "# written by the board image\n" + STATIC_CONF);
    }
};

TEST_F(NetworkStaticTest, MalformedAddressesAreRefusedWithoutAnyChange) {
    const std::string before = conf();
    sim::clear_commands();
    // Bad addresses, masks and gateways (a gateway is an address too); stored or tried.
    std::vector<std::array<std::string, 3>> calls;
    for (const char* text :
         {"192.168.1.256", "192.168.1", "192.168.-1.5", "10.0.0.4294967296", "a.b.c.d", "", "1.2.3.+"})
        calls.push_back({text, "255.255.255.0", "10.0.0.1"}), calls.push_back({"10.0.0.2", text, "10.0.0.1"});
    for (const char* gateway : {"gw.lab local", "$(reboot) 10.0.0.1", "10.0.0", "10.0.0.256", "\nIP=6.6.6.6"})
        calls.push_back({"10.0.0.2", "255.0.0.0", gateway});
    for (const auto& [ip, mask, gateway] : calls)
        for (bool test : {false, true}) {
            int rc = 0;
            auto out = printed([&] { rc = pulser->setNetworkConfiguration(false, ip, mask, gateway, test); });
            EXPECT_EQ(rc, 1) << ip << " " << mask << " " << gateway << " " << test;
            EXPECT_NE(out.first.find("Bad address format\n"), std::string::npos) << ip << " " << mask;
        }
    EXPECT_EQ(conf(), before);
    EXPECT_TRUE(sim::commands().empty());
    EXPECT_EQ(line(current()), "0|192.168.1.100|255.255.255.0|192.168.1.1");
}

TEST_F(NetworkStaticTest, StoreRewritesTheFileAndReboots) {
    sim::clear_commands();
    int rc = 0;
    auto out =
        printed([&] { rc = pulser->setNetworkConfiguration(false, "192.168.001.020", "255.255.255.000", "", false); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.first.find("Write network settings permanent to file and reboot system\n"), std::string::npos);
    EXPECT_EQ(conf(), "# written by the board image\nPERMANENT=1\nIP=192.168.1.20\nNETMASK=255.255.255.0\nGATEWAY=\n");
    EXPECT_FALSE(file_exists(sandbox.path(TMP)));
    EXPECT_EQ(shellLines(), std::vector<std::string>{REBOOT});

    // Text after the fourth number is dropped, from the gateway as from the others.
    sim::clear_commands();
    EXPECT_EQ(pulser->setNetworkConfiguration(false, "10.0.0.1abc", " 255.0.0.0 junk", "10.0.0.001\nIP=6.6.6.6", false),
              0);
    EXPECT_EQ(conf(), "# written by the board image\nPERMANENT=1\nIP=10.0.0.1\nNETMASK=255.0.0.0\nGATEWAY=10.0.0.1\n");
    EXPECT_EQ(reboots(), 1u);
    EXPECT_EQ(line(current()), "0|10.0.0.1|255.0.0.0|10.0.0.1");
}

TEST_F(NetworkStaticTest, FileErrorsAnswerMinusOneWithoutReboot) {
    // No file: the message, -1, no reboot; the settings in memory already changed.
    ASSERT_EQ(unlink(sandbox.path(CONF).c_str()), 0);
    sim::clear_commands();
    int rc = 0;
    auto out =
        printed([&] { rc = pulser->setNetworkConfiguration(false, "10.9.8.7", "255.0.0.0", "10.0.0.1", false); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(out.first.find("no network.conf in /userconfig/network\n"), std::string::npos);
    EXPECT_EQ(reboots(), 0u);
    EXPECT_FALSE(file_exists(sandbox.path(CONF)));
    EXPECT_EQ(current().ip, "10.9.8.7");

    // A full file system: the temporary file cannot be written, the old file stays.
    write_file(sandbox.path(CONF), STATIC_CONF);
    ASSERT_EQ(symlink("/dev/full", sandbox.path(TMP).c_str()), 0);
    out = printed([&] { rc = pulser->setNetworkConfiguration(false, "10.9.8.6", "255.0.0.0", "10.0.0.1", false); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(out.second.find("tmp_writefile: "), std::string::npos);
    EXPECT_EQ(conf(), STATIC_CONF);
    EXPECT_EQ(reboots(), 0u);
    EXPECT_FALSE(file_exists(sandbox.path(TMP)));
    ASSERT_EQ(symlink("/dev/full", sandbox.path(TMP).c_str()), 0);
    EXPECT_EQ(pulser->applyNetworkConfiguration(), -1);
    EXPECT_EQ(conf(), STATIC_CONF);
    EXPECT_EQ(reboots(), 0u);
}

TEST_F(NetworkStaticTest, ReadingRules) {
    // Only the first character of PERMANENT counts; values are the first word, a carriage
    // return drops away; lines without "=" are skipped.
    write_file(sandbox.path(CONF),
               "PERMANENT=1abc\r\n\nIP=  10.2.3.4 old\r\nNETMASK=255.255.0.0\r\nGATEWAY=10.2.0.1\r\n");
    network_settings s;
    auto out = printed([&] { s = pulser->getNetworkConfiguration(true); });
    EXPECT_NE(out.first.find("Getting network config\n"), std::string::npos);
    EXPECT_NE(out.first.find("network configuration file successfully read\n"), std::string::npos);
    EXPECT_EQ(line(s), "0|10.2.3.4|255.255.0.0|10.2.0.1");
    EXPECT_TRUE(pulser->permanent);

    // An unknown key ends the reading; keys are compared exactly.
    write_file(sandbox.path(CONF), "PERMANENT=0\nIP=10.2.3.4\nNETMASK=255.255.0.0\nDHCP=1\nGATEWAY=10.2.0.1\n");
    out = printed([&] { s = pulser->getNetworkConfiguration(true); });
    EXPECT_NE(out.first.find("network configuration file corrupted: 1 | 1 | 1 | 0\n"), std::string::npos);
    EXPECT_NE(out.second.find("std::invalid_argument -> DHCP not found\n"), std::string::npos);
    EXPECT_EQ(s.ip, "10.2.3.4");
    EXPECT_EQ(s.gateway, "");
    EXPECT_FALSE(pulser->permanent);

    write_file(sandbox.path(CONF), "PERMANENT=1\nip=10.2.3.4\nIP=1.1.1.1\n");
    out = printed([&] { s = pulser->getNetworkConfiguration(true); });
    EXPECT_NE(out.first.find("corrupted: 1 | 0 | 0 | 0\n"), std::string::npos);
    EXPECT_EQ(s.ip, "");

    // No file: "-" for each string.
    ASSERT_EQ(unlink(sandbox.path(CONF).c_str()), 0);
    out = printed([&] { s = pulser->getNetworkConfiguration(true); });
    EXPECT_NE(out.first.find("no network.conf in /userconfig/network\n"), std::string::npos);
    EXPECT_EQ(line(s).substr(1), "|-|-|-");
    // Static settings in force come from memory, not from the (missing) file.
    EXPECT_EQ(line(current()), "0|192.168.1.100|255.255.255.0|192.168.1.1");
}

TEST_F(NetworkStaticTest, TestModeRunsTestipWithoutShell) {
    sim::clear_commands();
    const std::string hostile = "10.0.0.1";
    EXPECT_EQ(pulser->setNetworkConfiguration(false, "10.0.000.5", "255.255.0.0",
                                              "10.0.0.1; rm -rf / $(reboot) `id` 'q\"", true),
              0);
    ASSERT_TRUE(eventually([] { return !sim::commands().empty(); }));
    std::vector<sim::Command> cmds = sim::commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_FALSE(cmds[0].shell);
    EXPECT_EQ(cmds[0].argv, (std::vector<std::string>{"testip", "DHCP=0", "IP=10.0.0.5", "NETMASK=255.255.0.0",
                                                      "GATEWAY=" + hostile}));
    EXPECT_EQ(conf(), "# written by the board image\n" + STATIC_CONF);
    // The simulated board's interface took the tried address.
    EXPECT_TRUE(eventually([&] {
        ConfigEthx eth = pulser->getConfigEth0();
        return eth.ip == "10.0.0.5" && eth.netmask == "255.255.0.0";
    }));

    // The tried settings are the ones in force; applying them stores them with a reboot.
    network_settings s = current();
    EXPECT_EQ(s.ip, "10.0.0.5");
    EXPECT_EQ(s.gateway, hostile);
    sim::clear_commands();
    EXPECT_EQ(pulser->applyNetworkConfiguration(), 0);
    EXPECT_EQ(conf(),
              "# written by the board image\nPERMANENT=1\nIP=10.0.0.5\nNETMASK=255.255.0.0\nGATEWAY=" + hostile + "\n");
    EXPECT_EQ(shellLines(), std::vector<std::string>{REBOOT});

    // DHCP in test mode hands over the stored strings.
    sim::clear_commands();
    EXPECT_EQ(pulser->setNetworkConfiguration(true, "", "", "", true), 0);
    ASSERT_TRUE(eventually([] { return !sim::commands().empty(); }));
    EXPECT_EQ(sim::commands()[0].argv, (std::vector<std::string>{"testip", "DHCP=1", "IP=10.0.0.5",
                                                                 "NETMASK=255.255.0.0", "GATEWAY=" + hostile}));
}

// Test-mode calls while "testip" runs fold into one more run, with the last call's settings.
TEST_F(NetworkStaticTest, TestModeFloodRunsTestipOnceMore) {
    std::atomic<bool> release{false};
    sim::on_program("testip", [&](const std::vector<std::string>&) {
        while (!release) usleep(1000);
        return 0;
    });
    sim::clear_commands();
    for (int i = 1; i <= 50; ++i)
        EXPECT_EQ(
            pulser->setNetworkConfiguration(false, "10.0.0." + std::to_string(i), "255.255.0.0", "10.0.0.254", true),
            0);
    release = true;
    ASSERT_TRUE(eventually([] { return sim::commands().size() == 2; }));
    usleep(100000);  // and no third
    EXPECT_EQ(sim::commands().size() == 2 ? sim::commands()[1].argv[2] : "", "IP=10.0.0.50");
}

TEST_F(NetworkStaticTest, WatcherReportsStaticLinkState) {
    const uint32_t hw = reg::field_get(reg::ctrl::HW_VERSION, ctrlWord(reg::ctrl::BOARD));
    EXPECT_TRUE(statusBecomes(5));
    sim::set_eth0(false);
    EXPECT_TRUE(statusBecomes(4));
    sim::set_eth0(true);
    EXPECT_TRUE(statusBecomes(5));
    EXPECT_EQ(reg::field_get(reg::ctrl::HW_VERSION, ctrlWord(reg::ctrl::BOARD)), hw);
}

class NetworkDhcpTest : public NetworkTest {
protected:
    void prepareSandbox() override {
        sim::seed_root(sandbox.root());
        write_file(sandbox.path(CONF), DHCP_CONF);
    }
};

TEST_F(NetworkDhcpTest, WatcherReportsDhcpStates) {
    EXPECT_TRUE(current().dhcp);
    EXPECT_TRUE(statusBecomes(3));
    // A link-local address (with its own mask) is 1, no address or no link 2, a leased one 3.
    const std::tuple<bool, const char*, const char*, uint32_t> steps[] = {{true, "169.254.7.9", "255.255.0.0", 1},
                                                                          {true, "169.254.7.9", "255.255.255.0", 3},
                                                                          {true, "0.0.0.0", "0.0.0.0", 2},
                                                                          {true, "169.254.7.9", "255.255.0.0", 1},
                                                                          {false, "", "", 2}};
    for (const auto& [link, ip, mask, status] : steps) {
        sim::set_eth0(link, ip, mask);
        EXPECT_TRUE(statusBecomes(status)) << ip << " " << mask << " link " << link;
    }
}

TEST_F(NetworkStaticTest, FallbackRequestStoresDhcpAndReboots) {
    sim::clear_commands();
    sim::request_dhcp_fallback(true);
    EXPECT_TRUE(eventually([&] { return reboots() >= 2; }));
    sim::request_dhcp_fallback(false);
    EXPECT_EQ(
        conf(),
        "# written by the board image\nPERMANENT=0\nIP=192.168.1.100\nNETMASK=255.255.255.0\nGATEWAY=192.168.1.1\n");
    EXPECT_TRUE(current().dhcp);
    EXPECT_TRUE(statusBecomes(3));
}

// ---- hostname ----

const char* const HOSTNAME = "/userconfig/network/hostname";
const std::vector<std::string> RESTART = {"hostname -F /userconfig/network/hostname", "killall -9 beacond.elf",
                                          "beacond.elf 1>/dev/null &"};

class HostnameTest : public DeviceTest {
protected:
    std::string file() { return read_file(sandbox.path(HOSTNAME)); }
};

TEST_F(HostnameTest, SetStoresExactBytesAndHandsThemToTheSystemUnlessStreaming) {
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname("lab-7.pg"), 0);
    EXPECT_EQ(file(), "lab-7.pg");
    EXPECT_EQ(shellLines(), RESTART);
    EXPECT_EQ(pulser->getHostname(), "lab-7.pg");

    // The empty name truncates the file and is still a success.
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname(""), 0);
    EXPECT_EQ(file(), "");
    EXPECT_EQ(shellLines(), RESTART);

    // Refused while streaming: nothing stored, nothing run.
    fpga->set_bits(reg::CTRL_BASE + reg::ctrl::STATUS, reg::status::STREAMING, true);
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname("other"), -1);
    EXPECT_EQ(file(), "");
    EXPECT_TRUE(sim::commands().empty());
}

TEST_F(HostnameTest, UnwritableFileAnswersMinusOneAndRunsNothing) {
    // A full file system (the new file is written beside the old one, then renamed over it).
    ASSERT_EQ(symlink("/dev/full", (sandbox.path(HOSTNAME) + ".new").c_str()), 0);
    sim::clear_commands();
    output();
    EXPECT_EQ(pulser->setHostname("newname"), -1);
    std::string out = output();
    EXPECT_NE(out.find("Writing hostname to config file /userconfig/network/hostname\n"), std::string::npos);
    EXPECT_NE(out.find("No space left on device\n"), std::string::npos);
    EXPECT_TRUE(sim::commands().empty());

    // A file that cannot be opened.
    ASSERT_EQ(unlink(sandbox.path(HOSTNAME).c_str()), 0);
    ASSERT_EQ(mkdir(sandbox.path(HOSTNAME).c_str(), 0755), 0);
    EXPECT_EQ(pulser->setHostname("newname"), -1);
    EXPECT_TRUE(sim::commands().empty());
    EXPECT_NE(pulser->getHostname(), "newname");
}

}  // namespace
