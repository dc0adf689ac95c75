#pragma once
// Base of every worker thread. A subclass supplies Run, whose loop continues while PingThread
// succeeds:
//
//     class Worker : public CThread {
//     public:
//         ~Worker() override { Stop(); Join(); }
//         void Run() override { while (PingThread(1000)) doOneUnitOfWork(); }
//     };
//
// A subclass must call Stop() and Join() in its own destructor. The base destructor runs after the
// subclass's members are destroyed and after Run can no longer be dispatched to the subclass, so a
// thread still inside Run at that point would use destroyed state. The base destructor stops and
// joins as well, which only protects subclasses that have no state of their own.
//
// A subclass that sets `state` to Running must call ShuttingDown() when its loop ends: Stop waits
// for it.
#include "CMutexClass.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

// Sleeps `ms` milliseconds (any value, also a second or more).
void Sleep(unsigned int ms);

class CThread {
public:
    enum CThreadState : int { Running = 1, Stopped = 2, Failed = 4 };
    // Bits of ErrorFlags().
    static constexpr std::uint64_t MutexCreationFailed = 1;
    static constexpr std::uint64_t ThreadCreationFailed = 4;

    CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    virtual void Run() = 0;
    virtual ~CThread();

    // Creates the thread unless one is running already (then true, nothing created). A thread that
    // was stopped but not yet joined is joined first. False, with state Failed, when the thread could
    // not be created.
    bool Start();
    // Clears the keep-running flag and waits until state is no longer Running. Called on the worker
    // itself it does not wait, since the worker cannot reach ShuttingDown while waiting.
    void Stop();
    void ShuttingDown();
    int ThreadState() const;
    // True while the thread should keep running. Before the first Start it polls every 100 ms for up
    // to `timeout` ms (forever when timeout <= 0) in case a start is on its way; after Stop it returns
    // false at once.
    bool PingThread(long timeout);
    // Joins the thread if one was started and not joined yet; on the thread itself it detaches.
    void Join();
    void SetPriority(long) {}
    // True once Stop was called: long waits inside Run poll this to end within a bounded time.
    bool StopRequested() const { return stopRequested.load(); }
    std::uint64_t ErrorFlags() const { return errorFlags.load(); }

protected:
    // Printed in the start-up messages.
    long threadId = 0;
    // A CThreadState value; a subclass may set Running (see above).
    std::atomic<int> state{Stopped};
    // The subclass's general lock. The base class itself never takes it.
    CMutexClass mutex;

private:
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<std::uint64_t> errorFlags{0};
    std::atomic<pthread_t> worker{0}; // the thread inside Run, 0 when none

    std::mutex control; // guards `thread` and `joinable`
    pthread_t thread{};
    bool joinable = false; // a thread was created and is neither joined nor detached

    static void* entry(void* self);
    void joinOrDetach(pthread_t t);
};
