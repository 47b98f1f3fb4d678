// The POSIX backend of the platform seam: path mapping, files, system
// queries, text conversion, device names, clock and debug lines.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace lf::platform {
namespace {

// Sets (or, with null, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(hadOld_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Set(const char* value) {
    if (value == nullptr) {
      unsetenv(name_.c_str());
    } else {
      setenv(name_.c_str(), value, 1);
    }
  }

 private:
  std::string name_;
  bool hadOld_ = false;
  std::string old_;
};

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Every test gets a fresh temporary directory whose "root" child (not yet
// made) is the data root, and an environment without the backend's settings.
class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lf_platform_posix_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    root_ = temp_ + "/data/root";
    rootEnv_.Set(root_.c_str());
  }
  void TearDown() override { std::filesystem::remove_all(temp_); }

  std::unique_ptr<File> Open(const char* path, FileAccess access, FileDisposition disposition) {
    return OpenFile(path, access, disposition);
  }

  void WriteText(const char* windowsPath, const std::string& text) {
    auto file = OpenFile(windowsPath, FileAccess::kWrite, FileDisposition::kCreateAlways);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write(text.data(), static_cast<uint32_t>(text.size())),
              static_cast<int64_t>(text.size()));
  }

  std::string temp_;
  std::string root_;
  ScopedEnv rootEnv_{"LF_V2270_ROOT", nullptr};
  ScopedEnv windowsDirEnv_{"LF_V2270_WINDOWS_DIR", nullptr};
  ScopedEnv installEnv_{"LF_V2270_INSTALL_PATH", nullptr};
  ScopedEnv debugEnv_{"LF_V2270_DEBUG", nullptr};
};

// ---------------------------------------------------------------------------
// Path mapping
// ---------------------------------------------------------------------------

struct PathCase {
  const char* root;     // LF_V2270_ROOT, null = unset
  const char* xdg;      // XDG_DATA_HOME, null = unset
  const char* home;     // HOME, null = unset
  const char* windows;  // the path the core builds
  const char* host;     // where it lands
  size_t driveRootLength;
};

TEST(PosixPathMapping, MapsWindowsPathsUnderTheDataRoot) {
  const PathCase cases[] = {
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
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.windows);
    ScopedEnv root("LF_V2270_ROOT", c.root);
    ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    posix::MappedPath mapped;
    ASSERT_TRUE(posix::MapWindowsPath(c.windows, &mapped));
    EXPECT_STREQ(mapped.text, c.host);
    EXPECT_EQ(mapped.driveRootLength, c.driveRootLength);
  }
}

TEST(PosixPathMapping, RejectsNullEmptyAndOverlongPaths) {
  ScopedEnv root("LF_V2270_ROOT", "/r");
  posix::MappedPath mapped;
  EXPECT_FALSE(posix::MapWindowsPath(nullptr, &mapped));
  EXPECT_FALSE(posix::MapWindowsPath("", &mapped));
  const std::string fits = "C:\\" + std::string(PATH_MAX - 6, 'a');  // "/r/c/" + name + NUL
  EXPECT_TRUE(posix::MapWindowsPath(fits.c_str(), &mapped));
  const std::string tooLong = fits + "a";
  EXPECT_FALSE(posix::MapWindowsPath(tooLong.c_str(), &mapped));
}

// ---------------------------------------------------------------------------
// Files and folders
// ---------------------------------------------------------------------------

TEST_F(PosixPlatformTest, DriveRootExistsOnFirstUse) {
  ASSERT_FALSE(IsDirectory(root_));
  // Even a failed open makes the drive's root, as it exists on Windows.
  EXPECT_EQ(Open("D:\\missing.dat", FileAccess::kRead, FileDisposition::kOpenExisting), nullptr);
  EXPECT_TRUE(IsDirectory(root_ + "/d"));
  // A first-level folder needs nothing but the drive.
  EXPECT_TRUE(CreateDirectory("C:\\halvorik"));
  EXPECT_TRUE(IsDirectory(root_ + "/c/halvorik"));
  // The drive root itself already exists, so creating it fails as on Windows.
  EXPECT_FALSE(CreateDirectory("C:\\"));
}

TEST_F(PosixPlatformTest, CreateDirectoryMakesExactlyOneLevel) {
  EXPECT_FALSE(CreateDirectory("C:\\halvorik\\scanner"));  // parent missing
  EXPECT_FALSE(IsDirectory(root_ + "/c/halvorik"));
  EXPECT_TRUE(CreateDirectory("C:\\halvorik"));
  EXPECT_FALSE(CreateDirectory("C:\\halvorik"));  // exists
  EXPECT_FALSE(CreateDirectory("c:/HALVORIK/../halvorik"));
  EXPECT_TRUE(CreateDirectory("C:\\halvorik\\scanner\\"));
  EXPECT_TRUE(IsDirectory(root_ + "/c/halvorik/scanner"));
  EXPECT_FALSE(CreateDirectory(nullptr));
  EXPECT_FALSE(CreateDirectory(""));
}

TEST_F(PosixPlatformTest, OpenExistingFailsOnMissingFileOrFolder) {
  EXPECT_EQ(Open("C:\\none.dat", FileAccess::kRead, FileDisposition::kOpenExisting), nullptr);
  EXPECT_EQ(Open("C:\\none.dat", FileAccess::kReadWrite, FileDisposition::kOpenExisting), nullptr);
  EXPECT_EQ(Open("C:\\no\\dir.dat", FileAccess::kWrite, FileDisposition::kCreateAlways), nullptr);
  ASSERT_TRUE(CreateDirectory("C:\\folder"));
  EXPECT_EQ(Open("C:\\folder", FileAccess::kRead, FileDisposition::kOpenExisting), nullptr);
  EXPECT_EQ(Open(nullptr, FileAccess::kRead, FileDisposition::kOpenExisting), nullptr);
}

TEST_F(PosixPlatformTest, CreateAlwaysTruncates) {
  WriteText("C:\\cal.dat", "a long first content");
  auto file = Open("C:\\cal.dat", FileAccess::kReadWrite, FileDisposition::kCreateAlways);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Seek(0, SeekOrigin::kEnd), 0);
  EXPECT_EQ(file->Write("xy", 2), 2);
  file.reset();
  EXPECT_EQ(std::filesystem::file_size(root_ + "/c/cal.dat"), 2u);
}

TEST_F(PosixPlatformTest, ReadWriteSeekRoundTrip) {
  auto file = Open("C:\\halvorik.dat", FileAccess::kReadWrite, FileDisposition::kCreateAlways);
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
  EXPECT_EQ(file->Seek(4, SeekOrigin::kBegin), 4);
  file.reset();

  // The same file seen through a read-only and a write-only handle.
  auto reader = Open("c:/halvorik.dat", FileAccess::kRead, FileDisposition::kOpenExisting);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Write("z", 1), -1);
  EXPECT_EQ(reader->Read(back, 3), 3);
  EXPECT_EQ(back[2], 2);
  auto writer = Open("C:\\halvorik.dat", FileAccess::kWrite, FileDisposition::kOpenExisting);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->Read(back, 1), -1);
  EXPECT_EQ(writer->Seek(0, SeekOrigin::kEnd), 10);  // open-existing keeps the content
}

// ---------------------------------------------------------------------------
// System queries
// ---------------------------------------------------------------------------

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

  windowsDirEnv_.Set("D:\\WinNT");
  EXPECT_EQ(GetWindowsDirectory(buffer, sizeof(buffer)), 8u);
  EXPECT_STREQ(buffer, "D:\\WinNT");
  windowsDirEnv_.Set("");
  EXPECT_EQ(GetWindowsDirectory(buffer, sizeof(buffer)), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
}

struct RegistryCase {
  const char* env;  // LF_V2270_INSTALL_PATH, null = unset
  const char* key;
  const char* value;
  uint32_t capacity;
  bool found;
  const char* text;  // expected contents when found
};

TEST_F(PosixPlatformTest, InstallPathFromTheEnvironment) {
  const char* key = "SoftWare\\Halvorik\\Tallowmere EZ";
  const RegistryCase cases[] = {
      {"D:\\Apps\\EZ", key, "InstallPath", 260, true, "D:\\Apps\\EZ"},
      {"D:\\Apps\\EZ", "SOFTWARE\\halvorik\\TALLOWMERE ez", "installpath", 260, true,
       "D:\\Apps\\EZ"},
      {"D:\\Apps\\EZ", key, "InstallPath", 11, true, "D:\\Apps\\EZ"},  // exact fit
      {"D:\\Apps\\EZ", key, "InstallPath", 10, false, nullptr},        // no room for terminator
      {"", key, "InstallPath", 260, true, ""},
      {nullptr, key, "InstallPath", 260, false, nullptr},
      {"D:\\Apps\\EZ", key, "InstallDir", 260, false, nullptr},
      {"D:\\Apps\\EZ", "SoftWare\\Halvorik", "InstallPath", 260, false, nullptr},
      {"D:\\Apps\\EZ", "SoftWare\\Halvorik\\Tallowmere EZ\\", "InstallPath", 260, false, nullptr},
      {"D:\\Apps\\EZ", nullptr, "InstallPath", 260, false, nullptr},
      {"D:\\Apps\\EZ", key, nullptr, 260, false, nullptr},
  };
  for (const RegistryCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.key ? c.key : "(null)") << " / "
                                    << (c.value ? c.value : "(null)") << " cap " << c.capacity);
    installEnv_.Set(c.env);
    char buffer[260];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(ReadMachineRegistryString(c.key, c.value, buffer, c.capacity), c.found);
    if (c.found) {
      EXPECT_STREQ(buffer, c.text);
    } else {
      EXPECT_EQ(buffer[0], '#');
    }
  }
}

struct ProfileCase {
  const char* section;
  const char* key;
  int32_t defaultValue;
  int32_t expected;
};

TEST_F(PosixPlatformTest, PrivateProfileInt) {
  ASSERT_TRUE(CreateDirectory("C:\\cfg"));
  WriteText("C:\\cfg\\ondrusb.ini",
            "; settings\n"
            "Orphan=4\n"
            "[main]\n"
            "FixGamma=3\n"
            "fixgamma=9\n"
            "Negative=-12\n"
            "Blank=   42\n"
            "Word=abc\n"
            "Trailing=17abc\n"
            "Hex=0x1F\n"
            "NegHex=-0x10\n"
            "Empty=\n"
            "Commented=7 ; inline\n"
            "[Other]\n"
            "FixGamma=5\n"
            "Only=6\n"
            "[MAIN]\n"
            "Late=1\n"
            "FixGamma=8\n");
  const ProfileCase cases[] = {
      {"Main", "FixGamma", 0, 3},      // section case differs
      {"MAIN", "FIXGAMMA", 0, 3},      // first occurrence wins over "fixgamma=9" and [MAIN]
      {"Other", "fixGamma", 0, 5},     // the same key in another section
      {"Main", "Only", 77, 77},        // key of another section
      {"Main", "Missing", -3, -3},     // missing key
      {"Absent", "FixGamma", 21, 21},  // missing section
      {"Main", "Negative", 0, -12},    // sign
      {"Main", "Blank", 0, 42},        // leading blanks
      {"Main", "Word", 5, 0},          // no leading digits
      {"Main", "Trailing", 0, 17},     // digits up to the first non-digit
      {"Main", "Hex", 0, 31},          // "0x" honoured
      {"Main", "NegHex", 0, -16},      // sign before "0x"
      {"Main", "Empty", 5, 5},         // present but empty counts as absent
      {"Main", "Commented", 0, 7},     // inline comment
      {"Main", "Late", 0, 1},          // a second section of the same name is searched too
      {"", "Orphan", 0, 4},            // before any section
  };
  for (const ProfileCase& c : cases) {
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
      {"0", 0},
      {"123", 123},
      {"+5", 5},
      {"-12", -12},
      {"  \t 42", 42},
      {"  -7x", -7},
      {"17abc", 17},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"- 3", 0},  // the sign must touch the digits
      {"0x1F", 31},
      {"0XfF", 255},
      {"-0x10", -16},
      {"0x", 0},
      {"0xg", 0},
      {"0b1", 0},  // only the hexadecimal prefix is honoured
      {"012", 12},
      {"2147483647", 2147483647},
      {"4294967295", -1},  // 32-bit unsigned arithmetic that wraps
      {"0xFFFFFFFE", -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(posix::ParseProfileInt(c.text), c.expected);
  }
  EXPECT_EQ(posix::ParseProfileInt(nullptr), 0);
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

TEST(PosixText, AnsiToUtf16FollowsWindows1252) {
  const struct {
    const char* source;
    std::u16string expected;
  } cases[] = {
      {"Lumaframe v2270", u"Lumaframe v2270"},
      {"", u""},
      {"\x80", u"\u20AC"},
      {"\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},  // undefined: themselves
      {"\x82\x8A\x99\x9F", u"\u201A\u0160\u2122\u0178"},
      {"caf\xE9", u"caf\u00E9"},
      {"\x7F\xA0\xFF", u"\u007F\u00A0\u00FF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    char16_t buffer[100];
    const uint32_t written = AnsiToUtf16(c.source, buffer, 100);
    EXPECT_EQ(written, c.expected.size() + 1);
    EXPECT_EQ(std::u16string(buffer), c.expected);
  }
}

TEST(PosixText, AnsiToUtf16CutsToCapacity) {
  char16_t buffer[8];
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

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------

TEST(PosixDevices, ParsesDeviceNames) {
  const struct {
    const char* name;
    int slot;
  } cases[] = {
      {"\\\\.\\usbscan0", 0},
      {"\\\\.\\usbscan7", 7},
      {"\\\\.\\usbscan10", 10},
      {"\\\\.\\usbscan127", 127},
      {"\\\\.\\usbscan128", -1},
      {"\\\\.\\usbscan99999999999", -1},
      {"\\\\.\\usbscan01", -1},  // no such link: leading zeros are not the same name
      {"\\\\.\\usbscan00", -1},
      {"\\\\.\\usbscan", -1},
      {"\\\\.\\usbscan-1", -1},
      {"\\\\.\\usbscan+1", -1},
      {"\\\\.\\usbscan 1", -1},
      {"\\\\.\\usbscan1x", -1},
      {"\\\\.\\usbscan1 ", -1},
      {"\\\\.\\usbscan1\\", -1},
      {"usbscan1", -1},
      {"\\\\.\\USBSCAN1", -1},
      {"//./usbscan1", -1},
      {"\\\\.\\usbscam1", -1},
      {"", -1},
      {nullptr, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(posix::ParseStillImageDeviceName(c.name), c.slot);
  }
}

class FakeDevice : public StillImageDevice {
 public:
  explicit FakeDevice(int slot) : slot_(slot) {}
  bool IoControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*, uint32_t) override {
    return false;
  }
  bool WritePipe(const void*, uint32_t, uint32_t*, uint32_t) override { return false; }
  bool ReadPipe(void*, uint32_t, uint32_t*, uint32_t) override { return false; }
  int slot_;
};

// Holds a device in slots 0 and 127 only and records every slot asked for.
class FakeProvider : public StillImageProvider {
 public:
  std::unique_ptr<StillImageDevice> OpenSlot(int slot) override {
    asked.push_back(slot);
    if (slot != 0 && slot != 127) return nullptr;
    return std::make_unique<FakeDevice>(slot);
  }
  std::vector<int> asked;
};

int SlotOf(const std::unique_ptr<StillImageDevice>& device) {
  return static_cast<const FakeDevice*>(device.get())->slot_;
}

TEST(PosixDevices, OpensThroughTheProvider) {
  StillImageProvider* const original = SetStillImageProvider(nullptr);
  EXPECT_EQ(OpenStillImageDevice("\\\\.\\usbscan0"), nullptr);  // no provider, no hardware

  FakeProvider provider;
  EXPECT_EQ(SetStillImageProvider(&provider), nullptr);
  auto first = OpenStillImageDevice("\\\\.\\usbscan0");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SlotOf(first), 0);
  auto last = OpenStillImageDevice("\\\\.\\usbscan127");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(SlotOf(last), 127);
  EXPECT_EQ(OpenStillImageDevice("\\\\.\\usbscan5"), nullptr);    // empty slot
  EXPECT_EQ(OpenStillImageDevice("\\\\.\\usbscan128"), nullptr);  // never reaches the provider
  EXPECT_EQ(OpenStillImageDevice("\\\\.\\usbscan01"), nullptr);
  EXPECT_EQ(provider.asked, (std::vector<int>{0, 127, 5}));

  EXPECT_EQ(SetStillImageProvider(original), &provider);
}

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

class FakeClock : public Clock {
 public:
  uint32_t NowMs() override { return now; }
  void SleepMs(uint32_t ms) override { now += ms; }
  uint32_t now = 1000000;
};

TEST(PosixClock, AttachClockSwapsAndRestores) {
  Clock* const original = AttachClock(nullptr);
  EXPECT_EQ(original, nullptr);  // the system clock is the one in use
  const uint32_t before = NowMs();

  FakeClock fake;
  EXPECT_EQ(AttachClock(&fake), nullptr);
  EXPECT_EQ(NowMs(), 1000000u);
  SleepMs(250);  // virtual: no real wait
  EXPECT_EQ(fake.now, 1000250u);
  EXPECT_EQ(NowMs(), 1000250u);

  FakeClock second;
  second.now = 7;
  EXPECT_EQ(AttachClock(&second), &fake);
  EXPECT_EQ(NowMs(), 7u);

  EXPECT_EQ(AttachClock(nullptr), &second);
  const uint32_t after = NowMs();
  EXPECT_GE(after, before);
  EXPECT_LT(after - before, 60000u);  // the system clock again, not a fake's value
  SleepMs(0);
  EXPECT_EQ(fake.now, 1000250u);
}

// ---------------------------------------------------------------------------
// Debug lines
// ---------------------------------------------------------------------------

void CollectLine(void* context, const char* text) {
  static_cast<std::vector<std::string>*>(context)->push_back(text);
}

TEST_F(PosixPlatformTest, DebugLinesGoToStderrOnlyWhenSwitchedOn) {
  const struct {
    const char* setting;  // null = unset
    bool printed;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "(unset)");
    debugEnv_.Set(c.setting);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    DebugString("IO_HasScanner ...... \n");
    ConsoleLine("Final_PPS:12.50\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, c.printed ? "IO_HasScanner ...... \nFinal_PPS:12.50\n" : "");
  }
}

TEST_F(PosixPlatformTest, DebugObserverSeesEveryLine) {
  std::vector<std::string> lines;
  SetDebugObserver(CollectLine, &lines);
  DebugString("one\n");
  debugEnv_.Set("1");
  testing::internal::CaptureStderr();
  ConsoleLine("two\n");
  testing::internal::GetCapturedStderr();
  debugEnv_.Set(nullptr);
  SetDebugObserver(nullptr, nullptr);
  DebugString("three\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n"}));
}

}  // namespace
}  // namespace lf::platform
