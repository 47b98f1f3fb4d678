// The virtual scanner's test interface to its paper path, motor, image
// engine and sensor. Every query is taken at the clock's present time.
#include <cmath>

#include "sim/chip.h"
#include "sim/sim.h"

namespace lf::sim {

bool VirtualScanner::SetSheet(const char* spec) {
  if (!machine_->sheet().Parse(spec)) return false;
  machine_->RefillFeeder(NowTicks(), sheetCount_);
  return true;
}

bool VirtualScanner::SetSheetImage(SheetImage image) {
  if (!machine_->sheet().SetImage(std::move(image))) return false;
  machine_->RefillFeeder(NowTicks(), sheetCount_);
  return true;
}

void VirtualScanner::SetSheetCount(uint32_t count) {
  sheetCount_ = count;
  machine_->RefillFeeder(NowTicks(), count);
}

bool VirtualScanner::SheetInPath() const { return machine_->SheetAt(NowTicks()).inPath; }

double VirtualScanner::SheetLeadingEdge() const {
  const chip::SheetState state = machine_->SheetAt(NowTicks());
  return state.inPath ? double(state.lead) / chip::kDotsPerInch : 0.0;
}

double VirtualScanner::SheetLength() const {
  return double(machine_->sheet().LengthDots()) / chip::kDotsPerInch;
}

uint32_t VirtualScanner::SheetsInFeeder() const { return machine_->SheetAt(NowTicks()).feeder; }

uint32_t VirtualScanner::SheetsEjected() const { return machine_->SheetAt(NowTicks()).ejected; }

bool VirtualScanner::PaperAtSensor() const {
  return chip::CoversSensor(machine_->SheetAt(NowTicks()), machine_->sheet().LengthDots());
}

uint8_t VirtualScanner::SheetSample(int channel, double xInches, double yInches) const {
  if (channel < 0 || channel > 2) return 0;
  return machine_->sheet().Sample(channel,
                                  std::llround(std::floor(xInches * chip::kElementsPerInch)),
                                  std::llround(std::floor(yInches * chip::kDotsPerInch)));
}

bool VirtualScanner::MotorRunning() const {
  return machine_->MotorRunning(NowTicks(), CurrentFaults());
}

bool VirtualScanner::ScanActive() const { return machine_->StreamActive(); }

uint64_t VirtualScanner::SensorLinesProduced() const {
  return machine_->SensorLinesAt(NowTicks(), CurrentFaults());
}

uint32_t VirtualScanner::PixelsPerLine() const { return machine_->job().pixels; }

uint32_t VirtualScanner::LineBytes() const { return machine_->job().lineBytes; }

double VirtualScanner::SensorDark(int channel, int element) const {
  return machine_->sensor().Dark(channel, element);
}

double VirtualScanner::SensorResponse(int channel, int element) const {
  return machine_->sensor().Response(channel, element);
}

double VirtualScanner::LineLight(int channel) const {
  const bool oneChannel = (registers_[0x0C] & 0x0F) == 0;
  return chip::LightOf(model_, registers_, channel < 0 || channel > 2 ? 0 : channel, oneChannel)
      .amount;
}

uint16_t VirtualScanner::PredictRaw16(int channel, int element, double reflectance, double light,
                                      uint16_t afeGain, uint16_t afeOffset) const {
  const bool onSensor = element >= 0 && element < kSensorElements;
  const chip::Transfer transfer = chip::ChannelTransfer(
      SensorDark(channel, element), onSensor ? SensorResponse(channel, element) : 0.0, light,
      afeGain, afeOffset);
  return chip::Raw16(transfer, static_cast<float>(reflectance));
}

uint16_t VirtualScanner::PredictRaw16(int channel, int element, double reflectance) const {
  const int ch = channel < 0 || channel > 2 ? 0 : channel;
  return PredictRaw16(ch, element, reflectance, LineLight(ch), afe_[0x28 + ch], afe_[0x20 + ch]);
}

uint8_t VirtualScanner::PredictRaw8(int channel, int element, double reflectance) const {
  return static_cast<uint8_t>(PredictRaw16(channel, element, reflectance) >> 8);
}

}  // namespace lf::sim
