// The scan device: everything that differs between the scanner models'
// mechanisms (paper sensing, feeding, buttons, indicators, light sources,
// identity memory, page scans) behind one interface. Callers reach it only
// through g_scanDevice and only through these operations, which are declared
// in their fixed slot order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/common.h"
#include "platform/platform.h"

namespace lf {

// The controller's general-purpose ports that the front panel, the paper
// path's pins and the light sources hang on. A set direction bit makes the
// same data bit an output.
struct PanelPort {
  uint16_t data;
  uint16_t direction;
};
inline constexpr PanelPort kPanelPortA{0x31, 0x34};
inline constexpr PanelPort kPanelPortB{0x32, 0x35};
inline constexpr PanelPort kPanelPortC{0x33, 0x36};

// A motor speed ramp for paper moves: speeds in steps per second, slowest
// first, and the microstep type they are meant for.
struct SlopeTable {
  const float* points;
  int count;
  int stepType;
};

// Speeds first, first + step, ... (N of them) for a linear ramp.
template <size_t N>
constexpr std::array<float, N> EvenlySpacedSpeeds(float first, float step) {
  std::array<float, N> speeds{};
  for (size_t k = 0; k < N; ++k) speeds[k] = first + step * static_cast<float>(k);
  return speeds;
}

class ScanDevice {
 public:
  ScanDevice() = default;
  ScanDevice(const ScanDevice&) = delete;
  ScanDevice& operator=(const ScanDevice&) = delete;

  virtual int Reserved0() { return 0; }
  virtual void Reserved1() {}
  virtual void Reserved2(int) {}
  virtual int IsPaperOn() { return 0; }
  virtual int Reserved4() { return 0; }
  virtual int16_t GetPressedButton() { return 0; }
  virtual void FeedPage() {}
  virtual void FeedBack() {}
  virtual int Reserved8() { return 0; }
  virtual void Beeps() {}
  virtual void StopFeed() {}
  virtual void FeedOn() {}
  virtual void FeedOnFor(uint32_t /*ms*/) {}
  virtual void FeedBackFor(uint32_t /*ms*/) {}
  virtual void Clean() {}
  virtual void EndScan() {}
  virtual void EndScanPage() {}
  virtual void Reserved17(int) {}
  virtual int Reinitialize() { return 0; }
  virtual int Reserved19() { return 0; }
  virtual int ReverseMotor(int /*keepForward*/) { return 0; }
  virtual int16_t GetImageBlock(uint8_t* /*dest*/, int16_t /*lines*/, ScanParamBlock* /*params*/,
                                int /*width*/, int /*pageHeight*/, int /*last*/) {
    return 0;
  }
  virtual int16_t GetImageBlockDual(uint8_t* /*destMirrored*/, uint8_t* /*destDirect*/,
                                    int16_t /*lineCount*/, int32_t /*fourth*/, int32_t /*width*/,
                                    int32_t /*sixth*/, int32_t /*last*/) {
    return 0;
  }
  virtual void IndicatorOn(int16_t /*which*/) {}
  virtual void IndicatorOff(int16_t /*which*/) {}
  virtual void LightPipeOff() {}
  virtual void LightPipeOn() {}
  virtual int SetLampMode(int on) {
    lampMode_ = on;
    return lampMode_;
  }
  virtual int GetLampMode() { return lampMode_; }
  virtual void Reserved29() {}
  virtual int StartScanPage(ScanParamBlock* /*request*/, int* /*width*/, int* /*lines*/,
                            int /*calibrationPass*/) {
    return 1;
  }
  virtual ~ScanDevice() = default;
  virtual int WriteEEPROMInfo(uint16_t /*vendorId*/, uint16_t /*productId*/,
                              const char* /*firstText*/, const char* /*secondText*/,
                              const char* /*serial*/, int32_t /*memType*/) {
    return 0;
  }
  virtual int ReadEEPROMInfo(uint16_t* /*vendorId*/, uint16_t* /*productId*/,
                             uint8_t* /*firstText*/, uint8_t* /*secondText*/, uint8_t* /*serial*/,
                             int32_t /*memType*/) {
    return 0;
  }
  virtual void ResetHardware() {}
  virtual int MoveMotor(int /*forward*/, uint32_t /*steps*/, int /*modeBit*/, float /*speed*/) {
    return 1;
  }
  virtual int IsConnected() { return connected_; }

  // Whether page scans run the feed motor backwards (1) or forwards (0).
  int32_t ReverseScan() const { return reverseScan_; }

 protected:
  // One bit of a controller register, through the register shadow.
  static bool WriteBit(uint16_t reg, uint8_t bit, uint8_t value);
  // Starts a paper move over `table` towards `speed`: the same seven
  // controller steps on every model; false at the first that fails.
  static bool DriveMotor(const SlopeTable& table, int forward, uint32_t steps, int modeBit,
                         float speed);

  int32_t connected_ = 0;    // the controller answered its initialisation
  int32_t lampMode_ = 1;     // light the lamp while a page is scanned
  int32_t reverseScan_ = 0;  // page scans run the feed motor backwards
};

// What the three scanner families share: the beeper, the reverse-scan
// switch, the engine reset, the identity record, and a paper move over the
// family's own speed ramp.
class ModelScanDevice : public ScanDevice {
 public:
  void Beeps() override;
  int ReverseMotor(int keepForward) override;
  int WriteEEPROMInfo(uint16_t vendorId, uint16_t productId, const char* firstText,
                      const char* secondText, const char* serial, int32_t memType) override;
  int ReadEEPROMInfo(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                     uint8_t* secondText, uint8_t* serial, int32_t memType) override;
  void ResetHardware() override;
  int MoveMotor(int forward, uint32_t steps, int modeBit, float speed) override;

 protected:
  // printsIdentityHeader: the family echoes a written identity header to
  // the console.
  ModelScanDevice(const SlopeTable& motorTable, bool printsIdentityHeader)
      : motorTable_(motorTable), printsIdentityHeader_(printsIdentityHeader) {}

 private:
  SlopeTable motorTable_;
  bool printsIdentityHeader_;
};

// The KD21x sheet feeders and the business-card scanner: one button port
// whose value is compared with the one seen at start-up, paper sensor active
// low, a feed-in scan that brings a new sheet to its start position.
class SheetScanDevice final : public ModelScanDevice {
 public:
  SheetScanDevice();

  int IsPaperOn() override;
  int16_t GetPressedButton() override;
  void FeedPage() override;
  void FeedBack() override;
  void StopFeed() override;
  void FeedOn() override;
  void FeedOnFor(uint32_t ms) override;
  void Clean() override;
  void EndScan() override;
  void EndScanPage() override;
  int Reinitialize() override;

 private:
  bool FeedInScan();

  uint8_t buttonBaseline_ = 0;  // port A as it read at construction
};

// The KD409P two-sided feeder: active-low buttons, two indicators, and a
// light pipe shared with every other process through a named mutex.
class DuplexScanDevice final : public ModelScanDevice {
 public:
  DuplexScanDevice();
  ~DuplexScanDevice() override;

  int IsPaperOn() override;
  int16_t GetPressedButton() override;
  void FeedPage() override;
  void FeedBack() override;
  void StopFeed() override;
  void FeedOn() override;
  void FeedOnFor(uint32_t ms) override;
  void FeedBackFor(uint32_t ms) override;
  void Clean() override;
  void EndScan() override;
  void EndScanPage() override;
  int Reinitialize() override;
  void IndicatorOn(int16_t which) override;
  void IndicatorOff(int16_t which) override;
  void LightPipeOff() override;
  void LightPipeOn() override;

 private:
  void SetIndicator(int16_t which, uint8_t lit);
  void SetLightPipe(uint8_t lit);

  // Null when the system would not give us the mutex.
  std::unique_ptr<platform::NamedMutex> lightPipeMutex_;
};

// The Lumaframe: four buttons on ports B and C, paper sensor active high,
// and a port B line that is held low for as long as the motor moves paper.
class LumaframeScanDevice final : public ModelScanDevice {
 public:
  LumaframeScanDevice();

  int IsPaperOn() override;
  int16_t GetPressedButton() override;
  void FeedPage() override;
  void FeedBack() override;
  void StopFeed() override;
  void FeedOn() override;
  void FeedOnFor(uint32_t ms) override;
  void FeedBackFor(uint32_t ms) override;
  void Clean() override;
  void EndScan() override;
  void EndScanPage() override;
  int Reinitialize() override;
};

// The device object of a model family; null when it cannot be allocated.
ScanDevice* CreateScanDevice(ModelFamily family);

}  // namespace lf
