// The thread primitives: the owner-tracking lock, the one-shot event and the worker base.
#include "CEventClass.h"
#include "CMutexClass.h"
#include "CThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
long msSince(Clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits up to 5 s for `flag`, so a fault fails the test instead of hanging it.
bool becomesTrue(const std::atomic<bool>& flag) {
    for (int waited = 0; waited < 5000 && !flag; waited += 5)
        Sleep(5);
    return flag;
}

// Runs `blocked` on another thread: it must still be waiting `ms` later (if ms > 0) and end once `release`
// has run; `release` runs again if it does not, so that a fault fails the test instead of hanging it.
void expectWaitsFor(const std::function<void()>& blocked, const std::function<void()>& release, int ms = 50) {
    std::atomic<bool> done{false};
    std::thread t([&] { blocked(), done = true; });
    Sleep(unsigned(ms));
    EXPECT_TRUE(ms == 0 || !done) << "returned before it was released";
    release();
    const bool ended = becomesTrue(done);
    if (!ended)
        release();
    t.join();
    EXPECT_TRUE(ended) << "not released";
}

// TryLock from a thread that owns nothing, releasing again when it succeeded.
bool freeForOthers(CMutexClass& m) {
    bool acquired = false;
    std::thread([&] { (acquired = m.TryLock()) && (m.Unlock(), true); }).join();
    return acquired;
}

// Runs `first` on a thread kept alive until the holder ends, then `last`: a finished thread's id may go to
// the next thread created, which would then pass for the owner.
struct Holder {
    std::atomic<bool> ready{false}, release{false};
    std::thread thread;
    Holder(std::function<void()> first, std::function<void()> last)
        : thread([this, first, last] {
              first(), ready = true;
              while (!release)
                  std::this_thread::yield();
              last();
          }) {
        while (!ready)
            std::this_thread::yield();
    }
    ~Holder() { release = true, thread.join(); }
};

// Ownership: only the holder releases, a second Lock or TryLock by it does not count, a stray release of a
// free lock lets no second holder in, copies are fresh locks (neither the lock state nor the owner travels,
// assignment leaves the target's alone). Steps: Lock, Unlock, TryLock, unlock on another thread (X),
// LockIgnoringOwner (I), UnlockIgnoringOwner (R), copy and go on with the copy (C), assign a free lock (A),
// assign a locked one (S).
TEST(CMutexClass, OwnerExclusivityAndCopies) {
    std::list<CMutexClass> locks;
    const std::map<char, std::function<void(CMutexClass&)>> step = {
        {'L', [](CMutexClass& m) { m.Lock(); }},
        {'U', [](CMutexClass& m) { m.Unlock(); }},
        {'T', [](CMutexClass& m) { EXPECT_TRUE(m.TryLock()); }},
        {'X', [](CMutexClass& m) { std::thread([&] { m.Unlock(); }).join(); }},
        {'I', [](CMutexClass& m) { m.LockIgnoringOwner(); }},
        {'R', [](CMutexClass& m) { m.UnlockIgnoringOwner(); }},
        {'C', [&](CMutexClass& m) { locks.emplace_back(m); }},
        {'A', [](CMutexClass& m) { m = CMutexClass(); }},
        {'S', [](CMutexClass& m) {
             CMutexClass source;
             source.Lock(), m = source, source.Unlock();
         }}};
    const std::pair<std::string, bool> cases[] = {
        {"", true},     {"L", false},   {"LU", true},  {"LLU", true}, {"LX", false},
        {"TT", false},  {"TTU", true},  {"IU", true},  {"RL", false}, {"LC", true},
        {"LCL", false}, {"LCLU", true}, {"LA", false}, {"S", true}};
    for (const auto& [steps, free] : cases) {
        locks.emplace_back();
        for (char c : steps)
            step.at(c)(locks.back());
        EXPECT_EQ(freeForOthers(locks.back()), free) << "after " << steps;
        locks.clear();
    }
    // TryLock on another thread records that thread: this one can neither release nor take the lock.
    CMutexClass m;
    {
        Holder holder([&] { EXPECT_TRUE(m.TryLock()); }, [&] { m.Unlock(); });
        m.Unlock();
        EXPECT_FALSE(m.TryLock());
    }
    EXPECT_TRUE(freeForOthers(m));
}

// Locked on one thread ignoring the owner, released on another: a waiting Lock gets it only then.
TEST(CMutexClass, HandedOverBetweenThreads) {
    CMutexClass m;
    Holder locker([&] { m.LockIgnoringOwner(); }, [] {});
    EXPECT_FALSE(freeForOthers(m));
    expectWaitsFor([&] { m.Lock(), m.Unlock(); },
                   [&] { std::thread([&] { m.UnlockIgnoringOwner(); }).join(); });
    EXPECT_TRUE(freeForOthers(m));
}

// Wait waits for a Set (also one given before it), consumes it, and returns with the event's mutex held
// until Reset.
TEST(CEventClass, OneSetReleasesOneWait) {
    CEventClass e;
    const auto waitOnce = [&] { e.Wait(), e.Reset(); };
    expectWaitsFor(waitOnce, [&] { e.Set(); }); // nothing set yet
    e.Set();
    int calls = 0; // the Set before the wait releases it; a second call sets should it still wait
    expectWaitsFor(
        waitOnce, [&] { calls++ ? e.Set() : void(); }, 0);
    expectWaitsFor(waitOnce, [&] { e.Set(); }); // that Set was consumed: one Set, one wait
    e.Set(), e.Wait();
    expectWaitsFor([&] { e.Set(); }, [&] { e.Reset(); }); // Set takes the mutex Wait left held
}

// A worker whose Run is given; it stops and joins in its destructor, as every worker must.
struct Worker : CThread {
    explicit Worker(std::function<void(Worker&)> body) : body(std::move(body)) {}
    ~Worker() override { Stop(), Join(); }
    void Run() override { body(*this); }
    void setRunning() { state = Running; }
    std::function<void(Worker&)> body;
    std::atomic<int> runs{0}, completed{0}, result{0};
    std::atomic<bool> started{false}, stopReturned{false};
};

// The usual loop while PingThread succeeds, counting runs and completed runs.
void loop(Worker& w) {
    ++w.runs, w.started = true;
    while (w.PingThread(1000))
        Sleep(1);
    ++w.completed;
}

TEST(CThread, StartStopRestartAndPingBeforeStart) {
    Worker w(loop);
    std::vector<std::thread> starters; // repeated and concurrent starts create one thread
    for (int i = 0; i < 4; ++i)
        starters.emplace_back([&] { EXPECT_TRUE(w.Start()); });
    for (auto& t : starters)
        t.join();
    ASSERT_TRUE(becomesTrue(w.started));
    EXPECT_TRUE(w.Start());
    w.Stop();
    const auto start = Clock::now();
    EXPECT_FALSE(w.PingThread(1000));
    EXPECT_LT(msSince(start), 1000) << "after Stop PingThread is false at once";
    ASSERT_TRUE(w.Start()); // joins the stopped thread first
    EXPECT_EQ(w.completed, 1);
    while (w.runs < 2)
        Sleep(1);
    EXPECT_TRUE(w.PingThread(1));
    w.Stop(), w.Join(), w.Join(); // nothing left to join the second time
    EXPECT_EQ(w.completed, 2);
    EXPECT_EQ(w.runs, 2) << "concurrent starts created more than one thread";
    // A worker in state Running finishes work after its loop: Stop waits until it has shut down.
    Worker r([](Worker& r) { r.setRunning(), loop(r), Sleep(50), r.result = 1, r.ShuttingDown(); });
    ASSERT_TRUE(r.Start());
    ASSERT_TRUE(becomesTrue(r.started));
    EXPECT_EQ(r.ThreadState(), CThread::Running);
    r.Stop();
    EXPECT_EQ(r.result, 1) << "Stop returned before the worker had shut down";
    EXPECT_EQ(r.ThreadState(), CThread::Stopped);
    // Before any start PingThread polls every 100 ms up to its timeout, or without one waits for a start
    // (true) or a Stop (false). Sleep also sleeps a second or more, measured meanwhile.
    std::thread sleeper([] {
        for (unsigned ms : {20u, 1001u}) {
            const auto start = Clock::now();
            Sleep(ms);
            EXPECT_GE(msSince(start), long(ms));
        }
    });
    {
        Worker w(loop);
        const auto start = Clock::now();
        EXPECT_FALSE(w.PingThread(1000));
        EXPECT_GE(msSince(start), 1100) << "polls every 100 ms, eleven times";
    }
    sleeper.join();
    for (bool thenStart : {true, false}) {
        Worker w(loop);
        expectWaitsFor([&] { EXPECT_EQ(w.PingThread(0), thenStart); },
                       [&] { EXPECT_TRUE(thenStart ? w.Start() : (w.Stop(), true)); }, 350);
        w.Stop(), w.Join();
        EXPECT_EQ(w.runs, thenStart ? 1 : 0);
    }
}

// No state of its own, so the base destructor's stop and join are enough.
struct StatelessWorker : CThread {
    void Run() override {
        ++runs;
        while (PingThread(1000))
            Sleep(1);
        ++ends;
    }
    static inline std::atomic<int> runs{0}, ends{0};
};

// A worker that never sets Running is not waited for by Stop, yet joined before it goes away (a use after
// free under the sanitizers otherwise); its first ping with a short timeout sees it running; it may stop
// and join itself, as a worker that finishes its own job does.
TEST(CThread, JoinedBeforeDestructionFirstPingAndSelfStop) {
    std::atomic<int> finished{0};
    {
        Worker w([&](Worker& w) { Sleep(150), w.result = 42, ++finished; }); // written after Stop returned
        ASSERT_TRUE(w.Start());
        w.Stop();
        EXPECT_EQ(w.ThreadState(), CThread::Stopped);
    }
    EXPECT_EQ(finished, 1);
    auto stateless = std::make_unique<StatelessWorker>();
    ASSERT_TRUE(stateless->Start());
    while (StatelessWorker::runs == 0)
        Sleep(1);
    stateless.reset();
    EXPECT_EQ(StatelessWorker::ends, 1);
    for (int i = 0; i < 20; ++i) {
        Worker p([](Worker& p) { p.result = p.PingThread(1) ? 1 : -1; });
        ASSERT_TRUE(p.Start());
        p.Join();
        ASSERT_EQ(p.result, 1) << "round " << i;
    }
    Worker self([](Worker& w) { // Stop must return although the state is still Running
        w.setRunning(), w.Stop(), w.stopReturned = true, w.ShuttingDown(), w.Join(), w.started = true;
    });
    ASSERT_TRUE(self.Start());
    const bool returned = becomesTrue(self.stopReturned);
    if (!returned)
        self.ShuttingDown(); // releases a Stop that waits for its own thread
    EXPECT_TRUE(returned);
    EXPECT_TRUE(becomesTrue(self.started)) << "the worker deadlocked joining itself";
    EXPECT_FALSE(self.PingThread(1000));
}

} // namespace
