#include "test_support.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

CapturedStream::CapturedStream(int fd) : m_fd(fd) {
    char szTemplate[] = "/tmp/irupdate-capture-XXXXXX";
    const int fdFile = mkstemp(szTemplate);
    m_path = szTemplate;
    // What was written before belongs to the console, not to the capture.
    (void)fflush(fd == 1 ? stdout : stderr);
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
        // Lines the stream cannot hand over are missing from the result, and
        // the test comparing it says so.
        (void)fflush(m_fd == 1 ? stdout : stderr);
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
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
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
