// The decoder: bytes of each direction into frames (the receiver's rules),
// each frame checked and deciphered with the protocol's own code, repeats
// told by sequence number and content, acknowledgements matched to their
// frames, large messages reassembled, and the update conversation followed.
#include <algorithm>
#include <bitset>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "irdecode.h"
#include "ir_update_commands.h"

namespace {

constexpr int IRD_PENDING = 32;       // frames per direction kept waiting for an acknowledgement
constexpr int IRD_STRAY_SHOWN = 8;    // bytes shown of a run that belongs to no frame
constexpr int IRD_DATA_SHOWN = 16;    // payload bytes shown of a command without a meaning here
constexpr uint32_t IRD_GIVE_UP = 3;   // failure reports after which the tool gives up
constexpr uint32_t IRD_LEN_KNOWN = 6; // assembled bytes once len is in
constexpr int64_t IRD_DAY_US = int64_t{86400} * 1000000;
constexpr int IRD_LARGE_CHUNKS = (0xFFFF + CMD_LARGE_CHUNK_DATA - 1) / CMD_LARGE_CHUNK_DATA;

const char *CmdName(uint16_t u16Cmd) {
    static const std::pair<uint16_t, const char *> s_astNames[] = {
        {CMD_ACK, "CMD_ACK"},
        {CMD_HEART_BEAT, "CMD_HEART_BEAT"},
        {CMD_LARGE_PACKET_PROTOCOL, "CMD_LARGE_PACKET_PROTOCOL"},
        {CMD_CLEAR_RECORD_FLAG, "CMD_CLEAR_RECORD_FLAG"},
        {CMD_UPDATE_SW_SEND_FILE_START, "CMD_UPDATE_SW_SEND_FILE_START"},
        {CMD_UPDATE_SW_SEND_FILE, "CMD_UPDATE_SW_SEND_FILE"},
        {CMD_UPDATE_SW_REPORT_FILE, "CMD_UPDATE_SW_REPORT_FILE"},
        {CMD_UPDATE_SW_READY_UPDATE, "CMD_UPDATE_SW_READY_UPDATE"},
        {IR_CMD_UPDATE_START, "IR_CMD_UPDATE_START"},
        {IR_CMD_UPDATE_READY, "IR_CMD_UPDATE_READY"},
        {IR_CMD_UPDATE_NEXT, "IR_CMD_UPDATE_NEXT"},
        {IR_CMD_UPDATE_DATA, "IR_CMD_UPDATE_DATA"},
        {IR_CMD_UPDATE_END, "IR_CMD_UPDATE_END"},
        {IR_CMD_UPDATE_CHECK_FAIL, "IR_CMD_UPDATE_CHECK_FAIL"},
        {IR_CMD_UPDATE_MEM_FAIL, "IR_CMD_UPDATE_MEM_FAIL"},
        {IR_CMD_UPDATE_OK, "IR_CMD_UPDATE_OK"},
    };
    for (const auto &stName : s_astNames) {
        if (stName.first == u16Cmd) {
            return stName.second;
        }
    }
    return "-";
}

const char *DirName(int s32Dir) {
    return s32Dir == IRD_HOST ? "host" : "mcu";
}

uint32_t Le32(const uint8_t *pu8, uint32_t u32Len) {
    uint32_t u32Value = 0;
    for (uint32_t i = 0; i < 4 && i < u32Len; ++i) {
        u32Value |= static_cast<uint32_t>(pu8[i]) << (8 * i);
    }
    return u32Value;
}

std::string Text(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char *pszFormat, ...) {
    char acText[256];
    va_list stArgs;
    va_start(stArgs, pszFormat);
    (void)vsnprintf(acText, sizeof(acText), pszFormat, stArgs); // longer texts are cut
    va_end(stArgs);
    return acText;
}

std::string Hex(const uint8_t *pu8, uint64_t u64Len, uint64_t u64Shown) {
    std::string strHex;
    for (uint64_t i = 0; i < u64Len && i < u64Shown; ++i) {
        strHex += Text(i == 0 ? "%02x" : " %02x", pu8[i]);
    }
    return u64Len > u64Shown ? strHex + " ..." : strHex;
}

std::string Ms(int64_t s64From, int64_t s64To) {
    if (s64From == IRD_NO_TIME || s64To == IRD_NO_TIME) {
        return "? ms";
    }
    return Text("%.1f ms", static_cast<double>(s64To - s64From) / 1000.0);
}

/// A frame waiting for its acknowledgement (the other direction's), in the
/// slot of its sequence number modulo IRD_PENDING.
struct Pending {
    bool bUsed = false;
    uint16_t u16Sn = 0, u16Cmd = 0, u16Crc = 0;
    uint32_t u32Sends = 0, u32Acks = 0;
    int64_t s64First = 0, s64Last = 0;
};

/// One direction: its frame assembly, repeats, waiting frames, reassembly, counts.
struct Side {
    uint8_t au8Buf[CMD_FRAME_MAX_LEN] = {};
    uint32_t u32Have = 0; // bytes of the frame under assembly
    int64_t s64FrameTime = 0;
    uint64_t u64FramePos = 0;
    bool bEndedA5 = false;    // the last frame ended in 0xA5 and nothing has come since
    uint64_t u64StrayRun = 0; // bytes in no frame since the last frame
    uint8_t au8Stray[IRD_STRAY_SHOWN] = {};
    int64_t s64StrayTime = 0;
    uint64_t u64StrayPos = 0;
    // Per sequence number: how often the frame came (upper half) and its check
    // value (lower half), so that a repeat is told from a new frame that
    // reuses the number.
    std::vector<uint32_t> vecSeen = std::vector<uint32_t>(0x10000, 0);
    Pending astPending[IRD_PENDING];
    bool bLarge = false; // a large message under reassembly
    CmdLargePacket stLarge{};
    std::vector<uint8_t> vecLarge;
    std::bitset<IRD_LARGE_CHUNKS> bsTaken;
    uint64_t u64Frames = 0, u64Acks = 0, u64Repeats = 0, u64Bad = 0, u64Stray = 0, u64Fillers = 0,
             u64Unacked = 0, u64Missing = 0;
};

} // namespace

struct IrdDecoder::Impl {
    IrdContext *m_pstCtx;
    Side m_astSide[2];
    // The conversation.
    uint32_t m_u32Starts = 0, m_u32Ready = 0, m_u32Chunks = 0, m_u32EndRecords = 0;
    uint32_t m_u32Failures = 0, m_u32Sum = 0, m_u32EndChecksum = 0, m_u32EndSum = 0;
    uint64_t m_u64ChunksTotal = 0, m_u64Bytes = 0, m_u64EndBytes = 0;
    int64_t m_s64Selector = -1;
    const char *m_pszChecksum = "none";
    uint16_t m_u16Verdict = 0; // the last answer that ended an attempt (0: none)
    bool m_bStartAfterVerdict = false;
    std::string m_strFailures;
    int64_t m_s64Ready = IRD_NO_TIME, m_s64End = IRD_NO_TIME;

    explicit Impl(IrdContext *pstCtx) : m_pstCtx(pstCtx) {}

    void Line(int64_t s64Time, int s32Dir, const char *pszFormat, ...)
        __attribute__((format(printf, 4, 5))) {
        if (!m_pstCtx->bFrames) {
            return;
        }
        const int64_t s64Day = (s64Time % IRD_DAY_US + IRD_DAY_US) % IRD_DAY_US;
        const int s32Sec = static_cast<int>(s64Day / 1000000);
        const std::string strTime =
            s64Time == IRD_NO_TIME ? "-"
                                   : Text("%02d:%02d:%02d.%06d", s32Sec / 3600, s32Sec / 60 % 60,
                                          s32Sec % 60, static_cast<int>(s64Day % 1000000));
        (void)fprintf(m_pstCtx->pOut, "%-15s %-4s ", strTime.c_str(), DirName(s32Dir));
        va_list stArgs;
        va_start(stArgs, pszFormat);
        (void)vfprintf(m_pstCtx->pOut, pszFormat, stArgs);
        va_end(stArgs);
        (void)fputc('\n', m_pstCtx->pOut);
    }

    // The receiver's assembly: 0xA5 0x5A, len and crc, then 17 bytes in all
    // for len 0..4 or 13 + len; a len above 512 abandons the frame after its
    // sixth byte. Bytes dropped on the way belong to no frame.
    void Byte(int s32Dir, uint8_t u8Byte, int64_t s64Time, uint64_t u64Pos, int *ps32Frames) {
        Side &s = m_astSide[s32Dir];
        if (s.u32Have == 0) {
            if (u8Byte == CMD_FRAME_SYNC1) {
                s.au8Buf[s.u32Have++] = u8Byte;
                s.s64FrameTime = s64Time;
                s.u64FramePos = u64Pos;
            } else if (u8Byte == 0 && s.bEndedA5) {
                // The frame writer's filler keeps a frame start from following a 0xA5.
                ++s.u64Fillers;
                FlushStray(s32Dir);
                Line(s64Time, s32Dir, "filler byte 00 after a frame ending in a5");
            } else {
                Stray(s32Dir, u8Byte, s64Time, u64Pos);
            }
            s.bEndedA5 = false;
            return;
        }
        if (s.u32Have == 1) {
            if (u8Byte == CMD_FRAME_SYNC2) {
                s.au8Buf[s.u32Have++] = u8Byte;
                return;
            }
            // No frame after all; a 0xA5 here starts one afresh, as in the receiver.
            Stray(s32Dir, CMD_FRAME_SYNC1, s.s64FrameTime, s.u64FramePos);
            s.u32Have = 0;
            Byte(s32Dir, u8Byte, s64Time, u64Pos, ps32Frames);
            return;
        }
        s.au8Buf[s.u32Have++] = u8Byte;
        const uint32_t u32Len = s.au8Buf[2] | s.au8Buf[3] << 8;
        if (s.u32Have == IRD_LEN_KNOWN && u32Len > static_cast<uint32_t>(CMD_FRAME_MAX_PAYLOAD)) {
            for (uint32_t i = 0; i < s.u32Have; ++i) {
                Stray(s32Dir, s.au8Buf[i], s.s64FrameTime, s.u64FramePos);
            }
            s.u32Have = 0;
        } else if (s.u32Have > IRD_LEN_KNOWN &&
                   s.u32Have ==
                       std::max<uint32_t>(CMD_FRAME_SHORT_LEN, CMD_FRAME_HEAD_LEN + u32Len)) {
            *ps32Frames += Frame(s32Dir) ? 1 : 0;
            s.u32Have = 0;
        }
    }

    void Stray(int s32Dir, uint8_t u8Byte, int64_t s64Time, uint64_t u64Pos) {
        Side &s = m_astSide[s32Dir];
        if (s.u64StrayRun == 0) {
            s.s64StrayTime = s64Time;
            s.u64StrayPos = u64Pos;
        }
        if (s.u64StrayRun < IRD_STRAY_SHOWN) {
            s.au8Stray[s.u64StrayRun] = u8Byte;
        }
        ++s.u64StrayRun;
        ++s.u64Stray;
    }

    void FlushStray(int s32Dir) {
        Side &s = m_astSide[s32Dir];
        if (s.u64StrayRun != 0) {
            Line(s.s64StrayTime, s32Dir, "%" PRIu64 " byte(s) in no frame, from %s %" PRIu64 ": %s",
                 s.u64StrayRun, m_pstCtx->pszPos, s.u64StrayPos,
                 Hex(s.au8Stray, s.u64StrayRun, IRD_STRAY_SHOWN).c_str());
            s.u64StrayRun = 0;
        }
    }

    /// Decodes the frame just assembled; false for an acknowledgement.
    bool Frame(int s32Dir) {
        Side &s = m_astSide[s32Dir];
        FlushStray(s32Dir);
        const int64_t s64Time = s.s64FrameTime;
        _CmdProtocolParam stRec{};
        memcpy(&stRec, s.au8Buf, CMD_FRAME_SHORT_LEN);
        if (stRec.len > CMD_FRAME_SHORT_MAX) {
            stRec.payload = s.au8Buf + CMD_FRAME_HEAD_LEN; // left in the assembly buffer
        }
        s.bEndedA5 = s.au8Buf[s.u32Have - 1] == CMD_FRAME_SYNC1;
        if (CommandProtocolFrameCrc(&stRec) != stRec.crc) {
            ++s.u64Bad;
            Line(s64Time, s32Dir,
                 "sn %5u 0x%04x %-29s len %3u crc BAD: damaged, fields as received", stRec.sn,
                 stRec.cmd, CmdName(stRec.cmd), stRec.len);
            return true;
        }
        std::string strKey;
        if ((stRec.flags & CMD_FLAG_ENCRYPT) != 0) {
            // A key that does not exist leaves the bytes as they are; the receiver acts on them so.
            const bool bKnown = CommandProtocolFrameCipher(&stRec) == 0;
            strKey =
                Text(" key %d%s", stRec.flags & CMD_FLAG_KEY_MASK, bKnown ? "" : " (no such key)");
        }
        if (stRec.cmd == CMD_ACK) {
            ++s.u64Acks;
            Ack(s32Dir, stRec.sn, s64Time);
            return false;
        }
        ++s.u64Frames;
        uint32_t &u32Seen = s.vecSeen[stRec.sn];
        std::string strWhat, strMessage;
        const bool bRepeat = u32Seen >> 16 != 0 && (u32Seen & 0xFFFF) == stRec.crc;
        Track(s32Dir, stRec, s64Time);
        if (bRepeat) {
            ++s.u64Repeats;
            strWhat = Text("repeat %u of sn %u", u32Seen >> 16, stRec.sn);
            u32Seen += u32Seen >> 16 < 0xFFFF ? 1u << 16 : 0;
        } else {
            u32Seen = 1u << 16 | stRec.crc;
            strWhat = stRec.cmd == CMD_LARGE_PACKET_PROTOCOL
                          ? Large(s32Dir, stRec, s64Time, &strMessage)
                          : Deliver(s32Dir, stRec.cmd, CmdParamPayload(&stRec), stRec.len, stRec,
                                    s64Time);
        }
        Line(s64Time, s32Dir, "sn %5u 0x%04x %-29s len %3u crc ok%s  %s", stRec.sn, stRec.cmd,
             CmdName(stRec.cmd), stRec.len, strKey.c_str(), strWhat.c_str());
        if (!strMessage.empty()) {
            Line(s64Time, s32Dir, "%s", strMessage.c_str());
        }
        return true;
    }

    // An acknowledgement from s32Dir names a frame of the other direction.
    void Ack(int s32Dir, uint16_t u16Sn, int64_t s64Time) {
        const char *pszOther = DirName(1 - s32Dir);
        Pending &p = m_astSide[1 - s32Dir].astPending[u16Sn % IRD_PENDING];
        if (!p.bUsed || p.u16Sn != u16Sn) {
            Line(s64Time, s32Dir, "ack   %5u of no %s frame in view", u16Sn, pszOther);
            return;
        }
        const std::string strFirst = p.u32Sends < 2
                                         ? ""
                                         : Text(" (transmission %u, %s after the first)",
                                                p.u32Sends, Ms(p.s64First, s64Time).c_str());
        Line(s64Time, s32Dir, "ack   %5u of %s 0x%04x %s %s", u16Sn, pszOther, p.u16Cmd,
             CmdName(p.u16Cmd),
             p.u32Acks++ != 0 ? "again, for a repeat"
                              : ("after " + Ms(p.s64Last, s64Time) + strFirst).c_str());
    }

    // Notes a frame (or its repeat) as waiting for its acknowledgement; the
    // frame whose slot it takes, a number IRD_PENDING back, is done with.
    void Track(int s32Dir, const _CmdProtocolParam &stRec, int64_t s64Time) {
        Pending &p = m_astSide[s32Dir].astPending[stRec.sn % IRD_PENDING];
        if (p.bUsed && p.u16Sn == stRec.sn && p.u16Crc == stRec.crc) {
            ++p.u32Sends;
            p.s64Last = s64Time;
            return;
        }
        if (p.bUsed) {
            Retire(s32Dir, &p);
        }
        p = Pending{true, stRec.sn, stRec.cmd, stRec.crc, 1, 0, s64Time, s64Time};
    }

    void Retire(int s32Dir, Pending *pstOld) {
        if (pstOld->u32Acks == 0) {
            ++m_astSide[s32Dir].u64Unacked;
            Line(pstOld->s64First, s32Dir,
                 "sn %5u 0x%04x %s never acknowledged (%u transmission(s))", pstOld->u16Sn,
                 pstOld->u16Cmd, CmdName(pstOld->u16Cmd), pstOld->u32Sends);
        }
        pstOld->bUsed = false;
    }

    // A new frame or a reassembled message, as the receiving side takes it:
    // what it means, and what it changes in the conversation.
    std::string Deliver(int s32Dir, uint16_t u16Cmd, const uint8_t *pu8Data, uint32_t u32Len,
                        const _CmdProtocolParam &stRec, int64_t s64Time) {
        const uint32_t u32Index = static_cast<uint32_t>(stRec.param1 << 8 | stRec.param2);
        std::string strFile; // what a file-transfer frame that reaches the application is
        switch (u16Cmd) {
        case CMD_HEART_BEAT:
            return "heartbeat";
        case CMD_CLEAR_RECORD_FLAG: // the other side numbers from 0 again: no repeats of before
            std::fill(m_astSide[1 - s32Dir].vecSeen.begin(), m_astSide[1 - s32Dir].vecSeen.end(),
                      0);
            return Text("history cleared: %s numbers from 0 again", DirName(1 - s32Dir));
        case CMD_UPDATE_SW_REPORT_FILE:
            return Text("file report %u (2: verified, 0: send again)", Le32(pu8Data, u32Len));
        case CMD_UPDATE_SW_SEND_FILE:
            if (u32Index != CMD_FILE_END_INDEX) {
                return Text("file packet %u: %u bytes at file offset %u", u32Index, u32Len,
                            u32Index * CMD_FILE_CHUNK);
            }
            strFile = "file end marker";
            break;
        case CMD_UPDATE_SW_SEND_FILE_START: {
            CmdProtocolFileInfo stInfo{};
            memcpy(&stInfo, pu8Data, std::min<size_t>(u32Len, sizeof(stInfo)));
            stInfo.fileName[sizeof(stInfo.fileName) - 1] = '\0';
            strFile = Text("file start \"%s\": %u bytes, %u packets, crc 0x%04x", stInfo.fileName,
                           stInfo.length, stInfo.packets, stInfo.crc);
            break;
        }
        case CMD_UPDATE_SW_READY_UPDATE:
            strFile = "ready for update";
            break;
        default:
            break;
        }
        if (s32Dir == IRD_HOST) {
            return strFile.empty() ? DeliverHost(u16Cmd, pu8Data, u32Len, s64Time) : strFile;
        }
        // The tool's update sequence takes all but ready, next and success as a failure report.
        switch (u16Cmd) {
        case IR_CMD_UPDATE_READY:
            ++m_u32Ready;
            m_s64Selector = Le32(pu8Data, u32Len);
            m_s64Ready = s64Time;
            return Text("ready: selector %" PRId64 ", image %s", m_s64Selector, Image());
        case IR_CMD_UPDATE_NEXT:
            return "next chunk, please";
        default:
            m_u16Verdict = u16Cmd;
            m_bStartAfterVerdict = false;
            if (u16Cmd == IR_CMD_UPDATE_OK) {
                return "success";
            }
            m_strFailures += Text(m_strFailures.empty() ? "%x" : " %x", u16Cmd);
            return (strFile.empty() ? "" : strFile + ", ") +
                   Text("%s %u of %u%s%s",
                        u16Cmd == IR_CMD_UPDATE_CHECK_FAIL || u16Cmd == IR_CMD_UPDATE_MEM_FAIL
                            ? "failure report"
                            : "unexpected by the update sequence: failure",
                        ++m_u32Failures, IRD_GIVE_UP, u32Len != 0 ? ": data " : "",
                        Hex(pu8Data, u32Len, IRD_DATA_SHOWN).c_str());
        }
    }

    std::string DeliverHost(uint16_t u16Cmd, const uint8_t *pu8Data, uint32_t u32Len,
                            int64_t s64Time) {
        static const uint8_t s_au8EndTail[4] = {0, 0, 1, 0}; // after the sum: 0x0000, 0x0001
        switch (u16Cmd) {
        case IR_CMD_UPDATE_START:
            m_u32Chunks = 0;
            m_u64Bytes = 0;
            m_u32Sum = 0;
            m_bStartAfterVerdict = m_u16Verdict != 0;
            return Text("start %u", ++m_u32Starts);
        case IR_CMD_UPDATE_DATA:
            ++m_u64ChunksTotal;
            for (uint32_t i = 0; i < u32Len; ++i) {
                m_u32Sum += pu8Data[i];
            }
            m_u64Bytes += u32Len;
            return Text("chunk %u: %u image bytes at offset %" PRIu64, ++m_u32Chunks, u32Len,
                        m_u64Bytes - u32Len);
        case IR_CMD_UPDATE_END:
            ++m_u32EndRecords;
            m_u32EndChecksum = Le32(pu8Data, u32Len);
            m_u32EndSum = m_u32Sum;
            m_u64EndBytes = m_u64Bytes;
            m_s64End = s64Time;
            m_pszChecksum = u32Len == 8 && m_u32EndChecksum == m_u32Sum &&
                                    memcmp(pu8Data + 4, s_au8EndTail, sizeof(s_au8EndTail)) == 0
                                ? "ok"
                                : "bad";
            return Text("end record: checksum 0x%08x, the chunks sent sum to 0x%08x: %s",
                        m_u32EndChecksum, m_u32EndSum, m_pszChecksum);
        default:
            return "data " + Hex(pu8Data, u32Len, IRD_DATA_SHOWN);
        }
    }

    // One chunk of a large message, checked as the receiver checks it; the
    // message is delivered once every chunk is in.
    std::string Large(int s32Dir, const _CmdProtocolParam &stRec, int64_t s64Time,
                      std::string *pstrMessage) {
        Side &s = m_astSide[s32Dir];
        CmdLargePacket stHead{};
        if (stRec.len >= CMD_LARGE_SUBHEAD_LEN) {
            memcpy(&stHead, stRec.payload, sizeof(stHead));
        }
        const int s32Msg = stHead.PacketsLen, s32Addr = stHead.SendAddr;
        const int s32Num = (s32Msg + CMD_LARGE_CHUNK_DATA - 1) / CMD_LARGE_CHUNK_DATA;
        const int s32Index = s32Addr / CMD_LARGE_CHUNK_DATA;
        if (stRec.len < CMD_LARGE_SUBHEAD_LEN || s32Msg == 0 || stHead.PacketsNum != s32Num ||
            s32Addr % CMD_LARGE_CHUNK_DATA != 0 || s32Addr >= s32Msg ||
            stHead.SendLen != std::min(s32Msg - s32Addr, CMD_LARGE_CHUNK_DATA) ||
            stHead.SendLen > stRec.len - CMD_LARGE_SUBHEAD_LEN) {
            return "large-packet chunk whose sub-header does not fit: dropped";
        }
        std::string strWhat;
        if (s.bLarge && (s.stLarge.PacketsLen != stHead.PacketsLen ||
                         s.stLarge.PacketsCmd != stHead.PacketsCmd ||
                         s.bsTaken.test(static_cast<size_t>(s32Index)))) {
            strWhat = Text("(0x%04x abandoned after %zu of %d parts) ", s.stLarge.PacketsCmd,
                           s.bsTaken.count(), s.stLarge.PacketsNum);
            s.bLarge = false;
        }
        if (!s.bLarge) {
            s.bLarge = true;
            s.stLarge = stHead;
            s.vecLarge.assign(static_cast<size_t>(s32Msg), 0);
            s.bsTaken.reset();
        }
        memcpy(s.vecLarge.data() + s32Addr, stRec.payload + CMD_LARGE_SUBHEAD_LEN, stHead.SendLen);
        s.bsTaken.set(static_cast<size_t>(s32Index));
        strWhat += Text("large-packet part %d of %d of 0x%04x %s: bytes %d..%d of %d", s32Index + 1,
                        s32Num, stHead.PacketsCmd, CmdName(stHead.PacketsCmd), s32Addr,
                        s32Addr + stHead.SendLen - 1, s32Msg);
        if (s.bsTaken.count() == static_cast<size_t>(s32Num)) {
            s.bLarge = false;
            *pstrMessage = Text("reassembled 0x%04x %-22s len %5d  ", stHead.PacketsCmd,
                                CmdName(stHead.PacketsCmd), s32Msg) +
                           Deliver(s32Dir, stHead.PacketsCmd, s.vecLarge.data(),
                                   static_cast<uint32_t>(s32Msg), stRec, s64Time);
        }
        return strWhat;
    }

    const char *Image() const {
        return m_s64Selector < 0 ? "-" : m_s64Selector == 2 ? "ir_4000.bin" : "ir_A000.bin";
    }

    void Finish() {
        for (int s32Dir : {IRD_HOST, IRD_MCU}) {
            Side &s = m_astSide[s32Dir];
            if (s.u32Have != 0) {
                Line(s.s64FrameTime, s32Dir, "%u byte(s) of a frame cut off by the end", s.u32Have);
                s.u64Stray += s.u32Have;
            }
            FlushStray(s32Dir);
            for (Pending &p : s.astPending) {
                if (p.bUsed) {
                    Retire(s32Dir, &p);
                }
            }
        }
        Summary();
    }

    void Summary() {
        const Side &h = m_astSide[IRD_HOST], &m = m_astSide[IRD_MCU];
        const char *pszOutcome = m_u16Verdict == IR_CMD_UPDATE_OK             ? "success"
                                 : m_u32Failures >= IRD_GIVE_UP               ? "gave-up"
                                 : m_u16Verdict != 0 && !m_bStartAfterVerdict ? "failed"
                                                                              : "incomplete";
        const bool bTimed =
            m_s64Ready != IRD_NO_TIME && m_s64End != IRD_NO_TIME && m_s64End > m_s64Ready;
        const double dMs = bTimed ? static_cast<double>(m_s64End - m_s64Ready) / 1000.0 : 0.0;
        const std::string strAnswer = m_u16Verdict == 0 ? "-" : Text("0x%x", m_u16Verdict);
        // Each line twice: for people, then as "irdecode: <name> <value>" for programs.
        const std::string astLines[][3] = {
            {"frames-host", "frames from the host", std::to_string(h.u64Frames)},
            {"frames-mcu", "frames from the microcontroller", std::to_string(m.u64Frames)},
            {"acks-host", "acknowledgements from the host", std::to_string(h.u64Acks)},
            {"acks-mcu", "acknowledgements from the microcontroller", std::to_string(m.u64Acks)},
            {"repeats", "repeats", std::to_string(h.u64Repeats + m.u64Repeats)},
            {"repeats-host", "of them from the host", std::to_string(h.u64Repeats)},
            {"crc-bad", "damaged frames (crc bad)", std::to_string(h.u64Bad + m.u64Bad)},
            {"crc-bad-host", "of them from the host", std::to_string(h.u64Bad)},
            {"unacknowledged", "frames never acknowledged",
             std::to_string(h.u64Unacked + m.u64Unacked)},
            {"stray-bytes", "bytes in no frame", std::to_string(h.u64Stray + m.u64Stray)},
            {"fillers", "filler bytes", std::to_string(h.u64Fillers + m.u64Fillers)},
            {"missing-bytes", "bytes missing from the capture",
             std::to_string(h.u64Missing + m.u64Missing)},
            {"start-commands", "start commands", std::to_string(m_u32Starts)},
            {"image", "image asked for", Image()},
            {"chunks", "chunks of the last attempt", std::to_string(m_u32Chunks)},
            {"chunks-total", "chunks of all attempts", std::to_string(m_u64ChunksTotal)},
            {"image-bytes", "image bytes of the last attempt", std::to_string(m_u64Bytes)},
            {"end-records", "end records", std::to_string(m_u32EndRecords)},
            {"checksum",
             Text("end record checksum 0x%08x, chunks sent sum 0x%08x", m_u32EndChecksum,
                  m_u32EndSum),
             m_pszChecksum},
            {"failures", "failure reports", std::to_string(m_u32Failures)},
            {"failures-given", "their codes", m_strFailures.empty() ? "-" : m_strFailures},
            {"answer", "the microcontroller's last answer", strAnswer},
            {"outcome", "outcome", pszOutcome},
            {"transfer-ms", "ms from the ready answer to the end record",
             bTimed ? Text("%.0f", dMs) : "-"},
            {"rate", "image bytes per second",
             bTimed ? Text("%.0f", static_cast<double>(m_u64EndBytes) * 1000.0 / dMs) : "-"},
            {"input-errors", "faults in the input", std::to_string(m_pstCtx->u64Errors)},
        };
        (void)fputs("summary\n", m_pstCtx->pOut);
        for (const auto &astLine : astLines) {
            (void)fprintf(m_pstCtx->pOut, "  %s: %s\n", astLine[1].c_str(), astLine[2].c_str());
        }
        for (const auto &astLine : astLines) {
            (void)fprintf(m_pstCtx->pOut, "irdecode: %s %s\n", astLine[0].c_str(),
                          astLine[2].c_str());
        }
    }
};
IrdDecoder::IrdDecoder(IrdContext *pstCtx) : m_pImpl(std::make_unique<Impl>(pstCtx)) {}

IrdDecoder::~IrdDecoder() = default;

int IrdDecoder::Feed(int s32Dir, int64_t s64Time, const uint8_t *pu8Bytes, size_t u32Len,
                     uint64_t u64Pos) {
    int s32Frames = 0;
    const bool bOffsets = strcmp(m_pImpl->m_pstCtx->pszPos, "offset") == 0;
    for (size_t i = 0; i < u32Len; ++i) {
        m_pImpl->Byte(s32Dir, pu8Bytes[i], s64Time, bOffsets ? u64Pos + i : u64Pos, &s32Frames);
    }
    return s32Frames;
}

void IrdDecoder::Gap(int s32Dir, uint64_t u64Len, int64_t s64Time, uint64_t u64Pos) {
    Side &s = m_pImpl->m_astSide[s32Dir];
    m_pImpl->FlushStray(s32Dir);
    m_pImpl->Line(s64Time, s32Dir, "%" PRIu64 " byte(s) not in the capture (%s %" PRIu64 ")%s",
                  u64Len, m_pImpl->m_pstCtx->pszPos, u64Pos,
                  s.u32Have != 0 ? ": the frame under assembly is lost" : "");
    s.u64Missing += u64Len;
    s.u32Have = 0;
    s.bEndedA5 = false;
}

void IrdDecoder::Finish() {
    m_pImpl->Finish();
}
