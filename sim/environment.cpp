// Names of models and faults, and the environment switch through which any
// host (the CLI, a C program, a Windows program under Wine) puts a virtual
// scanner behind \\.\usbscan0.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sim/sim.h"

namespace lf::sim {

namespace {

constexpr const char* kModelNames[] = {"lumaframe", "kd21x", "kd409p", "card"};
constexpr Model kModels[] = {Model::kLumaframe, Model::kKD21x, Model::kKD409P, Model::kCard};

// In the order of the Fault enumeration.
constexpr const char* kFaultNames[kFaultCount] = {"unplug",      "marker", "short",       "hang",
                                                  "stuck-motor", "jam",    "never-ready", "silent"};

bool EqualsNoCase(const char* a, const char* aEnd, const char* b) {
  for (; a != aEnd; ++a, ++b) {
    if (*b == '\0') return false;
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *b == '\0';
}

constexpr uint64_t kMaxSheets = 10000;
constexpr uint64_t kMaxButton = 8;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Decimal, at least one digit, no sign, no overflow.
bool ParseCount(const char* begin, const char* end, uint64_t* value) {
  if (begin == end) return false;
  uint64_t result = 0;
  for (const char* c = begin; c != end; ++c) {
    if (*c < '0' || *c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(*c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

// One item of a fault list, blanks already trimmed.
bool ParseFaultItem(const char* begin, const char* end, std::pair<Fault, uint64_t>* item) {
  const char* at = static_cast<const char*>(std::memchr(begin, '@', end - begin));
  const char* nameEnd = at != nullptr ? at : end;
  uint64_t from = 1;
  if (at != nullptr && (!ParseCount(at + 1, end, &from) || from == 0)) return false;
  for (int i = 0; i < kFaultCount; ++i) {
    if (EqualsNoCase(begin, nameEnd, kFaultNames[i])) {
      *item = {static_cast<Fault>(i), from};
      return true;
    }
  }
  return false;
}

bool IsSwitchedOn(const char* value) {
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// LF_V2270_SIM_SHEET and LF_V2270_SIM_SHEETS; what does not parse keeps the
// default (one test chart) for that variable and says so.
void LoadSheetsFromEnvironment(VirtualScanner* scanner) {
  const char* sheet = std::getenv("LF_V2270_SIM_SHEET");
  const bool given = sheet != nullptr && *sheet != '\0';
  if (!given || !scanner->SetSheet(sheet)) {
    scanner->SetSheet("chart");
    if (given) {
      platform::DebugString("virtual scanner: LF_V2270_SIM_SHEET not understood, test chart\n");
    }
  }
  const char* sheets = std::getenv("LF_V2270_SIM_SHEETS");
  if (sheets == nullptr || *sheets == '\0') return;
  uint64_t count = 0;
  if (ParseCount(sheets, sheets + std::strlen(sheets), &count) && count <= kMaxSheets) {
    scanner->SetSheetCount(static_cast<uint32_t>(count));
  } else {
    platform::DebugString("virtual scanner: LF_V2270_SIM_SHEETS not understood, one sheet\n");
  }
}

// LF_V2270_SIM_BUTTON: the number of a button held down for the life of
// the process; "0" holds none. A number the model has no button for, or
// anything that is not a number, holds none and says so.
void LoadButtonFromEnvironment(VirtualScanner* scanner) {
  const char* button = std::getenv("LF_V2270_SIM_BUTTON");
  if (button == nullptr || *button == '\0') return;
  uint64_t number = 0;
  const bool parsed = ParseCount(button, button + std::strlen(button), &number);
  if (parsed && number == 0) return;
  if (!parsed || number > kMaxButton || !scanner->PressButton(static_cast<int>(number))) {
    platform::DebugString("virtual scanner: LF_V2270_SIM_BUTTON not understood, no button\n");
  }
}

}  // namespace

const char* ModelName(Model model) { return kModelNames[static_cast<int>(model)]; }

bool ParseModelName(const char* text, Model* model) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  for (size_t i = 0; i < sizeof(kModels) / sizeof(kModels[0]); ++i) {
    if (EqualsNoCase(text, end, kModelNames[i])) {
      *model = kModels[i];
      return true;
    }
  }
  return false;
}

const char* FaultName(Fault fault) { return kFaultNames[static_cast<int>(fault)]; }

bool ParseFaultList(const char* text, std::vector<std::pair<Fault, uint64_t>>* out) {
  if (out == nullptr) return false;
  std::vector<std::pair<Fault, uint64_t>> parsed;
  const char* cursor = text != nullptr ? text : "";
  const char* textEnd = cursor + std::strlen(cursor);
  const char* firstSolid = cursor;
  while (firstSolid != textEnd && IsBlank(*firstSolid)) ++firstSolid;
  if (firstSolid == textEnd) return true;  // no faults at all
  while (true) {
    const char* comma = static_cast<const char*>(std::memchr(cursor, ',', textEnd - cursor));
    const char* itemEnd = comma != nullptr ? comma : textEnd;
    const char* begin = cursor;
    while (begin != itemEnd && IsBlank(*begin)) ++begin;
    const char* end = itemEnd;
    while (end != begin && IsBlank(end[-1])) --end;
    std::pair<Fault, uint64_t> item;
    if (!ParseFaultItem(begin, end, &item)) return false;
    parsed.push_back(item);
    if (comma == nullptr) break;
    cursor = comma + 1;
  }
  out->insert(out->end(), parsed.begin(), parsed.end());
  return true;
}

std::unique_ptr<VirtualBus> BusFromEnvironment() {
  const char* which = std::getenv("LF_V2270_SIMULATOR");
  if (!IsSwitchedOn(which)) return nullptr;
  Model model = Model::kLumaframe;
  if (std::strcmp(which, "1") != 0 && !ParseModelName(which, &model)) return nullptr;

  std::unique_ptr<VirtualBus> bus(new (std::nothrow) VirtualBus());
  if (!bus) return nullptr;
  VirtualScanner& scanner = bus->Plug(0, model);

  // A fault list that does not parse injects nothing: half a list would
  // make a test pass or fail for the wrong reason.
  std::vector<std::pair<Fault, uint64_t>> faults;
  if (ParseFaultList(std::getenv("LF_V2270_SIM_FAULTS"), &faults)) {
    for (const auto& [fault, from] : faults) scanner.InjectFault(fault, from);
  } else {
    platform::DebugString("virtual scanner: LF_V2270_SIM_FAULTS not understood, no faults\n");
  }

  const char* tracePath = std::getenv("LF_V2270_SIM_TRACE");
  if (tracePath != nullptr && *tracePath != '\0' && !scanner.SetTraceFile(tracePath)) {
    platform::DebugString("virtual scanner: cannot open the LF_V2270_SIM_TRACE file\n");
  }

  bus->Clock().SetRealtime(IsSwitchedOn(std::getenv("LF_V2270_SIM_REALTIME")));
  LoadSheetsFromEnvironment(&scanner);
  LoadButtonFromEnvironment(&scanner);
  return bus;
}

}  // namespace lf::sim
