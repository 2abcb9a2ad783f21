// Fuzz target: the receiving and sending halves of one protocol instance fed
// an arbitrary conversation. The instance is opened in the table (so that
// CommandInterfaceRead2 finds it by handle), its engine thread stopped, and
// its engine passes run here, on the fake clock, between the peer's bytes.
//
// Input: a mode byte (FuzzLinkMode), then ops (FuzzLinkOp) until it ends.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "runtime/mutex.h"

namespace {

constexpr size_t LINK_WIRE_KEEP = size_t{64} * 1024; // what this side wrote, kept for the loopback
constexpr size_t LINK_SEND_MAX = 2100;               // longest message sent: five chunks
constexpr int LINK_OPS_MAX = 512;                    // ops per input
constexpr int LINK_PASSES_MAX = 32;                  // passes per op
constexpr int LINK_DRAIN_PASSES = 12; // passes after the last op: stored frames are acted on

int g_s32Handle = -1;
CmdProtocolInstance *g_pstInst = nullptr;
CmdProtocolFun g_stFun{};
FuzzWorkDir g_objDir;
FuzzBytes g_vecWire;
CmdEngineLoopState g_stLoop;

FuzzBytes g_vecHeader; // header of a long frame whose payload write comes next
uint8_t g_u8LastWritten = 0;

/// Every frame this side writes is whole and sealed: 17 bytes at once, or
/// the 13 header bytes followed by a write of exactly len payload bytes, with
/// the sync bytes in front and a CRC that matches. Between frames, and only
/// right after a 0xA5, one filler byte 0x00; a frame never follows a 0xA5.
void CheckFrameWritten(const uint8_t *pu8Buf, int s32Len) {
    if (!g_vecHeader.empty()) {
        const int s32Expect = g_vecHeader[2] | g_vecHeader[3] << 8;
        FUZZ_CHECK(s32Len == s32Expect);
        uint16_t u16Crc = CommandProtocolCrc16(0, &g_vecHeader[6], CMD_FRAME_HEAD_LEN - 6);
        u16Crc = CommandProtocolCrc16(u16Crc, pu8Buf, s32Len);
        FUZZ_CHECK(u16Crc == (g_vecHeader[4] | g_vecHeader[5] << 8));
        g_vecHeader.clear();
        return;
    }
    FUZZ_CHECK(s32Len == CMD_FRAME_SHORT_LEN || s32Len == CMD_FRAME_HEAD_LEN);
    FUZZ_CHECK(pu8Buf[0] == CMD_FRAME_SYNC1 && pu8Buf[1] == CMD_FRAME_SYNC2);
    const int s32FrameLen = pu8Buf[2] | pu8Buf[3] << 8;
    if (s32Len == CMD_FRAME_HEAD_LEN) {
        FUZZ_CHECK(s32FrameLen > CMD_FRAME_SHORT_MAX && s32FrameLen <= CMD_FRAME_MAX_PAYLOAD);
        g_vecHeader.assign(pu8Buf, pu8Buf + s32Len);
        return;
    }
    FUZZ_CHECK(s32FrameLen <= CMD_FRAME_SHORT_MAX);
    FUZZ_CHECK(CommandProtocolCrc16(0, pu8Buf + 6, CMD_FRAME_SHORT_LEN - 6) ==
               (pu8Buf[4] | pu8Buf[5] << 8));
}

void CheckWritten(const uint8_t *pu8Buf, int s32Len) {
    if (s32Len == 1 && g_vecHeader.empty()) {
        FUZZ_CHECK(pu8Buf[0] == 0x00 && g_u8LastWritten == CMD_FRAME_SYNC1);
    } else {
        FUZZ_CHECK(!g_vecHeader.empty() || g_u8LastWritten != CMD_FRAME_SYNC1);
        CheckFrameWritten(pu8Buf, s32Len);
    }
    g_u8LastWritten = pu8Buf[s32Len - 1];
}

int CaptureWrite(const uint8_t *pu8Buf, int s32Len) {
    FUZZ_CHECK(s32Len > 0 && pu8Buf != nullptr);
    CheckWritten(pu8Buf, s32Len);
    if (g_vecWire.size() + static_cast<size_t>(s32Len) <= LINK_WIRE_KEEP) {
        g_vecWire.insert(g_vecWire.end(), pu8Buf, pu8Buf + s32Len);
    }
    return s32Len;
}

/// Every delivered record carries the sync bytes and len readable bytes: the
/// data field, or a buffer of len bytes (read whole, so a shorter one shows).
void CheckDelivery(_CmdProtocolParam *pstFrame) {
    FUZZ_CHECK(pstFrame != nullptr);
    FUZZ_CHECK(pstFrame->sync1 == CMD_FRAME_SYNC1 && pstFrame->sync2 == CMD_FRAME_SYNC2);
    if (pstFrame->len > CMD_FRAME_SHORT_MAX) {
        FUZZ_CHECK(pstFrame->payload != nullptr);
    }
    const uint8_t *pu8Data = CmdParamPayload(pstFrame);
    volatile uint32_t u32Sum = 0;
    for (uint32_t i = 0; i < pstFrame->len; ++i) {
        u32Sum = u32Sum + pu8Data[i];
    }
}

void ApplyMode(uint8_t u8Mode) {
    elogLev = (u8Mode & FUZZ_LINK_VERBOSE) != 0 ? 5 : 0;
    const uint8_t u8Debug = (u8Mode & FUZZ_LINK_TRACE) != 0 ? 0x07 : 0x00;
    CommandProtocolSetParam(g_s32Handle, u8Mode & FUZZ_LINK_ENCRYPT,
                            (u8Mode & FUZZ_LINK_KEY1) != 0 ? 1 : 0, 0x20, 0x50, u8Debug);
    CommandProtocolHeartBeatStatue(g_s32Handle, (u8Mode & FUZZ_LINK_HEARTBEAT) != 0 ? 1 : 0);
    if ((u8Mode & FUZZ_LINK_FAST) != 0) {
        g_pstInst->status.fetch_or(CMD_STATUS_FAST_MODE);
    } else {
        g_pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_FAST_MODE));
    }
}

/// One engine pass as the loop runs it: the clock moves on a millisecond, and
/// by the loop's idle sleep after a pass without a received frame.
void Pass() {
    ++g_u32FuzzNow;
    if (!CommandProtocolEnginePass(g_pstInst, nullptr, &g_stLoop)) {
        g_u32FuzzNow += 4;
    }
}

void Feed(const FuzzBytes &bytes) {
    const int s32Ret =
        CommandInterfaceRead2(g_s32Handle, bytes.data(), static_cast<int>(bytes.size()));
    FUZZ_CHECK(s32Ret <= 0 && s32Ret >= CMD_RECV_NO_MEMORY);
    FUZZ_CHECK(g_pstInst->recvCount < CMD_FRAME_MAX_LEN);
}

/// The application queues a message; the caller keeps a buffer the queue
/// did not take (refused, or split into chunk copies).
void Send(FuzzReader &objIn) {
    _CmdProtocolParam stRec{};
    stRec.cmd = objIn.U16();
    const int s32Priority = objIn.U8() & 1;
    stRec.len = static_cast<uint16_t>(objIn.U16() % (LINK_SEND_MAX + 1));
    FuzzBytes data = objIn.Take(stRec.len);
    data.resize(stRec.len, 0);
    if (stRec.len > CMD_FRAME_SHORT_MAX) {
        stRec.payload = static_cast<uint8_t *>(malloc(stRec.len));
        FUZZ_CHECK(stRec.payload != nullptr);
        memcpy(stRec.payload, data.data(), stRec.len);
    } else if (stRec.len > 0) {
        memcpy(stRec.data, data.data(), stRec.len);
    }
    uint8_t *pu8Payload = stRec.payload;
    const int s32Ret = CommandProtocolSendCmdAdd(g_s32Handle, &stRec, s32Priority);
    if (s32Ret < 0 || stRec.len > CMD_FRAME_MAX_PAYLOAD) {
        free(pu8Payload);
    }
}

/// The queries an application may make at any time, and a round trip
/// through the deferred-command store.
void Query(uint16_t u16Sn) {
    const int s32Sent = CommandProtocolConfirmCmdsent(g_s32Handle, u16Sn);
    FUZZ_CHECK(s32Sent == 0 || s32Sent == 1);
    const int s32Queued = CommandProtocolGetSendBufNum(g_s32Handle);
    FUZZ_CHECK(s32Queued >= 0 && s32Queued <= CMD_SLOT_COUNT);
    const int s32Progress = CommandProtocolTransferFileProgress(g_s32Handle);
    FUZZ_CHECK(s32Progress >= 0 && s32Progress <= 100);

    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.cmd = CMD_STM32_IDBUTTON_TIMES;
    stRec.sn = u16Sn;
    stRec.len = static_cast<uint16_t>(u16Sn % 16);
    FuzzBytes data(stRec.len, static_cast<uint8_t>(u16Sn));
    stRec.payload = stRec.len > CMD_FRAME_SHORT_MAX ? data.data() : nullptr;
    CommandProtocolBackupCMDLongerToProgress(g_s32Handle, &stRec);
    if ((u16Sn & 0x100) != 0) {
        _CmdProtocolParam stTaken{};
        if (CommandProtocolGetCMDLongerToProgress(g_s32Handle, &stTaken) == 0) {
            FUZZ_CHECK(stTaken.len <= CMD_FRAME_SHORT_MAX || stTaken.payload != nullptr);
            CommandProtocolFrameClear(&stTaken);
        }
    }
}

/// A file send as CommandProtocolTransferFileSendStart leaves it once the peer
/// has answered the start frame: the file measured, the start frame queued
/// and acknowledged, chunks due from index 0. (The start itself waits for the
/// peer on the caller's thread, which this single-threaded harness cannot.)
void FileSend(FuzzReader &objIn) {
    const size_t u32Len = objIn.U16() % (4 * CMD_FILE_CHUNK + 1);
    FuzzBytes content = objIn.Take(u32Len);
    content.resize(u32Len, 0x5A);
    FILE *pstFile = fopen("send.bin", "wb");
    FUZZ_CHECK(pstFile != nullptr);
    FUZZ_CHECK(fwrite(content.data(), 1, content.size(), pstFile) == content.size());
    FUZZ_CHECK(fclose(pstFile) == 0);

    CMutexLock objLock(g_objSendBufMutex);
    if (g_pstInst->fileSendState.load() != 0) {
        return; // one send at a time, as the start refuses a second
    }
    CmdProtocolFileInfo &stInfo = g_pstInst->fileInfo;
    stInfo = CmdProtocolFileInfo{};
    FUZZ_CHECK(CommandProtocolTransferCheckFileInfo("send.bin", &stInfo) == 0);
    // Fixed names that fit their fields.
    (void)snprintf(g_pstInst->remoteFileName, sizeof(g_pstInst->remoteFileName), "remote.bin");
    (void)snprintf(stInfo.fileName, sizeof(stInfo.fileName), "send.bin");
    if (CommandProtocolTransferFileStartCmd(g_pstInst) != 0) {
        return;
    }
    for (const _CmdProtocolParam &stSlot : g_pstInst->sendSlots) {
        if (stSlot.sync1 == CMD_FRAME_SYNC1 && stSlot.cmd == CMD_UPDATE_SW_SEND_FILE_START) {
            CommandProtocolRemoveSendBuf(g_pstInst, stSlot.sn, 0);
            break;
        }
    }
    g_pstInst->filePacketIndex.store(0);
    g_pstInst->cipherParam = 0;
    g_pstInst->fileSendState.store(2);
}

void RunOp(uint8_t u8Op, FuzzReader &objIn) {
    switch (u8Op % FUZZ_LINK_OP_COUNT) {
    case FUZZ_LINK_OP_BYTES:
        Feed(objIn.Take(objIn.U16()));
        break;
    case FUZZ_LINK_OP_PASSES: {
        const int s32Passes = objIn.U8() % LINK_PASSES_MAX + 1;
        for (int i = 0; i < s32Passes; ++i) {
            Pass();
        }
        break;
    }
    case FUZZ_LINK_OP_CLOCK:
        g_u32FuzzNow += objIn.U16();
        break;
    case FUZZ_LINK_OP_SEND:
        Send(objIn);
        break;
    case FUZZ_LINK_OP_LOOPBACK: {
        FuzzBytes wire;
        wire.swap(g_vecWire);
        Feed(wire);
        break;
    }
    case FUZZ_LINK_OP_SEALED:
        Feed(FuzzReadSealed(objIn));
        break;
    case FUZZ_LINK_OP_MODE:
        ApplyMode(objIn.U8());
        break;
    case FUZZ_LINK_OP_RESET:
        CommandProtocolReset(g_s32Handle);
        break;
    case FUZZ_LINK_OP_QUERY:
        Query(objIn.U16());
        break;
    case FUZZ_LINK_OP_FILE:
        FileSend(objIn);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzQuietStdout();
    // Start frames create files: only in a folder of our own.
    g_objDir.Enter();
    FuzzUseFakeTime();
    g_stFun.Write = CaptureWrite;
    g_stFun.DataProcessing = CheckDelivery;
    g_s32Handle = FuzzOpenStoppedInstance(&g_stFun, "fuzz");
    g_pstInst = CommandProtocolLookup(g_s32Handle);
    FUZZ_CHECK(g_pstInst != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    FuzzReader objIn(pu8Data, u32Size);
    g_u32FuzzNow = 100000;
    const uint8_t u8Mode = objIn.U8();
    FuzzResetInstance(g_pstInst, &g_stFun, (u8Mode & FUZZ_LINK_FAST) != 0 ? 1 : 0);
    g_stLoop = CmdEngineLoopState();
    g_vecWire.clear();
    g_vecHeader.clear();
    g_u8LastWritten = 0;
    ApplyMode(u8Mode);

    for (int s32Ops = 0; s32Ops < LINK_OPS_MAX && !objIn.Empty(); ++s32Ops) {
        RunOp(objIn.U8(), objIn);
    }
    for (int i = 0; i < LINK_DRAIN_PASSES; ++i) {
        Pass();
    }

    // Nothing of this input stays: memory is bounded and the next run starts clean.
    FuzzResetInstance(g_pstInst, &g_stFun, 0);
    g_objDir.CheckConfined();
    g_objDir.Empty();
    return 0;
}
