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

void waitFor(const std::atomic<bool>& flag) {
    while (!flag)
        Sleep(1);
}

// Waits up to `limitMs` for `flag`; for checks whose failure would otherwise hang the test.
bool becomesTrue(const std::atomic<bool>& flag, int limitMs) {
    for (int waited = 0; waited < limitMs && !flag; waited += 5)
        Sleep(5);
    return flag;
}

TEST(CThread, ConstructedStoppedWithoutErrors) {
    LoopWorker w;
    EXPECT_EQ(w.ThreadState(), CThread::Stopped);
    EXPECT_EQ(w.ErrorFlags(), 0u);
}

TEST(CThread, StartTwiceCreatesOneThread) {
    LoopWorker w;
    EXPECT_TRUE(w.Start());
    EXPECT_TRUE(w.Start());
    waitFor(w.started);
    EXPECT_TRUE(w.Start());
    w.Stop();
    w.Join();
    EXPECT_EQ(w.runs, 1);
    EXPECT_EQ(w.completed, 1);
}

TEST(CThread, ConcurrentStartsCreateOneThread) {
    LoopWorker w;
    std::vector<std::thread> starters;
    for (int i = 0; i < 4; ++i)
        starters.emplace_back([&] { EXPECT_TRUE(w.Start()); });
    for (auto& t : starters)
        t.join();
    waitFor(w.started);
    w.Stop();
    w.Join();
    EXPECT_EQ(w.runs, 1);
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
}

TEST(CThread, JoinAfterStopWaitsForTheThread) {
    std::atomic<int> finished{0};
    SlowOnceWorker w(finished);
    ASSERT_TRUE(w.Start());
    w.Stop();
    w.Join();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(w.result, 42);
    w.Join(); // a second Join has nothing left to do
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
    statelessRuns = 0;
    statelessEnds = 0;
    auto w = std::make_unique<StatelessWorker>();
    ASSERT_TRUE(w->Start());
    while (statelessRuns == 0)
        Sleep(1);
    w.reset();
    EXPECT_EQ(statelessEnds, 1);
}

class FirstPingWorker : public CThread {
public:
    ~FirstPingWorker() override {
        Stop();
        Join();
    }
    void Run() override { firstPing = PingThread(1) ? 1 : 0; }
    std::atomic<int> firstPing{-1};
};

TEST(CThread, FirstPingWithAShortTimeoutSeesRunning) {
    for (int i = 0; i < 20; ++i) {
        FirstPingWorker w;
        ASSERT_TRUE(w.Start());
        w.Join();
        ASSERT_EQ(w.firstPing, 1) << "round " << i;
    }
}

TEST(CThread, PingThreadOnANeverStartedObjectTimesOutAfterElevenPolls) {
    LoopWorker w;
    const auto start = Clock::now();
    EXPECT_FALSE(w.PingThread(1000));
    EXPECT_GE(msSince(start), 1100);
}

TEST(CThread, PingThreadWithoutTimeoutWaitsForStart) {
    LoopWorker w;
    std::atomic<bool> returned{false}, result{false};
    std::thread pinger([&] {
        result = w.PingThread(0);
        returned = true;
    });
    Sleep(350);
    EXPECT_FALSE(returned) << "PingThread(0) returned before the thread was started";
    ASSERT_TRUE(w.Start());
    pinger.join();
    EXPECT_TRUE(result);
}

TEST(CThread, StopMakesPingThreadFalseAtOnce) {
    LoopWorker w;
    ASSERT_TRUE(w.Start());
    waitFor(w.started);
    w.Stop();
    const auto start = Clock::now();
    EXPECT_FALSE(w.PingThread(1000));
    // Polling to the timeout would take 1100 ms.
    EXPECT_LT(msSince(start), 1000);
    w.Join();
    EXPECT_EQ(w.completed, 1);
}

TEST(CThread, StopBeforeStartMakesAWaitingPingReturnFalse) {
    LoopWorker w;
    std::atomic<bool> returned{false}, result{true};
    std::thread pinger([&] {
        result = w.PingThread(0);
        returned = true;
    });
    Sleep(50);
    w.Stop();
    pinger.join();
    EXPECT_FALSE(result);
}

TEST(CThread, RestartJoinsTheEarlierThreadFirst) {
    LoopWorker w;
    ASSERT_TRUE(w.Start());
    waitFor(w.started);
    w.Stop();
    ASSERT_TRUE(w.Start());
    EXPECT_EQ(w.completed, 1);
    while (w.runs < 2)
        Sleep(1);
    EXPECT_TRUE(w.PingThread(1));
    w.Stop();
    w.Join();
    EXPECT_EQ(w.runs, 2);
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
    waitFor(w.entered);
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
        ShuttingDown();
        Stop();
        Join();
        done = true;
    }
    std::atomic<bool> done{false};
};

TEST(CThread, WorkerMayStopAndJoinItself) {
    SelfStoppingWorker w;
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(becomesTrue(w.done, 5000)) << "the worker deadlocked joining itself";
    EXPECT_FALSE(w.PingThread(1000));
}

TEST(CThread, StopOnItsOwnThreadDoesNotWaitForItself) {
    class StopInsideRunning : public CThread {
    public:
        ~StopInsideRunning() override {
            Stop();
            Join();
        }
        void Run() override {
            state = Running;
            Stop(); // must return although state is still Running
            stopReturned = true;
            ShuttingDown();
        }
        std::atomic<bool> stopReturned{false};
    } w;
    ASSERT_TRUE(w.Start());
    const bool returned = becomesTrue(w.stopReturned, 5000);
    if (!returned)
        w.ShuttingDown(); // releases a Stop that waits for its own thread
    EXPECT_TRUE(returned);
}

TEST(CThread, StopOnANeverStartedObjectReturns) {
    LoopWorker w;
    w.Stop();
    w.Join();
    EXPECT_EQ(w.runs, 0);
}

TEST(Sleep, SleepsASecondOrMore) {
    const auto start = Clock::now();
    Sleep(1001);
    EXPECT_GE(msSince(start), 1001);
}

TEST(Sleep, SleepsShortIntervals) {
    const auto start = Clock::now();
    Sleep(20);
    EXPECT_GE(msSince(start), 20);
}

} // namespace
