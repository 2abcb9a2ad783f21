// Programming-error checks of the runtime classes.
//
// RUNTIME_CHECK stops the process the way the C library's assert does:
// "<program>: <source>:<line>: <function>: Assertion `<condition>' failed."
// on standard error, then abort(). It stays active in every build type: these
// checks guard locking rules and resource exhaustion, so they must not vanish
// under NDEBUG.
#pragma once

/// Prints the assertion report and aborts.
[[noreturn]] void RuntimeCheckFailed(const char *pszCond, const char *pszSource, unsigned u32Line,
                                     const char *pszFunction);

#define RUNTIME_CHECK(source, cond)                                                                \
    ((cond) ? static_cast<void>(0)                                                                 \
            : RuntimeCheckFailed(#cond, source, __LINE__, __PRETTY_FUNCTION__))
