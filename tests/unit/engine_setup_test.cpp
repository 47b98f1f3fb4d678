// Scan setup against the virtual scanner: register values in the chip and in
// the shadow for each kind of request, the image buffer layout and
// threshold, the page programmes and the ways setup fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;

struct RegisterValue {
  uint16_t reg;
  int width;  // bytes, big-endian across consecutive registers
  uint32_t value;
};

class EngineSetupTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    ASSERT_TRUE(InitController());
    scanner_->ClearTrace();
  }

  uint32_t Chip(uint16_t reg, int width) const {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
      value = (value << 8) | scanner_->Register(static_cast<uint16_t>(reg + i));
    return value;
  }
  static uint32_t Shadowed(uint16_t reg, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
      value = (value << 8) | ShadowValue(static_cast<uint16_t>(reg + i));
    return value;
  }
  void ExpectRegisters(const std::vector<RegisterValue>& expected) const {
    for (const RegisterValue& r : expected) {
      EXPECT_EQ(Chip(r.reg, r.width), r.value) << "chip register 0x" << std::hex << r.reg;
      EXPECT_EQ(Shadowed(r.reg, r.width), r.value) << "shadow register 0x" << std::hex << r.reg;
    }
  }
  bool TraceMentions(const std::string& text) const {
    return std::any_of(scanner_->Trace().begin(), scanner_->Trace().end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  }

  sim::VirtualScanner* scanner_ = nullptr;
};

// 300 dpi grey, 8.5 inch wide, 3 ms lines: 12000 ticks, 333.33 steps/s.
ScanParams GreyRequest() {
  ScanParams request;
  request.originX = 100;
  request.originY = 600;
  request.pixels = 2550;
  request.lines = 100;
  request.xResolution = request.yResolution = 300;
  request.colourMode = 1;
  request.bitsPerSample = 8;
  request.lineTime = 3.0f;
  request.exposureRed = 1.0f;
  request.exposureGreen = 1.5f;
  request.exposureBlue = 2.0f;
  request.reduction = 1;
  return request;
}

struct SetupCase {
  const char* name;
  std::function<void(ScanParams&)> change;
  uint32_t bytesPerLine;
  uint32_t lineSkipPlusOne;
  std::vector<RegisterValue> registers;
};

void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }

class SetupRegistersTest : public EngineSetupTest,
                           public ::testing::WithParamInterface<SetupCase> {};

TEST_P(SetupRegistersTest, ProgramsTheController) {
  ScanParams request = GreyRequest();
  GetParam().change(request);
  ASSERT_TRUE(SetupScan(&request));
  EXPECT_EQ(Engine().bytesPerLine, GetParam().bytesPerLine);
  EXPECT_EQ(Engine().extraPlanes, request.colourMode != 0 ? 0 : 2);
  EXPECT_EQ(Engine().lineSkipPlusOne, GetParam().lineSkipPlusOne);
  EXPECT_FALSE(Engine().pageScan);
  ExpectRegisters(GetParam().registers);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SetupRegistersTest,
    ::testing::Values(
        SetupCase{
            "grey8",
            [](ScanParams&) {},
            2550,
            1,
            {{0x04, 1, 0x14},  {0x0C, 1, 0},    {0x1D, 1, 0},    {0x80, 2, 31},    {0x82, 3, 131},
             {0x85, 3, 10331}, {0x05, 1, 0x40}, {0x2C, 2, 300},  {0x25, 3, 100},   {0x7D, 3, 12000},
             {0x8A, 3, 4000},  {0x8D, 3, 6000}, {0x90, 3, 8000}, {0x28, 3, 16477}, {0x3B, 1, 0x55},
             {0xA0, 1, 0x09},  {0x02, 1, 0x10}, {0x01, 1, 0x80}, {0x06, 1, 0x10},  {0x0D, 1, 0x05},
             {0x19, 1, 0x01},  {0x08, 1, 0x50}, {0xE0, 2, 112},  {0xF6, 2, 8191},  {0xF8, 1, 1}}},
        SetupCase{"colour8",
                  [](ScanParams& r) { r.colourMode = 0; },
                  7650,
                  1,
                  {{0x04, 1, 0x04}, {0x0C, 1, 2}, {0x25, 3, 300}, {0x28, 3, 17115}}},
        SetupCase{"line_art_second_channel",
                  [](ScanParams& r) {
                    r.bitsPerSample = 1;
                    r.cardMode = 1;
                  },
                  318,
                  1,
                  {{0x04, 1, 0xA4}, {0x25, 3, 100}}},
        SetupCase{"grey16_third_channel",
                  [](ScanParams& r) {
                    r.bitsPerSample = 16;
                    r.cardMode = 2;
                  },
                  5100,
                  1,
                  {{0x04, 1, 0x74}, {0x28, 3, 16796}}},
        SetupCase{"colour16",
                  [](ScanParams& r) {
                    r.colourMode = 0;
                    r.bitsPerSample = 16;
                  },
                  15300,
                  1,
                  {{0x04, 1, 0x44}, {0x0C, 1, 2}, {0x28, 3, 18071}}},
        SetupCase{"dpi67",
                  [](ScanParams& r) {
                    r.xResolution = r.yResolution = 67;
                    r.pixels = 100;
                    r.originX = 0;
                  },
                  100,
                  1,
                  {{0x82, 3, 31}, {0x85, 3, 31 + 1800}, {0x2C, 2, 67}, {0x7D, 3, 12000}}},
        SetupCase{"dpi133",
                  [](ScanParams& r) {
                    r.xResolution = r.yResolution = 133;
                    r.pixels = 1000;
                    r.originX = 0;
                  },
                  1000,
                  1,
                  {{0x82, 3, 31}, {0x85, 3, 31 + 9000}, {0x2C, 2, 133}}},
        SetupCase{"reduction4",
                  [](ScanParams& r) { r.reduction = 4; },
                  2550,
                  1,
                  {{0x82, 3, 31 + 25}, {0x85, 3, 31 + 2575}, {0x2C, 2, 1200}}},
        SetupCase{"long_lines_take_divider_2",
                  [](ScanParams& r) { r.lineTime = 40.0f; },
                  2550,
                  1,
                  {{0x1C, 1, 0x01}, {0x7D, 3, 80000}, {0x8A, 3, 2000}, {0x90, 3, 4000}}},
        SetupCase{"line_skip_limited_and_cleared_by_sensor_set",
                  [](ScanParams& r) { r.lineSkip = 40; },
                  2550,
                  32,
                  {{0x1D, 1, 0}}},
        SetupCase{"processing_flags",
                  [](ScanParams& r) { r.shadingOn = r.gammaOn = r.flag2b5 = r.mode2b6 = 1; },
                  2550,
                  1,
                  {{0x01, 1, 0xA0}, {0x05, 1, 0x48}, {0x06, 1, 0x18}, {0x02, 1, 0x70}}},
        SetupCase{"mode2b6_only_when_1",
                  [](ScanParams& r) { r.mode2b6 = 2; },
                  2550,
                  1,
                  {{0x02, 1, 0x10}}}),
    [](const ::testing::TestParamInfo<SetupCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(EngineSetupTest, StepTypesFollowTheVerticalResolution) {
  const struct {
    uint16_t y;
    int stepType;
    uint8_t reg0xA0;
  } cases[] = {{300, 2, 0x09}, {600, 2, 0x09}, {601, 4, 0x12}, {1200, 4, 0x12}};
  for (const auto& c : cases) {
    ScanParams request = GreyRequest();
    request.yResolution = c.y;
    ASSERT_TRUE(SetupScan(&request)) << c.y;
    EXPECT_EQ(Engine().scanStepType, c.stepType) << c.y;
    EXPECT_EQ(Engine().feedStepType, c.stepType) << c.y;
    EXPECT_EQ(scanner_->Register(0xA0), c.reg0xA0) << c.y;
  }
}

TEST_F(EngineSetupTest, WritesTheScanSpeedBeforeBuildingItsTable) {
  const struct {
    uint8_t colourMode;
    float lineTime;
    bool ok;
    const char* line;
  } cases[] = {{1, 3.0f, true, "Final_PPS:333.33\n"},
               {0, 3.0f, true, "Final_PPS:111.11\n"},  // three planes per step
               {1, 0.5f, false, "Final_PPS:2000.00\n"}};
  for (const auto& c : cases) {
    test::DebugLines lines;
    ScanParams request = GreyRequest();
    request.colourMode = c.colourMode;
    request.lineTime = c.lineTime;
    EXPECT_EQ(SetupScan(&request), c.ok) << c.line;
    EXPECT_EQ(lines.lines(), std::vector<std::string>{c.line});
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

  ScanParams keep = GreyRequest();  // a one-channel request: setup keeps the colour state
  keep.keepProgram = 1;
  const uint64_t start = bus_.Clock().NowUs();
  ASSERT_TRUE(SetupScan(&keep));

  EXPECT_EQ(scanner_->Trace(),
            (std::vector<std::string>{"CO 0083 0000 2 0610", "CO 0083 0000 2 0d05"}));
  const uint64_t waited = bus_.Clock().NowUs() - start;
  EXPECT_GE(waited, 9000u);  // three planes of 3 ms
  EXPECT_LT(waited, 10000u);
  EXPECT_EQ(Engine().pageStartCount, 0u);
  EXPECT_EQ(Engine().bytesPerLine, 7650u);
}

struct PageCase {
  const char* name;
  uint8_t pageMode;
  uint8_t colourMode;
  std::vector<RegisterValue> registers;
};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

class PageProgrammeTest : public EngineSetupTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(PageProgrammeTest, SetsThePageLimits) {
  ScanParams request = GreyRequest();
  request.pageMode = GetParam().pageMode;
  request.colourMode = GetParam().colourMode;
  ASSERT_TRUE(SetupScan(&request));
  EXPECT_TRUE(Engine().pageScan);
  EXPECT_EQ(Engine().pageMode, GetParam().pageMode);
  ExpectRegisters(GetParam().registers);
  ExpectRegisters({{0x3D, 3, 21600}, {0x0A, 1, 0x20}, {0xB2, 3, 0}, {0xB5, 3, 0}});
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PageProgrammeTest,
    ::testing::Values(
        PageCase{"mode1_grey",
                 1,
                 1,
                 {{0x40, 3, 744},
                  {0x43, 2, 285},
                  {0x45, 3, 10800},
                  {0x25, 3, 11880},
                  {0x02, 1, 0x00},
                  {0x9F, 1, 0x00},
                  {0x28, 3, 16477},
                  {0x15, 1, 0x01},
                  {0x30, 1, 0x61},
                  {0x32, 1, 0x0B},
                  {0x33, 1, 0x0C},
                  {0x35, 1, 0x7F},
                  {0x37, 1, 0x10},
                  {0x38, 1, 0xD0}}},
        PageCase{"mode1_colour",
                 1,
                 0,
                 {{0x43, 2, 855}, {0x45, 3, 32400}, {0x25, 3, 35640}, {0x28, 3, 16477}}},
        PageCase{"mode2_grey", 2, 1, {{0x40, 3, 744}, {0x02, 1, 0x00}, {0x9F, 1, 0x08}}},
        // Feed table 24 entries, scan table 4, pre-feed step value 2:
        // trunc(600 x 4.234646 - 24 - (4 + 2) x 2 / 2).
        PageCase{"mode3_grey",
                 3,
                 1,
                 {{0xAE, 2, 24},
                  {0xA4, 2, 4},
                  {0xA2, 2, 2},
                  {0x40, 3, 2510},
                  {0x25, 3, 100},
                  {0x02, 1, 0x08},
                  {0x9F, 1, 0x08}}}),
    [](const ::testing::TestParamInfo<PageCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(EngineSetupTest, PagePinsGoOutInOrder) {
  ResetRegisterShadow();
  SetPagePins();
  EXPECT_EQ(
      scanner_->Trace(),
      (std::vector<std::string>{"CO 0083 0000 2 3420", "CO 0083 0000 2 1501", "CO 0083 0000 2 3800",
                                "CO 0083 0000 2 3001", "CO 0083 0000 2 3500", "CO 0083 0000 2 3530",
                                "CO 0083 0000 2 3200", "CO 0083 0000 2 3810", "CO 0083 0000 2 3710",
                                "CO 0083 0000 2 3532", "CO 0083 0000 2 3202", "CO 0083 0000 2 3608",
                                "CO 0083 0000 2 360a", "CO 0083 0000 2 3308", "CO 0083 0000 2 3308",
                                "CO 0083 0000 2 3572", "CO 0083 0000 2 3202"}));
}

struct LayoutCase {
  const char* name;
  bool tripleShading;
  bool threeBanks;
  int split;
  int mode;
  std::vector<uint16_t> bounds;  // 0xE0..0xF6
  int reg0xF8;                   // -1: not written
  uint32_t bufferSize;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class BufferLayoutTest : public EngineSetupTest,
                         public ::testing::WithParamInterface<LayoutCase> {};

std::vector<uint16_t> Thrice(std::vector<uint16_t> four) {
  std::vector<uint16_t> all;
  for (int i = 0; i < 3; ++i) all.insert(all.end(), four.begin(), four.end());
  return all;
}

TEST_P(BufferLayoutTest, SplitsTheMemoryAfterTheTables) {
  const LayoutCase& c = GetParam();
  if (c.tripleShading) {
    ASSERT_TRUE(SetShadingBanks3x());
  }
  if (c.threeBanks) {
    ASSERT_TRUE(WriteRegisterBits(0x08, 1, 1, 1));
  }
  ASSERT_TRUE(SetBufferLayout(c.split, c.mode));
  std::vector<uint16_t> bounds;
  for (uint16_t reg = 0xE0; reg <= 0xF6; reg += 2)
    bounds.push_back(static_cast<uint16_t>(Chip(reg, 2)));
  EXPECT_EQ(bounds, c.bounds);
  EXPECT_EQ(Engine().bufferSize, c.bufferSize);
  EXPECT_EQ(TraceMentions("CO 0083 0000 2 f8"), c.reg0xF8 >= 0);
  if (c.reg0xF8 >= 0) {
    EXPECT_EQ(scanner_->Register(0xF8), c.reg0xF8);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BufferLayoutTest,
    ::testing::Values(
        LayoutCase{"two_buffers", false, false, 1, 0, Thrice({112, 4151, 4152, 8191}), 1, 4040},
        LayoutCase{"two_buffers_mode2", false, false, 1, 2, Thrice({112, 4151, 4152, 8191}), 69,
                   4040},
        LayoutCase{"two_buffers_mode3_leaves_0xF8", false, false, 1, 3,
                   Thrice({112, 4151, 4152, 8191}), -1, 4040},
        LayoutCase{"triple_shading_reserves_244", true, false, 1, 1,
                   Thrice({244, 4217, 4218, 8191}), 35, 3974},
        LayoutCase{"three_banks", false, true, 1, 0, Thrice({112, 12343, 12344, 24575}), 1, 12232},
        LayoutCase{"six_buffers",
                   false,
                   false,
                   0,
                   0,
                   {112, 1457, 1458, 2803, 2804, 4149, 4150, 5495, 5496, 6841, 6842, 8187},
                   5,
                   1346}),
    [](const ::testing::TestParamInfo<LayoutCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(EngineSetupTest, LayoutNeedsAConfiguredMemorySize) {
  ResetRegisterShadow();
  EXPECT_FALSE(SetBufferLayout(1, 0));
  EXPECT_TRUE(scanner_->Trace().empty());
}

TEST_F(EngineSetupTest, ThresholdCountsFromTheBufferEnd) {
  const struct {
    bool tripleShading;
    uint8_t reg0x06;
    uint32_t bytes;
    int oneChannel;
    uint32_t value;
  } cases[] = {
      {false, 0x10, 2550, 1, 16477},  // trunc((1275 + 64636) / 4)
      {false, 0x10, 7650, 0, 16477},  // colour: a sixth of the line per plane
      {false, 0x60, 2550, 1, 16477},  // converter code 3 still counts from the end
      {false, 0x40, 2550, 1, 318},    // converter code 2 counts from the start
      {true, 0x10, 2550, 1, 16213},   // 16 x 3974 - 4
  };
  for (const auto& c : cases) {
    ResetEngineState();
    ASSERT_TRUE(c.tripleShading ? SetShadingBanks3x() : SetShadingBanks());
    ASSERT_TRUE(SetBufferLayout(1, 0));
    ASSERT_TRUE(WriteRegister(0x06, c.reg0x06));
    ASSERT_TRUE(SetBufferThreshold(c.bytes, c.oneChannel, 2));
    EXPECT_EQ(Chip(0x28, 3), c.value) << c.bytes << " " << int{c.reg0x06};
  }
}

TEST_F(EngineSetupTest, FailuresEndSetup) {
  const struct {
    const char* name;
    std::function<void(ScanParams&)> change;
    bool unplug;
  } cases[] = {
      {"reduction_3", [](ScanParams& r) { r.reduction = 3; }, false},
      {"colour_line_art",
       [](ScanParams& r) {
         r.bitsPerSample = 1;
         r.colourMode = 0;
       },
       false},
      {"scanner_gone", [](ScanParams&) {}, true},
  };
  for (const auto& c : cases) {
    ScanParams request = GreyRequest();
    c.change(request);
    if (c.unplug) scanner_->InjectFault(Fault::kUnplug, scanner_->TransferCount() + 1);
    EXPECT_FALSE(SetupScan(&request)) << c.name;
    EXPECT_NE(scanner_->Register(0x0D), 5) << c.name;  // the end of setup never ran
    scanner_->ClearFaults();
  }
  EXPECT_FALSE(SetupScan(nullptr));
}

TEST(ResolutionFactorTest, SpecialResolutions) {
  EXPECT_DOUBLE_EQ(ResolutionFactor(1200, 67), 18.0);
  EXPECT_DOUBLE_EQ(ResolutionFactor(1200, 133), 9.0);
  EXPECT_DOUBLE_EQ(ResolutionFactor(300, 67), 4.5);
  EXPECT_DOUBLE_EQ(ResolutionFactor(1200, 300), 4.0);
  EXPECT_DOUBLE_EQ(ResolutionFactor(300, 600), 0.5);
}

}  // namespace
}  // namespace lf
