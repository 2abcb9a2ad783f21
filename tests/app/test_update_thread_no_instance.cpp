// The update thread when no protocol instance can be opened: it keeps trying
// to run the engine, at a calm pace, and still ends through IRUpdateExit.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "board/register.h"
#include "ir_update.h"
#include "protocol/command_interface.h"
#include "sandbox.h"
#include "test_support.h"

namespace {

constexpr int WAIT_MS = 20000;

// Standard output redirected into a pipe that a reader drains, so the test
// can watch it while the update thread runs.
class StdoutPipe {
public:
    StdoutPipe() {
        int afd[2];
        if (pipe2(afd, O_CLOEXEC) != 0) {
            return;
        }
        fflush(stdout);
        m_fdSaved = dup(STDOUT_FILENO);
        dup2(afd[1], STDOUT_FILENO);
        close(afd[1]);
        m_fdRead = afd[0];
        m_objReader = std::thread([this] {
            char achBuf[4096];
            ssize_t s32Got;
            while ((s32Got = read(m_fdRead, achBuf, sizeof(achBuf))) > 0) {
                std::lock_guard<std::mutex> objLock(m_objMutex);
                m_strData.append(achBuf, static_cast<size_t>(s32Got));
            }
        });
    }
    ~StdoutPipe() { Stop(); }
    void Stop() {
        if (m_fdSaved >= 0) {
            fflush(stdout);
            dup2(m_fdSaved, STDOUT_FILENO); // closes the pipe's last write end
            close(m_fdSaved);
            m_fdSaved = -1;
            m_objReader.join();
            close(m_fdRead);
        }
    }
    std::string Data() {
        std::lock_guard<std::mutex> objLock(m_objMutex);
        return m_strData;
    }

private:
    int m_fdSaved = -1;
    int m_fdRead = -1;
    std::thread m_objReader;
    std::mutex m_objMutex;
    std::string m_strData;
};

// The engine-run error line ("error  <name>, <handle>.\n"); it may follow
// text that has no line feed of its own, so it is counted wherever it starts.
int CountRunErrors(const std::string &strText) {
    static const std::regex s_objLine("error  [^\n\033]*, -1\\.\n");
    return static_cast<int>(std::distance(
        std::sregex_iterator(strText.begin(), strText.end(), s_objLine), std::sregex_iterator()));
}

int DummyWrite(const uint8_t *, int s32Len) {
    return s32Len;
}
int DummyRead(uint8_t *, int) {
    return 0;
}
void DummyProcessing(_CmdProtocolParam *) {}

TEST(CIRUpdate, WithoutAProtocolInstanceRetriesCalmlyAndStillEnds) {
    TempDir objDir;
    std::string strMem = objDir.File("mem");
    ASSERT_TRUE(MakeSparseFile(strMem));
    PhysMemSetDevice(strMem.c_str());

    // Take all ten instance handles, so that the update thread's open fails.
    ASSERT_EQ(0, CommandProtocolMutexInit());
    CmdProtocolFun astFun[CMD_INSTANCE_COUNT];
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        memset(&astFun[i], 0, sizeof(astFun[i]));
        astFun[i].Write = DummyWrite;
        astFun[i].Read = DummyRead;
        astFun[i].DataProcessing = DummyProcessing;
        ASSERT_EQ(i, CommandProtocolOpen(&astFun[i], "dummy", 0));
    }

    SerialPortSettings stSettings;
    memset(&stSettings, 0, sizeof(stSettings));
    snprintf(stSettings.szDevice, sizeof(stSettings.szDevice), "%s", "/nonexistent/ttyAMA1");
    snprintf(stSettings.szMode, sizeof(stSettings.szMode), "%s", "115200-8n1");

    StdoutPipe objOut;
    auto tStart = std::chrono::steady_clock::now();
    CIRUpdate *pobjUpdate = new CIRUpdate(&stSettings);
    g_objIRUpdate = pobjUpdate;
    pobjUpdate->Start();

    // The engine cannot run: its error line appears ...
    auto tEnd = tStart + std::chrono::milliseconds(WAIT_MS);
    while (CountRunErrors(objOut.Data()) == 0 && std::chrono::steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // ... and keeps appearing while the thread waits to be stopped.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    IRUpdateExit();
    std::future<void> objJoined =
        std::async(std::launch::async, [pobjUpdate] { pobjUpdate->StopAndJoin(); });
    bool bJoined =
        objJoined.wait_for(std::chrono::milliseconds(WAIT_MS)) == std::future_status::ready;
    double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    objOut.Stop();
    if (!bJoined) {
        ADD_FAILURE() << "the update thread did not end after IRUpdateExit";
        fflush(nullptr);
        _exit(1); // the join cannot be abandoned
    }

    std::string strOut = objOut.Data();
    EXPECT_EQ(-1, Cmdfd.load());
    EXPECT_EQ(-1, g_u32UartFd);
    EXPECT_NE(std::string::npos, strOut.find("could not open device /nonexistent/ttyAMA1"));
    int s32Errors = CountRunErrors(strOut);
    EXPECT_GE(s32Errors, 1) << strOut;
    // At most one attempt a second, not a console flood.
    EXPECT_LE(s32Errors, static_cast<int>(dSeconds) + 2) << strOut;

    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        CommandProtocolStop(i);
    }
    PhysMemSetDevice(nullptr);
}

} // namespace
