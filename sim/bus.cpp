// The 128 device slots and the device files opened on them.
#include <cstdlib>
#include <new>

#include "sim/sim.h"

namespace lf::sim {

// One open device file. It shares ownership of its scanner so that a file
// that outlives Unplug stays safe to use: its transfers just fail.
class ScannerFile final : public platform::StillImageDevice {
 public:
  explicit ScannerFile(std::shared_ptr<VirtualScanner> scanner) : scanner_(std::move(scanner)) {}

  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* transferred, uint32_t timeoutMs) override {
    return scanner_->IoControl(code, in, inSize, out, outSize, transferred, timeoutMs);
  }
  bool WritePipe(const void* data, uint32_t size, uint32_t* transferred,
                 uint32_t timeoutMs) override {
    return scanner_->WritePipe(data, size, transferred, timeoutMs);
  }
  bool ReadPipe(void* dest, uint32_t size, uint32_t* transferred, uint32_t timeoutMs) override {
    return scanner_->ReadPipe(dest, size, transferred, timeoutMs);
  }

 private:
  std::shared_ptr<VirtualScanner> scanner_;
};

namespace {

bool ValidSlot(int slot) { return slot >= 0 && slot < platform::kDeviceSlotCount; }

}  // namespace

VirtualBus::VirtualBus() : clock_(std::make_shared<VirtualClock>()) {}

VirtualBus::~VirtualBus() {
  Uninstall();
  for (std::shared_ptr<VirtualScanner>& scanner : slots_) {
    if (scanner) scanner->Remove();
  }
}

VirtualScanner& VirtualBus::Plug(int slot, Model model, Descriptor descriptor) {
  // There is no way to report a bad slot through a reference; a test that
  // asks for one is wrong, and stopping at once says so most clearly.
  if (!ValidSlot(slot)) std::abort();
  Unplug(slot);
  slots_[slot] = std::make_shared<VirtualScanner>(model, descriptor, clock_);
  return *slots_[slot];
}

void VirtualBus::Unplug(int slot) {
  if (!ValidSlot(slot) || !slots_[slot]) return;
  slots_[slot]->Remove();
  slots_[slot].reset();
}

VirtualScanner* VirtualBus::At(int slot) { return ValidSlot(slot) ? slots_[slot].get() : nullptr; }

std::unique_ptr<platform::StillImageDevice> VirtualBus::OpenSlot(int slot) {
  if (!ValidSlot(slot) || !slots_[slot] || !slots_[slot]->Present()) return nullptr;
  return std::unique_ptr<platform::StillImageDevice>(new (std::nothrow) ScannerFile(slots_[slot]));
}

void VirtualBus::Install() {
  if (installed_) return;
  previousProvider_ = platform::SetStillImageProvider(this);
  clockAttached_ = !clock_->realtime();
  if (clockAttached_) previousClock_ = platform::AttachClock(clock_.get());
  installed_ = true;
}

void VirtualBus::Uninstall() {
  if (!installed_) return;
  platform::SetStillImageProvider(previousProvider_);
  if (clockAttached_) platform::AttachClock(previousClock_);
  previousProvider_ = nullptr;
  previousClock_ = nullptr;
  clockAttached_ = false;
  installed_ = false;
}

}  // namespace lf::sim
