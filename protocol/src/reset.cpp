// The reset of an instance: its send side at once, under the send lock; its
// receive side by the engine loop that owns it (CommandProtocolResetPendingStep).
#include "diag.h"
#include "engine.h"
#include "receiver.h"
#include "send_queue.h"

namespace {

/// Receive-side half of a reset: the frame under assembly, the stored frames
/// and the repeat history. Runs on the thread that owns the receive side.
void ResetReceiveSide(CmdProtocolInstance *pstInst) {
    CommandProtocolClearHistory(pstInst);
    pstInst->recvSnIndex = 0;
    pstInst->recvCount = 0;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        if (CmdSlotInUse(pstInst->recvSlots[i])) {
            CommandProtocolFrameClear(&pstInst->recvSlots[i]);
        }
    }
}

} // namespace

int CommandProtocolReset(int s32Handle) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    {
        CMutexLock objLock(g_objSendBufMutex);
        pstInst->sendSn = 1;
        pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_LINK_UP));
        uint32_t u32Now = CommandProtocolClockMs();
        pstInst->lastSendTime = u32Now;
        pstInst->lastAckTime = u32Now;
        CommandProtocolRemoveSendBufHeld(pstInst, 0, 1);
    }

    // The receive side belongs to the engine loop. While one runs, it empties
    // that side itself at the start of its next pass; a caller on another
    // thread waits for that, a caller inside the loop (a callback) cannot.
    CMutexLock objEngine(pstInst->engineMutex);
    if (!pstInst->engineRunning) {
        // No loop, and none can start while engineMutex is held.
        ResetReceiveSide(pstInst);
        return CMD_RESULT_OK;
    }
    pstInst->recvResetPending.store(true);
    if (pthread_equal(pthread_self(), pstInst->engineLoopThread)) {
        return CMD_RESULT_OK;
    }
    while (pstInst->recvResetPending.load() && pstInst->engineRunning) {
        pstInst->engineCond.Wait(pstInst->engineMutex);
    }
    if (pstInst->recvResetPending.load()) {
        // The loop ended before its next pass; the receive side is ownerless now.
        ResetReceiveSide(pstInst);
        pstInst->recvResetPending.store(false);
    }
    return CMD_RESULT_OK;
}

void CommandProtocolResetPendingStep(CmdProtocolInstance *pstInst) {
    if (!pstInst->recvResetPending.load()) {
        return;
    }
    ResetReceiveSide(pstInst);
    CMutexLock objEngine(pstInst->engineMutex);
    pstInst->recvResetPending.store(false);
    pstInst->engineCond.Broadcast();
}
