// The application binding: one protocol instance bound to the serial port
// (g_u32UartFd) and to the application's receive handler.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/command_protocol.h"

/// The binding's operations table: Write, Read and DataProcessing are the
/// Example_CommandInterface callbacks, the rest is filled by open.
extern CmdProtocolFun Cmdfun;
/// Handle of the bound instance, -1 until it has been opened. Read by the
/// engine thread while the update thread sets it, hence atomic.
extern std::atomic<int> Cmdfd;
/// 1 once the binding has tried to open its instance (whether or not it could).
extern std::atomic<uint8_t> CmdinitFlag;
/// The application's receive handler; set it before Example_CommandInterfaceInit.
/// Runs on the engine thread; the frame is lent for the call.
extern void (*APP_Comm_Recv_Handler)(_CmdProtocolParam *pstFrame);
/// Descriptor of the open serial port, or the negative code of the serial open.
extern int g_u32UartFd;

/// Binds and opens instance "name" in normal mode, then sets the frame
/// parameters (no enciphering, bytes 9 and 10 = 0x20, 0x50) and turns
/// heartbeats off. Returns the result of the last call made.
int Example_CommandInterfaceInit();
/// Queues one application command (0 or -1). Data of more than 4 bytes is copied.
int Example_CommandInterfaceSend(uint16_t u16Cmd, const void *pData, uint32_t u32Len);
/// Example_CommandInterfaceSend; on success writes '.' to standard error. On
/// failure waits up to about 1 s for the queue to drain and tries once more.
int Example_CommandInterfaceSendRetry(uint16_t u16Cmd, const void *pData, uint32_t u32Len);
/// Polls (every 10 ms, at most u32Polls + 1 times) until no command is pending.
void Example_CommandInterfaceWaitSendIdle(uint32_t u32Polls);
int Example_CommandInterfaceGetSendBufNum();
/// Stays in the calling thread until the bound instance's engine loop has
/// ended, then ends the calling thread. Returns 0 (after an error line) only
/// when no instance is bound.
int Example_CommandInterfaceRun();
/// Clears the running bit of the bound instance.
void Example_CommandInterfaceStop();

// Callbacks installed in Cmdfun.
int Example_CommandInterfaceWrite(const uint8_t *pu8Buf, int s32Len);
int Example_CommandInterfaceRead(uint8_t *pu8Buf, int s32Max);
void Example_CommandInterfaceDataProcessing(_CmdProtocolParam *pstFrame);

int APP_Comm_Write(const uint8_t *pu8Buf, int s32Len);
int APP_Comm_Read(uint8_t *pu8Buf, int s32Max);
/// Logs the command code and calls APP_Comm_Recv_Handler (when set); returns 0.
int APP_Comm_Recv(_CmdProtocolParam *pstFrame);
