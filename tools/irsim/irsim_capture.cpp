// irsim's capture of the line (--capture FILE): every byte that crossed the
// line at the tool's end, both directions, with the time it crossed, in a
// text file that irdecode reads.
//
// The tool's end of the line is the pty: the bytes the tool wrote are taken
// as irsim reads them, before its receive faults (those stand for damage on
// the way to the microcontroller), and the bytes irsim wrote are taken as
// they go into the pty, after its transmit faults (noise, alterations and
// losses on the way to the tool). That is what a capture on the board sees
// (strace of the tool's reads and writes), so both captures of one run hold
// the same bytes.
//
// Format, one line per read or write:
//   # irsim capture 1 ...                 (first line)
//   <seconds>.<microseconds> host|mcu <bytes in hex>
// Times are CLOCK_REALTIME; lines are written in time order.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "irsim.h"

namespace {

std::mutex s_objMutex; // the reader thread, the engine and the pacer all write
FILE *s_pFile = nullptr;
std::string s_strPath;

} // namespace

int IrsimCaptureOpen(const std::string &strPath) {
    if (strPath.empty()) {
        return 0;
    }
    s_pFile = fopen(strPath.c_str(), "w");
    if (s_pFile == nullptr) {
        printf("irsim: cannot write %s: %s\n", strPath.c_str(), strerror(errno));
        return -1;
    }
    s_strPath = strPath;
    // A write error shows in ferror at the close, where it is reported.
    (void)fputs("# irsim capture 1: <seconds>.<microseconds> host|mcu <bytes in hex>, as "
                "they crossed the line at the tool's end\n",
                s_pFile);
    return 0;
}

void IrsimCaptureBytes(bool bFromHost, const uint8_t *pu8Bytes, size_t u32Len) {
    static const char s_acHex[] = "0123456789abcdef";
    std::lock_guard<std::mutex> objLock(s_objMutex);
    if (s_pFile == nullptr || u32Len == 0) {
        return;
    }
    // Read under the lock, so that the lines' times never go backwards.
    timespec stNow{};
    clock_gettime(CLOCK_REALTIME, &stNow);
    (void)fprintf(s_pFile, "%lld.%06ld %s ", static_cast<long long>(stNow.tv_sec),
                  stNow.tv_nsec / 1000, bFromHost ? "host" : "mcu");
    char acPair[2];
    for (size_t i = 0; i < u32Len; ++i) {
        acPair[0] = s_acHex[pu8Bytes[i] >> 4];
        acPair[1] = s_acHex[pu8Bytes[i] & 0x0F];
        (void)fwrite(acPair, 1, sizeof(acPair), s_pFile);
    }
    (void)fputc('\n', s_pFile);
}

void IrsimCaptureClose() {
    std::lock_guard<std::mutex> objLock(s_objMutex);
    if (s_pFile == nullptr) {
        return;
    }
    const bool bFailed = ferror(s_pFile) != 0;
    if (fclose(s_pFile) != 0 || bFailed) {
        printf("irsim: capture %s: write error\n", s_strPath.c_str());
    }
    s_pFile = nullptr;
}
