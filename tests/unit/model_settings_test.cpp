#include "models/model_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lf {
namespace {

using Factory = std::unique_ptr<ModelSettings> (*)();
template <class T>
std::unique_ptr<ModelSettings> New() {
  return std::make_unique<T>();
}
constexpr Factory kBase = New<ModelSettings>, kCard = New<BusinessCardSettings>,
                  kKD21x = New<KD21xSettings>, kKD409P = New<KD409PSettings>,
                  kLuma = New<LumaframeSettings>;

using Select = void (ModelSettings::*)();
constexpr Select k600 = &ModelSettings::SelectProfile600;
constexpr Select k300 = &ModelSettings::SelectProfile300;
constexpr Select k1200 = &ModelSettings::SelectProfile1200;

using Get = int32_t (ModelSettings::*)() const;
using Set = void (ModelSettings::*)(int32_t);
using M = ModelSettings;
constexpr Get kSpareGetters[] = {&M::GetSpare0,  &M::GetSpare1,  &M::GetSpare2,  &M::GetSpare3,
                                 &M::GetSpare4,  &M::GetSpare5,  &M::GetSpare6,  &M::GetSpare7,
                                 &M::GetSpare8,  &M::GetSpare9,  &M::GetSpare10, &M::GetSpare11,
                                 &M::GetSpare12, &M::GetSpare13, &M::GetSpare14, &M::GetSpare15};
constexpr Set kSpareSetters[] = {&M::SetSpare0,  &M::SetSpare1,  &M::SetSpare2,  &M::SetSpare3,
                                 &M::SetSpare4,  &M::SetSpare5,  &M::SetSpare6,  &M::SetSpare7,
                                 &M::SetSpare8,  &M::SetSpare9,  &M::SetSpare10, &M::SetSpare11,
                                 &M::SetSpare12, &M::SetSpare13, &M::SetSpare14, &M::SetSpare15};
constexpr Get kOtherGetters[] = {
    &M::GetResolution, &M::GetSpareFieldA,   &M::GetLineStartOffset,  &M::GetActivePixels,
    &M::GetFieldQ,     &M::GetPixelsPerLine, &M::GetSkipLines,        &M::GetResolutionFactor,
    &M::GetFieldP,     &M::GetSpareFieldB,   &M::GetCalibrationLines, &M::GetCalibrationFlag};

// Every number a settings object shows (the name aside), for "all zero" and
// "nothing changed" checks.
std::vector<double> Values(const ModelSettings& s) {
  std::vector<double> v;
  for (Get get : kSpareGetters) v.push_back((s.*get)());
  for (Get get : kOtherGetters) v.push_back((s.*get)());
  for (const float* t : {s.colourTiming, s.grayTiming, s.infraredTiming}) {
    v.insert(v.end(), t, t + 4);
  }
  for (const uint8_t* b :
       {s.colourOffset, s.grayOffset, s.infraredOffset, s.colourGain, s.grayGain, s.infraredGain}) {
    v.insert(v.end(), b, b + 3);
  }
  return v;
}

struct Group {
  std::array<float, 4> timing;
  uint8_t offset, gain;
};

// What a test leaves in the infrared group before a selection: profiles
// without an infrared lamp must not touch it.
constexpr Group kLeftOver = {{1.25f, 0.5f, 0.25f, 0.125f}, 33, 44};

struct ProfileRow {
  const char* label;
  Factory make;
  Select select;
  int16_t dualScan;
  int32_t boardFlag;
  // resolution, factor, line start, active pixels, pixels per line, calibration lines,
  // skip lines, field P, field Q
  std::array<int32_t, 9> geometry;
  const char* name;
  Group colour, gray;
  std::optional<Group> infrared;  // absent: kLeftOver survives
};

constexpr char k600Name[] = "Shadding 600";
constexpr char k300Name[] = "Shadding 300";
constexpr std::array<float, 4> kKD409P600Colour = {1.45f, 0.87912f, 1.00584f, 0.53064f};
constexpr std::array<float, 4> kKD409P600Gray = {1.5f, 0.51479995f, 0.83159995f, 0.9108f};
constexpr std::array<float, 4> kKD409P300Colour = {0.7f, 0.51060003f, 0.5842f, 0.3082f};
constexpr std::array<int32_t, 9> kKD409P600Geometry = {600, 6, 70, 5252, 5252, 280, 0, 20, 13};
constexpr std::array<int32_t, 9> kKD409P300Geometry = {300, 3, 140, 2628, 2628, 140, 0, 20, 9};

// clang-format off
const ProfileRow kProfileRows[] = {
    {"Card 600", kCard, k600, 0, 0, {600, 6, 70, 0, 1536, 384, 80, 8, 13}, k600Name,
     {{2.1f, 0.905f, 0.745f, 0.502f}, 80, 196}, {{2.0f, 0.905f, 0.745f, 0.502f}, 108, 200},
     Group{{2.5f, 1.0f, 0.68f, 0.9f}, 92, 176}},
    {"KD21x 600", kKD21x, k600, 0, 0, {600, 6, 98, 3200, 3360, 960, 240, 20, 13}, k600Name,
     {{2.1f, 1.94f, 1.43f, 0.9f}, 100, 200}, {{2.5f, 0.76f, 1.2f, 1.4f}, 100, 200},
     Group{{2.1f, 0.5f, 0.5f, 0.5f}, 94, 212}},
    {"KD21x 300", kKD21x, k300, 0, 0, {300, 3, 168, 1600, 1680, 480, 120, 20, 9}, k300Name,
     {{2.1f, 1.2f, 0.92f, 0.58f}, 80, 190}, {{2.5f, 0.58f, 0.88f, 1.02f}, 86, 192},
     Group{{2.1f, 1.0f, 0.68f, 0.9f}, 100, 170}},
    // 1200 dpi keeps the 600 name; the factor tells its shading files apart.
    {"Luma 1200", kLuma, k1200, 0, 0, {1200, 12, 112, 10800, 10800, 960, 120, 20, 13}, k600Name,
     {{3.0f, 1.070472f, 1.2024479f, 0.6716112f}, 86, 200},
     {{3.0f, 0.685152f, 1.2218544f, 1.3003614f}, 86, 188}, std::nullopt},
    {"Luma 600", kLuma, k600, 0, 0, {600, 6, 224, 5400, 5400, 480, 48, 20, 13}, k600Name,
     {{1.5f, 0.5694f, 0.6396f, 0.35724f}, 66, 200},
     {{1.5f, 0.3744f, 0.66767997f, 0.71058f}, 70, 188}, std::nullopt},
    {"Luma 300", kLuma, k300, 0, 0, {300, 3, 448, 2700, 2700, 240, 60, 20, 9}, k300Name,
     {{0.75f, 0.37010998f, 0.41573995f, 0.23220599f}, 50, 184},
     {{1.5f, 0.22464f, 0.400608f, 0.426348f}, 50, 180}, std::nullopt},
    // KD409P: only a dual-scan flag of exactly 1 picks the dual values; the
    // board flag matters only for the 300-dpi gray line time.
    {"KD409P 600 dual 1", kKD409P, k600, 1, 0, kKD409P600Geometry, k600Name,
     {kKD409P600Colour, 77, 204}, {kKD409P600Gray, 76, 200}, std::nullopt},
    {"KD409P 600 dual 0", kKD409P, k600, 0, 1, kKD409P600Geometry, k600Name,
     {kKD409P600Colour, 60, 200}, {kKD409P600Gray, 60, 200}, std::nullopt},
    {"KD409P 600 dual 2", kKD409P, k600, 2, 0, kKD409P600Geometry, k600Name,
     {kKD409P600Colour, 60, 200}, {kKD409P600Gray, 60, 200}, std::nullopt},
    {"KD409P 300 dual 1 board 1", kKD409P, k300, 1, 1, kKD409P300Geometry, k300Name,
     {kKD409P300Colour, 60, 202}, {{1.2f, 0.299f, 0.48299998f, 0.529f}, 66, 200}, std::nullopt},
    {"KD409P 300 dual 1 board 0", kKD409P, k300, 1, 0, kKD409P300Geometry, k300Name,
     {kKD409P300Colour, 60, 202}, {{1.5f, 0.299f, 0.48299998f, 0.529f}, 66, 200}, std::nullopt},
    {"KD409P 300 dual 0 board 1", kKD409P, k300, 0, 1, kKD409P300Geometry, k300Name,
     {kKD409P300Colour, 50, 206}, {{1.2f, 0.31394997f, 0.50714993f, 0.55544996f}, 60, 194},
     std::nullopt},
    {"KD409P 300 dual -1 board 2", kKD409P, k300, -1, 2, kKD409P300Geometry, k300Name,
     {kKD409P300Colour, 50, 206}, {{1.5f, 0.31394997f, 0.50714993f, 0.55544996f}, 60, 194},
     std::nullopt},
};
// clang-format on

void ExpectGroup(const char* what, const Group& want, const float (&timing)[4],
                 const uint8_t (&offset)[3], const uint8_t (&gain)[3]) {
  SCOPED_TRACE(what);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(timing[i], want.timing[i]) << "timing " << i;
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(offset[c], want.offset) << "offset channel " << c + 1;
    EXPECT_EQ(gain[c], want.gain) << "gain channel " << c + 1;
  }
}

TEST(ModelSettingsTest, EveryProfileReplacesTheOneBeforeItFieldByField) {
  const int16_t savedDual = g_dualScan;  // the KD409P reads these process-wide flags
  const int32_t savedBoard = g_boardVariantFlag;
  for (const ProfileRow& row : kProfileRows) {
    SCOPED_TRACE(row.label);
    auto s = row.make();
    // Every profile under the opposite flags first, so each value below must
    // come from this selection and the flags must be read at selection time.
    g_dualScan = row.dualScan == 1 ? 0 : 1;
    g_boardVariantFlag = row.boardFlag == 1 ? 0 : 1;
    for (Select other : {k1200, k600, k300}) ((*s).*other)();
    g_dualScan = row.dualScan;
    g_boardVariantFlag = row.boardFlag;
    std::copy(kLeftOver.timing.begin(), kLeftOver.timing.end(), s->infraredTiming);
    std::fill_n(s->infraredOffset, 3, kLeftOver.offset);
    std::fill_n(s->infraredGain, 3, kLeftOver.gain);
    ((*s).*row.select)();

    const std::array<int32_t, 9> geometry = {
        s->GetResolution(),   s->GetResolutionFactor(), s->GetLineStartOffset(),
        s->GetActivePixels(), s->GetPixelsPerLine(),    s->GetCalibrationLines(),
        s->GetSkipLines(),    s->GetFieldP(),           s->GetFieldQ()};
    EXPECT_EQ(geometry, row.geometry);
    EXPECT_STREQ(s->GetProfileName(), row.name);
    ExpectGroup("colour", row.colour, s->colourTiming, s->colourOffset, s->colourGain);
    ExpectGroup("gray", row.gray, s->grayTiming, s->grayOffset, s->grayGain);
    ExpectGroup("infrared", row.infrared.value_or(kLeftOver), s->infraredTiming, s->infraredOffset,
                s->infraredGain);
  }
  g_dualScan = savedDual;
  g_boardVariantFlag = savedBoard;
}

TEST(ModelSettingsTest, NewObjectsAreZeroAndMissingProfilesChangeNothing) {
  for (Factory make : {kBase, kCard, kKD21x, kKD409P, kLuma}) {
    auto s = make();
    EXPECT_EQ(Values(*s), std::vector<double>(Values(*s).size(), 0.0));
    EXPECT_STREQ(s->GetProfileName(), "");
  }
  const struct {
    Factory make;
    Select first;  // nullptr: nothing selected before
    Select missing;
  } cases[] = {{kCard, k600, k300},    {kCard, k600, k1200},   {kKD21x, k300, k1200},
               {kKD409P, k600, k1200}, {kBase, nullptr, k600}, {kBase, nullptr, k300},
               {kBase, nullptr, k1200}};
  for (const auto& c : cases) {
    auto s = c.make();
    if (c.first != nullptr) ((*s).*c.first)();
    const std::vector<double> before = Values(*s);
    const std::string name = s->GetProfileName();
    ((*s).*c.missing)();
    EXPECT_EQ(Values(*s), before);
    EXPECT_EQ(s->GetProfileName(), name);
  }
}

TEST(ModelSettingsTest, CalibrationLinesAndFlag) {
  BusinessCardSettings s;
  s.SelectProfile600();
  s.SetCalibrationLines(100);
  s.SetCalibrationFlag(1);
  EXPECT_EQ(s.GetCalibrationLines(), 100);
  EXPECT_EQ(s.GetCalibrationFlag(), 1);
  // A new selection restores the profile's line count but not the flag.
  s.SelectProfile600();
  EXPECT_EQ(s.GetCalibrationLines(), 384);
  EXPECT_EQ(s.GetCalibrationFlag(), 1);
  s.SetCalibrationFlag(0);
  EXPECT_EQ(s.GetCalibrationFlag(), 0);
}

TEST(ModelSettingsTest, SparesAndActivePixelsHaveTheirOwnStorage) {
  LumaframeSettings s;
  // Range loops: indexing an array of member pointers trips a false UBSan
  // bounds report with this compiler.
  int value = 1000;
  for (Set set : kSpareSetters) (s.*set)(value++);
  s.SetActivePixels(-7);
  EXPECT_EQ(s.GetActivePixels(), -7);
  s.SelectProfile300();  // sets active pixels, leaves the spares alone
  value = 1000;
  for (Get get : kSpareGetters) EXPECT_EQ((s.*get)(), value++);
  EXPECT_EQ(s.GetActivePixels(), 2700);
}

}  // namespace
}  // namespace lf
