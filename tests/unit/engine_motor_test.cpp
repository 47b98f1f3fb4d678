// Motor speed tables, timer divider, pre-feed, phase, lamp and status polls
// against the virtual scanner: exact entries, exact traffic, failure paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "engine/motor_internal.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;
using Lines = std::vector<std::string>;

class MotorTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    scanner_->ClearTrace();
  }

  uint32_t Chip16(uint16_t reg) const {
    return scanner_->Register(reg) << 8 | scanner_->Register(reg + 1);
  }
  uint32_t Chip24(uint16_t reg) const { return Chip16(reg) << 8 | scanner_->Register(reg + 2); }
  std::vector<uint16_t> Memory(uint32_t address, int entries) const {
    std::vector<uint16_t> table(static_cast<size_t>(entries));
    scanner_->ReadMemory(address, table.data(), static_cast<uint32_t>(entries) * 2);
    return table;
  }
  // Measured on the library's own clock, so the poll's millisecond limit and
  // this measurement round alike.
  static uint32_t ElapsedLibraryMs(const std::function<void()>& run) {
    const uint32_t start = ElapsedMs();
    run();
    return ElapsedMs() - start;
  }

  sim::VirtualScanner* scanner_ = nullptr;
};

// --- Pure table builds ------------------------------------------------------

struct BuildCase {
  const char* name;
  std::vector<float> speeds;
  float target;
  int stepType;
  uint32_t divider;
  int length;
  std::vector<std::pair<int, uint16_t>> entries;  // index, value
};
void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

const std::vector<float> kStandard(kStandardSpeeds, kStandardSpeeds + kStandardSpeedCount);

class SlopeBuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(SlopeBuildTest, EntriesAndLength) {
  const BuildCase& c = GetParam();
  const int count = static_cast<int>(c.speeds.size());
  std::vector<uint16_t> table(static_cast<size_t>(SlopeTableCapacity(count)), 0xDEAD);
  EXPECT_EQ(
      BuildSlopeTable(c.speeds.data(), count, c.target, c.stepType, 0.25, c.divider, table.data()),
      c.length);
  for (const auto& [index, value] : c.entries) EXPECT_EQ(table[index], value) << "entry " << index;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, SlopeBuildTest,
    ::testing::Values(
        BuildCase{"target_1500",
                  kStandard,
                  1500,
                  2,
                  1,
                  24,
                  {{0, 11111}, {1, 8333}, {21, 1388}, {22, 1333}, {23, 1333}}},
        BuildCase{"target_1560_no_padding", kStandard, 1560, 2, 1, 24, {{22, 1333}, {23, 1282}}},
        BuildCase{"target_above_list_pads_to_28",
                  kStandard,
                  1561,
                  2,
                  1,
                  28,
                  {{23, 1282}, {24, 1281}, {27, 1281}}},
        BuildCase{"target_below_list", kStandard, 150, 2, 1, 4, {{0, 13333}, {3, 13333}}},
        BuildCase{"divider_4_step_type_4", kStandard, 1500, 4, 4, 24, {{0, 1388}, {23, 166}}},
        BuildCase{"slow_entries_limited_target_cut",
                  {10},
                  20,
                  1,
                  1,
                  4,
                  {{0, 65535}, {1, 200000 & 0xFFFF}}},
        BuildCase{"stops_at_first_speed_not_below_target",
                  {100, 900, 200},
                  500,
                  1,
                  1,
                  4,
                  {{0, 40000}, {1, 8000}, {3, 8000}}},
        BuildCase{"empty_list", {}, 1000, 1, 1, 4, {{0, 4000}, {3, 4000}}},
        BuildCase{"length_limit", std::vector<float>(9000, 100), 200, 1, 1, 8192, {{8191, 40000}}}),
    [](const auto& param) { return std::string(param.param.name); });

// --- Upload into controller memory -------------------------------------------

// One 24-entry copy: the window at that address, 48 bytes, then its length.
Lines CopyTraffic(const std::string& address, const std::string& lengthPairs) {
  return {"CO 0082 0001 8 " + address + "30000000", "BO 48", "CO 0083 0000 4 " + lengthPairs};
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(MotorTest, FeedTableGoesToBothCopiesThenTheirLengths) {
  int length = -1;
  ASSERT_TRUE(UploadSlopeTableA(kStandardSpeeds, kStandardSpeedCount, 1500, 2, 1, &length));
  EXPECT_EQ(length, 24);
  const Lines expected = Concat({{"CO 0083 0000 2 a008", "CO 0083 0000 2 3b50"},
                                 CopyTraffic("00c00010", "ae00af18"),
                                 CopyTraffic("00000110", "b000b118")});
  EXPECT_EQ(scanner_->Trace(), expected);
  EXPECT_EQ(Memory(0x1000C000, 24), Memory(0x10010000, 24));
  EXPECT_EQ(Memory(0x1000C000, 1)[0], 11111);
  EXPECT_EQ(Engine().scanTableSum, 0u);  // only the scan table is summed
}

TEST_F(MotorTest, ScanTableGoesToThreeCopiesAndRemembersItsSums) {
  Engine().timerDivider = 2;
  int length = -1;
  ASSERT_TRUE(UploadSlopeTableB(kStandardSpeeds, kStandardSpeedCount, 1560, 2, 1, &length));
  EXPECT_EQ(length, 24);
  const Lines expected = Concat({{"CO 0083 0000 2 a001", "CO 0083 0000 2 3b05"},
                                 CopyTraffic("00000010", "a400a518"),
                                 CopyTraffic("00400010", "aa00ab18"),
                                 CopyTraffic("00800010", "ac00ad18")});
  EXPECT_EQ(scanner_->Trace(), expected);
  const std::vector<uint16_t> table = Memory(0x10000000, 24);
  EXPECT_EQ(Memory(0x10004000, 24), table);
  EXPECT_EQ(Memory(0x10008000, 24), table);
  EXPECT_EQ(table[0], 5555);  // divider 2 halves the periods
  EXPECT_EQ(table[23], 641);
  uint32_t sum = 0;
  for (uint16_t entry : table) sum += entry;
  EXPECT_EQ(Engine().scanTableSum, 2 * sum);
  EXPECT_EQ(Engine().scanTableLast, 2u * 641);
}

TEST_F(MotorTest, ScanTableAboveTheListFailsWithoutTraffic) {
  int length = -1;
  EXPECT_FALSE(UploadSlopeTableB(kStandardSpeeds, kStandardSpeedCount, 1561, 2, 1, &length));
  EXPECT_FALSE(UploadSlopeTableB(kStandardSpeeds, 0, 100, 2, 1, &length));
  EXPECT_EQ(length, -1);
  EXPECT_TRUE(scanner_->Trace().empty());
}

TEST_F(MotorTest, EveryFailedTransferOfAnUploadEndsItWithoutALength) {
  for (int table = 0; table < 2; ++table) {
    const int transfers = table == 0 ? 8 : 11;
    for (int failAt = 1; failAt <= transfers; ++failAt) {
      SCOPED_TRACE(testing::Message() << "table " << table << " transfer " << failAt);
      scanner_->ClearFaults();
      scanner_->ClearTrace();
      scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + failAt);
      int length = -1;
      const auto upload = table == 0 ? UploadSlopeTableA : UploadSlopeTableB;
      EXPECT_FALSE(upload(kStandardSpeeds, kStandardSpeedCount, 1500, 2, 1, &length));
      EXPECT_EQ(length, -1);
      EXPECT_EQ(scanner_->Trace().size(), static_cast<size_t>(failAt - 1));
    }
  }
}

TEST_F(MotorTest, ReadyTablesLoadOnlyWithinTheCopyArea) {
  const std::vector<uint16_t> table(8193, 0x1234);
  EXPECT_FALSE(LoadScanTable(nullptr, 4));
  EXPECT_FALSE(LoadScanTable(table.data(), 0));
  EXPECT_FALSE(LoadFeedTable(table.data(), 8193));
  EXPECT_TRUE(scanner_->Trace().empty());
  ASSERT_TRUE(LoadFeedTable(table.data(), 8192));
  ASSERT_TRUE(LoadScanTable(table.data(), 4));
  EXPECT_EQ(Chip16(0xB0), 8192u);
  EXPECT_EQ(Chip16(0xAC), 4u);
  EXPECT_EQ(Memory(0x10010000 + 2 * 8191, 1)[0], 0x1234);
  EXPECT_EQ(Memory(0x10008000, 5), (std::vector<uint16_t>{0x1234, 0x1234, 0x1234, 0x1234, 0}));
}

// --- Timer divider ----------------------------------------------------------

struct DividerCase {
  float ms;
  int stepType;
  float stepsPerLine;
  uint32_t lineSkipPlusOne;
  uint32_t ticks;
  uint32_t divider;  // the register holds its code
  uint8_t code;
};
void PrintTo(const DividerCase& c, std::ostream* os) { *os << c.ms << " ms -> " << c.divider; }

class DividerTest : public MotorTest, public ::testing::WithParamInterface<DividerCase> {};

TEST_P(DividerTest, PicksTheDividerThatKeepsPeriodsIn16Bits) {
  const DividerCase& c = GetParam();
  Engine().lineSkipPlusOne = c.lineSkipPlusOne;
  ASSERT_TRUE(SelectTimerDivider(c.ms, c.stepType, c.stepsPerLine));
  EXPECT_EQ(Engine().linePeriodTicks, c.ticks);
  EXPECT_EQ(Engine().timerDivider, c.divider);
  EXPECT_EQ(scanner_->Register(0x1C) & 7, c.code);
}

INSTANTIATE_TEST_SUITE_P(Choices, DividerTest,
                         ::testing::Values(DividerCase{16, 1, 1, 1, 64000, 1, 0},          // d 1
                                           DividerCase{64, 1, 3.90625f, 1, 256000, 2, 1},  // d 2
                                           DividerCase{35, 1, 1, 1, 140000, 4, 2},         // d 3
                                           DividerCase{35, 2, 0.5f, 3, 140000, 8, 3},      // d 7
                                           DividerCase{140, 1, 1, 1, 560000, 16, 4},       // d 9
                                           DividerCase{520, 1, 1, 1, 2080000, 32, 5},      // d 32
                                           DividerCase{530, 1, 1, 1, 2120000, 33, 0}));    // d 33

// --- Pre-feed and phase -----------------------------------------------------

struct PreFeedCase {
  int distance;
  uint32_t steps;
};
void PrintTo(const PreFeedCase& c, std::ostream* os) { *os << c.distance; }

class PreFeedTest : public MotorTest, public ::testing::WithParamInterface<PreFeedCase> {};

// Scan step type 4, feed 2, both tables 24 long: ramps of 6 and 12 steps and
// one extra, so a lead-in needs 32 units to run at feed speed.
TEST_P(PreFeedTest, FeedsFastOnlyWhenBothRampsFit) {
  Engine().scanStepType = 4;
  Engine().feedStepType = 2;
  ASSERT_TRUE(WriteRegister16(0xA4, 24) && WriteRegister16(0xAE, 24) && SetMotorFlag3(true));
  ASSERT_TRUE(SetPreFeed(GetParam().distance));
  EXPECT_EQ(Chip24(0x3D), GetParam().steps);
  EXPECT_EQ(Chip16(0xA2), 4u);
  EXPECT_EQ(scanner_->Register(0x02) & 0x08, 0);
}

INSTANTIATE_TEST_SUITE_P(Distances, PreFeedTest,
                         ::testing::Values(PreFeedCase{0, 0}, PreFeedCase{5, 0},
                                           PreFeedCase{31, 4 * 25}, PreFeedCase{32, 2 * 1},
                                           PreFeedCase{1000, 2 * 969},
                                           PreFeedCase{600000, (2 * 599969) & 0xFFFFF}));

struct PhaseCase {
  const char* name;
  uint8_t control02;
  uint16_t lines;  // 0xA6:0xA7
  uint32_t a;
  uint32_t b;
};
void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class PhaseTest : public MotorTest, public ::testing::WithParamInterface<PhaseCase> {};

// Period 3 x 1000 ticks (0x0C low nibble 2), ramp sum 50000, last period 700;
// 0xA2:0xA3 = 16 steps, 0x3D..0x3F = 100 steps below bits 20-23.
TEST_P(PhaseTest, FromTheShadow) {
  const PhaseCase& c = GetParam();
  Engine().linePeriodTicks = 1000;
  Engine().scanTableSum = 50000;
  Engine().scanTableLast = 700;
  ASSERT_TRUE(WriteRegister(0x0C, 0x12) && WriteRegister(0x02, c.control02) &&
              WriteRegister16(0xA2, 16) && WriteRegister24(0x3D, 0xF00064) &&
              WriteRegister16(0xA6, c.lines));
  ASSERT_TRUE(SetMotorPhase());
  EXPECT_EQ(Chip24(0xB2), c.a);
  EXPECT_EQ(Chip24(0xB5), c.b);
}

INSTANTIATE_TEST_SUITE_P(Shadows, PhaseTest,
                         ::testing::Values(PhaseCase{"steps_from_A2", 0x08, 261, 1000, 500},
                                           PhaseCase{"steps_from_3D", 0x00, 261, 1000, 2300},
                                           PhaseCase{"zero_lines_wrap", 0x00, 0, 1300, 2300}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(MotorTest, PhaseWithoutLineTimingWritesNothing) {
  EXPECT_FALSE(SetMotorPhase());
  EXPECT_TRUE(scanner_->Trace().empty());
}

// --- Control bits and lamp --------------------------------------------------

struct TrafficCase {
  const char* name;
  std::function<bool()> call;
  Lines trace;
};
void PrintTo(const TrafficCase& c, std::ostream* os) { *os << c.name; }

class TrafficTest : public MotorTest, public ::testing::WithParamInterface<TrafficCase> {};

TEST_P(TrafficTest, WritesExactly) {
  const RegisterEntry preset[] = {
      {0x03, 0x10, 0}, {0x1C, 0xF8, 0}, {0x3B, 0xE4, 0}, {0xA0, 0xC0, 0}};
  ASSERT_TRUE(WriteRegisterBatch(preset, sizeof preset));
  scanner_->ClearTrace();
  EXPECT_TRUE(GetParam().call());
  EXPECT_EQ(scanner_->Trace(), GetParam().trace);
}

std::string Write(const char* pair) { return std::string("CO 0083 0000 2 ") + pair; }

INSTANTIATE_TEST_SUITE_P(
    Calls, TrafficTest,
    ::testing::Values(
        TrafficCase{"lamp0_on",
                    [] { return SetLampState(0, 1); },
                    {Write("0310"), Write("0300"), Write("0310")}},
        TrafficCase{"lamp1_on",
                    [] { return SetLampState(1, 1); },
                    {Write("0330"), Write("0320"), Write("0330")}},
        TrafficCase{"lamp2_on_keeps_select",
                    [] { return SetLampState(2, 1); },
                    {Write("0300"), Write("0310")}},
        TrafficCase{"lamp_off", [] { return SetLampState(0, 0); }, {Write("0300")}},
        TrafficCase{"lamp_on_2_is_off", [] { return SetLampState(1, 2); }, {Write("0300")}},
        TrafficCase{"slope_fields_minus_one_kept",
                    [] { return SetSlopeFields(-1, 0, -1, 3); },
                    {Write("3bc7")}},
        TrafficCase{"scan_step_4", [] { return SetScanStepType(4); }, {Write("a0c2")}},
        TrafficCase{"scan_step_3_as_2", [] { return SetScanStepType(3); }, {Write("a0c1")}},
        TrafficCase{"step_mode_32", [] { return SetStepMode(32); }, {Write("1cfd")}},
        TrafficCase{"step_mode_3_undivided", [] { return SetStepMode(3); }, {Write("1cf8")}},
        TrafficCase{"backward", [] { return SetMotorDirection(false); }, {Write("0204")}},
        TrafficCase{"flag3_enable",
                    [] { return SetMotorFlag3(true) && SetMotorEnable(true); },
                    {Write("0208"), Write("0218")}},
        TrafficCase{"feed_steps_20_bits",
                    [] { return SetFeedSteps(0x123456); },
                    {"CO 0083 0000 6 3d023e343f56"}},
        TrafficCase{"phase_values",
                    [] { return SetMotorPhaseValues(0x010203, 0x0A0B0C); },
                    {"CO 0083 0000 6 b201b302b403", "CO 0083 0000 6 b50ab60bb70c"}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MotorTest, RemembersStepTypesAndDivider) {
  ASSERT_TRUE(SetScanStepType(8) && SetFeedStepType(1) && SetStepMode(16));
  EXPECT_EQ(Engine().scanStepType, 8);
  EXPECT_EQ(Engine().feedStepType, 1);
  EXPECT_EQ(Engine().timerDivider, 16u);
}

TEST_F(MotorTest, LampStopsAtTheFirstFailedWrite) {
  scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + 2);
  EXPECT_FALSE(SetLampState(0, 1));
  EXPECT_EQ(scanner_->Trace(), Lines{Write("0300")});
}

// --- Status polls -----------------------------------------------------------

const std::string kStatusRead = "CI 018e 0122 2 ";

TEST_F(MotorTest, PaperSensor) {
  uint32_t present = 7;
  scanner_->SetRegister(0x101, 0x08);
  ASSERT_TRUE(ReadPaperSensor(&present));
  EXPECT_EQ(present, 1u);
  scanner_->SetRegister(0x101, 0xF7);
  ASSERT_TRUE(ReadPaperSensor(&present));
  EXPECT_EQ(present, 0u);
  scanner_->InjectFault(Fault::kMarker);
  present = 7;
  EXPECT_FALSE(ReadPaperSensor(&present));
  EXPECT_FALSE(ReadPaperSensor(nullptr));
  EXPECT_EQ(present, 7u);
}

TEST_F(MotorTest, WaitMotorIdle) {
  scanner_->SetRegister(0x101, 0xFE);
  EXPECT_TRUE(WaitMotorIdle());
  EXPECT_EQ(scanner_->Trace(), Lines{kStatusRead + "fe55"});

  scanner_->SetRegister(0x101, 0x01);
  scanner_->SetTraceInMemory(false);
  const uint64_t before = scanner_->TransferCount();
  const uint32_t ms = ElapsedLibraryMs([] { EXPECT_FALSE(WaitMotorIdle()); });
  EXPECT_GE(ms, 60000u);
  EXPECT_LE(ms, 60001u);
  EXPECT_GT(scanner_->TransferCount() - before, 300000u);  // it spun, not slept

  scanner_->InjectFault(Fault::kMarker);
  const uint64_t failed = scanner_->TransferCount();
  EXPECT_FALSE(WaitMotorIdle());
  EXPECT_EQ(scanner_->TransferCount(), failed + 1);
}

TEST_F(MotorTest, FeedUntilPaperStopsTheMoveInEveryCase) {
  const Lines stop = {Write("0200"), "CO 0083 0000 6 3d003e003f01", kStatusRead + "0055"};
  ASSERT_TRUE(SetMotorEnable(true));
  scanner_->ClearTrace();

  scanner_->SetRegister(0x101, 0x08);
  EXPECT_TRUE(FeedUntilPaper());
  Lines seen = {kStatusRead + "0855", Write("0200"), "CO 0083 0000 6 3d003e003f01",
                kStatusRead + "0855"};
  EXPECT_EQ(scanner_->Trace(), seen);

  scanner_->SetRegister(0x101, 0x00);
  scanner_->ClearTrace();
  const uint32_t ms = ElapsedLibraryMs([] { EXPECT_FALSE(FeedUntilPaper()); });
  EXPECT_GE(ms, 10000u);
  EXPECT_LE(ms, 10001u);
  const Lines& trace = scanner_->Trace();
  ASSERT_GT(trace.size(), 3u);
  EXPECT_EQ(Lines(trace.end() - 3, trace.end()), stop);
  EXPECT_EQ(trace.front(), kStatusRead + "0055");

  scanner_->ClearTrace();
  scanner_->InjectFault(Fault::kMarker);
  EXPECT_FALSE(FeedUntilPaper());
  EXPECT_EQ(scanner_->Trace().size(), 4u);  // failed read, then the stop sequence
}

}  // namespace
}  // namespace lf
