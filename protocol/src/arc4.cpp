// RC4 ("Arc4") over the encrypted area of a frame. The state is rebuilt from
// the key on every call, so each frame starts at keystream byte 0 and no cipher
// state links one frame to the next.
#include <cstring>

#include "diag.h"

namespace {

struct Arc4Key {
    const uint8_t *pu8Key;
    int s32Len;
};

// Both ends of a link hold the same table; the key bytes are the characters
// without a terminator.
constexpr uint8_t s_au8Key0[9] = {'4', '1', '8', '2', '6', '3', '5', '0', '7'};
constexpr uint8_t s_au8Key1[7] = {'p', 'z', 'k', 'w', 'm', 'h', 'v'};

constexpr Arc4Key Arc4KeyTable[] = {
    {s_au8Key0, static_cast<int>(sizeof(s_au8Key0))},
    {s_au8Key1, static_cast<int>(sizeof(s_au8Key1))},
};
static_assert(sizeof(Arc4KeyTable) / sizeof(Arc4KeyTable[0]) == CMD_KEY_COUNT, "one key per index");

} // namespace

int Arc4DecryptEncrypt(const uint8_t *pu8In, uint8_t *pu8Out, int s32Len, int s32KeyIndex) {
    if (s32Len > 0 && (pu8In == nullptr || pu8Out == nullptr)) {
        return -1;
    }
    if (s32KeyIndex < 0 || s32KeyIndex >= CMD_KEY_COUNT) {
        // Both ends then treat the area as clear text; the frame still travels.
        if (s32Len > 0) {
            memmove(pu8Out, pu8In, static_cast<size_t>(s32Len));
        }
        CMD_ERROR("keyIndex error");
        return -1;
    }
    if (s32Len <= 0) {
        return 0;
    }
    const Arc4Key &stKey = Arc4KeyTable[s32KeyIndex];

    // Key schedule.
    uint8_t au8State[256];
    for (int s32Index = 0; s32Index < 256; ++s32Index) {
        au8State[s32Index] = static_cast<uint8_t>(s32Index);
    }
    uint8_t u8J = 0;
    for (int s32Index = 0; s32Index < 256; ++s32Index) {
        u8J =
            static_cast<uint8_t>(u8J + au8State[s32Index] + stKey.pu8Key[s32Index % stKey.s32Len]);
        uint8_t u8Swap = au8State[s32Index];
        au8State[s32Index] = au8State[u8J];
        au8State[u8J] = u8Swap;
    }

    // Keystream, XORed with the data.
    uint8_t u8I = 0;
    u8J = 0;
    for (int s32Index = 0; s32Index < s32Len; ++s32Index) {
        u8I = static_cast<uint8_t>(u8I + 1);
        u8J = static_cast<uint8_t>(u8J + au8State[u8I]);
        uint8_t u8Swap = au8State[u8I];
        au8State[u8I] = au8State[u8J];
        au8State[u8J] = u8Swap;
        pu8Out[s32Index] = static_cast<uint8_t>(
            pu8In[s32Index] ^ au8State[static_cast<uint8_t>(au8State[u8I] + au8State[u8J])]);
    }
    return 0;
}
