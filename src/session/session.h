// The ScanSession: the one object behind the exported IO functions while a
// scanner is open. It checks that the channel is open, records what the
// scanner is busy with, and hands the work to the model's components.
// Operations are declared in their fixed slot order.
#pragma once

#include <cstdint>

#include "common/common.h"

namespace lf {

// What the scanner is busy with; IO_isScannerConnected stays off the wire
// while this is not idle.
enum SessionActivity : int32_t {
  kActivityIdle = 0,
  kActivityScanningPage = 1,
  kActivityCalibrating = 2,
  kActivityMovingPaper = 3,
  kActivityCleaning = 4,
  kActivityBeeping = 5,
  kActivityReadingIdentity = 6,
};

inline constexpr uint32_t kIniPathCapacity = 260;
// Calibration directory + "ondrusb.ini"; read by the gamma-table code.
extern char g_iniPath[kIniPathCapacity];
// Cleared by AbortScan to stop a whole-page scan between blocks.
extern int32_t g_keepScanning;
extern LF_ScanCallback g_scanCallback;

class ScanSession {
 public:
  ScanSession();
  ScanSession(const ScanSession&) = delete;
  ScanSession& operator=(const ScanSession&) = delete;

  virtual ~ScanSession() = default;
  virtual int Clean();
  virtual int IsCalibrationNeeded();
  virtual int CalibrateScanner(int unused);
  virtual int StartScan();
  virtual void FeedOn();
  virtual void FeedOn_S(int milliseconds);
  virtual int GetPageDimension(ScanParamBlock* params, int32_t* width, int32_t* height);
  virtual int StartScanPage(ScanParamBlock* params, int32_t* width, int32_t* height);
  virtual int16_t GetImageBlock(uint8_t* dest, int16_t lines, ScanParamBlock* params, int32_t width,
                                int32_t pageHeight);
  virtual int16_t GetImageBlockDual(uint8_t* destMirrored, uint8_t* destDirect, int16_t lines,
                                    int32_t fourth, int32_t width, int32_t sixth);
  virtual int FeedPage();
  virtual void EndScanPage();
  virtual void EndScan();
  virtual int FeedBack();
  virtual int FeedBack_S(int milliseconds);
  virtual int Beeps();
  virtual int16_t IsButtonDown();
  virtual int StopFeed();
  virtual void GetVidPid(uint16_t* vendorId, uint16_t* productId);
  virtual int VerifyID(uint16_t vendorId, uint16_t productId);
  virtual void GetSN(char* text);
  virtual void ResetHardware();
  virtual int IsCapableOf(int16_t capability);
  virtual int GetFilterNames(char* buffer);
  virtual int ResolutionInfo(uint16_t* first, uint16_t* second, uint16_t* third);
  virtual void AdjustChannelValue(uint8_t* table, int16_t brightness, int16_t contrast,
                                  int16_t gamma, int16_t highlight, int16_t shadow);
  virtual void AbortScan();
  virtual void SetFunc(LF_ScanCallback callback);
  virtual void Scan(int16_t imageType, int16_t resolution, int32_t unused, int16_t rowsPerBlock,
                    LF_ScanCallback callback, int16_t top, int16_t bottom, int16_t left,
                    int16_t right);
  virtual int ScanImage(ScanParamBlock* params, const char* fileName, int32_t* width,
                        int32_t* height);
  virtual int ScanImageDual(ScanParamBlock* params, const char* frontFile, const char* backFile,
                            int32_t* width, int32_t* height);
  virtual int ReadEEPROMInfo(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                             uint8_t* secondText, uint8_t* serial, int32_t memType,
                             const char* pass);
  virtual int WriteEEPROMInfo(uint16_t vendorId, uint16_t productId, const char* firstText,
                              const char* secondText, const char* serial, int32_t memType,
                              const char* pass);
  virtual void ReverseMotor(int on);
  virtual int IsPaperOn();
  virtual void SetDualScan(int16_t flag);
  virtual void IndicatorOn(int32_t which);
  virtual void IndicatorOff(int32_t which);

  int32_t GetActivity() const { return activity_; }
  void SetActivity(int32_t activity) { activity_ = activity; }

 private:
  // Paper moves run on their own and inside cleaning, calibration and page
  // scans; only a move that starts from idle claims the activity code, so an
  // outer operation keeps showing while its feed runs. Returns whether the
  // code was claimed, which is what EndPaperMove needs to know.
  bool BeginPaperMove();
  void EndPaperMove(bool claimed);

  int32_t pageWidth_ = 0;
  int32_t pageHeight_ = 0;
  int32_t activity_ = kActivityIdle;
};

}  // namespace lf
