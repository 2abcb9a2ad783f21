// For the end-to-end runs: the real, unmodified irupdate in the sandbox of
// scripts/sandbox.sh. (Whole updates against irsim, the microcontroller's
// stand-in, are the e2e_cases test: scripts/soak.sh --cases.)
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "test_support.h"

namespace e2e {

// Generous: the machine may be busy with other builds and tests.
constexpr int START_MS = 20000;

/// irupdate through the sandbox script in strWorkDir, with strTty as
/// /dev/ttyAMA1 and strVarDir as /var/tmpfs ("": none), and a sparse file as
/// /dev/mem unless bMem is false. The script execs its way into the tool:
/// the child's pid, signals and exit status are the tool's.
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

/// Skips the test where sandboxes cannot run (not root).
#define E2E_REQUIRE_SANDBOX()                                                                      \
    if (std::string strWhy; !SandboxAvailable(&strWhy))                                            \
    GTEST_SKIP() << strWhy

} // namespace e2e
