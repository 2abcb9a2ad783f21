// Frames built and read from the frame layout (checked against known answers in test_receiver.cpp),
// and an instance whose engine passes the test runs on a fake clock, fed through Read2.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol_internal.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
/// Test data whose bytes differ for every seed below 256.
inline Bytes Pattern(size_t u32Len, uint32_t u32Seed) {
    Bytes out(u32Len);
    for (size_t i = 0; i < u32Len; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8) + size_t{u32Seed} * 7);
    }
    return out;
}
inline void Put16(Bytes &bytes, size_t u32At, size_t u32Value) {
    bytes[u32At] = static_cast<uint8_t>(u32Value);
    bytes[u32At + 1] = static_cast<uint8_t>(u32Value >> 8);
}
inline uint16_t Get16(const Bytes &bytes, size_t u32At) {
    return static_cast<uint16_t>(bytes[u32At] | bytes[u32At + 1] << 8);
}
/// RC4 over bytes 9..16 of a short frame or the payload of a long one, when flags bit 7 is set.
inline void Cipher(Bytes &frame) {
    if ((frame[6] & CMD_FLAG_ENCRYPT) == 0) {
        return;
    }
    const auto itStart = frame.begin() + (Get16(frame, 2) <= 4 ? 9 : 13);
    const Bytes clear(itStart, frame.end());
    Arc4DecryptEncrypt(clear.data(), &*itStart, int(clear.size()), frame[6] & CMD_FLAG_KEY_MASK);
}
/// The wire bytes of a frame: enciphered when flags bit 7 is set, then sealed.
inline Bytes MakeFrame(uint16_t u16Cmd, uint16_t u16Sn, const Bytes &payload, uint8_t u8Flags = 0,
                       uint8_t u8P1 = 0x20, uint8_t u8P2 = 0x50) {
    Bytes frame = Bytes{0xA5, 0x5A, 0, 0, 0, 0, u8Flags, 0, 0, u8P1, u8P2, 0, 0} + payload;
    frame.resize(std::max<size_t>(frame.size(), CMD_FRAME_SHORT_LEN), 0);
    Put16(frame, 2, payload.size());
    Put16(frame, 7, u16Sn);
    Put16(frame, 11, u16Cmd);
    Cipher(frame);
    Put16(frame, 4, CommandProtocolCrc16(0, &frame[6], static_cast<int>(frame.size() - 6)));
    return frame;
}
/// A receiver's acknowledgement: in clear, the frame's key bits kept.
inline Bytes MakeAck(uint16_t u16Sn, uint8_t u8KeyBits = 0) {
    return MakeFrame(CMD_ACK, u16Sn, Bytes(4, 0), u8KeyBits);
}
/// A message's chunk frames, consecutive sns: up to 496 bytes after a sub-header
/// of PacketsNum, 0, PacketsLen, SendAddr, SendLen, PacketsCmd, 0.
inline Bytes Split(uint16_t u16Cmd, const Bytes &msg, uint16_t u16Sn, uint8_t u8Flags = 0) {
    Bytes frames;
    for (size_t u32At = 0; u32At < msg.size(); u32At += 496) {
        const size_t u32Len = std::min<size_t>(496, msg.size() - u32At);
        Bytes chunk = Bytes{static_cast<uint8_t>((msg.size() + 495) / 496)} + Bytes(11, 0) +
                      Bytes(&msg[u32At], &msg[u32At] + u32Len);
        Put16(chunk, 2, msg.size());
        Put16(chunk, 4, u32At);
        Put16(chunk, 6, u32Len);
        Put16(chunk, 8, u16Cmd);
        frames = frames + MakeFrame(CMD_LARGE_PACKET_PROTOCOL, u16Sn++, chunk, u8Flags);
    }
    return frames;
}

/// A frame read off the wire, deciphered.
struct Frame {
    uint16_t u16Cmd, u16Sn;
    uint8_t u8Flags, u8P1, u8P2;
    Bytes data;
};
/// The whole frames in a byte stream (filler and noise skipped); a bad CRC fails.
inline std::vector<Frame> Frames(const Bytes &wire) {
    std::vector<Frame> out;
    for (size_t i = 0; i + CMD_FRAME_SHORT_LEN <= wire.size(); ++i) {
        const size_t u32Len = Get16(wire, i + 2);
        const size_t u32End = i + (u32Len <= 4 ? CMD_FRAME_SHORT_LEN : CMD_FRAME_HEAD_LEN + u32Len);
        if (wire[i] == 0xA5 && wire[i + 1] == 0x5A && u32End <= wire.size()) {
            Bytes frame(wire.data() + i, wire.data() + u32End);
            EXPECT_EQ(Get16(frame, 4),
                      CommandProtocolCrc16(0, &frame[6], static_cast<int>(frame.size() - 6)));
            Cipher(frame);
            frame.resize(13 + u32Len);
            out.push_back({Get16(frame, 11), Get16(frame, 7), frame[6], frame[9], frame[10],
                           Bytes(frame.begin() + 13, frame.end())});
            i = u32End - 1;
        }
    }
    return out;
}
/// A stream of whole frames cut apart at their lengths.
inline std::vector<Bytes> Each(const Bytes &wire) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < wire.size(); i += out.back().size()) {
        const size_t u32Len = Get16(wire, i + 2);
        out.emplace_back(wire.data() + i, wire.data() + i + (u32Len <= 4 ? 17 : 13 + u32Len));
    }
    return out;
}

/// Queues a command as an application does (data of five bytes or more in a
/// malloc'd buffer, which a slot takes up to 512 bytes): SendCmdAdd's result.
inline int Send(int s32Handle, uint16_t u16Cmd, const Bytes &data, int s32Priority = 0) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(data.size());
    uint8_t *pu8To = stRec.data;
    if (data.size() > 4) {
        pu8To = stRec.payload = static_cast<uint8_t *>(malloc(data.size()));
    }
    std::copy(data.begin(), data.end(), pu8To);
    const int s32Ret = CommandProtocolSendCmdAdd(s32Handle, &stRec, s32Priority);
    if (s32Ret < 0 || data.size() > CMD_FRAME_MAX_PAYLOAD) {
        free(stRec.payload);
    }
    return s32Ret;
}

/// The instance, reset before every test: "test", bytes 9 and 10 0x20 and 0x50,
/// heartbeats off, the clock at 1000. A queue's pause of 30 ms or more (a wait
/// for the peer) moves the clock on and runs a pass.
class DrivenInstance : public ::testing::Test {
public:
    static int Handle() {
        static const int s_s32Handle = [] {
            CommandProtocolMutexInit();
            CmdProtocolFun stFun = Fun();
            const int s32Handle = CommandProtocolOpen(&stFun, "test", CMD_MODE_NORMAL);
            CommandProtocolStop(s32Handle);
            CommandProtocolWaitEngineEnd(s32Handle);
            return s32Handle;
        }();
        return s_s32Handle;
    }

protected:
    struct Delivered {
        uint16_t u16Cmd, u16Sn;
        Bytes data;
        size_t u32WireAtCall; // bytes written before the callback ran
    };
    static inline Bytes s_wire; // written, not yet taken
    static inline std::vector<Delivered> s_delivered;
    static inline std::vector<uint32_t> s_pauses; // the queue's pauses (us)
    static inline bool s_bAutoAck = false;        // the peer acknowledges every frame at once
    static inline uint32_t s_u32Now = 1000;
    static inline CmdEngineLoopState s_stLoop;

    static CmdProtocolInstance *Inst() { return CommandProtocolLookup(Handle()); }
    static CmdProtocolFun Fun() {
        CmdProtocolFun stFun{};
        stFun.Write = [](const uint8_t *pu8, int s32Len) {
            s_wire.insert(s_wire.end(), pu8, pu8 + s32Len);
            const bool bAck = s32Len == 17 && (pu8[6] & 0x80) == 0 && pu8[11] + pu8[12] == 0;
            if (s_bAutoAck && s32Len >= CMD_FRAME_HEAD_LEN && !bAck) {
                Feed(MakeAck(static_cast<uint16_t>(pu8[7] | pu8[8] << 8), pu8[6] & 0x7F));
            }
            return s32Len;
        };
        stFun.DataProcessing = [](_CmdProtocolParam *pst) {
            const uint8_t *pu8 = CmdParamPayload(pst);
            s_delivered.push_back({pst->cmd, pst->sn, Bytes(pu8, pu8 + pst->len), s_wire.size()});
        };
        return stFun;
    }
    void SetUp() override { Reset(0); }
    /// A freshly opened record in place of the table's (s32Mode 1: fast mode).
    static void Reset(int s32Mode) {
        CmdProtocolInstance *pstInst = Inst();
        CommandProtocolInstanceRenew(pstInst);
        s_u32Now = 1000;
        CommandProtocolSetClock([] { return s_u32Now; });
        CommandProtocolSetPause([](uint32_t u32Us) {
            s_pauses.push_back(u32Us);
            if (u32Us >= 30000) {
                PassAt(s_u32Now + u32Us / 1000);
            }
        });
        const CmdProtocolFun stFun = Fun();
        CommandProtocolInstanceInit(pstInst, &stFun, "test", s32Mode);
        pstInst->engineEnded = true;
        CommandProtocolSetParam(Handle(), 0, 0, 0x20, 0x50, 0);
        CommandProtocolHeartBeatStatue(Handle(), 0);
        s_wire.clear();
        s_delivered.clear();
        s_pauses.clear();
        s_bAutoAck = false;
        s_stLoop = CmdEngineLoopState();
    }

    static int Feed(const Bytes &bytes) {
        return CommandInterfaceRead2(Handle(), bytes.data(), static_cast<int>(bytes.size()));
    }
    /// One engine pass at u32T; true when it acted on a received frame.
    static bool PassAt(uint32_t u32T) {
        s_u32Now = u32T;
        return CommandProtocolEnginePass(Inst(), nullptr, &s_stLoop);
    }
    static bool Pass() { return PassAt(s_u32Now + 1); }
    /// Passes 10 ms apart until two in a row found no received frame.
    static void Settle() {
        for (int s32Idle = 0; s32Idle < 2;) {
            s32Idle = PassAt(s_u32Now + 10) ? 0 : s32Idle + 1;
        }
    }
    static std::vector<Frame> Sent() { return Frames(std::exchange(s_wire, Bytes())); }
    /// "ack<sn>", "hb" (heartbeat), "report<code>" or "<sn>" (other) per frame; "-": none.
    static std::string Show(const std::vector<Frame> &vecFrames) {
        std::string str;
        for (const Frame &st : vecFrames) {
            const bool bReport = st.u16Cmd == CMD_UPDATE_SW_REPORT_FILE;
            const std::string strKind = st.u16Cmd == CMD_ACK ? " ack" : bReport ? " report" : " ";
            const int s32Value = bReport ? st.data.at(0) : st.u16Sn;
            str += st.u16Cmd == CMD_HEART_BEAT ? " hb" : strKind + std::to_string(s32Value);
        }
        return str.empty() ? "-" : str.substr(1);
    }
    /// Feeds each frame and runs a pass on it: what was written (left in s_wire).
    static std::string Exchange(const Bytes &frames) {
        s_wire.clear();
        for (const Bytes &frame : Each(frames)) {
            Feed(frame);
            EXPECT_TRUE(Pass());
        }
        return Show(Frames(s_wire));
    }
};
