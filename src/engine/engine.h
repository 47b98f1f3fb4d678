// The scan engine: everything that turns a scan request into controller
// programming and raw lines. Controller start-up and the analog front end,
// shading-table memory, motor tables and motor/lamp control, scan setup, and
// image data reading. Free functions over the register protocol; the state
// they share lives in one EngineState.
#pragma once

#include <cstdint>

namespace lf {

// ---------------------------------------------------------------------------
// The scan request
// ---------------------------------------------------------------------------

struct ScanParams {
  uint32_t originX = 0;       // left edge, 1/1200 inch
  uint32_t originY = 0;       // feed before the first line, 1/1200 inch
  uint32_t pixels = 0;        // pixels per line at xResolution
  uint32_t lines = 0;         // lines to scan
  uint16_t xResolution = 0;   // dpi; 67 and 133 stand for 1200/18 and 1200/9
  uint16_t yResolution = 0;
  uint8_t colourMode = 0;     // nonzero: one channel per line; 0: three channels
  uint8_t cardMode = 0;       // channel of a one-channel scan: 0, 1, 2
  uint8_t bitsPerSample = 8;  // 1, 8 or 16
  float lineTime = 0;         // ms per sensor line
  float exposureRed = 0;      // light-source on-times, ms
  float exposureGreen = 0;
  float exposureBlue = 0;
  uint8_t reduction = 1;      // 1, 2, 4: sensor pixel step in 1/1200 inch
  uint8_t lineSkip = 0;
  uint8_t keepProgram = 0;    // nonzero: only the end of setup runs
  uint8_t fixedSpeed = 0;     // nonzero: constant motor speed, no ramps
  uint8_t flag2b5 = 0;        // register 0x02 bit 5
  uint8_t mode2b6 = 0;        // register 0x02 bit 6 when 1
  uint8_t reserved = 0;
  uint8_t shadingOn = 0;      // the controller applies the shading tables
  uint8_t gammaOn = 0;        // the controller applies the gamma tables
  uint8_t pageMode = 0;       // 0 fixed length; 1, 2, 3 sheet-fed page programmes
};

// ---------------------------------------------------------------------------
// Process-wide engine state
// ---------------------------------------------------------------------------

struct AfePair {
  uint8_t reg;
  uint8_t value;
};
inline constexpr int kAfeSetSize = 13;

struct EngineState {
  // Controller configuration (start-up).
  double tickUs = 0.25;  // timer tick: 12 / engine clock MHz
  uint32_t baseDpi = 1200;
  uint32_t shadingGainScale = 16384;
  // The AFE set as the profiles leave it (start-up contents until then).
  AfePair afeSet[kAfeSetSize] = {{0x01, 0x31}, {0x02, 0x21}, {0x03, 0x12}, {0x04, 0x3F},
                                 {0x06, 0x02}, {0x08, 0x00}, {0x08, 0x00}, {0x20, 0x80},
                                 {0x21, 0x80}, {0x22, 0x80}, {0x28, 0x4B}, {0x29, 0x4B},
                                 {0x2A, 0x4B}};
  // AFE registers 0x01..0x03 for sensor modes 1, 2 and 4.
  uint8_t afeTriples[3][3] = {{0x35, 0x80, 0x02}, {0x35, 0x80, 0x02}, {0x35, 0x80, 0x01}};

  // Shading memory layout.
  uint32_t shadingAddress[3] = {};
  uint32_t tableUnits = 0;  // shading area in units of 2048 bytes

  // Motor.
  int scanStepType = 2;
  int feedStepType = 2;
  uint32_t timerDivider = 1;
  uint32_t scanTableSum = 0;   // divider x sum of the scan table's entries
  uint32_t scanTableLast = 0;  // divider x its last entry

  // The scan programmed by the last setup.
  uint32_t bytesPerLine = 0;
  int extraPlanes = 0;  // 0 one channel, 2 colour
  bool sixteenBit = false;
  uint8_t pageMode = 0;
  bool pageScan = false;
  uint8_t reduction = 1;
  uint16_t xResolution = 0;
  uint32_t linePeriodTicks = 0;
  uint32_t lineSkipPlusOne = 1;
  uint32_t pixelBase = 0;
  uint32_t motorBaseDpi = 300;
  uint32_t bufferSize = 0;  // image buffer size in units, from the buffer layout

  // Image reading.
  int32_t pageLinesDelivered = 0;
  int32_t pageLineLimit = 0xFFFFFF;
  bool pageEndKnown = false;
  uint32_t pageStartCount = 0;
};

EngineState& Engine();
// Tests only: back to the state of a freshly loaded library.
void ResetEngineState();

// ---------------------------------------------------------------------------
// Controller start-up and analog front end
// ---------------------------------------------------------------------------

bool InitController();
bool LoadSensorMode(uint8_t mode);  // 1, 2 or 4
bool InitAfeMode1();
bool InitAfeMode2();
bool SetAfeGain(uint8_t first, uint8_t second, uint8_t third);
bool SetAfeOffset(uint8_t first, uint8_t second, uint8_t third);
bool SetMemoryConfig(uint8_t sizeCode, uint8_t banks);
bool SetEngineClock(uint32_t mhz);
bool SetAuxClock(uint32_t mhz);
bool SetConverterMode(uint32_t mode);

// ---------------------------------------------------------------------------
// Shading tables
// ---------------------------------------------------------------------------

inline constexpr int32_t kShadingStagingEntries = 42000;

bool SetShadingBanks();
bool SetShadingBanks3x();
bool UploadShadingTables(const uint16_t* dark1, const uint16_t* dark2, const uint16_t* dark3,
                         const uint16_t* white1, const uint16_t* white2, const uint16_t* white3,
                         int32_t pixels);
bool UploadShadingTablesAlt(const uint16_t* dark1, const uint16_t* dark2, const uint16_t* dark3,
                            const uint16_t* white1, const uint16_t* white2,
                            const uint16_t* white3, int32_t pixels, int32_t reserved,
                            int32_t variant);

// ---------------------------------------------------------------------------
// Motor, lamp and engine control
// ---------------------------------------------------------------------------

inline constexpr int kStandardSpeedCount = 24;
// Steps per second: 180, 240, ... 1560.
extern const float kStandardSpeeds[kStandardSpeedCount];

bool SetScanStepType(int stepType);
bool SetFeedStepType(int stepType);
bool SetSlopeFields(int a, int b, int c, int d);
bool SetStepMode(uint8_t divider);
bool SelectTimerDivider(float linePeriodMs, int stepType, float stepsPerLine);
bool UploadSlopeTableA(const float* speeds, int count, float target, int stepType, int field,
                       int* outLength);
bool UploadSlopeTableB(const float* speeds, int count, float target, int stepType, int field,
                       int* outLength);
bool LoadFeedTable(const uint16_t* table, int length);
bool LoadScanTable(const uint16_t* table, int length);
bool SetFeedSteps(uint32_t steps);
bool SetPreFeed(int distance300);
bool SetMotorPhase();
bool SetMotorPhaseValues(uint32_t a, uint32_t b);
bool SetMotorDirection(bool forward);
bool SetMotorFlag3(bool on);
bool SetMotorEnable(bool on);
bool SetMotorHold(bool on);
bool SetLampState(int lamp, int on);
bool ClearStatus14();
bool ClearStatus15();
bool SetScanEnable(bool on);
bool ReadPaperSensor(uint32_t* present);
bool WaitMotorIdle();
bool FeedUntilPaper();

// ---------------------------------------------------------------------------
// Scan setup
// ---------------------------------------------------------------------------

// Base units per line or pixel for resolution r over base b (67 and 133 dpi
// are 1200/18 and 1200/9).
double ResolutionFactor(double base, uint16_t r);
bool SetupScan(const ScanParams* request);
bool SetBufferLayout(int split, int mode);
bool SetBufferThreshold(uint32_t bytes, int oneChannel, int k);
void SetPagePins();

// ---------------------------------------------------------------------------
// Image data reading
// ---------------------------------------------------------------------------

inline constexpr int kPageComplete = 255;

bool StartImageRead();
bool WaitForData();
// 1 lines read, 0 failure, kPageComplete when the page is done (nothing read).
int ReadImageLines(uint8_t* dest, int32_t lines);
bool EndImageRead();
bool InterleaveLine(uint8_t* line, uint32_t bytes, int32_t channels, bool eightBit);

}  // namespace lf
