#include "support/control_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/Pulse.h"

namespace testsupport {

ControlClient::ControlClient(std::string socket_path) : path_(std::move(socket_path)) {}

ControlClient::~ControlClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool ControlClient::connect() {
    if (fd_ >= 0) return true;
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    pending_.clear();
    return true;
}

std::string ControlClient::send(const std::string& request) {
    if (!connect()) return "";
    auto lost = [this] {  // the connection is dropped; the next request connects anew
        ::close(fd_);
        fd_ = -1;
        return std::string();
    };
    std::string line = request + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return lost();
        done += static_cast<size_t>(n);
    }
    for (;;) {
        size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            std::string reply = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            return reply;
        }
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return lost();
        pending_.append(chunk, static_cast<size_t>(n));
    }
}

rapidjson::Document ControlClient::call(const std::string& request) {
    rapidjson::Document doc;
    std::string reply = send(request);
    doc.Parse(reply.c_str(), reply.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("ok")) doc.SetNull();
    return doc;
}

rapidjson::Document ControlClient::ok(const std::string& request) {
    rapidjson::Document doc = call(request);
    bool good = doc.IsObject() && doc["ok"].IsBool() && doc["ok"].GetBool();
    EXPECT_TRUE(good) << "control request failed: " << request;
    return doc;
}

rapidjson::Document ControlClient::expectPlays(unsigned slot, const std::vector<Pulse>& pulses, size_t checked) {
    const size_t n = std::min(checked, pulses.size());
    rapidjson::Document d = ok("{\"cmd\":\"segments\",\"slot\":" + std::to_string(slot) +
                               ",\"max\":" + std::to_string(std::min(checked, pulses.size() + 1)) + "}");
    if (!d.IsObject() || !d.HasMember("segments")) return d;
    uint64_t ticks = 0;
    for (const Pulse& p : pulses) ticks += p.ticks;
    EXPECT_EQ(d["whole_ticks"].GetUint64(), ticks / 8);
    EXPECT_EQ(d["decode_error"].GetStringLength(), 0u) << d["decode_error"].GetString();
    const auto& segments = d["segments"];
    EXPECT_EQ(segments.Size(), n);
    for (rapidjson::SizeType i = 0; i < std::min<size_t>(n, segments.Size()); ++i) {
        ANALOG_TO_BYTES codes;
        codes.setWithCalibration(pulses[i].ao0, pulses[i].ao1, AnalogCalibDataCorr());
        const auto& s = segments[i];
        const bool same = s[0].GetUint64() == pulses[i].ticks && s[1].GetUint() == pulses[i].digi &&
                          s[2].GetUint() == (codes.value & 0xFFFF) && s[3].GetUint() == codes.value >> 16;
        if (!same) {
            ADD_FAILURE() << "segment " << i << " is not pulse " << i;
            break;
        }
    }
    return d;
}

}  // namespace testsupport
