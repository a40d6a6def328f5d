// The real pulserd (simulated device): sensor values and a failing clock phase step injected
// through the control channel, seen through JSON-RPC; the clock parameter words read back.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>

#include "support/control_client.h"
#include "support/http_client.h"
#include "support/netns.h"
#include "support/process.h"
#include "support/sandbox.h"

using namespace testsupport;

namespace {

// The fixed ports of the server started here are this test's own.
[[maybe_unused]] const bool own_namespace = (reexecInOwnNetworkNamespace(), true);

const int kPort = 8050;

std::string call(const std::string& method, const std::string& params = "") {
    std::string body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"" + method + "\"";
    if (!params.empty()) body += ",\"params\":" + params;
    return http_request(kPort, "POST", "/json-rpc", body + "}").body;
}
std::string result(const std::string& value) { return "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":" + value + "}"; }

}  // namespace

TEST(DiagnosticsEndToEnd, ControlChannelDrivesSensorsAndClock) {
    Sandbox sandbox;
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
    ASSERT_TRUE(server.waitForOutput("Enable outputs...\n")) << server.output();
    ASSERT_TRUE(waitForPort(kPort)) << server.output();
    ControlClient control(sandbox.path("/sim/control.sock"));

    control.ok(R"({"cmd":"sensor","channel":"temperature","raw":2500})");
    EXPECT_EQ(call("getTemperature"), result("\"On-Chip Temperature: 34.45 \u00B0C\""));
    control.ok(R"({"cmd":"sensor","channel":"temperature","raw":"0xFFF"})");
    EXPECT_EQ(call("getTemperature"), result("\"On-Chip Temperature: 230.70 \u00B0C\""));

    control.ok(R"({"cmd":"fail_phase_step","after":1})");
    // JSON-RPC passes on what the clock operations report: a step not carried out, a refused
    // reference frequency.
    EXPECT_EQ(call("shiftClkPhase", "[3]"), result("-1"));
    EXPECT_TRUE(server.waitForOutput("Error - phase shift step 2 not executed\n")) << server.output();

    EXPECT_EQ(call("setClkParam", "[700.0]"), result("-1"));  // refused: no parameter write
    EXPECT_EQ(call("setClkParam", "[125.0]"), result("0"));
    rapidjson::Document clock = control.ok(R"({"cmd":"clock"})");
    ASSERT_TRUE(clock.IsObject());
    EXPECT_EQ(clock["phase_position"].GetInt(), 1);
    ASSERT_TRUE(clock["params"].IsArray());
    ASSERT_EQ(clock["params"].Size(), 1u);
    EXPECT_EQ(clock["params"][0].GetUint(), 0x93801083u);
}
