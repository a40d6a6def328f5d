// End-to-end tests of beacond: the real binary, a sandbox root of board files, real UDP.
// Unicast traffic goes to 127.0.0.1 on a free port with multicast off (-M); everything that
// joins a multicast group runs inside a network namespace the test creates.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "support/process.h"
#include "support/sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string beacond_path = testsupport::program("beacond");
const std::string reply_word = "TX-DISCOVERY-REPLY";
const char* const namespace_marker = "TARVEX_BEACOND_IN_NETNS";

// Writes a file, creating its directories.
void put_file(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    testsupport::write_file(path.string(), content);
}

// A fresh sandbox root ($TARVEX_ROOT for the programs started meanwhile); info files go into it too.
class Scratch {
public:
    fs::path dir() const { return sandbox_.root(); }
    fs::path root() const { return sandbox_.root(); }
    void put(const std::string& board_path, const std::string& content) const
    {
        put_file(sandbox_.path(board_path), content);
    }

private:
    testsupport::Sandbox sandbox_;
};

// What a board image and pulserd leave for beacond; the MAC address is in lower case as the
// kernel writes it, and every file but the hostname carries a line feed and a second line.
void seed_board(const Scratch& scratch)
{
    scratch.put("/sys/class/net/eth0/address", "02:0a:bc:de:f0:1f\n");
    scratch.put("/userconfig/network/hostname", "tarvex-07");
    scratch.put("/etc/model_name", "TX-8 pulse generator\nsecond line\n");
    scratch.put("/tmp/dna.dat", "0x0123456789abcdef\n");
    scratch.put("/tmp/firmware_version", "1.4.2\nbuild 77\n");
    scratch.put("/tmp/hardware_version", "2\n");
}

const std::string seeded_reply =
    reply_word +
    R"({"serial":"02:0A:BC:DE:F0:1F","hostname":"tarvex-07","model":"TX-8 pulse generator",)"
    R"("fpgaid":"0x0123456789abcdef","firmware":"1.4.2","hardware":"2"})";

// One beacond process under the current sandbox root; its standard output and error go to one
// log (output()).
class Beacond : public testsupport::Process {
public:
    explicit Beacond(std::vector<std::string> args) : Process(command(std::move(args))) {}

    int wait() { return Process::wait(std::chrono::seconds(5)); }
    int stop(int signal_number = SIGTERM) { return Process::stop(signal_number, std::chrono::seconds(5)); }

    // Resident set size in kB, from /proc.
    long rss_kb() const
    {
        std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::strtol(line.c_str() + 6, nullptr, 10);
        return -1;
    }

private:
    static std::vector<std::string> command(std::vector<std::string> args)
    {
        args.insert(args.begin(), beacond_path);
        return args;
    }
};

// A UDP socket on 127.0.0.1 that sends requests and collects replies.
class Client {
public:
    Client()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = address("127.0.0.1", 0);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Client() { close(fd_); }

    static sockaddr_in address(const char* ip, uint16_t port)
    {
        sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip, &a.sin_addr);
        return a;
    }

    void send(const std::string& bytes, uint16_t port, const char* ip = "127.0.0.1")
    {
        const sockaddr_in to = address(ip, port);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()))
            << std::strerror(errno);
    }

    // The next datagram within `timeout_ms`, with the port it came from.
    std::optional<std::string> receive(int timeout_ms, uint16_t* from_port = nullptr)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return std::nullopt;
        char buffer[70000];
        sockaddr_in from;
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return std::nullopt;
        if (from_port)
            *from_port = ntohs(from.sin_port);
        return std::string(buffer, static_cast<size_t>(n));
    }

    // Asks until beacond answers (it is ready once bound), then drops any further replies.
    std::optional<std::string> await_reply(uint16_t port, const char* ip = "127.0.0.1")
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            send("TX-DISCOVERY", port, ip);
            if (auto reply = receive(50)) {
                while (receive(50)) {
                }
                return reply;
            }
        }
        return std::nullopt;
    }

    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port below 32768 (beacond takes a signed 16-bit port) that is free for UDP on any address.
uint16_t free_port()
{
    std::mt19937 random(static_cast<unsigned>(getpid()) ^
                        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const uint16_t port = static_cast<uint16_t>(20000 + random() % 12000);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any = Client::address("0.0.0.0", port);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
        close(fd);
        if (free)
            return port;
    }
    return 0;
}

// Starts beacond with multicast off on a free port and waits until it answers.
struct Unicast {
    explicit Unicast(std::vector<std::string> args = {})
        : port(free_port()), server(with_port(std::move(args), port))
    {
        ready = client.await_reply(port);
    }
    static std::vector<std::string> with_port(std::vector<std::string> args, uint16_t port)
    {
        args.insert(args.end(), {"-M", "-p", std::to_string(port)});
        return args;
    }
    uint16_t port;
    Beacond server;
    Client client;
    std::optional<std::string> ready;  // the first reply
};

// The reply to one request sent to a freshly started server.
std::string identity_reply(std::vector<std::string> args = {})
{
    Unicast u(std::move(args));
    EXPECT_EQ(u.server.stop(), 0);
    return u.ready.value_or("<no reply>");
}

TEST(BeacondRequests, EveryMatchingRequestGetsOneReplyToItsSender)
{
    Scratch scratch;
    seed_board(scratch);
    Unicast u;
    ASSERT_TRUE(u.ready) << u.server.output();
    EXPECT_EQ(*u.ready, seeded_reply);

    // The exact word, and longer datagrams starting with it (read only in part), are answered
    // once each, from the server's port to the sender's port.
    for (const std::string& request : {std::string("TX-DISCOVERY"), std::string("TX-DISCOVERY-REQUEST"),
                                      "TX-DISCOVERY" + std::string(1400, 'x')}) {
        u.client.send(request, u.port);
        uint16_t from = 0;
        EXPECT_EQ(u.client.receive(2000, &from), seeded_reply) << request.size() << " bytes";
        EXPECT_EQ(from, u.port);
        EXPECT_FALSE(u.client.receive(50)) << "second reply to a " << request.size() << "-byte request";
    }

    // Near misses get nothing. The server works in order, so any reply to them would arrive
    // before the reply to the valid request sent last.
    for (const std::string& near_miss : {std::string("TX-DISCOVER"), std::string("tx-discovery"),
                                        std::string("Tx-DISCOVERY-REQUEST"), std::string(),
                                        std::string("TX-DISCOVERX"), std::string("\0TX-DISCOVERY", 13),
                                        std::string("TX-DISCOVERY-REPLY").substr(1)})
        u.client.send(near_miss, u.port);
    u.client.send("TX-DISCOVERY", u.port);
    EXPECT_EQ(u.client.receive(2000), seeded_reply);
    EXPECT_FALSE(u.client.receive(100));

    // Replies go to the asking socket only.
    Client other;
    other.send("TX-DISCOVERY", u.port);
    EXPECT_EQ(other.receive(2000), seeded_reply);
    EXPECT_FALSE(u.client.receive(100));

    EXPECT_TRUE(u.server.running());
    EXPECT_EQ(u.server.stop(), 0);
    EXPECT_EQ(u.server.output(), "");
}

TEST(BeacondRequests, DebugLinesShowTheFirstSixteenBytesAndTheSignal)
{
    Scratch scratch;
    seed_board(scratch);
    Unicast u({"-d"});
    ASSERT_TRUE(u.ready);
    u.client.send("TX-DISCOVERY and a long tail", u.port);
    EXPECT_EQ(u.client.receive(2000), seeded_reply);
    u.client.send("hello", u.port);
    u.client.await_reply(u.port);
    EXPECT_EQ(u.server.stop(SIGINT), 0);

    const std::string port = std::to_string(u.port);
    const std::string out = u.server.output();
    const std::string identity = seeded_reply.substr(reply_word.size());
    const std::string head = "Listening on interface 'eth0' and port '" + port +
                             "'.\n"
                             "ID STRING: " + identity + "\n" +
                             "Expected request string: \"TX-DISCOVERY\" of length: 12 bytes.\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_NE(out.find("Received msg: TX-DISCOVERY [12 bytes] from: 127.0.0.1\n"), std::string::npos);
    EXPECT_NE(out.find("Received msg: TX-DISCOVERY and [16 bytes] from: 127.0.0.1\n"), std::string::npos);
    EXPECT_NE(out.find("Received msg: hello [5 bytes] from: 127.0.0.1\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 18), "Received signal 2\n");
    EXPECT_EQ(out.find("Joining"), std::string::npos);
}

TEST(BeacondIdentity, MissingFilesReadErrorAndTheServerRunsOn)
{
    Scratch scratch;
    scratch.put("/userconfig/network/hostname", "lab-3\n");
    Unicast u;
    ASSERT_TRUE(u.ready);
    EXPECT_EQ(*u.ready, reply_word + R"({"serial":"ERROR","hostname":"lab-3","model":"error",)"
                                     R"("fpgaid":"error","firmware":"error","hardware":"error"})");
    u.client.send("TX-DISCOVERY", u.port);
    EXPECT_EQ(u.client.receive(2000), u.ready);
    EXPECT_EQ(u.server.stop(), 0);

    const std::string root = scratch.root().string();
    EXPECT_EQ(u.server.output(), root + "/sys/class/net/eth0/address: No such file or directory\n" +
                                  root + "/etc/model_name: No such file or directory\n" +
                                  root + "/tmp/dna.dat: No such file or directory\n" +
                                  root + "/tmp/firmware_version: No such file or directory\n" +
                                  root + "/tmp/hardware_version: No such file or directory\n");
}

TEST(BeacondIdentity, UpdateModeReadsTheUpdateEnvironment)
{
    Scratch scratch;
    seed_board(scratch);
    scratch.put("/mnt/userconfig/network/hostname", "tarvex-upd\nx\n");
    scratch.put("/sys/class/net/eth1/address", "aa:bb:cc:0d:0e:0f");
    EXPECT_EQ(identity_reply({"-u", "-i", "eth1"}),
              reply_word + R"({"serial":"AA:BB:CC:0D:0E:0F","hostname":"tarvex-upd","firmware":"Orvale updating"})");
}

TEST(BeacondIdentity, InfoFileReplacesTheIdentityWithItsFirst512Bytes)
{
    Scratch scratch;
    seed_board(scratch);
    std::string long_text;
    for (int i = 0; long_text.size() < 600; ++i)
        long_text += std::to_string(i) + ",";
    long_text.resize(600);
    put_file(scratch.dir() / "long.info", long_text);
    put_file(scratch.dir() / "zero.info", std::string("{\"name\":\"x\"}\0tail", 17));

    EXPECT_EQ(identity_reply({"-f", (scratch.dir() / "long.info").string()}),
              reply_word + long_text.substr(0, 512));
    EXPECT_EQ(identity_reply({"--info-file", (scratch.dir() / "zero.info").string()}),
              reply_word + "{\"name\":\"x\"}");

    const std::string missing = (scratch.dir() / "missing.info").string();
    Unicast u({"-f", missing});
    EXPECT_EQ(u.ready, reply_word + "error");
    EXPECT_EQ(u.server.stop(), 0);
    EXPECT_EQ(u.server.output(), missing + ": No such file or directory\n");
}

TEST(BeacondIdentity, SpecialCharactersInValuesStillGiveValidJson)
{
    Scratch scratch;
    seed_board(scratch);
    const std::string hostname = "lab \"A\" \\ bench\t1\x01\x7f\xc3\xa9";
    scratch.put("/userconfig/network/hostname", hostname + "\nnext");
    scratch.put("/etc/model_name", "TX-8 \"rev B\"\n");

    const std::string reply = identity_reply();
    ASSERT_EQ(reply.substr(0, reply_word.size()), reply_word);
    const std::string text = reply.substr(reply_word.size());
    EXPECT_NE(text.find(R"("hostname":"lab \"A\" \\ bench\t1\u0001)" "\x7f\xc3\xa9" R"(","model":"TX-8 \"rev B\"")"),
              std::string::npos)
        << text;

    rapidjson::Document json;
    json.Parse(text.c_str(), text.size());
    ASSERT_FALSE(json.HasParseError()) << text;
    ASSERT_TRUE(json.IsObject());
    std::vector<std::string> names;
    for (const auto& member : json.GetObject()) {
        names.emplace_back(member.name.GetString());
        ASSERT_TRUE(member.value.IsString());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"serial", "hostname", "model", "fpgaid", "firmware", "hardware"}));
    EXPECT_EQ(json["hostname"].GetString(), hostname);
    EXPECT_EQ(std::string(json["model"].GetString()), "TX-8 \"rev B\"");
}

TEST(BeacondOptions, ParseErrorsExitWith255)
{
    Scratch scratch;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-p", "40000"}, {"--port", "-32769"}, {"-p", "12x"}, {"--bogus"}, {"-i"}}) {
        Beacond b(args);
        EXPECT_EQ(b.wait(), 255) << args[0];
        EXPECT_EQ(b.output().rfind("error parsing options: ", 0), 0u) << b.output();
        EXPECT_EQ(b.output().back(), '\n');
    }
}

TEST(BeacondOptions, HelpPrintsDescriptionUsageAndTable)
{
    Scratch scratch;
    Beacond b({"--help"});
    EXPECT_EQ(b.wait(), 0);
    const std::string out = b.output();
    EXPECT_EQ(out.rfind("Tarvex discovery server.\nUsage:\n  beacond [OPTION...] [iface] [port]\n", 0), 0u) << out;
    for (const char* row :
         {"-i, --iface arg ", "Listen on interface. (default: eth0)", "-p, --port arg ",
          "Listen on port. (default: 12345)", "-f, --info-file FILE ", "Replace infostring with content of the FILE.",
          "-m, --mcast-grp arg ", "Multicast group to join. (default: 239.255.255.82)", "-M, --no-multicast ",
          "Do not use multicast for discovery.", "-d, --debug ", "Print debug messages.", "-u, --update ",
          "Use discovery server in initramfs for update mode.", "-h, --help ", "Print this help information."})
        EXPECT_NE(out.find(row), std::string::npos) << row;
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");

    Beacond short_form({"-h", "-p", "40000"});
    EXPECT_EQ(short_form.wait(), 255) << "a bad port is refused before help is looked at";
}

TEST(BeacondOptions, PositionalInterfaceAndPortMeanTheSameAsTheOptions)
{
    Scratch scratch;
    seed_board(scratch);
    scratch.put("/sys/class/net/eth1/address", "0a:00:00:00:00:e1\n");
    const std::string expected = seeded_reply.substr(0, seeded_reply.find("02:0A")) + "0A:00:00:00:00:E1" +
                                 seeded_reply.substr(seeded_reply.find("02:0A") + 17);
    std::vector<std::string> outputs;
    for (const bool positional : {true, false}) {
        const uint16_t port = free_port();
        const std::string p = std::to_string(port);
        Beacond b(positional ? std::vector<std::string>{"-M", "-d", "eth1", p}
                                      : std::vector<std::string>{"-M", "-d", "-i", "eth1", "-p", p});
        Client client;
        EXPECT_EQ(client.await_reply(port), expected);
        EXPECT_EQ(b.stop(), 0);
        std::string out = b.output();
        EXPECT_EQ(out.rfind("Listening on interface 'eth1' and port '" + p + "'.\n", 0), 0u) << out;
        // The rest, without the port; requests repeated until the first reply count once (timing).
        const std::regex repeated("(Received msg: [^\n]*\n)+");
        outputs.push_back(std::regex_replace(out.substr(out.find('\n')), repeated, "$1"));
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

TEST(BeacondOptions, BindFailureExitsWith255)
{
    Scratch scratch;
    seed_board(scratch);
    Unicast first;
    ASSERT_TRUE(first.ready);
    Beacond second({"-M", "-p", std::to_string(first.port)});
    EXPECT_EQ(second.wait(), 255);
    EXPECT_EQ(second.output(), "binding: Address already in use\n");
    EXPECT_TRUE(first.server.running());
}

// Runs inside a fresh network namespace (see below), so the default port and group are ours.
void multicast_checks()
{
    Scratch scratch;
    seed_board(scratch);
    constexpr uint16_t default_port = 12345;
    const char* group = "239.255.255.82";

    {
        Beacond server({"-d"});
        Client client;
        // Request to the group; the answer comes back by unicast from the server's port.
        EXPECT_EQ(client.await_reply(default_port, group), seeded_reply);
        client.send("TX-DISCOVERY-multicast", default_port, group);
        uint16_t from = 0;
        EXPECT_EQ(client.receive(2000, &from), seeded_reply);
        EXPECT_EQ(from, default_port);
        EXPECT_FALSE(client.receive(50));
        EXPECT_EQ(server.stop(), 0);
        const std::string out = server.output();
        const size_t joining = out.find("Joining multicast group: ");
        EXPECT_EQ(out.substr(joining, 40), "Joining multicast group: 239.255.255.82\n") << out;
        EXPECT_EQ(out.find("Joining multicast group: ", joining + 1), std::string::npos) << "join failed: " << out;
    }
    {
        Beacond server({"-M"});
        Client client;
        ASSERT_EQ(client.await_reply(default_port), seeded_reply);
        client.send("TX-DISCOVERY", default_port, group);
        EXPECT_FALSE(client.receive(300)) << "answered on the group with -M";
        client.send("TX-DISCOVERY", default_port);
        EXPECT_EQ(client.receive(2000), seeded_reply);
        EXPECT_EQ(server.stop(), 0);
    }
    {
        Beacond server({"--mcast-grp", "239.1.2.3", "-p", "2000"});
        Client client;
        EXPECT_EQ(client.await_reply(2000, "239.1.2.3"), seeded_reply);
        EXPECT_EQ(server.stop(), 0);
    }
    {
        // A group that cannot be joined: reported, and the server answers unicast.
        Beacond server({"-m", "10.1.2.3"});
        Client client;
        EXPECT_EQ(client.await_reply(default_port), seeded_reply);
        EXPECT_EQ(server.stop(), 0);
        EXPECT_EQ(server.output().rfind("Joining multicast group: ", 0), 0u) << server.output();
    }
}

TEST(BeacondMulticast, AnsweredOnTheGroupUnlessMulticastIsOff)
{
    if (std::getenv(namespace_marker)) {
        multicast_checks();
        return;
    }
    if (std::system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot create a network namespace here";

    // Re-run this test inside its own network namespace with loopback multicast routed.
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string command =
        std::string(namespace_marker) + "=1 unshare -n -- sh -c 'ip link set lo up; ip link set lo multicast on; "
        "ip route add 224.0.0.0/4 dev lo; exec \"$0\" --gtest_filter=BeacondMulticast.AnsweredOnTheGroupUnlessMulticastIsOff' " +
        "'" + self + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks inside the namespace failed (output above)";
}

// 100,000 datagrams, a third of them valid requests of various lengths, the rest short or
// garbage. Sent in windows small enough for the receive buffers, so nothing is dropped: every
// valid request must be answered, exactly once, and the server must not grow.
TEST(BeacondLoad, FloodOfMixedDatagrams)
{
    Scratch scratch;
    seed_board(scratch);
    Unicast u;
    ASSERT_TRUE(u.ready);

    std::mt19937 random(12345);
    const std::string word = "TX-DISCOVERY";
    constexpr int total = 100000;
    constexpr int window = 32;
    int valid_sent = 0;
    int answered = 0;
    int wrong = 0;
    long rss_warm = 0;
    for (int sent = 0; sent < total;) {
        int valid_in_window = 0;
        for (int i = 0; i < window && sent < total; ++i, ++sent) {
            std::string datagram;
            switch (random() % 3) {
            case 0:
                datagram = word + std::string(random() % 3 == 0 ? random() % 1200 : random() % 8, 'v');
                ++valid_in_window;
                break;
            case 1:
                datagram = word.substr(0, random() % 12);
                break;
            default:
                datagram.resize(1 + random() % 900);
                for (char& c : datagram)
                    c = static_cast<char>(random());
                datagram[0] = 'x';  // never the request word
            }
            u.client.send(datagram, u.port);
        }
        valid_sent += valid_in_window;
        for (int i = 0; i < valid_in_window; ++i) {
            const auto reply = u.client.receive(2000);
            ASSERT_TRUE(reply) << "no reply after " << answered << " of " << valid_sent;
            ++answered;
            wrong += *reply != seeded_reply;
        }
        if (rss_warm == 0 && sent >= 10000)
            rss_warm = u.server.rss_kb();
    }
    EXPECT_FALSE(u.client.receive(100)) << "more replies than valid requests";
    EXPECT_EQ(answered, valid_sent);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(valid_sent, total / 4);

    const long rss_end = u.server.rss_kb();
    ASSERT_GT(rss_warm, 0);
    EXPECT_LE(rss_end, rss_warm + 16) << "resident kB after 10,000: " << rss_warm << ", after " << total << ": " << rss_end;
    RecordProperty("rss_kb_after_10000", static_cast<int>(rss_warm));
    RecordProperty("rss_kb_after_100000", static_cast<int>(rss_end));

    EXPECT_TRUE(u.server.running());
    EXPECT_EQ(u.server.stop(), 0);
    EXPECT_EQ(u.server.output(), "");
}

}  // namespace
