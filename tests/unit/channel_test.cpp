// The device channel against the virtual scanner's 128 slots: finding the
// scanner, opening and closing, transfers and their time-out.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "channel/channel.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Descriptor;
using sim::Fault;
using sim::Model;

class ChannelTest : public test::SimTest {};

constexpr Descriptor kWrongProduct{0x2E1A, 0x4C70, 0x0100, 0x0409};
constexpr Descriptor kWrongVendor{0x1234, 0x4C71, 0x0100, 0x0409};
constexpr Descriptor kAltProduct{0x2E1A, 0x4C72, 0x0200, 0x0409};

TEST_F(ChannelTest, NoDeviceLeavesTheChannelClosed) {
  EXPECT_FALSE(OpenChannel(kScannerVendorId, kScannerProductId));
  EXPECT_FALSE(IsChannelOpen());
  EXPECT_EQ(ChannelHandle(), nullptr);
}

TEST_F(ChannelTest, ProbesTheControllerBeforeReadingTheDescriptor) {
  Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  ASSERT_EQ(Trace().size(), 2u);
  EXPECT_EQ(Trace()[0].substr(0, 15), "CI 008e 0000 1 ");
  EXPECT_EQ(Trace()[1], "DD");
}

struct SlotCase {
  const char* name;
  std::vector<std::pair<int, Descriptor>> devices;
  int expectedSlot;  // -1: nothing accepted
  Descriptor lastExamined;
};

void PrintTo(const SlotCase& c, std::ostream* os) { *os << c.name; }

class ChannelSearchTest : public ChannelTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(ChannelSearchTest, AcceptsTheFirstMatchingDevice) {
  const SlotCase& c = GetParam();
  for (const auto& [slot, descriptor] : c.devices) Plug(slot, Model::kLumaframe, descriptor);

  const bool opened = OpenChannel(kScannerVendorId, kScannerProductId);

  EXPECT_EQ(opened, c.expectedSlot >= 0);
  EXPECT_EQ(IsChannelOpen(), opened);
  const ExaminedDevice examined = LastExaminedDevice();
  EXPECT_EQ(examined.vendorId, c.lastExamined.vendorId);
  EXPECT_EQ(examined.productId, c.lastExamined.productId);
  EXPECT_EQ(examined.deviceRelease, c.lastExamined.bcdDevice);
  if (opened) {
    // The channel talks to the accepted slot only: a status read reaches it.
    sim::VirtualScanner* chosen = bus_.At(c.expectedSlot);
    const uint64_t before = chosen->TransferCount();
    uint8_t status = 0;
    EXPECT_TRUE(ReadStatusByte(&status));
    EXPECT_EQ(chosen->TransferCount(), before + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ChannelSearchTest,
    ::testing::Values(
        SlotCase{"first_slot", {{0, Descriptor{}}}, 0, Descriptor{}},
        SlotCase{"later_slot", {{5, Descriptor{}}}, 5, Descriptor{}},
        SlotCase{"last_slot", {{127, Descriptor{}}}, 127, Descriptor{}},
        SlotCase{"alternative_product", {{3, kAltProduct}}, 3, kAltProduct},
        SlotCase{"wrong_product_only", {{0, kWrongProduct}}, -1, kWrongProduct},
        SlotCase{"wrong_vendor_only", {{0, kWrongVendor}}, -1, kWrongVendor},
        SlotCase{"wrong_product_then_scanner", {{0, kWrongProduct}, {2, Descriptor{}}}, 2,
                 Descriptor{}},
        SlotCase{"two_scanners_lowest_wins", {{4, Descriptor{}}, {9, kAltProduct}}, 4,
                 Descriptor{}}),
    [](const ::testing::TestParamInfo<SlotCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(ChannelTest, ADeviceThatFailsTheProbeIsSkipped) {
  sim::VirtualScanner& hung = Plug(0);
  hung.InjectFault(Fault::kHang);
  Plug(1);
  const uint32_t start = ElapsedMs();

  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));

  // The probe of slot 0 waited out its whole time-out in virtual time.
  EXPECT_GE(ElapsedMs() - start, kTransferTimeoutMs);
  EXPECT_TRUE(hung.Trace().empty());
  EXPECT_EQ(bus_.At(1)->Trace().size(), 2u);
}

TEST_F(ChannelTest, OpeningAgainClosesFirstAndFindsTheSameScanner) {
  Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  EXPECT_TRUE(IsChannelOpen());
  EXPECT_EQ(Trace().size(), 4u);  // probe and descriptor, twice
}

TEST_F(ChannelTest, AFailedOpenClosesTheOpenChannelAndKeepsTheDescriptor) {
  Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  bus_.Unplug(0);
  Plug(1, Model::kLumaframe, kWrongProduct);

  EXPECT_FALSE(OpenChannel(kScannerVendorId, 0));
  EXPECT_FALSE(IsChannelOpen());
  EXPECT_EQ(LastExaminedDevice().productId, kWrongProduct.productId);
}

TEST_F(ChannelTest, CloseTwiceSucceedsAndTransfersThenFail) {
  Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  EXPECT_TRUE(CloseChannel());
  EXPECT_TRUE(CloseChannel());
  EXPECT_FALSE(IsChannelOpen());

  uint8_t byte = 0;
  uint8_t buffer[4] = {};
  EXPECT_FALSE(ControlRead(0x8E, 0, 1, &byte));
  EXPECT_FALSE(ControlWrite(0x83, 0, 2, buffer));
  EXPECT_FALSE(BulkWrite(buffer, sizeof buffer));
  EXPECT_FALSE(BulkRead(buffer, sizeof buffer));
  EXPECT_EQ(Trace().size(), 2u);  // only the open's own traffic
}

TEST_F(ChannelTest, ATransferThatNeverCompletesFailsAfterTheTimeOut) {
  sim::VirtualScanner& scanner = Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  scanner.InjectFault(Fault::kHang, scanner.TransferCount() + 1);
  const uint32_t start = ElapsedMs();

  const uint8_t pair[2] = {0x20, 0x7F};
  EXPECT_FALSE(ControlWrite(0x83, 0, 2, pair));

  const uint32_t waited = ElapsedMs() - start;
  EXPECT_GE(waited, kTransferTimeoutMs);
  EXPECT_LT(waited, kTransferTimeoutMs + 100);
  // The cancelled request never lands, not even once the fault is gone.
  scanner.ClearFaults();
  EXPECT_EQ(scanner.Register(0x20), 0);
  uint8_t status = 0;
  EXPECT_TRUE(ReadStatusByte(&status));
  EXPECT_EQ(scanner.Register(0x20), 0);
}

TEST_F(ChannelTest, AShortBulkReadStillSucceeds) {
  sim::VirtualScanner& scanner = Plug(0);
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  scanner.InjectFault(Fault::kShort);
  std::vector<uint8_t> dest(64, 0xEE);

  EXPECT_TRUE(ReadScanData(dest.data(), static_cast<uint32_t>(dest.size())));
  EXPECT_EQ(Trace().back(), "BI 32");
}

TEST_F(ChannelTest, DelaySpinsUntilTheClockHasMoved) {
  const uint32_t start = ElapsedMs();
  DelayMs(250);
  const uint32_t elapsed = ElapsedMs() - start;
  EXPECT_GE(elapsed, 250u);
  EXPECT_LT(elapsed, 260u);
  DelayMs(0);
}

}  // namespace
}  // namespace lf
