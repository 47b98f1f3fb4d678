// Model composition: one object per scanner family that decides which
// settings, calibrator and device classes are used, where the calibration
// files live, and which USB device is looked for.
#include <cstring>
#include <new>

#include "calibration/calibration.h"
#include "channel/channel.h"
#include "device/device.h"
#include "models/models.h"
#include "platform/platform.h"

namespace lf {
namespace {

constexpr const char kVendorName[] = "Quorin Technology";
constexpr const char kInstallKey[] = "SoftWare\\Halvorik\\Tallowmere EZ";
constexpr const char kInstallValue[] = "InstallPath";

// Appends to the fixed path field, cutting at its capacity.
void AppendPath(char* path, const char* tail) { AppendText(path, kPathCapacity, tail); }

void AppendAndCreate(char* path, const char* tail) {
  AppendPath(path, tail);
  platform::CreateDirectory(path);  // an existing directory is fine
}

// "<base>\halvorik\scanner\LF_v2270\" with each level created on the way.
void BuildVendorTree(char* path, const char* top) {
  AppendAndCreate(path, top);
  AppendAndCreate(path, "\\scanner");
  AppendAndCreate(path, "\\LF_v2270");
  AppendPath(path, "\\");
}

void ResolveLumaframeDir(char* path) {
  if (platform::ReadMachineRegistryString(kInstallKey, kInstallValue, path, kPathCapacity)) {
    AppendAndCreate(path, "\\scanners");
    AppendPath(path, "\\");
    return;
  }
  std::strcpy(path, "C:");
  BuildVendorTree(path, "\\halvorik");
}

// The drive of the Windows directory, then the vendor tree.
void ResolveWindowsDriveDir(char* path) {
  path[0] = '\0';
  platform::GetWindowsDirectory(path, kPathCapacity);
  path[2] = '\0';
  BuildVendorTree(path, "\\quorin");
}

void ResolveFixedDir(char* path) {
  std::strcpy(path, "C:");
  BuildVendorTree(path, "\\halvorik");
}

ModelSettings* CreateSettings(ModelFamily family) {
  switch (family) {
    case ModelFamily::kLumaframe:
      return new (std::nothrow) LumaframeSettings();
    case ModelFamily::kKD21x:
      return new (std::nothrow) KD21xSettings();
    case ModelFamily::kKD409P:
      return new (std::nothrow) KD409PSettings();
    case ModelFamily::kBusinessCard:
      return new (std::nothrow) BusinessCardSettings();
  }
  return nullptr;
}

// The Lumaframe and two-sided models clear out whatever a component pointer
// still holds before they fill it; the other two rely on IO_HasScanner
// having emptied them.
bool ClearsLeftoverComponents(ModelFamily family) {
  return family == ModelFamily::kLumaframe || family == ModelFamily::kKD409P;
}

template <typename T>
void DestroyComponent(T*& pointer) {
  delete pointer;
  pointer = nullptr;
}

}  // namespace

ScannerModel::ScannerModel()
    : vendorId_(kScannerVendorId), wordA_(0), wordB_(0), valueD_(10000), valueE_(0),
      valueF_(350) {
  ToWide(vendorName_, kIdentityNameCapacity, kVendorName);
  ToWide(modelName_, kIdentityNameCapacity, kBuildModelName);
}

void ScannerModel::SetModelValues() {
  valueC_ = 300;
  valueF_ = 300;
  productId_ = kScannerProductId;
  valueG_ = 500;
  wordB_ = 0;
  ToWide(modelName_, kIdentityNameCapacity, kBuildModelName);
}

void ScannerModel::ResolveCalibrationDir(ModelFamily family) {
  switch (family) {
    case ModelFamily::kLumaframe:
      ResolveLumaframeDir(calibrationDir_);
      break;
    case ModelFamily::kKD21x:
    case ModelFamily::kBusinessCard:
      ResolveWindowsDriveDir(calibrationDir_);
      break;
    case ModelFamily::kKD409P:
      ResolveFixedDir(calibrationDir_);
      break;
  }
}

void ScannerModel::CreateComponents(ModelFamily family) {
  if (ClearsLeftoverComponents(family)) {
    DestroyComponent(g_settings);
    DestroyComponent(g_calibrator);
    DestroyComponent(g_deviceLink);
    DestroyComponent(g_scanDevice);
    DestroyComponent(g_scanParams);
  }
  g_settings = CreateSettings(family);
  g_calibrator = CreateCalibrator(family);
  g_deviceLink = new (std::nothrow) UsbDeviceLink(vendorId_, productId_);
  g_scanDevice = CreateScanDevice(family);
  g_scanParams = new (std::nothrow) ScanParamHolder();
}

void ScannerModel::Build(ModelFamily family) {
  SetModelValues();
  ResolveCalibrationDir(family);
  CreateComponents(family);
}

void ScannerModel::ReleaseComponents() {
  DestroyComponent(g_scanDevice);
  DestroyComponent(g_scanParams);
  DestroyComponent(g_deviceLink);
  DestroyComponent(g_calibrator);
  DestroyComponent(g_settings);
}

LumaframeModel::LumaframeModel() { Build(ModelFamily::kLumaframe); }
LumaframeModel::~LumaframeModel() { ReleaseComponents(); }

KD21xModel::KD21xModel() { Build(ModelFamily::kKD21x); }
KD21xModel::~KD21xModel() { ReleaseComponents(); }

KD409PModel::KD409PModel() { Build(ModelFamily::kKD409P); }
KD409PModel::~KD409PModel() { ReleaseComponents(); }

BusinessCardModel::BusinessCardModel() {
  Build(ModelFamily::kBusinessCard);
  // The card scanner's device file can open while its controller stays
  // silent; such a scanner is reported as absent.
  if (g_scanDevice != nullptr && g_deviceLink != nullptr && g_scanDevice->IsConnected() == 0) {
    g_deviceLink->SetOpened(0);
  }
}
BusinessCardModel::~BusinessCardModel() { ReleaseComponents(); }

namespace {

struct ModelString {
  const char* name;
  ModelFamily family;
};

// Matched in this order; the first match wins.
constexpr ModelString kModelStrings[] = {
    {"KD211-U", ModelFamily::kKD21x},          {"KD212-U", ModelFamily::kKD21x},
    {"KD213-U", ModelFamily::kKD21x},          {"KD214-U", ModelFamily::kKD21x},
    {"KD215-U", ModelFamily::kKD21x},          {"KD216-U", ModelFamily::kKD21x},
    {"KD217-U", ModelFamily::kKD21x},          {"KD218-U", ModelFamily::kKD21x},
    {"Business Card", ModelFamily::kBusinessCard}, {"Ondralyx KD211", ModelFamily::kKD21x},
    {"KD409P", ModelFamily::kKD409P},          {"Lumaframe v2270", ModelFamily::kLumaframe},
};

ScannerModel* NewModel(ModelFamily family) {
  switch (family) {
    case ModelFamily::kLumaframe:
      return new (std::nothrow) LumaframeModel();
    case ModelFamily::kKD21x:
      return new (std::nothrow) KD21xModel();
    case ModelFamily::kKD409P:
      return new (std::nothrow) KD409PModel();
    case ModelFamily::kBusinessCard:
      return new (std::nothrow) BusinessCardModel();
  }
  return nullptr;
}

}  // namespace

ScannerModel* CreateModelForName(const char* name) {
  for (const ModelString& entry : kModelStrings) {
    if (EqualsIgnoringCase(name, entry.name)) return NewModel(entry.family);
  }
  return nullptr;
}

}  // namespace lf
