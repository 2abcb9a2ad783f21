// The application binding: the Example_CommandInterface operations and the
// APP_Comm_ callbacks, driven through Cmdfun on one end of a socketpair. The
// other end is a second protocol instance playing the microcontroller.
//
// The tests run in the order written: the first one checks the binding before
// it is initialised, the last one stops the bound instance. The others
// initialise it on first use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/LoggingEvent.hh>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/app_log.h"
#include "protocol/command_interface.h"
#include "protocol_internal.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Seen {
    uint16_t u16Cmd;
    uint8_t u8Param1;
    uint8_t u8Param2;
    Bytes vecData;
};

Seen Copy(const _CmdProtocolParam *pstFrame) {
    const uint8_t *pu8 = CmdParamPayload(pstFrame);
    return Seen{pstFrame->cmd, pstFrame->param1, pstFrame->param2, Bytes(pu8, pu8 + pstFrame->len)};
}

// What the application handler saw (on the binding's engine thread).
std::mutex g_objSeenMutex;
std::vector<Seen> g_vecHandlerSeen;
void RecordHandler(_CmdProtocolParam *pstFrame) {
    std::lock_guard<std::mutex> objLock(g_objSeenMutex);
    g_vecHandlerSeen.push_back(Copy(pstFrame));
}

// The peer instance: the other end of the socketpair.
int g_s32PeerFd = -1;
std::atomic<bool> g_bPeerDeaf{false}; // reads and drops everything: acknowledges nothing
std::mutex g_objPeerMutex;
std::vector<Seen> g_vecPeerSeen;
Bytes g_vecPeerTap; // every byte the peer read

int PeerWrite(const uint8_t *pu8Buf, int s32Len) {
    int s32Done = 0;
    const auto tDeadline = Clock::now() + std::chrono::seconds(5);
    while (s32Done < s32Len && Clock::now() < tDeadline) {
        ssize_t n = write(g_s32PeerFd, pu8Buf + s32Done, static_cast<size_t>(s32Len - s32Done));
        if (n > 0) {
            s32Done += static_cast<int>(n);
        } else {
            pollfd stPoll{g_s32PeerFd, POLLOUT, 0};
            poll(&stPoll, 1, 20);
        }
    }
    return s32Done;
}

int PeerRead(uint8_t *pu8Buf, int s32Max) {
    int n = static_cast<int>(read(g_s32PeerFd, pu8Buf, static_cast<size_t>(s32Max)));
    if (n <= 0) {
        return n;
    }
    if (g_bPeerDeaf.load()) {
        return 0;
    }
    std::lock_guard<std::mutex> objLock(g_objPeerMutex);
    g_vecPeerTap.insert(g_vecPeerTap.end(), pu8Buf, pu8Buf + n);
    return n;
}

void PeerDeliver(_CmdProtocolParam *pstFrame) {
    std::lock_guard<std::mutex> objLock(g_objPeerMutex);
    g_vecPeerSeen.push_back(Copy(pstFrame));
}

int g_s32PeerHandle = -1;

bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    const auto tDeadline = Clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (Clock::now() > tDeadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void SetNonBlocking(int s32Fd) {
    fcntl(s32Fd, F_SETFL, fcntl(s32Fd, F_GETFL) | O_NONBLOCK);
}

/// Initialises the binding once: serial port = one end of a socketpair, the
/// peer instance on the other end.
void EnsureInit() {
    static bool s_bDone = [] {
        CommandProtocolMutexInit();
        int asFd[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, asFd) != 0) {
            return false;
        }
        SetNonBlocking(asFd[0]);
        SetNonBlocking(asFd[1]);
        g_u32UartFd = asFd[0];
        g_s32PeerFd = asFd[1];
        APP_Comm_Recv_Handler = RecordHandler;
        // The heartbeat switch's answer: the link bit, which the new engine
        // thread may already have set in its first pass.
        int s32Init = Example_CommandInterfaceInit();
        EXPECT_TRUE(s32Init == 0 || s32Init == 1) << s32Init;

        CmdProtocolFun stPeer{};
        stPeer.Write = PeerWrite;
        stPeer.Read = PeerRead;
        stPeer.DataProcessing = PeerDeliver;
        g_s32PeerHandle = CommandProtocolOpen(&stPeer, "micro", 0);
        return g_s32PeerHandle >= 0;
    }();
    ASSERT_TRUE(s_bDone);
}

std::vector<Seen> PeerSeen() {
    std::lock_guard<std::mutex> objLock(g_objPeerMutex);
    return g_vecPeerSeen;
}

std::vector<Seen> HandlerSeen() {
    std::lock_guard<std::mutex> objLock(g_objSeenMutex);
    return g_vecHandlerSeen;
}

bool PeerGot(uint16_t u16Cmd) {
    std::vector<Seen> vecSeen = PeerSeen();
    return std::any_of(vecSeen.begin(), vecSeen.end(),
                       [u16Cmd](const Seen &s) { return s.u16Cmd == u16Cmd; });
}

Seen PeerLast(uint16_t u16Cmd) {
    std::vector<Seen> vecSeen = PeerSeen();
    for (auto it = vecSeen.rbegin(); it != vecSeen.rend(); ++it) {
        if (it->u16Cmd == u16Cmd) {
            return *it;
        }
    }
    return Seen{};
}

/// The first frame in the peer's tap with this command code, as wire bytes.
Bytes TappedFrame(uint16_t u16Cmd) {
    std::lock_guard<std::mutex> objLock(g_objPeerMutex);
    const Bytes &v = g_vecPeerTap;
    for (size_t i = 0; i + CMD_FRAME_SHORT_LEN <= v.size(); ++i) {
        if (v[i] != CMD_FRAME_SYNC1 || v[i + 1] != CMD_FRAME_SYNC2 ||
            (v[i + 11] | (v[i + 12] << 8)) != u16Cmd) {
            continue;
        }
        size_t u32Len = static_cast<size_t>(v[i + 2] | (v[i + 3] << 8));
        size_t u32Frame = u32Len <= CMD_FRAME_SHORT_MAX ? CMD_FRAME_SHORT_LEN : 13 + u32Len;
        if (i + u32Frame <= v.size()) {
            return Bytes(v.begin() + static_cast<long>(i),
                         v.begin() + static_cast<long>(i + u32Frame));
        }
    }
    return Bytes();
}

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Keeps the log records of the "CATEGORY" category.
class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender() : log4cpp::AppenderSkeleton("binding-capture") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *pobjLayout) override { delete pobjLayout; }
    std::vector<std::pair<std::string, int>> Take() {
        std::lock_guard<std::mutex> objLock(m_objMutex);
        return m_vecRecords;
    }

protected:
    void _append(const log4cpp::LoggingEvent &stEvent) override {
        std::lock_guard<std::mutex> objLock(m_objMutex);
        m_vecRecords.emplace_back(stEvent.message, stEvent.priority);
    }

private:
    std::mutex m_objMutex;
    std::vector<std::pair<std::string, int>> m_vecRecords;
};

// ---------------------------------------------------------------------------

TEST(Binding, BeforeInitSendsFailWithPleaseInitAndRunReportsTheMissingInstance) {
    ASSERT_EQ(0, CmdinitFlag.load()) << "this test must run before the binding is initialised";
    CapturedStream objErr(2);
    CapturedStream objOut(1);
    uint8_t au8Data[2] = {0, 0};
    EXPECT_EQ(-1, Example_CommandInterfaceSend(0x600, au8Data, 2));
    EXPECT_EQ(-1, Example_CommandInterfaceSendRetry(0x600, au8Data, 2));
    Example_CommandInterfaceWaitSendIdle(100);
    EXPECT_EQ(0, Example_CommandInterfaceRun()) << "returns when no instance is bound";
    std::string strOut = objOut.Take();
    std::string strPlease = " please init (error)\r\n";
    // Send; SendRetry (first try, the wait, second try); the wait.
    EXPECT_EQ(strPlease + strPlease + strPlease + strPlease + strPlease + "error  invalid, -1.\n",
              strOut);
    EXPECT_EQ("", objErr.Take()) << "no mark without an accepted command";
    Example_CommandInterfaceStop(); // an invalid handle is ignored
}

TEST(Binding, SerialGlueWritesWholeBuffersReadsAndLogs) {
    ASSERT_EQ(0, CmdinitFlag.load()) << "uses g_u32UartFd while no engine reads it";
    int asFd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, asFd));
    SetNonBlocking(asFd[0]);
    SetNonBlocking(asFd[1]);
    int s32Small = 4096;
    setsockopt(asFd[0], SOL_SOCKET, SO_SNDBUF, &s32Small, sizeof(s32Small));
    g_u32UartFd = asFd[0];

    CaptureAppender *pobjCapture = new CaptureAppender(); // the category owns it
    AppLogCategory().addAppender(pobjCapture);
    AppLogCategory().setPriority(log4cpp::Priority::DEBUG);

    // Fill the socket until the port would block.
    const Bytes vecFill(1024, 0xEE);
    // Block writes, then single bytes, until not one more byte fits.
    auto FillPort = [&] {
        size_t u32Bytes = 0;
        for (size_t u32Chunk : {vecFill.size(), size_t{1}}) {
            ssize_t n;
            while ((n = write(asFd[0], vecFill.data(), u32Chunk)) > 0) {
                u32Bytes += static_cast<size_t>(n);
            }
        }
        return u32Bytes;
    };
    const size_t u32Filled = FillPort();

    // A reader drains the port while the write waits for room: every byte
    // goes out, none is lost or cut off.
    const Bytes vecBig(6000, 0x5A);
    std::atomic<bool> bWriterDone{false};
    std::atomic<size_t> u32Read{0};
    std::thread objReader([&] {
        std::vector<uint8_t> vecBuf(65536);
        for (;;) {
            ssize_t n = read(asFd[1], vecBuf.data(), vecBuf.size());
            if (n > 0) {
                u32Read += static_cast<size_t>(n);
                continue;
            }
            if (bWriterDone.load()) {
                break;
            }
            pollfd stPoll{asFd[1], POLLIN, 0};
            poll(&stPoll, 1, 5);
        }
    });
    int s32Written = APP_Comm_Write(vecBig.data(), static_cast<int>(vecBig.size()));
    bWriterDone.store(true);
    objReader.join();
    EXPECT_EQ(static_cast<int>(vecBig.size()), s32Written);
    EXPECT_EQ(u32Filled + static_cast<size_t>(s32Written), u32Read.load());

    // Nobody reads: the write gives up after about 100 ms instead of blocking.
    FillPort();
    auto tStart = Clock::now();
    EXPECT_EQ(-1, APP_Comm_Write(vecBig.data(), static_cast<int>(vecBig.size())));
    EXPECT_GE(MsSince(tStart), 50);
    EXPECT_LT(MsSince(tStart), 2000);

    // Read: -1 while nothing waits (non-blocking port), the count otherwise.
    uint8_t au8Buf[64];
    while (read(asFd[0], au8Buf, sizeof(au8Buf)) > 0) {
    }
    EXPECT_EQ(-1, APP_Comm_Read(au8Buf, sizeof(au8Buf)));
    ASSERT_EQ(3, write(asFd[1], "abc", 3));
    EXPECT_EQ(3, APP_Comm_Read(au8Buf, sizeof(au8Buf)));

    // Recv: hands the frame to the handler; without one it only logs.
    _CmdProtocolParam stFrame{};
    stFrame.cmd = 0x0602;
    stFrame.len = 1;
    APP_Comm_Recv_Handler = RecordHandler;
    EXPECT_EQ(0, APP_Comm_Recv(&stFrame));
    APP_Comm_Recv_Handler = nullptr;
    EXPECT_EQ(0, APP_Comm_Recv(&stFrame));
    ASSERT_EQ(1u, HandlerSeen().size());
    EXPECT_EQ(0x0602, HandlerSeen()[0].u16Cmd);
    {
        std::lock_guard<std::mutex> objLock(g_objSeenMutex);
        g_vecHandlerSeen.clear();
    }

    std::vector<std::pair<std::string, int>> vecRecords = pobjCapture->Take();
    AppLogCategory().removeAppender(pobjCapture);
    AppLogCategory().setPriority(log4cpp::Priority::NOTSET);
    std::vector<std::string> vecTexts;
    for (const auto &stRecord : vecRecords) {
        EXPECT_EQ(log4cpp::Priority::DEBUG, stRecord.second) << stRecord.first;
        // Drop the " --[binding.cpp:<line>]" suffix after checking it.
        size_t u32At = stRecord.first.rfind(" --[binding.cpp:");
        ASSERT_NE(std::string::npos, u32At) << stRecord.first;
        EXPECT_EQ(']', stRecord.first.back());
        vecTexts.push_back(stRecord.first.substr(0, u32At));
    }
    EXPECT_EQ((std::vector<std::string>{"app write buf 6000", "app write buf 6000",
                                        "app read buf 3", "recv cmd 602 \n", "recv cmd 602 \n"}),
              vecTexts)
        << "no record for a read that found nothing";

    g_u32UartFd = -1;
    close(asFd[0]);
    close(asFd[1]);
}

TEST(Binding, InitBindsInstanceNameWithTheToolsFrameParameters) {
    EnsureInit();
    EXPECT_EQ(1, CmdinitFlag.load());
    CmdProtocolInstance *pstInst = CommandProtocolLookup(Cmdfd.load());
    ASSERT_NE(nullptr, pstInst);
    EXPECT_STREQ("name", pstInst->name);
    EXPECT_EQ(Example_CommandInterfaceWrite, Cmdfun.Write);
    EXPECT_EQ(Example_CommandInterfaceRead, Cmdfun.Read);
    EXPECT_EQ(Example_CommandInterfaceDataProcessing, Cmdfun.DataProcessing);
    EXPECT_EQ(CommandProtocolSendCmdAdd, Cmdfun.CommandProtocolSendCmdAdd);
    EXPECT_EQ(CommandProtocolGetCMDLongerToProgress, Cmdfun.CommandProtocolGetCMDLongerToProgress);
    EXPECT_EQ(0, pstInst->status.load() & CMD_STATUS_HEARTBEAT_ON) << "heartbeats off";
    EXPECT_EQ(0, pstInst->status.load() & CMD_STATUS_FAST_MODE) << "normal mode";
    EXPECT_NE(0, pstInst->status.load() & CMD_STATUS_RUNNING);
}

TEST(Binding, SendRetryQueuesTheCommandAndMarksAFirstTrySuccess) {
    EnsureInit();
    struct Case {
        uint16_t u16Cmd;
        Bytes vecData;
        size_t u32WireLen; // bytes of the frame on the line
    };
    Bytes vec64(64);
    for (size_t i = 0; i < vec64.size(); ++i) {
        vec64[i] = static_cast<uint8_t>(i * 3);
    }
    Bytes vec1000(1000);
    for (size_t i = 0; i < vec1000.size(); ++i) {
        vec1000[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const Case astCases[] = {
        {0x0600, {0, 0}, 17},
        {0x0601, {1, 2, 3}, 17}, // inline in bytes 13..15, byte 16 zero
        {0x0604, vec64, 13 + 64},
        {0x0606, vec1000, 0}, // split into chunks
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.u16Cmd);
        CapturedStream objErr(2);
        EXPECT_EQ(0,
                  Example_CommandInterfaceSendRetry(stCase.u16Cmd, stCase.vecData.data(),
                                                    static_cast<uint32_t>(stCase.vecData.size())));
        EXPECT_EQ(".", objErr.Take());
        ASSERT_TRUE(WaitUntil([&] { return PeerGot(stCase.u16Cmd); }, 10000));
        Seen stSeen = PeerLast(stCase.u16Cmd);
        EXPECT_EQ(stCase.vecData, stSeen.vecData);
        EXPECT_EQ(0x20, stSeen.u8Param1);
        EXPECT_EQ(0x50, stSeen.u8Param2);
        if (stCase.u32WireLen != 0) {
            Bytes vecWire = TappedFrame(stCase.u16Cmd);
            ASSERT_EQ(stCase.u32WireLen, vecWire.size());
            EXPECT_EQ(stCase.vecData.size(), static_cast<size_t>(vecWire[2] | (vecWire[3] << 8)));
            EXPECT_EQ(0, vecWire[6]) << "not enciphered, key 0";
            EXPECT_TRUE(
                std::equal(stCase.vecData.begin(), stCase.vecData.end(), vecWire.begin() + 13));
            if (stCase.u32WireLen == 17) {
                for (size_t i = 13 + stCase.vecData.size(); i < 17; ++i) {
                    EXPECT_EQ(0, vecWire[i]) << "unused data bytes are zero";
                }
            }
        }
    }
    EXPECT_TRUE(WaitUntil([] { return Example_CommandInterfaceGetSendBufNum() == 0; }, 10000));
}

TEST(Binding, AnEmptyCommandFailsTwiceWithoutAMark) {
    EnsureInit();
    CapturedStream objErr(2);
    CapturedStream objOut(1);
    auto tStart = Clock::now();
    EXPECT_EQ(-1, Example_CommandInterfaceSendRetry(0x600, nullptr, 0));
    EXPECT_LT(MsSince(tStart), 3000) << "waits at most about 1.01 s";
    std::string strOut = objOut.Take();
    EXPECT_EQ("", objErr.Take());
    // Both attempts are refused with the send operation's line naming the instance.
    size_t u32First = strOut.find("[CommandProtocolSendCmdAdd,");
    ASSERT_NE(std::string::npos, u32First) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("[CommandProtocolSendCmdAdd,", u32First + 1));
    EXPECT_NE(std::string::npos, strOut.find("] name\x1b[0m\r\n"));
}

TEST(Binding, SendRetryWaitsForTheQueueAndTriesOnceMore) {
    EnsureInit();
    ASSERT_TRUE(WaitUntil([] { return Example_CommandInterfaceGetSendBufNum() == 0; }, 10000));
    g_bPeerDeaf.store(true);
    uint8_t u8One = 1;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        ASSERT_EQ(0, Example_CommandInterfaceSend(0x0610, &u8One, 1)) << i;
    }

    // The queue never drains: about 1.01 s of waiting, then the second try fails too.
    {
        CapturedStream objErr(2);
        auto tStart = Clock::now();
        EXPECT_EQ(-1, Example_CommandInterfaceSendRetry(0x0611, &u8One, 1));
        long s32Ms = MsSince(tStart);
        EXPECT_GE(s32Ms, 1000) << "101 polls, 10 ms apart";
        EXPECT_LT(s32Ms, 5000);
        EXPECT_EQ("", objErr.Take());
    }

    // The peer wakes up while the retry waits: the second try succeeds, without a mark.
    {
        CapturedStream objErr(2);
        std::thread objWake([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            g_bPeerDeaf.store(false);
        });
        auto tStart = Clock::now();
        EXPECT_EQ(0, Example_CommandInterfaceSendRetry(0x0612, &u8One, 1));
        EXPECT_GE(MsSince(tStart), 250);
        objWake.join();
        EXPECT_EQ("", objErr.Take()) << "a mark only for a first-try success";
    }
    EXPECT_TRUE(WaitUntil([] { return PeerGot(0x0612); }, 10000));
    EXPECT_TRUE(WaitUntil([] { return Example_CommandInterfaceGetSendBufNum() == 0; }, 10000));
}

TEST(Binding, IdButtonFramesAreParkedUntilTheStoreIsFull) {
    EnsureInit();
    {
        std::lock_guard<std::mutex> objLock(g_objSeenMutex);
        g_vecHandlerSeen.clear();
    }
    for (int i = 0; i < 11; ++i) {
        _CmdProtocolParam stRec{};
        stRec.cmd = CMD_STM32_IDBUTTON_TIMES;
        stRec.len = 8;
        stRec.payload = static_cast<uint8_t *>(malloc(8));
        memset(stRec.payload, i, 8);
        // Eleven frames and one more do not fit the peer's ten slots at once.
        ASSERT_TRUE(WaitUntil(
            [&] { return CommandProtocolSendCmdAdd(g_s32PeerHandle, &stRec, 0) >= 0; }, 10000));
    }
    _CmdProtocolParam stOther{};
    stOther.cmd = 0x0602;
    stOther.len = 1;
    ASSERT_TRUE(WaitUntil(
        [&] { return CommandProtocolSendCmdAdd(g_s32PeerHandle, &stOther, 0) >= 0; }, 10000));
    ASSERT_TRUE(WaitUntil([] { return HandlerSeen().size() >= 2; }, 10000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(g_s32PeerHandle, 5000));

    std::vector<Seen> vecSeen = HandlerSeen();
    ASSERT_EQ(2u, vecSeen.size());
    EXPECT_EQ(CMD_STM32_IDBUTTON_TIMES, vecSeen[0].u16Cmd) << "the eleventh reaches the handler";
    EXPECT_EQ(Bytes(8, 10), vecSeen[0].vecData);
    EXPECT_EQ(0x0602, vecSeen[1].u16Cmd);

    for (int i = 0; i < 10; ++i) {
        _CmdProtocolParam stTaken{};
        ASSERT_EQ(0, Cmdfun.CommandProtocolGetCMDLongerToProgress(Cmdfd.load(), &stTaken));
        EXPECT_EQ(CMD_STM32_IDBUTTON_TIMES, stTaken.cmd);
        ASSERT_EQ(8, stTaken.len);
        EXPECT_EQ(Bytes(8, static_cast<uint8_t>(i)), Bytes(stTaken.payload, stTaken.payload + 8))
            << "a copy of the payload, kept beyond the callback";
        free(stTaken.payload);
    }
    _CmdProtocolParam stNone{};
    EXPECT_EQ(-1, Cmdfun.CommandProtocolGetCMDLongerToProgress(Cmdfd.load(), &stNone));
}

void *RunThread(void *pArg) {
    auto *pbReturned = static_cast<std::atomic<bool> *>(pArg);
    Example_CommandInterfaceRun();
    pbReturned->store(true); // never reached: Run ends the thread
    return nullptr;
}

TEST(Binding, RunStaysUntilTheInstanceStopsAndThenEndsItsThread) {
    EnsureInit();
    static std::atomic<bool> s_bReturned{false};
    pthread_t stThread;
    ASSERT_EQ(0, pthread_create(&stThread, nullptr, RunThread, &s_bReturned));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(EBUSY, pthread_tryjoin_np(stThread, nullptr)) << "still in Run";

    // Meanwhile the engine works as before: a command still goes through.
    uint8_t u8One = 1;
    EXPECT_EQ(0, Example_CommandInterfaceSend(0x0620, &u8One, 1));
    EXPECT_TRUE(WaitUntil([] { return PeerGot(0x0620); }, 10000));

    auto tStop = Clock::now();
    Example_CommandInterfaceStop();
    timespec stDeadline{};
    clock_gettime(CLOCK_REALTIME, &stDeadline);
    stDeadline.tv_sec += 10;
    EXPECT_EQ(0, pthread_timedjoin_np(stThread, nullptr, &stDeadline));
    EXPECT_LT(MsSince(tStop), 2000);
    EXPECT_FALSE(s_bReturned.load());
    EXPECT_EQ(0, CommandProtocolWaitEngineEnd(Cmdfd.load()));
    CommandProtocolStop(g_s32PeerHandle);
    EXPECT_EQ(0, CommandProtocolWaitEngineEnd(g_s32PeerHandle));
}

} // namespace
