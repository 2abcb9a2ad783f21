// Fixed-width names used by the runtime classes' interfaces.
#pragma once

#include <cstdint>

typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef bool Bool;
