// The scan device: everything that differs between the scanner models'
// mechanisms (paper sensing, feeding, buttons, indicators, light sources,
// identity memory, page scans) behind one interface. Callers reach it only
// through g_scanDevice and only through these operations, which are declared
// in their fixed slot order.
#pragma once

#include <cstdint>

#include "common/common.h"

namespace lf {

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
                             uint8_t* /*firstText*/, uint8_t* /*secondText*/,
                             uint8_t* /*serial*/, int32_t /*memType*/) {
    return 0;
  }
  virtual void ResetHardware() {}
  virtual int MoveMotor(int /*forward*/, uint32_t /*steps*/, int /*modeBit*/, float /*speed*/) {
    return 1;
  }
  virtual int IsConnected() { return connected_; }

 protected:
  int32_t connected_ = 0;    // the controller answered its initialisation
  int32_t lampMode_ = 1;     // light the lamp while a page is scanned
  int32_t reverseScan_ = 0;  // page scans run the feed motor backwards
};

// The device object of a model family; null when it cannot be allocated.
ScanDevice* CreateScanDevice(ModelFamily family);

}  // namespace lf
