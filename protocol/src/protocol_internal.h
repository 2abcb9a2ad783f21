// The protocol's internals: the instance record and the steps that the engine
// loop, the send queue, the receiver and the file transfer share. Nothing
// outside protocol/ (and its tests) includes this.
#pragma once

#include <atomic>
#include <cstdio>

#include <pthread.h>

#include "protocol/command_protocol.h"
#include "runtime/cond.h"
#include "runtime/mutex.h"

// status bits
enum : uint8_t {
    CMD_STATUS_LINK_UP = 0x01,
    CMD_STATUS_HEARTBEAT_ON = 0x02,
    CMD_STATUS_RUNNING = 0x04,
    CMD_STATUS_FAST_MODE = 0x08,
};

// fileSendState values.
enum : uint8_t {
    FILE_SEND_IDLE = 0,
    FILE_SEND_STARTING = 1, // start frame queued
    FILE_SEND_CHUNKS = 2,   // queueing chunks
    FILE_SEND_LAST = 3,     // last chunk queued, waiting for every acknowledgement
    FILE_SEND_DONE = 4,     // end marker queued, until the progress is read
};

// fileRecvState values.
enum : uint8_t {
    FILE_RECV_IDLE = 0,
    FILE_RECV_WRITING = 1,   // start frame taken, file open
    FILE_RECV_VERIFYING = 2, // end marker taken, file closed
    FILE_RECV_VERIFIED = 3,
    FILE_RECV_FAILED = 4,
};

constexpr uint16_t CMD_SN_EMPTY = 0x3FFF; // an unwritten repeat-history entry
constexpr int CMD_ENGINE_READ_LEN = 1964;

/// One protocol instance. Allocated (value-initialised) by open, never freed.
///
/// Threads: the send side (send slots, their times, sendSn, cipherParam,
/// sendByte9/10, debugFlags, txCount, lastSendTime, large-packet send block,
/// the deferred store) changes only under g_objSendBufMutex. The receive side
/// (assembler, receive slots, history, reassembly, file receive) belongs to the
/// engine loop alone. status, fileSendState and fileRecvState are atomics
/// because other threads read or clear them.
struct CmdProtocolInstance {
    CmdProtocolFun fun{};
    char name[8]{};
    std::atomic<uint8_t> debugFlags{0};
    uint32_t txCount = 0;
    uint32_t ackCount = 0;
    std::atomic<uint8_t> fileSendState{0};
    std::atomic<uint8_t> fileRecvState{0};
    std::atomic<uint16_t> filePacketIndex{0};
    CmdProtocolFileInfo fileInfo{};
    char remoteFileName[64]{};
    bool fileAnnounced = false; // this side has queued a start frame at least once
    FILE *fileHandle = nullptr;
    // The receiving side keeps its own record and chunk count, so that a file
    // coming in while one goes out cannot change what is being sent. Written
    // by the engine loop under g_objSendBufMutex (progress reads them there).
    CmdProtocolFileInfo fileRecvInfo{};
    std::atomic<uint16_t> fileRecvPacketIndex{0};
    // A send start on an application thread cannot touch the repeat history,
    // which belongs to the engine loop: it leaves this flag, and the loop
    // empties the history at its next file step.
    std::atomic<bool> fileHistoryClearPending{false};
    uint32_t lastAckTime = 0;
    uint32_t lastSendTime = 0;
    // The last byte this instance put on the link (see CommandProtocolFrameWrite).
    std::atomic<uint8_t> lastWriteByte{0};
    std::atomic<uint8_t> status{0};
    uint8_t cipherParam = 0;
    uint8_t sendByte9 = 0;
    uint8_t sendByte10 = 0;
    _CmdProtocolParam sendSlots[CMD_SLOT_COUNT]{};
    uint32_t sendLastTime[CMD_SLOT_COUNT]{};
    uint32_t sendAliveTime[CMD_SLOT_COUNT]{};
    _CmdProtocolParam recvSlots[CMD_SLOT_COUNT]{};
    uint32_t recvTime[CMD_SLOT_COUNT]{};
    // Order in which the frames now in recvSlots were stored, from a counter
    // of the byte feeder: of frames with equal ages the one stored first is
    // taken first, whatever slots they landed in.
    uint32_t recvArrival[CMD_SLOT_COUNT]{};
    uint32_t recvArrivalNext = 0;
    uint16_t recvSnHistory[CMD_SLOT_COUNT]{};
    uint8_t recvSnIndex = 0;
    uint16_t sendSn = 0;
    uint16_t recvCount = 0;
    uint8_t recvBuffer[CMD_FRAME_SHORT_LEN + CMD_FRAME_MAX_PAYLOAD]{};
    _CmdProtocolParam longerCmds[CMD_SLOT_COUNT]{};
    uint8_t longerCmdCount = 0;
    CmdLargePacket large{};           // send side's block (sub-header of the chunk being queued)
    uint8_t *PacketsBuffer = nullptr; // reassembly buffer of the message being received
    CmdLargePacket recvLarge{};       // receive side: sub-header of the message being reassembled
                                      // (PacketsRecvNum counts its chunks)

    // Engine-loop bookkeeping: one loop per instance; waiters learn when it ended.
    CMutex engineMutex;
    CCond engineCond; // broadcast when the loop ends or has done a pending reset
    bool engineEnded = false;
    bool engineRunning = false;   // an engine loop works the record (engineMutex)
    pthread_t engineLoopThread{}; // the thread of that loop (engineMutex)
    // A reset asked from another thread: the loop empties its receive side at
    // the start of its next pass, so the receive side keeps one owner.
    std::atomic<bool> recvResetPending{false};
};

// ---------------------------------------------------------------------------
// Instance table (instance.cpp)

/// Handle -> instance, or null when the handle is not 0..9 or not open.
CmdProtocolInstance *CommandProtocolLookup(int s32Handle);
/// Steps 5..7 of open on a fresh record: table entries, counters, times,
/// status and name. No table slot, no thread. Tests use it to drive the steps
/// of an instance without an engine thread.
void CommandProtocolInstanceInit(CmdProtocolInstance *pstInst, const CmdProtocolFun *pstFun,
                                 const char *pszName, int s32Mode);
/// Handle -> instance, or null after printing the invalid-handle error line
/// ("invalid, <handle>.") in the name of the calling operation.
CmdProtocolInstance *CommandProtocolLookupOrReport(const char *pszFunc, int s32Line, int s32Handle);
#define CMD_LOOKUP_OR_REPORT(handle) CommandProtocolLookupOrReport(__func__, __LINE__, (handle))

// ---------------------------------------------------------------------------
// Frames (frame.cpp)

// CommandProtocolFrameCrc and CommandProtocolFrameCipher: the public header.
/// Writes a record through the instance's Write: 17 bytes, or the 13 header
/// bytes followed by the payload.
void CommandProtocolFrameWrite(CmdProtocolInstance *pstInst, const _CmdProtocolParam *pstRec);
/// Releases the payload of a record (if any) and zeroes it.
void CommandProtocolFrameClear(_CmdProtocolParam *pstRec);

// ---------------------------------------------------------------------------
// Receiver (receiver.cpp)

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

// ---------------------------------------------------------------------------
// Send queue (send_queue.cpp)

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

// ---------------------------------------------------------------------------
// Engine loop (engine.cpp)

/// What the engine loop carries from one pass to the next.
struct CmdEngineLoopState {
    uint32_t u32LastTransmit = 0; // time t of the last pass whose transmit step ran
    uint32_t u32LastStatSec = 0;  // whole seconds when the statistics line was last due
};
/// One pass of the engine loop, without its idle sleep: a pending reset, the
/// read step (pu8ReadBuf holds CMD_ENGINE_READ_LEN bytes, or is null to read
/// nothing), then either the frame step on the oldest stored frame or the
/// housekeeping (transmit, file send, heartbeat and link, statistics).
/// Returns true when it acted on a received frame (the loop then goes on at
/// once), false when it did housekeeping (the loop sleeps). Runs on the one
/// thread that owns the instance's receive side; tests drive an instance
/// without an engine thread through it.
bool CommandProtocolEnginePass(CmdProtocolInstance *pstInst, uint8_t *pu8ReadBuf,
                               CmdEngineLoopState *pstLoop);

// ---------------------------------------------------------------------------
// File transfer (file_transfer.cpp)

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
