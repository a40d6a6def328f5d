// The hostname on a simulated board: the file, the system commands and the discovery restart.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sim/Discovery.h"
#include "support/device.h"

using testsupport::DeviceTest;
using testsupport::read_file;
using testsupport::write_file;

namespace {

const char* const HOSTNAME = "/userconfig/network/hostname";
const std::vector<std::string> RESTART = {"hostname -F /userconfig/network/hostname", "killall -9 beacond.elf",
                                          "beacond.elf 1>/dev/null &"};

class HostnameTest : public DeviceTest {
protected:
    std::string file() { return read_file(sandbox.path(HOSTNAME)); }
};

TEST_F(HostnameTest, SetStoresExactBytesAndHandsThemToTheSystem) {
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname("lab-7.pg"), 0);
    EXPECT_EQ(file(), "lab-7.pg");
    EXPECT_EQ(shellLines(), RESTART);
    EXPECT_EQ(pulser->getHostname(), "lab-7.pg");

    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname("pg-02"), 0);
    EXPECT_EQ(file(), "pg-02");
    EXPECT_EQ(pulser->getHostname(), "pg-02");

    // The empty name truncates the file and is still a success.
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname(""), 0);
    EXPECT_EQ(file(), "");
    EXPECT_EQ(shellLines(), RESTART);
}

TEST_F(HostnameTest, RefusedWhileStreaming) {
    fpga->set_bits(reg::CTRL_BASE + reg::ctrl::STATUS, reg::status::STREAMING, true);
    if (!pulser->isStreaming()) GTEST_SKIP() << "run control (isStreaming) not built in yet";
    sim::clear_commands();
    EXPECT_EQ(pulser->setHostname("other"), -1);
    EXPECT_EQ(file(), "tarvex");
    EXPECT_TRUE(sim::commands().empty());
    fpga->set_bits(reg::CTRL_BASE + reg::ctrl::STATUS, reg::status::STREAMING, false);
    EXPECT_EQ(pulser->setHostname("other"), 0);
    EXPECT_EQ(file(), "other");
}

TEST_F(HostnameTest, UnwritableFileAnswersMinusOneAndRunsNothing) {
    // A full file system (the new file is written beside the old one, then renamed over it).
    ASSERT_EQ(symlink("/dev/full", (sandbox.path(HOSTNAME) + ".new").c_str()), 0);
    sim::clear_commands();
    testing::internal::CaptureStdout();
    EXPECT_EQ(pulser->setHostname("newname"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Writing hostname to config file /userconfig/network/hostname\n"), std::string::npos);
    EXPECT_NE(out.find("No space left on device\n"), std::string::npos);
    EXPECT_TRUE(sim::commands().empty());

    // A file that cannot be replaced.
    ASSERT_EQ(unlink(sandbox.path(HOSTNAME).c_str()), 0);
    ASSERT_EQ(mkdir(sandbox.path(HOSTNAME).c_str(), 0755), 0);
    EXPECT_EQ(pulser->setHostname("newname"), -1);
    EXPECT_TRUE(sim::commands().empty());
    EXPECT_NE(pulser->getHostname(), "newname");
}

TEST_F(HostnameTest, DiscoveryChildIsRestartedByItsProcessId) {
    sim::start_discovery({"/bin/sleep", "600"});
    const pid_t first = sim::discovery_pid();
    ASSERT_GT(first, 0);
    EXPECT_EQ(kill(first, 0), 0);

    EXPECT_EQ(pulser->setHostname("pg-restart"), 0);
    const pid_t second = sim::discovery_pid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(kill(second, 0), 0);
    // The old child was ended and reaped.
    errno = 0;
    EXPECT_EQ(kill(first, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    // Refused while streaming: the child stays.
    fpga->set_bits(reg::CTRL_BASE + reg::ctrl::STATUS, reg::status::STREAMING, true);
    if (pulser->isStreaming()) {
        EXPECT_EQ(pulser->setHostname("pg-other"), -1);
        EXPECT_EQ(sim::discovery_pid(), second);
    }

    sim::stop_discovery();
    EXPECT_EQ(sim::discovery_pid(), -1);
    errno = 0;
    EXPECT_EQ(kill(second, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

}  // namespace
