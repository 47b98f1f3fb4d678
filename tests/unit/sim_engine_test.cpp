// The virtual scanner's motor, paper path and image engine, driven by
// hand-written register traffic through a device file as the library would
// send it, and compared with what the datasheet's rules predict.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/sim.h"
#include "support/sim_fixture.h"
#include "support/sim_wire.h"

namespace lf::sim {
namespace {

using test::Bytes;
using test::FromHex;
using test::Words;
constexpr uint8_t kPixelBase = 31;
constexpr float kBacking = VirtualScanner::kBackingLevel / 255.0f;

// What one test scan programs; the defaults give one 8-bit channel of 64
// pixels at 1200 dpi, 1 ms lines, lamp on, motor off.
// format: register 0x04 bits 4-7; motorPower: 0x0A, where 0x20 with the motor
// off runs a page programme.
struct Scan {
  uint32_t firstElement = 200, pixels = 64;
  uint8_t planes = 1, format = 0x1;
  bool lamp = true;
  uint32_t lines = 10;
  bool motor = false;
  uint8_t motorPower = 0;
  uint32_t preFeed = 0;
  uint16_t settle = 0;
  uint8_t gain = 200, offset = 64, reg01 = 0x01, reg05 = 0x00, reg06 = 0x08, reg33 = 0x00;
};

struct Chip : test::WiredScanner {
  using WiredScanner::WiredScanner;

  // A paper move with the feed table; returns when the strobe took effect.
  uint64_t Move(bool forward, uint32_t steps, const Words& table, uint8_t divider = 0,
                uint8_t stepType = 1) {
    EXPECT_TRUE(wire.Upload(0x1000C000, table) && wire.SetWide(0xAE, uint32_t(table.size()), 2));
    EXPECT_TRUE(wire.Set({{0x1C, divider}, {0xA0, uint8_t(stepType << 3)}, {0x01, 0x00}}));
    EXPECT_TRUE(wire.Set({{0x02, uint8_t(forward ? 0x10 : 0x14)}}) && wire.SetWide(0x3D, steps, 3));
    EXPECT_TRUE(wire.Set({{0x0F, 0xFF}}));
    return bus.Clock().NowUs();
  }
  void Feed(double inches) {  // brings the sheet under the scan line
    Move(true, uint32_t(inches * 600), {400});
    bus.Clock().AdvanceUs(uint64_t(inches * 600) * 100 + 1000);
  }
  // Scan table 4 x 2000 ticks, feed table 4 x 1000, both step type 2; 1 ms
  // lines, half of it lit.
  uint64_t Start(const Scan& s) {
    EXPECT_TRUE(wire.Upload(0x10000000, {2000, 2000, 2000, 2000}));
    EXPECT_TRUE(wire.Upload(0x1000C000, {1000, 1000, 1000, 1000}));
    // clang-format off
    EXPECT_TRUE(wire.Set({{0xA4, 0}, {0xA5, 4}, {0xAE, 0}, {0xAF, 4}, {0x80, 0}, {0x81, kPixelBase},
                          {0x2C, 0x04}, {0x2D, 0xB0}, {0x1C, 0}, {0xA0, 0x09}, {0x05, s.reg05},
                          {0x04, uint8_t(s.format << 4)}, {0x0C, uint8_t(s.planes - 1)},
                          {0x03, uint8_t(s.lamp ? 0x10 : 0)}, {0x02, uint8_t(s.motor ? 0x10 : 0)},
                          {0x0A, s.motorPower}, {0x06, s.reg06}, {0x33, s.reg33}}));
    EXPECT_TRUE(wire.SetWide(0x82, kPixelBase + s.firstElement, 3) &&
                wire.SetWide(0x85, kPixelBase + s.firstElement + s.pixels, 3) &&
                wire.SetWide(0x7D, 4000, 3) && wire.SetWide(0x8A, 2000, 3) &&
                wire.SetWide(0x8D, 2000, 3) && wire.SetWide(0x90, 2000, 3) &&
                wire.SetWide(0x25, s.lines * s.planes, 3) && wire.SetWide(0x3D, s.preFeed, 3) &&
                wire.SetWide(0xA2, s.settle, 2));
    // clang-format on
    for (uint8_t c = 0; c < 3; ++c) {
      EXPECT_TRUE(wire.Set({{0x51, uint8_t(0x28 + c)}, {0x5D, 0}, {0x5E, s.gain}}));
      EXPECT_TRUE(wire.Set({{0x51, uint8_t(0x20 + c)}, {0x5D, 0}, {0x5E, s.offset}}));
    }
    EXPECT_TRUE(wire.Set({{0x01, s.reg01}, {0x0F, 0xFF}}));
    return bus.Clock().NowUs();
  }
  // The image bytes of a read window over the image port, 0xEE where none came.
  bool ReadImage(uint32_t size, Bytes* out, uint32_t timeoutMs = test::SimWire::kTimeoutMs) {
    const bool ok = wire.ReadImage(size, timeoutMs);
    *out = wire.answer;
    return ok;
  }
  uint8_t Raw8(int channel, uint32_t element, float reflectance) const {
    return scanner.PredictRaw8(channel, int(element), reflectance);
  }
  void AdvanceUs(uint64_t us) { bus.Clock().AdvanceUs(us); }
};

// A uniform sheet of one colour at 100 dpi, 9 inches wide.
SheetImage Uniform(uint8_t r, uint8_t g, uint8_t b, uint32_t rows = 600) {
  SheetImage image{900, rows, 100.0, {}};
  for (uint32_t i = 0; i < 900 * rows; ++i) image.rgb.insert(image.rgb.end(), {r, g, b});
  return image;
}

// Step i of n takes entry min(i, n - 1 - i, last) times the divider; an
// entry of 0 counts as 65536.
uint64_t MoveTicks(const Words& table, uint64_t steps, uint64_t divider) {
  uint64_t ticks = 0;
  for (uint64_t i = 0; i < steps; ++i) {
    const uint16_t entry = table[std::min({i, steps - 1 - i, uint64_t(table.size() - 1)})];
    ticks += (entry == 0 ? 65536 : entry) * divider;
  }
  return ticks;
}

// --- Motor and paper path ----------------------------------------------------

TEST(SimEngineTest, PaperMoveEndsWhenTheTableSumsSayAndMovesTheSheet) {
  // clang-format off
  const struct { bool forward; uint32_t steps; Words table; uint8_t dividerCode, stepTypeCode;
                 double end; } cases[] = {  // end: the leading edge, inches past the sensor
      {true, 1000, {4000, 3000, 2000, 1000}, 0, 1, 1.85 + 1000 / 600.0},  // ramps round a middle
      {true, 5, {4000, 3000, 2000, 1000}, 1, 2, 1.85 + 5 / 1200.0},  // too short for the ramp
      {true, 1, {5000, 100}, 0, 0, 1.85 + 1 / 300.0},
      {true, 3, {0, 7}, 5, 3, 1.85 + 3 / 2400.0},  // 0 counts as 65536, divider 32
      {false, 600, {1500}, 2, 1, 0.85},
      {false, 6000, {100}, 0, 1, -1.0}};  // to the back stop
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Chip chip;
    const uint64_t start = chip.Move(c.forward, c.steps, c.table, c.dividerCode, c.stepTypeCode);
    const uint64_t ticks = MoveTicks(c.table, c.steps, uint64_t{1} << c.dividerCode);
    const uint64_t endUs = start + (ticks + 3) / 4;  // first microsecond at or past the end
    chip.AdvanceUs(endUs - 1 - start);
    EXPECT_TRUE(chip.scanner.MotorRunning());
    chip.AdvanceUs(1);
    EXPECT_FALSE(chip.scanner.MotorRunning());
    EXPECT_NEAR(chip.scanner.SheetLeadingEdge(), c.end, 1e-9);
  }
}

TEST(SimEngineTest, MotorStopsAtOnceButAStuckOneOnlyOnAnEngineReset) {
  for (const auto& write : {std::pair<uint16_t, uint8_t>{0x02, 0x00}, {0x0E, 0xFF}}) {
    Chip chip;
    const uint64_t start = chip.Move(true, 100000, {4000});  // 1 ms per step of 1/600 inch
    chip.AdvanceUs(50000 - 150);                             // the stop write costs 150 us
    ASSERT_TRUE(chip.wire.Set({write}));
    EXPECT_EQ(chip.bus.Clock().NowUs() - start, 50000u);
    EXPECT_EQ(chip.wire.Read(0x101) & 0x01, 0) << write.first;
    chip.AdvanceUs(1000000);
    EXPECT_NEAR(chip.scanner.SheetLeadingEdge(), 1.85 + 50 / 600.0, 1e-9) << write.first;
  }
  for (Fault fault : {Fault::kStuckMotor, Fault::kJam}) {
    SCOPED_TRACE(FaultName(fault));
    Chip chip;
    chip.scanner.InjectFault(fault);
    chip.Move(true, 10, {4000});  // 10 ms
    chip.AdvanceUs(1000000);
    EXPECT_EQ(chip.scanner.SheetLeadingEdge(), 1.85);
    ASSERT_TRUE(chip.wire.Set({{0x02, 0x00}}));
    // A stuck motor stays "running" until an engine reset; a jam does not.
    EXPECT_EQ(chip.wire.Read(0x101) & 0x01, fault == Fault::kStuckMotor ? 1 : 0);
    ASSERT_TRUE(chip.wire.Set({{0x0E, 0xFF}}));
    EXPECT_EQ(chip.wire.Read(0x101) & 0x01, 0);
  }
}

TEST(SimEngineTest, PaperSensorBitFollowsEachModelsWiring) {
  const std::pair<Model, uint8_t> cases[] = {
      {Model::kLumaframe, 0x08}, {Model::kKD21x, 0x00}, {Model::kKD409P, 0x00}, {Model::kCard, 0}};
  for (const auto& [model, paperBit] : cases) {
    Chip chip(model);
    EXPECT_TRUE(chip.scanner.PaperAtSensor());
    EXPECT_EQ(chip.wire.Read(0x101) & 0x08, paperBit) << ModelName(model);
    chip.scanner.SetSheetCount(0);
    EXPECT_FALSE(chip.scanner.SheetInPath());
    EXPECT_EQ(chip.wire.Read(0x101) & 0x08, paperBit ^ 0x08) << ModelName(model);
  }
}

TEST(SimEngineTest, SheetsLeaveThroughTheExitOneAfterAnother) {
  Chip chip(Model::kKD21x);                                              // rest 0.125, exit 0.30
  ASSERT_TRUE(chip.scanner.SetSheetImage(Uniform(255, 255, 255, 100)));  // one inch
  chip.scanner.SetSheetCount(3);
  EXPECT_EQ(chip.scanner.SheetsInFeeder(), 2u);
  // Each sheet leaves 1.175 inches (705 steps of 1/600 inch) after it starts
  // from rest, and the next moves on from rest.
  chip.Move(true, 2000, {4000});
  chip.AdvanceUs(2000000);
  EXPECT_EQ(chip.scanner.SheetsEjected(), 2u);
  EXPECT_EQ(chip.scanner.SheetsInFeeder(), 0u);
  EXPECT_NEAR(chip.scanner.SheetLeadingEdge(), 0.125 + 590 / 600.0, 1e-9);
  EXPECT_EQ(chip.wire.Read(0x101) & 0x08,
            0x08);  // its tail has passed the sensor: no paper reads 1
  chip.Move(true, 800, {4000});
  chip.AdvanceUs(1000000);
  EXPECT_FALSE(chip.scanner.SheetInPath());
  EXPECT_EQ(chip.scanner.SheetsEjected(), 3u);
  EXPECT_EQ(chip.wire.Read(0x101) & 0x08, 0x08);
}

TEST(SimEngineTest, SheetKindsAndTheirSamples) {
  // clang-format off
  const struct { const char* sheet; bool ok; int channel; double x, y; uint8_t sample; } cases[] = {
      {"gray:17", true, 0, 1.0, 0.5, 17},  {"gray:256", false, 0, 1.0, 0.5, 255},  // x, y: inches
      {"gray:", false, 0, 1.0, 0.5, 255},  {"gray:-1", false, 0, 1.0, 0.5, 255},
      {"grey:5", false, 0, 1.0, 0.5, 255}, {"/no/such.png", false, 0, 1.0, 0.5, 255},
      {"white", true, 0, -0.01, 0.5, 128}, {"white", true, 0, 1.0, 11.0, 128},
      {"none", true, 0, 1.0, 0.5, 128},    {"chart", true, 1, 0.1, 1.2, 255},
      {"chart", true, 1, 8.4, 1.2, 31},    {"chart", true, 0, 1.1, 1.7, 230},
      {"chart", true, 1, 1.1, 1.7, 25},    {"chart", true, 0, 4.0, 9.05, 0},
      {"chart", true, 0, 4.0, 9.13, 255},  {"chart", true, 2, 4.0, 0.5, 255}};
  // clang-format on
  Chip chip;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sheet << " " << c.x << "," << c.y);
    ASSERT_TRUE(chip.scanner.SetSheet("white"));
    EXPECT_EQ(chip.scanner.SetSheet(c.sheet), c.ok);
    EXPECT_EQ(chip.scanner.SheetSample(c.channel, c.x, c.y), c.sample);
  }
}

#if defined(LF_V2270_SIM_PNG)
// A 2 x 3 pixel RGB PNG holding 10, 20, ... 180, with a pHYs chunk of 150 dpi
// (5906 per metre) right after the header chunk, or without it.
std::string WritePng(bool withResolution) {
  Bytes png = FromHex(
      "89504e470d0a1a0a0000000d4948445200000002000000030802000000368849d6000000097048597300001712"
      "0000171201679fd2520000001d4944415478da63e01291d330b261700b884ac9ab6068ea99b660d51600307b"
      "06afc7f273530000000049454e44ae426082");
  if (!withResolution) png.erase(png.begin() + 33, png.begin() + 33 + 21);
  const std::string path = ::testing::TempDir() + "sim_engine_test.png";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), png.size());
  return path;
}

TEST(SimEngineTest, PngSheetsKeepTheirPixelsAndResolution) {
  for (const auto& [withResolution, length] : {std::pair{true, 3 / 150.0}, {false, 3 / 300.0}}) {
    SCOPED_TRACE(withResolution);
    Chip chip;
    ASSERT_TRUE(chip.scanner.SetSheet(WritePng(withResolution).c_str()));
    EXPECT_NEAR(chip.scanner.SheetLength(), length, 1e-9);
    const double pixel = length / 3;
    EXPECT_EQ(chip.scanner.SheetSample(0, 0.5 * pixel, 0.5 * pixel), 10);
    EXPECT_EQ(chip.scanner.SheetSample(2, 1.5 * pixel, 2.5 * pixel), 180);
    EXPECT_EQ(chip.scanner.SheetSample(1, 2.5 * pixel, 0.5 * pixel), VirtualScanner::kBackingLevel);
  }
}
#endif

TEST(SimEngineTest, BulkWritesOutsideTheTablesAreProtocolErrors) {
  // Gamma tables, past them, a scan table copy, shading bank 22, beyond the last bank, nowhere.
  const std::tuple<uint32_t, uint32_t, bool> cases[] = {
      {0x01000000, 768, true},   {0x010005FE, 2, false}, {0x10008000, 8192, true},
      {0x1002C000, 20000, true}, {0x10037FFE, 2, false}, {0x20000000, 4, false}};
  for (const auto& [address, words, ok] : cases) {
    Chip chip;
    ASSERT_TRUE(chip.wire.Set({{0xD0, 10}, {0xD1, 16}, {0xD2, 22}}));
    EXPECT_EQ(chip.wire.Upload(address, Words(words, 0x1234)), ok) << std::hex << address;
    EXPECT_EQ(chip.scanner.ProtocolErrors(), ok ? 0u : 1u);
    EXPECT_EQ(chip.scanner.Trace().back(),
              "BO " + std::to_string(2 * words) + (ok ? "" : " stall"));
  }
}

TEST(SimEngineTest, EnvironmentChoosesSheetAndCount) {
  // clang-format off
  const struct { const char *sheet, *sheets; uint8_t sample; uint32_t inFeeder; bool inPath; }
  cases[] = {{"gray:40", "3", 40, 2, true}, {"none", "3", 128, 0, false},
             {"bogus", "x", 127, 0, true},  // both fall back to one test chart
             {"", "0", 127, 0, false}};     // the chart by default, though no sheet lies in
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sheet) + "/" + c.sheets);
    test::ScopedEnv simulator("LF_V2270_SIMULATOR", "1"), sheet("LF_V2270_SIM_SHEET", c.sheet),
        sheets("LF_V2270_SIM_SHEETS", c.sheets);
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_TRUE(bus);
    EXPECT_EQ(bus->At(0)->SheetSample(0, 5.0, 1.25), c.sample);  // a grey step of the chart
    EXPECT_EQ(bus->At(0)->SheetsInFeeder(), c.inFeeder);
    EXPECT_EQ(bus->At(0)->SheetInPath(), c.inPath);
  }
}

// --- Image engine -----------------------------------------------------------

TEST(SimEngineTest, RawLineShowsTheDarkPatternOrTheResponseOverWhite) {
  for (auto [lamp, gain, offset] :
       {std::tuple{false, 200, 64}, {true, 200, 64}, {false, 250, 5}, {true, 100, 110}}) {
    SCOPED_TRACE(testing::Message() << lamp << " " << gain << "/" << offset);
    Chip chip;
    chip.Feed(0.5);  // the sheet under the scan line
    // clang-format off
    chip.Start({.pixels = 2000, .format = 0x5, .lamp = lamp, .gain = uint8_t(gain),
                .offset = uint8_t(offset)});
    // clang-format on
    Bytes line;
    ASSERT_TRUE(chip.ReadImage(4000, &line));
    // One channel: all three sources lit for half the line period.
    const double light = lamp ? (1.0 + 1.0 + 1.5) * 0.5 : 0.0;
    EXPECT_DOUBLE_EQ(chip.scanner.LineLight(0), light);
    std::vector<int> samples;
    for (int e = 200; e < 2200; ++e) {
      samples.push_back(line[2 * e - 400] | line[2 * e - 399] << 8);
      const double signal = 232.0 * light / (light + 0.1) * chip.scanner.SensorResponse(0, e);
      const double raw =
          gain / 200.0 * (chip.scanner.SensorDark(0, e) + signal) + (offset - 64) * 0.1;
      EXPECT_NEAR(samples.back(), raw * 256, 1) << e;
      EXPECT_NEAR(samples.back(), chip.scanner.PredictRaw16(0, e, 1.0), 1) << e;
    }
    const auto [lowest, highest] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_GE(*highest - *lowest, 512);  // the patterns vary along the line
  }
}

TEST(SimEngineTest, ColourPlanesComeInChannelOrder) {
  Chip chip;
  ASSERT_TRUE(chip.scanner.SetSheetImage(Uniform(255, 128, 0)));
  chip.Feed(0.5);
  chip.Start({.planes = 3, .format = 0x0});
  chip.AdvanceUs(3500);  // three sensor lines make one colour line waiting
  EXPECT_EQ(chip.wire.Read(0x105), 192);
  Bytes line;
  ASSERT_TRUE(chip.ReadImage(3 * 64, &line));
  EXPECT_EQ(chip.scanner.LineBytes(), 3u * 64);
  const float reflectance[3] = {1.0f, 128 / 255.0f, 0.0f};
  for (int c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < 64; ++i) {
      EXPECT_EQ(line[c * 64 + i], chip.Raw8(c, 200 + i, reflectance[c])) << c;
    }
  }
  EXPECT_GT(line[0], line[64]);
  EXPECT_GT(line[64], line[128]);
}

TEST(SimEngineTest, LineArtPacksThresholdedPixelsFirstInTheHighBit) {
  const std::pair<uint32_t, Bytes> cases[] = {
      {64, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
      {60, {0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF}},  // the last 4 pixels drop
      {68, {0, 0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF}}};
  for (const auto& [pixels, expected] : cases) {
    Chip chip;
    SheetImage half = Uniform(0, 0, 0);  // white from column 20, that is element 112 + 240
    for (uint32_t row = 0; row < half.height; ++row) {
      std::fill_n(half.rgb.begin() + (row * half.width + 20) * 3, (half.width - 20) * 3, 255);
    }
    ASSERT_TRUE(chip.scanner.SetSheetImage(half));
    chip.Feed(0.5);
    ASSERT_TRUE(chip.wire.Set({{0x114, 0xFF}, {0x115, 0x01}}));  // the threshold is their mean
    chip.Start(
        {.firstElement = 384 - pixels, .pixels = pixels, .format = 0x9});  // edge 32 before the end
    EXPECT_EQ(chip.scanner.LineBytes(), expected.size());
    Bytes line;
    ASSERT_TRUE(chip.ReadImage(uint32_t(expected.size()), &line));
    EXPECT_EQ(line, expected) << pixels;
  }
}

// With the lamp off every sample is the element's dark level exactly, so the
// corrections can be checked to the last bit.
TEST(SimEngineTest, ShadingThenGammaCorrectEachPixel) {
  // Shading with and without block gaps or the 16384 gain scale, gamma, both.
  const std::tuple<bool, bool, bool, uint32_t> cases[] = {{true, false, true, 16384},
                                                          {true, false, false, 16384},
                                                          {true, false, true, 65536},
                                                          {false, true, true, 16384},
                                                          {true, true, true, 16384}};
  for (auto [shading, gamma, gaps, scale] : cases) {
    SCOPED_TRACE(testing::Message() << shading << gamma << gaps << scale);
    Chip chip;
    ASSERT_TRUE(chip.wire.Set({{0xD0, 10}, {0xD1, 16}, {0xD2, 22}}));
    Words table(4, 0xFFFF);  // entries m: dark 1000 + m, gain 20000 + 7m
    for (uint16_t m = 0; m < 300; ++m) {
      table.insert(table.end(), {uint16_t(1000 + m), uint16_t(20000 + 7 * m)});
      if (gaps && table.size() % 256 == 252) table.insert(table.end(), 4, 0xFFFF);
    }
    ASSERT_TRUE(chip.wire.Upload(0x10014000, table));
    Words halves(768);
    for (int i = 0; i < 768; ++i) halves[i] = uint16_t((i % 256) * 128);
    ASSERT_TRUE(chip.wire.Upload(0x01000000, halves));
    // Entries 100..249 cross the first block end at 124.
    // clang-format off
    chip.Start({.firstElement = 100, .pixels = 150, .format = 0x5, .lamp = false,
                .reg01 = uint8_t(0x01 | (shading ? 0x20 : 0)), .reg05 = uint8_t(gamma ? 0x08 : 0),
                .reg06 = uint8_t((scale == 16384 ? 0x08 : 0) | (gaps ? 0 : 0x40))});
    // clang-format on
    Bytes line;
    ASSERT_TRUE(chip.ReadImage(300, &line));
    for (uint32_t i = 0; i < 150; ++i) {
      const uint32_t m = 100 + i;
      uint32_t expected = chip.scanner.PredictRaw16(0, int(m), 1.0);
      if (shading) expected = (expected - 1000 - m) * (20000 + 7 * m) / scale;
      if (gamma) expected /= 2;
      EXPECT_EQ(line[2 * i] | line[2 * i + 1] << 8, int(expected)) << i;
    }
  }
}

TEST(SimEngineTest, ReadWaitsForLinesAndStatusFollowsProduction) {
  Chip chip;
  const uint64_t start = chip.Start({.lines = 5});  // lines of 1 ms from here, motor off
  EXPECT_EQ(chip.wire.Read(0x101) & 0x50, 0x40);    // busy, nothing ready
  Bytes line;
  ASSERT_TRUE(chip.ReadImage(3 * 64, &line));
  // The read waits for the end of line 3; then the bulk costs 60 + 192 / 40.
  EXPECT_EQ(chip.bus.Clock().NowUs(), start + 3000 + 60 + 5);
  chip.AdvanceUs(1000);
  EXPECT_EQ(chip.wire.Read(0x101) & 0x50, 0x50);
  const uint32_t counter = uint32_t(chip.wire.Read(0x102)) << 24 | chip.wire.Read(0x103) << 16 |
                           chip.wire.Read(0x104) << 8 | chip.wire.Read(0x105);
  EXPECT_EQ(counter, 64u);  // bytes of whole lines not yet read
  ASSERT_TRUE(chip.ReadImage(2 * 64, &line));
  EXPECT_EQ(chip.wire.Read(0x101) & 0x50, 0x00);  // all produced and read
  // A sixth line never comes: the read times out.
  const uint64_t before = chip.bus.Clock().NowUs();
  EXPECT_FALSE(chip.ReadImage(64, &line, 500));
  EXPECT_EQ(chip.bus.Clock().NowUs() - before, 150u + 500000);
  EXPECT_EQ(chip.scanner.Trace().back(), "BI 64 timeout");
  EXPECT_EQ(chip.scanner.ProtocolErrors(), 0u);
}

TEST(SimEngineTest, NeverReadyAndShortFaultsAtTheImagePort) {
  Chip ready;
  ready.scanner.InjectFault(Fault::kNeverReady);
  ready.Start({});
  ready.AdvanceUs(10000000);
  EXPECT_EQ(ready.wire.Read(0x101) & 0x50, 0x40);
  EXPECT_EQ(ready.wire.Read(0x105), 0);
  Bytes line;
  EXPECT_FALSE(ready.ReadImage(64, &line, 250));
  EXPECT_EQ(line, Bytes(64, 0xEE));

  Chip shortRead;  // a short read brings half; the rest comes with the next read
  shortRead.Feed(0.5);
  shortRead.scanner.InjectFault(Fault::kShort);
  shortRead.Start({});
  uint16_t lastEntry = 0;  // bulk writes are not shortened: the scan table arrived whole
  ASSERT_TRUE(shortRead.scanner.ReadMemory(0x10000006, &lastEntry, 2));
  EXPECT_EQ(lastEntry, 2000);
  Bytes rest;
  ASSERT_TRUE(shortRead.ReadImage(64, &line));
  EXPECT_EQ(shortRead.wire.moved, 32u);
  shortRead.scanner.ClearFaults();
  ASSERT_TRUE(shortRead.ReadImage(32, &rest));
  EXPECT_EQ(line[32], 0xEE);
  EXPECT_NEAR(rest[0], shortRead.Raw8(0, 232, 1.0f), 1);  // pixel 32 of line 0
  EXPECT_EQ(shortRead.scanner.ProtocolErrors(), 0u);
}

// Lines start once the motor runs at the scan table's last entry; each shows
// the strip under the scan line at the middle of its exposure.
TEST(SimEngineTest, ASheetShorterThanTheScanShowsBackingAfterItsEnd) {
  // Lumaframe: feed 108 x 4 dots, settle 3 x 4, ramp 4 x 4 put the leading
  // edge 220 dots (1/2400 in) past the scan line at the first line, and each
  // line moves 8 dots (the middle of line k: 4904 + 8k; the inch ends at
  // 4680 + 2400). KD21x: no pre-feed, the middle of line k at 320 + 8k
  // reaches the scan line at 600 in line 35. Register 0x33: full resolution.
  // clang-format off
  const struct { Model model; uint32_t preFeed; uint16_t settle; uint8_t reg33;
                 uint32_t firstWhite, firstBackingAfter; } cases[] = {
      {Model::kLumaframe, 100, 3, 0x00, 0, 272}, {Model::kKD21x, 0, 0, 0x02, 35, 335}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(ModelName(c.model));
    Chip chip(c.model);
    ASSERT_TRUE(chip.scanner.SetSheetImage(Uniform(255, 255, 255, 100)));  // one inch
    // clang-format off
    chip.Start({.pixels = 16, .lines = 340, .motor = true, .preFeed = c.preFeed, .settle = c.settle,
                .reg33 = c.reg33});
    // clang-format on
    Bytes image;
    ASSERT_TRUE(chip.ReadImage(340 * 16, &image));
    for (uint32_t k = 0; k < 340; ++k) {
      const bool onSheet = k >= c.firstWhite && k < c.firstBackingAfter;
      EXPECT_NEAR(image[k * 16], chip.Raw8(0, 200, onSheet ? 1.0f : kBacking), 1) << k;
    }
    EXPECT_FALSE(chip.scanner.MotorRunning());  // stopped with the last line
  }
}

TEST(SimEngineTest, PageProgrammeFlagsTheEndAndCountsItsLines) {
  Chip chip;
  ASSERT_TRUE(chip.scanner.SetSheetImage(Uniform(255, 255, 255, 100)));  // one inch
  ASSERT_TRUE(chip.wire.SetWide(0x43, 30, 2));                           // trailing lines
  const uint64_t start = chip.Start({.pixels = 16, .lines = 3000, .motorPower = 0x20});
  EXPECT_EQ(chip.wire.Read(0x0BF) & 0x3F, 0);
  // The trailing edge passes the scan line 660 steps (1 320 000 ticks) in,
  // 328 lines after the first; the page ends 30 lines later.
  chip.AdvanceUs(start + 330000 - chip.bus.Clock().NowUs());
  EXPECT_EQ(chip.wire.Read(0x0BF) & 0x3F, 1);
  ASSERT_TRUE(chip.wire.Out(0x8B, 6, {0x00, 0x00, 0x10, 0x01}));    // latch the line count
  EXPECT_EQ(chip.Do("CI 008a 0005 4"), "CI 008a 0005 4 2a010000");  // 298 + 30 = 328
  Bytes image;
  ASSERT_TRUE(chip.ReadImage(358 * 16, &image));
  EXPECT_NEAR(image[327 * 16], chip.Raw8(0, 200, 1.0f), 1);
  EXPECT_NEAR(image[328 * 16], chip.Raw8(0, 200, kBacking), 1);
  EXPECT_EQ(chip.wire.Read(0x101) & 0x41, 0x00);  // done: not busy, motor stopped
}

TEST(SimEngineTest, ImagePortReadsMemoryWhenNoScanRuns) {
  Chip chip;
  ASSERT_TRUE(chip.wire.Upload(0x10000000, {0x1234}));
  Bytes back;
  ASSERT_TRUE(chip.ReadImage(2, &back));
  EXPECT_EQ(back, (Bytes{0x34, 0x12}));
  chip.Start({});
  ASSERT_TRUE(chip.wire.Set({{0x01, 0x00}}));  // scan enable cleared ends the scan
  EXPECT_FALSE(chip.scanner.ScanActive());
  ASSERT_TRUE(chip.ReadImage(2, &back));
  EXPECT_EQ(back, (Bytes{0xD0, 0x07}));  // the scan table Start uploaded: 2000
}

}  // namespace
}  // namespace lf::sim
