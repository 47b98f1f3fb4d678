// The front panel: which port pins each model's buttons pull, and the
// outputs that hang on the ports. The chip only shows pin levels; deciding
// which button a level means is the host's business.
#include <span>

#include "sim/chip.h"

namespace lf::sim::chip {

namespace {

constexpr uint16_t kPortB = kPortData + 1;
constexpr uint8_t kBeeperBit = 0x02;                 // port B bit 1
constexpr uint8_t kLightPipeBit = 0x80;              // port B bit 7
constexpr uint8_t kIndicatorBits[2] = {0x02, 0x04};  // port A bits 1 and 2

// A button closes a switch between one port pin and a supply rail:
// active-low buttons pull a line that a pull-up holds high, active-high ones
// a line that a pull-down holds low.
struct ButtonLine {
  int number;
  int port;  // 0: 0x31, 1: 0x32, 2: 0x33
  uint8_t mask;
  bool activeHigh;
};

// The KD21x models and the card scanner share one panel board: three
// buttons on port A.
constexpr ButtonLine kSheetButtons[] = {
    {3, 0, 0x01, false}, {2, 0, 0x02, false}, {1, 0, 0x04, false}};
constexpr ButtonLine kDuplexButtons[] = {{3, 0, 0x01, false}, {1, 2, 0x04, false}};
constexpr ButtonLine kLumaframeButtons[] = {
    {4, 2, 0x08, true}, {2, 2, 0x01, true}, {3, 1, 0x40, true}, {1, 1, 0x02, true}};

std::span<const ButtonLine> ButtonsOf(Model model) {
  switch (model) {
    case Model::kLumaframe:
      return kLumaframeButtons;
    case Model::kKD409P:
      return kDuplexButtons;
    case Model::kKD21x:
    case Model::kCard:
      break;
  }
  return kSheetButtons;
}

bool Driven(const uint8_t* registers, uint16_t dataRegister, uint8_t mask) {
  const uint16_t direction = dataRegister + (kPortDirection - kPortData);
  return (registers[direction] & mask) != 0 && (registers[dataRegister] & mask) != 0;
}

}  // namespace

bool IsPortData(uint16_t reg) { return reg >= kPortData && reg < kPortData + kPortCount; }

Panel::Panel(Model model) : model_(model) {}

bool Panel::Press(int number) {
  for (const ButtonLine& line : ButtonsOf(model_)) {
    if (line.number == number) {
      pressed_ |= 1u << number;
      return true;
    }
  }
  return false;
}

void Panel::ReleaseAll() { pressed_ = 0; }

uint8_t Panel::Lines(int port) const {
  uint8_t level = 0xFF;  // unconnected pins sit on the chip's pull-ups
  for (const ButtonLine& line : ButtonsOf(model_)) {
    if (line.port != port) continue;
    const bool held = (pressed_ >> line.number) & 1u;
    const bool high = line.activeHigh == held;
    level = static_cast<uint8_t>(high ? level | line.mask : level & ~line.mask);
  }
  return level;
}

uint8_t Panel::PortValue(const uint8_t* registers, uint16_t dataRegister) const {
  const uint8_t outputs = registers[dataRegister + (kPortDirection - kPortData)];
  const uint8_t lines = Lines(dataRegister - kPortData);
  return static_cast<uint8_t>((registers[dataRegister] & outputs) | (lines & ~outputs));
}

// Every model has the beeper on port B bit 1; it sounds while the pin is an
// output driven high. The Lumaframe's button 1 shares that pin, so it beeps
// only while the host has turned the pin into an output.
void Panel::Follow(const uint8_t* registers, uint64_t nowUs) {
  const bool on = Driven(registers, kPortB, kBeeperBit);
  if (on == beeping_) return;
  beeping_ = on;
  if (on) {
    beepStartUs_ = nowUs;
    ++beeps_;
  } else {
    beeperOnUs_ += nowUs - beepStartUs_;
  }
}

uint64_t Panel::BeeperOnUs(uint64_t nowUs) const {
  return beeperOnUs_ + (beeping_ ? nowUs - beepStartUs_ : 0);
}

// Only the two-sided model has indicators and a light pipe fitted; on the
// others those pins are button lines, the infrared source or unused.
bool Panel::IndicatorLit(const uint8_t* registers, int which) const {
  if (model_ != Model::kKD409P || which < 0 || which > 1) return false;
  return Driven(registers, kPortData, kIndicatorBits[which]);
}

bool Panel::LightPipeOn(const uint8_t* registers) const {
  return model_ == Model::kKD409P && Driven(registers, kPortB, kLightPipeBit);
}

}  // namespace lf::sim::chip
