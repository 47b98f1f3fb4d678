// The still-image device file and its transfers. The backend behind the
// platform seam bounds every request by the time-out the channel passes and
// cancels a request that outlives it, so a late completion can never write
// into a buffer this file has already given back to its caller.
#include <cstdio>
#include <memory>

#include "channel/channel.h"

namespace lf {
namespace {

constexpr const char kDeviceNamePrefix[] = "\\\\.\\usbscan";

struct ChannelState {
  std::unique_ptr<platform::StillImageDevice> device;
  ExaminedDevice examined;
};

// Never destroyed: the model that owns the open channel is torn down when the
// library unloads, and its destructor must still find the channel to close.
ChannelState& State() {
  static ChannelState* state = new ChannelState;
  return *state;
}

platform::IoBlock MakeIoBlock(uint16_t value, uint16_t index, uint16_t length,
                              const uint8_t* data) {
  return platform::IoBlock{value, length, data, index};
}

bool ProbeController(platform::StillImageDevice& device) {
  platform::IoBlock block = MakeIoBlock(0x8E, 0, 1, nullptr);
  uint8_t status = 0;
  uint32_t moved = 0;
  return device.IoControl(platform::kIoctlReadRegisters, &block, sizeof block, &status, 1, &moved,
                          kTransferTimeoutMs);
}

bool ReadDescriptor(platform::StillImageDevice& device, platform::DeviceDescriptor* descriptor) {
  uint32_t moved = 0;
  return device.IoControl(platform::kIoctlGetDeviceDescriptor, descriptor, sizeof *descriptor,
                          descriptor, sizeof *descriptor, &moved, kTransferTimeoutMs);
}

bool IsScannerProduct(uint16_t productId) {
  return productId == kScannerProductId || productId == kScannerProductIdAlt;
}

// Opens slot n and keeps it when it is our scanner; null otherwise (the
// file is closed by the unique_ptr on every path that rejects it).
std::unique_ptr<platform::StillImageDevice> TrySlot(int n, uint16_t vendorId) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%d", kDeviceNamePrefix, n);
  std::unique_ptr<platform::StillImageDevice> device = platform::OpenStillImageDevice(name);
  if (!device || !ProbeController(*device)) return nullptr;
  platform::DeviceDescriptor descriptor{};
  if (!ReadDescriptor(*device, &descriptor)) return nullptr;
  State().examined = {descriptor.vendorId, descriptor.productId, descriptor.bcdDevice};
  if (descriptor.vendorId != vendorId || !IsScannerProduct(descriptor.productId)) return nullptr;
  return device;
}

}  // namespace

bool OpenChannel(uint16_t vendorId, uint32_t /*reserved*/) {
  CloseChannel();
  for (int n = 0; n < platform::kDeviceSlotCount; ++n) {
    if (auto device = TrySlot(n, vendorId)) {
      State().device = std::move(device);
      return true;
    }
  }
  return false;
}

bool CloseChannel() {
  State().device.reset();
  return true;
}

bool IsChannelOpen() { return State().device != nullptr; }

platform::StillImageDevice* ChannelHandle() { return State().device.get(); }

ExaminedDevice LastExaminedDevice() { return State().examined; }

bool ControlRead(uint16_t value, uint16_t index, uint16_t length, uint8_t* dest) {
  platform::StillImageDevice* device = ChannelHandle();
  if (device == nullptr) return false;
  platform::IoBlock block = MakeIoBlock(value, index, length, nullptr);
  uint32_t moved = 0;
  return device->IoControl(platform::kIoctlReadRegisters, &block, sizeof block, dest, length,
                           &moved, kTransferTimeoutMs);
}

bool ControlWrite(uint16_t value, uint16_t index, uint16_t length, const uint8_t* data) {
  platform::StillImageDevice* device = ChannelHandle();
  if (device == nullptr) return false;
  platform::IoBlock block = MakeIoBlock(value, index, length, data);
  uint32_t moved = 0;
  return device->IoControl(platform::kIoctlWriteRegisters, &block, sizeof block, nullptr, 0,
                           &moved, kTransferTimeoutMs);
}

bool BulkWrite(const void* data, uint32_t length) {
  platform::StillImageDevice* device = ChannelHandle();
  if (device == nullptr) return false;
  uint32_t moved = 0;
  return device->WritePipe(data, length, &moved, kTransferTimeoutMs);
}

bool BulkRead(void* dest, uint32_t length) {
  platform::StillImageDevice* device = ChannelHandle();
  if (device == nullptr) return false;
  uint32_t moved = 0;
  return device->ReadPipe(dest, length, &moved, kTransferTimeoutMs);
}

uint32_t ElapsedMs() { return platform::NowMs(); }

void DelayMs(uint32_t ms) {
  const uint32_t end = ElapsedMs() + ms;
  while (ElapsedMs() < end) {
  }
}

}  // namespace lf
