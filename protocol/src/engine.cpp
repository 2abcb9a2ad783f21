// The engine loop: the one place where bytes are read from the link, stored
// frames are acted on and queued frames are put on the wire.
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "diag.h"
#include "engine.h"
#include "file_transfer.h"
#include "receiver.h"
#include "send_queue.h"
#include "runtime/mutex.h"

namespace {

constexpr const char *CMD_PROTOCOL_VERSION = "V1.1";
// The transmit step runs at most this often outside fast mode.
constexpr uint32_t ENGINE_TRANSMIT_MS = 10;
// Idle sleep at the end of a pass without a received frame.
constexpr useconds_t ENGINE_SLEEP_US = 5000;
constexpr useconds_t ENGINE_SLEEP_FAST_US = 4000;
// Statistics line: at most once per this many whole seconds (more than 4).
constexpr uint32_t ENGINE_STATS_SECONDS = 4;

// The steps below are parts of the loop; their lines name the loop.
constexpr const char *ENGINE_FUNC = "CommandProtocolRecvSend_thread_Handler";
#define ENGINE_ERROR(...) CMD_ERROR_IN(ENGINE_FUNC, __VA_ARGS__)

/// Read step: whatever waits on the link goes byte by byte into the receiver.
void EngineReadStep(CmdProtocolInstance *pstInst, uint8_t *pu8Buf) {
    if (pstInst->fun.Read == nullptr || pu8Buf == nullptr) {
        return;
    }
    int s32Count = pstInst->fun.Read(pu8Buf, CMD_ENGINE_READ_LEN);
    if (s32Count > CMD_ENGINE_READ_LEN) {
        s32Count = CMD_ENGINE_READ_LEN; // a callback that overstates cannot make us overread
    }
    for (int i = 0; i < s32Count; ++i) {
        int s32Ret = CommandProtocolRecvOneByte(pstInst, pu8Buf[i]);
        if (s32Ret < CMD_RECV_HUNTING) {
            // The receiver has already started hunting again; keep feeding.
            ENGINE_ERROR("%s, %d.", pstInst->name, s32Ret);
        }
    }
}

void EngineStatsStep(CmdProtocolInstance *pstInst, uint32_t u32T, uint32_t *pu32LastStatSec) {
    if ((pstInst->debugFlags.load() & CMD_DEBUG_STATS) == 0) {
        return;
    }
    uint32_t u32Sec = u32T / 1000;
    if (u32Sec - *pu32LastStatSec <= ENGINE_STATS_SECONDS) {
        return;
    }
    uint32_t u32Tx;
    uint32_t u32Ack;
    {
        CMutexLock objLock(g_objSendBufMutex);
        u32Tx = pstInst->txCount;
        u32Ack = pstInst->ackCount;
    }
    ENGINE_ERROR("%s S=%ld ms=%ld [%ld,%ld]", pstInst->name, static_cast<long>(u32Sec),
                 static_cast<long>(u32T - 1000 * u32Sec), static_cast<long>(u32Tx),
                 static_cast<long>(u32Ack));
    *pu32LastStatSec = u32Sec;
}

} // namespace

bool CommandProtocolEnginePass(CmdProtocolInstance *pstInst, uint8_t *pu8ReadBuf,
                               CmdEngineLoopState *pstLoop) {
    CommandProtocolResetPendingStep(pstInst);
    EngineReadStep(pstInst, pu8ReadBuf);

    uint32_t u32Now = CommandProtocolClockMs();
    int s32Slot = CommandProtocolPickRecvSlot(pstInst, u32Now);
    if (s32Slot >= 0) {
        // A backlog of received frames is worked off back to back, one per pass.
        CommandProtocolFrameStep(pstInst, s32Slot, u32Now);
        return true;
    }

    uint32_t u32T = CommandProtocolClockMs();
    bool bFast = (pstInst->status.load() & CMD_STATUS_FAST_MODE) != 0;
    if (bFast || u32T - pstLoop->u32LastTransmit >= ENGINE_TRANSMIT_MS) {
        CommandProtocolTransmitStep(pstInst, u32T);
        pstLoop->u32LastTransmit = u32T;
    }
    uint8_t u8FileState = pstInst->fileSendState.load();
    if (CmdFileSendRunning(u8FileState) && CommandProtocolFreeSendSlots(pstInst) > 0) {
        CommandProtocolTransferFileSend(pstInst);
    }
    CommandProtocolHeartbeatStep(pstInst, u32T);
    EngineStatsStep(pstInst, u32T, &pstLoop->u32LastStatSec);
    return false;
}

void *CommandProtocolRecvSend_thread_Handler(void *pArg) {
    CmdProtocolInstance *pstInst = static_cast<CmdProtocolInstance *>(pArg);
    // Without the buffer the loop still transmits and supervises; it only reads nothing.
    uint8_t *pu8ReadBuf = static_cast<uint8_t *>(malloc(CMD_ENGINE_READ_LEN));
    CMD_INFO("#run# [%s]  %s", pstInst->name, CMD_PROTOCOL_VERSION);
    {
        CMutexLock objEngine(pstInst->engineMutex);
        pstInst->engineRunning = true;
        pstInst->engineLoopThread = pthread_self();
    }

    CmdEngineLoopState stLoop;
    do {
        if (!CommandProtocolEnginePass(pstInst, pu8ReadBuf, &stLoop)) {
            bool bFast = (pstInst->status.load() & CMD_STATUS_FAST_MODE) != 0;
            usleep(bFast ? ENGINE_SLEEP_FAST_US : ENGINE_SLEEP_US);
        }
    } while ((pstInst->status.load() & CMD_STATUS_RUNNING) != 0);

    free(pu8ReadBuf);
    // A reset asked during the last pass still gets its receive side emptied.
    CommandProtocolResetPendingStep(pstInst);
    {
        CMutexLock objEngine(pstInst->engineMutex);
        pstInst->engineRunning = false;
        pstInst->engineEnded = true;
        pstInst->engineCond.Broadcast();
    }
    pthread_exit(nullptr);
}
