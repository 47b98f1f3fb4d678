// The controller's register protocol. Every write goes through here so that
// the shadow always holds what the chip was last told; bit-field writes are
// built from the shadow and cost no read from the device.
#include <cstring>

#include "channel/channel.h"

namespace lf {
namespace {

constexpr uint16_t kCmdWriteRegisters = 0x83;
constexpr uint16_t kCmdReadRegisters = 0x8E;
constexpr uint16_t kCmdTransferWindow = 0x82;
constexpr uint16_t kCmdAuxRegister = 0x8C;
constexpr uint16_t kCmdCommandWord = 0x8B;
constexpr uint16_t kCmdCounterWord = 0x8A;
constexpr uint16_t kCommandWordIndex = 6;
constexpr uint16_t kCounterWordIndex = 5;
constexpr uint16_t kBankBit = 0x100;
constexpr uint32_t kPairsPerTransfer = 32;

RegisterEntry g_shadow[kRegisterCount];

void StoreShadow(uint16_t reg, uint8_t value) { g_shadow[reg & 0x1FF].value = value; }

uint16_t BankCommand(uint16_t command, uint16_t reg) {
  return static_cast<uint16_t>((reg & kBankBit) | command);
}

// Reads n consecutive registers; the chip appends the marker byte when it
// took the request, so a missing marker means it did not.
bool ReadConsecutive(uint16_t reg, uint8_t n, uint8_t* out) {
  uint8_t buffer[5] = {};
  const uint16_t index = static_cast<uint16_t>(((reg & 0xFF) << 8) | 0x22);
  if (!ControlRead(BankCommand(kCmdReadRegisters, reg), index, static_cast<uint16_t>(n + 1),
                   buffer)) {
    return false;
  }
  if (buffer[n] != kReadMarker) return false;
  std::memcpy(out, buffer, n);
  return true;
}

void PutLittleEndian32(uint8_t* dest, uint32_t value) {
  for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}

// One bank's staging buffer of {register low byte, value} pairs.
class PairBuffer {
 public:
  explicit PairBuffer(uint16_t command) : command_(command) {}

  void Append(uint16_t reg, uint8_t value) {
    bytes_[length_++] = static_cast<uint8_t>(reg & 0xFF);
    bytes_[length_++] = value;
  }
  bool Full() const { return length_ == sizeof bytes_; }
  // Sends what is staged (nothing when empty) and empties the buffer.
  bool Flush() {
    if (length_ == 0) return true;
    const uint16_t sent = length_;
    length_ = 0;
    return ControlWrite(command_, 0, sent, bytes_);
  }

 private:
  uint16_t command_;
  uint8_t bytes_[2 * kPairsPerTransfer];
  uint16_t length_ = 0;
};

}  // namespace

bool ReadRegister(uint16_t reg, uint8_t* out) { return ReadConsecutive(reg, 1, out); }

bool ReadRegister16(uint16_t reg, uint16_t* out) {
  uint8_t bytes[2];
  if (!ReadConsecutive(reg, 2, bytes)) return false;
  *out = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
  return true;
}

bool ReadRegister32(uint16_t reg, uint32_t* out) {
  uint8_t bytes[4];
  if (!ReadConsecutive(reg, 4, bytes)) return false;
  *out = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
  return true;
}

bool ReadStatusByte(uint8_t* out) { return ControlRead(kCmdReadRegisters, 0, 1, out); }

bool ReadCounterWord(uint32_t* out) {
  uint8_t bytes[4] = {};
  if (!ControlRead(kCmdCounterWord, kCounterWordIndex, 4, bytes)) return false;
  *out = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
  return true;
}

bool WriteRegister(uint16_t reg, uint8_t value) {
  StoreShadow(reg, value);
  const uint8_t pair[2] = {static_cast<uint8_t>(reg & 0xFF), value};
  return ControlWrite(BankCommand(kCmdWriteRegisters, reg), 0, 2, pair);
}

bool WriteRegisterBits(uint16_t reg, uint8_t shift, uint8_t width, uint8_t value) {
  uint32_t mask = 0;
  for (uint32_t bit = shift; bit < uint32_t{shift} + width; ++bit) {
    if (bit < 8) mask |= 1u << bit;
  }
  const uint32_t shifted = (shift < 8) ? (uint32_t{value} << shift) & 0xFF : 0;
  const uint8_t updated = static_cast<uint8_t>((ShadowValue(reg) & ~mask) | shifted);
  return WriteRegister(reg, updated);
}

bool WriteRegisterBatch(const RegisterEntry* entries, uint32_t byteCount) {
  const uint32_t count = byteCount / 4;
  PairBuffer bank0(kCmdWriteRegisters);
  PairBuffer bank1(static_cast<uint16_t>(kBankBit | kCmdWriteRegisters));
  for (uint32_t i = 0; i < count; ++i) {
    const RegisterEntry& entry = entries[i];
    StoreShadow(entry.reg, entry.value);
    ((entry.reg & kBankBit) ? bank1 : bank0).Append(entry.reg, entry.value);
    if (bank0.Full() && !bank0.Flush()) return false;
    if (bank1.Full() && !bank1.Flush()) return false;
  }
  return bank0.Flush() && bank1.Flush();
}

bool WriteRegister16(uint8_t reg, uint16_t value) {
  const RegisterEntry entries[2] = {
      {reg, static_cast<uint8_t>(value >> 8), 0},
      {static_cast<uint16_t>(reg + 1), static_cast<uint8_t>(value), 0},
  };
  return WriteRegisterBatch(entries, sizeof entries);
}

bool WriteRegister24(uint8_t reg, uint32_t value) {
  const RegisterEntry entries[3] = {
      {reg, static_cast<uint8_t>(value >> 16), 0},
      {static_cast<uint16_t>(reg + 1), static_cast<uint8_t>(value >> 8), 0},
      {static_cast<uint16_t>(reg + 2), static_cast<uint8_t>(value), 0},
  };
  return WriteRegisterBatch(entries, sizeof entries);
}

bool WriteAfeRegister(uint8_t afeReg, uint16_t value) {
  const RegisterEntry entries[3] = {
      {0x51, afeReg, 0},
      {0x5D, static_cast<uint8_t>(value >> 8), 0},
      {0x5E, static_cast<uint8_t>(value), 0},
  };
  return WriteRegisterBatch(entries, sizeof entries);
}

bool WriteAuxRegister(uint8_t auxReg, uint8_t value) {
  return ControlWrite(kCmdAuxRegister, auxReg, 1, &value);
}

bool WriteCommandWord(uint32_t word) {
  uint8_t bytes[4];
  PutLittleEndian32(bytes, word);
  return ControlWrite(kCmdCommandWord, kCommandWordIndex, 4, bytes);
}

bool SetTransferWindow(uint32_t address, uint32_t byteCount, uint8_t direction) {
  uint8_t bytes[8];
  PutLittleEndian32(bytes, address);
  PutLittleEndian32(bytes + 4, byteCount);
  return ControlWrite(kCmdTransferWindow, direction, 8, bytes);
}

bool WriteControllerMemory(uint32_t address, const void* data, uint32_t byteCount) {
  return SetTransferWindow(address, byteCount, kWindowWrite) && BulkWrite(data, byteCount);
}

bool ReadScanData(void* dest, uint32_t byteCount) {
  return SetTransferWindow(kImageDataPort, byteCount, kWindowRead) && BulkRead(dest, byteCount);
}

uint8_t ShadowValue(uint16_t reg) { return g_shadow[reg & 0x1FF].value; }

void ResetRegisterShadow() {
  for (RegisterEntry& entry : g_shadow) entry = RegisterEntry{};
}

}  // namespace lf
