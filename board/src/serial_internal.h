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

/// Reads pszMode (NUL-terminated, not null) with "%d-%d%c%d" into *pstFields.
/// Returns the number of fields read, 0 to 4; an empty text gives 0. Fields
/// not read keep the zero they start with. Prints nothing; holds no state.
int SerialParseMode(const char *pszMode, SerialModeFields *pstFields);
