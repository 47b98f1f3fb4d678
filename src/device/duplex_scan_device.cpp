// The KD409P two-sided feeder. Its paper sensor reads 0 while paper covers
// it; its buttons pull their port lines low; it has two indicator outputs
// and a light pipe that every process on the machine switches under one
// named mutex.
#include "channel/channel.h"
#include "device/device.h"
#include "engine/engine.h"
#include "platform/platform.h"

namespace lf {
namespace {

// Main ramp 10, 50, ... 1810 steps per second; the gentle one for pulling in
// a new sheet 105, 135, ... 315.
constexpr auto kMotorRamp = EvenlySpacedSpeeds<46>(10, 40);
constexpr auto kFeedInRamp = EvenlySpacedSpeeds<8>(105, 30);
constexpr SlopeTable kMotorTable{kMotorRamp.data(), static_cast<int>(kMotorRamp.size()), 2};
constexpr SlopeTable kFeedInTable{kFeedInRamp.data(), static_cast<int>(kFeedInRamp.size()), 4};

constexpr float kFeedSpeed = 600.0f;
constexpr float kFeedInSpeed = 180.0f;
constexpr uint32_t kFeedInSteps = 240;
constexpr uint32_t kRunUntilStopped = 100000;  // steps; a later stop ends the move

constexpr int kEjectChecks = 60;
constexpr int kPullBackChecks = 30;
constexpr uint32_t kPaperPollMs = 300;
constexpr uint32_t kRunOutMs = 1000;  // after the sheet left the sensor

constexpr uint32_t kCleanFirstMs = 600;
constexpr int kCleanRounds = 10;
constexpr uint32_t kCleanStrokeMs = 1200;
constexpr uint32_t kCleanPauseMs = 100;

constexpr int kMainLamp = 0;
constexpr uint8_t kLightPipeBit = 7;  // port B, data and direction alike
constexpr uint8_t kButton3Bit = 0;    // port A, low while pressed
constexpr uint8_t kButton1Bit = 2;    // port C, low while pressed
constexpr uint8_t kLightPipeMask = 1u << kLightPipeBit;

}  // namespace

DuplexScanDevice::DuplexScanDevice() : ModelScanDevice(kMotorTable, true) {
  connected_ = 0;
  reverseScan_ = 0;
  lightPipeMutex_ = platform::CreateNamedMutex("LightPipeMutex");
  // Without the mutex the device still works; it only starts unconnected
  // until a later Reinitialize.
  if (!lightPipeMutex_) return;
  DuplexScanDevice::Reinitialize();
}

DuplexScanDevice::~DuplexScanDevice() { lightPipeMutex_.reset(); }

int DuplexScanDevice::IsPaperOn() {
  uint32_t sensor = 0;
  const bool sensorRead = ReadPaperSensor(&sensor);
  uint8_t direction = 0;
  uint8_t data = 0;
  ReadRegister(kPanelPortB.direction, &direction);
  ReadRegister(kPanelPortB.data, &data);
  // The light pipe follows the paper; switch it only when it is not already
  // where the paper wants it.
  if (sensorRead && sensor == 0) {
    if ((direction & data & kLightPipeMask) == 0) LightPipeOn();
    return 1;
  }
  if (((direction | data) & kLightPipeMask) != 0) LightPipeOff();
  return 0;
}

int16_t DuplexScanDevice::GetPressedButton() {
  uint8_t port = 0;
  if (ReadRegister(kPanelPortA.data, &port) && (port & (1u << kButton3Bit)) == 0) return 3;
  if (ReadRegister(kPanelPortC.data, &port) && (port & (1u << kButton1Bit)) == 0) return 1;
  return 0;
}

void DuplexScanDevice::FeedPage() {
  MoveMotor(1, kRunUntilStopped, 1, kFeedSpeed);
  for (int check = 0; check < kEjectChecks; ++check) {
    if (IsPaperOn() == 0) {
      platform::SleepMs(kRunOutMs);
      StopFeed();
      return;
    }
    platform::SleepMs(kPaperPollMs);
  }
  StopFeed();
}

void DuplexScanDevice::FeedBack() {
  SetMotorHold(true);
  MoveMotor(0, kRunUntilStopped, 1, kFeedSpeed);
  for (int polls = 1; IsPaperOn() != 0; ++polls) {
    platform::SleepMs(kPaperPollMs);
    if (polls == kPullBackChecks) {
      StopFeed();
      SetMotorHold(false);
      return;
    }
  }
  platform::SleepMs(kRunOutMs);
  StopFeed();
  SetMotorHold(false);
}

void DuplexScanDevice::StopFeed() {
  SetMotorEnable(false);
  SetFeedSteps(1);
  WaitMotorIdle();
}

void DuplexScanDevice::FeedOn() {
  DriveMotor(kFeedInTable, 1, kFeedInSteps, 1, kFeedInSpeed);
  WaitMotorIdle();
}

void DuplexScanDevice::FeedOnFor(uint32_t ms) {
  MoveMotor(1, ms, 1, kFeedSpeed);
  platform::SleepMs(ms);
  StopFeed();
}

void DuplexScanDevice::FeedBackFor(uint32_t ms) {
  SetMotorHold(true);
  MoveMotor(0, ms, 1, kFeedSpeed);
  platform::SleepMs(ms);
  StopFeed();
  SetMotorHold(false);
}

void DuplexScanDevice::Clean() {
  FeedOnFor(kCleanFirstMs);
  platform::SleepMs(kCleanPauseMs);
  for (int round = 0; round < kCleanRounds; ++round) {
    FeedOnFor(kCleanStrokeMs);
    platform::SleepMs(kCleanPauseMs);
    FeedBackFor(kCleanStrokeMs);
    platform::SleepMs(kCleanPauseMs);
  }
}

void DuplexScanDevice::EndScan() { SetLampState(kMainLamp, 0); }

void DuplexScanDevice::EndScanPage() {
  EndImageRead();
  WaitMotorIdle();
  IndicatorOff(0);
}

int DuplexScanDevice::Reinitialize() {
  ClearStatus14();
  connected_ = InitController() ? 1 : 0;
  if (connected_ == 0) return 0;
  reverseScan_ = 0;
  // Both button lines inputs; reading the ports once settles them.
  uint8_t unused = 0;
  WriteBit(kPanelPortA.direction, kButton3Bit, 0);
  ReadRegister(kPanelPortA.data, &unused);
  WriteBit(kPanelPortC.direction, kButton1Bit, 0);
  ReadRegister(kPanelPortC.data, &unused);
  return 1;
}

void DuplexScanDevice::SetIndicator(int16_t which, uint8_t lit) {
  // Indicator 0 is on bit 1 of port A, indicator 1 on bit 2.
  if (which != 0 && which != 1) return;
  const uint8_t bit = static_cast<uint8_t>(which + 1);
  WriteBit(kPanelPortA.direction, bit, 1);
  WriteBit(kPanelPortA.data, bit, lit);
}

void DuplexScanDevice::IndicatorOn(int16_t which) { SetIndicator(which, 1); }

void DuplexScanDevice::IndicatorOff(int16_t which) { SetIndicator(which, 0); }

void DuplexScanDevice::SetLightPipe(uint8_t lit) {
  // Another process may be switching the same light pipe: the two bits must
  // change together. Without a mutex the bits are still written; a mutex that
  // was not obtained is not released, since releasing a semaphore we never
  // took would let a second process in.
  const bool held = lightPipeMutex_ && lightPipeMutex_->Wait();
  WriteBit(kPanelPortB.direction, kLightPipeBit, lit);
  WriteBit(kPanelPortB.data, kLightPipeBit, lit);
  if (held) lightPipeMutex_->Release();
}

void DuplexScanDevice::LightPipeOff() { SetLightPipe(0); }

void DuplexScanDevice::LightPipeOn() { SetLightPipe(1); }

}  // namespace lf
