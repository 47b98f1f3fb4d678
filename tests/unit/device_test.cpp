// The scan device classes against the virtual scanner: what each class sends
// when it is built, how it moves paper (direction, steps, speed table, the
// virtual time its waits take), its paper sensor polarity, its panel wiring
// and the light pipe with its mutex.
#include "device/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LF_v2270.h"
#include "api/api.h"
#include "channel/channel.h"
#include "engine/engine.h"
#include "models/models.h"
#include "platform/platform.h"
#include "support/sim_fixture.h"
#include "support/sim_wire.h"

namespace lf {
namespace {

using sim::Fault;
using sim::Model;
using Strings = std::vector<std::string>;

constexpr Model kSheet = Model::kKD21x, kDuplex = Model::kKD409P, kLuma = Model::kLumaframe;
constexpr Model kClasses[] = {kSheet, kDuplex, kLuma};

// The last `count` items, joined by spaces.
std::string Joined(const Strings& items, size_t count = SIZE_MAX) {
  std::string joined;
  for (size_t i = items.size() - std::min(count, items.size()); i < items.size(); ++i) {
    joined += (joined.empty() ? "" : " ") + items[i];
  }
  return joined;
}

// Both enumerations list the families in the same order.
constexpr ModelFamily FamilyOf(Model model) { return static_cast<ModelFamily>(model); }
static_assert(FamilyOf(Model::kCard) == ModelFamily::kBusinessCard &&
              FamilyOf(Model::kKD409P) == ModelFamily::kKD409P);

// A paper move as the chip latched it at its start strobe.
struct Move {
  bool forward;
  uint32_t steps;
  bool modeBit;
  bool operator==(const Move&) const = default;
};
void PrintTo(const Move& m, std::ostream* os) {
  *os << (m.forward ? "fwd " : "back ") << m.steps << (m.modeBit ? " m1" : " m0");
}

// A cleaning run: the first move, then rounds of a stroke forward and back.
std::vector<Move> Strokes(Move first, int rounds, uint32_t steps) {
  std::vector<Move> moves{first};
  for (int i = 0; i < rounds; ++i)
    moves.insert(moves.end(), {{true, steps, true}, {false, steps, true}});
  return moves;
}

// Named mutexes that note the trace length when taken and given back.
const sim::VirtualScanner* g_watched = nullptr;
std::vector<size_t> g_mutexEvents;
class NotingMutex final : public platform::NamedMutex {
 public:
  bool Wait() override { return Note(); }
  bool Release() override { return Note(); }

 private:
  static bool Note() {
    g_mutexEvents.push_back(g_watched->Trace().size());
    return true;
  }
};

class ScopedMutexFactory {
 public:
  explicit ScopedMutexFactory(platform::NamedMutexFactory f) { platform::SetNamedMutexFactory(f); }
  ~ScopedMutexFactory() { platform::SetNamedMutexFactory(nullptr); }
};

class DeviceTest : public test::SimTest {
 protected:
  void TearDown() override {
    device_.reset();
    ReleaseSessionAndModel();
    delete g_settings;
    g_settings = nullptr;
    SimTest::TearDown();
  }

  // A scanner of that model in slot 0, the channel open, a clean trace.
  sim::VirtualScanner& Start(Model model) {
    scanner_ = &Plug(0, model);
    EXPECT_TRUE(OpenChannel(kScannerVendorId, 0));
    ResetEngineState();
    ResetRegisterShadow();
    scanner_->ClearTrace();
    g_watched = scanner_;
    return *scanner_;
  }
  ScanDevice& Build(Model model) {
    Start(model);
    device_.reset(CreateScanDevice(FamilyOf(model)));
    return *device_;
  }
  // Registers, trace and clock as they stand, for the helpers below.
  void Mark() {
    for (uint16_t r = 0; r < 256; ++r) marked_[r] = scanner_->Register(r);
    scanner_->ClearTrace();
    markedUs_ = bus_.Clock().NowUs();
  }
  uint64_t ElapsedMs() { return (bus_.Clock().NowUs() - markedUs_) / 1000; }
  // Bank-0 register writes in the trace, each "rrvv" as the trace shows it.
  Strings WriteList() const {
    Strings writes;
    for (const std::string& line : scanner_->Trace()) {
      if (line.rfind("CO 0083 0000 ", 0) != 0) continue;
      for (size_t i = line.find(' ', 13) + 1; i + 4 <= line.size() && line[i] != ' '; i += 4) {
        writes.push_back(line.substr(i, 4));
      }
    }
    return writes;
  }
  // The last `count` of them, joined by spaces.
  std::string Writes(size_t count = SIZE_MAX) const { return Joined(WriteList(), count); }
  // Register reads in the trace, as "rr22" (bank 1 shows as its low byte), joined by spaces.
  std::string Reads() const {
    Strings reads;
    for (const std::string& line : scanner_->Trace()) {
      if (line.rfind("CI 008e ", 0) == 0 || line.rfind("CI 018e ", 0) == 0) {
        reads.push_back(line.substr(8, 4));
      }
    }
    return Joined(reads);
  }
  // Replays the writes and lists the paper moves the start strobe launched
  // (scan enable off, motor enable on, steps > 0), with the feed table length
  // the last one started with.
  std::vector<Move> Moves(int* tableLength = nullptr) const {
    uint8_t regs[256];
    std::copy(std::begin(marked_), std::end(marked_), regs);
    std::vector<Move> moves;
    for (const std::string& write : WriteList()) {
      const unsigned long reg = std::strtoul(write.substr(0, 2).c_str(), nullptr, 16);
      const unsigned long value = std::strtoul(write.substr(2).c_str(), nullptr, 16);
      regs[reg] = static_cast<uint8_t>(value);
      const uint32_t steps = (regs[0x3D] & 0x0Fu) << 16 | regs[0x3E] << 8 | regs[0x3F];
      if (reg != 0x0F || value != 0xFF || (regs[0x01] & 1) != 0 || (regs[0x02] & 0x10) == 0 ||
          steps == 0) {
        continue;
      }
      moves.push_back({(regs[0x02] & 0x04) == 0, steps, (regs[0x02] & 0x08) != 0});
      if (tableLength != nullptr) *tableLength = regs[0xAE] << 8 | regs[0xAF];
    }
    return moves;
  }
  uint16_t FeedTableEntry(int index) const {
    uint16_t entry = 0;
    scanner_->ReadMemory(0x1000C000 + 2u * static_cast<uint32_t>(index), &entry, 2);
    return entry;
  }

  sim::VirtualScanner* scanner_ = nullptr;
  std::unique_ptr<ScanDevice> device_;
  uint8_t marked_[256] = {};
  uint64_t markedUs_ = 0;
};

// --- Construction -------------------------------------------------------------

TEST_F(DeviceTest, FactoryBuildsTheClassOfEachFamily) {
  for (Model model : {kLuma, kSheet, kDuplex, Model::kCard}) {
    ScanDevice& device = Build(model);
    EXPECT_EQ(dynamic_cast<SheetScanDevice*>(&device) != nullptr,
              model == kSheet || model == Model::kCard);
    EXPECT_EQ(dynamic_cast<DuplexScanDevice*>(&device) != nullptr, model == kDuplex);
    EXPECT_EQ(dynamic_cast<LumaframeScanDevice*>(&device) != nullptr, model == kLuma);
    EXPECT_EQ(device.IsConnected(), 1);
    EXPECT_EQ(device.GetLampMode(), 1);  // pages are scanned lit unless told otherwise
    EXPECT_EQ(scanner_->Trace().at(0), "CO 0083 0000 2 0eff");  // engine reset first
  }
}

TEST_F(DeviceTest, ConstructionSetsThePortsOfEachModel) {
  // After the controller start-up: Sheet makes port A all inputs and reads
  // the buttons' idle level (pulled up); Duplex makes its two button lines
  // inputs, reading each port; Lumaframe drives B5 high, makes its four
  // button lines inputs and releases B7.
  Build(kSheet);
  Strings tail(scanner_->Trace().end() - 2, scanner_->Trace().end());
  EXPECT_EQ(tail, (Strings{"CO 0083 0000 2 3400", "CI 008e 3122 2 ff55"}));
  Build(kDuplex);
  tail.assign(scanner_->Trace().end() - 4, scanner_->Trace().end());
  for (std::string& line : tail) line.resize(line[1] == 'I' ? 15 : line.size());  // no answers
  EXPECT_EQ(tail, (Strings{"CO 0083 0000 2 3420", "CI 008e 3122 2 ", "CO 0083 0000 2 360b",
                           "CI 008e 3322 2 "}));
  Build(kLuma);
  EXPECT_EQ(Writes(9), "357f 3279 3a00 357d 360e 353d 3606 3060 353d");
}

TEST_F(DeviceTest, ControllerThatDoesNotAnswerLeavesTheDeviceUnconnected) {
  // Every transfer hangs, so the start-up fails at its first batch. Sheet and
  // Duplex stop there; Lumaframe still sets its nine port pins.
  const uint64_t transfers[] = {2, 2, 2 + 9};
  for (int i = 0; i < 3; ++i) {
    Start(kClasses[i]).InjectFault(Fault::kHang);
    std::unique_ptr<ScanDevice> device(CreateScanDevice(FamilyOf(kClasses[i])));
    EXPECT_EQ(device->IsConnected(), 0);
    EXPECT_EQ(scanner_->TransferCount(), transfers[i] + 2) << i;  // + probe and descriptor
  }
}

TEST_F(DeviceTest, BusinessCardWithAnUnansweringControllerIsNotFound) {
  // The device file opens (probe and descriptor answer) but the controller
  // core takes nothing: the card scanner then counts as absent, the others
  // are found and only fail later.
  for (const auto& [name, found] : {std::pair{"Business Card", 0}, std::pair{"KD211-U", 1}}) {
    bus_.Unplug(0);
    Plug(0, name[0] == 'B' ? Model::kCard : Model::kKD21x).InjectFault(Fault::kSilent);
    EXPECT_EQ(IO_HasScanner(name), found) << name;
    EXPECT_EQ(IsChannelOpen(), true) << name;
  }
  bus_.Unplug(0);
  Plug(0, Model::kCard).InjectFault(Fault::kHang, 3);  // hangs after probe and descriptor
  EXPECT_EQ(IO_HasScanner("Business Card"), 0);
}

TEST_F(DeviceTest, DuplexWithoutItsMutexStillWorks) {
  ScopedMutexFactory noMutex(
      [](const char*) -> std::unique_ptr<platform::NamedMutex> { return nullptr; });
  ScanDevice& device = Build(kDuplex);
  EXPECT_EQ(device.IsConnected(), 0);
  EXPECT_TRUE(scanner_->Trace().empty());  // no start-up without the mutex
  device.LightPipeOn();                    // the bits are written all the same
  EXPECT_TRUE(scanner_->LightPipeOn());
  EXPECT_EQ(device.Reinitialize(), 1);
  EXPECT_EQ(device.IsConnected(), 1);
}

TEST_F(DeviceTest, LightPipeBitsChangeOnlyUnderTheMutex) {
  ScopedMutexFactory noting([](const char*) -> std::unique_ptr<platform::NamedMutex> {
    return std::make_unique<NotingMutex>();
  });
  ScanDevice& device = Build(kDuplex);
  Mark();
  g_mutexEvents.clear();
  device.LightPipeOn();
  EXPECT_EQ(g_mutexEvents, (std::vector<size_t>{0, 2}));  // both writes in between
  EXPECT_EQ(Writes(), "35df 32f9");
  device.LightPipeOff();
  EXPECT_FALSE(scanner_->LightPipeOn());
  EXPECT_EQ(g_mutexEvents, (std::vector<size_t>{0, 2, 2, 4}));
}

TEST_F(DeviceTest, ReverseMotorHoldsUntilTheNextSuccessfulReinitialize) {
  for (Model model : kClasses) {
    ScanDevice& device = Build(model);
    EXPECT_EQ(device.ReverseMotor(0), 0);
    EXPECT_EQ(device.ReverseScan(), 1);
    EXPECT_EQ(device.ReverseMotor(7), 7);
    EXPECT_EQ(device.ReverseScan(), 0);
    device.ReverseMotor(0);
    EXPECT_EQ(device.Reinitialize(), 1);
    EXPECT_EQ(device.ReverseScan(), 0);
    // A failed one keeps the setting; only Sheet keeps its connected flag.
    device.ReverseMotor(0);
    scanner_->InjectFault(Fault::kUnplug);
    EXPECT_EQ(device.Reinitialize(), 0);
    EXPECT_EQ(device.ReverseScan(), 1);
    EXPECT_EQ(device.IsConnected(), model == kSheet ? 1 : 0) << sim::ModelName(model);
    scanner_->ClearFaults();
  }
}

// --- Paper --------------------------------------------------------------------

TEST_F(DeviceTest, PaperSensorPolarityPerClass) {
  const int expected[3][3] = {{1, 0, 0}, {1, 0, 0}, {1, 0, 1}};  // paper, none, unreadable
  for (int i = 0; i < 3; ++i) {
    ScanDevice& device = Build(kClasses[i]);
    EXPECT_EQ(device.IsPaperOn(), expected[i][0]) << i;
    scanner_->SetSheetCount(0);
    EXPECT_EQ(device.IsPaperOn(), expected[i][1]) << i;
    scanner_->InjectFault(Fault::kMarker);
    EXPECT_EQ(device.IsPaperOn(), expected[i][2]) << i;
    scanner_->ClearFaults();
  }
}

TEST_F(DeviceTest, DuplexLightPipeFollowsThePaper) {
  ScanDevice& device = Build(kDuplex);
  EXPECT_EQ(device.IsPaperOn(), 1);
  EXPECT_TRUE(scanner_->LightPipeOn());
  Mark();
  EXPECT_EQ(device.IsPaperOn(), 1);  // already lit: reads only
  EXPECT_EQ(Reads(), "0122 3522 3222");
  EXPECT_EQ(Writes(), "");
  scanner_->SetSheetCount(0);
  EXPECT_EQ(device.IsPaperOn(), 0);
  EXPECT_FALSE(scanner_->LightPipeOn());
}

TEST_F(DeviceTest, MoveMotorProgramsEachClassRamp) {
  // 600 steps/s: Sheet has 30 of its 160 speeds below it, Duplex 15 of 46
  // (both step type 2), Lumaframe 12 of 43 from 130 (step type 4).
  const struct {
    uint8_t stepTypes;
    int length;
    uint16_t first, target;
  } cases[] = {{0x09, 32, 65535, 3333}, {0x09, 16, 65535, 3333}, {0x12, 16, 7692, 1666}};
  for (int i = 0; i < 3; ++i) {
    ScanDevice& device = Build(kClasses[i]);
    Mark();
    EXPECT_EQ(device.MoveMotor(0, 1234, 1, 600.0f), 1);
    int length = 0;
    EXPECT_EQ(Moves(&length), (std::vector<Move>{{false, 1234, true}})) << i;
    EXPECT_TRUE(scanner_->MotorRunning());
    EXPECT_EQ(scanner_->Register(0xA0) & 0x3F, cases[i].stepTypes);  // bits 0-5
    EXPECT_EQ(scanner_->Register(0x1C) & 0x07, 0);                   // divider 1
    EXPECT_EQ(length, cases[i].length);
    EXPECT_EQ(FeedTableEntry(0), cases[i].first);
    EXPECT_EQ(FeedTableEntry(length - 1), cases[i].target);
  }
  // Above the ramp's last speed nothing starts.
  ScanDevice& duplex = Build(kDuplex);
  Mark();
  EXPECT_EQ(duplex.MoveMotor(1, 100, 0, 1811.0f), 0);
  EXPECT_TRUE(Moves().empty());
}

enum class Op { kFeedOn, kFeedOnFor, kFeedBackFor, kFeedPage, kFeedBack, kClean };
enum class Paper { kLoaded, kEmpty, kJammed };  // jammed: a sheet that never moves

void Perform(ScanDevice& device, Op op, uint32_t ms) {
  if (op == Op::kFeedOn) device.FeedOn();
  if (op == Op::kFeedOnFor) device.FeedOnFor(ms);
  if (op == Op::kFeedBackFor) device.FeedBackFor(ms);
  if (op == Op::kFeedPage) device.FeedPage();
  if (op == Op::kFeedBack) device.FeedBack();
  if (op == Op::kClean) device.Clean();
}

// lastEntry: the target period of the last move's feed table (0: unchecked).
// clang-format off
struct FeedCase { const char* name; Model model; Op op; uint32_t ms; Paper paper;
                  std::vector<Move> moves; uint64_t minMs, maxMs; uint16_t lastEntry;
                  uint32_t ejected; };
// clang-format on
void PrintTo(const FeedCase& c, std::ostream* os) { *os << c.name; }

class FeedTest : public DeviceTest, public ::testing::WithParamInterface<FeedCase> {};

TEST_P(FeedTest, MovesPaperAndTakesItsTime) {
  const FeedCase& c = GetParam();
  ScanDevice& device = Build(c.model);
  if (c.paper == Paper::kEmpty) scanner_->SetSheetCount(0);
  if (c.paper == Paper::kJammed) scanner_->InjectFault(Fault::kJam);
  Mark();
  Perform(device, c.op, c.ms);
  int length = 0;
  EXPECT_EQ(Moves(&length), c.moves);
  EXPECT_GE(ElapsedMs(), c.minMs);
  EXPECT_LE(ElapsedMs(), c.maxMs);
  EXPECT_FALSE(scanner_->MotorRunning());
  EXPECT_EQ(scanner_->SheetsEjected(), c.ejected);
  EXPECT_EQ(c.lastEntry == 0 ? 0 : FeedTableEntry(length - 1), c.lastEntry);
}

constexpr uint32_t kEndless = 100000;
constexpr Move kOut{true, kEndless, true}, kIn{false, kEndless, true};
constexpr Move kPullBack{false, 10000, false}, kFeedIn{true, 240, true};
constexpr Move kTimed{true, 500, true}, kTimedBack{false, 1200, true};
const std::vector<Move> kSheetClean = Strokes({true, 100, false}, 5, 1800);
const std::vector<Move> kDuplexClean = Strokes({true, 600, true}, 10, 1200);
const std::vector<Move> kLumaClean = Strokes({true, 600, true}, 5, 3600);
using enum Op;
using enum Paper;

// Sheet polls 30 times, 300 ms apart, then waits 200 + 500 ms; Duplex and
// Lumaframe poll 60 times (Duplex FeedBack 30) and wait 1000 ms.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Operations, FeedTest, ::testing::ValuesIn(std::vector<FeedCase>{
    {"sheet_page", kSheet, kFeedPage, 0, kLoaded, {kOut}, 700, 9000, 3333, 1},
    {"sheet_page_empty", kSheet, kFeedPage, 0, kEmpty, {kOut}, 700, 760, 3333, 0},
    {"sheet_page_jammed", kSheet, kFeedPage, 0, kJammed, {kOut}, 9500, 9600, 0, 0},
    {"sheet_timed", kSheet, kFeedOnFor, 500, kLoaded, {kTimed}, 500, 560, 6666, 0},
    {"sheet_back", kSheet, kFeedBack, 0, kLoaded, {kPullBack}, 0, 500, 3333, 0},
    {"sheet_back_empty", kSheet, kFeedBack, 0, kEmpty, {}, 0, 10, 0, 0},
    {"sheet_back_jammed", kSheet, kFeedBack, 0, kJammed, {kPullBack}, 10000, 10100, 0, 0},
    {"sheet_back_for", kSheet, kFeedBackFor, 500, kLoaded, {}, 0, 0, 0, 0},
    {"sheet_clean", kSheet, kClean, 0, kLoaded, kSheetClean, 32000, 35000, 6666, 0},
    {"duplex_feed_on", kDuplex, kFeedOn, 0, kLoaded, {kFeedIn}, 0, 2000, 5555, 0},
    {"duplex_page", kDuplex, kFeedPage, 0, kLoaded, {kOut}, 1000, 18000, 3333, 1},
    {"duplex_page_empty", kDuplex, kFeedPage, 0, kEmpty, {kOut}, 1000, 1050, 0, 0},
    {"duplex_page_jam", kDuplex, kFeedPage, 0, kJammed, {kOut}, 18000, 18100, 0, 0},
    {"duplex_back_empty", kDuplex, kFeedBack, 0, kEmpty, {kIn}, 1000, 1050, 0, 0},
    {"duplex_back_jam", kDuplex, kFeedBack, 0, kJammed, {kIn}, 9000, 9100, 0, 0},
    {"duplex_timed_back", kDuplex, kFeedBackFor, 1200, kLoaded, {kTimedBack}, 1200, 1260, 3333, 0},
    {"duplex_clean", kDuplex, kClean, 0, kLoaded, kDuplexClean, 26700, 27500, 3333, 0},
    {"luma_feed_on", kLuma, kFeedOn, 0, kLoaded, {kFeedIn}, 0, 2000, 3333, 0},
    {"luma_page", kLuma, kFeedPage, 0, kLoaded, {kOut}, 1000, 18000, 1666, 1},
    {"luma_page_empty", kLuma, kFeedPage, 0, kEmpty, {kOut}, 1000, 1050, 0, 0},
    {"luma_page_jammed", kLuma, kFeedPage, 0, kJammed, {kOut}, 18000, 18100, 0, 0},
    {"luma_back_covered", kLuma, kFeedBack, 0, kLoaded, {}, 0, 10, 0, 0},
    {"luma_back_empty", kLuma, kFeedBack, 0, kEmpty, {kIn}, 10000, 10100, 0, 0},
    {"luma_clean", kLuma, kClean, 0, kLoaded, kLumaClean, 36710, 37500, 1666, 0}}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(DeviceTest, SheetFeedsNothingWhenItCannotReinitialize) {
  for (Op op : {kFeedOn, kFeedOnFor, kFeedPage}) {
    ScanDevice& device = Build(kSheet);
    scanner_->InjectFault(Fault::kUnplug);
    Mark();
    Perform(device, op, 500);
    EXPECT_LT(ElapsedMs(), 5u);  // not one sleep
    scanner_->ClearFaults();
    EXPECT_DOUBLE_EQ(scanner_->SheetLeadingEdge(), sim::GeometryOf(kSheet).rest);
  }
}

TEST_F(DeviceTest, SheetFeedOnScansUnderTheInfraredSource) {
  g_settings = new KD21xSettings();
  ScanDevice& device = Build(kSheet);
  const double rest = scanner_->SheetLeadingEdge();
  Mark();
  device.FeedOn();
  EXPECT_GT(scanner_->SheetLeadingEdge(), rest);
  EXPECT_TRUE(Moves().empty());  // a scan, not a paper move
  EXPECT_EQ(g_settings->GetResolution(), 300);
  // The infrared source goes on before the scan's start strobe, and the
  // start-up that follows turns it off again.
  const std::string writes = Writes();
  EXPECT_LT(writes.find("35df"), writes.find("0fff"));
  EXPECT_LT(writes.find("32f9"), writes.find("0fff"));
  const Strings list = WriteList();
  EXPECT_EQ(std::count(list.begin(), list.end(), "0fff"), 1);
  EXPECT_EQ(scanner_->Register(0x32) & 0x80, 0);
}

TEST_F(DeviceTest, LumaframeHoldsPortB7LowWhileMotionLasts) {
  ScanDevice& device = Build(kLuma);
  for (Op op : {kFeedOn, kFeedOnFor, kFeedBackFor, kFeedPage}) {
    scanner_->SetSheetCount(1);
    Mark();
    Perform(device, op, 100);
    EXPECT_EQ(Writes().substr(0, 15), "3060 35bd 3279 ");
    EXPECT_EQ(Writes(2), "3060 353d");
  }
}

TEST_F(DeviceTest, LumaframePageEndRestoresItsPins) {
  ScanDevice& luma = Build(kLuma);  // C4 and B5 driven high, B7 released
  Mark();
  luma.EndScanPage();
  EXPECT_EQ(Writes(7), "3a00 3616 331f 353d 3279 3060 353d");
}

// --- Panel --------------------------------------------------------------------

TEST_F(DeviceTest, ButtonsReadThroughEachWiring) {
  // ports: register presets ("rrvv") for port reads to return; reads: the registers read.
  // clang-format off
  const struct { Model model; const char* ports; bool fails; int16_t button; const char* reads; }
  cases[] = {
      {kSheet, "31ff", false, 0, "3122"},  // the baseline read at construction
      {kSheet, "31fe", false, 3, "3122"}, {kSheet, "31fd", false, 2, "3122"},
      {kSheet, "31fb", false, 1, "3122"}, {kSheet, "31f7", false, 0, "3122"},
      {kSheet, "31fc", false, 3, "3122"},  // lowest bit of the difference first
      {kSheet, "31fe", true, 0, "3122"},
      {kDuplex, "31ff 33ff", false, 0, "3122 3322"}, {kDuplex, "31fe 3300", false, 3, "3122"},
      {kDuplex, "31ff 33fb", false, 1, "3122 3322"},
      {kDuplex, "3100 3300", true, 0, "3122 3322"},  // A fails, on to C
      {kLuma, "3300 3200", false, 0, "3322 3222"}, {kLuma, "3309 3242", false, 4, "3322"},
      {kLuma, "3301 3242", false, 2, "3322"}, {kLuma, "33f6 3242", false, 3, "3322 3222"},
      {kLuma, "3300 3202", false, 1, "3322 3222"}, {kLuma, "3308 3202", true, 0, "3322"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << sim::ModelName(c.model) << " " << c.ports);
    ScanDevice& device = Build(c.model);
    const test::Bytes presets = test::FromHex(c.ports);
    for (size_t i = 0; i + 1 < presets.size(); i += 2) {
      scanner_->SetRegister(presets[i], presets[i + 1]);
    }
    if (c.fails) scanner_->InjectFault(Fault::kMarker);
    Mark();
    EXPECT_EQ(device.GetPressedButton(), c.button);
    EXPECT_EQ(Reads(), c.reads);
    scanner_->ClearFaults();
  }
}

TEST_F(DeviceTest, BeepsSoundsTheBeeperForTwoHundredMilliseconds) {
  // The Lumaframe's beeper line doubles as a button input, so it stays quiet.
  const uint32_t beeps[] = {1, 1, 0};
  for (int i = 0; i < 3; ++i) {
    ScanDevice& device = Build(kClasses[i]);
    Mark();
    device.Beeps();
    EXPECT_GE(ElapsedMs(), 200u);
    EXPECT_EQ(Writes(), "327b 3279");  // bit 1 of port B up and down, the others kept
    EXPECT_EQ(scanner_->BeepCount(), beeps[i]) << i;
    EXPECT_GE(scanner_->BeeperOnUs(), 200000u * beeps[i]);
  }
}

TEST_F(DeviceTest, IndicatorsAreZeroAndOneOnDuplexOnly) {
  ScanDevice& duplex = Build(kDuplex);
  Mark();
  duplex.IndicatorOn(2);
  duplex.IndicatorOff(-1);
  EXPECT_TRUE(scanner_->Trace().empty());
  duplex.IndicatorOn(0);
  EXPECT_EQ(Writes(), "3422 3126");
  duplex.IndicatorOn(1);
  duplex.EndScanPage();  // puts indicator 0 out
  EXPECT_FALSE(scanner_->IndicatorLit(0));
  EXPECT_TRUE(scanner_->IndicatorLit(1));
  EXPECT_EQ(scanner_->Register(0x34) & 0x06, 0x06);  // off keeps the line an output
}

TEST_F(DeviceTest, IdentityWritesPrintTheHeaderExceptOnLumaframe) {
  for (Model model : kClasses) {
    ScanDevice& device = Build(model);
    test::DebugLines lines;
    EXPECT_EQ(device.WriteEEPROMInfo(0x0201, 0x0403, "Vendor", "Model", "SN1", 2), 1);
    EXPECT_EQ(lines.lines(), model == kLuma ? Strings{} : Strings{"01  02  03  04  0b\n"});
  }
}

TEST_F(DeviceTest, SheetEndScanSwitchesTheLampOffThenResetsTheEngine) {
  ScanDevice& device = Build(kSheet);
  ASSERT_TRUE(SetLampState(0, 1));
  Mark();
  device.EndScan();
  EXPECT_EQ(Writes(), "038f 0eff");  // lamp bit (0x10) cleared, then the engine reset
}

}  // namespace
}  // namespace lf
