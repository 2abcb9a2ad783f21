// The update thread: link set-up, the first step of the update sequence and
// the protocol engine loop; plus the run's globals and its single way out.
#include "ir_update.h"

#include <errno.h>
#include <limits.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include <log4cpp/Category.hh>
#include <log4cpp/Layout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/SyslogAppender.hh>

#include "app_log_setup.h"
#include "board/register.h"
#include "board/serial.h"
#include "irupdate_version.h"
#include "protocol/app_log.h"
#include "protocol/command_interface.h"

CIRUpdate *g_objIRUpdate = nullptr;
std::atomic<bool> g_bIRRunFlag(true);
std::atomic<uint32_t> g_eIRUpdateStatus(IR_UPDATE_WAIT);
const char *g_cUpdateFilePath = nullptr;
const char *g_pszSuccessRecordPath = "/var/tmpfs/success.log";

namespace {

// Pause between attempts to run the engine when no protocol instance could be
// opened: each attempt prints an error line, and without a pause the thread
// would spin and flood the console.
constexpr UInt32 ENGINE_RETRY_PAUSE_MS = 1000;

// Pin routing the update tool asks for: port enabled, mode 5.
constexpr int UART_ROUTE_ENABLE = 1;
constexpr int UART_ROUTE_MODE = 5;

/// Records the start of a run: the version, the port and its mode, and the
/// working directory, where the images are looked up.
void LogStart(const SerialPortSettings *pstSettings) {
    char szCwd[PATH_MAX];
    if (getcwd(szCwd, sizeof(szCwd)) != nullptr) {
        APP_LOG_INFO("irupdate %s starting: port %s %s, working directory %s", IRUPDATE_VERSION,
                     pstSettings->szDevice, pstSettings->szMode, szCwd);
    } else {
        const CAppLogReason objWhy(errno);
        APP_LOG_INFO("irupdate %s starting: port %s %s, working directory unknown: %s",
                     IRUPDATE_VERSION, pstSettings->szDevice, pstSettings->szMode, objWhy.Text());
    }
}

/// Records why the port could not be set up: s32Result is SerialOpen's code
/// and s32Err the errno value it left.
void LogPortFailure(const SerialPortSettings *pstSettings, int s32Result, int s32Err) {
    const CAppLogReason objWhy(s32Err);
    if (s32Result == SERIAL_OPEN_ERR_MODE) {
        APP_LOG_ERROR("could not set up device %s: line settings \"%s\" incomplete",
                      pstSettings->szDevice, pstSettings->szMode);
    } else if (s32Result == SERIAL_OPEN_ERR_ATTR) {
        APP_LOG_ERROR("could not initialize device %s as %s: %s", pstSettings->szDevice,
                      pstSettings->szMode, objWhy.Text());
    } else {
        APP_LOG_ERROR("could not open device %s: %s", pstSettings->szDevice, objWhy.Text());
    }
}

/// A record as the system log gets it: the priority's name and the message.
/// The system log stamps the time itself, so the record carries none of its own.
class CAppLogLayout : public log4cpp::Layout {
public:
    std::string format(const log4cpp::LoggingEvent &stEvent) override {
        return log4cpp::Priority::getPriorityName(stEvent.priority) + ": " + stEvent.message;
    }
};

} // namespace

void AppLogInit() {
    log4cpp::Category &objRoot = log4cpp::Category::getRoot();
    if (objRoot.getAppender(APP_LOG_SYSLOG_APPENDER) != nullptr) {
        return;
    }
    // The root keeps its default priority (INFO): the course of the update,
    // its warnings and its errors reach the system log, while the serial
    // glue's per-frame debug records stay out.
    auto *pobjAppender =
        new log4cpp::SyslogAppender(APP_LOG_SYSLOG_APPENDER, APP_LOG_SYSLOG_IDENT, LOG_USER);
    // The appender has opened the log without the process id: open it again,
    // with it, so that the records of one run can be told from those of the
    // next. The ident is a constant text, as openlog needs it to outlive the
    // call.
    openlog(APP_LOG_SYSLOG_IDENT, LOG_PID, LOG_USER);
    pobjAppender->setLayout(new CAppLogLayout); // the appender owns it
    objRoot.addAppender(pobjAppender);          // the root owns the appender
}

CIRUpdate::CIRUpdate(const SerialPortSettings *pstSettings)
    : CThread(), m_s32FileFd(-1), m_u32FailCount(0), m_stEndInfo{0, 0, 1},
      m_pstSettings(new (std::nothrow) SerialPortSettings) {
    if (m_pstSettings != nullptr) {
        if (pstSettings != nullptr) {
            memcpy(m_pstSettings, pstSettings, sizeof(*m_pstSettings));
        } else {
            memset(m_pstSettings, 0, sizeof(*m_pstSettings));
        }
        // The texts are handed to open and sscanf: make sure they end.
        m_pstSettings->szDevice[sizeof(m_pstSettings->szDevice) - 1] = '\0';
        m_pstSettings->szMode[sizeof(m_pstSettings->szMode) - 1] = '\0';
    }
    g_eIRUpdateStatus = IR_UPDATE_START;
}

CIRUpdate::~CIRUpdate() {
    // Stop and join first (CThread's destructor would do it only after this
    // body), so a running Entry never sees the settings or the image freed.
    StopAndJoin();
    delete m_pstSettings;
    m_pstSettings = nullptr;
    if (m_s32FileFd >= 0) {
        close(m_s32FileFd);
        m_s32FileFd = -1;
    }
}

int CIRUpdate::Init() {
    (void)CommandProtocolMutexInit();

    // A missing settings copy (allocation failed) leaves empty texts: the
    // open then fails with its message like any unusable device.
    static const SerialPortSettings s_stNoSettings = {};
    const SerialPortSettings *pstSettings =
        m_pstSettings != nullptr ? m_pstSettings : &s_stNoSettings;

    // Stored unchecked: a negative code makes every later read and write
    // fail, and the run waits to be ended from outside.
    LogStart(pstSettings);
    g_u32UartFd = SerialOpen(pstSettings->szDevice, pstSettings->szMode);
    if (g_u32UartFd < 0) {
        LogPortFailure(pstSettings, g_u32UartFd, errno);
    }
    // The pins are routed once the port is open, before the protocol talks.
    UartPinRoute(pstSettings->szDevice, UART_ROUTE_ENABLE, UART_ROUTE_MODE);
    // The handler must be in place before the instance opens and frames flow.
    APP_Comm_Recv_Handler = APP_Comm_Recv_IR_Update;
    return Example_CommandInterfaceInit();
}

void CIRUpdate::Entry() {
    SetName("IR Update");
    (void)Init();
    // The state is IR_UPDATE_START here: this queues the start command.
    UpdateStatusHandle();
    while (!m_bStopRequested.load()) {
        // Does not come back once the engine runs: the engine loop ends this
        // thread when the instance is stopped. It comes back only when no
        // instance is bound, after printing its error line.
        Example_CommandInterfaceRun();
        if (!m_bStopRequested.load()) {
            CThread::Sleep(ENGINE_RETRY_PAUSE_MS);
        }
    }
}

void IRUpdateExit() {
    g_bIRRunFlag = false;
    Example_CommandInterfaceStop();
    if (g_objIRUpdate != nullptr) {
        g_objIRUpdate->RequestStop();
    }
}
