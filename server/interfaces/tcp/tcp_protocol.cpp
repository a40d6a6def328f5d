// Connection handling of the binary protocol: frames, commands, status codes and the accept loop.
// Kept free of the program's globals so it can serve any device; tcp_server.cpp binds it to
// `pulser` and `pulser_lock`.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "device/Pulser.h"
#include "interfaces/tcp/tcp_protocol.h"

int RecvAll(int fd, void* buffer, long long length) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        ssize_t r = recv(fd, p, static_cast<size_t>(length), 0);
        if (r <= 0) return static_cast<int>(r);
        p += r;
        length -= r;
    }
    return 1;
}

void print_streamHighLevel_call(const std::vector<Pulse>& pulses, long long n_runs, const Pulse& final_state) {
    std::cout << "StreamHighLevel call: len: " << pulses.size() << ", "
              << "n_runs: " << n_runs << ", "
              << "final: " << final_state.ticks << "|" << static_cast<unsigned>(final_state.digi) << "|"
              << final_state.ao0 << "|" << final_state.ao1 << std::endl;
}

void print_upload_call(const std::vector<Pulse>& pulses, long long n_runs, const Pulse& final_state, sequences_t slot,
                       next_action_t next_action, when_t when, on_nodata_t on_nodata) {
    std::cout << "StreamHighLevel call: len: " << pulses.size() << ", "
              << "n_runs: " << n_runs << ", Sequence number: " << slot << ", Stream_in_flags: " << next_action
              << "|" << when << "|" << on_nodata << ", "
              << "final: " << final_state.ticks << "|" << static_cast<unsigned>(final_state.digi) << "|"
              << final_state.ao0 << "|" << final_state.ao1 << std::endl;
}

namespace tcp {

int PulserDevice::stream(const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state) {
    return pulser_.stream(seq, n_runs, final_state);
}
int PulserDevice::upload(sequences_t slot, const std::vector<Pulse>& seq, long long n_runs, const Pulse& final_state,
                         next_action_t next_action, when_t when, on_nodata_t on_nodata) {
    return pulser_.upload(slot, seq, n_runs, final_state, next_action, when, on_nodata);
}
SequenceControlData PulserDevice::getSequenceControlData(int slot) { return pulser_.getSequenceControlData(slot); }
void PulserDevice::set_qos() { pulser_.set_qos(); }
void PulserDevice::reset_qos() { pulser_.reset_qos(); }
AnalogCalibData PulserDevice::getAnalogCalibration() { return pulser_.getAnalogCalibration(); }
int32_t PulserDevice::setAnalogCalibration(AnalogCalibData data) { return pulser_.setAnalogCalibration(data); }

namespace {

constexpr size_t RECORD = sizeof(Pulse);

// One connection: its socket, the reused pulse buffer and the header of the command being
// served, whose length counts the payload bytes not yet consumed.
class Connection {
public:
    Connection(int fd, StreamDevice& device, std::mutex& lock) : fd_(fd), device_(device), lock_(lock) {
        pulses_.reserve(MAX_UPLOAD_PULSES);
    }

    // Serves commands until the connection ends.
    void run() {
        for (;;) {
            if (recv(fd_, &header_, sizeof(header_), MSG_WAITALL) != static_cast<ssize_t>(sizeof(header_))) break;
            if (header_.magic != MAGIC) break;
            payload_start_ = std::chrono::steady_clock::now();
            payload_received_ = 0;
            // The pulse buffer keeps its size between commands: resizing it to the next command's
            // count then initialises only what it grows by.
            if (!dispatch()) break;
        }
    }

private:
    // Serves the command in header_; false when the connection is to end.
    bool dispatch() {
        switch (header_.command) {
            case CMD_STREAM:
                return streamCommand();
            case CMD_UPLOAD:
                return uploadCommand();
            case CMD_SET_CALIBRATION:
                return setCalibrationCommand();
            case CMD_GET_CALIBRATION:
                return getCalibrationCommand();
            default:
                // The payload an unknown command announces is discarded, never read as commands;
                // one longer than any command's payload ends the connection.
                std::cout << "Command not found" << std::endl;
                answer(STATUS_UNKNOWN_COMMAND);
                return header_.length <= MAX_PAYLOAD && consumeRest();
        }
    }

    // Sends the answer; a 32-byte payload goes out in the same segment. A peer that has gone away
    // only fails the send.
    void answer(uint32_t status, const void* payload = nullptr) {
        CommandAnswer a(header_.tag, status, header_.command, payload ? 32 : 0);
        if (payload) {
            send(fd_, &a, sizeof(a), MSG_MORE | MSG_NOSIGNAL);
            send(fd_, payload, 32, MSG_NOSIGNAL);
        } else {
            send(fd_, &a, sizeof(a), MSG_NOSIGNAL);
        }
    }

    // Receives exactly `n` payload bytes, each in time for the payload's minimum average rate
    // and within the idle time-out; false when the peer is too slow, has gone or failed.
    bool recvPayload(void* buffer, size_t n) {
        auto* p = static_cast<uint8_t*>(buffer);
        while (n > 0) {
            using namespace std::chrono;
            const auto due = payload_start_ + seconds(PAYLOAD_GRACE_S) +
                             microseconds(payload_received_ * 1000000 / PAYLOAD_MIN_RATE);
            auto wait = duration_cast<milliseconds>(due - steady_clock::now()).count() + 1;
            if (wait > RECEIVE_TIMEOUT_S * 1000) wait = RECEIVE_TIMEOUT_S * 1000;
            if (wait <= 0) return false;
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(wait));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            const ssize_t r = recv(fd_, p, n, MSG_DONTWAIT);
            if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
            payload_received_ += static_cast<uint64_t>(r);
        }
        return true;
    }

    // Takes `n` payload bytes off the count still announced by the header.
    void consumed(uint64_t n) { header_.length = header_.length > n ? header_.length - n : 0; }

    // Reads and discards what the command did not use of its payload; false if it did not all arrive.
    bool consumeRest() {
        uint8_t scratch[16384];
        while (header_.length > 0) {
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(header_.length, sizeof(scratch)));
            if (!recvPayload(scratch, chunk)) return false;
            consumed(chunk);
        }
        return true;
    }

    // Receives the sequence sub-header and checks it against the payload length and `limit`.
    // Answers and returns false when the connection is to end.
    bool sequenceHeader(uint64_t limit) {
        if (!recvPayload(&seq_, sizeof(seq_))) {
            answer(STATUS_TRANSFER_ERROR);
            return false;
        }
        // length < 32 + 9 n, without overflow for any n.
        const uint64_t n = seq_.n_pulses;
        if (header_.length < sizeof(seq_) || (header_.length - sizeof(seq_)) / RECORD < n) {
            answer(STATUS_TRANSFER_ERROR);
            return false;
        }
        if (n > limit) {
            answer(STATUS_TOO_MANY_PULSES);
            return false;
        }
        consumed(sizeof(seq_));
        return true;
    }

    Pulse finalState() const { return Pulse{0, seq_.final_digi, seq_.final_ao0, seq_.final_ao1}; }

    // Receives the n records straight into the pulse buffer.
    bool receiveRecords() {
        pulses_.resize(seq_.n_pulses);
        const long long bytes = static_cast<long long>(seq_.n_pulses * RECORD);
        if (!recvPayload(pulses_.data(), static_cast<size_t>(bytes))) return false;
        consumed(static_cast<uint64_t>(bytes));
        return true;
    }

    // Receives the records in paced blocks, leaving memory bandwidth to a busy playback.
    bool receiveRecordsPaced() {
        const uint64_t n = seq_.n_pulses;
        pulses_.resize(n);
        auto* p = reinterpret_cast<uint8_t*>(pulses_.data());
        uint64_t received = 0;
        for (uint64_t done = 0; done + THROTTLE_BLOCK <= n; done += THROTTLE_BLOCK) {
            if (!recvPayload(p + received, THROTTLE_BLOCK * RECORD)) return false;
            received += THROTTLE_BLOCK * RECORD;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        const size_t rest = (n % THROTTLE_BLOCK) * RECORD;
        if (rest > 0 && !recvPayload(p + received, rest)) return false;
        received += rest;
        consumed(received);
        return received == n * RECORD;
    }

    // Runs a sequence operation, converting the encoder's exceptions into status codes.
    template <class Call>
    uint32_t deviceCall(Call call) {
        try {
            call();
            return STATUS_OK;
        } catch (const std::out_of_range& e) {
            std::cout << "out of memory " << e.what() << std::endl;
            return STATUS_OUT_OF_RANGE;
        } catch (const std::bad_alloc& e) {
            std::cout << "out of memory " << e.what() << std::endl;
            return STATUS_OUT_OF_MEMORY;
        }
    }

    bool streamCommand() {
        if (!sequenceHeader(MAX_STREAM_PULSES)) return false;
        if (seq_.n_pulses == 0) {
            std::cout << EMPTY_SEQUENCE << std::endl;
            const bool rest = consumeRest();
            answer(rest ? STATUS_EMPTY_SEQUENCE : STATUS_TRANSFER_ERROR);
            return rest;
        }
        if (!receiveRecords()) {
            answer(STATUS_TRANSFER_ERROR);
            return false;
        }
        const Pulse final_state = finalState();
        uint32_t status;
        int started = 0;
        {
            std::lock_guard<std::mutex> g(lock_);
            print_streamHighLevel_call(pulses_, seq_.n_runs, final_state);
            status = deviceCall([&] {
                started = device_.stream(pulses_, seq_.n_runs, final_state);
                std::cout << "Streaming..." << std::endl;
            });
        }
        if (status == STATUS_OK && started < 0) status = STATUS_NOT_STARTED;
        if (!consumeRest()) status = STATUS_TRANSFER_ERROR;
        answer(status);
        return true;
    }

    // Whether either slot holds a sequence of more than THROTTLE_SLOT_PULSES commands above `rate`.
    static bool loadedAbove(const SequenceControlData (&slots)[2], double rate) {
        for (const auto& s : slots)
            if (s.nPulses > THROTTLE_SLOT_PULSES && s.dataRate > rate) return true;
        return false;
    }

    void resetQos() {
        std::lock_guard<std::mutex> g(lock_);
        device_.reset_qos();
    }

    bool uploadCommand() {
        if (!sequenceHeader(MAX_UPLOAD_PULSES)) return false;
        const uint64_t n = seq_.n_pulses;

        bool paced = false;
        {
            // Only the throttling decision needs the slots; the records arrive without the lock.
            std::lock_guard<std::mutex> g(lock_);
            SequenceControlData slots[2];
            slots[1] = device_.getSequenceControlData(1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            slots[0] = device_.getSequenceControlData(0);
            if (n > THROTTLE_MIN_PULSES && loadedAbove(slots, THROTTLE_RATE)) {
                paced = true;
                std::cout << "Throtteling upload" << std::endl;
                if (loadedAbove(slots, QOS_RATE)) device_.set_qos();
            } else {
                std::cout << "Normal upload" << std::endl;
            }
        }
        if (!(paced ? receiveRecordsPaced() : receiveRecords())) {
            answer(STATUS_TRANSFER_ERROR);
            resetQos();
            return false;
        }

        const Pulse final_state = finalState();
        const sequences_t slot = seq_.slot;
        const next_action_t next_action = seq_.next_action;
        const when_t when = seq_.when;
        const on_nodata_t on_nodata = seq_.on_nodata;
        UploadResult result;
        bool returned = false;
        uint32_t status;
        {
            std::lock_guard<std::mutex> g(lock_);
            print_upload_call(pulses_, seq_.n_runs, final_state, slot, next_action, when, on_nodata);
            status = deviceCall([&] {
                result.value = device_.upload(slot, pulses_, seq_.n_runs, final_state, next_action, when, on_nodata);
                returned = true;
                std::cout << "Uploading sequence data..." << std::endl;
            });
            device_.reset_qos();
        }
        if (!consumeRest()) status = STATUS_TRANSFER_ERROR;
        answer(status, returned ? &result : nullptr);
        return true;
    }

    bool setCalibrationCommand() {
        std::cout << "Receive calibration values..." << std::endl;
        AnalogCalibData data;
        if (header_.length != sizeof(data) || !recvPayload(&data, sizeof(data))) {
            answer(STATUS_TRANSFER_ERROR);
            return false;
        }
        int32_t r;
        {
            std::lock_guard<std::mutex> g(lock_);
            r = device_.setAnalogCalibration(data);
        }
        std::cout << "data structure of calibration data finished" << std::endl;
        answer(r == -1 ? STATUS_CALIBRATION_FAILED : STATUS_OK);
        return true;
    }

    bool getCalibrationCommand() {
        std::cout << "Send calibration values..." << std::endl;
        // A payload is not part of this command: it is discarded, never read as a command.
        if (!consumeRest()) return false;
        AnalogCalibData data;
        {
            std::lock_guard<std::mutex> g(lock_);
            data = device_.getAnalogCalibration();
        }
        answer(STATUS_OK, &data);
        return true;
    }

    int fd_;
    StreamDevice& device_;
    std::mutex& lock_;
    CommandHeader header_;
    SequenceHeader seq_;
    std::vector<Pulse> pulses_;
    std::chrono::steady_clock::time_point payload_start_;
    uint64_t payload_received_ = 0;
};

}  // namespace

void serveConnection(int fd, StreamDevice& device, std::mutex& lock) {
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        std::cout << "Setting TCP_NODELAY did not work." << std::endl;
    {
        Connection c(fd, device, lock);
        c.run();
    }
    std::cout << "Exit socketThread " << std::endl;
    close(fd);
}

bool acceptRetryable(int err, bool& pause) {
    pause = false;
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        // Network errors of a connection not yet accepted, reported through accept.
        case ENETDOWN:
        case EPROTO:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            pause = true;
            return true;
        default:
            return false;
    }
}

void acceptLoop(int listen_fd, const AcceptFn& accept_fn, const std::function<void(int fd)>& serve) {
    int reported = 0;  // last shortage printed, so a lasting one is printed once
    for (;;) {
        int fd = accept_fn(listen_fd);
        if (fd < 0) {
            const int err = errno;
            bool pause = false;
            if (acceptRetryable(err, pause)) {
                if (pause) {
                    if (err != reported) {
                        std::cout << "ERROR on accept" << std::endl << std::strerror(err) << std::endl;
                        reported = err;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                continue;
            }
            std::cout << "ERROR on accept" << std::endl << std::strerror(err) << std::endl;
            close(listen_fd);
            return;
        }
        reported = 0;
        // One connection at a time: the handler ends before the next accept.
        try {
            std::thread handler(serve, fd);
            handler.join();
        } catch (const std::system_error&) {
            serve(fd);  // no thread to spare: serve it here, with the same effect
        }
    }
}

}  // namespace tcp
