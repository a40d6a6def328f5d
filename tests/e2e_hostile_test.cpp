// Hostile and careless clients against the real pulserd, one case per way a client could crash,
// hold or exhaust the instrument, grouped by interface. After each case the server must still
// answer on all three interfaces.
#include <gtest/gtest.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <fstream>
#include <functional>
#include <future>
#include <grpcpp/generic/generic_stub.h>
#include <thread>

#include "interfaces/grpc/GrpcListener.h"
#include "interfaces/jsonrpc/Httpd.h"
#include "support/grpc_instrument.h"
#include "support/http_client.h"
#include "memory_sampler.h"
#include "support/tcp_client.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// Sanitizer builds: far more memory and time than the board's budget allows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// The armhf build runs here under qemu-user, whose translated code counts in the resident memory
// and grows as new paths run.
#if defined(__arm__)
constexpr long kReturnSlackKb = 32 * 1024;
#else
constexpr long kReturnSlackKb = 20 * 1024;
#endif

namespace {

// Sends `head` at once, then one byte of `drip` every `pause` until the server drops the
// connection or `limit` passes; returns the seconds the server let it go on.
double drip(int port, const std::string& head, std::chrono::milliseconds pause, std::chrono::seconds limit) {
    TcpClient c(static_cast<uint16_t>(port));
    const auto t0 = Clock::now();
    bool open = c.connected() && c.sendBytes(head.data(), head.size());
    while (open && Clock::now() - t0 < limit) {
        std::this_thread::sleep_for(pause);
        char scratch[4096];
        while (recv(c.fd(), scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
        open = c.sendBytes("x", 1);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Threads of a process.
long threads(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 8, "Threads:") == 0) return std::stol(line.substr(8));
    return -1;
}

// Streams `n` pulses of 8 ticks, alternately high (`digi`) and low, over the binary port.
bool streamPulses(size_t n, uint8_t digi) {
    std::vector<Pulse> pulses(n);
    for (size_t i = 0; i < n; ++i) pulses[i] = Pulse{8, uint8_t(i % 2 ? digi : 0), 0, 0};
    const auto a = TcpClient().stream(pulses, 1, Pulse{0, 0, 0, 0});
    return a && a->header.status == tcp::STATUS_OK;
}

// `stream` calls that send their headers and then nothing, as a hostile client leaves them.
class HeaderOnlyCalls {
public:
    HeaderOnlyCalls(const std::shared_ptr<grpc::Channel>& channel, size_t n) : stub_(channel) {
        for (size_t i = 0; i < n; ++i) {
            calls_.emplace_back();
            Call& c = calls_.back();
            c.stream = stub_.PrepareCall(&c.ctx, "/tarvex.Tarvex/stream", &cq_);
            c.stream->StartCall(&c.stream);  // a tag apart from the end's (&c, which is also &c.ctx)
            c.stream->Finish(&c.status, &c);
        }
    }
    ~HeaderOnlyCalls() {
        for (Call& c : calls_) c.ctx.TryCancel();
        while (ended_.size() < calls_.size() && next(std::chrono::seconds(10))) {
        }
        cq_.Shutdown();
        void* tag;
        bool ok;
        while (cq_.Next(&tag, &ok)) {
        }
    }
    // The calls ended within `wait` after the last one ended before, by status.
    std::map<grpc::StatusCode, size_t> ended(std::chrono::milliseconds wait) {
        const auto until = Clock::now() + wait;
        while (ended_.size() < calls_.size() && next(until - Clock::now())) {
        }
        std::map<grpc::StatusCode, size_t> codes;
        for (const Call* c : ended_) ++codes[c->status.error_code()];
        return codes;
    }

private:
    struct Call {
        grpc::ClientContext ctx;
        std::unique_ptr<grpc::GenericClientAsyncReaderWriter> stream;
        grpc::Status status;
    };
    bool next(Clock::duration wait) {
        void* tag;
        bool ok;
        if (cq_.AsyncNext(&tag, &ok, std::chrono::system_clock::now() + wait) != grpc::CompletionQueue::GOT_EVENT)
            return false;
        for (const Call& c : calls_)
            if (tag == &c) ended_.push_back(&c);
        return true;
    }
    grpc::GenericStub stub_;
    grpc::CompletionQueue cq_;
    std::deque<Call> calls_;
    std::vector<const Call*> ended_;
};

// Posts a call whose body comes in chunks, with `mib` MiB of text in its parameters; the reply's head.
std::string postChunked(size_t mib) {
    auto chunk = [](const std::string& data) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        return size + data + "\r\n";
    };
    TcpClient c(8050);
    const std::string head = "POST /json-rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                             chunk("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\",\"params\":[\""),
                      piece = chunk(std::string(1 << 20, 'x')), end = chunk("\"]}") + "0\r\n\r\n";
    bool sent = c.sendBytes(head.data(), head.size());
    for (size_t i = 0; sent && i < mib; ++i) sent = c.sendBytes(piece.data(), piece.size());
    if (sent) c.sendBytes(end.data(), end.size());
    std::string reply(64, '\0');
    reply.resize(size_t(std::max<ssize_t>(0, recv(c.fd(), &reply[0], reply.size(), MSG_WAITALL))));
    return reply;
}

// Reads every page of slot 0; the segments read. Given `version`, pages on with the version of the
// first page and leaves it there as "&version=V".
uint64_t pageThrough(std::string* version) {
    uint64_t from = 0;
    std::string with;
    for (bool more = true; more;) {
        const HttpReply r =
            http_request(8050, "GET", "/api/slot/0/segments?max=65536&from=" + std::to_string(from) + with);
        rapidjson::Document d;
        d.Parse(r.body.c_str());
        if (r.status != 200 || d.HasParseError() || !d.HasMember("segments")) return UINT64_MAX;
        if (version && with.empty()) with = "&version=" + std::to_string(d["version"].GetUint64());
        from += d["segments"].Size();
        more = d["more"].GetBool();
    }
    if (version) *version = with;
    return from;
}

class Hostile : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Started with the common default of 1,024 descriptors, and within the address space of a
        // 32-bit process (the sanitizers' shadow memory needs far more), as on the board.
        rlimit was{}, low{}, space_was{}, space{};
        getrlimit(RLIMIT_NOFILE, &was);
        low = was;
        low.rlim_cur = std::min<rlim_t>(1024, was.rlim_max);
        setrlimit(RLIMIT_NOFILE, &low);
        getrlimit(RLIMIT_AS, &space_was);
        space = space_was;
        space.rlim_cur = std::min<rlim_t>(rlim_t(1) << 30, space_was.rlim_max);
        if (!kSanitized) setrlimit(RLIMIT_AS, &space);
        pulserd = new GrpcInstrument([](Sandbox& s) {
            std::ofstream(s.root() + "/run.cgi")
                << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%d' $((6*7))\n";
            chmod((s.root() + "/run.cgi").c_str(), 0755);
        });
        setrlimit(RLIMIT_AS, &space_was);
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
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"setHostname\",\"params\":\"\"}", true},
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

// Each kind of slow client holds one worker for a bounded time, and meanwhile a well-behaved
// client is answered.
TEST_F(Hostile, HttpSlowClientsAreCutOffAndHoldNoOne) {
    using namespace std::chrono_literals;
    const std::string post_head = "POST /json-rpc HTTP/1.1\r\nHost: localhost\r\nContent-Length: ";
    auto header = std::async(std::launch::async, [] { return drip(8050, "POST /json-rpc HTTP/1.1\r\n", 500ms, 40s); });
    auto body = std::async(std::launch::async, [&] { return drip(8050, post_head + "60000000\r\n\r\n[", 500ms, 40s); });
    auto after_413 =
        std::async(std::launch::async, [&] { return drip(8050, post_head + "99999999\r\n\r\n", 500ms, 40s); });
    std::this_thread::sleep_for(1s);
    auto answered = std::async(std::launch::async, [] { return rpc("getClock"); });
    ASSERT_EQ(answered.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answered.get(), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
    EXPECT_LT(header.get(), 10.0);    // the header within its 5 s
    EXPECT_LT(body.get(), 25.0);      // 10 s of grace, then 64 KiB/s on average
    EXPECT_LT(after_413.get(), 5.0);  // closed right after the 413
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

// Each text that reaches a settings file or a system command is checked for its own syntax; a
// refused one changes nothing, an accepted one is stored as it parses.
TEST_F(Hostile, HttpSettingsTextIsCheckedForItsOwnSyntax) {
    auto stored = [] { return read_file(pulserd->sandbox.path("/userconfig/network/hostname")); };
    const struct {
        std::string name;
        int result;
    } cases[] = {{"lab-pulser-2.example", 0},
                 {"", 0},
                 {std::string(65000, 'a'), -1},
                 {"two words", -1},
                 {"a..b", -1},
                 {"-a", -1},
                 {std::string(64, 'a'), -1},
                 {"\xc3\xa9t\xc3\xa9", -1}};
    for (const auto& c : cases) {
        const std::string before = stored();
        const std::string reply = rpc("setHostname", "[\"" + c.name + "\"]");
        EXPECT_EQ(reply, "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":" + std::to_string(c.result) + "}")
            << c.name.substr(0, 80);
        EXPECT_EQ(stored(), c.result == 0 ? c.name : before) << c.name.substr(0, 80);
    }
    // Gateways, tried out (test mode): an address rebuilt from its numbers, or nothing at all.
    const struct {
        std::string gateway;
        int result;
        const char* in_force;
    } gateways[] = {{"10.0.0.1 $(touch /tmp/x); reboot #", 0, "10.0.0.1"},
                    {std::string(20 << 20, '9'), 1, "10.0.0.1"},
                    {"", 0, ""}};
    for (const auto& g : gateways) {
        EXPECT_EQ(
            rpc("setNetworkConfiguration", "[false,\"192.168.1.50\",\"255.255.255.0\",\"" + g.gateway + "\",true]"),
            "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":" + std::to_string(g.result) + "}");
        EXPECT_NE(rpc("getNetworkConfiguration", "[false]").find("\"gateway\":\"" + std::string(g.in_force) + "\"}"),
                  std::string::npos)
            << g.gateway.substr(0, 80);
    }
    // The further names the front end answers under: host names only, at most 16.
    EXPECT_EQ(rpc("setAllowedHosts", "[[\"lab.example\",\"x y\"]]"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":-1}");
    std::string many = "\"a\"";
    for (int i = 0; i < 16; ++i) many += ",\"a\"";
    EXPECT_EQ(rpc("setAllowedHosts", "[[" + many + "]]"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":-1}");
    EXPECT_EQ(rpc("getAllowedHosts"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":[]}");
}

// Requests that drive or read the instrument must name it in Host: a page under another name that
// resolves to it (DNS rebinding) is refused, unless a lab allowed that name.
TEST_F(Hostile, HttpOnlyTheInstrumentsOwnNamesDriveIt) {
    rapidjson::Document d;
    d.Parse(rpc("getHostname").c_str());
    const std::string self = d["result"].GetString();
    ASSERT_FALSE(self.empty());
    const struct {
        std::string host;
        int status;
    } cases[] = {{"evil.example:8050", 403}, {"evil.example", 403},     {self + ".evil.example", 403},
                 {"127.0.0.1:80x", 403},     {"lab.example:8050", 403}, {"127.0.0.1:8050", 200},
                 {"localhost.", 200},        {"[::1]:8050", 200},       {self, 200},
                 {self + ".local:8050", 200}};
    for (int allowed = 0; allowed < 2; ++allowed) {
        for (const auto& c : cases) {
            const int status = allowed && c.host == "lab.example:8050" ? 200 : c.status;
            const std::string head = "Host: " + c.host + "\r\nOrigin: http://" + c.host + "\r\n";
            EXPECT_EQ(
                http_request(8050, "POST", "/json-rpc", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\"}", head)
                    .status,
                status)
                << c.host;
            EXPECT_EQ(http_request(8050, "GET", "/api/slot/0/segments", "", head).status, status) << c.host;
        }
        EXPECT_EQ(rpc("setAllowedHosts", "{\"names\":[\"lab.example\"]}"),
                  "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
    }
    EXPECT_EQ(rpc("getAllowedHosts"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":[\"lab.example\"]}");
    EXPECT_EQ(rpc("setAllowedHosts", "[[]]"), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":0}");
}

// A body without a length counts against the body bound as it arrives: within it the call is
// served, past it the request is refused with the memory of no more than the bound.
TEST_F(Hostile, HttpChunkedBodiesAreBoundedAsTheyArrive) {
    RssSampler rss(pulserd->server->pid());
    EXPECT_EQ(postChunked(0).substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(postChunked(200).substr(0, 12), "HTTP/1.1 413");
    rss.stop();
    EXPECT_LT(rss.peak().without_window - rss.before().without_window, 160 * 1024);  // 64 MiB of text at most
}

// Paging through a 2M-pulse slot while a `stream` call waits for its message: the device lock is
// held for memory reads only (a getter answers within 100 ms meanwhile), and a page of a slot
// loaded anew in between is refused.
TEST_F(Hostile, HttpReadbackOfALargeSlotHoldsNoLockAndMixesNoContents) {
    ASSERT_TRUE(streamPulses(2000000, 1));
    HeaderOnlyCalls hung(GrpcInstrument::newChannel(), 1);
    std::atomic<bool> done{false};
    auto slowest = std::async(std::launch::async, [&] {
        double worst = 0;
        while (!done) {
            const auto t0 = Clock::now();
            rpc("getFirmwareVersion");
            worst = std::max(worst, std::chrono::duration<double>(Clock::now() - t0).count());
        }
        return worst;
    });
    std::string version;
    EXPECT_GE(pageThrough(&version), 2000000u);  // a segment per pulse
    done = true;
    const double worst = slowest.get();
    EXPECT_TRUE(kSanitized || worst < 0.1) << worst;  // the sanitizers slow every call
    ASSERT_TRUE(streamPulses(4, 3));
    for (const auto& [query, status] :
         {std::pair<std::string, int>{"?from=0" + version, 409}, {"?form=xml", 400}, {"", 200}}) {
        const HttpReply r = http_request(8050, "GET", "/api/slot/0/segments" + query);
        EXPECT_EQ(r.status, status) << query;
        EXPECT_NE(r.head.find("\r\nConnection: close\r\n"), std::string::npos)
            << r.head;  // not kept for a next request
    }
    EXPECT_EQ(pageThrough(nullptr), 4u);
}

// ---- gRPC ----

// At the cap a further connection is closed at once, while the open ones, JSON-RPC and the binary
// port are served; once the held connections close, a new client is served again.
TEST_F(Hostile, GrpcConnectionsAreCappedAndTheOthersServed) {
    EXPECT_TRUE(callByName(*pulserd->channel, "getClock", "").ok());  // the suite's channel: one connection
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

// A `stream` call takes room for the largest message before that arrives, across gRPC and HTTP:
// while one waits for its message, further calls and bodies that do not fit beside it are refused
// at once, smaller ones are served; the waiting call ends at its time limit.
TEST_F(Hostile, GrpcCallsWaitingForTheirMessageAreBoundedInTimeAndBytes) {
    using namespace std::chrono_literals;
    HeaderOnlyCalls hung(GrpcInstrument::newChannel(), 1);
    std::this_thread::sleep_for(500ms);
    {
        HeaderOnlyCalls more(GrpcInstrument::newChannel(), 2000);
        EXPECT_EQ(more.ended(20s)[grpc::StatusCode::RESOURCE_EXHAUSTED], 2000u);
    }
    EXPECT_LT(threads(pulserd->server->pid()), 100);
    EXPECT_EQ(callByName(*pulserd->channel, "stream", "pulse { ticks: 8 } n_runs: 1").error_code(),
              grpc::StatusCode::RESOURCE_EXHAUSTED);
    for (const long long length : {40000000ll, 20000000ll}) {
        TcpClient c(8050);
        const std::string head =
            "POST /json-rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
        std::string body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"getClock\",\"params\":[\"";
        body += std::string(size_t(length) - body.size() - 3, 'x') + "\"]}";
        c.sendBytes(head.data(), head.size());
        if (length < 30000000) c.sendBytes(body.data(), body.size());
        char reply[13] = {};
        recv(c.fd(), reply, 12, MSG_WAITALL);
        EXPECT_STREQ(reply, length < 30000000 ? "HTTP/1.1 200" : "HTTP/1.1 503") << length;
    }
    EXPECT_TRUE(hung.ended(40s).empty());
    EXPECT_EQ(hung.ended(40s).size(), 1u);  // 60 s after it began
    // The server gives the room back just after the call's end reaches the client.
    grpc::Status after;
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(100ms))
        if ((after = callByName(*pulserd->channel, "stream", "pulse { ticks: 8 } n_runs: 1")).ok()) break;
    EXPECT_TRUE(after.ok()) << after.error_code() << " " << after.error_message();
}

// ---- binary protocol ----

TEST_F(Hostile, TcpSlowPayloadIsCutOff) {
    tcp::CommandHeader h = TcpClient::header(1, tcp::CMD_STREAM, 32 + 9000);
    const std::string head(reinterpret_cast<const char*>(&h), sizeof h);
    EXPECT_LT(drip(tcp::PORT, head, std::chrono::milliseconds(2000), std::chrono::seconds(40)), 25.0);
}

// One connection at a time: commands in close succession keep it, but once its holder goes quiet
// a waiting client is served within 2 s; with no one waiting, a quiet client keeps it until its
// receive time-out.
TEST_F(Hostile, TcpAWaitingClientIsServedOnceTheHolderGoesQuiet) {
    using namespace std::chrono_literals;
    TcpClient holder, waiter;
    ASSERT_TRUE(holder.getCalibration());
    tcp::CommandHeader h = TcpClient::header(1, tcp::CMD_GET_CALIBRATION, 0);
    ASSERT_TRUE(waiter.sendBytes(&h, sizeof h));
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(holder.getCalibration()) << i;
    }
    EXPECT_FALSE(waiter.readable(0ms));
    EXPECT_TRUE(waiter.readAnswer(2s));
    const auto quiet_from = Clock::now();
    EXPECT_FALSE(holder.getCalibration());  // the holder's turn is over
    EXPECT_TRUE(waiter.waitClosed(30s));
    EXPECT_GE(Clock::now() - quiet_from, 9s);
}

// ---- all at once ----

// The board's budget (a 32-bit address space, see SetUpTestSuite): under every attack at once the
// server stays within 256 MB resident and 200 threads, each interface answers a normal client
// within 2 s, and the memory comes back once the attacks end.
TEST_F(Hostile, EveryAttackAtOnceStaysWithinTheBoardsBudget) {
    using namespace std::chrono_literals;
    const pid_t pid = pulserd->server->pid();
    ASSERT_TRUE(streamPulses(2000000, 1));
    const long start = resident_kb(pid).without_window;
    RssSampler rss(pid);
    std::atomic<bool> stop{false};
    std::vector<std::future<void>> attacks;
    for (int i = 0; i < 4; ++i) {
        attacks.push_back(std::async(std::launch::async, [] { postChunked(200); }));
        attacks.push_back(std::async(std::launch::async, [] { pageThrough(nullptr); }));
    }
    attacks.push_back(std::async(std::launch::async, [] {
        drip(8050, "POST /json-rpc HTTP/1.1\r\nHost: localhost\r\nContent-Length: 60000000\r\n\r\n[", 500ms, 15s);
    }));
    attacks.push_back(std::async(std::launch::async, [&] {
        for (TcpClient holder; !stop && holder.getCalibration();) std::this_thread::sleep_for(5s);
    }));
    {
        HeaderOnlyCalls a(GrpcInstrument::newChannel(), 3000), b(GrpcInstrument::newChannel(), 3000);
        long most_threads = 0;
        for (int round = 0; round < 6; ++round) {
            std::this_thread::sleep_for(1s);
            most_threads = std::max(most_threads, threads(pid));
            std::unique_ptr<google::protobuf::Message> reply;
            const std::function<bool()> normal[] = {
                [] { return rpc("getFirmwareVersion").find("\"result\"") != std::string::npos; },
                [&] { return callByName(*GrpcInstrument::newChannel(), "getClock", "", &reply).ok(); },
                [] { return bool(TcpClient().getCalibration()); }};
            for (const auto& call : normal) {
                const auto t0 = Clock::now();
                EXPECT_TRUE(call()) << round;
                EXPECT_TRUE(kSanitized || Clock::now() - t0 < 2s) << round;
            }
        }
        EXPECT_LE(most_threads, 200);
        stop = true;
        for (auto& attack : attacks) attack.get();
    }
    rss.stop();
    if (kSanitized) return;
    EXPECT_LE(rss.peak().without_window, 256 * 1024);
    const auto until = Clock::now() + 30s;  // the freed memory goes back every 10 s
    while (resident_kb(pid).without_window > start + kReturnSlackKb && Clock::now() < until)
        std::this_thread::sleep_for(1s);
    EXPECT_LE(resident_kb(pid).without_window, start + kReturnSlackKb);
}

// ---- start-up ----

// The server takes no request before its object is complete: a request arriving during
// construction met the base class's empty method table.
TEST(HostileStart, HttpListensOnlyOnceStarted) {
    Httpd server;
    EXPECT_FALSE(TcpClient(8050).connected());
    server.start();
    EXPECT_TRUE(TcpClient(8050).connected());
}

}  // namespace
