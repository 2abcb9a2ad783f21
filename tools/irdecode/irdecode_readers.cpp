// The readers: strace output of the tool and irsim captures (text, line by
// line, the format told by the first line), and raw byte files.
//
// strace: `strace -f -tt -xx -s 65535 -e trace=read,write -o FILE irupdate`.
// The serial port is the first descriptor above 2 written a frame start
// (0xA5 0x5A): the tool writes every frame with one write from its first
// byte, and nothing else it writes (standard output and error, the success
// record) starts so. Its writes are the host's bytes, its reads the
// microcontroller's. Reads that come before that write are held (64 KiB at
// most) if their descriptor has answered a read with EAGAIN, as only the
// non-blocking port does: the same number may have been a file before the
// port was opened (the loader reads libraries on it), and open() need not be
// in the trace.
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>
#include <algorithm>

#include "irdecode.h"

void IrdContext::Error(uint64_t u64Pos, const char *pszFormat, ...) {
    ++u64Errors;
    (void)fprintf(pErr, "irdecode: %s: %s %llu: ", pszInput, pszPos,
                  static_cast<unsigned long long>(u64Pos));
    va_list stArgs;
    va_start(stArgs, pszFormat);
    (void)vfprintf(pErr, pszFormat, stArgs);
    va_end(stArgs);
    (void)fputc('\n', pErr);
}

namespace {

// A read or write of 65535 bytes shown as \xNN, and its call around it.
constexpr size_t IRD_LINE_MAX = size_t{4} * 0xFFFF + 4096;
constexpr size_t IRD_HELD_MAX = size_t{64} * 1024; // bytes held until the port is known
constexpr size_t IRD_UNFINISHED_MAX = 64;          // calls left unfinished (one per thread)
constexpr int IRD_FD_MAX = 1024;
constexpr int64_t IRD_HALF_DAY_US = int64_t{43200} * 1000000;
constexpr long long IRD_EPOCH_MAX = 100000000000LL; // seconds (year 5138): far from overflow

/// One line of at most IRD_LINE_MAX bytes, without its end; a longer line is
/// cut (*pbLong). *pbEnded: the line had its newline. False at the end.
bool ReadLine(FILE *pIn, std::string *pstrLine, bool *pbLong, bool *pbEnded) {
    pstrLine->clear();
    *pbLong = false;
    int c = 0;
    while ((c = getc_unlocked(pIn)) != EOF && c != '\n') {
        if (pstrLine->size() < IRD_LINE_MAX) {
            pstrLine->push_back(static_cast<char>(c));
        } else {
            *pbLong = true;
        }
    }
    *pbEnded = c == '\n';
    return c != EOF || !pstrLine->empty();
}

/// A cursor over one line.
struct Cursor {
    const char *p;
    const char *pEnd;
    bool Eat(const char *pszText) {
        const size_t n = strlen(pszText);
        if (static_cast<size_t>(pEnd - p) < n || memcmp(p, pszText, n) != 0) {
            return false;
        }
        p += n;
        return true;
    }
    void Spaces() {
        while (p < pEnd && *p == ' ') {
            ++p;
        }
    }
    bool Digit() const { return p < pEnd && isdigit(static_cast<unsigned char>(*p)) != 0; }
    /// A decimal number of up to 18 digits (a sign when bSigned).
    bool Number(long long *ps64Value, bool bSigned = false) {
        const bool bMinus = bSigned && Eat("-");
        long long s64Value = 0;
        int s32Digits = 0;
        for (; Digit() && s32Digits < 18; ++p, ++s32Digits) {
            s64Value = s64Value * 10 + (*p - '0');
        }
        *ps64Value = bMinus ? -s64Value : s64Value;
        return s32Digits != 0 && !Digit();
    }
    /// Six digits of a fraction of a second, fewer or more taken as they stand.
    bool Micros(long long *ps64Us) {
        long long s64Scale = 100000;
        *ps64Us = 0;
        if (!Digit()) {
            return false;
        }
        for (; Digit(); ++p, s64Scale /= 10) {
            *ps64Us += (*p - '0') * s64Scale;
        }
        return true;
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/// Seconds since the epoch to the decoder's times: the local time of day
/// (the offset from UTC taken once, at the first time read).
int64_t EpochToLocal(long long s64Sec, long long s64Us) {
    static long s_s32Offset = [s64Sec] {
        const time_t tSec = static_cast<time_t>(s64Sec);
        tm stTm{};
        return localtime_r(&tSec, &stTm) != nullptr ? stTm.tm_gmtoff : 0L;
    }();
    return (s64Sec + s_s32Offset) * 1000000 + s64Us;
}

/// A call's name and its opening parenthesis, as strace starts a line.
bool StartsCall(Cursor *pc) {
    const char *p = pc->p;
    while (p < pc->pEnd && (isalnum(static_cast<unsigned char>(*p)) != 0 || *p == '_')) {
        ++p;
    }
    return p != pc->p && p < pc->pEnd && *p == '(';
}

/// irsim --capture: "<seconds>.<microseconds> host|mcu <hex>" lines.
void CaptureLine(Cursor c, uint64_t u64Line, IrdDecoder *pobjDec, IrdContext *pstCtx) {
    if (c.p == c.pEnd || *c.p == '#') {
        return;
    }
    long long s64Sec = 0, s64Us = 0;
    const bool bTime =
        c.Number(&s64Sec) && s64Sec < IRD_EPOCH_MAX && c.Eat(".") && c.Micros(&s64Us);
    const bool bHost = bTime && c.Eat(" host ");
    const int s32Dir = bHost ? IRD_HOST : IRD_MCU;
    if (!bTime || !(bHost || c.Eat(" mcu ")) || (c.pEnd - c.p) % 2 != 0) {
        pstCtx->Error(u64Line, "not a capture line");
        return;
    }
    std::vector<uint8_t> vecBytes;
    for (; c.p < c.pEnd; c.p += 2) {
        const int s32High = HexDigit(c.p[0]), s32Low = HexDigit(c.p[1]);
        if (s32High < 0 || s32Low < 0) {
            pstCtx->Error(u64Line, "not a capture line: '%c%c' is no hex byte", c.p[0], c.p[1]);
            return;
        }
        vecBytes.push_back(static_cast<uint8_t>(s32High << 4 | s32Low));
    }
    pobjDec->Feed(s32Dir, EpochToLocal(s64Sec, s64Us), vecBytes.data(), vecBytes.size(), u64Line);
}

/// strace output, see the top of the file.
class StraceReader {
public:
    StraceReader(IrdDecoder *pobjDec, IrdContext *pstCtx) : m_pobjDec(pobjDec), m_pstCtx(pstCtx) {}
    /// The line's pid (if any) and time, up to the call; false without a time.
    bool Prefix(Cursor *pc, long long *ps64Pid, int64_t *ps64Time);
    void Line(Cursor c, uint64_t u64Line, bool bEnded);
    void Finish(uint64_t u64Lines);

private:
    struct Call {
        long long s64Pid = 0;
        bool bWrite = false;
        long long s64Fd = -1;
        int64_t s64Time = IRD_NO_TIME;
        std::vector<uint8_t> vecData;
        uint64_t u64Line = 0;
    };
    void Unfinished(Call &&stCall) {
        if (m_vecUnfinished.size() >= IRD_UNFINISHED_MAX) {
            m_vecUnfinished.erase(m_vecUnfinished.begin()); // bounded: a thread per entry
        }
        m_vecUnfinished.push_back(std::move(stCall));
    }
    bool String(Cursor *pc, std::vector<uint8_t> *pvecOut);
    void Done(const Call &stCall, long long s64Ret, bool bAgain);

    IrdDecoder *m_pobjDec;
    IrdContext *m_pstCtx;
    int64_t m_s64Last = 0; // the last time read
    int64_t m_s64Days = 0; // added to -tt times once they pass midnight
    std::vector<Call> m_vecUnfinished;
    long long m_s64Port = -1;
    std::vector<bool> m_vecAgain = std::vector<bool>(IRD_FD_MAX, false);
    std::vector<Call> m_vecHeld; // reads before the port is known
    size_t m_u32Held = 0;
    uint64_t m_u64HeldLost = 0;
};

bool StraceReader::Prefix(Cursor *pc, long long *ps64Pid, int64_t *ps64Time) {
    Cursor &c = *pc;
    long long s64H = 0, s64M = 0, s64S = 0, s64Us = 0;
    Cursor stTry = c;
    *ps64Pid = 0;
    if (stTry.Number(ps64Pid) && stTry.Eat(" ")) { // -f: the thread's pid
        c = stTry;
        c.Spaces();
    }
    // -tt: the local time of day (-t: without the fraction).
    if (!c.Number(&s64H) || !c.Eat(":") || !c.Number(&s64M) || !c.Eat(":") || !c.Number(&s64S) ||
        (c.Eat(".") && !c.Micros(&s64Us)) || s64H > 23 || s64M > 59 || s64S > 60 || !c.Eat(" ")) {
        return false;
    }
    const int64_t s64Time = ((s64H * 60 + s64M) * 60 + s64S) * 1000000 + s64Us;
    if (s64Time + m_s64Days < m_s64Last - IRD_HALF_DAY_US) {
        m_s64Days += 2 * IRD_HALF_DAY_US; // past midnight
    }
    *ps64Time = m_s64Last = s64Time + m_s64Days;
    return true;
}

// The calls' shapes:
//   read(FD, "DATA"[...], COUNT) = RET        read(FD, 0xADDR, COUNT) = -1 EAGAIN (...)
//   write(FD, "DATA"[...], COUNT) = RET
//   read(FD,  <unfinished ...>               <... read resumed>"DATA", COUNT) = RET
//   write(FD, "DATA", COUNT <unfinished ...>  <... write resumed>) = RET
// "..." after a string: cut by -s; the missing bytes are a gap.
void StraceReader::Line(Cursor c, uint64_t u64Line, bool bEnded) {
    Call stCall;
    stCall.u64Line = u64Line;
    if (!Prefix(&c, &stCall.s64Pid, &stCall.s64Time)) {
        m_pstCtx->Error(u64Line, bEnded ? "not an strace line" : "truncated strace line");
        return;
    }
    const char *pszBad = bEnded ? "not an strace line" : "truncated strace line";
    const bool bRead = c.Eat("read(");
    const bool bResumed = !bRead && !c.Eat("write(");
    if (!bResumed) {
        stCall.bWrite = !bRead;
        if (!c.Number(&stCall.s64Fd) || !c.Eat(", ")) {
            m_pstCtx->Error(u64Line, "%s", pszBad);
            return;
        }
    } else if (c.Eat("<... write resumed>")) {
        stCall.bWrite = true;
    } else if (!c.Eat("<... read resumed>")) {
        return; // another call, a signal, an exit: not the line's traffic
    }
    if (bResumed) {
        size_t i = 0;
        while (i < m_vecUnfinished.size() && (m_vecUnfinished[i].s64Pid != stCall.s64Pid ||
                                              m_vecUnfinished[i].bWrite != stCall.bWrite)) {
            ++i;
        }
        if (i == m_vecUnfinished.size()) {
            m_pstCtx->Error(u64Line, "a resumed call whose start is not in the trace");
            return;
        }
        const Call stStart = std::move(m_vecUnfinished[i]);
        m_vecUnfinished.erase(m_vecUnfinished.begin() + static_cast<long>(i));
        stCall.s64Fd = stStart.s64Fd;
        if (stCall.bWrite) {
            stCall.vecData = stStart.vecData;
            stCall.s64Time = stStart.s64Time; // a write's bytes leave when it starts
        }
    }
    long long s64Ret = 0;
    if (!stCall.bWrite || !bResumed) {
        // The buffer: a string, or an address when nothing was read.
        if (c.p < c.pEnd && *c.p == '"') {
            if (!String(&c, &stCall.vecData)) {
                m_pstCtx->Error(u64Line, "truncated strace line: the string does not end");
                return;
            }
        } else if (c.Eat(" <unfinished ...>")) {
            Unfinished(std::move(stCall)); // a read: its bytes come on resumption
            return;
        } else {
            while (c.p < c.pEnd && *c.p != ',') {
                ++c.p;
            }
        }
        long long s64Count = 0;
        if (!c.Eat(", ") || !c.Number(&s64Count)) {
            m_pstCtx->Error(u64Line, "%s", pszBad);
            return;
        }
        if (c.Eat(" <unfinished ...>")) {
            Unfinished(std::move(stCall)); // a write: its result comes on resumption
            return;
        }
    }
    // strace pads short calls to line their results up.
    if (!c.Eat(")") || (c.Spaces(), !c.Eat("= "))) {
        m_pstCtx->Error(u64Line, "%s", pszBad);
        return;
    }
    if (c.Eat("?")) {
        return; // the process went away during the call
    }
    if (!c.Number(&s64Ret, true)) {
        m_pstCtx->Error(u64Line, "truncated strace line: no result");
        return;
    }
    Done(stCall, s64Ret, s64Ret < 0 && c.Eat(" EAGAIN"));
}

/// A quoted string with strace's escapes; *pc ends after it (and its "...").
bool StraceReader::String(Cursor *pc, std::vector<uint8_t> *pvecOut) {
    Cursor &c = *pc;
    ++c.p; // the opening quote
    while (c.p < c.pEnd && *c.p != '"') {
        if (*c.p != '\\') {
            pvecOut->push_back(static_cast<uint8_t>(*c.p++));
            continue;
        }
        if (c.pEnd - c.p < 2) {
            return false;
        }
        const char cEsc = c.p[1];
        c.p += 2;
        static const char s_acFrom[] = "ntrvfab\\\"'";
        static const char s_acTo[] = "\n\t\r\v\f\a\b\\\"'";
        const char *pcAt = strchr(s_acFrom, cEsc);
        if (cEsc == 'x') {
            const int s32High = c.p < c.pEnd ? HexDigit(c.p[0]) : -1;
            const int s32Low = c.pEnd - c.p >= 2 ? HexDigit(c.p[1]) : -1;
            if (s32High < 0 || s32Low < 0) {
                return false;
            }
            pvecOut->push_back(static_cast<uint8_t>(s32High << 4 | s32Low));
            c.p += 2;
        } else if (cEsc >= '0' && cEsc <= '7') {
            int s32Value = cEsc - '0';
            for (int i = 0; i < 2 && c.p < c.pEnd && *c.p >= '0' && *c.p <= '7'; ++i) {
                s32Value = s32Value * 8 + (*c.p++ - '0');
            }
            pvecOut->push_back(static_cast<uint8_t>(s32Value));
        } else if (cEsc != '\0' && pcAt != nullptr) {
            pvecOut->push_back(static_cast<uint8_t>(s_acTo[pcAt - s_acFrom]));
        } else {
            return false;
        }
    }
    if (c.p == c.pEnd) {
        return false;
    }
    ++c.p;
    c.Eat("...");
    return true;
}

void StraceReader::Done(const Call &stCall, long long s64Ret, bool bAgain) {
    if (bAgain && !stCall.bWrite && stCall.s64Fd >= 0 && stCall.s64Fd < IRD_FD_MAX) {
        m_vecAgain[static_cast<size_t>(stCall.s64Fd)] = true;
    }
    if (s64Ret <= 0 || stCall.s64Fd <= 2) {
        return;
    }
    if (m_s64Port < 0) {
        const std::vector<uint8_t> &v = stCall.vecData;
        if (stCall.bWrite && v.size() >= 2 && v[0] == CMD_FRAME_SYNC1 && v[1] == CMD_FRAME_SYNC2) {
            m_s64Port = stCall.s64Fd;
            for (const Call &stHeld : m_vecHeld) {
                if (stHeld.s64Fd == m_s64Port) {
                    Done(stHeld, static_cast<long long>(stHeld.vecData.size()), false);
                }
            }
            m_vecHeld.clear();
        } else if (!stCall.bWrite && stCall.s64Fd < IRD_FD_MAX &&
                   m_vecAgain[static_cast<size_t>(stCall.s64Fd)]) {
            if (m_u32Held + v.size() > IRD_HELD_MAX) {
                m_u64HeldLost += v.size();
                return;
            }
            m_u32Held += v.size();
            m_vecHeld.push_back(stCall);
            m_vecHeld.back().vecData.resize(
                std::min<size_t>(v.size(), static_cast<size_t>(s64Ret)));
            return;
        } else {
            return;
        }
    }
    if (stCall.s64Fd != m_s64Port) {
        return;
    }
    const int s32Dir = stCall.bWrite ? IRD_HOST : IRD_MCU;
    const size_t u32Shown = std::min<size_t>(stCall.vecData.size(), static_cast<size_t>(s64Ret));
    m_pobjDec->Feed(s32Dir, stCall.s64Time, stCall.vecData.data(), u32Shown, stCall.u64Line);
    if (static_cast<unsigned long long>(s64Ret) > u32Shown) {
        m_pobjDec->Gap(s32Dir, static_cast<unsigned long long>(s64Ret) - u32Shown, stCall.s64Time,
                       stCall.u64Line);
    }
}

void StraceReader::Finish(uint64_t u64Lines) {
    if (m_s64Port < 0) {
        m_pstCtx->Error(u64Lines, "no descriptor above 2 was written a frame start (a5 5a): no "
                                  "serial port traffic in this trace");
    } else if (m_u64HeldLost != 0) {
        m_pstCtx->Error(u64Lines, "%llu bytes read before the port's first frame were dropped",
                        static_cast<unsigned long long>(m_u64HeldLost));
    }
}

} // namespace

int IrdReadText(FILE *pIn, IrdDecoder *pobjDec, IrdContext *pstCtx) {
    std::string strLine;
    bool bLong = false, bEnded = false;
    uint64_t u64Line = 0;
    enum { FORMAT_UNKNOWN, FORMAT_STRACE, FORMAT_CAPTURE } eFormat = FORMAT_UNKNOWN;
    StraceReader objStrace(pobjDec, pstCtx);
    while (ReadLine(pIn, &strLine, &bLong, &bEnded)) {
        ++u64Line;
        const Cursor c{strLine.data(), strLine.data() + strLine.size()};
        if (bLong) {
            pstCtx->Error(u64Line, "longer than %zu bytes: skipped", IRD_LINE_MAX);
            continue;
        }
        if (eFormat == FORMAT_UNKNOWN) {
            if (strLine.empty()) {
                continue;
            }
            Cursor stTry = c;
            long long s64Pid = 0;
            int64_t s64Time = 0;
            StraceReader objProbe(pobjDec, pstCtx);
            if (stTry.Eat("# irsim capture ")) {
                eFormat = FORMAT_CAPTURE;
            } else if (objProbe.Prefix(&stTry, &s64Pid, &s64Time) &&
                       (StartsCall(&stTry) || stTry.Eat("<... ") || stTry.Eat("+++ ") ||
                        stTry.Eat("--- "))) {
                eFormat = FORMAT_STRACE;
            } else {
                pstCtx->Error(u64Line, "neither strace output (strace -tt -xx) nor an irsim "
                                       "capture (irsim --capture)");
                return -1;
            }
        }
        if (eFormat == FORMAT_CAPTURE) {
            CaptureLine(c, u64Line, pobjDec, pstCtx);
        } else {
            objStrace.Line(c, u64Line, bEnded);
        }
    }
    if (eFormat == FORMAT_UNKNOWN) {
        pstCtx->Error(u64Line, "empty input");
        return -1;
    }
    if (eFormat == FORMAT_STRACE) {
        objStrace.Finish(u64Line);
    }
    return 0;
}

void IrdReadRaw(FILE *pHost, FILE *pMcu, IrdDecoder *pobjDec) {
    FILE *apIn[2] = {pHost, pMcu};
    uint64_t au64Offset[2] = {0, 0};
    int s32Dir = IRD_HOST;
    while (apIn[0] != nullptr || apIn[1] != nullptr) {
        const int c = apIn[s32Dir] != nullptr ? getc_unlocked(apIn[s32Dir]) : EOF;
        if (c == EOF) {
            apIn[s32Dir] = nullptr;
            s32Dir = 1 - s32Dir;
            continue;
        }
        const uint8_t u8Byte = static_cast<uint8_t>(c);
        // In turns, a frame at a time: the best guess at the order they crossed in.
        if (pobjDec->Feed(s32Dir, IRD_NO_TIME, &u8Byte, 1, au64Offset[s32Dir]++) != 0) {
            s32Dir = 1 - s32Dir;
        }
    }
}
