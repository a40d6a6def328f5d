// Errors of the client library. Each names what went wrong in the instrument's own terms: the
// status it answered with and its message, or the address and port that could not be reached.
#pragma once

#include <stdexcept>
#include <string>

namespace tarvex {

class Error : public std::runtime_error {
public:
    enum Kind {
        Refused,      // the instrument answered and refused (status and message are its own)
        Unreachable,  // no connection, or no answer in time (endpoint names address and port)
        Protocol,     // the answer broke the protocol (wrong frame, oversized, malformed)
        Input,        // the caller's input is unusable; nothing was sent
        Busy,         // the instrument answers, but another client holds the interface (try again later)
    };

    Error(Kind kind, const std::string& message, std::string endpoint = "", long status = 0)
        : std::runtime_error(message), kind_(kind), endpoint_(std::move(endpoint)), status_(status) {}

    Kind kind() const { return kind_; }
    // "address:port" of the interface concerned, empty for input errors.
    const std::string& endpoint() const { return endpoint_; }
    // The instrument's status or result value (gRPC status code, binary protocol status, the
    // operation's result); 0 where there is none.
    long status() const { return status_; }

private:
    Kind kind_;
    std::string endpoint_;
    long status_;
};

}  // namespace tarvex
