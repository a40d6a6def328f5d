// The process-wide device object, its lock, and the interface thread entries.
#pragma once

#include <mutex>
#include <utility>

class Pulser;

extern Pulser pulser;
extern std::mutex pulser_lock;

// Runs one device call with pulser_lock held for exactly that call (released on exceptions too).
template <class F>
auto locked(F&& call) -> decltype(call()) {
    std::lock_guard<std::mutex> guard(pulser_lock);
    return std::forward<F>(call)();
}

// Thread entries started by main, in this order.
void run_json_httpd();       // HTTP + JSON-RPC on port 8050
void run_streamHighLevel();  // binary protocol on port 21328
void RunServer();            // gRPC on port 50051
