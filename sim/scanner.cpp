// The controller chip: decodes every transfer that reaches it, keeps its
// register file, front-end registers, auxiliary registers, command and
// counter words and the memory behind the transfer window, and writes one
// trace line per transfer. Nothing here allocates on the register path
// except the in-memory trace.
#include <algorithm>
#include <cstring>

#include "sim/chip.h"
#include "sim/sim.h"

namespace lf::sim {

namespace {

// Control transfer value field (the command code); bit 8 carries the bank
// for the register commands.
constexpr uint32_t kCmdWindow = 0x82;
constexpr uint32_t kCmdWriteRegisters = 0x83;  // with index 0; otherwise an identity write
constexpr uint32_t kCmdReadIdentity = 0x84;
constexpr uint32_t kCmdCounterWord = 0x8A;
constexpr uint32_t kCmdCommandWord = 0x8B;
constexpr uint32_t kCmdAuxRegister = 0x8C;
constexpr uint32_t kCmdReadRegisters = 0x8E;
constexpr uint32_t kBankBit = 0x100;

constexpr uint32_t kRegisterReadTag = 0x22;  // low byte of a register read's index
constexpr uint32_t kCommandWordIndex = 6;
constexpr uint32_t kCounterWordIndex = 5;
constexpr uint8_t kReadMarker = 0x55;
// The chip's control endpoint buffer: no register command moves more.
constexpr uint32_t kMaxControlData = 64;
// What fits in a USB setup packet.
constexpr uint32_t kMaxSetupField = 0xFFFF;

// Registers that the chip computes itself; writes to them are ignored.
constexpr uint16_t kStatusRegister = 0x101;
constexpr uint16_t kDataCounterRegister = 0x102;
// The front end is written through three controller registers: the AFE
// register number, then the high and low byte; writing the low byte latches.
constexpr uint16_t kAfeAddressRegister = 0x51;
constexpr uint16_t kAfeHighRegister = 0x5D;
constexpr uint16_t kAfeLowRegister = 0x5E;
// Engine control: start and reset strobes, scan and motor enable, and the
// computed registers beside the status.
constexpr uint16_t kScanControlRegister = 0x01;
constexpr uint16_t kMotorControlRegister = 0x02;
constexpr uint16_t kResetStrobe = 0x0E;
constexpr uint16_t kStartStrobe = 0x0F;
constexpr uint8_t kStrobe = 0xFF;
constexpr uint8_t kScanEnable = 0x01;
constexpr uint8_t kMotorEnable = 0x10;
constexpr uint16_t kPageEndRegister = 0x0BF;
constexpr uint32_t kPageEndCommand = 0x01100000;

// Where bulk writes may land: the gamma tables and the motor tables; the
// shading banks are added from registers 0xD0-0xD2.
constexpr uint32_t kGammaArea = 0x01000000;
constexpr uint32_t kGammaAreaBytes = 0x600;
constexpr uint32_t kMotorArea = 0x10000000;
constexpr uint32_t kMotorAreaBytes = 0x14000;
constexpr uint32_t kShadingBankBytes = 0x2000;

constexpr uint64_t kAddressSpace = 1ull << 32;

// Where the factory identity record sits: the write-protected area and the
// EEPROM behind the 0xD000 windows.
constexpr uint16_t kIdentityRecordBases[] = {0xE200, 0xD000};

bool IsPortRegister(uint16_t reg) {
  return reg >= chip::kPortData && reg < chip::kPortDirection + chip::kPortCount;
}

uint32_t LoadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void StoreLe32(uint32_t word, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

uint64_t BulkCostUs(uint32_t bytes) {
  return kBulkOverheadUs + (bytes + kBulkBytesPerUs - 1) / kBulkBytesPerUs;
}

// Appends the bytes as lower-case hex; longer data (only ever in a stalled
// transfer) is cut to the first kMaxControlData bytes and marked "..".
char* AppendHex(char* cursor, const uint8_t* data, uint32_t length) {
  static const char kDigits[] = "0123456789abcdef";
  uint32_t shown = length > kMaxControlData ? kMaxControlData : length;
  for (uint32_t i = 0; i < shown; ++i) {
    *cursor++ = kDigits[data[i] >> 4];
    *cursor++ = kDigits[data[i] & 0x0F];
  }
  if (shown < length) {
    *cursor++ = '.';
    *cursor++ = '.';
  }
  return cursor;
}

}  // namespace

VirtualScanner::VirtualScanner(Model model, const Descriptor& descriptor,
                               std::shared_ptr<VirtualClock> clock)
    : model_(model),
      descriptor_(descriptor),
      clock_(std::move(clock)),
      machine_(std::make_unique<chip::Machine>(model, registers_, afe_, &memory_)),
      panel_(std::make_unique<chip::Panel>(model)),
      identity_(std::make_unique<chip::IdentityMemory>()) {
  for (uint16_t base : kIdentityRecordBases) {
    identity_->StoreRecord(base, descriptor_.vendorId, descriptor_.productId);
  }
}

VirtualScanner::~VirtualScanner() { SetTraceFile(nullptr); }

uint64_t VirtualScanner::NowTicks() const { return clock_->NowUs() * chip::kTicksPerUs; }

chip::Faults VirtualScanner::CurrentFaults() const {
  chip::Faults faults;
  faults.stuck = Active(Fault::kStuckMotor);
  faults.jam = Active(Fault::kJam);
  faults.neverReady = Active(Fault::kNeverReady);
  return faults;
}

// ---------------------------------------------------------------------------
// State as tests see it
// ---------------------------------------------------------------------------

uint8_t VirtualScanner::Register(uint16_t reg) const {
  reg &= 0x1FF;
  return chip::IsPortData(reg) ? registers_[reg] : ReadableRegister(reg);
}

uint8_t VirtualScanner::HostRead(uint16_t reg) const { return ReadableRegister(reg & 0x1FF); }

void VirtualScanner::SetRegister(uint16_t reg, uint8_t value) {
  reg &= 0x1FF;
  registers_[reg] = value;
  pinned_[reg] = true;
  if (IsPortRegister(reg)) panel_->Follow(registers_, clock_->NowUs());
}

void VirtualScanner::ReleaseRegister(uint16_t reg) { pinned_[reg & 0x1FF] = false; }

uint16_t VirtualScanner::AfeRegister(uint8_t reg) const { return afe_[reg]; }

uint8_t VirtualScanner::AuxRegister(uint8_t reg) const { return aux_[reg]; }

uint32_t VirtualScanner::CommandWord() const { return commandWord_; }

void VirtualScanner::SetCounterWord(uint32_t word) { counterWord_ = word; }

void VirtualScanner::SetStatusByte(uint8_t value) { statusByte_ = value; }

bool VirtualScanner::PressButton(int number) { return panel_->Press(number); }

void VirtualScanner::ReleaseButtons() { panel_->ReleaseAll(); }

uint64_t VirtualScanner::BeeperOnUs() const { return panel_->BeeperOnUs(clock_->NowUs()); }

uint32_t VirtualScanner::BeepCount() const { return panel_->beeps(); }

bool VirtualScanner::IndicatorLit(int which) const {
  return panel_->IndicatorLit(registers_, which);
}

bool VirtualScanner::LightPipeOn() const { return panel_->LightPipeOn(registers_); }

uint8_t VirtualScanner::IdentityByte(uint16_t address) const { return identity_->Byte(address); }

bool VirtualScanner::SetIdentityBytes(uint16_t address, const std::vector<uint8_t>& bytes) {
  return identity_->Store(address, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool VirtualScanner::IdentityWritesOpen() const { return identity_->open(); }

bool VirtualScanner::ReadMemory(uint32_t address, void* dest, uint32_t size) const {
  if (dest == nullptr && size > 0) return false;
  if (static_cast<uint64_t>(address) + size > kAddressSpace) return false;
  memory_.Read(address, static_cast<uint8_t*>(dest), size);
  return true;
}

bool VirtualScanner::SetTraceFile(const char* path) {
  if (traceFile_ != nullptr) std::fclose(traceFile_);
  traceFile_ = nullptr;
  if (path == nullptr || *path == '\0') return true;
  traceFile_ = std::fopen(path, "a");
  return traceFile_ != nullptr;
}

// ---------------------------------------------------------------------------
// Faults and presence
// ---------------------------------------------------------------------------

void VirtualScanner::InjectFault(Fault fault, uint64_t fromTransfer) {
  faultStart_[static_cast<int>(fault)] = fromTransfer == 0 ? 1 : fromTransfer;
}

void VirtualScanner::ClearFaults() {
  for (uint64_t& start : faultStart_) start = 0;
}

bool VirtualScanner::FaultInjected(Fault fault) const {
  return faultStart_[static_cast<int>(fault)] != 0;
}

bool VirtualScanner::Active(Fault fault) const {
  uint64_t start = faultStart_[static_cast<int>(fault)];
  return start != 0 && transfers_ >= start;
}

bool VirtualScanner::Present() const {
  uint64_t unplugFrom = faultStart_[static_cast<int>(Fault::kUnplug)];
  return !removed_ && !(unplugFrom != 0 && transfers_ + 1 >= unplugFrom);
}

// A request the still-image driver refuses before anything goes on the wire
// (unknown IOCTL, missing or short buffers, fields wider than a setup
// packet). It is a library fault all the same, so it counts as a protocol
// error, but it is no transfer: not counted, not traced, no time.
bool VirtualScanner::RejectedByDriver() {
  ++protocolErrors_;
  return false;
}

// Every transfer passes here first. A scanner that is gone fails at once;
// a hanging one swallows the request until the caller's time-out, after
// which the request is cancelled and never takes effect.
bool VirtualScanner::BeginTransfer(uint32_t timeoutMs) {
  if (!Present()) return false;
  ++transfers_;
  if (Active(Fault::kHang)) {
    clock_->AdvanceUs(static_cast<uint64_t>(timeoutMs) * 1000);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Device file requests
// ---------------------------------------------------------------------------

bool VirtualScanner::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                               uint32_t outSize, uint32_t* transferred, uint32_t timeoutMs) {
  if (transferred != nullptr) *transferred = 0;
  if (code == platform::kIoctlGetDeviceDescriptor) {
    if (out == nullptr || outSize < sizeof(platform::DeviceDescriptor)) return RejectedByDriver();
    if (!BeginTransfer(timeoutMs)) return false;
    return ReadDescriptor(out, transferred);
  }
  if (code != platform::kIoctlReadRegisters && code != platform::kIoctlWriteRegisters) {
    return RejectedByDriver();
  }
  if (in == nullptr || inSize < sizeof(platform::IoBlock)) return RejectedByDriver();
  platform::IoBlock block;
  std::memcpy(&block, in, sizeof(block));
  if (block.offset > kMaxSetupField || block.index > kMaxSetupField ||
      block.length > kMaxSetupField) {
    return RejectedByDriver();
  }
  if (code == platform::kIoctlReadRegisters) {
    if (block.length > 0 && (out == nullptr || outSize < block.length)) return RejectedByDriver();
    if (!BeginTransfer(timeoutMs)) return false;
    bool ok = ControlIn(block.offset, block.index, block.length, static_cast<uint8_t*>(out));
    if (ok && transferred != nullptr) *transferred = block.length;
    return ok;
  }
  if (block.length > 0 && block.data == nullptr) return RejectedByDriver();
  if (!BeginTransfer(timeoutMs)) return false;
  return ControlOut(block.offset, block.index, block.length, block.data);
}

bool VirtualScanner::WritePipe(const void* data, uint32_t size, uint32_t* transferred,
                               uint32_t timeoutMs) {
  if (transferred != nullptr) *transferred = 0;
  if (data == nullptr && size > 0) return RejectedByDriver();
  if (!BeginTransfer(timeoutMs)) return false;
  // A controller that does not answer never arms its bulk endpoints.
  Window window;
  const bool fits = !Active(Fault::kSilent) && TakeWindow(true, size, &window);
  const bool known = fits && WritableArea(window.address, size);
  if (fits && !known) ++protocolErrors_;
  const bool ok = known && memory_.Write(window.address, static_cast<const uint8_t*>(data), size);
  clock_->AdvanceUs(BulkCostUs(ok ? size : 0));
  TraceBulk('O', size, ok);
  if (ok && transferred != nullptr) *transferred = size;
  return ok;
}

bool VirtualScanner::ReadPipe(void* dest, uint32_t size, uint32_t* transferred,
                              uint32_t timeoutMs) {
  if (transferred != nullptr) *transferred = 0;
  if (dest == nullptr && size > 0) return RejectedByDriver();
  if (!BeginTransfer(timeoutMs)) return false;
  Window window;
  bool ok = !Active(Fault::kSilent) && TakeWindow(false, size, &window);
  uint32_t moved = 0;
  if (ok) {
    moved = Active(Fault::kShort) ? size / 2 : size;
    if (window.address == chip::kImagePort && machine_->StreamActive()) {
      // Lines not produced yet are waited for; lines that never come time
      // the transfer out.
      if (!ReadImagePort(static_cast<uint8_t*>(dest), moved, timeoutMs)) {
        char line[40];
        std::snprintf(line, sizeof(line), "BI %u timeout", size);
        EmitTrace(line);
        return false;
      }
    } else {
      memory_.Read(window.address, static_cast<uint8_t*>(dest), moved);
    }
  }
  clock_->AdvanceUs(BulkCostUs(moved));
  TraceBulk('I', ok ? moved : size, ok);
  if (ok && transferred != nullptr) *transferred = moved;
  return ok;
}

// A bulk transfer consumes the open window whether it fits or not: a
// mismatched one is a protocol error and leaves no window behind.
bool VirtualScanner::TakeWindow(bool toController, uint32_t size, Window* window) {
  bool fits = window_.open && window_.toController == toController && window_.count == size;
  *window = window_;
  window_.open = false;
  if (!fits) ++protocolErrors_;
  return fits;
}

// ---------------------------------------------------------------------------
// Control transfers
// ---------------------------------------------------------------------------

bool VirtualScanner::ReadDescriptor(void* out, uint32_t* transferred) {
  clock_->AdvanceUs(kControlTransferUs);
  platform::DeviceDescriptor wire{descriptor_.vendorId, descriptor_.productId,
                                  descriptor_.bcdDevice, descriptor_.languageId};
  std::memcpy(out, &wire, sizeof(wire));
  if (transferred != nullptr) *transferred = sizeof(wire);
  EmitTrace("DD");
  return true;
}

bool VirtualScanner::ControlOut(uint32_t value, uint32_t index, uint32_t length,
                                const uint8_t* data) {
  clock_->AdvanceUs(kControlTransferUs);
  bool ok = ApplyControlOut(value, index, length, data);
  if (!ok) {
    ++protocolErrors_;
  } else if (Active(Fault::kSilent)) {
    ok = false;  // a silent core takes the request off the wire but never acknowledges it
  }
  TraceControl('O', value, index, length, data, ok);
  return ok;
}

bool VirtualScanner::ControlIn(uint32_t value, uint32_t index, uint32_t length, uint8_t* dest) {
  clock_->AdvanceUs(kControlTransferUs);
  bool ok = AnswerControlIn(value, index, length, dest);
  const bool statusProbe = value == kCmdReadRegisters && index == 0 && length == 1;
  if (!ok) {
    ++protocolErrors_;
  } else if (Active(Fault::kSilent) && !statusProbe) {
    ok = false;  // only the USB interface's own status byte still answers
  }
  TraceControl('I', value, index, length, ok ? dest : nullptr, ok);
  return ok;
}

// Decodes first and only then applies, so that a silent controller still
// stalls on malformed requests: the USB interface answers those, not the
// controller core.
bool VirtualScanner::ApplyControlOut(uint32_t value, uint32_t index, uint32_t length,
                                     const uint8_t* data) {
  const bool silent = Active(Fault::kSilent);
  if (value == kCmdWriteRegisters && index != 0) return WriteIdentity(index, length, data, !silent);
  if ((value & ~kBankBit) == kCmdWriteRegisters) {
    if (index != 0 || length < 2 || length > kMaxControlData || length % 2 != 0) return false;
    if (!silent) WriteRegisterPairs(value & kBankBit, data, length);
    return true;
  }
  switch (value) {
    case kCmdWindow:
      if (index > 1 || length != 8) return false;
      return OpenWindow(index, data, !silent);
    case kCmdAuxRegister:
      if (index > 0xFF || length != 1) return false;
      if (!silent) aux_[index] = data[0];
      return true;
    case kCmdCommandWord:
      if (index != kCommandWordIndex || length != 4) return false;
      if (silent) return true;
      commandWord_ = LoadLe32(data);
      // The page-end command latches the lines of the ended page.
      if (commandWord_ == kPageEndCommand && machine_->PageProgramme()) {
        counterWord_ = machine_->PageCounter();
      }
      return true;
    default:
      return false;
  }
}

bool VirtualScanner::AnswerControlIn(uint32_t value, uint32_t index, uint32_t length,
                                     uint8_t* dest) {
  const bool silent = Active(Fault::kSilent);
  // The status probe answers even when the controller core is silent: the
  // USB interface itself holds that byte.
  if (value == kCmdReadRegisters && index == 0 && length == 1) {
    dest[0] = statusByte_;
    return true;
  }
  if ((value & ~kBankBit) == kCmdReadRegisters && (index & 0xFF) == kRegisterReadTag) {
    if (length < 2 || length > kMaxControlData) return false;
    if (silent) {
      std::memset(dest, 0, length);
      return true;
    }
    // The address counter is 8 bits wide and the bank comes from the
    // command: a read past 0xFF wraps to the start of the same bank.
    const uint32_t bank = value & kBankBit;
    const uint32_t first = index >> 8;
    for (uint32_t i = 0; i + 1 < length; ++i) {
      dest[i] = ReadableRegister(static_cast<uint16_t>(bank | ((first + i) & 0xFF)));
    }
    dest[length - 1] = Active(Fault::kMarker) ? 0x00 : kReadMarker;
    return true;
  }
  if (value == kCmdReadIdentity) return ReadIdentity(index, length, dest, silent);
  if (value == kCmdCounterWord && index == kCounterWordIndex && length == 4) {
    StoreLe32(silent ? 0 : counterWord_, dest);
    return true;
  }
  return false;
}

// Identity requests address the identity memory, never the registers. Two
// one-byte writes outside the memory open and close the write-protected
// area (their data byte is not used). A silent controller checks the
// request and then ignores it (apply false).
bool VirtualScanner::WriteIdentity(uint32_t index, uint32_t length, const uint8_t* data,
                                   bool apply) {
  const auto address = static_cast<uint16_t>(index);
  if (address == chip::IdentityMemory::kOpenIndex || address == chip::IdentityMemory::kCloseIndex) {
    if (length != 1) return false;
    if (apply) identity_->SetOpen(address == chip::IdentityMemory::kOpenIndex);
    return true;
  }
  if (length == 0 || length > kMaxControlData) return false;
  if (chip::IdentityMemory::AreaOf(address) == nullptr) return false;
  if (apply) identity_->Write(address, data, length);
  return true;
}

bool VirtualScanner::ReadIdentity(uint32_t index, uint32_t length, uint8_t* dest,
                                  bool silent) const {
  const auto address = static_cast<uint16_t>(index);
  if (length == 0 || length > kMaxControlData) return false;
  if (chip::IdentityMemory::AreaOf(address) == nullptr) return false;
  if (silent) {
    std::memset(dest, 0, length);
    return true;
  }
  return identity_->Read(address, dest, length);
}

void VirtualScanner::WriteRegisterPairs(uint32_t bank, const uint8_t* pairs, uint32_t length) {
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    StoreRegister(static_cast<uint16_t>(bank | pairs[i]), pairs[i + 1]);
  }
}

void VirtualScanner::StoreRegister(uint16_t reg, uint8_t value) {
  // The status and data counter registers belong to the chip.
  if (reg == kStatusRegister || reg == kDataCounterRegister) return;
  const uint8_t before = registers_[reg];
  registers_[reg] = value;
  if (IsPortRegister(reg)) panel_->Follow(registers_, clock_->NowUs());
  if (reg == kAfeLowRegister) {
    afe_[registers_[kAfeAddressRegister]] =
        static_cast<uint16_t>(registers_[kAfeHighRegister] << 8 | value);
  }
  const uint64_t now = NowTicks();
  if (reg == kStartStrobe && value == kStrobe) machine_->Start(now, CurrentFaults());
  if (reg == kResetStrobe && value == kStrobe) machine_->Reset(now);
  if (reg == kMotorControlRegister && (before & kMotorEnable) && !(value & kMotorEnable)) {
    machine_->MotorEnableCleared(now);
  }
  if (reg == kScanControlRegister && (before & kScanEnable) && !(value & kScanEnable)) {
    machine_->ScanEnableCleared(now);
  }
}

// What a read returns: the stored value, except where the engine computes
// it now: the status bits, the data counter while a scan runs and the page
// end count of a page programme; and the port data registers, which show
// their pins.
uint8_t VirtualScanner::ReadableRegister(uint16_t reg) const {
  if (pinned_[reg]) return registers_[reg];
  if (chip::IsPortData(reg)) return panel_->PortValue(registers_, reg);
  const uint64_t now = NowTicks();
  if (reg == kStatusRegister) return machine_->Status(now, CurrentFaults());
  if (reg >= kDataCounterRegister && reg < kDataCounterRegister + 4 && machine_->StreamActive()) {
    const uint32_t counter = machine_->DataCounter(now, CurrentFaults());
    return static_cast<uint8_t>(counter >> (8 * (kDataCounterRegister + 3 - reg)));
  }
  if (reg == kPageEndRegister && machine_->PageProgramme()) {
    return static_cast<uint8_t>((registers_[reg] & 0xC0) | machine_->PagesEnded(now));
  }
  return registers_[reg];
}

bool VirtualScanner::ReadImagePort(uint8_t* dest, uint32_t size, uint32_t timeoutMs) {
  const uint64_t now = NowTicks();
  const uint64_t ready =
      machine_->TickWhenStreamHas(machine_->job().bytesRead + size, CurrentFaults());
  const uint64_t limit = chip::SaturatingAdd(now, uint64_t{timeoutMs} * 1000 * chip::kTicksPerUs);
  if (ready == chip::kForever || ready > limit) {
    clock_->AdvanceUs(uint64_t{timeoutMs} * 1000);
    return false;
  }
  if (ready > now) clock_->AdvanceUs((ready - now + chip::kTicksPerUs - 1) / chip::kTicksPerUs);
  machine_->ReadStream(dest, size);
  return true;
}

// Bulk writes land only in the gamma tables, the motor tables or the
// shading banks that registers 0xD0-0xD2 point at (from the lowest bank to
// the highest plus the largest distance between two of them).
bool VirtualScanner::WritableArea(uint32_t address, uint32_t size) const {
  if (size == 0) return true;
  const uint64_t end = uint64_t{address} + size;
  auto within = [&](uint64_t begin, uint64_t limit) { return address >= begin && end <= limit; };
  if (within(kGammaArea, kGammaArea + kGammaAreaBytes)) return true;
  if (within(kMotorArea, kMotorArea + kMotorAreaBytes)) return true;
  uint32_t banks[3] = {registers_[0xD0], registers_[0xD1], registers_[0xD2]};
  std::sort(banks, banks + 3);
  const uint32_t stride = std::max({1u, banks[1] - banks[0], banks[2] - banks[1]});
  const uint64_t first = kMotorArea + uint64_t{banks[0]} * kShadingBankBytes;
  const uint64_t last = kMotorArea + uint64_t{banks[2] + stride} * kShadingBankBytes;
  return within(first, last);
}

// direction 0: controller to host, 1: host to controller. A silent
// controller checks the request and then ignores it (apply false).
bool VirtualScanner::OpenWindow(uint32_t direction, const uint8_t* data, bool apply) {
  const uint32_t address = LoadLe32(data);
  const uint32_t count = LoadLe32(data + 4);
  if (static_cast<uint64_t>(address) + count > kAddressSpace) return false;
  if (!apply) return true;
  window_.open = true;
  window_.toController = direction == 1;
  window_.address = address;
  window_.count = count;
  return true;
}

// ---------------------------------------------------------------------------
// Trace
// ---------------------------------------------------------------------------

void VirtualScanner::TraceControl(char direction, uint32_t value, uint32_t index, uint32_t length,
                                  const uint8_t* data, bool ok) {
  char line[3 * kMaxControlData + 48];
  int head = std::snprintf(line, sizeof(line), "C%c %04x %04x %u", direction, value, index, length);
  char* cursor = line + head;
  if (data != nullptr && length > 0) {
    *cursor++ = ' ';
    cursor = AppendHex(cursor, data, length);
  }
  if (!ok) {
    std::memcpy(cursor, " stall", 6);
    cursor += 6;
  }
  *cursor = '\0';
  EmitTrace(line);
}

void VirtualScanner::TraceBulk(char direction, uint32_t size, bool ok) {
  char line[32];
  std::snprintf(line, sizeof(line), "B%c %u%s", direction, size, ok ? "" : " stall");
  EmitTrace(line);
}

void VirtualScanner::EmitTrace(const char* line) {
  if (keepTrace_) trace_.emplace_back(line);
  if (traceFile_ != nullptr) {
    std::fputs(line, traceFile_);
    std::fputc('\n', traceFile_);
    // Flushed per line so that the file is complete even when the host
    // crashes, which is when the trace matters most.
    std::fflush(traceFile_);
  }
}

}  // namespace lf::sim
