// The application binding on a socketpair: its serial port (g_u32UartFd) is
// one end, the test reads and writes frames at the other.
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/command_interface.h"
#include "protocol_fixture.h"

namespace {

std::mutex g_objMutex;
std::vector<Delivered> g_vecHandled; // what reached the application's handler

/// The frames the peer end has read, once it has u32Count.
std::vector<Frame> PeerFrames(int fd, size_t u32Count) {
    Bytes bytes;
    PollUntil(
        [&] {
            uint8_t au8Buf[4096];
            for (ssize_t n; (n = read(fd, au8Buf, sizeof(au8Buf))) > 0;) {
                bytes.insert(bytes.end(), au8Buf, au8Buf + n);
            }
            return Frames(bytes).size() >= u32Count;
        },
        10000);
    return Frames(bytes);
}

TEST(Binding, WritesWholeFramesSendsMarksAndParksIdButtonFrames) {
    // A write waits for room while a reader drains the port: every byte goes
    // out. Nobody reads: it gives up after about 100 ms instead of blocking.
    int as32Fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, as32Fd));
    const int s32Small = 4096;
    setsockopt(as32Fd[0], SOL_SOCKET, SO_SNDBUF, &s32Small, sizeof(s32Small));
    g_u32UartFd = as32Fd[0];
    const Bytes vecBig(6000, 0x5A);
    auto fnFill = [&] { // until not one more byte fits
        size_t u32Bytes = 0;
        for (size_t u32Chunk : {size_t{1024}, size_t{1}}) {
            for (ssize_t n; (n = write(as32Fd[0], vecBig.data(), u32Chunk)) > 0;) {
                u32Bytes += static_cast<size_t>(n);
            }
        }
        return u32Bytes;
    };
    const size_t u32Filled = fnFill();
    std::atomic<bool> bWritten{false};
    size_t u32Read = 0;
    std::thread objReader([&] {
        uint8_t au8Buf[65536];
        for (ssize_t n; (n = read(as32Fd[1], au8Buf, sizeof(au8Buf))) > 0 || !bWritten;) {
            u32Read += n > 0 ? static_cast<size_t>(n) : 0;
            pollfd stPoll{as32Fd[1], POLLIN, 0};
            poll(&stPoll, 1, 5);
        }
    });
    EXPECT_EQ(6000, APP_Comm_Write(vecBig.data(), 6000));
    bWritten = true;
    objReader.join();
    EXPECT_EQ(u32Filled + 6000, u32Read);
    fnFill();
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, APP_Comm_Write(vecBig.data(), 6000));
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(2));
    close(as32Fd[0]);
    close(as32Fd[1]);

    // Init: an instance with frame bytes 9 and 10 0x20 and 0x50, not enciphered.
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, as32Fd));
    g_u32UartFd = as32Fd[0];
    APP_Comm_Recv_Handler = [](_CmdProtocolParam *pstFrame) {
        std::lock_guard<std::mutex> objLock(g_objMutex);
        const uint8_t *pu8 = CmdParamPayload(pstFrame);
        g_vecHandled.push_back({pstFrame->cmd, pstFrame->sn, Bytes(pu8, pu8 + pstFrame->len), 0});
    };
    CommandProtocolMutexInit();
    EXPECT_LE(Example_CommandInterfaceInit(), 1); // the link bit, which a first pass may set
    // A command accepted at the first try gets its mark on standard error.
    CapturedStream objErr(2);
    EXPECT_EQ(0, Example_CommandInterfaceSendRetry(0x0601, Pattern(64, 4).data(), 64));
    EXPECT_EQ(".", objErr.Take());
    const std::vector<Frame> vecSent = PeerFrames(as32Fd[1], 1);
    ASSERT_FALSE(vecSent.empty());
    EXPECT_EQ(0x0601, vecSent[0].u16Cmd);
    EXPECT_EQ(Pattern(64, 4), vecSent[0].data);
    EXPECT_TRUE(vecSent[0].u8Flags == 0 && vecSent[0].u8P1 == 0x20 && vecSent[0].u8P2 == 0x50);

    // Id-button frames are parked for the application to take; others reach the handler.
    const Bytes vecIn = Cat({MakeAck(vecSent[0].u16Sn), MakeFrame(CMD_STM32_IDBUTTON_TIMES, 7, {7}),
                             MakeFrame(0x0602, 8, {8})});
    ASSERT_EQ(static_cast<ssize_t>(vecIn.size()), write(as32Fd[1], vecIn.data(), vecIn.size()));
    EXPECT_TRUE(PollUntil(
        [] {
            std::lock_guard<std::mutex> objLock(g_objMutex);
            return !g_vecHandled.empty();
        },
        10000));
    EXPECT_EQ(2u, PeerFrames(as32Fd[1], 2).size()) << "both acknowledged";
    _CmdProtocolParam stParked{};
    EXPECT_EQ(0, Cmdfun.CommandProtocolGetCMDLongerToProgress(Cmdfd, &stParked));
    EXPECT_EQ(7, stParked.sn);
    std::lock_guard<std::mutex> objLock(g_objMutex);
    ASSERT_EQ(1u, g_vecHandled.size());
    EXPECT_EQ(0x0602, g_vecHandled[0].u16Cmd);

    // Run stays in the calling thread until the instance stops, then ends it.
    pthread_t stThread;
    ASSERT_EQ(0, pthread_create(
                     &stThread, nullptr,
                     [](void *) -> void * {
                         Example_CommandInterfaceRun();
                         ADD_FAILURE() << "Run came back";
                         return nullptr;
                     },
                     nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(EBUSY, pthread_tryjoin_np(stThread, nullptr)) << "still in Run";
    Example_CommandInterfaceStop();
    EXPECT_EQ(0, pthread_join(stThread, nullptr));
}

} // namespace
