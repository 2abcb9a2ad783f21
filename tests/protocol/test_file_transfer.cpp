// File transfer on the driven instance, in a temporary working directory:
// frames from the peer and the answers they get, and files sent to a peer
// that acknowledges everything, or nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "protocol_fixture.h"

namespace {

/// The 80-byte record announcing strContent as strName (64 bytes fill the
/// field without a terminator), u32Extra bytes longer.
std::string Info(const std::string &strName, const std::string &strContent, uint32_t u32Extra = 0) {
    const uint32_t u32Length = static_cast<uint32_t>(strContent.size()) + u32Extra;
    CmdProtocolFileInfo stInfo{77, {}, (u32Length + 511) / 512, u32Length, 0};
    stInfo.crc = CommandProtocolCrc16(0, reinterpret_cast<const uint8_t *>(strContent.data()),
                                      static_cast<int>(strContent.size()));
    memcpy(stInfo.fileName, strName.data(), std::min<size_t>(strName.size(), 64));
    return std::string(reinterpret_cast<const char *>(&stInfo), sizeof(stInfo));
}

constexpr uint16_t START = CMD_UPDATE_SW_SEND_FILE_START, CHUNK = CMD_UPDATE_SW_SEND_FILE;

class Transfer : public DrivenInstance {
protected:
    void SetUp() override {
        DrivenInstance::SetUp();
        ASSERT_EQ(0, chdir(m_objDir.Path().c_str()));
        s_bAutoAck = true; // the peer acknowledges this side's reports
    }
    void TearDown() override {
        Reset(0); // closes a file still open
        EXPECT_EQ(0, chdir("/"));
    }
    /// A frame from the peer (index in bytes 9 and 10, high byte first; a fresh sn unless
    /// given) and the answer: "ack" for its acknowledgement, "report<code>", "-" for nothing.
    std::string Step(uint16_t u16Cmd, const std::string &strData, uint16_t u16Index = 0,
                     uint16_t u16Sn = 0) {
        u16Sn = u16Sn != 0 ? u16Sn : ++m_u16Sn;
        Sent();
        Feed(MakeFrame(u16Cmd, u16Sn, Bytes(strData.begin(), strData.end()), 0,
                       static_cast<uint8_t>(u16Index >> 8), static_cast<uint8_t>(u16Index)));
        Settle();
        const std::string strShown = Show(Sent()), strAck = "ack" + std::to_string(u16Sn);
        return strShown.rfind(strAck, 0) == 0 ? "ack" + strShown.substr(strAck.size()) : strShown;
    }
    std::string End() { return Step(CHUNK, std::string(4, '\0'), 0x7FFF); }

    TempDir m_objDir;
    uint16_t m_u16Sn = 100;
};

TEST_F(Transfer, ReceivedChunksAreWrittenOnceAndTheFileJudgedAtItsEnd) {
    EXPECT_EQ("report0", Step(CHUNK, "abcd")) << "nothing announced";
    EXPECT_EQ("-", Step(CHUNK, "efgh", 1)) << "failed: dropped silently";
    EXPECT_EQ("ack", Step(START, Info("after.bin", "AAAABBBB")));
    EXPECT_EQ("ack", Step(CHUNK, "AAAABBBB", 0, 4000));
    EXPECT_EQ("ack", Step(CHUNK, "CCCCDDDD", 0, 4000)) << "a repeat: not written";
    EXPECT_EQ(99, CommandProtocolTransferFileProgress(Handle())) << "not 100 before the verdict";
    EXPECT_EQ("ack report2", End());
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(Handle()));
    CapturedStream objOut(1); // an invalid handle: -1 and the line of every handle operation
    EXPECT_EQ(-1, CommandProtocolTransferFileProgress(-1));
    EXPECT_TRUE(std::regex_search(objOut.Take(), std::regex(R"(FileProgress,\d+\] invalid, -1)")));
    EXPECT_EQ("ack", Step(CHUNK, "XXXXXXXX")) << "verified: acknowledged and ignored";
    EXPECT_EQ("AAAABBBB", ReadFileBytes("after.bin"));
    // Index 256 is at 128 KiB; a size or CRC not as announced: report 0, end marker unanswered.
    const std::string strFar = std::string(131072, '\0') + "x";
    for (auto [strInfo, strEnd] :
         {std::pair<std::string, std::string>{Info("far.bin", strFar), "ack report2"},
          {Info("size.bin", strFar, 1), "report0"},
          {Info("crc.bin", std::string(131072, '\0') + "y"), "report0"}}) {
        EXPECT_EQ("ack", Step(START, strInfo));
        EXPECT_EQ("ack", Step(CHUNK, "x", 256));
        EXPECT_EQ(strEnd, End());
    }
    // Only plain names of the working folder: none with a slash, none through a symbolic link.
    ASSERT_TRUE(mkdir("a", 0700) == 0 && WriteFileBytes("a/t", "keep") &&
                symlink("a/t", "ln") == 0);
    Step(START, Info("a/b", ""));
    Step(START, Info("ln", ""));
    EXPECT_TRUE(access("a/b", F_OK) != 0 && ReadFileBytes("a/t") == "keep");
    // The file vanished before it could be checked: report 0, and later
    // chunks are dropped unanswered.
    EXPECT_EQ("ack", Step(START, Info("gone.bin", "wxyz")));
    ASSERT_EQ(0, unlink("gone.bin"));
    EXPECT_EQ("report0", End());
    EXPECT_EQ("-", Step(CHUNK, "wxyz"));
    // A chunk beyond the announced length (index 0x7FFE would write near
    // 16 MiB, the other runs past the end) fails the transfer.
    for (auto [u16Index, pszData] :
         {std::pair<uint16_t, const char *>{0x7FFE, "zz"}, {0, "0123456"}}) {
        EXPECT_EQ("ack", Step(START, Info("bound.bin", "012345")));
        EXPECT_EQ("report0", Step(CHUNK, pszData, u16Index));
        EXPECT_EQ("", ReadFileBytes("bound.bin"));
    }
}

TEST_F(Transfer, SentChunksRepeat200msApartAndAFailedFileStartsAgain) {
    ASSERT_TRUE(WriteFileBytes("four.bin", std::string(2048, 'f'))); // 4 whole chunks
    ASSERT_EQ(0, CommandProtocolTransferFileSendStart(Handle(), 7, "four.bin", "remote.bin"));
    EXPECT_EQ(-1, Send(Handle(), 0x0600, {1})) << "no application frame while sending";
    s_bAutoAck = false;
    std::string strProgress;
    std::vector<uint32_t> vecChunk0; // when chunk 0 went out
    for (uint32_t u32T = s_u32Now + 10, u32End = u32T + 900; vecChunk0.size() < 3 && u32T < u32End;
         u32T += 10) {
        Sent();
        PassAt(u32T);
        strProgress += " " + std::to_string(CommandProtocolTransferFileProgress(Handle()));
        for (const Frame &st : Sent()) {
            if (st.u16Cmd == CHUNK && st.u8P2 == 0) {
                vecChunk0.push_back(u32T);
            }
        }
    }
    // One chunk per pass: 25, 50, 75 %, then 99 until the end marker is queued.
    EXPECT_NE(std::string::npos, strProgress.find(" 25 50 75 99 99 99"));
    ASSERT_EQ(3u, vecChunk0.size());
    EXPECT_EQ(400u, vecChunk0[2] - vecChunk0[0]);
    // A report 0 starts the whole file again from a fresh start frame; the
    // end marker goes out once every chunk is acknowledged.
    Feed(MakeFrame(CMD_UPDATE_SW_REPORT_FILE, 900, {0, 0, 0, 0}));
    s_bAutoAck = true;
    std::string strSent;
    for (int i = 0; i < 50; ++i) {
        PassAt(s_u32Now + 10);
        for (const Frame &st : Sent()) {
            strSent += st.u16Cmd == START   ? " start"
                       : st.u16Cmd == CHUNK ? " " + std::to_string(st.u8P1 << 8 | st.u8P2)
                                            : " " + Show({st});
        }
    }
    EXPECT_EQ(" ack900 start 0 1 2 3 32767", strSent);
    EXPECT_EQ(100, CommandProtocolTransferFileProgress(Handle()));
    EXPECT_GE(Send(Handle(), 0x0600, {1}), 0) << "reading 100 ended the send";
    // 257 chunks: the last one's index has a high byte.
    ASSERT_TRUE(WriteFileBytes("far.bin", std::string(131073, 'f')));
    ASSERT_EQ(0, CommandProtocolTransferFileSendStart(Handle(), 7, "far.bin", "far.bin"));
    bool bIndex256 = false;
    for (int i = 0; i < 1000; ++i) {
        PassAt(s_u32Now + 10);
        for (const Frame &st : Sent()) {
            bIndex256 = bIndex256 || (st.u16Cmd == CHUNK && st.u8P1 == 1 && st.u8P2 == 0);
        }
    }
    EXPECT_TRUE(bIndex256);
}

} // namespace
