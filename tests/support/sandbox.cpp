#include "sandbox.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>

extern char **environ;

namespace {

// Set-up steps of the child, reported back to the parent with errno when one
// fails. The child may only make system calls between fork and exec (the test
// process has threads), so it sends numbers, and the parent words them.
enum SandboxStep : int32_t {
    STEP_PDEATHSIG,
    STEP_UNSHARE,
    STEP_MAKE_PRIVATE,
    STEP_DEV_TMPFS,
    STEP_DEV_NODE,
    STEP_DEV_PTS,
    STEP_DEV_SHM,
    STEP_DEV_LINK,
    STEP_TTY_BIND,
    STEP_MEM_BIND,
    STEP_DEV_DETACH,
    STEP_DEV_MOVE,
    STEP_DROP_RAWIO,
    STEP_VAR_TMPFS,
    STEP_VAR_TMPFS_BIND,
    STEP_MEM_CHECK,
    STEP_CHDIR,
    STEP_STDIO,
    STEP_EXEC,
};

const char *SandboxStepName(int32_t s32Step) {
    switch (s32Step) {
    case STEP_PDEATHSIG:
        return "prctl(PR_SET_PDEATHSIG)";
    case STEP_UNSHARE:
        return "unshare(CLONE_NEWNS)";
    case STEP_MAKE_PRIVATE:
        return "making / private";
    case STEP_DEV_TMPFS:
        return "mounting a tmpfs for /dev";
    case STEP_DEV_NODE:
        return "binding a basic /dev node";
    case STEP_DEV_PTS:
        return "binding /dev/pts";
    case STEP_DEV_SHM:
        return "mounting /dev/shm";
    case STEP_DEV_LINK:
        return "creating a /dev link";
    case STEP_TTY_BIND:
        return "binding the tty onto /dev/ttyAMA1";
    case STEP_MEM_BIND:
        return "binding the memory file onto /dev/mem";
    case STEP_DEV_DETACH:
        return "detaching the real /dev";
    case STEP_DEV_MOVE:
        return "moving the new /dev into place";
    case STEP_DROP_RAWIO:
        return "dropping CAP_SYS_RAWIO";
    case STEP_VAR_TMPFS:
        return "mounting a tmpfs on /var";
    case STEP_VAR_TMPFS_BIND:
        return "binding /var/tmpfs";
    case STEP_MEM_CHECK:
        return "checking that /dev/mem is the stand-in";
    case STEP_CHDIR:
        return "changing to the working folder";
    case STEP_STDIO:
        return "redirecting standard streams";
    case STEP_EXEC:
        return "exec";
    default:
        return "unknown step";
    }
}

struct ChildError {
    int32_t s32Step;
    int32_t s32Errno;
};

[[noreturn]] void ChildFail(int fdErr, int32_t s32Step) {
    ChildError stErr = {s32Step, errno};
    ssize_t s32Ignored = write(fdErr, &stErr, sizeof(stErr));
    (void)s32Ignored;
    _exit(127);
}

// Everything the child needs, prepared before fork as plain C strings.
struct ChildPlan {
    std::string strStaging;
    std::vector<std::pair<std::string, std::string>> vecNodes; // source, target
    std::string strPtsSource, strPtsTarget;
    std::string strShm;
    std::vector<std::pair<std::string, std::string>> vecLinks; // link text, path
    std::string strTtySource, strTtyTarget;
    std::string strMemSource, strMemTarget;
    dev_t u64MemDev = 0;
    ino_t u64MemIno = 0;
    bool bVarTmpfs = true;
    std::string strVarTmpfsSource;
    std::string strWorkDir;
    std::string strProgram;
    std::vector<char *> vecArgv;
    std::vector<char *> vecEnvp;
};

// Creates an empty file to bind a non-directory onto.
bool MakeMountPoint(const char *pszPath) {
    int fd = open(pszPath, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

[[noreturn]] void RunChild(const ChildPlan &stPlan, pid_t pidParent, int fdOut, int fdErrOut,
                           int fdReport) {
    // Do not outlive the test if it dies without cleaning up.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        ChildFail(fdReport, STEP_PDEATHSIG);
    }
    if (getppid() != pidParent) {
        _exit(127);
    }
    if (unshare(CLONE_NEWNS) != 0) {
        ChildFail(fdReport, STEP_UNSHARE);
    }
    // Nothing mounted from here on may leak back into the host's tree.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ChildFail(fdReport, STEP_MAKE_PRIVATE);
    }

    // Build the new /dev in a staging folder while the real nodes are still
    // reachable, then move it over /dev in one step.
    const char *pszStaging = stPlan.strStaging.c_str();
    if (mount("tmpfs", pszStaging, "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        ChildFail(fdReport, STEP_DEV_TMPFS);
    }
    for (const auto &stNode : stPlan.vecNodes) {
        if (!MakeMountPoint(stNode.second.c_str()) ||
            mount(stNode.first.c_str(), stNode.second.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ChildFail(fdReport, STEP_DEV_NODE);
        }
    }
    if (!stPlan.strPtsSource.empty()) {
        if (mkdir(stPlan.strPtsTarget.c_str(), 0755) != 0 ||
            mount(stPlan.strPtsSource.c_str(), stPlan.strPtsTarget.c_str(), nullptr,
                  MS_BIND | MS_REC, nullptr) != 0) {
            ChildFail(fdReport, STEP_DEV_PTS);
        }
    }
    if (mkdir(stPlan.strShm.c_str(), 01777) != 0 ||
        mount("tmpfs", stPlan.strShm.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        ChildFail(fdReport, STEP_DEV_SHM);
    }
    for (const auto &stLink : stPlan.vecLinks) {
        if (symlink(stLink.first.c_str(), stLink.second.c_str()) != 0) {
            ChildFail(fdReport, STEP_DEV_LINK);
        }
    }
    if (!stPlan.strTtySource.empty()) {
        if (!MakeMountPoint(stPlan.strTtyTarget.c_str()) ||
            mount(stPlan.strTtySource.c_str(), stPlan.strTtyTarget.c_str(), nullptr, MS_BIND,
                  nullptr) != 0) {
            ChildFail(fdReport, STEP_TTY_BIND);
        }
    }
    if (!stPlan.strMemSource.empty()) {
        if (!MakeMountPoint(stPlan.strMemTarget.c_str()) ||
            mount(stPlan.strMemSource.c_str(), stPlan.strMemTarget.c_str(), nullptr, MS_BIND,
                  nullptr) != 0) {
            ChildFail(fdReport, STEP_MEM_BIND);
        }
    }
    // Detach the real /dev from this namespace altogether (the nodes bound
    // above stay), rather than only covering it, then put the new one there.
    // EINVAL: /dev is no mount of its own here, so there is nothing to detach.
    if (umount2("/dev", MNT_DETACH) != 0 && errno != EINVAL) {
        ChildFail(fdReport, STEP_DEV_DETACH);
    }
    if (mount(pszStaging, "/dev", nullptr, MS_MOVE, nullptr) != 0) {
        ChildFail(fdReport, STEP_DEV_MOVE);
    }
    // And should a real memory device be reachable after all, opening it
    // needs CAP_SYS_RAWIO, which the program will not have (the stand-in is a
    // regular file and needs none).
    if (prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0) {
        ChildFail(fdReport, STEP_DROP_RAWIO);
    }

    if (mount("tmpfs", "/var", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        ChildFail(fdReport, STEP_VAR_TMPFS);
    }
    if (stPlan.bVarTmpfs) {
        if (mkdir("/var/tmpfs", 0755) != 0 ||
            mount(stPlan.strVarTmpfsSource.c_str(), "/var/tmpfs", nullptr, MS_BIND, nullptr) != 0) {
            ChildFail(fdReport, STEP_VAR_TMPFS_BIND);
        }
    }

    // The one thing that must never happen: the program reaching real memory.
    struct stat stMem;
    if (stPlan.strMemSource.empty()) {
        if (lstat("/dev/mem", &stMem) == 0) {
            errno = EEXIST;
            ChildFail(fdReport, STEP_MEM_CHECK);
        }
    } else if (stat("/dev/mem", &stMem) != 0 || !S_ISREG(stMem.st_mode) ||
               stMem.st_dev != stPlan.u64MemDev || stMem.st_ino != stPlan.u64MemIno) {
        errno = EPERM;
        ChildFail(fdReport, STEP_MEM_CHECK);
    }

    if (chdir(stPlan.strWorkDir.c_str()) != 0) {
        ChildFail(fdReport, STEP_CHDIR);
    }
    int fdNull = open("/dev/null", O_RDONLY);
    if (fdNull < 0 || dup2(fdNull, STDIN_FILENO) < 0 || dup2(fdOut, STDOUT_FILENO) < 0 ||
        dup2(fdErrOut, STDERR_FILENO) < 0) {
        ChildFail(fdReport, STEP_STDIO);
    }
    // The test's own descriptors (pty masters among them) stay out of the program.
    (void)close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);

    execve(stPlan.strProgram.c_str(), stPlan.vecArgv.data(), stPlan.vecEnvp.data());
    ChildFail(fdReport, STEP_EXEC);
}

std::string AbsolutePath(const std::string &strPath) {
    char szResolved[PATH_MAX];
    if (realpath(strPath.c_str(), szResolved) == nullptr) {
        return std::string();
    }
    return szResolved;
}

// Whether strPath is strFolder or lies inside it.
bool UnderFolder(const std::string &strPath, const std::string &strFolder) {
    return strPath == strFolder || strPath.rfind(strFolder + "/", 0) == 0;
}

bool PathExists(const std::string &strPath) {
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

void SetError(std::string *pErr, const std::string &strMessage) {
    if (pErr != nullptr) {
        *pErr = strMessage;
    }
}

std::string ErrnoText(int s32Errno) {
    return std::string(strerror(s32Errno));
}

// Tries what Start needs in a throw-away child.
std::string ProbeSandbox() {
    if (geteuid() != 0) {
        return "sandboxed runs need root (mount namespaces and mounts)";
    }
    char szFolder[] = "/tmp/irupdate-sbprobe-XXXXXX";
    if (mkdtemp(szFolder) == nullptr) {
        return "cannot create a temporary folder: " + ErrnoText(errno);
    }
    int afdReport[2];
    if (pipe2(afdReport, O_CLOEXEC) != 0) {
        rmdir(szFolder);
        return "pipe: " + ErrnoText(errno);
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(afdReport[0]);
        if (unshare(CLONE_NEWNS) != 0) {
            ChildFail(afdReport[1], STEP_UNSHARE);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ChildFail(afdReport[1], STEP_MAKE_PRIVATE);
        }
        if (mount("tmpfs", szFolder, "tmpfs", 0, "mode=0755") != 0) {
            ChildFail(afdReport[1], STEP_DEV_TMPFS);
        }
        _exit(0);
    }
    close(afdReport[1]);
    std::string strWhy;
    if (pid < 0) {
        strWhy = "fork: " + ErrnoText(errno);
    } else {
        ChildError stErr = {};
        ssize_t s32Got = read(afdReport[0], &stErr, sizeof(stErr));
        int s32Status = 0;
        waitpid(pid, &s32Status, 0);
        if (s32Got == static_cast<ssize_t>(sizeof(stErr))) {
            strWhy = std::string("the kernel refused ") + SandboxStepName(stErr.s32Step) + ": " +
                     ErrnoText(stErr.s32Errno);
        } else if (!WIFEXITED(s32Status) || WEXITSTATUS(s32Status) != 0) {
            strWhy = "the namespace probe did not finish cleanly";
        }
    }
    close(afdReport[0]);
    rmdir(szFolder);
    return strWhy;
}

} // namespace

bool SandboxAvailable(std::string *pWhy) {
    static std::once_flag s_objOnce;
    static std::string s_strWhy;
    std::call_once(s_objOnce, [] { s_strWhy = ProbeSandbox(); });
    if (pWhy != nullptr) {
        *pWhy = s_strWhy;
    }
    return s_strWhy.empty();
}

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
    if (pSlavePath != nullptr) {
        *pSlavePath = szName;
    }
    return fd;
}

Sandbox::~Sandbox() {
    Cleanup();
}

bool Sandbox::Start(const SandboxOptions &stOptions, std::string *pErr) {
    if (m_pid > 0 || !m_strFolder.empty()) {
        SetError(pErr, "a sandbox runs one program once");
        return false;
    }
    std::string strWhy;
    if (!SandboxAvailable(&strWhy)) {
        SetError(pErr, strWhy);
        return false;
    }

    ChildPlan stPlan;
    stPlan.strProgram = AbsolutePath(stOptions.strProgram);
    if (stPlan.strProgram.empty()) {
        SetError(pErr, "program not found: " + stOptions.strProgram);
        return false;
    }
    stPlan.strWorkDir = AbsolutePath(stOptions.strWorkDir.empty() ? "." : stOptions.strWorkDir);
    if (stPlan.strWorkDir.empty()) {
        SetError(pErr, "working folder not found: " + stOptions.strWorkDir);
        return false;
    }
    if (UnderFolder(stPlan.strWorkDir, "/dev") || UnderFolder(stPlan.strWorkDir, "/var")) {
        SetError(pErr, "the working folder must not lie under /dev or /var");
        return false;
    }
    if (!stOptions.strTtyPath.empty()) {
        stPlan.strTtySource = AbsolutePath(stOptions.strTtyPath);
        if (stPlan.strTtySource.empty()) {
            SetError(pErr, "tty path not found: " + stOptions.strTtyPath);
            return false;
        }
    }
    if (!stOptions.strMemFile.empty()) {
        stPlan.strMemSource = AbsolutePath(stOptions.strMemFile);
        struct stat stMem;
        if (stPlan.strMemSource.empty() || stat(stPlan.strMemSource.c_str(), &stMem) != 0 ||
            !S_ISREG(stMem.st_mode)) {
            SetError(pErr, "the /dev/mem stand-in must be a regular file: " + stOptions.strMemFile);
            return false;
        }
        stPlan.u64MemDev = stMem.st_dev;
        stPlan.u64MemIno = stMem.st_ino;
    }

    char szFolder[] = "/tmp/irupdate-sandbox-XXXXXX";
    if (mkdtemp(szFolder) == nullptr) {
        SetError(pErr, "cannot create the sandbox folder: " + ErrnoText(errno));
        return false;
    }
    m_strFolder = szFolder;
    m_strVarTmpfs = m_strFolder + "/var-tmpfs";
    stPlan.strStaging = m_strFolder + "/dev";
    if (mkdir(stPlan.strStaging.c_str(), 0755) != 0 || mkdir(m_strVarTmpfs.c_str(), 0700) != 0) {
        SetError(pErr, "cannot prepare the sandbox folder: " + ErrnoText(errno));
        return false;
    }
    stPlan.bVarTmpfs = stOptions.bVarTmpfs;
    stPlan.strVarTmpfsSource = m_strVarTmpfs;
    if (stOptions.bVarTmpfs && stOptions.bSeedSuccessLog) {
        std::string strSeed = SuccessLogPath();
        int fd = open(strSeed.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        bool bOk = fd >= 0 && write(fd, stOptions.strSuccessLogSeed.data(),
                                    stOptions.strSuccessLogSeed.size()) ==
                                  static_cast<ssize_t>(stOptions.strSuccessLogSeed.size());
        if (fd >= 0) {
            close(fd);
        }
        if (!bOk) {
            SetError(pErr, "cannot seed success.log: " + ErrnoText(errno));
            return false;
        }
    }

    for (const char *pszNode : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string strSource = std::string("/dev/") + pszNode;
        if (PathExists(strSource)) {
            stPlan.vecNodes.emplace_back(strSource, stPlan.strStaging + "/" + pszNode);
        }
    }
    if (PathExists("/dev/pts/ptmx")) {
        stPlan.strPtsSource = "/dev/pts";
        stPlan.strPtsTarget = stPlan.strStaging + "/pts";
        stPlan.vecLinks.emplace_back("pts/ptmx", stPlan.strStaging + "/ptmx");
    }
    stPlan.strShm = stPlan.strStaging + "/shm";
    stPlan.vecLinks.emplace_back("/proc/self/fd", stPlan.strStaging + "/fd");
    stPlan.vecLinks.emplace_back("/proc/self/fd/0", stPlan.strStaging + "/stdin");
    stPlan.vecLinks.emplace_back("/proc/self/fd/1", stPlan.strStaging + "/stdout");
    stPlan.vecLinks.emplace_back("/proc/self/fd/2", stPlan.strStaging + "/stderr");
    if (!stPlan.strTtySource.empty()) {
        stPlan.strTtyTarget = stPlan.strStaging + "/ttyAMA1";
    }
    if (!stPlan.strMemSource.empty()) {
        stPlan.strMemTarget = stPlan.strStaging + "/mem";
    }

    std::vector<std::string> vecArgs = stOptions.vecArgs;
    if (vecArgs.empty()) {
        vecArgs.push_back(stOptions.strProgram);
    }
    for (std::string &strArg : vecArgs) {
        stPlan.vecArgv.push_back(strArg.data());
    }
    stPlan.vecArgv.push_back(nullptr);
    std::vector<std::string> vecEnv;
    for (char **ppszEnv = environ; *ppszEnv != nullptr; ++ppszEnv) {
        vecEnv.emplace_back(*ppszEnv);
    }
    vecEnv.insert(vecEnv.end(), stOptions.vecEnv.begin(), stOptions.vecEnv.end());
    for (std::string &strEnv : vecEnv) {
        stPlan.vecEnvp.push_back(strEnv.data());
    }
    stPlan.vecEnvp.push_back(nullptr);

    int afdOut[2], afdErr[2], afdReport[2];
    if (pipe2(afdOut, O_CLOEXEC) != 0) {
        SetError(pErr, "pipe: " + ErrnoText(errno));
        return false;
    }
    if (pipe2(afdErr, O_CLOEXEC) != 0) {
        close(afdOut[0]);
        close(afdOut[1]);
        SetError(pErr, "pipe: " + ErrnoText(errno));
        return false;
    }
    if (pipe2(afdReport, O_CLOEXEC) != 0) {
        for (int fd : {afdOut[0], afdOut[1], afdErr[0], afdErr[1]}) {
            close(fd);
        }
        SetError(pErr, "pipe: " + ErrnoText(errno));
        return false;
    }

    pid_t pidParent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        RunChild(stPlan, pidParent, afdOut[1], afdErr[1], afdReport[1]);
    }
    close(afdOut[1]);
    close(afdErr[1]);
    close(afdReport[1]);
    if (pid < 0) {
        int s32Errno = errno;
        close(afdOut[0]);
        close(afdErr[0]);
        close(afdReport[0]);
        SetError(pErr, "fork: " + ErrnoText(s32Errno));
        return false;
    }
    m_pid = pid;
    m_stOut.fd = afdOut[0];
    m_stErr.fd = afdErr[0];
    m_stOut.objReader = std::thread(&Sandbox::ReaderLoop, this, &m_stOut);
    m_stErr.objReader = std::thread(&Sandbox::ReaderLoop, this, &m_stErr);

    // The report pipe closes at exec (close-on-exec) or carries the failed step.
    ChildError stErr = {};
    ssize_t s32Got;
    do {
        s32Got = read(afdReport[0], &stErr, sizeof(stErr));
    } while (s32Got < 0 && errno == EINTR);
    close(afdReport[0]);
    if (s32Got == static_cast<ssize_t>(sizeof(stErr))) {
        Reap(true);
        SetError(pErr, std::string("sandbox set-up failed at ") + SandboxStepName(stErr.s32Step) +
                           ": " + ErrnoText(stErr.s32Errno));
        return false;
    }
    return true;
}

void Sandbox::ReaderLoop(Stream *pstStream) {
    char achBuf[4096];
    for (;;) {
        ssize_t s32Got = read(pstStream->fd, achBuf, sizeof(achBuf));
        if (s32Got < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard<std::mutex> objLock(m_objMutex);
        if (s32Got <= 0) {
            pstStream->bEof = true;
            m_objCond.notify_all();
            return;
        }
        pstStream->strData.append(achBuf, static_cast<size_t>(s32Got));
        m_objCond.notify_all();
    }
}

void Sandbox::Reap(bool bBlock) {
    if (m_pid <= 0 || m_s32WaitStatus != -1) {
        return;
    }
    int s32Status = 0;
    pid_t pidDone;
    do {
        pidDone = waitpid(m_pid, &s32Status, bBlock ? 0 : WNOHANG);
    } while (pidDone < 0 && errno == EINTR);
    if (pidDone == m_pid) {
        m_s32WaitStatus = s32Status;
        // The program is gone, so the pipes reach their end: collect all output.
        JoinReaders();
    }
}

void Sandbox::JoinReaders() {
    for (Stream *pstStream : {&m_stOut, &m_stErr}) {
        if (pstStream->objReader.joinable()) {
            pstStream->objReader.join();
        }
        if (pstStream->fd >= 0) {
            close(pstStream->fd);
            pstStream->fd = -1;
        }
    }
}

bool Sandbox::Wait(int s32TimeoutMs) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(s32TimeoutMs);
    for (;;) {
        Reap(false);
        if (m_s32WaitStatus != -1 || m_pid <= 0) {
            return m_s32WaitStatus != -1;
        }
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        usleep(5000);
    }
}

bool Sandbox::Running() {
    Reap(false);
    return m_pid > 0 && m_s32WaitStatus == -1;
}

void Sandbox::Kill() {
    if (Running()) {
        kill(m_pid, SIGKILL);
        Reap(true);
    }
}

int Sandbox::ExitCode() const {
    if (m_s32WaitStatus == -1 || !WIFEXITED(m_s32WaitStatus)) {
        return -1;
    }
    return WEXITSTATUS(m_s32WaitStatus);
}

int Sandbox::TermSignal() const {
    if (m_s32WaitStatus == -1 || !WIFSIGNALED(m_s32WaitStatus)) {
        return 0;
    }
    return WTERMSIG(m_s32WaitStatus);
}

std::string Sandbox::Stdout() const {
    std::lock_guard<std::mutex> objLock(m_objMutex);
    return m_stOut.strData;
}

std::string Sandbox::Stderr() const {
    std::lock_guard<std::mutex> objLock(m_objMutex);
    return m_stErr.strData;
}

bool Sandbox::WaitFor(Stream &stStream, const std::string &strNeedle, int s32TimeoutMs) {
    std::unique_lock<std::mutex> objLock(m_objMutex);
    m_objCond.wait_for(objLock, std::chrono::milliseconds(s32TimeoutMs), [&] {
        return stStream.strData.find(strNeedle) != std::string::npos || stStream.bEof;
    });
    return stStream.strData.find(strNeedle) != std::string::npos;
}

bool Sandbox::WaitForStdout(const std::string &strNeedle, int s32TimeoutMs) {
    return WaitFor(m_stOut, strNeedle, s32TimeoutMs);
}

bool Sandbox::WaitForStderr(const std::string &strNeedle, int s32TimeoutMs) {
    return WaitFor(m_stErr, strNeedle, s32TimeoutMs);
}

bool Sandbox::ReadSuccessLog(std::string *pContent) const {
    if (m_strVarTmpfs.empty()) {
        return false;
    }
    int fd = open(SuccessLogPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string strData;
    char achBuf[4096];
    ssize_t s32Got;
    while ((s32Got = read(fd, achBuf, sizeof(achBuf))) > 0) {
        strData.append(achBuf, static_cast<size_t>(s32Got));
    }
    close(fd);
    if (pContent != nullptr) {
        *pContent = strData;
    }
    return s32Got == 0;
}

void Sandbox::Cleanup() {
    Kill();
    JoinReaders();
    if (!m_strFolder.empty()) {
        // Every mount lived in the program's namespace, gone with it: here
        // the folder holds plain files only.
        std::error_code objErr;
        std::filesystem::remove_all(m_strFolder, objErr);
        m_strFolder.clear();
    }
}
