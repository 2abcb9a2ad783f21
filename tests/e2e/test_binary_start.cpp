// Start-up of the real irupdate binary in the sandbox: the serial port, the
// register stand-in, the console, and a run that nothing ends from inside.
#include <termios.h>
#include <unistd.h>

#include "update_e2e.h"

namespace {

using namespace e2e;

// Without a serial port (and with or without /dev/mem) the set-up carries
// on and says so, on standard output that is a pipe and yet unbuffered (no
// line feed follows the port message), and the run goes on without progress
// until it is killed.
TEST(BinaryStart, BrokenSetUpIsReportedAndTheRunGoesOnUntilKilled) {
    E2E_REQUIRE_SANDBOX();
    for (bool bMem : {true, false}) {
        // Without a memory device at all every register operation fails.
        const std::string strOut =
            bMem ? "could not open device /dev/ttyAMA1" : "get addr 0x12150010 fail<0xffffffff>\n";
        const std::string strErr = bMem ? "" : "Open dev/mem error: No such file or directory";
        SCOPED_TRACE(strOut);
        TempDir objDir;
        ChildProcess objTool;
        ASSERT_EQ("", objTool.Start(ToolCommand(objDir.Path(), "", "", bMem)));
        EXPECT_TRUE(WaitUntil(
            [&] {
                return objTool.Stdout().find(strOut) != std::string::npos &&
                       objTool.Stderr().find(strErr) != std::string::npos;
            },
            START_MS))
            << objTool.Stdout() << objTool.Stderr();
        EXPECT_FALSE(objTool.Wait(1000)) << objTool.Stderr();
        objTool.Stop();
        EXPECT_EQ(SIGKILL, objTool.TermSignal());
    }
}

TEST(BinaryStart, OpensAndConfiguresThePortAs115200In8N1) {
    E2E_REQUIRE_SANDBOX();
    std::string strSlave;
    int fdMaster = OpenPtyMaster(&strSlave);
    ASSERT_GE(fdMaster, 0);
    TempDir objDir;
    ChildProcess objTool;
    ASSERT_EQ("", objTool.Start(ToolCommand(objDir.Path(), strSlave)));
    // A new pty runs at 38400 in cooked mode; wait until the tool has set it.
    termios stTio = {};
    EXPECT_TRUE(WaitUntil(
        [&] {
            return tcgetattr(fdMaster, &stTio) == 0 && cfgetospeed(&stTio) == B115200 &&
                   stTio.c_lflag == 0;
        },
        START_MS))
        << objTool.Stdout() << objTool.Stderr();
    close(fdMaster);
    // Raw, receiver on, no modem-line ignore, no flow control.
    EXPECT_EQ(B115200, cfgetispeed(&stTio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8 | CREAD),
              stTio.c_cflag & (CSIZE | CREAD | PARENB | PARODD | CSTOPB | CLOCAL | CRTSCTS));
    EXPECT_EQ(0u,
              stTio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON));
    EXPECT_EQ(0u, stTio.c_oflag & OPOST);
    EXPECT_EQ(std::string::npos, objTool.Stdout().find("could not")) << objTool.Stdout();
}

} // namespace
