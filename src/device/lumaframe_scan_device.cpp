// The Lumaframe. Its paper sensor reads 1 while paper covers it; four
// buttons sit on ports B and C; port B line 7 is held low as an output for
// as long as the motor moves paper and released afterwards.
#include "channel/channel.h"
#include "device/device.h"
#include "engine/engine.h"
#include "platform/platform.h"

namespace lf {
namespace {

// Main ramp 130, 170, ... 1810 steps per second; the gentle one for pulling
// in a new sheet 15, 45, ... 315.
constexpr auto kMotorRamp = EvenlySpacedSpeeds<43>(130, 40);
constexpr auto kFeedInRamp = EvenlySpacedSpeeds<11>(15, 30);
constexpr SlopeTable kMotorTable{kMotorRamp.data(), static_cast<int>(kMotorRamp.size()), 4};
constexpr SlopeTable kFeedInTable{kFeedInRamp.data(), static_cast<int>(kFeedInRamp.size()), 4};

constexpr float kFeedSpeed = 600.0f;
constexpr float kFeedInSpeed = 300.0f;
constexpr uint32_t kFeedInSteps = 240;
constexpr uint32_t kRunUntilStopped = 100000;  // steps; a later stop ends the move

constexpr int kEjectChecks = 60;
constexpr uint32_t kPaperPollMs = 300;
constexpr uint32_t kRunOutMs = 1000;  // after the sheet left the sensor

constexpr uint32_t kCleanFirstMs = 600;
constexpr int kCleanRounds = 5;
constexpr uint32_t kCleanStrokeMs = 3600;
constexpr uint32_t kCleanPauseMs = 10;

constexpr int kMainLamp = 0;

// Register 0x30 bit 0 and register 0x3A bits 2 and 3 hand port lines over to
// the controller's own functions; cleared, the port registers drive them.
constexpr uint16_t kPortBFunction = 0x30;
constexpr uint16_t kPortFunction = 0x3A;

constexpr uint8_t kMotionLineBit = 7;  // port B
constexpr uint8_t kPanelLineBit = 5;   // port B, driven high
constexpr uint8_t kScanPinBit = 4;     // port C

// Buttons, each high while pressed, in the order they are tested.
constexpr uint8_t kButton4Bit = 3;  // port C
constexpr uint8_t kButton2Bit = 0;  // port C
constexpr uint8_t kButton3Bit = 6;  // port B
constexpr uint8_t kButton1Bit = 1;  // port B

bool BitSet(uint8_t value, uint8_t bit) { return (value & (1u << bit)) != 0; }

// Before every paper move.
void HoldMotionLine() {
  WriteRegisterBits(kPortBFunction, 0, 1, 0);
  WriteRegisterBits(kPanelPortB.direction, kMotionLineBit, 1, 1);
  WriteRegisterBits(kPanelPortB.data, kMotionLineBit, 1, 0);
}

// After every paper move: the line becomes an input again.
void ReleaseMotionLine() {
  WriteRegisterBits(kPortBFunction, 0, 1, 0);
  WriteRegisterBits(kPanelPortB.direction, kMotionLineBit, 1, 0);
}

void DrivePanelLineHigh() {
  WriteRegisterBits(kPanelPortB.direction, kPanelLineBit, 1, 1);
  WriteRegisterBits(kPanelPortB.data, kPanelLineBit, 1, 1);
}

}  // namespace

LumaframeScanDevice::LumaframeScanDevice() : ModelScanDevice(kMotorTable, false) {
  connected_ = 0;
  reverseScan_ = 0;
  LumaframeScanDevice::Reinitialize();
  // The pins are set whether or not the controller answered: Reinitialize
  // never sets them again, so this is their only chance.
  DrivePanelLineHigh();
  WriteBit(kPortFunction, 2, 0);
  WriteBit(kPanelPortB.direction, kButton1Bit, 0);
  WriteBit(kPanelPortC.direction, kButton2Bit, 0);
  WriteBit(kPanelPortB.direction, kButton3Bit, 0);
  WriteBit(kPanelPortC.direction, kButton4Bit, 0);
  ReleaseMotionLine();
}

int LumaframeScanDevice::IsPaperOn() {
  // A sensor that cannot be read counts as covered, so nothing moves paper
  // it cannot see.
  uint32_t sensor = 0;
  return !ReadPaperSensor(&sensor) || sensor == 1 ? 1 : 0;
}

int16_t LumaframeScanDevice::GetPressedButton() {
  uint8_t port = 0;
  if (!ReadRegister(kPanelPortC.data, &port)) return 0;
  if (BitSet(port, kButton4Bit)) return 4;
  if (BitSet(port, kButton2Bit)) return 2;
  if (!ReadRegister(kPanelPortB.data, &port)) return 0;
  if (BitSet(port, kButton3Bit)) return 3;
  if (BitSet(port, kButton1Bit)) return 1;
  return 0;
}

void LumaframeScanDevice::FeedPage() {
  HoldMotionLine();
  MoveMotor(1, kRunUntilStopped, 1, kFeedSpeed);
  for (int check = 0; check < kEjectChecks; ++check) {
    if (IsPaperOn() == 0) {
      platform::SleepMs(kRunOutMs);
      StopFeed();
      ReleaseMotionLine();
      return;
    }
    platform::SleepMs(kPaperPollMs);
  }
  StopFeed();
  ReleaseMotionLine();
}

void LumaframeScanDevice::FeedBack() {
  // The raw sensor bit is 1 when the sheet already covers the sensor (also
  // taken when it cannot be read).
  uint32_t sensor = 1;
  if (!ReadPaperSensor(&sensor) || sensor == 1) return;
  HoldMotionLine();
  SetMotorHold(true);
  MoveMotor(0, kRunUntilStopped, 1, kFeedSpeed);
  FeedUntilPaper();
  StopFeed();
  SetMotorHold(false);
  ReleaseMotionLine();
}

void LumaframeScanDevice::StopFeed() {
  SetMotorEnable(false);
  SetFeedSteps(1);
  WaitMotorIdle();
}

void LumaframeScanDevice::FeedOn() {
  HoldMotionLine();
  DriveMotor(kFeedInTable, 1, kFeedInSteps, 1, kFeedInSpeed);
  WaitMotorIdle();
  ReleaseMotionLine();
}

void LumaframeScanDevice::FeedOnFor(uint32_t ms) {
  HoldMotionLine();
  MoveMotor(1, ms, 1, kFeedSpeed);
  platform::SleepMs(ms);
  StopFeed();
  ReleaseMotionLine();
}

void LumaframeScanDevice::FeedBackFor(uint32_t ms) {
  HoldMotionLine();
  SetMotorHold(true);
  MoveMotor(0, ms, 1, kFeedSpeed);
  platform::SleepMs(ms);
  StopFeed();
  SetMotorHold(false);
  ReleaseMotionLine();
}

void LumaframeScanDevice::Clean() {
  FeedOnFor(kCleanFirstMs);
  platform::SleepMs(kCleanPauseMs);
  for (int round = 0; round < kCleanRounds; ++round) {
    FeedOnFor(kCleanStrokeMs);
    platform::SleepMs(kCleanPauseMs);
    FeedBackFor(kCleanStrokeMs);
    platform::SleepMs(kCleanPauseMs);
  }
}

void LumaframeScanDevice::EndScan() { SetLampState(kMainLamp, 0); }

void LumaframeScanDevice::EndScanPage() {
  EndImageRead();
  WaitMotorIdle();
  WriteBit(kPortFunction, 3, 0);
  WriteBit(kPanelPortC.direction, kScanPinBit, 1);
  WriteBit(kPanelPortC.data, kScanPinBit, 1);
  DrivePanelLineHigh();
  ReleaseMotionLine();
}

int LumaframeScanDevice::Reinitialize() {
  ClearStatus14();
  connected_ = InitController() ? 1 : 0;
  if (connected_ == 0) return 0;
  reverseScan_ = 0;
  return 1;
}

}  // namespace lf
