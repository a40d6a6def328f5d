// The instrument's operations over gRPC (port 50051). Every call has a deadline; replies are
// limited to 64 KiB (the largest, a streaming state, is a few dozen bytes).
#include "tarvex/Client.h"

#include <grpcpp/grpcpp.h>

#include <cmath>

#include "tarvex.grpc.pb.h"

namespace tarvex {

namespace {
constexpr int MAX_REPLY_BYTES = 64 * 1024;
}

struct Client::Grpc {
    std::string endpoint;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<Tarvex::Stub> stub;
};

bool splitAddress(const std::string& text, std::string& host, uint16_t& port) {
    std::string port_text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) return false;
        host = text.substr(1, close - 1);
        if (host.find(':') == std::string::npos) return false;
        port_text = close + 1 < text.size() ? text.substr(close + 2) : "";
        if (close + 1 < text.size() && port_text.empty()) return false;
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
            host = text;  // a bare IPv6 address
            return true;
        }
        host = text.substr(0, colon);
        if (colon != std::string::npos && (port_text = text.substr(colon + 1)).empty()) return false;
    }
    if (host.empty()) return false;
    if (!port_text.empty()) {
        if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) return false;
        const unsigned long p = std::stoul(port_text);
        if (p < 1 || p > 65535) return false;
        port = static_cast<uint16_t>(p);
    }
    return true;
}

Client::Client(const std::string& address, std::chrono::milliseconds timeout, Ports ports)
    : ports_(ports), timeout_(timeout) {
    if (!splitAddress(address, host_, ports_.grpc))
        throw Error(Error::Input, "\"" + address + "\" is not an address: host, host:port, [ipv6] or [ipv6]:port");
}

Client::~Client() = default;

Client::Grpc& Client::grpc() {
    if (!grpc_) {
        grpc_ = std::make_unique<Grpc>();
        grpc_->endpoint = endpoint(host_, ports_.grpc);
        grpc::ChannelArguments args;
        args.SetMaxReceiveMessageSize(MAX_REPLY_BYTES);
        args.SetInt(GRPC_ARG_ENABLE_RETRIES, 0);
        grpc_->channel = grpc::CreateCustomChannel(grpc_->endpoint, grpc::InsecureChannelCredentials(), args);
        grpc_->stub = Tarvex::NewStub(grpc_->channel);
    }
    return *grpc_;
}

namespace {

template <class Request, class Reply>
using Method = grpc::Status (Tarvex::Stub::*)(grpc::ClientContext*, const Request&, Reply*);

// One call with the client's deadline; a failed status becomes an Error.
template <class Request, class Reply>
Reply call(Tarvex::Stub& stub, const std::string& endpoint, std::chrono::milliseconds timeout, const char* what,
           Method<Request, Reply> method, const Request& request = Request()) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + timeout);
    Reply reply;
    const grpc::Status status = (stub.*method)(&context, request, &reply);
    if (status.ok()) return reply;
    const std::string message = status.error_message().empty() ? "" : ": " + status.error_message();
    switch (status.error_code()) {
        case grpc::StatusCode::UNAVAILABLE:
            throw Error(Error::Unreachable, "cannot reach " + endpoint + message, endpoint, status.error_code());
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            throw Error(Error::Unreachable,
                        "no answer to " + std::string(what) + " from " + endpoint + " within " +
                            std::to_string(timeout.count()) + " ms",
                        endpoint, status.error_code());
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
            throw Error(Error::Protocol, endpoint + " answered " + what + " with an oversized reply" + message,
                        endpoint, status.error_code());
        default:
            throw Error(Error::Refused,
                        "the instrument refused " + std::string(what) + " (gRPC status " +
                            std::to_string(status.error_code()) + message + ")",
                        endpoint, status.error_code());
    }
}

// A device result below zero is a refusal.
int checked(int value, const std::string& what, const std::string& endpoint) {
    if (value < 0)
        throw Error(Error::Refused, "the instrument refused " + what + " (result " + std::to_string(value) + ")",
                    endpoint, value);
    return value;
}

}  // namespace

#define TX_CALL(what, method, ...) \
    call(*grpc().stub, grpc().endpoint, timeout_, what, &Tarvex::Stub::method, ##__VA_ARGS__)

std::string Client::serial() { return TX_CALL("getSerial", getSerial).string_value(); }
std::string Client::hostname() { return TX_CALL("getHostname", getHostname).string_value(); }
std::string Client::firmwareVersion() { return TX_CALL("getFirmwareVersion", getFirmwareVersion).string_value(); }
std::string Client::hardwareVersion() { return TX_CALL("getHardwareVersion", getHardwareVersion).string_value(); }
std::string Client::fpgaId() { return TX_CALL("getFPGAID", getFPGAID).string_value(); }
std::string Client::temperature() { return TX_CALL("getTemperature", getTemperature).string_value(); }

SupplyState Client::supply() {
    const auto r = TX_CALL("getSupplyState", getSupplyState);
    return SupplyState{r.efuse_current(), r.v12(), r.v33()};
}

StreamingState Client::streamingState() {
    const auto r = TX_CALL("getStreamingState", getStreamingState);
    StreamingState s;
    s.total_time = r.total_time();
    s.streaming_time = r.streaming_time();
    s.underflow_time = r.underflow_time();
    s.waiting_data_time = r.waiting_data_time();
    s.state = r.state();
    s.state_condition = r.state_condition();
    s.error_message = r.error_message();
    s.slot_changes = r.slot_changes();
    return s;
}

bool Client::isStreaming() { return TX_CALL("isStreaming", isStreaming).value() != 0; }
bool Client::hasSequence() { return TX_CALL("hasSequence", hasSequence).value() != 0; }
bool Client::hasFinished() { return TX_CALL("hasFinished", hasFinished).value() != 0; }
bool Client::underflow() { return TX_CALL("getUnderflow", getUnderflow).value() != 0; }
uint32_t Client::statusRegister() { return TX_CALL("getStatusRegister", getStatusRegister).value(); }

bool Client::isReadyForData(unsigned slot) {
    ReadyForDataMessage m;
    m.set_slot_nr(slot);
    return TX_CALL("isReadyForData", isReadyForData, m).value() != 0;
}

void Client::reset() { TX_CALL("reset", reset); }
void Client::reboot() { TX_CALL("reboot", reboot); }
void Client::forceFinal() { TX_CALL("forceFinal", forceFinal); }
void Client::startNow() { TX_CALL("startNow", startNow); }
bool Client::rearm() { return TX_CALL("rearm", rearm).value() != 0; }

void Client::constant(const Pulse& state) {
    PulseMessage m;
    m.set_ticks(state.ticks);
    m.set_digi(state.digi);
    m.set_ao0(state.ao0);
    m.set_ao1(state.ao1);
    TX_CALL("constant", constant, m);
}

int Client::start(unsigned slot, int64_t slot_runs) {
    StartMessage m;
    m.set_slot_nr(slot);
    m.set_slots_to_run(slot_runs);
    return checked(TX_CALL("start", start, m).value(), "the start of slot " + std::to_string(slot), grpc().endpoint);
}

void Client::setTrigger(TriggerStart start, Rearm rearm) {
    TriggerMessage m;
    m.set_start(static_cast<TriggerMessage::Start>(start));
    m.set_mode(static_cast<TriggerMessage::Mode>(rearm));
    TX_CALL("setTrigger", setTrigger, m);
}

TriggerStart Client::triggerStart() {
    return static_cast<TriggerStart>(TX_CALL("getTriggerStart", getTriggerStart).value());
}
Rearm Client::triggerRearm() { return static_cast<Rearm>(TX_CALL("getTriggerRearm", getTriggerRearm).value()); }

void Client::selectClock(ClockSource source) {
    ClockMessage m;
    m.set_clock_source(static_cast<ClockMessage::Clocking>(source));
    TX_CALL("selectClock", selectClock, m);
}

ClockSource Client::clock() { return static_cast<ClockSource>(TX_CALL("getClock", getClock).value()); }

int Client::setClockReference(double mhz) {
    DrpClkSetMessage m;
    m.set_value(mhz);
    return checked(TX_CALL("setClkParam", setClkParam, m).value(), "the clock reference", grpc().endpoint);
}

int Client::shiftClockPhase(int steps) {
    ClkShiftMessage m;
    m.set_value(steps);
    return checked(TX_CALL("shiftClkPhase", shiftClkPhase, m).value(), "the clock phase shift", grpc().endpoint);
}

void Client::setSquareWave(uint8_t outputs) {
    SetSquareWaveMessage m;
    m.set_digi(outputs);
    TX_CALL("setSquareWave125MHz", setSquareWave125MHz, m);
}

NetworkSettings Client::network(bool permanent) {
    GetNetworkMessage m;
    m.set_permanent(permanent);
    const auto r = TX_CALL("getNetworkConfiguration", getNetworkConfiguration, m);
    return NetworkSettings{r.dhcp(), r.ip(), r.netmask(), r.gateway()};
}

namespace {
void network_result(uint32_t value, const std::string& endpoint) {
    const int result = static_cast<int32_t>(value);
    if (result == 1)
        throw Error(Error::Refused, "the instrument refused the network settings: bad address format (result 1)",
                    endpoint, result);
    checked(result, "the network settings: they could not be stored", endpoint);
}
}  // namespace

void Client::setNetwork(const NetworkSettings& settings, bool testmode) {
    SetNetworkMessage m;
    m.set_dhcp(settings.dhcp);
    m.set_ip(settings.ip);
    m.set_netmask(settings.netmask);
    m.set_gateway(settings.gateway);
    m.set_testmode(testmode);
    network_result(TX_CALL("setNetworkConfiguration", setNetworkConfiguration, m).value(), grpc().endpoint);
}

void Client::applyNetwork() {
    network_result(TX_CALL("applyNetworkConfiguration", applyNetworkConfiguration).value(), grpc().endpoint);
}

void Client::setHostname(const std::string& name) {
    HostnameMessage m;
    m.set_hostname(name);
    checked(TX_CALL("setHostname", setHostname, m).value(),
            "the hostname \"" + name + "\" (it keeps its name while it is streaming)", grpc().endpoint);
}

Calibration Client::calibration() {
    const auto r = TX_CALL("getAnalogCalibration", getAnalogCalibration);
    return Calibration{r.dc_offset_a0(), r.dc_offset_a1(), r.slope_a0(), r.slope_a1()};
}

void Client::setCalibration(const Calibration& c) {
    AnalogCalibrationData m;
    m.set_dc_offset_a0(c.dc_offset_a0);
    m.set_dc_offset_a1(c.dc_offset_a1);
    m.set_slope_a0(c.slope_a0);
    m.set_slope_a1(c.slope_a1);
    checked(static_cast<int32_t>(TX_CALL("setAnalogCalibration", setAnalogCalibration, m).value()),
            "the calibration: values out of range or not stored", grpc().endpoint);
}

}  // namespace tarvex
