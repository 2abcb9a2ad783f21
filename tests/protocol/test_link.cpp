// Protocol instances with their engine threads, joined by a socketpair or a
// pty. Commands of every size cross both ways at once, each exactly once and
// byte for byte: plain, enciphered, over a line that loses and damages bytes,
// and over a pty in fast mode. Files cross both ways at once, one of more
// than 256 chunks, and a file damaged on the way is sent again whole. The
// protocol's time runs four times as fast as the real one (its clock and its
// pauses): nothing waits longer than it must, and no rule changes.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "protocol_fixture.h"

namespace {

using Message = std::pair<uint16_t, Bytes>; // command code, data

// The callbacks carry no context: each endpoint is an index into g_astEp.
struct Endpoint {
    std::atomic<int> s32Fd{-1};
    std::mutex objMutex; // guards the members below
    std::vector<Message> vecGot;
    Bytes vecWritten;
    std::mt19937 objRng; // a lossy line drops a byte in 2000 and damages another
    bool bLossy = false;
    int s32Lost = 0, s32Damaged = 0;
    Bytes vecHeld;           // a chunk header held back until its payload comes
    int s32DamageChunk = -1; // the next transmission of this file chunk is damaged
    int s32Starts = 0;       // file start frames written
};
Endpoint g_astEp[6];

template <int N> int EpWrite(const uint8_t *pu8Buf, int s32Len) {
    Endpoint &stEp = g_astEp[N];
    Bytes vecOut(pu8Buf, pu8Buf + s32Len);
    {
        std::lock_guard<std::mutex> objLock(stEp.objMutex);
        stEp.vecWritten.insert(stEp.vecWritten.end(), pu8Buf, pu8Buf + s32Len);
        const uint16_t u16Cmd = s32Len == CMD_FRAME_HEAD_LEN ? Get16(vecOut, 11) : 0;
        stEp.s32Starts += u16Cmd == CMD_UPDATE_SW_SEND_FILE_START;
        if (u16Cmd == CMD_UPDATE_SW_SEND_FILE &&
            (vecOut[9] << 8 | vecOut[10]) == stEp.s32DamageChunk) {
            stEp.vecHeld = vecOut;
            return s32Len;
        }
        if (!stEp.vecHeld.empty()) { // the payload: damaged, then sealed anew
            vecOut[0] ^= 0x01;
            vecOut = Cat({stEp.vecHeld, vecOut});
            Put16(vecOut, 4,
                  CommandProtocolCrc16(0, &vecOut[6], static_cast<int>(vecOut.size() - 6)));
            stEp.vecHeld.clear();
            stEp.s32DamageChunk = -1;
        }
        for (size_t i = 0; stEp.bLossy && i < vecOut.size(); ++i) {
            const uint32_t u32Fate = stEp.objRng() % 2000;
            stEp.s32Lost += u32Fate == 0;
            stEp.s32Damaged += u32Fate == 1;
            if (u32Fate == 0) {
                vecOut.erase(vecOut.begin() + static_cast<std::ptrdiff_t>(i--));
            } else if (u32Fate == 1) {
                vecOut[i] ^= 0x10;
            }
        }
    }
    return write(stEp.s32Fd, vecOut.data(), vecOut.size()) < 0 ? -1 : s32Len;
}
template <int N> int EpRead(uint8_t *pu8Buf, int s32Max) {
    pollfd stPoll{g_astEp[N].s32Fd, POLLIN, 0};
    return poll(&stPoll, 1, 0) > 0 ? static_cast<int>(read(stPoll.fd, pu8Buf, s32Max)) : 0;
}
template <int N> void EpDeliver(_CmdProtocolParam *pstFrame) {
    const uint8_t *pu8 = CmdParamPayload(pstFrame);
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    g_astEp[N].vecGot.emplace_back(uint16_t{pstFrame->cmd}, Bytes(pu8, pu8 + pstFrame->len));
}
template <int N> int Open(int s32Fd, int s32Mode) {
    g_astEp[N].s32Fd = s32Fd;
    CommandProtocolMutexInit();
    CommandProtocolSetClock([] {
        timespec stNow{};
        clock_gettime(CLOCK_MONOTONIC, &stNow);
        return static_cast<uint32_t>((stNow.tv_sec * 1000ull + stNow.tv_nsec / 1000000) * 4);
    });
    CommandProtocolSetPause([](uint32_t u32Us) { usleep(u32Us / 4); });
    CmdProtocolFun stFun{};
    stFun.Write = EpWrite<N>;
    stFun.Read = EpRead<N>;
    stFun.DataProcessing = EpDeliver<N>;
    return CommandProtocolOpen(&stFun, ("ep" + std::to_string(N)).c_str(), s32Mode);
}
std::vector<Message> Got(int N, size_t u32Count) {
    EXPECT_TRUE(PollUntil(
        [&] {
            std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
            return g_astEp[N].vecGot.size() >= u32Count;
        },
        60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // room for a stray duplicate
    std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
    return std::exchange(g_astEp[N].vecGot, {});
}

/// Both sides send commands of every size at once; each list arrives
/// complete, once, byte for byte, and in order unless bOrdered is false (a
/// lossy line, or fast mode, which sends every due frame in one pass, so that a
/// burst can overrun the peer's receive slots and be made good out of order).
/// The short ones go first and the queue drains before the long ones, whose
/// chunks go with priority and would overtake short ones still waiting.
void Cross(int hA, int hB, int s32EpA, uint16_t u16Cmd, bool bLossy, bool bOrdered) {
    std::vector<size_t> vecSizes = {1, 4, 5, 512, 513, 65535};
    for (size_t i = 0; bLossy && i < 24; ++i) {
        vecSizes.insert(vecSizes.begin(), 1 + (i * 37) % 300);
    }
    std::vector<Message> avecSent[2];
    for (size_t u32Size : vecSizes) {
        for (std::vector<Message> &vecSent : avecSent) {
            vecSent.emplace_back(u16Cmd, Pattern(u32Size, u16Cmd & 0xFF));
            ++u16Cmd;
        }
    }
    auto fnSend = [](int s32Handle, const std::vector<Message> &vecMsgs) {
        for (const Message &stMsg : vecMsgs) {
            if (stMsg.second.size() == 513) {
                EXPECT_EQ(0, CommandProtocolWaitSendBufEmpty(s32Handle, 30000));
            }
            EXPECT_TRUE(
                PollUntil([&] { return Send(s32Handle, stMsg.first, stMsg.second) >= 0; }, 30000))
                << stMsg.first;
        }
    };
    std::thread objBSide(fnSend, hB, std::cref(avecSent[1]));
    fnSend(hA, avecSent[0]);
    objBSide.join();
    for (int i = 0; i < 2; ++i) {
        std::vector<Message> vecGot = Got(s32EpA + 1 - i, vecSizes.size());
        if (!bOrdered) {
            std::sort(vecGot.begin(), vecGot.end());
            std::sort(avecSent[i].begin(), avecSent[i].end());
        }
        EXPECT_TRUE(vecGot == avecSent[i]) << (i == 0 ? "A to B" : "B to A") << ": "
                                           << vecGot.size() << " of " << avecSent[i].size();
    }
}

TEST(Link, CommandsCrossOncePlainEncipheredLossyAndOverAPtyInFastMode) {
    int as32Fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, as32Fd));
    const int hA = Open<0>(as32Fd[0], 0);
    const int hB = Open<1>(as32Fd[1], 0);
    ASSERT_TRUE(hA >= 0 && hB >= 0);
    for (int s32Round = 0; s32Round < 3; ++s32Round) {
        SCOPED_TRACE(s32Round);
        // Each side enciphers with its own key; the receiver follows the frame's key index.
        const uint8_t u8Encrypt = s32Round == 1 ? 1 : 0;
        CommandProtocolSetParam(hA, u8Encrypt, 0, 0, 0, 0);
        CommandProtocolSetParam(hB, u8Encrypt, 1, 0, 0, 0);
        for (int N : {0, 1}) {
            std::lock_guard<std::mutex> objLock(g_astEp[N].objMutex);
            g_astEp[N].bLossy = s32Round == 2;
            g_astEp[N].vecWritten.clear();
        }
        Cross(hA, hB, 0, static_cast<uint16_t>(0x1000 * (s32Round + 1)), s32Round == 2,
              s32Round != 2);
        std::lock_guard<std::mutex> objLock(g_astEp[0].objMutex);
        const Bytes vecProbe = Pattern(32, 6); // the start of A's fourth command
        const Bytes &vecLine = g_astEp[0].vecWritten;
        EXPECT_EQ(u8Encrypt == 0, std::search(vecLine.begin(), vecLine.end(), vecProbe.begin(),
                                              vecProbe.end()) != vecLine.end())
            << "the command travels in clear only when not enciphered";
    }
    EXPECT_TRUE(g_astEp[0].s32Lost > 0 && g_astEp[0].s32Damaged > 0) << "a lossy line";

    const int s32Master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(s32Master >= 0 && grantpt(s32Master) == 0 && unlockpt(s32Master) == 0);
    const int s32Slave = open(ptsname(s32Master), O_RDWR | O_NOCTTY);
    termios stTio{}; // raw: no echo, no translation, every byte as it is
    ASSERT_EQ(0, tcgetattr(s32Slave, &stTio));
    cfmakeraw(&stTio);
    ASSERT_EQ(0, tcsetattr(s32Slave, TCSANOW, &stTio));
    const int hPtyA = Open<2>(s32Master, 1);
    const int hPtyB = Open<3>(s32Slave, 1);
    ASSERT_TRUE(hPtyA >= 0 && hPtyB >= 0);
    Cross(hPtyA, hPtyB, 2, 0x5000, false, false);
    // A stop ends the engines.
    for (int s32Handle : {hA, hB, hPtyA, hPtyB}) {
        CommandProtocolStop(s32Handle);
        EXPECT_EQ(0, CommandProtocolWaitEngineEnd(s32Handle));
    }
}

TEST(Link, FilesCrossBothWaysAndADamagedFileIsSentAgainWhole) {
    TempDir objDir;
    ASSERT_EQ(0, chdir(objDir.Path().c_str()));
    int as32Fd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, as32Fd));
    const int hSnd = Open<4>(as32Fd[0], 0);
    const int hRcv = Open<5>(as32Fd[1], 0);
    ASSERT_TRUE(hSnd >= 0 && hRcv >= 0);
    // Heartbeats off, as the update tool runs it.
    CommandProtocolHeartBeatStatue(hSnd, 0);
    CommandProtocolHeartBeatStatue(hRcv, 0);
    struct File {
        int h, N;
        std::string strName, strContent;
    };
    auto fnRun = [](const std::vector<File> &vecFiles) {
        for (const File &stFile : vecFiles) {
            ASSERT_TRUE(WriteFileBytes("src_" + stFile.strName, stFile.strContent));
            ASSERT_EQ(0, CommandProtocolTransferFileSendStart(stFile.h, 77,
                                                              ("src_" + stFile.strName).c_str(),
                                                              stFile.strName.c_str()));
        }
        std::vector<bool> vecDone(vecFiles.size(), false);
        ASSERT_TRUE(PollUntil(
            [&] {
                for (size_t i = 0; i < vecFiles.size(); ++i) {
                    // Reading 100 ends a send; the file is whole once closed.
                    vecDone[i] =
                        vecDone[i] || CommandProtocolTransferFileProgress(vecFiles[i].h) == 100;
                }
                return std::all_of(vecDone.begin(), vecDone.end(), [](bool b) { return b; }) &&
                       std::all_of(vecFiles.begin(), vecFiles.end(), [](const File &stFile) {
                           return ReadFileBytes(stFile.strName) == stFile.strContent;
                       });
            },
            60000));
        // The peer was told tag, name, chunk count, length and CRC of the content.
        for (const File &stFile : vecFiles) {
            CmdProtocolFileInfo stInfo{77,
                                       {},
                                       static_cast<uint32_t>(stFile.strContent.size() + 511) / 512,
                                       static_cast<uint32_t>(stFile.strContent.size()),
                                       0};
            stFile.strName.copy(stInfo.fileName, 63);
            stInfo.crc =
                CommandProtocolCrc16(0, reinterpret_cast<const uint8_t *>(stFile.strContent.data()),
                                     static_cast<int>(stFile.strContent.size()));
            const uint8_t *pu8Info = reinterpret_cast<const uint8_t *>(&stInfo);
            const Message stExpect{CMD_UPDATE_SW_SEND_FILE_START, Bytes(pu8Info, pu8Info + 80)};
            const std::vector<Message> vecGot = Got(9 - stFile.N, 0);
            EXPECT_NE(vecGot.end(), std::find(vecGot.begin(), vecGot.end(), stExpect));
        }
    };
    std::mt19937 objRng(5);
    std::string strBig(131172, '\0'); // 257 chunks: indexes above 255
    std::generate(strBig.begin(), strBig.end(), [&] { return static_cast<char>(objRng()); });
    fnRun({{hSnd, 4, "big.bin", strBig}, {hRcv, 5, "back.bin", strBig.substr(7, 3000)}});
    g_astEp[4].s32Starts = 0;
    g_astEp[4].s32DamageChunk = 2; // sealed anew: only the file's CRC shows it
    fnRun({{hSnd, 4, "damaged.bin", strBig.substr(0, 1300)}});
    EXPECT_EQ(2, g_astEp[4].s32Starts) << "started again once";
    for (int s32Handle : {hSnd, hRcv}) {
        CommandProtocolStop(s32Handle);
        CommandProtocolWaitEngineEnd(s32Handle);
    }
    EXPECT_EQ(0, chdir("/"));
}

} // namespace
