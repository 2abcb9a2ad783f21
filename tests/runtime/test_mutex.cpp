// CMutex: recursive locking by one thread, hand-over to a waiting thread, and
// the locking rules that stop the process.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/mutex.h"

namespace {

// Escapes a literal text for the regular expressions of death tests.
std::string Literal(const std::string &strText) {
    std::string strOut;
    for (char c : strText) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            strOut += '\\';
        }
        strOut += c;
    }
    return strOut;
}

// The assertion report of a runtime check: source, line, function, condition.
std::string CheckReport(const char *pszSource, const char *pszFunction, const char *pszCond) {
    return Literal(pszSource) + ":[0-9]+: " + Literal(pszFunction) + ": Assertion `" +
           Literal(pszCond) + "' failed";
}

// State letter of a thread of this process ('S' while blocked in the kernel).
char ThreadState(pid_t tid) {
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/self/task/%d/stat", static_cast<int>(tid));
    FILE *pFile = fopen(szPath, "r");
    if (pFile == nullptr) {
        return '?';
    }
    char szLine[512] = {0};
    size_t u32Len = fread(szLine, 1, sizeof(szLine) - 1, pFile);
    fclose(pFile);
    szLine[u32Len] = '\0';
    // The state follows the command name, which is in parentheses.
    const char *pszClose = strrchr(szLine, ')');
    return pszClose != nullptr && pszClose[1] == ' ' ? pszClose[2] : '?';
}

TEST(CMutex, HolderReentersWithoutReachingTheUnderlyingLock) {
    CMutex objMutex;
    EXPECT_EQ(0u, objMutex.HolderCount());
    EXPECT_EQ(pthread_t(0), objMutex.Holder());
    for (UInt32 i = 1; i <= 3; ++i) {
        objMutex.RecursiveLock();
        EXPECT_EQ(i, objMutex.HolderCount());
        EXPECT_TRUE(pthread_equal(pthread_self(), objMutex.Holder()));
    }
    for (UInt32 i = 3; i >= 1; --i) {
        objMutex.RecursiveUnlock();
        EXPECT_EQ(i - 1, objMutex.HolderCount());
    }
    EXPECT_EQ(pthread_t(0), objMutex.Holder());
}

TEST(CMutex, WaiterGetsTheMutexOnlyAfterTheHoldersLastUnlock) {
    CMutex objMutex;
    std::atomic<int> s32UnlocksDone(0);
    std::atomic<bool> bTrying(false);
    std::atomic<bool> bAcquired(false);
    std::atomic<pid_t> tidWaiter(0);
    int s32UnlocksSeen = -1;
    UInt32 u32CountSeen = 0;
    bool bHolderIsWaiter = false;

    objMutex.RecursiveLock();
    objMutex.RecursiveLock();
    objMutex.RecursiveLock();

    std::thread objWaiter([&] {
        tidWaiter = static_cast<pid_t>(syscall(SYS_gettid));
        bTrying = true;
        objMutex.RecursiveLock();
        bAcquired = true;
        s32UnlocksSeen = s32UnlocksDone.load();
        u32CountSeen = objMutex.HolderCount();
        bHolderIsWaiter = pthread_equal(pthread_self(), objMutex.Holder());
        objMutex.RecursiveUnlock();
    });

    while (!bTrying) {
        std::this_thread::yield();
    }
    // Wait (generously bounded) until the waiter sleeps in the kernel on the lock.
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ThreadState(tidWaiter) != 'S' && !bAcquired && std::chrono::steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(bAcquired);

    for (int i = 1; i <= 3; ++i) {
        // Give a wrongly released lock every chance to be taken.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(bAcquired) << "the waiter got the mutex after " << i - 1 << " unlocks";
        if (i == 3) {
            s32UnlocksDone = 3; // published before the last unlock releases the lock
        }
        objMutex.RecursiveUnlock();
    }
    objWaiter.join();

    EXPECT_EQ(3, s32UnlocksSeen);
    EXPECT_EQ(1u, u32CountSeen); // it found the count at 0, not the holder's 3
    EXPECT_TRUE(bHolderIsWaiter);
    EXPECT_EQ(0u, objMutex.HolderCount());
    EXPECT_EQ(pthread_t(0), objMutex.Holder());
}

TEST(CMutex, ManyThreadsKeepTheCountConsistent) {
    CMutex objMutex;
    long s64Counter = 0;
    auto fnWork = [&] {
        for (int i = 0; i < 2000; ++i) {
            objMutex.RecursiveLock();
            objMutex.RecursiveLock();
            ++s64Counter;
            objMutex.RecursiveUnlock();
            objMutex.RecursiveUnlock();
        }
    };
    std::thread objA(fnWork), objB(fnWork), objC(fnWork);
    objA.join();
    objB.join();
    objC.join();
    EXPECT_EQ(6000, s64Counter);
    EXPECT_EQ(0u, objMutex.HolderCount());
}

TEST(CMutex, SendBufMutexIsUsable) {
    g_objSendBufMutex.RecursiveLock();
    g_objSendBufMutex.RecursiveLock();
    EXPECT_EQ(2u, g_objSendBufMutex.HolderCount());
    g_objSendBufMutex.RecursiveUnlock();
    g_objSendBufMutex.RecursiveUnlock();
    EXPECT_EQ(0u, g_objSendBufMutex.HolderCount());
}

class CMutexDeathTest : public ::testing::Test {
protected:
    // Re-executing the test program is the safe style beside other threads. A
    // program run by qemu-arm cannot re-execute itself (the kernel does not know
    // the foreign binary); such a run names another style in GTEST_DEATH_TEST_STYLE.
    void SetUp() override {
        if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) {
            GTEST_FLAG_SET(death_test_style, "threadsafe");
        }
    }
};

TEST_F(CMutexDeathTest, UnlockByAThreadThatDoesNotHoldIt) {
    EXPECT_DEATH(
        {
            CMutex objMutex;
            std::thread objOther([&] { objMutex.RecursiveLock(); });
            objOther.join();
            objMutex.RecursiveUnlock();
        },
        CheckReport("mutex.cpp", "void CMutex::RecursiveUnlock()", "pthread_self() == m_stHolder"));
}

TEST_F(CMutexDeathTest, UnlockOfAFreeMutex) {
    EXPECT_DEATH(
        {
            CMutex objMutex;
            objMutex.RecursiveUnlock();
        },
        CheckReport("mutex.cpp", "void CMutex::RecursiveUnlock()", "pthread_self() == m_stHolder"));
}

TEST_F(CMutexDeathTest, UnlockOnceTooOften) {
    EXPECT_DEATH(
        {
            CMutex objMutex;
            objMutex.RecursiveLock();
            objMutex.RecursiveUnlock();
            objMutex.RecursiveUnlock();
        },
        CheckReport("mutex.cpp", "void CMutex::RecursiveUnlock()", "pthread_self() == m_stHolder"));
}

TEST_F(CMutexDeathTest, DestroyingAHeldMutex) {
    EXPECT_DEATH(
        {
            CMutex objMutex;
            objMutex.RecursiveLock();
        },
        CheckReport("mutex.cpp", "CMutex::~CMutex()", "0 == m_u32HolderCount"));
}

} // namespace
