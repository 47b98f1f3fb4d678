// The three things the module asks Windows about its installation: the
// Windows directory, one registry value, and one ini integer. On POSIX the
// first two come from the environment, the ini file through the drive mapping.

#include <ini.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace lf::platform {

namespace {

constexpr char kDefaultWindowsDirectory[] = "C:\\WINDOWS";
constexpr char kInstallKeyPath[] = "SoftWare\\Halvorik\\Tallowmere EZ";
constexpr char kInstallValueName[] = "InstallPath";

// Copies text with its terminator when it fits in capacity bytes.
bool CopyIfFits(const char* text, char* dest, uint32_t capacity) {
  const size_t size = std::strlen(text) + 1;
  if (dest == nullptr || size > capacity) return false;
  std::memcpy(dest, text, size);
  return true;
}

// What the handler looks for and what it found. Only the first match counts:
// Windows stops at the first key of that name in the first such section.
struct ProfileSearch {
  const char* section;
  const char* key;
  bool found;
  char value[64];  // far longer than any number; a longer value is cut
};

int OnIniEntry(void* user, const char* section, const char* name, const char* value) {
  auto* search = static_cast<ProfileSearch*>(user);
  if (search->found || name == nullptr || value == nullptr) return 1;
  if (!posix::EqualsIgnoringAsciiCase(section, search->section) ||
      !posix::EqualsIgnoringAsciiCase(name, search->key)) {
    return 1;
  }
  std::snprintf(search->value, sizeof(search->value), "%s", value);
  search->found = true;
  return 1;
}

bool FindIniValue(const char* hostPath, ProfileSearch* search) {
  std::FILE* file = std::fopen(hostPath, "re");  // "e": close on exec, as every file here
  if (file == nullptr) return false;
  ini_parse_file(file, OnIniEntry, search);  // a malformed line is skipped, as Windows does
  std::fclose(file);
  return search->found;
}

int DigitValue(char c, uint32_t base) {
  int digit = -1;
  if (c >= '0' && c <= '9') {
    digit = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    digit = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    digit = c - 'A' + 10;
  }
  return (digit >= 0 && static_cast<uint32_t>(digit) < base) ? digit : -1;
}

}  // namespace

namespace posix {

// As Windows reads it in practice (RtlCharToInteger with base 0 under
// GetPrivateProfileIntA): blanks skipped, one optional sign, then "0x" or
// "0X" switches to hexadecimal, and digits are taken up to the first
// non-digit. The arithmetic is 32-bit unsigned and wraps, so "4294967295"
// reads as -1 just as it does there. Other prefixes ("0b", "0o") are not
// honoured: "0b1" reads as 0.
int32_t ParseProfileInt(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  uint32_t value = 0;
  for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
    value = value * base + static_cast<uint32_t>(digit);
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

}  // namespace posix

uint32_t GetWindowsDirectory(char* dest, uint32_t capacity) {
  const char* directory = std::getenv("LF_V2270_WINDOWS_DIR");
  if (directory == nullptr || directory[0] == '\0') directory = kDefaultWindowsDirectory;
  const auto length = static_cast<uint32_t>(std::strlen(directory));
  if (dest == nullptr && capacity != 0) return 0;
  // Too small: GetWindowsDirectoryA leaves the buffer alone and says how
  // much it needs, terminator included.
  if (!CopyIfFits(directory, dest, capacity)) return length + 1;
  return length;
}

bool ReadMachineRegistryString(const char* keyPath, const char* valueName, char* dest,
                               uint32_t capacity) {
  if (!posix::EqualsIgnoringAsciiCase(keyPath, kInstallKeyPath) ||
      !posix::EqualsIgnoringAsciiCase(valueName, kInstallValueName)) {
    return false;
  }
  const char* installPath = std::getenv("LF_V2270_INSTALL_PATH");
  if (installPath == nullptr) return false;
  // RegQueryValueExA fails with ERROR_MORE_DATA rather than cutting the text.
  return CopyIfFits(installPath, dest, capacity);
}

// A key that is present but empty gives the default, as on Windows (it
// first reads the value as a string, and an empty string counts as absent).
int32_t GetPrivateProfileInt(const char* section, const char* key, int32_t defaultValue,
                             const char* iniPath) {
  if (section == nullptr || key == nullptr) return defaultValue;
  posix::MappedPath mapped;
  if (!posix::ResolveWindowsPath(iniPath, &mapped)) return defaultValue;
  ProfileSearch search{section, key, false, {}};
  if (!FindIniValue(mapped.text, &search) || search.value[0] == '\0') return defaultValue;
  return posix::ParseProfileInt(search.value);
}

}  // namespace lf::platform
