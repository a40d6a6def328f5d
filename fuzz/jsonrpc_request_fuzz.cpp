// Fuzz target for the JSON-RPC request path: any request body through the envelope, the method
// table and the parameter readers against a simulated device (no network). Checks, besides the
// sanitizers: every reply is the status line and header followed by one valid JSON object with
// "jsonrpc" first, never both a result and an error, an error always with a code, a message and
// a text data; no JSON value outlives its request.
#include <rapidjson/document.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>

#include "interfaces/jsonrpc/Json_rpc.h"
#include "device/Pulse.h"
#include "device/Pulser.h"
#include "sim/System.h"

namespace {

// A sandbox root of its own, made before the device object is built and removed after it.
struct FuzzRoot {
    std::string path;
    FuzzRoot() {
        char tmpl[] = "/tmp/tarvex-fuzz-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        if (!dir) std::abort();
        path = dir;
        setenv("TARVEX_ROOT", dir, 1);
    }
    ~FuzzRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
} fuzz_root;

// The device's console lines are not wanted while fuzzing.
struct NullBuf : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
} null_buf;

}  // namespace

// The program's globals, in the program's order.
AnalogCalibDataCorr Analog_calibration;
Pulser pulser;
std::mutex pulser_lock;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

const char head[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n";

void check_reply(const std::string& reply) {
    const size_t head_len = sizeof(head) - 1;
    check(reply.compare(0, head_len, head) == 0);
    const std::string body = reply.substr(head_len);
    check(body.compare(0, 16, "{\"jsonrpc\":\"2.0\"") == 0);
    rapidjson::Document doc;
    doc.Parse(body.c_str(), body.size());
    check(!doc.HasParseError() && doc.IsObject());
    if (body == "{\"jsonrpc\":\"2.0\"}") return;
    check(doc.HasMember("id") && (doc["id"].IsInt() || doc["id"].IsString()));
    check(!(doc.HasMember("result") && doc.HasMember("error")));
    if (doc.HasMember("error")) {
        const auto& e = doc["error"];
        check(e.IsObject() && e.MemberCount() == 3 && e.HasMember("code") && e["code"].IsInt() &&
              e.HasMember("message") && e["message"].IsString() && e.HasMember("data") && e["data"].IsString());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static JsonHttpd server{Httpd::Offline{}, DeviceAccess(pulser, pulser_lock)};
    static bool quiet = (std::cout.rdbuf(&null_buf), true);
    (void)quiet;

    std::string body(reinterpret_cast<const char*>(data), size);
    // Writing the serial memory takes seconds per call; it gets nothing from fuzzing speed.
    if (body.find("programSerial") != std::string::npos) return 0;

    const uint32_t live = jsVar::usage;
    std::istringstream in(body);
    std::ostringstream out;
    server.serveJsonRpc(in, out);
    check(jsVar::usage == live);
    check_reply(out.str());
    // A tried network setting runs "testip" on a thread of its own: let it end within this input,
    // so that the leak check after an input never sees the thread's locals in flight.
    for (;;) {
        {
            std::lock_guard<std::mutex> g(pulser.network_test_lock);
            if (!pulser.network_test_running) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sim::clear_commands();
    return 0;
}
