// The identity memory against a fake device that records every request and
// serves a flat 64 KiB address space: windows, chunking, write pages, the
// type-1 opening and closing requests, the record layout and its failures.
#include "device/identity_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channel/channel.h"
#include "platform/platform.h"
#include "support/sim_fixture.h"
#include "support/sim_wire.h"

namespace lf {
namespace {

using test::Bytes;
using test::Hex;

// What the scanner sees. Each request is logged as "W iiii n data" or
// "R iiii n"; a malformed one is counted as well.
struct FakeMemory {
  bool Serve(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
             uint32_t* moved, uint32_t timeoutMs) {
    if (code == platform::kIoctlGetDeviceDescriptor) {
      const platform::DeviceDescriptor descriptor{kScannerVendorId, kScannerProductId, 0x100, 0};
      std::memcpy(out, &descriptor, sizeof descriptor);
      return true;
    }
    const auto& block = *static_cast<const platform::IoBlock*>(in);
    if (block.offset == 0x8E) {  // the channel's status probe
      *moved = 1;
      return true;
    }
    // An identity read names its destination in the block as well.
    const bool read = code == platform::kIoctlReadRegisters;
    const bool wellFormed =
        inSize == sizeof block && timeoutMs == kTransferTimeoutMs &&
        (read ? block.offset == 0x84 && block.data == out && out && outSize == block.length
              : code == platform::kIoctlWriteRegisters && block.offset == 0x83 && block.data &&
                    !out && outSize == 0);
    if (!wellFormed) ++malformed;
    const int number = static_cast<int>(requests.size());
    char head[32];
    std::snprintf(head, sizeof head, "%c %04x %u", read ? 'R' : 'W', block.index, block.length);
    requests.push_back(read ? head
                            : head + (" " + Hex(Bytes(block.data, block.data + block.length))));
    if (number == failAt) return false;
    *moved =
        read ? (number == reportZeroAt ? 0 : std::min(block.length, reportLimit)) : block.length;
    for (uint32_t i = 0; i < *moved; ++i) {
      uint8_t& cell = bytes[(block.index + i) & 0xFFFF];
      if (read) static_cast<uint8_t*>(out)[i] = cell;
      if (!read) cell = block.data[i];
    }
    return true;
  }
  // The log joined by '|'; with heads only, "W e205 11 00.." becomes "e205 11".
  std::string Log(bool headsOnly = false) const {
    std::string log;
    for (const std::string& r : requests) {
      log += (log.empty() ? "" : "|") + (headsOnly ? r.substr(2, r.find(' ', 7) - 2) : r);
    }
    return log;
  }

  std::array<uint8_t, 0x10000> bytes{};
  std::vector<std::string> requests;
  int malformed = 0;
  int failAt = -1;            // number of the request that fails
  int reportZeroAt = -1;      // number of the read that reports 0 bytes moved
  uint32_t reportLimit = 64;  // most bytes a read reports
};

// The channel owns the file it opens; this one passes requests on.
class FakeFile final : public platform::StillImageDevice {
 public:
  explicit FakeFile(FakeMemory& memory) : memory_(memory) {}
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* moved, uint32_t timeoutMs) override {
    return memory_.Serve(code, in, inSize, out, outSize, moved, timeoutMs);
  }
  bool WritePipe(const void*, uint32_t, uint32_t*, uint32_t) override { return false; }
  bool ReadPipe(void*, uint32_t, uint32_t*, uint32_t) override { return false; }

 private:
  FakeMemory& memory_;
};

class IdentityMemoryTest : public ::testing::Test, public platform::StillImageProvider {
 protected:
  void SetUp() override {
    previous_ = platform::SetStillImageProvider(this);
    ASSERT_TRUE(OpenChannel(kScannerVendorId, kScannerProductId));
  }
  void TearDown() override {
    CloseChannel();
    platform::SetStillImageProvider(previous_);
    EXPECT_EQ(memory_.malformed, 0);
  }
  std::unique_ptr<platform::StillImageDevice> OpenSlot(int slot) override {
    return slot == 0 ? std::make_unique<FakeFile>(memory_) : nullptr;
  }
  // A fresh log for the next case.
  void Forget(int failAt = -1) {
    memory_.requests.clear();
    memory_.failAt = failAt;
  }
  int ReadRecord(int32_t memType, uint16_t* vendor, uint16_t* product, uint8_t (*texts)[47]) {
    return ReadIdentityRecord(vendor, product, texts[0], texts[1], texts[2], memType);
  }
  std::string Heads() const { return memory_.Log(true); }

  FakeMemory memory_;
  platform::StillImageProvider* previous_ = nullptr;
};

TEST_F(IdentityMemoryTest, TypeOneRecordWritesAreFramedByOpeningAndClosing) {
  ASSERT_EQ(WriteIdentityRecord(0x2E1A, 0x4C71, "ABCDEFGHIJKLMNOPQRST", "Scan", "S1", 1, false), 1);
  // Both framing requests carry the first byte of the data; page size 16
  // splits the text at 17 into 15 + 5.
  EXPECT_EQ(memory_.Log(),
            "W e060 1 1a|W e200 5 1a2e714c06|W e000 1 1a|"
            "W e060 1 14|W e210 1 14|W e000 1 14|"
            "W e060 1 41|W e211 15 4142434445464748494a4b4c4d4e4f|W e220 5 5051525354|W e000 1 41|"
            "W e060 1 04|W e240 1 04|W e000 1 04|"
            "W e060 1 53|W e241 4 5363616e|W e000 1 53|"
            "W e060 1 02|W e270 1 02|W e000 1 02|"
            "W e060 1 53|W e271 2 5331|W e000 1 53");
}

TEST_F(IdentityMemoryTest, EachTypeHasItsWindowAndWritePage) {
  // 20 bytes written and 1 byte read at offset 0x0705.
  // clang-format off
  const struct { int32_t memType; const char *writes, *read; } cases[] = {
      {1, "e060 1|e205 11|e210 9|e000 1", "R e205 1"}, {4, "d105 11|d110 9", "R d105 1"},
      {2, "d005 3|d008 8|d010 8|d018 1", "R d005 1"}, {5, "d305 11|d310 9", "R d305 1"},
      {3, "d005 3|d008 8|d010 8|d018 1", "R d005 1"}, {6, "d705 11|d710 9", "R d705 1"},
      {7, "c705 3|c708 8|c710 8|c718 1", "R c705 1"}};
  // clang-format on
  const uint8_t data[20] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.memType);
    Forget();
    EXPECT_TRUE(WriteIdentityMemory(0x0705, data, 20, c.memType));
    EXPECT_EQ(Heads(), c.writes);
    Forget();
    uint8_t byte = 0;
    EXPECT_TRUE(ReadIdentityMemory(0x0705, &byte, 1, c.memType));
    EXPECT_EQ(memory_.Log(), c.read);
  }
}

TEST_F(IdentityMemoryTest, ReadsGoOutInChunksAndAdvanceByTheReportedCount) {
  // The driver reports at most reportLimit bytes a read.
  // clang-format off
  const struct { uint16_t count; uint32_t reportLimit; const char* expected; } cases[] = {
      {100, 64, "R d000 64|R d040 36"}, {64, 64, "R d000 64"}, {65, 64, "R d000 64|R d040 1"},
      {100, 40, "R d000 64|R d028 60|R d050 20"}};
  // clang-format on
  for (uint32_t i = 0; i < 128; ++i) memory_.bytes[0xD000 + i] = static_cast<uint8_t>(i * 7 + 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Forget();
    memory_.reportLimit = c.reportLimit;
    std::vector<uint8_t> dest(c.count, 0);
    EXPECT_TRUE(ReadIdentityMemory(0, dest.data(), c.count, 2));
    EXPECT_EQ(memory_.Log(), c.expected);
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), memory_.bytes.begin() + 0xD000));
  }
}

TEST_F(IdentityMemoryTest, CheckByteGuardsTheIds) {
  // clang-format off
  const struct { Bytes stored; int result; uint16_t vendorId, productId; } cases[] = {
      {{0x01, 0x02, 0x03, 0x04, 0x0B}, 1, 0x0201, 0x0403},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFD}, 1, 0xFFFF, 0xFFFF},
      {{0x01, 0x02, 0x03, 0x04, 0x0C}, 0, 0xBEEF, 0xBEEF},   // 0xBEEF: left untouched
      {{0x00, 0x00, 0x00, 0x00, 0x00}, 0, 0xBEEF, 0xBEEF}};  // blank memory holds no record
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.stored));
    Forget();
    std::copy(c.stored.begin(), c.stored.end(), memory_.bytes.begin() + 0xE200);
    uint16_t vendor = 0xBEEF, product = 0xBEEF;
    uint8_t texts[3][47] = {};
    EXPECT_EQ(ReadRecord(1, &vendor, &product, texts), c.result);
    EXPECT_EQ(vendor, c.vendorId);
    EXPECT_EQ(product, c.productId);
    // A mismatch fails at once: no field is read.
    EXPECT_EQ(memory_.requests.size(), c.result ? 4u : 1u);
    if (!c.result) continue;
    Forget();
    ASSERT_EQ(WriteIdentityRecord(c.vendorId, c.productId, "", "x", "", 2, false), 1);
    EXPECT_EQ(memory_.requests[0], "W d000 5 " + Hex(c.stored));
  }
}

TEST_F(IdentityMemoryTest, ReadCopiesPresentFieldsWithoutTerminator) {
  // Stored length bytes of first text, second text and serial; bytes copied into each buffer.
  // clang-format off
  const struct { uint8_t lengths[3]; size_t copied[3]; const char* expected; } cases[] = {
      {{46, 46, 14}, {46, 46, 14}, "d000 5|d010 1|d011 46|d040 1|d041 46|d070 1|d071 14"},
      {{0, 0, 0}, {0, 0, 0}, "d000 5|d010 1|d040 1|d070 1"},
      {{47, 47, 15}, {0, 0, 0}, "d000 5|d010 1|d040 1|d070 1"},
      {{1, 0, 14}, {1, 0, 14}, "d000 5|d010 1|d011 1|d040 1|d070 1|d071 14"}};
  // clang-format on
  const uint16_t lengthAt[3] = {0xD010, 0xD040, 0xD070};
  const Bytes header = {0x1A, 0x2E, 0x71, 0x4C, 0x06};
  std::copy(header.begin(), header.end(), memory_.bytes.begin() + 0xD000);
  for (int i = 0; i < 46 * 3; ++i) memory_.bytes[lengthAt[i / 46] + 1 + i % 46] = uint8_t(i + 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Forget();
    for (int f = 0; f < 3; ++f) memory_.bytes[lengthAt[f]] = c.lengths[f];
    uint8_t texts[3][47];
    std::memset(texts, 0xEE, sizeof texts);
    uint16_t vendor = 0, product = 0;
    ASSERT_EQ(ReadRecord(2, &vendor, &product, texts), 1);
    EXPECT_EQ(vendor, 0x2E1A);
    EXPECT_EQ(product, 0x4C71);
    EXPECT_EQ(Heads(), c.expected);
    for (int f = 0; f < 3; ++f) {
      EXPECT_EQ(0, std::memcmp(texts[f], &memory_.bytes[lengthAt[f] + 1], c.copied[f]));
      EXPECT_EQ(std::count(texts[f], texts[f] + 47, 0xEE), 47 - static_cast<long>(c.copied[f]));
    }
  }
}

TEST_F(IdentityMemoryTest, WriteSkipsFieldsThatDoNotFitAndRefusesABadSecondText) {
  const std::string s14(14, 's'), s15(15, 's'), t46(46, 't'), t47(47, 't'), t48(48, 't');
  // clang-format off
  const struct { const char *first, *second, *serial; int result; const char* expected; }
  cases[] = {
      {"A", "", "1", 0, ""}, {"A", nullptr, "1", 0, ""}, {"A", t48.c_str(), "1", 0, ""},
      {"", t47.c_str(), "", 1, "d000 5"},  // accepted, too long for its field
      {t47.c_str(), "B", s15.c_str(), 1, "d000 5|d040 1|d041 1"},
      {"A", "B", "", 1, "d000 5|d010 1|d011 1|d040 1|d041 1"},
      {t46.c_str(), t46.c_str(), s14.c_str(), 1,
       "d000 5|d010 1|d011 15|d020 16|d030 15|d040 1|d041 15|d050 16|d060 15|d070 1|d071 14"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Forget();
    std::fill(memory_.bytes.begin() + 0xD070, memory_.bytes.begin() + 0xD080, 0xEE);
    EXPECT_EQ(WriteIdentityRecord(0x2E1A, 0x4C71, c.first, c.second, c.serial, 5, false), c.result);
    EXPECT_EQ(Heads(), c.expected);
    // Offsets 112 onward stay untouched unless a serial is written.
    EXPECT_EQ(memory_.bytes[0xD070], c.serial == s14.c_str() ? 14 : 0xEE);
    EXPECT_EQ(memory_.bytes[0xD07F], 0xEE);
  }
}

TEST_F(IdentityMemoryTest, BadTypeOrClosedChannelIsRefusedWithoutTraffic) {
  uint8_t buffer[3][47] = {};
  uint16_t vendor = 0, product = 0;
  auto refusedEverything = [&](int32_t memType) {
    return !ReadIdentityMemory(0, buffer[0], 5, memType) &&
           !WriteIdentityMemory(0, buffer[0], 5, memType) &&
           ReadRecord(memType, &vendor, &product, buffer) == 0 &&
           WriteIdentityRecord(1, 2, "A", "B", "C", memType, false) == 0;
  };
  for (int32_t memType : {0, 8, -1, 0x101}) EXPECT_TRUE(refusedEverything(memType)) << memType;
  EXPECT_FALSE(ReadIdentityMemory(0, buffer[0], 0, 1));  // nothing to read is no success
  CloseChannel();
  EXPECT_TRUE(refusedEverything(1));
  EXPECT_TRUE(memory_.requests.empty());
}

TEST_F(IdentityMemoryTest, AFailedWriteRequestStillClosesTheMemory) {
  // The opening request's answer does not count; the closing one's does.
  // clang-format off
  const struct { int32_t memType; int failAt; bool result; const char* expected; } cases[] = {
      {1, 0, true, "e060 1|e211 15|e220 5|e000 1"}, {1, 1, false, "e060 1|e211 15|e000 1"},
      {1, 2, false, "e060 1|e211 15|e220 5|e000 1"}, {1, 3, false, "e060 1|e211 15|e220 5|e000 1"},
      {2, 1, false, "d011 7|d018 8"}};
  // clang-format on
  const uint8_t data[20] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.memType << " fails " << c.failAt);
    Forget(c.failAt);
    EXPECT_EQ(WriteIdentityMemory(17, data, 20, c.memType), c.result);
    EXPECT_EQ(Heads(), c.expected);
  }
}

TEST_F(IdentityMemoryTest, ARecordStopsAtTheFirstFailedOrEmptyRequest) {
  // All three fields present: header, then length and text of each field.
  constexpr int kRequests = 7;
  for (int failAt = 0; failAt < kRequests; ++failAt) {
    Forget(failAt);
    EXPECT_EQ(WriteIdentityRecord(1, 2, "A", "B", "C", 2, false), 0);
    EXPECT_EQ(memory_.requests.size(), failAt + 1u) << failAt;
  }
  Forget();
  ASSERT_EQ(WriteIdentityRecord(1, 2, "A", "B", "C", 2, false), 1);
  uint8_t texts[3][47] = {};
  uint16_t vendor = 0, product = 0;
  for (int round = 0; round < 2 * kRequests; ++round) {
    // Odd rounds: the read succeeds but moves nothing, which must not loop.
    Forget(round % 2 ? -1 : round / 2);
    memory_.reportZeroAt = round % 2 ? round / 2 : -1;
    EXPECT_EQ(ReadRecord(2, &vendor, &product, texts), 0) << round;
    EXPECT_EQ(memory_.requests.size(), round / 2 + 1u) << round;
  }
}

}  // namespace
}  // namespace lf
