// Controller start-up, the sensor register sets and the analog front end
// (AFE) profiles. The controller forgets everything when it loses power, so
// InitController brings it from its power-up state to the one configuration
// this scanner runs: 48 MHz engine clock, one memory bank of size code 3,
// converter mode 12, 1200 dpi sensor.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "channel/channel.h"
#include "engine/engine.h"

namespace lf {
namespace {

// The controller's configuration: the clock also sets the tick that every
// line, exposure and motor time is counted in.
constexpr uint32_t kClockMHz = 48;
constexpr uint32_t kConverterMode = 12;
constexpr uint8_t kMemorySizeCode = 3;
constexpr uint8_t kMemoryBanks = 1;
constexpr uint32_t kBaseDpi = 1200;
constexpr uint32_t kShadingGainScale = 16384;

// AFE registers the sensor modes and profiles program.
constexpr uint8_t kAfeModeRegs[3] = {0x01, 0x02, 0x03};
constexpr uint8_t kAfeOffsetRegs[3] = {0x20, 0x21, 0x22};
constexpr uint8_t kAfeGainRegs[3] = {0x28, 0x29, 0x2A};

// The start-up register set, sent as listed; the port data register 0x33 goes
// out before 0x32, and that order is kept.
constexpr RegisterEntry kStartupRegisters[] = {
    {0x01, 0x00, 0}, {0x02, 0x78, 0}, {0x03, 0x8F, 0}, {0x04, 0x04, 0}, {0x05, 0x00, 0},
    {0x06, 0xD0, 0}, {0x08, 0x00, 0}, {0x09, 0x00, 0}, {0x0A, 0x00, 0}, {0x0B, 0x69, 0},
    {0x0C, 0x00, 0}, {0x11, 0x00, 0}, {0x12, 0x00, 0}, {0x13, 0x10, 0}, {0x14, 0x70, 0},
    {0x16, 0x3B, 0}, {0x17, 0x04, 0}, {0x18, 0x10, 0}, {0x19, 0x00, 0}, {0x1A, 0x30, 0},
    {0x1B, 0x00, 0}, {0x1C, 0x00, 0}, {0x1D, 0x00, 0}, {0x1E, 0x10, 0}, {0x1F, 0x00, 0},
    {0x20, 0x01, 0}, {0x21, 0x00, 0}, {0x22, 0x1A, 0}, {0x25, 0x00, 0}, {0x26, 0x00, 0},
    {0x27, 0x00, 0}, {0x28, 0x00, 0}, {0x29, 0x40, 0}, {0x2A, 0x00, 0}, {0x2B, 0xF0, 0},
    {0x2C, 0x02, 0}, {0x2D, 0x58, 0}, {0x2E, 0x80, 0}, {0x2F, 0x80, 0}, {0x30, 0x60, 0},
    {0x31, 0x24, 0}, {0x33, 0x0F, 0}, {0x32, 0x79, 0}, {0x34, 0x20, 0}, {0x35, 0x5F, 0},
    {0x36, 0x0F, 0}, {0x37, 0x00, 0}, {0x38, 0xD0, 0}, {0x39, 0x00, 0}, {0x3D, 0x00, 0},
    {0x3E, 0x00, 0}, {0x3F, 0x01, 0}, {0x52, 0x01, 0}, {0x53, 0x04, 0}, {0x54, 0x07, 0},
    {0x55, 0x0A, 0}, {0x56, 0x0D, 0}, {0x57, 0x10, 0}, {0x5A, 0x1B, 0}, {0x5B, 0x00, 0},
    {0x5C, 0x40, 0}, {0x7D, 0x00, 0}, {0x7E, 0x55, 0}, {0x7F, 0xF0, 0}, {0x80, 0x00, 0},
    {0x81, 0x3C, 0}, {0x82, 0x00, 0}, {0x83, 0x00, 0}, {0x84, 0x14, 0}, {0x85, 0x00, 0},
    {0x86, 0x27, 0}, {0x87, 0xEC, 0}, {0x88, 0x00, 0}, {0x89, 0x2A, 0}, {0x8A, 0x00, 0},
    {0x8B, 0x00, 0}, {0x8C, 0x00, 0}, {0x8D, 0x00, 0}, {0x8E, 0x00, 0}, {0x8F, 0x00, 0},
    {0x90, 0x00, 0}, {0x91, 0x00, 0}, {0x92, 0x00, 0}, {0x93, 0x00, 0}, {0x94, 0x00, 0},
    {0x95, 0x00, 0}, {0x96, 0x00, 0}, {0x97, 0x00, 0}, {0x98, 0x00, 0}, {0x9B, 0x7F, 0},
    {0x9C, 0x7F, 0}, {0x9F, 0x00, 0}, {0xA1, 0xB0, 0}, {0xA2, 0x00, 0}, {0xA3, 0x01, 0},
    {0xA4, 0x00, 0}, {0xA5, 0x04, 0}, {0xA6, 0x00, 0}, {0xA7, 0x50, 0}, {0xA8, 0x00, 0},
    {0xA9, 0x50, 0}, {0xAA, 0x00, 0}, {0xAB, 0x04, 0}, {0xAC, 0x00, 0}, {0xAD, 0x01, 0},
    {0xAE, 0x00, 0}, {0xAF, 0x04, 0}, {0xB0, 0x00, 0}, {0xB1, 0x01, 0}, {0xB8, 0x00, 0},
    {0xB9, 0x00, 0}, {0xBD, 0x00, 0}, {0xBE, 0x00, 0},
};
static_assert(std::size(kStartupRegisters) == 113);

// The sensor register set; the sensor runs the same timing for reductions 1,
// 2 and 4 and only the AFE triple differs.
constexpr RegisterEntry kSensorRegisters[] = {
    {0x05, 0x00, 0}, {0x16, 0x00, 0}, {0x17, 0x00, 0}, {0x18, 0x00, 0}, {0x1A, 0x26, 0},
    {0x1C, 0x00, 0}, {0x1D, 0x00, 0}, {0x1F, 0x00, 0}, {0x20, 0x01, 0}, {0x21, 0x00, 0},
    {0x22, 0x0F, 0}, {0x52, 0x06, 0}, {0x53, 0x07, 0}, {0x54, 0x08, 0}, {0x55, 0x09, 0},
    {0x56, 0x0A, 0}, {0x57, 0x0B, 0}, {0x5A, 0x31, 0}, {0x5C, 0x40, 0}, {0x70, 0x01, 0},
    {0x71, 0x03, 0}, {0x72, 0x04, 0}, {0x73, 0x05, 0}, {0x74, 0x00, 0}, {0x75, 0x00, 0},
    {0x76, 0x00, 0}, {0x77, 0x00, 0}, {0x78, 0x07, 0}, {0x79, 0xFE, 0}, {0x7A, 0x03, 0},
    {0x7B, 0xFF, 0}, {0x7C, 0xFF, 0}, {0x80, 0x00, 0}, {0x81, 0x1F, 0}, {0x88, 0x00, 0},
    {0x89, 0xB6, 0}, {0x3B, 0x00, 0}, {0x30, 0x60, 0}, {0x33, 0x0E, 0}, {0x37, 0x00, 0},
};
static_assert(std::size(kSensorRegisters) == 40);

// The start-up AFE set, written in this order (0x08 is written twice).
constexpr AfePair kStartupAfeSet[kAfeSetSize] = {
    {0x01, 0x31}, {0x02, 0x21}, {0x03, 0x12}, {0x04, 0x3F}, {0x06, 0x02},
    {0x08, 0x00}, {0x08, 0x00}, {0x20, 0x80}, {0x21, 0x80}, {0x22, 0x80},
    {0x28, 0x4B}, {0x29, 0x4B}, {0x2A, 0x4B},
};

// The profiles rewrite a run of the AFE set starting at its fourth entry.
constexpr int kAfeProfileFirst = 3;
constexpr AfePair kAfeMode1Entries[] = {{0x04, 0x3F}, {0x06, 0x02}, {0x08, 0x00}};
constexpr AfePair kAfeMode2Entries[] = {{0x04, 0x00}, {0x05, 0x02}, {0x06, 0x08}, {0x08, 0x00}};

constexpr uint8_t kStartupTriples[3][3] = {
    {0x35, 0x80, 0x02}, {0x35, 0x80, 0x02}, {0x35, 0x80, 0x01}};
constexpr uint8_t kAfeMode1Triple[3] = {0x35, 0x80, 0x02};
constexpr uint8_t kAfeMode2Triple[3] = {0x31, 0x21, 0xD3};

// Row of the triple table the profiles send after the AFE set.
constexpr int kProfileRow = 1;

// Registers 0x52..0x57 as each AFE profile sets them.
constexpr uint8_t kAfeMode1Timing[6] = {6, 7, 8, 9, 10, 11};
constexpr uint8_t kAfeMode2Timing[6] = {10, 0, 2, 4, 6, 8};

// Clock codes and auxiliary clock values for the engine clocks the
// controller supports.
struct ClockSetting {
  uint32_t mhz;
  uint8_t code;      // register 0x0B bits 5-7
  uint8_t auxValue;  // auxiliary registers 0x10 and 0x13
};
constexpr ClockSetting kClockSettings[] = {
    {24, 0, 0x0A}, {30, 1, 0x0B}, {40, 2, 0x0C}, {48, 3, 0x0D}, {60, 4, 0x0E}, {80, 5, 0x0F},
};
constexpr uint8_t kUnlistedClockCode = 1;
constexpr uint8_t kUnlistedAuxBits = 0x0B;

const ClockSetting* FindClockSetting(uint32_t mhz) {
  for (const ClockSetting& setting : kClockSettings) {
    if (setting.mhz == mhz) return &setting;
  }
  return nullptr;
}

// Row of the triple table for a sensor mode; -1 for a mode the sensor lacks.
int SensorModeRow(uint8_t mode) {
  if (mode == 1) return 0;
  if (mode == 2) return 1;
  if (mode == 4) return 2;
  return -1;
}

// Register 0x06 bits 5-7 for a converter mode.
uint8_t ConverterCode(uint32_t mode) {
  if (mode == 8) return 2;
  if (mode == 12) return 0;
  if (mode == 16) return 7;
  return 6;
}

bool WriteAfePairs(const AfePair* pairs, int count) {
  for (int i = 0; i < count; ++i) {
    if (!WriteAfeRegister(pairs[i].reg, pairs[i].value)) return false;
  }
  return true;
}

bool WriteAfeTriple(const uint8_t (&values)[3]) {
  for (int i = 0; i < 3; ++i) {
    if (!WriteAfeRegister(kAfeModeRegs[i], values[i])) return false;
  }
  return true;
}

bool WriteAfeChannels(const uint8_t (&regs)[3], uint8_t first, uint8_t second, uint8_t third) {
  return WriteAfeRegister(regs[0], first) && WriteAfeRegister(regs[1], second) &&
         WriteAfeRegister(regs[2], third);
}

template <std::size_t N>
void ReplaceAfeEntries(const AfePair (&entries)[N]) {
  for (std::size_t i = 0; i < N; ++i) Engine().afeSet[kAfeProfileFirst + i] = entries[i];
}

void SetAllTriples(const uint8_t (&triple)[3]) {
  for (auto& row : Engine().afeTriples) {
    for (int i = 0; i < 3; ++i) row[i] = triple[i];
  }
}

// Restores what the profiles change, so that the start-up AFE set and the
// start-up sensor triples are in force again. Entries 4 to 6 are enough: the
// mode 2 profile also rewrites entry 7, but with its start-up value.
void RestoreStartupAfeState() {
  for (int i = kAfeProfileFirst; i < kAfeProfileFirst + 3; ++i) {
    Engine().afeSet[i] = kStartupAfeSet[i];
  }
  for (int row = 0; row < 3; ++row) {
    for (int i = 0; i < 3; ++i) Engine().afeTriples[row][i] = kStartupTriples[row][i];
  }
}

// Registers 0x52..0x57, 0x5A and 0x5C of an AFE profile; the profile's AFE
// writes decide its result, so these are not tested.
void WriteProfileTiming(const uint8_t (&timing)[6], uint8_t reg5A) {
  for (uint8_t i = 0; i < 6; ++i) WriteRegister(static_cast<uint16_t>(0x52 + i), timing[i]);
  WriteRegister(0x5A, reg5A);
  WriteRegister(0x5C, 0x40);
}

// Sends the whole AFE set as the profile left it, then the mode 2 row.
bool WriteAfeProfile() {
  return WriteAfePairs(Engine().afeSet, kAfeSetSize) &&
         WriteAfeTriple(Engine().afeTriples[kProfileRow]);
}

}  // namespace

bool InitController() {
  RestoreStartupAfeState();
  if (!WriteRegisterBatch(kStartupRegisters, sizeof kStartupRegisters)) return false;
  if (!WriteAfePairs(kStartupAfeSet, kAfeSetSize)) return false;
  if (!SetMemoryConfig(kMemorySizeCode, kMemoryBanks)) return false;
  if (!SetEngineClock(kClockMHz)) return false;
  if (!SetAuxClock(kClockMHz)) return false;
  if (!SetConverterMode(kConverterMode)) return false;
  // Start-up does not hinge on these two settings: their results are not
  // tested.
  WriteRegister(0x0D, 2);
  WriteRegisterBits(0x08, 6, 1, 1);
  Engine().baseDpi = kBaseDpi;
  Engine().shadingGainScale = kShadingGainScale;
  return SetShadingBanks();
}

bool LoadSensorMode(uint8_t mode) {
  const int row = SensorModeRow(mode);
  if (row < 0) return false;
  if (!WriteRegisterBatch(kSensorRegisters, sizeof kSensorRegisters)) return false;
  return WriteAfeTriple(Engine().afeTriples[row]);
}

bool InitAfeMode1() {
  WriteProfileTiming(kAfeMode1Timing, 0x31);
  ReplaceAfeEntries(kAfeMode1Entries);
  SetAllTriples(kAfeMode1Triple);
  return WriteAfeProfile();
}

bool InitAfeMode2() {
  WriteProfileTiming(kAfeMode2Timing, 0x32);
  ReplaceAfeEntries(kAfeMode2Entries);
  SetAllTriples(kAfeMode2Triple);
  return WriteAfeProfile();
}

bool SetAfeGain(uint8_t first, uint8_t second, uint8_t third) {
  return WriteAfeChannels(kAfeGainRegs, first, second, third);
}

bool SetAfeOffset(uint8_t first, uint8_t second, uint8_t third) {
  return WriteAfeChannels(kAfeOffsetRegs, first, second, third);
}

bool SetMemoryConfig(uint8_t sizeCode, uint8_t banks) {
  if (!WriteRegisterBits(0x0B, 0, 3, sizeCode)) return false;
  switch (banks) {
    case 1:
    case 2:
      return WriteRegisterBits(0x08, 7, 1, banks != 1 ? 1 : 0) && WriteRegisterBits(0x08, 1, 1, 0);
    case 3:
      return WriteRegisterBits(0x08, 7, 1, 0) && WriteRegisterBits(0x08, 1, 1, 1);
    default:
      // No such bank arrangement: register 0x08 keeps what it has.
      return true;
  }
}

bool SetEngineClock(uint32_t mhz) {
  // A zero clock has no tick; refusing it keeps every later timing value
  // finite.
  if (mhz == 0) return false;
  Engine().tickUs = static_cast<double>(kConverterMode) / mhz;
  const ClockSetting* setting = FindClockSetting(mhz);
  const uint8_t code = setting != nullptr ? setting->code : kUnlistedClockCode;
  const auto reg0B = static_cast<uint8_t>((ShadowValue(0x0B) & 0x1F) | (code << 5));
  if (!WriteRegister(0x0B, reg0B)) return false;
  const uint8_t aux = setting != nullptr ? setting->auxValue : (reg0B | kUnlistedAuxBits);
  return WriteAuxRegister(0x10, aux);
}

bool SetAuxClock(uint32_t mhz) {
  const ClockSetting* setting = FindClockSetting(mhz);
  const uint8_t aux = setting != nullptr ? setting->auxValue
                                         : static_cast<uint8_t>((mhz & 0xFF) | kUnlistedAuxBits);
  return WriteAuxRegister(0x13, aux);
}

bool SetConverterMode(uint32_t mode) {
  const uint8_t code = ConverterCode(mode);
  return WriteRegisterBits(0x14, 0, 1, mode == 16 ? 1 : 0) && WriteRegisterBits(0x06, 5, 3, code);
}

}  // namespace lf
