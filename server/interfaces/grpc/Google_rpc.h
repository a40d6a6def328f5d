// The gRPC service tarvex.Tarvex: one handler per method, each translating its request into one
// call on the device it was handed (under the device lock) and filling the reply from the result.
#pragma once

#include <grpcpp/grpcpp.h>

#include "common/types.h"
#include "interfaces/interfaces.h"
#include "tarvex.grpc.pb.h"

class PulserServiceImpl final : public tarvex::Tarvex::Service {
public:
    // `stream` is served from the request's wire bytes (see GrpcWire.h); the generated-message
    // handler below stays for in-process callers and behaves the same.
    explicit PulserServiceImpl(DeviceAccess device);

    using Ctx = grpc::ServerContext;
    grpc::Status reset(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status reboot(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status constant(Ctx*, const tarvex::PulseMessage*, tarvex::TarvexReply*) override;
    grpc::Status forceFinal(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status stream(Ctx*, const tarvex::SequenceMessage*, tarvex::TarvexReply*) override;
    grpc::Status startNow(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status setTrigger(Ctx*, const tarvex::TriggerMessage*, tarvex::TarvexReply*) override;
    grpc::Status getTriggerStart(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status getTriggerRearm(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status rearm(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status selectClock(Ctx*, const tarvex::ClockMessage*, tarvex::TarvexReply*) override;
    grpc::Status getClock(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status setClkParam(Ctx*, const tarvex::DrpClkSetMessage*, tarvex::TarvexIntReply*) override;
    grpc::Status shiftClkPhase(Ctx*, const tarvex::ClkShiftMessage*, tarvex::TarvexIntReply*) override;
    grpc::Status isStreaming(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status hasSequence(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status hasFinished(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status getFirmwareVersion(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status getSerial(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status getFPGAID(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status setNetworkConfiguration(Ctx*, const tarvex::SetNetworkMessage*, tarvex::TarvexReply*) override;
    grpc::Status getNetworkConfiguration(Ctx*, const tarvex::GetNetworkMessage*, tarvex::GetNetworkReply*) override;
    grpc::Status applyNetworkConfiguration(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status setHostname(Ctx*, const tarvex::HostnameMessage*, tarvex::TarvexIntReply*) override;
    grpc::Status getHostname(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status getTemperature(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status getUnderflow(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status getStatusRegister(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexReply*) override;
    grpc::Status setDebugRegister(Ctx*, const tarvex::RegisterMessage*, tarvex::TarvexReply*) override;
    grpc::Status setAnalogCalibration(Ctx*, const tarvex::AnalogCalibrationData*, tarvex::TarvexReply*) override;
    grpc::Status getAnalogCalibration(Ctx*, const tarvex::VoidMessage*, tarvex::AnalogCalibrationData*) override;
    grpc::Status getHardwareVersion(Ctx*, const tarvex::VoidMessage*, tarvex::TarvexStringReply*) override;
    grpc::Status getSupplyState(Ctx*, const tarvex::VoidMessage*, tarvex::SupplyStatusData*) override;
    grpc::Status setSquareWave125MHz(Ctx*, const tarvex::SetSquareWaveMessage*, tarvex::TarvexReply*) override;
    grpc::Status start(Ctx*, const tarvex::StartMessage*, tarvex::TarvexIntReply*) override;
    grpc::Status isReadyForData(Ctx*, const tarvex::ReadyForDataMessage*, tarvex::TarvexReply*) override;
    grpc::Status getStreamingState(Ctx*, const tarvex::VoidMessage*, tarvex::StreamingStateData*) override;

private:
    template <class R, class F>
    grpc::Status answer(R* reply, F&& call);
    grpc::Status streamFromWire(Ctx*, grpc::ServerUnaryStreamer<grpc::ByteBuffer, tarvex::TarvexReply>* call);

    DeviceAccess device_;
};

// Most pulses one `stream` request may carry.
constexpr size_t kMaxStreamPulses = MAX_STREAM_PULSES;
// Largest message received: kMaxStreamPulses pulses of at most 33 bytes, plus 1 MiB.
constexpr int kMaxGrpcMessage = static_cast<int>(kMaxStreamPulses * 33 + (1 << 20));
// A connection without a call for this long is closed.
constexpr int kGrpcIdleMs = 60 * 1000;
// Calls served at once on one connection; a client's further calls wait for one to end.
constexpr int kGrpcStreamsPerConnection = 8;
// Threads of the gRPC server (its pollers included): the calls served at once in all.
constexpr int kGrpcMaxThreads = 32;
// Longest wait of a `stream` call for its request message (67 MB at 10 Mbit/s takes 54 s).
constexpr int kGrpcMessageWaitS = 60;
