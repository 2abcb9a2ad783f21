// The instance table: the mutex set-up, opening (numbering, names, record
// set-up, table completion, draining stale input, the eleventh open), lookup,
// stop and the wait for the engine, and a reset asked while the engine runs.
//
// The table holds ten instances for the whole process; the tests run in the
// order written and share the ten that the open test makes.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol_internal.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Endpoint {
    std::mutex objMutex;
    std::deque<uint8_t> deqIn;       // bytes waiting on the "link"
    std::vector<int> vecOpenerReads; // results of Read calls made by the opening thread
    std::vector<uint16_t> vecDelivered;
    std::function<void()> fnOnDeliver; // runs inside DataProcessing, on the engine thread
};
Endpoint g_astEp[CMD_INSTANCE_COUNT];
pthread_t g_stOpener;

int NoWrite(const uint8_t *, int s32Len) {
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
    if (pthread_equal(pthread_self(), g_stOpener)) {
        stEp.vecOpenerReads.push_back(n);
    }
    return n;
}

template <int N> void Deliver(_CmdProtocolParam *pstFrame) {
    std::function<void()> fnHook;
    {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        g_astEp[N].vecDelivered.push_back(pstFrame->cmd);
        fnHook = g_astEp[N].fnOnDeliver;
    }
    if (fnHook) {
        fnHook();
    }
}

template <int N> CmdProtocolFun FunFor() {
    CmdProtocolFun stFun{};
    stFun.Write = NoWrite;
    stFun.Read = QueueRead<N>;
    stFun.DataProcessing = Deliver<N>;
    return stFun;
}

template <int... Ns> std::vector<CmdProtocolFun> AllFuns(std::integer_sequence<int, Ns...>) {
    return {FunFor<Ns>()...};
}

int g_as32Handles[CMD_INSTANCE_COUNT];

void Feed(int N, const Bytes &vecBytes) {
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    g_astEp[N].deqIn.insert(g_astEp[N].deqIn.end(), vecBytes.begin(), vecBytes.end());
}

size_t DeliveredCount(int N) {
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    return g_astEp[N].vecDelivered.size();
}

bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    const auto tDeadline = Clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (Clock::now() > tDeadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Bytes PeerFrame(uint16_t u16Cmd, uint16_t u16Sn) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = u16Cmd;
    stRec.sn = u16Sn;
    stRec.len = 2;
    stRec.data[0] = 0x11;
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8 = CmdParamBytes(&stRec);
    return Bytes(pu8, pu8 + CMD_FRAME_SHORT_LEN);
}

// ---------------------------------------------------------------------------

TEST(Instance, OpenBeforeTheMutexIsInitialisedIsRefused) {
    CapturedStream objOut(1);
    CmdProtocolFun stFun = FunFor<0>();
    EXPECT_EQ(-1, CommandProtocolOpen(&stFun, "early", 0));
    std::string strOut = objOut.Take();
    EXPECT_EQ(0u, strOut.find("\x1b[31m[transfer][CommandProtocolOpen,")) << strOut;
    const std::string strTail =
        "] Please call the CommandProtocolMutexInit function. \n\x1b[0m\r\n";
    ASSERT_GE(strOut.size(), strTail.size());
    EXPECT_EQ(strTail, strOut.substr(strOut.size() - strTail.size())) << strOut;
}

TEST(Instance, MutexInitIsIdempotent) {
    EXPECT_EQ(0, CommandProtocolMutexInit());
    EXPECT_EQ(0, CommandProtocolMutexInit());
}

TEST(Instance, OpenRefusesATableWithoutWriteOrDataProcessing) {
    CapturedStream objOut(1);
    CmdProtocolFun stFun = FunFor<0>();
    stFun.Write = nullptr;
    EXPECT_EQ(-1, CommandProtocolOpen(&stFun, "nowr", 0));
    stFun = FunFor<0>();
    stFun.DataProcessing = nullptr;
    EXPECT_EQ(-1, CommandProtocolOpen(&stFun, "nodp", 0));
    std::string strOut = objOut.Take();
    EXPECT_NE(std::string::npos, strOut.find("] open error  [nowr]\x1b[0m\r\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("] open error  [nodp]\x1b[0m\r\n")) << strOut;
}

TEST(Instance, TenOpensGetHandlesZeroToNineAndTheEleventhFails) {
    g_stOpener = pthread_self();
    std::vector<CmdProtocolFun> vecFuns = AllFuns(std::make_integer_sequence<int, 10>());
    // Stale input waits on two of the links: 3000 bytes (two drain reads) and
    // 100 bytes (one drain read that finds them, a second that finds none).
    Feed(1, Bytes(3000, 0x00));
    Feed(2, Bytes(100, 0x00));

    CapturedStream objOut(1);
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        const char *pszName = i == 0 ? "longername" : "inst";
        g_as32Handles[i] = CommandProtocolOpen(&vecFuns[static_cast<size_t>(i)], pszName,
                                               i == 3 ? 1 : (i == 4 ? 2 : 0));
        EXPECT_EQ(i, g_as32Handles[i]);
    }
    CmdProtocolFun stMore = FunFor<0>();
    EXPECT_EQ(-1, CommandProtocolOpen(&stMore, "eleventh", 0));
    std::string strOut = objOut.Take();

    // Names are cut to five characters in the lines.
    EXPECT_NE(std::string::npos, strOut.find("\x1b[36m[transfer][CommandProtocolOpen,")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("] #run# longe fd =0\x1b[0m\r\n")) << strOut;
    EXPECT_NE(std::string::npos,
              strOut.find("] Fixed space required [" + std::to_string(sizeof(CmdProtocolInstance)) +
                          "]BYTE  longe fd=0"))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("] #run# inst fd =9\x1b[0m\r\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("] open error  [eleventh]\x1b[0m\r\n")) << strOut;

    // The opener drained: two reads when the first found bytes, else one.
    {
        std::lock_guard<std::mutex> objLock(g_astEp[1].objMutex);
        EXPECT_EQ((std::vector<int>{1024, 1024}), g_astEp[1].vecOpenerReads);
    }
    {
        std::lock_guard<std::mutex> objLock(g_astEp[2].objMutex);
        EXPECT_EQ((std::vector<int>{100, 0}), g_astEp[2].vecOpenerReads);
    }
    {
        std::lock_guard<std::mutex> objLock(g_astEp[5].objMutex);
        EXPECT_EQ((std::vector<int>{0}), g_astEp[5].vecOpenerReads);
    }

    // The caller's table is completed; its own three entries stay.
    const CmdProtocolFun &stFun = vecFuns[0];
    EXPECT_EQ(NoWrite, stFun.Write);
    EXPECT_EQ(QueueRead<0>, stFun.Read);
    EXPECT_EQ(Deliver<0>, stFun.DataProcessing);
    EXPECT_EQ(CommandInterfaceRead2, stFun.CommandInterfaceRead2);
    EXPECT_EQ(CommandProtocolConfirmCmdsent, stFun.CommandProtocolConfirmCmdsent);
    EXPECT_EQ(CommandProtocolSendCmdAdd, stFun.CommandProtocolSendCmdAdd);
    EXPECT_EQ(CommandProtocolGetSendBufNum, stFun.CommandProtocolGetSendBufNum);
    EXPECT_EQ(CommandProtocolSetParam, stFun.CommandProtocolSetParam);
    EXPECT_EQ(CommandProtocolTransferFileSendStart, stFun.CommandProtocolTransferFileSendStart);
    EXPECT_EQ(CommandProtocolTransferFileProgress, stFun.CommandProtocolTransferFileProgress);
    EXPECT_EQ(CommandProtocolHeartBeatStatue, stFun.CommandProtocolHeartBeatStatue);
    EXPECT_EQ(CommandProtocolReset, stFun.CommandProtocolReset);
    EXPECT_EQ(CommandProtocolBackupCMDLongerToProgress,
              stFun.CommandProtocolBackupCMDLongerToProgress);
    EXPECT_EQ(CommandProtocolGetCMDLongerToProgress, stFun.CommandProtocolGetCMDLongerToProgress);
}

TEST(Instance, AFreshRecordIsSetUpForItsMode) {
    struct Case {
        int s32Mode;
        bool bFast;
    };
    const Case astCases[] = {{0, false}, {1, true}, {2, false}};
    for (const Case &stCase : astCases) {
        CmdProtocolInstance stInst;
        CmdProtocolFun stFun = FunFor<0>();
        CommandProtocolInstanceInit(&stInst, &stFun, "abcdefgh", stCase.s32Mode);
        EXPECT_STREQ("abcde", stInst.name);
        EXPECT_EQ(1, stInst.sendSn);
        for (uint16_t u16Entry : stInst.recvSnHistory) {
            EXPECT_EQ(CMD_SN_EMPTY, u16Entry);
        }
        uint8_t u8Status = stInst.status.load();
        EXPECT_EQ(0, u8Status & CMD_STATUS_LINK_UP);
        EXPECT_NE(0, u8Status & CMD_STATUS_HEARTBEAT_ON);
        EXPECT_NE(0, u8Status & CMD_STATUS_RUNNING);
        EXPECT_EQ(stCase.bFast, (u8Status & CMD_STATUS_FAST_MODE) != 0) << stCase.s32Mode;
        EXPECT_EQ(stInst.lastAckTime, stInst.lastSendTime);
        EXPECT_EQ(CommandProtocolSendCmdAdd, stInst.fun.CommandProtocolSendCmdAdd);
    }
}

TEST(Instance, LookupKnowsOnlyOpenHandles) {
    for (int s32Handle : {-1, 10, 11, -100}) {
        EXPECT_EQ(nullptr, CommandProtocolLookup(s32Handle)) << s32Handle;
    }
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        CmdProtocolInstance *pstInst = CommandProtocolLookup(i);
        ASSERT_NE(nullptr, pstInst);
        EXPECT_EQ(i == 3, (pstInst->status.load() & CMD_STATUS_FAST_MODE) != 0) << i;
    }
    CapturedStream objOut(1);
    CommandProtocolStop(-1); // ignored
    EXPECT_EQ(-2, CommandProtocolWaitEngineEnd(10));
    EXPECT_NE(std::string::npos, objOut.Take().find("[CommandProtocolWaitEngineEnd,"));
}

TEST(Instance, AResetFromAnotherThreadDropsTheHalfReceivedFrame) {
    const int N = 6;
    const int s32Handle = g_as32Handles[N];
    const Bytes vecFirst = PeerFrame(0x0700, 1);
    Feed(N, Bytes(vecFirst.begin(), vecFirst.begin() + 9)); // half a frame
    ASSERT_TRUE(WaitUntil(
        [] {
            std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
            return g_astEp[N].deqIn.empty();
        },
        2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the engine has fed them

    // Returns once the engine has emptied its receive side.
    EXPECT_EQ(0, CommandProtocolReset(s32Handle));
    Feed(N, PeerFrame(0x0701, 2)); // assembled from its own sync bytes
    ASSERT_TRUE(WaitUntil([] { return DeliveredCount(N) >= 1; }, 2000));
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    EXPECT_EQ(std::vector<uint16_t>{0x0701}, g_astEp[N].vecDelivered);
}

TEST(Instance, AResetFromInsideTheDataCallbackDoesNotWaitForItself) {
    const int N = 7;
    const int s32Handle = g_as32Handles[N];
    std::atomic<int> s32ResetResult{99};
    {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        g_astEp[N].fnOnDeliver = [&] { s32ResetResult.store(CommandProtocolReset(s32Handle)); };
    }
    Feed(N, PeerFrame(0x0702, 5));
    ASSERT_TRUE(WaitUntil([&] { return s32ResetResult.load() != 99; }, 2000));
    EXPECT_EQ(0, s32ResetResult.load());
    {
        std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
        g_astEp[N].fnOnDeliver = nullptr;
    }
    // The engine goes on: the next frame arrives as usual.
    Feed(N, PeerFrame(0x0703, 6));
    EXPECT_TRUE(WaitUntil([] { return DeliveredCount(N) >= 2; }, 2000));
}

TEST(Instance, StopEndsEveryEngineAndWaitEngineEndReturns) {
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        CommandProtocolStop(g_as32Handles[i]);
    }
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        EXPECT_EQ(0, CommandProtocolWaitEngineEnd(g_as32Handles[i]));
    }
    // A stopped instance keeps its handle; a reset now works on the record directly.
    EXPECT_EQ(0, CommandProtocolReset(g_as32Handles[0]));
    EXPECT_NE(nullptr, CommandProtocolLookup(g_as32Handles[0]));
}

} // namespace
