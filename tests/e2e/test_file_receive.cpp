// File transfers with the real binary: irsim sends a file to the unmodified
// irupdate before it answers the tool's first start command, and the update
// then runs as usual. The tool's update handler takes the transfer's start
// frame and verified end frame for unexpected commands ("error cmd") and
// starts over twice, which still leaves it one failure short of giving up.
// Also: a name that would leave the tool's working folder creates nothing,
// and irsim itself receives a file that a protocol instance sends it.
#include "update_e2e.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/command_protocol.h"

namespace {

using namespace e2e;

bool PathExists(const std::string &strPath) {
    struct stat stStat;
    return lstat(strPath.c_str(), &stStat) == 0;
}

TEST(FileToTool, ArrivesBeforeTheUpdateWhichStillSucceeds) {
    E2E_REQUIRE_SANDBOX();
    TempDir objSrc;
    const std::string strFile = MakeImage(1025, 77); // three chunks, the last of one byte
    const std::string strSrcPath = objSrc.File("log_to_send.bin");
    ASSERT_TRUE(WriteFileBytes(strSrcPath, strFile));

    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(1000, 5);
    stSpec.vecSimArgs = {"--send-file", strSrcPath, "--send-name", "irlog.bin"};
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);

    // The file, byte for byte, in the tool's working folder.
    EXPECT_EQ(strFile, ReadFileBytes(objRun.m_strWork + "/irlog.bin"));
    EXPECT_EQ("verified", objSim.Value("file-send"));
    EXPECT_EQ(1, objSim.Number("file-send-attempts"));
    // The tool reported code 2 (received and verified).
    EXPECT_NE(std::string::npos,
              strOut.find("\033[36m[transfer][CommandProtocolTransferFileReportCmd,"));
    EXPECT_NE(std::string::npos, strOut.find("] name 2\033[0m\r\n"));
    EXPECT_EQ(std::string::npos, strOut.find("] name 0\033[0m\r\n"));

    // Start frame and end frame each counted as an unexpected command: two
    // restarts, so three start commands, answered once.
    EXPECT_EQ(2u, Count(strOut, "error cmd\n"));
    EXPECT_EQ(3, objSim.Number("start-commands"));
    EXPECT_EQ(1, objSim.Number("ready-answers"));
    EXPECT_EQ(std::string::npos, strOut.find("update time is over"));

    // And the update itself completed.
    EXPECT_EQ("success", objSim.Value("verdict"));
    EXPECT_EQ("match", objSim.Value("image"));
    EXPECT_NE(std::string::npos, strOut.find("update success\n"));
    std::string strRecord;
    ASSERT_TRUE(objRun.m_objTool.ReadSuccessLog(&strRecord));
    EXPECT_EQ(std::string(4, '\0'), strRecord);
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    EXPECT_EQ(0, objSim.ExitCode());
}

TEST(FileToTool, NameLeavingTheWorkingFolderCreatesNothing) {
    E2E_REQUIRE_SANDBOX();
    TempDir objSrc;
    const std::string strSrcPath = objSrc.File("payload.bin");
    ASSERT_TRUE(WriteFileBytes(strSrcPath, MakeImage(600, 3)));

    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(200, 6);
    // The tool runs in <dir>/work: this name points at <dir>/escape.bin.
    stSpec.vecSimArgs = {"--send-file", strSrcPath, "--send-name", "../escape.bin"};
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);

    EXPECT_FALSE(PathExists(objRun.m_objDir.File("escape.bin")));
    EXPECT_FALSE(PathExists(objRun.m_strWork + "/escape.bin"));
    EXPECT_NE(std::string::npos, strOut.find("] =open file=\033[0m\r\n"));
    EXPECT_EQ("failed", objSim.Value("file-send"));
    // Refused start frames never reach the update handler.
    EXPECT_EQ(0u, Count(strOut, "error cmd\n"));
    EXPECT_EQ("success", objSim.Value("verdict"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
}

// ---------------------------------------------------------------------------
// irsim as the receiving side

int g_s32PtyFd = -1;

int PtyWrite(const uint8_t *pu8Buf, int s32Len) {
    int s32Done = 0;
    while (s32Done < s32Len) {
        ssize_t n = write(g_s32PtyFd, pu8Buf + s32Done, static_cast<size_t>(s32Len - s32Done));
        if (n <= 0) {
            if (n < 0 && errno == EAGAIN) {
                usleep(1000);
                continue;
            }
            break;
        }
        s32Done += static_cast<int>(n);
    }
    return 0;
}
int PtyRead(uint8_t *pu8Buf, int s32Max) {
    return static_cast<int>(read(g_s32PtyFd, pu8Buf, static_cast<size_t>(s32Max)));
}
void PtyData(_CmdProtocolParam *) {}

TEST(FileToSim, ArrivesInTheReceiveFolder) {
    TempDir objDir;
    const std::string strRecv = objDir.File("inbox");
    ASSERT_EQ(0, mkdir(strRecv.c_str(), 0755));
    const std::string strFile = MakeImage(3000, 9);
    const std::string strSrcPath = objDir.File("outgoing.bin");
    ASSERT_TRUE(WriteFileBytes(strSrcPath, strFile));

    SimProcess objSim;
    std::string strErr;
    ASSERT_TRUE(objSim.Start({"--recv-dir", strRecv, "--timeout", "120"}, &strErr)) << strErr;
    g_s32PtyFd = open(objSim.Pty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(g_s32PtyFd, 0);
    termios stTio{};
    ASSERT_EQ(0, tcgetattr(g_s32PtyFd, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(g_s32PtyFd, TCSANOW, &stTio));

    ASSERT_EQ(0, CommandProtocolMutexInit());
    CmdProtocolFun stFun{};
    stFun.Write = PtyWrite;
    stFun.Read = PtyRead;
    stFun.DataProcessing = PtyData;
    int s32Handle = CommandProtocolOpen(&stFun, "host", 0);
    ASSERT_GE(s32Handle, 0);
    CommandProtocolHeartBeatStatue(s32Handle, 0);

    ASSERT_EQ(
        0, CommandProtocolTransferFileSendStart(s32Handle, 1, strSrcPath.c_str(), "from_host.bin"));
    bool bReached100 = false;
    EXPECT_TRUE(WaitUntil(
        [&] {
            bReached100 = bReached100 || CommandProtocolTransferFileProgress(s32Handle) == 100;
            // The end marker is acknowledged only once the file verified.
            return bReached100 && CommandProtocolGetSendBufNum(s32Handle) == 0;
        },
        60000));
    EXPECT_TRUE(objSim.WaitForOutput("irsim: file-received from_host.bin 3000\n", 10000));

    CommandProtocolStop(s32Handle);
    CommandProtocolWaitEngineEnd(s32Handle);
    objSim.Terminate();
    ASSERT_TRUE(objSim.WaitEnd(SIM_END_MS));
    close(g_s32PtyFd);
    SCOPED_TRACE("irsim:\n" + objSim.Output());
    EXPECT_EQ(strFile, ReadFileBytes(strRecv + "/from_host.bin"));
    EXPECT_NE(std::string::npos, objSim.Output().find("irsim: file-start from_host.bin 3000\n"));
    EXPECT_EQ(1, objSim.Number("files-started"));
    EXPECT_EQ(1, objSim.Number("files-received"));
    EXPECT_EQ(0, objSim.Number("other-commands"));
}

} // namespace
