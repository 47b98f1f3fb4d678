// The contact image sensor and the analog front end: per-element dark level
// and response patterns (seeded, the same every run), the light each plane
// gets from the lamp and the infrared source, and the transfer function from
// light and reflectance to the converter's 16-bit sample.
#include <algorithm>
#include <cmath>

#include "sim/chip.h"

namespace lf::sim::chip {

namespace {

constexpr int kElements = VirtualScanner::kSensorElements;

// Strength of the three lamp colours per unit of on-time; the third one is
// the weakest, which is why the library gives it the shortest exposures.
constexpr double kLampStrength[3] = {1.0, 1.0, 1.5};
constexpr double kInfraredStrength = 0.9;
// Light at which the sensor gives half its full swing: the response
// saturates so that the models' very different exposures all land in range.
constexpr double kSaturation = 0.1;
// Full swing of the sensor in 8-bit converter units at front-end gain 200.
constexpr double kFullSwing = 232.0;
constexpr double kUnityGain = 200.0;
constexpr double kOffsetCentre = 64.0;
constexpr double kOffsetStep = 0.1;  // 8-bit units per offset count

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A random value in [-1, 1] for knot k of a pattern.
double Knot(uint64_t seed, int64_t k) {
  const uint64_t bits = Mix(seed * 0x100000001B3ull + static_cast<uint64_t>(k));
  return static_cast<double>(bits >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

// Smooth random variation along the line: random knots every `spacing`
// elements joined by smoothstep curves.
double SmoothNoise(uint64_t seed, int element, int spacing) {
  const int64_t k = element / spacing;
  const double t = static_cast<double>(element % spacing) / spacing;
  const double s = t * t * (3.0 - 2.0 * t);
  return Knot(seed, k) * (1.0 - s) + Knot(seed, k + 1) * s;
}

// The lamp's light falls off over the last half inch at each end.
double EdgeLoss(int element) {
  const int fromEdge = std::min(element, kElements - 1 - element);
  const double t = std::min(1.0, fromEdge / 600.0);
  return 0.12 * (1.0 - t * t * (3.0 - 2.0 * t));
}

bool HasInfraredSource(Model model) { return model == Model::kKD21x || model == Model::kCard; }

uint32_t Reg24(const uint8_t* registers, uint16_t reg) {
  return static_cast<uint32_t>(registers[reg]) << 16 | registers[reg + 1] << 8 | registers[reg + 2];
}

}  // namespace

Sensor::Sensor(Model model) {
  for (int c = 0; c < 3; ++c) {
    const uint64_t seed = 0x51A7u + 16u * static_cast<uint64_t>(model) + static_cast<uint64_t>(c);
    dark_[c].resize(kElements);
    response_[c].resize(kElements);
    for (int e = 0; e < kElements; ++e) {
      dark_[c][e] = static_cast<float>(10.0 + 3.0 * SmoothNoise(seed, e, 256) +
                                       1.0 * SmoothNoise(seed + 4, e, 32));
      response_[c][e] = static_cast<float>(1.0 + 0.05 * SmoothNoise(seed + 8, e, 512) +
                                           0.02 * SmoothNoise(seed + 12, e, 48) - EdgeLoss(e));
    }
  }
}

float Sensor::Dark(int channel, int element) const {
  return dark_[std::clamp(channel, 0, 2)][std::clamp(element, 0, kElements - 1)];
}

float Sensor::Response(int channel, int element) const {
  return response_[std::clamp(channel, 0, 2)][std::clamp(element, 0, kElements - 1)];
}

Transfer ChannelTransfer(double dark, double response, double light, uint16_t afeGain,
                         uint16_t afeOffset) {
  const double gain = (afeGain & 0xFF) / kUnityGain;
  const double offset = ((afeOffset & 0xFF) - kOffsetCentre) * kOffsetStep;
  const double swing = light > 0 ? light / (light + kSaturation) : 0.0;
  Transfer transfer;
  transfer.mul = static_cast<float>(gain * kFullSwing * swing * response * 256.0);
  transfer.add = static_cast<float>((gain * dark + offset) * 256.0);
  return transfer;
}

uint16_t Raw16(const Transfer& transfer, float reflectance) {
  const float value = transfer.add + transfer.mul * reflectance + 0.5f;
  if (!(value > 0.0f)) return 0;
  if (value >= 65535.0f) return 65535;
  return static_cast<uint16_t>(value);
}

PlaneLight LightOf(Model model, const uint8_t* registers, int channel, bool oneChannel) {
  static const uint16_t kExposure[3] = {0x8A, 0x8D, 0x90};
  const bool lamp = (registers[0x03] & 0x10) != 0;
  const bool infrared =
      HasInfraredSource(model) && (registers[0x35] & 0x80) != 0 && (registers[0x32] & 0x80) != 0;
  const uint32_t period = Reg24(registers, 0x7D);
  double onTime[3] = {};
  for (int s = 0; s < 3; ++s) {
    onTime[s] = period == 0 ? 0.0 : std::min(1.0, Reg24(registers, kExposure[s]) / double(period));
  }
  double share[3] = {};
  if (oneChannel) {
    for (int s = 0; s < 3; ++s) share[s] = lamp ? kLampStrength[s] * onTime[s] : 0.0;
    const double total = std::min(1.0, onTime[0] + onTime[1] + onTime[2]);
    if (infrared) share[0] += kInfraredStrength * total;
  } else {
    if (lamp) share[channel] += kLampStrength[channel] * onTime[channel];
    if (infrared) share[0] += kInfraredStrength * onTime[channel];
  }
  PlaneLight light;
  light.amount = share[0] + share[1] + share[2];
  for (int s = 0; s < 3; ++s) {
    light.weight[s] = light.amount > 0 ? static_cast<float>(share[s] / light.amount)
                                       : (s == channel ? 1.0f : 0.0f);
  }
  return light;
}

}  // namespace lf::sim::chip
