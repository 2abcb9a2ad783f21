// Fuzz target: irdecode's readers and decoder fed an arbitrary capture: as
// text (strace output or an irsim capture, as its first line tells), or, when
// it is neither, as two raw files (its first half the host's bytes, the rest
// the microcontroller's). Reports and errors go to /dev/null.
#include <cstdio>
#include <initializer_list>

#include "irdecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pu8Data, size_t u32Size) {
    static FILE *s_pNull = fopen("/dev/null", "w");
    const size_t u32Half = u32Size / 2;
    // fmemopen does not write to a stream opened for reading.
    auto *pu8Bytes = const_cast<uint8_t *>(pu8Data);
    FILE *pText = u32Size == 0 ? nullptr : fmemopen(pu8Bytes, u32Size, "r");
    if (s_pNull == nullptr || pText == nullptr) {
        return 0;
    }
    IrdContext stCtx;
    stCtx.pOut = stCtx.pErr = s_pNull;
    IrdDecoder objText(&stCtx);
    if (IrdReadText(pText, &objText, &stCtx) == 0) {
        objText.Finish();
    } else {
        FILE *pHost = u32Half == 0 ? nullptr : fmemopen(pu8Bytes, u32Half, "r");
        FILE *pMcu = fmemopen(pu8Bytes + u32Half, u32Size - u32Half, "r");
        stCtx.pszPos = "offset";
        IrdDecoder objRaw(&stCtx);
        IrdReadRaw(pHost, pMcu, &objRaw);
        objRaw.Finish();
        for (FILE *pIn : {pHost, pMcu}) {
            if (pIn != nullptr) {
                (void)fclose(pIn);
            }
        }
    }
    (void)fclose(pText);
    return 0;
}
