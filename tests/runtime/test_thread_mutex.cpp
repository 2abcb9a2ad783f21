// CMutex and CThread: recursive locking and the hand-over to a waiting
// thread; start, name and join.
#include <sys/prctl.h>

#include <thread>

#include <gtest/gtest.h>

#include "runtime/mutex.h"
#include "runtime/thread.h"

namespace {

TEST(CMutex, AWaiterGetsTheMutexOnlyAfterTheHoldersLastOfThreeUnlocks) {
    CMutex objMutex;
    std::atomic<int> s32Unlocks(0), s32UnlocksSeen(-1);
    for (int i = 0; i < 3; ++i) {
        objMutex.RecursiveLock();
    }
    std::thread objWaiter([&] {
        objMutex.RecursiveLock();
        s32UnlocksSeen = s32Unlocks.load();
        objMutex.RecursiveUnlock();
    });
    for (int i = 1; i <= 3; ++i) {
        // A lock released too early gets every chance to be taken meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s32Unlocks = i; // published before the unlock that may hand the mutex over
        objMutex.RecursiveUnlock();
    }
    objWaiter.join();
    EXPECT_EQ(3, s32UnlocksSeen);
}

// Names itself, and is done only after a pause.
struct NamingThread : CThread {
    char m_szName[16] = {};
    void Entry() override {
        SetName("IR Update");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        prctl(PR_GET_NAME, m_szName, 0, 0, 0);
    }
};

TEST(CThread, NamesItselfAndIsJoinedOnceWhenDone) {
    NamingThread objThread, objNeverStarted;
    objThread.Start();
    objThread.StopAndJoin();
    EXPECT_STREQ("IR Update", objThread.m_szName);
    objThread.StopAndJoin(); // joined already: nothing more, nor in the destructors
    objNeverStarted.Join();  // comes back at once
}

} // namespace
