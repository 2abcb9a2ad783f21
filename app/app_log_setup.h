// Where the tool's log records go.
#pragma once

#include <cstring>

/// Gives log4cpp's root category a syslog appender with the ident "irupdate",
/// so records of the "CATEGORY" category that pass the root priority (log4cpp's
/// default, INFO: error records pass, per-frame debug records do not) reach the
/// system log. Idempotent. Call once at start-up, before other threads log.
void AppLogInit();

/// Name of the appender AppLogInit installs on the root category.
constexpr const char *APP_LOG_SYSLOG_APPENDER = "syslog";
/// The ident the tool's records carry in the system log.
constexpr const char *APP_LOG_SYSLOG_IDENT = "irupdate";

/// The text of an errno value for a log record, made without strerror's
/// shared buffer (records are written from more than one thread).
class CAppLogReason {
public:
    explicit CAppLogReason(int s32Err) : m_pszText(strerror_r(s32Err, m_szBuf, sizeof(m_szBuf))) {}
    const char *Text() const { return m_pszText; }

private:
    char m_szBuf[128] = {};
    const char *m_pszText;
};
