// Protocol instances with their engine threads, joined by a socketpair that
// loses and damages bytes or by a pty: commands of every size cross both ways
// at once, each exactly once and byte for byte. The protocol's clock and
// pauses run four times as fast as real time: no rule changes, less waiting.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "protocol_fixture.h"

namespace {

using Message = std::pair<uint16_t, Bytes>; // command code, data

// The callbacks carry no context: each endpoint is an index into g_astEp.
struct Endpoint {
    int s32Fd = -1;      // set before the engine starts
    bool bLossy = false; // loses a byte in 2000 and damages another
    std::mt19937 objRng; // the engine thread's alone
    std::atomic<int> s32Faults{0};
    std::mutex objMutex; // guards vecGot
    std::vector<Message> vecGot;
} g_astEp[4];

template <int N> int EpWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &st = g_astEp[N];
    Bytes vecOut;
    for (int i = 0; i < s32Len; ++i) {
        const uint32_t u32Fate = st.bLossy ? st.objRng() % 2000 : 2;
        st.s32Faults += u32Fate < 2 ? 1 : 0;
        if (u32Fate != 0) {
            vecOut.push_back(static_cast<uint8_t>(pu8Buf[i] ^ (u32Fate == 1 ? 0x10 : 0)));
        }
    }
    return write(st.s32Fd, vecOut.data(), vecOut.size()) < 0 ? -1 : s32Len;
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

/// Both sides (A from endpoint s32EpA, B from the next) send at once, each
/// with its own key when bCipher; each list arrives whole, once and byte for
/// byte, in any order (a lossy line, or a burst in fast mode overrunning the
/// peer's slots, reorders). The queue drains before the long ones.
void Cross(int s32EpA, int hA, int hB, bool bCipher) {
    CommandProtocolSetParam(hA, bCipher, 0, 0, 0, 0);
    CommandProtocolSetParam(hB, bCipher, 1, 0, 0, 0);
    std::vector<Message> avecSent[2];
    for (size_t i = 0; i < 30; ++i) {
        const size_t u32Size =
            i < 24 ? 1 + (i * 37) % 300 : std::vector<size_t>{1, 4, 5, 512, 513, 65535}[i - 24];
        for (std::vector<Message> &vecSent : avecSent) {
            vecSent.emplace_back(static_cast<uint16_t>(0x1000 + vecSent.size() + i),
                                 Pattern(u32Size, i));
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
                return stTo.vecGot.size() >= 30;
            },
            60000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a stray duplicate shows
        std::lock_guard<std::mutex> objLock(stTo.objMutex);
        std::sort(stTo.vecGot.begin(), stTo.vecGot.end());
        std::sort(avecSent[i].begin(), avecSent[i].end());
        EXPECT_TRUE(stTo.vecGot == avecSent[i]) << i << ": " << stTo.vecGot.size() << " commands";
    }
}

TEST(Link, CommandsCrossOnceEncipheredOverALossySocketpairAndPlainOverAPtyInFastMode) {
    CommandProtocolMutexInit();
    CommandProtocolSetClock([] {
        timespec stNow{};
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        return static_cast<uint32_t>((stNow.tv_sec * 1000ull + stNow.tv_nsec / 1000000) * 4);
    });
    CommandProtocolSetPause([](uint32_t u32Us) { usleep(u32Us / 4); });
    int afd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, afd));
    g_astEp[0].bLossy = g_astEp[1].bLossy = true;
    const int hA = Open<0>(afd[0], CMD_MODE_NORMAL), hB = Open<1>(afd[1], CMD_MODE_NORMAL);
    Cross(0, hA, hB, true);
    EXPECT_GT(g_astEp[0].s32Faults + g_astEp[1].s32Faults, 0) << "a lossy line";
    const int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(fdMaster >= 0 && grantpt(fdMaster) == 0 && unlockpt(fdMaster) == 0);
    const int fdSlave = open(ptsname(fdMaster), O_RDWR | O_NOCTTY);
    termios stTio{}; // raw: no echo, no translation, every byte as it is
    ASSERT_EQ(0, tcgetattr(fdSlave, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(fdSlave, TCSANOW, &stTio));
    const int hPtyA = Open<2>(fdMaster, CMD_MODE_FAST), hPtyB = Open<3>(fdSlave, CMD_MODE_FAST);
    Cross(2, hPtyA, hPtyB, false);
    for (int h : {hA, hB, hPtyA, hPtyB}) { // a stop ends the engines
        CommandProtocolStop(h);
        EXPECT_EQ(0, CommandProtocolWaitEngineEnd(h));
    }
    CommandProtocolSetClock(nullptr);
    CommandProtocolSetPause(nullptr);
}

} // namespace
