// What every scan device shares: the factory that picks the class for a
// model family, the paper-move sequence, and the panel operations whose
// wiring is the same on every model (beeper, engine reset, motor direction
// for page scans, identity record, paper moves over each family's ramp).
#include <new>

#include "channel/channel.h"
#include "device/device.h"
#include "device/identity_memory.h"
#include "engine/engine.h"
#include "platform/platform.h"

namespace lf {
namespace {

// Both speed tables of a paper move use the same slope field value.
constexpr int kPaperMoveSlopeField = 1;
// Paper moves count their step periods in undivided timer ticks.
constexpr uint8_t kPaperMoveDivider = 1;

constexpr uint8_t kBeeperBit = 1;  // port B
constexpr uint32_t kBeepMs = 200;

}  // namespace

bool ScanDevice::WriteBit(uint16_t reg, uint8_t bit, uint8_t value) {
  return WriteRegisterBits(reg, bit, 1, value);
}

bool ScanDevice::DriveMotor(const SlopeTable& table, int forward, uint32_t steps, int modeBit,
                            float speed) {
  // The uploads report the table length; a paper move has no use for it.
  int length = 0;
  return SetStepMode(kPaperMoveDivider) &&
         UploadSlopeTableA(table.points, table.count, speed, table.stepType, kPaperMoveSlopeField,
                           &length) &&
         UploadSlopeTableB(table.points, table.count, speed, table.stepType, kPaperMoveSlopeField,
                           &length) &&
         SetMotorDirection(forward != 0) && SetMotorFlag3(modeBit != 0) && SetFeedSteps(steps) &&
         SetMotorEnable(true) && ClearStatus15();  // the start strobe sets the motor going
}

void ModelScanDevice::Beeps() {
  // Only the data bit: the line's direction stays as each model's wiring set it.
  WriteBit(kPanelPortB.data, kBeeperBit, 1);
  platform::SleepMs(kBeepMs);
  WriteBit(kPanelPortB.data, kBeeperBit, 0);
}

int ModelScanDevice::ReverseMotor(int keepForward) {
  reverseScan_ = keepForward != 0 ? 0 : 1;
  return keepForward;
}

int ModelScanDevice::WriteEEPROMInfo(uint16_t vendorId, uint16_t productId, const char* firstText,
                                     const char* secondText, const char* serial, int32_t memType) {
  return WriteIdentityRecord(vendorId, productId, firstText, secondText, serial, memType,
                             printsIdentityHeader_);
}

int ModelScanDevice::ReadEEPROMInfo(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                                    uint8_t* secondText, uint8_t* serial, int32_t memType) {
  return ReadIdentityRecord(vendorId, productId, firstText, secondText, serial, memType);
}

void ModelScanDevice::ResetHardware() { ClearStatus14(); }

int ModelScanDevice::MoveMotor(int forward, uint32_t steps, int modeBit, float speed) {
  return DriveMotor(motorTable_, forward, steps, modeBit, speed) ? 1 : 0;
}

ScanDevice* CreateScanDevice(ModelFamily family) {
  switch (family) {
    case ModelFamily::kLumaframe:
      return new (std::nothrow) LumaframeScanDevice();
    case ModelFamily::kKD21x:
    case ModelFamily::kBusinessCard:
      return new (std::nothrow) SheetScanDevice();
    case ModelFamily::kKD409P:
      return new (std::nothrow) DuplexScanDevice();
  }
  return nullptr;
}

}  // namespace lf
