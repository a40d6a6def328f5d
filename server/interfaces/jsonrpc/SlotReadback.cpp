#include "interfaces/jsonrpc/SlotReadback.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "device/Pulser.h"
#include "interfaces/interfaces.h"
#include "platform/platform.h"

namespace {

int answer(std::ostream& out, int status, const char* reason, const std::string& body,
           const char* type = "application/json") {
    // The server closes every connection after its answer, and says so: a client that kept the
    // connection for its next request would send that request into a closed socket.
    out << "HTTP/1.1 " << status << ' ' << reason << "\r\nContent-Type: " << type << "\r\n"
        << "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " << body.size() << "\r\n\r\n"
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

char* put_le(char* out, uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) *out++ = char((v >> (8 * k)) & 0xFF);
    return out;
}

// The page in the binary form: a header (segment count, u32; "more", one byte; the length of the
// error text, one byte; the version of the slot's contents, u64, 0 when none is named; the error
// text), then per segment its ticks as an unsigned LEB128 number, the digital byte and the two
// codes (u16). Numbers little-endian.
std::string binary_page(const memcmd::SegmentPage& page, uint64_t version) {
    constexpr size_t MOST_PER_SEGMENT = 10 + 1 + 2 + 2;  // ticks of 64 bits take 10 bytes at most
    const size_t error_len = std::min<size_t>(page.error.size(), 255);
    std::string out(14 + error_len + page.segments.size() * MOST_PER_SEGMENT, '\0');
    char* p = put_le(&out[0], page.segments.size(), 4);
    *p++ = char(page.more ? 1 : 0);
    *p++ = char(error_len);
    p = put_le(p, version, 8);
    p = std::copy_n(page.error.data(), error_len, p);
    for (const memcmd::Segment& s : page.segments) {
        uint64_t t = s.ticks;
        for (; t >= 0x80; t >>= 7) *p++ = char((t & 0x7F) | 0x80);
        *p++ = char(t);
        *p++ = char(s.digi);
        p = put_le(p, s.code0, 2);
        p = put_le(p, s.code1, 2);
    }
    out.resize(size_t(p - out.data()));
    return out;
}

// The copy of one slot's memory that pages are decoded from, with the places the last pages
// ended (one per reader paging through it, the most recent few). One slot at a time: reading the
// other replaces it, and it goes once every reader has read its last page.
struct SlotCopy {
    static constexpr size_t CURSORS = 8;
    std::mutex lock;  // one reader at a time
    unsigned slot = 0;
    uint64_t version = 1;  // odd: none
    std::vector<uint8_t> bytes;
    std::vector<memcmd::PageCursor> cursors;  // the most recently used last

    // The cursor nearest before segment `from`, moved to the end of the list (a new one at the
    // start when none is before it).
    memcmd::PageCursor& cursor_for(uint64_t from) {
        auto best = cursors.end();
        for (auto it = cursors.begin(); it != cursors.end(); ++it)
            if (it->index <= from && (best == cursors.end() || it->index > best->index)) best = it;
        memcmd::PageCursor c = best == cursors.end() ? memcmd::PageCursor() : *best;
        if (best != cursors.end())
            cursors.erase(best);
        else if (cursors.size() >= CURSORS)
            cursors.erase(cursors.begin());
        cursors.push_back(c);
        return cursors.back();
    }
};
SlotCopy slot_copy;

// Copies the slot's memory in pieces, the device lock held for one piece at a time; false when
// an upload writes it meanwhile (the copy is then of no use). The window is read with aligned
// loads only (platform.h), in whole 4-byte words.
bool copy_slot(DeviceAccess& device, unsigned slot, uint64_t version, std::vector<uint8_t>& out) {
    constexpr size_t PIECE = 256 * 1024;
    out.clear();
    size_t size = 0;
    for (size_t done = 0;;) {
        const int state = device.locked([&](Pulser& pulser) {
            if (pulser.slotMemoryVersion(slot) != version) return -1;
            const auto region = pulser.slotRegion(slot);
            if (done == 0) {
                size = region.second;
                out.resize((size + 3) & ~size_t(3));
            }
            if (region.second != size) return -1;
            if (out.empty()) return 1;  // nothing uploaded
            const size_t n = std::min(PIECE, out.size() - done);
            platform::window_read(out.data() + done, region.first + done, n);
            done += n;
            return done == out.size() ? 1 : 0;
        });
        if (state < 0) return false;
        if (state > 0) {
            out.resize(size);
            return true;
        }
    }
}

}  // namespace

// One page of a slot, or the status that refuses it: 409 when `expected` (the version the client
// paged with) is not the slot's version, 503 while an upload writes the slot.
int SlotReadback::read_page(unsigned slot, uint64_t from, size_t max, const uint64_t* expected, Page& out) {
    std::lock_guard<std::mutex> reader(slot_copy.lock);
    for (int attempt = 0;; ++attempt) {
        uint64_t version;
        version = device_.locked([&](Pulser& pulser) { return pulser.slotMemoryVersion(slot); });
        if (version & 1) return 503;
        if (expected && *expected != version) return 409;
        if (slot_copy.version != version || slot_copy.slot != slot) {
            slot_copy.version = 1;
            slot_copy.cursors.clear();
            if (!copy_slot(device_, slot, version, slot_copy.bytes)) {
                if (attempt < 2) continue;
                return 503;
            }
            slot_copy.version = version;
            slot_copy.slot = slot;
        }
        out.version = version;
        break;
    }
    if (slot_copy.bytes.empty()) {
        out.page = memcmd::SegmentPage();  // nothing uploaded
    } else {
        out.page = memcmd::read_segments(slot_copy.bytes.data(), slot_copy.bytes.size(), from, max,
                                         &slot_copy.cursor_for(from));
    }
    if (!out.page.more && !slot_copy.cursors.empty()) slot_copy.cursors.pop_back();  // that reader is done
    if (slot_copy.cursors.empty()) {  // every reader is done: the copy goes
        slot_copy.version = 1;
        std::vector<uint8_t>().swap(slot_copy.bytes);
    }
    return 200;
}

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
    bool binary = false;
    if (query_value(info->query_string, "form", text)) {
        if (text != "binary" && text != "json")
            return answer(out, 400, "Bad Request", "{\"error\":\"form: json or binary\"}");
        binary = text == "binary";
    }

    uint64_t expected = 0;
    const bool has_version = query_value(info->query_string, "version", text);
    if (has_version && !read_number(text, expected))
        return answer(out, 400, "Bad Request", "{\"error\":\"version: as a page gave it\"}");

    Page read;
    const int status = read_page(slot, from, size_t(max), has_version ? &expected : nullptr, read);
    if (status == 409)
        return answer(out, 409, "Conflict", "{\"error\":\"the slot was loaded anew while it was read\"}");
    if (status == 503) return answer(out, 503, "Service Unavailable", "{\"error\":\"the slot is being loaded\"}");
    const memcmd::SegmentPage& page = read.page;
    if (binary) return answer(out, 200, "OK", binary_page(page, read.version), "application/octet-stream");
    // Numbers written straight into the text: a page of 65,536 segments is about 1.3 MB of it.
    std::string body = "{\"slot\":" + std::to_string(slot) + ",\"version\":" + std::to_string(read.version) +
                       ",\"from\":" + std::to_string(from) + ",\"segments\":[";
    const size_t head = body.size();
    body.resize(head + page.segments.size() * 48);  // 20 + 3 + 5 + 5 digits, 7 other characters
    char* p = &body[head];
    char* const last = &body[0] + body.size();
    for (size_t i = 0; i < page.segments.size(); ++i) {
        const memcmd::Segment& s = page.segments[i];
        if (i) *p++ = ',';
        *p++ = '[';
        for (const uint64_t v : {s.ticks, uint64_t(s.digi), uint64_t(s.code0), uint64_t(s.code1)}) {
            p = std::to_chars(p, last, v).ptr;
            *p++ = ',';
        }
        p[-1] = ']';
    }
    body.resize(size_t(p - body.data()));
    // The decoder's texts are plain ASCII without quotes or backslashes.
    body += "],\"more\":" + std::string(page.more ? "true" : "false") + ",\"error\":\"" + page.error + "\"}";
    return answer(out, 200, "OK", body);
}
