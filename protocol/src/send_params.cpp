// The queue's queries and the instance's frame parameters, operations-table
// entries of their own; each takes the send lock once.
#include "diag.h"
#include "send_queue.h"

namespace {

// CommandProtocolWaitSendBufEmpty polls this often.
constexpr int WAIT_EMPTY_PAUSE_MS = 30;

} // namespace

int CommandProtocolGetSendBufNum(int s32Handle) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    CMutexLock objLock(g_objSendBufMutex);
    int s32Count = 0;
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (CmdSlotHoldsFrame(stSlot) && stSlot.cmd != CMD_HEART_BEAT) {
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
        if (CmdSlotInUse(stSlot) && stSlot.sn == u16Sn) {
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
