// Pulse lists over the binary protocol (port 21328): a 32-byte request header, a 32-byte sequence
// header, the 9-byte records straight from the caller's memory; one 32-byte answer (plus a 32-byte
// result after an upload).
#include <algorithm>
#include <atomic>
#include <cstring>

#include "net.h"
#include "tarvex/BinaryProtocol.h"
#include "tarvex/Client.h"

namespace tarvex {

namespace {

using namespace binary;

constexpr size_t PROGRESS_STEP = size_t(1) << 20;  // bytes between progress reports

}  // namespace

int Client::sendList(uint32_t command, const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state,
                     unsigned slot, const Chaining& chaining, const Progress& progress) {
    const char* what = command == CMD_STREAM ? "stream" : "upload";
    const size_t limit = command == CMD_STREAM ? MAX_STREAM_PULSES : MAX_UPLOAD_PULSES;
    if (n == 0 || n > limit)
        throw Error(Error::Input, std::string(what) + " of " + std::to_string(n) +
                                      " pulses: the instrument takes 1 to " + std::to_string(limit) + " pulses");
    if (slot > 1) throw Error(Error::Input, "slot " + std::to_string(slot) + ": the instrument has slots 0 and 1");

    net::Connection link(host_, ports_.binary, timeout_);
    static std::atomic<uint32_t> next_tag{1};
    CommandHeader request;
    request.tag = next_tag++;
    request.command = command;
    request.length = sizeof(SequenceHeader) + n * sizeof(Pulse);
    SequenceHeader sequence;
    sequence.n_runs = runs;
    sequence.n_pulses = n;
    sequence.final_ao0 = final_state.ao0;
    sequence.final_ao1 = final_state.ao1;
    sequence.final_digi = final_state.digi;
    sequence.slot = static_cast<uint8_t>(slot);
    sequence.next_action = chaining.next_action;
    sequence.when = chaining.when;
    sequence.on_nodata = chaining.on_nodata;

    // Headers with the first piece of the records, then the records in steps (for the progress
    // report): every byte goes from the caller's list to the socket.
    const uint64_t total = sizeof request + request.length;
    const auto* records = reinterpret_cast<const char*>(pulses);
    const size_t record_bytes = n * sizeof(Pulse);
    const size_t step = progress ? PROGRESS_STEP : record_bytes;
    bool sent_all = true;
    for (size_t offset = 0; offset < record_bytes && sent_all;) {
        const size_t piece = std::min(step, record_bytes - offset);
        iovec pieces[3];
        int count = 0;
        if (offset == 0) {
            pieces[count++] = {&request, sizeof request};
            pieces[count++] = {&sequence, sizeof sequence};
        }
        pieces[count++] = {const_cast<char*>(records + offset), piece};
        sent_all = link.send(pieces, count, timeout_);
        offset += piece;
        if (progress) progress(sizeof request + sizeof sequence + offset, total);
    }

    // The answer; the instrument may have answered (and closed) before taking every byte.
    CommandAnswer answer;
    const auto deadline = net::Clock::now() + timeout_;
    if (!link.receive(&answer, sizeof answer, deadline))
        throw Error(Error::Unreachable,
                    link.endpoint() + " closed the connection without answering the " + what +
                        (sent_all ? "" : " (it stopped taking the pulses)"),
                    link.endpoint());
    if (answer.magic != MAGIC || answer.tag != request.tag || answer.command != command ||
        (answer.length != 0 && answer.length != ANSWER_PAYLOAD))
        throw Error(Error::Protocol, link.endpoint() + " answered the " + what + " with a malformed frame",
                    link.endpoint());
    int32_t result = 0;
    if (answer.length == ANSWER_PAYLOAD) {
        char payload[ANSWER_PAYLOAD];
        if (!link.receive(payload, sizeof payload, deadline))
            throw Error(Error::Protocol, link.endpoint() + " cut the answer to the " + what + " short",
                        link.endpoint());
        std::memcpy(&result, payload, sizeof result);
    }
    if (answer.status != 0)
        throw Error(Error::Refused,
                    "the instrument refused the " + std::string(what) + ": " + statusText(answer.status) + " (status " +
                        std::to_string(answer.status) + ")",
                    link.endpoint(), answer.status);
    if (command == CMD_UPLOAD && answer.length != ANSWER_PAYLOAD)
        throw Error(Error::Protocol, link.endpoint() + " answered the upload without its result", link.endpoint());
    if (result < 0)
        throw Error(Error::Refused,
                    "the instrument refused the upload to slot " + std::to_string(slot) + " (result " +
                        std::to_string(result) + ")",
                    link.endpoint(), result);
    return result;
}

// The binary port serves one client at a time: one that takes nothing and does not answer in
// time, while gRPC answers, is held by another client.
template <class Send>
int Client::unlessBusy(Send send) {
    try {
        return send();
    } catch (const Error& e) {
        const std::string what = e.what();
        const bool waited = e.kind() == Error::Unreachable && (what.rfind("no answer from ", 0) == 0 ||
                                                               what.find(" took nothing for ") != std::string::npos);
        if (!waited) throw;
        try {
            hostname();
        } catch (const Error&) {
            throw e;
        }
        throw Error(Error::Busy,
                    "the binary port " + e.endpoint() + " is busy: another client holds it (no answer within " +
                        std::to_string(timeout_.count()) + " ms); try again when it is free",
                    e.endpoint());
    }
}

void Client::stream(const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state, const Progress& progress) {
    unlessBusy([&] { return sendList(CMD_STREAM, pulses, n, runs, final_state, 0, Chaining{}, progress); });
}

int Client::upload(unsigned slot, const Pulse* pulses, size_t n, int64_t runs, const Pulse& final_state,
                   const Chaining& chaining, const Progress& progress) {
    return unlessBusy([&] { return sendList(CMD_UPLOAD, pulses, n, runs, final_state, slot, chaining, progress); });
}

}  // namespace tarvex
