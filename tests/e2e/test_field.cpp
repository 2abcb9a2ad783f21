// In the field: irupdate-run, under dash and under busybox sh with busybox's
// own commands, runs the real irupdate against irsim in the sandbox, whose
// /dev/log is a socket this test reads. Each case: the exit status and the
// verdict, irupdate's console output as it always was, the log records.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "irupdate_version.h"
#include "update_e2e.h"

namespace {

using namespace e2e;

/// The number of processes whose working folder is strDir.
size_t ProcessesIn(const std::string &strDir) {
    size_t u32Count = 0;
    std::error_code objErr;
    for (const auto &objEntry : std::filesystem::directory_iterator("/proc", objErr)) {
        u32Count += std::filesystem::read_symlink(objEntry.path() / "cwd", objErr) == strDir;
    }
    return u32Count;
}

struct FieldCase {
    const char *pszName;
    size_t u32Image;    // bytes of ir_4000.bin; 0: none
    const char *pszSim; // irsim's options; null: no irsim, no port
    bool bVar;          // /var/tmpfs there
    int s32Status;
    std::string strVerdict;
    std::string strConsole;              // irupdate's, without the protocol's coloured lines
    std::vector<std::string> vecRecords; // after the start record: "<priority>message" in order
};

const std::string s_strReady = "file path: ir_4000.bin 2\nupdate ready\n";
const std::string s_strRecord = "success record /var/tmpfs/success.log";
const std::string s_strFail = "<12>WARN: failure report 0x";
// clang-format off
const FieldCase s_astCases[] = {
    {"Success", 130, "", true, 0, "update success; " + s_strRecord + " written",
     s_strReady + "update success\n",
     {"<14>INFO: the microcontroller asks for ir_4000.bin (selector 2) --[",
      "<14>INFO: image ir_4000.bin: 130 bytes --[",
      "<14>INFO: end record sent after 130 image bytes, checksum 0x",
      "<14>INFO: update success after 130 image bytes; " + s_strRecord + " written --["}},
    {"NoRecord", 130, "", false, 0, "update success, but the " + s_strRecord + " was not written",
     s_strReady + "update success\n",
     {"<11>ERROR: write upgrade success failed --[update_sequence.cpp:",
      "<12>WARN: update success after 130 image bytes; " + s_strRecord +
      " not written: No such file or directory --["}},
    {"ThreeFailureReports", 64, "--fail 606,607,601", true, 1,
     "update failed: the microcontroller reported failure three times",
     s_strReady + "update CHECK failed \n" + s_strReady + "update MEM failed \n" + s_strReady +
     "error cmd\nupdate time is over 3,update failed\n",
     {s_strFail + "606 (the microcontroller found the image's checksum wrong) ends attempt 1 of 3; "
      "starting again --[",
      s_strFail + "607 (the microcontroller could not write the image to its memory) ends attempt 2",
      s_strFail + "601 (a command the update conversation does not expect at this point) ends "
      "attempt 3 of 3 --[",
      "<11>ERROR: update failed: giving up after 3 failure reports --["}},
    {"MissingPort", 0, nullptr, true, 2, "update failed: the serial port could not be opened",
     "could not open device /dev/ttyAMA1",
     {"<11>ERROR: could not open device /dev/ttyAMA1: No such file or directory --[ir_update.cpp:"}},
    {"MissingImage", 0, "", true, 3,
     "update not done: the microcontroller reported success, but ir_4000.bin was missing or unreadable",
     s_strReady + "open file failed\nupdate success\n",
     {"<11>ERROR: image ir_4000.bin cannot be opened: No such file or directory --[",
      "<14>INFO: end record sent after 0 image bytes, checksum 0x00000000 --[",
      "<12>WARN: update success reported, but image ir_4000.bin could not be opened or read: the "
      "microcontroller accepted 0 image bytes --[",
      "<14>INFO: update success after 0 image bytes; " + s_strRecord + " written"}},
    {"SilentMicrocontroller", 130, "--silent", true, 124,
     "update failed: no result within 2 s; irupdate stopped", "", {}},
};
// clang-format on

class Field : public ::testing::TestWithParam<FieldCase> {};

TEST_P(Field, StatusVerdictConsoleAndLogRecords) {
    E2E_REQUIRE_SANDBOX();
    const FieldCase &stCase = GetParam();
    TempDir objBusybox;
    ChildProcess objInstall; // busybox's commands, as links in a folder of their own
    ASSERT_EQ("", objInstall.Start({"busybox", "--install", "-s", objBusybox.Path()}));
    ASSERT_TRUE(objInstall.Wait(START_MS) && objInstall.ExitCode() == 0);
    for (const bool bBusybox : {false, true}) {
        SCOPED_TRACE(bBusybox ? "busybox sh" : "dash");
        TempDir objDir;
        const std::string strWork = objDir.File("work"), strTmp = objDir.File("tmp");
        for (const char *pszSub : {"work", "var", "tmp"}) {
            ASSERT_EQ(0, mkdir(objDir.File(pszSub).c_str(), 0755));
        }
        if (stCase.u32Image > 0) {
            ASSERT_TRUE(WriteFileBytes(strWork + "/ir_4000.bin", MakeImage(stCase.u32Image, 3)));
        }
        // The system log's socket, read while the run goes on: the sender
        // blocks once a few records wait unread.
        const int fdLog = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un stAddr{AF_UNIX, {}};
        (void)snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", objDir.File("log").c_str());
        ASSERT_EQ(0, bind(fdLog, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)));
        std::vector<std::string> vecLog;
        auto fnDrain = [&] {
            char achBuf[2048];
            for (ssize_t n; (n = recv(fdLog, achBuf, sizeof(achBuf), 0)) > 0;) {
                vecLog.emplace_back(achBuf, static_cast<size_t>(n));
            }
        };

        ChildProcess objSim, objRun;
        const std::string strPty = stCase.pszSim == nullptr ? "-" : objDir.File("pty");
        if (stCase.pszSim != nullptr) {
            std::vector<std::string> vecSim{IRSIM_BINARY, "--timeout", "150", "--link", strPty};
            std::istringstream objArgs(stCase.pszSim);
            for (std::string strArg; objArgs >> strArg;) {
                vecSim.push_back(strArg);
            }
            ASSERT_EQ("", objSim.Start(vecSim));
            ASSERT_TRUE(WaitUntil([&] { return access(strPty.c_str(), F_OK) == 0; }, START_MS));
        }
        const std::string strVar = stCase.bVar ? objDir.File("var") : "-";
        // clang-format off
        std::vector<std::string> vecArgv{IRUPDATE_SANDBOX_SCRIPT, "--log", objDir.File("log"), strPty,
            strWork, strVar, "env", "TMPDIR=" + strTmp, std::string("IRUPDATE=") + IRUPDATE_BINARY};
        // clang-format on
        if (bBusybox) {
            vecArgv.insert(vecArgv.end(), {"PATH=" + objBusybox.Path(), "/bin/busybox", "sh"});
        } else {
            vecArgv.emplace_back("dash");
        }
        const char *pszTimeout = stCase.s32Status == 124 ? "2" : "600";
        vecArgv.insert(vecArgv.end(), {IRUPDATE_RUN_SCRIPT, "--timeout", pszTimeout, strWork});
        ASSERT_EQ("", objRun.Start(vecArgv));
        ASSERT_TRUE(WaitUntil([&] { return fnDrain(), !objRun.Running(); }, END_MS));
        fnDrain();
        close(fdLog);
        std::string strLog;
        for (const std::string &strRecord : vecLog) {
            strLog += strRecord + "\n";
        }
        const std::string strOut = objRun.Stdout();
        SCOPED_TRACE(strLog + strOut);

        // Nothing left behind: no process (irupdate stopped after a time-out
        // too), no temporary file.
        EXPECT_EQ(0u, ProcessesIn(strWork));
        EXPECT_EQ(0, rmdir(strTmp.c_str())) << "something left in TMPDIR";
        // The verdict on a line of its own after the console, and in the system log.
        EXPECT_EQ(stCase.s32Status, objRun.ExitCode()) << objRun.Stderr();
        const std::string strVerdict = "\nirupdate-run: " + stCase.strVerdict + " (status " +
                                       std::to_string(stCase.s32Status) + ")\n";
        ASSERT_EQ(strOut.size() - strVerdict.size(), strOut.rfind(strVerdict));
        EXPECT_NE(std::string::npos, strLog.find(strVerdict.substr(1, strVerdict.size() - 2)));
        // Before it, irupdate's console output as it always was (the port
        // message has no line feed: the verdict's own line starts it).
        const std::string strConsole =
            std::regex_replace(strOut.substr(0, strOut.size() - strVerdict.size() + 1),
                               std::regex("\033\\[[0-9;]*m[^\n]*\n"), "");
        EXPECT_TRUE(strConsole == stCase.strConsole || strConsole == stCase.strConsole + "\n");

        // Each of irupdate's records as "irupdate[<pid>]: <PRIORITY>: <message>
        // --[<file>:<line>]", at that syslog priority, without a time stamp of
        // its own, none of debug priority; the expected ones in order.
        std::vector<std::string> vecExpected{
            "<14>INFO: irupdate " IRUPDATE_VERSION
            " starting: port /dev/ttyAMA1 115200-8n1, working directory " +
            strWork + " --["};
        vecExpected.insert(vecExpected.end(), stCase.vecRecords.begin(), stCase.vecRecords.end());
        const std::regex objForm(
            "<(1[124])>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d irupdate\\[\\d+\\]: "
            "((INFO|WARN|ERROR): [^0-9].* --\\[[a-z_]+\\.cpp:\\d+\\])");
        auto itNext = vecExpected.begin();
        for (const std::string &strRecord : vecLog) {
            std::smatch objMatch;
            if (strRecord.find(" irupdate-run: ") == std::string::npos) {
                ASSERT_TRUE(std::regex_match(strRecord, objMatch, objForm)) << strRecord;
                EXPECT_EQ(objMatch[1] == "14"   ? "INFO"
                          : objMatch[1] == "12" ? "WARN"
                                                : "ERROR",
                          objMatch[3]);
                const std::string strShort = "<" + objMatch[1].str() + ">" + objMatch[2].str();
                itNext += itNext != vecExpected.end() && strShort.rfind(*itNext, 0) == 0;
            }
        }
        EXPECT_TRUE(itNext == vecExpected.end()) << "missing, or out of order: " << *itNext;
    }
}

INSTANTIATE_TEST_SUITE_P(E2e, Field, ::testing::ValuesIn(s_astCases),
                         [](const auto &stInfo) { return std::string(stInfo.param.pszName); });

} // namespace
