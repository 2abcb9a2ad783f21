// Helpers shared by the tests: captured output, temporary folders, files, polling.
#pragma once

#include <functional>
#include <string>

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
