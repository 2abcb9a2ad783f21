// CMutex: a mutex that the thread holding it may lock again.
#pragma once

#include <pthread.h>

#include <atomic>

#include "runtime/types.h"

/// A recursive mutex over an ordinary (non-recursive) POSIX mutex.
///
/// The holder's re-entry is counted in m_u32HolderCount and never reaches the
/// underlying lock: it is taken once per outermost RecursiveLock and released
/// once per outermost RecursiveUnlock. Breaking the rules (unlocking a mutex
/// one does not hold, destroying a held mutex) stops the process.
class CMutex {
public:
    /// Never throws: a failed set-up stops the process (RUNTIME_CHECK), which
    /// is what lets the process-wide send lock be built before main.
    CMutex() noexcept;
    ~CMutex();

    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    /// Blocks until the calling thread holds the mutex; re-entry by the holder is free.
    void RecursiveLock();
    /// Releases one level of the calling thread's hold; the last level frees the mutex.
    void RecursiveUnlock();

    /// Read-only views for diagnostics and tests.
    pthread_t Holder() const { return m_stHolder.load(std::memory_order_relaxed); }
    UInt32 HolderCount() const { return m_u32HolderCount; }

private:
    friend class CCond; // a wait hands the underlying lock over and back
    pthread_mutex_t m_stMutex;
    // Read outside the lock by RecursiveLock: only the thread that wrote its
    // own id here while holding the lock can ever find it, so relaxed order
    // suffices; the lock itself orders everything else.
    std::atomic<pthread_t> m_stHolder;
    UInt32 m_u32HolderCount;
};

/// RAII holder for a CMutex; locks on construction, unlocks on destruction.
class CMutexLock {
public:
    explicit CMutexLock(CMutex &objMutex) : m_objMutex(objMutex) { m_objMutex.RecursiveLock(); }
    ~CMutexLock() { m_objMutex.RecursiveUnlock(); }
    CMutexLock(const CMutexLock &) = delete;
    CMutexLock &operator=(const CMutexLock &) = delete;

private:
    CMutex &m_objMutex;
};

/// The process-wide send lock: guards every protocol instance's send slots and
/// sequence counter. It is built before main and deliberately never destroyed,
/// so a detached engine thread that still holds it when the process exits
/// cannot trip the held-mutex check during static teardown.
extern CMutex &g_objSendBufMutex;
