// The real pulserd (sim build) as a host sees it: two slots uploaded with chaining over the binary
// protocol, started and watched over gRPC, triggered by an edge injected through the simulator's
// control channel and by software, and the slots' decoded segments read back through the channel.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "support/control_client.h"
#include "support/netns.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/tcp_client.h"
#include "tarvex.grpc.pb.h"

using namespace testsupport;

namespace {

[[maybe_unused]] const bool own_namespace = (reexecInOwnNetworkNamespace(), true);

bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        usleep(2000);
    }
    return pred();
}

int upload(const std::vector<Pulse>& seq, uint8_t slot, uint8_t next_action) {
    TcpClient c;
    if (!c.connected()) return -100;
    auto head = TcpClient::sequenceHeader(seq.size(), 1, Pulse{0, 0, 0, 0}, slot, next_action);
    if (!c.sendSequence(tcp::CMD_UPLOAD, 7, head, seq.data(), seq.size())) return -101;
    auto answer = c.readAnswer();
    if (!answer || answer->header.status != tcp::STATUS_OK || !answer->has_payload) return -102;
    return answer->payloadAs<tcp::UploadResult>().value;
}

TEST(PlaybackEndToEnd, TwoChainedSlotsStartedTriggeredAndWatched) {
    Sandbox sandbox;
    Process server({program("pulserd")}, {"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
    ASSERT_TRUE(server.waitForOutput("Listening for binary stream on port 21328...\n")) << server.output();
    ASSERT_TRUE(waitForPort(50051));
    ControlClient ctl(sandbox.root() + "/sim/control.sock");
    ASSERT_TRUE(eventually([&] { return !ctl.send("{\"cmd\":\"help\"}").empty(); }));

    auto channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    auto stub = tarvex::Tarvex::NewStub(channel);
    auto call = [&](auto method, const auto& request, auto& reply) {
        grpc::ClientContext ctx;
        ctx.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
        return ((*stub).*method)(&ctx, request, &reply).ok();
    };
    tarvex::VoidMessage nothing;
    tarvex::TarvexReply yes_no;
    auto ask = [&](auto method) {
        tarvex::TarvexReply r;
        EXPECT_TRUE(call(method, nothing, r));
        return r.value();
    };
    auto streaming_state = [&] {
        tarvex::StreamingStateData s;
        EXPECT_TRUE(call(&tarvex::Tarvex::Stub::getStreamingState, nothing, s));
        return s;
    };

    tarvex::TriggerMessage trig;
    trig.set_start(tarvex::TriggerMessage::HARDWARE_RISING);
    trig.set_mode(tarvex::TriggerMessage::NORMAL);
    ASSERT_TRUE(call(&tarvex::Tarvex::Stub::setTrigger, trig, yes_no));

    // Slot 0 (followed by slot 1) and slot 1 (one second, then finished).
    const std::vector<Pulse> first{{20, 0x01, 0, 0}, {5, 0x03, 0, 0}, {7, 0x00, 0, 0}};
    const std::vector<Pulse> second{{1000000000, 0x80, 32767, -32768}};
    ASSERT_EQ(upload(first, 0, 1), 0);
    ASSERT_EQ(upload(second, 1, 0), 0);
    EXPECT_EQ(ask(&tarvex::Tarvex::Stub::hasSequence), 1u);

    auto seg = ctl.ok("{\"cmd\":\"segments\",\"slot\":0}");
    ASSERT_EQ(seg["segments"].Size(), 3u);
    const uint64_t expect[3][2] = {{20, 0x01}, {5, 0x03}, {7, 0x00}};
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(seg["segments"][i][0].GetUint64(), expect[i][0]);
        EXPECT_EQ(seg["segments"][i][1].GetUint64(), expect[i][1]);
        EXPECT_EQ(seg["segments"][i][2].GetUint64(), 0x2000u);
    }
    seg = ctl.ok("{\"cmd\":\"segments\",\"slot\":1}");
    ASSERT_EQ(seg["segments"].Size(), 1u);
    EXPECT_EQ(seg["segments"][0][0].GetUint64(), 1000000000u);
    EXPECT_EQ(seg["segments"][0][1].GetUint64(), 0x80u);

    tarvex::StartMessage start;
    start.set_slot_nr(0);
    start.set_slots_to_run(-1);
    tarvex::TarvexIntReply started;
    ASSERT_TRUE(call(&tarvex::Tarvex::Stub::start, start, started));
    EXPECT_EQ(started.value(), 0);
    EXPECT_EQ(ask(&tarvex::Tarvex::Stub::isStreaming), 0u);
    auto ss = streaming_state();
    EXPECT_EQ(ss.state(), 3u);
    EXPECT_EQ(ss.state_condition(), 0u);

    // A rising edge from outside; slot 0 hands over to slot 1, which plays for a second.
    EXPECT_TRUE(ctl.ok("{\"cmd\":\"trigger\",\"edge\":\"rising\"}")["started"].GetBool());
    bool seen_streaming = false;
    ASSERT_TRUE(eventually([&] {
        if (ask(&tarvex::Tarvex::Stub::isStreaming) == 1u && streaming_state().state() == 2u) seen_streaming = true;
        return ask(&tarvex::Tarvex::Stub::hasFinished) == 1u;
    }));
    EXPECT_TRUE(seen_streaming);
    ss = streaming_state();
    EXPECT_EQ(ss.state(), 0u);
    EXPECT_EQ(ss.state_condition(), 3u);
    EXPECT_EQ(ss.slot_changes(), 1u);
    EXPECT_EQ(ss.streaming_time(), 4u + 125000000u);
    EXPECT_EQ(ss.error_message(), "");

    // Rearmed by itself: the software trigger plays both slots again.
    ASSERT_TRUE(call(&tarvex::Tarvex::Stub::startNow, nothing, yes_no));
    EXPECT_EQ(ask(&tarvex::Tarvex::Stub::isStreaming), 1u);
    ASSERT_TRUE(eventually([&] { return ask(&tarvex::Tarvex::Stub::hasFinished) == 1u; }));
    EXPECT_EQ(streaming_state().slot_changes(), 2u);

    // An injected underflow shows through every query.
    ctl.ok("{\"cmd\":\"underflow\"}");
    EXPECT_EQ(ask(&tarvex::Tarvex::Stub::getUnderflow), 1u);
    EXPECT_EQ(streaming_state().error_message(), "Underflow");
    EXPECT_EQ(upload(first, 0, 0), -1);

    EXPECT_EQ(server.stop(SIGTERM), 128 + SIGTERM);
}

}  // namespace
