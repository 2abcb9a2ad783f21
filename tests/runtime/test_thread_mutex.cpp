// CMutex and CThread: recursive locking and the hand-over to a waiting
// thread, start, name and join, and the broken rules that stop the process.
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/mutex.h"
#include "runtime/thread.h"
#include "test_support.h"

namespace {

TEST(CMutex, WaiterGetsTheMutexRightAfterTheHoldersLastOfThreeUnlocks) {
    CMutex objMutex;
    std::atomic<pid_t> tidWaiter(0);
    std::atomic<int> s32Unlocks(0), s32UnlocksSeen(-1);
    for (int i = 0; i < 3; ++i) {
        objMutex.RecursiveLock();
    }
    std::thread objWaiter([&] {
        tidWaiter = static_cast<pid_t>(syscall(SYS_gettid));
        objMutex.RecursiveLock();
        s32UnlocksSeen = s32Unlocks.load();
        objMutex.RecursiveUnlock();
    });
    // Until the waiter sleeps in the kernel on the underlying lock ('S').
    PollUntil(
        [&] {
            const std::string strStat =
                ReadFileBytes("/proc/self/task/" + std::to_string(tidWaiter) + "/stat");
            return tidWaiter != 0 && strStat.find(") S ") != std::string::npos;
        },
        10000);
    for (int i = 1; i <= 3; ++i) {
        // A lock released too early gets every chance to be taken meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(-1, s32UnlocksSeen) << "the waiter got the mutex after " << i - 1 << " unlocks";
        s32Unlocks = i; // published before the unlock that may hand the mutex over
        objMutex.RecursiveUnlock();
    }
    objWaiter.join();
    EXPECT_EQ(3, s32UnlocksSeen);
}

// Names itself, and is done only after a pause.
class NamingThread : public CThread {
public:
    std::string m_strName;

protected:
    void Entry() override {
        SetName("IR Update");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        char szName[16] = {0};
        prctl(PR_GET_NAME, szName, 0, 0, 0);
        m_strName = szName;
    }
};

TEST(CThread, NamesItselfAndIsJoinedOnceWhenDone) {
    NamingThread objThread, objNeverStarted;
    objThread.Start();
    objThread.StopAndJoin();
    EXPECT_EQ("IR Update", objThread.m_strName);
    objThread.StopAndJoin(); // joined already: nothing more, nor in the destructors
    objNeverStarted.Join();  // comes back at once
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
        "Assertion `pthread_self\\(\\) == m_stHolder' failed");
    EXPECT_DEATH(
        {
            CMutex objMutex;
            objMutex.RecursiveLock();
        },
        "Assertion `0 == m_u32HolderCount' failed");
    NamingThread objThread;
    objThread.Start();
    objThread.Join();
    EXPECT_DEATH(objThread.Join(), "Assertion `!m_bJoined' failed");
}

} // namespace
