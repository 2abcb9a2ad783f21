// Shared by the fuzz targets and the seed-corpus generator: the input reader,
// the op codes of the targets' input formats, the fake clock and pause, the
// confined working folder, frame sealing and the reset of a protocol
// instance between inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol_internal.h"

using FuzzBytes = std::vector<uint8_t>;

/// Stops the run with a message when a harness invariant does not hold;
/// libFuzzer keeps the input that did it as a crash artefact.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            FuzzFail(__FILE__, __LINE__, #cond);                                                   \
        }                                                                                          \
    } while (0)
[[noreturn]] void FuzzFail(const char *pszFile, int s32Line, const char *pszWhat);

/// Reads an input front to back. Past its end every read gives zeros (and
/// Take gives fewer bytes), so any byte string is a valid input.
class FuzzReader {
public:
    FuzzReader(const uint8_t *pu8Data, size_t u32Size) : m_pu8Data(pu8Data), m_u32Size(u32Size) {}
    bool Empty() const { return m_u32Pos >= m_u32Size; }
    size_t Left() const { return Empty() ? 0 : m_u32Size - m_u32Pos; }
    uint8_t U8();
    /// Two bytes, low byte first.
    uint16_t U16();
    /// Up to u32Max bytes (fewer at the end of the input).
    FuzzBytes Take(size_t u32Max);

private:
    const uint8_t *m_pu8Data;
    size_t m_u32Size;
    size_t m_u32Pos = 0;
};

/// Appends input bytes in the readers' format (the generator's side).
class FuzzWriter {
public:
    FuzzWriter &U8(uint8_t u8Value);
    FuzzWriter &U16(uint16_t u16Value);
    FuzzWriter &Bytes(const FuzzBytes &bytes);
    const FuzzBytes &Data() const { return m_bytes; }

private:
    FuzzBytes m_bytes;
};

// ---------------------------------------------------------------------------
// Input formats

// fuzz_link_bytes: a mode byte, then ops until the input ends.
enum FuzzLinkMode : uint8_t {
    FUZZ_LINK_ENCRYPT = 0x01,   // this side enciphers what it queues ...
    FUZZ_LINK_KEY1 = 0x02,      // ... with key 1 (else key 0)
    FUZZ_LINK_FAST = 0x04,      // fast mode
    FUZZ_LINK_HEARTBEAT = 0x08, // heartbeats and link supervision on
    FUZZ_LINK_TRACE = 0x10,     // debugFlags bits 0..2: every trace line
    FUZZ_LINK_VERBOSE = 0x80,   // diagnostics on (elogLev 5), else off (0)
};
enum FuzzLinkOp : uint8_t {
    FUZZ_LINK_OP_BYTES = 0,    // u16 count, bytes: from the peer, through CommandInterfaceRead2
    FUZZ_LINK_OP_PASSES = 1,   // u8 n: n % 32 + 1 engine passes
    FUZZ_LINK_OP_CLOCK = 2,    // u16 ms: the clock moves on
    FUZZ_LINK_OP_SEND = 3,     // u16 cmd, u8 priority, u16 len, bytes: the application sends
    FUZZ_LINK_OP_LOOPBACK = 4, // what this side wrote comes back to it as peer bytes
    FUZZ_LINK_OP_SEALED = 5,   // sealed frame (FuzzWriteSealed), from the peer
    FUZZ_LINK_OP_MODE = 6,     // u8 mode: parameters as the mode byte says
    FUZZ_LINK_OP_RESET = 7,    // CommandProtocolReset
    FUZZ_LINK_OP_QUERY = 8,    // u16 sn: the queue queries, progress, the deferred store
    FUZZ_LINK_OP_FILE = 9,     // u16 len, bytes: a file send begins (start frame answered)
    FUZZ_LINK_OP_COUNT = 10,
};

// fuzz_file_recv: a mode byte, then frames until the input ends.
enum FuzzFileMode : uint8_t {
    FUZZ_FILE_ENCRYPT = 0x01, // frames come enciphered (key as FUZZ_FILE_KEY1 says)
    FUZZ_FILE_KEY1 = 0x02,
    FUZZ_FILE_TRACE = 0x04, // file trace lines on (debugFlags bit 1)
    FUZZ_FILE_VERBOSE = 0x80,
};
enum FuzzFileOp : uint8_t {
    FUZZ_FILE_OP_START = 0,  // u16 sn, u8 len (start frame length, 80 when 0), record bytes
    FUZZ_FILE_OP_CHUNK = 1,  // u16 sn, u16 index, u16 len (% 513), bytes
    FUZZ_FILE_OP_END = 2,    // u16 sn: the end marker
    FUZZ_FILE_OP_REPORT = 3, // u16 sn, u8 code byte 0
    FUZZ_FILE_OP_READY = 4,  // u16 sn: CMD_UPDATE_SW_READY_UPDATE
    FUZZ_FILE_OP_OTHER = 5,  // sealed frame (FuzzWriteSealed), any command
    FUZZ_FILE_OP_ACKALL = 6, // the peer acknowledges everything this side queued
    FUZZ_FILE_OP_COUNT = 7,
};

// fuzz_update_handler: a mode byte, then records until the input ends.
enum FuzzUpdateMode : uint8_t {
    FUZZ_UPDATE_FIRST_RUN = 0x01, // the update thread's first state-handler run comes first
    FUZZ_UPDATE_BINDING = 0x02,   // records go through the binding's data callback
};
// Record: u8 selector (0..8: command 0x600 + selector; otherwise a u16 command
// follows), u16 len (& 0x3FF), then the 4 data-field bytes when len <= 4, or
// the len payload bytes.
constexpr uint8_t FUZZ_UPDATE_RAW_CMD = 9;

/// Writes a sealed-frame op body: u8 flags, u16 sn, u8 param1, u8 param2,
/// u16 cmd, u16 len (% 513), then the data field (4 bytes) or the payload.
void FuzzWriteSealed(FuzzWriter &objOut, uint8_t u8Flags, uint16_t u16Sn, uint8_t u8Param1,
                     uint8_t u8Param2, uint16_t u16Cmd, const FuzzBytes &payload);
/// Reads a sealed-frame op body and returns the frame's wire bytes: the
/// project's cipher (flags bit 7) and CRC applied, as a peer would send it.
FuzzBytes FuzzReadSealed(FuzzReader &objIn);
/// The wire bytes of a frame with the given fields, enciphered and sealed
/// by the protocol's own frame functions.
FuzzBytes FuzzSealFrame(uint8_t u8Flags, uint16_t u16Sn, uint8_t u8Param1, uint8_t u8Param2,
                        uint16_t u16Cmd, const FuzzBytes &payload);

// ---------------------------------------------------------------------------
// Time

/// The protocol clock while fuzzing: it moves only when the harness says.
extern uint32_t g_u32FuzzNow;
uint32_t FuzzClock();
/// The protocol's pauses while fuzzing: the clock moves on, nothing sleeps.
void FuzzPause(uint32_t u32Us);
/// Installs both seams.
void FuzzUseFakeTime();

// ---------------------------------------------------------------------------
// Process set-up

/// Standard output goes to /dev/null (diagnostics and console lines would
/// only slow the run), unless IRUPDATE_FUZZ_VERBOSE is set.
void FuzzQuietStdout();

/// A private working folder: <base>/outer/work, where base comes from mkdtemp
/// under $TMPDIR (or /tmp). The process works in it; the two levels above it
/// hold nothing else, so an escape by "../" shows. Removed at exit.
class FuzzWorkDir {
public:
    /// Creates the folders and changes into work; stops the run on failure.
    void Enter();
    /// Removes every entry of the working folder, except those named in keep.
    void Empty(const std::vector<std::string> &vecKeep = {});
    /// Checks that the two levels above hold only the folder below them, and
    /// that the working folder holds only regular files (and the kept names).
    void CheckConfined();
    /// Names of the entries of the working folder.
    std::vector<std::string> Entries();
    const std::string &Base() const { return m_strBase; }

private:
    std::string m_strBase;
    std::string m_strWork;
};

// ---------------------------------------------------------------------------
// Protocol instances

/// Releases everything a record owns (stored and queued payloads, the
/// reassembly buffer, the deferred store's copies, an open receive file) and
/// makes it a freshly opened record again with pstFun's callbacks, name
/// "fuzz" and the given mode (1 fast). The record must have no engine loop.
void FuzzResetInstance(CmdProtocolInstance *pstInst, const CmdProtocolFun *pstFun, int s32Mode);

/// Opens an instance in the table with pstFun (completed by the open), stops
/// its engine and waits until the loop has ended, so that the caller drives
/// the record itself. Returns the handle; stops the run on failure.
int FuzzOpenStoppedInstance(CmdProtocolFun *pstFun, const char *pszName);
