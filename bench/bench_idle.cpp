// Benchmarks of the protocol engine, run by hand:
//
//   1. CPU time of an idle instance (engine thread polling an empty
//      socketpair), in percent of one core, in normal and in fast mode.
//   2. Receive cost per byte of short frames through the byte assembler, in
//      bytes per second, and the number of heap allocations it makes (none for
//      short frames; one per long frame, for comparison).
//
// Usage: bench_idle [seconds per idle measurement, default 3]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "protocol_internal.h"

// Counting allocations: on glibc, without a sanitizer that owns malloc, the
// program's own malloc takes precedence over the C library's and forwards to it.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define BENCH_COUNT_MALLOC 1
extern "C" void *__libc_malloc(size_t u32Size);
static std::atomic<long> g_s64Mallocs{0};
extern "C" void *malloc(size_t u32Size) {
    g_s64Mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(u32Size);
}
#else
#define BENCH_COUNT_MALLOC 0
static std::atomic<long> g_s64Mallocs{0};
#endif

namespace {

int g_s32Fd = -1;

int SockWrite(const uint8_t *pu8Buf, int s32Len) {
    return static_cast<int>(write(g_s32Fd, pu8Buf, static_cast<size_t>(s32Len)));
}
int SockRead(uint8_t *pu8Buf, int s32Max) {
    return static_cast<int>(read(g_s32Fd, pu8Buf, static_cast<size_t>(s32Max)));
}
void Ignore(_CmdProtocolParam *) {}

double CpuSeconds() {
    rusage stUsage{};
    getrusage(RUSAGE_SELF, &stUsage);
    return static_cast<double>(stUsage.ru_utime.tv_sec + stUsage.ru_stime.tv_sec) +
           static_cast<double>(stUsage.ru_utime.tv_usec + stUsage.ru_stime.tv_usec) / 1e6;
}

/// Opens an instance on an idle socketpair, lets it settle, and returns the
/// process's CPU use over s32Seconds in percent of one core.
double IdleCpuPercent(const char *pszName, int s32Mode, int s32Seconds) {
    int asFd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, asFd) != 0) {
        return -1;
    }
    fcntl(asFd[0], F_SETFL, O_NONBLOCK);
    g_s32Fd = asFd[0];
    CmdProtocolFun stFun{};
    stFun.Write = SockWrite;
    stFun.Read = SockRead;
    stFun.DataProcessing = Ignore;
    int s32Handle = CommandProtocolOpen(&stFun, pszName, s32Mode);
    if (s32Handle < 0) {
        return -1;
    }
    // As the update tool runs it: heartbeats off, nothing queued.
    CommandProtocolHeartBeatStatue(s32Handle, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const double dCpu0 = CpuSeconds();
    const auto tWall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s32Seconds));
    const double dCpu = CpuSeconds() - dCpu0;
    const double dWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tWall0).count();

    CommandProtocolStop(s32Handle);
    CommandProtocolWaitEngineEnd(s32Handle);
    close(asFd[0]);
    close(asFd[1]);
    return 100.0 * dCpu / dWall;
}

/// Wire bytes of a frame with the given payload length.
std::vector<uint8_t> Frame(uint16_t u16Len) {
    std::vector<uint8_t> vecPayload(u16Len, 0x3C);
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = 0x0603;
    stRec.sn = 1;
    stRec.len = u16Len;
    if (u16Len <= CMD_FRAME_SHORT_MAX) {
        memset(stRec.data, 0x3C, u16Len);
    } else {
        stRec.payload = vecPayload.data();
    }
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8 = CmdParamBytes(&stRec);
    std::vector<uint8_t> vecOut(
        pu8, pu8 + (u16Len <= CMD_FRAME_SHORT_MAX ? CMD_FRAME_SHORT_LEN : CMD_FRAME_HEAD_LEN));
    if (u16Len > CMD_FRAME_SHORT_MAX) {
        vecOut.insert(vecOut.end(), vecPayload.begin(), vecPayload.end());
    }
    return vecOut;
}

/// Feeds s32Frames copies of a frame through the byte assembler; every stored
/// frame's slot is emptied at once (as the engine would). Prints bytes/s and
/// allocations per frame.
void ReceiveCost(const char *pszLabel, uint16_t u16Len, int s32Frames) {
    auto pstInst = std::make_unique<CmdProtocolInstance>();
    CmdProtocolFun stFun{};
    stFun.Write = SockWrite;
    stFun.DataProcessing = Ignore;
    CommandProtocolInstanceInit(pstInst.get(), &stFun, "bench", 0);
    const std::vector<uint8_t> vecFrame = Frame(u16Len);

    long s64Errors = 0;
    const long s64Mallocs0 = g_s64Mallocs.load();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < s32Frames; ++i) {
        for (uint8_t u8 : vecFrame) {
            if (CommandProtocolRecvOneByte(pstInst.get(), u8) != CMD_RECV_TAKEN) {
                ++s64Errors;
            }
        }
        CommandProtocolFrameClear(&pstInst->recvSlots[0]);
    }
    const double dSec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long s64Mallocs = g_s64Mallocs.load() - s64Mallocs0;
    const double dBytes = static_cast<double>(vecFrame.size()) * s32Frames;
    printf("receive %-22s %9.1f MB/s  %6.2f ns/byte  ", pszLabel, dBytes / dSec / 1e6,
           dSec * 1e9 / dBytes);
    if (BENCH_COUNT_MALLOC) {
        printf("allocations %ld (%.2f per frame)", s64Mallocs,
               static_cast<double>(s64Mallocs) / s32Frames);
    } else {
        printf("allocations not counted in this build");
    }
    printf("%s\n", s64Errors != 0 ? "  (receiver errors!)" : "");
}

} // namespace

int main(int argc, char **argv) {
    // Whole seconds, 1 to 3600; anything else measures the default 3.
    int s32Seconds = 3;
    if (argc > 1) {
        char *pszEnd = nullptr;
        const long s64Arg = strtol(argv[1], &pszEnd, 10);
        if (pszEnd != argv[1] && *pszEnd == '\0' && s64Arg > 0 && s64Arg <= 3600) {
            s32Seconds = static_cast<int>(s64Arg);
        }
    }
    elogLev = 0; // keep the instance lines out of the figures
    CommandProtocolMutexInit();

    double dNormal = IdleCpuPercent("idle", CMD_MODE_NORMAL, s32Seconds);
    double dFast = IdleCpuPercent("fast", CMD_MODE_FAST, s32Seconds);
    printf("idle engine, normal mode (5 ms passes): %.2f %% of one core\n", dNormal);
    printf("idle engine, fast mode (4 ms passes):   %.2f %% of one core\n", dFast);

    ReceiveCost("short frames (17 B)", 4, 2000000);
    ReceiveCost("long frames (77 B)", 64, 500000);
    ReceiveCost("long frames (525 B)", 512, 100000);
    return 0;
}
