// Motor speed tables as pure data: building the step periods the
// controller's stepper generator reads, apart from loading them, so that the
// entries can be checked without a scanner.
#pragma once

#include <cstdint>

namespace lf {

// The controller's copy areas are 16 KB: at most this many u16 entries.
inline constexpr int kMaxSlopeTableEntries = 8192;

// Entries a table built from `count` speeds may need before the length limit:
// the ramp, the target entry and up to three padding copies.
inline int SlopeTableCapacity(int count) { return (count > 0 ? count : 0) + 4; }

// One step period in timer ticks: trunc(10^6 / speed / tickUs / divider /
// stepType), saturated to 0..0xFFFFFFFF.
uint32_t StepPeriodTicks(double speed, double tickUs, uint32_t divider, int stepType);

// Fills `table` (SlopeTableCapacity(count) entries) with the ramp from the
// slowest listed speed below `target` down to the target period, padded to a
// multiple of four with copies of the last entry and cut to
// kMaxSlopeTableEntries. Returns the length.
int BuildSlopeTable(const float* speeds, int count, float target, int stepType, double tickUs,
                    uint32_t divider, uint16_t* table);

}  // namespace lf
