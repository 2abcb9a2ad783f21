// The engine's send-side steps: transmitting due frames, taking
// acknowledgements, heartbeats and the link status; each takes the send lock
// once (see send_queue.h).
#include <cstring>

#include "diag.h"
#include "receiver.h"
#include "send_queue.h"

namespace {

// A queued frame is due again this long after its last transmission...
constexpr uint32_t SEND_REPEAT_MS = 100;
// ... and this long while a file send is running.
constexpr uint32_t SEND_REPEAT_FILE_MS = 200;
// Repetition is held once a frame was queued, and the peer last heard, this long ago.
constexpr uint32_t SEND_HOLD_MS = 5000;
// An idle link gets a heartbeat after this long without a write.
constexpr uint32_t HEARTBEAT_IDLE_MS = 1000;
// The link counts as down after this long without an acknowledgement.
constexpr uint32_t LINK_TIMEOUT_MS = 3000;
// The peer's repeat filter remembers only the last ten sequence numbers it
// recorded. A repeat that reaches it after ten newer numbers would be taken
// for a new frame and delivered twice. So a frame is transmitted only while
// its sn lies within this many numbers of the oldest frame still waiting for
// its acknowledgement: while frame k waits, the peer can record at most the
// four numbers below k and the four above it, and k stays in its history.
constexpr uint16_t SEND_WINDOW = 5;

} // namespace

int CommandProtocolRemoveSendBuf(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All) {
    CMutexLock objLock(g_objSendBufMutex);
    return CommandProtocolRemoveSendBufHeld(pstInst, u16Sn, s32All);
}

int CommandProtocolRemoveSendBufHeld(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All) {
    if (s32All == 1) {
        for (_CmdProtocolParam &stSlot : pstInst->sendSlots) {
            if (CmdSlotInUse(stSlot)) {
                CommandProtocolFrameClear(&stSlot);
            } else {
                memset(&stSlot, 0, sizeof(stSlot));
            }
        }
        return CMD_RESULT_FAIL;
    }
    for (_CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (CmdSlotInUse(stSlot) && stSlot.sn == u16Sn) {
            CommandProtocolFrameClear(&stSlot);
            return CMD_RESULT_OK;
        }
    }
    return CMD_RESULT_FAIL;
}

void CommandProtocolTransmitStep(CmdProtocolInstance *pstInst, uint32_t u32T) {
    uint32_t u32Due =
        CmdFileSendRunning(pstInst->fileSendState.load()) ? SEND_REPEAT_FILE_MS : SEND_REPEAT_MS;
    bool bFast = (pstInst->status.load() & CMD_STATUS_FAST_MODE) != 0;
    CMutexLock objLock(g_objSendBufMutex);
    for (;;) {
        // The oldest queued frame: the one numbered furthest back from sendSn.
        uint16_t u16OldestSn = 0;
        uint16_t u16OldestBack = 0;
        for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
            uint16_t u16Back = static_cast<uint16_t>(pstInst->sendSn - stSlot.sn);
            if (CmdSlotHoldsFrame(stSlot) && u16Back >= u16OldestBack) {
                u16OldestBack = u16Back;
                u16OldestSn = stSlot.sn;
            }
        }
        // The most overdue frame within the window; on equal ages the higher slot.
        int s32Pick = -1;
        uint32_t u32PickAge = 0;
        for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
            const _CmdProtocolParam &stSlot = pstInst->sendSlots[i];
            if (!CmdSlotHoldsFrame(stSlot) ||
                static_cast<uint16_t>(stSlot.sn - u16OldestSn) >= SEND_WINDOW) {
                continue;
            }
            uint32_t u32Age = u32T - pstInst->sendLastTime[i];
            if (u32Age >= u32Due && (s32Pick < 0 || u32Age >= u32PickAge)) {
                s32Pick = i;
                u32PickAge = u32Age;
            }
        }
        if (s32Pick < 0) {
            return;
        }
        // Neither queued nor heard from the peer for a long time: hold the
        // repetition until the peer sends anything again.
        if (u32T - pstInst->sendAliveTime[s32Pick] > SEND_HOLD_MS) {
            return;
        }
        const _CmdProtocolParam &stFrame = pstInst->sendSlots[s32Pick];
        if ((pstInst->debugFlags.load() & CMD_DEBUG_FRAME) != 0 && stFrame.cmd != CMD_HEART_BEAT) {
            CMD_TRACE("==>[%s]SN=%d  cmd =0x%x len=%d (ms:%ld)", pstInst->name, stFrame.sn,
                      stFrame.cmd, stFrame.len, static_cast<long>(CommandProtocolClockMs()));
        }
        ++pstInst->txCount;
        CommandProtocolFrameWrite(pstInst, &stFrame);
        pstInst->lastSendTime = CommandProtocolClockMs();
        pstInst->sendLastTime[s32Pick] = u32T;
        if (!bFast) {
            return;
        }
        // Fast mode: every due frame goes out once in this step; the one just
        // written has age 0 now and is not picked again.
    }
}

void CommandProtocolAckStep(CmdProtocolInstance *pstInst, uint16_t u16Sn, uint32_t u32Now) {
    CMutexLock objLock(g_objSendBufMutex);
    pstInst->lastAckTime = u32Now;
    CommandProtocolRemoveSendBufHeld(pstInst, u16Sn, 0);
    ++pstInst->ackCount;
}

void CommandProtocolHeartbeatStep(CmdProtocolInstance *pstInst, uint32_t u32T) {
    if ((pstInst->status.load() & CMD_STATUS_HEARTBEAT_ON) == 0 ||
        pstInst->fileSendState.load() != FILE_SEND_IDLE ||
        pstInst->fileRecvState.load() != FILE_RECV_IDLE) {
        return;
    }
    bool bSendHeartbeat = false;
    bool bAckLate = false;
    {
        CMutexLock objLock(g_objSendBufMutex);
        bool bAllFree = true;
        for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
            if (CmdSlotInUse(stSlot)) {
                bAllFree = false;
                break;
            }
        }
        if (u32T - pstInst->lastSendTime > HEARTBEAT_IDLE_MS && bAllFree) {
            _CmdProtocolParam stBeat{};
            stBeat.cmd = CMD_HEART_BEAT;
            stBeat.len = 4;
            CommandProtocolSendCmdAddsubHeld(pstInst, &stBeat, 0);
            pstInst->lastSendTime = u32T;
            bSendHeartbeat = true;
        } else {
            bAckLate = u32T - pstInst->lastAckTime > LINK_TIMEOUT_MS;
        }
    }
    if (bSendHeartbeat) {
        return; // no link check in the pass that queued a heartbeat
    }
    if (bAckLate) {
        uint8_t u8Old = pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_LINK_UP));
        if ((u8Old & CMD_STATUS_LINK_UP) != 0) {
            // A new link session: sequence numbers seen before may come again.
            CommandProtocolClearHistory(pstInst);
        }
    } else {
        pstInst->status.fetch_or(CMD_STATUS_LINK_UP);
    }
}

int CommandProtocolFreeSendSlots(CmdProtocolInstance *pstInst) {
    CMutexLock objLock(g_objSendBufMutex);
    return CommandProtocolFreeSendSlotsHeld(pstInst);
}

int CommandProtocolFreeSendSlotsHeld(const CmdProtocolInstance *pstInst) {
    int s32Free = 0;
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (!CmdSlotInUse(stSlot)) {
            ++s32Free;
        }
    }
    return s32Free;
}
