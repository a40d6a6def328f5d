// tarvex::Client: one instrument, addressed by host name or IPv4 address. Settings, queries and
// run control go over gRPC (port 50051), pulse lists over the binary protocol (port 21328, sent
// straight from the caller's memory), the readback of a slot over HTTP (port 8050).
//
// Every call is bounded: connection and answer time-outs, and a size limit on every reply. A
// failure throws tarvex::Error: Refused with the instrument's own status or result and message,
// Unreachable naming the address and port, Protocol for an answer that breaks the protocol.
// A Client is not thread-safe; use one per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarvex/Error.h"
#include "tarvex/Pulse.h"

namespace tarvex {

enum class TriggerStart : uint32_t { Immediate = 0, Software = 1, Rising = 2, Falling = 3, RisingAndFalling = 4 };
enum class Rearm : uint32_t { Auto = 0, Manual = 1 };
enum class ClockSource : uint32_t { Internal = 0, Ext125MHz = 1, Ext10MHz = 2 };

struct StreamingState {
    uint64_t total_time = 0;  // 8 ns cycles since load enable
    uint64_t streaming_time = 0;
    uint64_t underflow_time = 0;
    uint64_t waiting_data_time = 0;
    uint32_t state = 0;  // 0 to 4
    uint32_t state_condition = 0;
    std::string error_message;
    uint64_t slot_changes = 0;
};

struct SupplyState {
    double efuse_current = 0;  // A
    double v12 = 0;            // V
    double v33 = 0;            // V
};

// As the interfaces see it: offsets as a fraction of full scale, slopes.
struct Calibration {
    double dc_offset_a0 = 0, dc_offset_a1 = 0, slope_a0 = 1, slope_a1 = 1;
};

struct NetworkSettings {
    bool dhcp = false;
    std::string ip, netmask, gateway;
};

// How an uploaded slot chains to what follows (the device's next_action_t, when_t, on_nodata_t).
struct Chaining {
    uint8_t next_action = 0;  // 0 stop, 1 and 2 follow on to the other slot, 3 loop
    uint8_t when = 0;         // 1: change at the end of the current run
    uint8_t on_nodata = 0;    // 1 or 2: what to do when the other slot holds no data
};

// One segment of constant output as a slot plays it: duration and the DAC codes of both outputs.
struct Segment {
    uint64_t ticks = 0;
    uint8_t digi = 0;
    uint16_t code0 = 0, code1 = 0;
};

// Called while a pulse list is sent: bytes sent so far, bytes in all.
using Progress = std::function<void(uint64_t sent, uint64_t total)>;

// The instrument's ports; a tunnel or a NAT may put them elsewhere.
struct Ports {
    uint16_t grpc = GRPC_PORT, http = HTTP_PORT, binary = BINARY_PORT;
};

// Splits "host", "host:port", "[ipv6]" or "[ipv6]:port" into its host and port (left as it is
// when none is given); false when it is not of that form (empty host, port not 1-65535).
bool splitAddress(const std::string& text, std::string& host, uint16_t& port);

class Client {
public:
    // `address`: "host[:port]" or "[ipv6][:port]"; a port given there is the gRPC port.
    // Throws Error(Input) for an address not of that form.
    explicit Client(const std::string& address, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    Ports ports = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const std::string& host() const { return host_; }
    // Time allowed for connecting and for each answer. The answer to a pulse list comes after the
    // device has taken it (an upload waits up to 7 s for a busy slot): keep it above 8 s for uploads.
    std::chrono::milliseconds timeout() const { return timeout_; }

    // ---- pulse lists (binary protocol) ----
    // Plays `n` pulses from `pulses` at once on slot 0, `runs` times (-1: endlessly), then shows
    // `final_state`. Nothing is copied: the records go from `pulses` to the socket.
    void stream(const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state, const Progress& progress = {});
    // Loads a slot without starting it; returns the device's result (0).
    int upload(unsigned slot, const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state,
               const Chaining& chaining, const Progress& progress = {});

    // ---- readback (HTTP): every segment the slot plays, page by page, to `sink` ----
    void readback(unsigned slot, const std::function<void(const std::vector<Segment>&)>& sink);

    // ---- identity and state (gRPC) ----
    std::string serial();
    std::string hostname();
    std::string firmwareVersion();
    std::string hardwareVersion();
    std::string fpgaId();
    std::string temperature();  // as the instrument words it
    SupplyState supply();
    StreamingState streamingState();
    bool isStreaming();
    bool hasSequence();
    bool hasFinished();
    bool underflow();
    uint32_t statusRegister();
    bool isReadyForData(unsigned slot);

    // ---- run control ----
    void reset();
    void reboot();
    void constant(const Pulse& state);
    void forceFinal();
    void startNow();
    int start(unsigned slot, int64_t slot_runs);  // refused when the device's result is negative
    bool rearm();

    // ---- trigger and clock ----
    void setTrigger(TriggerStart start, Rearm rearm);
    TriggerStart triggerStart();
    Rearm triggerRearm();
    void selectClock(ClockSource source);
    ClockSource clock();
    int setClockReference(double mhz);  // refused when the result is negative
    int shiftClockPhase(int steps);     // likewise
    void setSquareWave(uint8_t outputs);

    // ---- settings kept on the instrument ----
    NetworkSettings network(bool permanent);
    // Stores (and, unless `testmode`, reboots with) the settings; refused for a bad address.
    void setNetwork(const NetworkSettings& settings, bool testmode);
    void applyNetwork();
    void setHostname(const std::string& name);
    Calibration calibration();
    void setCalibration(const Calibration& calibration);  // reboots the instrument

private:
    struct Grpc;
    Grpc& grpc();
    int sendList(uint32_t command, const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state, unsigned slot,
                 const Chaining& chaining, const Progress& progress);

    template <class Send>
    int unlessBusy(Send send);
    std::string host_;
    Ports ports_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<Grpc> grpc_;
};

// "address:port" as the library names an endpoint in its errors.
std::string endpoint(const std::string& host, uint16_t port);

}  // namespace tarvex
