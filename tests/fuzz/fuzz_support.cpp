#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void FuzzFail(const char *pszFile, int s32Line, const char *pszWhat) {
    // Through the sanitizers' report channel: libFuzzer keeps it open when it
    // closes the target's standard error (-close_fd_mask).
    char szLine[512];
    // A line cut short still names the check; the process aborts next.
    (void)snprintf(szLine, sizeof(szLine), "fuzz check failed: %s (%s:%d)", pszWhat, pszFile,
                   s32Line);
    __sanitizer_report_error_summary(szLine);
    abort();
}

// ---------------------------------------------------------------------------
// Reading and writing inputs

uint8_t FuzzReader::U8() {
    return Empty() ? 0 : m_pu8Data[m_u32Pos++];
}

uint16_t FuzzReader::U16() {
    const uint16_t u16Low = U8();
    return static_cast<uint16_t>(u16Low | U8() << 8);
}

FuzzBytes FuzzReader::Take(size_t u32Max) {
    const size_t u32Count = std::min(u32Max, Left());
    FuzzBytes out(m_pu8Data + m_u32Pos, m_pu8Data + m_u32Pos + u32Count);
    m_u32Pos += u32Count;
    return out;
}

FuzzWriter &FuzzWriter::U8(uint8_t u8Value) {
    m_bytes.push_back(u8Value);
    return *this;
}

FuzzWriter &FuzzWriter::U16(uint16_t u16Value) {
    return U8(static_cast<uint8_t>(u16Value)).U8(static_cast<uint8_t>(u16Value >> 8));
}

FuzzWriter &FuzzWriter::Bytes(const FuzzBytes &bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

// ---------------------------------------------------------------------------
// Sealed frames

FuzzBytes FuzzSealFrame(uint8_t u8Flags, uint16_t u16Sn, uint8_t u8Param1, uint8_t u8Param2,
                        uint16_t u16Cmd, const FuzzBytes &payload) {
    _CmdProtocolParam stRec{};
    stRec.sync1 = CMD_FRAME_SYNC1;
    stRec.sync2 = CMD_FRAME_SYNC2;
    stRec.len = static_cast<uint16_t>(std::min<size_t>(payload.size(), CMD_FRAME_MAX_PAYLOAD));
    stRec.flags = u8Flags;
    stRec.sn = u16Sn;
    stRec.param1 = u8Param1;
    stRec.param2 = u8Param2;
    stRec.cmd = u16Cmd;
    FuzzBytes body(payload.begin(), payload.begin() + stRec.len);
    if (stRec.len > CMD_FRAME_SHORT_MAX) {
        stRec.payload = body.data();
    } else if (!payload.empty()) {
        // The data field as the peer sends it: bytes beyond len included.
        memcpy(stRec.data, payload.data(), std::min<size_t>(payload.size(), sizeof(stRec.data)));
    }
    if ((u8Flags & CMD_FLAG_ENCRYPT) != 0) {
        // An invalid key index leaves the bytes in clear, as the sender's queue does.
        CommandProtocolFrameCipher(&stRec);
    }
    stRec.crc = CommandProtocolFrameCrc(&stRec);
    const uint8_t *pu8Wire = CmdParamBytes(&stRec);
    if (stRec.len <= CMD_FRAME_SHORT_MAX) {
        return FuzzBytes(pu8Wire, pu8Wire + CMD_FRAME_SHORT_LEN);
    }
    FuzzBytes frame(pu8Wire, pu8Wire + CMD_FRAME_HEAD_LEN);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

void FuzzWriteSealed(FuzzWriter &objOut, uint8_t u8Flags, uint16_t u16Sn, uint8_t u8Param1,
                     uint8_t u8Param2, uint16_t u16Cmd, const FuzzBytes &payload) {
    objOut.U8(u8Flags).U16(u16Sn).U8(u8Param1).U8(u8Param2).U16(u16Cmd);
    objOut.U16(static_cast<uint16_t>(payload.size()));
    FuzzBytes body = payload;
    body.resize(std::max<size_t>(body.size(), CMD_FRAME_SHORT_MAX), 0);
    objOut.Bytes(body);
}

FuzzBytes FuzzReadSealed(FuzzReader &objIn) {
    const uint8_t u8Flags = objIn.U8();
    const uint16_t u16Sn = objIn.U16();
    const uint8_t u8Param1 = objIn.U8();
    const uint8_t u8Param2 = objIn.U8();
    const uint16_t u16Cmd = objIn.U16();
    const size_t u32Len = objIn.U16() % (CMD_FRAME_MAX_PAYLOAD + 1);
    // A short frame's data field is 4 bytes whatever len says.
    FuzzBytes payload = objIn.Take(std::max<size_t>(u32Len, CMD_FRAME_SHORT_MAX));
    payload.resize(std::max<size_t>(u32Len, CMD_FRAME_SHORT_MAX), 0);
    FuzzBytes frame = FuzzSealFrame(u8Flags, u16Sn, u8Param1, u8Param2, u16Cmd, payload);
    if (u32Len <= CMD_FRAME_SHORT_MAX) {
        // FuzzSealFrame took the length from the payload: put the real one in
        // and seal again over the same bytes.
        frame[2] = static_cast<uint8_t>(u32Len);
        frame[3] = 0;
    }
    return frame;
}

// ---------------------------------------------------------------------------
// Time

uint32_t g_u32FuzzNow = 100000;

uint32_t FuzzClock() {
    return g_u32FuzzNow;
}

void FuzzPause(uint32_t u32Us) {
    g_u32FuzzNow += u32Us / 1000;
}

void FuzzUseFakeTime() {
    CommandProtocolSetClock(FuzzClock);
    CommandProtocolSetPause(FuzzPause);
}

// ---------------------------------------------------------------------------
// Process set-up

void FuzzQuietStdout() {
    if (getenv("IRUPDATE_FUZZ_VERBOSE") != nullptr) {
        return;
    }
    (void)fflush(stdout); // console lines only: nothing depends on them
    int s32Null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(s32Null >= 0);
    FUZZ_CHECK(dup2(s32Null, STDOUT_FILENO) == STDOUT_FILENO);
    close(s32Null);
}

namespace {

std::string g_strRemoveAtExit;

/// Removes a folder and everything below it; symbolic links are removed, not followed.
void RemoveTree(const std::string &strPath) {
    struct stat stStat;
    if (lstat(strPath.c_str(), &stStat) != 0) {
        return;
    }
    if (S_ISDIR(stStat.st_mode)) {
        DIR *pstDir = opendir(strPath.c_str());
        if (pstDir != nullptr) {
            while (dirent *pstEnt = readdir(pstDir)) {
                if (strcmp(pstEnt->d_name, ".") != 0 && strcmp(pstEnt->d_name, "..") != 0) {
                    RemoveTree(strPath + "/" + pstEnt->d_name);
                }
            }
            closedir(pstDir);
        }
        rmdir(strPath.c_str());
    } else {
        unlink(strPath.c_str());
    }
}

void RemoveAtExit() {
    if (!g_strRemoveAtExit.empty()) {
        if (chdir("/") == 0) {
            RemoveTree(g_strRemoveAtExit);
        }
    }
}

std::vector<std::string> ListDir(const std::string &strPath) {
    std::vector<std::string> vecNames;
    DIR *pstDir = opendir(strPath.c_str());
    FUZZ_CHECK(pstDir != nullptr);
    while (dirent *pstEnt = readdir(pstDir)) {
        if (strcmp(pstEnt->d_name, ".") != 0 && strcmp(pstEnt->d_name, "..") != 0) {
            vecNames.emplace_back(pstEnt->d_name);
        }
    }
    closedir(pstDir);
    return vecNames;
}

} // namespace

void FuzzWorkDir::Enter() {
    const char *pszTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp != nullptr ? pszTmp : "/tmp") + "/irfuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(&strTemplate[0]) != nullptr);
    m_strBase = strTemplate;
    FUZZ_CHECK(mkdir((m_strBase + "/outer").c_str(), 0700) == 0);
    m_strWork = m_strBase + "/outer/work";
    FUZZ_CHECK(mkdir(m_strWork.c_str(), 0700) == 0);
    FUZZ_CHECK(chdir(m_strWork.c_str()) == 0);
    g_strRemoveAtExit = m_strBase;
    // Without the handler the scratch folder stays behind: untidy, not wrong.
    (void)atexit(RemoveAtExit);
}

std::vector<std::string> FuzzWorkDir::Entries() {
    return ListDir(m_strWork);
}

void FuzzWorkDir::Empty(const std::vector<std::string> &vecKeep) {
    for (const std::string &strName : Entries()) {
        if (std::find(vecKeep.begin(), vecKeep.end(), strName) == vecKeep.end()) {
            RemoveTree(m_strWork + "/" + strName);
        }
    }
}

void FuzzWorkDir::CheckConfined() {
    FUZZ_CHECK(ListDir(m_strBase) == std::vector<std::string>{"outer"});
    FUZZ_CHECK(ListDir(m_strBase + "/outer") == std::vector<std::string>{"work"});
    for (const std::string &strName : Entries()) {
        struct stat stStat;
        FUZZ_CHECK(lstat((m_strWork + "/" + strName).c_str(), &stStat) == 0);
        FUZZ_CHECK(S_ISREG(stStat.st_mode));
    }
}

// ---------------------------------------------------------------------------
// Protocol instances

void FuzzResetInstance(CmdProtocolInstance *pstInst, const CmdProtocolFun *pstFun, int s32Mode) {
    for (_CmdProtocolParam &stSlot : pstInst->recvSlots) {
        if (stSlot.sync1 == CMD_FRAME_SYNC1) {
            CommandProtocolFrameClear(&stSlot);
        }
    }
    CommandProtocolRemoveSendBuf(pstInst, 0, 1);
    for (_CmdProtocolParam &stSlot : pstInst->longerCmds) {
        if (stSlot.sync1 == CMD_FRAME_SYNC1) {
            CommandProtocolFrameClear(&stSlot);
        }
    }
    free(pstInst->PacketsBuffer);
    pstInst->PacketsBuffer = nullptr;
    if (pstInst->fileHandle != nullptr) {
        (void)fclose(
            pstInst->fileHandle); // a stream the run may have left open; its data is scratch
        pstInst->fileHandle = nullptr;
    }
    // Everything owned is released: a fresh record in the same place, so the
    // instance table's entry stays valid.
    pstInst->~CmdProtocolInstance();
    new (pstInst) CmdProtocolInstance();
    CommandProtocolInstanceInit(pstInst, pstFun, "fuzz", s32Mode);
    pstInst->engineEnded = true; // no loop works the record
}

int FuzzOpenStoppedInstance(CmdProtocolFun *pstFun, const char *pszName) {
    FUZZ_CHECK(CommandProtocolMutexInit() == 0);
    const int s32Handle = CommandProtocolOpen(pstFun, pszName, 0);
    FUZZ_CHECK(s32Handle >= 0);
    CommandProtocolStop(s32Handle);
    FUZZ_CHECK(CommandProtocolWaitEngineEnd(s32Handle) == 0);
    return s32Handle;
}
