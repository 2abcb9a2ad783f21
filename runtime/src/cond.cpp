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
