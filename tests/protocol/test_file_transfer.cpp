// File transfer. "snd" and "rcv" are two instances with their engine threads,
// joined by a socketpair whose sender-to-receiver direction passes a tap that
// counts frames and can damage them. "unit" is an instance whose engine is
// stopped at once: the test hands it frames and runs its file steps itself.
// Everything runs in a temporary working directory.
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "protocol_fixture.h"
#include "runtime/mutex.h"

namespace {

using Codes = std::vector<uint32_t>;

/// CRC-16/XMODEM of the bytes from u32From on (test_frame.cpp checks the
/// function against known answers).
uint16_t Crc16(const std::string &strBytes, size_t u32From = 0) {
    return CommandProtocolCrc16(0, reinterpret_cast<const uint8_t *>(strBytes.data()) + u32From,
                                static_cast<int>(strBytes.size() - u32From));
}

std::string RandomBytes(size_t u32Count, uint32_t u32Seed) {
    std::mt19937 objGen(u32Seed);
    std::string strOut(u32Count, '\0');
    std::generate(strOut.begin(), strOut.end(), [&] { return static_cast<char>(objGen()); });
    return strOut;
}

/// The 80-byte file-information record announcing strContent as strName (a
/// name of 64 bytes fills its field without a terminator), u32Extra bytes long.
std::string Info(const std::string &strName, const std::string &strContent, uint32_t u32Extra = 0) {
    CmdProtocolFileInfo stInfo{};
    stInfo.tag = 77;
    memcpy(stInfo.fileName, strName.data(), std::min<size_t>(strName.size(), 64));
    stInfo.length = static_cast<uint32_t>(strContent.size()) + u32Extra;
    stInfo.packets = (stInfo.length + 511) / 512;
    stInfo.crc = Crc16(strContent);
    return std::string(reinterpret_cast<const char *>(&stInfo), sizeof(stInfo));
}

uint16_t U16(const std::string &strFrame, size_t u32At) {
    return static_cast<uint16_t>(static_cast<uint8_t>(strFrame[u32At]) |
                                 static_cast<uint8_t>(strFrame[u32At + 1]) << 8);
}

// Handles in the order of opening; "unit" writes to the fixture's wire.
enum : int { SND, RCV, UNIT };
int g_as32Fd[2] = {-1, -1}; // [0] the sender's end, [1] the receiver's end

// What crossed the wire between "snd" and "rcv".
struct Seen {
    std::set<uint16_t> setStarts;      // sequence numbers of the start frames sent
    std::map<uint16_t, int> mapChunks; // chunk index -> transmissions
    Codes vecReports;                  // the receiver's report codes, repeats left out
    std::set<uint16_t> setReportSns;
};
struct Tap {
    std::mutex objMutex;
    bool bPayloadNext = false; // the next write is the payload of a long frame
    Seen stSeen;
    // Flip a bit of the data of the next s32Left transmissions of this short
    // chunk, with bReseal giving them a fresh frame CRC.
    uint16_t u16Index = 0;
    int s32Left = 0;
    bool bReseal = false;
} g_objTap;

int SndWrite(const uint8_t *pu8Buf, int s32Len) {
    std::string strFrame(reinterpret_cast<const char *>(pu8Buf), static_cast<size_t>(s32Len));
    {
        // The engine writes a short frame in one call and a long one as its
        // 13 header bytes followed by the payload; between frames, after a
        // frame ending in 0xA5, one filler byte.
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        const bool bHeader = !g_objTap.bPayloadNext && s32Len >= CMD_FRAME_HEAD_LEN;
        g_objTap.bPayloadNext = bHeader && s32Len == CMD_FRAME_HEAD_LEN;
        const uint16_t u16Index = bHeader ? static_cast<uint16_t>(pu8Buf[9] << 8 | pu8Buf[10]) : 0;
        if (bHeader && U16(strFrame, 11) == CMD_UPDATE_SW_SEND_FILE_START) {
            g_objTap.stSeen.setStarts.insert(U16(strFrame, 7));
        } else if (bHeader && U16(strFrame, 11) == CMD_UPDATE_SW_SEND_FILE &&
                   u16Index != CMD_FILE_END_INDEX) {
            ++g_objTap.stSeen.mapChunks[u16Index];
            if (u16Index == g_objTap.u16Index && g_objTap.s32Left > 0) {
                --g_objTap.s32Left;
                strFrame[13] ^= 1;
                const uint16_t u16Crc = g_objTap.bReseal ? Crc16(strFrame, 6) : U16(strFrame, 4);
                strFrame[4] = static_cast<char>(u16Crc & 0xFF);
                strFrame[5] = static_cast<char>(u16Crc >> 8);
            }
        }
    }
    send(g_as32Fd[0], strFrame.data(), strFrame.size(), MSG_NOSIGNAL);
    return s32Len;
}

int RcvWrite(const uint8_t *pu8Buf, int s32Len) {
    const std::string strFrame(reinterpret_cast<const char *>(pu8Buf), static_cast<size_t>(s32Len));
    if (s32Len == CMD_FRAME_SHORT_LEN && U16(strFrame, 11) == CMD_UPDATE_SW_REPORT_FILE) {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        if (g_objTap.stSeen.setReportSns.insert(U16(strFrame, 7)).second) {
            g_objTap.stSeen.vecReports.push_back(U16(strFrame, 13) | uint32_t{U16(strFrame, 15)}
                                                                         << 16);
        }
    }
    send(g_as32Fd[1], strFrame.data(), strFrame.size(), MSG_NOSIGNAL);
    return s32Len;
}

template <int N> int SocketRead(uint8_t *pu8Buf, int s32Max) {
    return static_cast<int>(recv(g_as32Fd[N], pu8Buf, static_cast<size_t>(s32Max), MSG_DONTWAIT));
}

CmdProtocolInstance *Inst(int s32Handle) {
    return CommandProtocolLookup(s32Handle);
}

// The protocol's clock runs four times as fast as the real one: each chunk
// waits a quarter of the time before it goes out, and a file takes less time
// to cross without any rule changing.
uint32_t FastClock() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return static_cast<uint32_t>((stNow.tv_sec * 1000ull + stNow.tv_nsec / 1000000) * 4);
}

struct Environment : ::testing::Environment {
    void SetUp() override {
        CommandProtocolSetClock(FastClock);
        ASSERT_EQ(0, chdir(m_objDir.Path().c_str()));
        ASSERT_EQ(0, CommandProtocolMutexInit());
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, g_as32Fd));
        const std::pair<int (*)(const uint8_t *, int), int (*)(uint8_t *, int)> astEnds[] = {
            {SndWrite, SocketRead<0>}, {RcvWrite, SocketRead<1>}, {WireWrite, nullptr}};
        for (auto [pfnWrite, pfnRead] : astEnds) {
            CmdProtocolFun stFun = TestFun();
            stFun.Write = pfnWrite;
            stFun.Read = pfnRead;
            // Heartbeats off, as the update tool runs it.
            CommandProtocolHeartBeatStatue(CommandProtocolOpen(&stFun, "inst", 0), 0);
        }
        ASSERT_TRUE(Inst(SND) && Inst(RCV) && Inst(UNIT) && !Inst(UNIT + 1));
        CommandProtocolStop(UNIT);
        CommandProtocolWaitEngineEnd(UNIT);
    }
    void TearDown() override {
        for (int s32Handle : {SND, RCV}) {
            CommandProtocolStop(s32Handle);
            CommandProtocolWaitEngineEnd(s32Handle);
        }
        EXPECT_EQ(0, chdir("/"));
    }
    TempDir m_objDir;
};
const auto *g_pobjEnv = ::testing::AddGlobalTestEnvironment(new Environment);

Seen Tapped() {
    std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
    return g_objTap.stSeen;
}

/// Sends strContent from "snd" to "rcv" as strName, the tap damaging
/// s32Damage transmissions of chunk u16Index, and follows the progress until
/// the receiver reported the file verified and the sender is idle.
void RunTransfer(const std::string &strContent, const std::string &strName, int s32Damage = 0,
                 uint16_t u16Index = 0, bool bReseal = false) {
    // The previous transfer's report may still be on the wire, repeated until
    // acknowledged: seen after the tap is cleared it would count as this one's.
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(RCV, 5000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(SND, 5000));
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.stSeen = Seen{};
        g_objTap.u16Index = u16Index;
        g_objTap.s32Left = s32Damage;
        g_objTap.bReseal = bReseal;
    }
    ASSERT_TRUE(WriteFileBytes("src_" + strName, strContent));
    ASSERT_EQ(0, CommandProtocolTransferFileSendStart(SND, 77, ("src_" + strName).c_str(),
                                                      strName.c_str()));
    _CmdProtocolParam stApp = Rec(0x0600, {1});
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(SND, &stApp, 0)) << "refused while sending";
    bool bSaw100 = false;
    ASSERT_TRUE(PollUntil(
        [&] {
            const int s32Percent = CommandProtocolTransferFileProgress(SND);
            EXPECT_TRUE(s32Percent >= 0 && s32Percent <= 100) << s32Percent;
            if (s32Percent == 100 && !bSaw100) {
                bSaw100 = true;
                // Not before every chunk was acknowledged, so written; and the send ends.
                EXPECT_GE(size_t{Inst(RCV)->fileRecvPacketIndex}, (strContent.size() + 511) / 512);
                EXPECT_EQ(0, Inst(SND)->fileSendState.load());
            }
            std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
            const Codes &vecReports = g_objTap.stSeen.vecReports;
            return bSaw100 && Inst(SND)->fileSendState == 0 && Inst(RCV)->fileRecvState == 3 &&
                   !vecReports.empty() && vecReports.back() == 2;
        },
        240000));
    EXPECT_EQ(strContent, ReadFileBytes(strName));
    CMutexLock objLock(g_objSendBufMutex);
    EXPECT_EQ(Info(strName, strContent),
              std::string(reinterpret_cast<const char *>(&Inst(RCV)->fileRecvInfo), 80))
        << "the announced record: tag, name, packets, length and CRC of the content";
    EXPECT_GE(CommandProtocolSendCmdAdd(SND, &stApp, 0), 0) << "taken after the send";
}

TEST(Transfer, FilesOfEverySizeArriveByteExact) {
    // Empty, inside the data field, just past it, one and two full chunks, one
    // byte into a third chunk, and about 1 MiB (2049 chunks).
    for (size_t u32Size : {0, 1, 4, 5, 512, 1024, 1025, 1024 * 1024 + 100}) {
        SCOPED_TRACE(u32Size);
        RunTransfer(RandomBytes(u32Size, static_cast<uint32_t>(u32Size)), std::to_string(u32Size));
        EXPECT_EQ(1u, Tapped().setStarts.size());
        EXPECT_EQ(Codes{2}, Tapped().vecReports);
        EXPECT_EQ(std::max<size_t>((u32Size + 511) / 512, 1), Tapped().mapChunks.size());
    }
}

TEST(Transfer, DamagedChunksAreRepeatedOrTheWholeFileStartsAgain) {
    // The frame CRC catches the damage: the chunk is dropped and repeated.
    RunTransfer(RandomBytes(1025, 11), "dropped.bin", 2, 2);
    EXPECT_GE(Tapped().mapChunks[2], 3) << "twice dropped, then taken";
    EXPECT_EQ(1u, Tapped().setStarts.size());
    EXPECT_EQ(Codes{2}, Tapped().vecReports);
    // Resealed, the damage passes the frame check: the file CRC fails, the
    // receiver reports 0 and the sender starts the whole file again.
    RunTransfer(RandomBytes(1025, 12), "resealed.bin", 1, 2, true);
    EXPECT_GE(Tapped().setStarts.size(), 2u);
    EXPECT_GE(Tapped().mapChunks[0], 2);
    EXPECT_EQ(0u, Tapped().vecReports.front());
}

TEST(Transfer, FilesCrossInBothDirectionsAtOnce) {
    // What comes in must not change what goes out.
    ASSERT_TRUE(WriteFileBytes("src_out", RandomBytes(5000, 1)) &&
                WriteFileBytes("src_in", RandomBytes(3000, 2)));
    std::thread objBack(
        [] { EXPECT_EQ(0, CommandProtocolTransferFileSendStart(RCV, 2, "src_in", "in")); });
    EXPECT_EQ(0, CommandProtocolTransferFileSendStart(SND, 1, "src_out", "out"));
    objBack.join();
    EXPECT_TRUE(PollUntil(
        [] {
            CommandProtocolTransferFileProgress(SND); // reading 100 ends a send
            CommandProtocolTransferFileProgress(RCV);
            return Inst(SND)->fileSendState == 0 && Inst(RCV)->fileSendState == 0 &&
                   Inst(SND)->fileRecvState == 3 && Inst(RCV)->fileRecvState == 3;
        },
        20000));
    EXPECT_EQ(RandomBytes(5000, 1), ReadFileBytes("out"));
    EXPECT_EQ(RandomBytes(3000, 2), ReadFileBytes("in"));
    // A received file leaves its side's progress at 100 until the next start.
    Inst(SND)->fileRecvState = 0;
}

// ---------------------------------------------------------------------------
// "unit": frames handed to the frame step, file steps run by the test

constexpr uint16_t START = CMD_UPDATE_SW_SEND_FILE_START;
constexpr uint16_t CHUNK = CMD_UPDATE_SW_SEND_FILE;

/// Hands "unit" one frame as the engine's frame step does (a fresh sequence
/// number unless u16Sn is given) and sums up the answer: "ack" or "drop", the
/// frames it queued (which are then removed), and the receiving state after.
std::string Feed(uint16_t u16Cmd, const std::string &strData, uint16_t u16Index = 0,
                 uint16_t u16Sn = 0) {
    static uint16_t s_u16Sn = 100;
    CmdProtocolInstance *pstUnit = Inst(UNIT);
    _CmdProtocolParam &stSlot = pstUnit->recvSlots[0];
    stSlot = Rec(u16Cmd, Bytes(strData.begin(), strData.end()));
    stSlot.sync1 = CMD_FRAME_SYNC1;
    stSlot.sync2 = CMD_FRAME_SYNC2;
    stSlot.sn = u16Sn != 0 ? u16Sn : ++s_u16Sn;
    stSlot.param1 = static_cast<uint8_t>(u16Index >> 8);
    stSlot.param2 = static_cast<uint8_t>(u16Index);
    stSlot.crc = CommandProtocolFrameCrc(&stSlot);
    const uint16_t u16Sent = stSlot.sn;
    TakeWire();
    CommandProtocolFrameStep(pstUnit, 0, CommandProtocolClockMs());
    const Bytes vecAck = TakeWire(); // 17 bytes, command 0, the frame's sn
    std::string strOut = vecAck.size() == CMD_FRAME_SHORT_LEN && vecAck[11] == 0 &&
                                 vecAck[12] == 0 && (vecAck[7] | vecAck[8] << 8) == u16Sent
                             ? "ack"
                             : "drop";
    CMutexLock objLock(g_objSendBufMutex);
    for (const _CmdProtocolParam &stQueued : pstUnit->sendSlots) {
        if (stQueued.sync1 == CMD_FRAME_SYNC1) {
            strOut += stQueued.cmd == CMD_UPDATE_SW_REPORT_FILE
                          ? ", report " + std::to_string(stQueued.data[0] | stQueued.data[1] << 8)
                          : ", queued " + std::to_string(stQueued.cmd);
        }
    }
    CommandProtocolRemoveSendBuf(pstUnit, 0, 1);
    return strOut + ", state " + std::to_string(pstUnit->fileRecvState);
}
std::string End() {
    return Feed(CHUNK, std::string(4, '\0'), CMD_FILE_END_INDEX);
}

class Unit : public ::testing::Test {
protected:
    void SetUp() override { Feed(CMD_UPDATE_SW_READY_UPDATE, "r"); } // idle, queue empty
    static bool Exists(const std::string &strPath) { return access(strPath.c_str(), F_OK) == 0; }
};

TEST_F(Unit, ChunksWithoutAnnouncementFailUntilTheNextStartAndRepeatsAreNotWrittenTwice) {
    EXPECT_EQ("drop, report 0, state 4", Feed(CHUNK, "abcd"));
    EXPECT_EQ("drop, state 4", Feed(CHUNK, "efgh", 1)) << "dropped silently";
    EXPECT_EQ("ack, state 1", Feed(START, Info("after.bin", "AAAABBBB")));
    EXPECT_EQ("ack, state 1", Feed(CHUNK, "AAAABBBB", 0, 4000));
    EXPECT_EQ("ack, state 1", Feed(CHUNK, "CCCCDDDD", 0, 4000)) << "a repeat: not written";
    EXPECT_EQ(99, CommandProtocolTransferFileProgress(UNIT)) << "not 100 before the verdict";
    EXPECT_EQ("ack, report 2, state 3", End());
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(UNIT));
    EXPECT_EQ("AAAABBBB", ReadFileBytes("after.bin"));
}

TEST_F(Unit, FailedChecksAndFramesAfterTheFileWasClosed) {
    // Size other than announced: report 0, the end marker is not acknowledged.
    ASSERT_EQ("ack, state 1", Feed(START, Info("size.bin", "abcdef", 1)));
    EXPECT_EQ("ack, state 1", Feed(CHUNK, "abcdef"));
    EXPECT_EQ("drop, report 0, state 4", End());
    // Verified (state 3): a late chunk or end marker is acknowledged and ignored.
    ASSERT_EQ("ack, state 1", Feed(START, Info("closed.bin", "final")));
    EXPECT_EQ("ack, state 1", Feed(CHUNK, "final"));
    EXPECT_EQ("ack, report 2, state 3", End());
    EXPECT_EQ("ack, state 3", Feed(CHUNK, "XXXXXXXX"));
    EXPECT_EQ("ack, state 3", End());
    EXPECT_EQ("final", ReadFileBytes("closed.bin"));
    // Verifying (state 2; the file vanished before it could be checked):
    // report 0, and later chunks are dropped unanswered.
    ASSERT_EQ("ack, state 1", Feed(START, Info("gone.bin", "wxyz")));
    EXPECT_EQ("ack, state 1", Feed(CHUNK, "wxyz"));
    ASSERT_EQ(0, unlink("gone.bin"));
    EXPECT_EQ("drop, report 0, state 2", End());
    EXPECT_EQ("drop, state 2", Feed(CHUNK, "wxyz"));
    EXPECT_FALSE(Exists("gone.bin"));
    // A chunk beyond the announced length (index 0x7FFE would write near
    // 16 MiB, the other one runs past the end) fails the transfer.
    for (auto [s32Index, pszData] : {std::make_pair(0x7FFE, "zz"), std::make_pair(0, "0123456")}) {
        ASSERT_EQ("ack, state 1", Feed(START, Info("bound.bin", "012345")));
        EXPECT_EQ("drop, report 0, state 4", Feed(CHUNK, pszData, static_cast<uint16_t>(s32Index)));
        EXPECT_EQ("", ReadFileBytes("bound.bin"));
    }
}

TEST_F(Unit, OnlyPlainFileNamesAreCreatedInTheWorkingDirectory) {
    const std::string strUp = "../irft_" + std::to_string(getpid());
    const std::string strAbs = "/tmp/irft_" + std::to_string(getpid());
    ASSERT_EQ(0, mkdir("a", 0755)); // so that "a/b" could be created if it were allowed
    // Nor is a symbolic link under a plain name followed.
    TempDir objElsewhere;
    ASSERT_TRUE(WriteFileBytes(objElsewhere.File("target"), "keep"));
    ASSERT_EQ(0, symlink(objElsewhere.File("target").c_str(), "link.bin"));
    for (const std::string &strName :
         {strUp, strAbs, std::string("a/b"), std::string(), std::string(".."), std::string(64, 'n'),
          std::string("link.bin")}) {
        EXPECT_EQ("drop, state 0", Feed(START, Info(strName, ""))) << strName;
    }
    EXPECT_FALSE(Exists(strUp) || Exists(strAbs) || Exists("a/b") || Exists(std::string(64, 'n')));
    EXPECT_EQ("keep", ReadFileBytes(objElsewhere.File("target")));
    // A plain name is created here; a new start closes the file it replaces.
    const std::filesystem::path objFds("/proc/self/fd");
    const auto s32Fds = std::distance(std::filesystem::directory_iterator(objFds), {});
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ("ack, state 1", Feed(START, Info("irlog.bin", "")));
    }
    EXPECT_TRUE(Exists("irlog.bin"));
    EXPECT_LE(std::distance(std::filesystem::directory_iterator(objFds), {}), s32Fds + 1);
    // A start frame shorter than the record: the rest reads as zero.
    ASSERT_EQ("ack, state 1", Feed(START, Info("short.bin", "x").substr(0, 20)));
    EXPECT_EQ("ack, report 2, state 3", End()) << "an empty file was announced";
}

TEST_F(Unit, ProgressCountsQueuedChunksAndReads100OnceTheEndMarkerIsQueued) {
    CmdProtocolInstance *pstUnit = Inst(UNIT);
    ASSERT_TRUE(WriteFileBytes("four.bin", RandomBytes(2000, 21))); // 4 chunks
    {
        CMutexLock objLock(g_objSendBufMutex); // as the send start leaves it
        ASSERT_EQ(0, CommandProtocolTransferCheckFileInfo("four.bin", &pstUnit->fileInfo));
        strcpy(pstUnit->fileInfo.fileName, "four.bin");
        pstUnit->filePacketIndex = 0;
        pstUnit->fileSendState = 2;
    }
    pstUnit->fileRecvState = 3; // a file received earlier must not read as this send's end
    for (int i = 0; i < 3; ++i) {
        CommandProtocolTransferFileSend(pstUnit);
    }
    EXPECT_EQ(75, CommandProtocolTransferFileProgress(UNIT));
    CommandProtocolTransferFileSend(pstUnit); // the last chunk
    EXPECT_EQ(99, CommandProtocolTransferFileProgress(UNIT));
    CommandProtocolTransferFileSend(pstUnit); // the end marker waits for every acknowledgement
    EXPECT_EQ(4, CommandProtocolGetSendBufNum(UNIT));
    CommandProtocolRemoveSendBuf(pstUnit, 0, 1); // every chunk acknowledged
    CommandProtocolTransferFileSend(pstUnit);
    EXPECT_EQ(1, CommandProtocolGetSendBufNum(UNIT));
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(UNIT));
    EXPECT_EQ(0, pstUnit->fileSendState.load()) << "reading 100 ends the send";
    pstUnit->fileRecvState = 0;
}

TEST_F(Unit, FailedSendStartsLeaveTheSendingSideIdleAndAReportZeroOnlyAcknowledged) {
    // Names that do not fit their 64-byte fields, a missing file, and a start
    // frame nobody acknowledges (the engine is stopped).
    ASSERT_TRUE(WriteFileBytes("present.bin", "x"));
    const std::string strLong(64, 'p');
    for (auto [strLocal, strRemote] :
         {std::make_pair(strLong, std::string("r")),
          std::make_pair(std::string("present.bin"), strLong),
          std::make_pair(std::string("absent.bin"), std::string("r")),
          std::make_pair(std::string("present.bin"), std::string("r"))}) {
        EXPECT_EQ(
            -1, CommandProtocolTransferFileSendStart(UNIT, 0, strLocal.c_str(), strRemote.c_str()));
        EXPECT_EQ(0, Inst(UNIT)->fileSendState.load()) << strLocal << " " << strRemote;
    }
    EXPECT_EQ(0, CommandProtocolGetSendBufNum(UNIT)) << "no start frame left behind";
    // With nothing announced, a report 0 is recorded and acknowledged, no more:
    // no start frame is queued.
    EXPECT_EQ("ack, state 0", Feed(CMD_UPDATE_SW_REPORT_FILE, std::string(4, '\0')));
    EXPECT_EQ(0, Inst(UNIT)->fileSendState.load());
}

} // namespace
