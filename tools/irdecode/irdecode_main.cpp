// irdecode's process: options, the input files, a reader, the decoder.
#include <cerrno>
#include <cstring>
#include <string>

#include "irdecode.h"
#include "irupdate_version.h"

namespace {

constexpr const char *IRD_HELP =
    "usage: irdecode [--quiet] CAPTURE\n"
    "       irdecode [--quiet] [--host FILE] [--mcu FILE]\n"
    "\n"
    "Tells what happened on the serial line between irupdate (the host) and the\n"
    "IR microcontroller: a line per frame, then a summary of the update. CAPTURE\n"
    "(- for standard input) is either of:\n"
    "  strace output of the tool on the board, taken with\n"
    "    strace -f -tt -xx -s 65535 -e trace=read,write -o FILE irupdate\n"
    "    The serial port is the first descriptor above 2 that is written a frame\n"
    "    start (a5 5a); its writes are the host's bytes, its reads the\n"
    "    microcontroller's; other descriptors are left out.\n"
    "  a capture written by irsim --capture FILE.\n"
    "--host and --mcu read raw bytes, a file per direction; without times, the\n"
    "two are taken in turns, each until it has sent a frame other than an\n"
    "acknowledgement. Inputs are only read.\n"
    "\n"
    "options:\n"
    "  --host FILE   raw bytes the host sent\n"
    "  --mcu FILE    raw bytes the microcontroller sent\n"
    "  --quiet       the summary only, no frame lines\n"
    "  --version     the version\n"
    "  --help        this text\n"
    "\n"
    "A frame line: time, direction, sn, command code and name, len, crc ok or\n"
    "BAD, \"key K\" when enciphered (the content shown is deciphered), then what\n"
    "the frame means, or \"repeat K of sn N\". Acknowledgements name their frame\n"
    "and how long it waited; frames never acknowledged are listed, and so are\n"
    "bytes in no frame (with their line or offset) and filler bytes. The summary\n"
    "ends with \"irdecode: <name> <value>\" lines: frames-host, frames-mcu,\n"
    "crc-bad, repeats, chunks, image-bytes, checksum ok|bad|none, outcome\n"
    "success|gave-up|failed|incomplete and more.\n"
    "\n"
    "exit status: 0 the input was read whole; 1 the input has faults (each is\n"
    "reported with its line or offset on standard error, and the rest is still\n"
    "decoded); 2 bad options, an input that cannot be read, or one that is\n"
    "neither format.\n";

int Usage(const char *pszWhat, const char *pszWhy) {
    // The status tells the caller; the line is for the person who typed it.
    (void)fprintf(stderr, "irdecode: %s: %s (see --help)\n", pszWhat, pszWhy);
    return 2;
}

/// Opens a file to read (- is standard input); null after saying why.
FILE *OpenInput(const std::string &strPath) {
    if (strPath == "-") {
        return stdin;
    }
    FILE *pIn = fopen(strPath.c_str(), "rb");
    if (pIn == nullptr) {
        (void)fprintf(stderr, "irdecode: cannot read %s: %s\n", strPath.c_str(), strerror(errno));
    }
    return pIn;
}

} // namespace

int main(int argc, char **argv) {
    // The protocol code used here prints nothing of its own into the report.
    elogLev = 0;
    IrdContext stCtx;
    std::string strCapture, strHost, strMcu;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg(argv[i]);
        if (strArg == "--help") {
            (void)fputs(IRD_HELP, stdout);
            return 0;
        }
        if (strArg == "--version") {
            (void)printf("irdecode %s\n", IRUPDATE_VERSION);
            return 0;
        }
        if (strArg == "--quiet") {
            stCtx.bFrames = false;
        } else if (strArg == "--host" || strArg == "--mcu") {
            if (i + 1 >= argc) {
                return Usage(argv[i], "needs a file");
            }
            (strArg == "--host" ? strHost : strMcu) = argv[++i];
        } else if (strArg.size() > 1 && strArg[0] == '-') {
            return Usage(argv[i], "unknown option");
        } else if (!strCapture.empty()) {
            return Usage(argv[i], "one capture at a time");
        } else {
            strCapture = strArg;
        }
    }
    if (strCapture.empty() == (strHost.empty() && strMcu.empty())) {
        return Usage(strCapture.empty() ? "no input" : strCapture.c_str(),
                     "give a capture, or raw files with --host and --mcu");
    }

    int s32Status = 0;
    if (!strCapture.empty()) {
        FILE *pIn = OpenInput(strCapture);
        if (pIn == nullptr) {
            return 2;
        }
        stCtx.pszInput = strCapture.c_str();
        IrdDecoder objDec(&stCtx);
        const int s32Read = IrdReadText(pIn, &objDec, &stCtx);
        if (s32Read == 0) {
            objDec.Finish();
        }
        s32Status = s32Read != 0 ? 2 : 0;
        if (pIn != stdin) {
            (void)fclose(pIn); // read only: nothing to lose
        }
    } else {
        FILE *pHost = strHost.empty() ? nullptr : OpenInput(strHost);
        FILE *pMcu = strMcu.empty() ? nullptr : OpenInput(strMcu);
        if ((pHost == nullptr && !strHost.empty()) || (pMcu == nullptr && !strMcu.empty())) {
            return 2;
        }
        stCtx.pszInput = strHost.empty() ? strMcu.c_str() : strHost.c_str();
        stCtx.pszPos = "offset";
        IrdDecoder objDec(&stCtx);
        IrdReadRaw(pHost, pMcu, &objDec);
        objDec.Finish();
        for (FILE *pIn : {pHost, pMcu}) {
            if (pIn != nullptr && pIn != stdin) {
                (void)fclose(pIn);
            }
        }
    }
    if (s32Status == 0 && stCtx.u64Errors != 0) {
        s32Status = 1;
    }
    return fflush(stdout) != 0 ? 2 : s32Status;
}
