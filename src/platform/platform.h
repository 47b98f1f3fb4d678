// The platform seam: everything the scanner core needs from the operating
// system, and nothing else. The core includes only this header; each backend
// (posix/, win32/) implements it. No operating-system types appear here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lf::platform {

// ---------------------------------------------------------------------------
// Still-image device files (\\.\usbscan0 .. \\.\usbscan127)
// ---------------------------------------------------------------------------

inline constexpr uint32_t kIoctlReadRegisters = 0x8000200C;
inline constexpr uint32_t kIoctlWriteRegisters = 0x80002010;
inline constexpr uint32_t kIoctlGetDeviceDescriptor = 0x80002018;

inline constexpr int kDeviceSlotCount = 128;

// The input block of the two register IOCTLs. On the 32-bit Windows build
// this is byte for byte the still-image driver's 16-byte IO_BLOCK.
struct IoBlock {
  uint32_t offset;      // control transfer value (the command code)
  uint32_t length;      // number of data bytes
  const uint8_t* data;  // bytes to send for a write, null for a read
  uint32_t index;       // control transfer index
};

// What IOCTL_GET_DEVICE_DESCRIPTOR returns, 8 bytes.
struct DeviceDescriptor {
  uint16_t vendorId;
  uint16_t productId;
  uint16_t bcdDevice;
  uint16_t languageId;
};
static_assert(sizeof(DeviceDescriptor) == 8);

// One open device file. Every request is issued and then waited for at most
// timeoutMs; a request that has not completed by then is cancelled before the
// call returns false, so it can never land later. A request that moves fewer
// bytes than asked for still succeeds; *transferred tells how many moved.
class StillImageDevice {
 public:
  virtual ~StillImageDevice() = default;
  virtual bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* transferred, uint32_t timeoutMs) = 0;
  virtual bool WritePipe(const void* data, uint32_t size, uint32_t* transferred,
                         uint32_t timeoutMs) = 0;
  virtual bool ReadPipe(void* dest, uint32_t size, uint32_t* transferred,
                        uint32_t timeoutMs) = 0;
};

// Opens a device file by its Windows name ("\\.\usbscan3"). Null when the
// file cannot be opened (no device behind that name).
std::unique_ptr<StillImageDevice> OpenStillImageDevice(const char* name);

// Where the POSIX backend finds devices for its 128 slots. The virtual
// scanner registers one of these; a USB backend may register another.
class StillImageProvider {
 public:
  virtual ~StillImageProvider() = default;
  // Null when the slot holds no device.
  virtual std::unique_ptr<StillImageDevice> OpenSlot(int slot) = 0;
};

// Installs the provider asked first for every slot (null removes it). The
// previous provider is returned so that a test can put it back.
StillImageProvider* SetStillImageProvider(StillImageProvider* provider);

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t NowMs() = 0;  // milliseconds since some start near zero
  virtual void SleepMs(uint32_t ms) = 0;
};

uint32_t NowMs();
void SleepMs(uint32_t ms);
// Replaces the system clock (null restores it); returns the previous one.
Clock* AttachClock(Clock* clock);

// ---------------------------------------------------------------------------
// Files and folders, named by Windows paths ("C:\halvorik\scanner\a.dat")
// ---------------------------------------------------------------------------

enum class FileAccess { kRead, kWrite, kReadWrite };
enum class FileDisposition { kOpenExisting, kCreateAlways };
enum class SeekOrigin { kBegin, kCurrent, kEnd };

class File {
 public:
  virtual ~File() = default;
  // Bytes moved, or -1 on failure.
  virtual int64_t Read(void* dest, uint32_t size) = 0;
  virtual int64_t Write(const void* data, uint32_t size) = 0;
  // New position from the start, or -1 on failure.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
};

// Null when the file cannot be opened or created.
std::unique_ptr<File> OpenFile(const char* path, FileAccess access, FileDisposition disposition);
// Creates one directory level, as CreateDirectoryA; false when it already
// exists or cannot be made (callers ignore the result).
bool CreateDirectory(const char* path);

// ---------------------------------------------------------------------------
// System queries
// ---------------------------------------------------------------------------

// The Windows directory ("C:\WINDOWS"), copied with its terminator into dest
// when it fits; returns its length, 0 on failure.
uint32_t GetWindowsDirectory(char* dest, uint32_t capacity);

// Reads a string value under HKEY_LOCAL_MACHINE\keyPath into dest (capacity
// bytes, terminated). False when the key or the value is absent.
bool ReadMachineRegistryString(const char* keyPath, const char* valueName, char* dest,
                               uint32_t capacity);

// GetPrivateProfileIntA: section and key compared without letter case; the
// default when the file, section or key is absent.
int32_t GetPrivateProfileInt(const char* section, const char* key, int32_t defaultValue,
                             const char* iniPath);

// ---------------------------------------------------------------------------
// Named mutex shared by every process on the machine
// ---------------------------------------------------------------------------

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // Waits without a time limit; false when the wait itself fails.
  virtual bool Wait() = 0;
  virtual bool Release() = 0;
};

// Creates or opens the mutex of that name, not owned; null on failure.
std::unique_ptr<NamedMutex> CreateNamedMutex(const char* name);

// Tests replace how named mutexes are made (null restores the backend's).
using NamedMutexFactory = std::unique_ptr<NamedMutex> (*)(const char* name);
NamedMutexFactory SetNamedMutexFactory(NamedMutexFactory factory);

// ---------------------------------------------------------------------------
// Text and debug output
// ---------------------------------------------------------------------------

// ANSI code page to UTF-16, as MultiByteToWideChar with a terminated source:
// writes at most capacity code units including the terminator; returns the
// number of code units written (terminator included), 0 on failure.
uint32_t AnsiToUtf16(const char* source, char16_t* dest, uint32_t capacity);

// The debugger line (OutputDebugStringA).
void DebugString(const char* text);
// A line the original writes to standard output; a library must not write
// into its host's stdout, so backends route it to their debug sink.
void ConsoleLine(const char* text);

// Every debugger and console line also goes to this observer when one is
// set (tests, hosts that want the lines). Null removes it.
using TextObserver = void (*)(void* context, const char* text);
void SetDebugObserver(TextObserver observer, void* context);

}  // namespace lf::platform
