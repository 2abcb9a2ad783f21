// Serial port set-up on a pty: what the port ends up with, and the failures.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "board/serial.h"
#include "sandbox.h"
#include "test_support.h"

// The pty driver forces CS8 and clears PARENB on every tcsetattr, whatever it
// is given, so reading a pty back cannot show the character size or parity.
// This definition stands in for the C library's tcsetattr in this test
// program (the board library links against it): it records the exact record
// the code applies and then passes it on.
namespace {
struct termios s_stApplied;
int s_s32ApplyCount = 0;
} // namespace

extern "C" int tcsetattr(int fd, int s32Action, const struct termios *pstTio) {
    using TcsetattrFn = int (*)(int, int, const struct termios *);
    static TcsetattrFn s_pfnReal = reinterpret_cast<TcsetattrFn>(dlsym(RTLD_NEXT, "tcsetattr"));
    s_stApplied = *pstTio;
    ++s_s32ApplyCount;
    return s_pfnReal(fd, s32Action, pstTio);
}

namespace {

int CountOpenDescriptors() {
    int s32Count = 0;
    DIR *pstDir = opendir("/proc/self/fd");
    if (pstDir == nullptr) {
        return -1;
    }
    while (readdir(pstDir) != nullptr) {
        ++s32Count;
    }
    closedir(pstDir);
    return s32Count;
}

class SerialOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fdMaster = OpenPtyMaster(&m_strSlave);
        ASSERT_GE(m_fdMaster, 0) << "no pty: " << strerror(errno);
    }
    void TearDown() override {
        if (m_fdMaster >= 0) {
            close(m_fdMaster);
        }
    }
    int m_fdMaster = -1;
    std::string m_strSlave;
};

struct ModeCase {
    const char *pszMode;
    speed_t u32Speed;
    tcflag_t u32Size;
    bool bParity;
    bool bOdd;
    bool bTwoStopBits;
};

const ModeCase s_astModeCases[] = {
    {"115200-8n1", B115200, CS8, false, false, false},
    {"9600-7E2", B9600, CS7, true, false, true}, // upper-case parity letter counts
    {"19200-8o1", B19200, CS8, true, true, false},
    {"14400-8n1", B115200, CS8, false, false, false},  // rate not in the table
    {"115200-8n0", B115200, CS8, false, false, true},  // any stop value but 1: two
    {"115200-9n1", B115200, CS8, false, false, false}, // size out of range: 8
    {"50-5O1", B50, CS5, true, true, false},
    {"230400-6e1", B230400, CS6, true, false, false},
    {"75-8N1", B75, CS8, false, false, false},
    {"110-8x3", B110, CS8, false, false, true}, // unknown parity letter: none
};

TEST_F(SerialOpenTest, ConfiguresRawPortFromModeText) {
    struct termios stRaw;
    memset(&stRaw, 0, sizeof(stRaw));
    cfmakeraw(&stRaw); // what raw mode leaves in VMIN and VTIME

    for (const ModeCase &stCase : s_astModeCases) {
        SCOPED_TRACE(stCase.pszMode);
        int s32Applied = s_s32ApplyCount;
        CapturedStream objOut(1);
        int fd = SerialOpen(m_strSlave.c_str(), stCase.pszMode);
        EXPECT_EQ("", objOut.Take());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(s32Applied + 1, s_s32ApplyCount);

        int s32Flags = fcntl(fd, F_GETFL);
        EXPECT_EQ(O_RDWR, s32Flags & O_ACCMODE);
        EXPECT_TRUE(s32Flags & O_NONBLOCK);

        // The record applied: built from zero, so the control flags hold
        // exactly the speed, CREAD, size, parity and stop bits.
        tcflag_t u32Cflag = CREAD | stCase.u32Size;
        if (stCase.bParity) {
            u32Cflag |= PARENB;
        }
        if (stCase.bOdd) {
            u32Cflag |= PARODD;
        }
        if (stCase.bTwoStopBits) {
            u32Cflag |= CSTOPB;
        }
        EXPECT_EQ(u32Cflag, s_stApplied.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX));
        EXPECT_EQ(stCase.u32Speed, cfgetospeed(&s_stApplied));
        EXPECT_EQ(stCase.u32Speed, cfgetispeed(&s_stApplied));
        EXPECT_EQ(0u, s_stApplied.c_iflag);
        EXPECT_EQ(0u, s_stApplied.c_oflag);
        EXPECT_EQ(0u, s_stApplied.c_lflag);
        EXPECT_EQ(stRaw.c_cc[VMIN], s_stApplied.c_cc[VMIN]);
        EXPECT_EQ(stRaw.c_cc[VTIME], s_stApplied.c_cc[VTIME]);

        // What the port holds now, read back through the pty.
        struct termios stNow;
        ASSERT_EQ(0, tcgetattr(fd, &stNow));
        EXPECT_EQ(0u, stNow.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
        EXPECT_EQ(0u, stNow.c_oflag & OPOST);
        EXPECT_EQ(0u, stNow.c_iflag &
                          (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON));
        EXPECT_TRUE(stNow.c_cflag & CREAD);
        EXPECT_EQ(stCase.u32Speed, cfgetospeed(&stNow));
        EXPECT_EQ(stCase.u32Speed, cfgetispeed(&stNow));
        EXPECT_EQ(stCase.bTwoStopBits, (stNow.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(stCase.bOdd, (stNow.c_cflag & PARODD) != 0);
        EXPECT_EQ(0u, stNow.c_cflag & CLOCAL);
        EXPECT_EQ(0u, stNow.c_cflag & CRTSCTS);
        close(fd);
    }
}

TEST_F(SerialOpenTest, IncompleteModeTextNamesFirstMissingField) {
    struct Case {
        const char *pszMode;
        const char *pszMessage;
    };
    const Case astCases[] = {
        {"115200-8", "invalid argument 3 from 115200-8"},
        {"", "invalid argument 1 from "},
        {"fast", "invalid argument 1 from fast"},
        {"115200", "invalid argument 2 from 115200"},
        {"115200-8n", "invalid argument 4 from 115200-8n"},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pszMode);
        int s32Applied = s_s32ApplyCount;
        int s32Fds = CountOpenDescriptors();
        CapturedStream objOut(1);
        EXPECT_EQ(-2, SerialOpen(m_strSlave.c_str(), stCase.pszMode));
        EXPECT_EQ(stCase.pszMessage, objOut.Take()); // no line feed
        EXPECT_EQ(s32Applied, s_s32ApplyCount);      // the port is left alone
        EXPECT_EQ(s32Fds, CountOpenDescriptors());   // and not left open
    }
}

TEST(SerialOpen, MissingDevice) {
    CapturedStream objOut(1);
    EXPECT_EQ(-1, SerialOpen("/nonexistent/ttyAMA1", "115200-8n1"));
    EXPECT_EQ("could not open device /nonexistent/ttyAMA1", objOut.Take());
}

TEST(SerialOpen, RefusedSettings) {
    // Not a terminal: the settings are refused, and the descriptor is closed.
    int s32Fds = CountOpenDescriptors();
    CapturedStream objOut(1);
    EXPECT_EQ(-3, SerialOpen("/dev/null", "115200-8n1"));
    EXPECT_EQ("could not initialize device /dev/null", objOut.Take());
    EXPECT_EQ(s32Fds, CountOpenDescriptors());
}

TEST_F(SerialOpenTest, SetAttrReportsTheAppliedRecordInPlace) {
    int fd = open(m_strSlave.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios stTio;
    memset(&stTio, 0, sizeof(stTio));
    EXPECT_EQ(0, SerialSetAttr(fd, &stTio, 38400, 7, 'o', 2));
    EXPECT_EQ(B38400, cfgetospeed(&stTio));
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CS7 | PARENB | PARODD | CSTOPB),
              stTio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX));
    close(fd);

    memset(&stTio, 0, sizeof(stTio));
    EXPECT_LT(SerialSetAttr(-1, &stTio, 9600, 8, 'n', 1), 0);
}

} // namespace
