// The application binding: its serial port (g_u32UartFd) is one end of a pipe
// or a socketpair, the test reads and writes at the other.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/command_interface.h"
#include "protocol_fixture.h"

namespace {

std::atomic<int> g_s32Handled{0}; // commands that reached the application's handler

TEST(Binding, WritesWholeFramesSendsMarksAndParksIdButtonFrames) {
    // A write waits for room while a reader drains the port: every byte goes out.
    int afd[2]; // a pipe of one page: 6000 bytes go out in parts
    ASSERT_EQ(0, pipe2(afd, O_NONBLOCK));
    ASSERT_EQ(4096, fcntl(afd[1], F_SETPIPE_SZ, 4096));
    std::swap(afd[0], afd[1]); // afd[0] is the port's end
    g_u32UartFd = afd[0];
    const Bytes big(6000, 0x5A);
    uint8_t au8Buf[65536];
    size_t u32Filled = 0, u32Read = 0;
    for (ssize_t n; (n = write(afd[0], big.data(), 1000)) > 0;) { // until the port is full
        u32Filled += static_cast<size_t>(n);
    }
    std::thread objReader([&] { // for five seconds at most
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (ssize_t n; u32Read < u32Filled + 6000 && std::chrono::steady_clock::now() < tEnd &&
                        (n = read(afd[1], au8Buf, sizeof(au8Buf))) != 0;) {
            u32Read += n > 0 ? static_cast<size_t>(n) : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(6000, APP_Comm_Write(big.data(), 6000));
    objReader.join();
    close(afd[0]);
    close(afd[1]);

    // Init binds an instance: frame bytes 9 and 10 0x20 and 0x50, not
    // enciphered. A command accepted at the first try gets its mark.
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, afd));
    g_u32UartFd = afd[0];
    APP_Comm_Recv_Handler = [](_CmdProtocolParam *pstFrame) {
        EXPECT_EQ(0x0602, pstFrame->cmd);
        ++g_s32Handled;
    };
    CommandProtocolMutexInit();
    EXPECT_LE(Example_CommandInterfaceInit(), 1); // the link bit, which a first pass may set
    CapturedStream objErr(2);
    EXPECT_EQ(0, Example_CommandInterfaceSendRetry(0x0601, Pattern(64, 4).data(), 64));
    EXPECT_EQ(".", objErr.Take());
    Bytes wire;
    // The frames the peer end has read once it has u32Count (0: after 1.5 s).
    auto fnPeer = [&](size_t u32Count) {
        EXPECT_EQ(u32Count > 0, PollUntil(
                                    [&] {
                                        for (ssize_t n;
                                             (n = read(afd[1], au8Buf, sizeof(au8Buf))) > 0;) {
                                            wire.insert(wire.end(), au8Buf, au8Buf + n);
                                        }
                                        return u32Count > 0 && Frames(wire).size() >= u32Count;
                                    },
                                    u32Count > 0 ? 10000 : 1500));
        return Frames(std::exchange(wire, Bytes()));
    };
    const Frame stSent = fnPeer(1).at(0);
    EXPECT_EQ(Pattern(64, 4), stSent.data);
    EXPECT_TRUE(stSent.u16Cmd == 0x0601 && stSent.u8Flags == 0 && stSent.u8P1 == 0x20 &&
                stSent.u8P2 == 0x50);
    // Id-button frames are parked for the application to take; others reach the handler.
    const Bytes in = MakeAck(stSent.u16Sn) + MakeFrame(CMD_STM32_IDBUTTON_TIMES, 7, {7}) +
                     MakeFrame(0x0602, 8, {8});
    ASSERT_EQ(static_cast<ssize_t>(in.size()), write(afd[1], in.data(), in.size()));
    EXPECT_EQ(2u, fnPeer(2).size()) << "both acknowledged";
    _CmdProtocolParam stParked{};
    EXPECT_EQ(0, Cmdfun.CommandProtocolGetCMDLongerToProgress(Cmdfd, &stParked));
    EXPECT_EQ(7, stParked.sn);
    EXPECT_EQ(1, g_s32Handled);
    EXPECT_TRUE(fnPeer(0).empty()) << "nothing more, not even a heartbeat on the idle link";
    Example_CommandInterfaceStop();
    CommandProtocolWaitEngineEnd(Cmdfd);
}

} // namespace
