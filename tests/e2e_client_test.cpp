// End-to-end tests of the tarvex command (and so of the client library) against the real pulserd
// and beacond, and against hostile servers, in a network namespace of this test's own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <thread>
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"
#include "tarvex/Error.h"
#include "tarvex/PulseList.h"
using namespace testsupport;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

// Runs tarvex with `args` and `input` on standard input, in `dir`.
Outcome tarvex(const std::string& dir, const std::string& args, const std::string& input = "") {
    write_file(dir + "/in", input);
    const int s = std::system(("cd " + dir + " && " + program("tarvex") + " " + args + " <in >out 2>err").c_str());
    return {WIFEXITED(s) ? WEXITSTATUS(s) : -1, read_file(dir + "/out"), read_file(dir + "/err")};
}

rapidjson::Document json(const std::string& text) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    EXPECT_FALSE(d.HasParseError()) << text;
    return d;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// A value change dump back to pulse lines, one per interval between time stamps.
std::vector<std::string> from_vcd(const std::string& vcd) {
    std::istringstream in(vcd.substr(vcd.find("$enddefinitions")));
    std::vector<std::string> lines;
    std::string token, id;
    long long time = -1, digi = 0, a[2] = {0, 0};
    while (in >> token)
        if (token[0] == '#' && time >= 0)
            lines.push_back(std::to_string(std::stoll(token.substr(1)) - time) + "," + std::to_string(digi) + "," +
                            std::to_string(a[0]) + "," + std::to_string(a[1])),
                time = std::stoll(token.substr(1));
        else if (token[0] == '#')
            time = std::stoll(token.substr(1));
        else if (token.size() == 2 && (token[0] == '0' || token[0] == '1'))
            digi = (digi & ~(1LL << (token[1] - '!'))) | (token[0] - '0') << (token[1] - '!');
        else if (token[0] == 'r' && in >> id)
            a[id == "*"] = std::stoll(token.substr(1));
    return lines;
}

TEST(TarvexCommand, StatusListsReadBackAndEveryRefusal) {
    SandboxedPulserd pulserd;
    ASSERT_TRUE(waitForPort(50051)) << pulserd.process->output();
    const std::string dir = pulserd.sandbox.root();

    const auto s = json(tarvex(dir, "status --json").out);
    EXPECT_STREQ(s["firmware"].GetString(), "1.7.0");
    EXPECT_STREQ(s["serial"].GetString(), "02:00:00:00:00:01");
    EXPECT_FALSE(s["streaming"]["streaming"].GetBool());
    EXPECT_NE(tarvex(dir, "-H 127.0.0.1 status").out.find("\nfirmware     1.7.0\n"), std::string::npos);

    // 300 pulses of whole 8-tick words, adjacent states all different, analog values that the
    // neutral calibration maps to distinct DAC codes: as CSV and as binary records.
    std::vector<std::string> lines;
    std::string records;
    for (int i = 0; i < 300; ++i) {
        const uint32_t ticks = 8 * (1 + i % 13);
        const int16_t analog[2] = {static_cast<int16_t>(4 * (i * 311 % 16000) - 32000), static_cast<int16_t>(-4 * i)};
        lines.push_back(std::to_string(ticks) + "," + std::to_string(i * 37 % 256) + "," + std::to_string(analog[0]) +
                        "," + std::to_string(analog[1]));
        records += std::string(reinterpret_cast<const char*>(&ticks), 4) + char(i * 37 % 256) +
                   std::string(reinterpret_cast<const char*>(analog), 4);
    }
    std::string csv = "ticks,digital,ao0,ao1\r\n";
    for (const auto& l : lines) csv += l + "\n";
    write_file(dir + "/list.csv", csv + "\n# end\n");
    write_file(dir + "/list.bin", records);
    write_file(dir + "/list.tvx", tarvex::binaryPulseFile(reinterpret_cast<const tarvex::Pulse*>(records.data()), 300));
    for (const std::string how :
         {"stream - --format little --runs 3 --final 00000011,8,-8", "stream list.csv", "stream list.tvx"}) {
        const Outcome r = tarvex(dir, how, records);
        ASSERT_EQ(r.status, 0) << how << ": " << r.err;
        EXPECT_EQ(r.out.rfind("the instrument plays 300 pulses, ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "") << "a progress bar off a terminal";
        ASSERT_EQ(tarvex(dir, "readback --slot 0 --csv back.csv").status, 0);
        EXPECT_EQ(lines_of(read_file(dir + "/back.csv")), lines_of("ticks,digital,ao0,ao1\n" + csv.substr(23))) << how;
        ASSERT_EQ(tarvex(dir, "readback --slot 0 --vcd back.vcd").status, 0);
        EXPECT_EQ(from_vcd(read_file(dir + "/back.vcd")), lines) << how;
    }
    const auto segments = json(tarvex(dir, "readback --slot 0 --json").out);  // DAC codes as played
    EXPECT_EQ(segments["segments"][1][2].GetInt(), 8192 - (4 * 311 - 32000) / 4);

    // Bad input: every bad line by number and nothing sent; lists above the limits; usage errors;
    // refusals in the instrument's words; an unreachable address with its port.
    write_file(dir + "/bad.csv", "8,1,0,0\n8,256,0,0\n8,1,0\n");
    for (const auto& [name, size] : {std::pair{"/big.bin", 9 * 2000001}, {"/up.bin", 9 * 1000001}}) {
        write_file(dir + name, "");
        ASSERT_EQ(truncate((dir + name).c_str(), size), 0);
    }
    const struct {
        std::string args;
        int status;
        std::vector<std::string> messages;
        std::string out = "";
    } cases[] = {
        {"stream bad.csv",
         2,
         {"bad.csv:2: digital must be 0 to 255", "bad.csv:3: 4 fields", "bad.csv: 2 bad lines; nothing was sent\n"}},
        {"stream list.bin", 2, {"list.bin: 9-byte records without the \"TVXPULSE\" header: give their byte order"}},
        {"readback --slot 1 -T 3", 4, {"slot 1 is empty: it holds no sequence"}},
        {"-H 127.0.0.1:50051 status --json -T 5", 0, {}, "\"temperature_c\":"},
        {"status -H 127.0.0.1:9999", 3, {"cannot reach 127.0.0.1:9999: "}},
        {"-H '' status", 2, {"\"\" is not an address"}},
        {"-H '[::1' status", 2, {"is not an address"}},
        {"discover -T 0.3 --no-broadcast --no-multicast", 3, {}, "no instrument answered within 0.3 s"},
        {"stream big.bin --format little",
         2,
         {"big.bin: 2,000,001 pulses, above the instrument's limit of 2,000,000 pulses for stream"}},
        {"upload up.bin --slot 1 --format little",
         2,
         {"up.bin: 1,000,001 pulses, above the instrument's limit of 1,000,000 pulses for upload"}},
        {"stream", 2, {"tarvex stream: no pulse list given", "Try 'tarvex stream --help'."}},
        {"upload list.csv", 2, {"upload needs --slot 0 or --slot 1"}},
        {"stream list.csv --final 1,2", 2, {"--final must be D,A0,A1"}},
        {"trigger --start sideways", 2, {"--start must be one of immediate, software, rising, falling, both"}},
        {"status --bogus", 2, {"bogus", "Try 'tarvex status --help'."}},
        {"frobnicate", 2, {"tarvex: unknown command \"frobnicate\""}},
        {"network --ip 10.0.0.2 --netmask 255.0.0.0", 2, {"reboots the instrument: add --yes"}},
        {"network --ip 10.0.0 --netmask 255.0.0.0 --yes",
         1,
         {"refused the network settings: bad address format (result 1)"}},
        {"hostname lab-2", 1, {"refused the hostname \"lab-2\" (it keeps its name while it is streaming) (result -1)"}},
        {"hostname 'lab 2'", 2, {"\"lab 2\" is not a host name"}},
        {"-H 10.9.9.9 status", 3, {"cannot reach 10.9.9.9:50051"}},
        {"-H 10.9.9.9 stream list.csv", 3, {"cannot reach 10.9.9.9:21328: Network is unreachable"}},
        {"stream list.csv --runs 0",
         0,
         {},
         "the instrument plays 300 pulses, 16.75 us per run, not at all: 0 runs show only the final state\n"},
        {"upload list.csv --slot 1 --runs 0", 0, {}, "slot 1 holds 300 pulses, 16.75 us per run, to play not at all"},
    };
    for (const auto& c : cases) {
        const Outcome r = tarvex(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        for (const auto& m : c.messages)
            EXPECT_NE(r.err.find(m), std::string::npos) << c.args << " lacks: " << m << "\nin: " << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args << " lacks: " << c.out << "\nin: " << r.out;
    }

    {  // Another client holds the binary port (served one at a time) with a command whose payload
        // is still to come: busy, not unreachable.
        TcpClient holder;
        const tcp::CommandHeader begun = TcpClient::header(1, tcp::CMD_STREAM, 32 + 9 * 1000);
        ASSERT_TRUE(holder.sendBytes(&begun, sizeof begun));
        const Outcome r = tarvex(dir, "stream list.csv -T 1");
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("binary port 127.0.0.1:21328 is busy: another client holds it"), std::string::npos)
            << r.err;
    }

    // Settings read back after a change.
    EXPECT_EQ(tarvex(dir, "stop").status, 0);
    EXPECT_EQ(tarvex(dir, "hostname lab-2").out, "hostname: lab-2\n");
    EXPECT_STREQ(json(tarvex(dir, "trigger --start falling --rearm manual --json").out)["rearm"].GetString(), "manual");
    EXPECT_NE(tarvex(dir, "stream --help").out.find("SYNOPSIS\n    tarvex [-H HOST] stream FILE"), std::string::npos);
}

// Serves one connection (TCP) or answers every datagram (UDP) on 127.0.0.1:port until `stop`.
void serve(int type, uint16_t port, const std::function<void(int fd, sockaddr_in& peer)>& handle,
           const std::atomic<bool>& stop) {
    const int fd = socket(AF_INET, type, 0), one = 1;
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const timeval tick{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (type == SOCK_STREAM && listen(fd, 1) == 0)
        while (!stop)
            if (const int c = accept(fd, nullptr, nullptr); c >= 0) handle(c, a), close(c);
    char buffer[64];
    for (socklen_t n = sizeof a; type == SOCK_DGRAM && !stop;)
        if (recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&a), &n) > 0) handle(fd, a);
    close(fd);
}

TEST(TarvexCommand, DiscoveryMergedAndHostileAnswersBounded) {
    if (!std::getenv("TARVEX_NETNS") || std::system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "broadcast and multicast only in a network namespace of our own";
    Sandbox alpha, beta;
    for (const auto& [box, name] : {std::pair{&alpha, "alpha"}, {&beta, "be\"ta"}}) {
        ASSERT_EQ(std::system(("mkdir -p " + box->root() + "/userconfig/network").c_str()), 0);
        write_file(box->path("/userconfig/network/hostname"), name);
    }
    Process a({program("beacond")}, {"TARVEX_ROOT=" + alpha.root()});                     // multicast, port 12345
    Process b({program("beacond"), "-M", "-p", "2000"}, {"TARVEX_ROOT=" + beta.root()});  // unicast only
    // Identities of 2049 and 2048 bytes (the longest read); answers that never come; an endless page.
    std::atomic<bool> stop{false};
    const std::string word = "TX-DISCOVERY-REPLY{\"hostname\":\"";
    auto reply = [](std::string text) {
        return [text](int fd, sockaddr_in& to) {
            sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        };
    };
    std::vector<std::thread> servers;
    for (const auto& [port, end] : {std::pair{2001, "\"}x"}, {2002, "\"}"}})
        servers.emplace_back(serve, SOCK_DGRAM, port, reply(word + std::string(2015, "xy"[port - 2001]) + end),
                             std::cref(stop));
    auto silent = [&](int fd, sockaddr_in&) {
        for (char in[65536]; !stop && recv(fd, in, sizeof in, 0) != 0;) {
        }
    };
    auto endless = [&](int fd, sockaddr_in&) {
        const std::string page = "HTTP/1.1 200 OK\r\n\r\n{\"segments\":[" + std::string(65536, ' ');
        while (!stop && send(fd, page.data(), page.size(), MSG_NOSIGNAL) > 0) {
        }
    };
    for (const auto& [port, handler] :
         {std::pair<uint16_t, std::function<void(int, sockaddr_in&)>>{21328, silent}, {50051, silent}, {8050, endless}})
        servers.emplace_back(serve, SOCK_STREAM, port, handler, std::cref(stop));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // alpha answers the group and the request to 127.0.0.1: one row.
    const auto d = json(
        tarvex(alpha.root(), "discover --timeout 1 --json 127.0.0.1 127.0.0.1:2000 127.0.0.1:2001 localhost:2002").out);
    std::vector<std::string> rows;
    for (const auto& i : d["instruments"].GetArray())
        rows.push_back(std::string(i["hostname"].GetString()).substr(0, 8) + ":" + std::to_string(i["port"].GetInt()));
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"alpha:12345", "be\"ta:2000", "yyyyyyyy:2002"}));
    const std::string table = tarvex(alpha.root(), "discover -T 0.5 127.0.0.1:2000").out;
    EXPECT_EQ(table.rfind("ADDRESS         HOSTNAME  SERIAL", 0) + lines_of(table).size(), 3u) << table;

    write_file(alpha.root() + "/one.csv", "8,1,0,0\n");
    for (const auto& [args, message] : {std::pair{"stream one.csv", "no answer from 127.0.0.1:21328 in time"},
                                        {"readback --slot 0 --json", "127.0.0.1:8050 sent a reply above 8388608 bytes"},
                                        {"hostname", "no answer to getHostname from 127.0.0.1:50051 within 500 ms"}}) {
        const Outcome h = tarvex(alpha.root(), std::string("-T 0.5 ") + args);
        EXPECT_EQ(h.status, 3) << args;
        EXPECT_NE(h.err.find(message), std::string::npos) << args << ": " << h.err;
    }
    stop = true;
    for (auto& t : servers) t.join();
}

}  // namespace
