// The binary protocol's connection handling in-process: status codes from device failures,
// upload throttling, the lock discipline, and the accept loop's handling of accept failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "support/device.h"
#include "support/tcp_client.h"
#include "interfaces/tcp/tcp_protocol.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::TcpClient;

namespace {

// A device whose answers and failures the test chooses. Every call checks that the handler holds
// the device lock. The test reaches the scripted fields through under(), with the device lock, as
// the handler does.
class ScriptedDevice : public tcp::StreamDevice {
public:
    explicit ScriptedDevice(std::mutex& lock) : lock_(lock) {}

    int openStream(long long n_runs, const Pulse& final_state, uint64_t& id) override {
        return open("stream", SlotFill{0, n_runs, final_state, 0, 0, 0}, {}, id);
    }
    int openFill(const SlotFill& f, uint64_t& id) override {
        return open("upload", f, {f.slot, f.next_action, f.when, f.on_nodata}, id);
    }
    bool fillPulses(uint64_t id, const Pulse* pulses, size_t count) override {
        call("");
        ++fills;
        if (dropped != 0) filled_after_drop = true;
        while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string what = std::exchange(throw_next, std::string());
        if (what == "range") throw std::out_of_range("sequence does not fit");
        if (what == "alloc") throw std::bad_alloc();
        if (what == "overtaken") return false;
        EXPECT_EQ(id, 7u);
        last_pulses.insert(last_pulses.end(), pulses, pulses + count);
        return true;
    }
    int closeStream(uint64_t) override { return call(""), 0; }
    int closeFill(uint64_t) override { return call(""), upload_result; }
    void dropFill(uint64_t id) override {
        call("");
        dropped = id;
    }
    SequenceControlData getSequenceControlData(int slot) override {
        call("getSequenceControlData");
        return slots[slot];
    }
    void set_qos() override { call("set_qos"); }
    void reset_qos() override { call("reset_qos"); }
    AnalogCalibData getAnalogCalibration() override {
        call("getAnalogCalibration");
        return calibration;
    }
    int32_t setAnalogCalibration(AnalogCalibData data) override {
        call("setAnalogCalibration");
        calibration = data;
        return set_calibration_result;
    }

    template <class F>
    void under(F f) {
        std::lock_guard<std::mutex> g(lock_);
        f();
    }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> g(calls_lock_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard<std::mutex> g(calls_lock_);
        calls_.clear();
    }

    std::string throw_next;  // "range" or "alloc": the next piece throws; "overtaken": it is refused
    int upload_result = 0;
    int32_t set_calibration_result = 0;
    SequenceControlData slots[2];
    AnalogCalibData calibration;
    std::vector<Pulse> last_pulses;
    long long last_runs = 0;
    Pulse last_final{};
    std::vector<uint32_t> last_flags;
    std::atomic<bool> unlocked_call{false};
    std::atomic<bool> hold{false};  // fillPulses waits while set (an encoding that takes long)
    std::atomic<int> fills{0};
    uint64_t dropped = 0;  // the fill last dropped
    bool filled_after_drop = false;

private:
    void call(const std::string& name) {
        // Asked from another thread: the caller itself may not try a lock it holds.
        bool free = std::async(std::launch::async, [this] {
                        if (!lock_.try_lock()) return false;
                        lock_.unlock();
                        return true;
                    }).get();
        if (free) unlocked_call = true;
        std::lock_guard<std::mutex> g(calls_lock_);
        if (!name.empty()) calls_.push_back(name);
    }
    int open(const char* name, const SlotFill& f, std::vector<uint32_t> flags, uint64_t& id) {
        call(name);
        last_pulses.clear();
        last_runs = f.n_runs;
        last_final = f.final_state;
        if (!flags.empty()) last_flags = std::move(flags);
        id = 7;
        return 0;
    }
    std::mutex& lock_;
    std::mutex calls_lock_;
    std::vector<std::string> calls_;
};

// A listening socket on an ephemeral loopback port; `timeout_s` is the receive time-out the
// connections inherit (0: none).
int listenLoopback(uint16_t& port, int timeout_s = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    if (timeout_s > 0) {
        timeval tv{timeout_s, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    listen(fd, tcp::BACKLOG);
    return fd;
}

// The accept loop on a loopback port serving `device`; shutting the listening socket down makes
// accept fail for good, which ends the loop.
class LoopbackServer {
public:
    LoopbackServer(tcp::StreamDevice& device, std::mutex& lock, int timeout_s = 0) {
        fd_ = listenLoopback(port_, timeout_s);
        thread_ = std::thread([this, &device, &lock] {
            tcp::acceptLoop(
                fd_, [](int l) { return accept4(l, nullptr, nullptr, SOCK_CLOEXEC); },
                [&device, &lock](int fd) { tcp::serveConnection(fd, device, lock); });
        });
    }
    ~LoopbackServer() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

std::vector<Pulse> somePulses(size_t n) {
    std::vector<Pulse> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = Pulse{static_cast<uint32_t>(8 + i), static_cast<uint8_t>(i), static_cast<int16_t>(i * 3),
                     static_cast<int16_t>(-static_cast<int>(i))};
    return v;
}

bool samePulses(const std::vector<Pulse>& a, const std::vector<Pulse>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Pulse)) == 0;
}

class TcpConnection : public ::testing::Test {
protected:
    std::mutex lock;
    ScriptedDevice device{lock};
    LoopbackServer server{device, lock};
};

}  // namespace

TEST_F(TcpConnection, DeviceFailuresBecomeStatusCodesAndTheConnectionGoesOn) {
    TcpClient c(server.port());
    ASSERT_TRUE(c.connected());
    auto pulses = somePulses(20);
    const Pulse final_state{0, 0x81, -5, 7};

    testing::internal::CaptureStdout();
    struct Case {
        uint32_t command;
        const char* thrown;
        tcp::TcpStatus status;
    };
    const Case cases[] = {
        {tcp::CMD_STREAM, "range", tcp::STATUS_OUT_OF_RANGE},  {tcp::CMD_STREAM, "alloc", tcp::STATUS_OUT_OF_MEMORY},
        {tcp::CMD_STREAM, "overtaken", tcp::STATUS_OVERTAKEN}, {tcp::CMD_UPLOAD, "range", tcp::STATUS_OUT_OF_RANGE},
        {tcp::CMD_UPLOAD, "alloc", tcp::STATUS_OUT_OF_MEMORY}, {tcp::CMD_UPLOAD, "overtaken", tcp::STATUS_OVERTAKEN}};
    uint32_t tag = 10;
    std::optional<TcpClient::Answer> a;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.thrown);
        device.under([&] { device.throw_next = k.thrown; });
        a = k.command == tcp::CMD_STREAM ? c.stream(pulses, 3, final_state, ++tag)
                                         : c.upload(1, pulses, 2, final_state, 1, 2, 3, ++tag);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, k.status);
        EXPECT_EQ(a->header.command, k.command);
        EXPECT_EQ(a->header.tag, tag);
        EXPECT_EQ(a->header.length, 0u) << "a failed command carries no result";
    }
    for (int32_t result : {-1, 1}) {  // the device refuses; the device reports a success of its own
        device.under([&] { device.set_calibration_result = result; });
        a = c.setCalibration(AnalogCalibData{0.1, 0.2, 1.1, 0.9}, ++tag);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, result < 0 ? tcp::STATUS_CALIBRATION_FAILED : tcp::STATUS_OK);
    }

    // After all that the connection still serves a good upload, whose result comes back.
    device.under([&] { device.upload_result = 42; });
    a = c.upload(1, pulses, 5, final_state, 1, 2, 3, 17);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->header.status, tcp::STATUS_OK);
    ASSERT_TRUE(a->has_payload);
    EXPECT_EQ(a->payloadAs<tcp::UploadResult>().value, 42);
    device.under([&] {
        EXPECT_TRUE(samePulses(device.last_pulses, pulses));
        EXPECT_EQ(device.last_runs, 5);
        EXPECT_EQ(std::memcmp(&device.last_final, &final_state, sizeof(Pulse)), 0);
        EXPECT_EQ(device.last_flags, (std::vector<uint32_t>{1, 1, 2, 3}));
    });

    EXPECT_THAT(out, HasSubstr("out of memory sequence does not fit\n"));
    EXPECT_THAT(out, HasSubstr("out of memory std::bad_alloc\n"));
    EXPECT_THAT(out, HasSubstr("StreamHighLevel call: len: 20, n_runs: 3, final: 0|129|-5|7\n"));
    EXPECT_THAT(out, HasSubstr("StreamHighLevel call: len: 20, n_runs: 5, Sequence number: 1, Stream_in_flags: "
                               "1|2|3, final: 0|129|-5|7\nUploading sequence data...\n"));
    EXPECT_THAT(out, HasSubstr("Receive calibration values...\ndata structure of calibration data finished\n"));
    EXPECT_FALSE(device.unlocked_call) << "every device call runs under the device lock";
}

// Framing: the calibration answer byte for byte, a get's payload dropped unread (never run as
// the commands it may hold), unknown commands answered, the pulse-count limits checked on the
// sub-header (before any record), the payload length accounted exactly, and a wrong magic ending
// the connection without an answer.
TEST_F(TcpConnection, FramesLimitsAndPayloadAccounting) {
    device.under([&] { device.calibration = AnalogCalibData{0.0, 0.0, 1.0, 1.0}; });
    {
        TcpClient c(server.port());
        auto h = TcpClient::header(7, tcp::CMD_GET_CALIBRATION, 64);
        auto hidden = TcpClient::header(8, tcp::CMD_SET_CALIBRATION, 32);
        const AnalogCalibData data;
        ASSERT_TRUE(
            c.sendPieces({{&h, sizeof(h)}, {&hidden, sizeof(hidden)}, {const_cast<AnalogCalibData*>(&data), 32}}));
        uint8_t got[64], want[64] = {'K', 'W', 'Q', 'Z', 7, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0, 0, 32};
        ASSERT_TRUE(c.recvExact(got, 64, std::chrono::steady_clock::now() + std::chrono::seconds(20)));
        const double neutral[4] = {0.0, 0.0, 1.0, 1.0};
        std::memcpy(want + 32, neutral, sizeof(neutral));
        EXPECT_EQ(std::vector<uint8_t>(got, got + 64), std::vector<uint8_t>(want, want + 64));
        h = TcpClient::header(9, 0x103, 0);
        ASSERT_TRUE(c.sendBytes(&h, sizeof(h)));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_UNKNOWN_COMMAND);
        EXPECT_EQ(a->header.command, 0x103u);
        EXPECT_EQ(a->header.tag, 9u);
        EXPECT_EQ(c.getCalibration(10).value().header.status, tcp::STATUS_OK) << "the connection goes on";
        EXPECT_EQ(device.calls(), std::vector<std::string>(2, "getAnalogCalibration"));
    }
    testing::internal::CaptureStdout();
    auto pulses = somePulses(MAX_STREAM_PULSES + 1);
    struct Case {
        uint32_t command;
        size_t n, records;       // announced and sent records
        long long delta, extra;  // payload length beyond 32 + 9 n, bytes sent after the records
        tcp::TcpStatus status;
        bool goes_on;
    };
    const Case cases[] = {
        {tcp::CMD_UPLOAD, tcp::MAX_UPLOAD_PULSES + 1, 0, 0, 0, tcp::STATUS_TOO_MANY_PULSES, false},
        {tcp::CMD_UPLOAD, tcp::MAX_UPLOAD_PULSES, tcp::MAX_UPLOAD_PULSES, 0, 0, tcp::STATUS_OK, true},
        {tcp::CMD_STREAM, MAX_STREAM_PULSES + 1, 0, 0, 0, tcp::STATUS_TOO_MANY_PULSES, false},
        {tcp::CMD_STREAM, MAX_STREAM_PULSES, MAX_STREAM_PULSES, 0, 0, tcp::STATUS_OK, true},
        {tcp::CMD_STREAM, 1000, 0, -1, 0, tcp::STATUS_TRANSFER_ERROR, false},  // one byte short
        {tcp::CMD_UPLOAD, 1000, 0, -1, 0, tcp::STATUS_TRANSFER_ERROR, false},
        {tcp::CMD_STREAM, 0, 0, 0, 0, tcp::STATUS_EMPTY_SEQUENCE, true},
        {tcp::CMD_STREAM, 1000, 1000, 5, 5, tcp::STATUS_OK, true},  // extra bytes read and dropped
        {tcp::CMD_UPLOAD, 1000, 1000, 5, 5, tcp::STATUS_OK, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.command) + " n=" + std::to_string(k.n) + " delta=" + std::to_string(k.delta));
        TcpClient c(server.port());
        auto seq = TcpClient::sequenceHeader(k.n, 1, Pulse{0, 0, 0, 0});
        ASSERT_TRUE(c.sendSequence(k.command, 21, seq, pulses.data(), k.records,
                                   9 * (long long)(k.n - k.records) + k.delta, size_t(k.extra)));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, k.status);
        EXPECT_EQ(a->header.tag, 21u);
        if (k.goes_on) {
            EXPECT_EQ(c.getCalibration(22).value().header.tag, 22u) << "extra bytes taken for a header";
        } else {
            EXPECT_TRUE(c.waitClosed(std::chrono::seconds(10)));
        }
    }
    {  // a calibration payload of the wrong length
        TcpClient c(server.port());
        auto h = TcpClient::header(34, tcp::CMD_SET_CALIBRATION, 40);
        AnalogCalibData data;
        uint8_t extra[8] = {};  // 40 announced, 32 expected
        ASSERT_TRUE(c.sendPieces({{&h, sizeof(h)}, {&data, sizeof(data)}, {extra, sizeof(extra)}}));
        EXPECT_EQ(c.readAnswer().value().header.status, tcp::STATUS_TRANSFER_ERROR);
        EXPECT_TRUE(c.waitClosed(std::chrono::seconds(10)));
    }
    {  // a wrong magic ends the connection without any answer
        TcpClient c(server.port());
        auto h = TcpClient::header(1, tcp::CMD_GET_CALIBRATION, 0);
        h.magic = 0x5A51574C;
        ASSERT_TRUE(c.sendBytes(&h, sizeof(h)));
        uint8_t byte;
        ASSERT_TRUE(c.readable(std::chrono::seconds(20)));
        EXPECT_EQ(recv(c.fd(), &byte, 1, 0), 0) << "closed, nothing sent";
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(TcpConnection, UploadIsThrottledOnlyWhileASlotPlaysAFastLongSequence) {
    TcpClient c(server.port());
    ASSERT_TRUE(c.connected());
    const Pulse final_state{0, 0, 0, 0};
    auto big = somePulses(10001 + 300);  // not a whole number of paced blocks
    auto small = somePulses(10000);

    struct Case {
        SequenceControlData slot0, slot1;
        const std::vector<Pulse>* pulses;
        bool paced, qos;
    };
    const Case cases[] = {
        {{0, 8001, 0, 9.5}, {}, &big, true, false},     {{}, {0, 8001, 0, 11.5}, &big, true, true},
        {{0, 8001, 0, 11.5}, {}, &small, false, false},  // small uploads are never throttled
        {{0, 8000, 0, 20.0}, {}, &big, false, false},    // short sequences never count
        {{0, 9000, 0, 9.0}, {}, &big, false, false},     // the rate must be above the limit
    };
    for (const auto& k : cases) {
        device.under([&] {
            device.slots[0] = k.slot0;
            device.slots[1] = k.slot1;
        });
        device.clearCalls();
        testing::internal::CaptureStdout();
        auto a = c.upload(0, *k.pulses, 1, final_state);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        device.under([&] { EXPECT_TRUE(samePulses(device.last_pulses, *k.pulses)); });
        EXPECT_THAT(out, HasSubstr(k.paced ? "Throtteling upload\n" : "Normal upload\n"));
        std::vector<std::string> expected{"getSequenceControlData", "getSequenceControlData", "upload", "reset_qos"};
        if (k.qos) expected.insert(expected.begin() + 2, "set_qos");
        EXPECT_EQ(device.calls(), expected) << "slot rate " << k.slot0.dataRate << "/" << k.slot1.dataRate;
    }
}

TEST_F(TcpConnection, CutOffRecordsEndTheConnectionAndResetTheQos) {
    device.under([&] { device.slots[0] = SequenceControlData{0, 9000, 0, 12.0}; });
    for (bool paced : {true, false}) {
        if (!paced) device.under([&] { device.slots[0] = SequenceControlData(); });
        device.clearCalls();
        TcpClient c(server.port());
        ASSERT_TRUE(c.connected());
        auto pulses = somePulses(20000);
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, Pulse{0, 0, 0, 0});
        // Only part of the records, then the client stops sending.
        ASSERT_TRUE(c.sendSequence(tcp::CMD_UPLOAD, 9, seq, pulses.data(), 3000, 9 * 17000));
        shutdown(c.fd(), SHUT_WR);
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_TRANSFER_ERROR);
        EXPECT_TRUE(c.waitClosed(std::chrono::seconds(10)));
        auto calls = device.calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "upload"), 0);
        EXPECT_EQ(calls.back(), "reset_qos");
    }
}

size_t threadCount() {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task"); it != std::filesystem::directory_iterator();
         ++it)
        ++n;
    return n;
}

// A sender killed while a chunk is still being encoded: the chunks that arrived go in first,
// then the fill is dropped; the encoding thread is gone and the next stream is served.
TEST_F(TcpConnection, ASenderKilledWhileAChunkEncodesEndsCleanly) {
    const size_t idle_threads = threadCount();
    const auto pulses = somePulses(3 * tcp::FILL_CHUNK);
    device.hold = true;
    {
        TcpClient c(server.port());
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, Pulse{});
        ASSERT_TRUE(c.sendSequence(tcp::CMD_STREAM, 2, seq, pulses.data(), 2 * tcp::FILL_CHUNK + 10,
                                   9 * (tcp::FILL_CHUNK - 10)));
        for (int i = 0; i < 2000 && device.fills == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(device.fills, 1);
    }
    device.hold = false;
    for (int i = 0; i < 2000 && threadCount() != idle_threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(threadCount(), idle_threads) << "the connection's threads have ended";
    device.under([&] {
        EXPECT_EQ(device.dropped, 7u);
        EXPECT_FALSE(device.filled_after_drop);
        EXPECT_EQ(device.last_pulses.size(), 2 * tcp::FILL_CHUNK);
    });
    TcpClient c(server.port());
    auto a = c.stream(somePulses(5), 1, Pulse{}, 3);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->header.status, tcp::STATUS_OK);
}

// Accept failures that belong to one connection or to a passing shortage do not end the
// listener; anything else does, with its message.
TEST(TcpAcceptLoop, RetriesPassingFailuresAndEndsOnOthers) {
    std::mutex lock;
    ScriptedDevice device(lock);
    uint16_t port = 0;
    int listen_fd = listenLoopback(port);
    ASSERT_GE(listen_fd, 0);

    const int passing[] = {EAGAIN,       EINTR,      ECONNABORTED, ENETDOWN, EPROTO, ENOPROTOOPT, EHOSTDOWN, ENONET,
                           EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH,  EMFILE,   ENFILE, ENOBUFS,     ENOMEM};
    std::mutex script_lock;
    std::deque<int> script(std::begin(passing), std::end(passing));
    script.push_back(0);      // then a real connection
    script.push_back(EBADF);  // then a failure for good
    std::atomic<int> accepts{0};

    testing::internal::CaptureStdout();
    std::thread listener([&] {
        tcp::acceptLoop(
            listen_fd,
            [&](int l) {
                ++accepts;
                int next;
                {
                    std::lock_guard<std::mutex> g(script_lock);
                    next = script.front();
                    script.pop_front();
                }
                if (next == 0) return accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
                errno = next;
                return -1;
            },
            [&](int fd) { tcp::serveConnection(fd, device, lock); });
    });
    {
        TcpClient c(port);
        device.under([&] { device.calibration = AnalogCalibData{0.5, 0.25, 2.0, 0.5}; });
        auto h = TcpClient::header(3, tcp::CMD_GET_CALIBRATION, 0);
        std::optional<TcpClient::Answer> a;
        if (c.connected() && c.sendBytes(&h, sizeof(h))) a = c.readAnswer(std::chrono::seconds(10));
        EXPECT_TRUE(a) << "the listener survived every passing failure";
        EXPECT_EQ(a ? a->payloadAs<AnalogCalibData>().dc_offset_a0 : -1.0, 0.5);
    }
    listener.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(accepts.load(), static_cast<int>(std::size(passing)) + 2);
    EXPECT_THAT(out, HasSubstr("ERROR on accept\nBad file descriptor\n"));
    EXPECT_THAT(out, HasSubstr("ERROR on accept\nToo many open files\n")) << "shortages are reported";
    EXPECT_THAT(out, Not(HasSubstr("Software caused connection abort"))) << "a peer's failure is not";
    EXPECT_THAT(out, HasSubstr("Exit socketThread \n"));
    // The listening socket is closed: connecting to the port is refused now.
    TcpClient late(port);
    EXPECT_FALSE(late.connected());
}

// A client that stops in the middle of its records holds no lock: the device stays usable from
// other threads, and the command completes once the records arrive.
class TcpStall : public testsupport::DeviceTest {};

TEST_F(TcpStall, StalledPayloadDoesNotHoldTheDeviceLock) {
    std::mutex lock;
    tcp::PulserDevice device(*pulser);
    LoopbackServer server(device, lock, 30);
    auto pulses = somePulses(5000);

    for (uint32_t command : {tcp::CMD_STREAM, tcp::CMD_UPLOAD}) {
        TcpClient c(server.port());
        ASSERT_TRUE(c.connected());
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, Pulse{0, 0, 0, 0});
        tcp::CommandHeader h = TcpClient::header(5, command, sizeof(seq) + pulses.size() * sizeof(Pulse));
        ASSERT_TRUE(c.sendPieces({{&h, sizeof(h)}, {&seq, sizeof(seq)}, {pulses.data(), 2000 * sizeof(Pulse)}}));
        // Let the handler reach the records; under the old behaviour it would now hold the lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        auto other = std::async(std::launch::async, [&] {
            std::lock_guard<std::mutex> g(lock);
            return pulser->getStreamingState().state;
        });
        // The client sends nothing more until the other call is through (or 20 s pass).
        EXPECT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "command " << command << ": another thread could not get the device lock";
        other.wait();

        ASSERT_TRUE(c.sendBytes(pulses.data() + 2000, (pulses.size() - 2000) * sizeof(Pulse)));
        auto a = c.readAnswer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        EXPECT_EQ(a->header.tag, 5u);
    }
}

// A stream trickling in fills slot 0 chunk by chunk, the device lock free in between. Another
// interface's operation meanwhile ends its fill: the stream answers STATUS_OVERTAKEN and the slots
// hold what that operation left. A sender killed halfway leaves slot 0 empty. Either way the port
// serves what comes next.
TEST_F(TcpStall, ATricklingStreamIsOvertakenOrDroppedCleanly) {
    std::mutex lock;
    pulser->device_lock = &lock;
    tcp::PulserDevice device(*pulser);
    LoopbackServer server(device, lock, 30);
    const auto pulses = somePulses(tcp::FILL_CHUNK + 500), other = somePulses(3);
    auto under = [&](auto f) {
        std::lock_guard<std::mutex> g(lock);
        return f();
    };
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "overtaken");
        ASSERT_EQ(under([&] { return pulser->upload(1, other, 1, Pulse{}, 0, 0, 0); }), 0);
        auto c = std::make_unique<TcpClient>(server.port());
        auto seq = TcpClient::sequenceHeader(pulses.size(), 1, Pulse{});
        ASSERT_TRUE(c->sendSequence(tcp::CMD_STREAM, 4, seq, pulses.data(), tcp::FILL_CHUNK, 9 * 500));
        // The first chunk opened the fill: the stream has stopped the device, slot 1 is empty.
        for (int i = 0; i < 2000 && under([&] { return pulser->hasSequence(); }); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(under([&] { return pulser->hasSequence(); }));
        if (killed) {
            c.reset();
            c = std::make_unique<TcpClient>(server.port());
        } else {
            ASSERT_EQ(under([&] { return pulser->upload(1, other, 1, Pulse{}, 0, 0, 0); }), 0);
            ASSERT_TRUE(c->sendBytes(pulses.data() + tcp::FILL_CHUNK, 500 * sizeof(Pulse)));
            auto a = c->readAnswer();
            ASSERT_TRUE(a);
            EXPECT_EQ(a->header.status, tcp::STATUS_OVERTAKEN);
            EXPECT_EQ(slotWord(0, reg::slot::CONTROL) & 1u, 0u) << "slot 0 was never enabled half written";
            EXPECT_EQ(slotWord(1, reg::slot::CONTROL) & 1u, 1u) << "slot 1 holds the other upload";
        }
        auto a = c->stream(other, 1, Pulse{}, 6);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.status, tcp::STATUS_OK);
        EXPECT_TRUE(under([&] { return pulser->hasSequence(); }));
    }
}
