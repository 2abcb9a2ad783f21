// CMutex and CThread: recursive locking and hand-over to a waiting thread,
// start, name and join, and the broken rules that stop the process.
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/mutex.h"
#include "runtime/thread.h"
#include "test_support.h"

namespace {

// State letter of a thread of this process ('S' while it sleeps in the kernel).
char ThreadState(pid_t tid) {
    std::string strStat = ReadFileBytes("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t u32At = strStat.rfind(") "); // the state follows the parenthesised name
    return u32At == std::string::npos ? '?' : strStat.at(u32At + 2);
}

TEST(CMutex, WaiterGetsTheMutexRightAfterTheHoldersLastOfThreeUnlocks) {
    CMutex objMutex;
    std::atomic<pid_t> tidWaiter(0);
    std::atomic<int> s32Unlocks(0), s32UnlocksSeen(-1);
    UInt32 u32CountSeen = 0;
    for (int i = 0; i < 3; ++i) {
        objMutex.RecursiveLock();
    }
    std::thread objWaiter([&] {
        tidWaiter = static_cast<pid_t>(syscall(SYS_gettid));
        objMutex.RecursiveLock();
        u32CountSeen = objMutex.HolderCount(); // 1: it found the mutex free, count 0
        s32UnlocksSeen = s32Unlocks.load();
        objMutex.RecursiveUnlock();
    });
    // Bounded wait until the waiter sleeps in the kernel on the underlying lock.
    for (int i = 0; i < 10000 && (tidWaiter == 0 || ThreadState(tidWaiter) != 'S'); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 1; i <= 3; ++i) {
        // A lock released too early gets every chance to be taken meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(-1, s32UnlocksSeen) << "the waiter got the mutex after " << i - 1 << " unlocks";
        s32Unlocks = i; // published before the unlock that may hand the mutex over
        objMutex.RecursiveUnlock();
    }
    objWaiter.join();
    EXPECT_EQ(3, s32UnlocksSeen);
    EXPECT_EQ(1u, u32CountSeen);
    EXPECT_EQ(pthread_t(0), objMutex.Holder());
}

// Names itself and keeps the name it then has.
class NamingThread : public CThread {
public:
    std::string m_strName;

protected:
    void Entry() override {
        SetName("IR Update");
        char szName[16] = {0};
        prctl(PR_GET_NAME, szName, 0, 0, 0);
        m_strName = szName;
    }
};

TEST(CThread, NamesItselfAndIsJoinedOnce) {
    NamingThread objThread, objNeverStarted;
    objThread.Start();
    objThread.Join();
    objThread.StopAndJoin(); // joined already: nothing more, nor in the destructors
    objNeverStarted.Join();  // comes back at once
    EXPECT_EQ("IR Update", objThread.m_strName);
    EXPECT_TRUE(objThread.StopRequested());
}

TEST(RuntimeDeathTest, BrokenRulesStopTheProcessWithTheirCheck) {
    // Re-executing the program is the safe style beside other threads; a run
    // under qemu-arm, which cannot, names another in GTEST_DEATH_TEST_STYLE.
    if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    EXPECT_DEATH(
        {
            CMutex objMutex;
            std::thread([&] { objMutex.RecursiveLock(); }).join(); // held by a thread now gone
            objMutex.RecursiveUnlock();
        },
        "mutex\\.cpp:[0-9]+: void CMutex::RecursiveUnlock\\(\\): "
        "Assertion `pthread_self\\(\\) == m_stHolder' failed");
    EXPECT_DEATH(
        {
            CMutex objMutex;
            objMutex.RecursiveLock();
        },
        "mutex\\.cpp:[0-9]+: CMutex::~CMutex\\(\\): Assertion `0 == m_u32HolderCount' failed");
    NamingThread objThread;
    objThread.Start();
    objThread.Join();
    EXPECT_DEATH(objThread.Join(),
                 "thread\\.cpp:[0-9]+: void CThread::Join\\(\\): Assertion `!m_bJoined' failed");
}

} // namespace
