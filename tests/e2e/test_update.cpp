// Whole updates of the real irupdate against irsim: images of several sizes
// and both image names arrive byte for byte, in 64-byte chunks with the last
// one as the tool pads it, with a right end record; the success record is
// written and the tool ends with status 0 soon after the success report.
#include "update_e2e.h"

namespace {

using namespace e2e;

struct SizeCase {
    const char *pszName;
    size_t u32Size;
    uint32_t u32Selector;
    const char *pszImageName;
    uint32_t u32ReadyLen; // payload of the ready command: 4 in the data field, more in a buffer
    const char *pszSeed;  // earlier content of the success record, or null
};

class UpdateSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(UpdateSizes, ImageArrivesWholeAndRunEndsInSuccess) {
    E2E_REQUIRE_SANDBOX();
    const SizeCase &stCase = GetParam();
    UpdateSpec stSpec;
    stSpec.strImageName = stCase.pszImageName;
    stSpec.strImage = MakeImage(stCase.u32Size, static_cast<uint32_t>(stCase.u32Size) + 1);
    stSpec.vecSimArgs = {"--selector", std::to_string(stCase.u32Selector), "--ready-len",
                         std::to_string(stCase.u32ReadyLen)};
    if (stCase.pszSeed != nullptr) {
        stSpec.bSeedSuccessLog = true;
        stSpec.strSuccessLogSeed = stCase.pszSeed;
    }
    UpdateRun objRun;
    objRun.Run(stSpec);
    if (HasFatalFailure()) {
        return;
    }
    const SimProcess &objSim = objRun.m_objSim;
    const std::string strOut = objRun.m_objTool.Stdout();
    const std::string strErr = objRun.m_objTool.Stderr();
    SCOPED_TRACE("irsim:\n" + objSim.Output() + "\ntool stdout:\n" + strOut);

    // The conversation as the microcontroller saw it.
    EXPECT_EQ("success", objSim.Value("verdict"));
    EXPECT_EQ("match", objSim.Value("image"));
    EXPECT_EQ("ok", objSim.Value("checksum"));
    EXPECT_EQ(1, objSim.Number("start-commands"));
    EXPECT_EQ(1, objSim.Number("end-records"));
    EXPECT_EQ(ChunkSizes(stCase.u32Size), objSim.Value("chunk-sizes"));
    const std::string strSent = Padded(stSpec.strImage);
    EXPECT_EQ(strSent, ReadFileBytes(objRun.m_strOutFile)) << "received image differs";
    char acSum[16];
    snprintf(acSum, sizeof(acSum), "0x%08x", ByteSum(strSent));
    EXPECT_EQ(acSum, objSim.Value("end-checksum"));
    EXPECT_EQ(0, objSim.ExitCode());

    // The tool's side: texts, success record, exit.
    const std::string strPathLine = std::string("file path: ") + stCase.pszImageName + " " +
                                    std::to_string(stCase.u32Selector) + "\nupdate ready\n";
    EXPECT_NE(std::string::npos, strOut.find(strPathLine));
    EXPECT_NE(std::string::npos, strOut.find("update success\n"));
    EXPECT_EQ(std::string::npos, strOut.find("failed"));
    std::string strRecord;
    ASSERT_TRUE(objRun.m_objTool.ReadSuccessLog(&strRecord));
    std::string strExpectedRecord(4, '\0');
    if (stCase.pszSeed != nullptr && strlen(stCase.pszSeed) > 4) {
        strExpectedRecord += std::string(stCase.pszSeed).substr(4);
    }
    EXPECT_EQ(strExpectedRecord, strRecord);
    EXPECT_EQ(0, objRun.m_objTool.ExitCode());
    // main polls its run flag once a second.
    EXPECT_GE(objRun.m_s32ExitAfterSuccessMs, 0);
    EXPECT_LE(objRun.m_s32ExitAfterSuccessMs, 1500);

    // One progress mark per command taken at the first try: the start, each
    // chunk and the end record, each delivered once to the microcontroller.
    const long s32Commands = objSim.Number("start-commands") + objSim.Number("chunks-total") +
                             objSim.Number("end-records");
    EXPECT_EQ(std::string(static_cast<size_t>(s32Commands), '.'), strErr);
}

const SizeCase s_astSizes[] = {
    {"Empty", 0, 2, "ir_4000.bin", 4, nullptr},
    {"TwoChunks", 128, 2, "ir_4000.bin", 4, nullptr},
    {"PaddedTail", 130, 2, "ir_4000.bin", 8, nullptr},
    {"FiveByteTail", 133, 2, "ir_4000.bin", 4, nullptr},
    {"OtherSelector", 130, 7, "ir_A000.bin", 4, nullptr},
    {"SelectorZeroLongReady", 133, 0, "ir_A000.bin", 16, "0123456789"},
    {"FortyKilobytes", 40000, 2, "ir_4000.bin", 4, "0123456789"},
};

INSTANTIATE_TEST_SUITE_P(E2e, UpdateSizes, ::testing::ValuesIn(s_astSizes),
                         [](const ::testing::TestParamInfo<SizeCase> &stInfo) {
                             return std::string(stInfo.param.pszName);
                         });

} // namespace
