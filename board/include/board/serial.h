// Serial port set-up: open a tty device and put it into raw mode from a short
// mode text such as "115200-8n1".
#pragma once

#include <termios.h>

/// Results of SerialOpen other than a descriptor.
enum SerialOpenResult : int {
    SERIAL_OPEN_ERR_DEVICE = -1, // the device cannot be opened
    SERIAL_OPEN_ERR_MODE = -2,   // the mode text does not hold all four fields
    SERIAL_OPEN_ERR_ATTR = -3,   // the terminal settings are refused
};

/// Opens pszDevice read/write and non-blocking, and configures it from pszMode
/// ("<baud>-<data bits><parity><stop bits>", e.g. "115200-8n1", "9600-7E2").
///
/// pszDevice and pszMode must not be null. An unknown baud rate selects 115200,
/// a data-bit count other than 5..7 selects 8, a parity letter other than e/E
/// or o/O selects none, and a stop-bit count other than 1 selects two.
///
/// Returns the open descriptor (owned by the caller), or one of the
/// SerialOpenResult codes after printing its message to standard output (no
/// line feed): "could not open device %s", "invalid argument %1d from %s" (the
/// position of the first missing field) or "could not initialize device %s".
/// When a step after the open fails, the descriptor is closed before the code
/// is returned: the caller only ever sees the code, so nothing else could.
/// After SERIAL_OPEN_ERR_DEVICE and SERIAL_OPEN_ERR_ATTR, errno says why.
/// Holds no state; any thread.
int SerialOpen(const char *pszDevice, const char *pszMode);

/// Applies raw mode and the given line settings to fd, starting from *pstTio
/// (which the caller zero-fills; it is modified). Only CREAD, the speed, the
/// character size, the parity flags and the stop-bit flag are set on top of
/// raw mode; CLOCAL and CRTSCTS never are.
///
/// Returns tcsetattr's result: 0, or negative on failure.
int SerialSetAttr(int fd, struct termios *pstTio, int baud, int dataBits, char parity,
                  int stopBits);
