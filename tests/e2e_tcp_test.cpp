// The binary protocol of the real pulserd (sim build) on its port 21328: framing, status codes,
// payload accounting, one connection at a time, the idle time-out.
#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <memory>
#include <thread>

#include "support/control_client.h"
#include "support/netns.h"
#include "tarvex.grpc.pb.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"
#include "device/registers.h"

using namespace testsupport;
using ::testing::HasSubstr;

namespace {

// Port 21328 of our own: nothing else on this machine answers there.
[[maybe_unused]] const bool own_namespace = (reexecInOwnNetworkNamespace(), true);

std::vector<Pulse> rampPulses(size_t n) {
    std::vector<Pulse> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = Pulse{static_cast<uint32_t>(16 + (i % 50) * 8), static_cast<uint8_t>(i * 7),
                     static_cast<int16_t>(i * 13), static_cast<int16_t>(-static_cast<int>(i % 30000))};
    return v;
}

// One pulserd for the whole suite, in its own sandbox root.
class BinaryProtocol : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sandbox_ = new Sandbox;
        server_ = new Process({program("pulserd")}, {"TARVEX_ROOT=" + sandbox_->root()}, sandbox_->root());
        ready_ = server_->waitForOutput("Listening for binary stream on port 21328...\n");
    }
    static void TearDownTestSuite() {
        delete server_;
        delete sandbox_;
        server_ = nullptr;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        // Checked here, not in the suite set-up: that failure would count the tests as skipped.
        ASSERT_TRUE(ready_ && server_->running()) << server_->output();
    }
    // Output of the server from now on.
    size_t mark() const { return server_->output().size(); }
    std::string since(size_t m) const { return server_->output().substr(m); }

    static Sandbox* sandbox_;
    static Process* server_;
    static bool ready_;
};
Sandbox* BinaryProtocol::sandbox_ = nullptr;
Process* BinaryProtocol::server_ = nullptr;
bool BinaryProtocol::ready_ = false;

}  // namespace

TEST_F(BinaryProtocol, FramesMagicAndUnknownCommands) {
    {
        // Calibration read, byte for byte.
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto h = TcpClient::header(7, tcp::CMD_GET_CALIBRATION, 0);
        ASSERT_TRUE(c.sendBytes(&h, sizeof(h)));
        uint8_t got[64];
        ASSERT_TRUE(c.recvExact(got, sizeof(got), std::chrono::steady_clock::now() + std::chrono::seconds(20)));
        uint8_t expected[64] = {'K', 'W', 'Q', 'Z', 7, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0, 0, 32};
        const double neutral[4] = {0.0, 0.0, 1.0, 1.0};
        std::memcpy(expected + 32, neutral, sizeof(neutral));
        EXPECT_EQ(std::vector<uint8_t>(got, got + 64), std::vector<uint8_t>(expected, expected + 64));

        // An unknown command is answered and the connection goes on.
        h = TcpClient::header(9, 0x103, 0);
        ASSERT_TRUE(c.sendBytes(&h, sizeof(h)));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_UNKNOWN_COMMAND);
        EXPECT_EQ(a->header.command, 0x103u);
        EXPECT_EQ(a->header.tag, 9u);
        EXPECT_EQ(a->header.length, 0u);
        a = c.getCalibration(10);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.tag, 10u);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
    }
    {
        // A wrong magic ends the connection without any answer.
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto h = TcpClient::header(1, tcp::CMD_GET_CALIBRATION, 0);
        h.magic = 0x5A51574C;
        ASSERT_TRUE(c.sendBytes(&h, sizeof(h)));
        uint8_t byte;
        ASSERT_TRUE(c.readable(std::chrono::seconds(20)));
        EXPECT_EQ(recv(c.fd(), &byte, 1, 0), 0) << "closed, nothing sent";
    }
}

TEST_F(BinaryProtocol, PulseCountLimits) {
    auto pulses = rampPulses(1000001);
    const Pulse final_state{0, 0x0F, 100, -100};
    {
        TcpClient c;
        ASSERT_TRUE(c.connected());
        // Header and sub-header only: the answer comes before any record is read.
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, final_state);
        ASSERT_TRUE(c.sendSequence(tcp::CMD_UPLOAD, 21, seq, nullptr, 0, 9 * pulses.size()));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_TOO_MANY_PULSES);
        EXPECT_EQ(a->header.tag, 21u);
        EXPECT_TRUE(c.waitClosed(std::chrono::seconds(20)));
    }
    {
        size_t m = mark();
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto a = c.stream(pulses, 1, final_state, 22);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        EXPECT_EQ(a->header.length, 0u);
        EXPECT_THAT(since(m), HasSubstr("StreamHighLevel call: len: 1000001, n_runs: 1, final: 0|15|100|-100\n"));
        // It plays: slot 0 holds it and the simulated outputs run it (or have run it).
        ControlClient sim(sandbox_->root() + "/sim/control.sock");
        auto p = sim.ok("{\"cmd\":\"playback\"}");
        ASSERT_TRUE(p.IsObject() && p.HasMember("phase"));
        EXPECT_THAT(p["phase"].GetString(), testing::AnyOf(testing::StrEq("streaming"), testing::StrEq("finished")));
        EXPECT_TRUE(p["slots"][0]["holds"].GetBool());
        auto seg = sim.ok("{\"cmd\":\"segments\",\"slot\":0,\"max\":3}");
        ASSERT_TRUE(seg.IsObject() && seg.HasMember("segments"));
        EXPECT_EQ(seg["segments"][0][0].GetUint64(), +pulses[0].ticks);
        EXPECT_EQ(seg["segments"][1][1].GetUint(), +pulses[1].digi);
    }
}

TEST_F(BinaryProtocol, PayloadLengthAccounting) {
    auto pulses = rampPulses(1000);
    const Pulse final_state{0, 0, 0, 0};
    auto seq = TcpClient::sequenceHeader(pulses.size(), 1, final_state);
    for (uint32_t command : {tcp::CMD_STREAM, tcp::CMD_UPLOAD}) {
        SCOPED_TRACE(command);
        {
            // One byte short of the records: refused before reading them.
            TcpClient c;
            ASSERT_TRUE(c.connected());
            ASSERT_TRUE(c.sendSequence(command, 31, seq, nullptr, 0, 9 * pulses.size() - 1));
            auto a = c.readAnswer();
            ASSERT_TRUE(a);
            EXPECT_EQ(a->header.status, tcp::STATUS_TRANSFER_ERROR);
            EXPECT_TRUE(c.waitClosed(std::chrono::seconds(20)));
        }
        {
            // Five bytes more than needed: read and dropped, then the next header is read as such.
            TcpClient c;
            ASSERT_TRUE(c.connected());
            ASSERT_TRUE(c.sendSequence(command, 32, seq, pulses.data(), pulses.size(), 5, 5));
            auto a = c.readAnswer();
            ASSERT_TRUE(a);
            EXPECT_EQ(a->header.status, tcp::STATUS_OK);
            EXPECT_EQ(a->header.tag, 32u);
            a = c.getCalibration(33);
            ASSERT_TRUE(a) << "the extra bytes were taken for a header";
            EXPECT_EQ(a->header.tag, 33u);
        }
    }
    {
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto h = TcpClient::header(34, tcp::CMD_SET_CALIBRATION, 40);
        AnalogCalibData data;
        uint8_t extra[8] = {};
        ASSERT_TRUE(c.sendPieces({{&h, sizeof(h)}, {&data, sizeof(data)}, {extra, sizeof(extra)}}));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_TRANSFER_ERROR);
        EXPECT_EQ(a->header.command, tcp::CMD_SET_CALIBRATION);
        EXPECT_TRUE(c.waitClosed(std::chrono::seconds(20)));
    }
    {
        // The upload's result travels in the answer payload: here the refusal of slot 2.
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto a = c.upload(2, pulses, 1, final_state, 0, 0, 0, 35);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        ASSERT_TRUE(a->has_payload);
        EXPECT_EQ(a->header.length, 32u);
        auto result = a->payloadAs<tcp::UploadResult>();
        EXPECT_EQ(result.value, -1);
        EXPECT_EQ(std::vector<uint8_t>(result.reserved, result.reserved + 28), std::vector<uint8_t>(28, 0));
    }
}

TEST_F(BinaryProtocol, OneConnectionAtATimeAndIdleClientsDropped) {
    TcpClient first;
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(first.getCalibration(1));

    TcpClient second;
    ASSERT_TRUE(second.connected()) << "waits in the backlog";
    auto h = TcpClient::header(2, tcp::CMD_GET_CALIBRATION, 0);
    ASSERT_TRUE(second.sendBytes(&h, sizeof(h)));
    EXPECT_FALSE(second.readable(std::chrono::milliseconds(1500))) << "served while the first was connected";
    first.disconnect();
    auto a = second.readAnswer(std::chrono::seconds(20));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->header.tag, 2u);

    // Nothing more from the second client: the server drops it after its receive time-out.
    auto idle_from = std::chrono::steady_clock::now();
    EXPECT_TRUE(second.waitClosed(std::chrono::seconds(30)));
    EXPECT_GE(std::chrono::steady_clock::now() - idle_from, std::chrono::seconds(9));
}

TEST_F(BinaryProtocol, StalledSequenceLeavesTheOtherInterfacesServed) {
    auto pulses = rampPulses(100000);
    auto channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    auto stub = tarvex::Tarvex::NewStub(channel);
    for (uint32_t command : {tcp::CMD_STREAM, tcp::CMD_UPLOAD}) {
        SCOPED_TRACE(command);
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, Pulse{0, 0, 0, 0});
        tcp::CommandHeader h = TcpClient::header(41, command, sizeof(seq) + pulses.size() * sizeof(Pulse));
        // Half the records, then nothing while a gRPC call is made.
        ASSERT_TRUE(c.sendPieces({{&h, sizeof(h)}, {&seq, sizeof(seq)}, {pulses.data(), 50000 * sizeof(Pulse)}}));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        grpc::ClientContext ctx;
        ctx.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
        tarvex::VoidMessage request;
        tarvex::TarvexReply reply;
        grpc::Status status = stub->getTriggerStart(&ctx, request, &reply);
        EXPECT_TRUE(status.ok()) << "gRPC call while a binary client stalls: " << status.error_message();

        ASSERT_TRUE(c.sendBytes(pulses.data() + 50000, 50000 * sizeof(Pulse)));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
    }
}

// DAC code of an analog value under the neutral calibration.
static uint16_t neutralCode(int16_t v) { return static_cast<uint16_t>((-16384LL * v + 536870912LL) >> 16); }

TEST_F(BinaryProtocol, UploadLandsInEachSlotWithItsChaining) {
    ControlClient sim(sandbox_->root() + "/sim/control.sock");
    struct Case {
        uint8_t slot, next_action, when, on_nodata;
        long long n_runs;
        uint32_t control;  // expected slot control word
        Pulse final_state;
    };
    // Slot 0: go on to the other slot (1) at the end (when 1), hold the duration (on_nodata 2).
    // Slot 1: stop (3), repeat the last word when no data (on_nodata 1).
    const Case cases[] = {{0, 1, 1, 2, 3, 0x4D, Pulse{0, 0x5A, 1000, -2000}},
                          {1, 3, 0, 1, 7, 0xB1, Pulse{0, 0x81, -300, 300}}};
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.slot));
        std::vector<Pulse> pulses;
        for (int i = 0; i < 200; ++i)
            pulses.push_back(Pulse{static_cast<uint32_t>(8 * (1 + i % 7)), static_cast<uint8_t>(i + k.slot),
                                   static_cast<int16_t>(i * 100 - 10000), static_cast<int16_t>(k.slot * 77 - i)});
        TcpClient c;
        ASSERT_TRUE(c.connected());
        auto a = c.upload(k.slot, pulses, k.n_runs, k.final_state, k.next_action, k.when, k.on_nodata, 50 + k.slot);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        ASSERT_TRUE(a->has_payload);
        EXPECT_EQ(a->payloadAs<tcp::UploadResult>().value, 0);

        const uint64_t base = k.slot == 0 ? reg::SLOT0_BASE : reg::SLOT1_BASE;
        auto peek = [&](uint32_t offset) {
            auto r = sim.ok("{\"cmd\":\"peek\",\"addr\":" + std::to_string(base + offset) + "}");
            return r.IsObject() && r.HasMember("value") ? r["value"].GetUint64() : ~0ull;
        };
        EXPECT_EQ(peek(reg::slot::CONTROL), k.control);
        EXPECT_EQ(peek(reg::slot::RUNS_LO), static_cast<uint64_t>(k.n_runs - 1));
        EXPECT_EQ(peek(reg::slot::RUNS_HI), 0u);
        EXPECT_EQ(peek(0x18) & 0xFF, +k.final_state.digi);
        EXPECT_EQ(peek(reg::slot::FINAL_ANALOG),
                  neutralCode(k.final_state.ao0) | (uint32_t(neutralCode(k.final_state.ao1)) << 16));

        auto seg = sim.ok("{\"cmd\":\"segments\",\"slot\":" + std::to_string(k.slot) + "}");
        ASSERT_TRUE(seg.IsObject() && seg.HasMember("segments"));
        EXPECT_EQ(peek(reg::slot::SIZE), seg["bytes"].GetUint64());
        const auto& list = seg["segments"];
        ASSERT_GE(list.Size(), pulses.size());
        for (size_t i = 0; i < pulses.size(); ++i) {
            const auto& s = list[static_cast<rapidjson::SizeType>(i)];
            EXPECT_EQ(s[0].GetUint64(), +pulses[i].ticks) << "segment " << i;
            EXPECT_EQ(s[1].GetUint(), +pulses[i].digi) << "segment " << i;
            EXPECT_EQ(s[2].GetUint(), neutralCode(pulses[i].ao0)) << "segment " << i;
            EXPECT_EQ(s[3].GetUint(), neutralCode(pulses[i].ao1)) << "segment " << i;
        }
        if (k.on_nodata == 2) {
            uint64_t whole = peek(reg::slot::DURATION_LO) | (peek(reg::slot::DURATION_HI) << 32);
            EXPECT_EQ(whole, seg["whole_ticks"].GetUint64());
        }
    }
}
