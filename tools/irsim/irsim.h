// irsim: a stand-in for the IR microcontroller, for rehearsing firmware
// updates on a PC. It owns one end of a serial link (a new pty, or a serial
// device), runs its own instance of the serial command protocol on it and
// plays the microcontroller's side of the update conversation, with optional
// seeded faults and line pacing.
//
// Pieces: options (irsim_options.cpp), the line with its faults and pacing
// (irsim_line.cpp), the link's device or pty (irsim_pty.cpp), the sniffer of
// the tool's frames (irsim_sniff.cpp), the capture (irsim_capture.cpp), the
// microcontroller's behaviour and the summary (irsim_mcu.cpp), file transfers
// (irsim_file.cpp), and the process around them (irsim_main.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ir_update_commands.h"
#include "protocol/command_protocol.h"

// ---------------------------------------------------------------------------
// Options

/// Where the scripted failure reports are given.
enum IrsimFailAt {
    IRSIM_FAIL_AT_END,   // in answer to an end record, in place of the verdict
    IRSIM_FAIL_AT_START, // in answer to a start command, in place of the ready command
    IRSIM_FAIL_AT_CHUNK, // in answer to the n-th chunk of an attempt, in place of the request
                         // for the next
};

/// One scripted failure report: its code and where it is given. Reports are
/// given strictly in their order; a report is not considered before the one
/// ahead of it has been given.
struct IrsimFailure {
    uint16_t u16Code = 0;
    bool bDefaultPoint = true; // no point of its own: --fail-at decides
    IrsimFailAt eWhere = IRSIM_FAIL_AT_END;
    uint32_t u32Chunk = 0; // IRSIM_FAIL_AT_CHUNK: 1 for the first chunk of an attempt
};

struct IrsimOptions {
    std::string strDevice;                   // serial device to use; empty: create a pty
    std::string strLink;                     // optional symlink to the pty's slave
    uint32_t u32Selector = 2;                // selector sent in the ready command
    uint32_t u32ReadyLen = 4;                // payload length of the ready command, 4..512
    std::vector<IrsimFailure> vecFail;       // scripted failure reports, in order
    IrsimFailAt eFailAt = IRSIM_FAIL_AT_END; // point of the reports that name none (end or start)
    uint32_t u32MaxFailures = 3;             // failure reports after which the tool gives up
    uint64_t u64MinBytes = 0;                // smaller transfers are answered with 0x606
    std::string strOut;                      // where the received image goes
    std::string strExpect;                   // reference image
    bool bExitAfterResult = false;
    double dTimeoutSec = 0; // 0: none
    uint64_t u64Seed = 1;
    double dGarbage = 0;   // fraction of outgoing frames preceded by noise
    double dCorruptRx = 0; // fractions of bytes altered / lost, per direction
    double dCorruptTx = 0;
    double dDropRx = 0;
    double dDropTx = 0;
    double dWithholdAck = 0; // fraction of outgoing acknowledgements not sent
    bool bSilent = false;    // never answer anything
    uint32_t u32Baud = 0;    // 0: unpaced
    bool bVerbose = false;
    std::string strSendFile; // sent to the tool before its first start command is answered
    std::string strSendName; // name the file is announced under (default: its base name)
    std::string strRecvDir;  // folder where files sent by the peer are created
    std::string strCapture;  // where the line's traffic is recorded ("": nowhere)
};

/// Parses the command line into pstOpt. Returns 0 to go on, 1 when --help or
/// --version was printed (exit 0), -1 after printing a usage error (exit 2).
int IrsimParseOptions(int argc, char **argv, IrsimOptions *pstOpt);

// ---------------------------------------------------------------------------
// The line: link set-up, faults, pacing. Write runs on the protocol's engine
// thread, the reader on its own; the set-up and the summary on the main thread.

/// Opens the link (a new pty, or the device). Prints "irsim: pty <path>" for
/// a pty. Returns 0, or -1 after printing why.
int IrsimLineOpen(const IrsimOptions &stOpt);
/// Starts feeding received bytes into instance s32Handle (a reader thread)
/// and, when paced, the sending thread.
void IrsimLineStart(int s32Handle);
/// Stops the reader thread (nothing more reaches the instance).
void IrsimLineStopReading();
/// Stops both threads and closes the link.
void IrsimLineClose();
/// The protocol's Write callback on the link (engine thread).
int IrsimLineWrite(const uint8_t *pu8Buf, int s32Len);
/// True once the tool has been seen on the link and has gone again (the pty's
/// other end was closed).
bool IrsimLineHungUp();
/// Prints the line's counters as summary lines.
void IrsimLinePrintSummary();
/// Opens a new pty (printing "irsim: pty <path>", and making stOpt.strLink
/// point to it, *pbLinkMade then true) or the device stOpt.strDevice. The
/// descriptor, non-blocking; -1 after printing why. irsim_pty.cpp.
int IrsimPtyOpen(const IrsimOptions &stOpt, bool *pbLinkMade);

// The sniffer (irsim_sniff.cpp), fed from the line's reader and writer.

/// One byte the tool put on the line; frames are assembled the way the
/// receiver does (sync bytes and len only).
void IrsimSniffByte(uint8_t u8Byte);
/// irsim has just written a chunk request (times the tool's answer).
void IrsimSniffRequestWritten();
/// Summary lines: the tool's frames, repeats, acknowledgements, bad frames, start frames.
void IrsimSniffPrintFrames();
/// Summary lines: the chunk turnarounds of the tool and of irsim.
void IrsimSniffPrintTurnarounds();

// ---------------------------------------------------------------------------
// The capture of the line (irsim_capture.cpp): the bytes at the tool's end of
// the line, both directions, with their times. Any thread.

/// Creates the capture file (nothing for an empty path). 0, or -1 after printing why.
int IrsimCaptureOpen(const std::string &strPath);
/// Records u32Len bytes that crossed the line now: from the tool (bFromHost)
/// as irsim read them, or to the tool as irsim wrote them.
void IrsimCaptureBytes(bool bFromHost, const uint8_t *pu8Bytes, size_t u32Len);
/// Completes the file; a write error is reported as a line.
void IrsimCaptureClose();

// ---------------------------------------------------------------------------
// The microcontroller

/// Extension points for further behaviour (file transfers before the update,
/// for instance). Unset entries do nothing.
struct IrsimHooks {
    /// Asked, on the engine thread, before the first start command is
    /// answered. False holds the answer; IrsimMcuPoll asks again until true.
    bool (*pfnStartGate)() = nullptr;
    /// Commands outside the update conversation, on the engine thread; the
    /// record is lent for the call.
    void (*pfnOtherCommand)(const _CmdProtocolParam *pstFrame) = nullptr;
    /// Called from IrsimMcuPoll on the main thread, about every 10 ms.
    void (*pfnPoll)() = nullptr;
    /// Adds lines to the summary.
    void (*pfnSummary)() = nullptr;
};
extern IrsimHooks g_stIrsimHooks;

/// Prepares the microcontroller (reads the reference image). 0, or -1 after
/// printing why.
int IrsimMcuInit(const IrsimOptions &stOpt, int s32Handle);
/// Tells the microcontroller the protocol handle its answers go to.
void IrsimMcuSetHandle(int s32Handle);
/// The protocol's DataProcessing callback: one command from the tool.
void IrsimMcuDataProcessing(_CmdProtocolParam *pstFrame);
/// Main-thread step: releases a held start answer, notes acknowledged verdicts.
void IrsimMcuPoll();
/// True when the run has reached its end (success acknowledged, or the last
/// failure report acknowledged or given up on).
bool IrsimMcuFinished();
/// Prints the summary lines; returns the exit status (0 success and match).
int IrsimMcuPrintSummary();

// ---------------------------------------------------------------------------
// File transfers (irsim_file.cpp)

/// Checks the file options, installs the hooks they need and, with
/// --recv-dir, makes the path options absolute and changes into that folder.
/// Call before IrsimMcuInit. 0, or -1 after printing why.
int IrsimFilePrepare(IrsimOptions *pstOpt);
/// Gives the protocol handle; starts the sender thread when a file is to be sent.
void IrsimFileStart(int s32Handle);
/// The protocol's DataProcessing callback to install: notes the tool's start
/// commands for the file send, then hands the frame to IrsimMcuDataProcessing.
void IrsimFileDataProcessing(_CmdProtocolParam *pstFrame);
/// Ends the sender thread (it gives up an unfinished send).
void IrsimFileStop();

/// Monotonic milliseconds (64-bit) for irsim's own timing.
uint64_t IrsimNowMs();
/// Monotonic microseconds (64-bit).
uint64_t IrsimNowUs();
/// Pushes the report lines written so far to standard output now, so that a
/// reader following the run sees each line as it happens.
void IrsimFlush();
