// The update conversation on the wire: its command codes and the end record.
// The tool speaks it, irsim answers it and irdecode reads it; this header is
// all they share of the tool, so neither links it.
#pragma once

#include <cstdint>

/// Command codes of the update conversation.
enum : uint16_t {
    IR_CMD_UPDATE_START = 0x600,
    IR_CMD_UPDATE_READY = 0x602,
    IR_CMD_UPDATE_NEXT = 0x603,
    IR_CMD_UPDATE_DATA = 0x604,
    IR_CMD_UPDATE_END = 0x605,
    IR_CMD_UPDATE_CHECK_FAIL = 0x606,
    IR_CMD_UPDATE_MEM_FAIL = 0x607,
    IR_CMD_UPDATE_OK = 0x608,
};

/// The end record sent as the payload of 0x605, byte for byte.
struct __attribute__((packed)) IRUpdateEndInfo {
    uint32_t u32CheckSum; // sum of every byte sent in 0x604 chunks, padding included
    uint16_t u16Zero;     // 0x0000
    uint16_t u16One;      // 0x0001
};
static_assert(sizeof(IRUpdateEndInfo) == 8, "the end record is 8 bytes on the wire");
