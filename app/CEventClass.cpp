#include "CEventClass.h"

CEventClass::CEventClass() {
    const bool cond = pthread_cond_init(&m_cond, nullptr) == 0;
    const bool mutex = pthread_mutex_init(&m_mutex, nullptr) == 0;
    m_created = cond && mutex;
}

CEventClass::~CEventClass() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void CEventClass::Set() {
    pthread_mutex_lock(&m_mutex);
    m_signalled = true;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
}

bool CEventClass::Wait() {
    pthread_mutex_lock(&m_mutex);
    while (!m_signalled)
        pthread_cond_wait(&m_cond, &m_mutex);
    m_signalled = false;
    return true;
}

void CEventClass::Reset() {
    pthread_mutex_unlock(&m_mutex);
}
