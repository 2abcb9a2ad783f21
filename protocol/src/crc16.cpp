// CRC-16/XMODEM: polynomial 0x1021, initial value supplied by the caller (0 for
// every frame), no reflection, no final XOR. Table-driven, one step per byte.
#include <array>

#include "protocol/command_protocol.h"

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> au16Table{};
    for (unsigned u32Index = 0; u32Index < 256; ++u32Index) {
        uint16_t u16Crc = static_cast<uint16_t>(u32Index << 8);
        for (int s32Bit = 0; s32Bit < 8; ++s32Bit) {
            u16Crc = (u16Crc & 0x8000) != 0 ? static_cast<uint16_t>((u16Crc << 1) ^ 0x1021)
                                            : static_cast<uint16_t>(u16Crc << 1);
        }
        au16Table[u32Index] = u16Crc;
    }
    return au16Table;
}

constexpr std::array<uint16_t, 256> s_au16CrcTable = MakeCrcTable();

} // namespace

uint16_t CommandProtocolCrc16(uint16_t u16Crc, const uint8_t *pu8Bytes, int s32Count) {
    if (pu8Bytes == nullptr) {
        return u16Crc;
    }
    for (int s32Index = 0; s32Index < s32Count; ++s32Index) {
        u16Crc = static_cast<uint16_t>(s_au16CrcTable[((u16Crc >> 8) ^ pu8Bytes[s32Index]) & 0xFF] ^
                                       (u16Crc << 8));
    }
    return u16Crc;
}
