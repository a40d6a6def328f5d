// The real pulserd (sim build) in a fresh sandbox root, reached over gRPC on 127.0.0.1:50051 and
// through the simulator's control channel; plus calls by method name with text-format requests.
// Header-only: test and benchmark targets get the gRPC libraries through tarvex_iface.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/client_unary_call.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/control_client.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "tarvex.grpc.pb.h"

namespace testsupport {

class GrpcInstrument {
public:
    // `prepare` may write files into the sandbox before the server starts.
    template <class Prepare>
    explicit GrpcInstrument(Prepare prepare) {
        prepare(sandbox);
        start();
    }
    GrpcInstrument() : GrpcInstrument([](Sandbox&) {}) {}

    Sandbox sandbox;
    std::unique_ptr<Process> server;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<tarvex::Tarvex::Stub> stub;
    std::unique_ptr<ControlClient> sim;

    bool ready() const { return ready_; }

    // A fresh channel of its own (separate HTTP/2 connection), as a second client would have.
    static std::shared_ptr<grpc::Channel> newChannel() {
        grpc::ChannelArguments args;
        args.SetMaxReceiveMessageSize(-1);
        args.SetMaxSendMessageSize(-1);
        args.SetInt("grpc.use_local_subchannel_pool", 1);
        return grpc::CreateCustomChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials(), args);
    }

private:
    void start() {
        server = std::make_unique<Process>(std::vector<std::string>{program("pulserd")},
                                           std::vector<std::string>{"TARVEX_ROOT=" + sandbox.root()}, sandbox.root());
        ready_ = server->waitForOutput("Server listening on 0.0.0.0:50051\n") && waitForPort(50051);
        channel = newChannel();
        stub = tarvex::Tarvex::NewStub(channel);
        sim = std::make_unique<ControlClient>(sandbox.root() + "/sim/control.sock");
    }
    bool ready_ = false;
};

// The service's method descriptor by name (null when there is none).
inline const google::protobuf::MethodDescriptor* tarvexMethod(const std::string& name) {
    return tarvex::VoidMessage::descriptor()->file()->FindServiceByName("Tarvex")->FindMethodByName(name);
}

// A new message of the given type, parsed from text format (throws on a bad text).
inline std::unique_ptr<google::protobuf::Message> textMessage(const google::protobuf::Descriptor* type,
                                                              const std::string& text) {
    std::unique_ptr<google::protobuf::Message> m(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
    if (!google::protobuf::TextFormat::ParseFromString(text, m.get()))
        throw std::invalid_argument("bad text for " + type->full_name() + ": " + text);
    return m;
}

// Calls "/tarvex.Tarvex/<method>" with serialized request bytes; the reply bytes on success.
inline grpc::Status callRaw(grpc::Channel& channel, const std::string& method, const std::string& request,
                            std::string* reply) {
    const std::string path = "/tarvex.Tarvex/" + method;
    grpc::internal::RpcMethod rpc(path.c_str(), grpc::internal::RpcMethod::NORMAL_RPC);
    grpc::Slice slice(request);
    grpc::ByteBuffer in(&slice, 1), out;
    grpc::ClientContext ctx;
    grpc::Status status =
        grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(&channel, rpc, &ctx, in, &out);
    if (status.ok() && reply) {
        std::vector<grpc::Slice> slices;
        out.Dump(&slices);
        reply->clear();
        for (const auto& s : slices) reply->append(reinterpret_cast<const char*>(s.begin()), s.size());
    }
    return status;
}

// Calls a method by name with a text-format request; `reply` receives the decoded reply.
inline grpc::Status callByName(grpc::Channel& channel, const std::string& method, const std::string& request_text,
                               std::unique_ptr<google::protobuf::Message>* reply = nullptr) {
    const auto* m = tarvexMethod(method);
    if (!m) throw std::invalid_argument("no method " + method);
    std::string bytes;
    grpc::Status status =
        callRaw(channel, method, textMessage(m->input_type(), request_text)->SerializeAsString(), &bytes);
    if (reply) {
        *reply = textMessage(m->output_type(), "");
        if (status.ok() && !(*reply)->ParseFromString(bytes)) throw std::runtime_error("bad reply to " + method);
    }
    return status;
}

}  // namespace testsupport
