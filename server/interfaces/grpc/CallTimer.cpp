#include "interfaces/grpc/CallTimer.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace calltimer {

namespace {

using Clock = std::chrono::steady_clock;

// One thread for every watched call, started with the first watch.
class Timer {
public:
    void add(grpc::ServerContext* call, Clock::time_point due) {
        std::lock_guard<std::mutex> g(lock_);
        if (!started_) {
            std::thread([this] { run(); }).detach();
            started_ = true;
        }
        due_[call] = due;
        wake_.notify_one();
    }
    void remove(grpc::ServerContext* call) {
        std::lock_guard<std::mutex> g(lock_);
        due_.erase(call);
        expired_.erase(call);
    }
    bool expired(grpc::ServerContext* call) {
        std::lock_guard<std::mutex> g(lock_);
        return expired_.count(call) != 0;
    }

private:
    void run() {
        std::unique_lock<std::mutex> g(lock_);
        for (;;) {
            Clock::time_point next = Clock::time_point::max();
            const Clock::time_point now = Clock::now();
            for (auto it = due_.begin(); it != due_.end();) {
                if (it->second <= now) {
                    it->first->TryCancel();  // the call's wait for its message ends
                    expired_.insert(it->first);
                    it = due_.erase(it);
                } else {
                    next = std::min(next, it->second);
                    ++it;
                }
            }
            if (next == Clock::time_point::max())
                wake_.wait(g);
            else
                wake_.wait_until(g, next);
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::map<grpc::ServerContext*, Clock::time_point> due_;
    std::set<grpc::ServerContext*> expired_;
    bool started_ = false;
};

Timer& timer() {
    static Timer* t = new Timer;  // lives as long as the process: its thread never ends
    return *t;
}

}  // namespace

Watch::Watch(grpc::ServerContext* call, std::chrono::milliseconds limit) : call_(call) {
    timer().add(call, Clock::now() + limit);
}

Watch::~Watch() { timer().remove(call_); }

bool Watch::expired() const { return timer().expired(call_); }

}  // namespace calltimer
