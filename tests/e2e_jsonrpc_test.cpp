// JSON-RPC 2.0 on the real pulserd (simulated device) over real HTTP requests: the envelope, each
// method's parameter forms and replies, and the "stream" payload played. The readers' accepted
// forms and error texts are pinned without a device (json_rpc_readers_test).
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/base64_encode.h"
#include "support/control_client.h"
#include "support/http_client.h"
#include "support/process.h"
#include "common/types.h"

using namespace testsupport;

namespace {

// One call and the reply body it must get; `params` is JSON text, empty for none.
struct Row {
    const char* method;
    std::string params, reply;
};

class JsonRpc : public testing::Test {
protected:
    static void SetUpTestSuite() { pulserd = std::make_unique<SandboxedPulserd>(); }
    // Checked here, not in the suite set-up: that failure would count the tests as skipped.
    void SetUp() override { ASSERT_TRUE(pulserd->process->running()) << pulserd->process->output(); }
    static void TearDownTestSuite() { pulserd.reset(); }

    // The reply body of one call; `params` is JSON text, empty for none.
    static std::string call(const std::string& method, const std::string& params = "", const std::string& id = "1") {
        std::string body = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"" + method + "\"";
        if (!params.empty()) body += ",\"params\":" + params;
        body += "}";
        return post(body);
    }
    static std::string post(const std::string& body) {
        HttpReply r = http_request(8050, "POST", "/json-rpc", body);
        EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json") << r.raw;
        return r.body;
    }
    static std::string result(const std::string& value, const std::string& id = "1") {
        return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + value + "}";
    }
    static std::string error(int code, const std::string& message, const std::string& data,
                             const std::string& id = "1") {
        return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(code) +
               ",\"message\":\"" + message + "\",\"data\":\"" + data + "\"}}";
    }
    static std::string invalid(const std::string& data) { return error(-32602, "invalid parameter", data); }
    static void expectRows(const std::vector<Row>& rows) {
        for (const Row& r : rows) EXPECT_EQ(call(r.method, r.params), r.reply) << r.method << " " << r.params;
    }

    // Server output written since `mark` (a length of output()).
    static std::string output_since(size_t mark) { return pulserd->process->output().substr(mark); }

    static std::unique_ptr<SandboxedPulserd> pulserd;
};
std::unique_ptr<SandboxedPulserd> JsonRpc::pulserd;

}  // namespace

TEST_F(JsonRpc, Envelope) {
    EXPECT_EQ(call("getClock", "", "7.9"), result("0", "7"));
    EXPECT_EQ(call("getClock", "", "-3"), result("0", "-3"));
    EXPECT_EQ(call("getClock", "", "\"\""), result("0", "\"\""));
    // No id (a notification) and ids of other kinds are refused; the id member reads "null".
    EXPECT_EQ(post("{\"jsonrpc\":\"2.0\",\"method\":\"getClock\"}"),
              error(-32600, "invalid request", "bad protocol", "\"null\""));
    for (const char* id : {"null", "true", "[1]", "{\"a\":1}"})
        EXPECT_EQ(call("getClock", "", id), error(-32600, "invalid request", "bad protocol", "\"null\"")) << id;
    const std::string bad_protocol = error(-32600, "invalid request", "bad protocol");
    for (const char* body : {"{\"jsonrpc\":2.0,\"id\":1,\"method\":\"getClock\"}", "{\"id\":1,\"method\":\"getClock\"}",
                             "{\"jsonrpc\":\"2.00\",\"id\":1,\"method\":\"getClock\"}",
                             "{\"jsonrpc\":\"2.0\",\"id\":1}", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":5}"})
        EXPECT_EQ(post(body), bad_protocol) << body;
    for (const char* body : {"[1,2]", "not json", "", "5", "{\"jsonrpc\":\"2.0\",", "  {\"a\":1,}"})
        EXPECT_EQ(post(body), "{\"jsonrpc\":\"2.0\"}") << body;
    const std::string bad_parameter = error(-32600, "invalid request", "bad parameter");
    expectRows({
        {"getclock", "", error(-32601, "method not found", "getclock")},  // names are case-sensitive
        {"getClock", "5", bad_parameter},
        {"getClock", "\"x\"", bad_parameter},
        {"getClock", "null", result("0")},
        // The empty string reaches the method as given parameters of no container kind.
        {"getClock", "\"\"", invalid("number of arguments is not 0")},
        {"getClock", "[]", invalid("number of arguments is not 0")},
        {"reset", "[]", invalid("bad parameters")},
    });
    // Texts echoed into replies are JSON strings: quotes, backslashes, control characters escaped.
    std::string body =
        post("{\"jsonrpc\":\"2.0\",\"id\":\"a\\\"b\\\\c\\u0001\",\"method\":\"x\\\",\\\"result\\\":1\\n\"}");
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(body.c_str()).HasParseError()) << body;
    EXPECT_EQ(std::string(doc["id"].GetString()), "a\"b\\c\x01");
    EXPECT_FALSE(doc.HasMember("result"));
    EXPECT_EQ(std::string(doc["error"]["data"].GetString()), "x\",\"result\":1\n");
    EXPECT_EQ(call("nope\u00e9", "", "\"caf\u00e9 1/2\""),  // byte for byte otherwise, UTF-8 included
              error(-32601, "method not found", "nope\u00e9", "\"caf\u00e9 1/2\""));
}

// Each method's parameter forms, its reply, and the error of each of its own checks.
TEST_F(JsonRpc, MethodsParametersAndReplies) {
    const std::string none = invalid("number of arguments is not 0");
    const std::string calib = result("{\"dc_offset_a0\":0,\"dc_offset_a1\":0,\"slope_a0\":1,\"slope_a1\":1}");
    const std::string no_data = result(
        "{\"NumberOfBytes\":0,\"NumberOfPulses (low-level)\":0,"
        "\"WholeTicks (low_level)\":0,\"DataRate (GBit/s)\":0}");
    expectRows({
        {"setTrigger", "{\"start\":\"HARDWARE_RISING\",\"rearm\":\"MANUAL\"}", result("0")},
        {"getTriggerStart", "", result("2")},
        {"getTriggerRearm", "", result("1")},
        {"rearm", "", result("0")},
        {"setTrigger", "{\"start\":0}", result("0")},  // without a rearm mode: automatic
        {"getTriggerRearm", "", result("0")},
        {"setTrigger", "[1,0,0]", invalid("wrong number of arguments")},
        {"setTrigger", "", invalid("bad parameters")},
        {"selectClock", "[\"EXT_10MHZ\"]", result("0")},
        {"getClock", "", result("2")},
        {"selectClock", "[7]", result("-1")},  // refused: not stored
        {"getClock", "", result("2")},
        {"selectClock", "{}", invalid("missing argument 'clock_source'")},
        {"selectClock", "[1e999]", invalid("number out of range")},
        {"start", "{\"slot_nr\":0,\"n_slots_to_run\":[-1e999]}",
         invalid("number out of range")},  // parsed, out of every range
        {"selectClock", "[\"INTERNAL\"]", result("0")},
        {"getFPGAID", "", result("\"123456789ABCDEF\"")},
        {"getSerial", "[\"ID\"]", result("\"123456789ABCDEF\"")},
        {"getSerial", "[\"ID\",1]", none},
        {"constant", "{}", invalid("missing parameter pulse")},
        {"constant", "[[0,0,0,0],[0,0,0,0]]", invalid("wrong number of arguments")},
        {"getFirmwareVersion", "", result("\"1.7.0\"")},
        {"getHardwareVersion", "", result("\"prior_3.0\"")},
        {"reboot", "{}", invalid("bad parameters")},
        {"start", "", result("-1")},  // nothing in the slots
        {"start", "{\"slot_nr\":1,\"n_slots_to_run\":null}", result("-1")},
        {"start", "[\"0\"]", invalid("bad parameters")},
        {"start", "[0,1,2]", invalid("wrong number of arguments")},
        {"setSquareWave125MHz", "[3]", result("0")},
        {"setSquareWave125MHz", "[3,4]", invalid("wrong number of arguments")},
        {"setSquareWave125MHz", "{\"mask\":3}", invalid("bad parameters")},
        {"shiftClkPhase", "{\"value\":-560}", result("0")},  // two turns at most
        {"shiftClkPhase", "[2147483647]", invalid("value beyond 560 steps")},
        {"shiftClkPhase", "{\"value\":-561}", invalid("value beyond 560 steps")},
        {"shiftClkPhase", "{}", invalid("missing argument 'clk_frequency'")},
        {"shiftClkPhase", "[]", invalid("wrong number of arguments")},
        {"shiftClkPhase", "", invalid("bad parameters")},
        {"setClkParam", "[10.0]", result("0")},
        {"setClkParam", "[true]", invalid("bad parameters")},
        {"setDebugRegister", "{\"val\":0,\"mask\":0}", result("0")},
        {"setDebugRegister", "[0]", invalid("number of arguments is not 2")},
        {"setDebugRegister", "{\"val\":1}", invalid("missing parameter. val and mask are required.")},
        {"getSequenceControlData", "[0]", no_data},
        {"getSequenceControlData", "{\"seq_nr\":1}", no_data},
        {"getSequenceControlData", "", invalid("bad parameters")},
        {"isReadyForData", "[0]", result("1")},
        {"isReadyForData", "[2]", result("0")},
        {"isReadyForData", "{\"seq_nr\":null}", invalid("missing argument 'seq_nr'")},
        {"getNetworkConfiguration", "[true]",
         result("{\"dhcp\":0,\"ip\":\"192.168.1.100\",\"netmask\":\"255.255.255.0\",\"gateway\":\"192.168.1.1\"}")},
        {"getNetworkConfiguration", "{\"permanent\":1}",
         result("{\"DHCP\":0,\"IP\":\"192.168.1.100\",\"netmask\":\"255.255.255.0\",\"gateway\":\"192.168.1.1\"}")},
        {"getNetworkConfiguration", "", invalid("bad parameters")},
        // The checks of setNetworkConfiguration throw; each is answered with the exception's text.
        {"setNetworkConfiguration", "{\"ip\":\"1.2.3.4\"}", invalid("parameter dhcp is missing")},
        {"setNetworkConfiguration", "[false,\"1.2.3.4\",\"255.0.0.0\",\"1.0.0.1\",false,1]",
         invalid("wrong number of arguments")},
        {"setNetworkConfiguration", "[false,1234]", invalid("bad parameters")},
        {"getAnalogCalibration", "", calib},
        {"setAnalogCalibration", "[0,0,1]", invalid("wrong number of arguments")},
        {"setAnalogCalibration", "[0,0,1,\"1\"]", invalid("bad parameters")},
        {"getAnalogCalibration", "", calib},  // refused calls store nothing
        {"setHostname", "", invalid("bad parameters")},
        {"setHostname", "{}", invalid("missing argument 'hostname'")},
        {"setHostname", "[\"a\",\"b\"]", invalid("wrong number of arguments")},
        {"programSerial", "", invalid("bad parameters")},
        {"programSerial", "[12]", invalid("bad parameters")},
        {"stream", "", error(-32000, "server error", "No sequence in memory. Stream a sequence first!")},
        {"stream", "{}", invalid("bad parameters")},
        {"stream", "{\"n_runs\":1}", invalid("final and n_runs must not be passed when calling without a sequence")},
        {"stream", "[5]", invalid("first argument has wrong type")},
        {"stream", "[\"AAAA\",1,[0,0,0,0],4]", invalid("wrong number of arguments")},
        {"stream", "\"\"", invalid("bad parameters")},
        {"stream", "[\"\"]", error(-32000, "server error", "the sequence holds no pulses")},
    });
    for (const char* m : {"getFirmwareVersion", "getHardwareVersion", "hasSequence", "isStreaming", "hasFinished",
                          "forceFinal", "startNow", "getStatusRegister", "getUnderflow", "getTemperature",
                          "getSupplyState", "getStreamingState", "getHostname", "getAnalogCalibration",
                          "applyNetworkConfiguration", "getTriggerStart", "getTriggerRearm", "rearm", "getClock"}) {
        EXPECT_EQ(call(m, "[]"), none) << m;
        EXPECT_EQ(call(m, "{\"a\":1}"), none) << m;
    }
    std::string state = call("getStreamingState");
    EXPECT_TRUE(std::regex_match(
        state,
        std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\{"TotalTime":\d+,"StreamingTime":\d+,"UnderflowTime":\d+,)"
                   R"("WaitingDataTime":\d+,"State":\d+,"StateCondition":\d+,"ErrorMessage":"[^"]*",)"
                   R"("SlotChanges":\d+\}\})")))
        << state;
    EXPECT_TRUE(std::regex_match(call("getSupplyState"),
                                 std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\{"Current/A":[-0-9.e+]+,)"
                                            R"("Voltage_12/V":[-0-9.e+]+,"Voltage_3.3/V":[-0-9.e+]+\}\})")));
}

TEST_F(JsonRpc, StreamLengthBound) {
    // 18,000,009 decoded bytes are refused before the device is touched.
    std::string too_long = testsupport::base64_encode(std::string(18000009, '\0'));
    size_t mark = pulserd->process->output().size();
    EXPECT_EQ(call("stream", "[\"" + too_long + "\"]"), error(-32000, "server error", "Sequence too long."));
    EXPECT_EQ(output_since(mark).find("jRPC call"), std::string::npos);
    EXPECT_EQ(output_since(mark).find("Stop FPGA"), std::string::npos);
}

// What the simulated outputs play equals the pulses sent: the big-endian records are read
// field by field (ticks, digital byte, both analog values through the neutral calibration).
TEST_F(JsonRpc, StreamedSequencePlaysThePulsesSent) {
    std::vector<Pulse> pulses;
    for (uint32_t i = 0; i < 200; ++i)
        pulses.push_back(Pulse{8 * (1 + i % 37) + 0x01000000u * (i == 7), static_cast<uint8_t>(i * 13 + 1),
                               static_cast<int16_t>(i * 331 - 32768), static_cast<int16_t>(32767 - i * 97)});
    size_t mark = pulserd->process->output().size();
    ASSERT_EQ(call("stream", "[\"" + testsupport::base64_encode(be_records(pulses)) + "\",1,[0,3,0,0]]"), result("0"));
    EXPECT_NE(output_since(mark).find("jRPC call: len: 200, n_runs: 1, final: 65535|3|0|0, \n"), std::string::npos);

    ControlClient sim(pulserd->sandbox.root() + "/sim/control.sock");
    auto seg = sim.expectPlays(0, pulses);
    ASSERT_TRUE(seg.IsObject() && seg.HasMember("bytes"));
    EXPECT_EQ(call("hasSequence"), result("1"));
    std::string control = call("getSequenceControlData", "[0]");
    EXPECT_NE(control.find("{\"NumberOfBytes\":" + std::to_string(seg["bytes"].GetUint64()) + ","), std::string::npos)
        << control;
    sim.ok("{\"cmd\":\"fill_blocked\",\"on\":true}");  // loaded, never started: an error, not 0
    EXPECT_EQ(call("stream", "[\"" + testsupport::base64_encode(be_records(pulses)) + "\"]"),
              error(-32000, "server error", "Sequence did not start."));
    sim.ok("{\"cmd\":\"fill_blocked\",\"on\":false}");
}
