// Client of the simulator's control channel (one JSON request line, one JSON reply line).
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "common/types.h"

namespace testsupport {

class ControlClient {
public:
    explicit ControlClient(std::string socket_path);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Sends one request line and returns the reply line without its line break; empty when the
    // channel cannot be reached. Connects on first use and keeps the connection.
    std::string send(const std::string& request);
    // Sends a request and parses the reply (an object with "ok"; a null document on failure).
    rapidjson::Document call(const std::string& request);
    // Like call, but fails the current test unless the reply has "ok": true.
    rapidjson::Document ok(const std::string& request);

    const std::string& path() const { return path_; }

    // Slot `slot` plays `pulses`, checked segment by segment (the first `checked`): ticks, digital
    // byte, both DAC codes under the neutral calibration; whole ticks and no decoding error. Returns
    // the "segments" reply for further checks.
    rapidjson::Document expectPlays(unsigned slot, const std::vector<Pulse>& pulses, size_t checked = SIZE_MAX);

private:
    bool connect();
    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

}  // namespace testsupport
