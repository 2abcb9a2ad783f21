// Fuzz target: the mode text of the serial set-up ("115200-8n1") read by
// SerialParseMode, and whatever it read applied by SerialSetAttr to a
// pseudo-terminal opened once. The settings read back must be the ones the
// fields ask for, with the documented fallbacks.
//
// Input: any bytes; the text is the input up to its first NUL.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "board/serial.h"
#include "fuzz_support.h"
#include "serial_internal.h"

namespace {

int g_s32PtyMaster = -1;
int g_s32PtySlave = -1;

struct SerialRate {
    int s32Baud;
    speed_t u32Speed;
};

// The rates the set-up knows, written out again independently of its table.
constexpr SerialRate s_astRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

speed_t ExpectedSpeed(int s32Baud) {
    for (const SerialRate &stRate : s_astRates) {
        if (stRate.s32Baud == s32Baud) {
            return stRate.u32Speed;
        }
    }
    return B115200;
}

tcflag_t ExpectedSize(int s32DataBits) {
    switch (s32DataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzQuietStdout();
    g_s32PtyMaster = posix_openpt(O_RDWR | O_NOCTTY);
    FUZZ_CHECK(g_s32PtyMaster >= 0);
    FUZZ_CHECK(grantpt(g_s32PtyMaster) == 0 && unlockpt(g_s32PtyMaster) == 0);
    const char *pszSlave = ptsname(g_s32PtyMaster);
    FUZZ_CHECK(pszSlave != nullptr);
    g_s32PtySlave = open(pszSlave, O_RDWR | O_NOCTTY | O_NONBLOCK);
    FUZZ_CHECK(g_s32PtySlave >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    const std::string strMode(reinterpret_cast<const char *>(pu8Data), u32Size);
    SerialModeFields stFields;
    const int s32Fields = SerialParseMode(strMode.c_str(), &stFields);
    FUZZ_CHECK(s32Fields >= 0 && s32Fields <= 4);
    if (s32Fields < 4) {
        return 0;
    }

    struct termios stTio;
    memset(&stTio, 0, sizeof(stTio));
    if (SerialSetAttr(g_s32PtySlave, &stTio, stFields.s32Baud, stFields.s32DataBits,
                      stFields.cParity, stFields.s32StopBits) < 0) {
        return 0;
    }
    // What was asked for, as the record handed to the terminal says ...
    const speed_t u32Speed = ExpectedSpeed(stFields.s32Baud);
    FUZZ_CHECK(cfgetospeed(&stTio) == u32Speed && cfgetispeed(&stTio) == u32Speed);
    FUZZ_CHECK((stTio.c_cflag & CSIZE) == ExpectedSize(stFields.s32DataBits));
    const char cParity = static_cast<char>(stFields.cParity | 0x20);
    FUZZ_CHECK(((stTio.c_cflag & PARENB) != 0) == (cParity == 'e' || cParity == 'o'));
    if ((stTio.c_cflag & PARENB) != 0) {
        FUZZ_CHECK(((stTio.c_cflag & PARODD) != 0) == (cParity == 'o'));
    }
    FUZZ_CHECK(((stTio.c_cflag & CSTOPB) != 0) == (stFields.s32StopBits != 1));
    FUZZ_CHECK((stTio.c_cflag & (CREAD | CLOCAL | CRTSCTS)) == CREAD);

    // ... and as the terminal keeps it (a pseudo-terminal always works with
    // 8 bits and no parity, whatever it is asked for).
    struct termios stNow;
    FUZZ_CHECK(tcgetattr(g_s32PtySlave, &stNow) == 0);
    FUZZ_CHECK(cfgetospeed(&stNow) == u32Speed);
    FUZZ_CHECK((stNow.c_cflag & CSTOPB) == (stTio.c_cflag & CSTOPB));
    return 0;
}
