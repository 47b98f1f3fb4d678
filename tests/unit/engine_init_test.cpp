// Controller start-up, clock and memory steps, sensor modes and AFE profiles:
// exact traffic and what the chip holds afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "engine/engine.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using Lines = std::vector<std::string>;

class EngineInitTest : public test::EngineTest {
 protected:

};

// "0b6b 0800": register writes 0x0B = 0x6B, 0x08 = 0x00; the same for the AFE
// and the auxiliary registers.
Lines Writes(const std::string& pairs, const std::string& before, const std::string& between) {
  Lines lines;
  for (size_t i = 0; i + 4 <= pairs.size(); i += 5) {
    lines.push_back(before + pairs.substr(i, 2) + between + pairs.substr(i + 2, 2));
  }
  return lines;
}
Lines Regs(const std::string& pairs) { return Writes(pairs, "CO 0083 0000 2 ", ""); }
Lines Afes(const std::string& pairs) { return Writes(pairs, "CO 0083 0000 6 51", "5d005e"); }
Lines Auxes(const std::string& pairs) { return Writes(pairs, "CO 008c 00", " 1 "); }
Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kBatch64 = "CO 0083 0000 64 ", kBatch34 = "CO 0083 0000 34 ";
const Lines kStartupAfe = Afes("0131 0221 0312 043f 0602 0800 0800 2080 2180 2280 284b 294b 2a4b");

TEST_F(EngineInitTest, InitControllerSendsTheStartupSequence) {
  ASSERT_TRUE(InitController());
  ASSERT_EQ(Trace().size(), 30u);
  // 113 register pairs: three full batches and one of 17 pairs.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Trace()[i].substr(0, 16), i < 3 ? kBatch64 : kBatch34);
  EXPECT_EQ(Trace()[0].substr(16, 8), "01000278");
  EXPECT_NE(Trace()[1].find("3124330f3279"), std::string::npos);  // 0x33 goes before 0x32
  EXPECT_EQ(Trace()[3].substr(Trace()[3].size() - 8), "bd00be00");
  // Then the AFE set, memory (size code 3, one bank), 48 MHz clocks, converter
  // mode 12, the two unchecked settings and the shading banks.
  EXPECT_EQ(Lines(Trace().begin() + 4, Trace().end()),
            kStartupAfe + Regs("0b6b 0800 0800 0b6b") + Auxes("100d 130d") +
                Regs("1470 0610 0d02 0840 d00a d110 d216"));
  EXPECT_EQ(ShadowValue(0x0B), 0x6B);
  for (auto [reg, value] :
       {std::pair{0x0B, 0x6B}, {0x33, 0x0F}, {0x32, 0x79}, {0x87, 0xEC}, {0xA1, 0xB0}}) {
    EXPECT_EQ(scanner_->Register(static_cast<uint16_t>(reg)), value) << reg;
  }
  EXPECT_DOUBLE_EQ(Engine().tickUs, 0.25);
  EXPECT_EQ(Engine().baseDpi, 1200u);
  EXPECT_EQ(Engine().shadingGainScale, 16384u);
  EXPECT_EQ(Engine().tableUnits, 72u);
}

// A transfer that never completes at each step: the steps whose results count
// end start-up right there; the last two settings (transfers 26 on) do not.
TEST_F(EngineInitTest, InitControllerStopsAtTheFirstFailedStep) {
  for (uint64_t failing : {1, 4, 5, 17, 18, 20, 21, 22, 23, 24, 25, 26, 28}) {
    const uint64_t before = HangFrom(failing);
    const bool completes = failing >= 26;
    EXPECT_EQ(InitController(), completes) << failing;
    EXPECT_EQ(scanner_->TransferCount() - before, completes ? 30 : failing) << failing;
    EXPECT_EQ(Trace().size(), failing - 1) << failing;
  }
}

TEST_F(EngineInitTest, ClocksSetCodeAuxValuesAndTick) {
  // clang-format off
  const struct { uint32_t mhz; const char *reg0B, *aux10and13; double tick; } cases[] = {
      {24, "0b09", "100a 130a", 0.5}, {30, "0b29", "100b 130b", 0.4},
      {40, "0b49", "100c 130c", 0.3}, {48, "0b69", "100d 130d", 0.25},
      {60, "0b89", "100e 130e", 0.2}, {80, "0ba9", "100f 130f", 0.15},
      // Unlisted: code 1, aux 0x10 from register 0x0B, aux 0x13 from the clock's low byte.
      {50, "0b29", "102b 133b", 0.24}, {300, "0b29", "102b 132f", 0.04},
  };
  // clang-format on
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteRegister(0x0B, 0x69));  // only bits 5-7 change
    scanner_->ClearTrace();
    ASSERT_TRUE(SetEngineClock(c.mhz) && SetAuxClock(c.mhz));
    EXPECT_EQ(Trace(), Regs(c.reg0B) + Auxes(c.aux10and13)) << c.mhz;
    EXPECT_EQ(ShadowValue(0x0B), std::stoi(c.reg0B + 2, nullptr, 16)) << c.mhz;
    EXPECT_DOUBLE_EQ(Engine().tickUs, c.tick) << c.mhz;
  }
  scanner_->ClearTrace();
  EXPECT_FALSE(SetEngineClock(0));  // no tick: refused without traffic
  EXPECT_TRUE(Trace().empty());
  EXPECT_DOUBLE_EQ(Engine().tickUs, 0.04);
}

TEST_F(EngineInitTest, ConverterModeAndMemoryConfigMoveOnlyTheirBits) {
  // Registers 0x14 and 0x06 start at 0x71 and 0x1F, 0x08 at 0xC2.
  // clang-format off
  const struct { uint32_t mode; uint8_t reg14, reg06; } modes[] = {
      {8, 0x70, 0x5F}, {12, 0x70, 0x1F}, {16, 0x71, 0xFF}, {10, 0x70, 0xDF}};
  // clang-format on
  for (const auto& c : modes) {
    ASSERT_TRUE(WriteRegister(0x06, 0x1F) && WriteRegister(0x14, 0x71));
    ASSERT_TRUE(SetConverterMode(c.mode));
    EXPECT_EQ(scanner_->Register(0x14), c.reg14) << c.mode;
    EXPECT_EQ(scanner_->Register(0x06), c.reg06) << c.mode;
  }
  // clang-format off
  const struct { uint8_t banks, reg08; size_t transfers; } memories[] = {
      {1, 0x40, 3}, {2, 0xC0, 3}, {3, 0x42, 3}, {0, 0xC2, 1}, {4, 0xC2, 1}};
  // clang-format on
  for (const auto& c : memories) {
    ASSERT_TRUE(WriteRegister(0x0B, 0xF8) && WriteRegister(0x08, 0xC2));
    scanner_->ClearTrace();
    ASSERT_TRUE(SetMemoryConfig(5, c.banks));
    EXPECT_EQ(scanner_->Register(0x0B), 0xFD);
    EXPECT_EQ(scanner_->Register(0x08), c.reg08) << int{c.banks};
    EXPECT_EQ(Trace().size(), c.transfers) << int{c.banks};
  }
}

// The AFE triple a sensor mode sends depends on the profile chosen last.
TEST_F(EngineInitTest, SensorModeSendsTheTripleOfTheLastProfile) {
  for (int mode : {0, 3, 5, 8}) EXPECT_FALSE(LoadSensorMode(static_cast<uint8_t>(mode))) << mode;
  EXPECT_TRUE(Trace().empty());
  const auto none = [] { return true; };
  // clang-format off
  const struct { std::function<bool()> before; uint8_t mode; const char* triple; } cases[] = {
      {none, 1, "0135 0280 0302"}, {none, 4, "0135 0280 0301"},
      {InitController, 2, "0135 0280 0302"}, {InitAfeMode1, 4, "0135 0280 0302"},
      {InitAfeMode2, 1, "0131 0221 03d3"}, {InitAfeMode2, 4, "0131 0221 03d3"},
      {[] { return InitAfeMode2() && InitController(); }, 4, "0135 0280 0301"},
      {[] { return InitAfeMode2() && InitAfeMode1(); }, 4, "0135 0280 0302"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << &c - cases << ": mode " << int{c.mode});
    ResetEngineState();
    ASSERT_TRUE(c.before());
    scanner_->ClearTrace();
    ASSERT_TRUE(LoadSensorMode(c.mode));
    ASSERT_EQ(Trace().size(), 5u);  // 40 pairs in 32 + 8, then three AFE writes
    EXPECT_EQ(Trace()[0].substr(0, 24), kBatch64 + "05001600");
    EXPECT_EQ(Trace()[1].substr(0, 16), "CO 0083 0000 16 ");
    EXPECT_EQ(Trace()[1].substr(Trace()[1].size() - 8), "330e3700");
    EXPECT_EQ(Lines(Trace().begin() + 2, Trace().end()), Afes(c.triple));
    EXPECT_EQ(scanner_->Register(0x89), 0xB6);
  }
}

TEST_F(EngineInitTest, AfeProfilesWriteTimingTheAfeSetAndTheModeTwoRow) {
  // Timing: registers 0x52..0x57, 0x5A, 0x5C.
  // clang-format off
  const struct { std::function<bool()> profile; uint8_t timing[8]; Lines afe; } cases[] = {
      {InitAfeMode1, {6, 7, 8, 9, 10, 11, 0x31, 0x40}, kStartupAfe + Afes("0135 0280 0302")},
      {InitAfeMode2, {10, 0, 2, 4, 6, 8, 0x32, 0x40},
       Afes("0131 0221 0312 0400 0502 0608 0800 2080 2180 2280 284b 294b 2a4b 0131 0221 03d3")}};
  // clang-format on
  const uint16_t timingRegs[8] = {0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x5A, 0x5C};
  ASSERT_TRUE(InitAfeMode2());  // each profile then runs after the other and must undo it
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.timing[6]});
    scanner_->ClearTrace();
    ASSERT_TRUE(c.profile());
    ASSERT_EQ(Trace().size(), 24u);
    EXPECT_EQ(Lines(Trace().begin() + 8, Trace().end()), c.afe);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(scanner_->Register(timingRegs[i]), c.timing[i]) << i;
  }
  ASSERT_TRUE(InitController());  // puts the start-up AFE set back
  EXPECT_EQ(std::memcmp(Engine().afeSet, EngineState{}.afeSet, sizeof Engine().afeSet), 0);
}

TEST_F(EngineInitTest, GainAndOffsetWriteThreeChannelsAndStopAtTheFirstFailure) {
  ASSERT_TRUE(SetAfeGain(0x4B, 0x4C, 0x4D) && SetAfeOffset(0x05, 0x8C, 0xFF));
  EXPECT_EQ(Trace(), Afes("284b 294c 2a4d 2005 218c 22ff"));
  for (auto write : {SetAfeGain, SetAfeOffset}) {
    for (uint64_t failing = 1; failing <= 3; ++failing) {
      const uint64_t before = HangFrom(failing);
      EXPECT_FALSE(write(1, 2, 3)) << failing;
      EXPECT_EQ(scanner_->TransferCount() - before, failing);
    }
  }
}

}  // namespace
}  // namespace lf
