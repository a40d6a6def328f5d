// Connection handling of the binary protocol: frames, commands, status codes and the accept loop.
// It serves any StreamDevice; tcp_server.cpp binds it to the device main hands in.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/PulsePipeline.h"
#include "device/Pulser.h"
#include "interfaces/interfaces.h"
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

void print_streamHighLevel_call(uint64_t n_pulses, long long n_runs, const Pulse& final_state) {
    std::cout << "StreamHighLevel call: len: " << n_pulses << ", "
              << "n_runs: " << n_runs << ", "
              << "final: " << final_state.ticks << "|" << static_cast<unsigned>(final_state.digi) << "|"
              << final_state.ao0 << "|" << final_state.ao1 << std::endl;
}

void print_upload_call(uint64_t n_pulses, long long n_runs, const Pulse& final_state, sequences_t slot,
                       next_action_t next_action, when_t when, on_nodata_t on_nodata) {
    std::cout << "StreamHighLevel call: len: " << n_pulses << ", "
              << "n_runs: " << n_runs << ", Sequence number: " << slot << ", Stream_in_flags: " << next_action << "|"
              << when << "|" << on_nodata << ", "
              << "final: " << final_state.ticks << "|" << static_cast<unsigned>(final_state.digi) << "|"
              << final_state.ao0 << "|" << final_state.ao1 << std::endl;
}

namespace tcp {

int PulserDevice::openStream(long long n_runs, const Pulse& final_state, uint64_t& id) {
    return pulser_.openStream(n_runs, final_state, id);
}
int PulserDevice::closeStream(uint64_t id) { return pulser_.closeStream(id); }
int PulserDevice::openFill(const SlotFill& fill, uint64_t& id) { return pulser_.openFill(fill, id); }
bool PulserDevice::fillPulses(uint64_t id, const Pulse* pulses, size_t count) {
    return pulser_.fillPulses(id, pulses, count);
}
int PulserDevice::closeFill(uint64_t id) { return pulser_.closeFill(id); }
void PulserDevice::dropFill(uint64_t id) { pulser_.dropFill(id); }
SequenceControlData PulserDevice::getSequenceControlData(int slot) { return pulser_.getSequenceControlData(slot); }
void PulserDevice::set_qos() { pulser_.set_qos(); }
void PulserDevice::reset_qos() { pulser_.reset_qos(); }
AnalogCalibData PulserDevice::getAnalogCalibration() { return pulser_.getAnalogCalibration(); }
int32_t PulserDevice::setAnalogCalibration(AnalogCalibData data) { return pulser_.setAnalogCalibration(data); }

namespace {

constexpr size_t RECORD = sizeof(Pulse);

// The port's listening socket, while acceptLoop runs on it: the connection being served looks
// there for a client waiting its turn.
std::atomic<int> listening{-1};

// Receive buffers kept from one connection to the next (one is served at a time), so that a new
// connection does not fault them in anew: one set at most.
std::mutex spare_lock;
std::vector<std::vector<Pulse>> spare_chunks;

std::vector<std::vector<Pulse>> takeChunks() {
    std::vector<std::vector<Pulse>> chunks;
    {
        std::lock_guard<std::mutex> g(spare_lock);
        chunks.swap(spare_chunks);
    }
    if (chunks.size() != FILL_BUFFERS) chunks.assign(FILL_BUFFERS, std::vector<Pulse>(FILL_CHUNK));
    return chunks;
}

void keepChunks(std::vector<std::vector<Pulse>>&& chunks) {
    std::lock_guard<std::mutex> g(spare_lock);
    spare_chunks = std::move(chunks);
}

// One connection: its socket, its receive buffers (a chunk of records each, reused by every
// command: one is received while the others wait to be put into the slot, or are) and the header
// of the command being served, whose length counts the payload bytes not yet consumed.
class Connection {
public:
    Connection(int fd, StreamDevice& device, std::mutex& lock)
        : fd_(fd), device_(device), lock_(lock), chunks_(takeChunks()) {}
    ~Connection() { keepChunks(std::move(chunks_)); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Serves commands until the connection ends.
    void run() {
        for (;;) {
            if (!awaitCommand()) break;
            if (recv(fd_, &header_, sizeof(header_), MSG_WAITALL) != static_cast<ssize_t>(sizeof(header_))) break;
            if (header_.magic != MAGIC) break;
            payload_start_ = std::chrono::steady_clock::now();
            payload_received_ = 0;
            if (!dispatch()) break;
        }
    }

private:
    // Waits for the next command (or the end of the connection); false when it is not begun in
    // time: within the idle time-out, or, once another client waits for the port, within
    // HANDOVER_MS of the end of the last command.
    bool awaitCommand() {
        using namespace std::chrono;
        const auto now = steady_clock::now();
        const auto idle_end = now + seconds(RECEIVE_TIMEOUT_S), handover = now + milliseconds(HANDOVER_MS);
        pollfd p[2] = {{fd_, POLLIN, 0}, {listening.load(), POLLIN, 0}};
        bool waiting = false;
        for (;;) {
            const auto end = waiting ? std::min(idle_end, handover) : idle_end;
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count() + 1;
            if (left <= 0) return false;
            const int r = poll(p, waiting || p[1].fd < 0 ? 1 : 2, static_cast<int>(left));
            if (r < 0 && errno != EINTR) return false;
            if (r > 0 && p[0].revents) return true;
            if (r > 0 && (p[1].revents & POLLIN)) waiting = true;
        }
    }

    // Serves the command in header_; false when the connection is to end.
    bool dispatch() {
        switch (header_.command) {
            case CMD_STREAM: return sequenceCommand(true);
            case CMD_UPLOAD: return sequenceCommand(false);
            case CMD_SET_CALIBRATION: return setCalibrationCommand();
            case CMD_GET_CALIBRATION: return getCalibrationCommand();
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

    // Receives `count` records into `chunk`; paced: in blocks with pauses, leaving memory
    // bandwidth to a busy playback.
    bool receiveChunk(Pulse* chunk, size_t count, bool paced) {
        auto* p = reinterpret_cast<uint8_t*>(chunk);
        for (size_t done = 0; done < count;) {
            const size_t block = paced ? std::min(THROTTLE_BLOCK, count - done) : count;
            if (!recvPayload(p + done * RECORD, block * RECORD)) return false;
            done += block;
            if (paced && block == THROTTLE_BLOCK) std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        consumed(count * RECORD);
        return true;
    }

    // The status answering a stream's or an upload's outcome.
    static uint32_t statusOf(const LoadOutcome& out) {
        switch (out.kind) {
            case LoadOutcome::LOADED: return STATUS_OK;
            case LoadOutcome::TOO_LARGE: return STATUS_OUT_OF_RANGE;
            case LoadOutcome::NO_MEMORY: break;
        }
        return STATUS_OUT_OF_MEMORY;
    }

    // Runs a device call that may refuse the sequence, as a status.
    template <class Call>
    static uint32_t deviceCall(Call call) {
        return statusOf(loadSequence([&] {
            call();
            return 0;
        }));
    }

    // Whether either slot holds a sequence of more than THROTTLE_SLOT_PULSES commands above `rate`.
    static bool loadedAbove(const SequenceControlData (&slots)[2], double rate) {
        for (const auto& s : slots)
            if (s.nPulses > THROTTLE_SLOT_PULSES && s.dataRate > rate) return true;
        return false;
    }

    // Whether an upload's records are received paced (and QoS lowered) for a busy playback.
    bool throttle() {
        std::lock_guard<std::mutex> g(lock_);
        SequenceControlData slots[2];
        slots[1] = device_.getSequenceControlData(1);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        slots[0] = device_.getSequenceControlData(0);
        if (seq_.n_pulses > THROTTLE_MIN_PULSES && loadedAbove(slots, THROTTLE_RATE)) {
            std::cout << "Throtteling upload" << std::endl;
            if (loadedAbove(slots, QOS_RATE)) device_.set_qos();
            return true;
        }
        std::cout << "Normal upload" << std::endl;
        return false;
    }

    // The fill of one CMD_STREAM or CMD_UPLOAD: opened with the first chunk, fed chunk by chunk on
    // the pipeline's thread, read by the connection's once the pipeline has finished.
    struct Fill {
        uint64_t id = 0;
        bool tried = false;  // opened, or refused (then the records are only consumed)
        int opened = 0;
        uint32_t status = STATUS_OK;
    };

    // Puts a chunk that has arrived into the slot, opening the fill with the first one.
    void fillChunk(bool stream, Fill& f, const Pulse* chunk, size_t count) {
        std::lock_guard<std::mutex> g(lock_);
        const Pulse final_state = finalState();
        if (!f.tried) {
            f.tried = true;
            if (stream) {
                print_streamHighLevel_call(seq_.n_pulses, seq_.n_runs, final_state);
                f.opened = device_.openStream(seq_.n_runs, final_state, f.id);
            } else {
                print_upload_call(seq_.n_pulses, seq_.n_runs, final_state, seq_.slot, seq_.next_action, seq_.when,
                                  seq_.on_nodata);
                f.opened = device_.openFill(
                    SlotFill{seq_.slot, seq_.n_runs, final_state, seq_.next_action, seq_.when, seq_.on_nodata}, f.id);
            }
            if (f.opened == FILL_OVERTAKEN) f.status = STATUS_OVERTAKEN;
        }
        if (f.id == 0 || f.status != STATUS_OK || count == 0) return;
        bool kept = true;
        f.status = deviceCall([&] { kept = device_.fillPulses(f.id, chunk, count); });
        if (f.status == STATUS_OK && !kept) f.status = STATUS_OVERTAKEN;
    }

    // Receives the records chunk by chunk into `f`, each chunk put into the slot while the next
    // arrives (the first, even an empty one, opens the fill). Returns once every chunk received is
    // in; false when the records did not all arrive.
    bool receiveFill(bool stream, Fill& f, bool paced) {
        PulsePipeline pipeline(chunks_, [&](const Pulse* chunk, size_t count) { fillChunk(stream, f, chunk, count); });
        const uint64_t n = seq_.n_pulses;
        bool whole = true;
        uint64_t done = 0;
        do {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(FILL_CHUNK, n - done));
            whole = receiveChunk(pipeline.next(), count, paced);
            if (whole) pipeline.submit(count);
            done += count;
        } while (whole && done < n);
        pipeline.finish();
        return whole;
    }

    bool sequenceCommand(bool stream) {
        if (!sequenceHeader(stream ? MAX_STREAM_PULSES : MAX_UPLOAD_PULSES)) return false;
        if (stream && seq_.n_pulses == 0) {
            std::cout << EMPTY_SEQUENCE << std::endl;
            const bool rest = consumeRest();
            answer(rest ? STATUS_EMPTY_SEQUENCE : STATUS_TRANSFER_ERROR);
            return rest;
        }
        const bool paced = !stream && throttle();
        Fill f;
        if (!receiveFill(stream, f, paced)) {
            // The sender has gone or stalled: the slot stays empty.
            answer(STATUS_TRANSFER_ERROR);
            std::lock_guard<std::mutex> g(lock_);
            device_.dropFill(f.id);
            if (!stream) device_.reset_qos();
            return false;
        }

        UploadResult result;
        bool returned = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (f.status == STATUS_OK && stream) {
                int started = 0;
                f.status = deviceCall([&] {
                    started = device_.closeStream(f.id);
                    std::cout << "Streaming..." << std::endl;
                });
                if (started == FILL_OVERTAKEN)
                    f.status = STATUS_OVERTAKEN;
                else if (f.status == STATUS_OK && started < 0)
                    f.status = STATUS_NOT_STARTED;
            } else if (f.status == STATUS_OK) {
                // A refused upload answers its -1 as the value, as `upload` does.
                result.value = f.opened;
                if (f.id != 0) f.status = deviceCall([&] { result.value = device_.closeFill(f.id); });
                std::cout << "Uploading sequence data..." << std::endl;
                if (result.value == FILL_OVERTAKEN) f.status = STATUS_OVERTAKEN;
                returned = f.status == STATUS_OK;
            }
            if (!stream) device_.reset_qos();
        }
        if (!consumeRest()) f.status = STATUS_TRANSFER_ERROR;
        answer(f.status, returned ? &result : nullptr);
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
    std::vector<std::vector<Pulse>> chunks_;
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
        case ENETUNREACH: return true;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM: pause = true; return true;
        default: return false;
    }
}

void acceptLoop(int listen_fd, const AcceptFn& accept_fn, const std::function<void(int fd)>& serve) {
    int reported = 0;  // last shortage printed, so a lasting one is printed once
    listening = listen_fd;
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
            listening = -1;
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
