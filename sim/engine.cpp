// The controller's engine: what the start strobe starts (a paper move or a
// scan), the status it reports at any tick, and the image stream that the
// image port delivers. Lines are rendered only when read, each from the
// sheet position at the middle of its exposure.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/chip.h"

namespace lf::sim::chip {

namespace {

constexpr uint32_t kScanTableAddress = 0x10000000;
constexpr uint32_t kFeedTableAddress = 0x1000C000;
constexpr uint32_t kGammaAddress = 0x01000000;
constexpr uint32_t kGammaStride = 0x200;
constexpr uint32_t kShadingBankBytes = 0x2000;
constexpr uint32_t kMaxPixels = 1u << 16;  // bounds the per-scan arrays
constexpr int kElements = VirtualScanner::kSensorElements;

// Word position of shading entry m: four filler words lead the table, and
// with block gaps the last four words of every 512-byte block are filler.
uint32_t ShadingWord(uint32_t entry, bool gaps) {
  if (!gaps) return 4 + 2 * entry;
  constexpr uint32_t kFirstBlock = 124;  // (256 - 4 - 4) / 2
  constexpr uint32_t kPerBlock = 126;    // (256 - 4) / 2
  if (entry < kFirstBlock) return 4 + 2 * entry;
  const uint32_t rest = entry - kFirstBlock;
  return 256 * (1 + rest / kPerBlock) + 2 * (rest % kPerBlock);
}

uint16_t LoadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

}  // namespace

Machine::Machine(Model model, const uint8_t* registers, const uint16_t* afe,
                 const ControllerMemory* memory)
    : model_(model),
      registers_(registers),
      afe_(afe),
      memory_(memory),
      path_(PathDotsOf(model)),
      sensor_(model) {
  RefillFeeder(0, 1);
}

uint32_t Machine::Reg16(uint16_t reg) const { return uint32_t{Reg(reg)} << 8 | Reg(reg + 1); }

uint32_t Machine::Reg24(uint16_t reg) const {
  return uint32_t{Reg(reg)} << 16 | uint32_t{Reg(reg + 1)} << 8 | Reg(reg + 2);
}

// ---------------------------------------------------------------------------
// Paper
// ---------------------------------------------------------------------------

SheetState Machine::SheetAt(uint64_t tick) const {
  if (motion_.count == 0 || !motion_.movesSheet) return base_;
  const uint64_t travel = motion_.DotsAt(tick);
  const uint64_t fresh = travel > baseTravel_ ? travel - baseTravel_ : 0;
  return Advance(base_, path_, sheet_.LengthDots(), motion_.forward, fresh);
}

bool Machine::PaperCovered(const SheetState& state) const {
  return CoversSensor(state, sheet_.LengthDots());
}

void Machine::RefillFeeder(uint64_t now, uint32_t count) {
  base_ = SheetState{};
  if (count > 0 && sheet_.kind() != Sheet::Kind::kNone) {
    base_.inPath = true;
    base_.lead = path_.rest;
    base_.feeder = count - 1;
  }
  baseTravel_ = motion_.count == 0 ? 0 : motion_.DotsAt(now);
}

// Folds the current motion into the paper state: the motor's operation ends
// here and the next one starts from where the sheets are now.
void Machine::Settle(uint64_t now) {
  base_ = SheetAt(now);
  motion_ = Motion{};
  baseTravel_ = 0;
}

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

void Machine::Start(uint64_t now, const Faults& faults) {
  Settle(now);
  job_.active = false;
  if (Reg(0x01) & 0x01) {
    StartScan(now, faults);
  } else {
    StartPaperMove(now, faults);
  }
}

void Machine::Reset(uint64_t now) {
  Settle(now);
  job_.active = false;
}

void Machine::MotorEnableCleared(uint64_t now) {
  if (motion_.count > 0 && !motion_.stuck) motion_.stop = std::min(motion_.stop, now);
}

void Machine::ScanEnableCleared(uint64_t now) {
  if (!job_.active) return;
  job_.active = false;
  MotorEnableCleared(now);
}

void Machine::StartPaperMove(uint64_t now, const Faults& faults) {
  const uint32_t steps = Reg24(0x3D) & 0xFFFFF;
  if ((Reg(0x02) & 0x10) == 0 || steps == 0) return;
  feedTable_.Load(*memory_, kFeedTableAddress, Reg16(0xAE), DividerOf(Reg(0x1C) & 0x07));
  motion_.start = now;
  motion_.forward = (Reg(0x02) & 0x04) == 0;
  motion_.movesSheet = !faults.jam;
  motion_.stuck = faults.stuck;
  Phase move;
  move.table = &feedTable_;
  move.steps = steps;
  move.rampDown = true;
  move.dotsPerStep = 8 / StepTypeOf((Reg(0xA0) >> 3) & 0x07);
  motion_.Append(move);
}

void Machine::StartScan(uint64_t now, const Faults& faults) {
  const uint64_t divider = DividerOf(Reg(0x1C) & 0x07);
  const bool motorEnable = (Reg(0x02) & 0x10) != 0;
  job_.active = true;
  job_.page = !motorEnable && (Reg(0x0A) & 0x20) != 0;
  job_.neverReady = faults.neverReady;
  job_.planes = std::min<uint32_t>(3, (Reg(0x0C) & 0x0F) + 1u);
  job_.period = uint64_t{Reg24(0x7D)} * divider;
  job_.total = job_.period == 0 ? 0 : Reg24(0x25);
  job_.bytesRead = 0;
  job_.renderedLine = -1;
  job_.pageEndTick = kForever;
  job_.pageEndLines = 0;
  job_.trailing = 0;
  if (motorEnable || job_.page) {
    PlanScanMotion(now, motorEnable, divider);
    motion_.movesSheet = !faults.jam;
    motion_.stuck = faults.stuck;
  } else {
    job_.linesStart = now;
  }
  ConfigureFormat();
  ConfigurePixels();
  ConfigureLight();
  ConfigureShading();
  ConfigureGamma();
  if (job_.page) PlanPageEnd();
  // The motor stops with the last line.
  const uint64_t lastLine = SaturatingAdd(job_.linesStart, job_.total * job_.period);
  if (motion_.count > 0 && !motion_.stuck) motion_.stop = lastLine;
}

// Pre-feed (when preFeed and a step count is set): up the feed table, the
// step count at its last entry, down again, then 0xA2 settling steps at the
// scan table's first entry. Then up the scan table, and lines start once the
// motor runs at the scan table's last entry.
void Machine::PlanScanMotion(uint64_t now, bool preFeed, uint64_t divider) {
  scanTable_.Load(*memory_, kScanTableAddress, Reg16(0xA4), divider);
  feedTable_.Load(*memory_, kFeedTableAddress, Reg16(0xAE), divider);
  const uint32_t scanDots = 8 / StepTypeOf(Reg(0xA0) & 0x07);
  const uint32_t feedDots = 8 / StepTypeOf((Reg(0xA0) >> 3) & 0x07);
  motion_.start = now;
  motion_.forward = (Reg(0x02) & 0x04) == 0;
  const uint32_t preSteps = Reg24(0x3D) & 0xFFFFF;
  if (preFeed && preSteps > 0) {
    Phase feed;
    feed.table = &feedTable_;
    feed.steps = preSteps + 2ull * feedTable_.length();
    feed.rampDown = true;
    feed.dotsPerStep = feedDots;
    motion_.Append(feed);
    Phase settle;
    settle.steadyPeriod = scanTable_.Period(0);
    settle.steps = Reg16(0xA2);
    settle.dotsPerStep = scanDots;
    if (settle.steps > 0) motion_.Append(settle);
  }
  Phase ramp;
  ramp.table = &scanTable_;
  ramp.steps = scanTable_.length();
  ramp.dotsPerStep = scanDots;
  motion_.Append(ramp);
  Phase steady;
  steady.steadyPeriod = scanTable_.Period(scanTable_.length() - 1);
  steady.steps = kForever;
  steady.dotsPerStep = scanDots;
  motion_.Append(steady);
  job_.linesStart = motion_.phases[motion_.count - 1].start;
}

// A page programme ends its page when the trailing edge of the sheet in the
// path passes the scan line, and stops producing 0x43:0x44 lines later.
void Machine::PlanPageEnd() {
  job_.trailing = Reg16(0x43);
  if (!base_.inPath || motion_.count == 0 || !motion_.movesSheet || motion_.stuck ||
      !motion_.forward) {
    return;
  }
  const int64_t need = path_.scanLine + sheet_.LengthDots() - base_.lead;
  const uint64_t tick =
      need <= 0 ? motion_.start : motion_.TickWhenDots(static_cast<uint64_t>(need));
  if (tick == kForever) return;
  job_.pageEndTick = tick;
  job_.pageEndLines =
      tick <= job_.linesStart ? 0 : std::min(job_.total, (tick - job_.linesStart) / job_.period);
  job_.total = std::min(job_.total, job_.pageEndLines + job_.trailing);
}

// ---------------------------------------------------------------------------
// Scan configuration, latched at the start strobe
// ---------------------------------------------------------------------------

void Machine::ConfigureFormat() {
  const uint8_t field = Reg(0x04) >> 4;
  job_.lineArt = (field & 0x08) != 0;
  job_.sixteen = !job_.lineArt && (field & 0x04) != 0;
  const int select = field & 0x03;
  for (uint32_t p = 0; p < 3; ++p) {
    job_.channel[p] = job_.planes == 1 ? std::max(0, select - 1) : static_cast<int>(p);
  }
  job_.threshold = static_cast<uint8_t>((Reg(0x114) + Reg(0x115)) / 2);
}

// The models wire the sensor's resolution pins differently; the sensor then
// bins that many elements into one and the window counts binned elements.
uint32_t Machine::SensorReduction() const {
  switch (model_) {
    case Model::kLumaframe:
      if (Reg(0x4F) & 0x08) return 4;
      return (Reg(0x33) & 0x02) ? 2 : 1;
    case Model::kKD21x:
      return (Reg(0x33) & 0x02) ? 1 : 2;
    case Model::kKD409P:
      return (Reg(0x33) & 0x08) ? 1 : 2;
    case Model::kCard:
      return 1;
  }
  return 1;
}

void Machine::ConfigurePixels() {
  const uint32_t reduction = SensorReduction();
  const uint32_t dpiSet = Reg16(0x2C);
  const double resolution = dpiSet == 0 ? 1200.0 : double(dpiSet) / reduction;
  const long whole = std::lround(resolution);
  const double pitch = whole == 67 ? 18.0 : whole == 133 ? 9.0 : 1200.0 / resolution;
  const uint32_t first = Reg24(0x82);
  const uint32_t last = Reg24(0x85);
  const uint32_t span = last > first ? last - first : 0;
  const double count = std::round(double(span) * reduction / pitch);
  job_.pixels = static_cast<uint32_t>(std::min<double>(count, kMaxPixels));
  job_.pitch = pitch;
  const uint32_t bits = job_.lineArt ? 1 : job_.sixteen ? 16 : 8;
  job_.planeBytes = job_.pixels * bits / 8;
  job_.lineBytes = job_.planeBytes * job_.planes;

  const int64_t firstElement = (int64_t{first} - int64_t{Reg16(0x80)}) * reduction;
  job_.element.resize(job_.pixels);
  job_.column.resize(job_.pixels);
  for (uint32_t i = 0; i < job_.pixels; ++i) {
    const int64_t element = firstElement + static_cast<int64_t>(std::floor(i * pitch));
    job_.element[i] =
        static_cast<int32_t>(std::clamp<int64_t>(element, INT32_MIN / 2, INT32_MAX / 2));
    job_.column[i] = job_.element[i] - static_cast<int32_t>(path_.leftEdgeElement);
  }
  for (int c = 0; c < 3; ++c) job_.reflectance[c].resize(job_.pixels);
  job_.samples.resize(job_.pixels);
  job_.line.resize(job_.lineBytes);
}

void Machine::ConfigureLight() {
  for (uint32_t p = 0; p < job_.planes; ++p) {
    const int ch = job_.channel[p];
    job_.light[p] = LightOf(model_, registers_, ch, job_.planes == 1);
    const uint16_t gain = afe_[0x28 + ch];
    const uint16_t offset = afe_[0x20 + ch];
    job_.add[p].resize(job_.pixels);
    job_.mul[p].resize(job_.pixels);
    for (uint32_t i = 0; i < job_.pixels; ++i) {
      const int element = job_.element[i];
      const bool onSensor = element >= 0 && element < kElements;
      const Transfer t =
          ChannelTransfer(sensor_.Dark(ch, element), onSensor ? sensor_.Response(ch, element) : 0.0,
                          job_.light[p].amount, gain, offset);
      job_.add[p][i] = t.add;
      job_.mul[p][i] = t.mul;
    }
  }
}

// Shading entry m belongs to element m x pitch from the pixel base, so a
// table measured from the base serves any window that starts later.
void Machine::ConfigureShading() {
  job_.shading = (Reg(0x01) & 0x20) != 0;
  job_.shadingScale = (Reg(0x06) & 0x08) ? 16384 : 65536;
  if (!job_.shading) return;
  const bool gaps = ((Reg(0x06) >> 5) & 0x07) != 2;
  const double pitch = std::max(1.0, job_.pitch);
  for (uint32_t p = 0; p < job_.planes; ++p) {
    const uint32_t table =
        kScanTableAddress + Reg(static_cast<uint16_t>(0xD0 + job_.channel[p])) * kShadingBankBytes;
    job_.shadeDark[p].resize(job_.pixels);
    job_.shadeGain[p].resize(job_.pixels);
    for (uint32_t i = 0; i < job_.pixels; ++i) {
      const double position = std::max(0, job_.element[i]);
      const uint32_t entry = static_cast<uint32_t>(std::floor(position / pitch));
      uint8_t bytes[4];
      memory_->Read(table + 2 * ShadingWord(entry, gaps), bytes, 4);
      job_.shadeDark[p][i] = LoadLe16(bytes);
      job_.shadeGain[p][i] = LoadLe16(bytes + 2);
    }
  }
}

void Machine::ConfigureGamma() {
  job_.gamma = (Reg(0x05) & 0x08) != 0;
  if (!job_.gamma) return;
  for (uint32_t c = 0; c < 3; ++c) {
    uint8_t bytes[512];
    memory_->Read(kGammaAddress + c * kGammaStride, bytes, sizeof(bytes));
    for (int i = 0; i < 256; ++i) job_.gammaTable[c][i] = LoadLe16(bytes + 2 * i);
  }
}

// ---------------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------------

bool Machine::MotorRunning(uint64_t now, const Faults& faults) const {
  if (motion_.stuck) return motion_.count > 0 && faults.stuck;
  return motion_.RunningAt(now);
}

uint64_t Machine::SensorLinesAt(uint64_t tick, const Faults& faults) const {
  if (!job_.active || job_.neverReady || faults.neverReady || tick < job_.linesStart) return 0;
  if (job_.period == 0) return 0;
  return std::min(job_.total, (tick - job_.linesStart) / job_.period);
}

uint32_t Machine::DataCounter(uint64_t now, const Faults& faults) const {
  if (!job_.active) return 0;
  const uint64_t produced = SensorLinesAt(now, faults) / job_.planes * job_.lineBytes;
  const uint64_t waiting = produced > job_.bytesRead ? produced - job_.bytesRead : 0;
  return static_cast<uint32_t>(std::min<uint64_t>(waiting, UINT32_MAX));
}

uint8_t Machine::Status(uint64_t now, const Faults& faults) const {
  uint8_t status = 0;
  if (MotorRunning(now, faults)) status |= 0x01;
  const bool paper = PaperCovered(SheetAt(now));
  // The Lumaframe's sensor pulls the line high on paper, the others low.
  if (paper == (model_ == Model::kLumaframe)) status |= 0x08;
  if (job_.active && job_.lineBytes > 0 && DataCounter(now, faults) >= job_.lineBytes) {
    status |= 0x10;
  }
  const bool neverReady = job_.neverReady || faults.neverReady;
  if (job_.active && (neverReady || SensorLinesAt(now, faults) < job_.total)) status |= 0x40;
  return status;
}

uint8_t Machine::PagesEnded(uint64_t now) const {
  return job_.page && now >= job_.pageEndTick ? 1 : 0;
}

uint32_t Machine::PageCounter() const {
  const uint64_t lines = job_.pageEndLines > job_.trailing ? job_.pageEndLines - job_.trailing : 0;
  return static_cast<uint32_t>(lines);
}

// ---------------------------------------------------------------------------
// Image stream
// ---------------------------------------------------------------------------

uint64_t Machine::TickWhenStreamHas(uint64_t bytes, const Faults& faults) const {
  if (bytes == 0) return 0;
  if (!job_.active || job_.lineBytes == 0 || job_.period == 0) return kForever;
  if (job_.neverReady || faults.neverReady) return kForever;
  const uint64_t lines = (bytes + job_.lineBytes - 1) / job_.lineBytes;
  const uint64_t sensorLines = lines * job_.planes;
  if (sensorLines > job_.total) return kForever;
  return SaturatingAdd(job_.linesStart, sensorLines * job_.period);
}

void Machine::ReadStream(uint8_t* dest, uint32_t size) {
  while (size > 0 && job_.lineBytes > 0) {
    const uint64_t line = job_.bytesRead / job_.lineBytes;
    const uint32_t offset = static_cast<uint32_t>(job_.bytesRead % job_.lineBytes);
    if (static_cast<int64_t>(line) != job_.renderedLine) RenderLine(line);
    const uint32_t chunk = std::min(size, job_.lineBytes - offset);
    std::memcpy(dest, job_.line.data() + offset, chunk);
    dest += chunk;
    size -= chunk;
    job_.bytesRead += chunk;
  }
}

void Machine::RenderLine(uint64_t line) {
  for (uint32_t p = 0; p < job_.planes; ++p) RenderPlane(line, p);
  job_.renderedLine = static_cast<int64_t>(line);
}

void Machine::RenderPlane(uint64_t line, uint32_t plane) {
  const uint64_t sensorLine = line * job_.planes + plane;
  const uint64_t tick = job_.linesStart + sensorLine * job_.period + job_.period / 2;
  float* mixed = job_.reflectance[0].data();
  FillPlaneReflectance(tick, plane, mixed);
  const float* add = job_.add[plane].data();
  const float* mul = job_.mul[plane].data();
  uint16_t* samples = job_.samples.data();
  for (uint32_t i = 0; i < job_.pixels; ++i) samples[i] = Raw16(Transfer{add[i], mul[i]}, mixed[i]);
  CorrectSamples(plane);
  PackPlane(job_.line.data() + plane * job_.planeBytes);
}

// The strip of the sheet under the scan line at that tick, mixed by the
// share each sheet channel has in the plane's light.
void Machine::FillPlaneReflectance(uint64_t tick, uint32_t plane, float* mixed) {
  const SheetState state = SheetAt(tick);
  const int64_t row = state.inPath ? state.lead - path_.scanLine : -1;
  const float* w = job_.light[plane].weight;
  // A plane lit by one sheet channel is that channel's row as it is.
  for (int c = 0; c < 3; ++c) {
    if (w[c] == 1.0f) {
      float* const single[3] = {c == 0 ? mixed : nullptr, c == 1 ? mixed : nullptr,
                                c == 2 ? mixed : nullptr};
      sheet_.FillRow(row, job_.column.data(), job_.pixels, single);
      return;
    }
  }
  float* const rows[3] = {job_.reflectance[0].data(), job_.reflectance[1].data(),
                          job_.reflectance[2].data()};
  sheet_.FillRow(row, job_.column.data(), job_.pixels, rows);
  for (uint32_t i = 0; i < job_.pixels; ++i) {
    mixed[i] = w[0] * rows[0][i] + w[1] * rows[1][i] + w[2] * rows[2][i];
  }
}

// Shading: (raw - dark) x gain / scale, clamped; then gamma through the
// channel's table, interpolating between entries on the low byte.
void Machine::CorrectSamples(uint32_t plane) {
  uint16_t* samples = job_.samples.data();
  if (job_.shading) {
    const uint16_t* dark = job_.shadeDark[plane].data();
    const uint16_t* gain = job_.shadeGain[plane].data();
    for (uint32_t i = 0; i < job_.pixels; ++i) {
      const uint64_t above = samples[i] > dark[i] ? samples[i] - dark[i] : 0;
      samples[i] =
          static_cast<uint16_t>(std::min<uint64_t>(65535, above * gain[i] / job_.shadingScale));
    }
  }
  if (job_.gamma) {
    const uint16_t* table = job_.gammaTable[job_.channel[plane]];
    for (uint32_t i = 0; i < job_.pixels; ++i) {
      const uint32_t index = samples[i] >> 8;
      const int32_t low = table[index];
      const int32_t high = index < 255 ? table[index + 1] : low;
      const int32_t value = low + (high - low) * static_cast<int32_t>(samples[i] & 0xFF) / 256;
      samples[i] = static_cast<uint16_t>(std::clamp(value, 0, 65535));
    }
  }
}

// 8-bit: the high byte. 16-bit: low byte first. Line art: first pixel in
// the most significant bit, 1 when the 8-bit value is above the threshold.
void Machine::PackPlane(uint8_t* out) const {
  const uint16_t* samples = job_.samples.data();
  if (job_.lineArt) {
    std::memset(out, 0, job_.planeBytes);
    for (uint32_t i = 0; i < job_.planeBytes * 8; ++i) {
      if ((samples[i] >> 8) > job_.threshold) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
  } else if (job_.sixteen) {
    for (uint32_t i = 0; i < job_.pixels; ++i) {
      out[2 * i] = static_cast<uint8_t>(samples[i]);
      out[2 * i + 1] = static_cast<uint8_t>(samples[i] >> 8);
    }
  } else {
    for (uint32_t i = 0; i < job_.pixels; ++i) out[i] = static_cast<uint8_t>(samples[i] >> 8);
  }
}

}  // namespace lf::sim::chip
