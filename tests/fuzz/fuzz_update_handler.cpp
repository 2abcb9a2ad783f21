// Fuzz target: the update sequence's receive handler (APP_Comm_Recv_IR_Update
// and the state handler it runs) fed arbitrary command records, in a private
// working folder holding the two images, with the success record there too.
// What the sequence sends goes into a real protocol instance (its engine
// stopped), whose queue the peer "acknowledges" after every record.
//
// Input: a mode byte (FuzzUpdateMode), then records until it ends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "ir_update.h"
#include "protocol/command_interface.h"

namespace {

constexpr int UPDATE_RECORDS_MAX = 128;     // records per input
constexpr uint16_t UPDATE_LEN_MASK = 0x3FF; // record lengths 0..1023

// Small images: 130 bytes end in a padded chunk, 133 bytes in a 5-byte one.
constexpr size_t IMAGE_4000_SIZE = 130;
constexpr size_t IMAGE_A000_SIZE = 133;
const char *const IMAGE_4000 = "ir_4000.bin";
const char *const IMAGE_A000 = "ir_A000.bin";
const char *const SUCCESS_RECORD = "success.log";

FuzzWorkDir g_objDir;
CmdProtocolInstance *g_pstInst = nullptr;
uint32_t g_u32Written = 0;

int CountWrite(const uint8_t *, int s32Len) {
    g_u32Written += static_cast<uint32_t>(s32Len);
    return s32Len;
}

void WriteImage(const char *pszName, size_t u32Size) {
    FILE *pstFile = fopen(pszName, "wb");
    FUZZ_CHECK(pstFile != nullptr);
    for (size_t i = 0; i < u32Size; ++i) {
        FUZZ_CHECK(fputc(static_cast<int>((i * 7 + 0xC3) & 0xFF), pstFile) != EOF);
    }
    FUZZ_CHECK(fclose(pstFile) == 0);
}

off_t FileSize(const char *pszName) {
    struct stat stStat;
    return stat(pszName, &stStat) == 0 ? stStat.st_size : -1;
}

/// Queued frames that carry an application command (not heartbeats).
int Queued() {
    return CommandProtocolGetSendBufNum(Cmdfd.load());
}

/// One record as the engine hands it over: a payload of up to 4 bytes in the
/// data field, a longer one in a buffer of exactly len bytes.
void DeliverRecord(FuzzReader &objIn, bool bBinding, bool *pbOkSeen) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    const uint8_t u8Selector = objIn.U8();
    stRec.cmd =
        u8Selector < FUZZ_UPDATE_RAW_CMD ? static_cast<uint16_t>(0x600 + u8Selector) : objIn.U16();
    stRec.len = static_cast<uint16_t>(objIn.U16() & UPDATE_LEN_MASK);
    FuzzBytes payload;
    if (stRec.len > CMD_FRAME_SHORT_MAX) {
        payload = objIn.Take(stRec.len);
        payload.resize(stRec.len, 0);
        // A heap buffer of its own, so that a read past len shows.
        stRec.payload = static_cast<uint8_t *>(malloc(stRec.len));
        FUZZ_CHECK(stRec.payload != nullptr);
        memcpy(stRec.payload, payload.data(), stRec.len);
    } else {
        payload = objIn.Take(sizeof(stRec.data));
        if (!payload.empty()) {
            memcpy(stRec.data, payload.data(), payload.size());
        }
    }
    *pbOkSeen = *pbOkSeen || stRec.cmd == IR_CMD_UPDATE_OK;

    const uint8_t u8Parked = g_pstInst->longerCmdCount;
    if (bBinding) {
        Example_CommandInterfaceDataProcessing(&stRec);
    } else {
        APP_Comm_Recv_IR_Update(&stRec);
    }
    free(stRec.payload);

    // Each record is answered by at most one command, and the state handler
    // always leaves the sequence waiting (unless the binding parked the
    // record in the deferred store, and the handler never saw it).
    FUZZ_CHECK(Queued() <= 1);
    if (g_pstInst->longerCmdCount == u8Parked) {
        FUZZ_CHECK(g_eIRUpdateStatus.load() == IR_UPDATE_WAIT);
    }
    // The peer acknowledges what was sent, so the queue never fills.
    CommandProtocolRemoveSendBuf(g_pstInst, 0, 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FuzzQuietStdout();
    g_objDir.Enter();
    WriteImage(IMAGE_4000, IMAGE_4000_SIZE);
    WriteImage(IMAGE_A000, IMAGE_A000_SIZE);
    g_pszSuccessRecordPath = SUCCESS_RECORD;
    FuzzUseFakeTime();
    elogLev = 0;

    // The binding's instance, as the update thread's set-up opens it, but
    // with its link in this process and its engine stopped.
    Cmdfun = CmdProtocolFun{};
    Cmdfun.Write = CountWrite;
    Cmdfun.DataProcessing = Example_CommandInterfaceDataProcessing;
    const int s32Handle = FuzzOpenStoppedInstance(&Cmdfun, "name");
    Cmdfd.store(s32Handle);
    CmdinitFlag.store(1);
    CommandProtocolSetParam(s32Handle, 0, 0, 0x20, 0x50, 0);
    CommandProtocolHeartBeatStatue(s32Handle, 0);
    APP_Comm_Recv_Handler = APP_Comm_Recv_IR_Update;
    g_pstInst = CommandProtocolLookup(s32Handle);
    FUZZ_CHECK(g_pstInst != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    FuzzReader objIn(pu8Data, u32Size);
    g_u32FuzzNow = 100000;
    const uint8_t u8Mode = objIn.U8();

    // A fresh run: a new update object (state start, no failures, checksum 0).
    SerialPortSettings stSettings{};
    g_objIRUpdate = new CIRUpdate(&stSettings);
    g_bIRRunFlag = true;
    g_cUpdateFilePath = nullptr;
    if ((u8Mode & FUZZ_UPDATE_FIRST_RUN) != 0) {
        g_objIRUpdate->UpdateStatusHandle();
        FUZZ_CHECK(Queued() == 1); // the start command
        CommandProtocolRemoveSendBuf(g_pstInst, 0, 1);
    }

    bool bOkSeen = false;
    for (int s32Records = 0; s32Records < UPDATE_RECORDS_MAX && !objIn.Empty(); ++s32Records) {
        DeliverRecord(objIn, (u8Mode & FUZZ_UPDATE_BINDING) != 0, &bOkSeen);
    }

    // Only a success report writes the record; the images stay as they were.
    FUZZ_CHECK(bOkSeen || FileSize(SUCCESS_RECORD) < 0);
    FUZZ_CHECK(FileSize(IMAGE_4000) == static_cast<off_t>(IMAGE_4000_SIZE));
    FUZZ_CHECK(FileSize(IMAGE_A000) == static_cast<off_t>(IMAGE_A000_SIZE));

    delete g_objIRUpdate; // closes the image
    g_objIRUpdate = nullptr;
    FuzzResetInstance(g_pstInst, &Cmdfun, 0); // also the records parked in the deferred store
    CommandProtocolSetParam(Cmdfd.load(), 0, 0, 0x20, 0x50, 0);
    CommandProtocolHeartBeatStatue(Cmdfd.load(), 0);
    g_objDir.CheckConfined();
    g_objDir.Empty({IMAGE_4000, IMAGE_A000});
    return 0;
}
