// The deferred-command store: up to ten frames the application parks to take
// later (CommandProtocolBackupCMDLongerToProgress and
// CommandProtocolGetCMDLongerToProgress), under the send lock.
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "send_queue.h"

int CommandProtocolBackupCMDLongerToProgress(int s32Handle, const _CmdProtocolParam *pstRec) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    // Only a record that begins with the sync bytes can be taken out again; any
    // other would sit in a slot that still looks free and be overwritten, its
    // payload copy lost.
    if (pstRec == nullptr || !CmdSlotHoldsFrame(*pstRec)) {
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
        if (CmdSlotHoldsFrame(stSlot)) {
            *pstDest = stSlot; // the payload copy goes with it
            memset(&stSlot, 0, sizeof(stSlot));
            --pstInst->longerCmdCount;
            return CMD_RESULT_OK;
        }
    }
    return CMD_RESULT_FAIL;
}
