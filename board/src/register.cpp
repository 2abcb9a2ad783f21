// Register access through "/dev/mem" and the serial ports' pin routing.
#include "board/register.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace {

constexpr uint32_t PAGE_SIZE_BYTES = 0x1000;
constexpr uint32_t PAGE_OFFSET_MASK = PAGE_SIZE_BYTES - 1;

constexpr const char *DEFAULT_MEM_DEVICE = "/dev/mem";

// The physical-memory device: opened once and kept for the life of the
// process. A value not greater than 0 counts as not open, so a failed open is
// retried by the next mapping.
int s_s32MemFd = -1;
char s_szMemDevice[PATH_MAX] = "/dev/mem";
// Serialises the check-and-open of s_s32MemFd; mappings run outside it.
pthread_mutex_t s_stMemFdMutex = PTHREAD_MUTEX_INITIALIZER;

// Length of the mapping that covers u32Size bytes from page offset
// u32Offset: every whole page those bytes touch. Computed in 64 bits so that
// a size near 4 GiB cannot wrap into a short mapping.
size_t PhysMemMapLength(uint32_t u32Offset, uint32_t u32Size) {
    uint64_t u64Last = static_cast<uint64_t>(u32Size) - 1 + u32Offset;
    return static_cast<size_t>((u64Last & ~static_cast<uint64_t>(PAGE_OFFSET_MASK)) +
                               PAGE_SIZE_BYTES);
}

// GPIO bank layout: data of line n at base + (4 << n) (a write there changes
// line n only), direction at +0x400 (bit set: output), interrupt enable at
// +0x410 (bit clear: no interrupt).
constexpr uint32_t GPIO_DIR_OFFSET = 0x400;
constexpr uint32_t GPIO_INT_ENABLE_OFFSET = 0x410;

constexpr uint32_t GpioDataAddr(uint32_t u32Bank, uint32_t u32Line) {
    return u32Bank + (4u << u32Line);
}

constexpr uint32_t GPIO_BANK_MODE_A = 0x12150000; // first port's mode lines
constexpr uint32_t GPIO_BANK_UART = 0x12170000;   // enable lines, second port's mode lines
constexpr uint32_t GPIO_BANK_SHARED = 0x12220000; // mode line shared by both ports

struct GpioLine {
    uint32_t u32Bank;
    uint32_t u32Line;
};

constexpr GpioLine SHARED_MODE_LINE = {GPIO_BANK_SHARED, 5};
constexpr uint32_t SHARED_MODE_CFG = 0x120F09B4;
constexpr uint32_t MODE_CFG_GPIO = 0x200; // pin configuration value of the first port's mode pins

// Everything the routing touches for one port.
struct UartPort {
    uint32_t au32EnableCfg[2]; // written 1 when enabled, 0 when disabled
    uint32_t u32ClearCfg;      // written 0 in both cases
    GpioLine stEnableLine;     // low = port enabled
    uint32_t au32ModeCfg[2];   // mode-line pin configuration words
    uint32_t u32ModeCfgValue;
    GpioLine stModeLineA;
    GpioLine stModeLineB;
};

constexpr UartPort FIRST_PORT = {
    {0x120F00F8, 0x120F00FC}, 0x120F00B4,    {GPIO_BANK_UART, 2},
    {0x120F09C8, 0x120F09D0}, MODE_CFG_GPIO, {GPIO_BANK_MODE_A, 0},
    {GPIO_BANK_MODE_A, 2},
};

constexpr UartPort SECOND_PORT = {
    {0x120F0100, 0x120F0104}, 0x120F00B0,          {GPIO_BANK_UART, 3}, {0x120F0044, 0x120F0040}, 0,
    {GPIO_BANK_UART, 7},      {GPIO_BANK_UART, 6},
};

// Makes a line an output at u32Level: direction first, then its interrupt
// off before the level changes, so driving the line raises no interrupt.
void GpioSetOutput(const GpioLine &stLine, uint32_t u32Level) {
    RegisterSetBit(stLine.u32Bank + GPIO_DIR_OFFSET, stLine.u32Line, 1);
    RegisterSetBit(stLine.u32Bank + GPIO_INT_ENABLE_OFFSET, stLine.u32Line, 0);
    RegisterSetBit(GpioDataAddr(stLine.u32Bank, stLine.u32Line), stLine.u32Line, u32Level);
}

void UartEnableStep(const UartPort &stPort, int s32Enable) {
    uint32_t u32Enable = s32Enable != 0 ? 1 : 0;
    RegisterWrite(stPort.au32EnableCfg[0], u32Enable);
    RegisterWrite(stPort.au32EnableCfg[1], u32Enable);
    RegisterWrite(stPort.u32ClearCfg, 0);
    GpioSetOutput(stPort.stEnableLine, 1 - u32Enable); // the enable line is active low
}

void UartModeStep(const UartPort &stPort, int s32Mode) {
    RegisterWrite(stPort.au32ModeCfg[0], stPort.u32ModeCfgValue);
    RegisterWrite(stPort.au32ModeCfg[1], stPort.u32ModeCfgValue);

    const GpioLine &stA = stPort.stModeLineA;
    const GpioLine &stB = stPort.stModeLineB;
    RegisterSetBit(stA.u32Bank + GPIO_DIR_OFFSET, stA.u32Line, 1);
    RegisterSetBit(stB.u32Bank + GPIO_DIR_OFFSET, stB.u32Line, 1);
    RegisterSetBit(stA.u32Bank + GPIO_INT_ENABLE_OFFSET, stA.u32Line, 0);
    RegisterSetBit(stB.u32Bank + GPIO_INT_ENABLE_OFFSET, stB.u32Line, 0);

    // Levels of lines A and B per mode; other modes leave the levels alone.
    uint32_t u32LevelA = 0;
    uint32_t u32LevelB = 0;
    switch (s32Mode) {
    case 4:
        u32LevelA = 1;
        u32LevelB = 1;
        break;
    case 5:
        break;
    case 6:
        u32LevelA = 1;
        break;
    case 7:
        u32LevelB = 1;
        break;
    default:
        return;
    }
    RegisterSetBit(GpioDataAddr(stA.u32Bank, stA.u32Line), stA.u32Line, u32LevelA);
    RegisterSetBit(GpioDataAddr(stB.u32Bank, stB.u32Line), stB.u32Line, u32LevelB);

    if (s32Mode == 6) {
        // Only mode 6 needs the shared line, and then low.
        RegisterWrite(SHARED_MODE_CFG, MODE_CFG_GPIO);
        GpioSetOutput(SHARED_MODE_LINE, 0);
    }
}

bool DeviceHasPrefix(const char *pszDevice, const char *pszPrefix, size_t u32Len) {
    return strncasecmp(pszDevice, pszPrefix, u32Len) == 0;
}

} // namespace

void UartPinRoute(const char *pszDevice, int s32Enable, int s32Mode) {
    const UartPort *pstPort = nullptr;
    if (pszDevice != nullptr) {
        if (DeviceHasPrefix(pszDevice, "/dev/ttyAMA1", 12) ||
            DeviceHasPrefix(pszDevice, "/dev/ttyS0", 10)) {
            pstPort = &FIRST_PORT;
        } else if (DeviceHasPrefix(pszDevice, "/dev/ttyAMA2", 12)) {
            pstPort = &SECOND_PORT;
        }
    }
    if (pstPort == nullptr) {
        printf("no support UART");
        // An unknown port: leave neither known port driving its pins.
        UartEnableStep(FIRST_PORT, 0);
        UartEnableStep(SECOND_PORT, 0);
        return;
    }
    UartEnableStep(*pstPort, s32Enable);
    UartModeStep(*pstPort, s32Mode);
}

int RegisterWrite(uint32_t u32Addr, uint32_t u32Value) {
    int s32Status = REGISTER_ERR;
    void *pvReg = PhysMemMap(u32Addr, sizeof(uint32_t));
    if (pvReg != nullptr) {
        // One 32-bit store: registers do not tolerate split or merged accesses.
        *static_cast<volatile uint32_t *>(pvReg) = u32Value;
        s32Status = PhysMemUnmap(pvReg, sizeof(uint32_t));
        if (s32Status == 0) {
            return REGISTER_OK;
        }
    }
    printf("set addr 0x%x val 0x%x fail<0x%x>\n", u32Addr, u32Value,
           static_cast<unsigned>(s32Status));
    return REGISTER_ERR;
}

int RegisterSetBit(uint32_t u32Addr, uint32_t u32Pos, uint32_t u32Value) {
    void *pvReg = PhysMemMap(u32Addr, sizeof(uint32_t));
    if (pvReg == nullptr) {
        printf("get addr 0x%x fail<0x%x>\n", u32Addr, static_cast<unsigned>(REGISTER_ERR));
        return REGISTER_ERR;
    }
    uint32_t u32Word = *static_cast<volatile uint32_t *>(pvReg);
    int s32Status = PhysMemUnmap(pvReg, sizeof(uint32_t));
    if (s32Status != 0) {
        printf("get addr 0x%x fail<0x%x>\n", u32Addr, static_cast<unsigned>(s32Status));
        return REGISTER_ERR;
    }

    // Shifting a 32-bit value by 32 or more is undefined; such a position
    // names no bit of the register and leaves the word as it is.
    uint32_t u32Mask = u32Pos < 32 ? (1u << u32Pos) : 0;
    if (u32Value == 0) {
        u32Word &= ~u32Mask;
    } else if (u32Value == 1) {
        u32Word |= u32Mask;
    } else {
        printf("set addr<0x%x> pos<%d> val<%u> err\n", u32Addr, static_cast<int>(u32Pos), u32Value);
        return REGISTER_ERR;
    }

    pvReg = PhysMemMap(u32Addr, sizeof(uint32_t));
    if (pvReg == nullptr) {
        printf("set addr 0x%x fail<0x%x>\n", u32Addr, static_cast<unsigned>(REGISTER_ERR));
        return REGISTER_ERR;
    }
    *static_cast<volatile uint32_t *>(pvReg) = u32Word;
    s32Status = PhysMemUnmap(pvReg, sizeof(uint32_t));
    if (s32Status != 0) {
        printf("set addr 0x%x fail<0x%x>\n", u32Addr, static_cast<unsigned>(s32Status));
        return REGISTER_ERR;
    }
    return REGISTER_OK;
}

void *PhysMemMap(uint32_t u32Addr, uint32_t u32Size) {
    pthread_mutex_lock(&s_stMemFdMutex);
    if (s_s32MemFd <= 0) {
        // O_DSYNC: a register store must reach the device, not sit in a cache.
        s_s32MemFd = open(s_szMemDevice, O_RDWR | O_DSYNC);
        if (s_s32MemFd < 0) {
            perror("Open dev/mem error");
            pthread_mutex_unlock(&s_stMemFdMutex);
            return nullptr;
        }
    }
    int s32Fd = s_s32MemFd;
    pthread_mutex_unlock(&s_stMemFdMutex);

    uint32_t u32Offset = u32Addr & PAGE_OFFSET_MASK;
    void *pvMap = MAP_FAILED;
    if (u32Size == 0) {
        errno = EINVAL; // nothing to map; report it like any refused mapping
    } else {
        pvMap = mmap(nullptr, PhysMemMapLength(u32Offset, u32Size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, s32Fd, static_cast<off_t>(u32Addr & ~PAGE_OFFSET_MASK));
    }
    if (pvMap == MAP_FAILED) {
        perror("mmap error");
        return nullptr;
    }
    return static_cast<unsigned char *>(pvMap) + u32Offset;
}

int PhysMemUnmap(void *pvAddr, uint32_t u32Size) {
    if (pvAddr == nullptr) {
        // The result below reports the fault; the message is only a courtesy.
        (void)fputs("Null point \n", stderr);
        return static_cast<int>(PHYS_MEM_ERR_NULL_PTR);
    }
    uintptr_t uAddr = reinterpret_cast<uintptr_t>(pvAddr);
    uint32_t u32Offset = static_cast<uint32_t>(uAddr & PAGE_OFFSET_MASK);
    void *pvStart = reinterpret_cast<void *>(uAddr & ~static_cast<uintptr_t>(PAGE_OFFSET_MASK));
    return munmap(pvStart, PhysMemMapLength(u32Offset, u32Size));
}

void PhysMemSetDevice(const char *pszPath) {
    pthread_mutex_lock(&s_stMemFdMutex);
    const int s32Len = snprintf(s_szMemDevice, sizeof(s_szMemDevice), "%s",
                                pszPath != nullptr ? pszPath : DEFAULT_MEM_DEVICE);
    if (s32Len < 0 || static_cast<size_t>(s32Len) >= sizeof(s_szMemDevice)) {
        // Cut short, the path could name some other file: stored empty, it
        // makes the next map fail instead.
        s_szMemDevice[0] = '\0';
    }
    if (s_s32MemFd > 0) {
        close(s_s32MemFd);
    }
    s_s32MemFd = -1;
    pthread_mutex_unlock(&s_stMemFdMutex);
}
