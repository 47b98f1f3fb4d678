// Shading tables word by word, the bank layouts, and the uploads as they land
// in the controller's memory.
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

using Lines = std::vector<std::string>;
using Words = std::vector<uint16_t>;
using namespace shading;

constexpr uint16_t F = 0xFFFF;  // filler

TEST(ShadingTableTest, GainDividesAndLimits) {
  // clang-format off
  const struct { uint16_t dark, white; uint32_t numerator; uint16_t gain; } cases[] = {
      {100, 1100, 56320, 65535},  // 922746 is above the limit
      {100, 60000, 56320, 15404}, {100, 60000, 58880, 16105}, {0, 65535, 56320, 14080},
      {0, 65535, 58880, 14720}, {500, 500, 56320, 65535},  // white = dark: divisor 1
      {600, 500, 56320, 65535}, {0, 0, 58880, 65535}, {100, 101, 56320, 65535}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(ShadingGain(c.dark, c.white, 16384, c.numerator), c.gain) << c.dark << "/" << c.white;
  }
  EXPECT_EQ(ShadingGain(500, 400, 3, 7), 21);  // below the limit, white under dark divides by 1
}

// Darks 1, 2, 3, ... identify the pixel in every word pair.
Words Ramp(int count) {
  Words dark(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) dark[static_cast<size_t>(i)] = static_cast<uint16_t>(i + 1);
  return dark;
}

TEST(ShadingTableTest, BlockFillersCloseEvery512ByteBlock) {
  // clang-format off
  const struct { int pixels; bool fillers; size_t words; std::vector<std::pair<int, int>> expect; }
  cases[] = {
      {124, true, 256, {{4, 1}, {5, 15379}, {250, 124}, {252, F}, {255, F}}},
      {125, true, 258, {{250, 124}, {252, F}, {255, F}, {256, 125}}},
      {250, true, 512, {{256, 125}, {504, 249}, {506, 250}, {508, F}, {511, F}}},
      {251, true, 514, {{506, 250}, {508, F}, {511, F}, {512, 251}}},
      {124, false, 252, {{250, 124}}}, {125, false, 254, {{250, 124}, {252, 125}}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pixels << (c.fillers ? " fillers" : " packed"));
    const Words dark = Ramp(c.pixels), white(dark.size(), 60000);
    Words table(ShadingTableBytes(c.pixels) / 2, 0);
    ASSERT_EQ(BuildShadingTable(dark.data(), white.data(), c.pixels, 16384, 56320, c.fillers,
                                table.data()),
              c.words);
    EXPECT_EQ(ShadingTableWords(c.pixels, c.fillers), c.words);
    EXPECT_EQ(Words(table.begin(), table.begin() + 4), Words(4, F));
    for (const auto& [index, value] : c.expect) EXPECT_EQ(table[size_t(index)], value) << index;
    EXPECT_EQ(table[c.words - 1] == F, c.fillers && c.words % 256 == 0);
  }
}

class ShadingUploadTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
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

};

constexpr uint32_t kBanks[3] = {0x10014000, 0x10020000, 0x1002C000};    // 10, 16, 22
constexpr uint32_t kBanks3x[3] = {0x10014000, 0x10036000, 0x10058000};  // 10, 27, 44

// A failed transfer ends the upload there; tables written before stay.
TEST_F(ShadingUploadTest, WritesThreeTablesThenClearsRegister01Bit1) {
  const Words d1 = {100, 100, 7}, d2 = {100, 100, 8}, d3 = {100, 100, 9}, white = {1100, 60000, 5};
  const Words white2 = {1100, 60100, 5};
  const uint16_t *w = white.data(), *w2 = white2.data();
  ASSERT_TRUE(UploadShadingTables(d1.data(), d2.data(), d3.data(), w, w2, w, 3));
  EXPECT_EQ(Trace(),
            (Lines{"CO 0082 0001 8 0040011014000000", "BO 20", "CO 0082 0001 8 0000021014000000",
                   "BO 20", "CO 0082 0001 8 00c0021014000000", "BO 20", "CO 0083 0000 2 01fd"}));
  EXPECT_EQ(Memory(kBanks[0], 11), (Words{F, F, F, F, 100, 65535, 100, 15404, 7, 65535, 0}));
  EXPECT_EQ(Memory(kBanks[1], 10), (Words{F, F, F, F, 100, 65535, 100, 15379, 8, 65535}));
  EXPECT_EQ(Memory(kBanks[2], 10), (Words{F, F, F, F, 100, 65535, 100, 16105, 9, 65535}));
  for (uint64_t failing = 1; failing <= 7; ++failing) {
    const uint64_t before = HangFrom(failing);
    EXPECT_FALSE(UploadShadingTables(d1.data(), d2.data(), d3.data(), w, w2, w, 3)) << failing;
    EXPECT_EQ(scanner_->TransferCount() - before, failing);
    EXPECT_EQ(Trace().size(), failing - 1);
  }
}

TEST_F(ShadingUploadTest, ConverterCodeDecidesTheBlockFillers) {
  // clang-format off
  const struct { uint8_t reg06; int pixels; const char* bulk; } cases[] = {
      {0xD0, 124, "BO 512"}, {0xD0, 125, "BO 516"}, {0x10, 125, "BO 516"}, {0x40, 125, "BO 508"},
      {0x5F, 124, "BO 504"}};
  // clang-format on
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteRegister(0x06, c.reg06));
    scanner_->ClearTrace();
    const Words dark = Ramp(c.pixels);
    const uint16_t* d = dark.data();
    ASSERT_TRUE(UploadShadingTables(d, d, d, d, d, d, c.pixels));
    ASSERT_EQ(Trace().size(), 7u);
    for (size_t i : {1, 3, 5}) EXPECT_EQ(Trace()[i], c.bulk) << int{c.reg06} << " " << c.pixels;
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
  EXPECT_TRUE(Trace().empty());

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
  ASSERT_EQ(Trace().size(), 14u);
  for (size_t i : {1, 3, 5, 8, 10, 12}) EXPECT_EQ(Trace()[i], "BO 170672") << i;
}

TEST_F(ShadingUploadTest, TwoHalvesLayoutPerVariant) {
  const Words d1 = {11, 12, 13, 14}, d2 = {21, 22, 23, 24}, d3 = {31, 32, 33, 34}, white(4, 60000);
  // Per input pixel: an empty entry, one from the first half, one from the second.
  const Words tables[3] = {
      {F, F, F, F, 0, 65535, 11, 15381, 13, 15382, 0, 65535, 12, 15382, 14, 15382},
      {F, F, F, F, 0, 65535, 21, 15384, 23, 15385, 0, 65535, 22, 15384, 24, 15385},
      {F, F, F, F, 0, 65535, 31, 16086, 33, 16087, 0, 65535, 32, 16086, 34, 16087}};
  const Words empty = {F, F, F, F, 0, 65535, 0, 65535, 0, 65535, 0, 65535, 0, 65535, 0, 65535};
  SetShadingBanks3x();
  for (int variant : {0, 1, 2, 3, -1}) {
    // A one-channel variant neither needs nor fills the other channels.
    const bool single = variant == 1 || variant == 2;
    const uint16_t* w = white.data();
    ASSERT_TRUE(UploadShadingTablesAlt(d1.data(), single ? nullptr : d2.data(),
                                       single ? nullptr : d3.data(), w, w, w, 2, 99, variant));
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(Memory(kBanks3x[ch], 16), single && ch > 0 ? empty : tables[ch]) << variant << ch;
    }
    EXPECT_EQ(Trace().back(), "CO 0083 0000 2 01fd");
  }
}

TEST_F(ShadingUploadTest, BankLayouts) {
  // clang-format off
  const struct { bool (*layout)(); uint8_t banks[3]; const uint32_t* addresses; uint32_t units; }
  cases[] = {{SetShadingBanks, {10, 16, 22}, kBanks, 72},
             {SetShadingBanks3x, {10, 27, 44}, kBanks3x, 204}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
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
