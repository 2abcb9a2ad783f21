#include "runtime/thread.h"

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "runtime/check.h"

char CThread::s_szUser[128] = {0};
char CThread::s_szGroup[128] = {0};

CThread::CThread()
    : m_bStopRequested(false), m_bJoined(false), m_stThread(0), m_s32Policy(SCHED_OTHER),
      m_s32Priority(0) {}

CThread::~CThread() {
    StopAndJoin();
}

void CThread::Start() {
    pthread_t stThread;
    SInt32 s32Err = pthread_create(&stThread, nullptr, _Entry, this);
    RUNTIME_CHECK("thread.cpp", 0 == s32Err);
    m_stThread.store(stThread);
}

void CThread::Join() {
    RUNTIME_CHECK("thread.cpp", !m_bJoined);
    m_bJoined = true;
    pthread_t stThread = m_stThread.load();
    if (stThread != 0) {
        pthread_join(stThread, nullptr);
    }
}

void CThread::StopAndJoin() {
    m_bStopRequested.store(true);
    if (!m_bJoined) {
        Join();
    }
}

void CThread::SetName(const char *pszName) {
    if (pszName != nullptr) {
        prctl(PR_SET_NAME, pszName, 0, 0, 0);
    }
}

void CThread::Sleep(UInt32 u32Ms) {
    usleep(u32Ms * 1000);
}

void *CThread::_Entry(void *pArg) {
    CThread *pThis = static_cast<CThread *>(pArg);
    pThis->m_stThread.store(pthread_self());

    sched_param stParam{};
    stParam.sched_priority = pThis->m_s32Priority;
    pthread_setschedparam(pthread_self(), pThis->m_s32Policy, &stParam);

    bool bSwitchUser = true;
    if (s_szGroup[0] != '\0') {
        struct group *pstGroup = getgrnam(s_szGroup);
        if (pstGroup == nullptr || setgid(pstGroup->gr_gid) != 0) {
            bSwitchUser = false;
        }
    }
    if (bSwitchUser && s_szUser[0] != '\0') {
        struct passwd *pstUser = getpwnam(s_szUser);
        if (pstUser != nullptr) {
            (void)setuid(pstUser->pw_uid);
        }
    }

    pThis->Entry();
    pthread_exit(nullptr);
}
