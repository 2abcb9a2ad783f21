// The sending half: queuing and splitting (send_queue.cpp), the engine's send
// steps (send_steps.cpp), queries and parameters (send_params.cpp), the reset
// (reset.cpp) and the clock seams (clock.cpp).
#pragma once

#include "instance.h"

// The send lock is taken once, by the entry points and the engine steps. A
// helper whose name ends in Held does the same as its namesake without the
// lock: its caller holds g_objSendBufMutex.

/// Numbers, enciphers, seals and stores a frame; the sn, or -1 when all slots
/// are taken. Takes the send lock.
int CommandProtocolSendCmdAddsub(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec,
                                 int s32Priority);
/// CommandProtocolSendCmdAddsub; the caller holds the send lock.
int CommandProtocolSendCmdAddsubHeld(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec,
                                     int s32Priority);
int CommandProtocolSendLargePacket(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstRec);
/// Empties the first slot in use holding sn (all = 0) or every slot (all = 1).
/// Takes the send lock.
int CommandProtocolRemoveSendBuf(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All);
/// CommandProtocolRemoveSendBuf; the caller holds the send lock.
int CommandProtocolRemoveSendBufHeld(CmdProtocolInstance *pstInst, uint16_t u16Sn, int s32All);
/// Transmit step at time u32T.
void CommandProtocolTransmitStep(CmdProtocolInstance *pstInst, uint32_t u32T);
/// Acknowledgement step for a received command-0 frame.
void CommandProtocolAckStep(CmdProtocolInstance *pstInst, uint16_t u16Sn, uint32_t u32Now);
/// Heartbeat and link step at time u32T.
void CommandProtocolHeartbeatStep(CmdProtocolInstance *pstInst, uint32_t u32T);
/// Number of free send slots (byte 0 not 0xA5), read under the send lock.
int CommandProtocolFreeSendSlots(CmdProtocolInstance *pstInst);
/// CommandProtocolFreeSendSlots; the caller holds the send lock.
int CommandProtocolFreeSendSlotsHeld(const CmdProtocolInstance *pstInst);
/// Engine hook, called by the loop on its own thread at the start of each pass
/// and once more when it ends: carries out the receive-side half of a
/// CommandProtocolReset asked from another thread (assembler, receive slots,
/// repeat history) and wakes the thread that asked.
void CommandProtocolResetPendingStep(CmdProtocolInstance *pstInst);

/// Test seam: replaces the clock (null restores CLOCK_MONOTONIC). clock.cpp.
void CommandProtocolSetClock(uint32_t (*pfnClock)());
/// Test seam: replaces the pauses of the send queue (the 5 ms after a normal
/// frame, the waits for free or empty slots); null restores usleep. A
/// replacement that returns at once makes those waits spin through their
/// counts without sleeping. clock.cpp.
void CommandProtocolSetPause(void (*pfnPause)(uint32_t u32Us));
/// The send queue's pause of u32Us microseconds, through the seam above.
void CommandProtocolPauseUs(uint32_t u32Us);
