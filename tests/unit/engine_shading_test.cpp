// Shading tables: the table format word by word, the bank layouts, and the
// uploads as they land in the controller's memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "engine/shading_internal.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;
using Lines = std::vector<std::string>;
using Words = std::vector<uint16_t>;
using shading::BuildShadingTable;
using shading::ShadingGain;
using shading::ShadingTableBytes;
using shading::ShadingTableWords;

constexpr uint16_t F = 0xFFFF;  // filler
constexpr uint32_t kScale = 16384;

TEST(ShadingGainTest, DividesAndLimits) {
  struct Case {
    uint16_t dark, white;
    uint32_t numerator;
    uint16_t gain;
  };
  const Case cases[] = {
      {100, 1100, 56320, 65535},  // 922746 is above the limit
      {100, 60000, 56320, 15404}, {100, 60000, 58880, 16105}, {0, 65535, 56320, 14080},
      {0, 65535, 58880, 14720},   {500, 500, 56320, 65535},  // white = dark: divisor 1
      {600, 500, 56320, 65535},   {0, 0, 58880, 65535},       {100, 101, 56320, 65535},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShadingGain(c.dark, c.white, kScale, c.numerator), c.gain)
        << c.dark << "/" << c.white << "/" << c.numerator;
  }
}

Words Build(const Words& dark, const Words& white, uint32_t numerator, bool fillers) {
  const auto entries = static_cast<int32_t>(dark.size());
  Words table(ShadingTableBytes(entries) / 2, 0);
  const uint32_t words = BuildShadingTable(dark.data(), white.data(), entries, kScale, numerator,
                                           fillers, table.data());
  table.resize(words);
  return table;
}

// Darks 1, 2, 3, ... identify the pixel in every word pair.
Words Ramp(int count) {
  Words dark(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) dark[static_cast<size_t>(i)] = static_cast<uint16_t>(i + 1);
  return dark;
}

TEST(ShadingTableTest, BlockFillersCloseEvery512ByteBlock) {
  struct Case {
    int pixels;
    bool fillers;
    size_t words;
    std::vector<std::pair<size_t, uint16_t>> expect;  // word index, value
  };
  const Case cases[] = {
      {124, true, 256, {{4, 1}, {250, 124}, {252, F}, {255, F}}},
      {125, true, 258, {{250, 124}, {252, F}, {255, F}, {256, 125}}},
      {250, true, 512, {{256, 125}, {504, 249}, {506, 250}, {508, F}, {511, F}}},
      {251, true, 514, {{506, 250}, {508, F}, {511, F}, {512, 251}}},
      {124, false, 252, {{250, 124}}},
      {125, false, 254, {{250, 124}, {252, 125}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pixels << (c.fillers ? " fillers" : " packed"));
    const Words dark = Ramp(c.pixels);
    const Words table = Build(dark, Words(dark.size(), 60000), 56320, c.fillers);
    ASSERT_EQ(table.size(), c.words);
    for (const auto& [index, value] : c.expect) EXPECT_EQ(table[index], value) << index;
    EXPECT_EQ(table[c.words - 1] == F, c.fillers && c.words % 256 == 0);
  }
}

// The upload's allocation must hold every table it builds, fillers included.
TEST(ShadingTableTest, AllocationHoldsTheTableAtBoundaryCounts) {
  for (int pixels : {1, 123, 124, 125, 126, 249, 250, 251, 252, 13999, 14000, 41999, 42000}) {
    SCOPED_TRACE(pixels);
    const Words dark = Ramp(pixels);
    const Words table = Build(dark, dark, 56320, true);
    EXPECT_EQ(table.size(), ShadingTableWords(pixels, true));
    EXPECT_LE(2 * table.size(), ShadingTableBytes(pixels));
  }
}

class ShadingUploadTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    ASSERT_TRUE(WriteRegister(0x01, 0xFF));
    ASSERT_TRUE(WriteRegister(0x06, 0xD0));  // converter code 6: block fillers
    SetShadingBanks();
    scanner_->ClearTrace();
  }

  Words Memory(uint32_t address, size_t words) const {
    Words out(words);
    scanner_->ReadMemory(address, out.data(), static_cast<uint32_t>(2 * words));
    return out;
  }
  void HangFrom(uint64_t n) { scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + n); }

  sim::VirtualScanner* scanner_ = nullptr;
};

constexpr uint32_t kBank10 = 0x10014000;
constexpr uint32_t kBank16 = 0x10020000;
constexpr uint32_t kBank22 = 0x1002C000;

TEST_F(ShadingUploadTest, WritesThreeTablesThenClearsRegister01Bit1) {
  const Words d1 = {100, 100, 7}, d2 = {100, 100, 8}, d3 = {100, 100, 9};
  const Words white = {1100, 60000, 5};
  ASSERT_TRUE(UploadShadingTables(d1.data(), d2.data(), d3.data(), white.data(), white.data(),
                                  white.data(), 3));
  EXPECT_EQ(scanner_->Trace(),
            (Lines{"CO 0082 0001 8 0040011014000000", "BO 20", "CO 0082 0001 8 0000021014000000",
                   "BO 20", "CO 0082 0001 8 00c0021014000000", "BO 20", "CO 0083 0000 2 01fd"}));
  EXPECT_EQ(Memory(kBank10, 11), (Words{F, F, F, F, 100, 65535, 100, 15404, 7, 65535, 0}));
  EXPECT_EQ(Memory(kBank16, 10), (Words{F, F, F, F, 100, 65535, 100, 15404, 8, 65535}));
  EXPECT_EQ(Memory(kBank22, 10), (Words{F, F, F, F, 100, 65535, 100, 16105, 9, 65535}));
}

TEST_F(ShadingUploadTest, ConverterCodeDecidesTheBlockFillers) {
  struct Case {
    uint8_t reg06;
    int pixels;
    const char* bulk;
  };
  const Case cases[] = {{0xD0, 124, "BO 512"},
                        {0xD0, 125, "BO 516"},
                        {0x10, 125, "BO 516"},
                        {0x40, 125, "BO 508"},
                        {0x5F, 124, "BO 504"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int{c.reg06} << std::dec << " " << c.pixels);
    ASSERT_TRUE(WriteRegister(0x06, c.reg06));
    scanner_->ClearTrace();
    const Words dark = Ramp(c.pixels);
    const uint16_t* d = dark.data();
    ASSERT_TRUE(UploadShadingTables(d, d, d, d, d, d, c.pixels));
    ASSERT_EQ(scanner_->Trace().size(), 7u);
    for (int i = 1; i < 6; i += 2) EXPECT_EQ(scanner_->Trace()[static_cast<size_t>(i)], c.bulk);
  }
}

TEST_F(ShadingUploadTest, PixelCountsOutsideTheStagingAreRefusedWithoutTraffic) {
  const Words line(2 * 42001, 1);
  const uint16_t* d = line.data();
  for (int32_t pixels : {0, -1, 42001, std::numeric_limits<int32_t>::min()}) {
    EXPECT_FALSE(UploadShadingTables(d, d, d, d, d, d, pixels)) << pixels;
  }
  for (int32_t pixels : {0, -1, 14001}) {
    EXPECT_FALSE(UploadShadingTablesAlt(d, d, d, d, d, d, pixels, 0, 0)) << pixels;
  }
  EXPECT_FALSE(UploadShadingTables(d, d, nullptr, d, d, d, 10));
  EXPECT_FALSE(UploadShadingTablesAlt(d, d, d, d, nullptr, d, 10, 0, 3));
  EXPECT_TRUE(scanner_->Trace().empty());

  // The largest accepted lines fill the staging planes exactly. Their tables
  // outgrow both bank layouts, so the banks are spread 30 apart here.
  for (uint16_t ch = 0; ch < 3; ++ch) {
    const uint32_t bank = 10 + 30u * ch;
    ASSERT_TRUE(WriteRegister(0xD0 + ch, static_cast<uint8_t>(bank)));
    Engine().shadingAddress[ch] = 0x10000000 + bank * 0x2000;
  }
  scanner_->ClearTrace();
  ASSERT_TRUE(UploadShadingTables(d, d, d, d, d, d, 42000));
  ASSERT_TRUE(UploadShadingTablesAlt(d, d, d, d, d, d, 14000, 0, 0));
  const Lines& trace = scanner_->Trace();
  ASSERT_EQ(trace.size(), 14u);
  for (size_t i : {1u, 3u, 5u, 8u, 10u, 12u}) EXPECT_EQ(trace[i], "BO 170672") << i;
}

TEST_F(ShadingUploadTest, TwoHalvesLayoutPerVariant) {
  const Words d1 = {11, 12, 13, 14}, d2 = {21, 22, 23, 24}, d3 = {31, 32, 33, 34};
  const Words white(4, 60000);
  const Words ch1 = {F, F, F, F, 0, 65535, 11, 15381, 13, 15382, 0, 65535, 12, 15382, 14, 15382};
  const Words ch2 = {F, F, F, F, 0, 65535, 21, 15384, 23, 15385, 0, 65535, 22, 15384, 24, 15385};
  const Words ch3 = {F, F, F, F, 0, 65535, 31, 16086, 33, 16087, 0, 65535, 32, 16086, 34, 16087};
  const Words empty = {F, F, F, F, 0, 65535, 0, 65535, 0, 65535, 0, 65535, 0, 65535, 0, 65535};
  SetShadingBanks3x();
  const uint32_t addresses[3] = {0x10014000, 0x10036000, 0x10058000};
  for (int variant : {0, 1, 2, 3, -1}) {
    SCOPED_TRACE(variant);
    const bool single = variant == 1 || variant == 2;
    const Words* expected[3] = {&ch1, single ? &empty : &ch2, single ? &empty : &ch3};
    // A one-channel variant does not need the other channels' lines.
    const uint16_t* other2 = single ? nullptr : d2.data();
    const uint16_t* other3 = single ? nullptr : d3.data();
    ASSERT_TRUE(UploadShadingTablesAlt(d1.data(), other2, other3, white.data(), white.data(),
                                       white.data(), 2, 99, variant));
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(Memory(addresses[ch], 16), *expected[ch]) << ch;
    EXPECT_EQ(scanner_->Trace().back(), "CO 0083 0000 2 01fd");
  }
}

// A failed transfer ends the upload there; tables written before stay.
TEST_F(ShadingUploadTest, FailedTransferEndsTheUpload) {
  const Words dark = {100, 100};
  const Words white = {60000, 60000};
  for (uint64_t failing = 1; failing <= 7; ++failing) {
    SCOPED_TRACE(failing);
    scanner_->ClearFaults();
    scanner_->ClearTrace();
    const uint64_t before = scanner_->TransferCount();
    HangFrom(failing);
    const uint16_t *d = dark.data(), *w = white.data();
    EXPECT_FALSE(UploadShadingTables(d, d, d, w, w, w, 2));
    EXPECT_EQ(scanner_->TransferCount() - before, failing);  // nothing after the failure
    EXPECT_EQ(scanner_->Trace().size(), failing - 1);
  }
}

TEST_F(ShadingUploadTest, BankLayouts) {
  struct Case {
    const char* name;
    bool (*layout)();
    uint8_t banks[3];
    uint32_t addresses[3];
    uint32_t units;
  };
  const Case cases[] = {
      {"plain", SetShadingBanks, {10, 16, 22}, {kBank10, kBank16, kBank22}, 72},
      {"3x", SetShadingBanks3x, {10, 27, 44}, {0x10014000, 0x10036000, 0x10058000}, 204},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetEngineState();
    ASSERT_TRUE(c.layout());
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(scanner_->Register(static_cast<uint16_t>(0xD0 + i)), c.banks[i]) << i;
      EXPECT_EQ(Engine().shadingAddress[i], c.addresses[i]) << i;
    }
    EXPECT_EQ(Engine().tableUnits, c.units);
    // The layout stands even when the bank registers cannot be written.
    ResetEngineState();
    HangFrom(1);
    EXPECT_TRUE(c.layout());
    EXPECT_EQ(Engine().tableUnits, c.units);
    scanner_->ClearFaults();
  }
}

}  // namespace
}  // namespace lf
