// Binary protocol on TCP port 21328: 32-byte little-endian frames beginning with the magic "KWQZ",
// followed by raw payloads (packed 9-byte pulse records, calibration doubles). It moves large
// sequences to the instrument (stream, upload into a slot) and reads or writes the analog
// calibration.
//
// One listener thread (run_streamHighLevel, see interfaces.h) serves one connection at a time on a
// handler thread (socketThread). The handler receives everything a command carries before it takes
// the device lock, then holds the lock for the device call only, so a slow client never holds up
// the other interfaces.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "device/Pulse.h"
#include "common/types.h"

class Pulser;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the frames are read in place as little-endian words");

namespace tcp {

constexpr uint16_t PORT = 21328;
constexpr uint32_t MAGIC = 0x5A51574B;  // "KWQZ" read as a little-endian word
constexpr int RECEIVE_TIMEOUT_S = 10;   // per receive, inherited by every accepted connection
// A command's payload arrives at an average of at least PAYLOAD_MIN_RATE bytes/s once
// PAYLOAD_GRACE_S have passed since its header (the largest sequence, 18 MB, may take 5 min);
// a slower sender loses the connection, so no client holds the port for longer.
constexpr int PAYLOAD_GRACE_S = 10;
constexpr uint64_t PAYLOAD_MIN_RATE = 64 * 1024;
constexpr int BACKLOG = 50;
constexpr uint64_t MAX_UPLOAD_PULSES = 1000000;
// Longest payload of any command: a stream's sub-header and records.
constexpr uint64_t MAX_PAYLOAD = 32 + 9 * uint64_t(MAX_STREAM_PULSES);
// Upload throttling: a slot is "loaded above L" when it holds more than this many memory commands
// and needs more than L GBit/s.
constexpr uint32_t THROTTLE_SLOT_PULSES = 8000;
constexpr uint64_t THROTTLE_MIN_PULSES = 10000;  // only uploads above this size are throttled
constexpr double THROTTLE_RATE = 9.0;            // GBit/s: receive in paced blocks
constexpr double QOS_RATE = 11.0;                // GBit/s: also lower the processor's memory priority
constexpr size_t THROTTLE_BLOCK = 256;           // records per paced block

enum Command : uint32_t {
    CMD_STREAM = 0,
    CMD_UPLOAD = 0x100,
    CMD_SET_CALIBRATION = 0x101,
    CMD_GET_CALIBRATION = 0x102,
};

enum TcpStatus : uint32_t {
    STATUS_OK = 0,
    STATUS_OUT_OF_RANGE = 1,
    STATUS_OUT_OF_MEMORY = 2,
    STATUS_TRANSFER_ERROR = 3,
    STATUS_UNKNOWN_COMMAND = 4,
    STATUS_TOO_MANY_PULSES = 5,
    STATUS_CALIBRATION_FAILED = 6,
    STATUS_NOT_STARTED = 7,  // CMD_STREAM: loaded, but the start failed (nothing plays)
    STATUS_EMPTY_SEQUENCE = 8,  // CMD_STREAM without pulses: refused, nothing changed
};

#pragma pack(push, 1)
// Request header, sent before every command.
struct CommandHeader {
    uint32_t magic = MAGIC;
    uint32_t tag = 0;      // echoed in the answer
    uint32_t command = 0;  // Command
    uint32_t reserved0 = 0;
    uint64_t length = 0;   // payload bytes following this header
    uint64_t reserved1 = 0;
};

// First 32 bytes of the payload of CMD_STREAM and CMD_UPLOAD; the records follow.
struct SequenceHeader {
    int64_t n_runs = 0;
    uint64_t n_pulses = 0;
    int16_t final_ao0 = 0;
    int16_t final_ao1 = 0;
    uint8_t final_digi = 0;
    uint8_t reserved0[3] = {0, 0, 0};
    uint8_t slot = 0;         // sequences_t (upload only)
    uint8_t next_action = 0;  // next_action_t (upload only)
    uint8_t when = 0;         // when_t (upload only)
    uint8_t on_nodata = 0;    // on_nodata_t (upload only)
    uint32_t reserved1 = 0;
};

// Answer header, one per command; `length` is 32 when an answer payload follows, else 0.
struct CommandAnswer {
    uint32_t magic = MAGIC;
    uint32_t tag = 0;
    uint32_t status = 0;   // TcpStatus
    uint32_t command = 0;
    uint64_t length = 0;
    uint64_t reserved = 0;

    CommandAnswer() = default;
    CommandAnswer(uint32_t tag_, uint32_t status_, uint32_t command_, uint64_t length_)
        : tag(tag_), status(status_), command(command_), length(length_) {}
};

// Answer payload of a successful CMD_UPLOAD: the value `Pulser::upload` returned.
struct UploadResult {
    int32_t value = 0;
    uint8_t reserved[28] = {};
};
#pragma pack(pop)

static_assert(sizeof(CommandHeader) == 32 && sizeof(SequenceHeader) == 32, "request frames are 32 bytes");
static_assert(sizeof(CommandAnswer) == 32 && sizeof(UploadResult) == 32, "answer frames are 32 bytes");
static_assert(sizeof(AnalogCalibData) == 32, "the calibration payload is four doubles");

// The device operations a connection calls. The caller of each holds the device lock.
class StreamDevice {
public:
    virtual ~StreamDevice() = default;
    virtual int stream(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state) = 0;
    virtual int upload(sequences_t slot, const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state,
                       next_action_t next_action, when_t when, on_nodata_t on_nodata) = 0;
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
    int stream(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state) override;
    int upload(sequences_t slot, const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state,
               next_action_t next_action, when_t when, on_nodata_t on_nodata) override;
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

// Serves one connection for the program's `pulser` under `pulser_lock`.
void socketThread(int fd);

void print_streamHighLevel_call(const std::vector<Pulse>& pulses, long long n_runs, const Pulse& final_state);
void print_upload_call(const std::vector<Pulse>& pulses, long long n_runs, const Pulse& final_state, sequences_t slot,
                       next_action_t next_action, when_t when, on_nodata_t on_nodata);
