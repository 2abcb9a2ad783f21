// The microcontroller's side of the update conversation: answers start
// commands with the ready command, asks for every chunk, checks the end
// record's checksum against the bytes received since the last start, and
// gives a verdict (or the next scripted failure report). Also keeps what the
// summary reports.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "irsim.h"

IrsimHooks g_stIrsimHooks;

namespace {

// Received image bytes kept per attempt; a longer image is still summed but
// no longer stored (an IR microcontroller's flash is far smaller).
constexpr size_t MCU_IMAGE_MAX = size_t{16} * 1024 * 1024;
// How long a final verdict may stay unacknowledged before the run counts as
// ended anyway (the tool may have stopped right after taking it).
constexpr uint64_t MCU_VERDICT_GRACE_MS = 3000;
// How long a command may wait for the protocol handle to be known.
constexpr int MCU_HANDLE_WAIT_MS = 1000;

enum Verdict { VERDICT_NONE, VERDICT_SUCCESS, VERDICT_FAILURE };

struct McuState {
    IrsimOptions stOpt;
    int s32Handle = -1;
    bool bHaveExpect = false;
    std::vector<uint8_t> vecExpect; // the reference, padded as the tool sends it

    // Current attempt (since the last start command).
    std::vector<uint8_t> vecAttempt;
    uint64_t u64AttemptBytes = 0;
    uint32_t u32AttemptSum = 0;
    uint32_t u32AttemptChunks = 0;
    std::vector<std::pair<uint32_t, uint32_t>> vecRuns; // (chunk size, count)
    bool bAttemptWritten = true;

    // Totals.
    uint32_t u32Starts = 0;
    uint32_t u32ReadyAnswers = 0;
    uint64_t u64ChunksTotal = 0;
    uint32_t u32EndRecords = 0;
    uint32_t u32EmptyTransfers = 0; // end records with no image byte before them
    uint32_t u32RefusedSmall = 0;   // end records answered 0x606 for --min-bytes
    uint32_t u32FailuresSent = 0;
    uint32_t u32FailuresScripted = 0; // of those, the ones from --fail
    std::string strFailuresGiven;     // "606@start 607@12 606@end", in order
    uint32_t u32Unexpected = 0;
    size_t u32FailNext = 0;

    // Last end record.
    bool bHaveEnd = false;
    uint32_t u32EndChecksum = 0;
    uint32_t u32EndReceivedSum = 0;
    bool bEndChecksumOk = false;
    bool bEndImageMatch = false;

    // Verdict.
    Verdict eVerdict = VERDICT_NONE;
    bool bFinal = false;
    int s32VerdictSn = -1;
    uint64_t u64VerdictMs = 0;

    // A start command held by the start gate.
    bool bStartHeld = false;
    bool bGatePassed = false;

    // Timings (ms of IrsimNowMs; 0 = not yet).
    uint64_t u64FirstStartMs = 0;
    uint64_t u64ReadyMs = 0;
    uint64_t u64FirstChunkMs = 0;
    uint64_t u64EndMs = 0;
};

std::mutex s_objMutex;
McuState s_stMcu;
std::atomic<int> s_s32Handle{-1};

/// Queues one answer. Payloads of five bytes and more get a buffer of their
/// own, which the queue takes over. Returns the frame's sequence number or a
/// negative result.
int SendAnswer(uint16_t u16Cmd, const uint8_t *pu8Data, uint32_t u32Len) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(u32Len);
    if (u32Len > static_cast<uint32_t>(CMD_FRAME_SHORT_MAX)) {
        stRec.payload = static_cast<uint8_t *>(malloc(u32Len));
        if (stRec.payload == nullptr) {
            return -1;
        }
        memcpy(stRec.payload, pu8Data, u32Len);
    } else {
        memcpy(stRec.data, pu8Data, u32Len);
    }
    // Priority: the simulated microcontroller answers at once, without the
    // pause that normal frames take, so timings measure the tool.
    int s32Sn = CommandProtocolSendCmdAdd(s_stMcu.s32Handle, &stRec, 1);
    if (s32Sn < 0 && stRec.payload != nullptr) {
        free(stRec.payload);
    }
    if (s32Sn < 0) {
        printf("irsim: could not queue 0x%x (%d)\n", u16Cmd, s32Sn);
    }
    return s32Sn;
}

/// An answer without content: four zero bytes (a frame needs at least one).
int SendPlain(uint16_t u16Cmd) {
    static const uint8_t s_au8Zero[4] = {0, 0, 0, 0};
    return SendAnswer(u16Cmd, s_au8Zero, sizeof(s_au8Zero));
}

/// Notes the answer u16Code (queued as s32Sn) given at pszPoint ("start",
/// "end" or a chunk number); bScripted: it came from --fail.
void NoteVerdict(uint16_t u16Code, int s32Sn, const char *pszPoint, bool bScripted) {
    McuState &m = s_stMcu;
    m.s32VerdictSn = s32Sn;
    m.u64VerdictMs = IrsimNowMs();
    if (u16Code == IR_CMD_UPDATE_OK) {
        m.eVerdict = VERDICT_SUCCESS;
        m.bFinal = true;
        return;
    }
    if (u16Code == IR_CMD_UPDATE_READY || u16Code == IR_CMD_UPDATE_NEXT) {
        return; // scripted, but not a failure report
    }
    m.eVerdict = VERDICT_FAILURE;
    ++m.u32FailuresSent;
    if (bScripted) {
        ++m.u32FailuresScripted;
    }
    char acCode[8];
    // Four hex digits at most: the text always fits.
    (void)snprintf(acCode, sizeof(acCode), "%x", u16Code);
    m.strFailuresGiven +=
        std::string(m.strFailuresGiven.empty() ? "" : " ") + acCode + "@" + pszPoint;
    if (m.u32FailuresSent >= m.stOpt.u32MaxFailures) {
        m.bFinal = true;
    }
}

/// Takes the next scripted failure report when its point has come: eWhere is
/// where the conversation stands, u32Chunk the chunks of the attempt so far.
/// A report meant for a chunk that the attempt never reached is given at its
/// end record, so that no report is lost.
bool TakeScriptedFailure(IrsimFailAt eWhere, uint32_t u32Chunk, uint16_t *pu16Code) {
    McuState &m = s_stMcu;
    if (m.u32FailNext >= m.stOpt.vecFail.size()) {
        return false;
    }
    const IrsimFailure &stNext = m.stOpt.vecFail[m.u32FailNext];
    const IrsimFailAt eAt = stNext.bDefaultPoint ? m.stOpt.eFailAt : stNext.eWhere;
    const bool bDue =
        eAt == IRSIM_FAIL_AT_CHUNK
            ? eWhere == IRSIM_FAIL_AT_END || (eWhere == eAt && u32Chunk >= stNext.u32Chunk)
            : eWhere == eAt;
    if (!bDue) {
        return false;
    }
    *pu16Code = stNext.u16Code;
    ++m.u32FailNext;
    return true;
}

void AnswerStart() {
    McuState &m = s_stMcu;
    uint16_t u16Code = 0;
    if (TakeScriptedFailure(IRSIM_FAIL_AT_START, 0, &u16Code)) {
        printf("irsim: start %u answered with 0x%x\n", m.u32Starts, u16Code);
        NoteVerdict(u16Code, SendPlain(u16Code), "start", true);
        return;
    }
    std::vector<uint8_t> vecReady(m.stOpt.u32ReadyLen, 0);
    for (int i = 0; i < 4; ++i) {
        vecReady[static_cast<size_t>(i)] = static_cast<uint8_t>(m.stOpt.u32Selector >> (8 * i));
    }
    ++m.u32ReadyAnswers;
    m.u64ReadyMs = IrsimNowMs();
    SendAnswer(IR_CMD_UPDATE_READY, vecReady.data(), static_cast<uint32_t>(vecReady.size()));
}

void WriteOut() {
    McuState &m = s_stMcu;
    if (m.stOpt.strOut.empty() || m.bAttemptWritten) {
        return;
    }
    std::ofstream objOut(m.stOpt.strOut, std::ios::binary | std::ios::trunc);
    objOut.write(reinterpret_cast<const char *>(m.vecAttempt.data()),
                 static_cast<std::streamsize>(m.vecAttempt.size()));
    if (!objOut) {
        printf("irsim: cannot write %s\n", m.stOpt.strOut.c_str());
    }
    m.bAttemptWritten = true;
}

void OnStart() {
    McuState &m = s_stMcu;
    ++m.u32Starts;
    if (m.u64FirstStartMs == 0) {
        m.u64FirstStartMs = IrsimNowMs();
    }
    // A start begins a new attempt: the image comes again from its first byte.
    m.vecAttempt.clear();
    m.u64AttemptBytes = 0;
    m.u32AttemptSum = 0;
    m.u32AttemptChunks = 0;
    m.vecRuns.clear();
    m.bAttemptWritten = false;
    m.u64FirstChunkMs = 0;
    if (!m.bGatePassed && g_stIrsimHooks.pfnStartGate != nullptr &&
        !g_stIrsimHooks.pfnStartGate()) {
        m.bStartHeld = true;
        return;
    }
    m.bGatePassed = true;
    m.bStartHeld = false; // a newer start command supersedes one the gate held
    AnswerStart();
}

void OnChunk(const _CmdProtocolParam *pstFrame) {
    McuState &m = s_stMcu;
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    const uint32_t u32Len = pu8Data != nullptr ? pstFrame->len : 0;
    if (m.u64FirstChunkMs == 0) {
        m.u64FirstChunkMs = IrsimNowMs();
    }
    for (uint32_t i = 0; i < u32Len; ++i) {
        m.u32AttemptSum += pu8Data[i];
    }
    if (m.vecAttempt.size() + u32Len <= MCU_IMAGE_MAX) {
        m.vecAttempt.insert(m.vecAttempt.end(), pu8Data, pu8Data + u32Len);
    }
    m.u64AttemptBytes += u32Len;
    m.bAttemptWritten = false;
    ++m.u32AttemptChunks;
    ++m.u64ChunksTotal;
    if (!m.vecRuns.empty() && m.vecRuns.back().first == u32Len) {
        ++m.vecRuns.back().second;
    } else {
        m.vecRuns.emplace_back(u32Len, 1);
    }
    uint16_t u16Code = 0;
    if (TakeScriptedFailure(IRSIM_FAIL_AT_CHUNK, m.u32AttemptChunks, &u16Code)) {
        // The report stands in for the request: the attempt ends here.
        printf("irsim: chunk %u answered with 0x%x\n", m.u32AttemptChunks, u16Code);
        IrsimFlush();
        const std::string strPoint = std::to_string(m.u32AttemptChunks);
        NoteVerdict(u16Code, SendPlain(u16Code), strPoint.c_str(), true);
        return;
    }
    SendPlain(IR_CMD_UPDATE_NEXT);
}

void OnEnd(const _CmdProtocolParam *pstFrame) {
    McuState &m = s_stMcu;
    ++m.u32EndRecords;
    m.u64EndMs = IrsimNowMs();
    uint8_t au8End[8] = {};
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    if (pu8Data != nullptr) {
        memcpy(au8End, pu8Data, std::min<size_t>(sizeof(au8End), pstFrame->len));
    }
    m.bHaveEnd = true;
    m.u32EndChecksum = static_cast<uint32_t>(au8End[0]) | static_cast<uint32_t>(au8End[1]) << 8 |
                       static_cast<uint32_t>(au8End[2]) << 16 |
                       static_cast<uint32_t>(au8End[3]) << 24;
    m.u32EndReceivedSum = m.u32AttemptSum;
    m.bEndChecksumOk = pstFrame->len == 8 && m.u32EndChecksum == m.u32AttemptSum &&
                       au8End[4] == 0 && au8End[5] == 0 && au8End[6] == 1 && au8End[7] == 0;
    m.bEndImageMatch = m.bHaveExpect && m.vecAttempt == m.vecExpect;
    WriteOut();
    if (m.u64AttemptBytes == 0) {
        ++m.u32EmptyTransfers;
    }
    // A transfer below the size the microcontroller needs fails its check,
    // whatever the checksum says.
    const bool bTooSmall = m.u64AttemptBytes < m.stOpt.u64MinBytes;
    if (bTooSmall) {
        ++m.u32RefusedSmall;
    }

    uint16_t u16Code = m.bEndChecksumOk && !bTooSmall ? IR_CMD_UPDATE_OK : IR_CMD_UPDATE_CHECK_FAIL;
    const bool bScripted = TakeScriptedFailure(IRSIM_FAIL_AT_END, m.u32AttemptChunks, &u16Code);
    printf("irsim: end-record %u checksum 0x%08x received-sum 0x%08x bytes %llu chunks %u %s "
           "answer 0x%x\n",
           m.u32EndRecords, m.u32EndChecksum, m.u32EndReceivedSum,
           static_cast<unsigned long long>(m.u64AttemptBytes), m.u32AttemptChunks,
           m.bEndChecksumOk ? "ok" : "bad", u16Code);
    IrsimFlush();
    NoteVerdict(u16Code, SendAnswer(u16Code, reinterpret_cast<const uint8_t *>("\0\0\0\0"), 4),
                "end", bScripted);
}

std::vector<uint8_t> ReadWholeFile(const std::string &strPath, bool *pbOk) {
    std::ifstream objIn(strPath, std::ios::binary);
    *pbOk = static_cast<bool>(objIn);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(objIn),
                                std::istreambuf_iterator<char>());
}

} // namespace

void IrsimFlush() {
    // A reader that has gone away cannot be helped: the run goes on, and its
    // exit status still tells the result.
    (void)fflush(stdout);
}

uint64_t IrsimNowMs() {
    return IrsimNowUs() / 1000u;
}

uint64_t IrsimNowUs() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return static_cast<uint64_t>(stNow.tv_sec) * 1000000u +
           static_cast<uint64_t>(stNow.tv_nsec) / 1000u;
}

int IrsimMcuInit(const IrsimOptions &stOpt, int s32Handle) {
    std::lock_guard<std::mutex> objLock(s_objMutex);
    s_stMcu.stOpt = stOpt;
    s_stMcu.s32Handle = s32Handle;
    s_s32Handle = s32Handle;
    if (!stOpt.strExpect.empty()) {
        bool bOk = false;
        s_stMcu.vecExpect = ReadWholeFile(stOpt.strExpect, &bOk);
        if (!bOk) {
            printf("irsim: cannot read %s\n", stOpt.strExpect.c_str());
            return -1;
        }
        // The tool pads a last chunk of 1..4 bytes with 0xFF to 8 bytes.
        size_t u32Rest = s_stMcu.vecExpect.size() % 64;
        if (u32Rest >= 1 && u32Rest <= 4) {
            s_stMcu.vecExpect.insert(s_stMcu.vecExpect.end(), 8 - u32Rest, 0xFF);
        }
        s_stMcu.bHaveExpect = true;
    }
    return 0;
}

void IrsimMcuSetHandle(int s32Handle) {
    std::lock_guard<std::mutex> objLock(s_objMutex);
    s_stMcu.s32Handle = s32Handle;
    s_s32Handle = s32Handle;
}

void IrsimMcuDataProcessing(_CmdProtocolParam *pstFrame) {
    if (pstFrame == nullptr) {
        return;
    }
    // The engine starts inside open, so a command can come before open has
    // returned the handle that answers need.
    for (int i = 0; i < MCU_HANDLE_WAIT_MS && s_s32Handle.load() < 0; ++i) {
        usleep(1000);
    }
    std::lock_guard<std::mutex> objLock(s_objMutex);
    McuState &m = s_stMcu;
    if (m.stOpt.bVerbose) {
        printf("irsim: rx cmd 0x%x len %u sn %u\n", pstFrame->cmd, pstFrame->len, pstFrame->sn);
    }
    if (m.stOpt.bSilent) {
        return;
    }
    switch (pstFrame->cmd) {
    case IR_CMD_UPDATE_START:
        OnStart();
        break;
    case IR_CMD_UPDATE_DATA:
        OnChunk(pstFrame);
        break;
    case IR_CMD_UPDATE_END:
        OnEnd(pstFrame);
        break;
    default:
        if (g_stIrsimHooks.pfnOtherCommand != nullptr) {
            g_stIrsimHooks.pfnOtherCommand(pstFrame);
        } else {
            ++m.u32Unexpected;
            printf("irsim: unexpected cmd 0x%x len %u\n", pstFrame->cmd, pstFrame->len);
        }
        break;
    }
}

void IrsimMcuPoll() {
    {
        std::lock_guard<std::mutex> objLock(s_objMutex);
        McuState &m = s_stMcu;
        if (m.bStartHeld &&
            (g_stIrsimHooks.pfnStartGate == nullptr || g_stIrsimHooks.pfnStartGate())) {
            m.bStartHeld = false;
            m.bGatePassed = true;
            AnswerStart();
        }
    }
    if (g_stIrsimHooks.pfnPoll != nullptr) {
        g_stIrsimHooks.pfnPoll();
    }
}

bool IrsimMcuFinished() {
    std::lock_guard<std::mutex> objLock(s_objMutex);
    const McuState &m = s_stMcu;
    if (!m.bFinal) {
        return false;
    }
    if (m.s32VerdictSn < 0) {
        return true; // it could not even be queued: nothing more will come
    }
    return CommandProtocolConfirmCmdsent(m.s32Handle, static_cast<uint16_t>(m.s32VerdictSn)) == 1 ||
           IrsimLineHungUp() || IrsimNowMs() - m.u64VerdictMs > MCU_VERDICT_GRACE_MS;
}

int IrsimMcuPrintSummary() {
    std::lock_guard<std::mutex> objLock(s_objMutex);
    McuState &m = s_stMcu;
    WriteOut();
    printf("irsim: start-commands %u\n", m.u32Starts);
    printf("irsim: ready-answers %u\n", m.u32ReadyAnswers);
    printf("irsim: chunks %u\n", m.u32AttemptChunks);
    printf("irsim: chunks-total %llu\n", static_cast<unsigned long long>(m.u64ChunksTotal));
    printf("irsim: chunk-sizes");
    if (m.vecRuns.empty()) {
        printf(" -");
    }
    for (const auto &stRun : m.vecRuns) {
        printf(" %ux%u", stRun.first, stRun.second);
    }
    printf("\n");
    printf("irsim: bytes %llu\n", static_cast<unsigned long long>(m.u64AttemptBytes));
    printf("irsim: end-records %u\n", m.u32EndRecords);
    if (m.bHaveEnd) {
        printf("irsim: end-checksum 0x%08x\n", m.u32EndChecksum);
        printf("irsim: received-sum 0x%08x\n", m.u32EndReceivedSum);
    }
    printf("irsim: checksum %s\n", !m.bHaveEnd ? "none" : m.bEndChecksumOk ? "ok" : "bad");
    printf("irsim: transfer %s\n", !m.bHaveEnd              ? "none"
                                   : m.u64AttemptBytes == 0 ? "empty"
                                                            : "data");
    printf("irsim: empty-transfers %u\n", m.u32EmptyTransfers);
    printf("irsim: refused-small %u\n", m.u32RefusedSmall);
    printf("irsim: failures-sent %u\n", m.u32FailuresSent);
    printf("irsim: failures-scripted %u\n", m.u32FailuresScripted);
    printf("irsim: failures-given %s\n",
           m.strFailuresGiven.empty() ? "-" : m.strFailuresGiven.c_str());
    printf("irsim: unexpected-commands %u\n", m.u32Unexpected);
    const char *pszVerdict = m.eVerdict == VERDICT_SUCCESS   ? "success"
                             : m.eVerdict == VERDICT_FAILURE ? "failure"
                                                             : "none";
    printf("irsim: verdict %s\n", pszVerdict);
    if (m.bHaveExpect) {
        printf("irsim: image %s\n", !m.bHaveEnd ? "none" : m.bEndImageMatch ? "match" : "mismatch");
    }
    if (m.u64ReadyMs != 0 && m.u64EndMs >= m.u64ReadyMs) {
        printf("irsim: transfer-ms %llu\n",
               static_cast<unsigned long long>(m.u64EndMs - m.u64ReadyMs));
    }
    if (m.u64FirstStartMs != 0 && m.u64VerdictMs >= m.u64FirstStartMs) {
        printf("irsim: result-ms %llu\n",
               static_cast<unsigned long long>(m.u64VerdictMs - m.u64FirstStartMs));
    }
    if (g_stIrsimHooks.pfnSummary != nullptr) {
        g_stIrsimHooks.pfnSummary();
    }
    bool bOk = m.eVerdict == VERDICT_SUCCESS && (!m.bHaveExpect || m.bEndImageMatch);
    return bOk ? 0 : 1;
}
