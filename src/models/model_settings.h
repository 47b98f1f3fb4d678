// Per-model calibration and geometry constants. A settings object holds one
// resolution profile at a time; selecting a profile overwrites its fields with
// that resolution's constants, and calibration, page preparation and the
// session's page-size computation then read them.
//
// Callers reach the operations by their place in the class, so the virtual
// operations below are declared in that fixed order and must stay so.
#pragma once

#include <cstdint>

#include "common/common.h"

namespace lf {

// One resolution profile's constants; defined with the profile tables.
struct SettingsProfile;

class ModelSettings {
 public:
  static constexpr int kProfileNameSize = 256;
  static constexpr int kSpareCount = 16;
  static constexpr int kTimingCount = 4;   // line time, red, green, blue on-times (ms)
  static constexpr int kChannelCount = 3;  // analog front-end channels 1..3

  ModelSettings() = default;
  ModelSettings(const ModelSettings&) = delete;
  ModelSettings& operator=(const ModelSettings&) = delete;

  // Slots 0-7: lifetime and the geometry of the profile.
  virtual ~ModelSettings();
  virtual int32_t GetResolution() const { return resolution_; }
  virtual int32_t GetSpareFieldA() const { return spareFieldA_; }
  virtual int32_t GetLineStartOffset() const { return lineStartOffset_; }
  virtual int32_t GetActivePixels() const { return activePixels_; }
  virtual void SetActivePixels(int32_t value) { activePixels_ = value; }
  virtual int32_t GetPixelsPerLine() const { return pixelsPerLine_; }
  virtual int32_t GetSkipLines() const { return skipLines_; }

  // Slots 8-23: the first eight spare values, getters then setters.
  virtual int32_t GetSpare0() const { return spares_[0]; }
  virtual int32_t GetSpare1() const { return spares_[1]; }
  virtual int32_t GetSpare2() const { return spares_[2]; }
  virtual int32_t GetSpare3() const { return spares_[3]; }
  virtual int32_t GetSpare4() const { return spares_[4]; }
  virtual int32_t GetSpare5() const { return spares_[5]; }
  virtual int32_t GetSpare6() const { return spares_[6]; }
  virtual int32_t GetSpare7() const { return spares_[7]; }
  virtual void SetSpare0(int32_t value) { spares_[0] = value; }
  virtual void SetSpare1(int32_t value) { spares_[1] = value; }
  virtual void SetSpare2(int32_t value) { spares_[2] = value; }
  virtual void SetSpare3(int32_t value) { spares_[3] = value; }
  virtual void SetSpare4(int32_t value) { spares_[4] = value; }
  virtual void SetSpare5(int32_t value) { spares_[5] = value; }
  virtual void SetSpare6(int32_t value) { spares_[6] = value; }
  virtual void SetSpare7(int32_t value) { spares_[7] = value; }

  // Slots 24-39: the other eight spare values, getters then setters.
  virtual int32_t GetSpare8() const { return spares_[8]; }
  virtual int32_t GetSpare9() const { return spares_[9]; }
  virtual int32_t GetSpare10() const { return spares_[10]; }
  virtual int32_t GetSpare11() const { return spares_[11]; }
  virtual int32_t GetSpare12() const { return spares_[12]; }
  virtual int32_t GetSpare13() const { return spares_[13]; }
  virtual int32_t GetSpare14() const { return spares_[14]; }
  virtual int32_t GetSpare15() const { return spares_[15]; }
  virtual void SetSpare8(int32_t value) { spares_[8] = value; }
  virtual void SetSpare9(int32_t value) { spares_[9] = value; }
  virtual void SetSpare10(int32_t value) { spares_[10] = value; }
  virtual void SetSpare11(int32_t value) { spares_[11] = value; }
  virtual void SetSpare12(int32_t value) { spares_[12] = value; }
  virtual void SetSpare13(int32_t value) { spares_[13] = value; }
  virtual void SetSpare14(int32_t value) { spares_[14] = value; }
  virtual void SetSpare15(int32_t value) { spares_[15] = value; }

  // Slots 40-43.
  virtual int32_t GetFieldQ() const { return fieldQ_; }
  virtual int32_t GetResolutionFactor() const { return resolutionFactor_; }
  virtual int32_t GetSpareFieldB() const { return spareFieldB_; }
  virtual const char* GetProfileName() const { return profileName_; }

  // Slots 44-46: profile selection. A model without a profile for a
  // resolution leaves the profile in force untouched.
  virtual void SelectProfile600() {}
  virtual void SelectProfile300() {}
  virtual void SelectProfile1200() {}

  // Slots 47-51.
  virtual int32_t GetCalibrationLines() const { return calibrationLines_; }
  virtual void SetCalibrationLines(int32_t lines) { calibrationLines_ = lines; }
  virtual int32_t GetFieldP() const { return fieldP_; }
  virtual void SetCalibrationFlag(int32_t flag) { calibrationFlag_ = flag; }
  virtual int32_t GetCalibrationFlag() const { return calibrationFlag_; }

  // The three lighting groups; the calibration passes read them directly.
  float colourTiming[kTimingCount] = {};
  float infraredTiming[kTimingCount] = {};
  float grayTiming[kTimingCount] = {};
  uint8_t colourOffset[kChannelCount] = {};
  uint8_t grayOffset[kChannelCount] = {};
  uint8_t infraredOffset[kChannelCount] = {};
  uint8_t colourGain[kChannelCount] = {};
  uint8_t grayGain[kChannelCount] = {};
  uint8_t infraredGain[kChannelCount] = {};

 protected:
  // Stores every constant of `profile`; a lighting group the profile does not
  // carry keeps whatever an earlier selection left.
  void ApplyProfile(const SettingsProfile& profile);

 private:
  int32_t resolution_ = 0;
  int32_t spareFieldA_ = 0;
  int32_t lineStartOffset_ = 0;
  int32_t activePixels_ = 0;
  int32_t pixelsPerLine_ = 0;
  int32_t spares_[kSpareCount] = {};
  int32_t calibrationLines_ = 0;
  int32_t fieldP_ = 0;
  int32_t fieldQ_ = 0;
  char profileName_[kProfileNameSize] = {};
  int32_t resolutionFactor_ = 0;
  int32_t spareFieldB_ = 0;
  int32_t skipLines_ = 0;
  int32_t calibrationFlag_ = 0;
};

// Business Card: one 600-dpi profile.
class BusinessCardSettings final : public ModelSettings {
 public:
  void SelectProfile600() override;
};

// KD21x sheet feeders: 600 and 300 dpi.
class KD21xSettings final : public ModelSettings {
 public:
  void SelectProfile600() override;
  void SelectProfile300() override;
};

// KD409P two-sided feeder: 600 and 300 dpi; the front-end settings depend on
// the dual-scan flag and the board variant at the moment of selection.
class KD409PSettings final : public ModelSettings {
 public:
  void SelectProfile600() override;
  void SelectProfile300() override;
};

// Lumaframe: 300, 600 and 1200 dpi.
class LumaframeSettings final : public ModelSettings {
 public:
  void SelectProfile600() override;
  void SelectProfile300() override;
  void SelectProfile1200() override;
};

}  // namespace lf
