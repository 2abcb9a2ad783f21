// The link itself: a given serial device set to the microcontroller's line,
// or a new pty (raw from the start), with an optional symbolic link to it.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "irsim.h"

int IrsimPtyOpen(const IrsimOptions &stOpt, bool *pbLinkMade) {
    int fd = -1;
    if (!stOpt.strDevice.empty()) {
        fd = open(stOpt.strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            printf("irsim: cannot open %s: %s\n", stOpt.strDevice.c_str(), strerror(errno));
            return -1;
        }
        termios stTio{};
        if (tcgetattr(fd, &stTio) == 0) {
            // A real serial port: raw bytes, 115200-8n1, the microcontroller's line.
            cfmakeraw(&stTio);
            cfsetispeed(&stTio, B115200);
            cfsetospeed(&stTio, B115200);
            stTio.c_cflag |= CLOCAL | CREAD;
            stTio.c_cflag &= ~(CSTOPB | PARENB);
            tcsetattr(fd, TCSANOW, &stTio);
        }
        printf("irsim: device %s\n", stOpt.strDevice.c_str());
    } else {
        fd = posix_openpt(O_RDWR | O_NOCTTY);
        char acSlave[128] = {};
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 ||
            ptsname_r(fd, acSlave, sizeof(acSlave)) != 0) {
            printf("irsim: cannot create a pty: %s\n", strerror(errno));
            if (fd >= 0) {
                close(fd);
            }
            return -1;
        }
        // Raw from the start, so nothing is echoed or translated should a byte
        // arrive before the tool sets the port up itself.
        int s32Slave = open(acSlave, O_RDWR | O_NOCTTY);
        if (s32Slave >= 0) {
            termios stTio{};
            if (tcgetattr(s32Slave, &stTio) == 0) {
                cfmakeraw(&stTio);
                cfsetispeed(&stTio, B115200);
                cfsetospeed(&stTio, B115200);
                tcsetattr(s32Slave, TCSANOW, &stTio);
            }
            close(s32Slave);
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (!stOpt.strLink.empty()) {
            unlink(stOpt.strLink.c_str());
            if (symlink(acSlave, stOpt.strLink.c_str()) != 0) {
                printf("irsim: cannot make link %s: %s\n", stOpt.strLink.c_str(), strerror(errno));
                close(fd);
                return -1;
            }
            *pbLinkMade = true;
        }
        printf("irsim: pty %s\n", acSlave);
    }
    return fd;
}
