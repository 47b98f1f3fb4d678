// Shading calibration: the per-model Calibrator, reached through
// g_calibrator. Operations are declared in their fixed slot order.
#pragma once

#include "common/common.h"

namespace lf {

class Calibrator {
 public:
  Calibrator() = default;
  Calibrator(const Calibrator&) = delete;
  Calibrator& operator=(const Calibrator&) = delete;

  virtual int Calibrate() { return 0; }
  virtual ~Calibrator() = default;
  virtual int PreparePass() { return 0; }
  virtual int CalibrateGain() { return 0; }
  virtual void SetGamma(int /*mode*/, float /*gammaR*/, float /*gammaG*/, float /*gammaB*/) {}
  // Kept for the export of the same name; no calibrator has a first line to find.
  virtual void FindFirstLine() {}
};

// The calibrator of a model family; null when it cannot be allocated.
Calibrator* CreateCalibrator(ModelFamily family);

}  // namespace lf
