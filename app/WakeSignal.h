#pragma once
// Wakes a polling worker early: the worker waits at most its polling period, and returns at once when
// another thread has signalled since its last wait. Signals do not queue up; one wait consumes them all.
#include <chrono>
#include <condition_variable>
#include <mutex>

class WakeSignal {
public:
    void notify() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    // True when woken by a signal, false when the period ran out.
    bool waitFor(unsigned milliseconds) {
        std::unique_lock lock(mutex_);
        const bool woken = cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return signalled_; });
        signalled_ = false;
        return woken;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};
