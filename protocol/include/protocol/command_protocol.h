// The serial command protocol's public interface.
//
// Frames on the line: 0xA5 0x5A, len, crc, flags, sn, param1, param2, cmd, then
// a 4-byte data field (len 0..4) or len payload bytes (5..512). All 16-bit
// fields are little-endian. Up to ten protocol instances run at once, each
// reached by a handle 0..9 and driven by its own engine loop.
//
// Results: -1 refused or failed, -2 invalid handle (see CmdProtocolResult).
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Wire constants

enum : uint16_t {
    CMD_ACK = 0x0000,
    CMD_HEART_BEAT = 0x0001,
    CMD_LARGE_PACKET_PROTOCOL = 0x0002,
    CMD_CLEAR_RECORD_FLAG = 0x0003,
    CMD_UPDATE_SW_SEND_FILE_START = 0x0302,
    CMD_UPDATE_SW_SEND_FILE = 0x0303,
    CMD_UPDATE_SW_REPORT_FILE = 0x0304,
    CMD_UPDATE_SW_READY_UPDATE = 0x0380,
    CMD_STM32_IDBUTTON_TIMES = 0x100D,
};

enum : uint8_t {
    CMD_FRAME_SYNC1 = 0xA5,
    CMD_FRAME_SYNC2 = 0x5A,
    CMD_FLAG_ENCRYPT = 0x80,  // flags bit 7: the encrypted area is RC4-enciphered
    CMD_FLAG_KEY_MASK = 0x7F, // flags bits 0..6: key index
};

constexpr int CMD_FRAME_HEAD_LEN = 13;     // sync .. cmd
constexpr int CMD_FRAME_SHORT_LEN = 17;    // header + 4 data bytes
constexpr int CMD_FRAME_SHORT_MAX = 4;     // len up to this travels in the data field
constexpr int CMD_FRAME_MAX_PAYLOAD = 512; // longest payload of one frame
constexpr int CMD_FRAME_MAX_LEN = CMD_FRAME_HEAD_LEN + CMD_FRAME_MAX_PAYLOAD; // 525
constexpr int CMD_LARGE_SUBHEAD_LEN = 12; // sub-header of a large-packet chunk
constexpr int CMD_LARGE_CHUNK_DATA = 496; // data bytes of a full chunk
constexpr int CMD_SLOT_COUNT = 10;        // send, receive and deferred slots per instance
constexpr int CMD_INSTANCE_COUNT = 10;    // handles 0..9
constexpr int CMD_KEY_COUNT = 2;          // RC4 key indexes 0 and 1

/// Modes of CommandProtocolOpen.
enum : int {
    CMD_MODE_NORMAL = 0,
    CMD_MODE_FAST = 1, // every due frame goes out in one transmit step
};

/// debugFlags bits (the last parameter of CommandProtocolSetParam).
enum : uint8_t {
    CMD_DEBUG_FRAME = 0x01, // frame traces: queued, sent, checked, chunks
    CMD_DEBUG_FILE = 0x02,  // file-transfer traces
    CMD_DEBUG_STATS = 0x04, // the statistics line
};

/// Named results of the handle-based operations.
enum CmdProtocolResult : int {
    CMD_RESULT_OK = 0,
    CMD_RESULT_FAIL = -1,
    CMD_RESULT_INVALID_HANDLE = -2,
};

/// Results of the byte receiver (CommandProtocolRecvOneByte, CommandInterfaceRead2).
enum CmdRecvResult : int {
    CMD_RECV_TAKEN = 0,      // byte stored (frame in progress, or complete and stored)
    CMD_RECV_HUNTING = -1,   // dropped while hunting for the sync bytes
    CMD_RECV_TOO_LONG = -2,  // len above 512: frame abandoned
    CMD_RECV_NO_SLOT = -3,   // frame complete but all receive slots taken: lost
    CMD_RECV_NO_MEMORY = -4, // no memory for the payload: lost
};

// ---------------------------------------------------------------------------
// The command record

/// The in-memory form of one frame. Bytes 0..16 are laid out exactly as on the
/// wire (same offsets, little-endian). A frame with len 0..4 carries its data in
/// `data`; a longer one references a separately allocated buffer of len bytes
/// through `payload`, which sits beside the 17 wire bytes (after padding) so
/// that the wire part is the same on 32- and 64-bit machines. Whoever holds
/// the record in a slot owns that buffer; a record handed to a callback is
/// lent for the call only.
struct __attribute__((packed)) _CmdProtocolParam {
    uint8_t sync1;  // 0xA5
    uint8_t sync2;  // 0x5A
    uint16_t len;   // payload length 0..512
    uint16_t crc;   // CRC-16/XMODEM over flags..data (short) or flags..cmd + payload (long)
    uint8_t flags;  // bit 7 encrypted, bits 0..6 key index
    uint16_t sn;    // sender's sequence number
    uint8_t param1; // header parameter bytes 9 and 10
    uint8_t param2;
    uint16_t cmd;    // command code
    uint8_t data[4]; // data field of a short frame (zero beyond len)
    // len >= 5: the payload buffer; otherwise null. Kept at its natural
    // alignment after the wire bytes: an unaligned pointer would cost a
    // split load on the target and hide the buffer from leak checkers that
    // scan memory for aligned pointers.
    uint8_t *payload __attribute__((aligned(sizeof(void *))));
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the command record mirrors little-endian wire fields");
static_assert(offsetof(_CmdProtocolParam, len) == 2, "wire layout");
static_assert(offsetof(_CmdProtocolParam, crc) == 4, "wire layout");
static_assert(offsetof(_CmdProtocolParam, flags) == 6, "wire layout");
static_assert(offsetof(_CmdProtocolParam, sn) == 7, "wire layout");
static_assert(offsetof(_CmdProtocolParam, cmd) == 11, "wire layout");
static_assert(offsetof(_CmdProtocolParam, data) == 13, "wire layout");
static_assert(offsetof(_CmdProtocolParam, payload) >= CMD_FRAME_SHORT_LEN,
              "the 17 wire bytes come first");
static_assert(offsetof(_CmdProtocolParam, payload) % alignof(uint8_t *) == 0,
              "the payload reference is naturally aligned");

/// The wire bytes of a record (17 of them; 13 header bytes for a long frame).
inline const uint8_t *CmdParamBytes(const _CmdProtocolParam *pstRec) {
    return reinterpret_cast<const uint8_t *>(pstRec);
}
inline uint8_t *CmdParamBytes(_CmdProtocolParam *pstRec) {
    return reinterpret_cast<uint8_t *>(pstRec);
}
/// The payload bytes of a record: the data field for len <= 4, else the buffer.
inline const uint8_t *CmdParamPayload(const _CmdProtocolParam *pstRec) {
    return pstRec->len > CMD_FRAME_SHORT_MAX ? pstRec->payload : pstRec->data;
}

/// The 12-byte sub-header at the start of a large-packet chunk's payload
/// (command 0x0002), as on the wire; the chunk's data follows it. The send
/// side also keeps its splitting state in this form, the receive side the
/// state of the message it is reassembling.
struct __attribute__((packed)) CmdLargePacket {
    uint8_t PacketsNum;     // chunks of the whole message
    uint8_t PacketsRecvNum; // sender: its own count of chunks received; receivers ignore it
    uint16_t PacketsLen;    // length of the whole message
    uint16_t SendAddr;      // offset of this chunk's data in the message
    uint16_t SendLen;       // length of this chunk's data
    uint16_t PacketsCmd;    // command code of the whole message
    uint16_t reserved;
};
static_assert(sizeof(CmdLargePacket) == CMD_LARGE_SUBHEAD_LEN, "chunk sub-header is 12 bytes");

/// File transfers: data packet i (command 0x0303) carries file bytes i * 512 on;
/// the packet index CMD_FILE_END_INDEX, in bytes 9 (high) and 10, marks the end.
constexpr uint16_t CMD_FILE_END_INDEX = 0x7FFF;
constexpr int CMD_FILE_CHUNK = 512;

/// The file-information record of a file transfer: the payload of the start frame.
struct __attribute__((packed)) CmdProtocolFileInfo {
    uint32_t tag;      // the sender application's tag, carried, not interpreted
    char fileName[64]; // NUL-padded name
    uint32_t packets;  // number of 512-byte chunks, rounded up
    uint32_t length;   // file size in bytes
    uint32_t crc;      // CRC-16/XMODEM of the content, upper 16 bits 0
};
static_assert(sizeof(CmdProtocolFileInfo) == 80, "file-information record is 80 bytes");

// ---------------------------------------------------------------------------
// The operations table

/// Fourteen operations. The application fills Write, Read and DataProcessing
/// before CommandProtocolOpen; open fills the other eleven. The callbacks run
/// on the instance's engine thread.
struct CmdProtocolFun {
    /// Sends bytes on the link. Required.
    int (*Write)(const uint8_t *pu8Buf, int s32Len);
    /// Fetches up to s32Max waiting bytes without blocking for long; count, or <= 0
    /// when none. May be null: the bytes then come in through CommandInterfaceRead2.
    int (*Read)(uint8_t *pu8Buf, int s32Max);
    /// Receives one application frame, lent for the call. Required.
    void (*DataProcessing)(_CmdProtocolParam *pstFrame);

    int (*CommandInterfaceRead2)(int s32Handle, const uint8_t *pu8Bytes, int s32Count);
    int (*CommandProtocolConfirmCmdsent)(int s32Handle, uint16_t u16Sn);
    int (*CommandProtocolSendCmdAdd)(int s32Handle, _CmdProtocolParam *pstRec, int s32Priority);
    int (*CommandProtocolGetSendBufNum)(int s32Handle);
    int (*CommandProtocolSetParam)(int s32Handle, uint8_t u8Encrypt, uint8_t u8KeyIndex,
                                   uint8_t u8Byte9, uint8_t u8Byte10, uint8_t u8DebugFlags);
    int (*CommandProtocolTransferFileSendStart)(int s32Handle, uint32_t u32Tag,
                                                const char *pszLocalPath,
                                                const char *pszRemoteName);
    int (*CommandProtocolTransferFileProgress)(int s32Handle);
    int (*CommandProtocolHeartBeatStatue)(int s32Handle, int s32On);
    int (*CommandProtocolReset)(int s32Handle);
    int (*CommandProtocolBackupCMDLongerToProgress)(int s32Handle, const _CmdProtocolParam *pstRec);
    int (*CommandProtocolGetCMDLongerToProgress)(int s32Handle, _CmdProtocolParam *pstDest);
};

// ---------------------------------------------------------------------------
// Operations

/// Diagnostic level: red error lines at >= 1, yellow traces at >= 2, cyan
/// information at >= 3. Initially 5. Set it before instances are opened.
extern int32_t elogLev;

/// CRC-16/XMODEM of s32Count bytes, continuing from u16Crc; s32Count <= 0 returns u16Crc.
uint16_t CommandProtocolCrc16(uint16_t u16Crc, const uint8_t *pu8Bytes, int s32Count);

/// RC4 with key s32KeyIndex (0 or 1) of s32Len bytes from pu8In into pu8Out (a
/// separate buffer, not overlapping). Encryption and decryption are the same.
/// Returns 0; for a key index of 2 or more copies the bytes unchanged, reports
/// "keyIndex error" and returns -1.
int Arc4DecryptEncrypt(const uint8_t *pu8In, uint8_t *pu8Out, int s32Len, int s32KeyIndex);

/// The check value of a record as it stands: CRC-16/XMODEM from 0 over
/// bytes 6..16 (len 0..4), or over bytes 6..12 followed by the len payload
/// bytes. A frame is sound when this equals its crc field, computed on the
/// bytes as they travelled (before deciphering). A long record's payload
/// must hold len bytes.
uint16_t CommandProtocolFrameCrc(const _CmdProtocolParam *pstRec);
/// Enciphers or deciphers, in place, the area that flags bit 7 covers, with the
/// record's key index: bytes 9..16 of a short frame (param1, param2, cmd,
/// data), the payload of a long one. Returns Arc4DecryptEncrypt's result: 0,
/// or -1 for a key index of 2 or more (the bytes are then left as they were)
/// or a long record without its payload.
int CommandProtocolFrameCipher(_CmdProtocolParam *pstRec);

/// The protocol clock: CLOCK_MONOTONIC in milliseconds, 32 bits, wrapping.
/// Compare values only by unsigned difference.
uint32_t CommandProtocolClockMs();

/// Initialises the instance table's mutex; 0 (also when done before) or -1.
/// Must be called before any open.
int CommandProtocolMutexInit();

/// Opens an instance named pszName (the first five characters are kept) with the
/// application's Write, Read and DataProcessing taken from pstFun; completes
/// pstFun with the other eleven operations and starts the instance's detached
/// engine thread. s32Mode 1 selects fast mode. Returns the handle 0..9, or -1.
int CommandProtocolOpen(CmdProtocolFun *pstFun, const char *pszName, int s32Mode);

// Operations-table entries 3..13 (also callable directly).
int CommandInterfaceRead2(int s32Handle, const uint8_t *pu8Bytes, int s32Count);
int CommandProtocolConfirmCmdsent(int s32Handle, uint16_t u16Sn);
int CommandProtocolSendCmdAdd(int s32Handle, _CmdProtocolParam *pstRec, int s32Priority);
int CommandProtocolGetSendBufNum(int s32Handle);
int CommandProtocolSetParam(int s32Handle, uint8_t u8Encrypt, uint8_t u8KeyIndex, uint8_t u8Byte9,
                            uint8_t u8Byte10, uint8_t u8DebugFlags);
int CommandProtocolTransferFileSendStart(int s32Handle, uint32_t u32Tag, const char *pszLocalPath,
                                         const char *pszRemoteName);
int CommandProtocolTransferFileProgress(int s32Handle);
int CommandProtocolHeartBeatStatue(int s32Handle, int s32On);
int CommandProtocolReset(int s32Handle);
int CommandProtocolBackupCMDLongerToProgress(int s32Handle, const _CmdProtocolParam *pstRec);
int CommandProtocolGetCMDLongerToProgress(int s32Handle, _CmdProtocolParam *pstDest);

/// Waits until the instance's queue holds no frame other than heartbeats:
/// up to s32TimeMs / 30 + 1 polls, 30 ms apart. 0 when empty, -1 on time-out.
int CommandProtocolWaitSendBufEmpty(int s32Handle, int s32TimeMs);

/// The engine loop of one instance (its argument is the instance). Start routine
/// of the detached engine thread. Ends the calling thread when the instance stops.
void *CommandProtocolRecvSend_thread_Handler(void *pArg);

/// True when the handle names an open instance. Prints nothing.
bool CommandProtocolIsOpen(int s32Handle);
/// The name printed where an instance name stands when there is no instance.
constexpr const char *CMD_INVALID_NAME = "invalid";

/// Clears the running bit of an instance: its engine loop ends after its current
/// pass. Invalid handles are ignored. Used by the application binding.
void CommandProtocolStop(int s32Handle);

/// Blocks until the engine loop of the instance has ended. -2 for an invalid handle.
int CommandProtocolWaitEngineEnd(int s32Handle);
