// The scanner's identity memory: a small non-volatile record holding the USB
// vendor and product IDs the scanner should report, two texts and a serial
// number. Its requests go straight to the open device handle, not through
// the register protocol: they carry no read marker and never touch the
// register shadow.
#pragma once

#include <cstdint>

namespace lf {

// Memory types 1..7 name a window of the controller's address space and the
// page size its writes must not cross.
inline constexpr int32_t kIdentityMemTypeFirst = 1;
inline constexpr int32_t kIdentityMemTypeLast = 7;

// Reads byteCount bytes at record offset into dest, in requests of at most 64
// bytes. False for a bad memory type, a byte count of 0, a closed channel, a
// failed request or one that moved no bytes.
bool ReadIdentityMemory(uint16_t offset, uint8_t* dest, uint16_t byteCount, int32_t memType);

// Writes byteCount bytes from data at record offset, never crossing a write
// page in one request. Type 1 is unlocked before and locked after the write,
// also when a request failed. False for a bad memory type, a closed channel
// or a failed request.
bool WriteIdentityMemory(uint16_t offset, const uint8_t* data, uint16_t byteCount, int32_t memType);

// Reads the identity record. The text buffers must hold 47 bytes; only the
// text bytes are copied (no terminator), so callers pass zeroed buffers. A
// field whose length byte is out of range is left alone. 1 on success, 0 when
// a request fails or the IDs' check byte does not match.
int ReadIdentityRecord(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                       uint8_t* secondText, uint8_t* serial, int32_t memType);

// Writes the identity record from zero-terminated texts; texts too long for
// their field are skipped, except a second text that is empty or longer than
// 47 characters, which refuses the whole write. printHeader puts the five
// header bytes on the console line first. 1 on success, 0 on failure (what
// was written before the failure stays written).
int WriteIdentityRecord(uint16_t vendorId, uint16_t productId, const char* firstText,
                        const char* secondText, const char* serial, int32_t memType,
                        bool printHeader);

}  // namespace lf
