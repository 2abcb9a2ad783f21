// Child processes for the end-to-end tests, which run the real irupdate
// through scripts/sandbox.sh (a private mount namespace with a fresh /dev and
// no CAP_SYS_RAWIO), and the stand-ins for /dev/mem and a serial port.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

/// Size of a sparse file that can stand in for /dev/mem: it covers every
/// register page the pin routing touches (the highest is 0x12220000).
constexpr uint64_t SANDBOX_MEM_FILE_SIZE = 0x12300000;

/// Creates (or truncates) a sparse file of u64Size bytes; false on failure.
bool MakeSparseFile(const std::string &strPath, uint64_t u64Size = SANDBOX_MEM_FILE_SIZE);

/// Opens a pty master (read/write, non-blocking, close-on-exec, no controlling
/// tty) and stores its slave's path in *pSlavePath. The master descriptor
/// (the caller's to close), or -1.
int OpenPtyMaster(std::string *pSlavePath);

/// True when sandboxed runs can work here (as root); otherwise false, with the
/// reason in *pWhy (for GTEST_SKIP).
bool SandboxAvailable(std::string *pWhy);

/// A program run as a child: standard input /dev/null, standard output and
/// error to files that Stdout() and Stderr() read at any time. The destructor
/// kills a child still running, and so does the end of the test program. A
/// sanitizer report on the ended child's standard error fails the running test.
class ChildProcess {
public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    /// Starts vecArgv (argv[0] searched in PATH), once. "" or why nothing
    /// started; a failed exec ends the child with status 127.
    std::string Start(const std::vector<std::string> &vecArgv);
    /// Waits up to s32TimeoutMs for the end; true once ended.
    bool Wait(int s32TimeoutMs);
    bool Running() { return m_pid > 0 && !Wait(0); }
    /// Sends s32Signal to the child if it still runs, and waits for its end.
    void Stop(int s32Signal = SIGKILL);
    /// Exit code, or -1 when running or ended by a signal.
    int ExitCode() const { return WIFEXITED(m_s32Status) ? WEXITSTATUS(m_s32Status) : -1; }
    /// Terminating signal, or 0 when running or ended by exit.
    int TermSignal() const { return WIFSIGNALED(m_s32Status) ? WTERMSIG(m_s32Status) : 0; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    int m_s32Status = -1; // reads as neither exited nor signalled until the end
    std::string m_strDir; // holds the output files
};
