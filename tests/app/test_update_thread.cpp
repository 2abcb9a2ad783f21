// The update thread's life in this process: set-up on a pty, the start
// command on the line, and the end of the thread through IRUpdateExit.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
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

bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Number of this process's threads with the given name.
int ThreadsNamed(const std::string &strName) {
    int s32Count = 0;
    DIR *pstDir = opendir("/proc/self/task");
    if (pstDir == nullptr) {
        return -1;
    }
    while (struct dirent *pstEntry = readdir(pstDir)) {
        if (pstEntry->d_name[0] == '.') {
            continue;
        }
        std::string strComm =
            ReadFileBytes(std::string("/proc/self/task/") + pstEntry->d_name + "/comm");
        if (strComm == strName + "\n") {
            ++s32Count;
        }
    }
    closedir(pstDir);
    return s32Count;
}

TEST(CIRUpdate, ConstructionPreparesTheStartOfTheSequence) {
    g_eIRUpdateStatus = IR_UPDATE_WAIT;
    SerialPortSettings stSettings;
    memset(&stSettings, 0, sizeof(stSettings));
    CIRUpdate objUpdate(&stSettings);
    EXPECT_EQ(static_cast<uint32_t>(IR_UPDATE_START), g_eIRUpdateStatus.load());
    EXPECT_FALSE(objUpdate.StopRequested());
} // never started: the destructor's join returns at once

TEST(CIRUpdate, RunsSetUpStartCommandAndEndsThroughIRUpdateExit) {
    TempDir objDir;
    std::string strMem = objDir.File("mem");
    ASSERT_TRUE(MakeSparseFile(strMem));
    PhysMemSetDevice(strMem.c_str());

    std::string strSlave;
    int fdMaster = OpenPtyMaster(&strSlave);
    ASSERT_GE(fdMaster, 0);

    SerialPortSettings stSettings;
    memset(&stSettings, 0, sizeof(stSettings));
    snprintf(stSettings.szDevice, sizeof(stSettings.szDevice), "%s", strSlave.c_str());
    snprintf(stSettings.szMode, sizeof(stSettings.szMode), "%s", "115200-8n1");

    // Like main: the object is published before its thread starts and is
    // never destroyed (the engine thread may still reach it).
    CIRUpdate *pobjUpdate = new CIRUpdate(&stSettings);
    g_objIRUpdate = pobjUpdate;
    ASSERT_TRUE(g_bIRRunFlag.load());
    pobjUpdate->Start();

    // The start command 0x600 with its two zero bytes reaches the line.
    std::string strWire;
    EXPECT_TRUE(WaitUntil(
        [&] {
            struct pollfd stPoll = {fdMaster, POLLIN, 0};
            if (poll(&stPoll, 1, 5) == 1) {
                char achBuf[256];
                ssize_t s32Got = read(fdMaster, achBuf, sizeof(achBuf));
                if (s32Got > 0) {
                    strWire.append(achBuf, static_cast<size_t>(s32Got));
                }
            }
            return strWire.size() >= 17;
        },
        WAIT_MS));
    ASSERT_GE(strWire.size(), 17u);
    const uint8_t *pu8 = reinterpret_cast<const uint8_t *>(strWire.data());
    EXPECT_EQ(0xA5, pu8[0]);
    EXPECT_EQ(0x5A, pu8[1]);
    EXPECT_EQ(2, pu8[2] | pu8[3] << 8); // length
    EXPECT_EQ(0x20, pu8[9]);            // frame parameters set by the binding
    EXPECT_EQ(0x50, pu8[10]);
    EXPECT_EQ(0x600, pu8[11] | pu8[12] << 8); // IR_CMD_UPDATE_START
    EXPECT_EQ(0, pu8[13]);
    EXPECT_EQ(0, pu8[14]);

    // Set-up: the port is raw at 115200.
    struct termios stTio = {};
    ASSERT_EQ(0, tcgetattr(fdMaster, &stTio));
    EXPECT_EQ(B115200, cfgetospeed(&stTio));
    EXPECT_EQ(0u, stTio.c_lflag);
    // The pins were routed for the device named in the settings; a pty is no
    // known port, so both ports were disabled (enable lines driven high).
    uint32_t u32Word = 0xFFFFFFFF;
    int fdMem = open(strMem.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fdMem, 0);
    EXPECT_EQ(4, pread(fdMem, &u32Word, 4, 0x12170010));
    EXPECT_EQ(1u << 2, u32Word);
    EXPECT_EQ(4, pread(fdMem, &u32Word, 4, 0x12170020));
    EXPECT_EQ(1u << 3, u32Word);
    close(fdMem);

    // The update thread has named itself (the engine thread it started
    // inherits the name).
    EXPECT_GE(ThreadsNamed("IR Update"), 1);

    // Ending the run: the flag drops, and the update thread ends so that the
    // join main makes comes back.
    IRUpdateExit();
    EXPECT_FALSE(g_bIRRunFlag.load());
    EXPECT_TRUE(pobjUpdate->StopRequested());
    std::future<void> objJoined =
        std::async(std::launch::async, [pobjUpdate] { pobjUpdate->StopAndJoin(); });
    if (objJoined.wait_for(std::chrono::milliseconds(WAIT_MS)) != std::future_status::ready) {
        ADD_FAILURE() << "the update thread did not end after IRUpdateExit";
        fflush(nullptr);
        _exit(1); // the join cannot be abandoned
    }
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("IR Update") == 0; }, WAIT_MS));
    // What the set-up left behind, read now that the join orders it before us:
    // the port's descriptor, the receive handler and the bound instance.
    EXPECT_GE(g_u32UartFd, 0);
    EXPECT_EQ(APP_Comm_Recv_IR_Update, APP_Comm_Recv_Handler);
    EXPECT_GE(Cmdfd.load(), 0);

    PhysMemSetDevice(nullptr);
    close(fdMaster);
}

TEST(IRUpdateExit, WithoutAnUpdateObject) {
    CIRUpdate *pobjSaved = g_objIRUpdate;
    g_objIRUpdate = nullptr;
    IRUpdateExit();
    EXPECT_FALSE(g_bIRRunFlag.load());
    g_objIRUpdate = pobjSaved;
}

} // namespace
