// The POSIX backend of the platform seam: path mapping, files, system
// queries, text conversion, device names, clock and debug lines.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace lf::platform {
namespace {

using std::filesystem::is_directory;
constexpr FileAccess kRead = FileAccess::kRead, kWrite = FileAccess::kWrite,
                     kReadWrite = FileAccess::kReadWrite;
constexpr FileDisposition kOpenExisting = FileDisposition::kOpenExisting,
                          kCreateAlways = FileDisposition::kCreateAlways;

// Sets a variable, or unsets it for null.
void SetEnv(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

// Every test starts without the variables the backend reads and gets a fresh
// temporary directory whose "data/root" child (not made yet) is the data root.
class PosixPlatformTest : public ::testing::Test {
 protected:
  static constexpr const char* kVariables[] = {
      "LF_V2270_ROOT",        "XDG_DATA_HOME",         "HOME",
      "LF_V2270_WINDOWS_DIR", "LF_V2270_INSTALL_PATH", "LF_V2270_DEBUG"};
  void SetUp() override {
    for (const char* name : kVariables) {
      const char* value = std::getenv(name);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
    char pattern[] = "/tmp/lf_platform_posix_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    root_ = temp_ + "/data/root";
    SetEnv("LF_V2270_ROOT", root_.c_str());
  }
  void TearDown() override {
    if (!temp_.empty()) std::filesystem::remove_all(temp_);
    for (size_t i = 0; i < saved_.size(); ++i) {
      SetEnv(kVariables[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
  }

  std::string temp_, root_;
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(PosixPlatformTest, MapsWindowsPathsUnderTheDataRoot) {
  const struct {
    const char *root, *xdg, *home;  // LF_V2270_ROOT, XDG_DATA_HOME, HOME; null = unset
    const char *windows, *host;
    size_t driveRootLength;
  } cases[] = {
      {"/r", nullptr, "/h", "C:\\a\\b.dat", "/r/c/a/b.dat", 4},
      {"/r", nullptr, "/h", "c:/a/b.dat", "/r/c/a/b.dat", 4},
      {"/r", nullptr, "/h", "D:\\x/y\\z", "/r/d/x/y/z", 4},
      {"/r", nullptr, "/h", "Z:\\\\x//\\y\\\\\\z.ini", "/r/z/x/y/z.ini", 4},
      {"/r", nullptr, "/h", "C:\\", "/r/c/", 4},
      {"/r", nullptr, "/h", "C:", "/r/c", 4},
      {"/r", nullptr, "/h", "C:a\\b", "/r/ca/b", 4},
      {"/r/", nullptr, "/h", "C:\\a", "/r/c/a", 4},
      {"/", nullptr, "/h", "C:\\a", "/c/a", 2},
      {"rel", nullptr, "/h", "C:\\a", "rel/c/a", 5},
      {"", "/x", "/h", "C:\\a", "/x/lf_v2270/c/a", 13},
      {nullptr, "/x/", "/h", "E:\\a", "/x/lf_v2270/e/a", 13},
      {nullptr, nullptr, "/h", "C:\\a", "/h/.local/share/lf_v2270/c/a", 26},
      {nullptr, "", "/h", "C:\\a", "/h/.local/share/lf_v2270/c/a", 26},
      {nullptr, "relative", "/h", "C:\\a", "/h/.local/share/lf_v2270/c/a", 26},
      {"/r", nullptr, "/h", "relative\\dir\\f.dat", "relative/dir/f.dat", 0},
      {"/r", nullptr, "/h", "/tmp//x\\\\y", "/tmp/x/y", 0},
      {"/r", nullptr, "/h", "\\\\server\\share", "/server/share", 0},
      {"/r", nullptr, "/h", "1:\\a", "1:/a", 0},
      {"/r", nullptr, "/h", "CC:\\a", "CC:/a", 0},
  };
  posix::MappedPath mapped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.windows);
    SetEnv("LF_V2270_ROOT", c.root);
    SetEnv("XDG_DATA_HOME", c.xdg);
    SetEnv("HOME", c.home);
    ASSERT_TRUE(posix::MapWindowsPath(c.windows, &mapped));
    EXPECT_STREQ(mapped.text, c.host);
    EXPECT_EQ(mapped.driveRootLength, c.driveRootLength);
  }
  SetEnv("LF_V2270_ROOT", "/r");
  EXPECT_FALSE(posix::MapWindowsPath(nullptr, &mapped));
  EXPECT_FALSE(posix::MapWindowsPath("", &mapped));
  const std::string fits = "C:\\" + std::string(PATH_MAX - 6, 'a');  // "/r/c/" + name + NUL
  EXPECT_TRUE(posix::MapWindowsPath(fits.c_str(), &mapped));
  EXPECT_FALSE(posix::MapWindowsPath((fits + "a").c_str(), &mapped));
}

TEST_F(PosixPlatformTest, DriveRootIsMadeOnFirstUseAndFoldersOneLevelAtATime) {
  ASSERT_FALSE(is_directory(root_));
  // Even a failed open makes the drive's root, as it exists on Windows.
  EXPECT_EQ(OpenFile("D:\\missing.dat", kRead, kOpenExisting), nullptr);
  EXPECT_TRUE(is_directory(root_ + "/d"));
  EXPECT_TRUE(CreateDirectory("C:\\halvorik"));  // needs nothing but the drive
  EXPECT_TRUE(is_directory(root_ + "/c/halvorik"));
  EXPECT_FALSE(CreateDirectory("C:\\halvorik"));        // exists
  EXPECT_FALSE(CreateDirectory("C:\\"));                // so does a drive's root
  EXPECT_FALSE(CreateDirectory("C:\\other\\scanner"));  // parent missing
  EXPECT_FALSE(is_directory(root_ + "/c/other"));
  EXPECT_FALSE(CreateDirectory("c:/HALVORIK/../halvorik"));
  EXPECT_TRUE(CreateDirectory("C:\\halvorik\\scanner\\"));
  EXPECT_TRUE(is_directory(root_ + "/c/halvorik/scanner"));
  EXPECT_FALSE(CreateDirectory(nullptr));
  EXPECT_FALSE(CreateDirectory(""));
}

TEST_F(PosixPlatformTest, FilesOpenCreateTruncateReadWriteAndSeek) {
  EXPECT_EQ(OpenFile("C:\\none.dat", kRead, kOpenExisting), nullptr);
  EXPECT_EQ(OpenFile("C:\\none.dat", kReadWrite, kOpenExisting), nullptr);
  EXPECT_EQ(OpenFile("C:\\no\\dir.dat", kWrite, kCreateAlways), nullptr);
  ASSERT_TRUE(CreateDirectory("C:\\folder"));
  EXPECT_EQ(OpenFile("C:\\folder", kRead, kOpenExisting), nullptr);
  EXPECT_EQ(OpenFile(nullptr, kRead, kOpenExisting), nullptr);

  auto file = OpenFile("C:\\halvorik.dat", kReadWrite, kCreateAlways);
  ASSERT_NE(file, nullptr);
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 0xFE, 0xFF};
  EXPECT_EQ(file->Write(data, sizeof(data)), 10);
  EXPECT_EQ(file->Seek(0, SeekOrigin::kCurrent), 10);
  EXPECT_EQ(file->Seek(0, SeekOrigin::kBegin), 0);
  uint8_t back[16] = {};
  EXPECT_EQ(file->Read(back, sizeof(back)), 10);  // stops at the end of the file
  EXPECT_EQ(std::memcmp(back, data, sizeof(data)), 0);
  EXPECT_EQ(file->Read(back, sizeof(back)), 0);
  EXPECT_EQ(file->Seek(-2, SeekOrigin::kEnd), 8);
  EXPECT_EQ(file->Read(back, 1), 1);
  EXPECT_EQ(back[0], 0xFE);
  EXPECT_EQ(file->Seek(-3, SeekOrigin::kCurrent), 6);
  EXPECT_EQ(file->Seek(-1, SeekOrigin::kBegin), -1);
  file.reset();

  // The same file through a read-only and a write-only handle.
  auto reader = OpenFile("c:/halvorik.dat", kRead, kOpenExisting);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Write("z", 1), -1);
  EXPECT_EQ(reader->Read(back, 3), 3);
  EXPECT_EQ(back[2], 2);
  auto writer = OpenFile("C:\\halvorik.dat", kWrite, kOpenExisting);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->Read(back, 1), -1);
  EXPECT_EQ(writer->Seek(0, SeekOrigin::kEnd), 10);  // open-existing keeps the content
  writer.reset();
  file = OpenFile("C:\\halvorik.dat", kReadWrite, kCreateAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Seek(0, SeekOrigin::kEnd), 0);
}

TEST_F(PosixPlatformTest, WindowsDirectory) {
  char buffer[32];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetWindowsDirectory(buffer, sizeof(buffer)), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  EXPECT_EQ(GetWindowsDirectory(buffer, 11), 10u);  // exactly fits with the terminator
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetWindowsDirectory(buffer, 10), 11u);  // one short: the size needed
  EXPECT_EQ(buffer[0], 'x');                        // and nothing written
  EXPECT_EQ(GetWindowsDirectory(nullptr, 0), 11u);

  SetEnv("LF_V2270_WINDOWS_DIR", "D:\\WinNT");
  EXPECT_EQ(GetWindowsDirectory(buffer, sizeof(buffer)), 8u);
  EXPECT_STREQ(buffer, "D:\\WinNT");
  SetEnv("LF_V2270_WINDOWS_DIR", "");
  EXPECT_EQ(GetWindowsDirectory(buffer, sizeof(buffer)), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
}

TEST_F(PosixPlatformTest, InstallPathFromTheEnvironment) {
  const char* key = "SoftWare\\Halvorik\\Tallowmere EZ";
  const char* path = "D:\\Apps\\EZ";
  const struct {
    const char *env, *key, *value;  // env: LF_V2270_INSTALL_PATH, null = unset
    uint32_t capacity;
    const char* text;  // null: not found
  } cases[] = {
      {path, key, "InstallPath", 260, path},
      {path, "SOFTWARE\\halvorik\\TALLOWMERE ez", "installpath", 260, path},
      {path, key, "InstallPath", 11, path},     // exact fit
      {path, key, "InstallPath", 10, nullptr},  // no room for the terminator
      {"", key, "InstallPath", 260, ""},
      {nullptr, key, "InstallPath", 260, nullptr},
      {path, key, "InstallDir", 260, nullptr},
      {path, "SoftWare\\Halvorik", "InstallPath", 260, nullptr},
      {path, "SoftWare\\Halvorik\\Tallowmere EZ\\", "InstallPath", 260, nullptr},
      {path, nullptr, "InstallPath", 260, nullptr},
      {path, key, nullptr, 260, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.key ? c.key : "(null)") << " / "
                                    << (c.value ? c.value : "(null)") << " cap " << c.capacity);
    SetEnv("LF_V2270_INSTALL_PATH", c.env);
    char buffer[260];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(ReadMachineRegistryString(c.key, c.value, buffer, c.capacity), c.text != nullptr);
    // Found: the text and its terminator; not found: the buffer untouched.
    const std::string expected = c.text ? std::string(c.text) + '\0' : "#";
    EXPECT_EQ(std::string(buffer, expected.size()), expected);
  }
}

TEST_F(PosixPlatformTest, PrivateProfileInt) {
  ASSERT_TRUE(CreateDirectory("C:\\cfg"));
  std::ofstream(root_ + "/c/cfg/ondrusb.ini")
      << "; settings\nOrphan=4\n"
      << "[main]\nFixGamma=3\nfixgamma=9\nWord=abc\nHex=0x1F\nEmpty=\nCommented=7 ; inline\n"
      << "[Other]\nFixGamma=5\nOnly=6\n"
      << "[MAIN]\nLate=1\nFixGamma=8\n";
  const struct {
    const char *section, *key;
    int32_t defaultValue, expected;
  } cases[] = {
      {"Main", "FixGamma", 0, 3},      // section case differs
      {"MAIN", "FIXGAMMA", 0, 3},      // first occurrence wins over "fixgamma=9" and [MAIN]
      {"Other", "fixGamma", 0, 5},     // the same key in another section
      {"Main", "Only", 77, 77},        // key of another section
      {"Main", "Missing", -3, -3},     // missing key
      {"Absent", "FixGamma", 21, 21},  // missing section
      {"Main", "Word", 5, 0},          // present but no digits: 0, not the default
      {"Main", "Hex", 0, 31},          // read as Windows reads numbers (ParseProfileInt)
      {"Main", "Empty", 5, 5},         // present but empty counts as absent
      {"Main", "Commented", 0, 7},     // inline comment
      {"Main", "Late", 0, 1},          // a second section of the same name is searched too
      {"", "Orphan", 0, 4},            // before any section
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.section << "/" << c.key);
    EXPECT_EQ(GetPrivateProfileInt(c.section, c.key, c.defaultValue, "c:/cfg\\ondrusb.ini"),
              c.expected);
  }
  EXPECT_EQ(GetPrivateProfileInt("Main", "FixGamma", 13, "C:\\cfg\\missing.ini"), 13);
  EXPECT_EQ(GetPrivateProfileInt("Main", "FixGamma", 13, nullptr), 13);
  EXPECT_EQ(GetPrivateProfileInt(nullptr, "FixGamma", 13, "C:\\cfg\\ondrusb.ini"), 13);
}

TEST(PosixProfileInt, ParsesAsWindowsDoes) {
  const struct {
    const char* text;
    int32_t expected;
  } cases[] = {
      // clang-format off
      {"0", 0}, {"123", 123}, {"+5", 5}, {"-12", -12}, {"  \t 42", 42}, {"  -7x", -7},
      {"17abc", 17}, {"abc", 0}, {"", 0}, {"-", 0}, {nullptr, 0},
      {"- 3", 0},  // the sign must touch the digits
      {"0x1F", 31}, {"0XfF", 255}, {"-0x10", -16}, {"0x", 0}, {"0xg", 0}, {"012", 12},
      {"0b1", 0},  // only the hexadecimal prefix is honoured
      // 32-bit unsigned arithmetic that wraps
      {"2147483647", 2147483647}, {"4294967295", -1}, {"0xFFFFFFFE", -2},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(posix::ParseProfileInt(c.text), c.expected);
  }
}

TEST(PosixText, AnsiToUtf16FollowsWindows1252AndCutsToCapacity) {
  const struct {
    const char* source;
    std::u16string expected;
  } cases[] = {
      {"Lumaframe v2270", u"Lumaframe v2270"},
      {"", u""},
      {"\x80", u"\u20AC"},
      {"\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},  // undefined: themselves
      {"\x82\x8A\x99\x9F", u"\u201A\u0160\u2122\u0178"},
      {"\x7F\xA0\xFF", u"\u007F\u00A0\u00FF"},
  };
  char16_t buffer[100];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(AnsiToUtf16(c.source, buffer, 100), c.expected.size() + 1);
    EXPECT_EQ(std::u16string(buffer), c.expected);
  }
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(AnsiToUtf16("abcdef", buffer, 4), 4u);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(buffer[4], u'#');
  EXPECT_EQ(AnsiToUtf16("abc", buffer, 4), 4u);  // exact fit
  EXPECT_EQ(std::u16string(buffer), u"abc");
  EXPECT_EQ(AnsiToUtf16("abc", buffer, 1), 1u);
  EXPECT_EQ(buffer[0], u'\0');
  buffer[0] = u'#';
  EXPECT_EQ(AnsiToUtf16("abc", buffer, 0), 0u);
  EXPECT_EQ(AnsiToUtf16(nullptr, buffer, 8), 0u);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(AnsiToUtf16("abc", nullptr, 8), 0u);
}

// Records every slot asked for and holds no device.
class RecordingProvider : public StillImageProvider {
 public:
  std::unique_ptr<StillImageDevice> OpenSlot(int slot) override {
    asked.push_back(slot);
    return nullptr;
  }
  std::vector<int> asked;
};

TEST(PosixDevices, ParsesDeviceNamesAndOnlyThoseReachTheProvider) {
  const struct {
    const char* name;
    int slot;
  } cases[] = {
      // clang-format off
      {"\\\\.\\usbscan0", 0}, {"\\\\.\\usbscan7", 7}, {"\\\\.\\usbscan10", 10},
      {"\\\\.\\usbscan127", 127}, {"\\\\.\\usbscan128", -1},
      {"\\\\.\\usbscan99999999999", -1},
      // Leading zeros name no link.
      {"\\\\.\\usbscan01", -1}, {"\\\\.\\usbscan00", -1}, {"\\\\.\\usbscan", -1},
      {"\\\\.\\usbscan-1", -1}, {"\\\\.\\usbscan+1", -1}, {"\\\\.\\usbscan 1", -1},
      {"\\\\.\\usbscan1x", -1}, {"\\\\.\\usbscan1 ", -1}, {"\\\\.\\usbscan1\\", -1},
      {"usbscan1", -1}, {"\\\\.\\USBSCAN1", -1}, {"//./usbscan1", -1},
      {"\\\\.\\usbscam1", -1}, {"", -1}, {nullptr, -1},
      // clang-format on
  };
  StillImageProvider* const original = SetStillImageProvider(nullptr);
  EXPECT_EQ(OpenStillImageDevice("\\\\.\\usbscan0"), nullptr);  // no provider, no hardware
  RecordingProvider provider;
  EXPECT_EQ(SetStillImageProvider(&provider), nullptr);
  std::vector<int> slots;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(posix::ParseStillImageDeviceName(c.name), c.slot);
    EXPECT_EQ(OpenStillImageDevice(c.name), nullptr);
    if (c.slot >= 0) slots.push_back(c.slot);
  }
  EXPECT_EQ(provider.asked, slots);
  EXPECT_EQ(SetStillImageProvider(original), &provider);
}

class FakeClock : public Clock {
 public:
  uint32_t NowMs() override { return now; }
  void SleepMs(uint32_t ms) override { now += ms; }
  uint32_t now = 1000000;
};

TEST(PosixClock, AttachClockSwapsAndRestores) {
  EXPECT_EQ(AttachClock(nullptr), nullptr);  // the system clock is the one in use
  const uint32_t before = NowMs();
  FakeClock fake, second;
  second.now = 7;
  EXPECT_EQ(AttachClock(&fake), nullptr);
  EXPECT_EQ(NowMs(), 1000000u);
  SleepMs(250);  // virtual: no real wait
  EXPECT_EQ(fake.now, 1000250u);
  EXPECT_EQ(AttachClock(&second), &fake);
  EXPECT_EQ(NowMs(), 7u);
  EXPECT_EQ(AttachClock(nullptr), &second);
  const uint32_t after = NowMs();
  EXPECT_GE(after, before);
  EXPECT_LT(after - before, 60000u);  // the system clock again, not a fake's value
  SleepMs(0);
  EXPECT_EQ(fake.now, 1000250u);
}

void CollectLine(void* context, const char* text) {
  static_cast<std::vector<std::string>*>(context)->push_back(text);
}

TEST_F(PosixPlatformTest, DebugLinesGoToStderrWhenSwitchedOnAndToTheObserverAlways) {
  std::vector<std::string> seen;
  SetDebugObserver(CollectLine, &seen);
  const struct {
    const char* setting;  // null = unset
    bool printed;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "(unset)");
    SetEnv("LF_V2270_DEBUG", c.setting);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DebugString("IO_HasScanner ...... \n");
    ConsoleLine("Final_PPS:12.50\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, c.printed ? "IO_HasScanner ...... \nFinal_PPS:12.50\n" : "");
  }
  SetDebugObserver(nullptr, nullptr);
  DebugString("after\n");
  ASSERT_EQ(seen.size(), 10u);  // every line of every case, printed or not; "after" not
  EXPECT_EQ(seen[0], "IO_HasScanner ...... \n");
  EXPECT_EQ(seen[9], "Final_PPS:12.50\n");
}

}  // namespace
}  // namespace lf::platform
