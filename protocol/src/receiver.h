// The receiving half (receiver.cpp): byte assembly, the frame step, the
// repeat history and the reassembly of split messages. Engine loop.
#pragma once

#include "instance.h"

int CommandProtocolRecvOneByte(CmdProtocolInstance *pstInst, uint8_t u8Byte);
int CommandProtocolRecvLargePacket(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec);
/// The oldest stored frame with an age above 0 at u32Now (lower slot on ties), or -1.
int CommandProtocolPickRecvSlot(CmdProtocolInstance *pstInst, uint32_t u32Now);
/// The engine's frame step for the frame in receive slot s32Slot.
void CommandProtocolFrameStep(CmdProtocolInstance *pstInst, int s32Slot, uint32_t u32Now);
/// Turns the slot into the acknowledgement of its frame, writes it and empties the slot.
void CommandProtocolSendAck(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot);
/// Stores sn in the repeat history at recvSnIndex and advances the index.
void CommandProtocolRecordSn(CmdProtocolInstance *pstInst, uint16_t u16Sn);
/// True when sn is among the ten history entries.
bool CommandProtocolIsRepeat(const CmdProtocolInstance *pstInst, uint16_t u16Sn);
/// Sets every history entry to 0x3FFF (the index keeps its value).
void CommandProtocolClearHistory(CmdProtocolInstance *pstInst);
/// Carries out a history clear that a file send start on another thread asked
/// for (fileHistoryClearPending). Engine loop: its frame and file steps.
void CommandProtocolApplyHistoryClear(CmdProtocolInstance *pstInst);
