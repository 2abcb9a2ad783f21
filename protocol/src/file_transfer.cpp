// Placeholder until the file transfer lands: every file frame is dropped unanswered.
#include "protocol_internal.h"

int CommandProtocolTransferCheckFileInfo(const char *, CmdProtocolFileInfo *) { return -1; }
int CommandProtocolTransferFileStartCmd(CmdProtocolInstance *) { return -1; }
int CommandProtocolTransferFileReportCmd(CmdProtocolInstance *, unsigned int) { return -1; }
void CommandProtocolTransferFileSend(CmdProtocolInstance *) {}
void CommandProtocolTransferFileRecvStart(CmdProtocolInstance *, _CmdProtocolParam *) {}
void CommandProtocolTransferFileRecv(CmdProtocolInstance *, _CmdProtocolParam *) {}
void CommandProtocolTransferFileReport(CmdProtocolInstance *, _CmdProtocolParam *) {}
void CommandProtocolTransferReadyUpdate(CmdProtocolInstance *, _CmdProtocolParam *) {}
int CommandProtocolTransferFileSendStart(int, uint32_t, const char *, const char *) { return -1; }
int CommandProtocolTransferFileProgress(int) { return -1; }
