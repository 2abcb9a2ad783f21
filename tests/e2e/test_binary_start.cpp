// Start-up of the real irupdate binary in a sandbox: the serial port, the pin
// routing through (a stand-in for) /dev/mem, and the console.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "test_support.h"

namespace {

constexpr int WAIT_MS = 20000; // generous: the machine may be busy

// Pages the pin routing writes, prefilled with ones so that every operation,
// clearing bits included, leaves a trace.
const uint32_t s_au32Pages[] = {0x120F0000, 0x12150000, 0x12170000};

bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class BinaryStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strWhy;
        if (!SandboxAvailable(&strWhy)) {
            GTEST_SKIP() << strWhy;
        }
        m_strMem = m_objDir.File("mem");
        ASSERT_TRUE(MakeSparseFile(m_strMem));
        m_fdMem = open(m_strMem.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_fdMem, 0);
        std::vector<uint32_t> vecOnes(1024, 0xFFFFFFFFu);
        for (uint32_t u32Page : s_au32Pages) {
            ASSERT_EQ(4096, pwrite(m_fdMem, vecOnes.data(), 4096, u32Page));
        }
    }
    void TearDown() override {
        if (m_fdMem >= 0) {
            close(m_fdMem);
        }
    }

    uint32_t Word(uint32_t u32Addr) {
        uint32_t u32Value = 0;
        EXPECT_EQ(4, pread(m_fdMem, &u32Value, 4, u32Addr));
        return u32Value;
    }

    SandboxOptions Options() {
        SandboxOptions stOptions;
        stOptions.strProgram = IRUPDATE_BINARY;
        stOptions.strWorkDir = m_objDir.Path();
        stOptions.strMemFile = m_strMem;
        return stOptions;
    }

    // The update tool's routing of /dev/ttyAMA1: enabled, mode 5.
    void ExpectToolRouting() {
        // The last of the fourteen operations clears bit 2 at 0x12150010.
        EXPECT_TRUE(WaitUntil([&] { return Word(0x12150010) == 0xFFFFFFFBu; }, WAIT_MS));
        EXPECT_EQ(1u, Word(0x120F00F8));
        EXPECT_EQ(1u, Word(0x120F00FC));
        EXPECT_EQ(0u, Word(0x120F00B4));
        EXPECT_EQ(0x200u, Word(0x120F09C8));
        EXPECT_EQ(0x200u, Word(0x120F09D0));
        EXPECT_EQ(0xFFFFFFFFu, Word(0x12170400));
        EXPECT_EQ(0xFFFFFFFBu, Word(0x12170410));
        EXPECT_EQ(0xFFFFFFFBu, Word(0x12170010));
        EXPECT_EQ(0xFFFFFFFFu, Word(0x12150400));
        EXPECT_EQ(0xFFFFFFFAu, Word(0x12150410));
        EXPECT_EQ(0xFFFFFFFEu, Word(0x12150004));
        // The second port and the shared mode line are left alone.
        EXPECT_EQ(0xFFFFFFFFu, Word(0x120F0100));
        EXPECT_EQ(0xFFFFFFFFu, Word(0x120F09B4));
    }

    TempDir m_objDir;
    std::string m_strMem;
    int m_fdMem = -1;
};

TEST_F(BinaryStartTest, MissingPortIsReportedAndTheRunGoesOnUntilKilled) {
    Sandbox objSandbox;
    std::string strErr;
    ASSERT_TRUE(objSandbox.Start(Options(), &strErr)) << strErr;

    // No line feed follows the message and the process does not end: it is
    // seen only because standard output is unbuffered.
    EXPECT_TRUE(objSandbox.WaitForStdout("could not open device /dev/ttyAMA1", WAIT_MS))
        << "stdout: " << objSandbox.Stdout();
    // The set-up carries on: the pins are routed all the same.
    ExpectToolRouting();
    EXPECT_EQ(std::string::npos, objSandbox.Stdout().find("fail<")) << objSandbox.Stdout();

    // Nothing ends the run from inside: it is still there a while later.
    EXPECT_FALSE(objSandbox.Wait(1500));
    EXPECT_TRUE(objSandbox.Running());
    objSandbox.Kill();
    EXPECT_EQ(SIGKILL, objSandbox.TermSignal());
}

TEST_F(BinaryStartTest, OpensAndConfiguresThePort) {
    std::string strSlave;
    int fdMaster = OpenPtyMaster(&strSlave);
    ASSERT_GE(fdMaster, 0);
    SandboxOptions stOptions = Options();
    stOptions.strTtyPath = strSlave;

    Sandbox objSandbox;
    std::string strErr;
    ASSERT_TRUE(objSandbox.Start(stOptions, &strErr)) << strErr;

    // A new pty runs at 38400 in cooked mode; wait until the tool has set it.
    struct termios stTio = {};
    EXPECT_TRUE(WaitUntil(
        [&] {
            return tcgetattr(fdMaster, &stTio) == 0 && cfgetospeed(&stTio) == B115200 &&
                   stTio.c_lflag == 0;
        },
        WAIT_MS))
        << "stdout: " << objSandbox.Stdout();

    // 115200-8n1, raw, receiver on, no modem-line ignore, no flow control.
    EXPECT_EQ(B115200, cfgetispeed(&stTio));
    EXPECT_EQ(B115200, cfgetospeed(&stTio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), stTio.c_cflag & CSIZE);
    EXPECT_EQ(0u, stTio.c_cflag & (PARENB | PARODD | CSTOPB | CLOCAL | CRTSCTS));
    EXPECT_TRUE(stTio.c_cflag & CREAD);
    EXPECT_EQ(0u,
              stTio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON));
    EXPECT_EQ(0u, stTio.c_oflag & OPOST);
    EXPECT_EQ(0u, stTio.c_lflag);
    ExpectToolRouting();
    EXPECT_EQ(std::string::npos, objSandbox.Stdout().find("could not")) << objSandbox.Stdout();

    // The start command goes out on the port as a frame.
    std::string strWire;
    EXPECT_TRUE(WaitUntil(
        [&] {
            struct pollfd stPoll = {fdMaster, POLLIN, 0};
            if (poll(&stPoll, 1, 10) == 1 && (stPoll.revents & POLLIN)) {
                char achBuf[256];
                ssize_t s32Got = read(fdMaster, achBuf, sizeof(achBuf));
                if (s32Got > 0) {
                    strWire.append(achBuf, static_cast<size_t>(s32Got));
                }
            }
            return strWire.size() >= 2;
        },
        WAIT_MS));
    ASSERT_GE(strWire.size(), 2u);
    EXPECT_EQ('\xA5', strWire[0]);
    EXPECT_EQ('\x5A', strWire[1]);

    EXPECT_TRUE(objSandbox.Running());
    objSandbox.Kill();
    close(fdMaster);
}

TEST_F(BinaryStartTest, RealMemoryIsNeverReachable) {
    // Without a stand-in there is no /dev/mem at all: every register
    // operation reports its failure and the set-up still goes on.
    SandboxOptions stOptions = Options();
    stOptions.strMemFile.clear();
    Sandbox objSandbox;
    std::string strErr;
    ASSERT_TRUE(objSandbox.Start(stOptions, &strErr)) << strErr;
    EXPECT_TRUE(objSandbox.WaitForStdout("get addr 0x12150010 fail<0xffffffff>\n", WAIT_MS))
        << objSandbox.Stdout();
    EXPECT_TRUE(objSandbox.WaitForStderr("Open dev/mem error: No such file or directory", WAIT_MS))
        << objSandbox.Stderr();
    EXPECT_TRUE(objSandbox.Running());
    objSandbox.Kill();
}

} // namespace
