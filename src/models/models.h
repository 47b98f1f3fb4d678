// Scanner models: the composition object that builds one model's components
// and publishes them through the component pointers, the DeviceLink that
// owns the open scanner channel, the ScanParamHolder with the host's clamped
// parameters, the per-model settings, and the small helpers shared by page
// preparation and calibration. Virtual operations are declared in their
// fixed slot order.
#pragma once

#include <cstdint>

#include "common/common.h"
#include "models/model_settings.h"

namespace lf {

inline constexpr uint32_t kPathCapacity = 260;
inline constexpr uint32_t kIdentityNameCapacity = 100;  // UTF-16 code units

// ---------------------------------------------------------------------------
// ScannerModel
// ---------------------------------------------------------------------------

class ScannerModel {
 public:
  ScannerModel(const ScannerModel&) = delete;
  ScannerModel& operator=(const ScannerModel&) = delete;

  virtual ~ScannerModel() = default;
  virtual uint16_t ProductId() { return productId_; }
  virtual uint16_t VendorId() { return vendorId_; }
  virtual uint16_t WordB() { return wordB_; }
  virtual void SetWordB(uint16_t value) { wordB_ = value; }
  virtual uint16_t WordA() { return wordA_; }
  virtual int32_t ValueC() { return valueC_; }
  virtual int32_t ValueD() { return valueD_; }
  virtual int32_t ValueE() { return valueE_; }
  virtual int32_t ValueF() { return valueF_; }
  virtual int32_t ValueG() { return valueG_; }
  // The directory of the calibration data files and "ondrusb.ini"; it ends
  // with a backslash.
  virtual const char* GetCalibrationDir() { return calibrationDir_; }
  virtual const char16_t* VendorName() { return vendorName_; }
  virtual const char16_t* ModelName() { return modelName_; }
  virtual int32_t ValueH() { return valueH_; }

 protected:
  ScannerModel();
  // The skeleton every model class runs: its own values, its calibration
  // directory, then its components in their fixed order.
  void Build(ModelFamily family);
  // Destroys and nulls the components in their fixed order.
  void ReleaseComponents();

 private:
  void SetModelValues();
  void ResolveCalibrationDir(ModelFamily family);
  void CreateComponents(ModelFamily family);

  uint16_t productId_ = 0;
  uint16_t vendorId_;
  uint16_t wordA_;
  uint16_t wordB_;
  int32_t valueC_ = 0;
  int32_t valueD_;
  int32_t valueE_;
  int32_t valueF_;
  int32_t valueG_ = 0;
  char16_t vendorName_[kIdentityNameCapacity] = {};
  char16_t modelName_[kIdentityNameCapacity] = {};
  char calibrationDir_[kPathCapacity] = {};
  int32_t valueH_ = 0;
};

class LumaframeModel final : public ScannerModel {
 public:
  LumaframeModel();
  ~LumaframeModel() override;
};

class KD21xModel final : public ScannerModel {
 public:
  KD21xModel();
  ~KD21xModel() override;
};

class KD409PModel final : public ScannerModel {
 public:
  KD409PModel();
  ~KD409PModel() override;
};

class BusinessCardModel final : public ScannerModel {
 public:
  BusinessCardModel();
  ~BusinessCardModel() override;
};

// The model for a host's model string (letter case ignored, whole string),
// or null when the string names no model or the model cannot be allocated.
ScannerModel* CreateModelForName(const char* name);

// ---------------------------------------------------------------------------
// DeviceLink
// ---------------------------------------------------------------------------

class DeviceLink {
 public:
  DeviceLink() = default;
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  virtual ~DeviceLink() = default;
  virtual int Reserved1() { return 1; }
  virtual int Close() { return 1; }
  virtual void Reserved3(int, int, int, int) {}
  virtual void Reserved4(int, int) {}
  virtual bool Reserved5(int) { return false; }
  virtual int Reserved6(int, int, int, int) { return 1; }
  virtual int Reserved7() { return 1; }
  virtual int32_t SpareValue() { return -1; }
  virtual int IsOpened() { return opened_; }
  virtual void SetOpened(int opened) { opened_ = opened; }

 protected:
  int32_t opened_ = 0;
  uint8_t fixedBytes_[4] = {3, 1, 2, 0};
  int32_t spare_ = 0;
};

// The link every model uses: it opens the scanner channel when it is built
// and closes it when it is destroyed.
class UsbDeviceLink final : public DeviceLink {
 public:
  UsbDeviceLink(uint16_t vendorId, uint16_t productId);
  ~UsbDeviceLink() override;
  int Close() override;
  int32_t SpareValue() override { return spare_; }
  // Opens the channel again; the result is not stored in the opened flag.
  virtual int Reopen();

 private:
  uint16_t vendorId_;
  uint16_t productId_;
};

// ---------------------------------------------------------------------------
// ScanParamHolder
// ---------------------------------------------------------------------------

class ScanParamHolder {
 public:
  ScanParamHolder();
  ScanParamHolder(const ScanParamHolder&) = delete;
  ScanParamHolder& operator=(const ScanParamHolder&) = delete;
  virtual ~ScanParamHolder();

  // Copies the host's block and clamps the edges: right to at most 900,
  // left and top to at least 0.
  void Set(const ScanParamBlock* params);
  // The clamped copy; null only when its buffer could not be allocated.
  const ScanParamBlock* Get() const { return params_; }

 private:
  ScanParamBlock* params_;
};

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// ANSI text into a fixed UTF-16 buffer (at most capacity - 1 units, then the
// terminator). A null source leaves dest untouched.
void ToWide(char16_t* dest, uint32_t capacity, const char* source);
// value with bits first .. first+count-1 cleared, OR field << first. The
// field value is not masked to its width.
uint8_t SetBits(uint8_t value, uint8_t first, uint8_t count, uint8_t field);
// Widens a one-bit pixel to a two-bit field.
uint8_t ExpandBit(uint8_t bit);
uint8_t ClampAfeGain(int16_t value);
uint8_t ClampAfeOffset(int16_t value);
// Ascending in-place Shell sort with gaps count/2, then the integer part of
// gap x 0.45454545454545453 (2 is followed by 1). The factor is kept to the
// last digit: for multiples of 11 it gives gap/2.2 exactly, where dividing
// by 2.2 would land one below.
void ShellSortU16(uint16_t* values, uint16_t count);
// The gap after `gap` in that sequence (0 after the last pass, gap 1).
uint32_t NextShellGap(uint32_t gap);

}  // namespace lf
