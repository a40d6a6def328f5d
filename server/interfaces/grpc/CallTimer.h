// Ends calls that wait too long for their request. A handler that reads its request itself (the
// `stream` method) starts as soon as the call's headers arrive; a client that sends no message
// would hold its thread for good. While a Watch lives, the call is cancelled once its time is up,
// which ends the handler's wait for the message.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>

namespace calltimer {

class Watch {
public:
    Watch(grpc::ServerContext* call, std::chrono::milliseconds limit);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    // True when the time ran out and the call was cancelled.
    bool expired() const;

private:
    grpc::ServerContext* call_;
};

}  // namespace calltimer
