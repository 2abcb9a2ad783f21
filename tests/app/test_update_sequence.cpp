// The update sequence driven command by command, with the binding's queue
// operation replaced by a recorder: what goes out for each command from the
// microcontroller, chunking and padding, the end record's checksum, restarts,
// the failure limit, the success record and a concurrent first step.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ir_update.h"
#include "protocol/command_interface.h"
#include "test_support.h"

namespace {

struct SentCmd {
    uint16_t u16Cmd;
    std::string strData;
};

std::mutex g_objSentMutex;
std::vector<SentCmd> g_vecSent;

// Stands in for the queue: keeps a copy of every command, takes over (and
// releases) a long frame's buffer as the real queue would.
int RecordSendCmdAdd(int, _CmdProtocolParam *pstRec, int) {
    const uint8_t *pu8Data = CmdParamPayload(pstRec);
    SentCmd stCmd{pstRec->cmd, std::string(reinterpret_cast<const char *>(pu8Data), pstRec->len)};
    if (pstRec->len > CMD_FRAME_SHORT_MAX) {
        free(pstRec->payload);
        pstRec->payload = nullptr;
    }
    std::lock_guard<std::mutex> objLock(g_objSentMutex);
    g_vecSent.push_back(stCmd);
    return 1;
}

std::vector<SentCmd> TakeSent() {
    std::lock_guard<std::mutex> objLock(g_objSentMutex);
    std::vector<SentCmd> vecOut;
    vecOut.swap(g_vecSent);
    return vecOut;
}

std::string Image(size_t u32Size, uint32_t u32Seed) {
    std::string strImage(u32Size, '\0');
    for (size_t i = 0; i < u32Size; ++i) {
        u32Seed = u32Seed * 1103515245u + 12345u;
        strImage[i] = static_cast<char>(u32Seed >> 16);
    }
    return strImage;
}

uint32_t ByteSum(const std::string &strBytes) {
    uint32_t u32Sum = 0;
    for (unsigned char c : strBytes) {
        u32Sum += c;
    }
    return u32Sum;
}

std::string EndRecord(uint32_t u32Sum) {
    const char acEnd[8] = {static_cast<char>(u32Sum),
                           static_cast<char>(u32Sum >> 8),
                           static_cast<char>(u32Sum >> 16),
                           static_cast<char>(u32Sum >> 24),
                           0,
                           0,
                           1,
                           0};
    return std::string(acEnd, sizeof(acEnd));
}

/// A received command record: short (data field) or long (own buffer).
struct Frame {
    _CmdProtocolParam stRec{};
    std::vector<uint8_t> vecPayload;

    Frame(uint16_t u16Cmd, const std::vector<uint8_t> &vecBytes) : vecPayload(vecBytes) {
        stRec.sync1 = CMD_FRAME_SYNC1;
        stRec.sync2 = CMD_FRAME_SYNC2;
        stRec.cmd = u16Cmd;
        stRec.len = static_cast<uint16_t>(vecBytes.size());
        if (vecBytes.size() > static_cast<size_t>(CMD_FRAME_SHORT_MAX)) {
            stRec.payload = vecPayload.data();
        } else if (!vecBytes.empty()) {
            memcpy(stRec.data, vecBytes.data(), vecBytes.size());
        }
    }
};

void Deliver(uint16_t u16Cmd, const std::vector<uint8_t> &vecBytes = {}) {
    Frame objFrame(u16Cmd, vecBytes);
    APP_Comm_Recv_IR_Update(&objFrame.stRec);
}

void DeliverReady(uint32_t u32Selector) {
    Deliver(IR_CMD_UPDATE_READY,
            {static_cast<uint8_t>(u32Selector), static_cast<uint8_t>(u32Selector >> 8),
             static_cast<uint8_t>(u32Selector >> 16), static_cast<uint8_t>(u32Selector >> 24)});
}

class UpdateSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(m_acOldCwd, sizeof(m_acOldCwd)), nullptr);
        ASSERT_EQ(chdir(m_objDir.Path().c_str()), 0);
        m_stSavedFun = Cmdfun;
        Cmdfun.CommandProtocolSendCmdAdd = RecordSendCmdAdd;
        Cmdfun.CommandProtocolGetSendBufNum = [](int) { return 0; };
        m_s32SavedFd = Cmdfd.load();
        Cmdfd = 0;
        CmdinitFlag = 1;
        m_strRecord = m_objDir.File("success.log");
        m_pszSavedRecordPath = g_pszSuccessRecordPath;
        g_pszSuccessRecordPath = m_strRecord.c_str();
        g_cUpdateFilePath = nullptr;
        g_bIRRunFlag = true;
        SerialPortSettings stSettings{};
        m_pobjUpdate = new CIRUpdate(&stSettings);
        g_objIRUpdate = m_pobjUpdate;
        TakeSent();
    }

    void TearDown() override {
        g_objIRUpdate = nullptr;
        delete m_pobjUpdate;
        g_pszSuccessRecordPath = m_pszSavedRecordPath;
        Cmdfun = m_stSavedFun;
        Cmdfd = m_s32SavedFd;
        g_bIRRunFlag = true;
        ASSERT_EQ(chdir(m_acOldCwd), 0);
    }

    /// Runs the first step (start command) and answers with a ready command,
    /// then asks for chunks until the end record goes out. Returns every
    /// command sent from the first chunk on.
    std::vector<SentCmd> Transfer(uint32_t u32Selector) {
        DeliverReady(u32Selector);
        std::vector<SentCmd> vecAll = TakeSent();
        for (int i = 0; i < 100000 && (vecAll.empty() || vecAll.back().u16Cmd != IR_CMD_UPDATE_END);
             ++i) {
            Deliver(IR_CMD_UPDATE_NEXT);
            std::vector<SentCmd> vecStep = TakeSent();
            vecAll.insert(vecAll.end(), vecStep.begin(), vecStep.end());
        }
        return vecAll;
    }

    TempDir m_objDir;
    std::string m_strRecord;
    CIRUpdate *m_pobjUpdate = nullptr;

private:
    char m_acOldCwd[PATH_MAX];
    CmdProtocolFun m_stSavedFun{};
    int m_s32SavedFd = -1;
    const char *m_pszSavedRecordPath = nullptr;
};

TEST_F(UpdateSequenceTest, FirstStepSendsStartCommand) {
    m_pobjUpdate->UpdateStatusHandle();
    std::vector<SentCmd> vecSent = TakeSent();
    ASSERT_EQ(vecSent.size(), 1u);
    EXPECT_EQ(vecSent[0].u16Cmd, IR_CMD_UPDATE_START);
    EXPECT_EQ(vecSent[0].strData, std::string(2, '\0'));
    EXPECT_EQ(g_eIRUpdateStatus.load(), IR_UPDATE_WAIT);
}

// Chunking: 64-byte chunks in file order; a remainder of 1..4 bytes padded
// with 0xFF to 8, one of 5..63 sent as it is; the end record sums every byte
// sent, padding included.
TEST_F(UpdateSequenceTest, ChunksPaddingAndChecksum) {
    struct Case {
        size_t u32Size;
        std::vector<uint32_t> vecChunks;
    };
    const Case astCases[] = {
        {0, {}},
        {1, {8}},
        {4, {8}},
        {5, {5}},
        {63, {63}},
        {64, {64}},
        {65, {64, 8}},
        {128, {64, 64}},
        {130, {64, 64, 8}},
        {132, {64, 64, 8}},
        {133, {64, 64, 5}},
        {1000, {}},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE("image of " + std::to_string(stCase.u32Size) + " bytes");
        TearDown();
        SetUp();
        const std::string strImage = Image(stCase.u32Size, static_cast<uint32_t>(stCase.u32Size));
        ASSERT_TRUE(WriteFileBytes(m_objDir.File("ir_4000.bin"), strImage));

        std::vector<SentCmd> vecSent = Transfer(2);
        ASSERT_FALSE(vecSent.empty());
        std::string strStream;
        std::vector<uint32_t> vecSizes;
        for (size_t i = 0; i + 1 < vecSent.size(); ++i) {
            ASSERT_EQ(vecSent[i].u16Cmd, IR_CMD_UPDATE_DATA);
            strStream += vecSent[i].strData;
            vecSizes.push_back(static_cast<uint32_t>(vecSent[i].strData.size()));
        }
        std::string strExpected = strImage;
        size_t u32Rest = strImage.size() % 64;
        if (u32Rest >= 1 && u32Rest <= 4) {
            strExpected.append(8 - u32Rest, '\xFF');
        }
        EXPECT_EQ(strStream, strExpected);
        if (!stCase.vecChunks.empty() || stCase.u32Size == 0) {
            EXPECT_EQ(vecSizes, stCase.vecChunks);
        }
        ASSERT_EQ(vecSent.back().u16Cmd, IR_CMD_UPDATE_END);
        EXPECT_EQ(vecSent.back().strData, EndRecord(ByteSum(strExpected)));

        // Asked again after the end: the image stays at its end.
        Deliver(IR_CMD_UPDATE_NEXT);
        std::vector<SentCmd> vecAgain = TakeSent();
        ASSERT_EQ(vecAgain.size(), 1u);
        EXPECT_EQ(vecAgain[0].u16Cmd, IR_CMD_UPDATE_END);
        EXPECT_EQ(vecAgain[0].strData, EndRecord(ByteSum(strExpected)));
    }
}

// The selector: 2 names ir_4000.bin, anything else ir_A000.bin; a payload of
// 4 bytes or fewer is read from the record's data field (bytes beyond len
// count as zero), a longer one from its buffer; a missing buffer reads as 0.
TEST_F(UpdateSequenceTest, ReadySelector) {
    struct Case {
        const char *pszName;
        uint16_t u16Len;
        std::vector<uint8_t> vecData; // data field (short) or buffer (long)
        bool bNullBuffer;
        const char *pszExpectedPath;
        const char *pszExpectedLine;
    };
    const Case astCases[] = {
        {"len 4, 2", 4, {2, 0, 0, 0}, false, "ir_4000.bin", "file path: ir_4000.bin 2\n"},
        {"len 4, 3", 4, {3, 0, 0, 0}, false, "ir_A000.bin", "file path: ir_A000.bin 3\n"},
        {"len 4, 0", 4, {0, 0, 0, 0}, false, "ir_A000.bin", "file path: ir_A000.bin 0\n"},
        {"len 4, 2+256", 4, {2, 1, 0, 0}, false, "ir_A000.bin", "file path: ir_A000.bin 258\n"},
        {"len 1, 2", 1, {2, 9, 9, 9}, false, "ir_4000.bin", "file path: ir_4000.bin 2\n"},
        {"len 0", 0, {2, 0, 0, 0}, false, "ir_A000.bin", "file path: ir_A000.bin 0\n"},
        {"len 8, 2",
         8,
         {2, 0, 0, 0, 7, 7, 7, 7},
         false,
         "ir_4000.bin",
         "file path: ir_4000.bin 2\n"},
        {"len 8, 1",
         8,
         {1, 0, 0, 0, 2, 0, 0, 0},
         false,
         "ir_A000.bin",
         "file path: ir_A000.bin 1\n"},
        {"len 8, no buffer", 8, {}, true, "ir_A000.bin", "file path: ir_A000.bin 0\n"},
        {"len 4, -1",
         4,
         {0xFF, 0xFF, 0xFF, 0xFF},
         false,
         "ir_A000.bin",
         "file path: ir_A000.bin -1\n"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pszName);
        std::vector<uint8_t> vecBuffer = stCase.vecData;
        _CmdProtocolParam stRec{};
        stRec.sync1 = CMD_FRAME_SYNC1;
        stRec.sync2 = CMD_FRAME_SYNC2;
        stRec.cmd = IR_CMD_UPDATE_READY;
        stRec.len = stCase.u16Len;
        if (stCase.u16Len > CMD_FRAME_SHORT_MAX) {
            stRec.payload = stCase.bNullBuffer ? nullptr : vecBuffer.data();
        } else {
            memcpy(stRec.data, vecBuffer.data(), 4);
        }
        CapturedStream objOut(1);
        APP_Comm_Recv_IR_Update(&stRec);
        std::string strOut = objOut.Take();
        ASSERT_NE(g_cUpdateFilePath, nullptr);
        EXPECT_STREQ(g_cUpdateFilePath, stCase.pszExpectedPath);
        EXPECT_EQ(strOut.rfind(std::string(stCase.pszExpectedLine) + "update ready\n", 0), 0u)
            << strOut;
        TakeSent();
    }
}

// Every failure report restarts: the start command goes out again and the
// image is read again from its first byte; the third ends the run.
TEST_F(UpdateSequenceTest, ThreeFailuresEndTheRun) {
    const std::string strImage = Image(130, 7);
    ASSERT_TRUE(WriteFileBytes(m_objDir.File("ir_A000.bin"), strImage));
    CapturedStream objOut(1);
    m_pobjUpdate->UpdateStatusHandle();
    TakeSent();
    int s32Starts = 0;
    const uint16_t au16Failures[] = {IR_CMD_UPDATE_CHECK_FAIL, IR_CMD_UPDATE_MEM_FAIL, 0x601};
    for (uint16_t u16Failure : au16Failures) {
        std::vector<SentCmd> vecSent = Transfer(5);
        EXPECT_EQ(vecSent.size(), 4u); // 64, 64, 8, end record
        Deliver(u16Failure);
        for (const SentCmd &stCmd : TakeSent()) {
            s32Starts += stCmd.u16Cmd == IR_CMD_UPDATE_START ? 1 : 0;
        }
    }
    std::string strOut = objOut.Take();
    EXPECT_EQ(s32Starts, 3); // plus the first one: four in all
    EXPECT_NE(strOut.find("update CHECK failed \n"), std::string::npos);
    EXPECT_NE(strOut.find("update MEM failed \n"), std::string::npos);
    EXPECT_NE(strOut.find("error cmd\n"), std::string::npos);
    EXPECT_NE(strOut.find("update time is over 3,update failed\n"), std::string::npos);
    EXPECT_EQ(strOut.find("update success"), std::string::npos);
    EXPECT_FALSE(g_bIRRunFlag.load());
    EXPECT_EQ(access(m_strRecord.c_str(), F_OK), -1);
}

// Our own codes coming back, and 0x601, are unexpected: each is a failure.
TEST_F(UpdateSequenceTest, UnexpectedCodesAreFailures) {
    const uint16_t au16Codes[] = {0x600, 0x601, 0x604, 0x605, 0x609, 0x100};
    for (uint16_t u16Code : au16Codes) {
        SCOPED_TRACE(u16Code);
        TearDown();
        SetUp();
        CapturedStream objOut(1);
        Deliver(u16Code);
        EXPECT_EQ(objOut.Take(), "error cmd\n");
        std::vector<SentCmd> vecSent = TakeSent();
        ASSERT_EQ(vecSent.size(), 1u);
        EXPECT_EQ(vecSent[0].u16Cmd, IR_CMD_UPDATE_START);
        EXPECT_TRUE(g_bIRRunFlag.load());
    }
}

// After a failure the image restarts at its first byte, and the new end
// record carries the checksum of the new attempt alone.
TEST_F(UpdateSequenceTest, RestartChecksumCoversOneAttempt) {
    const std::string strImage = Image(300, 11);
    ASSERT_TRUE(WriteFileBytes(m_objDir.File("ir_4000.bin"), strImage));
    DeliverReady(2);
    Deliver(IR_CMD_UPDATE_NEXT); // two chunks out, then the peer gives up
    Deliver(IR_CMD_UPDATE_MEM_FAIL);
    TakeSent();

    std::vector<SentCmd> vecSent = Transfer(2);
    std::string strStream;
    for (size_t i = 0; i + 1 < vecSent.size(); ++i) {
        strStream += vecSent[i].strData;
    }
    EXPECT_EQ(strStream, strImage);
    EXPECT_EQ(vecSent.back().strData, EndRecord(ByteSum(strImage)));
}

// A next command before any ready command, a missing image and a read-only
// image: "open file failed" and the end record in place of a chunk.
TEST_F(UpdateSequenceTest, ImageThatCannotBeOpened) {
    struct Case {
        const char *pszName;
        bool bReady;
        bool bCreate;
        mode_t u32Mode;
    };
    const Case astCases[] = {
        {"no name yet", false, false, 0},
        {"missing", true, false, 0},
        {"read-only", true, true, 0444},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pszName);
        TearDown();
        SetUp();
        if (stCase.bCreate) {
            ASSERT_TRUE(WriteFileBytes(m_objDir.File("ir_4000.bin"), Image(10, 1)));
            ASSERT_EQ(chmod(m_objDir.File("ir_4000.bin").c_str(), stCase.u32Mode), 0);
            int fd = open(m_objDir.File("ir_4000.bin").c_str(), O_RDWR);
            if (fd >= 0) {
                close(fd);
                continue; // privileged: the mode does not keep us out
            }
        }
        CapturedStream objOut(1);
        if (stCase.bReady) {
            DeliverReady(2);
        } else {
            Deliver(IR_CMD_UPDATE_NEXT);
        }
        std::string strOut = objOut.Take();
        EXPECT_NE(strOut.find("open file failed\n"), std::string::npos) << strOut;
        std::vector<SentCmd> vecSent = TakeSent();
        ASSERT_EQ(vecSent.size(), 1u);
        EXPECT_EQ(vecSent[0].u16Cmd, IR_CMD_UPDATE_END);
        EXPECT_EQ(vecSent[0].strData, EndRecord(0));
    }
}

// A read error on the open image (not its end): "read file failed", the
// image is closed and the end record goes out; the next request opens it
// again. A procfs file without a read operation gives such an error.
TEST_F(UpdateSequenceTest, ReadFailureSendsEndRecord) {
    const char *pszUnreadable = "/proc/self/clear_refs";
    int fd = open(pszUnreadable, O_RDWR);
    if (fd < 0) {
        GTEST_SKIP() << "no file that opens read-write but cannot be read";
    }
    close(fd);
    ASSERT_EQ(symlink(pszUnreadable, m_objDir.File("ir_4000.bin").c_str()), 0);
    CapturedStream objOut(1);
    DeliverReady(2);
    Deliver(IR_CMD_UPDATE_NEXT);
    std::string strOut = objOut.Take();
    std::vector<SentCmd> vecSent = TakeSent();
    ASSERT_EQ(vecSent.size(), 2u);
    for (const SentCmd &stCmd : vecSent) {
        EXPECT_EQ(stCmd.u16Cmd, IR_CMD_UPDATE_END);
        EXPECT_EQ(stCmd.strData, EndRecord(0));
    }
    EXPECT_EQ(strOut,
              "file path: ir_4000.bin 2\nupdate ready\nread file failed\nread file failed\n");
}

TEST_F(UpdateSequenceTest, SuccessWritesRecordAndEndsRun) {
    ASSERT_TRUE(WriteFileBytes(m_strRecord, "ABCDEFGHIJ"));
    CapturedStream objOut(1);
    Deliver(IR_CMD_UPDATE_OK);
    EXPECT_EQ(objOut.Take(), "update success\n");
    EXPECT_EQ(ReadFileBytes(m_strRecord), std::string(4, '\0') + "EFGHIJ");
    EXPECT_FALSE(g_bIRRunFlag.load());
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(UpdateSequenceTest, SuccessRecord) {
    // Created when missing: exactly four zero bytes.
    EXPECT_EQ(WriteUpdateSuccess(), 4);
    EXPECT_EQ(ReadFileBytes(m_strRecord), std::string(4, '\0'));
    // A longer record keeps its length and its tail.
    ASSERT_TRUE(WriteFileBytes(m_strRecord, "\x01\x02\x03\x04\x05\x06"));
    EXPECT_EQ(WriteUpdateSuccess(), 4);
    EXPECT_EQ(ReadFileBytes(m_strRecord), std::string(4, '\0') + "\x05\x06");
    // A missing folder: -1, nothing created.
    const std::string strMissing = m_objDir.File("no-such-dir/success.log");
    g_pszSuccessRecordPath = strMissing.c_str();
    EXPECT_EQ(WriteUpdateSuccess(), -1);
    EXPECT_EQ(access(strMissing.c_str(), F_OK), -1);
}

// A success whose record cannot be written still ends the run as a success.
TEST_F(UpdateSequenceTest, SuccessWithoutRecordFolder) {
    const std::string strMissing = m_objDir.File("no-such-dir/success.log");
    g_pszSuccessRecordPath = strMissing.c_str();
    CapturedStream objOut(1);
    Deliver(IR_CMD_UPDATE_OK);
    EXPECT_EQ(objOut.Take(), "update success\n");
    EXPECT_FALSE(g_bIRRunFlag.load());
}

// The first step on the update thread and commands delivered on an engine
// thread at the same moment: the sequence takes them one at a time, so the
// image still goes out whole and in order.
TEST_F(UpdateSequenceTest, FirstStepBesideDeliveries) {
    const std::string strImage = Image(64 * 40, 3);
    ASSERT_TRUE(WriteFileBytes(m_objDir.File("ir_4000.bin"), strImage));
    DeliverReady(2);
    g_eIRUpdateStatus = IR_UPDATE_SEND_DATA;
    std::thread objEngine([] {
        for (int i = 0; i < 60; ++i) {
            Deliver(IR_CMD_UPDATE_NEXT);
        }
    });
    for (int i = 0; i < 60; ++i) {
        g_eIRUpdateStatus = IR_UPDATE_SEND_DATA;
        m_pobjUpdate->UpdateStatusHandle();
    }
    objEngine.join();
    std::string strStream;
    for (const SentCmd &stCmd : TakeSent()) {
        if (stCmd.u16Cmd == IR_CMD_UPDATE_DATA) {
            strStream += stCmd.strData;
        }
    }
    EXPECT_EQ(strStream, strImage);
}

} // namespace
