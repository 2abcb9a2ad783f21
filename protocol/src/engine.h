// The engine loop (engine.cpp): one pass of it, for the loop and for tests.
#pragma once

#include "instance.h"

/// Bytes the read step asks the Read callback for at most.
constexpr int CMD_ENGINE_READ_LEN = 1964;

/// What the engine loop carries from one pass to the next.
struct CmdEngineLoopState {
    uint32_t u32LastTransmit = 0; // time t of the last pass whose transmit step ran
    uint32_t u32LastStatSec = 0;  // whole seconds when the statistics line was last due
};
/// One pass of the engine loop, without its idle sleep: a pending reset, the
/// read step (pu8ReadBuf holds CMD_ENGINE_READ_LEN bytes, or is null to read
/// nothing), then either the frame step on the oldest stored frame or the
/// housekeeping (transmit, file send, heartbeat and link, statistics).
/// Returns true when it acted on a received frame (the loop then goes on at
/// once), false when it did housekeeping (the loop sleeps). Runs on the one
/// thread that owns the instance's receive side; tests drive an instance
/// without an engine thread through it.
bool CommandProtocolEnginePass(CmdProtocolInstance *pstInst, uint8_t *pu8ReadBuf,
                               CmdEngineLoopState *pstLoop);
