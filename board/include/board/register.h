// Register access from user space through "/dev/mem", and the routing of the
// serial ports' pins (pin configuration words and GPIO lines).
#pragma once

#include <cstdint>

/// Results of the register operations.
enum RegisterResult : int {
    REGISTER_OK = 0,
    REGISTER_ERR = -1,
};

/// PhysMemUnmap's result for a null pointer, printed as a status by the
/// register operations.
enum : uint32_t {
    PHYS_MEM_ERR_NULL_PTR = 0xA0028006u,
};

/// Routes the pins of the serial port that pszDevice names, compared ignoring
/// letter case: the first port for paths beginning with "/dev/ttyAMA1" or
/// "/dev/ttyS0", the second for "/dev/ttyAMA2". s32Enable 0 disables the port,
/// anything else enables it; s32Mode 4..7 selects the mode-line levels (other
/// values leave the levels as they are, mode 6 also drives the shared mode
/// line low). An unknown path prints "no support UART" and disables both ports.
///
/// Failures are reported only by the register operations' messages; the
/// routing always runs to its end. pszDevice must not be null (a null path is
/// treated as an unknown one). Called once, from the update thread's set-up.
void UartPinRoute(const char *pszDevice, int s32Enable, int s32Mode);

/// Stores u32Value in the 32-bit register at physical address u32Addr.
/// Returns REGISTER_OK, or REGISTER_ERR after printing
/// "set addr 0x%x val 0x%x fail<0x%x>\n" with the failing step's status.
int RegisterWrite(uint32_t u32Addr, uint32_t u32Value);

/// Read-modify-write of bit u32Pos (0..31; 32 or more leaves the word as it
/// was) of the register at u32Addr to u32Value (0 or 1). The read and the
/// write are separate mappings with no lock between them.
/// Returns REGISTER_OK, or REGISTER_ERR after printing "get addr 0x%x fail<0x%x>\n"
/// (read failed), "set addr 0x%x fail<0x%x>\n" (write failed) or, for a value
/// other than 0 and 1, "set addr<0x%x> pos<%d> val<%u> err\n" with nothing written.
int RegisterSetBit(uint32_t u32Addr, uint32_t u32Pos, uint32_t u32Value);

/// Maps every 4096-byte page that the bytes u32Addr .. u32Addr + u32Size - 1
/// touch (shared, readable and writable) from the physical-memory device.
/// The device is opened on first use and the descriptor kept for the life of
/// the process; a failed open is retried on the next call.
/// Returns a pointer to the byte at u32Addr inside the mapping (release it
/// with PhysMemUnmap and the same size), or null after a perror report
/// ("Open dev/mem error" or "mmap error"). Thread-safe.
void *PhysMemMap(uint32_t u32Addr, uint32_t u32Size);

/// Unmaps what PhysMemMap(…, u32Size) returned as pvAddr.
/// Returns 0, -1 when munmap fails, or PHYS_MEM_ERR_NULL_PTR (as an int)
/// after writing "Null point \n" to standard error when pvAddr is null.
int PhysMemUnmap(void *pvAddr, uint32_t u32Size);

/// Points PhysMemMap at another file in place of "/dev/mem" (null restores
/// "/dev/mem"), and closes the cached descriptor so the next map opens the new
/// path. A sparse regular file of sufficient size stands in for physical
/// memory in tests. The shipped tool never calls it. Thread-safe, but must not
/// race with mappings in flight.
void PhysMemSetDevice(const char *pszPath);
