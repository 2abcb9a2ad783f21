// Two real protocol instances, each with its own engine thread, talking to
// each other: over a socketpair, over a pty pair, and over a fake wire that
// drops and corrupts bytes. Also a peer that never answers (the send queue
// fills, repetition holds after 5000 ms and resumes on the peer's next frame)
// and the stop of the engine threads.
//
// The instance table holds ten instances for the whole process and they are
// never closed; this program opens nine (two per link test, one silent, two
// for the stop test).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "protocol_internal.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Endpoints: the callbacks carry no context, so each endpoint is an index
// into g_astEp and its callbacks are instantiated per index.

struct Delivered {
    uint16_t u16Cmd;
    uint8_t u8Param1;
    uint8_t u8Param2;
    Bytes vecData;
};

struct Endpoint {
    int s32Fd = -1;   // socket or pty side, for the real-descriptor links
    int s32Peer = -1; // fake wire: the endpoint whose inbound queue our writes feed

    std::mutex objMutex; // guards everything below
    std::vector<Delivered> vecDelivered;
    bool bTap = false;
    Bytes vecTap;                 // bytes written while tapping
    std::deque<uint8_t> deqIn;    // fake wire / injected bytes waiting to be read
    std::vector<Bytes> vecWrites; // sink: every Write call
    std::mt19937 objRng{1};       // fake wire: decides the fate of each byte written
    double dDrop = 0;
    double dCorrupt = 0;
    long s32Dropped = 0;
    long s32Corrupted = 0;
};

Endpoint g_astEp[9];

bool WriteAll(int s32Fd, const uint8_t *pu8Buf, int s32Len) {
    int s32Done = 0;
    const auto tDeadline = Clock::now() + std::chrono::seconds(5);
    while (s32Done < s32Len) {
        ssize_t n = write(s32Fd, pu8Buf + s32Done, static_cast<size_t>(s32Len - s32Done));
        if (n > 0) {
            s32Done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        if (Clock::now() > tDeadline) {
            return false;
        }
        pollfd stPoll{s32Fd, POLLOUT, 0};
        poll(&stPoll, 1, 50);
    }
    return true;
}

template <int N> int FdWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &stEp = g_astEp[N];
    {
        std::lock_guard<std::mutex> objLock(stEp.objMutex);
        if (stEp.bTap) {
            stEp.vecTap.insert(stEp.vecTap.end(), pu8Buf, pu8Buf + s32Len);
        }
    }
    return WriteAll(stEp.s32Fd, pu8Buf, s32Len) ? s32Len : -1;
}

template <int N> int FdRead(uint8_t *pu8Buf, int s32Max) {
    return static_cast<int>(read(g_astEp[N].s32Fd, pu8Buf, static_cast<size_t>(s32Max)));
}

template <int N> int WireWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &stEp = g_astEp[N];
    Endpoint &stPeer = g_astEp[stEp.s32Peer];
    Bytes vecOut;
    {
        std::lock_guard<std::mutex> objLock(stEp.objMutex);
        std::uniform_real_distribution<double> objFate(0.0, 1.0);
        std::uniform_int_distribution<int> objBit(0, 7);
        for (int i = 0; i < s32Len; ++i) {
            double d = objFate(stEp.objRng);
            if (d < stEp.dDrop) {
                ++stEp.s32Dropped;
                continue;
            }
            uint8_t u8 = pu8Buf[i];
            if (d < stEp.dDrop + stEp.dCorrupt) {
                u8 = static_cast<uint8_t>(u8 ^ (1u << objBit(stEp.objRng)));
                ++stEp.s32Corrupted;
            }
            vecOut.push_back(u8);
        }
    }
    std::lock_guard<std::mutex> objLock(stPeer.objMutex);
    stPeer.deqIn.insert(stPeer.deqIn.end(), vecOut.begin(), vecOut.end());
    return s32Len;
}

template <int N> int QueueRead(uint8_t *pu8Buf, int s32Max) {
    Endpoint &stEp = g_astEp[N];
    std::lock_guard<std::mutex> objLock(stEp.objMutex);
    int n = 0;
    while (n < s32Max && !stEp.deqIn.empty()) {
        pu8Buf[n++] = stEp.deqIn.front();
        stEp.deqIn.pop_front();
    }
    return n;
}

template <int N> int SinkWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &stEp = g_astEp[N];
    std::lock_guard<std::mutex> objLock(stEp.objMutex);
    stEp.vecWrites.emplace_back(pu8Buf, pu8Buf + s32Len);
    return s32Len;
}

template <int N> void Deliver(_CmdProtocolParam *pstFrame) {
    Endpoint &stEp = g_astEp[N];
    Delivered stOut{};
    stOut.u16Cmd = pstFrame->cmd;
    stOut.u8Param1 = pstFrame->param1;
    stOut.u8Param2 = pstFrame->param2;
    const uint8_t *pu8 = CmdParamPayload(pstFrame);
    stOut.vecData.assign(pu8, pu8 + pstFrame->len);
    std::lock_guard<std::mutex> objLock(stEp.objMutex);
    stEp.vecDelivered.push_back(std::move(stOut));
}

enum class Wire { Fd, Fake, Sink };

template <int N> int OpenEndpoint(Wire eWire, const char *pszName, int s32Mode) {
    CommandProtocolMutexInit();
    CmdProtocolFun stFun{};
    switch (eWire) {
    case Wire::Fd:
        stFun.Write = FdWrite<N>;
        stFun.Read = FdRead<N>;
        break;
    case Wire::Fake:
        stFun.Write = WireWrite<N>;
        stFun.Read = QueueRead<N>;
        break;
    case Wire::Sink:
        stFun.Write = SinkWrite<N>;
        stFun.Read = QueueRead<N>;
        break;
    }
    stFun.DataProcessing = Deliver<N>;
    int s32Handle = CommandProtocolOpen(&stFun, pszName, s32Mode);
    EXPECT_GE(s32Handle, 0) << pszName;
    EXPECT_EQ(CommandProtocolSendCmdAdd, stFun.CommandProtocolSendCmdAdd)
        << "open completes the caller's table";
    return s32Handle;
}

// ---------------------------------------------------------------------------
// Messages

struct Message {
    uint16_t u16Cmd;
    Bytes vecData;
};

Bytes Pattern(size_t u32Len, uint32_t u32Seed) {
    Bytes vecOut(u32Len);
    uint32_t x = u32Seed * 2654435761u + 7;
    for (uint8_t &u8 : vecOut) {
        x = x * 1103515245u + 12345u;
        u8 = static_cast<uint8_t>(x >> 16);
    }
    return vecOut;
}

std::vector<Message> MakeMessages(uint16_t u16FirstCmd, const std::vector<size_t> &vecSizes) {
    std::vector<Message> vecOut;
    for (size_t i = 0; i < vecSizes.size(); ++i) {
        uint16_t u16Cmd = static_cast<uint16_t>(u16FirstCmd + i);
        vecOut.push_back({u16Cmd, Pattern(vecSizes[i], u16Cmd)});
    }
    return vecOut;
}

/// Queues one message; the buffer of a 5..512-byte message goes to the queue on success.
int SendMessage(int s32Handle, const Message &stMsg) {
    _CmdProtocolParam stRec{};
    stRec.cmd = stMsg.u16Cmd;
    stRec.len = static_cast<uint16_t>(stMsg.vecData.size());
    if (stRec.len <= CMD_FRAME_SHORT_MAX) {
        memcpy(stRec.data, stMsg.vecData.data(), stMsg.vecData.size());
        return CommandProtocolSendCmdAdd(s32Handle, &stRec, 0);
    }
    stRec.payload = static_cast<uint8_t *>(malloc(stRec.len));
    memcpy(stRec.payload, stMsg.vecData.data(), stRec.len);
    int s32Ret = CommandProtocolSendCmdAdd(s32Handle, &stRec, 0);
    if (s32Ret < 0 || stRec.len > CMD_FRAME_MAX_PAYLOAD) {
        free(stRec.payload);
    }
    return s32Ret;
}

/// Queues a message, trying again while the queue is full (as an application would).
bool SendPatiently(int s32Handle, const Message &stMsg, int s32TimeoutMs) {
    const auto tDeadline = Clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (SendMessage(s32Handle, stMsg) < 0) {
        if (Clock::now() > tDeadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

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

size_t DeliveredCount(int N) {
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    return g_astEp[N].vecDelivered.size();
}

std::vector<Delivered> TakeDelivered(int N) {
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    std::vector<Delivered> vecOut;
    vecOut.swap(g_astEp[N].vecDelivered);
    return vecOut;
}

/// Waits for the engine loop to end, giving up after s32TimeoutMs.
bool EngineEndsWithin(int s32Handle, int s32TimeoutMs) {
    auto pbDone = std::make_shared<std::atomic<bool>>(false);
    std::thread([s32Handle, pbDone] {
        CommandProtocolWaitEngineEnd(s32Handle);
        pbDone->store(true);
    }).detach();
    return WaitUntil([pbDone] { return pbDone->load(); }, s32TimeoutMs);
}

void StopBoth(int s32A, int s32B) {
    CommandProtocolStop(s32A);
    CommandProtocolStop(s32B);
    EXPECT_TRUE(EngineEndsWithin(s32A, 5000));
    EXPECT_TRUE(EngineEndsWithin(s32B, 5000));
}

/// Sends the short messages back to back, lets the queue drain, then the
/// long ones. (A chunk of a long message is queued with priority and would
/// overtake short messages still waiting for their first transmission: the
/// protocol orders messages of one kind, not across kinds.)
void SendInOrder(int s32Handle, const std::vector<Message> &vecMsgs) {
    bool bDrained = false;
    for (const Message &stMsg : vecMsgs) {
        if (stMsg.vecData.size() > CMD_FRAME_MAX_PAYLOAD && !bDrained) {
            EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(s32Handle, 10000));
            bDrained = true;
        }
        EXPECT_TRUE(SendPatiently(s32Handle, stMsg, 10000)) << stMsg.u16Cmd;
    }
}

void ExpectDeliveredInOrder(const std::vector<Delivered> &vecGot,
                            const std::vector<Message> &vecSent, uint8_t u8Param1,
                            uint8_t u8Param2) {
    ASSERT_EQ(vecSent.size(), vecGot.size());
    for (size_t i = 0; i < vecSent.size(); ++i) {
        EXPECT_EQ(vecSent[i].u16Cmd, vecGot[i].u16Cmd) << "message " << i;
        EXPECT_TRUE(vecSent[i].vecData == vecGot[i].vecData)
            << "message " << i << " of " << vecSent[i].vecData.size() << " bytes differs";
        EXPECT_EQ(u8Param1, vecGot[i].u8Param1);
        EXPECT_EQ(u8Param2, vecGot[i].u8Param2);
    }
}

bool Contains(const Bytes &vecHay, const Bytes &vecNeedle) {
    return std::search(vecHay.begin(), vecHay.end(), vecNeedle.begin(), vecNeedle.end()) !=
           vecHay.end();
}

void SetNonBlocking(int s32Fd) {
    fcntl(s32Fd, F_SETFL, fcntl(s32Fd, F_GETFL) | O_NONBLOCK);
}

const std::vector<size_t> kSizes = {1, 4, 5, 512, 513, 65535};

// ---------------------------------------------------------------------------

TEST(Link, SocketpairCarriesEveryCommandOnceInOrderPlainAndEnciphered) {
    int asFd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, asFd));
    SetNonBlocking(asFd[0]);
    SetNonBlocking(asFd[1]);
    g_astEp[0].s32Fd = asFd[0];
    g_astEp[1].s32Fd = asFd[1];
    const int hA = OpenEndpoint<0>(Wire::Fd, "left", 0);
    const int hB = OpenEndpoint<1>(Wire::Fd, "right", 0);
    ASSERT_GE(hA, 0);
    ASSERT_GE(hB, 0);

    const std::vector<Message> vecAtoB = MakeMessages(0x1100, kSizes);
    const std::vector<Message> vecBtoA = MakeMessages(0x1200, kSizes);
    for (int s32Encrypt = 0; s32Encrypt <= 1; ++s32Encrypt) {
        SCOPED_TRACE(s32Encrypt ? "enciphered" : "plain");
        // Each side enciphers with its own key; the receiver follows the frame's key index.
        CommandProtocolSetParam(hA, static_cast<uint8_t>(s32Encrypt), 0, 0x20, 0x50, 0);
        CommandProtocolSetParam(hB, static_cast<uint8_t>(s32Encrypt), 1, 0x21, 0x51, 0);
        {
            std::lock_guard<std::mutex> objLock(g_astEp[0].objMutex);
            g_astEp[0].bTap = true;
            g_astEp[0].vecTap.clear();
        }

        std::thread objBSide([&] { SendInOrder(hB, vecBtoA); });
        SendInOrder(hA, vecAtoB);
        objBSide.join();

        EXPECT_TRUE(
            WaitUntil([] { return DeliveredCount(0) >= 6 && DeliveredCount(1) >= 6; }, 60000));
        EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hA, 10000));
        EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hB, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for a stray repeat
        ExpectDeliveredInOrder(TakeDelivered(1), vecAtoB, 0x20, 0x50);
        ExpectDeliveredInOrder(TakeDelivered(0), vecBtoA, 0x21, 0x51);

        Bytes vecTap;
        {
            std::lock_guard<std::mutex> objLock(g_astEp[0].objMutex);
            g_astEp[0].bTap = false;
            vecTap.swap(g_astEp[0].vecTap);
        }
        const Bytes vecProbe(vecAtoB[3].vecData.begin(), vecAtoB[3].vecData.begin() + 32);
        EXPECT_EQ(s32Encrypt == 0, Contains(vecTap, vecProbe))
            << "the 512-byte payload travels in clear only when not enciphered";
    }
    StopBoth(hA, hB);
}

TEST(Link, LossyWireStillDeliversEveryCommandExactlyOnce) {
    const int kA = 2;
    const int kB = 3;
    g_astEp[kA].s32Peer = kB;
    g_astEp[kB].s32Peer = kA;
    for (int N : {kA, kB}) {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        g_astEp[N].objRng.seed(static_cast<unsigned>(20240 + N));
        g_astEp[N].dDrop = 1.0 / 2000;
        g_astEp[N].dCorrupt = 1.0 / 2000;
    }
    const int hA = OpenEndpoint<kA>(Wire::Fake, "lossA", 0);
    const int hB = OpenEndpoint<kB>(Wire::Fake, "lossB", 0);
    ASSERT_GE(hA, 0);
    ASSERT_GE(hB, 0);

    std::vector<size_t> vecSizes = {1, 4, 5, 100, 512, 513, 2000, 65535};
    for (int i = 0; i < 40; ++i) {
        vecSizes.push_back(static_cast<size_t>(1 + (i * 37) % 300));
    }
    const std::vector<Message> vecAtoB = MakeMessages(0x2000, vecSizes);
    const std::vector<Message> vecBtoA = MakeMessages(0x3000, vecSizes);

    std::thread objBSide([&] {
        for (const Message &stMsg : vecBtoA) {
            EXPECT_TRUE(SendPatiently(hB, stMsg, 30000));
        }
    });
    for (const Message &stMsg : vecAtoB) {
        EXPECT_TRUE(SendPatiently(hA, stMsg, 30000));
    }
    objBSide.join();

    EXPECT_TRUE(WaitUntil(
        [&] {
            return DeliveredCount(kA) >= vecBtoA.size() && DeliveredCount(kB) >= vecAtoB.size();
        },
        120000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hA, 30000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hB, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // room for a late duplicate

    for (auto [N, pvecSent] : {std::pair<int, const std::vector<Message> *>{kB, &vecAtoB},
                               std::pair<int, const std::vector<Message> *>{kA, &vecBtoA}}) {
        std::vector<Delivered> vecGot = TakeDelivered(N);
        // Exactly once each, byte for byte; order is not promised when frames are lost.
        EXPECT_EQ(pvecSent->size(), vecGot.size());
        for (const Message &stMsg : *pvecSent) {
            long s32Seen = std::count_if(vecGot.begin(), vecGot.end(), [&](const Delivered &d) {
                return d.u16Cmd == stMsg.u16Cmd;
            });
            EXPECT_EQ(1, s32Seen) << std::hex << stMsg.u16Cmd;
            for (const Delivered &d : vecGot) {
                if (d.u16Cmd == stMsg.u16Cmd) {
                    EXPECT_TRUE(d.vecData == stMsg.vecData) << std::hex << stMsg.u16Cmd;
                }
            }
        }
    }
    for (int N : {kA, kB}) {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        EXPECT_GT(g_astEp[N].s32Dropped, 0) << "the wire did drop bytes";
        EXPECT_GT(g_astEp[N].s32Corrupted, 0) << "the wire did corrupt bytes";
    }
    StopBoth(hA, hB);
}

/// Frames written by the silent test's instance whose command is not 0.
size_t SinkCommandFrames(int N) {
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    return static_cast<size_t>(
        std::count_if(g_astEp[N].vecWrites.begin(), g_astEp[N].vecWrites.end(), [](const Bytes &v) {
            return v.size() == CMD_FRAME_SHORT_LEN && (v[11] | (v[12] << 8)) != CMD_ACK;
        }));
}

Bytes PeerHeartbeat(uint16_t u16Sn) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = CMD_HEART_BEAT;
    stRec.len = 4;
    stRec.sn = u16Sn;
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8 = CmdParamBytes(&stRec);
    return Bytes(pu8, pu8 + CMD_FRAME_SHORT_LEN);
}

TEST(Link, SilentPeerFillsTheQueueAndRepetitionHoldsThenResumes) {
    const int kS = 4;
    const int hS = OpenEndpoint<kS>(Wire::Sink, "mute", 0);
    ASSERT_GE(hS, 0);
    const Message stMsg{0x1300, {0x42}};
    const auto tFirst = Clock::now();
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        ASSERT_GE(SendMessage(hS, stMsg), 0) << i;
    }
    {
        CapturedStream objOut(1);
        const auto tStart = Clock::now();
        EXPECT_EQ(-1, SendMessage(hS, stMsg));
        EXPECT_LT(Clock::now() - tStart, std::chrono::milliseconds(1000)) << "fails at once";
        EXPECT_EQ("", objOut.Take()) << "and prints nothing";
    }

    // Repeated while younger than 5000 ms, then held.
    std::this_thread::sleep_until(tFirst + std::chrono::milliseconds(5600));
    const size_t u32Before = SinkCommandFrames(kS);
    // Five of them are in the window (see the send queue), and each of those was repeated.
    EXPECT_GE(u32Before, 2u * 5u) << "frames went out and were repeated";
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(u32Before, SinkCommandFrames(kS)) << "held after 5000 ms of silence";
    EXPECT_EQ(CMD_SLOT_COUNT, CommandProtocolGetSendBufNum(hS)) << "held frames stay queued";

    // A single frame from the peer restarts the repetition.
    {
        Bytes vecBeat = PeerHeartbeat(7);
        std::lock_guard<std::mutex> objLock(g_astEp[kS].objMutex);
        g_astEp[kS].deqIn.insert(g_astEp[kS].deqIn.end(), vecBeat.begin(), vecBeat.end());
    }
    EXPECT_TRUE(
        WaitUntil([&] { return SinkCommandFrames(kS) >= u32Before + CMD_SLOT_COUNT; }, 5000))
        << "repetition resumed";
    {
        std::lock_guard<std::mutex> objLock(g_astEp[kS].objMutex);
        bool bAcked = std::any_of(
            g_astEp[kS].vecWrites.begin(), g_astEp[kS].vecWrites.end(), [](const Bytes &v) {
                return v.size() == CMD_FRAME_SHORT_LEN && v[11] == 0 && v[12] == 0 && v[7] == 7;
            });
        EXPECT_TRUE(bAcked) << "the heartbeat was acknowledged";
    }
    CommandProtocolStop(hS);
    EXPECT_TRUE(EngineEndsWithin(hS, 5000));
}

TEST(Link, PtyPairInFastModeCarriesCommandsBothWays) {
    int s32Master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(s32Master, 0);
    ASSERT_EQ(0, grantpt(s32Master));
    ASSERT_EQ(0, unlockpt(s32Master));
    int s32Slave = open(ptsname(s32Master), O_RDWR | O_NOCTTY);
    ASSERT_GE(s32Slave, 0);
    // Raw on the line: no echo, no newline translation, every byte as it is.
    termios stTio{};
    ASSERT_EQ(0, tcgetattr(s32Slave, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(s32Slave, TCSANOW, &stTio));
    SetNonBlocking(s32Master);
    SetNonBlocking(s32Slave);
    g_astEp[5].s32Fd = s32Master;
    g_astEp[6].s32Fd = s32Slave;
    const int hA = OpenEndpoint<5>(Wire::Fd, "ptyA", 1);
    const int hB = OpenEndpoint<6>(Wire::Fd, "ptyB", 1);
    ASSERT_GE(hA, 0);
    ASSERT_GE(hB, 0);

    const std::vector<Message> vecAtoB = MakeMessages(0x1400, kSizes);
    const std::vector<Message> vecBtoA = MakeMessages(0x1500, kSizes);
    std::thread objBSide([&] { SendInOrder(hB, vecBtoA); });
    SendInOrder(hA, vecAtoB);
    objBSide.join();
    EXPECT_TRUE(WaitUntil([] { return DeliveredCount(5) >= 6 && DeliveredCount(6) >= 6; }, 60000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hA, 10000));
    EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(hB, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectDeliveredInOrder(TakeDelivered(6), vecAtoB, 0, 0);
    ExpectDeliveredInOrder(TakeDelivered(5), vecBtoA, 0, 0);
    StopBoth(hA, hB);
}

TEST(Link, StopEndsBothEnginesWithinAPassAndNothingIsSentAfterwards) {
    int asFd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, asFd));
    SetNonBlocking(asFd[0]);
    SetNonBlocking(asFd[1]);
    g_astEp[7].s32Fd = asFd[0];
    g_astEp[8].s32Fd = asFd[1];
    const int hA = OpenEndpoint<7>(Wire::Fd, "stopA", 0);
    const int hB = OpenEndpoint<8>(Wire::Fd, "stopB", 0);
    ASSERT_GE(hA, 0);
    ASSERT_GE(hB, 0);

    // Statistics on: one line at the first idle pass (the clock is long past
    // 5 s), then none for the next five seconds.
    {
        CapturedStream objOut(1);
        CommandProtocolSetParam(hA, 0, 0, 0, 0, 0x04);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CommandProtocolSetParam(hA, 0, 0, 0, 0, 0);
        std::string strOut = objOut.Take();
        std::regex objLine(
            "\x1b\\[31m\\[transfer\\]\\[CommandProtocolRecvSend_thread_Handler,[0-9]+\\] "
            "stopA S=[0-9]+ ms=[0-9]+ \\[[0-9]+,[0-9]+\\]\x1b\\[0m\r\n");
        EXPECT_EQ(1, std::distance(std::sregex_iterator(strOut.begin(), strOut.end(), objLine),
                                   std::sregex_iterator()))
            << strOut;
    }

    const auto tStop = Clock::now();
    CommandProtocolStop(hA);
    CommandProtocolStop(hB);
    EXPECT_TRUE(EngineEndsWithin(hA, 2000));
    EXPECT_TRUE(EngineEndsWithin(hB, 2000));
    EXPECT_LT(Clock::now() - tStop, std::chrono::milliseconds(2000));

    // A stopped instance still accepts a send, but nothing transmits it.
    const Message stMsg{0x1600, {1, 2, 3}};
    EXPECT_GE(SendMessage(hA, stMsg), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint8_t au8Buf[64];
    EXPECT_EQ(-1, read(asFd[1], au8Buf, sizeof(au8Buf)));
    EXPECT_EQ(1, CommandProtocolGetSendBufNum(hA));
}

} // namespace
