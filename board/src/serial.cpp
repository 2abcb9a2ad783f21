// termios lives in this file only: every flag the port gets is set, and
// explained, in SerialSetAttr.
#include "board/serial.h"
#include "serial_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/// Reads one decimal field at *ppszText the way scanf's %d does (white space,
/// an optional sign, digits) and moves *ppszText past it. Returns false, with
/// nothing moved, when there are no digits or the value does not fit an int.
bool SerialTakeInt(const char **ppszText, int *ps32Out) {
    char *pszEnd = nullptr;
    errno = 0;
    const long s64Value = strtol(*ppszText, &pszEnd, 10);
    if (pszEnd == *ppszText || errno == ERANGE || s64Value < INT_MIN || s64Value > INT_MAX) {
        return false;
    }
    *ps32Out = static_cast<int>(s64Value);
    *ppszText = pszEnd;
    return true;
}

struct SerialSpeed {
    int s32Baud;
    speed_t u32Speed;
};

// The rates the line may run at; anything else falls back to 115200.
constexpr SerialSpeed s_astSpeedTable[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

speed_t SerialSpeedOf(int s32Baud) {
    for (const SerialSpeed &stEntry : s_astSpeedTable) {
        if (stEntry.s32Baud == s32Baud) {
            return stEntry.u32Speed;
        }
    }
    return B115200;
}

} // namespace

int SerialParseMode(const char *pszMode, SerialModeFields *pstFields) {
    *pstFields = SerialModeFields{};
    const char *psz = pszMode;
    if (!SerialTakeInt(&psz, &pstFields->s32Baud)) {
        return 0;
    }
    if (*psz != '-') {
        return 1;
    }
    ++psz;
    if (!SerialTakeInt(&psz, &pstFields->s32DataBits)) {
        return 1;
    }
    if (*psz == '\0') {
        return 2;
    }
    pstFields->cParity = *psz++; // any character, white space included
    if (!SerialTakeInt(&psz, &pstFields->s32StopBits)) {
        return 3;
    }
    return 4;
}

int SerialOpen(const char *pszDevice, const char *pszMode) {
    struct termios stTio;
    memset(&stTio, 0, sizeof(stTio));

    // Non-blocking, so that a read on an idle line returns at once and the
    // protocol's polling loop never stalls in it.
    int fd = open(pszDevice, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        const int s32Err = errno; // kept for the caller's log record
        printf("could not open device %s", pszDevice);
        errno = s32Err;
        return SERIAL_OPEN_ERR_DEVICE;
    }

    SerialModeFields stFields;
    int s32Fields = SerialParseMode(pszMode, &stFields);
    if (s32Fields < 4) {
        printf("invalid argument %1d from %s", s32Fields + 1, pszMode);
        close(fd);
        return SERIAL_OPEN_ERR_MODE;
    }

    if (SerialSetAttr(fd, &stTio, stFields.s32Baud, stFields.s32DataBits, stFields.cParity,
                      stFields.s32StopBits) < 0) {
        const int s32Err = errno;
        printf("could not initialize device %s", pszDevice);
        close(fd);
        errno = s32Err;
        return SERIAL_OPEN_ERR_ATTR;
    }
    return fd;
}

int SerialSetAttr(int fd, struct termios *pstTio, int baud, int dataBits, char parity,
                  int stopBits) {
    // Raw mode: no line editing, no echo, no signal characters, no input or
    // output translation; bytes pass through exactly as sent. The record
    // starts all zero, so nothing beyond what raw mode sets is switched on.
    cfmakeraw(pstTio);
    // CREAD: without it the receiver is off and no byte ever arrives.
    pstTio->c_cflag |= CREAD;

    // Line speed, the same in both directions.
    speed_t u32Speed = SerialSpeedOf(baud);
    cfsetispeed(pstTio, u32Speed);
    cfsetospeed(pstTio, u32Speed);

    // Parity: setting bit 0x20 folds an upper-case letter to lower case.
    switch (parity | 0x20) {
    case 'e':
        pstTio->c_cflag |= PARENB;  // generate and check a parity bit ...
        pstTio->c_cflag &= ~PARODD; // ... for even parity
        break;
    case 'o':
        pstTio->c_cflag |= PARENB; // generate and check a parity bit ...
        pstTio->c_cflag |= PARODD; // ... for odd parity
        break;
    default:
        pstTio->c_cflag &= ~PARENB; // no parity bit on the line
        break;
    }

    // Character size: CSIZE is a multi-bit field, so clear it before setting one size.
    pstTio->c_cflag &= ~CSIZE;
    switch (dataBits) {
    case 5:
        pstTio->c_cflag |= CS5;
        break;
    case 6:
        pstTio->c_cflag |= CS6;
        break;
    case 7:
        pstTio->c_cflag |= CS7;
        break;
    default:
        pstTio->c_cflag |= CS8;
        break;
    }

    // Stop bits: CSTOPB clear means one stop bit, set means two.
    if (stopBits == 1) {
        pstTio->c_cflag &= ~CSTOPB;
    } else {
        pstTio->c_cflag |= CSTOPB;
    }

    // CLOCAL and CRTSCTS stay clear: the microcontroller's link has neither
    // modem lines to ignore nor hardware flow control. VMIN and VTIME stay as
    // raw mode leaves them; the descriptor is non-blocking anyway.
    return tcsetattr(fd, TCSANOW, pstTio);
}
