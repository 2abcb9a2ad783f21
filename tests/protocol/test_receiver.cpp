// Frame receiver: byte assembly, frame choice, the frame step (check, decipher,
// repeat filter, dispatch, reply) and the reassembly of large-packet messages.
#include <string>

#include "protocol_fixture.h"

namespace {

class Receiver : public UnitInstance {
protected:
    /// Feeds chunk frames; each must be acknowledged.
    void Send(const std::vector<Bytes> &frames) {
        for (const Bytes &frame : frames) {
            EXPECT_EQ(MakeAck(static_cast<uint16_t>(frame[7] | (frame[8] << 8)), frame[6] & 0x7F),
                      Exchange({frame}));
        }
    }
    bool NoFrameStored() { return CommandProtocolPickRecvSlot(m_pstInst, g_u32Now + 1) < 0; }
};

TEST_F(Receiver, FramesAreFoundBySyncBytesAndCompleteAtTheirExactLength) {
    // Noise, noise, A5 taken, the second A5 returns to hunting and its 5A is
    // dropped: the frame body that follows is lost.
    const Bytes frame = MakeFrame(0x0600, 1, {1, 2, 3});
    const std::vector<int> results =
        Feed(Cat({{0x11, 0x5A, 0xA5, 0xA5, 0x5A}, Bytes(frame.begin() + 2, frame.end())}));
    EXPECT_EQ((std::vector<int>{-1, -1, 0, -1, -1}), std::vector<int>(&results[0], &results[5]));
    EXPECT_TRUE(NoFrameStored());
    for (size_t u32Len : {0u, 4u, 5u, 512u}) {
        const Bytes whole = MakeFrame(0x0604, 9, Pattern(u32Len, 1));
        ASSERT_EQ(u32Len <= 4 ? 17u : 13u + u32Len, whole.size());
        EXPECT_EQ(std::vector<int>(whole.size(), 0), Feed(whole));
        EXPECT_EQ(0, memcmp(&m_pstInst->recvSlots[0], whole.data(), 13)) << u32Len;
        EXPECT_EQ(0, memcmp(CmdParamPayload(&m_pstInst->recvSlots[0]), &whole[13], u32Len));
        CommandProtocolFrameClear(&m_pstInst->recvSlots[0]);
        EXPECT_TRUE(NoFrameStored()) << "one frame, one slot";
    }
}

TEST_F(Receiver, OversizedLenIsAbandonedAtTheSixthByte) {
    CapturedStream objOut(1);
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0, -2}), Feed({0xA5, 0x5A, 0x01, 0x02, 0x00, 0x00}));
    // The line shows the assembly buffer's first byte, len and the encryption bit.
    EXPECT_NE(std::string::npos, objOut.Take().find("] test [a5.201.0]\033[0m\r\n"));
    EXPECT_EQ(std::vector<int>(17, 0), Feed(MakeFrame(0x0600, 1, {}))); // hunting again
}

TEST_F(Receiver, OldestFrameFirstButNotInTheMillisecondItArrived) {
    g_u32Now = 300;
    Feed(MakeFrame(0x0600, 1, {}));
    EXPECT_EQ(-1, CommandProtocolPickRecvSlot(m_pstInst, 300));
    for (uint16_t u16Sn : {2, 3, 4}) {
        g_u32Now = u16Sn == 4 ? 200 : 100;
        Feed(MakeFrame(0x0600, u16Sn, {}));
    }
    g_u32Now = 400;
    std::vector<uint16_t> vecOrder;
    while (Step()) {
        vecOrder.push_back(g_delivered.back().u16Sn);
    }
    EXPECT_EQ((std::vector<uint16_t>{2, 3, 4, 1}), vecOrder) << "of equal ages the first stored";

    // Slots are reused lowest first: a frame stored after another in the
    // same millisecond can sit in a lower slot, and still goes second.
    g_u32Now = 500;
    Feed(MakeFrame(0x0600, 5, {})); // slot 0
    g_u32Now = 501;
    Feed(MakeFrame(0x0600, 6, {})); // slot 1
    ASSERT_TRUE(Step());            // takes 5 at 502 and frees slot 0
    EXPECT_EQ(5, g_delivered.back().u16Sn);
    g_u32Now = 501;
    Feed(MakeFrame(0x0600, 7, {})); // slot 0, same millisecond as 6
    vecOrder.clear();
    while (Step()) {
        vecOrder.push_back(g_delivered.back().u16Sn);
    }
    EXPECT_EQ((std::vector<uint16_t>{6, 7}), vecOrder) << "in the order they came";
}

TEST_F(Receiver, FramesAreCheckedDecipheredRecordedDeliveredThenAcknowledged) {
    const Bytes payload = Pattern(64, 7);
    EXPECT_EQ(MakeAck(0x0102), Exchange({MakeFrame(0x0604, 0x0102, payload)}));
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_EQ(0x0604, g_delivered[0].u16Cmd);
    EXPECT_EQ(payload, g_delivered[0].data);
    EXPECT_EQ(0u, g_delivered[0].u32WireAtCall); // the reply comes after the callback
    // The same frame again is a repeat: acknowledged, not delivered.
    EXPECT_EQ(MakeAck(0x0102), Exchange({MakeFrame(0x0604, 0x0102, payload)}));
    // Enciphered frames are deciphered before cmd is read; the replies go in clear.
    EXPECT_EQ(Cat({MakeAck(0x0200, 0x01), MakeAck(0x0201)}),
              Exchange({MakeFrame(0x0605, 0x0200, {1, 2, 3, 4}, 0x81),
                        MakeFrame(0x0606, 0x0201, payload, 0x80)}));
    ASSERT_EQ(3u, g_delivered.size());
    EXPECT_EQ(0x0605, g_delivered[1].u16Cmd);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), g_delivered[1].data);
    EXPECT_EQ(payload, g_delivered[2].data);

    // A damaged frame is dropped without a reply or a record; an
    // acknowledgement goes to the acknowledgement step, without a reply.
    Bytes damaged = MakeFrame(0x0604, 3, payload);
    damaged[20] ^= 0x01;
    EXPECT_EQ(Bytes{}, Exchange({damaged, MakeAck(77)}));
    EXPECT_EQ(1u, m_pstInst->ackCount);
    EXPECT_EQ(3u, g_delivered.size());
    EXPECT_EQ(3, m_pstInst->recvSnIndex);
    EXPECT_TRUE(NoFrameStored());
}

TEST_F(Receiver, RepeatFilter) {
    // Heartbeats are acknowledged and never recorded; sn 0x3FFF matches an
    // entry not written since the history was emptied.
    const Bytes beat = MakeFrame(CMD_HEART_BEAT, 44, Bytes(4, 0));
    EXPECT_EQ(Cat({MakeAck(44), MakeAck(44), MakeAck(0x3FFF)}),
              Exchange({beat, beat, MakeFrame(0x0604, 0x3FFF, {9})}));
    EXPECT_TRUE(g_delivered.empty());
    // A ring of ten: after sn 1..11, sn 1 is new again and sn 3 still a repeat.
    for (uint16_t u16Sn : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 3}) {
        Exchange({MakeFrame(0x0604, u16Sn, {1})});
    }
    EXPECT_EQ(12u, g_delivered.size());
    // CMD_CLEAR_RECORD_FLAG empties the history (the index stays) and restarts
    // this side's numbering at 0.
    EXPECT_EQ(MakeAck(7), Exchange({MakeFrame(CMD_CLEAR_RECORD_FLAG, 7, {})}));
    EXPECT_EQ(2, m_pstInst->recvSnIndex);
    Exchange({MakeFrame(0x0604, 3, {1})});
    EXPECT_EQ(13u, g_delivered.size());
    _CmdProtocolParam stRec = Rec(0x0600, {1});
    EXPECT_EQ(0, CommandProtocolSendCmdAddsub(m_pstInst, &stRec, 1));
}

TEST_F(Receiver, MessagesAreDeliveredOnceAndByteExact) {
    uint16_t u16Sn = 1;
    for (size_t u32Len : {300u, 513u, 992u, 993u, 2000u, 65535u}) {
        g_delivered.clear();
        // Chunks queued in one millisecond may leave highest slot first; they
        // may come enciphered.
        const Bytes msg = Pattern(u32Len, u16Sn);
        std::vector<Bytes> frames = Split(0x0777, msg, u16Sn, u32Len == 2000 ? 0x81 : 0);
        u16Sn = static_cast<uint16_t>(u16Sn + frames.size());
        Send(u32Len == 2000 ? std::vector<Bytes>(frames.rbegin(), frames.rend()) : frames);
        ASSERT_EQ(1u, g_delivered.size()) << u32Len;
        EXPECT_EQ(0x0777, g_delivered[0].u16Cmd);
        EXPECT_TRUE(msg == g_delivered[0].data) << u32Len;
        EXPECT_EQ(nullptr, m_pstInst->PacketsBuffer);
    }
}

TEST_F(Receiver, RepeatedChunkIsAcknowledgedButNotCountedTwice) {
    const Bytes msg = Pattern(1200, 8);
    std::vector<Bytes> frames = Split(0x0780, msg, 10);
    Send({frames[0], frames[0], frames[1]});
    CommandProtocolClearHistory(m_pstInst); // even a repeat that outlived the history
    Send({frames[1]});
    EXPECT_TRUE(g_delivered.empty());
    Send({frames[2]});
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(msg == g_delivered[0].data);
}

TEST_F(Receiver, MalformedChunksAreDroppedWithAnErrorLine) {
    const Bytes msg = Pattern(1000, 9);
    const uint8_t *pu8 = msg.data();
    const Bytes aPayloads[] = {
        Chunk(3, 1000, 992, 100, 0x0781, pu8, 100), // past the end of the message
        Chunk(3, 1000, 500, 496, 0x0781, pu8, 496), // not at a chunk boundary
        Chunk(3, 1000, 0, 496, 0x0781, pu8, 200),   // SendLen past the frame's payload
        Chunk(2, 1000, 0, 496, 0x0781, pu8, 496),   // PacketsNum does not fit PacketsLen
        Bytes{3, 0, 0xE8, 0x03, 0, 0, 0xF0, 0x01},  // shorter than the sub-header
        Bytes{3, 0, 0xE8, 0x03},                    // a short frame
    };
    uint16_t u16Sn = 200;
    for (const Bytes &payload : aPayloads) {
        CapturedStream objOut(1);
        Send({MakeFrame(CMD_LARGE_PACKET_PROTOCOL, u16Sn++, payload)});
        const std::string strOut = objOut.Take();
        EXPECT_NE(std::string::npos, strOut.find("] [test] chunk dropped: ")) << strOut;
        EXPECT_EQ(nullptr, m_pstInst->PacketsBuffer);
    }
    Send(Split(0x0781, msg, u16Sn));
    ASSERT_EQ(1u, g_delivered.size());
    EXPECT_TRUE(msg == g_delivered[0].data);
}

TEST_F(Receiver, AnIncompleteMessageIsDiscardedNeverMixedWithTheNext) {
    // A (1400 bytes, 3 chunks) loses its last chunk; the next message differs
    // from it only in its bytes (a new chunk at offset 0), or in PacketsLen,
    // PacketsNum or PacketsCmd.
    const Bytes a = Pattern(1400, 11);
    const std::pair<size_t, uint16_t> aNext[] = {
        {1400, 0x0790}, {1000, 0x0790}, {600, 0x0790}, {1400, 0x0791}};
    uint16_t u16Sn = 1;
    for (const auto &stNext : aNext) {
        g_delivered.clear();
        const Bytes b = Pattern(stNext.first, 100u + u16Sn);
        std::vector<Bytes> framesA = Split(0x0790, a, u16Sn);
        CapturedStream objOut(1);
        Send({framesA[0], framesA[1]});
        Send(Split(stNext.second, b, static_cast<uint16_t>(u16Sn + 3)));
        const std::string strOut = objOut.Take();
        u16Sn = static_cast<uint16_t>(u16Sn + 10);
        ASSERT_EQ(1u, g_delivered.size()) << stNext.first;
        EXPECT_TRUE(b == g_delivered[0].data) << stNext.first;
        EXPECT_NE(std::string::npos, strOut.find("] [test] large packet discarded: 2 of 3 chunks, "
                                                 "PacketsLen=1400 cmd=0x790\033[0m\r\n"))
            << strOut;
    }
}

} // namespace
