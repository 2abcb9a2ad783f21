// Updates of the real irupdate against irsim when things go wrong: failure
// reports, a missing image, a noisy and lossy line, a silent microcontroller.
#include "update_e2e.h"

namespace {

using namespace e2e;

TEST(UpdateFailures, ThirdFailureReportEndsTheRun) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    objRun.m_strImage = MakeImage(130, 5);
    objRun.m_vecSimArgs = {"--fail", "606,607,601"}; // 0x601 is no code of the conversation
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    SCOPED_TRACE(objRun.Trace());
    for (const char *pszText : {"update CHECK failed \n", "update MEM failed \n", "error cmd\n",
                                "update time is over 3,update failed\n"}) {
        EXPECT_EQ(1u, Count(objRun.m_objTool.Stdout(), pszText)) << pszText;
    }
    // Each report restarts the image from its first byte.
    EXPECT_EQ(3, objRun.Number("end-records"));
    EXPECT_EQ(9, objRun.Number("chunks-total"));
    EXPECT_EQ("failure", objRun.Value("verdict"));
    EXPECT_EQ("", ReadFileBytes(objRun.m_strVar + "/success.log")) << "success record written";
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    // The start command is queued four times: at the start and after each
    // report (16 marks = 4 starts + 9 chunks + 3 end records). The engine
    // stops in the pass that queued the fourth, so the line carries three or
    // four of them.
    EXPECT_EQ(std::string(16, '.'), objRun.m_objTool.Stderr());
    EXPECT_GE(objRun.Number("start-frames"), 3);
    EXPECT_LE(objRun.Number("start-commands"), 4);
}

// One failure report, then success: the image arrives whole in the second
// attempt, and the second end record sums that attempt alone.
TEST(UpdateFailures, OneFailureThenSuccess) {
    E2E_REQUIRE_SANDBOX();
    struct Case {
        std::vector<std::string> vecArgs;
        const char *pszText;
        long s32EndRecords;
    };
    const Case astCases[] = {
        {{"--fail", "606"}, "update CHECK failed \n", 2},                     // for the end record
        {{"--fail", "607", "--fail-at", "start"}, "update MEM failed \n", 1}, // for the start
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pszText);
        UpdateRun objRun;
        objRun.m_strImage = MakeImage(300, 9);
        objRun.m_vecSimArgs = stCase.vecArgs;
        ASSERT_NO_FATAL_FAILURE(objRun.Run());
        objRun.ExpectSuccess();
        EXPECT_EQ(1u, Count(objRun.m_objTool.Stdout(), stCase.pszText));
        EXPECT_EQ(2, objRun.Number("start-commands"));
        EXPECT_EQ(stCase.s32EndRecords, objRun.Number("end-records"));
    }
}

// Failure reports at chosen points: in answer to the third chunk (in place of
// the request for the fourth), to a start command, and past the end of the
// image (given at the end record instead). Each restarts the image from its
// first byte, and the third ends the run.
TEST(UpdateFailures, ReportsAtChosenPoints) {
    E2E_REQUIRE_SANDBOX();
    {
        SCOPED_TRACE("two reports, then success");
        UpdateRun objRun;
        objRun.m_strImage = MakeImage(300, 11); // five chunks
        objRun.m_vecSimArgs = {"--fail", "606@3,607@start"};
        ASSERT_NO_FATAL_FAILURE(objRun.Run());
        objRun.ExpectSuccess();
        EXPECT_EQ("606@3 607@start", objRun.Value("failures-given"));
        EXPECT_EQ(1u, Count(objRun.m_objTool.Stdout(), "update CHECK failed \n"));
        EXPECT_EQ(1u, Count(objRun.m_objTool.Stdout(), "update MEM failed \n"));
        EXPECT_EQ(3, objRun.Number("start-commands"));
        EXPECT_EQ(8, objRun.Number("chunks-total")); // 3 of the first attempt, then all 5
        EXPECT_EQ(1, objRun.Number("end-records"));
    }
    {
        SCOPED_TRACE("the third report ends the run");
        UpdateRun objRun;
        objRun.m_strImage = MakeImage(300, 12);
        objRun.m_vecSimArgs = {"--fail", "606@5,601@1,607@1000"};
        ASSERT_NO_FATAL_FAILURE(objRun.Run());
        SCOPED_TRACE(objRun.Trace());
        EXPECT_EQ("606@5 601@1 607@end", objRun.Value("failures-given"));
        EXPECT_EQ(3, objRun.Number("failures-scripted"));
        EXPECT_EQ(11, objRun.Number("chunks-total")); // 5, 1, then all 5
        EXPECT_EQ(1, objRun.Number("end-records"));
        EXPECT_EQ("failure", objRun.Value("verdict"));
        EXPECT_EQ(1u, Count(objRun.m_objTool.Stdout(), "update time is over 3,update failed\n"));
        EXPECT_EQ(0u, Count(objRun.m_objTool.Stdout(), "update success\n"));
        EXPECT_EQ("", ReadFileBytes(objRun.m_strVar + "/success.log")) << "success record written";
    }
}

// No image in the working folder: "open file failed" and the end record in
// place of a chunk, with checksum 0.
TEST(UpdateFailures, MissingImage) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    objRun.m_strImageName.clear();
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    SCOPED_TRACE(objRun.Trace());
    EXPECT_NE(std::string::npos, objRun.m_objTool.Stdout().find("open file failed\n"));
    EXPECT_EQ(0, objRun.Number("chunks-total"));
    EXPECT_EQ("0x00000000", objRun.Value("end-checksum"));
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
}

// Noise between frames, 1% of the bytes altered and 1% lost in each
// direction, and acknowledgements withheld: repetition carries the update
// through, byte for byte.
TEST(UpdateFaults, NoisyLossyLine) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    objRun.m_strImage = MakeImage(700, 21);
    objRun.m_vecSimArgs = {"--seed",         "7",    "--garbage", "0.05", "--corrupt-rx", "0.01",
                           "--corrupt-tx",   "0.01", "--drop-rx", "0.01", "--drop-tx",    "0.01",
                           "--withhold-ack", "0.05"};
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    objRun.ExpectSuccess();
    // The faults did happen, and the tool had to repeat frames.
    SCOPED_TRACE(objRun.Trace());
    const std::string strFaults = objRun.Value("faults");
    EXPECT_EQ(0u, strFaults.find("rx-corrupted "));
    EXPECT_NE(0u, strFaults.find("rx-corrupted 0 "));
    EXPECT_GT(objRun.Number("rx-repeats"), 0);
}

// A microcontroller that never answers: the tool repeats its start command
// and never ends by itself.
TEST(UpdateFaults, SilentMicrocontroller) {
    E2E_REQUIRE_SANDBOX();
    UpdateRun objRun;
    objRun.m_strImage = MakeImage(128, 1);
    objRun.m_vecSimArgs = {"--silent"};
    ASSERT_NO_FATAL_FAILURE(objRun.Start());
    EXPECT_FALSE(objRun.m_objTool.Wait(2500));
    objRun.m_objTool.Stop();
    objRun.m_objSim.Stop(SIGTERM); // irsim sums up on its way out
    SCOPED_TRACE(objRun.Trace());
    EXPECT_EQ(SIGKILL, objRun.m_objTool.TermSignal());
    // The same frame, many times, and nothing else.
    EXPECT_GE(objRun.Number("start-frames"), 5);
    EXPECT_EQ(objRun.Number("start-frames"), objRun.Number("rx-frames"));
    EXPECT_EQ(objRun.Number("rx-frames") - 1, objRun.Number("rx-repeats"));
    EXPECT_EQ(std::string::npos, objRun.m_objTool.Stdout().find("update ready"));
    EXPECT_EQ(".", objRun.m_objTool.Stderr());
}

} // namespace
