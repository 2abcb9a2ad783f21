// The receiving half of the protocol: byte assembly into receive slots, the
// engine's frame step (check, decipher, repeat filter, dispatch, reply) and
// the reassembly of messages that the peer split into large-packet chunks.
//
// The assembler belongs to the instance's byte feeder (the engine loop's read
// step, or whoever calls CommandInterfaceRead2); the slots' contents, history
// and reassembly belong to the engine loop, and a slot passes between the two
// through its byte 0 (see SlotSync1). No lock of its own: only sendAliveTime and
// sendSn, which the send side writes too, are set under g_objSendBufMutex.
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag.h"
#include "file_transfer.h"
#include "receiver.h"
#include "send_queue.h"
#include "runtime/mutex.h"

namespace {

constexpr int CMD_LEN_KNOWN = 6; // assembled bytes once len and crc are in
// A message of at most 65535 bytes needs at most this many chunks.
constexpr int CMD_LARGE_MAX_CHUNKS = (0xFFFF + CMD_LARGE_CHUNK_DATA - 1) / CMD_LARGE_CHUNK_DATA;

/// Which chunks of the message under reassembly have been taken, and the
/// sequence number each came with. It lives behind the message bytes in the
/// same allocation as the reassembly buffer, so the two come and go together.
struct CmdLargeLedger {
    uint8_t au8Taken[(CMD_LARGE_MAX_CHUNKS + 7) / 8];
    uint16_t au16Sn[CMD_LARGE_MAX_CHUNKS];
};

size_t LargeLedgerOffset(uint16_t u16MsgLen) {
    const size_t u32Align = alignof(CmdLargeLedger);
    return (static_cast<size_t>(u16MsgLen) + u32Align - 1) / u32Align * u32Align;
}

CmdLargeLedger *LargeLedger(CmdProtocolInstance *pstInst) {
    return reinterpret_cast<CmdLargeLedger *>(pstInst->PacketsBuffer +
                                              LargeLedgerOffset(pstInst->recvLarge.PacketsLen));
}

bool LargeTaken(const CmdLargeLedger *pstLedger, int s32Index) {
    return (pstLedger->au8Taken[s32Index / 8] & (1u << (s32Index % 8))) != 0;
}

/// The sender numbers the chunks of one message in ascending order, each
/// taking the next sequence number (other frames may come between). A chunk
/// whose number does not fit that order among the chunks already taken comes
/// from another message.
bool LargeSnFits(const CmdLargeLedger *pstLedger, int s32Count, int s32Index, uint16_t u16Sn) {
    for (int s32Other = 0; s32Other < s32Count; ++s32Other) {
        if (s32Other == s32Index || !LargeTaken(pstLedger, s32Other)) {
            continue;
        }
        const int s32Diff =
            static_cast<int16_t>(static_cast<uint16_t>(u16Sn - pstLedger->au16Sn[s32Other]));
        if (s32Index > s32Other ? s32Diff < s32Index - s32Other : s32Diff > s32Index - s32Other) {
            return false;
        }
    }
    return true;
}

/// Releases the reassembly buffer and forgets the message under reassembly.
void LargeForget(CmdProtocolInstance *pstInst) {
    free(pstInst->PacketsBuffer);
    pstInst->PacketsBuffer = nullptr;
    pstInst->recvLarge = CmdLargePacket{};
}

/// Byte 0 of a receive slot hands the slot between the byte feeder and the
/// engine loop, which CommandInterfaceRead2 allows to be different threads: the
/// feeder writes it last (release) when it stores a frame, the engine writes it
/// last when it empties the slot (CommandProtocolFrameClear), and each reads it
/// (acquire) before it touches the rest.
uint8_t SlotSync1(const _CmdProtocolParam *pstRec) {
    return __atomic_load_n(&pstRec->sync1, __ATOMIC_ACQUIRE);
}

bool SlotInUse(const _CmdProtocolParam *pstRec) {
    return SlotSync1(pstRec) == CMD_FRAME_SYNC1 && pstRec->sync2 == CMD_FRAME_SYNC2;
}

/// Heartbeat traffic is kept out of the frame trace: heartbeats themselves and
/// the acknowledgements of this instance's own heartbeats. This tells the
/// latter: whether the first queued frame with sn u16Sn is a heartbeat. The
/// caller holds the send lock.
bool QueuedHeartbeatHeld(const CmdProtocolInstance *pstInst, uint16_t u16Sn) {
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (!CmdSlotInUse(stSlot) || stSlot.sn != u16Sn) {
            continue;
        }
        // A queued short frame has its cmd enciphered; look at a clear copy.
        _CmdProtocolParam stClear = stSlot;
        if ((stClear.flags & CMD_FLAG_ENCRYPT) != 0 && stClear.len <= CMD_FRAME_SHORT_MAX &&
            (stClear.flags & CMD_FLAG_KEY_MASK) < CMD_KEY_COUNT) {
            CommandProtocolFrameCipher(&stClear);
        }
        return stClear.cmd == CMD_HEART_BEAT;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Byte assembly

namespace {

constexpr const char *OP_RECV_BYTE = "CommandProtocolRecvOneByte";

/// Hunting step of the byte receiver: the two sync bytes (recvCount 0 and 1).
int RecvSyncByte(CmdProtocolInstance *pstInst, uint8_t u8Byte) {
    uint8_t *pu8Buf = pstInst->recvBuffer;
    if (pstInst->recvCount == 0) {
        if (u8Byte != CMD_FRAME_SYNC1) {
            return CMD_RECV_HUNTING;
        }
        pu8Buf[0] = u8Byte;
        // The flags byte shows in the error line even before it arrives: do
        // not let it report the previous frame's.
        pu8Buf[offsetof(_CmdProtocolParam, flags)] = 0;
        pstInst->recvCount = 1;
        return CMD_RECV_TAKEN;
    }
    if (u8Byte == CMD_FRAME_SYNC1) {
        // A 0xA5 after a 0xA5 may be a frame start right behind a stray
        // 0xA5 (noise, or the last byte of a frame whose beginning was
        // lost): it becomes the first sync byte. Dropping it would lose
        // that frame, and a peer that repeats the same frame back to back
        // behind the same 0xA5 would never get through.
        return CMD_RECV_TAKEN;
    }
    if (u8Byte != CMD_FRAME_SYNC2) {
        pstInst->recvCount = 0;
        return CMD_RECV_HUNTING;
    }
    pu8Buf[1] = u8Byte;
    pstInst->recvCount = 2;
    return CMD_RECV_TAKEN;
}

/// Storing step of the byte receiver: the frame in the assembly buffer is
/// complete (17 bytes for len 0..4, 13 + len otherwise) and goes into the first
/// free receive slot, or is lost with an error line.
int RecvStoreFrame(CmdProtocolInstance *pstInst, int s32Len, int s32Encrypt) {
    const uint8_t *pu8Buf = pstInst->recvBuffer;
    pstInst->recvCount = 0;
    int s32Slot = 0;
    while (s32Slot < CMD_SLOT_COUNT && SlotSync1(&pstInst->recvSlots[s32Slot]) == CMD_FRAME_SYNC1) {
        ++s32Slot;
    }
    if (s32Slot == CMD_SLOT_COUNT) {
        CMD_ERROR_IN(OP_RECV_BYTE, "%s [%x.%x.%x]", pstInst->name, pu8Buf[0], s32Len, s32Encrypt);
        return CMD_RECV_NO_SLOT;
    }
    _CmdProtocolParam *pstSlot = &pstInst->recvSlots[s32Slot];
    uint8_t *pu8Slot = CmdParamBytes(pstSlot);
    // Everything but byte 0 first; byte 0 publishes the slot.
    if (s32Len <= CMD_FRAME_SHORT_MAX) {
        memcpy(pu8Slot + 1, pu8Buf + 1, CMD_FRAME_SHORT_LEN - 1);
        pstSlot->payload = nullptr;
    } else {
        uint8_t *pu8Payload = static_cast<uint8_t *>(malloc(static_cast<size_t>(s32Len)));
        if (pu8Payload == nullptr) {
            CMD_ERROR_IN(OP_RECV_BYTE, "%s [%x.%x.%x]", pstInst->name, pu8Buf[0], s32Len,
                         s32Encrypt);
            return CMD_RECV_NO_MEMORY;
        }
        memcpy(pu8Payload, pu8Buf + CMD_FRAME_HEAD_LEN, static_cast<size_t>(s32Len));
        memset(pu8Slot + 1, 0, sizeof(*pstSlot) - 1);
        memcpy(pu8Slot + 1, pu8Buf + 1, CMD_FRAME_HEAD_LEN - 1);
        pstSlot->payload = pu8Payload;
    }
    pstInst->recvTime[s32Slot] = CommandProtocolClockMs();
    pstInst->recvArrival[s32Slot] = pstInst->recvArrivalNext++;
    __atomic_store_n(&pstSlot->sync1, CMD_FRAME_SYNC1, __ATOMIC_RELEASE);
    return CMD_RECV_TAKEN;
}

} // namespace

int CommandProtocolRecvOneByte(CmdProtocolInstance *pstInst, uint8_t u8Byte) {
    if (pstInst->recvCount < 2) {
        return RecvSyncByte(pstInst, u8Byte);
    }
    uint8_t *pu8Buf = pstInst->recvBuffer;
    if (pstInst->recvCount >= CMD_FRAME_MAX_LEN) {
        // Cannot happen while len is checked at byte 6; keeps the store in bounds.
        pstInst->recvCount = 0;
        return CMD_RECV_HUNTING;
    }
    pu8Buf[pstInst->recvCount++] = u8Byte;
    const int s32Len = pu8Buf[2] | (pu8Buf[3] << 8);
    const int s32Encrypt =
        (pu8Buf[offsetof(_CmdProtocolParam, flags)] & CMD_FLAG_ENCRYPT) != 0 ? 1 : 0;
    if (pstInst->recvCount == CMD_LEN_KNOWN) {
        if (s32Len > CMD_FRAME_MAX_PAYLOAD) {
            pstInst->recvCount = 0;
            CMD_ERROR("%s [%x.%x.%x]", pstInst->name, pu8Buf[0], s32Len, s32Encrypt);
            return CMD_RECV_TOO_LONG;
        }
        return CMD_RECV_TAKEN;
    }
    if (pstInst->recvCount <= CMD_FRAME_SHORT_LEN - 1) {
        return CMD_RECV_TAKEN;
    }
    if (pstInst->recvCount - CMD_FRAME_HEAD_LEN < s32Len) {
        return CMD_RECV_TAKEN; // more payload to come
    }
    return RecvStoreFrame(pstInst, s32Len, s32Encrypt);
}

int CommandInterfaceRead2(int s32Handle, const uint8_t *pu8Bytes, int s32Count) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    if (s32Count <= 0 || pu8Bytes == nullptr) {
        return 0;
    }
    int s32Ret = 0;
    for (int s32Index = 0; s32Index < s32Count; ++s32Index) {
        s32Ret = CommandProtocolRecvOneByte(pstInst, pu8Bytes[s32Index]);
        if (s32Ret < CMD_RECV_HUNTING) {
            // The bytes after the failing one are not fed.
            CMD_ERROR("%s, %d.", pstInst->name, s32Ret);
            return s32Ret;
        }
    }
    return s32Ret;
}

// ---------------------------------------------------------------------------
// Frame choice, repeat history, reply

int CommandProtocolPickRecvSlot(CmdProtocolInstance *pstInst, uint32_t u32Now) {
    int s32Best = -1;
    uint32_t u32BestAge = 0;
    for (int s32Slot = 0; s32Slot < CMD_SLOT_COUNT; ++s32Slot) {
        if (!SlotInUse(&pstInst->recvSlots[s32Slot])) {
            continue;
        }
        // Only an age above 0 counts: a frame stored in this very millisecond
        // waits for a later pass. Of equal ages the frame stored first goes
        // first: slots are reused lowest first, so a lower slot can hold the
        // later of two frames stored in the same millisecond, and taking it
        // first would hand the application commands out of the order in
        // which they came.
        const uint32_t u32Age = u32Now - pstInst->recvTime[s32Slot];
        const bool bEarlier =
            s32Best >= 0 &&
            static_cast<int32_t>(pstInst->recvArrival[s32Slot] - pstInst->recvArrival[s32Best]) < 0;
        if (u32Age > u32BestAge || (u32Age == u32BestAge && u32Age > 0 && bEarlier)) {
            u32BestAge = u32Age;
            s32Best = s32Slot;
        }
    }
    return s32Best;
}

void CommandProtocolRecordSn(CmdProtocolInstance *pstInst, uint16_t u16Sn) {
    if (pstInst->recvSnIndex >= CMD_SLOT_COUNT) {
        pstInst->recvSnIndex = 0;
    }
    pstInst->recvSnHistory[pstInst->recvSnIndex] = u16Sn;
    pstInst->recvSnIndex = static_cast<uint8_t>((pstInst->recvSnIndex + 1) % CMD_SLOT_COUNT);
}

bool CommandProtocolIsRepeat(const CmdProtocolInstance *pstInst, uint16_t u16Sn) {
    for (uint16_t u16Entry : pstInst->recvSnHistory) {
        if (u16Entry == u16Sn) {
            return true;
        }
    }
    return false;
}

void CommandProtocolClearHistory(CmdProtocolInstance *pstInst) {
    for (uint16_t &u16Entry : pstInst->recvSnHistory) {
        u16Entry = CMD_SN_EMPTY;
    }
}

void CommandProtocolApplyHistoryClear(CmdProtocolInstance *pstInst) {
    if (pstInst->fileHistoryClearPending.exchange(false)) {
        CommandProtocolClearHistory(pstInst);
    }
}

void CommandProtocolSendAck(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    if (!SlotInUse(pstSlot)) {
        // Already emptied, e.g. by a reset from within the data callback.
        return;
    }
    if (pstSlot->len > CMD_FRAME_SHORT_MAX) {
        free(pstSlot->payload);
    }
    pstSlot->payload = nullptr;
    pstSlot->len = CMD_FRAME_SHORT_MAX;
    pstSlot->cmd = CMD_ACK;
    memset(pstSlot->data, 0, sizeof(pstSlot->data));
    pstSlot->flags = static_cast<uint8_t>(pstSlot->flags & CMD_FLAG_KEY_MASK);
    pstSlot->crc = CommandProtocolFrameCrc(pstSlot);
    // Straight to the link: not queued, not repeated, no send lock.
    CommandProtocolFrameWrite(pstInst, pstSlot);
    CommandProtocolFrameClear(pstSlot);
}

// ---------------------------------------------------------------------------
// Reassembly

namespace {

constexpr const char *OP_RECV_LARGE = "CommandProtocolRecvLargePacket";

/// Check step: the chunk must describe itself consistently. Its place follows
/// from its index alone (index x 496, 496 bytes but for the last), and its data
/// must lie inside its own frame. Anything else is dropped, with an error line,
/// before a byte is copied.
bool LargeChunkSound(const CmdProtocolInstance *pstInst, const CmdLargePacket &stHead,
                     bool bHasHead, int s32FrameLen) {
    const int s32Msg = stHead.PacketsLen;
    const int s32Addr = stHead.SendAddr;
    const int s32Rest = s32Msg - s32Addr;
    const int s32Expect = s32Rest < CMD_LARGE_CHUNK_DATA ? s32Rest : CMD_LARGE_CHUNK_DATA;
    if (bHasHead && s32Msg != 0 &&
        stHead.PacketsNum == (s32Msg + CMD_LARGE_CHUNK_DATA - 1) / CMD_LARGE_CHUNK_DATA &&
        s32Addr % CMD_LARGE_CHUNK_DATA == 0 && s32Addr < s32Msg && stHead.SendLen == s32Expect &&
        stHead.SendLen <= s32FrameLen - CMD_LARGE_SUBHEAD_LEN) {
        return true;
    }
    CMD_ERROR_IN(OP_RECV_LARGE,
                 "[%s] chunk dropped: len=%d PacketsNum=%d PacketsLen=%d SendAddr=%d SendLen=%d",
                 pstInst->name, s32FrameLen, stHead.PacketsNum, stHead.PacketsLen, stHead.SendAddr,
                 stHead.SendLen);
    return false;
}

/// Ledger step: whether the chunk belongs to the message under reassembly. A
/// chunk that cannot belong to it begins a new one: the incomplete message is
/// discarded (with an error line) rather than mixed. False when the chunk is
/// the same bytes once more (a repeat that outlived the history): nothing to
/// copy or count.
bool LargeJoin(CmdProtocolInstance *pstInst, const CmdLargePacket &stHead, const uint8_t *pu8Data,
               uint16_t u16Sn) {
    if (pstInst->PacketsBuffer == nullptr) {
        return true;
    }
    const int s32Index = stHead.SendAddr / CMD_LARGE_CHUNK_DATA;
    CmdLargePacket &stCur = pstInst->recvLarge;
    bool bSame = stCur.PacketsNum == stHead.PacketsNum && stCur.PacketsLen == stHead.PacketsLen &&
                 stCur.PacketsCmd == stHead.PacketsCmd;
    if (bSame) {
        const CmdLargeLedger *pstLedger = LargeLedger(pstInst);
        if (LargeTaken(pstLedger, s32Index)) {
            if (memcmp(pstInst->PacketsBuffer + stHead.SendAddr, pu8Data, stHead.SendLen) == 0) {
                return false;
            }
            bSame = false;
        } else if (!LargeSnFits(pstLedger, stHead.PacketsNum, s32Index, u16Sn)) {
            bSame = false;
        }
    }
    if (!bSame) {
        CMD_ERROR_IN(OP_RECV_LARGE,
                     "[%s] large packet discarded: %d of %d chunks, PacketsLen=%d cmd=0x%x",
                     pstInst->name, stCur.PacketsRecvNum, stCur.PacketsNum, stCur.PacketsLen,
                     stCur.PacketsCmd);
        LargeForget(pstInst);
    }
    return true;
}

/// Deliver step: every chunk is in, each exactly once. The message goes to the
/// application under the header of its last chunk; one of 1 to 4 bytes travels
/// in the record's data bytes, as a short frame would.
void LargeDeliver(CmdProtocolInstance *pstInst, const _CmdProtocolParam *pstLast) {
    _CmdProtocolParam stMsg = *pstLast;
    stMsg.len = pstInst->recvLarge.PacketsLen;
    stMsg.cmd = pstInst->recvLarge.PacketsCmd;
    uint8_t *pu8Msg = pstInst->PacketsBuffer;
    if (stMsg.len <= CMD_FRAME_SHORT_MAX) {
        memset(stMsg.data, 0, sizeof(stMsg.data));
        memcpy(stMsg.data, pu8Msg, stMsg.len);
        stMsg.payload = nullptr;
    } else {
        stMsg.payload = pu8Msg;
    }
    // Idle again before the callback runs, whatever it does.
    pstInst->PacketsBuffer = nullptr;
    pstInst->recvLarge = CmdLargePacket{};
    if (pstInst->fun.DataProcessing != nullptr) {
        pstInst->fun.DataProcessing(&stMsg);
    }
    free(pu8Msg);
}

} // namespace

int CommandProtocolRecvLargePacket(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec) {
    const uint8_t *pu8Chunk = CmdParamPayload(pstRec);
    const int s32FrameLen = pstRec->len;
    CmdLargePacket stHead{};
    const bool bHasHead = pu8Chunk != nullptr && s32FrameLen >= CMD_LARGE_SUBHEAD_LEN;
    if (bHasHead) {
        memcpy(&stHead, pu8Chunk, sizeof(stHead));
    }
    if ((pstInst->debugFlags & CMD_DEBUG_FRAME) != 0) {
        CMD_INFO("PacketsNum=%d ,PacketsLen=%d,cmdlen=%d", stHead.PacketsNum, stHead.PacketsLen,
                 s32FrameLen);
        CMD_INFO("SendAddr=%d,SendLen=%d", stHead.SendAddr, stHead.SendLen);
    }
    if (!LargeChunkSound(pstInst, stHead, bHasHead, s32FrameLen)) {
        return -1;
    }
    const uint8_t *pu8Data = pu8Chunk + CMD_LARGE_SUBHEAD_LEN;
    if (!LargeJoin(pstInst, stHead, pu8Data, pstRec->sn)) {
        return 0;
    }
    if (pstInst->PacketsBuffer == nullptr) {
        uint8_t *pu8Buf = static_cast<uint8_t *>(
            malloc(LargeLedgerOffset(stHead.PacketsLen) + sizeof(CmdLargeLedger)));
        if (pu8Buf == nullptr) {
            CMD_ERROR("%s", pstInst->name);
            return -1;
        }
        pstInst->PacketsBuffer = pu8Buf;
        pstInst->recvLarge = stHead;
        pstInst->recvLarge.PacketsRecvNum = 0;
        new (pu8Buf + LargeLedgerOffset(stHead.PacketsLen)) CmdLargeLedger{};
    }

    const int s32Index = stHead.SendAddr / CMD_LARGE_CHUNK_DATA;
    CmdLargeLedger *pstLedger = LargeLedger(pstInst);
    memcpy(pstInst->PacketsBuffer + stHead.SendAddr, pu8Data, stHead.SendLen);
    pstLedger->au8Taken[s32Index / 8] =
        static_cast<uint8_t>(pstLedger->au8Taken[s32Index / 8] | (1u << (s32Index % 8)));
    pstLedger->au16Sn[s32Index] = pstRec->sn;
    ++pstInst->recvLarge.PacketsRecvNum;
    if (pstInst->recvLarge.PacketsRecvNum >= pstInst->recvLarge.PacketsNum) {
        LargeDeliver(pstInst, pstRec);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Frame step

namespace {

constexpr const char *OP_FRAME_STEP = "CommandProtocolFrameStep";

/// Check step of a stored frame: the peer is alive (any frame, damaged or not,
/// restarts the repetition of queued frames), the check value matches (it
/// covers the bytes as they travelled, so it comes first; a damaged frame is
/// dropped: no reply, no record), then the frame is deciphered. False when the
/// frame was dropped.
bool FrameCheck(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot, uint32_t u32Now) {
    const bool bTrace = (pstInst->debugFlags & CMD_DEBUG_FRAME) != 0 && elogLev >= 2;
    bool bBeatSn = false; // the frame's sn is that of a heartbeat of ours (its acknowledgement)
    {
        // The send side writes these times too.
        CMutexLock objLock(g_objSendBufMutex);
        for (uint32_t &u32Alive : pstInst->sendAliveTime) {
            u32Alive = u32Now;
        }
        bBeatSn = bTrace && QueuedHeartbeatHeld(pstInst, pstSlot->sn);
    }
    if (CommandProtocolFrameCrc(pstSlot) != pstSlot->crc) {
        if (bTrace && !bBeatSn && pstSlot->cmd != CMD_HEART_BEAT) {
            CMD_TRACE_IN(OP_FRAME_STEP, "==>checksum NG  [%s]SN=%d  cmd =0x%x len=%d",
                         pstInst->name, pstSlot->sn, pstSlot->cmd, pstSlot->len);
        }
        CommandProtocolFrameClear(pstSlot);
        return false;
    }
    if ((pstSlot->flags & CMD_FLAG_ENCRYPT) != 0) {
        // An invalid key index leaves the frame as it is, and it is acted on so.
        CommandProtocolFrameCipher(pstSlot);
    }
    if (bTrace && !bBeatSn && pstSlot->cmd != CMD_HEART_BEAT) {
        CMD_TRACE_IN(OP_FRAME_STEP, "==>checksum OK  [%s]SN=%d  cmd =0x%x len=%d", pstInst->name,
                     pstSlot->sn, pstSlot->cmd, pstSlot->len);
    }
    return true;
}

using FrameHandler = void (*)(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);

void FrameClearRecord(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    CommandProtocolClearHistory(pstInst);
    {
        CMutexLock objLock(g_objSendBufMutex);
        pstInst->sendSn = 0;
    }
    CommandProtocolSendAck(pstInst, pstSlot);
}

void FrameLargeChunk(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    CommandProtocolRecordSn(pstInst, pstSlot->sn);
    // A chunk that is not taken is acknowledged all the same: repeating it
    // would not make it fit.
    CommandProtocolRecvLargePacket(pstInst, pstSlot);
    CommandProtocolSendAck(pstInst, pstSlot);
}

/// Any other command: recorded before the callback, acknowledged after it returns.
void FrameDeliver(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    CommandProtocolRecordSn(pstInst, pstSlot->sn);
    if (pstInst->fun.DataProcessing != nullptr) {
        pstInst->fun.DataProcessing(pstSlot);
    }
    CommandProtocolSendAck(pstInst, pstSlot);
}

/// Where a checked frame other than an acknowledgement goes, by command.
/// Routes marked bBeforeRepeat are taken whatever the repeat history says; the
/// others only for a frame that is not a repeat. Heartbeats and repeats are
/// acknowledged again, so that the peer stops repeating, and not acted on twice.
struct FrameRoute {
    uint16_t u16Cmd;
    bool bBeforeRepeat;
    FrameHandler pfnHandle;
};
constexpr FrameRoute FRAME_ROUTES[] = {
    {CMD_CLEAR_RECORD_FLAG, true, FrameClearRecord},
    {CMD_HEART_BEAT, true, CommandProtocolSendAck},
    {CMD_LARGE_PACKET_PROTOCOL, false, FrameLargeChunk},
    {CMD_UPDATE_SW_SEND_FILE_START, false, CommandProtocolTransferFileRecvStart},
    {CMD_UPDATE_SW_SEND_FILE, false, CommandProtocolTransferFileRecv},
    {CMD_UPDATE_SW_REPORT_FILE, false, CommandProtocolTransferFileReport},
    {CMD_UPDATE_SW_READY_UPDATE, false, CommandProtocolTransferReadyUpdate},
};

FrameHandler FrameRouteOf(const CmdProtocolInstance *pstInst, const _CmdProtocolParam *pstSlot) {
    const bool bRepeat = CommandProtocolIsRepeat(pstInst, pstSlot->sn);
    for (const FrameRoute &stRoute : FRAME_ROUTES) {
        if (stRoute.u16Cmd == pstSlot->cmd && (stRoute.bBeforeRepeat || !bRepeat)) {
            return stRoute.pfnHandle;
        }
    }
    return bRepeat ? CommandProtocolSendAck : FrameDeliver;
}

} // namespace

void CommandProtocolFrameStep(CmdProtocolInstance *pstInst, int s32Slot, uint32_t u32Now) {
    if (s32Slot < 0 || s32Slot >= CMD_SLOT_COUNT || !SlotInUse(&pstInst->recvSlots[s32Slot])) {
        return;
    }
    _CmdProtocolParam *pstSlot = &pstInst->recvSlots[s32Slot];
    pstInst->recvTime[s32Slot] = u32Now;
    if (!FrameCheck(pstInst, pstSlot, u32Now)) {
        return;
    }
    // A file send started on another thread asks for the history to be emptied;
    // that must happen before this frame is looked up in it.
    CommandProtocolApplyHistoryClear(pstInst);
    if (pstSlot->cmd == CMD_ACK) {
        CommandProtocolAckStep(pstInst, pstSlot->sn, u32Now);
    } else {
        FrameRouteOf(pstInst, pstSlot)(pstInst, pstSlot);
    }
    // Whatever path was taken, the slot is free for the next frame.
    CommandProtocolFrameClear(pstSlot);
}
