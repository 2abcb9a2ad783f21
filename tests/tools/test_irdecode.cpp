// irdecode, run as a program: on strace of the unmodified tool and irsim's
// capture of one noisy update it tells the run as irsim does; clear, key 0 and
// key 1 traffic of real instances decode alike; bad input is refused.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "protocol/command_protocol.h"
#include "update_e2e.h"

namespace {

// The pair under test: what each side writes is kept and handed to the other.
// Pairs run one after the other; an idle pair writes nothing.
std::mutex s_objWireMutex;
std::string s_astrWire[2];
int s_as32Handle[2] = {-1, -1};

template <int SIDE> int Write(const uint8_t *pu8Buf, int s32Len) {
    std::lock_guard<std::mutex> objLock(s_objWireMutex);
    s_astrWire[SIDE].append(reinterpret_cast<const char *>(pu8Buf), static_cast<size_t>(s32Len));
    return CommandInterfaceRead2(s_as32Handle[1 - SIDE], pu8Buf, s32Len) < -1 ? -1 : s32Len;
}

void Send(int s32Handle, uint16_t u16Cmd, const std::vector<uint8_t> &vecData) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(vecData.size());
    uint8_t *pu8Data = stRec.data;
    if (vecData.size() > CMD_FRAME_SHORT_MAX) {
        pu8Data = stRec.payload = static_cast<uint8_t *>(malloc(vecData.size()));
    }
    memcpy(pu8Data, vecData.data(), vecData.size());
    ASSERT_GE(CommandProtocolSendCmdAdd(s32Handle, &stRec, 0), 0);
    if (vecData.size() > CMD_FRAME_MAX_PAYLOAD) {
        free(stRec.payload); // sent as copies; a queued frame's buffer is the queue's
    }
    ASSERT_EQ(0, CommandProtocolWaitSendBufEmpty(s32Handle, 3000));
}

/// Runs irdecode with vecArgs: its exit status, standard output and error.
int Decode(const std::vector<std::string> &vecArgs, std::string *pstrOut, std::string *pstrErr) {
    std::vector<std::string> vecArgv{IRDECODE_BINARY};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    ChildProcess objDecoder;
    EXPECT_EQ("", objDecoder.Start(vecArgv));
    EXPECT_TRUE(objDecoder.Wait(e2e::END_MS));
    *pstrOut = objDecoder.Stdout();
    *pstrErr = objDecoder.Stderr();
    return objDecoder.ExitCode();
}

TEST(Irdecode, CapturesOfANoisyUpdateAgreeWithIrsim) {
    E2E_REQUIRE_SANDBOX();
    const struct {
        std::vector<std::string> vecFaults;
        const char *pszOutcome, *pszVerdict;
    } astRuns[] = {
        {{"--corrupt-rx", "0.005", "--corrupt-tx", "0.005", "--drop-rx", "0.005", "--drop-tx",
          "0.005", "--fail", "606"},
         "success",
         "success"},
        {{"--fail", "606,607,601"}, "gave-up", "failure"},
    };
    // Pairs of irdecode's name and irsim's for the same fact.
    const char *pszSame =
        "frames-host rx-frames repeats-host rx-repeats crc-bad-host rx-bad-frames "
        "acks-host rx-acks start-commands start-commands chunks chunks "
        "chunks-total chunks-total image-bytes bytes checksum checksum "
        "failures failures-sent";
    for (const auto &stRun : astRuns) {
        SCOPED_TRACE(stRun.pszOutcome);
        e2e::UpdateRun objRun;
        objRun.m_strImage = e2e::MakeImage(700, 31);
        const std::string strTrace = objRun.m_objDir.File("trace"),
                          strCapture = objRun.m_objDir.File("capture");
        objRun.m_vecSimArgs = stRun.vecFaults;
        objRun.m_vecSimArgs.insert(
            objRun.m_vecSimArgs.end(),
            {"--seed", "5", "--garbage", "0.05", "--withhold-ack", "0.1", "--capture", strCapture});
        // strace as on a board; a sanitized tool cannot look for leaks under it (ptrace).
        objRun.m_vecToolWrapper = {
            "sh", "-c",
            "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec strace -f -tt "
            "-xx -s 65535 -e trace=read,write -o \"$0\" \"$@\"",
            strTrace};
        ASSERT_NO_FATAL_FAILURE(objRun.Run());
        SCOPED_TRACE(objRun.Trace());
        EXPECT_EQ(stRun.pszVerdict, objRun.Value("verdict"));
        for (const std::string &strFile : {strTrace, strCapture}) {
            std::string strOut, strErr;
            EXPECT_EQ(0, Decode({"--quiet", strFile}, &strOut, &strErr)) << strErr;
            SCOPED_TRACE(strOut);
            std::map<std::string, std::string> mapValue; // of the "irdecode: <name> <value>" lines
            std::istringstream objIn(strOut);
            for (std::string strLine; std::getline(objIn, strLine);) {
                const size_t u32Space = strLine.find(' ', 10);
                if (strLine.rfind("irdecode: ", 0) == 0 && u32Space != std::string::npos) {
                    mapValue[strLine.substr(10, u32Space - 10)] = strLine.substr(u32Space + 1);
                }
            }
            EXPECT_EQ(stRun.pszOutcome, mapValue["outcome"]);
            std::istringstream objSame(pszSame);
            for (std::string strOurs, strIrsim; objSame >> strOurs >> strIrsim;) {
                EXPECT_EQ(objRun.Value(strIrsim), mapValue[strOurs]) << strOurs;
            }
        }
    }
}

TEST(Irdecode, EncipheredSessionsDecodeToTheSameCommands) {
    elogLev = 1;
    ASSERT_EQ(0, CommandProtocolMutexInit());
    TempDir objDir;
    std::vector<std::string> vecPlain;
    for (int s32Key = -1; s32Key <= 1; ++s32Key) { // in clear, key 0, key 1
        SCOPED_TRACE(s32Key);
        for (int s32Side : {0, 1}) {
            CmdProtocolFun stFun{};
            stFun.Write = s32Side == 0 ? Write<0> : Write<1>;
            stFun.DataProcessing = [](_CmdProtocolParam *) {};
            // Not under the wire's lock: the engines take it inside the send lock.
            const int s32Handle = CommandProtocolOpen(&stFun, s32Side == 0 ? "host" : "mcu", 0);
            ASSERT_GE(s32Handle, 0);
            CommandProtocolSetParam(s32Handle, s32Key >= 0, static_cast<uint8_t>(s32Key), 0x20,
                                    0x50, 0);
            CommandProtocolHeartBeatStatue(s32Handle, 0);
            std::lock_guard<std::mutex> objLock(s_objWireMutex);
            s_astrWire[s32Side].clear();
            s_as32Handle[s32Side] = s32Handle;
        }
        ASSERT_NO_FATAL_FAILURE(Send(s_as32Handle[0], 0x600, {0, 0})); // short: cmd enciphered
        ASSERT_NO_FATAL_FAILURE(Send(s_as32Handle[1], 0x602, {2, 0, 0, 0}));
        ASSERT_NO_FATAL_FAILURE(Send(s_as32Handle[0], 0x604, std::vector<uint8_t>(64, 0x5A)));
        ASSERT_NO_FATAL_FAILURE(
            Send(s_as32Handle[0], 0x700, std::vector<uint8_t>(700, 7))); // in two parts
        {
            std::lock_guard<std::mutex> objLock(s_objWireMutex);
            ASSERT_TRUE(WriteFileBytes(objDir.File("host"), s_astrWire[0]));
            ASSERT_TRUE(WriteFileBytes(objDir.File("mcu"), s_astrWire[1]));
        }
        std::string strOut, strErr;
        ASSERT_EQ(0, Decode({"--host", objDir.File("host"), "--mcu", objDir.File("mcu")}, &strOut,
                            &strErr))
            << strErr;
        SCOPED_TRACE(strOut);
        // The frames taken as new, their key taken out, in a fixed order.
        std::vector<std::string> vecFrames;
        std::istringstream objIn(strOut);
        for (std::string strLine; std::getline(objIn, strLine);) {
            const size_t u32Key = strLine.find(" key " + std::to_string(s32Key) + " ");
            if (u32Key != std::string::npos) {
                strLine.erase(u32Key, 6);
            } else if (strLine.find(" crc ok ") != std::string::npos) {
                EXPECT_EQ(-1, s32Key) << "no key shown: " << strLine;
            }
            if (strLine.find(" repeat ") == std::string::npos &&
                (strLine.find(" crc ok ") != std::string::npos ||
                 strLine.find(" reassembled ") != std::string::npos)) {
                vecFrames.push_back(strLine);
            }
        }
        std::sort(vecFrames.begin(), vecFrames.end());
        if (s32Key < 0) {
            vecPlain = vecFrames;
            EXPECT_EQ(6u, vecPlain.size()); // start, ready, chunk, two parts, reassembled
        }
        EXPECT_EQ(vecPlain, vecFrames);
    }
}

TEST(Irdecode, BadInputIsRefusedWithItsLine) {
    const struct {
        const char *pszInput;
        int s32Status;
        const char *pszError;
    } astCases[] = {
        {"123  04:44:09.269843 write(3, \"\\xa5\\x5a", 1, "line 1: truncated strace line"},
        {"1 00:00:01.5 write(3, \"\\xa5\\x5a\", 2) = 2\n1 12:xx read(3, 0x1, 1) = 1\n", 1,
         "line 2: not an strace line"},
        {"# irsim capture 1\n1.000001 host a55\n", 1, "line 2: not a capture line"},
        {"\x7f"
         "ELF\x02\x01\x01",
         2, "line 1: neither strace output"},
    };
    TempDir objDir;
    for (const auto &stCase : astCases) {
        SCOPED_TRACE(stCase.pszInput);
        ASSERT_TRUE(WriteFileBytes(objDir.File("input"), stCase.pszInput));
        std::string strOut, strErr;
        EXPECT_EQ(stCase.s32Status, Decode({objDir.File("input")}, &strOut, &strErr));
        EXPECT_NE(std::string::npos, strErr.find(stCase.pszError)) << strErr;
    }
}

} // namespace
