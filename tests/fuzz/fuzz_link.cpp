// Fuzz target: one protocol instance bound as the update tool binds it (the
// application binding, the update sequence's receive handler) fed arbitrary
// bytes and sealed frames of any command from the peer (update commands,
// large-message chunks, repeats, a file received into a private working
// folder), with engine passes on a fake clock, modes and resets; and serial
// mode texts, applied to a pty. An input is a mode byte (bit 0: fast mode),
// then ops of a code byte and their fields (read past the end as zeros):
// RunOp. Checked beside the sanitizers: every frame written is whole and
// sealed, a filler byte 0x00 comes right after a 0xA5 and nowhere else;
// nothing appears or changes outside the working folder (link.bin there links
// to a file outside), nor anything but regular files in it; the success record
// is written only after the success command; the pty gets the settings the
// mode text asks for.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "board/serial.h"
#include "ir_update.h"
#include "protocol/command_interface.h"
#include "protocol_internal.h"
#include "serial_internal.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

#define FUZZ_CHECK(cond) ((cond) ? void(0) : abort()) // libFuzzer keeps the input

const uint8_t *g_pu8In = nullptr; // what is left of the input
size_t g_u32Left = 0;
uint8_t U8() {
    return g_u32Left > 0 ? (--g_u32Left, *g_pu8In++) : 0;
}
uint16_t U16() {
    const uint8_t u8Low = U8();
    return static_cast<uint16_t>(u8Low | U8() << 8);
}
Bytes Take(size_t u32Count) {
    Bytes out(u32Count);
    std::generate(out.begin(), out.end(), U8);
    return out;
}

fs::path g_objBase; // the working folder is <base>/outer/work
int g_s32Handle = -1, g_s32Pty = -1;
CmdProtocolInstance *g_pstInst = nullptr;
uint32_t g_u32Now = 0;
CmdEngineLoopState g_stLoop;
Bytes g_vecWire; // what this side wrote
bool g_bOkSeen = false;

/// 130 bytes (the last chunk is padded), as the images and the file outside.
void WriteFile(const char *pszPath) {
    FILE *pstFile = fopen(pszPath, "wb");
    FUZZ_CHECK(pstFile != nullptr && fwrite(Bytes(130, 7).data(), 1, 130, pstFile) == 130);
    FUZZ_CHECK(fclose(pstFile) == 0);
}

void Feed(const Bytes &bytes) {
    const int s32Ret = CommandInterfaceRead2(g_s32Handle, bytes.data(), int(bytes.size()));
    FUZZ_CHECK(s32Ret <= 0 && s32Ret >= CMD_RECV_NO_MEMORY);
}

/// The wire, frame by frame: sync bytes, a CRC that holds, nothing cut short;
/// between frames a filler byte 0x00 right after a 0xA5, and only there.
void CheckWire() {
    for (size_t i = 0; i < g_vecWire.size();) {
        const bool bAfterA5 = i > 0 && g_vecWire[i - 1] == CMD_FRAME_SYNC1;
        FUZZ_CHECK(bAfterA5 == (g_vecWire[i] == 0x00));
        i += bAfterA5 ? 1 : 0;
        FUZZ_CHECK(i + CMD_FRAME_SHORT_LEN <= g_vecWire.size() && g_vecWire[i] == 0xA5 &&
                   g_vecWire[i + 1] == 0x5A);
        const size_t u32Len = g_vecWire[i + 2] | g_vecWire[i + 3] << 8;
        const size_t u32Size = u32Len <= 4 ? CMD_FRAME_SHORT_LEN : CMD_FRAME_HEAD_LEN + u32Len;
        FUZZ_CHECK(u32Len <= CMD_FRAME_MAX_PAYLOAD && i + u32Size <= g_vecWire.size());
        FUZZ_CHECK(CommandProtocolCrc16(0, &g_vecWire[i + 6], int(u32Size - 6)) ==
                   (g_vecWire[i + 4] | g_vecWire[i + 5] << 8));
        i += u32Size;
    }
    g_vecWire.clear();
}

/// One pass as the engine loop runs it (its idle sleep after a pass without a received frame).
void Pass() {
    ++g_u32Now;
    g_u32Now += CommandProtocolEnginePass(g_pstInst, nullptr, &g_stLoop) ? 0 : 4;
}

/// A fresh record in place of the table's, everything it owned released.
void ResetInstance(int s32Mode) {
    CommandProtocolInstanceRenew(g_pstInst);
    CommandProtocolInstanceInit(g_pstInst, &Cmdfun, "fuzz", s32Mode);
    g_pstInst->engineEnded = true;
}

void RunOp() {
    switch (U8() % 7) {
    case 0: // bytes from the peer: u8 count, bytes
        Feed(Take(U8()));
        break;
    case 1: { // a frame from the peer: flags, sn, param1, param2, cmd (7 bytes), u16 len, data
        // (the data field's 4 bytes for len 0..4), enciphered when flags say so, and sealed
        _CmdProtocolParam stRec{};
        const Bytes head = Take(7);
        memcpy(CmdParamBytes(&stRec) + 6, head.data(), head.size());
        stRec.len = U16() % (CMD_FRAME_MAX_PAYLOAD + 1);
        Bytes data = Take(std::max<size_t>(stRec.len, 4));
        stRec.payload = stRec.len > 4 ? data.data() : nullptr;
        memcpy(stRec.data, data.data(), 4);
        if ((stRec.flags & CMD_FLAG_ENCRYPT) != 0) {
            CommandProtocolFrameCipher(&stRec);
        }
        stRec.sync1 = CMD_FRAME_SYNC1;
        stRec.sync2 = CMD_FRAME_SYNC2;
        stRec.crc = CommandProtocolFrameCrc(&stRec);
        const uint8_t *pu8 = CmdParamBytes(&stRec);
        Feed(stRec.len > 4 ? Bytes(pu8, pu8 + CMD_FRAME_HEAD_LEN)
                           : Bytes(pu8, pu8 + CMD_FRAME_SHORT_LEN));
        Feed(stRec.len > 4 ? data : Bytes());
        break;
    }
    case 2: // u8 n: n % 32 + 1 engine passes
        for (int i = U8() % 32; i >= 0; --i) {
            Pass();
        }
        break;
    case 3: // u16 ms: the clock moves on
        g_u32Now += U16();
        break;
    case 4: { // u8 mode: parameters, heartbeats, a reset; a record from the deferred store
        const uint8_t u8Mode = U8();
        elogLev = (u8Mode & 0x80) != 0 ? 5 : 0; // the diagnostic lines too
        CommandProtocolSetParam(g_s32Handle, u8Mode & 1, (u8Mode >> 1) & 1, 0x20, 0x50,
                                u8Mode >> 5);
        CommandProtocolHeartBeatStatue(g_s32Handle, (u8Mode >> 2) & 1);
        if ((u8Mode & 0x18) == 0x18) {
            CommandProtocolReset(g_s32Handle);
        }
        _CmdProtocolParam stTaken{};
        if (CommandProtocolGetCMDLongerToProgress(g_s32Handle, &stTaken) == 0) {
            CommandProtocolFrameClear(&stTaken);
        }
        break;
    }
    case 5: // the update sequence's state handler, as the update thread runs it first
        g_objIRUpdate->UpdateStatusHandle();
        break;
    default: { // u8 count, a mode text ("115200-8n1"): 5..7 bits or else 8, parity
        // e or o in either case or none, one stop bit for 1 or else two, raw, no
        // modem-line ignore, no flow control; the pty keeps the speed (a pty has
        // no size or parity of its own).
        const Bytes text = Take(U8());
        SerialModeFields st{};
        termios stTio{}, stNow{};
        if (SerialParseMode(std::string(text.begin(), text.end()).c_str(), &st) == 4 &&
            SerialSetAttr(g_s32Pty, &stTio, st.s32Baud, st.s32DataBits, st.cParity,
                          st.s32StopBits) == 0) {
            const tcflag_t au32Size[] = {CS5, CS6, CS7};
            const char cParity = static_cast<char>(st.cParity | 0x20);
            FUZZ_CHECK(
                (stTio.c_cflag & CSIZE) ==
                (st.s32DataBits >= 5 && st.s32DataBits <= 7 ? au32Size[st.s32DataBits - 5] : CS8));
            FUZZ_CHECK(((stTio.c_cflag & PARENB) != 0) == (cParity == 'e' || cParity == 'o'));
            FUZZ_CHECK(((stTio.c_cflag & PARODD) != 0) == (cParity == 'o'));
            FUZZ_CHECK(((stTio.c_cflag & CSTOPB) != 0) == (st.s32StopBits != 1));
            FUZZ_CHECK((stTio.c_cflag & (CREAD | CLOCAL | CRTSCTS)) == CREAD && stTio.c_lflag == 0);
            FUZZ_CHECK(tcgetattr(g_s32Pty, &stNow) == 0 &&
                       cfgetospeed(&stNow) == cfgetospeed(&stTio));
        }
        break;
    }
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
    WriteFile("../outside.bin");
    fs::create_symlink("../outside.bin", "link.bin"); // never to be written through
    const int s32Master = posix_openpt(O_RDWR | O_NOCTTY);
    FUZZ_CHECK(s32Master >= 0 && grantpt(s32Master) == 0 && unlockpt(s32Master) == 0);
    g_s32Pty = open(ptsname(s32Master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    FUZZ_CHECK(g_s32Pty >= 0);
    elogLev = 0;
    CommandProtocolSetClock([] { return g_u32Now; });
    CommandProtocolSetPause([](uint32_t u32Us) { g_u32Now += u32Us / 1000; });
    g_pszSuccessRecordPath = "success.log";
    Cmdfun.Write = [](const uint8_t *pu8Buf, int s32Len) {
        g_vecWire.insert(g_vecWire.end(), pu8Buf, pu8Buf + s32Len);
        return s32Len;
    };
    Cmdfun.DataProcessing = Example_CommandInterfaceDataProcessing;
    FUZZ_CHECK(CommandProtocolMutexInit() == 0);
    g_s32Handle = CommandProtocolOpen(&Cmdfun, "fuzz", CMD_MODE_NORMAL);
    CommandProtocolStop(g_s32Handle);
    FUZZ_CHECK(CommandProtocolWaitEngineEnd(g_s32Handle) == 0);
    g_pstInst = CommandProtocolLookup(g_s32Handle);
    Cmdfd = g_s32Handle;
    CmdinitFlag = 1;
    // The handler's commands are never refused: one the queue cannot take is
    // lost, as on the line, so that the binding's retry never sleeps.
    Cmdfun.CommandProtocolSendCmdAdd = [](int s32Handle, _CmdProtocolParam *pstRec, int s32Prio) {
        if (CommandProtocolSendCmdAdd(s32Handle, pstRec, s32Prio) < 0 && pstRec->len > 4) {
            free(pstRec->payload);
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
    g_pu8In = pu8Data;
    g_u32Left = u32Size;
    g_u32Now = 100000;
    ResetInstance(U8() & 1);
    g_stLoop = CmdEngineLoopState();
    g_bOkSeen = false;
    g_objIRUpdate = new CIRUpdate(nullptr); // a fresh run: start state, no failures
    g_bIRRunFlag = true;
    g_cUpdateFilePath = nullptr;
    WriteFile("ir_4000.bin"); // afresh: a received file may have taken the name
    WriteFile("ir_A000.bin");
    for (int s32Ops = 0; s32Ops < 512 && g_u32Left > 0; ++s32Ops) {
        RunOp();
    }
    for (int i = 0; i < 12; ++i) { // frames still stored are acted on
        Pass();
    }
    CheckWire();
    ResetInstance(0); // nothing of this input stays: memory is bounded
    delete g_objIRUpdate;
    g_objIRUpdate = nullptr;
    FUZZ_CHECK(g_bOkSeen || !fs::exists("success.log"));
    FUZZ_CHECK(std::distance(fs::directory_iterator(g_objBase), {}) == 1);
    FUZZ_CHECK(std::distance(fs::directory_iterator(g_objBase / "outer"), {}) == 2);
    FUZZ_CHECK(fs::file_size("../outside.bin") == 130);
    for (const fs::directory_entry &objEntry : fs::directory_iterator(".")) {
        if (objEntry.path().filename() != "link.bin") {
            FUZZ_CHECK(objEntry.is_regular_file() && !objEntry.is_symlink());
            fs::remove(objEntry.path());
        }
    }
    return 0;
}
