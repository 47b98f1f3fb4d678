// Image data reading against the virtual scanner: interleaving, block reads
// from the image port, the end of the sheet in page scans, the data wait in
// virtual time, and starting and ending the read per page mode.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;
using Bytes = std::vector<uint8_t>;

class EngineReadTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    scanner_->ClearTrace();
  }

  // The state a setup leaves for reading, without the setup's traffic.
  static void Programmed(uint32_t bytesPerLine, bool colour, bool sixteenBit = false,
                         uint8_t pageMode = 0) {
    EngineState& engine = Engine();
    engine.bytesPerLine = bytesPerLine;
    engine.extraPlanes = colour ? 2 : 0;
    engine.sixteenBit = sixteenBit;
    engine.pageMode = pageMode;
    engine.pageScan = pageMode != 0;
    engine.pageStartCount = 0;
    engine.pageLinesDelivered = 0;
    engine.pageLineLimit = 0xFFFFFF;
    engine.pageEndKnown = false;
  }

  void PlaceImage(const Bytes& bytes) {
    ASSERT_TRUE(
        WriteControllerMemory(kImageDataPort, bytes.data(), static_cast<uint32_t>(bytes.size())));
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

  sim::VirtualScanner* scanner_ = nullptr;
};

// Plane order to pixel order the plain way, for comparison with the fast
// loops.
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

TEST(InterleaveLineTest, Examples) {
  const struct {
    const char* name;
    Bytes line;
    int channels;
    bool eightBit;
    Bytes expected;
  } cases[] = {
      {"colour8",
       {0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xC0, 0xC1, 0xC2},
       3,
       true,
       {0xA0, 0xB0, 0xC0, 0xA1, 0xB1, 0xC1, 0xA2, 0xB2, 0xC2}},
      {"colour16_keeps_pairs",
       {0xA0, 0x0A, 0xA1, 0x1A, 0xB0, 0x0B, 0xB1, 0x1B, 0xC0, 0x0C, 0xC1, 0x1C},
       3,
       false,
       {0xA0, 0x0A, 0xB0, 0x0B, 0xC0, 0x0C, 0xA1, 0x1A, 0xB1, 0x1B, 0xC1, 0x1C}},
      {"bytes_past_the_last_pixel_stay", {1, 2, 3, 4, 5, 6, 7}, 3, true, {1, 3, 5, 2, 4, 6, 7}},
      {"two_channels", {1, 2, 3, 4}, 2, true, {1, 3, 2, 4}},
      {"one_channel", {1, 2, 3}, 1, true, {1, 2, 3}},
  };
  for (const auto& c : cases) {
    Bytes line = c.line;
    EXPECT_TRUE(
        InterleaveLine(line.data(), static_cast<uint32_t>(line.size()), c.channels, c.eightBit))
        << c.name;
    EXPECT_EQ(line, c.expected) << c.name;
  }
  Bytes line = {1, 2, 3};
  EXPECT_FALSE(InterleaveLine(line.data(), 3, 0, true));
  EXPECT_FALSE(InterleaveLine(nullptr, 3, 3, true));
  EXPECT_EQ(line, (Bytes{1, 2, 3}));
}

TEST(InterleaveLineTest, FastPathMatchesThePlainOne) {
  for (int sampleSize : {1, 2}) {
    for (uint32_t pixels : {1u, 2u, 7u, 31u, 33u, 2551u}) {
      const Bytes planes = RandomBytes(3 * pixels * sampleSize, pixels * sampleSize);
      Bytes line = planes;
      ASSERT_TRUE(
          InterleaveLine(line.data(), static_cast<uint32_t>(line.size()), 3, sampleSize == 1));
      EXPECT_EQ(line, ReferenceInterleave(planes, 3, sampleSize))
          << sampleSize << " bytes, " << pixels << " pixels";
    }
  }
}

TEST_F(EngineReadTest, ColourBlocksComeBackInterleaved) {
  for (bool sixteenBit : {false, true}) {
    const uint32_t pixels = 333;  // odd on purpose
    const uint32_t bytesPerLine = 3 * pixels * (sixteenBit ? 2 : 1);
    const Bytes raw = RandomBytes(4 * bytesPerLine, bytesPerLine);
    PlaceImage(raw);
    Programmed(bytesPerLine, true, sixteenBit);

    Bytes block(raw.size());
    ASSERT_EQ(ReadImageLines(block.data(), 4), 1);

    for (uint32_t i = 0; i < 4; ++i) {
      const Bytes line(raw.begin() + i * bytesPerLine, raw.begin() + (i + 1) * bytesPerLine);
      EXPECT_EQ(Bytes(block.begin() + i * bytesPerLine, block.begin() + (i + 1) * bytesPerLine),
                ReferenceInterleave(line, 3, sixteenBit ? 2 : 1))
          << "line " << i << (sixteenBit ? " 16-bit" : " 8-bit");
    }
    char window[64];
    std::snprintf(window, sizeof window, "CO 0082 0000 8 00000010%02x%02x0000",
                  (4 * bytesPerLine) & 0xFF, (4 * bytesPerLine) >> 8);
    EXPECT_EQ(scanner_->Trace(),
              (std::vector<std::string>{window, "BI " + std::to_string(4 * bytesPerLine)}));
  }
}

TEST_F(EngineReadTest, OneChannelLinesPassThrough) {
  const Bytes raw = RandomBytes(3 * 101, 7);
  PlaceImage(raw);
  Programmed(101, false);
  Bytes block(raw.size());
  ASSERT_EQ(ReadImageLines(block.data(), 3), 1);
  EXPECT_EQ(block, raw);
  EXPECT_EQ(scanner_->Trace().size(), 2u);
}

TEST_F(EngineReadTest, FailedTransfersFailTheRead) {
  Programmed(9, true);
  Bytes block(18, 0xEE);
  scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + 2);  // the bulk read
  EXPECT_EQ(ReadImageLines(block.data(), 2), 0);
  scanner_->ClearFaults();
  EXPECT_EQ(ReadImageLines(nullptr, 2), 0);
  EXPECT_EQ(ReadImageLines(block.data(), -1), 0);
}

TEST_F(EngineReadTest, PageEndsAfterTheTrailingLines) {
  // 3300 sensor lines make 1100 colour lines; 3301 round up to 1101.
  const struct {
    uint8_t pageMode;
    uint16_t trailing;
    int32_t limit;
  } cases[] = {{1, 300, 1100}, {2, 301, 1101}};
  for (const auto& c : cases) {
    const Bytes raw(3 * 1200, 0x5A);
    PlaceImage(raw);
    Programmed(3, true, false, c.pageMode);
    scanner_->SetRegister(0xBF, 0xC0);  // bits 6-7 do not mark the end

    Bytes block(raw.size());
    ASSERT_EQ(ReadImageLines(block.data(), 1000), 1);
    EXPECT_FALSE(Engine().pageEndKnown);
    EXPECT_EQ(Engine().pageLineLimit, 0xFFFFFF);

    SheetEnds(c.trailing, 3000);
    scanner_->ClearTrace();
    // The limit is crossed in this block; the block is still read whole.
    ASSERT_EQ(ReadImageLines(block.data(), 200), 1);
    EXPECT_EQ(Engine().pageLineLimit, c.limit);
    EXPECT_EQ(Engine().pageLinesDelivered, 1200);
    EXPECT_EQ(scanner_->CommandWord(), 0x01100000u);
    EXPECT_EQ(scanner_->Trace().back(), "BI 600");

    scanner_->ClearTrace();
    EXPECT_EQ(ReadImageLines(block.data(), 1), kPageComplete);
    EXPECT_TRUE(scanner_->Trace().empty());
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

TEST_F(EngineReadTest, OneChannelLimitIsNotDivided) {
  Programmed(1, false, false, 2);
  SheetEnds(300, 3000);
  Bytes block(4);
  ASSERT_EQ(ReadImageLines(block.data(), 4), 1);
  EXPECT_EQ(Engine().pageLineLimit, 3300);
}

TEST_F(EngineReadTest, ModeThreeNeverLooksForTheSheetEnd) {
  Programmed(1, false, false, 3);
  SheetEnds(300, 3000);
  Bytes block(4);
  ASSERT_EQ(ReadImageLines(block.data(), 4), 1);
  EXPECT_EQ(scanner_->Trace().size(), 2u);  // window and bulk only
  EXPECT_FALSE(Engine().pageEndKnown);
}

TEST_F(EngineReadTest, FailedSheetEndReadsCountZero) {
  Programmed(3, true, false, 1);
  Bytes block(30);

  // The end-of-sheet register itself cannot be read: no end seen.
  SheetEnds(300, 3000);
  scanner_->InjectFault(Fault::kMarker, scanner_->TransferCount() + 1);
  ASSERT_EQ(ReadImageLines(block.data(), 1), 1);
  EXPECT_FALSE(Engine().pageEndKnown);

  // The trailing count fails: the limit is the counter alone, 3000 / 3.
  scanner_->InjectFault(Fault::kMarker, scanner_->TransferCount() + 4);
  ASSERT_EQ(ReadImageLines(block.data(), 1), 1);
  EXPECT_EQ(Engine().pageLineLimit, 1000);
  scanner_->ClearFaults();

  // Counter, trailing count and the block all fail: the limit is 0, so the
  // page is over.
  Engine().pageEndKnown = false;
  Engine().pageLinesDelivered = 0;
  scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + 3);
  EXPECT_EQ(ReadImageLines(block.data(), 1), 0);
  EXPECT_TRUE(Engine().pageEndKnown);
  EXPECT_EQ(Engine().pageLineLimit, 0);
  EXPECT_EQ(ReadImageLines(block.data(), 1), kPageComplete);
}

TEST_F(EngineReadTest, WaitForDataPhases) {
  const struct {
    const char* name;
    uint8_t status;
    uint8_t waiting[4];  // registers 0x102..0x105
    bool marker;
    bool ready;
    uint64_t minUs;
    uint64_t maxUs;
  } cases[] = {
      {"ready", 0x10, {}, false, true, 0, 1000},
      {"busy_never_ready", 0x40, {}, false, false, 59999000, 60002000},
      {"idle_with_data_waiting", 0x00, {0, 0, 0, 1}, false, true, 0, 1000},
      {"idle_high_byte_waiting", 0x00, {1, 0, 0, 0}, false, true, 0, 1000},
      {"idle_nothing_waiting", 0x00, {}, false, false, 59999000, 60002000},
      {"read_fails", 0x10, {}, true, false, 0, 1000},
  };
  for (const auto& c : cases) {
    scanner_->SetRegister(0x101, c.status);
    for (int i = 0; i < 4; ++i)
      scanner_->SetRegister(static_cast<uint16_t>(0x102 + i), c.waiting[i]);
    if (c.marker) scanner_->InjectFault(Fault::kMarker, scanner_->TransferCount() + 1);
    const uint64_t start = NowUs();
    EXPECT_EQ(WaitForData(), c.ready) << c.name;
    EXPECT_GE(NowUs() - start, c.minUs) << c.name;
    EXPECT_LE(NowUs() - start, c.maxUs) << c.name;
    scanner_->ClearFaults();
  }
}

TEST_F(EngineReadTest, StartImageReadPerMode) {
  const std::vector<std::string> start = {"CO 0083 0000 2 0101", "CO 0083 0000 2 0fff",
                                          "CI 018e 0122 2 1055"};
  scanner_->SetRegister(0x101, 0x10);
  const struct {
    uint8_t pageMode;
    std::vector<std::string> second;  // traffic of the second start
    uint32_t startCount;
  } cases[] = {{0, start, 0}, {1, start, 0}, {2, {}, 2}, {3, {}, 2}};
  for (const auto& c : cases) {
    ResetRegisterShadow();
    Programmed(3, true, false, c.pageMode);
    ASSERT_TRUE(StartImageRead()) << int{c.pageMode};
    Engine().pageLinesDelivered = 50;
    Engine().pageEndKnown = true;
    Engine().pageLineLimit = 60;
    scanner_->ClearTrace();
    ASSERT_TRUE(StartImageRead()) << int{c.pageMode};
    EXPECT_EQ(scanner_->Trace(), c.second) << int{c.pageMode};
    EXPECT_EQ(Engine().pageStartCount, c.startCount) << int{c.pageMode};
    if (c.pageMode != 0) {
      EXPECT_EQ(Engine().pageLinesDelivered, 0);
      EXPECT_FALSE(Engine().pageEndKnown);
      EXPECT_EQ(Engine().pageLineLimit, 0xFFFFFF);
    }
  }
  scanner_->SetRegister(0x101, 0x00);  // never any data
  Programmed(3, true, false, 2);
  EXPECT_FALSE(StartImageRead());
  EXPECT_EQ(Engine().pageStartCount, 0u);
}

TEST_F(EngineReadTest, EndImageReadPerMode) {
  const struct {
    uint8_t pageMode;
    std::vector<std::string> trace;
  } cases[] = {
      {0, {"CO 0083 0000 2 0100"}},
      {1, {"CI 018e 0122 2 0055", "CO 0083 0000 2 0100"}},
      {2, {}},
      {3, {}},
  };
  scanner_->SetRegister(0x101, 0x00);  // motor stopped
  for (const auto& c : cases) {
    Programmed(3, true, false, c.pageMode);
    scanner_->ClearTrace();
    EXPECT_TRUE(EndImageRead()) << int{c.pageMode};
    EXPECT_EQ(scanner_->Trace(), c.trace) << int{c.pageMode};
  }
  // Mode 1 waits for the motor to stop; it never does here.
  scanner_->SetRegister(0x101, 0x01);
  Programmed(3, true, false, 1);
  EXPECT_FALSE(EndImageRead());
}

// The whole road on the virtual scanner's white sheet: setup, start, blocks
// until the sheet has passed, end.
TEST_F(EngineReadTest, PageScanOfAWhiteSheetEndsWithTheSheet) {
  ASSERT_TRUE(InitController());
  ScanParams request;
  request.pixels = 2550;
  request.lines = 4000;
  request.xResolution = request.yResolution = 300;
  request.colourMode = 0;
  request.bitsPerSample = 8;
  request.lineTime = 3.0f;
  request.exposureRed = request.exposureGreen = request.exposureBlue = 2.0f;
  request.reduction = 1;
  request.pageMode = 1;
  ASSERT_TRUE(SetupScan(&request));
  ASSERT_TRUE(StartImageRead());

  Bytes block(100 * Engine().bytesPerLine);
  int blocks = 0, result = 1;
  while (result == 1 && blocks < 100) {
    result = ReadImageLines(block.data(), 100);
    ++blocks;
  }
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
