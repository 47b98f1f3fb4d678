#include "models/model_settings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace lf {

namespace {

// Timing values and front-end settings for one lighting (colour, true gray or
// infrared). The front end runs all three channels at the same offset and gain.
struct LightingGroup {
  std::array<float, ModelSettings::kTimingCount> timing;  // line time, red, green, blue (ms)
  uint8_t offset;
  uint8_t gain;
};

constexpr char kProfileName600[] = "Shadding 600";
constexpr char kProfileName300[] = "Shadding 300";
// Both names fill the same number of bytes, terminator included, so one copy
// length serves every profile.
constexpr size_t kProfileNameCopyBytes = sizeof(kProfileName600);
static_assert(sizeof(kProfileName300) == kProfileNameCopyBytes);

constexpr int32_t kDpiPerResolutionFactor = 100;

// Where the calibration scan lies and how long it runs, at the profile's resolution.
struct ScanGeometry {
  int32_t resolution;
  int32_t lineStartOffset;
  int32_t activePixels;
  int32_t pixelsPerLine;
  int32_t calibrationLines;
  int32_t skipLines;
  int32_t fieldP;
  int32_t fieldQ;
};

}  // namespace

struct SettingsProfile {
  ScanGeometry geometry;
  const char* name;
  LightingGroup colour;
  LightingGroup gray;
  // Only the models with an infrared lamp calibrate it; the others leave the
  // group as it was.
  std::optional<LightingGroup> infrared;
};

namespace {

constexpr SettingsProfile kBusinessCard600 = {{600, 70, 0, 1536, 384, 80, 8, 13},
                                              kProfileName600,
                                              {{2.1f, 0.905f, 0.745f, 0.502f}, 80, 196},
                                              {{2.0f, 0.905f, 0.745f, 0.502f}, 108, 200},
                                              LightingGroup{{2.5f, 1.0f, 0.68f, 0.9f}, 92, 176}};

constexpr SettingsProfile kKD21x600 = {{600, 98, 3200, 3360, 960, 240, 20, 13},
                                       kProfileName600,
                                       {{2.1f, 1.94f, 1.43f, 0.9f}, 100, 200},
                                       {{2.5f, 0.76f, 1.2f, 1.4f}, 100, 200},
                                       LightingGroup{{2.1f, 0.5f, 0.5f, 0.5f}, 94, 212}};

constexpr SettingsProfile kKD21x300 = {{300, 168, 1600, 1680, 480, 120, 20, 9},
                                       kProfileName300,
                                       {{2.1f, 1.2f, 0.92f, 0.58f}, 80, 190},
                                       {{2.5f, 0.58f, 0.88f, 1.02f}, 86, 192},
                                       LightingGroup{{2.1f, 1.0f, 0.68f, 0.9f}, 100, 170}};

// The 1200-dpi profile carries the 600 name: the shading files are keyed by
// the resolution factor, not by this name.
constexpr SettingsProfile kLumaframe1200 = {{1200, 112, 10800, 10800, 960, 120, 20, 13},
                                            kProfileName600,
                                            {{3.0f, 1.070472f, 1.2024479f, 0.6716112f}, 86, 200},
                                            {{3.0f, 0.685152f, 1.2218544f, 1.3003614f}, 86, 188},
                                            std::nullopt};

constexpr SettingsProfile kLumaframe600 = {{600, 224, 5400, 5400, 480, 48, 20, 13},
                                           kProfileName600,
                                           {{1.5f, 0.5694f, 0.6396f, 0.35724f}, 66, 200},
                                           {{1.5f, 0.3744f, 0.66767997f, 0.71058f}, 70, 188},
                                           std::nullopt};

constexpr SettingsProfile kLumaframe300 = {
    {300, 448, 2700, 2700, 240, 60, 20, 9},
    kProfileName300,
    {{0.75f, 0.37010998f, 0.41573995f, 0.23220599f}, 50, 184},
    {{1.5f, 0.22464f, 0.400608f, 0.426348f}, 50, 180},
    std::nullopt};

// KD409P: the front-end offsets and gains (and at 300 dpi the gray timing) are
// left zero here and filled in from the variant tables below at selection.
constexpr SettingsProfile kKD409P600 = {{600, 70, 5252, 5252, 280, 0, 20, 13},
                                        kProfileName600,
                                        {{1.45f, 0.87912f, 1.00584f, 0.53064f}, 0, 0},
                                        {{1.5f, 0.51479995f, 0.83159995f, 0.9108f}, 0, 0},
                                        std::nullopt};

constexpr SettingsProfile kKD409P300 = {{300, 140, 2628, 2628, 140, 0, 20, 9},
                                        kProfileName300,
                                        {{0.7f, 0.51060003f, 0.5842f, 0.3082f}, 0, 0},
                                        {{0.0f, 0.0f, 0.0f, 0.0f}, 0, 0},
                                        std::nullopt};

// What the KD409P's two sensors and two board revisions change in a profile.
struct KD409PVariant {
  uint8_t colourOffset;
  uint8_t colourGain;
  uint8_t grayOffset;
  uint8_t grayGain;
  // Red, green, blue gray on-times; absent: the base profile's gray timing.
  std::optional<std::array<float, 3>> grayOnTimes;
};

// Indexed by whether the dual-scan flag is exactly 1.
constexpr KD409PVariant kKD409P600Variants[2] = {
    {60, 200, 60, 200, std::nullopt},
    {77, 204, 76, 200, std::nullopt},
};
constexpr KD409PVariant kKD409P300Variants[2] = {
    {50, 206, 60, 194, std::array<float, 3>{0.31394997f, 0.50714993f, 0.55544996f}},
    {60, 202, 66, 200, std::array<float, 3>{0.299f, 0.48299998f, 0.529f}},
};

// The board revision that reports 1 runs the 300-dpi gray scan on a shorter line.
constexpr float kKD409PGrayLineTimeBoard1 = 1.2f;
constexpr float kKD409PGrayLineTimeOther = 1.5f;

// Builds the KD409P profile for the dual-scan flag and board variant in force now.
SettingsProfile KD409PProfile(const SettingsProfile& base, const KD409PVariant (&variants)[2]) {
  const KD409PVariant& variant = variants[g_dualScan == 1 ? 1 : 0];
  SettingsProfile profile = base;
  profile.colour.offset = variant.colourOffset;
  profile.colour.gain = variant.colourGain;
  profile.gray.offset = variant.grayOffset;
  profile.gray.gain = variant.grayGain;
  if (variant.grayOnTimes) {
    profile.gray.timing[0] =
        g_boardVariantFlag == 1 ? kKD409PGrayLineTimeBoard1 : kKD409PGrayLineTimeOther;
    std::copy(variant.grayOnTimes->begin(), variant.grayOnTimes->end(),
              profile.gray.timing.begin() + 1);
  }
  return profile;
}

void StoreGroup(const LightingGroup& group, float (&timing)[ModelSettings::kTimingCount],
                uint8_t (&offset)[ModelSettings::kChannelCount],
                uint8_t (&gain)[ModelSettings::kChannelCount]) {
  std::copy(group.timing.begin(), group.timing.end(), timing);
  std::fill(std::begin(offset), std::end(offset), group.offset);
  std::fill(std::begin(gain), std::end(gain), group.gain);
}

}  // namespace

ModelSettings::~ModelSettings() = default;

void ModelSettings::ApplyProfile(const SettingsProfile& profile) {
  const ScanGeometry& geometry = profile.geometry;
  resolution_ = geometry.resolution;
  resolutionFactor_ = geometry.resolution / kDpiPerResolutionFactor;
  lineStartOffset_ = geometry.lineStartOffset;
  activePixels_ = geometry.activePixels;
  pixelsPerLine_ = geometry.pixelsPerLine;
  calibrationLines_ = geometry.calibrationLines;
  skipLines_ = geometry.skipLines;
  fieldP_ = geometry.fieldP;
  fieldQ_ = geometry.fieldQ;
  std::memcpy(profileName_, profile.name, kProfileNameCopyBytes);
  StoreGroup(profile.colour, colourTiming, colourOffset, colourGain);
  StoreGroup(profile.gray, grayTiming, grayOffset, grayGain);
  if (profile.infrared) {
    StoreGroup(*profile.infrared, infraredTiming, infraredOffset, infraredGain);
  }
}

void BusinessCardSettings::SelectProfile600() { ApplyProfile(kBusinessCard600); }

void KD21xSettings::SelectProfile600() { ApplyProfile(kKD21x600); }
void KD21xSettings::SelectProfile300() { ApplyProfile(kKD21x300); }

void KD409PSettings::SelectProfile600() {
  ApplyProfile(KD409PProfile(kKD409P600, kKD409P600Variants));
}
void KD409PSettings::SelectProfile300() {
  ApplyProfile(KD409PProfile(kKD409P300, kKD409P300Variants));
}

void LumaframeSettings::SelectProfile1200() { ApplyProfile(kLumaframe1200); }
void LumaframeSettings::SelectProfile600() { ApplyProfile(kLumaframe600); }
void LumaframeSettings::SelectProfile300() { ApplyProfile(kLumaframe300); }

}  // namespace lf
