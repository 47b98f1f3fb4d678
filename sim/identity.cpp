// The identity memory: three non-volatile areas in the controller's
// identity address space, reached by the identity read and write requests
// rather than through the register file. An erased cell reads 0xFF.
#include <cstring>

#include "sim/chip.h"

namespace lf::sim::chip {

namespace {

// The 2048-byte EEPROM at 0xD000 serves every window that starts there:
// the smaller windows are its first bytes. Its 16-byte pages are a multiple
// of the 8-byte pages a host uses with the smaller windows, so those writes
// never cross one. The second EEPROM at 0xC000 has 8-byte pages. The area
// at 0xE200 is write-protected until the host opens it.
constexpr IdentityArea kAreas[] = {
    {0xE200, 128, 16, true},
    {0xD000, 2048, 16, false},
    {0xC000, 2048, 8, false},
};

constexpr uint8_t kErased = 0xFF;

// The factory record: what the scanner reports until a host rewrites it.
constexpr char kFirstText[] = "Quorin Technology";
constexpr char kSecondText[] = "Lumaframe v2270";
constexpr char kSerial[] = "LF2270A0001234";
constexpr uint16_t kFirstTextOffset = 16;
constexpr uint16_t kSecondTextOffset = 64;
constexpr uint16_t kSerialOffset = 112;
constexpr uint16_t kRecordBytes = 128;

void PutText(uint8_t* record, uint16_t offset, const char* text) {
  const size_t length = std::strlen(text);
  record[offset] = static_cast<uint8_t>(length);
  std::memcpy(record + offset + 1, text, length);
}

}  // namespace

IdentityMemory::IdentityMemory() {
  std::memset(typeOne_, kErased, sizeof typeOne_);
  std::memset(eeprom_, kErased, sizeof eeprom_);
  std::memset(second_, kErased, sizeof second_);
}

const IdentityArea* IdentityMemory::AreaOf(uint16_t address) {
  for (const IdentityArea& area : kAreas) {
    if (address >= area.base && address - area.base < area.size) return &area;
  }
  return nullptr;
}

uint8_t* IdentityMemory::Cells(const IdentityArea& area) {
  return const_cast<uint8_t*>(static_cast<const IdentityMemory*>(this)->Cells(area));
}

const uint8_t* IdentityMemory::Cells(const IdentityArea& area) const {
  if (area.base == kAreas[0].base) return typeOne_;
  return area.base == kAreas[1].base ? eeprom_ : second_;
}

bool IdentityMemory::Read(uint16_t address, uint8_t* dest, uint32_t length) const {
  const IdentityArea* area = AreaOf(address);
  if (area == nullptr) return false;
  const uint8_t* cells = Cells(*area);
  const uint32_t start = address - area->base;
  for (uint32_t i = 0; i < length; ++i) dest[i] = cells[(start + i) % area->size];
  return true;
}

bool IdentityMemory::Write(uint16_t address, const uint8_t* data, uint32_t length) {
  const IdentityArea* area = AreaOf(address);
  if (area == nullptr) return false;
  if (area->guarded && !open_) return true;
  uint8_t* cells = Cells(*area);
  const uint32_t offset = address - area->base;
  const uint32_t page = offset - offset % area->page;
  for (uint32_t i = 0; i < length; ++i) {
    cells[page + (offset % area->page + i) % area->page] = data[i];
  }
  return true;
}

uint8_t IdentityMemory::Byte(uint16_t address) const {
  const IdentityArea* area = AreaOf(address);
  return area != nullptr ? Cells(*area)[address - area->base] : 0;
}

bool IdentityMemory::Store(uint16_t address, const uint8_t* data, uint32_t length) {
  const IdentityArea* area = AreaOf(address);
  if (area == nullptr || address - area->base + length > area->size) return false;
  if (length > 0) std::memcpy(Cells(*area) + (address - area->base), data, length);
  return true;
}

void IdentityMemory::StoreRecord(uint16_t base, uint16_t vendorId, uint16_t productId) {
  uint8_t record[kRecordBytes];
  std::memset(record, kErased, sizeof record);
  record[0] = static_cast<uint8_t>(vendorId);
  record[1] = static_cast<uint8_t>(vendorId >> 8);
  record[2] = static_cast<uint8_t>(productId);
  record[3] = static_cast<uint8_t>(productId >> 8);
  record[4] = static_cast<uint8_t>(record[0] + record[1] + record[2] + record[3] + 1);
  PutText(record, kFirstTextOffset, kFirstText);
  PutText(record, kSecondTextOffset, kSecondText);
  PutText(record, kSerialOffset, kSerial);
  Store(base, record, sizeof record);
}

}  // namespace lf::sim::chip
