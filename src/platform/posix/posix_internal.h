// Pieces of the POSIX backend that more than one of its files needs, and
// that its unit test checks on their own. Not part of the seam.
#pragma once

#include <limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace lf::platform::posix {

// Folders made for Windows paths: readable by all, as on a Windows drive.
inline constexpr mode_t kFolderMode = 0755;

// ASCII comparison without letter case, independent of the host's locale
// (the registry and ini files compare names this way on Windows too).
bool EqualsIgnoringAsciiCase(const char* a, const char* b);

// The slot number in a still-image device name "\\.\usbscanN" (N = 0..127,
// plain decimal without leading zeros), or -1 when the name is not one.
int ParseStillImageDeviceName(const char* name);

// A Windows path turned into a host path.
struct MappedPath {
  char text[PATH_MAX];
  // Length of the "<root>/<drive>" prefix in text, 0 when the path had no
  // drive letter.
  size_t driveRootLength;
};

// Maps a Windows path onto the host: "C:\a\b.dat" becomes
// "<root>/c/a/b.dat", a path without a drive letter is taken as a host path.
// Both slash kinds separate and runs of them collapse into one. The root is
// read from the environment at each call. False when the path is null,
// empty, or too long, or no root can be found. Touches nothing on disk.
bool MapWindowsPath(const char* windowsPath, MappedPath* out);

// MapWindowsPath, then makes sure the drive's root folder exists (with its
// parents), as a drive's root always does on Windows.
bool ResolveWindowsPath(const char* windowsPath, MappedPath* out);

// The integer at the start of an ini value, read as GetPrivateProfileIntA
// reads it.
int32_t ParseProfileInt(const char* text);

}  // namespace lf::platform::posix
