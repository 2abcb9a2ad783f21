// The application binding (the Example_CommandInterface operations and the
// APP_Comm_ callbacks) on one end of a socketpair; a second protocol instance
// on the other end plays the microcontroller. The tests run in the order
// written: the first two use the binding before it is initialised, the last
// one stops it and checks the log records of the whole run.
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "protocol/app_log.h"
#include "protocol/command_interface.h"
#include "protocol_fixture.h"
#include "runtime/mutex.h"

namespace {

using Seen = std::pair<uint16_t, Bytes>; // command code, data
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>((Clock::now() - t) / std::chrono::milliseconds(1));
}

int g_s32PeerFd = -1;
int g_s32Peer = -1;
std::atomic<bool> g_bPeerDeaf{false}; // the peer reads and drops everything
std::ostringstream g_objLog;          // the log records of the run

int PeerWrite(const uint8_t *pu8Buf, int s32Len) {
    return static_cast<int>(write(g_s32PeerFd, pu8Buf, static_cast<size_t>(s32Len)));
}
int PeerRead(uint8_t *pu8Buf, int s32Max) {
    const int n = static_cast<int>(read(g_s32PeerFd, pu8Buf, static_cast<size_t>(s32Max)));
    return g_bPeerDeaf ? 0 : n;
}

/// The data of the commands with this code that reached the handler or the
/// peer's application (the two get different codes), once u32Count are in.
std::vector<Bytes> Got(uint16_t u16Cmd, size_t u32Count = 1) {
    std::vector<Bytes> vecOut;
    PollUntil(
        [&] {
            std::lock_guard<std::mutex> objLock(g_objWireMutex);
            vecOut.clear();
            for (const Delivered &stGot : g_delivered) {
                if (stGot.u16Cmd == u16Cmd) {
                    vecOut.push_back(stGot.data);
                }
            }
            return vecOut.size() >= u32Count;
        },
        10000);
    return vecOut;
}

/// Initialises the binding once: its serial port is one end of a non-blocking
/// socketpair, the peer instance works the other end.
void EnsureInit() {
    static bool s_bDone = [] {
        int as32Fd[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, as32Fd));
        g_u32UartFd = as32Fd[0];
        g_s32PeerFd = as32Fd[1];
        APP_Comm_Recv_Handler = Deliver;
        CommandProtocolMutexInit();
        // The heartbeat switch answers with the link bit, which the new
        // engine may already have set in its first pass.
        EXPECT_LE(Example_CommandInterfaceInit(), 1);
        CmdProtocolFun stPeer = TestFun();
        stPeer.Write = PeerWrite;
        stPeer.Read = PeerRead;
        g_s32Peer = CommandProtocolOpen(&stPeer, "micro", 0);
        return Cmdfd >= 0 && g_s32Peer >= 0;
    }();
    ASSERT_TRUE(s_bDone);
}

TEST(Binding, BeforeInitSendsFailWithPleaseInitAndRunReportsTheMissingInstance) {
    ASSERT_EQ(0, CmdinitFlag.load()) << "this test must run before the binding is initialised";
    CapturedStream objErr(2);
    CapturedStream objOut(1);
    const uint8_t au8Data[2] = {0, 0};
    EXPECT_EQ(-1, Example_CommandInterfaceSend(0x600, au8Data, 2));
    EXPECT_EQ(-1, Example_CommandInterfaceSendRetry(0x600, au8Data, 2));
    Example_CommandInterfaceWaitSendIdle(100);
    EXPECT_EQ(0, Example_CommandInterfaceRun()) << "returns when no instance is bound";
    Example_CommandInterfaceStop(); // an invalid handle is ignored
    // Send; SendRetry (first try, the wait, second try); the wait; Run.
    const std::string strPlease = " please init (error)\r\n";
    EXPECT_EQ(strPlease + strPlease + strPlease + strPlease + strPlease + "error  invalid, -1.\n",
              objOut.Take());
    EXPECT_EQ("", objErr.Take()) << "no mark without an accepted command";
}

TEST(Binding, SerialWriteSendsWholeBuffersOnANonBlockingPortOrGivesUp) {
    auto *pobjAppender = new log4cpp::OstreamAppender("binding-test", &g_objLog);
    auto *pobjLayout = new log4cpp::PatternLayout();
    pobjLayout->setConversionPattern("%p %m|");
    pobjAppender->setLayout(pobjLayout);
    AppLogCategory().addAppender(pobjAppender); // the category owns it
    AppLogCategory().setPriority(log4cpp::Priority::DEBUG);

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
    // The write waits for room while a reader drains the port: every byte goes out.
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
    // Nobody reads: the write gives up after about 100 ms instead of blocking.
    fnFill();
    const auto tStart = Clock::now();
    EXPECT_EQ(-1, APP_Comm_Write(vecBig.data(), 6000));
    EXPECT_TRUE(MsSince(tStart) >= 50 && MsSince(tStart) < 2000) << MsSince(tStart);
    g_u32UartFd = -1;
    close(as32Fd[0]);
    close(as32Fd[1]);
}

TEST(Binding, InitBindsInstanceNameAndSendRetryMarksAFirstTrySuccess) {
    EnsureInit();
    CmdProtocolInstance *pstInst = CommandProtocolLookup(Cmdfd);
    EXPECT_STREQ("name", pstInst->name);
    EXPECT_EQ(CMD_STATUS_RUNNING, pstInst->status & ~CMD_STATUS_LINK_UP) << "heartbeats off";
    {
        CMutexLock objLock(g_objSendBufMutex);
        EXPECT_TRUE(pstInst->sendByte9 == 0x20 && pstInst->sendByte10 == 0x50);
        EXPECT_EQ(0, pstInst->cipherParam) << "not enciphered";
    }
    // Inline data, a payload buffer, and a command split into chunks.
    for (const Seen &stCase :
         {Seen{0x0601, {1, 2, 3}}, Seen{0x0604, Pattern(64, 4)}, Seen{0x0606, Pattern(1000, 6)}}) {
        CapturedStream objErr(2);
        EXPECT_EQ(0,
                  Example_CommandInterfaceSendRetry(stCase.first, stCase.second.data(),
                                                    static_cast<uint32_t>(stCase.second.size())));
        EXPECT_EQ(".", objErr.Take());
        EXPECT_EQ(std::vector<Bytes>{stCase.second}, Got(stCase.first));
    }
}

TEST(Binding, SendRetryFailsAnEmptyCommandTwiceAndRetriesAFullQueueWithoutAMark) {
    EnsureInit();
    CapturedStream objErr(2);
    auto tStart = Clock::now();
    EXPECT_EQ(-1, Example_CommandInterfaceSendRetry(0x600, nullptr, 0));
    EXPECT_LT(MsSince(tStart), 3000) << "waits at most about 1.01 s";
    // Ten commands the peer does not acknowledge yet: the retry waits until
    // the peer wakes up and the queue drains, then succeeds at its second try.
    ASSERT_TRUE(PollUntil([] { return Example_CommandInterfaceGetSendBufNum() == 0; }, 10000));
    g_bPeerDeaf = true;
    const uint8_t u8One = 1;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        ASSERT_EQ(0, Example_CommandInterfaceSend(0x0610, &u8One, 1)) << i;
    }
    std::thread objWake([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_bPeerDeaf = false;
    });
    tStart = Clock::now();
    EXPECT_EQ(0, Example_CommandInterfaceSendRetry(0x0612, &u8One, 1));
    EXPECT_GE(MsSince(tStart), 250);
    objWake.join();
    EXPECT_EQ("", objErr.Take()) << "a mark only for a first-try success";
    EXPECT_EQ(std::vector<Bytes>{{1}}, Got(0x0612));
}

TEST(Binding, IdButtonFramesAreParkedUntilTheStoreIsFull) {
    EnsureInit();
    // Eleven of them and another command, from the peer.
    for (int i = 0; i <= 11; ++i) {
        _CmdProtocolParam stRec = Rec(i < 11 ? CMD_STM32_IDBUTTON_TIMES : 0x0602, Bytes(8, i));
        ASSERT_TRUE(
            PollUntil([&] { return CommandProtocolSendCmdAdd(g_s32Peer, &stRec, 0) >= 0; }, 10000));
    }
    // The eleventh to arrive reaches the handler; the ten parked before it are
    // copies that outlive the callback. (Frames stored in the same millisecond
    // are taken in slot order, so the arrival order may differ from the sending.)
    EXPECT_EQ(std::vector<Bytes>{Bytes(8, 11)}, Got(0x0602)); // sent after them
    const std::vector<Bytes> vecHandled = Got(CMD_STM32_IDBUTTON_TIMES);
    EXPECT_EQ(1u, vecHandled.size());
    std::set<Bytes> setSeen(vecHandled.begin(), vecHandled.end());
    std::set<Bytes> setSent = {Bytes(8, 10)};
    for (int i = 0; i < 10; ++i) {
        _CmdProtocolParam stTaken{};
        ASSERT_EQ(0, Cmdfun.CommandProtocolGetCMDLongerToProgress(Cmdfd, &stTaken));
        setSeen.insert(Bytes(stTaken.payload, stTaken.payload + 8));
        setSent.emplace(8, static_cast<uint8_t>(i));
        free(stTaken.payload);
    }
    EXPECT_EQ(setSent, setSeen);
}

void *RunThread(void *) {
    Example_CommandInterfaceRun();
    ADD_FAILURE() << "Run came back"; // it ends the thread instead
    return nullptr;
}

TEST(Binding, RunStaysUntilTheInstanceStopsAndThenEndsItsThread) {
    EnsureInit();
    pthread_t stThread;
    ASSERT_EQ(0, pthread_create(&stThread, nullptr, RunThread, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(EBUSY, pthread_tryjoin_np(stThread, nullptr)) << "still in Run";
    const uint8_t u8One = 1; // meanwhile the engine works as before
    EXPECT_EQ(0, Example_CommandInterfaceSend(0x0620, &u8One, 1));
    EXPECT_EQ(std::vector<Bytes>{{1}}, Got(0x0620));
    Example_CommandInterfaceStop();
    timespec stDeadline{};
    clock_gettime(CLOCK_REALTIME, &stDeadline);
    stDeadline.tv_sec += 10;
    EXPECT_EQ(0, pthread_timedjoin_np(stThread, nullptr, &stDeadline));
    CommandProtocolStop(g_s32Peer);
    EXPECT_EQ(0, CommandProtocolWaitEngineEnd(g_s32Peer));

    // Every record of the run is a debug record of one of the three kinds,
    // naming its source line; a read that found nothing leaves none.
    AppLogCategory().setPriority(log4cpp::Priority::NOTSET);
    const std::string strLog = g_objLog.str();
    const std::regex objRecord("DEBUG (app write buf [0-9]+|app read buf [1-9][0-9]*|recv cmd "
                               "[0-9a-f]+ \n) --\\[binding\\.cpp:[0-9]+\\]\\|");
    EXPECT_EQ("", std::regex_replace(strLog, objRecord, "")) << "other records";
    for (const char *pszKind : {"DEBUG app write buf 6000 --", "DEBUG app write buf 17 --",
                                "DEBUG app read buf ", "DEBUG recv cmd 100d \n --"}) {
        EXPECT_NE(std::string::npos, strLog.find(pszKind)) << pszKind;
    }
}

} // namespace
