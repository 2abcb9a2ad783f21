// irsim's file transfers over the serial command protocol.
//
// Sending (--send-file, --send-name): when the tool's first start command
// arrives, irsim holds its answer and sends the file to the tool first; the
// update goes on once the tool has verified the file (its acknowledgement of
// the end marker), or once the send has failed for good. The tool hands the
// file's start and end frames to its application as well, and an update
// sequence that takes them for unexpected commands starts over, sending new
// start commands; the first of those that comes after the verification is
// the one answered, so the tool gets exactly one ready answer.
//
// Receiving (--recv-dir): files that the peer sends are created by the
// protocol under their announced names in irsim's working folder, so irsim
// changes into that folder; the start and end frames are reported as lines.
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "irsim.h"

namespace {

// A send start waits about 660 ms for the tool's answer; it is tried this often.
constexpr int FILE_SEND_ATTEMPTS = 3;
constexpr unsigned FILE_RETRY_PAUSE_US = 200000;
// How long a started send may take before irsim gives up on it.
constexpr uint64_t FILE_SEND_LIMIT_MS = 300000;
constexpr unsigned FILE_POLL_US = 10000;
// Once the send is over, a start command held meanwhile is answered after this
// long if no newer one comes (a tool that does not start over on file frames).
constexpr uint64_t FILE_SETTLE_MS = 2000;

enum SendPhase { SEND_NONE, SEND_WAITING, SEND_STARTING, SEND_RUNNING, SEND_VERIFIED, SEND_FAILED };

const char *PhaseName(int s32Phase) {
    switch (s32Phase) {
    case SEND_VERIFIED:
        return "verified";
    case SEND_FAILED:
        return "failed";
    case SEND_NONE:
        return "none";
    default:
        return "unfinished";
    }
}

struct FileState {
    std::string strSendPath;
    std::string strSendName;
    bool bReceive = false;
    bool bVerbose = false;

    std::atomic<int> s32Handle{-1};
    std::atomic<bool> bToolSeen{false};
    std::atomic<bool> bGateOpen{false};
    std::atomic<bool> bReached100{false};
    std::atomic<int> s32Phase{SEND_NONE};
    std::atomic<uint64_t> u64DoneMs{0};
    std::atomic<int> s32Attempts{0};
    std::atomic<bool> bStop{false};
    std::thread objSender;

    // Received files (engine thread; the summary reads them after the engine ended).
    std::mutex objMutex;
    std::string strRecvName;
    uint32_t u32RecvLength = 0;
    uint32_t u32FilesStarted = 0;
    uint32_t u32FilesReceived = 0;
    uint32_t u32Other = 0;
};
FileState s_stFile;

void FinishSend(int s32Phase) {
    int s32Expected = SEND_RUNNING;
    if (s32Phase == SEND_FAILED) {
        s32Expected = s_stFile.s32Phase.load();
        if (s32Expected == SEND_VERIFIED || s32Expected == SEND_FAILED) {
            return;
        }
    }
    if (s_stFile.s32Phase.compare_exchange_strong(s32Expected, s32Phase)) {
        s_stFile.u64DoneMs = IrsimNowMs();
        printf("irsim: file-send %s %s\n", PhaseName(s32Phase), s_stFile.strSendName.c_str());
        IrsimFlush();
    }
}

/// True once the tool has verified the file. The progress reads 100 when the
/// end marker has been queued; from then on the queue holds the end marker
/// until the tool acknowledges it, which it does only for a file whose size
/// and CRC match (a mismatch brings a report 0, which replaces the queue's
/// content by a new start frame at once). So 100 seen and an empty queue mean
/// verified. Any thread.
bool CheckVerified() {
    int s32Handle = s_stFile.s32Handle.load();
    int s32Phase = s_stFile.s32Phase.load();
    if (s32Phase != SEND_RUNNING || s32Handle < 0) {
        return s32Phase == SEND_VERIFIED;
    }
    if (CommandProtocolTransferFileProgress(s32Handle) == 100) {
        s_stFile.bReached100 = true;
    }
    if (s_stFile.bReached100.load() && CommandProtocolGetSendBufNum(s32Handle) == 0) {
        FinishSend(SEND_VERIFIED);
    }
    return s_stFile.s32Phase.load() == SEND_VERIFIED;
}

void SenderLoop() {
    while (!s_stFile.bToolSeen.load() || s_stFile.s32Handle.load() < 0) {
        if (s_stFile.bStop.load()) {
            return;
        }
        usleep(FILE_POLL_US);
    }
    const int s32Handle = s_stFile.s32Handle.load();
    s_stFile.s32Phase = SEND_STARTING;
    bool bStarted = false;
    for (int i = 0; i < FILE_SEND_ATTEMPTS && !bStarted && !s_stFile.bStop.load(); ++i) {
        ++s_stFile.s32Attempts;
        printf("irsim: file-send start %s as %s\n", s_stFile.strSendPath.c_str(),
               s_stFile.strSendName.c_str());
        IrsimFlush();
        bStarted = CommandProtocolTransferFileSendStart(s32Handle, 0, s_stFile.strSendPath.c_str(),
                                                        s_stFile.strSendName.c_str()) == 0;
        if (!bStarted) {
            usleep(FILE_RETRY_PAUSE_US);
        }
    }
    if (!bStarted) {
        FinishSend(SEND_FAILED);
        return;
    }
    s_stFile.s32Phase = SEND_RUNNING;
    const uint64_t u64Start = IrsimNowMs();
    while (!CheckVerified()) {
        if (s_stFile.bStop.load() || IrsimNowMs() - u64Start > FILE_SEND_LIMIT_MS) {
            FinishSend(SEND_FAILED);
            return;
        }
        usleep(FILE_POLL_US);
    }
}

// --- hooks -------------------------------------------------------------------

bool StartGate() {
    return s_stFile.bGateOpen.load();
}

void Poll() {
    // A held start command is answered once the send is over and the tool has
    // had time to send a newer one.
    int s32Phase = s_stFile.s32Phase.load();
    if (!s_stFile.bGateOpen.load() && (s32Phase == SEND_VERIFIED || s32Phase == SEND_FAILED) &&
        IrsimNowMs() - s_stFile.u64DoneMs.load() >= FILE_SETTLE_MS) {
        s_stFile.bGateOpen = true;
    }
}

std::string NameOf(const uint8_t *pu8Record, uint32_t u32Len) {
    if (pu8Record == nullptr || u32Len <= 4) {
        return "";
    }
    size_t u32Field = std::min<size_t>(64, u32Len - 4);
    const char *pszName = reinterpret_cast<const char *>(pu8Record + 4);
    return std::string(pszName, strnlen(pszName, u32Field));
}

void OtherCommand(const _CmdProtocolParam *pstFrame) {
    std::lock_guard<std::mutex> objLock(s_stFile.objMutex);
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    switch (pstFrame->cmd) {
    case CMD_UPDATE_SW_SEND_FILE_START: {
        // The protocol has created the file; the record is as the peer announced it.
        CmdProtocolFileInfo stInfo{};
        if (pu8Data != nullptr) {
            memcpy(&stInfo, pu8Data, std::min<size_t>(sizeof(stInfo), pstFrame->len));
        }
        s_stFile.strRecvName = NameOf(pu8Data, pstFrame->len);
        s_stFile.u32RecvLength = stInfo.length;
        ++s_stFile.u32FilesStarted;
        printf("irsim: file-start %s %u\n", s_stFile.strRecvName.c_str(), stInfo.length);
        break;
    }
    case CMD_UPDATE_SW_SEND_FILE:
        // Only the end frame of a file whose size and CRC matched comes here.
        ++s_stFile.u32FilesReceived;
        printf("irsim: file-received %s %u\n", s_stFile.strRecvName.c_str(),
               s_stFile.u32RecvLength);
        break;
    case CMD_UPDATE_SW_READY_UPDATE:
        printf("irsim: ready-update len %u\n", pstFrame->len);
        break;
    default:
        ++s_stFile.u32Other;
        printf("irsim: unexpected cmd 0x%x len %u\n", pstFrame->cmd, pstFrame->len);
        break;
    }
    IrsimFlush();
}

void Summary() {
    if (!s_stFile.strSendPath.empty()) {
        printf("irsim: file-send %s\n", PhaseName(s_stFile.s32Phase.load()));
        printf("irsim: file-send-attempts %d\n", s_stFile.s32Attempts.load());
    }
    if (s_stFile.bReceive) {
        std::lock_guard<std::mutex> objLock(s_stFile.objMutex);
        printf("irsim: files-started %u\n", s_stFile.u32FilesStarted);
        printf("irsim: files-received %u\n", s_stFile.u32FilesReceived);
        printf("irsim: other-commands %u\n", s_stFile.u32Other);
    }
}

/// strPath made absolute against the current folder (unchanged when empty or absolute).
void MakeAbsolute(std::string *pstrPath, const std::string &strCwd) {
    if (!pstrPath->empty() && (*pstrPath)[0] != '/') {
        *pstrPath = strCwd + "/" + *pstrPath;
    }
}

} // namespace

int IrsimFilePrepare(IrsimOptions *pstOpt) {
    if (pstOpt->strSendFile.empty() && !pstOpt->strSendName.empty()) {
        printf("irsim: --send-name needs --send-file\n");
        return -1;
    }
    s_stFile.bVerbose = pstOpt->bVerbose;
    if (!pstOpt->strRecvDir.empty()) {
        // Paths given on the command line keep meaning what they meant where
        // irsim was started.
        char acCwd[4096];
        if (getcwd(acCwd, sizeof(acCwd)) == nullptr) {
            printf("irsim: cannot tell the working folder: %s\n", strerror(errno));
            return -1;
        }
        const std::string strCwd(acCwd);
        for (std::string *pstrPath :
             {&pstOpt->strDevice, &pstOpt->strLink, &pstOpt->strOut, &pstOpt->strExpect,
              &pstOpt->strSendFile, &pstOpt->strCapture}) {
            MakeAbsolute(pstrPath, strCwd);
        }
        if (chdir(pstOpt->strRecvDir.c_str()) != 0) {
            printf("irsim: cannot use %s for received files: %s\n", pstOpt->strRecvDir.c_str(),
                   strerror(errno));
            return -1;
        }
        s_stFile.bReceive = true;
        g_stIrsimHooks.pfnOtherCommand = OtherCommand;
        g_stIrsimHooks.pfnSummary = Summary;
    }
    if (!pstOpt->strSendFile.empty()) {
        if (access(pstOpt->strSendFile.c_str(), R_OK) != 0) {
            printf("irsim: cannot read %s: %s\n", pstOpt->strSendFile.c_str(), strerror(errno));
            return -1;
        }
        s_stFile.strSendPath = pstOpt->strSendFile;
        s_stFile.strSendName = pstOpt->strSendName;
        if (s_stFile.strSendName.empty()) {
            size_t u32Slash = s_stFile.strSendPath.rfind('/');
            s_stFile.strSendName = u32Slash == std::string::npos
                                       ? s_stFile.strSendPath
                                       : s_stFile.strSendPath.substr(u32Slash + 1);
        }
        s_stFile.s32Phase = SEND_WAITING;
        g_stIrsimHooks.pfnStartGate = StartGate;
        g_stIrsimHooks.pfnPoll = Poll;
        g_stIrsimHooks.pfnSummary = Summary;
    }
    return 0;
}

void IrsimFileStart(int s32Handle) {
    s_stFile.s32Handle = s32Handle;
    if (!s_stFile.strSendPath.empty() && !s_stFile.objSender.joinable()) {
        s_stFile.objSender = std::thread(SenderLoop);
    }
}

void IrsimFileDataProcessing(_CmdProtocolParam *pstFrame) {
    if (pstFrame != nullptr && pstFrame->cmd == IR_CMD_UPDATE_START &&
        !s_stFile.strSendPath.empty()) {
        s_stFile.bToolSeen = true;
        // The tool acknowledged the end marker before it sent this command, so
        // a verified file is known here: this newest start is the one answered.
        if (!s_stFile.bGateOpen.load() &&
            (CheckVerified() || s_stFile.s32Phase.load() == SEND_FAILED)) {
            s_stFile.bGateOpen = true;
        }
    }
    IrsimMcuDataProcessing(pstFrame);
}

void IrsimFileStop() {
    s_stFile.bStop = true;
    if (s_stFile.objSender.joinable()) {
        s_stFile.objSender.join();
    }
}
