// Private to sim/: the mechanics and the image engine behind the virtual
// controller's registers. Everything here is computed from virtual time and
// the state latched at the last start strobe, never stepped: a motion is a
// short list of phases whose step periods come from table prefix sums, and a
// line is rendered only when the host reads it.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim.h"

namespace lf::sim::chip {

inline constexpr uint64_t kForever = UINT64_MAX;
inline constexpr uint64_t kTicksPerUs = 4;     // the controller's timer tick is 0.25 us
inline constexpr int64_t kDotsPerInch = 2400;  // positions along the path, 1/2400 inch
inline constexpr int kElementsPerInch = 1200;  // sensor elements across the line
inline constexpr uint32_t kImagePort = 0x10000000;

uint64_t SaturatingAdd(uint64_t a, uint64_t b);

// ---------------------------------------------------------------------------
// Motor
// ---------------------------------------------------------------------------

// A speed table as the motor reads it: step periods in ticks (divider
// applied), kept as prefix sums so that time and steps convert by search.
class SpeedTable {
 public:
  static constexpr uint32_t kMaxEntries = 8192;

  // length 0 counts as 1; an entry of 0 counts as 65536 (the period
  // counter is 16 bits wide and reloads from 0).
  void Load(const ControllerMemory& memory, uint32_t address, uint32_t length, uint64_t divider);
  uint32_t length() const { return length_; }
  uint64_t Period(uint32_t i) const { return prefix_[i + 1] - prefix_[i]; }
  uint64_t Sum(uint32_t n) const { return prefix_[n]; }
  // The largest n <= limit with Sum(n) <= elapsed.
  uint32_t StepsWithin(uint64_t elapsed, uint32_t limit) const;
  // The smallest n <= limit with Sum(n) >= value.
  uint32_t FirstSumAtLeast(uint64_t value, uint32_t limit) const;

 private:
  uint32_t length_ = 1;
  uint16_t raw_[kMaxEntries] = {};
  uint64_t prefix_[kMaxEntries + 1] = {};
};

// A run of steps: up through the table, on at a steady period, and (when
// rampDown) down through the table again; or a steady period throughout
// when there is no table.
struct Phase {
  const SpeedTable* table = nullptr;
  uint64_t steadyPeriod = 1;  // when table is null
  uint64_t steps = 0;         // kForever: until the motion is stopped
  bool rampDown = false;
  uint32_t dotsPerStep = 0;
  uint64_t start = 0;  // absolute tick

  uint32_t RampSteps() const;
  uint64_t MiddlePeriod() const;
  uint64_t MiddleSteps() const;
  uint64_t Duration() const;
  uint64_t StepsAfter(uint64_t elapsed) const;
};

// One motor operation from one start strobe.
struct Motion {
  static constexpr int kMaxPhases = 4;
  Phase phases[kMaxPhases];
  int count = 0;
  bool forward = true;
  bool movesSheet = true;  // false under the jam fault
  bool stuck = false;      // started under the stuck-motor fault
  uint64_t start = 0;
  uint64_t stop = kForever;  // cut short (enable cleared, reset, scan end)

  void Append(const Phase& phase);  // starts where the last one ends
  uint64_t NaturalEnd() const;
  uint64_t End() const;
  bool RunningAt(uint64_t tick) const;
  uint64_t DotsAt(uint64_t tick) const;  // travel so far, unsigned
  // The first tick at which the travel reaches dots; kForever if never.
  uint64_t TickWhenDots(uint64_t dots) const;
};

uint32_t StepTypeOf(uint8_t code);
uint64_t DividerOf(uint8_t code);

// ---------------------------------------------------------------------------
// Paper path
// ---------------------------------------------------------------------------

struct PathDots {
  int64_t scanLine, rest, exit, backStop;
  int64_t leftEdgeElement;
};
PathDots PathDotsOf(Model model);

struct SheetState {
  bool inPath = false;
  int64_t lead = 0;  // leading edge, dots past the paper sensor
  uint32_t feeder = 0;
  uint32_t ejected = 0;
};

// Where a motion of dots travel leaves the sheets: forward moves eject a
// sheet once its trailing edge passes the exit, and the next one drops into
// the rest position and moves on from there; backward moves stop at the
// back stop.
SheetState Advance(const SheetState& from, const PathDots& path, int64_t length, bool forward,
                   uint64_t dots);
bool CoversSensor(const SheetState& state, int64_t length);

class Sheet {
 public:
  enum class Kind { kNone, kWhite, kChart, kGray, kImage };

  bool Parse(const char* spec);  // built-in kinds and PNG files
  bool SetImage(SheetImage image);
  Kind kind() const { return kind_; }
  int64_t LengthDots() const;
  int64_t WidthElements() const;
  // 8-bit value at a point of the sheet; the backing level off the sheet.
  uint8_t Sample(int channel, int64_t xElement, int64_t yDots) const;
  // One row's reflectance (0..1) per channel at the given elements across
  // the sheet (elements off the sheet get the backing); only the channels
  // whose out[] is not null are filled.
  void FillRow(int64_t yDots, const int32_t* xElement, uint32_t count, float* const out[3]) const;

 private:
  uint8_t ChartSample(int channel, int64_t xElement, int64_t yDots) const;
  uint8_t ImageSample(int channel, int64_t xElement, int64_t yDots) const;

  Kind kind_ = Kind::kWhite;
  uint8_t level_ = 255;
  SheetImage image_;
};

// ---------------------------------------------------------------------------
// Sensor and front end
// ---------------------------------------------------------------------------

class Sensor {
 public:
  explicit Sensor(Model model);
  float Dark(int channel, int element) const;
  float Response(int channel, int element) const;

 private:
  std::vector<float> dark_[3];
  std::vector<float> response_[3];
};

// One element's raw sample as a line of a uniform light reaches it:
// raw16 = add + mul x reflectance, rounded and clamped.
struct Transfer {
  float add = 0;
  float mul = 0;
};
Transfer ChannelTransfer(double dark, double response, double light, uint16_t afeGain,
                         uint16_t afeOffset);
uint16_t Raw16(const Transfer& transfer, float reflectance);

// The light of one plane: strength before saturation and the share of each
// sheet channel in it (the infrared source sees the first channel).
struct PlaneLight {
  double amount = 0;
  float weight[3] = {};
};
PlaneLight LightOf(Model model, const uint8_t* registers, int channel, bool oneChannel);

// ---------------------------------------------------------------------------
// Panel
// ---------------------------------------------------------------------------

// The general-purpose ports: data registers 0x31-0x33, direction registers
// 0x34-0x36 (bit set: the pin is an output).
inline constexpr uint16_t kPortData = 0x31;
inline constexpr uint16_t kPortDirection = 0x34;
inline constexpr int kPortCount = 3;
bool IsPortData(uint16_t reg);

// The front panel wired to the ports: the button lines each model pulls,
// and the outputs (beeper, indicators, light pipe) that follow the pins.
class Panel {
 public:
  explicit Panel(Model model);

  // False, and nothing changed, for a button the model has no line for.
  bool Press(int number);
  void ReleaseAll();
  // The level outside the chip on port p's pins (0: 0x31 .. 2: 0x33):
  // pull-ups, pull-downs and the buttons held.
  uint8_t Lines(int port) const;
  // What a read of a port data register returns: output pins give the
  // latch, input pins the lines.
  uint8_t PortValue(const uint8_t* registers, uint16_t dataRegister) const;

  // Beeper bookkeeping in virtual time; called whenever a port register
  // changes.
  void Follow(const uint8_t* registers, uint64_t nowUs);
  uint64_t BeeperOnUs(uint64_t nowUs) const;
  uint32_t beeps() const { return beeps_; }
  bool IndicatorLit(const uint8_t* registers, int which) const;
  bool LightPipeOn(const uint8_t* registers) const;

 private:
  Model model_;
  uint32_t pressed_ = 0;  // bit n: button n held
  bool beeping_ = false;
  uint64_t beepStartUs_ = 0;
  uint64_t beeperOnUs_ = 0;  // of the beeps that ended
  uint32_t beeps_ = 0;
};

// ---------------------------------------------------------------------------
// Identity memory
// ---------------------------------------------------------------------------

// One non-volatile area of the identity address space.
struct IdentityArea {
  uint16_t base;
  uint16_t size;
  uint16_t page;  // a write wraps within a page of this size
  bool guarded;   // takes writes only between the opening and closing requests
};

class IdentityMemory {
 public:
  static constexpr uint16_t kOpenIndex = 0xE060;
  static constexpr uint16_t kCloseIndex = 0xE000;

  // Erased (0xFF) everywhere, writes to the guarded area closed.
  IdentityMemory();

  // The area that holds the address; null outside every area.
  static const IdentityArea* AreaOf(uint16_t address);
  // A read runs on through its area and wraps to the area's start. False
  // when the address lies in no area.
  bool Read(uint16_t address, uint8_t* dest, uint32_t length) const;
  // The bytes go into the address's write page and wrap to the page's
  // start, later bytes over earlier ones, as an EEPROM page write does. A
  // guarded area ignores them while closed. False when the address lies in
  // no area.
  bool Write(uint16_t address, const uint8_t* data, uint32_t length);
  void SetOpen(bool open) { open_ = open; }
  bool open() const { return open_; }

  // Test access: any byte (0 outside the areas), and presets that ignore
  // pages and the guard but must lie within one area.
  uint8_t Byte(uint16_t address) const;
  bool Store(uint16_t address, const uint8_t* data, uint32_t length);
  // The factory record at an area's base.
  void StoreRecord(uint16_t base, uint16_t vendorId, uint16_t productId);

 private:
  uint8_t* Cells(const IdentityArea& area);
  const uint8_t* Cells(const IdentityArea& area) const;

  uint8_t typeOne_[128];
  uint8_t eeprom_[2048];
  uint8_t second_[2048];
  bool open_ = false;
};

// ---------------------------------------------------------------------------
// Image engine
// ---------------------------------------------------------------------------

struct Faults {
  bool stuck = false;
  bool jam = false;
  bool neverReady = false;
};

// What the start strobe latched for a scan and the per-pixel arrays the
// lines are rendered from.
struct ScanJob {
  bool active = false;
  bool page = false;
  bool neverReady = false;
  uint64_t linesStart = 0;
  uint64_t period = 0;  // ticks per sensor line (one plane)
  uint32_t planes = 1;
  uint64_t total = 0;  // sensor lines, planes counted
  uint64_t bytesRead = 0;

  uint32_t pixels = 0;
  double pitch = 1.0;  // sensor elements per pixel
  uint32_t planeBytes = 0;
  uint32_t lineBytes = 0;
  bool lineArt = false;
  bool sixteen = false;
  uint8_t threshold = 0;
  int channel[3] = {};
  PlaneLight light[3];
  bool shading = false;
  bool gamma = false;
  uint32_t shadingScale = 16384;
  uint16_t gammaTable[3][256] = {};

  // Page programme: the trailing edge passes the scan line at pageEndTick,
  // when pageEndLines sensor lines are done; trailing from 0x43.
  uint64_t pageEndTick = kForever;
  uint64_t pageEndLines = 0;
  uint32_t trailing = 0;

  std::vector<int32_t> element;  // per pixel: sensor element
  std::vector<int32_t> column;   // per pixel: element relative to the sheet's left edge
  std::vector<float> add[3], mul[3];
  std::vector<uint16_t> shadeDark[3];
  std::vector<uint16_t> shadeGain[3];
  std::vector<float> reflectance[3];
  std::vector<uint16_t> samples;
  std::vector<uint8_t> line;
  int64_t renderedLine = -1;
};

class Machine {
 public:
  Machine(Model model, const uint8_t* registers, const uint16_t* afe,
          const ControllerMemory* memory);

  // Register events, at the tick they happen.
  void Start(uint64_t now, const Faults& faults);
  void Reset(uint64_t now);
  void MotorEnableCleared(uint64_t now);
  void ScanEnableCleared(uint64_t now);

  // State at a tick.
  uint8_t Status(uint64_t now, const Faults& faults) const;
  bool MotorRunning(uint64_t now, const Faults& faults) const;
  SheetState SheetAt(uint64_t tick) const;
  uint32_t DataCounter(uint64_t now, const Faults& faults) const;
  uint64_t SensorLinesAt(uint64_t tick, const Faults& faults) const;
  bool StreamActive() const { return job_.active; }
  bool PageProgramme() const { return job_.active && job_.page; }
  uint8_t PagesEnded(uint64_t now) const;
  uint32_t PageCounter() const;
  const ScanJob& job() const { return job_; }

  // The tick at which the stream holds `bytes` bytes from its start;
  // kForever when it never will.
  uint64_t TickWhenStreamHas(uint64_t bytes, const Faults& faults) const;
  void ReadStream(uint8_t* dest, uint32_t size);

  // Paper.
  Sheet& sheet() { return sheet_; }
  const Sheet& sheet() const { return sheet_; }
  void RefillFeeder(uint64_t now, uint32_t count);
  const PathDots& path() const { return path_; }
  const Sensor& sensor() const { return sensor_; }

 private:
  uint8_t Reg(uint16_t reg) const { return registers_[reg]; }
  uint32_t Reg16(uint16_t reg) const;
  uint32_t Reg24(uint16_t reg) const;
  bool PaperCovered(const SheetState& state) const;
  void Settle(uint64_t now);
  void StartPaperMove(uint64_t now, const Faults& faults);
  void StartScan(uint64_t now, const Faults& faults);
  void PlanScanMotion(uint64_t now, bool preFeed, uint64_t divider);
  void PlanPageEnd();
  void ConfigureFormat();
  void ConfigureLight();
  void ConfigurePixels();
  void ConfigureShading();
  void ConfigureGamma();
  void RenderLine(uint64_t line);
  void RenderPlane(uint64_t line, uint32_t plane);
  void FillPlaneReflectance(uint64_t tick, uint32_t plane, float* mixed);
  void CorrectSamples(uint32_t plane);
  void PackPlane(uint8_t* out) const;
  uint32_t SensorReduction() const;

  Model model_;
  const uint8_t* registers_;
  const uint16_t* afe_;
  const ControllerMemory* memory_;
  PathDots path_;
  Sensor sensor_;
  Sheet sheet_;

  SpeedTable feedTable_;
  SpeedTable scanTable_;
  Motion motion_;
  SheetState base_;          // the paper when the motion's travel was baseTravel_
  uint64_t baseTravel_ = 0;  // travel of motion_ already in base_
  ScanJob job_;
};

}  // namespace lf::sim::chip
