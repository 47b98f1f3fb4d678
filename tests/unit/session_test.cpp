// The scan session: page size agreement, the page flow's size rules and
// cropping, the calibration check, the activity code the connection check
// relies on, the answers for a closed channel, and the pure queries.
#include "session/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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

// A scan device that records every call the session makes ("Name arg arg"),
// with the session's activity code at that moment, and answers as told.
class RecordingDevice final : public ScanDevice {
 public:
  Calls calls;
  std::vector<int32_t> activities;
  int32_t fillStride = 0;  // bytes per line that GetImageBlock writes
  int16_t blockResult = 5;
  uint8_t* lastTexts[3] = {};
  bool textsZeroed = false;
  uint16_t idsOnEntry[2] = {};

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
    Record("GetImageBlockDual", lines, fourth, width, sixth, last);
    return 9;
  }
  int WriteEEPROMInfo(uint16_t vendor, uint16_t product, const char* a, const char* b,
                      const char* c, int32_t memType) override {
    return Record("WriteEEPROMInfo", vendor, product, a, b, c, memType), 7;
  }
  int ReadEEPROMInfo(uint16_t* vendor, uint16_t* product, uint8_t* a, uint8_t* b, uint8_t* c,
                     int32_t memType) override {
    Record("ReadEEPROMInfo", memType);
    idsOnEntry[0] = *vendor;
    idsOnEntry[1] = *product;
    lastTexts[0] = a;
    lastTexts[1] = b;
    lastTexts[2] = c;
    auto zero = [](const uint8_t* text) {
      return std::all_of(text, text + 47, [](uint8_t x) { return x == 0; });
    };
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

// Like the sheet calibration, it feeds the sheet back through the session
// between its passes.
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

  // Agrees a page size with the session the way a host does, then forgets
  // the calls that took.
  void StartPage(int32_t width, int32_t height) {
    ASSERT_EQ(session_->StartScanPage(&params_, &width, &height), 5);
    device_->calls.clear();
    device_->activities.clear();
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
  const struct {
    const char* what;
    ScanParamBlock block;
    int32_t width, height;
    int result;
  } cases[] = {
      // clang-format off
      {"line art rounds to 32", Window(2, 300, 0, 850, 0, 1100), 2560, 3300, 1},
      {"colour rounds to 4", Window(4, 300, 0, 850, 0, 1100), 2552, 3300, 1},
      {"gray rounds to 4", Window(1, 300, 0, 850, 0, 1100), 2552, 3300, 1},
      {"a multiple of 32 stays", Window(2, 320, 0, 800, 0, 100), 2560, 320, 1},
      {"right edge 1000 is 900", Window(1, 300, 0, 1000, 0, 100), 2700, 300, 1},
      {"negative left and top are 0", Window(1, 300, -50, 100, -100, 100), 300, 300, 1},
      {"truncates before rounding", Window(1, 301, 0, 850, 0, 1100), 2560, 3311, 1},
      {"zero width", Window(1, 300, 500, 500, 0, 100), 0, 300, 0},
      {"zero height", Window(4, 300, 0, 850, 200, 200), 2552, 0, 0},
      {"negative width rounds up", Window(2, 300, 600, 500, 0, 100), -288, 300, 0},
      {"negative height truncates toward zero", Window(1, 150, 1, 0, 1, 0), 0, -1, 0},
      // clang-format on
  };
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
}

TEST_F(SessionTest, PageDimensionSelectsTheProfileByResolution) {
  const int16_t resolutions[] = {-5, 0, 300, 301, 600, 601, 2400};
  const int32_t profiles[] = {300, 300, 300, 600, 600, 1200, 1200};
  for (size_t i = 0; i < std::size(resolutions); ++i) {
    ScanParamBlock block = Window(1, resolutions[i], 0, 100, 0, 100);
    int32_t width = 0, height = 0;
    session_->GetPageDimension(&block, &width, &height);
    EXPECT_EQ(g_settings->GetResolution(), profiles[i]) << resolutions[i];
  }
}

TEST_F(SessionTest, StartScanPageSizeRules) {
  const struct {
    int32_t width, height;     // the host's
    int32_t callerW, callerH;  // what the host holds afterwards
    int32_t deviceW, deviceH;  // what the device and the session get
  } cases[] = {
      // clang-format off
      {0, 0, 2552, 3300, 2552, 3300},         {1, 1, 2552, 3300, 2552, 3300},
      {-5, -5, 2552, 3300, 2552, 3300},       {2, 2, 2, 2, 2, 2},
      {2551, 3301, 2551, 3301, 2552, 3301},   {21600, 31200, 21600, 31200, 21600, 31200},
      {21601, 31201, 2552, 3300, 2552, 3300}, {21599, 100, 21599, 100, 21600, 100},
      // clang-format on
  };
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
  const struct {
    int16_t type, sampleSize;
    int32_t width, stride, count;
    int16_t deviceResult;
  } cases[] = {
      // clang-format off
      {1, 1, 1000, 1024, 1000, 5}, {1, 2, 1000, 2048, 2000, 5}, {3, 1, 1000, 1024, 1000, 5},
      {64, 2, 999, 2048, 1998, 5}, {2, 1, 1000, 128, 125, 5},   {2, 2, 1007, 128, 125, 5},
      {4, 1, 1000, 3072, 3000, 5}, {4, 2, 1000, 6144, 6000, 5}, {0, 1, 10, 3072, 30, 5},
      {1, 1, 0, 1024, 0, 5},
      {1, 1, 1000, 1024, 1000, 3},  // a short block: still every line copied
      // clang-format on
  };
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
    EXPECT_TRUE(std::all_of(dest.end() - 64, dest.end(), [](uint8_t b) { return b == 0xEE; }));
  }
}

TEST_F(SessionTest, GetImageBlockRefusesACropItCannotMake) {
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
  const int sizes[] = {-1, -2, 0, 99, 100, 4096};  // -1: no file, -2: a directory of that name
  const int needed[] = {1, 1, 1, 1, 0, 0};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::filesystem::remove_all(path);
    if (sizes[i] == -2) std::filesystem::create_directory(path);
    if (sizes[i] >= 0) std::ofstream(path, std::ios::binary) << std::string(sizes[i], 'x');
    EXPECT_EQ(session_->IsCalibrationNeeded(), needed[i]) << sizes[i];
    g_deviceLink->SetOpened(0);  // the check does not need the scanner
    EXPECT_EQ(session_->IsCalibrationNeeded(), needed[i]) << sizes[i];
    g_deviceLink->SetOpened(1);
  }
}

TEST_F(SessionTest, ActivityCodeAroundOperations) {
  int32_t w = 100, h = 100;
  uint16_t ids[2];
  char text[48] = {};
  const struct {
    const char* what;
    int32_t before;
    std::function<void()> op;
    Calls calls;
    std::vector<int32_t> during;
    int32_t after;
  } cases[] = {
      // clang-format off
      {"FeedOn", 0, [&] { session_->FeedOn(); }, {"FeedOn"}, {3}, 0},
      {"FeedOn_S", 0, [&] { session_->FeedOn_S(300); }, {"FeedOnFor 300"}, {3}, 0},
      {"FeedPage", 0, [&] { session_->FeedPage(); }, {"FeedPage"}, {3}, 0},
      {"FeedBack", 0, [&] { session_->FeedBack(); }, {"FeedBack"}, {3}, 0},
      {"FeedBack_S", 0, [&] { session_->FeedBack_S(50); }, {"FeedBackFor 50"}, {3}, 0},
      {"FeedBack in a page scan", 1, [&] { session_->FeedBack(); }, {"FeedBack"}, {1}, 1},
      {"FeedOn in a page scan", 1, [&] { session_->FeedOn(); }, {"FeedOn"}, {1}, 1},
      {"FeedPage while cleaning", 4, [&] { session_->FeedPage(); }, {"FeedPage"}, {4}, 4},
      {"StopFeed ends the page", 1, [&] { session_->StopFeed(); }, {"StopFeed"}, {1}, 0},
      {"Beeps", 0, [&] { session_->Beeps(); }, {"Beeps"}, {5}, 0},
      {"Beeps in a page scan", 1, [&] { session_->Beeps(); }, {"Beeps"}, {5}, 0},
      {"Clean", 0, [&] { session_->Clean(); }, {"Clean", "FeedBack"}, {4, 4}, 0},
      {"Clean in a page scan", 1, [&] { session_->Clean(); }, {"Clean", "FeedBack"}, {4, 4}, 0},
      {"EndScanPage", 1, [&] { session_->EndScanPage(); }, {"EndScanPage"}, {1}, 0},
      {"EndScan", 1, [&] { session_->EndScan(); }, {"EndScan"}, {1}, 0},
      {"StartScanPage", 0, [&] { session_->StartScanPage(&params_, &w, &h); },
       {StartCall(100, 100)}, {1}, 1},
      {"GetVidPid", 0, [&] { session_->GetVidPid(&ids[0], &ids[1]); }, {"ReadEEPROMInfo 1"},
       {6}, 0},
      {"GetSN", 0, [&] { session_->GetSN(text); }, {"ReadEEPROMInfo 1"}, {6}, 0},
      {"CalibrateScanner", 0, [&] { session_->CalibrateScanner(0); }, {"FeedBack"}, {2}, 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    device_->calls.clear();
    device_->activities.clear();
    session_->SetActivity(c.before);
    c.op();
    EXPECT_EQ(device_->calls, c.calls) << c.what;
    EXPECT_EQ(device_->activities, c.during) << c.what;
    EXPECT_EQ(session_->GetActivity(), c.after) << c.what;
  }
  EXPECT_EQ(calibrator_->activityDuring, kActivityCalibrating);
}

void LF_CALLBACK HostCallback(void*, int, int) {}

// Every operation, on an open scanner and after the channel was closed
// under the living session: its result and the device calls it made.
struct OperationCase {
  const char* name;
  std::function<long(ScanSession&)> call;
  long open;
  Calls openCalls;
  long closed;
  Calls closedCalls;
};

std::vector<OperationCase> AllOperations() {
  using S = ScanSession&;
  static ScanParamBlock p = Window(1, 300, 0, 100, 0, 100);
  static uint8_t buf[256];
  static uint16_t ids[3];
  static int32_t w, h;
  static char text[128];
  const Calls none;
  const Calls readId = {"ReadEEPROMInfo 1"}, writeId = {"WriteEEPROMInfo 4660 22136 a b c 2"};
  // clang-format off
  return {
      {"Clean", [](S s) { return s.Clean(); }, 1, {"Clean", "FeedBack"}, 0, none},
      {"IsCalibrationNeeded", [](S s) { return s.IsCalibrationNeeded(); }, 1, none, 1, none},
      {"CalibrateScanner", [](S s) { return s.CalibrateScanner(0); }, 11, {"FeedBack"}, 0, none},
      {"StartScan", [](S s) { return s.StartScan(); }, 1, none, -7, none},
      {"FeedOn", [](S s) { return s.FeedOn(), 0; }, 0, {"FeedOn"}, 0, none},
      {"FeedOn_S", [](S s) { return s.FeedOn_S(-1), 0; }, 0, {"FeedOnFor 4294967295"}, 0, none},
      {"GetPageDimension", [](S s) { return s.GetPageDimension(&p, &w, &h); }, 1, none, 0, none},
      {"StartScanPage", [](S s) { return w = h = 100, s.StartScanPage(&p, &w, &h); },
       5, {StartCall(100, 100)}, 0, none},
      {"GetImageBlock", [](S s) { return s.GetImageBlock(buf, 4, &p, 100, 100); },
       5, {"GetImageBlock 4 100 100 0"}, -7, none},
      {"GetImageBlockDual", [](S s) { return s.GetImageBlockDual(buf, buf, 4, 10, 20, 30); },
       9, {"GetImageBlockDual 4 10 20 30 0"}, -7, none},
      {"FeedPage", [](S s) { return s.FeedPage(); }, 1, {"FeedPage"}, 0, none},
      {"EndScanPage", [](S s) { return s.EndScanPage(), 0; }, 0, {"EndScanPage"}, 0, none},
      {"EndScan", [](S s) { return s.EndScan(), 0; }, 0, {"EndScan"}, 0, none},
      {"FeedBack", [](S s) { return s.FeedBack(); }, 1, {"FeedBack"}, 0, none},
      {"FeedBack_S", [](S s) { return s.FeedBack_S(250); }, 1, {"FeedBackFor 250"}, 0, none},
      {"Beeps", [](S s) { return s.Beeps(); }, 1, {"Beeps"}, 0, none},
      {"IsButtonDown", [](S s) { return s.IsButtonDown(); }, 3, {"GetPressedButton"}, -7, none},
      {"StopFeed", [](S s) { return s.StopFeed(); }, 1, {"StopFeed"}, 0, none},
      {"GetVidPid", [](S s) { ids[0] = ids[1] = 0xAAAA; s.GetVidPid(&ids[0], &ids[1]);
                              return ids[0] * 65536L + ids[1]; },
       0x2E1A4C71L, readId, 0xAAAAAAAAL, none},
      {"VerifyID", [](S s) { return s.VerifyID(0x2E1A, 0x4C71); }, 1, none, 1, none},
      {"GetSN", [](S s) { std::memset(text, 0, sizeof text); s.GetSN(text);
                          return long(std::strlen(text)); },
       7, readId, 0, none},
      {"ResetHardware", [](S s) { return s.ResetHardware(), 0; },
       0, {"ResetHardware"}, 0, {"ResetHardware"}},
      {"IsCapableOf", [](S s) { return s.IsCapableOf(1101); }, 1, none, 1, none},
      {"GetFilterNames", [](S s) { return s.GetFilterNames(text); }, 1, none, 1, none},
      {"ResolutionInfo", [](S s) { return s.ResolutionInfo(&ids[0], &ids[1], &ids[2]); },
       1, none, 1, none},
      {"AdjustChannelValue",
       [](S s) { return s.AdjustChannelValue(buf, 0, 0, 10, 255, 0), buf[200]; },
       200, none, 200, none},
      {"AbortScan", [](S s) { return g_keepScanning = 1, s.AbortScan(), g_keepScanning; },
       0, none, 0, none},
      {"SetFunc", [](S s) { return s.SetFunc(&HostCallback), g_scanCallback == &HostCallback; },
       1, none, 1, none},
      {"Scan", [](S s) { return s.Scan(1, 300, 0, 50, nullptr, 0, 360, 0, 220), 0; },
       0, none, 0, none},
      {"ScanImage", [](S s) { return s.ScanImage(&p, "C:\\x.bmp", &w, &h); }, 0, none, 0, none},
      {"ScanImageDual", [](S s) { return s.ScanImageDual(&p, "C:\\a", "C:\\b", &w, &h); },
       0, none, 0, none},
      {"ReadEEPROMInfo, pass in mixed case",
       [](S s) { return s.ReadEEPROMInfo(&ids[0], &ids[1], buf, buf, buf, 1, "tw64r_Balden"); },
       7, readId, 7, readId},
      {"ReadEEPROMInfo, one letter changed",
       [](S s) { return s.ReadEEPROMInfo(&ids[0], &ids[1], buf, buf, buf, 1, "TW64R_BALDEM"); },
       0, none, 0, none},
      {"WriteEEPROMInfo",
       [](S s) { return s.WriteEEPROMInfo(0x1234, 0x5678, "a", "b", "c", 2, "TW64R_BALDEN"); },
       7, writeId, 7, writeId},
      {"WriteEEPROMInfo, trailing blank",
       [](S s) { return s.WriteEEPROMInfo(1, 2, "a", "b", "c", 2, "TW64R_BALDEN "); },
       0, none, 0, none},
      {"WriteEEPROMInfo, no pass",
       [](S s) { return s.WriteEEPROMInfo(1, 2, "a", "b", "c", 2, nullptr); }, 0, none, 0, none},
      {"ReverseMotor", [](S s) { return s.ReverseMotor(0), 0; }, 0, {"ReverseMotor 0"}, 0, none},
      {"IsPaperOn", [](S s) { return s.IsPaperOn(); }, 1, {"IsPaperOn"}, 0, none},
      {"SetDualScan", [](S s) { s.SetDualScan(1); const long flag = g_dualScan; g_dualScan = 0;
                                return flag; },
       1, none, 1, none},
      {"IndicatorOn", [](S s) { return s.IndicatorOn(2), 0; }, 0, {"IndicatorOn 2"}, 0, none},
      {"IndicatorOff", [](S s) { return s.IndicatorOff(1), 0; }, 0, {"IndicatorOff 1"}, 0, none},
  };
  // clang-format on
}

TEST_F(SessionTest, EveryOperationOnAnOpenScanner) {
  for (const OperationCase& op : AllOperations()) {
    device_->calls.clear();
    session_->SetActivity(kActivityIdle);
    EXPECT_EQ(op.call(*session_), op.open) << op.name;
    EXPECT_EQ(device_->calls, op.openCalls) << op.name;
  }
}

TEST_F(SessionTest, EveryOperationAfterTheChannelClosedUnderTheSession) {
  g_deviceLink->SetOpened(0);
  for (const OperationCase& op : AllOperations()) {
    device_->calls.clear();
    session_->SetActivity(kActivityScanningPage);
    EXPECT_EQ(op.call(*session_), op.closed) << op.name;
    EXPECT_EQ(device_->calls, op.closedCalls) << op.name;
    EXPECT_EQ(session_->GetActivity(), kActivityScanningPage) << op.name << " changed the code";
  }
  EXPECT_EQ(calibrator_->activityDuring, -1) << "the calibrator ran on a closed channel";
}

TEST_F(SessionTest, IdentityReadsHandTheDeviceZeroedBuffers) {
  uint16_t vendor = 0, product = 0;
  session_->GetVidPid(&vendor, &product);
  EXPECT_EQ(vendor, 0x2E1A);
  EXPECT_EQ(product, 0x4C71);
  EXPECT_TRUE(device_->textsZeroed);
  EXPECT_NE(device_->lastTexts[2], nullptr);

  char serial[47] = {};
  session_->GetSN(serial);
  EXPECT_EQ(device_->lastTexts[2], reinterpret_cast<uint8_t*>(serial));
  EXPECT_EQ(device_->idsOnEntry[0], 0);
  EXPECT_EQ(device_->idsOnEntry[1], 0);
  EXPECT_TRUE(device_->textsZeroed);
  EXPECT_EQ(std::string(serial), "SN-0042");
}

TEST_F(SessionTest, FixedQueries) {
  const int16_t codes[] = {1000, 1001, 1005, 1101, 999, 1002, 1006, 1100, 1102, 0, -1000};
  const int capable[] = {1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < std::size(codes); ++i) {
    EXPECT_EQ(session_->IsCapableOf(codes[i]), capable[i]) << codes[i];
  }
  EXPECT_EQ(session_->VerifyID(0x2E1A, 0x4C71), 1);
  EXPECT_EQ(session_->VerifyID(0x2E1B, 0x4C71), 0);
  EXPECT_EQ(session_->VerifyID(0x2E1A, 0x4C70), 0);
  EXPECT_EQ(session_->VerifyID(0x4C71, 0x2E1A), 0);

  uint16_t first = 0, second = 0, third = 0;
  EXPECT_EQ(session_->ResolutionInfo(&first, &second, &third), 1);
  EXPECT_EQ(std::vector<uint16_t>({first, second, third}), std::vector<uint16_t>({9600, 100, 50}));

  char names[120];
  std::memset(names, 0x5A, sizeof names);
  EXPECT_EQ(session_->GetFilterNames(names), 1);
  const char expected[] = "Descreen\0Sharpen\0Blur";
  EXPECT_EQ(std::memcmp(names, expected, sizeof expected), 0);
  EXPECT_TRUE(std::all_of(names + sizeof expected, names + 100, [](char c) { return c == 0; }));
  EXPECT_EQ(names[100], 0x5A) << "wrote past the 100 bytes";
}

// The tone curve as its steps read, one literal step after another.
std::vector<uint8_t> ReferenceTone(int b, int c, int gamma, int high, int low) {
  b = std::clamp(b, -100, 100);
  c = std::clamp(c, -100, 100);
  high = high < 2 ? 1 : std::min(high, 255);
  low = low < 1 ? 0 : std::min(low, 254);
  const int offset = b * 31 / 100;
  const double exponent = 10.0 / gamma;
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) {
    int v = static_cast<int>(255 * std::pow(i / 255.0, exponent) + 0.5) + offset;
    if (v < 0) {
      v = 0;
    } else if (v > 255) {
      v = 255;
    } else {
      v = v + v * c / 400;
      if (v > 255) v = 255;
      if (v < 1) v = 0;
    }
    if (low >= high) high = low + 1;
    v = std::clamp(v, low, high);
    table[i] = static_cast<uint8_t>((v - low) * 255 / (high - low));
  }
  return table;
}

std::vector<uint8_t> Tone(ScanSession& s, int b, int c, int gamma, int high, int low) {
  std::vector<uint8_t> table(256, 0xCC);
  s.AdjustChannelValue(table.data(), static_cast<int16_t>(b), static_cast<int16_t>(c),
                       static_cast<int16_t>(gamma), static_cast<int16_t>(high),
                       static_cast<int16_t>(low));
  return table;
}

TEST_F(SessionTest, AdjustChannelValueKnownTables) {
  const struct {
    const char* what;
    int b, c, gamma, high, low;
    std::vector<std::pair<int, int>> entries;  // input level, output
  } cases[] = {
      // clang-format off
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
      {"negative gamma", 0, 0, -10, 255, 0, {{0, 0}, {1, 255}, {255, 255}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> table = Tone(*session_, c.b, c.c, c.gamma, c.high, c.low);
    for (const auto& [in, out] : c.entries) EXPECT_EQ(table[in], out) << c.what << " at " << in;
  }
  std::vector<uint8_t> identity(256);
  for (int i = 0; i < 256; ++i) identity[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Tone(*session_, 0, 0, 10, 255, 0), identity);
}

TEST_F(SessionTest, AdjustChannelValueMatchesTheStepsOverAGrid) {
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
