// Helpers shared by the tests: captured output, temporary folders, files,
// polling; child processes (for the end-to-end tests, which run the real
// irupdate through scripts/sandbox.sh).
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

/// Captures everything written to a standard stream (1 or 2) between
/// construction and Take(); the stream is restored on destruction.
class CapturedStream {
public:
    explicit CapturedStream(int fd);
    ~CapturedStream();
    /// Stops capturing (once) and returns what was written.
    std::string Take();

private:
    int m_fd;
    int m_saved = -1;
    std::string m_path;
};

/// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return m_path; }
    std::string File(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

/// Reads a whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::string &path);
/// Writes a whole file; false on failure.
bool WriteFileBytes(const std::string &path, const std::string &bytes);

/// Asks done() every 5 ms until it answers true (true) or timeoutMs have
/// passed (false). done() is not asked again once it answered true.
bool PollUntil(const std::function<bool()> &done, int timeoutMs);

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
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    int m_s32Status = -1; // reads as neither exited nor signalled until the end
    std::string m_strDir; // holds the output files
};
