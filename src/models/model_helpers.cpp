#include "models/models.h"
#include "platform/platform.h"

namespace lf {

void ToWide(char16_t* dest, uint32_t capacity, const char* source) {
  if (source == nullptr || dest == nullptr || capacity == 0) return;
  platform::AnsiToUtf16(source, dest, capacity);
}

uint8_t SetBits(uint8_t value, uint8_t first, uint8_t count, uint8_t field) {
  uint32_t mask = 0;
  for (uint32_t bit = first; bit < uint32_t{first} + count; ++bit) {
    if (bit < 8) mask |= 1u << bit;
  }
  const uint32_t shifted = (first < 8) ? uint32_t{field} << first : 0;
  return static_cast<uint8_t>((value & ~mask) | shifted);
}

uint8_t ExpandBit(uint8_t bit) { return bit == 1 ? 3 : 0; }

namespace {
uint8_t ClampToByteRange(int16_t value, int16_t low, int16_t high) {
  if (value < low) return static_cast<uint8_t>(low);
  if (value > high) return static_cast<uint8_t>(high);
  return static_cast<uint8_t>(value);
}

void GappedInsertionSort(uint16_t* values, uint32_t count, uint32_t gap) {
  for (uint32_t i = gap; i < count; ++i) {
    const uint16_t item = values[i];
    uint32_t j = i;
    for (; j >= gap && values[j - gap] > item; j -= gap) values[j] = values[j - gap];
    values[j] = item;
  }
}

}  // namespace

uint32_t NextShellGap(uint32_t gap) {
  if (gap <= 1) return 0;
  if (gap == 2) return 1;
  return static_cast<uint32_t>(gap * 0.45454545454545453);
}

uint8_t ClampAfeGain(int16_t value) { return ClampToByteRange(value, 100, 250); }

uint8_t ClampAfeOffset(int16_t value) { return ClampToByteRange(value, 5, 140); }

void ShellSortU16(uint16_t* values, uint16_t count) {
  for (uint32_t gap = count / 2u; gap > 0; gap = NextShellGap(gap)) {
    GappedInsertionSort(values, count, gap);
  }
}

}  // namespace lf
