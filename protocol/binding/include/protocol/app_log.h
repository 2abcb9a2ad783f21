// Log records through the log4cpp category "CATEGORY".
//
// Every message ends with " --[<source file>:<line>]".
#pragma once

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

/// The category every record of the tool goes through.
log4cpp::Category &AppLogCategory();

/// The last path component of a source file name.
constexpr const char *AppLogBaseName(const char *pszPath) {
    const char *pszBase = pszPath;
    for (const char *p = pszPath; *p != '\0'; ++p) {
        if (*p == '/') {
            pszBase = p + 1;
        }
    }
    return pszBase;
}

#define APP_LOG(priority, fmt, ...)                                                                \
    AppLogCategory().log((priority), fmt " --[%s:%u]", ##__VA_ARGS__, AppLogBaseName(__FILE__),    \
                         static_cast<unsigned>(__LINE__))
#define APP_LOG_DEBUG(fmt, ...) APP_LOG(log4cpp::Priority::DEBUG, fmt, ##__VA_ARGS__)
#define APP_LOG_INFO(fmt, ...) APP_LOG(log4cpp::Priority::INFO, fmt, ##__VA_ARGS__)
#define APP_LOG_WARNING(fmt, ...) APP_LOG(log4cpp::Priority::WARN, fmt, ##__VA_ARGS__)
#define APP_LOG_ERROR(fmt, ...) APP_LOG(log4cpp::Priority::ERROR, fmt, ##__VA_ARGS__)
