// A small client of the binary protocol (port 21328) for tests and benchmarks: builds request
// frames, sends sequences without copying the records, and reads answers with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "interfaces/tcp/tcp_protocol.h"

namespace testsupport {

class TcpClient {
public:
    struct Answer {
        tcp::CommandAnswer header;
        bool has_payload = false;
        std::array<uint8_t, 32> payload{};

        template <class T>
        T payloadAs() const {
            static_assert(sizeof(T) == 32, "answer payloads are 32 bytes");
            T v;
            std::memcpy(&v, payload.data(), sizeof(v));
            return v;
        }
    };

    // Connects to 127.0.0.1:port; see connected().
    explicit TcpClient(uint16_t port = tcp::PORT) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) {
            int one = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        }
    }
    ~TcpClient() { disconnect(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void disconnect() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    // Sends every byte of the pieces in order (one system call where the kernel takes it all).
    bool sendPieces(std::vector<iovec> pieces) {
        size_t i = 0;
        while (i < pieces.size()) {
            msghdr msg{};
            msg.msg_iov = pieces.data() + i;
            msg.msg_iovlen = std::min<size_t>(pieces.size() - i, IOV_MAX);
            ssize_t r = sendmsg(fd_, &msg, MSG_NOSIGNAL);
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            auto left = static_cast<size_t>(r);
            while (i < pieces.size() && left >= pieces[i].iov_len) left -= pieces[i++].iov_len;
            if (i < pieces.size()) {
                pieces[i].iov_base = static_cast<uint8_t*>(pieces[i].iov_base) + left;
                pieces[i].iov_len -= left;
            }
        }
        return true;
    }
    bool sendBytes(const void* data, size_t n) { return sendPieces({iovec{const_cast<void*>(data), n}}); }

    static tcp::CommandHeader header(uint32_t tag, uint32_t command, uint64_t length) {
        tcp::CommandHeader h;
        h.tag = tag;
        h.command = command;
        h.length = length;
        return h;
    }
    static tcp::SequenceHeader sequenceHeader(uint64_t n, long long n_runs, const Pulse& final_state, uint8_t slot = 0,
                                              uint8_t next_action = 0, uint8_t when = 0, uint8_t on_nodata = 0) {
        tcp::SequenceHeader s;
        s.n_runs = n_runs;
        s.n_pulses = n;
        s.final_ao0 = final_state.ao0;
        s.final_ao1 = final_state.ao1;
        s.final_digi = final_state.digi;
        s.slot = slot;
        s.next_action = next_action;
        s.when = when;
        s.on_nodata = on_nodata;
        return s;
    }

    // Sends a sequence command: header (payload length 32 + 9 n + `length_delta`), sub-header,
    // the records, then `trailing` extra bytes.
    bool sendSequence(uint32_t command, uint32_t tag, const tcp::SequenceHeader& seq, const Pulse* records,
                      size_t n_records, long long length_delta = 0, size_t trailing = 0) {
        const uint64_t length = sizeof(seq) + n_records * sizeof(Pulse) + static_cast<uint64_t>(length_delta);
        tcp::CommandHeader h = header(tag, command, length);
        std::vector<uint8_t> extra(trailing, 0xEE);
        std::vector<iovec> pieces{{&h, sizeof(h)}, {const_cast<tcp::SequenceHeader*>(&seq), sizeof(seq)}};
        if (n_records > 0) pieces.push_back({const_cast<Pulse*>(records), n_records * sizeof(Pulse)});
        if (trailing > 0) pieces.push_back({extra.data(), extra.size()});
        return sendPieces(pieces);
    }

    // Whether a byte (or the end of the connection) can be read within the time-out.
    bool readable(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
    }

    // Receives exactly n bytes before the deadline.
    bool recvExact(void* out, size_t n, std::chrono::steady_clock::time_point deadline) {
        auto* p = static_cast<uint8_t*>(out);
        while (n > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(left)) return false;
            ssize_t r = recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    // The next answer and its payload; nothing if the connection ends or the time-out passes first.
    std::optional<Answer> readAnswer(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        Answer a;
        if (!recvExact(&a.header, sizeof(a.header), deadline)) return std::nullopt;
        if (a.header.length == 32) {
            if (!recvExact(a.payload.data(), a.payload.size(), deadline)) return std::nullopt;
            a.has_payload = true;
        }
        return a;
    }

    // True when the server ends the connection (orderly close or reset) within the time-out,
    // discarding anything still sent before that.
    bool waitClosed(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        uint8_t buf[4096];
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(left)) return false;
            ssize_t r = recv(fd_, buf, sizeof(buf), 0);
            if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
            if (r < 0) return false;
        }
    }

    std::optional<Answer> stream(const std::vector<Pulse>& pulses, long long n_runs, const Pulse& final_state,
                                 uint32_t tag = 1) {
        if (!sendSequence(tcp::CMD_STREAM, tag, sequenceHeader(pulses.size(), n_runs, final_state), pulses.data(),
                          pulses.size()))
            return std::nullopt;
        return readAnswer();
    }
    std::optional<Answer> upload(uint8_t slot, const std::vector<Pulse>& pulses, long long n_runs,
                                 const Pulse& final_state, uint8_t next_action = 0, uint8_t when = 0,
                                 uint8_t on_nodata = 0, uint32_t tag = 1) {
        auto seq = sequenceHeader(pulses.size(), n_runs, final_state, slot, next_action, when, on_nodata);
        if (!sendSequence(tcp::CMD_UPLOAD, tag, seq, pulses.data(), pulses.size())) return std::nullopt;
        return readAnswer();
    }
    std::optional<Answer> getCalibration(uint32_t tag = 1) {
        auto h = header(tag, tcp::CMD_GET_CALIBRATION, 0);
        if (!sendBytes(&h, sizeof(h))) return std::nullopt;
        return readAnswer();
    }
    std::optional<Answer> setCalibration(const AnalogCalibData& data, uint32_t tag = 1) {
        auto h = header(tag, tcp::CMD_SET_CALIBRATION, sizeof(data));
        if (!sendPieces({{&h, sizeof(h)}, {const_cast<AnalogCalibData*>(&data), sizeof(data)}})) return std::nullopt;
        return readAnswer();
    }

private:
    int fd_ = -1;
};

}  // namespace testsupport
