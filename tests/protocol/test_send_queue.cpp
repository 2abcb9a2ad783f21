// The instance table, and the send queue of an opened instance driven step by
// step: numbering, transmit order and thresholds, the in-flight window, the
// hold, acknowledgements, queries, splitting, heartbeats and the link, reset,
// the deferred-command store; CommandInterfaceRead2.
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "protocol_fixture.h"
#include "runtime/mutex.h"

namespace {

std::vector<int> g_vecOpens; // the ten instances of the table, and one more
std::string g_strOpenOut;    // what their opens printed

/// Opens them once and stops their engines, so that the test thread works the
/// instances alone.
void OpenAll() {
    static const bool s_bOpened = [] {
        CommandProtocolMutexInit();
        CapturedStream objOut(1);
        for (const char *pszName :
             {"queuelonger", "b", "c", "d", "e", "f", "g", "h", "i", "ninth", "eleventh"}) {
            CmdProtocolFun stFun = TestFun();
            g_vecOpens.push_back(CommandProtocolOpen(&stFun, pszName, 0));
            CommandProtocolStop(g_vecOpens.back());
            CommandProtocolWaitEngineEnd(g_vecOpens.back());
        }
        g_strOpenOut = objOut.Take();
        return true;
    }();
    EXPECT_TRUE(s_bOpened);
}

TEST(Instance, TenOpensGiveHandlesZeroToNineTheEleventhFailsInvalidHandlesAreRefused) {
    OpenAll();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1}), g_vecOpens);
    // Names are cut to five characters.
    for (const char *pszLine : {"] #run# queue fd =0\033[0m\r\n", "] #run# ninth fd =9\033[0m\r\n",
                                "] open error  [eleventh]\033[0m\r\n"}) {
        EXPECT_NE(std::string::npos, g_strOpenOut.find(pszLine)) << g_strOpenOut;
    }
    for (int s32Handle : {-1, 10}) {
        CapturedStream objOut(1);
        _CmdProtocolParam stRec = Rec(0x600, {1});
        for (int s32Ret :
             {CommandProtocolSendCmdAdd(s32Handle, &stRec, 0), CommandProtocolReset(s32Handle),
              CommandInterfaceRead2(s32Handle, stRec.data, 1)}) {
            EXPECT_EQ(-2, s32Ret) << s32Handle;
        }
        EXPECT_NE(std::string::npos,
                  objOut.Take().find("] invalid, " + std::to_string(s32Handle) + ".\033[0m\r\n"));
    }
}

class SendQueue : public UnitInstance {
protected:
    void SetUp() override {
        UnitInstance::SetUp();
        OpenAll();
        ASSERT_EQ(0, CommandProtocolReset(0));
        Init(CommandProtocolLookup(0));
        m_pstInst->fileSendState = 0;
    }
    int Queue(uint16_t u16Cmd, const Bytes &data, int s32Priority = 1) {
        _CmdProtocolParam stRec = Rec(u16Cmd, data);
        return CommandProtocolSendCmdAddsub(m_pstInst, &stRec, s32Priority);
    }
    int Used() { return CMD_SLOT_COUNT - CommandProtocolFreeSendSlots(m_pstInst); }
    /// Transmit step at u32T; the 16-bit field at u32Offset (7: sn, 11: cmd)
    /// of every (short) frame written, in ascending order.
    std::vector<uint16_t> Transmit(size_t u32Offset, uint32_t u32T) {
        CommandProtocolTransmitStep(m_pstInst, u32T);
        const Bytes wire = TakeWire();
        std::vector<uint16_t> out;
        for (size_t i = u32Offset; i < wire.size(); i += 17) {
            out.push_back(static_cast<uint16_t>(wire[i] | wire[i + 1] << 8));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(SendQueue, Read2ResultsAndWhereFeedingStops) {
    // A frame then garbage: the last byte's result; the frame is stored.
    Bytes bytes = Cat({MakeFrame(0x0600, 1, {}), {0x00, 0x12}});
    EXPECT_EQ(-1, CommandInterfaceRead2(0, bytes.data(), static_cast<int>(bytes.size())));
    // Ten more frames: the last meets full slots; the A5 5A after it are not fed.
    bytes.clear();
    for (uint16_t u16Sn = 2; u16Sn <= 11; ++u16Sn) {
        bytes = Cat({bytes, MakeFrame(0x0600, u16Sn, {})});
    }
    bytes = Cat({bytes, {0xA5, 0x5A}});
    CapturedStream objOut(1);
    EXPECT_EQ(-3, CommandInterfaceRead2(0, bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(0, m_pstInst->recvCount);
    EXPECT_NE(std::string::npos, objOut.Take().find("] test, -3.\033[0m\r\n"));
    EXPECT_EQ(0, CommandInterfaceRead2(0, bytes.data(), 0));
}

TEST_F(SendQueue, SnWrapsAndAPriorityFrameGoesFirstAndEqualAgesFavourTheHigherSlot) {
    m_pstInst->sendSn = 65535;
    for (uint16_t u16Cmd : {0x700, 0x701, 0x702, 0x703}) {
        EXPECT_EQ((u16Cmd + 65535 - 0x700) % 65536, Queue(u16Cmd, {1}, 0));
    }
    CommandProtocolAckStep(m_pstInst, 65535, g_u32Now); // the priority frame takes slot 0
    Queue(0x7FF, {1}, 1);
    for (uint16_t u16Cmd : {0x7FF, 0x703, 0x702, 0x701}) { // one frame per step
        EXPECT_EQ(std::vector<uint16_t>{u16Cmd}, Transmit(11, g_u32Now));
    }
}

TEST_F(SendQueue, RepeatsAre100msApartAnd200msDuringAFileSend) {
    // File-send state, first transmission and repeat (ms after queuing).
    const uint32_t au32Cases[][3] = {{0, 0, 100}, {2, 100, 200}, {3, 100, 200}};
    for (const uint32_t *pu32 : au32Cases) {
        CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
        m_pstInst->fileSendState = static_cast<uint8_t>(pu32[0]);
        const uint32_t u32T = g_u32Now += 10000;
        Queue(0x604, {7}, 0);
        std::vector<size_t> vecCounts;
        for (uint32_t u32Dt : {pu32[1] - 1, pu32[1], pu32[1] + pu32[2] - 1, pu32[1] + pu32[2]}) {
            vecCounts.push_back(Transmit(11, u32T + u32Dt).size());
        }
        EXPECT_EQ((std::vector<size_t>{0, 1, 0, 1}), vecCounts) << pu32[0];
    }
}

TEST_F(SendQueue, RepetitionHoldsAfter5000msOfSilenceAndResumesOnAnyPeerFrame) {
    const uint32_t u32T0 = g_u32Now;
    Queue(0x600, {0, 0}, 0);
    CommandProtocolTransmitStep(m_pstInst, u32T0);
    const Bytes first = TakeWire();
    for (uint32_t u32T = u32T0 + 100; u32T <= u32T0 + 5000; u32T += 100) {
        CommandProtocolTransmitStep(m_pstInst, u32T);
        EXPECT_EQ(first, TakeWire()) << "every repeat is the first transmission byte for byte";
    }
    EXPECT_TRUE(Transmit(11, u32T0 + 5100).empty()) << "held";
    EXPECT_EQ(1, Used()) << "a held frame stays queued";
    g_u32Now = u32T0 + 9000;
    Exchange({MakeAck(999)}); // any frame from the peer, taken at 9001
    EXPECT_EQ(std::vector<uint16_t>{0x600}, Transmit(11, u32T0 + 9001));
}

// A frame whose last byte is 0xA5 loses a byte on its first way over, and its
// repeats follow back to back. A peer receiver thrown out of step hunts
// through the next repeat up to that last 0xA5 and takes it for a frame
// start; the microcontroller's then drops the real start after it (there a
// second 0xA5 is no new start). Without a filler byte between them, every
// later repeat would be lost the same way: the line must carry one.
TEST_F(SendQueue, ARepeatedFrameEndingIn0xA5IsFoundAgainByAPeerOutOfStep) {
    Bytes data = Pattern(64, 3);
    data.back() = 0xA5;
    const Bytes frame = MakeFrame(0x604, static_cast<uint16_t>(Queue(0x604, data, 0)), data);
    Bytes line;
    for (uint32_t u32T = g_u32Now; u32T < g_u32Now + 500; u32T += 100) {
        CommandProtocolTransmitStep(m_pstInst, u32T);
        Bytes wire = TakeWire();
        // Each transmission is the frame itself, the repeats after one filler byte.
        EXPECT_EQ(line.empty() ? frame : Cat({{0x00}, frame}), wire);
        if (line.empty()) {
            wire.erase(wire.begin() + 20); // lost on the line
        }
        line = Cat({line, wire});
    }
    CmdProtocolInstance stPeer;
    const CmdProtocolFun stFun = TestFun();
    CommandProtocolInstanceInit(&stPeer, &stFun, "peer", 0);
    for (uint8_t u8Byte : line) {
        CommandProtocolRecvOneByte(&stPeer, u8Byte);
    }
    size_t u32Whole = 0;
    for (_CmdProtocolParam &stSlot : stPeer.recvSlots) {
        if (stSlot.sync1 == 0xA5 && CommandProtocolFrameCrc(&stSlot) == stSlot.crc &&
            stSlot.len == data.size() && memcmp(CmdParamPayload(&stSlot), data.data(), 64) == 0) {
            ++u32Whole;
        }
        CommandProtocolFrameClear(&stSlot);
    }
    EXPECT_GE(u32Whole, 1u) << "the frame never arrived whole";
}

TEST_F(SendQueue, TenFramesFillTheQueueAndOnlyFiveFromTheOldestUnacknowledgedGoOut) {
    // The peer remembers the last ten sequence numbers: a frame that waits for
    // its acknowledgement must not see ten newer ones recorded before its repeat.
    m_pstInst->status |= CMD_STATUS_FAST_MODE; // every due frame in one step
    m_pstInst->sendSn = 65533;                 // the window holds across the wrap
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        Queue(0x600, {1});
    }
    // An eleventh send fails at once, and prints nothing.
    _CmdProtocolParam stRec = Rec(0x604, Pattern(64, 3));
    CapturedStream objOut(1);
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(0, &stRec, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(1));
    EXPECT_EQ("", objOut.Take());
    free(stRec.payload); // a refused record stays the caller's

    EXPECT_EQ((std::vector<uint16_t>{0, 1, 65533, 65534, 65535}), Transmit(7, g_u32Now));
    // Acknowledging a later frame does not move the window; the oldest does.
    CommandProtocolAckStep(m_pstInst, 65535, g_u32Now);
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 65533, 65534}), Transmit(7, g_u32Now + 100));
    CommandProtocolAckStep(m_pstInst, 65533, g_u32Now);
    CommandProtocolAckStep(m_pstInst, 65534, g_u32Now);
    EXPECT_EQ((std::vector<uint16_t>{0, 1, 2, 3, 4}), Transmit(7, g_u32Now + 200));
}

TEST_F(SendQueue, AnAcknowledgementEmptiesTheFirstSlotWithItsSnAndQueriesIgnoreHeartbeats) {
    Queue(0x604, Pattern(20, 1));
    m_pstInst->sendSn = 1; // a second frame with the same sn, as after a peer's clear
    Queue(0x605, Pattern(20, 2));
    CommandProtocolAckStep(m_pstInst, 1, 5000);
    EXPECT_EQ(0, m_pstInst->sendSlots[0].sync1);
    EXPECT_EQ(0x605, m_pstInst->sendSlots[1].cmd);
    // No match (an empty slot's sn 0 is none): still counted and timed.
    CommandProtocolAckStep(m_pstInst, 0, 5001);
    CommandProtocolAckStep(m_pstInst, 4242, 5002);
    EXPECT_EQ(3u, m_pstInst->ackCount);
    EXPECT_EQ(5002u, m_pstInst->lastAckTime);
    EXPECT_EQ(1, Used());
    CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);

    // The queries leave heartbeats out.
    EXPECT_EQ(1, CommandProtocolConfirmCmdsent(0, 1234)); // never used
    const uint16_t u16Sn = static_cast<uint16_t>(Queue(0x600, {1}, 0));
    EXPECT_EQ(0, CommandProtocolConfirmCmdsent(0, u16Sn));
    EXPECT_EQ(1, CommandProtocolGetSendBufNum(0));
    CommandProtocolAckStep(m_pstInst, u16Sn, g_u32Now);
    CommandProtocolHeartbeatStep(m_pstInst, m_pstInst->lastSendTime + 1001);
    EXPECT_EQ(1, Used()) << "a heartbeat is queued";
    EXPECT_EQ(0, CommandProtocolGetSendBufNum(0));
    EXPECT_EQ(1, CommandProtocolConfirmCmdsent(0, u16Sn));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(0, 300));
}

TEST_F(SendQueue, LongMessagesGoAsChunksOf496BytesWithSubHeaders) {
    // 513: 496 + 17; 992: 496 + 496; 993: 496 + 496 + 1; 65535: 132 x 496 + 63.
    for (size_t u32Len : {513u, 992u, 993u, 65535u}) {
        Bytes msg = Pattern(u32Len, 3);
        _CmdProtocolParam stRec{};
        stRec.cmd = 0x0777;
        stRec.len = static_cast<uint16_t>(u32Len);
        stRec.payload = msg.data(); // copied, never taken over
        const uint16_t u16First = m_pstInst->sendSn;
        const std::vector<Bytes> expect = Split(0x0777, msg, u16First);
        // The peer's part: take every queued chunk off, as its acknowledgement would.
        std::vector<Bytes> frames(expect.size());
        auto Collect = [&] {
            CMutexLock objLock(g_objSendBufMutex);
            for (_CmdProtocolParam &stSlot : m_pstInst->sendSlots) {
                if (stSlot.sync1 != 0) {
                    CommandProtocolFrameWrite(m_pstInst, &stSlot);
                    const size_t u32Index = static_cast<uint16_t>(stSlot.sn - u16First);
                    frames[std::min(u32Index, frames.size() - 1)] = TakeWire();
                    CommandProtocolFrameClear(&stSlot);
                }
            }
        };
        std::atomic<bool> bDone{false};
        std::thread objPeer([&] {
            for (; !bDone; usleep(2000)) {
                Collect();
            }
        });
        EXPECT_EQ(0, CommandProtocolSendCmdAdd(0, &stRec, 0));
        bDone = true;
        objPeer.join();
        Collect();
        EXPECT_TRUE(expect == frames) << u32Len;
    }
}

TEST_F(SendQueue, HeartbeatsOnAnIdleLinkOnePerSecondAndTheLinkStatus) {
    const uint32_t u32T0 = m_pstInst->lastSendTime;
    auto Beat = [&](uint32_t u32Dt) {
        CommandProtocolHeartbeatStep(m_pstInst, u32T0 + u32Dt);
        return Used();
    };
    EXPECT_EQ(0, Beat(1000));
    EXPECT_EQ(1, Beat(1001));
    EXPECT_EQ(1, Beat(5000)) << "none while anything is queued";
    CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
    EXPECT_EQ(0, Beat(2001)) << "the next only 1000 ms after the last";
    EXPECT_EQ(1, Beat(2002));
    CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
    CommandProtocolHeartBeatStatue(0, 0); // none with heartbeats off
    EXPECT_EQ(0, Beat(9000));
    CommandProtocolHeartBeatStatue(0, 1);
    m_pstInst->fileRecvState = 1; // nor during a file transfer
    EXPECT_EQ(0, Beat(9000));
    m_pstInst->fileRecvState = 0;

    // The link is up while acknowledgements come within 3000 ms.
    Queue(0x600, {1}); // keeps heartbeats away
    CommandProtocolAckStep(m_pstInst, 999, 5000);
    CommandProtocolHeartbeatStep(m_pstInst, 8000);
    EXPECT_EQ(1, CommandProtocolHeartBeatStatue(0, 1));
    CommandProtocolRecordSn(m_pstInst, 55);
    CommandProtocolHeartbeatStep(m_pstInst, 8001);
    EXPECT_EQ(0, CommandProtocolHeartBeatStatue(0, 0));
    EXPECT_FALSE(CommandProtocolIsRepeat(m_pstInst, 55)) << "link down empties the history";
    // With heartbeats off the link status is frozen.
    CommandProtocolAckStep(m_pstInst, 999, 9000);
    CommandProtocolHeartbeatStep(m_pstInst, 9001);
    EXPECT_EQ(0, CommandProtocolHeartBeatStatue(0, 0));
}

TEST_F(SendQueue, ResetEmptiesTheQueueAndDropsAHalfReceivedFrame) {
    Queue(0x604, Pattern(100, 1)); // a payload that the reset releases
    Feed(MakeFrame(0x700, 40, Pattern(200, 1)));
    const Bytes half = MakeFrame(0x701, 41, Pattern(30, 2));
    Feed(Bytes(half.begin(), half.begin() + 10));
    CommandProtocolRecordSn(m_pstInst, 40);
    EXPECT_EQ(0, CommandProtocolReset(0));
    EXPECT_EQ(1, m_pstInst->sendSn);
    EXPECT_EQ(0, Used());
    EXPECT_FALSE(CommandProtocolIsRepeat(m_pstInst, 40));
    // The rest of the half frame is noise now; the next frame is assembled
    // from its own sync bytes, and it is the only one stored.
    Feed(Cat({Bytes(half.begin() + 10, half.end()), MakeFrame(0x702, 42, {1, 2, 3})}));
    EXPECT_TRUE(Step());
    EXPECT_FALSE(Step());
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(0x702, g_delivered[0].u16Cmd);
}

TEST_F(SendQueue, DeferredStoreKeepsCopiesIsFullAtTenAndHandsOutInSlotOrder) {
    auto Store = [&](uint16_t u16Sn, const Bytes &data) {
        _CmdProtocolParam stRec = Rec(0x100D, data);
        stRec.sync1 = CMD_FRAME_SYNC1;
        stRec.sync2 = CMD_FRAME_SYNC2;
        stRec.sn = u16Sn;
        const int s32Ret = CommandProtocolBackupCMDLongerToProgress(0, &stRec);
        CommandProtocolFrameClear(&stRec); // the caller's payload stays the caller's
        return s32Ret;
    };
    const Bytes data40 = Pattern(40, 4);
    for (uint16_t u16Sn = 1; u16Sn <= 11; ++u16Sn) {
        EXPECT_EQ(u16Sn <= 10 ? 0 : -1, Store(u16Sn, u16Sn == 2 ? data40 : Bytes{1, 2, 3}));
    }
    _CmdProtocolParam stOut{};
    ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(0, &stOut));
    ASSERT_EQ(1, stOut.sn);
    ASSERT_EQ(0, CommandProtocolGetCMDLongerToProgress(0, &stOut));
    EXPECT_EQ(data40, Bytes(stOut.payload, stOut.payload + stOut.len));
    CommandProtocolFrameClear(&stOut); // the taker owns the copy
    // A record without the sync bytes could never be taken out again.
    stOut = Rec(0x100D, {1});
    EXPECT_EQ(-1, CommandProtocolBackupCMDLongerToProgress(0, &stOut));
    // A record stored into the freed first slot comes out before older ones.
    EXPECT_EQ(0, Store(99, {1}));
    std::vector<uint16_t> vecSns;
    for (; CommandProtocolGetCMDLongerToProgress(0, &stOut) == 0; vecSns.push_back(stOut.sn)) {
    }
    EXPECT_EQ((std::vector<uint16_t>{99, 3, 4, 5, 6, 7, 8, 9, 10}), vecSns);
}

} // namespace
