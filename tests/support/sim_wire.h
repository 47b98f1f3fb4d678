// Hand-written requests to the virtual scanner through a device file, issued
// the way the library's channel issues them. A request can be written as the
// trace line it leaves (sim/DATASHEET.md), so a request and its record read
// the same.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/sim.h"

namespace lf::test {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;
using RegisterPairs = std::vector<std::pair<uint16_t, uint8_t>>;

// Two lower-case hex digits a byte, no separators, as the trace writes data.
std::string Hex(const Bytes& bytes);
std::string Hex(std::string_view text);
// The bytes that pairs of hex digits give; spaces between pairs are skipped.
Bytes FromHex(std::string_view hex);

class SimWire {
 public:
  static constexpr uint32_t kTimeoutMs = 60000;
  static constexpr uint8_t kUntouched = 0xEE;  // fills a read buffer before the read
  static constexpr uint32_t kImagePort = 0x10000000;

  explicit SimWire(platform::StillImageDevice* file) : file_(file) {}

  // The transfer a trace line describes: "CO vvvv iiii n data", "CI vvvv iiii n" (what follows n
  // is the chip's answer, not sent), "BO n" (n bytes of 0x5A), "BI n" or "DD".
  bool Run(const std::string& line);
  bool Out(uint32_t value, uint32_t index, Bytes data);
  bool Window(uint32_t direction, uint32_t address, uint32_t count);
  bool BulkOut(const Bytes& data);
  bool BulkIn(uint32_t size, uint32_t timeoutMs = kTimeoutMs);
  // Register pairs in one write, to the bank of the first register.
  bool Set(const RegisterPairs& pairs);
  // A value big-endian over `bytes` registers from reg.
  bool SetWide(uint16_t reg, uint32_t value, int bytes);
  uint8_t Read(uint16_t reg);  // one register, as the host reads it
  // Words low byte first through a write window.
  bool Upload(uint32_t address, const Words& words);
  // A read window over the image port (or memory when no scan runs) and its bulk read.
  bool ReadImage(uint32_t size, uint32_t timeoutMs = kTimeoutMs);

  Bytes answer;  // what the last read left in the caller's buffer
  uint32_t moved = 0;
  std::array<uint16_t, 4> ids{};  // vendor, product, release, language of the last "DD"

 private:
  platform::StillImageDevice* file_;
};

// A virtual scanner alone at slot 0 of its own bus, its device file open.
struct WiredScanner {
  explicit WiredScanner(sim::Model model = sim::Model::kLumaframe, sim::Descriptor descriptor = {});
  std::string LastTrace() const;  // "" while the trace is empty
  // Runs a transfer and gives the trace line it left.
  std::string Do(const std::string& line);

  sim::VirtualBus bus;
  sim::VirtualScanner& scanner;
  std::unique_ptr<platform::StillImageDevice> file;
  SimWire wire;
};

}  // namespace lf::test
