// Harness of the end-to-end runs: the real, unmodified irupdate in the
// sandbox of scripts/sandbox.sh, talking over a pty to irsim, the
// microcontroller's stand-in, which sums the run up in "irsim: <name> <value>" lines.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "test_support.h"

namespace e2e {

// Generous: the machine may be busy with other builds and tests.
constexpr int START_MS = 20000;
constexpr int END_MS = 120000;

/// irupdate through the sandbox script, run in strWorkDir with strTty as
/// /dev/ttyAMA1 ("": none), strVarDir as /var/tmpfs ("": none) and a sparse
/// file as /dev/mem (bMem false: none). The script execs its way into the
/// tool, so the child's pid, signals and exit status are the tool's.
inline std::vector<std::string> ToolCommand(const std::string &strWorkDir,
                                            const std::string &strTty,
                                            const std::string &strVarDir = "", bool bMem = true) {
    std::vector<std::string> vecArgv{IRUPDATE_SANDBOX_SCRIPT};
    if (!bMem) {
        vecArgv.push_back("--no-mem");
    }
    vecArgv.insert(vecArgv.end(), {strTty.empty() ? "-" : strTty, strWorkDir,
                                   strVarDir.empty() ? "-" : strVarDir, IRUPDATE_BINARY});
    return vecArgv;
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

/// One update: a work folder with the image as ir_4000.bin, irsim on a new
/// pty, the tool in the sandbox with that pty as /dev/ttyAMA1 and the folder
/// var as /var/tmpfs. Set the image and irsim's options, then Run (or Start).
struct UpdateRun {
    std::string m_strImage;
    std::vector<std::string> m_vecSimArgs;
    TempDir m_objDir;
    const std::string m_strWork = m_objDir.File("work"), m_strVar = m_objDir.File("var");
    ChildProcess m_objSim;
    ChildProcess m_objTool; // after the simulator: stopped first

    /// Sets the folders up and starts both sides; fails the test on set-up errors.
    void Start() {
        ASSERT_TRUE(mkdir(m_strWork.c_str(), 0755) == 0 && mkdir(m_strVar.c_str(), 0755) == 0);
        ASSERT_TRUE(WriteFileBytes(m_strWork + "/ir_4000.bin", m_strImage));
        std::vector<std::string> vecArgs{
            IRSIM_BINARY,          "--out",    m_objDir.File("received.bin"),
            "--exit-after-result", "--expect", m_strWork + "/ir_4000.bin"};
        vecArgs.insert(vecArgs.end(), m_vecSimArgs.begin(), m_vecSimArgs.end());
        ASSERT_EQ("", m_objSim.Start(vecArgs));
        PollUntil([this] { return !Value("pty").empty() || !m_objSim.Running(); }, START_MS);
        ASSERT_NE("", Value("pty")) << Trace();
        ASSERT_EQ("", m_objTool.Start(ToolCommand(m_strWork, Value("pty"), m_strVar)));
    }
    /// Start, then wait for both to end.
    void Run() {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_TRUE(m_objTool.Wait(END_MS)) << "tool still running; " << Trace();
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
    long Number(const std::string &strKey) const {
        return strtol(Value(strKey).c_str(), nullptr, 0);
    }
    std::string Trace() const {
        return "irsim:\n" + m_objSim.Stdout() + m_objSim.Stderr() + "\ntool stdout:\n" +
               m_objTool.Stdout() + "\ntool stderr:\n" + m_objTool.Stderr();
    }
    /// What every successful update shows: the image arrived whole as the tool
    /// sends it (a last chunk of 1..4 bytes padded to 8 with 0xFF), the end
    /// record sums that attempt alone, the success record is written, and
    /// both sides exit with status 0.
    void ExpectSuccess() const {
        SCOPED_TRACE(Trace());
        const size_t u32Rest = m_strImage.size() % 64;
        const std::string strPad(u32Rest >= 1 && u32Rest <= 4 ? 8 - u32Rest : 0, '\xFF');
        EXPECT_EQ("success match ok",
                  Value("verdict") + " " + Value("image") + " " + Value("checksum"));
        EXPECT_EQ(m_strImage + strPad, ReadFileBytes(m_objDir.File("received.bin")));
        EXPECT_EQ(std::string(4, '\0'), ReadFileBytes(m_strVar + "/success.log"));
        EXPECT_EQ(0, m_objTool.ExitCode());
        EXPECT_EQ(0, m_objSim.ExitCode());
    }
};

/// Skips the test where sandboxes cannot run (not root, no mount namespaces).
#define E2E_REQUIRE_SANDBOX()                                                                      \
    if (std::string strWhy; !SandboxAvailable(&strWhy))                                            \
    GTEST_SKIP() << strWhy

} // namespace e2e
