#include "common/PulsePipeline.h"

#include <atomic>
#include <system_error>
#include <utility>

namespace {
std::atomic<int> consumers{0};
}

PulsePipeline::PulsePipeline(std::vector<Pulse> (&buffers)[2], Sink sink)
    : sink_(std::move(sink)), buffer_{buffers[0].data(), buffers[1].data()} {
    start();
}

PulsePipeline::PulsePipeline(Sink sink) : sink_(std::move(sink)) { start(); }

void PulsePipeline::start() {
    if (++consumers > kMaxConsumers) {
        --consumers;
        return;  // submit consumes each piece itself
    }
    try {
        consumer_ = std::thread([this] { consume(); });
    } catch (const std::system_error&) {
        --consumers;
    }
}

PulsePipeline::~PulsePipeline() {
    try {
        finish();
    } catch (...) {
    }
}

Pulse* PulsePipeline::next() {
    std::unique_lock<std::mutex> l(mutex_);
    changed_.wait(l, [this] { return !full_[produce_]; });
    return buffer_[produce_];
}

void PulsePipeline::submit(const Pulse* pulses, size_t count) {
    if (!consumer_.joinable()) {
        sinkPiece(pulses, count);
        return;
    }
    std::lock_guard<std::mutex> l(mutex_);
    piece_[produce_] = pulses;
    count_[produce_] = count;
    full_[produce_] = true;
    produce_ ^= 1;
    changed_.notify_all();
}

void PulsePipeline::finish() {
    if (consumer_.joinable()) {
        {
            std::lock_guard<std::mutex> l(mutex_);
            closed_ = true;
            changed_.notify_all();
        }
        consumer_.join();
        --consumers;
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void PulsePipeline::consume() {
    std::unique_lock<std::mutex> l(mutex_);
    for (;;) {
        changed_.wait(l, [this] { return full_[consume_] || closed_; });
        if (!full_[consume_]) return;
        const Pulse* pulses = piece_[consume_];
        const size_t count = count_[consume_];
        l.unlock();
        sinkPiece(pulses, count);
        l.lock();
        full_[consume_] = false;
        consume_ ^= 1;
        changed_.notify_all();
    }
}

void PulsePipeline::sinkPiece(const Pulse* pulses, size_t count) {
    if (error_) return;
    try {
        sink_(pulses, count);
    } catch (...) {
        error_ = std::current_exception();
    }
}
