// File transfer (file_transfer.cpp): the sending side's start and steps, the
// receiving side's frame handlers.
#pragma once

#include "instance.h"

int CommandProtocolTransferCheckFileInfo(const char *pszPath, CmdProtocolFileInfo *pstInfo);
/// Queues the start frame of the send; takes the send lock.
int CommandProtocolTransferFileStartCmd(CmdProtocolInstance *pstInst);
/// CommandProtocolTransferFileStartCmd; the caller holds the send lock.
int CommandProtocolTransferFileStartCmdHeld(CmdProtocolInstance *pstInst);
int CommandProtocolTransferFileReportCmd(CmdProtocolInstance *pstInst, unsigned int u32Code);
/// Engine file-send step (idle pass with a free send slot, fileSendState 2 or 3).
void CommandProtocolTransferFileSend(CmdProtocolInstance *pstInst);
// Frame-step handlers of the file commands (not repeats). Each records,
// delivers and acknowledges as its rules say; the frame step then releases
// whatever is left in the slot.
void CommandProtocolTransferFileRecvStart(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);
void CommandProtocolTransferFileRecv(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);
void CommandProtocolTransferFileReport(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);
void CommandProtocolTransferReadyUpdate(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);
