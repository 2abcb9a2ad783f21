// Queuing: numbering, enciphering, sealing and storing frames in the ten send
// slots, and splitting messages longer than one frame into chunks. Takes the
// send lock g_objSendBufMutex at its entry points (see send_queue.h).
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "send_queue.h"

namespace {

// A normal frame is dated this far back when queued, so the next transmit step finds it due.
constexpr uint32_t SEND_BACKDATE_MS = 100;
// A priority frame is dated further back: it goes ahead of every due frame
// that was sent less than this long ago.
constexpr uint32_t SEND_PRIORITY_BACKDATE_MS = 1100;
// Pause after queuing a normal frame (paid under the send lock): one sender
// queues at most about 200 normal frames per second.
constexpr uint32_t SEND_PAUSE_US = 5000;
// A chunk waits for a free slot at most this many checks, this far apart.
constexpr int SPLIT_SLOT_CHECKS = 34;
constexpr uint32_t SPLIT_SLOT_PAUSE_US = 30000;

constexpr const char *OP_SEND_LARGE = "CommandProtocolSendLargePacket";

/// The slot this record may take: the first whose byte 0 is not 0xA5, or -1.
/// The caller holds the send lock.
int FreeSendSlotHeld(const CmdProtocolInstance *pstInst) {
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        if (!CmdSlotInUse(pstInst->sendSlots[i])) {
            return i;
        }
    }
    return -1;
}

/// Bytes 9 and 10 of a frame being queued. A file chunk carries its index
/// there, high byte first (the end index for the end marker); every other
/// frame the instance's parameters. The file sender learns the sn of each
/// chunk. The caller holds the send lock.
void StampParams(const CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec,
                 _CmdProtocolParam *pstFrame) {
    if (pstFrame->cmd != CMD_UPDATE_SW_SEND_FILE) {
        pstFrame->param1 = pstInst->sendByte9;
        pstFrame->param2 = pstInst->sendByte10;
        return;
    }
    pstRec->sn = pstFrame->sn;
    uint8_t u8FileState = pstInst->fileSendState.load();
    if (u8FileState == FILE_SEND_CHUNKS) {
        uint16_t u16Index = pstInst->filePacketIndex.load();
        pstFrame->param1 = static_cast<uint8_t>(u16Index >> 8);
        pstFrame->param2 = static_cast<uint8_t>(u16Index & 0xFF);
    } else if (u8FileState == FILE_SEND_DONE) {
        pstFrame->param1 = static_cast<uint8_t>(CMD_FILE_END_INDEX >> 8);
        pstFrame->param2 = static_cast<uint8_t>(CMD_FILE_END_INDEX & 0xFF);
    }
}

/// Wait step of a split: the peer counts the chunks of one message at a time;
/// chunks of the next message that overtook a repeated chunk of this one would
/// be counted into the wrong message. So a split starts only when no chunk of
/// an earlier split is still waiting for its acknowledgement: after up to 34
/// checks, 30 ms apart, it is refused (not queued behind the first).
bool WaitPreviousSplitDone(const CmdProtocolInstance *pstInst) {
    for (int i = 0; i < SPLIT_SLOT_CHECKS; ++i) {
        {
            CMutexLock objLock(g_objSendBufMutex);
            bool bPrevDone = true;
            for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
                if (CmdSlotHoldsFrame(stSlot) && stSlot.cmd == CMD_LARGE_PACKET_PROTOCOL) {
                    bPrevDone = false;
                    break;
                }
            }
            if (bPrevDone) {
                return true;
            }
        }
        CommandProtocolPauseUs(SPLIT_SLOT_PAUSE_US);
    }
    return false;
}

/// Queue step of a split: chunk i of the message in pstRec, its sub-header
/// stHead (SendAddr and SendLen set), once a send slot is free (up to 34
/// checks, 30 ms apart). The lock is not held across those waits, which need
/// the engine to empty slots meanwhile. 0, or -1 with an error line.
int QueueChunk(CmdProtocolInstance *pstInst, const _CmdProtocolParam *pstRec,
               const CmdLargePacket &stHead, int i) {
    {
        CMutexLock objLock(g_objSendBufMutex);
        pstInst->large = stHead;
    }
    _CmdProtocolParam stChunk = *pstRec;
    stChunk.cmd = CMD_LARGE_PACKET_PROTOCOL;
    stChunk.len = static_cast<uint16_t>(stHead.SendLen + CMD_LARGE_SUBHEAD_LEN);
    uint8_t *pu8Chunk = static_cast<uint8_t *>(malloc(stChunk.len));
    if (pu8Chunk == nullptr) {
        CMD_ERROR_IN(OP_SEND_LARGE, "%s", pstInst->name);
        return CMD_RESULT_FAIL;
    }
    memcpy(pu8Chunk, &stHead, CMD_LARGE_SUBHEAD_LEN);
    memcpy(pu8Chunk + CMD_LARGE_SUBHEAD_LEN, pstRec->payload + stHead.SendAddr, stHead.SendLen);
    stChunk.payload = pu8Chunk;

    bool bFree = false;
    for (int j = 0; j < SPLIT_SLOT_CHECKS && !bFree; ++j) {
        bFree = CommandProtocolFreeSendSlots(pstInst) > 0;
        if (!bFree) {
            CommandProtocolPauseUs(SPLIT_SLOT_PAUSE_US);
        }
    }
    if (!bFree) {
        free(pu8Chunk);
        CMD_ERROR_IN(OP_SEND_LARGE, "%s <%d>", pstInst->name, i);
        return CMD_RESULT_FAIL;
    }
    if ((pstInst->debugFlags.load() & CMD_DEBUG_FRAME) != 0) {
        CMD_INFO_IN(OP_SEND_LARGE, "PacketsNum=%d ,PacketsLen=%d,cmdlen=%d", stHead.PacketsNum,
                    stHead.PacketsLen, stChunk.len);
        CMD_INFO_IN(OP_SEND_LARGE, "SendAddr=%d,SendLen=%d", stHead.SendAddr, stHead.SendLen);
    }
    if (CommandProtocolSendCmdAddsub(pstInst, &stChunk, 1) < 0) {
        free(pu8Chunk);
        CMD_ERROR_IN(OP_SEND_LARGE, "%s", pstInst->name);
        return CMD_RESULT_FAIL;
    }
    return CMD_RESULT_OK;
}

} // namespace

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
    const int s32Slot = FreeSendSlotHeld(pstInst);
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
    StampParams(pstInst, pstRec, &stFrame);

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
    if (!WaitPreviousSplitDone(pstInst)) {
        CMD_ERROR("%s <%d>", pstInst->name, 0);
        return CMD_RESULT_FAIL;
    }
    // The sub-header is built here and copied into the instance's block under
    // the lock, chunk by chunk.
    CmdLargePacket stHead{};
    uint32_t u32Total = pstRec->len;
    stHead.PacketsNum = static_cast<uint8_t>(u32Total / CMD_LARGE_CHUNK_DATA +
                                             (u32Total % CMD_LARGE_CHUNK_DATA != 0 ? 1 : 0));
    stHead.PacketsRecvNum = 0; // the receive count belongs to the engine's receive side
    stHead.PacketsLen = pstRec->len;
    stHead.PacketsCmd = pstRec->cmd;
    stHead.reserved = 0;
    for (int i = 0; i < stHead.PacketsNum; ++i) {
        stHead.SendAddr = static_cast<uint16_t>(i * CMD_LARGE_CHUNK_DATA);
        stHead.SendLen = (i == stHead.PacketsNum - 1)
                             ? static_cast<uint16_t>(stHead.PacketsLen - stHead.SendAddr)
                             : static_cast<uint16_t>(CMD_LARGE_CHUNK_DATA);
        if (QueueChunk(pstInst, pstRec, stHead, i) != CMD_RESULT_OK) {
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
