// Scan setup: turns one scan request into controller programming — sensor
// window, pixel format, line timing and exposures, motor tables, lead-in,
// image buffers and, for sheet-fed scans, the page-length programme. Setup
// only writes registers; the engine is started by the image read.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "channel/channel.h"
#include "common/common.h"
#include "engine/engine.h"
#include "platform/platform.h"

namespace lf {
namespace {

// The two-sided product carries both sides of the sheet in one line, so its
// line is twice as long when dual scan is on. This build never does.
constexpr bool kLinesCarryBothSides = std::string_view(kBuildModelName) == "KD409P";

constexpr uint32_t kBaseDpi = 1200;
constexpr uint32_t kMotorBaseDpi = 300;
constexpr float kFeedTargetPps = 1500.0f;
constexpr uint32_t kMotorTableUnits = 40;  // units of controller memory before the shading area
constexpr uint32_t kMaxLineSkip = 31;
constexpr int kSlopeFieldDefault = 1;  // register 0x3B gets 1 in all four fields

// Page programme factors: lead-in and limits in motor steps and lines.
constexpr double kPageFeedFactor = 36.0;
constexpr double kPageRampFactor = 1.24;
constexpr double kPageTrailFactor = 0.95;
constexpr double kPageLimitMargin = 1.1;
constexpr double kPageFeedFactorMode3 = 4.234646;

// Truncates toward zero into 32 bits the way the controller values are
// meant (negative values wrap); values no integer can hold give 0.
uint32_t Trunc32(double value) {
  if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) return 0;
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

uint16_t Shadow16(uint16_t reg) {
  return static_cast<uint16_t>((ShadowValue(reg) << 8) |
                               ShadowValue(static_cast<uint16_t>(reg + 1)));
}

uint8_t StepTypeFor(uint16_t yResolution) { return yResolution <= 600 ? 2 : 4; }

// The sample-format field of register 0x04 bits 4-7; false for formats the
// controller cannot deliver.
bool PixelFormatField(uint32_t bitsTimesChannels, uint8_t cardMode, uint8_t* field) {
  const uint8_t select = cardMode <= 2 ? static_cast<uint8_t>(cardMode + 1) : cardMode;
  switch (bitsTimesChannels) {
    case 1:
      *field = static_cast<uint8_t>((1u << 3) | select);
      return true;
    case 8:
      *field = select;
      return true;
    case 16:
      *field = static_cast<uint8_t>((1u << 2) | select);
      return true;
    case 24:
      *field = 0;
      return true;
    case 48:
      *field = 1u << 2;
      return true;
    default:
      return false;
  }
}

uint8_t BaseResolutionCode(uint32_t baseDpi) {
  switch (baseDpi) {
    case 600:
      return 0;
    case 1600:
    case 2400:
      return 2;
    case 3200:
    case 4800:
      return 3;
    default:  // 1200
      return 1;
  }
}

// Sensor-pixel units the resolution register counts in: the 1600 and 3200
// dpi sensors are addressed as 2400 and 4800.
uint32_t AddressingDpi(uint32_t baseDpi) {
  if (baseDpi == 1600) return 2400;
  if (baseDpi == 3200) return 4800;
  return baseDpi;
}

// Records what reading and the motor code need to know about this scan.
void RecordScanState(const ScanParams& request) {
  EngineState& engine = Engine();
  engine.pageMode = request.pageMode;
  engine.pageScan = request.pageMode != 0;
  engine.sixteenBit = request.bitsPerSample == 16;
  engine.xResolution = request.xResolution;
  engine.extraPlanes = request.colourMode != 0 ? 0 : 2;
  const uint32_t bitsTimesChannels = (request.colourMode != 0 ? 1u : 3u) * request.bitsPerSample;
  engine.bytesPerLine = bitsTimesChannels * request.pixels / 8;
  if (kLinesCarryBothSides && g_dualScan == 1) engine.bytesPerLine *= 2;
}

// Sensor register set, sample format, first pixel and the horizontal window.
bool ProgramSensor(const ScanParams& request) {
  EngineState& engine = Engine();
  if (!LoadSensorMode(request.reduction)) return false;
  engine.reduction = request.reduction;

  const uint32_t bitsTimesChannels = (request.colourMode != 0 ? 1u : 3u) * request.bitsPerSample;
  uint8_t format = 0;
  if (!PixelFormatField(bitsTimesChannels, request.cardMode, &format)) return false;
  if (!WriteRegisterBits(0x04, 4, 4, format)) return false;

  // The sensor set just wrote the dummy-pixel counts; the window is counted
  // from the first real pixel after them.
  engine.pixelBase = Shadow16(0x1F) + 2u * Shadow16(0x21);
  if (!WriteRegister16(0x80, static_cast<uint16_t>(engine.pixelBase))) return false;

  const double width = request.pixels * ResolutionFactor(kBaseDpi, request.xResolution);
  const uint16_t end = static_cast<uint16_t>(Trunc32(width + request.originX));
  return WriteRegister24(0x82, engine.pixelBase + request.originX / request.reduction) &&
         WriteRegister24(0x85, engine.pixelBase + end / request.reduction);
}

bool ProgramResolution(const ScanParams& request) {
  const EngineState& engine = Engine();
  if (!WriteRegisterBits(0x05, 6, 2, BaseResolutionCode(engine.baseDpi))) return false;
  const uint32_t dpi =
      request.reduction * AddressingDpi(engine.baseDpi) * request.xResolution / kBaseDpi;
  return WriteRegister16(0x2C, static_cast<uint16_t>(dpi)) &&
         WriteRegister24(0x25, request.lines * static_cast<uint32_t>(engine.extraPlanes + 1));
}

uint32_t TimerValue(float ms) {
  const EngineState& engine = Engine();
  return Trunc32(ms * 1000.0 / engine.tickUs / engine.timerDivider);
}

bool ProgramTiming(const ScanParams& request) {
  const EngineState& engine = Engine();
  const float stepsPerLine =
      static_cast<float>(ResolutionFactor(engine.motorBaseDpi, request.yResolution));
  return SelectTimerDivider(request.lineTime, engine.scanStepType, stepsPerLine) &&
         WriteRegister24(0x7D, TimerValue(request.lineTime)) &&
         WriteRegister24(0x8A, TimerValue(request.exposureRed)) &&
         WriteRegister24(0x8D, TimerValue(request.exposureGreen)) &&
         WriteRegister24(0x90, TimerValue(request.exposureBlue));
}

// The motor steps at the line rate: one step per line period (times the
// skipped lines), spread over the planes of a colour line.
float ScanSpeedPps(uint16_t yResolution) {
  const EngineState& engine = Engine();
  const double perStep = Trunc32(engine.linePeriodTicks * engine.lineSkipPlusOne /
                                 ResolutionFactor(engine.motorBaseDpi, yResolution));
  return static_cast<float>((1e6 / engine.tickUs) / (perStep * (engine.extraPlanes + 1)));
}

bool ProgramRampedSpeeds(uint16_t yResolution) {
  const EngineState& engine = Engine();
  int length = 0;
  if (!WriteRegister(0x3B, 0x55) || !SetScanStepType(engine.scanStepType) ||
      !SetFeedStepType(engine.feedStepType) ||
      !UploadSlopeTableA(kStandardSpeeds, kStandardSpeedCount, kFeedTargetPps, engine.feedStepType,
                         kSlopeFieldDefault, &length)) {
    return false;
  }
  const float pps = ScanSpeedPps(yResolution);
  char line[64];
  std::snprintf(line, sizeof line, "Final_PPS:%0.2f\n", static_cast<double>(pps));
  platform::ConsoleLine(line);
  return UploadSlopeTableB(kStandardSpeeds, kStandardSpeedCount, pps, engine.scanStepType,
                           kSlopeFieldDefault, &length);
}

bool ProgramFixedSpeed() {
  const EngineState& engine = Engine();
  const uint16_t period = static_cast<uint16_t>(engine.linePeriodTicks / engine.timerDivider);
  const uint16_t table[4] = {period, period, period, period};
  return LoadScanTable(table, 4);
}

// Speeds, the lead-in before the first line and the motor phase.
bool ProgramMotor(const ScanParams& request) {
  if (request.fixedSpeed == 0) {
    return ProgramRampedSpeeds(request.yResolution) &&
           SetPreFeed(static_cast<int>(request.originY / (kBaseDpi / kMotorBaseDpi))) &&
           SetMotorEnable(true) && SetMotorPhase();
  }
  return ProgramFixedSpeed() && WriteRegister24(0x3D, 1) && SetMotorFlag3(false) &&
         SetMotorEnable(false) && WriteRegister24(0xB2, 0) && WriteRegister24(0xB5, 0);
}

bool ProgramProcessing(const ScanParams& request) {
  if (!WriteRegisterBits(0x02, 5, 1, request.flag2b5) ||
      !WriteRegisterBits(0x05, 3, 1, request.gammaOn) ||
      !WriteRegisterBits(0x01, 5, 1, request.shadingOn)) {
    return false;
  }
  // The shading gain scale the tables are built with needs this gain format.
  if (request.shadingOn != 0 && !WriteRegisterBits(0x06, 3, 1, 1)) return false;
  return SetMotorDirection(true);
}

// Page-length registers for sheet-fed scans; the controller itself stops a
// page this many lines after the sheet leaves the sensor. Only mode 3 runs a
// fixed length, with its lead-in shortened by the ramps already loaded.
void RunPageProgramme(const ScanParams& request) {
  const EngineState& engine = Engine();
  const int mode = request.pageMode;
  const uint32_t planes = static_cast<uint32_t>(engine.extraPlanes + 1);
  const double stepsPerInch = engine.scanStepType * static_cast<double>(kMotorBaseDpi);
  const uint32_t limitLines = Trunc32(kPageFeedFactor * request.xResolution);

  WriteRegister24(0x3D, Trunc32(kPageFeedFactor * stepsPerInch));
  if (mode == 3) {
    uint16_t feedLength = 0, scanLength = 0, scanStep = 0;
    ReadRegister16(0xAE, &feedLength);
    ReadRegister16(0xA4, &scanLength);
    ReadRegister16(0xA2, &scanStep);
    const int32_t scanInFeedSteps =
        (scanLength + scanStep) * engine.feedStepType / engine.scanStepType;
    WriteRegister24(0x40, Trunc32(engine.feedStepType * kMotorBaseDpi * kPageFeedFactorMode3 -
                                  feedLength - scanInFeedSteps));
  } else {
    WriteRegister24(0x40, Trunc32(kPageRampFactor * stepsPerInch));
  }
  WriteRegister16(0x43,
                  static_cast<uint16_t>(planes * Trunc32(kPageTrailFactor * request.xResolution)));
  WriteRegister24(0x45, planes * limitLines);
  WriteRegister24(
      0x25, mode == 3 ? planes * request.lines : Trunc32(planes * limitLines * kPageLimitMargin));
  SetPagePins();
  WriteRegisterBits(0x02, 3, 1, mode == 3 ? 1 : 0);
  WriteRegisterBits(0x0A, 5, 1, 1);
  WriteRegisterBits(0x9F, 3, 1, mode == 1 ? 0 : 1);
  WriteRegisterBits(0x9F, 0, 1, 0);
  SetBufferThreshold(engine.bytesPerLine, request.colourMode, 2);
}

bool ProgramPageScan(const ScanParams& request) {
  if (request.pageMode >= 1 && request.pageMode <= 3) RunPageProgramme(request);
  return SetMotorEnable(false) && WriteRegister24(0xB2, 0) && WriteRegister24(0xB5, 0);
}

// Everything a new scan changes; a setup that keeps the programme skips it.
bool Program(const ScanParams& request) {
  EngineState& engine = Engine();
  if (!WriteRegisterBits(0x0C, 0, 4, 0) || !WriteRegister24(0x7D, 1)) return false;
  RecordScanState(request);

  // The sensor set below clears the line-skip field in the controller again;
  // the motor timing still counts the requested skip.
  const uint8_t lineSkip =
      static_cast<uint8_t>(request.lineSkip < kMaxLineSkip ? request.lineSkip : kMaxLineSkip);
  if (!WriteRegisterBits(0x1D, 0, 5, lineSkip)) return false;
  engine.lineSkipPlusOne = lineSkip + 1u;
  if (!WriteRegisterBits(0x02, 6, 1, request.mode2b6 == 1 ? 1 : 0)) return false;

  if (!ProgramSensor(request) || !ProgramResolution(request) || !ProgramTiming(request) ||
      !ProgramMotor(request) || !SetBufferLayout(1, 0) ||
      !SetBufferThreshold(engine.bytesPerLine, 1, 2) || !ProgramProcessing(request)) {
    return false;
  }

  WriteRegisterBits(0x19, 0, 1, 1);
  WriteRegisterBits(0x0C, 0, 4, static_cast<uint8_t>(engine.extraPlanes));
  WriteRegisterBits(0x01, 7, 1, 1);
  WriteRegisterBits(0x08, 4, 1, 1);

  return !engine.pageScan || ProgramPageScan(request);
}

}  // namespace

double ResolutionFactor(double base, uint16_t r) {
  if (r == 67) return base * 0.015;
  if (r == 133) return base * 0.0075;
  return base / r;
}

bool SetupScan(const ScanParams* request) {
  if (request == nullptr) return false;
  EngineState& engine = Engine();
  engine.scanStepType = engine.feedStepType = StepTypeFor(request->yResolution);
  engine.motorBaseDpi = kMotorBaseDpi;

  if (request->keepProgram == 0 && !Program(*request)) return false;

  WriteRegisterBits(0x06, 0, 3, 0);
  if (!WriteRegister(0x0D, 5)) return false;
  // A new programme: the next image read must start the engine.
  engine.pageStartCount = 0;
  const double settleMs = (engine.extraPlanes + 1) * static_cast<double>(request->lineTime);
  DelayMs(settleMs > 0 ? Trunc32(settleMs) : 0);
  return true;
}

bool SetBufferLayout(int split, int mode) {
  static constexpr uint32_t kUnitsBySizeCode[] = {1024, 4096, 8192, 16384, 32768, 65536};
  const uint32_t sizeCode = ShadowValue(0x0B) & 0x07u;
  // Without a configured memory size there is no layout to make.
  if (sizeCode < 1 || sizeCode > 6) return false;
  const uint8_t reg08 = ShadowValue(0x08);
  const uint32_t banks = (reg08 & 0x02) ? 3u : ((reg08 >> 7) & 1u) + 1u;
  const uint32_t memoryUnits = kUnitsBySizeCode[sizeCode - 1] * banks;

  EngineState& engine = Engine();
  const uint32_t reserved = engine.tableUnits + kMotorTableUnits;
  uint32_t bounds[12];
  if (split == 1) {
    // Two buffers, repeated for the three register copies.
    const uint32_t half = (memoryUnits - reserved) / 2;
    for (int copy = 0; copy < 3; ++copy) {
      bounds[4 * copy + 0] = reserved;
      bounds[4 * copy + 1] = reserved + half - 1;
      bounds[4 * copy + 2] = reserved + half;
      bounds[4 * copy + 3] = reserved + 2 * half - 1;
    }
    engine.bufferSize = half;
  } else {
    const uint32_t size = (memoryUnits - reserved) / 6;
    for (uint32_t i = 0; i < 6; ++i) {
      bounds[2 * i] = reserved + i * size;
      bounds[2 * i + 1] = reserved + (i + 1) * size - 1;
    }
    engine.bufferSize = size;
  }
  for (int i = 0; i < 12; ++i) {
    WriteRegister16(static_cast<uint8_t>(0xE0 + 2 * i), static_cast<uint16_t>(bounds[i]));
  }

  if (split != 1) return WriteRegister(0xF8, 5);
  switch (mode) {
    case 0:
      return WriteRegister(0xF8, 1);
    case 1:
      return WriteRegister(0xF8, 35);
    case 2:
      return WriteRegister(0xF8, 69);
    default:
      return true;
  }
}

bool SetBufferThreshold(uint32_t bytes, int oneChannel, int k) {
  // With the 8-bit converter interface the threshold counts from the start
  // of the buffer, otherwise from just below its end.
  const bool eightBitConverter = ((ShadowValue(0x06) >> 5) & 0x07) == 2;
  const double base = eightBitConverter ? 0.0 : 16.0 * Engine().bufferSize - 4.0;
  const double perPlane = bytes * 0.5 / (oneChannel != 0 ? 2 : 6);
  return WriteRegister24(0x28, Trunc32((perPlane * k + base) * 0.25));
}

void SetPagePins() {
  WriteRegisterBits(0x34, 5, 1, 1);
  WriteRegisterBits(0x15, 0, 1, 1);
  WriteRegisterBits(0x38, 2, 1, 0);
  WriteRegisterBits(0x30, 0, 1, 1);
  WriteRegisterBits(0x35, 7, 1, 0);
  WriteRegisterBits(0x35, 4, 2, 3);
  WriteRegisterBits(0x32, 4, 2, 0);
  WriteRegisterBits(0x38, 4, 1, 1);
  WriteRegisterBits(0x37, 4, 1, 1);
  WriteRegisterBits(0x35, 1, 1, 1);
  WriteRegisterBits(0x32, 1, 1, 1);
  WriteRegisterBits(0x36, 3, 1, 1);
  WriteRegisterBits(0x36, 1, 1, 1);
  WriteRegisterBits(0x33, 3, 1, 1);
  WriteRegisterBits(0x33, 1, 1, 0);
  WriteRegisterBits(0x35, 6, 1, 1);
  WriteRegisterBits(0x32, 6, 1, 0);
}

}  // namespace lf
