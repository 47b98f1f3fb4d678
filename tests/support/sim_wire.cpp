#include "support/sim_wire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace lf::test {

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) text.append({kDigits[byte >> 4], kDigits[byte & 15]});
  return text;
}

std::string Hex(std::string_view text) { return Hex(Bytes(text.begin(), text.end())); }

Bytes FromHex(std::string_view hex) {
  std::string digits(hex);
  std::erase(digits, ' ');
  Bytes bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

bool SimWire::Run(const std::string& line) {
  std::istringstream fields(line);
  std::string kind, hex;
  uint32_t value = 0, index = 0, length = 0;
  fields >> kind;
  if (kind[0] == 'B') fields >> length;
  if (kind[0] == 'C') fields >> std::hex >> value >> index >> std::dec >> length >> hex;
  answer.assign(kind[1] == 'I' ? length : 0, kUntouched);
  if (kind == "DD") {
    platform::DeviceDescriptor d{};
    const bool ok = file_->IoControl(platform::kIoctlGetDeviceDescriptor, &d, sizeof d, &d,
                                     sizeof d, &moved, kTimeoutMs);
    ids = {d.vendorId, d.productId, d.bcdDevice, d.languageId};
    return ok;
  }
  if (kind == "BO") return BulkOut(Bytes(length, 0x5A));
  if (kind == "BI") return BulkIn(length);
  if (kind == "CI") {
    const platform::IoBlock block{value, length, nullptr, index};
    return file_->IoControl(platform::kIoctlReadRegisters, &block, sizeof block, answer.data(),
                            length, &moved, kTimeoutMs);
  }
  return Out(value, index, FromHex(hex));
}

bool SimWire::Out(uint32_t value, uint32_t index, Bytes data) {
  const platform::IoBlock block{value, static_cast<uint32_t>(data.size()), data.data(), index};
  return file_->IoControl(platform::kIoctlWriteRegisters, &block, sizeof block, nullptr, 0, &moved,
                          kTimeoutMs);
}

bool SimWire::Window(uint32_t direction, uint32_t address, uint32_t count) {
  Bytes data(8);
  for (int i = 0; i < 4; ++i) {
    data[i] = static_cast<uint8_t>(address >> (8 * i));
    data[4 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  return Out(0x82, direction, data);
}

bool SimWire::BulkOut(const Bytes& data) {
  return file_->WritePipe(data.data(), static_cast<uint32_t>(data.size()), &moved, kTimeoutMs);
}

bool SimWire::BulkIn(uint32_t size, uint32_t timeoutMs) {
  answer.assign(size, kUntouched);
  return file_->ReadPipe(answer.data(), size, &moved, timeoutMs);
}

bool SimWire::Set(const RegisterPairs& pairs) {
  Bytes data;
  for (const auto& [reg, value] : pairs) data.insert(data.end(), {uint8_t(reg), value});
  return Out(0x83u | (pairs.front().first & 0x100u), 0, data);
}

bool SimWire::SetWide(uint16_t reg, uint32_t value, int bytes) {
  RegisterPairs pairs;
  for (int i = 0; i < bytes; ++i) {
    pairs.emplace_back(uint16_t(reg + i), uint8_t(value >> (8 * (bytes - 1 - i))));
  }
  return Set(pairs);
}

uint8_t SimWire::Read(uint16_t reg) {
  const platform::IoBlock block{0x8Eu | (reg & 0x100u), 2, nullptr, (reg & 0xFFu) << 8 | 0x22};
  answer.assign(2, kUntouched);
  EXPECT_TRUE(file_->IoControl(platform::kIoctlReadRegisters, &block, sizeof block, answer.data(),
                               2, &moved, kTimeoutMs))
      << "register " << reg;
  return answer[0];
}

bool SimWire::Upload(uint32_t address, const Words& words) {
  Bytes data;
  for (uint16_t word : words) data.insert(data.end(), {uint8_t(word), uint8_t(word >> 8)});
  return Window(1, address, uint32_t(data.size())) && BulkOut(data);
}

bool SimWire::ReadImage(uint32_t size, uint32_t timeoutMs) {
  return Window(0, kImagePort, size) && BulkIn(size, timeoutMs);
}

WiredScanner::WiredScanner(sim::Model model, sim::Descriptor descriptor)
    : scanner(bus.Plug(0, model, descriptor)), file(bus.OpenSlot(0)), wire(file.get()) {}

std::string WiredScanner::LastTrace() const {
  return scanner.Trace().empty() ? std::string() : scanner.Trace().back();
}

std::string WiredScanner::Do(const std::string& line) {
  wire.Run(line);
  return LastTrace();
}

}  // namespace lf::test
