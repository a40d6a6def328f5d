// The process-wide device object, its lock, and the interface thread entries.
#pragma once

#include <mutex>

class Pulser;

extern Pulser pulser;
extern std::mutex pulser_lock;

// Thread entries started by main, in this order.
void run_json_httpd();       // HTTP + JSON-RPC on port 8050
void run_streamHighLevel();  // binary protocol on port 21328
void RunServer();            // gRPC on port 50051
