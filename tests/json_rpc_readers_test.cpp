// The JSON-RPC parameter readers and the "stream" payload conversion, without a device: each
// reader's accepted forms and its exact error member.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "interfaces/jsonrpc/Json_rpc.h"
#include "support/base64_encode.h"
#include "support/stdout_capture.h"

using namespace testsupport;

namespace {

std::unique_ptr<jsVar> value(const std::string& json) {
    // Wrapped in an object so that any value can be read strictly.
    std::unique_ptr<jsVar> root(jsVar::parse("{\"v\":" + json + "}"));
    EXPECT_TRUE(root) << json;
    return std::unique_ptr<jsVar>(root ? root->getValue("v")->clone() : nullptr);
}

std::string invalid(const std::string& data) {
    return ",\"error\":{\"code\":-32602,\"message\":\"invalid parameter\",\"data\":\"" + data + "\"}";
}

template <class T, class Reader>
std::string refuse(Reader read, const std::string& json) {
    auto v = value(json);
    T out{};
    std::ostringstream reply;
    EXPECT_FALSE(read(v.get(), out, reply)) << json;
    return reply.str();
}

template <class T, class Reader>
T accept(Reader read, const std::string& json) {
    auto v = value(json);
    T out{};
    std::ostringstream reply;
    EXPECT_TRUE(read(v.get(), out, reply)) << json;
    EXPECT_EQ(reply.str(), "") << json;
    return out;
}

}  // namespace

TEST(JsonRpcReaders, StartRearmAndClock) {
    EXPECT_EQ(accept<start_t>(read_json_start, "\"HARDWARE_RISING_AND_FALLING\""), HARDWARE_RISING_AND_FALLING);
    EXPECT_EQ(accept<start_t>(read_json_start, "3.9"), HARDWARE_FALLING);
    EXPECT_EQ(static_cast<uint32_t>(accept<start_t>(read_json_start, "9")), 9u);  // unchecked
    EXPECT_EQ(refuse<start_t>(read_json_start, "\"Software\""),
              invalid("start is not a valid instance of enum TriggerStart"));
    EXPECT_EQ(refuse<start_t>(read_json_start, "true"), invalid("start is neither a string nor a number"));
    EXPECT_EQ(refuse<start_t>(read_json_start, "null"), invalid("start is neither a string nor a number"));

    EXPECT_EQ(accept<trigger_rearm_t>(read_json_rearm, "\"MANUAL\""), MANUAL);
    EXPECT_EQ(accept<trigger_rearm_t>(read_json_rearm, "0"), AUTO);
    EXPECT_EQ(refuse<trigger_rearm_t>(read_json_rearm, "\"AUTO \""), invalid("mode is not 'AUTO' or 'MANUAL'"));
    EXPECT_EQ(refuse<trigger_rearm_t>(read_json_rearm, "[0]"), invalid("rearm is neither a string nor a number"));

    EXPECT_EQ(accept<clocksource_t>(read_json_clock, "\"EXT_125MHZ\""), EXT_125MHZ);
    EXPECT_EQ(accept<clocksource_t>(read_json_clock, "2"), EXT_10MHZ);
    EXPECT_EQ(refuse<clocksource_t>(read_json_clock, "\"\""),
              invalid("clock_source is not 'INTERNAL' or 'EXT_125MHZ' or 'EXT_10MHZ'"));
    EXPECT_EQ(refuse<clocksource_t>(read_json_clock, "{}"), invalid("clock_source is neither a string nor a number"));
    // An absent value (null pointer) is refused like a null one.
    std::ostringstream reply;
    clocksource_t c = INTERNAL;
    EXPECT_FALSE(read_json_clock(nullptr, c, reply));
    EXPECT_EQ(reply.str(), invalid("clock_source is neither a string nor a number"));
}

TEST(JsonRpcReaders, Serial) {
    EXPECT_EQ(accept<serial_t>(read_serial, "\"ID\""), ID);
    EXPECT_EQ(accept<serial_t>(read_serial, "\"MAC\""), MAC);
    EXPECT_EQ(accept<serial_t>(read_serial, "1"), MAC);
    EXPECT_EQ(refuse<serial_t>(read_serial, "2"), invalid("serial is not 'ID=0' or 'MAC=1'"));
    EXPECT_EQ(refuse<serial_t>(read_serial, "-1"), invalid("serial is not 'ID=0' or 'MAC=1'"));
    EXPECT_EQ(refuse<serial_t>(read_serial, "\"id\""), invalid("serial is not 'ID' or 'MAC'"));
    EXPECT_EQ(refuse<serial_t>(read_serial, "false"), invalid("serial is neither a string nor a number"));
}

TEST(JsonRpcReaders, Pulse) {
    Pulse p = accept<Pulse>(read_json_pulse, "[7,255,-1,32767]");
    EXPECT_EQ(+p.ticks, 65535u);  // element 0 is ignored
    EXPECT_EQ(+p.digi, 255);
    EXPECT_EQ(+p.ao0, -1);
    EXPECT_EQ(+p.ao1, 32767);
    p = accept<Pulse>(read_json_pulse, "{\"digi\":256,\"ao1\":40000,\"x\":1}");
    EXPECT_EQ(+p.ticks, 65535u);
    EXPECT_EQ(+p.digi, 0);
    EXPECT_EQ(+p.ao0, 0);  // missing: left at 0
    EXPECT_EQ(+p.ao1, -25536);
    p = accept<Pulse>(read_json_pulse, "[0,\"1\",2.9,-2.9]");
    EXPECT_EQ(+p.digi, 0);  // not a number: left at 0
    EXPECT_EQ(+p.ao0, 2);
    EXPECT_EQ(+p.ao1, -2);
    EXPECT_EQ(refuse<Pulse>(read_json_pulse, "[0,255,0]"), invalid("number of elements in pulse is not 4"));
    EXPECT_EQ(refuse<Pulse>(read_json_pulse, "[0,0,0,0,0]"), invalid("number of elements in pulse is not 4"));
    EXPECT_EQ(refuse<Pulse>(read_json_pulse, "\"[0,0,0,0]\""), invalid("pulse is neither an Array nor an Object"));
}

TEST(JsonRpcReaders, SequenceRecordsAreBigEndian) {
    const std::vector<Pulse> want = {{10, 0xFF, 32767, -32768}, {0x01020304, 0x5A, -2, 258}};
    StdoutCapture capture;
    for (const std::string& extra : {std::string(), std::string("\x01"), std::string(8, '\x7F')}) {
        auto v = value("\"" + base64_encode(be_records(want) + extra) + "\"");
        std::vector<Pulse> seq;
        ASSERT_TRUE(read_json_seq(v.get(), seq));
        ASSERT_EQ(seq.size(), 2u) << "bytes after the last whole record are ignored";
        EXPECT_EQ(std::memcmp(seq.data(), want.data(), sizeof(Pulse) * 2), 0);
    }
    const std::string out = capture.take();
    EXPECT_NE(out.find("time: base64 dec "), std::string::npos);
    EXPECT_NE(out.find("time: binary dec "), std::string::npos);
}

// Records spanning the decoder's internal blocks come out whole and in order.
TEST(JsonRpcReaders, LongSequencesConvertInOrder) {
    std::vector<Pulse> want;
    for (uint32_t i = 0; i < 5000; ++i) want.push_back(Pulse{i * 7 + 1, uint8_t(i), int16_t(i * 3), int16_t(-i)});
    auto v = value("\"" + base64_encode(be_records(want)) + "=\\nrest\"");
    std::vector<Pulse> seq;
    StdoutCapture capture;
    ASSERT_TRUE(read_json_seq(v.get(), seq));
    ASSERT_EQ(seq.size(), want.size());
    EXPECT_EQ(std::memcmp(seq.data(), want.data(), sizeof(Pulse) * want.size()), 0);
}

TEST(JsonRpcReaders, SequenceLengthBoundAndOtherKinds) {
    StdoutCapture capture;
    std::vector<Pulse> seq;
    // 18,000,008 decoded bytes pass (2,000,000 records), one more is refused.
    std::string at_bound(24000011, 'A');  // 6,000,002 groups and 3 characters: 18,000,008 bytes
    auto v = value("\"" + at_bound + "\"");
    ASSERT_TRUE(read_json_seq(v.get(), seq));
    EXPECT_EQ(seq.size(), 2000000u);
    at_bound += "A";  // 18,000,008 + 1 byte
    v = value("\"" + at_bound + "\"");
    EXPECT_FALSE(read_json_seq(v.get(), seq));
    EXPECT_TRUE(seq.empty());
    // Other kinds are decoded from their JSON text ("123456": 4 bytes; "[...": nothing).
    v = value("123456");
    EXPECT_TRUE(read_json_seq(v.get(), seq));
    EXPECT_TRUE(seq.empty());
    v = value("[\"AAAAAAAAAAAA\"]");
    EXPECT_TRUE(read_json_seq(v.get(), seq));
    EXPECT_TRUE(seq.empty());
}
