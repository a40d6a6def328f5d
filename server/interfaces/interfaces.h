// What every interface gets from main: the device and its lock, and the interface thread entries.
#pragma once

#include <iostream>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

class Pulser;

// The device and the one lock that serialises calls into it, handed to each interface.
class DeviceAccess {
public:
    DeviceAccess(Pulser& pulser, std::mutex& lock) : pulser_(&pulser), lock_(&lock) {}

    // Runs call(pulser) with the lock held for exactly that call (released on exceptions too).
    template <class F>
    auto locked(F&& call) -> decltype(call(std::declval<Pulser&>())) {
        std::lock_guard<std::mutex> guard(*lock_);
        return std::forward<F>(call)(*pulser_);
    }
    Pulser& pulser() const { return *pulser_; }
    std::mutex& lock() const { return *lock_; }

private:
    Pulser* pulser_;
    std::mutex* lock_;
};

// What became of a stream or an upload, for each interface to answer in its own terms.
struct LoadOutcome {
    enum Kind {
        LOADED,     // the device call returned `value`
        TOO_LARGE,  // the sequence does not fit the sequence memory: nothing was loaded
        NO_MEMORY,  // memory for it could not be had: nothing was loaded
    };
    Kind kind = LOADED;
    int value = 0;
    std::string error;  // what went wrong, for the client
};

// Runs a stream or upload call (the caller holds the lock) and turns the encoder's refusals into
// an outcome.
template <class F>
LoadOutcome loadSequence(F&& call) {
    LoadOutcome out;
    try {
        out.value = std::forward<F>(call)();
        return out;
    } catch (const std::out_of_range& e) {
        out.kind = LoadOutcome::TOO_LARGE;
        out.error = e.what();
    } catch (const std::bad_alloc& e) {
        out.kind = LoadOutcome::NO_MEMORY;
        out.error = e.what();
    }
    std::cout << "out of memory " << out.error << std::endl;
    return out;
}

// Thread entries started by main, in this order.
void run_json_httpd(DeviceAccess device);       // HTTP + JSON-RPC on port 8050
void run_streamHighLevel(DeviceAccess device);  // binary protocol on port 21328
void RunServer(DeviceAccess device);            // gRPC on port 50051
