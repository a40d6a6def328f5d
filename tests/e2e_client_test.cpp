// End-to-end tests of the tarvex command (and so of the client library) against the real pulserd
// and beacond in a network namespace of this test's own, with multicast routed on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/netns.h"
#include "support/process.h"
#include "support/sandbox.h"

using namespace testsupport;

namespace {

[[maybe_unused]] const bool own_namespace = (reexecInOwnNetworkNamespace(), true);

struct Outcome {
    int status;
    std::string out, err;
};

// Runs tarvex with `args` (and `input` on standard input) in `dir`.
Outcome tarvex(const std::string& dir, const std::string& args, const std::string& input = "")
{
    write_file(dir + "/in", input);
    const int s = std::system(("cd " + dir + " && " + program("tarvex") + " " + args + " <in >out 2>err").c_str());
    return {WIFEXITED(s) ? WEXITSTATUS(s) : -1, read_file(dir + "/out"), read_file(dir + "/err")};
}

rapidjson::Document json(const std::string& text)
{
    rapidjson::Document d;
    d.Parse(text.c_str());
    EXPECT_FALSE(d.HasParseError()) << text;
    return d;
}

// Pulses of whole 8-tick words with adjacent states all different and analog values that the
// neutral calibration maps to distinct DAC codes, as CSV lines.
std::vector<std::string> pulse_lines(int n)
{
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i)
        lines.push_back(std::to_string(8 * (1 + i % 13)) + "," + std::to_string(i * 37 % 256) + "," +
                        std::to_string(4 * (i * 311 % 16000) - 32000) + "," + std::to_string(-4 * i));
    return lines;
}

std::string join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += l + "\n";
    return text;
}

// The value change dump back to pulse lines: one per interval between time stamps.
std::vector<std::string> from_vcd(const std::string& vcd)
{
    std::istringstream in(vcd.substr(vcd.find("$enddefinitions")));
    std::vector<std::string> lines;
    std::string token, state;
    int digi = 0;
    long long time = -1, a0 = 0, a1 = 0;
    while (in >> token) {
        if (token[0] == '#') {
            const long long t = std::stoll(token.substr(1));
            if (time >= 0)
                lines.push_back(std::to_string(t - time) + "," + std::to_string(digi) + "," + std::to_string(a0) + "," + std::to_string(a1));
            time = t;
        } else if ((token[0] == '0' || token[0] == '1') && token.size() == 2) {
            const int bit = token[1] - '!';
            digi = (digi & ~(1 << bit)) | (token[0] - '0') << bit;
        } else if (token[0] == 'r') {
            std::string id;
            in >> id;
            (id == ")" ? a0 : a1) = std::stoll(token.substr(1));
        }
    }
    return lines;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

TEST(TarvexCommand, StatusStreamReadbackAndEveryRefusal)
{
    SandboxedPulserd pulserd;
    ASSERT_TRUE(waitForPort(50051)) << pulserd.process->output();
    const std::string dir = pulserd.sandbox.root();

    const Outcome status = tarvex(dir, "status --json");
    ASSERT_EQ(status.status, 0) << status.err;
    const auto s = json(status.out);
    EXPECT_STREQ(s["firmware"].GetString(), "1.7.0");
    EXPECT_STREQ(s["serial"].GetString(), "02:00:00:00:00:01");
    EXPECT_FALSE(s["streaming"]["streaming"].GetBool());
    EXPECT_STREQ(s["trigger"]["start"].GetString(), "immediate");
    EXPECT_NE(tarvex(dir, "-H 127.0.0.1 status").out.find("\nfirmware     1.7.0\n"), std::string::npos);

    // The same list from a CSV file (with header, bit-pattern digital field), from binary records
    // on standard input; each read back from slot 0 as CSV and as a value change dump.
    const auto lines = pulse_lines(300);
    write_file(dir + "/list.csv", "ticks,digital,ao0,ao1\r\n" + join(lines) + "\n# end\n");
    std::string records;
    for (const auto& l : lines) {
        unsigned t, d;
        int a0, a1;
        sscanf(l.c_str(), "%u,%u,%d,%d", &t, &d, &a0, &a1);
        const int16_t a[2] = {static_cast<int16_t>(a0), static_cast<int16_t>(a1)};
        records += std::string(reinterpret_cast<char*>(&t), 4) + char(d) + std::string(reinterpret_cast<const char*>(a), 4);
    }
    for (const std::string how : {"stream - --format bin --runs 3 --final 00000011,8,-8", "stream list.csv"}) {
        const Outcome r = tarvex(dir, how, records);
        ASSERT_EQ(r.status, 0) << how << ": " << r.err;
        EXPECT_EQ(r.out.rfind("the instrument plays 300 pulses ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "") << "no progress bar off a terminal";
        const Outcome csv = tarvex(dir, "readback --slot 0 --csv back.csv");
        ASSERT_EQ(csv.status, 0) << csv.err;
        auto back = lines_of(read_file(dir + "/back.csv"));
        EXPECT_EQ(back.front(), "ticks,digital,ao0,ao1");
        EXPECT_EQ(std::vector<std::string>(back.begin() + 1, back.end()), lines) << how;
        ASSERT_EQ(tarvex(dir, "readback --slot 0 --vcd back.vcd").status, 0);
        EXPECT_EQ(from_vcd(read_file(dir + "/back.vcd")), lines) << how;
    }
    const auto segments = json(tarvex(dir, "readback --slot 0 --json").out);
    ASSERT_EQ(segments["segments"].Size(), 300u);
    EXPECT_EQ(segments["segments"][1][2].GetInt(), 8192 - (4 * 311 - 32000) / 4);

    // Bad input: every bad line by number, nothing sent; lists above the limits; usage errors.
    write_file(dir + "/bad.csv", "8,1,0,0\n8,256,0,0\n8,1,0\n\n8,0000001x,0,0\n-8,1,0,0\n8,1,0,32768\n");
    write_file(dir + "/short.bin", std::string(10, '\0'));
    for (const auto& [name, size] : {std::pair{"/big.bin", 9 * 2000001}, {"/up.bin", 9 * 1000001}}) {
        write_file(dir + name, "");
        ASSERT_EQ(truncate((dir + name).c_str(), size), 0);
    }
    const struct {
        std::string args;
        int status;
        std::vector<std::string> messages;
    } cases[] = {
        {"stream bad.csv", 2,
         {"bad.csv:2: digital must be 0 to 255 or eight 0/1 characters, not \"256\"\n",
          "bad.csv:3: 4 fields expected (ticks,digital,ao0,ao1), found 3\n", "bad.csv:5: digital must",
          "bad.csv:6: ticks must be 0 to 4294967295, not \"-8\"\n", "bad.csv:7: ao1 must be -32768 to 32767, not \"32768\"\n",
          "bad.csv: 5 bad lines; nothing was sent\n"}},
        {"stream short.bin", 2, {"short.bin: 1 bytes after the last whole 9-byte record (record 2 is incomplete)"}},
        {"stream big.bin", 2, {"big.bin: 2,000,001 pulses, above the instrument's limit of 2,000,000 pulses for stream"}},
        {"upload up.bin --slot 1", 2, {"up.bin: 1,000,001 pulses, above the instrument's limit of 1,000,000 pulses for upload"}},
        {"stream", 2, {"tarvex stream: no pulse list given", "Try 'tarvex stream --help'."}},
        {"upload list.csv", 2, {"upload needs --slot 0 or --slot 1"}},
        {"stream list.csv --final 1,2", 2, {"--final must be D,A0,A1"}},
        {"trigger --start sideways", 2, {"--start must be one of immediate, software, rising, falling, both"}},
        {"status --bogus", 2, {"bogus", "Try 'tarvex status --help'."}},
        {"frobnicate", 2, {"tarvex: unknown command \"frobnicate\""}},
        {"network --ip 10.0.0.2 --netmask 255.0.0.0", 2, {"reboots the instrument: add --yes"}},
        {"network --ip 10.0.0 --netmask 255.0.0.0 --yes", 1, {"refused the network settings: bad address format (result 1)"}},
        {"hostname lab-2", 1, {"refused the hostname \"lab-2\" (it keeps its name while it is streaming) (result -1)"}},
        {"-H 10.9.9.9 status", 3, {"cannot reach 10.9.9.9:50051"}},
        {"-H 10.9.9.9 stream list.csv", 3, {"cannot reach 10.9.9.9:21328: Network is unreachable"}},
    };
    for (const auto& c : cases) {
        const Outcome r = tarvex(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        for (const auto& m : c.messages)
            EXPECT_NE(r.err.find(m), std::string::npos) << c.args << " lacks: " << m << "\nin: " << r.err;
    }

    // Settings read back after a change.
    EXPECT_EQ(tarvex(dir, "stop").status, 0);
    EXPECT_EQ(tarvex(dir, "hostname lab-2").out, "hostname: lab-2\n");
    EXPECT_EQ(json(tarvex(dir, "trigger --start falling --rearm manual --json").out)["rearm"].GetString(), std::string("manual"));
    EXPECT_NE(tarvex(dir, "stream --help").out.find("SYNOPSIS\n    tarvex [-H HOST] stream FILE"), std::string::npos);
}

// A UDP responder on `port` answering every datagram with `reply` (a hostile instrument).
void answer_with(uint16_t port, const std::string& reply, const std::atomic<bool>& stop)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval tick{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    char buffer[64];
    socklen_t length = sizeof a;
    while (!stop)
        if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&a), &length) > 0)
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&a), length);
    close(fd);
}

TEST(TarvexCommand, DiscoveryMergesAnswersAndIgnoresOversizedOnes)
{
    if (!std::getenv("TARVEX_OWN_NETNS") || std::system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "broadcast and multicast only in a network namespace of our own";
    Sandbox alpha, beta;
    auto seed = [](const Sandbox& root, const std::string& name, const std::string& mac) {
        std::system(("mkdir -p " + root.root() + "/userconfig/network " + root.root() + "/sys/class/net/eth0").c_str());
        write_file(root.path("/userconfig/network/hostname"), name);
        write_file(root.path("/sys/class/net/eth0/address"), mac);
    };
    seed(alpha, "alpha", "02:aa:00:00:00:01");
    seed(beta, "be\"ta", "02:bb:00:00:00:02");
    Process a({program("beacond")}, {"TARVEX_ROOT=" + alpha.root()});               // multicast, port 12345
    Process b({program("beacond"), "-M", "-p", "2000"}, {"TARVEX_ROOT=" + beta.root()});  // unicast only
    std::atomic<bool> stop{false};
    const std::string reply = "TX-DISCOVERY-REPLY{\"hostname\":\"";
    std::thread big(answer_with, 2001, reply + std::string(2048 - reply.size() - 2, 'x') + "\"}x", std::ref(stop));
    std::thread fits(answer_with, 2002, reply + std::string(2048 - reply.size() - 2, 'y') + "\"}", std::ref(stop));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // alpha answers the group and the direct request to 127.0.0.1: one row.
    const Outcome r = tarvex(alpha.root(), "discover --timeout 1 --json 127.0.0.1 127.0.0.1:2000 127.0.0.1:2001 localhost:2002");
    stop = true;
    big.join();
    fits.join();
    ASSERT_EQ(r.status, 0) << r.err;
    const auto d = json(r.out);
    ASSERT_EQ(d["instruments"].Size(), 3u) << r.out;
    EXPECT_EQ(d["instruments"][0]["hostname"].GetString(), std::string("alpha"));
    EXPECT_EQ(d["instruments"][0]["port"].GetInt(), 12345);
    EXPECT_EQ(d["instruments"][0]["serial"].GetString(), std::string("02:AA:00:00:00:01"));
    EXPECT_EQ(d["instruments"][1]["hostname"].GetString(), std::string("be\"ta"));
    EXPECT_EQ(d["instruments"][2]["port"].GetInt(), 2002);

    const Outcome table = tarvex(alpha.root(), "discover -t 0.5 127.0.0.1:2000");
    EXPECT_EQ(lines_of(table.out).size(), 3u) << table.out;
    EXPECT_EQ(table.out.rfind("ADDRESS         HOSTNAME  SERIAL", 0), 0u) << table.out;
}

}  // namespace
