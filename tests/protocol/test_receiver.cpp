// Frame receiver: byte assembly, CommandInterfaceRead2, frame choice, the frame
// step (check, decipher, repeat filter, dispatch, reply) and the reassembly of
// large-packet messages. One instance without an engine thread, a fake wire
// that records every write, a fake clock, and a data callback that records
// every delivered frame.
//
// Frames are built here from their definition (header fields little-endian,
// RC4 over bytes 9..16 or the payload, CRC-16/XMODEM from byte 6 on); the
// CRC and RC4 themselves are checked against independent vectors in
// test_frame.cpp. Wire vectors marked "python" come from a Python builder over
// binascii.crc_hqx and a Python RC4 that reproduces the published vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "protocol_internal.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Delivered {
    uint16_t u16Cmd;
    uint16_t u16Sn;
    uint16_t u16Len;
    uint8_t u8Flags;
    uint8_t u8Param1;
    uint8_t u8Param2;
    Bytes data;
    size_t u32WireAtCall; // bytes written to the wire before the callback ran
};

Bytes g_wire;
std::vector<Delivered> g_delivered;
std::atomic<uint32_t> g_u32Now{1000};

int WireWrite(const uint8_t *pu8Buf, int s32Len) {
    g_wire.insert(g_wire.end(), pu8Buf, pu8Buf + s32Len);
    return s32Len;
}

void Deliver(_CmdProtocolParam *pstFrame) {
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    g_delivered.push_back({pstFrame->cmd, pstFrame->sn, pstFrame->len, pstFrame->flags,
                           pstFrame->param1, pstFrame->param2,
                           Bytes(pu8Data, pu8Data + pstFrame->len), g_wire.size()});
}

uint32_t FakeClock() {
    return g_u32Now.load();
}

/// The wire bytes of one frame, built from the frame definition.
Bytes MakeFrame(uint16_t u16Cmd, uint16_t u16Sn, const Bytes &payload, uint8_t u8Flags = 0,
                uint8_t u8Param1 = 0x20, uint8_t u8Param2 = 0x50) {
    const size_t u32Len = payload.size();
    Bytes frame = {0xA5,
                   0x5A,
                   static_cast<uint8_t>(u32Len),
                   static_cast<uint8_t>(u32Len >> 8),
                   0,
                   0,
                   u8Flags,
                   static_cast<uint8_t>(u16Sn),
                   static_cast<uint8_t>(u16Sn >> 8),
                   u8Param1,
                   u8Param2,
                   static_cast<uint8_t>(u16Cmd),
                   static_cast<uint8_t>(u16Cmd >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (u32Len <= 4) {
        frame.resize(17, 0);
    }
    if ((u8Flags & 0x80) != 0) {
        const size_t u32Start = u32Len <= 4 ? 9 : 13;
        Bytes clear(frame.begin() + u32Start, frame.end());
        Arc4DecryptEncrypt(clear.data(), frame.data() + u32Start, static_cast<int>(clear.size()),
                           u8Flags & 0x7F);
    }
    uint16_t u16Crc = CommandProtocolCrc16(0, frame.data() + 6, static_cast<int>(frame.size() - 6));
    frame[4] = static_cast<uint8_t>(u16Crc);
    frame[5] = static_cast<uint8_t>(u16Crc >> 8);
    return frame;
}

/// The acknowledgement that the receiver must write for a (deciphered) frame.
Bytes MakeAck(uint16_t u16Sn, uint8_t u8KeyBits = 0, uint8_t u8Param1 = 0x20,
              uint8_t u8Param2 = 0x50) {
    return MakeFrame(CMD_ACK, u16Sn, Bytes(4, 0), u8KeyBits, u8Param1, u8Param2);
}

Bytes Pattern(size_t u32Len, uint32_t u32Seed) {
    Bytes out(u32Len);
    uint32_t u32State = u32Seed * 2654435761u + 1;
    for (uint8_t &u8Byte : out) {
        u32State = u32State * 1103515245u + 12345u;
        u8Byte = static_cast<uint8_t>(u32State >> 16);
    }
    return out;
}

/// The payload of one large-packet chunk: the 12-byte sub-header, then data.
Bytes ChunkPayload(uint8_t u8Num, uint16_t u16MsgLen, uint16_t u16Addr, uint16_t u16SendLen,
                   uint16_t u16MsgCmd, const uint8_t *pu8Data, size_t u32DataLen) {
    Bytes out = {u8Num,
                 0,
                 static_cast<uint8_t>(u16MsgLen),
                 static_cast<uint8_t>(u16MsgLen >> 8),
                 static_cast<uint8_t>(u16Addr),
                 static_cast<uint8_t>(u16Addr >> 8),
                 static_cast<uint8_t>(u16SendLen),
                 static_cast<uint8_t>(u16SendLen >> 8),
                 static_cast<uint8_t>(u16MsgCmd),
                 static_cast<uint8_t>(u16MsgCmd >> 8),
                 0,
                 0};
    out.insert(out.end(), pu8Data, pu8Data + u32DataLen);
    return out;
}

/// The chunk frames of a message as the sender splits it: 496 data bytes per
/// chunk, ascending offsets, consecutive sequence numbers from u16FirstSn.
std::vector<Bytes> SplitMessage(uint16_t u16MsgCmd, const Bytes &message, uint16_t u16FirstSn) {
    const size_t u32Num = (message.size() + 495) / 496;
    std::vector<Bytes> frames;
    for (size_t i = 0; i < u32Num; ++i) {
        const size_t u32Addr = i * 496;
        const size_t u32SendLen = std::min<size_t>(496, message.size() - u32Addr);
        frames.push_back(MakeFrame(
            CMD_LARGE_PACKET_PROTOCOL, static_cast<uint16_t>(u16FirstSn + i),
            ChunkPayload(static_cast<uint8_t>(u32Num), static_cast<uint16_t>(message.size()),
                         static_cast<uint16_t>(u32Addr), static_cast<uint16_t>(u32SendLen),
                         u16MsgCmd, message.data() + u32Addr, u32SendLen)));
    }
    return frames;
}

class Receiver : public ::testing::Test {
protected:
    void SetUp() override {
        g_wire.clear();
        g_delivered.clear();
        g_u32Now = 1000;
        CommandProtocolSetClock(FakeClock);
        m_s32SavedLev = elogLev;
        CmdProtocolFun stFun{};
        stFun.Write = WireWrite;
        stFun.DataProcessing = Deliver;
        m_pstInst = new CmdProtocolInstance();
        CommandProtocolInstanceInit(m_pstInst, &stFun, "test", 0);
    }

    void TearDown() override {
        for (_CmdProtocolParam &stSlot : m_pstInst->recvSlots) {
            CommandProtocolFrameClear(&stSlot);
        }
        CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
        free(m_pstInst->PacketsBuffer);
        delete m_pstInst;
        CommandProtocolSetClock(nullptr);
        elogLev = m_s32SavedLev;
    }

    std::vector<int> Feed(const Bytes &bytes) {
        std::vector<int> results;
        for (uint8_t u8Byte : bytes) {
            results.push_back(CommandProtocolRecvOneByte(m_pstInst, u8Byte));
        }
        return results;
    }

    /// One frame step on the oldest stored frame, a millisecond later; false
    /// when no frame was waiting.
    bool Step() {
        ++g_u32Now;
        int s32Slot = CommandProtocolPickRecvSlot(m_pstInst, g_u32Now);
        if (s32Slot < 0) {
            return false;
        }
        CommandProtocolFrameStep(m_pstInst, s32Slot, g_u32Now);
        return true;
    }

    /// Feeds one frame and acts on it; returns what was written in reply.
    Bytes Exchange(const Bytes &frame) {
        g_wire.clear();
        Feed(frame);
        EXPECT_TRUE(Step());
        return g_wire;
    }

    int UsedRecvSlots() const {
        int s32Count = 0;
        for (const _CmdProtocolParam &stSlot : m_pstInst->recvSlots) {
            s32Count += stSlot.sync1 == 0xA5 ? 1 : 0;
        }
        return s32Count;
    }

    CmdProtocolInstance *m_pstInst = nullptr;
    int32_t m_s32SavedLev = 5;
};

// ---------------------------------------------------------------------------
// Byte assembly

TEST_F(Receiver, DoubleSyncStartLosesTheFrameAndNoiseIsDropped) {
    const Bytes frame = MakeFrame(0x0600, 1, {1, 2, 3});
    Bytes bytes = {0x11, 0x5A, 0xA5, 0xA5, 0x5A};
    bytes.insert(bytes.end(), frame.begin() + 2, frame.end()); // the body after A5 5A
    std::vector<int> results = Feed(bytes);
    // Noise, noise, A5 taken, the second A5 returns to hunting, 5A dropped.
    EXPECT_EQ((std::vector<int>{-1, -1, 0, -1, -1}),
              std::vector<int>(results.begin(), results.begin() + 5));
    EXPECT_EQ(0, UsedRecvSlots());
    EXPECT_EQ(0, m_pstInst->recvCount);

    // The next clean frame is stored.
    results = Feed(frame);
    EXPECT_EQ(std::vector<int>(17, 0), results);
    EXPECT_EQ(1, UsedRecvSlots());
}

TEST_F(Receiver, FrameCompletesAfterItsExactLength) {
    struct Case {
        size_t u32Len;
        size_t u32FrameLen;
    };
    for (const Case &stCase : {Case{0, 17}, Case{4, 17}, Case{5, 18}, Case{512, 525}}) {
        const Bytes frame = MakeFrame(0x0604, 9, Pattern(stCase.u32Len, 1));
        ASSERT_EQ(stCase.u32FrameLen, frame.size());
        Feed(Bytes(frame.begin(), frame.end() - 1));
        EXPECT_EQ(0, UsedRecvSlots()) << stCase.u32Len;
        EXPECT_EQ(0, CommandProtocolRecvOneByte(m_pstInst, frame.back()));
        ASSERT_EQ(1, UsedRecvSlots()) << stCase.u32Len;
        const _CmdProtocolParam &stSlot = m_pstInst->recvSlots[0];
        EXPECT_EQ(0, memcmp(CmdParamBytes(&stSlot), frame.data(), 13));
        const uint8_t *pu8Data = CmdParamPayload(&stSlot);
        EXPECT_EQ(Bytes(frame.begin() + 13, frame.begin() + 13 + stCase.u32Len),
                  Bytes(pu8Data, pu8Data + stCase.u32Len));
        EXPECT_EQ(stCase.u32Len > 4, stSlot.payload != nullptr);
        EXPECT_EQ(g_u32Now.load(), m_pstInst->recvTime[0]);
        CommandProtocolFrameClear(&m_pstInst->recvSlots[0]);
    }
}

TEST_F(Receiver, OversizedLenIsAbandonedAtTheSixthByte) {
    Bytes bytes = {0xA5, 0x5A, 0x01, 0x02, 0x00, 0x00}; // len 513
    CapturedStream objOut(1);
    std::vector<int> results = Feed(bytes);
    std::string strOut = objOut.Take();
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0, -2}), results);
    EXPECT_EQ(0, m_pstInst->recvCount);
    EXPECT_NE(std::string::npos, strOut.find("\033[31m[transfer][CommandProtocolRecvOneByte,"));
    EXPECT_NE(std::string::npos, strOut.find("] test [a5.201.0]\033[0m\r\n")) << strOut;

    // Back to hunting: the next frame is found afresh.
    EXPECT_EQ(std::vector<int>(17, 0), Feed(MakeFrame(0x0600, 1, {})));
    EXPECT_EQ(1, UsedRecvSlots());
}

TEST_F(Receiver, EleventhFrameFindsNoSlot) {
    for (int i = 0; i < 10; ++i) {
        Feed(MakeFrame(0x0600, static_cast<uint16_t>(i), {}));
    }
    ASSERT_EQ(10, UsedRecvSlots());
    const Bytes frame = MakeFrame(0x0600, 10, {}, 0x80);
    CapturedStream objOut(1);
    std::vector<int> results = Feed(frame);
    std::string strOut = objOut.Take();
    EXPECT_EQ(std::vector<int>(16, 0), std::vector<int>(results.begin(), results.end() - 1));
    EXPECT_EQ(-3, results.back());
    EXPECT_EQ(0, m_pstInst->recvCount);
    EXPECT_NE(std::string::npos, strOut.find("] test [a5.0.1]\033[0m\r\n")) << strOut;
}

TEST(ReceiverRead2, InvalidHandle) {
    const uint8_t au8Bytes[] = {0xA5};
    for (int s32Handle : {-1, 10, 99}) {
        CapturedStream objOut(1);
        EXPECT_EQ(-2, CommandInterfaceRead2(s32Handle, au8Bytes, 1));
        std::string strOut = objOut.Take();
        EXPECT_NE(std::string::npos,
                  strOut.find("] invalid, " + std::to_string(s32Handle) + ".\033[0m\r\n"))
            << strOut;
    }
}

// CommandInterfaceRead2 on an opened instance: handle from the instance table.
class ReceiverRead2Open : public ::testing::Test {
protected:
    static void Noop(_CmdProtocolParam *) {}
    void SetUp() override {
        ASSERT_EQ(0, CommandProtocolMutexInit());
        CmdProtocolFun stFun{};
        stFun.Write = WireWrite;
        stFun.DataProcessing = Noop;
        m_s32Handle = CommandProtocolOpen(&stFun, "rd2", 0);
        ASSERT_GE(m_s32Handle, 0);
        // The engine thread would work the slots; stop it and wait for it.
        CommandProtocolStop(m_s32Handle);
        CommandProtocolWaitEngineEnd(m_s32Handle);
        m_pstInst = CommandProtocolLookup(m_s32Handle);
    }
    int m_s32Handle = -1;
    CmdProtocolInstance *m_pstInst = nullptr;
};

TEST_F(ReceiverRead2Open, ResultsAndWhereFeedingStops) {
    // A frame then garbage: the last byte's result, the frame stored.
    Bytes bytes = MakeFrame(0x0600, 1, {});
    bytes.insert(bytes.end(), {0x00, 0x12});
    EXPECT_EQ(-1, CommandInterfaceRead2(m_s32Handle, bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(0xA5, m_pstInst->recvSlots[0].sync1);
    EXPECT_EQ(0, CommandInterfaceRead2(m_s32Handle, bytes.data(), 0));

    // Seven more stored: the third frame of the next buffer meets full slots;
    // the start of a fourth frame after it is not fed.
    for (int i = 0; i < 7; ++i) {
        Bytes frame = MakeFrame(0x0600, static_cast<uint16_t>(2 + i), {});
        ASSERT_EQ(0, CommandInterfaceRead2(m_s32Handle, frame.data(), 17));
    }
    bytes.clear();
    for (int i = 0; i < 3; ++i) {
        Bytes frame = MakeFrame(0x0600, static_cast<uint16_t>(20 + i), {});
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    bytes.insert(bytes.end(), {0xA5, 0x5A});
    CapturedStream objOut(1);
    EXPECT_EQ(-3, CommandInterfaceRead2(m_s32Handle, bytes.data(), static_cast<int>(bytes.size())));
    std::string strOut = objOut.Take();
    EXPECT_EQ(0, m_pstInst->recvCount); // the trailing A5 5A was not fed
    EXPECT_NE(std::string::npos, strOut.find("] rd2, -3.\033[0m\r\n")) << strOut;
    for (_CmdProtocolParam &stSlot : m_pstInst->recvSlots) {
        EXPECT_EQ(0xA5, stSlot.sync1);
        CommandProtocolFrameClear(&stSlot);
    }
}

// An instance without a Read callback is fed by an application thread through
// CommandInterfaceRead2 while its engine thread takes the frames: the slots
// pass between the two threads (run under ThreadSanitizer too).
std::atomic<int> g_s32FedDelivered{0};
std::atomic<int> g_s32FedWritten{0};

int CountWrite(const uint8_t *, int s32Len) {
    g_s32FedWritten += s32Len;
    return s32Len;
}

void CountDeliver(_CmdProtocolParam *) {
    ++g_s32FedDelivered;
}

bool WaitFor(const std::function<bool()> &fnDone) {
    for (int i = 0; i < 10000; ++i) { // up to about 10 s on a loaded machine
        if (fnDone()) {
            return true;
        }
        usleep(1000);
    }
    return fnDone();
}

TEST(ReceiverFedFromOutside, Read2WhileTheEngineRuns) {
    ASSERT_EQ(0, CommandProtocolMutexInit());
    CmdProtocolFun stFun{};
    stFun.Write = CountWrite;
    stFun.DataProcessing = CountDeliver;
    const int s32Handle = CommandProtocolOpen(&stFun, "feed", 0);
    ASSERT_GE(s32Handle, 0);
    CommandProtocolHeartBeatStatue(s32Handle, 0);
    uint16_t u16Sn = 1;
    for (int s32Round = 1; s32Round <= 20; ++s32Round) {
        for (int k = 0; k < 5; ++k) {
            Bytes frame = MakeFrame(0x0604, u16Sn, Pattern(static_cast<size_t>(k) * 30, u16Sn));
            ++u16Sn;
            EXPECT_EQ(
                0, CommandInterfaceRead2(s32Handle, frame.data(), static_cast<int>(frame.size())));
        }
        ASSERT_TRUE(WaitFor([&] {
            return g_s32FedDelivered == 5 * s32Round && g_s32FedWritten == 17 * 5 * s32Round;
        })) << "round "
            << s32Round << ": " << g_s32FedDelivered << " delivered";
    }
    CommandProtocolStop(s32Handle);
    EXPECT_EQ(0, CommandProtocolWaitEngineEnd(s32Handle));
}

// ---------------------------------------------------------------------------
// Frame choice

TEST_F(Receiver, FrameOfThisMillisecondWaits) {
    Feed(MakeFrame(0x0600, 1, {}));
    EXPECT_EQ(-1, CommandProtocolPickRecvSlot(m_pstInst, g_u32Now));
    EXPECT_EQ(0, CommandProtocolPickRecvSlot(m_pstInst, g_u32Now + 1));
}

TEST_F(Receiver, OldestFirstAndSlotOrderOnTies) {
    const uint32_t au32Stored[] = {300, 100, 100, 200};
    for (uint16_t i = 0; i < 4; ++i) {
        g_u32Now = au32Stored[i];
        Feed(MakeFrame(0x0600, static_cast<uint16_t>(i + 1), {}));
    }
    g_u32Now = 400;
    std::vector<uint16_t> order;
    while (Step()) {
        order.push_back(g_delivered.back().u16Sn);
    }
    EXPECT_EQ((std::vector<uint16_t>{2, 3, 4, 1}), order);
}

// ---------------------------------------------------------------------------
// Frame step

TEST_F(Receiver, ApplicationFrameIsRecordedDeliveredThenAcknowledged) {
    const Bytes payload = Pattern(64, 7);
    g_u32Now = 5000;
    Feed(MakeFrame(0x0604, 0x0102, payload));
    m_pstInst->sendAliveTime[3] = 1;
    Bytes reply = Exchange({});
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(0x0604, g_delivered[0].u16Cmd);
    EXPECT_EQ(0x0102, g_delivered[0].u16Sn);
    EXPECT_EQ(payload, g_delivered[0].data);
    EXPECT_EQ(0u, g_delivered[0].u32WireAtCall); // the reply comes after the callback
    // python: ack of sn 0x0102, param 0x20 0x50, key bits 0.
    EXPECT_EQ(MakeAck(0x0102), reply);
    EXPECT_EQ(0x0102, m_pstInst->recvSnHistory[0]);
    EXPECT_EQ(1, m_pstInst->recvSnIndex);
    EXPECT_EQ(0, UsedRecvSlots());
    for (uint32_t u32Alive : m_pstInst->sendAliveTime) {
        EXPECT_EQ(g_u32Now.load(), u32Alive);
    }

    // The same frame again is a repeat: acknowledged, not delivered.
    reply = Exchange(MakeFrame(0x0604, 0x0102, payload));
    EXPECT_EQ(MakeAck(0x0102), reply);
    EXPECT_EQ(1u, g_delivered.size());
    EXPECT_EQ(1, m_pstInst->recvSnIndex);
}

TEST_F(Receiver, EncipheredFrameIsReadDecipheredAndAcknowledgedInClear) {
    // python: "len 4 key 1" frame and its acknowledgement.
    const Bytes frame = {0xA5, 0x5A, 0x04, 0x00, 0xCE, 0x3D, 0x81, 0xEF, 0xBE,
                         0x66, 0x02, 0xD2, 0xDA, 0x84, 0x06, 0xA2, 0x8D};
    const Bytes ack = {0xA5, 0x5A, 0x04, 0x00, 0xE3, 0x88, 0x01, 0xEF, 0xBE,
                       0x20, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(ack, Exchange(frame));
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(0x0602, g_delivered[0].u16Cmd);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), g_delivered[0].data);
    EXPECT_EQ(0x20, g_delivered[0].u8Param1);

    // A long enciphered frame with key 0: payload deciphered, ack in clear.
    const Bytes payload = Pattern(300, 3);
    EXPECT_EQ(MakeAck(0x0200, 0x00), Exchange(MakeFrame(0x0605, 0x0200, payload, 0x80)));
    ASSERT_EQ(2u, g_delivered.size());
    EXPECT_EQ(payload, g_delivered[1].data);
}

TEST_F(Receiver, DamagedFrameIsDroppedWithoutReply) {
    Bytes frame = MakeFrame(0x0604, 3, Pattern(40, 1));
    frame[20] ^= 0x01;
    m_pstInst->debugFlags = 0x01;
    CapturedStream objOut(1);
    EXPECT_EQ(Bytes{}, Exchange(frame));
    std::string strOut = objOut.Take();
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_EQ(0, UsedRecvSlots());
    EXPECT_EQ(0, m_pstInst->recvSnIndex);
    EXPECT_EQ(CMD_SN_EMPTY, m_pstInst->recvSnHistory[0]);
    EXPECT_NE(std::string::npos, strOut.find("\033[33m[transfer][CommandProtocolFrameStep,"));
    EXPECT_NE(std::string::npos,
              strOut.find("] ==>checksum NG  [test]SN=3  cmd =0x604 len=40\033[0m\r\n"))
        << strOut;
    // Even a damaged frame shows the peer is alive.
    EXPECT_EQ(g_u32Now.load(), m_pstInst->sendAliveTime[9]);
}

TEST_F(Receiver, TraceLinesFollowLevelFlagsAndSkipHeartbeatTraffic) {
    struct Case {
        uint8_t u8Debug;
        int32_t s32Lev;
        bool bLine;
    };
    uint16_t u16Sn = 100;
    for (const Case &stCase : {Case{0x01, 2, true}, Case{0x00, 5, false}, Case{0x01, 1, false}}) {
        m_pstInst->debugFlags = stCase.u8Debug;
        elogLev = stCase.s32Lev;
        CapturedStream objOut(1);
        Exchange(MakeFrame(0x0604, u16Sn, {1}));
        std::string strOut = objOut.Take();
        EXPECT_EQ(stCase.bLine, strOut.find("] ==>checksum OK  [test]SN=" + std::to_string(u16Sn) +
                                            "  cmd =0x604 len=1\033[0m\r\n") != std::string::npos)
            << strOut;
        ++u16Sn;
    }

    // Heartbeats and the acknowledgements of this side's own heartbeats.
    m_pstInst->debugFlags = 0x01;
    elogLev = 5;
    _CmdProtocolParam stBeat{};
    stBeat.cmd = CMD_HEART_BEAT;
    stBeat.len = 4;
    m_pstInst->cipherParam = 0x81; // the queued heartbeat is enciphered
    const int s32BeatSn = CommandProtocolSendCmdAddsub(m_pstInst, &stBeat, 1);
    ASSERT_GE(s32BeatSn, 0);
    CapturedStream objOut(1);
    Exchange(MakeFrame(CMD_HEART_BEAT, 300, Bytes(4, 0)));
    Exchange(MakeAck(static_cast<uint16_t>(s32BeatSn), 0x01));
    std::string strOut = objOut.Take();
    EXPECT_EQ(std::string::npos, strOut.find("checksum")) << strOut;
}

TEST_F(Receiver, HeartbeatIsAcknowledgedButNeverRecorded) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(MakeAck(44), Exchange(MakeFrame(CMD_HEART_BEAT, 44, Bytes(4, 0))));
    }
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_EQ(0, m_pstInst->recvSnIndex);
    for (uint16_t u16Entry : m_pstInst->recvSnHistory) {
        EXPECT_EQ(CMD_SN_EMPTY, u16Entry);
    }
}

TEST_F(Receiver, AcknowledgementGoesToTheAckStepWithoutReply) {
    const uint32_t u32Acks = m_pstInst->ackCount;
    EXPECT_EQ(Bytes{}, Exchange(MakeAck(77)));
    EXPECT_EQ(u32Acks + 1, m_pstInst->ackCount);
    EXPECT_EQ(g_u32Now.load(), m_pstInst->lastAckTime);
    EXPECT_TRUE(g_delivered.empty());
    EXPECT_EQ(0, m_pstInst->recvSnIndex);
}

TEST_F(Receiver, UnwrittenHistoryEntryMakesSn3FFFARepeat) {
    EXPECT_EQ(MakeAck(0x3FFF), Exchange(MakeFrame(0x0604, 0x3FFF, {9})));
    EXPECT_TRUE(g_delivered.empty());
}

TEST_F(Receiver, ClearRecordFlagEmptiesHistoryAndRestartsNumbering) {
    Exchange(MakeFrame(0x0604, 5, {1}));
    Exchange(MakeFrame(0x0604, 6, {2}));
    ASSERT_EQ(2u, g_delivered.size());
    EXPECT_EQ(MakeAck(7), Exchange(MakeFrame(CMD_CLEAR_RECORD_FLAG, 7, {})));
    EXPECT_EQ(2u, g_delivered.size());
    for (uint16_t u16Entry : m_pstInst->recvSnHistory) {
        EXPECT_EQ(CMD_SN_EMPTY, u16Entry);
    }
    EXPECT_EQ(2, m_pstInst->recvSnIndex); // the index keeps its place
    EXPECT_EQ(0, m_pstInst->sendSn);

    // sn 5 is new again, and this side's next queued frame carries sn 0.
    Exchange(MakeFrame(0x0604, 5, {1}));
    EXPECT_EQ(3u, g_delivered.size());
    _CmdProtocolParam stRec{};
    stRec.cmd = 0x0600;
    stRec.len = 1;
    EXPECT_EQ(0, CommandProtocolSendCmdAddsub(m_pstInst, &stRec, 1));
}

TEST_F(Receiver, HistoryClearAskedByAFileSendStartComesBeforeTheRepeatCheck) {
    Exchange(MakeFrame(0x0604, 5, {1}));
    m_pstInst->fileHistoryClearPending = true;
    Exchange(MakeFrame(0x0604, 5, {1}));
    EXPECT_EQ(2u, g_delivered.size());
    EXPECT_FALSE(m_pstInst->fileHistoryClearPending);
}

TEST_F(Receiver, HistoryIsARingOfTen) {
    for (uint16_t u16Sn = 1; u16Sn <= 11; ++u16Sn) {
        Exchange(MakeFrame(0x0604, u16Sn, {1}));
    }
    ASSERT_EQ(11u, g_delivered.size());
    EXPECT_EQ(11, m_pstInst->recvSnHistory[0]);
    EXPECT_EQ(1, m_pstInst->recvSnIndex);
    // sn 1 was overwritten and counts as new (and takes sn 2's entry); sn 3
    // is still a repeat.
    Exchange(MakeFrame(0x0604, 1, {1}));
    Exchange(MakeFrame(0x0604, 3, {1}));
    EXPECT_EQ(12u, g_delivered.size());
}

// ---------------------------------------------------------------------------
// Reassembly

class Reassembly : public Receiver {
protected:
    /// Feeds the frames one by one, each acted on before the next arrives;
    /// every chunk must be acknowledged.
    void Send(const std::vector<Bytes> &frames) {
        for (const Bytes &frame : frames) {
            const uint16_t u16Sn = static_cast<uint16_t>(frame[7] | (frame[8] << 8));
            EXPECT_EQ(MakeAck(u16Sn, frame[6] & 0x7F), Exchange(frame)) << "sn " << u16Sn;
        }
    }
};

TEST_F(Reassembly, MessagesAreDeliveredOnceAndExact) {
    uint16_t u16Sn = 1;
    for (size_t u32Len : {513u, 992u, 993u, 65535u}) {
        g_delivered.clear();
        const Bytes message = Pattern(u32Len, static_cast<uint32_t>(u32Len));
        std::vector<Bytes> frames = SplitMessage(0x0777, message, u16Sn);
        u16Sn = static_cast<uint16_t>(u16Sn + frames.size());
        Send(frames);
        ASSERT_EQ(1u, g_delivered.size()) << u32Len;
        EXPECT_EQ(0x0777, g_delivered[0].u16Cmd);
        EXPECT_EQ(u32Len, g_delivered[0].u16Len);
        EXPECT_EQ(static_cast<uint16_t>(u16Sn - 1), g_delivered[0].u16Sn); // the last chunk's
        EXPECT_TRUE(message == g_delivered[0].data) << u32Len;
        EXPECT_EQ(nullptr, m_pstInst->PacketsBuffer);
        EXPECT_EQ(0, m_pstInst->recvLarge.PacketsRecvNum);
    }
}

TEST_F(Reassembly, ChunksInAnyOrderAndEncipheredChunks) {
    // Chunks queued in one millisecond can leave highest slot first.
    const Bytes message = Pattern(2000, 5);
    std::vector<Bytes> frames = SplitMessage(0x0778, message, 40);
    std::reverse(frames.begin(), frames.end());
    Send(frames);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(message == g_delivered[0].data);

    // Enciphered chunk frames (key 1) are deciphered before reassembly.
    g_delivered.clear();
    std::vector<Bytes> cipher;
    const size_t u32Len = 700;
    const Bytes second = Pattern(u32Len, 6);
    for (size_t i = 0; i < 2; ++i) {
        const size_t u32SendLen = i == 0 ? 496 : u32Len - 496;
        cipher.push_back(MakeFrame(CMD_LARGE_PACKET_PROTOCOL, static_cast<uint16_t>(60 + i),
                                   ChunkPayload(2, u32Len, static_cast<uint16_t>(i * 496),
                                                static_cast<uint16_t>(u32SendLen), 0x0779,
                                                second.data() + i * 496, u32SendLen),
                                   0x81));
    }
    Send(cipher);
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(second == g_delivered[0].data);
    EXPECT_EQ(0x81, g_delivered[0].u8Flags);
}

TEST_F(Reassembly, RepeatedChunkIsAcknowledgedButNotCountedTwice) {
    const Bytes message = Pattern(1200, 8);
    std::vector<Bytes> frames = SplitMessage(0x0780, message, 10);
    Send({frames[0], frames[0], frames[1]});
    EXPECT_TRUE(g_delivered.empty());
    // A repeat that outlived the history (link supervision emptied it) is
    // still not counted: two of three chunks are in, not three.
    CommandProtocolClearHistory(m_pstInst);
    Send({frames[1]});
    EXPECT_TRUE(g_delivered.empty());
    Send({frames[2]});
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(message == g_delivered[0].data);
}

TEST_F(Reassembly, MalformedChunksAreDroppedUncopiedAndUncounted) {
    const Bytes message = Pattern(1000, 9);
    const uint8_t *pu8M = message.data();
    struct Case {
        const char *pszName;
        Bytes payload;
    };
    const Case astCases[] = {
        // Data would run past the 1000-byte reassembly buffer.
        {"past the message", ChunkPayload(3, 1000, 992, 100, 0x0781, pu8M, 100)},
        {"address off the grid", ChunkPayload(3, 1000, 500, 496, 0x0781, pu8M, 496)},
        // SendLen larger than the chunk's own data.
        {"SendLen past the frame", ChunkPayload(3, 1000, 0, 496, 0x0781, pu8M, 200)},
        {"PacketsNum wrong", ChunkPayload(2, 1000, 0, 496, 0x0781, pu8M, 496)},
        {"PacketsNum zero", ChunkPayload(0, 1000, 0, 496, 0x0781, pu8M, 496)},
        {"PacketsLen zero", ChunkPayload(0, 0, 0, 0, 0x0781, pu8M, 0)},
        {"frame shorter than the sub-header", Bytes{3, 0, 0xE8, 0x03, 0, 0, 0xF0, 0x01}},
        {"short frame", Bytes{3, 0, 0xE8, 0x03}},
    };
    uint16_t u16Sn = 200;
    for (const Case &stCase : astCases) {
        CapturedStream objOut(1);
        Send({MakeFrame(CMD_LARGE_PACKET_PROTOCOL, u16Sn++, stCase.payload)});
        std::string strOut = objOut.Take();
        EXPECT_NE(std::string::npos,
                  strOut.find("\033[31m[transfer][CommandProtocolRecvLargePacket,"))
            << stCase.pszName;
        EXPECT_NE(std::string::npos, strOut.find("] [test] chunk dropped: ")) << stCase.pszName;
        EXPECT_EQ(nullptr, m_pstInst->PacketsBuffer) << stCase.pszName;
    }
    // A good message afterwards is whole.
    Send(SplitMessage(0x0781, message, u16Sn));
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(message == g_delivered[0].data);
}

TEST_F(Reassembly, IncompleteMessageIsDiscardedNeverMixed) {
    // A: 3 chunks, only 0 and 2 arrive (the sender gave up). B differs in length.
    const Bytes a = Pattern(1400, 11);
    const Bytes b = Pattern(1300, 12);
    std::vector<Bytes> framesA = SplitMessage(0x0790, a, 1);
    CapturedStream objOut(1);
    Send({framesA[0], framesA[2]});
    Send(SplitMessage(0x0790, b, 10));
    std::string strOut = objOut.Take();
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(b == g_delivered[0].data);
    EXPECT_NE(std::string::npos,
              strOut.find("] [test] large packet discarded: 2 of 3 chunks, PacketsLen=1400 "
                          "cmd=0x790\033[0m\r\n"))
        << strOut;

    // C has A's header but other bytes; it arrives last chunk first. Its chunk 2
    // meets A's chunk 2 with other bytes: A goes, C is delivered whole.
    g_delivered.clear();
    framesA = SplitMessage(0x0790, a, 30);
    Send({framesA[0], framesA[2]});
    const Bytes c = Pattern(1400, 13);
    std::vector<Bytes> framesC = SplitMessage(0x0790, c, 40);
    Send({framesC[2], framesC[1], framesC[0]});
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(c == g_delivered[0].data);
}

TEST_F(Reassembly, StaleChunkOfAnEarlierMessageDoesNotFillAGap) {
    const Bytes m1 = Pattern(1400, 21);
    const Bytes m2 = Pattern(1400, 22);
    std::vector<Bytes> frames1 = SplitMessage(0x07A0, m1, 10);
    std::vector<Bytes> frames2 = SplitMessage(0x07A0, m2, 20);
    Send(frames1);
    ASSERT_EQ(1u, g_delivered.size());
    // M2's chunk 1 is lost on the way; M1's chunk 1 comes again after the
    // history was emptied and would fit the gap by header and place.
    Send({frames2[0], frames2[2]});
    CommandProtocolClearHistory(m_pstInst);
    Send({frames1[1]});
    ASSERT_EQ(1u, g_delivered.size()) << "a message mixed from M1 and M2 was delivered";
    Send({frames2[1]});
    for (const Delivered &stMsg : g_delivered) {
        EXPECT_TRUE(stMsg.data == m1 || stMsg.data == m2);
    }
}

TEST_F(Reassembly, ChunkTraceLines) {
    const Bytes message = Pattern(600, 30);
    m_pstInst->debugFlags = 0x01;
    CapturedStream objOut(1);
    Send(SplitMessage(0x07C0, message, 1));
    std::string strOut = objOut.Take();
    EXPECT_NE(std::string::npos, strOut.find("\033[36m[transfer][CommandProtocolRecvLargePacket,"));
    EXPECT_NE(std::string::npos,
              strOut.find("] PacketsNum=2 ,PacketsLen=600,cmdlen=508\033[0m\r\n"));
    EXPECT_NE(std::string::npos, strOut.find("] SendAddr=0,SendLen=496\033[0m\r\n"));
    EXPECT_NE(std::string::npos,
              strOut.find("] PacketsNum=2 ,PacketsLen=600,cmdlen=116\033[0m\r\n"));
    EXPECT_NE(std::string::npos, strOut.find("] SendAddr=496,SendLen=104\033[0m\r\n"));
    ASSERT_EQ(1u, g_delivered.size());

    // Information lines need level 3.
    elogLev = 2;
    CapturedStream objQuiet(1);
    Send(SplitMessage(0x07C0, message, 10));
    EXPECT_EQ(std::string::npos, objQuiet.Take().find("PacketsNum="));
}

TEST_F(Reassembly, SingleChunkMessagesAreAccepted) {
    const Bytes tiny = {7, 8, 9};
    const Bytes small = Pattern(300, 4);
    Send({MakeFrame(CMD_LARGE_PACKET_PROTOCOL, 1,
                    ChunkPayload(1, 3, 0, 3, 0x07B0, tiny.data(), tiny.size()))});
    Send({MakeFrame(CMD_LARGE_PACKET_PROTOCOL, 2,
                    ChunkPayload(1, 300, 0, 300, 0x07B1, small.data(), small.size()))});
    ASSERT_EQ(2u, g_delivered.size());
    EXPECT_EQ(tiny, g_delivered[0].data);
    EXPECT_EQ(small, g_delivered[1].data);
}

} // namespace
