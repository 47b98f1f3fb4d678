// Controller start-up, the clock and memory steps, sensor modes and the AFE
// profiles: exact traffic and what the chip holds afterwards.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;
using Lines = std::vector<std::string>;

class EngineInitTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    scanner_->ClearTrace();
  }

  // Trace lines from `first` on.
  Lines TraceFrom(size_t first) const {
    const Lines& trace = scanner_->Trace();
    return first < trace.size()
               ? Lines(trace.begin() + static_cast<std::ptrdiff_t>(first), trace.end())
               : Lines{};
  }
  // A fault on the n-th transfer from now (1-based) and every later one.
  void HangFrom(uint64_t n) { scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + n); }

  sim::VirtualScanner* scanner_ = nullptr;
};

std::string Reg(int reg, int value) {
  char line[32];
  std::snprintf(line, sizeof line, "CO 0083 0000 2 %02x%02x", reg, value);
  return line;
}

std::string Afe(int reg, int value) {
  char line[40];
  std::snprintf(line, sizeof line, "CO 0083 0000 6 51%02x5d005e%02x", reg, value);
  return line;
}

std::string Aux(int reg, int value) {
  char line[32];
  std::snprintf(line, sizeof line, "CO 008c %04x 1 %02x", reg, value);
  return line;
}

const Lines kStartupAfeLines = {Afe(0x01, 0x31), Afe(0x02, 0x21), Afe(0x03, 0x12), Afe(0x04, 0x3F),
                                Afe(0x06, 0x02), Afe(0x08, 0x00), Afe(0x08, 0x00), Afe(0x20, 0x80),
                                Afe(0x21, 0x80), Afe(0x22, 0x80), Afe(0x28, 0x4B), Afe(0x29, 0x4B),
                                Afe(0x2A, 0x4B)};

TEST_F(EngineInitTest, InitControllerSendsTheStartupSequence) {
  ASSERT_TRUE(InitController());
  const Lines& trace = scanner_->Trace();
  ASSERT_EQ(trace.size(), 30u);

  // 113 register pairs: three full transfers and one of 17 pairs.
  const size_t sizes[4] = {64, 64, 64, 34};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(trace[i].rfind("CO 0083 0000 " + std::to_string(sizes[i]) + " ", 0), 0u) << i;
  }
  EXPECT_EQ(trace[0].substr(16, 8), "01000278");
  EXPECT_NE(trace[1].find("3124330f3279"), std::string::npos);  // 0x33 before 0x32
  EXPECT_EQ(trace[3].substr(trace[3].size() - 8), "bd00be00");

  EXPECT_EQ(Lines(trace.begin() + 4, trace.begin() + 17), kStartupAfeLines);
  const Lines tail = {
      Reg(0x0B, 0x6B), Reg(0x08, 0x00), Reg(0x08, 0x00),  // memory: size code 3, one bank
      Reg(0x0B, 0x6B), Aux(0x10, 0x0D),                   // 48 MHz engine clock
      Aux(0x13, 0x0D),                                    // 48 MHz auxiliary clock
      Reg(0x14, 0x70), Reg(0x06, 0x10),                   // converter mode 12
      Reg(0x0D, 0x02), Reg(0x08, 0x40), Reg(0xD0, 10),
      Reg(0xD1, 16),   Reg(0xD2, 22)};  // shading banks
  EXPECT_EQ(Lines(trace.begin() + 17, trace.end()), tail);

  EXPECT_EQ(ShadowValue(0x0B), 0x6B);
  EXPECT_EQ(scanner_->Register(0x0B), 0x6B);
  EXPECT_EQ(scanner_->Register(0x33), 0x0F);
  EXPECT_EQ(scanner_->Register(0x32), 0x79);
  EXPECT_EQ(scanner_->Register(0x87), 0xEC);
  EXPECT_EQ(scanner_->Register(0xA1), 0xB0);
  EXPECT_EQ(scanner_->AuxRegister(0x10), 0x0D);
  EXPECT_EQ(scanner_->AuxRegister(0x13), 0x0D);
  EXPECT_EQ(scanner_->AfeRegister(0x03), 0x12);
  EXPECT_EQ(scanner_->AfeRegister(0x2A), 0x4B);
  EXPECT_DOUBLE_EQ(Engine().tickUs, 0.25);
  EXPECT_EQ(Engine().baseDpi, 1200u);
  EXPECT_EQ(Engine().shadingGainScale, 16384u);
  EXPECT_EQ(Engine().tableUnits, 72u);
}

// A transfer that never completes at each step: the steps whose results
// count end start-up with 0 right there; the last two settings do not.
TEST_F(EngineInitTest, InitControllerStopsAtTheFirstFailedStep) {
  struct Case {
    uint64_t failingTransfer;
    bool result;
  };
  const Case cases[] = {
      {1, false},  {4, false},  {5, false},  {17, false}, {18, false}, {20, false}, {21, false},
      {22, false}, {23, false}, {24, false}, {25, false}, {26, true},  {28, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failingTransfer);
    scanner_->ClearFaults();
    scanner_->ClearTrace();
    const uint64_t before = scanner_->TransferCount();
    HangFrom(c.failingTransfer);
    EXPECT_EQ(InitController(), c.result);
    // A failed step sends nothing after the failing transfer.
    const uint64_t expected = c.result ? 30 : c.failingTransfer;
    EXPECT_EQ(scanner_->TransferCount() - before, expected);
    EXPECT_EQ(scanner_->Trace().size(), c.failingTransfer - 1);
  }
}

struct ClockCase {
  uint32_t mhz;
  uint8_t reg0B;  // with the start-up value 0x69 in the shadow
  uint8_t aux10;
  uint8_t aux13;
  double tick;
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.mhz << " MHz"; }

class EngineClockTest : public EngineInitTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(EngineClockTest, SetsCodeAuxValuesAndTick) {
  const ClockCase& c = GetParam();
  ASSERT_TRUE(WriteRegister(0x0B, 0x69));
  scanner_->ClearTrace();
  ASSERT_TRUE(SetEngineClock(c.mhz));
  ASSERT_TRUE(SetAuxClock(c.mhz));
  EXPECT_EQ(scanner_->Trace(), (Lines{Reg(0x0B, c.reg0B), Aux(0x10, c.aux10), Aux(0x13, c.aux13)}));
  EXPECT_EQ(ShadowValue(0x0B), c.reg0B);
  EXPECT_DOUBLE_EQ(Engine().tickUs, c.tick);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, EngineClockTest,
    ::testing::Values(ClockCase{24, 0x09, 0x0A, 0x0A, 0.5}, ClockCase{30, 0x29, 0x0B, 0x0B, 0.4},
                      ClockCase{40, 0x49, 0x0C, 0x0C, 0.3}, ClockCase{48, 0x69, 0x0D, 0x0D, 0.25},
                      ClockCase{60, 0x89, 0x0E, 0x0E, 0.2}, ClockCase{80, 0xA9, 0x0F, 0x0F, 0.15},
                      // Unlisted: code 1; aux 0x10 from register 0x0B,
                      // aux 0x13 from the low byte of the clock.
                      ClockCase{50, 0x29, 0x2B, 0x3B, 0.24},
                      ClockCase{300, 0x29, 0x2B, 0x2F, 0.04}));

TEST_F(EngineInitTest, ZeroEngineClockIsRefusedWithoutTraffic) {
  EXPECT_FALSE(SetEngineClock(0));
  EXPECT_TRUE(scanner_->Trace().empty());
  EXPECT_DOUBLE_EQ(Engine().tickUs, 0.25);
}

TEST_F(EngineInitTest, ConverterModeSetsBit14AndConverterCode) {
  struct Case {
    uint32_t mode;
    uint8_t reg14;
    uint8_t reg06;
  };
  // Register 0x06 starts as 0x1F and 0x14 as 0x71: only the named bits move.
  const Case cases[] = {{8, 0x70, 0x5F}, {12, 0x70, 0x1F}, {16, 0x71, 0xFF}, {10, 0x70, 0xDF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(WriteRegister(0x06, 0x1F) && WriteRegister(0x14, 0x71));
    ASSERT_TRUE(SetConverterMode(c.mode));
    EXPECT_EQ(scanner_->Register(0x14), c.reg14);
    EXPECT_EQ(scanner_->Register(0x06), c.reg06);
  }
}

TEST_F(EngineInitTest, MemoryConfigSetsSizeCodeAndBanks) {
  struct Case {
    uint8_t banks;
    uint8_t reg08;  // from 0xC2
    size_t transfers;
  };
  const Case cases[] = {{1, 0x40, 3}, {2, 0xC0, 3}, {3, 0x42, 3}, {0, 0xC2, 1}, {4, 0xC2, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.banks));
    ASSERT_TRUE(WriteRegister(0x0B, 0xF8) && WriteRegister(0x08, 0xC2));
    scanner_->ClearTrace();
    ASSERT_TRUE(SetMemoryConfig(5, c.banks));
    EXPECT_EQ(scanner_->Register(0x0B), 0xFD);
    EXPECT_EQ(scanner_->Register(0x08), c.reg08);
    EXPECT_EQ(scanner_->Trace().size(), c.transfers);
  }
}

TEST_F(EngineInitTest, UnknownSensorModeSendsNothing) {
  for (uint8_t mode : {uint8_t{0}, uint8_t{3}, uint8_t{5}, uint8_t{8}}) {
    EXPECT_FALSE(LoadSensorMode(mode)) << static_cast<int>(mode);
  }
  EXPECT_TRUE(scanner_->Trace().empty());
}

// The AFE triple a sensor mode sends depends on the profile chosen last.
TEST_F(EngineInitTest, SensorModeSendsTheTripleOfTheLastProfile) {
  struct Case {
    const char* name;
    std::function<bool()> before;
    uint8_t mode;
    uint8_t triple[3];
  };
  const Case cases[] = {
      {"fresh_mode1", [] { return true; }, 1, {0x35, 0x80, 0x02}},
      {"fresh_mode4", [] { return true; }, 4, {0x35, 0x80, 0x01}},
      {"init_mode2", InitController, 2, {0x35, 0x80, 0x02}},
      {"afe1_mode4", InitAfeMode1, 4, {0x35, 0x80, 0x02}},
      {"afe2_mode1", InitAfeMode2, 1, {0x31, 0x21, 0xD3}},
      {"afe2_mode4", InitAfeMode2, 4, {0x31, 0x21, 0xD3}},
      {"afe2_init_mode4", [] { return InitAfeMode2() && InitController(); }, 4, {0x35, 0x80, 0x01}},
      {"afe2_afe1_mode4", [] { return InitAfeMode2() && InitAfeMode1(); }, 4, {0x35, 0x80, 0x02}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetEngineState();
    ASSERT_TRUE(c.before());
    scanner_->ClearTrace();
    ASSERT_TRUE(LoadSensorMode(c.mode));
    const Lines& trace = scanner_->Trace();
    ASSERT_EQ(trace.size(), 5u);  // 40 pairs in 32 + 8, then three AFE writes
    EXPECT_EQ(trace[0].rfind("CO 0083 0000 64 05001600", 0), 0u);
    EXPECT_EQ(trace[1].rfind("CO 0083 0000 16 ", 0), 0u);
    EXPECT_EQ(trace[1].substr(trace[1].size() - 8), "330e3700");
    EXPECT_EQ(TraceFrom(2),
              (Lines{Afe(0x01, c.triple[0]), Afe(0x02, c.triple[1]), Afe(0x03, c.triple[2])}));
    EXPECT_EQ(scanner_->Register(0x89), 0xB6);
  }
}

TEST_F(EngineInitTest, AfeProfilesWriteTimingTheAfeSetAndTheModeTwoRow) {
  struct Case {
    const char* name;
    std::function<bool()> profile;
    uint8_t timing[8];  // registers 0x52..0x57, 0x5A, 0x5C
    Lines afe;
  };
  const Case cases[] = {
      {"mode1",
       InitAfeMode1,
       {6, 7, 8, 9, 10, 11, 0x31, 0x40},
       {Afe(0x01, 0x31), Afe(0x02, 0x21), Afe(0x03, 0x12), Afe(0x04, 0x3F), Afe(0x06, 0x02),
        Afe(0x08, 0x00), Afe(0x08, 0x00), Afe(0x20, 0x80), Afe(0x21, 0x80), Afe(0x22, 0x80),
        Afe(0x28, 0x4B), Afe(0x29, 0x4B), Afe(0x2A, 0x4B), Afe(0x01, 0x35), Afe(0x02, 0x80),
        Afe(0x03, 0x02)}},
      {"mode2",
       InitAfeMode2,
       {10, 0, 2, 4, 6, 8, 0x32, 0x40},
       {Afe(0x01, 0x31), Afe(0x02, 0x21), Afe(0x03, 0x12), Afe(0x04, 0x00), Afe(0x05, 0x02),
        Afe(0x06, 0x08), Afe(0x08, 0x00), Afe(0x20, 0x80), Afe(0x21, 0x80), Afe(0x22, 0x80),
        Afe(0x28, 0x4B), Afe(0x29, 0x4B), Afe(0x2A, 0x4B), Afe(0x01, 0x31), Afe(0x02, 0x21),
        Afe(0x03, 0xD3)}},
  };
  const uint16_t timingRegs[8] = {0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x5A, 0x5C};
  // Each profile runs after the other one so that it has to undo it.
  ASSERT_TRUE(InitAfeMode2());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scanner_->ClearTrace();
    ASSERT_TRUE(c.profile());
    ASSERT_EQ(scanner_->Trace().size(), 24u);
    EXPECT_EQ(TraceFrom(8), c.afe);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(scanner_->Register(timingRegs[i]), c.timing[i]) << i;
  }
  // InitController puts the start-up AFE set back as engine.h starts it.
  ASSERT_TRUE(InitController());
  const EngineState fresh{};
  for (int i = 0; i < kAfeSetSize; ++i) {
    EXPECT_EQ(Engine().afeSet[i].reg, fresh.afeSet[i].reg) << i;
    EXPECT_EQ(Engine().afeSet[i].value, fresh.afeSet[i].value) << i;
  }
}

TEST_F(EngineInitTest, GainAndOffsetWriteThreeChannels) {
  ASSERT_TRUE(SetAfeGain(0x4B, 0x4B, 0x4B));
  EXPECT_EQ(scanner_->Trace(), (Lines{"CO 0083 0000 6 51285d005e4b", "CO 0083 0000 6 51295d005e4b",
                                      "CO 0083 0000 6 512a5d005e4b"}));
  scanner_->ClearTrace();
  ASSERT_TRUE(SetAfeOffset(0x05, 0x8C, 0xFF));
  EXPECT_EQ(scanner_->Trace(), (Lines{Afe(0x20, 0x05), Afe(0x21, 0x8C), Afe(0x22, 0xFF)}));
  EXPECT_EQ(scanner_->AfeRegister(0x22), 0x00FF);
}

TEST_F(EngineInitTest, GainAndOffsetStopAtTheFirstFailure) {
  for (auto write : {SetAfeGain, SetAfeOffset}) {
    for (uint64_t failing = 1; failing <= 3; ++failing) {
      SCOPED_TRACE(failing);
      scanner_->ClearFaults();
      const uint64_t before = scanner_->TransferCount();
      HangFrom(failing);
      EXPECT_FALSE(write(1, 2, 3));
      EXPECT_EQ(scanner_->TransferCount() - before, failing);
    }
  }
}

}  // namespace
}  // namespace lf
