#include "CThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits up to `limitMs` for `flag`, so a fault fails the test instead of hanging it.
bool becomesTrue(const std::atomic<bool>& flag, int limitMs = 5000) {
    for (int waited = 0; waited < limitMs && !flag; waited += 5)
        Sleep(5);
    return flag;
}

// The usual worker: loops while PingThread succeeds and counts its runs and completed runs.
class LoopWorker : public CThread {
public:
    ~LoopWorker() override {
        Stop();
        Join();
    }
    void Run() override {
        ++runs;
        started = true;
        while (PingThread(1000))
            Sleep(1);
        ++completed;
    }
    std::atomic<int> runs{0}, completed{0};
    std::atomic<bool> started{false};
};

TEST(CThread, RepeatedAndConcurrentStartsCreateOneThread) {
    LoopWorker w;
    EXPECT_EQ(w.ThreadState(), CThread::Stopped);
    EXPECT_EQ(w.ErrorFlags(), 0u);
    std::vector<std::thread> starters;
    for (int i = 0; i < 4; ++i)
        starters.emplace_back([&] { EXPECT_TRUE(w.Start()); });
    for (auto& t : starters)
        t.join();
    ASSERT_TRUE(becomesTrue(w.started));
    EXPECT_TRUE(w.Start());
    w.Stop();
    w.Join();
    EXPECT_EQ(w.runs, 1);
    EXPECT_EQ(w.completed, 1);
}

// Never sets state Running, so Stop does not wait for it; it still has to be joined before the
// object goes away.
class SlowOnceWorker : public CThread {
public:
    explicit SlowOnceWorker(std::atomic<int>& finished) : finished(finished) {}
    ~SlowOnceWorker() override {
        Stop();
        Join();
    }
    void Run() override {
        Sleep(150);
        result = 42; // a use after free under the sanitizers if nobody waited
        ++finished;
    }
    int result = 0;
    std::atomic<int>& finished;
};

TEST(CThread, WorkerThatNeverRunsIsJoinedBeforeDestruction) {
    std::atomic<int> finished{0};
    {
        SlowOnceWorker w(finished);
        ASSERT_TRUE(w.Start());
        w.Stop();
        EXPECT_EQ(w.ThreadState(), CThread::Stopped);
    }
    EXPECT_EQ(finished, 1);

    SlowOnceWorker w(finished);
    ASSERT_TRUE(w.Start());
    w.Stop();
    w.Join();
    EXPECT_EQ(w.result, 42);
    w.Join(); // nothing left to join
}

std::atomic<int> statelessRuns{0}, statelessEnds{0};

// No state of its own, so the base destructor's stop and join are enough.
class StatelessWorker : public CThread {
public:
    void Run() override {
        ++statelessRuns;
        while (PingThread(1000))
            Sleep(1);
        ++statelessEnds;
    }
};

TEST(CThread, DestroyingAStartedObjectStopsAndJoinsIt) {
    auto w = std::make_unique<StatelessWorker>();
    ASSERT_TRUE(w->Start());
    while (statelessRuns == 0)
        Sleep(1);
    w.reset();
    EXPECT_EQ(statelessEnds, 1);
}

TEST(CThread, FirstPingWithAShortTimeoutSeesRunning) {
    class FirstPing : public CThread {
    public:
        ~FirstPing() override {
            Stop();
            Join();
        }
        void Run() override { firstPing = PingThread(1) ? 1 : 0; }
        std::atomic<int> firstPing{-1};
    };
    for (int i = 0; i < 20; ++i) {
        FirstPing w;
        ASSERT_TRUE(w.Start());
        w.Join();
        ASSERT_EQ(w.firstPing, 1) << "round " << i;
    }
}

TEST(CThread, PingThreadBeforeStart) {
    {
        LoopWorker w;
        const auto start = Clock::now();
        EXPECT_FALSE(w.PingThread(1000));
        EXPECT_GE(msSince(start), 1100) << "polls every 100 ms, eleven times";
    }
    // Without a timeout it waits for a start, or for a Stop, which makes it false.
    for (bool thenStart : {true, false}) {
        LoopWorker w;
        std::atomic<bool> returned{false}, result{!thenStart};
        std::thread pinger([&] {
            result = w.PingThread(0);
            returned = true;
        });
        Sleep(350);
        EXPECT_FALSE(returned) << "PingThread(0) returned before a start or stop";
        if (thenStart)
            ASSERT_TRUE(w.Start());
        else
            w.Stop();
        pinger.join();
        EXPECT_EQ(result, thenStart);
        if (!thenStart) {
            w.Join();
            EXPECT_EQ(w.runs, 0);
        }
    }
}

TEST(CThread, StopMakesPingThreadFalseAtOnceAndRestartJoinsFirst) {
    LoopWorker w;
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(becomesTrue(w.started));
    w.Stop();
    const auto start = Clock::now();
    EXPECT_FALSE(w.PingThread(1000));
    EXPECT_LT(msSince(start), 1000); // polling to the timeout would take 1100 ms

    ASSERT_TRUE(w.Start());
    EXPECT_EQ(w.completed, 1);
    while (w.runs < 2)
        Sleep(1);
    EXPECT_TRUE(w.PingThread(1));
    w.Stop();
    w.Join();
    EXPECT_EQ(w.completed, 2);
}

// Sets Running while it works; Stop must wait until it has shut down.
class RunningStateWorker : public CThread {
public:
    ~RunningStateWorker() override {
        Stop();
        Join();
    }
    void Run() override {
        state = Running;
        entered = true;
        while (PingThread(1000))
            Sleep(1);
        Sleep(50); // finishing work after the loop
        cleanedUp = true;
        ShuttingDown();
    }
    std::atomic<bool> entered{false}, cleanedUp{false};
};

TEST(CThread, StopWaitsForARunningWorkerToShutDown) {
    RunningStateWorker w;
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(becomesTrue(w.entered));
    EXPECT_EQ(w.ThreadState(), CThread::Running);
    w.Stop();
    EXPECT_TRUE(w.cleanedUp);
    EXPECT_EQ(w.ThreadState(), CThread::Stopped);
}

// Stops and joins itself from inside Run, as a worker that finishes its own job does.
class SelfStoppingWorker : public CThread {
public:
    ~SelfStoppingWorker() override {
        Stop();
        Join();
    }
    void Run() override {
        state = Running;
        Stop(); // must return although state is still Running
        stopReturned = true;
        ShuttingDown();
        Join();
        done = true;
    }
    std::atomic<bool> stopReturned{false}, done{false};
};

TEST(CThread, WorkerMayStopAndJoinItself) {
    SelfStoppingWorker w;
    ASSERT_TRUE(w.Start());
    const bool returned = becomesTrue(w.stopReturned);
    if (!returned)
        w.ShuttingDown(); // releases a Stop that waits for its own thread
    EXPECT_TRUE(returned);
    EXPECT_TRUE(becomesTrue(w.done)) << "the worker deadlocked joining itself";
    EXPECT_FALSE(w.PingThread(1000));
}

TEST(Sleep, SleepsAtLeastTheInterval) {
    for (unsigned ms : {20u, 1001u}) {
        const auto start = Clock::now();
        Sleep(ms);
        EXPECT_GE(msSince(start), long(ms));
    }
}

} // namespace
