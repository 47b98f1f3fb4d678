// The road to the scanner: the still-image device file with its transfers
// (UsbScanChannel) and the controller's register protocol on top of it
// (RegisterFile). Both are process-wide: there is one scanner at a time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace lf {

// ---------------------------------------------------------------------------
// UsbScanChannel
// ---------------------------------------------------------------------------

inline constexpr uint16_t kScannerVendorId = 0x2E1A;
inline constexpr uint16_t kScannerProductId = 0x4C71;
inline constexpr uint16_t kScannerProductIdAlt = 0x4C72;
// Every transfer waits at most this long for the driver.
inline constexpr uint32_t kTransferTimeoutMs = 60000;

// Searches \\.\usbscan0 .. \\.\usbscan127 for a device of this vendor with
// one of the scanner's two product IDs; the first match stays open. The
// second argument is accepted for the callers' sake and not compared.
bool OpenChannel(uint16_t vendorId, uint32_t reserved);
bool CloseChannel();
bool IsChannelOpen();
// The open device, for code that issues its own register requests on it;
// null when closed.
platform::StillImageDevice* ChannelHandle();

// Descriptor fields of the device the last OpenChannel examined (kept after
// a failed open).
struct ExaminedDevice {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t deviceRelease = 0;
};
ExaminedDevice LastExaminedDevice();

bool ControlRead(uint16_t value, uint16_t index, uint16_t length, uint8_t* dest);
bool ControlWrite(uint16_t value, uint16_t index, uint16_t length, const uint8_t* data);
bool BulkWrite(const void* data, uint32_t length);
bool BulkRead(void* dest, uint32_t length);

uint32_t ElapsedMs();
// Spins on the clock; used for short settling waits where a sleep's
// granularity would be too coarse.
void DelayMs(uint32_t ms);

// ---------------------------------------------------------------------------
// RegisterFile
// ---------------------------------------------------------------------------

inline constexpr uint16_t kRegisterCount = 512;  // two banks of 256
inline constexpr uint8_t kReadMarker = 0x55;

// Element of register lists: register number (bank in bit 8), value, spare.
struct RegisterEntry {
  uint16_t reg;
  uint8_t value;
  uint8_t spare;
};
static_assert(sizeof(RegisterEntry) == 4);

// Controller memory directions of the transfer window.
inline constexpr uint8_t kWindowRead = 0;
inline constexpr uint8_t kWindowWrite = 1;
inline constexpr uint32_t kImageDataPort = 0x10000000;

bool ReadRegister(uint16_t reg, uint8_t* out);
bool ReadRegister16(uint16_t reg, uint16_t* out);
bool ReadRegister32(uint16_t reg, uint32_t* out);
bool ReadStatusByte(uint8_t* out);
bool ReadCounterWord(uint32_t* out);

bool WriteRegister(uint16_t reg, uint8_t value);
bool WriteRegisterBits(uint16_t reg, uint8_t shift, uint8_t width, uint8_t value);
bool WriteRegister16(uint8_t reg, uint16_t value);
bool WriteRegister24(uint8_t reg, uint32_t value);
bool WriteRegisterBatch(const RegisterEntry* entries, uint32_t byteCount);
bool WriteAfeRegister(uint8_t afeReg, uint16_t value);
bool WriteAuxRegister(uint8_t auxReg, uint8_t value);
bool WriteCommandWord(uint32_t word);

bool SetTransferWindow(uint32_t address, uint32_t byteCount, uint8_t direction);
bool WriteControllerMemory(uint32_t address, const void* data, uint32_t byteCount);
bool ReadScanData(void* dest, uint32_t byteCount);

// The last value this process wrote to a register (0 if never written). The
// shadow lives as long as the library and is never filled from the device.
uint8_t ShadowValue(uint16_t reg);
// Tests only: forget every value written.
void ResetRegisterShadow();

}  // namespace lf
