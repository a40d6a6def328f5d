// beacond end to end: the real binary, a sandbox root of board files, real UDP. Unicast goes to
// 127.0.0.1 on a free port with multicast off (-M); the multicast test needs the network
// namespace of tests/support/netns_run.sh (loopback multicast routed).
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/sandbox.h"
#include "support/udp_client.h"

namespace {

using Client = testsupport::UdpClient;
using testsupport::Sandbox;
const std::string word = "TX-DISCOVERY-REPLY";

void put(const Sandbox& sb, const std::string& board_path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(sb.path(board_path)).parent_path());
    testsupport::write_file(sb.path(board_path), content);
}

// What a board image and pulserd leave for beacond: the MAC address in lower case as the kernel
// writes it, every file but the hostname with a line feed and a second line.
void seed(const Sandbox& sb) {
    put(sb, "/sys/class/net/eth0/address", "02:0a:bc:de:f0:1f\n");
    put(sb, "/userconfig/network/hostname", "tarvex-07");
    put(sb, "/etc/model_name", "TX-8 pulse generator\nsecond line\n");
    put(sb, "/tmp/dna.dat", "0x0123456789abcdef\n");
    put(sb, "/tmp/firmware_version", "1.4.2\nbuild 77\n");
    put(sb, "/tmp/hardware_version", "2\n");
}
const std::string seeded = word +
                           R"({"serial":"02:0A:BC:DE:F0:1F","hostname":"tarvex-07","model":"TX-8 pulse generator",)"
                           R"("fpgaid":"0x0123456789abcdef","firmware":"1.4.2","hardware":"2"})";

struct Beacond : testsupport::Process {
    explicit Beacond(std::vector<std::string> args) : Process(with_program(std::move(args))) {}
    static std::vector<std::string> with_program(std::vector<std::string> a) {
        a.insert(a.begin(), testsupport::program("beacond"));
        return a;
    }
    int end(int sig = SIGTERM) { return stop(sig, std::chrono::seconds(5)); }
};

// beacond with multicast off on its own port (below 32768: beacond takes a signed 16-bit port;
// the test runs in a network namespace of its own), waited for until it answers.
uint16_t next_port = 20000;

struct Unicast {
    explicit Unicast(std::vector<std::string> args = {})
        : port(next_port++), server(plus(std::move(args), {"-M", "-p", std::to_string(port)})) {
        ready = client.await_reply(port);
    }
    static std::vector<std::string> plus(std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    uint16_t port;
    Beacond server;
    Client client;
    std::optional<std::string> ready;  // the first reply
};

}  // namespace

TEST(Beacond, RequestsRepliesAndDebugLines) {
    Sandbox sb;
    seed(sb);
    Unicast u;
    ASSERT_EQ(u.ready, seeded) << u.server.output();
    // The word, and longer datagrams starting with it, are answered once each, from the server's
    // port to the sender's port.
    for (const std::string& request : {std::string("TX-DISCOVERY"), "TX-DISCOVERY" + std::string(1400, 'x')}) {
        u.client.send(request, u.port);
        uint16_t from = 0;
        EXPECT_EQ(u.client.receive(2000, &from), seeded) << request.size();
        EXPECT_EQ(from, u.port);
        EXPECT_FALSE(u.client.receive(50)) << "second reply to a " << request.size() << "-byte request";
    }
    // Near misses get nothing: the server works in order, so a reply to them would come first.
    for (const std::string& miss : {std::string("TX-DISCOVER"), std::string("tx-discovery"), std::string(),
                                    std::string("TX-DISCOVERX"), std::string("\0TX-DISCOVERY", 13)})
        u.client.send(miss, u.port);
    u.client.send("TX-DISCOVERY", u.port);
    EXPECT_EQ(u.client.receive(2000), seeded);
    EXPECT_FALSE(u.client.receive(100));
    Client other;  // replies go to the asking socket only
    other.send("TX-DISCOVERY", u.port);
    EXPECT_EQ(other.receive(2000), seeded);
    EXPECT_FALSE(u.client.receive(100));
    EXPECT_EQ(u.server.end(), 0);
    EXPECT_EQ(u.server.output(), "");

    Unicast d({"-d"});
    ASSERT_TRUE(d.ready);
    d.client.send("TX-DISCOVERY and a long tail", d.port);
    EXPECT_EQ(d.client.receive(2000), seeded);
    EXPECT_EQ(d.server.end(SIGINT), 0);
    const std::string out = d.server.output();
    const std::string head = "Listening on interface 'eth0' and port '" + std::to_string(d.port) +
                             "'.\nID STRING: " + seeded.substr(word.size()) +
                             "\nExpected request string: \"TX-DISCOVERY\" of length: 12 bytes.\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_NE(out.find("Received msg: TX-DISCOVERY and [16 bytes] from: 127.0.0.1\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 18), "Received signal 2\n");
}

// Replies are limited per source and in total (the sources are loopback addresses): a few hosts
// discovering at once, with repeats, get every reply; one source gets its burst of 10; many
// sources together the total's burst of 100 (and what it filled up by meanwhile).
TEST(Beacond, RepliesAreRateLimitedPerSourceAndInTotal) {
    Sandbox sb;
    seed(sb);
    Unicast u;
    ASSERT_TRUE(u.ready) << u.server.output();
    const struct { int sources, requests, least, most; } cases[] = {{4, 3, 12, 12}, {1, 30, 10, 10}, {14, 10, 75, 105}};
    int host = 2;
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < c.sources; ++i)
            clients.push_back(std::make_unique<Client>("127.0.0." + std::to_string(host++)));
        for (int r = 0; r < c.requests; ++r)
            for (auto& client : clients) client->send("TX-DISCOVERY", u.port);
        int replies = 0;
        for (auto& client : clients)
            while (client->receive(300)) ++replies;
        EXPECT_GE(replies, c.least) << c.sources << " x " << c.requests;
        EXPECT_LE(replies, c.most) << c.sources << " x " << c.requests;
    }
}

TEST(Beacond, IdentityFromFilesUpdateModeAndInfoFile) {
    Sandbox sb;
    put(sb, "/userconfig/network/hostname", "lab-3\n");
    {  // missing files read "ERROR"/"error", each reported, and the server runs on
        Unicast u;
        EXPECT_EQ(u.ready, word + R"({"serial":"ERROR","hostname":"lab-3","model":"error",)"
                                  R"("fpgaid":"error","firmware":"error","hardware":"error"})");
        EXPECT_EQ(u.server.end(), 0);
        const std::string r = sb.root();
        EXPECT_EQ(u.server.output(), r + "/sys/class/net/eth0/address: No such file or directory\n" + r +
                                         "/etc/model_name: No such file or directory\n" + r +
                                         "/tmp/dna.dat: No such file or directory\n" + r +
                                         "/tmp/firmware_version: No such file or directory\n" + r +
                                         "/tmp/hardware_version: No such file or directory\n");
    }
    seed(sb);
    put(sb, "/mnt/userconfig/network/hostname", "tarvex-upd\nx\n");
    put(sb, "/sys/class/net/eth1/address", "aa:bb:cc:0d:0e:0f");
    EXPECT_EQ(Unicast({"-u", "-i", "eth1"}).ready,
              word + R"({"serial":"AA:BB:CC:0D:0E:0F","hostname":"tarvex-upd","firmware":"Orvale updating"})");
    EXPECT_EQ(Unicast({"eth1"}).ready.value_or("").substr(0, word.size() + 30),
              word + R"({"serial":"AA:BB:CC:0D:0E:0F",)");

    // An info file replaces the identity with its first 512 bytes, up to a zero byte.
    std::string long_text;
    for (int i = 0; long_text.size() < 600; ++i) long_text += std::to_string(i) + ",";
    testsupport::write_file(sb.root() + "/long.info", long_text);
    testsupport::write_file(sb.root() + "/zero.info", std::string("{\"name\":\"x\"}\0tail", 17));
    EXPECT_EQ(Unicast({"-f", sb.root() + "/long.info"}).ready, word + long_text.substr(0, 512));
    EXPECT_EQ(Unicast({"--info-file", sb.root() + "/zero.info"}).ready, word + "{\"name\":\"x\"}");
    Unicast missing({"-f", sb.root() + "/missing.info"});
    EXPECT_EQ(missing.ready, word + "error");
    EXPECT_EQ(missing.server.end(), 0);
    EXPECT_EQ(missing.server.output(), sb.root() + "/missing.info: No such file or directory\n");

    // Quotes, backslashes and control characters in a value still give one valid JSON object.
    const std::string hostname = "lab \"A\" \\ bench\t1\x01\x1f\x7f\xc3\xa9";
    put(sb, "/userconfig/network/hostname", hostname + "\nnext");
    const std::string text = Unicast().ready.value_or("").substr(word.size());
    EXPECT_NE(text.find(R"("hostname":"lab \"A\" \\ bench\t1\u0001\u001f)"
                        "\x7f\xc3\xa9\""),
              std::string::npos)
        << text;
    rapidjson::Document json;
    ASSERT_FALSE(json.Parse(text.c_str(), text.size()).HasParseError()) << text;
    EXPECT_EQ(json["hostname"].GetString(), hostname);
}

TEST(Beacond, OptionErrorsAndBindFailureExitWith255) {
    Sandbox sb;
    seed(sb);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-p", "40000"},
                                                 {"--port", "-32769"},
                                                 {"-p", "12x"},
                                                 {"--bogus"},
                                                 {"-i"},
                                                 {"-h", "-p", "40000"}}) {
        Beacond b(args);
        EXPECT_EQ(b.wait(std::chrono::seconds(5)), 255) << args[0];
        EXPECT_EQ(b.output().rfind("error parsing options: ", 0), 0u) << b.output();
    }
    Beacond help({"--help"});
    EXPECT_EQ(help.wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(help.output().rfind("Tarvex discovery server.\nUsage:\n  beacond [OPTION...] [iface] [port]\n", 0), 0u);

    Unicast first;
    ASSERT_TRUE(first.ready);
    Beacond second({"-M", "-p", std::to_string(first.port)});
    EXPECT_EQ(second.wait(std::chrono::seconds(5)), 255);
    EXPECT_EQ(second.output(), "binding: Address already in use\n");
    EXPECT_TRUE(first.server.running());
}
