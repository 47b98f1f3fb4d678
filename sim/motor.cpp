// The stepper motor in virtual time: speed tables as prefix sums, a motion
// as up to four phases, and conversions between ticks and steps by search,
// so that no motion is ever stepped through.
#include <algorithm>

#include "sim/chip.h"

namespace lf::sim::chip {

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > kForever - b ? kForever : a + b; }

namespace {

uint64_t SaturatingMul(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kForever / b ? kForever : a * b;
}

}  // namespace

uint32_t StepTypeOf(uint8_t code) {
  static const uint32_t kTypes[4] = {1, 2, 4, 8};
  return code < 4 ? kTypes[code] : 1;
}

uint64_t DividerOf(uint8_t code) { return code <= 5 ? uint64_t{1} << code : 1; }

// ---------------------------------------------------------------------------
// Speed tables
// ---------------------------------------------------------------------------

void SpeedTable::Load(const ControllerMemory& memory, uint32_t address, uint32_t length,
                      uint64_t divider) {
  length_ = std::clamp<uint32_t>(length, 1, kMaxEntries);
  uint8_t bytes[2 * kMaxEntries];
  memory.Read(address, bytes, 2 * length_);
  prefix_[0] = 0;
  for (uint32_t i = 0; i < length_; ++i) {
    raw_[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    const uint64_t entry = raw_[i] == 0 ? 65536 : raw_[i];
    prefix_[i + 1] = prefix_[i] + entry * divider;
  }
}

uint32_t SpeedTable::StepsWithin(uint64_t elapsed, uint32_t limit) const {
  const uint64_t* end = prefix_ + limit + 1;
  return static_cast<uint32_t>(std::upper_bound(prefix_, end, elapsed) - prefix_ - 1);
}

uint32_t SpeedTable::FirstSumAtLeast(uint64_t value, uint32_t limit) const {
  const uint64_t* end = prefix_ + limit + 1;
  return static_cast<uint32_t>(std::lower_bound(prefix_, end, value) - prefix_);
}

// ---------------------------------------------------------------------------
// Phases: step i of n takes table entry min(i, n - 1 - i, last) with a ramp
// down, min(i, last) without.
// ---------------------------------------------------------------------------

uint32_t Phase::RampSteps() const {
  if (table == nullptr) return 0;
  const uint64_t last = table->length() - 1;
  const uint64_t room = rampDown ? steps / 2 : steps;
  return static_cast<uint32_t>(std::min(last, room));
}

uint64_t Phase::MiddlePeriod() const {
  return table == nullptr ? steadyPeriod : table->Period(RampSteps());
}

uint64_t Phase::MiddleSteps() const {
  if (steps == kForever) return kForever;
  const uint64_t ramps = uint64_t{RampSteps()} * (rampDown ? 2 : 1);
  return steps - ramps;
}

uint64_t Phase::Duration() const {
  const uint64_t ramp = table == nullptr ? 0 : table->Sum(RampSteps());
  const uint64_t middle = SaturatingMul(MiddleSteps(), MiddlePeriod());
  return SaturatingAdd(SaturatingAdd(ramp, middle), rampDown ? ramp : 0);
}

uint64_t Phase::StepsAfter(uint64_t elapsed) const {
  const uint32_t ramp = RampSteps();
  const uint64_t rampTicks = table == nullptr ? 0 : table->Sum(ramp);
  if (elapsed < rampTicks) return table->StepsWithin(elapsed, ramp);
  elapsed -= rampTicks;
  const uint64_t middleSteps = MiddleSteps();
  const uint64_t middleTicks = SaturatingMul(middleSteps, MiddlePeriod());
  if (elapsed < middleTicks) return ramp + elapsed / MiddlePeriod();
  if (!rampDown) return steps;
  elapsed -= middleTicks;
  // Down through the table: after j steps Sum(ramp) - Sum(ramp - j) ticks.
  if (elapsed >= rampTicks) return steps;
  const uint32_t first = table->FirstSumAtLeast(rampTicks - elapsed, ramp);
  return ramp + middleSteps + (ramp - first);
}

// ---------------------------------------------------------------------------
// Motions
// ---------------------------------------------------------------------------

void Motion::Append(const Phase& phase) {
  if (count == kMaxPhases) return;
  Phase placed = phase;
  placed.start =
      count == 0 ? start : SaturatingAdd(phases[count - 1].start, phases[count - 1].Duration());
  phases[count++] = placed;
}

uint64_t Motion::NaturalEnd() const {
  if (count == 0) return start;
  const Phase& last = phases[count - 1];
  return SaturatingAdd(last.start, last.Duration());
}

uint64_t Motion::End() const { return std::min(stop, NaturalEnd()); }

bool Motion::RunningAt(uint64_t tick) const {
  if (count == 0) return false;
  if (stuck) return tick < stop;
  return tick >= start && tick < End();
}

uint64_t Motion::DotsAt(uint64_t tick) const {
  if (stuck) return 0;
  const uint64_t until = std::min(tick, stop);
  uint64_t dots = 0;
  for (int i = 0; i < count; ++i) {
    const Phase& phase = phases[i];
    if (until <= phase.start) break;
    const uint64_t steps = std::min(phase.steps, phase.StepsAfter(until - phase.start));
    dots = SaturatingAdd(dots, SaturatingMul(steps, phase.dotsPerStep));
  }
  return dots;
}

uint64_t Motion::TickWhenDots(uint64_t dots) const {
  if (dots == 0) return start;
  const uint64_t end = End();
  const uint64_t last = end == kForever ? start + (uint64_t{1} << 50) : end;
  if (DotsAt(last) < dots) return kForever;
  uint64_t low = start;
  uint64_t high = last;  // DotsAt(high) >= dots
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (DotsAt(mid) >= dots) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low;
}

}  // namespace lf::sim::chip
