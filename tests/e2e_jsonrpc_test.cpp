// JSON-RPC 2.0 on the real pulserd (simulated device): the envelope, every method with good and
// bad parameters, the readers' error texts and the "stream" payload, over real HTTP requests.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "device/Pulse.h"
#include "support/base64_encode.h"
#include "support/control_client.h"
#include "support/http_client.h"
#include "support/netns.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "common/types.h"

using namespace testsupport;

namespace {

// The fixed ports of the server started here are this test's own.
[[maybe_unused]] const bool own_namespace = (reexecInOwnNetworkNamespace(), true);

const int kPort = 8050;

// 9-byte big-endian records of the "stream" payload.
std::string records(const std::vector<Pulse>& pulses) {
    std::string out;
    for (const Pulse& p : pulses) {
        char r[9] = {char(p.ticks >> 24), char(p.ticks >> 16), char(p.ticks >> 8), char(p.ticks), char(p.digi),
                     char(uint16_t(p.ao0) >> 8), char(p.ao0), char(uint16_t(p.ao1) >> 8), char(p.ao1)};
        out.append(r, 9);
    }
    return out;
}

class JsonRpc : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox = std::make_unique<Sandbox>();
        std::string docs = sandbox->root() + "/docs";
        if (std::system(("mkdir -p '" + docs + "' && cp -r '" TARVEX_SOURCE_DIR "/www' '" + docs + "/'").c_str()) != 0)
            return;
        start_server(docs + "/www");
    }
    // Checked here, not in the suite set-up: that failure would count the tests as skipped.
    void SetUp() override {
        ASSERT_TRUE(ready && server && server->running()) << (server ? server->output() : "web pages not copied");
    }
    static void TearDownTestSuite() {
        server.reset();
        sandbox.reset();
    }
    static void start_server(const std::string& cwd) {
        server = std::make_unique<Process>(std::vector<std::string>{program("pulserd")},
                                           std::vector<std::string>{"TARVEX_ROOT=" + sandbox->root()}, cwd);
        ready = server->waitForOutput("Enable outputs...\n") && waitForPort(kPort);
    }

    // The reply body of one call; `params` is JSON text, empty for none.
    static std::string call(const std::string& method, const std::string& params = "", const std::string& id = "1") {
        std::string body = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"" + method + "\"";
        if (!params.empty()) body += ",\"params\":" + params;
        body += "}";
        return post(body);
    }
    static std::string post(const std::string& body) {
        HttpReply r = http_request(kPort, "POST", "/json-rpc", body);
        EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json") << r.raw;
        return r.body;
    }
    static std::string result(const std::string& value, const std::string& id = "1") {
        return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + value + "}";
    }
    static std::string error(int code, const std::string& message, const std::string& data, const std::string& id = "1") {
        return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(code) +
               ",\"message\":\"" + message + "\",\"data\":\"" + data + "\"}}";
    }
    static std::string invalid(const std::string& data) { return error(-32602, "invalid parameter", data); }
    static std::string silent(const std::string& id = "1") { return "{\"jsonrpc\":\"2.0\",\"id\":" + id + "}"; }

    // Server output written since `mark` (a length of output()).
    static std::string output_since(size_t mark) { return server->output().substr(mark); }

    static std::unique_ptr<Sandbox> sandbox;
    static std::unique_ptr<Process> server;
    static bool ready;
};
std::unique_ptr<Sandbox> JsonRpc::sandbox;
std::unique_ptr<Process> JsonRpc::server;
bool JsonRpc::ready = false;

}  // namespace

// ---- the envelope ----

TEST_F(JsonRpc, EnvelopeIdForms) {
    EXPECT_EQ(call("getClock", "", "7.9"), result("0", "7"));
    EXPECT_EQ(call("getClock", "", "-3"), result("0", "-3"));
    EXPECT_EQ(call("getClock", "", "\"abc\""), result("0", "\"abc\""));
    EXPECT_EQ(call("getClock", "", "\"\""), result("0", "\"\""));
    // No id (a notification) and ids of other kinds are refused; the id member reads "null".
    const std::string bad_protocol = error(-32600, "invalid request", "bad protocol", "\"null\"");
    EXPECT_EQ(post("{\"jsonrpc\":\"2.0\",\"method\":\"getClock\"}"), bad_protocol);
    for (const char* id : {"null", "true", "[1]", "{\"a\":1}"})
        EXPECT_EQ(call("getClock", "", id), bad_protocol) << id;
}

TEST_F(JsonRpc, EnvelopeVersionAndMethod) {
    const std::string bad_protocol = error(-32600, "invalid request", "bad protocol");
    EXPECT_EQ(post("{\"jsonrpc\":2.0,\"id\":1,\"method\":\"getClock\"}"), bad_protocol);
    EXPECT_EQ(post("{\"jsonrpc\":\"2.00\",\"id\":1,\"method\":\"getClock\"}"), bad_protocol);
    EXPECT_EQ(post("{\"id\":1,\"method\":\"getClock\"}"), bad_protocol);
    EXPECT_EQ(post("{\"jsonrpc\":\"2.0\",\"id\":1}"), bad_protocol);
    EXPECT_EQ(post("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":5}"), bad_protocol);
    // Method names are case-sensitive; an unknown one is named in the error.
    EXPECT_EQ(call("getclock"), error(-32601, "method not found", "getclock"));
    EXPECT_EQ(call("noSuchMethod", "[1,2]"), error(-32601, "method not found", "noSuchMethod"));
}

TEST_F(JsonRpc, EnvelopeParamsKinds) {
    const std::string bad_parameter = error(-32600, "invalid request", "bad parameter");
    EXPECT_EQ(call("getClock", "5"), bad_parameter);
    EXPECT_EQ(call("getClock", "true"), bad_parameter);
    EXPECT_EQ(call("getClock", "\"x\""), bad_parameter);
    // The empty string reaches the method as given parameters of no container kind.
    EXPECT_EQ(call("getClock", "\"\""), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("getClock", "null"), result("0"));
    EXPECT_EQ(call("getClock", "[]"), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("reset", "[]"), invalid("bad parameters"));
}

TEST_F(JsonRpc, BodiesThatAreNotOneObject) {
    for (const char* body : {"[1,2]", "not json", "", "5", "{\"jsonrpc\":\"2.0\",", "  {\"a\":1,}"})
        EXPECT_EQ(post(body), "{\"jsonrpc\":\"2.0\"}") << body;
    // Query strings are not part of the path.
    HttpReply r = http_request(kPort, "POST", "/json-rpc?x=1", "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"getClock\"}");
    EXPECT_EQ(r.body, result("0", "3"));
}

// Texts echoed into replies are JSON strings: a quote, a backslash or a control character in an
// id or a method name is escaped, and the reply stays one valid object.
TEST_F(JsonRpc, EchoedTextsAreEscaped) {
    std::string body = post("{\"jsonrpc\":\"2.0\",\"id\":\"a\\\"b\\\\c\\u0001\",\"method\":\"x\\\",\\\"result\\\":1\\n\"}");
    EXPECT_EQ(body,
              "{\"jsonrpc\":\"2.0\",\"id\":\"a\\\"b\\\\c\\u0001\",\"error\":{\"code\":-32601,\"message\":\"method not "
              "found\",\"data\":\"x\\\",\\\"result\\\":1\\n\"}}");
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(body.c_str()).HasParseError()) << body;
    EXPECT_EQ(std::string(doc["id"].GetString()), "a\"b\\c\x01");
    EXPECT_FALSE(doc.HasMember("result"));
    EXPECT_EQ(std::string(doc["error"]["data"].GetString()), "x\",\"result\":1\n");
    // Texts without such characters stay byte for byte, UTF-8 included.
    EXPECT_EQ(call("nope\u00e9", "", "\"caf\u00e9 1/2\""),
              error(-32601, "method not found", "nope\u00e9", "\"caf\u00e9 1/2\""));
}

// ---- the readers ----

TEST_F(JsonRpc, TriggerStartAndRearmReaders) {
    EXPECT_EQ(call("setTrigger", "[\"SOFTWARE\"]"), result("0"));
    EXPECT_EQ(call("getTriggerStart"), result("1"));
    EXPECT_EQ(call("setTrigger", "[\"IMMEDIATE\"]"), result("0"));
    EXPECT_EQ(call("setTrigger", "[1]"), result("0"));
    EXPECT_EQ(call("getTriggerStart"), result("1"));
    EXPECT_EQ(call("setTrigger", "[\"software\"]"), invalid("start is not a valid instance of enum TriggerStart"));
    EXPECT_EQ(call("getTriggerStart"), result("1")) << "a refused call changes nothing";
    // A number is passed on unchecked.
    size_t mark = server->output().size();
    EXPECT_EQ(call("setTrigger", "[9]"), result("0"));
    EXPECT_NE(output_since(mark).find("9"), std::string::npos) << output_since(mark);
    EXPECT_EQ(call("setTrigger", "[null]"), invalid("start is neither a string nor a number"));
    EXPECT_EQ(call("setTrigger", "[[1]]"), invalid("start is neither a string nor a number"));
    EXPECT_EQ(call("setTrigger", "[]"), invalid("first argument has wrong type"));
    EXPECT_EQ(call("setTrigger", "{\"rearm\":\"AUTO\"}"), invalid("first argument has wrong type"));
    EXPECT_EQ(call("setTrigger", "[1,0,0]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("setTrigger"), invalid("bad parameters"));
    EXPECT_EQ(call("setTrigger", "\"\""), invalid("bad parameters"));

    EXPECT_EQ(call("setTrigger", "{\"start\":\"HARDWARE_RISING\",\"rearm\":\"MANUAL\"}"), result("0"));
    EXPECT_EQ(call("getTriggerStart"), result("2"));
    EXPECT_EQ(call("getTriggerRearm"), result("1"));
    EXPECT_EQ(call("rearm"), result("0"));
    EXPECT_EQ(call("setTrigger", "[\"SOFTWARE\",\"manual\"]"), invalid("mode is not 'AUTO' or 'MANUAL'"));
    EXPECT_EQ(call("setTrigger", "[\"SOFTWARE\",true]"), invalid("rearm is neither a string nor a number"));
    EXPECT_EQ(call("setTrigger", "[\"IMMEDIATE\",0]"), result("0"));
    EXPECT_EQ(call("getTriggerRearm"), result("0"));
    EXPECT_EQ(call("getTriggerStart"), result("0"));
    // Without a rearm mode, automatic rearm is chosen.
    EXPECT_EQ(call("setTrigger", "[\"IMMEDIATE\",\"MANUAL\"]"), result("0"));
    EXPECT_EQ(call("setTrigger", "{\"start\":0}"), result("0"));
    EXPECT_EQ(call("getTriggerRearm"), result("0"));
    EXPECT_EQ(call("getTriggerStart", "[]"), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("getTriggerRearm", "{}"), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("rearm", "[1]"), invalid("number of arguments is not 0"));
}

TEST_F(JsonRpc, ClockReader) {
    EXPECT_EQ(call("selectClock", "[\"EXT_10MHZ\"]"), result("0"));
    EXPECT_EQ(call("getClock"), result("2"));
    EXPECT_EQ(call("selectClock", "{\"clock_source\":\"INTERNAL\"}"), result("0"));
    EXPECT_EQ(call("getClock"), result("0"));
    EXPECT_EQ(call("selectClock", "[1]"), result("0"));
    EXPECT_EQ(call("getClock"), result("1"));
    EXPECT_EQ(call("selectClock", "[\"EXT_125MHz\"]"),
              invalid("clock_source is not 'INTERNAL' or 'EXT_125MHZ' or 'EXT_10MHZ'"));
    EXPECT_EQ(call("selectClock", "[{}]"), invalid("clock_source is neither a string nor a number"));
    EXPECT_EQ(call("selectClock", "{}"), invalid("missing argument 'clock_source'"));
    EXPECT_EQ(call("selectClock", "{\"clock_source\":null}"), invalid("missing argument 'clock_source'"));
    EXPECT_EQ(call("selectClock", "[0,1]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("selectClock"), invalid("bad parameters"));
    EXPECT_EQ(call("selectClock", "[\"INTERNAL\"]"), result("0"));
    EXPECT_EQ(call("getClock", "{}"), invalid("number of arguments is not 0"));
}

TEST_F(JsonRpc, SerialReader) {
    const std::string id = result("\"123456789ABCDEF\"");
    std::string mac = call("getSerial");
    ASSERT_TRUE(std::regex_match(mac, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":"[^"]*"\})"))) << mac;
    EXPECT_EQ(call("getFPGAID"), id);
    size_t mark = server->output().size();
    EXPECT_EQ(call("getSerial", "[\"MAC\"]"), mac);
    EXPECT_NE(output_since(mark).find("Use backwards compatibility of getSerial()\n"), std::string::npos);
    EXPECT_EQ(call("getSerial", "[1]"), mac);
    EXPECT_EQ(call("getSerial", "[\"ID\"]"), id);
    EXPECT_EQ(call("getSerial", "[0]"), id);
    EXPECT_EQ(call("getSerial", "[2]"), invalid("serial is not 'ID=0' or 'MAC=1'"));
    EXPECT_EQ(call("getSerial", "[-1]"), invalid("serial is not 'ID=0' or 'MAC=1'"));
    EXPECT_EQ(call("getSerial", "[\"mac\"]"), invalid("serial is not 'ID' or 'MAC'"));
    EXPECT_EQ(call("getSerial", "[null]"), invalid("serial is neither a string nor a number"));
    EXPECT_EQ(call("getSerial", "[\"ID\",1]"), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("getSerial", "{\"serial\":\"ID\"}"), invalid("number of arguments is not 0"));
    EXPECT_EQ(call("getFPGAID", "[]"), invalid("number of arguments is not 0"));
}

TEST_F(JsonRpc, PulseReaderAndConstant) {
    size_t mark = server->output().size();
    EXPECT_EQ(call("constant", "[[0,255,0,0]]"), result("0"));
    EXPECT_NE(output_since(mark).find("constant called: 65535|255|0|0\n"), std::string::npos) << output_since(mark);
    mark = server->output().size();
    EXPECT_EQ(call("constant", "{\"pulse\":{\"digi\":300,\"ao0\":40000,\"ao1\":-5.9,\"ticks\":3}}"), result("0"));
    EXPECT_NE(output_since(mark).find("constant called: 65535|44|-25536|-5\n"), std::string::npos) << output_since(mark);
    mark = server->output().size();
    EXPECT_EQ(call("constant", "[[1,\"x\",7,null]]"), result("0"));
    EXPECT_NE(output_since(mark).find("constant called: 65535|0|7|0\n"), std::string::npos) << output_since(mark);

    mark = server->output().size();
    EXPECT_EQ(call("constant", "[[255,0,0]]"), invalid("number of elements in pulse is not 4"));
    EXPECT_EQ(call("constant", "[5]"), invalid("pulse is neither an Array nor an Object"));
    EXPECT_EQ(call("constant", "{\"pulse\":null}"), invalid("missing parameter pulse"));
    EXPECT_EQ(call("constant", "{}"), invalid("missing parameter pulse"));
    EXPECT_EQ(call("constant", "[[0,0,0,0],[0,0,0,0]]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("constant"), invalid("bad parameters"));
    EXPECT_EQ(output_since(mark).find("constant called"), std::string::npos) << "the device was called";
}

// ---- the methods ----

TEST_F(JsonRpc, MethodsWithoutParameters) {
    EXPECT_EQ(call("getFirmwareVersion"), result("\"1.7.0\""));
    EXPECT_EQ(call("getHardwareVersion"), result("\"prior_3.0\""));
    EXPECT_EQ(call("hasSequence"), result("0"));
    EXPECT_EQ(call("isStreaming"), result("0"));
    EXPECT_EQ(call("forceFinal"), result("0"));
    EXPECT_EQ(call("startNow"), result("0"));
    std::string status = call("getStatusRegister");
    EXPECT_TRUE(std::regex_match(status, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\d+\})"))) << status;
    EXPECT_TRUE(std::regex_match(call("getUnderflow"), std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\d+\})")));
    EXPECT_TRUE(std::regex_match(call("hasFinished"), std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":[01]\})")));
    std::string temp = call("getTemperature");
    EXPECT_TRUE(std::regex_match(temp, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":"[^"\\]*"\})"))) << temp;
    std::string supply = call("getSupplyState");
    EXPECT_TRUE(std::regex_match(supply, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\{"Current/A":[-0-9.e+]+,)"
                                                    R"("Voltage_12/V":[-0-9.e+]+,"Voltage_3.3/V":[-0-9.e+]+\}\})")))
        << supply;
    std::string state = call("getStreamingState");
    EXPECT_TRUE(std::regex_match(
        state, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":\{"TotalTime":\d+,"StreamingTime":\d+,"UnderflowTime":\d+,)"
                          R"("WaitingDataTime":\d+,"State":\d+,"StateCondition":\d+,"ErrorMessage":"[^"]*",)"
                          R"("SlotChanges":\d+\}\})")))
        << state;
    for (const char* m : {"getFirmwareVersion", "getHardwareVersion", "hasSequence", "isStreaming", "hasFinished",
                          "forceFinal", "startNow", "getStatusRegister", "getUnderflow", "getTemperature",
                          "getSupplyState", "getStreamingState", "getHostname", "getAnalogCalibration",
                          "applyNetworkConfiguration"}) {
        EXPECT_EQ(call(m, "[]"), invalid("number of arguments is not 0")) << m;
        EXPECT_EQ(call(m, "{\"a\":1}"), invalid("number of arguments is not 0")) << m;
    }
    EXPECT_EQ(call("reboot", "{}"), invalid("bad parameters"));
}

TEST_F(JsonRpc, StartParameters) {
    // Nothing in the slots: start refuses (-1) whatever the form.
    EXPECT_EQ(call("start"), result("-1"));
    EXPECT_EQ(call("start", "[]"), result("-1"));
    EXPECT_EQ(call("start", "[1]"), result("-1"));
    EXPECT_EQ(call("start", "[0,5]"), result("-1"));
    EXPECT_EQ(call("start", "{\"slot_nr\":1,\"n_slots_to_run\":null}"), result("-1"));
    EXPECT_EQ(call("start", "[\"0\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("start", "{\"n_slots_to_run\":true}"), invalid("bad parameters"));
    EXPECT_EQ(call("start", "[0,1,2]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("start", "\"\""), invalid("bad parameters"));
}

TEST_F(JsonRpc, ClockPhaseSquareWaveAndDebugRegister) {
    EXPECT_EQ(call("setSquareWave125MHz", "[3]"), result("0"));
    EXPECT_EQ(call("setSquareWave125MHz", "[\"3\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("setSquareWave125MHz", "[3,4]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("setSquareWave125MHz", "{\"mask\":3}"), silent());
    EXPECT_EQ(call("setSquareWave125MHz"), silent());
    EXPECT_EQ(call("setSquareWave125MHz", "[0]"), result("0"));

    EXPECT_EQ(call("shiftClkPhase", "[2]"), result("0"));
    EXPECT_EQ(call("shiftClkPhase", "{\"value\":-2}"), result("0"));
    EXPECT_EQ(call("shiftClkPhase", "{}"), invalid("missing argument 'clk_frequency'"));
    EXPECT_EQ(call("shiftClkPhase", "[\"2\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("shiftClkPhase", "[]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("shiftClkPhase"), silent());

    EXPECT_EQ(call("setClkParam", "[10.0]"), result("0"));
    EXPECT_EQ(call("setClkParam", "{\"value\":10}"), result("0"));
    EXPECT_EQ(call("setClkParam", "{\"value\":null}"), invalid("missing argument 'clk_frequency'"));
    EXPECT_EQ(call("setClkParam", "[true]"), invalid("bad parameters"));
    EXPECT_EQ(call("setClkParam", "\"\""), silent());

    EXPECT_EQ(call("setDebugRegister", "[0,0]"), result("0"));
    EXPECT_EQ(call("setDebugRegister", "{\"val\":0,\"mask\":0}"), result("0"));
    EXPECT_EQ(call("setDebugRegister", "[0]"), invalid("number of arguments is not 2"));
    EXPECT_EQ(call("setDebugRegister", "{\"val\":1}"), invalid("missing parameter. val and mask are required."));
    EXPECT_EQ(call("setDebugRegister", "[\"1\",0]"), invalid("bad parameters"));
    EXPECT_EQ(call("setDebugRegister"), invalid("bad parameters"));
}

TEST_F(JsonRpc, SequenceControlDataAndReadiness) {
    EXPECT_EQ(call("getSequenceControlData", "[0]"),
              result("{\"NumberOfBytes\":0,\"NumberOfPulses (low-level)\":0,\"WholeTicks (low_level)\":0,"
                     "\"DataRate (GBit/s)\":0}"));
    EXPECT_EQ(call("getSequenceControlData", "{\"seq_nr\":1}"),
              result("{\"NumberOfBytes\":0,\"NumberOfPulses (low-level)\":0,\"WholeTicks (low_level)\":0,"
                     "\"DataRate (GBit/s)\":0}"));
    EXPECT_EQ(call("getSequenceControlData", "{}"), invalid("missing argument 'seq_nr'"));
    EXPECT_EQ(call("getSequenceControlData", "[\"0\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("getSequenceControlData", "[0,1]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("getSequenceControlData"), silent());
    EXPECT_EQ(call("isReadyForData", "[0]"), result("1"));
    EXPECT_EQ(call("isReadyForData", "{\"seq_nr\":1}"), result("1"));
    EXPECT_EQ(call("isReadyForData", "[2]"), result("0"));
    EXPECT_EQ(call("isReadyForData", "{\"seq_nr\":null}"), invalid("missing argument 'seq_nr'"));
    EXPECT_EQ(call("isReadyForData", "\"\""), silent());
}

TEST_F(JsonRpc, NetworkConfiguration) {
    EXPECT_EQ(call("getNetworkConfiguration", "[true]"),
              result("{\"dhcp\":0,\"ip\":\"192.168.1.100\",\"netmask\":\"255.255.255.0\",\"gateway\":\"192.168.1.1\"}"));
    EXPECT_EQ(call("getNetworkConfiguration", "{\"permanent\":1}"),
              result("{\"DHCP\":0,\"IP\":\"192.168.1.100\",\"netmask\":\"255.255.255.0\",\"gateway\":\"192.168.1.1\"}"));
    EXPECT_EQ(call("getNetworkConfiguration", "{}"), invalid("missing argument 'permanent'"));
    EXPECT_EQ(call("getNetworkConfiguration", "[2]"), invalid("bad parameters"));
    EXPECT_EQ(call("getNetworkConfiguration", "[\"true\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("getNetworkConfiguration", "[true,1]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("getNetworkConfiguration"), silent());

    // The checks of setNetworkConfiguration throw; each is answered with the exception's text.
    size_t mark = server->output().size();
    EXPECT_EQ(call("setNetworkConfiguration", "[]"), invalid("parameter dhcp is missing"));
    EXPECT_NE(output_since(mark).find("Caught exception std::invalid_argument: parameter dhcp is missing\n"),
              std::string::npos);
    EXPECT_EQ(call("setNetworkConfiguration", "{\"ip\":\"1.2.3.4\"}"), invalid("parameter dhcp is missing"));
    EXPECT_EQ(call("setNetworkConfiguration", "[false,\"1.2.3.4\",\"255.0.0.0\",\"1.0.0.1\",false,1]"),
              invalid("wrong number of arguments"));
    EXPECT_EQ(call("setNetworkConfiguration", "[2]"), invalid("bad parameters"));
    EXPECT_EQ(call("setNetworkConfiguration", "[false,1234]"), invalid("bad parameters"));
    EXPECT_EQ(call("setNetworkConfiguration", "{\"dhcp\":true,\"testmode\":\"no\"}"), invalid("bad parameters"));
    EXPECT_EQ(call("setNetworkConfiguration", "\"\""), invalid("bad parameters"));
    EXPECT_EQ(call("setNetworkConfiguration"), invalid("bad parameters"));
}

TEST_F(JsonRpc, AnalogCalibration) {
    EXPECT_EQ(call("getAnalogCalibration"),
              result("{\"dc_offset_a0\":0,\"dc_offset_a1\":0,\"slope_a0\":1,\"slope_a1\":1}"));
    size_t mark = server->output().size();
    EXPECT_EQ(call("setAnalogCalibration", "[0,0,1]"), invalid("wrong number of arguments"));
    EXPECT_NE(output_since(mark).find("Caught exception std::invalid_argument: wrong number of arguments\n"),
              std::string::npos)
        << output_since(mark);
    EXPECT_EQ(call("setAnalogCalibration", "[0,0,1,\"1\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("setAnalogCalibration", "{\"dc_offset_a0\":0,\"dc_offset_a1\":0,\"slope_a0\":1}"),
              invalid("wrong number of arguments"));
    EXPECT_EQ(call("setAnalogCalibration", "{\"dc_offset_a0\":0,\"dc_offset_a1\":0,\"slope_a0\":1,\"slope_a1\":[]}"),
              invalid("bad parameters"));
    EXPECT_EQ(call("setAnalogCalibration"), invalid("bad parameters"));
    EXPECT_EQ(call("getAnalogCalibration"),
              result("{\"dc_offset_a0\":0,\"dc_offset_a1\":0,\"slope_a0\":1,\"slope_a1\":1}"))
        << "refused calls store nothing";
}

TEST_F(JsonRpc, HostnameAndSerialSilentForms) {
    EXPECT_EQ(call("setHostname"), silent());
    EXPECT_EQ(call("setHostname", "{}"), invalid("missing argument 'hostname'"));
    EXPECT_EQ(call("setHostname", "[5]"), invalid("bad parameters"));
    EXPECT_EQ(call("setHostname", "[\"a\",\"b\"]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("programSerial"), silent());
    EXPECT_EQ(call("programSerial", "{\"serial\":null}"), invalid("missing argument 'serial'"));
    EXPECT_EQ(call("programSerial", "[12]"), invalid("bad parameters"));
    std::string host = call("getHostname");
    EXPECT_TRUE(std::regex_match(host, std::regex(R"(\{"jsonrpc":"2.0","id":1,"result":"[^"\\]*"\})"))) << host;
}

// ---- "stream" ----

TEST_F(JsonRpc, StreamParameterForms) {
    EXPECT_EQ(call("stream"), error(-32000, "server error", "No sequence in memory. Stream a sequence first!"));
    EXPECT_EQ(call("stream", "null"), error(-32000, "server error", "No sequence in memory. Stream a sequence first!"));
    EXPECT_EQ(call("stream", "{}"), silent());
    EXPECT_EQ(call("stream", "{\"final\":[0,0,0,0]}"),
              invalid("final and n_runs must not be passed when calling without a sequence"));
    EXPECT_EQ(call("stream", "{\"n_runs\":1}"),
              invalid("final and n_runs must not be passed when calling without a sequence"));
    EXPECT_EQ(call("stream", "[]"), invalid("first argument has wrong type"));
    EXPECT_EQ(call("stream", "[5]"), invalid("first argument has wrong type"));
    EXPECT_EQ(call("stream", "[\"AAAA\",1,[0,0,0]]"), invalid("number of elements in pulse is not 4"));
    EXPECT_EQ(call("stream", "[\"AAAA\",\"1\"]"), invalid("bad parameters"));
    EXPECT_EQ(call("stream", "[\"AAAA\",1,[0,0,0,0],4]"), invalid("wrong number of arguments"));
    EXPECT_EQ(call("stream", "\"\""), invalid("bad parameters"));
}

TEST_F(JsonRpc, StreamDecodesBigEndianRecords) {
    // 00 00 00 0A FF 7F FF 80 00: one pulse of 10 ticks, digi 255, ao0 32767, ao1 -32768.
    std::string nine("\x00\x00\x00\x0A\xFF\x7F\xFF\x80\x00", 9);
    size_t mark = server->output().size();
    EXPECT_EQ(call("stream", "[\"" + testsupport::base64_encode(nine) + "\"]"), result("0"));
    std::string out = output_since(mark);
    EXPECT_NE(out.find("jRPC call: len: 1, n_runs: -1, final: 0|0|0|0, \n"), std::string::npos) << out;
    EXPECT_NE(out.find("time: base64 dec "), std::string::npos);
    EXPECT_NE(out.find("time: binary dec "), std::string::npos);

    // A tenth byte is ignored; named form with a run count and a final state.
    mark = server->output().size();
    EXPECT_EQ(call("stream", "{\"sequence\":\"" + testsupport::base64_encode(nine + "\x01") + "\",\"n_runs\":3,\"final\":[0,255,0,0]}"),
              result("0"));
    EXPECT_NE(output_since(mark).find("jRPC call: len: 1, n_runs: 3, final: 65535|255|0|0, \n"), std::string::npos)
        << output_since(mark);

    // Three records streamed endlessly with the final state [0,255,0,0].
    mark = server->output().size();
    std::string three = records({{8, 1, 0, 0}, {16, 2, 100, -100}, {24, 0, 0, 0}});
    EXPECT_EQ(call("stream", "[\"" + testsupport::base64_encode(three) + "\",-1,[0,255,0,0]]"), result("0"));
    EXPECT_NE(output_since(mark).find("jRPC call: len: 3, n_runs: -1, final: 65535|255|0|0, \n"), std::string::npos)
        << output_since(mark);
}

TEST_F(JsonRpc, StreamLengthBound) {
    // 18,000,009 decoded bytes are refused before the device is touched.
    std::string too_long = testsupport::base64_encode(std::string(18000009, '\0'));
    size_t mark = server->output().size();
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
    ASSERT_EQ(call("stream", "[\"" + testsupport::base64_encode(records(pulses)) + "\",1,[0,3,0,0]]"), result("0"));

    ControlClient sim(sandbox->root() + "/sim/control.sock");
    auto seg = sim.ok("{\"cmd\":\"segments\",\"slot\":0}");
    ASSERT_TRUE(seg.IsObject() && seg.HasMember("segments"));
    EXPECT_FALSE(seg["decode_error"].IsString() && seg["decode_error"].GetStringLength() > 0);
    const auto& list = seg["segments"];
    ASSERT_EQ(list.Size(), pulses.size());
    const AnalogCalibDataCorr neutral;
    for (size_t i = 0; i < pulses.size(); ++i) {
        const auto& s = list[static_cast<rapidjson::SizeType>(i)];
        ANALOG_TO_BYTES codes;
        codes.setWithCalibration(pulses[i].ao0, pulses[i].ao1, neutral);
        EXPECT_EQ(s[0].GetUint64(), static_cast<uint64_t>(pulses[i].ticks)) << i;
        EXPECT_EQ(s[1].GetUint(), static_cast<unsigned>(pulses[i].digi)) << i;
        EXPECT_EQ(s[2].GetUint(), codes.value & 0xFFFF) << i;
        EXPECT_EQ(s[3].GetUint(), codes.value >> 16) << i;
    }
    EXPECT_EQ(call("hasSequence"), result("1"));
    std::string control = call("getSequenceControlData", "[0]");
    EXPECT_NE(control.find("{\"NumberOfBytes\":" + std::to_string(seg["bytes"].GetUint64()) + ","), std::string::npos)
        << control;
}

// A device text with a quote (here a hostname) comes back as a valid JSON string.
TEST_F(JsonRpc, DeviceTextsAreEscaped) {
    ASSERT_EQ(call("reset"), result("0"));  // no hostname change while a sequence streams
    ASSERT_EQ(call("setHostname", "[\"lab\\\"7\\\\x\"]"), result("0"));
    EXPECT_EQ(call("getHostname"), result("\"lab\\\"7\\\\x\""));
    rapidjson::Document doc;
    std::string body = call("getHostname");
    ASSERT_FALSE(doc.Parse(body.c_str()).HasParseError()) << body;
    EXPECT_EQ(std::string(doc["result"].GetString()), "lab\"7\\x");
    EXPECT_EQ(call("setHostname", "{\"hostname\":\"tarvex\"}"), result("0"));
    EXPECT_EQ(call("getHostname"), result("\"tarvex\""));
}
