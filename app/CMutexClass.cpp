#include "CMutexClass.h"

#include <cerrno>

static_assert(std::atomic<pthread_t>::is_always_lock_free);

CMutexClass::CMutexClass() {
    m_created = sem_init(&m_mutex, 0, 1) == 0;
}

CMutexClass::CMutexClass(const CMutexClass&) : CMutexClass() {}

CMutexClass& CMutexClass::operator=(const CMutexClass&) {
    return *this;
}

CMutexClass::~CMutexClass() {
    if (!m_created)
        return;
    Lock();
    Unlock();
    sem_destroy(&m_mutex);
}

void CMutexClass::waitFor(sem_t* sem) {
    while (sem_wait(sem) != 0 && errno == EINTR) {
    }
}

void CMutexClass::Lock() {
    const pthread_t self = pthread_self();
    if (pthread_equal(m_owner.load(), self))
        return;
    waitFor(&m_mutex);
    m_owner.store(self);
}

void CMutexClass::Unlock() {
    if (!pthread_equal(m_owner.load(), pthread_self()))
        return;
    m_owner.store(0);
    sem_post(&m_mutex);
}

bool CMutexClass::TryLock() {
    const pthread_t self = pthread_self();
    if (pthread_equal(m_owner.load(), self))
        return true;
    int rc;
    while ((rc = sem_trywait(&m_mutex)) != 0 && errno == EINTR) {
    }
    if (rc != 0)
        return false;
    m_owner.store(self);
    return true;
}

void CMutexClass::LockIgnoringOwner() {
    waitFor(&m_mutex);
    m_owner.store(pthread_self());
}

void CMutexClass::UnlockIgnoringOwner() {
    m_owner.store(0);
    // Releasing a free lock would let two holders in at once; a binary lock stays binary.
    int value = 0;
    if (sem_getvalue(&m_mutex, &value) == 0 && value > 0)
        return;
    sem_post(&m_mutex);
}
