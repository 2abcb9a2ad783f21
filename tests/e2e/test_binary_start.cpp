// The real irupdate binary in the sandbox: its set-up (the serial port, the
// register stand-in, the console), a microcontroller that never answers, and
// a file irsim sends before it answers the first start command. Whole updates
// of other make-ups are the e2e_cases test (scripts/soak.sh --cases).
#include <termios.h>
#include <unistd.h>

#include "update_e2e.h"

namespace {

using namespace e2e;

// Without a serial port (and with or without /dev/mem) the set-up carries on
// and says so, on standard output that is a file and yet unbuffered (no line
// feed follows the port message), and the run goes on until killed.
TEST(BinaryStart, BrokenSetUpIsReportedAndTheRunGoesOnUntilKilled) {
    E2E_REQUIRE_SANDBOX();
    for (bool bMem : {true, false}) { // without a memory device every register operation fails
        const std::string strOut =
            bMem ? "could not open device /dev/ttyAMA1" : "get addr 0x12150010 fail<0xffffffff>\n";
        const std::string strErr = bMem ? "" : "Open dev/mem error: No such file or directory";
        TempDir objDir;
        ChildProcess objTool;
        ASSERT_EQ("", objTool.Start(ToolCommand(objDir.Path(), "", "", bMem)));
        EXPECT_TRUE(PollUntil(
            [&] {
                return objTool.Stdout().find(strOut) != std::string::npos &&
                       objTool.Stderr().find(strErr) != std::string::npos;
            },
            START_MS))
            << objTool.Stdout() << objTool.Stderr();
        EXPECT_FALSE(objTool.Wait(1000)) << objTool.Stderr();
    }
}

TEST(BinaryStart, OpensAndConfiguresThePortAs115200In8N1) {
    E2E_REQUIRE_SANDBOX();
    std::string strSlave;
    const int fdMaster = OpenPtyMaster(&strSlave);
    ASSERT_GE(fdMaster, 0);
    TempDir objDir;
    ChildProcess objTool;
    ASSERT_EQ("", objTool.Start(ToolCommand(objDir.Path(), strSlave)));
    // A new pty runs at 38400 in cooked mode; wait until the tool has set it:
    // raw, receiver on, no parity, one stop bit, no modem-line ignore, no flow control.
    termios stTio = {};
    EXPECT_TRUE(PollUntil(
        [&] {
            return tcgetattr(fdMaster, &stTio) == 0 && cfgetospeed(&stTio) == B115200 &&
                   cfgetispeed(&stTio) == B115200 && stTio.c_lflag == 0 &&
                   (stTio.c_cflag & (CSIZE | CREAD | PARENB | CSTOPB | CLOCAL | CRTSCTS)) ==
                       (CS8 | CREAD) &&
                   (stTio.c_iflag & (ICRNL | IXON)) == 0 && (stTio.c_oflag & OPOST) == 0;
        },
        START_MS))
        << objTool.Stdout() << objTool.Stderr();
    close(fdMaster);
}

// A microcontroller that never answers: the tool repeats its start command,
// and nothing else, and never ends by itself.
TEST(BinaryStart, SilentMicrocontroller) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    objRun.m_vecSimArgs = {"--silent"};
    ASSERT_NO_FATAL_FAILURE(objRun.Start());
    EXPECT_FALSE(objRun.m_objTool.Wait(2500));
    objRun.m_objTool.Stop();
    objRun.m_objSim.Stop(SIGTERM); // irsim sums up on its way out
    SCOPED_TRACE(objRun.Trace());
    EXPECT_GE(objRun.Number("start-frames"), 5);
    EXPECT_EQ(objRun.Number("start-frames"), objRun.Number("rx-frames"));
    EXPECT_EQ(objRun.Number("rx-frames") - 1, objRun.Number("rx-repeats"));
    EXPECT_EQ(".", objRun.m_objTool.Stderr());
}

// The tool stores the file; its update handler takes the transfer's start
// frame and verified end frame for unexpected commands ("error cmd") and
// starts over twice, one failure short of giving up, and the update succeeds.
TEST(BinaryStart, FileFromTheMicrocontrollerThenTheUpdate) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    const std::string strFile = MakeImage(1025, 77); // three chunks, the last of one byte
    ASSERT_TRUE(WriteFileBytes(objRun.m_objDir.File("to_send.bin"), strFile));
    objRun.m_strImage = MakeImage(1000, 5);
    objRun.m_vecSimArgs = {"--send-file", objRun.m_objDir.File("to_send.bin"), "--send-name",
                           "irlog.bin"};
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    objRun.ExpectSuccess();
    EXPECT_EQ(strFile, ReadFileBytes(objRun.m_strWork + "/irlog.bin"));
    EXPECT_EQ("verified", objRun.Value("file-send"));
    EXPECT_EQ(3, objRun.Number("start-commands"));
    size_t u32Errors = 0;
    for (size_t u32At = 0;
         (u32At = objRun.m_objTool.Stdout().find("error cmd\n", u32At)) != std::string::npos;
         ++u32At) {
        ++u32Errors;
    }
    EXPECT_EQ(2u, u32Errors);
}

} // namespace
