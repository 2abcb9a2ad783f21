// The exact bytes of frames, plain and enciphered with both keys. The expected
// frames come from a Python builder: RC4 over bytes 9..16 of a short frame or
// the payload of a long one, by a Python RC4 that gives the published "Key" /
// "Plaintext" -> bb f3 16 e8 d9 40 af 0a d3; crc = binascii.crc_hqx(bytes 6.., 0),
// which is CRC-16/XMODEM, whose check value for "123456789" is 0x31C3.
#include "protocol_fixture.h"

namespace {

Bytes Hex(std::string str) {
    str.erase(std::remove(str.begin(), str.end(), ' '), str.end());
    Bytes out;
    for (size_t i = 0; i < str.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(str.substr(i, 2), nullptr, 16)));
    }
    return out;
}

using KnownFrames = DrivenInstance;

TEST_F(KnownFrames, SentAndReceivedPlainAndEnciphered) {
    EXPECT_EQ(0x31C3, CommandProtocolCrc16(0, Hex("313233343536373839").data(), 9));
    struct Case {
        uint16_t u16Cmd; // a heartbeat is queued by the engine
        const char *pszPayload;
        const char *pszExpect; // sync, len, crc, flags, sn, param1, param2, cmd, data
    };
    const Case astCases[] = {
        {0x0604, "112233", "a55a 0300 9f1a 00 3412 20 50 0406 11223300"},
        // Enciphered short frames: bytes 9..16 (param1, param2, cmd, data) change.
        {0x0602, "01020304", "a55a 0400 a8b3 80 0700 11 1d df7c 65b53855"},
        {0x0602, "01020304", "a55a 0400 ce3d 81 efbe 66 02 d2da 8406a28d"},
        {CMD_HEART_BEAT, "", "a55a 0400 2f16 00 0500 20 50 0100 00000000"},
        {CMD_HEART_BEAT, "", "a55a 0400 4463 80 0500 11 1d dc7a 64b73b51"},
        {CMD_HEART_BEAT, "", "a55a 0400 8d30 81 0500 66 02 d1dc 8504a189"},
        // Long frames: 13 + len bytes; only the payload is enciphered.
        {0x0604, "4142434445", "a55a 0500 5525 00 0200 20 50 0406 4142434445"},
        {0x0604, "4142434445", "a55a 0500 2492 80 0200 20 50 0406 700f9e3e21"},
        {0x0604, "4142434445", "a55a 0500 cc3c 81 0200 20 50 0406 07109398c0"},
        // An invalid key index leaves the area in clear; bit 7 stays set.
        {0x0604, "4142434445", "a55a 0500 5581 85 0200 20 50 0406 4142434445"},
    };
    for (auto [u16Cmd, pszPayload, pszExpect] : astCases) {
        const Bytes expect = Hex(pszExpect); // flags and sn are never enciphered
        Reset(0);
        CommandProtocolSetParam(Handle(), expect[6] >> 7, expect[6] & 0x7F, 0x20, 0x50, 0);
        Inst()->sendSn = Get16(expect, 7);
        CapturedStream objOut(1); // the last case reports "keyIndex error"
        CommandProtocolHeartBeatStatue(Handle(), u16Cmd == CMD_HEART_BEAT);
        if (u16Cmd != CMD_HEART_BEAT) {
            Queue(u16Cmd, Hex(pszPayload), 1);
        }
        PassAt(2001); // a heartbeat is queued after a second without a write ...
        PassAt(2020); // ... and sent in the next pass
        objOut.Take();
        EXPECT_EQ(expect, s_wire) << pszExpect;
    }
    // The longest frame: 0x733A is the Python builder's check value for this
    // payload (byte i is i * 131 + i / 256, modulo 256) and key 1.
    Reset(0);
    CommandProtocolSetParam(Handle(), 1, 1, 0x20, 0x50, 0);
    Inst()->sendSn = 0x0102;
    Queue(0x0604, Pattern(512, 0), 1);
    Pass();
    ASSERT_EQ(525u, s_wire.size());
    EXPECT_EQ(0x733A, Get16(s_wire, 4));
    EXPECT_EQ(MakeFrame(0x0604, 0x0102, Pattern(512, 0), 0x81), s_wire);
    // The "len 4, key 1" frame above as it arrives: its CRC holds over the
    // enciphered bytes, its cmd and data are read deciphered, and the
    // acknowledgement goes in clear.
    s_wire.clear();
    Feed(Hex("a55a 0400 ce3d 81 efbe 66 02 d2da 8406a28d"));
    EXPECT_TRUE(Pass());
    EXPECT_EQ(Hex("a55a 0400 e388 01 efbe 20 50 0000 00000000"), s_wire);
    ASSERT_EQ(1u, s_delivered.size());
    EXPECT_EQ(0x0602, s_delivered[0].u16Cmd);
    EXPECT_EQ((Bytes{1, 2, 3, 4}), s_delivered[0].data);
}

} // namespace
