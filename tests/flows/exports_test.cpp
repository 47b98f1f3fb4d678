// The exported interface as a host drives it, against the virtual scanner:
// what each export answers and what traffic reaches the scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "LF_v2270.h"
#include "api/api.h"
#include "calibration/calibration.h"
#include "channel/channel.h"
#include "models/models.h"
#include "session/session.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;
using sim::Model;

class ExportsTest : public test::SimTest {};

struct Forwarder {
  const char* name;
  std::function<long()> call;  // the export's result (0 for those without one)
  long noSession;
};

std::vector<Forwarder> AllForwarders() {
  static ScanParamBlock params{};
  static unsigned char buffer[4096];
  static unsigned short u16[3];
  static int width = 0, height = 0;
  static char text[128];
  auto v = [](std::function<void()> f) {
    return [f] {
      f();
      return 0L;
    };
  };
  return {
      {"IO_Clean", [] { return long{IO_Clean()}; }, 0},
      {"IO_IsCalibrationNeeded", [] { return long{IO_IsCalibrationNeeded()}; }, 0},
      {"IO_CalibrateScanner", [] { return long{IO_CalibrateScanner(0)}; }, 0},
      {"IO_StartScan", [] { return long{IO_StartScan()}; }, 0},
      {"IO_FeedOn", v([] { IO_FeedOn(); }), 0},
      {"IO_FeedOn_S", v([] { IO_FeedOn_S(100); }), 0},
      {"IO_GetPageDimension", [] { return long{IO_GetPageDimension(&params, &width, &height)}; },
       0},
      {"IO_StartScanPage", [] { return long{IO_StartScanPage(&params, &width, &height)}; }, 0},
      {"IO_GetImageBlock", [] { return long{IO_GetImageBlock(buffer, 4, &params, 100, 100)}; }, 0},
      {"IO_GetImageBlockDual",
       [] { return long{IO_GetImageBlockDual(buffer, buffer + 2048, 4, 0, 100, 0)}; }, 0},
      {"IO_FeedPage", [] { return long{IO_FeedPage()}; }, 0},
      {"IO_EndScanPage", v([] { IO_EndScanPage(); }), 0},
      {"IO_EndScan", v([] { IO_EndScan(); }), 0},
      {"IO_FeedBack", [] { return long{IO_FeedBack()}; }, 0},
      {"IO_FeedBack_S", [] { return long{IO_FeedBack_S(100)}; }, 0},
      {"IO_Beeps", [] { return long{IO_Beeps()}; }, 0},
      {"IO_IsButtonDown", [] { return long{IO_IsButtonDown()}; }, 0},
      {"IO_StopFeed", [] { return long{IO_StopFeed()}; }, 0},
      {"IO_GetVidPid", v([] { IO_GetVidPid(&u16[0], &u16[1]); }), 0},
      {"IO_VerifyID", [] { return long{IO_VerifyID(0x2E1A, 0x4C71)}; }, 0},
      {"IO_GetSN", v([] { IO_GetSN(text); }), 0},
      {"IO_ResetHardware", v([] { IO_ResetHardware(); }), 0},
      {"IO_IsCapableOf", [] { return long{IO_IsCapableOf(1000)}; }, 0},
      {"IO_GetFilterNames", [] { return long{IO_GetFilterNames(text)}; }, 0},
      {"IO_ResolutionInfo", [] { return long{IO_ResolutionInfo(&u16[0], &u16[1], &u16[2])}; }, 0},
      {"IO_AdjustChannelValue", v([] { IO_AdjustChannelValue(buffer, 0, 0, 10, 255, 0); }), 0},
      {"IO_AbortScan", v([] { IO_AbortScan(); }), 0},
      {"SetFunc", v([] { SetFunc(nullptr); }), 0},
      {"IO_Scan_New", v([] { IO_Scan_New(1, 300, 0, 50, nullptr, 0, 360, 0, 220); }), 0},
      {"IO_Scan", v([] { IO_Scan(1, 300, 0, 50, nullptr); }), 0},
      {"IO_ScanImage", [] { return long{IO_ScanImage(&params, "C:\\x.bmp", &width, &height)}; }, 0},
      {"IO_ScanImageDual",
       [] { return long{IO_ScanImageDual(&params, "C:\\a.bmp", "C:\\b.bmp", &width, &height)}; },
       0},
      {"IO_ReadEEPROMInfo",
       [] {
         return long{IO_ReadEEPROMInfo(&u16[0], &u16[1], buffer, buffer + 64, buffer + 128, 1,
                                       "TW64R_BALDEN")};
       },
       0},
      {"IO_WriteEEPROMInfo",
       [] { return long{IO_WriteEEPROMInfo(0x2E1A, 0x4C71, "a", "b", "c", 1, "TW64R_BALDEN")}; },
       0},
      {"IO_ReverseMotor", v([] { IO_ReverseMotor(0); }), 0},
      {"IO_IsPaperOn", [] { return long{IO_IsPaperOn()}; }, 0},
      {"IO_SetDualScan", v([] { IO_SetDualScan(1); }), 0},
      {"IO_FindFirstLine", v([] { IO_FindFirstLine(); }), 0},
  };
}

void ExpectNoSessionAnswers(const std::vector<std::string>& trace) {
  for (const Forwarder& f : AllForwarders()) EXPECT_EQ(f.call(), f.noSession) << f.name;
  EXPECT_EQ(g_dualScan, 0) << "IO_SetDualScan reached no session";
  EXPECT_TRUE(trace.empty()) << "first transfer: " << trace.front();
}

TEST_F(ExportsTest, ForwardersBeforeAnyScannerAnswerTheirFixedValues) {
  Plug(0);
  ExpectNoSessionAnswers(Trace());
}

TEST_F(ExportsTest, ForwardersAfterAFailedOpenAnswerTheirFixedValues) {
  EXPECT_EQ(IO_HasScanner("Lumaframe v2270"), 0);  // no device on the bus
  EXPECT_NE(g_model, nullptr);                      // the model stays, without a session
  EXPECT_EQ(g_session, nullptr);
  Plug(0);
  ExpectNoSessionAnswers(Trace());
}

TEST_F(ExportsTest, ForwardersAfterAnUnknownModelAnswerTheirFixedValues) {
  Plug(0);
  EXPECT_EQ(IO_HasScanner("Lumaframe v2270 "), 0);
  EXPECT_EQ(g_model, nullptr);
  EXPECT_EQ(g_session, nullptr);
  ExpectNoSessionAnswers(Trace());
}

TEST_F(ExportsTest, FixedAnswerExportsTouchNothing) {
  Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  ClearTraces();
  char scratch[16] = {};

  EXPECT_EQ(IO_GetPaperNames(scratch), 0);
  EXPECT_EQ(IO_GetPreviewResolution(scratch), 0);
  EXPECT_EQ(IO_IsButtonOn(), 0);
  EXPECT_EQ(IO_GetPatternData(scratch), 0);
  EXPECT_EQ(IO_HardwareCheck(), 0);
  EXPECT_EQ(IO_IsADFAttached(), 0);
  EXPECT_EQ(IO_IsSlideAttathed(), 0);
  EXPECT_EQ(IO_IsTransA4Attathed(), 0);
  EXPECT_EQ(IO_IsTransA5Attathed(), 0);
  IO_Step(scratch);
  IO_GetDriverName(scratch);
  IO_GetHalftonePattern(scratch);
  IO_ProcessPaperJam();
  IO_SetLED(1);
  IO_StartUp();

  EXPECT_TRUE(Trace().empty());
  EXPECT_EQ(fnOndrUSBDll(), 42);
  EXPECT_EQ(nOndrUSBDll, 0);
}

TEST_F(ExportsTest, HasScannerOpensTheScannerAndCreatesTheSession) {
  Plug(0);
  EXPECT_EQ(IO_HasScanner("lumaframe V2270"), 1);
  EXPECT_NE(dynamic_cast<LumaframeModel*>(g_model), nullptr);
  EXPECT_NE(g_session, nullptr);
  EXPECT_TRUE(IsChannelOpen());
  EXPECT_EQ(g_iniPath, std::string("C:\\halvorik\\scanner\\LF_v2270\\ondrusb.ini"));
}

TEST_F(ExportsTest, HasScannerWithoutTheSimulatorFindsNothing) {
  bus_.Uninstall();
  EXPECT_EQ(IO_HasScanner("Lumaframe v2270"), 0);
  EXPECT_EQ(g_session, nullptr);
  bus_.Install();
}

TEST_F(ExportsTest, ASecondCallTearsDownTheFirstModelAndSession) {
  Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  ASSERT_EQ(IO_HasScanner("KD409P"), 1);
  EXPECT_NE(dynamic_cast<KD409PModel*>(g_model), nullptr);
  EXPECT_NE(g_session, nullptr);

  EXPECT_EQ(IO_ODAScanner(), 0);
  EXPECT_EQ(g_model, nullptr);
  EXPECT_EQ(g_session, nullptr);
  EXPECT_EQ(g_settings, nullptr);
  EXPECT_EQ(g_deviceLink, nullptr);
  EXPECT_FALSE(IsChannelOpen());
}

TEST_F(ExportsTest, TheRegisterShadowSurvivesHasScanner) {
  Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  ASSERT_TRUE(WriteRegister(0x4A, 0x5A));
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  EXPECT_EQ(ShadowValue(0x4A), 0x5A);
  EXPECT_EQ(IO_ODAScanner(), 0);
  EXPECT_EQ(ShadowValue(0x4A), 0x5A);
}

TEST_F(ExportsTest, IsScannerConnectedReadsTheStatusRegister) {
  sim::VirtualScanner& scanner = Plug(0);
  scanner.SetRegister(0x101, 0x08);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  ClearTraces();

  EXPECT_EQ(IO_isScannerConnected(), 1);

  const std::vector<std::string> expected = {"CI 018e 0122 2 0855"};
  EXPECT_EQ(Trace(), expected);
}

TEST_F(ExportsTest, IsScannerConnectedStaysOffTheWireDuringAnOperation) {
  sim::VirtualScanner& scanner = Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  const uint64_t before = scanner.TransferCount();
  scanner.InjectFault(Fault::kUnplug);
  for (int32_t activity = kActivityScanningPage; activity <= kActivityReadingIdentity; ++activity) {
    g_session->SetActivity(activity);
    EXPECT_EQ(IO_isScannerConnected(), 1) << activity;
  }
  EXPECT_EQ(scanner.TransferCount(), before);
}

TEST_F(ExportsTest, IsScannerConnectedReopensALostScannerForTheBuildModel) {
  Plug(0);
  ASSERT_EQ(IO_HasScanner("KD211-U"), 1);
  bus_.Unplug(0);
  Plug(3);
  test::DebugLines debug;

  EXPECT_EQ(IO_isScannerConnected(), 1);

  EXPECT_EQ(debug.lines(), std::vector<std::string>{"IO_HasScanner ...... \n"});
  EXPECT_NE(dynamic_cast<LumaframeModel*>(g_model), nullptr) << "rebuilt for the build's model";
  EXPECT_NE(g_session, nullptr);
}

TEST_F(ExportsTest, IsScannerConnectedWithNothingToReopenAnswersZero) {
  Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  bus_.Unplug(0);
  test::DebugLines debug;

  EXPECT_EQ(IO_isScannerConnected(), 0);
  EXPECT_EQ(debug.lines().size(), 1u);
  EXPECT_EQ(g_session, nullptr);
}

TEST_F(ExportsTest, IsScannerConnectedWithABadMarkerReopens) {
  sim::VirtualScanner& scanner = Plug(0);
  ASSERT_EQ(IO_HasScanner("Lumaframe v2270"), 1);
  scanner.InjectFault(Fault::kMarker);
  test::DebugLines debug;

  EXPECT_EQ(IO_isScannerConnected(), 1);  // the probe and descriptor still answer
  EXPECT_EQ(debug.lines().size(), 1u);
}

TEST_F(ExportsTest, ColourAndGammaTriples) {
  EXPECT_EQ(GetColourTriple().first, 1);
  EXPECT_EQ(GetColourTriple().third, 1);
  IO_SetColor(7, -8, 9);
  IO_SetGamma(0.5f, 1.25f, -2.0f);
  EXPECT_EQ(GetColourTriple().first, 7);
  EXPECT_EQ(GetColourTriple().second, -8);
  EXPECT_EQ(GetColourTriple().third, 9);
  EXPECT_EQ(g_gammaAdjust[0], 0.5f);
  EXPECT_EQ(g_gammaAdjust[1], 1.25f);
  EXPECT_EQ(g_gammaAdjust[2], -2.0f);
  IO_SetColor(1, 1, 1);
  IO_SetGamma(0.0f, 0.0f, 0.0f);
}

// A session that records how the exports reached it.
class SpySession : public ScanSession {
 public:
  void Scan(int16_t type, int16_t resolution, int32_t unused, int16_t rows, LF_ScanCallback,
            int16_t top, int16_t bottom, int16_t left, int16_t right) override {
    scans.push_back({type, resolution, unused, rows, top, bottom, left, right});
  }
  int16_t GetImageBlock(uint8_t*, int16_t lines, ScanParamBlock*, int32_t width,
                        int32_t pageHeight) override {
    return static_cast<int16_t>(lines + width + pageHeight);
  }
  int FeedBack() override { return ++feedBacks; }
  std::vector<std::vector<int32_t>> scans;
  int feedBacks = 0;
};

TEST_F(ExportsTest, ForwardersPassArgumentsAndResultsThrough) {
  auto* spy = new SpySession();
  g_session = spy;

  IO_Scan(4, 300, 77, 50, nullptr);
  IO_Scan_New(1, 600, 5, 40, nullptr, 10, 20, 30, 40);

  const std::vector<std::vector<int32_t>> expected = {{4, 300, 77, 50, 0, 360, 0, 220},
                                                      {1, 600, 5, 40, 10, 20, 30, 40}};
  EXPECT_EQ(spy->scans, expected);
  EXPECT_EQ(IO_GetImageBlock(nullptr, 3, nullptr, 100, 1000), 1103);
  EXPECT_EQ(IO_FeedBack(), 1);
}

TEST_F(ExportsTest, HasScannerFeedsBackExceptForTheCardAndTwoSidedNames) {
  // With no sheet at the sensor a feed-back drives the motor backwards; the
  // start strobe (0x0F := 0xFF) shows it. The rule goes by the host's name.
  const struct {
    const char* name;
    bool feedsBack;
  } cases[] = {{"Lumaframe v2270", true}, {"KD211-U", true},        {"Ondralyx KD211", true},
               {"KD409P", false},         {"kd409p", false},        {"Business Card", false},
               {"BUSINESS CARD", false}};
  for (const auto& c : cases) {
    bus_.Unplug(0);
    sim::VirtualScanner& scanner = Plug(0);
    scanner.SetSheet("none");
    ASSERT_EQ(IO_HasScanner(c.name), 1) << c.name;
    const auto& trace = scanner.Trace();
    const bool started = std::find(trace.begin(), trace.end(), "CO 0083 0000 2 0fff") != trace.end();
    EXPECT_EQ(started, c.feedsBack) << c.name;
  }
}

}  // namespace
}  // namespace lf
