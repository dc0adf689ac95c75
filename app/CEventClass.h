#pragma once
// A one-shot signal between threads: Set wakes one waiter, or the next one to wait if none waits yet.
// Wait returns with the event's mutex held; the waiter releases it with Reset.
#include <pthread.h>

class CEventClass {
public:
    CEventClass();
    CEventClass(const CEventClass&) = delete;
    CEventClass& operator=(const CEventClass&) = delete;
    ~CEventClass();

    void Set();
    // Blocks until Set has been called since the last Wait returned, consumes that signal and returns
    // true with the mutex held.
    bool Wait();
    // Releases the mutex that Wait left held; call it on the thread that waited.
    void Reset();

    bool IsCreated() const { return m_created; }

private:
    pthread_cond_t m_cond;
    pthread_mutex_t m_mutex;
    bool m_signalled = false; // guarded by m_mutex; makes a Set before Wait count
    bool m_created = false;
};
