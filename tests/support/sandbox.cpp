#include "sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

bool MakeSparseFile(const std::string &strPath, uint64_t u64Size) {
    int fd = open(strPath.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool bOk = ftruncate(fd, static_cast<off_t>(u64Size)) == 0;
    close(fd);
    return bOk;
}

int OpenPtyMaster(std::string *pSlavePath) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char szName[PATH_MAX];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, szName, sizeof(szName)) != 0) {
        close(fd);
        return -1;
    }
    *pSlavePath = szName;
    return fd;
}

bool SandboxAvailable(std::string *pWhy) {
    static const std::string s_strWhy = []() -> std::string {
        if (geteuid() != 0) {
            return "sandboxed runs need root (mount namespaces and mounts)";
        }
        ChildProcess objProbe;
        std::string strErr = objProbe.Start(
            {"unshare", "--mount", "--", "setpriv", "--bounding-set", "-sys_rawio", "true"});
        if (!strErr.empty() || !objProbe.Wait(20000) || objProbe.ExitCode() != 0) {
            return "no mount namespace without CAP_SYS_RAWIO here (unshare, setpriv): " + strErr +
                   objProbe.Stderr();
        }
        return std::string();
    }();
    *pWhy = s_strWhy;
    return s_strWhy.empty();
}

ChildProcess::~ChildProcess() {
    Stop();
}

std::string ChildProcess::Start(const std::vector<std::string> &vecArgv) {
    // The test process has threads: between fork and exec the child makes
    // system calls only, so everything it needs is ready beforehand.
    std::vector<char *> vecPtrs;
    for (const std::string &strArg : vecArgv) {
        vecPtrs.push_back(const_cast<char *>(strArg.c_str()));
    }
    vecPtrs.push_back(nullptr);
    int afdPipes[4] = {-1, -1, -1, -1}; // standard output: read, write; error: read, write
    pid_t pidParent = getpid();
    if (pipe2(afdPipes, O_CLOEXEC) != 0 || pipe2(afdPipes + 2, O_CLOEXEC) != 0 ||
        (m_pid = fork()) < 0) {
        std::string strWhy = std::string("pipe or fork: ") + strerror(errno);
        for (int fd : afdPipes) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return strWhy;
    }
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fdNull = open("/dev/null", O_RDONLY);
        if (getppid() == pidParent && fdNull >= 0 && dup2(fdNull, STDIN_FILENO) >= 0 &&
            dup2(afdPipes[1], STDOUT_FILENO) >= 0 && dup2(afdPipes[3], STDERR_FILENO) >= 0) {
            execvp(vecPtrs[0], vecPtrs.data());
        }
        _exit(127);
    }
    close(afdPipes[1]);
    close(afdPipes[3]);
    const int afdRead[2] = {afdPipes[0], afdPipes[2]};
    for (int i = 0; i < 2; ++i) {
        m_aobjReader[i] = std::thread(&ChildProcess::ReadLoop, this, afdRead[i], i);
    }
    return std::string();
}

void ChildProcess::ReadLoop(int fd, int s32Stream) {
    char achBuf[4096];
    ssize_t s32Got;
    while ((s32Got = read(fd, achBuf, sizeof(achBuf))) > 0 || (s32Got < 0 && errno == EINTR)) {
        std::lock_guard<std::mutex> objLock(m_objMutex);
        m_astrOut[s32Stream].append(achBuf, static_cast<size_t>(std::max<ssize_t>(s32Got, 0)));
    }
    close(fd);
}

bool ChildProcess::Wait(int s32TimeoutMs) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (m_pid > 0 && m_s32Status == -1) {
        int s32Status = 0;
        pid_t pidDone = waitpid(m_pid, &s32Status, WNOHANG);
        if (pidDone == m_pid) {
            m_s32Status = s32Status;
            // The child is gone, so its pipes reach their end: all output is in.
            for (std::thread &objReader : m_aobjReader) {
                objReader.join();
            }
            ExpectNoSanitizerReport();
        } else if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        } else {
            usleep(5000);
        }
    }
    return m_s32Status != -1;
}

void ChildProcess::Stop(int s32Signal) {
    if (Running()) {
        kill(m_pid, s32Signal);
        Wait(INT_MAX);
    }
}

void ChildProcess::ExpectNoSanitizerReport() const {
    // Sanitized builds of irupdate and irsim report on standard error and
    // then exit with a status that a test may not look at (or are killed
    // before they could); any report fails the test that ran the child.
    const std::string strErr = Text(1);
    for (const char *pszMark : {"Sanitizer: ", ": runtime error: "}) {
        size_t u32At = strErr.find(pszMark);
        if (u32At != std::string::npos) {
            size_t u32From = strErr.rfind('\n', u32At);
            ADD_FAILURE() << "sanitizer report from a child:\n"
                          << strErr.substr(u32From == std::string::npos ? 0 : u32From + 1);
            return;
        }
    }
}

std::string ChildProcess::Text(int s32Stream) const {
    std::lock_guard<std::mutex> objLock(m_objMutex);
    return m_astrOut[s32Stream];
}
