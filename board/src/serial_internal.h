// Serial set-up internals: the reading of the mode text, apart from the
// device, so that it can be exercised on its own.
#pragma once

/// The four fields of a mode text such as "115200-8n1".
struct SerialModeFields {
    int s32Baud;     // line speed in bit/s
    int s32DataBits; // character size
    char cParity;    // 'e'/'E' even, 'o'/'O' odd, anything else none
    int s32StopBits; // 1, or anything else for two
};

/// Reads pszMode (NUL-terminated, not null) as "<baud>-<data bits><parity
/// letter><stop bits>" into *pstFields, field by field in that order, the
/// numbers as decimal ints (leading white space and a sign allowed, as for
/// scanf's %d). Returns the number of fields read before the text ran out or
/// stopped matching, 0 to 4; a number that does not fit an int ends the
/// reading there. Fields not read are zero. Prints nothing; holds no state.
int SerialParseMode(const char *pszMode, SerialModeFields *pstFields);
