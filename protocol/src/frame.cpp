// Frames as records: check value, cipher, writing and release.
//
// A record holds the 13 header bytes as on the wire, then either the 4-byte
// data field (len 0..4) or a reference to a payload buffer of len bytes.
// Payload buffers are allocated with malloc and released with free.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "instance.h"

namespace {

constexpr int CMD_CRC_START = 6;        // flags: the first covered byte
constexpr int CMD_SHORT_CRC_LEN = 11;   // bytes 6..16
constexpr int CMD_HEAD_CRC_LEN = 7;     // bytes 6..12 of a long frame
constexpr int CMD_CIPHER_START = 9;     // param1: the first enciphered byte of a short frame
constexpr int CMD_SHORT_CIPHER_LEN = 8; // bytes 9..16

} // namespace

uint16_t CommandProtocolFrameCrc(const _CmdProtocolParam *pstRec) {
    const uint8_t *pu8Bytes = CmdParamBytes(pstRec);
    if (pstRec->len <= CMD_FRAME_SHORT_MAX) {
        return CommandProtocolCrc16(0, pu8Bytes + CMD_CRC_START, CMD_SHORT_CRC_LEN);
    }
    // One running value from the header into the payload.
    uint16_t u16Crc = CommandProtocolCrc16(0, pu8Bytes + CMD_CRC_START, CMD_HEAD_CRC_LEN);
    return CommandProtocolCrc16(u16Crc, pstRec->payload, pstRec->len);
}

int CommandProtocolFrameCipher(_CmdProtocolParam *pstRec) {
    const int s32KeyIndex = pstRec->flags & CMD_FLAG_KEY_MASK;
    // The cipher needs separate input and output; the result is copied back.
    uint8_t au8Work[CMD_FRAME_MAX_PAYLOAD];
    uint8_t *pu8Area = nullptr;
    int s32Len = 0;
    if (pstRec->len <= CMD_FRAME_SHORT_MAX) {
        pu8Area = CmdParamBytes(pstRec) + CMD_CIPHER_START;
        s32Len = CMD_SHORT_CIPHER_LEN;
    } else {
        if (pstRec->payload == nullptr || pstRec->len > CMD_FRAME_MAX_PAYLOAD) {
            return -1;
        }
        pu8Area = pstRec->payload;
        s32Len = pstRec->len;
    }
    int s32Ret = Arc4DecryptEncrypt(pu8Area, au8Work, s32Len, s32KeyIndex);
    memcpy(pu8Area, au8Work, static_cast<size_t>(s32Len));
    return s32Ret;
}

void CommandProtocolFrameWrite(CmdProtocolInstance *pstInst, const _CmdProtocolParam *pstRec) {
    if (pstInst->fun.Write == nullptr) {
        return;
    }
    // A receiver that hunts for a frame start takes a 0xA5 as the first sync
    // byte, and on the microcontroller a second 0xA5 throws it back to
    // hunting, so the start right after it is lost (ours takes the second
    // one as the start instead). A frame whose last byte is 0xA5, repeated back
    // to back, could then never be found again by a peer that lost step once
    // in front of it (a dropped byte is enough): every repeat would begin just
    // after that 0xA5. One filler byte, which a hunting receiver passes over,
    // keeps a frame start from following a 0xA5 on the line.
    if (pstInst->lastWriteByte.load(std::memory_order_relaxed) == CMD_FRAME_SYNC1) {
        static const uint8_t s_u8Filler = 0;
        pstInst->fun.Write(&s_u8Filler, 1);
    }
    const uint8_t *pu8Bytes = CmdParamBytes(pstRec);
    uint8_t u8Last = pu8Bytes[CMD_FRAME_SHORT_LEN - 1];
    if (pstRec->len <= CMD_FRAME_SHORT_MAX) {
        pstInst->fun.Write(pu8Bytes, CMD_FRAME_SHORT_LEN);
    } else {
        pstInst->fun.Write(pu8Bytes, CMD_FRAME_HEAD_LEN);
        u8Last = pu8Bytes[CMD_FRAME_HEAD_LEN - 1];
        if (pstRec->payload != nullptr) {
            pstInst->fun.Write(pstRec->payload, pstRec->len);
            u8Last = pstRec->payload[pstRec->len - 1];
        }
    }
    pstInst->lastWriteByte.store(u8Last, std::memory_order_relaxed);
}

void CommandProtocolFrameClear(_CmdProtocolParam *pstRec) {
    // The buffer belongs to the record only when len says it is a long frame.
    if (pstRec->len > CMD_FRAME_SHORT_MAX) {
        free(pstRec->payload);
    }
    // Byte 0 goes last, with release order: a receive slot is handed back to
    // the byte feeder (which may be another thread, see CommandInterfaceRead2)
    // only once the rest of it is clear.
    memset(CmdParamBytes(pstRec) + 1, 0, sizeof(*pstRec) - 1);
    __atomic_store_n(&pstRec->sync1, static_cast<uint8_t>(0), __ATOMIC_RELEASE);
}
