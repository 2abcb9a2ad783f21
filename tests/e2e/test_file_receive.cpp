// File transfers to the real binary: irsim sends a file to the unmodified
// irupdate before it answers the tool's first start command, and the update
// then runs as usual. The tool's update handler takes the transfer's start
// frame and verified end frame for unexpected commands ("error cmd") and
// starts over twice, which still leaves it one failure short of giving up.
#include <unistd.h>

#include "update_e2e.h"

namespace {

using namespace e2e;

// An update of a 1000-byte image, with strFile sent first under strName.
void RunWithFile(UpdateRun &objRun, const std::string &strFile, const std::string &strName) {
    const std::string strSrcPath = objRun.m_objDir.File("to_send.bin");
    ASSERT_TRUE(WriteFileBytes(strSrcPath, strFile));
    objRun.m_strImage = MakeImage(1000, 5);
    objRun.m_vecSimArgs = {"--send-file", strSrcPath, "--send-name", strName};
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    objRun.ExpectSuccess();
}

TEST(FileToTool, ArrivesBeforeTheUpdateWhichStillSucceeds) {
    E2E_REQUIRE_SANDBOX();
    const std::string strFile = MakeImage(1025, 77); // three chunks, the last of one byte
    UpdateRun objRun;
    ASSERT_NO_FATAL_FAILURE(RunWithFile(objRun, strFile, "irlog.bin"));
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE(objRun.Trace());
    EXPECT_EQ(strFile, ReadFileBytes(objRun.m_strWork + "/irlog.bin"));
    EXPECT_EQ("verified", objRun.Value("file-send"));
    // The tool's report carries code 2: received and verified.
    EXPECT_NE(std::string::npos,
              strOut.find("\033[36m[transfer][CommandProtocolTransferFileReportCmd,"));
    EXPECT_NE(std::string::npos, strOut.find("] name 2\033[0m\r\n"));
    // Start frame and end frame each taken for an unexpected command: two
    // restarts, so three start commands.
    EXPECT_EQ(2u, Count(strOut, "error cmd\n"));
    EXPECT_EQ(3, objRun.Number("start-commands"));
}

TEST(FileToTool, NameLeavingTheWorkingFolderCreatesNothing) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    // The tool runs in <dir>/work: this name points at <dir>/escape.bin.
    ASSERT_NO_FATAL_FAILURE(RunWithFile(objRun, MakeImage(600, 3), "../escape.bin"));
    SCOPED_TRACE(objRun.Trace());
    EXPECT_NE(0, access(objRun.m_objDir.File("escape.bin").c_str(), F_OK));
    EXPECT_NE(0, access((objRun.m_strWork + "/escape.bin").c_str(), F_OK));
    EXPECT_NE(std::string::npos, objRun.m_objTool.Stdout().find("] =open file=\033[0m\r\n"));
    EXPECT_EQ("failed", objRun.Value("file-send"));
    // Refused start frames never reach the update handler.
    EXPECT_EQ(0u, Count(objRun.m_objTool.Stdout(), "error cmd\n"));
}

} // namespace
