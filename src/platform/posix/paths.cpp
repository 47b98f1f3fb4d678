// Windows paths on a POSIX host. The core builds paths the way the Windows
// module does ("C:\halvorik\scanner\LF_v2270\PixOff4.dat"); here each drive
// letter becomes a folder under one data root, so the calibration files of a
// user land in their own data directory instead of in "/C:".

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_internal.h"

namespace lf::platform::posix {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool StartsWithDriveLetter(const char* path) {
  const char letter = AsciiLower(path[0]);
  return letter >= 'a' && letter <= 'z' && path[1] == ':';
}

// The environment value, or null when it is unset or empty.
const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// Fills a fixed buffer; once anything does not fit it stays failed, so the
// callers can append freely and check once at the end.
class PathBuilder {
 public:
  PathBuilder(char* dest, size_t capacity) : dest_(dest), capacity_(capacity) { dest_[0] = '\0'; }

  void Append(char c) {
    if (!ok_ || length_ + 1 >= capacity_) {
      ok_ = false;
      return;
    }
    dest_[length_++] = c;
    dest_[length_] = '\0';
  }
  void Append(const char* text) {
    for (; *text != '\0'; ++text) Append(*text);
  }
  // A directory without its trailing slashes, so that joining never doubles one.
  void AppendDirectory(const char* directory) {
    size_t length = std::strlen(directory);
    while (length > 0 && directory[length - 1] == '/') --length;
    for (size_t i = 0; i < length; ++i) Append(directory[i]);
  }
  // Turns every run of '\' and '/' into one '/'.
  void AppendWindowsTail(const char* tail) {
    for (; *tail != '\0'; ++tail) {
      if (!IsSeparator(*tail)) {
        Append(*tail);
      } else if (length_ == 0 || dest_[length_ - 1] != '/') {
        Append('/');
      }
    }
  }

  size_t length() const { return length_; }
  bool ok() const { return ok_; }

 private:
  char* dest_;
  size_t capacity_;
  size_t length_ = 0;
  bool ok_ = true;
};

// The home directory when HOME is not set (daemons, some service hosts).
bool AppendPasswordHome(PathBuilder* path) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
    return false;
  }
  path->AppendDirectory(found->pw_dir);
  return true;
}

// $LF_V2270_ROOT, else the XDG data directory's "lf_v2270".
bool AppendDataRoot(PathBuilder* path) {
  if (const char* root = NonEmptyEnv("LF_V2270_ROOT")) {
    path->AppendDirectory(root);
    return true;
  }
  // The XDG rules say a relative XDG_DATA_HOME is invalid and to be ignored.
  const char* dataHome = NonEmptyEnv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    path->AppendDirectory(dataHome);
  } else {
    if (const char* home = NonEmptyEnv("HOME")) {
      path->AppendDirectory(home);
    } else if (!AppendPasswordHome(path)) {
      return false;
    }
    path->Append("/.local/share");
  }
  path->Append("/lf_v2270");
  return true;
}

bool IsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p for the first `length` characters of path.
bool MakeDirectoryChain(const char* path, size_t length) {
  char prefix[PATH_MAX];
  if (length >= sizeof(prefix)) return false;
  std::memcpy(prefix, path, length);
  prefix[length] = '\0';
  if (IsDirectory(prefix)) return true;
  for (size_t i = 1; i < length; ++i) {
    if (prefix[i] != '/') continue;
    prefix[i] = '\0';
    mkdir(prefix, kFolderMode);  // existing parents are fine; the last check decides
    prefix[i] = '/';
  }
  if (mkdir(prefix, kFolderMode) == 0) return true;
  return errno == EEXIST && IsDirectory(prefix);
}

}  // namespace

bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (AsciiLower(*a) != AsciiLower(*b)) return false;
  }
  return *a == *b;
}

bool MapWindowsPath(const char* windowsPath, MappedPath* out) {
  if (windowsPath == nullptr || windowsPath[0] == '\0' || out == nullptr) return false;
  PathBuilder path(out->text, sizeof(out->text));
  out->driveRootLength = 0;
  const char* tail = windowsPath;
  if (StartsWithDriveLetter(windowsPath)) {
    if (!AppendDataRoot(&path)) return false;
    path.Append('/');
    path.Append(AsciiLower(windowsPath[0]));
    out->driveRootLength = path.length();
    tail += 2;
  }
  path.AppendWindowsTail(tail);
  return path.ok();
}

bool ResolveWindowsPath(const char* windowsPath, MappedPath* out) {
  if (!MapWindowsPath(windowsPath, out)) return false;
  return out->driveRootLength == 0 || MakeDirectoryChain(out->text, out->driveRootLength);
}

}  // namespace lf::platform::posix
