#include "runtime/cond.h"

#include "runtime/check.h"

CCond::CCond() {
    pthread_condattr_t stAttr;
    pthread_condattr_init(&stAttr);
    int ret = pthread_cond_init(&m_stCond, &stAttr);
    RUNTIME_CHECK("cond.cpp", ret == 0);
}

CCond::~CCond() {
    pthread_cond_destroy(&m_stCond);
}

void CCond::Wait(CMutex &objMutex) {
    RUNTIME_CHECK("cond.cpp", pthread_self() == objMutex.m_stHolder);
    // The underlying lock is released by the wait: nobody holds the CMutex
    // meanwhile, and the holder's depth comes back with the lock.
    const UInt32 u32Depth = objMutex.m_u32HolderCount;
    objMutex.m_u32HolderCount = 0;
    objMutex.m_stHolder.store(0, std::memory_order_relaxed);
    pthread_cond_wait(&m_stCond, &objMutex.m_stMutex);
    objMutex.m_stHolder.store(pthread_self(), std::memory_order_relaxed);
    objMutex.m_u32HolderCount = u32Depth;
}

void CCond::Broadcast() {
    pthread_cond_broadcast(&m_stCond);
}
