// Fuzz target: one protocol instance bound as the update tool binds it (the
// application binding and the update sequence's receive handler) fed an
// arbitrary conversation: raw peer bytes and sealed frames of any command
// (update commands, chunks of large messages, repeats, file transfers into a
// private working folder), engine passes run here on a fake clock, and sends,
// file sends, resets and queries of its own. Any byte string is an input: ops
// of a code byte and its fields, read past the end as zeros.
//
// Checked besides the sanitizers: every frame written is whole and sealed,
// with one filler byte after a 0xA5 only; no file appears outside the working
// folder, nor anything but regular files in it; the images stay as they are;
// the success record is written only after the success command came.
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "ir_update.h"
#include "protocol/command_interface.h"
#include "protocol_internal.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

#define FUZZ_CHECK(cond) ((cond) ? void(0) : Fail(#cond, __LINE__))
[[noreturn]] void Fail(const char *pszWhat, int s32Line) {
    // Through the sanitizers' report channel, which libFuzzer keeps open.
    const std::string strLine = std::string("fuzz check failed: ") + pszWhat + " (line " +
                                std::to_string(s32Line) + ")";
    __sanitizer_report_error_summary(strLine.c_str());
    abort();
}

struct Reader {
    const uint8_t *pu8Data;
    size_t u32Left;
    uint8_t U8() { return u32Left > 0 ? (--u32Left, *pu8Data++) : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    Bytes Take(size_t u32Count) { // zero-filled past the end
        Bytes out(u32Count, 0);
        for (uint8_t &u8 : out) {
            u8 = U8();
        }
        return out;
    }
};

const char *const IMAGES[] = {"ir_4000.bin", "ir_A000.bin"};
fs::path g_objBase; // <base>/outer/work is the working folder
int g_s32Handle = -1;
CmdProtocolInstance *g_pstInst = nullptr;
uint32_t g_u32Now = 0;
CmdEngineLoopState g_stLoop;
Bytes g_vecWire;          // what this side wrote, for the loopback
size_t g_u32HeaderLen = 0; // len of a long frame whose payload write comes next
Bytes g_vecHeader;
uint8_t g_u8Last = 0;
bool g_bAutoAck = false; // the peer acknowledges every frame at once
bool g_bOkSeen = false;

void Feed(const Bytes &bytes) {
    const int s32Ret = CommandInterfaceRead2(g_s32Handle, bytes.data(), int(bytes.size()));
    FUZZ_CHECK(s32Ret <= 0 && s32Ret >= CMD_RECV_NO_MEMORY);
}

/// A frame as a peer sends it, enciphered (flags bit 7) and sealed by the
/// protocol's own frame functions; a short one's data field holds data's
/// first four bytes, whatever len says.
Bytes Seal(uint8_t u8Flags, uint16_t u16Sn, uint8_t u8P1, uint8_t u8P2, uint16_t u16Cmd,
           uint16_t u16Len, Bytes data) {
    data.resize(std::max<size_t>(u16Len, 4), 0);
    _CmdProtocolParam stRec{CMD_FRAME_SYNC1, CMD_FRAME_SYNC2, u16Len, 0, u8Flags, u16Sn, u8P1,
                            u8P2, u16Cmd, {}, u16Len > 4 ? data.data() : nullptr};
    memcpy(stRec.data, data.data(), 4);
    if ((u8Flags & CMD_FLAG_ENCRYPT) != 0) {
        CommandProtocolFrameCipher(&stRec);
    }
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8 = CmdParamBytes(&stRec);
    if (u16Len <= 4) {
        return Bytes(pu8, pu8 + CMD_FRAME_SHORT_LEN);
    }
    Bytes frame(pu8, pu8 + CMD_FRAME_HEAD_LEN);
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

/// Every write is a whole sealed frame (17 bytes, or 13 header bytes and then
/// exactly len payload bytes), or one filler byte 0x00 right after a 0xA5.
int CheckedWrite(const uint8_t *pu8Buf, int s32Len) {
    FUZZ_CHECK(s32Len > 0);
    const Bytes bytes(pu8Buf, pu8Buf + s32Len);
    if (g_u32HeaderLen != 0) {
        FUZZ_CHECK(bytes.size() == g_u32HeaderLen);
        uint16_t u16Crc = CommandProtocolCrc16(0, &g_vecHeader[6], CMD_FRAME_HEAD_LEN - 6);
        FUZZ_CHECK(CommandProtocolCrc16(u16Crc, pu8Buf, s32Len) == (g_vecHeader[4] | g_vecHeader[5] << 8));
        g_u32HeaderLen = 0;
    } else if (s32Len == 1) {
        FUZZ_CHECK(pu8Buf[0] == 0 && g_u8Last == CMD_FRAME_SYNC1);
    } else {
        FUZZ_CHECK(g_u8Last != CMD_FRAME_SYNC1 && pu8Buf[0] == CMD_FRAME_SYNC1 &&
                   pu8Buf[1] == CMD_FRAME_SYNC2);
        const size_t u32Len = pu8Buf[2] | pu8Buf[3] << 8;
        FUZZ_CHECK(s32Len == (u32Len <= 4 ? CMD_FRAME_SHORT_LEN : CMD_FRAME_HEAD_LEN));
        FUZZ_CHECK(u32Len <= CMD_FRAME_MAX_PAYLOAD);
        if (u32Len > 4) {
            g_u32HeaderLen = u32Len;
            g_vecHeader = bytes;
        } else {
            FUZZ_CHECK(CommandProtocolCrc16(0, pu8Buf + 6, 11) == (pu8Buf[4] | pu8Buf[5] << 8));
        }
        const bool bAck = (pu8Buf[6] & 0x80) == 0 && u32Len <= 4 && pu8Buf[11] == 0 && pu8Buf[12] == 0;
        if (g_bAutoAck && !bAck) {
            Feed(Seal(pu8Buf[6] & 0x7F, static_cast<uint16_t>(pu8Buf[7] | pu8Buf[8] << 8), 0x20,
                      0x50, CMD_ACK, 4, {}));
        }
    }
    g_u8Last = pu8Buf[s32Len - 1];
    if (g_vecWire.size() < 65536) {
        g_vecWire.insert(g_vecWire.end(), bytes.begin(), bytes.end());
    }
    return s32Len;
}

/// One pass as the engine loop runs it: a millisecond on, and the loop's
/// idle sleep after a pass without a received frame.
void Pass() {
    ++g_u32Now;
    if (!CommandProtocolEnginePass(g_pstInst, nullptr, &g_stLoop)) {
        g_u32Now += 4;
    }
}

/// A fresh record in place of the table's, with everything it owned released.
void ResetInstance(int s32Mode) {
    CommandProtocolReset(g_s32Handle);
    for (_CmdProtocolParam &stSlot : g_pstInst->longerCmds) {
        CommandProtocolFrameClear(&stSlot);
    }
    free(g_pstInst->PacketsBuffer);
    if (g_pstInst->fileHandle != nullptr) {
        (void)fclose(g_pstInst->fileHandle); // scratch data
    }
    g_pstInst->~CmdProtocolInstance();
    new (g_pstInst) CmdProtocolInstance();
    CommandProtocolInstanceInit(g_pstInst, &Cmdfun, "fuzz", s32Mode);
    g_pstInst->engineEnded = true;
}

void ApplyMode(uint8_t u8Mode) {
    elogLev = (u8Mode & 0x80) != 0 ? 5 : 0;
    CommandProtocolSetParam(g_s32Handle, u8Mode & 1, (u8Mode >> 1) & 1, 0x20, 0x50,
                            (u8Mode & 0x10) != 0 ? 7 : 0);
    CommandProtocolHeartBeatStatue(g_s32Handle, (u8Mode >> 3) & 1);
    g_bAutoAck = (u8Mode & 0x20) != 0;
}

void RunOp(Reader &objIn) {
    switch (objIn.U8() % 11) {
    case 0: // bytes from the peer
        Feed(objIn.Take(objIn.U8()));
        break;
    case 1: { // a sealed frame from the peer: flags, sn, param1, param2, cmd, len, data
        const uint8_t u8Flags = objIn.U8();
        const uint16_t u16Sn = objIn.U16();
        const uint8_t u8P1 = objIn.U8(), u8P2 = objIn.U8();
        const uint16_t u16Cmd = objIn.U16();
        const uint16_t u16Len = objIn.U16() % (CMD_FRAME_MAX_PAYLOAD + 1);
        Feed(Seal(u8Flags, u16Sn, u8P1, u8P2, u16Cmd, u16Len, objIn.Take(std::max(u16Len, uint16_t{4}))));
        break;
    }
    case 2:
        for (int i = objIn.U8() % 32; i >= 0; --i) {
            Pass();
        }
        break;
    case 3:
        g_u32Now += objIn.U16();
        break;
    case 4: { // the application sends: cmd, len, priority
        const uint16_t u16Cmd = objIn.U16();
        Bytes data = objIn.Take(objIn.U16() % 2100);
        _CmdProtocolParam stRec{};
        stRec.cmd = u16Cmd;
        stRec.len = static_cast<uint16_t>(data.size());
        stRec.payload = data.size() > 4 ? static_cast<uint8_t *>(malloc(data.size())) : nullptr;
        std::copy(data.begin(), data.end(), data.size() > 4 ? stRec.payload : stRec.data);
        const int s32Ret = CommandProtocolSendCmdAdd(g_s32Handle, &stRec, objIn.U8() & 1);
        if (s32Ret < 0 || data.size() > CMD_FRAME_MAX_PAYLOAD) {
            free(stRec.payload);
        }
        break;
    }
    case 5: { // what this side wrote comes back to it
        Bytes wire;
        wire.swap(g_vecWire);
        Feed(wire);
        break;
    }
    case 6:
        ApplyMode(objIn.U8());
        break;
    case 7:
        CommandProtocolReset(g_s32Handle);
        break;
    case 8: { // the queries, and a record taken from the deferred store
        const uint16_t u16Sn = objIn.U16();
        FUZZ_CHECK(CommandProtocolConfirmCmdsent(g_s32Handle, u16Sn) >= 0);
        FUZZ_CHECK(CommandProtocolGetSendBufNum(g_s32Handle) <= CMD_SLOT_COUNT);
        const int s32Percent = CommandProtocolTransferFileProgress(g_s32Handle);
        FUZZ_CHECK(s32Percent >= 0 && s32Percent <= 100);
        _CmdProtocolParam stTaken{};
        if (CommandProtocolGetCMDLongerToProgress(g_s32Handle, &stTaken) == 0) {
            CommandProtocolFrameClear(&stTaken);
        }
        break;
    }
    case 9: { // a file send (the start waits for the peer: passes run in its pauses)
        const Bytes content = objIn.Take(objIn.U16() % 2049);
        FILE *pstFile = fopen("send.bin", "wb");
        FUZZ_CHECK(pstFile != nullptr);
        FUZZ_CHECK(fwrite(content.data(), 1, content.size(), pstFile) == content.size());
        FUZZ_CHECK(fclose(pstFile) == 0);
        CommandProtocolTransferFileSendStart(g_s32Handle, 1, "send.bin", "remote.bin");
        break;
    }
    default: // the update sequence's state handler, as the update thread runs it first
        g_objIRUpdate->UpdateStatusHandle();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string strBase = (fs::temp_directory_path() / "irfuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(&strBase[0]) != nullptr);
    g_objBase = strBase;
    fs::create_directories(g_objBase / "outer" / "work");
    fs::current_path(g_objBase / "outer" / "work");
    (void)atexit([] {
        std::error_code objErr; // a scratch folder left behind is untidy, not wrong
        fs::remove_all(g_objBase, objErr);
    });
    for (const char *pszImage : IMAGES) { // 130 bytes: the last chunk is padded
        const Bytes image(130, static_cast<uint8_t>(pszImage[3]));
        FILE *pstFile = fopen(pszImage, "wb");
        FUZZ_CHECK(pstFile != nullptr && fwrite(image.data(), 1, 130, pstFile) == 130);
        FUZZ_CHECK(fclose(pstFile) == 0);
    }
    CommandProtocolSetClock([] { return g_u32Now; });
    CommandProtocolSetPause([](uint32_t u32Us) {
        g_u32Now += u32Us / 1000;
        if (u32Us >= 30000) {
            Pass(); // a wait for the peer: the engine goes on meanwhile
        }
    });
    g_pszSuccessRecordPath = "success.log";
    Cmdfun.Write = CheckedWrite;
    Cmdfun.DataProcessing = Example_CommandInterfaceDataProcessing;
    FUZZ_CHECK(CommandProtocolMutexInit() == 0);
    g_s32Handle = CommandProtocolOpen(&Cmdfun, "fuzz", 0);
    FUZZ_CHECK(g_s32Handle >= 0);
    CommandProtocolStop(g_s32Handle);
    CommandProtocolWaitEngineEnd(g_s32Handle);
    g_pstInst = CommandProtocolLookup(g_s32Handle);
    Cmdfd = g_s32Handle;
    CmdinitFlag = 1;
    // The handler's commands are never refused: one the queue cannot take is
    // lost, as on the line, so that the binding's retry never sleeps.
    Cmdfun.CommandProtocolSendCmdAdd = [](int s32Handle, _CmdProtocolParam *pstRec, int s32Prio) {
        if (CommandProtocolSendCmdAdd(s32Handle, pstRec, s32Prio) < 0 && pstRec->len > 4) {
            free(pstRec->payload);
            pstRec->payload = nullptr;
        }
        return 0;
    };
    APP_Comm_Recv_Handler = [](_CmdProtocolParam *pstFrame) {
        g_bOkSeen = g_bOkSeen || pstFrame->cmd == IR_CMD_UPDATE_OK;
        APP_Comm_Recv_IR_Update(pstFrame);
    };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    Reader objIn{pu8Data, u32Size};
    g_u32Now = 100000;
    const uint8_t u8Mode = objIn.U8();
    ResetInstance((u8Mode & 0x04) != 0 ? 1 : 0);
    ApplyMode(u8Mode);
    g_stLoop = CmdEngineLoopState();
    g_vecWire.clear();
    g_u32HeaderLen = 0;
    g_u8Last = 0;
    g_bOkSeen = false;
    SerialPortSettings stSettings{};
    g_objIRUpdate = new CIRUpdate(&stSettings); // a fresh run: start state, no failures
    g_bIRRunFlag = true;
    g_cUpdateFilePath = nullptr;
    for (int s32Ops = 0; s32Ops < 512 && objIn.u32Left > 0; ++s32Ops) {
        RunOp(objIn);
    }
    for (int i = 0; i < 12; ++i) { // frames still stored are acted on
        Pass();
    }
    ResetInstance(0); // nothing of this input stays: memory is bounded
    delete g_objIRUpdate;
    g_objIRUpdate = nullptr;

    FUZZ_CHECK(g_bOkSeen || !fs::exists("success.log"));
    FUZZ_CHECK(std::distance(fs::directory_iterator(g_objBase), {}) == 1);
    FUZZ_CHECK(std::distance(fs::directory_iterator(g_objBase / "outer"), {}) == 1);
    for (const fs::directory_entry &objEntry : fs::directory_iterator(".")) {
        FUZZ_CHECK(objEntry.is_regular_file() && !objEntry.is_symlink());
        const std::string strName = objEntry.path().filename().string();
        if (strName == IMAGES[0] || strName == IMAGES[1]) {
            FUZZ_CHECK(objEntry.file_size() == 130);
        } else {
            fs::remove(objEntry.path());
        }
    }
    return 0;
}
