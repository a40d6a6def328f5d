// The binary protocol of the real pulserd (sim build) on its port 21328: uploads land in their
// slot with their chaining, and a stream plays. Framing, limits and status codes are pinned
// in-process (tcp_protocol_test); one connection at a time and idle clients, in e2e_hostile_test.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "device/Pulse.h"
#include "hardware/registers.h"
#include "support/control_client.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/tcp_client.h"

using namespace testsupport;

TEST(BinaryProtocol, UploadsLandInTheirSlotAndAStreamPlays) {
    SandboxedPulserd s;
    ControlClient sim(s.sandbox.root() + "/sim/control.sock");
    struct Case {
        uint8_t slot, next_action, when, on_nodata;
        long long n_runs;
        uint32_t control;  // expected slot control word
        Pulse final_state;
    };
    // Slot 0: go on to slot 1 at the end (when 1), hold the duration (on_nodata 2).
    // Slot 1: stop (3), repeat the last word when no data (on_nodata 1).
    const Case cases[] = {{0, 1, 1, 2, 3, 0x4D, Pulse{0, 0x5A, 1000, -2000}},
                          {1, 3, 0, 1, 7, 0xB1, Pulse{0, 0x81, -300, 300}}};
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.slot));
        std::vector<Pulse> pulses;
        for (int i = 0; i < 200; ++i)
            pulses.push_back(Pulse{uint32_t(8 * (1 + i % 7)), uint8_t(i + k.slot), int16_t(i * 100 - 10000),
                                   int16_t(k.slot * 77 - i)});
        TcpClient c;
        auto a = c.upload(k.slot, pulses, k.n_runs, k.final_state, k.next_action, k.when, k.on_nodata, 50 + k.slot);
        ASSERT_TRUE(a) << s.process->output();
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        ASSERT_TRUE(a->has_payload);
        EXPECT_EQ(a->payloadAs<tcp::UploadResult>().value, 0);

        const uint64_t base = k.slot == 0 ? reg::SLOT0_BASE : reg::SLOT1_BASE;
        auto peek = [&](uint32_t offset) {
            auto r = sim.ok("{\"cmd\":\"peek\",\"addr\":" + std::to_string(base + offset) + "}");
            return r.IsObject() && r.HasMember("value") ? r["value"].GetUint64() : ~0ull;
        };
        EXPECT_EQ(peek(reg::slot::CONTROL), k.control);
        EXPECT_EQ(peek(reg::slot::RUNS_LO), uint64_t(k.n_runs - 1));
        EXPECT_EQ(peek(0x18) & 0xFF, +k.final_state.digi);
        ANALOG_TO_BYTES final_codes;
        final_codes.setWithCalibration(k.final_state.ao0, k.final_state.ao1, AnalogCalibDataCorr());
        EXPECT_EQ(peek(reg::slot::FINAL_ANALOG), final_codes.value);
        auto seg = sim.expectPlays(k.slot, pulses);
        ASSERT_TRUE(seg.IsObject() && seg.HasMember("segments"));
        EXPECT_EQ(peek(reg::slot::SIZE), seg["bytes"].GetUint64());
        if (k.on_nodata == 2) {
            EXPECT_EQ(peek(reg::slot::DURATION_LO) | (peek(reg::slot::DURATION_HI) << 32),
                      seg["whole_ticks"].GetUint64());
        }
    }

    TcpClient c;
    auto a = c.stream({{20, 1, 0, 0}, {5, 3, 0, 0}}, 1, Pulse{0, 0x0F, 100, -100}, 22);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->header.status, tcp::STATUS_OK);
    auto seg = sim.ok("{\"cmd\":\"segments\",\"slot\":0}");
    ASSERT_EQ(seg["segments"].Size(), 2u);
    EXPECT_EQ(seg["segments"][1][1].GetUint(), 3u);
    sim.ok("{\"cmd\":\"fill_blocked\",\"on\":true}");  // loaded, never started: not STATUS_OK
    a = TcpClient().stream({{20, 1, 0, 0}}, 1, Pulse{}, 23);
    EXPECT_EQ(a ? a->header.status : 0u, tcp::STATUS_NOT_STARTED);

    // An upload into a busy slot waits without the device lock: JSON-RPC answers meanwhile.
    sim.ok("{\"cmd\":\"fill_blocked\",\"on\":false}");
    sim.ok("{\"cmd\":\"slot_busy\",\"slot\":0,\"on\":true}");
    auto waiting = std::async(std::launch::async, [] { return TcpClient().upload(0, {{20, 1, 0, 0}}, 1, Pulse{}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto reply =
        http_request(8050, "POST", "/json-rpc", R"({"jsonrpc":"2.0","id":1,"method":"getFirmwareVersion"})");
    EXPECT_NE(reply.body.find("\"result\""), std::string::npos) << reply.body;
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "answered while it waits";
    sim.ok("{\"cmd\":\"slot_busy\",\"slot\":0,\"on\":false}");
    a = waiting.get();
    EXPECT_EQ(a && a->has_payload ? a->payloadAs<tcp::UploadResult>().value : -9, 0) << "done once the slot is free";
}
