// The update thread: link set-up, the first step of the update sequence and
// the protocol engine loop; plus the run's globals and its single way out.
#include "ir_update.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include <log4cpp/Category.hh>
#include <log4cpp/SyslogAppender.hh>

#include "app_log_setup.h"
#include "board/register.h"
#include "board/serial.h"
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

} // namespace

void AppLogInit() {
    log4cpp::Category &objRoot = log4cpp::Category::getRoot();
    if (objRoot.getAppender(APP_LOG_SYSLOG_APPENDER) != nullptr) {
        return;
    }
    // The root keeps its default priority (INFO), so per-frame debug records
    // of the serial glue stay out of the system log while errors reach it.
    objRoot.addAppender(
        new log4cpp::SyslogAppender(APP_LOG_SYSLOG_APPENDER, APP_LOG_SYSLOG_IDENT, LOG_USER));
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
    g_u32UartFd = SerialOpen(pstSettings->szDevice, pstSettings->szMode);
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
