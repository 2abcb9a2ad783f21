// The simulator's end of the serial link: the protocol's Write callback on
// it, a reader thread that feeds received bytes into the protocol instance as
// soon as they arrive (CommandInterfaceRead2), seeded faults in both
// directions, optional pacing at a baud rate, and the line's counters. The
// link itself is made by irsim_pty.cpp; irsim_sniff.cpp watches the frames.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "irsim.h"

namespace {

// Bytes held for pacing in each direction; beyond this the line overruns
// and the excess is lost, as on a real UART whose reader falls behind.
constexpr size_t IRSIM_PACE_BACKLOG = size_t{64} * 1024;
// How long an unpaced write waits for room in the pty before giving up.
constexpr int IRSIM_WRITE_WAIT_MS = 200;
constexpr int IRSIM_NOISE_MAX = 16;

IrsimOptions s_stOpt;
int s_fd = -1;
bool s_bLinkMade = false;

// One generator per direction: the faults of one direction do not shift
// when the other direction carries more or fewer bytes. IrsimLineOpen makes
// them from --seed before any byte passes.
std::optional<std::mt19937_64> s_optRxRng;
std::optional<std::mt19937_64> s_optTxRng;

std::atomic<bool> s_bSeen{false};
std::atomic<bool> s_bHungUp{false};

struct LineCounters {
    uint64_t u64RxBytes = 0;
    uint64_t u64RxCorrupted = 0;
    uint64_t u64RxDropped = 0;
    uint64_t u64RxOverrun = 0;
    uint64_t u64TxBytes = 0;
    uint64_t u64TxCorrupted = 0;
    uint64_t u64TxDropped = 0;
    uint64_t u64TxOverrun = 0;
    uint64_t u64TxLost = 0; // the pty would not take them
    uint64_t u64NoiseBursts = 0;
    uint64_t u64NoiseBytes = 0;
    uint64_t u64AcksWithheld = 0;
    uint64_t u64Silenced = 0;
};
// Written on the engine thread (and the tx counters by the pacing thread
// under s_objTxMutex); read by the main thread once the engine has ended.
LineCounters s_stCount;

// --- time ------------------------------------------------------------------

uint64_t NowUs() {
    return IrsimNowUs();
}

void SleepUntilUs(uint64_t u64When) {
    uint64_t u64Now = NowUs();
    if (u64When > u64Now) {
        usleep(static_cast<useconds_t>(u64When - u64Now));
    }
}

uint64_t ByteTimeUs() {
    return s_stOpt.u32Baud == 0 ? 0 : 10000000u / s_stOpt.u32Baud;
}

bool Chance(std::mt19937_64 &objRng, double dFraction) {
    if (dFraction <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(objRng) < dFraction;
}

// --- sending ---------------------------------------------------------------

/// Writes all bytes to the link, waiting a little for room; what the pty will
/// not take (no reader for a long time, or the tool gone) is lost.
void WriteRaw(const uint8_t *pu8Buf, size_t u32Len) {
    size_t u32Done = 0;
    while (u32Done < u32Len) {
        ssize_t n = write(s_fd, pu8Buf + u32Done, u32Len - u32Done);
        if (n > 0) {
            IrsimCaptureBytes(false, pu8Buf + u32Done, static_cast<size_t>(n));
            u32Done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd stPoll{s_fd, POLLOUT, 0};
            if (poll(&stPoll, 1, IRSIM_WRITE_WAIT_MS) > 0 && (stPoll.revents & POLLOUT) != 0) {
                continue;
            }
        }
        break;
    }
    s_stCount.u64TxLost += u32Len - u32Done;
}

// Pacing of the sending direction: a thread drains a queue at the line rate,
// so that the protocol's engine never sleeps in Write.
std::mutex s_objTxMutex;
std::condition_variable s_objTxCond;
/// Bytes waiting for their time on the line (under s_objTxMutex); built at
/// first use rather than before main.
std::deque<uint8_t> &TxQueue() {
    static std::deque<uint8_t> s_dqTx;
    return s_dqTx;
}
bool s_bTxStop = false;
std::thread s_objTxThread;

void TxPacer() {
    const uint64_t u64ByteUs = ByteTimeUs();
    // About a millisecond's worth of bytes per write keeps the pace smooth
    // without a system call per byte.
    const size_t u32Burst = std::max<size_t>(1, s_stOpt.u32Baud / 10 / 1000);
    uint64_t u64LineFree = 0;
    std::vector<uint8_t> vecBurst;
    std::deque<uint8_t> &dqTx = TxQueue();
    for (;;) {
        {
            std::unique_lock<std::mutex> objLock(s_objTxMutex);
            s_objTxCond.wait(objLock, [&dqTx] { return s_bTxStop || !dqTx.empty(); });
            if (dqTx.empty()) {
                return;
            }
            size_t n = std::min(u32Burst, dqTx.size());
            vecBurst.assign(dqTx.begin(), dqTx.begin() + static_cast<long>(n));
            dqTx.erase(dqTx.begin(), dqTx.begin() + static_cast<long>(n));
        }
        uint64_t u64Now = NowUs();
        if (u64LineFree < u64Now) {
            u64LineFree = u64Now;
        }
        u64LineFree += u64ByteUs * vecBurst.size();
        // The bytes are handed over when the last of them has crossed the line.
        SleepUntilUs(u64LineFree);
        std::lock_guard<std::mutex> objLock(s_objTxMutex);
        WriteRaw(vecBurst.data(), vecBurst.size());
    }
}

void Emit(const std::vector<uint8_t> &vecBytes) {
    if (vecBytes.empty()) {
        return;
    }
    if (s_stOpt.u32Baud == 0) {
        WriteRaw(vecBytes.data(), vecBytes.size());
        return;
    }
    std::lock_guard<std::mutex> objLock(s_objTxMutex);
    std::deque<uint8_t> &dqTx = TxQueue();
    for (uint8_t u8Byte : vecBytes) {
        if (dqTx.size() >= IRSIM_PACE_BACKLOG) {
            ++s_stCount.u64TxOverrun;
            continue;
        }
        dqTx.push_back(u8Byte);
    }
    s_objTxCond.notify_one();
}

// --- receiving -------------------------------------------------------------

int s_s32Handle = -1;
std::atomic<bool> s_bRxStop{false};
std::thread s_objRxThread;

// Pacing of the receiving direction: each byte read from the pty becomes
// available one byte time after the previous one.
std::deque<std::pair<uint64_t, uint8_t>> &RxQueue() {
    static std::deque<std::pair<uint64_t, uint8_t>> s_dqRx;
    return s_dqRx;
}
uint64_t s_u64RxLastReady = 0;

/// Takes one byte as it has crossed the line: sniffs it, then applies the
/// faults. True when the byte survives (possibly altered) into *pu8Byte.
bool RxFault(uint8_t *pu8Byte) {
    ++s_stCount.u64RxBytes;
    IrsimSniffByte(*pu8Byte);
    if (Chance(*s_optRxRng, s_stOpt.dDropRx)) {
        ++s_stCount.u64RxDropped;
        return false;
    }
    if (Chance(*s_optRxRng, s_stOpt.dCorruptRx)) {
        *pu8Byte ^= static_cast<uint8_t>(1 + (*s_optRxRng)() % 255);
        ++s_stCount.u64RxCorrupted;
    }
    return true;
}

/// Hands bytes that have crossed the line to the protocol instance.
void Deliver(const uint8_t *pu8Bytes, int s32Count) {
    uint8_t au8Out[1024];
    int s32Out = 0;
    for (int i = 0; i < s32Count; ++i) {
        uint8_t u8Byte = pu8Bytes[i];
        if (RxFault(&u8Byte)) {
            au8Out[s32Out++] = u8Byte;
        }
        if (s32Out == static_cast<int>(sizeof(au8Out)) || (i + 1 == s32Count && s32Out > 0)) {
            CommandInterfaceRead2(s_s32Handle, au8Out, s32Out);
            s32Out = 0;
        }
    }
}

/// The reader thread: waits for bytes on the link and feeds them in at once
/// (or, paced, when they would have crossed the line), so answers do not wait
/// for the engine's next poll.
void RxReader() {
    const uint64_t u64ByteUs = ByteTimeUs();
    uint8_t au8Raw[1024];
    std::deque<std::pair<uint64_t, uint8_t>> &dqRx = RxQueue();
    while (!s_bRxStop.load()) {
        // Wake for new bytes, for the next paced byte's time (to the
        // microsecond, so a backlog is not spun on), or to look at the stop flag.
        uint64_t u64WaitUs = 20000;
        if (!dqRx.empty()) {
            uint64_t u64Now = NowUs();
            uint64_t u64Due = dqRx.front().first;
            u64WaitUs = u64Due <= u64Now ? 0 : std::min<uint64_t>(u64Due - u64Now, u64WaitUs);
        }
        const timespec stWait{0, static_cast<long>(u64WaitUs * 1000)};
        pollfd stPoll{s_fd, POLLIN, 0};
        int s32Ready = ppoll(&stPoll, 1, &stWait, nullptr);
        if (s32Ready > 0 && (stPoll.revents & POLLIN) != 0) {
            ssize_t n = read(s_fd, au8Raw, sizeof(au8Raw));
            if (n > 0) {
                s_bSeen = true;
                IrsimCaptureBytes(true, au8Raw, static_cast<size_t>(n));
                s_bHungUp = false;
                if (u64ByteUs == 0) {
                    Deliver(au8Raw, static_cast<int>(n));
                } else {
                    uint64_t u64Now = NowUs();
                    for (ssize_t i = 0; i < n; ++i) {
                        if (dqRx.size() >= IRSIM_PACE_BACKLOG) {
                            ++s_stCount.u64RxOverrun;
                            continue;
                        }
                        s_u64RxLastReady = std::max(s_u64RxLastReady, u64Now) + u64ByteUs;
                        dqRx.emplace_back(s_u64RxLastReady, au8Raw[i]);
                    }
                }
            } else if (n < 0 && errno == EIO) {
                s32Ready = -1; // handled below like a hang-up
                stPoll.revents = POLLHUP;
            }
        }
        if (s32Ready != 0 && (stPoll.revents & (POLLHUP | POLLERR)) != 0 &&
            (stPoll.revents & POLLIN) == 0) {
            // Nobody holds the pty's other end: before the tool has opened it,
            // or after it has gone. Poll would report this at once, forever.
            if (s_bSeen.load()) {
                s_bHungUp = true;
            }
            usleep(5000);
        }
        if (!dqRx.empty()) {
            uint64_t u64Now = NowUs();
            uint8_t au8Due[1024];
            int s32Due = 0;
            while (s32Due < static_cast<int>(sizeof(au8Due)) && !dqRx.empty() &&
                   dqRx.front().first <= u64Now) {
                au8Due[s32Due++] = dqRx.front().second;
                dqRx.pop_front();
            }
            Deliver(au8Due, s32Due);
        }
    }
}

} // namespace

int IrsimLineOpen(const IrsimOptions &stOpt) {
    s_stOpt = stOpt;
    s_optRxRng.emplace(stOpt.u64Seed * 2 + 1);
    s_optTxRng.emplace(stOpt.u64Seed * 2 + 2);
    if (IrsimCaptureOpen(stOpt.strCapture) != 0) {
        return -1;
    }

    s_fd = IrsimPtyOpen(stOpt, &s_bLinkMade);
    if (s_fd < 0) {
        return -1;
    }
    IrsimFlush();

    return 0;
}

void IrsimLineStart(int s32Handle) {
    s_s32Handle = s32Handle;
    if (s_stOpt.u32Baud != 0) {
        s_bTxStop = false;
        s_objTxThread = std::thread(TxPacer);
    }
    s_bRxStop = false;
    s_objRxThread = std::thread(RxReader);
}

void IrsimLineStopReading() {
    if (s_objRxThread.joinable()) {
        s_bRxStop = true;
        s_objRxThread.join();
    }
}

void IrsimLineClose() {
    IrsimLineStopReading();
    if (s_objTxThread.joinable()) {
        {
            std::lock_guard<std::mutex> objLock(s_objTxMutex);
            s_bTxStop = true;
            // Whatever is still queued would reach nobody in time; drop it.
            s_stCount.u64TxOverrun += TxQueue().size();
            TxQueue().clear();
        }
        s_objTxCond.notify_one();
        s_objTxThread.join();
    }
    if (s_bLinkMade) {
        unlink(s_stOpt.strLink.c_str());
        s_bLinkMade = false;
    }
    if (s_fd >= 0) {
        close(s_fd);
        s_fd = -1;
    }
    IrsimCaptureClose();
}

int IrsimLineWrite(const uint8_t *pu8Buf, int s32Len) {
    if (s32Len <= 0 || pu8Buf == nullptr) {
        return 0;
    }
    if (s_stOpt.bSilent) {
        s_stCount.u64Silenced += static_cast<uint64_t>(s32Len);
        return 0;
    }
    const bool bFrameStart =
        s32Len >= 2 && pu8Buf[0] == CMD_FRAME_SYNC1 && pu8Buf[1] == CMD_FRAME_SYNC2;
    // Acknowledgements go out as one 17-byte write with command 0.
    const bool bAck =
        bFrameStart && s32Len == CMD_FRAME_SHORT_LEN && pu8Buf[11] == 0 && pu8Buf[12] == 0;
    if (bAck && Chance(*s_optTxRng, s_stOpt.dWithholdAck)) {
        ++s_stCount.u64AcksWithheld;
        return 0;
    }
    std::vector<uint8_t> vecOut;
    vecOut.reserve(static_cast<size_t>(s32Len) + IRSIM_NOISE_MAX);
    if (bFrameStart && Chance(*s_optTxRng, s_stOpt.dGarbage)) {
        int s32Noise = 1 + static_cast<int>((*s_optTxRng)() % IRSIM_NOISE_MAX);
        for (int i = 0; i < s32Noise; ++i) {
            vecOut.push_back(static_cast<uint8_t>((*s_optTxRng)()));
        }
        ++s_stCount.u64NoiseBursts;
        s_stCount.u64NoiseBytes += static_cast<uint64_t>(s32Noise);
    }
    for (int i = 0; i < s32Len; ++i) {
        uint8_t u8Byte = pu8Buf[i];
        if (Chance(*s_optTxRng, s_stOpt.dDropTx)) {
            ++s_stCount.u64TxDropped;
            continue;
        }
        if (Chance(*s_optTxRng, s_stOpt.dCorruptTx)) {
            u8Byte ^= static_cast<uint8_t>(1 + (*s_optTxRng)() % 255);
            ++s_stCount.u64TxCorrupted;
        }
        vecOut.push_back(u8Byte);
    }
    s_stCount.u64TxBytes += static_cast<uint64_t>(s32Len);
    Emit(vecOut);
    if (bFrameStart && s32Len == CMD_FRAME_SHORT_LEN &&
        (pu8Buf[11] | pu8Buf[12] << 8) == IR_CMD_UPDATE_NEXT) {
        IrsimSniffRequestWritten();
    }
    return 0;
}

bool IrsimLineHungUp() {
    return s_bHungUp.load();
}

void IrsimLinePrintSummary() {
    const LineCounters &c = s_stCount;
    printf("irsim: rx-bytes %llu\n", static_cast<unsigned long long>(c.u64RxBytes));
    printf("irsim: tx-bytes %llu\n", static_cast<unsigned long long>(c.u64TxBytes));
    IrsimSniffPrintFrames();
    printf("irsim: faults rx-corrupted %llu rx-dropped %llu tx-corrupted %llu tx-dropped %llu "
           "noise-bursts %llu noise-bytes %llu acks-withheld %llu\n",
           static_cast<unsigned long long>(c.u64RxCorrupted),
           static_cast<unsigned long long>(c.u64RxDropped),
           static_cast<unsigned long long>(c.u64TxCorrupted),
           static_cast<unsigned long long>(c.u64TxDropped),
           static_cast<unsigned long long>(c.u64NoiseBursts),
           static_cast<unsigned long long>(c.u64NoiseBytes),
           static_cast<unsigned long long>(c.u64AcksWithheld));
    IrsimSniffPrintTurnarounds();
    if (c.u64RxOverrun != 0 || c.u64TxOverrun != 0 || c.u64TxLost != 0) {
        printf("irsim: line-lost rx-overrun %llu tx-overrun %llu tx-unwritten %llu\n",
               static_cast<unsigned long long>(c.u64RxOverrun),
               static_cast<unsigned long long>(c.u64TxOverrun),
               static_cast<unsigned long long>(c.u64TxLost));
    }
}
