// The sniffer of the tool's frames on the raw line (before faults): counts
// them, their repeats and acknowledgements, and times the tool's answer to
// each chunk request and irsim's own turnaround.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "irsim.h"

namespace {

struct Sniffer {
    uint8_t au8Buf[CMD_FRAME_MAX_LEN + 4] = {};
    uint32_t u32Count = 0;
    uint64_t u64Frames = 0; // well-formed frames other than acknowledgements
    uint64_t u64Acks = 0;
    uint64_t u64Bad = 0; // check value wrong
    uint64_t u64Repeats = 0;
    std::vector<bool> vecSnSeen = std::vector<bool>(65536, false);
    std::map<uint16_t, uint64_t> mapByCmd;
};
/// Built at first use rather than before main.
Sniffer &Sniff() {
    static Sniffer s_stSniff;
    return s_stSniff;
}

/// Turnaround times in microseconds: min, max, sum and count.
struct Turnaround {
    uint64_t u64Min = UINT64_MAX;
    uint64_t u64Max = 0;
    uint64_t u64Sum = 0;
    uint64_t u64Count = 0;
    void Add(uint64_t u64Us) {
        u64Min = std::min(u64Min, u64Us);
        u64Max = std::max(u64Max, u64Us);
        u64Sum += u64Us;
        ++u64Count;
    }
};

// Chunk round trips, timed at the line: the tool's turnaround runs from the
// moment a chunk request (0x603) has been written to the moment the next new
// chunk (0x604) or end record (0x605) has arrived whole; irsim's own runs
// from that arrival to the next chunk request written.
std::mutex s_objTimeMutex;
uint64_t s_u64RequestWrittenUs = 0; // 0: no request waiting for its chunk
uint64_t s_u64ChunkArrivedUs = 0;   // 0: no chunk waiting for its request
Turnaround s_stToolTurn;
Turnaround s_stSimTurn;

void NoteChunkArrived(uint64_t u64Now) {
    std::lock_guard<std::mutex> objLock(s_objTimeMutex);
    if (s_u64RequestWrittenUs != 0) {
        s_stToolTurn.Add(u64Now - s_u64RequestWrittenUs);
        s_u64RequestWrittenUs = 0;
    }
    s_u64ChunkArrivedUs = u64Now;
}

void NoteRequestWritten(uint64_t u64Now) {
    std::lock_guard<std::mutex> objLock(s_objTimeMutex);
    if (s_u64ChunkArrivedUs != 0) {
        s_stSimTurn.Add(u64Now - s_u64ChunkArrivedUs);
        s_u64ChunkArrivedUs = 0;
    }
    s_u64RequestWrittenUs = u64Now;
}

void SniffFrame() {
    Sniffer &s = Sniff();
    const uint8_t *pu8 = s.au8Buf;
    uint16_t u16Len = static_cast<uint16_t>(pu8[2] | pu8[3] << 8);
    uint16_t u16Crc = static_cast<uint16_t>(pu8[4] | pu8[5] << 8);
    int s32Covered = u16Len <= CMD_FRAME_SHORT_MAX ? CMD_FRAME_SHORT_LEN - 6 : 7 + u16Len;
    if (CommandProtocolCrc16(0, pu8 + 6, s32Covered) != u16Crc) {
        ++s.u64Bad;
        return;
    }
    uint16_t u16Cmd = static_cast<uint16_t>(pu8[11] | pu8[12] << 8);
    uint16_t u16Sn = static_cast<uint16_t>(pu8[7] | pu8[8] << 8);
    if (u16Cmd == CMD_ACK) {
        ++s.u64Acks;
        return;
    }
    ++s.u64Frames;
    ++s.mapByCmd[u16Cmd];
    if (s.vecSnSeen[u16Sn]) {
        ++s.u64Repeats;
        return;
    }
    s.vecSnSeen[u16Sn] = true;
    if (u16Cmd == IR_CMD_UPDATE_DATA || u16Cmd == IR_CMD_UPDATE_END) {
        NoteChunkArrived(IrsimNowUs());
    }
}

} // namespace

void IrsimSniffByte(uint8_t u8Byte) {
    Sniffer &s = Sniff();
    if (s.u32Count == 0) {
        if (u8Byte == CMD_FRAME_SYNC1) {
            s.au8Buf[s.u32Count++] = u8Byte;
        }
        return;
    }
    if (s.u32Count == 1) {
        if (u8Byte == CMD_FRAME_SYNC2) {
            s.au8Buf[s.u32Count++] = u8Byte;
        } else {
            s.u32Count = 0;
        }
        return;
    }
    s.au8Buf[s.u32Count++] = u8Byte;
    if (s.u32Count < 6) {
        return;
    }
    uint32_t u32Len = static_cast<uint32_t>(s.au8Buf[2] | s.au8Buf[3] << 8);
    if (u32Len > static_cast<uint32_t>(CMD_FRAME_MAX_PAYLOAD)) {
        s.u32Count = 0;
        return;
    }
    uint32_t u32Whole = u32Len <= static_cast<uint32_t>(CMD_FRAME_SHORT_MAX)
                            ? static_cast<uint32_t>(CMD_FRAME_SHORT_LEN)
                            : static_cast<uint32_t>(CMD_FRAME_HEAD_LEN) + u32Len;
    if (s.u32Count == u32Whole) {
        SniffFrame();
        s.u32Count = 0;
    }
}

void IrsimSniffRequestWritten() {
    NoteRequestWritten(IrsimNowUs());
}

void IrsimSniffPrintFrames() {
    const Sniffer &s = Sniff();
    printf("irsim: rx-frames %llu\n", static_cast<unsigned long long>(s.u64Frames));
    printf("irsim: rx-repeats %llu\n", static_cast<unsigned long long>(s.u64Repeats));
    printf("irsim: rx-acks %llu\n", static_cast<unsigned long long>(s.u64Acks));
    printf("irsim: rx-bad-frames %llu\n", static_cast<unsigned long long>(s.u64Bad));
    auto itStart = s.mapByCmd.find(IR_CMD_UPDATE_START);
    printf("irsim: start-frames %llu\n",
           static_cast<unsigned long long>(itStart == s.mapByCmd.end() ? 0 : itStart->second));
}

void IrsimSniffPrintTurnarounds() {
    for (const auto &stTurn : {std::make_pair("tool-turnaround-ms", &s_stToolTurn),
                               std::make_pair("sim-turnaround-ms", &s_stSimTurn)}) {
        const Turnaround &t = *stTurn.second;
        if (t.u64Count != 0) {
            printf("irsim: %s avg %.2f min %.2f max %.2f n %llu\n", stTurn.first,
                   static_cast<double>(t.u64Sum) / static_cast<double>(t.u64Count) / 1000.0,
                   static_cast<double>(t.u64Min) / 1000.0, static_cast<double>(t.u64Max) / 1000.0,
                   static_cast<unsigned long long>(t.u64Count));
        }
    }
}
