// JSON-RPC 2.0 on the HTTP front end: the method table (JsonHttpd), the parameter readers that
// turn JSON values into the device's types, and the reply pieces they share.
//
// The envelope (Httpd::serveJsonRpc), the readers and the reply helpers never touch the device;
// only JsonHttpd::jsonRPC calls into the device it was handed, holding the lock around each call.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "interfaces/interfaces.h"
#include "interfaces/jsonrpc/Httpd.h"
#include "common/json.h"
#include "common/types.h"

class SlotReadback;

class JsonHttpd : public Httpd {
public:
    // Starts the front end with `readback` under "/api/slot/".
    JsonHttpd(DeviceAccess device, SlotReadback& readback);
    JsonHttpd(Httpd::Offline offline, DeviceAccess device) : Httpd(offline), device_(device) {}

    int jsonRPC(std::string& method, ObjectWriter::KeyWriter& reply, jsVar* params) override;

private:
    DeviceAccess device_;
};

// Error codes of the replies.
constexpr int JSONRPC_INVALID_REQUEST = -32600;
constexpr int JSONRPC_METHOD_NOT_FOUND = -32601;
constexpr int JSONRPC_INVALID_PARAMETER = -32602;
constexpr int JSONRPC_SERVER_ERROR = -32000;

// Longest decoded "stream" payload: MAX_STREAM_PULSES records of 9 bytes, plus 8 spare bytes.
constexpr size_t MAX_JSON_SEQUENCE_BYTES = size_t(MAX_STREAM_PULSES) * 9 + 8;

// A text as a JSON string, as JsonWriter::write_string writes it (valid UTF-8 JSON always).
void write_json_text(std::ostream& os, const std::string& text);

// The error member `,"error":{"code":C,"message":"M","data":"D"}`.
void write_json_error(std::ostream& os, int code, const char* message, const std::string& data);
// The same with code -32602 "invalid parameter".
void write_invalid_parameter(std::ostream& os, const std::string& data);

// Parameter readers: each turns one value (null when absent) into the domain value, or writes
// its own -32602 error member into `reply` and returns false.
bool read_json_start(const jsVar* value, start_t& out, std::ostream& reply);
bool read_json_rearm(const jsVar* value, trigger_rearm_t& out, std::ostream& reply);
bool read_json_clock(const jsVar* value, clocksource_t& out, std::ostream& reply);
bool read_serial(const jsVar* value, serial_t& out, std::ostream& reply);
// A pulse from [t, digi, ao0, ao1] (t ignored) or {"digi", "ao0", "ao1"}; ticks is 65535.
bool read_json_pulse(const jsVar* value, Pulse& out, std::ostream& reply);

// The "stream" payload: the value's text (a string as it is, any other value as its JSON text)
// decoded from Base64 into 9-byte big-endian records (ticks, digi, ao0, ao1), converted in
// order; bytes after the last whole record are ignored. Returns false, leaving `seq` empty,
// when the decoded payload is longer than MAX_JSON_SEQUENCE_BYTES.
bool read_json_seq(const jsVar* value, std::vector<Pulse>& seq);

// The call log line written just before the device streams.
void print_json_call(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state);
