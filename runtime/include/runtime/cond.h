// CCond: a condition variable; CMutexRW: state holder for a reader/writer lock.
#pragma once

#include <pthread.h>

#include "runtime/mutex.h"
#include "runtime/types.h"

/// One process-private POSIX condition variable with default attributes.
class CCond {
public:
    CCond();
    ~CCond();
    CCond(const CCond &) = delete;
    CCond &operator=(const CCond &) = delete;

    /// Waits for a Broadcast. The calling thread holds objMutex (at any depth);
    /// it is released during the wait and held again, at the same depth, when
    /// Wait returns. Wakes may be spurious: wait in a loop over the condition.
    void Wait(CMutex &objMutex);
    /// Wakes every thread waiting on the condition variable.
    void Broadcast();

private:
    pthread_cond_t m_stCond;
};

/// A reader/writer lock's parts: one CMutex, two CCond and four state words.
/// The update tool never locks it; it exists for code that shares the runtime.
class CMutexRW {
public:
    CMutexRW() = default;
    ~CMutexRW() = default; // members go in reverse order: second cond, first cond, mutex

private:
    CMutex m_objMutex;
    CCond m_objReadCond;
    CCond m_objWriteCond;
    // The state words of the lock's future operations; nothing reads them yet
    // (clang warns about unused private fields).
    [[maybe_unused]] UInt32 m_u32Readers = 0;
    [[maybe_unused]] UInt32 m_u32Writers = 0;
    [[maybe_unused]] UInt32 m_u32ReadWaiters = 0;
    [[maybe_unused]] UInt32 m_u32WriteWaiters = 0;
};
