// Command-line options of irsim. Each option is one row of s_astOptions: its
// name, whether it takes a value, its help text and how it is stored. New
// options are new rows.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "irsim.h"
#include "irupdate_version.h"

namespace {

constexpr const char *IRSIM_USAGE =
    "usage: irsim [options]\n"
    "\n"
    "Plays the IR microcontroller's side of a firmware update on a serial link,\n"
    "so that irupdate can be rehearsed and a new image tried out on a PC.\n"
    "Without --device it creates a pseudo-terminal and prints its other end as\n"
    "\"irsim: pty <path>\"; give that path to the tool as its serial port (for\n"
    "irupdate, bind it over /dev/ttyAMA1 in a private mount namespace; see\n"
    "scripts/run.sh). The conversation: 0x600 start -> 0x602 ready with the\n"
    "selector; each 0x604 chunk -> 0x603 next; 0x605 end record -> 0x608 when\n"
    "its checksum equals the sum of the bytes received since the last start,\n"
    "0x606 otherwise, or the next scripted failure report. A report with a\n"
    "point of its own is given there: @start in place of a ready answer, @end\n"
    "in place of a verdict, @N in place of the request that follows the N-th\n"
    "chunk of an attempt (or at the end record, should the attempt have fewer\n"
    "chunks). The others are given where --fail-at says.\n"
    "\n"
    "options:\n";

constexpr const char *IRSIM_EPILOGUE =
    "\n"
    "The image written by --out is what arrived, padding included: a last\n"
    "chunk of 1..4 bytes arrives padded with 0xFF to 8 bytes. --expect compares\n"
    "against the reference as the tool sends it (padded the same way).\n"
    "Faults are drawn from --seed, separately per direction: the n-th byte\n"
    "read (or written) meets the same fate in every run with that seed; which\n"
    "byte it is depends on the run's timing (repetitions shift the stream).\n"
    "\n"
    "At the end irsim prints \"irsim: <name> <value>\" summary lines (start\n"
    "commands, chunks and their sizes, end records, checksum ok/bad, verdict,\n"
    "image match/mismatch, empty transfers, fault counts, timings). An empty\n"
    "transfer is an end record with no chunk before it since the last start:\n"
    "what the tool sends when its image is missing or empty. It ends on SIGTERM or\n"
    "SIGINT, after --timeout, or with --exit-after-result once the last verdict\n"
    "(success, or the --max-failures-th failure report) has been acknowledged\n"
    "and the tool has closed the line (or 1.5 s have passed).\n"
    "\n"
    "--capture FILE records every read and write on the line at the tool's end,\n"
    "one line each: \"<seconds>.<microseconds> host|mcu <bytes in hex>\" after a\n"
    "first line \"# irsim capture 1 ...\". host: the bytes the tool sent, before\n"
    "irsim's receive faults; mcu: the bytes irsim sent, after its transmit\n"
    "faults. The same bytes as strace of the tool shows; irdecode reads both.\n"
    "\n"
    "exit status: 0 the tool was told success (and the image matches --expect);\n"
    "1 anything else; 2 bad options or the link could not be opened.\n";

bool ParseUint(const char *pszText, uint64_t u64Max, uint64_t *pu64Out);
bool ParseDouble(const char *pszText, double dMin, double dMax, double *pdOut);
bool ParseFailList(const char *pszText, std::vector<IrsimFailure> *pvecOut);

bool SetU32(const char *pszText, uint32_t *pu32Out) {
    uint64_t u64Value = 0;
    if (!ParseUint(pszText, UINT32_MAX, &u64Value)) {
        return false;
    }
    *pu32Out = static_cast<uint32_t>(u64Value);
    return true;
}
bool SetFraction(const char *pszText, double *pdOut) {
    return ParseDouble(pszText, 0.0, 1.0, pdOut);
}

/// One option: its name, its value's placeholder (null for a flag), its help
/// line, and the setter that checks and stores the value (false: refused;
/// the text then says what it needs; null: the option prints and irsim ends).
struct IrsimOptRow {
    const char *pszName;
    const char *pszArg;
    const char *pszHelp;
    const char *pszNeeds;
    bool (*pfnSet)(IrsimOptions *pstOpt, const char *pszValue);
};

constexpr IrsimOptRow s_astOptions[] = {
    {"--device", "PATH", "use this serial device instead of creating a pty", "",
     [](IrsimOptions *p, const char *v) { return p->strDevice = v, true; }},
    {"--link", "PATH", "also make PATH a symbolic link to the pty's other end", "",
     [](IrsimOptions *p, const char *v) { return p->strLink = v, true; }},
    {"--selector", "N", "image selector in the ready answer (default 2: ir_4000.bin)",
     "an unsigned 32-bit number",
     [](IrsimOptions *p, const char *v) { return SetU32(v, &p->u32Selector); }},
    {"--ready-len", "N", "payload length of the ready answer, 4..512 (default 4)",
     "a length from 4 to 512",
     [](IrsimOptions *p, const char *v) {
         return SetU32(v, &p->u32ReadyLen) && p->u32ReadyLen >= 4 &&
                p->u32ReadyLen <= static_cast<uint32_t>(CMD_FRAME_MAX_PAYLOAD);
     }},
    {"--fail", "LIST",
     "failure reports to give, in order, as hex codes, each with an optional point\n"
     "                           (@start, @end, @N: the N-th chunk): e.g. 606,607@start,601@12",
     "hex codes separated by commas, each optionally followed by @start, @end or @N (N >= 1)",
     [](IrsimOptions *p, const char *v) { return ParseFailList(v, &p->vecFail); }},
    {"--fail-at", "WHERE",
     "end: give them in answer to end records (default); start: to start commands", "end or start",
     [](IrsimOptions *p, const char *v) {
         std::string s(v);
         p->eFailAt = s == "start" ? IRSIM_FAIL_AT_START : IRSIM_FAIL_AT_END;
         return s == "start" || s == "end";
     }},
    {"--max-failures", "N", "failure reports after which the tool gives up (default 3)",
     "a number of at least 1",
     [](IrsimOptions *p, const char *v) {
         return SetU32(v, &p->u32MaxFailures) && p->u32MaxFailures > 0;
     }},
    {"--min-bytes", "N",
     "answer an end record after fewer than N image bytes with 0x606, as a\n"
     "                           microcontroller whose check fails (default 0: take any)",
     "an unsigned number",
     [](IrsimOptions *p, const char *v) { return ParseUint(v, UINT64_MAX, &p->u64MinBytes); }},
    {"--out", "FILE", "write the received image here (rewritten by every attempt)", "",
     [](IrsimOptions *p, const char *v) { return p->strOut = v, true; }},
    {"--expect", "FILE", "reference image: say whether the received image matches it", "",
     [](IrsimOptions *p, const char *v) { return p->strExpect = v, true; }},
    {"--exit-after-result", nullptr, "exit once the last verdict has been given and taken", "",
     [](IrsimOptions *p, const char *) { return p->bExitAfterResult = true; }},
    {"--timeout", "SEC", "exit after SEC seconds whatever happens (default: never)",
     "a number of seconds",
     [](IrsimOptions *p, const char *v) { return ParseDouble(v, 0.0, 1e6, &p->dTimeoutSec); }},
    {"--seed", "N", "seed of every fault (default 1)", "an unsigned number",
     [](IrsimOptions *p, const char *v) { return ParseUint(v, UINT64_MAX, &p->u64Seed); }},
    {"--garbage", "P", "fraction of outgoing frames preceded by 1..16 noise bytes",
     "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dGarbage); }},
    {"--corrupt-rx", "P", "fraction of received bytes altered", "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dCorruptRx); }},
    {"--corrupt-tx", "P", "fraction of sent bytes altered", "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dCorruptTx); }},
    {"--drop-rx", "P", "fraction of received bytes lost", "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dDropRx); }},
    {"--drop-tx", "P", "fraction of sent bytes lost", "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dDropTx); }},
    {"--withhold-ack", "P", "fraction of acknowledgements not sent", "a fraction from 0 to 1",
     [](IrsimOptions *p, const char *v) { return SetFraction(v, &p->dWithholdAck); }},
    {"--silent", nullptr, "never answer: no acknowledgement, no command", "",
     [](IrsimOptions *p, const char *) { return p->bSilent = true; }},
    {"--baud", "N", "pace the line at N bit/s, 10 bits a byte, both ways (default: unpaced)",
     "a rate of at least 300 bit/s",
     [](IrsimOptions *p, const char *v) { return SetU32(v, &p->u32Baud) && p->u32Baud >= 300; }},
    {"--send-file", "PATH", "send this file to the tool before answering its first start", "",
     [](IrsimOptions *p, const char *v) { return p->strSendFile = v, true; }},
    {"--send-name", "NAME", "name to announce the file under (default: its base name)", "",
     [](IrsimOptions *p, const char *v) { return p->strSendName = v, true; }},
    {"--recv-dir", "DIR", "create files that the tool sends in DIR (irsim works there)", "",
     [](IrsimOptions *p, const char *v) { return p->strRecvDir = v, true; }},
    {"--capture", "FILE", "record the line's traffic, both ways, in FILE (see below)", "",
     [](IrsimOptions *p, const char *v) { return p->strCapture = v, true; }},
    {"--verbose", nullptr, "protocol diagnostics and a line per command", "",
     [](IrsimOptions *p, const char *) { return p->bVerbose = true; }},
    {"--help", nullptr, "this text", "", nullptr},
    {"--version", nullptr, "print the version", "", nullptr},
};

void PrintHelp() {
    // Help text for a person at a terminal; there is no one else to tell.
    (void)fputs(IRSIM_USAGE, stdout);
    for (const IrsimOptRow &stRow : s_astOptions) {
        std::string strLeft = std::string("  ") + stRow.pszName;
        if (stRow.pszArg != nullptr) {
            strLeft += std::string(" ") + stRow.pszArg;
        }
        printf("%-26s %s\n", strLeft.c_str(), stRow.pszHelp);
    }
    (void)fputs(IRSIM_EPILOGUE, stdout);
}

bool ParseUint(const char *pszText, uint64_t u64Max, uint64_t *pu64Out) {
    char *pszEnd = nullptr;
    errno = 0;
    unsigned long long u64Value = strtoull(pszText, &pszEnd, 0);
    if (errno != 0 || pszEnd == pszText || *pszEnd != '\0' || pszText[0] == '-' ||
        u64Value > u64Max) {
        return false;
    }
    *pu64Out = u64Value;
    return true;
}

bool ParseDouble(const char *pszText, double dMin, double dMax, double *pdOut) {
    char *pszEnd = nullptr;
    errno = 0;
    double dValue = strtod(pszText, &pszEnd);
    if (errno != 0 || pszEnd == pszText || *pszEnd != '\0' || !(dValue >= dMin) ||
        !(dValue <= dMax)) {
        return false;
    }
    *pdOut = dValue;
    return true;
}

/// The point of one failure report: "start", "end" or a chunk number from 1.
bool ParseFailPoint(const std::string &strPoint, IrsimFailure *pstOut) {
    pstOut->bDefaultPoint = false;
    if (strPoint == "start" || strPoint == "end") {
        pstOut->eWhere = strPoint == "start" ? IRSIM_FAIL_AT_START : IRSIM_FAIL_AT_END;
        return true;
    }
    uint64_t u64Chunk = 0;
    if (!ParseUint(strPoint.c_str(), UINT32_MAX, &u64Chunk) || u64Chunk == 0) {
        return false;
    }
    pstOut->eWhere = IRSIM_FAIL_AT_CHUNK;
    pstOut->u32Chunk = static_cast<uint32_t>(u64Chunk);
    return true;
}

/// "606,607@start,601@12" (hex codes, an optional 0x, each with an optional
/// point) into failure reports.
bool ParseFailList(const char *pszText, std::vector<IrsimFailure> *pvecOut) {
    pvecOut->clear();
    std::string strList(pszText);
    size_t u32Pos = 0;
    while (u32Pos <= strList.size()) {
        size_t u32Comma = strList.find(',', u32Pos);
        if (u32Comma == std::string::npos) {
            u32Comma = strList.size();
        }
        std::string strItem = strList.substr(u32Pos, u32Comma - u32Pos);
        IrsimFailure stFailure;
        size_t u32At = strItem.find('@');
        if (u32At != std::string::npos) {
            if (!ParseFailPoint(strItem.substr(u32At + 1), &stFailure)) {
                return false;
            }
            strItem.resize(u32At);
        }
        if (strItem.empty()) {
            return false;
        }
        char *pszEnd = nullptr;
        errno = 0;
        unsigned long u32Code = strtoul(strItem.c_str(), &pszEnd, 16);
        if (errno != 0 || *pszEnd != '\0' || u32Code > 0xFFFF || strItem[0] == '-') {
            return false;
        }
        stFailure.u16Code = static_cast<uint16_t>(u32Code);
        pvecOut->push_back(stFailure);
        u32Pos = u32Comma + 1;
    }
    return true;
}

int UsageError(const char *pszOpt, const char *pszWhy) {
    // The result tells the caller; the line is for the person who typed it.
    (void)fprintf(stderr, "irsim: %s: %s (see --help)\n", pszOpt, pszWhy);
    return -1;
}

} // namespace

int IrsimParseOptions(int argc, char **argv, IrsimOptions *pstOpt) {
    for (int i = 1; i < argc; ++i) {
        std::string strArg(argv[i]);
        std::string strValue;
        bool bHasInlineValue = false;
        size_t u32Eq = strArg.find('=');
        if (strArg.rfind("--", 0) == 0 && u32Eq != std::string::npos) {
            strValue = strArg.substr(u32Eq + 1);
            strArg = strArg.substr(0, u32Eq);
            bHasInlineValue = true;
        }
        const IrsimOptRow *pstRow = nullptr;
        for (const IrsimOptRow &stRow : s_astOptions) {
            if (strArg == stRow.pszName) {
                pstRow = &stRow;
                break;
            }
        }
        if (pstRow == nullptr) {
            return UsageError(argv[i], "unknown option");
        }
        if (pstRow->pfnSet == nullptr) {
            if (strArg == "--version") {
                printf("irsim %s\n", IRUPDATE_VERSION);
            } else {
                PrintHelp();
            }
            return 1;
        }
        if (pstRow->pszArg != nullptr && !bHasInlineValue) {
            if (i + 1 >= argc) {
                return UsageError(pstRow->pszName, "needs a value");
            }
            strValue = argv[++i];
        } else if (pstRow->pszArg == nullptr && bHasInlineValue) {
            return UsageError(pstRow->pszName, "takes no value");
        }
        if (!pstRow->pfnSet(pstOpt, strValue.c_str())) {
            return UsageError(pstRow->pszName, (std::string("needs ") + pstRow->pszNeeds).c_str());
        }
    }
    return 0;
}
