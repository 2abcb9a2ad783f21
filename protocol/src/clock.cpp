#include <time.h>
#include <unistd.h>

#include <atomic>

#include "send_queue.h"

namespace {

uint32_t MonotonicMs() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    // Truncated to 32 bits: wraps after about 49.7 days, which the unsigned
    // differences used everywhere absorb.
    return static_cast<uint32_t>(static_cast<uint64_t>(stNow.tv_sec) * 1000u +
                                 static_cast<uint64_t>(stNow.tv_nsec) / 1000000u);
}

std::atomic<uint32_t (*)()> g_pfnClock{MonotonicMs};

void SleepUs(uint32_t u32Us) {
    usleep(static_cast<useconds_t>(u32Us));
}

std::atomic<void (*)(uint32_t)> g_pfnPause{SleepUs};

} // namespace

uint32_t CommandProtocolClockMs() {
    return g_pfnClock.load(std::memory_order_relaxed)();
}

void CommandProtocolSetClock(uint32_t (*pfnClock)()) {
    g_pfnClock.store(pfnClock != nullptr ? pfnClock : MonotonicMs, std::memory_order_relaxed);
}

void CommandProtocolPauseUs(uint32_t u32Us) {
    g_pfnPause.load(std::memory_order_relaxed)(u32Us);
}

void CommandProtocolSetPause(void (*pfnPause)(uint32_t u32Us)) {
    g_pfnPause.store(pfnPause != nullptr ? pfnPause : SleepUs, std::memory_order_relaxed);
}
