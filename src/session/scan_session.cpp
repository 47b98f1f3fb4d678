// The session object and its process-wide values. Every operation that talks
// to the scanner first checks that the channel is open, records what the
// scanner is busy with, and hands the work to the model's components through
// the component pointers. The whole-page scans stay minimal for now.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "calibration/calibration.h"
#include "device/device.h"
#include "models/models.h"
#include "platform/platform.h"
#include "session/session.h"

namespace lf {

char g_iniPath[kIniPathCapacity] = {};
int32_t g_keepScanning = 0;
LF_ScanCallback g_scanCallback = nullptr;

namespace {

constexpr const char kIniFileName[] = "ondrusb.ini";

// Results of the operations the host cannot run without an open scanner.
constexpr int kNotOpen = -7;
constexpr int16_t kNotOpen16 = -7;
constexpr int16_t kNoMemory16 = -2;

// Values of the host's ScanParamBlock the session reads.
constexpr int kValueImageType = 0;
constexpr int kValueSampleSize = 1;
constexpr int kValueResolution = 2;
constexpr int kValueTop = 37;
constexpr int kValueLeft = 38;
constexpr int kValueBottom = 39;
constexpr int kValueRight = 40;

constexpr int16_t kImageLineArt = 2;
constexpr int16_t kTwoBytesPerSample = 2;

// Sizes the host may pass to StartScanPage; outside them it means "the page
// I asked for with GetPageDimension".
constexpr int32_t kMinPageSize = 2;
constexpr int32_t kMaxPageWidth = 21600;
constexpr int32_t kMaxPageHeight = 31200;

// The 600-dpi true-gray offset file stands for the whole calibration set; a
// file too short to hold a plane means no usable calibration is stored.
constexpr const char kCalibrationCheckBase[] = "PixOffTrueGray2";
constexpr int kCalibrationCheckFactor = 6;
constexpr uint32_t kMinCalibrationFileSize = 100;

constexpr uint16_t kIdentityVendorId = 0x2E1A;
constexpr uint16_t kIdentityProductId = 0x4C71;
constexpr const char kIdentityPass[] = "TW64R_BALDEN";
constexpr size_t kIdentityTextSize = 47;
constexpr int32_t kIdentityMemType = 1;

constexpr int16_t kCapabilities[] = {1000, 1001, 1005, 1101};

constexpr size_t kFilterNamesSize = 100;
constexpr const char* kFilterNames[] = {"Descreen", "Sharpen", "Blur"};

constexpr uint16_t kMaxResolution = 9600;
constexpr uint16_t kMinResolution = 100;
constexpr uint16_t kResolutionStep = 50;

void BuildIniPath() {
  g_iniPath[0] = '\0';
  if (g_model == nullptr) return;
  AppendText(g_iniPath, kIniPathCapacity, g_model->GetCalibrationDir());
  AppendText(g_iniPath, kIniPathCapacity, kIniFileName);
}

bool ScannerOpen() { return g_deviceLink != nullptr && g_deviceLink->IsOpened() == 1; }

// The device of an open scanner; null when the channel is closed (or the
// model could not build its device), which callers answer as "not open".
ScanDevice* OpenDevice() { return ScannerOpen() ? g_scanDevice : nullptr; }

// Rounds up to a multiple of a power of two; also right for negative sizes,
// which stay at or below zero and so keep failing the positivity check.
int32_t RoundUpTo(int32_t value, int32_t powerOfTwo) {
  return (value + powerOfTwo - 1) & ~(powerOfTwo - 1);
}

// Pixels across the page edges (hundredths of an inch) at the resolution.
int32_t EdgesToPixels(int16_t from, int16_t to, int16_t resolution) {
  return ((int32_t{to} - int32_t{from}) * int32_t{resolution}) / 100;
}

void SelectProfileFor(int16_t resolution) {
  if (g_settings == nullptr) return;
  // Lumaframe v2270: a profile for each of 300, 600 and 1200 dpi.
  if (resolution <= 300) {
    g_settings->SelectProfile300();
  } else if (resolution <= 600) {
    g_settings->SelectProfile600();
  } else {
    g_settings->SelectProfile1200();
  }
}

// Bytes per line of `pixels` pixels in the block's image type and sample size.
int32_t LineBytes(const ScanParamBlock& params, int32_t pixels) {
  const int16_t type = params.values[kValueImageType];
  const int32_t sampleBytes = params.values[kValueSampleSize] == kTwoBytesPerSample ? 2 : 1;
  if (type == kImageLineArt) return pixels / 8;
  if (type == 1 || type == 3 || type == 64) return pixels * sampleBytes;
  return pixels * sampleBytes * 3;
}

std::unique_ptr<uint8_t[]> ZeroedText() {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kIdentityTextSize]());
}

// A double to int conversion as the 32-bit x86 instruction makes it: values
// it cannot represent (an infinite power for a gamma of zero or below) give
// the "integer indefinite" 0x80000000 rather than undefined behaviour.
int32_t TruncateLikeX86(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Addition that wraps as the x86 register arithmetic does.
int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

template <typename T>
T Clamp(T value, T low, T high) {
  return value < low ? low : (value > high ? high : value);
}

// One entry of the tone curve before the highlight/shadow window.
int32_t ToneLevel(int i, double exponent, int32_t offset, int32_t contrast) {
  const double curve = 255.0 * std::pow(i / 255.0, exponent) + 0.5;
  int32_t v = WrappingAdd(TruncateLikeX86(curve), offset);
  if (v < 0) return 0;
  if (v > 255) return 255;
  v += (v * contrast) / 400;
  if (v > 255) return 255;
  if (v < 1) return 0;
  return v;
}

}  // namespace

ScanSession::ScanSession() { BuildIniPath(); }

bool ScanSession::BeginPaperMove() {
  if (activity_ != kActivityIdle) return false;
  activity_ = kActivityMovingPaper;
  return true;
}

void ScanSession::EndPaperMove(bool claimed) {
  if (claimed) activity_ = kActivityIdle;
}

// --- page flow ---------------------------------------------------------------

int ScanSession::Clean() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  activity_ = kActivityCleaning;
  device->Clean();
  // Lumaframe v2270: the cleaning sheet leaves the way it came in.
  FeedBack();
  activity_ = kActivityIdle;
  return 1;
}

int ScanSession::IsCalibrationNeeded() {
  char path[kPathCapacity] = {};
  // Lumaframe v2270: the check file lives with the other calibration files.
  const int length = std::snprintf(path, sizeof path, "%s%s%d.dat",
                                   g_model != nullptr ? g_model->GetCalibrationDir() : "",
                                   kCalibrationCheckBase, kCalibrationCheckFactor);
  // A path that does not fit names no file that could have been written.
  if (length < 0 || length >= static_cast<int>(sizeof path)) return 1;
  std::unique_ptr<platform::File> file = platform::OpenFile(
      path, platform::FileAccess::kReadWrite, platform::FileDisposition::kOpenExisting);
  if (file == nullptr) return 1;
  // A failed seek (-1) reads as a huge unsigned size, i.e. "present".
  const auto size = static_cast<uint32_t>(file->Seek(0, platform::SeekOrigin::kEnd));
  file.reset();
  return size < kMinCalibrationFileSize ? 1 : 0;
}

int ScanSession::CalibrateScanner(int) {
  if (!ScannerOpen()) return 0;
  activity_ = kActivityCalibrating;
  const int result = g_calibrator != nullptr ? g_calibrator->Calibrate() : 0;
  activity_ = kActivityIdle;
  return result;
}

int ScanSession::StartScan() {
  if (!ScannerOpen()) return kNotOpen;
  // Lumaframe v2270: the device was initialised when it was built; nothing
  // to redo before a batch of pages.
  return 1;
}

int ScanSession::GetPageDimension(ScanParamBlock* params, int32_t* width, int32_t* height) {
  if (!ScannerOpen() || g_scanParams == nullptr) return 0;
  g_scanParams->Set(params);
  const ScanParamBlock* clamped = g_scanParams->Get();
  if (clamped == nullptr) return 0;
  const int16_t* v = clamped->values;
  const int16_t resolution = v[kValueResolution];
  SelectProfileFor(resolution);

  int32_t w = EdgesToPixels(v[kValueLeft], v[kValueRight], resolution);
  // Line art packs 8 pixels a byte and the engine moves whole 32-bit words.
  w = RoundUpTo(w, v[kValueImageType] == kImageLineArt ? 32 : 4);
  *width = w;
  pageWidth_ = w;
  const int32_t h = EdgesToPixels(v[kValueTop], v[kValueBottom], resolution);
  *height = h;
  pageHeight_ = h;
  return (pageWidth_ > 0 && pageHeight_ > 0) ? 1 : 0;
}

int ScanSession::StartScanPage(ScanParamBlock* params, int32_t* width, int32_t* height) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  activity_ = kActivityScanningPage;
  if (*width < kMinPageSize || *width > kMaxPageWidth) *width = pageWidth_;
  if (*height < kMinPageSize || *height > kMaxPageHeight) *height = pageHeight_;
  // The engine needs an even line length; the host keeps the width it asked
  // for and gets the page cropped to it by GetImageBlock.
  int32_t w = ((*width + 1) / 2) * 2;
  int32_t h = *height;
  pageWidth_ = w;
  pageHeight_ = h;
  return device->StartScanPage(params, &w, &h, 0);
}

int16_t ScanSession::GetImageBlock(uint8_t* dest, int16_t lines, ScanParamBlock* params,
                                   int32_t width, int32_t pageHeight) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return kNotOpen16;
  if (width == pageWidth_) return device->GetImageBlock(dest, lines, params, width, pageHeight, 0);

  // The device always delivers whole page lines; cut each to the host's
  // width. A crop wider than the page (or of a negative size) would read
  // past the lines, so it is refused before the scanner is touched.
  if (width > pageWidth_ || width < 0 || lines < 0) return kNoMemory16;
  const int32_t stride = LineBytes(*params, pageWidth_);
  const int32_t count = LineBytes(*params, width);
  std::unique_ptr<uint8_t[]> pageLines(
      new (std::nothrow) uint8_t[static_cast<size_t>(lines) * static_cast<size_t>(stride)]);
  if (pageLines == nullptr) return kNoMemory16;

  const int16_t result =
      device->GetImageBlock(pageLines.get(), lines, params, pageWidth_, pageHeight, 0);
  const uint8_t* from = pageLines.get();
  for (int16_t line = 0; line < lines; ++line) {
    std::memcpy(dest, from, static_cast<size_t>(count));
    from += stride;
    dest += count;
  }
  return result;
}

int16_t ScanSession::GetImageBlockDual(uint8_t* destMirrored, uint8_t* destDirect, int16_t lines,
                                       int32_t fourth, int32_t width, int32_t sixth) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return kNotOpen16;
  return device->GetImageBlockDual(destMirrored, destDirect, lines, fourth, width, sixth, 0);
}

void ScanSession::EndScanPage() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  device->EndScanPage();
  activity_ = kActivityIdle;
}

void ScanSession::EndScan() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  device->EndScan();
  activity_ = kActivityIdle;
}

// --- paper -------------------------------------------------------------------

void ScanSession::FeedOn() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  const bool claimed = BeginPaperMove();
  device->FeedOn();
  EndPaperMove(claimed);
}

void ScanSession::FeedOn_S(int milliseconds) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  const bool claimed = BeginPaperMove();
  device->FeedOnFor(static_cast<uint32_t>(milliseconds));
  EndPaperMove(claimed);
}

int ScanSession::FeedPage() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  const bool claimed = BeginPaperMove();
  device->FeedPage();
  EndPaperMove(claimed);
  return 1;
}

int ScanSession::FeedBack() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  const bool claimed = BeginPaperMove();
  device->FeedBack();
  EndPaperMove(claimed);
  return 1;
}

int ScanSession::FeedBack_S(int milliseconds) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  const bool claimed = BeginPaperMove();
  device->FeedBackFor(static_cast<uint32_t>(milliseconds));
  EndPaperMove(claimed);
  return 1;
}

int ScanSession::StopFeed() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  device->StopFeed();
  // Stopping the motor also ends whatever page scan was running.
  activity_ = kActivityIdle;
  return 1;
}

void ScanSession::ReverseMotor(int on) {
  if (ScanDevice* device = OpenDevice()) device->ReverseMotor(on);
}

int ScanSession::IsPaperOn() {
  ScanDevice* device = OpenDevice();
  return device != nullptr ? device->IsPaperOn() : 0;
}

// --- panel -------------------------------------------------------------------

int ScanSession::Beeps() {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return 0;
  activity_ = kActivityBeeping;
  device->Beeps();
  activity_ = kActivityIdle;
  return 1;
}

int16_t ScanSession::IsButtonDown() {
  ScanDevice* device = OpenDevice();
  return device != nullptr ? device->GetPressedButton() : kNotOpen16;
}

void ScanSession::ResetHardware() {
  // Not gated on the open flag: on a closed channel the register write just
  // fails, and a host may use this to shake a confused controller loose.
  if (g_scanDevice != nullptr) g_scanDevice->ResetHardware();
}

void ScanSession::IndicatorOn(int32_t which) {
  if (ScanDevice* device = OpenDevice()) device->IndicatorOn(static_cast<int16_t>(which));
}

void ScanSession::IndicatorOff(int32_t which) {
  if (ScanDevice* device = OpenDevice()) device->IndicatorOff(static_cast<int16_t>(which));
}

// --- identity ----------------------------------------------------------------

void ScanSession::GetVidPid(uint16_t* vendorId, uint16_t* productId) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  activity_ = kActivityReadingIdentity;
  // The identity read always fills all three texts; only the IDs are wanted.
  std::unique_ptr<uint8_t[]> first = ZeroedText();
  std::unique_ptr<uint8_t[]> second = ZeroedText();
  std::unique_ptr<uint8_t[]> third = ZeroedText();
  if (first != nullptr && second != nullptr && third != nullptr) {
    device->ReadEEPROMInfo(vendorId, productId, third.get(), first.get(), second.get(),
                           kIdentityMemType);
  }
  activity_ = kActivityIdle;
}

int ScanSession::VerifyID(uint16_t vendorId, uint16_t productId) {
  return (vendorId == kIdentityVendorId && productId == kIdentityProductId) ? 1 : 0;
}

void ScanSession::GetSN(char* text) {
  ScanDevice* device = OpenDevice();
  if (device == nullptr) return;
  activity_ = kActivityReadingIdentity;
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::unique_ptr<uint8_t[]> first = ZeroedText();
  std::unique_ptr<uint8_t[]> second = ZeroedText();
  if (first != nullptr && second != nullptr) {
    // The serial number is the identity string written through the fifth
    // argument, straight into the host's buffer.
    device->ReadEEPROMInfo(&vendor, &product, second.get(), first.get(),
                           reinterpret_cast<uint8_t*>(text), kIdentityMemType);
  }
  activity_ = kActivityIdle;
}

// No open check here: the identity transfers fail by themselves on a closed
// channel. The pass string keeps casual callers away from the memory.
int ScanSession::ReadEEPROMInfo(uint16_t* vendorId, uint16_t* productId, uint8_t* firstText,
                                uint8_t* secondText, uint8_t* serial, int32_t memType,
                                const char* pass) {
  if (!EqualsIgnoringCase(pass, kIdentityPass) || g_scanDevice == nullptr) return 0;
  return g_scanDevice->ReadEEPROMInfo(vendorId, productId, firstText, secondText, serial, memType);
}

int ScanSession::WriteEEPROMInfo(uint16_t vendorId, uint16_t productId, const char* firstText,
                                 const char* secondText, const char* serial, int32_t memType,
                                 const char* pass) {
  if (!EqualsIgnoringCase(pass, kIdentityPass) || g_scanDevice == nullptr) return 0;
  return g_scanDevice->WriteEEPROMInfo(vendorId, productId, firstText, secondText, serial, memType);
}

// --- queries -----------------------------------------------------------------

int ScanSession::IsCapableOf(int16_t capability) {
  for (int16_t known : kCapabilities) {
    if (capability == known) return 1;
  }
  return 0;
}

int ScanSession::GetFilterNames(char* buffer) {
  std::memset(buffer, 0, kFilterNamesSize);
  char* next = buffer;
  for (const char* name : kFilterNames) {
    const size_t length = std::strlen(name);
    std::memcpy(next, name, length + 1);
    next += length + 1;
  }
  return 1;
}

int ScanSession::ResolutionInfo(uint16_t* first, uint16_t* second, uint16_t* third) {
  *first = kMaxResolution;
  *second = kMinResolution;
  *third = kResolutionStep;
  return 1;
}

void ScanSession::AdjustChannelValue(uint8_t* table, int16_t brightness, int16_t contrast,
                                     int16_t gamma, int16_t highlight, int16_t shadow) {
  const int32_t b = Clamp<int32_t>(brightness, -100, 100);
  const int32_t c = Clamp<int32_t>(contrast, -100, 100);
  int32_t high = highlight < 2 ? 1 : (highlight > 255 ? 255 : highlight);
  const int32_t low = shadow < 1 ? 0 : (shadow > 254 ? 254 : shadow);
  // A window that is empty or upside down opens to one level above the shadow.
  if (low >= high) high = low + 1;

  const int32_t offset = (b * 31) / 100;
  const double exponent = 10.0 / gamma;  // gamma comes as ten times its value
  for (int i = 0; i < 256; ++i) {
    const int32_t v = Clamp(ToneLevel(i, exponent, offset, c), low, high);
    table[i] = static_cast<uint8_t>(((v - low) * 255) / (high - low));
  }
}

// --- whole-page scan ---------------------------------------------------------

void ScanSession::AbortScan() { g_keepScanning = 0; }
void ScanSession::SetFunc(LF_ScanCallback callback) { g_scanCallback = callback; }
void ScanSession::Scan(int16_t, int16_t, int32_t, int16_t, LF_ScanCallback, int16_t, int16_t,
                       int16_t, int16_t) {}
int ScanSession::ScanImage(ScanParamBlock*, const char*, int32_t*, int32_t*) { return 0; }
int ScanSession::ScanImageDual(ScanParamBlock*, const char*, const char*, int32_t*, int32_t*) {
  return 0;
}

void ScanSession::SetDualScan(int16_t flag) { g_dualScan = flag; }

}  // namespace lf
