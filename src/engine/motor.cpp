// Motor, lamp and engine control: the speed tables the controller's stepper
// generator reads from its memory, step types and the timer divider, the
// distance fed before a scan, the motor phase registers, the motor and lamp
// control bits, the engine strobes and the status polls.
//
// Arithmetic: speeds arrive as float, the timer tick is a double, and every
// period is computed in double and truncated toward zero at the end. Doing the
// whole chain of divisions in one precision keeps entries such as
// 10^6 / 180 / 0.25 / 2 = 11111.1 from landing on the wrong integer.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "channel/channel.h"
#include "engine/engine.h"
#include "engine/motor_internal.h"

namespace lf {

// 180 + 60 x i steps per second, i = 0..23.
const float kStandardSpeeds[kStandardSpeedCount] = {180,  240,  300,  360,  420,  480,  540,  600,
                                                    660,  720,  780,  840,  900,  960,  1020, 1080,
                                                    1140, 1200, 1260, 1320, 1380, 1440, 1500, 1560};

namespace {

// Tables go to controller memory as they lie in host memory; the controller
// reads them little-endian.
static_assert(std::endian::native == std::endian::little,
              "motor tables are sent without byte swapping");

constexpr uint16_t kMotorControl = 0x02;  // 2 direction, 3 step-count source, 4 run
constexpr uint16_t kScanControl = 0x01;   // 0 scan enable
constexpr uint16_t kLampControl = 0x03;   // 4 lamp on, 5 lamp select
constexpr uint16_t kMotorPower = 0x0A;    // 5 hold
constexpr uint16_t kPlaneCount = 0x0C;    // 0-3 planes per line minus one
constexpr uint16_t kEngineReset = 0x0E;
constexpr uint16_t kEngineStart = 0x0F;
constexpr uint16_t kTimerDivider = 0x1C;
constexpr uint16_t kSlopeFields = 0x3B;
constexpr uint8_t kStepCount = 0x3D;  // 20 bits over 0x3D..0x3F
constexpr uint16_t kStepTypes = 0xA0;
constexpr uint8_t kScanStepValue = 0xA2;
constexpr uint8_t kScanTableLength = 0xA4;
constexpr uint8_t kScanLines = 0xA6;
constexpr uint8_t kFeedTableLength = 0xAE;
constexpr uint8_t kPhaseA = 0xB2;
constexpr uint8_t kPhaseB = 0xB5;
constexpr uint16_t kStatus = 0x101;

constexpr uint8_t kStatusMotorRunning = 0x01;
constexpr uint8_t kStatusPaperPresent = 0x08;
constexpr uint32_t kStepCountMask = 0xFFFFF;
constexpr uint32_t kMotorIdleLimitMs = 60000;
constexpr uint32_t kPaperLimitMs = 10000;

// Each table is kept in several copies, each with its own length register.
struct TableCopy {
  uint32_t address;
  uint8_t lengthRegister;
};
constexpr TableCopy kScanTableCopies[] = {
    {0x10000000, kScanTableLength}, {0x10004000, 0xAA}, {0x10008000, 0xAC}};
constexpr TableCopy kFeedTableCopies[] = {{0x1000C000, kFeedTableLength}, {0x10010000, 0xB0}};

// The register fields code a power of two 2^k (k up to maxCode) as k; any
// other value gets the field's fallback code.
uint8_t PowerOfTwoCode(uint32_t value, uint8_t maxCode, uint8_t fallback) {
  for (uint8_t k = 0; k <= maxCode; ++k) {
    if (value == (1u << k)) return k;
  }
  return fallback;
}

// Step types 1, 2, 4, 8; anything else is taken as step type 2.
uint8_t StepTypeCode(int stepType) {
  return stepType > 0 ? PowerOfTwoCode(static_cast<uint32_t>(stepType), 3, 1) : 1;
}

// Dividers 1 to 32; with any other the timer runs undivided.
uint8_t DividerCode(uint32_t divider) { return PowerOfTwoCode(divider, 5, 0); }

// The smallest power-of-two divider at or above d (up to 32) keeps a step
// period of q / divider within 16 bits; beyond 32 the timer cannot help and
// d is taken as it is.
uint32_t DividerFor(uint8_t d) {
  if (d <= 2) return d;
  for (uint32_t divider = 4; divider <= 32; divider *= 2) {
    if (d <= divider) return divider;
  }
  return d;
}

uint32_t TruncToU32(double value) {
  if (!(value > 0)) return 0;  // negative, zero and NaN
  if (value >= 4294967296.0) return UINT32_MAX;
  return static_cast<uint32_t>(value);
}

uint32_t Shadow16(uint16_t reg) {
  return (uint32_t{ShadowValue(reg)} << 8) | ShadowValue(static_cast<uint16_t>(reg + 1));
}

uint32_t Shadow24(uint16_t reg) {
  return (Shadow16(reg) << 8) | ShadowValue(static_cast<uint16_t>(reg + 2));
}

bool SetBit(uint16_t reg, uint8_t bit, bool on) {
  return WriteRegisterBits(reg, bit, 1, on ? 1 : 0);
}

// Each copy before its length, so a length register never announces entries
// that are not in memory yet.
bool WriteTableCopies(std::span<const TableCopy> copies, const uint16_t* table, int length) {
  const uint32_t bytes = static_cast<uint32_t>(length) * 2;
  for (const TableCopy& copy : copies) {
    if (!WriteControllerMemory(copy.address, table, bytes)) return false;
    if (!WriteRegister16(copy.lengthRegister, static_cast<uint16_t>(length))) return false;
  }
  return true;
}

bool LoadTable(std::span<const TableCopy> copies, const uint16_t* table, int length) {
  if (table == nullptr || length < 1 || length > kMaxSlopeTableEntries) return false;
  return WriteTableCopies(copies, table, length);
}

// The phase registers need the time the scan ramp takes: the sum of its
// periods and its final period, in undivided ticks.
void RememberScanTableSums(const uint16_t* table, int length) {
  EngineState& engine = Engine();
  uint32_t sum = 0;
  for (int i = 0; i < length; ++i) sum += table[i];
  engine.scanTableSum = engine.timerDivider * sum;
  engine.scanTableLast = length > 0 ? engine.timerDivider * table[length - 1] : 0;
}

enum class MotorTable { kFeed, kScan };

bool UploadSlopeTable(MotorTable which, const float* speeds, int count, float target, int stepType,
                      int field, int* outLength) {
  if (count > 0 && speeds == nullptr) return false;
  const bool feed = which == MotorTable::kFeed;
  if (!(feed ? SetFeedStepType(stepType) : SetScanStepType(stepType))) return false;
  const bool fieldsSet =
      feed ? SetSlopeFields(field, field, -1, -1) : SetSlopeFields(-1, -1, field, field);
  if (!fieldsSet) return false;

  std::unique_ptr<uint16_t[]> table(new (std::nothrow) uint16_t[SlopeTableCapacity(count)]);
  if (!table) return false;
  const EngineState& engine = Engine();
  const int length = BuildSlopeTable(speeds, count, target, stepType, engine.tickUs,
                                     engine.timerDivider, table.get());
  if (!feed) RememberScanTableSums(table.get(), length);
  if (!WriteTableCopies(feed ? std::span<const TableCopy>(kFeedTableCopies)
                             : std::span<const TableCopy>(kScanTableCopies),
                        table.get(), length)) {
    return false;
  }
  if (outLength != nullptr) *outLength = length;
  return true;
}

enum class PollResult { kSeen, kTimedOut, kReadFailed };

// Spins on the status register without sleeping, so the change is seen with
// the next read rather than after a sleep's granularity.
PollResult PollStatus(uint8_t mask, bool wantSet, uint32_t limitMs) {
  const uint32_t start = ElapsedMs();
  for (;;) {
    uint8_t status = 0;
    if (!ReadRegister(kStatus, &status)) return PollResult::kReadFailed;
    if (((status & mask) != 0) == wantSet) return PollResult::kSeen;
    if (ElapsedMs() - start >= limitMs) return PollResult::kTimedOut;
  }
}

}  // namespace

uint32_t StepPeriodTicks(double speed, double tickUs, uint32_t divider, int stepType) {
  return TruncToU32(1e6 / speed / tickUs / divider / stepType);
}

int BuildSlopeTable(const float* speeds, int count, float target, int stepType, double tickUs,
                    uint32_t divider, uint16_t* table) {
  int length = 0;
  for (int i = 0; i < count && speeds[i] < target; ++i) {
    const uint32_t period = StepPeriodTicks(speeds[i], tickUs, divider, stepType);
    table[length++] = static_cast<uint16_t>(std::min<uint32_t>(period, 0xFFFF));
  }
  // The target period is cut to 16 bits, not limited: callers keep targets
  // fast enough for it to fit.
  table[length++] = static_cast<uint16_t>(StepPeriodTicks(target, tickUs, divider, stepType));
  // Lengths are kept to multiples of four; the copies repeat the last period,
  // so the motor simply stays at that speed.
  while (length % 4 != 0) {
    table[length] = table[length - 1];
    ++length;
  }
  return std::min(length, kMaxSlopeTableEntries);
}

bool SetScanStepType(int stepType) {
  Engine().scanStepType = stepType;
  return WriteRegisterBits(kStepTypes, 0, 3, StepTypeCode(stepType));
}

bool SetFeedStepType(int stepType) {
  Engine().feedStepType = stepType;
  return WriteRegisterBits(kStepTypes, 3, 3, StepTypeCode(stepType));
}

bool SetSlopeFields(int a, int b, int c, int d) {
  const int fields[4] = {a, b, c, d};  // bits 6-7, 4-5, 2-3, 0-1
  uint32_t value = ShadowValue(kSlopeFields);
  for (int i = 0; i < 4; ++i) {
    if (fields[i] == -1) continue;
    const int shift = 6 - 2 * i;
    value = (value & ~(3u << shift)) | ((static_cast<uint32_t>(fields[i]) & 3u) << shift);
  }
  return WriteRegister(kSlopeFields, static_cast<uint8_t>(value));
}

bool SetStepMode(uint8_t divider) {
  Engine().timerDivider = divider;
  return WriteRegisterBits(kTimerDivider, 0, 3, DividerCode(divider));
}

bool SelectTimerDivider(float linePeriodMs, int stepType, float stepsPerLine) {
  EngineState& engine = Engine();
  engine.linePeriodTicks = TruncToU32(linePeriodMs * 1000.0 / engine.tickUs);
  const uint32_t q = TruncToU32(static_cast<double>(engine.linePeriodTicks) / stepsPerLine /
                                stepType * engine.lineSkipPlusOne);
  const auto d = static_cast<uint8_t>((q >> 16) + 1);
  // A line so long that d wraps to 0 has no divider the timer can run with;
  // every later step period would divide by it.
  if (d == 0) return false;
  return SetStepMode(static_cast<uint8_t>(DividerFor(d)));
}

bool UploadSlopeTableA(const float* speeds, int count, float target, int stepType, int field,
                       int* outLength) {
  return UploadSlopeTable(MotorTable::kFeed, speeds, count, target, stepType, field, outLength);
}

bool UploadSlopeTableB(const float* speeds, int count, float target, int stepType, int field,
                       int* outLength) {
  // The scan runs at the target speed for its whole length: a target the
  // list cannot reach would leave the motor without a ramp to it.
  if (count < 1 || speeds == nullptr || target > speeds[count - 1]) return false;
  return UploadSlopeTable(MotorTable::kScan, speeds, count, target, stepType, field, outLength);
}

bool LoadFeedTable(const uint16_t* table, int length) {
  return LoadTable(kFeedTableCopies, table, length);
}

bool LoadScanTable(const uint16_t* table, int length) {
  return LoadTable(kScanTableCopies, table, length);
}

bool SetFeedSteps(uint32_t steps) { return WriteRegister24(kStepCount, steps & kStepCountMask); }

bool SetPreFeed(int distance300) {
  const EngineState& engine = Engine();
  const int scanType = engine.scanStepType;
  const int feedType = engine.feedStepType;
  if (scanType <= 0 || feedType <= 0) return false;  // no ramp length can be derived
  if (!WriteRegister16(kScanStepValue, static_cast<uint16_t>(scanType))) return false;

  // Ramp lengths in steps of one, read back from what the tables loaded.
  const int64_t scanRamp = static_cast<uint16_t>(Shadow16(kScanTableLength) / scanType);
  const int64_t feedRamp = static_cast<uint16_t>(Shadow16(kFeedTableLength) / feedType);
  const int64_t extra = static_cast<uint16_t>(Shadow16(kScanStepValue) / scanType);

  // Room for a feed ramp up and down plus the scan ramp: feed fast, then
  // slow down into the scan. Otherwise creep the whole way at scan speed.
  int64_t n = distance300 - 2 * feedRamp - extra - scanRamp;
  int64_t steps = 0;
  if (n >= 1) {
    steps = feedType * n;
  } else {
    n = std::max<int64_t>(distance300 - scanRamp, 0);
    steps = scanType * n;
  }
  return SetFeedSteps(static_cast<uint32_t>(steps)) && SetMotorFlag3(false);
}

bool SetMotorPhase() {
  const EngineState& engine = Engine();
  const uint32_t planes = (ShadowValue(kPlaneCount) & 0x0Fu) + 1;
  const uint32_t period = planes * engine.linePeriodTicks;
  if (period == 0) return false;  // no line timing programmed yet
  const bool fromScanStepValue = (ShadowValue(kMotorControl) & 0x08) != 0;
  const uint32_t steps =
      fromScanStepValue ? Shadow16(kScanStepValue) : Shadow24(kStepCount) & kStepCountMask;
  // Where in the line period the motor stands once the ramp is done, for the
  // scan lines and for the steps, in wrapping u32 arithmetic.
  const uint32_t a =
      ((Shadow16(kScanLines) - 1) * engine.scanTableLast + engine.scanTableSum) % period;
  const uint32_t b = ((steps - 1) * engine.scanTableLast + engine.scanTableSum) % period;
  return SetMotorPhaseValues(a, b);
}

bool SetMotorPhaseValues(uint32_t a, uint32_t b) {
  return WriteRegister24(kPhaseA, a) && WriteRegister24(kPhaseB, b);
}

bool SetMotorDirection(bool forward) { return SetBit(kMotorControl, 2, !forward); }
bool SetMotorFlag3(bool on) { return SetBit(kMotorControl, 3, on); }
bool SetMotorEnable(bool on) { return SetBit(kMotorControl, 4, on); }
bool SetMotorHold(bool on) { return SetBit(kMotorPower, 5, on); }

bool SetLampState(int lamp, int on) {
  if (on != 1) return SetBit(kLampControl, 4, false);
  if ((lamp == 0 || lamp == 1) && !SetBit(kLampControl, 5, lamp == 1)) return false;
  // Always through 0, so the controller sees the bit rise even when the lamp
  // was already on.
  return SetBit(kLampControl, 4, false) && SetBit(kLampControl, 4, true);
}

bool ClearStatus14() { return WriteRegister(kEngineReset, 0xFF); }
bool ClearStatus15() { return WriteRegister(kEngineStart, 0xFF); }
bool SetScanEnable(bool on) { return SetBit(kScanControl, 0, on); }

bool ReadPaperSensor(uint32_t* present) {
  if (present == nullptr) return false;
  uint8_t status = 0;
  if (!ReadRegister(kStatus, &status)) return false;
  *present = (status & kStatusPaperPresent) != 0 ? 1 : 0;
  return true;
}

bool WaitMotorIdle() {
  return PollStatus(kStatusMotorRunning, false, kMotorIdleLimitMs) == PollResult::kSeen;
}

bool FeedUntilPaper() {
  const bool seen = PollStatus(kStatusPaperPresent, true, kPaperLimitMs) == PollResult::kSeen;
  // Stop the long move whatever happened: cut the run bit, leave a single
  // step to finish, and let the motor come to rest.
  SetMotorEnable(false);
  SetFeedSteps(1);
  WaitMotorIdle();
  return seen;
}

}  // namespace lf
