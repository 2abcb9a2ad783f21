// Fuzz target: the receiving side of a file transfer (start frame, chunks,
// end marker, reports, ready-for-update) fed arbitrary frames through the
// receiver and the engine's frame step, in a private working folder that is
// emptied after each input. Nothing may be created outside that folder:
// every announced name that is not a plain file name must leave its path as
// it was, and the folders around the working folder stay empty.
//
// Input: a mode byte (FuzzFileMode), then frames (FuzzFileOp) until it ends.
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr int FILE_FRAMES_MAX = 256; // frames per input
// Announced lengths are kept to this many bytes: the receiver writes only
// within the announced length, and the end marker reads the whole file back
// for its CRC, so a 16 MB announcement would make one input take a quarter
// of a second without reaching any other code.
constexpr uint32_t FILE_LENGTH_MAX = 64 * 1024;

CmdProtocolInstance g_stInst;
CmdProtocolFun g_stFun{};
FuzzWorkDir g_objDir;
uint8_t g_u8Flags = 0; // flags byte of the frames of this input

int DropWrite(const uint8_t *pu8Buf, int s32Len) {
    FUZZ_CHECK(s32Len >= 0 && (s32Len == 0 || pu8Buf != nullptr));
    return s32Len;
}

/// What reaches the application: the announced record (start frame), the end
/// marker of a verified file, ready-for-update and other commands.
void CheckDelivery(_CmdProtocolParam *pstFrame) {
    FUZZ_CHECK(pstFrame != nullptr);
    if (pstFrame->cmd == CMD_UPDATE_SW_SEND_FILE) {
        FUZZ_CHECK(g_stInst.fileRecvState.load() == 3); // verified
    }
    if (pstFrame->len > CMD_FRAME_SHORT_MAX) {
        FUZZ_CHECK(pstFrame->payload != nullptr);
    }
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    volatile uint32_t u32Sum = 0;
    for (uint32_t i = 0; i < pstFrame->len; ++i) {
        u32Sum = u32Sum + pu8Data[i];
    }
}

/// Feeds a frame's bytes to the receiver and runs the frame step on it.
void Receive(const FuzzBytes &frame) {
    for (uint8_t u8Byte : frame) {
        CommandProtocolRecvOneByte(&g_stInst, u8Byte);
    }
    ++g_u32FuzzNow;
    const int s32Slot = CommandProtocolPickRecvSlot(&g_stInst, g_u32FuzzNow);
    if (s32Slot >= 0) {
        CommandProtocolFrameStep(&g_stInst, s32Slot, g_u32FuzzNow);
    }
}

/// Whether lstat finds the path (a name that would lead out of the folder).
bool PathExists(const char *pszPath) {
    struct stat stStat;
    return lstat(pszPath, &stStat) == 0;
}

/// A start frame: the announced record from the input. A name that is not a
/// plain file name of the working folder must leave its path untouched.
void Start(FuzzReader &objIn, uint16_t u16Sn) {
    const uint8_t u8Len = objIn.U8();
    const size_t u32Len = u8Len == 0 ? sizeof(CmdProtocolFileInfo) : u8Len;
    FuzzBytes record = objIn.Take(u32Len);
    record.resize(u32Len, 0);

    CmdProtocolFileInfo stInfo{};
    memcpy(&stInfo, record.data(), std::min(record.size(), sizeof(stInfo)));
    if (record.size() >= offsetof(CmdProtocolFileInfo, crc)) {
        const uint32_t u32Length = stInfo.length % (FILE_LENGTH_MAX + 1);
        memcpy(&record[offsetof(CmdProtocolFileInfo, length)], &u32Length, sizeof(u32Length));
    }
    const std::string strName(stInfo.fileName, strnlen(stInfo.fileName, sizeof(stInfo.fileName)));
    const bool bOutside = strName.find('/') != std::string::npos || strName == "." ||
                          strName == ".." || strName.empty();
    const bool bExisted = bOutside && !strName.empty() && PathExists(strName.c_str());

    Receive(FuzzSealFrame(g_u8Flags, u16Sn, 0x20, 0x50, CMD_UPDATE_SW_SEND_FILE_START, record));

    if (bOutside && !strName.empty()) {
        FUZZ_CHECK(PathExists(strName.c_str()) == bExisted);
    }
}

void RunFrame(uint8_t u8Op, FuzzReader &objIn) {
    const uint16_t u16Sn = objIn.U16();
    switch (u8Op % FUZZ_FILE_OP_COUNT) {
    case FUZZ_FILE_OP_START:
        Start(objIn, u16Sn);
        break;
    case FUZZ_FILE_OP_CHUNK: {
        const uint16_t u16Index = objIn.U16();
        const size_t u32Len = objIn.U16() % (CMD_FRAME_MAX_PAYLOAD + 1);
        FuzzBytes data = objIn.Take(u32Len);
        data.resize(u32Len, 0);
        FuzzBytes frame =
            FuzzSealFrame(g_u8Flags, u16Sn, static_cast<uint8_t>(u16Index >> 8),
                          static_cast<uint8_t>(u16Index), CMD_UPDATE_SW_SEND_FILE, data);
        Receive(frame);
        break;
    }
    case FUZZ_FILE_OP_END:
        Receive(
            FuzzSealFrame(g_u8Flags, u16Sn, 0x7F, 0xFF, CMD_UPDATE_SW_SEND_FILE, FuzzBytes(4, 0)));
        break;
    case FUZZ_FILE_OP_REPORT:
        Receive(FuzzSealFrame(g_u8Flags, u16Sn, 0x20, 0x50, CMD_UPDATE_SW_REPORT_FILE,
                              FuzzBytes{objIn.U8(), 0, 0, 0}));
        break;
    case FUZZ_FILE_OP_READY:
        Receive(FuzzSealFrame(g_u8Flags, u16Sn, 0x20, 0x50, CMD_UPDATE_SW_READY_UPDATE,
                              FuzzBytes(4, 0)));
        break;
    case FUZZ_FILE_OP_OTHER:
        Receive(FuzzReadSealed(objIn));
        break;
    case FUZZ_FILE_OP_ACKALL:
        CommandProtocolRemoveSendBuf(&g_stInst, 0, 1);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzQuietStdout();
    g_objDir.Enter();
    FuzzUseFakeTime();
    g_stFun.Write = DropWrite;
    g_stFun.DataProcessing = CheckDelivery;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    FuzzReader objIn(pu8Data, u32Size);
    g_u32FuzzNow = 100000;
    const uint8_t u8Mode = objIn.U8();
    elogLev = (u8Mode & FUZZ_FILE_VERBOSE) != 0 ? 5 : 0;
    g_u8Flags = static_cast<uint8_t>(((u8Mode & FUZZ_FILE_ENCRYPT) != 0 ? CMD_FLAG_ENCRYPT : 0) |
                                     ((u8Mode & FUZZ_FILE_KEY1) != 0 ? 1 : 0));
    FuzzResetInstance(&g_stInst, &g_stFun, 0);
    g_stInst.debugFlags.store((u8Mode & FUZZ_FILE_TRACE) != 0 ? 0x03 : 0x00);

    for (int s32Frames = 0; s32Frames < FILE_FRAMES_MAX && !objIn.Empty(); ++s32Frames) {
        RunFrame(objIn.U8(), objIn);
    }

    FuzzResetInstance(&g_stInst, &g_stFun, 0); // closes a file still being written
    g_objDir.CheckConfined();
    g_objDir.Empty();
    return 0;
}
