// The protocol instance: its record with the states and bits that live in
// it, the slot predicates, the instance table and the frame helpers. Every
// layer of the protocol includes this; nothing outside protocol/ (and its
// tests) does.
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

/// One protocol instance. Allocated (value-initialised) by open, never freed.
/// Its parts, by owner:
///
/// - the send side changes only under g_objSendBufMutex (any thread);
/// - the receive side belongs to the engine loop (and its byte feeder);
/// - the file transfer's sending side is started on an application thread
///   and driven by the engine loop, under the send lock; its receiving side
///   runs in the engine's frame step;
/// - the engine-loop bookkeeping is guarded by engineMutex.
///
/// status, debugFlags, the file states and the flags that other threads read
/// or set are atomics.
struct CmdProtocolInstance {
    CmdProtocolFun fun{};
    char name[8]{};
    std::atomic<uint8_t> status{0}; // CMD_STATUS_* bits
    std::atomic<uint8_t> debugFlags{0};

    // Send side (g_objSendBufMutex).
    uint8_t cipherParam = 0; // flags byte of queued frames
    uint8_t sendByte9 = 0;
    uint8_t sendByte10 = 0;
    uint16_t sendSn = 0;
    _CmdProtocolParam sendSlots[CMD_SLOT_COUNT]{};
    uint32_t sendLastTime[CMD_SLOT_COUNT]{};
    uint32_t sendAliveTime[CMD_SLOT_COUNT]{};
    uint32_t txCount = 0;
    uint32_t ackCount = 0;
    uint32_t lastAckTime = 0;
    uint32_t lastSendTime = 0;
    // The last byte this instance put on the link (see CommandProtocolFrameWrite).
    std::atomic<uint8_t> lastWriteByte{0};
    CmdLargePacket large{}; // sub-header of the chunk being queued
    // The deferred-command store.
    _CmdProtocolParam longerCmds[CMD_SLOT_COUNT]{};
    uint8_t longerCmdCount = 0;

    // Receive side (engine loop).
    uint16_t recvCount = 0; // bytes of the frame under assembly
    uint8_t recvBuffer[CMD_FRAME_SHORT_LEN + CMD_FRAME_MAX_PAYLOAD]{};
    _CmdProtocolParam recvSlots[CMD_SLOT_COUNT]{};
    uint32_t recvTime[CMD_SLOT_COUNT]{};
    // Order in which the frames now in recvSlots were stored, from a counter
    // of the byte feeder: of frames with equal ages the one stored first is
    // taken first, whatever slots they landed in.
    uint32_t recvArrival[CMD_SLOT_COUNT]{};
    uint32_t recvArrivalNext = 0;
    uint16_t recvSnHistory[CMD_SLOT_COUNT]{};
    uint8_t recvSnIndex = 0;
    uint8_t *PacketsBuffer = nullptr; // reassembly buffer of the message being received
    CmdLargePacket recvLarge{};       // sub-header of the message being reassembled
                                      // (PacketsRecvNum counts its chunks)

    // File transfer, sending side (g_objSendBufMutex).
    std::atomic<uint8_t> fileSendState{FILE_SEND_IDLE};
    std::atomic<uint16_t> filePacketIndex{0};
    CmdProtocolFileInfo fileInfo{};
    char remoteFileName[64]{};
    bool fileAnnounced = false; // this side has queued a start frame at least once
    // A send start on an application thread cannot touch the repeat history,
    // which belongs to the engine loop: it leaves this flag, and the loop
    // empties the history at its next file step.
    std::atomic<bool> fileHistoryClearPending{false};
    // File transfer, receiving side (frame step). It keeps its own record and
    // chunk count, so that a file coming in while one goes out cannot change
    // what is being sent; written under g_objSendBufMutex (progress reads them
    // there).
    std::atomic<uint8_t> fileRecvState{FILE_RECV_IDLE};
    FILE *fileHandle = nullptr;
    CmdProtocolFileInfo fileRecvInfo{};
    std::atomic<uint16_t> fileRecvPacketIndex{0};

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

/// A send-side slot in use: byte 0 is 0xA5.
inline bool CmdSlotInUse(const _CmdProtocolParam &stSlot) {
    return stSlot.sync1 == CMD_FRAME_SYNC1;
}
/// A slot that holds a whole frame: both sync bytes.
inline bool CmdSlotHoldsFrame(const _CmdProtocolParam &stSlot) {
    return stSlot.sync1 == CMD_FRAME_SYNC1 && stSlot.sync2 == CMD_FRAME_SYNC2;
}
/// A file send between its start and its end marker: chunks are being queued or acknowledged.
inline bool CmdFileSendRunning(uint8_t u8State) {
    return u8State == FILE_SEND_CHUNKS || u8State == FILE_SEND_LAST;
}

// ---------------------------------------------------------------------------
// Instance table (instance.cpp)

/// Handle -> instance, or null when the handle is not 0..9 or not open.
CmdProtocolInstance *CommandProtocolLookup(int s32Handle);
/// Steps 5..7 of open on a fresh record: table entries, counters, times,
/// status and name. No table slot, no thread. Tests use it to drive the steps
/// of an instance without an engine thread.
void CommandProtocolInstanceInit(CmdProtocolInstance *pstInst, const CmdProtocolFun *pstFun,
                                 const char *pszName, int s32Mode);
/// Test seam: releases everything the record owns (the payloads in its send,
/// receive and deferred slots, the reassembly buffer, a file being received)
/// and makes it a fresh, value-initialised record again. Nothing else may use
/// the record meanwhile.
void CommandProtocolInstanceRenew(CmdProtocolInstance *pstInst);
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
