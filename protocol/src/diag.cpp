#include "diag.h"

#include <cstdarg>
#include <cstdio>

int32_t elogLev = 5;

void CommandProtocolDiag(int32_t s32Level, const char *pszColour, const char *pszFunc, int s32Line,
                         const char *pszFmt, ...) {
    if (elogLev < s32Level) {
        return;
    }
    // Formatted into one buffer and written with one call, so lines from the
    // engine threads and the application never interleave.
    char szLine[512];
    int s32Len =
        snprintf(szLine, sizeof(szLine), "%s[transfer][%s,%d] ", pszColour, pszFunc, s32Line);
    if (s32Len < 0) {
        return;
    }
    va_list stArgs;
    va_start(stArgs, pszFmt);
    if (static_cast<size_t>(s32Len) < sizeof(szLine)) {
        int s32Body = vsnprintf(szLine + s32Len, sizeof(szLine) - s32Len, pszFmt, stArgs);
        if (s32Body > 0) {
            s32Len += s32Body;
        }
    }
    va_end(stArgs);
    if (static_cast<size_t>(s32Len) >= sizeof(szLine)) {
        s32Len = sizeof(szLine) - 1;
    }
    printf("%.*s\033[0m\r\n", s32Len, szLine);
    // Diagnostics are best effort: a console that cannot take the line must
    // not change what the protocol does.
    (void)fflush(stdout);
}
