// Image reading: interleaving, block reads from the image port, the end of the
// sheet in page scans, the data wait in virtual time, and starting and ending
// the read per page mode.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Plane order to pixel order the plain way, to compare the fast loops with.
Bytes ReferenceInterleave(const Bytes& line, int channels, int sampleSize) {
  Bytes out = line;
  const size_t n = line.size() / channels / sampleSize;
  for (size_t p = 0; p < n; ++p) {
    for (int c = 0; c < channels; ++c) {
      for (int b = 0; b < sampleSize; ++b) {
        out[(p * channels + c) * sampleSize + b] = line[(c * n + p) * sampleSize + b];
      }
    }
  }
  return out;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

TEST(InterleaveLineTest, ExamplesAndTheFastPathAgainstThePlainOne) {
  // clang-format off
  const struct { Bytes line; int channels; bool eightBit; Bytes expected; } cases[] = {
      {{0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xC0, 0xC1, 0xC2}, 3, true,
       {0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1, 0xA2, 0xB2, 0xC2}},
      {{0xA0, 0x0A, 0xA1, 0x1A, 0xB0, 0x0B, 0xB1, 0x1B, 0xC0, 0x0C, 0xC1, 0x1C}, 3, false,
       {0xA0, 0x0A, 0xB0, 0x0B, 0xC0, 0x0C, 0xA1, 0x1A, 0xB1, 0x1B, 0xC1, 0x1C}},  // pairs kept
      {{1, 2, 3, 4, 5, 6, 7}, 3, true, {1, 3, 5, 2, 4, 6, 7}},  // bytes past the last pixel stay
      {{1, 2, 3, 4}, 2, true, {1, 3, 2, 4}}, {{1, 2, 3}, 1, true, {1, 2, 3}}};
  // clang-format on
  for (const auto& c : cases) {
    Bytes line = c.line;
    EXPECT_TRUE(InterleaveLine(line.data(), uint32_t(line.size()), c.channels, c.eightBit));
    EXPECT_EQ(line, c.expected) << &c - cases;
  }
  Bytes line = {1, 2, 3};
  EXPECT_FALSE(InterleaveLine(line.data(), 3, 0, true));
  EXPECT_FALSE(InterleaveLine(nullptr, 3, 3, true));
  EXPECT_EQ(line, (Bytes{1, 2, 3}));
  for (int sampleSize : {1, 2}) {
    for (uint32_t pixels : {1u, 2u, 7u, 31u, 33u, 2551u}) {
      const Bytes planes = RandomBytes(3 * pixels * sampleSize, pixels * sampleSize);
      line = planes;
      ASSERT_TRUE(InterleaveLine(line.data(), uint32_t(line.size()), 3, sampleSize == 1));
      EXPECT_EQ(line, ReferenceInterleave(planes, 3, sampleSize)) << sampleSize << " " << pixels;
    }
  }
}

class EngineReadTest : public test::EngineTest {
 protected:
  // The state a setup leaves for reading, without the setup's traffic.
  static void Programmed(uint32_t bytesPerLine, bool colour, bool sixteenBit = false,
                         uint8_t pageMode = 0) {
    ResetEngineState();
    EngineState& engine = Engine();
    engine.bytesPerLine = bytesPerLine;
    engine.extraPlanes = colour ? 2 : 0;
    engine.sixteenBit = sixteenBit;
    engine.pageMode = pageMode;
    engine.pageScan = pageMode != 0;
  }
  void PlaceImage(const Bytes& bytes) {
    ASSERT_TRUE(WriteControllerMemory(kImageDataPort, bytes.data(), uint32_t(bytes.size())));
    scanner_->ClearTrace();
  }
  // The controller has seen the end of the sheet with this many lines.
  void SheetEnds(uint16_t trailing, uint32_t counter) {
    scanner_->SetRegister(0xBF, 0x01);
    scanner_->SetRegister(0x43, static_cast<uint8_t>(trailing >> 8));
    scanner_->SetRegister(0x44, static_cast<uint8_t>(trailing));
    scanner_->SetCounterWord(counter);
  }
  uint64_t NowUs() { return bus_.Clock().NowUs(); }

};

TEST_F(EngineReadTest, ColourBlocksComeBackInterleavedOneChannelAsRead) {
  // 333 pixels, odd on purpose: 8-bit and 16-bit colour, then grey.
  for (auto [channels, sampleSize] : {std::pair{3, 1}, {3, 2}, {1, 1}}) {
    const uint32_t bytesPerLine = 333 * channels * sampleSize;
    const Bytes raw = RandomBytes(4 * bytesPerLine, bytesPerLine);
    PlaceImage(raw);
    Programmed(bytesPerLine, channels == 3, sampleSize == 2);
    Bytes block(raw.size());
    ASSERT_EQ(ReadImageLines(block.data(), 4), 1);
    for (uint32_t i = 0; i < 4; ++i) {
      const auto line = [&](const Bytes& b) {
        return Bytes(b.begin() + i * bytesPerLine, b.begin() + (i + 1) * bytesPerLine);
      };
      EXPECT_EQ(line(block), ReferenceInterleave(line(raw), channels, sampleSize))
          << "line " << i << ", " << channels << " x " << sampleSize;
    }
    char window[40];  // from the image port, the byte count little-endian
    std::snprintf(window, sizeof window, "CO 0082 0000 8 00000010%02x%02x0000",
                  (4 * bytesPerLine) & 0xFF, (4 * bytesPerLine) >> 8);
    EXPECT_EQ(Trace(), (Lines{window, "BI " + std::to_string(4 * bytesPerLine)}));
  }
  Programmed(9, true);
  Bytes block(18);
  EXPECT_EQ(ReadImageLines(nullptr, 2), 0);
  EXPECT_EQ(ReadImageLines(block.data(), -1), 0);
  scanner_->InjectFault(sim::Fault::kHang, scanner_->TransferCount() + 2);  // the bulk read
  EXPECT_EQ(ReadImageLines(block.data(), 2), 0);
}

TEST_F(EngineReadTest, PageEndsAfterTheTrailingLines) {
  // 3300 sensor lines make 1100 colour lines; 3301 round up to 1101.
  for (auto [pageMode, trailing, limit] : {std::tuple{1, 300, 1100}, {2, 301, 1101}}) {
    SCOPED_TRACE(pageMode);
    const Bytes raw(3 * 1200, 0x5A);
    PlaceImage(raw);
    Programmed(3, true, false, static_cast<uint8_t>(pageMode));
    scanner_->SetRegister(0xBF, 0xC0);  // bits 6-7 do not mark the end
    Bytes block(raw.size());
    ASSERT_EQ(ReadImageLines(block.data(), 1000), 1);
    EXPECT_FALSE(Engine().pageEndKnown);
    EXPECT_EQ(Engine().pageLineLimit, 0xFFFFFF);
    SheetEnds(static_cast<uint16_t>(trailing), 3000);
    scanner_->ClearTrace();
    // The limit is crossed in this block; the block is still read whole.
    ASSERT_EQ(ReadImageLines(block.data(), 200), 1);
    EXPECT_EQ(Engine().pageLineLimit, limit);
    EXPECT_EQ(Engine().pageLinesDelivered, 1200);
    EXPECT_EQ(scanner_->CommandWord(), 0x01100000u);
    EXPECT_EQ(Trace().back(), "BI 600");
    scanner_->ClearTrace();
    EXPECT_EQ(ReadImageLines(block.data(), 1), kPageComplete);
    EXPECT_TRUE(Trace().empty());
  }
}

TEST_F(EngineReadTest, PageLimitIsCheckedBeforeTheRead) {
  Programmed(1, false, false, 1);
  Engine().pageLineLimit = 10;
  Engine().pageEndKnown = true;
  Engine().pageLinesDelivered = 9;
  Bytes block(5);
  EXPECT_EQ(ReadImageLines(block.data(), 5), 1);
  EXPECT_EQ(ReadImageLines(block.data(), 1), kPageComplete);
  Engine().pageLinesDelivered = -1;  // a signed comparison
  EXPECT_EQ(ReadImageLines(block.data(), 1), 1);
}

// One channel: the counts are not divided; mode 3 never looks for the end.
TEST_F(EngineReadTest, OneChannelPageLimits) {
  for (auto [pageMode, known, limit] : {std::tuple{2, true, 3300}, {3, false, 0xFFFFFF}}) {
    Programmed(1, false, false, static_cast<uint8_t>(pageMode));
    SheetEnds(300, 3000);
    scanner_->ClearTrace();
    Bytes block(4);
    ASSERT_EQ(ReadImageLines(block.data(), 4), 1);
    EXPECT_EQ(Engine().pageEndKnown, known) << pageMode;
    EXPECT_EQ(Engine().pageLineLimit, limit) << pageMode;
    EXPECT_EQ(Trace().size(), known ? 6u : 2u) << pageMode;  // window and bulk only in mode 3
  }
}

TEST_F(EngineReadTest, FailedSheetEndReadsCountZero) {
  Programmed(3, true, false, 1);
  Bytes block(30);
  // The end-of-sheet register itself cannot be read: no end seen.
  SheetEnds(300, 3000);
  scanner_->InjectFault(sim::Fault::kMarker, scanner_->TransferCount() + 1);
  ASSERT_EQ(ReadImageLines(block.data(), 1), 1);
  EXPECT_FALSE(Engine().pageEndKnown);
  // The trailing count fails: the limit is the counter alone, 3000 / 3.
  scanner_->InjectFault(sim::Fault::kMarker, scanner_->TransferCount() + 4);
  ASSERT_EQ(ReadImageLines(block.data(), 1), 1);
  EXPECT_EQ(Engine().pageLineLimit, 1000);
  scanner_->ClearFaults();
  // Counter, trailing count and block all fail: a limit of 0 ends the page.
  Engine().pageEndKnown = false;
  Engine().pageLinesDelivered = 0;
  scanner_->InjectFault(sim::Fault::kHang, scanner_->TransferCount() + 3);
  EXPECT_EQ(ReadImageLines(block.data(), 1), 0);
  EXPECT_TRUE(Engine().pageEndKnown);
  EXPECT_EQ(Engine().pageLineLimit, 0);
  EXPECT_EQ(ReadImageLines(block.data(), 1), kPageComplete);
}

TEST_F(EngineReadTest, WaitForDataPhases) {
  // clang-format off
  const struct { uint8_t status; uint8_t waiting[4]; bool marker, ready; uint64_t minUs, maxUs; }
  cases[] = {  // waiting: registers 0x102..0x105
      {0x10, {}, false, true, 0, 1000},                   // ready
      {0x40, {}, false, false, 59999000, 60002000},       // busy, never ready
      {0x40, {0, 0, 0, 1}, false, false, 59999000, 60002000},  // busy, data waiting or not
      {0x00, {0, 0, 0, 1}, false, true, 0, 1000},         // idle with data waiting
      {0x00, {1, 0, 0, 0}, false, true, 0, 1000},         // its high byte
      {0x00, {}, false, false, 59999000, 60002000},       // idle, nothing waiting
      {0x10, {}, true, false, 0, 1000}};                  // the read fails
  // clang-format on
  for (const auto& c : cases) {
    scanner_->SetRegister(0x101, c.status);
    for (int i = 0; i < 4; ++i) scanner_->SetRegister(uint16_t(0x102 + i), c.waiting[i]);
    if (c.marker) scanner_->InjectFault(sim::Fault::kMarker, scanner_->TransferCount() + 1);
    const uint64_t start = NowUs();
    EXPECT_EQ(WaitForData(), c.ready) << &c - cases;
    EXPECT_GE(NowUs() - start, c.minUs) << &c - cases;
    EXPECT_LE(NowUs() - start, c.maxUs) << &c - cases;
    scanner_->ClearFaults();
  }
}

TEST_F(EngineReadTest, StartAndEndImageReadPerMode) {
  const Lines start = {"CO 0083 0000 2 0101", "CO 0083 0000 2 0fff", "CI 018e 0122 2 1055"};
  const Lines end = {"CO 0083 0000 2 0100"};
  // Modes 2 and 3 keep the engine running from one sheet to the next.
  // clang-format off
  const struct { uint8_t pageMode; Lines secondStart, end; } cases[] = {
      {0, start, end}, {1, start, {"CI 018e 0122 2 0055", end[0]}}, {2, {}, {}}, {3, {}, {}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.pageMode});
    scanner_->SetRegister(0x101, 0x10);
    ResetRegisterShadow();
    Programmed(3, true, false, c.pageMode);
    ASSERT_TRUE(StartImageRead());
    Engine().pageLinesDelivered = 50;
    Engine().pageEndKnown = true;
    Engine().pageLineLimit = 60;
    scanner_->ClearTrace();
    ASSERT_TRUE(StartImageRead());
    EXPECT_EQ(Trace(), c.secondStart);
    EXPECT_EQ(Engine().pageStartCount, c.pageMode < 2 ? 0u : 2u);
    EXPECT_EQ(Engine().pageLinesDelivered, c.pageMode == 0 ? 50 : 0);
    EXPECT_EQ(Engine().pageEndKnown, c.pageMode == 0);
    EXPECT_EQ(Engine().pageLineLimit, c.pageMode == 0 ? 60 : 0xFFFFFF);
    scanner_->SetRegister(0x101, 0x00);  // motor stopped
    scanner_->ClearTrace();
    EXPECT_TRUE(EndImageRead());
    EXPECT_EQ(Trace(), c.end);
  }
  Programmed(3, true, false, 2);
  EXPECT_FALSE(StartImageRead());  // never any data
  EXPECT_EQ(Engine().pageStartCount, 0u);
  scanner_->SetRegister(0x101, 0x01);
  Programmed(3, true, false, 1);
  EXPECT_FALSE(EndImageRead());  // mode 1 waits for the motor to stop; it never does
}

// The whole road on the virtual scanner's white sheet: setup, start, blocks
// until the sheet has passed, end.
TEST_F(EngineReadTest, PageScanOfAWhiteSheetEndsWithTheSheet) {
  ASSERT_TRUE(InitController());
  // clang-format off
  const ScanParams request{.pixels = 2550, .lines = 4000, .xResolution = 300, .yResolution = 300,
                           .lineTime = 3.0f, .exposureRed = 2.0f, .exposureGreen = 2.0f,
                           .exposureBlue = 2.0f, .pageMode = 1};  // colour
  // clang-format on
  ASSERT_TRUE(SetupScan(&request) && StartImageRead());
  Bytes block(100 * Engine().bytesPerLine);
  int blocks = 0, result = 1;
  while (result == 1 && blocks++ < 100) result = ReadImageLines(block.data(), 100);
  EXPECT_EQ(result, kPageComplete);
  // The sheet waits 0.1 inch short of the scan line and the four ramp steps
  // (1/150 inch) pass before the first line: 11.0933 inches of page at 300
  // lines per inch. The end is seen one block late and that block is whole.
  EXPECT_EQ(Engine().pageLineLimit, 3328);
  EXPECT_EQ(Engine().pageLinesDelivered, 3500);
  EXPECT_TRUE(EndImageRead());
}

}  // namespace
}  // namespace lf
