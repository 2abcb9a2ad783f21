// Serial port set-up on a pty; register access and pin routing on a sparse
// file standing in for physical memory (never the real /dev/mem).
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/register.h"
#include "board/serial.h"
#include "test_support.h"

// A pty forces CS8 and clears PARENB on every tcsetattr, so reading it back
// cannot show size or parity. This tcsetattr stands in for the C library's in
// this program: it keeps the record the code applies, and passes it on.
namespace {
termios s_stApplied;
} // namespace
extern "C" int tcsetattr(int fd, int s32Action, const termios *pstTio) {
    static auto s_pfnReal =
        reinterpret_cast<int (*)(int, int, const termios *)>(dlsym(RTLD_NEXT, "tcsetattr"));
    s_stApplied = *pstTio;
    return s_pfnReal(fd, s32Action, pstTio);
}

namespace {

TEST(SerialOpen, RawPortFromTheModeTextOrAFailureMessage) {
    const int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(fdMaster >= 0 && grantpt(fdMaster) == 0 && unlockpt(fdMaster) == 0);
    const std::string strPty = ptsname(fdMaster);
    struct Case {
        const char *pszMode;
        tcflag_t u32Cflag;  // speed and flags beyond CREAD; 0: a failure
        const char *pszOut; // the message (no line feed)
        std::string strDevice;
    };
    for (const Case &st : {
             Case{"115200-8n1", B115200 | CS8, "", strPty},
             Case{"9600-7E2", B9600 | CS7 | PARENB | CSTOPB, "", strPty}, // either case counts
             Case{"19200-8o1", B19200 | CS8 | PARENB | PARODD, "", strPty},
             Case{"14400-8n1", B115200 | CS8, "", strPty},           // a rate not in the table
             Case{"115200-8n0", B115200 | CS8 | CSTOPB, "", strPty}, // any stop bits but 1: two
             // A size out of range: 8; an unknown parity: none.
             Case{"50-9x1", B50 | CS8, "", strPty},
             Case{"300-5n1", B300 | CS5, "", strPty},
             Case{"115200-8n", 0, "invalid argument 4 from 115200-8n", strPty},
             Case{"115200/8n1", 0, "invalid argument 2 from 115200/8n1", strPty},
             // A number beyond an int's range is refused, not read as another.
             Case{"4294967296115200-8n1", 0, "invalid argument 1 from 4294967296115200-8n1",
                  strPty},
             Case{"", 0, "could not open device /nonexistent/tty", "/nonexistent/tty"},
             Case{"115200-8n1", 0, "could not initialize device /dev/null", "/dev/null"},
         }) {
        CapturedStream objOut(1);
        const int fd = SerialOpen(st.strDevice.c_str(), st.pszMode);
        EXPECT_EQ(st.pszOut, objOut.Take()) << st.pszMode;
        if (st.u32Cflag != 0) {
            // Built from zero: raw (which leaves VMIN at 1), non-blocking, no
            // control flag beyond those asked for (no CLOCAL, no CRTSCTS).
            EXPECT_EQ(O_RDWR | O_NONBLOCK, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
            EXPECT_EQ(CREAD | st.u32Cflag, s_stApplied.c_cflag) << st.pszMode;
            EXPECT_EQ(cfgetospeed(&s_stApplied), cfgetispeed(&s_stApplied));
            EXPECT_EQ(0u, s_stApplied.c_iflag | s_stApplied.c_oflag | s_stApplied.c_lflag);
            EXPECT_EQ(1, s_stApplied.c_cc[VMIN]);
        }
        close(fd);
    }
    close(fdMaster);
}

// What UartPinRoute does, in order, from the board's register map: pin words
// at 0x120F0000 and up (bit -1: the word written), GPIO data of line n at
// base + (4 << n), direction +0x400, interrupt enable +0x410. The first six
// enable a port (active low), the rest set its mode lines; the tool routes
// "/dev/ttyAMA1" in mode 5.
using Ops = std::vector<std::tuple<uint32_t, int, uint32_t>>; // address, bit, value
const Ops s_vecFirst = {{0x120F00F8, -1, 1},     {0x120F00FC, -1, 1},     {0x120F00B4, -1, 0},
                        {0x12170400, 2, 1},      {0x12170410, 2, 0},      {0x12170010, 2, 0},
                        {0x120F09C8, -1, 0x200}, {0x120F09D0, -1, 0x200}, {0x12150400, 0, 1},
                        {0x12150400, 2, 1},      {0x12150410, 0, 0},      {0x12150410, 2, 0},
                        {0x12150004, 0, 0},      {0x12150010, 2, 0}};
const Ops s_vecSecond = {{0x120F0100, -1, 1}, {0x120F0104, -1, 1}, {0x120F00B0, -1, 0},
                         {0x12170400, 3, 1},  {0x12170410, 3, 0},  {0x12170020, 3, 0},
                         {0x120F0044, -1, 0}, {0x120F0040, -1, 0}, {0x12170400, 7, 1},
                         {0x12170400, 6, 1},  {0x12170410, 7, 0},  {0x12170410, 6, 0},
                         {0x12170200, 7, 0},  {0x12170100, 6, 0}};
constexpr uint32_t REGION = 0x120F0000;
constexpr size_t REGION_WORDS = (0x12221000 - REGION) / 4, REGION_BYTES = REGION_WORDS * 4;

TEST(Register, RoutingChangesExactlyItsWordsAndBits) {
    TempDir objDir;
    // Sparse, over every register page the routing touches (up to 0x12220000).
    const int fdMem = open(objDir.File("mem").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_EQ(0, ftruncate(fdMem, 0x12300000));
    PhysMemSetDevice(objDir.File("mem").c_str());
    auto fnWords = [&] {
        std::vector<uint32_t> vecWords(REGION_WORDS);
        EXPECT_EQ(ssize_t{REGION_BYTES}, pread(fdMem, vecWords.data(), REGION_BYTES, REGION));
        return vecWords;
    };
    struct Case {
        const char *pszDevice;
        int s32Enable, s32Mode;
        Ops vecOps;
    };
    const Ops vecDisabled = {{0x120F00F8, -1, 0}, {0x120F00FC, -1, 0}, {0x120F00B4, -1, 0},
                             {0x12170400, 2, 1},  {0x12170410, 2, 0},  {0x12170010, 2, 1}};
    Ops vecMode4 = s_vecFirst, vecMode6 = s_vecFirst, vecSecond7 = s_vecSecond,
        vecUnknown = vecDisabled, vecDisabled3 = vecDisabled;
    vecDisabled3.insert(vecDisabled3.end(), s_vecFirst.begin() + 6,
                        s_vecFirst.begin() + 12);              // no levels
    std::get<2>(vecMode4[12]) = std::get<2>(vecMode4[13]) = 1; // 4: both lines high
    std::get<2>(vecMode6[12]) = 1;                             // 6: A high, and the shared line low
    vecMode6.insert(
        vecMode6.end(),
        {{0x120F09B4, -1, 0x200}, {0x12220400, 5, 1}, {0x12220410, 5, 0}, {0x12220080, 5, 0}});
    std::get<2>(vecSecond7[13]) = 1; // 7: B high
    const Ops vecSecondOff = {{0x120F0100, -1, 0}, {0x120F0104, -1, 0}, {0x120F00B0, -1, 0},
                              {0x12170400, 3, 1},  {0x12170410, 3, 0},  {0x12170020, 3, 1}};
    vecUnknown.insert(vecUnknown.end(), vecSecondOff.begin(), vecSecondOff.end()); // both off
    for (const Case &st :
         {Case{"/dev/ttyAMA1", 1, 5, s_vecFirst}, Case{"/DEV/TTYAMA10", 1, 5, s_vecFirst},
          Case{"/dev/ttyS0", -7, 4, vecMode4}, Case{"/dev/ttyAMA1", 1, 6, vecMode6},
          Case{"/dev/ttyAMA1", 1, 8, Ops(s_vecFirst.begin(), s_vecFirst.begin() + 12)},
          Case{"/dev/ttyAMA1", 0, 3, vecDisabled3}, Case{"/dev/ttyAMA2", 1, 7, vecSecond7},
          Case{"/dev/ttyS1", 1, 5, vecUnknown}}) {
        SCOPED_TRACE(std::string(st.pszDevice) + " mode " + std::to_string(st.s32Mode));
        // A pattern and its complement, so that every bit operation changes its bit once.
        for (uint32_t u32Flip : {0u, 0xFFFFFFFFu}) {
            std::vector<uint32_t> vecWant(REGION_WORDS);
            for (uint32_t i = 0; i < REGION_WORDS; ++i) {
                vecWant[i] = (i * 0x9E3779B1u) ^ 0xA5A5A5A5u ^ u32Flip;
            }
            ASSERT_EQ(ssize_t{REGION_BYTES}, pwrite(fdMem, vecWant.data(), REGION_BYTES, REGION));
            CapturedStream objOut(1);
            UartPinRoute(st.pszDevice, st.s32Enable, st.s32Mode);
            EXPECT_EQ(st.vecOps == vecUnknown ? "no support UART" : "", objOut.Take());
            for (auto [u32Addr, s32Bit, u32Value] : st.vecOps) {
                uint32_t &u32Word = vecWant[(u32Addr - REGION) / 4];
                const uint32_t u32Mask = s32Bit < 0 ? ~0u : 1u << s32Bit;
                u32Word =
                    (u32Word & ~u32Mask) | ((s32Bit < 0 ? u32Value : u32Value << s32Bit) & u32Mask);
            }
            EXPECT_TRUE(vecWant == fnWords());
        }
    }
    // Set-bit writes nothing for a value other than 0 or 1, or a bit beyond the word.
    const std::vector<uint32_t> vecBefore = fnWords();
    CapturedStream objOut(1);
    EXPECT_EQ(-1, RegisterSetBit(0x12150400, 3, 2));
    EXPECT_EQ(0, RegisterSetBit(0x12170410, 32, 1));
    EXPECT_EQ("set addr<0x12150400> pos<3> val<2> err\n", objOut.Take());
    EXPECT_TRUE(vecBefore == fnWords());
    // A mapping that crosses a page boundary covers both pages.
    volatile uint8_t *pu8 = static_cast<uint8_t *>(PhysMemMap(0x12150FFE, 4));
    ASSERT_NE(nullptr, pu8);
    pu8[3] = 0x5A; // the last byte lands in the file's next page
    EXPECT_EQ(0, PhysMemUnmap(const_cast<uint8_t *>(pu8), 4));
    EXPECT_EQ(0x5Au, fnWords()[(0x12151000 - REGION) / 4] >> 8 & 0xFF);
    PhysMemSetDevice(nullptr);
    close(fdMem);
}

} // namespace
