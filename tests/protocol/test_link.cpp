// Protocol instances with their engine threads, joined by a socketpair or a
// pty: commands of every size cross both ways at once, each exactly once and
// byte for byte, plain, enciphered, over a line that loses and damages bytes,
// and over a pty in fast mode. The protocol's time runs four times as fast
// as the real one (its clock and its pauses): no rule changes, less is waited.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "protocol_fixture.h"

namespace {

using Message = std::pair<uint16_t, Bytes>; // command code, data

// The callbacks carry no context: each endpoint is an index into g_astEp.
struct Endpoint {
    int s32Fd = -1;      // set before the engine starts
    std::mutex objMutex; // guards the members below
    std::vector<Message> vecGot;
    std::mt19937 objRng; // a lossy line loses a byte in 2000 and damages another
    int s32Faults = -1;  // -1: not lossy
} g_astEp[4];

template <int N> int EpWrite(const uint8_t *pu8Buf, int s32Len) {
    Bytes vecOut;
    {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        for (int i = 0; i < s32Len; ++i) {
            const uint32_t u32Fate = g_astEp[N].s32Faults < 0 ? 2 : g_astEp[N].objRng() % 2000;
            g_astEp[N].s32Faults += u32Fate < 2 ? 1 : 0;
            if (u32Fate != 0) {
                vecOut.push_back(static_cast<uint8_t>(pu8Buf[i] ^ (u32Fate == 1 ? 0x10 : 0)));
            }
        }
    }
    return write(g_astEp[N].s32Fd, vecOut.data(), vecOut.size()) < 0 ? -1 : s32Len;
}
template <int N> int Open(int s32Fd, int s32Mode) {
    g_astEp[N].s32Fd = s32Fd;
    CmdProtocolFun stFun{};
    stFun.Write = EpWrite<N>;
    stFun.Read = [](uint8_t *pu8Buf, int s32Max) {
        pollfd stPoll{g_astEp[N].s32Fd, POLLIN, 0};
        return poll(&stPoll, 1, 0) > 0 ? static_cast<int>(read(stPoll.fd, pu8Buf, s32Max)) : 0;
    };
    stFun.DataProcessing = [](_CmdProtocolParam *pstFrame) {
        const uint8_t *pu8 = CmdParamPayload(pstFrame);
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        g_astEp[N].vecGot.emplace_back(uint16_t{pstFrame->cmd}, Bytes(pu8, pu8 + pstFrame->len));
    };
    return CommandProtocolOpen(&stFun, ("ep" + std::to_string(N)).c_str(), s32Mode);
}

/// Both sides send commands of every size at once (A from endpoint s32EpA,
/// B from the next); each list arrives complete, once, byte for byte, and in
/// order unless bOrdered is false (a lossy line, or fast mode, which sends
/// every due frame in one pass, so that a burst can overrun the peer's
/// receive slots and be made good out of order). The queue drains before the
/// long ones, whose chunks go with priority and would overtake the rest.
void Cross(int s32EpA, int hA, int hB, uint16_t u16Cmd, bool bOrdered) {
    std::vector<size_t> vecSizes = {1, 4, 5, 512, 513, 65535};
    for (size_t i = 0; !bOrdered && i < 24; ++i) {
        vecSizes.insert(vecSizes.begin(), 1 + (i * 37) % 300);
    }
    std::vector<Message> avecSent[2];
    for (size_t u32Size : vecSizes) {
        for (std::vector<Message> &vecSent : avecSent) {
            vecSent.emplace_back(u16Cmd, Pattern(u32Size, u16Cmd & 0xFF));
            ++u16Cmd;
        }
    }
    auto fnSend = [](int h, const std::vector<Message> &vecMsgs) {
        for (const Message &stMsg : vecMsgs) {
            EXPECT_TRUE(stMsg.second.size() != 513 ||
                        CommandProtocolWaitSendBufEmpty(h, 30000) == 0);
            EXPECT_TRUE(PollUntil([&] { return Send(h, stMsg.first, stMsg.second) >= 0; }, 30000));
        }
    };
    std::thread objBSide(fnSend, hB, std::cref(avecSent[1]));
    fnSend(hA, avecSent[0]);
    objBSide.join();
    for (int i = 0; i < 2; ++i) {
        Endpoint &stTo = g_astEp[s32EpA + 1 - i];
        EXPECT_TRUE(PollUntil(
            [&] {
                std::lock_guard<std::mutex> objLock(stTo.objMutex);
                return stTo.vecGot.size() >= vecSizes.size();
            },
            60000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a stray duplicate shows
        std::lock_guard<std::mutex> objLock(stTo.objMutex);
        std::vector<Message> vecGot = std::exchange(stTo.vecGot, {});
        if (!bOrdered) {
            std::sort(vecGot.begin(), vecGot.end());
            std::sort(avecSent[i].begin(), avecSent[i].end());
        }
        EXPECT_TRUE(vecGot == avecSent[i]) << i << ": " << vecGot.size() << " commands";
    }
}

TEST(Link, CommandsCrossOncePlainEncipheredLossyAndOverAPtyInFastMode) {
    CommandProtocolMutexInit();
    CommandProtocolSetClock([] {
        timespec stNow{};
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        return static_cast<uint32_t>((stNow.tv_sec * 1000ull + stNow.tv_nsec / 1000000) * 4);
    });
    CommandProtocolSetPause([](uint32_t u32Us) { usleep(u32Us / 4); });
    int afd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, afd));
    const int hA = Open<0>(afd[0], 0), hB = Open<1>(afd[1], 0);
    for (int s32Round = 0; s32Round < 3; ++s32Round) {
        // Each side enciphers with its own key; the receiver follows the frame's key index.
        CommandProtocolSetParam(hA, s32Round == 1, 0, 0, 0, 0);
        CommandProtocolSetParam(hB, s32Round == 1, 1, 0, 0, 0);
        for (int N : {0, 1}) {
            std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
            g_astEp[N].s32Faults = s32Round == 2 ? 0 : -1;
        }
        Cross(0, hA, hB, static_cast<uint16_t>(0x1000 * (s32Round + 1)), s32Round != 2);
    }
    {
        std::lock_guard<std::mutex> objLock(g_astEp[0].objMutex);
        EXPECT_GT(g_astEp[0].s32Faults, 0) << "a lossy line";
    }
    const int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(fdMaster >= 0 && grantpt(fdMaster) == 0 && unlockpt(fdMaster) == 0);
    const int fdSlave = open(ptsname(fdMaster), O_RDWR | O_NOCTTY);
    termios stTio{}; // raw: no echo, no translation, every byte as it is
    ASSERT_EQ(0, tcgetattr(fdSlave, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(fdSlave, TCSANOW, &stTio));
    const int hPtyA = Open<2>(fdMaster, 1), hPtyB = Open<3>(fdSlave, 1);
    Cross(2, hPtyA, hPtyB, 0x5000, false);
    for (int h : {hA, hB, hPtyA, hPtyB}) { // a stop ends the engines
        CommandProtocolStop(h);
        EXPECT_EQ(0, CommandProtocolWaitEngineEnd(h));
    }
    CommandProtocolSetClock(nullptr);
    CommandProtocolSetPause(nullptr);
}

} // namespace
