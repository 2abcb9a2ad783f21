// Whole updates of the real irupdate against irsim: the image arrives byte for
// byte in 64-byte chunks, the last one as the tool pads it, with a right end
// record; on a paced line, a noisy and lossy one, and after failure reports.
// The third failure report ends the run without success.
#include "update_e2e.h"

namespace {

using namespace e2e;

struct Case {
    const char *pszName;
    size_t u32Size;
    std::vector<std::string> vecSimArgs;
    long s32Starts, s32Chunks, s32EndRecords; // as irsim counts them
    std::vector<const char *> vecOnce;        // lines the tool prints once each
    const char *pszImage = "ir_4000.bin";
    const char *pszRecord = ""; // earlier content of the success record
    bool bVarTmpfs = true;
};

class Update : public ::testing::TestWithParam<Case> {};

TEST_P(Update, EndsAsTheMicrocontrollerSays) {
    E2E_REQUIRE_SANDBOX();
    const Case &stCase = GetParam();
    UpdateRun objRun;
    objRun.m_strImageName = stCase.pszImage;
    objRun.m_strImage = MakeImage(stCase.u32Size, static_cast<uint32_t>(stCase.u32Size) + 1);
    objRun.m_vecSimArgs = stCase.vecSimArgs;
    objRun.m_strRecord = stCase.pszRecord;
    objRun.m_bVarTmpfs = stCase.bVarTmpfs;
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    SCOPED_TRACE(objRun.Trace());
    const std::string strOut = objRun.m_objTool.Stdout();
    for (const char *pszLine : stCase.vecOnce) {
        EXPECT_EQ(1u, Count(strOut, pszLine)) << pszLine;
    }
    EXPECT_EQ(stCase.s32Chunks, objRun.Number("chunks-total"));
    EXPECT_EQ(stCase.s32EndRecords, objRun.Number("end-records"));
    // One mark for each command taken at the first try: every start command
    // (of which the engine may stop before the fourth goes out), chunk and
    // end record.
    EXPECT_EQ(std::string(stCase.s32Starts + stCase.s32Chunks + stCase.s32EndRecords, '.'),
              objRun.m_objTool.Stderr());
    if (stCase.s32Starts == 4) {
        EXPECT_EQ("failure", objRun.Value("verdict"));
        EXPECT_EQ(0u, Count(strOut, "update success"));
        EXPECT_EQ("", ReadFileBytes(objRun.m_strVar + "/success.log")) << "success record written";
        EXPECT_EQ(0, objRun.m_objTool.ExitCode());
        return;
    }
    // A longer earlier record keeps its length: only its first four bytes become zero.
    std::string strRecord = stCase.pszRecord;
    strRecord.replace(0, std::min<size_t>(4, strRecord.size()), 4, '\0');
    objRun.ExpectSuccess(stCase.bVarTmpfs ? strRecord : "");
    EXPECT_EQ(stCase.s32Starts, objRun.Number("start-commands"));
}

const Case s_astCases[] = {
    // As on the board: 115200 bit/s, 10 bits a byte, both ways.
    {"PacedLine",
     1000,
     {"--baud", "115200"},
     1,
     16,
     1,
     {"file path: ir_4000.bin 2\nupdate ready\n"},
     "ir_4000.bin",
     "0123456789"},
    // The selector read from a ready command longer than the data field.
    {"SelectorZeroLongReady",
     130,
     {"--selector", "0", "--ready-len", "16"},
     1,
     3,
     1,
     {"file path: ir_A000.bin 0\n"},
     "ir_A000.bin"},
    // The record cannot be written, and the run is a success all the same.
    {"NoRecordFolder", 128, {}, 1, 2, 1, {}, "ir_4000.bin", "", false},
    // Noise between frames, 1% of the bytes altered and 1% lost in each
    // direction, and acknowledgements withheld.
    {"NoisyLossyLine",
     700,
     {"--seed", "7", "--garbage", "0.05", "--corrupt-rx", "0.01", "--corrupt-tx", "0.01",
      "--drop-rx", "0.01", "--drop-tx", "0.01", "--withhold-ack", "0.05"},
     1,
     11,
     1,
     {}},
    // Reports at the third chunk and at a start command: each restarts the
    // image from its first byte.
    {"TwoFailuresThenSuccess",
     300,
     {"--fail", "606@3,607@start"},
     3,
     8,
     1,
     {"update CHECK failed \n", "update MEM failed \n"}},
    // 0x601 is no code of the conversation.
    {"ThirdFailureEndsTheRun",
     130,
     {"--fail", "606,607,601"},
     4,
     9,
     3,
     {"update CHECK failed \n", "update MEM failed \n", "error cmd\n",
      "update time is over 3,update failed\n"}},
};

INSTANTIATE_TEST_SUITE_P(E2e, Update, ::testing::ValuesIn(s_astCases),
                         [](const ::testing::TestParamInfo<Case> &stInfo) {
                             return std::string(stInfo.param.pszName);
                         });

} // namespace
