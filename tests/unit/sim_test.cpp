// The virtual scanner, driven through device files as the library drives a
// real scanner, and through its C++ API.
#include "sim/sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lf::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kTimeoutMs = 60000;
constexpr uint8_t kUntouched = 0xEE;

// Issues transfers on one device file the way the library's channel does.
struct Wire {
  platform::StillImageDevice* file;
  uint32_t moved = 0;

  bool Out(uint32_t value, uint32_t index, Bytes data) {
    platform::IoBlock block{value, static_cast<uint32_t>(data.size()), data.data(), index};
    return file->IoControl(platform::kIoctlWriteRegisters, &block, sizeof(block), nullptr, 0,
                           &moved, kTimeoutMs);
  }
  bool In(uint32_t value, uint32_t index, uint32_t length, Bytes* dest) {
    dest->assign(length, kUntouched);
    platform::IoBlock block{value, length, nullptr, index};
    return file->IoControl(platform::kIoctlReadRegisters, &block, sizeof(block), dest->data(),
                           length, &moved, kTimeoutMs);
  }
  bool Window(uint32_t direction, uint32_t address, uint32_t count) {
    Bytes data(8);
    for (int i = 0; i < 4; ++i) {
      data[i] = static_cast<uint8_t>(address >> (8 * i));
      data[4 + i] = static_cast<uint8_t>(count >> (8 * i));
    }
    return Out(0x82, direction, data);
  }
  bool BulkOut(const Bytes& data) {
    return file->WritePipe(data.data(), static_cast<uint32_t>(data.size()), &moved, kTimeoutMs);
  }
  bool BulkIn(uint32_t size, Bytes* dest) {
    dest->assign(size, kUntouched);
    return file->ReadPipe(dest->data(), size, &moved, kTimeoutMs);
  }
  bool Descriptor(platform::DeviceDescriptor* descriptor) {
    return file->IoControl(platform::kIoctlGetDeviceDescriptor, descriptor, sizeof(*descriptor),
                           descriptor, sizeof(*descriptor), &moved, kTimeoutMs);
  }
  bool ReadRegister(uint16_t reg, uint8_t* value) {
    Bytes answer;
    if (!In((reg & 0x100u) | 0x8Eu, (reg & 0xFFu) << 8 | 0x22u, 2, &answer)) return false;
    *value = answer[0];
    return answer[1] == 0x55;
  }
};

class SimTest : public ::testing::Test {
 protected:
  std::string LastTrace() const {
    return scanner.Trace().empty() ? std::string() : scanner.Trace().back();
  }

  VirtualBus bus;
  VirtualScanner& scanner = bus.Plug(0);
  std::unique_ptr<platform::StillImageDevice> file = bus.OpenSlot(0);
  Wire wire{file.get()};
};

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "sim_test_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---------------------------------------------------------------------------
// Command set
// ---------------------------------------------------------------------------

TEST_F(SimTest, EachCommandIsDecodedAndTracedExactly) {
  scanner.SetRegister(0x101, 0x08);
  scanner.SetRegister(0x043, 0x01);
  scanner.SetRegister(0x044, 0x2C);
  scanner.SetStatusByte(0xA5);
  scanner.SetCounterWord(0x12345678);
  struct Case {
    const char* what;
    bool out;
    uint32_t value, index;
    Bytes data;  // sent (out) or expected back (in)
    const char* trace;
  };
  const Case cases[] = {
      {"24-bit write",
       true,
       0x83,
       0,
       {0x3D, 0x00, 0x3E, 0x00, 0x3F, 0x01},
       "CO 0083 0000 6 3d003e003f01"},
      {"bank 1 write", true, 0x183, 0, {0x05, 0x7F}, "CO 0183 0000 2 057f"},
      {"read 0x101", false, 0x18E, 0x0122, {0x08, 0x55}, "CI 018e 0122 2 0855"},
      {"read 0x43..0x44", false, 0x8E, 0x4322, {0x01, 0x2C, 0x55}, "CI 008e 4322 3 012c55"},
      {"status probe", false, 0x8E, 0x0000, {0xA5}, "CI 008e 0000 1 a5"},
      {"window", true, 0x82, 1, {0, 0, 0, 0x10, 0x10, 0, 0, 0}, "CO 0082 0001 8 0000001010000000"},
      {"aux register", true, 0x8C, 0x07, {0x5A}, "CO 008c 0007 1 5a"},
      {"command word", true, 0x8B, 6, {0x78, 0x56, 0x34, 0x12}, "CO 008b 0006 4 78563412"},
      {"counter word", false, 0x8A, 5, {0x78, 0x56, 0x34, 0x12}, "CI 008a 0005 4 78563412"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes answer;
    bool ok = c.out ? wire.Out(c.value, c.index, c.data)
                    : wire.In(c.value, c.index, static_cast<uint32_t>(c.data.size()), &answer);
    ASSERT_TRUE(ok);
    if (!c.out) {
      EXPECT_EQ(answer, c.data);
      EXPECT_EQ(wire.moved, c.data.size());
    }
    EXPECT_EQ(LastTrace(), c.trace);
  }
  EXPECT_EQ(scanner.Register(0x03D), 0x00);
  EXPECT_EQ(scanner.Register(0x03F), 0x01);
  EXPECT_EQ(scanner.Register(0x105), 0x7F);
  EXPECT_EQ(scanner.Register(0x005), 0x00);
  EXPECT_EQ(scanner.AuxRegister(0x07), 0x5A);
  EXPECT_EQ(scanner.CommandWord(), 0x12345678u);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
  EXPECT_EQ(scanner.TransferCount(), std::size(cases));
}

TEST_F(SimTest, DescriptorReadReturnsThePluggedDescriptor) {
  VirtualScanner& other = bus.Plug(3, Model::kCard, {0x1234, 0x4C72, 0x0207, 0x0809});
  auto otherFile = bus.OpenSlot(3);
  platform::DeviceDescriptor d{};
  ASSERT_TRUE(Wire{otherFile.get()}.Descriptor(&d));
  EXPECT_EQ(d.vendorId, 0x1234);
  EXPECT_EQ(d.productId, 0x4C72);
  EXPECT_EQ(d.bcdDevice, 0x0207);
  EXPECT_EQ(d.languageId, 0x0809);
  EXPECT_EQ(other.Trace(), std::vector<std::string>{"DD"});
  EXPECT_EQ(other.model(), Model::kCard);

  ASSERT_TRUE(wire.Descriptor(&d));
  EXPECT_EQ(wire.moved, 8u);
  EXPECT_EQ(d.vendorId, 0x2E1A);
  EXPECT_EQ(d.productId, 0x4C71);
  EXPECT_EQ(d.bcdDevice, 0x0100);
  EXPECT_EQ(d.languageId, 0x0409);
}

TEST_F(SimTest, MalformedControlTransfersStallAsProtocolErrors) {
  struct Case {
    const char* what;
    bool out;
    uint32_t value, index;
    Bytes data;       // for out
    uint32_t length;  // for in
  };
  const Bytes window8 = {0, 0, 0, 0x10, 4, 0, 0, 0};
  const Case cases[] = {
      {"write, index 1", true, 0x83, 1, {0x01, 0x02}, 0},
      {"write, odd length", true, 0x83, 0, {0x01}, 0},
      {"write, length 0", true, 0x83, 0, {}, 0},
      {"write, 66 bytes", true, 0x83, 0, Bytes(66, 0x01), 0},
      {"write as control in", false, 0x83, 0, {}, 2},
      {"read as control out", true, 0x8E, 0x0122, {0x01, 0x02}, 0},
      {"read of no register", false, 0x8E, 0x0122, {}, 1},
      {"read of 64 registers", false, 0x8E, 0x0022, {}, 65},
      {"read, index tag 0x23", false, 0x8E, 0x0123, {}, 2},
      {"status probe in bank 1", false, 0x18E, 0, {}, 1},
      {"status probe of 2 bytes", false, 0x8E, 0, {}, 2},
      {"window, direction 2", true, 0x82, 2, window8, 0},
      {"window, 7 bytes", true, 0x82, 1, {0, 0, 0, 0x10, 4, 0, 0}, 0},
      {"window with bank bit", true, 0x182, 1, window8, 0},
      {"window past 4 GiB", true, 0x82, 1, {0xF0, 0xFF, 0xFF, 0xFF, 0x11, 0, 0, 0}, 0},
      {"window as control in", false, 0x82, 1, {}, 8},
      {"aux register 0x100", true, 0x8C, 0x100, {0x01}, 0},
      {"aux register, 2 bytes", true, 0x8C, 1, {0x01, 0x02}, 0},
      {"command word, index 5", true, 0x8B, 5, {1, 2, 3, 4}, 0},
      {"command word, 3 bytes", true, 0x8B, 6, {1, 2, 3}, 0},
      {"counter word, index 6", false, 0x8A, 6, {}, 4},
      {"counter word, 2 bytes", false, 0x8A, 5, {}, 2},
      {"counter word as out", true, 0x8A, 5, {1, 2, 3, 4}, 0},
      {"unknown command 0x84", true, 0x84, 0, {0x01, 0x02}, 0},
      {"unknown command 0x8F", false, 0x8F, 0x0022, {}, 2},
  };
  uint32_t errors = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes answer;
    bool ok =
        c.out ? wire.Out(c.value, c.index, c.data) : wire.In(c.value, c.index, c.length, &answer);
    EXPECT_FALSE(ok);
    EXPECT_EQ(scanner.ProtocolErrors(), ++errors);
    EXPECT_EQ(LastTrace().substr(LastTrace().size() - 6), " stall");
    if (!c.out) {
      EXPECT_EQ(answer, Bytes(c.length, kUntouched));
    }
  }
  EXPECT_EQ(scanner.TransferCount(), std::size(cases));
  EXPECT_EQ(scanner.Register(0x001), 0x00);  // none of the bad writes landed
  EXPECT_EQ(scanner.AuxRegister(0x01), 0x00);
  EXPECT_EQ(scanner.CommandWord(), 0u);
  EXPECT_EQ(scanner.Trace()[0], "CO 0083 0001 2 0102 stall");
  EXPECT_EQ(scanner.Trace()[4], "CI 0083 0000 2 stall");
}

TEST_F(SimTest, LongStalledWritesAreTracedCutAtSixtyFourBytes) {
  EXPECT_FALSE(wire.Out(0x83, 0, Bytes(66, 0xAB)));
  std::string expected = "CO 0083 0000 66 ";
  for (int i = 0; i < 64; ++i) expected += "ab";
  EXPECT_EQ(LastTrace(), expected + ".. stall");
}

TEST_F(SimTest, RequestsTheDriverRefusesNeverReachTheDevice) {
  uint32_t moved = 0;
  uint8_t buffer[16] = {};
  platform::IoBlock read2{0x8E, 2, nullptr, 0x0022};
  platform::IoBlock write2{0x83, 2, nullptr, 0};
  platform::IoBlock wideValue{0x10083, 2, buffer, 0};
  struct Case {
    const char* what;
    uint32_t code;
    const void* in;
    uint32_t inSize;
    void* out;
    uint32_t outSize;
  };
  const Case cases[] = {
      {"unknown IOCTL", 0x80002014, &read2, sizeof(read2), buffer, 2},
      {"block too short", platform::kIoctlReadRegisters, &read2, 8, buffer, 2},
      {"no block", platform::kIoctlReadRegisters, nullptr, 0, buffer, 2},
      {"read, no buffer", platform::kIoctlReadRegisters, &read2, sizeof(read2), nullptr, 0},
      {"read, buffer too small", platform::kIoctlReadRegisters, &read2, sizeof(read2), buffer, 1},
      {"write, no data", platform::kIoctlWriteRegisters, &write2, sizeof(write2), nullptr, 0},
      {"value wider than 16 bits", platform::kIoctlWriteRegisters, &wideValue, sizeof(wideValue),
       nullptr, 0},
      {"descriptor, small buffer", platform::kIoctlGetDeviceDescriptor, buffer, 8, buffer, 7},
  };
  uint64_t before = bus.Clock().NowUs();
  uint32_t errors = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(file->IoControl(c.code, c.in, c.inSize, c.out, c.outSize, &moved, kTimeoutMs));
    EXPECT_EQ(scanner.ProtocolErrors(), ++errors);
  }
  EXPECT_FALSE(file->WritePipe(nullptr, 4, &moved, kTimeoutMs));
  EXPECT_FALSE(file->ReadPipe(nullptr, 4, &moved, kTimeoutMs));
  EXPECT_EQ(scanner.ProtocolErrors(), errors + 2);
  EXPECT_EQ(scanner.TransferCount(), 0u);
  EXPECT_TRUE(scanner.Trace().empty());
  EXPECT_EQ(bus.Clock().NowUs(), before);
}

// ---------------------------------------------------------------------------
// Registers and the front end
// ---------------------------------------------------------------------------

TEST_F(SimTest, StatusAndDataCounterRegistersIgnoreWrites) {
  scanner.SetRegister(0x101, 0x0C);
  ASSERT_TRUE(wire.Out(0x183, 0, {0x00, 0x11, 0x01, 0x22, 0x02, 0x33, 0x03, 0x44}));
  EXPECT_EQ(scanner.Register(0x100), 0x11);
  EXPECT_EQ(scanner.Register(0x101), 0x0C);
  EXPECT_EQ(scanner.Register(0x102), 0x00);
  EXPECT_EQ(scanner.Register(0x103), 0x44);
  // The same numbers in bank 0 are ordinary registers.
  ASSERT_TRUE(wire.Out(0x83, 0, {0x01, 0x22, 0x02, 0x33}));
  EXPECT_EQ(scanner.Register(0x001), 0x22);
  EXPECT_EQ(scanner.Register(0x002), 0x33);
}

TEST_F(SimTest, WritesInOneTransferApplyInOrder) {
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x01, 0x10, 0x02, 0x10, 0x03}));
  EXPECT_EQ(scanner.Register(0x010), 0x03);
  Bytes pairs;
  for (uint8_t reg = 0; reg < 32; ++reg) pairs.insert(pairs.end(), {reg, uint8_t(reg + 0x80)});
  ASSERT_TRUE(wire.Out(0x83, 0, pairs));  // the largest write: 32 pairs
  EXPECT_EQ(scanner.Register(0x000), 0x80);
  EXPECT_EQ(scanner.Register(0x01F), 0x9F);
}

TEST_F(SimTest, ConsecutiveReadsWrapWithinTheirBank) {
  scanner.SetRegister(0x0FF, 0xA1);
  scanner.SetRegister(0x000, 0xA2);
  scanner.SetRegister(0x1FF, 0xB1);
  scanner.SetRegister(0x100, 0xB2);
  Bytes answer;
  ASSERT_TRUE(wire.In(0x8E, 0xFF22, 3, &answer));
  EXPECT_EQ(answer, (Bytes{0xA1, 0xA2, 0x55}));
  ASSERT_TRUE(wire.In(0x18E, 0xFF22, 3, &answer));
  EXPECT_EQ(answer, (Bytes{0xB1, 0xB2, 0x55}));
  // 63 registers is the longest read.
  for (uint16_t reg = 0x110; reg < 0x110 + 63; ++reg) scanner.SetRegister(reg, uint8_t(reg));
  ASSERT_TRUE(wire.In(0x18E, 0x1022, 64, &answer));
  EXPECT_EQ(answer[0], 0x10);
  EXPECT_EQ(answer[62], 0x4E);
  EXPECT_EQ(answer[63], 0x55);
}

TEST_F(SimTest, FrontEndRegisterLatchesOnTheLowByte) {
  // AFE 0x28 <- 0x014B, as one 6-byte write.
  ASSERT_TRUE(wire.Out(0x83, 0, {0x51, 0x28, 0x5D, 0x01, 0x5E, 0x4B}));
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x014B);
  // The high byte alone latches nothing.
  ASSERT_TRUE(wire.Out(0x83, 0, {0x51, 0x29, 0x5D, 0x02}));
  EXPECT_EQ(scanner.AfeRegister(0x29), 0x0000);
  // The low byte before the high byte latches the high byte held until then.
  ASSERT_TRUE(wire.Out(0x83, 0, {0x51, 0x2A, 0x5E, 0x80, 0x5D, 0x07}));
  EXPECT_EQ(scanner.AfeRegister(0x2A), 0x0280);
  // The same registers in bank 1 are not the front end.
  ASSERT_TRUE(wire.Out(0x183, 0, {0x51, 0x20, 0x5E, 0x11}));
  EXPECT_EQ(scanner.AfeRegister(0x20), 0x0000);
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x014B);
}

// ---------------------------------------------------------------------------
// Memory window and bulk transfers
// ---------------------------------------------------------------------------

TEST_F(SimTest, WindowStoresBulkOutAndReadsItBack) {
  Bytes table(5000);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7 + 1);
  const uint32_t address = 0x01000FF0;  // crosses two page boundaries
  ASSERT_TRUE(wire.Window(1, address, 5000));
  ASSERT_TRUE(wire.BulkOut(table));
  EXPECT_EQ(wire.moved, 5000u);
  EXPECT_EQ(LastTrace(), "BO 5000");

  Bytes stored(5000);
  ASSERT_TRUE(scanner.ReadMemory(address, stored.data(), 5000));
  EXPECT_EQ(stored, table);

  // Read back 16 bytes before the table through 16 into it: zeros, then data.
  Bytes back;
  ASSERT_TRUE(wire.Window(0, address - 16, 32));
  ASSERT_TRUE(wire.BulkIn(32, &back));
  EXPECT_EQ(wire.moved, 32u);
  EXPECT_EQ(LastTrace(), "BI 32");
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), Bytes(16, 0));
  EXPECT_EQ(Bytes(back.begin() + 16, back.end()), Bytes(table.begin(), table.begin() + 16));

  // The image port holds nothing yet: zeros.
  ASSERT_TRUE(wire.Window(0, 0x10000000, 8));
  ASSERT_TRUE(wire.BulkIn(8, &back));
  EXPECT_EQ(back, Bytes(8, 0));
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(SimTest, WindowStaysOpenAcrossControlTransfersUntilABulkUsesIt) {
  ASSERT_TRUE(wire.Window(1, 0x10000000, 4));
  uint8_t value = 0;
  ASSERT_TRUE(wire.ReadRegister(0x101, &value));
  ASSERT_TRUE(wire.BulkOut({1, 2, 3, 4}));
  // A second window replaces one not yet used.
  ASSERT_TRUE(wire.Window(1, 0x20000000, 8));
  ASSERT_TRUE(wire.Window(1, 0x30000000, 2));
  ASSERT_TRUE(wire.BulkOut({9, 8}));
  uint8_t stored[2] = {};
  ASSERT_TRUE(scanner.ReadMemory(0x30000000, stored, 2));
  EXPECT_EQ(stored[0], 9);
  EXPECT_EQ(stored[1], 8);
}

TEST_F(SimTest, WindowReachesTheLastByteOfTheAddressSpace) {
  ASSERT_TRUE(wire.Window(1, 0xFFFFFFF0, 16));
  ASSERT_TRUE(wire.BulkOut(Bytes(16, 0x3C)));
  uint8_t last = 0;
  ASSERT_TRUE(scanner.ReadMemory(0xFFFFFFFF, &last, 1));
  EXPECT_EQ(last, 0x3C);
  EXPECT_FALSE(scanner.ReadMemory(0xFFFFFFFF, &last, 2));
  EXPECT_FALSE(scanner.ReadMemory(0, nullptr, 1));
}

TEST_F(SimTest, BulkTransfersThatFitNoWindowStall) {
  struct Case {
    const char* what;
    int windowDirection;  // -1: no window
    uint32_t windowCount;
    bool outFirst;  // a fitting bulk out before the failing one
    bool failingOut;
    uint32_t failingSize;
    const char* trace;
  };
  const Case cases[] = {
      {"bulk out, no window", -1, 0, false, true, 16, "BO 16 stall"},
      {"bulk in, no window", -1, 0, false, false, 16, "BI 16 stall"},
      {"bulk out, smaller", 1, 16, false, true, 15, "BO 15 stall"},
      {"bulk in, larger", 0, 16, false, false, 17, "BI 17 stall"},
      {"bulk in on an out window", 1, 16, false, false, 16, "BI 16 stall"},
      {"bulk out on an in window", 0, 16, false, true, 16, "BO 16 stall"},
      {"second bulk after one window", 1, 16, true, true, 16, "BO 16 stall"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VirtualBus fresh;
    VirtualScanner& chip = fresh.Plug(0);
    auto device = fresh.OpenSlot(0);
    Wire w{device.get()};
    if (c.windowDirection >= 0) {
      ASSERT_TRUE(w.Window(static_cast<uint32_t>(c.windowDirection), 0x10000000, c.windowCount));
    }
    if (c.outFirst) {
      ASSERT_TRUE(w.BulkOut(Bytes(c.windowCount, 0x11)));
    }
    Bytes in;
    EXPECT_FALSE(c.failingOut ? w.BulkOut(Bytes(c.failingSize, 0x22))
                              : w.BulkIn(c.failingSize, &in));
    EXPECT_EQ(chip.ProtocolErrors(), 1u);
    EXPECT_EQ(chip.Trace().back(), c.trace);
    if (!c.failingOut) {
      EXPECT_EQ(in, Bytes(c.failingSize, kUntouched));
    }
    // A failed bulk closes the window: the fitting transfer now stalls too.
    if (c.windowDirection >= 0 && !c.outFirst) {
      EXPECT_FALSE(c.windowDirection == 1 ? w.BulkOut(Bytes(c.windowCount, 0))
                                          : w.BulkIn(c.windowCount, &in));
    }
  }
}

TEST(ControllerMemoryTest, PagesComeIntoBeingOnlyWhereWritten) {
  ControllerMemory memory;
  const uint8_t bytes[2] = {0x5A, 0xA5};
  ASSERT_TRUE(memory.Write(0x00000FFF, bytes, 2));  // straddles two pages
  ASSERT_TRUE(memory.Write(0x80000000, bytes, 1));
  EXPECT_EQ(memory.PageCount(), 3u);
  uint8_t back[3] = {1, 1, 1};
  memory.Read(0x00000FFE, back, 3);
  EXPECT_EQ(back[0], 0x00);
  EXPECT_EQ(back[1], 0x5A);
  EXPECT_EQ(back[2], 0xA5);
  memory.Clear();
  EXPECT_EQ(memory.PageCount(), 0u);
  memory.Read(0x00000FFF, back, 1);
  EXPECT_EQ(back[0], 0x00);
}

// ---------------------------------------------------------------------------
// Virtual time
// ---------------------------------------------------------------------------

TEST(VirtualClockTest, EveryReadAdvancesAndSleepsDoNotWait) {
  VirtualClock clock;
  EXPECT_EQ(clock.NowUs(), 0u);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_EQ(clock.NowUs(), 25u);
  // The library's busy-wait delay: spin until 5 ms have passed.
  uint32_t end = clock.NowMs() + 5;
  int reads = 0;
  while (clock.NowMs() < end) ASSERT_LT(++reads, 1000);
  // The clock stood at 50 us; the 198th read reaches 5000 us and ends the loop.
  EXPECT_EQ(reads, 197);
  uint64_t before = clock.NowUs();
  clock.SleepMs(60000);
  EXPECT_EQ(clock.NowUs() - before, 60000000u);
  clock.AdvanceUs(7);
  EXPECT_EQ(clock.NowUs() - before, 60000007u);
}

TEST(VirtualClockTest, SwitchingToRealtimeKeepsTimeMonotonic) {
  VirtualClock clock;
  clock.AdvanceUs(5000000);
  clock.SetRealtime(true);
  EXPECT_TRUE(clock.realtime());
  EXPECT_GE(clock.NowUs(), 5000000u);
  clock.SetRealtime(false);
  uint64_t back = clock.NowUs();
  EXPECT_GE(back, 5000000u);
  EXPECT_EQ(clock.NowMs(), (back + 25) / 1000);
}

TEST_F(SimTest, TransfersChargeTheirUsbCost) {
  VirtualClock& clock = bus.Clock();
  struct Case {
    const char* what;
    std::function<bool()> transfer;
    uint64_t costUs;
  };
  Bytes sink;
  platform::DeviceDescriptor d{};
  const Case cases[] = {
      {"register write",
       [&] {
         return wire.Out(0x83, 0, {0x01, 0x02});
       },
       150},
      {"register read", [&] { return wire.In(0x8E, 0x0122, 2, &sink); }, 150},
      {"descriptor", [&] { return wire.Descriptor(&d); }, 150},
      {"window", [&] { return wire.Window(1, 0x10000000, 100); }, 150},
      {"bulk out, 100 bytes", [&] { return wire.BulkOut(Bytes(100)); }, 60 + 3},
      {"window", [&] { return wire.Window(0, 0x10000000, 40000); }, 150},
      {"bulk in, 40000 bytes", [&] { return wire.BulkIn(40000, &sink); }, 60 + 1000},
      {"stalled bulk", [&] { return !wire.BulkIn(40, &sink); }, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint64_t before = clock.NowUs();
    ASSERT_TRUE(c.transfer());
    EXPECT_EQ(clock.NowUs() - before, c.costUs);
  }
}

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

TEST_F(SimTest, MarkerFaultStartsAtTheGivenTransfer) {
  scanner.SetRegister(0x043, 0x9C);
  scanner.InjectFault(Fault::kMarker, 3);
  Bytes answer;
  for (int transfer = 1; transfer <= 4; ++transfer) {
    SCOPED_TRACE(transfer);
    ASSERT_TRUE(wire.In(0x8E, 0x4322, 2, &answer));
    EXPECT_EQ(answer[0], 0x9C);
    EXPECT_EQ(answer[1], transfer < 3 ? 0x55 : 0x00);
  }
  EXPECT_EQ(LastTrace(), "CI 008e 4322 2 9c00");
  ASSERT_TRUE(wire.In(0x8E, 0, 1, &answer));  // the probe has no marker to lose
  EXPECT_EQ(answer[0], 0x01);
  scanner.ClearFaults();
  ASSERT_TRUE(wire.In(0x8E, 0x4322, 2, &answer));
  EXPECT_EQ(answer[1], 0x55);
}

TEST_F(SimTest, ShortFaultReturnsHalfTheBulkRead) {
  scanner.InjectFault(Fault::kShort);
  Bytes data(101, 0x77);
  ASSERT_TRUE(wire.Window(1, 0x10000000, 101));
  ASSERT_TRUE(wire.BulkOut(data));  // bulk out is not shortened
  Bytes back;
  ASSERT_TRUE(wire.Window(0, 0x10000000, 101));
  ASSERT_TRUE(wire.BulkIn(101, &back));
  EXPECT_EQ(wire.moved, 50u);
  EXPECT_EQ(LastTrace(), "BI 50");
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 50), Bytes(50, 0x77));
  EXPECT_EQ(back[50], kUntouched);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(SimTest, HangChargesTheTimeoutAndNeverTakesEffect) {
  scanner.InjectFault(Fault::kHang, 2);
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x01}));
  uint64_t before = bus.Clock().NowUs();
  EXPECT_FALSE(wire.Out(0x83, 0, {0x10, 0x99}));
  EXPECT_EQ(bus.Clock().NowUs() - before, 60000000u);
  EXPECT_EQ(scanner.Register(0x010), 0x01);
  EXPECT_EQ(scanner.TransferCount(), 2u);
  EXPECT_EQ(scanner.Trace().size(), 1u);
  uint32_t moved = 123;
  EXPECT_FALSE(file->ReadPipe(Bytes(4).data(), 4, &moved, 250));
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(bus.Clock().NowUs() - before, 60250000u);
  scanner.ClearFaults();
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x02}));
  EXPECT_EQ(scanner.Register(0x010), 0x02);
  EXPECT_EQ(scanner.TransferCount(), 4u);
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(SimTest, SilentControllerAnswersOnlyProbeAndDescriptor) {
  scanner.SetRegister(0x043, 0x9C);
  scanner.SetCounterWord(0xCAFE);
  scanner.InjectFault(Fault::kSilent);
  Bytes answer;
  ASSERT_TRUE(wire.In(0x8E, 0x4322, 3, &answer));
  EXPECT_EQ(answer, Bytes(3, 0x00));
  ASSERT_TRUE(wire.In(0x8A, 5, 4, &answer));
  EXPECT_EQ(answer, Bytes(4, 0x00));
  ASSERT_TRUE(wire.Out(0x83, 0, {0x51, 0x28, 0x5D, 0x01, 0x5E, 0x4B}));
  EXPECT_EQ(LastTrace(), "CO 0083 0000 6 51285d015e4b");
  EXPECT_EQ(scanner.Register(0x051), 0x00);
  EXPECT_EQ(scanner.AfeRegister(0x28), 0x0000);
  ASSERT_TRUE(wire.Out(0x8C, 1, {0x42}));
  ASSERT_TRUE(wire.Out(0x8B, 6, {1, 2, 3, 4}));
  EXPECT_EQ(scanner.AuxRegister(1), 0x00);
  EXPECT_EQ(scanner.CommandWord(), 0u);
  // No window opens, so the bulk transfer stalls; the library is not to blame.
  ASSERT_TRUE(wire.Window(1, 0x10000000, 4));
  EXPECT_FALSE(wire.BulkOut({1, 2, 3, 4}));
  EXPECT_EQ(LastTrace(), "BO 4 stall");
  EXPECT_EQ(scanner.ProtocolErrors(), 0u);
  // Malformed requests still stall as protocol errors.
  EXPECT_FALSE(wire.Out(0x83, 1, {0x01, 0x02}));
  EXPECT_EQ(scanner.ProtocolErrors(), 1u);
  ASSERT_TRUE(wire.In(0x8E, 0, 1, &answer));
  EXPECT_EQ(answer[0], 0x01);
  platform::DeviceDescriptor d{};
  ASSERT_TRUE(wire.Descriptor(&d));
  EXPECT_EQ(d.productId, 0x4C71);
}

TEST_F(SimTest, UnplugFaultFailsEverythingAndHidesTheSlot) {
  scanner.InjectFault(Fault::kUnplug, 3);
  platform::DeviceDescriptor d{};
  ASSERT_TRUE(wire.Descriptor(&d));
  EXPECT_NE(bus.OpenSlot(0), nullptr);  // the next transfer is the 2nd
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x01}));
  EXPECT_EQ(bus.OpenSlot(0), nullptr);
  uint64_t before = bus.Clock().NowUs();
  EXPECT_FALSE(wire.Out(0x83, 0, {0x10, 0x02}));
  EXPECT_FALSE(wire.Descriptor(&d));
  EXPECT_EQ(scanner.Register(0x010), 0x01);
  EXPECT_EQ(scanner.TransferCount(), 2u);
  EXPECT_EQ(scanner.Trace().size(), 2u);
  EXPECT_EQ(bus.Clock().NowUs(), before);
  EXPECT_EQ(bus.At(0), &scanner);
  scanner.ClearFaults();  // plugged back in
  EXPECT_NE(bus.OpenSlot(0), nullptr);
  EXPECT_TRUE(wire.Descriptor(&d));
}

TEST_F(SimTest, MotorAndPaperFaultsAreStoredWithoutEffectYet) {
  const Fault faults[] = {Fault::kStuckMotor, Fault::kJam, Fault::kNeverReady};
  for (Fault fault : faults) scanner.InjectFault(fault, 1);
  for (Fault fault : faults) EXPECT_TRUE(scanner.FaultInjected(fault));
  EXPECT_FALSE(scanner.FaultInjected(Fault::kHang));
  uint8_t value = 0xFF;
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x5A}));
  ASSERT_TRUE(wire.ReadRegister(0x010, &value));
  EXPECT_EQ(value, 0x5A);
  scanner.ClearFaults();
  for (Fault fault : faults) EXPECT_FALSE(scanner.FaultInjected(fault));
}

// ---------------------------------------------------------------------------
// Slots and the bus
// ---------------------------------------------------------------------------

TEST_F(SimTest, UnplugFailsTheOpenFileAndEmptiesTheSlot) {
  ASSERT_TRUE(wire.Out(0x83, 0, {0x10, 0x01}));
  bus.Unplug(0);
  EXPECT_EQ(bus.At(0), nullptr);
  EXPECT_EQ(bus.OpenSlot(0), nullptr);
  platform::DeviceDescriptor d{};
  EXPECT_FALSE(wire.Descriptor(&d));
  EXPECT_FALSE(wire.Out(0x83, 0, {0x10, 0x02}));
  // A new scanner in the slot does not revive the old file.
  VirtualScanner& fresh = bus.Plug(0);
  EXPECT_FALSE(wire.Descriptor(&d));
  auto freshFile = bus.OpenSlot(0);
  ASSERT_NE(freshFile, nullptr);
  EXPECT_TRUE(Wire{freshFile.get()}.Descriptor(&d));
  EXPECT_EQ(fresh.Register(0x010), 0x00);
  EXPECT_EQ(fresh.TransferCount(), 1u);
}

TEST(VirtualBusTest, HundredTwentyEightSlotsWithTwoScanners) {
  VirtualBus bus;
  VirtualScanner& first = bus.Plug(5);
  VirtualScanner& last = bus.Plug(127, Model::kKD21x, {0x2E1A, 0x4C72, 0x0200, 0x0409});
  for (int slot = 0; slot < platform::kDeviceSlotCount; ++slot) {
    bool occupied = slot == 5 || slot == 127;
    EXPECT_EQ(bus.OpenSlot(slot) != nullptr, occupied) << "slot " << slot;
    EXPECT_EQ(bus.At(slot) != nullptr, occupied) << "slot " << slot;
  }
  EXPECT_EQ(bus.OpenSlot(-1), nullptr);
  EXPECT_EQ(bus.OpenSlot(128), nullptr);
  EXPECT_EQ(bus.At(128), nullptr);

  auto fileA = bus.OpenSlot(5);
  auto fileB = bus.OpenSlot(127);
  Wire a{fileA.get()};
  Wire b{fileB.get()};
  platform::DeviceDescriptor d{};
  ASSERT_TRUE(b.Descriptor(&d));
  EXPECT_EQ(d.productId, 0x4C72);
  EXPECT_EQ(d.bcdDevice, 0x0200);
  ASSERT_TRUE(a.Out(0x83, 0, {0x10, 0xA0}));
  EXPECT_EQ(first.Register(0x010), 0xA0);
  EXPECT_EQ(last.Register(0x010), 0x00);
  EXPECT_EQ(first.Trace(), std::vector<std::string>{"CO 0083 0000 2 10a0"});
  EXPECT_EQ(last.Trace(), std::vector<std::string>{"DD"});
  // Both scanners spend time on the one clock.
  EXPECT_EQ(bus.Clock().NowUs(), 2 * kControlTransferUs);
  EXPECT_EQ(last.model(), Model::kKD21x);
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
    platform::DeviceDescriptor d{};
    EXPECT_TRUE(Wire{device.get()}.Descriptor(&d));
    EXPECT_EQ(platform::OpenStillImageDevice("\\\\.\\usbscan1"), nullptr);
    uint64_t before = bus.Clock().NowUs();
    platform::SleepMs(30000);  // virtual: returns at once
    EXPECT_EQ(bus.Clock().NowUs() - before, 30000000u);
    EXPECT_EQ(platform::NowMs(), static_cast<uint32_t>(bus.Clock().NowUs() / 1000));
    bus.Uninstall();
    EXPECT_EQ(platform::OpenStillImageDevice("\\\\.\\usbscan0"), nullptr);
    platform::Clock* current = platform::AttachClock(nullptr);
    platform::AttachClock(current);
    EXPECT_NE(current, &bus.Clock());
    bus.Install();
  }  // the destructor uninstalls
  platform::StillImageProvider* after = platform::SetStillImageProvider(original);
  EXPECT_EQ(after, original);
}

TEST(VirtualBusTest, RealtimeBusLeavesTheSystemClockAttached) {
  VirtualBus bus;
  bus.Clock().SetRealtime(true);
  bus.Install();
  platform::Clock* current = platform::AttachClock(nullptr);
  platform::AttachClock(current);
  EXPECT_NE(current, &bus.Clock());
  bus.Uninstall();
}

// ---------------------------------------------------------------------------
// Trace file
// ---------------------------------------------------------------------------

TEST_F(SimTest, TraceFileReceivesEveryLine) {
  const std::string path = TempPath("trace.txt");
  std::ofstream(path) << "earlier\n";
  ASSERT_TRUE(scanner.SetTraceFile(path.c_str()));
  platform::DeviceDescriptor d{};
  ASSERT_TRUE(wire.Descriptor(&d));
  scanner.SetTraceInMemory(false);
  ASSERT_TRUE(wire.Out(0x83, 0, {0x3D, 0x00}));
  EXPECT_FALSE(wire.Out(0x83, 1, {0x3D, 0x00}));
  ASSERT_TRUE(scanner.SetTraceFile(nullptr));
  ASSERT_TRUE(wire.Out(0x83, 0, {0x3E, 0x00}));
  EXPECT_EQ(ReadWholeFile(path), "earlier\nDD\nCO 0083 0000 2 3d00\nCO 0083 0001 2 3d00 stall\n");
  EXPECT_EQ(scanner.Trace(), std::vector<std::string>{"DD"});
  scanner.ClearTrace();
  EXPECT_TRUE(scanner.Trace().empty());
  EXPECT_FALSE(scanner.SetTraceFile("/nonexistent-dir/trace.txt"));
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Environment switch
// ---------------------------------------------------------------------------

TEST(FaultListTest, ParsesNamesAndStarts) {
  using List = std::vector<std::pair<Fault, uint64_t>>;
  struct Case {
    const char* text;
    List expected;
  };
  const Case good[] = {
      {"", {}},
      {"  ", {}},
      {"marker", {{Fault::kMarker, 1}}},
      {"hang@12", {{Fault::kHang, 12}}},
      {" short , unplug@3 ", {{Fault::kShort, 1}, {Fault::kUnplug, 3}}},
      {"stuck-motor,jam,never-ready,silent",
       {{Fault::kStuckMotor, 1}, {Fault::kJam, 1}, {Fault::kNeverReady, 1}, {Fault::kSilent, 1}}},
      {"Never-Ready@18446744073709551615", {{Fault::kNeverReady, UINT64_MAX}}},
  };
  for (const Case& c : good) {
    SCOPED_TRACE(c.text);
    List out;
    ASSERT_TRUE(ParseFaultList(c.text, &out));
    EXPECT_EQ(out, c.expected);
  }
  const char* bad[] = {"bogus",     "marker@",   "marker@0",      "marker@x",
                       "marker@-1", "marker@1x", "marker,,short", "marker,",
                       ",marker",   "@3",        "stuck motor",   "marker@18446744073709551616"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    List out = {{Fault::kJam, 7}};
    EXPECT_FALSE(ParseFaultList(text, &out));
    EXPECT_EQ(out, (List{{Fault::kJam, 7}}));
  }
}

// Sets (or with null unsets) one variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      saved_ = old;
      hadValue_ = true;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (hadValue_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string saved_;
  bool hadValue_ = false;
};

TEST(EnvironmentTest, SimulatorVariableChoosesTheModel) {
  ScopedEnv noFaults("LF_V2270_SIM_FAULTS", nullptr);
  ScopedEnv noTrace("LF_V2270_SIM_TRACE", nullptr);
  ScopedEnv noRealtime("LF_V2270_SIM_REALTIME", nullptr);
  struct Case {
    const char* value;
    bool bus;
    Model model;
  };
  const Case cases[] = {
      {nullptr, false, Model::kLumaframe},    {"", false, Model::kLumaframe},
      {"0", false, Model::kLumaframe},        {"1", true, Model::kLumaframe},
      {"lumaframe", true, Model::kLumaframe}, {"kd21x", true, Model::kKD21x},
      {"kd409p", true, Model::kKD409P},       {"card", true, Model::kCard},
      {"KD409P", true, Model::kKD409P},       {"scanner", false, Model::kLumaframe},
      {"2", false, Model::kLumaframe},        {"card ", false, Model::kLumaframe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
    ScopedEnv simulator("LF_V2270_SIMULATOR", c.value);
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_EQ(bus != nullptr, c.bus);
    if (!bus) continue;
    ASSERT_NE(bus->At(0), nullptr);
    EXPECT_EQ(bus->At(0)->model(), c.model);
    EXPECT_EQ(bus->At(0)->descriptor().productId, 0x4C71);
    EXPECT_EQ(bus->At(1), nullptr);
    EXPECT_FALSE(bus->installed());
    EXPECT_FALSE(bus->Clock().realtime());
  }
}

TEST(EnvironmentTest, FaultsTraceAndRealtimeVariables) {
  const std::string path = TempPath("env_trace.txt");
  std::remove(path.c_str());
  ScopedEnv simulator("LF_V2270_SIMULATOR", "1");
  ScopedEnv faults("LF_V2270_SIM_FAULTS", "marker@2,jam");
  ScopedEnv trace("LF_V2270_SIM_TRACE", path.c_str());
  ScopedEnv realtime("LF_V2270_SIM_REALTIME", "1");
  ScopedEnv sheet("LF_V2270_SIM_SHEET", "gray:128");
  ScopedEnv button("LF_V2270_SIM_BUTTON", "2");
  {
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    ASSERT_NE(bus, nullptr);
    VirtualScanner& scanner = *bus->At(0);
    EXPECT_TRUE(scanner.FaultInjected(Fault::kMarker));
    EXPECT_TRUE(scanner.FaultInjected(Fault::kJam));
    EXPECT_FALSE(scanner.FaultInjected(Fault::kShort));
    EXPECT_TRUE(bus->Clock().realtime());
    bus->Clock().SetRealtime(false);  // no real waiting in this test
    auto file = bus->OpenSlot(0);
    Wire wire{file.get()};
    uint8_t value = 0;
    EXPECT_TRUE(wire.ReadRegister(0x010, &value));
    EXPECT_FALSE(wire.ReadRegister(0x010, &value));  // the marker fault from the 2nd on
  }
  EXPECT_EQ(ReadWholeFile(path), "CI 008e 1022 2 0055\nCI 008e 1022 2 0000\n");
  std::remove(path.c_str());

  ScopedEnv badFaults("LF_V2270_SIM_FAULTS", "marker,bogus");
  ScopedEnv noTrace("LF_V2270_SIM_TRACE", "");
  ScopedEnv noRealtime("LF_V2270_SIM_REALTIME", "0");
  std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
  ASSERT_NE(bus, nullptr);
  EXPECT_FALSE(bus->At(0)->FaultInjected(Fault::kMarker));
  EXPECT_FALSE(bus->Clock().realtime());
}

TEST(NamesTest, ModelAndFaultNamesRoundTrip) {
  const Model models[] = {Model::kLumaframe, Model::kKD21x, Model::kKD409P, Model::kCard};
  for (Model model : models) {
    Model parsed = Model::kCard;
    ASSERT_TRUE(ParseModelName(ModelName(model), &parsed));
    EXPECT_EQ(parsed, model);
  }
  Model untouched = Model::kKD21x;
  EXPECT_FALSE(ParseModelName("kd21", &untouched));
  EXPECT_FALSE(ParseModelName(nullptr, &untouched));
  EXPECT_EQ(untouched, Model::kKD21x);
  for (int i = 0; i < kFaultCount; ++i) {
    std::vector<std::pair<Fault, uint64_t>> out;
    ASSERT_TRUE(ParseFaultList(FaultName(static_cast<Fault>(i)), &out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].first, static_cast<Fault>(i));
  }
}

}  // namespace
}  // namespace lf::sim
