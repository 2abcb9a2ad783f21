// Two protocol instances with their engine threads on a socketpair or a pty:
// application commands cross once each, byte for byte and in order, plain and
// enciphered, and exactly once over a line that loses and damages bytes. Also
// a peer that never answers, and the stop. (Of the ten instances the process
// may ever open, this program opens five.)
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "protocol_fixture.h"

namespace {

using Message = std::pair<uint16_t, Bytes>; // command code, data
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The callbacks carry no context: each endpoint is an index into g_astEp and
// its callbacks are instantiated per index.
struct Endpoint {
    int s32Fd = -1;
    std::mutex objMutex; // guards the members below
    std::vector<Message> vecGot;
    Bytes vecWritten;    // every byte handed to Write
    std::mt19937 objRng; // default seed: a lossy line drops a byte in 2000, damages another
    bool bLossy = false;
    int s32Lost = 0;
    int s32Damaged = 0;
};
Endpoint g_astEp[5];

template <int N> int EpWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &stEp = g_astEp[N];
    Bytes vecOut;
    {
        std::lock_guard<std::mutex> objLock(stEp.objMutex);
        stEp.vecWritten.insert(stEp.vecWritten.end(), pu8Buf, pu8Buf + s32Len);
        for (int i = 0; i < s32Len; ++i) {
            const uint32_t u32Fate = stEp.bLossy ? stEp.objRng() % 2000 : 2;
            stEp.s32Lost += u32Fate == 0;
            stEp.s32Damaged += u32Fate == 1;
            if (u32Fate != 0) {
                vecOut.push_back(static_cast<uint8_t>(pu8Buf[i] ^ (u32Fate == 1 ? 0x10 : 0)));
            }
        }
    }
    // Blocking: the whole frame goes out.
    return write(stEp.s32Fd, vecOut.data(), vecOut.size()) < 0 ? -1 : s32Len;
}

template <int N> int EpRead(uint8_t *pu8Buf, int s32Max) {
    pollfd stPoll{g_astEp[N].s32Fd, POLLIN, 0};
    return poll(&stPoll, 1, 0) > 0 ? static_cast<int>(read(stPoll.fd, pu8Buf, s32Max)) : 0;
}

template <int N> void EpDeliver(_CmdProtocolParam *pstFrame) {
    const uint8_t *pu8 = CmdParamPayload(pstFrame);
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    g_astEp[N].vecGot.emplace_back(uint16_t{pstFrame->cmd}, Bytes(pu8, pu8 + pstFrame->len));
}

template <int N> int Open(int s32Fd, const char *pszName, int s32Mode) {
    g_astEp[N].s32Fd = s32Fd;
    CommandProtocolMutexInit();
    CmdProtocolFun stFun{};
    stFun.Write = EpWrite<N>;
    stFun.Read = EpRead<N>;
    stFun.DataProcessing = EpDeliver<N>;
    return CommandProtocolOpen(&stFun, pszName, s32Mode);
}

/// Queues a command as an application does, once or (bPatient) again while
/// the queue is full. True once it was taken.
bool Send(int s32Handle, const Message &stMsg, bool bPatient = true) {
    return PollUntil(
        [&] {
            _CmdProtocolParam stRec = Rec(stMsg.first, stMsg.second);
            const int s32Ret = CommandProtocolSendCmdAdd(s32Handle, &stRec, 0);
            // A taken payload of up to 512 bytes belongs to its slot; a longer one was copied.
            if (s32Ret < 0 || stRec.len > CMD_FRAME_MAX_PAYLOAD) {
                free(stRec.payload);
            }
            return s32Ret >= 0;
        },
        bPatient ? 30000 : 0);
}

/// Both sides send commands of every size at once; each list arrives
/// complete, once, byte for byte, and in order unless the line is lossy or
/// runs in fast mode (which sends every due frame in one pass, so a burst can
/// overrun the peer's receive slots and be made good out of order). The
/// short ones go first and the queue drains before the long ones: the chunks
/// of a long command are queued with priority and would overtake short
/// commands still waiting.
void Cross(int hA, int hB, int s32EpA, uint16_t u16Cmd, bool bLossy = false, bool bOrdered = true) {
    std::vector<size_t> vecSizes = {1, 4, 5, 512, 513, 65535};
    for (size_t i = 0; bLossy && i < 24; ++i) {
        vecSizes.insert(vecSizes.begin(), 1 + (i * 37) % 300);
    }
    std::vector<Message> avecSent[2];
    for (size_t u32Size : vecSizes) {
        for (std::vector<Message> &vecSent : avecSent) {
            vecSent.emplace_back(u16Cmd, Pattern(u32Size, u16Cmd & 0xFF));
            ++u16Cmd;
        }
    }
    auto fnSend = [](int s32Handle, const std::vector<Message> &vecMsgs) {
        for (const Message &stMsg : vecMsgs) {
            if (stMsg.second.size() == 513) {
                EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(s32Handle, 30000));
            }
            EXPECT_TRUE(Send(s32Handle, stMsg)) << stMsg.first;
        }
    };
    std::thread objBSide(fnSend, hB, std::cref(avecSent[1]));
    fnSend(hA, avecSent[0]);
    objBSide.join();
    for (int i = 0; i < 2; ++i) {
        Endpoint &stTo = g_astEp[s32EpA + 1 - i];
        auto fnGot = [&] {
            std::lock_guard<std::mutex> objLock(stTo.objMutex);
            return stTo.vecGot.size() >= vecSizes.size();
        };
        EXPECT_TRUE(PollUntil(fnGot, 120000));
        std::this_thread::sleep_for(300ms); // room for a stray duplicate
        std::lock_guard<std::mutex> objLock(stTo.objMutex);
        std::vector<Message> vecGot = std::exchange(stTo.vecGot, {});
        if (bLossy || !bOrdered) {
            std::sort(vecGot.begin(), vecGot.end());
            std::sort(avecSent[i].begin(), avecSent[i].end());
        }
        auto fnCmds = [](const std::vector<Message> &vecMsgs) {
            std::string strCmds;
            for (const Message &stMsg : vecMsgs) {
                strCmds +=
                    " " + std::to_string(stMsg.first) + "/" + std::to_string(stMsg.second.size());
            }
            return strCmds;
        };
        EXPECT_TRUE(vecGot == avecSent[i]) << (i == 0 ? "A to B:" : "B to A:") << fnCmds(vecGot)
                                           << "; sent" << fnCmds(avecSent[i]);
    }
}

bool EngineEnded(int s32Handle) {
    CmdProtocolInstance *pstInst = CommandProtocolLookup(s32Handle);
    std::lock_guard<std::mutex> objLock(pstInst->engineMutex);
    return pstInst->engineEnded;
}

TEST(Link, SocketpairCarriesEveryCommandOncePlainEncipheredAndOverALossyLine) {
    int as32Fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, as32Fd));
    const int hA = Open<0>(as32Fd[0], "left", 0);
    const int hB = Open<1>(as32Fd[1], "right", 0);
    ASSERT_TRUE(hA >= 0 && hB >= 0);
    for (int s32Round = 0; s32Round < 3; ++s32Round) {
        SCOPED_TRACE(s32Round);
        // Each side enciphers with its own key; the receiver follows the frame's key index.
        const uint8_t u8Encrypt = s32Round == 1 ? 1 : 0;
        CommandProtocolSetParam(hA, u8Encrypt, 0, 0, 0, 0);
        CommandProtocolSetParam(hB, u8Encrypt, 1, 0, 0, 0);
        for (int N : {0, 1}) {
            std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
            g_astEp[N].bLossy = s32Round == 2;
            g_astEp[N].vecWritten.clear();
        }
        Cross(hA, hB, 0, static_cast<uint16_t>(0x1000 * (s32Round + 1)), s32Round == 2);
        std::lock_guard<std::mutex> objLock(g_astEp[0].objMutex);
        const Bytes vecProbe = Pattern(32, 6); // the start of A's fourth command
        const Bytes &vecLine = g_astEp[0].vecWritten;
        EXPECT_EQ(u8Encrypt == 0, std::search(vecLine.begin(), vecLine.end(), vecProbe.begin(),
                                              vecProbe.end()) != vecLine.end())
            << "the command travels in clear only when not enciphered";
    }
    // A stop ends both engines within a pass.
    CommandProtocolStop(hA);
    CommandProtocolStop(hB);
    EXPECT_TRUE(PollUntil([&] { return EngineEnded(hA) && EngineEnded(hB); }, 2000));
    EXPECT_TRUE(g_astEp[0].s32Lost > 0 && g_astEp[0].s32Damaged > 0) << "a lossy line";
}

TEST(Link, PtyPairInFastModeCarriesEveryCommandOnce) {
    const int s32Master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(s32Master >= 0 && grantpt(s32Master) == 0 && unlockpt(s32Master) == 0);
    const int s32Slave = open(ptsname(s32Master), O_RDWR | O_NOCTTY);
    // Raw line: no echo, no newline translation, every byte as it is.
    termios stTio{};
    ASSERT_EQ(0, tcgetattr(s32Slave, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(s32Slave, TCSANOW, &stTio));
    const int hA = Open<2>(s32Master, "ptyA", 1);
    const int hB = Open<3>(s32Slave, "ptyB", 1);
    ASSERT_TRUE(hA >= 0 && hB >= 0);
    Cross(hA, hB, 2, 0x5000, false, false);
    CommandProtocolStop(hA);
    CommandProtocolStop(hB);
}

// The protocol's clock, shifted forward on demand: the silent-peer test ages
// its queued frames by seconds without waiting for them.
std::atomic<uint32_t> g_u32Shift{0};
uint32_t ShiftedClock() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return static_cast<uint32_t>(static_cast<uint64_t>(stNow.tv_sec) * 1000 +
                                 static_cast<uint64_t>(stNow.tv_nsec) / 1000000) +
           g_u32Shift;
}

TEST(Link, SilentPeerFillsTheQueueAndRepetitionHoldsThenResumes) {
    CommandProtocolSetClock(ShiftedClock);
    int as32Fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, as32Fd));
    const int hS = Open<4>(as32Fd[0], "mute", 0);
    ASSERT_GE(hS, 0);
    CommandProtocolHeartBeatStatue(hS, 0);
    const auto tQueued = Clock::now();
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        ASSERT_TRUE(Send(hS, {0x1300, {0x42}}, false)) << i;
    }
    EXPECT_FALSE(Send(hS, {0x1300, {0x42}}, false)) << "the eleventh fails";
    EXPECT_LT(Clock::now() - tQueued, 1000ms) << "at once";

    // Frames on the line (every frame the instance writes has 17 bytes).
    size_t u32Bytes = 0;
    auto fnFrames = [&] {
        uint8_t au8Buf[4096];
        for (ssize_t n; (n = recv(as32Fd[1], au8Buf, sizeof(au8Buf), MSG_DONTWAIT)) > 0;) {
            u32Bytes += static_cast<size_t>(n);
        }
        return u32Bytes / CMD_FRAME_SHORT_LEN;
    };
    auto fnAgeTo = [&](long s32Ms) { // the age of the frames on the protocol's clock
        g_u32Shift = static_cast<uint32_t>(s32Ms - (Clock::now() - tQueued) / 1ms);
    };
    EXPECT_TRUE(PollUntil([&] { return fnFrames() >= 2 * size_t{5}; }, 4000))
        << "sent and repeated";
    fnAgeTo(4200);
    const size_t u32Young = fnFrames();
    EXPECT_TRUE(PollUntil([&] { return fnFrames() >= u32Young + 5; }, 700)) << "still repeated";
    // Held once the frames are older than 5 s and the peer has said nothing for as long.
    fnAgeTo(5500);
    std::this_thread::sleep_for(100ms); // a pass under way ends
    const size_t u32Held = fnFrames();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(u32Held, fnFrames()) << "held";
    EXPECT_EQ(CMD_SLOT_COUNT, CommandProtocolGetSendBufNum(hS)) << "held frames stay queued";
    // A single frame from the peer (a heartbeat) restarts the repetition.
    const Bytes vecBeat = MakeFrame(CMD_HEART_BEAT, 7, Bytes(4, 0));
    ASSERT_EQ(17, write(as32Fd[1], vecBeat.data(), vecBeat.size()));
    EXPECT_TRUE(PollUntil([&] { return fnFrames() >= u32Held + 5; }, 5000)) << "resumed";
    CommandProtocolStop(hS);
    EXPECT_TRUE(PollUntil([&] { return EngineEnded(hS); }, 2000));
    CommandProtocolSetClock(nullptr);
}

} // namespace
