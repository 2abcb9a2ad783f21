#include "runtime/check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void RuntimeCheckFailed(const char *pszCond, const char *pszSource, unsigned u32Line,
                        const char *pszFunction) {
    // The process aborts next whatever happens: a report that cannot be
    // written has nowhere else to go, so the results are of no use.
    (void)fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
                  pszSource, u32Line, pszFunction, pszCond);
    (void)fflush(stderr);
    abort();
}
