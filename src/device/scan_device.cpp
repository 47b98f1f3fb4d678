#include <new>

#include "device/device.h"

namespace lf {

// Every family runs on the shared base behaviour until its own mechanism
// (paper path, panel, identity memory) is driven by a class of its own.
ScanDevice* CreateScanDevice(ModelFamily /*family*/) { return new (std::nothrow) ScanDevice(); }

}  // namespace lf
