// Harness of the end-to-end update runs: the real irupdate in a sandbox,
// talking over a pty to irsim, which plays the microcontroller on the host.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "test_support.h"

extern char **environ;

namespace e2e {

using Clock = std::chrono::steady_clock;

// Generous: the machine may be busy with other builds and tests.
constexpr int SIM_START_MS = 10000;
constexpr int SIM_END_MS = 15000;
constexpr int TOOL_END_MS = 120000;

inline bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    auto tEnd = Clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (!fnDone()) {
        if (Clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// irsim as a child process; its standard output is collected by a thread.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess() {
        if (m_pid > 0 && !Ended()) {
            kill(m_pid, SIGKILL);
            Reap(true);
        }
        if (m_objReader.joinable()) {
            m_objReader.join();
        }
        if (m_fdOut >= 0) {
            close(m_fdOut);
        }
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    /// Starts irsim with the arguments and waits for the pty it announces.
    bool Start(const std::vector<std::string> &vecArgs, std::string *pErr) {
        int afdPipe[2];
        if (pipe2(afdPipe, O_CLOEXEC) != 0) {
            *pErr = "pipe";
            return false;
        }
        std::vector<std::string> vecAll{IRSIM_BINARY};
        vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
        std::vector<char *> vecArgv;
        for (std::string &strArg : vecAll) {
            vecArgv.push_back(&strArg[0]);
        }
        vecArgv.push_back(nullptr);
        posix_spawn_file_actions_t stActions;
        posix_spawn_file_actions_init(&stActions);
        posix_spawn_file_actions_adddup2(&stActions, afdPipe[1], 1);
        int s32Err =
            posix_spawn(&m_pid, IRSIM_BINARY, &stActions, nullptr, vecArgv.data(), environ);
        posix_spawn_file_actions_destroy(&stActions);
        close(afdPipe[1]);
        m_fdOut = afdPipe[0];
        if (s32Err != 0) {
            m_pid = -1;
            *pErr = "cannot start " IRSIM_BINARY;
            return false;
        }
        m_objReader = std::thread([this] {
            char acBuf[4096];
            for (;;) {
                ssize_t n = read(m_fdOut, acBuf, sizeof(acBuf));
                if (n <= 0) {
                    break;
                }
                std::lock_guard<std::mutex> objLock(m_objMutex);
                m_strOut.append(acBuf, static_cast<size_t>(n));
            }
        });
        if (!WaitForOutput("irsim: pty ", SIM_START_MS) ||
            !WaitUntil(
                [this] {
                    return Output().find('\n', Output().find("irsim: pty ")) != std::string::npos;
                },
                SIM_START_MS)) {
            *pErr = "irsim announced no pty: " + Output();
            return false;
        }
        std::string strOut = Output();
        size_t u32At = strOut.find("irsim: pty ") + 11;
        m_strPty = strOut.substr(u32At, strOut.find('\n', u32At) - u32At);
        return true;
    }

    const std::string &Pty() const { return m_strPty; }
    pid_t Pid() const { return m_pid; }

    std::string Output() const {
        std::lock_guard<std::mutex> objLock(m_objMutex);
        return m_strOut;
    }
    bool WaitForOutput(const std::string &strNeedle, int s32TimeoutMs) const {
        return WaitUntil([&] { return Output().find(strNeedle) != std::string::npos; },
                         s32TimeoutMs);
    }

    /// True once the process has ended (reaped).
    bool Ended() {
        Reap(false);
        return m_s32Status != -1;
    }
    bool WaitEnd(int s32TimeoutMs) {
        bool bEnded = WaitUntil([this] { return Ended(); }, s32TimeoutMs);
        if (bEnded && m_objReader.joinable()) {
            m_objReader.join(); // the output is complete once the pipe closes
        }
        return bEnded;
    }
    /// Asks it to stop (SIGTERM), as a user would.
    void Terminate() {
        if (m_pid > 0 && !Ended()) {
            kill(m_pid, SIGTERM);
        }
    }
    int ExitCode() const {
        return m_s32Status != -1 && WIFEXITED(m_s32Status) ? WEXITSTATUS(m_s32Status) : -1;
    }

    /// The value of the last "irsim: <key> <value>" line, or "" when none.
    std::string Value(const std::string &strKey) const {
        std::istringstream objIn(Output());
        std::string strLine;
        std::string strValue;
        const std::string strPrefix = "irsim: " + strKey + " ";
        while (std::getline(objIn, strLine)) {
            if (strLine.rfind(strPrefix, 0) == 0) {
                strValue = strLine.substr(strPrefix.size());
            }
        }
        return strValue;
    }
    long Number(const std::string &strKey) const {
        std::string strValue = Value(strKey);
        return strValue.empty() ? -1 : strtol(strValue.c_str(), nullptr, 0);
    }
    /// Every "irsim: end-record ..." line, in order.
    std::vector<std::string> EndRecordLines() const {
        std::istringstream objIn(Output());
        std::string strLine;
        std::vector<std::string> vecLines;
        while (std::getline(objIn, strLine)) {
            if (strLine.rfind("irsim: end-record ", 0) == 0) {
                vecLines.push_back(strLine);
            }
        }
        return vecLines;
    }

private:
    void Reap(bool bBlock) {
        if (m_pid <= 0 || m_s32Status != -1) {
            return;
        }
        int s32Status = 0;
        if (waitpid(m_pid, &s32Status, bBlock ? 0 : WNOHANG) == m_pid) {
            m_s32Status = s32Status;
        }
    }

    pid_t m_pid = -1;
    int m_s32Status = -1;
    int m_fdOut = -1;
    std::thread m_objReader;
    mutable std::mutex m_objMutex;
    std::string m_strOut;
    std::string m_strPty;
};

/// Deterministic image bytes (a linear congruential sequence).
inline std::string MakeImage(size_t u32Size, uint32_t u32Seed) {
    std::string strImage(u32Size, '\0');
    for (size_t i = 0; i < u32Size; ++i) {
        u32Seed = u32Seed * 1664525u + 1013904223u;
        strImage[i] = static_cast<char>(u32Seed >> 24);
    }
    return strImage;
}

/// The image as the tool sends it: a last chunk of 1..4 bytes padded to 8 with 0xFF.
inline std::string Padded(const std::string &strImage) {
    std::string strOut = strImage;
    size_t u32Rest = strImage.size() % 64;
    if (u32Rest >= 1 && u32Rest <= 4) {
        strOut.append(8 - u32Rest, '\xFF');
    }
    return strOut;
}

/// The chunk sizes as irsim summarises them: "64x625", "64x2 8x1", "-".
inline std::string ChunkSizes(size_t u32Size) {
    std::ostringstream objOut;
    size_t u32Full = u32Size / 64;
    size_t u32Rest = u32Size % 64;
    if (u32Full > 0) {
        objOut << "64x" << u32Full;
    }
    if (u32Rest > 0) {
        objOut << (u32Full > 0 ? " " : "") << (u32Rest <= 4 ? 8 : u32Rest) << "x1";
    }
    std::string strOut = objOut.str();
    return strOut.empty() ? "-" : strOut;
}

inline uint32_t ByteSum(const std::string &strBytes) {
    uint32_t u32Sum = 0;
    for (unsigned char c : strBytes) {
        u32Sum += c;
    }
    return u32Sum;
}

inline size_t Count(const std::string &strText, const std::string &strNeedle) {
    size_t u32Count = 0;
    for (size_t u32At = strText.find(strNeedle); u32At != std::string::npos;
         u32At = strText.find(strNeedle, u32At + strNeedle.size())) {
        ++u32Count;
    }
    return u32Count;
}

/// One update: a work folder with the image, irsim on a new pty, the tool in
/// a sandbox with that pty as /dev/ttyAMA1.
struct UpdateSpec {
    std::string strImageName = "ir_4000.bin"; // empty: no image at all
    std::string strImage;
    std::vector<std::string> vecSimArgs;
    bool bVarTmpfs = true;
    bool bSeedSuccessLog = false;
    std::string strSuccessLogSeed;
    bool bExpectToolEnd = true; // false: the tool is killed after u32RunMs
    int s32RunMs = 0;
};

class UpdateRun {
public:
    /// Runs the update to its end (or for s32RunMs). Fails the test on set-up errors.
    void Run(const UpdateSpec &stSpec) {
        m_strWork = m_objDir.File("work");
        ASSERT_EQ(0, mkdir(m_strWork.c_str(), 0755));
        if (!stSpec.strImageName.empty()) {
            ASSERT_TRUE(WriteFileBytes(m_strWork + "/" + stSpec.strImageName, stSpec.strImage));
        }
        m_strMem = m_objDir.File("mem");
        ASSERT_TRUE(MakeSparseFile(m_strMem));
        m_strOutFile = m_objDir.File("received.bin");

        std::vector<std::string> vecArgs{"--out", m_strOutFile, "--timeout", "150"};
        if (stSpec.bExpectToolEnd) {
            vecArgs.push_back("--exit-after-result");
        }
        if (!stSpec.strImageName.empty()) {
            vecArgs.push_back("--expect");
            vecArgs.push_back(m_strWork + "/" + stSpec.strImageName);
        }
        vecArgs.insert(vecArgs.end(), stSpec.vecSimArgs.begin(), stSpec.vecSimArgs.end());
        std::string strErr;
        ASSERT_TRUE(m_objSim.Start(vecArgs, &strErr)) << strErr;

        SandboxOptions stOptions;
        stOptions.strProgram = IRUPDATE_BINARY;
        stOptions.strWorkDir = m_strWork;
        stOptions.strTtyPath = m_objSim.Pty();
        stOptions.strMemFile = m_strMem;
        stOptions.bVarTmpfs = stSpec.bVarTmpfs;
        stOptions.bSeedSuccessLog = stSpec.bSeedSuccessLog;
        stOptions.strSuccessLogSeed = stSpec.strSuccessLogSeed;
        ASSERT_TRUE(m_objTool.Start(stOptions, &strErr)) << strErr;

        if (!stSpec.bExpectToolEnd) {
            m_bToolEnded = m_objTool.Wait(stSpec.s32RunMs);
            m_bToolRunningAtEnd = m_objTool.Running();
            m_objTool.Kill();
            m_objSim.Terminate();
            ASSERT_TRUE(m_objSim.WaitEnd(SIM_END_MS)) << m_objSim.Output();
            return;
        }

        // Note when the verdict went out and when the tool ended.
        auto tStart = Clock::now();
        Clock::time_point tVerdict{};
        bool bVerdictSeen = false;
        while (Clock::now() - tStart < std::chrono::milliseconds(TOOL_END_MS)) {
            if (!bVerdictSeen && m_objSim.Output().find(" answer 0x608\n") != std::string::npos) {
                bVerdictSeen = true;
                tVerdict = Clock::now();
            }
            if (!m_objTool.Running()) {
                m_bToolEnded = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        auto tEnd = Clock::now();
        if (bVerdictSeen) {
            m_s32ExitAfterSuccessMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - tVerdict).count());
        }
        ASSERT_TRUE(m_bToolEnded) << "tool still running; irsim: " << m_objSim.Output();
        m_objTool.Wait(SIM_END_MS); // output complete
        if (!m_objSim.WaitEnd(SIM_END_MS)) {
            m_objSim.Terminate();
            ASSERT_TRUE(m_objSim.WaitEnd(SIM_END_MS)) << m_objSim.Output();
        }
    }

    TempDir m_objDir;
    std::string m_strWork;
    std::string m_strMem;
    std::string m_strOutFile;
    SimProcess m_objSim;
    Sandbox m_objTool;
    bool m_bToolEnded = false;
    bool m_bToolRunningAtEnd = false;
    int m_s32ExitAfterSuccessMs = -1;
};

/// Skips the test where sandboxes cannot run (not root, no mount namespaces).
#define E2E_REQUIRE_SANDBOX()                                                                      \
    do {                                                                                           \
        std::string strWhy;                                                                        \
        if (!SandboxAvailable(&strWhy)) {                                                          \
            GTEST_SKIP() << strWhy;                                                                \
        }                                                                                          \
    } while (0)

} // namespace e2e
