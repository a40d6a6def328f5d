// What a slot holds, read back over HTTP for the web pages and host tools:
//
//   GET /api/slot/<0|1>/segments?from=<index>&max=<count>
//
// answers 200 with {"slot":N,"version":V,"from":I,"segments":[[ticks,digital,code0,code1],...],
// "more":B,"error":"T"}: the stretches of constant output the slot plays (ticks of 1 ns, the
// digital byte, the two 14-bit DAC codes) from stretch I on, at most `max` of them (default 10000,
// at most MAX_READBACK_SEGMENTS); "more" tells whether stretches follow, "error" is the decoder's
// text for malformed slot memory ("" when clean). With "&form=binary" (or "json", the default)
// the same page comes as bytes, about 6 per segment (docs/json-rpc.md). Bad paths answer 404, bad
// numbers and forms 400, other methods 405.
//
// V names the slot's contents: a client that pages on with "&version=V" is answered 409 once
// the slot has been loaded anew, rather than given pages of two different contents; 503 answers
// while an upload writes the slot. The slot's memory is copied in pieces, the device lock held for
// one piece at a time, and decoded outside it; paging on from where the last page ended goes on
// decoding there rather than from the start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hardware/CommandDecoder.h"

#include "interfaces/interfaces.h"
#include "interfaces/jsonrpc/Httpd.h"

constexpr size_t MAX_READBACK_SEGMENTS = 65536;
constexpr size_t DEFAULT_READBACK_SEGMENTS = 10000;

class SlotReadback : public HttpRequestHandler {
public:
    explicit SlotReadback(DeviceAccess device) : device_(device) {}
    // Sees the path after "/api/slot/".
    int do_request(const mg_request_info* info, std::ostream& out) override;

    // A page with the version of the slot's contents it was read from.
    struct Page {
        memcmd::SegmentPage page;
        uint64_t version = 0;
    };
    // Reads one page; returns 200, or 409 / 503 (see above) with `out` unset.
    int read_page(unsigned slot, uint64_t from, size_t max, const uint64_t* expected, Page& out);

private:
    DeviceAccess device_;
};
