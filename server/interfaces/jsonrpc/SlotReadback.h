// What a slot holds, read back over HTTP for the web pages and host tools:
//
//   GET /api/slot/<0|1>/segments?from=<index>&max=<count>
//
// answers 200 with {"slot":N,"from":I,"segments":[[ticks,digital,code0,code1],...],"more":B,
// "error":"T"}: the stretches of constant output the slot plays (ticks of 1 ns, the digital byte,
// the two 14-bit DAC codes) from stretch I on, at most `max` of them (default 10000, at most
// MAX_READBACK_SEGMENTS); "more" tells whether stretches follow, "error" is the decoder's text for
// malformed slot memory ("" when clean). Bad paths answer 404, bad numbers 400, other methods 405.
// The slot is read under the device lock and never changed.
#pragma once

#include <cstddef>

#include "interfaces/interfaces.h"
#include "interfaces/jsonrpc/Httpd.h"

constexpr size_t MAX_READBACK_SEGMENTS = 65536;
constexpr size_t DEFAULT_READBACK_SEGMENTS = 10000;

class SlotReadback : public HttpRequestHandler {
public:
    explicit SlotReadback(DeviceAccess device) : device_(device) {}
    // Sees the path after "/api/slot/".
    int do_request(const mg_request_info* info, std::ostream& out) override;

private:
    DeviceAccess device_;
};
