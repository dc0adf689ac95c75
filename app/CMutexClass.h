#pragma once
// A lock that remembers which thread holds it. It does not count: a second Lock by the owner does
// nothing and the first Unlock releases it; Unlock by any other thread is ignored.
//
// The lock is a binary POSIX semaphore rather than a mutex so that LockIgnoringOwner on one thread
// and UnlockIgnoringOwner on another is well defined (a mutex must be released by its owner).
//
// The owner is a thread handle, and the system hands a finished thread's handle to later threads: a
// lock left held by a thread that has ended may pass as held by a new one.
#include <atomic>
#include <pthread.h>
#include <semaphore.h>
#include <vector>

class CMutexClass {
public:
    CMutexClass();
    // Classes that derive from CMutexClass are their own locks and are copied as values (tiles in
    // growing vectors); a copy gets a fresh, free lock of its own.
    CMutexClass(const CMutexClass&);
    // Leaves this object's lock and owner exactly as they are.
    CMutexClass& operator=(const CMutexClass&);
    // Waits for a holder to release the lock before destroying it.
    ~CMutexClass();

    void Lock();
    void Unlock();
    bool TryLock();
    // Takes the lock even if the caller already owns it (which then blocks for good), so that another
    // thread may release it with UnlockIgnoringOwner.
    void LockIgnoringOwner();
    void UnlockIgnoringOwner();

    // False when the underlying semaphore could not be initialised.
    bool IsCreated() const { return m_created; }

private:
    sem_t m_mutex;
    std::atomic<pthread_t> m_owner{0}; // 0 when free
    bool m_created = false;

    static void waitFor(sem_t* sem);
};

// Holds a CMutexClass for a scope, released on every path out of it (exceptions included).
class Held {
public:
    explicit Held(CMutexClass& m) : m_(m) { m_.Lock(); }
    ~Held() { m_.Unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    CMutexClass& m_;
};

// Tries a CMutexClass once; holds it for the scope when that succeeded (test with `if (TryHeld h{m})`).
class TryHeld {
public:
    explicit TryHeld(CMutexClass& m) : m_(m), held_(m.TryLock()) {}
    ~TryHeld() {
        if (held_)
            m_.Unlock();
    }
    explicit operator bool() const { return held_; }
    TryHeld(const TryHeld&) = delete;
    TryHeld& operator=(const TryHeld&) = delete;

private:
    CMutexClass& m_;
    bool held_;
};

// Holds the locks of several objects taken one after another; releases those still held, in the order
// taken, when the scope ends or on release().
template <class Lockable> class HeldAll {
public:
    HeldAll() = default;
    ~HeldAll() { release(); }
    HeldAll(const HeldAll&) = delete;
    HeldAll& operator=(const HeldAll&) = delete;
    void lock(Lockable& m) {
        m.Lock();
        held_.push_back(&m);
    }
    void release() {
        for (Lockable* m : held_)
            m->Unlock();
        held_.clear();
    }

private:
    std::vector<Lockable*> held_;
};
