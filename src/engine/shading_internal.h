// The shading table format, kept apart from the upload so that tests can
// check tables word by word without a scanner.
#pragma once

#include <cstdint>

namespace lf::shading {

// Highest gain a table word can hold; flat or inverted pixels get it.
inline constexpr uint32_t kGainLimit = 65535;
// Gain numerators of the three channels.
inline constexpr uint32_t kChannelNumerator[3] = {56320, 56320, 58880};
// Register 0x06 bits 5-7 value of the converter mode whose tables have no
// block fillers.
inline constexpr uint8_t kPackedConverterCode = 2;

// Gain word of one pixel: gainScale x numerator / (white - dark), with the
// divisor 1 when white does not exceed dark, in unsigned 32-bit arithmetic
// and limited to kGainLimit.
uint16_t ShadingGain(uint16_t dark, uint16_t white, uint32_t gainScale, uint32_t numerator);

// Words a table of `entries` (>= 0) pixels covers in the transfer: four
// leading fillers, two words per pixel, and with blockFillers four fillers
// after every pixel that fills a 512-byte block up to its last eight bytes
// (the 124th pixel, then every 126th).
constexpr uint32_t ShadingTableWords(int32_t entries, bool blockFillers) {
  const auto pixels = static_cast<uint32_t>(entries);
  uint32_t words = 4 + 2 * pixels;
  if (blockFillers && pixels >= 124) words += 4 * (1 + (pixels - 124) / 126);
  return words;
}

// Bytes the upload allocates for a table of `entries` (>= 0) pixels.
constexpr uint32_t ShadingTableBytes(int32_t entries) {
  return 2 * (static_cast<uint32_t>(entries) * 1536 / 252) + 512;
}

// Builds a channel's table into `table`, which must hold
// ShadingTableWords(entries, blockFillers) words. Returns that word count.
uint32_t BuildShadingTable(const uint16_t* dark, const uint16_t* white, int32_t entries,
                           uint32_t gainScale, uint32_t numerator, bool blockFillers,
                           uint16_t* table);

}  // namespace lf::shading
