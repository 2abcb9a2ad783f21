// Shared by the protocol unit tests: a fake clock and wire, a recording data
// callback, frames built straight from the frame layout (test_frame.cpp checks
// the CRC and RC4 they use), and a fixture whose steps the test drives.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "protocol_internal.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

inline std::atomic<uint32_t> g_u32Now{1000};
inline uint32_t FakeClock() {
    return g_u32Now.load();
}

struct Delivered {
    uint16_t u16Cmd;
    uint16_t u16Sn;
    Bytes data;
    size_t u32WireAtCall; // bytes written before the callback ran
};
inline std::mutex g_objWireMutex; // guards the two below
inline Bytes g_wire;              // every byte written
inline std::vector<Delivered> g_delivered;

inline int WireWrite(const uint8_t *pu8Buf, int s32Len) {
    std::lock_guard<std::mutex> objLock(g_objWireMutex);
    g_wire.insert(g_wire.end(), pu8Buf, pu8Buf + s32Len);
    return s32Len;
}
inline Bytes TakeWire() {
    std::lock_guard<std::mutex> objLock(g_objWireMutex);
    return std::exchange(g_wire, Bytes());
}
inline void Deliver(_CmdProtocolParam *pstFrame) {
    std::lock_guard<std::mutex> objLock(g_objWireMutex);
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    g_delivered.push_back(
        {pstFrame->cmd, pstFrame->sn, Bytes(pu8Data, pu8Data + pstFrame->len), g_wire.size()});
}
inline CmdProtocolFun TestFun() {
    CmdProtocolFun stFun{};
    stFun.Write = WireWrite;
    stFun.DataProcessing = Deliver;
    return stFun;
}

/// Test data whose bytes differ for every seed below 256.
inline Bytes Pattern(size_t u32Len, uint32_t u32Seed) {
    Bytes out(u32Len);
    for (size_t i = 0; i < u32Len; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8) + size_t{u32Seed} * 7);
    }
    return out;
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}
/// Writes 16-bit fields (offset, value), low byte first.
inline void Put16(Bytes &bytes, std::initializer_list<std::pair<size_t, size_t>> fields) {
    for (const std::pair<size_t, size_t> &stField : fields) {
        bytes[stField.first] = static_cast<uint8_t>(stField.second);
        bytes[stField.first + 1] = static_cast<uint8_t>(stField.second >> 8);
    }
}

/// The wire bytes of one frame (param1 0x20, param2 0x50).
inline Bytes MakeFrame(uint16_t u16Cmd, uint16_t u16Sn, const Bytes &payload, uint8_t u8Flags = 0) {
    Bytes frame = Cat({{0xA5, 0x5A, 0, 0, 0, 0, u8Flags, 0, 0, 0x20, 0x50, 0, 0}, payload});
    frame.resize(std::max<size_t>(frame.size(), 17), 0);
    Put16(frame, {{2, payload.size()}, {7, u16Sn}, {11, u16Cmd}});
    if ((u8Flags & 0x80) != 0) {
        const size_t u32Start = payload.size() <= 4 ? 9 : 13;
        const Bytes clear(frame.begin() + static_cast<std::ptrdiff_t>(u32Start), frame.end());
        Arc4DecryptEncrypt(clear.data(), &frame[u32Start], static_cast<int>(clear.size()),
                           u8Flags & 0x7F);
    }
    Put16(frame, {{4, CommandProtocolCrc16(0, &frame[6], static_cast<int>(frame.size() - 6))}});
    return frame;
}
/// The acknowledgement that a receiver writes for a frame.
inline Bytes MakeAck(uint16_t u16Sn, uint8_t u8KeyBits = 0) {
    return MakeFrame(CMD_ACK, u16Sn, Bytes(4, 0), u8KeyBits);
}

/// A chunk payload: the 12-byte sub-header, then u32DataLen bytes of data.
inline Bytes Chunk(uint8_t u8Num, size_t u32MsgLen, size_t u32Addr, size_t u32SendLen,
                   uint16_t u16Cmd, const uint8_t *pu8Data, size_t u32DataLen) {
    Bytes out =
        Cat({{u8Num, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes(pu8Data, pu8Data + u32DataLen)});
    Put16(out, {{2, u32MsgLen}, {4, u32Addr}, {6, u32SendLen}, {8, u16Cmd}});
    return out;
}
/// The chunk frames of a message as the sender must split it: 496 data bytes
/// per chunk, ascending offsets, consecutive sequence numbers.
inline std::vector<Bytes> Split(uint16_t u16Cmd, const Bytes &msg, uint16_t u16FirstSn,
                                uint8_t u8Flags = 0) {
    const size_t u32Num = (msg.size() + 495) / 496;
    std::vector<Bytes> frames;
    for (size_t i = 0; i < u32Num; ++i) {
        const size_t u32Len = std::min<size_t>(496, msg.size() - i * 496);
        const Bytes chunk = Chunk(static_cast<uint8_t>(u32Num), msg.size(), i * 496, u32Len, u16Cmd,
                                  &msg[i * 496], u32Len);
        frames.push_back(MakeFrame(CMD_LARGE_PACKET_PROTOCOL, static_cast<uint16_t>(u16FirstSn + i),
                                   chunk, u8Flags));
    }
    return frames;
}

/// A record to queue: from five bytes on the data goes into a malloc'd
/// payload, which the queue takes over when it accepts the record.
inline _CmdProtocolParam Rec(uint16_t u16Cmd, const Bytes &data) {
    _CmdProtocolParam stRec{};
    stRec.cmd = u16Cmd;
    stRec.len = static_cast<uint16_t>(data.size());
    uint8_t *pu8To = stRec.data;
    if (data.size() > CMD_FRAME_SHORT_MAX) {
        pu8To = stRec.payload = static_cast<uint8_t *>(malloc(data.size()));
    }
    std::copy(data.begin(), data.end(), pu8To);
    return stRec;
}

/// One instance ("test", param1 0x20, param2 0x50) without an engine thread,
/// on the fake clock; a fixture may put an opened instance in its place.
class UnitInstance : public ::testing::Test {
protected:
    void SetUp() override {
        TakeWire();
        g_delivered.clear();
        g_u32Now = 1000;
        CommandProtocolSetClock(FakeClock);
        Init(&m_stInst);
    }
    void TearDown() override {
        for (_CmdProtocolParam &stSlot : m_pstInst->recvSlots) {
            CommandProtocolFrameClear(&stSlot);
        }
        CommandProtocolRemoveSendBuf(m_pstInst, 0, 1);
        free(m_pstInst->PacketsBuffer);
        m_pstInst->PacketsBuffer = nullptr;
        CommandProtocolSetClock(nullptr);
    }
    void Init(CmdProtocolInstance *pstInst) {
        const CmdProtocolFun stFun = TestFun();
        CommandProtocolInstanceInit(pstInst, &stFun, "test", 0);
        pstInst->sendByte9 = 0x20;
        pstInst->sendByte10 = 0x50;
        m_pstInst = pstInst;
    }

    std::vector<int> Feed(const Bytes &bytes) {
        std::vector<int> results;
        for (uint8_t u8Byte : bytes) {
            results.push_back(CommandProtocolRecvOneByte(m_pstInst, u8Byte));
        }
        return results;
    }
    /// One frame step on the oldest stored frame, a millisecond later.
    bool Step() {
        const int s32Slot = CommandProtocolPickRecvSlot(m_pstInst, ++g_u32Now);
        if (s32Slot >= 0) {
            CommandProtocolFrameStep(m_pstInst, s32Slot, g_u32Now);
        }
        return s32Slot >= 0;
    }
    /// Feeds each frame and acts on it; returns everything written meanwhile.
    Bytes Exchange(const std::vector<Bytes> &frames) {
        TakeWire();
        for (const Bytes &frame : frames) {
            Feed(frame);
            EXPECT_TRUE(Step());
        }
        return TakeWire();
    }

    CmdProtocolInstance m_stInst;
    CmdProtocolInstance *m_pstInst = &m_stInst;
};
