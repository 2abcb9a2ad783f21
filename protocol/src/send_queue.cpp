// The sending half of the protocol: numbering and queuing frames in the ten
// send slots, splitting long messages into chunks, the engine's transmit,
// acknowledgement and heartbeat steps, the queue queries and parameters, the
// reset and the deferred-command store.
//
// Every access to the send slots, their times, sendSn, the frame parameters,
// the counters and the deferred store happens under g_objSendBufMutex (one
// recursive lock for all instances), readers included, so that application
// threads and engine threads never race on them.

#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "protocol_internal.h"
#include "runtime/mutex.h"

namespace {

// A normal frame is dated this far back when queued, so the next transmit step finds it due.
constexpr uint32_t SEND_BACKDATE_MS = 100;
// A priority frame is dated further back: it goes ahead of every due frame
// that was sent less than this long ago.
constexpr uint32_t SEND_PRIORITY_BACKDATE_MS = 1100;
// Pause after queuing a normal frame (paid under the send lock): one sender
// queues at most about 200 normal frames per second.
constexpr uint32_t SEND_PAUSE_US = 5000;
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
// A chunk waits for a free slot at most this many checks, this far apart.
constexpr int SPLIT_SLOT_CHECKS = 34;
constexpr uint32_t SPLIT_SLOT_PAUSE_US = 30000;
// CommandProtocolWaitSendBufEmpty polls this often.
constexpr int WAIT_EMPTY_PAUSE_MS = 30;
// The peer's repeat filter remembers only the last ten sequence numbers it
// recorded. A repeat that reaches it after ten newer numbers would be taken
// for a new frame and delivered twice. So a frame is transmitted only while
// its sn lies within this many numbers of the oldest frame still waiting for
// its acknowledgement: while frame k waits, the peer can record at most the
// four numbers below k and the four above it, and k stays in its history.
constexpr uint16_t SEND_WINDOW = 5;

bool SlotInUse(const _CmdProtocolParam &stSlot) {
    return stSlot.sync1 == CMD_FRAME_SYNC1;
}

bool SlotHoldsFrame(const _CmdProtocolParam &stSlot) {
    return stSlot.sync1 == CMD_FRAME_SYNC1 && stSlot.sync2 == CMD_FRAME_SYNC2;
}

bool FileSendRunning(uint8_t u8State) {
    return u8State == FILE_SEND_CHUNKS || u8State == FILE_SEND_LAST;
}

/// Receive-side half of a reset: the frame under assembly, the stored frames
/// and the repeat history. Runs on the thread that owns the receive side.
void ResetReceiveSide(CmdProtocolInstance *pstInst) {
    CommandProtocolClearHistory(pstInst);
    pstInst->recvSnIndex = 0;
    pstInst->recvCount = 0;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        if (SlotInUse(pstInst->recvSlots[i])) {
            CommandProtocolFrameClear(&pstInst->recvSlots[i]);
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Queuing

int CommandProtocolSendCmdAddsub(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec,
                                 int s32Priority) {
    CMutexLock objLock(g_objSendBufMutex);
    return CommandProtocolSendCmdAddsubHeld(pstInst, pstRec, s32Priority);
}

int CommandProtocolSendCmdAddsubHeld(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec,
                                     int s32Priority) {
    // A long frame without its buffer, or one longer than any frame, cannot be
    // put on the wire; refuse it instead of reading through a bad reference.
    if (pstRec->len > CMD_FRAME_MAX_PAYLOAD ||
        (pstRec->len > CMD_FRAME_SHORT_MAX && pstRec->payload == nullptr)) {
        return CMD_RESULT_FAIL;
    }
    int s32Slot = -1;
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        if (!SlotInUse(pstInst->sendSlots[i])) {
            s32Slot = i;
            break;
        }
    }
    if (s32Slot < 0) {
        return CMD_RESULT_FAIL;
    }

    _CmdProtocolParam stFrame = *pstRec;
    if (stFrame.len <= CMD_FRAME_SHORT_MAX) {
        stFrame.payload = nullptr; // a short frame owns no buffer
    }
    stFrame.sync1 = CMD_FRAME_SYNC1;
    stFrame.sync2 = CMD_FRAME_SYNC2;
    stFrame.flags = pstInst->cipherParam;
    stFrame.sn = pstInst->sendSn;
    ++pstInst->sendSn; // 16 bits: 65535 wraps to 0

    if (stFrame.cmd == CMD_UPDATE_SW_SEND_FILE) {
        // The file sender learns the sn of each chunk; the chunk index travels
        // in bytes 9 and 10, high byte first.
        pstRec->sn = stFrame.sn;
        uint8_t u8FileState = pstInst->fileSendState.load();
        if (u8FileState == FILE_SEND_CHUNKS) {
            uint16_t u16Index = pstInst->filePacketIndex.load();
            stFrame.param1 = static_cast<uint8_t>(u16Index >> 8);
            stFrame.param2 = static_cast<uint8_t>(u16Index & 0xFF);
        } else if (u8FileState == FILE_SEND_DONE) {
            stFrame.param1 = static_cast<uint8_t>(CMD_FILE_END_INDEX >> 8);
            stFrame.param2 = static_cast<uint8_t>(CMD_FILE_END_INDEX & 0xFF);
        }
    } else {
        stFrame.param1 = pstInst->sendByte9;
        stFrame.param2 = pstInst->sendByte10;
    }

    if ((pstInst->debugFlags.load() & CMD_DEBUG_FRAME) != 0 && stFrame.cmd != CMD_HEART_BEAT) {
        CMD_INFO_IN("CommandProtocolSendCmdAddsub", "[%s]add  sn=%d cmd=0x%x", pstInst->name,
                    stFrame.sn, stFrame.cmd);
    }
    if ((stFrame.flags & CMD_FLAG_ENCRYPT) != 0) {
        CommandProtocolFrameCipher(&stFrame);
    }
    stFrame.crc = CommandProtocolFrameCrc(&stFrame);
    pstInst->sendSlots[s32Slot] = stFrame;

    uint32_t u32Now = CommandProtocolClockMs();
    if (s32Priority != 0) {
        pstInst->sendLastTime[s32Slot] = u32Now - SEND_PRIORITY_BACKDATE_MS;
    } else {
        pstInst->sendLastTime[s32Slot] = u32Now - SEND_BACKDATE_MS;
        CommandProtocolPauseUs(SEND_PAUSE_US);
    }
    pstInst->sendAliveTime[s32Slot] = CommandProtocolClockMs();
    return stFrame.sn;
}

int CommandProtocolSendLargePacket(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec) {
    if (pstRec->payload == nullptr) {
        return CMD_RESULT_FAIL;
    }
    // The peer counts the chunks of one message at a time; chunks of the next
    // message that overtook a repeated chunk of this one would be counted into
    // the wrong message. So a split starts only when no chunk of an earlier
    // split is still waiting for its acknowledgement.
    bool bPrevDone = false;
    for (int i = 0; i < SPLIT_SLOT_CHECKS && !bPrevDone; ++i) {
        {
            CMutexLock objLock(g_objSendBufMutex);
            bPrevDone = true;
            for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
                if (SlotHoldsFrame(stSlot) && stSlot.cmd == CMD_LARGE_PACKET_PROTOCOL) {
                    bPrevDone = false;
                    break;
                }
            }
        }
        if (!bPrevDone) {
            CommandProtocolPauseUs(SPLIT_SLOT_PAUSE_US);
        }
    }
    if (!bPrevDone) {
        CMD_ERROR("%s <%d>", pstInst->name, 0);
        return CMD_RESULT_FAIL;
    }

    // The sub-header is built here and copied into the instance's block under
    // the lock; the lock cannot be held across the waits for free slots below,
    // which need the engine to empty slots meanwhile.
    CmdLargePacket stHead{};
    uint32_t u32Total = pstRec->len;
    stHead.PacketsNum = static_cast<uint8_t>(u32Total / CMD_LARGE_CHUNK_DATA +
                                             (u32Total % CMD_LARGE_CHUNK_DATA != 0 ? 1 : 0));
    stHead.PacketsRecvNum = 0; // the receive count belongs to the engine's receive side
    stHead.PacketsLen = pstRec->len;
    stHead.PacketsCmd = pstRec->cmd;
    stHead.reserved = 0;

    _CmdProtocolParam stChunk = *pstRec;
    stChunk.cmd = CMD_LARGE_PACKET_PROTOCOL;

    for (int i = 0; i < stHead.PacketsNum; ++i) {
        stHead.SendAddr = static_cast<uint16_t>(i * CMD_LARGE_CHUNK_DATA);
        stHead.SendLen = (i == stHead.PacketsNum - 1)
                             ? static_cast<uint16_t>(stHead.PacketsLen - stHead.SendAddr)
                             : static_cast<uint16_t>(CMD_LARGE_CHUNK_DATA);
        stChunk.len = static_cast<uint16_t>(stHead.SendLen + CMD_LARGE_SUBHEAD_LEN);
        {
            CMutexLock objLock(g_objSendBufMutex);
            pstInst->large = stHead;
        }

        uint8_t *pu8Chunk = static_cast<uint8_t *>(malloc(stChunk.len));
        if (pu8Chunk == nullptr) {
            CMD_ERROR("%s", pstInst->name);
            return CMD_RESULT_FAIL;
        }
        memcpy(pu8Chunk, &stHead, CMD_LARGE_SUBHEAD_LEN);
        memcpy(pu8Chunk + CMD_LARGE_SUBHEAD_LEN, pstRec->payload + stHead.SendAddr, stHead.SendLen);
        stChunk.payload = pu8Chunk;

        bool bFree = false;
        for (int j = 0; j < SPLIT_SLOT_CHECKS; ++j) {
            if (CommandProtocolFreeSendSlots(pstInst) > 0) {
                bFree = true;
                break;
            }
            CommandProtocolPauseUs(SPLIT_SLOT_PAUSE_US);
        }
        if (!bFree) {
            free(pu8Chunk);
            CMD_ERROR("%s <%d>", pstInst->name, i);
            return CMD_RESULT_FAIL;
        }

        if ((pstInst->debugFlags.load() & CMD_DEBUG_FRAME) != 0) {
            CMD_INFO("PacketsNum=%d ,PacketsLen=%d,cmdlen=%d", stHead.PacketsNum, stHead.PacketsLen,
                     stChunk.len);
            CMD_INFO("SendAddr=%d,SendLen=%d", stHead.SendAddr, stHead.SendLen);
        }
        if (CommandProtocolSendCmdAddsub(pstInst, &stChunk, 1) < 0) {
            free(pu8Chunk);
            CMD_ERROR("%s", pstInst->name);
            return CMD_RESULT_FAIL;
        }
    }
    return CMD_RESULT_OK;
}

int CommandProtocolSendCmdAdd(int s32Handle, _CmdProtocolParam *pstRec, int s32Priority) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    if (pstRec == nullptr) {
        return CMD_RESULT_FAIL;
    }
    uint8_t u8FileState = pstInst->fileSendState.load();
    if (u8FileState != FILE_SEND_IDLE) {
        CMD_ERROR("%s  %d", pstInst->name, u8FileState);
        return CMD_RESULT_FAIL;
    }
    if (pstRec->len == 0) {
        CMD_ERROR("%s", pstInst->name);
        return CMD_RESULT_FAIL;
    }
    if (pstRec->len > CMD_FRAME_MAX_PAYLOAD) {
        return CommandProtocolSendLargePacket(pstInst, pstRec);
    }
    return CommandProtocolSendCmdAddsub(pstInst, pstRec, s32Priority);
}

// ---------------------------------------------------------------------------
// Engine steps

int CommandProtocolRemoveSendBuf(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All) {
    CMutexLock objLock(g_objSendBufMutex);
    return CommandProtocolRemoveSendBufHeld(pstInst, u16Sn, s32All);
}

int CommandProtocolRemoveSendBufHeld(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All) {
    if (s32All == 1) {
        for (_CmdProtocolParam &stSlot : pstInst->sendSlots) {
            if (SlotInUse(stSlot)) {
                CommandProtocolFrameClear(&stSlot);
            } else {
                memset(&stSlot, 0, sizeof(stSlot));
            }
        }
        return CMD_RESULT_FAIL;
    }
    for (_CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (SlotInUse(stSlot) && stSlot.sn == u16Sn) {
            CommandProtocolFrameClear(&stSlot);
            return CMD_RESULT_OK;
        }
    }
    return CMD_RESULT_FAIL;
}

void CommandProtocolTransmitStep(CmdProtocolInstance *pstInst, uint32_t u32T) {
    uint32_t u32Due =
        FileSendRunning(pstInst->fileSendState.load()) ? SEND_REPEAT_FILE_MS : SEND_REPEAT_MS;
    bool bFast = (pstInst->status.load() & CMD_STATUS_FAST_MODE) != 0;
    CMutexLock objLock(g_objSendBufMutex);
    for (;;) {
        // The oldest queued frame: the one numbered furthest back from sendSn.
        uint16_t u16OldestSn = 0;
        uint16_t u16OldestBack = 0;
        for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
            uint16_t u16Back = static_cast<uint16_t>(pstInst->sendSn - stSlot.sn);
            if (SlotHoldsFrame(stSlot) && u16Back >= u16OldestBack) {
                u16OldestBack = u16Back;
                u16OldestSn = stSlot.sn;
            }
        }
        // The most overdue frame within the window; on equal ages the higher slot.
        int s32Pick = -1;
        uint32_t u32PickAge = 0;
        for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
            const _CmdProtocolParam &stSlot = pstInst->sendSlots[i];
            if (!SlotHoldsFrame(stSlot) ||
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
            if (SlotInUse(stSlot)) {
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
        if (!SlotInUse(stSlot)) {
            ++s32Free;
        }
    }
    return s32Free;
}

// ---------------------------------------------------------------------------
// Queries and parameters

int CommandProtocolGetSendBufNum(int s32Handle) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    CMutexLock objLock(g_objSendBufMutex);
    int s32Count = 0;
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (SlotHoldsFrame(stSlot) && stSlot.cmd != CMD_HEART_BEAT) {
            ++s32Count;
        }
    }
    return s32Count;
}

int CommandProtocolConfirmCmdsent(int s32Handle, uint16_t u16Sn) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    CMutexLock objLock(g_objSendBufMutex);
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (SlotInUse(stSlot) && stSlot.sn == u16Sn) {
            return 0; // still waiting for its acknowledgement
        }
    }
    return 1;
}

int CommandProtocolWaitSendBufEmpty(int s32Handle, int s32TimeMs) {
    int s32Polls = s32TimeMs > 0 ? s32TimeMs / WAIT_EMPTY_PAUSE_MS : 0;
    for (int i = 0; i <= s32Polls; ++i) {
        if (CommandProtocolGetSendBufNum(s32Handle) == 0) {
            return CMD_RESULT_OK;
        }
        CommandProtocolPauseUs(WAIT_EMPTY_PAUSE_MS * 1000);
    }
    return CMD_RESULT_FAIL;
}

int CommandProtocolSetParam(int s32Handle, uint8_t u8Encrypt, uint8_t u8KeyIndex, uint8_t u8Byte9,
                            uint8_t u8Byte10, uint8_t u8DebugFlags) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    CMutexLock objLock(g_objSendBufMutex);
    pstInst->cipherParam = static_cast<uint8_t>(((u8Encrypt & 1) != 0 ? CMD_FLAG_ENCRYPT : 0) |
                                                (u8KeyIndex & CMD_FLAG_KEY_MASK));
    pstInst->sendByte9 = u8Byte9;
    pstInst->sendByte10 = u8Byte10;
    pstInst->debugFlags.store(u8DebugFlags);
    return CMD_RESULT_OK;
}

int CommandProtocolHeartBeatStatue(int s32Handle, int s32On) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    uint8_t u8Status;
    if (s32On != 0) {
        u8Status = pstInst->status.fetch_or(CMD_STATUS_HEARTBEAT_ON) | CMD_STATUS_HEARTBEAT_ON;
    } else {
        u8Status = pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_HEARTBEAT_ON));
    }
    return (u8Status & CMD_STATUS_LINK_UP) != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Reset

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

// ---------------------------------------------------------------------------
// Deferred-command store

int CommandProtocolBackupCMDLongerToProgress(int s32Handle, const _CmdProtocolParam *pstRec) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    // Only a record that begins with the sync bytes can be taken out again; any
    // other would sit in a slot that still looks free and be overwritten, its
    // payload copy lost.
    if (pstRec == nullptr || pstRec->sync1 != CMD_FRAME_SYNC1 || pstRec->sync2 != CMD_FRAME_SYNC2) {
        return CMD_RESULT_FAIL;
    }
    CMutexLock objLock(g_objSendBufMutex);
    for (_CmdProtocolParam &stSlot : pstInst->longerCmds) {
        if (stSlot.sync1 != 0 || stSlot.sync2 != 0) {
            continue;
        }
        _CmdProtocolParam stCopy = *pstRec;
        stCopy.payload = nullptr;
        if (pstRec->len > CMD_FRAME_SHORT_MAX) {
            // The store keeps its own copy; when none can be made, nothing is
            // stored and the caller hands the frame on instead.
            if (pstRec->payload == nullptr) {
                return CMD_RESULT_FAIL;
            }
            stCopy.payload = static_cast<uint8_t *>(malloc(pstRec->len));
            if (stCopy.payload == nullptr) {
                return CMD_RESULT_FAIL;
            }
            memcpy(stCopy.payload, pstRec->payload, pstRec->len);
        }
        stSlot = stCopy;
        ++pstInst->longerCmdCount;
        return CMD_RESULT_OK;
    }
    return CMD_RESULT_FAIL;
}

int CommandProtocolGetCMDLongerToProgress(int s32Handle, _CmdProtocolParam *pstDest) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    if (pstDest == nullptr) {
        return CMD_RESULT_FAIL;
    }
    CMutexLock objLock(g_objSendBufMutex);
    if (pstInst->longerCmdCount == 0) {
        return CMD_RESULT_FAIL;
    }
    for (_CmdProtocolParam &stSlot : pstInst->longerCmds) {
        if (SlotHoldsFrame(stSlot)) {
            *pstDest = stSlot; // the payload copy goes with it
            memset(&stSlot, 0, sizeof(stSlot));
            --pstInst->longerCmdCount;
            return CMD_RESULT_OK;
        }
    }
    return CMD_RESULT_FAIL;
}
