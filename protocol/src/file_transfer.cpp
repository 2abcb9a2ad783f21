// File transfer: one file out and one file in per instance, each announced by a
// start frame carrying the 80-byte file-information record, moved as numbered
// 512-byte chunks that the send queue repeats until acknowledged, closed by an
// end marker (index 0x7FFF) and judged by the receiver, which reports 2 when
// size and CRC match and 0 (start again) otherwise.
//
// Threads. The sending side is started on an application thread
// (CommandProtocolTransferFileSendStart) and driven by the engine loop (the
// file-send step and the report handler); every read and write of its record
// (fileInfo, remoteFileName, fileAnnounced), of cipherParam and every change
// of fileSendState happen under g_objSendBufMutex. The receiving side runs in
// the engine's frame step only; its record is written under the same lock
// because the progress query reads it from other threads.
//
// The peer is not trusted: the name it announces must be a plain file name in
// the working directory, and nothing it sends makes the receiver write outside
// the announced file or touch a stream that is closed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "file_transfer.h"
#include "receiver.h"
#include "send_queue.h"
#include "runtime/mutex.h"

namespace {

// Report codes.
constexpr unsigned int FILE_REPORT_FAILED = 0;
constexpr unsigned int FILE_REPORT_VERIFIED = 2;

constexpr size_t FILE_NAME_FIELD = sizeof(CmdProtocolFileInfo::fileName);
// Chunk indexes run from 0 to 0x7FFE: 0x7FFF is the end marker.
constexpr uint32_t FILE_MAX_PACKETS = CMD_FILE_END_INDEX;
// The start frame's wait for the queue, twice (about 330 ms each).
constexpr int FILE_START_WAIT_MS = 300;

bool FileTrace(const CmdProtocolInstance *pstInst) {
    return (pstInst->debugFlags.load() & CMD_DEBUG_FILE) != 0;
}

const char *TextOrEmpty(const char *pszText) {
    return pszText != nullptr ? pszText : "";
}

/// Copies a NUL-terminated text into a 64-byte name field, clearing it first.
/// The caller has checked that the text fits with its terminator.
void SetNameField(char *pszField, const char *pszText) {
    memset(pszField, 0, FILE_NAME_FIELD);
    memcpy(pszField, pszText, strnlen(pszText, FILE_NAME_FIELD - 1));
}

/// A name under which the receiver may create a file: terminated within its
/// field, not empty, not "." or "..", and without '/', so that it can only
/// name an entry of the working directory.
bool IsPlainFileName(const char *pszField) {
    if (memchr(pszField, '\0', FILE_NAME_FIELD) == nullptr || pszField[0] == '\0') {
        return false;
    }
    if (strchr(pszField, '/') != nullptr) {
        return false;
    }
    return strcmp(pszField, ".") != 0 && strcmp(pszField, "..") != 0;
}

/// Creates (or truncates) a plain file of the working directory for writing
/// and reading, as fopen's "w+" would, but never through a symbolic link and
/// only as a regular file: the tool runs as root, and the name comes from the
/// peer. Null when that is not possible.
FILE *CreateReceiveFile(const char *pszName) {
    // O_NONBLOCK keeps the open of a FIFO or device from hanging; such a file
    // is refused just below.
    int s32Fd =
        open(pszName, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (s32Fd < 0) {
        return nullptr;
    }
    struct stat stStat;
    if (fstat(s32Fd, &stStat) != 0 || !S_ISREG(stStat.st_mode)) {
        close(s32Fd);
        return nullptr;
    }
    int s32Flags = fcntl(s32Fd, F_GETFL);
    if (s32Flags >= 0) {
        fcntl(s32Fd, F_SETFL, s32Flags & ~O_NONBLOCK);
    }
    FILE *pstFile = fdopen(s32Fd, "w+");
    if (pstFile == nullptr) {
        close(s32Fd);
    }
    return pstFile;
}

/// Closes the stream of the file being received, if one is open.
void CloseReceiveFile(CmdProtocolInstance *pstInst) {
    if (pstInst->fileHandle != nullptr) {
        // Data lost in the flush or the close shows in the size and CRC check
        // that follows the last chunk, which measures the file as stored.
        (void)fflush(pstInst->fileHandle);
        (void)fclose(pstInst->fileHandle);
        pstInst->fileHandle = nullptr;
    }
}

/// Asks for the repeat history to be emptied because a transfer starts. The
/// history belongs to the engine loop, and a start may be queued from an
/// application thread: the loop carries it out at its next file step.
void ClearHistoryForTransfer(CmdProtocolInstance *pstInst) {
    pstInst->fileHistoryClearPending.store(true);
}

/// The four code bytes of a report frame, little-endian.
unsigned int ReportCode(const _CmdProtocolParam *pstSlot) {
    const uint8_t *pu8Data = pstSlot->data;
    if (pstSlot->len > CMD_FRAME_SHORT_MAX) {
        if (pstSlot->payload == nullptr) {
            return 0;
        }
        pu8Data = pstSlot->payload;
    }
    return static_cast<unsigned int>(pu8Data[0]) | static_cast<unsigned int>(pu8Data[1]) << 8 |
           static_cast<unsigned int>(pu8Data[2]) << 16 |
           static_cast<unsigned int>(pu8Data[3]) << 24;
}

void Deliver(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    if (pstInst->fun.DataProcessing != nullptr) {
        pstInst->fun.DataProcessing(pstSlot);
    }
}

/// Removes the start frames still queued (a send start that gives up takes
/// its announcement back). Under the send lock.
void RemoveQueuedStartFrames(CmdProtocolInstance *pstInst) {
    for (const _CmdProtocolParam &stSlot : pstInst->sendSlots) {
        if (CmdSlotInUse(stSlot) && stSlot.cmd == CMD_UPDATE_SW_SEND_FILE_START) {
            CommandProtocolRemoveSendBufHeld(pstInst, stSlot.sn, 0);
        }
    }
}

/// Ends a failed send start: back to idle, nothing announced left behind.
/// Only while the state is still the start's own (a report may have taken the
/// send over meanwhile).
void AbandonSendStart(CmdProtocolInstance *pstInst) {
    CMutexLock objLock(g_objSendBufMutex);
    if (pstInst->fileSendState.load() != FILE_SEND_STARTING) {
        return;
    }
    RemoveQueuedStartFrames(pstInst);
    pstInst->fileAnnounced = false;
    pstInst->fileSendState.store(FILE_SEND_IDLE);
}

/// Receiver-side failure of a transfer: the stream is closed, the receiver
/// waits for the next start frame, and the peer is told to start again. The
/// frame is recorded and not acknowledged (the caller drops it).
void FailReceive(CmdProtocolInstance *pstInst, uint16_t u16Sn) {
    CloseReceiveFile(pstInst);
    pstInst->fileRecvState.store(FILE_RECV_FAILED);
    CommandProtocolTransferFileReportCmd(pstInst, FILE_REPORT_FAILED);
    CommandProtocolRecordSn(pstInst, u16Sn);
}

} // namespace

// ---------------------------------------------------------------------------
// The file-information record

/// Measures a file: packets, length and CRC-16/XMODEM of its content go into
/// pstInfo (tag and fileName are left alone). The file is opened "rb+", so it
/// must be readable and writable. Returns 0, or -1 with an error line when it
/// cannot be opened (or its size does not fit the record's 32 bits). Any thread.
int CommandProtocolTransferCheckFileInfo(const char *pszPath, CmdProtocolFileInfo *pstInfo) {
    FILE *pstFile = (pszPath != nullptr && pstInfo != nullptr) ? fopen(pszPath, "rb+") : nullptr;
    if (pstFile == nullptr) {
        CMD_ERROR("open error [%s]", TextOrEmpty(pszPath));
        return CMD_RESULT_FAIL;
    }
    long s64Size = -1;
    if (fseek(pstFile, 0, SEEK_END) == 0) {
        s64Size = ftell(pstFile);
    }
    if (s64Size < 0 || static_cast<uint64_t>(s64Size) > UINT32_MAX) {
        (void)fclose(pstFile); // only read from: closing cannot lose anything
        CMD_ERROR("open error [%s]", pszPath);
        return CMD_RESULT_FAIL;
    }
    uint32_t u32Length = static_cast<uint32_t>(s64Size);
    uint32_t u32Crc = 0;
    if (u32Length > 0) {
        // The CRC runs over the 512-byte blocks in order, each continuing from the last.
        uint8_t au8Block[CMD_FILE_CHUNK];
        rewind(pstFile);
        uint32_t u32Left = u32Length;
        while (u32Left > 0) {
            size_t szWant = u32Left < sizeof(au8Block) ? u32Left : sizeof(au8Block);
            size_t szGot = fread(au8Block, 1, szWant, pstFile);
            u32Crc = CommandProtocolCrc16(static_cast<uint16_t>(u32Crc), au8Block,
                                          static_cast<int>(szGot));
            if (szGot < szWant) {
                break; // shrunk while being read: the CRC covers what was there
            }
            u32Left -= static_cast<uint32_t>(szGot);
        }
    }
    (void)fclose(pstFile); // only read from: closing cannot lose anything
    pstInfo->length = u32Length;
    pstInfo->packets = u32Length / CMD_FILE_CHUNK + (u32Length % CMD_FILE_CHUNK != 0 ? 1 : 0);
    pstInfo->crc = u32Crc;
    return CMD_RESULT_OK;
}

// ---------------------------------------------------------------------------
// Sending

/// Queues the start frame: fileInfo with its fileName replaced by
/// remoteFileName, with priority. On success the chunk counter and cipherParam
/// are 0, fileSendState is 1, the start counts as announced (a report 0 may
/// restart it) and the engine loop is asked to empty its repeat history at
/// its next file step. Returns 0, or -1 with an error line when no send slot
/// is free. Any thread; takes the send lock.
int CommandProtocolTransferFileStartCmd(CmdProtocolInstance *pstInst) {
    CMutexLock objLock(g_objSendBufMutex);
    return CommandProtocolTransferFileStartCmdHeld(pstInst);
}

int CommandProtocolTransferFileStartCmdHeld(CmdProtocolInstance *pstInst) {
    constexpr const char *OP = "CommandProtocolTransferFileStartCmd";
    // The payload buffer holds the record itself, as it travels.
    auto *pstAnnounced = static_cast<CmdProtocolFileInfo *>(malloc(sizeof(CmdProtocolFileInfo)));
    if (pstAnnounced == nullptr) {
        CMD_ERROR_IN(OP, "error [%s][%s]", pstInst->name, pstInst->fileInfo.fileName);
        return CMD_RESULT_FAIL;
    }
    *pstAnnounced = pstInst->fileInfo;
    memcpy(pstAnnounced->fileName, pstInst->remoteFileName, FILE_NAME_FIELD);
    uint8_t *pu8Payload = reinterpret_cast<uint8_t *>(pstAnnounced);

    _CmdProtocolParam stRec{};
    stRec.cmd = CMD_UPDATE_SW_SEND_FILE_START;
    stRec.len = sizeof(CmdProtocolFileInfo);
    stRec.payload = pu8Payload;
    if (CommandProtocolSendCmdAddsubHeld(pstInst, &stRec, 1) < 0) {
        free(pu8Payload); // not queued: still ours
        CMD_ERROR_IN(OP, "error [%s][%s]", pstInst->name, pstInst->fileInfo.fileName);
        return CMD_RESULT_FAIL;
    }
    pstInst->filePacketIndex.store(0);
    pstInst->cipherParam = 0;
    pstInst->fileSendState.store(FILE_SEND_STARTING);
    pstInst->fileAnnounced = true;
    if (FileTrace(pstInst)) {
        CMD_INFO_IN(OP, "==>[%s]%s len=[%ld]   Packets=%ld,crc=%ld", pstInst->name,
                    pstInst->fileInfo.fileName, static_cast<long>(pstInst->fileInfo.length),
                    static_cast<long>(pstInst->fileInfo.packets),
                    static_cast<long>(pstInst->fileInfo.crc));
    }
    ClearHistoryForTransfer(pstInst);
    return CMD_RESULT_OK;
}

namespace {

constexpr const char *OP_SEND_START = "CommandProtocolTransferFileSendStart";

/// Claim step of a send start: both names fit their 64-byte fields (the
/// engine reads the chunks from the path kept in fileInfo.fileName and the peer
/// gets the name from a field of the same size: longer texts would be cut into
/// other names), and no other send runs (a second start would mix its chunks
/// into the first). On success the state is 1 and remoteFileName is set.
bool SendStartClaim(CmdProtocolInstance *pstInst, const char *pszLocal, const char *pszRemote) {
    if (strlen(pszLocal) >= FILE_NAME_FIELD) {
        CMD_ERROR_IN(OP_SEND_START, "open [%s] [%s]", pstInst->name, pszLocal);
        return false;
    }
    if (strlen(pszRemote) >= FILE_NAME_FIELD) {
        CMD_ERROR_IN(OP_SEND_START, "error [%s] [%s][%s]", pstInst->name, pszLocal, pszRemote);
        return false;
    }
    CMutexLock objLock(g_objSendBufMutex);
    uint8_t u8State = pstInst->fileSendState.load();
    if (u8State != FILE_SEND_IDLE && u8State != FILE_SEND_DONE) {
        CMD_ERROR_IN(OP_SEND_START, "error [%s] [%s][%s]", pstInst->name, pszLocal, pszRemote);
        return false;
    }
    pstInst->fileSendState.store(FILE_SEND_STARTING);
    SetNameField(pstInst->remoteFileName, pszRemote);
    return true;
}

/// Announce step: measures the file, fills fileInfo and queues the start
/// frame. On failure the sending side is idle again, nothing announced.
bool SendStartAnnounce(CmdProtocolInstance *pstInst, uint32_t u32Tag, const char *pszLocal,
                       const char *pszRemote) {
    CmdProtocolFileInfo stInfo{};
    if (CommandProtocolTransferCheckFileInfo(pszLocal, &stInfo) != 0 ||
        stInfo.packets > FILE_MAX_PACKETS) {
        CMD_ERROR_IN(OP_SEND_START, "open [%s] [%s]", pstInst->name, pszLocal);
        CMutexLock objLock(g_objSendBufMutex);
        pstInst->fileSendState.store(FILE_SEND_IDLE);
        return false;
    }
    CMutexLock objLock(g_objSendBufMutex);
    pstInst->fileInfo.packets = stInfo.packets;
    pstInst->fileInfo.length = stInfo.length;
    pstInst->fileInfo.crc = stInfo.crc;
    SetNameField(pstInst->fileInfo.fileName, pszRemote);
    pstInst->fileInfo.tag = u32Tag;
    if (CommandProtocolTransferFileStartCmdHeld(pstInst) != 0) {
        CMD_ERROR_IN(OP_SEND_START, "error [%s] [%s][%s]", pstInst->name, pszLocal, pszRemote);
        pstInst->fileAnnounced = false; // the record just written was never announced
        pstInst->fileSendState.store(FILE_SEND_IDLE);
        return false;
    }
    return true;
}

} // namespace

/// Operations-table entry 8: sends the file at pszLocalPath to the peer, which
/// creates it as pszRemoteName. Queues the start frame and waits (twice about
/// 330 ms) for the peer to acknowledge it; the engine then sends the chunks.
/// Returns 0 when sending has begun, -1 otherwise (invalid handle, a send
/// already running, a name that does not fit its 64-byte field, a file that
/// cannot be opened or has more than 32767 chunks, no slot, no answer). A
/// failed start leaves the sending side idle. Application thread; blocks up
/// to about 660 ms.
int CommandProtocolTransferFileSendStart(int s32Handle, uint32_t u32Tag, const char *pszLocalPath,
                                         const char *pszRemoteName) {
    const char *pszLocal = TextOrEmpty(pszLocalPath);
    const char *pszRemote = TextOrEmpty(pszRemoteName);
    CmdProtocolInstance *pstInst = CommandProtocolLookup(s32Handle);
    if (pstInst == nullptr) {
        CMD_ERROR("error [%s] [%s][%s]", CMD_INVALID_NAME, pszLocal, pszRemote);
        return CMD_RESULT_FAIL;
    }
    if (!SendStartClaim(pstInst, pszLocal, pszRemote) ||
        !SendStartAnnounce(pstInst, u32Tag, pszLocal, pszRemote)) {
        return CMD_RESULT_FAIL;
    }

    // Time for the peer to acknowledge the start frame.
    CommandProtocolWaitSendBufEmpty(s32Handle, FILE_START_WAIT_MS);
    {
        // From here on the engine reads the chunks from this path.
        CMutexLock objLock(g_objSendBufMutex);
        SetNameField(pstInst->fileInfo.fileName, pszLocal);
    }
    if (CommandProtocolWaitSendBufEmpty(s32Handle, FILE_START_WAIT_MS) != 0) {
        CMD_ERROR("%s, %d.", pstInst->name, s32Handle);
        AbandonSendStart(pstInst);
        return CMD_RESULT_FAIL;
    }

    CMutexLock objLock(g_objSendBufMutex);
    // A report 0 during the waits re-queued the start frame and left the
    // state at 1 for us; any other state means the send has moved on already.
    if (pstInst->fileSendState.load() == FILE_SEND_STARTING) {
        pstInst->filePacketIndex.store(0);
        pstInst->cipherParam = 0;
        pstInst->fileSendState.store(FILE_SEND_CHUNKS);
    }
    if (FileTrace(pstInst)) {
        CMD_INFO("==>[%s]%s len=[%ld]   Packets=%ld,crc=%ld", pstInst->name, pszLocal,
                 static_cast<long>(pstInst->fileInfo.length),
                 static_cast<long>(pstInst->fileInfo.packets),
                 static_cast<long>(pstInst->fileInfo.crc));
    }
    return CMD_RESULT_OK;
}

namespace {

constexpr const char *OP_FILE_SEND = "CommandProtocolTransferFileSend";

/// End step of a file send (state 3): once all ten slots are free (every chunk
/// acknowledged), state 4 and the end marker is queued. The caller holds the
/// send lock.
void SendFileEndHeld(CmdProtocolInstance *pstInst) {
    if (CommandProtocolFreeSendSlotsHeld(pstInst) != CMD_SLOT_COUNT) {
        return;
    }
    // State 4 first: it makes the queue stamp the end index 0x7FFF.
    pstInst->fileSendState.store(FILE_SEND_DONE);
    _CmdProtocolParam stEnd{};
    stEnd.cmd = CMD_UPDATE_SW_SEND_FILE;
    stEnd.len = 4;
    CommandProtocolSendCmdAddsubHeld(pstInst, &stEnd, 0);
    if (FileTrace(pstInst)) {
        CMD_INFO_IN(OP_FILE_SEND, "==>[%s] SendFileFinish", pstInst->name);
    }
}

/// Read step: u16Len bytes at u32Offset of the file named in fileInfo.fileName
/// into a chunk record (data field or a payload buffer of its own). False,
/// with an error line and nothing held, when the file cannot be opened or is
/// shorter than announced (sending something else would only fail the
/// receiver's check) or memory ran out. The caller holds the send lock.
bool ReadFileChunkHeld(const CmdProtocolInstance *pstInst, uint32_t u32Offset, uint16_t u16Len,
                       _CmdProtocolParam *pstChunk) {
    const char *pszPath = pstInst->fileInfo.fileName;
    FILE *pstFile =
        memchr(pszPath, '\0', FILE_NAME_FIELD) != nullptr ? fopen(pszPath, "rb+") : nullptr;
    if (pstFile == nullptr) {
        CMD_ERROR_IN(OP_FILE_SEND, "%s [open error  %s]", pstInst->name, pszPath);
        return false;
    }
    pstChunk->cmd = CMD_UPDATE_SW_SEND_FILE;
    pstChunk->len = u16Len;
    uint8_t *pu8Data = pstChunk->data;
    if (u16Len > CMD_FRAME_SHORT_MAX) {
        pstChunk->payload = static_cast<uint8_t *>(malloc(u16Len));
        pu8Data = pstChunk->payload;
    }
    bool bRead = pu8Data != nullptr &&
                 fseek(pstFile, static_cast<long>(u32Offset), SEEK_SET) == 0 &&
                 fread(pu8Data, 1, u16Len, pstFile) == u16Len;
    (void)fclose(pstFile); // only read from: closing cannot lose anything
    if (!bRead) {
        free(pstChunk->payload);
        pstChunk->payload = nullptr;
        CMD_ERROR_IN(OP_FILE_SEND, "%s [open error  %s]", pstInst->name, pszPath);
    }
    return bRead;
}

} // namespace

/// Engine file-send step (idle pass with a free send slot). State 2: reads the
/// next chunk from fileInfo.fileName and queues it (the queue puts the chunk
/// index into bytes 9..10); after the last chunk the state is 3. A file that
/// cannot be opened or read is tried again at the next pass. State 3, once all
/// ten slots are free (every chunk acknowledged): state 4 and the end marker
/// is queued. Engine thread; holds the send lock for the step.
void CommandProtocolTransferFileSend(CmdProtocolInstance *pstInst) {
    CommandProtocolApplyHistoryClear(pstInst);
    CMutexLock objLock(g_objSendBufMutex);
    uint8_t u8State = pstInst->fileSendState.load();
    if (u8State == FILE_SEND_LAST) {
        SendFileEndHeld(pstInst);
        return;
    }
    if (u8State != FILE_SEND_CHUNKS) {
        return;
    }
    const uint32_t u32Length = pstInst->fileInfo.length;
    const uint16_t u16Index = pstInst->filePacketIndex.load();
    const uint32_t u32Offset = static_cast<uint32_t>(u16Index) * CMD_FILE_CHUNK;
    if (u32Offset > u32Length) {
        // Nothing left to read at this index; the record says the file has ended.
        pstInst->fileSendState.store(FILE_SEND_LAST);
        return;
    }
    const bool bLast = u32Offset + CMD_FILE_CHUNK >= u32Length;
    const uint16_t u16ChunkLen = static_cast<uint16_t>(
        bLast ? u32Length - u32Offset : static_cast<uint32_t>(CMD_FILE_CHUNK));
    _CmdProtocolParam stChunk{};
    if (!ReadFileChunkHeld(pstInst, u32Offset, u16ChunkLen, &stChunk)) {
        return; // tried again at the next pass
    }
    int s32Sn = CommandProtocolSendCmdAddsubHeld(pstInst, &stChunk, 0);
    if (s32Sn < 0) {
        free(stChunk.payload); // the same chunk is tried at the next pass
        return;
    }
    pstInst->filePacketIndex.store(static_cast<uint16_t>(u16Index + 1));
    if (FileTrace(pstInst)) {
        CMD_INFO("==>Send addr=0x%x len=0x%x[%ld,%d] SN=%d", u32Offset, u16ChunkLen,
                 static_cast<long>(pstInst->fileInfo.packets), u16Index + 1, s32Sn);
    }
    if (bLast) {
        pstInst->fileSendState.store(FILE_SEND_LAST);
    }
}

/// Queues a report frame (0x0304, the code little-endian in the 4 data bytes)
/// with priority. 0, or -1 with an error line when no slot is free. Any thread.
int CommandProtocolTransferFileReportCmd(CmdProtocolInstance *pstInst, unsigned int u32Code) {
    CMD_INFO("%s %d", pstInst->name, static_cast<int>(u32Code));
    _CmdProtocolParam stRec{};
    stRec.cmd = CMD_UPDATE_SW_REPORT_FILE;
    stRec.len = 4;
    stRec.data[0] = static_cast<uint8_t>(u32Code);
    stRec.data[1] = static_cast<uint8_t>(u32Code >> 8);
    stRec.data[2] = static_cast<uint8_t>(u32Code >> 16);
    stRec.data[3] = static_cast<uint8_t>(u32Code >> 24);
    if (CommandProtocolSendCmdAddsub(pstInst, &stRec, 1) < 0) {
        CMD_ERROR("%s", pstInst->name);
        return CMD_RESULT_FAIL;
    }
    return CMD_RESULT_OK;
}

/// Operations-table entry 9: percentage of the transfer, 0..100, or -1 (with
/// the invalid-handle line) for an invalid handle. While sending it stays at 99 or below until the
/// end marker is queued; reading 100 after that ends the send (application frames pass again).
/// While receiving it stays at 99 or below until the file verified. Any thread.
int CommandProtocolTransferFileProgress(int s32Handle) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_FAIL;
    }
    CMutexLock objLock(g_objSendBufMutex);
    uint8_t u8Send = pstInst->fileSendState.load();
    uint8_t u8Recv = pstInst->fileRecvState.load();
    // The side that is busy is measured; the sending side when both or neither are.
    uint32_t u32Done = pstInst->filePacketIndex.load();
    uint32_t u32Packets = pstInst->fileInfo.packets;
    if (u8Send == FILE_SEND_IDLE && u8Recv != FILE_RECV_IDLE) {
        u32Done = pstInst->fileRecvPacketIndex.load();
        u32Packets = pstInst->fileRecvInfo.packets;
    }
    int s32Percent = 0;
    if (u32Packets != 0) {
        uint64_t u64Percent = 100ULL * u32Done / u32Packets;
        // More chunks than announced (a peer's doing) still reads as at most 100.
        s32Percent = u64Percent > 100 ? 100 : static_cast<int>(u64Percent);
    }
    if (u8Send == FILE_SEND_STARTING || u8Send == FILE_SEND_CHUNKS || u8Send == FILE_SEND_LAST) {
        s32Percent = s32Percent > 99 ? 99 : s32Percent;
    } else if (u8Send == FILE_SEND_DONE) {
        s32Percent = 100;
        pstInst->fileSendState.store(FILE_SEND_IDLE);
    }
    // The receiving side speaks only while no send runs: a file received
    // earlier stays verified until the next start frame, and must not make a
    // later send read 100 before its end marker is queued.
    if (u8Send == FILE_SEND_IDLE) {
        if (u8Recv == FILE_RECV_WRITING) {
            s32Percent = s32Percent > 99 ? 99 : s32Percent;
        } else if (u8Recv == FILE_RECV_VERIFIED) {
            s32Percent = 100;
        }
    }
    return s32Percent;
}

/// Report received (0x0304, not a repeat). Code 0 restarts the whole file
/// from a fresh start frame, with every queued frame dropped, but only when
/// this side has announced a file (a peer cannot make it send one otherwise);
/// other codes change nothing. Recorded and acknowledged. Engine thread.
void CommandProtocolTransferFileReport(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    if (ReportCode(pstSlot) == FILE_REPORT_FAILED) {
        CMutexLock objLock(g_objSendBufMutex);
        if (pstInst->fileAnnounced) {
            uint8_t u8Before = pstInst->fileSendState.load();
            CommandProtocolRemoveSendBufHeld(pstInst, 0, 1);
            // In state 1 a send start is waiting on an application thread; it
            // moves on to the chunks itself once the new start frame is answered.
            if (CommandProtocolTransferFileStartCmdHeld(pstInst) == 0 &&
                u8Before != FILE_SEND_STARTING) {
                pstInst->fileSendState.store(FILE_SEND_CHUNKS);
            }
            CommandProtocolApplyHistoryClear(pstInst); // we are the engine loop
        }
    }
    CommandProtocolRecordSn(pstInst, pstSlot->sn);
    CommandProtocolSendAck(pstInst, pstSlot);
}

// ---------------------------------------------------------------------------
// Receiving

/// Start frame received (0x0302, not a repeat). The announced record is taken
/// (a shorter payload is zero-filled), the file is created in the working
/// directory under the announced name, the receiver starts over (state 1,
/// history emptied), and the frame is recorded, delivered and acknowledged.
/// A name that is not a plain file name, or a file that cannot be created,
/// drops the frame unanswered (the peer repeats it). Engine thread.
void CommandProtocolTransferFileRecvStart(CmdProtocolInstance *pstInst,
                                          _CmdProtocolParam *pstSlot) {
    CmdProtocolFileInfo stInfo{};
    const uint8_t *pu8Payload = CmdParamPayload(pstSlot);
    size_t szCopy = pstSlot->len < sizeof(stInfo) ? pstSlot->len : sizeof(stInfo);
    if (pu8Payload != nullptr) {
        memcpy(&stInfo, pu8Payload, szCopy);
    }

    // A new start abandons whatever was being received.
    bool bWasWriting = pstInst->fileHandle != nullptr;
    CloseReceiveFile(pstInst);
    FILE *pstFile = nullptr;
    if (IsPlainFileName(stInfo.fileName)) {
        pstFile = CreateReceiveFile(stInfo.fileName);
        if (pstFile == nullptr) {
            pstFile = CreateReceiveFile(stInfo.fileName);
        }
    }
    if (pstFile == nullptr) {
        if (bWasWriting) {
            // The stream it was writing is closed: chunks must not be taken now.
            pstInst->fileRecvState.store(FILE_RECV_FAILED);
        }
        CommandProtocolFrameClear(pstSlot);
        CMD_ERROR("=open file=");
        return;
    }

    pstInst->fileHandle = pstFile;
    {
        CMutexLock objLock(g_objSendBufMutex);
        pstInst->fileRecvInfo = stInfo;
        pstInst->fileRecvPacketIndex.store(0);
        pstInst->cipherParam = 0;
    }
    pstInst->fileRecvState.store(FILE_RECV_WRITING);
    CommandProtocolClearHistory(pstInst);
    if (FileTrace(pstInst)) {
        CMD_INFO("==>Recv start [%s]", stInfo.fileName);
    }
    CommandProtocolRecordSn(pstInst, pstSlot->sn);
    Deliver(pstInst, pstSlot);
    CommandProtocolSendAck(pstInst, pstSlot);
}

namespace {

constexpr const char *OP_FILE_RECV = "CommandProtocolTransferFileRecv";

/// Write step: chunk u16Index goes to index x 512 of the open file and is
/// acknowledged; a chunk that would reach past the announced length (which
/// bounds what the peer may make us write) fails the transfer (report 0).
void RecvWriteChunk(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot, uint16_t u16Index) {
    const uint16_t u16Sn = pstSlot->sn;
    const uint32_t u32Offset = static_cast<uint32_t>(u16Index) * CMD_FILE_CHUNK;
    const uint16_t u16Len = pstSlot->len;
    const uint8_t *pu8Data = CmdParamPayload(pstSlot);
    if (u32Offset + u16Len > pstInst->fileRecvInfo.length || (u16Len > 0 && pu8Data == nullptr)) {
        CMD_ERROR_IN(OP_FILE_RECV, "%s addr=0x%x len=0x%x beyond [%ld]", pstInst->name, u32Offset,
                     u16Len, static_cast<long>(pstInst->fileRecvInfo.length));
        FailReceive(pstInst, u16Sn);
        return;
    }
    if (fseek(pstInst->fileHandle, static_cast<long>(u32Offset), SEEK_SET) == 0 && u16Len > 0) {
        // A failed write shows in the size or CRC check at the end.
        (void)fwrite(pu8Data, 1, u16Len, pstInst->fileHandle);
    }
    uint16_t u16Written = static_cast<uint16_t>(pstInst->fileRecvPacketIndex.load() + 1);
    pstInst->fileRecvPacketIndex.store(u16Written);
    if (FileTrace(pstInst)) {
        CMD_INFO_IN(OP_FILE_RECV, "==>Recv addr=0x%x len=0x%x[%ld,%d] SN=%d", u32Offset, u16Len,
                    static_cast<long>(pstInst->fileRecvInfo.packets), u16Written, u16Sn);
    }
    CommandProtocolRecordSn(pstInst, u16Sn);
    CommandProtocolSendAck(pstInst, pstSlot);
}

/// Verify step at the end marker: the file is closed and measured; size and
/// CRC as announced give state 3, report 2, delivery and acknowledgement;
/// otherwise report 0 without acknowledgement.
void RecvVerifyEnd(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    const uint16_t u16Sn = pstSlot->sn;
    pstInst->fileRecvState.store(FILE_RECV_VERIFYING);
    CloseReceiveFile(pstInst);
    CmdProtocolFileInfo stMeasured{};
    if (CommandProtocolTransferCheckFileInfo(pstInst->fileRecvInfo.fileName, &stMeasured) != 0) {
        CMD_ERROR_IN(OP_FILE_RECV, "open error [%s][%s]", pstInst->name,
                     pstInst->fileRecvInfo.fileName);
        CommandProtocolTransferFileReportCmd(pstInst, FILE_REPORT_FAILED);
        CommandProtocolRecordSn(pstInst, u16Sn);
        return;
    }
    const CmdProtocolFileInfo &stAnnounced = pstInst->fileRecvInfo;
    if (FileTrace(pstInst)) {
        CMD_INFO_IN(OP_FILE_RECV, "==> finish addr=%x SN=%d [%ld,%ld] [%ld,%ld]", 0, u16Sn,
                    static_cast<long>(stMeasured.length), static_cast<long>(stAnnounced.length),
                    static_cast<long>(stMeasured.crc), static_cast<long>(stAnnounced.crc));
    }
    if (stMeasured.length != stAnnounced.length || stMeasured.crc != stAnnounced.crc) {
        FailReceive(pstInst, u16Sn);
        return;
    }
    pstInst->fileRecvState.store(FILE_RECV_VERIFIED);
    CommandProtocolTransferFileReportCmd(pstInst, FILE_REPORT_VERIFIED);
    CommandProtocolRecordSn(pstInst, u16Sn);
    Deliver(pstInst, pstSlot);
    CommandProtocolSendAck(pstInst, pstSlot);
}

} // namespace

/// Chunk or end marker received (0x0303, not a repeat); the index is in bytes
/// 9..10, high byte first. Engine thread.
///
/// - Nothing announced (state 0): report 0, state 4; recorded, not acknowledged.
/// - Failed (4) or verification not possible (2): recorded, not acknowledged.
/// - Verified (3): the stream is closed and the file judged; acknowledged and ignored.
/// - Writing (1), chunk: written at index x 512 and acknowledged; a chunk that
///   would reach past the announced length fails the transfer (report 0).
/// - Writing (1), end marker: the file is closed and measured; size and CRC as
///   announced give state 3, report 2, delivery and acknowledgement; otherwise
///   report 0 without acknowledgement.
void CommandProtocolTransferFileRecv(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    const uint16_t u16Sn = pstSlot->sn;
    switch (pstInst->fileRecvState.load()) {
    case FILE_RECV_IDLE:
        pstInst->fileRecvState.store(FILE_RECV_FAILED);
        CommandProtocolTransferFileReportCmd(pstInst, FILE_REPORT_FAILED);
        CommandProtocolRecordSn(pstInst, u16Sn);
        return;
    case FILE_RECV_WRITING:
        break;
    case FILE_RECV_VERIFIED:
        // A late repeat of a file already complete: answered so the peer stops.
        CommandProtocolRecordSn(pstInst, u16Sn);
        CommandProtocolSendAck(pstInst, pstSlot);
        return;
    default: // failed, or waiting for a file that could not be checked
        CommandProtocolRecordSn(pstInst, u16Sn);
        return;
    }
    if (pstInst->fileHandle == nullptr) {
        FailReceive(pstInst, u16Sn);
        return;
    }
    const uint16_t u16Index = static_cast<uint16_t>(pstSlot->param1 << 8 | pstSlot->param2);
    if (u16Index != CMD_FILE_END_INDEX) {
        RecvWriteChunk(pstInst, pstSlot, u16Index);
    } else {
        RecvVerifyEnd(pstInst, pstSlot);
    }
}

/// CMD_UPDATE_SW_READY_UPDATE received (not a repeat): the receiving side goes
/// idle (a file still open is closed), and the frame is recorded, delivered
/// and acknowledged. Engine thread.
void CommandProtocolTransferReadyUpdate(CmdProtocolInstance *pstInst, _CmdProtocolParam *pstSlot) {
    CloseReceiveFile(pstInst);
    pstInst->fileRecvState.store(FILE_RECV_IDLE);
    CommandProtocolRecordSn(pstInst, pstSlot->sn);
    Deliver(pstInst, pstSlot);
    CommandProtocolSendAck(pstInst, pstSlot);
}
