// Updates of the real irupdate against irsim when things go wrong: failure
// reports, a missing image or success-record folder, a noisy and lossy line,
// a silent microcontroller, and a line paced like the real 115200 bit/s one.
#include "update_e2e.h"

namespace {

using namespace e2e;

std::string Hex32(uint32_t u32Value) {
    char acText[16];
    snprintf(acText, sizeof(acText), "0x%08x", u32Value);
    return acText;
}

// Progress marks: one per command taken at the first try.
size_t Dots(const std::string &strErr) {
    return Count(strErr, ".");
}

TEST(UpdateFailures, ThreeFailureReportsEndTheRun) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(130, 5);
    stSpec.vecSimArgs = {"--fail", "606,607,601"};
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);

    EXPECT_EQ(1u, Count(strOut, "update CHECK failed \n"));
    EXPECT_EQ(1u, Count(strOut, "update MEM failed \n"));
    EXPECT_EQ(1u, Count(strOut, "error cmd\n"));
    EXPECT_EQ(1u, Count(strOut, "update time is over 3,update failed\n"));
    EXPECT_EQ(std::string::npos, strOut.find("update success"));
    // Each report restarts the image from its first byte.
    EXPECT_EQ(3, objSim.Number("end-records"));
    EXPECT_EQ(3, objSim.Number("failures-sent"));
    EXPECT_EQ(9, objSim.Number("chunks-total"));
    EXPECT_EQ("failure", objSim.Value("verdict"));

    std::string strRecord;
    EXPECT_FALSE(objRun.m_objTool.ReadSuccessLog(&strRecord)) << "success record written";
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());

    // The start command is queued four times: at the start and after each
    // report (16 marks = 4 starts + 9 chunks + 3 end records). The engine
    // stops in the pass that queued the fourth, so the line carries three or
    // four of them.
    EXPECT_EQ(16u, Dots(objRun.m_objTool.Stderr()));
    EXPECT_GE(objSim.Number("start-frames"), 3);
    EXPECT_LE(objSim.Number("start-commands"), 4);
}

// One failure report, then success: the image arrives whole in the second
// attempt, and the second end record sums that attempt alone (irsim checks
// it against the bytes received since the last start).
TEST(UpdateFailures, OneFailureThenSuccess) {
    E2E_REQUIRE_SANDBOX();
    struct Case {
        const char *pszName;
        std::vector<std::string> vecArgs;
        const char *pszText;
        size_t u32EndRecords;
    };
    const Case astCases[] = {
        {"check failure after the end record", {"--fail", "606"}, "update CHECK failed \n", 2},
        {"memory failure instead of ready",
         {"--fail", "607", "--fail-at", "start"},
         "update MEM failed \n",
         1},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pszName);
        UpdateSpec stSpec;
        stSpec.strImage = MakeImage(300, 9);
        stSpec.vecSimArgs = stCase.vecArgs;
        UpdateRun objRun;
        objRun.Run(stSpec);
        if (HasFatalFailure()) {
            return;
        }
        const SimProcess &objSim = objRun.m_objSim;
        const std::string strOut = objRun.m_objTool.Stdout();
        SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);

        EXPECT_EQ(1u, Count(strOut, stCase.pszText));
        EXPECT_EQ(1u, Count(strOut, "update success\n"));
        EXPECT_EQ("success", objSim.Value("verdict"));
        EXPECT_EQ("match", objSim.Value("image"));
        EXPECT_EQ(2, objSim.Number("start-commands"));
        EXPECT_EQ(stSpec.strImage, ReadFileBytes(objRun.m_strOutFile));
        std::vector<std::string> vecEnds = objSim.EndRecordLines();
        ASSERT_EQ(stCase.u32EndRecords, vecEnds.size());
        const std::string strSum = Hex32(ByteSum(stSpec.strImage));
        EXPECT_NE(std::string::npos,
                  vecEnds.back().find("checksum " + strSum + " received-sum " + strSum +
                                      " bytes 300 chunks 5 ok answer 0x608"));
        std::string strRecord;
        ASSERT_TRUE(objRun.m_objTool.ReadSuccessLog(&strRecord));
        EXPECT_EQ(std::string(4, '\0'), strRecord);
        EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    }
}

// No image in the working folder: "open file failed" and the end record in
// place of a chunk (checksum 0, no chunk).
TEST(UpdateFailures, MissingImage) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImageName.clear();
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);
    EXPECT_NE(std::string::npos, strOut.find("file path: ir_4000.bin 2\nupdate ready\n"));
    EXPECT_NE(std::string::npos, strOut.find("open file failed\n"));
    EXPECT_GE(objSim.Number("end-records"), 1);
    EXPECT_EQ(0, objSim.Number("chunks-total"));
    EXPECT_EQ("0x00000000", objSim.Value("end-checksum"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
}

// /var/tmpfs missing: the success record cannot be written, and the run
// still ends as a success.
TEST(UpdateFailures, SuccessWithoutRecordFolder) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(128, 3);
    stSpec.bVarTmpfs = false;
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objRun.m_objSim.Output() + "\ntool stdout:\n" + strOut);
    EXPECT_EQ("success", objRun.m_objSim.Value("verdict"));
    EXPECT_NE(std::string::npos, strOut.find("update success\n"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    EXPECT_GE(objRun.m_s32ExitAfterSuccessMs, 0);
    EXPECT_LE(objRun.m_s32ExitAfterSuccessMs, 1500);
}

// Noise between frames, 1% of the bytes altered and 1% lost in each
// direction, and acknowledgements withheld: repetition carries the update
// through, byte for byte.
TEST(UpdateFaults, NoisyLossyLine) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(700, 21);
    stSpec.vecSimArgs = {"--seed",         "7",    "--garbage", "0.05", "--corrupt-rx", "0.01",
                         "--corrupt-tx",   "0.01", "--drop-rx", "0.01", "--drop-tx",    "0.01",
                         "--withhold-ack", "0.05"};
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);
    EXPECT_EQ("success", objSim.Value("verdict"));
    EXPECT_EQ("match", objSim.Value("image"));
    EXPECT_EQ(Padded(stSpec.strImage), ReadFileBytes(objRun.m_strOutFile));
    EXPECT_NE(std::string::npos, strOut.find("update success\n"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    std::string strRecord;
    ASSERT_TRUE(objRun.m_objTool.ReadSuccessLog(&strRecord));
    EXPECT_EQ(std::string(4, '\0'), strRecord);
    // The faults did happen, and the tool had to repeat frames.
    EXPECT_NE(std::string::npos, objSim.Value("faults").find("rx-corrupted "));
    EXPECT_EQ(std::string::npos, objSim.Value("faults").find("rx-corrupted 0 "));
    EXPECT_GT(objSim.Number("rx-repeats"), 0);
}

// A microcontroller that never answers: the tool repeats its start command
// and never ends by itself.
TEST(UpdateFaults, SilentMicrocontroller) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(128, 1);
    stSpec.vecSimArgs = {"--silent"};
    stSpec.bExpectToolEnd = false;
    stSpec.s32RunMs = 2500;
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + objRun.m_objTool.Stdout());
    EXPECT_FALSE(objRun.m_bToolEnded);
    EXPECT_TRUE(objRun.m_bToolRunningAtEnd);
    // Repeated every 100 ms: the same frame, many times, and nothing else.
    EXPECT_GE(objSim.Number("start-frames"), 5);
    EXPECT_EQ(objSim.Number("start-frames"), objSim.Number("rx-frames"));
    EXPECT_EQ(objSim.Number("rx-frames") - 1, objSim.Number("rx-repeats"));
    EXPECT_EQ(std::string::npos, objRun.m_objTool.Stdout().find("update ready"));
    EXPECT_EQ("signal", objSim.Value("ended-by"));
    EXPECT_EQ(".", objRun.m_objTool.Stderr());
}

// The line paced at 115200 bit/s (10 bits a byte, both ways), as on the board.
TEST(UpdateFaults, PacedLine) {
    E2E_REQUIRE_SANDBOX();
    UpdateSpec stSpec;
    stSpec.strImage = MakeImage(1000, 17);
    stSpec.vecSimArgs = {"--baud", "115200"};
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + objRun.m_objTool.Stdout());
    EXPECT_EQ("success", objSim.Value("verdict"));
    EXPECT_EQ("match", objSim.Value("image"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    // 1000 image bytes in 16 frames of 13 header bytes cross the line at
    // 11,520 bytes/s: no less than about 104 ms.
    EXPECT_GE(objSim.Number("transfer-ms"), 100);
}

} // namespace
