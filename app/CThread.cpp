#include "CThread.h"

#include <chrono>
#include <cstdio>
#include <thread>

void Sleep(unsigned int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

CThread::CThread() {
    if (!mutex.IsCreated()) {
        std::perror("mutex creation failed");
        errorFlags.fetch_or(MutexCreationFailed);
        state.store(Failed);
    }
}

CThread::~CThread() {
    if (running.load())
        Stop();
    Join();
}

void* CThread::entry(void* self) {
    auto* t = static_cast<CThread*>(self);
    t->worker.store(pthread_self());
    t->Run();
    return nullptr;
}

void CThread::joinOrDetach(pthread_t t) {
    if (pthread_equal(t, pthread_self())) {
        pthread_detach(t);
        return;
    }
    pthread_join(t, nullptr);
    // Thread handles are reused; a finished worker must not be mistaken for a later caller of Stop.
    pthread_t expected = t;
    worker.compare_exchange_strong(expected, 0);
}

bool CThread::Start() {
    std::printf("Thread creation %ld started.\n", threadId);
    std::unique_lock lock(control);
    if (running.load())
        return true;
    while (joinable) {
        // The earlier thread was stopped; it ends at its next PingThread.
        const pthread_t old = thread;
        joinable = false;
        lock.unlock();
        joinOrDetach(old);
        lock.lock();
        if (running.load())
            return true;
    }
    std::printf("Thread %ld set as running.\n", threadId);
    // Set before the thread exists, so that its first PingThread sees it whatever its timeout.
    stopRequested.store(false);
    running.store(true);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    std::printf("Thread %ld initializing creation of thread.\n", threadId);
    const int rc = pthread_create(&thread, &attr, &CThread::entry, this);
    pthread_attr_destroy(&attr);
    std::printf("Thread %ld created thread.\n", threadId);
    if (rc != 0) {
        running.store(false);
        errorFlags.fetch_or(ThreadCreationFailed);
        state.store(Failed);
        std::fprintf(stderr, "error: could not create thread, pthread_create failed (%d)!\n", rc);
        return false;
    }
    joinable = true;
    return true;
}

void CThread::Stop() {
    stopRequested.store(true);
    running.store(false);
    if (pthread_equal(worker.load(), pthread_self()))
        return;
    while (state.load() == Running)
        Sleep(1);
}

void CThread::ShuttingDown() {
    state.store(Stopped);
}

int CThread::ThreadState() const {
    return state.load();
}

bool CThread::PingThread(long timeout) {
    long elapsed = 0;
    for (;;) {
        if (running.load())
            return true;
        if (stopRequested.load())
            return false;
        elapsed += 100;
        Sleep(100);
        if (timeout > 0 && elapsed > timeout)
            return false;
    }
}

void CThread::Join() {
    std::unique_lock lock(control);
    if (!joinable)
        return;
    const pthread_t t = thread;
    joinable = false;
    lock.unlock();
    joinOrDetach(t);
}
