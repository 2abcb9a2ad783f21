#include "runtime/check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void RuntimeCheckFailed(const char *pszCond, const char *pszSource, unsigned u32Line,
                        const char *pszFunction) {
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
            pszSource, u32Line, pszFunction, pszCond);
    fflush(stderr);
    abort();
}
