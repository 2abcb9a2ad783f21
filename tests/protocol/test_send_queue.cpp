// The sending side driven pass by pass: order and times, the window, the
// hold, heartbeats, the link, acknowledgements, queries, splitting, reset.
#include <map>
#include <sstream>

#include "protocol_fixture.h"

namespace {

class SendQueue : public DrivenInstance {
protected:
    /// A script of steps "<ms> <step> <arg> <result>": "queue" arg frames (cmd
    /// 0x600), "prio" one with priority, a "pass", an "ack" of sn arg or a
    /// command from the "peer" with sn arg (stored a millisecond before their
    /// pass), heartbeats "beat" on (1) or off (0), the "link" status. The
    /// result: what was written (Show) and " d" when the peer's command was
    /// delivered, or "up"/"down" for the link.
    static void Run(int s32Mode, const std::vector<std::string> &vecScript) {
        Reset(s32Mode);
        for (const std::string &strStep : vecScript) {
            std::istringstream objIn(strStep);
            uint32_t u32T = 0;
            int s32Arg = 0;
            std::string strDo, strExpect, strGot;
            objIn >> u32T >> strDo >> s32Arg;
            std::getline(objIn >> std::ws, strExpect);
            s_u32Now = u32T - (strDo == "ack" || strDo == "peer" ? 1 : 0);
            const size_t u32Delivered = s_delivered.size();
            for (int i = 0; i < (strDo == "queue" ? s32Arg : strDo == "prio" ? 1 : 0); ++i) {
                Send(Handle(), 0x0600, {1}, strDo == "prio" ? 1 : 0);
            }
            if (strDo == "beat") {
                CommandProtocolHeartBeatStatue(Handle(), s32Arg);
            } else if (strDo == "link") {
                strGot = CommandProtocolHeartBeatStatue(Handle(), 1) != 0 ? "up" : "down";
            } else if (strDo != "queue" && strDo != "prio") {
                const uint16_t u16Sn = static_cast<uint16_t>(s32Arg);
                Feed(strDo == "ack"    ? MakeAck(u16Sn)
                     : strDo == "peer" ? MakeFrame(0x0700, u16Sn, {1})
                                       : Bytes());
                PassAt(u32T);
                strGot = Show(Sent()) + (s_delivered.size() > u32Delivered ? " d" : "");
            }
            EXPECT_EQ(strExpect, strGot) << strStep;
        }
    }
};

// Ten frames queued at once are all due; of equal ages the higher slot goes
// first, but only sn 1..5: the peer remembers the last ten sequence numbers,
// and a frame waiting for its acknowledgement must not see ten newer ones
// recorded before its repeat. An acknowledgement of another frame keeps the
// window where it is (1105); the oldest one's moves it (1115). After 5 s
// without a word from the peer the repetition is held (6126), and any frame
// from the peer resumes it. A priority frame goes before every frame sent
// less than a second ago, whatever its slot; fast mode sends every due frame
// in each pass.
TEST_F(SendQueue, OneFrameEvery10msFromAWindowOfFiveRepeated100msApartHeldAfter5s) {
    Run(0, {"1000 queue 10", "1000 pass 0 5", "1009 pass 0 -", "1010 pass 0 4", "1020 pass 0 3",
            "1030 pass 0 2", "1040 pass 0 1", "1050 pass 0 -", "1100 pass 0 5", "1105 ack 3 -",
            "1110 pass 0 4", "1115 ack 1 -", "1120 pass 0 6", "6115 pass 0 2", "6126 pass 0 -",
            "6200 peer 9 ack9 d", "6210 pass 0 5"});
    Run(0, {"1000 queue 2", "1000 pass 0 2", "1010 pass 0 1", "1015 ack 1 -", "1100 prio 0",
            "1110 pass 0 3", "1120 pass 0 2"});
    Run(1, {"1000 queue 7", "1000 pass 0 5 4 3 2 1", "1001 pass 0 -", "1100 pass 0 5 4 3 2 1"});
}

// A heartbeat after more than 1000 ms without a write, sent at the next
// transmit; the link is down once no acknowledgement came for 3000 ms, and a
// link that goes down forgets the sequence numbers it has seen.
TEST_F(SendQueue, HeartbeatsOnAnIdleLinkAndTheLinkStatus) {
    Run(0, {"1000 beat 1", "2000 pass 0 -", "2001 pass 0 -", "2011 pass 0 hb", "2015 ack 1 -",
            "3011 pass 0 -", "3012 pass 0 -", "3025 pass 0 hb", "5015 pass 0 hb", "5015 link 0 up",
            "5016 peer 5 ack5 d", "5026 pass 0 -", "5026 link 0 down", "5030 peer 5 ack5 d"});
}

// A receiver hunting for a frame start takes a 0xA5 for one and drops a frame
// start right behind it: one filler byte keeps repeats of a frame ending in
// 0xA5 apart.
TEST_F(SendQueue, RepeatsOfAFrameEndingIn0xA5AreKeptApartByAFillerByte) {
    Bytes data = Pattern(64, 3);
    data.back() = 0xA5;
    const Bytes frame =
        MakeFrame(0x0604, static_cast<uint16_t>(Send(Handle(), 0x0604, data)), data);
    PassAt(1000);
    PassAt(1100);
    EXPECT_EQ(frame + Bytes{0x00} + frame, s_wire);
}

TEST_F(SendQueue, AcknowledgementsQueriesAndAFullQueue) {
    // An acknowledgement empties the first slot with its sn: two frames have
    // sn 0 after the peer twice restarted this side's numbering.
    Exchange(MakeFrame(CMD_CLEAR_RECORD_FLAG, 1, {}));
    EXPECT_EQ(0, Send(Handle(), 0x0604, Pattern(20, 1)));
    EXPECT_EQ(1, Send(Handle(), 0x0604, Pattern(20, 2)));
    Exchange(MakeFrame(CMD_CLEAR_RECORD_FLAG, 2, {}));
    EXPECT_EQ(0, Send(Handle(), 0x0605, Pattern(20, 3), 1));
    EXPECT_EQ((std::vector<uint32_t>{5000, 5000}), s_pauses) << "5 ms after a normal frame only";
    Exchange(MakeAck(0));
    EXPECT_EQ(2, CommandProtocolGetSendBufNum(Handle()));
    EXPECT_EQ(0, CommandProtocolConfirmCmdsent(Handle(), 0)) << "the second one waits";
    EXPECT_EQ(1, CommandProtocolConfirmCmdsent(Handle(), 7)) << "never used";
    Exchange(MakeAck(0) + MakeAck(1));
    // The queries leave heartbeats out.
    CommandProtocolHeartBeatStatue(Handle(), 1);
    PassAt(5000);
    EXPECT_EQ(0, CommandProtocolGetSendBufNum(Handle()));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(Handle(), 300));
    // Nine more fill the queue: the next send fails at once, silently, and
    // leaves the record's buffer with the caller.
    for (int i = 0; i < 9; ++i) {
        EXPECT_GE(Send(Handle(), 0x0600, {1}), 0);
    }
    CapturedStream objOut(1);
    EXPECT_EQ(-1, Send(Handle(), 0x0604, Pattern(64, 3)));
    EXPECT_EQ("", objOut.Take());
    EXPECT_EQ(-1, CommandProtocolWaitSendBufEmpty(Handle(), 60));
}

TEST_F(SendQueue, LongMessagesGoAsChunksOf496BytesAfterTheirSubHeader) {
    s_bAutoAck = true;                    // so that the split finds free slots
    for (size_t u32Len : {992u, 6000u}) { // two whole chunks; 12 and a last one of 48 bytes
        const uint16_t u16First = Inst()->sendSn;
        EXPECT_EQ(0, Send(Handle(), 0x0777, Pattern(u32Len, 3)));
        Settle();
        std::map<uint16_t, Bytes> mapWant, mapGot; // by sn
        for (const Bytes &frame : Each(Split(0x0777, Pattern(u32Len, 3), u16First))) {
            mapWant[Get16(frame, 7)] = frame;
        }
        for (const Frame &st : Sent()) {
            mapGot[st.u16Sn] = MakeFrame(st.u16Cmd, st.u16Sn, st.data);
        }
        EXPECT_TRUE(mapWant == mapGot) << u32Len;
    }
}

TEST_F(SendQueue, ResetEmptiesTheQueueTheHistoryAndAHalfReceivedFrame) {
    Send(Handle(), 0x0604, Pattern(100, 1)); // a payload that the reset releases
    EXPECT_EQ("ack40", Exchange(MakeFrame(0x0700, 40, {1})));
    const Bytes half = MakeFrame(0x0701, 41, Pattern(30, 2));
    Feed(Bytes(half.begin(), half.begin() + 10));
    EXPECT_EQ(0, CommandProtocolReset(Handle()));
    Feed(Bytes(half.begin() + 10, half.end()));               // noise now
    EXPECT_EQ("ack40", Exchange(MakeFrame(0x0702, 40, {1}))); // sn 40 is new again
    EXPECT_EQ(2u, s_delivered.size());
    EXPECT_EQ(1, Send(Handle(), 0x0600, {1})) << "an empty queue, numbered from 1 again";
}

} // namespace
