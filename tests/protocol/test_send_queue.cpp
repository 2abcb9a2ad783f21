// The send queue: numbering, back-dating and transmit order, splitting of long
// messages, the transmit thresholds and the 5000 ms hold, acknowledgements,
// heartbeats and link supervision, the reset, the deferred-command store and
// the queue queries.
//
// Time is driven through the clock seam. Steps that need no handle run on a
// record built by CommandProtocolInstanceInit (no engine thread); operations
// that take a handle run on one instance opened for this program whose engine
// loop is stopped right away, so the test thread is the only one working it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag.h"
#include "protocol_internal.h"
#include "runtime/mutex.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Fakes: the clock and the link

std::atomic<uint32_t> g_u32Now{0};
uint32_t FakeClock() {
    return g_u32Now.load();
}

std::mutex g_objWireMutex;
std::vector<Bytes> g_vecWrites; // one entry per Write call

int RecordWrite(const uint8_t *pu8Buf, int s32Len) {
    std::lock_guard<std::mutex> objLock(g_objWireMutex);
    g_vecWrites.emplace_back(pu8Buf, pu8Buf + s32Len);
    return s32Len;
}
void IgnoreFrame(_CmdProtocolParam *) {}

std::vector<Bytes> TakeWrites() {
    std::lock_guard<std::mutex> objLock(g_objWireMutex);
    std::vector<Bytes> vecOut;
    vecOut.swap(g_vecWrites);
    return vecOut;
}

/// Frames as written: the 17 bytes of a short frame, or a long frame's header
/// and payload joined (they are written in two calls).
std::vector<Bytes> JoinFrames(const std::vector<Bytes> &vecWrites) {
    std::vector<Bytes> vecFrames;
    for (size_t i = 0; i < vecWrites.size(); ++i) {
        Bytes vecFrame = vecWrites[i];
        uint16_t u16Len = static_cast<uint16_t>(vecFrame[2] | (vecFrame[3] << 8));
        if (vecFrame.size() == CMD_FRAME_HEAD_LEN && u16Len > CMD_FRAME_SHORT_MAX &&
            i + 1 < vecWrites.size()) {
            vecFrame.insert(vecFrame.end(), vecWrites[i + 1].begin(), vecWrites[i + 1].end());
            ++i;
        }
        vecFrames.push_back(vecFrame);
    }
    return vecFrames;
}

uint16_t FrameCmd(const Bytes &vecFrame) {
    return static_cast<uint16_t>(vecFrame[11] | (vecFrame[12] << 8));
}

CmdProtocolFun TestFun() {
    CmdProtocolFun stFun{};
    stFun.Write = RecordWrite;
    stFun.DataProcessing = IgnoreFrame;
    return stFun;
}

/// A record holding a short command (len 0..4).
_CmdProtocolParam ShortRec(uint16_t u16Cmd, const Bytes &vecData) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(vecData.size());
    if (!vecData.empty()) {
        memcpy(stRec.data, vecData.data(), vecData.size());
    }
    return stRec;
}

/// A record with a malloc'd payload (len 5..512); the queue takes it over on success.
_CmdProtocolParam LongRec(uint16_t u16Cmd, const Bytes &vecData) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(vecData.size());
    stRec.payload = static_cast<uint8_t *>(malloc(vecData.size()));
    memcpy(stRec.payload, vecData.data(), vecData.size());
    return stRec;
}

Bytes Pattern(size_t u32Len, uint32_t u32Seed) {
    Bytes vecOut(u32Len);
    uint32_t x = u32Seed * 2654435761u + 1;
    for (uint8_t &u8 : vecOut) {
        x = x * 1103515245u + 12345u;
        u8 = static_cast<uint8_t>(x >> 16);
    }
    return vecOut;
}

/// A record built by hand as the peer would send it, as wire bytes.
Bytes PeerFrame(uint16_t u16Cmd, uint16_t u16Sn, const Bytes &vecData) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = u16Cmd;
    stRec.sn = u16Sn;
    stRec.len = static_cast<uint16_t>(vecData.size());
    Bytes vecPayload = vecData;
    if (stRec.len <= CMD_FRAME_SHORT_MAX) {
        memcpy(stRec.data, vecData.data(), vecData.size());
    } else {
        stRec.payload = vecPayload.data();
    }
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8 = CmdParamBytes(&stRec);
    if (stRec.len <= CMD_FRAME_SHORT_MAX) {
        return Bytes(pu8, pu8 + CMD_FRAME_SHORT_LEN);
    }
    Bytes vecOut(pu8, pu8 + CMD_FRAME_HEAD_LEN);
    vecOut.insert(vecOut.end(), vecPayload.begin(), vecPayload.end());
    return vecOut;
}

int UsedSendSlots(CmdProtocolInstance *pstInst) {
    return CMD_SLOT_COUNT - CommandProtocolFreeSendSlots(pstInst);
}

// ---------------------------------------------------------------------------
// The opened instance (its engine stopped at once)

int OpenedHandle() {
    static int s_s32Handle = [] {
        CommandProtocolMutexInit();
        CmdProtocolFun stFun = TestFun();
        int s32Handle = CommandProtocolOpen(&stFun, "queue", 0);
        if (s32Handle >= 0) {
            CommandProtocolStop(s32Handle);
            CommandProtocolWaitEngineEnd(s32Handle);
        }
        return s32Handle;
    }();
    return s_s32Handle;
}

class SendQueue : public ::testing::Test {
protected:
    void SetUp() override {
        g_u32Now.store(100000);
        CommandProtocolSetClock(FakeClock);
        m_s32Handle = OpenedHandle();
        ASSERT_GE(m_s32Handle, 0);
        m_pstOpened = CommandProtocolLookup(m_s32Handle);
        ASSERT_NE(nullptr, m_pstOpened);
        CommandProtocolReset(m_s32Handle);
        CommandProtocolSetParam(m_s32Handle, 0, 0, 0, 0, 0);
        CommandProtocolHeartBeatStatue(m_s32Handle, 1);
        m_pstOpened->fileSendState.store(0);
        m_pstOpened->fileRecvState.store(0);

        m_pstInst = std::make_unique<CmdProtocolInstance>();
        CmdProtocolFun stFun = TestFun();
        CommandProtocolInstanceInit(m_pstInst.get(), &stFun, "unit", 0);
        TakeWrites();
    }
    void TearDown() override {
        CommandProtocolRemoveSendBuf(m_pstInst.get(), 0, 1);
        for (_CmdProtocolParam &stSlot : m_pstInst->recvSlots) {
            if (stSlot.sync1 == CMD_FRAME_SYNC1) {
                CommandProtocolFrameClear(&stSlot);
            }
        }
        _CmdProtocolParam stTaken{};
        while (CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stTaken) == 0) {
            if (stTaken.len > CMD_FRAME_SHORT_MAX) {
                free(stTaken.payload);
            }
        }
        CommandProtocolReset(m_s32Handle);
        CommandProtocolSetClock(nullptr);
    }

    int m_s32Handle = -1;
    CmdProtocolInstance *m_pstOpened = nullptr;
    std::unique_ptr<CmdProtocolInstance> m_pstInst;
};

// ---------------------------------------------------------------------------
// Numbering and stamping

TEST_F(SendQueue, SequenceNumbersCountFromOneAndWrapAfter65535) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    for (int i = 1; i <= 3; ++i) {
        _CmdProtocolParam stRec = ShortRec(0x600, {1});
        EXPECT_EQ(i, CommandProtocolSendCmdAddsub(pstInst, &stRec, 1));
    }
    CommandProtocolRemoveSendBuf(pstInst, 0, 1);
    pstInst->sendSn = 65535;
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    EXPECT_EQ(65535, CommandProtocolSendCmdAddsub(pstInst, &stRec, 1));
    EXPECT_EQ(0, CommandProtocolSendCmdAddsub(pstInst, &stRec, 1));
    EXPECT_EQ(1, CommandProtocolSendCmdAddsub(pstInst, &stRec, 1));
}

TEST_F(SendQueue, QueuedFrameCarriesInstanceParametersAndItsOwnCrc) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    pstInst->cipherParam = 0x01; // key index 1, not enciphered
    pstInst->sendByte9 = 0x20;
    pstInst->sendByte10 = 0x50;
    _CmdProtocolParam stRec = ShortRec(0x0603, {9, 8, 7});
    stRec.sn = 0x7777;   // overwritten
    stRec.param1 = 0xEE; // overwritten
    int s32Sn = CommandProtocolSendCmdAddsub(pstInst, &stRec, 1);
    ASSERT_EQ(1, s32Sn);
    const _CmdProtocolParam &stSlot = pstInst->sendSlots[0];
    EXPECT_EQ(CMD_FRAME_SYNC1, stSlot.sync1);
    EXPECT_EQ(CMD_FRAME_SYNC2, stSlot.sync2);
    EXPECT_EQ(0x01, stSlot.flags);
    EXPECT_EQ(1, stSlot.sn);
    EXPECT_EQ(0x20, stSlot.param1);
    EXPECT_EQ(0x50, stSlot.param2);
    EXPECT_EQ(0x0603, stSlot.cmd);
    EXPECT_EQ(3, stSlot.len);
    EXPECT_EQ(0, memcmp(stSlot.data, "\x09\x08\x07\x00", 4));
    EXPECT_EQ(CommandProtocolFrameCrc(&stSlot), stSlot.crc);
}

TEST_F(SendQueue, EncipheredFramesHideCmdAndDataButKeepTheHeaderClear) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    pstInst->cipherParam = CMD_FLAG_ENCRYPT | 0; // key 0
    pstInst->sendByte9 = 0x20;
    pstInst->sendByte10 = 0x50;
    _CmdProtocolParam stShort = ShortRec(0x0600, {0, 0});
    ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stShort, 1), 0);
    const Bytes vecLongData = Pattern(64, 1);
    _CmdProtocolParam stLong = LongRec(0x0604, vecLongData);
    ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stLong, 1), 0);

    // Short frame: bytes 9..16 enciphered; deciphering them gives back the clear header.
    _CmdProtocolParam stCopy = pstInst->sendSlots[0];
    EXPECT_EQ(CommandProtocolFrameCrc(&stCopy), stCopy.crc) << "CRC is over the wire bytes";
    EXPECT_NE(0x0600, stCopy.cmd);
    CommandProtocolFrameCipher(&stCopy);
    EXPECT_EQ(0x20, stCopy.param1);
    EXPECT_EQ(0x50, stCopy.param2);
    EXPECT_EQ(0x0600, stCopy.cmd);

    // Long frame: the payload is enciphered, the header stays clear.
    const _CmdProtocolParam &stSlot = pstInst->sendSlots[1];
    EXPECT_EQ(0x0604, stSlot.cmd);
    EXPECT_EQ(0x20, stSlot.param1);
    EXPECT_EQ(CommandProtocolFrameCrc(&stSlot), stSlot.crc);
    Bytes vecWire(stSlot.payload, stSlot.payload + stSlot.len);
    EXPECT_NE(vecLongData, vecWire);
    Bytes vecClear(vecWire.size());
    Arc4DecryptEncrypt(vecWire.data(), vecClear.data(), static_cast<int>(vecWire.size()), 0);
    EXPECT_EQ(vecLongData, vecClear);
}

TEST_F(SendQueue, FileDataFramesCarryTheirPacketIndexOrTheEndMark) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    pstInst->sendByte9 = 0x20;
    pstInst->sendByte10 = 0x50;
    struct Case {
        uint8_t u8State;
        uint16_t u16Index;
        uint8_t u8Expect9;
        uint8_t u8Expect10;
    };
    const Case astCases[] = {
        {2, 0x1234, 0x12, 0x34}, // sending: index, high byte first
        {4, 0x0001, 0x7F, 0xFF}, // finished: end mark 0x7FFF
        {0, 0x1234, 0xAB, 0xCD}, // otherwise: the caller's bytes stand
    };
    for (const Case &stCase : astCases) {
        pstInst->fileSendState.store(stCase.u8State);
        pstInst->filePacketIndex.store(stCase.u16Index);
        _CmdProtocolParam stRec = ShortRec(CMD_UPDATE_SW_SEND_FILE, {1, 2});
        stRec.param1 = 0xAB;
        stRec.param2 = 0xCD;
        int s32Sn = CommandProtocolSendCmdAddsub(pstInst, &stRec, 1);
        ASSERT_GE(s32Sn, 0);
        EXPECT_EQ(s32Sn, stRec.sn) << "the caller learns the sn of a file frame";
        const _CmdProtocolParam &stSlot = pstInst->sendSlots[0];
        EXPECT_EQ(stCase.u8Expect9, stSlot.param1) << "state " << int(stCase.u8State);
        EXPECT_EQ(stCase.u8Expect10, stSlot.param2) << "state " << int(stCase.u8State);
        CommandProtocolRemoveSendBuf(pstInst, 0, 1);
    }
    pstInst->fileSendState.store(0);
}

TEST_F(SendQueue, QueuedFramesAreBackDatedByPriority) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    g_u32Now.store(50000);
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    ASSERT_EQ(1, CommandProtocolSendCmdAddsub(pstInst, &stRec, 0));
    ASSERT_EQ(2, CommandProtocolSendCmdAddsub(pstInst, &stRec, 1));
    EXPECT_EQ(50000u - 100u, pstInst->sendLastTime[0]);
    EXPECT_EQ(50000u - 1100u, pstInst->sendLastTime[1]);
    EXPECT_EQ(50000u, pstInst->sendAliveTime[0]);
    EXPECT_EQ(50000u, pstInst->sendAliveTime[1]);
}

TEST_F(SendQueue, APriorityFrameGoesFirstAndEqualAgesFavourTheHigherSlot) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    for (uint16_t u16Cmd : {0x701, 0x702, 0x703}) {
        _CmdProtocolParam stRec = ShortRec(u16Cmd, {1});
        ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stRec, 0), 0);
    }
    _CmdProtocolParam stPrio = ShortRec(0x7FF, {1});
    ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stPrio, 1), 0);

    const uint32_t u32T = g_u32Now.load();
    std::vector<uint16_t> vecOrder;
    for (int i = 0; i < 5; ++i) {
        CommandProtocolTransmitStep(pstInst, u32T); // normal mode: one frame per step
        for (const Bytes &vecFrame : JoinFrames(TakeWrites())) {
            vecOrder.push_back(FrameCmd(vecFrame));
        }
    }
    EXPECT_EQ((std::vector<uint16_t>{0x7FF, 0x703, 0x702, 0x701}), vecOrder);
    EXPECT_EQ(4u, pstInst->txCount);
}

TEST_F(SendQueue, FastModeSendsEveryDueFrameInOneStep) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    pstInst->status.fetch_or(CMD_STATUS_FAST_MODE);
    for (int i = 0; i < 3; ++i) {
        _CmdProtocolParam stRec = ShortRec(static_cast<uint16_t>(0x700 + i), {1});
        ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stRec, 1), 0);
    }
    CommandProtocolTransmitStep(pstInst, g_u32Now.load());
    EXPECT_EQ(3u, TakeWrites().size());
    CommandProtocolTransmitStep(pstInst, g_u32Now.load());
    EXPECT_TRUE(TakeWrites().empty()) << "each due frame goes out once per step";
}

TEST_F(SendQueue, OnlyFramesWithinFiveOfTheOldestUnacknowledgedGoOut) {
    // The peer remembers ten sequence numbers; a frame that waits for its
    // acknowledgement must not see ten newer ones recorded before its repeat.
    CmdProtocolInstance *pstInst = m_pstInst.get();
    pstInst->status.fetch_or(CMD_STATUS_FAST_MODE);
    pstInst->sendSn = 65533; // the window also holds across the wrap
    std::vector<uint16_t> vecSns;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        _CmdProtocolParam stRec = ShortRec(0x600, {1});
        vecSns.push_back(static_cast<uint16_t>(CommandProtocolSendCmdAddsub(pstInst, &stRec, 1)));
    }
    auto SentSns = [] {
        std::vector<uint16_t> vecOut;
        for (const Bytes &vecFrame : JoinFrames(TakeWrites())) {
            vecOut.push_back(static_cast<uint16_t>(vecFrame[7] | (vecFrame[8] << 8)));
        }
        std::sort(vecOut.begin(), vecOut.end());
        return vecOut;
    };
    uint32_t u32T = g_u32Now.load();
    CommandProtocolTransmitStep(pstInst, u32T);
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 65533, 65534, 65535}), SentSns());

    // Acknowledging a later frame does not move the window; the oldest does.
    CommandProtocolAckStep(pstInst, vecSns[2], u32T);
    u32T += 100;
    CommandProtocolTransmitStep(pstInst, u32T);
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 65533, 65534}), SentSns()) << "repeats only";
    CommandProtocolAckStep(pstInst, vecSns[0], u32T);
    CommandProtocolAckStep(pstInst, vecSns[1], u32T);
    u32T += 100;
    CommandProtocolTransmitStep(pstInst, u32T);
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 2, 3, 4}), SentSns()) << "oldest now 0";
}

// ---------------------------------------------------------------------------
// Repetition

TEST_F(SendQueue, RepeatsAre100msApartAnd200msDuringAFileSend) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    struct Case {
        uint8_t u8FileState;
        uint32_t u32FirstAfter; // ms after queuing
        uint32_t u32Repeat;
    };
    const Case astCases[] = {{0, 0, 100}, {2, 100, 200}, {3, 100, 200}};
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(int(stCase.u8FileState));
        pstInst->fileSendState.store(stCase.u8FileState);
        const uint32_t u32T0 = g_u32Now.load();
        _CmdProtocolParam stRec = LongRec(0x604, Pattern(64, 7));
        ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stRec, 0), 0);

        if (stCase.u32FirstAfter > 0) {
            CommandProtocolTransmitStep(pstInst, u32T0 + stCase.u32FirstAfter - 1);
            EXPECT_TRUE(TakeWrites().empty()) << "not due yet";
        }
        uint32_t u32T = u32T0 + stCase.u32FirstAfter;
        CommandProtocolTransmitStep(pstInst, u32T);
        std::vector<Bytes> vecFirst = JoinFrames(TakeWrites());
        ASSERT_EQ(1u, vecFirst.size());
        EXPECT_EQ(13u + 64u, vecFirst[0].size());

        CommandProtocolTransmitStep(pstInst, u32T + stCase.u32Repeat - 1);
        EXPECT_TRUE(TakeWrites().empty()) << "repeat too early";
        CommandProtocolTransmitStep(pstInst, u32T + stCase.u32Repeat);
        std::vector<Bytes> vecRepeat = JoinFrames(TakeWrites());
        ASSERT_EQ(1u, vecRepeat.size());
        EXPECT_EQ(vecFirst[0], vecRepeat[0]) << "a repeat is the first transmission byte for byte";
        CommandProtocolRemoveSendBuf(pstInst, 0, 1);
        g_u32Now.store(u32T + 10000);
    }
    pstInst->fileSendState.store(0);
}

TEST_F(SendQueue, RepetitionHoldsAfter5000msOfSilenceAndResumesOnAnyPeerFrame) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    const uint32_t u32T0 = g_u32Now.load();
    _CmdProtocolParam stRec = ShortRec(0x600, {0, 0});
    ASSERT_EQ(1, CommandProtocolSendCmdAddsub(pstInst, &stRec, 0));

    int s32Sent = 0;
    for (uint32_t u32T = u32T0; u32T <= u32T0 + 5000; u32T += 100) {
        CommandProtocolTransmitStep(pstInst, u32T);
        s32Sent += static_cast<int>(TakeWrites().size());
    }
    EXPECT_EQ(51, s32Sent) << "repeated every 100 ms up to 5000 ms after queuing";
    CommandProtocolTransmitStep(pstInst, u32T0 + 5100);
    CommandProtocolTransmitStep(pstInst, u32T0 + 9000);
    EXPECT_TRUE(TakeWrites().empty()) << "held: no frame from the peer for over 5000 ms";
    EXPECT_EQ(1, UsedSendSlots(pstInst)) << "a held frame stays queued";

    // One frame from the peer (here an acknowledgement of something else) restarts it.
    g_u32Now.store(u32T0 + 9000);
    for (uint8_t u8 : PeerFrame(CMD_ACK, 999, {0, 0, 0, 0})) {
        ASSERT_EQ(0, CommandProtocolRecvOneByte(pstInst, u8));
    }
    g_u32Now.store(u32T0 + 9001);
    int s32Slot = CommandProtocolPickRecvSlot(pstInst, g_u32Now.load());
    ASSERT_GE(s32Slot, 0);
    CommandProtocolFrameStep(pstInst, s32Slot, g_u32Now.load());
    CommandProtocolTransmitStep(pstInst, u32T0 + 9001);
    std::vector<Bytes> vecFrames = JoinFrames(TakeWrites());
    ASSERT_EQ(1u, vecFrames.size());
    EXPECT_EQ(0x600, FrameCmd(vecFrames[0]));
}

// ---------------------------------------------------------------------------
// Acknowledgements

TEST_F(SendQueue, AnAcknowledgementEmptiesOnlyTheFirstSlotWithItsSn) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    _CmdProtocolParam stA = LongRec(0x604, Pattern(20, 1));
    ASSERT_EQ(1, CommandProtocolSendCmdAddsub(pstInst, &stA, 1));
    pstInst->sendSn = 1; // a second frame with the same sn, as after a peer's clear
    _CmdProtocolParam stB = LongRec(0x605, Pattern(20, 2));
    ASSERT_EQ(1, CommandProtocolSendCmdAddsub(pstInst, &stB, 1));

    const uint32_t u32AckTime = g_u32Now.load() + 77;
    CommandProtocolAckStep(pstInst, 1, u32AckTime);
    EXPECT_EQ(0, pstInst->sendSlots[0].sync1) << "first slot with sn 1 emptied";
    EXPECT_EQ(0x605, pstInst->sendSlots[1].cmd) << "the later one stays";
    EXPECT_EQ(u32AckTime, pstInst->lastAckTime);
    EXPECT_EQ(1u, pstInst->ackCount);

    // No match: still counted and timed; an empty slot (sn 0) is never a match.
    CommandProtocolAckStep(pstInst, 0, u32AckTime + 1);
    CommandProtocolAckStep(pstInst, 4242, u32AckTime + 2);
    EXPECT_EQ(3u, pstInst->ackCount);
    EXPECT_EQ(u32AckTime + 2, pstInst->lastAckTime);
    EXPECT_EQ(1, UsedSendSlots(pstInst));
}

TEST_F(SendQueue, ConfirmCmdsentAndGetSendBufNumFollowTheQueue) {
    CmdProtocolInstance *pstInst = m_pstOpened;
    EXPECT_EQ(1, CommandProtocolConfirmCmdsent(m_s32Handle, 1234)) << "never used";
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    int s32Sn = CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0);
    ASSERT_GE(s32Sn, 0);
    EXPECT_EQ(0, CommandProtocolConfirmCmdsent(m_s32Handle, static_cast<uint16_t>(s32Sn)));
    EXPECT_EQ(1, CommandProtocolGetSendBufNum(m_s32Handle));

    // A queued heartbeat is not counted.
    pstInst->lastSendTime = g_u32Now.load() - 2000;
    CommandProtocolAckStep(pstInst, static_cast<uint16_t>(s32Sn), g_u32Now.load());
    CommandProtocolHeartbeatStep(pstInst, g_u32Now.load());
    EXPECT_EQ(1, UsedSendSlots(pstInst)) << "the heartbeat is queued";
    EXPECT_EQ(0, CommandProtocolGetSendBufNum(m_s32Handle));
    EXPECT_EQ(1, CommandProtocolConfirmCmdsent(m_s32Handle, static_cast<uint16_t>(s32Sn)));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(m_s32Handle, 300)) << "heartbeats do not hold";
}

TEST_F(SendQueue, WaitSendBufEmptyGivesUpAfterItsPolls) {
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    ASSERT_GE(CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0), 0);
    auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, CommandProtocolWaitSendBufEmpty(m_s32Handle, 300));
    auto u64Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - tStart)
                     .count();
    EXPECT_GE(u64Ms, 300) << "eleven polls, 30 ms apart";
}

// ---------------------------------------------------------------------------
// Refusals

TEST_F(SendQueue, TheEleventhSendFailsAtOnceAndSilently) {
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        _CmdProtocolParam stRec = ShortRec(0x600, {1});
        ASSERT_GE(CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 1), 0);
    }
    CapturedStream objOut(1);
    auto tStart = std::chrono::steady_clock::now();
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    int s32Ret = CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0);
    auto u64Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - tStart)
                     .count();
    std::string strOut = objOut.Take();
    EXPECT_EQ(-1, s32Ret);
    EXPECT_EQ("", strOut);
    EXPECT_LT(u64Ms, 1000) << "no waiting for a free slot";
    // A long record that is refused stays the caller's.
    _CmdProtocolParam stLong = LongRec(0x604, Pattern(64, 3));
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(m_s32Handle, &stLong, 0));
    free(stLong.payload);
}

TEST_F(SendQueue, EmptyMessagesAndSendsDuringAFileSendAreRefusedWithALine) {
    CapturedStream objOut(1);
    _CmdProtocolParam stEmpty = ShortRec(0x600, {});
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(m_s32Handle, &stEmpty, 0));
    m_pstOpened->fileSendState.store(2);
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
    m_pstOpened->fileSendState.store(0);
    std::string strOut = objOut.Take();
    EXPECT_TRUE(std::regex_search(
        strOut, std::regex("^\x1b\\[31m\\[transfer\\]\\[CommandProtocolSendCmdAdd,[0-9]+\\] "
                           "queue\x1b\\[0m\r\n")))
        << strOut;
    EXPECT_TRUE(std::regex_search(
        strOut, std::regex("\x1b\\[31m\\[transfer\\]\\[CommandProtocolSendCmdAdd,[0-9]+\\] "
                           "queue  2\x1b\\[0m\r\n$")))
        << strOut;
    EXPECT_EQ(0, UsedSendSlots(m_pstOpened));
}

TEST_F(SendQueue, InvalidHandlesAreRefusedWithMinusTwoAndALine) {
    for (int s32Handle : {-1, 10, 9}) {
        CapturedStream objOut(1);
        _CmdProtocolParam stRec = ShortRec(0x600, {1});
        _CmdProtocolParam stDest{};
        struct Call {
            const char *pszName;
            int s32Ret;
        };
        const Call astCalls[] = {
            {"CommandProtocolSendCmdAdd", CommandProtocolSendCmdAdd(s32Handle, &stRec, 0)},
            {"CommandProtocolGetSendBufNum", CommandProtocolGetSendBufNum(s32Handle)},
            {"CommandProtocolConfirmCmdsent", CommandProtocolConfirmCmdsent(s32Handle, 1)},
            {"CommandProtocolSetParam", CommandProtocolSetParam(s32Handle, 0, 0, 0, 0, 0)},
            {"CommandProtocolHeartBeatStatue", CommandProtocolHeartBeatStatue(s32Handle, 1)},
            {"CommandProtocolReset", CommandProtocolReset(s32Handle)},
            {"CommandProtocolBackupCMDLongerToProgress",
             CommandProtocolBackupCMDLongerToProgress(s32Handle, &stRec)},
            {"CommandProtocolGetCMDLongerToProgress",
             CommandProtocolGetCMDLongerToProgress(s32Handle, &stDest)},
        };
        std::string strOut = objOut.Take();
        for (const Call &stCall : astCalls) {
            EXPECT_EQ(-2, stCall.s32Ret) << stCall.pszName << " handle " << s32Handle;
            std::string strLine = std::string("\x1b[31m[transfer][") + stCall.pszName + ",";
            size_t u32At = strOut.find(strLine);
            ASSERT_NE(std::string::npos, u32At) << stCall.pszName;
            std::string strTail = "] invalid, " + std::to_string(s32Handle) + ".\x1b[0m\r\n";
            EXPECT_NE(std::string::npos, strOut.find(strTail, u32At)) << stCall.pszName;
        }
    }
}

// ---------------------------------------------------------------------------
// Splitting

struct ChunkSeen {
    uint16_t u16Sn;
    uint16_t u16Len;
    CmdLargePacket stHead;
    Bytes vecData;
};

/// Plays the peer for a split: takes every queued frame off the queue (under
/// the send lock, as an acknowledgement would) and keeps a copy.
class Drainer {
public:
    Drainer(CmdProtocolInstance *pstInst, int s32DelayMs)
        : m_pstInst(pstInst), m_objThread([this, s32DelayMs] { Run(s32DelayMs); }) {}
    ~Drainer() {
        m_bStop.store(true);
        if (m_objThread.joinable()) {
            m_objThread.join();
        }
    }
    std::vector<ChunkSeen> Take() {
        m_bStop.store(true);
        if (m_objThread.joinable()) {
            m_objThread.join();
        }
        Collect();
        std::sort(m_vecSeen.begin(), m_vecSeen.end(),
                  [](const ChunkSeen &a, const ChunkSeen &b) { return a.u16Sn < b.u16Sn; });
        return m_vecSeen;
    }

private:
    void Run(int s32DelayMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(s32DelayMs));
        while (!m_bStop.load()) {
            Collect();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    void Collect() {
        CMutexLock objLock(g_objSendBufMutex);
        for (_CmdProtocolParam &stSlot : m_pstInst->sendSlots) {
            if (stSlot.sync1 != CMD_FRAME_SYNC1 || stSlot.cmd != CMD_LARGE_PACKET_PROTOCOL) {
                continue;
            }
            ChunkSeen stSeen{};
            stSeen.u16Sn = stSlot.sn;
            stSeen.u16Len = stSlot.len;
            memcpy(&stSeen.stHead, stSlot.payload, sizeof(stSeen.stHead));
            stSeen.vecData.assign(stSlot.payload + CMD_LARGE_SUBHEAD_LEN,
                                  stSlot.payload + stSlot.len);
            EXPECT_EQ(CommandProtocolFrameCrc(&stSlot), stSlot.crc);
            m_vecSeen.push_back(stSeen);
            CommandProtocolFrameClear(&stSlot);
        }
    }

    CmdProtocolInstance *m_pstInst;
    std::atomic<bool> m_bStop{false};
    std::vector<ChunkSeen> m_vecSeen;
    std::thread m_objThread;
};

TEST_F(SendQueue, LongMessagesSplitInto496ByteChunksWithSubHeaders) {
    struct Case {
        uint32_t u32Len;
        std::vector<uint16_t> vecChunkLens;
    };
    std::vector<uint16_t> vec65535(132, 496);
    vec65535.push_back(65535 - 132 * 496); // 63
    const Case astCases[] = {
        {513, {496, 17}},
        {992, {496, 496}},
        {993, {496, 496, 1}},
        {65535, vec65535},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.u32Len);
        const Bytes vecMsg = Pattern(stCase.u32Len, stCase.u32Len);
        Drainer objPeer(m_pstOpened, 0);
        _CmdProtocolParam stRec{};
        stRec.cmd = 0x0777;
        stRec.len = static_cast<uint16_t>(stCase.u32Len);
        Bytes vecCallerCopy = vecMsg;
        stRec.payload = vecCallerCopy.data();
        EXPECT_EQ(0, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
        EXPECT_EQ(vecMsg, vecCallerCopy) << "the caller's payload is copied, not taken";

        std::vector<ChunkSeen> vecSeen = objPeer.Take();
        ASSERT_EQ(stCase.vecChunkLens.size(), vecSeen.size());
        Bytes vecJoined;
        for (size_t i = 0; i < vecSeen.size(); ++i) {
            const ChunkSeen &stSeen = vecSeen[i];
            EXPECT_EQ(stCase.vecChunkLens.size(), stSeen.stHead.PacketsNum);
            EXPECT_EQ(0, stSeen.stHead.PacketsRecvNum);
            EXPECT_EQ(stCase.u32Len, stSeen.stHead.PacketsLen);
            EXPECT_EQ(i * 496, stSeen.stHead.SendAddr);
            EXPECT_EQ(stCase.vecChunkLens[i], stSeen.stHead.SendLen);
            EXPECT_EQ(0x0777, stSeen.stHead.PacketsCmd);
            EXPECT_EQ(0, stSeen.stHead.reserved);
            EXPECT_EQ(stCase.vecChunkLens[i] + 12, stSeen.u16Len);
            vecJoined.insert(vecJoined.end(), stSeen.vecData.begin(), stSeen.vecData.end());
        }
        EXPECT_EQ(vecMsg, vecJoined);
    }
}

TEST_F(SendQueue, AChunkWaitsForAFreeSlotAndGivesUpAfter34Checks) {
    for (int i = 0; i < CMD_SLOT_COUNT - 1; ++i) {
        _CmdProtocolParam stRec = ShortRec(0x600, {1});
        ASSERT_GE(CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 1), 0);
    }
    Bytes vecMsg = Pattern(513, 5);
    _CmdProtocolParam stRec{};
    stRec.cmd = 0x0778;
    stRec.len = 513;
    stRec.payload = vecMsg.data();

    // Nobody frees a slot: the first chunk takes the last slot, the second gives up.
    CapturedStream objOut(1);
    auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
    auto u64Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - tStart)
                     .count();
    std::string strOut = objOut.Take();
    EXPECT_GE(u64Ms, 1000) << "34 checks, 30 ms apart";
    EXPECT_NE(std::string::npos, strOut.find("] queue <1>\x1b[0m\r\n")) << strOut;
    EXPECT_EQ(CMD_SLOT_COUNT, UsedSendSlots(m_pstOpened)) << "the first chunk stays queued";

    // With a slot freed meanwhile (an acknowledgement), the second chunk goes in.
    CommandProtocolReset(m_s32Handle);
    for (int i = 0; i < CMD_SLOT_COUNT - 1; ++i) {
        _CmdProtocolParam stShort = ShortRec(0x600, {1});
        ASSERT_GE(CommandProtocolSendCmdAdd(m_s32Handle, &stShort, 1), 0);
    }
    std::thread objAck([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CommandProtocolAckStep(m_pstOpened, 1, g_u32Now.load());
    });
    EXPECT_EQ(0, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
    objAck.join();
    EXPECT_EQ(CMD_SLOT_COUNT, UsedSendSlots(m_pstOpened));
}

TEST_F(SendQueue, ASplitWaitsUntilThePreviousSplitIsAcknowledged) {
    Bytes vecMsg = Pattern(600, 9);
    _CmdProtocolParam stRec{};
    stRec.cmd = 0x0779;
    stRec.len = 600;
    stRec.payload = vecMsg.data();
    ASSERT_EQ(0, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
    ASSERT_EQ(2, UsedSendSlots(m_pstOpened));

    std::thread objAck([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        CommandProtocolAckStep(m_pstOpened, 1, g_u32Now.load());
        CommandProtocolAckStep(m_pstOpened, 2, g_u32Now.load());
    });
    auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(0, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 0));
    auto u64Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - tStart)
                     .count();
    objAck.join();
    EXPECT_GE(u64Ms, 100) << "waited for the first message's chunks";
    CMutexLock objLock(g_objSendBufMutex);
    for (const _CmdProtocolParam &stSlot : m_pstOpened->sendSlots) {
        if (stSlot.sync1 == CMD_FRAME_SYNC1) {
            EXPECT_GE(stSlot.sn, 3) << "only the second message's chunks are queued";
        }
    }
}

// ---------------------------------------------------------------------------
// Heartbeat and link

TEST_F(SendQueue, HeartbeatsOnlyOnAnIdleLinkAndOnePerSecond) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    const uint32_t u32T0 = pstInst->lastSendTime;
    CommandProtocolHeartbeatStep(pstInst, u32T0 + 1000);
    EXPECT_EQ(0, UsedSendSlots(pstInst)) << "1000 ms is not more than 1000 ms";
    CommandProtocolHeartbeatStep(pstInst, u32T0 + 1001);
    ASSERT_EQ(1, UsedSendSlots(pstInst));
    const _CmdProtocolParam &stBeat = pstInst->sendSlots[0];
    EXPECT_EQ(CMD_HEART_BEAT, stBeat.cmd);
    EXPECT_EQ(4, stBeat.len);
    EXPECT_EQ(0, memcmp(stBeat.data, "\0\0\0\0", 4));
    EXPECT_EQ(u32T0 + 1001, pstInst->lastSendTime);

    // While anything is queued no further heartbeat is added.
    CommandProtocolHeartbeatStep(pstInst, u32T0 + 5000);
    EXPECT_EQ(1, UsedSendSlots(pstInst));
    CommandProtocolRemoveSendBuf(pstInst, 0, 1);
    CommandProtocolHeartbeatStep(pstInst, u32T0 + 2001);
    EXPECT_EQ(0, UsedSendSlots(pstInst)) << "the next only 1000 ms after the last";
    CommandProtocolHeartbeatStep(pstInst, u32T0 + 2002);
    EXPECT_EQ(1, UsedSendSlots(pstInst));
    CommandProtocolRemoveSendBuf(pstInst, 0, 1);

    // Off, or during a file transfer: nothing at all.
    struct Case {
        bool bOn;
        uint8_t u8Send;
        uint8_t u8Recv;
    };
    for (const Case &stCase : {Case{false, 0, 0}, Case{true, 2, 0}, Case{true, 0, 1}}) {
        if (stCase.bOn) {
            pstInst->status.fetch_or(CMD_STATUS_HEARTBEAT_ON);
        } else {
            pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_HEARTBEAT_ON));
        }
        pstInst->fileSendState.store(stCase.u8Send);
        pstInst->fileRecvState.store(stCase.u8Recv);
        CommandProtocolHeartbeatStep(pstInst, u32T0 + 60000);
        EXPECT_EQ(0, UsedSendSlots(pstInst));
    }
    pstInst->fileSendState.store(0);
    pstInst->fileRecvState.store(0);
}

TEST_F(SendQueue, LinkIsUpWhileAcknowledgementsComeAndDownAfter3000ms) {
    CmdProtocolInstance *pstInst = m_pstInst.get();
    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    ASSERT_GE(CommandProtocolSendCmdAddsub(pstInst, &stRec, 1), 0); // keeps heartbeats away
    const uint32_t u32Ack = g_u32Now.load();
    CommandProtocolAckStep(pstInst, 999, u32Ack);

    CommandProtocolHeartbeatStep(pstInst, u32Ack + 3000);
    EXPECT_NE(0, pstInst->status.load() & CMD_STATUS_LINK_UP);
    CommandProtocolRecordSn(pstInst, 55);
    ASSERT_TRUE(CommandProtocolIsRepeat(pstInst, 55));

    CommandProtocolHeartbeatStep(pstInst, u32Ack + 3001);
    EXPECT_EQ(0, pstInst->status.load() & CMD_STATUS_LINK_UP);
    EXPECT_FALSE(CommandProtocolIsRepeat(pstInst, 55)) << "link down empties the history";

    // With heartbeats off the link status is frozen.
    pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_HEARTBEAT_ON));
    CommandProtocolAckStep(pstInst, 999, u32Ack + 4000);
    CommandProtocolHeartbeatStep(pstInst, u32Ack + 4001);
    EXPECT_EQ(0, pstInst->status.load() & CMD_STATUS_LINK_UP);
}

TEST_F(SendQueue, HeartBeatStatueSwitchesHeartbeatsAndReportsTheLink) {
    m_pstOpened->status.fetch_or(CMD_STATUS_LINK_UP);
    EXPECT_EQ(1, CommandProtocolHeartBeatStatue(m_s32Handle, 0));
    EXPECT_EQ(0, m_pstOpened->status.load() & CMD_STATUS_HEARTBEAT_ON);
    m_pstOpened->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_LINK_UP));
    EXPECT_EQ(0, CommandProtocolHeartBeatStatue(m_s32Handle, 7));
    EXPECT_NE(0, m_pstOpened->status.load() & CMD_STATUS_HEARTBEAT_ON);
}

TEST_F(SendQueue, SetParamComposesTheFlagsByte) {
    EXPECT_EQ(0, CommandProtocolSetParam(m_s32Handle, 3, 0x85, 0x20, 0x50, 0x04));
    EXPECT_EQ(0x85, m_pstOpened->cipherParam) << "bit 0 of encrypt to bit 7, key masked to 7 bits";
    EXPECT_EQ(0x20, m_pstOpened->sendByte9);
    EXPECT_EQ(0x50, m_pstOpened->sendByte10);
    EXPECT_EQ(0x04, m_pstOpened->debugFlags.load());
    EXPECT_EQ(0, CommandProtocolSetParam(m_s32Handle, 2, 1, 0, 0, 0));
    EXPECT_EQ(0x01, m_pstOpened->cipherParam);
}

TEST_F(SendQueue, DebugFlagsShowTheAddAndTransmitLines) {
    CommandProtocolSetParam(m_s32Handle, 0, 0, 0, 0, 0x01);
    CapturedStream objOut(1);
    _CmdProtocolParam stRec = ShortRec(0x0600, {1});
    int s32Sn = CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 1);
    CommandProtocolTransmitStep(m_pstOpened, g_u32Now.load());
    std::string strOut = objOut.Take();
    TakeWrites();
    std::string strAdd = "\x1b[36m[transfer][CommandProtocolSendCmdAddsub,";
    EXPECT_NE(std::string::npos, strOut.find(strAdd)) << strOut;
    EXPECT_NE(std::string::npos,
              strOut.find("] [queue]add  sn=" + std::to_string(s32Sn) + " cmd=0x600\x1b[0m\r\n"))
        << strOut;
    EXPECT_NE(std::string::npos,
              strOut.find("] ==>[queue]SN=" + std::to_string(s32Sn) + "  cmd =0x600 len=1 (ms:" +
                          std::to_string(g_u32Now.load()) + ")\x1b[0m\r\n"))
        << strOut;
}

// ---------------------------------------------------------------------------
// Reset

TEST_F(SendQueue, ResetEmptiesQueuesAndDropsAHalfReceivedFrame) {
    CmdProtocolInstance *pstInst = m_pstOpened;
    for (int i = 0; i < 3; ++i) {
        _CmdProtocolParam stRec = LongRec(0x604, Pattern(100, i)); // payloads the reset releases
        ASSERT_GE(CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 1), 0);
    }
    Bytes vecStored = PeerFrame(0x700, 40, Pattern(200, 1));
    for (uint8_t u8 : vecStored) {
        CommandProtocolRecvOneByte(pstInst, u8);
    }
    Bytes vecHalf = PeerFrame(0x701, 41, Pattern(30, 2));
    for (size_t i = 0; i < 10; ++i) {
        CommandProtocolRecvOneByte(pstInst, vecHalf[i]);
    }
    CommandProtocolRecordSn(pstInst, 40);
    pstInst->status.fetch_or(CMD_STATUS_LINK_UP);
    g_u32Now.store(g_u32Now.load() + 1234);

    EXPECT_EQ(0, CommandProtocolReset(m_s32Handle));
    EXPECT_EQ(1, pstInst->sendSn);
    EXPECT_EQ(0, UsedSendSlots(pstInst));
    EXPECT_EQ(0, pstInst->recvCount);
    EXPECT_EQ(-1, CommandProtocolPickRecvSlot(pstInst, g_u32Now.load() + 5));
    EXPECT_FALSE(CommandProtocolIsRepeat(pstInst, 40));
    EXPECT_EQ(0, pstInst->recvSnIndex);
    EXPECT_EQ(0, pstInst->status.load() & CMD_STATUS_LINK_UP);
    EXPECT_EQ(g_u32Now.load(), pstInst->lastSendTime);
    EXPECT_EQ(g_u32Now.load(), pstInst->lastAckTime);

    // The rest of the half frame is noise now; the next frame assembles from its sync bytes.
    for (size_t i = 10; i < vecHalf.size(); ++i) {
        CommandProtocolRecvOneByte(pstInst, vecHalf[i]);
    }
    Bytes vecNext = PeerFrame(0x702, 42, {1, 2, 3});
    for (uint8_t u8 : vecNext) {
        CommandProtocolRecvOneByte(pstInst, u8);
    }
    int s32Slot = CommandProtocolPickRecvSlot(pstInst, g_u32Now.load() + 5);
    ASSERT_GE(s32Slot, 0);
    EXPECT_EQ(0x702, pstInst->recvSlots[s32Slot].cmd);
    EXPECT_EQ(42, pstInst->recvSlots[s32Slot].sn);
    CommandProtocolFrameClear(&pstInst->recvSlots[s32Slot]);

    _CmdProtocolParam stRec = ShortRec(0x600, {1});
    EXPECT_EQ(1, CommandProtocolSendCmdAdd(m_s32Handle, &stRec, 1)) << "numbering starts again";
}

// ---------------------------------------------------------------------------
// Deferred-command store

_CmdProtocolParam ReceivedRec(uint16_t u16Cmd, uint16_t u16Sn, Bytes *pvecPayload) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = u16Cmd;
    stRec.sn = u16Sn;
    stRec.len = static_cast<uint16_t>(pvecPayload->size());
    if (stRec.len <= CMD_FRAME_SHORT_MAX) {
        memcpy(stRec.data, pvecPayload->data(), pvecPayload->size());
    } else {
        stRec.payload = pvecPayload->data();
    }
    return stRec;
}

TEST_F(SendQueue, DeferredStoreKeepsCopiesAndHandsThemOutInSlotOrder) {
    Bytes vecShort{1, 2, 3};
    Bytes vecLong = Pattern(40, 4);
    _CmdProtocolParam stShort = ReceivedRec(0x100D, 1, &vecShort);
    _CmdProtocolParam stLong = ReceivedRec(0x100D, 2, &vecLong);
    ASSERT_EQ(0, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stShort));
    ASSERT_EQ(0, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stLong));
    const Bytes vecOriginal = vecLong;
    std::fill(vecLong.begin(), vecLong.end(), 0); // the caller's buffer is the caller's
    for (uint16_t u16Sn = 3; u16Sn <= 10; ++u16Sn) {
        _CmdProtocolParam stRec = ReceivedRec(0x100D, u16Sn, &vecShort);
        ASSERT_EQ(0, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stRec));
    }
    _CmdProtocolParam stEleventh = ReceivedRec(0x100D, 11, &vecShort);
    EXPECT_EQ(-1, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stEleventh));
    EXPECT_EQ(10, m_pstOpened->longerCmdCount);

    _CmdProtocolParam stOut{};
    ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stOut));
    EXPECT_EQ(1, stOut.sn);
    EXPECT_EQ(0, memcmp(stOut.data, vecShort.data(), 3));
    ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stOut));
    EXPECT_EQ(2, stOut.sn);
    ASSERT_EQ(40, stOut.len);
    EXPECT_EQ(vecOriginal, Bytes(stOut.payload, stOut.payload + 40));
    free(stOut.payload); // the taker owns the copy

    // A record stored into the freed first slot comes out before older ones.
    _CmdProtocolParam stLate = ReceivedRec(0x100D, 99, &vecShort);
    ASSERT_EQ(0, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stLate));
    ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stOut));
    EXPECT_EQ(99, stOut.sn);

    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stOut));
    }
    EXPECT_EQ(-1, CommandProtocolGetCMDLongerToProgress(m_s32Handle, &stOut));
    EXPECT_EQ(0, m_pstOpened->longerCmdCount);
}

TEST_F(SendQueue, DeferredStoreRefusesRecordsItCouldNeverHandOut) {
    Bytes vecLong = Pattern(40, 4);
    _CmdProtocolParam stRec = ReceivedRec(0x100D, 1, &vecLong);
    stRec.sync1 = 0;
    stRec.sync2 = 0;
    EXPECT_EQ(-1, CommandProtocolBackupCMDLongerToProgress(m_s32Handle, &stRec));
    EXPECT_EQ(0, m_pstOpened->longerCmdCount);
}

} // namespace
