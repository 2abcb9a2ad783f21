// The one path for the protocol's coloured diagnostic lines.
//
// Every line is "<colour>[transfer][<operation>,<line>] <message>\033[0m\r\n",
// printed in one write when elogLev reaches the line's level.
#pragma once

#include <cstdint>

#include "protocol/command_protocol.h"

#define CMD_COLOUR_ERROR "\033[31m"
#define CMD_COLOUR_TRACE "\033[33m"
#define CMD_COLOUR_INFO "\033[36m"

void CommandProtocolDiag(int32_t s32Level, const char *pszColour, const char *pszFunc, int s32Line,
                         const char *pszFmt, ...) __attribute__((format(printf, 5, 6)));

/// Error line (red), printed when elogLev >= 1.
#define CMD_ERROR(...) CommandProtocolDiag(1, CMD_COLOUR_ERROR, __func__, __LINE__, __VA_ARGS__)
/// Trace line (yellow), printed when elogLev >= 2.
#define CMD_TRACE(...) CommandProtocolDiag(2, CMD_COLOUR_TRACE, __func__, __LINE__, __VA_ARGS__)
/// Information line (cyan), printed when elogLev >= 3.
#define CMD_INFO(...) CommandProtocolDiag(3, CMD_COLOUR_INFO, __func__, __LINE__, __VA_ARGS__)

// The same lines in the name of the operation pszOp: for the steps an
// operation is made of, whose lines name the operation, not the step.
#define CMD_ERROR_IN(pszOp, ...)                                                                   \
    CommandProtocolDiag(1, CMD_COLOUR_ERROR, (pszOp), __LINE__, __VA_ARGS__)
#define CMD_TRACE_IN(pszOp, ...)                                                                   \
    CommandProtocolDiag(2, CMD_COLOUR_TRACE, (pszOp), __LINE__, __VA_ARGS__)
#define CMD_INFO_IN(pszOp, ...)                                                                    \
    CommandProtocolDiag(3, CMD_COLOUR_INFO, (pszOp), __LINE__, __VA_ARGS__)
