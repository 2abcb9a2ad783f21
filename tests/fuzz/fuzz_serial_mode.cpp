// Fuzz target: the serial set-up's mode text ("115200-8n1", the input up to
// its first NUL) read by SerialParseMode, and what it read applied by
// SerialSetAttr to a pseudo-terminal opened once. The record must carry
// what the fields ask for (one speed both ways, 5..7 bits or else 8, parity
// e or o in either case or none, one stop bit for 1 or else two, no
// modem-line ignore, no flow control), and the terminal must keep its speed.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "board/serial.h"
#include "serial_internal.h"

#define FUZZ_CHECK(cond) ((cond) ? void(0) : abort())

namespace {
int g_s32Pty = -1;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const int s32Master = posix_openpt(O_RDWR | O_NOCTTY);
    FUZZ_CHECK(s32Master >= 0 && grantpt(s32Master) == 0 && unlockpt(s32Master) == 0);
    g_s32Pty = open(ptsname(s32Master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    FUZZ_CHECK(g_s32Pty >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    const std::string strMode(reinterpret_cast<const char *>(pu8Data), u32Size);
    SerialModeFields stFields;
    const int s32Fields = SerialParseMode(strMode.c_str(), &stFields);
    FUZZ_CHECK(s32Fields >= 0 && s32Fields <= 4);
    struct termios stTio;
    memset(&stTio, 0, sizeof(stTio));
    if (s32Fields < 4 || SerialSetAttr(g_s32Pty, &stTio, stFields.s32Baud, stFields.s32DataBits,
                                       stFields.cParity, stFields.s32StopBits) < 0) {
        return 0;
    }
    const speed_t u32Speed = cfgetospeed(&stTio);
    FUZZ_CHECK(cfgetispeed(&stTio) == u32Speed);
    const int s32Bits =
        stFields.s32DataBits >= 5 && stFields.s32DataBits <= 7 ? stFields.s32DataBits : 8;
    FUZZ_CHECK((stTio.c_cflag & CSIZE) == (s32Bits == 5   ? CS5
                                           : s32Bits == 6 ? CS6
                                           : s32Bits == 7 ? CS7
                                                          : CS8));
    const char cParity = static_cast<char>(stFields.cParity | 0x20);
    FUZZ_CHECK(((stTio.c_cflag & PARENB) != 0) == (cParity == 'e' || cParity == 'o'));
    FUZZ_CHECK(((stTio.c_cflag & PARODD) != 0) == (cParity == 'o'));
    FUZZ_CHECK(((stTio.c_cflag & CSTOPB) != 0) == (stFields.s32StopBits != 1));
    FUZZ_CHECK((stTio.c_cflag & (CREAD | CLOCAL | CRTSCTS)) == CREAD);
    // A pseudo-terminal always works with 8 bits and no parity, but keeps the speed.
    struct termios stNow;
    FUZZ_CHECK(tcgetattr(g_s32Pty, &stNow) == 0 && cfgetospeed(&stNow) == u32Speed);
    return 0;
}
