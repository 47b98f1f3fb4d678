// Switches the virtual scanner on when the shared library loads and the
// environment asks for it (LF_V2270_SIMULATOR). Programs that link the
// library's objects from a static archive never pull this file in, so their
// tests decide for themselves which virtual scanners exist.
#include "sim/sim.h"

namespace lf::sim {
namespace {

class Autoload {
 public:
  Autoload() {
    std::unique_ptr<VirtualBus> bus = BusFromEnvironment();
    if (!bus) return;
    // Nobody in the process can read the in-memory trace; only the trace
    // file is of use, and memory must not grow over a long session.
    bus->At(0)->SetTraceInMemory(false);
    bus->Install();
    // Never destroyed: the library's own static objects close the scanner
    // while the process exits, in an order this file cannot know, and they
    // must still find the device and the virtual clock in place.
    processBus_ = bus.release();
  }

 private:
  VirtualBus* processBus_ = nullptr;
};

Autoload autoload;

}  // namespace
}  // namespace lf::sim
