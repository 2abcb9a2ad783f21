// The firmware update conversation with the IR microcontroller: the receive
// handler turns each command from the microcontroller into an update state,
// and the state handler acts on that state and sends the next command.
//
// Host                       Microcontroller
//   0x600 start       ->
//                     <-     0x602 ready (image selector)
//   0x604 chunk       ->
//                     <-     0x603 next          (repeated per chunk)
//   0x605 end record  ->
//                     <-     0x608 ok | 0x606 / 0x607 / other: failure, start over
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app_log_setup.h"
#include "ir_update.h"
#include "protocol/app_log.h"
#include "protocol/command_interface.h"
#include "runtime/mutex.h"

namespace {

// The two images the microcontroller may ask for, looked up in the working
// directory. Selector 2 names the first; every other value the second.
constexpr const char *IR_IMAGE_4000 = "ir_4000.bin";
constexpr const char *IR_IMAGE_A000 = "ir_A000.bin";
constexpr uint32_t IR_SELECTOR_4000 = 2;

// A chunk carries at most this many image bytes.
constexpr uint32_t IR_CHUNK_MAX = 64;
// A remainder of 1..4 bytes would travel as a short frame, which the
// microcontroller does not take as image data: it is padded to 8 with 0xFF.
constexpr uint32_t IR_CHUNK_PAD_BELOW = 5;
constexpr uint32_t IR_CHUNK_PAD_TO = 8;
constexpr uint8_t IR_CHUNK_PAD_BYTE = 0xFF;

// The third failure report ends the run.
constexpr uint32_t IR_FAIL_LIMIT = 3;

// What the log records tell about the current attempt, which begins with a
// start command and ends with a verdict. Touched with the sequence lock held.
uint16_t s_u16FailCode = 0;      // the failure report being acted on
uint64_t s_u64AttemptBytes = 0;  // image bytes read since the image was opened
bool s_bAttemptImageBad = false; // the image could not be opened or read

/// What a failure report says, for the log record.
const char *FailureMeaning(uint16_t u16Code) {
    switch (u16Code) {
    case IR_CMD_UPDATE_CHECK_FAIL:
        return "the microcontroller found the image's checksum wrong";
    case IR_CMD_UPDATE_MEM_FAIL:
        return "the microcontroller could not write the image to its memory";
    default:
        return "a command the update conversation does not expect at this point";
    }
}

/// Records the image just opened (descriptor fd) with its size, and starts
/// counting the bytes read from it.
void LogImageOpened(int fd) {
    s_u64AttemptBytes = 0;
    struct stat stInfo {};
    if (fstat(fd, &stInfo) != 0) {
        const CAppLogReason objWhy(errno);
        APP_LOG_INFO("image %s opened, size unknown: %s", g_cUpdateFilePath, objWhy.Text());
    } else if (stInfo.st_size == 0) {
        APP_LOG_WARNING("image %s is empty (0 bytes)", g_cUpdateFilePath);
    } else {
        APP_LOG_INFO("image %s: %lld bytes", g_cUpdateFilePath,
                     static_cast<long long>(stInfo.st_size));
    }
}

/// Records the success report: the image bytes of this attempt, whether the
/// image could be read, and whether the success record was written
/// (s32RecordErr 0) or why not (an errno value).
void LogSuccess(int s32RecordErr) {
    const unsigned long long u64Bytes = s_u64AttemptBytes;
    if (s_bAttemptImageBad) {
        APP_LOG_WARNING("update success reported, but image %s could not be opened or read: "
                        "the microcontroller accepted %llu image bytes",
                        g_cUpdateFilePath != nullptr ? g_cUpdateFilePath : "(none named)",
                        u64Bytes);
    }
    if (s32RecordErr == 0) {
        APP_LOG_INFO("update success after %llu image bytes; success record %s written", u64Bytes,
                     g_pszSuccessRecordPath);
    } else {
        const CAppLogReason objWhy(s32RecordErr);
        APP_LOG_WARNING("update success after %llu image bytes; success record %s not written: %s",
                        u64Bytes, g_pszSuccessRecordPath, objWhy.Text());
    }
}

/// The one lock of the update sequence. The first state handler run happens
/// on the update thread while the engine thread may already be delivering a
/// command; the state, the failure count, the image descriptor and the
/// checksum are therefore only touched with this lock held. It is taken once,
/// by the receive handler and by UpdateStatusHandle; what they call runs
/// under it without taking it again. Never destroyed: a detached engine
/// thread may still hold it while the process ends.
CMutex &UpdateSequenceMutex() {
    static CMutex *s_pobjMutex = new CMutex;
    return *s_pobjMutex;
}

/// The 32-bit little-endian selector of a 0x602 record. A payload of more
/// than four bytes lives in its own buffer; a shorter one sits in the record's
/// data field, where the bytes beyond len count as zero. A missing buffer
/// reads as selector 0 rather than being followed.
uint32_t ReadySelector(const _CmdProtocolParam *pstFrame) {
    uint8_t au8Sel[4] = {0, 0, 0, 0};
    const uint32_t u32Len = pstFrame->len;
    if (u32Len > static_cast<uint32_t>(CMD_FRAME_SHORT_MAX)) {
        if (pstFrame->payload != nullptr) {
            memcpy(au8Sel, pstFrame->payload, sizeof(au8Sel));
        }
    } else {
        memcpy(au8Sel, pstFrame->data, u32Len);
    }
    return static_cast<uint32_t>(au8Sel[0]) | static_cast<uint32_t>(au8Sel[1]) << 8 |
           static_cast<uint32_t>(au8Sel[2]) << 16 | static_cast<uint32_t>(au8Sel[3]) << 24;
}

/// Reads up to u32Max bytes, going on after short reads and interruptions.
/// The count read (0 at the end of the file), or -1 on a read error.
int ReadFull(int fd, uint8_t *pu8Buf, uint32_t u32Max) {
    uint32_t u32Got = 0;
    while (u32Got < u32Max) {
        ssize_t n = read(fd, pu8Buf + u32Got, u32Max - u32Got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        u32Got += static_cast<uint32_t>(n);
    }
    return static_cast<int>(u32Got);
}

} // namespace

int SendStartCmd() {
    static const uint8_t s_au8Start[2] = {0x00, 0x00};
    return Example_CommandInterfaceSendRetry(IR_CMD_UPDATE_START, s_au8Start, sizeof(s_au8Start));
}

int WriteUpdateSuccess() {
    // No truncation: only the first four bytes become zero, and whatever an
    // earlier, longer record held after them stays.
    int fd = open(g_pszSuccessRecordPath, O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        const int s32Err = errno;
        APP_LOG_ERROR("write upgrade success failed");
        errno = s32Err;
        return -1;
    }
    const uint8_t au8Zero[4] = {0, 0, 0, 0};
    ssize_t n;
    do {
        n = write(fd, au8Zero, sizeof(au8Zero));
    } while (n < 0 && errno == EINTR);
    // A short write without an error can only mean a full file system.
    const int s32Err = n < 0 ? errno : ENOSPC;
    close(fd);
    if (n != static_cast<ssize_t>(sizeof(au8Zero))) {
        APP_LOG_ERROR("write upgrade success failed");
        errno = s32Err;
        return -1;
    }
    return static_cast<int>(n);
}

void APP_Comm_Recv_IR_Update(_CmdProtocolParam *pstFrame) {
    if (pstFrame == nullptr) {
        return;
    }
    CMutexLock objLock(UpdateSequenceMutex());

    switch (pstFrame->cmd) {
    case IR_CMD_UPDATE_READY: {
        uint32_t u32Selector = ReadySelector(pstFrame);
        g_cUpdateFilePath = u32Selector == IR_SELECTOR_4000 ? IR_IMAGE_4000 : IR_IMAGE_A000;
        printf("file path: %s %d\n", g_cUpdateFilePath, static_cast<int>(u32Selector));
        puts("update ready");
        APP_LOG_INFO("the microcontroller asks for %s (selector %u)", g_cUpdateFilePath,
                     u32Selector);
        g_eIRUpdateStatus = IR_UPDATE_SEND_DATA;
        break;
    }
    case IR_CMD_UPDATE_NEXT:
        g_eIRUpdateStatus = IR_UPDATE_SEND_DATA;
        break;
    case IR_CMD_UPDATE_CHECK_FAIL:
        puts("update CHECK failed ");
        s_u16FailCode = pstFrame->cmd;
        g_eIRUpdateStatus = IR_UPDATE_FAIL;
        break;
    case IR_CMD_UPDATE_MEM_FAIL:
        puts("update MEM failed ");
        s_u16FailCode = pstFrame->cmd;
        g_eIRUpdateStatus = IR_UPDATE_FAIL;
        break;
    case IR_CMD_UPDATE_OK:
        g_eIRUpdateStatus = IR_UPDATE_SUCCESS;
        break;
    default:
        // Our own codes echoed back (0x600, 0x604, 0x605) and 0x601 included:
        // the microcontroller is not where the conversation thinks it is.
        puts("error cmd");
        s_u16FailCode = pstFrame->cmd;
        g_eIRUpdateStatus = IR_UPDATE_FAIL;
        break;
    }

    if (g_objIRUpdate != nullptr) {
        g_objIRUpdate->UpdateStatusHandleHeld();
    }
}

void CIRUpdate::UpdateStatusHandleHeld() {
    // The sequence lock is held: by UpdateStatusHandle (end of this file) or
    // by the receive handler above.
    switch (g_eIRUpdateStatus.load()) {
    case IR_UPDATE_SEND_DATA:
        SendNextPacket();
        break;
    case IR_UPDATE_SUCCESS:
        puts("update success");
        LogSuccess(WriteUpdateSuccess() >= 0 ? 0 : errno);
        IRUpdateExit();
        break;
    case IR_UPDATE_START:
        SendStartCmd();
        break;
    case IR_UPDATE_FAIL:
        SendStartCmd();
        CloseUpdateFile();
        // The next attempt sends the image again from its first byte, so its
        // end record must sum that attempt alone.
        m_stEndInfo.u32CheckSum = 0;
        ++m_u32FailCount;
        APP_LOG_WARNING("failure report 0x%x (%s) ends attempt %u of %u%s", s_u16FailCode,
                        FailureMeaning(s_u16FailCode), m_u32FailCount, IR_FAIL_LIMIT,
                        m_u32FailCount < IR_FAIL_LIMIT ? "; starting again" : "");
        s_u64AttemptBytes = 0;
        s_bAttemptImageBad = false;
        break;
    case IR_UPDATE_WAIT:
    default:
        break;
    }
    g_eIRUpdateStatus = IR_UPDATE_WAIT;

    // Checked after every action, not only after a failure.
    if (m_u32FailCount == IR_FAIL_LIMIT) {
        printf("update time is over %d,update failed\n", static_cast<int>(m_u32FailCount));
        APP_LOG_ERROR("update failed: giving up after %u failure reports", m_u32FailCount);
        IRUpdateExit();
    }
}

int CIRUpdate::CloseUpdateFile() {
    if (m_s32FileFd >= 0) {
        close(m_s32FileFd);
        m_s32FileFd = -1;
    }
    return 0;
}

int CIRUpdate::ReadUpdateFile(uint8_t *pu8Buf, uint32_t *pu32Len) {
    if (m_s32FileFd < 0) {
        // Opened for reading and writing, without creation: a missing or
        // read-only image, or no name chosen yet, cannot be opened.
        m_s32FileFd = g_cUpdateFilePath != nullptr ? open(g_cUpdateFilePath, O_RDWR) : -1;
        if (m_s32FileFd < 0) {
            const int s32Err = errno;
            puts("open file failed");
            s_bAttemptImageBad = true;
            if (g_cUpdateFilePath == nullptr) {
                APP_LOG_ERROR("image asked for before the microcontroller named one");
            } else {
                const CAppLogReason objWhy(s32Err);
                APP_LOG_ERROR("image %s cannot be opened: %s", g_cUpdateFilePath, objWhy.Text());
            }
            return -1;
        }
        LogImageOpened(m_s32FileFd);
    }

    int s32Read = ReadFull(m_s32FileFd, pu8Buf, IR_CHUNK_MAX);
    if (s32Read < 0) {
        // Not the end of the image: the bytes sent so far are not the whole
        // image. The image is closed, so that the next request starts it again
        // from its first byte, and the checksum is zeroed with it.
        const CAppLogReason objWhy(errno);
        puts("read file failed");
        s_bAttemptImageBad = true;
        APP_LOG_ERROR("image %s cannot be read after %llu bytes: %s", g_cUpdateFilePath,
                      static_cast<unsigned long long>(s_u64AttemptBytes), objWhy.Text());
        CloseUpdateFile();
        m_stEndInfo.u32CheckSum = 0;
        return -1;
    }
    if (s32Read == 0) {
        return 0;
    }

    uint32_t u32Len = static_cast<uint32_t>(s32Read);
    s_u64AttemptBytes += u32Len;
    if (u32Len < IR_CHUNK_PAD_BELOW) {
        memset(pu8Buf + u32Len, IR_CHUNK_PAD_BYTE, IR_CHUNK_PAD_TO - u32Len);
        u32Len = IR_CHUNK_PAD_TO;
    }
    for (uint32_t i = 0; i < u32Len; ++i) {
        m_stEndInfo.u32CheckSum += pu8Buf[i];
    }
    *pu32Len = u32Len;
    return static_cast<int>(u32Len);
}

int CIRUpdate::SendUpdateData(const uint8_t *pu8Buf, uint32_t u32Len) {
    return Example_CommandInterfaceSendRetry(IR_CMD_UPDATE_DATA, pu8Buf, u32Len);
}

int CIRUpdate::SendUpdateEnd() {
    // Spelt out byte by byte: the record is little-endian on the wire.
    const uint32_t u32Sum = m_stEndInfo.u32CheckSum;
    const uint8_t au8End[sizeof(IRUpdateEndInfo)] = {
        static_cast<uint8_t>(u32Sum),
        static_cast<uint8_t>(u32Sum >> 8),
        static_cast<uint8_t>(u32Sum >> 16),
        static_cast<uint8_t>(u32Sum >> 24),
        static_cast<uint8_t>(m_stEndInfo.u16Zero),
        static_cast<uint8_t>(m_stEndInfo.u16Zero >> 8),
        static_cast<uint8_t>(m_stEndInfo.u16One),
        static_cast<uint8_t>(m_stEndInfo.u16One >> 8),
    };
    return Example_CommandInterfaceSendRetry(IR_CMD_UPDATE_END, au8End, sizeof(au8End));
}

int CIRUpdate::SendNextPacket() {
    uint8_t au8Chunk[IR_CHUNK_MAX];
    uint32_t u32Len = 0;
    (void)ReadUpdateFile(au8Chunk, &u32Len);
    // Nothing read covers the end of the image, an image that cannot be
    // opened and a failed read alike: the end record goes out.
    if (u32Len != 0) {
        return SendUpdateData(au8Chunk, u32Len);
    }
    APP_LOG_INFO("end record sent after %llu image bytes, checksum 0x%08x",
                 static_cast<unsigned long long>(s_u64AttemptBytes), m_stEndInfo.u32CheckSum);
    return SendUpdateEnd();
}

void CIRUpdate::UpdateStatusHandle() {
    CMutexLock objLock(UpdateSequenceMutex());
    UpdateStatusHandleHeld();
}
