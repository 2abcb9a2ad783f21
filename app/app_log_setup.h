// Where the tool's log records go.
#pragma once

/// Gives log4cpp's root category a syslog appender with the ident "irupdate",
/// so records of the "CATEGORY" category that pass the root priority (log4cpp's
/// default, INFO: error records pass, per-frame debug records do not) reach the
/// system log. Idempotent. Call once at start-up, before other threads log.
void AppLogInit();

/// Name of the appender AppLogInit installs on the root category.
constexpr const char *APP_LOG_SYSLOG_APPENDER = "syslog";
/// The ident the tool's records carry in the system log.
constexpr const char *APP_LOG_SYSLOG_IDENT = "irupdate";
