#include "test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

CapturedStream::CapturedStream(int fd) : m_fd(fd) {
    char szTemplate[] = "/tmp/irupdate-capture-XXXXXX";
    const int fdFile = mkstemp(szTemplate);
    m_path = szTemplate;
    (void)fflush(fd == 1 ? stdout : stderr); // what came before is the console's
    m_saved = dup(fd);
    dup2(fdFile, fd);
    close(fdFile);
}

CapturedStream::~CapturedStream() {
    Take();
    unlink(m_path.c_str());
}

std::string CapturedStream::Take() {
    if (m_saved >= 0) {
        (void)fflush(m_fd == 1 ? stdout : stderr); // what it cannot hand over is missing
        dup2(m_saved, m_fd);
        close(m_saved);
        m_saved = -1;
    }
    return ReadFileBytes(m_path);
}

TempDir::TempDir() {
    char szTemplate[] = "/tmp/irupdate-test-XXXXXX";
    m_path = mkdtemp(szTemplate) != nullptr ? szTemplate : "/nonexistent";
}

TempDir::~TempDir() {
    std::error_code objErr; // a leftover temporary folder is harmless
    std::filesystem::remove_all(m_path, objErr);
}

std::string ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileBytes(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool PollUntil(const std::function<bool()> &done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ChildProcess::ChildProcess() {
    char szTemplate[] = "/tmp/irupdate-child-XXXXXX";
    m_strDir = mkdtemp(szTemplate) != nullptr ? szTemplate : "";
}

ChildProcess::~ChildProcess() {
    Stop();
    std::error_code objErr; // a leftover temporary folder is harmless
    std::filesystem::remove_all(m_strDir, objErr);
}

std::string ChildProcess::Start(const std::vector<std::string> &vecArgv) {
    // The test process has threads: between fork and exec the child makes
    // system calls only, so everything it needs is ready beforehand.
    std::vector<char *> vecPtrs;
    for (const std::string &strArg : vecArgv) {
        vecPtrs.push_back(const_cast<char *>(strArg.c_str()));
    }
    vecPtrs.push_back(nullptr);
    const std::string astrOut[2] = {m_strDir + "/out", m_strDir + "/err"};
    const int afd[3] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                        open(astrOut[0].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                        open(astrOut[1].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    const pid_t pidParent = getpid();
    if (afd[0] >= 0 && afd[1] >= 0 && afd[2] >= 0 && m_pid < 0 && (m_pid = fork()) == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // the test program's end ends the child
        if (getppid() == pidParent && dup2(afd[0], 0) == 0 && dup2(afd[1], 1) == 1 &&
            dup2(afd[2], 2) == 2) {
            execvp(vecPtrs[0], vecPtrs.data());
        }
        _exit(127);
    }
    const std::string strWhy = m_pid > 0 ? "" : std::string("fork or files: ") + strerror(errno);
    for (int fd : afd) {
        close(fd);
    }
    return strWhy;
}

bool ChildProcess::Wait(int s32TimeoutMs) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    while (m_pid > 0 && m_s32Status == -1) {
        int s32Status = 0;
        if (waitpid(m_pid, &s32Status, WNOHANG) == m_pid) {
            m_s32Status = s32Status;
            // Sanitized builds of irupdate and irsim report on standard error and
            // then exit or are killed; any report fails the test that ran the child.
            const std::string strErr = Stderr();
            for (const char *pszMark : {"Sanitizer: ", ": runtime error: "}) {
                EXPECT_EQ(std::string::npos, strErr.find(pszMark)) << "sanitizer report:\n"
                                                                   << strErr;
            }
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

std::string ChildProcess::Stdout() const {
    return ReadFileBytes(m_strDir + "/out");
}

std::string ChildProcess::Stderr() const {
    return ReadFileBytes(m_strDir + "/err");
}
