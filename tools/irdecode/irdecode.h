// irdecode: tells what happened on the serial line between irupdate (the
// host) and the IR microcontroller, from a capture: one line per frame, then
// a summary of the update conversation.
//
// A reader per capture format (irdecode_readers.cpp: strace of the tool,
// irsim --capture, raw byte files) feeds the bytes of each direction, with
// their times, into one decoder (irdecode_decoder.cpp). The decoder
// assembles frames the way the protocol's receiver does and checks and
// deciphers them with the protocol's own code. Memory stays bounded whatever
// the size of the capture: one pass, fixed tables.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "protocol/command_protocol.h"

enum IrdDir : int { IRD_HOST = 0, IRD_MCU = 1 };

/// A time not known (raw files). Times are otherwise microseconds whose
/// remainder modulo a day is the local time of day.
constexpr int64_t IRD_NO_TIME = INT64_MIN;

/// Where the decoder's reports go, and the input's name and error count.
struct IrdContext {
    FILE *pOut = stdout;         // frame lines and the summary
    FILE *pErr = stderr;         // errors in the input
    bool bFrames = true;         // false: the summary only
    const char *pszInput = "";   // named in error lines
    const char *pszPos = "line"; // what positions count: "line" or "offset"
    uint64_t u64Errors = 0;
    /// Reports a fault of the input at position u64Pos, and counts it.
    void Error(uint64_t u64Pos, const char *pszFormat, ...) __attribute__((format(printf, 3, 4)));
};

/// The decoder: frames, acknowledgements, repeats and the conversation.
class IrdDecoder {
public:
    explicit IrdDecoder(IrdContext *pstCtx);
    ~IrdDecoder();
    IrdDecoder(const IrdDecoder &) = delete;
    IrdDecoder &operator=(const IrdDecoder &) = delete;
    /// u32Len bytes that crossed the line in direction s32Dir at s64Time,
    /// found at position u64Pos of the input. Returns the frames completed.
    int Feed(int s32Dir, int64_t s64Time, const uint8_t *pu8Bytes, size_t u32Len, uint64_t u64Pos);
    /// u64Len bytes crossed the line but are not in the capture: whatever
    /// frame was under assembly is lost.
    void Gap(int s32Dir, uint64_t u64Len, int64_t s64Time, uint64_t u64Pos);
    /// Reports the frames never acknowledged, then the summary.
    void Finish();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

/// The reader of strace output and irsim captures, line by line; the format
/// is told by the first line. Returns 0, or -1 when the input is neither
/// (an error line says so).
int IrdReadText(FILE *pIn, IrdDecoder *pobjDec, IrdContext *pstCtx);
/// The reader of raw byte files, one per direction (either may be null): the
/// two are taken in turns, a frame at a time, as their order is not known.
void IrdReadRaw(FILE *pHost, FILE *pMcu, IrdDecoder *pobjDec);
