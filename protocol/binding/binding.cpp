// The application binding: one protocol instance bound to the serial port
// (g_u32UartFd) and to the application's receive handler. It reaches the
// protocol through its public interface only.
#include "protocol/command_interface.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/app_log.h"

CmdProtocolFun Cmdfun{};
std::atomic<int> Cmdfd{-1};
std::atomic<uint8_t> CmdinitFlag{0};
void (*APP_Comm_Recv_Handler)(_CmdProtocolParam *pstFrame) = nullptr;
int g_u32UartFd = -1;

namespace {

// A write to the non-blocking port that cannot go out at once waits at most
// this long in all for room; after that the rest is given up and the
// protocol's repetition makes good for the frame.
constexpr int WRITE_ROOM_WAIT_MS = 100;
// Example_CommandInterfaceWaitSendIdle polls this often.
constexpr useconds_t WAIT_IDLE_PAUSE_US = 10000;
// Polls granted to the second attempt of Example_CommandInterfaceSendRetry.
constexpr uint32_t RETRY_IDLE_POLLS = 100;

bool BindingReady() {
    if (CmdinitFlag.load() == 0) {
        puts(" please init (error)\r");
        return false;
    }
    return true;
}

// The table entries are filled by open; after a failed open they are empty,
// and the module operations then answer for the invalid handle themselves.
int BindingSendCmdAdd(_CmdProtocolParam *pstRec) {
    auto pfn = Cmdfun.CommandProtocolSendCmdAdd != nullptr ? Cmdfun.CommandProtocolSendCmdAdd
                                                           : CommandProtocolSendCmdAdd;
    return pfn(Cmdfd.load(), pstRec, 0);
}

} // namespace

int Example_CommandInterfaceInit() {
    Cmdfun.Write = Example_CommandInterfaceWrite;
    Cmdfun.Read = Example_CommandInterfaceRead;
    Cmdfun.DataProcessing = Example_CommandInterfaceDataProcessing;
    int s32Ret = CommandProtocolOpen(&Cmdfun, "name", CMD_MODE_NORMAL);
    Cmdfd.store(s32Ret);
    if (s32Ret >= 0) {
        // No enciphering, key index 0, frame bytes 9 and 10, no trace lines.
        // The init answers with the result of the last call it made, so the
        // parameters' result gives way to the heartbeat switch's.
        (void)Cmdfun.CommandProtocolSetParam(Cmdfd.load(), 0, 0, 0x20, 0x50, 0);
        s32Ret = Cmdfun.CommandProtocolHeartBeatStatue(Cmdfd.load(), 0);
    }
    CmdinitFlag.store(1);
    return s32Ret;
}

int Example_CommandInterfaceSend(uint16_t u16Cmd, const void *pData, uint32_t u32Len) {
    if (!BindingReady()) {
        return -1;
    }
    // A frame's length field has 16 bits; a longer message would go out cut
    // short while the caller is told it was sent.
    if (u32Len > 0xFFFF || (u32Len > 0 && pData == nullptr)) {
        return -1;
    }
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(u32Len);
    uint8_t *pu8Buf = nullptr;
    if (u32Len > CMD_FRAME_SHORT_MAX) {
        pu8Buf = static_cast<uint8_t *>(malloc(u32Len));
        if (pu8Buf == nullptr) {
            return -1;
        }
        memcpy(pu8Buf, pData, u32Len);
        stRec.payload = pu8Buf;
    } else if (u32Len > 0) {
        memcpy(stRec.data, pData, u32Len);
    }
    if (BindingSendCmdAdd(&stRec) < 0) {
        free(pu8Buf); // a refused frame leaves its buffer with us
        return -1;
    }
    if (u32Len > CMD_FRAME_MAX_PAYLOAD) {
        free(pu8Buf); // the split copied it into chunk buffers
    }
    // Otherwise a buffer of 5..512 bytes now belongs to its send slot.
    return 0;
}

int Example_CommandInterfaceSendRetry(uint16_t u16Cmd, const void *pData, uint32_t u32Len) {
    int s32Ret = Example_CommandInterfaceSend(u16Cmd, pData, u32Len);
    if (s32Ret >= 0) {
        // One mark per command accepted at the first try; stderr takes it at once.
        ssize_t s32Written = write(STDERR_FILENO, ".", 1);
        (void)s32Written;
        return s32Ret;
    }
    Example_CommandInterfaceWaitSendIdle(RETRY_IDLE_POLLS);
    return Example_CommandInterfaceSend(u16Cmd, pData, u32Len);
}

void Example_CommandInterfaceWaitSendIdle(uint32_t u32Polls) {
    if (!BindingReady()) {
        return;
    }
    for (;;) {
        // An invalid handle (-2) counts as not idle.
        if (Example_CommandInterfaceGetSendBufNum() == 0) {
            return;
        }
        usleep(WAIT_IDLE_PAUSE_US);
        if (u32Polls == 0) {
            return;
        }
        --u32Polls;
    }
}

int Example_CommandInterfaceGetSendBufNum() {
    auto pfn = Cmdfun.CommandProtocolGetSendBufNum != nullptr ? Cmdfun.CommandProtocolGetSendBufNum
                                                              : CommandProtocolGetSendBufNum;
    return pfn(Cmdfd.load());
}

int Example_CommandInterfaceRun() {
    int s32Handle = Cmdfd.load();
    if (!CommandProtocolIsOpen(s32Handle)) {
        printf("error  %s, %d.\n", CMD_INVALID_NAME, s32Handle);
        (void)fflush(stdout); // a console that cannot take the line changes nothing here
        return 0;
    }
    // The instance already has its engine thread, and a second loop on the
    // same record would share its receive side unguarded. The caller stays
    // here instead until that loop has ended, and then ends as the loop would.
    CommandProtocolWaitEngineEnd(s32Handle);
    pthread_exit(nullptr);
}

void Example_CommandInterfaceStop() {
    CommandProtocolStop(Cmdfd.load());
}

int Example_CommandInterfaceWrite(const uint8_t *pu8Buf, int s32Len) {
    // A failed write is not reported to the protocol: repetition until
    // acknowledgement makes good for it.
    (void)APP_Comm_Write(pu8Buf, s32Len);
    return 0;
}

int Example_CommandInterfaceRead(uint8_t *pu8Buf, int s32Max) {
    return APP_Comm_Read(pu8Buf, s32Max);
}

void Example_CommandInterfaceDataProcessing(_CmdProtocolParam *pstFrame) {
    if (pstFrame->cmd == CMD_STM32_IDBUTTON_TIMES) {
        auto pfn = Cmdfun.CommandProtocolBackupCMDLongerToProgress != nullptr
                       ? Cmdfun.CommandProtocolBackupCMDLongerToProgress
                       : CommandProtocolBackupCMDLongerToProgress;
        if (pfn(Cmdfd.load(), pstFrame) >= 0) {
            return; // parked for the application to take later
        }
    }
    APP_Comm_Recv(pstFrame);
}

int APP_Comm_Write(const uint8_t *pu8Buf, int s32Len) {
    APP_LOG_DEBUG("app write buf %d", s32Len);
    if (s32Len <= 0) {
        return static_cast<int>(write(g_u32UartFd, pu8Buf, 0));
    }
    // The whole frame must go out: a truncated frame would leave the peer's
    // receiver taking the next frame's bytes as its continuation.
    const uint32_t u32Start = CommandProtocolClockMs();
    int s32Done = 0;
    while (s32Done < s32Len) {
        ssize_t s32N = write(g_u32UartFd, pu8Buf + s32Done, static_cast<size_t>(s32Len - s32Done));
        if (s32N > 0) {
            s32Done += static_cast<int>(s32N);
            continue;
        }
        if (s32N < 0 && errno == EINTR) {
            continue;
        }
        if (s32N < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break; // the port is gone or broken: waiting cannot help
        }
        // No room on the port right now.
        const uint32_t u32Waited = CommandProtocolClockMs() - u32Start;
        if (u32Waited >= static_cast<uint32_t>(WRITE_ROOM_WAIT_MS)) {
            break;
        }
        pollfd stPoll{};
        stPoll.fd = g_u32UartFd;
        stPoll.events = POLLOUT;
        (void)poll(&stPoll, 1, WRITE_ROOM_WAIT_MS - static_cast<int>(u32Waited));
    }
    return s32Done > 0 ? s32Done : -1;
}

int APP_Comm_Read(uint8_t *pu8Buf, int s32Max) {
    int s32N = static_cast<int>(read(g_u32UartFd, pu8Buf, s32Max > 0 ? s32Max : 0));
    if (s32N >= 1) {
        APP_LOG_DEBUG("app read buf %d", s32N);
    }
    return s32N;
}

int APP_Comm_Recv(_CmdProtocolParam *pstFrame) {
    APP_LOG_DEBUG("recv cmd %x \n", pstFrame->cmd);
    if (APP_Comm_Recv_Handler != nullptr) {
        APP_Comm_Recv_Handler(pstFrame);
    }
    return 0;
}
