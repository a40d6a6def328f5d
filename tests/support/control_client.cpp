#include "support/control_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    std::string line = request + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            return "";
        }
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
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            return "";
        }
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

}  // namespace testsupport
