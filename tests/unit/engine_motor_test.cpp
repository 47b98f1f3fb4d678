// Motor speed tables, timer divider, pre-feed, phase, lamp and status polls:
// exact entries, exact traffic, failure paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "engine/motor_internal.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using Lines = std::vector<std::string>;
using Words = std::vector<uint16_t>;

TEST(SlopeTableTest, EntriesAndLength) {
  const std::vector<float> standard(kStandardSpeeds, kStandardSpeeds + kStandardSpeedCount);
  // clang-format off
  const struct { std::vector<float> speeds; float target; int stepType; uint32_t divider;
                 int length; std::vector<std::pair<int, uint16_t>> entries; } cases[] = {
      {standard, 1500, 2, 1, 24, {{0, 11111}, {1, 8333}, {21, 1388}, {22, 1333}, {23, 1333}}},
      {standard, 1560, 2, 1, 24, {{22, 1333}, {23, 1282}}},  // no padding
      {standard, 1561, 2, 1, 28, {{23, 1282}, {24, 1281}, {27, 1281}}},  // padded to 28
      {standard, 150, 2, 1, 4, {{0, 13333}, {3, 13333}}},  // below the list
      {standard, 1500, 4, 4, 24, {{0, 1388}, {23, 166}}},
      {{10}, 20, 1, 1, 4, {{0, 65535}, {1, 200000 & 0xFFFF}}},  // slow entries limited, target cut
      {{100, 900, 200}, 500, 1, 1, 4, {{0, 40000}, {1, 8000}, {3, 8000}}},  // stops at 900
      {{}, 1000, 1, 1, 4, {{0, 4000}, {3, 4000}}},
      {std::vector<float>(9000, 100), 200, 1, 1, 8192, {{8191, 40000}}}};  // length limit
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << &c - cases << ": target " << c.target);
    const int count = static_cast<int>(c.speeds.size());
    Words table(static_cast<size_t>(SlopeTableCapacity(count)), 0xDEAD);
    EXPECT_EQ(BuildSlopeTable(c.speeds.data(), count, c.target, c.stepType, 0.25, c.divider,
                              table.data()),
              c.length);
    for (const auto& [index, value] : c.entries) EXPECT_EQ(table[index], value) << index;
  }
}

class MotorTest : public test::EngineTest {
 protected:
  uint32_t Chip16(uint16_t reg) const {
    return scanner_->Register(reg) << 8 | scanner_->Register(reg + 1);
  }
  uint32_t Chip24(uint16_t reg) const { return Chip16(reg) << 8 | scanner_->Register(reg + 2); }
  Words Memory(uint32_t address, int entries) const {
    Words table(static_cast<size_t>(entries));
    scanner_->ReadMemory(address, table.data(), static_cast<uint32_t>(entries) * 2);
    return table;
  }
  // Measured on the library's own clock, so that it rounds as the poll's limit does.
  static uint32_t ElapsedLibraryMs(const std::function<void()>& run) {
    const uint32_t start = ElapsedMs();
    run();
    return ElapsedMs() - start;
  }

};

std::string Write(const std::string& pair) { return "CO 0083 0000 2 " + pair; }

// One 24-entry copy: the window at that address, 48 bytes, then its length.
Lines Copy(const std::string& address, const std::string& lengthPairs) {
  return {"CO 0082 0001 8 " + address + "30000000", "BO 48", "CO 0083 0000 4 " + lengthPairs};
}
Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(MotorTest, FeedTableGoesToBothCopiesThenTheirLengths) {
  int length = -1;
  ASSERT_TRUE(UploadSlopeTableA(kStandardSpeeds, kStandardSpeedCount, 1500, 2, 1, &length));
  EXPECT_EQ(length, 24);
  EXPECT_EQ(Trace(), (Lines{Write("a008"), Write("3b50")} + Copy("00c00010", "ae00af18") +
                      Copy("00000110", "b000b118")));
  EXPECT_EQ(Memory(0x1000C000, 24), Memory(0x10010000, 24));
  EXPECT_EQ(Memory(0x1000C000, 1)[0], 11111);
  EXPECT_EQ(Engine().scanTableSum, 0u);  // only the scan table is summed
}

TEST_F(MotorTest, ScanTableGoesToThreeCopiesAndRemembersItsSums) {
  Engine().timerDivider = 2;
  int length = -1;
  ASSERT_TRUE(UploadSlopeTableB(kStandardSpeeds, kStandardSpeedCount, 1560, 2, 1, &length));
  EXPECT_EQ(length, 24);
  EXPECT_EQ(Trace(), (Lines{Write("a001"), Write("3b05")} + Copy("00000010", "a400a518") +
                      Copy("00400010", "aa00ab18") + Copy("00800010", "ac00ad18")));
  const Words table = Memory(0x10000000, 24);
  EXPECT_EQ(Memory(0x10004000, 24), table);
  EXPECT_EQ(Memory(0x10008000, 24), table);
  EXPECT_EQ(table[0], 5555);  // divider 2 halves the periods
  EXPECT_EQ(table[23], 641);
  EXPECT_EQ(Engine().scanTableSum, 2 * std::accumulate(table.begin(), table.end(), 0u));
  EXPECT_EQ(Engine().scanTableLast, 2u * 641);
}

TEST_F(MotorTest, FailedUploadsLeaveNoLength) {
  int length = -1;
  // A scan target above the list has no ramp to it.
  EXPECT_FALSE(UploadSlopeTableB(kStandardSpeeds, kStandardSpeedCount, 1561, 2, 1, &length));
  EXPECT_FALSE(UploadSlopeTableB(kStandardSpeeds, 0, 100, 2, 1, &length));
  EXPECT_TRUE(Trace().empty());
  for (auto [upload, transfers] : {std::pair{&UploadSlopeTableA, 8}, {&UploadSlopeTableB, 11}}) {
    for (int failAt = 1; failAt <= transfers; ++failAt) {
      scanner_->ClearFaults();
      scanner_->ClearTrace();
      scanner_->InjectFault(sim::Fault::kHang, scanner_->TransferCount() + failAt);
      EXPECT_FALSE(upload(kStandardSpeeds, kStandardSpeedCount, 1500, 2, 1, &length)) << failAt;
      EXPECT_EQ(Trace().size(), static_cast<size_t>(failAt - 1));
    }
  }
  EXPECT_EQ(length, -1);
}

TEST_F(MotorTest, ReadyTablesLoadOnlyWithinTheCopyArea) {
  const Words table(8193, 0x1234);
  EXPECT_FALSE(LoadScanTable(nullptr, 4));
  EXPECT_FALSE(LoadScanTable(table.data(), 0));
  EXPECT_FALSE(LoadFeedTable(table.data(), 8193));
  EXPECT_TRUE(Trace().empty());
  ASSERT_TRUE(LoadFeedTable(table.data(), 8192) && LoadScanTable(table.data(), 4));
  EXPECT_EQ(Chip16(0xB0), 8192u);
  EXPECT_EQ(Chip16(0xAC), 4u);
  EXPECT_EQ(Memory(0x10010000 + 2 * 8191, 1)[0], 0x1234);
  EXPECT_EQ(Memory(0x10008000, 5), (Words{0x1234, 0x1234, 0x1234, 0x1234, 0}));
}

// The smallest power of two at or above the 16-bit overflow d of the period
// per step; none beyond 32.
TEST_F(MotorTest, DividerKeepsStepPeriodsIn16Bits) {
  // clang-format off
  const struct { float ms; int stepType; float stepsPerLine; uint32_t skip, ticks, divider;
                 uint8_t code; } cases[] = {
      {16, 1, 1, 1, 64000, 1, 0},    {64, 1, 3.90625f, 1, 256000, 2, 1},  // d 1, 2
      {35, 1, 1, 1, 140000, 4, 2},   {35, 2, 0.5f, 3, 140000, 8, 3},      // d 3, 7
      {50, 1, 1, 1, 200000, 4, 2},   {140, 1, 1, 1, 560000, 16, 4},       // d 4, 9
      {520, 1, 1, 1, 2080000, 32, 5}, {530, 1, 1, 1, 2120000, 33, 0}};    // d 32, 33
  // clang-format on
  for (const auto& c : cases) {
    Engine().lineSkipPlusOne = c.skip;
    ASSERT_TRUE(SelectTimerDivider(c.ms, c.stepType, c.stepsPerLine));
    EXPECT_EQ(Engine().linePeriodTicks, c.ticks) << c.ms;
    EXPECT_EQ(Engine().timerDivider, c.divider) << c.ms;
    EXPECT_EQ(scanner_->Register(0x1C) & 7, c.code) << c.ms;
  }
  scanner_->ClearTrace();
  EXPECT_FALSE(SelectTimerDivider(4180, 1, 1));  // d wraps to 0: no divider runs it
  EXPECT_TRUE(Trace().empty());
}

// Scan step type 4, feed 2, both tables 24 long: ramps of 6 and 12 steps and
// one extra, so a lead-in needs 32 units to run at feed speed.
TEST_F(MotorTest, PreFeedRunsFastOnlyWhenBothRampsFit) {
  Engine().scanStepType = 4;
  Engine().feedStepType = 2;
  ASSERT_TRUE(WriteRegister16(0xA4, 24) && WriteRegister16(0xAE, 24));
  const std::pair<int, uint32_t> cases[] = {
      {0, 0}, {5, 0}, {31, 4 * 25}, {32, 2}, {1000, 2 * 969}, {600000, (2 * 599969) & 0xFFFFF}};
  for (auto [distance, steps] : cases) {
    ASSERT_TRUE(SetMotorFlag3(true) && SetPreFeed(distance));
    EXPECT_EQ(Chip24(0x3D), steps) << distance;
    EXPECT_EQ(Chip16(0xA2), 4u);
    EXPECT_EQ(scanner_->Register(0x02) & 0x08, 0);
  }
}

// Period 3 x 1000 ticks (0x0C low nibble 2), ramp sum 50000, last period 700;
// 0xA2:0xA3 = 16 steps, 0x3D..0x3F = 100 steps below bits 20-23.
TEST_F(MotorTest, PhaseFromTheShadow) {
  EXPECT_FALSE(SetMotorPhase());  // no line timing yet
  EXPECT_TRUE(Trace().empty());
  Engine().linePeriodTicks = 1000;
  Engine().scanTableSum = 50000;
  Engine().scanTableLast = 700;
  // Steps from 0xA2 (0x02 bit 3) or from 0x3D; zero lines wrap.
  for (auto [control02, lines, a, b] :
       {std::tuple{0x08, 261, 1000u, 500u}, {0x00, 261, 1000u, 2300u}, {0x00, 0, 1300u, 2300u}}) {
    ASSERT_TRUE(WriteRegister(0x0C, 0x12) && WriteRegister(0x02, static_cast<uint8_t>(control02)) &&
                WriteRegister16(0xA2, 16) && WriteRegister24(0x3D, 0xF00064) &&
                WriteRegister16(0xA6, static_cast<uint16_t>(lines)));
    ASSERT_TRUE(SetMotorPhase());
    EXPECT_EQ(Chip24(0xB2), a) << control02 << " " << lines;
    EXPECT_EQ(Chip24(0xB5), b) << control02 << " " << lines;
  }
}

TEST_F(MotorTest, ControlBitsAndLampWriteExactly) {
  // clang-format off
  const struct { std::function<bool()> call; Lines trace; } cases[] = {
      {[] { return SetLampState(0, 1); }, {Write("0310"), Write("0300"), Write("0310")}},
      {[] { return SetLampState(1, 1); }, {Write("0330"), Write("0320"), Write("0330")}},
      {[] { return SetLampState(2, 1); }, {Write("0300"), Write("0310")}},  // keeps the select
      {[] { return SetLampState(0, 0); }, {Write("0300")}},
      {[] { return SetLampState(1, 2); }, {Write("0300")}},  // only 1 is on
      {[] { return SetSlopeFields(-1, 0, -1, 3); }, {Write("3bc7")}},  // -1 keeps a field
      {[] { return SetScanStepType(4); }, {Write("a0c2")}},
      {[] { return SetScanStepType(3); }, {Write("a0c1")}},  // taken as 2
      {[] { return SetStepMode(32); }, {Write("1cfd")}},
      {[] { return SetStepMode(3); }, {Write("1cf8")}},  // undivided
      {[] { return SetMotorDirection(false); }, {Write("0204")}},
      {[] { return SetMotorFlag3(true) && SetMotorEnable(true); }, {Write("0208"), Write("0218")}},
      {[] { return SetFeedSteps(0x123456); }, {"CO 0083 0000 6 3d023e343f56"}},  // 20 bits
      {[] { return SetMotorPhaseValues(0x010203, 0x0A0B0C); },
       {"CO 0083 0000 6 b201b302b403", "CO 0083 0000 6 b50ab60bb70c"}}};
  // clang-format on
  for (const auto& c : cases) {
    const RegisterEntry preset[] = {
        {0x02, 0, 0}, {0x03, 0x10, 0}, {0x1C, 0xF8, 0}, {0x3B, 0xE4, 0}, {0xA0, 0xC0, 0}};
    ASSERT_TRUE(WriteRegisterBatch(preset, sizeof preset));
    scanner_->ClearTrace();
    EXPECT_TRUE(c.call());
    EXPECT_EQ(Trace(), c.trace) << &c - cases;
  }
  ASSERT_TRUE(SetScanStepType(8) && SetFeedStepType(1) && SetStepMode(16));
  EXPECT_EQ(Engine().scanStepType, 8);
  EXPECT_EQ(Engine().feedStepType, 1);
  EXPECT_EQ(Engine().timerDivider, 16u);
  scanner_->ClearTrace();
  scanner_->InjectFault(sim::Fault::kHang, scanner_->TransferCount() + 2);
  EXPECT_FALSE(SetLampState(0, 1));  // stops at the first failed write
  EXPECT_EQ(Trace(), Lines{Write("0310")});
}

const std::string kStatusRead = "CI 018e 0122 2 ";

TEST_F(MotorTest, PaperSensor) {
  uint32_t present = 7;
  for (auto [status, expected] : {std::pair{0x08, 1u}, {0xF7, 0u}}) {
    scanner_->SetRegister(0x101, static_cast<uint8_t>(status));
    ASSERT_TRUE(ReadPaperSensor(&present));
    EXPECT_EQ(present, expected);
  }
  scanner_->InjectFault(sim::Fault::kMarker);
  present = 7;
  EXPECT_FALSE(ReadPaperSensor(&present));
  EXPECT_FALSE(ReadPaperSensor(nullptr));
  EXPECT_EQ(present, 7u);
}

TEST_F(MotorTest, WaitMotorIdleSpinsForAMinute) {
  scanner_->SetRegister(0x101, 0xFE);
  EXPECT_TRUE(WaitMotorIdle());
  EXPECT_EQ(Trace(), Lines{kStatusRead + "fe55"});
  scanner_->SetRegister(0x101, 0x01);
  scanner_->SetTraceInMemory(false);
  const uint64_t before = scanner_->TransferCount();
  EXPECT_EQ(ElapsedLibraryMs([] { EXPECT_FALSE(WaitMotorIdle()); }), 60000u);
  EXPECT_GT(scanner_->TransferCount() - before, 300000u);  // it spun, not slept
  scanner_->InjectFault(sim::Fault::kMarker);
  const uint64_t failed = scanner_->TransferCount();
  EXPECT_FALSE(WaitMotorIdle());
  EXPECT_EQ(scanner_->TransferCount(), failed + 1);
}

TEST_F(MotorTest, FeedUntilPaperStopsTheMoveInEveryCase) {
  const Lines stop = {Write("0200"), "CO 0083 0000 6 3d003e003f01", kStatusRead + "0055"};
  ASSERT_TRUE(SetMotorEnable(true));
  scanner_->SetRegister(0x101, 0x08);
  scanner_->ClearTrace();
  EXPECT_TRUE(FeedUntilPaper());
  EXPECT_EQ(Trace(), (Lines{kStatusRead + "0855", Write("0200"), "CO 0083 0000 6 3d003e003f01",
                            kStatusRead + "0855"}));
  scanner_->SetRegister(0x101, 0x00);
  scanner_->ClearTrace();
  const uint32_t ms = ElapsedLibraryMs([] { EXPECT_FALSE(FeedUntilPaper()); });
  EXPECT_GE(ms, 10000u);
  EXPECT_LE(ms, 10001u);
  ASSERT_GT(Trace().size(), 3u);
  EXPECT_EQ(Lines(Trace().end() - 3, Trace().end()), stop);
  EXPECT_EQ(Trace().front(), kStatusRead + "0055");
  scanner_->ClearTrace();
  scanner_->InjectFault(sim::Fault::kMarker);
  EXPECT_FALSE(FeedUntilPaper());
  EXPECT_EQ(Trace().size(), 4u);  // the failed read, then the stop sequence
}

}  // namespace
}  // namespace lf
