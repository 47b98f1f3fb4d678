// Scan setup: register values in the chip and in the shadow for each kind of
// request, the image buffer layout and threshold, the page programmes and the
// ways setup fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using Lines = std::vector<std::string>;

struct RegisterValue {
  uint16_t reg;
  int width;  // bytes, big-endian across consecutive registers
  uint32_t value;
};
using Registers = std::vector<RegisterValue>;

class EngineSetupTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(InitController());
    scanner_->ClearTrace();
  }
  uint32_t Chip(uint16_t reg, int width) const {
    uint32_t value = 0;
    for (uint16_t r = reg; r < reg + width; ++r) value = (value << 8) | scanner_->Register(r);
    return value;
  }
  // Each value in the chip and in the shadow.
  void ExpectRegisters(const Registers& expected) const {
    for (const RegisterValue& r : expected) {
      uint32_t shadow = 0;
      for (uint16_t reg = r.reg; reg < r.reg + r.width; ++reg)
        shadow = shadow << 8 | ShadowValue(reg);
      EXPECT_EQ(Chip(r.reg, r.width), r.value) << "chip register 0x" << std::hex << r.reg;
      EXPECT_EQ(shadow, r.value) << "shadow register 0x" << std::hex << r.reg;
    }
  }
  bool TraceMentions(const std::string& text) const {
    return std::any_of(scanner_->Trace().begin(), scanner_->Trace().end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  }

};

// 300 dpi grey, 8.5 inch wide, 3 ms lines: 12000 ticks, 333.33 steps/s.
ScanParams GreyRequest() {
  // clang-format off
  return {.originX = 100, .originY = 600, .pixels = 2550, .lines = 100, .xResolution = 300,
          .yResolution = 300, .colourMode = 1, .lineTime = 3.0f, .exposureRed = 1.0f,
          .exposureGreen = 1.5f, .exposureBlue = 2.0f};
  // clang-format on
}

TEST_F(EngineSetupTest, RequestsProgramTheController) {
  using R = ScanParams&;
  // clang-format off
  const struct { const char* name; std::function<void(R)> change; uint32_t bytesPerLine;
                 uint32_t lineSkipPlusOne; Registers registers; } cases[] = {
      {"grey8", [](R) {}, 2550, 1,
       {{0x04, 1, 0x14}, {0x0C, 1, 0}, {0x1D, 1, 0}, {0x80, 2, 31}, {0x82, 3, 131},
        {0x85, 3, 10331}, {0x05, 1, 0x40}, {0x2C, 2, 300}, {0x25, 3, 100}, {0x7D, 3, 12000},
        {0x8A, 3, 4000}, {0x8D, 3, 6000}, {0x90, 3, 8000}, {0x28, 3, 16477}, {0x3B, 1, 0x55},
        {0xA0, 1, 0x09}, {0x02, 1, 0x10}, {0x01, 1, 0x80}, {0x06, 1, 0x10}, {0x0D, 1, 0x05},
        {0x19, 1, 0x01}, {0x08, 1, 0x50}, {0xE0, 2, 112}, {0xF6, 2, 8191}, {0xF8, 1, 1}}},
      {"colour8", [](R r) { r.colourMode = 0; }, 7650, 1,
       {{0x04, 1, 0x04}, {0x0C, 1, 2}, {0x25, 3, 300}, {0x28, 3, 17115}}},
      {"line_art_second_channel", [](R r) { r.bitsPerSample = 1; r.cardMode = 1; }, 318, 1,
       {{0x04, 1, 0xA4}, {0x25, 3, 100}}},
      {"grey16_third_channel", [](R r) { r.bitsPerSample = 16; r.cardMode = 2; }, 5100, 1,
       {{0x04, 1, 0x74}, {0x28, 3, 16796}}},
      {"colour16", [](R r) { r.colourMode = 0; r.bitsPerSample = 16; }, 15300, 1,
       {{0x04, 1, 0x44}, {0x0C, 1, 2}, {0x28, 3, 18071}}},
      {"dpi67", [](R r) { r.xResolution = r.yResolution = 67; r.pixels = 100; r.originX = 0; },
       100, 1, {{0x82, 3, 31}, {0x85, 3, 31 + 1800}, {0x2C, 2, 67}, {0x7D, 3, 12000}}},
      {"dpi133", [](R r) { r.xResolution = r.yResolution = 133; r.pixels = 1000; r.originX = 0; },
       1000, 1, {{0x82, 3, 31}, {0x85, 3, 31 + 9000}, {0x2C, 2, 133}}},
      {"reduction4", [](R r) { r.reduction = 4; }, 2550, 1,
       {{0x82, 3, 31 + 25}, {0x85, 3, 31 + 2575}, {0x2C, 2, 1200}}},
      {"long_lines_take_divider_2", [](R r) { r.lineTime = 40.0f; }, 2550, 1,
       {{0x1C, 1, 0x01}, {0x7D, 3, 80000}, {0x8A, 3, 2000}, {0x90, 3, 4000}}},
      // The sensor set clears the skip field again; the motor still counts it.
      {"line_skip_limited", [](R r) { r.lineSkip = 40; }, 2550, 32, {{0x1D, 1, 0}}},
      {"processing_flags", [](R r) { r.shadingOn = r.gammaOn = r.flag2b5 = r.mode2b6 = 1; },
       2550, 1, {{0x01, 1, 0xA0}, {0x05, 1, 0x48}, {0x06, 1, 0x18}, {0x02, 1, 0x70}}},
      {"mode2b6_only_when_1", [](R r) { r.mode2b6 = 2; }, 2550, 1, {{0x02, 1, 0x10}}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScanParams request = GreyRequest();
    c.change(request);
    ASSERT_TRUE(SetupScan(&request));
    EXPECT_EQ(Engine().bytesPerLine, c.bytesPerLine);
    EXPECT_EQ(Engine().extraPlanes, request.colourMode != 0 ? 0 : 2);
    EXPECT_EQ(Engine().lineSkipPlusOne, c.lineSkipPlusOne);
    EXPECT_FALSE(Engine().pageScan);
    ExpectRegisters(c.registers);
  }
}

TEST_F(EngineSetupTest, StepTypesFollowTheVerticalResolution) {
  // clang-format off
  const struct { uint16_t y; int stepType; uint8_t reg0xA0; } cases[] = {
      {300, 2, 0x09}, {600, 2, 0x09}, {601, 4, 0x12}, {1200, 4, 0x12}};
  // clang-format on
  for (const auto& c : cases) {
    ScanParams request = GreyRequest();
    request.yResolution = c.y;
    ASSERT_TRUE(SetupScan(&request)) << c.y;
    EXPECT_EQ(Engine().scanStepType, c.stepType) << c.y;
    EXPECT_EQ(Engine().feedStepType, c.stepType) << c.y;
    EXPECT_EQ(scanner_->Register(0xA0), c.reg0xA0) << c.y;
  }
}

// The scan speed is logged before its table is built; above the top speed
// there is no table and setup fails.
TEST_F(EngineSetupTest, WritesTheScanSpeedBeforeBuildingItsTable) {
  // clang-format off
  const struct { uint8_t colourMode; float lineTime; bool ok; const char* line; } cases[] = {
      {1, 3.0f, true, "Final_PPS:333.33\n"}, {0, 3.0f, true, "Final_PPS:111.11\n"},  // 3 planes
      {1, 0.5f, false, "Final_PPS:2000.00\n"}};
  // clang-format on
  for (const auto& c : cases) {
    test::DebugLines lines;
    ScanParams request = GreyRequest();
    request.colourMode = c.colourMode;
    request.lineTime = c.lineTime;
    EXPECT_EQ(SetupScan(&request), c.ok) << c.line;
    EXPECT_EQ(lines.lines(), Lines{c.line});
  }
}

TEST_F(EngineSetupTest, FixedSpeedLoadsOneFlatScanTable) {
  test::DebugLines lines;
  ScanParams request = GreyRequest();
  request.fixedSpeed = 1;
  ASSERT_TRUE(SetupScan(&request));
  ExpectRegisters(
      {{0x3D, 3, 1}, {0xB2, 3, 0}, {0xB5, 3, 0}, {0xA4, 2, 4}, {0x02, 1, 0x00}, {0x3B, 1, 0x00}});
  uint16_t table[5] = {};
  ASSERT_TRUE(scanner_->ReadMemory(0x10000000, table, sizeof table));
  EXPECT_EQ(std::vector<uint16_t>(table, table + 5),
            (std::vector<uint16_t>{12000, 12000, 12000, 12000, 0}));
  EXPECT_FALSE(TraceMentions("CO 0082 0001 8 00c00010"));  // no feed table
  EXPECT_TRUE(lines.lines().empty());
}

TEST_F(EngineSetupTest, KeepProgramOnlyEndsTheSetup) {
  ScanParams colour = GreyRequest();
  colour.colourMode = 0;
  ASSERT_TRUE(SetupScan(&colour));
  scanner_->ClearTrace();
  Engine().pageStartCount = 5;
  ScanParams keep = GreyRequest();  // one channel: setup keeps the colour state
  keep.keepProgram = 1;
  const uint64_t start = bus_.Clock().NowUs();
  ASSERT_TRUE(SetupScan(&keep));
  EXPECT_EQ(scanner_->Trace(), (Lines{"CO 0083 0000 2 0610", "CO 0083 0000 2 0d05"}));
  const uint64_t waited = bus_.Clock().NowUs() - start;
  EXPECT_GE(waited, 9000u);  // three planes of 3 ms
  EXPECT_LT(waited, 10000u);
  EXPECT_EQ(Engine().pageStartCount, 0u);
  EXPECT_EQ(Engine().bytesPerLine, 7650u);
}

TEST_F(EngineSetupTest, PageProgrammesSetThePageLimits) {
  // clang-format off
  const struct { uint8_t pageMode, colourMode; Registers registers; } cases[] = {
      {1, 1, {{0x40, 3, 744}, {0x43, 2, 285}, {0x45, 3, 10800}, {0x25, 3, 11880}, {0x02, 1, 0x00},
              {0x9F, 1, 0x00}, {0x28, 3, 16477}, {0x15, 1, 0x01}, {0x30, 1, 0x61}, {0x32, 1, 0x0B},
              {0x33, 1, 0x0C}, {0x35, 1, 0x7F}, {0x37, 1, 0x10}, {0x38, 1, 0xD0}}},
      {1, 0, {{0x43, 2, 855}, {0x45, 3, 32400}, {0x25, 3, 35640}, {0x28, 3, 16477}}},
      {2, 1, {{0x40, 3, 744}, {0x02, 1, 0x00}, {0x9F, 1, 0x08}}},
      // Feed table 24 entries, scan table 4, pre-feed step value 2:
      // trunc(600 x 4.234646 - 24 - (4 + 2) x 2 / 2).
      {3, 1, {{0xAE, 2, 24}, {0xA4, 2, 4}, {0xA2, 2, 2}, {0x40, 3, 2510}, {0x25, 3, 100},
              {0x02, 1, 0x08}, {0x9F, 1, 0x08}}},
      {3, 0, {{0x25, 3, 300}}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "mode " << int{c.pageMode} << " colour " << int{c.colourMode});
    ScanParams request = GreyRequest();
    request.pageMode = c.pageMode;
    request.colourMode = c.colourMode;
    ASSERT_TRUE(SetupScan(&request));
    EXPECT_TRUE(Engine().pageScan);
    EXPECT_EQ(Engine().pageMode, c.pageMode);
    ExpectRegisters(c.registers);
    ExpectRegisters({{0x3D, 3, 21600}, {0x0A, 1, 0x20}, {0xB2, 3, 0}, {0xB5, 3, 0}});
  }
}

TEST_F(EngineSetupTest, PagePinsGoOutInOrder) {
  ResetRegisterShadow();
  SetPagePins();
  std::istringstream pairs(
      "3420 1501 3800 3001 3500 3530 3200 3810 3710 3532 3202 3608 360a 3308 3308 3572 3202");
  Lines expected;
  for (std::string pair; pairs >> pair;) expected.push_back("CO 0083 0000 2 " + pair);
  EXPECT_EQ(scanner_->Trace(), expected);
}

std::vector<uint16_t> Thrice(std::vector<uint16_t> four) {
  std::vector<uint16_t> all;
  for (int i = 0; i < 3; ++i) all.insert(all.end(), four.begin(), four.end());
  return all;
}

TEST_F(EngineSetupTest, BufferLayoutSplitsTheMemoryAfterTheTables) {
  ResetRegisterShadow();  // no memory size configured: no layout
  EXPECT_FALSE(SetBufferLayout(1, 0));
  EXPECT_TRUE(scanner_->Trace().empty());
  // clang-format off
  const struct { bool tripleShading, threeBanks; int split, mode; std::vector<uint16_t> bounds;
                 int reg0xF8; uint32_t bufferSize; } cases[] = {  // 0xF8 -1: not written
      {false, false, 1, 0, Thrice({112, 4151, 4152, 8191}), 1, 4040},
      {false, false, 1, 2, Thrice({112, 4151, 4152, 8191}), 69, 4040},
      {false, false, 1, 3, Thrice({112, 4151, 4152, 8191}), -1, 4040},
      {true, false, 1, 1, Thrice({244, 4217, 4218, 8191}), 35, 3974},  // triple shading
      {false, true, 1, 0, Thrice({112, 12343, 12344, 24575}), 1, 12232},  // three banks
      {false, false, 0, 0, {112, 1457, 1458, 2803, 2804, 4149, 4150, 5495, 5496, 6841, 6842, 8187},
       5, 1346}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ResetEngineState();
    ASSERT_TRUE(InitController());
    ASSERT_TRUE(!c.tripleShading || SetShadingBanks3x());
    ASSERT_TRUE(!c.threeBanks || WriteRegisterBits(0x08, 1, 1, 1));
    scanner_->ClearTrace();
    ASSERT_TRUE(SetBufferLayout(c.split, c.mode));
    std::vector<uint16_t> bounds;
    for (uint16_t reg = 0xE0; reg <= 0xF6; reg += 2) bounds.push_back(uint16_t(Chip(reg, 2)));
    EXPECT_EQ(bounds, c.bounds);
    EXPECT_EQ(Engine().bufferSize, c.bufferSize);
    EXPECT_EQ(TraceMentions("CO 0083 0000 2 f8"), c.reg0xF8 >= 0);
    if (c.reg0xF8 >= 0) {
      EXPECT_EQ(scanner_->Register(0xF8), c.reg0xF8);
    }
  }
  Engine().tableUnits = 73;  // an odd remainder rounds down
  ASSERT_TRUE(SetBufferLayout(1, 0));
  EXPECT_EQ(Engine().bufferSize, 4039u);
}

TEST_F(EngineSetupTest, ThresholdCountsFromTheBufferEnd) {
  // clang-format off
  const struct { bool tripleShading; uint8_t reg0x06; uint32_t bytes; int oneChannel;
                 uint32_t value; } cases[] = {
      {false, 0x10, 2550, 1, 16477},  // trunc((1275 + 64636) / 4)
      {false, 0x10, 7650, 0, 16477},  // colour: a sixth of the line per plane
      {false, 0x60, 2550, 1, 16477},  // converter code 3 still counts from the end
      {false, 0x40, 2550, 1, 318},    // converter code 2 counts from the start
      {true, 0x10, 2550, 1, 16213}};  // 16 x 3974 - 4
  // clang-format on
  for (const auto& c : cases) {
    ResetEngineState();
    ASSERT_TRUE(c.tripleShading ? SetShadingBanks3x() : SetShadingBanks());
    ASSERT_TRUE(SetBufferLayout(1, 0) && WriteRegister(0x06, c.reg0x06));
    ASSERT_TRUE(SetBufferThreshold(c.bytes, c.oneChannel, 2));
    EXPECT_EQ(Chip(0x28, 3), c.value) << c.bytes << " " << int{c.reg0x06};
  }
}

TEST_F(EngineSetupTest, FailuresEndSetup) {
  using R = ScanParams&;
  const std::pair<std::function<void(R)>, bool> cases[] = {
      {[](R r) { r.reduction = 3; }, false},
      {[](R r) { r.bitsPerSample = 1, r.colourMode = 0; }, false},  // colour line art
      {[](R) {}, true}};                                            // the scanner is gone
  for (const auto& [change, unplug] : cases) {
    ScanParams request = GreyRequest();
    change(request);
    if (unplug) scanner_->InjectFault(sim::Fault::kUnplug, scanner_->TransferCount() + 1);
    EXPECT_FALSE(SetupScan(&request)) << unplug;
    EXPECT_NE(ShadowValue(0x0D), 5) << unplug;  // the end of setup never ran
    scanner_->ClearFaults();
  }
  EXPECT_FALSE(SetupScan(nullptr));
}

TEST(ResolutionFactorTest, SpecialResolutions) {
  EXPECT_DOUBLE_EQ(ResolutionFactor(1200, 67), 18.0);
  EXPECT_DOUBLE_EQ(ResolutionFactor(1200, 133), 9.0);
  EXPECT_DOUBLE_EQ(ResolutionFactor(300, 67), 4.5);
  EXPECT_DOUBLE_EQ(ResolutionFactor(300, 600), 0.5);
}

}  // namespace
}  // namespace lf
