#include "interfaces/grpc/Google_rpc.h"

#include <grpcpp/server_posix.h>
#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "interfaces/grpc/GrpcListener.h"
#include "interfaces/grpc/GrpcWire.h"
#include "device/Pulser.h"
#include "interfaces/interfaces.h"

using grpc::ServerContext;
using grpc::Status;
using grpc::StatusCode;
using namespace tarvex;

namespace {

// Index of `stream` in the service's declaration order.
constexpr int kStreamMethodIndex = 4;

Pulse toPulse(const PulseMessage& m) { return grpcwire::toPulse(m.ticks(), m.digi(), m.ao0(), m.ao1()); }

void print_grpc_call(size_t n, long long n_runs, const Pulse& final_state) {
    std::ostringstream line;
    line << "gRPC call: len: " << n << ", n_runs: " << n_runs << ", final: " << final_state.ticks << "|"
         << static_cast<unsigned>(final_state.digi) << "|" << final_state.ao0 << "|" << final_state.ao1 << "\n";
    std::cout << line.str() << std::flush;
}

Status outOfMemory(const std::exception& e, TarvexReply* reply) {
    std::cout << "out of memory " << e.what() << std::endl;
    reply->set_value(1);
    return Status(StatusCode::RESOURCE_EXHAUSTED, e.what());
}

// The common part of both `stream` paths, from the decoded request on.
Status runStream(grpcwire::SequenceRequest& req, TarvexReply* reply) {
    if (req.count == 0) {
        reply->set_value(1);
        return Status(StatusCode::INVALID_ARGUMENT, EMPTY_SEQUENCE);
    }
    if (req.count > kMaxStreamPulses) {
        reply->set_value(1);
        return Status(StatusCode::CANCELLED, "");
    }
    print_grpc_call(req.count, req.n_runs, req.final_state);
    // A sequence that does not fit or cannot be allocated was not loaded: the client is told so
    // instead of being answered as if it plays.
    int result = 0;
    try {
        result = locked([&] { return pulser.stream(req.pulses, req.n_runs, req.final_state); });
    } catch (const std::bad_alloc& e) {
        return outOfMemory(e, reply);
    } catch (const std::out_of_range& e) {
        return outOfMemory(e, reply);
    }
    reply->set_value(static_cast<uint32_t>(result));
    return Status::OK;
}

}  // namespace

PulserServiceImpl::PulserServiceImpl() {
    // Serve `stream` from the raw request bytes; clients still see a plain unary method.
    MarkMethodStreamed(kStreamMethodIndex,
                       new grpc::internal::StreamedUnaryHandler<grpc::ByteBuffer, TarvexReply>(
                           [this](ServerContext* ctx, grpc::ServerUnaryStreamer<grpc::ByteBuffer, TarvexReply>* call) {
                               return streamFromWire(ctx, call);
                           }));
}

Status PulserServiceImpl::streamFromWire(ServerContext*,
                                         grpc::ServerUnaryStreamer<grpc::ByteBuffer, TarvexReply>* call) {
    grpc::ByteBuffer bytes;
    // A unary client always sends exactly one message; the generated handler answers the same
    // statuses for a missing or unparsable one.
    if (!call->Read(&bytes)) return Status(StatusCode::INTERNAL, "No payload");
    // The request arrives in many slices: read one after the other, each released once read.
    std::vector<grpc::Slice> slices;
    if (!bytes.Dump(&slices).ok()) return Status(StatusCode::INTERNAL, "");
    grpcwire::SequenceReader reader(bytes.Length(), kMaxStreamPulses);
    bytes.Clear();
    for (grpc::Slice& slice : slices) {
        reader.feed(slice.begin(), slice.size());
        slice = grpc::Slice();
    }
    grpcwire::SequenceRequest req;
    if (!reader.finish(req)) return Status(StatusCode::INTERNAL, "");
    TarvexReply reply;
    Status status = runStream(req, &reply);
    req = grpcwire::SequenceRequest();
    malloc_trim(0);  // a large request's memory goes back to the system
    if (status.ok()) call->Write(reply);
    return status;
}

Status PulserServiceImpl::stream(ServerContext*, const SequenceMessage* request, TarvexReply* reply) {
    grpcwire::SequenceRequest req;
    req.count = static_cast<size_t>(request->pulse_size());
    req.n_runs = request->n_runs();
    req.has_final = request->has_final();
    if (req.has_final) req.final_state = toPulse(request->final());
    if (req.count > 0 && req.count <= kMaxStreamPulses) {
        req.pulses.resize(req.count);
        for (size_t i = 0; i < req.count; ++i) req.pulses[i] = toPulse(request->pulse(static_cast<int>(i)));
    }
    return runStream(req, reply);
}

Status PulserServiceImpl::reset(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    locked([] { return pulser.reset(); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::reboot(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    locked([] { return pulser.reboot(); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::constant(ServerContext*, const PulseMessage* request, TarvexReply* reply) {
    Pulse state = toPulse(*request);
    locked([&] { return pulser.constant(state); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::forceFinal(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    locked([] { return pulser.forceFinal(); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::startNow(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    locked([] { pulser.startNow(); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::setTrigger(ServerContext*, const TriggerMessage* request, TarvexReply* reply) {
    start_t start = static_cast<start_t>(static_cast<uint32_t>(request->start()));
    trigger_rearm_t mode = static_cast<trigger_rearm_t>(static_cast<uint32_t>(request->mode()));
    locked([&] { return pulser.setTrigger(start, mode); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::getTriggerStart(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    start_t start = locked([] { return pulser.getTriggerStart(); });
    reply->set_value(static_cast<uint32_t>(start));
    return Status::OK;
}

Status PulserServiceImpl::getTriggerRearm(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    trigger_rearm_t mode = locked([] { return pulser.getTriggerRearm(); });
    reply->set_value(static_cast<uint32_t>(mode));
    return Status::OK;
}

Status PulserServiceImpl::rearm(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    int result = locked([] { return pulser.rearm(); });
    reply->set_value(static_cast<uint32_t>(result));
    return Status::OK;
}

Status PulserServiceImpl::selectClock(ServerContext*, const ClockMessage* request, TarvexReply* reply) {
    clocksource_t source = static_cast<clocksource_t>(static_cast<uint32_t>(request->clock_source()));
    locked([&] { return pulser.selectClock(source); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::getClock(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    clocksource_t source = locked([] { return pulser.getClock(); });
    reply->set_value(static_cast<uint32_t>(source));
    return Status::OK;
}

Status PulserServiceImpl::setClkParam(ServerContext*, const DrpClkSetMessage* request, TarvexIntReply* reply) {
    double ref_mhz = request->value();
    int32_t result = locked([&] { return pulser.setClkParam(ref_mhz); });
    reply->set_value(result);
    return Status::OK;
}

Status PulserServiceImpl::shiftClkPhase(ServerContext*, const ClkShiftMessage* request, TarvexIntReply* reply) {
    int steps = request->value();
    int32_t result = locked([&] { return pulser.shiftClkPhase(steps); });
    reply->set_value(result);
    return Status::OK;
}

Status PulserServiceImpl::isStreaming(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    bool yes = locked([] { return pulser.isStreaming(); });
    reply->set_value(yes ? 1 : 0);
    return Status::OK;
}

Status PulserServiceImpl::hasSequence(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    bool yes = locked([] { return pulser.hasSequence(); });
    reply->set_value(yes ? 1 : 0);
    return Status::OK;
}

Status PulserServiceImpl::hasFinished(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    bool yes = locked([] { return pulser.hasFinished(); });
    reply->set_value(yes ? 1 : 0);
    return Status::OK;
}

Status PulserServiceImpl::getFirmwareVersion(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getFirmwareVersion(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::getSerial(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getSerial(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::getFPGAID(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getFPGAID(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::setNetworkConfiguration(ServerContext*, const SetNetworkMessage* request,
                                                  TarvexReply* reply) {
    bool dhcp = request->dhcp();
    std::string ip = request->ip();
    std::string netmask = request->netmask();
    std::string gateway = request->gateway();
    bool testmode = request->testmode();
    int result = locked([&] { return pulser.setNetworkConfiguration(dhcp, ip, netmask, gateway, testmode); });
    reply->set_value(static_cast<uint32_t>(result));
    return Status::OK;
}

Status PulserServiceImpl::getNetworkConfiguration(ServerContext*, const GetNetworkMessage* request,
                                                  GetNetworkReply* reply) {
    bool permanent = request->permanent();
    network_settings s = locked([&] { return pulser.getNetworkConfiguration(permanent); });
    reply->set_dhcp(s.dhcp);
    reply->set_ip(s.ip);
    reply->set_netmask(s.netmask);
    reply->set_gateway(s.gateway);
    return Status::OK;
}

Status PulserServiceImpl::applyNetworkConfiguration(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    int result = locked([] { return pulser.applyNetworkConfiguration(); });
    reply->set_value(static_cast<uint32_t>(result));
    return Status::OK;
}

Status PulserServiceImpl::setHostname(ServerContext*, const HostnameMessage* request, TarvexIntReply* reply) {
    std::string name = request->hostname();
    int result = locked([&] { return pulser.setHostname(name); });
    reply->set_value(result);
    return Status::OK;
}

Status PulserServiceImpl::getHostname(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getHostname(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::getTemperature(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getTemperature(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::getUnderflow(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    unsigned int underflow = locked([] { return pulser.getUnderflow(); });
    reply->set_value(underflow != 0 ? 1 : 0);
    return Status::OK;
}

Status PulserServiceImpl::getStatusRegister(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    uint32_t word = locked([] { return pulser.getStatusRegister(); });
    reply->set_value(word);
    return Status::OK;
}

Status PulserServiceImpl::setDebugRegister(ServerContext*, const RegisterMessage* request, TarvexReply* reply) {
    unsigned int value = request->value();
    unsigned int mask = request->mask();
    locked([&] { pulser.setDebugRegister(value, mask); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::setAnalogCalibration(ServerContext*, const AnalogCalibrationData* request,
                                               TarvexReply* reply) {
    AnalogCalibData data;
    data.dc_offset_a0 = request->dc_offset_a0();
    data.dc_offset_a1 = request->dc_offset_a1();
    data.slope_a0 = request->slope_a0();
    data.slope_a1 = request->slope_a1();
    int32_t result = locked([&] { return pulser.setAnalogCalibration(data); });
    reply->set_value(static_cast<uint32_t>(result));
    return Status::OK;
}

Status PulserServiceImpl::getAnalogCalibration(ServerContext*, const VoidMessage*, AnalogCalibrationData* reply) {
    AnalogCalibData data = locked([] { return pulser.getAnalogCalibration(); });
    reply->set_dc_offset_a0(data.dc_offset_a0);
    reply->set_dc_offset_a1(data.dc_offset_a1);
    reply->set_slope_a0(data.slope_a0);
    reply->set_slope_a1(data.slope_a1);
    return Status::OK;
}

Status PulserServiceImpl::getHardwareVersion(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    std::string text = locked([] { return pulser.getHardwareVersion(); });
    reply->set_string_value(text);
    return Status::OK;
}

Status PulserServiceImpl::getSupplyState(ServerContext*, const VoidMessage*, SupplyStatusData* reply) {
    SupplyState s = locked([] { return pulser.getSupplyState(); });
    reply->set_efuse_current(s.current);
    reply->set_v12(s.voltage_12);
    reply->set_v33(s.voltage_3_3);
    return Status::OK;
}

Status PulserServiceImpl::setSquareWave125MHz(ServerContext*, const SetSquareWaveMessage* request,
                                              TarvexReply* reply) {
    unsigned char mask = static_cast<unsigned char>(request->digi() & 0xFFu);
    locked([&] { pulser.setSquareWave125MHz(mask); });
    reply->set_value(0);
    return Status::OK;
}

Status PulserServiceImpl::start(ServerContext*, const StartMessage* request, TarvexIntReply* reply) {
    unsigned int slot = request->slot_nr();
    long long runs = request->slots_to_run();
    int result = locked([&] { return pulser.start(slot, runs); });
    reply->set_value(result);
    return Status::OK;
}

Status PulserServiceImpl::isReadyForData(ServerContext*, const ReadyForDataMessage* request, TarvexReply* reply) {
    sequences_t slot = request->slot_nr();
    bool ready = locked([&] { return pulser.isReadyForData(slot); });
    reply->set_value(ready ? 1 : 0);
    return Status::OK;
}

Status PulserServiceImpl::getStreamingState(ServerContext*, const VoidMessage*, StreamingStateData* reply) {
    StreamingState s = locked([] { return pulser.getStreamingState(); });
    reply->set_total_time(s.total_time);
    reply->set_streaming_time(s.streaming_time);
    reply->set_underflow_time(s.underflow_time);
    reply->set_waiting_data_time(s.waiting_data_time);
    reply->set_state(s.state);
    reply->set_state_condition(s.state_condition);
    reply->set_error_message(s.error_message);
    reply->set_slot_changes(s.slot_changes);
    return Status::OK;
}

void RunServer() {
    const std::string address("0.0.0.0:50051");
    std::cout << "Starting gRPC Daemon..." << std::endl;
    // The port is ours, not the library's: its connections are counted (see GrpcListener.h).
    const int listen_fd = grpclisten::listenOn(50051);
    if (listen_fd < 0) {
        // Port taken or not bindable: no gRPC interface, the other interfaces go on.
        std::cerr << "gRPC server: cannot listen on " << address << std::endl;
        return;
    }
    PulserServiceImpl service;
    grpc::ServerBuilder builder;
    builder.RegisterService(&service);
    // Just above the largest valid request: a "stream" of kMaxStreamPulses pulses of at most
    // 33 bytes each (ticks, digi and two negative analog values as varints, with their tags).
    builder.SetMaxReceiveMessageSize(kMaxGrpcMessage);
    builder.SetMaxSendMessageSize(INT_MAX);
    // Connections without a call for this long are closed, so idle clients do not pile up.
    builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, kGrpcIdleMs);
    std::unique_ptr<grpc::Server> server(builder.BuildAndStart());
    if (!server) {
        std::cerr << "gRPC server: cannot start" << std::endl;
        close(listen_fd);
        return;
    }
    std::cout << "Server listening on " << address << std::endl;
    grpclisten::acceptCapped(listen_fd, kMaxGrpcConnections,
                             [&server](int fd) { grpc::AddInsecureChannelFromFd(server.get(), fd); });
    server->Wait();
}
