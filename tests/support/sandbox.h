// Child processes for the end-to-end tests, which run the real irupdate
// through scripts/sandbox.sh (a private mount namespace with a fresh /dev and
// no CAP_SYS_RAWIO), and the stand-ins that unit tests use themselves for
// /dev/mem and a serial port: sparse files and ptys.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// Size of a sparse file that can stand in for /dev/mem: it covers every
/// register page the pin routing touches (the highest is 0x12220000).
constexpr uint64_t SANDBOX_MEM_FILE_SIZE = 0x12300000;

/// Creates (or truncates) a sparse file of u64Size bytes at strPath; false on failure.
bool MakeSparseFile(const std::string &strPath, uint64_t u64Size = SANDBOX_MEM_FILE_SIZE);

/// Opens a pty master (read/write, non-blocking, close-on-exec, no controlling
/// tty) and stores its slave's path (e.g. "/dev/pts/3") in *pSlavePath (not null).
/// Returns the master descriptor, owned by the caller, or -1.
int OpenPtyMaster(std::string *pSlavePath);

/// True when sandboxed runs can work here: root, and a mount namespace
/// without CAP_SYS_RAWIO can be entered. Otherwise false, with the reason in
/// *pWhy for GTEST_SKIP. Worked out once per process.
bool SandboxAvailable(std::string *pWhy);

/// A program run as a child: standard input /dev/null, standard output and
/// error to pipes that two threads collect. The destructor kills a child
/// still running; so does the end of the thread that started it, so that a
/// crashed test leaves nothing running. Use from that one thread; not copyable.
class ChildProcess {
public:
    ~ChildProcess();
    /// Starts vecArgv (argv[0] searched in PATH), once. Returns "" or why
    /// nothing started; a failed exec ends the child with status 127.
    std::string Start(const std::vector<std::string> &vecArgv);
    /// Waits up to s32TimeoutMs for the end; true once ended, the output then complete.
    bool Wait(int s32TimeoutMs);
    bool Running() { return m_pid > 0 && !Wait(0); }
    /// Sends s32Signal to the child if it still runs, and waits for its end.
    void Stop(int s32Signal = SIGKILL);
    /// Exit code, or -1 when running or ended by a signal (a status of -1,
    /// kept until the end, reads as neither exited nor signalled).
    int ExitCode() const { return WIFEXITED(m_s32Status) ? WEXITSTATUS(m_s32Status) : -1; }
    /// Terminating signal, or 0 when running or ended by exit.
    int TermSignal() const { return WIFSIGNALED(m_s32Status) ? WTERMSIG(m_s32Status) : 0; }

    /// What the child has written so far.
    std::string Stdout() const { return Text(0); }
    std::string Stderr() const { return Text(1); }

private:
    std::string Text(int s32Stream) const;
    /// Fails the running test if the ended child printed a sanitizer report.
    void ExpectNoSanitizerReport() const;
    void ReadLoop(int fd, int s32Stream);

    pid_t m_pid = -1;
    int m_s32Status = -1;
    std::thread m_aobjReader[2];
    mutable std::mutex m_objMutex;
    std::string m_astrOut[2];
};
