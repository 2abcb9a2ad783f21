// Register access and pin routing against a sparse file standing in for
// physical memory (never the real /dev/mem).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/register.h"
#include "sandbox.h"
#include "test_support.h"

namespace {

// One register operation: a whole-word write or a single-bit write.
struct RegOp {
    bool bSetBit;
    uint32_t u32Addr;
    uint32_t u32Bit;
    uint32_t u32Value;
};

RegOp W(uint32_t u32Addr, uint32_t u32Value) {
    return {false, u32Addr, 0, u32Value};
}
RegOp B(uint32_t u32Addr, uint32_t u32Bit, uint32_t u32Value) {
    return {true, u32Addr, u32Bit, u32Value};
}

using OpList = std::vector<RegOp>;

void Append(OpList &vecOps, const OpList &vecMore) {
    vecOps.insert(vecOps.end(), vecMore.begin(), vecMore.end());
}

// The board's register map, written out from the hardware description:
// pin configuration words at 0x120F0000 and up, GPIO banks with the data of
// line n at base + (4 << n), direction at +0x400, interrupt enable at +0x410.
OpList FirstEnable(uint32_t u32E) {
    return {W(0x120F00F8, u32E), W(0x120F00FC, u32E), W(0x120F00B4, 0),
            B(0x12170400, 2, 1), B(0x12170410, 2, 0), B(0x12170010, 2, 1 - u32E)};
}

OpList SecondEnable(uint32_t u32E) {
    return {W(0x120F0100, u32E), W(0x120F0104, u32E), W(0x120F00B0, 0),
            B(0x12170400, 3, 1), B(0x12170410, 3, 0), B(0x12170020, 3, 1 - u32E)};
}

bool ModeLevels(int s32Mode, uint32_t *pu32A, uint32_t *pu32B) {
    switch (s32Mode) {
    case 4:
        *pu32A = 1, *pu32B = 1;
        return true;
    case 5:
        *pu32A = 0, *pu32B = 0;
        return true;
    case 6:
        *pu32A = 1, *pu32B = 0;
        return true;
    case 7:
        *pu32A = 0, *pu32B = 1;
        return true;
    default:
        return false;
    }
}

OpList SharedLine() {
    return {W(0x120F09B4, 0x200), B(0x12220400, 5, 1), B(0x12220410, 5, 0), B(0x12220080, 5, 0)};
}

OpList FirstMode(int s32Mode) {
    OpList vecOps = {W(0x120F09C8, 0x200), W(0x120F09D0, 0x200), B(0x12150400, 0, 1),
                     B(0x12150400, 2, 1),  B(0x12150410, 0, 0),  B(0x12150410, 2, 0)};
    uint32_t u32A, u32B;
    if (ModeLevels(s32Mode, &u32A, &u32B)) {
        Append(vecOps, {B(0x12150004, 0, u32A), B(0x12150010, 2, u32B)});
        if (s32Mode == 6) {
            Append(vecOps, SharedLine());
        }
    }
    return vecOps;
}

OpList SecondMode(int s32Mode) {
    OpList vecOps = {W(0x120F0044, 0),    W(0x120F0040, 0),    B(0x12170400, 7, 1),
                     B(0x12170400, 6, 1), B(0x12170410, 7, 0), B(0x12170410, 6, 0)};
    uint32_t u32A, u32B;
    if (ModeLevels(s32Mode, &u32A, &u32B)) {
        Append(vecOps, {B(0x12170200, 7, u32A), B(0x12170100, 6, u32B)});
        if (s32Mode == 6) {
            Append(vecOps, SharedLine());
        }
    }
    return vecOps;
}

enum class Port { FIRST, SECOND, NONE };

OpList ExpectedRouting(Port ePort, int s32Enable, int s32Mode) {
    uint32_t u32E = s32Enable != 0 ? 1 : 0;
    OpList vecOps;
    switch (ePort) {
    case Port::FIRST:
        Append(vecOps, FirstEnable(u32E));
        Append(vecOps, FirstMode(s32Mode));
        break;
    case Port::SECOND:
        Append(vecOps, SecondEnable(u32E));
        Append(vecOps, SecondMode(s32Mode));
        break;
    case Port::NONE:
        Append(vecOps, FirstEnable(0));
        Append(vecOps, SecondEnable(0));
        break;
    }
    return vecOps;
}

// The update tool's own call, UartPinRoute("/dev/ttyAMA1", 1, 5): fourteen
// operations, in this order.
const OpList s_vecToolRouting = {
    W(0x120F00F8, 1),    W(0x120F00FC, 1),    W(0x120F00B4, 0),     B(0x12170400, 2, 1),
    B(0x12170410, 2, 0), B(0x12170010, 2, 0), W(0x120F09C8, 0x200), W(0x120F09D0, 0x200),
    B(0x12150400, 0, 1), B(0x12150400, 2, 1), B(0x12150410, 0, 0),  B(0x12150410, 2, 0),
    B(0x12150004, 0, 0), B(0x12150010, 2, 0),
};

// Every page the routing may touch.
const uint32_t s_au32Pages[] = {0x120F0000, 0x12150000, 0x12170000, 0x12220000};

uint32_t Pattern(uint32_t u32Addr) {
    return (u32Addr * 0x9E3779B1u) ^ 0xA5A5A5A5u;
}

std::string Hex(uint32_t u32) {
    char szBuf[16];
    snprintf(szBuf, sizeof(szBuf), "0x%x", u32);
    return szBuf;
}

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strMem = m_objDir.File("mem");
        ASSERT_TRUE(MakeSparseFile(m_strMem));
        m_fdMem = open(m_strMem.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_fdMem, 0);
        PhysMemSetDevice(m_strMem.c_str());
    }
    void TearDown() override {
        PhysMemSetDevice(nullptr);
        if (m_fdMem >= 0) {
            close(m_fdMem);
        }
    }

    uint32_t ReadWord(uint32_t u32Addr) {
        uint32_t u32Value = 0;
        EXPECT_EQ(4, pread(m_fdMem, &u32Value, 4, u32Addr));
        return u32Value;
    }
    void WriteWord(uint32_t u32Addr, uint32_t u32Value) {
        EXPECT_EQ(4, pwrite(m_fdMem, &u32Value, 4, u32Addr));
    }

    // Fills every page with a pattern (or its complement, so that each bit
    // operation changes its bit in one of the two runs) and returns the image.
    std::map<uint32_t, uint32_t> Prefill(bool bInvert) {
        std::map<uint32_t, uint32_t> mapImage;
        for (uint32_t u32Page : s_au32Pages) {
            std::vector<uint32_t> vecWords(1024);
            for (uint32_t i = 0; i < 1024; ++i) {
                uint32_t u32Addr = u32Page + 4 * i;
                vecWords[i] = bInvert ? ~Pattern(u32Addr) : Pattern(u32Addr);
                mapImage[u32Addr] = vecWords[i];
            }
            EXPECT_EQ(4096, pwrite(m_fdMem, vecWords.data(), 4096, u32Page));
        }
        return mapImage;
    }

    static void Apply(std::map<uint32_t, uint32_t> &mapImage, const OpList &vecOps) {
        for (const RegOp &stOp : vecOps) {
            uint32_t &u32Word = mapImage[stOp.u32Addr];
            if (!stOp.bSetBit) {
                u32Word = stOp.u32Value;
            } else if (stOp.u32Value != 0) {
                u32Word |= 1u << stOp.u32Bit;
            } else {
                u32Word &= ~(1u << stOp.u32Bit);
            }
        }
    }

    // Compares every word of every page with the expected image.
    void ExpectImage(const std::map<uint32_t, uint32_t> &mapImage) {
        int s32Mismatches = 0;
        for (uint32_t u32Page : s_au32Pages) {
            std::vector<uint32_t> vecWords(1024);
            ASSERT_EQ(4096, pread(m_fdMem, vecWords.data(), 4096, u32Page));
            for (uint32_t i = 0; i < 1024; ++i) {
                uint32_t u32Addr = u32Page + 4 * i;
                uint32_t u32Want = mapImage.at(u32Addr);
                if (vecWords[i] != u32Want && ++s32Mismatches <= 10) {
                    ADD_FAILURE() << "word " << Hex(u32Addr) << " is " << Hex(vecWords[i])
                                  << ", expected " << Hex(u32Want);
                }
            }
        }
        EXPECT_EQ(0, s32Mismatches);
    }

    // Descriptors of this process open on the stand-in file.
    int DescriptorsOnMem() {
        int s32Count = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            char szLink[64], szTarget[4096];
            snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
            ssize_t s32Len = readlink(szLink, szTarget, sizeof(szTarget) - 1);
            if (s32Len > 0) {
                szTarget[s32Len] = '\0';
                if (m_strMem == szTarget && fd != m_fdMem) {
                    ++s32Count;
                }
            }
        }
        return s32Count;
    }

    TempDir m_objDir;
    std::string m_strMem;
    int m_fdMem = -1;
};

struct RouteCase {
    const char *pszDevice;
    int s32Enable;
    int s32Mode;
    Port ePort;
};

const RouteCase s_astRouteCases[] = {
    {"/dev/ttyAMA1", 1, 5, Port::FIRST},  {"/DEV/TTYAMA1", 1, 5, Port::FIRST},
    {"/dev/ttyAMA10", 1, 5, Port::FIRST}, {"/dev/ttyS0", 1, 5, Port::FIRST},
    {"/dev/ttyAMA2", 1, 5, Port::SECOND}, {"/dev/ttyS1", 1, 5, Port::NONE},
    {"/dev/ttyAMA3", 1, 5, Port::NONE},   {"", 1, 5, Port::NONE},
    {nullptr, 1, 5, Port::NONE},          {"/dev/ttyAMA1", 1, 3, Port::FIRST},
    {"/dev/ttyAMA1", 1, 4, Port::FIRST},  {"/dev/ttyAMA1", 1, 6, Port::FIRST},
    {"/dev/ttyAMA1", 1, 7, Port::FIRST},  {"/dev/ttyAMA1", 1, 8, Port::FIRST},
    {"/dev/ttyAMA1", 0, 5, Port::FIRST},  {"/dev/ttyAMA1", -7, 4, Port::FIRST},
    {"/dev/ttyAMA2", 1, 3, Port::SECOND}, {"/dev/ttyAMA2", 1, 4, Port::SECOND},
    {"/dev/ttyAMA2", 1, 6, Port::SECOND}, {"/dev/ttyAMA2", 1, 7, Port::SECOND},
    {"/dev/ttyAMA2", 1, 8, Port::SECOND}, {"/dev/ttyAMA2", 0, 6, Port::SECOND},
    {"/dev/ttyS1", 0, 6, Port::NONE},
};

std::string CaseName(const RouteCase &stCase) {
    std::ostringstream objName;
    objName << (stCase.pszDevice != nullptr ? stCase.pszDevice : "(null)") << " enable "
            << stCase.s32Enable << " mode " << stCase.s32Mode;
    return objName.str();
}

TEST(RegisterModel, ToolRoutingIsTheFourteenOperations) {
    // The model reproduces the update tool's documented sequence.
    OpList vecModel = ExpectedRouting(Port::FIRST, 1, 5);
    ASSERT_EQ(s_vecToolRouting.size(), vecModel.size());
    for (size_t i = 0; i < vecModel.size(); ++i) {
        EXPECT_EQ(s_vecToolRouting[i].bSetBit, vecModel[i].bSetBit) << i;
        EXPECT_EQ(s_vecToolRouting[i].u32Addr, vecModel[i].u32Addr) << i;
        EXPECT_EQ(s_vecToolRouting[i].u32Bit, vecModel[i].u32Bit) << i;
        EXPECT_EQ(s_vecToolRouting[i].u32Value, vecModel[i].u32Value) << i;
    }
}

TEST_F(RegisterTest, ToolRoutingChangesExactlyItsWordsAndBits) {
    for (bool bInvert : {false, true}) {
        SCOPED_TRACE(bInvert ? "inverted pattern" : "pattern");
        std::map<uint32_t, uint32_t> mapImage = Prefill(bInvert);
        CapturedStream objOut(1);
        UartPinRoute("/dev/ttyAMA1", 1, 5);
        EXPECT_EQ("", objOut.Take());
        Apply(mapImage, s_vecToolRouting);
        ExpectImage(mapImage);
    }
}

TEST_F(RegisterTest, RoutingPerPortEnableAndMode) {
    for (const RouteCase &stCase : s_astRouteCases) {
        SCOPED_TRACE(CaseName(stCase));
        for (bool bInvert : {false, true}) {
            std::map<uint32_t, uint32_t> mapImage = Prefill(bInvert);
            CapturedStream objOut(1);
            UartPinRoute(stCase.pszDevice, stCase.s32Enable, stCase.s32Mode);
            EXPECT_EQ(stCase.ePort == Port::NONE ? "no support UART" : "", objOut.Take());
            Apply(mapImage, ExpectedRouting(stCase.ePort, stCase.s32Enable, stCase.s32Mode));
            ExpectImage(mapImage);
        }
    }
}

TEST_F(RegisterTest, EveryOperationReportsWhenTheDeviceCannotBeOpened) {
    // Each failing operation prints its message, in order, after its own
    // "Open dev/mem error" report, and the routing goes on to the end.
    PhysMemSetDevice(m_objDir.File("missing/mem").c_str());
    for (const RouteCase &stCase : s_astRouteCases) {
        SCOPED_TRACE(CaseName(stCase));
        std::string strWant = stCase.ePort == Port::NONE ? "no support UART" : "";
        OpList vecOps = ExpectedRouting(stCase.ePort, stCase.s32Enable, stCase.s32Mode);
        std::string strWantErr;
        for (const RegOp &stOp : vecOps) {
            strWant += stOp.bSetBit ? "get addr " + Hex(stOp.u32Addr) + " fail<0xffffffff>\n"
                                    : "set addr " + Hex(stOp.u32Addr) + " val " +
                                          Hex(stOp.u32Value) + " fail<0xffffffff>\n";
            strWantErr += "Open dev/mem error: No such file or directory\n";
        }
        CapturedStream objErr(2);
        CapturedStream objOut(1);
        UartPinRoute(stCase.pszDevice, stCase.s32Enable, stCase.s32Mode);
        EXPECT_EQ(strWant, objOut.Take());
        EXPECT_EQ(strWantErr, objErr.Take());
    }
}

TEST_F(RegisterTest, ToolRoutingFailsFourteenTimesWithoutTheDevice) {
    PhysMemSetDevice(m_objDir.File("missing/mem").c_str());
    CapturedStream objErr(2);
    CapturedStream objOut(1);
    UartPinRoute("/dev/ttyAMA1", 1, 5);
    std::string strOut = objOut.Take();
    std::string strErr = objErr.Take();
    EXPECT_EQ("set addr 0x120f00f8 val 0x1 fail<0xffffffff>\n"
              "set addr 0x120f00fc val 0x1 fail<0xffffffff>\n"
              "set addr 0x120f00b4 val 0x0 fail<0xffffffff>\n"
              "get addr 0x12170400 fail<0xffffffff>\n"
              "get addr 0x12170410 fail<0xffffffff>\n"
              "get addr 0x12170010 fail<0xffffffff>\n"
              "set addr 0x120f09c8 val 0x200 fail<0xffffffff>\n"
              "set addr 0x120f09d0 val 0x200 fail<0xffffffff>\n"
              "get addr 0x12150400 fail<0xffffffff>\n"
              "get addr 0x12150400 fail<0xffffffff>\n"
              "get addr 0x12150410 fail<0xffffffff>\n"
              "get addr 0x12150410 fail<0xffffffff>\n"
              "get addr 0x12150004 fail<0xffffffff>\n"
              "get addr 0x12150010 fail<0xffffffff>\n",
              strOut);
    size_t u32Reports = 0;
    for (size_t u32Pos = 0;
         (u32Pos = strErr.find("Open dev/mem error", u32Pos)) != std::string::npos; ++u32Pos) {
        ++u32Reports;
    }
    EXPECT_EQ(14u, u32Reports);
}

TEST_F(RegisterTest, FailedOpenIsRetriedAndTheDescriptorIsKept) {
    std::string strLater = m_objDir.File("later");
    PhysMemSetDevice(strLater.c_str());
    {
        CapturedStream objErr(2);
        CapturedStream objOut(1);
        EXPECT_EQ(-1, RegisterWrite(0x12150400, 7));
        EXPECT_EQ("set addr 0x12150400 val 0x7 fail<0xffffffff>\n", objOut.Take());
        EXPECT_EQ("Open dev/mem error: No such file or directory\n", objErr.Take());
    }
    // The file appears: the next access opens it.
    ASSERT_EQ(0, rename(m_strMem.c_str(), strLater.c_str()));
    m_strMem = strLater;
    EXPECT_EQ(0, RegisterWrite(0x12150400, 7));
    EXPECT_EQ(0, RegisterSetBit(0x12150400, 4, 1));
    EXPECT_EQ(0x17u, ReadWord(0x12150400));
    // Opened once and kept open; the seam closes it when pointed elsewhere.
    EXPECT_EQ(1, DescriptorsOnMem());
    PhysMemSetDevice(nullptr);
    EXPECT_EQ(0, DescriptorsOnMem());
}

TEST_F(RegisterTest, WriteAndSetBit) {
    WriteWord(0x12170400, 0xF0F0F0F0);
    EXPECT_EQ(0, RegisterWrite(0x120F0044, 0xDEADBEEF));
    EXPECT_EQ(0xDEADBEEFu, ReadWord(0x120F0044));
    EXPECT_EQ(0, RegisterSetBit(0x12170400, 0, 1));
    EXPECT_EQ(0, RegisterSetBit(0x12170400, 31, 0));
    EXPECT_EQ(0, RegisterSetBit(0x12170400, 4, 0));
    EXPECT_EQ(0, RegisterSetBit(0x12170400, 5, 1)); // already set
    EXPECT_EQ(0x70F0F0E1u, ReadWord(0x12170400));
}

TEST_F(RegisterTest, SetBitPositionBeyondTheWordLeavesItUnchanged) {
    WriteWord(0x12170410, 0x12345678);
    for (uint32_t u32Pos : {32u, 33u, 40u, 0xFFFFFFFFu}) {
        for (uint32_t u32Value : {0u, 1u}) {
            EXPECT_EQ(0, RegisterSetBit(0x12170410, u32Pos, u32Value)) << u32Pos;
            EXPECT_EQ(0x12345678u, ReadWord(0x12170410)) << u32Pos;
        }
    }
}

TEST_F(RegisterTest, SetBitWithValueOtherThanZeroOrOneWritesNothing) {
    std::map<uint32_t, uint32_t> mapImage = Prefill(false);
    CapturedStream objOut(1);
    EXPECT_EQ(-1, RegisterSetBit(0x12150400, 3, 2));
    EXPECT_EQ(-1, RegisterSetBit(0x12220410, 5, 0xFFFFFFFF));
    EXPECT_EQ("set addr<0x12150400> pos<3> val<2> err\n"
              "set addr<0x12220410> pos<5> val<4294967295> err\n",
              objOut.Take());
    ExpectImage(mapImage);
}

TEST_F(RegisterTest, MappingCoversEveryPageTheBytesTouch) {
    struct Case {
        uint32_t u32Addr;
        uint32_t u32Size;
        uint32_t u32Pages;
    };
    const Case astCases[] = {
        {0x12150004, 4, 1},      {0x12150FFC, 4, 1},      {0x12150FFE, 4, 2},
        {0x12150000, 0x1000, 1}, {0x12150001, 0x1000, 2}, {0x12150FFF, 0x1002, 3},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(Hex(stCase.u32Addr) + " size " + std::to_string(stCase.u32Size));
        unsigned char *pu8 =
            static_cast<unsigned char *>(PhysMemMap(stCase.u32Addr, stCase.u32Size));
        ASSERT_NE(nullptr, pu8);
        uintptr_t uStart = reinterpret_cast<uintptr_t>(pu8) & ~static_cast<uintptr_t>(0xFFF);
        EXPECT_EQ(stCase.u32Addr & 0xFFFu, reinterpret_cast<uintptr_t>(pu8) & 0xFFF);

        // Find the mapping in the process's map: it starts at the page base
        // of the file and spans the expected pages.
        std::ifstream objMaps("/proc/self/maps");
        std::string strLine;
        bool bFound = false;
        while (std::getline(objMaps, strLine)) {
            unsigned long ulFrom = 0, ulTo = 0, ulOffset = 0;
            if (sscanf(strLine.c_str(), "%lx-%lx %*s %lx", &ulFrom, &ulTo, &ulOffset) == 3 &&
                ulFrom == uStart) {
                bFound = true;
                EXPECT_EQ(stCase.u32Pages * 0x1000ul, ulTo - ulFrom);
                EXPECT_EQ(stCase.u32Addr & ~0xFFFu, ulOffset);
                EXPECT_NE(std::string::npos, strLine.find(m_strMem));
            }
        }
        EXPECT_TRUE(bFound);

        // The last byte is reachable and lands at its place in the file.
        pu8[stCase.u32Size - 1] = 0x5A;
        EXPECT_EQ(0, PhysMemUnmap(pu8, stCase.u32Size));
        unsigned char u8Back = 0;
        ASSERT_EQ(1, pread(m_fdMem, &u8Back, 1, stCase.u32Addr + stCase.u32Size - 1));
        EXPECT_EQ(0x5A, u8Back);
    }
}

TEST_F(RegisterTest, UnmapOfNullPointer) {
    CapturedStream objErr(2);
    EXPECT_EQ(static_cast<int>(0xA0028006u), PhysMemUnmap(nullptr, 4));
    EXPECT_EQ("Null point \n", objErr.Take());
}

TEST_F(RegisterTest, RefusedMappingIsReported) {
    // /dev/null opens but cannot be mapped.
    PhysMemSetDevice("/dev/null");
    CapturedStream objErr(2);
    CapturedStream objOut(1);
    EXPECT_EQ(nullptr, PhysMemMap(0x12150000, 4));
    EXPECT_EQ(-1, RegisterWrite(0x120F00F8, 1));
    EXPECT_EQ(-1, RegisterSetBit(0x12150400, 1, 1));
    EXPECT_EQ("set addr 0x120f00f8 val 0x1 fail<0xffffffff>\n"
              "get addr 0x12150400 fail<0xffffffff>\n",
              objOut.Take());
    std::string strErr = objErr.Take();
    EXPECT_EQ(0u, strErr.find("mmap error: ")) << strErr;
    EXPECT_EQ(std::string::npos, strErr.find("Open dev/mem error"));
}

} // namespace
