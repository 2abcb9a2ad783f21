// Writes the seed corpus of the fuzz targets: valid conversations in each
// target's input format. Frames on the wire come from the protocol's own send
// queue (a peer instance numbers, enciphers and seals them, and its transmit
// step writes them out), so the seeds follow the frame format exactly.
//
//   fuzz_corpus_gen <corpus folder>   (writes <folder>/<target>/<name>)
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "ir_update.h"

namespace {

std::string g_strRoot;
int g_s32Files = 0;
FuzzBytes g_vecPeerWire;

int PeerWrite(const uint8_t *pu8Buf, int s32Len) {
    g_vecPeerWire.insert(g_vecPeerWire.end(), pu8Buf, pu8Buf + s32Len);
    return s32Len;
}
void PeerDeliver(_CmdProtocolParam *) {}

void WriteSeed(const char *pszTarget, const char *pszName, const FuzzBytes &bytes) {
    const std::string strDir = g_strRoot + "/" + pszTarget;
    mkdir(strDir.c_str(), 0755);
    const std::string strPath = strDir + "/" + pszName;
    FILE *pstFile = fopen(strPath.c_str(), "wb");
    if (pstFile == nullptr || fwrite(bytes.data(), 1, bytes.size(), pstFile) != bytes.size() ||
        fclose(pstFile) != 0) {
        (void)fprintf(stderr, "fuzz_corpus_gen: cannot write %s\n", strPath.c_str());
        exit(1);
    }
    ++g_s32Files;
}

FuzzBytes Pattern(size_t u32Len, uint32_t u32Seed) {
    FuzzBytes out(u32Len);
    for (size_t i = 0; i < u32Len; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8) + static_cast<size_t>(u32Seed) * 7);
    }
    return out;
}

/// The peer: an instance without an engine whose queue builds the frames.
class Peer {
public:
    explicit Peer(uint8_t u8CipherParam) {
        CmdProtocolFun stFun{};
        stFun.Write = PeerWrite;
        stFun.DataProcessing = PeerDeliver;
        FuzzResetInstance(&m_stInst, &stFun, 1); // fast mode: every due frame in one step
        m_stInst.cipherParam = u8CipherParam;
        m_stInst.sendByte9 = 0x20;
        m_stInst.sendByte10 = 0x50;
    }
    ~Peer() { FuzzResetInstance(&m_stInst, nullptr, 0); }
    /// The wire bytes of one message (split into chunks above 512 bytes).
    FuzzBytes Message(uint16_t u16Cmd, const FuzzBytes &data) {
        _CmdProtocolParam stRec{};
        stRec.cmd = u16Cmd;
        stRec.len = static_cast<uint16_t>(data.size());
        if (data.size() > CMD_FRAME_SHORT_MAX) {
            stRec.payload = static_cast<uint8_t *>(malloc(data.size()));
            memcpy(stRec.payload, data.data(), data.size());
        } else if (!data.empty()) {
            memcpy(stRec.data, data.data(), data.size());
        }
        if (data.size() > CMD_FRAME_MAX_PAYLOAD) {
            CommandProtocolSendLargePacket(&m_stInst, &stRec);
            free(stRec.payload);
        } else if (CommandProtocolSendCmdAddsub(&m_stInst, &stRec, 0) < 0) {
            free(stRec.payload);
        }
        g_vecPeerWire.clear();
        CommandProtocolTransmitStep(&m_stInst, g_u32FuzzNow + 200);
        CommandProtocolRemoveSendBuf(&m_stInst, 0, 1); // acknowledged
        return std::exchange(g_vecPeerWire, FuzzBytes());
    }
    uint16_t NextSn() const { return m_stInst.sendSn; }

private:
    CmdProtocolInstance m_stInst;
};

// ---------------------------------------------------------------------------
// fuzz_link_bytes

FuzzWriter &LinkBytes(FuzzWriter &objOut, const FuzzBytes &bytes) {
    return objOut.U8(FUZZ_LINK_OP_BYTES).U16(static_cast<uint16_t>(bytes.size())).Bytes(bytes);
}
FuzzWriter &LinkPasses(FuzzWriter &objOut, uint8_t u8Passes) {
    return objOut.U8(FUZZ_LINK_OP_PASSES).U8(static_cast<uint8_t>(u8Passes - 1));
}

/// Cuts a stretch of wire bytes into its frames.
std::vector<FuzzBytes> Frames(const FuzzBytes &wire) {
    std::vector<FuzzBytes> frames;
    size_t u32At = 0;
    while (u32At + CMD_FRAME_SHORT_LEN <= wire.size()) {
        if (wire[u32At] != CMD_FRAME_SYNC1) {
            ++u32At; // the filler byte the writer puts after a frame ending in 0xA5
            continue;
        }
        const size_t u32Len = wire[u32At + 2] | wire[u32At + 3] << 8;
        const size_t u32Size = CMD_FRAME_HEAD_LEN + std::max<size_t>(u32Len, CMD_FRAME_SHORT_MAX);
        frames.emplace_back(wire.begin() + static_cast<std::ptrdiff_t>(u32At),
                            wire.begin() + static_cast<std::ptrdiff_t>(u32At + u32Size));
        u32At += u32Size;
    }
    return frames;
}

void LinkSeeds() {
    const char *pszT = "fuzz_link_bytes";
    {
        // Short and long application frames, in clear.
        Peer objPeer(0);
        FuzzWriter objOut;
        objOut.U8(0);
        LinkBytes(objOut, objPeer.Message(0x602, {2, 0, 0, 0}));
        LinkBytes(objOut, objPeer.Message(0x604, Pattern(64, 1)));
        LinkPasses(objOut, 4);
        WriteSeed(pszT, "frames_clear", objOut.Data());
    }
    for (uint8_t u8Key = 0; u8Key < 2; ++u8Key) {
        // Enciphered both ways, with each key: a short frame, a long one and a
        // split message.
        Peer objPeer(static_cast<uint8_t>(CMD_FLAG_ENCRYPT | u8Key));
        FuzzWriter objOut;
        objOut.U8(static_cast<uint8_t>(FUZZ_LINK_ENCRYPT | (u8Key != 0 ? FUZZ_LINK_KEY1 : 0)));
        LinkBytes(objOut, objPeer.Message(0x603, {1, 2, 3}));
        LinkBytes(objOut, objPeer.Message(0x604, Pattern(200, 2)));
        LinkBytes(objOut, objPeer.Message(0x0700, Pattern(600, 3)));
        LinkPasses(objOut, 8);
        WriteSeed(pszT, u8Key == 0 ? "frames_key0" : "frames_key1", objOut.Data());
    }
    {
        // A message of 993 bytes in three chunks (the last carries one byte),
        // its bytes split at odd places, with passes between the pieces.
        Peer objPeer(0);
        const FuzzBytes wire = objPeer.Message(0x0701, Pattern(993, 4));
        FuzzWriter objOut;
        objOut.U8(0);
        size_t u32At = 0;
        for (size_t u32Piece : {7u, 300u, 500u, 1000u}) {
            const size_t u32Len = std::min(u32Piece, wire.size() - u32At);
            LinkBytes(objOut,
                      FuzzBytes(wire.begin() + static_cast<std::ptrdiff_t>(u32At),
                                wire.begin() + static_cast<std::ptrdiff_t>(u32At + u32Len)));
            LinkPasses(objOut, 2);
            u32At += u32Len;
        }
        LinkBytes(objOut, FuzzBytes(wire.begin() + static_cast<std::ptrdiff_t>(u32At), wire.end()));
        LinkPasses(objOut, 6);
        WriteSeed(pszT, "large_split", objOut.Data());
    }
    {
        // Two split messages whose chunks arrive interleaved: the first is
        // given up when the second begins.
        Peer objPeer(0);
        const std::vector<FuzzBytes> first = Frames(objPeer.Message(0x0703, Pattern(513, 17)));
        const std::vector<FuzzBytes> second = Frames(objPeer.Message(0x0704, Pattern(600, 18)));
        FuzzWriter objOut;
        objOut.U8(0);
        for (size_t i = 0; i < first.size(); ++i) {
            LinkBytes(objOut, first[i]);
            LinkPasses(objOut, 1);
            if (i < second.size()) {
                LinkBytes(objOut, second[i]);
                LinkPasses(objOut, 1);
            }
        }
        WriteSeed(pszT, "large_interleaved", objOut.Data());
    }
    {
        // This side sends a 513-byte file: two chunks acknowledged (the last
        // one byte, in the data field), the end marker, the peer's verdict,
        // the progress read; then a report 0 starts the file over.
        FuzzWriter objOut;
        objOut.U8(0);
        objOut.U8(FUZZ_LINK_OP_FILE).U16(513).Bytes(Pattern(513, 19));
        for (uint16_t u16Sn = 2; u16Sn <= 3; ++u16Sn) {
            LinkPasses(objOut, 2);
            objOut.U8(FUZZ_LINK_OP_CLOCK).U16(100);
            objOut.U8(FUZZ_LINK_OP_SEALED);
            FuzzWriteSealed(objOut, 0, u16Sn, 0, 0, CMD_ACK, {0, 0, 0, 0});
        }
        LinkPasses(objOut, 4);
        objOut.U8(FUZZ_LINK_OP_SEALED);
        FuzzWriteSealed(objOut, 0, 4, 0x7F, 0xFF, CMD_ACK, {0, 0, 0, 0});
        objOut.U8(FUZZ_LINK_OP_SEALED);
        FuzzWriteSealed(objOut, 0, 0x0200, 0x20, 0x50, CMD_UPDATE_SW_REPORT_FILE, {2, 0, 0, 0});
        LinkPasses(objOut, 2);
        objOut.U8(FUZZ_LINK_OP_QUERY).U16(4);
        objOut.U8(FUZZ_LINK_OP_SEALED);
        FuzzWriteSealed(objOut, 0, 0x0201, 0x20, 0x50, CMD_UPDATE_SW_REPORT_FILE, {0, 0, 0, 0});
        LinkPasses(objOut, 6);
        objOut.U8(FUZZ_LINK_OP_QUERY).U16(0x0106);
        WriteSeed(pszT, "file_send", objOut.Data());
    }
    {
        // The same frame twice (a repeat), then a clear-record frame and the
        // frame once more, which is new again.
        Peer objPeer(0);
        const FuzzBytes frame = objPeer.Message(0x0603, {9, 9});
        FuzzWriter objOut;
        objOut.U8(0);
        LinkBytes(objOut, frame);
        LinkPasses(objOut, 1);
        LinkBytes(objOut, frame);
        LinkPasses(objOut, 1);
        objOut.U8(FUZZ_LINK_OP_SEALED);
        FuzzWriteSealed(objOut, 0, 0x0300, 0x20, 0x50, CMD_CLEAR_RECORD_FLAG, {});
        LinkBytes(objOut, frame);
        LinkPasses(objOut, 3);
        WriteSeed(pszT, "repeat_filter", objOut.Data());
    }
    {
        // This side sends (a short, a long and a split message), repeats them
        // as time passes, sees its own frames come back, and is acknowledged.
        FuzzWriter objOut;
        objOut.U8(FUZZ_LINK_HEARTBEAT | FUZZ_LINK_TRACE | FUZZ_LINK_VERBOSE);
        objOut.U8(FUZZ_LINK_OP_SEND).U16(0x0600).U8(0).U16(2).Bytes({0, 0});
        objOut.U8(FUZZ_LINK_OP_SEND).U16(0x0604).U8(1).U16(64).Bytes(Pattern(64, 5));
        objOut.U8(FUZZ_LINK_OP_SEND).U16(0x0702).U8(0).U16(700).Bytes(Pattern(700, 6));
        LinkPasses(objOut, 10);
        objOut.U8(FUZZ_LINK_OP_CLOCK).U16(150);
        LinkPasses(objOut, 10);
        objOut.U8(FUZZ_LINK_OP_LOOPBACK);
        LinkPasses(objOut, 10);
        for (uint16_t u16Sn = 1; u16Sn <= 4; ++u16Sn) {
            objOut.U8(FUZZ_LINK_OP_SEALED);
            FuzzWriteSealed(objOut, 0, u16Sn, 0x20, 0x50, CMD_ACK, {0, 0, 0, 0});
        }
        LinkPasses(objOut, 6);
        objOut.U8(FUZZ_LINK_OP_CLOCK).U16(5000);
        LinkPasses(objOut, 4);
        objOut.U8(FUZZ_LINK_OP_CLOCK).U16(1500);
        LinkPasses(objOut, 4);
        objOut.U8(FUZZ_LINK_OP_RESET);
        WriteSeed(pszT, "send_repeat_ack", objOut.Data());
    }
    {
        // A heartbeat from the peer, noise, an oversized len, a damaged frame.
        Peer objPeer(0);
        FuzzBytes damaged = objPeer.Message(0x0605, Pattern(8, 7));
        damaged[15] ^= 0x40;
        FuzzWriter objOut;
        objOut.U8(FUZZ_LINK_FAST | FUZZ_LINK_VERBOSE);
        objOut.U8(FUZZ_LINK_OP_SEALED);
        FuzzWriteSealed(objOut, 0, 0x0010, 0x20, 0x50, CMD_HEART_BEAT, {0, 0, 0, 0});
        LinkBytes(objOut, {0x00, 0xA5, 0xA5, 0x5A, 0x12, 0xA5, 0x5A, 0x01, 0x02});
        LinkBytes(objOut, damaged);
        LinkPasses(objOut, 4);
        WriteSeed(pszT, "noise_heartbeat", objOut.Data());
    }
}

// ---------------------------------------------------------------------------
// fuzz_file_recv

FuzzBytes FileInfo(const char *pszName, const FuzzBytes &content) {
    CmdProtocolFileInfo stInfo{};
    stInfo.tag = 0x1234;
    // A name cut short is still a seed; the generator names its files itself.
    (void)snprintf(stInfo.fileName, sizeof(stInfo.fileName), "%s", pszName);
    stInfo.length = static_cast<uint32_t>(content.size());
    stInfo.packets = static_cast<uint32_t>((content.size() + CMD_FILE_CHUNK - 1) / CMD_FILE_CHUNK);
    stInfo.crc = CommandProtocolCrc16(0, content.data(), static_cast<int>(content.size()));
    const uint8_t *pu8Info = reinterpret_cast<const uint8_t *>(&stInfo);
    return FuzzBytes(pu8Info, pu8Info + sizeof(stInfo));
}

void FileStart(FuzzWriter &objOut, uint16_t u16Sn, const FuzzBytes &info) {
    objOut.U8(FUZZ_FILE_OP_START).U16(u16Sn).U8(0).Bytes(info);
}

void FileChunk(FuzzWriter &objOut, uint16_t u16Sn, uint16_t u16Index, const FuzzBytes &content) {
    const size_t u32From = static_cast<size_t>(u16Index) * CMD_FILE_CHUNK;
    const size_t u32Len = std::min<size_t>(CMD_FILE_CHUNK, content.size() - u32From);
    objOut.U8(FUZZ_FILE_OP_CHUNK).U16(u16Sn).U16(u16Index).U16(static_cast<uint16_t>(u32Len));
    objOut.Bytes(FuzzBytes(content.begin() + static_cast<std::ptrdiff_t>(u32From),
                           content.begin() + static_cast<std::ptrdiff_t>(u32From + u32Len)));
}

/// A whole transfer: start, chunks in the given order, end marker, ready.
void FileSeed(const char *pszSeed, uint8_t u8Mode, const FuzzBytes &content,
              std::initializer_list<uint16_t> order) {
    FuzzWriter objOut;
    objOut.U8(u8Mode);
    uint16_t u16Sn = 1;
    FileStart(objOut, u16Sn++, FileInfo("recv.bin", content));
    for (uint16_t u16Index : order) {
        FileChunk(objOut, u16Sn++, u16Index, content);
    }
    objOut.U8(FUZZ_FILE_OP_END).U16(u16Sn++);
    objOut.U8(FUZZ_FILE_OP_ACKALL).U16(0);
    objOut.U8(FUZZ_FILE_OP_READY).U16(u16Sn++);
    WriteSeed("fuzz_file_recv", pszSeed, objOut.Data());
}

void FileSeeds() {
    const char *pszT = "fuzz_file_recv";
    FileSeed("transfer_700", 0, Pattern(700, 8), {0, 1});
    FileSeed("transfer_3_bytes", FUZZ_FILE_TRACE | FUZZ_FILE_VERBOSE, Pattern(3, 9), {0});
    FileSeed("transfer_empty", 0, FuzzBytes(), {0});
    FileSeed("transfer_out_of_order", 0, Pattern(1025, 10), {2, 0, 1});
    FileSeed("transfer_enciphered", FUZZ_FILE_ENCRYPT | FUZZ_FILE_KEY1, Pattern(600, 11), {0, 1});
    {
        // A repeated chunk, a wrong CRC, a chunk without a start, reports.
        const FuzzBytes content = Pattern(520, 12);
        FuzzBytes info = FileInfo("bad.bin", content);
        info[76] ^= 1;
        FuzzWriter objOut;
        objOut.U8(0);
        objOut.U8(FUZZ_FILE_OP_CHUNK).U16(1).U16(0).U16(4).Bytes({1, 2, 3, 4});
        FileStart(objOut, 2, info);
        FileChunk(objOut, 3, 0, content);
        FileChunk(objOut, 3, 0, content);
        FileChunk(objOut, 4, 1, content);
        objOut.U8(FUZZ_FILE_OP_END).U16(5);
        objOut.U8(FUZZ_FILE_OP_REPORT).U16(6).U8(0);
        objOut.U8(FUZZ_FILE_OP_REPORT).U16(7).U8(2);
        objOut.U8(FUZZ_FILE_OP_OTHER);
        FuzzWriteSealed(objOut, 0, 8, 0x20, 0x50, 0x0700, Pattern(20, 13));
        WriteSeed(pszT, "failures", objOut.Data());
    }
    {
        // Names that lead out of the working folder, or are no file names.
        FuzzWriter objOut;
        objOut.U8(0);
        uint16_t u16Sn = 1;
        for (const char *pszName :
             {"../escape.bin", "/tmp/irfuzz-escape.bin", "a/b", ".", "..", "", "ok.bin"}) {
            FileStart(objOut, u16Sn++, FileInfo(pszName, Pattern(10, 14)));
        }
        objOut.U8(FUZZ_FILE_OP_START).U16(u16Sn++).U8(20).Bytes(Pattern(20, 15));
        WriteSeed(pszT, "names", objOut.Data());
    }
}

// ---------------------------------------------------------------------------
// fuzz_serial_mode

void SerialSeeds() {
    const char *pszT = "fuzz_serial_mode";
    const std::pair<const char *, const char *> aSeeds[] = {
        {"default", "115200-8n1"},   {"even_two", "9600-7E2"},
        {"odd", "19200-8o1"},        {"unknown_rate", "14400-8n1"},
        {"stop_zero", "115200-8n0"}, {"nine_bits", "115200-9n1"},
        {"short", "115200-8"},       {"empty", ""},
        {"five_bits", "50-5e1"},     {"spaces", " 230400 - 6O 2"},
        {"signs", "+1200--7x+1"},
    };
    for (const auto &stSeed : aSeeds) {
        WriteSeed(pszT, stSeed.first,
                  FuzzBytes(stSeed.second, stSeed.second + strlen(stSeed.second)));
    }
}

// ---------------------------------------------------------------------------
// fuzz_update_handler

void UpdateRecord(FuzzWriter &objOut, uint16_t u16Cmd, const FuzzBytes &payload) {
    if (u16Cmd >= 0x600 && u16Cmd < 0x600 + FUZZ_UPDATE_RAW_CMD) {
        objOut.U8(static_cast<uint8_t>(u16Cmd - 0x600));
    } else {
        objOut.U8(FUZZ_UPDATE_RAW_CMD).U16(u16Cmd);
    }
    objOut.U16(static_cast<uint16_t>(payload.size()));
    FuzzBytes body = payload;
    body.resize(std::max<size_t>(body.size(), CMD_FRAME_SHORT_MAX), 0);
    objOut.Bytes(body);
}

void UpdateSeeds() {
    const char *pszT = "fuzz_update_handler";
    {
        // The whole 130-byte image: ready (selector 2), three chunks, the end
        // record, success.
        FuzzWriter objOut;
        objOut.U8(FUZZ_UPDATE_FIRST_RUN);
        UpdateRecord(objOut, IR_CMD_UPDATE_READY, {2, 0, 0, 0});
        for (int i = 0; i < 3; ++i) {
            UpdateRecord(objOut, IR_CMD_UPDATE_NEXT, {});
        }
        UpdateRecord(objOut, IR_CMD_UPDATE_OK, {});
        WriteSeed(pszT, "success_4000", objOut.Data());
    }
    {
        // ir_A000.bin through the binding, selector in a long payload; three
        // failure reports end the run.
        FuzzWriter objOut;
        objOut.U8(FUZZ_UPDATE_FIRST_RUN | FUZZ_UPDATE_BINDING);
        UpdateRecord(objOut, IR_CMD_UPDATE_READY, {3, 0, 0, 0, 2, 0, 0, 0});
        UpdateRecord(objOut, IR_CMD_UPDATE_NEXT, {});
        UpdateRecord(objOut, IR_CMD_UPDATE_CHECK_FAIL, {});
        UpdateRecord(objOut, IR_CMD_UPDATE_READY, {1});
        UpdateRecord(objOut, IR_CMD_UPDATE_MEM_FAIL, {});
        UpdateRecord(objOut, IR_CMD_UPDATE_DATA, {});
        WriteSeed(pszT, "three_failures", objOut.Data());
    }
    {
        // A request before any ready, an unexpected code, a parked command.
        FuzzWriter objOut;
        objOut.U8(FUZZ_UPDATE_BINDING);
        UpdateRecord(objOut, IR_CMD_UPDATE_NEXT, {});
        UpdateRecord(objOut, 0x601, {});
        UpdateRecord(objOut, CMD_STM32_IDBUTTON_TIMES, Pattern(12, 16));
        UpdateRecord(objOut, IR_CMD_UPDATE_READY, {2, 0, 0, 0});
        for (int i = 0; i < 4; ++i) {
            UpdateRecord(objOut, IR_CMD_UPDATE_NEXT, {});
        }
        WriteSeed(pszT, "unexpected", objOut.Data());
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        (void)fprintf(stderr, "usage: fuzz_corpus_gen <corpus folder>\n");
        return 2;
    }
    g_strRoot = argv[1];
    mkdir(g_strRoot.c_str(), 0755);
    elogLev = 0;
    FuzzUseFakeTime();
    LinkSeeds();
    FileSeeds();
    SerialSeeds();
    UpdateSeeds();
    printf("fuzz_corpus_gen: %d seeds in %s\n", g_s32Files, g_strRoot.c_str());
    return 0;
}
