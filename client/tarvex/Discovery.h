// Finding instruments: the request "TX-DISCOVERY" goes by broadcast, to the multicast group and to
// any addresses given, all to one UDP port; every instrument answers "TX-DISCOVERY-REPLY" and its
// identity (a JSON object). Answers are collected until the time-out; an instrument that answers
// several requests (broadcast and multicast) appears once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/Pulse.h"

namespace tarvex {

struct Instrument {
    std::string address;  // where the answer came from
    uint16_t port = 0;
    std::string serial, hostname, model, fpgaid, firmware, hardware;
    bool update_mode = false;  // answered by the update environment
    std::string identity;      // the identity text as received
};

struct DiscoveryOptions {
    std::chrono::milliseconds timeout{2000};
    uint16_t port = DISCOVERY_PORT;
    bool broadcast = true;
    bool multicast = true;
    std::string group = DISCOVERY_GROUP;
    std::vector<std::string> addresses;  // also asked directly: "host" or "host:port"
};

struct Discovered {
    std::vector<Instrument> instruments;  // in the order of their first answer
    std::vector<std::string> failures;    // requests that could not be sent, with the reason
};

// Largest answer read; longer datagrams are ignored.
constexpr size_t MAX_DISCOVERY_REPLY = 2048;
// At most this many instruments are kept.
constexpr size_t MAX_INSTRUMENTS = 4096;

Discovered discover(const DiscoveryOptions& options);

// The fields of an identity text (after "TX-DISCOVERY-REPLY"); false when it is not a JSON object.
bool parseIdentity(const std::string& text, Instrument& out);

}  // namespace tarvex
