// The virtual scanner's panel (button lines, beeper, indicators, light pipe)
// and identity memory, driven through a device file with hand-written
// requests. Requests are written as the trace lines they leave
// (sim/DATASHEET.md), so a request and the record of it read the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/sim_fixture.h"

namespace lf::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kTimeoutMs = 1000;
constexpr uint64_t kControlUs = 150;  // one control transfer, as the datasheet gives it

std::string Hex(const std::string& text) {
  std::string hex;
  char digits[3];
  for (unsigned char c : text) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  return hex;
}

struct Chip {
  explicit Chip(Model model = Model::kLumaframe, Descriptor descriptor = {})
      : scanner(bus.Plug(0, model, descriptor)), file(bus.OpenSlot(0)) {}

  // "CO vvvv iiii n data" or "CI vvvv iiii n"; the trace line it leaves.
  std::string Run(const std::string& line) {
    std::istringstream fields(line);
    std::string kind, hex;
    uint32_t value = 0, index = 0, length = 0;
    fields >> kind >> std::hex >> value >> index >> std::dec >> length >> hex;
    Bytes data(length);
    for (size_t i = 0; kind == "CO" && 2 * i + 1 < hex.size(); ++i) {
      data[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    platform::IoBlock block{value, length, kind == "CO" ? data.data() : nullptr, index};
    uint32_t moved = 0;
    const uint32_t code =
        kind == "CO" ? platform::kIoctlWriteRegisters : platform::kIoctlReadRegisters;
    file->IoControl(code, &block, sizeof block, data.data(), length, &moved, kTimeoutMs);
    return scanner.Trace().back();
  }
  // The three port data registers in one read, as hex.
  std::string Ports() { return Run("CI 008e 3122 4").substr(15, 6); }

  VirtualBus bus;
  VirtualScanner& scanner;
  std::unique_ptr<platform::StillImageDevice> file;
};

TEST(SimPanelTest, ButtonLinesFollowEachModelsWiring) {
  struct Case {
    Model model;
    std::vector<int> buttons;
    bool wired;
    const char* pressed;  // 0x31 0x32 0x33 with every pin an input and the buttons held
  };
  const Case cases[] = {
      {Model::kKD21x, {3}, true, "feffff"},
      {Model::kKD21x, {2}, true, "fdffff"},
      {Model::kKD21x, {1}, true, "fbffff"},
      {Model::kKD21x, {3, 1}, true, "faffff"},
      {Model::kCard, {1}, true, "fbffff"},
      {Model::kCard, {4}, false, "ffffff"},
      {Model::kKD409P, {3}, true, "feffff"},
      {Model::kKD409P, {1}, true, "fffffb"},
      {Model::kKD409P, {2}, false, "ffffff"},
      {Model::kLumaframe, {4}, true, "ffbdfe"},
      {Model::kLumaframe, {2}, true, "ffbdf7"},
      {Model::kLumaframe, {3}, true, "fffdf6"},
      {Model::kLumaframe, {1}, true, "ffbff6"},
      {Model::kLumaframe, {0}, false, "ffbdf6"},
      {Model::kLumaframe, {4, 2, 1}, true, "ffbfff"},  // no ranking: every line shows
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(ModelName(c.model)) + " button " + std::to_string(c.buttons[0]));
    Chip chip(c.model);
    const std::string idle = chip.Ports();
    EXPECT_EQ(idle, c.model == Model::kLumaframe ? "ffbdf6" : "ffffff");
    for (int button : c.buttons) EXPECT_EQ(chip.scanner.PressButton(button), c.wired);
    EXPECT_EQ(chip.Ports(), c.pressed);
    chip.scanner.ReleaseButtons();
    EXPECT_EQ(chip.Ports(), idle);
  }
}

TEST(SimPanelTest, OutputPinsReadTheLatchAndInputPinsTheLine) {
  Chip chip;
  chip.Run("CO 0083 0000 4 32a535f0");
  EXPECT_EQ(chip.Run("CI 008e 3222 5"), "CI 008e 3222 5 adf600f055");  // (a5 & f0) | (bd & 0f)
  EXPECT_EQ(chip.scanner.Register(0x32), 0xA5);                        // the latch
  chip.scanner.PressButton(1);
  EXPECT_EQ(chip.scanner.HostRead(0x32), 0xAF);
  chip.Run("CO 0083 0000 2 35f2");  // driven low now: the button cannot pull it up
  EXPECT_EQ(chip.scanner.HostRead(0x32), 0xAD);
  // A preset pins a port against its pins until released; a write replaces it.
  chip.scanner.SetRegister(0x31, 0x5A);
  EXPECT_EQ(chip.Ports().substr(0, 2), "5a");
  chip.Run("CO 0083 0000 2 3111");
  EXPECT_EQ(chip.Ports().substr(0, 2), "11");
  chip.scanner.ReleaseRegister(0x31);
  EXPECT_EQ(chip.Ports().substr(0, 2), "ff");
}

TEST(SimPanelTest, BeeperSoundsWhileItsPinIsDrivenHigh) {
  for (Model model : {Model::kLumaframe, Model::kKD21x, Model::kKD409P, Model::kCard}) {
    SCOPED_TRACE(ModelName(model));
    Chip chip(model);
    chip.Run("CO 0083 0000 4 35023202");
    chip.bus.Clock().AdvanceUs(200000);
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u);  // the beep in progress counts
    chip.Run("CO 0083 0000 2 3200");
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u + kControlUs);
    chip.Run("CO 0083 0000 4 35003202");  // data alone, the pin an input: silent
    chip.bus.Clock().AdvanceUs(5000);
    EXPECT_EQ(chip.scanner.BeepCount(), 1u);
    chip.Run("CO 0083 0000 2 3502");  // the direction switches it as well
    chip.Run("CO 0083 0000 2 3500");
    EXPECT_EQ(chip.scanner.BeepCount(), 2u);
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u + 2 * kControlUs);
  }
}

TEST(SimPanelTest, IndicatorsAndLightPipeOnlyOnTheTwoSidedModel) {
  struct Case {
    Model model;
    const char* pins;  // 0x34, 0x31, 0x35, 0x32
    bool lit0, lit1, pipe;
  };
  const Case cases[] = {
      {Model::kKD409P, "3402310235803280", true, false, true},
      {Model::kKD409P, "3406310435803200", false, true, false},
      {Model::kKD409P, "3400310635003280", false, false, false},
      {Model::kKD409P, "34063106357f32ff", true, true, false},
      {Model::kLumaframe, "3406310635803280", false, false, false},
      {Model::kKD21x, "3406310635803280", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pins);
    Chip chip(c.model);
    chip.Run(std::string("CO 0083 0000 8 ") + c.pins);
    EXPECT_EQ(chip.scanner.IndicatorLit(0), c.lit0);
    EXPECT_EQ(chip.scanner.IndicatorLit(1), c.lit1);
    EXPECT_FALSE(chip.scanner.IndicatorLit(2));
    EXPECT_EQ(chip.scanner.LightPipeOn(), c.pipe);
  }
}

TEST(SimPanelTest, FactoryIdentityRecord) {
  Chip chip;
  for (const char* base : {"e2", "d0"}) {
    SCOPED_TRACE(base);
    const std::string at = std::string("CI 0084 ") + base;
    EXPECT_EQ(chip.Run(at + "00 6"), at + "00 6 1a2e714c06ff");
    EXPECT_EQ(chip.Run(at + "10 18"), at + "10 18 11" + Hex("Quorin Technology"));
    EXPECT_EQ(chip.Run(at + "40 16"), at + "40 16 0f" + Hex("Lumaframe v2270"));
    EXPECT_EQ(chip.Run(at + "70 16"), at + "70 16 0e" + Hex("LF2270A0001234") + "ff");
  }
  EXPECT_EQ(chip.Run("CI 0084 c000 4"), "CI 0084 c000 4 ffffffff");  // blank
  Chip other(Model::kKD21x, Descriptor{0x2E1A, 0x4C72});
  EXPECT_EQ(other.Run("CI 0084 e200 5"), "CI 0084 e200 5 1a2e724c07");
}

// Each step is a request and the trace line it must leave ("" : the request
// itself, taken); a stall must count one protocol error, nothing else may.
TEST(SimPanelTest, IdentityRequests) {
  const std::string a64(128, 'a');
  const std::pair<std::string, std::string> steps[] = {
      // Writes wrap within their page: 16 bytes at 0xD000-0xD7FF and 0xE200-0xE27F, 8 at 0xC000.
      {"CO 0083 d1fc 12 000102030405060708090a0b", ""},
      {"CI 0084 d1f0 16", "CI 0084 d1f0 16 0405060708090a0bffffffff00010203"},
      {"CO 0083 c006 12 000102030405060708090a0b", ""},  // later bytes overwrite earlier ones
      {"CI 0084 c000 16", "CI 0084 c000 16 0a0b040506070809ffffffffffffffff"},
      {"CO 0083 c000 64 " + a64, ""},
      {"CI 0084 c7ff 2", "CI 0084 c7ff 2 ffaa"},  // reads wrap to the area's start
      {"CI 0084 e27f 2", "CI 0084 e27f 2 ff1a"},
      // The area at 0xE200 takes writes only between opening and closing.
      {"CO 0083 e200 1 01", ""},
      {"CO 0083 e060 1 5a", ""},
      {"CO 0083 e27e 4 01020304", ""},
      {"CO 0083 e000 1 00", ""},
      {"CO 0083 e201 1 01", ""},
      {"CI 0084 e270 16", "CI 0084 e270 16 0304" + Hex("F2270A000123") + "0102"},
      {"CI 0084 e200 2", "CI 0084 e200 2 1a2e"},
      // Outside every area, no bytes or too many, wrong direction, bank bit, long opening.
      {"CI 0084 e280 1", "CI 0084 e280 1 stall"},
      {"CI 0084 e1ff 1", "CI 0084 e1ff 1 stall"},
      {"CI 0084 d800 1", "CI 0084 d800 1 stall"},
      {"CI 0084 bfff 1", "CI 0084 bfff 1 stall"},
      {"CO 0083 c800 1 01", "CO 0083 c800 1 01 stall"},
      {"CI 0084 e200 0", "CI 0084 e200 0 stall"},
      {"CI 0084 d000 65", "CI 0084 d000 65 stall"},
      {"CO 0083 d000 65 " + a64 + "bb", "CO 0083 d000 65 " + a64 + ".. stall"},
      {"CO 0084 e200 1 01", "CO 0084 e200 1 01 stall"},
      {"CI 0083 e200 1", "CI 0083 e200 1 stall"},
      {"CO 0183 d000 1 01", "CO 0183 d000 1 01 stall"},
      {"CI 0184 e200 1", "CI 0184 e200 1 stall"},
      {"CO 0083 e060 2 0101", "CO 0083 e060 2 0101 stall"},
  };
  Chip chip;
  uint32_t errors = 0;
  for (const auto& [request, trace] : steps) {
    const bool stall = trace.ends_with(" stall");
    EXPECT_EQ(chip.Run(request), trace.empty() ? request : trace);
    EXPECT_EQ(chip.scanner.ProtocolErrors(), errors += stall ? 1 : 0) << request;
  }
  EXPECT_FALSE(chip.scanner.IdentityWritesOpen());
  // Never a register: neither the addresses' low bytes nor the data.
  const uint16_t untouched[] = {0x000, 0x001, 0x060, 0x0E2, 0x0D0, 0x0C0};
  for (uint16_t reg : untouched) EXPECT_EQ(chip.scanner.Register(reg), 0) << reg;
  // Presets must lie within one area.
  EXPECT_TRUE(chip.scanner.SetIdentityBytes(0xC7FE, {1, 2}));
  EXPECT_FALSE(chip.scanner.SetIdentityBytes(0xC7FF, {3, 4}));
  EXPECT_FALSE(chip.scanner.SetIdentityBytes(0xC800, {5}));
  EXPECT_EQ(chip.scanner.IdentityByte(0xC7FF), 0x02);
  EXPECT_EQ(chip.scanner.IdentityByte(0xC800), 0x00);

  chip.scanner.InjectFault(Fault::kSilent);  // a controller that does not answer
  EXPECT_EQ(chip.Run("CI 0084 e200 2"), "CI 0084 e200 2 stall");
  EXPECT_EQ(chip.Run("CO 0083 d000 1 77"), "CO 0083 d000 1 77 stall");
  EXPECT_EQ(chip.Run("CO 0083 e060 1 00"), "CO 0083 e060 1 00 stall");
  chip.scanner.ClearFaults();
  EXPECT_EQ(chip.scanner.IdentityByte(0xD000), 0x1A);
  EXPECT_FALSE(chip.scanner.IdentityWritesOpen());
}

TEST(SimPanelTest, ButtonFromTheEnvironment) {
  struct Case {
    const char *simulator, *button;
    uint16_t port;
    uint8_t value;
    bool complaint;
  };
  const Case cases[] = {
      {"1", "2", 0x33, 0xF7, false},         {"kd21x", "1", 0x31, 0xFB, false},
      {"kd409p", "2", 0x31, 0xFF, true},     {"card", "x", 0x31, 0xFF, true},
      {"card", "-3", 0x31, 0xFF, true},      {"card", "99999999999999999999", 0x31, 0xFF, true},
      {"lumaframe", "0", 0x33, 0xF6, false}, {"lumaframe", "", 0x33, 0xF6, false},
  };
  test::ScopedEnv faults("LF_V2270_SIM_FAULTS", nullptr), trace("LF_V2270_SIM_TRACE", nullptr),
      sheet("LF_V2270_SIM_SHEET", nullptr), sheets("LF_V2270_SIM_SHEETS", nullptr),
      realtime("LF_V2270_SIM_REALTIME", nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.simulator) + " " + c.button);
    test::ScopedEnv simulator("LF_V2270_SIMULATOR", c.simulator),
        button("LF_V2270_SIM_BUTTON", c.button);
    test::DebugLines debug;
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->At(0)->HostRead(c.port), c.value);
    const std::vector<std::string> complaint = {
        "virtual scanner: LF_V2270_SIM_BUTTON not understood, no button\n"};
    EXPECT_EQ(debug.lines(), c.complaint ? complaint : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace lf::sim
