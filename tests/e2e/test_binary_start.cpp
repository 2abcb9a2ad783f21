// The real irupdate binary in the sandbox without a serial port, and without
// a register stand-in. Whole updates of the binary against irsim are the
// e2e_cases test (scripts/soak.sh --cases).
#include "update_e2e.h"

namespace {

using namespace e2e;

// The set-up carries on and says so, on standard output that is a file and
// yet unbuffered (no line feed follows the port message), and the run goes
// on, without a port, until it is killed.
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

} // namespace
