// The identity memory and the record stored in it. The requests are issued
// on the channel's device handle one at a time, each waited for before the
// next goes out, so a byte count is always known before it is used.
#include "device/identity_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "channel/channel.h"
#include "platform/platform.h"

namespace lf {
namespace {

constexpr uint16_t kReadRequest = 0x84;
constexpr uint16_t kWriteRequest = 0x83;
// The control endpoint moves at most this much in one request.
constexpr uint32_t kMaxReadChunk = 64;
// The type-1 memory accepts writes only between these two requests.
constexpr uint16_t kWriteOpenIndex = 0xE060;
constexpr uint16_t kWriteCloseIndex = 0xE000;
constexpr int32_t kGuardedMemType = 1;

struct MemoryWindow {
  uint16_t base;
  uint16_t limit;  // also wraps an offset at the window's size
  uint16_t page;   // a write request must stay within one page
};

constexpr MemoryWindow kWindows[] = {
    {0xE200, 0xE27F, 16},  // type 1: 128 bytes
    {0xD000, 0xD07F, 8},   // type 2: 128 bytes
    {0xD000, 0xD0FF, 8},   // type 3: 256 bytes
    {0xD000, 0xD1FF, 16},  // type 4: 512 bytes
    {0xD000, 0xD3FF, 16},  // type 5: 1 KiB
    {0xD000, 0xD7FF, 16},  // type 6: 2 KiB
    {0xC000, 0xC7FF, 8},   // type 7: 2 KiB
};
static_assert(std::size(kWindows) == kIdentityMemTypeLast - kIdentityMemTypeFirst + 1);

const MemoryWindow* WindowOf(int32_t memType) {
  if (memType < kIdentityMemTypeFirst || memType > kIdentityMemTypeLast) return nullptr;
  return &kWindows[memType - kIdentityMemTypeFirst];
}

uint16_t WindowedAddress(const MemoryWindow& window, uint32_t offset) {
  return static_cast<uint16_t>(((offset & 0xFFFF) | window.base) & window.limit);
}

bool SendRead(platform::StillImageDevice& device, uint16_t index, uint8_t* dest, uint32_t length,
              uint32_t* moved) {
  // Unlike a register read, the identity read names its destination in the
  // block as well as in the output buffer.
  const platform::IoBlock block{kReadRequest, length, dest, index};
  *moved = 0;
  return device.IoControl(platform::kIoctlReadRegisters, &block, sizeof block, dest, length, moved,
                          kTransferTimeoutMs);
}

bool SendWrite(platform::StillImageDevice& device, uint16_t index, const uint8_t* data,
               uint32_t length) {
  const platform::IoBlock block{kWriteRequest, length, data, index};
  uint32_t moved = 0;
  return device.IoControl(platform::kIoctlWriteRegisters, &block, sizeof block, nullptr, 0, &moved,
                          kTransferTimeoutMs);
}

// The longest piece from position on that fits both the remaining bytes and
// the rest of position's write page.
uint32_t PageChunk(uint32_t position, uint32_t remaining, uint32_t page) {
  const uint32_t chunk = std::min(page, remaining);
  const uint32_t inPage = position % page;
  return inPage + chunk > page ? page - inPage : chunk;
}

bool WriteChunks(platform::StillImageDevice& device, const MemoryWindow& window, uint32_t offset,
                 const uint8_t* data, uint32_t byteCount) {
  for (uint32_t i = 0; i < byteCount;) {
    const uint32_t chunk = PageChunk(offset + i, byteCount - i, window.page);
    if (!SendWrite(device, WindowedAddress(window, offset + i), data + i, chunk)) return false;
    i += chunk;
  }
  return true;
}

// --- the identity record ----------------------------------------------------

constexpr uint16_t kHeaderOffset = 0;
constexpr uint16_t kHeaderSize = 5;  // vendor, product, check byte

// A text field: its length byte, then the text bytes right after it.
struct TextField {
  uint16_t lengthOffset;
  uint8_t maxLength;
};
constexpr TextField kFirstTextField{16, 46};
constexpr TextField kSecondTextField{64, 46};
constexpr TextField kSerialField{112, 14};
constexpr uint8_t kLongestField = 46;
// A second text longer than this refuses the whole write; one of exactly this
// length is accepted but, too long for its field, not written.
constexpr size_t kSecondTextRefusedAbove = 47;

uint8_t CheckByte(const uint8_t* header) {
  return static_cast<uint8_t>(header[0] + header[1] + header[2] + header[3] + 1);
}

bool IsPresentLength(size_t length, const TextField& field) {
  return length >= 1 && length <= field.maxLength;
}

size_t TextLength(const char* text) { return text == nullptr ? 0 : std::strlen(text); }

// Reads a field into dest (when given). An absent field is not an error.
bool ReadTextField(const TextField& field, uint8_t* dest, int32_t memType) {
  uint8_t length = 0;
  if (!ReadIdentityMemory(field.lengthOffset, &length, 1, memType)) return false;
  if (!IsPresentLength(length, field)) return true;
  // Read into a local copy first so that a failed read leaves dest untouched.
  uint8_t text[kLongestField];
  if (!ReadIdentityMemory(static_cast<uint16_t>(field.lengthOffset + 1), text, length, memType)) {
    return false;
  }
  if (dest != nullptr) std::memcpy(dest, text, length);
  return true;
}

// Writes a field's length byte and text; a text that does not fit is skipped
// and counts as success.
bool WriteTextField(const TextField& field, const char* text, int32_t memType) {
  const size_t length = TextLength(text);
  if (!IsPresentLength(length, field)) return true;
  const uint8_t lengthByte = static_cast<uint8_t>(length);
  if (!WriteIdentityMemory(field.lengthOffset, &lengthByte, 1, memType)) return false;
  return WriteIdentityMemory(static_cast<uint16_t>(field.lengthOffset + 1),
                             reinterpret_cast<const uint8_t*>(text), lengthByte, memType);
}

void PrintHeader(const uint8_t* header) {
  char line[32];
  std::snprintf(line, sizeof line, "%02x  %02x  %02x  %02x  %02x\n", header[0], header[1],
                header[2], header[3], header[4]);
  platform::ConsoleLine(line);
}

}  // namespace

bool ReadIdentityMemory(uint16_t offset, uint8_t* dest, uint16_t byteCount, int32_t memType) {
  const MemoryWindow* window = WindowOf(memType);
  platform::StillImageDevice* device = ChannelHandle();
  if (window == nullptr || device == nullptr || dest == nullptr || byteCount == 0) return false;
  for (uint32_t i = 0; i < byteCount;) {
    const uint32_t chunk = std::min(kMaxReadChunk, byteCount - i);
    uint32_t moved = 0;
    if (!SendRead(*device, WindowedAddress(*window, offset + i), dest + i, chunk, &moved)) {
      return false;
    }
    // A request that moves nothing would never advance.
    if (moved == 0) return false;
    i += std::min(moved, chunk);
  }
  return true;
}

bool WriteIdentityMemory(uint16_t offset, const uint8_t* data, uint16_t byteCount,
                         int32_t memType) {
  const MemoryWindow* window = WindowOf(memType);
  platform::StillImageDevice* device = ChannelHandle();
  if (window == nullptr || device == nullptr || data == nullptr) return false;
  const bool guarded = memType == kGuardedMemType;
  // The opening request's own answer is not looked at: the closing request
  // tells whether the memory took the write.
  if (guarded) SendWrite(*device, kWriteOpenIndex, data, 1);
  const bool written = WriteChunks(*device, *window, offset, data, byteCount);
  // Closed again whatever happened, so the memory is never left open.
  const bool closed = !guarded || SendWrite(*device, kWriteCloseIndex, data, 1);
  return written && closed;
}

int ReadIdentityRecord(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                       uint8_t* secondText, uint8_t* serial, int32_t memType) {
  uint8_t header[kHeaderSize] = {};
  if (!ReadIdentityMemory(kHeaderOffset, header, kHeaderSize, memType)) return 0;
  if (header[4] != CheckByte(header)) return 0;
  if (vendorId != nullptr) *vendorId = static_cast<uint16_t>(header[0] | header[1] << 8);
  if (productId != nullptr) *productId = static_cast<uint16_t>(header[2] | header[3] << 8);
  if (!ReadTextField(kFirstTextField, firstText, memType)) return 0;
  if (!ReadTextField(kSecondTextField, secondText, memType)) return 0;
  return ReadTextField(kSerialField, serial, memType) ? 1 : 0;
}

int WriteIdentityRecord(uint16_t vendorId, uint16_t productId, const char* firstText,
                        const char* secondText, const char* serial, int32_t memType,
                        bool printHeader) {
  const size_t secondLength = TextLength(secondText);
  if (secondLength == 0 || secondLength > kSecondTextRefusedAbove) return 0;
  uint8_t header[kHeaderSize] = {
      static_cast<uint8_t>(vendorId & 0xFF), static_cast<uint8_t>(vendorId >> 8),
      static_cast<uint8_t>(productId & 0xFF), static_cast<uint8_t>(productId >> 8), 0};
  header[4] = CheckByte(header);
  if (printHeader) PrintHeader(header);
  if (!WriteIdentityMemory(kHeaderOffset, header, kHeaderSize, memType)) return 0;
  if (!WriteTextField(kFirstTextField, firstText, memType)) return 0;
  if (!WriteTextField(kSecondTextField, secondText, memType)) return 0;
  return WriteTextField(kSerialField, serial, memType) ? 1 : 0;
}

}  // namespace lf
