// The virtual scanner, driven through device files as the library drives a
// real scanner, and through its C++ API. Most transfers are written as the
// trace lines they produce (sim/DATASHEET.md), so a request and the record of
// it read the same.
#include "sim/sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sim_fixture.h"
#include "support/sim_wire.h"

namespace lf::sim {
namespace {

using test::Bytes;
using test::Hex;
using test::SimWire;
using Ids = std::array<uint16_t, 4>;  // vendor, product, release, language
using FaultList = std::vector<std::pair<Fault, uint64_t>>;
constexpr uint32_t kTimeoutMs = SimWire::kTimeoutMs;
constexpr uint8_t kUntouched = SimWire::kUntouched;
// Virtual-time costs as the datasheet gives them (not the model's own constants).
constexpr uint64_t kControlUs = 150, kBulkUs = 60;

class SimTest : public ::testing::Test, public test::WiredScanner {};

TEST_F(SimTest, EachCommandIsDecodedAndTracedExactly) {
  scanner.SetRegister(0x101, 0x08);
  scanner.SetRegister(0x043, 0x01);
  scanner.SetRegister(0x044, 0x2C);
  scanner.SetStatusByte(0xA5);
  scanner.SetCounterWord(0x12345678);
  const std::string lines[] = {"CO 0083 0000 6 3d003e003f01",  // bank 0 register pairs
                               "CO 0183 0000 2 057f",          // bank 1
                               "CI 018e 0122 2 0855",          // register 0x101, then the marker
                               "CI 008e 4322 3 012c55",        // 0x43..0x44
                               "CI 008e 0000 1 a5",            // status probe
                               "CO 0082 0001 8 0000001010000000",  // window
                               "CO 008c 0007 1 5a",                // auxiliary register
                               "CO 008b 0006 4 78563412",          // command word
                               "CI 008a 0005 4 78563412",          // counter word
                               "DD"};
  for (const std::string& line : lines) {
    ASSERT_TRUE(wire.Run(line)) << line;
    EXPECT_EQ(LastTrace(), line);
    // The caller gets what the trace shows; a write reports no bytes moved.
    EXPECT_EQ(line[1] == 'I' ? line.substr(15) : "", Hex(wire.answer)) << line;
    EXPECT_EQ(wire.moved, line[1] == 'O' ? 0u : line == "DD" ? 8u : wire.answer.size()) << line;
  }
  EXPECT_EQ(wire.ids, (Ids{0x2E1A, 0x4C71, 0x0100, 0x0409}));
  EXPECT_EQ(scanner.Register(0x03F), 0x01);
  EXPECT_EQ(scanner.AuxRegister(0x07), 0x5A);
  EXPECT_EQ(scanner.CommandWord(), 0x12345678u);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
  EXPECT_EQ(scanner.TransferCount(), std::size(lines));
  EXPECT_EQ(bus.Clock().NowUs(), scanner.TransferCount() * kControlUs);
}

TEST_F(SimTest, MalformedControlTransfersStallAsProtocolErrors) {
  const std::string lines[] = {
      // Register write: index 1, odd length, length 0, sent as control in.
      "CO 0083 0001 2 0102", "CO 0083 0000 1 01", "CO 0083 0000 0", "CI 0083 0000 2",
      // Register read: sent as control out, no register, 64 registers, index tag 0x23.
      "CO 008e 0122 2 0102", "CI 008e 0122 1", "CI 008e 0022 65", "CI 008e 0123 2",
      // Status probe in bank 1 or of 2 bytes.
      "CI 018e 0000 1", "CI 008e 0000 2",
      // Window: direction 2, 7 bytes, bank bit, past 4 GiB, sent as control in.
      "CO 0082 0002 8 0000001004000000", "CO 0082 0001 7 00000010040000",
      "CO 0182 0001 8 0000001004000000", "CO 0082 0001 8 f0ffffff11000000", "CI 0082 0001 8",
      // Auxiliary register 0x100, 2 bytes; command word index 5, 3 bytes.
      "CO 008c 0100 1 01", "CO 008c 0001 2 0102", "CO 008b 0005 4 01020304",
      "CO 008b 0006 3 010203",
      // Counter word index 6, 2 bytes, sent as control out; unknown commands.
      "CI 008a 0006 4", "CI 008a 0005 2", "CO 008a 0005 4 01020304", "CO 0084 0000 2 0102",
      "CI 008f 0022 2"};
  uint32_t errors = 0;
  for (const std::string& line : lines) {
    EXPECT_FALSE(wire.Run(line)) << line;
    EXPECT_EQ(LastTrace(), line + " stall");  // a stalled read has no data field
    EXPECT_EQ(wire.answer, Bytes(wire.answer.size(), kUntouched)) << line;
    EXPECT_EQ(scanner.ProtocolErrors(), ++errors);
  }
  EXPECT_FALSE(wire.Out(0x83, 0, Bytes(66, 0x11)));  // over 64 bytes; the trace cuts it there
  EXPECT_EQ(LastTrace(), "CO 0083 0000 66 " + std::string(128, '1') + ".. stall");
  EXPECT_EQ(scanner.TransferCount(), std::size(lines) + 1);
  EXPECT_EQ(bus.Clock().NowUs(), (std::size(lines) + 1) * kControlUs);
  // None of the bad writes landed.
  EXPECT_EQ(scanner.Register(0x001) | scanner.Register(0x011) | scanner.AuxRegister(0x01), 0);
  EXPECT_EQ(scanner.CommandWord(), 0u);
}

TEST_F(SimTest, RequestsTheDriverRefusesNeverReachTheDevice) {
  uint32_t moved = 0;
  uint8_t buffer[16] = {};
  const platform::IoBlock read2{0x8E, 2, nullptr, 0x0022}, write2{0x83, 2, nullptr, 0},
      wideValue{0x10083, 2, buffer, 0};
  auto refused = [&](uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize) {
    return !file->IoControl(code, in, inSize, out, outSize, &moved, kTimeoutMs);
  };
  constexpr uint32_t kRead = platform::kIoctlReadRegisters, kWrite = platform::kIoctlWriteRegisters;
  EXPECT_TRUE(refused(0x80002014, &read2, sizeof(read2), buffer, 2));       // unknown IOCTL
  EXPECT_TRUE(refused(kRead, &read2, 8, buffer, 2));                        // block too short
  EXPECT_TRUE(refused(kRead, nullptr, 0, buffer, 2));                       // no block
  EXPECT_TRUE(refused(kRead, &read2, sizeof(read2), nullptr, 0));           // no buffer
  EXPECT_TRUE(refused(kRead, &read2, sizeof(read2), buffer, 1));            // buffer too small
  EXPECT_TRUE(refused(kWrite, &write2, sizeof(write2), nullptr, 0));        // no data
  EXPECT_TRUE(refused(kWrite, &wideValue, sizeof(wideValue), nullptr, 0));  // value over 16 bits
  EXPECT_TRUE(refused(platform::kIoctlGetDeviceDescriptor, buffer, 8, buffer, 7));
  EXPECT_FALSE(file->WritePipe(nullptr, 4, &moved, kTimeoutMs));
  EXPECT_FALSE(file->ReadPipe(nullptr, 4, &moved, kTimeoutMs));
  EXPECT_EQ(scanner.ProtocolErrors(), 10u);
  EXPECT_EQ(scanner.TransferCount(), 0u);
  EXPECT_TRUE(scanner.Trace().empty());
  EXPECT_EQ(bus.Clock().NowUs(), 0u);
}

TEST_F(SimTest, RegisterWritesApplyInOrderAndReadsWrapWithinTheirBank) {
  // Writes to the status register (0x101) and the data counter (0x102) are
  // ignored; the same numbers in bank 0 are ordinary registers, and a
  // register written twice in one transfer keeps the later value.
  scanner.SetRegister(0x101, 0x0C);
  ASSERT_TRUE(wire.Run("CO 0183 0000 8 0011012202330344"));
  ASSERT_TRUE(wire.Run("CO 0083 0000 8 0122023310011003"));
  EXPECT_EQ(Do("CI 018e 0022 5"), "CI 018e 0022 5 110c004455");
  EXPECT_EQ(Do("CI 008e 0122 3"), "CI 008e 0122 3 223355");
  EXPECT_EQ(Do("CI 008e 1022 2"), "CI 008e 1022 2 0355");
  Bytes pairs;
  for (uint8_t reg = 0; reg < 32; ++reg) pairs.insert(pairs.end(), {reg, uint8_t(reg + 0x80)});
  ASSERT_TRUE(wire.Out(0x83, 0, pairs));  // the largest write: 32 pairs
  EXPECT_EQ(scanner.Register(0x000), 0x80);
  EXPECT_EQ(scanner.Register(0x01F), 0x9F);

  scanner.SetRegister(0x0FF, 0xA1);
  scanner.SetRegister(0x1FF, 0xB1);
  scanner.SetRegister(0x100, 0xB2);
  EXPECT_EQ(Do("CI 008e ff22 3"), "CI 008e ff22 3 a18055");
  EXPECT_EQ(Do("CI 018e ff22 3"), "CI 018e ff22 3 b1b255");
  // 63 registers is the longest read.
  for (uint16_t reg = 0x110; reg < 0x110 + 63; ++reg) scanner.SetRegister(reg, uint8_t(reg));
  ASSERT_TRUE(wire.Run("CI 018e 1022 64"));
  EXPECT_EQ(Hex({wire.answer[0], wire.answer[62], wire.answer[63]}), "104e55");
}

TEST_F(SimTest, FrontEndRegisterLatchesOnTheLowByte) {
  // 0x51 selects the front-end register, 0x5D holds the high byte, 0x5E the low.
  ASSERT_TRUE(wire.Run("CO 0083 0000 6 51285d015e4b"));
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x014B);
  ASSERT_TRUE(wire.Run("CO 0083 0000 4 51295d02"));  // the high byte alone latches nothing
  EXPECT_EQ(scanner.AfeRegister(0x29), 0x0000);
  // The low byte before the high byte latches the high byte held until then.
  ASSERT_TRUE(wire.Run("CO 0083 0000 6 512a5e805d07"));
  EXPECT_EQ(scanner.AfeRegister(0x2A), 0x0280);
  ASSERT_TRUE(wire.Run("CO 0183 0000 4 51205e11"));  // bank 1 is not the front end
  EXPECT_EQ(scanner.AfeRegister(0x20), 0x0000);
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x014B);
}

TEST_F(SimTest, WindowStoresBulkOutAndReadsItBack) {
  Bytes table(5000);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7 + 1);
  const uint32_t address = 0x10000FF0;         // crosses two page boundaries
  ASSERT_TRUE(wire.Window(1, 0x20000000, 8));  // replaced before it is used
  ASSERT_TRUE(wire.Window(1, address, 5000));
  ASSERT_TRUE(wire.Run("CI 018e 0122 2"));  // the window stays open across this
  uint64_t before = bus.Clock().NowUs();
  ASSERT_TRUE(wire.BulkOut(table));
  EXPECT_EQ(bus.Clock().NowUs() - before, kBulkUs + 125);  // 40 bytes a microsecond
  EXPECT_EQ(wire.moved, 5000u);
  EXPECT_EQ(LastTrace(), "BO 5000");
  Bytes stored(5000);
  ASSERT_TRUE(scanner.ReadMemory(address, stored.data(), 5000));
  EXPECT_EQ(stored, table);

  // From 16 bytes before the table to 16 into it: zeros, then data.
  ASSERT_TRUE(wire.Window(0, address - 16, 32));
  before = bus.Clock().NowUs();
  ASSERT_TRUE(wire.Run("BI 32"));
  EXPECT_EQ(bus.Clock().NowUs() - before, kBulkUs + 1);  // rounded up
  EXPECT_EQ(wire.moved, 32u);
  EXPECT_EQ(LastTrace(), "BI 32");
  EXPECT_EQ(Hex(wire.answer), std::string(32, '0') + Hex(Bytes(table.begin(), table.begin() + 16)));

  uint8_t last = 0;
  EXPECT_FALSE(scanner.ReadMemory(0xFFFFFFFF, &last, 2));
  EXPECT_FALSE(scanner.ReadMemory(0, nullptr, 1));
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(SimTest, BulkTransfersThatFitNoWindowStallAndCloseIt) {
  const std::string out16 = "CO 0082 0001 8 0000001010000000",
                    in16 = "CO 0082 0000 8 0000001010000000";
  // The transfers before, then the bulk that must stall.
  const std::vector<std::string> cases[] = {
      {"BO 16"},
      {"BI 16"},  // no window
      {out16, "BO 15"},
      {in16, "BI 17"},  // smaller, larger
      {out16, "BI 16"},
      {in16, "BO 16"},            // the other direction
      {out16, "BO 16", "BO 16"},  // a second bulk after one window
  };
  uint32_t errors = 0;
  for (const auto& steps : cases) {
    SCOPED_TRACE(testing::PrintToString(steps));
    for (size_t i = 0; i + 1 < steps.size(); ++i) ASSERT_TRUE(wire.Run(steps[i]));
    EXPECT_FALSE(wire.Run(steps.back()));
    EXPECT_EQ(LastTrace(), steps.back() + " stall");
    EXPECT_EQ(wire.answer, Bytes(wire.answer.size(), kUntouched));
    // The failed bulk took the window with it.
    EXPECT_FALSE(wire.Run("BO 16"));
    EXPECT_FALSE(wire.Run("BI 16"));
    EXPECT_EQ(scanner.ProtocolErrors(), errors += 3);
  }
  // Five windows, one 16-byte bulk that fitted, 21 stalled bulks that moved nothing.
  EXPECT_EQ(bus.Clock().NowUs(), 5 * kControlUs + (kBulkUs + 1) + 21 * kBulkUs);
}

TEST(VirtualClockTest, EveryReadAdvancesAndSleepsDoNotWait) {
  VirtualClock clock;
  EXPECT_EQ(clock.NowUs(), 0u);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_EQ(clock.NowUs(), 25u);
  // The library's busy-wait delay: spin until 5 ms have passed.
  const uint32_t end = clock.NowMs() + 5;
  int reads = 0;
  while (clock.NowMs() < end) ASSERT_LT(++reads, 1000);
  // The clock stood at 50 us; the 198th read reaches 5000 us and ends the loop.
  EXPECT_EQ(reads, 197);
  const uint64_t after = clock.NowUs() + 60000007u;
  clock.SleepMs(60000);
  clock.AdvanceUs(7);
  EXPECT_EQ(clock.NowUs(), after);
  // Realtime mode runs on from where the time stood, and back.
  clock.SetRealtime(true);
  EXPECT_GE(clock.NowUs(), after);
  clock.SetRealtime(false);
  const uint64_t back = clock.NowUs();
  EXPECT_GE(back, after);
  EXPECT_EQ(clock.NowMs(), (back + 25) / 1000);
}

TEST_F(SimTest, MarkerFaultStartsAtTheGivenTransfer) {
  scanner.SetRegister(0x043, 0x9C);
  scanner.InjectFault(Fault::kMarker, 3);
  for (const char* answer : {"9c55", "9c55", "9c00", "9c00"}) {
    EXPECT_EQ(Do("CI 008e 4322 2"), std::string("CI 008e 4322 2 ") + answer);
  }
  EXPECT_EQ(Do("CI 008e 0000 1"), "CI 008e 0000 1 01");  // the probe has no marker to lose
  scanner.ClearFaults();
  EXPECT_EQ(Do("CI 008e 4322 2"), "CI 008e 4322 2 9c55");
}

// What a hung control transfer costs and leaves is the channel tests' business.
TEST_F(SimTest, HungTransfersCountButLeaveNoTraceAndChargeTheCallersTimeout) {
  scanner.InjectFault(Fault::kHang, 2);
  ASSERT_TRUE(wire.Run("CO 0083 0000 2 1001"));
  EXPECT_FALSE(wire.Run("CO 0083 0000 2 1099"));
  const uint64_t before = bus.Clock().NowUs();
  wire.moved = 123;
  EXPECT_FALSE(wire.BulkIn(4, 250));
  EXPECT_EQ(wire.moved, 0u);
  EXPECT_EQ(bus.Clock().NowUs() - before, 250000u);
  EXPECT_EQ(scanner.Trace().size(), 1u);
  scanner.ClearFaults();
  ASSERT_TRUE(wire.Run("CO 0083 0000 2 1002"));
  EXPECT_EQ(scanner.Register(0x010), 0x02);
  EXPECT_EQ(scanner.TransferCount(), 4u);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(SimTest, SilentControllerAnswersOnlyProbeAndDescriptor) {
  scanner.SetRegister(0x043, 0x9C);
  scanner.SetCounterWord(0xCAFE);
  scanner.InjectFault(Fault::kSilent);
  // Every well-formed request to the core stalls and changes nothing.
  for (const std::string line :
       {"CI 008e 4322 3", "CI 008a 0005 4", "CO 0083 0000 6 51285d015e4b", "CO 008c 0001 1 42",
        "CO 008b 0006 4 01020304", "CO 0082 0001 8 0000001004000000", "BO 4"}) {
    EXPECT_EQ(Do(line), line + " stall");
  }
  EXPECT_EQ(scanner.Register(0x051) | scanner.AuxRegister(1), 0x00);
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x0000);
  EXPECT_EQ(scanner.CommandWord(), 0u);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);                            // the library is not to blame
  EXPECT_EQ(Do("CO 0083 0001 2 0102"), "CO 0083 0001 2 0102 stall");  // malformed still is
  EXPECT_EQ(scanner.ProtocolErrors(), 1u);
  EXPECT_EQ(Do("CI 008e 0000 1"), "CI 008e 0000 1 01");
  EXPECT_EQ(Do("DD"), "DD");
  scanner.ClearFaults();
  EXPECT_EQ(Do("BO 4"), "BO 4 stall");  // the window write was ignored, not kept for later
}

TEST_F(SimTest, UnplugFailsTheOpenFileAndHidesTheSlot) {
  scanner.InjectFault(Fault::kUnplug, 3);
  ASSERT_TRUE(wire.Run("DD"));
  EXPECT_NE(bus.OpenSlot(0), nullptr);  // the next transfer is the 2nd
  ASSERT_TRUE(wire.Run("CO 0083 0000 2 1001"));
  EXPECT_EQ(bus.OpenSlot(0), nullptr);
  EXPECT_FALSE(wire.Run("CO 0083 0000 2 1002"));
  EXPECT_FALSE(wire.Run("DD"));
  EXPECT_EQ(scanner.Register(0x010), 0x01);
  EXPECT_EQ(scanner.TransferCount(), 2u);
  EXPECT_EQ(scanner.Trace().size(), 2u);
  EXPECT_EQ(bus.Clock().NowUs(), 2 * kControlUs);  // the failed ones cost nothing
  EXPECT_EQ(bus.At(0), &scanner);
  scanner.ClearFaults();  // plugged back in
  EXPECT_NE(bus.OpenSlot(0), nullptr);
  EXPECT_TRUE(wire.Run("DD"));
  // Taken off the bus: the slot is empty, and a new scanner there does not
  // revive the old file.
  bus.Unplug(0);
  EXPECT_EQ(bus.At(0), nullptr);
  EXPECT_EQ(bus.OpenSlot(0), nullptr);
  VirtualScanner& fresh = bus.Plug(0);
  EXPECT_FALSE(wire.Run("CO 0083 0000 2 1002"));
  auto freshFile = bus.OpenSlot(0);
  ASSERT_NE(freshFile, nullptr);
  EXPECT_TRUE(SimWire(freshFile.get()).Run("DD"));
  EXPECT_EQ(fresh.Register(0x010), 0x00);
  EXPECT_EQ(fresh.TransferCount(), 1u);
}

TEST(VirtualBusTest, HundredTwentyEightSlotsWithTwoScanners) {
  VirtualBus bus;
  VirtualScanner& first = bus.Plug(5);
  VirtualScanner& last = bus.Plug(127, Model::kCard, {0x1234, 0x4C72, 0x0207, 0x0809});
  for (int slot = -1; slot <= platform::kDeviceSlotCount; ++slot) {
    const bool occupied = slot == 5 || slot == 127;
    EXPECT_EQ(bus.OpenSlot(slot) != nullptr, occupied) << "slot " << slot;
    EXPECT_EQ(bus.At(slot) != nullptr, occupied) << "slot " << slot;
  }
  auto fileA = bus.OpenSlot(5), fileB = bus.OpenSlot(127);
  SimWire b(fileB.get());
  ASSERT_TRUE(b.Run("DD"));
  EXPECT_EQ(b.ids, (Ids{0x1234, 0x4C72, 0x0207, 0x0809}));
  EXPECT_EQ(last.model(), Model::kCard);
  ASSERT_TRUE(SimWire(fileA.get()).Run("CO 0083 0000 2 10a0"));
  EXPECT_EQ(first.Register(0x010), 0xA0);
  EXPECT_EQ(last.Register(0x010), 0x00);
  EXPECT_EQ(first.Trace(), std::vector<std::string>{"CO 0083 0000 2 10a0"});
  EXPECT_EQ(last.Trace(), std::vector<std::string>{"DD"});
  EXPECT_EQ(bus.Clock().NowUs(), 2 * kControlUs);  // both spend the one clock's time
}

platform::Clock* AttachedClock() {
  platform::Clock* current = platform::AttachClock(nullptr);
  platform::AttachClock(current);
  return current;
}

TEST(VirtualBusTest, InstallRoutesTheSeamAndUninstallRestoresIt) {
  platform::StillImageProvider* original = platform::SetStillImageProvider(nullptr);
  platform::SetStillImageProvider(original);
  {
    VirtualBus bus;
    bus.Plug(0);
    bus.Install();
    auto device = platform::OpenStillImageDevice("\\\\.\\usbscan0");
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(SimWire(device.get()).Run("DD"));
    EXPECT_EQ(platform::OpenStillImageDevice("\\\\.\\usbscan1"), nullptr);
    const uint64_t before = bus.Clock().NowUs();
    platform::SleepMs(30000);  // virtual: returns at once
    EXPECT_EQ(bus.Clock().NowUs() - before, 30000000u);
    EXPECT_EQ(platform::NowMs(), static_cast<uint32_t>(bus.Clock().NowUs() / 1000));
    bus.Uninstall();
    EXPECT_EQ(platform::OpenStillImageDevice("\\\\.\\usbscan0"), nullptr);
    EXPECT_NE(AttachedClock(), &bus.Clock());
    bus.Install();
  }  // the destructor uninstalls
  EXPECT_EQ(platform::SetStillImageProvider(original), original);

  VirtualBus realtime;  // leaves the system clock attached
  realtime.Clock().SetRealtime(true);
  realtime.Install();
  EXPECT_NE(AttachedClock(), &realtime.Clock());
}

TEST(FaultListTest, ParsesNamesAndStarts) {
  // clang-format off
  const std::pair<const char*, FaultList> good[] = {
      {"", {}}, {"  ", {}}, {"hang@12", {{Fault::kHang, 12}}},
      {" short , unplug@3 ", {{Fault::kShort, 1}, {Fault::kUnplug, 3}}},
      {"Never-Ready@18446744073709551615", {{Fault::kNeverReady, UINT64_MAX}}}};
  // clang-format on
  for (const auto& [text, expected] : good) {
    FaultList out;
    ASSERT_TRUE(ParseFaultList(text, &out)) << text;
    EXPECT_EQ(out, expected) << text;
  }
  for (int i = 0; i < kFaultCount; ++i) {  // every name the scanner knows
    FaultList out;
    ASSERT_TRUE(ParseFaultList(FaultName(static_cast<Fault>(i)), &out));
    EXPECT_EQ(out, (FaultList{{static_cast<Fault>(i), 1}}));
  }
  for (const char* text :
       {"bogus", "marker@", "marker@0", "marker@x", "marker@-1", "marker@1x", "marker,,short",
        "marker,", ",marker", "@3", "stuck motor", "marker@18446744073709551616"}) {
    FaultList out = {{Fault::kJam, 7}};
    EXPECT_FALSE(ParseFaultList(text, &out)) << text;
    EXPECT_EQ(out, (FaultList{{Fault::kJam, 7}})) << text;
  }
}

TEST(EnvironmentTest, SimulatorVariableChoosesTheModel) {
  test::ScopedEnv noFaults("LF_V2270_SIM_FAULTS", nullptr), noTrace("LF_V2270_SIM_TRACE", nullptr),
      noRealtime("LF_V2270_SIM_REALTIME", nullptr);
  // clang-format off
  const std::pair<const char*, std::optional<Model>> cases[] = {
      {nullptr, {}}, {"", {}}, {"0", {}}, {"2", {}}, {"scanner", {}}, {"card ", {}},
      {"1", Model::kLumaframe}, {"lumaframe", Model::kLumaframe}, {"kd21x", Model::kKD21x},
      {"kd409p", Model::kKD409P}, {"KD409P", Model::kKD409P}, {"card", Model::kCard}};
  // clang-format on
  for (const auto& [value, model] : cases) {
    SCOPED_TRACE(value != nullptr ? value : "(unset)");
    test::ScopedEnv simulator("LF_V2270_SIMULATOR", value);
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_EQ(bus != nullptr, model.has_value());
    if (!bus) continue;
    ASSERT_NE(bus->At(0), nullptr);
    EXPECT_EQ(bus->At(0)->model(), *model);
    EXPECT_EQ(bus->At(0)->descriptor().productId, 0x4C71);
    EXPECT_EQ(bus->At(1), nullptr);
    EXPECT_FALSE(bus->installed());
    EXPECT_FALSE(bus->Clock().realtime());
  }
}

TEST(EnvironmentTest, FaultsTraceAndRealtimeVariables) {
  const std::string path =
      ::testing::TempDir() + "sim_test_" + std::to_string(getpid()) + "_env_trace.txt";
  std::ofstream(path) << "earlier\n";  // the trace is appended
  test::ScopedEnv simulator("LF_V2270_SIMULATOR", "1"),
      faults("LF_V2270_SIM_FAULTS", "marker@2,stuck-motor,jam,never-ready"),
      trace("LF_V2270_SIM_TRACE", path.c_str()), realtime("LF_V2270_SIM_REALTIME", "1");
  {
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_NE(bus, nullptr);
    VirtualScanner& scanner = *bus->At(0);
    EXPECT_TRUE(bus->Clock().realtime());
    bus->Clock().SetRealtime(false);  // no real waiting in this test
    // Motor, paper and image faults are recorded and have no effect yet.
    for (Fault fault : {Fault::kStuckMotor, Fault::kJam, Fault::kNeverReady}) {
      EXPECT_TRUE(scanner.FaultInjected(fault));
    }
    EXPECT_FALSE(scanner.FaultInjected(Fault::kShort));
    auto file = bus->OpenSlot(0);
    SimWire wire(file.get());
    EXPECT_TRUE(wire.Run("CO 0083 0000 2 105a"));
    scanner.SetTraceInMemory(false);
    EXPECT_TRUE(wire.Run("CI 008e 1022 2"));  // the marker fault from the 2nd transfer on
    EXPECT_FALSE(wire.Run("CO 0083 0001 2 3d00"));
    EXPECT_EQ(scanner.Trace(), std::vector<std::string>{"CO 0083 0000 2 105a"});
    ASSERT_TRUE(scanner.SetTraceFile(nullptr));
    EXPECT_TRUE(wire.Run("DD"));
    EXPECT_FALSE(scanner.SetTraceFile("/nonexistent-dir/trace.txt"));
  }
  std::ostringstream written;
  written << std::ifstream(path).rdbuf();
  EXPECT_EQ(written.str(),
            "earlier\nCO 0083 0000 2 105a\nCI 008e 1022 2 5a00\nCO 0083 0001 2 3d00 stall\n");
  std::remove(path.c_str());

  test::ScopedEnv badFaults("LF_V2270_SIM_FAULTS", "marker,bogus"),
      noTrace("LF_V2270_SIM_TRACE", ""), noRealtime("LF_V2270_SIM_REALTIME", "0");
  std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
  ASSERT_NE(bus, nullptr);
  EXPECT_FALSE(bus->At(0)->FaultInjected(Fault::kMarker));
  EXPECT_FALSE(bus->Clock().realtime());
}

}  // namespace
}  // namespace lf::sim
