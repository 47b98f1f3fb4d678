#include "models/model_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lf {
namespace {

enum class Kind { kBase, kCard, kKD21x, kKD409P, kLumaframe };

std::unique_ptr<ModelSettings> Make(Kind kind) {
  switch (kind) {
    case Kind::kCard:
      return std::make_unique<BusinessCardSettings>();
    case Kind::kKD21x:
      return std::make_unique<KD21xSettings>();
    case Kind::kKD409P:
      return std::make_unique<KD409PSettings>();
    case Kind::kLumaframe:
      return std::make_unique<LumaframeSettings>();
    case Kind::kBase:
      break;
  }
  return std::make_unique<ModelSettings>();
}

using Select = void (ModelSettings::*)();
constexpr Select k600 = &ModelSettings::SelectProfile600;
constexpr Select k300 = &ModelSettings::SelectProfile300;
constexpr Select k1200 = &ModelSettings::SelectProfile1200;

struct Group {
  std::array<float, 4> timing;
  uint8_t offset;
  uint8_t gain;
};

struct Geometry {
  int32_t resolution, factor, lineStart, activePixels, pixelsPerLine, calibrationLines, skipLines,
      fieldP, fieldQ;
};

// Which profile of which class, under which process-wide flags.
struct Selection {
  Kind kind;
  Select select;
  int16_t dualScan;
  int32_t boardFlag;
};

struct ProfileRow {
  const char* label;
  Selection selection;
  Geometry geometry;
  const char* name;
  Group colour;
  Group gray;
  std::optional<Group> infrared;  // absent: the group must stay as a new object has it (zero)
};

constexpr Group kNoLight = {{0.0f, 0.0f, 0.0f, 0.0f}, 0, 0};
const std::array<float, 4> kKD409P600Colour = {1.45f, 0.87912f, 1.00584f, 0.53064f};
const std::array<float, 4> kKD409P600Gray = {1.5f, 0.51479995f, 0.83159995f, 0.9108f};
const std::array<float, 4> kKD409P300Colour = {0.7f, 0.51060003f, 0.5842f, 0.3082f};

const ProfileRow kProfileRows[] = {
    {"Card 600",
     {Kind::kCard, k600, 0, 0},
     {600, 6, 70, 0, 1536, 384, 80, 8, 13},
     "Shadding 600",
     {{2.1f, 0.905f, 0.745f, 0.502f}, 80, 196},
     {{2.0f, 0.905f, 0.745f, 0.502f}, 108, 200},
     Group{{2.5f, 1.0f, 0.68f, 0.9f}, 92, 176}},
    {"KD21x 600",
     {Kind::kKD21x, k600, 0, 0},
     {600, 6, 98, 3200, 3360, 960, 240, 20, 13},
     "Shadding 600",
     {{2.1f, 1.94f, 1.43f, 0.9f}, 100, 200},
     {{2.5f, 0.76f, 1.2f, 1.4f}, 100, 200},
     Group{{2.1f, 0.5f, 0.5f, 0.5f}, 94, 212}},
    {"KD21x 300",
     {Kind::kKD21x, k300, 0, 0},
     {300, 3, 168, 1600, 1680, 480, 120, 20, 9},
     "Shadding 300",
     {{2.1f, 1.2f, 0.92f, 0.58f}, 80, 190},
     {{2.5f, 0.58f, 0.88f, 1.02f}, 86, 192},
     Group{{2.1f, 1.0f, 0.68f, 0.9f}, 100, 170}},
    {"Luma 1200",
     {Kind::kLumaframe, k1200, 0, 0},
     {1200, 12, 112, 10800, 10800, 960, 120, 20, 13},
     "Shadding 600",
     {{3.0f, 1.070472f, 1.2024479f, 0.6716112f}, 86, 200},
     {{3.0f, 0.685152f, 1.2218544f, 1.3003614f}, 86, 188},
     std::nullopt},
    {"Luma 600",
     {Kind::kLumaframe, k600, 0, 0},
     {600, 6, 224, 5400, 5400, 480, 48, 20, 13},
     "Shadding 600",
     {{1.5f, 0.5694f, 0.6396f, 0.35724f}, 66, 200},
     {{1.5f, 0.3744f, 0.66767997f, 0.71058f}, 70, 188},
     std::nullopt},
    {"Luma 300",
     {Kind::kLumaframe, k300, 0, 0},
     {300, 3, 448, 2700, 2700, 240, 60, 20, 9},
     "Shadding 300",
     {{0.75f, 0.37010998f, 0.41573995f, 0.23220599f}, 50, 184},
     {{1.5f, 0.22464f, 0.400608f, 0.426348f}, 50, 180},
     std::nullopt},
    // KD409P: every dual-scan / board-flag combination that changes a value.
    {"KD409P 600 dual 1",
     {Kind::kKD409P, k600, 1, 0},
     {600, 6, 70, 5252, 5252, 280, 0, 20, 13},
     "Shadding 600",
     {kKD409P600Colour, 77, 204},
     {kKD409P600Gray, 76, 200},
     std::nullopt},
    {"KD409P 600 dual 0",
     {Kind::kKD409P, k600, 0, 1},
     {600, 6, 70, 5252, 5252, 280, 0, 20, 13},
     "Shadding 600",
     {kKD409P600Colour, 60, 200},
     {kKD409P600Gray, 60, 200},
     std::nullopt},
    {"KD409P 600 dual 2",
     {Kind::kKD409P, k600, 2, 0},
     {600, 6, 70, 5252, 5252, 280, 0, 20, 13},
     "Shadding 600",
     {kKD409P600Colour, 60, 200},
     {kKD409P600Gray, 60, 200},
     std::nullopt},
    {"KD409P 300 dual 1 board 1",
     {Kind::kKD409P, k300, 1, 1},
     {300, 3, 140, 2628, 2628, 140, 0, 20, 9},
     "Shadding 300",
     {kKD409P300Colour, 60, 202},
     {{1.2f, 0.299f, 0.48299998f, 0.529f}, 66, 200},
     std::nullopt},
    {"KD409P 300 dual 1 board 0",
     {Kind::kKD409P, k300, 1, 0},
     {300, 3, 140, 2628, 2628, 140, 0, 20, 9},
     "Shadding 300",
     {kKD409P300Colour, 60, 202},
     {{1.5f, 0.299f, 0.48299998f, 0.529f}, 66, 200},
     std::nullopt},
    {"KD409P 300 dual 0 board 1",
     {Kind::kKD409P, k300, 0, 1},
     {300, 3, 140, 2628, 2628, 140, 0, 20, 9},
     "Shadding 300",
     {kKD409P300Colour, 50, 206},
     {{1.2f, 0.31394997f, 0.50714993f, 0.55544996f}, 60, 194},
     std::nullopt},
    {"KD409P 300 dual -1 board 2",
     {Kind::kKD409P, k300, -1, 2},
     {300, 3, 140, 2628, 2628, 140, 0, 20, 9},
     "Shadding 300",
     {kKD409P300Colour, 50, 206},
     {{1.5f, 0.31394997f, 0.50714993f, 0.55544996f}, 60, 194},
     std::nullopt},
};

void ExpectGroup(const char* what, const Group& want, const float (&timing)[4],
                 const uint8_t (&offset)[3], const uint8_t (&gain)[3]) {
  SCOPED_TRACE(what);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(timing[i], want.timing[i]) << "timing " << i;
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(offset[c], want.offset) << "offset channel " << c + 1;
    EXPECT_EQ(gain[c], want.gain) << "gain channel " << c + 1;
  }
}

void ExpectProfile(const ModelSettings& s, const ProfileRow& row) {
  const Geometry& g = row.geometry;
  EXPECT_EQ(s.GetResolution(), g.resolution);
  EXPECT_EQ(s.GetResolutionFactor(), g.factor);
  EXPECT_EQ(s.GetLineStartOffset(), g.lineStart);
  EXPECT_EQ(s.GetActivePixels(), g.activePixels);
  EXPECT_EQ(s.GetPixelsPerLine(), g.pixelsPerLine);
  EXPECT_EQ(s.GetCalibrationLines(), g.calibrationLines);
  EXPECT_EQ(s.GetSkipLines(), g.skipLines);
  EXPECT_EQ(s.GetFieldP(), g.fieldP);
  EXPECT_EQ(s.GetFieldQ(), g.fieldQ);
  EXPECT_STREQ(s.GetProfileName(), row.name);
  ExpectGroup("colour", row.colour, s.colourTiming, s.colourOffset, s.colourGain);
  ExpectGroup("gray", row.gray, s.grayTiming, s.grayOffset, s.grayGain);
  ExpectGroup("infrared", row.infrared.value_or(kNoLight), s.infraredTiming, s.infraredOffset,
              s.infraredGain);
}

// Everything a settings object shows, for "nothing changed" comparisons.
struct Snapshot {
  std::array<int32_t, 12> values{};
  std::array<int32_t, 16> spares{};
  std::string name;
  std::array<float, 12> timings{};
  std::array<uint8_t, 18> frontEnd{};
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const ModelSettings& s) {
  Snapshot snap;
  snap.values = {s.GetResolution(),       s.GetSpareFieldA(),      s.GetLineStartOffset(),
                 s.GetActivePixels(),     s.GetPixelsPerLine(),    s.GetSkipLines(),
                 s.GetFieldQ(),           s.GetResolutionFactor(), s.GetSpareFieldB(),
                 s.GetCalibrationLines(), s.GetFieldP(),           s.GetCalibrationFlag()};
  snap.spares = {s.GetSpare0(),  s.GetSpare1(),  s.GetSpare2(),  s.GetSpare3(),
                 s.GetSpare4(),  s.GetSpare5(),  s.GetSpare6(),  s.GetSpare7(),
                 s.GetSpare8(),  s.GetSpare9(),  s.GetSpare10(), s.GetSpare11(),
                 s.GetSpare12(), s.GetSpare13(), s.GetSpare14(), s.GetSpare15()};
  snap.name = s.GetProfileName();
  for (int i = 0; i < 4; ++i) {
    snap.timings[i] = s.colourTiming[i];
    snap.timings[4 + i] = s.infraredTiming[i];
    snap.timings[8 + i] = s.grayTiming[i];
  }
  for (int c = 0; c < 3; ++c) {
    snap.frontEnd[c] = s.colourOffset[c];
    snap.frontEnd[3 + c] = s.grayOffset[c];
    snap.frontEnd[6 + c] = s.infraredOffset[c];
    snap.frontEnd[9 + c] = s.colourGain[c];
    snap.frontEnd[12 + c] = s.grayGain[c];
    snap.frontEnd[15 + c] = s.infraredGain[c];
  }
  return snap;
}

// The KD409P profiles read the two process-wide flags; every test leaves them
// as it found them.
class ModelSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDual_ = g_dualScan;
    savedBoard_ = g_boardVariantFlag;
  }
  void TearDown() override {
    g_dualScan = savedDual_;
    g_boardVariantFlag = savedBoard_;
  }

 private:
  int16_t savedDual_ = 0;
  int32_t savedBoard_ = 0;
};

TEST_F(ModelSettingsTest, NewObjectIsAllZero) {
  for (Kind kind : {Kind::kBase, Kind::kCard, Kind::kKD21x, Kind::kKD409P, Kind::kLumaframe}) {
    EXPECT_TRUE(Take(*Make(kind)) == Snapshot{}) << static_cast<int>(kind);
  }
}

TEST_F(ModelSettingsTest, EveryProfileStoresItsConstants) {
  for (const ProfileRow& row : kProfileRows) {
    SCOPED_TRACE(row.label);
    const Selection& sel = row.selection;
    g_dualScan = sel.dualScan;
    g_boardVariantFlag = sel.boardFlag;
    auto settings = Make(sel.kind);
    ((*settings).*sel.select)();
    ExpectProfile(*settings, row);
  }
}

TEST_F(ModelSettingsTest, SelectionsAModelLacksKeepThePreviousProfile) {
  struct Case {
    Kind kind;
    Select first;  // nullptr: nothing selected before
    Select ignored;
  };
  const Case cases[] = {
      {Kind::kCard, k600, k300},     {Kind::kCard, k600, k1200},   {Kind::kKD21x, k300, k1200},
      {Kind::kKD409P, k600, k1200},  {Kind::kBase, nullptr, k600}, {Kind::kBase, nullptr, k300},
      {Kind::kBase, nullptr, k1200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    auto settings = Make(c.kind);
    if (c.first != nullptr) ((*settings).*c.first)();
    const Snapshot before = Take(*settings);
    ((*settings).*c.ignored)();
    EXPECT_TRUE(Take(*settings) == before);
    if (c.first == nullptr) {
      EXPECT_TRUE(before == Snapshot{});
    }
  }
}

TEST_F(ModelSettingsTest, Lumaframe1200CarriesThe600NameAndFactor12) {
  LumaframeSettings settings;
  settings.SelectProfile300();
  settings.SelectProfile1200();
  EXPECT_STREQ(settings.GetProfileName(), "Shadding 600");
  EXPECT_EQ(settings.GetResolutionFactor(), 12);
}

TEST_F(ModelSettingsTest, KD409PReadsTheDualFlagAtEachSelection) {
  KD409PSettings settings;
  g_dualScan = 1;
  settings.SelectProfile300();
  EXPECT_EQ(settings.grayGain[0], 200);
  g_dualScan = 0;
  settings.SelectProfile300();
  EXPECT_EQ(settings.grayGain[0], 194);
}

TEST_F(ModelSettingsTest, ProfilesWithoutInfraredKeepTheInfraredGroup) {
  for (Kind kind : {Kind::kLumaframe, Kind::kKD409P}) {
    SCOPED_TRACE(static_cast<int>(kind));
    auto settings = Make(kind);
    settings->SelectProfile1200();
    settings->SelectProfile600();
    settings->SelectProfile300();
    ExpectGroup("untouched", kNoLight, settings->infraredTiming, settings->infraredOffset,
                settings->infraredGain);

    // Whatever was there before a selection survives it.
    const Group left = {{1.25f, 0.5f, 0.25f, 0.125f}, 33, 44};
    std::copy(left.timing.begin(), left.timing.end(), settings->infraredTiming);
    std::fill(std::begin(settings->infraredOffset), std::end(settings->infraredOffset), 33);
    std::fill(std::begin(settings->infraredGain), std::end(settings->infraredGain), 44);
    settings->SelectProfile600();
    settings->SelectProfile300();
    ExpectGroup("kept", left, settings->infraredTiming, settings->infraredOffset,
                settings->infraredGain);
  }
}

TEST_F(ModelSettingsTest, KD21xSelectionsReplaceTheInfraredGroup) {
  KD21xSettings settings;
  settings.SelectProfile600();
  settings.SelectProfile300();
  ExpectGroup("300", {{2.1f, 1.0f, 0.68f, 0.9f}, 100, 170}, settings.infraredTiming,
              settings.infraredOffset, settings.infraredGain);
}

TEST_F(ModelSettingsTest, CalibrationLinesAndFlagRoundTrip) {
  BusinessCardSettings settings;
  settings.SelectProfile600();
  settings.SetCalibrationLines(100);
  settings.SetCalibrationFlag(1);
  EXPECT_EQ(settings.GetCalibrationLines(), 100);
  EXPECT_EQ(settings.GetCalibrationFlag(), 1);

  // A new selection restores the profile's line count but not the flag.
  settings.SelectProfile600();
  EXPECT_EQ(settings.GetCalibrationLines(), 384);
  EXPECT_EQ(settings.GetCalibrationFlag(), 1);
  settings.SetCalibrationFlag(0);
  EXPECT_EQ(settings.GetCalibrationFlag(), 0);
}

TEST_F(ModelSettingsTest, EachSpareSetterReachesItsOwnGetter) {
  LumaframeSettings settings;
  using Set = void (*)(ModelSettings&, int32_t);
  const Set setters[16] = {
      [](ModelSettings& m, int32_t v) { m.SetSpare0(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare1(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare2(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare3(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare4(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare5(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare6(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare7(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare8(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare9(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare10(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare11(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare12(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare13(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare14(v); },
      [](ModelSettings& m, int32_t v) { m.SetSpare15(v); }};
  for (int i = 0; i < 16; ++i) setters[i](settings, 1000 + i);
  settings.SetActivePixels(-7);
  settings.SelectProfile300();  // a profile sets active pixels but leaves the spares alone

  const Snapshot snap = Take(settings);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(snap.spares[i], 1000 + i) << "spare " << i;
  EXPECT_EQ(settings.GetActivePixels(), 2700);
  settings.SetActivePixels(-7);
  EXPECT_EQ(settings.GetActivePixels(), -7);
}

}  // namespace
}  // namespace lf
