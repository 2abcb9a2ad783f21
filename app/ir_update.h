// The update tool: process entry, the update thread and the update sequence.
#pragma once

#include <atomic>
#include <cstdint>

#include "ir_update_commands.h"
#include "protocol/command_protocol.h"
#include "runtime/thread.h"

/// The serial settings record; zero-filled by its creator before the texts go in.
struct SerialPortSettings {
    char szDevice[64];       // serial device path, e.g. "/dev/ttyAMA1"
    char szMode[32];         // line settings, e.g. "115200-8n1"
    uint8_t au8Reserved[32]; // room for further settings; unused, stays zero
};

/// Update states kept in g_eIRUpdateStatus.
enum IRUpdateStatus : uint32_t {
    IR_UPDATE_SEND_DATA = 0, // send the next chunk, or the end record when the image is exhausted
    IR_UPDATE_SUCCESS = 1,   // the microcontroller reported success
    IR_UPDATE_START = 2,     // send the start command
    IR_UPDATE_FAIL = 3,      // the microcontroller reported a failure: start over
    IR_UPDATE_WAIT = 4,      // nothing to do until the microcontroller speaks
};

/// The update thread: sets up the link, starts the update sequence and runs the
/// protocol engine until the engine is stopped.
class CIRUpdate : public CThread {
public:
    explicit CIRUpdate(const SerialPortSettings *pstSettings);
    ~CIRUpdate() override;

    /// Set-up: protocol mutex, serial port, pin routing, receive handler,
    /// protocol instance. Returns Example_CommandInterfaceInit's result.
    int Init();
    /// Acts on g_eIRUpdateStatus and leaves it at IR_UPDATE_WAIT; ends the run
    /// on success and on the third failure report. Takes the update sequence's
    /// lock, so the update thread's first run and the engine thread's receive
    /// handler never overlap. Any thread.
    void UpdateStatusHandle();
    /// UpdateStatusHandle; the caller holds the sequence lock.
    void UpdateStatusHandleHeld();

    /// Closes the image if it is open. Returns 0. Caller holds the sequence lock.
    int CloseUpdateFile();
    /// Reads the next chunk into pu8Buf (room for 64 bytes) and its length into
    /// *pu32Len: at most 64 bytes, 1..4 bytes padded to 8 with 0xFF; adds it to
    /// the end record's checksum. Returns the chunk length, 0 at the end of the
    /// image, -1 when the image cannot be opened or read (*pu32Len untouched;
    /// a read error also closes the image and zeroes the checksum).
    /// Caller holds the sequence lock.
    int ReadUpdateFile(uint8_t *pu8Buf, uint32_t *pu32Len);
    /// Queues pu8Buf (u32Len bytes, copied) as 0x604. The send's result (0 or -1).
    int SendUpdateData(const uint8_t *pu8Buf, uint32_t u32Len);
    /// Queues the 8-byte end record as 0x605. The send's result (0 or -1).
    int SendUpdateEnd();
    /// One transfer step: the next chunk, or the end record when nothing was
    /// read. The send's result. Caller holds the sequence lock.
    int SendNextPacket();

protected:
    void Entry() override;

private:
    int32_t m_s32FileFd;
    uint32_t m_u32FailCount;
    IRUpdateEndInfo m_stEndInfo;
    SerialPortSettings *m_pstSettings;
};

extern CIRUpdate *g_objIRUpdate;
extern std::atomic<bool> g_bIRRunFlag;
extern std::atomic<uint32_t> g_eIRUpdateStatus;
extern const char *g_cUpdateFilePath;

/// Ends the run: clears g_bIRRunFlag, stops the protocol instance and sets the
/// update thread's stop request. Returns at once.
void IRUpdateExit();

/// Sends 0x600 with two zero bytes; the send operation's result.
int SendStartCmd();
/// Writes four zero bytes at the start of the success record; 4, or -1 with
/// errno saying why (and the error record logged).
int WriteUpdateSuccess();
/// The application receive handler of the update conversation: sets the
/// update state from the command and runs the state handler, both under the
/// sequence lock. Runs on the engine thread; the frame is lent for the call.
void APP_Comm_Recv_IR_Update(_CmdProtocolParam *pstFrame);

/// Where the success record goes; the shipped tool keeps the fixed path.
extern const char *g_pszSuccessRecordPath;
