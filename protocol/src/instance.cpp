// The instance table: opening protocol instances, looking them up by handle,
// stopping them and waiting for their engine loops to end.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag.h"
#include "engine.h"
#include "receiver.h"

// Handle -> record. An entry is written once, under CommMutex, when its
// instance has been opened completely; records are never released, so a
// lookup needs no lock. The entries are atomic so that a lookup on an engine
// thread and an open on another thread do not race.
std::atomic<CmdProtocolInstance *> Param[CMD_INSTANCE_COUNT];

// Guards the search and filling of Param during an open.
pthread_mutex_t CommMutex;
std::atomic<uint8_t> CommMutexInit{0};

namespace {

// An entry whose open is in progress: already taken (so no other open picks
// it) but not yet visible to lookups. Guarded by CommMutex.
bool g_abReserved[CMD_INSTANCE_COUNT];

// Serialises CommandProtocolMutexInit itself, so two first calls cannot both
// initialise CommMutex.
CMutex g_objMutexInitGuard;

// Engines ask for a small stack; the platform refuses sizes below its minimum
// and the default stack is used then.
constexpr size_t ENGINE_STACK_SIZE = 2048;
// Bytes read and discarded per drain call when an instance is opened.
constexpr int OPEN_DRAIN_LEN = 1024;

} // namespace

int CommandProtocolMutexInit() {
    CMutexLock objGuard(g_objMutexInitGuard);
    if (CommMutexInit.load() != 0) {
        return CMD_RESULT_OK;
    }
    if (pthread_mutex_init(&CommMutex, nullptr) != 0) {
        CMD_ERROR("mutex init\n");
        return CMD_RESULT_FAIL;
    }
    CommMutexInit.store(1);
    return CMD_RESULT_OK;
}

CmdProtocolInstance *CommandProtocolLookup(int s32Handle) {
    // Taken as unsigned, a negative handle is out of range as well.
    if (static_cast<unsigned>(s32Handle) >= static_cast<unsigned>(CMD_INSTANCE_COUNT)) {
        return nullptr;
    }
    return Param[s32Handle].load(std::memory_order_acquire);
}

void CommandProtocolInstanceInit(CmdProtocolInstance *pstInst, const CmdProtocolFun *pstFun,
                                 const char *pszName, int s32Mode) {
    if (pstFun != nullptr) {
        pstInst->fun.Write = pstFun->Write;
        pstInst->fun.Read = pstFun->Read;
        pstInst->fun.DataProcessing = pstFun->DataProcessing;
    }
    pstInst->fun.CommandInterfaceRead2 = CommandInterfaceRead2;
    pstInst->fun.CommandProtocolConfirmCmdsent = CommandProtocolConfirmCmdsent;
    pstInst->fun.CommandProtocolSendCmdAdd = CommandProtocolSendCmdAdd;
    pstInst->fun.CommandProtocolGetSendBufNum = CommandProtocolGetSendBufNum;
    pstInst->fun.CommandProtocolSetParam = CommandProtocolSetParam;
    pstInst->fun.CommandProtocolTransferFileSendStart = CommandProtocolTransferFileSendStart;
    pstInst->fun.CommandProtocolTransferFileProgress = CommandProtocolTransferFileProgress;
    pstInst->fun.CommandProtocolHeartBeatStatue = CommandProtocolHeartBeatStatue;
    pstInst->fun.CommandProtocolReset = CommandProtocolReset;
    pstInst->fun.CommandProtocolBackupCMDLongerToProgress =
        CommandProtocolBackupCMDLongerToProgress;
    pstInst->fun.CommandProtocolGetCMDLongerToProgress = CommandProtocolGetCMDLongerToProgress;

    pstInst->sendSn = 1;
    CommandProtocolClearHistory(pstInst);
    pstInst->recvSnIndex = 0;
    pstInst->recvCount = 0;
    pstInst->debugFlags.store(0);
    pstInst->txCount = 0;
    pstInst->ackCount = 0;
    pstInst->lastWriteByte.store(0);
    uint32_t u32Now = CommandProtocolClockMs();
    pstInst->lastAckTime = u32Now;
    pstInst->lastSendTime = u32Now;
    uint8_t u8Status = CMD_STATUS_HEARTBEAT_ON | CMD_STATUS_RUNNING;
    if (s32Mode == CMD_MODE_FAST) {
        u8Status |= CMD_STATUS_FAST_MODE;
    }
    pstInst->status.store(u8Status);

    // Diagnostics show at most the first five characters of the name.
    memset(pstInst->name, 0, sizeof(pstInst->name));
    if (pszName != nullptr) {
        strncpy(pstInst->name, pszName, 5);
    }
}

namespace {

constexpr const char *OP_OPEN = "CommandProtocolOpen";

/// Reserve step of an open: the first free table entry, a fresh record for it,
/// set up (steps 5..7) and its link drained, all under CommMutex. The
/// record, with *ps32Handle reserved; null (after the error line) when no
/// entry or no memory is left.
CmdProtocolInstance *OpenReserve(CmdProtocolFun *pstFun, const char *pszName, int s32Mode,
                                 int *ps32Handle) {
    pthread_mutex_lock(&CommMutex);
    int s32Handle = -1;
    for (int i = 0; i < CMD_INSTANCE_COUNT; ++i) {
        if (!g_abReserved[i] && Param[i].load(std::memory_order_relaxed) == nullptr) {
            s32Handle = i;
            break;
        }
    }
    CmdProtocolInstance *pstInst = nullptr;
    if (s32Handle >= 0) {
        pstInst = new (std::nothrow) CmdProtocolInstance();
    }
    if (pstInst == nullptr) {
        CMD_ERROR_IN(OP_OPEN, "open error  [%s]", pszName != nullptr ? pszName : "");
        pthread_mutex_unlock(&CommMutex);
        return nullptr;
    }
    g_abReserved[s32Handle] = true;

    CommandProtocolInstanceInit(pstInst, pstFun, pszName, s32Mode);
    CMD_INFO_IN(OP_OPEN, "#run# %s fd =%d", pstInst->name, s32Handle);
    *pstFun = pstInst->fun;

    // Bytes that waited on the link before the instance existed belong to no
    // frame of this session: read them away.
    if (pstInst->fun.Read != nullptr) {
        uint8_t au8Scratch[OPEN_DRAIN_LEN];
        if (pstInst->fun.Read(au8Scratch, OPEN_DRAIN_LEN) > 0) {
            pstInst->fun.Read(au8Scratch, OPEN_DRAIN_LEN);
        }
    }
    pthread_mutex_unlock(&CommMutex);
    *ps32Handle = s32Handle;
    return pstInst;
}

/// Start step: the instance's detached engine thread, on a small stack where
/// the platform allows one (a refusal leaves the platform's default in place).
bool OpenStartEngine(CmdProtocolInstance *pstInst) {
    pthread_attr_t stAttr;
    pthread_t stEngine;
    bool bStarted = false;
    if (pthread_attr_init(&stAttr) == 0) {
        if (pthread_attr_setdetachstate(&stAttr, PTHREAD_CREATE_DETACHED) == 0) {
            (void)pthread_attr_setstacksize(&stAttr, ENGINE_STACK_SIZE);
            bStarted = pthread_create(&stEngine, &stAttr, CommandProtocolRecvSend_thread_Handler,
                                      pstInst) == 0;
        }
        pthread_attr_destroy(&stAttr);
    }
    return bStarted;
}

} // namespace

void CommandProtocolInstanceRenew(CmdProtocolInstance *pstInst) {
    for (int i = 0; i < CMD_SLOT_COUNT; ++i) {
        CommandProtocolFrameClear(&pstInst->sendSlots[i]);
        CommandProtocolFrameClear(&pstInst->recvSlots[i]);
        CommandProtocolFrameClear(&pstInst->longerCmds[i]);
    }
    free(pstInst->PacketsBuffer);
    if (pstInst->fileHandle != nullptr) {
        (void)fclose(pstInst->fileHandle); // abandoned: what it held is of no use
    }
    pstInst->~CmdProtocolInstance();
    new (pstInst) CmdProtocolInstance();
}

int CommandProtocolOpen(CmdProtocolFun *pstFun, const char *pszName, int s32Mode) {
    if (CommMutexInit.load() == 0) {
        CMD_ERROR("Please call the CommandProtocolMutexInit function. \n");
        return CMD_RESULT_FAIL;
    }
    const char *pszShown = pszName != nullptr ? pszName : "";
    // Without a table, or without the Write and DataProcessing callbacks that
    // every engine pass may call, the instance could only crash its engine.
    if (pstFun == nullptr || pstFun->Write == nullptr || pstFun->DataProcessing == nullptr) {
        CMD_ERROR("open error  [%s]", pszShown);
        return CMD_RESULT_FAIL;
    }
    int s32Handle = -1;
    CmdProtocolInstance *pstInst = OpenReserve(pstFun, pszName, s32Mode, &s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_FAIL;
    }
    if (!OpenStartEngine(pstInst)) {
        CMD_ERROR("open error  [%s]", pszShown);
        pthread_mutex_lock(&CommMutex);
        g_abReserved[s32Handle] = false;
        pthread_mutex_unlock(&CommMutex);
        delete pstInst;
        return CMD_RESULT_FAIL;
    }

    // Published only now: a lookup never finds a record whose open can still fail.
    pthread_mutex_lock(&CommMutex);
    Param[s32Handle].store(pstInst, std::memory_order_release);
    g_abReserved[s32Handle] = false;
    pthread_mutex_unlock(&CommMutex);

    CMD_INFO("Fixed space required [%d]BYTE  %s fd=%d", static_cast<int>(sizeof(*pstInst)),
             pstInst->name, s32Handle);
    return s32Handle;
}

bool CommandProtocolIsOpen(int s32Handle) {
    return CommandProtocolLookup(s32Handle) != nullptr;
}

void CommandProtocolStop(int s32Handle) {
    CmdProtocolInstance *pstInst = CommandProtocolLookup(s32Handle);
    if (pstInst == nullptr) {
        return;
    }
    pstInst->status.fetch_and(static_cast<uint8_t>(~CMD_STATUS_RUNNING));
}

CmdProtocolInstance *CommandProtocolLookupOrReport(const char *pszFunc, int s32Line,
                                                   int s32Handle) {
    CmdProtocolInstance *pstInst = CommandProtocolLookup(s32Handle);
    if (pstInst == nullptr) {
        CommandProtocolDiag(1, CMD_COLOUR_ERROR, pszFunc, s32Line, "%s, %d.", CMD_INVALID_NAME,
                            s32Handle);
    }
    return pstInst;
}

int CommandProtocolWaitEngineEnd(int s32Handle) {
    CmdProtocolInstance *pstInst = CMD_LOOKUP_OR_REPORT(s32Handle);
    if (pstInst == nullptr) {
        return CMD_RESULT_INVALID_HANDLE;
    }
    CMutexLock objLock(pstInst->engineMutex);
    while (!pstInst->engineEnded) {
        pstInst->engineCond.Wait(pstInst->engineMutex);
    }
    return CMD_RESULT_OK;
}
