// The flat exported interface. Almost every export forwards to the session
// with its arguments unchanged and answers a fixed value when there is no
// session; IO_HasScanner builds everything.
#include "LF_v2270.h"

#include "api/api.h"
#include "calibration/calibration.h"
#include "channel/channel.h"
#include "models/models.h"
#include "platform/platform.h"
#include "session/session.h"

namespace lf {
namespace {

ColourTriple g_colour;

template <typename T>
void DestroyAndNull(T*& pointer) {
  delete pointer;
  pointer = nullptr;
}

// Tears the session and the model down when the library is unloaded.
struct ModuleLifetime {
  ModuleLifetime() = default;
  ~ModuleLifetime() { ReleaseSessionAndModel(); }
} g_moduleLifetime;

constexpr int16_t kDefaultTop = 0;
constexpr int16_t kDefaultBottom = 360;
constexpr int16_t kDefaultLeft = 0;
constexpr int16_t kDefaultRight = 220;

}  // namespace

ColourTriple GetColourTriple() { return g_colour; }

void ReleaseSessionAndModel() {
  DestroyAndNull(g_session);
  DestroyAndNull(g_model);
}

}  // namespace lf

using lf::g_session;

extern "C" {

int IO_HasScanner(const char* modelName) {
  lf::DestroyAndNull(lf::g_model);
  lf::DestroyAndNull(lf::g_session);
  int result = 0;
  if (lf::ScannerModel* model = lf::CreateModelForName(modelName)) {
    lf::g_model = model;
    result = (lf::g_deviceLink != nullptr) ? lf::g_deviceLink->IsOpened() : 0;
    if (result == 1) g_session = new (std::nothrow) lf::ScanSession();
  }
  // The card and two-sided scanners hold their sheet until the host asks.
  if (!lf::EqualsIgnoringCase(modelName, "Business Card") &&
      !lf::EqualsIgnoringCase(modelName, "KD409P")) {
    IO_FeedBack();
  }
  return result;
}

int IO_ODAScanner(void) { return IO_HasScanner("Ondralyx ODA"); }

int IO_isScannerConnected(void) {
  if (g_session != nullptr && g_session->GetActivity() != lf::kActivityIdle) return 1;
  uint8_t status = 0;
  if (lf::ReadRegister(0x101, &status)) return 1;
  lf::platform::DebugString("IO_HasScanner ...... \n");
  return IO_HasScanner(lf::kBuildModelName);
}

void IO_FindFirstLine(void) {
  if (lf::g_calibrator != nullptr) lf::g_calibrator->FindFirstLine();
}

void IO_SetColor(int first, int second, int third) { lf::g_colour = {first, second, third}; }

void IO_SetGamma(float first, float second, float third) {
  lf::g_gammaAdjust[0] = first;
  lf::g_gammaAdjust[1] = second;
  lf::g_gammaAdjust[2] = third;
}

// --- session forwarders ---------------------------------------------------

int IO_Clean(void) { return g_session ? g_session->Clean() : 0; }
int IO_IsCalibrationNeeded(void) { return g_session ? g_session->IsCalibrationNeeded() : 0; }
int IO_CalibrateScanner(int unused) { return g_session ? g_session->CalibrateScanner(unused) : 0; }
int IO_StartScan(void) { return g_session ? g_session->StartScan() : 0; }
void IO_FeedOn(void) {
  if (g_session) g_session->FeedOn();
}
void IO_FeedOn_S(int milliseconds) {
  if (g_session) g_session->FeedOn_S(milliseconds);
}
int IO_GetPageDimension(ScanParamBlock* params, int* width, int* height) {
  return g_session ? g_session->GetPageDimension(params, width, height) : 0;
}
int IO_StartScanPage(ScanParamBlock* params, int* width, int* height) {
  return g_session ? g_session->StartScanPage(params, width, height) : 0;
}
short IO_GetImageBlock(unsigned char* dest, short lines, ScanParamBlock* params, int width,
                       int pageHeight) {
  return g_session ? g_session->GetImageBlock(dest, lines, params, width, pageHeight) : 0;
}
short IO_GetImageBlockDual(unsigned char* destMirrored, unsigned char* destDirect, short lines,
                           int fourth, int width, int sixth) {
  return g_session
             ? g_session->GetImageBlockDual(destMirrored, destDirect, lines, fourth, width, sixth)
             : 0;
}
int IO_FeedPage(void) { return g_session ? g_session->FeedPage() : 0; }
void IO_EndScanPage(void) {
  if (g_session) g_session->EndScanPage();
}
void IO_EndScan(void) {
  if (g_session) g_session->EndScan();
}
int IO_FeedBack(void) { return g_session ? g_session->FeedBack() : 0; }
int IO_FeedBack_S(int milliseconds) { return g_session ? g_session->FeedBack_S(milliseconds) : 0; }
int IO_Beeps(void) { return g_session ? g_session->Beeps() : 0; }
short IO_IsButtonDown(void) { return g_session ? g_session->IsButtonDown() : 0; }
int IO_StopFeed(void) { return g_session ? g_session->StopFeed() : 0; }
void IO_GetVidPid(unsigned short* vendorId, unsigned short* productId) {
  if (g_session) g_session->GetVidPid(vendorId, productId);
}
int IO_VerifyID(unsigned short vendorId, unsigned short productId) {
  return g_session ? g_session->VerifyID(vendorId, productId) : 0;
}
void IO_GetSN(char* serial) {
  if (g_session) g_session->GetSN(serial);
}
void IO_ResetHardware(void) {
  if (g_session) g_session->ResetHardware();
}
int IO_IsCapableOf(short capability) { return g_session ? g_session->IsCapableOf(capability) : 0; }
int IO_GetFilterNames(char* names) { return g_session ? g_session->GetFilterNames(names) : 0; }
int IO_ResolutionInfo(unsigned short* first, unsigned short* second, unsigned short* third) {
  return g_session ? g_session->ResolutionInfo(first, second, third) : 0;
}
void IO_AdjustChannelValue(unsigned char* table, short brightness, short contrast, short gamma,
                           short highlight, short shadow) {
  if (g_session) {
    g_session->AdjustChannelValue(table, brightness, contrast, gamma, highlight, shadow);
  }
}
void IO_AbortScan(void) {
  if (g_session) g_session->AbortScan();
}
void SetFunc(LF_ScanCallback callback) {
  if (g_session) g_session->SetFunc(callback);
}
void IO_Scan_New(short imageType, short resolution, int unused, short rowsPerBlock,
                 LF_ScanCallback callback, short top, short bottom, short left, short right) {
  if (g_session) {
    g_session->Scan(imageType, resolution, unused, rowsPerBlock, callback, top, bottom, left,
                    right);
  }
}
void IO_Scan(short imageType, short resolution, int unused, short rowsPerBlock,
             LF_ScanCallback callback) {
  IO_Scan_New(imageType, resolution, unused, rowsPerBlock, callback, lf::kDefaultTop,
              lf::kDefaultBottom, lf::kDefaultLeft, lf::kDefaultRight);
}
int IO_ScanImage(ScanParamBlock* params, const char* fileName, int* width, int* height) {
  return g_session ? g_session->ScanImage(params, fileName, width, height) : 0;
}
int IO_ScanImageDual(ScanParamBlock* params, const char* frontFile, const char* backFile,
                     int* width, int* height) {
  return g_session ? g_session->ScanImageDual(params, frontFile, backFile, width, height) : 0;
}
int IO_ReadEEPROMInfo(unsigned short* vendorId, unsigned short* productId,
                      unsigned char* firstText, unsigned char* secondText, unsigned char* serial,
                      int memType, const char* pass) {
  return g_session ? g_session->ReadEEPROMInfo(vendorId, productId, firstText, secondText, serial,
                                               memType, pass)
                   : 0;
}
int IO_WriteEEPROMInfo(unsigned short vendorId, unsigned short productId, const char* firstText,
                       const char* secondText, const char* serial, int memType,
                       const char* pass) {
  return g_session ? g_session->WriteEEPROMInfo(vendorId, productId, firstText, secondText,
                                                serial, memType, pass)
                   : 0;
}
void IO_ReverseMotor(int keepForward) {
  if (g_session) g_session->ReverseMotor(keepForward);
}
int IO_IsPaperOn(void) { return g_session ? g_session->IsPaperOn() : 0; }
void IO_SetDualScan(int flag) {
  if (g_session) g_session->SetDualScan(static_cast<int16_t>(flag));
}

// --- fixed answers ----------------------------------------------------------

short IO_GetPaperNames(void*) { return 0; }
short IO_GetPreviewResolution(void*) { return 0; }
int IO_IsButtonOn(void) { return 0; }
int IO_GetPatternData(void*) { return 0; }
int IO_HardwareCheck(void) { return 0; }
int IO_IsADFAttached(void) { return 0; }
int IO_IsSlideAttathed(void) { return 0; }
int IO_IsTransA4Attathed(void) { return 0; }
int IO_IsTransA5Attathed(void) { return 0; }
void IO_Step(void*) {}
void IO_GetDriverName(void*) {}
void IO_GetHalftonePattern(void*) {}
void IO_ProcessPaperJam(void) {}
void IO_SetLED(int) {}
void IO_StartUp(void) {}

}  // extern "C"

// --- the small C++ exports ----------------------------------------------------

int nOndrUSBDll = 0;

int fnOndrUSBDll(void) { return 42; }

COndrUSBDll::COndrUSBDll() = default;

COndrUSBDll& COndrUSBDll::operator=(const COndrUSBDll&) { return *this; }
