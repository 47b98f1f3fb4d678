// The virtual scanner's panel (button lines, beeper, indicators, light pipe)
// and identity memory, driven through a device file with hand-written
// requests. Requests are written as the trace lines they leave
// (sim/DATASHEET.md), so a request and the record of it read the same.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/sim_fixture.h"
#include "support/sim_wire.h"

namespace lf::sim {
namespace {

using test::Hex;
using Chip = test::WiredScanner;
constexpr uint64_t kControlUs = 150;  // one control transfer, as the datasheet gives it

// The three port data registers in one read, as hex.
std::string Ports(Chip& chip) { return chip.Do("CI 008e 3122 4").substr(15, 6); }

TEST(SimPanelTest, ButtonLinesFollowEachModelsWiring) {
  // pressed: 0x31 0x32 0x33 with every pin an input and the buttons held.
  // clang-format off
  const struct { Model model; std::vector<int> buttons; bool wired; const char* pressed; }
  cases[] = {
      {Model::kKD21x, {3}, true, "feffff"}, {Model::kKD21x, {2}, true, "fdffff"},
      {Model::kKD21x, {1}, true, "fbffff"}, {Model::kKD21x, {3, 1}, true, "faffff"},
      {Model::kCard, {1}, true, "fbffff"}, {Model::kCard, {4}, false, "ffffff"},
      {Model::kKD409P, {3}, true, "feffff"}, {Model::kKD409P, {1}, true, "fffffb"},
      {Model::kKD409P, {2}, false, "ffffff"}, {Model::kLumaframe, {4}, true, "ffbdfe"},
      {Model::kLumaframe, {2}, true, "ffbdf7"}, {Model::kLumaframe, {3}, true, "fffdf6"},
      {Model::kLumaframe, {1}, true, "ffbff6"}, {Model::kLumaframe, {0}, false, "ffbdf6"},
      {Model::kLumaframe, {4, 2, 1}, true, "ffbfff"}};  // no ranking: every line shows
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(ModelName(c.model)) + " button " + std::to_string(c.buttons[0]));
    Chip chip(c.model);
    const std::string idle = Ports(chip);
    EXPECT_EQ(idle, c.model == Model::kLumaframe ? "ffbdf6" : "ffffff");
    for (int button : c.buttons) EXPECT_EQ(chip.scanner.PressButton(button), c.wired);
    EXPECT_EQ(Ports(chip), c.pressed);
    chip.scanner.ReleaseButtons();
    EXPECT_EQ(Ports(chip), idle);
  }
}

TEST(SimPanelTest, OutputPinsReadTheLatchAndInputPinsTheLine) {
  Chip chip;
  chip.Do("CO 0083 0000 4 32a535f0");
  EXPECT_EQ(chip.Do("CI 008e 3222 5"), "CI 008e 3222 5 adf600f055");  // (a5 & f0) | (bd & 0f)
  EXPECT_EQ(chip.scanner.Register(0x32), 0xA5);                       // the latch
  chip.scanner.PressButton(1);
  EXPECT_EQ(chip.scanner.HostRead(0x32), 0xAF);
  chip.Do("CO 0083 0000 2 35f2");  // driven low now: the button cannot pull it up
  EXPECT_EQ(chip.scanner.HostRead(0x32), 0xAD);
  // A preset pins a port against its pins until released; a write replaces it.
  chip.scanner.SetRegister(0x31, 0x5A);
  EXPECT_EQ(Ports(chip).substr(0, 2), "5a");
  chip.Do("CO 0083 0000 2 3111");
  EXPECT_EQ(Ports(chip).substr(0, 2), "11");
  chip.scanner.ReleaseRegister(0x31);
  EXPECT_EQ(Ports(chip).substr(0, 2), "ff");
}

TEST(SimPanelTest, BeeperSoundsWhileItsPinIsDrivenHigh) {
  for (Model model : {Model::kLumaframe, Model::kKD21x, Model::kKD409P, Model::kCard}) {
    SCOPED_TRACE(ModelName(model));
    Chip chip(model);
    chip.Do("CO 0083 0000 4 35023202");
    chip.bus.Clock().AdvanceUs(200000);
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u);  // the beep in progress counts
    chip.Do("CO 0083 0000 2 3200");
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u + kControlUs);
    chip.Do("CO 0083 0000 4 35003202");  // data alone, the pin an input: silent
    chip.bus.Clock().AdvanceUs(5000);
    EXPECT_EQ(chip.scanner.BeepCount(), 1u);
    chip.Do("CO 0083 0000 2 3502");  // the direction switches it as well
    chip.Do("CO 0083 0000 2 3500");
    EXPECT_EQ(chip.scanner.BeepCount(), 2u);
    EXPECT_EQ(chip.scanner.BeeperOnUs(), 200000u + 2 * kControlUs);
  }
}

TEST(SimPanelTest, IndicatorsAndLightPipeOnlyOnTheTwoSidedModel) {
  // clang-format off
  const struct { Model model; const char* pins; bool lit0, lit1, pipe; } cases[] = {
      {Model::kKD409P, "3402310235803280", true, false, true},  // 0x34, 0x31, 0x35, 0x32
      {Model::kKD409P, "3406310435803200", false, true, false},
      {Model::kKD409P, "3400310635003280", false, false, false},
      {Model::kKD409P, "34063106357f32ff", true, true, false},
      {Model::kLumaframe, "3406310635803280", false, false, false},
      {Model::kKD21x, "3406310635803280", false, false, false}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pins);
    Chip chip(c.model);
    chip.Do(std::string("CO 0083 0000 8 ") + c.pins);
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
    EXPECT_EQ(chip.Do(at + "00 6"), at + "00 6 1a2e714c06ff");
    EXPECT_EQ(chip.Do(at + "10 18"), at + "10 18 11" + Hex("Quorin Technology"));
    EXPECT_EQ(chip.Do(at + "40 16"), at + "40 16 0f" + Hex("Lumaframe v2270"));
    EXPECT_EQ(chip.Do(at + "70 16"), at + "70 16 0e" + Hex("LF2270A0001234") + "ff");
  }
  EXPECT_EQ(chip.Do("CI 0084 c000 4"), "CI 0084 c000 4 ffffffff");  // blank
  Chip other(Model::kKD21x, Descriptor{0x2E1A, 0x4C72});
  EXPECT_EQ(other.Do("CI 0084 e200 5"), "CI 0084 e200 5 1a2e724c07");
}

// Each step is a request and what its trace line adds to it ("" when taken
// without data); a stall must count one protocol error, nothing else may.
TEST(SimPanelTest, IdentityRequests) {
  const std::string a64(128, 'a'), stall = " stall";
  const std::pair<std::string, std::string> steps[] = {
      // Writes wrap within their page: 16 bytes at 0xD000-0xD7FF and 0xE200-0xE27F, 8 at 0xC000.
      {"CO 0083 d1fc 12 000102030405060708090a0b", ""},
      {"CI 0084 d1f0 16", " 0405060708090a0bffffffff00010203"},
      {"CO 0083 c006 12 000102030405060708090a0b", ""},  // later bytes overwrite earlier ones
      {"CI 0084 c000 16", " 0a0b040506070809ffffffffffffffff"},
      {"CO 0083 c000 64 " + a64, ""},
      {"CI 0084 c7ff 2", " ffaa"},
      {"CI 0084 e27f 2", " ff1a"},  // reads wrap to the area's start
      // The area at 0xE200 takes writes only between opening and closing.
      {"CO 0083 e200 1 01", ""},
      {"CO 0083 e060 1 5a", ""},
      {"CO 0083 e27e 4 01020304", ""},
      {"CO 0083 e000 1 00", ""},
      {"CO 0083 e201 1 01", ""},
      {"CI 0084 e270 16", " 0304" + Hex("F2270A000123") + "0102"},
      {"CI 0084 e200 2", " 1a2e"},
      // Outside every area, no bytes or too many, wrong direction, bank bit, long opening.
      {"CI 0084 e280 1", stall},
      {"CI 0084 e1ff 1", stall},
      {"CI 0084 d800 1", stall},
      {"CI 0084 bfff 1", stall},
      {"CO 0083 c800 1 01", stall},
      {"CI 0084 e200 0", stall},
      {"CI 0084 d000 65", stall},
      {"CO 0084 e200 1 01", stall},
      {"CI 0083 e200 1", stall},
      {"CO 0183 d000 1 01", stall},
      {"CI 0184 e200 1", stall},
      {"CO 0083 e060 2 0101", stall}};
  Chip chip;
  uint32_t errors = 0;
  for (const auto& [request, added] : steps) {
    EXPECT_EQ(chip.Do(request), request + added);
    EXPECT_EQ(chip.scanner.ProtocolErrors(), errors += added == stall ? 1 : 0) << request;
  }
  EXPECT_EQ(chip.Do("CO 0083 d000 65 " + a64 + "bb"), "CO 0083 d000 65 " + a64 + ".. stall");
  EXPECT_EQ(chip.scanner.ProtocolErrors(), errors + 1);
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
  EXPECT_EQ(chip.Do("CI 0084 e200 2"), "CI 0084 e200 2 stall");
  EXPECT_EQ(chip.Do("CO 0083 d000 1 77"), "CO 0083 d000 1 77 stall");
  EXPECT_EQ(chip.Do("CO 0083 e060 1 00"), "CO 0083 e060 1 00 stall");
  chip.scanner.ClearFaults();
  EXPECT_EQ(chip.scanner.IdentityByte(0xD000), 0x1A);
  EXPECT_FALSE(chip.scanner.IdentityWritesOpen());
}

TEST(SimPanelTest, ButtonFromTheEnvironment) {
  // clang-format off
  const struct { const char *simulator, *button; uint16_t port; uint8_t value; bool complaint; }
  cases[] = {
      {"1", "2", 0x33, 0xF7, false},         {"kd21x", "1", 0x31, 0xFB, false},
      {"kd409p", "2", 0x31, 0xFF, true},     {"card", "x", 0x31, 0xFF, true},
      {"card", "-3", 0x31, 0xFF, true},      {"card", "99999999999999999999", 0x31, 0xFF, true},
      {"lumaframe", "0", 0x33, 0xF6, false}, {"lumaframe", "", 0x33, 0xF6, false}};
  // clang-format on
  test::ScopedEnv faults("LF_V2270_SIM_FAULTS", nullptr), trace("LF_V2270_SIM_TRACE", nullptr),
      sheet("LF_V2270_SIM_SHEET", nullptr), sheets("LF_V2270_SIM_SHEETS", nullptr),
      realtime("LF_V2270_SIM_REALTIME", nullptr);
  for (const auto& c : cases) {
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
