// Shading memory: where the three per-channel correction tables live in
// controller memory, and turning a dark and a white calibration line per
// channel into the tables the controller reads while it scans.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>

#include "channel/channel.h"
#include "engine/engine.h"
#include "engine/shading_internal.h"

namespace lf {

namespace shading {

uint16_t ShadingGain(uint16_t dark, uint16_t white, uint32_t gainScale, uint32_t numerator) {
  const uint32_t divisor = white > dark ? uint32_t{white} - dark : 1;
  const uint32_t gain = gainScale * numerator / divisor;
  return static_cast<uint16_t>(std::min(gain, kGainLimit));
}

uint32_t BuildShadingTable(const uint16_t* dark, const uint16_t* white, int32_t entries,
                           uint32_t gainScale, uint32_t numerator, bool blockFillers,
                           uint16_t* table) {
  constexpr uint16_t kFiller = 0xFFFF;
  uint32_t words = 0;
  for (; words < 4; ++words) table[words] = kFiller;
  for (int32_t i = 0; i < entries; ++i) {
    table[words++] = dark[i];
    table[words++] = ShadingGain(dark[i], white[i], gainScale, numerator);
    // The controller skips the last eight bytes of every 512-byte block.
    if (blockFillers && words % 256 == 252) {
      for (int f = 0; f < 4; ++f) table[words++] = kFiller;
    }
  }
  return words;
}

}  // namespace shading

namespace {

// Tables go to the controller as they lie in memory; the controller reads
// little-endian words.
static_assert(std::endian::native == std::endian::little);

// The two-halves layout makes three entries of every pixel, and they must fit
// the staging planes.
constexpr int32_t kMaxAltPixels = kShadingStagingEntries / 3;

// Controller memory banks of 8192 bytes; the shading area starts at bank 10,
// behind the motor tables.
constexpr uint32_t kBankBase = 0x10000000;
constexpr uint32_t kBankBytes = 0x2000;
constexpr uint8_t kFirstShadingBank = 10;
// Every bank of one channel's table takes 12 units of 2048 bytes from the
// shading area: 4 units per bank, three channels.
constexpr uint32_t kUnitsPerChannelBank = 12;
// Banks per channel: the base resolution times single-precision 1/56 (3/56
// for the wide layout), truncated, divided by four, plus one.
constexpr float kBanksPerDpi = 0.017857144f;
constexpr float kBanksPerDpi3x = 0.05357143f;

// The allocation formula leaves room for the fillers at every pixel count the
// uploads accept.
constexpr bool AllocationHoldsEveryTable() {
  for (int32_t entries = 0; entries <= kShadingStagingEntries; ++entries) {
    if (2 * shading::ShadingTableWords(entries, true) > shading::ShadingTableBytes(entries)) {
      return false;
    }
  }
  return true;
}
static_assert(AllocationHoldsEveryTable());

// Calibration lines are staged here before the tables are built, one dark
// and one white plane per channel.
uint16_t g_stagedDark[3][kShadingStagingEntries];
uint16_t g_stagedWhite[3][kShadingStagingEntries];

void ClearStaging() {
  for (int ch = 0; ch < 3; ++ch) {
    std::fill_n(g_stagedDark[ch], kShadingStagingEntries, uint16_t{0});
    std::fill_n(g_stagedWhite[ch], kShadingStagingEntries, uint16_t{0});
  }
}

bool LayOutShadingBanks(float banksPerDpi) {
  const float banks = static_cast<float>(Engine().baseDpi) * banksPerDpi;
  const uint32_t perChannel = (static_cast<uint32_t>(banks) >> 2) + 1;
  for (uint32_t ch = 0; ch < 3; ++ch) {
    const uint32_t bank = kFirstShadingBank + ch * perChannel;
    // The start bank registers steer the controller; a failed write shows up
    // in the scan, not here.
    WriteRegister(static_cast<uint16_t>(0xD0 + ch), static_cast<uint8_t>(bank));
    Engine().shadingAddress[ch] = kBankBase + bank * kBankBytes;
  }
  Engine().tableUnits = perChannel * kUnitsPerChannelBank;
  return true;
}

// Block fillers go with every converter mode except the packed one.
bool TablesNeedBlockFillers() {
  const auto code = static_cast<uint8_t>((ShadowValue(0x06) >> 5) & 0x07);
  return code != shading::kPackedConverterCode;
}

bool UploadChannel(int ch, int32_t entries, bool blockFillers) {
  const uint32_t bytes = shading::ShadingTableBytes(entries);
  std::unique_ptr<uint16_t[]> table(new (std::nothrow) uint16_t[bytes / 2]);
  if (!table) return false;
  const uint32_t words = shading::BuildShadingTable(
      g_stagedDark[ch], g_stagedWhite[ch], entries, Engine().shadingGainScale,
      shading::kChannelNumerator[ch], blockFillers, table.get());
  return WriteControllerMemory(Engine().shadingAddress[ch], table.get(), 2 * words);
}

// Builds and writes the three staged tables, then clears register 0x01 bit 1;
// that last write decides the result.
bool UploadStagedTables(int32_t entries) {
  const bool blockFillers = TablesNeedBlockFillers();
  for (int ch = 0; ch < 3; ++ch) {
    if (!UploadChannel(ch, entries, blockFillers)) return false;
  }
  return WriteRegisterBits(0x01, 1, 1, 0);
}

// The two-halves sensor: each input pixel becomes three entries, an empty
// one, one from the first half of the line and one from the second.
void StageTwoHalves(int ch, const uint16_t* dark, const uint16_t* white, int32_t pixels) {
  for (int32_t i = 0; i < pixels; ++i) {
    g_stagedDark[ch][3 * i + 1] = dark[i];
    g_stagedWhite[ch][3 * i + 1] = white[i];
    g_stagedDark[ch][3 * i + 2] = dark[i + pixels];
    g_stagedWhite[ch][3 * i + 2] = white[i + pixels];
  }
}

}  // namespace

bool SetShadingBanks() { return LayOutShadingBanks(kBanksPerDpi); }

bool SetShadingBanks3x() { return LayOutShadingBanks(kBanksPerDpi3x); }

bool UploadShadingTables(const uint16_t* dark1, const uint16_t* dark2, const uint16_t* dark3,
                         const uint16_t* white1, const uint16_t* white2, const uint16_t* white3,
                         int32_t pixels) {
  const uint16_t* dark[3] = {dark1, dark2, dark3};
  const uint16_t* white[3] = {white1, white2, white3};
  // A line that does not fit the staging planes is refused before any traffic,
  // so the tables in the controller stay whole.
  if (pixels <= 0 || pixels > kShadingStagingEntries) return false;
  for (int ch = 0; ch < 3; ++ch) {
    if (dark[ch] == nullptr || white[ch] == nullptr) return false;
  }
  ClearStaging();
  for (int ch = 0; ch < 3; ++ch) {
    std::copy_n(dark[ch], pixels, g_stagedDark[ch]);
    std::copy_n(white[ch], pixels, g_stagedWhite[ch]);
  }
  return UploadStagedTables(pixels);
}

bool UploadShadingTablesAlt(const uint16_t* dark1, const uint16_t* dark2, const uint16_t* dark3,
                            const uint16_t* white1, const uint16_t* white2, const uint16_t* white3,
                            int32_t pixels, int32_t /*reserved*/, int32_t variant) {
  const uint16_t* dark[3] = {dark1, dark2, dark3};
  const uint16_t* white[3] = {white1, white2, white3};
  if (pixels <= 0 || pixels > kMaxAltPixels) return false;
  // Variants 1 and 2 have one channel; the other two tables stay empty.
  const int filledChannels = (variant == 1 || variant == 2) ? 1 : 3;
  for (int ch = 0; ch < filledChannels; ++ch) {
    if (dark[ch] == nullptr || white[ch] == nullptr) return false;
  }
  ClearStaging();
  for (int ch = 0; ch < filledChannels; ++ch) StageTwoHalves(ch, dark[ch], white[ch], pixels);
  return UploadStagedTables(3 * pixels);
}

}  // namespace lf
