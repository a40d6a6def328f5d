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
#include <type_traits>
#include <vector>

#include "common/InFlight.h"
#include "interfaces/grpc/CallTimer.h"
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

// A reply's value from a device call's result: 1 or 0 for a yes or no, the number otherwise.
void fill(TarvexReply* reply, bool yes) { reply->set_value(yes ? 1 : 0); }
template <class T>
void fill(TarvexReply* reply, T value) {
    reply->set_value(static_cast<uint32_t>(value));
}
void fill(TarvexIntReply* reply, int32_t value) { reply->set_value(value); }
void fill(TarvexStringReply* reply, const std::string& text) { reply->set_string_value(text); }

// The common part of both `stream` paths, from the decoded request on.
Status runStream(DeviceAccess& device, grpcwire::SequenceRequest& req, TarvexReply* reply) {
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
    const LoadOutcome out = device.locked([&](Pulser& pulser) {
        return loadSequence([&] { return pulser.stream(req.pulses, req.n_runs, req.final_state); });
    });
    if (out.kind != LoadOutcome::LOADED) {
        reply->set_value(1);
        return Status(StatusCode::RESOURCE_EXHAUSTED, out.error);
    }
    reply->set_value(static_cast<uint32_t>(out.value));
    return Status::OK;
}

}  // namespace

// One device call answered with its result (see fill), or with 0 for a call without one.
template <class R, class F>
Status PulserServiceImpl::answer(R* reply, F&& call) {
    if constexpr (std::is_void_v<decltype(call(std::declval<Pulser&>()))>) {
        device_.locked(std::forward<F>(call));
        fill(reply, 0);
    } else {
        fill(reply, device_.locked(std::forward<F>(call)));
    }
    return Status::OK;
}

PulserServiceImpl::PulserServiceImpl(DeviceAccess device) : device_(device) {
    // Serve `stream` from the raw request bytes; clients still see a plain unary method.
    MarkMethodStreamed(kStreamMethodIndex,
                       new grpc::internal::StreamedUnaryHandler<grpc::ByteBuffer, TarvexReply>(
                           [this](ServerContext* ctx, grpc::ServerUnaryStreamer<grpc::ByteBuffer, TarvexReply>* call) {
                               return streamFromWire(ctx, call);
                           }));
}

Status PulserServiceImpl::streamFromWire(ServerContext* ctx,
                                         grpc::ServerUnaryStreamer<grpc::ByteBuffer, TarvexReply>* call) {
    // Room for the largest message is taken before it arrives, and what it did not need given
    // back once it is in: at the bound a call is refused at once instead of being received.
    inflight::Claim claim;
    if (!claim.grow(size_t(kMaxGrpcMessage)))
        return Status(StatusCode::RESOURCE_EXHAUSTED, "too many large requests at once");
    grpc::ByteBuffer bytes;
    // A unary client always sends exactly one message; the generated handler answers the same
    // statuses for a missing or unparsable one.
    {
        calltimer::Watch watch(ctx, std::chrono::seconds(kGrpcMessageWaitS));
        if (!call->Read(&bytes))
            return watch.expired() ? Status(StatusCode::DEADLINE_EXCEEDED, "request not received in time")
                                   : Status(StatusCode::INTERNAL, "No payload");
    }
    claim.shrink_to(bytes.Length());
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
    Status status = runStream(device_, req, &reply);
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
    return runStream(device_, req, reply);
}

Status PulserServiceImpl::reset(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { pulser.reset(); });
}

Status PulserServiceImpl::reboot(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { pulser.reboot(); });
}

Status PulserServiceImpl::constant(ServerContext*, const PulseMessage* request, TarvexReply* reply) {
    Pulse state = toPulse(*request);
    return answer(reply, [&](Pulser& pulser) { pulser.constant(state); });
}

Status PulserServiceImpl::forceFinal(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { pulser.forceFinal(); });
}

Status PulserServiceImpl::startNow(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { pulser.startNow(); });
}

Status PulserServiceImpl::setTrigger(ServerContext*, const TriggerMessage* request, TarvexReply* reply) {
    start_t start = static_cast<start_t>(static_cast<uint32_t>(request->start()));
    trigger_rearm_t mode = static_cast<trigger_rearm_t>(static_cast<uint32_t>(request->mode()));
    return answer(reply, [&](Pulser& pulser) { pulser.setTrigger(start, mode); });
}

Status PulserServiceImpl::getTriggerStart(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getTriggerStart(); });
}

Status PulserServiceImpl::getTriggerRearm(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getTriggerRearm(); });
}

Status PulserServiceImpl::rearm(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.rearm(); });
}

Status PulserServiceImpl::selectClock(ServerContext*, const ClockMessage* request, TarvexReply* reply) {
    clocksource_t source = static_cast<clocksource_t>(static_cast<uint32_t>(request->clock_source()));
    return answer(reply, [&](Pulser& pulser) { pulser.selectClock(source); });
}

Status PulserServiceImpl::getClock(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getClock(); });
}

Status PulserServiceImpl::setClkParam(ServerContext*, const DrpClkSetMessage* request, TarvexIntReply* reply) {
    double ref_mhz = request->value();
    return answer(reply, [&](Pulser& pulser) { return pulser.setClkParam(ref_mhz); });
}

Status PulserServiceImpl::shiftClkPhase(ServerContext*, const ClkShiftMessage* request, TarvexIntReply* reply) {
    int steps = request->value();
    return answer(reply, [&](Pulser& pulser) { return pulser.shiftClkPhase(steps); });
}

Status PulserServiceImpl::isStreaming(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.isStreaming(); });
}

Status PulserServiceImpl::hasSequence(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.hasSequence(); });
}

Status PulserServiceImpl::hasFinished(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.hasFinished(); });
}

Status PulserServiceImpl::getFirmwareVersion(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getFirmwareVersion(); });
}

Status PulserServiceImpl::getSerial(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getSerial(); });
}

Status PulserServiceImpl::getFPGAID(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getFPGAID(); });
}

Status PulserServiceImpl::setNetworkConfiguration(ServerContext*, const SetNetworkMessage* request,
                                                  TarvexReply* reply) {
    bool dhcp = request->dhcp();
    std::string ip = request->ip();
    std::string netmask = request->netmask();
    std::string gateway = request->gateway();
    bool testmode = request->testmode();
    return answer(reply,
                  [&](Pulser& pulser) { return pulser.setNetworkConfiguration(dhcp, ip, netmask, gateway, testmode); });
}

Status PulserServiceImpl::getNetworkConfiguration(ServerContext*, const GetNetworkMessage* request,
                                                  GetNetworkReply* reply) {
    bool permanent = request->permanent();
    network_settings s = device_.locked([&](Pulser& pulser) { return pulser.getNetworkConfiguration(permanent); });
    reply->set_dhcp(s.dhcp);
    reply->set_ip(s.ip);
    reply->set_netmask(s.netmask);
    reply->set_gateway(s.gateway);
    return Status::OK;
}

Status PulserServiceImpl::applyNetworkConfiguration(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.applyNetworkConfiguration(); });
}

Status PulserServiceImpl::setHostname(ServerContext*, const HostnameMessage* request, TarvexIntReply* reply) {
    std::string name = request->hostname();
    return answer(reply, [&](Pulser& pulser) { return pulser.setHostname(name); });
}

Status PulserServiceImpl::getHostname(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getHostname(); });
}

Status PulserServiceImpl::getTemperature(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getTemperature(); });
}

Status PulserServiceImpl::getUnderflow(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getUnderflow() != 0; });
}

Status PulserServiceImpl::getStatusRegister(ServerContext*, const VoidMessage*, TarvexReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getStatusRegister(); });
}

Status PulserServiceImpl::setDebugRegister(ServerContext*, const RegisterMessage* request, TarvexReply* reply) {
    unsigned int value = request->value();
    unsigned int mask = request->mask();
    return answer(reply, [&](Pulser& pulser) { pulser.setDebugRegister(value, mask); });
}

Status PulserServiceImpl::setAnalogCalibration(ServerContext*, const AnalogCalibrationData* request,
                                               TarvexReply* reply) {
    AnalogCalibData data;
    data.dc_offset_a0 = request->dc_offset_a0();
    data.dc_offset_a1 = request->dc_offset_a1();
    data.slope_a0 = request->slope_a0();
    data.slope_a1 = request->slope_a1();
    return answer(reply, [&](Pulser& pulser) { return pulser.setAnalogCalibration(data); });
}

Status PulserServiceImpl::getAnalogCalibration(ServerContext*, const VoidMessage*, AnalogCalibrationData* reply) {
    AnalogCalibData data = device_.locked([](Pulser& pulser) { return pulser.getAnalogCalibration(); });
    reply->set_dc_offset_a0(data.dc_offset_a0);
    reply->set_dc_offset_a1(data.dc_offset_a1);
    reply->set_slope_a0(data.slope_a0);
    reply->set_slope_a1(data.slope_a1);
    return Status::OK;
}

Status PulserServiceImpl::getHardwareVersion(ServerContext*, const VoidMessage*, TarvexStringReply* reply) {
    return answer(reply, [](Pulser& pulser) { return pulser.getHardwareVersion(); });
}

Status PulserServiceImpl::getSupplyState(ServerContext*, const VoidMessage*, SupplyStatusData* reply) {
    SupplyState s = device_.locked([](Pulser& pulser) { return pulser.getSupplyState(); });
    reply->set_efuse_current(s.current);
    reply->set_v12(s.voltage_12);
    reply->set_v33(s.voltage_3_3);
    return Status::OK;
}

Status PulserServiceImpl::setSquareWave125MHz(ServerContext*, const SetSquareWaveMessage* request, TarvexReply* reply) {
    unsigned char mask = static_cast<unsigned char>(request->digi() & 0xFFu);
    return answer(reply, [&](Pulser& pulser) { pulser.setSquareWave125MHz(mask); });
}

Status PulserServiceImpl::start(ServerContext*, const StartMessage* request, TarvexIntReply* reply) {
    unsigned int slot = request->slot_nr();
    long long runs = request->slots_to_run();
    return answer(reply, [&](Pulser& pulser) { return pulser.start(slot, runs); });
}

Status PulserServiceImpl::isReadyForData(ServerContext*, const ReadyForDataMessage* request, TarvexReply* reply) {
    sequences_t slot = request->slot_nr();
    return answer(reply, [&](Pulser& pulser) { return pulser.isReadyForData(slot); });
}

Status PulserServiceImpl::getStreamingState(ServerContext*, const VoidMessage*, StreamingStateData* reply) {
    StreamingState s = device_.locked([](Pulser& pulser) { return pulser.getStreamingState(); });
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

void RunServer(DeviceAccess device) {
    const std::string address("0.0.0.0:50051");
    std::cout << "Starting gRPC Daemon..." << std::endl;
    // The port is ours, not the library's: its connections are counted (see GrpcListener.h).
    const int listen_fd = grpclisten::listenOn(50051);
    if (listen_fd < 0) {
        // Port taken or not bindable: no gRPC interface, the other interfaces go on.
        std::cerr << "gRPC server: cannot listen on " << address << std::endl;
        return;
    }
    PulserServiceImpl service(device);
    grpc::ServerBuilder builder;
    builder.RegisterService(&service);
    // Just above the largest valid request: a "stream" of kMaxStreamPulses pulses of at most
    // 33 bytes each (ticks, digi and two negative analog values as varints, with their tags).
    builder.SetMaxReceiveMessageSize(kMaxGrpcMessage);
    builder.SetMaxSendMessageSize(INT_MAX);
    // Connections without a call for this long are closed, so idle clients do not pile up.
    builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, kGrpcIdleMs);
    // Calls at once: per connection (more wait in the client), and in all through the threads
    // that serve them (past them a call is refused with RESOURCE_EXHAUSTED).
    builder.AddChannelArgument(GRPC_ARG_MAX_CONCURRENT_STREAMS, kGrpcStreamsPerConnection);
    grpc::ResourceQuota quota("pulserd-grpc");
    quota.SetMaxThreads(kGrpcMaxThreads);
    builder.SetResourceQuota(quota);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::NUM_CQS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MIN_POLLERS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MAX_POLLERS, 2);
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
