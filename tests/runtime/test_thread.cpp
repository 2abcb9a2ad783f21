// CThread: start, stop and join rules, thread names and Sleep.
#include <pthread.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "runtime/thread.h"

namespace {

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

std::string CheckReport(const char *pszSource, const char *pszFunction, const char *pszCond) {
    return Literal(pszSource) + ":[0-9]+: " + Literal(pszFunction) + ": Assertion `" +
           Literal(pszCond) + "' failed";
}

std::string CurrentThreadName() {
    char szName[32] = {0};
    prctl(PR_GET_NAME, szName, 0, 0, 0);
    return szName;
}

// Runs until asked to stop, recording what it saw on its own thread.
class PollingThread : public CThread {
public:
    ~PollingThread() override { StopAndJoin(); }
    std::atomic<int> m_s32Passes{0};
    std::atomic<bool> m_bStarted{false};
    std::string m_strName;
    const char *m_pszSetName = "IR Update";

protected:
    void Entry() override {
        SetName(m_pszSetName);
        m_strName = CurrentThreadName();
        m_bStarted = true;
        while (!m_bStopRequested.load()) {
            ++m_s32Passes;
            Sleep(1);
        }
    }
};

// Ends its thread from deep inside the body, as the protocol engine does.
class SelfEndingThread : public CThread {
public:
    std::atomic<bool> m_bAfterExit{false};

protected:
    void Entry() override {
        Inner();
        m_bAfterExit = true;
    }
    static void Inner() { pthread_exit(nullptr); }
};

class EmptyThread : public CThread {
protected:
    void Entry() override {}
};

TEST(CThread, NamesItselfAndStopsOnRequest) {
    PollingThread objThread;
    objThread.Start();
    objThread.StopAndJoin();
    EXPECT_TRUE(objThread.m_bStarted);
    EXPECT_EQ("IR Update", objThread.m_strName); // 9 characters, kept whole
    EXPECT_TRUE(objThread.StopRequested());
    // A second StopAndJoin (and the destructor) joins nothing more.
    objThread.StopAndJoin();
}

TEST(CThread, NullNameLeavesTheNameAlone) {
    std::string strBefore = CurrentThreadName();
    CThread::SetName(nullptr);
    EXPECT_EQ(strBefore, CurrentThreadName());

    PollingThread objThread;
    objThread.m_pszSetName = "a-thread-name-of-24-char";
    objThread.Start();
    objThread.StopAndJoin();
    EXPECT_EQ("a-thread-name-o", objThread.m_strName); // the platform keeps 15 characters
}

TEST(CThread, JoinReturnsWhenTheBodyEndsItsThreadItself) {
    SelfEndingThread objThread;
    objThread.Start();
    objThread.Join();
    EXPECT_FALSE(objThread.m_bAfterExit);
}

TEST(CThread, StopAndJoinAfterJoinDoesNotJoinAgain) {
    EmptyThread objThread;
    objThread.Start();
    objThread.Join();
    objThread.StopAndJoin();
    EXPECT_TRUE(objThread.StopRequested());
    // Leaving the scope runs the destructor's StopAndJoin: again no second join.
}

TEST(CThread, JoinOfANeverStartedThreadReturnsAtOnce) {
    EmptyThread objThread;
    objThread.Join();
    objThread.StopAndJoin(); // already joined: nothing happens
}

TEST(CThread, DestructorStopsAndJoinsARunningThread) {
    {
        PollingThread objThread;
        objThread.Start();
        while (!objThread.m_bStarted) {
            CThread::Sleep(1);
        }
    } // the destructor asks the body to stop and waits for it: no hang, no crash
    SUCCEED();
}

TEST(CThread, Sleep) {
    auto tStart = std::chrono::steady_clock::now();
    CThread::Sleep(0);
    CThread::Sleep(1000); // one usleep of 1,000,000 microseconds
    auto tElapsed = std::chrono::steady_clock::now() - tStart;
    EXPECT_GE(tElapsed, std::chrono::milliseconds(1000));
}

class CThreadDeathTest : public ::testing::Test {
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

TEST_F(CThreadDeathTest, JoinTwice) {
    EXPECT_DEATH(
        {
            EmptyThread objThread;
            objThread.Start();
            objThread.Join();
            objThread.Join();
        },
        CheckReport("thread.cpp", "void CThread::Join()", "!m_bJoined"));
}

TEST_F(CThreadDeathTest, JoinTwiceWithoutStart) {
    // Join of a never-started thread still counts as its one join.
    EXPECT_DEATH(
        {
            EmptyThread objThread;
            objThread.Join();
            objThread.Join();
        },
        CheckReport("thread.cpp", "void CThread::Join()", "!m_bJoined"));
}

} // namespace
