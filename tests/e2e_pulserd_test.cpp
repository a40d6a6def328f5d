// The real pulserd (sim build) as a whole process: bring-up in a fresh root without touching
// files already there, and hostname changes restarting the discovery server it runs as a child
// (which joins a multicast group: the network namespace of tests/support/netns_run.sh).
#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "support/control_client.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/udp_client.h"
#include "tarvex.grpc.pb.h"

using namespace testsupport;

namespace {

// Parent process id and state letter of a process, from /proc; ppid -1 when it is gone.
std::pair<long, char> proc_parent(pid_t pid) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) return {-1, '?'};
    char state = '?';
    long ppid = -1;
    std::istringstream(text.substr(paren + 1)) >> state >> ppid;
    return {ppid, state};
}

bool alive(pid_t pid) {
    auto p = proc_parent(pid);
    return p.first >= 0 && p.second != 'Z';
}

// Asks the discovery server on 127.0.0.1 and returns its reply ("" without one).
std::string discover() { return UdpClient().await_reply(12345).value_or(""); }

long long discovery_pid(ControlClient& control) {
    rapidjson::Document d = control.ok(R"({"cmd":"discovery"})");
    return d.IsObject() && d.HasMember("pid") ? d["pid"].GetInt64() : -2;
}

void discovery_checks() {
    Sandbox sandbox;
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root(), "TARVEX_SIM_DISCOVERY=1"}, sandbox.root());
    ASSERT_TRUE(waitForPort(50051)) << server.output();
    ControlClient control(sandbox.path("/sim/control.sock"));

    const long long first = discovery_pid(control);
    ASSERT_GT(first, 0) << server.output();
    EXPECT_EQ(proc_parent(static_cast<pid_t>(first)).first, server.pid());
    std::string reply = discover();
    EXPECT_NE(reply.find("\"tarvex\""), std::string::npos) << reply;

    auto stub = tarvex::Tarvex::NewStub(grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials()));
    grpc::ClientContext ctx;
    tarvex::HostnameMessage req;
    req.set_hostname("pg-e2e");
    tarvex::TarvexIntReply rep;
    ASSERT_TRUE(stub->setHostname(&ctx, req, &rep).ok());
    EXPECT_EQ(rep.value(), 0);

    // A new child of pulserd, the old one ended; the new one answers with the new name.
    const long long second = discovery_pid(control);
    ASSERT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_FALSE(alive(static_cast<pid_t>(first)));
    EXPECT_EQ(proc_parent(static_cast<pid_t>(second)).first, server.pid());
    reply = discover();  // the commands that restart it: HostnameTest
    EXPECT_NE(reply.find("\"pg-e2e\""), std::string::npos) << reply;

    // The child does not outlive the server.
    server.stop(SIGKILL);
    EXPECT_TRUE(eventually([&] { return !alive(static_cast<pid_t>(second)); }));
}

}  // namespace

TEST(Pulserd, BringsTheDeviceUpKeepingStoredFiles) {
    Sandbox sandbox;
    const std::string conf = "PERMANENT=0\nIP=10.1.2.3\nNETMASK=255.0.0.0\nGATEWAY=10.0.0.1\n";
    ASSERT_EQ(system(("mkdir -p " + sandbox.path("/userconfig/network")).c_str()), 0);
    write_file(sandbox.path("/userconfig/network/network.conf"), conf);
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
    ASSERT_TRUE(server.waitForOutput("Enable outputs...\n")) << server.output();
    const std::string out = server.output();
    EXPECT_NE(out.find("no calibration file for analog outputs found"), std::string::npos) << out;
    EXPECT_TRUE(server.waitForOutput(" holds no web pages (index.shtml)")) << server.output();
    EXPECT_EQ(read_file(sandbox.path("/userconfig/network/network.conf")), conf) << "seeding overwrote it";
    EXPECT_TRUE(file_exists(sandbox.path("/userconfig/network/hostname")));
    EXPECT_TRUE(file_exists(sandbox.path("/etc/model_name")));
    EXPECT_EQ(server.stop(SIGTERM), 128 + SIGTERM);
}

TEST(Pulserd, HostnameChangeRestartsTheDiscoveryChild) {
    if (!std::getenv("TARVEX_NETNS")) GTEST_SKIP() << "needs the network namespace of tests/support/netns_run.sh";
    discovery_checks();
}
