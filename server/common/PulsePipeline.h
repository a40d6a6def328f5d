// Pieces of a pulse list handed from the thread that produces them (receives or parses) to a
// second thread that consumes them (encodes them into a slot), so that producing the next piece
// overlaps consuming the last.
//
// The caller's buffers, used in turn: the producer fills the one next() gives and submits it; the
// consumer thread passes it to the sink, then gives it back. Memory is the buffers and one thread
// per pipeline. Pieces waiting in the other buffers keep the consumer busy while the producer is
// slow to wake (on an idle machine, a sleeping thread takes hundreds of microseconds to run).
// The sink runs on the consumer thread only, one piece at a time and in order; it takes whatever
// locks it needs itself, and the producer never waits on them, only on a buffer to come back.
// Without a thread to spare the pipeline consumes each piece on the producer's thread in submit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/types.h"

class PulsePipeline {
public:
    using Sink = std::function<void(const Pulse* pulses, size_t count)>;

    // `buffers`: at least two, each holding the largest piece the producer submits.
    PulsePipeline(std::vector<std::vector<Pulse>>& buffers, Sink sink);
    // Waits for what was submitted, as finish does, but rethrows nothing.
    ~PulsePipeline();
    PulsePipeline(const PulsePipeline&) = delete;
    PulsePipeline& operator=(const PulsePipeline&) = delete;

    // The buffer to fill next; waits until the sink is done with it.
    Pulse* next();
    // Hands the buffer next() gave over to the sink, with `count` pulses in it.
    void submit(size_t count);
    // Returns once every submitted piece has been through the sink and the consumer thread has
    // ended. Rethrows the first exception a sink call threw (the pieces after it were skipped).
    void finish();

private:
    void consume();
    void sinkPiece(const Pulse* pulses, size_t count);

    Sink sink_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Pulse*> buffer_;
    std::vector<size_t> count_;
    std::vector<bool> full_;
    size_t produce_ = 0, consume_ = 0;  // the buffer each side uses next
    bool closed_ = false;
    std::exception_ptr error_;  // the consumer's until it is joined
    std::thread consumer_;
};
