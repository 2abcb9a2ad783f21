// Harness of end-to-end runs in C++: the real, unmodified irupdate in the sandbox of
// scripts/sandbox.sh, over a pty to irsim, which sums the run up in "irsim: <name> <value>" lines.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace e2e {

// Generous: the machine may be busy with other builds and tests.
constexpr int START_MS = 20000;
constexpr int END_MS = 120000;

inline bool WaitUntil(const std::function<bool()> &fnDone, int s32TimeoutMs) {
    return PollUntil(fnDone, s32TimeoutMs);
}

/// Deterministic image bytes (a linear congruential sequence).
inline std::string MakeImage(size_t u32Size, uint32_t u32Seed) {
    std::string strImage(u32Size, '\0');
    for (char &c : strImage) {
        u32Seed = u32Seed * 1664525u + 1013904223u;
        c = static_cast<char>(u32Seed >> 24);
    }
    return strImage;
}

/// One update: m_strImage as ir_4000.bin in a work folder, irsim (with
/// m_vecSimArgs) on a new pty, the tool in the sandbox (run by
/// m_vecToolWrapper, if given) with that pty as /dev/ttyAMA1, the folder var
/// as /var/tmpfs and a sparse file as /dev/mem.
class UpdateRun {
public:
    std::string m_strImage;
    std::vector<std::string> m_vecSimArgs;
    std::vector<std::string> m_vecToolWrapper;

    void Start() {
        ASSERT_TRUE(mkdir(m_strWork.c_str(), 0755) == 0 && mkdir(m_strVar.c_str(), 0755) == 0);
        ASSERT_TRUE(WriteFileBytes(m_strWork + "/ir_4000.bin", m_strImage));
        std::vector<std::string> vecArgs{
            IRSIM_BINARY,          "--out",    m_objDir.File("received.bin"), "--timeout", "150",
            "--exit-after-result", "--expect", m_strWork + "/ir_4000.bin"};
        vecArgs.insert(vecArgs.end(), m_vecSimArgs.begin(), m_vecSimArgs.end());
        ASSERT_EQ("", m_objSim.Start(vecArgs));
        WaitUntil([this] { return !Value("pty").empty() || !m_objSim.Running(); }, START_MS);
        ASSERT_NE("", Value("pty")) << Trace();
        // The script execs its way into the tool: the child's pid, signals and
        // exit status are the tool's.
        std::vector<std::string> vecTool{IRUPDATE_SANDBOX_SCRIPT, Value("pty"), m_strWork,
                                         m_strVar};
        vecTool.insert(vecTool.end(), m_vecToolWrapper.begin(), m_vecToolWrapper.end());
        vecTool.emplace_back(IRUPDATE_BINARY);
        ASSERT_EQ("", m_objTool.Start(vecTool));
    }
    void Run() {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(WaitUntil([&] { return !m_objTool.Running(); }, END_MS)) << Trace();
        m_objSim.Wait(START_MS); // it ends once the tool has closed the line
    }
    /// The value of irsim's last complete "irsim: <strKey> <value>" line, or "".
    std::string Value(const std::string &strKey) const {
        const std::string strOut = "\n" + m_objSim.Stdout(), strTag = "\nirsim: " + strKey + " ";
        const size_t u32At = strOut.rfind(strTag), u32End = strOut.find('\n', u32At + 1);
        return u32At == std::string::npos || u32End == std::string::npos
                   ? ""
                   : strOut.substr(u32At + strTag.size(), u32End - u32At - strTag.size());
    }
    std::string Trace() const {
        return "irsim:\n" + m_objSim.Stdout() + m_objSim.Stderr() + "\ntool stdout:\n" +
               m_objTool.Stdout() + "\ntool stderr:\n" + m_objTool.Stderr();
    }

    TempDir m_objDir;
    const std::string m_strWork = m_objDir.File("work"), m_strVar = m_objDir.File("var");
    ChildProcess m_objSim;
    ChildProcess m_objTool; // after the simulator: stopped first
};

/// Skips the test where sandboxes cannot run (mount namespaces need root).
#define E2E_REQUIRE_SANDBOX()                                                                      \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "sandboxed runs need root"

} // namespace e2e
