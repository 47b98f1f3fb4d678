// Raw scans end to end: the engine programs the virtual scanner, starts the
// read and pulls the lines; what arrives must be what the chip's sensor model
// gives for the sheet under the scan line.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Model;

// The true-gray lighting of the sheet scanner's profiles.
struct Lighting {
  float lineTime, red, green, blue;
  uint8_t offset, gain;
};
constexpr Lighting kGray300{2.5f, 0.58f, 0.88f, 1.02f, 86, 192};
constexpr Lighting kGray600{2.5f, 0.76f, 1.2f, 1.4f, 100, 200};

constexpr double kWhite = 1.0;
constexpr int kChunk = 24;

class RawScanTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ResetEngineState();
    scanner_ = &Plug(0, Model::kKD21x);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ASSERT_TRUE(InitController());
    scanner_->SetTraceInMemory(false);
  }
  void TearDown() override {
    ResetEngineState();
    SimTest::TearDown();
  }

  // A one-channel 8-bit scan of `lines` lines, 8 inches wide, lamp on or off.
  std::vector<uint8_t> Scan(uint16_t dpi, uint32_t lines, bool lamp) {
    const Lighting& light = dpi <= 300 ? kGray300 : kGray600;
    ScanParams params;
    params.pixels = 8u * dpi;
    params.lines = lines;
    params.xResolution = params.yResolution = dpi;
    params.colourMode = 1;
    params.bitsPerSample = 8;
    params.lineTime = light.lineTime;
    params.exposureRed = light.red;
    params.exposureGreen = light.green;
    params.exposureBlue = light.blue;
    params.reduction = dpi <= 300 ? 2 : 1;
    pixels_ = params.pixels;
    std::vector<uint8_t> image(size_t{pixels_} * lines);

    EXPECT_TRUE(SetupScan(&params));
    EXPECT_TRUE(SetAfeGain(light.gain, light.gain, light.gain));
    EXPECT_TRUE(SetAfeOffset(light.offset, light.offset, light.offset));
    // The full-resolution pin: the sensor bins two elements at 300 dpi.
    EXPECT_TRUE(WriteRegisterBits(0x36, 1, 1, 1));
    EXPECT_TRUE(WriteRegisterBits(0x33, 1, 1, dpi > 300 ? 1 : 0));
    EXPECT_TRUE(SetLampState(0, lamp ? 1 : 0));
    EXPECT_TRUE(StartImageRead());
    for (uint32_t done = 0; done < lines; done += kChunk) {
      const int32_t n = static_cast<int32_t>(std::min<uint32_t>(kChunk, lines - done));
      EXPECT_EQ(ReadImageLines(image.data() + size_t{done} * pixels_, n), 1) << "line " << done;
    }
    EXPECT_TRUE(EndImageRead());
    EXPECT_EQ(scanner_->PixelsPerLine(), pixels_);
    return image;
  }

  // What the chip gives for pixel i of a line over this reflectance (the
  // window starts at the pixel base; the sheet's left edge lies further in).
  uint8_t Expected(uint16_t dpi, uint32_t i, double reflectance) const {
    const int element = static_cast<int>(i * (1200u / dpi));
    const sim::PaperGeometry geometry = sim::GeometryOf(Model::kKD21x);
    const int leftEdge = static_cast<int>(geometry.leftEdge * 1200.0 + 0.5);
    const bool onSheet = element >= leftEdge && element < leftEdge + 8.5 * 1200;
    const double backing = sim::VirtualScanner::kBackingLevel / 255.0;
    return scanner_->PredictRaw8(0, element, onSheet ? reflectance : backing);
  }

  sim::VirtualScanner* scanner_ = nullptr;
  uint32_t pixels_ = 0;
};

class RawScanByResolution : public RawScanTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(RawScanByResolution, LampOffShowsTheDarkPatternLampOnTheResponse) {
  const uint16_t dpi = GetParam();
  const uint32_t lines = 48;

  const std::vector<uint8_t> dark = Scan(dpi, lines, false);
  ASSERT_EQ(dark.size(), size_t{8u * dpi} * lines);
  // Ask the model with the registers as the dark scan left them (lamp off).
  std::vector<uint8_t> darkLine(pixels_);
  for (uint32_t i = 0; i < pixels_; ++i) darkLine[i] = Expected(dpi, i, kWhite);
  for (uint32_t line = 0; line < lines; ++line) {
    ASSERT_TRUE(std::equal(darkLine.begin(), darkLine.end(), dark.begin() + line * pixels_))
        << "dark line " << line;
  }

  // A fresh sheet waits short of the scan line; half an inch in, it is there.
  scanner_->SetSheet("white");
  const uint32_t whiteLines = dpi / 2u;
  const std::vector<uint8_t> white = Scan(dpi, whiteLines, true);
  ASSERT_EQ(white.size(), size_t{pixels_} * whiteLines);
  std::vector<uint8_t> whiteLine(pixels_);
  for (uint32_t i = 0; i < pixels_; ++i) whiteLine[i] = Expected(dpi, i, kWhite);
  const uint32_t last = whiteLines - 1;
  EXPECT_TRUE(std::equal(whiteLine.begin(), whiteLine.end(), white.begin() + last * pixels_));
  // The response pattern shows: the lit line is far from flat, unlike paper.
  const auto [low, high] = std::minmax_element(whiteLine.begin() + 200, whiteLine.end() - 200);
  EXPECT_GT(*low, 150);
  EXPECT_GT(*high - *low, 3);
  EXPECT_GT(whiteLine[pixels_ / 2], darkLine[pixels_ / 2] + 120);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, RawScanByResolution, ::testing::Values(300, 600, 1200));

TEST_F(RawScanTest, ASheetShorterThanTheScanShowsTheBackingAfterItsEnd) {
  const uint16_t dpi = 300;
  sim::SheetImage half;  // half an inch of white paper
  half.width = 2550;
  half.height = 150;
  half.dpi = 300;
  half.rgb.assign(size_t{half.width} * half.height * 3, 255);
  ASSERT_TRUE(scanner_->SetSheetImage(half));

  const uint32_t lines = 360;
  const std::vector<uint8_t> image = Scan(dpi, lines, true);
  const uint32_t probe = pixels_ / 2;
  const uint8_t paper = Expected(dpi, probe, kWhite);
  const uint8_t backing = Expected(dpi, probe, sim::VirtualScanner::kBackingLevel / 255.0);
  ASSERT_GT(paper, backing + 40);

  std::vector<bool> onPaper(lines);
  for (uint32_t line = 0; line < lines; ++line) {
    const uint8_t v = image[line * pixels_ + probe];
    ASSERT_TRUE(v == paper || v == backing || (v > backing && v < paper)) << line;
    onPaper[line] = v == paper;
  }
  const auto first = std::find(onPaper.begin(), onPaper.end(), true) - onPaper.begin();
  const auto end = std::find(onPaper.begin() + first, onPaper.end(), false) - onPaper.begin();
  // The sheet waits short of the scan line: backing first, then 150 lines of
  // paper (one may be a mixed edge line), then backing to the end.
  EXPECT_GT(first, 0);
  EXPECT_NEAR(static_cast<double>(end - first), 150.0, 1.0);
  for (auto line = end + 1; line < static_cast<long>(lines); ++line) {
    ASSERT_EQ(image[line * pixels_ + probe], backing) << "line " << line;
  }
  // Where the paper starts follows from the geometry: the gap between the
  // waiting sheet and the scan line, less what the motor ramp already moved.
  const sim::PaperGeometry geometry = sim::GeometryOf(Model::kKD21x);
  EXPECT_LE(first, (geometry.scanLine - geometry.rest) * dpi + 1);
}

}  // namespace
}  // namespace lf
