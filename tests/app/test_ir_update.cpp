// The update sequence driven command by command, the binding's queue operation replaced by a
// recorder; the success record. (Failure reports and the give-up: e2e_cases.)
#include <unistd.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ir_update.h"
#include "protocol/command_interface.h"
#include "test_support.h"

namespace {

using Sent = std::vector<std::pair<uint16_t, std::string>>; // command code, payload
Sent g_vecSent;

std::string Image(size_t u32Size, int s32Seed = 0) {
    std::string strImage;
    for (size_t i = 0; i < u32Size; ++i) {
        strImage += static_cast<char>(i * 7 + 0xC3 + s32Seed); // bytes of every value
    }
    return strImage;
}
// The 0x605 payload: the byte sum of what was sent, 0x0000, 0x0001, little-endian.
std::string EndRecord(const std::string &strSent) {
    const uint32_t u32Sum = std::accumulate(strSent.begin(), strSent.end(), 0u,
                                            [](uint32_t u32, char c) { return u32 + uint8_t(c); });
    return std::string{
        char(u32Sum), char(u32Sum >> 8), char(u32Sum >> 16), char(u32Sum >> 24), 0, 0, 1, 0};
}
// Hands the sequence one command as the engine does (up to 4 bytes in the data field).
void Deliver(uint16_t u16Cmd, std::vector<uint8_t> vecPayload = {}) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(vecPayload.size());
    stRec.payload = vecPayload.size() > 4 ? vecPayload.data() : nullptr;
    if (!vecPayload.empty()) { // an empty vector's data() may be null, which memcpy never takes
        memcpy(stRec.data, vecPayload.data(), std::min<size_t>(vecPayload.size(), 4));
    }
    APP_Comm_Recv_IR_Update(&stRec);
}
// The ready command, then requests until the end record: what was sent meanwhile.
Sent Transfer(const std::vector<uint8_t> &vecReady) {
    Deliver(IR_CMD_UPDATE_READY, vecReady);
    while (g_vecSent.size() < 1000 &&
           (g_vecSent.empty() || g_vecSent.back().first != IR_CMD_UPDATE_END)) {
        Deliver(IR_CMD_UPDATE_NEXT);
    }
    return std::exchange(g_vecSent, {});
}

class UpdateSequence : public ::testing::Test {
protected:
    // A fresh update object and working folder; the queue keeps each command
    // and, as the real one would, takes over a long payload's buffer.
    void SetUp() override {
        m_pobjDir = std::make_unique<TempDir>();
        ASSERT_EQ(0, chdir(m_pobjDir->Path().c_str()));
        Cmdfun.CommandProtocolSendCmdAdd = [](int, _CmdProtocolParam *pstRec, int) {
            const char *pc = reinterpret_cast<const char *>(CmdParamPayload(pstRec));
            g_vecSent.emplace_back(static_cast<uint16_t>(pstRec->cmd),
                                   std::string(pc, pstRec->len));
            if (pstRec->len > CMD_FRAME_SHORT_MAX) {
                free(pstRec->payload);
            }
            return 1;
        };
        CmdinitFlag = 1;
        g_pszSuccessRecordPath = "success.log";
        g_cUpdateFilePath = nullptr;
        g_bIRRunFlag = true;
        SerialPortSettings stSettings{};
        delete g_objIRUpdate;
        g_objIRUpdate = new CIRUpdate(&stSettings);
        g_vecSent.clear();
    }
    void TearDown() override { ASSERT_EQ(0, chdir("/")); } // out of the folder that goes
    std::unique_ptr<TempDir> m_pobjDir;
};

// 64-byte chunks in file order; a remainder of 1 to 4 bytes padded with 0xFF
// to 8, one of 5 to 63 sent as it is; the checksum counts the padding. The
// ready command's selector (in its data field or a buffer of its own) names
// ir_4000.bin when it is 2, ir_A000.bin otherwise.
TEST_F(UpdateSequence, ChunksPaddingChecksumAndTheImageTheSelectorNames) {
    struct Case {
        size_t u32Size;
        std::vector<uint8_t> vecReady;
        std::vector<size_t> vecChunks;
        size_t u32Padding;
    };
    for (const Case &stCase : {Case{0, {2}, {}, 0}, Case{4, {2, 0, 0, 0}, {8}, 4},
                               Case{64, {2, 0, 0, 0, 7}, {64}, 0}, Case{130, {0}, {64, 64, 8}, 6},
                               Case{133, {3}, {64, 64, 5}, 0}, Case{67, {1}, {64, 8}, 5}}) {
        SCOPED_TRACE("image of " + std::to_string(stCase.u32Size) + " bytes");
        SetUp();
        const bool b4000 = stCase.vecReady[0] == 2;
        ASSERT_TRUE(WriteFileBytes(b4000 ? "ir_4000.bin" : "ir_A000.bin", Image(stCase.u32Size)));
        ASSERT_TRUE(WriteFileBytes(b4000 ? "ir_A000.bin" : "ir_4000.bin", Image(9, 1)));
        CapturedStream objOut(1);
        const Sent vecSent = Transfer(stCase.vecReady);
        EXPECT_EQ(std::string("file path: ir_") + (b4000 ? "4000" : "A000") + ".bin " +
                      std::to_string(stCase.vecReady[0]) + "\nupdate ready\n",
                  objOut.Take());
        std::string strStream;
        std::vector<size_t> vecChunks;
        for (size_t i = 0; i + 1 < vecSent.size(); ++i) {
            EXPECT_EQ(IR_CMD_UPDATE_DATA, vecSent[i].first);
            strStream += vecSent[i].second;
            vecChunks.push_back(vecSent[i].second.size());
        }
        EXPECT_EQ(stCase.vecChunks, vecChunks);
        EXPECT_EQ(Image(stCase.u32Size) + std::string(stCase.u32Padding, '\xFF'), strStream);
        EXPECT_EQ(Sent::value_type(IR_CMD_UPDATE_END, EndRecord(strStream)), vecSent.back());
    }
}

// Success: four zero bytes at the start of the record (a longer one keeps its
// tail) and the end of the run; -1 when the record's folder is missing.
TEST_F(UpdateSequence, SuccessWritesTheRecordAndEndsTheRun) {
    ASSERT_TRUE(WriteFileBytes("success.log", "ABCDEFGHIJ"));
    CapturedStream objOut(1);
    Deliver(IR_CMD_UPDATE_OK);
    EXPECT_EQ("update success\n", objOut.Take());
    EXPECT_EQ(std::string(4, '\0') + "EFGHIJ", ReadFileBytes("success.log"));
    EXPECT_FALSE(g_bIRRunFlag.load());
    g_pszSuccessRecordPath = "no-such-dir/success.log";
    EXPECT_EQ(-1, WriteUpdateSuccess());
}

} // namespace
