// irsim's process: options, the link, one protocol instance with its own
// engine thread, and a main loop that waits for the end of the run.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "irsim.h"

namespace {

// Main-loop period: how quickly a held answer, the end of the run or a
// signal is noticed.
constexpr unsigned IRSIM_POLL_US = 10000;
// After the last verdict has been taken, how long to go on listening for the
// tool's last frames before leaving (unless the tool closes the line first).
constexpr uint64_t IRSIM_LINGER_MS = 1500;

volatile sig_atomic_t s_bSignalled = 0;

void OnSignal(int) {
    s_bSignalled = 1;
}

} // namespace

namespace {

void InstallSignalHandlers() {
    struct sigaction stAction {};
    stAction.sa_handler = OnSignal;
    sigemptyset(&stAction.sa_mask);
    sigaction(SIGTERM, &stAction, nullptr);
    sigaction(SIGINT, &stAction, nullptr);
    sigaction(SIGHUP, &stAction, nullptr);
    // SIG_ERR comes only for an invalid signal number, and SIGPIPE is valid.
    (void)signal(SIGPIPE, SIG_IGN);
}

/// The simulator's protocol instance on the line, set up as the tool sets up
/// its own; the handle, or -1 after printing why.
int OpenInstance(const IrsimOptions &stOpt) {
    CommandProtocolMutexInit();
    CmdProtocolFun stFun{};
    stFun.Write = IrsimLineWrite;
    // No Read: a reader thread feeds bytes in as they arrive (IrsimLineStart).
    stFun.Read = nullptr;
    stFun.DataProcessing = IrsimFileDataProcessing;
    // Fast mode: every idle pass transmits what is due, so the simulated
    // microcontroller answers as soon as the protocol lets it.
    int s32Handle = CommandProtocolOpen(&stFun, "irsim", CMD_MODE_FAST);
    if (s32Handle < 0) {
        printf("irsim: cannot open a protocol instance\n");
        return -1;
    }
    IrsimMcuSetHandle(s32Handle);
    IrsimFileStart(s32Handle);
    // The same frame parameters as the tool: no enciphering, bytes 9 and 10 =
    // 0x20 0x50; per-frame traces when verbose; no heartbeats.
    CommandProtocolSetParam(s32Handle, 0, 0, 0x20, 0x50, stOpt.bVerbose ? CMD_DEBUG_FRAME : 0);
    CommandProtocolHeartBeatStatue(s32Handle, 0);
    return s32Handle;
}

/// Runs the microcontroller until a signal, the time limit, or the end of the
/// conversation (and the tool gone, or the linger time over); what ended it.
const char *RunUntilEnd(const IrsimOptions &stOpt) {
    const uint64_t u64StartMs = IrsimNowMs();
    uint64_t u64FinishedMs = 0;
    for (;;) {
        if (s_bSignalled != 0) {
            return "signal";
        }
        if (stOpt.dTimeoutSec > 0 &&
            static_cast<double>(IrsimNowMs() - u64StartMs) >= stOpt.dTimeoutSec * 1000.0) {
            return "timeout";
        }
        IrsimMcuPoll();
        if (stOpt.bExitAfterResult && u64FinishedMs == 0 && IrsimMcuFinished()) {
            u64FinishedMs = IrsimNowMs();
        }
        if (u64FinishedMs != 0 &&
            (IrsimLineHungUp() || IrsimNowMs() - u64FinishedMs >= IRSIM_LINGER_MS)) {
            return "result";
        }
        usleep(IRSIM_POLL_US);
    }
}

} // namespace

int main(int argc, char **argv) {
    IrsimOptions stOpt;
    int s32Parsed = IrsimParseOptions(argc, argv, &stOpt);
    if (s32Parsed != 0) {
        return s32Parsed > 0 ? 0 : 2;
    }
    InstallSignalHandlers();
    // Only the protocol's error lines, unless asked for everything.
    elogLev = stOpt.bVerbose ? 5 : 1;

    if (IrsimFilePrepare(&stOpt) != 0) {
        return 2;
    }
    if (IrsimMcuInit(stOpt, -1) != 0 || IrsimLineOpen(stOpt) != 0) {
        IrsimLineClose();
        return 2;
    }
    const int s32Handle = OpenInstance(stOpt);
    if (s32Handle < 0) {
        IrsimLineClose();
        return 2;
    }
    IrsimLineStart(s32Handle);
    const char *pszEnd = RunUntilEnd(stOpt);

    IrsimLineStopReading();
    IrsimFileStop();
    CommandProtocolStop(s32Handle);
    CommandProtocolWaitEngineEnd(s32Handle);
    IrsimLineClose();

    printf("irsim: ended-by %s\n", pszEnd);
    IrsimLinePrintSummary();
    int s32Status = IrsimMcuPrintSummary();
    printf("irsim: exit %d\n", s32Status);
    IrsimFlush();
    return s32Status;
}
