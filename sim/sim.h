// The virtual scanner: a register-level model of the scanner's controller
// chip that sits behind the platform seam's still-image device interface.
// The library cannot tell it from hardware: it sees only control and bulk
// transfers, and the model learns everything from what those transfers
// carry. sim/DATASHEET.md describes the virtual chip register by register.
//
// Not thread-safe except for the clock: one thread drives a scanner at a
// time, as the library does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace lf::sim {

enum class Model { kLumaframe, kKD21x, kKD409P, kCard };
enum class Fault { kUnplug, kMarker, kShort, kHang, kStuckMotor, kJam, kNeverReady, kSilent };
inline constexpr int kFaultCount = 8;

// "lumaframe", "kd21x", "kd409p", "card".
const char* ModelName(Model model);
// Accepts the names above without letter case; false for anything else.
bool ParseModelName(const char* text, Model* model);
// "unplug", "marker", "short", "hang", "stuck-motor", "jam", "never-ready", "silent".
const char* FaultName(Fault fault);

// What transfers and clock reads cost in virtual time (see DATASHEET.md).
inline constexpr uint64_t kClockReadUs = 25;         // every NowMs()
inline constexpr uint64_t kControlTransferUs = 150;  // setup, data and status stages
inline constexpr uint64_t kBulkOverheadUs = 60;      // per bulk transfer
inline constexpr uint64_t kBulkBytesPerUs = 40;      // about 40 MB/s of payload

// Virtual time. Every NowMs() advances the clock a little so that a loop
// that spins on the clock (the library's busy-wait delay) ends; SleepMs and
// the cost of transfers advance it without waiting. In realtime mode the
// clock follows the monotonic clock instead and advancing it really waits.
class VirtualClock final : public platform::Clock {
 public:
  VirtualClock();
  uint32_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  uint64_t NowUs() const;  // no advance
  void AdvanceUs(uint64_t us);

  void SetRealtime(bool realtime);
  bool realtime() const { return realtime_; }

 private:
  std::atomic<uint64_t> nowUs_{0};
  bool realtime_ = false;
  std::chrono::steady_clock::time_point realStart_;
};

struct Descriptor {
  uint16_t vendorId = 0x2E1A;
  uint16_t productId = 0x4C71;
  uint16_t bcdDevice = 0x0100;
  uint16_t languageId = 0x0409;
};

// The controller's 32-bit memory space, stored sparsely in 4 KiB pages that
// come into being on first write. Bytes never written read as zero.
class ControllerMemory {
 public:
  ControllerMemory() = default;
  ~ControllerMemory();
  ControllerMemory(const ControllerMemory&) = delete;
  ControllerMemory& operator=(const ControllerMemory&) = delete;

  // The range must lie within the 32-bit space (address + size <= 2^32).
  // False when a page cannot be allocated (bytes before it are stored).
  bool Write(uint32_t address, const uint8_t* data, uint32_t size);
  void Read(uint32_t address, uint8_t* dest, uint32_t size) const;
  void Clear();
  uint32_t PageCount() const { return pageCount_; }

  static constexpr uint32_t kPageBits = 12;
  static constexpr uint32_t kTableBits = 10;
  static constexpr uint32_t kPageSize = 1u << kPageBits;

 private:
  struct Page;
  struct Table;
  static constexpr uint32_t kTableCount = 1u << (32 - kPageBits - kTableBits);
  Page* FindPage(uint32_t address) const;
  Page* MakePage(uint32_t address);

  Table* tables_[kTableCount] = {};
  uint32_t pageCount_ = 0;
};

class ScannerFile;

namespace chip {
class Machine;
class Panel;
class IdentityMemory;
struct Faults;
}  // namespace chip

// Where things sit along the paper path, in inches. 0 is the paper sensor;
// positive is downstream, the way a forward move carries the sheet.
struct PaperGeometry {
  double scanLine;  // where the sensor line takes the image
  double rest;      // leading edge of a sheet waiting in the feeder
  double exit;      // a sheet whose trailing edge passes this point has left
  double backStop;  // a backward move pushes the leading edge no further back
  double leftEdge;  // the sheet's left edge across the line, from sensor element 0
};
PaperGeometry GeometryOf(Model model);

// A sheet given as an image: rows from the leading edge on, three bytes
// (first, second, third channel) per pixel, 255 = white.
struct SheetImage {
  uint32_t width = 0;
  uint32_t height = 0;
  double dpi = 300.0;
  std::vector<uint8_t> rgb;
};

// Reads a PNG file as a sheet, at the resolution of its pHYs chunk or else
// 300 dpi. False when the file cannot be read or the build has no PNG support.
bool LoadPngSheet(const char* path, SheetImage* sheet);

// One scanner: controller registers, analog front end, auxiliary registers,
// command and counter words, memory behind the transfer window.
class VirtualScanner {
 public:
  VirtualScanner(Model model, const Descriptor& descriptor, std::shared_ptr<VirtualClock> clock);
  ~VirtualScanner();
  VirtualScanner(const VirtualScanner&) = delete;
  VirtualScanner& operator=(const VirtualScanner&) = delete;

  // Register file as the chip holds it, 0x000..0x1FF (bank in bit 8; higher
  // bits are ignored). The port data registers 0x31-0x33 give their output
  // latches (what was written); HostRead gives what the pins show.
  uint8_t Register(uint16_t reg) const;
  // What a host's register read returns now: computed registers as
  // computed, port data registers through their pins.
  uint8_t HostRead(uint16_t reg) const;
  // Tests preset what reads return. On the registers the chip computes
  // (status 0x101, data counter 0x102-0x105, page end 0x0BF) and on the port
  // data registers 0x31-0x33 a preset pins the value reads return (a later
  // write replaces it) until ReleaseRegister; a pinned port ignores its pins.
  void SetRegister(uint16_t reg, uint8_t value);
  void ReleaseRegister(uint16_t reg);
  uint16_t AfeRegister(uint8_t reg) const;  // latched through 0x51/0x5D/0x5E
  uint8_t AuxRegister(uint8_t reg) const;   // command 0x8C
  uint32_t CommandWord() const;             // last word of command 0x8B
  void SetCounterWord(uint32_t word);       // what command 0x8A returns
  void SetStatusByte(uint8_t value);        // what the 0x8E/index 0 probe returns
  // Controller memory; false only when the range runs past 0xFFFFFFFF or
  // dest is null.
  bool ReadMemory(uint32_t address, void* dest, uint32_t size) const;

  // One line per transfer that reached the device (format in DATASHEET.md).
  const std::vector<std::string>& Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  // Also appends every line to this file (null or "" stops that); false
  // when the file cannot be opened.
  bool SetTraceFile(const char* path);
  // Whether lines are kept in Trace(); a long-running host that only wants
  // the trace file turns this off so memory does not grow.
  void SetTraceInMemory(bool keep) { keepTrace_ = keep; }

  uint32_t ProtocolErrors() const { return protocolErrors_; }
  uint64_t TransferCount() const { return transfers_; }

  // Active from the N-th transfer on (1-based; 0 counts as 1). Injecting a
  // fault again moves its start.
  void InjectFault(Fault fault, uint64_t fromTransfer = 1);
  void ClearFaults();
  bool FaultInjected(Fault fault) const;

  Model model() const { return model_; }
  const Descriptor& descriptor() const { return descriptor_; }

  // --- Paper path (DATASHEET.md section 10) ---
  // "white", "chart", "gray:N" (N = 0..255), "none", or a PNG file. False
  // (and the sheet unchanged) for anything else or an unreadable file.
  bool SetSheet(const char* spec);
  // False for an empty image or one whose pixel bytes do not match its size.
  bool SetSheetImage(SheetImage image);
  // Refills the feeder with count sheets of the current kind, the first one
  // resting at the feeder position; 0 empties the path.
  void SetSheetCount(uint32_t count);
  bool SheetInPath() const;
  // Leading edge of the sheet in the path, inches past the paper sensor
  // (0 when there is none).
  double SheetLeadingEdge() const;
  double SheetLength() const;       // inches; 0 with no sheet kind
  uint32_t SheetsInFeeder() const;  // waiting behind the one in the path
  uint32_t SheetsEjected() const;
  bool PaperAtSensor() const;  // physically; register 0x101 bit 3 adds the wiring
  // The sheet's 8-bit value at a point (inches from its left and leading
  // edge); the feeder's backing level off the sheet.
  uint8_t SheetSample(int channel, double xInches, double yInches) const;
  static constexpr uint8_t kBackingLevel = 128;

  // --- Motor and image engine (sections 9 and 11) ---
  bool MotorRunning() const;
  bool ScanActive() const;
  uint64_t SensorLinesProduced() const;  // of the current scan, planes counted
  uint32_t PixelsPerLine() const;        // of the current or last scan
  uint32_t LineBytes() const;            // all planes

  // --- Sensor (section 11) ---
  static constexpr int kSensorElements = 10880;  // 1200 per inch
  // Per-element dark level (8-bit units before the front end) and relative
  // response of a channel; elements outside the sensor give the nearest one.
  double SensorDark(int channel, int element) const;
  double SensorResponse(int channel, int element) const;
  // The light that reaches a channel's line with the registers as they are
  // now: lamp, infrared source, exposures over the line period, planes.
  double LineLight(int channel) const;
  // The raw 16-bit sample (before shading and gamma) of one element looking
  // at a uniform reflectance (0..1) under the given light and front end.
  uint16_t PredictRaw16(int channel, int element, double reflectance, double light,
                        uint16_t afeGain, uint16_t afeOffset) const;
  // The same with the light and front-end registers as they are now.
  uint16_t PredictRaw16(int channel, int element, double reflectance) const;
  uint8_t PredictRaw8(int channel, int element, double reflectance) const;

  // --- Panel (section 12) ---
  // Holds a button down, numbered as the model's panel wiring gives them;
  // false (and nothing pressed) for a number the model has no button for.
  // Several buttons may be held at once.
  bool PressButton(int number);
  void ReleaseButtons();
  // Virtual time the beeper has sounded, the beep in progress included, and
  // how many beeps started.
  uint64_t BeeperOnUs() const;
  uint32_t BeepCount() const;
  // Indicator 0 or 1 and the light pipe; false on models without them.
  bool IndicatorLit(int which) const;
  bool LightPipeOn() const;

  // --- Identity memory (section 13) ---
  // A byte of the identity address space (0 outside its areas).
  uint8_t IdentityByte(uint16_t address) const;
  // Presets bytes, ignoring write pages and write protection; false (and
  // nothing stored) unless the range lies within one area.
  bool SetIdentityBytes(uint16_t address, const std::vector<uint8_t>& bytes);
  // Whether the write-protected area at 0xE200 is open for writes.
  bool IdentityWritesOpen() const;

  // False once the bus unplugged it or the unplug fault is active for the
  // next transfer: the slot no longer opens.
  bool Present() const;
  // The bus takes the scanner out of its slot; open files fail from now on.
  void Remove() { removed_ = true; }

 private:
  friend class ScannerFile;

  struct Window {
    bool open = false;
    bool toController = false;  // direction 1: bulk out into memory
    uint32_t address = 0;
    uint32_t count = 0;
  };

  // Transfers as the device files issue them.
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* transferred, uint32_t timeoutMs);
  bool WritePipe(const void* data, uint32_t size, uint32_t* transferred, uint32_t timeoutMs);
  bool ReadPipe(void* dest, uint32_t size, uint32_t* transferred, uint32_t timeoutMs);

  bool BeginTransfer(uint32_t timeoutMs);
  bool Active(Fault fault) const;
  bool RejectedByDriver();

  bool ReadDescriptor(void* out, uint32_t* transferred);
  bool ControlOut(uint32_t value, uint32_t index, uint32_t length, const uint8_t* data);
  bool ControlIn(uint32_t value, uint32_t index, uint32_t length, uint8_t* dest);
  bool ApplyControlOut(uint32_t value, uint32_t index, uint32_t length, const uint8_t* data);
  bool AnswerControlIn(uint32_t value, uint32_t index, uint32_t length, uint8_t* dest);
  bool WriteIdentity(uint32_t index, uint32_t length, const uint8_t* data, bool apply);
  bool ReadIdentity(uint32_t index, uint32_t length, uint8_t* dest, bool silent) const;
  void WriteRegisterPairs(uint32_t bank, const uint8_t* pairs, uint32_t length);
  void StoreRegister(uint16_t reg, uint8_t value);
  uint8_t ReadableRegister(uint16_t reg) const;
  uint64_t NowTicks() const;
  chip::Faults CurrentFaults() const;
  bool ReadImagePort(uint8_t* dest, uint32_t size, uint32_t timeoutMs);
  bool WritableArea(uint32_t address, uint32_t size) const;
  bool OpenWindow(uint32_t direction, const uint8_t* data, bool apply);
  bool TakeWindow(bool toController, uint32_t size, Window* window);

  void TraceControl(char direction, uint32_t value, uint32_t index, uint32_t length,
                    const uint8_t* data, bool ok);
  void TraceBulk(char direction, uint32_t size, bool ok);
  void EmitTrace(const char* line);

  Model model_;
  Descriptor descriptor_;
  std::shared_ptr<VirtualClock> clock_;

  uint8_t registers_[512] = {};
  bool pinned_[512] = {};  // computed and port registers a test has preset
  uint16_t afe_[256] = {};
  uint8_t aux_[256] = {};
  uint32_t commandWord_ = 0;
  uint32_t counterWord_ = 0;
  uint8_t statusByte_ = 0x01;
  Window window_;
  ControllerMemory memory_;
  std::unique_ptr<chip::Machine> machine_;
  std::unique_ptr<chip::Panel> panel_;
  std::unique_ptr<chip::IdentityMemory> identity_;
  uint32_t sheetCount_ = 1;  // what SetSheetCount asked for, kept across SetSheet

  uint64_t faultStart_[kFaultCount] = {};  // 0: not injected
  bool removed_ = false;
  uint64_t transfers_ = 0;
  uint32_t protocolErrors_ = 0;

  std::vector<std::string> trace_;
  bool keepTrace_ = true;
  std::FILE* traceFile_ = nullptr;
};

// The 128 device slots (\\.\usbscan0 .. \\.\usbscan127) and the clock their
// scanners share.
class VirtualBus final : public platform::StillImageProvider {
 public:
  VirtualBus();            // all slots empty
  ~VirtualBus() override;  // uninstalls itself if installed
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  // A new scanner in the slot (a scanner already there is unplugged first).
  // The slot must be 0..127; anything else is a programming error and aborts.
  VirtualScanner& Plug(int slot, Model model = Model::kLumaframe, Descriptor descriptor = {});
  void Unplug(int slot);         // the slot is empty from now; files open on it fail
  VirtualScanner* At(int slot);  // null when empty or out of range
  VirtualClock& Clock() { return *clock_; }

  // Null for an empty slot, a slot out of range or an unplugged scanner.
  std::unique_ptr<platform::StillImageDevice> OpenSlot(int slot) override;

  // Becomes the seam's device provider and attaches its clock to the seam
  // (not in realtime mode: the system clock then runs).
  void Install();
  // Puts back the provider and clock that were there before.
  void Uninstall();
  bool installed() const { return installed_; }

 private:
  std::shared_ptr<VirtualClock> clock_;
  std::shared_ptr<VirtualScanner> slots_[platform::kDeviceSlotCount];
  bool installed_ = false;
  bool clockAttached_ = false;
  platform::StillImageProvider* previousProvider_ = nullptr;
  platform::Clock* previousClock_ = nullptr;
};

// The environment switch: LF_V2270_SIMULATOR ("1" or a model name),
// LF_V2270_SIM_FAULTS, LF_V2270_SIM_TRACE, LF_V2270_SIM_REALTIME,
// LF_V2270_SIM_SHEET, LF_V2270_SIM_SHEETS, LF_V2270_SIM_BUTTON (see
// DATASHEET.md). Null when LF_V2270_SIMULATOR is unset, empty or "0", or
// names no model. The bus is not installed yet.
std::unique_ptr<VirtualBus> BusFromEnvironment();

// "NAME" or "NAME@N", comma-separated (blanks around items allowed). False
// on a bad name, a bad or zero N, or an empty item; *out is then unchanged.
// On success the faults are appended to *out.
bool ParseFaultList(const char* text, std::vector<std::pair<Fault, uint64_t>>* out);

}  // namespace lf::sim
