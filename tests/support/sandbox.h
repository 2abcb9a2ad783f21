// Runs an unmodified program in a private mount namespace, for end-to-end
// tests of the real irupdate binary.
//
// The program sees a fresh /dev (null, zero, random, urandom, tty, full,
// pts/, ptmx, fd/, std*) with, optionally, a given path (a pty slave, say)
// bound onto /dev/ttyAMA1 and a given regular file bound onto /dev/mem; the
// real /dev is detached from its namespace, and without CAP_SYS_RAWIO it
// could not open a real memory device anyway. /var is a private tmpfs, and
// /var/tmpfs a bind of a private host folder, so the test can read
// /var/tmpfs/success.log back at any time. Standard output and standard error
// go to pipes that background readers drain into strings.
//
// Needs root and mount namespaces: check SandboxAvailable() first and
// GTEST_SKIP() with its reason when it says no.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// True when sandboxes can run here. Otherwise false, with the reason in
/// *pWhy (may be null): not root, or the kernel refused a mount namespace.
/// The answer is worked out once per process.
bool SandboxAvailable(std::string *pWhy);

/// Size of a sparse file that can stand in for /dev/mem: it covers every
/// register page the pin routing touches (the highest is 0x12220000).
constexpr uint64_t SANDBOX_MEM_FILE_SIZE = 0x12300000;

/// Creates (or truncates) a sparse file of u64Size bytes at strPath; false on failure.
bool MakeSparseFile(const std::string &strPath, uint64_t u64Size = SANDBOX_MEM_FILE_SIZE);

/// Opens a pty master (read/write, non-blocking, close-on-exec, no controlling
/// tty) and stores its slave's path (e.g. "/dev/pts/3") in *pSlavePath.
/// Returns the master descriptor, owned by the caller, or -1.
int OpenPtyMaster(std::string *pSlavePath);

struct SandboxOptions {
    /// The program to run and its arguments (argv[0] is the program path).
    std::string strProgram;
    std::vector<std::string> vecArgs;
    /// Extra "NAME=value" entries on top of the test's environment.
    std::vector<std::string> vecEnv;
    /// Working folder of the program; must not lie under /dev or /var.
    /// Empty: the test's current folder.
    std::string strWorkDir;
    /// Bound onto /dev/ttyAMA1 (a pty slave, a file, ...); empty: /dev/ttyAMA1 is absent.
    std::string strTtyPath;
    /// Regular file bound onto /dev/mem (see MakeSparseFile); empty: /dev/mem is absent.
    std::string strMemFile;
    /// Whether /var/tmpfs exists.
    bool bVarTmpfs = true;
    /// With bVarTmpfs: when set, /var/tmpfs/success.log starts with this content.
    bool bSeedSuccessLog = false;
    std::string strSuccessLogSeed;
};

/// One sandboxed run. Not copyable; the destructor kills a run still going
/// and removes the sandbox's private folder. Use from one test thread, one
/// that outlives the run: the program is killed when the thread that started
/// it ends (so that a crashed test leaves nothing running).
class Sandbox {
public:
    Sandbox() = default;
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    /// Sets up the namespace and starts the program. False, with the reason
    /// in *pErr (may be null), when set-up or exec failed.
    bool Start(const SandboxOptions &stOptions, std::string *pErr);

    /// Waits up to s32TimeoutMs for the program to end; true once it has
    /// ended (its output is then complete). Returns at once after the end.
    bool Wait(int s32TimeoutMs);
    /// Kills the program (SIGKILL) if it still runs, and reaps it.
    void Kill();
    /// Whether the program is still running (reaps it when it has ended).
    bool Running();

    /// Raw wait status once ended; -1 before.
    int WaitStatus() const { return m_s32WaitStatus; }
    /// Exit code, or -1 when not ended or ended by a signal.
    int ExitCode() const;
    /// Terminating signal, or 0 when not ended or ended by exit.
    int TermSignal() const;

    /// What the program has written so far.
    std::string Stdout() const;
    std::string Stderr() const;
    /// Waits up to s32TimeoutMs until standard output (or error) contains
    /// strNeedle; false on timeout or when the stream ended without it.
    bool WaitForStdout(const std::string &strNeedle, int s32TimeoutMs);
    bool WaitForStderr(const std::string &strNeedle, int s32TimeoutMs);

    /// Host path of what the program sees as /var/tmpfs/success.log.
    std::string SuccessLogPath() const { return m_strVarTmpfs + "/success.log"; }
    /// Reads /var/tmpfs/success.log as the program left it; false when absent.
    bool ReadSuccessLog(std::string *pContent) const;

    pid_t Pid() const { return m_pid; }

private:
    struct Stream {
        int fd = -1;
        std::string strData;
        bool bEof = false;
        std::thread objReader;
    };

    void ReaderLoop(Stream *pstStream);
    bool WaitFor(Stream &stStream, const std::string &strNeedle, int s32TimeoutMs);
    void Reap(bool bBlock);
    void JoinReaders();
    void Cleanup();

    pid_t m_pid = -1;
    int m_s32WaitStatus = -1;
    std::string m_strFolder;   // private host folder of this sandbox
    std::string m_strVarTmpfs; // host folder seen as /var/tmpfs
    mutable std::mutex m_objMutex;
    std::condition_variable m_objCond;
    Stream m_stOut;
    Stream m_stErr;
};
