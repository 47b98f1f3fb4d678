// The controller register protocol: exact traffic on the wire, the shadow,
// and the memory window, against the virtual scanner.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Fault;

class RegisterFileTest : public test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    scanner_ = &Plug(0);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, kScannerProductId));
    scanner_->ClearTrace();
  }

  sim::VirtualScanner* scanner_ = nullptr;
};

// Writes and the exact transfers they cause.
struct WriteCase {
  const char* name;
  std::function<bool()> write;
  std::vector<std::string> trace;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class RegisterWriteTest : public RegisterFileTest,
                          public ::testing::WithParamInterface<WriteCase> {};

TEST_P(RegisterWriteTest, SendsExactlyThisTraffic) {
  EXPECT_TRUE(GetParam().write());
  EXPECT_EQ(scanner_->Trace(), GetParam().trace);
}

std::vector<RegisterEntry> Bank0Run(int count) {
  std::vector<RegisterEntry> entries;
  for (int i = 0; i < count; ++i) {
    entries.push_back({static_cast<uint16_t>(0x10 + i), static_cast<uint8_t>(i), 0});
  }
  return entries;
}

std::string PairsHex(int first, int count) {
  std::string hex;
  char pair[5];
  for (int i = first; i < first + count; ++i) {
    std::snprintf(pair, sizeof pair, "%02x%02x", 0x10 + i, i);
    hex += pair;
  }
  return hex;
}

bool WriteBatch(const std::vector<RegisterEntry>& entries) {
  return WriteRegisterBatch(entries.data(), static_cast<uint32_t>(entries.size() * 4));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, RegisterWriteTest,
    ::testing::Values(
        WriteCase{"single_bank0", [] { return WriteRegister(0x3A, 0x5C); },
                  {"CO 0083 0000 2 3a5c"}},
        WriteCase{"single_bank1", [] { return WriteRegister(0x1C4, 0x01); },
                  {"CO 0183 0000 2 c401"}},
        WriteCase{"bits_already_set",
                  [] { return WriteRegister(0x02, 0x78) && WriteRegisterBits(0x02, 4, 1, 1); },
                  {"CO 0083 0000 2 0278", "CO 0083 0000 2 0278"}},
        WriteCase{"bits_cleared",
                  [] { return WriteRegister(0x02, 0x78) && WriteRegisterBits(0x02, 4, 1, 0); },
                  {"CO 0083 0000 2 0278", "CO 0083 0000 2 0268"}},
        WriteCase{"bits_low_nibble",
                  [] { return WriteRegister(0x0C, 0xF5) && WriteRegisterBits(0x0C, 0, 4, 2); },
                  {"CO 0083 0000 2 0cf5", "CO 0083 0000 2 0cf2"}},
        WriteCase{"bits_mask_cut_to_8_bits",
                  [] { return WriteRegister(0x0D, 0x0F) && WriteRegisterBits(0x0D, 6, 4, 0x3); },
                  {"CO 0083 0000 2 0d0f", "CO 0083 0000 2 0dcf"}},
        WriteCase{"bits_width_0_clears_nothing",
                  [] { return WriteRegister(0x0E, 0x81) && WriteRegisterBits(0x0E, 1, 0, 0x2); },
                  {"CO 0083 0000 2 0e81", "CO 0083 0000 2 0e85"}},
        WriteCase{"write16", [] { return WriteRegister16(0x43, 0x012C); },
                  {"CO 0083 0000 4 4301442c"}},
        WriteCase{"write24", [] { return WriteRegister24(0x3D, 1); },
                  {"CO 0083 0000 6 3d003e003f01"}},
        WriteCase{"write24_drops_bits_above_23", [] { return WriteRegister24(0x3D, 0xAB123456); },
                  {"CO 0083 0000 6 3d123e343f56"}},
        WriteCase{"afe", [] { return WriteAfeRegister(0x02, 0x01A4); },
                  {"CO 0083 0000 6 51025d015ea4"}},
        WriteCase{"aux", [] { return WriteAuxRegister(0x07, 0x9B); }, {"CO 008c 0007 1 9b"}},
        WriteCase{"command_word", [] { return WriteCommandWord(0x01100000); },
                  {"CO 008b 0006 4 00001001"}},
        WriteCase{"window", [] { return SetTransferWindow(0x10000000, 0x1234, kWindowRead); },
                  {"CO 0082 0000 8 0000001034120000"}},
        WriteCase{"batch_33_bank0", [] { return WriteBatch(Bank0Run(33)); },
                  {"CO 0083 0000 64 " + PairsHex(0, 32), "CO 0083 0000 2 " + PairsHex(32, 1)}},
        WriteCase{"batch_32_bank0_one_transfer", [] { return WriteBatch(Bank0Run(32)); },
                  {"CO 0083 0000 64 " + PairsHex(0, 32)}},
        WriteCase{"batch_mixed_banks",
                  [] {
                    const RegisterEntry entries[] = {{0x05, 0xA1, 0}, {0x105, 0xB2, 0},
                                                     {0x06, 0xC3, 0}};
                    return WriteRegisterBatch(entries, sizeof entries);
                  },
                  {"CO 0083 0000 4 05a106c3", "CO 0183 0000 2 05b2"}},
        WriteCase{"batch_byte_count_3_sends_nothing",
                  [] {
                    const RegisterEntry entry{0x05, 0xA1, 0};
                    return WriteRegisterBatch(&entry, 3);
                  },
                  {}},
        WriteCase{"batch_byte_count_rounds_down",
                  [] {
                    const RegisterEntry entries[] = {{0x05, 0xA1, 0}, {0x06, 0xB2, 0}};
                    return WriteRegisterBatch(entries, 7);
                  },
                  {"CO 0083 0000 2 05a1"}}),
    [](const ::testing::TestParamInfo<WriteCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(RegisterFileTest, WritesReachTheChipAndTheShadow) {
  const RegisterEntry entries[] = {{0x05, 0xA1, 0}, {0x105, 0xB2, 0}};
  ASSERT_TRUE(WriteRegisterBatch(entries, sizeof entries));
  ASSERT_TRUE(WriteAfeRegister(0x03, 0x00C8));
  EXPECT_EQ(scanner_->Register(0x05), 0xA1);
  EXPECT_EQ(scanner_->Register(0x105), 0xB2);
  EXPECT_EQ(scanner_->AfeRegister(0x03), 0x00C8);
  EXPECT_EQ(ShadowValue(0x05), 0xA1);
  EXPECT_EQ(ShadowValue(0x105), 0xB2);
  EXPECT_EQ(ShadowValue(0x51), 0x03);
  EXPECT_EQ(ShadowValue(0x5E), 0xC8);
}

TEST_F(RegisterFileTest, ReadsDeliverBigEndianValues) {
  scanner_->SetRegister(0x43, 0x01);
  scanner_->SetRegister(0x44, 0x2C);
  scanner_->SetRegister(0x45, 0x9A);
  scanner_->SetRegister(0x46, 0x07);
  scanner_->SetRegister(0x101, 0x08);

  uint8_t byte = 0;
  uint16_t word = 0;
  uint32_t quad = 0;
  ASSERT_TRUE(ReadRegister(0x101, &byte));
  ASSERT_TRUE(ReadRegister16(0x43, &word));
  ASSERT_TRUE(ReadRegister32(0x43, &quad));

  EXPECT_EQ(byte, 0x08);
  EXPECT_EQ(word, 0x012C);
  EXPECT_EQ(quad, 0x012C9A07u);
  const std::vector<std::string> expected = {"CI 018e 0122 2 0855", "CI 008e 4322 3 012c55",
                                             "CI 008e 4322 5 012c9a0755"};
  EXPECT_EQ(scanner_->Trace(), expected);
  EXPECT_EQ(ShadowValue(0x43), 0);  // reads never fill the shadow
}

TEST_F(RegisterFileTest, ABadMarkerFailsAndLeavesTheOutputAlone) {
  scanner_->SetRegister(0x101, 0x08);
  scanner_->InjectFault(Fault::kMarker);
  uint8_t byte = 0xA5;
  uint16_t word = 0xBEEF;
  uint32_t quad = 0xDEADBEEF;

  EXPECT_FALSE(ReadRegister(0x101, &byte));
  EXPECT_FALSE(ReadRegister16(0x43, &word));
  EXPECT_FALSE(ReadRegister32(0x43, &quad));

  EXPECT_EQ(byte, 0xA5);
  EXPECT_EQ(word, 0xBEEF);
  EXPECT_EQ(quad, 0xDEADBEEFu);
}

TEST_F(RegisterFileTest, StatusAndCounterWords) {
  scanner_->SetStatusByte(0x3C);
  scanner_->SetCounterWord(0x01020304);
  uint8_t status = 0;
  uint32_t counter = 0;
  ASSERT_TRUE(ReadStatusByte(&status));
  ASSERT_TRUE(ReadCounterWord(&counter));
  EXPECT_EQ(status, 0x3C);
  EXPECT_EQ(counter, 0x01020304u);
  const std::vector<std::string> expected = {"CI 008e 0000 1 3c", "CI 008a 0005 4 04030201"};
  EXPECT_EQ(scanner_->Trace(), expected);
}

TEST_F(RegisterFileTest, ControllerMemoryGoesThroughTheWindow) {
  std::vector<uint8_t> table(1024);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7);

  ASSERT_TRUE(WriteControllerMemory(0x10004000, table.data(), 1024));
  std::vector<uint8_t> stored(1024);
  ASSERT_TRUE(scanner_->ReadMemory(0x10004000, stored.data(), 1024));
  EXPECT_EQ(stored, table);

  std::vector<uint8_t> scanned(512, 0xEE);
  ASSERT_TRUE(ReadScanData(scanned.data(), 512));

  const std::vector<std::string> expected = {"CO 0082 0001 8 0040001000040000", "BO 1024",
                                             "CO 0082 0000 8 0000001000020000", "BI 512"};
  EXPECT_EQ(scanner_->Trace(), expected);
}

TEST_F(RegisterFileTest, TheShadowIsStoredBeforeAFailedSend) {
  scanner_->InjectFault(Fault::kUnplug);
  const RegisterEntry entries[] = {{0x21, 0x11, 0}, {0x121, 0x22, 0}};

  EXPECT_FALSE(WriteRegister(0x20, 0x7F));
  EXPECT_FALSE(WriteRegisterBits(0x22, 0, 2, 3));
  EXPECT_FALSE(WriteRegisterBatch(entries, sizeof entries));

  EXPECT_EQ(ShadowValue(0x20), 0x7F);
  EXPECT_EQ(ShadowValue(0x22), 0x03);
  EXPECT_EQ(ShadowValue(0x21), 0x11);
  EXPECT_EQ(ShadowValue(0x121), 0x22);
  EXPECT_EQ(scanner_->Register(0x20), 0);
}

TEST_F(RegisterFileTest, AFailedBatchTransferStopsTheRest) {
  // The first 64-byte transfer goes out; the second one hangs.
  scanner_->InjectFault(Fault::kHang, scanner_->TransferCount() + 2);
  const std::vector<RegisterEntry> entries = Bank0Run(40);

  EXPECT_FALSE(WriteBatch(entries));

  EXPECT_EQ(scanner_->Trace().size(), 1u);
  EXPECT_EQ(scanner_->Register(0x10 + 31), 31);
  EXPECT_EQ(scanner_->Register(0x10 + 32), 0);
  EXPECT_EQ(ShadowValue(0x10 + 39), 39);  // every entry handled reached the shadow
}

TEST_F(RegisterFileTest, TheShadowSurvivesClosingTheChannel) {
  ASSERT_TRUE(WriteRegister(0x30, 0x42));
  CloseChannel();
  ASSERT_TRUE(OpenChannel(kScannerVendorId, 0));
  EXPECT_EQ(ShadowValue(0x30), 0x42);
  ASSERT_TRUE(WriteRegisterBits(0x30, 0, 1, 1));
  EXPECT_EQ(scanner_->Register(0x30), 0x43);
}

}  // namespace
}  // namespace lf
