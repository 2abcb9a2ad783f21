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
    const char *pszChunkSizes; // as irsim sums them up: size x count
    std::vector<std::string> vecSimArgs;
    const char *pszSeed = ""; // earlier content of the success record
    bool bVarTmpfs = true;
};

class UpdateSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(UpdateSizes, ImageArrivesWholeAndRunEndsInSuccess) {
    E2E_REQUIRE_SANDBOX();
    const SizeCase &stCase = GetParam();
    UpdateRun objRun;
    objRun.m_strImageName = stCase.pszImageName;
    objRun.m_strImage = MakeImage(stCase.u32Size, static_cast<uint32_t>(stCase.u32Size) + 1);
    objRun.m_vecSimArgs = {"--selector", std::to_string(stCase.u32Selector)};
    objRun.m_vecSimArgs.insert(objRun.m_vecSimArgs.end(), stCase.vecSimArgs.begin(),
                               stCase.vecSimArgs.end());
    objRun.m_strSuccessLogSeed = stCase.pszSeed;
    objRun.m_bVarTmpfs = stCase.bVarTmpfs;
    ASSERT_NO_FATAL_FAILURE(objRun.Run());
    // A longer earlier record keeps its length: only its first four bytes become zero.
    std::string strRecord = stCase.pszSeed;
    strRecord.replace(0, std::min<size_t>(4, strRecord.size()), 4, '\0');
    objRun.ExpectSuccess(stCase.bVarTmpfs ? strRecord : "");

    SCOPED_TRACE(objRun.Trace());
    EXPECT_EQ(1, objRun.Number("start-commands"));
    EXPECT_EQ(1, objRun.Number("end-records"));
    EXPECT_EQ(stCase.pszChunkSizes, objRun.Value("chunk-sizes"));
    EXPECT_NE(std::string::npos, objRun.m_objTool.Stdout().find(
                                     std::string("file path: ") + stCase.pszImageName + " " +
                                     std::to_string(stCase.u32Selector) + "\nupdate ready\n"));
    // main polls its run flag once a second.
    EXPECT_LE(
        std::chrono::duration_cast<std::chrono::milliseconds>(objRun.m_tToolEnd - objRun.m_tVerdict)
            .count(),
        1500);
    // One progress mark per command taken at the first try: the start, each
    // chunk and the end record, each delivered once to the microcontroller.
    EXPECT_EQ(std::string(static_cast<size_t>(objRun.Number("chunks-total") + 2), '.'),
              objRun.m_objTool.Stderr());
}

// --ready-len: 4 bytes travel in the command's data field, more in a buffer
// of their own, and the selector must be read from either.
const SizeCase s_astSizes[] = {
    {"Empty", 0, 2, "ir_4000.bin", "-", {}},
    {"TwoChunks", 128, 2, "ir_4000.bin", "64x2", {}},
    {"PaddedTail", 130, 2, "ir_4000.bin", "64x2 8x1", {"--ready-len", "8"}},
    {"FiveByteTail", 133, 2, "ir_4000.bin", "64x2 5x1", {}},
    {"OtherSelector", 130, 7, "ir_A000.bin", "64x2 8x1", {}},
    {"SelectorZeroLongReady",
     133,
     0,
     "ir_A000.bin",
     "64x2 5x1",
     {"--ready-len", "16"},
     "0123456789"},
    {"FortyKilobytes", 40000, 2, "ir_4000.bin", "64x625", {}, "0123456789"},
    // As on the board: 115200 bit/s, 10 bits a byte, both ways.
    {"PacedLine", 1000, 2, "ir_4000.bin", "64x15 40x1", {"--baud", "115200"}},
    // The record cannot be written, and the run is a success all the same.
    {"NoRecordFolder", 128, 2, "ir_4000.bin", "64x2", {}, "", false},
};

INSTANTIATE_TEST_SUITE_P(E2e, UpdateSizes, ::testing::ValuesIn(s_astSizes),
                         [](const ::testing::TestParamInfo<SizeCase> &stInfo) {
                             return std::string(stInfo.param.pszName);
                         });

} // namespace
