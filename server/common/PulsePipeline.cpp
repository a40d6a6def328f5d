#include "common/PulsePipeline.h"

#include <system_error>
#include <utility>

PulsePipeline::PulsePipeline(std::vector<std::vector<Pulse>>& buffers, Sink sink)
    : sink_(std::move(sink)), count_(buffers.size()), full_(buffers.size()) {
    for (auto& b : buffers) buffer_.push_back(b.data());
    try {
        consumer_ = std::thread([this] { consume(); });
    } catch (const std::system_error&) {
        // No thread to spare: submit consumes each piece itself.
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

void PulsePipeline::submit(size_t count) {
    if (!consumer_.joinable()) {
        sinkPiece(buffer_[produce_], count);
        return;
    }
    std::lock_guard<std::mutex> l(mutex_);
    count_[produce_] = count;
    full_[produce_] = true;
    produce_ = (produce_ + 1) % buffer_.size();
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
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void PulsePipeline::consume() {
    std::unique_lock<std::mutex> l(mutex_);
    for (;;) {
        changed_.wait(l, [this] { return full_[consume_] || closed_; });
        if (!full_[consume_]) return;
        const Pulse* pulses = buffer_[consume_];
        const size_t count = count_[consume_];
        l.unlock();
        sinkPiece(pulses, count);
        l.lock();
        full_[consume_] = false;
        consume_ = (consume_ + 1) % buffer_.size();
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
