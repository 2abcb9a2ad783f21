// The receiving side: byte assembly, the order in which stored frames are
// taken, the frame step (check, decipher, repeat filter, delivery, reply) and
// the reassembly of large-packet messages.
#include "protocol_fixture.h"

namespace {

using Receiver = DrivenInstance;

TEST_F(Receiver, FramesAreFoundBySyncBytesAndCompleteAtTheirExactLength) {
    // A stray A5 and A5 00 before a frame: its own A5 starts it, right behind.
    const Bytes frame = MakeFrame(0x0600, 1, {1, 2, 3});
    std::vector<int> vecResults;
    for (uint8_t u8Byte : Cat({{0x11, 0x5A, 0xA5, 0x00, 0xA5, 0xA5}, frame})) {
        vecResults.push_back(CommandProtocolRecvOneByte(Inst(), u8Byte));
    }
    EXPECT_EQ((std::vector<int>{-1, -1, 0, -1, 0, 0, 0, 0}),
              std::vector<int>(vecResults.begin(), vecResults.begin() + 8));
    EXPECT_TRUE(Pass());
    for (size_t u32Len : {0u, 4u, 5u, 512u}) {
        const Bytes whole =
            MakeFrame(0x0604, static_cast<uint16_t>(10 + u32Len), Pattern(u32Len, 1));
        ASSERT_EQ(u32Len <= 4 ? 17u : 13u + u32Len, whole.size());
        Feed(Bytes(whole.begin(), whole.end() - 1));
        EXPECT_FALSE(Pass()) << "complete before its last byte: " << u32Len;
        Feed(Bytes(whole.end() - 1, whole.end()));
        EXPECT_TRUE(Pass());
        EXPECT_FALSE(Pass()) << "one frame, one slot";
    }
    ASSERT_EQ(5u, s_delivered.size());
    EXPECT_EQ((Bytes{1, 2, 3}), s_delivered[0].data);
    EXPECT_EQ(Pattern(512, 1), s_delivered[4].data);

    // len above 512: abandoned at its sixth byte, with a line showing the
    // first byte, len and the encryption bit; then hunting again.
    CapturedStream objOut(1);
    EXPECT_EQ(-2, Feed({0xA5, 0x5A, 0x01, 0x02, 0x00, 0x00, 0x80}));
    EXPECT_NE(std::string::npos, objOut.Take().find("] test [a5.201.0]\033[0m\r\n"));
    EXPECT_EQ("ack1", Exchange({frame}));
}

TEST_F(Receiver, Read2StopsAtAFrameThatFindsNoFreeSlot) {
    EXPECT_EQ(-1, Feed(Cat({MakeFrame(0x0600, 1, {}), {0x00, 0x12}}))) << "the last byte's result";
    Bytes bytes;
    for (uint16_t u16Sn = 2; u16Sn <= 12; ++u16Sn) {
        bytes = Cat({bytes, MakeFrame(0x0600, u16Sn, {})});
    }
    CapturedStream objOut(1);
    EXPECT_EQ(-3, Feed(bytes)) << "the eleventh frame meets ten full slots";
    EXPECT_NE(std::string::npos, objOut.Take().find("] test, -3.\033[0m\r\n"));
    EXPECT_EQ(0, Feed({}));
    while (Pass()) {
    }
    ASSERT_EQ(10u, s_delivered.size());
    Feed(Bytes(bytes.end() - 17, bytes.end())); // the twelfth was not fed
    Pass();
    EXPECT_EQ(12, s_delivered.back().u16Sn);
}

TEST_F(Receiver, OldestFrameFirstButNotInTheMillisecondItArrived) {
    s_u32Now = 300;
    Feed(MakeFrame(0x0600, 1, {}));
    EXPECT_FALSE(PassAt(300));
    for (uint16_t u16Sn : {2, 3, 4}) {
        s_u32Now = u16Sn == 4 ? 200 : 100;
        Feed(MakeFrame(0x0600, u16Sn, {}));
    }
    // Of equal ages the first stored: 2 before 3. Slots are reused lowest
    // first, so 5, stored after 3 with the same age, sits in a lower slot (2's).
    PassAt(400);
    s_u32Now = 100;
    Feed(MakeFrame(0x0600, 5, {}));
    while (PassAt(401)) {
    }
    std::vector<uint16_t> vecOrder;
    for (const Delivered &stGot : s_delivered) {
        vecOrder.push_back(stGot.u16Sn);
    }
    EXPECT_EQ((std::vector<uint16_t>{2, 3, 5, 4, 1}), vecOrder);
}

TEST_F(Receiver, FramesAreCheckedDecipheredRecordedDeliveredThenAcknowledged) {
    const Bytes payload = Pattern(64, 7);
    EXPECT_EQ("ack258", Exchange({MakeFrame(0x0604, 258, payload)}));
    ASSERT_EQ(1u, s_delivered.size());
    EXPECT_EQ(0x0604, s_delivered[0].u16Cmd);
    EXPECT_EQ(payload, s_delivered[0].data);
    EXPECT_EQ(0u, s_delivered[0].u32WireAtCall) << "the reply comes after the callback";
    EXPECT_EQ("ack258", Exchange({MakeFrame(0x0604, 258, payload)})) << "a repeat";
    // Enciphered frames are deciphered before cmd is read; the replies go in
    // clear with the frame's key bits.
    s_wire.clear();
    for (const Bytes &frame :
         {MakeFrame(0x0605, 512, {1, 2, 3, 4}, 0x81), MakeFrame(0x0606, 513, payload, 0x80)}) {
        Feed(frame);
        Pass();
    }
    EXPECT_EQ(Cat({MakeAck(512, 0x01), MakeAck(513)}), s_wire);
    ASSERT_EQ(3u, s_delivered.size());
    EXPECT_EQ(0x0605, s_delivered[1].u16Cmd);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), s_delivered[1].data);
    EXPECT_EQ(payload, s_delivered[2].data);
    // A damaged frame is dropped without a reply or a record; an
    // acknowledgement gets no reply.
    Bytes damaged = MakeFrame(0x0604, 3, payload);
    damaged[20] ^= 0x01;
    EXPECT_EQ("-", Exchange({damaged, MakeAck(77)}));
    EXPECT_EQ("ack3", Exchange({MakeFrame(0x0604, 3, payload)}));
    EXPECT_EQ(4u, s_delivered.size());
}

TEST_F(Receiver, RepeatFilterRemembersTenSequenceNumbers) {
    // Heartbeats are acknowledged and never recorded; sn 0x3FFF matches an
    // entry not written since the history was emptied.
    const Bytes beat = MakeFrame(CMD_HEART_BEAT, 44, Bytes(4, 0));
    EXPECT_EQ("ack44 ack44 ack16383", Exchange({beat, beat, MakeFrame(0x0604, 0x3FFF, {9})}));
    EXPECT_TRUE(s_delivered.empty());
    // A ring of ten: after sn 1..11, sn 1 is new again and sn 3 still a repeat.
    for (uint16_t u16Sn : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 3}) {
        Exchange({MakeFrame(0x0604, u16Sn, {1})});
    }
    EXPECT_EQ(12u, s_delivered.size());
    // The peer's clear empties the history and restarts this side's numbering at 0.
    EXPECT_EQ("ack7", Exchange({MakeFrame(CMD_CLEAR_RECORD_FLAG, 7, {})}));
    Exchange({MakeFrame(0x0604, 3, {1})});
    EXPECT_EQ(13u, s_delivered.size());
    EXPECT_EQ(0, Queue(0x0600, {1}));
}

TEST_F(Receiver, MessagesAreDeliveredOnceAndByteExact) {
    uint16_t u16Sn = 1;
    for (size_t u32Len : {300u, 513u, 992u, 993u, 2000u, 65535u}) {
        s_delivered.clear();
        // Chunks queued in one millisecond may leave highest slot first; they
        // may come enciphered.
        const Bytes msg = Pattern(u32Len, u16Sn);
        std::vector<Bytes> frames = Split(0x0777, msg, u16Sn, u32Len == 2000 ? 0x81 : 0);
        u16Sn = static_cast<uint16_t>(u16Sn + frames.size());
        if (u32Len == 2000) {
            std::reverse(frames.begin(), frames.end());
        }
        for (const Bytes &frame : frames) {
            Exchange({frame});
        }
        ASSERT_EQ(1u, s_delivered.size()) << u32Len;
        EXPECT_EQ(0x0777, s_delivered[0].u16Cmd);
        EXPECT_TRUE(msg == s_delivered[0].data) << u32Len;
    }
    // A chunk taken twice, even after the history was emptied, counts once.
    const Bytes msg = Pattern(1200, 8);
    const std::vector<Bytes> frames = Split(0x0780, msg, 10);
    s_delivered.clear();
    EXPECT_EQ("ack10 ack10 ack11 ack0 ack11",
              Exchange({frames[0], frames[0], frames[1], MakeFrame(CMD_CLEAR_RECORD_FLAG, 0, {}),
                        frames[1]}));
    EXPECT_TRUE(s_delivered.empty());
    Exchange({frames[2]});
    ASSERT_EQ(1u, s_delivered.size());
    EXPECT_TRUE(msg == s_delivered[0].data);
}

TEST_F(Receiver, MalformedChunksAreDroppedAndIncompleteMessagesNeverMixed) {
    const Bytes msg = Pattern(1000, 9);
    auto fnChunk = [&](uint8_t u8Num, size_t u32Addr, size_t u32SendLen, size_t u32DataLen) {
        Bytes chunk = Split(0x0781, msg, 0)[0];
        chunk = Bytes(chunk.begin() + 13, chunk.begin() + 25); // the sub-header
        chunk[0] = u8Num;
        Put16(chunk, 4, u32Addr);
        Put16(chunk, 6, u32SendLen);
        return Cat(
            {chunk, Bytes(msg.begin(), msg.begin() + static_cast<std::ptrdiff_t>(u32DataLen))});
    };
    const Bytes aPayloads[] = {
        fnChunk(3, 992, 100, 100),                 // past the end of the message
        fnChunk(3, 500, 496, 496),                 // not at a chunk boundary
        fnChunk(3, 0, 496, 200),                   // SendLen past the frame's payload
        fnChunk(2, 0, 496, 496),                   // PacketsNum does not fit PacketsLen
        Bytes{3, 0, 0xE8, 0x03, 0, 0, 0xF0, 0x01}, // shorter than the sub-header
        Bytes{3, 0, 0xE8, 0x03},                   // a short frame
    };
    uint16_t u16Sn = 200;
    for (const Bytes &payload : aPayloads) {
        CapturedStream objOut(1);
        Exchange({MakeFrame(CMD_LARGE_PACKET_PROTOCOL, u16Sn++, payload)});
        EXPECT_NE(std::string::npos, objOut.Take().find("] [test] chunk dropped: "));
    }
    EXPECT_TRUE(s_delivered.empty());

    // A (1400 bytes, 3 chunks) loses its last chunk; the next message differs
    // from it only in its bytes (a new chunk at offset 0), or in PacketsLen,
    // PacketsNum or PacketsCmd: it alone is delivered.
    const Bytes a = Pattern(1400, 11);
    const std::pair<size_t, uint16_t> aNext[] = {
        {1400, 0x0790}, {1000, 0x0790}, {600, 0x0790}, {1400, 0x0791}};
    for (const auto &stNext : aNext) {
        s_delivered.clear();
        const Bytes b = Pattern(stNext.first, u16Sn);
        const std::vector<Bytes> framesA = Split(0x0790, a, u16Sn);
        CapturedStream objOut(1);
        Exchange({framesA[0]});
        Exchange({framesA[1]});
        for (const Bytes &frame : Split(stNext.second, b, static_cast<uint16_t>(u16Sn + 3))) {
            Exchange({frame});
        }
        u16Sn = static_cast<uint16_t>(u16Sn + 10);
        ASSERT_EQ(1u, s_delivered.size()) << stNext.first;
        EXPECT_TRUE(b == s_delivered[0].data) << stNext.first;
        EXPECT_NE(std::string::npos, objOut.Take().find("] [test] large packet discarded: 2 of 3 "
                                                        "chunks, PacketsLen=1400 cmd=0x790"));
    }
}

} // namespace
