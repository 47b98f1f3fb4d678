// Types and process-wide values shared by every subsystem: the host's
// parameter record, the build's model name, the component pointers through
// which the parts of one model reach each other, and the two global flags.
#pragma once

#include <cstdint>

#include "LF_v2270.h"

namespace lf {

// The product this module is built for. Branches that depend on "the model"
// in the engine, session and calibration test this constant, never the name
// the host passed to IO_HasScanner.
inline constexpr const char kBuildModelName[] = "Lumaframe v2270";

inline constexpr int kScanParamCount = 43;
static_assert(sizeof(ScanParamBlock) == kScanParamCount * sizeof(int16_t));

// The four scanner families one build serves.
enum class ModelFamily { kLumaframe, kKD21x, kKD409P, kBusinessCard };

// Appends tail to the terminated text in dest (capacity bytes in all),
// cutting it so that the terminator still fits.
void AppendText(char* dest, uint32_t capacity, const char* tail);

// Whole-string comparison without ASCII letter case.
bool EqualsIgnoringCase(const char* a, const char* b);

class ScanSession;
class ScannerModel;
class DeviceLink;
class Calibrator;
class ScanParamHolder;
class ModelSettings;
class ScanDevice;

// The component pointers. The model's constructor fills the five component
// pointers and its destructor empties them; IO_HasScanner owns the model and
// the session.
extern ScanSession* g_session;
extern ScannerModel* g_model;
extern DeviceLink* g_deviceLink;
extern Calibrator* g_calibrator;
extern ScanParamHolder* g_scanParams;
extern ModelSettings* g_settings;
extern ScanDevice* g_scanDevice;

// Dual-scan flag: 1 selects the back sensor of the two-sided model.
extern int16_t g_dualScan;
// Bit 5 of port register 0x32 as the two-sided model last read it when it
// started a page; its settings profiles depend on it.
extern int32_t g_boardVariantFlag;

// Added to the per-channel gamma values that page preparation hands to the
// gamma-table builder; set by IO_SetGamma (red, green, blue).
extern float g_gammaAdjust[3];
// The module instance handle the library entry point records (Windows).
extern void* g_moduleInstance;

}  // namespace lf
