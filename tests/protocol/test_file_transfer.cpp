// File transfer tests.
//
// Three set-ups share one process (the instance table holds ten instances and
// is never emptied, so this program opens four):
// - "snd" and "rcv": two instances with their engine threads, joined by a
//   socketpair whose sender-to-receiver direction runs through a tap that can
//   damage frames on the wire and that records what passes;
// - "peer": one instance with its engine, whose other end the test speaks
//   itself, frame by frame, as a (possibly hostile) peer would;
// - "unit": an instance whose engine is stopped at once, so that the test
//   thread drives the file steps and handlers directly.
// Everything runs inside a temporary working directory.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol_internal.h"
#include "runtime/mutex.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------------------
// CRC-16/XMODEM, bit by bit: independent of the protocol's table. Check value
// for "123456789" is 0x31C3 (the published CRC-16/XMODEM check; also Python's
// binascii.crc_hqx(b"123456789", 0)).

uint16_t Crc16Bitwise(const uint8_t *pu8Bytes, size_t szCount, uint16_t u16Crc = 0) {
    for (size_t i = 0; i < szCount; ++i) {
        u16Crc = static_cast<uint16_t>(u16Crc ^ (pu8Bytes[i] << 8));
        for (int b = 0; b < 8; ++b) {
            u16Crc = (u16Crc & 0x8000) != 0 ? static_cast<uint16_t>((u16Crc << 1) ^ 0x1021)
                                            : static_cast<uint16_t>(u16Crc << 1);
        }
    }
    return u16Crc;
}

uint16_t Crc16Bitwise(const std::string &strBytes) {
    return Crc16Bitwise(reinterpret_cast<const uint8_t *>(strBytes.data()), strBytes.size());
}

// ---------------------------------------------------------------------------
// Frames as bytes on the wire

struct WireFrame {
    std::string strRaw; // the whole frame
    uint16_t Len() const { return Byte(2) | Byte(3) << 8; }
    uint16_t Sn() const { return Byte(7) | Byte(8) << 8; }
    uint16_t Cmd() const { return Byte(11) | Byte(12) << 8; }
    uint16_t Index() const { return static_cast<uint16_t>(Byte(9) << 8 | Byte(10)); }
    uint32_t Code() const { return Byte(13) | Byte(14) << 8 | Byte(15) << 16 | Byte(16) << 24; }
    uint8_t Byte(size_t i) const { return static_cast<uint8_t>(strRaw[i]); }
};

/// Stores the frame's CRC, computed over bytes 6 to the end.
void Seal(std::string &strFrame) {
    uint16_t u16Crc =
        Crc16Bitwise(reinterpret_cast<const uint8_t *>(strFrame.data()) + 6, strFrame.size() - 6);
    strFrame[4] = static_cast<char>(u16Crc & 0xFF);
    strFrame[5] = static_cast<char>(u16Crc >> 8);
}

std::string BuildFrame(uint16_t u16Cmd, uint16_t u16Sn, const std::string &strData,
                       uint8_t u8Param1 = 0x20, uint8_t u8Param2 = 0x50) {
    std::string strFrame(13, '\0');
    strFrame[0] = static_cast<char>(0xA5);
    strFrame[1] = static_cast<char>(0x5A);
    strFrame[2] = static_cast<char>(strData.size() & 0xFF);
    strFrame[3] = static_cast<char>(strData.size() >> 8);
    strFrame[7] = static_cast<char>(u16Sn & 0xFF);
    strFrame[8] = static_cast<char>(u16Sn >> 8);
    strFrame[9] = static_cast<char>(u8Param1);
    strFrame[10] = static_cast<char>(u8Param2);
    strFrame[11] = static_cast<char>(u16Cmd & 0xFF);
    strFrame[12] = static_cast<char>(u16Cmd >> 8);
    strFrame += strData;
    if (strData.size() <= 4) {
        strFrame.resize(17, '\0');
    }
    Seal(strFrame);
    return strFrame;
}

std::string ChunkFrame(uint16_t u16Sn, uint16_t u16Index, const std::string &strData) {
    return BuildFrame(CMD_UPDATE_SW_SEND_FILE, u16Sn, strData, static_cast<uint8_t>(u16Index >> 8),
                      static_cast<uint8_t>(u16Index & 0xFF));
}

std::string EndFrame(uint16_t u16Sn) {
    return BuildFrame(CMD_UPDATE_SW_SEND_FILE, u16Sn, std::string(4, '\0'), 0x7F, 0xFF);
}

/// The 80-byte file-information record; strName goes into the 64-byte field as
/// given (a 64-byte name has no terminator).
std::string InfoRecord(uint32_t u32Tag, const std::string &strName, uint32_t u32Packets,
                       uint32_t u32Length, uint32_t u32Crc) {
    CmdProtocolFileInfo stInfo{};
    stInfo.tag = u32Tag;
    memcpy(stInfo.fileName, strName.data(), std::min(strName.size(), sizeof(stInfo.fileName)));
    stInfo.packets = u32Packets;
    stInfo.length = u32Length;
    stInfo.crc = u32Crc;
    return std::string(reinterpret_cast<const char *>(&stInfo), sizeof(stInfo));
}

std::string InfoFor(const std::string &strName, const std::string &strContent) {
    uint32_t u32Len = static_cast<uint32_t>(strContent.size());
    return InfoRecord(0, strName, (u32Len + 511) / 512, u32Len, Crc16Bitwise(strContent));
}

/// Takes the complete frames off the front of a byte stream (junk before a
/// sync pair is skipped).
bool TakeFrame(std::string &strBuf, WireFrame &stOut) {
    for (;;) {
        size_t szSync = strBuf.find("\xA5\x5A");
        if (szSync == std::string::npos) {
            if (!strBuf.empty() && static_cast<uint8_t>(strBuf.back()) == 0xA5) {
                strBuf.erase(0, strBuf.size() - 1);
            } else {
                strBuf.clear();
            }
            return false;
        }
        strBuf.erase(0, szSync);
        if (strBuf.size() < 4) {
            return false;
        }
        size_t szLen = static_cast<uint8_t>(strBuf[2]) | static_cast<uint8_t>(strBuf[3]) << 8;
        if (szLen > 512) {
            strBuf.erase(0, 2);
            continue;
        }
        size_t szTotal = szLen <= 4 ? 17 : 13 + szLen;
        if (strBuf.size() < szTotal) {
            return false;
        }
        stOut.strRaw = strBuf.substr(0, szTotal);
        strBuf.erase(0, szTotal);
        return true;
    }
}

void SendAll(int s32Fd, const std::string &strBytes) {
    size_t szDone = 0;
    while (szDone < strBytes.size()) {
        ssize_t s32N =
            send(s32Fd, strBytes.data() + szDone, strBytes.size() - szDone, MSG_NOSIGNAL);
        if (s32N <= 0) {
            return;
        }
        szDone += static_cast<size_t>(s32N);
    }
}

int ReadSocket(int s32Fd, uint8_t *pu8Buf, int s32Max) {
    return static_cast<int>(recv(s32Fd, pu8Buf, static_cast<size_t>(s32Max), MSG_DONTWAIT));
}

bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() > tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string RandomBytes(size_t szCount, uint32_t u32Seed) {
    std::mt19937 objGen(u32Seed);
    std::string strOut(szCount, '\0');
    for (char &c : strOut) {
        c = static_cast<char>(objGen() & 0xFF);
    }
    return strOut;
}

bool FileExists(const std::string &strPath) {
    struct stat stStat;
    return lstat(strPath.c_str(), &stStat) == 0;
}

int CountOpenFds() {
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

size_t CountOf(const std::string &strHay, const std::string &strNeedle) {
    size_t szCount = 0;
    for (size_t szPos = strHay.find(strNeedle); szPos != std::string::npos;
         szPos = strHay.find(strNeedle, szPos + 1)) {
        ++szCount;
    }
    return szCount;
}

// ---------------------------------------------------------------------------
// "snd" and "rcv": the wire between them, with its tap

int g_as32SndRcv[2] = {-1, -1}; // [0] the sender's end, [1] the receiver's end

/// What crosses the wire, and how the sender-to-receiver direction damages it.
struct WireTap {
    std::mutex objMutex;
    std::string strSndPending; // sender's bytes not yet a whole frame
    std::string strRcvPending;
    std::set<uint16_t> setStartSns;        // distinct start frames sent
    std::map<uint16_t, int> mapChunkSends; // chunk index -> transmissions
    std::vector<uint32_t> vecReports;      // report codes, once per report frame
    std::set<uint16_t> setReportSns;
    // Damage: flip a data byte and leave the CRC (the receiver drops the
    // frame), or flip it and reseal (the receiver takes wrong content), or
    // announce a length one byte too long (resealed).
    int s32DropIndex = -1;
    int s32DropLeft = 0;
    int s32SilentIndex = -1;
    int s32SilentLeft = 0;
    int s32LengthLeft = 0;

    void ResetLocked() {
        setStartSns.clear();
        mapChunkSends.clear();
        vecReports.clear();
        setReportSns.clear();
        s32DropIndex = -1;
        s32DropLeft = 0;
        s32SilentIndex = -1;
        s32SilentLeft = 0;
        s32LengthLeft = 0;
    }
};
WireTap g_objTap;

void TamperSenderFrame(WireFrame &stFrame) {
    uint16_t u16Cmd = stFrame.Cmd();
    if (u16Cmd == CMD_UPDATE_SW_SEND_FILE_START) {
        g_objTap.setStartSns.insert(stFrame.Sn());
        if (g_objTap.s32LengthLeft > 0 && stFrame.strRaw.size() == 13 + 80) {
            --g_objTap.s32LengthLeft;
            uint32_t u32Len;
            memcpy(&u32Len, &stFrame.strRaw[13 + 72], 4);
            ++u32Len;
            memcpy(&stFrame.strRaw[13 + 72], &u32Len, 4);
            Seal(stFrame.strRaw);
        }
    } else if (u16Cmd == CMD_UPDATE_SW_SEND_FILE && stFrame.Index() != CMD_FILE_END_INDEX) {
        int s32Index = stFrame.Index();
        ++g_objTap.mapChunkSends[stFrame.Index()];
        if (s32Index == g_objTap.s32DropIndex && g_objTap.s32DropLeft > 0) {
            --g_objTap.s32DropLeft;
            stFrame.strRaw[13] = static_cast<char>(stFrame.strRaw[13] ^ 0x5A);
        } else if (s32Index == g_objTap.s32SilentIndex && g_objTap.s32SilentLeft > 0) {
            --g_objTap.s32SilentLeft;
            stFrame.strRaw[13] = static_cast<char>(stFrame.strRaw[13] ^ 0x5A);
            Seal(stFrame.strRaw);
        }
    }
}

int SndWrite(const uint8_t *pu8Buf, int s32Len) {
    std::string strOut;
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.strSndPending.append(reinterpret_cast<const char *>(pu8Buf), s32Len);
        WireFrame stFrame;
        while (TakeFrame(g_objTap.strSndPending, stFrame)) {
            TamperSenderFrame(stFrame);
            strOut += stFrame.strRaw;
        }
    }
    SendAll(g_as32SndRcv[0], strOut);
    return 0;
}

int RcvWrite(const uint8_t *pu8Buf, int s32Len) {
    std::string strOut;
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.strRcvPending.append(reinterpret_cast<const char *>(pu8Buf), s32Len);
        WireFrame stFrame;
        while (TakeFrame(g_objTap.strRcvPending, stFrame)) {
            if (stFrame.Cmd() == CMD_UPDATE_SW_REPORT_FILE &&
                g_objTap.setReportSns.insert(stFrame.Sn()).second) {
                g_objTap.vecReports.push_back(stFrame.Code());
            }
            strOut += stFrame.strRaw;
        }
    }
    SendAll(g_as32SndRcv[1], strOut);
    return 0;
}

int SndRead(uint8_t *pu8Buf, int s32Max) {
    return ReadSocket(g_as32SndRcv[0], pu8Buf, s32Max);
}
int RcvRead(uint8_t *pu8Buf, int s32Max) {
    return ReadSocket(g_as32SndRcv[1], pu8Buf, s32Max);
}

/// Frames an instance handed to its application, copied.
struct Delivered {
    std::mutex objMutex;
    std::vector<WireFrame> vecFrames; // header bytes + the payload bytes
};
Delivered g_objRcvDelivered;
Delivered g_objPeerDelivered;

void Record(Delivered &objTo, const _CmdProtocolParam *pstFrame) {
    WireFrame stCopy;
    stCopy.strRaw.assign(reinterpret_cast<const char *>(CmdParamBytes(pstFrame)), 13);
    const uint8_t *pu8Payload = CmdParamPayload(pstFrame);
    if (pu8Payload != nullptr) {
        stCopy.strRaw.append(reinterpret_cast<const char *>(pu8Payload), pstFrame->len);
    }
    std::lock_guard<std::mutex> objLock(objTo.objMutex);
    objTo.vecFrames.push_back(stCopy);
}

void RcvData(_CmdProtocolParam *pstFrame) {
    Record(g_objRcvDelivered, pstFrame);
}
void SndData(_CmdProtocolParam *) {}

// ---------------------------------------------------------------------------
// "peer": the test speaks the far end itself

int g_as32Peer[2] = {-1, -1}; // [0] the instance's end, [1] the test's end

int PeerInstWrite(const uint8_t *pu8Buf, int s32Len) {
    SendAll(g_as32Peer[0], std::string(reinterpret_cast<const char *>(pu8Buf), s32Len));
    return 0;
}
int PeerInstRead(uint8_t *pu8Buf, int s32Max) {
    return ReadSocket(g_as32Peer[0], pu8Buf, s32Max);
}
void PeerInstData(_CmdProtocolParam *pstFrame) {
    Record(g_objPeerDelivered, pstFrame);
}

// ---------------------------------------------------------------------------
// "unit": no engine; its writes are kept

std::vector<std::string> g_vecUnitWrites; // test thread only
int UnitWrite(const uint8_t *pu8Buf, int s32Len) {
    g_vecUnitWrites.emplace_back(reinterpret_cast<const char *>(pu8Buf), s32Len);
    return 0;
}
void UnitData(_CmdProtocolParam *) {}

// ---------------------------------------------------------------------------
// The process-wide set-up

struct Instances {
    int s32Snd = -1;
    int s32Rcv = -1;
    int s32Peer = -1;
    int s32Unit = -1;
    CmdProtocolInstance *pstSnd = nullptr;
    CmdProtocolInstance *pstRcv = nullptr;
    CmdProtocolInstance *pstPeer = nullptr;
    CmdProtocolInstance *pstUnit = nullptr;
};
Instances g_stInst;
TempDir *g_pobjWorkDir = nullptr;

int OpenWith(int (*pfnWrite)(const uint8_t *, int), int (*pfnRead)(uint8_t *, int),
             void (*pfnData)(_CmdProtocolParam *), const char *pszName) {
    CmdProtocolFun stFun{};
    stFun.Write = pfnWrite;
    stFun.Read = pfnRead;
    stFun.DataProcessing = pfnData;
    int s32Handle = CommandProtocolOpen(&stFun, pszName, 0);
    if (s32Handle >= 0) {
        CommandProtocolHeartBeatStatue(s32Handle, 0); // as the update tool runs it
    }
    return s32Handle;
}

class FileTransferEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        g_pobjWorkDir = new TempDir();
        ASSERT_EQ(0, chdir(g_pobjWorkDir->Path().c_str()));
        ASSERT_EQ(0, CommandProtocolMutexInit());
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, g_as32SndRcv));
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, g_as32Peer));
        g_stInst.s32Snd = OpenWith(SndWrite, SndRead, SndData, "snd");
        g_stInst.s32Rcv = OpenWith(RcvWrite, RcvRead, RcvData, "rcv");
        g_stInst.s32Peer = OpenWith(PeerInstWrite, PeerInstRead, PeerInstData, "peer");
        g_stInst.s32Unit = OpenWith(UnitWrite, nullptr, UnitData, "unit");
        ASSERT_GE(g_stInst.s32Snd, 0);
        ASSERT_GE(g_stInst.s32Rcv, 0);
        ASSERT_GE(g_stInst.s32Peer, 0);
        ASSERT_GE(g_stInst.s32Unit, 0);
        CommandProtocolStop(g_stInst.s32Unit);
        CommandProtocolWaitEngineEnd(g_stInst.s32Unit);
        g_stInst.pstSnd = CommandProtocolLookup(g_stInst.s32Snd);
        g_stInst.pstRcv = CommandProtocolLookup(g_stInst.s32Rcv);
        g_stInst.pstPeer = CommandProtocolLookup(g_stInst.s32Peer);
        g_stInst.pstUnit = CommandProtocolLookup(g_stInst.s32Unit);
    }
    void TearDown() override {
        for (int s32Handle : {g_stInst.s32Snd, g_stInst.s32Rcv, g_stInst.s32Peer}) {
            CommandProtocolStop(s32Handle);
            CommandProtocolWaitEngineEnd(s32Handle);
        }
        if (chdir("/") != 0) {
            // The folder is removed below either way.
        }
        delete g_pobjWorkDir;
        g_pobjWorkDir = nullptr;
    }
};
const ::testing::Environment *g_pobjEnv =
    ::testing::AddGlobalTestEnvironment(new FileTransferEnvironment);

// ---------------------------------------------------------------------------
// Transfers between "snd" and "rcv"

struct TransferCheck {
    bool bCleanRun = true; // no damage on the wire: stricter progress checks
    int s32TimeoutMs = 30000;
};

/// Sends strContent from "snd" to "rcv" as strName and follows the progress
/// until the receiver verified the file and the sender went idle.
void RunTransfer(const std::string &strContent, const std::string &strName,
                 const TransferCheck &stCheck) {
    CmdProtocolInstance *pstSnd = g_stInst.pstSnd;
    CmdProtocolInstance *pstRcv = g_stInst.pstRcv;
    const std::string strSource = "src_" + strName;
    ASSERT_TRUE(WriteFileBytes(strSource, strContent));
    {
        std::lock_guard<std::mutex> objLock(g_objRcvDelivered.objMutex);
        g_objRcvDelivered.vecFrames.clear();
    }
    const uint32_t u32Packets = static_cast<uint32_t>((strContent.size() + 511) / 512);
    const uint32_t u32Tag = 0xC0DE0000u + static_cast<uint32_t>(strContent.size());

    ASSERT_EQ(0, CommandProtocolTransferFileSendStart(g_stInst.s32Snd, u32Tag, strSource.c_str(),
                                                      strName.c_str()));
    // While the file goes out, the application's own frames are refused.
    _CmdProtocolParam stApp{};
    stApp.cmd = 0x0600;
    stApp.len = 2;
    EXPECT_EQ(-1, CommandProtocolSendCmdAdd(g_stInst.s32Snd, &stApp, 0));

    bool bSaw100 = false;
    bool bDone = WaitUntil(
        [&] {
            int s32Percent = CommandProtocolTransferFileProgress(g_stInst.s32Snd);
            EXPECT_GE(s32Percent, 0);
            EXPECT_LE(s32Percent, 100);
            if (s32Percent == 100 && !bSaw100) {
                bSaw100 = true;
                // 100 only once every chunk was acknowledged, so written.
                if (stCheck.bCleanRun) {
                    EXPECT_GE(pstRcv->fileRecvPacketIndex.load(),
                              std::max<uint32_t>(u32Packets, 1));
                }
                EXPECT_EQ(0, pstSnd->fileSendState.load()); // reading 100 ends the send
            }
            std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
            return pstRcv->fileRecvState.load() == 3 && !g_objTap.vecReports.empty() &&
                   g_objTap.vecReports.back() == 2 && pstSnd->fileSendState.load() == 0;
        },
        stCheck.s32TimeoutMs);
    ASSERT_TRUE(bDone) << "send state " << int(pstSnd->fileSendState.load()) << ", receive state "
                       << int(pstRcv->fileRecvState.load());
    EXPECT_TRUE(bSaw100);
    EXPECT_EQ(strContent, ReadFileBytes(strName)) << strName;

    // The receiver's application saw the announced record, then the end frame.
    std::vector<WireFrame> vecSeen;
    {
        std::lock_guard<std::mutex> objLock(g_objRcvDelivered.objMutex);
        vecSeen = g_objRcvDelivered.vecFrames;
    }
    ASSERT_GE(vecSeen.size(), 2u);
    const WireFrame &stStart = vecSeen[vecSeen.size() - 2];
    ASSERT_EQ(CMD_UPDATE_SW_SEND_FILE_START, stStart.Cmd());
    ASSERT_EQ(80u, stStart.Len());
    CmdProtocolFileInfo stInfo;
    memcpy(&stInfo, stStart.strRaw.data() + 13, sizeof(stInfo));
    EXPECT_EQ(u32Tag, stInfo.tag);
    EXPECT_EQ(strName, std::string(stInfo.fileName));
    EXPECT_EQ(u32Packets, stInfo.packets);
    EXPECT_EQ(strContent.size(), stInfo.length);
    EXPECT_EQ(Crc16Bitwise(strContent), stInfo.crc);
    const WireFrame &stEnd = vecSeen.back();
    EXPECT_EQ(CMD_UPDATE_SW_SEND_FILE, stEnd.Cmd());
    EXPECT_EQ(CMD_FILE_END_INDEX, stEnd.Index());

    // Once the progress read 100, the application may send again.
    EXPECT_GE(CommandProtocolSendCmdAdd(g_stInst.s32Snd, &stApp, 0), 0);
    EXPECT_TRUE(WaitUntil([] { return CommandProtocolGetSendBufNum(g_stInst.s32Snd) == 0; }, 5000));
}

class SenderReceiver : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.ResetLocked();
    }
    static std::map<uint16_t, int> ChunkSends() {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        return g_objTap.mapChunkSends;
    }
    static size_t StartFrames() {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        return g_objTap.setStartSns.size();
    }
    static std::vector<uint32_t> Reports() {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        return g_objTap.vecReports;
    }
};

TEST_F(SenderReceiver, FilesOfEverySizeArriveByteExact) {
    // Empty, inside the data field, just past it, one and two full chunks, one
    // byte into a third chunk, and about 1 MiB (2049 chunks).
    const size_t aszSizes[] = {0, 1, 4, 5, 512, 1024, 1025, 1024 * 1024 + 100};
    for (size_t szSize : aszSizes) {
        SCOPED_TRACE(szSize);
        SetUp();
        TransferCheck stCheck;
        stCheck.s32TimeoutMs = szSize > 100000 ? 240000 : 20000;
        RunTransfer(RandomBytes(szSize, static_cast<uint32_t>(szSize) + 1),
                    "dst_" + std::to_string(szSize), stCheck);
        EXPECT_EQ(1u, StartFrames());
        EXPECT_EQ(std::vector<uint32_t>{2}, Reports());
        std::map<uint16_t, int> mapSends = ChunkSends();
        EXPECT_EQ(std::max<size_t>((szSize + 511) / 512, 1), mapSends.size());
    }
}

TEST_F(SenderReceiver, TraceLinesFollowTheTransfer) {
    g_stInst.pstSnd->debugFlags.store(0x02);
    g_stInst.pstRcv->debugFlags.store(0x02);
    CapturedStream objOut(1);
    RunTransfer(RandomBytes(1025, 7), "traced.bin", TransferCheck{});
    std::string strOut = objOut.Take();
    g_stInst.pstSnd->debugFlags.store(0);
    g_stInst.pstRcv->debugFlags.store(0);
    EXPECT_NE(std::string::npos,
              strOut.find("\033[36m[transfer][CommandProtocolTransferFileStartCmd,"));
    EXPECT_NE(std::string::npos, strOut.find("] ==>[snd]traced.bin len=[1025]   Packets=3,crc="));
    EXPECT_NE(std::string::npos,
              strOut.find("] ==>[snd]src_traced.bin len=[1025]   Packets=3,crc="));
    EXPECT_NE(std::string::npos, strOut.find("] ==>Send addr=0x400 len=0x1[3,3] SN="));
    EXPECT_NE(std::string::npos, strOut.find("] ==>Recv start [traced.bin]\033[0m\r\n"));
    EXPECT_NE(std::string::npos, strOut.find("] ==>Recv addr=0x400 len=0x1[3,3] SN="));
    EXPECT_NE(std::string::npos, strOut.find("] ==>[snd] SendFileFinish\033[0m\r\n"));
    EXPECT_NE(std::string::npos, strOut.find("] ==> finish addr=0 SN="));
    EXPECT_NE(std::string::npos, strOut.find("[transfer][CommandProtocolTransferFileReportCmd,"));
    EXPECT_NE(std::string::npos, strOut.find("] rcv 2\033[0m\r\n"));
}

TEST_F(SenderReceiver, CorruptedChunkIsRepeatedUntilAcknowledged) {
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.s32DropIndex = 1;
        g_objTap.s32DropLeft = 2;
    }
    RunTransfer(RandomBytes(1537, 11), "damaged.bin", TransferCheck{});
    EXPECT_GE(ChunkSends()[1], 3); // twice dropped, then taken
    EXPECT_EQ(1u, StartFrames());  // no restart was needed
    EXPECT_EQ(std::vector<uint32_t>{2}, Reports());
}

TEST_F(SenderReceiver, CrcMismatchRestartsTheWholeFile) {
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.s32SilentIndex = 0;
        g_objTap.s32SilentLeft = 1; // arrives with a good frame CRC but wrong content
    }
    TransferCheck stCheck;
    stCheck.bCleanRun = false;
    RunTransfer(RandomBytes(2000, 12), "crc.bin", stCheck);
    EXPECT_GE(StartFrames(), 2u);
    std::vector<uint32_t> vecReports = Reports();
    ASSERT_GE(vecReports.size(), 2u);
    EXPECT_EQ(0u, vecReports.front());
    EXPECT_EQ(2u, vecReports.back());
    EXPECT_GE(ChunkSends()[0], 2);
}

TEST_F(SenderReceiver, SizeMismatchRestartsTheWholeFile) {
    {
        std::lock_guard<std::mutex> objLock(g_objTap.objMutex);
        g_objTap.s32LengthLeft = 1; // the first announcement claims one byte more
    }
    TransferCheck stCheck;
    stCheck.bCleanRun = false;
    RunTransfer(RandomBytes(700, 13), "size.bin", stCheck);
    EXPECT_GE(StartFrames(), 2u);
    std::vector<uint32_t> vecReports = Reports();
    ASSERT_GE(vecReports.size(), 2u);
    EXPECT_EQ(0u, vecReports.front());
    EXPECT_EQ(2u, vecReports.back());
}

TEST_F(SenderReceiver, FilesCrossInBothDirectionsAtOnce) {
    // Each instance sends one file and receives one at the same time: what
    // comes in must not change what goes out.
    const std::string strOut = RandomBytes(5000, 31);
    const std::string strIn = RandomBytes(3000, 32);
    ASSERT_TRUE(WriteFileBytes("src_out.bin", strOut));
    ASSERT_TRUE(WriteFileBytes("src_in.bin", strIn));
    int s32BackResult = -1;
    std::thread objBack([&s32BackResult] {
        s32BackResult =
            CommandProtocolTransferFileSendStart(g_stInst.s32Rcv, 2, "src_in.bin", "cross_in.bin");
    });
    int s32Result =
        CommandProtocolTransferFileSendStart(g_stInst.s32Snd, 1, "src_out.bin", "cross_out.bin");
    objBack.join();
    ASSERT_EQ(0, s32Result);
    ASSERT_EQ(0, s32BackResult);
    EXPECT_TRUE(WaitUntil(
        [] {
            CommandProtocolTransferFileProgress(g_stInst.s32Snd);
            CommandProtocolTransferFileProgress(g_stInst.s32Rcv);
            return g_stInst.pstSnd->fileSendState.load() == 0 &&
                   g_stInst.pstRcv->fileSendState.load() == 0 &&
                   g_stInst.pstSnd->fileRecvState.load() == 3 &&
                   g_stInst.pstRcv->fileRecvState.load() == 3;
        },
        20000));
    EXPECT_EQ(strOut, ReadFileBytes("cross_out.bin"));
    EXPECT_EQ(strIn, ReadFileBytes("cross_in.bin"));
    // The next transfers start from an idle receiver.
    g_stInst.pstSnd->fileRecvState.store(0);
}

// ---------------------------------------------------------------------------
// The test as the peer of "peer"

uint16_t g_u16PeerSn = 1000;
uint16_t NextSn() {
    return ++g_u16PeerSn;
}
// Reports are repeated until acknowledged; a repeat is not a new report.
std::set<uint16_t> g_setPeerReportSns;

class PeerWire : public ::testing::Test {
protected:
    void SetUp() override {
        m_pstInst = g_stInst.pstPeer;
        ASSERT_NE(nullptr, m_pstInst);
        // Start from an idle receiver.
        uint16_t u16Sn = NextSn();
        Send(BuildFrame(CMD_UPDATE_SW_READY_UPDATE, u16Sn, "r"));
        ASSERT_TRUE(AwaitAck(u16Sn));
        std::lock_guard<std::mutex> objLock(g_objPeerDelivered.objMutex);
        g_objPeerDelivered.vecFrames.clear();
    }

    static void Send(const std::string &strFrame) { SendAll(g_as32Peer[1], strFrame); }

    /// Reads the instance's frames until fnStop accepts one or the time runs
    /// out; every frame other than an acknowledgement is acknowledged, as a
    /// peer does. All frames read are kept in m_vecSeen.
    bool ReadUntil(const std::function<bool(const WireFrame &)> &fnStop, int s32TimeoutMs) {
        auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
        for (;;) {
            WireFrame stFrame;
            while (TakeFrame(m_strIn, stFrame)) {
                m_vecSeen.push_back(stFrame);
                if (stFrame.Cmd() == CMD_UPDATE_SW_REPORT_FILE &&
                    g_setPeerReportSns.insert(stFrame.Sn()).second) {
                    m_vecNewReports.push_back(stFrame.Code());
                }
                if (stFrame.Cmd() != CMD_ACK) {
                    Send(BuildFrame(CMD_ACK, stFrame.Sn(), std::string(4, '\0'), stFrame.Byte(9),
                                    stFrame.Byte(10)));
                }
                if (fnStop(stFrame)) {
                    return true;
                }
            }
            auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                             tEnd - std::chrono::steady_clock::now())
                             .count();
            if (tLeft <= 0) {
                return false;
            }
            pollfd stPoll{g_as32Peer[1], POLLIN, 0};
            if (poll(&stPoll, 1, static_cast<int>(tLeft)) > 0) {
                char acBuf[2048];
                ssize_t s32N = recv(g_as32Peer[1], acBuf, sizeof(acBuf), MSG_DONTWAIT);
                if (s32N > 0) {
                    m_strIn.append(acBuf, static_cast<size_t>(s32N));
                }
            }
        }
    }

    /// Waits for the acknowledgement of u16Sn (also found among the frames
    /// already read since the last SendAndCheckAck).
    bool AwaitAck(uint16_t u16Sn, int s32TimeoutMs = 3000) {
        auto fnIsAck = [u16Sn](const WireFrame &f) {
            return f.Cmd() == CMD_ACK && f.Sn() == u16Sn;
        };
        for (const WireFrame &stFrame : m_vecSeen) {
            if (fnIsAck(stFrame)) {
                return true;
            }
        }
        return ReadUntil(fnIsAck, s32TimeoutMs);
    }

    /// Sends a frame and then an application frame as a probe; the frames are
    /// acted on in order, so any acknowledgement of the first one comes before
    /// the probe's. True when the first one was acknowledged.
    bool SendAndCheckAck(const std::string &strFrame, uint16_t u16Sn) {
        m_vecSeen.clear();
        Send(strFrame);
        uint16_t u16Probe = NextSn();
        Send(BuildFrame(0x0700, u16Probe, "p"));
        EXPECT_TRUE(AwaitAck(u16Probe));
        for (const WireFrame &stFrame : m_vecSeen) {
            if (stFrame.Cmd() == CMD_ACK && stFrame.Sn() == u16Sn) {
                return true;
            }
        }
        return false;
    }

    /// Waits for a new report with the given code (one not waited for before).
    bool AwaitReport(uint32_t u32Code, int s32TimeoutMs = 3000) {
        auto fnFound = [this, u32Code] {
            for (size_t i = m_szReportsTaken; i < m_vecNewReports.size(); ++i) {
                if (m_vecNewReports[i] == u32Code) {
                    m_szReportsTaken = i + 1;
                    return true;
                }
            }
            return false;
        };
        return fnFound() ||
               ReadUntil([&fnFound](const WireFrame &) { return fnFound(); }, s32TimeoutMs);
    }

    /// Number of distinct reports received so far.
    size_t ReportsSeen() const { return m_vecNewReports.size(); }

    /// Announces a file; true when the start frame was acknowledged.
    bool Start(const std::string &strInfo) {
        uint16_t u16Sn = NextSn();
        return SendAndCheckAck(BuildFrame(CMD_UPDATE_SW_SEND_FILE_START, u16Sn, strInfo), u16Sn);
    }

    CmdProtocolInstance *m_pstInst = nullptr;
    std::string m_strIn;
    std::vector<WireFrame> m_vecSeen;
    std::vector<uint32_t> m_vecNewReports;
    size_t m_szReportsTaken = 0;
};

TEST_F(PeerWire, ChunkWithoutAnnouncementIsReportedThenDroppedUntilTheNextStart) {
    uint16_t u16Chunk = NextSn();
    EXPECT_FALSE(SendAndCheckAck(ChunkFrame(u16Chunk, 0, "abcd"), u16Chunk));
    EXPECT_TRUE(AwaitReport(0));
    EXPECT_EQ(4, m_pstInst->fileRecvState.load());

    // Failed state: further chunks are dropped silently, no report.
    size_t szReports = ReportsSeen();
    for (int i = 0; i < 2; ++i) {
        uint16_t u16Sn = NextSn();
        EXPECT_FALSE(SendAndCheckAck(ChunkFrame(u16Sn, 1, "efgh"), u16Sn));
    }
    EXPECT_FALSE(AwaitReport(0, 300));
    EXPECT_EQ(szReports, ReportsSeen());

    // The next start frame opens a new transfer.
    const std::string strContent = "1234567";
    ASSERT_TRUE(Start(InfoFor("after_fail.bin", strContent)));
    EXPECT_EQ(1, m_pstInst->fileRecvState.load());
    uint16_t u16Sn = NextSn();
    EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, 0, strContent), u16Sn));
    u16Sn = NextSn();
    Send(EndFrame(u16Sn));
    EXPECT_TRUE(AwaitReport(2));
    EXPECT_TRUE(AwaitAck(u16Sn));
    EXPECT_EQ(strContent, ReadFileBytes("after_fail.bin"));
}

TEST_F(PeerWire, RepeatedChunkIsAcknowledgedAndNotWrittenTwice) {
    const std::string strContent = "AAAABBBB";
    ASSERT_TRUE(Start(InfoFor("repeat.bin", strContent)));
    uint16_t u16Sn = NextSn();
    EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, 0, strContent), u16Sn));
    // Same sequence number again (its acknowledgement was "lost"), other bytes:
    // acknowledged, but not written.
    EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, 0, "CCCCDDDD"), u16Sn));
    EXPECT_EQ(1, m_pstInst->fileRecvPacketIndex.load());
    uint16_t u16End = NextSn();
    Send(EndFrame(u16End));
    EXPECT_TRUE(AwaitReport(2));
    EXPECT_TRUE(AwaitAck(u16End));
    EXPECT_EQ(strContent, ReadFileBytes("repeat.bin"));
}

TEST_F(PeerWire, OnlyPlainFileNamesAreCreated) {
    const std::string strTag = std::to_string(getpid());
    const std::string strUp = "../irft_" + strTag + "_up";
    const std::string strAbs = "/tmp/irft_" + strTag + "_abs";
    ASSERT_EQ(0, mkdir("a", 0755)); // so that "a/b" could be created if it were allowed
    const std::string strLong(64, 'n');
    const std::string astrBad[] = {strUp, strAbs, "a/b", "", "..", ".", strLong};

    CapturedStream objOut(1);
    for (const std::string &strName : astrBad) {
        SCOPED_TRACE(strName);
        EXPECT_FALSE(Start(InfoRecord(1, strName, 1, 3, 0)));
    }
    // The plain name is created in the working directory and the start taken.
    EXPECT_TRUE(Start(InfoRecord(1, "irlog.bin", 0, 0, 0)));
    std::string strOut = objOut.Take();

    EXPECT_EQ(7u, CountOf(strOut, "] =open file=\033[0m\r\n"));
    EXPECT_NE(std::string::npos,
              strOut.find("\033[31m[transfer][CommandProtocolTransferFileRecvStart,"));
    EXPECT_FALSE(FileExists(strUp));
    EXPECT_FALSE(FileExists(strAbs));
    EXPECT_FALSE(FileExists("a/b"));
    EXPECT_FALSE(FileExists(strLong));
    EXPECT_TRUE(FileExists(g_pobjWorkDir->File("irlog.bin")));
    EXPECT_EQ(1, m_pstInst->fileRecvState.load());

    // A symbolic link under a plain name is not followed.
    TempDir objElsewhere;
    const std::string strTarget = objElsewhere.File("target");
    ASSERT_TRUE(WriteFileBytes(strTarget, "keep"));
    ASSERT_EQ(0, symlink(strTarget.c_str(), "link.bin"));
    EXPECT_FALSE(Start(InfoRecord(1, "link.bin", 0, 0, 0)));
    EXPECT_EQ("keep", ReadFileBytes(strTarget));
}

TEST_F(PeerWire, ShortStartFrameIsZeroFilled) {
    // Tag and a 16-byte name field only: the rest of the record reads as zero,
    // so an empty file is announced.
    std::string strShort = InfoRecord(5, "short.bin", 0, 0, 0).substr(0, 20);
    ASSERT_TRUE(Start(strShort));
    {
        CMutexLock objLock(g_objSendBufMutex); // written by the engine under it
        EXPECT_EQ(5u, m_pstInst->fileRecvInfo.tag);
        EXPECT_STREQ("short.bin", m_pstInst->fileRecvInfo.fileName);
        EXPECT_EQ(0u, m_pstInst->fileRecvInfo.length);
        EXPECT_EQ(0u, m_pstInst->fileRecvInfo.crc);
    }
    uint16_t u16End = NextSn();
    Send(EndFrame(u16End));
    EXPECT_TRUE(AwaitReport(2));
    EXPECT_TRUE(AwaitAck(u16End));
    EXPECT_TRUE(FileExists("short.bin"));
    EXPECT_EQ("", ReadFileBytes("short.bin"));

    // A start frame carrying only the tag names no file at all.
    EXPECT_FALSE(Start(std::string("\x01\x02\x03\x04", 4)));
}

TEST_F(PeerWire, FramesAfterTheStreamClosedNeverTouchIt) {
    // Verified (state 3): a late chunk is acknowledged and ignored.
    const std::string strContent = "final content";
    ASSERT_TRUE(Start(InfoFor("closed.bin", strContent)));
    uint16_t u16Sn = NextSn();
    EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, 0, strContent), u16Sn));
    u16Sn = NextSn();
    Send(EndFrame(u16Sn));
    EXPECT_TRUE(AwaitReport(2));
    EXPECT_EQ(3, m_pstInst->fileRecvState.load());
    size_t szReports = ReportsSeen();
    for (uint16_t u16Index : {uint16_t(0), CMD_FILE_END_INDEX}) {
        u16Sn = NextSn();
        EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, u16Index, "XXXXXXXXXXXXX"), u16Sn));
    }
    EXPECT_EQ(szReports, ReportsSeen());
    EXPECT_EQ(strContent, ReadFileBytes("closed.bin"));
    EXPECT_EQ(3, m_pstInst->fileRecvState.load());

    // Verifying (state 2, the written file vanished before it could be
    // checked): report 0, and later chunks are dropped unanswered.
    ASSERT_TRUE(Start(InfoFor("gone.bin", "wxyz")));
    u16Sn = NextSn();
    EXPECT_TRUE(SendAndCheckAck(ChunkFrame(u16Sn, 0, "wxyz"), u16Sn));
    ASSERT_EQ(0, unlink("gone.bin"));
    u16Sn = NextSn();
    EXPECT_FALSE(SendAndCheckAck(EndFrame(u16Sn), u16Sn));
    EXPECT_TRUE(AwaitReport(0));
    EXPECT_EQ(2, m_pstInst->fileRecvState.load());
    szReports = ReportsSeen();
    u16Sn = NextSn();
    EXPECT_FALSE(SendAndCheckAck(ChunkFrame(u16Sn, 0, "wxyz"), u16Sn));
    EXPECT_FALSE(AwaitReport(0, 300));
    EXPECT_EQ(szReports, ReportsSeen());
    EXPECT_FALSE(FileExists("gone.bin"));
}

TEST_F(PeerWire, ChunkBeyondTheAnnouncedLengthFailsTheTransfer) {
    ASSERT_TRUE(Start(InfoFor("bound.bin", "0123456789")));
    // Index 0x7FFE would put the write near 16 MiB; the file is 10 bytes.
    uint16_t u16Sn = NextSn();
    EXPECT_FALSE(SendAndCheckAck(ChunkFrame(u16Sn, 0x7FFE, "zz"), u16Sn));
    EXPECT_TRUE(AwaitReport(0));
    EXPECT_EQ(4, m_pstInst->fileRecvState.load());
    struct stat stStat;
    ASSERT_EQ(0, stat("bound.bin", &stStat));
    EXPECT_EQ(0, stStat.st_size);

    // Also a chunk at a legal index that runs past the end.
    ASSERT_TRUE(Start(InfoFor("bound.bin", "0123456789")));
    u16Sn = NextSn();
    EXPECT_FALSE(SendAndCheckAck(ChunkFrame(u16Sn, 0, "0123456789A"), u16Sn));
    EXPECT_TRUE(AwaitReport(0));
    EXPECT_EQ(4, m_pstInst->fileRecvState.load());
}

TEST_F(PeerWire, RepeatedStartsDoNotLeakStreams) {
    int s32Before = CountOpenFds();
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(Start(InfoFor("again.bin", "x")));
    }
    uint16_t u16Sn = NextSn();
    Send(BuildFrame(CMD_UPDATE_SW_READY_UPDATE, u16Sn, "r"));
    ASSERT_TRUE(AwaitAck(u16Sn));
    EXPECT_EQ(0, m_pstInst->fileRecvState.load());
    EXPECT_LE(CountOpenFds(), s32Before);
}

TEST_F(PeerWire, ReportZeroWithoutAnAnnouncedFileStartsNothing) {
    uint16_t u16Sn = NextSn();
    EXPECT_TRUE(
        SendAndCheckAck(BuildFrame(CMD_UPDATE_SW_REPORT_FILE, u16Sn, std::string(4, '\0')), u16Sn));
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    EXPECT_FALSE(ReadUntil(
        [](const WireFrame &f) { return f.Cmd() == CMD_UPDATE_SW_SEND_FILE_START; }, 400));
    CMutexLock objLock(g_objSendBufMutex);
    EXPECT_FALSE(m_pstInst->fileAnnounced);
}

TEST_F(PeerWire, ReadyUpdateResetsTheReceiverAndReachesTheApplication) {
    ASSERT_TRUE(Start(InfoFor("ready.bin", "abc")));
    EXPECT_EQ(1, m_pstInst->fileRecvState.load());
    uint16_t u16Sn = NextSn();
    EXPECT_TRUE(SendAndCheckAck(BuildFrame(CMD_UPDATE_SW_READY_UPDATE, u16Sn, "go!"), u16Sn));
    EXPECT_EQ(0, m_pstInst->fileRecvState.load());
    std::lock_guard<std::mutex> objLock(g_objPeerDelivered.objMutex);
    bool bSeen = false;
    for (const WireFrame &stFrame : g_objPeerDelivered.vecFrames) {
        bSeen = bSeen || (stFrame.Cmd() == CMD_UPDATE_SW_READY_UPDATE && stFrame.Sn() == u16Sn);
    }
    EXPECT_TRUE(bSeen);
}

// ---------------------------------------------------------------------------
// The steps driven directly ("unit", engine stopped)

class UnitSteps : public ::testing::Test {
protected:
    void SetUp() override {
        m_pstInst = g_stInst.pstUnit;
        ASSERT_NE(nullptr, m_pstInst);
        CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
        m_pstInst->fileSendState.store(0);
        m_pstInst->fileRecvState.store(0);
        g_vecUnitWrites.clear();
    }
    void TearDown() override {
        CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
        m_pstInst->fileSendState.store(0);
    }
    /// Prepares a send of strPath as the send start leaves it.
    void PrepareSend(const std::string &strPath) {
        CMutexLock objLock(g_objSendBufMutex);
        ASSERT_EQ(0, CommandProtocolTransferCheckFileInfo(strPath.c_str(), &m_pstInst->fileInfo));
        memset(m_pstInst->fileInfo.fileName, 0, sizeof(m_pstInst->fileInfo.fileName));
        strcpy(m_pstInst->fileInfo.fileName, strPath.c_str());
        m_pstInst->filePacketIndex.store(0);
        m_pstInst->fileSendState.store(2);
    }
    std::vector<const _CmdProtocolParam *> QueuedOf(uint16_t u16Cmd) const {
        std::vector<const _CmdProtocolParam *> vecOut;
        for (const _CmdProtocolParam &stSlot : m_pstInst->sendSlots) {
            if (stSlot.sync1 == CMD_FRAME_SYNC1 && stSlot.cmd == u16Cmd) {
                vecOut.push_back(&stSlot);
            }
        }
        return vecOut;
    }
    CmdProtocolInstance *m_pstInst = nullptr;
};

TEST(FileInfo, MeasuresLengthPacketsAndCrc) {
    struct Case {
        std::string strContent;
        uint32_t u32Packets;
        uint32_t u32Crc;
    };
    const Case astCases[] = {
        {"", 0, 0},
        {"123456789", 1, 0x31C3}, // the CRC-16/XMODEM check value
        {std::string(512, 'a'), 1, Crc16Bitwise(std::string(512, 'a'))},
        {std::string(1024, 'b'), 2, Crc16Bitwise(std::string(1024, 'b'))},
        {RandomBytes(1025, 3), 3, Crc16Bitwise(RandomBytes(1025, 3))},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.strContent.size());
        ASSERT_TRUE(WriteFileBytes("info.bin", stCase.strContent));
        CmdProtocolFileInfo stInfo{};
        stInfo.tag = 0x11223344;
        strcpy(stInfo.fileName, "kept");
        ASSERT_EQ(0, CommandProtocolTransferCheckFileInfo("info.bin", &stInfo));
        EXPECT_EQ(stCase.strContent.size(), stInfo.length);
        EXPECT_EQ(stCase.u32Packets, stInfo.packets);
        EXPECT_EQ(stCase.u32Crc, stInfo.crc);
        EXPECT_EQ(0x11223344u, stInfo.tag);
        EXPECT_STREQ("kept", stInfo.fileName);
    }
    CapturedStream objOut(1);
    CmdProtocolFileInfo stInfo{};
    EXPECT_EQ(-1, CommandProtocolTransferCheckFileInfo("missing.bin", &stInfo));
    EXPECT_NE(std::string::npos,
              objOut.Take().find("\033[31m[transfer][CommandProtocolTransferCheckFileInfo,"));
}

TEST_F(UnitSteps, ChunksCarryTheirIndexAndProgressCountsThem) {
    const std::string strContent = RandomBytes(2000, 21); // 4 chunks, the last of 464 bytes
    ASSERT_TRUE(WriteFileBytes("four.bin", strContent));
    PrepareSend("four.bin");
    for (int i = 0; i < 3; ++i) {
        CommandProtocolTransferFileSend(m_pstInst);
    }
    EXPECT_EQ(75, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    EXPECT_EQ(2, m_pstInst->fileSendState.load());
    std::vector<const _CmdProtocolParam *> vecChunks = QueuedOf(CMD_UPDATE_SW_SEND_FILE);
    ASSERT_EQ(3u, vecChunks.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, vecChunks[i]->param1);
        EXPECT_EQ(i, vecChunks[i]->param2);
        ASSERT_EQ(512, vecChunks[i]->len);
        EXPECT_EQ(strContent.substr(i * 512, 512),
                  std::string(reinterpret_cast<const char *>(vecChunks[i]->payload), 512));
    }

    // The last chunk: every chunk queued, yet not 100 before the end marker.
    CommandProtocolTransferFileSend(m_pstInst);
    EXPECT_EQ(3, m_pstInst->fileSendState.load());
    EXPECT_EQ(99, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    vecChunks = QueuedOf(CMD_UPDATE_SW_SEND_FILE);
    ASSERT_EQ(4u, vecChunks.size());
    EXPECT_EQ(464, vecChunks[3]->len);

    // The end marker waits for every acknowledgement.
    CommandProtocolTransferFileSend(m_pstInst);
    EXPECT_EQ(3, m_pstInst->fileSendState.load());
    CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
    CommandProtocolTransferFileSend(m_pstInst);
    EXPECT_EQ(4, m_pstInst->fileSendState.load());
    vecChunks = QueuedOf(CMD_UPDATE_SW_SEND_FILE);
    ASSERT_EQ(1u, vecChunks.size());
    EXPECT_EQ(0x7F, vecChunks[0]->param1);
    EXPECT_EQ(0xFF, vecChunks[0]->param2);
    EXPECT_EQ(4, vecChunks[0]->len);

    // Reading 100 returns the sending side to idle.
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
}

TEST_F(UnitSteps, ShortLastChunkTravelsInTheDataField) {
    const std::string strContent = RandomBytes(1025, 22);
    ASSERT_TRUE(WriteFileBytes("tail.bin", strContent));
    PrepareSend("tail.bin");
    m_pstInst->filePacketIndex.store(2);
    CommandProtocolTransferFileSend(m_pstInst);
    std::vector<const _CmdProtocolParam *> vecChunks = QueuedOf(CMD_UPDATE_SW_SEND_FILE);
    ASSERT_EQ(1u, vecChunks.size());
    EXPECT_EQ(1, vecChunks[0]->len);
    EXPECT_EQ(nullptr, vecChunks[0]->payload);
    EXPECT_EQ(static_cast<uint8_t>(strContent[1024]), vecChunks[0]->data[0]);
    EXPECT_EQ(3, m_pstInst->fileSendState.load());
}

TEST_F(UnitSteps, UnreadableSourceIsRetriedWithAnErrorLine) {
    ASSERT_TRUE(WriteFileBytes("vanishing.bin", "abcdefgh"));
    PrepareSend("vanishing.bin");
    ASSERT_EQ(0, unlink("vanishing.bin"));
    CapturedStream objOut(1);
    CommandProtocolTransferFileSend(m_pstInst);
    std::string strOut = objOut.Take();
    EXPECT_NE(std::string::npos, strOut.find("] unit [open error  vanishing.bin]\033[0m\r\n"));
    EXPECT_EQ(2, m_pstInst->fileSendState.load());
    EXPECT_EQ(0, m_pstInst->filePacketIndex.load());
    EXPECT_TRUE(QueuedOf(CMD_UPDATE_SW_SEND_FILE).empty());
}

TEST_F(UnitSteps, FailedSendStartReturnsToIdle) {
    ASSERT_TRUE(WriteFileBytes("unanswered.bin", "no one listens"));
    CapturedStream objOut(1);
    // The engine is stopped, so the start frame is never acknowledged.
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(g_stInst.s32Unit, 9, "unanswered.bin",
                                                       "remote.bin"));
    std::string strOut = objOut.Take();
    EXPECT_NE(std::string::npos, strOut.find("] unit, " + std::to_string(g_stInst.s32Unit) + "."));
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    EXPECT_TRUE(QueuedOf(CMD_UPDATE_SW_SEND_FILE_START).empty());
    {
        CMutexLock objLock(g_objSendBufMutex);
        EXPECT_FALSE(m_pstInst->fileAnnounced);
    }
    // So the application may send again.
    _CmdProtocolParam stApp{};
    stApp.cmd = 0x0600;
    stApp.len = 1;
    EXPECT_GE(CommandProtocolSendCmdAdd(g_stInst.s32Unit, &stApp, 0), 0);
}

TEST_F(UnitSteps, SendStartRefusals) {
    ASSERT_TRUE(WriteFileBytes("present.bin", "x"));
    const std::string strLong(64, 'p');
    ASSERT_TRUE(WriteFileBytes(strLong, "x"));
    CapturedStream objOut(1);
    // Invalid handles.
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(-1, 0, "present.bin", "r.bin"));
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(CMD_INSTANCE_COUNT, 0, "present.bin", "r"));
    EXPECT_EQ(-1, CommandProtocolTransferFileProgress(-1));
    EXPECT_EQ(-1, CommandProtocolTransferFileProgress(CMD_INSTANCE_COUNT));
    // A local file that cannot be opened.
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(g_stInst.s32Unit, 0, "absent.bin", "r"));
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    // Names that would not fit their 64-byte fields.
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(g_stInst.s32Unit, 0, strLong.c_str(), "r"));
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(g_stInst.s32Unit, 0, "present.bin",
                                                       strLong.c_str()));
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    // A send already running.
    m_pstInst->fileSendState.store(2);
    EXPECT_EQ(-1, CommandProtocolTransferFileSendStart(g_stInst.s32Unit, 0, "present.bin", "r"));
    EXPECT_EQ(2, m_pstInst->fileSendState.load());
    std::string strOut = objOut.Take();
    EXPECT_NE(std::string::npos, strOut.find("] error [invalid] [present.bin][r.bin]\033[0m\r\n"));
    EXPECT_NE(std::string::npos, strOut.find("] open [unit] [absent.bin]\033[0m\r\n"));
    EXPECT_TRUE(QueuedOf(CMD_UPDATE_SW_SEND_FILE_START).empty());
}

TEST_F(UnitSteps, ReportZeroRestartsOnlyAnAnnouncedSend) {
    auto fnReport = [this](uint16_t u16Sn, uint32_t u32Code) {
        _CmdProtocolParam stSlot{};
        stSlot.sync1 = CMD_FRAME_SYNC1;
        stSlot.sync2 = CMD_FRAME_SYNC2;
        stSlot.cmd = CMD_UPDATE_SW_REPORT_FILE;
        stSlot.len = 4;
        stSlot.sn = u16Sn;
        memcpy(stSlot.data, &u32Code, 4);
        CommandProtocolTransferFileReport(m_pstInst, &stSlot);
    };
    {
        CMutexLock objLock(g_objSendBufMutex);
        m_pstInst->fileAnnounced = false;
    }
    fnReport(301, 0);
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    EXPECT_TRUE(QueuedOf(CMD_UPDATE_SW_SEND_FILE_START).empty());
    ASSERT_EQ(1u, g_vecUnitWrites.size()); // the acknowledgement
    EXPECT_EQ(17u, g_vecUnitWrites[0].size());
    EXPECT_EQ(0, g_vecUnitWrites[0][11]);
    EXPECT_TRUE(CommandProtocolIsRepeat(m_pstInst, 301));

    // Announce a file, finish it, then the peer asks for it again.
    ASSERT_TRUE(WriteFileBytes("again_src.bin", "payload!"));
    PrepareSend("again_src.bin");
    {
        CMutexLock objLock(g_objSendBufMutex);
        strcpy(m_pstInst->remoteFileName, "again_dst.bin");
        ASSERT_EQ(0, CommandProtocolTransferFileStartCmd(m_pstInst));
        m_pstInst->cipherParam = 0x81; // cleared again by the restart
    }
    EXPECT_EQ(1, m_pstInst->fileSendState.load());
    CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
    m_pstInst->fileSendState.store(0);
    fnReport(302, 2); // verified: nothing happens
    EXPECT_EQ(0, m_pstInst->fileSendState.load());
    fnReport(303, 0);
    EXPECT_EQ(2, m_pstInst->fileSendState.load());
    std::vector<const _CmdProtocolParam *> vecStart = QueuedOf(CMD_UPDATE_SW_SEND_FILE_START);
    ASSERT_EQ(1u, vecStart.size());
    ASSERT_EQ(80, vecStart[0]->len);
    // Queued with the cipher setting in force before the restart (key 1), which
    // the restart then clears for the chunks.
    EXPECT_EQ(0x81, vecStart[0]->flags);
    CmdProtocolFileInfo stInfo;
    ASSERT_EQ(0, Arc4DecryptEncrypt(vecStart[0]->payload, reinterpret_cast<uint8_t *>(&stInfo),
                                    sizeof(stInfo), 1));
    EXPECT_STREQ("again_dst.bin", stInfo.fileName);
    EXPECT_EQ(8u, stInfo.length);
    EXPECT_EQ(Crc16Bitwise("payload!"), stInfo.crc);
    CMutexLock objLock(g_objSendBufMutex);
    EXPECT_EQ(0, m_pstInst->cipherParam);
    // The restart emptied the history: only the report itself is recorded.
    EXPECT_TRUE(CommandProtocolIsRepeat(m_pstInst, 303));
    EXPECT_FALSE(CommandProtocolIsRepeat(m_pstInst, 301));
}

TEST_F(UnitSteps, ProgressWhileReceivingStopsShortOfTheVerdict) {
    m_pstInst->fileRecvInfo.packets = 4;
    m_pstInst->fileRecvPacketIndex.store(4);
    m_pstInst->fileRecvState.store(1);
    EXPECT_EQ(99, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    m_pstInst->fileRecvPacketIndex.store(1);
    EXPECT_EQ(25, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    m_pstInst->fileRecvState.store(3);
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(g_stInst.s32Unit));
    m_pstInst->fileRecvState.store(0);
}

} // namespace
