// Board access: serial port set-up on a pty, and register access and pin
// routing against a sparse file standing in for physical memory (never the
// real /dev/mem).
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/register.h"
#include "board/serial.h"
#include "sandbox.h"
#include "test_support.h"

// A pty forces CS8 and clears PARENB on every tcsetattr, so reading it back
// cannot show size or parity. This tcsetattr stands in for the C library's in
// this program: it keeps the record the code applies, and passes it on.
namespace {
struct termios s_stApplied;
} // namespace

extern "C" int tcsetattr(int fd, int s32Action, const struct termios *pstTio) {
    using TcsetattrFn = int (*)(int, int, const struct termios *);
    static TcsetattrFn s_pfnReal = reinterpret_cast<TcsetattrFn>(dlsym(RTLD_NEXT, "tcsetattr"));
    s_stApplied = *pstTio;
    return s_pfnReal(fd, s32Action, pstTio);
}

namespace {

TEST(SerialOpen, RawPortFromTheModeTextOrAFailureMessage) {
    std::string strSlave;
    const int fdMaster = OpenPtyMaster(&strSlave);
    ASSERT_GE(fdMaster, 0);
    struct Case {
        const char *pszMode;
        speed_t u32Speed;
        tcflag_t u32Cflag;               // beyond CREAD and the speed
        int s32Result;                   // 0: a descriptor
        const char *pszOut;              // the message (no line feed)
        const char *pszDevice = nullptr; // the pty when null
    };
    for (const Case &stCase : {
             Case{"115200-8n1", B115200, CS8, 0, ""},
             Case{"9600-7E2", B9600, CS7 | PARENB | CSTOPB, 0, ""}, // upper-case parity counts
             Case{"19200-8o1", B19200, CS8 | PARENB | PARODD, 0, ""},
             Case{"14400-8n1", B115200, CS8, 0, ""},           // a rate not in the table
             Case{"115200-8n0", B115200, CS8 | CSTOPB, 0, ""}, // any stop-bit value but 1: two
             Case{"115200-9n1", B115200, CS8, 0, ""},          // a size out of range: 8
             Case{"50-5x1", B50, CS5, 0, ""},                  // an unknown parity letter: none
             Case{"115200-8", 0, 0, -2, "invalid argument 3 from 115200-8"},
             Case{"", 0, 0, -2, "invalid argument 1 from "},
             Case{"115200-8n", 0, 0, -2, "invalid argument 4 from 115200-8n"},
             Case{"115200/8n1", 0, 0, -2, "invalid argument 2 from 115200/8n1"},
             // A number beyond an int's range is refused, not read as another.
             Case{"4294967296115200-8n1", 0, 0, -2, "invalid argument 1 from 4294967296115200-8n1"},
             Case{"115200-4294967304n1", 0, 0, -2, "invalid argument 2 from 115200-4294967304n1"},
             Case{"115200-8n1", 0, 0, -1, "could not open device /nonexistent/ttyAMA1",
                  "/nonexistent/ttyAMA1"},
             Case{"115200-8n1", 0, 0, -3, "could not initialize device /dev/null", "/dev/null"},
         }) {
        SCOPED_TRACE(stCase.pszMode);
        CapturedStream objOut(1);
        const int fd = SerialOpen(stCase.pszDevice != nullptr ? stCase.pszDevice : strSlave.c_str(),
                                  stCase.pszMode);
        EXPECT_EQ(stCase.pszOut, objOut.Take());
        if (stCase.s32Result != 0) {
            EXPECT_EQ(stCase.s32Result, fd);
            continue;
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(O_RDWR | O_NONBLOCK, fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK));
        // Built from zero: raw mode (which leaves VMIN at 1) and no control
        // flag beyond those asked for: no CLOCAL, no CRTSCTS.
        EXPECT_EQ(CREAD | stCase.u32Cflag, s_stApplied.c_cflag & ~(CBAUD | CBAUDEX));
        EXPECT_EQ(stCase.u32Speed, cfgetospeed(&s_stApplied));
        EXPECT_EQ(stCase.u32Speed, cfgetispeed(&s_stApplied));
        EXPECT_EQ(0u, s_stApplied.c_iflag | s_stApplied.c_oflag | s_stApplied.c_lflag);
        EXPECT_EQ(1, s_stApplied.c_cc[VMIN]);
        close(fd);
    }
    close(fdMaster);
}

// One register operation: bit s32Bit set to u32Value, or (s32Bit -1) the whole word written.
struct RegOp {
    uint32_t u32Addr;
    int s32Bit;
    uint32_t u32Value;
};
using OpList = std::vector<RegOp>;

// What UartPinRoute(<port>, 1, 5) does, in this order, from the board's
// register map: pin configuration words at 0x120F0000 and up; GPIO banks with
// the data of line n at base + (4 << n), direction at +0x400, interrupt
// enable at +0x410. Operations 0 to 5 are the port's enable step (its enable
// line is active low), 6 to 13 its mode step (12 and 13 set the mode lines'
// levels). The first port's list is the update tool's own call.
const OpList s_vecFirstPort = {
    {0x120F00F8, -1, 1}, {0x120F00FC, -1, 1}, {0x120F00B4, -1, 0},     {0x12170400, 2, 1},
    {0x12170410, 2, 0},  {0x12170010, 2, 0},  {0x120F09C8, -1, 0x200}, {0x120F09D0, -1, 0x200},
    {0x12150400, 0, 1},  {0x12150400, 2, 1},  {0x12150410, 0, 0},      {0x12150410, 2, 0},
    {0x12150004, 0, 0},  {0x12150010, 2, 0}};
const OpList s_vecSecondPort = {{0x120F0100, -1, 1}, {0x120F0104, -1, 1}, {0x120F00B0, -1, 0},
                                {0x12170400, 3, 1},  {0x12170410, 3, 0},  {0x12170020, 3, 0},
                                {0x120F0044, -1, 0}, {0x120F0040, -1, 0}, {0x12170400, 7, 1},
                                {0x12170400, 6, 1},  {0x12170410, 7, 0},  {0x12170410, 6, 0},
                                {0x12170200, 7, 0},  {0x12170100, 6, 0}};

// The operations for another enable flag and mode; s32Port -1: an unknown device.
OpList Expected(int s32Port, int s32Enable, int s32Mode) {
    auto fnEnable = [](OpList vecOps, int s32E) {
        if (s32E == 0) { // configuration words 0, enable line high
            vecOps[0].u32Value = vecOps[1].u32Value = 0;
            vecOps[5].u32Value = 1;
        }
        return vecOps;
    };
    if (s32Port < 0) { // both ports disabled, no mode step
        OpList vecOps = fnEnable(s_vecFirstPort, 0), vecSecond = fnEnable(s_vecSecondPort, 0);
        vecOps.resize(6);
        vecOps.insert(vecOps.end(), vecSecond.begin(), vecSecond.begin() + 6);
        return vecOps;
    }
    OpList vecOps = fnEnable(s32Port == 0 ? s_vecFirstPort : s_vecSecondPort, s32Enable);
    vecOps[12].u32Value = s32Mode == 4 || s32Mode == 6; // 4: both high, 6: A high, 7: B high
    vecOps[13].u32Value = s32Mode == 4 || s32Mode == 7;
    if (s32Mode < 4 || s32Mode > 7) {
        vecOps.resize(12);     // levels left as they were
    } else if (s32Mode == 6) { // the shared mode line, driven low
        vecOps.insert(
            vecOps.end(),
            {{0x120F09B4, -1, 0x200}, {0x12220400, 5, 1}, {0x12220410, 5, 0}, {0x12220080, 5, 0}});
    }
    return vecOps;
}

// Every page the routing may touch lies in this region.
constexpr uint32_t REGION = 0x120F0000;
constexpr uint32_t REGION_SIZE = 0x12221000 - REGION;

std::string Hex(uint32_t u32) {
    char szBuf[16];
    (void)snprintf(szBuf, sizeof(szBuf), "0x%x", u32); // at most 10 characters
    return szBuf;
}

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeSparseFile(m_strMem));
        m_fdMem = open(m_strMem.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_fdMem, 0);
        PhysMemSetDevice(m_strMem.c_str());
    }
    void TearDown() override {
        PhysMemSetDevice(nullptr);
        close(m_fdMem);
    }
    std::vector<uint32_t> Region() {
        std::vector<uint32_t> vecWords(REGION_SIZE / 4);
        EXPECT_EQ(ssize_t{REGION_SIZE}, pread(m_fdMem, vecWords.data(), REGION_SIZE, REGION));
        return vecWords;
    }
    void ExpectRegion(const std::vector<uint32_t> &vecWant) {
        std::vector<uint32_t> vecGot = Region();
        size_t i =
            std::mismatch(vecGot.begin(), vecGot.end(), vecWant.begin()).first - vecGot.begin();
        EXPECT_EQ(vecGot.size(), i) << "word " << Hex(REGION + 4 * i) << " is " << Hex(vecGot[i])
                                    << ", expected " << Hex(vecWant[i]);
    }

    TempDir m_objDir;
    const std::string m_strMem = m_objDir.File("mem");
    int m_fdMem = -1;
};

TEST_F(RegisterTest, RoutingChangesExactlyItsWordsAndBitsAndCarriesOnAfterFailures) {
    struct Case {
        const char *pszDevice;
        int s32Enable, s32Mode, s32Port;
    };
    const Case astCases[] = {
        {"/dev/ttyAMA1", 1, 5, 0},  {"/DEV/TTYAMA1", 1, 5, 0}, {"/dev/ttyAMA10", 1, 5, 0},
        {"/dev/ttyS0", 1, 4, 0},    {"/dev/ttyAMA1", 1, 3, 0}, {"/dev/ttyAMA1", 1, 6, 0},
        {"/dev/ttyAMA1", 1, 7, 0},  {"/dev/ttyAMA1", 1, 8, 0}, {"/dev/ttyAMA1", 0, 5, 0},
        {"/dev/ttyAMA2", 1, 4, 1},  {"/dev/ttyAMA2", 1, 5, 1}, {"/dev/ttyAMA2", 0, 6, 1},
        {"/dev/ttyAMA2", -7, 7, 1}, {"/dev/ttyS1", 1, 5, -1},  {"/dev/ttyAMA3", 1, 6, -1},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(std::string(stCase.pszDevice) + " enable " + std::to_string(stCase.s32Enable) +
                     " mode " + std::to_string(stCase.s32Mode));
        const OpList vecOps = Expected(stCase.s32Port, stCase.s32Enable, stCase.s32Mode);
        const std::string strUnknown = stCase.s32Port < 0 ? "no support UART" : "";
        // A pattern and its complement, so that every bit operation changes its bit once.
        for (uint32_t u32Flip : {0u, 0xFFFFFFFFu}) {
            std::vector<uint32_t> vecWant(REGION_SIZE / 4);
            for (size_t i = 0; i < vecWant.size(); ++i) {
                vecWant[i] = (static_cast<uint32_t>(i) * 0x9E3779B1u) ^ 0xA5A5A5A5u ^ u32Flip;
            }
            ASSERT_EQ(ssize_t{REGION_SIZE}, pwrite(m_fdMem, vecWant.data(), REGION_SIZE, REGION));
            CapturedStream objOut(1);
            UartPinRoute(stCase.pszDevice, stCase.s32Enable, stCase.s32Mode);
            EXPECT_EQ(strUnknown, objOut.Take());
            for (const RegOp &stOp : vecOps) {
                uint32_t &u32Word = vecWant[(stOp.u32Addr - REGION) / 4];
                uint32_t u32Mask = stOp.s32Bit < 0 ? 0 : 1u << stOp.s32Bit;
                u32Word = stOp.s32Bit < 0
                              ? stOp.u32Value
                              : (stOp.u32Value != 0 ? u32Word | u32Mask : u32Word & ~u32Mask);
            }
            ExpectRegion(vecWant);
        }

        // A device that cannot be opened: each operation reports its own
        // failure, in order, after an "Open dev/mem error", and the routing goes on.
        std::string strWantOut = strUnknown, strWantErr;
        for (const RegOp &stOp : vecOps) {
            strWantOut += stOp.s32Bit < 0
                              ? "set addr " + Hex(stOp.u32Addr) + " val " + Hex(stOp.u32Value)
                              : "get addr " + Hex(stOp.u32Addr);
            strWantOut += " fail<0xffffffff>\n";
            strWantErr += "Open dev/mem error: No such file or directory\n";
        }
        PhysMemSetDevice(m_objDir.File("missing/mem").c_str());
        CapturedStream objErr(2);
        CapturedStream objOut(1);
        UartPinRoute(stCase.pszDevice, stCase.s32Enable, stCase.s32Mode);
        EXPECT_EQ(strWantOut, objOut.Take());
        EXPECT_EQ(strWantErr, objErr.Take());
        PhysMemSetDevice(m_strMem.c_str());
    }
}

TEST_F(RegisterTest, SetBitWritesNothingForAValueOtherThanZeroOrOneOrABitBeyondTheWord) {
    const std::vector<uint32_t> vecBefore = Region();
    CapturedStream objOut(1);
    EXPECT_EQ(-1, RegisterSetBit(0x12150400, 3, 2));
    EXPECT_EQ(-1, RegisterSetBit(0x12220410, 5, 0xFFFFFFFF));
    for (uint32_t u32Pos : {32u, 40u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0, RegisterSetBit(0x12170410, u32Pos, 1));
    }
    EXPECT_EQ("set addr<0x12150400> pos<3> val<2> err\n"
              "set addr<0x12220410> pos<5> val<4294967295> err\n",
              objOut.Take());
    ExpectRegion(vecBefore);
}

TEST_F(RegisterTest, MappingThatCrossesAPageBoundaryCoversBothPages) {
    volatile uint8_t *pu8 = static_cast<uint8_t *>(PhysMemMap(0x12150FFE, 4));
    ASSERT_NE(nullptr, pu8);
    pu8[3] = 0x5A; // the last byte lands in the file's next page
    EXPECT_EQ(0, PhysMemUnmap(const_cast<uint8_t *>(pu8), 4));
    EXPECT_EQ(0x5Au, Region()[(0x12151000 - REGION) / 4] >> 8 & 0xFF);
}

} // namespace
