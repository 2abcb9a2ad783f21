// CThread: an abstract joinable thread whose body a subclass supplies.
#pragma once

#include <pthread.h>

#include <atomic>

#include "runtime/types.h"

class CThread {
public:
    CThread();
    /// Performs StopAndJoin. A subclass releases its own resources first.
    virtual ~CThread();

    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    /// Creates the joinable thread running Entry(); a creation failure stops the process.
    void Start();
    /// Waits for the thread to end. May be called once; a second call stops the process.
    /// Returns at once when the thread was never started.
    void Join();
    /// Sets the stop request, then joins unless already joined. Idempotent.
    void StopAndJoin();

    /// Names the calling thread (not necessarily this object's); null does nothing.
    static void SetName(const char *pszName);
    /// Suspends the calling thread for u32Ms milliseconds (one usleep).
    static void Sleep(UInt32 u32Ms);

    /// Thread and group to switch to in every thread started afterwards; empty = no switch.
    static char s_szUser[128];
    static char s_szGroup[128];

    Bool StopRequested() const { return m_bStopRequested.load(); }
    void RequestStop() { m_bStopRequested.store(true); }

protected:
    /// The body; runs on the new thread and returns once it sees the stop request.
    virtual void Entry() = 0;

    // Written by the owner (and by the update sequence's finishing step on an
    // engine thread), polled by the body: atomic.
    std::atomic<Bool> m_bStopRequested;
    Bool m_bJoined;
    // Stored by Start and again by the new thread itself (same value), hence atomic.
    std::atomic<pthread_t> m_stThread;
    SInt32 m_s32Policy;
    SInt32 m_s32Priority;

private:
    static void *_Entry(void *pArg);
};
