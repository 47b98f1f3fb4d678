// Model composition: which model a host string selects, where each model
// keeps its calibration files, the components it publishes, and the small
// helpers shared by page preparation and calibration.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "calibration/calibration.h"
#include "channel/channel.h"
#include "device/device.h"
#include "models/models.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

class ModelTest : public test::SimTest {};

// Which model class (if any) a host string builds.
enum class Built { kNone, kLumaframe, kKD21x, kKD409P, kCard };

Built KindOf(ScannerModel* model) {
  if (model == nullptr) return Built::kNone;
  if (dynamic_cast<LumaframeModel*>(model)) return Built::kLumaframe;
  if (dynamic_cast<KD21xModel*>(model)) return Built::kKD21x;
  if (dynamic_cast<KD409PModel*>(model)) return Built::kKD409P;
  if (dynamic_cast<BusinessCardModel*>(model)) return Built::kCard;
  return Built::kNone;
}

TEST_F(ModelTest, ModelStringsSelectTheirClasses) {
  const struct {
    const char* name;
    Built built;
  } cases[] = {
      {"KD211-U", Built::kKD21x},        {"KD212-U", Built::kKD21x},
      {"KD213-U", Built::kKD21x},        {"KD214-U", Built::kKD21x},
      {"KD215-U", Built::kKD21x},        {"KD216-U", Built::kKD21x},
      {"KD217-U", Built::kKD21x},        {"KD218-U", Built::kKD21x},
      {"kd218-u", Built::kKD21x},        {"Business Card", Built::kCard},
      {"BUSINESS CARD", Built::kCard},   {"Ondralyx KD211", Built::kKD21x},
      {"KD409P", Built::kKD409P},        {"kd409p", Built::kKD409P},
      {"Lumaframe v2270", Built::kLumaframe}, {"LUMAFRAME V2270", Built::kLumaframe},
      {"KD409P ", Built::kNone},         {" KD409P", Built::kNone},
      {"KD219-U", Built::kNone},         {"KD21", Built::kNone},
      {"Lumaframe v2270x", Built::kNone}, {"Ondralyx ODA", Built::kNone},
      {"", Built::kNone},                {nullptr, Built::kNone},
  };
  for (const auto& c : cases) {
    ScannerModel* model = CreateModelForName(c.name);
    EXPECT_EQ(KindOf(model), c.built) << (c.name ? c.name : "(null)");
    delete model;
  }
}

TEST_F(ModelTest, EveryModelCarriesTheSameIdentity) {
  for (const char* name : {"Lumaframe v2270", "KD211-U", "KD409P", "Business Card"}) {
    ScannerModel* model = CreateModelForName(name);
    ASSERT_NE(model, nullptr) << name;
    EXPECT_EQ(model->ProductId(), 0x4C71);
    EXPECT_EQ(model->VendorId(), 0x2E1A);
    EXPECT_EQ(model->WordA(), 0);
    EXPECT_EQ(model->WordB(), 0);
    EXPECT_EQ(model->ValueC(), 300);
    EXPECT_EQ(model->ValueD(), 10000);
    EXPECT_EQ(model->ValueE(), 0);
    EXPECT_EQ(model->ValueF(), 300);
    EXPECT_EQ(model->ValueG(), 500);
    EXPECT_EQ(std::u16string(model->VendorName()), u"Quorin Technology");
    EXPECT_EQ(std::u16string(model->ModelName()), u"Lumaframe v2270") << name;
    delete model;
  }
}

TEST_F(ModelTest, ComponentsLiveExactlyAsLongAsTheModel) {
  Plug(0);
  ScannerModel* model = CreateModelForName("Lumaframe v2270");
  ASSERT_NE(model, nullptr);
  EXPECT_NE(dynamic_cast<LumaframeSettings*>(g_settings), nullptr);
  EXPECT_NE(g_calibrator, nullptr);
  EXPECT_NE(g_scanDevice, nullptr);
  EXPECT_NE(g_scanParams, nullptr);
  ASSERT_NE(g_deviceLink, nullptr);
  EXPECT_EQ(g_deviceLink->IsOpened(), 1);
  EXPECT_TRUE(IsChannelOpen());

  delete model;

  EXPECT_EQ(g_settings, nullptr);
  EXPECT_EQ(g_calibrator, nullptr);
  EXPECT_EQ(g_deviceLink, nullptr);
  EXPECT_EQ(g_scanDevice, nullptr);
  EXPECT_EQ(g_scanParams, nullptr);
  EXPECT_FALSE(IsChannelOpen());
}

TEST_F(ModelTest, DeviceLinkRemembersWhetherTheChannelOpened) {
  UsbDeviceLink absent(kScannerVendorId, kScannerProductId);
  EXPECT_EQ(absent.IsOpened(), 0);
  EXPECT_EQ(absent.SpareValue(), -1);

  Plug(0);
  EXPECT_EQ(absent.Reopen(), 1);
  EXPECT_EQ(absent.IsOpened(), 0);  // re-opening does not store its result
  absent.SetOpened(1);
  EXPECT_EQ(absent.IsOpened(), 1);
  EXPECT_EQ(absent.Close(), 1);
  EXPECT_FALSE(IsChannelOpen());
}

struct DirCase;
void PrintTo(const DirCase& c, std::ostream* os);

struct DirCase {
  const char* name;
  const char* model;
  const char* installPath;  // null: no registry value
  const char* windowsDir;   // null: the default C:\WINDOWS
  const char* expectedDir;
  std::vector<const char*> createdDirs;
};

void PrintTo(const DirCase& c, std::ostream* os) { *os << c.name; }

class CalibrationDirTest : public ModelTest, public ::testing::WithParamInterface<DirCase> {};

TEST_P(CalibrationDirTest, ResolvesAndCreatesTheDirectory) {
  const DirCase& c = GetParam();
  test::ScopedEnv install("LF_V2270_INSTALL_PATH", c.installPath);
  test::ScopedEnv windows("LF_V2270_WINDOWS_DIR", c.windowsDir);
  // The install folder exists: the installer made it, and only the last
  // level is created by the model.
  std::filesystem::create_directories(HostPath("D:\\Apps"));

  ScannerModel* model = CreateModelForName(c.model);
  ASSERT_NE(model, nullptr);
  EXPECT_STREQ(model->GetCalibrationDir(), c.expectedDir);
  delete model;

  for (const char* dir : c.createdDirs) {
    EXPECT_TRUE(std::filesystem::is_directory(HostPath(dir))) << dir;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, CalibrationDirTest,
    ::testing::Values(
        DirCase{"lumaframe_registry", "Lumaframe v2270", "D:\\Apps", nullptr,
                "D:\\Apps\\scanners\\", {"D:\\Apps\\scanners"}},
        DirCase{"lumaframe_fallback", "Lumaframe v2270", nullptr, nullptr,
                "C:\\halvorik\\scanner\\LF_v2270\\",
                {"C:\\halvorik", "C:\\halvorik\\scanner", "C:\\halvorik\\scanner\\LF_v2270"}},
        DirCase{"kd21x_windows_drive", "KD211-U", nullptr, "E:\\WINNT",
                "E:\\quorin\\scanner\\LF_v2270\\",
                {"E:\\quorin", "E:\\quorin\\scanner", "E:\\quorin\\scanner\\LF_v2270"}},
        DirCase{"kd21x_default_windows", "KD216-U", "D:\\Apps", nullptr,
                "C:\\quorin\\scanner\\LF_v2270\\", {"C:\\quorin\\scanner\\LF_v2270"}},
        DirCase{"card_windows_drive", "Business Card", nullptr, "E:\\WINNT",
                "E:\\quorin\\scanner\\LF_v2270\\", {"E:\\quorin\\scanner\\LF_v2270"}},
        DirCase{"kd409p_fixed", "KD409P", "D:\\Apps", "E:\\WINNT",
                "C:\\halvorik\\scanner\\LF_v2270\\", {"C:\\halvorik\\scanner\\LF_v2270"}}),
    [](const ::testing::TestParamInfo<DirCase>& param_info) { return std::string(param_info.param.name); });

TEST(ScanParamHolderTest, SetClampsTheEdges) {
  const struct {
    int16_t top, left, right;
    int16_t wantTop, wantLeft, wantRight;
  } cases[] = {
      {-1, -5, 1000, 0, 0, 900},
      {0, 0, 900, 0, 0, 900},
      {-32768, -32768, 32767, 0, 0, 900},
      {25, 10, 901, 25, 10, 900},
      {1, 1, 899, 1, 1, 899},
  };
  for (const auto& c : cases) {
    ScanParamHolder holder;
    ScanParamBlock block{};
    for (int i = 0; i < kScanParamCount; ++i) block.values[i] = static_cast<int16_t>(i * 3 - 20);
    block.values[37] = c.top;
    block.values[38] = c.left;
    block.values[40] = c.right;

    holder.Set(&block);

    const int16_t* got = holder.Get()->values;
    EXPECT_EQ(got[37], c.wantTop);
    EXPECT_EQ(got[38], c.wantLeft);
    EXPECT_EQ(got[40], c.wantRight);
    EXPECT_EQ(got[39], block.values[39]);  // the bottom edge is not clamped
    EXPECT_EQ(got[0], block.values[0]);
    EXPECT_EQ(got[42], block.values[42]);
  }
}

TEST(ModelHelpersTest, SetBitsAndExpandBit) {
  const struct {
    uint8_t value, first, count, field, want;
  } cases[] = {
      {0xFF, 2, 2, 0x1, 0xF7}, {0x00, 0, 8, 0xA5, 0xA5}, {0xF0, 0, 0, 0x01, 0xF1},
      {0x0F, 2, 2, 0x7, 0x1F},  // the field is not masked to its width
      {0x81, 6, 4, 0x0, 0x01},  // mask bits past 7 fall away
      {0x55, 8, 1, 0x1, 0x55},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SetBits(c.value, c.first, c.count, c.field), c.want)
        << int(c.value) << " " << int(c.first) << " " << int(c.count);
  }
  EXPECT_EQ(ExpandBit(1), 3);
  EXPECT_EQ(ExpandBit(0), 0);
  EXPECT_EQ(ExpandBit(2), 0);
  EXPECT_EQ(ExpandBit(255), 0);
}

TEST(ModelHelpersTest, ClampAfeGainAndOffset) {
  const struct {
    int16_t value;
    uint8_t gain, offset;
  } cases[] = {
      {-1, 100, 5},   {0, 100, 5},    {4, 100, 5},    {5, 100, 5},     {99, 100, 99},
      {100, 100, 100}, {140, 140, 140}, {141, 141, 140}, {250, 250, 140}, {251, 250, 140},
      {32767, 250, 140}, {-32768, 100, 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClampAfeGain(c.value), c.gain) << c.value;
    EXPECT_EQ(ClampAfeOffset(c.value), c.offset) << c.value;
  }
}

TEST(ModelHelpersTest, ToWideKeepsTheBufferBounded) {
  char16_t dest[8];
  std::fill(std::begin(dest), std::end(dest), u'#');
  ToWide(dest, 8, nullptr);
  EXPECT_EQ(dest[0], u'#');  // a null source leaves the buffer alone

  ToWide(dest, 8, "Lumaframe v2270");
  EXPECT_EQ(std::u16string(dest), u"Lumafra");

  ToWide(dest, 8, "Caf\xE9");
  EXPECT_EQ(std::u16string(dest), u"Caf\u00E9");
}

TEST(ModelHelpersTest, ShellGapSequence) {
  const struct {
    uint32_t gap, next;
  } cases[] = {{1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 2}, {10, 4}, {11, 5}, {22, 10},
               {50, 22}, {99, 45}, {1000, 454}, {2200, 1000}, {32767, 14894}};
  for (const auto& c : cases) EXPECT_EQ(NextShellGap(c.gap), c.next) << c.gap;
}

TEST(ModelHelpersTest, ShellSortAgreesWithStdSort) {
  std::mt19937 random(2270);
  for (int size : {0, 1, 2, 3, 5, 10, 11, 64, 255, 1000, 4097}) {
    const auto count = static_cast<uint16_t>(size);
    std::vector<uint16_t> values(count);
    for (uint16_t& v : values) v = static_cast<uint16_t>(random() % (count % 3 ? 65536 : 17));
    std::vector<uint16_t> expected = values;
    std::sort(expected.begin(), expected.end());

    ShellSortU16(values.data(), count);

    EXPECT_EQ(values, expected) << count;
  }
}

}  // namespace
}  // namespace lf
