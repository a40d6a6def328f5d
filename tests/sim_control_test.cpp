// The simulator's control channel over its socket: request/reply form, the built-in register and
// command-log requests, commands registered by feature modules, and the HTTP form for curl.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "device/registers.h"
#include "sim/Control.h"
#include "sim/Fpga.h"
#include "sim/System.h"
#include "support/control_client.h"
#include "support/sandbox.h"

using testsupport::ControlClient;

namespace {

sim::control::Json echo_command(const sim::control::Request& q) {
    return sim::control::Json::object()
        .set("doubled", q.u64("n") * 2)
        .set("name", q.text("name", "none"))
        .set("neg", q.i64("neg", 0));
}

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fpga = &sim::fresh_device();
        sim::clear_commands();
        socket = sim::control::default_socket_path();
        ASSERT_TRUE(sim::control::start_server(socket));
        client = std::make_unique<ControlClient>(socket);
    }
    testsupport::Sandbox sandbox;
    sim::Fpga* fpga = nullptr;
    std::string socket;
    std::unique_ptr<ControlClient> client;
};

TEST_F(ControlChannelTest, RegistersReadWritePeekPoke) {
    const uint64_t status = reg::CTRL_BASE + reg::ctrl::STATUS;
    const uint64_t control = reg::CTRL_BASE + reg::ctrl::CONTROL;

    // Addresses as numbers or as hexadecimal text.
    client->ok("{\"cmd\":\"poke\",\"addr\":\"0x43C01008\",\"value\":1234}");
    EXPECT_EQ(fpga->peek(reg::SLOT0_BASE + reg::slot::SIZE), 1234u);
    auto peek = client->ok("{\"cmd\":\"peek\",\"addr\":" + std::to_string(reg::SLOT0_BASE + 8) + "}");
    EXPECT_EQ(peek["value"].GetUint64(), 1234u);

    // A write runs the device's hooks: the datamover halt strobe reports both datamovers halted.
    client->ok("{\"cmd\":\"write\",\"addr\":" + std::to_string(control) + ",\"value\":512}");
    EXPECT_EQ(fpga->writes(control), std::vector<uint32_t>{512u});
    EXPECT_EQ(fpga->peek(status) & (reg::status::DM0_HALTED | reg::status::DM1_HALTED),
              reg::status::DM0_HALTED | reg::status::DM1_HALTED);
    // A read runs read hooks (the output-stage bit is answered from the configuration); peek does not.
    auto read = client->ok("{\"cmd\":\"read\",\"addr\":" + std::to_string(status) + "}");
    EXPECT_TRUE(read["value"].GetUint64() & reg::status::OUTPUT_READY);
    EXPECT_FALSE(fpga->peek(status) & reg::status::OUTPUT_READY);

    auto bits = client->ok("{\"cmd\":\"bits\",\"addr\":" + std::to_string(status) + ",\"mask\":16}");
    EXPECT_TRUE(bits["value"].GetUint64() & 16u);
    client->ok("{\"cmd\":\"bits\",\"addr\":" + std::to_string(status) + ",\"mask\":16,\"on\":false}");
    EXPECT_FALSE(fpga->peek(status) & 16u);

    auto writes = client->ok("{\"cmd\":\"writes\",\"addr\":" + std::to_string(control) + "}");
    ASSERT_EQ(writes["writes"].Size(), 1u);
    EXPECT_EQ(writes["writes"][0].GetUint64(), 512u);
}

TEST_F(ControlChannelTest, BadRequestsAnswerWithAnErrorAndKeepTheConnection) {
    auto expect_error = [&](const std::string& line, const std::string& part) {
        auto d = client->call(line);
        ASSERT_TRUE(d.IsObject()) << line;
        EXPECT_FALSE(d["ok"].GetBool()) << line;
        EXPECT_NE(std::string(d["error"].GetString()).find(part), std::string::npos) << d["error"].GetString();
    };
    expect_error("not json", "not a JSON object");
    expect_error("[1,2]", "not a JSON object");
    expect_error("{\"addr\":1}", "cmd");
    expect_error("{\"cmd\":\"no-such\"}", "unknown command");
    expect_error("{\"cmd\":\"peek\"}", "missing \"addr\"");
    expect_error("{\"cmd\":\"peek\",\"addr\":\"0xZZ\"}", "not an unsigned number");
    expect_error("{\"cmd\":\"poke\",\"addr\":1,\"value\":4294967296}", "32 bits");
    // The same connection still answers.
    EXPECT_TRUE(client->ok("{\"cmd\":\"help\"}")["commands"].IsArray());
}

TEST_F(ControlChannelTest, FeatureModulesAddCommands) {
    sim::control::on_command("test-echo", echo_command, "doubles n");
    auto d = client->ok("{\"cmd\":\"test-echo\",\"n\":\"0x10\",\"name\":\"a\\\"b\",\"neg\":-5}");
    EXPECT_EQ(d["doubled"].GetUint64(), 32u);
    EXPECT_STREQ(d["name"].GetString(), "a\"b");
    EXPECT_EQ(d["neg"].GetInt64(), -5);

    bool listed = false;
    auto help = client->ok("{\"cmd\":\"help\"}");
    for (const auto& c : help["commands"].GetArray())
        if (std::string(c["cmd"].GetString()) == "test-echo") listed = std::string(c["help"].GetString()) == "doubles n";
    EXPECT_TRUE(listed);

    // The in-process entry gives the same reply line.
    EXPECT_EQ(sim::control::handle("{\"cmd\":\"test-echo\",\"n\":1}"), "{\"ok\":true,\"doubled\":2,\"name\":\"none\",\"neg\":0}");
}

TEST_F(ControlChannelTest, ListsRecordedCommands) {
    sim::run_shell("killall -9 beacond.elf");
    sim::run_argv({"testip", "1.2.3.4"});
    auto d = client->ok("{\"cmd\":\"commands\"}");
    const auto& list = d["commands"];
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_TRUE(list[0]["shell"].GetBool());
    EXPECT_STREQ(list[0]["line"].GetString(), "killall -9 beacond.elf");
    EXPECT_FALSE(list[1]["shell"].GetBool());
    ASSERT_EQ(list[1]["argv"].Size(), 2u);
    EXPECT_STREQ(list[1]["argv"][1].GetString(), "1.2.3.4");
}

TEST_F(ControlChannelTest, AnswersAnHttpPost) {
    fpga->poke(reg::CTRL_BASE + reg::ctrl::CLK_PARAM, 77);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    std::string body = "{\"cmd\":\"peek\",\"addr\":" + std::to_string(reg::CTRL_BASE + reg::ctrl::CLK_PARAM) + "}";
    std::string req = "POST / HTTP/1.1\r\nHost: sim\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(::send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    std::string reply;
    char buf[1024];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\n\r\n{\"ok\":true,\"value\":77}\n"), std::string::npos) << reply;
}

}  // namespace
