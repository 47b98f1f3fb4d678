// The KD21x sheet feeders and the business-card scanner. Their paper sensor
// reads 0 while paper covers it; the buttons show as a change of port A from
// the value it had when the device was built.
#include <memory>
#include <new>

#include "channel/channel.h"
#include "device/device.h"
#include "engine/engine.h"
#include "models/models.h"
#include "platform/platform.h"

namespace lf {
namespace {

// Speeds of the feed motor's ramp, steps per second.
constexpr float kMotorRamp[] = {
    15,   31,   46,   67,   83,   103,  123,  144,  164,  185,  206,  226,  247,  266,  287,  307,
    328,  348,  368,  389,  409,  428,  448,  468,  488,  508,  528,  547,  567,  587,  607,  627,
    646,  666,  685,  704,  723,  743,  762,  782,  801,  820,  839,  858,  877,  897,  916,  935,
    954,  973,  992,  1010, 1029, 1048, 1067, 1085, 1104, 1123, 1142, 1161, 1179, 1198, 1216, 1235,
    1253, 1271, 1289, 1307, 1326, 1344, 1362, 1380, 1399, 1417, 1435, 1452, 1470, 1488, 1506, 1524,
    1542, 1560, 1577, 1595, 1612, 1630, 1647, 1666, 1683, 1700, 1718, 1735, 1752, 1771, 1788, 1805,
    1821, 1839, 1857, 1873, 1890, 1907, 1924, 1942, 1959, 1975, 1992, 2009, 2026, 2043, 2059, 2076,
    2093, 2110, 2126, 2142, 2160, 2176, 2192, 2209, 2226, 2242, 2258, 2275, 2291, 2307, 2323, 2340,
    2355, 2371, 2388, 2404, 2420, 2436, 2452, 2468, 2484, 2500, 2515, 2532, 2547, 2563, 2579, 2594,
    2610, 2626, 2641, 2657, 2672, 2687, 2704, 2719, 2734, 2750, 2765, 2780, 2796, 2811, 2827, 2841};
static_assert(sizeof kMotorRamp / sizeof kMotorRamp[0] == 160);
constexpr SlopeTable kMotorTable{kMotorRamp, 160, 2};

constexpr float kEjectSpeed = 600.0f;
// Timed feeds and cleaning strokes run at half the eject speed here; only the
// business-card build drives them at 600. This module is built as "Lumaframe
// v2270" (kBuildModelName), so the card build's speed is not compiled in.
constexpr float kSlowSpeed = 300.0f;
constexpr uint32_t kRunUntilStopped = 100000;  // steps; a later stop ends the move

constexpr int kEjectChecks = 30;
constexpr uint32_t kEjectPollMs = 300;
constexpr uint32_t kSheetLeftMs = 200;  // lets the trailing edge clear the sensor
constexpr uint32_t kEjectRunOutMs = 500;

constexpr uint32_t kPullBackSteps = 10000;

constexpr uint32_t kCleanStartSteps = 100;
constexpr int kCleanRounds = 5;
constexpr uint32_t kCleanStrokeSteps = 1800;
constexpr uint32_t kCleanPauseMs = 200;

// The feed-in scan: 42 one-channel lines at 300 dpi, read as 40 and 2.
constexpr uint32_t kFeedInPixels = 1500;
constexpr int32_t kFeedInFirstRead = 40;
constexpr int32_t kFeedInSecondRead = 2;
constexpr uint16_t kFeedInDpi = 300;
constexpr float kFeedInLineTimeMs = 1.5f;
constexpr uint8_t kFeedInReduction = 2;

constexpr int kMainLamp = 0;
constexpr uint8_t kSensorResolutionBit = 1;  // port C: 0 selects the 300-dpi binning
constexpr uint8_t kInfraredBit = 7;          // port B: the infrared source
constexpr uint8_t kScanPinBit = 4;           // port C

uint32_t ReadSensorOr(uint32_t fallback) {
  uint32_t sensor = fallback;
  return ReadPaperSensor(&sensor) ? sensor : fallback;
}

bool SetAfe(const uint8_t gain[3], const uint8_t offset[3]) {
  return SetAfeGain(gain[0], gain[1], gain[2]) && SetAfeOffset(offset[0], offset[1], offset[2]);
}

}  // namespace

SheetScanDevice::SheetScanDevice() : ModelScanDevice(kMotorTable, true) {
  connected_ = 0;
  ClearStatus14();
  connected_ = InitController() ? 1 : 0;
  if (connected_ == 0) return;
  reverseScan_ = 0;
  // Every port A line an input: the buttons' idle levels are the baseline.
  WriteRegister(kPanelPortA.direction, 0x00);
  uint8_t idle = 0;
  if (ReadRegister(kPanelPortA.data, &idle)) buttonBaseline_ = idle;
}

int SheetScanDevice::IsPaperOn() {
  uint32_t sensor = 0;
  return ReadPaperSensor(&sensor) && sensor == 0 ? 1 : 0;
}

int16_t SheetScanDevice::GetPressedButton() {
  uint8_t port = 0;
  if (!ReadRegister(kPanelPortA.data, &port)) return 0;
  const uint8_t change = static_cast<uint8_t>(buttonBaseline_ - port);
  if (change == 0) return 0;
  if ((change & 0x01) != 0) return 3;
  if ((change & 0x02) != 0) return 2;
  if ((change & 0x04) != 0) return 1;
  return 0;
}

void SheetScanDevice::FeedPage() {
  if (!Reinitialize()) return;
  MoveMotor(1, kRunUntilStopped, 1, kEjectSpeed);
  for (int check = 0; check < kEjectChecks; ++check) {
    if (IsPaperOn() == 0) {
      platform::SleepMs(kSheetLeftMs);
      break;
    }
    platform::SleepMs(kEjectPollMs);
  }
  platform::SleepMs(kEjectRunOutMs);
  SetMotorEnable(false);
  Reinitialize();
}

void SheetScanDevice::FeedBack() {
  EndScanPage();
  // The raw sensor bit is 1 when nothing covers it (also taken when it cannot
  // be read): nothing to pull back.
  if (ReadSensorOr(1) == 1) return;
  if (MoveMotor(0, kPullBackSteps, 0, kEjectSpeed)) FeedUntilPaper();
}

void SheetScanDevice::StopFeed() { SetMotorEnable(false); }

void SheetScanDevice::FeedOn() {
  // The business-card build feeds a fixed 240 steps instead; this module is
  // built as "Lumaframe v2270" (kBuildModelName), so a new sheet is always
  // brought to its start position by the feed-in scan.
  if (!Reinitialize()) return;
  FeedInScan();
  Reinitialize();
}

void SheetScanDevice::FeedOnFor(uint32_t ms) {
  if (!Reinitialize()) return;
  MoveMotor(1, ms, 1, kSlowSpeed);
  platform::SleepMs(ms);
  SetMotorEnable(false);
  Reinitialize();
}

void SheetScanDevice::Clean() {
  MoveMotor(1, kCleanStartSteps, 0, kSlowSpeed);
  WaitMotorIdle();
  for (int round = 0; round < kCleanRounds; ++round) {
    platform::SleepMs(kCleanPauseMs);
    MoveMotor(1, kCleanStrokeSteps, 1, kSlowSpeed);
    WaitMotorIdle();
    platform::SleepMs(kCleanPauseMs);
    MoveMotor(0, kCleanStrokeSteps, 1, kSlowSpeed);
    WaitMotorIdle();
  }
}

void SheetScanDevice::EndScan() {
  SetLampState(kMainLamp, 0);
  ClearStatus14();
}

void SheetScanDevice::EndScanPage() {
  EndImageRead();
  WaitMotorIdle();
}

int SheetScanDevice::Reinitialize() {
  ClearStatus14();
  if (!InitController()) return 0;
  reverseScan_ = 0;
  return 1;
}

// A new sheet is pulled to its start position by scanning a few lines under
// the infrared source, with the front end set up as for an infrared page.
bool SheetScanDevice::FeedInScan() {
  ModelSettings* settings = g_settings;
  if (settings == nullptr) return false;
  settings->SelectProfile300();

  ScanParams request;
  request.pixels = kFeedInPixels;
  request.lines = kFeedInFirstRead + kFeedInSecondRead;
  request.xResolution = kFeedInDpi;
  request.yResolution = kFeedInDpi;
  request.colourMode = 1;
  request.bitsPerSample = 8;
  request.lineTime = kFeedInLineTimeMs;
  request.exposureRed = settings->infraredTiming[1];
  request.exposureGreen = settings->infraredTiming[2];
  request.exposureBlue = settings->infraredTiming[3];
  request.reduction = kFeedInReduction;
  if (!SetupScan(&request)) return false;

  uint8_t colourGain[3];
  uint8_t colourOffset[3];
  for (int channel = 0; channel < 3; ++channel) {
    colourGain[channel] = ClampAfeGain(settings->colourGain[channel]);
    colourOffset[channel] = ClampAfeOffset(settings->colourOffset[channel]);
  }
  if (!SetAfe(colourGain, colourOffset)) return false;
  if (!WriteBit(kPanelPortC.direction, kSensorResolutionBit, 1) ||
      !WriteBit(kPanelPortC.data, kSensorResolutionBit, 0)) {
    return false;
  }
  if (!SetLampState(kMainLamp, 0)) return false;
  if (!SetAfe(settings->infraredGain, settings->infraredOffset)) return false;
  if (!WriteBit(kPanelPortB.direction, kInfraredBit, 1) ||
      !WriteBit(kPanelPortB.data, kInfraredBit, 1)) {
    return false;
  }
  if (!WriteBit(kPanelPortC.direction, kScanPinBit, 1) ||
      !WriteBit(kPanelPortC.data, kScanPinBit, 0)) {
    return false;
  }
  if (!StartImageRead()) return false;

  std::unique_ptr<uint8_t[]> lines(new (std::nothrow)
                                       uint8_t[size_t{kFeedInPixels} * kFeedInFirstRead]);
  if (!lines) return false;
  return ReadImageLines(lines.get(), kFeedInFirstRead) == 1 &&
         ReadImageLines(lines.get(), kFeedInSecondRead) == 1;
}

}  // namespace lf
