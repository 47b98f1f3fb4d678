// The session object and its process-wide values. Until the page flow and
// the device controls are wired to the scan device, every operation answers
// as it does for a scanner that is not open.
#include "models/models.h"
#include "session/session.h"

namespace lf {

char g_iniPath[kIniPathCapacity] = {};
int32_t g_keepScanning = 0;
LF_ScanCallback g_scanCallback = nullptr;

namespace {
constexpr const char kIniFileName[] = "ondrusb.ini";

void BuildIniPath() {
  g_iniPath[0] = '\0';
  if (g_model == nullptr) return;
  AppendText(g_iniPath, kIniPathCapacity, g_model->GetCalibrationDir());
  AppendText(g_iniPath, kIniPathCapacity, kIniFileName);
}
}  // namespace

ScanSession::ScanSession() { BuildIniPath(); }

int ScanSession::Clean() { return 0; }
int ScanSession::IsCalibrationNeeded() { return 1; }
int ScanSession::CalibrateScanner(int) { return 0; }
int ScanSession::StartScan() { return -7; }
void ScanSession::FeedOn() {}
void ScanSession::FeedOn_S(int) {}
int ScanSession::GetPageDimension(ScanParamBlock*, int32_t*, int32_t*) { return 0; }
int ScanSession::StartScanPage(ScanParamBlock*, int32_t*, int32_t*) { return 0; }
int16_t ScanSession::GetImageBlock(uint8_t*, int16_t, ScanParamBlock*, int32_t, int32_t) {
  return -7;
}
int16_t ScanSession::GetImageBlockDual(uint8_t*, uint8_t*, int16_t, int32_t, int32_t, int32_t) {
  return -7;
}
int ScanSession::FeedPage() { return 0; }
void ScanSession::EndScanPage() {}
void ScanSession::EndScan() {}
int ScanSession::FeedBack() { return 0; }
int ScanSession::FeedBack_S(int) { return 0; }
int ScanSession::Beeps() { return 0; }
int16_t ScanSession::IsButtonDown() { return -7; }
int ScanSession::StopFeed() { return 0; }
void ScanSession::GetVidPid(uint16_t*, uint16_t*) {}
int ScanSession::VerifyID(uint16_t vendorId, uint16_t productId) {
  return (vendorId == 0x2E1A && productId == 0x4C71) ? 1 : 0;
}
void ScanSession::GetSN(char*) {}
void ScanSession::ResetHardware() {}
int ScanSession::IsCapableOf(int16_t) { return 0; }
int ScanSession::GetFilterNames(char*) { return 0; }
int ScanSession::ResolutionInfo(uint16_t*, uint16_t*, uint16_t*) { return 0; }
void ScanSession::AdjustChannelValue(uint8_t*, int16_t, int16_t, int16_t, int16_t, int16_t) {}
void ScanSession::AbortScan() { g_keepScanning = 0; }
void ScanSession::SetFunc(LF_ScanCallback callback) { g_scanCallback = callback; }
void ScanSession::Scan(int16_t, int16_t, int32_t, int16_t, LF_ScanCallback, int16_t, int16_t,
                       int16_t, int16_t) {}
int ScanSession::ScanImage(ScanParamBlock*, const char*, int32_t*, int32_t*) { return 0; }
int ScanSession::ScanImageDual(ScanParamBlock*, const char*, const char*, int32_t*, int32_t*) {
  return 0;
}
int ScanSession::ReadEEPROMInfo(uint16_t*, uint16_t*, uint8_t*, uint8_t*, uint8_t*, int32_t,
                                const char*) {
  return 0;
}
int ScanSession::WriteEEPROMInfo(uint16_t, uint16_t, const char*, const char*, const char*,
                                 int32_t, const char*) {
  return 0;
}
void ScanSession::ReverseMotor(int) {}
int ScanSession::IsPaperOn() { return 0; }
void ScanSession::SetDualScan(int16_t flag) { g_dualScan = flag; }
void ScanSession::IndicatorOn(int32_t) {}
void ScanSession::IndicatorOff(int32_t) {}

}  // namespace lf
