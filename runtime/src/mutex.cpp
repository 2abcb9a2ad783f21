#include "runtime/mutex.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/check.h"

namespace {

// One attribute object for every CMutex of the process: created once, never freed.
pthread_mutexattr_t *g_pMutexAttr = nullptr;
pthread_once_t g_stMutexAttrInit = PTHREAD_ONCE_INIT;

void InitMutexAttr() {
    g_pMutexAttr = static_cast<pthread_mutexattr_t *>(calloc(1, sizeof(pthread_mutexattr_t)));
    if (g_pMutexAttr != nullptr) {
        pthread_mutexattr_init(g_pMutexAttr);
    }
}

} // namespace

CMutex::CMutex() noexcept : m_stHolder(0), m_u32HolderCount(0) {
    RUNTIME_CHECK("mutex.cpp", 0 == pthread_once(&g_stMutexAttrInit, InitMutexAttr));
    RUNTIME_CHECK("mutex.cpp", 0 == pthread_mutex_init(&m_stMutex, g_pMutexAttr));
}

CMutex::~CMutex() {
    RUNTIME_CHECK("mutex.cpp", 0 == m_u32HolderCount);
    pthread_mutex_destroy(&m_stMutex);
}

void CMutex::RecursiveLock() {
    pthread_t t = pthread_self();
    if (t == m_stHolder.load(std::memory_order_relaxed)) {
        ++m_u32HolderCount; // re-entry: the underlying lock is already ours
        return;
    }
    pthread_mutex_lock(&m_stMutex);
    RUNTIME_CHECK("mutex.cpp", 0 == m_stHolder);
    m_stHolder.store(t, std::memory_order_relaxed);
    ++m_u32HolderCount;
    RUNTIME_CHECK("mutex.cpp", 1 == m_u32HolderCount);
}

void CMutex::RecursiveUnlock() {
    RUNTIME_CHECK("mutex.cpp", pthread_self() == m_stHolder);
    RUNTIME_CHECK("mutex.cpp", m_u32HolderCount > 0);
    if (--m_u32HolderCount > 0) {
        return;
    }
    // Clear the holder before releasing, so the next thread to get the lock finds 0.
    m_stHolder.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&m_stMutex);
}

// Built in static storage by placement new and never destroyed (see mutex.h).
alignas(CMutex) static unsigned char s_au8SendBufMutexStorage[sizeof(CMutex)];
CMutex &g_objSendBufMutex = *new (s_au8SendBufMutexStorage) CMutex();
