// The scan session: page size agreement, size rules and cropping, the
// calibration check, the activity code the connection check relies on, the
// answers for a closed channel, and the pure queries.
#include "session/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "LF_v2270.h"
#include "calibration/calibration.h"
#include "device/device.h"
#include "models/models.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using Calls = std::vector<std::string>;

// Records every call the session makes ("Name arg arg") with the session's
// activity code at that moment, and answers as told.
class RecordingDevice final : public ScanDevice {
 public:
  Calls calls;
  std::vector<int32_t> activities;
  int32_t fillStride = 0;  // bytes per line GetImageBlock writes
  int16_t blockResult = 5;
  bool textsZeroed = false;  // the first two texts of the last identity read came zeroed

  int IsPaperOn() override { return Record("IsPaperOn"), 1; }
  int16_t GetPressedButton() override { return Record("GetPressedButton"), int16_t{3}; }
  void FeedPage() override { Record("FeedPage"); }
  void FeedBack() override { Record("FeedBack"); }
  void Beeps() override { Record("Beeps"); }
  void StopFeed() override { Record("StopFeed"); }
  void FeedOn() override { Record("FeedOn"); }
  void FeedOnFor(uint32_t ms) override { Record("FeedOnFor", ms); }
  void FeedBackFor(uint32_t ms) override { Record("FeedBackFor", ms); }
  void Clean() override { Record("Clean"); }
  void EndScan() override { Record("EndScan"); }
  void EndScanPage() override { Record("EndScanPage"); }
  int ReverseMotor(int on) override { return Record("ReverseMotor", on), on; }
  void IndicatorOn(int16_t which) override { Record("IndicatorOn", which); }
  void IndicatorOff(int16_t which) override { Record("IndicatorOff", which); }
  void ResetHardware() override { Record("ResetHardware"); }
  int StartScanPage(ScanParamBlock*, int* width, int* lines, int pass) override {
    Record("StartScanPage", *width, *lines, pass);
    *width = 7777;  // must reach neither the caller nor the session
    *lines = 8888;
    return 5;
  }
  int16_t GetImageBlock(uint8_t* dest, int16_t lines, ScanParamBlock*, int width, int pageHeight,
                        int last) override {
    Record("GetImageBlock", lines, width, pageHeight, last);
    for (int32_t i = 0; i < lines * fillStride; ++i) dest[i] = PageByte(i);
    return blockResult;
  }
  int16_t GetImageBlockDual(uint8_t*, uint8_t*, int16_t lines, int32_t fourth, int32_t width,
                            int32_t sixth, int32_t last) override {
    return Record("GetImageBlockDual", lines, fourth, width, sixth, last), int16_t{9};
  }
  int WriteEEPROMInfo(uint16_t vendor, uint16_t product, const char* a, const char* b,
                      const char* c, int32_t memType) override {
    return Record("WriteEEPROMInfo", vendor, product, a, b, c, memType), 7;
  }
  int ReadEEPROMInfo(uint16_t* vendor, uint16_t* product, uint8_t* a, uint8_t* b, uint8_t* c,
                     int32_t memType) override {
    Record("ReadEEPROMInfo", memType);
    const auto zero = [](const uint8_t* text) { return std::count(text, text + 47, 0) == 47; };
    textsZeroed = zero(a) && zero(b);
    *vendor = 0x2E1A;
    *product = 0x4C71;
    std::memcpy(c, "SN-0042", 7);  // no terminator, as the identity memory holds it
    return 7;
  }

  static uint8_t PageByte(int32_t i) { return static_cast<uint8_t>(i % 251 + 1); }

 private:
  template <typename... Args>
  void Record(const char* name, Args... args) {
    std::ostringstream call;
    call << name;
    ((call << ' ' << args), ...);
    calls.push_back(call.str());
    activities.push_back(g_session->GetActivity());
  }
};

// Like the sheet calibration, it feeds the sheet back through the session.
class RecordingCalibrator final : public Calibrator {
 public:
  int Calibrate() override {
    activityDuring = g_session->GetActivity();
    g_session->FeedBack();
    return 11;
  }
  int32_t activityDuring = -1;
};

class SessionTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Plug(0);
    ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
    session_ = g_session;
    // The model deletes whatever these pointers hold when it goes.
    delete g_scanDevice;
    g_scanDevice = device_ = new RecordingDevice();
    delete g_calibrator;
    g_calibrator = calibrator_ = new RecordingCalibrator();
  }
  void TearDown() override {
    g_dualScan = 0;
    g_keepScanning = 0;
    g_scanCallback = nullptr;
    SimTest::TearDown();
  }
  // Agrees a page size the way a host does, then forgets the calls that took.
  void StartPage(int32_t width, int32_t height) {
    ASSERT_EQ(session_->StartScanPage(&params_, &width, &height), 5);
    device_->calls.clear();
  }

  ScanSession* session_ = nullptr;
  RecordingDevice* device_ = nullptr;
  RecordingCalibrator* calibrator_ = nullptr;
  ScanParamBlock params_{};
};

ScanParamBlock Window(int16_t type, int16_t resolution, int16_t left, int16_t right, int16_t top,
                      int16_t bottom) {
  ScanParamBlock block{};
  block.values[0] = type;
  block.values[2] = resolution;
  block.values[37] = top;
  block.values[38] = left;
  block.values[39] = bottom;
  block.values[40] = right;
  return block;
}

std::string StartCall(int32_t width, int32_t height) {
  return "StartScanPage " + std::to_string(width) + " " + std::to_string(height) + " 0";
}

TEST_F(SessionTest, PageDimensionFromTheClampedWindow) {
  // clang-format off
  const struct { const char* what; ScanParamBlock block; int32_t width, height; int result; }
  cases[] = {
      {"line art rounds to 32", Window(2, 300, 0, 850, 0, 1100), 2560, 3300, 1},
      {"colour rounds to 4", Window(4, 300, 0, 850, 0, 1100), 2552, 3300, 1},
      {"gray rounds to 4", Window(1, 300, 0, 850, 0, 1100), 2552, 3300, 1},
      {"a multiple of 32 stays", Window(2, 320, 0, 800, 0, 100), 2560, 320, 1},
      {"line art 1700 rounds to 1728", Window(2, 200, 0, 850, 0, 100), 1728, 200, 1},
      {"right edge 1000 is 900", Window(1, 300, 0, 1000, 0, 100), 2700, 300, 1},
      {"negative left and top are 0", Window(1, 300, -50, 100, -100, 100), 300, 300, 1},
      {"truncates before rounding", Window(1, 301, 0, 850, 0, 150), 2560, 451, 1},
      {"zero width", Window(1, 300, 500, 500, 0, 100), 0, 300, 0},
      {"zero height", Window(4, 300, 0, 850, 200, 200), 2552, 0, 0},
      {"negative width rounds up", Window(2, 300, 600, 500, 0, 100), -288, 300, 0},
      {"negative height truncates toward zero", Window(1, 150, 1, 0, 1, 0), 0, -1, 0}};
  // clang-format on
  for (const auto& c : cases) {
    ScanParamBlock block = c.block;
    int32_t width = 12345, height = 12345;
    EXPECT_EQ(session_->GetPageDimension(&block, &width, &height), c.result) << c.what;
    EXPECT_EQ(width, c.width) << c.what;
    EXPECT_EQ(height, c.height) << c.what;
    // The session keeps even a failed size; StartScanPage falls back to it.
    width = height = 0;
    session_->StartScanPage(&block, &width, &height);
    EXPECT_EQ(device_->calls.back(), StartCall(((c.width + 1) / 2) * 2, c.height)) << c.what;
  }
  const std::pair<int16_t, int32_t> profiles[] = {{-5, 300},  {0, 300},    {300, 300},  {301, 600},
                                                  {600, 600}, {601, 1200}, {2400, 1200}};
  for (auto [resolution, profile] : profiles) {
    ScanParamBlock block = Window(1, resolution, 0, 100, 0, 100);
    int32_t width = 0, height = 0;
    session_->GetPageDimension(&block, &width, &height);
    EXPECT_EQ(g_settings->GetResolution(), profile) << resolution;
  }
}

TEST_F(SessionTest, StartScanPageSizeRules) {
  // The host's size, what it holds afterwards, what the device and the session get.
  // clang-format off
  const struct { int32_t width, height, callerW, callerH, deviceW, deviceH; } cases[] = {
      {0, 0, 2552, 3300, 2552, 3300},         {1, 1, 2552, 3300, 2552, 3300},
      {-5, -5, 2552, 3300, 2552, 3300},       {2, 2, 2, 2, 2, 2},
      {2551, 3301, 2551, 3301, 2552, 3301},   {21600, 31200, 21600, 31200, 21600, 31200},
      {21601, 31201, 2552, 3300, 2552, 3300}, {21599, 100, 21599, 100, 21600, 100}};
  // clang-format on
  for (const auto& c : cases) {
    StartPage(2552, 3300);
    int32_t width = c.width, height = c.height;
    EXPECT_EQ(session_->StartScanPage(&params_, &width, &height), 5);
    EXPECT_EQ(width, c.callerW) << c.width;
    EXPECT_EQ(height, c.callerH) << c.height;
    EXPECT_EQ(device_->calls, Calls{StartCall(c.deviceW, c.deviceH)}) << c.width;
    width = height = 0;  // the session kept the rounded size, not the device's changes
    session_->StartScanPage(&params_, &width, &height);
    EXPECT_EQ(device_->calls.back(), StartCall(c.deviceW, c.deviceH)) << c.width;
  }
}

TEST_F(SessionTest, GetImageBlockCropsToANarrowerWidth) {
  // clang-format off
  const struct { int16_t type, sampleSize; int32_t width, stride, count; int16_t deviceResult; }
  cases[] = {
      {1, 1, 1000, 1024, 1000, 5}, {1, 2, 1000, 2048, 2000, 5}, {3, 1, 1000, 1024, 1000, 5},
      {64, 2, 999, 2048, 1998, 5}, {2, 1, 1000, 128, 125, 5},   {2, 2, 1007, 128, 125, 5},
      {4, 1, 1000, 3072, 3000, 5}, {4, 2, 1000, 6144, 6000, 5}, {0, 1, 10, 3072, 30, 5},
      {1, 1, 0, 1024, 0, 5},
      {1, 1, 1000, 1024, 1000, 3}};  // a short block: still every line copied
  // clang-format on
  constexpr int16_t kLines = 5;
  for (const auto& c : cases) {
    StartPage(1024, 3000);
    params_.values[0] = c.type;
    params_.values[1] = c.sampleSize;
    device_->fillStride = c.stride;
    device_->blockResult = c.deviceResult;
    std::vector<uint8_t> dest(kLines * c.count + 64, 0xEE);
    EXPECT_EQ(session_->GetImageBlock(dest.data(), kLines, &params_, c.width, 3000),
              c.deviceResult);
    EXPECT_EQ(device_->calls, Calls{"GetImageBlock 5 1024 3000 0"});
    for (int32_t line = 0; line < kLines; ++line) {
      for (int32_t x = 0; x < c.count; ++x) {
        ASSERT_EQ(dest[line * c.count + x], RecordingDevice::PageByte(line * c.stride + x))
            << "type " << c.type << " line " << line << " byte " << x;
      }
    }
    EXPECT_EQ(std::count(dest.end() - 64, dest.end(), 0xEE), 64);
  }
  // A crop wider than the page, of a negative width or line count: refused untouched.
  StartPage(1024, 3000);
  uint8_t dest[16] = {};
  EXPECT_EQ(session_->GetImageBlock(dest, 5, &params_, 1025, 3000), -2);
  EXPECT_EQ(session_->GetImageBlock(dest, 5, &params_, -8, 3000), -2);
  EXPECT_EQ(session_->GetImageBlock(dest, -1, &params_, 8, 3000), -2);
  EXPECT_TRUE(device_->calls.empty());
}

TEST_F(SessionTest, CalibrationIsNeededWithoutALongEnoughCheckFile) {
  const std::string path =
      HostPath(std::string(g_model->GetCalibrationDir()) + "PixOffTrueGray26.dat");
  // -1: no file, -2: a directory of that name.
  for (auto [size, needed] : {std::pair{-1, 1}, {-2, 1}, {0, 1}, {99, 1}, {100, 0}, {4096, 0}}) {
    std::filesystem::remove_all(path);
    if (size == -2) std::filesystem::create_directory(path);
    if (size >= 0) std::ofstream(path, std::ios::binary) << std::string(size_t(size), 'x');
    EXPECT_EQ(session_->IsCalibrationNeeded(), needed) << size;
    g_deviceLink->SetOpened(0);  // the check does not need the scanner
    EXPECT_EQ(session_->IsCalibrationNeeded(), needed) << size;
    g_deviceLink->SetOpened(1);
  }
}

void LF_CALLBACK HostCallback(void*, int, int) {}

// Every operation on an open scanner (from idle) and after the channel was
// closed under the living session: its result, the device calls it made and
// the activity codes the device saw meanwhile.
struct OperationCase {
  const char* name;
  std::function<long(ScanSession&)> call;
  long open;
  Calls openCalls;
  std::vector<int32_t> during;
  long closed;
  Calls closedCalls;
  int32_t after = kActivityIdle;  // on the open scanner
};

std::vector<OperationCase> AllOperations() {
  using S = ScanSession&;
  static ScanParamBlock p = Window(1, 300, 0, 100, 0, 100);
  static uint8_t buf[256];
  static uint16_t ids[3];
  static int32_t w, h;
  static char text[128];
  const Calls readId = {"ReadEEPROMInfo 1"};
  const Calls writeId = {"WriteEEPROMInfo 4660 22136 a b c 2"};
  // clang-format off
  return {
      {"Clean", [](S s) { return s.Clean(); }, 1, {"Clean", "FeedBack"}, {4, 4}, 0, {}},
      {"IsCalibrationNeeded", [](S s) { return s.IsCalibrationNeeded(); }, 1, {}, {}, 1, {}},
      {"CalibrateScanner", [](S s) { return s.CalibrateScanner(0); }, 11, {"FeedBack"}, {2}, 0, {}},
      {"StartScan", [](S s) { return s.StartScan(); }, 1, {}, {}, -7, {}},
      {"FeedOn", [](S s) { return s.FeedOn(), 0; }, 0, {"FeedOn"}, {3}, 0, {}},
      {"FeedOn_S", [](S s) { return s.FeedOn_S(-1), 0; }, 0, {"FeedOnFor 4294967295"}, {3}, 0, {}},
      {"GetPageDimension", [](S s) { return s.GetPageDimension(&p, &w, &h); }, 1, {}, {}, 0, {}},
      {"StartScanPage", [](S s) { return w = h = 100, s.StartScanPage(&p, &w, &h); },
       5, {StartCall(100, 100)}, {1}, 0, {}, kActivityScanningPage},
      {"GetImageBlock", [](S s) { return s.GetImageBlock(buf, 4, &p, 100, 100); },
       5, {"GetImageBlock 4 100 100 0"}, {0}, -7, {}},
      {"GetImageBlockDual", [](S s) { return s.GetImageBlockDual(buf, buf, 4, 10, 20, 30); },
       9, {"GetImageBlockDual 4 10 20 30 0"}, {0}, -7, {}},
      {"FeedPage", [](S s) { return s.FeedPage(); }, 1, {"FeedPage"}, {3}, 0, {}},
      {"EndScanPage", [](S s) { return s.EndScanPage(), 0; }, 0, {"EndScanPage"}, {0}, 0, {}},
      {"EndScan", [](S s) { return s.EndScan(), 0; }, 0, {"EndScan"}, {0}, 0, {}},
      {"FeedBack", [](S s) { return s.FeedBack(); }, 1, {"FeedBack"}, {3}, 0, {}},
      {"FeedBack_S", [](S s) { return s.FeedBack_S(250); }, 1, {"FeedBackFor 250"}, {3}, 0, {}},
      {"Beeps", [](S s) { return s.Beeps(); }, 1, {"Beeps"}, {5}, 0, {}},
      {"IsButtonDown", [](S s) { return s.IsButtonDown(); }, 3, {"GetPressedButton"}, {0}, -7, {}},
      {"StopFeed", [](S s) { return s.StopFeed(); }, 1, {"StopFeed"}, {0}, 0, {}},
      {"GetVidPid", [](S s) { ids[0] = ids[1] = 0xAAAA; s.GetVidPid(&ids[0], &ids[1]);
                              return ids[0] * 65536L + ids[1]; },
       0x2E1A4C71L, readId, {6}, 0xAAAAAAAAL, {}},
      {"VerifyID", [](S s) { return s.VerifyID(0x2E1A, 0x4C71); }, 1, {}, {}, 1, {}},
      {"GetSN", [](S s) { std::memset(text, 0, sizeof text); s.GetSN(text);
                          return long(std::strlen(text)); }, 7, readId, {6}, 0, {}},
      {"ResetHardware", [](S s) { return s.ResetHardware(), 0; }, 0, {"ResetHardware"}, {0}, 0,
       {"ResetHardware"}},
      {"IsCapableOf", [](S s) { return s.IsCapableOf(1101); }, 1, {}, {}, 1, {}},
      {"GetFilterNames", [](S s) { return s.GetFilterNames(text); }, 1, {}, {}, 1, {}},
      {"ResolutionInfo", [](S s) { return s.ResolutionInfo(&ids[0], &ids[1], &ids[2]); }, 1, {}, {},
       1, {}},
      {"AdjustChannelValue",
       [](S s) { return s.AdjustChannelValue(buf, 0, 0, 10, 255, 0), buf[200]; },
       200, {}, {}, 200, {}},
      {"AbortScan", [](S s) { return g_keepScanning = 1, s.AbortScan(), g_keepScanning; },
       0, {}, {}, 0, {}},
      {"SetFunc", [](S s) { return s.SetFunc(&HostCallback), g_scanCallback == &HostCallback; }, 1,
       {}, {}, 1, {}},
      {"ScanImageDual", [](S s) { return s.ScanImageDual(&p, "C:\\a", "C:\\b", &w, &h); },
       0, {}, {}, 0, {}},
      {"ReadEEPROMInfo, pass in mixed case",
       [](S s) { return s.ReadEEPROMInfo(&ids[0], &ids[1], buf, buf, buf, 1, "tw64r_Balden"); },
       7, readId, {0}, 7, readId},
      {"ReadEEPROMInfo, one letter changed",
       [](S s) { return s.ReadEEPROMInfo(&ids[0], &ids[1], buf, buf, buf, 1, "TW64R_BALDEM"); },
       0, {}, {}, 0, {}},
      {"WriteEEPROMInfo",
       [](S s) { return s.WriteEEPROMInfo(0x1234, 0x5678, "a", "b", "c", 2, "TW64R_BALDEN"); },
       7, writeId, {0}, 7, writeId},
      {"WriteEEPROMInfo, trailing blank",
       [](S s) { return s.WriteEEPROMInfo(1, 2, "a", "b", "c", 2, "TW64R_BALDEN "); },
       0, {}, {}, 0, {}},
      {"WriteEEPROMInfo, no pass",
       [](S s) { return s.WriteEEPROMInfo(1, 2, "a", "b", "c", 2, nullptr); }, 0, {}, {}, 0, {}},
      {"ReverseMotor", [](S s) { return s.ReverseMotor(0), 0; }, 0, {"ReverseMotor 0"}, {0}, 0, {}},
      {"IsPaperOn", [](S s) { return s.IsPaperOn(); }, 1, {"IsPaperOn"}, {0}, 0, {}},
      {"SetDualScan", [](S s) { s.SetDualScan(1); const long flag = g_dualScan; g_dualScan = 0;
                                return flag; }, 1, {}, {}, 1, {}},
      {"IndicatorOn", [](S s) { return s.IndicatorOn(2), 0; }, 0, {"IndicatorOn 2"}, {0}, 0, {}},
      {"IndicatorOff", [](S s) { return s.IndicatorOff(1), 0; }, 0, {"IndicatorOff 1"}, {0}, 0, {}},
  };
  // clang-format on
}

TEST_F(SessionTest, EveryOperationOpenAndAfterTheChannelClosedUnderTheSession) {
  for (const OperationCase& op : AllOperations()) {
    device_->calls.clear();
    device_->activities.clear();
    session_->SetActivity(kActivityIdle);
    EXPECT_EQ(op.call(*session_), op.open) << op.name;
    EXPECT_EQ(device_->calls, op.openCalls) << op.name;
    EXPECT_EQ(device_->activities, op.during) << op.name;
    EXPECT_EQ(session_->GetActivity(), op.after) << op.name;
  }
  EXPECT_EQ(calibrator_->activityDuring, kActivityCalibrating);
  calibrator_->activityDuring = -1;
  g_deviceLink->SetOpened(0);
  for (const OperationCase& op : AllOperations()) {
    device_->calls.clear();
    session_->SetActivity(kActivityScanningPage);
    EXPECT_EQ(op.call(*session_), op.closed) << op.name << " closed";
    EXPECT_EQ(device_->calls, op.closedCalls) << op.name << " closed";
    EXPECT_EQ(session_->GetActivity(), kActivityScanningPage) << op.name << " changed the code";
  }
  EXPECT_EQ(calibrator_->activityDuring, -1) << "the calibrator ran on a closed channel";
}

// Paper moves inside another activity leave its code alone; the others take
// over and end at idle.
TEST_F(SessionTest, ActivityCodesNest) {
  ScanSession& s = *session_;
  // clang-format off
  const struct { int32_t before; std::function<void()> op; std::vector<int32_t> during;
                 int32_t after; } cases[] = {
      {1, [&] { s.FeedBack(); }, {1}, 1},    {1, [&] { s.FeedOn(); }, {1}, 1},
      {4, [&] { s.FeedPage(); }, {4}, 4},    {1, [&] { s.StopFeed(); }, {1}, 0},
      {1, [&] { s.Beeps(); }, {5}, 0},       {1, [&] { s.Clean(); }, {4, 4}, 0},
      {1, [&] { s.EndScanPage(); }, {1}, 0}, {1, [&] { s.EndScan(); }, {1}, 0}};
  // clang-format on
  for (const auto& c : cases) {
    device_->activities.clear();
    session_->SetActivity(c.before);
    c.op();
    EXPECT_EQ(device_->activities, c.during) << &c - cases;
    EXPECT_EQ(session_->GetActivity(), c.after) << &c - cases;
  }
}

// GetSN's serial lands in the host's buffer (checked with every operation).
TEST_F(SessionTest, IdentityReadsHandTheDeviceZeroedTexts) {
  uint16_t vendor = 0, product = 0;
  char serial[47] = {};
  session_->GetVidPid(&vendor, &product);
  EXPECT_TRUE(device_->textsZeroed);
  device_->textsZeroed = false;
  session_->GetSN(serial);
  EXPECT_TRUE(device_->textsZeroed);
}

TEST_F(SessionTest, FixedQueries) {
  for (int code : {1000, 1001, 1005, 1101}) EXPECT_EQ(session_->IsCapableOf(int16_t(code)), 1);
  for (int code : {999, 1002, 1006, 1100, 1102, 0, -1000}) {
    EXPECT_EQ(session_->IsCapableOf(int16_t(code)), 0) << code;
  }
  for (auto [vendor, product] : {std::pair{0x2E1B, 0x4C71}, {0x2E1A, 0x4C70}, {0x4C71, 0x2E1A}}) {
    EXPECT_EQ(session_->VerifyID(uint16_t(vendor), uint16_t(product)), 0) << vendor << product;
  }
  uint16_t first = 0, second = 0, third = 0;
  EXPECT_EQ(session_->ResolutionInfo(&first, &second, &third), 1);
  EXPECT_EQ(std::vector<uint16_t>({first, second, third}), std::vector<uint16_t>({9600, 100, 50}));
  char names[120];
  std::memset(names, 0x5A, sizeof names);
  EXPECT_EQ(session_->GetFilterNames(names), 1);
  const char expected[] = "Descreen\0Sharpen\0Blur";
  EXPECT_EQ(std::memcmp(names, expected, sizeof expected), 0);
  EXPECT_EQ(std::count(names + sizeof expected, names + 100, 0), 100 - long(sizeof expected));
  EXPECT_EQ(names[100], 0x5A) << "wrote past the 100 bytes";
}

// The tone curve as its steps read, one literal step after another.
std::vector<uint8_t> ReferenceTone(int b, int c, int gamma, int high, int low) {
  b = std::clamp(b, -100, 100);
  c = std::clamp(c, -100, 100);
  high = high < 2 ? 1 : std::min(high, 255);
  low = low < 1 ? 0 : std::min(low, 254);
  if (low >= high) high = low + 1;
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) {
    int v = static_cast<int>(255 * std::pow(i / 255.0, 10.0 / gamma) + 0.5) + b * 31 / 100;
    if (v < 0) {
      v = 0;
    } else if (v > 255) {
      v = 255;
    } else {
      v = v + v * c / 400;
      if (v > 255) v = 255;
      if (v < 1) v = 0;
    }
    table[i] = static_cast<uint8_t>((std::clamp(v, low, high) - low) * 255 / (high - low));
  }
  return table;
}

std::vector<uint8_t> Tone(ScanSession& s, int b, int c, int gamma, int high, int low) {
  std::vector<uint8_t> table(256, 0xCC);
  s.AdjustChannelValue(table.data(), int16_t(b), int16_t(c), int16_t(gamma), int16_t(high),
                       int16_t(low));
  return table;
}

TEST_F(SessionTest, AdjustChannelValueKnownTablesAndAGridAgainstTheSteps) {
  // clang-format off
  const struct { const char* what; int b, c, gamma, high, low;
                 std::vector<std::pair<int, int>> entries; } cases[] = {  // input level, output
      {"identity", 0, 0, 10, 255, 0, {{0, 0}, {1, 1}, {128, 128}, {254, 254}, {255, 255}}},
      {"shadow above highlight", 0, 0, 10, 100, 200, {{0, 0}, {200, 0}, {201, 255}, {255, 255}}},
      {"brightness 150 is 100", 150, 0, 10, 255, 0, {{0, 31}, {223, 254}, {224, 255}}},
      {"brightness -100", -100, 0, 10, 255, 0, {{30, 0}, {31, 0}, {32, 1}, {255, 224}}},
      {"contrast 100", 0, 100, 10, 255, 0, {{3, 3}, {4, 5}, {100, 125}, {203, 253}, {204, 255}}},
      {"contrast -100", 0, -100, 10, 255, 0, {{1, 1}, {4, 3}, {255, 192}}},
      {"gamma 2.0", 0, 0, 20, 255, 0, {{0, 0}, {64, 128}, {255, 255}}},
      {"highlight 0 is 1", 0, 0, 10, 0, 0, {{0, 0}, {1, 255}, {2, 255}}},
      {"window 50..150", 0, 0, 10, 150, 50, {{50, 0}, {100, 127}, {150, 255}, {151, 255}}},
      {"gamma 0: a step at the top", 0, 0, 0, 255, 0, {{0, 0}, {254, 0}, {255, 255}}},
      {"negative gamma", 0, 0, -10, 255, 0, {{0, 0}, {1, 255}, {255, 255}}}};
  // clang-format on
  for (const auto& c : cases) {
    const std::vector<uint8_t> table = Tone(*session_, c.b, c.c, c.gamma, c.high, c.low);
    for (const auto& [in, out] : c.entries) EXPECT_EQ(table[in], out) << c.what << " at " << in;
  }
  std::vector<uint8_t> identity(256);
  for (int i = 0; i < 256; ++i) identity[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Tone(*session_, 0, 0, 10, 255, 0), identity);
  for (int b : {-150, -100, -37, 0, 45, 100, 150}) {
    for (int c : {-150, -100, -51, 0, 33, 100, 200}) {
      for (int gamma : {1, 5, 10, 17, 25, 100}) {
        for (int high : {-5, 1, 2, 100, 200, 255, 300}) {
          for (int low : {-5, 0, 1, 50, 200, 254, 300}) {
            ASSERT_EQ(Tone(*session_, b, c, gamma, high, low),
                      ReferenceTone(b, c, gamma, high, low))
                << b << " " << c << " " << gamma << " " << high << " " << low;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace lf
