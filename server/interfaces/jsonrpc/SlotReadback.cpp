#include "interfaces/jsonrpc/SlotReadback.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

#include "device/Pulser.h"
#include "interfaces/interfaces.h"

namespace {

int answer(std::ostream& out, int status, const char* reason, const std::string& body) {
    out << "HTTP/1.1 " << status << ' ' << reason << "\r\nContent-Type: application/json\r\n"
        << "Cache-Control: no-store\r\nContent-Length: " << body.size() << "\r\n\r\n"
        << body;
    return status;
}

// A decimal number of at most 15 digits (well inside 2^53, exact in any JSON reader).
bool read_number(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 15) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    out = v;
    return true;
}

// The value of `key` in a query string ("a=1&b=2"); false when absent.
bool query_value(const char* query, const char* key, std::string& out) {
    if (!query) return false;
    const size_t key_len = std::strlen(key);
    for (const char* p = query; *p;) {
        const char* end = std::strchr(p, '&');
        if (!end) end = p + std::strlen(p);
        if (size_t(end - p) > key_len && std::strncmp(p, key, key_len) == 0 && p[key_len] == '=') {
            out.assign(p + key_len + 1, end);
            return true;
        }
        p = *end ? end + 1 : end;
    }
    return false;
}

}  // namespace

int SlotReadback::do_request(const mg_request_info* info, std::ostream& out) {
    const char* path = info->local_uri ? info->local_uri : "";
    unsigned slot;
    if (std::strcmp(path, "0/segments") == 0) {
        slot = 0;
    } else if (std::strcmp(path, "1/segments") == 0) {
        slot = 1;
    } else {
        return answer(out, 404, "Not Found", "{\"error\":\"no such resource\"}");
    }
    if (!info->request_method || std::strcmp(info->request_method, "GET") != 0)
        return answer(out, 405, "Method Not Allowed", "{\"error\":\"GET only\"}");

    uint64_t from = 0, max = DEFAULT_READBACK_SEGMENTS;
    std::string text;
    if (query_value(info->query_string, "from", text) && !read_number(text, from))
        return answer(out, 400, "Bad Request", "{\"error\":\"from: a segment index\"}");
    if (query_value(info->query_string, "max", text) &&
        (!read_number(text, max) || max < 1 || max > MAX_READBACK_SEGMENTS))
        return answer(out, 400, "Bad Request", "{\"error\":\"max: 1 to 65536\"}");

    const memcmd::SegmentPage page =
        device_.locked([&](Pulser& pulser) { return pulser.readSlot(slot, from, size_t(max)); });
    std::ostringstream body;
    body << "{\"slot\":" << slot << ",\"from\":" << from << ",\"segments\":[";
    for (size_t i = 0; i < page.segments.size(); ++i) {
        const memcmd::Segment& s = page.segments[i];
        body << (i ? ",[" : "[") << s.ticks << ',' << unsigned(s.digi) << ',' << s.code0 << ',' << s.code1 << ']';
    }
    // The decoder's texts are plain ASCII without quotes or backslashes.
    body << "],\"more\":" << (page.more ? "true" : "false") << ",\"error\":\"" << page.error << "\"}";
    return answer(out, 200, "OK", body.str());
}
