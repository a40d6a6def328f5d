// Binary protocol on TCP port 21328 (frames, codes and limits: tarvex/BinaryProtocol.h, shared with
// the client library). It moves large sequences to the instrument (stream, upload into a slot)
// and reads or writes the analog calibration.
//
// One listener thread (run_streamHighLevel, see interfaces.h) serves one connection at a time on a
// handler thread (socketThread). The handler never holds the device lock while it receives: a
// sequence's records arrive in chunks of FILL_CHUNK, and while the handler receives the next
// chunks, a second thread of the command's own puts those received into the slot in order, under
// a lock held for one chunk's encoding only. So a slow client never holds up the other
// interfaces, and what is left once the last record has been received is at most FILL_BUFFERS
// chunks (one, unless the encoding lags) and the slot's sizes. Threads: the
// listener, the handler and, during a sequence's records, its encoding thread. Another
// interface's operation on the slots in between ends the fill; the command then answers
// STATUS_OVERTAKEN.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/Pulse.h"
#include "device/Pulser.h"
#include "common/types.h"
#include "tarvex/BinaryProtocol.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frames are read in place as little-endian words");

namespace tcp {

using namespace tarvex::binary;
using TcpStatus = tarvex::binary::Status;
using tarvex::MAX_UPLOAD_PULSES;

constexpr int RECEIVE_TIMEOUT_S = 10;  // per receive, inherited by every accepted connection
// A command's payload arrives at an average of at least PAYLOAD_MIN_RATE bytes/s once
// PAYLOAD_GRACE_S have passed since its header (the largest sequence, 18 MB, may take 5 min);
// a slower sender loses the connection, so no client holds the port for longer.
constexpr int PAYLOAD_GRACE_S = 10;
constexpr uint64_t PAYLOAD_MIN_RATE = 64 * 1024;
constexpr int BACKLOG = 50;
// Once another client waits for the port, the connection served ends unless its next command
// begins within this time of the end of its last one.
constexpr int HANDOVER_MS = 1000;
// Upload throttling: a slot is "loaded above L" when it holds more than this many memory commands
// and needs more than L GBit/s.
constexpr uint32_t THROTTLE_SLOT_PULSES = 8000;
constexpr uint64_t THROTTLE_MIN_PULSES = 10000;  // only uploads above this size are throttled
constexpr double THROTTLE_RATE = 9.0;            // GBit/s: receive in paced blocks
constexpr double QOS_RATE = 11.0;                // GBit/s: also lower the processor's memory priority
constexpr size_t THROTTLE_BLOCK = 256;           // records per paced block
// Records received and encoded per hold of the device lock (a multiple of THROTTLE_BLOCK); each
// of the connection's FILL_BUFFERS receive buffers holds this many.
constexpr size_t FILL_CHUNK = FILL_PIECE;
constexpr size_t FILL_BUFFERS = 4;

static_assert(sizeof(AnalogCalibData) == sizeof(CalibrationPayload), "the calibration payload is four doubles");

// The device operations a connection calls (Pulser's, which state their results). The caller of
// each holds the device lock.
class StreamDevice {
public:
    virtual ~StreamDevice() = default;
    virtual int openStream(long long n_runs, const Pulse& final_state, uint64_t& id) = 0;
    virtual int closeStream(uint64_t id) = 0;
    virtual int openFill(const SlotFill& fill, uint64_t& id) = 0;
    virtual bool fillPulses(uint64_t id, const Pulse* pulses, size_t count) = 0;
    virtual int closeFill(uint64_t id) = 0;
    virtual void dropFill(uint64_t id) = 0;
    virtual SequenceControlData getSequenceControlData(int slot) = 0;
    virtual void set_qos() = 0;
    virtual void reset_qos() = 0;
    virtual AnalogCalibData getAnalogCalibration() = 0;
    virtual int32_t setAnalogCalibration(AnalogCalibData data) = 0;
};

// The instrument itself.
class PulserDevice : public StreamDevice {
public:
    explicit PulserDevice(Pulser& p) : pulser_(p) {}
    int openStream(long long n_runs, const Pulse& final_state, uint64_t& id) override;
    int closeStream(uint64_t id) override;
    int openFill(const SlotFill& fill, uint64_t& id) override;
    bool fillPulses(uint64_t id, const Pulse* pulses, size_t count) override;
    int closeFill(uint64_t id) override;
    void dropFill(uint64_t id) override;
    SequenceControlData getSequenceControlData(int slot) override;
    void set_qos() override;
    void reset_qos() override;
    AnalogCalibData getAnalogCalibration() override;
    int32_t setAnalogCalibration(AnalogCalibData data) override;

private:
    Pulser& pulser_;
};

// Serves one accepted connection until it ends, then closes `fd`. Takes `lock` around every
// device call.
void serveConnection(int fd, StreamDevice& device, std::mutex& lock);

// Accepts connections on a listening socket and serves each with `serve` on its own thread,
// waiting for it to end before the next accept. Time-outs and the failures that belong to a
// single connection or to a passing shortage are retried; any other failure is printed, closes
// the listening socket and returns. `accept_fn` stands for accept(2) (returns a descriptor, or -1
// with errno set).
using AcceptFn = std::function<int(int listen_fd)>;
void acceptLoop(int listen_fd, const AcceptFn& accept_fn, const std::function<void(int fd)>& serve);

// True for the accept failures retried by acceptLoop; `pause` is set for the resource shortages
// that are retried after a short wait.
bool acceptRetryable(int err, bool& pause);

}  // namespace tcp

// Receives exactly `length` bytes with repeated recv calls. Returns 1 when all arrived (also for a
// length of 0 or less), otherwise the last recv result (0: the peer closed, -1: error or time-out).
int RecvAll(int fd, void* buffer, long long length);

class DeviceAccess;
// Serves one connection for the device main handed in.
void socketThread(int fd, DeviceAccess access);

void print_streamHighLevel_call(uint64_t n_pulses, long long n_runs, const Pulse& final_state);
void print_upload_call(uint64_t n_pulses, long long n_runs, const Pulse& final_state, sequences_t slot,
                       next_action_t next_action, when_t when, on_nodata_t on_nodata);
