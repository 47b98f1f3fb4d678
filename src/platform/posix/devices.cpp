// Still-image device files on POSIX. There is no usbscan driver here, so the
// 128 device names are slots: a provider (the virtual scanner, or a test's
// fake) is asked first, and real USB hardware would be tried after it.

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace lf::platform {

namespace {

constexpr char kDeviceNamePrefix[] = "\\\\.\\usbscan";

std::atomic<StillImageProvider*> g_provider{nullptr};

// Where a real USB backend plugs in: it would look for a scanner for this
// slot once the provider has none. Until it exists no hardware is reachable.
std::unique_ptr<StillImageDevice> OpenUsbDevice(int /*slot*/) { return nullptr; }

}  // namespace

namespace posix {

int ParseStillImageDeviceName(const char* name) {
  if (name == nullptr) return -1;
  const size_t prefixLength = sizeof(kDeviceNamePrefix) - 1;
  if (std::strncmp(name, kDeviceNamePrefix, prefixLength) != 0) return -1;
  const char* digits = name + prefixLength;
  // The driver's symbolic links are "usbscan0", "usbscan1", ...; a name with
  // a leading zero names no link, so it opens nothing.
  if (digits[0] == '0') return digits[1] == '\0' ? 0 : -1;
  int slot = 0;
  const char* p = digits;
  for (; *p >= '0' && *p <= '9'; ++p) {
    slot = slot * 10 + (*p - '0');
    if (slot >= kDeviceSlotCount) return -1;
  }
  if (p == digits || *p != '\0') return -1;
  return slot;
}

}  // namespace posix

std::unique_ptr<StillImageDevice> OpenStillImageDevice(const char* name) {
  const int slot = posix::ParseStillImageDeviceName(name);
  if (slot < 0) return nullptr;
  if (StillImageProvider* provider = g_provider.load()) {
    std::unique_ptr<StillImageDevice> device = provider->OpenSlot(slot);
    if (device != nullptr) return device;
  }
  return OpenUsbDevice(slot);
}

StillImageProvider* SetStillImageProvider(StillImageProvider* provider) {
  return g_provider.exchange(provider);
}

}  // namespace lf::platform
