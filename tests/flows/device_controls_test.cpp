// The device controls as a host uses them through the exports, against the
// virtual scanner: the identity record, paper, buttons and the beeper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LF_v2270.h"
#include "session/session.h"
#include "support/sim_fixture.h"

namespace lf {
namespace {

using sim::Model;

class DeviceControlsTest : public test::SimTest {
 protected:
  sim::VirtualScanner& Open(Model model, const char* name) {
    sim::VirtualScanner& scanner = Plug(0, model);
    EXPECT_EQ(IO_HasScanner(name), 1);
    ClearTraces();
    return scanner;
  }
};

TEST_F(DeviceControlsTest, TheFactoryRecordReadsBackThroughTheExports) {
  Open(Model::kLumaframe, "Lumaframe v2270");
  unsigned short vendor = 0, product = 0;
  IO_GetVidPid(&vendor, &product);
  EXPECT_EQ(vendor, 0x2E1A);
  EXPECT_EQ(product, 0x4C71);
  char serial[47] = {};
  IO_GetSN(serial);
  EXPECT_STREQ(serial, "LF2270A0001234");
  EXPECT_EQ(g_session->GetActivity(), kActivityIdle);
}

TEST_F(DeviceControlsTest, ARecordWrittenIsReadBackForEveryMemoryType) {
  sim::VirtualScanner& scanner = Open(Model::kKD21x, "KD211-U");
  for (int type : {1, 2, 7}) {
    ASSERT_EQ(IO_WriteEEPROMInfo(0x1234, 0x5678, "Maker", "Model X", "SN-42", type,
                                 "tw64r_balden"),
              1)
        << type;
    unsigned short vendor = 0, product = 0;
    unsigned char first[47] = {}, second[47] = {}, serial[47] = {};
    ASSERT_EQ(IO_ReadEEPROMInfo(&vendor, &product, first, second, serial, type, "TW64R_BALDEN"),
              1)
        << type;
    EXPECT_EQ(vendor, 0x1234);
    EXPECT_EQ(product, 0x5678);
    EXPECT_STREQ(reinterpret_cast<char*>(first), "Maker");
    EXPECT_STREQ(reinterpret_cast<char*>(second), "Model X");
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "SN-42");
  }
  // The type-1 area closes again after every write.
  EXPECT_FALSE(scanner.IdentityWritesOpen());
}

TEST_F(DeviceControlsTest, AWrongPassOrBadTextsSendNothing) {
  sim::VirtualScanner& scanner = Open(Model::kKD21x, "KD211-U");
  const uint64_t before = scanner.TransferCount();
  const std::string tooLong(48, 'x');
  unsigned short vendor = 0, product = 0;
  unsigned char text[47] = {};
  EXPECT_EQ(IO_WriteEEPROMInfo(1, 2, "a", "b", "c", 1, "TW64R_BALDEX"), 0);
  EXPECT_EQ(IO_ReadEEPROMInfo(&vendor, &product, text, text, text, 1, "TW64R_BALDE"), 0);
  EXPECT_EQ(IO_WriteEEPROMInfo(1, 2, "a", "", "c", 1, "TW64R_BALDEN"), 0);
  EXPECT_EQ(IO_WriteEEPROMInfo(1, 2, "a", tooLong.c_str(), "c", 1, "TW64R_BALDEN"), 0);
  EXPECT_EQ(IO_WriteEEPROMInfo(1, 2, "a", "b", "c", 8, "TW64R_BALDEN"), 0);
  EXPECT_EQ(scanner.TransferCount(), before);
}

TEST_F(DeviceControlsTest, FeedPageEjectsTheSheetInVirtualTime) {
  sim::VirtualScanner& scanner = Open(Model::kLumaframe, "Lumaframe v2270");
  ASSERT_EQ(IO_IsPaperOn(), 1);
  const uint32_t start = platform::NowMs();

  EXPECT_EQ(IO_FeedPage(), 1);

  EXPECT_EQ(scanner.SheetsEjected(), 1u);
  EXPECT_EQ(IO_IsPaperOn(), 0);
  EXPECT_FALSE(scanner.MotorRunning());
  EXPECT_GE(platform::NowMs() - start, 1000u);  // the last check waits a second
  EXPECT_EQ(g_session->GetActivity(), kActivityIdle);
}

TEST_F(DeviceControlsTest, ButtonsAndBeeper) {
  sim::VirtualScanner& scanner = Open(Model::kKD21x, "KD211-U");
  EXPECT_EQ(IO_IsButtonDown(), 0);
  for (int button : {1, 2, 3}) {
    ASSERT_TRUE(scanner.PressButton(button));
    EXPECT_EQ(IO_IsButtonDown(), button);
    scanner.ReleaseButtons();
  }
  const uint32_t start = platform::NowMs();
  EXPECT_EQ(IO_Beeps(), 1);
  EXPECT_EQ(scanner.BeepCount(), 1u);
  EXPECT_GE(scanner.BeeperOnUs(), 200000u);
  EXPECT_GE(platform::NowMs() - start, 200u);
}

}  // namespace
}  // namespace lf
