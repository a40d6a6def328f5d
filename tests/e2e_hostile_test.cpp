// Hostile and careless clients against the real pulserd, one case per way a client could crash,
// hold or exhaust the instrument, grouped by interface. After each case the server must still
// answer on all three interfaces.
#include <gtest/gtest.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "interfaces/grpc/GrpcListener.h"
#include "interfaces/jsonrpc/Httpd.h"
#include "support/grpc_instrument.h"
#include "support/http_client.h"
#include "memory_sampler.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

int connect_to(int port) {
    TcpClient c(static_cast<uint16_t>(port));
    const int fd = c.connected() ? dup(c.fd()) : -1;
    return fd;
}

// Sends `head` at once, then one byte of `drip` every `pause` until the server drops the
// connection or `limit` passes; returns the seconds the server let it go on.
double drip(int port, const std::string& head, std::chrono::milliseconds pause, std::chrono::seconds limit) {
    const int fd = connect_to(port);
    const auto t0 = Clock::now();
    bool open = fd >= 0 && send(fd, head.data(), head.size(), MSG_NOSIGNAL) == ssize_t(head.size());
    while (open && Clock::now() - t0 < limit) {
        std::this_thread::sleep_for(pause);
        char scratch[4096];
        while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {}
        open = send(fd, "x", 1, MSG_NOSIGNAL) == 1;
    }
    if (fd >= 0) close(fd);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class Hostile : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Started with the common default of 1,024 descriptors, as on the board.
        rlimit was{}, low{};
        getrlimit(RLIMIT_NOFILE, &was);
        low = was;
        low.rlim_cur = std::min<rlim_t>(1024, was.rlim_max);
        setrlimit(RLIMIT_NOFILE, &low);
        pulserd = new GrpcInstrument([](Sandbox& s) {
            std::ofstream(s.root() + "/run.cgi") << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%d' $((6*7))\n";
            chmod((s.root() + "/run.cgi").c_str(), 0755);
        });
        setrlimit(RLIMIT_NOFILE, &was);
    }
    static void TearDownTestSuite() { delete pulserd; }
    void SetUp() override { ASSERT_TRUE(pulserd->ready()) << pulserd->server->output(); }
    void TearDown() override {
        EXPECT_TRUE(pulserd->server->running()) << pulserd->server->output();
        expectAllAnswer();
    }
    // JSON-RPC, gRPC on the suite's channel and the binary port each answer a call.
    static void expectAllAnswer() {
        EXPECT_EQ(rpc("getFirmwareVersion").find("\"result\""), 24u);
        std::unique_ptr<google::protobuf::Message> reply;
        EXPECT_TRUE(callByName(*pulserd->channel, "getClock", "", &reply).ok());
        TcpClient c;
        auto h = TcpClient::header(1, tcp::CMD_GET_CALIBRATION, 0);
        tcp::CommandAnswer a{};
        EXPECT_TRUE(c.sendBytes(&h, sizeof h) && recv(c.fd(), &a, sizeof a, MSG_WAITALL) == sizeof a);
    }

    static std::string post(const std::string& body) { return http_request(8050, "POST", "/json-rpc", body).body; }
    static std::string rpc(const std::string& method, const std::string& params = "") {
        return post("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"" + method + "\"" +
                    (params.empty() ? "" : ",\"params\":" + params) + "}");
    }
    static int32_t grpcValue(const std::string& method, const std::string& request) {
        std::unique_ptr<google::protobuf::Message> reply;
        if (!callByName(*pulserd->channel, method, request, &reply).ok()) return INT32_MIN;
        const auto* f = reply->GetDescriptor()->FindFieldByName("value");
        return reply->GetReflection()->GetInt32(*reply, f);
    }
    static GrpcInstrument* pulserd;
};
GrpcInstrument* Hostile::pulserd = nullptr;

// ---- HTTP and JSON-RPC ----

TEST_F(Hostile, HttpDeepNestingIsASyntaxErrorAtEveryDepth) {
    const struct {
        const char* open;
        const char* close;
        size_t depth;
    } cases[] = {{"{\"a\":", "}", 278}, {"{\"a\":[", "]}", 200}, {"[", "]", 513}, {"{\"a\":[", "]}", 2000000}};
    for (const auto& c : cases) {
        std::string body;
        for (size_t i = 0; i < c.depth; ++i) body += c.open;
        body += "1";
        for (size_t i = 0; i < c.depth; ++i) body += c.close;
        EXPECT_EQ(post("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\",\"params\":" + body + "}"),
                  "{\"jsonrpc\":\"2.0\"}")
            << c.open << " x " << c.depth;
        ASSERT_TRUE(pulserd->server->running()) << c.open << " x " << c.depth;
    }
}

TEST_F(Hostile, HttpEveryReplyIsUtf8JsonWithAResultOrAnError) {
    const struct {
        std::string body;
        bool invalid_parameter;
    } cases[] = {
        {"{\"jsonrpc\":\"2.0\",\"id\":\"\xff\xc3(\",\"method\":\"getClock\"}", false},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xed\xa0\x80\x01\"}", false},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"setSquareWave125MHz\",\"params\":{}}", true},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"setSquareWave125MHz\",\"params\":null}", true},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"shiftClkPhase\"}", true},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"setHostname\",\"params\":\"\"}", true},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getNetworkConfiguration\"}", true},
    };
    for (const auto& c : cases) {
        const std::string reply = post(c.body);
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(reply.c_str());
        ASSERT_FALSE(d.HasParseError()) << rapidjson::GetParseError_En(d.GetParseError()) << ": " << reply;
        EXPECT_TRUE(d.HasMember("result") || d.HasMember("error")) << reply;
        if (c.invalid_parameter) {
            EXPECT_TRUE(d.HasMember("error") && d["error"]["code"] == -32602) << reply;
        }
    }
}

TEST_F(Hostile, HttpPhaseShiftBeyondTwoTurnsIsRefused) {
    const std::string refused = "{\"code\":-32602,\"message\":\"invalid parameter\",\"data\":\"value beyond 560 steps\"}";
    EXPECT_NE(rpc("shiftClkPhase", "[2147483647]").find(refused), std::string::npos);
    EXPECT_NE(rpc("shiftClkPhase", "{\"value\":-561}").find(refused), std::string::npos);
    EXPECT_EQ(rpc("shiftClkPhase", "[-560]"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
}

// Each kind of slow client holds one worker for a bounded time, and meanwhile a well-behaved
// client is answered.
TEST_F(Hostile, HttpSlowClientsAreCutOffAndHoldNoOne) {
    using namespace std::chrono_literals;
    const std::string post_head = "POST /json-rpc HTTP/1.1\r\nHost: x\r\nContent-Length: ";
    auto header = std::async(std::launch::async, [] { return drip(8050, "POST /json-rpc HTTP/1.1\r\n", 500ms, 40s); });
    auto body = std::async(std::launch::async, [&] { return drip(8050, post_head + "60000000\r\n\r\n[", 500ms, 40s); });
    auto after_413 = std::async(std::launch::async, [&] { return drip(8050, post_head + "99999999\r\n\r\n", 500ms, 40s); });
    std::this_thread::sleep_for(1s);
    auto answered = std::async(std::launch::async, [] { return rpc("getClock"); });
    ASSERT_EQ(answered.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answered.get(), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
    EXPECT_LT(header.get(), 10.0);     // the header within its 5 s
    EXPECT_LT(body.get(), 25.0);       // 10 s of grace, then 64 KiB/s on average
    EXPECT_LT(after_413.get(), 5.0);   // closed right after the 413
}

// A script in the web folder is served as a file, never run, whatever follows a %00.
TEST_F(Hostile, HttpRunsNoCgi) {
    for (const char* path : {"/run.cgi", "/run.cgi%00.html"}) {
        const HttpReply r = http_request(8050, "GET", path);
        EXPECT_EQ(r.body.find("42"), std::string::npos) << path << ": " << r.raw;
    }
}

TEST_F(Hostile, HttpLargeBodiesCostBoundedMemoryAndGiveItBack) {
    std::string many = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\",\"params\":[";
    for (int i = 0; i < 4000000; ++i) many += "1,";
    many += "1]}";
    RssSampler rss(pulserd->server->pid());
    EXPECT_EQ(post(many), "{\"jsonrpc\":\"2.0\"}");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    rss.stop();
    const long mb = long(many.size() >> 20);
    EXPECT_LT(rss.peak().without_window - rss.before().without_window, (4 * mb + 50) * 1024);
    EXPECT_LT(resident_kb(pulserd->server->pid()).without_window - rss.before().without_window, 20 * 1024);
}

TEST_F(Hostile, HttpHostnameMustBeAHostName) {
    const std::string file = pulserd->sandbox.path("/userconfig/network/hostname");
    auto stored = [&] { std::ifstream in(file); return std::string(std::istreambuf_iterator<char>(in), {}); };
    const std::string long_label(64, 'a');
    const struct {
        std::string name;
        int result;
    } cases[] = {{"lab-pulser-2.example", 0}, {"", 0},  {std::string(65000, 'a'), -1}, {"two words", -1},
                 {"a..b", -1},                {"-a", -1}, {long_label, -1},             {"\xc3\xa9t\xc3\xa9", -1}};
    for (const auto& c : cases) {
        const std::string before = stored();
        const std::string reply = rpc("setHostname", "[\"" + c.name + "\"]");
        EXPECT_EQ(reply, "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":" + std::to_string(c.result) + "}") << c.name.substr(0, 80);
        EXPECT_EQ(stored(), c.result == 0 ? c.name : before) << c.name.substr(0, 80);
    }
}

// ---- gRPC ----

TEST_F(Hostile, GrpcPhaseShiftBeyondTwoTurnsIsRefused) {
    EXPECT_EQ(grpcValue("shiftClkPhase", "value: 2147483647"), -1);
    EXPECT_EQ(grpcValue("shiftClkPhase", "value: -2147483648"), -1);
    EXPECT_EQ(grpcValue("shiftClkPhase", "value: 560"), 0);
}

// At the cap a further connection is closed at once, while the open ones, JSON-RPC and the binary
// port are served; once the held connections close, a new client is served again.
TEST_F(Hostile, GrpcConnectionsAreCappedAndTheOthersServed) {
    EXPECT_EQ(grpcValue("shiftClkPhase", "value: 0"), 0);  // the suite's channel: one connection
    const struct {
        size_t held;  // idle connections beside it
        grpc::StatusCode code;
    } cases[] = {{kMaxGrpcConnections - 2, grpc::StatusCode::OK},
                 {kMaxGrpcConnections - 1, grpc::StatusCode::UNAVAILABLE},
                 {1100, grpc::StatusCode::UNAVAILABLE},
                 {0, grpc::StatusCode::OK}};
    for (const auto& c : cases) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last case's closes seen
        std::vector<std::unique_ptr<TcpClient>> held;
        for (size_t i = 0; i < c.held; ++i) held.push_back(std::make_unique<TcpClient>(50051));
        EXPECT_EQ(callByName(*GrpcInstrument::newChannel(), "getClock", "").error_code(), c.code) << c.held;
        expectAllAnswer();
    }
}

TEST_F(Hostile, GrpcRefusesMessagesAboveTheLargestValidRequest) {
    std::string big(70u << 20, '\0');  // one unknown field's bytes, above the 67 MB limit
    big[0] = 0x7a;                     // field 15, length-delimited
    const uint64_t n = big.size() - 5;
    for (int i = 0; i < 4; ++i) big[1 + i] = char(((n >> (7 * i)) & 0x7f) | (i < 3 ? 0x80 : 0));
    EXPECT_EQ(callRaw(*pulserd->channel, "getClock", big, nullptr).error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
}

// ---- binary protocol ----

TEST_F(Hostile, TcpSlowPayloadIsCutOff) {
    tcp::CommandHeader h = TcpClient::header(1, tcp::CMD_STREAM, 32 + 9000);
    const std::string head(reinterpret_cast<const char*>(&h), sizeof h);
    EXPECT_LT(drip(tcp::PORT, head, std::chrono::milliseconds(2000), std::chrono::seconds(40)), 25.0);
}

TEST_F(Hostile, TcpGetCalibrationPayloadIsDiscardedNotRun) {
    TcpClient c;
    tcp::CommandHeader get = TcpClient::header(7, tcp::CMD_GET_CALIBRATION, 64);
    tcp::CommandHeader hidden = TcpClient::header(8, tcp::CMD_SET_CALIBRATION, 32);
    const char data[32] = {};
    tcp::CommandHeader next = TcpClient::header(9, tcp::CMD_GET_CALIBRATION, 0);
    ASSERT_TRUE(c.sendPieces({{&get, sizeof get}, {&hidden, sizeof hidden}, {const_cast<char*>(data), 32}, {&next, sizeof next}}));
    for (uint32_t tag : {7u, 9u}) {
        tcp::CommandAnswer a{};
        char payload[32];
        ASSERT_EQ(recv(c.fd(), &a, sizeof a, MSG_WAITALL), ssize_t(sizeof a));
        EXPECT_EQ(a.tag, tag);
        ASSERT_EQ(recv(c.fd(), payload, 32, MSG_WAITALL), 32);
    }
}

// ---- start-up ----

// The server takes no request before its object is complete: a request arriving during
// construction met the base class's empty method table.
TEST(HostileStart, HttpListensOnlyOnceStarted) {
    Httpd server;
    EXPECT_LT(connect_to(8050), 0);
    server.start();
    const int fd = connect_to(8050);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
}

}  // namespace
