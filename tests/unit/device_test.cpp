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

namespace lf {
namespace {

using sim::Fault;
using sim::Model;
using Write = std::pair<int, int>;  // register, value
using Writes = std::vector<Write>;
using Strings = std::vector<std::string>;

constexpr Model kSheet = Model::kKD21x;
constexpr Model kDuplex = Model::kKD409P;
constexpr Model kLuma = Model::kLumaframe;
constexpr Model kClasses[] = {kSheet, kDuplex, kLuma};

ModelFamily FamilyOf(Model model) {
  if (model == Model::kLumaframe) return ModelFamily::kLumaframe;
  if (model == Model::kKD409P) return ModelFamily::kKD409P;
  return model == Model::kCard ? ModelFamily::kBusinessCard : ModelFamily::kKD21x;
}

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

std::vector<Move> Strokes(Move first, int rounds, uint32_t steps) {
  std::vector<Move> moves{first};
  for (int i = 0; i < rounds; ++i) {
    moves.push_back({true, steps, true});
    moves.push_back({false, steps, true});
  }
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
std::unique_ptr<platform::NamedMutex> MakeNotingMutex(const char*) {
  return std::make_unique<NotingMutex>();
}
std::unique_ptr<platform::NamedMutex> MakeNoMutex(const char*) { return nullptr; }

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
  // Bank-0 register writes in the trace.
  Writes WritesSince() const {
    Writes writes;
    for (const std::string& line : scanner_->Trace()) {
      unsigned length = 0;
      char data[160] = {};
      if (std::sscanf(line.c_str(), "CO 0083 0000 %u %159s", &length, data) != 2) continue;
      for (unsigned i = 0; i + 1 < length; i += 2) {
        unsigned reg = 0;
        unsigned value = 0;
        std::sscanf(data + 2 * i, "%2x%2x", &reg, &value);
        writes.emplace_back(reg, value);
      }
    }
    return writes;
  }
  Writes LastWrites(size_t n) const {
    const Writes all = WritesSince();
    return Writes(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
  }
  // Register reads in the trace, as "rr22" (bank 1 shows as its low byte).
  Strings RegisterReads() const {
    Strings reads;
    for (const std::string& line : scanner_->Trace()) {
      if (line.rfind("CI 008e ", 0) == 0 || line.rfind("CI 018e ", 0) == 0) {
        reads.push_back(line.substr(8, 4));
      }
    }
    return reads;
  }
  // Replays the writes and lists the paper moves the start strobe launched
  // (scan enable off, motor enable on, steps > 0), with the feed table length
  // the last one started with.
  std::vector<Move> Moves(int* tableLength = nullptr) const {
    uint8_t regs[256];
    std::copy(std::begin(marked_), std::end(marked_), regs);
    std::vector<Move> moves;
    for (const auto& [reg, value] : WritesSince()) {
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
  for (Model model : {Model::kLumaframe, Model::kKD21x, Model::kKD409P, Model::kCard}) {
    ScanDevice& device = Build(model);
    EXPECT_EQ(dynamic_cast<SheetScanDevice*>(&device) != nullptr,
              model == Model::kKD21x || model == Model::kCard);
    EXPECT_EQ(dynamic_cast<DuplexScanDevice*>(&device) != nullptr, model == Model::kKD409P);
    EXPECT_EQ(dynamic_cast<LumaframeScanDevice*>(&device) != nullptr, model == Model::kLumaframe);
    EXPECT_EQ(device.IsConnected(), 1);
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
  EXPECT_EQ(tail[0], "CO 0083 0000 2 3420");
  EXPECT_EQ(tail[1].substr(0, 15), "CI 008e 3122 2 ");
  EXPECT_EQ(tail[2], "CO 0083 0000 2 360b");
  EXPECT_EQ(tail[3].substr(0, 15), "CI 008e 3322 2 ");

  Build(kLuma);
  EXPECT_EQ(LastWrites(9), (Writes{{0x35, 0x7F},
                                   {0x32, 0x79},
                                   {0x3A, 0x00},
                                   {0x35, 0x7D},
                                   {0x36, 0x0E},
                                   {0x35, 0x3D},
                                   {0x36, 0x06},
                                   {0x30, 0x60},
                                   {0x35, 0x3D}}));
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
  ScopedMutexFactory noMutex(&MakeNoMutex);
  ScanDevice& device = Build(kDuplex);
  EXPECT_EQ(device.IsConnected(), 0);
  EXPECT_TRUE(scanner_->Trace().empty());  // no start-up without the mutex
  device.LightPipeOn();                    // the bits are written all the same
  EXPECT_TRUE(scanner_->LightPipeOn());
  EXPECT_EQ(device.Reinitialize(), 1);
  EXPECT_EQ(device.IsConnected(), 1);
}

TEST_F(DeviceTest, LightPipeBitsChangeOnlyUnderTheMutex) {
  ScopedMutexFactory noting(&MakeNotingMutex);
  ScanDevice& device = Build(kDuplex);
  Mark();
  g_mutexEvents.clear();
  device.LightPipeOn();
  EXPECT_EQ(g_mutexEvents, (std::vector<size_t>{0, 2}));  // both writes in between
  EXPECT_EQ(WritesSince(), (Writes{{0x35, 0xDF}, {0x32, 0xF9}}));
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

// --- Paper --------------------------------------------------------------------------

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
  EXPECT_EQ(RegisterReads(), (Strings{"0122", "3522", "3222"}));
  EXPECT_TRUE(WritesSince().empty());
  scanner_->SetSheetCount(0);
  EXPECT_EQ(device.IsPaperOn(), 0);
  EXPECT_FALSE(scanner_->LightPipeOn());
}

TEST_F(DeviceTest, MoveMotorProgramsEachClassRamp) {
  // 600 steps/s: Sheet has 30 of its 160 speeds below it, Duplex 15 of 46
  // (both step type 2), Lumaframe 12 of 43 from 130 (step type 4).
  const struct {
    uint8_t stepTypes;  // register 0xA0 bits 0-5
    int length;
    uint16_t first;
    uint16_t target;
  } cases[] = {{0x09, 32, 65535, 3333}, {0x09, 16, 65535, 3333}, {0x12, 16, 7692, 1666}};
  for (int i = 0; i < 3; ++i) {
    ScanDevice& device = Build(kClasses[i]);
    Mark();
    EXPECT_EQ(device.MoveMotor(0, 1234, 1, 600.0f), 1);
    int length = 0;
    EXPECT_EQ(Moves(&length), (std::vector<Move>{{false, 1234, true}})) << i;
    EXPECT_TRUE(scanner_->MotorRunning());
    EXPECT_EQ(scanner_->Register(0xA0) & 0x3F, cases[i].stepTypes);
    EXPECT_EQ(scanner_->Register(0x1C) & 0x07, 0);  // divider 1
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

struct FeedCase {
  const char* name;
  Model model;
  Op op;
  uint32_t ms;
  Paper paper;
  std::vector<Move> moves;
  uint64_t minMs;
  uint64_t maxMs;
  uint16_t lastEntry;  // target period of the last move's feed table; 0: unchecked
  uint32_t ejected;
};
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
  if (c.lastEntry != 0) {
    EXPECT_EQ(FeedTableEntry(length - 1), c.lastEntry);
  }
}

constexpr uint32_t kEndless = 100000;
constexpr Move kOut{true, kEndless, true};
constexpr Move kIn{false, kEndless, true};
constexpr Move kPullBack{false, 10000, false};
constexpr Move kFeedIn{true, 240, true};
constexpr Move kTimed{true, 500, true};
constexpr Move kTimedBack{false, 1200, true};
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
  const Writes writes = WritesSince();
  const auto at = [&](Write w) { return std::find(writes.begin(), writes.end(), w); };
  EXPECT_LT(at({0x35, 0xDF}), at({0x0F, 0xFF}));
  EXPECT_LT(at({0x32, 0xF9}), at({0x0F, 0xFF}));
  EXPECT_EQ(std::count(writes.begin(), writes.end(), Write{0x0F, 0xFF}), 1);
  EXPECT_EQ(scanner_->Register(0x32) & 0x80, 0);
}

TEST_F(DeviceTest, LumaframeHoldsPortB7LowWhileMotionLasts) {
  ScanDevice& device = Build(kLuma);
  for (Op op : {kFeedOn, kFeedOnFor, kFeedBackFor, kFeedPage}) {
    scanner_->SetSheetCount(1);
    Mark();
    Perform(device, op, 100);
    const Writes writes = WritesSince();
    ASSERT_GE(writes.size(), 5u);
    EXPECT_EQ(Writes(writes.begin(), writes.begin() + 3),
              (Writes{{0x30, 0x60}, {0x35, 0xBD}, {0x32, 0x79}}));
    EXPECT_EQ(LastWrites(2), (Writes{{0x30, 0x60}, {0x35, 0x3D}}));
  }
}

TEST_F(DeviceTest, LumaframePageEndRestoresItsPins) {
  ScanDevice& luma = Build(kLuma);  // C4 and B5 driven high, B7 released
  Mark();
  luma.EndScanPage();
  EXPECT_EQ(LastWrites(7), (Writes{{0x3A, 0x00},
                                   {0x36, 0x16},
                                   {0x33, 0x1F},
                                   {0x35, 0x3D},
                                   {0x32, 0x79},
                                   {0x30, 0x60},
                                   {0x35, 0x3D}}));
}

// --- Panel ----------------------------------------------------------------------------

TEST_F(DeviceTest, ButtonsReadThroughEachWiring) {
  const struct {
    Model model;
    Writes ports;  // what port reads return
    bool readsFail;
    int16_t button;
    Strings reads;
  } cases[] = {
      // clang-format off
      {kSheet,  {{0x31, 0xFF}}, false, 0, {"3122"}},  // the baseline read at construction
      {kSheet,  {{0x31, 0xFE}}, false, 3, {"3122"}},
      {kSheet,  {{0x31, 0xFD}}, false, 2, {"3122"}},
      {kSheet,  {{0x31, 0xFB}}, false, 1, {"3122"}},
      {kSheet,  {{0x31, 0xFC}}, false, 3, {"3122"}},  // lowest bit of the difference first
      {kSheet,  {{0x31, 0xF7}}, false, 0, {"3122"}},
      {kSheet,  {{0x31, 0x00}}, false, 3, {"3122"}},  // 0xFF - 0x00
      {kSheet,  {{0x31, 0xFE}}, true,  0, {"3122"}},
      {kDuplex, {{0x31, 0xFF}, {0x33, 0xFF}}, false, 0, {"3122", "3322"}},
      {kDuplex, {{0x31, 0xFE}, {0x33, 0x00}}, false, 3, {"3122"}},
      {kDuplex, {{0x31, 0xFF}, {0x33, 0xFB}}, false, 1, {"3122", "3322"}},
      {kDuplex, {{0x31, 0x00}, {0x33, 0x00}}, true,  0, {"3122", "3322"}},  // A fails, on to C
      {kLuma,   {{0x33, 0x00}, {0x32, 0x00}}, false, 0, {"3322", "3222"}},
      {kLuma,   {{0x33, 0x09}, {0x32, 0x42}}, false, 4, {"3322"}},
      {kLuma,   {{0x33, 0x01}, {0x32, 0x42}}, false, 2, {"3322"}},
      {kLuma,   {{0x33, 0xF6}, {0x32, 0x42}}, false, 3, {"3322", "3222"}},
      {kLuma,   {{0x33, 0x00}, {0x32, 0x02}}, false, 1, {"3322", "3222"}},
      {kLuma,   {{0x33, 0x08}, {0x32, 0x02}}, true,  0, {"3322"}},
      // clang-format on
  };
  for (const auto& c : cases) {
    ScanDevice& device = Build(c.model);
    for (const auto& [reg, value] : c.ports) {
      scanner_->SetRegister(static_cast<uint16_t>(reg), static_cast<uint8_t>(value));
    }
    if (c.readsFail) scanner_->InjectFault(Fault::kMarker);
    Mark();
    EXPECT_EQ(device.GetPressedButton(), c.button) << &c - cases;
    EXPECT_EQ(RegisterReads(), c.reads) << &c - cases;
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
    const int before = scanner_->Register(0x32) & ~0x02;
    EXPECT_EQ(WritesSince(), (Writes{{0x32, before | 0x02}, {0x32, before}}));
    EXPECT_EQ(scanner_->BeepCount(), beeps[i]) << i;
    if (beeps[i] != 0) {
      EXPECT_GE(scanner_->BeeperOnUs(), 200000u);
    }
  }
}

TEST_F(DeviceTest, IndicatorsAreZeroAndOneOnDuplexOnly) {
  ScanDevice& duplex = Build(kDuplex);
  Mark();
  duplex.IndicatorOn(2);
  duplex.IndicatorOff(-1);
  EXPECT_TRUE(scanner_->Trace().empty());
  duplex.IndicatorOn(0);
  EXPECT_EQ(WritesSince(), (Writes{{0x34, 0x22}, {0x31, 0x26}}));
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

TEST_F(DeviceTest, LampModeAndReservedSlotsOnEveryClass) {
  for (Model model : kClasses) {
    ScanDevice& device = Build(model);
    Mark();
    EXPECT_EQ(device.GetLampMode(), 1);
    EXPECT_EQ(device.SetLampMode(0), 0);
    EXPECT_EQ(device.GetLampMode(), 0);
    device.Reserved1();
    device.Reserved2(7);
    device.Reserved17(7);
    device.Reserved29();
    EXPECT_EQ(device.Reserved0() + device.Reserved4() + device.Reserved8() +
                  device.Reserved19(),
              0);
    EXPECT_TRUE(scanner_->Trace().empty());  // none of these reaches the scanner
  }
}

TEST_F(DeviceTest, SheetEndScanSwitchesTheLampOffThenResetsTheEngine) {
  ScanDevice& device = Build(kSheet);
  ASSERT_TRUE(SetLampState(0, 1));
  Mark();
  device.EndScan();
  const int lampOff = scanner_->Register(0x03);
  EXPECT_EQ(lampOff & 0x10, 0);
  EXPECT_EQ(WritesSince(), (Writes{{0x03, lampOff}, {0x0E, 0xFF}}));
}

}  // namespace
}  // namespace lf
